// CxImage: the in-memory image of the image output (a device-independent bitmap with an optional
// palette, selection mask, alpha plane, layers and frames, plus per-image settings).
//
// Usage (8-bit grey frame to JPEG in memory, as the recorder does):
//
//     CxImage img(width, height, 8, CXIMAGE_FORMAT_JPG);   // pixel block zeroed
//     img.SetGrayPalette();
//     // rows are stored bottom-up: either fill GetBits(0) top line first and Flip() afterwards
//     // (width a multiple of 4: rows are then exactly `width` bytes), or copy a top-first
//     // buffer of `width`-byte lines in with CreateFromArray(buf, width, height, 8, width, true).
//     img.SetJpegQuality(80);
//     CxMemFile mem;                 // owned, growing buffer
//     mem.Open();
//     if (!img.Encode(&mem, CXIMAGE_FORMAT_JPG)) { /* img.GetErrorText() */ }
//     const uint8_t* jpeg = mem.GetBuffer(false);   // stays owned by `mem`
//     uint32_t jpegSize = mem.DataSize();
//
// Save(path, format) writes a file instead (fopen "wb"; false on any write or close failure).
// An image is used by one thread at a time; encoding different images on different threads at
// once is safe (each Encode makes its own codec object).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imageout/CxBuffer.h"
#include "imageout/CxFile.h"

namespace qx::imageout {

// Format ids of Encode and Save.
enum CxImageFormat : uint32_t {
    CXIMAGE_FORMAT_UNKNOWN = 0,
    CXIMAGE_FORMAT_BMP = 1,
    CXIMAGE_FORMAT_GIF = 2,
    CXIMAGE_FORMAT_JPG = 3,
    CXIMAGE_FORMAT_PNG = 4, // not encoded through Encode (the saver writes PNG itself)
    CXIMAGE_FORMAT_ICO = 5,
    CXIMAGE_FORMAT_TIF = 6,
    CXIMAGE_FORMAT_TGA = 7,
    CXIMAGE_FORMAT_PCX = 8,
    CXIMAGE_FORMAT_WBMP = 9,
    CXIMAGE_FORMAT_WMF = 10,
    CXIMAGE_FORMAT_JP2 = 11, // JPEG 2000 file
    CXIMAGE_FORMAT_JPC = 12, // JPEG 2000 codestream
    CXIMAGE_FORMAT_PGX = 13, // JPEG 2000 test image format (grey only)
    CXIMAGE_FORMAT_PNM = 14, // binary PGM or PPM
    CXIMAGE_FORMAT_RAS = 15, // Sun raster
    CXIMAGE_FORMAT_JBG = 16, // not encoded
    CXIMAGE_FORMAT_MNG = 17,
    CXIMAGE_FORMAT_SKA = 18,
    CXIMAGE_FORMAT_RAW = 19,
    CXIMAGE_FORMAT_PSD = 20,
};

// One palette entry or one colour, in the byte order of the DIB.
struct RGBQuad {
    uint8_t rgbBlue;
    uint8_t rgbGreen;
    uint8_t rgbRed;
    uint8_t rgbReserved;
};

// Packed colour 0x00BBGGRR.
inline uint32_t CxRGB(uint8_t r, uint8_t g, uint8_t b) { return r | (uint32_t(g) << 8) | (uint32_t(b) << 16); }

// The 40-byte BITMAPINFOHEADER that leads the DIB block (host byte order in memory).
struct BitmapInfoHeader {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
};
static_assert(sizeof(BitmapInfoHeader) == 40, "BITMAPINFOHEADER is 40 bytes");

struct CxRect {
    int32_t left, top, right, bottom;
};

// Per-format option words: slot 0 is the image's own type (see FormatSlotIndex).
constexpr int CXIMAGE_OPTION_SLOTS = 19;
constexpr int CXIMAGE_ERROR_TEXT_SIZE = 256;

// The information block: per-image settings copied with the image.
struct CxImageInfo {
    uint32_t effWidth; // bytes per stored row, a multiple of 4
    uint32_t type;     // format id, 0 when none
    char lastError[CXIMAGE_ERROR_TEXT_SIZE];
    RGBQuad lastColor; // nearest-palette-index cache
    uint8_t lastColorIndex;
    bool lastColorValid;
    int32_t transparentIndex; // -1 none
    RGBQuad transparentColor;
    float jpegQuality;
    int32_t dpiX, dpiY;
    bool abort; // tested once per row by long per-pixel loops
    uint8_t alphaMax;
    bool alphaPaletteEnabled;
    bool enabled;
    CxRect selectionBox;
    int32_t frameLeft, frameTop;
    uint32_t frameDelay;
    uint8_t disposal;
    int32_t loops; // animated GIF loop count (0: forever)
    uint32_t codecOptions[CXIMAGE_OPTION_SLOTS];
    bool littleEndianHost;
};

// A libjpeg compression object kept from one JPEG encode to the next, for a thread that
// encodes frame after frame (CxImage::EncodeJpeg): the object is set up once instead of for
// every image. One thread at a time.
class CxJpegCompressor {
public:
    CxJpegCompressor();
    ~CxJpegCompressor();
    CxJpegCompressor(const CxJpegCompressor&) = delete;
    CxJpegCompressor& operator=(const CxJpegCompressor&) = delete;

