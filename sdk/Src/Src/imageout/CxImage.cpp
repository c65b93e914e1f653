// CxImage lifecycle, copying, views, frames and per-image settings. Pixel storage is in
// CxImageStorage.cpp, palette and pixel access in CxImagePixels.cpp, the format dispatch in
// CxImageEncode.cpp.
#include "imageout/CxImage.h"

#include <cmath>
#include <cstring>

namespace qx::imageout {

namespace {

bool hostIsLittleEndian() {
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

CxImage::CxImage(uint32_t width, uint32_t height, uint32_t bpp, uint32_t imageType) {
    ResetInfo(imageType);
    Create(width, height, bpp, imageType);
}

CxImage::CxImage(const CxImage& source) {
    ResetInfo(0);
    CopyFrom(source);
}

CxImage& CxImage::operator=(const CxImage& source) {
    if (this != &source) CopyFrom(source);
    return *this;
}

CxImage::~CxImage() {
    DeleteFrames();
    Clear();
}

void CxImage::ResetInfo(uint32_t imageType) {
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

void CxImage::Detach() {
    m_dib = nullptr;
    m_selection = nullptr;
    m_alpha = nullptr;
    m_parent = nullptr;
}

bool CxImage::Clear() {
    if (m_parent) return false;
    m_owned.layers.clear();
    m_owned.selection.reset();
    m_selection = nullptr;
    m_owned.alpha.reset();
    m_alpha = nullptr;
    m_owned.dib.reset();
    m_dib = nullptr;
    m_head.biWidth = 0;
    m_head.biHeight = 0;
    m_head.biSizeImage = 0;
    m_head.biClrUsed = 0;
    m_info.effWidth = 0;
    return true;
}

bool CxImage::DeleteFrames() {
    if (m_parent) return false;
    m_owned.frames.clear();
    return true;
}

void CxImage::CopyFrom(const CxImage& source, bool copyPixels, bool copySelection, bool copyAlpha) {
    if (&source == this) return;
    if (m_parent) {
        Detach(); // a view never frees what it shares
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
    // Create left this image without mask or alpha plane; a plane that cannot be allocated
    // stays absent.
    if (copySelection) CopyPlane(source, source.m_selection, m_selection, m_owned.selection);
    if (copyAlpha) CopyPlane(source, source.m_alpha, m_alpha, m_owned.alpha);
}

bool CxImage::TakeOver(CxImage& source, bool withFrames) {
    if (&source == this || m_parent || source.m_parent) return false;
    if (withFrames) DeleteFrames();
    Clear();
    m_head = source.m_head;
    m_info = source.m_info;
    m_owned.dib = std::move(source.m_owned.dib);
    m_owned.selection = std::move(source.m_owned.selection);
    m_owned.alpha = std::move(source.m_owned.alpha);
    m_owned.layers = std::move(source.m_owned.layers);
    source.m_owned.layers.clear();
    m_dib = m_owned.dib.get();
    m_selection = m_owned.selection.get();
    m_alpha = m_owned.alpha.get();
    source.m_dib = nullptr;
    source.m_selection = nullptr;
    source.m_alpha = nullptr;
    if (withFrames) {
        m_owned.frames = std::move(source.m_owned.frames);
        source.m_owned.frames.clear();
    }
    source.Clear();
    return true;
}

void CxImage::ShareFrom(const CxImage& source) {
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
    m_parent = &source;
}

void CxImage::CopySettings(const CxImage& source) {
    if (!m_dib) m_info = source.m_info;
}

CxImage* CxImage::GetFrame(int32_t index) const {
    const ImageList& frames = Frames();
    if (index < 0 || static_cast<size_t>(index) >= frames.size()) return nullptr;
    return frames[static_cast<size_t>(index)].get();
}

bool CxImage::AddFrame(const CxImage& frame) {
    if (m_parent) return false;
    std::unique_ptr<CxImage> copy = cxMakeUnique<CxImage>(frame);
    if (!copy) return false;
    try {
        m_owned.frames.push_back(std::move(copy));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------------------------

uint8_t CxImage::GetJpegQuality() const { return static_cast<uint8_t>(m_info.jpegQuality + 0.5f); }

void CxImage::SetJpegQuality(uint8_t quality) { m_info.jpegQuality = quality; }

void CxImage::SetDpiX(int32_t dpi) {
    if (dpi < 1) dpi = 96;
    m_info.dpiX = dpi;
    m_head.biXPelsPerMeter = pelsPerMeter(dpi);
    if (m_dib) reinterpret_cast<BitmapInfoHeader*>(m_dib)->biXPelsPerMeter = m_head.biXPelsPerMeter;
}

void CxImage::SetDpiY(int32_t dpi) {
    if (dpi < 1) dpi = 96;
    m_info.dpiY = dpi;
    m_head.biYPelsPerMeter = pelsPerMeter(dpi);
    if (m_dib) reinterpret_cast<BitmapInfoHeader*>(m_dib)->biYPelsPerMeter = m_head.biYPelsPerMeter;
}

void CxImage::SetTransparentIndex(int32_t index) {
    m_info.transparentIndex = index < static_cast<int64_t>(GetPaletteCount()) ? index : 0;
}

RGBQuad CxImage::GetTransparentColor() const {
    if (GetBpp() < 24 && m_info.transparentIndex >= 0) {
        return GetPaletteColor(static_cast<uint32_t>(m_info.transparentIndex));
    }
    return m_info.transparentColor;
}

int CxImage::FormatSlotIndex(uint32_t format) {
    if (format >= 1 && format <= 3) return static_cast<int>(format);
    if (format >= 5 && format <= 15) return static_cast<int>(format) - 1;
    if (format >= 17 && format <= 20) return static_cast<int>(format) - 2;
    return 0;
}

uint32_t CxImage::GetFormatOption(uint32_t format) const {
    int slot = FormatSlotIndex(format);
    if (slot == 0) slot = FormatSlotIndex(m_info.type);
    return m_info.codecOptions[slot];
}

void CxImage::GetOffset(int32_t* left, int32_t* top) const {
    if (left) *left = m_info.frameLeft;
    if (top) *top = m_info.frameTop;
}

} // namespace qx::imageout
