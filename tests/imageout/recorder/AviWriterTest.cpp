// AVI writer: header fields and index byte for byte against the layout table,
// the size limit, errors and their texts, and a file checked by ffprobe and ffmpeg.
#include "imageout/recorder/AviLayout.h"
#include "imageout/recorder/AviWriter.h"
#include "Programs.h"
#include "RecorderTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace qx::imageout::recorder;
using namespace rectest;

namespace {

void le32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = uint8_t(v >> (8 * i));
}
void le16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
    b[off] = uint8_t(v);
    b[off + 1] = uint8_t(v >> 8);
}
void tag(std::vector<uint8_t>& b, size_t off, const char* t) { std::memcpy(&b[off], t, 4); }
uint32_t rd32(const std::vector<uint8_t>& b, size_t off) {
    return uint32_t(b[off]) | uint32_t(b[off + 1]) << 8 | uint32_t(b[off + 2]) << 16 | uint32_t(b[off + 3]) << 24;
}

struct Expect {
    uint32_t width = 0, height = 0;
    uint32_t usPerFrame = 0, rate = 0;
    const char* compressor = "MJPG";
    bool final = false;
    uint32_t frames = 0, riffSize = 0, moviSize = 0;
    uint32_t flags = 0x110;
};

// The 2048-byte header area written out from the layout table, field by field.
std::vector<uint8_t> expectedHeader(const Expect& e) {
    std::vector<uint8_t> b(2048, 0);
    tag(b, 0, "RIFF");
    le32(b, 4, e.final ? e.riffSize : 0x7EFFF003);
    tag(b, 8, "AVI ");
    tag(b, 12, "LIST");
    le32(b, 16, 192);
    tag(b, 20, "hdrl");
    tag(b, 24, "avih");
    le32(b, 28, 56);
    le32(b, 32, e.usPerFrame);
    le32(b, 44, e.flags);
    le32(b, 48, e.final ? e.frames : 0);
    le32(b, 56, 1);
    le32(b, 64, e.width);
    le32(b, 68, e.height);
    tag(b, 88, "LIST");
    le32(b, 92, 116);
    tag(b, 96, "strl");
    tag(b, 100, "strh");
    le32(b, 104, 56);
    tag(b, 108, "vids");
    std::memcpy(&b[112], e.compressor, 4);
    le32(b, 128, 1000000);
    le32(b, 132, e.rate);
    le32(b, 140, e.final ? e.frames : 0);
    le32(b, 148, 0xFFFFFFFF);
    tag(b, 164, "strf");
    le32(b, 168, 40);
    le32(b, 172, 40);
    le32(b, 176, e.width);
    le32(b, 180, e.height);
    le16(b, 184, 1);
    le16(b, 186, 24);
    std::memcpy(&b[188], e.compressor, 4);
    le32(b, 192, e.width * e.height * 3);
    if (e.final) {
        tag(b, 212, "LIST");
        le32(b, 216, 76);
        tag(b, 220, "INFO");
        tag(b, 224, "ISFT");
        le32(b, 228, 64);
        tag(b, 296, "JUNK");
        le32(b, 300, 1732);
    } else {
        tag(b, 212, "JUNK");
        le32(b, 216, 1816);
    }
    tag(b, 2036, "LIST");
    le32(b, 2040, e.final ? e.moviSize : 0x7EFFF003);
    tag(b, 2044, "movi");
    return b;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& b, size_t off, size_t n) {
    return std::vector<uint8_t>(b.begin() + long(off), b.begin() + long(off + n));
}

class AviWriterTest : public ::testing::Test {
protected:
    void TearDown() override { AVI_set_max_file_bytes_for_testing(0); }
    TempDir dir;
};

} // namespace

