// Image saver: each format read back by an independent decoder, raw headers byte for byte,
// row order, quality clamping, path lengths, failures.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <random>
#include <vector>

#include "ImageOutTestSupport.h"
#include "SmallFs.h"
#include "imageout/ImageSaver.h"
#include "imageout/PixelConverter.h"

using namespace qx::imageout;

// A nothrow array allocation of exactly this many bytes fails while it is non-zero: the test
// binary's replacement of the global allocation function lets a test run out of memory at one
// chosen allocation.
static size_t g_failNothrowArrayOfSize = 0;

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (g_failNothrowArrayOfSize != 0 && size == g_failNothrowArrayOfSize) return nullptr;
    return std::malloc(size ? size : 1);
}

void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void* operator new[](std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}

namespace {

using qxtest::run;

constexpr uint32_t kRgb8 = 0x02180014u;

struct Frame {
    std::vector<uint8_t> data;
    uint32_t format;
    uint16_t width;
    uint16_t height;
};

// A Mono8 frame whose line y (top first) holds value(x, y).
template <typename F>
Frame mono8(uint16_t w, uint16_t h, F value) {
    Frame f{std::vector<uint8_t>(size_t(w) * h), QX_PIXEL_MONO8, w, h};
    for (uint16_t y = 0; y < h; ++y)
        for (uint16_t x = 0; x < w; ++x) f.data[size_t(y) * w + x] = value(x, y);
    return f;
}

SaveFileParam param(const Frame& f, int type, const std::string& path) {
    SaveFileParam p{};
    p.nPixelFormat = f.format;
    p.pData = f.data.data();
    p.nDataLen = static_cast<uint32_t>(f.data.size());
    p.nWidth = f.width;
    p.nHeight = f.height;
    p.enImageType = type;
    p.nQuality = 90;
    std::snprintf(p.pImagePath, sizeof(p.pImagePath), "%s", path.c_str());
    return p;
}

// What the saved grey picture must hold: the frame converted to Mono8.
std::vector<uint8_t> expectedGrey(const Frame& f) {
    std::vector<uint8_t> out(size_t(f.width) * f.height);
    ConvertParam c{};
    c.nWidth = f.width;
    c.nHeight = f.height;
    c.enSrcPixelType = f.format;
    c.pSrcData = f.data.data();
    c.nSrcDataLen = static_cast<uint32_t>(f.data.size());
    c.enDstPixelType = QX_PIXEL_MONO8;
    c.nDstDataSize = static_cast<uint32_t>(out.size());
    c.pDstData = out.data();
    EXPECT_EQ(PixelConverter::getConverterInstance()->convertPixels(c), QX_OK);
    return out;
}

std::string decoderFor(int type) {
    switch (type) {
    case QX_IMAGE_BMP: return "bmptopnm";
    case QX_IMAGE_PNG: return "pngtopnm";
    case QX_IMAGE_TIFF: return "tifftopnm";
    case QX_IMAGE_JPG: return "djpeg -pnm";
    }
    return "false";
}

qxtest::Pgm decode(int type, const std::string& path) {
    int status = 0;
    const std::string out = run(decoderFor(type) + " '" + path + "' 2>/dev/null", &status);
    qxtest::Pgm pgm;
    EXPECT_EQ(status, 0) << path;
    EXPECT_TRUE(qxtest::parsePgm(out, &pgm)) << path;
    return pgm;
}

bool haveDecoders() {
    return qxtest::onPath("bmptopnm") && qxtest::onPath("pngtopnm") && qxtest::onPath("tifftopnm") &&
           qxtest::onPath("djpeg");
}

Frame patterned(uint16_t w, uint16_t h, uint32_t format) {
    Frame f{{}, format, w, h};
    const size_t n = size_t(w) * h;
    f.data.resize(2 * n);
    for (size_t i = 0; i < f.data.size(); ++i) f.data[i] = uint8_t((i * 2654435761u) >> 11);
    if (format == QX_PIXEL_MONO8) f.data.resize(n);
    if (format == QX_PIXEL_MONO12) {
        for (size_t i = 0; i < n; ++i) f.data[2 * i + 1] &= 0x0F;
    }
    return f;
}

} // namespace

