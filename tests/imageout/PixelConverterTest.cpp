// Pixel converter: every source format to Mono8 and Mono16 against worked bytes, and refusals.
#include <cstring>
#include <vector>

#include "ImageOutTestSupport.h"
#include "imageout/PixelConverter.h"
#include "Sys/PixelFormat.h"

using namespace qx::imageout;

namespace {

constexpr uint32_t kRgb8 = 0x02180014u;

struct Conversion {
    std::vector<uint8_t> src;
    std::vector<uint8_t> dst;
    ConvertParam p{};
};

Conversion make(uint16_t w, uint16_t h, uint32_t srcFormat, std::vector<uint8_t> src, uint32_t dstFormat,
                size_t dstSize, uint8_t fill = 0xCD) {
    Conversion c;
    c.src = std::move(src);
    c.dst.assign(dstSize, fill);
    c.p.nWidth = w;
    c.p.nHeight = h;
    c.p.enSrcPixelType = srcFormat;
    c.p.pSrcData = c.src.data();
    c.p.nSrcDataLen = static_cast<uint32_t>(c.src.size());
    c.p.enDstPixelType = dstFormat;
    c.p.nDstDataSize = static_cast<uint32_t>(dstSize);
    c.p.pDstData = c.dst.data();
    return c;
}

uint32_t convert(Conversion& c) { return PixelConverter::getConverterInstance()->convertPixels(c.p); }

std::vector<uint8_t> le16(std::initializer_list<uint16_t> samples) {
    std::vector<uint8_t> out;
    for (uint16_t s : samples) {
        out.push_back(static_cast<uint8_t>(s));
        out.push_back(static_cast<uint8_t>(s >> 8));
    }
    return out;
}

} // namespace

TEST(PixelConverter, OneInstance) {
    EXPECT_NE(PixelConverter::getConverterInstance(), nullptr);
    EXPECT_EQ(PixelConverter::getConverterInstance(), PixelConverter::getConverterInstance());
}

TEST(PixelConverter, BytesPerPixel) {
    EXPECT_EQ(PixelConverter::bytesPerPixel(QX_PIXEL_MONO8), 1u);
    EXPECT_EQ(PixelConverter::bytesPerPixel(QX_PIXEL_MONO10), 2u);
    EXPECT_EQ(PixelConverter::bytesPerPixel(QX_PIXEL_MONO12), 2u);
    EXPECT_EQ(PixelConverter::bytesPerPixel(QX_PIXEL_MONO14), 2u);
    EXPECT_EQ(PixelConverter::bytesPerPixel(QX_PIXEL_MONO16), 2u);
    EXPECT_EQ(PixelConverter::bytesPerPixel(QX_PIXEL_MONO10PACKED), 2u);
    EXPECT_EQ(PixelConverter::bytesPerPixel(QX_PIXEL_MONO12PACKED), 2u);
    EXPECT_EQ(PixelConverter::bytesPerPixel(kRgb8), 3u);
}

TEST(PixelConverter, Mono8ToMono8IsACopy) {
    auto c = make(3, 1, QX_PIXEL_MONO8, {1, 2, 0xFF}, QX_PIXEL_MONO8, 3);
    EXPECT_EQ(convert(c), QX_OK);
    EXPECT_EQ(c.dst, (std::vector<uint8_t>{1, 2, 0xFF}));
    EXPECT_EQ(c.p.nDstDataLen, 3u);
}

TEST(PixelConverter, Mono12ToMono8WorkedExample) {
    auto c = make(2, 2, QX_PIXEL_MONO12, le16({0x0FFF, 0x0800, 0x0010, 0x000F}), QX_PIXEL_MONO8, 4);
    EXPECT_EQ(convert(c), QX_OK);
    EXPECT_EQ(c.dst, (std::vector<uint8_t>{0xFF, 0x80, 0x01, 0x00}));
    EXPECT_EQ(c.p.nDstDataLen, 4u);
}

