#include "usb3/UsbLinkWire.h"

#include <array>
#include <cstring>

namespace qx::usb3 {

namespace {

constexpr std::array<uint8_t, 256> makeCrcTable() {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        uint8_t c = static_cast<uint8_t>(i);
        for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<uint8_t>((c >> 1) ^ 0x8C) : static_cast<uint8_t>(c >> 1);
        t[static_cast<size_t>(i)] = c;
    }
    return t;
}
constexpr std::array<uint8_t, 256> kCrcTable = makeCrcTable();

} // namespace

uint8_t crc8Maxim(const uint8_t* data, size_t size, uint8_t crc) {
    for (size_t i = 0; i < size; ++i) crc = kCrcTable[crc ^ data[i]];
    return crc;
}

void appendEscaped(std::vector<uint8_t>& out, const uint8_t* raw, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        uint8_t b = raw[i];
        if (b == kLinkStart || b == kLinkEscape) {
            out.push_back(kLinkEscape);
            out.push_back(static_cast<uint8_t>(b ^ 0x20));
        } else {
            out.push_back(b);
        }
    }
}

std::vector<uint8_t> encodeLinkFrameRaw(uint8_t type, uint64_t address, const uint8_t* data, size_t size,
                                        uint8_t extra) {
    std::vector<uint8_t> raw;
    if (size > 255) return raw;
    raw.reserve(size + 12);
    raw.push_back(type);
    raw.push_back(static_cast<uint8_t>(size));
    const size_t width = linkAddressBytes(type);
    raw.resize(raw.size() + width);
    sys::storeBeN(raw.data() + raw.size() - width, width, address);
    if (linkKind(type) == LinkKind::Extra) raw.push_back(extra);
    if (size) raw.insert(raw.end(), data, data + size);
    if (type & kTypeCrc) raw.push_back(crc8Maxim(raw.data(), raw.size()));
    return raw;
}

std::vector<uint8_t> encodeLinkFrame(uint8_t type, uint64_t address, const uint8_t* data, size_t size, uint8_t extra) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> raw = encodeLinkFrameRaw(type, address, data, size, extra);
    if (raw.empty()) return out;
    out.reserve(raw.size() * 2 + 1);
    out.push_back(kLinkStart);
    appendEscaped(out, raw.data(), raw.size());
    return out;
}

std::vector<uint8_t> encodeByteChannelChunk(const uint8_t* chunk, size_t size) {
    if (size == 0 || size > kMaxChunk) return {};
    std::vector<uint8_t> data;
    data.reserve(size + 2);
    data.push_back(static_cast<uint8_t>(size));
    data.push_back(0x00);
    data.insert(data.end(), chunk, chunk + size);
    return encodeLinkFrame(kTypeByteChannel, ByteChannelAddress, data.data(), data.size());
}

std::vector<uint8_t> encodeByteChannelFrame(const uint8_t* data, size_t size) {
    if (size == 0 || size > 255) return {};
    return encodeLinkFrame(kTypeByteChannel, ByteChannelAddress, data, size);
}

size_t encodeRegFrame(uint8_t* out, size_t capacity, uint32_t address, const uint8_t* data, size_t count,
                      int kindCode) {
    if (!out || (kindCode != 0 && kindCode != 2)) return 0;
    uint8_t type = static_cast<uint8_t>(kindCode * 32 + 3);
    size_t n = kindCode == 0 ? count : 0;
    if (n > kMaxRegData || (n && !data)) return 0;
    std::vector<uint8_t> frame = encodeLinkFrame(type, address, data, n);
    if (frame.empty() || frame.size() > capacity) return 0;
    std::memcpy(out, frame.data(), frame.size());
    return frame.size();
}

void LinkDecoder::reset() {
    m_state = Idle;
    m_type = 0;
    m_length = 0;
    m_expected = 0;
    m_received = 0;
}

void LinkDecoder::toIdle() { reset(); }