TEST(ImageSaver, LosslessFormatsMatchPixelForPixel) {
    if (!haveDecoders()) GTEST_SKIP() << "decoders not installed";
    qxtest::ScratchDir dir;
    ImageSaver saver;
    int k = 0;
    for (uint32_t format :
         {QX_PIXEL_MONO8, QX_PIXEL_MONO12, QX_PIXEL_MONO16, QX_PIXEL_MONO10PACKED, QX_PIXEL_MONO12PACKED}) {
        for (uint16_t w : {640, 641, 3, 1}) {
            const Frame f = patterned(w, 7, format);
            const auto expected = expectedGrey(f);
            for (int type : {QX_IMAGE_BMP, QX_IMAGE_PNG, QX_IMAGE_TIFF}) {
                const std::string path = dir.file("f" + std::to_string(k++));
                SaveFileParam p = param(f, type, path);
                ASSERT_EQ(saver.saveNormalFormat(p), QX_OK) << type << " " << w;
                const auto pgm = decode(type, path);
                ASSERT_EQ(pgm.width, w);
                ASSERT_EQ(pgm.height, 7);
                ASSERT_EQ(pgm.pixels, expected) << "type " << type << " width " << w << " format " << format;
            }
        }
    }
}

// Packed frames at the size a camera sends (1.5 bytes per pixel, rounded up) are saved in every
// type; one byte less is refused. The buffers end where the frame ends.
TEST(ImageSaver, PackedFramesAtTheirRealSize) {
    if (!haveDecoders()) GTEST_SKIP() << "decoders not installed";
    qxtest::ScratchDir dir;
    ImageSaver saver;
    int k = 0;
    for (uint32_t format : {QX_PIXEL_MONO10PACKED, QX_PIXEL_MONO12PACKED}) {
        for (uint16_t w : {640, 641}) {
            const uint16_t h = 480;
            Frame f = patterned(w, h, format);
            f.data.resize((size_t(w) * h * 3 + 1) / 2);
            f.data.shrink_to_fit();
            const auto expected = expectedGrey(f);
            for (int type : {QX_IMAGE_BMP, QX_IMAGE_JPG, QX_IMAGE_PNG, QX_IMAGE_TIFF, QX_IMAGE_RAW}) {
                const std::string path = dir.file("p" + std::to_string(k++));
                SaveFileParam p = param(f, type, path);
                ASSERT_EQ(saver.saveNormalFormat(p), QX_OK) << type << " " << w;
                if (type == QX_IMAGE_RAW) {
                    EXPECT_EQ(qxtest::readFile(path), f.data);
                } else if (type != QX_IMAGE_JPG) {
                    EXPECT_EQ(decode(type, path).pixels, expected) << type << " " << w;
                } else {
                    EXPECT_EQ(decode(type, path).width, w);
                }
                SaveFileParam shortFrame = p;
                shortFrame.nDataLen -= 1;
                EXPECT_EQ(saver.saveNormalFormat(shortFrame), QX_ERR_INVALID_PARAM) << type;
            }
        }
    }
}

TEST(ImageSaver, FirstLineAtTheTopForWidths640And641) {
    QX_REQUIRE_TOOL("bmptopnm");
    qxtest::ScratchDir dir;
    ImageSaver saver;
    for (uint16_t w : {640, 641}) {
        const Frame f = mono8(w, 4, [](uint16_t, uint16_t y) { return uint8_t(y == 0 ? 255 : 10 * y); });
        for (int type : {QX_IMAGE_BMP, QX_IMAGE_PNG, QX_IMAGE_TIFF, QX_IMAGE_JPG}) {
            const std::string path = dir.file("top" + std::to_string(w) + "_" + std::to_string(type));
            SaveFileParam p = param(f, type, path);
            ASSERT_EQ(saver.saveNormalFormat(p), QX_OK);
            const auto pgm = decode(type, path);
            ASSERT_EQ(pgm.width, w);
            EXPECT_GE(pgm.pixels[0], 240) << w << " type " << type;
            EXPECT_LE(pgm.pixels[size_t(3) * w], 40) << w << " type " << type;
        }
    }
}

TEST(ImageSaver, BmpHeaderOfTheWorkingImage) {
    qxtest::ScratchDir dir;
    ImageSaver saver;
    const Frame f = mono8(641, 3, [](uint16_t x, uint16_t) { return uint8_t(x); });
    SaveFileParam p = param(f, QX_IMAGE_BMP, dir.file("h.bmp"));
    ASSERT_EQ(saver.saveNormalFormat(p), QX_OK);
    const auto bmp = qxtest::readFile(dir.file("h.bmp"));
    ASSERT_EQ(bmp.size(), 1078u + 644u * 3u);
    EXPECT_EQ(bmp[10] | bmp[11] << 8, 1078);
    EXPECT_EQ(bmp[28], 8);
    EXPECT_EQ(bmp[38] | bmp[39] << 8, 3780);
    // Row padding is zero, never leftover memory.
    for (int row = 0; row < 3; ++row)
        for (int i = 641; i < 644; ++i) EXPECT_EQ(bmp[1078 + row * 644 + i], 0);
}