TEST_F(AviWriterTest, ZeroFramesGive2056ByteFile) {
    const std::string path = dir.file("zero.avi");
    avi_t* avi = AVI_open_output_file(path.c_str());
    ASSERT_NE(avi, nullptr);
    AVI_set_video(avi, 4, 2, 25.0, "MJPG");
    ASSERT_EQ(AVI_close(avi), 0);

    const auto file = readFile(path);
    ASSERT_EQ(file.size(), 2056u);
    Expect e;
    e.width = 4;
    e.height = 2;
    e.usPerFrame = 40000;
    e.rate = 25000000;
    e.final = true;
    e.frames = 0;
    e.riffSize = 2048;
    e.moviSize = 4;
    EXPECT_EQ(slice(file, 0, 2048), expectedHeader(e));
    const std::vector<uint8_t> idx = {'i', 'd', 'x', '1', 0, 0, 0, 0};
    EXPECT_EQ(slice(file, 2048, 8), idx);
}

TEST_F(AviWriterTest, HeaderWhileRecordingHasPlaceholders) {
    const std::string path = dir.file("open.avi");
    avi_t* avi = AVI_open_output_file(path.c_str());
    ASSERT_NE(avi, nullptr);
    EXPECT_EQ(avi->pos, 2048u);
    EXPECT_EQ(readFile(path), std::vector<uint8_t>(2048, 0)); // placeholder before AVI_set_video
    AVI_set_video(avi, 640, 480, 25.0, "MJPG");
    Expect e;
    e.width = 640;
    e.height = 480;
    e.usPerFrame = 40000;
    e.rate = 25000000;
    EXPECT_EQ(readFile(path), expectedHeader(e));
    EXPECT_EQ(AVI_close(avi), 0);
}

TEST_F(AviWriterTest, OddFrameIsPaddedAndIndexed) {
    const std::string path = dir.file("odd.avi");
    avi_t* avi = AVI_open_output_file(path.c_str());
    ASSERT_NE(avi, nullptr);
    AVI_set_video(avi, 32, 16, 25.0, "MJPG");
    std::vector<uint8_t> data(1001);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 1);
    ASSERT_EQ(AVI_write_frame(avi, data.data(), data.size(), 1), 0);
    EXPECT_EQ(avi->pos, 2048u + 1010u);
    EXPECT_EQ(avi->n_idx, 1u);
    EXPECT_EQ(avi->video_frames, 1u);
    EXPECT_EQ(avi->last_pos, 2048u);
    EXPECT_EQ(avi->last_len, 1001u);
    EXPECT_EQ(avi->max_len, 1001u);
    EXPECT_EQ(AVI_bytes_remain(avi), int64_t(0x7EFFF7F7) - 16 - 3058);
    ASSERT_EQ(AVI_close(avi), 0);

    const auto file = readFile(path);
    ASSERT_EQ(file.size(), 3082u);
    Expect e;
    e.width = 32;
    e.height = 16;
    e.usPerFrame = 40000;
    e.rate = 25000000;
    e.final = true;
    e.frames = 1;
    e.riffSize = 3074;
    e.moviSize = 1014;
    EXPECT_EQ(slice(file, 0, 2048), expectedHeader(e));
    // The chunk: tag, length, data, one pad byte.
    EXPECT_EQ(slice(file, 2048, 4), (std::vector<uint8_t>{'0', '0', 'd', 'b'}));
    EXPECT_EQ(rd32(file, 2052), 1001u);
    EXPECT_EQ(slice(file, 2056, 1001), data);
    EXPECT_EQ(file[3057], 0);
    // The index: one entry, key frame, the chunk's file offset and data length.
    EXPECT_EQ(slice(file, 3058, 4), (std::vector<uint8_t>{'i', 'd', 'x', '1'}));
    EXPECT_EQ(rd32(file, 3062), 16u);
    EXPECT_EQ(slice(file, 3066, 4), (std::vector<uint8_t>{'0', '0', 'd', 'b'}));
    EXPECT_EQ(rd32(file, 3070), 0x10u);
    EXPECT_EQ(rd32(file, 3074), 2048u);
    EXPECT_EQ(rd32(file, 3078), 1001u);
}

