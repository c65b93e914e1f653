#include "gige/GvcpProtocol.h"

#include <algorithm>
#include <cstring>

#include "Sys/ByteOrder.h"
#include "Sys/WireField.h"

namespace qx::gige::gvcp {

using qx::sys::loadBe32;
using qx::sys::storeBe32;

namespace {

using qx::sys::BeField;

// Command header.
using CmdKey = BeField<uint8_t, 0>;
using CmdFlags = BeField<uint8_t, 1>;
using CmdCommand = BeField<uint16_t, 2>;
using CmdLength = BeField<uint16_t, 4>; // payload bytes after the header
using CmdRequestId = BeField<uint16_t, 6>;
// Acknowledge header.
using AckStatus = BeField<uint16_t, 0>;
using AckAnswer = BeField<uint16_t, 2>;
using AckLength = BeField<uint16_t, 4>;
using AckId = BeField<uint16_t, 6>;
static_assert(CmdRequestId::kEnd == kHeaderSize && AckId::kEnd == kHeaderSize);

// Payload fields, counted from the first byte after the header.
// Register lists: READREG addresses and READREG ack values, WRITEREG address/value pairs.
constexpr size_t kRegisterSize = 4;
constexpr size_t kRegisterPairSize = 8;
// READMEM and WRITEMEM commands and the READMEM ack start with the address; the data of WRITEMEM
// and of the READMEM ack follows it; READMEM asks for a byte count after 2 reserved bytes.
using MemAddress = BeField<uint32_t, 0>;
constexpr size_t kMemData = MemAddress::kEnd;
using ReadMemCount = BeField<uint16_t, 6>;
constexpr size_t kReadMemCmdPayload = ReadMemCount::kEnd;
// WRITEREG and WRITEMEM acks (index of the first failed write) and PENDING_ACK (time to
// completion): 2 reserved bytes, then the value.
using AckIndex = BeField<uint16_t, 2>;
using PendingTimeMs = BeField<uint16_t, 2>;
constexpr size_t kShortAckPayload = AckIndex::kEnd;
// FORCEIP command: MAC (high 2 and low 4 bytes), static IP, subnet mask, default gateway; the
// addresses are copied in network order.
constexpr size_t kForceIpMac = 2, kForceIpIp = 20, kForceIpMask = 36, kForceIpGateway = 52;
// Discovery acknowledge: version and device mode ahead of the fields named in `disc`.
using DiscVersionMajor = BeField<uint16_t, 0>;
using DiscVersionMinor = BeField<uint16_t, 2>;
using DiscDeviceMode = BeField<uint32_t, 4>;
// EVENT and EVENTDATA: 2 reserved bytes, event id, stream channel, then a 16-bit block id and
// the timestamp, or with extended ids a 64-bit block id and the timestamp.
using EventId = BeField<uint16_t, 2>;
using EventStreamChannel = BeField<uint16_t, 4>;
using EventBlockId = BeField<uint16_t, 6>;
using EventTimestamp = BeField<uint64_t, 8>;
using EventBlockIdExtended = BeField<uint64_t, 8>;
using EventTimestampExtended = BeField<uint64_t, 16>;
static_assert(EventTimestamp::kEnd == kEventFields && EventTimestampExtended::kEnd == kEventFieldsExtended);

// Payload bytes that are really there: what the header announces, cut to what was received.
size_t payloadBytes(const uint8_t* p, size_t len) {
    if (len < kHeaderSize) return 0;
    return std::min<size_t>(CmdLength::get(p, len), len - kHeaderSize);
}

std::vector<uint8_t> commandFrame(uint8_t flags, uint16_t command, uint16_t requestId, size_t payloadLen) {
    std::vector<uint8_t> out(kHeaderSize + payloadLen, 0);
    encodeCommandHeader(out.data(), CommandHeader{kKey, flags, command, static_cast<uint16_t>(payloadLen), requestId});
    return out;
}

void copyText(char* dst, size_t width, const uint8_t* src) { std::memcpy(dst, src, width); }
} // namespace

void encodeCommandHeader(uint8_t* out, const CommandHeader& h) {
    CmdKey::set(out, kHeaderSize, h.key);
    CmdFlags::set(out, kHeaderSize, h.flags);
    CmdCommand::set(out, kHeaderSize, h.command);
    CmdLength::set(out, kHeaderSize, h.length);
    CmdRequestId::set(out, kHeaderSize, h.requestId);
}

bool decodeCommandHeader(const uint8_t* p, size_t len, CommandHeader* h) {
    if (len < kHeaderSize) return false;
    h->key = CmdKey::get(p, len);
    h->flags = CmdFlags::get(p, len);
    h->command = CmdCommand::get(p, len);
    h->length = CmdLength::get(p, len);
    h->requestId = CmdRequestId::get(p, len);
    return true;
}

void encodeAckHeader(uint8_t* out, const AckHeader& h) {
    AckStatus::set(out, kHeaderSize, h.status);
    AckAnswer::set(out, kHeaderSize, h.answer);
    AckLength::set(out, kHeaderSize, h.length);
    AckId::set(out, kHeaderSize, h.ackId);
}

bool decodeAckHeader(const uint8_t* p, size_t len, AckHeader* h) {
    if (len < kHeaderSize) return false;
    h->status = AckStatus::get(p, len);
    h->answer = AckAnswer::get(p, len);
    h->length = AckLength::get(p, len);
    h->ackId = AckId::get(p, len);
    return true;
}

void setRequestId(uint8_t* command, uint16_t id) { CmdRequestId::set(command, kHeaderSize, id); }

std::vector<uint8_t> encodeReadRegCmd(uint16_t requestId, const uint32_t* addresses, size_t count) {
    auto out = commandFrame(kFlagAckRequired, kReadRegCmd, requestId, kRegisterSize * count);
    for (size_t i = 0; i < count; ++i) storeBe32(out.data() + kHeaderSize + kRegisterSize * i, addresses[i]);
    return out;
}

std::vector<uint8_t> encodeWriteRegCmd(uint16_t requestId, const uint32_t* addresses, const uint32_t* values,
                                       size_t count) {
    auto out = commandFrame(kFlagAckRequired, kWriteRegCmd, requestId, kRegisterPairSize * count);
    for (size_t i = 0; i < count; ++i) {
        uint8_t* pair = out.data() + kHeaderSize + kRegisterPairSize * i;
        storeBe32(pair, addresses[i]);
        storeBe32(pair + kRegisterSize, values[i]);
    }
    return out;
}

std::vector<uint8_t> encodeReadMemCmd(uint16_t requestId, uint32_t address, uint16_t count) {
    auto out = commandFrame(kFlagAckRequired, kReadMemCmd, requestId, kReadMemCmdPayload);
    uint8_t* q = out.data() + kHeaderSize;
    MemAddress::set(q, kReadMemCmdPayload, address);
    ReadMemCount::set(q, kReadMemCmdPayload, count);
    return out;
}

std::vector<uint8_t> encodeWriteMemCmd(uint16_t requestId, uint32_t address, const uint8_t* data, size_t count) {
    auto out = commandFrame(kFlagAckRequired, kWriteMemCmd, requestId, kMemData + count);
    uint8_t* q = out.data() + kHeaderSize;
    MemAddress::set(q, kMemData, address);
    if (count) std::memcpy(q + kMemData, data, count);
    return out;
}

std::vector<uint8_t> encodeDiscoveryCmd(uint16_t requestId, bool allowBroadcastAck) {
    uint8_t flags = kFlagAckRequired | (allowBroadcastAck ? kFlagAllowBroadcastAck : 0);
    return commandFrame(flags, kDiscoveryCmd, requestId, 0);
}

std::vector<uint8_t> encodeForceIpCmd(uint16_t requestId, const ForceIpRequest& r) {
    auto out = commandFrame(r.ip != 0 ? kFlagAckRequired : 0, kForceIpCmd, requestId, kForceIpCmdSize - kHeaderSize);
    uint8_t* q = out.data() + kHeaderSize;
    std::memcpy(q + kForceIpMac, r.mac, 6);
    std::memcpy(q + kForceIpIp, &r.ip, 4);
    std::memcpy(q + kForceIpMask, &r.mask, 4);
    std::memcpy(q + kForceIpGateway, &r.gateway, 4);
    return out;
}

size_t decodeReadRegAck(const uint8_t* p, size_t len, uint32_t* values, size_t maxValues) {
    size_t n = std::min(payloadBytes(p, len) / kRegisterSize, maxValues);
    for (size_t i = 0; i < n; ++i) values[i] = loadBe32(p + kHeaderSize + kRegisterSize * i);
    return n;
}

bool decodeReadMemAck(const uint8_t* p, size_t len, uint32_t* address, const uint8_t** data, size_t* dataLen) {
    size_t n = payloadBytes(p, len);
    if (n < kMemData) return false;
    *address = MemAddress::get(p + kHeaderSize, n);
    *data = p + kHeaderSize + kMemData;
    *dataLen = n - kMemData;
    return true;
}

bool decodeWriteAck(const uint8_t* p, size_t len, uint16_t* index) {
    const size_t n = payloadBytes(p, len);
    if (n < kShortAckPayload) return false;
    *index = AckIndex::get(p + kHeaderSize, n);
    return true;
}

bool decodePendingAck(const uint8_t* p, size_t len, uint16_t* timeMs) {
    const size_t n = payloadBytes(p, len);
    if (n < kShortAckPayload) return false;
    *timeMs = PendingTimeMs::get(p + kHeaderSize, n);
    return true;
}

bool decodeDiscoveryAck(const uint8_t* p, size_t len, DiscoveryInfo* info) {
    if (len != kDiscoveryAckSize) return false;
    const uint8_t* d = p + kHeaderSize;
    *info = DiscoveryInfo{};
    info->versionMajor = DiscVersionMajor::get(d, kDiscoveryPayloadSize);
    info->versionMinor = DiscVersionMinor::get(d, kDiscoveryPayloadSize);
    info->deviceMode = DiscDeviceMode::get(d, kDiscoveryPayloadSize);
    std::memcpy(info->mac, d + disc::kMacHigh, 2);
    std::memcpy(info->mac + 2, d + disc::kMacLow, 4);
    info->ipConfigOptions = loadBe32(d + disc::kIpConfigOptions);
    info->ipConfigCurrent = loadBe32(d + disc::kIpConfigCurrent);
    std::memcpy(&info->currentIp, d + disc::kCurrentIp, 4);
    std::memcpy(&info->currentMask, d + disc::kCurrentMask, 4);
    std::memcpy(&info->gateway, d + disc::kGateway, 4);
    copyText(info->manufacturer, 32, d + disc::kManufacturer);
    copyText(info->model, 32, d + disc::kModel);
    copyText(info->deviceVersion, 32, d + disc::kDeviceVersion);
    copyText(info->manufacturerInfo, 48, d + disc::kManufacturerInfo);
    copyText(info->serialNumber, 16, d + disc::kSerialNumber);
    copyText(info->userName, 16, d + disc::kUserName);
    return true;
}

bool decodeReadRegCmd(const uint8_t* p, size_t len, std::vector<uint32_t>* addresses) {
    size_t n = payloadBytes(p, len) / kRegisterSize;
    addresses->clear();
    for (size_t i = 0; i < n; ++i) addresses->push_back(loadBe32(p + kHeaderSize + kRegisterSize * i));
    return n > 0;
}

bool decodeWriteRegCmd(const uint8_t* p, size_t len, std::vector<uint32_t>* addresses, std::vector<uint32_t>* values) {
    size_t n = payloadBytes(p, len) / kRegisterPairSize;
    addresses->clear();
    values->clear();
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* pair = p + kHeaderSize + kRegisterPairSize * i;
        addresses->push_back(loadBe32(pair));
        values->push_back(loadBe32(pair + kRegisterSize));
    }
    return n > 0;
}