TEST(ImageSaver, PngOfMono16HoldsTheHighBytes) {
    QX_REQUIRE_TOOL("pngcheck");
    qxtest::ScratchDir dir;
    ImageSaver saver;
    Frame f{{0x34, 0x12, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x00}, QX_PIXEL_MONO16, 2, 2};
    SaveFileParam p = param(f, QX_IMAGE_PNG, dir.file("m16.png"));
    ASSERT_EQ(saver.saveNormalFormat(p), QX_OK);
    int status = 0;
    const std::string check = run("pngcheck -v " + dir.file("m16.png") + " 2>&1", &status);
    EXPECT_EQ(status, 0) << check;
    EXPECT_NE(check.find("8-bit grayscale"), std::string::npos) << check;
    const auto pgm = decode(QX_IMAGE_PNG, dir.file("m16.png"));
    EXPECT_EQ(pgm.pixels, (std::vector<uint8_t>{0x12, 0xFF, 0x80, 0x00}));
}

TEST(ImageSaver, JpegIsGreyAndClose) {
    QX_REQUIRE_TOOL("djpeg");
    qxtest::ScratchDir dir;
    ImageSaver saver;
    const Frame f = mono8(64, 32, [](uint16_t x, uint16_t y) { return uint8_t(x * 2 + y); });
    SaveFileParam p = param(f, QX_IMAGE_JPG, dir.file("g.jpg"));
    p.nQuality = 100;
    ASSERT_EQ(saver.saveNormalFormat(p), QX_OK);
    const auto pgm = decode(QX_IMAGE_JPG, dir.file("g.jpg"));
    ASSERT_EQ(pgm.pixels.size(), f.data.size());
    for (size_t i = 0; i < f.data.size(); ++i) ASSERT_NEAR(pgm.pixels[i], f.data[i], 3) << i;
}

TEST(ImageSaver, JpegQualityClamping) {
    QX_REQUIRE_TOOL("identify");
    qxtest::ScratchDir dir;
    ImageSaver saver;
    const Frame small = mono8(32, 32, [](uint16_t x, uint16_t y) { return uint8_t(x * y); });
    const Frame big = mono8(48, 40, [](uint16_t x, uint16_t y) { return uint8_t(x + y); });
    struct Case {
        const Frame* frame;
        uint32_t quality;
        const char* expected;
    };
    int k = 0;
    for (Case c : {Case{&small, 49, "100"}, Case{&small, 101, "100"}, Case{&small, 50, "50"}, Case{&small, 100, "100"},
                   Case{&small, 75, "75"}, Case{&big, 60, "60"}, Case{&small, 0, "100"}, Case{&big, 80, "80"}}) {
        const std::string path = dir.file("q" + std::to_string(k++) + ".jpg");
        SaveFileParam p = param(*c.frame, QX_IMAGE_JPG, path);
        p.nQuality = c.quality;
        ASSERT_EQ(saver.saveNormalFormat(p), QX_OK);
        EXPECT_EQ(run("identify -format %Q " + path), c.expected) << c.quality;
    }
}

