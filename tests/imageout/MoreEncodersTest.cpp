// Icon, TGA, PCX, WBMP, SKA and JPEG 2000 encoders. Files are read back with imagemagick and
// OpenJPEG's opj_decompress and compared pixel by pixel where the format is lossless.
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "imageout/CxImage.h"
#include "ImageOutTestSupport.h"

using namespace qx::imageout;

namespace {

using qxtest::greyImage;
using qxtest::run;

CxImage colourNoise(uint32_t w, uint32_t h, unsigned seed) {
    CxImage img(w, h, 24, 0);
    std::mt19937 rng(seed);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            img.SetPixelColor(x, y, RGBQuad{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0});
    return img;
}

// The picture as red, green, blue (and alpha) bytes, top line first, from the image's own pixels.
std::vector<uint8_t> expectedPixels(const CxImage& img, bool withAlpha) {
    std::vector<uint8_t> out;
    const uint32_t h = img.GetHeight();
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < img.GetWidth(); ++x) {
            const RGBQuad c = img.GetPixelColor(x, h - 1 - y, true);
            out.insert(out.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
            if (withAlpha) out.push_back(img.HasAlpha() ? c.rgbReserved : 255);
        }
    return out;
}

// The pixel bytes of a binary PGM or PPM file (maxval 255), comments allowed in the header.
std::vector<uint8_t> netpbmPixels(const std::vector<uint8_t>& bytes) {
    size_t at = 0;
    for (int field = 0; field < 4; ++field) {
        for (;;) {
            while (at < bytes.size() && std::isspace(bytes[at])) ++at;
            if (at < bytes.size() && bytes[at] == '#') {
                while (at < bytes.size() && bytes[at] != '\n') ++at;
                continue;
            }
            break;
        }
        while (at < bytes.size() && !std::isspace(bytes[at])) ++at;
    }
    ++at; // the single white space after maxval
    if (at > bytes.size()) return {};
    return std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
}

// Decodes a file with imagemagick into raw 8-bit RGB or RGBA bytes.
// (TGA files record their row order as an orientation, which -auto-orient applies.)
std::vector<uint8_t> magickPixels(const std::string& path, bool withAlpha) {
    int status = 0;
    const std::string out = run(
        "convert '" + path + "' -auto-orient -depth 8 " + (withAlpha ? "rgba:-" : "rgb:-") + " 2>/dev/null", &status);
    EXPECT_EQ(status, 0) << path;
    return std::vector<uint8_t>(out.begin(), out.end());
}

std::string identify(const std::string& path) {
    int status = 0;
    const std::string out = run("identify -format '%m %wx%h' '" + path + "' 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
    return out;
}

std::vector<uint8_t> encodeToMemory(CxImage& img, uint32_t format) {
    CxMemFile mem;
    EXPECT_TRUE(mem.Open());
    EXPECT_TRUE(img.Encode(&mem, format)) << img.GetErrorText();
    const uint8_t* p = mem.GetBuffer(false);
    return p ? std::vector<uint8_t>(p, p + mem.DataSize()) : std::vector<uint8_t>();
}

uint16_t le16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(le16(b, at)) | uint32_t(le16(b, at + 2)) << 16;
}

// A memory stream whose writes fail once `limit` bytes have been taken.
class ShortStream : public CxMemFile {
public:
    explicit ShortStream(size_t limit) : m_limit(limit) { Open(); }
    size_t Write(const void* buffer, size_t size, size_t count) override {
        if (m_taken + size * count > m_limit) return 0;
        m_taken += size * count;
        return CxMemFile::Write(buffer, size, count);
    }

private:
    size_t m_limit;
    size_t m_taken = 0;
};

struct Case {
    uint32_t format;
    const char* name;
};

const Case kFormats[] = {
    {CXIMAGE_FORMAT_ICO, "ico"},   {CXIMAGE_FORMAT_TGA, "tga"}, {CXIMAGE_FORMAT_PCX, "pcx"},
    {CXIMAGE_FORMAT_WBMP, "wbmp"}, {CXIMAGE_FORMAT_SKA, "ska"}, {CXIMAGE_FORMAT_JP2, "jp2"},
    {CXIMAGE_FORMAT_JPC, "j2k"},   {CXIMAGE_FORMAT_PGX, "pgx"}, {CXIMAGE_FORMAT_PNM, "pnm"},
    {CXIMAGE_FORMAT_RAS, "ras"},
};

// An image every format of kFormats accepts: 1-bit for WBMP, 8-bit grey otherwise.
CxImage imageFor(uint32_t format, uint32_t w, uint32_t h) {
    if (format == CXIMAGE_FORMAT_WBMP) {
        CxImage mono(w, h, 1, 0);
        mono.SetGrayPalette();
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) mono.SetPixelIndex(x, y, uint8_t((x * 7 + y * 3) % 5 == 0));
        return mono;
    }
    return greyImage(w, h, [](uint32_t x, uint32_t y) { return uint8_t(x * 13 + y * 29 + (x * y) % 7); });
}

} // namespace

// ---- Icon ----

