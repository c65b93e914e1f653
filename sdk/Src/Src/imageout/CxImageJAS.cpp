// The JPEG 2000 family. JP2 and JPC go through OpenJPEG: format JP2 writes a JP2 file, JPC a
// bare J2K codestream, through an output stream whose write, skip and seek callbacks go to the
// CxFile, so memory and file outputs both work. PGX, PNM and Sun raster are plain raster files
// of the same one grey or three colour 8-bit components, written here:
//   PGX: "PG ML + 8 <width> <height>\n", then one byte per sample (grey images only);
//   PNM: "P5" (grey) or "P6" (red, green, blue), "<width> <height>", "255", then the rows;
//   RAS: a 32-byte big-endian header (magic 0x59A66A95, width, height, depth 8 or 24, data
//        length, type 1, no colour map), then the rows (24-bit as blue, green, red), each
//        padded to an even byte count.
// Rows go top line first.
//
// The JPEG quality q of the image is the JP2/JPC size target: the codestream aims at q / 100 of
// the raw pixel bytes (one quality layer, reversible 5/3 wavelet); q = 100 gives a lossless file.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <memory>
#include <string>
#include <vector>

#include <openjpeg.h>

#include "imageout/CxImageCodecs.h"
#include "imageout/CxStreamWriter.h"

namespace qx::imageout {

namespace {

constexpr int kDefaultResolutions = 6;

struct OpjOutput {
    CxFile* stream;
    int64_t base; // stream position of the first byte written; seeks are relative to it
    bool failed;
};

OPJ_SIZE_T opjWrite(void* buffer, OPJ_SIZE_T size, void* user) {
    auto* out = static_cast<OpjOutput*>(user);
    if (size == 0) return 0;
    if (out->stream->Write(buffer, 1, size) != size) {
        out->failed = true;
        return static_cast<OPJ_SIZE_T>(-1);
    }
    return size;
}

OPJ_OFF_T opjSkip(OPJ_OFF_T count, void* user) {
    auto* out = static_cast<OpjOutput*>(user);
    if (!out->stream->Seek(count, SEEK_CUR)) {
        out->failed = true;
        return -1;
    }
    return count;
}

OPJ_BOOL opjSeek(OPJ_OFF_T offset, void* user) {
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
int resolutionsFor(uint32_t w, uint32_t h) {
    int levels = kDefaultResolutions;
    while (levels > 1 && ((w >> (levels - 1)) == 0 || (h >> (levels - 1)) == 0)) --levels;
    return levels;
}

constexpr uint32_t kSunRasterMagic = 0x59A66A95;
constexpr uint32_t kSunRasterStandard = 1;

bool putBe32(CxStreamWriter& out, uint32_t value) {
    uint8_t b[4];
    qx::sys::storeBe32(b, value);
    return out.put(b, sizeof(b));
}

} // namespace

// Picture line `line` (0 the top) as its components: the pixel index of a grey image, or red,
// green and blue of a colour image (blue, green, red with `bgr`).
void CxImageJAS::pictureLine(uint32_t line, bool grey, bool bgr, uint8_t* out) {
    const uint32_t w = GetWidth();
    const uint32_t y = GetHeight() - 1 - line;
    if (grey) {
        if (GetBpp() == 8) std::memcpy(out, GetBits(y), w);
        else
            for (uint32_t x = 0; x < w; ++x) out[x] = GetPixelIndexUnchecked(x, y);
        return;
    }
    for (uint32_t x = 0; x < w; ++x) {
        const RGBQuad c = GetPixelColorUnchecked(x, y, false);
        out[3 * x] = bgr ? c.rgbBlue : c.rgbRed;
        out[3 * x + 1] = c.rgbGreen;
        out[3 * x + 2] = bgr ? c.rgbRed : c.rgbBlue;
    }
}

bool CxImageJAS::encodeRaster(CxFile* stream, bool grey) {
    const uint32_t w = GetWidth();
    const uint32_t h = GetHeight();
    const uint64_t lineBytes = static_cast<uint64_t>(w) * (grey ? 1 : 3);
    const bool sun = m_format == CXIMAGE_FORMAT_RAS;
    const uint64_t storedLine = sun ? (lineBytes + 1) & ~uint64_t(1) : lineBytes; // Sun rows: 16-bit aligned
    if (sun && storedLine * h > 0xFFFFFFFFull) {
        SetError("error: cannot encode image");
        return false;
    }

    CxStreamWriter out(stream);
    if (m_format == CXIMAGE_FORMAT_PGX) {
        const std::string header = "PG ML + 8 " + std::to_string(w) + " " + std::to_string(h) + "\n";
        out.put(header.data(), header.size());
    } else if (m_format == CXIMAGE_FORMAT_PNM) {
        const std::string header =
            std::string(grey ? "P5\n" : "P6\n") + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
        out.put(header.data(), header.size());
    } else {
        putBe32(out, kSunRasterMagic);
        putBe32(out, w);
        putBe32(out, h);
        putBe32(out, grey ? 8 : 24);
        putBe32(out, static_cast<uint32_t>(storedLine * h));
        putBe32(out, kSunRasterStandard);
        putBe32(out, 0); // no colour map
        putBe32(out, 0);
    }

    std::vector<uint8_t> line;
    try {
        line.assign(static_cast<size_t>(storedLine), 0);
    } catch (const std::bad_alloc&) {
        SetError("error : can't allocate memory");
        return false;
    }
    for (uint32_t i = 0; i < h && !out.failed(); ++i) {
        pictureLine(i, grey, sun, line.data());
        out.put(line.data(), line.size());
    }
    if (!out.finish()) {
        SetError("error: cannot encode image");
        return false;
    }
    return true;
}

bool CxImageJAS::Encode(CxFile* stream) {
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
        return encodeRaster(stream, true);
    case CXIMAGE_FORMAT_PNM:
    case CXIMAGE_FORMAT_RAS: return encodeRaster(stream, grey);
    default: SetError("Encode: Unknown format"); return false;
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
    std::vector<uint8_t> line(static_cast<size_t>(w) * components);
    for (uint32_t i = 0; i < h; ++i) {
        pictureLine(i, grey, false, line.data());
        const uint64_t base = static_cast<uint64_t>(i) * w;
        for (uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < components; ++c) image->comps[c].data[base + x] = line[x * components + c];
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

} // namespace qx::imageout
