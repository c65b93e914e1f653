// The image class: creation, pixel storage, palette and pixels, copying, views, dispatch.
#include <cstring>
#include <vector>

#include "imageout/CxImage.h"
#include "ImageOutTestSupport.h"

using namespace qx::imageout;

TEST(CxImage, ConstructionDefaults) {
    CxImage img(CXIMAGE_FORMAT_JPG);
    EXPECT_FALSE(img.IsValid());
    EXPECT_EQ(img.GetImageType(), uint32_t(CXIMAGE_FORMAT_JPG));
    EXPECT_EQ(img.GetJpegQuality(), 90);
    EXPECT_EQ(img.GetDpiX(), 96);
    EXPECT_EQ(img.GetDpiY(), 96);
    EXPECT_EQ(img.GetHeader().biXPelsPerMeter, 3780);
    EXPECT_FALSE(img.HasTransparentIndex());
    EXPECT_EQ(img.GetBits(0), nullptr);
}

TEST(CxImage, CreateRefusesEmptyAndHugeImages) {
    CxImage img;
    EXPECT_EQ(img.Create(0, 10, 8, 0), nullptr);
    EXPECT_STREQ(img.GetErrorText(), "CxImage::Create : width and height must be greater than zero");
    EXPECT_EQ(img.Create(20000, 20000, 8, 0), nullptr);
    EXPECT_STREQ(img.GetErrorText(), "CXIMAGE_MAX_MEMORY exceeded");
    EXPECT_FALSE(img.IsValid());
}

TEST(CxImage, CreateUnderTheCeilingIsAllowed) {
    CxImage img;
    ASSERT_NE(img.Create(16000, 20000, 8, 0), nullptr);
    EXPECT_EQ(img.GetHeader().biSizeImage, 320000000u);
}

TEST(CxImage, CreateLayout) {
    CxImage img;
    ASSERT_NE(img.Create(3, 2, 8, 0), nullptr);
    EXPECT_EQ(img.GetLineBytes(), 4u);
    EXPECT_EQ(img.GetHeader().biSizeImage, 8u);
    EXPECT_EQ(img.GetPaletteCount(), 256u);
    EXPECT_EQ(img.GetDibSize(), 40u + 1024u + 8u);
    EXPECT_EQ(img.GetBits(1) - img.GetBits(0), 4);
    EXPECT_EQ(img.GetBits(2), nullptr);
    ASSERT_NE(img.Create(5, 1, 3, 0), nullptr);
    EXPECT_EQ(img.GetBpp(), 4u);
    EXPECT_EQ(img.GetPaletteCount(), 16u);
    ASSERT_NE(img.Create(5, 1, 24, 0), nullptr);
    EXPECT_EQ(img.GetPaletteCount(), 0u);
    EXPECT_EQ(img.GetLineBytes(), 16u);
    ASSERT_NE(img.Create(9, 1, 1, 0), nullptr);
    EXPECT_EQ(img.GetPaletteCount(), 2u);
    EXPECT_EQ(img.GetLineBytes(), 4u);
}

TEST(CxImage, NewPixelMemoryIsZeroed) {
    for (int round = 0; round < 3; ++round) {
        CxImage img(641, 17, 8, 0);
        const uint8_t* bits = img.GetBits(0);
        for (uint32_t i = 0; i < img.GetHeader().biSizeImage; ++i) ASSERT_EQ(bits[i], 0) << i;
        std::memset(img.GetBits(0), 0xEE, img.GetHeader().biSizeImage);
    }
}