TEST(IcoEncoder, SizeLimit) {
    CxImage wide = greyImage(256, 10, [](uint32_t x, uint32_t) { return uint8_t(x); });
    CxMemFile mem;
    mem.Open();
    EXPECT_FALSE(wide.Encode(&mem, CXIMAGE_FORMAT_ICO));
    EXPECT_STREQ(wide.GetErrorText(), "Can't save this image as icon");
    CxImage tall = greyImage(10, 256, [](uint32_t, uint32_t y) { return uint8_t(y); });
    EXPECT_FALSE(tall.Encode(&mem, CXIMAGE_FORMAT_ICO));
    EXPECT_STREQ(tall.GetErrorText(), "Can't save this image as icon");

    QX_REQUIRE_TOOL("identify");
    qxtest::ScratchDir dir;
    CxImage largest = greyImage(255, 255, [](uint32_t x, uint32_t y) { return uint8_t(x ^ y); });
    ASSERT_TRUE(largest.Save(dir.file("l.ico").c_str(), CXIMAGE_FORMAT_ICO)) << largest.GetErrorText();
    EXPECT_EQ(identify(dir.file("l.ico")), "ICO 255x255");
    EXPECT_EQ(magickPixels(dir.file("l.ico"), false), expectedPixels(largest, false));
}

TEST(IcoEncoder, GreyLayoutAndPixels) {
    CxImage img = greyImage(37, 23, [](uint32_t x, uint32_t y) { return uint8_t(x * 7 + y * 11); });
    const auto ico = encodeToMemory(img, CXIMAGE_FORMAT_ICO);
    const uint32_t colourBytes = img.GetLineBytes() * 23;
    const uint32_t maskBytes = ((37 + 31) / 32) * 4 * 23;
    ASSERT_EQ(ico.size(), 6u + 16u + 40u + 1024u + colourBytes + maskBytes);
    EXPECT_EQ(le16(ico, 0), 0);
    EXPECT_EQ(le16(ico, 2), 1);
    EXPECT_EQ(le16(ico, 4), 1);
    EXPECT_EQ(ico[6], 37);
    EXPECT_EQ(ico[7], 23);
    EXPECT_EQ(ico[8], 0); // 256 palette entries
    EXPECT_EQ(le16(ico, 12), 8);
    EXPECT_EQ(le32(ico, 14), maskBytes + colourBytes + 1024 + 40);
    EXPECT_EQ(le32(ico, 18), 22u);
    EXPECT_EQ(le32(ico, 22), 40u);
    EXPECT_EQ(le32(ico, 26), 37u);
    EXPECT_EQ(le32(ico, 30), 46u); // height doubled
    EXPECT_EQ(le32(ico, 42), colourBytes);
    // No pixel is transparent: the mask is all zero.
    for (size_t i = ico.size() - maskBytes; i < ico.size(); ++i) ASSERT_EQ(ico[i], 0) << i;

    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    ASSERT_TRUE(img.Save(dir.file("g.ico").c_str(), CXIMAGE_FORMAT_ICO));
    EXPECT_EQ(qxtest::readFile(dir.file("g.ico")), ico);
    EXPECT_EQ(magickPixels(dir.file("g.ico"), false), expectedPixels(img, false));
}

TEST(IcoEncoder, TrueColourAndAlpha) {
    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    CxImage img = colourNoise(19, 13, 3);
    ASSERT_TRUE(img.Save(dir.file("c.ico").c_str(), CXIMAGE_FORMAT_ICO)) << img.GetErrorText();
    EXPECT_EQ(magickPixels(dir.file("c.ico"), false), expectedPixels(img, false));

    img.CreateAlpha();
    for (uint32_t y = 0; y < 13; ++y)
        for (uint32_t x = 0; x < 19; ++x) img.SetAlpha(x, y, uint8_t((x * 40 + y * 3) % 256));
    ASSERT_TRUE(img.Save(dir.file("a.ico").c_str(), CXIMAGE_FORMAT_ICO)) << img.GetErrorText();
    const auto ico = qxtest::readFile(dir.file("a.ico"));
    EXPECT_EQ(le16(ico, 12), 32);
    EXPECT_EQ(ico.size(), 6u + 16u + 40u + 19u * 13u * 4u + ((19 + 31) / 32) * 4 * 13u);
    EXPECT_EQ(magickPixels(dir.file("a.ico"), true), expectedPixels(img, true));
}

TEST(IcoEncoder, OneAndFourBitPalettes) {
    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    for (uint32_t bpp : {1u, 4u}) {
        CxImage img(27, 14, bpp, 0);
        const uint32_t n = img.GetPaletteCount();
        for (uint32_t i = 0; i < n; ++i) img.SetPaletteColor(i, uint8_t(255 - i * 15), uint8_t(i * 60), uint8_t(i * 8));
        for (uint32_t y = 0; y < 14; ++y)
            for (uint32_t x = 0; x < 27; ++x) img.SetPixelIndex(x, y, uint8_t((x * 3 + y) % n));
        const std::string path = dir.file("p" + std::to_string(bpp) + ".ico");
        ASSERT_TRUE(img.Save(path.c_str(), CXIMAGE_FORMAT_ICO)) << img.GetErrorText();
        const auto ico = qxtest::readFile(path);
        EXPECT_EQ(ico[8], n);
        EXPECT_EQ(le16(ico, 12), bpp);
        EXPECT_EQ(magickPixels(path, false), expectedPixels(img, false)) << bpp;
    }
}

