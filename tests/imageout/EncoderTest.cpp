// BMP, JPEG, GIF, MNG and TIFF encoders, each file read back by an independent decoder.
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "imageout/CxImage.h"
#include "ImageOutTestSupport.h"
#include "LibjpegGrey.h"

using namespace qx::imageout;

namespace {

using qxtest::greyImage;
using qxtest::run;

std::vector<uint8_t> pictureBytes(const CxImage& img) {
    std::vector<uint8_t> out;
    for (uint32_t y = 0; y < img.GetHeight(); ++y) {
        const uint8_t* row = img.GetBits(img.GetHeight() - 1 - y);
        out.insert(out.end(), row, row + img.GetWidth() * (img.GetBpp() / 8));
    }
    return out;
}

qxtest::Pgm decodeGrey(const std::string& command) {
    int status = 0;
    const std::string out = run(command, &status);
    qxtest::Pgm pgm;
    EXPECT_EQ(status, 0) << command;
    EXPECT_TRUE(qxtest::parsePgm(out, &pgm)) << command;
    return pgm;
}

// Decodes to binary PPM and returns the RGB bytes.
std::vector<uint8_t> decodeRgb(const std::string& command, int w, int h) {
    int status = 0;
    const std::string out = run(command, &status);
    EXPECT_EQ(status, 0) << command;
    const size_t n = size_t(w) * h * 3;
    if (out.size() < n) return {};
    return std::vector<uint8_t>(out.end() - static_cast<std::ptrdiff_t>(n), out.end());
}

CxImage noiseRgb(uint32_t w, uint32_t h, unsigned seed, int colours) {
    CxImage img(w, h, 24, 0);
    std::mt19937 rng(seed);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const int c = static_cast<int>(rng() % colours);
            img.SetPixelColor(x, y, RGBQuad{uint8_t(c * 37), uint8_t(c * 91), uint8_t(255 - c * 13), 0});
        }
    return img;
}

} // namespace

// ---- BMP ----

TEST(BmpEncoder, ThreeByTwoGreyLayout) {
    qxtest::ScratchDir dir;
    CxImage img = greyImage(3, 2, [](uint32_t x, uint32_t y) { return uint8_t(10 * x + 100 * y); });
    ASSERT_TRUE(img.Save(dir.file("a.bmp").c_str(), CXIMAGE_FORMAT_BMP));
    const auto bmp = qxtest::readFile(dir.file("a.bmp"));
    ASSERT_EQ(bmp.size(), 1086u);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(bmp[2] | bmp[3] << 8 | bmp[4] << 16, 1086);
    EXPECT_EQ(bmp[10] | bmp[11] << 8, 1078);
    EXPECT_EQ(bmp[14], 40);
    EXPECT_EQ(bmp[28], 8);                   // bits per pixel
    EXPECT_EQ(bmp[38] | bmp[39] << 8, 3780); // pixels per metre
    EXPECT_EQ(bmp[46] | bmp[47] << 8, 256);  // colours used
    EXPECT_EQ(bmp[54 + 4 * 200], 200);       // grey palette
    EXPECT_EQ(bmp[1078], 100);               // bottom line first
    EXPECT_EQ(bmp[1081], 0);                 // zero padding
    QX_REQUIRE_TOOL("bmptopnm");
    const auto pgm = decodeGrey("bmptopnm " + dir.file("a.bmp") + " 2>/dev/null");
    EXPECT_EQ(pgm.width, 3);
    EXPECT_EQ(pgm.pixels, pictureBytes(img));
}

