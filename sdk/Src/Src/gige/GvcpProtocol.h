// The GVCP wire format (GigE Vision control protocol, UDP, big-endian): packet constants, the
// bootstrap register addresses and capability bits the library evaluates, and small encoders
// and decoders for every command and acknowledge the library and its test device exchange.
// Everything else in the library works on the decoded values. Decoders never read beyond the
// bytes they are given: each checks the received length before it touches a field.
// IP addresses and masks are uint32 values in network byte order; they are copied to and from
// the wire unchanged.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qx::gige::gvcp {

constexpr uint16_t kPort = 3956;
constexpr uint8_t kKey = 0x42;
constexpr uint8_t kFlagAckRequired = 0x01;
constexpr uint8_t kFlagAllowBroadcastAck = 0x10; // DISCOVERY_CMD
constexpr uint8_t kFlagExtendedIds = 0x10;       // EVENT, EVENTDATA, PACKETRESEND
constexpr size_t kHeaderSize = 8;
constexpr size_t kMaxMemoryChunk = 536;    // data bytes of one READMEM/WRITEMEM
constexpr size_t kMaxWriteRegisters = 134; // address/value pairs of one WRITEREG
constexpr size_t kDiscoveryAckSize = 256;  // header + 248 bytes of bootstrap data
constexpr size_t kDiscoveryPayloadSize = kDiscoveryAckSize - kHeaderSize;
constexpr size_t kForceIpCmdSize = 64;
constexpr size_t kMaxDatagram = 65536;
// IPv4 header without options and UDP header: what a datagram of a channel carries besides its
// GVCP or GVSP packet.
constexpr size_t kIpUdpHeaderSize = 28;

enum Command : uint16_t {
    kDiscoveryCmd = 0x0002,
    kDiscoveryAck = 0x0003,
    kForceIpCmd = 0x0004,
    kForceIpAck = 0x0005,
    kPacketResendCmd = 0x0040,
    kReadRegCmd = 0x0080,
    kReadRegAck = 0x0081,
    kWriteRegCmd = 0x0082,
    kWriteRegAck = 0x0083,
    kReadMemCmd = 0x0084,
    kReadMemAck = 0x0085,
    kWriteMemCmd = 0x0086,
    kWriteMemAck = 0x0087,
    kPendingAck = 0x0089,
    kEventCmd = 0x00C0,
    kEventAck = 0x00C1,
    kEventDataCmd = 0x00C2,
    kEventDataAck = 0x00C3,
};

// Bootstrap registers.
namespace reg {
constexpr uint32_t kVersion = 0x0000; // major in the high 16 bits
constexpr uint32_t kDeviceMode = 0x0004;
constexpr uint32_t kMacHigh = 0x0008; // low 16 bits
constexpr uint32_t kMacLow = 0x000C;
constexpr uint32_t kNetworkCapability = 0x0010;
constexpr uint32_t kNetworkConfig = 0x0014; // 0x1 persistent IP, 0x2 DHCP, 0x4 link-local
constexpr uint32_t kCurrentIp = 0x0024;
constexpr uint32_t kCurrentMask = 0x0034;
constexpr uint32_t kCurrentGateway = 0x0044;
constexpr uint32_t kManufacturerName = 0x0048; // 32 bytes
constexpr uint32_t kModelName = 0x0068;        // 32 bytes
constexpr uint32_t kDeviceVersion = 0x0088;    // 32 bytes
constexpr uint32_t kManufacturerInfo = 0x00A8; // 48 bytes
constexpr uint32_t kSerialNumber = 0x00D8;     // 16 bytes
constexpr uint32_t kUserDefinedName = 0x00E8;  // 16 bytes
constexpr uint32_t kFirstUrl = 0x0200;         // 512 bytes
constexpr uint32_t kSecondUrl = 0x0400;        // 512 bytes
constexpr uint32_t kPersistentIp = 0x064C;
constexpr uint32_t kPersistentMask = 0x065C;
constexpr uint32_t kPersistentGateway = 0x066C;
constexpr uint32_t kMessageChannels = 0x0900;
constexpr uint32_t kStreamChannels = 0x0904;
constexpr uint32_t kGvspCapability = 0x092C;           // bit 31: SCSP present
constexpr uint32_t kMessageChannelCapability = 0x0930; // bit 31: MCSP present
constexpr uint32_t kGvcpCapability = 0x0934;
constexpr uint32_t kHeartbeatTimeout = 0x0938;
constexpr uint32_t kTimestampFreqHigh = 0x093C;
constexpr uint32_t kTimestampFreqLow = 0x0940;
constexpr uint32_t kGvcpConfig = 0x0954; // 0x2 enables PENDING_ACK
constexpr uint32_t kPendingTimeout = 0x0958;
constexpr uint32_t kScCapabilityCfg = 0x0960; // bit 0x40000000 on version 2 devices
constexpr uint32_t kCcp = 0x0A00;             // 0x1 exclusive, 0x2 control
constexpr uint32_t kMcp = 0x0B00;
constexpr uint32_t kMcda = 0x0B10;
constexpr uint32_t kMcsp = 0x0B1C;
constexpr uint32_t kScp0 = 0x0D00;
constexpr uint32_t kScps0 = 0x0D04; // low 16 bits: packet size
constexpr uint32_t kScpd0 = 0x0D08;
constexpr uint32_t kScda0 = 0x0D18;
constexpr uint32_t kScsp0 = 0x0D1C;
constexpr uint32_t kScc0 = 0x0D20;           // stream channel capability
constexpr uint32_t kScConfig0 = 0x0D24;      // stream channel configuration
constexpr uint32_t kManifestHeader = 0x9000; // bits 26..31: entry count
constexpr uint32_t kManifestFirstEntry = 0x9008;
} // namespace reg