TEST(PixelConverter, UnpackedShiftsToMono8) {
    auto c10 = make(3, 1, QX_PIXEL_MONO10, le16({0x3FF, 0x200, 0x003}), QX_PIXEL_MONO8, 3);
    EXPECT_EQ(convert(c10), QX_OK);
    EXPECT_EQ(c10.dst, (std::vector<uint8_t>{0xFF, 0x80, 0x00}));
    auto c14 = make(3, 1, QX_PIXEL_MONO14, le16({0x3FFF, 0x2000, 0x0040}), QX_PIXEL_MONO8, 3);
    EXPECT_EQ(convert(c14), QX_OK);
    EXPECT_EQ(c14.dst, (std::vector<uint8_t>{0xFF, 0x80, 0x01}));
    auto c16 = make(3, 1, QX_PIXEL_MONO16, le16({0xFFFF, 0x8000, 0x01FF}), QX_PIXEL_MONO8, 3);
    EXPECT_EQ(convert(c16), QX_OK);
    EXPECT_EQ(c16.dst, (std::vector<uint8_t>{0xFF, 0x80, 0x01}));
}

TEST(PixelConverter, SamplesAboveTheirDepthWrap) {
    // 0x1000 in a 12-bit format: trunc(4096 / 16) = 256, stored as its low 8 bits.
    auto c = make(2, 1, QX_PIXEL_MONO12, le16({0x1000, 0xFFFF}), QX_PIXEL_MONO8, 2);
    EXPECT_EQ(convert(c), QX_OK);
    EXPECT_EQ(c.dst, (std::vector<uint8_t>{0x00, 0xFF}));
    auto c10 = make(1, 1, QX_PIXEL_MONO10, le16({0x0500}), QX_PIXEL_MONO8, 1);
    EXPECT_EQ(convert(c10), QX_OK);
    EXPECT_EQ(c10.dst[0], 0x40); // 0x500 >> 2 = 0x140
}

TEST(PixelConverter, Mono12PackedWorkedExample) {
    auto c8 = make(2, 1, QX_PIXEL_MONO12PACKED, {0xAB, 0xCD, 0xEF, 0x00}, QX_PIXEL_MONO8, 2);
    EXPECT_EQ(convert(c8), QX_OK);
    EXPECT_EQ(c8.dst, (std::vector<uint8_t>{0xAB, 0xEF}));
    auto c16 = make(2, 1, QX_PIXEL_MONO12PACKED, {0xAB, 0xCD, 0xEF, 0x00}, QX_PIXEL_MONO16, 4);
    EXPECT_EQ(convert(c16), QX_OK);
    EXPECT_EQ(c16.dst, le16({0x0ABD, 0x0EFC}));
    EXPECT_EQ(c16.p.nDstDataLen, 4u);
}

TEST(PixelConverter, Mono10PackedWorkedExample) {
    auto c8 = make(2, 1, QX_PIXEL_MONO10PACKED, {0x40, 0x21, 0x80, 0x00}, QX_PIXEL_MONO8, 2);
    EXPECT_EQ(convert(c8), QX_OK);
    EXPECT_EQ(c8.dst, (std::vector<uint8_t>{0x40, 0x80}));
    auto c16 = make(2, 1, QX_PIXEL_MONO10PACKED, {0x40, 0x21, 0x80, 0x00}, QX_PIXEL_MONO16, 4);
    EXPECT_EQ(convert(c16), QX_OK);
    EXPECT_EQ(c16.dst, le16({0x101, 0x202}));
}

TEST(PixelConverter, PackedSeveralGroups) {
    // Two groups, four pixels: 0x123 0x456 | 0x789 0xABC (12-bit).
    std::vector<uint8_t> src = {0x12, 0x63, 0x45, 0x78, 0xC9, 0xAB, 0, 0};
    auto c16 = make(4, 1, QX_PIXEL_MONO12PACKED, src, QX_PIXEL_MONO16, 8);
    EXPECT_EQ(convert(c16), QX_OK);
    EXPECT_EQ(c16.dst, le16({0x123, 0x456, 0x789, 0xABC}));
    auto c8 = make(4, 1, QX_PIXEL_MONO12PACKED, src, QX_PIXEL_MONO8, 4);
    EXPECT_EQ(convert(c8), QX_OK);
    EXPECT_EQ(c8.dst, (std::vector<uint8_t>{0x12, 0x45, 0x78, 0xAB}));
}