TEST(BmpEncoder, TrueColourAndAlpha) {
    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    CxImage img = noiseRgb(5, 3, 1, 200);
    ASSERT_TRUE(img.Save(dir.file("c.bmp").c_str(), CXIMAGE_FORMAT_BMP));
    std::vector<uint8_t> expected;
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 5; ++x) {
            const RGBQuad c = img.GetPixelColor(x, 2 - y);
            expected.insert(expected.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
        }
    EXPECT_EQ(decodeRgb("convert " + dir.file("c.bmp") + " ppm:-", 5, 3), expected);
    img.CreateAlpha();
    img.SetAlpha(0, 0, 7);
    ASSERT_TRUE(img.Save(dir.file("a.bmp").c_str(), CXIMAGE_FORMAT_BMP));
    const auto bmp = qxtest::readFile(dir.file("a.bmp"));
    ASSERT_EQ(bmp.size(), 14u + 40u + 5u * 3u * 4u);
    EXPECT_EQ(bmp[28], 32);
    EXPECT_EQ(bmp[54 + 3], 7); // alpha of the first stored pixel
}

// ---- JPEG ----

TEST(JpegEncoder, GreyIsOneComponentIntoMemory) {
    CxImage img = greyImage(64, 48, [](uint32_t x, uint32_t y) { return uint8_t(x * 4 ^ y); });
    img.SetJpegQuality(95);
    CxMemFile mem;
    ASSERT_TRUE(mem.Open());
    ASSERT_TRUE(img.Encode(&mem, CXIMAGE_FORMAT_JPG)) << img.GetErrorText();
    const uint8_t* jpeg = mem.GetBuffer(false);
    const uint32_t n = mem.DataSize();
    ASSERT_GT(n, 4u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    EXPECT_EQ(jpeg[n - 2], 0xFF);
    EXPECT_EQ(jpeg[n - 1], 0xD9);
    QX_REQUIRE_TOOL("djpeg");
    qxtest::ScratchDir dir;
    {
        std::ofstream out(dir.file("g.jpg"), std::ios::binary);
        out.write(reinterpret_cast<const char*>(jpeg), n);
    }
    const auto pgm = decodeGrey("djpeg -pnm " + dir.file("g.jpg"));
    ASSERT_EQ(pgm.width, 64);
    ASSERT_EQ(pgm.height, 48);
    const auto expected = pictureBytes(img);
    int worst = 0;
    for (size_t i = 0; i < expected.size(); ++i) worst = std::max(worst, std::abs(pgm.pixels[i] - expected[i]));
    EXPECT_LE(worst, 40);
    if (qxtest::onPath("identify")) {
        EXPECT_EQ(run("identify -format '%[colorspace] %[jpeg:sampling-factor] %x' " + dir.file("g.jpg")),
                  "Gray 2x2 96");
    }
}

TEST(JpegEncoder, TrueColourIsThreeComponents) {
    QX_REQUIRE_TOOL("identify");
    qxtest::ScratchDir dir;
    CxImage img = noiseRgb(33, 17, 2, 4);
    ASSERT_TRUE(img.Save(dir.file("c.jpg").c_str(), CXIMAGE_FORMAT_JPG)) << img.GetErrorText();
    EXPECT_EQ(run("identify -format '%[colorspace] %[jpeg:sampling-factor] %wx%h' " + dir.file("c.jpg")),
              "sRGB 2x2,1x1,1x1 33x17");
}

TEST(JpegEncoder, RefusesNonGreyPalettes) {
    CxMemFile mem;
    ASSERT_TRUE(mem.Open());
    CxImage four(8, 8, 4, 0);
    four.SetGrayPalette(); // 0, 17, ..., 255
    EXPECT_FALSE(four.Encode(&mem, CXIMAGE_FORMAT_JPG));
    EXPECT_STREQ(four.GetErrorText(), "JPEG can save only RGB or GreyScale images");
    CxImage coloured(8, 8, 8, 0);
    coloured.SetGrayPalette();
    coloured.SetPaletteColor(1, 1, 0, 0);
    EXPECT_FALSE(coloured.Encode(&mem, CXIMAGE_FORMAT_JPG));
    CxImage mono(64, 8, 1, 0);
    mono.SetPaletteColor(1, 1, 1, 1); // entries (0,0,0), (1,1,1): still not 8-bit rows
    EXPECT_FALSE(mono.Encode(&mem, CXIMAGE_FORMAT_JPG));
    EXPECT_EQ(mem.Size(), 0);
}

TEST(JpegEncoder, QualityReachesTheFile) {
    QX_REQUIRE_TOOL("identify");
    qxtest::ScratchDir dir;
    CxImage img = greyImage(32, 32, [](uint32_t x, uint32_t y) { return uint8_t(x * y); });
    for (int q : {50, 75, 100}) {
        img.SetJpegQuality(uint8_t(q));
        const std::string path = dir.file("q" + std::to_string(q) + ".jpg");
        ASSERT_TRUE(img.Save(path.c_str(), CXIMAGE_FORMAT_JPG));
        EXPECT_EQ(run("identify -format %Q " + path), std::to_string(q));
    }
}

TEST(JpegEncoder, WriteFailureIsReported) {
    CxImage img = greyImage(256, 256, [](uint32_t x, uint32_t y) { return uint8_t(x * 7 + y * 13); });
    EXPECT_FALSE(img.Save("/dev/full", CXIMAGE_FORMAT_JPG));
    // A stream that fails after a few blocks: libjpeg's error comes back as text.
    struct FailingStream : CxMemFile {
        size_t Write(const void* b, size_t s, size_t c) override {
            if (++writes > 1) return 0;
            return CxMemFile::Write(b, s, c);
        }
        int writes = 0;
    } stream;
    img.SetJpegQuality(100);
    EXPECT_FALSE(img.Encode(&stream, CXIMAGE_FORMAT_JPG));
    EXPECT_NE(std::string(img.GetErrorText()), "");
    // The encoder is usable again right after.
    CxMemFile mem;
    ASSERT_TRUE(mem.Open());
    EXPECT_TRUE(img.Encode(&mem, CXIMAGE_FORMAT_JPG));
}

namespace {

// The reference: libjpeg's scanline interface on the picture, top line first, with the encoder's
// settings (grey, 2 x 2 sampling, quality, 96 dpi).
std::vector<uint8_t> libjpegScanlines(const CxImage& img, int quality) {
    std::vector<const uint8_t*> lines(img.GetHeight());
    for (uint32_t y = 0; y < img.GetHeight(); ++y) lines[y] = img.GetBits(img.GetHeight() - 1 - y);
    qxfixture::LibjpegGrey jpeg;
    const size_t n = jpeg.encodeLines(lines.data(), int(img.GetWidth()), int(img.GetHeight()), quality, false);
    return std::vector<uint8_t>(jpeg.data(), jpeg.data() + n);
}

std::vector<uint8_t> streamBytes(CxMemFile& mem) {
    const uint8_t* p = mem.GetBuffer(false);
    return p ? std::vector<uint8_t>(p, p + mem.DataSize()) : std::vector<uint8_t>();
}

} // namespace

// Grey rows reach libjpeg through its raw-data interface, with the picture's edges repeated as
// libjpeg repeats them for scanlines: the file is the scanline interface's, byte for byte, for
// widths and heights that are and are not whole blocks and iMCU rows, through a fresh encoder
// and through one compressor kept across images of changing size and quality.
TEST(JpegEncoder, GreyBytesEqualLibjpegScanlines) {
    CxJpegCompressor kept;
    std::mt19937 rng(5);
    struct Size {
        uint32_t w, h;
    };
    for (Size size : {Size{1, 1}, Size{7, 3}, Size{8, 16}, Size{17, 33}, Size{64, 48}, Size{641, 17}, Size{640, 481}}) {
        for (int q : {50, 90, 100}) {
            CxImage img = greyImage(size.w, size.h,
                                    [&](uint32_t x, uint32_t y) { return uint8_t((x * 3 + y * 5) + (rng() % 16)); });
            img.SetJpegQuality(uint8_t(q));
            const std::vector<uint8_t> reference = libjpegScanlines(img, q);
            CxMemFile fresh;
            ASSERT_TRUE(fresh.Open());
            ASSERT_TRUE(img.Encode(&fresh, CXIMAGE_FORMAT_JPG)) << img.GetErrorText();
            EXPECT_EQ(streamBytes(fresh), reference) << size.w << "x" << size.h << " q" << q;
            CxMemFile again;
            ASSERT_TRUE(again.Open());
            ASSERT_TRUE(img.EncodeJpeg(&again, kept)) << img.GetErrorText();
            EXPECT_EQ(streamBytes(again), reference) << size.w << "x" << size.h << " q" << q << " (kept)";
        }
    }
}

// A kept compressor that failed on one image (its stream refused the bytes) encodes the next
// one as a fresh encoder does; colour images go through it as well.
TEST(JpegEncoder, KeptCompressorAfterAFailure) {
    CxJpegCompressor kept;
    CxImage grey = greyImage(96, 80, [](uint32_t x, uint32_t y) { return uint8_t(x * 7 + y * 13); });
    struct FailingStream : CxMemFile {
        size_t Write(const void*, size_t, size_t) override { return 0; }
    } failing;
    EXPECT_FALSE(grey.EncodeJpeg(&failing, kept));
    EXPECT_NE(std::string(grey.GetErrorText()), "");
    CxMemFile expected, got;
    ASSERT_TRUE(expected.Open() && got.Open());
    ASSERT_TRUE(grey.Encode(&expected, CXIMAGE_FORMAT_JPG));
    ASSERT_TRUE(grey.EncodeJpeg(&got, kept)) << grey.GetErrorText();
    EXPECT_EQ(streamBytes(got), streamBytes(expected));
    CxImage colour = noiseRgb(33, 17, 3, 5);
    CxMemFile colourFresh, colourKept;
    ASSERT_TRUE(colourFresh.Open() && colourKept.Open());
    ASSERT_TRUE(colour.Encode(&colourFresh, CXIMAGE_FORMAT_JPG));
    ASSERT_TRUE(colour.EncodeJpeg(&colourKept, kept)) << colour.GetErrorText();
    EXPECT_EQ(streamBytes(colourKept), streamBytes(colourFresh));
    CxImage four(8, 8, 4, 0);
    four.SetGrayPalette();
    EXPECT_FALSE(four.EncodeJpeg(&got, kept));
    EXPECT_STREQ(four.GetErrorText(), "JPEG can save only RGB or GreyScale images");
}

// ---- GIF ----

TEST(GifEncoder, OneBitImage) {
    qxtest::ScratchDir dir;
    CxImage img(10, 3, 1, 0);
    img.SetGrayPalette();
    for (int x = 0; x < 10; x += 3) img.SetPixelIndex(x, 1, 1);
    ASSERT_TRUE(img.Save(dir.file("m.gif").c_str(), CXIMAGE_FORMAT_GIF)) << img.GetErrorText();
    const auto gif = qxtest::readFile(dir.file("m.gif"));
    ASSERT_GT(gif.size(), 40u);
    EXPECT_EQ(std::string(gif.begin(), gif.begin() + 6), "GIF89a");
    EXPECT_EQ(gif[10], 0x80);
    // header 13 + palette 6 + graphic control 8 + descriptor 10, then the minimum code size
    EXPECT_EQ(gif[13 + 6], 0x21);
    EXPECT_EQ(gif[13 + 6 + 8], 0x2C);
    EXPECT_EQ(gif[13 + 6 + 8 + 10], 2);
    EXPECT_EQ(gif.back(), 0x3B);
    QX_REQUIRE_TOOL("giftext");
    int status = 0;
    const std::string text = run("giftext " + dir.file("m.gif") + " 2>&1", &status);
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("Screen Size - Width = 10, Height = 3"), std::string::npos) << text;
    QX_REQUIRE_TOOL("convert");
    const auto pgm = decodeGrey("convert " + dir.file("m.gif") + " -depth 8 pgm:-");
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 10; ++x)
            EXPECT_EQ(pgm.pixels[y * 10 + x], (y == 1 && x % 3 == 0) ? 255 : 0) << x << "," << y;
}