// Fields and bits of the bootstrap registers above.
namespace field {
// kNetworkConfig: how the camera gets its address.
constexpr uint32_t kNetConfigPersistentIp = 0x1;
constexpr uint32_t kNetConfigDhcp = 0x2;
constexpr uint32_t kNetConfigLinkLocal = 0x4;
// kGvcpConfig: the device may answer a long request with PENDING_ACK.
constexpr uint32_t kGvcpConfigPendingAck = 0x2;
// kCcp: the privilege bits (kCcpExclusive, kCcpControl).
constexpr uint32_t kCcpPrivilegeMask = 0x3;
// kMessageChannelCapability (MCSP) and kGvspCapability (SCSP): the channel's source port
// register is present.
constexpr uint32_t kSourcePortSupported = 0x80000000u;
// kMcsp, kScsp0, kScp0: the port in the low 16 bits.
constexpr uint32_t kPortMask = 0x0000FFFFu;
// kScps0: the packet size in the low 16 bits.
constexpr uint32_t kPacketSizeMask = 0x0000FFFFu;
// kVersion: major and minor version.
constexpr uint32_t kVersionMajorShift = 16;
constexpr uint32_t kVersionMinorMask = 0x0000FFFFu;
// kManifestHeader and the manifest entries: 6-bit fields. The header holds the entry count; an
// entry's first word the XML and schema versions, its second word the URL register address.
constexpr uint32_t kManifestFieldMask = 0x3F;
constexpr uint32_t kManifestCountShift = 26;
constexpr uint32_t kManifestXmlMajorShift = 26;
constexpr uint32_t kManifestXmlMinorShift = 20;
constexpr uint32_t kManifestXmlSubminorShift = 14;
constexpr uint32_t kManifestSchemaMajorShift = 8;
constexpr uint32_t kManifestSchemaMinorShift = 2;
constexpr uint32_t kManifestUrlAddressOffset = 4;
} // namespace field

// GVCP capability bits (register 0x0934).
namespace cap {
constexpr uint32_t kConcatenation = 0x00000001;
constexpr uint32_t kWriteMem = 0x00000002;
constexpr uint32_t kPacketResend = 0x00000004;
constexpr uint32_t kEvent = 0x00000008;
constexpr uint32_t kEventData = 0x00000010;
constexpr uint32_t kPendingAck = 0x00000020;
constexpr uint32_t kStatusFlag0 = 0x00000040;
constexpr uint32_t kStatusFlag1 = 0x00020000;
constexpr uint32_t kManifestTable = 0x04000000;
} // namespace cap