TEST(IcoEncoder, TransparentIndexBecomesTheMask) {
    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    CxImage img = greyImage(40, 9, [](uint32_t x, uint32_t y) { return uint8_t((x + y) % 6); });
    img.SetTransparentIndex(5);
    ASSERT_TRUE(img.Save(dir.file("t.ico").c_str(), CXIMAGE_FORMAT_ICO)) << img.GetErrorText();
    const auto ico = qxtest::readFile(dir.file("t.ico"));
    const size_t paletteAt = 6 + 16 + 40;
    EXPECT_EQ(le32(ico, paletteAt + 4 * 5), 0u); // the transparent entry goes out empty
    EXPECT_EQ(img.GetPaletteColor(5).rgbRed, 5); // and the image keeps its palette
    const auto rgba = magickPixels(dir.file("t.ico"), true);
    ASSERT_EQ(rgba.size(), 40u * 9u * 4u);
    for (uint32_t y = 0; y < 9; ++y)
        for (uint32_t x = 0; x < 40; ++x) {
            const bool transparent = (x + y) % 6 == 5;
            EXPECT_EQ(rgba[(y * 40 + x) * 4 + 3], transparent ? 0 : 255) << x << "," << y;
            if (!transparent) {
                EXPECT_EQ(rgba[(y * 40 + x) * 4], (x + y) % 6);
            }
        }
}

// ---- TGA ----

TEST(TgaEncoder, RefusesLowDepthsAndOversizedImages) {
    CxMemFile mem;
    mem.Open();
    for (uint32_t bpp : {1u, 4u}) {
        CxImage img(4, 4, bpp, 0);
        img.SetGrayPalette();
        EXPECT_FALSE(img.Encode(&mem, CXIMAGE_FORMAT_TGA));
        EXPECT_STREQ(img.GetErrorText(), "Bit depth must be 8 or 24");
    }
    // The width would not fit the 16-bit header field.
    CxImage wide(70000, 1, 8, 0);
    wide.SetGrayPalette();
    EXPECT_FALSE(wide.Encode(&mem, CXIMAGE_FORMAT_TGA));
    EXPECT_EQ(mem.DataSize(), 0u);
}

TEST(TgaEncoder, GreyLayoutAndPixels) {
    CxImage img = greyImage(37, 23, [](uint32_t x, uint32_t y) { return uint8_t(x * 3 + y * 17); });
    const auto tga = encodeToMemory(img, CXIMAGE_FORMAT_TGA);
    ASSERT_EQ(tga.size(), 18u + 768u + 37u * 23u); // no row padding
    EXPECT_EQ(tga[1], 1);
    EXPECT_EQ(tga[2], 1);
    EXPECT_EQ(le16(tga, 5), 256);
    EXPECT_EQ(tga[7], 24);
    EXPECT_EQ(le16(tga, 12), 37);
    EXPECT_EQ(le16(tga, 14), 23);
    EXPECT_EQ(tga[16], 8);
    EXPECT_EQ(tga[17], 0);
    EXPECT_EQ(tga[18 + 768], img.GetBits(0)[0]); // bottom row first

    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    ASSERT_TRUE(img.Save(dir.file("g.tga").c_str(), CXIMAGE_FORMAT_TGA));
    EXPECT_EQ(qxtest::readFile(dir.file("g.tga")), tga);
    EXPECT_EQ(magickPixels(dir.file("g.tga"), false), expectedPixels(img, false));
}

TEST(TgaEncoder, TrueColourAndAlpha) {
    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    CxImage img = colourNoise(21, 11, 4);
    ASSERT_TRUE(img.Save(dir.file("c.tga").c_str(), CXIMAGE_FORMAT_TGA));
    const auto tga = qxtest::readFile(dir.file("c.tga"));
    EXPECT_EQ(tga.size(), 18u + 21u * 11u * 3u);
    EXPECT_EQ(tga[2], 2);
    EXPECT_EQ(tga[16], 24);
    EXPECT_EQ(magickPixels(dir.file("c.tga"), false), expectedPixels(img, false));

    img.CreateAlpha();
    for (uint32_t y = 0; y < 11; ++y)
        for (uint32_t x = 0; x < 21; ++x) img.SetAlpha(x, y, uint8_t(x * 12 + y));
    ASSERT_TRUE(img.Save(dir.file("a.tga").c_str(), CXIMAGE_FORMAT_TGA));
    const auto atga = qxtest::readFile(dir.file("a.tga"));
    EXPECT_EQ(atga.size(), 18u + 21u * 11u * 4u);
    EXPECT_EQ(atga[16], 32);
    EXPECT_EQ(magickPixels(dir.file("a.tga"), true), expectedPixels(img, true));
}