TEST(GifEncoder, EightBitNoiseIsLossless) {
    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    std::mt19937 rng(7);
    // Enough varied pixels to fill the string table several times (clear codes).
    CxImage img = greyImage(
        301, 211, [&](uint32_t x, uint32_t y) { return uint8_t((y < 100) ? rng() & 0xFF : ((x / 7 + y / 5) & 0xFF)); });
    ASSERT_TRUE(img.Save(dir.file("n.gif").c_str(), CXIMAGE_FORMAT_GIF));
    const auto gif = qxtest::readFile(dir.file("n.gif"));
    EXPECT_EQ(gif[10], 0xE7);
    const auto pgm = decodeGrey("convert " + dir.file("n.gif") + " -depth 8 pgm:-");
    ASSERT_EQ(pgm.width, 301);
    EXPECT_EQ(pgm.pixels, pictureBytes(img));
    if (qxtest::onPath("giftext")) {
        int status = 0;
        run("giftext " + dir.file("n.gif") + " >/dev/null 2>&1", &status);
        EXPECT_EQ(status, 0);
    }
}

TEST(GifEncoder, FourBitHeaderByte) {
    CxMemFile mem;
    ASSERT_TRUE(mem.Open());
    CxImage img(3, 3, 4, 0);
    img.SetGrayPalette();
    ASSERT_TRUE(img.Encode(&mem, CXIMAGE_FORMAT_GIF));
    EXPECT_EQ(mem.GetBuffer(false)[10], 0xE3);
}