TEST_F(AviWriterTest, NonKeyFrameAndEvenFrame) {
    const std::string path = dir.file("even.avi");
    avi_t* avi = AVI_open_output_file(path.c_str());
    ASSERT_NE(avi, nullptr);
    AVI_set_video(avi, 8, 8, 25.0, "MJPG");
    const std::vector<uint8_t> a(6, 0xAA), b(3, 0xBB);
    ASSERT_EQ(AVI_write_frame(avi, a.data(), a.size(), 0), 0);
    ASSERT_EQ(AVI_write_frame(avi, b.data(), b.size(), 1), 0);
    ASSERT_EQ(AVI_write_frame(avi, nullptr, 0, 1), 0); // an empty frame is a bare chunk head
    ASSERT_EQ(AVI_close(avi), 0);
    const auto file = readFile(path);
    // chunks: 2048 (8+6), 2062 (8+3+1), 2074 (8); index at 2082 with 3 entries.
    ASSERT_EQ(file.size(), 2082u + 8 + 48);
    EXPECT_EQ(rd32(file, 2052), 6u);
    EXPECT_EQ(rd32(file, 2066), 3u);
    EXPECT_EQ(file[2073], 0); // pad
    EXPECT_EQ(rd32(file, 2078), 0u);
    EXPECT_EQ(rd32(file, 2040), 2082u - 2044u); // movi size
    EXPECT_EQ(rd32(file, 4), uint32_t(file.size() - 8));
    EXPECT_EQ(rd32(file, 48), 3u);
    EXPECT_EQ(rd32(file, 140), 3u);
    const size_t idx = 2082 + 8;
    EXPECT_EQ(rd32(file, idx + 4), 0u); // not a key frame
    EXPECT_EQ(rd32(file, idx + 8), 2048u);
    EXPECT_EQ(rd32(file, idx + 12), 6u);
    EXPECT_EQ(rd32(file, idx + 16 + 4), 0x10u);
    EXPECT_EQ(rd32(file, idx + 16 + 8), 2062u);
    EXPECT_EQ(rd32(file, idx + 32 + 8), 2074u);
    EXPECT_EQ(rd32(file, idx + 32 + 12), 0u);
}

TEST_F(AviWriterTest, FrameRateFields) {
    EXPECT_EQ(qx::imageout::recorder::microSecondsPerFrame(25.0), 40000u);
    EXPECT_EQ(qx::imageout::recorder::streamRate(25.0), 25000000u);
    EXPECT_EQ(qx::imageout::recorder::microSecondsPerFrame(0.0), 0u);
    EXPECT_EQ(qx::imageout::recorder::streamRate(0.0), 0u);
    EXPECT_EQ(qx::imageout::recorder::microSecondsPerFrame(0.0009), 0u);
    EXPECT_EQ(qx::imageout::recorder::microSecondsPerFrame(0.001), 1000000000u);
    EXPECT_EQ(qx::imageout::recorder::streamRate(0.001), 1000u);
    EXPECT_EQ(qx::imageout::recorder::microSecondsPerFrame(-5.0), 0u);
    EXPECT_EQ(qx::imageout::recorder::streamRate(-5.0), 0u);
    EXPECT_EQ(qx::imageout::recorder::microSecondsPerFrame(std::nan("")), 0u);
    EXPECT_EQ(qx::imageout::recorder::streamRate(std::nan("")), 0u);
    EXPECT_EQ(qx::imageout::recorder::microSecondsPerFrame(29.97), 33367u);
    EXPECT_EQ(qx::imageout::recorder::streamRate(29.97), 29970000u);
    // Huge rates saturate instead of overflowing the 32-bit fields.
    EXPECT_EQ(qx::imageout::recorder::streamRate(1e12), 0x7FFFFFFFu);
    EXPECT_EQ(qx::imageout::recorder::streamRate(std::numeric_limits<double>::infinity()), 0x7FFFFFFFu);
    EXPECT_EQ(qx::imageout::recorder::streamRate(double(std::numeric_limits<float>::max())), 0x7FFFFFFFu);
    EXPECT_EQ(qx::imageout::recorder::microSecondsPerFrame(1e12), 0u);

    // The same in the file: fps 0 gives both fields 0.
    const std::string path = dir.file("fps0.avi");
    avi_t* avi = AVI_open_output_file(path.c_str());
    ASSERT_NE(avi, nullptr);
    AVI_set_video(avi, 16, 16, 0.0, "MJPG");
    ASSERT_EQ(AVI_close(avi), 0);
    const auto file = readFile(path);
    EXPECT_EQ(rd32(file, 32), 0u);
    EXPECT_EQ(rd32(file, 128), 1000000u);
    EXPECT_EQ(rd32(file, 132), 0u);
}

