#include "imageout/PixelConverter.h"

#include "Sys/ByteOrder.h"
#include "Sys/Log.h"
#include "Sys/PixelFormat.h"

#include <cstring>

namespace qx::imageout {

namespace {

enum class Layout { Mono8, Unpacked16, Packed, Other };

Layout layoutOf(uint32_t format) {
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
uint64_t sourceBytesRead(uint32_t format, uint64_t pixelCount) {
    switch (layoutOf(format)) {
    case Layout::Mono8: return pixelCount;
    case Layout::Unpacked16: return 2 * pixelCount;
    case Layout::Packed: return 3 * (pixelCount / 2) + 2 * (pixelCount % 2);
    case Layout::Other: break;
    }
    return pixelCount;
}

// Bits of significance of a 10- to 16-bit sample format.
unsigned sampleBits(uint32_t format) {
    switch (format) {
    case QX_PIXEL_MONO10:
    case QX_PIXEL_MONO10PACKED: return 10;
    case QX_PIXEL_MONO12:
    case QX_PIXEL_MONO12PACKED: return 12;
    case QX_PIXEL_MONO14: return 14;
    default: return 16;
    }
}

using qx::sys::loadLe16;
using qx::sys::storeLe16;

// The two pixels of a packed group b0 b1 b2 (shift 2 and mask 0x03 for 10 bits, 4 and 0x0F
// for 12 bits).
struct PackedLayout {
    unsigned shift;
    uint16_t mask;
};

PackedLayout packedLayout(uint32_t format) {
    return format == QX_PIXEL_MONO10PACKED ? PackedLayout{2, 0x03} : PackedLayout{4, 0x0F};
}

inline uint16_t firstPixel(const uint8_t* g, PackedLayout l) {
    return static_cast<uint16_t>((g[0] << l.shift) + (g[1] & l.mask));
}

inline uint16_t secondPixel(const uint8_t* g, PackedLayout l) {
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
// Word loops: shifts and narrowing of 16, 32 or 64 bytes at a time (SSE2, AVX2, AVX-512BW). The
// AVX-512 build is named by its feature level: "avx512bw" alone is not accepted here, and a
// CPU model name would be checked as the model, not as the features.
#define QX_WIDE_LOOP __attribute__((target_clones("default", "avx2", "arch=x86-64-v4"), noinline))
#else
#define QX_HOT_LOOP
#define QX_WIDE_LOOP
#endif

// 10- to 16-bit words to Mono8: each word shifted right by Shift, kept to its low 8 bits. The
// mask before the narrowing keeps the wrap of samples with bits above their depth, and lets
// the compiler narrow with saturating packs.
template <unsigned Shift>
QX_WIDE_LOOP void wordsToMono8(const uint8_t* __restrict src, uint8_t* __restrict dst, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) dst[i] = static_cast<uint8_t>((loadLe16(src + 2 * i) >> Shift) & 0xFF);
}

// Packed to Mono8: scaling a packed pixel to 8 bits drops exactly the bits that came from b1
// ((b0 << shift) + (b1 & mask) >> shift is b0, and likewise b2 for the second pixel), so the
// result is a selection of bytes 0 and 2 of every group.
QX_HOT_LOOP void packedToMono8(const uint8_t* __restrict src, uint8_t* __restrict dst, uint64_t pairs) {
    for (uint64_t g = 0; g < pairs; ++g) {
        dst[2 * g] = src[3 * g];
        dst[2 * g + 1] = src[3 * g + 2];
    }
}

// One build per layout, so that shift and mask are constants of the loop.
template <unsigned Shift, uint16_t Mask>
QX_HOT_LOOP void packedToMono16(const uint8_t* __restrict src, uint8_t* __restrict dst, uint64_t pairs) {
    constexpr PackedLayout l{Shift, Mask};
    for (uint64_t g = 0; g < pairs; ++g) {
        storeLe16(dst + 4 * g, firstPixel(src + 3 * g, l));
        storeLe16(dst + 4 * g + 2, secondPixel(src + 3 * g, l));
    }
}

// Pixels [first, first + count) of the frame to Mono8 at dst. A packed span may start at the
// second pixel of a group; its last odd pixel reads only the two bytes that carry it.
void mono8Span(uint32_t format, const uint8_t* __restrict src, uint8_t* __restrict dst, uint64_t first,
               uint64_t count) {
    switch (layoutOf(format)) {
    case Layout::Mono8: std::memcpy(dst, src + first, static_cast<size_t>(count)); return;
    case Layout::Unpacked16:
        src += 2 * first;
        switch (sampleBits(format)) {
        case 10: wordsToMono8<2>(src, dst, count); return;
        case 12: wordsToMono8<4>(src, dst, count); return;
        case 14: wordsToMono8<6>(src, dst, count); return;
        default: wordsToMono8<8>(src, dst, count); return;
        }
    case Layout::Packed: {
        const PackedLayout l = packedLayout(format);
        const unsigned shift = sampleBits(format) - 8;
        if (count > 0 && first % 2) {
            *dst++ = scaleTo8(secondPixel(src + 3 * (first / 2), l), shift);
            ++first;
            --count;
        }
        const uint8_t* groups = src + 3 * (first / 2);
        const uint64_t pairs = count / 2;
        packedToMono8(groups, dst, pairs);
        if (count % 2) dst[count - 1] = scaleTo8(firstPixel(groups + 3 * pairs, l), shift);
        return;
    }
    case Layout::Other: return;
    }
}

// The guard both conversions share: refuses a record whose buffers cannot hold what the
// conversion reads and writes.
bool buffersHold(const ConvertParam& p, uint64_t pixelCount, uint64_t dstBytes, const char* func) {
    const bool ok = p.pSrcData && p.pDstData && sourceBytesRead(p.enSrcPixelType, pixelCount) <= p.nSrcDataLen &&
                    dstBytes <= p.nDstDataSize;
    if (!ok) {
        QX_LOG_NAMED(spdlog::level::err, func, "func:{}, pixelCount={}, pstCvtParam->nSrcDataLen={}", pixelCount,
                     p.nSrcDataLen);
        QX_LOG_NAMED(spdlog::level::err, func, "func:{}, pixelCount={}, pstCvtParam->nDstDataSize={}", pixelCount,
                     p.nDstDataSize);
    }
    return ok;
}

} // namespace

PixelConverter* PixelConverter::getConverterInstance() {
    // Initialisation of a function-local static is serialised by the runtime; never destroyed.
    static PixelConverter* const instance = new PixelConverter();
    return instance;
}

uint32_t PixelConverter::bytesPerPixel(uint32_t pixelFormat) { return qx::sys::pixelBytes(pixelFormat); }

bool PixelConverter::convertsToMono8(uint32_t pixelFormat) { return layoutOf(pixelFormat) != Layout::Other; }

uint32_t PixelConverter::convertPixels(ConvertParam& p) {
    if (p.nHeight == 0 || p.nWidth == 0 || p.enSrcPixelType == 0 || p.nSrcDataLen == 0 || !p.pSrcData ||
        p.enDstPixelType == 0 || p.nDstDataSize == 0 || !p.pDstData) {
        return QX_ERR_INVALID_PARAM;
    }
    const uint64_t pixelCount = static_cast<uint64_t>(p.nWidth) * p.nHeight;
    if (p.nSrcDataLen < qx::sys::frameBytes(p.enSrcPixelType, pixelCount) ||
        p.nDstDataSize < qx::sys::frameBytes(p.enDstPixelType, pixelCount)) {
        return QX_ERR_INVALID_PARAM;
    }
    switch (p.enDstPixelType) {
    case QX_PIXEL_MONO8: return convertToMono8(p);
    case QX_PIXEL_MONO16: return convertToMono16(p);
    default: return QX_ERR_GENERAL;
    }
}

uint32_t PixelConverter::convertToMono8(ConvertParam& p) {
    const uint64_t n = static_cast<uint64_t>(p.nWidth) * p.nHeight;
    if (!buffersHold(p, n, n, QX_FUNC)) return QX_ERR_GENERAL;
    p.nDstDataLen = static_cast<uint32_t>(n);
    if (layoutOf(p.enSrcPixelType) == Layout::Other) {
        QX_LOG_ERROR("func:{}, unsupported pstCvtParam->enSrcPixelType=0x{:x}", p.enSrcPixelType);
        return QX_ERR_NOT_SUPPORTED;
    }
    mono8Span(p.enSrcPixelType, p.pSrcData, p.pDstData, 0, n);
    return QX_OK;
}

uint32_t PixelConverter::convertToMono8Lines(ConvertParam& p, uint32_t pitch, bool bottomUp) {
    if (p.nHeight == 0 || p.nWidth == 0 || p.enSrcPixelType == 0 || p.nSrcDataLen == 0 || !p.pSrcData ||
        p.enDstPixelType != QX_PIXEL_MONO8 || !p.pDstData || pitch < p.nWidth) {
        return QX_ERR_INVALID_PARAM;
    }
    const uint64_t w = p.nWidth, h = p.nHeight;
    if (p.nSrcDataLen < qx::sys::frameBytes(p.enSrcPixelType, w * h) || p.nDstDataSize < pitch * (h - 1) + w)
        return QX_ERR_INVALID_PARAM;
    p.nDstDataLen = static_cast<uint32_t>(w * h);
    if (layoutOf(p.enSrcPixelType) == Layout::Other) {
        QX_LOG_ERROR("func:convertToMono8, unsupported pstCvtParam->enSrcPixelType=0x{:x}", p.enSrcPixelType);
        return QX_ERR_NOT_SUPPORTED;
    }
    if (!bottomUp && pitch == w) {
        mono8Span(p.enSrcPixelType, p.pSrcData, p.pDstData, 0, w * h);
        return QX_OK;
    }
    for (uint64_t y = 0; y < h; ++y)
        mono8Span(p.enSrcPixelType, p.pSrcData, p.pDstData + (bottomUp ? h - 1 - y : y) * pitch, y * w, w);
    return QX_OK;
}

uint32_t PixelConverter::convertToMono16(ConvertParam& p) {
    const uint64_t n = static_cast<uint64_t>(p.nWidth) * p.nHeight;
    if (!buffersHold(p, n, 2 * n, QX_FUNC)) return QX_ERR_GENERAL;
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
    QX_LOG_ERROR("func:{}, unsupported pstCvtParam->enSrcPixelType=0x{:x}", p.enSrcPixelType);
    return QX_ERR_NOT_SUPPORTED;
}

} // namespace qx::imageout
