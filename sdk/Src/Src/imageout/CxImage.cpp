#include "imageout/CxImage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr float kMaxMemory = 327444480.0f;

bool hostIsLittleEndian()
{
    const uint16_t probe = 1;
    uint8_t first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

int32_t pelsPerMeter(int32_t dpi) { return static_cast<int32_t>(std::floor(dpi * 10000.0 / 254.0 + 0.5)); }

} // namespace

// ---------------------------------------------------------------------------------------------
// Lifecycle and copying
// ---------------------------------------------------------------------------------------------

CxImage::CxImage(uint32_t imageType) { ResetInfo(imageType); }

CxImage::CxImage(uint32_t width, uint32_t height, uint32_t bpp, uint32_t imageType)
{
    ResetInfo(imageType);
    Create(width, height, bpp, imageType);
}

CxImage::CxImage(const CxImage& source)
{
    ResetInfo(0);
    CopyFrom(source, true, true, true);
}

CxImage& CxImage::operator=(const CxImage& source)
{
    if (this != &source) CopyFrom(source, true, true, true);
    return *this;
}

CxImage::~CxImage()
{
    DeleteFrames();
    Clear();
}

void CxImage::ResetInfo(uint32_t imageType)
{
    std::memset(&m_info, 0, sizeof(m_info));
    m_info.type = imageType;
    m_info.jpegQuality = 90.0f;
    m_info.alphaMax = 255;
    m_info.transparentIndex = -1;
    m_info.alphaPaletteEnabled = true;
    m_info.enabled = true;
    m_info.littleEndianHost = hostIsLittleEndian();
    m_head.biSize = sizeof(BitmapInfoHeader);
    SetDpiX(96);
    SetDpiY(96);
}

void CxImage::Detach()
{
    m_dib = nullptr;
    m_selection = nullptr;
    m_alpha = nullptr;
    m_layers = nullptr;
    m_numLayers = 0;
    m_frames = nullptr;
    m_numFrames = 0;
    m_parent = nullptr;
}

bool CxImage::Clear()
{
    if (m_parent) return false;
    if (m_layers) {
        for (int32_t i = 0; i < m_numLayers; ++i) delete m_layers[i];
        delete[] m_layers;
        m_layers = nullptr;
        m_numLayers = 0;
    }
    std::free(m_selection);
    m_selection = nullptr;
    std::free(m_alpha);
    m_alpha = nullptr;
    std::free(m_dib);
    m_dib = nullptr;
    m_head.biWidth = 0;
    m_head.biHeight = 0;
    m_head.biSizeImage = 0;
    m_head.biClrUsed = 0;
    m_info.effWidth = 0;
    return true;
}

bool CxImage::DeleteFrames()
{
    if (m_parent) return false;
    if (m_frames) {
        for (int32_t i = 0; i < m_numFrames; ++i) delete m_frames[i];
        delete[] m_frames;
        m_frames = nullptr;
    }
    m_numFrames = 0;
    return true;
}

void CxImage::CopyFrom(const CxImage& source, bool copyPixels, bool copySelection, bool copyAlpha)
{
    if (&source == this) return;
    if (m_parent) {
        Detach();  // a view never frees what it shares
    }
    if (source.m_parent) {
        ShareFrom(source);
        return;
    }
    m_info = source.m_info;
    m_head = source.m_head;
    if (!source.m_dib) {
        Clear();
        m_head = source.m_head;
        return;
    }
    if (!Create(source.GetWidth(), source.GetHeight(), source.GetBpp(), source.GetImageType())) return;
    if (copyPixels) {
        std::memcpy(m_dib, source.m_dib, static_cast<size_t>(GetDibSize()));
    } else if (source.GetPaletteCount() > 0) {
        std::memcpy(GetPalette(), source.GetPalette(), GetPaletteSize());
    }
    // The header block follows our settings (resolution included).
    std::memcpy(m_dib, &m_head, sizeof(m_head));
    const size_t planeBytes = static_cast<size_t>(GetWidth()) * GetHeight();
    if (copySelection && source.m_selection) {
        m_selection = static_cast<uint8_t*>(std::malloc(planeBytes));
        if (m_selection) std::memcpy(m_selection, source.m_selection, planeBytes);
    }
    if (copyAlpha && source.m_alpha) {
        m_alpha = static_cast<uint8_t*>(std::malloc(planeBytes));
        if (m_alpha) std::memcpy(m_alpha, source.m_alpha, planeBytes);
    }
}