bool decodeReadMemCmd(const uint8_t* p, size_t len, uint32_t* address, uint16_t* count) {
    const size_t n = payloadBytes(p, len);
    if (n < kReadMemCmdPayload) return false;
    *address = MemAddress::get(p + kHeaderSize, n);
    *count = ReadMemCount::get(p + kHeaderSize, n);
    return true;
}

bool decodeWriteMemCmd(const uint8_t* p, size_t len, uint32_t* address, const uint8_t** data, size_t* dataLen) {
    size_t n = payloadBytes(p, len);
    if (n < kMemData) return false;
    *address = MemAddress::get(p + kHeaderSize, n);
    *data = p + kHeaderSize + kMemData;
    *dataLen = n - kMemData;
    return true;
}

bool decodeForceIpCmd(const uint8_t* p, size_t len, ForceIpRequest* r) {
    if (len < kForceIpCmdSize || payloadBytes(p, len) < kForceIpCmdSize - kHeaderSize) return false;
    const uint8_t* d = p + kHeaderSize;
    std::memcpy(r->mac, d + kForceIpMac, 6);
    std::memcpy(&r->ip, d + kForceIpIp, 4);
    std::memcpy(&r->mask, d + kForceIpMask, 4);
    std::memcpy(&r->gateway, d + kForceIpGateway, 4);
    return true;
}