// ---- PCX ----

namespace {

// Decodes the run-length data of a PCX file one line (planes x bytes per line) at a time and
// fails when a run crosses the end of a plane row.
bool pcxRunsStayInRows(const std::vector<uint8_t>& pcx, size_t* dataEnd) {
    const size_t planes = pcx[65];
    const size_t bytesPerLine = le16(pcx, 66);
    const size_t lines = size_t(le16(pcx, 10)) + 1;
    size_t at = 128;
    for (size_t row = 0; row < lines * planes; ++row) {
        size_t filled = 0;
        while (filled < bytesPerLine) {
            if (at >= pcx.size()) return false;
            size_t count = 1;
            if ((pcx[at] & 0xC0) == 0xC0) {
                count = pcx[at] & 0x3F;
                ++at;
            }
            ++at;
            filled += count;
        }
        if (filled != bytesPerLine) return false;
    }
    *dataEnd = at;
    return true;
}

} // namespace

TEST(PcxEncoder, RunOfOneHundred) {
    CxImage img = greyImage(100, 1, [](uint32_t, uint32_t) { return uint8_t(77); });
    const auto pcx = encodeToMemory(img, CXIMAGE_FORMAT_PCX);
    ASSERT_GE(pcx.size(), 128u + 4u);
    EXPECT_EQ(pcx[128], 0xC0 | 63);
    EXPECT_EQ(pcx[129], 77);
    EXPECT_EQ(pcx[130], 0xC0 | (100 - 63));
    EXPECT_EQ(pcx[131], 77);
    EXPECT_EQ(pcx[132], 12);
    EXPECT_EQ(pcx.size(), 128u + 4u + 1u + 768u);
}

TEST(PcxEncoder, GreyHeaderAndPixels) {
    // Odd width: every plane row carries one fill byte; equal rows must not merge into one run.
    CxImage img = greyImage(37, 23, [](uint32_t x, uint32_t y) { return uint8_t(y < 5 ? 0xC8 : x * 6 + y); });
    const auto pcx = encodeToMemory(img, CXIMAGE_FORMAT_PCX);
    EXPECT_EQ(pcx[0], 10);
    EXPECT_EQ(pcx[1], 5);
    EXPECT_EQ(pcx[2], 1);
    EXPECT_EQ(pcx[3], 8);
    EXPECT_EQ(le16(pcx, 8), 36);
    EXPECT_EQ(le16(pcx, 10), 22);
    EXPECT_EQ(le16(pcx, 12), 96);
    EXPECT_EQ(pcx[65], 1);
    EXPECT_EQ(le16(pcx, 66), 38);
    size_t end = 0;
    ASSERT_TRUE(pcxRunsStayInRows(pcx, &end));
    ASSERT_EQ(pcx.size(), end + 1 + 768);
    EXPECT_EQ(pcx[end], 12);
    EXPECT_EQ(pcx[end + 1 + 3 * 200], 200);

    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    ASSERT_TRUE(img.Save(dir.file("g.pcx").c_str(), CXIMAGE_FORMAT_PCX));
    EXPECT_EQ(qxtest::readFile(dir.file("g.pcx")), pcx);
    EXPECT_EQ(identify(dir.file("g.pcx")), "PCX 37x23");
    EXPECT_EQ(magickPixels(dir.file("g.pcx"), false), expectedPixels(img, false));
}

TEST(PcxEncoder, TrueColour) {
    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    CxImage img = colourNoise(33, 17, 5);
    ASSERT_TRUE(img.Save(dir.file("c.pcx").c_str(), CXIMAGE_FORMAT_PCX));
    const auto pcx = qxtest::readFile(dir.file("c.pcx"));
    EXPECT_EQ(pcx[65], 3);
    EXPECT_EQ(pcx[68], 1);
    size_t end = 0;
    ASSERT_TRUE(pcxRunsStayInRows(pcx, &end));
    EXPECT_EQ(end, pcx.size());
    EXPECT_EQ(magickPixels(dir.file("c.pcx"), false), expectedPixels(img, false));
}

TEST(PcxEncoder, TrueColourWithAlphaHasFourPlanes) {
    CxImage img = colourNoise(10, 4, 8);
    img.CreateAlpha();
    img.SetAlpha(2, 1, 9);
    const auto pcx = encodeToMemory(img, CXIMAGE_FORMAT_PCX);
    EXPECT_EQ(pcx[65], 4);
    size_t end = 0;
    ASSERT_TRUE(pcxRunsStayInRows(pcx, &end));
    EXPECT_EQ(end, pcx.size());

    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    ASSERT_TRUE(img.Save(dir.file("a.pcx").c_str(), CXIMAGE_FORMAT_PCX));
    EXPECT_EQ(magickPixels(dir.file("a.pcx"), true), expectedPixels(img, true));
}

