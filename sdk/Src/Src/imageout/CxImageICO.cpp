// Icon encoder: a one-image .ico file (directory, one entry, a bitmap info header with the
// height doubled, the palette, the colour rows as stored and the AND mask).
#include <cstring>
#include <vector>

#include "imageout/CxImageCodecs.h"
#include "imageout/CxStreamWriter.h"

namespace qx::imageout {

namespace {

constexpr uint32_t kMaxIconSide = 255; // the directory entry holds each side in one byte
constexpr uint32_t kDirectorySize = 6;
constexpr uint32_t kEntrySize = 16;
constexpr uint32_t kInfoHeaderSize = 40;

} // namespace

bool CxImageICO::Encode(CxFile* stream) {
    if (!CheckEncodeArguments(stream)) return false;
    const uint32_t w = GetWidth();
    const uint32_t h = GetHeight();
    if (w > kMaxIconSide || h > kMaxIconSide) {
        SetError("Can't save this image as icon");
        return false;
    }
    const uint32_t bpp = GetBpp();
    const uint32_t paletteCount = GetPaletteCount();
    if (bpp <= 8 && paletteCount == 0) return false;

    const bool form32 = HasAlpha() && paletteCount == 0;
    const uint32_t bitCount = form32 ? 32 : bpp;
    const uint32_t colourBytes = form32 ? w * h * 4 : GetLineBytes() * h;
    const uint32_t maskLineBytes = ((w + 31) / 32) * 4;
    const uint32_t maskBytes = maskLineBytes * h;
    const uint32_t resourceSize = maskBytes + colourBytes + 4 * paletteCount + kInfoHeaderSize;

    CxStreamWriter out(stream);
    // Directory: reserved, type 1 (icon), one image.
    out.putLe16(0);
    out.putLe16(1);
    out.putLe16(1);
    // Directory entry.
    out.putByte(static_cast<uint8_t>(w));
    out.putByte(static_cast<uint8_t>(h));
    out.putByte(static_cast<uint8_t>(paletteCount)); // 256 entries are written as 0
    out.putByte(0);
    out.putLe16(0);
    out.putLe16(static_cast<uint16_t>(bitCount));
    out.putLe32(resourceSize);
    out.putLe32(kDirectorySize + kEntrySize);
    // Bitmap info header of the image resource.
    out.putLe32(kInfoHeaderSize);
    out.putLe32(w);
    out.putLe32(2 * h);
    out.putLe16(1);
    out.putLe16(static_cast<uint16_t>(bitCount));
    out.putLe32(0);
    out.putLe32(colourBytes);
    for (int i = 0; i < 4; ++i) out.putLe32(0);

    // Palette; the transparent entry goes out as 0, 0, 0, 0.
    if (paletteCount > 0) {
        std::vector<RGBQuad> palette(GetPalette(), GetPalette() + paletteCount);
        const int32_t transparent = GetTransparentIndex();
        if (transparent >= 0 && static_cast<uint32_t>(transparent) < paletteCount)
            palette[transparent] = RGBQuad{0, 0, 0, 0};
        out.put(palette.data(), palette.size() * sizeof(RGBQuad));
    }

    // Colour data.
    if (form32) {
        std::vector<uint8_t> line(4ull * w);
        for (uint32_t y = 0; y < h && !out.failed(); ++y) {
            const uint8_t* src = GetBits(y);
            for (uint32_t x = 0; x < w; ++x) {
                line[4 * x] = src[3 * x];
                line[4 * x + 1] = src[3 * x + 1];
                line[4 * x + 2] = src[3 * x + 2];
                line[4 * x + 3] = GetAlphaUnchecked(x, y);
            }
            out.put(line.data(), line.size());
        }
    } else {
        out.put(GetBits(0), colourBytes);
    }

    // AND mask: a set bit marks a transparent pixel.
    const bool paletteAlpha = paletteCount > 0 && PaletteHasAlpha();
    const bool transparentIndex = HasTransparentIndex();
    const RGBQuad transparentColour = GetTransparentColor();
    std::vector<uint8_t> mask(maskLineBytes);
    for (uint32_t y = 0; y < h && !out.failed(); ++y) {
        std::fill(mask.begin(), mask.end(), 0);
        for (uint32_t x = 0; x < w; ++x) {
            bool clear = HasAlpha() && GetAlphaUnchecked(x, y) == 0;
            if (!clear && paletteAlpha) clear = GetPaletteColor(GetPixelIndexUnchecked(x, y)).rgbReserved == 0;
            if (!clear && transparentIndex) {
                const RGBQuad c = GetPixelColorUnchecked(x, y, false);
                clear = c.rgbBlue == transparentColour.rgbBlue && c.rgbGreen == transparentColour.rgbGreen &&
                        c.rgbRed == transparentColour.rgbRed;
            }
            if (clear) mask[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
        }
        out.put(mask.data(), mask.size());
    }

    if (!out.finish()) {
        SetError("ICO write error");
        return false;
    }
    return true;
}

} // namespace qx::imageout