TEST(ImageSaver, RawWithAndWithoutHeader) {
    qxtest::ScratchDir dir;
    ImageSaver saver;
    Frame f{{1, 2, 3, 4}, QX_PIXEL_MONO8, 2, 2};
    SaveFileParam p = param(f, QX_IMAGE_RAW, dir.file("h.raw"));
    p.bRawHeaderEnabled = true;
    ASSERT_EQ(saver.saveNormalFormat(p), QX_OK);
    EXPECT_EQ(qxtest::readFile(dir.file("h.raw")),
              (std::vector<uint8_t>{0x01, 0x08, 0x01, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00,
                                    0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x04, 1,    2,    3,    4}));
    SaveFileParam q = param(f, QX_IMAGE_RAW, dir.file("n.raw"));
    ASSERT_EQ(saver.saveNormalFormat(q), QX_OK);
    EXPECT_EQ(qxtest::readFile(dir.file("n.raw")), (std::vector<uint8_t>{1, 2, 3, 4}));
    // Mono12Packed 3 x 1 with a longer buffer: the header carries the bit count 12 and the
    // whole data length, and every byte is written.
    Frame packed{{9, 8, 7, 6, 5, 4, 3}, QX_PIXEL_MONO12PACKED, 3, 1};
    SaveFileParam r = param(packed, QX_IMAGE_RAW, dir.file("p.raw"));
    r.bRawHeaderEnabled = true;
    ASSERT_EQ(saver.saveNormalFormat(r), QX_OK);
    EXPECT_EQ(qxtest::readFile(dir.file("p.raw")),
              (std::vector<uint8_t>{0x01, 0x0C, 0x01, 0x0C, 0x00, 0x06, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                                    0x01, 0x00, 0x00, 0x00, 0x07, 9,    8,    7,    6,    5,    4,    3}));
    // An existing longer file is truncated.
    SaveFileParam s = param(f, QX_IMAGE_RAW, dir.file("p.raw"));
    ASSERT_EQ(saver.saveNormalFormat(s), QX_OK);
    EXPECT_EQ(qxtest::readFile(dir.file("p.raw")).size(), 4u);
}

TEST(ImageSaver, UnsupportedPixelFormat) {
    qxtest::ScratchDir dir;
    ImageSaver saver;
    Frame f{std::vector<uint8_t>(12, 0x55), kRgb8, 2, 2};
    for (int type : {QX_IMAGE_BMP, QX_IMAGE_JPG, QX_IMAGE_PNG, QX_IMAGE_TIFF}) {
        SaveFileParam p = param(f, type, dir.file("rgb" + std::to_string(type)));
        EXPECT_EQ(saver.saveNormalFormat(p), QX_ERR_GENERAL) << type;
    }
    SaveFileParam raw = param(f, QX_IMAGE_RAW, dir.file("rgb.raw"));
    EXPECT_EQ(saver.saveNormalFormat(raw), QX_OK);
    EXPECT_EQ(qxtest::readFile(dir.file("rgb.raw")), f.data);
    Frame shortRgb{std::vector<uint8_t>(11, 0x55), kRgb8, 2, 2};
    SaveFileParam s = param(shortRgb, QX_IMAGE_RAW, dir.file("short.raw"));
    EXPECT_EQ(saver.saveNormalFormat(s), QX_ERR_INVALID_PARAM);
}

TEST(ImageSaver, ArgumentRefusals) {
    qxtest::LogCapture log;
    qxtest::ScratchDir dir;
    ImageSaver saver;
    const Frame f = mono8(4, 2, [](uint16_t x, uint16_t) { return uint8_t(x); });
    auto check = [&](auto mutate, uint32_t expected) {
        SaveFileParam p = param(f, QX_IMAGE_BMP, dir.file("a.bmp"));
        mutate(p);
        EXPECT_EQ(saver.saveNormalFormat(p), expected);
    };
    check([](SaveFileParam& p) { p.enImageType = 0; }, QX_ERR_INVALID_PARAM);
    check([](SaveFileParam& p) { p.enImageType = 6; }, QX_ERR_INVALID_PARAM);
    check([](SaveFileParam& p) { p.nPixelFormat = 0; }, QX_ERR_INVALID_PARAM);
    check([](SaveFileParam& p) { p.pData = nullptr; }, QX_ERR_INVALID_PARAM);
    check([](SaveFileParam& p) { p.pImagePath[0] = '\0'; }, QX_ERR_INVALID_PARAM);
    check([](SaveFileParam& p) { p.nDataLen = 0; }, QX_ERR_INVALID_PARAM);
    check([](SaveFileParam& p) { p.nHeight = 0; }, QX_ERR_INVALID_PARAM);
    check([](SaveFileParam& p) { p.nWidth = 0; }, QX_ERR_INVALID_PARAM);
    check([](SaveFileParam& p) { p.nDataLen = 7; }, QX_ERR_INVALID_PARAM);
    check([](SaveFileParam& p) { p.nPixelFormat = QX_PIXEL_MONO16; }, QX_ERR_INVALID_PARAM);
    EXPECT_EQ(log.text(), ""); // none of these logs a line
    check([](SaveFileParam& p) { p.enImageType = 7; }, QX_ERR_GENERAL);
    EXPECT_TRUE(log.contains("error func:saveNormalFormat, Unknown pstSaveFileParam->enImageType=7"));
    check([](SaveFileParam& p) { p.enImageType = -1; }, QX_ERR_GENERAL);
}

