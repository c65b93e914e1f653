// Wire format of the USB3 camera control link, shared by the host side and the simulated
// camera of the tests:
//  - link frames: 0x7E, type, length, big-endian address, [extra], data, [CRC-8/MAXIM], with
//    every byte after the start byte escaped (0x7E -> 7D 5E, 0x7D -> 7D 5D);
//  - the byte-channel chunk frame and the register read/write frames built on them;
//  - the 'R'/'W' register requests that ride on the byte channel;
//  - the 38-byte TransferHeader in front of every driver transfer buffer.
#pragma once
#include "Sys/WireField.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qx::usb3 {

constexpr uint8_t kLinkStart = 0x7E;
constexpr uint8_t kLinkEscape = 0x7D;
constexpr uint32_t ByteChannelAddress = 0x5AA555AA;

// Vendor control request that carries link frames in both directions.
constexpr uint8_t kLinkRequest = 0xFE;
constexpr uint16_t kLinkValue = 0xF000;
constexpr uint16_t kStreamStartValue = 0xFF00;
constexpr uint8_t kLinkReadRequestType = 0xC2;  // device-to-host, vendor, endpoint
constexpr uint8_t kLinkWriteRequestType = 0x42; // host-to-device, vendor, endpoint
constexpr uint8_t kStreamStartRequestType = 0xC0;
constexpr size_t kLinkReadSize = 2048;

// Frame type byte: bit 0 CRC present, bits 1-2 address-width code, bits 3-4 must be 0,
// bits 5-7 kind.
constexpr uint8_t kTypeCrc = 0x01;
constexpr uint8_t kTypeReservedBits = 0x18;
enum class LinkKind : uint8_t { RegWrite = 0, ByteChannel = 1, RegRead = 2, Extra = 3 };
constexpr uint8_t kTypeByteChannel = 0x22; // byte channel, 4-byte address, no CRC
constexpr uint8_t kTypeRegRead = 0x43;     // register read, 4-byte address, CRC
constexpr uint8_t kTypeRegWrite = 0x03;    // register write, 4-byte address, CRC

constexpr size_t kMaxChunk = 200; // byte-channel payload bytes per frame
constexpr size_t kRegFrameBufferSize = 512;
constexpr size_t kMaxRegData = 248; // every byte escaped still fits the 512 bytes
// Longest body: 255 data bytes, 8 address bytes, extra byte, CRC.
constexpr size_t kMaxBody = 255 + 8 + 1 + 1;

inline LinkKind linkKind(uint8_t type) { return static_cast<LinkKind>(type >> 5); }
inline size_t linkAddressBytes(uint8_t type) { return 2u + 2u * ((type >> 1) & 3u); }
// Bytes after the length byte: address, extra byte (kind 3), data and CRC.
inline size_t linkBodyLength(uint8_t type, uint8_t length) {
    return size_t(length) + 2u + (type & 7u) + (linkKind(type) == LinkKind::Extra ? 1u : 0u);
}

// CRC-8/MAXIM (Dallas 1-Wire): reflected polynomial 0x8C, initial value 0, no final XOR.
uint8_t crc8Maxim(const uint8_t* data, size_t size, uint8_t crc = 0);

// Appends `size` raw bytes to `out`, escaped.
void appendEscaped(std::vector<uint8_t>& out, const uint8_t* raw, size_t size);

// The raw (unescaped) bytes of a frame after its start byte: type, length, address (width
// from the type), extra byte for kind 3, data, CRC when the type asks for it. Data longer
// than 255 bytes is not a frame: the result is empty.
std::vector<uint8_t> encodeLinkFrameRaw(uint8_t type, uint64_t address, const uint8_t* data, size_t size,
                                        uint8_t extra = 0);
// A whole frame as sent: the start byte and the escaped raw bytes.
std::vector<uint8_t> encodeLinkFrame(uint8_t type, uint64_t address, const uint8_t* data, size_t size,
                                     uint8_t extra = 0);
// A byte-channel chunk frame: type 0x22, address 0x5AA555AA, data = chunk length, 0x00, chunk.
// A chunk of 0 or more than 200 bytes gives an empty result.
std::vector<uint8_t> encodeByteChannelChunk(const uint8_t* chunk, size_t size);
// A byte-channel frame as the camera sends it: type 0x22, address 0x5AA555AA, the data as
// they are (1..255 bytes; anything else gives an empty result). The receiver stores every
// data byte in its byte-channel ring.
std::vector<uint8_t> encodeByteChannelFrame(const uint8_t* data, size_t size);
// Register frame into a caller's buffer of `capacity` bytes: kind code 0 write (type 0x03,
// `count` data bytes) or 2 read (type 0x43, no data). Answers the escaped length, or 0 when the
// kind, the count (above kMaxRegData) or the capacity does not allow the frame.
size_t encodeRegFrame(uint8_t* out, size_t capacity, uint32_t address, const uint8_t* data, size_t count, int kindCode);

// One received frame, after the CRC check.
struct UsbLinkFrame {
    uint8_t type = 0;
    uint8_t length = 0;
    uint64_t address = 0;
    std::vector<uint8_t> data;
};

// Stream decoder of received link bytes. Frames are delivered to the sink as they complete;
// a bad CRC, reserved type bits, or an escape byte before anything but 0x5E/0x5D drops the
// frame being decoded.
class LinkDecoder {
public:
    enum State : uint32_t { Idle = 1, Type = 2, Length = 4, Body = 8 };
    static constexpr uint32_t kEscapeMark = 0x80000000u;

