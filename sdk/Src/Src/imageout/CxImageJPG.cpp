// JPEG encoder over libjpeg.
//
// Grey images go through libjpeg's raw-data interface: the rows are handed to the DCT straight
// from the image's pixel block through row pointers (bottom-up stored rows, picture top first),
// one iMCU row (16 lines) per call, with no colour-conversion pass. The edge handling is the
// one libjpeg applies to scanline input (the last column repeated to the block width, the last
// line repeated to the end of the last iMCU row), so the file is byte for byte the one
// jpeg_write_scanlines would give. Colour images are fed as red-green-blue scanlines, 16 per
// call.
//
// libjpeg reports fatal errors through error_exit, which must not return. It leaves through
// longjmp back into compressImage(), a C-style function: between its setjmp and every place that
// can raise an error (libjpeg itself and the destination callbacks below) no C++ object with a
// destructor is alive, so no destructor is skipped. All state that must survive the jump lives
// in the compressor's state, not in locals of compressImage().
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

#include "imageout/CxImageCodecs.h"

namespace qx::imageout {

namespace {

constexpr size_t kOutputBlock = 4096;
constexpr JDIMENSION kRgbRowsPerCall = 16;

struct JpegErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

struct JpegDestination {
    jpeg_destination_mgr pub;
    CxFile* stream;
    JOCTET buffer[kOutputBlock];
};

// What the compression needs, prepared before it starts.
using JpegJob = CxJpegCompressor::JpegImage;

void errorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void outputMessage(j_common_ptr) {} // warnings are not printed

void initDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<JpegDestination*>(cinfo->dest);
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = kOutputBlock;
}

boolean emptyOutputBuffer(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<JpegDestination*>(cinfo->dest);
    if (dest->stream->Write(dest->buffer, 1, kOutputBlock) != kOutputBlock) ERREXIT(cinfo, JERR_FILE_WRITE);
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = kOutputBlock;
    return TRUE;
}

void termDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<JpegDestination*>(cinfo->dest);
    const size_t count = kOutputBlock - dest->pub.free_in_buffer;
    if (count > 0 && dest->stream->Write(dest->buffer, 1, count) != count) ERREXIT(cinfo, JERR_FILE_WRITE);
    dest->stream->Flush();
    if (dest->stream->HasError()) ERREXIT(cinfo, JERR_FILE_WRITE);
}

} // namespace

// The libjpeg objects of one compressor: plain C data, zero-filled when made.
struct CxJpegCompressor::State {
    jpeg_compress_struct cinfo;
    JpegErrorManager error;
    JpegDestination destination;
    bool created; // cinfo holds a compression object
};

namespace {

// Picture line `line` (0 the top) of the job: stored rows run bottom-up.
const uint8_t* pictureLine(const JpegJob* job, JDIMENSION line) {
    return job->pixels + static_cast<uint64_t>(job->height - 1 - line) * job->effWidth;
}

// Grey rows through the raw-data interface, one iMCU row per call. Row pointers go straight
// into the pixel block when the width is a whole number of blocks; otherwise the lines are
// copied into a strip that repeats the last column, as libjpeg does for scanlines.
void writeGreyRaw(const JpegJob* job, j_compress_ptr cinfo) {
    const JDIMENSION lines = static_cast<JDIMENSION>(cinfo->max_v_samp_factor * DCTSIZE);
    const JDIMENSION paddedWidth = cinfo->comp_info[0].width_in_blocks * DCTSIZE;
    const bool direct = paddedWidth == job->width;
    auto* rows = static_cast<JSAMPARRAY>(
        (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE, lines * sizeof(JSAMPROW)));
    JSAMPARRAY strip =
        direct ? nullptr
               : (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE, paddedWidth, lines);
    JSAMPARRAY planes[1] = {rows};
    for (JDIMENSION top = 0; top < job->height; top += lines) {
        for (JDIMENSION r = 0; r < lines; ++r) {
            // Below the picture the last line repeats up to the end of the iMCU row.
            const uint8_t* src = pictureLine(job, std::min<JDIMENSION>(top + r, job->height - 1));
            if (direct) {
                rows[r] = const_cast<JSAMPROW>(src);
                continue;
            }
            std::memcpy(strip[r], src, job->width);
            std::memset(strip[r] + job->width, src[job->width - 1], paddedWidth - job->width);
            rows[r] = strip[r];
        }
        jpeg_write_raw_data(cinfo, planes, lines);
    }
}

// Colour rows as red-green-blue scanlines, several per call.
void writeRgbScanlines(const JpegJob* job, j_compress_ptr cinfo) {
    JSAMPARRAY buffer = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                    job->effWidth + 8, kRgbRowsPerCall);
    while (cinfo->next_scanline < cinfo->image_height) {
        const JDIMENSION count = std::min(kRgbRowsPerCall, cinfo->image_height - cinfo->next_scanline);
        for (JDIMENSION i = 0; i < count; ++i) {
            uint8_t* p = buffer[i];
            std::memcpy(p, pictureLine(job, cinfo->next_scanline + i), job->effWidth);
            for (uint64_t x = 0; x < 3ull * job->width; x += 3) std::swap(p[x], p[x + 2]);
        }
        jpeg_write_scanlines(cinfo, buffer, count);
    }
}

