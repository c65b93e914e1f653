// TIFF encoder over libtiff, writing through a CxFile with libtiff's client-open procedures.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <tiffio.h>

#include "imageout/CxImageCodecs.h"

namespace qx::imageout {

namespace {

// ---- stream adapter: the client data of the TIFF handle is the CxFile ----

CxFile* streamOf(thandle_t handle) { return static_cast<CxFile*>(handle); }

tmsize_t tiffRead(thandle_t handle, void* buffer, tmsize_t size) {
    if (size <= 0) return 0;
    return static_cast<tmsize_t>(streamOf(handle)->Read(buffer, 1, static_cast<size_t>(size)));
}

tmsize_t tiffWrite(thandle_t handle, void* buffer, tmsize_t size) {
    if (size <= 0) return 0;
    return static_cast<tmsize_t>(streamOf(handle)->Write(buffer, 1, static_cast<size_t>(size)));
}

toff_t tiffSeek(thandle_t handle, toff_t offset, int origin) {
    constexpr toff_t kFailed = static_cast<toff_t>(-1);
    if (offset == kFailed || offset > static_cast<toff_t>(INT64_MAX)) return kFailed;
    CxFile* stream = streamOf(handle);
    if (!stream->Seek(static_cast<int64_t>(offset), origin)) return kFailed;
    const int64_t here = stream->Tell();
    return here < 0 ? kFailed : static_cast<toff_t>(here);
}

int tiffClose(thandle_t) { return 0; } // the stream's owner closes it

toff_t tiffSize(thandle_t handle) {
    const int64_t size = streamOf(handle)->Size();
    return size < 0 ? 0 : static_cast<toff_t>(size);
}

int tiffMap(thandle_t, void**, toff_t*) { return 0; }

void tiffUnmap(thandle_t, void*, toff_t) {}

// libtiff's messages for one handle go to the codec's buffer (256 bytes), never to stderr.
int tiffErrorHandler(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    char text[200];
    std::vsnprintf(text, sizeof(text), fmt, ap);
    std::snprintf(static_cast<char*>(user), 256, "%s: %s", module ? module : "libtiff", text);
    return 1;
}

int tiffWarningHandler(TIFF*, void*, const char*, const char*, va_list) { return 1; }

uint32_t stripRoundedTo8(uint32_t rows) { return ((rows + 7) / 8) * 8; }

} // namespace

CxImageTIF::~CxImageTIF() {
    if (m_tiff) TIFFClose(static_cast<TIFF*>(m_tiff));
}

bool CxImageTIF::Encode(CxFile* stream) {
    if (!CheckEncodeArguments(stream)) return false;

    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) {
        SetError("initialization fail");
        return false;
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options, tiffErrorHandler, m_libtiffMessage);
    TIFFOpenOptionsSetWarningHandlerExtR(options, tiffWarningHandler, nullptr);
    m_tiff = TIFFClientOpenExt("TIFF IMAGE", "a", stream, tiffRead, tiffWrite, tiffSeek, tiffClose, tiffSize, tiffMap,
                               tiffUnmap, options);
    TIFFOpenOptionsFree(options);
    if (!m_tiff) {
        SetError("initialization fail");
        return false;
    }
    TIFF* tif = static_cast<TIFF*>(m_tiff);
    // Everything buffered must reach the stream: a failed flush is a failed save.
    if (!EncodePage(tif) || !TIFFFlush(tif)) {
        SetError("Error saving TIFF file");
        return false;
    }
    TIFFClose(tif);
    m_tiff = nullptr;
    return true;
}