TEST(CxImage, CreateFromArray) {
    CxImage img;
    const uint8_t rows[6] = {1, 2, 3, 4, 5, 6}; // 3 x 2, top line first
    EXPECT_FALSE(img.CreateFromArray(rows, 3, 2, 16, 3, false));
    EXPECT_FALSE(img.CreateFromArray(nullptr, 3, 2, 8, 3, false));
    ASSERT_TRUE(img.CreateFromArray(rows, 3, 2, 8, 3, true));
    EXPECT_TRUE(img.IsGreyPalette());
    EXPECT_EQ(img.GetBits(1)[0], 1); // flipped: the top line is the last stored row
    EXPECT_EQ(img.GetBits(0)[2], 6);
    EXPECT_EQ(img.GetBits(0)[3], 0); // padding stays zero
    img.SetJpegQuality(55);
    ASSERT_TRUE(img.CreateFromArray(rows, 3, 2, 8, 3, false));
    EXPECT_EQ(img.GetJpegQuality(), 55); // same size and depth: the image is kept
    EXPECT_EQ(img.GetBits(0)[0], 1);
}

TEST(CxImage, CreateFromArray32BitSplitsAlpha) {
    CxImage img;
    const uint8_t px[8] = {1, 2, 3, 200, 4, 5, 6, 100};
    ASSERT_TRUE(img.CreateFromArray(px, 2, 1, 32, 8, false));
    EXPECT_EQ(img.GetBpp(), 24u);
    ASSERT_TRUE(img.HasAlpha());
    EXPECT_EQ(img.GetAlpha(0, 0), 200);
    EXPECT_EQ(img.GetAlpha(1, 0), 100);
    EXPECT_EQ(img.GetBits(0)[3], 4);
}

TEST(CxImage, AssigningAFreshImageResetsTheQuality) {
    CxImage img(4, 4, 8, 0);
    img.SetJpegQuality(60);
    img = CxImage();
    EXPECT_EQ(img.GetJpegQuality(), 90);
    EXPECT_FALSE(img.IsValid());
}

TEST(CxImage, CopyFromCopiesPixelsAndSettings) {
    CxImage src(3, 3, 8, CXIMAGE_FORMAT_BMP);
    src.SetGrayPalette();
    src.GetBits(1)[1] = 77;
    src.SetJpegQuality(70);
    src.SetDpiX(300);
    src.CreateAlpha();
    src.SetAlpha(2, 2, 9);
    CxImage copy(src);
    EXPECT_EQ(copy.GetBits(1)[1], 77);
    EXPECT_NE(copy.GetBits(0), src.GetBits(0));
    EXPECT_EQ(copy.GetJpegQuality(), 70);
    EXPECT_EQ(copy.GetDpiX(), 300);
    EXPECT_EQ(copy.GetImageType(), uint32_t(CXIMAGE_FORMAT_BMP));
    EXPECT_EQ(copy.GetAlpha(2, 2), 9);
    EXPECT_TRUE(copy.IsGreyPalette());
}

TEST(CxImage, CopyFromWithoutPixelsOrAlpha) {
    CxImage src(3, 3, 8, 0);
    src.SetGrayPalette();
    src.GetBits(1)[1] = 77;
    src.CreateAlpha();
    CxImage copy;
    copy.CopyFrom(src, false, true, false);
    ASSERT_TRUE(copy.IsValid());
    EXPECT_TRUE(copy.IsGreyPalette()); // the palette comes along without the pixels
    EXPECT_NE(copy.GetBits(1)[1], 77);
    EXPECT_FALSE(copy.HasAlpha());
}

TEST(CxImage, CopySettingsOnlyWithoutPixels) {
    CxImage src(CXIMAGE_FORMAT_GIF);
    src.SetJpegQuality(33);
    CxImage empty;
    empty.CopySettings(src);
    EXPECT_EQ(empty.GetJpegQuality(), 33);
    EXPECT_EQ(empty.GetImageType(), uint32_t(CXIMAGE_FORMAT_GIF));
    CxImage full(2, 2, 8, 0);
    full.CopySettings(src);
    EXPECT_EQ(full.GetJpegQuality(), 90);
}