    template <typename Sink>
    void feed(const uint8_t* bytes, size_t size, Sink&& sink) {
        for (size_t i = 0; i < size; ++i) {
            if (feedByte(bytes[i])) sink(static_cast<const UsbLinkFrame&>(m_frame));
        }
    }
    // One raw byte; true when it completed a frame, which frame() then holds.
    bool feedByte(uint8_t b);
    const UsbLinkFrame& frame() const { return m_frame; }
    void reset();

    uint32_t state() const { return m_state; }
    uint64_t droppedFrames() const { return m_dropped; }

private:
    // The state step for one unescaped byte.
    bool UsbLinkDecodeByte(uint8_t v);
    bool complete();
    void toIdle();

    uint32_t m_state = Idle;
    uint8_t m_type = 0;
    uint8_t m_length = 0;
    uint16_t m_expected = 0;
    uint16_t m_received = 0;
    uint8_t m_body[kMaxBody + 1] = {};
    UsbLinkFrame m_frame;
    uint64_t m_dropped = 0;
};

// 'R'/'W' register requests carried on the byte channel.
constexpr uint8_t kRegProtoRead = 0x52;  // 'R'
constexpr uint8_t kRegProtoWrite = 0x57; // 'W'
constexpr uint8_t kRegProtoAck = 0x06;
// 'R', address high, address low.
std::vector<uint8_t> encodeRegProtoRead(uint16_t address);
// 'W', address high, address low, value most significant byte first.
std::vector<uint8_t> encodeRegProtoWrite(uint16_t address, uint32_t value);
// 'W', address high, address low, then `size` message bytes as they are: a whole message
// written to one register address in one request (any length but 4, which is a value).
std::vector<uint8_t> encodeRegProtoWriteMessage(uint16_t address, const uint8_t* bytes, size_t size);
// 0x06, value most significant byte first.
std::vector<uint8_t> encodeRegProtoReadReply(uint32_t value);

// Layout of the register requests and of the reply to 'R': the command byte, then big-endian
// fields.
namespace reg_proto {
using Command = sys::BeField<uint8_t, 0>;     // 'R', 'W' or the 0x06 acknowledgement
using Address = sys::BeField<uint16_t, 1>;    // of a request
using Value = sys::BeField<uint32_t, 3>;      // of a 'W' request of one value
using ReplyValue = sys::BeField<uint32_t, 1>; // of the 0x06 reply to 'R'
constexpr size_t kReadSize = Address::kEnd;
constexpr size_t kMessageOffset = Address::kEnd; // a 'W' message's bytes follow the address
constexpr size_t kWriteSize = Value::kEnd;
constexpr size_t kReplySize = ReplyValue::kEnd;
static_assert(kReadSize == 3 && kWriteSize == 7 && kReplySize == 5, "register request layout");
} // namespace reg_proto

// The 38-byte little-endian header in front of every transfer buffer given to the driver.
struct TransferHeader {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    uint32_t timeoutSeconds = 0;
    uint8_t reserved = 0;
    uint8_t endpointAddress = 0;
    uint32_t ntStatus = 0;
    uint32_t usbdStatus = 0;
    uint32_t isoPacketOffset = 0;
    uint32_t isoPacketLength = 0;
    uint32_t dataOffset = 0;
    uint32_t dataLength = 0;
};

// Layout of the transfer header: each field once, with its offset.
namespace transfer_header {
using RequestType = sys::LeField<uint8_t, 0>;
using Request = sys::LeField<uint8_t, 1>;
using Value = sys::LeField<uint16_t, 2>;
using Index = sys::LeField<uint16_t, 4>;
using Length = sys::LeField<uint16_t, 6>;
using TimeoutSeconds = sys::LeField<uint32_t, 8>;
using Reserved = sys::LeField<uint8_t, 12>;
using EndpointAddress = sys::LeField<uint8_t, 13>;
using NtStatus = sys::LeField<uint32_t, 14>;
using UsbdStatus = sys::LeField<uint32_t, 18>;
using IsoPacketOffset = sys::LeField<uint32_t, 22>;
using IsoPacketLength = sys::LeField<uint32_t, 26>;
using DataOffset = sys::LeField<uint32_t, 30>;
using DataLength = sys::LeField<uint32_t, 34>;
constexpr size_t kSize = DataLength::kEnd;

// Calls visit(Field{}, member) for each field and its member of `h`, in wire order.
template <typename Header, typename Visit>
void forEachField(Header& h, Visit&& visit) {
    visit(RequestType{}, h.bmRequestType);
    visit(Request{}, h.bRequest);
    visit(Value{}, h.wValue);
    visit(Index{}, h.wIndex);
    visit(Length{}, h.wLength);
    visit(TimeoutSeconds{}, h.timeoutSeconds);
    visit(Reserved{}, h.reserved);
    visit(EndpointAddress{}, h.endpointAddress);
    visit(NtStatus{}, h.ntStatus);
    visit(UsbdStatus{}, h.usbdStatus);
    visit(IsoPacketOffset{}, h.isoPacketOffset);
    visit(IsoPacketLength{}, h.isoPacketLength);
    visit(DataOffset{}, h.dataOffset);
    visit(DataLength{}, h.dataLength);
}
} // namespace transfer_header
constexpr size_t kTransferHeaderSize = transfer_header::kSize;
static_assert(kTransferHeaderSize == 38, "transfer header layout");

void encodeTransferHeader(const TransferHeader& h, uint8_t* out /* 38 bytes */);
// False when fewer than 38 bytes are given.
bool decodeTransferHeader(const uint8_t* in, size_t size, TransferHeader& h);

} // namespace qx::usb3
