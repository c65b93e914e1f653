// Format dispatch of CxImage: Encode into a stream, Save into a file.
#include <cstdio>
#include <memory>

#include "imageout/CxImageCodecs.h"

namespace qx::imageout {

namespace {

// Runs one codec over a view of `image`; its error text goes back to `image` on failure.
template <typename Codec>
bool encodeWith(CxImage& image, Codec& codec, CxFile* stream, char* errorText, size_t errorSize) {
    codec.ShareFrom(image);
    if (codec.Encode(stream)) return true;
    std::snprintf(errorText, errorSize, "%s", codec.GetErrorText());
    return false;
}

} // namespace

bool CxImage::Encode(CxFile* stream, uint32_t format) {
    switch (format) {
    case CXIMAGE_FORMAT_BMP: {
        CxImageBMP codec;
        return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
    }
    case CXIMAGE_FORMAT_GIF: {
        CxImageGIF codec;
        return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
    }
    case CXIMAGE_FORMAT_JPG: {
        CxImageJPG codec;
        return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
    }
    case CXIMAGE_FORMAT_TIF: {
        CxImageTIF codec;
        return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
    }
    case CXIMAGE_FORMAT_MNG: {
        CxImageMNG codec;
        return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
    }
    case CXIMAGE_FORMAT_WMF: {
        CxImageRefusing codec(format, "Save WMF not supported");
        return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
    }
    case CXIMAGE_FORMAT_RAW: {
        CxImageRefusing codec(format, "Save RAW not supported");
        return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
    }
    case CXIMAGE_FORMAT_PSD: {
        CxImageRefusing codec(format, "Save PSD not supported");
        return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
    }
    case CXIMAGE_FORMAT_ICO: {
        CxImageICO codec;
        return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
    }
    case CXIMAGE_FORMAT_TGA: {
        CxImageTGA codec;
        return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
    }
    case CXIMAGE_FORMAT_PCX: {
        CxImagePCX codec;
        return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
    }
    case CXIMAGE_FORMAT_WBMP: {
        CxImageWBMP codec;
        return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
    }
    case CXIMAGE_FORMAT_JP2:
    case CXIMAGE_FORMAT_JPC:
    case CXIMAGE_FORMAT_PGX:
    case CXIMAGE_FORMAT_PNM:
    case CXIMAGE_FORMAT_RAS: {
        CxImageJAS codec(format);
        return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
    }
    case CXIMAGE_FORMAT_SKA: {
        CxImageSKA codec;
        return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
    }
    default: SetError("Encode: Unknown format"); return false;
    }
}

bool CxImage::EncodeJpeg(CxFile* stream, CxJpegCompressor& compressor) {
    CxImageJPG codec(&compressor);
    return encodeWith(*this, codec, stream, m_info.lastError, sizeof(m_info.lastError));
}

bool CxImage::Save(const char* path, uint32_t format) {
    if (!path) return false;
    FILE* file = std::fopen(path, "wb");
    if (!file) return false;
    bool ok;
    {
        CxIOFile stream(file); // does not own the file
        ok = Encode(&stream, format);
    }
    // Buffered bytes reach the disk only here: a failed close is a failed save.
    if (std::fclose(file) != 0) ok = false;
    return ok;
}

bool CxImageRefusing::Encode(CxFile* stream) {
    if (stream) SetError(m_message);
    return false;
}

} // namespace qx::imageout
