// The GVSP wire format (GigE Vision stream protocol, UDP, big-endian): the packet header in its
// 16-bit and extended-id forms, the leader, trailer and data packet layouts the stream channel
// evaluates, and the PACKETRESEND command the host sends on the control channel. The library's
// grab thread and the test device's GVSP sender both use these helpers, so both sides speak
// exactly the same format. Decoders never read beyond the bytes they are given.
#pragma once
#include "Sys/PixelFormat.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Sys/WireField.h"

namespace qx::gige::gvsp {

constexpr size_t kHeaderSize = 8;          // 16-bit block ids
constexpr size_t kExtendedHeaderSize = 20; // 64-bit block ids, 32-bit packet ids
constexpr uint8_t kExtendedIdFlag = 0x80;  // bit of the format byte
constexpr uint16_t kStatusResent = 0x0100; // status of a resent packet (16-bit ids)
constexpr uint16_t kFlagResent = 0x0001;   // extended flag field: packet is a resend
constexpr uint16_t kFlagPreviousBlockDropped = 0x0002;
constexpr uint16_t kStatusDataOverrun = 0x800D;
constexpr uint16_t kStatusErrorBit = 0x8000; // set in every error status

// Packet formats (low 4 bits of the format byte).
enum Format : uint8_t {
    kLeader = 1,
    kTrailer = 2,
    kPayload = 3, // generic payload packet: data at (packet id - 1) x packet payload
    kAllIn = 4,
    kH264 = 5,
    kMultiZone = 6,
    kMultipart = 7, // 48-bit byte offset, then data
    kGenDc = 8,     // size, 64-bit offset, flags, then data
};

// Payload types of leader and trailer.
enum PayloadType : uint16_t {
    kImage = 0x0001,
    kRawData = 0x0002,
    kFile = 0x0003,
    kChunkData = 0x0004,
    kExtendedChunk = 0x0005,
    kJpeg = 0x0006,
    kJpeg2000 = 0x0007,
    kH264Payload = 0x0008,
    kMultiZoneImage = 0x0009,
    kMultipartPayload = 0x000A,
    kGenDcPayload = 0x000B,
    kImageExtendedChunk = 0x4001,
    kJpegExtendedChunk = 0x4006,
    kJpeg2000ExtendedChunk = 0x4007,
    kMultipartExtendedChunk = 0x400A,
};

struct Header {
    uint16_t status = 0;
    uint16_t flags = 0;    // extended ids only (bytes 2-3)
    uint64_t blockId = 0;  // 16 bits wide unless extended
    uint8_t format = 0;    // low 4 bits of the format byte
    bool extended = false; // the format byte's extended-id flag
    uint32_t packetId = 0; // 24 bits wide unless extended
    size_t length() const { return extended ? kExtendedHeaderSize : kHeaderSize; }
    // A resent packet: status 0x0100 with 16-bit ids, flag bit 0x0001 with extended ids.
    bool resent() const { return extended ? (flags & kFlagResent) != 0 : status == kStatusResent; }
};

// Writes the header (8 or 20 bytes, by h.extended) and returns its length.
size_t encodeHeader(uint8_t* out, const Header& h);
// False when the datagram is shorter than the header its format byte announces.
bool decodeHeader(const uint8_t* p, size_t len, Header* h);

// Leader body (the bytes after the GVSP header), one name per field. Every payload type starts
// with a reserved word, the payload type and the timestamp; the rest depends on the type.
namespace leader {
template <typename T, size_t Offset>
using Field = sys::BeField<T, Offset>;
using PayloadType = Field<uint16_t, 2>;
using Timestamp = Field<uint64_t, 4>;
// Image, extended chunk and image with extended chunk.
using PixelFormat = Field<uint32_t, 12>;
using SizeX = Field<uint32_t, 16>;
using SizeY = Field<uint32_t, 20>;
using OffsetX = Field<uint32_t, 24>;
using OffsetY = Field<uint32_t, 28>;
using PaddingX = Field<uint16_t, 32>;
using PaddingY = Field<uint16_t, 34>;
// Raw data, file, chunk data and the other non-image types: the 64-bit payload length.
using PayloadLength = Field<uint64_t, 12>;
using PayloadLengthLow = Field<uint32_t, 16>; // its low word
// GenDC: container size, flags, and the word after them.
using GenDcSize = Field<uint64_t, 12>;
using GenDcFlags = Field<uint8_t, 20>;
using GenDcWord = Field<uint32_t, 24>;
// JPEG and JPEG 2000: payload size, then the data format after the tick frequency.
using JpegPayloadSize = Field<uint64_t, 12>;
using JpegDataFormat = Field<uint32_t, 28>;
} // namespace leader

// Leader fields of an image payload; other types are read from the raw bytes by the receiver.
constexpr size_t kLeaderImageSize = leader::PaddingY::kEnd;
struct ImageLeader {
    uint16_t payloadType = kImage;
    uint64_t timestamp = 0;
    uint32_t pixelFormat = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t offsetX = 0;
    uint32_t offsetY = 0;
    uint16_t paddingX = 0;
    uint16_t paddingY = 0;
};
// Encodes header + leader body; a non-image leader (payloadType other than an image type)
// carries `rawSize` as its 64-bit size at bytes 12-19.
std::vector<uint8_t> encodeLeader(const Header& h, const ImageLeader& l, uint64_t rawSize = 0);
// The body after the header; false when it is shorter than 36 bytes.
bool decodeImageLeader(const uint8_t* body, size_t len, ImageLeader* l);
// Payload type (bytes 2-3 of a leader or trailer body); false when shorter than 4 bytes.
bool decodePayloadType(const uint8_t* body, size_t len, uint16_t* type);

// Trailer body: reserved, payload type, size y (or the first type-specific word), two words.
namespace trailer {
using PayloadType = sys::BeField<uint16_t, 2>;
using SizeY = sys::BeField<uint32_t, 4>;
using Word2 = sys::BeField<uint32_t, 8>;
using Word3 = sys::BeField<uint32_t, 12>;
} // namespace trailer
constexpr size_t kTrailerSize = trailer::Word3::kEnd;
struct Trailer {
    uint16_t payloadType = kImage;
    uint32_t sizeY = 0;
    uint32_t word2 = 0; // bytes 8-11
    uint32_t word3 = 0; // bytes 12-15
};
std::vector<uint8_t> encodeTrailer(const Header& h, const Trailer& t);
// Missing words read as 0; false when the body is shorter than 8 bytes.
bool decodeTrailer(const uint8_t* body, size_t len, Trailer* t);

// A generic payload packet: header + data.
std::vector<uint8_t> encodePayload(const Header& h, const uint8_t* data, size_t len);

// Multi-part data packet body: 48-bit offset at bytes 2-7, data from byte 8.
constexpr size_t kMultipartPrefix = 8;
bool decodeMultipart(const uint8_t* body, size_t len, uint64_t* offset, const uint8_t** data, size_t* dataLen);
// GenDC data packet body: uint32 size, 64-bit offset, flag byte 12, data from byte 16.
constexpr size_t kGenDcPrefix = 16;
bool decodeGenDc(const uint8_t* body, size_t len, uint32_t* size, uint64_t* offset, uint8_t* flags,
                 const uint8_t** data, size_t* dataLen);

// PACKETRESEND_CMD (GVCP command 0x0040, no acknowledge): 20 bytes, 28 with extended ids.
constexpr uint16_t kPacketResendCmd = 0x0040;
constexpr size_t kResendSize = 20;
constexpr size_t kResendExtendedSize = 28;
struct GevResendRequest {
    uint16_t requestId = 1;
    uint16_t streamChannel = 0;
    bool extended = false;
    uint64_t blockId = 0;
    uint32_t firstPacket = 0;
    uint32_t lastPacket = 0;
};
std::vector<uint8_t> BuildPacketResend(const GevResendRequest& r);
bool decodePacketResend(const uint8_t* p, size_t len, GevResendRequest* r);

// Bytes of one pixel: 2 for 9..15 bits, else bits / 8 (Sys/PixelFormat.h).
inline uint32_t bytesPerPixel(uint32_t pixelFormat) { return sys::pixelWholeBytes(pixelFormat); }

} // namespace qx::gige::gvsp