bool decodeEventCmd(const uint8_t* p, size_t len, EventPacket* e) {
    CommandHeader h;
    if (!decodeCommandHeader(p, len, &h) || h.key != kKey) return false;
    if (h.command != kEventCmd && h.command != kEventDataCmd) return false;
    const bool extended = (h.flags & kFlagExtendedIds) != 0;
    const size_t fields = extended ? kEventFieldsExtended : kEventFields;
    if (h.length < fields || size_t(h.length) > len - kHeaderSize) return false;
    const uint8_t* q = p + kHeaderSize;
    EventPacket out;
    out.flags = h.flags;
    out.command = h.command;
    out.requestId = h.requestId;
    out.eventId = EventId::get(q, fields);
    out.streamChannel = EventStreamChannel::get(q, fields);
    if (extended) {
        out.blockId = EventBlockIdExtended::get(q, fields);
        out.timestamp = EventTimestampExtended::get(q, fields);
    } else {
        out.blockId = EventBlockId::get(q, fields);
        out.timestamp = EventTimestamp::get(q, fields);
    }
    if (h.command == kEventDataCmd) {
        out.data = q + fields;
        out.dataLength = h.length - fields;
    }
    *e = out;
    return true;
}

std::vector<uint8_t> encodeEventCmd(const EventPacket& e) {
    const bool extended = (e.flags & kFlagExtendedIds) != 0;
    const size_t fields = extended ? kEventFieldsExtended : kEventFields;
    const size_t dataLen = e.command == kEventDataCmd ? e.dataLength : 0;
    auto out = commandFrame(e.flags, e.command, e.requestId, fields + dataLen);
    uint8_t* q = out.data() + kHeaderSize;
    EventId::set(q, fields, e.eventId);
    EventStreamChannel::set(q, fields, e.streamChannel);
    if (extended) {
        EventBlockIdExtended::set(q, fields, e.blockId);
        EventTimestampExtended::set(q, fields, e.timestamp);
    } else {
        EventBlockId::set(q, fields, uint16_t(e.blockId));
        EventTimestamp::set(q, fields, e.timestamp);
    }
    if (dataLen && e.data) std::memcpy(q + fields, e.data, dataLen);
    return out;
}

