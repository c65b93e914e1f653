#include "PixelConverter.h"

#include <cstring>

#include <spdlog/spdlog.h>

namespace {

enum class Layout { Mono8, Unpacked16, Packed, Other };

Layout layoutOf(uint32_t format)
{
    switch (format) {
    case QX_PIXEL_MONO8: return Layout::Mono8;
    case QX_PIXEL_MONO10:
    case QX_PIXEL_MONO12:
    case QX_PIXEL_MONO14:
    case QX_PIXEL_MONO16: return Layout::Unpacked16;
    case QX_PIXEL_MONO10PACKED:
    case QX_PIXEL_MONO12PACKED: return Layout::Packed;
    default: return Layout::Other;
    }
}

// Source bytes a conversion reads: two pixels per three bytes for the packed formats, the last
// odd pixel taking the two bytes that carry it.
uint64_t sourceBytesRead(uint32_t format, uint64_t pixelCount)
{
    switch (layoutOf(format)) {
    case Layout::Mono8: return pixelCount;
    case Layout::Unpacked16: return 2 * pixelCount;
    case Layout::Packed: return 3 * (pixelCount / 2) + 2 * (pixelCount % 2);
    case Layout::Other: break;
    }
    return pixelCount;
}

// Bits of significance of a 10- to 16-bit sample format.
unsigned sampleBits(uint32_t format)
{
    switch (format) {
    case QX_PIXEL_MONO10:
    case QX_PIXEL_MONO10PACKED: return 10;
    case QX_PIXEL_MONO12:
    case QX_PIXEL_MONO12PACKED: return 12;
    case QX_PIXEL_MONO14: return 14;
    default: return 16;
    }
}

inline uint16_t loadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline void storeLe16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// The two pixels of a packed group b0 b1 b2 (shift 2 and mask 0x03 for 10 bits, 4 and 0x0F
// for 12 bits).
struct PackedLayout {
    unsigned shift;
    uint16_t mask;
};

PackedLayout packedLayout(uint32_t format)
{
    return format == QX_PIXEL_MONO10PACKED ? PackedLayout{2, 0x03} : PackedLayout{4, 0x0F};
}

inline uint16_t firstPixel(const uint8_t* g, PackedLayout l)
{
    return static_cast<uint16_t>((g[0] << l.shift) + (g[1] & l.mask));
}

inline uint16_t secondPixel(const uint8_t* g, PackedLayout l)
{
    return static_cast<uint16_t>((g[2] << l.shift) + ((g[1] >> 4) & l.mask));
}

// Scaling to 8 bits is trunc(sample x 2^8 / 2^bits) in single precision, kept to its low 8 bits.
// With a power-of-two factor and a 16-bit sample the product is exact, so that value is the
// sample shifted right by bits - 8, for every sample (one with bits above its depth wraps).
inline uint8_t scaleTo8(uint16_t sample, unsigned downShift) { return static_cast<uint8_t>(sample >> downShift); }

// Hot loops get a second, SSSE3 build (byte shuffles) chosen at load time where the CPU has it.
// Not in sanitizer builds: the choice runs before the sanitizer runtime is ready.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__) && \
    !defined(QX_SANITIZED_BUILD)
#define QX_HOT_LOOP __attribute__((target_clones("default", "ssse3"), noinline))
#else
#define QX_HOT_LOOP
#endif

// Packed to Mono8: scaling a packed pixel to 8 bits drops exactly the bits that came from b1
// ((b0 << shift) + (b1 & mask) >> shift is b0, and likewise b2 for the second pixel), so the
// result is a selection of bytes 0 and 2 of every group.
QX_HOT_LOOP void packedToMono8(const uint8_t* __restrict src, uint8_t* __restrict dst, uint64_t pairs)
{
    for (uint64_t g = 0; g < pairs; ++g) {
        dst[2 * g] = src[3 * g];
        dst[2 * g + 1] = src[3 * g + 2];
    }
}

// One build per layout, so that shift and mask are constants of the loop.
template <unsigned Shift, uint16_t Mask>
QX_HOT_LOOP void packedToMono16(const uint8_t* __restrict src, uint8_t* __restrict dst, uint64_t pairs)
{
    constexpr PackedLayout l{Shift, Mask};
    for (uint64_t g = 0; g < pairs; ++g) {
        storeLe16(dst + 4 * g, firstPixel(src + 3 * g, l));
        storeLe16(dst + 4 * g + 2, secondPixel(src + 3 * g, l));
    }
}

// The guard both conversions share: refuses a record whose buffers cannot hold what the
// conversion reads and writes.
bool buffersHold(const ConvertParam& p, uint64_t pixelCount, uint64_t dstBytes, const char* func)
{
    const bool ok = p.pSrcData && p.pDstData && sourceBytesRead(p.enSrcPixelType, pixelCount) <= p.nSrcDataLen &&
                    dstBytes <= p.nDstDataSize;
    if (!ok) {
        spdlog::error("func:{}, pixelCount={}, pstCvtParam->nSrcDataLen={}", func, pixelCount, p.nSrcDataLen);
        spdlog::error("func:{}, pixelCount={}, pstCvtParam->nDstDataSize={}", func, pixelCount, p.nDstDataSize);
    }
    return ok;
}

} // namespace