constexpr uint32_t kCcpExclusive = 0x1;
constexpr uint32_t kCcpControl = 0x2;

struct CommandHeader {
    uint8_t key = kKey;
    uint8_t flags = 0;
    uint16_t command = 0;
    uint16_t length = 0; // bytes after the header
    uint16_t requestId = 0;
};

struct AckHeader {
    uint16_t status = 0;
    uint16_t answer = 0;
    uint16_t length = 0; // bytes after the header
    uint16_t ackId = 0;
};

// Request ids run 1..0xFFFF; 0 is never used.
inline uint16_t nextRequestId(uint16_t id) { return id >= 0xFFFF ? 1 : static_cast<uint16_t>(id + 1); }

void encodeCommandHeader(uint8_t* out, const CommandHeader& h);
bool decodeCommandHeader(const uint8_t* p, size_t len, CommandHeader* h);
void encodeAckHeader(uint8_t* out, const AckHeader& h);
bool decodeAckHeader(const uint8_t* p, size_t len, AckHeader* h);
// Rewrites the request id of an encoded command.
void setRequestId(uint8_t* command, uint16_t id);

// Commands (host -> device).
std::vector<uint8_t> encodeReadRegCmd(uint16_t requestId, const uint32_t* addresses, size_t count);
std::vector<uint8_t> encodeWriteRegCmd(uint16_t requestId, const uint32_t* addresses, const uint32_t* values,
                                       size_t count);
std::vector<uint8_t> encodeReadMemCmd(uint16_t requestId, uint32_t address, uint16_t count);
std::vector<uint8_t> encodeWriteMemCmd(uint16_t requestId, uint32_t address, const uint8_t* data, size_t count);
std::vector<uint8_t> encodeDiscoveryCmd(uint16_t requestId, bool allowBroadcastAck);

struct ForceIpRequest {
    uint8_t mac[6] = {}; // bytes 0-1 MAC high, 2-5 MAC low
    uint32_t ip = 0;
    uint32_t mask = 0;
    uint32_t gateway = 0;
};
// Flags 0x01 (acknowledge) unless the IP is 0.
std::vector<uint8_t> encodeForceIpCmd(uint16_t requestId, const ForceIpRequest& r);

// Acknowledges (device -> host). Every decoder bounds what it reads by `len`, the bytes
// actually received, and by the header's own length field.
// Copies at most maxValues register values (host order); returns how many the datagram holds.
size_t decodeReadRegAck(const uint8_t* p, size_t len, uint32_t* values, size_t maxValues);
// Address echo and the data that follows it (pointer into p, length bounded as above).
bool decodeReadMemAck(const uint8_t* p, size_t len, uint32_t* address, const uint8_t** data, size_t* dataLen);
// Index field of WRITEREG_ACK / WRITEMEM_ACK.
bool decodeWriteAck(const uint8_t* p, size_t len, uint16_t* index);
// Time to completion (ms) of a PENDING_ACK.
bool decodePendingAck(const uint8_t* p, size_t len, uint16_t* timeMs);

// The discovery data of a DISCOVERY_ACK (the device's bootstrap registers 0x0000..0x00F7).
struct DiscoveryInfo {
    uint16_t versionMajor = 0;
    uint16_t versionMinor = 0;
    uint32_t deviceMode = 0;
    uint8_t mac[6] = {};
    uint32_t ipConfigOptions = 0;
    uint32_t ipConfigCurrent = 0;
    uint32_t currentIp = 0;
    uint32_t currentMask = 0;
    uint32_t gateway = 0;
    char manufacturer[32] = {}; // not NUL-terminated when the text fills the field
    char model[32] = {};
    char deviceVersion[32] = {};
    char manufacturerInfo[48] = {};
    char serialNumber[16] = {};
    char userName[16] = {};
};
// Payload offsets of the discovery data.
namespace disc {
constexpr size_t kMacHigh = 10, kMacLow = 12, kIpConfigOptions = 16, kIpConfigCurrent = 20, kCurrentIp = 36,
                 kCurrentMask = 52, kGateway = 68, kManufacturer = 72, kModel = 104, kDeviceVersion = 136,
                 kManufacturerInfo = 168, kSerialNumber = 216, kUserName = 232;
}
// True only for a complete 256-byte DISCOVERY_ACK.
bool decodeDiscoveryAck(const uint8_t* p, size_t len, DiscoveryInfo* info);

