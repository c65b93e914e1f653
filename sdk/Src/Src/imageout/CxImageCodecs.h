// The codec classes that CxImage::Encode creates, one per output format. Each is a CxImage that
// Encode turns into a view of the image being written; its Encode(stream) writes that image
// into the stream and answers true or false, leaving its message in the error text.
#pragma once

#include "imageout/CxImage.h"

namespace qx::imageout {

class CxImageBMP : public CxImage {
public:
    CxImageBMP() : CxImage(CXIMAGE_FORMAT_BMP) {}
    using CxImage::Encode;
    bool Encode(CxFile* stream);
};

class CxImageJPG : public CxImage {
public:
    // With a compressor, the encode uses (and keeps) its libjpeg object; without, it makes one.
    explicit CxImageJPG(CxJpegCompressor* compressor = nullptr)
        : CxImage(CXIMAGE_FORMAT_JPG), m_compressor(compressor) {}
    using CxImage::Encode;
    bool Encode(CxFile* stream);

private:
    CxJpegCompressor* m_compressor;
};

class CxImageGIF : public CxImage {
public:
    CxImageGIF() : CxImage(CXIMAGE_FORMAT_GIF) {}
    using CxImage::Encode;
    bool Encode(CxFile* stream);
    // Comment extension text (at most 255 characters); empty for codecs made by CxImage::Encode.
    void SetComment(const char* text);

private:
    bool EncodeAnimation(CxFile* stream);
    bool EncodeTrueColour(CxFile* stream);
    void EncodeHeader(CxFile* stream, const CxImage& first, bool globalPalette);
    void EncodeExtension(CxFile* stream, const CxImage& frame);
    void EncodeLoopExtension(CxFile* stream);
    void EncodeComment(CxFile* stream);
    bool EncodeBody(CxFile* stream, const CxImage& frame, bool localPalette, int32_t left, int32_t top);
    // Trailer, flush and the final write check.
    bool Finish(CxFile* stream);

    char m_comment[256] = {};
    bool m_writeFailed = false;
};

class CxImageMNG : public CxImage {
public:
    CxImageMNG() : CxImage(CXIMAGE_FORMAT_MNG) {}
    using CxImage::Encode;
    bool Encode(CxFile* stream);
};

class CxImageTIF : public CxImage {
public:
    CxImageTIF() : CxImage(CXIMAGE_FORMAT_TIF) {}
    ~CxImageTIF() override;
    using CxImage::Encode;
    bool Encode(CxFile* stream);

private:
    bool EncodePage(void* tiff);
    void* m_tiff = nullptr; // the open TIFF handle, null when none
    // libtiff's last message for this handle; lives as long as the handle, which may report
    // errors until it is closed by the destructor.
    char m_libtiffMessage[256] = {};
};

class CxImageICO : public CxImage {
public:
    CxImageICO() : CxImage(CXIMAGE_FORMAT_ICO) {}
    using CxImage::Encode;
    bool Encode(CxFile* stream);
};

class CxImageTGA : public CxImage {
public:
    CxImageTGA() : CxImage(CXIMAGE_FORMAT_TGA) {}
    using CxImage::Encode;
    bool Encode(CxFile* stream);
};

class CxImagePCX : public CxImage {
public:
    CxImagePCX() : CxImage(CXIMAGE_FORMAT_PCX) {}
    using CxImage::Encode;
    bool Encode(CxFile* stream);
};

class CxImageWBMP : public CxImage {
public:
    CxImageWBMP() : CxImage(CXIMAGE_FORMAT_WBMP) {}
    using CxImage::Encode;
    bool Encode(CxFile* stream);
};

class CxImageSKA : public CxImage {
public:
    CxImageSKA() : CxImage(CXIMAGE_FORMAT_SKA) {}
    using CxImage::Encode;
    bool Encode(CxFile* stream);
};

// The JPEG 2000 family: format JP2 writes a JP2 file, JPC a bare J2K codestream, PGX, PNM and
// RAS the plain raster files of the same grey or colour components.
class CxImageJAS : public CxImage {
public:
    explicit CxImageJAS(uint32_t format) : CxImage(format), m_format(format) {}
    using CxImage::Encode;
    bool Encode(CxFile* stream);

private:
    void pictureLine(uint32_t line, bool grey, bool bgr, uint8_t* out);
    bool encodeRaster(CxFile* stream, bool grey);

    uint32_t m_format; // kept apart: becoming a view takes over the image's own type
};

// Formats that exist only to refuse saving.
class CxImageRefusing : public CxImage {
public:
    CxImageRefusing(uint32_t format, const char* message) : CxImage(format), m_message(message) {}
    using CxImage::Encode;
    bool Encode(CxFile* stream);

private:
    const char* m_message;
};

} // namespace qx::imageout
