// AviWriter: writes one video-only AVI file of compressed frames.
//
// The video recorder (VideoRecorder.h) opens a file with AVI_open_output_file, gives it its
// size, rate and compressor with AVI_set_video, appends one Motion-JPEG frame per
// AVI_write_frame, asks AVI_bytes_remain to start the next file before the size limit, and
// ends it with AVI_close, which writes the index and the final header and frees the record.
// The byte layout lives in AviLayout.h.
//
// No locking inside: one thread uses a record at a time. AVI_strerror keeps its text in a
// buffer per thread, so writers on several handles may ask at once.
#pragma once

#include <cstdint>
#include <vector>

namespace qx::imageout::recorder {

// Error codes kept in avi_t::last_error (texts in AVI_strerror).
enum : int {
    AVI_ERR_NONE = 0,
    AVI_ERR_SIZELIM = 1,     // AVI file size limit reached
    AVI_ERR_OPEN = 2,        // error opening AVI file
    AVI_ERR_READ = 3,        // error reading from AVI file (reading only; never set here)
    AVI_ERR_WRITE = 4,       // error writing to AVI file
    AVI_ERR_WRITE_INDEX = 5, // error writing index (file may still be useable)
    AVI_ERR_CLOSE = 6,       // error closing AVI file
    AVI_ERR_NOT_PERM = 7,    // operation (read/write) not permitted
    AVI_ERR_NO_MEM = 8,      // out of memory
    AVI_ERR_NO_AVI = 9,      // reading only
    AVI_ERR_NO_HDRL = 10,    // reading only
    AVI_ERR_NO_MOVI = 11,    // reading only
    AVI_ERR_NO_VIDS = 12,    // reading only
    AVI_ERR_NO_IDX = 13,     // reading only
};

enum : int { AVI_MODE_WRITE = 0, AVI_MODE_READ = 1 };

// One open AVI file, owned by the caller from AVI_open_output_file to AVI_close.
struct avi_t {
    int fdes = -1;             // C runtime file descriptor
    int mode = AVI_MODE_WRITE; // 1 (reading) refuses every writing operation
    int32_t width = 0;
    int32_t height = 0;
    double fps = 0.0;
    char compressor[4] = {0, 0, 0, 0}; // zero for uncompressed
    uint32_t pos = 0;                  // where the next chunk goes; 2048 after opening
    uint32_t n_idx = 0;                // index entries used
    uint32_t max_idx = 0;              // index capacity in entries
    std::vector<uint8_t> idx;          // index entries, 16 little-endian bytes each
    uint32_t video_frames = 0;
    uint32_t last_pos = 0; // of the last frame chunk
    uint32_t last_len = 0;
    int must_use_index = 0; // no operation sets it
    int anum = 0;           // audio tracks; no operation adds one
    uint32_t max_len = 0;   // largest length entered in the index
    int last_error = AVI_ERR_NONE;
    int last_errno = 0;          // errno saved when last_error was set (texts of codes 2 to 6)
    uint32_t max_file_bytes = 0; // size limit of this file (0x7EFFF7FF unless lowered for a test)
};

// Opens (creating, never truncating) `filename` for writing and writes the 2048-byte header
// placeholder. Null on any failure.
avi_t* AVI_open_output_file(const char* filename);

// Records width, height, frame rate and compressor ("RGB..." means uncompressed, otherwise
// the first four characters) and rewrites the header. Nothing in reading mode.
void AVI_set_video(avi_t* avi, int width, int height, double fps, const char* compressor);

// Appends one "00db" chunk (padded to even length) and its index entry; key frames are
// flagged 0x10 in the index. 0, or -1 with last_error set (1 size limit, 4 write error,
// 7 reading mode, 8 out of memory).
int AVI_write_frame(avi_t* avi, const void* data, uint64_t bytes, int keyframe);

// Bytes that remain before the size limit: 0x7EFFF7F7 - 16 x index entries - pos, never
// below 0; 0 in reading mode.
int64_t AVI_bytes_remain(avi_t* avi);

// Writes the index and the final header, cuts the file to its length, closes it and frees
// the record (in every case). 0, or -1 when something failed.
int AVI_close(avi_t* avi);

// Text of the record's last error; codes 2 to 6 add " - " and the system's text of the errno
// saved with the error. The text stays valid until the same thread calls again.
const char* AVI_strerror(avi_t* avi);

// Test seam: the size limit taken by files opened from now on (default 0x7EFFF7FF; 0 restores
// it). Lowering it to 0x6400000 + N makes the recorder start a new file after about N bytes.
void AVI_set_max_file_bytes_for_testing(uint32_t limit);
uint32_t AVI_max_file_bytes();

} // namespace qx::imageout::recorder