TEST(CxImage, ViewsShareAndFreeNothing) {
    CxImage owner(4, 2, 8, 0);
    {
        CxImage view;
        view.ShareFrom(owner);
        EXPECT_EQ(view.GetBits(0), owner.GetBits(0));
        EXPECT_FALSE(view.Clear());
        EXPECT_FALSE(view.DeleteFrames());
        EXPECT_EQ(view.Create(2, 2, 8, 0), nullptr);
        view.GetBits(0)[0] = 5;
    }
    EXPECT_EQ(owner.GetBits(0)[0], 5); // still alive after the view went
}

TEST(CxImage, TakeOverEmptiesTheSource) {
    CxImage a(4, 2, 8, 0);
    a.GetBits(0)[0] = 3;
    CxImage b(8, 8, 24, 0);
    EXPECT_TRUE(b.TakeOver(a));
    EXPECT_FALSE(a.IsValid());
    EXPECT_EQ(b.GetWidth(), 4u);
    EXPECT_EQ(b.GetBits(0)[0], 3);
}

TEST(CxImage, TakeOverMovesAlphaAndFramesWhenAsked) {
    CxImage a(2, 2, 24, 0);
    a.CreateAlpha();
    a.SetAlpha(1, 1, 7);
    ASSERT_TRUE(a.AddFrame(CxImage(1, 1, 8, 0)));
    CxImage b(3, 3, 8, 0);
    ASSERT_TRUE(b.AddFrame(CxImage(1, 1, 8, 0)));
    ASSERT_TRUE(b.AddFrame(CxImage(1, 1, 8, 0)));
    EXPECT_TRUE(b.TakeOver(a, false)); // b keeps its own frames
    EXPECT_EQ(b.GetFrameCount(), 2);
    EXPECT_EQ(a.GetFrameCount(), 1);
    EXPECT_EQ(b.GetAlpha(1, 1), 7);
    EXPECT_FALSE(a.HasAlpha());

    CxImage c;
    ASSERT_TRUE(c.AddFrame(CxImage(1, 1, 8, 0)));
    ASSERT_TRUE(c.AddFrame(CxImage(1, 1, 8, 0)));
    ASSERT_TRUE(c.AddFrame(CxImage(1, 1, 8, 0)));
    EXPECT_TRUE(b.TakeOver(c));
    EXPECT_EQ(b.GetFrameCount(), 3);
    EXPECT_EQ(c.GetFrameCount(), 0);
    EXPECT_FALSE(b.IsValid()); // c had no pixels
    EXPECT_FALSE(b.HasAlpha());

    CxImage view;
    view.ShareFrom(b);
    EXPECT_FALSE(view.TakeOver(a)); // a view owns nothing to replace
    EXPECT_FALSE(b.TakeOver(view));
    EXPECT_FALSE(b.TakeOver(b));
}

TEST(CxImage, FlipSwapsStoredRows) {
    CxImage img(4, 3, 8, 0);
    for (uint32_t r = 0; r < 3; ++r) std::memset(img.GetBits(r), int(r + 1), 4);
    img.CreateAlpha();
    img.SetAlpha(0, 0, 10);
    ASSERT_TRUE(img.Flip());
    EXPECT_EQ(img.GetBits(0)[0], 3);
    EXPECT_EQ(img.GetBits(1)[0], 2);
    EXPECT_EQ(img.GetBits(2)[0], 1);
    EXPECT_EQ(img.GetAlpha(0, 2), 10);
    CxImage empty;
    EXPECT_FALSE(empty.Flip());
}