TEST(PcxEncoder, FourBitPlanes) {
    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    CxImage img(29, 7, 4, 0);
    for (uint32_t i = 0; i < 16; ++i) img.SetPaletteColor(i, uint8_t(i * 16), uint8_t(255 - i * 9), uint8_t(i * i));
    for (uint32_t y = 0; y < 7; ++y)
        for (uint32_t x = 0; x < 29; ++x) img.SetPixelIndex(x, y, uint8_t((x + 3 * y) % 16));
    ASSERT_TRUE(img.Save(dir.file("f.pcx").c_str(), CXIMAGE_FORMAT_PCX));
    const auto pcx = qxtest::readFile(dir.file("f.pcx"));
    EXPECT_EQ(pcx[3], 1);
    EXPECT_EQ(pcx[65], 4);
    EXPECT_EQ(le16(pcx, 66), 4);
    EXPECT_EQ(pcx[16 + 3 * 2], img.GetPaletteColor(2).rgbRed);
    size_t end = 0;
    ASSERT_TRUE(pcxRunsStayInRows(pcx, &end));
    EXPECT_EQ(magickPixels(dir.file("f.pcx"), false), expectedPixels(img, false));
}

// imagemagick shows bit 1 of a one-plane PCX as black whatever the header's colour map says;
// netpbm follows the map (entry 0 black, entry 1 white), so netpbm is the judge here.
TEST(PcxEncoder, OneBitKeepsItsColours) {
    QX_REQUIRE_TOOL("pcxtoppm");
    qxtest::ScratchDir dir;
    for (bool whiteFirst : {false, true}) {
        CxImage img(21, 5, 1, 0);
        img.SetPaletteColor(0, whiteFirst ? 255 : 0, whiteFirst ? 255 : 0, whiteFirst ? 255 : 0);
        img.SetPaletteColor(1, whiteFirst ? 0 : 255, whiteFirst ? 0 : 255, whiteFirst ? 0 : 255);
        for (uint32_t y = 0; y < 5; ++y)
            for (uint32_t x = 0; x < 21; ++x) img.SetPixelIndex(x, y, uint8_t((x * y + x) % 3 == 0));
        const std::vector<uint8_t> before(img.GetBits(0), img.GetBits(0) + img.GetLineBytes() * 5);
        const std::string path = dir.file(whiteFirst ? "w.pcx" : "b.pcx");
        ASSERT_TRUE(img.Save(path.c_str(), CXIMAGE_FORMAT_PCX));
        int status = 0;
        const std::string ppm = run("pcxtoppm '" + path + "' 2>/dev/null", &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(netpbmPixels(std::vector<uint8_t>(ppm.begin(), ppm.end())), expectedPixels(img, false)) << whiteFirst;
        EXPECT_EQ(std::vector<uint8_t>(img.GetBits(0), img.GetBits(0) + img.GetLineBytes() * 5), before);
    }
}

TEST(PcxEncoder, Failures) {
    CxImage wide(70000, 1, 8, 0);
    wide.SetGrayPalette();
    CxMemFile mem;
    mem.Open();
    EXPECT_FALSE(wide.Encode(&mem, CXIMAGE_FORMAT_PCX));
    EXPECT_EQ(mem.DataSize(), 0u);
    CxImage img = imageFor(CXIMAGE_FORMAT_PCX, 30, 30);
    ShortStream none(0);
    EXPECT_FALSE(img.Encode(&none, CXIMAGE_FORMAT_PCX));
    EXPECT_STREQ(img.GetErrorText(), "cannot write PCX header");
    ShortStream headerOnly(128);
    EXPECT_FALSE(img.Encode(&headerOnly, CXIMAGE_FORMAT_PCX));
}

// ---- WBMP ----

TEST(WbmpEncoder, HeaderAndPixels) {
    CxImage img = imageFor(CXIMAGE_FORMAT_WBMP, 200, 3);
    const auto wbmp = encodeToMemory(img, CXIMAGE_FORMAT_WBMP);
    ASSERT_EQ(wbmp.size(), 5u + 25u * 3u);
    EXPECT_EQ(wbmp[0], 0);
    EXPECT_EQ(wbmp[1], 0);
    EXPECT_EQ(wbmp[2], 0x81);
    EXPECT_EQ(wbmp[3], 0x48);
    EXPECT_EQ(wbmp[4], 3);
    EXPECT_EQ(wbmp[5], img.GetBits(2)[0]); // top row first

    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    ASSERT_TRUE(img.Save(dir.file("a.wbmp").c_str(), CXIMAGE_FORMAT_WBMP));
    EXPECT_EQ(identify(dir.file("a.wbmp")), "WBMP 200x3");
    EXPECT_EQ(magickPixels(dir.file("a.wbmp"), false), expectedPixels(img, false));
}

TEST(WbmpEncoder, OnlyOneBitAndColoursKept) {
    CxImage grey = imageFor(CXIMAGE_FORMAT_ICO, 8, 8);
    CxMemFile mem;
    mem.Open();
    EXPECT_FALSE(grey.Encode(&mem, CXIMAGE_FORMAT_WBMP));
    EXPECT_STREQ(grey.GetErrorText(), "Can't save this image as WBMP");

    QX_REQUIRE_TOOL("convert");
    qxtest::ScratchDir dir;
    CxImage img(13, 6, 1, 0);
    img.SetPaletteColor(0, 255, 255, 255); // white first
    img.SetPaletteColor(1, 0, 0, 0);
    for (uint32_t y = 0; y < 6; ++y)
        for (uint32_t x = 0; x < 13; ++x) img.SetPixelIndex(x, y, uint8_t((x + y) & 1));
    ASSERT_TRUE(img.Save(dir.file("w.wbmp").c_str(), CXIMAGE_FORMAT_WBMP));
    EXPECT_EQ(magickPixels(dir.file("w.wbmp"), false), expectedPixels(img, false));
}

// ---- SKA ----

TEST(SkaEncoder, LayoutFromTheImage) {
    CxImage img(11, 4, 4, 0);
    for (uint32_t i = 0; i < 16; ++i) img.SetPaletteColor(i, uint8_t(i * 10), uint8_t(i * 3), uint8_t(200 - i));
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 11; ++x) img.SetPixelIndex(x, y, uint8_t((x * 5 + y) % 16));
    const auto ska = encodeToMemory(img, CXIMAGE_FORMAT_SKA);
    ASSERT_EQ(ska.size(), 9u + 768u + 11u * 4u);
    EXPECT_EQ(le16(ska, 0), 11);
    EXPECT_EQ(le16(ska, 2), 4);
    EXPECT_EQ(ska[4], 3);
    EXPECT_EQ(le32(ska, 5), 0x01000000u);
    for (uint32_t i = 0; i < 256; ++i) {
        const RGBQuad c = img.GetPaletteColor(i);
        ASSERT_EQ(ska[9 + 3 * i], c.rgbRed) << i;
        ASSERT_EQ(ska[10 + 3 * i], c.rgbGreen) << i;
        ASSERT_EQ(ska[11 + 3 * i], c.rgbBlue) << i;
    }
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 11; ++x) ASSERT_EQ(ska[9 + 768 + y * 11 + x], img.GetPixelIndex(x, 3 - y));
    EXPECT_EQ(img.GetBpp(), 4u); // the caller's image is left as it was

    CxImage rgb = colourNoise(4, 4, 1);
    CxMemFile mem;
    mem.Open();
    EXPECT_FALSE(rgb.Encode(&mem, CXIMAGE_FORMAT_SKA));
    EXPECT_STREQ(rgb.GetErrorText(), "SKA Images must be 8 bit or less");
}

