// Video recorder: AVI recordings checked by ffprobe and ffmpeg and decoded back
// frame by frame (each test frame carries its number), splitting with a lowered size limit,
// raw recordings byte for byte, state errors, pool exhaustion and stale frames.
#include "imageout/recorder/AviWriter.h"
#include "imageout/CxFile.h"
#include "imageout/CxImage.h"
#include "LogCapture.h"
#include "Programs.h"
#include "RecorderTestSupport.h"
#include "SmallFs.h"
#include "imageout/recorder/VideoRecorder.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <functional>
#include <limits>
#include <cmath>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace qx::imageout;

using namespace qx::imageout::recorder;
using namespace rectest;
namespace fs = std::filesystem;
using qxtest::waitUntil;

namespace {

constexpr uint32_t kRgb8 = 0x02180014u;

RecordParam aviParam(int width, int height, float fps, const char* path, uint32_t pixel = QX_PIXEL_MONO8) {
    RecordParam p{};
    p.enPixelType = pixel;
    p.nWidth = uint16_t(width);
    p.nHeight = uint16_t(height);
    p.nBpp = 8;
    p.fFrameRate = fps;
    p.enRecordFmtType = QX_RECORD_AVI;
    p.strFilePath = path;
    return p;
}

RecordParam rawParam(int width, int height, float fps, const char* path, bool header) {
    RecordParam p = aviParam(width, height, fps, path);
    p.enRecordFmtType = QX_RECORD_RAW;
    p.bRawHeaderEnabled = header;
    return p;
}

std::vector<std::vector<uint8_t>> numberedFrames(int width, int height, int count, uint32_t first = 0) {
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < count; ++i) frames.push_back(makeNumberedFrame(width, height, first + uint32_t(i)));
    return frames;
}

// Hands every frame over, waiting while the pool is exhausted, so that all are recorded.
void handOver(VideoRecorder& rec, const std::vector<std::vector<uint8_t>>& frames) {
    for (const auto& frame : frames) {
        RecordFrameInfo info{frame.data(), uint32_t(frame.size())};
        uint32_t rc;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while ((rc = rec.write(info)) == QX_ERR_NO_FREE_BUFFER && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        ASSERT_EQ(rc, QX_OK);
    }
}

// Waits until `count` frames are in the files (or lost), then stops.
void finish(VideoRecorder& rec, uint64_t count) {
    EXPECT_TRUE(waitUntil(
        [&] {
            auto s = rec.stats();
            return s.framesWritten + s.framesDropped >= count;
        },
        std::chrono::seconds(120)));
    EXPECT_EQ(rec.stats().framesDropped, 0u);
    EXPECT_EQ(rec.stats().framesWritten, count);
    EXPECT_EQ(rec.stop(), QX_OK);
}

uint32_t rd32(const std::vector<uint8_t>& b, size_t off) {
    return uint32_t(b[off]) | uint32_t(b[off + 1]) << 8 | uint32_t(b[off + 2]) << 16 | uint32_t(b[off + 3]) << 24;
}

// ffprobe and ffmpeg on one recording; returns the decoded frames.
std::vector<std::vector<uint8_t>> checkRecording(const std::string& path, int width, int height, long frames,
                                                 const std::string& rate) {
    const Probe p = ffprobe(path);
    EXPECT_TRUE(p.ok) << path << ": " << p.error;
    EXPECT_EQ(p.codecName, "mjpeg") << path;
    EXPECT_EQ(p.codecTag, "MJPG") << path;
    EXPECT_EQ(p.width, width) << path;
    EXPECT_EQ(p.height, height) << path;
    EXPECT_EQ(p.pixFmt, "gray") << path;
    if (!rate.empty()) {
        EXPECT_EQ(p.rFrameRate, rate) << path;
    }
    EXPECT_EQ(p.nbFrames, frames) << path;
    EXPECT_EQ(p.nbReadFrames, frames) << path;
    std::string messages;
    EXPECT_TRUE(ffmpegDecodesClean(path, &messages)) << path << ": " << messages;
    auto decoded = decodeGrayFrames(path, width, height);
    EXPECT_EQ(decoded.size(), size_t(frames)) << path;
    return decoded;
}

// Each decoded frame carries the number of the frame handed over at the same place and
// looks like it.
void checkContent(const std::vector<std::vector<uint8_t>>& decoded, const std::vector<std::vector<uint8_t>>& sent,
                  uint32_t firstNumber, int width, int height) {
    ASSERT_EQ(decoded.size(), sent.size());
    for (size_t i = 0; i < decoded.size(); ++i) {
        EXPECT_EQ(readFrameNumber(decoded[i].data(), width, height), int(firstNumber + i)) << "frame " << i;
        EXPECT_LT(meanAbsDiff(decoded[i].data(), sent[i].data(), sent[i].size()), 2.5) << "frame " << i;
    }
}

class VideoRecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(qxtest::onPath("ffprobe") && qxtest::onPath("ffmpeg")) << "install ffmpeg (scripts/install-deps)";
        m_log.emplace();
    }
    void TearDown() override {
        AVI_set_max_file_bytes_for_testing(0);
        m_log.reset();
    }

    TempDir dir;
    std::optional<qxtest::LogCapture> m_log; // every log line, for the checks on the log texts
};

// Runs the body with the temporary folder as working directory (for short relative paths).
class InDir {
public:
    explicit InDir(const fs::path& dir) : m_old(fs::current_path()) { fs::current_path(dir); }
    ~InDir() { fs::current_path(m_old); }

private:
    fs::path m_old;
};

} // namespace