TEST(CxImage, Palettes) {
    CxImage img(2, 2, 4, 0);
    img.SetGrayPalette();
    EXPECT_EQ(img.GetPaletteColor(1).rgbRed, 17);
    EXPECT_EQ(img.GetPaletteColor(15).rgbBlue, 255);
    EXPECT_FALSE(img.IsGreyPalette()); // 0, 17, ...: not entry i = (i, i, i)
    CxImage mono(2, 2, 1, 0);
    mono.SetGrayPalette();
    EXPECT_EQ(mono.GetPaletteColor(0).rgbGreen, 0);
    EXPECT_EQ(mono.GetPaletteColor(1).rgbGreen, 255);
    CxImage grey(2, 2, 8, 0);
    grey.SetGrayPalette();
    EXPECT_TRUE(grey.IsGreyPalette());
    grey.SetPaletteColor(3, 1, 2, 3);
    EXPECT_FALSE(grey.IsGreyPalette());
    uint8_t r, g, b;
    EXPECT_TRUE(grey.GetPaletteColor(3, &r, &g, &b));
    EXPECT_EQ(r, 1);
    EXPECT_EQ(g, 2);
    EXPECT_EQ(b, 3);
    grey.SetPaletteColor(4, CxRGB(9, 8, 7));
    EXPECT_EQ(grey.GetPaletteColor(4).rgbRed, 9);
    EXPECT_EQ(grey.GetPaletteColor(4).rgbBlue, 7);
    EXPECT_EQ(grey.GetPaletteColor(300).rgbRed, 0);
    CxImage rgb(2, 2, 24, 0);
    EXPECT_FALSE(rgb.GetPaletteColor(0, &r, &g, &b));
    EXPECT_EQ(rgb.GetPalette(), nullptr);
    // SetPalette copies no more entries than the image has, and no more than given.
    std::vector<RGBQuad> entries(20, RGBQuad{1, 2, 3, 0});
    img.SetPalette(entries.data(), 20);
    EXPECT_EQ(img.GetPaletteColor(15).rgbRed, 3);
    img.SetGrayPalette();
    img.SetPalette(entries.data(), 2);
    EXPECT_EQ(img.GetPaletteColor(1).rgbRed, 3);
    EXPECT_EQ(img.GetPaletteColor(2).rgbRed, 34);
}

TEST(CxImage, NearestPaletteIndex) {
    CxImage img(2, 2, 8, 0);
    img.SetGrayPalette();
    EXPECT_EQ(img.NearestPaletteIndex(RGBQuad{100, 100, 100, 0}), 100);
    EXPECT_EQ(img.NearestPaletteIndex(RGBQuad{10, 20, 30, 0}), 20);
    EXPECT_EQ(img.NearestPaletteIndex(RGBQuad{10, 20, 30, 0}), 20); // cached
    img.SetPaletteColor(0, 10, 20, 30);                             // invalidates the cache
    EXPECT_EQ(img.NearestPaletteIndex(RGBQuad{30, 20, 10, 0}), 0);
}

TEST(CxImage, PixelIndicesAtEveryDepth) {
    for (uint32_t bpp : {1u, 4u, 8u}) {
        CxImage img(13, 3, bpp, 0);
        const uint8_t maxIndex = static_cast<uint8_t>((1u << bpp) - 1);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 13; ++x) img.SetPixelIndex(x, y, static_cast<uint8_t>((x * 7 + y) & maxIndex));
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 13; ++x) ASSERT_EQ(img.GetPixelIndex(x, y), (x * 7 + y) & maxIndex) << bpp;
        img.SetPixelIndex(13, 0, 1); // outside: ignored
        EXPECT_EQ(img.GetPixelIndex(-1, 0), img.GetBits(0)[0]);
    }
    CxImage packed(8, 1, 1, 0);
    packed.SetPixelIndex(0, 0, 1);
    EXPECT_EQ(packed.GetBits(0)[0], 0x80); // most significant first
    CxImage nibble(2, 1, 4, 0);
    nibble.SetPixelIndex(0, 0, 0xA);
    nibble.SetPixelIndex(1, 0, 0x5);
    EXPECT_EQ(nibble.GetBits(0)[0], 0xA5);
}