// Above 2147.48 fps the rate no longer fits over the scale 1000000: the scale gives way, so
// that the stream header's rate / scale and the main header's microseconds per frame tell the
// same rate for every rate from 0.001 to 1000000 fps.
TEST_F(AviWriterTest, BothHeadersAgreeOnHighRates) {
    for (const double fps : {0.001, 0.5, 25.0, 29.97, 2147.0, 2148.0, 5000.0, 12345.5, 100000.0, 999999.0, 1e6}) {
        const std::string path = dir.file("fps.avi");
        avi_t* avi = AVI_open_output_file(path.c_str());
        ASSERT_NE(avi, nullptr);
        AVI_set_video(avi, 16, 16, fps, "MJPG");
        ASSERT_EQ(AVI_close(avi), 0);
        const auto file = readFile(path);
        ASSERT_EQ(file.size(), 2056u);
        const double usec = rd32(file, 32), scale = rd32(file, 128), rate = rd32(file, 132);
        ASSERT_GT(scale, 0.0) << fps;
        EXPECT_NEAR(rate / scale, fps, fps * 1e-6 + 0.5 / scale) << fps;
        // The main header holds whole microseconds: it agrees to within half of one.
        EXPECT_NEAR(usec, 1e6 / fps, 0.5) << fps;
        if (fps <= 2147.0) {
            EXPECT_EQ(scale, 1000000.0) << fps; // the usual scale where it fits
        }
    }
    // ffprobe reads 5000 fps from a recording at that rate.
    const std::string path = dir.file("fast.avi");
    avi_t* avi = AVI_open_output_file(path.c_str());
    ASSERT_NE(avi, nullptr);
    AVI_set_video(avi, 16, 16, 5000.0, "MJPG");
    const std::vector<uint8_t> gray(16 * 16, 0x80);
    const auto jpeg = encodeGrayJpeg(gray.data(), 16, 16, 90);
    ASSERT_EQ(AVI_write_frame(avi, jpeg.data(), jpeg.size(), 1), 0);
    ASSERT_EQ(AVI_close(avi), 0);
    const Probe probe = ffprobe(path);
    ASSERT_TRUE(probe.ok) << probe.error;
    EXPECT_EQ(probe.rFrameRate, "5000/1");
}

TEST_F(AviWriterTest, CompressorText) {
    const std::string path = dir.file("comp.avi");
    avi_t* avi = AVI_open_output_file(path.c_str());
    ASSERT_NE(avi, nullptr);
    auto comp = [&] { return std::string(avi->compressor, 4); };
    AVI_set_video(avi, 1, 1, 1.0, "RGB");
    EXPECT_EQ(comp(), std::string(4, '\0'));
    AVI_set_video(avi, 1, 1, 1.0, "RGB24");
    EXPECT_EQ(comp(), std::string(4, '\0'));
    AVI_set_video(avi, 1, 1, 1.0, "MJPGX");
    EXPECT_EQ(comp(), "MJPG");
    AVI_set_video(avi, 1, 1, 1.0, "ab");
    EXPECT_EQ(comp(), std::string("ab\0\0", 4));
    AVI_set_video(avi, 1, 1, 1.0, nullptr);
    EXPECT_EQ(comp(), std::string(4, '\0'));
    AVI_set_video(avi, 1, 1, 1.0, "MJPG");
    EXPECT_EQ(AVI_close(avi), 0);
    EXPECT_EQ(slice(readFile(path), 112, 4), (std::vector<uint8_t>{'M', 'J', 'P', 'G'}));
}

