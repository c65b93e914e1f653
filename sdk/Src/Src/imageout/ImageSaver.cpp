#include "imageout/ImageSaver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include <lodepng.h>
#include <zlib.h>

#include "imageout/PixelConverter.h"
#include "Sys/ByteOrder.h"
#include "Sys/PixelFormat.h"
#include "Sys/Log.h"

namespace qx::imageout {

namespace {

// LodePNG's deflate through zlib (the same zlib stream format, several times faster at 5 MP).
// The block is malloc'ed, as LodePNG frees it with free().
unsigned zlibCompress(unsigned char** out, size_t* outSize, const unsigned char* in, size_t inSize,
                      const LodePNGCompressSettings*) {
    uLongf size = compressBound(static_cast<uLong>(inSize));
    CxBytes block = cxAllocate(size);
    if (!block) return 83; // LodePNG's "memory allocation failed"
    if (compress2(block.get(), &size, in, static_cast<uLong>(inSize), Z_DEFAULT_COMPRESSION) != Z_OK) {
        return 111; // LodePNG's "custom zlib or inflate decompression failed"
    }
    *out = block.release();
    *outSize = size;
    return 0;
}

// A save goes to a new file beside the target, renamed over it only once every byte is
// written and the file is closed: a failed save leaves neither a truncated file nor an empty
// one, and a file saved earlier under the name stays as it was. Where that cannot be done (the
// target is a device or another special file, or no file can be made beside it) the save
// writes the target itself, and a file it made there is removed again when the save fails.
class FileReplacement {
public:
    explicit FileReplacement(const char* path) : m_path(path) {
        struct stat st {};
        if (::lstat(path, &st) == 0) {
            m_existed = true;
            if (!S_ISREG(st.st_mode)) return; // written in place: never replaced or removed
            m_mode = st.st_mode & 07777;
        }
        const std::string text(path);
        const size_t slash = text.rfind('/');
        const std::string dir = slash == std::string::npos ? std::string(".") : text.substr(0, slash + 1);
        static std::atomic<uint32_t> counter{0};
        for (int attempt = 0; attempt < 16; ++attempt) {
            const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
            std::string name = dir + (slash == std::string::npos ? "/" : "") + ".qxsave-" + std::to_string(::getpid()) +
                               "-" + std::to_string(counter.fetch_add(1)) + "-" +
                               std::to_string(static_cast<uint64_t>(tick) & 0xFFFFFF) + ".tmp";
            // Created with the usual permissions less the umask, or the replaced file's own.
            const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0) {
                if (errno == EEXIST) continue;
                return; // no file beside the target: the target is written in place
            }
            if (m_existed) ::fchmod(fd, m_mode);
            ::close(fd);
            m_temp = std::move(name);
            return;
        }
    }
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;
    ~FileReplacement() {
        if (!m_done) finish(false, "");
    }

    // The name the encoder writes.
    const char* writePath() const { return m_temp.empty() ? m_path : m_temp.c_str(); }

    // Puts the written file in place (`written`) or removes it; false when the save failed.
    bool finish(bool written, const char* func) {
        m_done = true;
        if (m_temp.empty()) {
            if (!written && !m_existed) ::unlink(m_path);
            return written;
        }
        if (written && ::rename(m_temp.c_str(), m_path) == 0) return true;
        if (written)
            QX_LOG_NAMED(spdlog::level::err, func, "func:{}, rename to {} failed, err={}", m_path,
                         std::strerror(errno));
        ::unlink(m_temp.c_str());
        return false;
    }

private:
    const char* m_path;
    std::string m_temp;
    bool m_existed = false;
    mode_t m_mode = 0;
    bool m_done = false;
};

} // namespace

ImageSaver::ImageSaver() : CxImage(0) {}

// The side buffer goes first (members before the base), then the image.
ImageSaver::~ImageSaver() = default;