    // The pixels to compress: stored rows bottom-up, 8-bit grey or 24-bit blue-green-red.
    struct JpegImage {
        const uint8_t* pixels; // first stored row
        uint32_t effWidth;     // bytes per stored row
        uint32_t width;
        uint32_t height;
        bool grey;
        int quality;
        int dpiX;
        int dpiY;
    };
    // False with libjpeg's message in `error`; the object stays usable.
    bool compress(const JpegImage& image, CxFile* stream, char* error, size_t errorSize);

    struct State;

private:
    std::unique_ptr<State> m_state; // made on first use
};

class CxImage {
public:
    explicit CxImage(uint32_t imageType = 0);
    CxImage(uint32_t width, uint32_t height, uint32_t bpp, uint32_t imageType = 0);
    CxImage(const CxImage& source);
    CxImage& operator=(const CxImage& source);
    virtual ~CxImage();

    // Lifecycle and copying (CxImage.cpp)
    void ResetInfo(uint32_t imageType);
    bool Clear();
    bool DeleteFrames();
    // Copies settings and, as asked, pixels (else the palette only), selection mask and alpha
    // plane; never the frames. From a view, becomes a view.
    void CopyFrom(const CxImage& source, bool copyPixels = true, bool copySelection = true, bool copyAlpha = true);
    // Moves the source's blocks and layers (and frames when asked) here; the source is left empty.
    bool TakeOver(CxImage& source, bool withFrames = true);
    void ShareFrom(const CxImage& source);
    // Takes the source's settings; only while this image has no pixel block.
    void CopySettings(const CxImage& source);

    // Pixel storage (CxImageStorage.cpp)
    void* Create(uint32_t width, uint32_t height, uint32_t bpp, uint32_t imageType = 0);
    bool CreateFromArray(const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t bpp, uint32_t lineBytes,
                         bool flip);
    uint8_t* GetBits(uint32_t row = 0) const;
    uint64_t GetDibSize() const;
    bool IsValid() const { return m_dib != nullptr; }
    bool Contains(int64_t x, int64_t y) const;

    uint32_t GetWidth() const { return static_cast<uint32_t>(m_head.biWidth); }
    uint32_t GetHeight() const { return static_cast<uint32_t>(m_head.biHeight); }
    uint32_t GetBpp() const { return m_head.biBitCount; }
    // Bytes per stored row (the effective width, a multiple of 4).
    uint32_t GetLineBytes() const { return m_info.effWidth; }
    uint32_t GetPaletteCount() const { return m_head.biClrUsed; }
    uint32_t GetPaletteSize() const { return m_head.biClrUsed * 4; }
    uint32_t GetImageType() const { return m_info.type; }
    int32_t GetFrameCount() const { return static_cast<int32_t>(Frames().size()); }
    CxImage* GetFrame(int32_t index) const;
    // Appends a copy of `frame` to this image's frames (used for animated GIF output).
    bool AddFrame(const CxImage& frame);
    const char* GetErrorText() const { return m_info.lastError; }
    const BitmapInfoHeader& GetHeader() const { return m_head; }
    const CxImageInfo& GetInfo() const { return m_info; }

    // Settings (CxImage.cpp)
    uint8_t GetJpegQuality() const;
    void SetJpegQuality(uint8_t quality);
    int32_t GetDpiX() const { return m_info.dpiX; }
    int32_t GetDpiY() const { return m_info.dpiY; }
    void SetDpiX(int32_t dpi);
    void SetDpiY(int32_t dpi);
    void SetTransparentIndex(int32_t index);
    bool HasTransparentIndex() const { return m_info.transparentIndex >= 0; }
    int32_t GetTransparentIndex() const { return m_info.transparentIndex; }
    RGBQuad GetTransparentColor() const;
    uint32_t GetFormatOption(uint32_t format = 0) const;
    static int FormatSlotIndex(uint32_t format);
    void SetFrameDelay(uint32_t delay) { m_info.frameDelay = delay; }
    uint32_t GetFrameDelay() const { return m_info.frameDelay; }
    void SetOffset(int32_t left, int32_t top) {
        m_info.frameLeft = left;
        m_info.frameTop = top;
    }
    void GetOffset(int32_t* left, int32_t* top) const;
    void SetDisposalMethod(uint8_t method) { m_info.disposal = method; }
    uint8_t GetDisposalMethod() const { return m_info.disposal; }
    void SetLoops(int32_t loops) { m_info.loops = loops; }
    int32_t GetLoops() const { return m_info.loops; }
    // Makes long per-pixel loops (RaiseBitDepth) stop at the next row.
    void SetAbort(bool abort) { m_info.abort = abort; }

