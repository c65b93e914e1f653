// PCX encoder: version 5, run-length coded. 8-bit images are one plane followed by a 256-entry
// palette, 24-bit images three planes (four with alpha), 1- and 4-bit images one or four bit
// planes. Each plane row is coded on its own, so no run ever crosses a row.
#include <cstring>
#include <new>
#include <vector>

#include "imageout/CxImageCodecs.h"
#include "imageout/CxStreamWriter.h"
#include "Sys/ByteOrder.h"

namespace qx::imageout {

namespace {

constexpr uint32_t kHeaderSize = 128;
constexpr uint32_t kMaxRun = 63;

// Run-length codes one plane row into `out`.
void encodeRow(const uint8_t* row, size_t length, std::vector<uint8_t>& out) {
    size_t i = 0;
    while (i < length) {
        const uint8_t value = row[i];
        size_t run = 1;
        while (i + run < length && run < kMaxRun && row[i + run] == value) ++run;
        if (run > 1 || value >= 0xC0) out.push_back(static_cast<uint8_t>(0xC0 | run));
        out.push_back(value);
        i += run;
    }
}

} // namespace

bool CxImagePCX::Encode(CxFile* stream) {
    if (!CheckEncodeArguments(stream)) return false;
    const uint32_t w = GetWidth();
    const uint32_t h = GetHeight();
    const uint32_t bpp = GetBpp();
    const uint32_t paletteCount = GetPaletteCount();

    uint32_t planes;
    if (bpp == 24) planes = HasAlpha() ? 4 : 3;
    else if (bpp == 8) planes = 1;
    else planes = paletteCount == 16 ? 4 : 1;
    const uint8_t bitsPerPlanePixel = bpp >= 8 ? 8 : 1;
    uint64_t bytesPerLine = bpp >= 8 ? w : (static_cast<uint64_t>(w) + 7) / 8;
    bytesPerLine += bytesPerLine & 1;
    // The window corner and the line length are 16-bit header fields.
    if (w - 1 > 0xFFFF || h - 1 > 0xFFFF || bytesPerLine > 0xFFFF) {
        SetError("Image too large for PCX");
        return false;
    }

    uint8_t header[kHeaderSize] = {};
    header[0] = 10; // manufacturer
    header[1] = 5;  // version
    header[2] = 1;  // run-length encoding
    header[3] = bitsPerPlanePixel;
    qx::sys::storeLe16(header + 8, static_cast<uint16_t>(w - 1));
    qx::sys::storeLe16(header + 10, static_cast<uint16_t>(h - 1));
    qx::sys::storeLe16(header + 12, static_cast<uint16_t>(GetDpiX()));
    qx::sys::storeLe16(header + 14, static_cast<uint16_t>(GetDpiY()));
    if (bpp < 8) {
        uint8_t* map = header + 16;
        if (planes == 1) {
            std::memset(map + 3, 0xFF, 3); // entry 0 black, entry 1 white
        } else {
            for (uint32_t i = 0; i < 16; ++i) {
                const RGBQuad c = GetPaletteColor(i);
                map[3 * i] = c.rgbRed;
                map[3 * i + 1] = c.rgbGreen;
                map[3 * i + 2] = c.rgbBlue;
            }
        }
    }
    header[65] = static_cast<uint8_t>(planes);
    qx::sys::storeLe16(header + 66, static_cast<uint16_t>(bytesPerLine));
    qx::sys::storeLe16(header + 68, paletteCount == 0 ? 1 : 0);

    if (stream->Write(header, kHeaderSize, 1) != 1) {
        SetError("cannot write PCX header");
        return false;
    }

    // A 1-bit image whose first entry is the brighter one goes out inverted, so that 0 is black.
    bool invert = false;
    if (bpp == 1 && paletteCount >= 2) invert = CompareLuminance(GetPaletteColor(0), GetPaletteColor(1)) > 0;

    std::vector<uint8_t> coded;
    std::vector<uint8_t> plane(static_cast<size_t>(bytesPerLine));
    try {
        coded.reserve(static_cast<size_t>(bytesPerLine) * planes * 2);
        for (uint32_t i = 0; i < h; ++i) {
            const uint32_t y = h - 1 - i;
            const uint8_t* src = GetBits(y);
            for (uint32_t p = 0; p < planes; ++p) {
                std::fill(plane.begin(), plane.end(), 0);
                if (bpp == 8) {
                    std::memcpy(plane.data(), src, w);
                } else if (bpp == 24) {
                    for (uint32_t x = 0; x < w; ++x) plane[x] = p < 3 ? src[3 * x + 2 - p] : GetAlphaUnchecked(x, y);
                } else if (planes == 1) {
                    // One bit plane: the stored bits themselves, unused trailing bits cleared.
                    for (uint32_t x = 0; x < w; ++x) {
                        const uint8_t bit = static_cast<uint8_t>(GetPixelIndexUnchecked(x, y) ^ (invert ? 1 : 0));
                        if (bit) plane[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
                    }
                } else {
                    // Bit plane p holds bit p of every pixel index, most significant pixel bit first.
                    for (uint32_t x = 0; x < w; ++x) {
                        if ((GetPixelIndexUnchecked(x, y) >> p) & 1)
                            plane[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
                    }
                }
                encodeRow(plane.data(), plane.size(), coded);
            }
        }
        if (bpp == 8) {
            coded.push_back(12);
            for (uint32_t i = 0; i < 256; ++i) {
                const RGBQuad c = GetPaletteColor(i);
                coded.push_back(c.rgbRed);
                coded.push_back(c.rgbGreen);
                coded.push_back(c.rgbBlue);
            }
        }
    } catch (const std::bad_alloc&) {
        SetError("PCX encoder can't allocate memory");
        return false;
    }

    CxStreamWriter out(stream);
    out.put(coded.data(), coded.size());
    if (!out.finish()) {
        SetError("PCX write error");
        return false;
    }
    return true;
}

} // namespace qx::imageout
