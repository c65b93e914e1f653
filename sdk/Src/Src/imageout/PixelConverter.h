// PixelConverter: turns one frame of a monochrome PFNC pixel format (Mono8, Mono10, Mono12,
// Mono14, Mono16, Mono10Packed, Mono12Packed) into Mono8 or Mono16. Stateless: one object for
// the process serves QX_ConvertPixelFormat, the image saver and the video recorder, from any
// number of threads at once.
#pragma once

#include <cstdint>

#include "QxCamApi.h"

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

    // Whole bytes of one pixel: the code's bit count (bits 16 to 23) rounded up.
    static uint32_t bytesPerPixel(uint32_t pixelFormat);

private:
    PixelConverter() = default;
};