// ---- JPEG 2000 ----

namespace {

// Decodes with opj_decompress into PGM or PPM (by the extension of outPath).
std::vector<uint8_t> opjPixels(const std::string& path, const std::string& outPath) {
    int status = 0;
    const std::string log = run("opj_decompress -i '" + path + "' -o '" + outPath + "' 2>&1", &status);
    EXPECT_EQ(status, 0) << log;
    return netpbmPixels(qxtest::readFile(outPath));
}

std::vector<uint8_t> greyBytes(const CxImage& img) {
    std::vector<uint8_t> out;
    for (uint32_t y = 0; y < img.GetHeight(); ++y)
        for (uint32_t x = 0; x < img.GetWidth(); ++x) out.push_back(img.GetPixelIndex(x, img.GetHeight() - 1 - y));
    return out;
}

} // namespace

TEST(Jpeg2000Encoder, LosslessGreyAndColour) {
    QX_REQUIRE_TOOL("opj_decompress");
    qxtest::ScratchDir dir;
    CxImage grey = greyImage(45, 31, [](uint32_t x, uint32_t y) { return uint8_t((x * 37) ^ (y * 11)); });
    grey.SetJpegQuality(100);
    CxImage colour = colourNoise(23, 17, 9);
    colour.SetJpegQuality(100);
    for (const Case& c : {Case{CXIMAGE_FORMAT_JP2, "jp2"}, Case{CXIMAGE_FORMAT_JPC, "j2k"}}) {
        const std::string g = dir.file(std::string("g.") + c.name);
        ASSERT_TRUE(grey.Save(g.c_str(), c.format)) << grey.GetErrorText();
        EXPECT_EQ(opjPixels(g, dir.file(std::string("g_") + c.name + ".pgm")), greyBytes(grey)) << c.name;
        const std::string rgb = dir.file(std::string("c.") + c.name);
        ASSERT_TRUE(colour.Save(rgb.c_str(), c.format)) << colour.GetErrorText();
        EXPECT_EQ(opjPixels(rgb, dir.file(std::string("c_") + c.name + ".ppm")), expectedPixels(colour, false))
            << c.name;
    }
    const auto jp2 = qxtest::readFile(dir.file("g.jp2"));
    ASSERT_GE(jp2.size(), 12u);
    EXPECT_EQ(std::string(jp2.begin() + 4, jp2.begin() + 8), "jP  ");
    const auto j2k = qxtest::readFile(dir.file("g.j2k"));
    ASSERT_GE(j2k.size(), 4u);
    EXPECT_EQ(j2k[0], 0xFF);
    EXPECT_EQ(j2k[1], 0x4F); // SOC
    EXPECT_EQ(j2k[2], 0xFF);
    EXPECT_EQ(j2k[3], 0x51); // SIZ
}

