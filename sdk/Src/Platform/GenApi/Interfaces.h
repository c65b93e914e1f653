// The node interfaces of the QxGenApi engine, shaped after the GenICam GenApi interfaces so
// that FeatureBase reads naturally against them: IBase (access mode), INode (names, texts,
// visibility, interface type, links, callbacks), IValue (text form) and one interface per
// value kind (IInteger, IFloat, IBoolean, ICommand, IString, IRegister, IEnumeration,
// IEnumEntry, ICategory, IPort, ISelector), plus INodeMap. Every node of a node map
// implements INode, IValue and ISelector and the interface of its kind; get one from an
// INode* with a typed pointer (Pointer.h), e.g. CIntegerPtr p = map._GetNode("Width").
//
// Threading: every call takes the node map's recursive lock (INodeMap::GetLock) for its whole
// duration, so accesses from several threads are serialised per node map.
#pragma once
#include <functional>
#include <mutex>

#include "GenApi/Types.h"

namespace QxGenApi {

class INodeMap;

// Root of every interface: the access mode. Also the base of IPort, which the SDK implements.
class IBase {
public:
    virtual ~IBase() = default;
    // Access mode now: evaluated afresh on every call (pIsImplemented, pIsAvailable and pIsLocked
    // are re-read). Never throws: a failing read while computing it gives NA.
    virtual EAccessMode GetAccessMode() const = 0;
};

// A node of the node map: identity, texts, visibility, links and callbacks.
class INode : virtual public IBase {
public:
    // Name without name space, or "Std::Name" / "Cust::Name" when fullQualified.
    virtual gcstring GetName(bool fullQualified = false) const = 0;
    virtual ENameSpace GetNameSpace() const = 0;
    virtual EVisibility GetVisibility() const = 0;
    virtual gcstring GetDisplayName() const = 0; // the name when the file gives none
    virtual gcstring GetToolTip() const = 0;     // the description when the file gives no tool tip
    virtual gcstring GetDescription() const = 0; // the tool tip when the file gives no description
    virtual gcstring GetDocuURL() const = 0;
    virtual gcstring GetDeviceName() const = 0;
    virtual gcstring GetEventID() const = 0;
    virtual INodeMap* GetNodeMap() const = 0;
    virtual EInterfaceType GetPrincipalInterfaceType() const = 0;
    virtual ECachingMode GetCachingMode() const = 0;
    virtual int64_t GetPollingTime() const = 0; // ms, -1 when the node is not polled
    virtual bool IsStreamable() const = 0;
    virtual bool IsFeature() const = 0; // reachable from "Root" through categories
    virtual bool IsDeprecated() const = 0;
    virtual bool IsCachable() const = 0;
    virtual INode* GetAlias() const = 0;
    virtual INode* GetCastAlias() const = 0;
    // Nodes linked from this one, in the order the file gives them.
    virtual void GetChildren(node_vector& children, ELinkType linkType = ctWritingChildren) const = 0;
    // Nodes that link to this one.
    virtual void GetParents(node_vector& parents) const = 0;
    // Registers a callback fired after every write or Execute that may have changed this node
    // (a write of it or of a node it depends on), once per outermost call, on the writing
    // thread; cbPostInsideLock callbacks run with the node-map lock held.
    virtual CallbackHandleType RegisterCallback(std::function<void(INode*)> callback,
                                                ECallbackType type = cbPostInsideLock) = 0;
    virtual bool DeregisterCallback(CallbackHandleType handle) = 0;
    // Drops cached values of this node and of everything that depends on it, then fires callbacks.
    virtual void InvalidateNode() = 0;
    // Further restricts the access mode / changes the visibility at run time.
    virtual void ImposeAccessMode(EAccessMode mode) = 0;
    virtual void ImposeVisibility(EVisibility visibility) = 0;
};

// Text form of a value; implemented by every node.
class IValue : virtual public IBase {
public:
    virtual INode* GetNode() = 0;
    virtual gcstring ToString(bool verify = false, bool ignoreCache = false) = 0;
    virtual void FromString(const gcstring& valueString, bool verify = true) = 0;
    virtual bool IsValueCacheValid() const = 0;
};

// Selector relations (pSelected); implemented by every node.
class ISelector : virtual public IBase {
public:
    virtual bool IsSelector() const = 0;
    virtual void GetSelectedFeatures(FeatureList_t& features) const = 0;
    virtual void GetSelectingFeatures(FeatureList_t& features) const = 0;
};

class IInteger : virtual public IValue {
public:
    // Writes the value; with verify, a value outside [GetMin, GetMax] or off GetInc throws
    // OutOfRangeException. A node that is not writable throws AccessException.
    virtual void SetValue(int64_t value, bool verify = true) = 0;
    // Reads the value (from the register cache unless ignoreCache); a node that is not
    // readable throws AccessException.
    virtual int64_t GetValue(bool verify = false, bool ignoreCache = false) = 0;
    virtual int64_t GetMin() = 0;
    virtual int64_t GetMax() = 0;
    virtual int64_t GetInc() = 0;
    virtual EIncMode GetIncMode() = 0;
    virtual ERepresentation GetRepresentation() = 0;
    virtual gcstring GetUnit() const = 0;
};

class IFloat : virtual public IValue {
public:
    virtual void SetValue(double value, bool verify = true) = 0;
    virtual double GetValue(bool verify = false, bool ignoreCache = false) = 0;
    virtual double GetMin() = 0;
    virtual double GetMax() = 0;
    virtual bool HasInc() = 0;
    virtual EIncMode GetIncMode() = 0;
    virtual double GetInc() = 0;
    virtual ERepresentation GetRepresentation() = 0;
    virtual gcstring GetUnit() const = 0;
    virtual EDisplayNotation GetDisplayNotation() const = 0;
    virtual int64_t GetDisplayPrecision() const = 0;
};

class IBoolean : virtual public IValue {
public:
    virtual void SetValue(bool value, bool verify = true) = 0;
    virtual bool GetValue(bool verify = false, bool ignoreCache = false) = 0;
};

class ICommand : virtual public IValue {
public:
    // Writes the command value to the command's register.
    virtual void Execute(bool verify = true) = 0;
    // True once the register no longer holds the command value (always true when unreadable).
    virtual bool IsDone(bool verify = true) = 0;
};

class IString : virtual public IValue {
public:
    virtual void SetValue(const gcstring& value, bool verify = true) = 0;
    virtual gcstring GetValue(bool verify = false, bool ignoreCache = false) = 0;
    virtual int64_t GetMaxLength() = 0;
};

// A register: raw bytes at an address of a port. IntReg, MaskedIntReg, FloatReg and StringReg
// nodes implement it besides their value interface.
class IRegister : virtual public IValue {
public:
    virtual void Set(const uint8_t* buffer, int64_t length, bool verify = true) = 0;
    virtual void Get(uint8_t* buffer, int64_t length, bool verify = false, bool ignoreCache = false) = 0;
    virtual int64_t GetLength() = 0;
    virtual int64_t GetAddress() = 0;
};

class IEnumEntry : virtual public IValue {
public:
    virtual int64_t GetValue() = 0;
    virtual gcstring GetSymbolic() const = 0;
    virtual double GetNumericValue() = 0;
    virtual bool IsSelfClearing() = 0;
};

class IEnumeration : virtual public IValue {
public:
    // Symbolic names of the entries that are available now.
    virtual void GetSymbolics(StringList_t& symbolics) = 0;
    // All entry nodes, in the order of the file.
    virtual void GetEntries(node_vector& entries) = 0;
    virtual void SetIntValue(int64_t value, bool verify = true) = 0;
    virtual int64_t GetIntValue(bool verify = false, bool ignoreCache = false) = 0;
    virtual IEnumEntry* GetEntryByName(const gcstring& symbolic) = 0;
    virtual IEnumEntry* GetEntry(int64_t value) = 0;
    virtual IEnumEntry* GetCurrentEntry(bool verify = false, bool ignoreCache = false) = 0;
};

class ICategory : virtual public IValue {
public:
    virtual void GetFeatures(FeatureList_t& features) const = 0;
};

// Register access to a device. The SDK implements it (MyIPort) and connects it to the node
// map with CNodeMapRef::_Connect; every register access of the node map goes through it.
// Read gets a zero-filled buffer. A failed access is reported by throwing PortException
// with the transport's status (Exceptions.h).
class IPort : virtual public IBase {
public:
    virtual void Read(void* buffer, int64_t address, int64_t length) = 0;
    virtual void Write(const void* buffer, int64_t address, int64_t length) = 0;
};

// A node map: the nodes built from one description file.
class INodeMap {
public:
    virtual ~INodeMap() = default;
    virtual void GetNodes(node_vector& nodes) const = 0;
    // The node of that name (for enumeration entries "EnumEntry_<Enumeration>_<Entry>"), or null.
    virtual INode* GetNode(const gcstring& name) const = 0;
    virtual void InvalidateNodes() const = 0;
    // Connects a port to the Port node of that name; false when the file has no such port.
    virtual bool Connect(IPort* port, const gcstring& portName) = 0;
    // Connects a port to the Port node "Device".
    virtual bool Connect(IPort* port) = 0;
    virtual gcstring GetDeviceName() const = 0;
    // Re-reads the nodes whose PollingTime has run out after another elapsedTime ms and fires
    // the callbacks of those whose value changed. Read failures are swallowed.
    virtual void Poll(int64_t elapsedTime) = 0;
    virtual std::recursive_mutex& GetLock() const = 0;
    virtual uint64_t GetNumNodes() const = 0;
    // Attributes of the file's RegisterDescription element.
    virtual gcstring GetModelName() const = 0;
    virtual gcstring GetVendorName() const = 0;
    virtual gcstring GetToolTip() const = 0;
    virtual void GetSchemaVersion(int64_t& major, int64_t& minor, int64_t& subMinor) const = 0;
    virtual void GetDeviceVersion(int64_t& major, int64_t& minor, int64_t& subMinor) const = 0;
};

// Callback registration in the GenApi style: Register(node, client, &Client::method).
CallbackHandleType Register(INode* node, std::function<void(INode*)> callback, ECallbackType type = cbPostInsideLock);
template <class Client>
CallbackHandleType Register(INode* node, Client& client, void (Client::*method)(INode*),
                            ECallbackType type = cbPostInsideLock) {
    return Register(
        node, [&client, method](INode* n) { (client.*method)(n); }, type);
}
bool Deregister(INode* node, CallbackHandleType handle);

} // namespace QxGenApi