// Compresses the picture top line first. Returns false with the error message set on failure;
// the compression object is then reset for the next image.
bool compressImage(const JpegJob* job, CxJpegCompressor::State* st) {
    st->error.message[0] = '\0';
    if (setjmp(st->error.jump)) {
        if (st->created) {
            jpeg_abort_compress(&st->cinfo);
        } else {
            jpeg_destroy_compress(&st->cinfo);
        }
        return false;
    }
    if (!st->created) {
        st->cinfo.err = jpeg_std_error(&st->error.pub);
        st->error.pub.error_exit = errorExit;
        st->error.pub.output_message = outputMessage;
        jpeg_create_compress(&st->cinfo);
        st->created = true;
        st->destination.pub.init_destination = initDestination;
        st->destination.pub.empty_output_buffer = emptyOutputBuffer;
        st->destination.pub.term_destination = termDestination;
        st->cinfo.dest = &st->destination.pub;
    }
    j_compress_ptr cinfo = &st->cinfo;

    cinfo->image_width = job->width;
    cinfo->image_height = job->height;
    cinfo->input_components = job->grey ? 1 : 3;
    cinfo->in_color_space = job->grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, job->quality, FALSE);
    cinfo->comp_info[0].h_samp_factor = 2;
    cinfo->comp_info[0].v_samp_factor = 2;
    for (int c = 1; c < cinfo->num_components; ++c) {
        cinfo->comp_info[c].h_samp_factor = 1;
        cinfo->comp_info[c].v_samp_factor = 1;
    }
    cinfo->density_unit = 1;
    cinfo->X_density = static_cast<UINT16>(std::clamp(job->dpiX, 1, 65535));
    cinfo->Y_density = static_cast<UINT16>(std::clamp(job->dpiY, 1, 65535));
    cinfo->raw_data_in = job->grey ? TRUE : FALSE;

    jpeg_start_compress(cinfo, TRUE);
    if (job->grey) {
        writeGreyRaw(job, cinfo);
    } else {
        writeRgbScanlines(job, cinfo);
    }
    jpeg_finish_compress(cinfo);
    return true;
}

} // namespace

CxJpegCompressor::CxJpegCompressor() = default;

CxJpegCompressor::~CxJpegCompressor() {
    if (m_state && m_state->created) jpeg_destroy_compress(&m_state->cinfo);
}

bool CxJpegCompressor::compress(const JpegImage& image, CxFile* stream, char* error, size_t errorSize) {
    if (!m_state) {
        m_state = cxMakeUnique<State>(); // value-initialised: all zero
        if (!m_state) {
            std::snprintf(error, errorSize, "%s", "JPEG encoder can't allocate memory");
            return false;
        }
    }
    m_state->destination.stream = stream;
    const bool ok = compressImage(&image, m_state.get());
    m_state->destination.stream = nullptr;
    if (!ok) std::snprintf(error, errorSize, "%s", m_state->error.message);
    return ok;
}

bool CxImageJPG::Encode(CxFile* stream) {
    if (!CheckEncodeArguments(stream)) return false;
    // Only 8-bit grey (palette entry i = (i, i, i)) and 24-bit colour rows are laid out as
    // libjpeg reads them; anything else is refused.
    const bool grey = GetPaletteCount() > 0;
    if ((grey && (GetBpp() != 8 || !IsGreyPalette())) || (!grey && GetBpp() != 24)) {
        SetError("JPEG can save only RGB or GreyScale images");
        return false;
    }
    CxJpegCompressor::JpegImage image{};
    image.pixels = GetBits(0);
    image.effWidth = GetLineBytes();
    image.width = GetWidth();
    image.height = GetHeight();
    image.grey = grey;
    image.quality = GetJpegQuality();
    image.dpiX = GetDpiX();
    image.dpiY = GetDpiY();

    CxJpegCompressor local;
    CxJpegCompressor* compressor = m_compressor ? m_compressor : &local;
    char message[JMSG_LENGTH_MAX];
    if (compressor->compress(image, stream, message, sizeof(message))) return true;
    SetError(message);
    return false;
}

} // namespace qx::imageout