bool CxImage::TakeOver(CxImage& source, bool withFrames)
{
    if (&source == this || m_parent || source.m_parent) return false;
    if (withFrames) DeleteFrames();
    Clear();
    m_head = source.m_head;
    m_info = source.m_info;
    m_dib = source.m_dib;
    m_selection = source.m_selection;
    m_alpha = source.m_alpha;
    m_layers = source.m_layers;
    m_numLayers = source.m_numLayers;
    source.m_dib = nullptr;
    source.m_selection = nullptr;
    source.m_alpha = nullptr;
    source.m_layers = nullptr;
    source.m_numLayers = 0;
    if (withFrames) {
        m_frames = source.m_frames;
        m_numFrames = source.m_numFrames;
        source.m_frames = nullptr;
        source.m_numFrames = 0;
    }
    source.Clear();
    return true;
}

void CxImage::ShareFrom(const CxImage& source)
{
    if (&source == this) return;
    if (m_parent) {
        Detach();
    } else {
        DeleteFrames();
        Clear();
    }
    m_head = source.m_head;
    m_info = source.m_info;
    m_dib = source.m_dib;
    m_selection = source.m_selection;
    m_alpha = source.m_alpha;
    m_layers = source.m_layers;
    m_numLayers = source.m_numLayers;
    m_frames = source.m_frames;
    m_numFrames = source.m_numFrames;
    m_parent = &source;
}

void CxImage::CopySettings(const CxImage& source)
{
    if (!m_dib) m_info = source.m_info;
}

CxImage* CxImage::GetFrame(int32_t index) const
{
    if (!m_frames || index < 0 || index >= m_numFrames) return nullptr;
    return m_frames[index];
}