TEST_F(AviWriterTest, BytesRemainAfterOpen) {
    avi_t* avi = AVI_open_output_file(dir.file("remain.avi").c_str());
    ASSERT_NE(avi, nullptr);
    EXPECT_EQ(AVI_bytes_remain(avi), 2130704375 - 2048);
    EXPECT_EQ(AVI_close(avi), 0);
    EXPECT_EQ(AVI_bytes_remain(nullptr), 0);
}

TEST_F(AviWriterTest, SizeLimitAtTheRealLimit) {
    avi_t* avi = AVI_open_output_file(dir.file("limit.avi").c_str());
    ASSERT_NE(avi, nullptr);
    EXPECT_EQ(avi->max_file_bytes, 0x7EFFF7FFu);
    // Pretend the file is nearly full: pos + 16 x (0 + 2) + length may reach 2130704383.
    avi->pos = 2130704383u - 32 - 100;
    std::vector<uint8_t> data(101, 1);
    EXPECT_EQ(AVI_write_frame(avi, data.data(), 101, 1), -1);
    EXPECT_EQ(avi->last_error, AVI_ERR_SIZELIM);
    EXPECT_STREQ(AVI_strerror(avi), "avilib - AVI file size limit reached");
    EXPECT_EQ(avi->n_idx, 0u);
    EXPECT_EQ(avi->video_frames, 0u);
    EXPECT_EQ(avi->pos, 2130704383u - 132);
    // A length past 4 GiB must not wrap around the 32-bit limit check.
    avi->pos = 2048;
    EXPECT_EQ(AVI_write_frame(avi, data.data(), (uint64_t(1) << 32) + 16, 1), -1);
    EXPECT_EQ(avi->last_error, AVI_ERR_SIZELIM);
    EXPECT_EQ(AVI_write_frame(avi, data.data(), ~uint64_t(0), 1), -1);
    EXPECT_EQ(avi->n_idx, 0u);
    EXPECT_EQ(AVI_close(avi), 0); // the file stays intact and closable
}

TEST_F(AviWriterTest, SizeLimitBoundaryWithLoweredLimit) {
    AVI_set_max_file_bytes_for_testing(4096);
    EXPECT_EQ(AVI_max_file_bytes(), 4096u);
    const std::string path = dir.file("lowered.avi");
    avi_t* avi = AVI_open_output_file(path.c_str());
    ASSERT_NE(avi, nullptr);
    AVI_set_max_file_bytes_for_testing(0); // the record keeps the limit it was opened with
    EXPECT_EQ(avi->max_file_bytes, 4096u);
    EXPECT_EQ(AVI_bytes_remain(avi), 4096 - 8 - 2048);
    std::vector<uint8_t> data(2017, 3);
    EXPECT_EQ(AVI_write_frame(avi, data.data(), 2017, 1), -1); // 2048 + 32 + 2017 > 4096
    EXPECT_EQ(avi->last_error, AVI_ERR_SIZELIM);
    EXPECT_EQ(AVI_write_frame(avi, data.data(), 2016, 1), 0); // exactly at the limit
    EXPECT_EQ(AVI_bytes_remain(avi), 0);                      // 4088 - 16 - 4072
    EXPECT_EQ(AVI_close(avi), 0);
    EXPECT_EQ(readFile(path).size(), 2048u + 8 + 2016 + 8 + 16); // 4096 exactly
}