TEST(ImageSaver, PathsOf255And256Characters) {
    qxtest::ScratchDir dir;
    ImageSaver saver;
    const Frame f = mono8(4, 2, [](uint16_t x, uint16_t) { return uint8_t(x); });
    std::string path = dir.path() + "/";
    path += std::string(255 - path.size() - 4, 'p') + ".bmp";
    ASSERT_EQ(path.size(), 255u);
    for (int type : {QX_IMAGE_BMP, QX_IMAGE_JPG, QX_IMAGE_PNG, QX_IMAGE_TIFF, QX_IMAGE_RAW}) {
        SaveFileParam p = param(f, type, path);
        EXPECT_EQ(saver.saveNormalFormat(p), QX_OK) << type;
        EXPECT_FALSE(qxtest::readFile(path).empty());
    }
    qxtest::LogCapture log;
    SaveFileParam p = param(f, QX_IMAGE_BMP, path);
    std::memset(p.pImagePath, 'q', sizeof(p.pImagePath)); // no NUL in the 256 characters
    EXPECT_EQ(saver.saveNormalFormat(p), QX_ERR_INVALID_PARAM);
    EXPECT_TRUE(log.contains("error func:save, i=256, count=256, 0 == i || i >= count"));
}

TEST(ImageSaver, WriteFailuresAreGeneralFailures) {
    qxtest::LogCapture log;
    ImageSaver saver;
    const Frame f = mono8(640, 480, [](uint16_t x, uint16_t y) { return uint8_t(x * 7 + y * 3); });
    const Frame odd = mono8(641, 480, [](uint16_t x, uint16_t y) { return uint8_t(x * 7 + y * 3); });
    for (const Frame* frame : {&f, &odd}) {
        for (int type : {QX_IMAGE_BMP, QX_IMAGE_JPG, QX_IMAGE_PNG, QX_IMAGE_TIFF, QX_IMAGE_RAW}) {
            SaveFileParam unwritable = param(*frame, type, "/nonexistent-dir/frame.out");
            EXPECT_EQ(saver.saveNormalFormat(unwritable), QX_ERR_GENERAL) << type;
            SaveFileParam full = param(*frame, type, "/dev/full");
            full.bRawHeaderEnabled = true;
            EXPECT_EQ(saver.saveNormalFormat(full), QX_ERR_GENERAL) << type;
        }
    }
    EXPECT_TRUE(log.contains("error func:savePng, lodepng::save_file failed, error="));
    EXPECT_TRUE(log.contains("error func:saveRawFormat, std::ios_base::failure="));
}

TEST(ImageSaver, FrameTooLargeForTheWorkingImage) {
    // 65535 x 65535 grey is above the image memory ceiling: the creation fails, is logged and
    // is a general failure.
    qxtest::LogCapture log;
    ImageSaver saver;
    static const uint8_t byte = 0;
    SaveFileParam p{};
    p.nPixelFormat = QX_PIXEL_MONO8;
    p.pData = &byte;
    p.nDataLen = 0xFFFFFFFFu;
    p.nWidth = 65535;
    p.nHeight = 65535;
    p.enImageType = QX_IMAGE_BMP;
    std::snprintf(p.pImagePath, sizeof(p.pImagePath), "/tmp/never-written.bmp");
    EXPECT_EQ(saver.saveNormalFormat(p), QX_ERR_GENERAL);
    EXPECT_TRUE(log.contains("error func:convertToMono8, Create CxImage failed, err:CXIMAGE_MAX_MEMORY exceeded"));
}

TEST(ImageSaver, WorkingImageIsReusedAcrossSizes) {
    if (!haveDecoders()) GTEST_SKIP() << "decoders not installed";
    qxtest::ScratchDir dir;
    ImageSaver saver;
    qxtest::LogCapture log;
    int k = 0;
    for (uint16_t w : {641, 641, 640, 643, 643, 8}) {
        const Frame f = mono8(w, 5, [w](uint16_t x, uint16_t y) { return uint8_t(x + y * 17 + w); });
        for (int type : {QX_IMAGE_BMP, QX_IMAGE_PNG}) {
            const std::string path = dir.file("r" + std::to_string(k++));
            SaveFileParam p = param(f, type, path);
            ASSERT_EQ(saver.saveNormalFormat(p), QX_OK);
            EXPECT_EQ(decode(type, path).pixels, f.data) << w;
        }
    }
    EXPECT_TRUE(log.contains("debug func:convertToMono8, byteCountPerPixel=1"));
    EXPECT_TRUE(log.contains("debug func:convertToMono8, cxImg->CreateFromArray=true"));
}