// EVENT_CMD / EVENTDATA_CMD (device -> host, on the message channel). After the command
// header: reserved (2), event id (2), stream channel index (2), then block id (2), timestamp
// high (4), low (4) and, for EVENTDATA, the data; with kFlagExtendedIds: reserved (2), block id
// high (4), low (4), timestamp high (4), low (4), data. Only the first event of a datagram is
// read. The decoder accepts only key 0x42 and these two commands, and a payload length that
// covers the event's fixed fields and lies inside the received bytes; `data` then points into
// p and `dataLength` counts the EVENTDATA bytes the header announces (0 for EVENT_CMD).
// Event identifiers: the standard events, then reserved ones up to kEventReservedLast, error
// events up to kEventErrorLast and device-specific events above it.
enum EventIdentifier : uint16_t {
    kEventTrigger = 0x0002,
    kEventStartOfExposure = 0x0003,
    kEventEndOfExposure = 0x0004,
    kEventStartOfTransfer = 0x0005,
    kEventEndOfTransfer = 0x0006,
    kEventPrimarySwitchover = 0x0007,
    kEventLinkSpeedChange = 0x0008,
    kEventActionLate = 0x0009,
    kEventReservedLast = 0x8000,
    kEventErrorLast = 0x8FFF,
};
constexpr size_t kEventFields = 16;         // payload bytes of one event
constexpr size_t kEventFieldsExtended = 24; // with 64-bit block ids
struct EventPacket {
    uint8_t flags = 0;
    uint16_t command = 0;
    uint16_t requestId = 0;
    uint16_t eventId = 0;
    uint16_t streamChannel = 0;
    uint64_t blockId = 0;
    uint64_t timestamp = 0;
    const uint8_t* data = nullptr;
    size_t dataLength = 0;
};
bool decodeEventCmd(const uint8_t* p, size_t len, EventPacket* e);
// Encodes e.command (EVENT_CMD or EVENTDATA_CMD) with e.flags; `data` only for EVENTDATA_CMD.
std::vector<uint8_t> encodeEventCmd(const EventPacket& e);
// EVENT_ACK / EVENTDATA_ACK: status 0, no payload, the command's request id as acknowledge id.
std::vector<uint8_t> encodeEventAck(uint16_t command, uint16_t ackId);

// Device side: the test device decodes commands and encodes acknowledges with these, so it
// speaks exactly the format the library parses.
bool decodeReadRegCmd(const uint8_t* p, size_t len, std::vector<uint32_t>* addresses);
bool decodeWriteRegCmd(const uint8_t* p, size_t len, std::vector<uint32_t>* addresses, std::vector<uint32_t>* values);
bool decodeReadMemCmd(const uint8_t* p, size_t len, uint32_t* address, uint16_t* count);
bool decodeWriteMemCmd(const uint8_t* p, size_t len, uint32_t* address, const uint8_t** data, size_t* dataLen);
bool decodeForceIpCmd(const uint8_t* p, size_t len, ForceIpRequest* r);

std::vector<uint8_t> encodeAck(uint16_t status, uint16_t answer, uint16_t ackId, const uint8_t* payload,
                               size_t payloadLen);
std::vector<uint8_t> encodeReadRegAck(uint16_t ackId, uint16_t status, const uint32_t* values, size_t count);
std::vector<uint8_t> encodeWriteAck(uint16_t answer, uint16_t ackId, uint16_t status, uint16_t index);
std::vector<uint8_t> encodeReadMemAck(uint16_t ackId, uint16_t status, uint32_t address, const uint8_t* data,
                                      size_t count);
std::vector<uint8_t> encodePendingAck(uint16_t ackId, uint16_t timeMs);
std::vector<uint8_t> encodeDiscoveryAck(uint16_t ackId, uint16_t status, const DiscoveryInfo& info);

} // namespace qx::gige::gvcp