TEST(Jpeg2000Encoder, QualityIsTheSizeTarget) {
    QX_REQUIRE_TOOL("opj_decompress");
    qxtest::ScratchDir dir;
    CxImage img = colourNoise(64, 48, 12);
    img.SetJpegQuality(100);
    ASSERT_TRUE(img.Save(dir.file("full.jp2").c_str(), CXIMAGE_FORMAT_JP2));
    img.SetJpegQuality(20);
    ASSERT_TRUE(img.Save(dir.file("small.jp2").c_str(), CXIMAGE_FORMAT_JP2)) << img.GetErrorText();
    const size_t raw = 64 * 48 * 3;
    const size_t full = qxtest::readFile(dir.file("full.jp2")).size();
    const size_t small = qxtest::readFile(dir.file("small.jp2")).size();
    EXPECT_GT(full, raw);      // noise does not compress without loss
    EXPECT_LT(small, raw / 3); // a fifth of the raw size, give or take the boxes
    const auto decoded = opjPixels(dir.file("small.jp2"), dir.file("small.ppm"));
    EXPECT_EQ(decoded.size(), raw);
}

TEST(Jpeg2000Encoder, MemoryMatchesFileAndTinyImages) {
    QX_REQUIRE_TOOL("opj_decompress");
    qxtest::ScratchDir dir;
    CxImage img = greyImage(70, 50, [](uint32_t x, uint32_t y) { return uint8_t(x + y * 2); });
    ASSERT_TRUE(img.Save(dir.file("f.jp2").c_str(), CXIMAGE_FORMAT_JP2));
    EXPECT_EQ(encodeToMemory(img, CXIMAGE_FORMAT_JP2), qxtest::readFile(dir.file("f.jp2")));

    for (uint32_t side : {1u, 2u, 3u, 17u}) {
        CxImage tiny = greyImage(side, side + 1, [](uint32_t x, uint32_t y) { return uint8_t(x * 50 + y * 9); });
        tiny.SetJpegQuality(100);
        const std::string path = dir.file("t" + std::to_string(side) + ".jp2");
        ASSERT_TRUE(tiny.Save(path.c_str(), CXIMAGE_FORMAT_JP2)) << side << ": " << tiny.GetErrorText();
        EXPECT_EQ(opjPixels(path, path + ".pgm"), greyBytes(tiny)) << side;
    }
}

TEST(Jpeg2000Encoder, RefusedVariants) {
    CxMemFile mem;
    mem.Open();
    CxImage grey = imageFor(CXIMAGE_FORMAT_JP2, 8, 8);
    CxImage colour = colourNoise(8, 8, 2);
    CxImage palette = imageFor(CXIMAGE_FORMAT_JP2, 8, 8);
    palette.SetPaletteColor(7, 1, 2, 3);
    EXPECT_FALSE(palette.Encode(&mem, CXIMAGE_FORMAT_JP2));
    EXPECT_STREQ(palette.GetErrorText(), "JasPer can save only RGB or GrayScale images");
    EXPECT_FALSE(colour.Encode(&mem, CXIMAGE_FORMAT_PGX));
    EXPECT_STREQ(colour.GetErrorText(), "PGX can save only GrayScale images");
    EXPECT_FALSE(palette.Encode(&mem, CXIMAGE_FORMAT_PNM));
    EXPECT_FALSE(palette.Encode(&mem, CXIMAGE_FORMAT_RAS));
    EXPECT_EQ(mem.DataSize(), 0u);
}

namespace {

uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// The samples of a plain (text) netpbm file, as netpbm's own reader gives them.
std::vector<uint8_t> plainNetpbmSamples(const std::string& path, std::string* magic) {
    int status = 0;
    std::istringstream in(run("pamtopnm -plain '" + path + "' 2>&1", &status));
    EXPECT_EQ(status, 0) << in.str();
    int w = 0, h = 0, maxval = 0, v = 0;
    in >> *magic >> w >> h >> maxval;
    EXPECT_EQ(maxval, 255);
    std::vector<uint8_t> out;
    while (in >> v) out.push_back(uint8_t(v));
    return out;
}

} // namespace

