// ImageSaver: writes one frame to one image file (BMP, JPEG, PNG, TIFF as 8-bit grey, or the
// frame's raw bytes with an optional big-endian header). One saver per device handle, used
// under that handle's lock. The CxImage base is the working 8-bit image, kept between calls
// so that a run of frames of one size reuses its pixel block; beside it a side buffer of
// width x height bytes serves frames whose width is not a multiple of 4.
#pragma once

#include <cstdint>
#include <memory>

#include "imageout/CxImage.h"
#include "QxCamApi.h"

namespace qx::imageout {

class ImageSaver : public CxImage {
public:
    ImageSaver();
    ~ImageSaver() override;

    ImageSaver(const ImageSaver&) = delete;
    ImageSaver& operator=(const ImageSaver&) = delete;

    // QX_OK, QX_ERR_INVALID_PARAM for a bad record, QX_ERR_GENERAL for any later failure
    // (conversion, encoding, or any write, flush or close that fails).
    uint32_t saveNormalFormat(SaveFileParam& p);

    // Fills `image` with the frame as 8-bit grey (rows stored bottom-up, except for PNG).
    bool convertToMono8(SaveFileParam& p, CxImage* image);
    uint32_t savePng(SaveFileParam& p, CxImage* image);
    uint32_t saveRawFormat(SaveFileParam& p);

    // The 18-byte big-endian header of a RAW file.
    static constexpr size_t kRawHeaderSize = 18;
    static void buildRawHeader(const SaveFileParam& p, uint8_t out[kRawHeaderSize]);

private:
    std::unique_ptr<uint8_t[]> m_sideBuffer; // width x height bytes, or null
};

} // namespace qx::imageout