bool CxImage::AddFrame(const CxImage& frame)
{
    if (m_parent) return false;
    CxImage* copy = new (std::nothrow) CxImage(frame);
    if (!copy) return false;
    CxImage** grown = new (std::nothrow) CxImage*[static_cast<size_t>(m_numFrames) + 1];
    if (!grown) {
        delete copy;
        return false;
    }
    for (int32_t i = 0; i < m_numFrames; ++i) grown[i] = m_frames[i];
    grown[m_numFrames] = copy;
    delete[] m_frames;
    m_frames = grown;
    ++m_numFrames;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Pixel storage
// ---------------------------------------------------------------------------------------------

void CxImage::SetError(const char* text)
{
    std::snprintf(m_info.lastError, sizeof(m_info.lastError), "%s", text);
}

bool CxImage::CheckEncodeArguments(CxFile* stream)
{
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

uint8_t* CxImage::PixelBlock() const
{
    return m_dib ? m_dib + m_head.biSize + GetPaletteSize() : nullptr;
}

void* CxImage::Create(uint32_t width, uint32_t height, uint32_t bpp, uint32_t imageType)
{
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
        width > static_cast<uint32_t>(INT32_MAX) || height > static_cast<uint32_t>(INT32_MAX) ||
        dibSize > UINT32_MAX) {
        SetError("CXIMAGE_MAX_MEMORY exceeded");
        return nullptr;
    }

    // The whole block starts zeroed: row padding never carries old memory into a file.
    uint8_t* block = static_cast<uint8_t*>(std::calloc(1, static_cast<size_t>(dibSize)));
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
    m_dib = block;
    std::memcpy(m_dib, &m_head, sizeof(m_head));
    return m_dib;
}

bool CxImage::CreateFromArray(const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t bpp,
                              uint32_t lineBytes, bool flip)
{
    if (!pixels) return false;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24 && bpp != 32) return false;
    const uint32_t storedBpp = bpp == 32 ? 24 : bpp;
    if (!m_dib || storedBpp != GetBpp() || width != GetWidth() || height != GetHeight()) {
        if (!Create(width, height, bpp, 0)) return false;
    }
    if (bpp < 24) SetGrayPalette();
    if (bpp == 32 && !CreateAlpha()) return false;

    const uint32_t eff = GetEffWidth();
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

uint8_t* CxImage::GetBits(uint32_t row) const
{
    if (!m_dib || row >= GetHeight()) return nullptr;
    return PixelBlock() + static_cast<uint64_t>(row) * m_info.effWidth;
}

uint64_t CxImage::GetDibSize() const
{
    return static_cast<uint64_t>(GetPaletteSize()) + m_head.biSizeImage + m_head.biSize;
}

bool CxImage::Contains(int64_t x, int64_t y) const
{
    return x >= 0 && y >= 0 && x < static_cast<int64_t>(GetWidth()) && y < static_cast<int64_t>(GetHeight());
}

uint8_t CxImage::GetJpegQuality() const { return static_cast<uint8_t>(m_info.jpegQuality + 0.5f); }

void CxImage::SetJpegQuality(uint8_t quality) { m_info.jpegQuality = quality; }

void CxImage::SetDpiX(int32_t dpi)
{
    if (dpi < 1) dpi = 96;
    m_info.dpiX = dpi;
    m_head.biXPelsPerMeter = pelsPerMeter(dpi);
    if (m_dib) reinterpret_cast<BitmapInfoHeader*>(m_dib)->biXPelsPerMeter = m_head.biXPelsPerMeter;
}

void CxImage::SetDpiY(int32_t dpi)
{
    if (dpi < 1) dpi = 96;
    m_info.dpiY = dpi;
    m_head.biYPelsPerMeter = pelsPerMeter(dpi);
    if (m_dib) reinterpret_cast<BitmapInfoHeader*>(m_dib)->biYPelsPerMeter = m_head.biYPelsPerMeter;
}

void CxImage::SetTransparentIndex(int32_t index)
{
    m_info.transparentIndex = index < static_cast<int64_t>(GetPaletteCount()) ? index : 0;
}

RGBQuad CxImage::GetTransparentColor() const
{
    if (GetBpp() < 24 && m_info.transparentIndex >= 0) {
        return GetPaletteColor(static_cast<uint32_t>(m_info.transparentIndex));
    }
    return m_info.transparentColor;
}

int CxImage::FormatSlotIndex(uint32_t format)
{
    if (format >= 1 && format <= 3) return static_cast<int>(format);
    if (format >= 5 && format <= 15) return static_cast<int>(format) - 1;
    if (format >= 17 && format <= 20) return static_cast<int>(format) - 2;
    return 0;
}

uint32_t CxImage::GetFormatOption(uint32_t format) const
{
    int slot = FormatSlotIndex(format);
    if (slot == 0) slot = FormatSlotIndex(m_info.type);
    return m_info.codecOptions[slot];
}

void CxImage::SetFormatOption(uint32_t option, uint32_t format)
{
    int slot = FormatSlotIndex(format);
    if (slot == 0) slot = FormatSlotIndex(m_info.type);
    m_info.codecOptions[slot] = option;
}

void CxImage::GetOffset(int32_t* left, int32_t* top) const
{
    if (left) *left = m_info.frameLeft;
    if (top) *top = m_info.frameTop;
}

// ---------------------------------------------------------------------------------------------
// Palette and pixels
// ---------------------------------------------------------------------------------------------

RGBQuad* CxImage::GetPalette() const
{
    if (!m_dib || GetPaletteCount() == 0) return nullptr;
    return reinterpret_cast<RGBQuad*>(m_dib + m_head.biSize);
}

RGBQuad CxImage::GetPaletteColor(uint32_t index) const
{
    RGBQuad colour{0, 0, 0, 0};
    const RGBQuad* palette = GetPalette();
    if (palette && index < GetPaletteCount()) colour = palette[index];
    return colour;
}

bool CxImage::GetPaletteColor(uint32_t index, uint8_t* r, uint8_t* g, uint8_t* b) const
{
    const RGBQuad* palette = GetPalette();
    if (!palette) return false;
    const RGBQuad colour = GetPaletteColor(index);
    if (r) *r = colour.rgbRed;
    if (g) *g = colour.rgbGreen;
    if (b) *b = colour.rgbBlue;
    return true;
}

void CxImage::SetPaletteColor(uint32_t index, uint8_t r, uint8_t g, uint8_t b, uint8_t alpha)
{
    SetPaletteColor(index, RGBQuad{b, g, r, alpha});
}

void CxImage::SetPaletteColor(uint32_t index, RGBQuad colour)
{
    RGBQuad* palette = GetPalette();
    if (palette && index < GetPaletteCount()) {
        palette[index] = colour;
        m_info.lastColorValid = false;
    }
}

void CxImage::SetPaletteColor(uint32_t index, uint32_t packedRgb)
{
    SetPaletteColor(index, RGBQuad{static_cast<uint8_t>(packedRgb >> 16), static_cast<uint8_t>(packedRgb >> 8),
                                   static_cast<uint8_t>(packedRgb), 0});
}

void CxImage::SetPalette(const RGBQuad* entries, uint32_t count)
{
    RGBQuad* palette = GetPalette();
    if (!palette || !entries) return;
    std::memcpy(palette, entries, std::min(GetPaletteCount(), count) * sizeof(RGBQuad));
    m_info.lastColorValid = false;
}

void CxImage::SetGrayPalette()
{
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

bool CxImage::IsGreyPalette() const
{
    const RGBQuad* palette = GetPalette();
    if (!palette) return false;
    for (uint32_t i = 0; i < GetPaletteCount(); ++i) {
        if (palette[i].rgbBlue != i || palette[i].rgbGreen != i || palette[i].rgbRed != i) return false;
    }
    return true;
}

uint8_t CxImage::NearestPaletteIndex(RGBQuad colour)
{
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

uint8_t CxImage::GetPixelIndexUnchecked(int64_t x, int64_t y) const
{
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

uint8_t CxImage::GetPixelIndex(int64_t x, int64_t y) const
{
    if (!m_dib || GetPaletteCount() == 0) return 0;
    if (!Contains(x, y)) {
        if (m_info.transparentIndex >= 0) return static_cast<uint8_t>(m_info.transparentIndex);
        return *PixelBlock();
    }
    return GetPixelIndexUnchecked(x, y);
}

void CxImage::SetPixelIndexUnchecked(int64_t x, int64_t y, uint8_t index)
{
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

void CxImage::SetPixelIndex(int64_t x, int64_t y, uint8_t index)
{
    if (!m_dib || GetPaletteCount() == 0 || !Contains(x, y)) return;
    SetPixelIndexUnchecked(x, y, index);
}

RGBQuad CxImage::GetPixelColorUnchecked(int64_t x, int64_t y, bool withAlpha) const
{
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

RGBQuad CxImage::GetPixelColor(int64_t x, int64_t y, bool withAlpha) const
{
    if (!m_dib) return RGBQuad{0, 0, 0, 0};
    if (!Contains(x, y)) {
        if (m_info.transparentIndex >= 0) return GetTransparentColor();
        return GetPixelColorUnchecked(0, 0, withAlpha);
    }
    return GetPixelColorUnchecked(x, y, withAlpha);
}

void CxImage::SetPixelColor(int64_t x, int64_t y, RGBQuad colour, bool setAlpha)
{
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

void CxImage::SwapRedBlue(uint8_t* buffer, uint64_t length) const
{
    if (!buffer || GetPaletteCount() > 0) return;
    length = std::min<uint64_t>({length, m_info.effWidth, 3ull * GetWidth()});
    for (uint64_t i = 0; i + 2 < length; i += 3) std::swap(buffer[i], buffer[i + 2]);
}

int32_t CxImage::CompareLuminance(const RGBQuad& a, const RGBQuad& b)
{
    const int32_t la = (117 * a.rgbBlue + 601 * a.rgbGreen + 306 * a.rgbRed) / 1024;
    const int32_t lb = (117 * b.rgbBlue + 601 * b.rgbGreen + 306 * b.rgbRed) / 1024;
    return la - lb;
}

// ---------------------------------------------------------------------------------------------
// Selection and alpha
// ---------------------------------------------------------------------------------------------

namespace {

void flipPlane(uint8_t* plane, uint32_t width, uint32_t height)
{
    for (uint32_t k = 0; k < height / 2; ++k) {
        uint8_t* a = plane + static_cast<uint64_t>(k) * width;
        uint8_t* b = plane + static_cast<uint64_t>(height - 1 - k) * width;
        std::swap_ranges(a, a + width, b);
    }
}

} // namespace

bool CxImage::CopySelection(const CxImage& source)
{
    if (!source.m_selection || source.GetWidth() != GetWidth() || source.GetHeight() != GetHeight()) return false;
    const size_t n = static_cast<size_t>(GetWidth()) * GetHeight();
    if (!m_selection) m_selection = static_cast<uint8_t*>(std::malloc(n));
    if (!m_selection) return false;
    std::memcpy(m_selection, source.m_selection, n);
    m_info.selectionBox = source.m_info.selectionBox;
    return true;
}

bool CxImage::DeleteSelection()
{
    std::free(m_selection);
    m_selection = nullptr;
    m_info.selectionBox = CxRect{0, static_cast<int32_t>(GetHeight()), static_cast<int32_t>(GetWidth()), 0};
    return true;
}

bool CxImage::FlipSelection()
{
    if (!m_selection) return false;
    flipPlane(m_selection, GetWidth(), GetHeight());
    const int32_t h = static_cast<int32_t>(GetHeight());
    const int32_t top = m_info.selectionBox.top;
    m_info.selectionBox.top = h - m_info.selectionBox.bottom;
    m_info.selectionBox.bottom = h - top;
    return true;
}

bool CxImage::CreateAlpha()
{
    if (!m_dib) return false;
    if (m_alpha) return true;
    const size_t n = static_cast<size_t>(GetWidth()) * GetHeight();
    m_alpha = static_cast<uint8_t*>(std::malloc(n));
    if (!m_alpha) return false;
    std::memset(m_alpha, 255, n);
    return true;
}

void CxImage::DeleteAlpha()
{
    std::free(m_alpha);
    m_alpha = nullptr;
}

bool CxImage::CopyAlpha(const CxImage& source)
{
    if (!source.m_alpha || source.GetWidth() != GetWidth() || source.GetHeight() != GetHeight()) return false;
    const size_t n = static_cast<size_t>(GetWidth()) * GetHeight();
    if (!m_alpha) m_alpha = static_cast<uint8_t*>(std::malloc(n));
    if (!m_alpha) return false;
    std::memcpy(m_alpha, source.m_alpha, n);
    m_info.alphaMax = source.m_info.alphaMax;
    return true;
}

bool CxImage::FlipAlpha()
{
    if (!m_alpha) return false;
    flipPlane(m_alpha, GetWidth(), GetHeight());
    return true;
}

uint8_t CxImage::GetAlphaUnchecked(int64_t x, int64_t y) const
{
    return m_alpha[static_cast<uint64_t>(y) * GetWidth() + x];
}

uint8_t CxImage::GetAlpha(int64_t x, int64_t y) const
{
    if (!m_alpha || !Contains(x, y)) return 0;
    return GetAlphaUnchecked(x, y);
}

void CxImage::SetAlpha(int64_t x, int64_t y, uint8_t alpha)
{
    if (m_alpha && Contains(x, y)) m_alpha[static_cast<uint64_t>(y) * GetWidth() + x] = alpha;
}

uint8_t* CxImage::AlphaAt(int64_t x, int64_t y) const
{
    if (!m_alpha || !Contains(x, y)) return nullptr;
    return m_alpha + static_cast<uint64_t>(y) * GetWidth() + x;
}

bool CxImage::PaletteHasAlpha() const
{
    const RGBQuad* palette = GetPalette();
    if (!palette) return false;
    for (uint32_t i = 0; i < GetPaletteCount(); ++i) {
        if (palette[i].rgbReserved != 0) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Format conversion
// ---------------------------------------------------------------------------------------------

bool CxImage::Flip(bool flipSelection, bool flipAlpha)
{
    if (!m_dib) return false;
    const uint32_t eff = m_info.effWidth;
    uint8_t* scratch = new (std::nothrow) uint8_t[eff];
    if (!scratch) return false;
    const uint32_t h = GetHeight();
    for (uint32_t k = 0; k < h / 2; ++k) {
        uint8_t* a = GetBits(k);
        uint8_t* b = GetBits(h - 1 - k);
        std::memcpy(scratch, a, eff);
        std::memcpy(a, b, eff);
        std::memcpy(b, scratch, eff);
    }
    delete[] scratch;
    if (flipSelection) FlipSelection();
    if (flipAlpha) FlipAlpha();
    return true;
}

bool CxImage::RaiseBitDepth(uint32_t bpp)
{
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
        if (m_info.transparentIndex >= 0) raised.SetTransparentColor(GetTransparentColor());
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