TEST(GifEncoder, TrueColourTiles) {
    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    CxImage img = noiseRgb(40, 20, 3, 1000); // tiles 17 x 15, edges narrower and lower
    ASSERT_TRUE(img.Save(dir.file("t.gif").c_str(), CXIMAGE_FORMAT_GIF)) << img.GetErrorText();
    const auto gif = qxtest::readFile(dir.file("t.gif"));
    EXPECT_EQ(gif[10], 0x11);
    std::vector<uint8_t> expected;
    for (uint32_t y = 0; y < 20; ++y)
        for (uint32_t x = 0; x < 40; ++x) {
            const RGBQuad c = img.GetPixelColor(x, 19 - y);
            expected.insert(expected.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
        }
    EXPECT_EQ(decodeRgb("convert " + dir.file("t.gif") + " -coalesce -flatten -depth 8 ppm:-", 40, 20), expected);
}

TEST(GifEncoder, Animation) {
    qxtest::ScratchDir dir;
    CxImage anim(0);
    CxImage a = greyImage(8, 4, [](uint32_t x, uint32_t) { return uint8_t(x * 30); });
    CxImage b = greyImage(8, 4, [](uint32_t, uint32_t y) { return uint8_t(y * 60); });
    a.SetFrameDelay(10);
    b.SetFrameDelay(20);
    ASSERT_TRUE(anim.AddFrame(a));
    ASSERT_TRUE(anim.AddFrame(b));
    anim.SetLoops(3);
    EXPECT_EQ(anim.GetFrameCount(), 2);
    ASSERT_TRUE(anim.Save(dir.file("a.gif").c_str(), CXIMAGE_FORMAT_GIF)) << anim.GetErrorText();
    const auto gif = qxtest::readFile(dir.file("a.gif"));
    const std::string s(gif.begin(), gif.end());
    const size_t ext = s.find("NETSCAPE2.0");
    ASSERT_NE(ext, std::string::npos);
    EXPECT_EQ(gif[ext + 13] | gif[ext + 14] << 8, 2); // loop count less one
    QX_REQUIRE_TOOL("identify");
    EXPECT_EQ(run("identify -format '%T %wx%h;' " + dir.file("a.gif")), "10 8x4;20 8x4;");
    CxImage c(4, 4, 24, 0);
    ASSERT_TRUE(anim.AddFrame(c));
    EXPECT_FALSE(anim.Save(dir.file("b.gif").c_str(), CXIMAGE_FORMAT_GIF));
    EXPECT_STREQ(anim.GetErrorText(),
                 "CxImageGIF::Encode cannot create animated GIFs with a true color frame. Use DecreaseBpp before");
    EXPECT_FALSE(anim.Encode(nullptr, CXIMAGE_FORMAT_GIF));
    EXPECT_STREQ(anim.GetErrorText(), "invalid file pointer");
}

// ---- MNG ----

TEST(MngEncoder, RefusesPaletteImages) {
    CxMemFile mem;
    ASSERT_TRUE(mem.Open());
    CxImage img(4, 4, 8, 0);
    img.SetGrayPalette();
    EXPECT_FALSE(img.Encode(&mem, CXIMAGE_FORMAT_MNG));
    EXPECT_STREQ(img.GetErrorText(), "MNG encoder can save only RGB images");
}

TEST(MngEncoder, IsACompleteMng) {
    qxtest::ScratchDir dir;
    CxImage img = noiseRgb(21, 9, 4, 50);
    ASSERT_TRUE(img.Save(dir.file("x.mng").c_str(), CXIMAGE_FORMAT_MNG)) << img.GetErrorText();
    const auto mng = qxtest::readFile(dir.file("x.mng"));
    ASSERT_GT(mng.size(), 8u);
    EXPECT_EQ(std::vector<uint8_t>(mng.begin(), mng.begin() + 8),
              (std::vector<uint8_t>{0x8A, 'M', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}));
    const std::string s(mng.begin(), mng.end());
    const size_t mhdr = s.find("MHDR"), defi = s.find("DEFI"), ihdr = s.find("IHDR"), idat = s.find("IDAT"),
                 iend = s.find("IEND"), mend = s.find("MEND");
    ASSERT_NE(mend, std::string::npos);
    EXPECT_EQ(mhdr, 12u);
    EXPECT_LT(mhdr, defi);
    EXPECT_LT(defi, ihdr);
    EXPECT_LT(ihdr, idat);
    EXPECT_LT(idat, iend);
    EXPECT_LT(iend, mend);
    EXPECT_EQ(mend + 4 + 4, mng.size()); // MEND, then its CRC, ends the file
    QX_REQUIRE_TOOL("convert");
    std::vector<uint8_t> expected;
    for (uint32_t y = 0; y < 9; ++y)
        for (uint32_t x = 0; x < 21; ++x) {
            const RGBQuad c = img.GetPixelColor(x, 8 - y);
            expected.insert(expected.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
        }
    EXPECT_EQ(decodeRgb("convert " + dir.file("x.mng") + " -depth 8 ppm:-", 21, 9), expected);
}

TEST(MngEncoder, WriteFailureFails) {
    CxImage img = noiseRgb(64, 64, 5, 1000);
    EXPECT_FALSE(img.Save("/dev/full", CXIMAGE_FORMAT_MNG));
    struct Refusing : CxMemFile {
        size_t Write(const void*, size_t, size_t) override { return 0; }
    } stream;
    EXPECT_FALSE(img.Encode(&stream, CXIMAGE_FORMAT_MNG));
}

// ---- TIFF ----

TEST(TiffEncoder, GreyPage) {
    QX_REQUIRE_TOOL("tiffinfo");
    qxtest::ScratchDir dir;
    CxImage img = greyImage(37, 23, [](uint32_t x, uint32_t y) { return uint8_t(x * 5 + y * 3); });
    ASSERT_TRUE(img.Save(dir.file("g.tif").c_str(), CXIMAGE_FORMAT_TIF)) << img.GetErrorText();
    int status = 0;
    const std::string info = run("tiffinfo " + dir.file("g.tif") + " 2>&1", &status);
    EXPECT_EQ(status, 0) << info;
    EXPECT_NE(info.find("Image Width: 37 Image Length: 23"), std::string::npos) << info;
    EXPECT_NE(info.find("Bits/Sample: 8"), std::string::npos) << info;
    EXPECT_NE(info.find("Compression Scheme: LZW"), std::string::npos) << info;
    EXPECT_NE(info.find("Photometric Interpretation: min-is-black"), std::string::npos) << info;
    EXPECT_NE(info.find("Samples/Pixel: 1"), std::string::npos) << info;
    EXPECT_NE(info.find("Predictor: horizontal differencing 2"), std::string::npos) << info;
    EXPECT_NE(info.find("Subfile Type: (0 = 0x0)"), std::string::npos) << info;
    EXPECT_NE(info.find("Resolution: 96, 96 pixels/inch"), std::string::npos) << info;
    EXPECT_EQ(info.find("Color Map"), std::string::npos) << info;
    EXPECT_EQ(run("tiffinfo " + dir.file("g.tif") + " 2>/dev/null | grep -c 'TIFF Directory'"), "1\n");
    QX_REQUIRE_TOOL("tifftopnm");
    const auto pgm = decodeGrey("tifftopnm " + dir.file("g.tif") + " 2>/dev/null");
    EXPECT_EQ(pgm.pixels, pictureBytes(img));
}

TEST(TiffEncoder, PaletteAndColourPages) {
    QX_REQUIRE_TOOL("tiffinfo");
    qxtest::ScratchDir dir;
    CxImage pal = greyImage(8, 8, [](uint32_t x, uint32_t) { return uint8_t(x); });
    pal.SetPaletteColor(3, 200, 10, 10);
    ASSERT_TRUE(pal.Save(dir.file("p.tif").c_str(), CXIMAGE_FORMAT_TIF));
    const std::string info = run("tiffinfo " + dir.file("p.tif") + " 2>&1");
    EXPECT_NE(info.find("Photometric Interpretation: palette"), std::string::npos) << info;
    EXPECT_NE(info.find("Color Map: (present)"), std::string::npos) << info;
    CxImage rgb = noiseRgb(16, 16, 6, 10);
    ASSERT_TRUE(rgb.Save(dir.file("c.tif").c_str(), CXIMAGE_FORMAT_TIF)) << rgb.GetErrorText();
    const std::string cinfo = run("tiffinfo " + dir.file("c.tif") + " 2>&1");
    EXPECT_NE(cinfo.find("Compression Scheme: JPEG"), std::string::npos) << cinfo;
    EXPECT_NE(cinfo.find("Photometric Interpretation: RGB"), std::string::npos) << cinfo;
    CxImage mono(19, 5, 1, 0);
    mono.SetGrayPalette();
    mono.SetPixelIndex(3, 2, 1);
    ASSERT_TRUE(mono.Save(dir.file("m.tif").c_str(), CXIMAGE_FORMAT_TIF)) << mono.GetErrorText();
    const std::string minfo = run("tiffinfo " + dir.file("m.tif") + " 2>&1");
    EXPECT_NE(minfo.find("CCITT Group 4"), std::string::npos) << minfo;
    EXPECT_NE(minfo.find("min-is-white"), std::string::npos) << minfo;
    // Black was entry 0 and darker than entry 1: the palette was swapped and the pixels inverted.
    EXPECT_EQ(mono.GetPaletteColor(0).rgbRed, 255);
    EXPECT_EQ(mono.GetPixelIndex(3, 2), 0);
    EXPECT_EQ(mono.GetPixelIndex(4, 2), 1);
}

TEST(TiffEncoder, IntoMemoryMatchesTheFile) {
    qxtest::ScratchDir dir;
    CxImage img = greyImage(50, 40, [](uint32_t x, uint32_t y) { return uint8_t(x ^ y); });
    ASSERT_TRUE(img.Save(dir.file("f.tif").c_str(), CXIMAGE_FORMAT_TIF));
    CxMemFile mem;
    ASSERT_TRUE(mem.Open());
    ASSERT_TRUE(img.Encode(&mem, CXIMAGE_FORMAT_TIF));
    const auto file = qxtest::readFile(dir.file("f.tif"));
    const uint8_t* m = mem.GetBuffer(false);
    EXPECT_EQ(std::vector<uint8_t>(m, m + mem.DataSize()), file);
}

TEST(TiffEncoder, WriteFailureIsReported) {
    CxImage img = greyImage(300, 300, [](uint32_t x, uint32_t y) { return uint8_t(x * y * 31); });
    EXPECT_FALSE(img.Save("/dev/full", CXIMAGE_FORMAT_TIF));
    struct Refusing : CxMemFile {
        size_t Write(const void*, size_t, size_t) override { return 0; }
    } stream;
    EXPECT_FALSE(img.Encode(&stream, CXIMAGE_FORMAT_TIF));
}