void ImageSaver::buildRawHeader(const SaveFileParam& p, uint8_t out[kRawHeaderSize]) {
    out[0] = 0x01;
    out[1] = static_cast<uint8_t>(p.nPixelFormat >> 16);
    qx::sys::storeBe32(out + 2, p.nPixelFormat);
    qx::sys::storeBe32(out + 6, p.nWidth);
    qx::sys::storeBe32(out + 10, p.nHeight);
    qx::sys::storeBe32(out + 14, p.nDataLen);
}

uint32_t ImageSaver::saveNormalFormat(SaveFileParam& p) {
    if (p.enImageType == 0 || p.enImageType == 6) return QX_ERR_INVALID_PARAM;
    if (p.nPixelFormat == 0 || !p.pData) return QX_ERR_INVALID_PARAM;
    if (p.pImagePath[0] == '\0' || p.nDataLen == 0 || p.nHeight == 0 || p.nWidth == 0) return QX_ERR_INVALID_PARAM;
    // Packed formats at their real size (1.5 bytes per pixel), the others at whole bytes.
    if (p.nDataLen < qx::sys::frameBytes(p.nPixelFormat, uint64_t(p.nHeight) * p.nWidth)) return QX_ERR_INVALID_PARAM;

    const size_t count = sizeof(p.pImagePath);
    const size_t i = strnlen(p.pImagePath, count);
    if (i == 0 || i >= count) {
        QX_LOG_ERROR("func:save, i={}, count={}, 0 == i || i >= count", i, count);
        return QX_ERR_INVALID_PARAM;
    }

    uint32_t format = CXIMAGE_FORMAT_UNKNOWN;
    uint8_t quality = 100;
    switch (p.enImageType) {
    case QX_IMAGE_BMP: format = CXIMAGE_FORMAT_BMP; break;
    case QX_IMAGE_JPG:
        format = CXIMAGE_FORMAT_JPG;
        quality = (p.nQuality >= 50 && p.nQuality <= 100) ? static_cast<uint8_t>(p.nQuality) : 100;
        break;
    case QX_IMAGE_PNG: break;
    case QX_IMAGE_TIFF: format = CXIMAGE_FORMAT_TIF; break;
    case QX_IMAGE_RAW: return saveRawFormat(p);
    default: QX_LOG_ERROR("func:{}, Unknown pstSaveFileParam->enImageType={}", p.enImageType); return QX_ERR_GENERAL;
    }

    if (!convertToMono8(p, this)) return QX_ERR_GENERAL;
    if (p.enImageType == QX_IMAGE_JPG) SetJpegQuality(quality);
    if (p.enImageType == QX_IMAGE_PNG) return savePng(p, this);
    FileReplacement file(p.pImagePath);
    return file.finish(Save(file.writePath(), format), QX_FUNC) ? QX_OK : QX_ERR_GENERAL;
}

bool ImageSaver::convertToMono8(SaveFileParam& p, CxImage* image) {
    const bool padded = p.nWidth % 4 != 0;
    if (!image->IsValid() || image->GetWidth() != p.nWidth || image->GetHeight() != p.nHeight || image->GetBpp() != 8) {
        *image = CxImage(p.nWidth, p.nHeight, 8, 0);
        if (image->GetHeight() != p.nHeight) {
            QX_LOG_ERROR("func:{}, Create CxImage failed, err:{}", image->GetErrorText());
            return false;
        }
        if (padded) {
            m_sideBuffer.reset();
            QX_LOG_DEBUG("func:{}, byteCountPerPixel={}", 1);
        }
    }
    const size_t pixelCount = static_cast<size_t>(p.nWidth) * p.nHeight;
    if (padded && !m_sideBuffer) {
        m_sideBuffer.reset(new (std::nothrow) uint8_t[pixelCount]);
        if (!m_sideBuffer) {
            QX_LOG_ERROR("func:{}, side buffer allocation failed, size={}", pixelCount);
            return false;
        }
    }
    image->SetGrayPalette();

    ConvertParam cvt{};
    cvt.nWidth = p.nWidth;
    cvt.nHeight = p.nHeight;
    cvt.enSrcPixelType = p.nPixelFormat;
    cvt.pSrcData = p.pData;
    cvt.nSrcDataLen = p.nDataLen;
    cvt.enDstPixelType = QX_PIXEL_MONO8;
    cvt.nDstDataSize = static_cast<uint32_t>(pixelCount);
    cvt.pDstData = padded ? m_sideBuffer.get() : image->GetBits(0);
    const bool bottomUp = p.enImageType != QX_IMAGE_PNG;
    PixelConverter* converter = PixelConverter::getConverterInstance();
    if (!padded) {
        // Rows of exactly nWidth bytes: the converter writes them straight into their stored
        // places, bottom-up except for PNG, so no flip pass follows.
        return (bottomUp ? converter->convertToMono8Lines(cvt, p.nWidth, true) : converter->convertPixels(cvt)) ==
               QX_OK;
    }
    if (converter->convertPixels(cvt) != QX_OK) return false;
    const bool ok = image->CreateFromArray(m_sideBuffer.get(), p.nWidth, p.nHeight, 8, p.nWidth, bottomUp);
    QX_LOG_DEBUG("func:{}, cxImg->CreateFromArray={}", ok);
    return ok;
}