TEST(PixelConverter, PackedOddPixelCountReadsOnlyExistingBytes) {
    // Three pixels: one whole group and the two bytes that carry the third pixel; the source
    // holds exactly the two bytes per pixel demanded (6), and the conversion reads 5 of them.
    std::vector<uint8_t> src = {0xAB, 0xCD, 0xEF, 0x12, 0x03, 0x99};
    auto c16 = make(3, 1, QX_PIXEL_MONO12PACKED, src, QX_PIXEL_MONO16, 6);
    EXPECT_EQ(convert(c16), QX_OK);
    EXPECT_EQ(c16.dst, le16({0x0ABD, 0x0EFC, 0x0123}));
    // A direct call with only the 5 bytes that carry the pixels is served too.
    auto direct = make(3, 1, QX_PIXEL_MONO12PACKED, {0xAB, 0xCD, 0xEF, 0x12, 0x03}, QX_PIXEL_MONO8, 3);
    EXPECT_EQ(PixelConverter::getConverterInstance()->convertToMono8(direct.p), QX_OK);
    EXPECT_EQ(direct.dst, (std::vector<uint8_t>{0xAB, 0xEF, 0x12}));
    // ... but 4 bytes are refused: the fifth would be read past the source.
    qxtest::LogCapture log;
    auto tooShort = make(3, 1, QX_PIXEL_MONO12PACKED, {0xAB, 0xCD, 0xEF, 0x12}, QX_PIXEL_MONO8, 3);
    EXPECT_EQ(PixelConverter::getConverterInstance()->convertToMono8(tooShort.p), QX_ERR_GENERAL);
    EXPECT_TRUE(log.contains("func:convertToMono8, pixelCount=3, pstCvtParam->nSrcDataLen=4"));
}

TEST(PixelConverter, PackedIsTakenAtItsRealSize) {
    // A camera's packed frame holds ceil(pixels x 1.5) bytes, and the buffer ends there: 640 x
    // 480 in 460,800 bytes, 3 x 3 in 14. Those are converted without a byte read past them (the
    // vectors hold exactly those bytes; the sanitizer builds watch the reads); one byte fewer is
    // refused before anything is read.
    for (uint32_t format : {QX_PIXEL_MONO10PACKED, QX_PIXEL_MONO12PACKED}) {
        for (const auto& [w, h] : {std::pair<uint16_t, uint16_t>{640, 480}, {3, 3}, {641, 7}}) {
            const size_t n = size_t(w) * h, bytes = (n * 3 + 1) / 2;
            EXPECT_EQ(qx::sys::frameBytes(format, n), bytes);
            std::vector<uint8_t> src(bytes);
            for (size_t i = 0; i < bytes; ++i) src[i] = uint8_t(i * 37 + 11);
            auto c8 = make(w, h, format, src, QX_PIXEL_MONO8, n);
            auto c16 = make(w, h, format, src, QX_PIXEL_MONO16, 2 * n);
            ASSERT_EQ(convert(c8), QX_OK) << w << "x" << h;
            ASSERT_EQ(convert(c16), QX_OK) << w << "x" << h;
            EXPECT_EQ(c8.p.nDstDataLen, n);
            const bool ten = format == QX_PIXEL_MONO10PACKED;
            const unsigned shift = ten ? 2 : 4, mask = ten ? 3 : 15;
            for (size_t i = 0; i < n; ++i) {
                const uint8_t* g = src.data() + 3 * (i / 2);
                const uint16_t v = (i % 2 == 0) ? uint16_t((g[0] << shift) + (g[1] & mask))
                                                : uint16_t((g[2] << shift) + ((g[1] >> 4) & mask));
                ASSERT_EQ(c16.dst[2 * i] | (c16.dst[2 * i + 1] << 8), v) << i;
                ASSERT_EQ(c8.dst[i], uint8_t(v >> shift)) << i;
            }
            src.pop_back();
            auto shortFrame = make(w, h, format, src, QX_PIXEL_MONO8, n);
            EXPECT_EQ(convert(shortFrame), QX_ERR_INVALID_PARAM);
            std::vector<uint8_t> lines(n);
            shortFrame.p.pDstData = lines.data();
            EXPECT_EQ(PixelConverter::getConverterInstance()->convertToMono8Lines(shortFrame.p, w, true),
                      QX_ERR_INVALID_PARAM);
        }
    }
    // The unpacked formats keep their whole bytes per pixel.
    EXPECT_EQ(qx::sys::frameBytes(QX_PIXEL_MONO12, 9), 18u);
    EXPECT_EQ(qx::sys::frameBytes(QX_PIXEL_MONO8, 9), 9u);
    EXPECT_EQ(qx::sys::frameBytes(0x02180014u, 9), 27u); // RGB8
}

