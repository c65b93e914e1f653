// JPEG 2000 encoder over OpenJPEG: format JP2 writes a JP2 file, JPC a bare J2K codestream.
// OpenJPEG writes through an output stream whose write, skip and seek callbacks go to the
// CxFile, so memory and file outputs both work. PGX, PNM and Sun raster output is refused:
// OpenJPEG has no encoder for them.
//
// The JPEG quality q of the image is the size target: the codestream aims at q / 100 of the raw
// pixel bytes (one quality layer, reversible 5/3 wavelet); q = 100 gives a lossless file.
#include <algorithm>
#include <cstdio>
#include <memory>

#include <openjpeg.h>

#include "CxImageCodecs.h"

namespace {

constexpr int kDefaultResolutions = 6;

struct OpjOutput {
    CxFile* stream;
    int64_t base;  // stream position of the first byte written; seeks are relative to it
    bool failed;
};

OPJ_SIZE_T opjWrite(void* buffer, OPJ_SIZE_T size, void* user)
{
    auto* out = static_cast<OpjOutput*>(user);
    if (size == 0) return 0;
    if (out->stream->Write(buffer, 1, size) != size) {
        out->failed = true;
        return static_cast<OPJ_SIZE_T>(-1);
    }
    return size;
}

OPJ_OFF_T opjSkip(OPJ_OFF_T count, void* user)
{
    auto* out = static_cast<OpjOutput*>(user);
    if (!out->stream->Seek(count, SEEK_CUR)) {
        out->failed = true;
        return -1;
    }
    return count;
}

OPJ_BOOL opjSeek(OPJ_OFF_T offset, void* user)
{
    auto* out = static_cast<OpjOutput*>(user);
    if (offset < 0 || !out->stream->Seek(out->base + offset, SEEK_SET)) {
        out->failed = true;
        return OPJ_FALSE;
    }
    return OPJ_TRUE;
}

void opjQuiet(const char*, void*) {}

struct CodecDeleter {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct ImageDeleter {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};
struct StreamDeleter {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};

// The largest resolution count (at most the default) for which the smallest level still has
// at least one pixel in each direction.
int resolutionsFor(uint32_t w, uint32_t h)
{
    int levels = kDefaultResolutions;
    while (levels > 1 && ((w >> (levels - 1)) == 0 || (h >> (levels - 1)) == 0)) --levels;
    return levels;
}

} // namespace

bool CxImageJAS::Encode(CxFile* stream)
{
    if (!CheckEncodeArguments(stream)) return false;
    const bool hasPalette = GetPaletteCount() > 0;
    const bool grey = hasPalette && IsGreyPalette();
    if (hasPalette && !grey) {
        SetError("JasPer can save only RGB or GrayScale images");
        return false;
    }

    OPJ_CODEC_FORMAT codecFormat;
    switch (m_format) {
    case CXIMAGE_FORMAT_JP2: codecFormat = OPJ_CODEC_JP2; break;
    case CXIMAGE_FORMAT_JPC: codecFormat = OPJ_CODEC_J2K; break;
    case CXIMAGE_FORMAT_PGX:
        if (!grey) {
            SetError("PGX can save only GrayScale images");
            return false;
        }
        SetError("PGX output is not available: the JPEG 2000 encoder writes only JP2 and JPC");
        return false;
    case CXIMAGE_FORMAT_PNM:
        SetError("PNM output is not available: the JPEG 2000 encoder writes only JP2 and JPC");
        return false;
    case CXIMAGE_FORMAT_RAS:
        SetError("RAS output is not available: the JPEG 2000 encoder writes only JP2 and JPC");
        return false;
    default:
        SetError("Encode: Unknown format");
        return false;
    }

    std::unique_ptr<opj_codec_t, CodecDeleter> codec(opj_create_compress(codecFormat));
    if (!codec) {
        SetError("cannot initialize jasper");
        return false;
    }
    opj_set_info_handler(codec.get(), opjQuiet, nullptr);
    opj_set_warning_handler(codec.get(), opjQuiet, nullptr);
    opj_set_error_handler(codec.get(), opjQuiet, nullptr);

    // The image: one grey component or red, green and blue, 8 bits unsigned each.
    const uint32_t w = GetWidth();
    const uint32_t h = GetHeight();
    const int components = grey ? 1 : 3;
    opj_image_cmptparm_t parms[3] = {};
    for (int c = 0; c < components; ++c) {
        parms[c].dx = 1;
        parms[c].dy = 1;
        parms[c].w = w;
        parms[c].h = h;
        parms[c].prec = 8;
        parms[c].sgnd = 0;
    }
    std::unique_ptr<opj_image_t, ImageDeleter> image(
        opj_image_create(static_cast<OPJ_UINT32>(components), parms, grey ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB));
    if (!image) {
        SetError("error : jas_image_create");
        return false;
    }
    image->x0 = 0;
    image->y0 = 0;
    image->x1 = w;
    image->y1 = h;
    for (int c = 0; c < components; ++c) {
        if (!image->comps[c].data) {
            SetError("error : can't allocate memory");
            return false;
        }
    }
    for (uint32_t j = 0; j < h; ++j) {
        const uint64_t base = static_cast<uint64_t>(h - 1 - j) * w;  // stored row j is picture row h-1-j
        for (uint32_t x = 0; x < w; ++x) {
            if (grey) {
                image->comps[0].data[base + x] = GetPixelIndexUnchecked(x, j);
            } else {
                const RGBQuad c = GetPixelColorUnchecked(x, j, false);
                image->comps[0].data[base + x] = c.rgbRed;
                image->comps[1].data[base + x] = c.rgbGreen;
                image->comps[2].data[base + x] = c.rgbBlue;
            }
        }
    }

    opj_cparameters_t parameters;
    opj_set_default_encoder_parameters(&parameters);
    const uint32_t quality = std::max<uint32_t>(1, GetJpegQuality());
    parameters.tcp_numlayers = 1;
    parameters.tcp_rates[0] = quality >= 100 ? 1.0f : 100.0f / static_cast<float>(quality);
    parameters.cp_disto_alloc = 1;
    parameters.irreversible = 0;
    parameters.tcp_mct = components == 3 ? 1 : 0;
    parameters.numresolution = resolutionsFor(w, h);
    if (!opj_setup_encoder(codec.get(), &parameters, image.get())) {
        SetError("error: cannot encode image");
        return false;
    }

    std::unique_ptr<opj_stream_t, StreamDeleter> output(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE));
    if (!output) {
        SetError("error: cannot open standard output");
        return false;
    }
    OpjOutput target{stream, std::max<int64_t>(0, stream->Tell()), false};
    opj_stream_set_user_data(output.get(), &target, nullptr);
    opj_stream_set_write_function(output.get(), opjWrite);
    opj_stream_set_skip_function(output.get(), opjSkip);
    opj_stream_set_seek_function(output.get(), opjSeek);

    const bool encoded = opj_start_compress(codec.get(), image.get(), output.get()) &&
                         opj_encode(codec.get(), output.get()) && opj_end_compress(codec.get(), output.get());
    if (!encoded || target.failed || !stream->Flush() || stream->HasError()) {
        SetError("error: cannot encode image");
        return false;
    }
    return true;
}