uint32_t ImageSaver::savePng(SaveFileParam& p, CxImage* image) {
    const uint8_t* rows = p.nWidth % 4 != 0 ? m_sideBuffer.get() : image->GetBits(0);
    if (!rows) return QX_ERR_GENERAL;

    std::vector<unsigned char> png;
    unsigned error = 0;
    try {
        lodepng::State state;
        state.info_raw.colortype = LCT_GREY;
        state.info_raw.bitdepth = 8;
        state.info_png.color.colortype = LCT_GREY;
        state.info_png.color.bitdepth = 8;
        state.encoder.auto_convert = 0;
        state.encoder.zlibsettings.custom_zlib = zlibCompress;
        error = lodepng::encode(png, rows, p.nWidth, p.nHeight, state);
    } catch (const std::bad_alloc&) {
        error = 83; // LodePNG's "memory allocation failed"
    }
    if (error != 0) {
        QX_LOG_ERROR("func:{}, lodepng::encode failed, error={}", lodepng_error_text(error));
        return QX_ERR_GENERAL;
    }

    // Written here rather than by LodePNG's file helper, which does not report short writes.
    FileReplacement target(p.pImagePath);
    FILE* file = std::fopen(target.writePath(), "wb");
    if (!file) {
        QX_LOG_ERROR("func:{}, lodepng::save_file failed, error={}", lodepng_error_text(79));
        return QX_ERR_GENERAL;
    }
    const bool written = png.empty() || std::fwrite(png.data(), 1, png.size(), file) == png.size();
    const int writeErrno = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        QX_LOG_ERROR("func:{}, lodepng::save_file failed, error={}",
                     std::string("failed to write file: ") + std::strerror(written ? errno : writeErrno));
        return QX_ERR_GENERAL;
    }
    return target.finish(true, QX_FUNC) ? QX_OK : QX_ERR_GENERAL;
}

uint32_t ImageSaver::saveRawFormat(SaveFileParam& p) {
    FileReplacement target(p.pImagePath);
    std::ofstream out;
    out.exceptions(std::ios_base::failbit | std::ios_base::badbit);
    try {
        out.open(target.writePath(), std::ios_base::out | std::ios_base::binary | std::ios_base::trunc);
        if (p.bRawHeaderEnabled) {
            uint8_t header[kRawHeaderSize];
            buildRawHeader(p, header);
            out.write(reinterpret_cast<const char*>(header), sizeof(header));
        }
        out.write(reinterpret_cast<const char*>(p.pData), p.nDataLen);
        out.flush();
        out.close();
    } catch (const std::ios_base::failure& e) {
        QX_LOG_ERROR("func:{}, std::ios_base::failure={}", e.what());
        return QX_ERR_GENERAL;
    }
    return target.finish(true, QX_FUNC) ? QX_OK : QX_ERR_GENERAL;
}

} // namespace qx::imageout
