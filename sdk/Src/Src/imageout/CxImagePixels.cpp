// CxImage palette, pixels, selection mask and alpha plane: small per-pixel operations over the DIB block, used
// by the codecs and by callers that build an image pixel by pixel. 1- and 4-bit pixels are
// packed most significant first.
#include <algorithm>
#include <cstring>
#include <utility>

#include "imageout/CxImage.h"

namespace qx::imageout {

// ---------------------------------------------------------------------------------------------
// Palette and pixels
// ---------------------------------------------------------------------------------------------

RGBQuad* CxImage::GetPalette() const {
    if (!m_dib || GetPaletteCount() == 0) return nullptr;
    return reinterpret_cast<RGBQuad*>(m_dib + m_head.biSize);
}

RGBQuad CxImage::GetPaletteColor(uint32_t index) const {
    RGBQuad colour{0, 0, 0, 0};
    const RGBQuad* palette = GetPalette();
    if (palette && index < GetPaletteCount()) colour = palette[index];
    return colour;
}

bool CxImage::GetPaletteColor(uint32_t index, uint8_t* r, uint8_t* g, uint8_t* b) const {
    if (!GetPalette()) return false;
    const RGBQuad colour = GetPaletteColor(index);
    if (r) *r = colour.rgbRed;
    if (g) *g = colour.rgbGreen;
    if (b) *b = colour.rgbBlue;
    return true;
}

void CxImage::SetPaletteColor(uint32_t index, uint8_t r, uint8_t g, uint8_t b, uint8_t alpha) {
    SetPaletteColor(index, RGBQuad{b, g, r, alpha});
}

void CxImage::SetPaletteColor(uint32_t index, RGBQuad colour) {
    RGBQuad* palette = GetPalette();
    if (palette && index < GetPaletteCount()) {
        palette[index] = colour;
        m_info.lastColorValid = false;
    }
}

void CxImage::SetPaletteColor(uint32_t index, uint32_t packedRgb) {
    SetPaletteColor(index, RGBQuad{static_cast<uint8_t>(packedRgb >> 16), static_cast<uint8_t>(packedRgb >> 8),
                                   static_cast<uint8_t>(packedRgb), 0});
}

void CxImage::SetPalette(const RGBQuad* entries, uint32_t count) {
    RGBQuad* palette = GetPalette();
    if (!palette || !entries) return;
    std::memcpy(palette, entries, std::min(GetPaletteCount(), count) * sizeof(RGBQuad));
    m_info.lastColorValid = false;
}

void CxImage::SetGrayPalette() {
    RGBQuad* palette = GetPalette();
    const uint32_t n = GetPaletteCount();
    if (!palette || n < 2) return;
    const uint32_t step = 255 / (n - 1);
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t v = static_cast<uint8_t>(i * step);
        palette[i] = RGBQuad{v, v, v, 0};
    }
    m_info.lastColorValid = false;
}

bool CxImage::IsGreyPalette() const {
    const RGBQuad* palette = GetPalette();
    if (!palette) return false;
    for (uint32_t i = 0; i < GetPaletteCount(); ++i) {
        if (palette[i].rgbBlue != i || palette[i].rgbGreen != i || palette[i].rgbRed != i) return false;
    }
    return true;
}

uint8_t CxImage::NearestPaletteIndex(RGBQuad colour) {
    const RGBQuad* palette = GetPalette();
    if (!palette) return 0;
    if (m_info.lastColorValid && m_info.lastColor.rgbBlue == colour.rgbBlue &&
        m_info.lastColor.rgbGreen == colour.rgbGreen && m_info.lastColor.rgbRed == colour.rgbRed) {
        return m_info.lastColorIndex;
    }
    uint32_t n = m_head.biClrImportant ? m_head.biClrImportant : GetPaletteCount();
    n = std::min(n, GetPaletteCount());
    int64_t best = 200000;
    uint32_t bestIndex = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const int64_t db = int64_t(palette[i].rgbBlue) - colour.rgbBlue;
        const int64_t dg = int64_t(palette[i].rgbGreen) - colour.rgbGreen;
        const int64_t dr = int64_t(palette[i].rgbRed) - colour.rgbRed;
        const int64_t d = db * db + dg * dg + dr * dr;
        if (d == 0) {
            bestIndex = i;
            break;
        }
        if (d < best) {
            best = d;
            bestIndex = i;
        }
    }
    m_info.lastColor = colour;
    m_info.lastColorIndex = static_cast<uint8_t>(bestIndex);
    m_info.lastColorValid = true;
    return static_cast<uint8_t>(bestIndex);
}