    // Palette, pixels, selection mask and alpha plane (CxImagePixels.cpp; x from the left, y a
    // stored row: 0 is the bottom line)
    RGBQuad* GetPalette() const;
    RGBQuad GetPaletteColor(uint32_t index) const;
    bool GetPaletteColor(uint32_t index, uint8_t* r, uint8_t* g, uint8_t* b) const;
    void SetPaletteColor(uint32_t index, uint8_t r, uint8_t g, uint8_t b, uint8_t alpha = 0);
    void SetPaletteColor(uint32_t index, RGBQuad colour);
    void SetPaletteColor(uint32_t index, uint32_t packedRgb); // CxRGB
    void SetPalette(const RGBQuad* entries, uint32_t count);
    void SetGrayPalette();
    bool IsGreyPalette() const;
    uint8_t NearestPaletteIndex(RGBQuad colour);
    uint8_t GetPixelIndex(int64_t x, int64_t y) const;
    uint8_t GetPixelIndexUnchecked(int64_t x, int64_t y) const;
    void SetPixelIndex(int64_t x, int64_t y, uint8_t index);
    void SetPixelIndexUnchecked(int64_t x, int64_t y, uint8_t index);
    RGBQuad GetPixelColor(int64_t x, int64_t y, bool withAlpha = true) const;
    RGBQuad GetPixelColorUnchecked(int64_t x, int64_t y, bool withAlpha = true) const;
    void SetPixelColor(int64_t x, int64_t y, RGBQuad colour, bool setAlpha = false);
    // Blue-green-red to red-green-blue in place (images without palette only), over at most
    // one row of pixels.
    void SwapRedBlue(uint8_t* buffer, uint64_t length) const;
    static int32_t CompareLuminance(const RGBQuad& a, const RGBQuad& b);

    bool CopySelection(const CxImage& source);
    bool DeleteSelection();
    bool FlipSelection();
    bool CreateAlpha();
    void DeleteAlpha();
    bool CopyAlpha(const CxImage& source);
    bool FlipAlpha();
    bool HasAlpha() const { return m_alpha != nullptr; }
    uint8_t GetAlpha(int64_t x, int64_t y) const;
    uint8_t GetAlphaUnchecked(int64_t x, int64_t y) const;
    void SetAlpha(int64_t x, int64_t y, uint8_t alpha);
    uint8_t* AlphaAt(int64_t x, int64_t y) const;
    bool PaletteHasAlpha() const;

    // Format conversion (CxImageStorage.cpp)
    // Reverses the stored rows, and the selection mask and the alpha plane when asked.
    bool Flip(bool flipSelection = false, bool flipAlpha = true);
    // Converts to 4, 8 or 24 bits per pixel; never to fewer bits.
    bool RaiseBitDepth(uint32_t bpp);

    // Output (CxImageEncode.cpp)
    bool Encode(CxFile* stream, uint32_t format);
    // Encode(stream, CXIMAGE_FORMAT_JPG) with a compressor kept by the caller: the same bytes.
    bool EncodeJpeg(CxFile* stream, CxJpegCompressor& compressor);
    bool Save(const char* path, uint32_t format);

protected:
    void SetError(const char* text);
    // The common first check of every writing codec: a stream and a pixel block exist.
    bool CheckEncodeArguments(CxFile* stream);
    uint8_t* PixelBlock() const;

    BitmapInfoHeader m_head{};
    CxImageInfo m_info{};
    // The blocks in use: an owner's own (m_owned), or for a view its parent's.
    uint8_t* m_dib = nullptr;          // header + palette + rows, one block
    uint8_t* m_selection = nullptr;    // width x height, or null
    uint8_t* m_alpha = nullptr;        // width x height, or null
    const CxImage* m_parent = nullptr; // set for a view

private:
    using ImageList = std::vector<std::unique_ptr<CxImage>>;

    // An owner's blocks, layers and frames; a view owns nothing and keeps these empty.
    struct Owned {
        CxBytes dib;
        CxBytes selection;
        CxBytes alpha;
        ImageList layers;
        ImageList frames;
    };

    // The frames of this image, or of the image a view shares.
    const ImageList& Frames() const { return m_parent ? m_parent->Frames() : m_owned.frames; }
    // Drops every shared pointer without freeing anything (a view letting go).
    void Detach();
    // Copies the source's width x height plane `from` into `plane`, first allocating it into
    // `owned` when this image has none; false when there is nothing to copy, the sizes differ
    // or memory runs out.
    bool CopyPlane(const CxImage& source, const uint8_t* from, uint8_t*& plane, CxBytes& owned);

    Owned m_owned;
};

} // namespace qx::imageout
