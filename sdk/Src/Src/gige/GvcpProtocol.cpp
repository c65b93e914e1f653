#include "gige/GvcpProtocol.h"

#include <algorithm>
#include <cstring>

#include "Sys/ByteOrder.h"

namespace qx::gige::gvcp {

using qx::sys::loadBe16;
using qx::sys::loadBe32;
using qx::sys::storeBe16;
using qx::sys::storeBe32;

namespace {
// Payload bytes that are really there: what the header announces, cut to what was received.
size_t payloadBytes(const uint8_t* p, size_t len) {
    if (len < kHeaderSize) return 0;
    return std::min<size_t>(loadBe16(p + 4), len - kHeaderSize);
}

std::vector<uint8_t> commandFrame(uint8_t flags, uint16_t command, uint16_t requestId, size_t payloadLen) {
    std::vector<uint8_t> out(kHeaderSize + payloadLen, 0);
    encodeCommandHeader(out.data(), CommandHeader{kKey, flags, command, static_cast<uint16_t>(payloadLen), requestId});
    return out;
}

void copyText(char* dst, size_t width, const uint8_t* src) { std::memcpy(dst, src, width); }
} // namespace

void encodeCommandHeader(uint8_t* out, const CommandHeader& h) {
    out[0] = h.key;
    out[1] = h.flags;
    storeBe16(out + 2, h.command);
    storeBe16(out + 4, h.length);
    storeBe16(out + 6, h.requestId);
}

bool decodeCommandHeader(const uint8_t* p, size_t len, CommandHeader* h) {
    if (len < kHeaderSize) return false;
    h->key = p[0];
    h->flags = p[1];
    h->command = loadBe16(p + 2);
    h->length = loadBe16(p + 4);
    h->requestId = loadBe16(p + 6);
    return true;
}

void encodeAckHeader(uint8_t* out, const AckHeader& h) {
    storeBe16(out, h.status);
    storeBe16(out + 2, h.answer);
    storeBe16(out + 4, h.length);
    storeBe16(out + 6, h.ackId);
}

bool decodeAckHeader(const uint8_t* p, size_t len, AckHeader* h) {
    if (len < kHeaderSize) return false;
    h->status = loadBe16(p);
    h->answer = loadBe16(p + 2);
    h->length = loadBe16(p + 4);
    h->ackId = loadBe16(p + 6);
    return true;
}

void setRequestId(uint8_t* command, uint16_t id) { storeBe16(command + 6, id); }

std::vector<uint8_t> encodeReadRegCmd(uint16_t requestId, const uint32_t* addresses, size_t count) {
    auto out = commandFrame(kFlagAckRequired, kReadRegCmd, requestId, 4 * count);
    for (size_t i = 0; i < count; ++i) storeBe32(out.data() + kHeaderSize + 4 * i, addresses[i]);
    return out;
}

std::vector<uint8_t> encodeWriteRegCmd(uint16_t requestId, const uint32_t* addresses, const uint32_t* values,
                                       size_t count) {
    auto out = commandFrame(kFlagAckRequired, kWriteRegCmd, requestId, 8 * count);
    for (size_t i = 0; i < count; ++i) {
        storeBe32(out.data() + kHeaderSize + 8 * i, addresses[i]);
        storeBe32(out.data() + kHeaderSize + 8 * i + 4, values[i]);
    }
    return out;
}

std::vector<uint8_t> encodeReadMemCmd(uint16_t requestId, uint32_t address, uint16_t count) {
    auto out = commandFrame(kFlagAckRequired, kReadMemCmd, requestId, 8);
    storeBe32(out.data() + 8, address);
    storeBe16(out.data() + 12, 0);
    storeBe16(out.data() + 14, count);
    return out;
}

std::vector<uint8_t> encodeWriteMemCmd(uint16_t requestId, uint32_t address, const uint8_t* data, size_t count) {
    auto out = commandFrame(kFlagAckRequired, kWriteMemCmd, requestId, 4 + count);
    storeBe32(out.data() + 8, address);
    if (count) std::memcpy(out.data() + 12, data, count);
    return out;
}

std::vector<uint8_t> encodeDiscoveryCmd(uint16_t requestId, bool allowBroadcastAck) {
    uint8_t flags = kFlagAckRequired | (allowBroadcastAck ? kFlagAllowBroadcastAck : 0);
    return commandFrame(flags, kDiscoveryCmd, requestId, 0);
}

std::vector<uint8_t> encodeForceIpCmd(uint16_t requestId, const ForceIpRequest& r) {
    auto out = commandFrame(r.ip != 0 ? kFlagAckRequired : 0, kForceIpCmd, requestId, kForceIpCmdSize - kHeaderSize);
    uint8_t* p = out.data() + kHeaderSize;
    std::memcpy(p + 2, r.mac, 6);          // MAC high (2) at 10, MAC low (4) at 12
    std::memcpy(p + 20, &r.ip, 4);         // static IP at 28
    std::memcpy(p + 36, &r.mask, 4);       // subnet mask at 44
    std::memcpy(p + 52, &r.gateway, 4);    // default gateway at 60
    return out;
}

size_t decodeReadRegAck(const uint8_t* p, size_t len, uint32_t* values, size_t maxValues) {
    size_t n = std::min(payloadBytes(p, len) / 4, maxValues);
    for (size_t i = 0; i < n; ++i) values[i] = loadBe32(p + kHeaderSize + 4 * i);
    return n;
}

bool decodeReadMemAck(const uint8_t* p, size_t len, uint32_t* address, const uint8_t** data, size_t* dataLen) {
    size_t n = payloadBytes(p, len);
    if (n < 4) return false;
    *address = loadBe32(p + kHeaderSize);
    *data = p + kHeaderSize + 4;
    *dataLen = n - 4;
    return true;
}

bool decodeWriteAck(const uint8_t* p, size_t len, uint16_t* index) {
    if (payloadBytes(p, len) < 4) return false;
    *index = loadBe16(p + kHeaderSize + 2);
    return true;
}

bool decodePendingAck(const uint8_t* p, size_t len, uint16_t* timeMs) {
    if (payloadBytes(p, len) < 4) return false;
    *timeMs = loadBe16(p + kHeaderSize + 2);
    return true;
}

bool decodeDiscoveryAck(const uint8_t* p, size_t len, DiscoveryInfo* info) {
    if (len != kDiscoveryAckSize) return false;
    const uint8_t* d = p + kHeaderSize;
    *info = DiscoveryInfo{};
    info->versionMajor = loadBe16(d);
    info->versionMinor = loadBe16(d + 2);
    info->deviceMode = loadBe32(d + 4);
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
    size_t n = payloadBytes(p, len) / 4;
    addresses->clear();
    for (size_t i = 0; i < n; ++i) addresses->push_back(loadBe32(p + kHeaderSize + 4 * i));
    return n > 0;
}

bool decodeWriteRegCmd(const uint8_t* p, size_t len, std::vector<uint32_t>* addresses, std::vector<uint32_t>* values) {
    size_t n = payloadBytes(p, len) / 8;
    addresses->clear();
    values->clear();
    for (size_t i = 0; i < n; ++i) {
        addresses->push_back(loadBe32(p + kHeaderSize + 8 * i));
        values->push_back(loadBe32(p + kHeaderSize + 8 * i + 4));
    }
    return n > 0;
}

bool decodeReadMemCmd(const uint8_t* p, size_t len, uint32_t* address, uint16_t* count) {
    if (payloadBytes(p, len) < 8) return false;
    *address = loadBe32(p + kHeaderSize);
    *count = loadBe16(p + kHeaderSize + 6);
    return true;
}

bool decodeWriteMemCmd(const uint8_t* p, size_t len, uint32_t* address, const uint8_t** data, size_t* dataLen) {
    size_t n = payloadBytes(p, len);
    if (n < 4) return false;
    *address = loadBe32(p + kHeaderSize);
    *data = p + kHeaderSize + 4;
    *dataLen = n - 4;
    return true;
}

bool decodeForceIpCmd(const uint8_t* p, size_t len, ForceIpRequest* r) {
    if (len < kForceIpCmdSize || payloadBytes(p, len) < kForceIpCmdSize - kHeaderSize) return false;
    const uint8_t* d = p + kHeaderSize;
    std::memcpy(r->mac, d + 2, 6);
    std::memcpy(&r->ip, d + 20, 4);
    std::memcpy(&r->mask, d + 36, 4);
    std::memcpy(&r->gateway, d + 52, 4);
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
    out.eventId = loadBe16(q + 2);
    out.streamChannel = loadBe16(q + 4);
    if (extended) {
        out.blockId = (uint64_t(loadBe32(q + 8)) << 32) | loadBe32(q + 12);
        out.timestamp = (uint64_t(loadBe32(q + 16)) << 32) | loadBe32(q + 20);
    } else {
        out.blockId = loadBe16(q + 6);
        out.timestamp = (uint64_t(loadBe32(q + 8)) << 32) | loadBe32(q + 12);
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
    storeBe16(q + 2, e.eventId);
    storeBe16(q + 4, e.streamChannel);
    if (extended) {
        storeBe32(q + 8, uint32_t(e.blockId >> 32));
        storeBe32(q + 12, uint32_t(e.blockId));
        storeBe32(q + 16, uint32_t(e.timestamp >> 32));
        storeBe32(q + 20, uint32_t(e.timestamp));
    } else {
        storeBe16(q + 6, uint16_t(e.blockId));
        storeBe32(q + 8, uint32_t(e.timestamp >> 32));
        storeBe32(q + 12, uint32_t(e.timestamp));
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
    std::vector<uint8_t> payload(4 * count);
    for (size_t i = 0; i < count; ++i) storeBe32(payload.data() + 4 * i, values[i]);
    return encodeAck(status, kReadRegAck, ackId, payload.data(), payload.size());
}

std::vector<uint8_t> encodeWriteAck(uint16_t answer, uint16_t ackId, uint16_t status, uint16_t index) {
    uint8_t payload[4] = {0, 0, 0, 0};
    storeBe16(payload + 2, index);
    return encodeAck(status, answer, ackId, payload, 4);
}

std::vector<uint8_t> encodeReadMemAck(uint16_t ackId, uint16_t status, uint32_t address, const uint8_t* data,
                                      size_t count) {
    std::vector<uint8_t> payload(4 + count);
    storeBe32(payload.data(), address);
    if (count) std::memcpy(payload.data() + 4, data, count);
    return encodeAck(status, kReadMemAck, ackId, payload.data(), payload.size());
}

std::vector<uint8_t> encodePendingAck(uint16_t ackId, uint16_t timeMs) {
    uint8_t payload[4] = {0, 0, 0, 0};
    storeBe16(payload + 2, timeMs);
    return encodeAck(0, kPendingAck, ackId, payload, 4);
}

std::vector<uint8_t> encodeDiscoveryAck(uint16_t ackId, uint16_t status, const DiscoveryInfo& info) {
    uint8_t d[kDiscoveryPayloadSize] = {};
    storeBe16(d, info.versionMajor);
    storeBe16(d + 2, info.versionMinor);
    storeBe32(d + 4, info.deviceMode);
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
