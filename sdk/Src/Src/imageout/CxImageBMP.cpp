// BMP encoder: file header, the bitmap info header and the DIB's palette and rows as stored.
// Every multi-byte field is serialised little-endian whatever the host.
#include <cstring>

#include "imageout/CxImageCodecs.h"
#include "Sys/ByteOrder.h"

namespace qx::imageout {

namespace {

constexpr uint32_t kFileHeaderSize = 14;

void serialiseInfoHeader(const BitmapInfoHeader& h, uint8_t out[40]) {
    using namespace qx::sys;
    storeLe32(out + 0, h.biSize);
    storeLe32(out + 4, static_cast<uint32_t>(h.biWidth));
    storeLe32(out + 8, static_cast<uint32_t>(h.biHeight));
    storeLe16(out + 12, h.biPlanes);
    storeLe16(out + 14, h.biBitCount);
    storeLe32(out + 16, h.biCompression);
    storeLe32(out + 20, h.biSizeImage);
    storeLe32(out + 24, static_cast<uint32_t>(h.biXPelsPerMeter));
    storeLe32(out + 28, static_cast<uint32_t>(h.biYPelsPerMeter));
    storeLe32(out + 32, h.biClrUsed);
    storeLe32(out + 36, h.biClrImportant);
}

void serialiseFileHeader(uint64_t fileSize, uint32_t pixelOffset, uint8_t out[kFileHeaderSize]) {
    using namespace qx::sys;
    out[0] = 'B';
    out[1] = 'M';
    storeLe32(out + 2, static_cast<uint32_t>(fileSize));
    storeLe32(out + 6, 0);
    storeLe32(out + 10, pixelOffset);
}

} // namespace

bool CxImageBMP::Encode(CxFile* stream) {
    if (!CheckEncodeArguments(stream)) return false;

    // The header at the start of the block follows the image's header (resolution included).
    std::memcpy(m_dib, &m_head, sizeof(m_head));

    uint8_t fileHeader[kFileHeaderSize];
    uint8_t infoHeader[40];

    if (GetBpp() == 24 && HasAlpha() && GetPaletteCount() == 0) {
        // 32-bit form: blue, green, red and the alpha byte per pixel.
        BitmapInfoHeader h = m_head;
        const uint32_t w = GetWidth();
        const uint32_t rows = GetHeight();
        const uint64_t imageSize = 4ull * w * rows;
        h.biBitCount = 32;
        h.biCompression = 0;
        h.biSizeImage = static_cast<uint32_t>(imageSize);
        serialiseInfoHeader(h, infoHeader);
        serialiseFileHeader(kFileHeaderSize + 40 + imageSize, kFileHeaderSize + 40, fileHeader);
        if (stream->Write(fileHeader, kFileHeaderSize, 1) != 1 || stream->Write(infoHeader, 40, 1) != 1) {
            SetError("BMP write error");
            return false;
        }
        CxBytes line = cxAllocate(4ull * w);
        if (!line) {
            SetError("BMP encoder can't allocate memory");
            return false;
        }
        bool ok = true;
        for (uint32_t y = 0; y < rows && ok; ++y) {
            const uint8_t* src = GetBits(y);
            const uint8_t* alpha = m_alpha + static_cast<uint64_t>(y) * w;
            for (uint32_t x = 0; x < w; ++x) {
                line[4 * x] = src[3 * x];
                line[4 * x + 1] = src[3 * x + 1];
                line[4 * x + 2] = src[3 * x + 2];
                line[4 * x + 3] = alpha[x];
            }
            ok = stream->Write(line.get(), 4ull * w, 1) == 1;
        }
        if (!ok) SetError("BMP write error");
        return ok;
    }

    const uint64_t dibSize = GetDibSize();
    serialiseInfoHeader(m_head, infoHeader);
    serialiseFileHeader(kFileHeaderSize + dibSize, kFileHeaderSize + m_head.biSize + GetPaletteSize(), fileHeader);
    const size_t rest = static_cast<size_t>(dibSize - sizeof(BitmapInfoHeader));
    if (stream->Write(fileHeader, kFileHeaderSize, 1) != 1 || stream->Write(infoHeader, 40, 1) != 1 ||
        stream->Write(m_dib + sizeof(BitmapInfoHeader), rest, 1) != 1) {
        SetError("BMP write error");
        return false;
    }
    return true;
}

} // namespace qx::imageout
