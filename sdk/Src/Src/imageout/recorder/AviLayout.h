// AviLayout: the on-disk layout of the AVI files the recorder writes.
//
// One video-only RIFF "AVI " file: a fixed 2048-byte header area (header list, stream list,
// filler, and the head of the "movi" list), one "00db" chunk per frame, and at close an
// "idx1" index chunk. Every multi-byte field is little-endian. This header holds the offsets
// and constants of that layout and the encoder of the 2048-byte header area, so the writer
// (AviWriter.cpp) and the tests work on decoded values and one place owns the bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::imageout::recorder {

// ---- sizes and limits ------------------------------------------------------------------------
constexpr uint32_t kHeaderBytes = 2048;             // header area written before the first frame
constexpr uint32_t kMaxFileBytes = 0x7EFFF7FF;      // 2130704383: no write may take a file past this
constexpr uint32_t kRemainBase = kMaxFileBytes - 8; // 0x7EFFF7F7: base of AVI_bytes_remain
constexpr uint32_t kPlaceholderSize = 0x7EFFF003;   // RIFF and movi sizes until close
constexpr uint32_t kChunkHeadBytes = 8;             // tag + 32-bit length
constexpr uint32_t kIndexEntryBytes = 16;           // tag, flags, offset, length
constexpr uint32_t kIndexGrowEntries = 4096;        // the index grows by this many entries

// ---- avih flags and index flags ----------------------------------------------------------------
constexpr uint32_t kAvifHasIndex = 0x00000010;
constexpr uint32_t kAvifMustUseIndex = 0x00000020;
constexpr uint32_t kAvifIsInterleaved = 0x00000100;
constexpr uint32_t kIndexKeyFrame = 0x00000010; // AVIIF_KEYFRAME

// ---- offsets in the header area ----------------------------------------------------------------
constexpr size_t kOffRiffSize = 4;
constexpr size_t kOffHdrlListSize = 16; // 192
constexpr size_t kOffMicroSecPerFrame = 32;
constexpr size_t kOffAvihFlags = 44;
constexpr size_t kOffTotalFrames = 48;
constexpr size_t kOffStreams = 56;
constexpr size_t kOffAvihWidth = 64;
constexpr size_t kOffAvihHeight = 68;
constexpr size_t kOffStrlList = 88;
constexpr size_t kOffStrhType = 108;    // "vids"
constexpr size_t kOffStrhHandler = 112; // compressor
constexpr size_t kOffStrhScale = 128;
constexpr size_t kOffStrhRate = 132;
constexpr size_t kOffStrhLength = 140;
constexpr size_t kOffStrhQuality = 148;
constexpr size_t kOffStrf = 164;
constexpr size_t kOffStrfWidth = 176;
constexpr size_t kOffStrfHeight = 180;
constexpr size_t kOffStrfCompression = 188;
constexpr size_t kOffStrfImageSize = 192;
constexpr size_t kOffFiller = 212;    // "JUNK" while recording, "LIST" INFO when final
constexpr size_t kOffFinalJunk = 296; // "JUNK" after the INFO list in the final header
constexpr size_t kOffMoviList = 2036; // "LIST" size "movi"
constexpr size_t kOffMoviListSize = 2040;
constexpr size_t kOffMoviTag = 2044; // the movi list's size counts from here

constexpr uint32_t kHdrlListSize = 192;
constexpr uint32_t kStrlListSize = 116;
constexpr uint32_t kAvihSize = 56;
constexpr uint32_t kStrhSize = 56;
constexpr uint32_t kStrfSize = 40;
constexpr uint32_t kRecordingJunkSize = 1816;
constexpr uint32_t kInfoListSize = 76;
constexpr uint32_t kIsftSize = 64;
constexpr uint32_t kFinalJunkSize = 1732;
constexpr uint32_t kScale = 1000000;
constexpr uint32_t kQualityDefault = 0xFFFFFFFF;

// Tag of a compressed video frame chunk and of the index chunk.
constexpr char kFrameTag[4] = {'0', '0', 'd', 'b'};
constexpr char kIndexTag[4] = {'i', 'd', 'x', '1'};

// Frame rates below this count as "no rate": microseconds per frame and rate are 0.
constexpr double kMinFps = 0.001;

// avih microseconds per frame: (int)(1000000 / fps + 0.5); 0 below kMinFps (and for NaN);
// saturates at INT32_MAX instead of overflowing.
uint32_t microSecondsPerFrame(double fps);
// strh scale: 1000000, or for a rate above 2147.48 fps the largest smaller power of ten over
// which the rate fits 31 bits (so that rate / scale stays the rate the main header tells).
uint32_t streamScale(double fps);
// strh rate over streamScale: (int)(fps * scale + 0.5); 0 below kMinFps (and for NaN);
// saturates at INT32_MAX for rates that no scale holds (above 2147483647 fps).
uint32_t streamRate(double fps);

// The values the header area is built from.
struct HeaderFields {
    int32_t width = 0;
    int32_t height = 0;
    double fps = 0.0;
    char compressor[4] = {0, 0, 0, 0}; // all zero for uncompressed
    bool mustUseIndex = false;
    uint32_t streams = 1; // audio tracks + 1
    // Final header (written at close): sizes and counts below are used, the INFO list
    // replaces the start of the filler. Otherwise the placeholders are written.
    bool final = false;
    uint32_t videoFrames = 0; // final only
    uint32_t riffSize = 0;    // final only: file length - 8
    uint32_t moviSize = 0;    // final only: pos before the index - 2044
    bool indexWritten = true; // final only: false drops kAvifHasIndex from the flags
};

// Encodes the 2048-byte header area.
void buildHeader(uint8_t (&out)[kHeaderBytes], const HeaderFields& fields);

} // namespace qx::imageout::recorder