std::vector<uint8_t> encodeEventAck(uint16_t command, uint16_t ackId) {
    return encodeAck(0, command == kEventDataCmd ? kEventDataAck : kEventAck, ackId, nullptr, 0);
}

std::vector<uint8_t> encodeAck(uint16_t status, uint16_t answer, uint16_t ackId, const uint8_t* payload,
                               size_t payloadLen) {
    std::vector<uint8_t> out(kHeaderSize + payloadLen, 0);
    encodeAckHeader(out.data(), AckHeader{status, answer, static_cast<uint16_t>(payloadLen), ackId});
    if (payloadLen) std::memcpy(out.data() + kHeaderSize, payload, payloadLen);
    return out;
}

std::vector<uint8_t> encodeReadRegAck(uint16_t ackId, uint16_t status, const uint32_t* values, size_t count) {
    std::vector<uint8_t> payload(kRegisterSize * count);
    for (size_t i = 0; i < count; ++i) storeBe32(payload.data() + kRegisterSize * i, values[i]);
    return encodeAck(status, kReadRegAck, ackId, payload.data(), payload.size());
}

std::vector<uint8_t> encodeWriteAck(uint16_t answer, uint16_t ackId, uint16_t status, uint16_t index) {
    uint8_t payload[kShortAckPayload] = {};
    AckIndex::set(payload, sizeof payload, index);
    return encodeAck(status, answer, ackId, payload, sizeof payload);
}

