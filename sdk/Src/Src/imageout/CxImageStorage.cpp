// CxImage pixel storage: the DIB block (header, palette, bottom-up rows padded to 4 bytes),
// its creation, the row access every codec uses, and the conversions that rebuild or reorder
// the block (Flip, RaiseBitDepth).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "imageout/CxImage.h"

namespace qx::imageout {

namespace {

constexpr float kMaxMemory = 327444480.0f;

} // namespace

void CxImage::SetError(const char* text) { std::snprintf(m_info.lastError, sizeof(m_info.lastError), "%s", text); }

bool CxImage::CheckEncodeArguments(CxFile* stream) {
    if (!stream) {
        SetError("null file handler");
        return false;
    }
    if (!m_dib) {
        SetError("null image!!!");
        return false;
    }
    return true;
}

uint8_t* CxImage::PixelBlock() const { return m_dib ? m_dib + m_head.biSize + GetPaletteSize() : nullptr; }

void* CxImage::Create(uint32_t width, uint32_t height, uint32_t bpp, uint32_t imageType) {
    if (!Clear()) return nullptr;
    if (width == 0 || height == 0) {
        SetError("CxImage::Create : width and height must be greater than zero");
        return nullptr;
    }
    if (bpp <= 1) bpp = 1;
    else if (bpp <= 4) bpp = 4;
    else if (bpp <= 8) bpp = 8;
    else bpp = 24;

    const uint64_t effWidth = ((static_cast<uint64_t>(width) * bpp + 31) / 32) * 4;
    const uint64_t imageSize = effWidth * height;
    const uint32_t entries = bpp == 1 ? 2 : bpp == 4 ? 16 : bpp == 8 ? 256 : 0;
    const uint64_t dibSize = sizeof(BitmapInfoHeader) + entries * 4ull + imageSize;
    if (static_cast<float>(width) * static_cast<float>(height) * static_cast<float>(bpp) * 0.125f > kMaxMemory ||
        width > static_cast<uint32_t>(INT32_MAX) || height > static_cast<uint32_t>(INT32_MAX) || dibSize > UINT32_MAX) {
        SetError("CXIMAGE_MAX_MEMORY exceeded");
        return nullptr;
    }

    // The whole block starts zeroed: row padding never carries old memory into a file.
    CxBytes block = cxAllocateZeroed(static_cast<size_t>(dibSize));
    if (!block) {
        SetError("CxImage::Create can't allocate memory");
        return nullptr;
    }
    m_head.biSize = sizeof(BitmapInfoHeader);
    m_head.biWidth = static_cast<int32_t>(width);
    m_head.biHeight = static_cast<int32_t>(height);
    m_head.biPlanes = 1;
    m_head.biBitCount = static_cast<uint16_t>(bpp);
    m_head.biCompression = 0;
    m_head.biSizeImage = static_cast<uint32_t>(imageSize);
    m_head.biClrUsed = entries;
    m_head.biClrImportant = 0;
    m_info.effWidth = static_cast<uint32_t>(effWidth);
    m_info.type = imageType;
    m_info.lastColorValid = false;
    m_info.selectionBox = CxRect{0, static_cast<int32_t>(height), static_cast<int32_t>(width), 0};
    m_owned.dib = std::move(block);
    m_dib = m_owned.dib.get();
    std::memcpy(m_dib, &m_head, sizeof(m_head));
    return m_dib;
}

bool CxImage::CreateFromArray(const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t bpp, uint32_t lineBytes,
                              bool flip) {
    if (!pixels) return false;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24 && bpp != 32) return false;
    const uint32_t storedBpp = bpp == 32 ? 24 : bpp;
    if (!m_dib || storedBpp != GetBpp() || width != GetWidth() || height != GetHeight()) {
        if (!Create(width, height, bpp, 0)) return false;
    }
    if (bpp < 24) SetGrayPalette();
    if (bpp == 32 && !CreateAlpha()) return false;