// PGX, PNM and Sun raster files of grey and colour pictures with odd and even widths, read back
// by independent readers: OpenJPEG's PGX reader (compressing losslessly, then decoding),
// netpbm's pamfile and PNM reader, and netpbm's Sun raster reader.
TEST(Jpeg2000Encoder, RasterFormatsReadBackByIndependentReaders) {
    QX_REQUIRE_TOOL("opj_compress");
    QX_REQUIRE_TOOL("opj_decompress");
    QX_REQUIRE_TOOL("pamfile");
    QX_REQUIRE_TOOL("rasttopnm");
    qxtest::ScratchDir dir;
    for (uint32_t w : {1u, 45u, 64u}) {
        const uint32_t h = w == 1 ? 3 : 31;
        const std::string tag = std::to_string(w);
        CxImage grey = greyImage(w, h, [](uint32_t x, uint32_t y) { return uint8_t((x * 37) ^ (y * 11)); });
        CxImage colour = colourNoise(w, h, w);
        const std::vector<uint8_t> greyExpected = greyBytes(grey);
        const std::vector<uint8_t> rgbExpected = expectedPixels(colour, false);

        const std::string pgx = dir.file("g" + tag + ".pgx");
        ASSERT_TRUE(grey.Save(pgx.c_str(), CXIMAGE_FORMAT_PGX)) << grey.GetErrorText();
        const std::string header = "PG ML + 8 " + tag + " " + std::to_string(h) + "\n";
        const auto pgxBytes = qxtest::readFile(pgx);
        ASSERT_EQ(pgxBytes.size(), header.size() + greyExpected.size());
        EXPECT_EQ(std::string(pgxBytes.begin(), pgxBytes.begin() + std::ptrdiff_t(header.size())), header);
        int status = 0;
        const std::string log = run("opj_compress -n 1 -i '" + pgx + "' -o '" + pgx + ".j2k' 2>&1", &status);
        ASSERT_EQ(status, 0) << log;
        EXPECT_EQ(opjPixels(pgx + ".j2k", pgx + ".pgm"), greyExpected) << w;

        for (const bool isGrey : {true, false}) {
            CxImage& img = isGrey ? grey : colour;
            const std::vector<uint8_t>& expected = isGrey ? greyExpected : rgbExpected;
            const std::string pnm = dir.file((isGrey ? "g" : "c") + tag + ".pnm");
            ASSERT_TRUE(img.Save(pnm.c_str(), CXIMAGE_FORMAT_PNM)) << img.GetErrorText();
            const std::string info = run("pamfile '" + pnm + "' 2>&1", &status);
            EXPECT_EQ(status, 0) << info;
            EXPECT_NE(info.find(std::string(isGrey ? "PGM raw" : "PPM raw") + ", " + tag + " by " + std::to_string(h) +
                                "  maxval 255"),
                      std::string::npos)
                << info;
            std::string magic;
            EXPECT_EQ(plainNetpbmSamples(pnm, &magic), expected) << w;
            EXPECT_EQ(magic, isGrey ? "P2" : "P3");

            const std::string ras = dir.file((isGrey ? "g" : "c") + tag + ".ras");
            ASSERT_TRUE(img.Save(ras.c_str(), CXIMAGE_FORMAT_RAS)) << img.GetErrorText();
            const auto rasBytes = qxtest::readFile(ras);
            const uint32_t line = (w * (isGrey ? 1 : 3) + 1) & ~1u;
            ASSERT_EQ(rasBytes.size(), 32u + line * h);
            EXPECT_EQ(be32(rasBytes, 0), 0x59A66A95u);
            EXPECT_EQ(be32(rasBytes, 12), isGrey ? 8u : 24u);
            EXPECT_EQ(be32(rasBytes, 16), line * h);
            EXPECT_EQ(be32(rasBytes, 20), 1u);
            const std::string decoded = run("rasttopnm '" + ras + "' 2>/dev/null", &status);
            EXPECT_EQ(status, 0);
            EXPECT_EQ(std::string(decoded, 0, 2), isGrey ? "P5" : "P6");
            EXPECT_EQ(netpbmPixels(std::vector<uint8_t>(decoded.begin(), decoded.end())), expected) << w;
        }
    }
}

// ---- every format ----

TEST(MoreEncoders, NullStreamAndEmptyImage) {
    CxImage empty;
    CxMemFile mem;
    mem.Open();
    for (const Case& c : kFormats) {
        CxImage img = imageFor(c.format, 4, 4);
        EXPECT_FALSE(img.Encode(nullptr, c.format)) << c.name;
        EXPECT_STREQ(img.GetErrorText(), "null file handler") << c.name;
        EXPECT_FALSE(empty.Encode(&mem, c.format)) << c.name;
        EXPECT_STREQ(empty.GetErrorText(), "null image!!!") << c.name;
    }
}

TEST(MoreEncoders, WriteFailuresFail) {
    for (const Case& c : kFormats) {
        CxImage img = imageFor(c.format, 120, 90);
        const size_t full = encodeToMemory(img, c.format).size();
        ASSERT_GT(full, 0u) << c.name;
        // A full disk, through Save and through a stream the encoder flushes itself.
        EXPECT_FALSE(img.Save("/dev/full", c.format)) << c.name;
        FILE* file = std::fopen("/dev/full", "wb");
        ASSERT_NE(file, nullptr);
        {
            CxIOFile stream(file);
            EXPECT_FALSE(img.Encode(&stream, c.format)) << c.name;
            EXPECT_STRNE(img.GetErrorText(), "") << c.name;
        }
        std::fclose(file);
        // Streams that refuse the first byte, or give out half-way.
        for (size_t limit : {size_t(0), full / 2, full - 1}) {
            ShortStream stream(limit);
            EXPECT_FALSE(img.Encode(&stream, c.format)) << c.name << " limit " << limit;
        }
        ShortStream enough(full);
        EXPECT_TRUE(img.Encode(&enough, c.format)) << c.name << ": " << img.GetErrorText();
    }
}