TEST(CxImage, PixelColours) {
    CxImage rgb(2, 2, 24, 0);
    rgb.SetPixelColor(1, 1, RGBQuad{1, 2, 3, 0});
    EXPECT_EQ(rgb.GetPixelColor(1, 1).rgbRed, 3);
    EXPECT_EQ(rgb.GetBits(1)[3], 1); // stored blue, green, red
    rgb.CreateAlpha();
    rgb.SetPixelColor(0, 0, RGBQuad{4, 5, 6, 77}, true);
    EXPECT_EQ(rgb.GetPixelColor(0, 0, true).rgbReserved, 77);
    EXPECT_EQ(rgb.GetPixelColor(5, 5).rgbRed, 6); // outside: pixel (0, 0)
    CxImage pal(2, 2, 8, 0);
    pal.SetGrayPalette();
    pal.SetPixelColor(0, 1, RGBQuad{50, 50, 50, 0});
    EXPECT_EQ(pal.GetPixelIndex(0, 1), 50);
    pal.SetTransparentIndex(9);
    EXPECT_EQ(pal.GetPixelIndex(-1, -1), 9);
    EXPECT_EQ(pal.GetTransparentColor().rgbGreen, 9);
    EXPECT_EQ(pal.GetPixelColor(-1, 0).rgbRed, 9);
}

TEST(CxImage, TransparentIndexBelowPaletteSize) {
    CxImage img(2, 2, 4, 0);
    img.SetTransparentIndex(20);
    EXPECT_EQ(img.GetTransparentIndex(), 0);
    img.SetTransparentIndex(15);
    EXPECT_EQ(img.GetTransparentIndex(), 15);
    img.SetTransparentIndex(-1);
    EXPECT_FALSE(img.HasTransparentIndex());
}

TEST(CxImage, SettingsAndSlots) {
    CxImage img(2, 2, 8, 0);
    img.SetDpiX(0);
    EXPECT_EQ(img.GetDpiX(), 96);
    img.SetDpiY(300);
    EXPECT_EQ(img.GetHeader().biYPelsPerMeter, 11811);
    img.SetJpegQuality(300 & 0xFF);
    EXPECT_EQ(img.GetJpegQuality(), 44);
    EXPECT_EQ(CxImage::FormatSlotIndex(1), 1);
    EXPECT_EQ(CxImage::FormatSlotIndex(3), 3);
    EXPECT_EQ(CxImage::FormatSlotIndex(4), 0);
    EXPECT_EQ(CxImage::FormatSlotIndex(5), 4);
    EXPECT_EQ(CxImage::FormatSlotIndex(15), 14);
    EXPECT_EQ(CxImage::FormatSlotIndex(16), 0);
    EXPECT_EQ(CxImage::FormatSlotIndex(17), 15);
    EXPECT_EQ(CxImage::FormatSlotIndex(20), 18);
    EXPECT_EQ(CxImage::FormatSlotIndex(21), 0);
    EXPECT_EQ(img.GetFormatOption(CXIMAGE_FORMAT_TIF), 0u);
    img.SetOffset(5, -6);
    img.SetDisposalMethod(2);
    int32_t left = 0, top = 0;
    img.GetOffset(&left, &top);
    EXPECT_EQ(left, 5);
    EXPECT_EQ(top, -6);
    img.GetOffset(nullptr, nullptr); // either output may be left out
    EXPECT_EQ(img.GetDisposalMethod(), 2);
}

TEST(CxImage, SwapRedBlueAndLuminance) {
    CxImage rgb(2, 1, 24, 0);
    uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    rgb.SwapRedBlue(buf, sizeof(buf));
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 8), (std::vector<uint8_t>{3, 2, 1, 6, 5, 4, 7, 8}));
    CxImage pal(2, 1, 8, 0);
    pal.SwapRedBlue(buf, sizeof(buf)); // palette images: nothing
    EXPECT_EQ(buf[0], 3);
    EXPECT_GT(CxImage::CompareLuminance(RGBQuad{255, 255, 255, 0}, RGBQuad{0, 0, 0, 0}), 0);
    EXPECT_EQ(CxImage::CompareLuminance(RGBQuad{0, 255, 0, 0}, RGBQuad{0, 0, 0, 0}), 601 * 255 / 1024);
}

