// Pixel formats: the GenICam PFNC codes the library delivers and converts (the values of the
// public QX_PIXEL_* codes, and the few more a camera may send) and the sizes derived from a
// code, whose bits 16 to 23 hold its bits per pixel. Every place that sizes a pixel, a line
// or a frame asks here.
#pragma once
#include <cstdint>

namespace qx::sys {

namespace pixel {
constexpr uint32_t kMono8 = 0x01080001u;
constexpr uint32_t kMono10 = 0x01100003u;
constexpr uint32_t kMono12 = 0x01100005u;
constexpr uint32_t kMono14 = 0x01100025u;
constexpr uint32_t kMono16 = 0x01100007u;
constexpr uint32_t kMono10Packed = 0x010C0004u; // two pixels in three bytes
constexpr uint32_t kMono12Packed = 0x010C0006u; // two pixels in three bytes
constexpr uint32_t kBayerRG8 = 0x01080009u;
constexpr uint32_t kRgb8 = 0x02180014u;
// 32-bit pixel words, for sensors of 17 to 31 bits.
constexpr uint32_t kWord32 = 0x01200111u;
} // namespace pixel

// Bits per pixel of a code.
constexpr uint32_t pixelBits(uint32_t code) { return (code >> 16) & 0xFFu; }

// Bytes that hold `bits` bits, rounded up.
constexpr int32_t bytesForBits(int32_t bits) { return (bits + 7) / 8; }

// Bytes of one pixel of a code, rounded up: Mono8 1; Mono10 to Mono16 2; the packed formats
// 2, not the 1.5 their data take; RGB8 3. Whole frames are sized by frameBytes.
constexpr uint32_t pixelBytes(uint32_t code) { return static_cast<uint32_t>(bytesForBits(int32_t(pixelBits(code)))); }

// Mono10Packed and Mono12Packed: two pixels in three bytes.
constexpr bool isPackedPair(uint32_t code) { return code == pixel::kMono10Packed || code == pixel::kMono12Packed; }

// Bytes of a whole frame of `pixels` pixels as a camera sends it: for the packed formats their
// real size, ceil(pixels x 12 / 8) (the last odd pixel in the two bytes that carry it); for
// every other code pixels x pixelBytes. Frame lengths are checked against it.
constexpr uint64_t frameBytes(uint32_t code, uint64_t pixels) {
    return isPackedPair(code) ? (pixels * pixelBits(code) + 7) / 8 : pixels * pixelBytes(code);
}

// Whole bytes of one pixel of a code as the GigE stream sizes lines and blocks: 2 for 9 to 15
// bits, else the bits divided by 8 and rounded down (so 0 below 8 bits, and 3 for 30).
constexpr uint32_t pixelWholeBytes(uint32_t code) {
    const uint32_t bits = pixelBits(code);
    return bits >= 9 && bits <= 15 ? 2u : bits >> 3;
}

// The mono format a camera of `bits` significant bits per pixel delivers in: Mono8 up to 8
// bits; Mono10, Mono12 and Mono14 for exactly those; Mono16 for 9 to 16 bits otherwise; 32-bit
// words for 17 to 31 bits; from 32 bits on, 8-bit Bayer data.
constexpr uint32_t monoFormatForBits(int32_t bits) {
    if (bits <= 8) return pixel::kMono8;
    if (bits == 10) return pixel::kMono10;
    if (bits == 12) return pixel::kMono12;
    if (bits == 14) return pixel::kMono14;
    if (bits <= 16) return pixel::kMono16;
    if (bits < 32) return pixel::kWord32;
    return pixel::kBayerRG8;
}

} // namespace qx::sys