bool LinkDecoder::feedByte(uint8_t b) {
    const uint32_t state = m_state & ~kEscapeMark;
    const bool escaped = (m_state & kEscapeMark) != 0;
    if (b == kLinkStart) {
        if (state == Body || state == Length) ++m_dropped; // unfinished frame cut off
        m_state = Type;
        m_received = 0;
        return false;
    }
    if (b == kLinkEscape) {
        if (state == Type || state == Length || state == Body) {
            m_state = state | kEscapeMark;
        } else {
            toIdle();
        }
        return false;
    }
    if (b == 0x5E || b == 0x5D) {
        uint8_t v = escaped ? static_cast<uint8_t>(b ^ 0x20) : b;
        return UsbLinkDecodeByte(v);
    }
    if (escaped) {
        ++m_dropped;
        toIdle();
        return false;
    }
    return UsbLinkDecodeByte(b);
}

bool LinkDecoder::UsbLinkDecodeByte(uint8_t v) {
    const uint32_t state = m_state & ~kEscapeMark;
    m_state = state;
    switch (state) {
    case Type:
        m_type = v;
        m_length = 0;
        m_expected = 0;
        m_received = 0;
        if (v & kTypeReservedBits) {
            ++m_dropped;
            toIdle();
        } else {
            m_state = Length;
        }
        return false;
    case Length:
        m_length = v;
        m_expected = static_cast<uint16_t>(linkBodyLength(m_type, v));
        m_state = Body;
        return false;
    case Body:
        if (m_received >= sizeof(m_body)) { // cannot happen: expected <= kMaxBody
            ++m_dropped;
            toIdle();
            return false;
        }
        m_body[m_received++] = v;
        if (m_received == m_expected) return complete();
        return false;
    default: toIdle(); return false;
    }
}

bool LinkDecoder::complete() {
    bool ok = true;
    size_t bodySize = m_expected;
    if (m_type & kTypeCrc) {
        uint8_t head[2] = {m_type, m_length};
        uint8_t crc = crc8Maxim(head, 2);
        crc = crc8Maxim(m_body, bodySize - 1, crc);
        ok = crc == m_body[bodySize - 1];
    }
    if (ok) {
        const size_t width = linkAddressBytes(m_type);
        const uint64_t address = sys::loadBeN(m_body, width);
        size_t dataStart = width + (linkKind(m_type) == LinkKind::Extra ? 1u : 0u);
        m_frame.type = m_type;
        m_frame.length = m_length;
        m_frame.address = address;
        m_frame.data.assign(m_body + dataStart, m_body + dataStart + m_length);
    } else {
        ++m_dropped;
    }
    toIdle();
    return ok;
}

std::vector<uint8_t> encodeRegProtoRead(uint16_t address) {
    std::vector<uint8_t> out(reg_proto::kReadSize);
    reg_proto::Command::set(out.data(), out.size(), kRegProtoRead);
    reg_proto::Address::set(out.data(), out.size(), address);
    return out;
}

std::vector<uint8_t> encodeRegProtoWrite(uint16_t address, uint32_t value) {
    std::vector<uint8_t> out(reg_proto::kWriteSize);
    reg_proto::Command::set(out.data(), out.size(), kRegProtoWrite);
    reg_proto::Address::set(out.data(), out.size(), address);
    reg_proto::Value::set(out.data(), out.size(), value);
    return out;
}

std::vector<uint8_t> encodeRegProtoWriteMessage(uint16_t address, const uint8_t* bytes, size_t size) {
    std::vector<uint8_t> out(reg_proto::kMessageOffset);
    reg_proto::Command::set(out.data(), out.size(), kRegProtoWrite);
    reg_proto::Address::set(out.data(), out.size(), address);
    if (bytes && size) out.insert(out.end(), bytes, bytes + size);
    return out;
}

std::vector<uint8_t> encodeRegProtoReadReply(uint32_t value) {
    std::vector<uint8_t> out(reg_proto::kReplySize);
    reg_proto::Command::set(out.data(), out.size(), kRegProtoAck);
    reg_proto::ReplyValue::set(out.data(), out.size(), value);
    return out;
}

void encodeTransferHeader(const TransferHeader& h, uint8_t* out) {
    transfer_header::forEachField(h,
                                  [&](auto field, const auto& member) { field.set(out, kTransferHeaderSize, member); });
}

bool decodeTransferHeader(const uint8_t* in, size_t size, TransferHeader& h) {
    if (!in || size < kTransferHeaderSize) return false;
    transfer_header::forEachField(h, [&](auto field, auto& member) { member = field.get(in, size); });
    return true;
}

} // namespace qx::usb3