TEST(CxImage, AlphaPlane) {
    CxImage img(3, 2, 24, 0);
    EXPECT_FALSE(img.HasAlpha());
    img.SetAlpha(0, 0, 1); // no plane: ignored
    ASSERT_TRUE(img.CreateAlpha());
    EXPECT_EQ(img.GetAlphaUnchecked(2, 1), 255);
    img.SetAlpha(7, 7, 1); // outside: ignored
    img.SetAlpha(0, 0, 1);
    EXPECT_EQ(img.GetAlphaUnchecked(0, 0), 1);
    EXPECT_EQ(img.GetPixelColor(0, 0, true).rgbReserved, 1);
    ASSERT_TRUE(img.CreateAlpha()); // an existing plane is kept
    EXPECT_EQ(img.GetAlphaUnchecked(0, 0), 1);
    CxImage pal(3, 2, 8, 0);
    EXPECT_FALSE(pal.PaletteHasAlpha());
    pal.SetPaletteColor(5, 1, 1, 1, 128);
    EXPECT_TRUE(pal.PaletteHasAlpha());
}

TEST(CxImage, SelectionAndAlpha) {
    CxImage img(3, 2, 8, 0);
    EXPECT_FALSE(img.FlipAlpha());
    EXPECT_EQ(img.GetAlpha(0, 0), 0);
    ASSERT_TRUE(img.CreateAlpha());
    EXPECT_EQ(img.GetAlpha(2, 1), 255);
    img.SetAlpha(7, 7, 1); // outside: ignored
    img.SetAlpha(0, 0, 1);
    EXPECT_EQ(*img.AlphaAt(0, 0), 1);
    EXPECT_EQ(img.AlphaAt(3, 0), nullptr);
    CxImage other(3, 2, 8, 0);
    EXPECT_TRUE(other.CopyAlpha(img));
    EXPECT_EQ(other.GetAlpha(0, 0), 1);
    CxImage wrongSize(4, 2, 8, 0);
    EXPECT_FALSE(wrongSize.CopyAlpha(img));
    img.DeleteAlpha();
    EXPECT_FALSE(img.HasAlpha());
    EXPECT_FALSE(img.PaletteHasAlpha());
    img.SetPaletteColor(5, 1, 1, 1, 128);
    EXPECT_TRUE(img.PaletteHasAlpha());
    EXPECT_FALSE(img.FlipSelection());
    EXPECT_TRUE(img.DeleteSelection());
}

TEST(CxImage, RaiseBitDepth) {
    CxImage img(5, 2, 4, 0);
    img.SetGrayPalette();
    img.SetPixelIndex(4, 1, 15);
    ASSERT_TRUE(img.RaiseBitDepth(8));
    EXPECT_EQ(img.GetBpp(), 8u);
    EXPECT_EQ(img.GetPixelIndex(4, 1), 15);
    EXPECT_EQ(img.GetPaletteColor(15).rgbRed, 255);
    ASSERT_TRUE(img.RaiseBitDepth(24));
    EXPECT_EQ(img.GetBpp(), 24u);
    EXPECT_EQ(img.GetPixelColor(4, 1).rgbGreen, 255);
    EXPECT_TRUE(img.RaiseBitDepth(24));
    EXPECT_FALSE(img.RaiseBitDepth(8));
}