TEST_F(AviWriterTest, ReopeningALongerFileCutsIt) {
    const std::string path = dir.file("reuse.avi");
    std::vector<uint8_t> data(5000, 9);
    avi_t* avi = AVI_open_output_file(path.c_str());
    ASSERT_NE(avi, nullptr);
    AVI_set_video(avi, 8, 8, 10.0, "MJPG");
    for (int i = 0; i < 10; ++i) ASSERT_EQ(AVI_write_frame(avi, data.data(), data.size(), 1), 0);
    ASSERT_EQ(AVI_close(avi), 0);
    ASSERT_EQ(readFile(path).size(), 2048u + 10 * 5008 + 8 + 160);

    avi = AVI_open_output_file(path.c_str());
    ASSERT_NE(avi, nullptr);
    AVI_set_video(avi, 8, 8, 10.0, "MJPG");
    ASSERT_EQ(AVI_write_frame(avi, data.data(), 11, 1), 0);
    ASSERT_EQ(AVI_close(avi), 0);
    const auto file = readFile(path);
    EXPECT_EQ(file.size(), 2048u + 20 + 8 + 16);
    EXPECT_EQ(rd32(file, 4), uint32_t(file.size() - 8));
    EXPECT_EQ(rd32(file, 48), 1u);
}

TEST_F(AviWriterTest, IndexGrowsInStepsOf4096) {
    const std::string path = dir.file("many.avi");
    avi_t* avi = AVI_open_output_file(path.c_str());
    ASSERT_NE(avi, nullptr);
    AVI_set_video(avi, 8, 8, 10.0, "MJPG");
    const uint8_t byte = 0x5A;
    ASSERT_EQ(AVI_write_frame(avi, &byte, 1, 1), 0);
    EXPECT_EQ(avi->max_idx, 4096u);
    for (int i = 1; i < 5000; ++i) ASSERT_EQ(AVI_write_frame(avi, &byte, 1, 1), 0);
    EXPECT_EQ(avi->n_idx, 5000u);
    EXPECT_EQ(avi->max_idx, 8192u);
    ASSERT_EQ(AVI_close(avi), 0);
    const auto file = readFile(path);
    const size_t idx = 2048 + 5000 * 10;
    ASSERT_EQ(file.size(), idx + 8 + 5000 * 16);
    EXPECT_EQ(rd32(file, idx + 4), 80000u);
    for (uint32_t i = 0; i < 5000; i += 499) {
        EXPECT_EQ(rd32(file, idx + 8 + 16 * i + 8), 2048 + 10 * i);
        EXPECT_EQ(rd32(file, idx + 8 + 16 * i + 12), 1u);
    }
}

TEST_F(AviWriterTest, WriteErrorTextCarriesTheSystemText) {
    const std::string path = dir.file("full.avi");
    avi_t* avi = AVI_open_output_file(path.c_str());
    ASSERT_NE(avi, nullptr);
    AVI_set_video(avi, 8, 8, 10.0, "MJPG");
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    ASSERT_GE(::dup2(full, avi->fdes), 0);
    ::close(full);
    std::vector<uint8_t> data(100, 1);
    EXPECT_EQ(AVI_write_frame(avi, data.data(), data.size(), 1), -1);
    EXPECT_EQ(avi->last_error, AVI_ERR_WRITE);
    EXPECT_EQ(std::string(AVI_strerror(avi)),
              std::string("avilib - Error writing to AVI file - ") + std::strerror(ENOSPC));
    // Nothing of the failed frame stays: no index entry, no count, same position.
    EXPECT_EQ(avi->n_idx, 0u);
    EXPECT_EQ(avi->video_frames, 0u);
    EXPECT_EQ(avi->pos, 2048u);
    EXPECT_EQ(AVI_close(avi), -1); // the index and header cannot be written either
}

