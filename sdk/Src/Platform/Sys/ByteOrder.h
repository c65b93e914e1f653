// Byte-order helpers: load and store unsigned integers big- or little-endian from byte
// buffers, independent of the host. Every wire format and file header goes through these.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qx::sys {

inline uint16_t loadBe16(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>((b[0] << 8) | b[1]);
}
inline uint32_t loadBe32(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}
inline uint64_t loadBe64(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return (uint64_t(loadBe32(b)) << 32) | loadBe32(b + 4);
}
inline uint16_t loadLe16(const void* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // A plain 16-bit load on a little-endian host, which the compiler keeps as one (vector)
    // load of words in the pixel loops rather than two byte loads widened to int.
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
#else
    const auto* b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
#endif
}
inline uint32_t loadLe32(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}
inline uint64_t loadLe64(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return uint64_t(loadLe32(b)) | (uint64_t(loadLe32(b + 4)) << 32);
}
inline void storeBe16(void* p, uint16_t v) {
    auto* b = static_cast<uint8_t*>(p);
    b[0] = uint8_t(v >> 8);
    b[1] = uint8_t(v);
}
inline void storeBe32(void* p, uint32_t v) {
    auto* b = static_cast<uint8_t*>(p);
    b[0] = uint8_t(v >> 24);
    b[1] = uint8_t(v >> 16);
    b[2] = uint8_t(v >> 8);
    b[3] = uint8_t(v);
}
inline void storeBe64(void* p, uint64_t v) {
    auto* b = static_cast<uint8_t*>(p);
    storeBe32(b, uint32_t(v >> 32));
    storeBe32(b + 4, uint32_t(v));
}
inline void storeLe16(void* p, uint16_t v) {
    auto* b = static_cast<uint8_t*>(p);
    b[0] = uint8_t(v);
    b[1] = uint8_t(v >> 8);
}
inline void storeLe32(void* p, uint32_t v) {
    auto* b = static_cast<uint8_t*>(p);
    b[0] = uint8_t(v);
    b[1] = uint8_t(v >> 8);
    b[2] = uint8_t(v >> 16);
    b[3] = uint8_t(v >> 24);
}
inline void storeLe64(void* p, uint64_t v) {
    auto* b = static_cast<uint8_t*>(p);
    storeLe32(b, uint32_t(v));
    storeLe32(b + 4, uint32_t(v >> 32));
}

// Fields whose width is only known at run time (link-frame addresses, GenICam registers):
// `width` bytes at p as one unsigned number. Of a field wider than 8 bytes the loads keep the
// 8 least significant bytes; the stores write the low bytes of v and zeros above them.
inline uint64_t loadBeN(const void* p, size_t width) {
    const auto* b = static_cast<const uint8_t*>(p);
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v = (v << 8) | b[i];
    return v;
}
inline uint64_t loadLeN(const void* p, size_t width) {
    const auto* b = static_cast<const uint8_t*>(p);
    uint64_t v = 0;
    for (size_t i = width; i-- > 0;) v = (v << 8) | b[i];
    return v;
}
inline void storeBeN(void* p, size_t width, uint64_t v) {
    auto* b = static_cast<uint8_t*>(p);
    for (size_t i = width; i-- > 0; v >>= 8) b[i] = uint8_t(v);
}
inline void storeLeN(void* p, size_t width, uint64_t v) {
    auto* b = static_cast<uint8_t*>(p);
    for (size_t i = 0; i < width; ++i, v >>= 8) b[i] = uint8_t(v);
}

} // namespace qx::sys