TEST(CxImage, RaiseBitDepthCarriesAlphaAndTransparencyAndStopsOnAbort) {
    CxImage img(2, 1, 8, 0);
    img.SetPaletteColor(1, 10, 20, 30, 0);
    img.SetPaletteColor(2, 40, 50, 60, 128); // palette alpha: the 24-bit image gets a plane
    img.SetPixelIndex(0, 0, 1);
    img.SetPixelIndex(1, 0, 2);
    img.SetTransparentIndex(1);
    ASSERT_TRUE(img.RaiseBitDepth(24));
    EXPECT_FALSE(img.HasTransparentIndex());
    EXPECT_EQ(img.GetTransparentColor().rgbRed, 10); // the index's colour is kept as a colour
    ASSERT_TRUE(img.HasAlpha());
    EXPECT_EQ(img.GetAlpha(1, 0), 128);
    EXPECT_EQ(img.GetPixelColor(1, 0).rgbBlue, 60);

    CxImage aborted(2, 2, 4, 0);
    aborted.SetGrayPalette();
    aborted.SetPixelIndex(0, 0, 9);
    aborted.SetAbort(true);
    ASSERT_TRUE(aborted.RaiseBitDepth(8)); // the new depth, but no row was copied
    EXPECT_EQ(aborted.GetBpp(), 8u);
    EXPECT_EQ(aborted.GetPixelIndex(0, 0), 0);
    EXPECT_EQ(aborted.GetPaletteColor(9).rgbRed, 153);

    CxImage empty;
    EXPECT_FALSE(empty.RaiseBitDepth(8));
}

TEST(CxImage, EncodeDispatch) {
    CxImage img(4, 4, 8, 0);
    img.SetGrayPalette();
    CxMemFile mem;
    ASSERT_TRUE(mem.Open());
    EXPECT_FALSE(img.Encode(&mem, 4));
    EXPECT_STREQ(img.GetErrorText(), "Encode: Unknown format");
    EXPECT_FALSE(img.Encode(&mem, 16));
    EXPECT_STREQ(img.GetErrorText(), "Encode: Unknown format");
    EXPECT_FALSE(img.Encode(&mem, 0));
    EXPECT_FALSE(img.Encode(&mem, 21));
    EXPECT_FALSE(img.Encode(&mem, CXIMAGE_FORMAT_WMF));
    EXPECT_STREQ(img.GetErrorText(), "Save WMF not supported");
    EXPECT_FALSE(img.Encode(&mem, CXIMAGE_FORMAT_RAW));
    EXPECT_STREQ(img.GetErrorText(), "Save RAW not supported");
    EXPECT_FALSE(img.Encode(&mem, CXIMAGE_FORMAT_PSD));
    EXPECT_STREQ(img.GetErrorText(), "Save PSD not supported");
    EXPECT_EQ(mem.Size(), 0);
    EXPECT_FALSE(img.Encode(nullptr, CXIMAGE_FORMAT_BMP));
    EXPECT_STREQ(img.GetErrorText(), "null file handler");
    CxImage empty;
    EXPECT_FALSE(empty.Encode(&mem, CXIMAGE_FORMAT_BMP));
    EXPECT_STREQ(empty.GetErrorText(), "null image!!!");
    for (uint32_t format : {CXIMAGE_FORMAT_BMP, CXIMAGE_FORMAT_GIF, CXIMAGE_FORMAT_JPG, CXIMAGE_FORMAT_TIF}) {
        EXPECT_TRUE(img.Encode(&mem, format)) << format << " " << img.GetErrorText();
    }
    EXPECT_TRUE(img.IsValid()); // the codec views freed nothing
}

TEST(CxImage, SaveFailsOnUnwritablePaths) {
    CxImage img(4, 4, 8, 0);
    img.SetGrayPalette();
    EXPECT_FALSE(img.Save("/nonexistent-dir/x.bmp", CXIMAGE_FORMAT_BMP));
    EXPECT_FALSE(img.Save(nullptr, CXIMAGE_FORMAT_BMP));
    for (uint32_t format : {CXIMAGE_FORMAT_BMP, CXIMAGE_FORMAT_GIF, CXIMAGE_FORMAT_JPG, CXIMAGE_FORMAT_TIF}) {
        EXPECT_FALSE(img.Save("/dev/full", format)) << format;
    }
    CxImage rgb(4, 4, 24, 0);
    EXPECT_FALSE(rgb.Save("/dev/full", CXIMAGE_FORMAT_MNG));
}