TEST(ImageSaver, SideBufferOutOfMemoryIsAGeneralFailure) {
    qxtest::LogCapture log;
    qxtest::ScratchDir dir;
    ImageSaver saver;
    const Frame f = mono8(641, 5, [](uint16_t x, uint16_t y) { return uint8_t(x + y); });
    SaveFileParam p = param(f, QX_IMAGE_BMP, dir.file("oom.bmp"));
    g_failNothrowArrayOfSize = size_t(641) * 5;
    EXPECT_EQ(saver.saveNormalFormat(p), QX_ERR_GENERAL);
    g_failNothrowArrayOfSize = 0;
    EXPECT_TRUE(log.contains("error func:convertToMono8, side buffer allocation failed, size=3205"));
    // The next frame of the same size gets its side buffer and is saved.
    EXPECT_EQ(saver.saveNormalFormat(p), QX_OK);
    if (qxtest::onPath("bmptopnm")) {
        EXPECT_EQ(decode(QX_IMAGE_BMP, dir.file("oom.bmp")).pixels, f.data);
    }
}

// A save that fails on a full disk leaves no file and no temporary one behind; a file saved
// earlier under the same name stays as it was.
TEST(ImageSaver, FailedSaveOnAFullDiskLeavesNoFile) {
    if (!haveDecoders()) GTEST_SKIP() << "decoders not installed";
    qxtest::SmallFs small(256u << 10);
    if (!small.ok()) GTEST_SKIP() << "no small tmpfs: " << small.why();
    qxtest::LogCapture log;
    ImageSaver saver;
    Frame big{std::vector<uint8_t>(1024 * 768), QX_PIXEL_MONO8, 1024, 768}; // noise: no format fits 256 KiB
    std::mt19937 rng(5);
    for (auto& px : big.data) px = uint8_t(rng());
    const Frame small8 = mono8(16, 8, [](uint16_t x, uint16_t y) { return uint8_t(x * 9 + y); });
    const char* names[] = {"", "f.bmp", "f.jpg", "f.png", "f.tif", "f.raw"};
    for (int type : {QX_IMAGE_BMP, QX_IMAGE_JPG, QX_IMAGE_PNG, QX_IMAGE_TIFF, QX_IMAGE_RAW}) {
        const std::string path = small.file(names[type]);
        SaveFileParam fails = param(big, type, path);
        EXPECT_EQ(saver.saveNormalFormat(fails), QX_ERR_GENERAL) << type;
        EXPECT_FALSE(std::filesystem::exists(path)) << path;
        // Saved once, then a failing save to the same name: the first file is untouched.
        SaveFileParam fits = param(small8, type, path);
        ASSERT_EQ(saver.saveNormalFormat(fits), QX_OK) << type;
        const std::vector<uint8_t> before = qxtest::readFile(path);
        EXPECT_EQ(saver.saveNormalFormat(fails), QX_ERR_GENERAL) << type;
        EXPECT_EQ(qxtest::readFile(path), before) << path;
        if (type == QX_IMAGE_RAW) {
            EXPECT_EQ(before, small8.data);
        } else if (type != QX_IMAGE_JPG) {
            EXPECT_EQ(decode(type, path).pixels, small8.data) << path;
        }
        std::filesystem::remove(path);
    }
    // Nothing else is left in the folder (no temporary file).
    EXPECT_TRUE(std::filesystem::is_empty(small.file("")));
}

// A JPEG that libjpeg refuses (wider than 65500 pixels) leaves no empty file; the saved
// frame's file keeps its place when its name is a device (the write goes straight to it).
TEST(ImageSaver, RefusedEncodingLeavesNoFile) {
    qxtest::ScratchDir dir;
    ImageSaver saver;
    const Frame wide{std::vector<uint8_t>(65535, 0x40), QX_PIXEL_MONO8, 65535, 1};
    SaveFileParam p = param(wide, QX_IMAGE_JPG, dir.file("wide.jpg"));
    EXPECT_EQ(saver.saveNormalFormat(p), QX_ERR_GENERAL);
    EXPECT_FALSE(std::filesystem::exists(dir.file("wide.jpg")));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    SaveFileParam full = param(wide, QX_IMAGE_BMP, "/dev/full");
    EXPECT_EQ(saver.saveNormalFormat(full), QX_ERR_GENERAL);
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
}
