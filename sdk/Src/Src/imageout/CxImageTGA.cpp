// TGA encoder: uncompressed colour-mapped (8-bit) or true-colour (24-bit, 32 with alpha)
// images, rows bottom first as stored, without row padding.
#include <vector>

#include "imageout/CxImageCodecs.h"
#include "imageout/CxStreamWriter.h"

namespace qx::imageout {

namespace {

constexpr uint32_t kMaxTgaSide = 65535; // width and height are 16-bit header fields

} // namespace

bool CxImageTGA::Encode(CxFile* stream) {
    if (!CheckEncodeArguments(stream)) return false;
    const uint32_t bpp = GetBpp();
    if (bpp < 8) {
        SetError("Bit depth must be 8 or 24");
        return false;
    }
    const uint32_t w = GetWidth();
    const uint32_t h = GetHeight();
    if (w > kMaxTgaSide || h > kMaxTgaSide) {
        SetError("Image too large for TGA");
        return false;
    }
    const bool mapped = bpp == 8;
    const bool withAlpha = bpp == 24 && HasAlpha();
    const uint32_t depth = withAlpha ? 32 : bpp;

    CxStreamWriter out(stream);
    out.putByte(0);                // id length
    out.putByte(mapped ? 1 : 0);   // colour-map type
    out.putByte(mapped ? 1 : 2);   // colour-mapped or true colour, uncompressed
    out.putLe16(0);                // first map entry
    out.putLe16(mapped ? 256 : 0); // map length
    out.putByte(mapped ? 24 : 0);  // map entry size
    out.putLe16(0);                // x origin
    out.putLe16(0);                // y origin
    out.putLe16(static_cast<uint16_t>(w));
    out.putLe16(static_cast<uint16_t>(h));
    out.putByte(static_cast<uint8_t>(depth));
    out.putByte(0); // descriptor: bottom-up

    if (mapped) {
        uint8_t map[256 * 3];
        for (uint32_t i = 0; i < 256; ++i) {
            const RGBQuad c = GetPaletteColor(i);
            map[3 * i] = c.rgbBlue;
            map[3 * i + 1] = c.rgbGreen;
            map[3 * i + 2] = c.rgbRed;
        }
        out.put(map, sizeof(map));
    }

    if (withAlpha) {
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
        const size_t rowBytes = static_cast<size_t>(w) * (bpp / 8);
        for (uint32_t y = 0; y < h && !out.failed(); ++y) out.put(GetBits(y), rowBytes);
    }

    if (!out.finish()) {
        SetError("TGA write error");
        return false;
    }
    return true;
}

} // namespace qx::imageout