bool CxImageTIF::EncodePage(void* handle) {
    TIFF* tif = static_cast<TIFF*>(handle);
    const uint32_t width = GetWidth();
    const uint32_t height = GetHeight();
    const uint32_t bpp = GetBpp();
    const bool alpha = HasAlpha();

    uint16_t samples = bpp == 24 ? 3 : 1;
    uint16_t bitsPerSample = (bpp == 8 || bpp == 24) ? 8 : static_cast<uint16_t>(bpp);
    uint32_t rowBpp = bpp; // bits per pixel of the written rows
    if (bpp == 24 && alpha) {
        samples = 4;
        rowBpp = 32;
    } else if (bpp == 8 && alpha) {
        samples = 2;
        rowBpp = 16;
    }

    uint16_t photometric;
    if (bpp == 1) {
        photometric = PHOTOMETRIC_MINISWHITE;
        RGBQuad* palette = GetPalette();
        if (palette && CompareLuminance(palette[0], palette[1]) < 0) {
            std::swap(palette[0], palette[1]);
            uint8_t* pixels = GetBits(0);
            for (uint64_t i = 0; i < m_head.biSizeImage; ++i) pixels[i] = static_cast<uint8_t>(~pixels[i]);
        }
    } else if (bpp == 4 || bpp == 8) {
        photometric = IsGreyPalette() ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_PALETTE;
    } else {
        photometric = PHOTOMETRIC_RGB;
    }

    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bitsPerSample);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    if (alpha && samples > 1 && samples != 3) {
        const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<float>(GetDpiX()));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<float>(GetDpiY()));
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);

    if (photometric == PHOTOMETRIC_PALETTE) {
        std::vector<uint16_t> red(256, 0), green(256, 0), blue(256, 0);
        const RGBQuad* palette = GetPalette();
        for (uint32_t i = 0; i < GetPaletteCount() && i < 256; ++i) {
            red[i] = static_cast<uint16_t>(palette[i].rgbRed * 257);
            green[i] = static_cast<uint16_t>(palette[i].rgbGreen * 257);
            blue[i] = static_cast<uint16_t>(palette[i].rgbBlue * 257);
        }
        TIFFSetField(tif, TIFFTAG_COLORMAP, red.data(), green.data(), blue.data());
    }

    uint32_t compression = GetFormatOption(CXIMAGE_FORMAT_TIF);
    if (compression == 0) {
        switch (bpp) {
        case 1: compression = COMPRESSION_CCITTFAX4; break;
        case 4:
        case 8: compression = COMPRESSION_LZW; break;
        case 24: compression = COMPRESSION_JPEG; break;
        default: compression = COMPRESSION_NONE; break;
        }
    }
    if (!TIFFSetField(tif, TIFFTAG_COMPRESSION, static_cast<uint16_t>(compression))) return false;
    if (compression == COMPRESSION_LZW && rowBpp > 7) TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    if (compression == COMPRESSION_JPEG) {
        TIFFSetField(tif, TIFFTAG_JPEGQUALITY, static_cast<int>(GetJpegQuality()));
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, stripRoundedTo8(TIFFDefaultStripSize(tif, 0)));
    }

    const uint64_t lineBytes = (static_cast<uint64_t>(width) * rowBpp + 7) / 8;
    std::vector<uint8_t> line;
    try {
        line.resize(static_cast<size_t>(lineBytes));
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (uint32_t i = 0; i < height; ++i) {
        const uint32_t row = height - 1 - i;
        const uint8_t* src = GetBits(row);
        if (bpp == 24) {
            for (uint32_t x = 0; x < width; ++x) {
                uint8_t* d = line.data() + static_cast<uint64_t>(x) * samples;
                d[0] = src[3 * x + 2];
                d[1] = src[3 * x + 1];
                d[2] = src[3 * x];
                if (samples == 4) d[3] = GetAlphaUnchecked(x, row);
            }
        } else if (samples == 2) {
            for (uint32_t x = 0; x < width; ++x) {
                line[2 * x] = src[x];
                line[2 * x + 1] = GetAlphaUnchecked(x, row);
            }
        } else {
            std::memcpy(line.data(), src, static_cast<size_t>(lineBytes));
        }
        if (TIFFWriteScanline(tif, line.data(), i, 0) < 0) return false;
    }
    return TIFFWriteDirectory(tif) != 0;
}

} // namespace qx::imageout
