// JPEG encoder over libjpeg.
//
// libjpeg reports fatal errors through error_exit, which must not return. It leaves through
// longjmp back into compressImage(), a C-style function: between its setjmp and every place that
// can raise an error (libjpeg itself and the destination callbacks below) no C++ object with a
// destructor is alive, so no destructor is skipped. All state that must survive the jump lives
// in the caller's JpegContext, not in locals of compressImage().
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

#include <jpeglib.h>
#include <jerror.h>

#include "CxImageCodecs.h"

namespace {

constexpr size_t kOutputBlock = 4096;

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
struct JpegJob {
    const uint8_t* pixels;  // first stored row (bottom line of the picture)
    uint32_t effWidth;
    uint32_t width;
    uint32_t height;
    bool grey;
    int quality;
    int dpiX;
    int dpiY;
};

struct JpegContext {
    jpeg_compress_struct cinfo;
    JpegErrorManager error;
    JpegDestination destination;
};

void errorExit(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void outputMessage(j_common_ptr) {}  // warnings are not printed

void initDestination(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<JpegDestination*>(cinfo->dest);
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = kOutputBlock;
}

boolean emptyOutputBuffer(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<JpegDestination*>(cinfo->dest);
    if (dest->stream->Write(dest->buffer, 1, kOutputBlock) != kOutputBlock) ERREXIT(cinfo, JERR_FILE_WRITE);
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = kOutputBlock;
    return TRUE;
}

void termDestination(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<JpegDestination*>(cinfo->dest);
    const size_t count = kOutputBlock - dest->pub.free_in_buffer;
    if (count > 0 && dest->stream->Write(dest->buffer, 1, count) != count) ERREXIT(cinfo, JERR_FILE_WRITE);
    dest->stream->Flush();
    if (dest->stream->HasError()) ERREXIT(cinfo, JERR_FILE_WRITE);
}

// Compresses the picture top line first. Returns false with ctx->error.message set on failure.
bool compressImage(const JpegJob* job, JpegContext* ctx)
{
    ctx->cinfo.err = jpeg_std_error(&ctx->error.pub);
    ctx->error.pub.error_exit = errorExit;
    ctx->error.pub.output_message = outputMessage;
    ctx->error.message[0] = '\0';
    if (setjmp(ctx->error.jump)) {
        jpeg_destroy_compress(&ctx->cinfo);
        return false;
    }
    jpeg_create_compress(&ctx->cinfo);

    ctx->destination.pub.init_destination = initDestination;
    ctx->destination.pub.empty_output_buffer = emptyOutputBuffer;
    ctx->destination.pub.term_destination = termDestination;
    ctx->cinfo.dest = &ctx->destination.pub;

    ctx->cinfo.image_width = job->width;
    ctx->cinfo.image_height = job->height;
    ctx->cinfo.input_components = job->grey ? 1 : 3;
    ctx->cinfo.in_color_space = job->grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&ctx->cinfo);
    jpeg_set_quality(&ctx->cinfo, job->quality, FALSE);
    ctx->cinfo.comp_info[0].h_samp_factor = 2;
    ctx->cinfo.comp_info[0].v_samp_factor = 2;
    for (int c = 1; c < ctx->cinfo.num_components; ++c) {
        ctx->cinfo.comp_info[c].h_samp_factor = 1;
        ctx->cinfo.comp_info[c].v_samp_factor = 1;
    }
    ctx->cinfo.density_unit = 1;
    ctx->cinfo.X_density = static_cast<UINT16>(std::clamp(job->dpiX, 1, 65535));
    ctx->cinfo.Y_density = static_cast<UINT16>(std::clamp(job->dpiY, 1, 65535));

    jpeg_start_compress(&ctx->cinfo, TRUE);
    JSAMPARRAY rowBuffer =
        (*ctx->cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&ctx->cinfo), JPOOL_IMAGE, job->effWidth + 8, 1);
    while (ctx->cinfo.next_scanline < ctx->cinfo.image_height) {
        const uint32_t storedRow = job->height - 1 - ctx->cinfo.next_scanline;
        const uint8_t* src = job->pixels + static_cast<uint64_t>(storedRow) * job->effWidth;
        std::memcpy(rowBuffer[0], src, job->effWidth);
        if (!job->grey) {
            uint8_t* p = rowBuffer[0];
            for (uint64_t i = 0; i < 3ull * job->width; i += 3) std::swap(p[i], p[i + 2]);
        }
        jpeg_write_scanlines(&ctx->cinfo, rowBuffer, 1);
    }
    jpeg_finish_compress(&ctx->cinfo);
    jpeg_destroy_compress(&ctx->cinfo);
    return true;
}

} // namespace

bool CxImageJPG::Encode(CxFile* stream)
{
    if (!CheckEncodeArguments(stream)) return false;
    // Only 8-bit grey (palette entry i = (i, i, i)) and 24-bit colour rows are laid out as
    // libjpeg reads them; anything else is refused.
    const bool grey = GetPaletteCount() > 0;
    if ((grey && (GetBpp() != 8 || !IsGreyPalette())) || (!grey && GetBpp() != 24)) {
        SetError("JPEG can save only RGB or GreyScale images");
        return false;
    }
    JpegJob job{};
    job.pixels = GetBits(0);
    job.effWidth = GetEffWidth();
    job.width = GetWidth();
    job.height = GetHeight();
    job.grey = grey;
    job.quality = GetJpegQuality();
    job.dpiX = GetDpiX();
    job.dpiY = GetDpiY();

    JpegContext* ctx = new (std::nothrow) JpegContext;
    if (!ctx) {
        SetError("JPEG encoder can't allocate memory");
        return false;
    }
    std::memset(ctx, 0, sizeof(*ctx));
    ctx->destination.stream = stream;
    const bool ok = compressImage(&job, ctx);
    if (!ok) SetError(ctx->error.message);
    delete ctx;
    return ok;
}