std::vector<uint8_t> encodeReadMemAck(uint16_t ackId, uint16_t status, uint32_t address, const uint8_t* data,
                                      size_t count) {
    std::vector<uint8_t> payload(kMemData + count);
    MemAddress::set(payload.data(), payload.size(), address);
    if (count) std::memcpy(payload.data() + kMemData, data, count);
    return encodeAck(status, kReadMemAck, ackId, payload.data(), payload.size());
}

std::vector<uint8_t> encodePendingAck(uint16_t ackId, uint16_t timeMs) {
    uint8_t payload[kShortAckPayload] = {};
    PendingTimeMs::set(payload, sizeof payload, timeMs);
    return encodeAck(0, kPendingAck, ackId, payload, sizeof payload);
}

std::vector<uint8_t> encodeDiscoveryAck(uint16_t ackId, uint16_t status, const DiscoveryInfo& info) {
    uint8_t d[kDiscoveryPayloadSize] = {};
    DiscVersionMajor::set(d, sizeof d, info.versionMajor);
    DiscVersionMinor::set(d, sizeof d, info.versionMinor);
    DiscDeviceMode::set(d, sizeof d, info.deviceMode);
    std::memcpy(d + disc::kMacHigh, info.mac, 2);
    std::memcpy(d + disc::kMacLow, info.mac + 2, 4);
    storeBe32(d + disc::kIpConfigOptions, info.ipConfigOptions);
    storeBe32(d + disc::kIpConfigCurrent, info.ipConfigCurrent);
    std::memcpy(d + disc::kCurrentIp, &info.currentIp, 4);
    std::memcpy(d + disc::kCurrentMask, &info.currentMask, 4);
    std::memcpy(d + disc::kGateway, &info.gateway, 4);
    std::memcpy(d + disc::kManufacturer, info.manufacturer, 32);
    std::memcpy(d + disc::kModel, info.model, 32);
    std::memcpy(d + disc::kDeviceVersion, info.deviceVersion, 32);
    std::memcpy(d + disc::kManufacturerInfo, info.manufacturerInfo, 48);
    std::memcpy(d + disc::kSerialNumber, info.serialNumber, 16);
    std::memcpy(d + disc::kUserName, info.userName, 16);
    return encodeAck(status, kDiscoveryAck, ackId, d, sizeof d);
}

} // namespace qx::gige::gvcp
