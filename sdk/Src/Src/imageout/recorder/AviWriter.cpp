// AVI file writer. Layout constants and the header encoder: AviLayout.h.
#include "imageout/recorder/AviWriter.h"

#include "imageout/recorder/AviLayout.h"

#include "Sys/ByteOrder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace qx::imageout::recorder {

namespace {

std::atomic<uint32_t> g_maxFileBytes{kMaxFileBytes};

// Writes all `length` bytes, repeating partial writes; false (errno set) on failure.
bool writeAll(int fd, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = ::write(fd, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void setError(avi_t* avi, int code, int savedErrno) {
    avi->last_error = code;
    avi->last_errno = savedErrno;
}

HeaderFields baseFields(const avi_t* avi) {
    HeaderFields f;
    f.width = avi->width;
    f.height = avi->height;
    f.fps = avi->fps;
    std::memcpy(f.compressor, avi->compressor, 4);
    f.mustUseIndex = avi->must_use_index != 0;
    f.streams = static_cast<uint32_t>(avi->anum) + 1;
    return f;
}

// Writes the header area at offset 0 and returns to pos; error 6 on failure.
int avi_update_header(avi_t* avi) {
    uint8_t header[kHeaderBytes];
    buildHeader(header, baseFields(avi));
    if (::lseek(avi->fdes, 0, SEEK_SET) != 0 || !writeAll(avi->fdes, header, sizeof header) ||
        ::lseek(avi->fdes, static_cast<off_t>(avi->pos), SEEK_SET) != static_cast<off_t>(avi->pos)) {
        setError(avi, AVI_ERR_CLOSE, errno);
        return -1;
    }
    return 0;
}

// Appends one index entry, growing the index by 4096 entries when it is full.
int avi_add_index_entry(avi_t* avi, const char (&tag)[4], uint32_t flags, uint32_t pos, uint32_t length) {
    if (avi->n_idx >= avi->max_idx) {
        const uint64_t newCapacity = uint64_t(avi->max_idx) + kIndexGrowEntries;
        try {
            avi->idx.reserve(static_cast<size_t>(newCapacity * kIndexEntryBytes));
        } catch (const std::exception&) {
            setError(avi, AVI_ERR_NO_MEM, ENOMEM);
            return -1;
        }
        avi->max_idx = static_cast<uint32_t>(newCapacity);
    }
    uint8_t entry[kIndexEntryBytes];
    std::memcpy(entry, tag, 4);
    qx::sys::storeLe32(entry + 4, flags);
    qx::sys::storeLe32(entry + 8, pos);
    qx::sys::storeLe32(entry + 12, length);
    avi->idx.insert(avi->idx.end(), entry, entry + kIndexEntryBytes); // within the reserved room
    ++avi->n_idx;
    return 0;
}

// Writes a chunk (head, data, pad byte for an odd length) at pos; on failure seeks back to
// pos and sets error 4.
int avi_add_chunk(avi_t* avi, const char (&tag)[4], const void* data, uint32_t length) {
    uint8_t head[kChunkHeadBytes];
    std::memcpy(head, tag, 4);
    qx::sys::storeLe32(head + 4, length);
    static const uint8_t pad = 0;
    const bool ok = writeAll(avi->fdes, head, sizeof head) && (length == 0 || writeAll(avi->fdes, data, length)) &&
                    ((length & 1u) == 0 || writeAll(avi->fdes, &pad, 1));
    if (!ok) {
        const int savedErrno = errno;
        ::lseek(avi->fdes, static_cast<off_t>(avi->pos), SEEK_SET);
        setError(avi, AVI_ERR_WRITE, savedErrno);
        return -1;
    }
    avi->pos += kChunkHeadBytes + ((length + 1u) & ~1u);
    return 0;
}

int avi_write_data(avi_t* avi, const void* data, uint64_t length, bool keyframe) {
    // Size limit: pos + 16 x (entries + 2) + length > limit, computed so that nothing wraps
    // (pos and entries are 32-bit, so `used` fits 64 bits; length is compared on its own first).
    const uint64_t used = uint64_t(avi->pos) + uint64_t(kIndexEntryBytes) * (uint64_t(avi->n_idx) + 2);
    if (length > avi->max_file_bytes || used > uint64_t(avi->max_file_bytes) - length) {
        setError(avi, AVI_ERR_SIZELIM, 0);
        return -1;
    }
    const auto len32 = static_cast<uint32_t>(length); // below the limit, so it fits
    if (avi_add_index_entry(avi, kFrameTag, keyframe ? kIndexKeyFrame : 0, avi->pos, len32) != 0) return -1;
    if (avi_add_chunk(avi, kFrameTag, data, len32) != 0) {
        // The chunk is not in the file: its index entry goes too, so that the index never
        // points at a chunk that the next write overwrites.
        avi->idx.resize(avi->idx.size() - kIndexEntryBytes);
        --avi->n_idx;
        return -1;
    }
    if (len32 > avi->max_len) avi->max_len = len32;
    return 0;
}

int AVI_close_output_file(avi_t* avi) {
    const uint32_t moviSize = avi->pos - static_cast<uint32_t>(kOffMoviTag);

    bool indexOk = true;
    if (avi_add_chunk(avi, kIndexTag, avi->idx.data(), avi->n_idx * kIndexEntryBytes) != 0) {
        setError(avi, AVI_ERR_WRITE_INDEX, avi->last_errno);
        indexOk = false;
    }

    HeaderFields f = baseFields(avi);
    f.final = true;
    f.videoFrames = avi->video_frames;
    f.riffSize = avi->pos - 8;
    f.moviSize = moviSize;
    f.indexWritten = indexOk;
    uint8_t header[kHeaderBytes];
    buildHeader(header, f);
    if (::lseek(avi->fdes, 0, SEEK_SET) != 0 || !writeAll(avi->fdes, header, sizeof header) ||
        ::ftruncate(avi->fdes, static_cast<off_t>(avi->pos)) != 0) {
        setError(avi, AVI_ERR_CLOSE, errno);
        return -1;
    }
    return indexOk ? 0 : -1;
}

// strerror_r comes in a GNU flavour (returns the text) and an XSI flavour (fills the buffer).
[[maybe_unused]] const char* pickStrerror(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* pickStrerror(const char* result, const char*) { return result; }

const char* const kErrorTexts[] = {
    "avilib - No Error",
    "avilib - AVI file size limit reached",
    "avilib - Error opening AVI file",
    "avilib - Error reading from AVI file",
    "avilib - Error writing to AVI file",
    "avilib - Error writing index (file may still be useable)",
    "avilib - Error closing AVI file",
    "avilib - Operation (read/write) not permitted",
    "avilib - Out of memory (malloc failed)",
    "avilib - Not an AVI file",
    "avilib - AVI file has no header list (corrupted?)",
    "avilib - AVI file has no MOVI list (corrupted?)",
    "avilib - AVI file has no video data",
    "avilib - operation needs an index",
    "avilib - Unkown Error",
};
constexpr int kErrorTextCount = sizeof kErrorTexts / sizeof kErrorTexts[0];

} // namespace

avi_t* AVI_open_output_file(const char* filename) {
    std::unique_ptr<avi_t> avi(new (std::nothrow) avi_t{});
    if (!avi || filename == nullptr) return nullptr;

    // Read and write, created when missing, never truncated here (AVI_close cuts the file to
    // its length); permissions rw for all, less the process's umask.
    avi->fdes = ::open(filename, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (avi->fdes < 0) return nullptr;

    static const uint8_t zeros[kHeaderBytes] = {};
    if (!writeAll(avi->fdes, zeros, sizeof zeros)) {
        ::close(avi->fdes);
        return nullptr;
    }
    avi->pos = kHeaderBytes;
    avi->mode = AVI_MODE_WRITE;
    avi->anum = 0;
    avi->max_file_bytes = g_maxFileBytes.load(std::memory_order_relaxed);
    return avi.release();
}

void AVI_set_video(avi_t* avi, int width, int height, double fps, const char* compressor) {
    if (avi == nullptr || avi->mode == AVI_MODE_READ) return;
    avi->width = width;
    avi->height = height;
    avi->fps = fps;
    std::memset(avi->compressor, 0, sizeof avi->compressor);
    if (compressor != nullptr && std::strncmp(compressor, "RGB", 3) != 0) {
        for (size_t i = 0; i < 4 && compressor[i] != '\0'; ++i) avi->compressor[i] = compressor[i];
    }
    avi_update_header(avi);
}

int AVI_write_frame(avi_t* avi, const void* data, uint64_t bytes, int keyframe) {
    if (avi == nullptr) return -1;
    if (avi->mode == AVI_MODE_READ) {
        setError(avi, AVI_ERR_NOT_PERM, 0);
        return -1;
    }
    if (data == nullptr && bytes > 0) {
        setError(avi, AVI_ERR_WRITE, EINVAL);
        return -1;
    }
    const uint32_t pos = avi->pos;
    if (avi_write_data(avi, data, bytes, keyframe != 0) != 0) return -1;
    ++avi->video_frames;
    avi->last_pos = pos;
    avi->last_len = static_cast<uint32_t>(bytes);
    return 0;
}

int64_t AVI_bytes_remain(avi_t* avi) {
    if (avi == nullptr || avi->mode == AVI_MODE_READ) return 0;
    const int64_t remain =
        int64_t(avi->max_file_bytes) - 8 - int64_t(kIndexEntryBytes) * int64_t(avi->n_idx) - int64_t(avi->pos);
    return remain > 0 ? remain : 0;
}

int AVI_close(avi_t* avi) {
    if (avi == nullptr) return -1;
    std::unique_ptr<avi_t> owned(avi); // freed in every case
    int result = 0;
    if (avi->mode == AVI_MODE_WRITE && AVI_close_output_file(avi) != 0) result = -1;
    if (::close(avi->fdes) != 0) result = -1;
    return result;
}

const char* AVI_strerror(avi_t* avi) {
    thread_local char text[512];
    int code = avi != nullptr ? avi->last_error : kErrorTextCount - 1;
    if (code < 0 || code >= kErrorTextCount) code = kErrorTextCount - 1;
    if (code >= AVI_ERR_OPEN && code <= AVI_ERR_CLOSE) {
        char sys[256] = {};
        const char* sysText = pickStrerror(strerror_r(avi->last_errno, sys, sizeof sys), sys);
        std::snprintf(text, sizeof text, "%s - %s", kErrorTexts[code], sysText);
        return text;
    }
    return kErrorTexts[code];
}

void AVI_set_max_file_bytes_for_testing(uint32_t limit) {
    g_maxFileBytes.store(limit == 0 ? kMaxFileBytes : limit, std::memory_order_relaxed);
}

uint32_t AVI_max_file_bytes() { return g_maxFileBytes.load(std::memory_order_relaxed); }

} // namespace qx::imageout::recorder