TEST_F(VideoRecorderTest, Mono8RecordingIsValidAndInOrder) {
    const int w = 640, h = 480, n = 40;
    const std::string path = dir.file("rec.avi");
    VideoRecorder rec;
    RecordParam p = aviParam(w, h, 25.f, path.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    EXPECT_EQ(rec.stats().encoderTasks, 3u);
    EXPECT_EQ(rec.stats().memStreams, 4u);
    const auto frames = numberedFrames(w, h, n);
    handOver(rec, frames);
    finish(rec, n);
    EXPECT_EQ(rec.stats().filesOpened, 1u);
    EXPECT_FALSE(fs::exists(dir.file("rec_2.avi")));
    checkContent(checkRecording(path, w, h, n, "25/1"), frames, 0, w, h);
}

TEST_F(VideoRecorderTest, OddWidthUsesSixEncodersAndStaysInOrder) {
    const int w = 641, h = 37, n = 60;
    const std::string path = dir.file("odd.avi");
    VideoRecorder rec;
    RecordParam p = aviParam(w, h, 30.f, path.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    EXPECT_EQ(rec.stats().encoderTasks, 6u);
    EXPECT_EQ(rec.stats().memStreams, 7u);
    const auto frames = numberedFrames(w, h, n, 500);
    handOver(rec, frames);
    finish(rec, n);
    checkContent(checkRecording(path, w, h, n, "30/1"), frames, 500, w, h);
}

// Many frames as fast as they are taken: the encoders finish in any order, the file must not.
TEST_F(VideoRecorderTest, ManyFramesKeepArrivalOrder) {
    const int w = 320, h = 240, n = 400;
    const std::string path = dir.file("many.avi");
    VideoRecorder rec;
    RecordParam p = aviParam(w, h, 100.f, path.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    const auto frames = numberedFrames(w, h, n, 1000);
    handOver(rec, frames);
    finish(rec, n);
    checkContent(checkRecording(path, w, h, n, "100/1"), frames, 1000, w, h);
}

// Noisy frames (slow to encode) alternate with flat ones (fast): encoders finish out of order
// all the time, and the file must still hold every frame in arrival order.
TEST_F(VideoRecorderTest, OutOfOrderEncodingStillWritesInOrder) {
    const int w = 1024, h = 768, n = 90;
    const std::string path = dir.file("mixed.avi");
    VideoRecorder rec;
    RecordParam p = aviParam(w, h, 60.f, path.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    auto frames = numberedFrames(w, h, n, 2000);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> noise(-30, 30);
    for (int i = 0; i < n; i += 3)
        for (auto& px : frames[size_t(i)]) px = uint8_t(std::clamp(int(px) + noise(rng), 0, 255));
    handOver(rec, frames);
    finish(rec, n);
    const uint64_t parked = rec.stats().framesParked;
    std::printf("frames encoded before an earlier one (parked): %llu of %d\n", (unsigned long long)parked, n);
    EXPECT_GT(parked, 0u); // the out-of-order path was taken
    const auto decoded = checkRecording(path, w, h, n, "60/1");
    ASSERT_EQ(decoded.size(), size_t(n));
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(readFrameNumber(decoded[size_t(i)].data(), w, h), 2000 + i) << "frame " << i;
        EXPECT_LT(meanAbsDiff(decoded[size_t(i)].data(), frames[size_t(i)].data(), frames[size_t(i)].size()), 12.0);
    }
}

// The JPEG frames in the file, in order (the "00db" chunks after the 2048-byte header).
std::vector<std::vector<uint8_t>> aviFrameChunks(const std::vector<uint8_t>& file) {
    std::vector<std::vector<uint8_t>> chunks;
    size_t at = 2048;
    while (at + 8 <= file.size() && std::memcmp(file.data() + at, "00db", 4) == 0) {
        const uint32_t length = rd32(file, at + 4);
        if (at + 8 + length > file.size()) break;
        chunks.emplace_back(file.begin() + std::ptrdiff_t(at + 8), file.begin() + std::ptrdiff_t(at + 8 + length));
        at += 8 + length + (length & 1);
    }
    return chunks;
}

// Each recorded frame is, byte for byte, the image class's JPEG of the frame as 8-bit grey
// (quality 90): Mono8 and Mono12, on widths that are and are not multiples of 4 and 8, and a
// height that ends inside a block row.
TEST_F(VideoRecorderTest, FramesAreTheImageClassJpegOfTheFrame) {
    const int h = 35, n = 6;
    for (int w : {640, 324, 323}) {
        for (uint32_t pixel : {QX_PIXEL_MONO8, QX_PIXEL_MONO12}) {
            const std::string path = dir.file("bytes" + std::to_string(w) + "_" + std::to_string(pixel) + ".avi");
            VideoRecorder rec;
            RecordParam p = aviParam(w, h, 25.f, path.c_str(), pixel);
            ASSERT_EQ(rec.start(p), QX_OK);
            const auto grey = numberedFrames(w, h, n, 40);
            std::vector<std::vector<uint8_t>> sent;
            for (const auto& g : grey) {
                if (pixel == QX_PIXEL_MONO8) {
                    sent.push_back(g);
                    continue;
                }
                std::vector<uint8_t> words(g.size() * 2);
                for (size_t i = 0; i < g.size(); ++i) {
                    const uint16_t s = uint16_t(g[i] << 4 | (i & 15)); // low bits the conversion drops
                    words[2 * i] = uint8_t(s);
                    words[2 * i + 1] = uint8_t(s >> 8);
                }
                sent.push_back(std::move(words));
            }
            handOver(rec, sent);
            finish(rec, n);
            const auto chunks = aviFrameChunks(readFile(path));
            ASSERT_EQ(chunks.size(), size_t(n)) << path;
            for (int i = 0; i < n; ++i) {
                CxImage image(uint32_t(w), uint32_t(h), 8, 0);
                ASSERT_TRUE(
                    image.CreateFromArray(grey[size_t(i)].data(), uint32_t(w), uint32_t(h), 8, uint32_t(w), true));
                CxMemFile mem;
                ASSERT_TRUE(mem.Open());
                ASSERT_TRUE(image.Encode(&mem, CXIMAGE_FORMAT_JPG));
                const std::vector<uint8_t> expected(mem.GetBuffer(false), mem.GetBuffer(false) + mem.DataSize());
                EXPECT_EQ(chunks[size_t(i)], expected) << path << " frame " << i;
            }
        }
    }
}

// Frames of other formats are converted to Mono8: Mono12 on a width that is a multiple of 4
// (converted in place) and on an odd width (through a scratch stream).
TEST_F(VideoRecorderTest, Mono12FramesAreConverted) {
    for (int w : {320, 323}) {
        const int h = 64, n = 10;
        const std::string path = dir.file("mono12_" + std::to_string(w) + ".avi");
        VideoRecorder rec;
        RecordParam p = aviParam(w, h, 10.f, path.c_str(), QX_PIXEL_MONO12);
        ASSERT_EQ(rec.start(p), QX_OK);
        const auto frames = numberedFrames(w, h, n, 7);
        std::vector<std::vector<uint8_t>> mono12;
        for (const auto& f : frames) {
            std::vector<uint8_t> m(f.size() * 2);
            for (size_t i = 0; i < f.size(); ++i) {
                const uint16_t sample = uint16_t((f[i] << 4) | 0x9); // low bits are cut by the conversion
                m[2 * i] = uint8_t(sample);
                m[2 * i + 1] = uint8_t(sample >> 8);
            }
            mono12.push_back(std::move(m));
        }
        handOver(rec, mono12);
        finish(rec, n);
        checkContent(checkRecording(path, w, h, n, "10/1"), frames, 7, w, h);
    }
}

// Packed frames at the size a camera sends them (1.5 bytes per pixel) are recorded; the frame
// buffers end where the frames end.
TEST_F(VideoRecorderTest, PackedFramesAtTheirRealSize) {
    const int w = 640, h = 480, n = 6;
    for (const uint32_t format : {QX_PIXEL_MONO12PACKED, QX_PIXEL_MONO10PACKED}) {
        const bool ten = format == QX_PIXEL_MONO10PACKED;
        const std::string path = dir.file(ten ? "p10.avi" : "p12.avi");
        VideoRecorder rec;
        RecordParam p = aviParam(w, h, 25.f, path.c_str(), format);
        ASSERT_EQ(rec.start(p), QX_OK);
        // Each grey level becomes the top 8 bits of its packed pixel.
        const auto grey = numberedFrames(w, h, n, 70);
        std::vector<std::vector<uint8_t>> packed;
        for (const auto& g : grey) {
            std::vector<uint8_t> f(size_t(w) * h * 3 / 2);
            for (size_t i = 0; i + 1 < g.size(); i += 2) {
                f[3 * (i / 2)] = g[i];
                f[3 * (i / 2) + 1] = 0x55;
                f[3 * (i / 2) + 2] = g[i + 1];
            }
            packed.push_back(std::move(f));
        }
        handOver(rec, packed);
        RecordFrameInfo shortFrame{packed[0].data(), uint32_t(packed[0].size() - 1)};
        EXPECT_NE(rec.write(shortFrame), QX_OK);
        finish(rec, n);
        checkContent(checkRecording(path, w, h, n, "25/1"), grey, 70, w, h);
    }
}

TEST_F(VideoRecorderTest, SplitsBeforeTheSizeLimit) {
    // About 40 kB of frames per file: the writer starts the next file when less than
    // 100 MiB remain before the (lowered) limit.
    AVI_set_max_file_bytes_for_testing(uint32_t(VideoRecorder::kNewFileThreshold) + 8 + 2048 + 40000);
    const int w = 320, h = 240, n = 80;
    const std::string path = dir.file("cap.avi");
    VideoRecorder rec;
    RecordParam p = aviParam(w, h, 25.f, path.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    const auto frames = numberedFrames(w, h, n);
    handOver(rec, frames);
    finish(rec, n);
    const uint32_t files = rec.stats().filesOpened;
    ASSERT_GE(files, 3u);

    std::vector<std::string> names = {path};
    for (uint32_t i = 2; i <= files; ++i) names.push_back(dir.file("cap_" + std::to_string(i) + ".avi"));
    EXPECT_FALSE(fs::exists(dir.file("cap_" + std::to_string(files + 1) + ".avi")));
    long total = 0;
    std::vector<std::vector<uint8_t>> decoded;
    for (const auto& name : names) {
        ASSERT_TRUE(fs::exists(name)) << name;
        const auto bytes = readFile(name);
        ASSERT_GE(bytes.size(), 2056u);
        const long count = long(rd32(bytes, 48));
        EXPECT_EQ(bytes.size(), size_t(rd32(bytes, 4)) + 8) << name;
        EXPECT_LE(bytes.size(), size_t(AVI_max_file_bytes())) << name;
        EXPECT_GT(count, 0) << name << ": a part without frames";
        auto part = checkRecording(name, w, h, count, "25/1");
        total += count;
        for (auto& f : part) decoded.push_back(std::move(f));
    }
    EXPECT_EQ(total, n);
    checkContent(decoded, frames, 0, w, h);
}

// The next part is opened by the frame that needs it: a limit that one frame already crosses
// gives one frame per file and no file after the last frame.
TEST_F(VideoRecorderTest, NoPartWithoutFrames) {
    AVI_set_max_file_bytes_for_testing(uint32_t(VideoRecorder::kNewFileThreshold) + 8 + 2048 + 16);
    const int w = 320, h = 240, n = 5;
    const std::string path = dir.file("part.avi");
    VideoRecorder rec;
    RecordParam p = aviParam(w, h, 25.f, path.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    const auto frames = numberedFrames(w, h, n, 60);
    handOver(rec, frames);
    finish(rec, n);
    EXPECT_EQ(rec.stats().filesOpened, uint32_t(n));
    EXPECT_FALSE(fs::exists(dir.file("part_" + std::to_string(n + 1) + ".avi")));
    for (int i = 0; i < n; ++i) {
        const std::string name = i == 0 ? path : dir.file("part_" + std::to_string(i + 1) + ".avi");
        checkContent(checkRecording(name, w, h, 1, "25/1"), {frames[size_t(i)]}, uint32_t(60 + i), w, h);
    }
}

// File naming: "ab" then "ab_2.avi"; "video" then "v_2.avi".
TEST_F(VideoRecorderTest, SplitNamesOfShortPaths) {
    InDir in(dir.path());
    AVI_set_max_file_bytes_for_testing(uint32_t(VideoRecorder::kNewFileThreshold) + 8 + 2048 + 20000);
    const int w = 320, h = 240, n = 12;
    const auto frames = numberedFrames(w, h, n);
    for (const auto& [path, second] : {std::pair<std::string, std::string>{"ab", "ab_2.avi"}, {"video", "v_2.avi"}}) {
        VideoRecorder rec;
        RecordParam p = aviParam(w, h, 25.f, path.c_str());
        ASSERT_EQ(rec.start(p), QX_OK);
        handOver(rec, frames);
        finish(rec, n);
        ASSERT_GE(rec.stats().filesOpened, 2u);
        EXPECT_TRUE(fs::exists(path)) << path;
        EXPECT_TRUE(fs::exists(second)) << second;
        const long first = long(rd32(readFile(path), 48));
        ASSERT_GT(first, 0);
        checkRecording(path, w, h, first, "25/1");
    }
}

// The next name would not fit 256 characters: the writer logs once, keeps the first file
// valid, and from then on refuses frames; stop reports the lost ones.
TEST_F(VideoRecorderTest, FailedNewFileIsReportedAndKeepsTheFirstFile) {
    InDir in(dir.path());
    std::string path;
    while (path.size() + 51 < 250) {
        path += std::string(50, 'd') + "/";
        fs::create_directory(path);
    }
    path += std::string(255 - path.size() - 4, 'f') + ".avi";
    ASSERT_EQ(path.size(), 255u);
    AVI_set_max_file_bytes_for_testing(uint32_t(VideoRecorder::kNewFileThreshold) + 8 + 2048 + 20000);
    const int w = 320, h = 240, n = 40;
    VideoRecorder rec;
    RecordParam p = aviParam(w, h, 25.f, path.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    const auto frames = numberedFrames(w, h, n);
    uint32_t rc = QX_OK;
    for (int i = 0; i < n && rc != QX_ERR_GENERAL; ++i) {
        RecordFrameInfo info{frames[size_t(i)].data(), uint32_t(frames[size_t(i)].size())};
        ASSERT_TRUE(
            waitUntil([&] { return (rc = rec.write(info)) != QX_ERR_NO_FREE_BUFFER; }, std::chrono::seconds(60)));
        EXPECT_TRUE(rc == QX_OK || rc == QX_ERR_GENERAL) << rc;
    }
    EXPECT_EQ(rc, QX_ERR_GENERAL); // a frame after the lost one is refused
    EXPECT_TRUE(m_log->has("func:write, the recording failed"));
    RecordFrameInfo again{frames[0].data(), uint32_t(frames[0].size())};
    EXPECT_EQ(rec.write(again), QX_ERR_GENERAL);
    EXPECT_EQ(rec.stop(), QX_ERR_GENERAL);
    const auto s = rec.stats();
    EXPECT_GT(s.framesDropped, 0u);
    EXPECT_GT(s.framesWritten, 0u);
    EXPECT_EQ(s.filesOpened, 1u);
    EXPECT_EQ(s.freeImages, 4u);
    EXPECT_EQ(m_log->count("func:createNewAviFile, AVI_open_output_file failed"), 1u);
    const std::vector<std::vector<uint8_t>> sent(frames.begin(), frames.begin() + long(s.framesWritten));
    checkContent(checkRecording(path, w, h, long(s.framesWritten), "25/1"), sent, 0, w, h);
}

// A disk that fills up: the first lost frame makes the next QX_RecordFrame and QX_StopRecord
// answer 0x800000ff, and the file holds, readable, every frame up to the last one written.
TEST_F(VideoRecorderTest, FullDiskIsReportedAndTheFileStaysReadable) {
    qxtest::SmallFs small(2u << 20);
    if (!small.ok()) GTEST_SKIP() << "no small tmpfs: " << small.why();
    const int w = 1024, h = 768, n = 100;
    const std::string path = small.file("full.avi");
    auto frames = numberedFrames(w, h, n, 300);
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> noise(-30, 30);
    for (auto& frame : frames)
        for (auto& px : frame) px = uint8_t(std::clamp(int(px) + noise(rng), 0, 255));
    VideoRecorder rec;
    RecordParam p = aviParam(w, h, 25.f, path.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    uint32_t rc = QX_OK;
    int accepted = 0;
    for (; accepted < n; ++accepted) {
        RecordFrameInfo info{frames[size_t(accepted)].data(), uint32_t(frames[size_t(accepted)].size())};
        ASSERT_TRUE(
            waitUntil([&] { return (rc = rec.write(info)) != QX_ERR_NO_FREE_BUFFER; }, std::chrono::seconds(60)));
        if (rc != QX_OK) break;
    }
    EXPECT_EQ(rc, QX_ERR_GENERAL) << "all " << n << " frames taken by a 2 MiB disk";
    RecordFrameInfo again{frames[0].data(), uint32_t(frames[0].size())};
    EXPECT_EQ(rec.write(again), QX_ERR_GENERAL);
    EXPECT_EQ(rec.stop(), QX_ERR_GENERAL);
    EXPECT_TRUE(m_log->has("No space left on device"));
    const uint64_t written = rec.stats().framesWritten;
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, uint64_t(accepted));
    EXPECT_EQ(rec.stats().freeImages, 4u);
    const auto bytes = readFile(path);
    ASSERT_GE(bytes.size(), 2048u);
    EXPECT_EQ(rd32(bytes, 48), uint32_t(written));
    const auto decoded = checkRecording(path, w, h, long(written), "25/1");
    ASSERT_EQ(decoded.size(), size_t(written));
    for (size_t i = 0; i < decoded.size(); ++i)
        EXPECT_EQ(readFrameNumber(decoded[i].data(), w, h), int(300 + i)) << "frame " << i;
}

TEST_F(VideoRecorderTest, StartTwiceAndStopTwice) {
    VideoRecorder rec;
    EXPECT_EQ(rec.stop(), QX_OK); // stopped from the start
    const std::string path = dir.file("twice.avi");
    RecordParam p = aviParam(64, 64, 25.f, path.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    EXPECT_TRUE(rec.stats().recording);
    const std::string other = dir.file("other.avi");
    RecordParam q = aviParam(64, 64, 25.f, other.c_str());
    EXPECT_EQ(rec.start(q), QX_ERR_WRONG_STATE);
    EXPECT_TRUE(m_log->has("func:start, m_stopped="));
    EXPECT_FALSE(fs::exists(other));
    RecordParam r = rawParam(2, 2, 30.f, other.c_str(), true);
    EXPECT_EQ(rec.start(r), QX_ERR_WRONG_STATE);
    EXPECT_EQ(rec.stop(), QX_OK);
    EXPECT_EQ(rec.stop(), QX_OK);
    EXPECT_FALSE(rec.stats().recording);
    EXPECT_EQ(readFile(path).size(), 2056u); // closed with no frame
}

TEST_F(VideoRecorderTest, StartArgumentChecks) {
    VideoRecorder rec;
    const std::string path = dir.file("args.avi");
    auto refused = [&](const std::function<void(RecordParam&)>& change) {
        RecordParam p = aviParam(64, 64, 25.f, path.c_str());
        change(p);
        return rec.start(p) == QX_ERR_INVALID_PARAM && !rec.stats().recording;
    };
    EXPECT_TRUE(refused([](RecordParam& p) { p.fFrameRate = 0.f; }));
    EXPECT_TRUE(refused([](RecordParam& p) { p.enRecordFmtType = 3; }));
    EXPECT_TRUE(refused([](RecordParam& p) { p.enRecordFmtType = 0; }));
    EXPECT_TRUE(refused([](RecordParam& p) { p.enPixelType = 0; }));
    EXPECT_TRUE(refused([](RecordParam& p) { p.nWidth = 0; }));
    EXPECT_TRUE(refused([](RecordParam& p) { p.nHeight = 0; }));
    EXPECT_TRUE(refused([](RecordParam& p) { p.nBpp = 0; }));
    EXPECT_TRUE(refused([](RecordParam& p) { p.strFilePath = nullptr; }));
    EXPECT_TRUE(refused([](RecordParam& p) { p.strFilePath = ""; }));
    const std::string longPath(256, 'x');
    EXPECT_TRUE(refused([&](RecordParam& p) { p.strFilePath = longPath.c_str(); }));
    const std::string longerPath(4000, 'y');
    EXPECT_TRUE(refused([&](RecordParam& p) { p.strFilePath = longerPath.c_str(); }));
    // Beyond libjpeg's 65500 pixels no frame could be encoded: refused at start, no file.
    EXPECT_TRUE(refused([](RecordParam& p) { p.nWidth = 65501; }));
    EXPECT_TRUE(refused([](RecordParam& p) { p.nHeight = 65535; }));
    EXPECT_FALSE(fs::exists(path));
    // A raw recording has no such limit.
    RecordParam wideRaw = rawParam(65535, 1, 30.f, path.c_str(), false);
    ASSERT_EQ(rec.start(wideRaw), QX_OK);
    EXPECT_EQ(rec.stop(), QX_OK);
    fs::remove(path);

    // AVI frame rates the header cannot carry: none (0 or below, under 0.001 fps, NaN) or
    // faster than one frame a microsecond.
    for (const float fps : {-5.f, -0.f, 0.0009f, std::nanf(""), 1000001.f, std::numeric_limits<float>::infinity()})
        EXPECT_TRUE(refused([&](RecordParam& p) { p.fFrameRate = fps; })) << fps;
    EXPECT_FALSE(fs::exists(path));

    // 5000 fps is written as such in both headers.
    RecordParam p = aviParam(64, 64, 5000.f, path.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    const auto frames = numberedFrames(64, 64, 2);
    handOver(rec, frames);
    EXPECT_EQ(rec.stop(), QX_OK);
    const auto bytes = readFile(path);
    EXPECT_EQ(rd32(bytes, 32), 200u);
    checkRecording(path, 64, 64, 2, "5000/1");
}

TEST_F(VideoRecorderTest, WriteChecks) {
    VideoRecorder rec;
    const auto frame = makeNumberedFrame(64, 64, 1);
    RecordFrameInfo info{frame.data(), uint32_t(frame.size())};
    EXPECT_EQ(rec.write(info), QX_ERR_GENERAL); // stopped
    EXPECT_TRUE(m_log->has("func:write, m_stopped=true"));
    RecordFrameInfo none{nullptr, 10};
    EXPECT_EQ(rec.write(none), QX_ERR_INVALID_PARAM);
    RecordFrameInfo empty{frame.data(), 0};
    EXPECT_EQ(rec.write(empty), QX_ERR_INVALID_PARAM);

    const std::string path = dir.file("checks.avi");
    RecordParam p = aviParam(64, 64, 25.f, path.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    // A short Mono8 frame is refused and not read past its end; the pool keeps its images.
    RecordFrameInfo shortFrame{frame.data(), uint32_t(frame.size() - 1)};
    EXPECT_EQ(rec.write(shortFrame), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(rec.stats().freeImages, 4u);
    EXPECT_EQ(rec.write(info), QX_OK);
    finish(rec, 1);
    EXPECT_EQ(rec.write(info), QX_ERR_GENERAL); // stopped again
    checkRecording(path, 64, 64, 1, "25/1");
}

TEST_F(VideoRecorderTest, UnsupportedPixelFormatKeepsThePool) {
    VideoRecorder rec;
    const std::string path = dir.file("rgb.avi");
    RecordParam p = aviParam(64, 64, 25.f, path.c_str(), kRgb8);
    ASSERT_EQ(rec.start(p), QX_OK);
    std::vector<uint8_t> rgb(64 * 64 * 3, 100);
    RecordFrameInfo info{rgb.data(), uint32_t(rgb.size())};
    EXPECT_EQ(rec.write(info), QX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rec.stats().freeImages, 4u);
    RecordFrameInfo shortRgb{rgb.data(), uint32_t(64 * 64 * 2)};
    EXPECT_EQ(rec.write(shortRgb), QX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rec.stats().freeImages, 4u);
    EXPECT_EQ(rec.stop(), QX_OK);

    // BayerRG8 starts (the start takes any pixel format) and says at once that no frame of it
    // can be recorded; each frame is then refused.
    const std::string bayerPath = dir.file("bayer.avi");
    RecordParam b = aviParam(64, 64, 25.f, bayerPath.c_str(), 0x01080009u);
    ASSERT_EQ(rec.start(b), QX_OK);
    EXPECT_TRUE(m_log->has("func:start, pixel format 0x1080009 cannot be converted to Mono8"));
    std::vector<uint8_t> bayer(64 * 64, 7);
    RecordFrameInfo bayerFrame{bayer.data(), uint32_t(bayer.size())};
    EXPECT_EQ(rec.write(bayerFrame), QX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rec.stats().freeImages, 4u);
    EXPECT_EQ(rec.stop(), QX_OK);
}

// A short frame: Mono8 0x80000001, any other format 0x80000003 (it cannot be converted), and
// 0x80000004 while the pool has no free image, as for any frame then; nothing is read past it.
TEST_F(VideoRecorderTest, ShortFramesAnswerByFormatAndPool) {
    const int w = 64, h = 64;
    VideoRecorder rec;
    const std::string path = dir.file("short.avi");
    RecordParam p = aviParam(w, h, 25.f, path.c_str(), QX_PIXEL_MONO12);
    ASSERT_EQ(rec.start(p), QX_OK);
    std::vector<uint8_t> mono12(size_t(w) * h * 2, 0x01);
    RecordFrameInfo shortFrame{mono12.data(), uint32_t(mono12.size() - 1)};
    EXPECT_EQ(rec.write(shortFrame), QX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rec.stats().freeImages, 4u);
    rec.holdEncodingForTesting(true);
    RecordFrameInfo whole{mono12.data(), uint32_t(mono12.size())};
    for (int i = 0; i < 4; ++i) ASSERT_EQ(rec.write(whole), QX_OK) << i;
    EXPECT_EQ(rec.write(shortFrame), QX_ERR_NO_FREE_BUFFER);
    rec.holdEncodingForTesting(false);
    EXPECT_EQ(rec.stop(), QX_OK);
    EXPECT_EQ(rec.stats().framesWritten, 4u);

    p = aviParam(w, h, 25.f, path.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    const auto mono8 = makeNumberedFrame(w, h, 1);
    RecordFrameInfo shortMono8{mono8.data(), uint32_t(mono8.size() - 1)};
    EXPECT_EQ(rec.write(shortMono8), QX_ERR_INVALID_PARAM);
    rec.holdEncodingForTesting(true);
    RecordFrameInfo mono8Whole{mono8.data(), uint32_t(mono8.size())};
    for (int i = 0; i < 4; ++i) ASSERT_EQ(rec.write(mono8Whole), QX_OK) << i;
    EXPECT_EQ(rec.write(shortMono8), QX_ERR_NO_FREE_BUFFER);
    rec.holdEncodingForTesting(false);
    EXPECT_EQ(rec.stop(), QX_OK);
}

// Four frames occupy the four pool images while they are being encoded (the encoders are
// held by the test seam): a fifth is refused, and the four are written in order afterwards.
TEST_F(VideoRecorderTest, PoolExhaustedGives0x80000004) {
    const int w = 640, h = 480;
    VideoRecorder rec;
    const std::string path = dir.file("pool.avi");
    RecordParam p = aviParam(w, h, 5.f, path.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    rec.holdEncodingForTesting(true);
    const auto frames = numberedFrames(w, h, 5);
    for (int i = 0; i < 4; ++i) {
        RecordFrameInfo info{frames[i].data(), uint32_t(frames[i].size())};
        ASSERT_EQ(rec.write(info), QX_OK) << i;
    }
    EXPECT_EQ(rec.stats().freeImages, 0u);
    RecordFrameInfo fifth{frames[4].data(), uint32_t(frames[4].size())};
    EXPECT_EQ(rec.write(fifth), QX_ERR_NO_FREE_BUFFER);
    EXPECT_TRUE(m_log->has("func:popCxImage, cv.wait_for timeout"));
    rec.holdEncodingForTesting(false);
    finish(rec, 4);
    EXPECT_EQ(rec.stats().freeImages, 4u);
    std::vector<std::vector<uint8_t>> sent(frames.begin(), frames.begin() + 4);
    checkContent(checkRecording(path, w, h, 4, "5/1"), sent, 0, w, h);
}

// Stop right after the last frame was taken: every frame answered QX_OK is in the file, in
// order, whatever the encoders had done by then.
TEST_F(VideoRecorderTest, StopWritesEveryAcceptedFrame) {
    const int w = 1600, h = 1200;
    const auto frames = numberedFrames(w, h, 24, 40);
    for (const int n : {1, 3, 10, 24}) {
        const std::string path = dir.file("stop" + std::to_string(n) + ".avi");
        VideoRecorder rec;
        RecordParam p = aviParam(w, h, 5.f, path.c_str());
        ASSERT_EQ(rec.start(p), QX_OK);
        const std::vector<std::vector<uint8_t>> sent(frames.begin(), frames.begin() + n);
        handOver(rec, sent);
        EXPECT_EQ(rec.stop(), QX_OK) << n;
        EXPECT_EQ(rec.stats().framesWritten, uint64_t(n));
        EXPECT_EQ(rec.stats().freeImages, 4u);
        checkContent(checkRecording(path, w, h, n, "5/1"), sent, 40, w, h);
    }
}

// Frames still queued or held by the encoders at stop are written by stop into their own
// recording, never into the next one; every pool image comes back.
TEST_F(VideoRecorderTest, FramesInFlightAtStopStayInTheirRecording) {
    const int w = 640, h = 480;
    VideoRecorder rec;
    const std::string first = dir.file("first.avi");
    RecordParam p = aviParam(w, h, 5.f, first.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    rec.holdEncodingForTesting(true);
    const auto early = numberedFrames(w, h, 4, 10);
    for (const auto& f : early) {
        RecordFrameInfo info{f.data(), uint32_t(f.size())};
        ASSERT_EQ(rec.write(info), QX_OK);
    }
    EXPECT_EQ(rec.stop(), QX_OK);
    EXPECT_EQ(rec.stats().framesWritten, 4u);
    EXPECT_EQ(rec.stats().freeImages, 4u);
    checkContent(checkRecording(first, w, h, 4, "5/1"), early, 10, w, h);

    rec.holdEncodingForTesting(false);
    const std::string second = dir.file("second.avi");
    p = aviParam(w, h, 5.f, second.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    const auto late = numberedFrames(w, h, 3, 100);
    handOver(rec, late);
    finish(rec, 3);
    checkContent(checkRecording(second, w, h, 3, "5/1"), late, 100, w, h);
}

// Stopped at once while big frames are in flight: every frame taken is in a valid file.
TEST_F(VideoRecorderTest, StopWhileFramesAreInFlight) {
    const int w = 2000, h = 1500;
    VideoRecorder rec;
    const std::string path = dir.file("inflight.avi");
    RecordParam p = aviParam(w, h, 5.f, path.c_str());
    ASSERT_EQ(rec.start(p), QX_OK);
    const auto frames = numberedFrames(w, h, 4, 20);
    std::vector<std::vector<uint8_t>> sent;
    for (const auto& f : frames) {
        RecordFrameInfo info{f.data(), uint32_t(f.size())};
        const uint32_t rc = rec.write(info);
        EXPECT_TRUE(rc == QX_OK || rc == QX_ERR_NO_FREE_BUFFER) << rc;
        if (rc == QX_OK) sent.push_back(f);
    }
    EXPECT_EQ(rec.stop(), QX_OK);
    EXPECT_EQ(rec.stats().framesWritten, sent.size());
    EXPECT_EQ(rec.stats().freeImages, 4u);
    const auto bytes = readFile(path);
    ASSERT_GE(bytes.size(), 2056u);
    EXPECT_EQ(rd32(bytes, 48), uint32_t(sent.size()));
    if (!sent.empty()) checkContent(checkRecording(path, w, h, long(sent.size()), "5/1"), sent, 20, w, h);
}

TEST_F(VideoRecorderTest, NewFrameSizeBuildsNewPools) {
    VideoRecorder rec;
    struct Step {
        int w, h;
        uint32_t encoders, streams;
    };
    const Step steps[] = {{320, 240, 3, 4}, {641, 100, 6, 7}, {641, 100, 3, 7}, {640, 100, 3, 4}, {643, 20, 6, 7}};
    int index = 0;
    for (const auto& s : steps) {
        const std::string path = dir.file("size" + std::to_string(index++) + ".avi");
        RecordParam p = aviParam(s.w, s.h, 25.f, path.c_str());
        ASSERT_EQ(rec.start(p), QX_OK);
        EXPECT_EQ(rec.stats().encoderTasks, s.encoders) << s.w;
        EXPECT_EQ(rec.stats().memStreams, s.streams) << s.w;
        EXPECT_EQ(rec.stats().freeImages, 4u);
        const auto frames = numberedFrames(s.w, s.h, 6, 40);
        handOver(rec, frames);
        finish(rec, 6);
        checkContent(checkRecording(path, s.w, s.h, 6, "25/1"), frames, 40, s.w, s.h);
    }
}

TEST_F(VideoRecorderTest, DestructorStopsARunningRecording) {
    const int w = 256, h = 128, n = 10;
    const std::string path = dir.file("dtor.avi");
    const auto frames = numberedFrames(w, h, n);
    {
        VideoRecorder rec;
        RecordParam p = aviParam(w, h, 25.f, path.c_str());
        ASSERT_EQ(rec.start(p), QX_OK);
        handOver(rec, frames);
        ASSERT_TRUE(waitUntil([&] { return rec.stats().framesWritten == uint64_t(n); }, std::chrono::seconds(60)));
    }
    checkContent(checkRecording(path, w, h, n, "25/1"), frames, 0, w, h);
}

// Recorders of several handles run side by side.
TEST_F(VideoRecorderTest, SeveralRecordersAtOnce) {
    const int w = 320, h = 200, n = 50;
    const auto frames = numberedFrames(w, h, n, 300);
    std::vector<std::thread> threads;
    std::vector<std::string> paths;
    for (int i = 0; i < 3; ++i) paths.push_back(dir.file("multi" + std::to_string(i) + ".avi"));
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            VideoRecorder rec;
            RecordParam p = aviParam(w, h, 25.f, paths[i].c_str());
            ASSERT_EQ(rec.start(p), QX_OK);
            handOver(rec, frames);
            finish(rec, n);
        });
    }
    for (auto& t : threads) t.join();
    for (const auto& path : paths) checkContent(checkRecording(path, w, h, n, "25/1"), frames, 300, w, h);
}

// AVI_strerror keeps its text per thread: writers on several handles may ask at once.
TEST_F(VideoRecorderTest, AviStrerrorIsSafeAcrossThreads) {
    avi_t* a = AVI_open_output_file(dir.file("a.avi").c_str());
    avi_t* b = AVI_open_output_file(dir.file("b.avi").c_str());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    a->last_error = AVI_ERR_WRITE;
    a->last_errno = ENOSPC;
    b->last_error = AVI_ERR_CLOSE;
    b->last_errno = EBADF;
    const std::string ta = std::string("avilib - Error writing to AVI file - ") + std::strerror(ENOSPC);
    const std::string tb = std::string("avilib - Error closing AVI file - ") + std::strerror(EBADF);
    std::atomic<int> mismatches{0};
    auto run = [&](avi_t* avi, const std::string& expected) {
        for (int i = 0; i < 20000; ++i)
            if (expected != AVI_strerror(avi)) ++mismatches;
    };
    std::thread t1(run, a, ta), t2(run, b, tb);
    t1.join();
    t2.join();
    EXPECT_EQ(mismatches.load(), 0);
    a->last_error = b->last_error = 0;
    AVI_close(a);
    AVI_close(b);
}

// ---- RAW --------------------------------------------------------------------------------------

TEST_F(VideoRecorderTest, RawRecordingWithHeaderByteForByte) {
    const std::string path = dir.file("rec.raw");
    VideoRecorder rec;
    RecordParam p = rawParam(2, 2, 30.f, path.c_str(), true);
    ASSERT_EQ(rec.start(p), QX_OK);
    const uint8_t f1[4] = {1, 2, 3, 4}, f2[4] = {5, 6, 7, 8};
    RecordFrameInfo a{f1, 4}, b{f2, 4};
    EXPECT_EQ(rec.write(a), QX_OK);
    EXPECT_EQ(rec.write(b), QX_OK);
    EXPECT_EQ(rec.stop(), QX_OK);
    EXPECT_EQ(rec.stop(), QX_OK);
    const std::vector<uint8_t> expected = {0x01, 0x08, 0x01, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02,
                                           0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x0B, 0xB8, 0x00, 0x00,
                                           0x00, 0x04, 1,    2,    3,    4,    5,    6,    7,    8};
    EXPECT_EQ(readFile(path), expected);
    RecordFrameInfo c{f1, 4};
    EXPECT_EQ(rec.write(c), QX_ERR_GENERAL); // write while stopped
}

TEST_F(VideoRecorderTest, RawRecordingWithoutHeaderAndOtherFields) {
    const std::string path = dir.file("plain.raw");
    VideoRecorder rec;
    RecordParam p = rawParam(3, 1, 30.f, path.c_str(), false);
    ASSERT_EQ(rec.start(p), QX_OK);
    const uint8_t f1[3] = {9, 8, 7}, f2[5] = {1, 1, 2, 3, 5};
    RecordFrameInfo a{f1, 3}, b{f2, 5};
    EXPECT_EQ(rec.write(a), QX_OK);
    EXPECT_EQ(rec.write(b), QX_OK);
    RecordParam again = rawParam(3, 1, 30.f, path.c_str(), false);
    EXPECT_EQ(rec.start(again), QX_ERR_WRONG_STATE);
    EXPECT_EQ(rec.stop(), QX_OK);
    EXPECT_EQ(readFile(path), (std::vector<uint8_t>{9, 8, 7, 1, 1, 2, 3, 5}));

    // Mono12 of 1000 x 513 at -5 fps: pixel byte 0x10, negative rate as two's complement;
    // the first-frame length is the first frame's only.
    const std::string other = dir.file("mono12.raw");
    RecordParam q = rawParam(1000, 513, -5.f, other.c_str(), true);
    q.enPixelType = QX_PIXEL_MONO12;
    ASSERT_EQ(rec.start(q), QX_OK);
    const uint8_t g1[2] = {0xAA, 0xBB}, g2[1] = {0xCC};
    RecordFrameInfo c{g1, 2}, d{g2, 1};
    EXPECT_EQ(rec.write(c), QX_OK);
    EXPECT_EQ(rec.write(d), QX_OK);
    EXPECT_EQ(rec.stop(), QX_OK);
    const std::vector<uint8_t> expected = {0x01, 0x10, 0x01, 0x10, 0x00, 0x05, 0x00, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x02,
                                           0x01, 0xFF, 0xFF, 0xFE, 0x0C, 0x00, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0xCC};
    EXPECT_EQ(readFile(other), expected);

    // A huge rate saturates instead of overflowing; a truncating reopen drops the old bytes.
    RecordParam big = rawParam(1, 1, 1e30f, other.c_str(), true);
    ASSERT_EQ(rec.start(big), QX_OK);
    EXPECT_EQ(rec.stop(), QX_OK);
    const auto bytes = readFile(other);
    ASSERT_EQ(bytes.size(), 18u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 14, bytes.end()), (std::vector<uint8_t>{0x7F, 0xFF, 0xFF, 0xFF}));
}

TEST_F(VideoRecorderTest, RawFileThatCannotBeOpened) {
    VideoRecorder rec;
    const std::string path = dir.file("missing/folder/x.raw");
    RecordParam p = rawParam(2, 2, 30.f, path.c_str(), true);
    EXPECT_EQ(rec.start(p), QX_ERR_GENERAL);
    EXPECT_TRUE(m_log->has("func:startRaw, std::ios_base::failure="));
    EXPECT_TRUE(rec.stats().recording); // counts as recording until stop
    const uint8_t f[4] = {};
    RecordFrameInfo info{f, 4};
    EXPECT_EQ(rec.write(info), QX_ERR_GENERAL);
    EXPECT_EQ(rec.stop(), QX_OK);
    EXPECT_FALSE(rec.stats().recording);
}

TEST_F(VideoRecorderTest, AviFileThatCannotBeOpened) {
    VideoRecorder rec;
    const std::string path = dir.file("missing/folder/x.avi");
    RecordParam p = aviParam(64, 64, 25.f, path.c_str());
    EXPECT_EQ(rec.start(p), QX_ERR_GENERAL);
    EXPECT_TRUE(m_log->has("func:createNewAviFile, AVI_open_output_file failed"));
    EXPECT_TRUE(rec.stats().recording);
    EXPECT_EQ(rec.stop(), QX_OK);
    // The recorder works again afterwards.
    const std::string good = dir.file("good.avi");
    RecordParam q = aviParam(64, 64, 25.f, good.c_str());
    ASSERT_EQ(rec.start(q), QX_OK);
    const auto frames = numberedFrames(64, 64, 3);
    handOver(rec, frames);
    finish(rec, 3);
    checkContent(checkRecording(good, 64, 64, 3, "25/1"), frames, 0, 64, 64);
}
