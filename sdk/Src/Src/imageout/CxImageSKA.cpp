// SKA encoder: a 9-byte header, a 256-entry red-green-blue palette and one byte per pixel,
// rows top first. 1- and 4-bit images are written as 8-bit indices.
#include <vector>

#include "imageout/CxImageCodecs.h"
#include "imageout/CxStreamWriter.h"

namespace qx::imageout {

bool CxImageSKA::Encode(CxFile* stream) {
    if (!CheckEncodeArguments(stream)) return false;
    const uint32_t bpp = GetBpp();
    if (bpp > 8) {
        SetError("SKA Images must be 8 bit or less");
        return false;
    }
    const uint32_t w = GetWidth();
    const uint32_t h = GetHeight();
    if (w > 0xFFFF || h > 0xFFFF) { // 16-bit header fields
        SetError("Image too large for SKA");
        return false;
    }

    CxStreamWriter out(stream);
    out.putLe16(static_cast<uint16_t>(w));
    out.putLe16(static_cast<uint16_t>(h));
    out.putByte(3);
    out.putLe32(0x01000000);

    uint8_t map[256 * 3];
    for (uint32_t i = 0; i < 256; ++i) {
        const RGBQuad c = GetPaletteColor(i);
        map[3 * i] = c.rgbRed;
        map[3 * i + 1] = c.rgbGreen;
        map[3 * i + 2] = c.rgbBlue;
    }
    out.put(map, sizeof(map));

    // Indices are widened per pixel: the image being encoded is left as it is.
    std::vector<uint8_t> row(w);
    for (uint32_t i = 0; i < h && !out.failed(); ++i) {
        const uint32_t y = h - 1 - i;
        if (bpp == 8) {
            out.put(GetBits(y), w);
            continue;
        }
        for (uint32_t x = 0; x < w; ++x) row[x] = GetPixelIndexUnchecked(x, y);
        out.put(row.data(), w);
    }

    if (!out.finish()) {
        SetError("SKA write error");
        return false;
    }
    return true;
}

} // namespace qx::imageout
