// Basic types and enumerations of the QxGenApi node-map engine: the access modes, visibilities,
// interface types, representations and other codes a GenICam description file uses. The
// numeric values are those of the GenICam standard, so FeatureBase can hand them out as i32
// codes unchanged (access mode 0 NI .. 4 RW, 6 cycle detect; interface type 0 IValue .. 11 IPort).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace QxGenApi {

// Text type of the interface (GenApi's gcstring); a plain std::string here.
using gcstring = std::string;
using gcstring_vector = std::vector<std::string>;
using StringList_t = std::vector<std::string>;

class INode;
class IValue;
class IEnumEntry;
using node_vector = std::vector<INode*>;
using NodeList_t = std::vector<INode*>;
using FeatureList_t = std::vector<IValue*>;
using EnumEntryList_t = std::vector<IEnumEntry*>;

enum EAccessMode : int32_t {
    NI = 0,                   // not implemented
    NA = 1,                   // not available
    WO = 2,                   // write only
    RO = 3,                   // read only
    RW = 4,                   // read and write
    _UndefinedAccesMode = 5,  // spelled as in the GenICam standard
    _CycleDetectAccesMode = 6 // answered by a node whose access mode is being computed
};

enum EVisibility : int32_t { Beginner = 0, Expert = 1, Guru = 2, Invisible = 3, _UndefinedVisibility = 99 };

enum EInterfaceType : int32_t {
    intfIValue = 0,
    intfIBase = 1,
    intfIInteger = 2,
    intfIBoolean = 3,
    intfICommand = 4,
    intfIFloat = 5,
    intfIString = 6,
    intfIRegister = 7,
    intfICategory = 8,
    intfIEnumeration = 9,
    intfIEnumEntry = 10,
    intfIPort = 11
};

enum ERepresentation : int32_t {
    Linear = 0,
    Logarithmic = 1,
    Boolean = 2,
    PureNumber = 3,
    HexNumber = 4,
    IPV4Address = 5,
    MACAddress = 6,
    _UndefinedRepresentation = 7
};

enum ECachingMode : int32_t { NoCache = 0, WriteThrough = 1, WriteAround = 2, _UndefinedCachingMode = 3 };

enum EEndianess : int32_t { BigEndian = 0, LittleEndian = 1 };
enum ESign : int32_t { Signed = 0, Unsigned = 1 };
enum ENameSpace : int32_t { Custom = 0, Standard = 1 };
enum ESlope : int32_t { Increasing = 0, Decreasing = 1, Varying = 2, Automatic = 3 };
enum EDisplayNotation : int32_t { fnAutomatic = 0, fnFixed = 1, fnScientific = 2 };
enum EIncMode : int32_t { noIncrement = 0, fixedIncrement = 1, listIncrement = 2 };

// Which links GetChildren follows.
enum ELinkType : int32_t {
    ctParentNodes = 0,          // nodes that point at this one
    ctReadingChildren = 1,      // nodes this one reads (value, bounds, address, variables)
    ctWritingChildren = 2,      // nodes a write of this one writes
    ctInvalidatingChildren = 3, // nodes named by pInvalidator
    ctDependingNodes = 4,       // every node whose value or access may change with this one
    ctTerminalNodes = 5,        // the registers / literal values at the end of the value path
    ctValueChildren = 6         // pValue (and pValueCopy) targets only
};

enum ECallbackType : int32_t {
    cbPostInsideLock = 1, // fired while the node-map lock is still held (the default)
    cbPostOutsideLock = 2 // fired after the outermost call has released the lock
};

// Handle of a registered node callback; 0 is never a valid handle.
using CallbackHandleType = uint64_t;

// Text forms of the enumerations, as the description files spell them.
const char* AccessModeName(EAccessMode mode);
const char* InterfaceTypeName(EInterfaceType type);
const char* VisibilityName(EVisibility visibility);

// Combination rules of the GenICam standard for two access modes (NI and NA dominate,
// RO with WO gives NA, RW is neutral; a cycle-detect mode counts as RW).
EAccessMode CombineAccessMode(EAccessMode a, EAccessMode b);

inline bool IsReadable(EAccessMode m) { return m == RO || m == RW || m == _CycleDetectAccesMode; }
inline bool IsWritable(EAccessMode m) { return m == WO || m == RW || m == _CycleDetectAccesMode; }
inline bool IsAvailable(EAccessMode m) { return m != NI && m != NA; }
inline bool IsImplemented(EAccessMode m) { return m != NI; }

} // namespace QxGenApi