TEST(PixelConverter, Mono8ToMono16) {
    auto c = make(2, 1, QX_PIXEL_MONO8, {0x12, 0xFE}, QX_PIXEL_MONO16, 4);
    EXPECT_EQ(convert(c), QX_OK);
    EXPECT_EQ(c.dst, (std::vector<uint8_t>{0x12, 0x00, 0xFE, 0x00}));
    EXPECT_EQ(c.p.nDstDataLen, 4u);
}

TEST(PixelConverter, SixteenBitToMono16IsAByteCopy) {
    for (uint32_t format : {QX_PIXEL_MONO10, QX_PIXEL_MONO12, QX_PIXEL_MONO14, QX_PIXEL_MONO16}) {
        auto src = le16({0x0123, 0x0FFF, 0xFFFF, 0x0000});
        auto c = make(2, 2, format, src, QX_PIXEL_MONO16, 8);
        EXPECT_EQ(convert(c), QX_OK);
        EXPECT_EQ(c.dst, src);
        EXPECT_EQ(c.p.nDstDataLen, 8u);
    }
}

TEST(PixelConverter, SixteenBitCopyStopsAtTwoBytesPerPixel) {
    // The source holds more than the frame; the destination exactly the frame. Nothing is
    // written past it.
    std::vector<uint8_t> src(100, 0x5A);
    auto c = make(2, 2, QX_PIXEL_MONO16, src, QX_PIXEL_MONO16, 8);
    c.dst.resize(16, 0xCD); // a guard zone the converter is not told about
    c.p.pDstData = c.dst.data();
    EXPECT_EQ(convert(c), QX_OK);
    EXPECT_EQ(c.p.nDstDataLen, 8u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(c.dst[i], 0x5A);
    for (size_t i = 8; i < 16; ++i) EXPECT_EQ(c.dst[i], 0xCD) << i;
}

TEST(PixelConverter, RefusesMissingArguments) {
    auto base = make(2, 1, QX_PIXEL_MONO8, {1, 2}, QX_PIXEL_MONO8, 2);
    auto check = [&](auto mutate) {
        auto c = make(2, 1, QX_PIXEL_MONO8, {1, 2}, QX_PIXEL_MONO8, 2);
        mutate(c.p);
        EXPECT_EQ(convert(c), QX_ERR_INVALID_PARAM);
        EXPECT_EQ(c.dst, (std::vector<uint8_t>{0xCD, 0xCD}));
    };
    check([](ConvertParam& p) { p.nHeight = 0; });
    check([](ConvertParam& p) { p.nWidth = 0; });
    check([](ConvertParam& p) { p.enSrcPixelType = 0; });
    check([](ConvertParam& p) { p.nSrcDataLen = 0; });
    check([](ConvertParam& p) { p.pSrcData = nullptr; });
    check([](ConvertParam& p) { p.enDstPixelType = 0; });
    check([](ConvertParam& p) { p.nDstDataSize = 0; });
    check([](ConvertParam& p) { p.pDstData = nullptr; });
    check([](ConvertParam& p) { p.nSrcDataLen = 1; });
    check([](ConvertParam& p) { p.nDstDataSize = 1; });
    EXPECT_EQ(convert(base), QX_OK);
}

TEST(PixelConverter, SizeArithmeticDoesNotWrap) {
    // 65535 x 65535 pixels of two bytes is more than 32 bits can count: it must be refused,
    // not wrapped into a small number that the buffers seem to hold.
    std::vector<uint8_t> src(16), dst(16);
    ConvertParam p{};
    p.nWidth = 65535;
    p.nHeight = 65535;
    p.enSrcPixelType = QX_PIXEL_MONO16;
    p.pSrcData = src.data();
    p.nSrcDataLen = 0xFFFFFFFFu;
    p.enDstPixelType = QX_PIXEL_MONO16;
    p.nDstDataSize = 0xFFFFFFFFu;
    p.pDstData = dst.data();
    EXPECT_EQ(PixelConverter::getConverterInstance()->convertPixels(p), QX_ERR_INVALID_PARAM);
    // The direct entry refuses it as well.
    qxtest::LogCapture log;
    EXPECT_EQ(PixelConverter::getConverterInstance()->convertToMono16(p), QX_ERR_GENERAL);
    EXPECT_TRUE(log.contains("func:convertToMono16, pixelCount=4294836225, pstCvtParam->nDstDataSize=4294967295"));
}

TEST(PixelConverter, UnsupportedDestination) {
    auto mono12 = make(2, 1, QX_PIXEL_MONO8, {1, 2}, QX_PIXEL_MONO12, 4);
    EXPECT_EQ(convert(mono12), QX_ERR_GENERAL);
    auto zero = make(2, 1, QX_PIXEL_MONO8, {1, 2}, 0, 4);
    EXPECT_EQ(convert(zero), QX_ERR_INVALID_PARAM);
}

TEST(PixelConverter, UnsupportedSourceLogsAndKeepsLength) {
    qxtest::LogCapture log;
    auto c = make(2, 1, kRgb8, std::vector<uint8_t>(6, 7), QX_PIXEL_MONO8, 2);
    EXPECT_EQ(convert(c), QX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(c.p.nDstDataLen, 2u);
    EXPECT_TRUE(log.contains("error func:convertToMono8, unsupported pstCvtParam->enSrcPixelType=0x2180014"));
    auto c16 = make(2, 1, kRgb8, std::vector<uint8_t>(6, 7), QX_PIXEL_MONO16, 4);
    EXPECT_EQ(convert(c16), QX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(c16.p.nDstDataLen, 4u);
    EXPECT_TRUE(log.contains("func:convertToMono16, unsupported pstCvtParam->enSrcPixelType=0x2180014"));
}

TEST(PixelConverter, RefusalsBeforeConversionLogNothing) {
    qxtest::LogCapture log;
    auto c = make(2, 1, QX_PIXEL_MONO12PACKED, {0xAB, 0xCD}, QX_PIXEL_MONO8, 2);
    EXPECT_EQ(convert(c), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(log.text(), "");
}

TEST(PixelConverter, DirectCallGuardLogsBothLines) {
    qxtest::LogCapture log;
    auto c = make(4, 1, QX_PIXEL_MONO8, {1, 2}, QX_PIXEL_MONO8, 4);
    EXPECT_EQ(PixelConverter::getConverterInstance()->convertToMono8(c.p), QX_ERR_GENERAL);
    EXPECT_TRUE(log.contains("error func:convertToMono8, pixelCount=4, pstCvtParam->nSrcDataLen=2"));
    EXPECT_TRUE(log.contains("error func:convertToMono8, pixelCount=4, pstCvtParam->nDstDataSize=4"));
}

TEST(PixelConverter, LargeFrameAllFormatsAgainstReference) {
    // A 641 x 3 frame of every format, compared with a straightforward per-pixel reference.
    const uint16_t w = 641, h = 3;
    const size_t n = size_t(w) * h;
    std::vector<uint16_t> samples(n);
    for (size_t i = 0; i < n; ++i) samples[i] = static_cast<uint16_t>(i * 2654435761u >> 7);
    struct Case {
        uint32_t format;
        unsigned bits;
    };
    for (Case cs :
         {Case{QX_PIXEL_MONO10, 10}, Case{QX_PIXEL_MONO12, 12}, Case{QX_PIXEL_MONO14, 14}, Case{QX_PIXEL_MONO16, 16}}) {
        std::vector<uint8_t> src(2 * n);
        for (size_t i = 0; i < n; ++i) {
            const uint16_t s = samples[i] & ((1u << cs.bits) - 1);
            src[2 * i] = uint8_t(s);
            src[2 * i + 1] = uint8_t(s >> 8);
        }
        auto c = make(w, h, cs.format, src, QX_PIXEL_MONO8, n);
        ASSERT_EQ(convert(c), QX_OK);
        for (size_t i = 0; i < n; ++i) {
            const float f = 256.0f / float(1u << cs.bits);
            const uint16_t s = samples[i] & ((1u << cs.bits) - 1);
            ASSERT_EQ(c.dst[i], uint8_t(int(float(s) * f))) << i;
        }
    }
    for (uint32_t format : {QX_PIXEL_MONO10PACKED, QX_PIXEL_MONO12PACKED}) {
        std::vector<uint8_t> src(2 * n);
        for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 131 + 7);
        auto c8 = make(w, h, format, src, QX_PIXEL_MONO8, n);
        auto c16 = make(w, h, format, src, QX_PIXEL_MONO16, 2 * n);
        ASSERT_EQ(convert(c8), QX_OK);
        ASSERT_EQ(convert(c16), QX_OK);
        const bool ten = format == QX_PIXEL_MONO10PACKED;
        for (size_t i = 0; i < n; ++i) {
            const uint8_t* g = src.data() + 3 * (i / 2);
            uint16_t v = (i % 2 == 0) ? uint16_t((g[0] << (ten ? 2 : 4)) + (g[1] & (ten ? 3 : 15)))
                                      : uint16_t((g[2] << (ten ? 2 : 4)) + ((g[1] >> 4) & (ten ? 3 : 15)));
            ASSERT_EQ(c16.dst[2 * i] | (c16.dst[2 * i + 1] << 8), v) << i;
            ASSERT_EQ(c8.dst[i], uint8_t(v >> (ten ? 2 : 4))) << i;
        }
    }
}

TEST(PixelConverter, EveryWordOfEveryDepthToMono8) {
    // All 65536 words, in and above each depth, through the vector loops (and their tails: the
    // frame is 257 x 255 pixels, an odd count): trunc(sample x 2^8 / 2^bits) kept to 8 bits.
    const uint16_t w = 257, h = 255;
    const size_t n = size_t(w) * h;
    std::vector<uint8_t> src(2 * n);
    for (size_t i = 0; i < n; ++i) {
        src[2 * i] = uint8_t(i);
        src[2 * i + 1] = uint8_t(i >> 8);
    }
    struct Case {
        uint32_t format;
        unsigned bits;
    };
    for (Case cs :
         {Case{QX_PIXEL_MONO10, 10}, Case{QX_PIXEL_MONO12, 12}, Case{QX_PIXEL_MONO14, 14}, Case{QX_PIXEL_MONO16, 16}}) {
        auto c = make(w, h, cs.format, src, QX_PIXEL_MONO8, n);
        ASSERT_EQ(convert(c), QX_OK);
        const float f = 256.0f / float(1u << cs.bits);
        for (size_t i = 0; i < n; ++i)
            ASSERT_EQ(c.dst[i], uint8_t(int64_t(float(uint16_t(i)) * f))) << cs.bits << " " << i;
    }
}

TEST(PixelConverter, LinesBottomUpAndWithPitch) {
    // Into the lines of a bitmap: the same bytes as the plain conversion, line by line, bottom
    // line first with bottomUp, and the pitch's padding bytes untouched. Odd widths make packed
    // lines start in the middle of a group.
    for (uint32_t format :
         {QX_PIXEL_MONO8, QX_PIXEL_MONO12, QX_PIXEL_MONO16, QX_PIXEL_MONO10PACKED, QX_PIXEL_MONO12PACKED}) {
        for (uint16_t w : {uint16_t(1), uint16_t(5), uint16_t(67)}) {
            const uint16_t h = 7;
            const uint32_t pitch = (w + 3u) & ~3u;
            std::vector<uint8_t> src(size_t(w) * h * 2);
            for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 29 + 3);
            auto plain = make(w, h, format, src, QX_PIXEL_MONO8, size_t(w) * h);
            ASSERT_EQ(convert(plain), QX_OK);
            for (bool bottomUp : {false, true}) {
                auto lines = make(w, h, format, src, QX_PIXEL_MONO8, size_t(pitch) * h);
                ASSERT_EQ(PixelConverter::getConverterInstance()->convertToMono8Lines(lines.p, pitch, bottomUp), QX_OK);
                EXPECT_EQ(lines.p.nDstDataLen, uint32_t(w) * h);
                for (uint32_t y = 0; y < h; ++y) {
                    const uint8_t* line = lines.dst.data() + size_t(bottomUp ? h - 1 - y : y) * pitch;
                    ASSERT_EQ(std::memcmp(line, plain.dst.data() + size_t(y) * w, w), 0)
                        << format << " w " << w << " line " << y;
                    for (uint32_t x = w; x < pitch; ++x) ASSERT_EQ(line[x], 0xCD);
                }
            }
        }
    }
}

TEST(PixelConverter, LinesRefuseWhatDoesNotFit) {
    PixelConverter* conv = PixelConverter::getConverterInstance();
    const std::vector<uint8_t> src(4 * 3 * 2, 0x10);
    // The last line needs only nWidth bytes after (nHeight - 1) x pitch.
    auto fits = make(4, 3, QX_PIXEL_MONO12, src, QX_PIXEL_MONO8, 2 * 8 + 4);
    EXPECT_EQ(conv->convertToMono8Lines(fits.p, 8, true), QX_OK);
    auto small = make(4, 3, QX_PIXEL_MONO12, src, QX_PIXEL_MONO8, 2 * 8 + 3);
    EXPECT_EQ(conv->convertToMono8Lines(small.p, 8, true), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(conv->convertToMono8Lines(fits.p, 3, false), QX_ERR_INVALID_PARAM); // pitch below the width
    auto shortSource = make(4, 3, QX_PIXEL_MONO12, std::vector<uint8_t>(23), QX_PIXEL_MONO8, 12);
    EXPECT_EQ(conv->convertToMono8Lines(shortSource.p, 4, false), QX_ERR_INVALID_PARAM);
    auto mono16 = make(4, 3, QX_PIXEL_MONO12, src, QX_PIXEL_MONO16, 24);
    EXPECT_EQ(conv->convertToMono8Lines(mono16.p, 4, false), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(std::vector<uint8_t>(mono16.dst), std::vector<uint8_t>(24, 0xCD));
    qxtest::LogCapture log;
    auto rgb = make(4, 3, kRgb8, std::vector<uint8_t>(36), QX_PIXEL_MONO8, 12);
    EXPECT_EQ(conv->convertToMono8Lines(rgb.p, 4, true), QX_ERR_NOT_SUPPORTED);
    EXPECT_TRUE(log.contains("unsupported pstCvtParam->enSrcPixelType=0x2180014"));
}
