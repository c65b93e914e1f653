// PixelConverter: turns one frame of a monochrome PFNC pixel format (Mono8, Mono10, Mono12,
// Mono14, Mono16, Mono10Packed, Mono12Packed) into Mono8 or Mono16. Stateless: one object for
// the process serves QX_ConvertPixelFormat, the image saver and the video recorder, from any
// number of threads at once.
#pragma once

#include <cstdint>

#include "QxCamApi.h"

namespace qx::imageout {

class PixelConverter {
public:
    // The process's one converter, created on first use.
    static PixelConverter* getConverterInstance();

    // Validates the record and converts; QX_OK or a QX_ERR_ status. Never reads past
    // nSrcDataLen nor writes past nDstDataSize.
    uint32_t convertPixels(ConvertParam& p);

    // The two conversions; each sets nDstDataLen and writes pDstData.
    uint32_t convertToMono8(ConvertParam& p);
    uint32_t convertToMono16(ConvertParam& p);

    // Conversion to Mono8 into the lines of an image: picture line y (top first) goes to
    // pDstData + y x pitch, or with `bottomUp` to pDstData + (nHeight - 1 - y) x pitch, the
    // stored order of a bottom-up bitmap. nDstDataSize must hold (nHeight - 1) x pitch + nWidth
    // bytes and enDstPixelType must be Mono8 (else QX_ERR_INVALID_PARAM). The same statuses,
    // log line and nDstDataLen as convertPixels; one pass, no flip afterwards.
    uint32_t convertToMono8Lines(ConvertParam& p, uint32_t pitch, bool bottomUp);

    // True for the source formats convertToMono8 and convertToMono16 take.
    static bool convertsToMono8(uint32_t pixelFormat);

    // Whole bytes of one pixel: the code's bit count (bits 16 to 23) rounded up.
    static uint32_t bytesPerPixel(uint32_t pixelFormat);

private:
    PixelConverter() = default;
};

} // namespace qx::imageout
