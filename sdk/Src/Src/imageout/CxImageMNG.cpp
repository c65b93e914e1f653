// MNG encoder over libmng: a one-image MNG (MHDR, DEFI, IHDR, IDAT, IEND, MEND) of a 24-bit
// image, the rows zlib-compressed here. Any failure fails the encode: a stream is never left
// holding something that is not a complete MNG while the encoder reports success.
#include <cstdlib>
#include <cstring>
#include <memory>

#include <libmng.h>
#include <zlib.h>

#include "imageout/CxImageCodecs.h"

namespace qx::imageout {

namespace {

struct MngOutput {
    CxFile* stream;
    bool writeFailed;
};

mng_ptr MNG_DECL mngAlloc(mng_size_t length) { return std::calloc(1, length); }

void MNG_DECL mngFree(mng_ptr p, mng_size_t) { std::free(p); }

mng_bool MNG_DECL mngOpen(mng_handle) { return MNG_TRUE; }

mng_bool MNG_DECL mngClose(mng_handle) { return MNG_TRUE; }

mng_bool MNG_DECL mngWrite(mng_handle handle, mng_ptr buffer, mng_uint32 length, mng_uint32p written) {
    auto* out = static_cast<MngOutput*>(mng_get_userdata(handle));
    const size_t n = out->stream->Write(buffer, 1, length);
    *written = static_cast<mng_uint32>(n);
    if (n != length) {
        out->writeFailed = true;
        return MNG_FALSE;
    }
    return MNG_TRUE;
}

// Owns a libmng handle for the length of one encode.
class MngHandle {
public:
    explicit MngHandle(MngOutput* out) : m_handle(mng_initialize(out, mngAlloc, mngFree, MNG_NULL)) {}
    ~MngHandle() {
        if (m_handle) mng_cleanup(&m_handle);
    }
    MngHandle(const MngHandle&) = delete;
    MngHandle& operator=(const MngHandle&) = delete;
    mng_handle get() const { return m_handle; }

private:
    mng_handle m_handle;
};

} // namespace

bool CxImageMNG::Encode(CxFile* stream) {
    if (!CheckEncodeArguments(stream)) return false;
    if (GetPaletteCount() > 0 || GetBpp() != 24) {
        SetError("MNG encoder can save only RGB images");
        return false;
    }
    const uint32_t w = GetWidth();
    const uint32_t h = GetHeight();

    // Rows from the top of the picture, each a filter byte 0 and red, green, blue per pixel.
    const uint64_t rowBytes = 1 + 3ull * w;
    const uint64_t rawSize = rowBytes * h;
    if (rawSize > UINT32_MAX) {
        SetError("could not allocate memory for MNG");
        return false;
    }
    CxBytes raw = cxAllocate(static_cast<size_t>(rawSize));
    if (!raw) {
        SetError("could not allocate memory for MNG");
        return false;
    }
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t* dst = raw.get() + y * rowBytes;
        const uint8_t* src = GetBits(h - 1 - y);
        dst[0] = 0;
        for (uint32_t x = 0; x < w; ++x) {
            dst[1 + 3 * x] = src[3 * x + 2];
            dst[2 + 3 * x] = src[3 * x + 1];
            dst[3 + 3 * x] = src[3 * x];
        }
    }
    uLongf packedSize = compressBound(static_cast<uLong>(rawSize));
    CxBytes packed = cxAllocate(packedSize);
    if (!packed) {
        SetError("could not allocate memory for MNG");
        return false;
    }
    if (compress2(packed.get(), &packedSize, raw.get(), static_cast<uLong>(rawSize), 9) != Z_OK ||
        packedSize > UINT32_MAX) {
        SetError("MNG compression failed");
        return false;
    }
    raw.reset();

    MngOutput out{stream, false};
    MngHandle mng(&out);
    mng_handle hmng = mng.get();
    if (!hmng || mng_setcb_openstream(hmng, mngOpen) != MNG_NOERROR ||
        mng_setcb_closestream(hmng, mngClose) != MNG_NOERROR || mng_setcb_writedata(hmng, mngWrite) != MNG_NOERROR) {
        SetError("could not initialize libmng");
        return false;
    }
    const bool built = mng_create(hmng) == MNG_NOERROR &&
                       mng_putchunk_mhdr(hmng, w, h, 1000, 1, 1, 1, 3) == MNG_NOERROR &&
                       mng_putchunk_defi(hmng, 0, 0, 0, MNG_FALSE, 0, 0, MNG_FALSE, 0, 0, 0, 0) == MNG_NOERROR &&
                       mng_putchunk_ihdr(hmng, w, h, 8, 2, 0, 0, 0) == MNG_NOERROR &&
                       mng_putchunk_idat(hmng, static_cast<mng_uint32>(packedSize), packed.get()) == MNG_NOERROR &&
                       mng_putchunk_iend(hmng) == MNG_NOERROR && mng_putchunk_mend(hmng) == MNG_NOERROR;
    if (!built) {
        SetError("could not build the MNG chunks");
        return false;
    }
    if (mng_write(hmng) != MNG_NOERROR || out.writeFailed) {
        SetError("MNG write error");
        return false;
    }
    stream->Flush();
    if (stream->HasError()) {
        SetError("MNG write error");
        return false;
    }
    return true;
}

} // namespace qx::imageout