PixelConverter* PixelConverter::getConverterInstance()
{
    // Initialisation of a function-local static is serialised by the runtime; never destroyed.
    static PixelConverter* const instance = new PixelConverter();
    return instance;
}

uint32_t PixelConverter::bytesPerPixel(uint32_t pixelFormat)
{
    return ((pixelFormat >> 19) & 0x1F) + (((pixelFormat >> 16) & 0x07) ? 1 : 0);
}

uint32_t PixelConverter::convertPixels(ConvertParam& p)
{
    if (p.nHeight == 0 || p.nWidth == 0 || p.enSrcPixelType == 0 || p.nSrcDataLen == 0 || !p.pSrcData ||
        p.enDstPixelType == 0 || p.nDstDataSize == 0 || !p.pDstData) {
        return QX_ERR_INVALID_PARAM;
    }
    const uint64_t pixelCount = static_cast<uint64_t>(p.nWidth) * p.nHeight;
    if (p.nSrcDataLen < pixelCount * bytesPerPixel(p.enSrcPixelType) ||
        p.nDstDataSize < pixelCount * bytesPerPixel(p.enDstPixelType)) {
        return QX_ERR_INVALID_PARAM;
    }
    switch (p.enDstPixelType) {
    case QX_PIXEL_MONO8: return convertToMono8(p);
    case QX_PIXEL_MONO16: return convertToMono16(p);
    default: return QX_ERR_GENERAL;
    }
}

uint32_t PixelConverter::convertToMono8(ConvertParam& p)
{
    const uint64_t n = static_cast<uint64_t>(p.nWidth) * p.nHeight;
    if (!buffersHold(p, n, n, "convertToMono8")) return QX_ERR_GENERAL;
    p.nDstDataLen = static_cast<uint32_t>(n);

    const uint8_t* __restrict src = p.pSrcData;
    uint8_t* __restrict dst = p.pDstData;
    switch (layoutOf(p.enSrcPixelType)) {
    case Layout::Mono8:
        std::memcpy(dst, src, static_cast<size_t>(n));
        return QX_OK;
    case Layout::Unpacked16: {
        const unsigned shift = sampleBits(p.enSrcPixelType) - 8;
        for (uint64_t i = 0; i < n; ++i) dst[i] = scaleTo8(loadLe16(src + 2 * i), shift);
        return QX_OK;
    }
    case Layout::Packed: {
        const PackedLayout l = packedLayout(p.enSrcPixelType);
        const unsigned shift = sampleBits(p.enSrcPixelType) - 8;
        const uint64_t pairs = n / 2;
        packedToMono8(src, dst, pairs);
        if (n % 2) dst[n - 1] = scaleTo8(firstPixel(src + 3 * pairs, l), shift);
        return QX_OK;
    }
    case Layout::Other: break;
    }
    spdlog::error("func:{}, unsupported pstCvtParam->enSrcPixelType=0x{:x}", "convertToMono8", p.enSrcPixelType);
    return QX_ERR_NOT_SUPPORTED;
}

uint32_t PixelConverter::convertToMono16(ConvertParam& p)
{
    const uint64_t n = static_cast<uint64_t>(p.nWidth) * p.nHeight;
    if (!buffersHold(p, n, 2 * n, "convertToMono16")) return QX_ERR_GENERAL;
    p.nDstDataLen = static_cast<uint32_t>(2 * n);

    const uint8_t* __restrict src = p.pSrcData;
    uint8_t* __restrict dst = p.pDstData;
    switch (layoutOf(p.enSrcPixelType)) {
    case Layout::Mono8:
        for (uint64_t i = 0; i < n; ++i) storeLe16(dst + 2 * i, src[i]);
        return QX_OK;
    case Layout::Unpacked16:
        // Exactly two bytes per pixel: a longer source never overruns the destination.
        std::memcpy(dst, src, static_cast<size_t>(2 * n));
        return QX_OK;
    case Layout::Packed: {
        const PackedLayout l = packedLayout(p.enSrcPixelType);
        const uint64_t pairs = n / 2;
        if (p.enSrcPixelType == QX_PIXEL_MONO10PACKED) packedToMono16<2, 0x03>(src, dst, pairs);
        else packedToMono16<4, 0x0F>(src, dst, pairs);
        if (n % 2) storeLe16(dst + 2 * (n - 1), firstPixel(src + 3 * pairs, l));
        return QX_OK;
    }
    case Layout::Other: break;
    }
    spdlog::error("func:{}, unsupported pstCvtParam->enSrcPixelType=0x{:x}", "convertToMono16", p.enSrcPixelType);
    return QX_ERR_NOT_SUPPORTED;
}