uint8_t CxImage::GetPixelIndexUnchecked(int64_t x, int64_t y) const {
    const uint8_t* row = PixelBlock() + static_cast<uint64_t>(y) * m_info.effWidth;
    switch (GetBpp()) {
    case 8: return row[x];
    case 4: {
        const uint8_t b = row[x >> 1];
        return (x & 1) ? (b & 0x0F) : static_cast<uint8_t>(b >> 4);
    }
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    default: return 0;
    }
}

uint8_t CxImage::GetPixelIndex(int64_t x, int64_t y) const {
    if (!m_dib || GetPaletteCount() == 0) return 0;
    if (!Contains(x, y)) {
        if (m_info.transparentIndex >= 0) return static_cast<uint8_t>(m_info.transparentIndex);
        return *PixelBlock();
    }
    return GetPixelIndexUnchecked(x, y);
}

void CxImage::SetPixelIndexUnchecked(int64_t x, int64_t y, uint8_t index) {
    uint8_t* row = PixelBlock() + static_cast<uint64_t>(y) * m_info.effWidth;
    switch (GetBpp()) {
    case 8: row[x] = index; break;
    case 4: {
        uint8_t& b = row[x >> 1];
        if (x & 1) b = static_cast<uint8_t>((b & 0xF0) | (index & 0x0F));
        else b = static_cast<uint8_t>((b & 0x0F) | ((index & 0x0F) << 4));
        break;
    }
    case 1: {
        uint8_t& b = row[x >> 3];
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (x & 7));
        b = (index & 1) ? (b | mask) : (b & static_cast<uint8_t>(~mask));
        break;
    }
    default: break;
    }
}

void CxImage::SetPixelIndex(int64_t x, int64_t y, uint8_t index) {
    if (!m_dib || GetPaletteCount() == 0 || !Contains(x, y)) return;
    SetPixelIndexUnchecked(x, y, index);
}

RGBQuad CxImage::GetPixelColorUnchecked(int64_t x, int64_t y, bool withAlpha) const {
    RGBQuad colour;
    if (GetPaletteCount() > 0) {
        colour = GetPaletteColor(GetPixelIndexUnchecked(x, y));
    } else {
        const uint8_t* p = PixelBlock() + static_cast<uint64_t>(y) * m_info.effWidth + 3 * x;
        colour = RGBQuad{p[0], p[1], p[2], m_info.transparentColor.rgbReserved};
    }
    if (withAlpha && m_alpha) colour.rgbReserved = GetAlphaUnchecked(x, y);
    return colour;
}

RGBQuad CxImage::GetPixelColor(int64_t x, int64_t y, bool withAlpha) const {
    if (!m_dib) return RGBQuad{0, 0, 0, 0};
    if (!Contains(x, y)) {
        if (m_info.transparentIndex >= 0) return GetTransparentColor();
        return GetPixelColorUnchecked(0, 0, withAlpha);
    }
    return GetPixelColorUnchecked(x, y, withAlpha);
}

void CxImage::SetPixelColor(int64_t x, int64_t y, RGBQuad colour, bool setAlpha) {
    if (!m_dib || !Contains(x, y)) return;
    if (GetPaletteCount() > 0) {
        SetPixelIndexUnchecked(x, y, NearestPaletteIndex(colour));
    } else {
        uint8_t* p = PixelBlock() + static_cast<uint64_t>(y) * m_info.effWidth + 3 * x;
        p[0] = colour.rgbBlue;
        p[1] = colour.rgbGreen;
        p[2] = colour.rgbRed;
    }
    if (setAlpha && m_alpha) m_alpha[static_cast<uint64_t>(y) * GetWidth() + x] = colour.rgbReserved;
}

void CxImage::SwapRedBlue(uint8_t* buffer, uint64_t length) const {
    if (!buffer || GetPaletteCount() > 0) return;
    length = std::min<uint64_t>({length, m_info.effWidth, 3ull * GetWidth()});
    for (uint64_t i = 0; i + 2 < length; i += 3) std::swap(buffer[i], buffer[i + 2]);
}