    const uint32_t eff = GetLineBytes();
    for (uint32_t i = 0; i < height; ++i) {
        const uint32_t row = flip ? height - 1 - i : i;
        const uint8_t* src = pixels + static_cast<uint64_t>(i) * lineBytes;
        uint8_t* dst = GetBits(row);
        if (bpp == 32) {
            uint8_t* alpha = m_alpha + static_cast<uint64_t>(row) * width;
            for (uint32_t x = 0; x < width; ++x) {
                dst[3 * x] = src[4 * x];
                dst[3 * x + 1] = src[4 * x + 1];
                dst[3 * x + 2] = src[4 * x + 2];
                alpha[x] = src[4 * x + 3];
            }
        } else {
            std::memcpy(dst, src, std::min(eff, lineBytes));
        }
    }
    return true;
}

uint8_t* CxImage::GetBits(uint32_t row) const {
    if (!m_dib || row >= GetHeight()) return nullptr;
    return PixelBlock() + static_cast<uint64_t>(row) * m_info.effWidth;
}

uint64_t CxImage::GetDibSize() const {
    return static_cast<uint64_t>(GetPaletteSize()) + m_head.biSizeImage + m_head.biSize;
}

bool CxImage::Contains(int64_t x, int64_t y) const {
    return x >= 0 && y >= 0 && x < static_cast<int64_t>(GetWidth()) && y < static_cast<int64_t>(GetHeight());
}

// ---------------------------------------------------------------------------------------------
// Format conversion
// ---------------------------------------------------------------------------------------------

bool CxImage::Flip(bool flipSelection, bool flipAlpha) {
    if (!m_dib) return false;
    const uint32_t eff = m_info.effWidth;
    const CxBytes scratch = cxAllocate(eff);
    if (!scratch) return false;
    const uint32_t h = GetHeight();
    for (uint32_t k = 0; k < h / 2; ++k) {
        uint8_t* a = GetBits(k);
        uint8_t* b = GetBits(h - 1 - k);
        std::memcpy(scratch.get(), a, eff);
        std::memcpy(a, b, eff);
        std::memcpy(b, scratch.get(), eff);
    }
    if (flipSelection) FlipSelection();
    if (flipAlpha) FlipAlpha();
    return true;
}

bool CxImage::RaiseBitDepth(uint32_t bpp) {
    if (!m_dib) return false;
    if (bpp == GetBpp()) return true;
    if ((bpp != 4 && bpp != 8 && bpp != 24) || bpp < GetBpp()) return false;

    CxImage raised(m_info.type);
    raised.CopySettings(*this);
    if (!raised.Create(GetWidth(), GetHeight(), bpp, m_info.type)) {
        SetError(raised.GetErrorText());
        return false;
    }
    raised.SetDpiX(m_info.dpiX);
    raised.SetDpiY(m_info.dpiY);
    if (bpp < 24) raised.SetPalette(GetPalette(), GetPaletteCount());
    if (m_selection) raised.CopySelection(*this);
    if (m_alpha) raised.CopyAlpha(*this);
    if (bpp == 24) {
        if (m_info.transparentIndex >= 0) raised.m_info.transparentColor = GetTransparentColor();
        raised.m_info.transparentIndex = -1;
        if (PaletteHasAlpha() && !raised.HasAlpha()) raised.CreateAlpha();
    }
    const uint32_t w = GetWidth();
    const uint32_t h = GetHeight();
    for (uint32_t y = 0; y < h; ++y) {
        if (m_info.abort) break;
        for (uint32_t x = 0; x < w; ++x) {
            if (bpp < 24) {
                raised.SetPixelIndexUnchecked(x, y, GetPixelIndexUnchecked(x, y));
            } else {
                const RGBQuad c = GetPixelColorUnchecked(x, y, true);
                raised.SetPixelColor(x, y, c, raised.HasAlpha());
            }
        }
    }
    return TakeOver(raised, false);
}

} // namespace qx::imageout