TEST_F(AviWriterTest, ErrorTexts) {
    avi_t* avi = AVI_open_output_file(dir.file("texts.avi").c_str());
    ASSERT_NE(avi, nullptr);
    const char* expected[] = {
        "avilib - No Error",
        "avilib - AVI file size limit reached",
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        "avilib - Operation (read/write) not permitted",
        "avilib - Out of memory (malloc failed)",
        "avilib - Not an AVI file",
        "avilib - AVI file has no header list (corrupted?)",
        "avilib - AVI file has no MOVI list (corrupted?)",
        "avilib - AVI file has no video data",
        "avilib - operation needs an index",
        "avilib - Unkown Error",
    };
    for (int code = 0; code <= 14; ++code) {
        avi->last_error = code;
        avi->last_errno = EACCES;
        if (expected[code]) {
            EXPECT_STREQ(AVI_strerror(avi), expected[code]) << code;
        }
    }
    const char* withErrno[] = {
        "avilib - Error opening AVI file", "avilib - Error reading from AVI file", "avilib - Error writing to AVI file",
        "avilib - Error writing index (file may still be useable)", "avilib - Error closing AVI file"};
    for (int code = 2; code <= 6; ++code) {
        avi->last_error = code;
        EXPECT_EQ(std::string(AVI_strerror(avi)), std::string(withErrno[code - 2]) + " - " + std::strerror(EACCES));
    }
    avi->last_error = 99;
    EXPECT_STREQ(AVI_strerror(avi), "avilib - Unkown Error");
    avi->last_error = -3;
    EXPECT_STREQ(AVI_strerror(avi), "avilib - Unkown Error");
    avi->last_error = 0;
    EXPECT_EQ(AVI_close(avi), 0);
}

TEST_F(AviWriterTest, ReadingModeRefusesWriting) {
    avi_t* avi = AVI_open_output_file(dir.file("read.avi").c_str());
    ASSERT_NE(avi, nullptr);
    avi->mode = AVI_MODE_READ;
    const uint8_t byte = 1;
    EXPECT_EQ(AVI_write_frame(avi, &byte, 1, 1), -1);
    EXPECT_EQ(avi->last_error, AVI_ERR_NOT_PERM);
    EXPECT_EQ(AVI_bytes_remain(avi), 0);
    AVI_set_video(avi, 10, 10, 10.0, "MJPG");
    EXPECT_EQ(avi->width, 0);
    EXPECT_EQ(AVI_close(avi), 0); // only closes the descriptor
}

TEST_F(AviWriterTest, OpenFailures) {
    EXPECT_EQ(AVI_open_output_file(nullptr), nullptr);
    EXPECT_EQ(AVI_open_output_file(dir.file("no/such/folder/x.avi").c_str()), nullptr);
    EXPECT_EQ(AVI_open_output_file("/dev/full"), nullptr); // the placeholder cannot be written
}

// A file of real grey JPEG frames, checked by ffprobe and ffmpeg and decoded back.
TEST_F(AviWriterTest, FileOfJpegFramesIsReadByFfmpeg) {
    ASSERT_TRUE(qxtest::onPath("ffprobe") && qxtest::onPath("ffmpeg")) << "install ffmpeg (scripts/install-deps)";
    const int w = 320, h = 240, n = 12;
    const std::string path = dir.file("jpeg.avi");
    avi_t* avi = AVI_open_output_file(path.c_str());
    ASSERT_NE(avi, nullptr);
    AVI_set_video(avi, w, h, 25.0, "MJPG");
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < n; ++i) {
        frames.push_back(makeNumberedFrame(w, h, uint32_t(i * 1111 + 3)));
        const auto jpeg = encodeGrayJpeg(frames.back().data(), w, h, 90);
        ASSERT_EQ(AVI_write_frame(avi, jpeg.data(), jpeg.size(), 1), 0);
    }
    ASSERT_EQ(AVI_close(avi), 0);

    const Probe p = ffprobe(path);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.codecName, "mjpeg");
    EXPECT_EQ(p.codecTag, "MJPG");
    EXPECT_EQ(p.width, w);
    EXPECT_EQ(p.height, h);
    EXPECT_EQ(p.pixFmt, "gray");
    EXPECT_EQ(p.rFrameRate, "25/1");
    EXPECT_EQ(p.nbFrames, n);
    EXPECT_EQ(p.nbReadFrames, n);
    std::string messages;
    EXPECT_TRUE(ffmpegDecodesClean(path, &messages)) << messages;
    const auto decoded = decodeGrayFrames(path, w, h);
    ASSERT_EQ(decoded.size(), size_t(n));
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(readFrameNumber(decoded[i].data(), w, h), i * 1111 + 3);
        EXPECT_LT(meanAbsDiff(decoded[i].data(), frames[i].data(), frames[i].size()), 2.0);
    }
}
