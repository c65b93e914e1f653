// WBMP encoder: type 0 (monochrome, uncompressed), rows top first, 1 meaning white.
#include <vector>

#include "imageout/CxImageCodecs.h"
#include "imageout/CxStreamWriter.h"

namespace qx::imageout {

namespace {

// A WBMP multi-byte integer: 7 bits per byte, most significant group first, 0x80 on all but
// the last byte.
void putMultiByte(CxStreamWriter& out, uint32_t value) {
    uint8_t bytes[5];
    int n = 0;
    do {
        bytes[n++] = static_cast<uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (n > 1) out.putByte(static_cast<uint8_t>(bytes[--n] | 0x80));
    out.putByte(bytes[0]);
}

} // namespace

bool CxImageWBMP::Encode(CxFile* stream) {
    if (!CheckEncodeArguments(stream)) return false;
    if (GetBpp() != 1) {
        SetError("Can't save this image as WBMP");
        return false;
    }
    const uint32_t w = GetWidth();
    const uint32_t h = GetHeight();

    CxStreamWriter out(stream);
    putMultiByte(out, 0); // type 0
    out.putByte(0);       // fixed header
    putMultiByte(out, w);
    putMultiByte(out, h);

    // A set bit is white: an image whose first palette entry is the brighter one is inverted
    // on the way out, so the picture keeps its colours.
    const bool invert = GetPaletteCount() >= 2 && CompareLuminance(GetPaletteColor(0), GetPaletteColor(1)) > 0;
    const size_t rowBytes = (static_cast<size_t>(w) + 7) / 8;
    std::vector<uint8_t> row(rowBytes);
    for (uint32_t i = 0; i < h && !out.failed(); ++i) {
        const uint8_t* src = GetBits(h - 1 - i);
        for (size_t b = 0; b < rowBytes; ++b) row[b] = invert ? static_cast<uint8_t>(~src[b]) : src[b];
        if (w & 7) row[rowBytes - 1] &= static_cast<uint8_t>(0xFF00 >> (w & 7)); // unused bits 0
        out.put(row.data(), rowBytes);
    }

    if (!out.finish()) {
        SetError("WBMP write error");
        return false;
    }
    return true;
}

} // namespace qx::imageout