int32_t CxImage::CompareLuminance(const RGBQuad& a, const RGBQuad& b) {
    const int32_t la = (117 * a.rgbBlue + 601 * a.rgbGreen + 306 * a.rgbRed) / 1024;
    const int32_t lb = (117 * b.rgbBlue + 601 * b.rgbGreen + 306 * b.rgbRed) / 1024;
    return la - lb;
}

// ---------------------------------------------------------------------------------------------
// Selection mask and alpha plane (width x height bytes each, rows as the pixel rows)
// ---------------------------------------------------------------------------------------------

namespace {

void flipPlane(uint8_t* plane, uint32_t width, uint32_t height) {
    for (uint32_t k = 0; k < height / 2; ++k) {
        uint8_t* a = plane + static_cast<uint64_t>(k) * width;
        uint8_t* b = plane + static_cast<uint64_t>(height - 1 - k) * width;
        std::swap_ranges(a, a + width, b);
    }
}

} // namespace

bool CxImage::CopyPlane(const CxImage& source, const uint8_t* from, uint8_t*& plane, CxBytes& owned) {
    if (!from || source.GetWidth() != GetWidth() || source.GetHeight() != GetHeight()) return false;
    const size_t n = static_cast<size_t>(GetWidth()) * GetHeight();
    if (!plane) {
        owned = cxAllocate(n);
        plane = owned.get();
    }
    if (!plane) return false;
    std::memcpy(plane, from, n);
    return true;
}

bool CxImage::CopySelection(const CxImage& source) {
    if (!CopyPlane(source, source.m_selection, m_selection, m_owned.selection)) return false;
    m_info.selectionBox = source.m_info.selectionBox;
    return true;
}

bool CxImage::DeleteSelection() {
    m_owned.selection.reset();
    m_selection = nullptr;
    m_info.selectionBox = CxRect{0, static_cast<int32_t>(GetHeight()), static_cast<int32_t>(GetWidth()), 0};
    return true;
}

bool CxImage::FlipSelection() {
    if (!m_selection) return false;
    flipPlane(m_selection, GetWidth(), GetHeight());
    const int32_t h = static_cast<int32_t>(GetHeight());
    const int32_t top = m_info.selectionBox.top;
    m_info.selectionBox.top = h - m_info.selectionBox.bottom;
    m_info.selectionBox.bottom = h - top;
    return true;
}

bool CxImage::CreateAlpha() {
    if (!m_dib) return false;
    if (m_alpha) return true;
    const size_t n = static_cast<size_t>(GetWidth()) * GetHeight();
    m_owned.alpha = cxAllocate(n);
    if (!m_owned.alpha) return false;
    m_alpha = m_owned.alpha.get();
    std::memset(m_alpha, 255, n);
    return true;
}

void CxImage::DeleteAlpha() {
    m_owned.alpha.reset();
    m_alpha = nullptr;
}

bool CxImage::CopyAlpha(const CxImage& source) {
    if (!CopyPlane(source, source.m_alpha, m_alpha, m_owned.alpha)) return false;
    m_info.alphaMax = source.m_info.alphaMax;
    return true;
}

bool CxImage::FlipAlpha() {
    if (!m_alpha) return false;
    flipPlane(m_alpha, GetWidth(), GetHeight());
    return true;
}

uint8_t CxImage::GetAlpha(int64_t x, int64_t y) const {
    if (!m_alpha || !Contains(x, y)) return 0;
    return GetAlphaUnchecked(x, y);
}

uint8_t CxImage::GetAlphaUnchecked(int64_t x, int64_t y) const {
    return m_alpha[static_cast<uint64_t>(y) * GetWidth() + x];
}

void CxImage::SetAlpha(int64_t x, int64_t y, uint8_t alpha) {
    if (m_alpha && Contains(x, y)) m_alpha[static_cast<uint64_t>(y) * GetWidth() + x] = alpha;
}

bool CxImage::PaletteHasAlpha() const {
    const RGBQuad* palette = GetPalette();
    if (!palette) return false;
    for (uint32_t i = 0; i < GetPaletteCount(); ++i) {
        if (palette[i].rgbReserved != 0) return true;
    }
    return false;
}

uint8_t* CxImage::AlphaAt(int64_t x, int64_t y) const {
    if (!m_alpha || !Contains(x, y)) return nullptr;
    return m_alpha + static_cast<uint64_t>(y) * GetWidth() + x;
}

} // namespace qx::imageout
