// Encoder of the AVI header area (layout in AviLayout.h).
#include "imageout/recorder/AviLayout.h"

#include "Sys/ByteOrder.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace qx::imageout::recorder {

namespace {

// (int)(value + 0.5) for a non-negative value, saturated at INT32_MAX.
uint32_t roundSaturated(double value) {
    const double rounded = value + 0.5;
    if (!(rounded < static_cast<double>(INT32_MAX))) return static_cast<uint32_t>(INT32_MAX);
    return static_cast<uint32_t>(static_cast<int32_t>(rounded));
}

void putTag(uint8_t* out, size_t offset, const char (&tag)[5]) { std::memcpy(out + offset, tag, 4); }

void put32(uint8_t* out, size_t offset, uint32_t value) { qx::sys::storeLe32(out + offset, value); }

void put16(uint8_t* out, size_t offset, uint16_t value) { qx::sys::storeLe16(out + offset, value); }

} // namespace

uint32_t microSecondsPerFrame(double fps) {
    if (!(fps >= kMinFps)) return 0; // also NaN
    return roundSaturated(1000000.0 / fps);
}

uint32_t streamScale(double fps) {
    uint32_t scale = kScale;
    while (scale > 1 && fps >= kMinFps && fps * scale + 0.5 >= static_cast<double>(INT32_MAX)) scale /= 10;
    return scale;
}

uint32_t streamRate(double fps) {
    if (!(fps >= kMinFps)) return 0;
    return roundSaturated(fps * streamScale(fps));
}

void buildHeader(uint8_t (&out)[kHeaderBytes], const HeaderFields& f) {
    std::memset(out, 0, sizeof out);
    uint8_t* h = out;
    const uint32_t width = static_cast<uint32_t>(f.width);
    const uint32_t height = static_cast<uint32_t>(f.height);

    putTag(h, 0, "RIFF");
    put32(h, kOffRiffSize, f.final ? f.riffSize : kPlaceholderSize);
    putTag(h, 8, "AVI ");

    // Header list.
    putTag(h, 12, "LIST");
    put32(h, kOffHdrlListSize, kHdrlListSize);
    putTag(h, 20, "hdrl");

    // Main AVI header.
    putTag(h, 24, "avih");
    put32(h, 28, kAvihSize);
    put32(h, kOffMicroSecPerFrame, microSecondsPerFrame(f.fps));
    put32(h, 36, 0); // maximum bytes per second
    put32(h, 40, 0); // padding granularity
    uint32_t flags = kAvifHasIndex | kAvifIsInterleaved;
    if (f.mustUseIndex) flags |= kAvifMustUseIndex;
    if (f.final && !f.indexWritten) flags &= ~kAvifHasIndex;
    put32(h, kOffAvihFlags, flags);
    put32(h, kOffTotalFrames, f.final ? f.videoFrames : 0);
    put32(h, 52, 0); // initial frames
    put32(h, kOffStreams, f.streams);
    put32(h, 60, 0); // suggested buffer size
    put32(h, kOffAvihWidth, width);
    put32(h, kOffAvihHeight, height);
    // 72..87: four reserved words, zero

    // Stream list.
    putTag(h, kOffStrlList, "LIST");
    put32(h, 92, kStrlListSize);
    putTag(h, 96, "strl");

    putTag(h, 100, "strh");
    put32(h, 104, kStrhSize);
    putTag(h, kOffStrhType, "vids");
    std::memcpy(h + kOffStrhHandler, f.compressor, 4);
    put32(h, 116, 0); // stream flags
    put32(h, 120, 0); // priority and language
    put32(h, 124, 0); // initial frames
    put32(h, kOffStrhScale, streamScale(f.fps));
    put32(h, kOffStrhRate, streamRate(f.fps));
    put32(h, 136, 0); // start
    put32(h, kOffStrhLength, f.final ? f.videoFrames : 0);
    put32(h, 144, 0); // suggested buffer size
    put32(h, kOffStrhQuality, kQualityDefault);
    put32(h, 152, 0); // sample size
    // 156..163: frame rectangle, zero

    putTag(h, kOffStrf, "strf");
    put32(h, 168, kStrfSize);
    put32(h, 172, kStrfSize); // bitmap header size
    put32(h, kOffStrfWidth, width);
    put32(h, kOffStrfHeight, height);
    put16(h, 184, 1);  // planes
    put16(h, 186, 24); // bits per pixel
    std::memcpy(h + kOffStrfCompression, f.compressor, 4);
    // Image size: width x height x 3, computed in 64 bits and saturated to the 32-bit field.
    const uint64_t imageSize = uint64_t(width) * uint64_t(height) * 3u;
    put32(h, kOffStrfImageSize, imageSize > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(imageSize));
    // 196..211: resolution and colour counts, zero

    if (f.final) {
        putTag(h, kOffFiller, "LIST");
        put32(h, kOffFiller + 4, kInfoListSize);
        putTag(h, kOffFiller + 8, "INFO");
        putTag(h, kOffFiller + 12, "ISFT");
        put32(h, kOffFiller + 16, kIsftSize);
        // 232..295: sixty-four zero bytes
        putTag(h, kOffFinalJunk, "JUNK");
        put32(h, kOffFinalJunk + 4, kFinalJunkSize);
    } else {
        putTag(h, kOffFiller, "JUNK");
        put32(h, kOffFiller + 4, kRecordingJunkSize);
    }

    putTag(h, kOffMoviList, "LIST");
    put32(h, kOffMoviListSize, f.final ? f.moviSize : kPlaceholderSize);
    putTag(h, kOffMoviTag, "movi");
}

} // namespace qx::imageout::recorder
