// Benchmark of the video recorder: the highest frame rate the recorder sustains
// at 1920 x 1200 and 5 MP Mono8 with no 0x80000004, against libjpeg-turbo's own single-thread
// rate on the same frames (tjbench -subsamp GRAY, from libjpeg-turbo-progs) measured in the same
// run, and against one thread of CxImage's JPEG encoder. Three encoder tasks should come close
// to three times the single-thread rate.
//
//     bench_imageout_recorder            short run (about 1.5 s per trial)
//     bench_imageout_recorder --full     10 s per trial, as the sustained-rate claim needs
//     options: --seconds S (trial length), --out DIR (recordings; default /dev/shm or the
//     temporary folder), --size WxH (repeatable; default 1920x1200 and 2592x1944)
#include "VideoRecorder.h"
#include "CxFile.h"
#include "CxImage.h"

#include <spdlog/spdlog.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Size {
    int width;
    int height;
};

struct Options {
    bool full = false;
    double trialSeconds = 1.5;
    fs::path out;
    std::vector<Size> sizes;
};

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// A camera-like grey scene: smooth shading, fine texture and a little sensor noise, different
// for every frame, so that the JPEG work is neither trivial nor pure noise.
std::vector<std::vector<uint8_t>> makeFrames(int width, int height, int count) {
    std::vector<std::vector<uint8_t>> frames;
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> noise(-5, 5);
    for (int k = 0; k < count; ++k) {
        std::vector<uint8_t> f(size_t(width) * size_t(height));
        const double phase = k * 0.7;
        for (int y = 0; y < height; ++y) {
            const double cy = std::cos(y / 53.0 + phase);
            for (int x = 0; x < width; ++x) {
                double v = 110 + 55 * std::sin(x / 37.0 + phase) * cy + 40.0 * x / width + 25.0 * y / height;
                if (((x / 64) + (y / 64) + k) % 7 == 0) v += 30 * std::sin(x * 0.9) * std::sin(y * 0.7);
                v += noise(rng);
                f[size_t(y) * width + x] = uint8_t(std::clamp(int(v), 0, 255));
            }
        }
        frames.push_back(std::move(f));
    }
    return frames;
}

// Frames per second of one thread encoding the frames with CxImage (the recorder's encoder).
double cximageSingleThreadFps(const std::vector<std::vector<uint8_t>>& frames, int width, int height, double seconds) {
    CxImage image(uint32_t(width), uint32_t(height), 8, 0);
    image.SetGrayPalette();
    CxMemFile mem;
    mem.Open();
    long encoded = 0;
    const auto t0 = Clock::now();
    while (secondsSince(t0) < seconds || encoded < 3) {
        const auto& f = frames[size_t(encoded) % frames.size()];
        image.CreateFromArray(f.data(), uint32_t(width), uint32_t(height), 8, uint32_t(width), true);
        mem.Seek(0, SEEK_SET);
        if (!image.Encode(&mem, CXIMAGE_FORMAT_JPG)) {
            std::fprintf(stderr, "CxImage encode failed: %s\n", image.GetErrorText());
            return 0;
        }
        ++encoded;
    }
    return encoded / secondsSince(t0);
}

// Frames per second of `threads` threads encoding at once with CxImage, no recorder: what
// the machine gives the recorder's encoder tasks at best.
double cximageParallelFps(const std::vector<std::vector<uint8_t>>& frames, int width, int height, double seconds,
                          int threads) {
    std::atomic<long> total{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            CxImage image(uint32_t(width), uint32_t(height), 8, 0);
            image.SetGrayPalette();
            CxMemFile mem;
            mem.Open();
            const auto t0 = Clock::now();
            long n = 0;
            while (secondsSince(t0) < seconds) {
                const auto& f = frames[size_t(n) % frames.size()];
                image.CreateFromArray(f.data(), uint32_t(width), uint32_t(height), 8, uint32_t(width), true);
                mem.Seek(0, SEEK_SET);
                image.Encode(&mem, CXIMAGE_FORMAT_JPG);
                ++n;
            }
            total += n;
        });
    for (auto& w : workers) w.join();
    return total / seconds;
}

// libjpeg-turbo's compression rate on the first frame, in frames per second, summed over
// `processes` tjbench runs at once (1: its single-thread rate); 0 when tjbench is missing or
// its output cannot be read.
double tjbenchFps(const std::vector<uint8_t>& frame, int width, int height, const fs::path& dir, double seconds,
                  int processes) {
    if (std::system("command -v tjbench >/dev/null 2>&1") != 0) return 0;
    const fs::path pgm = dir / "tjbench-frame.pgm";
    {
        std::ofstream out(pgm, std::ios::binary);
        out << "P5\n" << width << " " << height << "\n255\n";
        out.write(reinterpret_cast<const char*>(frame.data()), std::streamsize(frame.size()));
    }
    char command[1024];
    std::snprintf(command, sizeof command,
                  "tjbench '%s' 90 -subsamp GRAY -componly -nowrite -quiet -benchtime %.1f -warmup 0.5 2>&1",
                  pgm.c_str(), seconds);
    std::vector<FILE*> pipes;
    for (int i = 0; i < processes; ++i)
        if (FILE* pipe = popen(command, "r")) pipes.push_back(pipe);
    double mpixels = 0;
    for (FILE* pipe : pipes) {
        char line[512];
        while (std::fgets(line, sizeof line, pipe)) {
            // "BGR  (TD)  GRAY     90    1920   1200    419.2   15.30   N/A"
            char pf[16], mode[16], subsamp[16];
            int quality, w, h;
            double perf, ratio;
            if (std::sscanf(line, "%15s %15s %15s %d %d %d %lf %lf", pf, mode, subsamp, &quality, &w, &h, &perf,
                            &ratio) == 8 &&
                std::strcmp(subsamp, "GRAY") == 0)
                mpixels += perf;
        }
        pclose(pipe);
    }
    fs::remove(pgm);
    return mpixels * 1e6 / (double(width) * double(height));
}

struct Trial {
    bool sustained = false;    // no 0x80000004, nothing dropped, every frame written
    uint64_t handed = 0;
    uint64_t refused = 0;
    uint64_t written = 0;
    uint64_t dropped = 0;
    double achievedFps = 0;    // frames handed over per second
};

void removeRecordings(const fs::path& dir, const std::string& stem) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.path().filename().string().rfind(stem, 0) == 0) fs::remove(entry.path(), ec);
}

// Hands frames to a recorder at `fps` (paced) for `seconds`; with fps <= 0, as fast as the
// pool takes them (waiting on 0x80000004) to find the capacity.
Trial runTrial(const std::vector<std::vector<uint8_t>>& frames, int width, int height, double fps, double seconds,
               const fs::path& dir) {
    const std::string stem = "bench-" + std::to_string(width) + "x" + std::to_string(height);
    const std::string path = (dir / (stem + ".avi")).string();
    VideoRecorder rec;
    RecordParam p{};
    p.enPixelType = QX_PIXEL_MONO8;
    p.nWidth = uint16_t(width);
    p.nHeight = uint16_t(height);
    p.nBpp = 8;
    p.fFrameRate = fps > 0 ? float(fps) : 30.f;
    p.enRecordFmtType = QX_RECORD_AVI;
    p.strFilePath = path.c_str();
    Trial t;
    if (rec.start(p) != QX_OK) {
        std::fprintf(stderr, "start failed for %s\n", path.c_str());
        return t;
    }
    const auto t0 = Clock::now();
    const auto end = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    uint64_t i = 0;
    while (Clock::now() < end) {
        if (fps > 0) {
            const auto due = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(i / fps));
            if (due >= end) break;
            std::this_thread::sleep_until(due);
        }
        const auto& f = frames[i % frames.size()];
        RecordFrameInfo info{f.data(), uint32_t(f.size())};
        const uint32_t rc = rec.write(info);
        if (rc == QX_OK) {
            ++t.handed;
            ++i;
        } else if (rc == QX_ERR_NO_FREE_BUFFER) {
            ++t.refused;
            if (fps > 0) ++i; // a paced frame that was refused is lost
            else std::this_thread::yield();
        } else {
            std::fprintf(stderr, "write failed: 0x%x\n", rc);
            break;
        }
    }
    t.achievedFps = t.handed / secondsSince(t0);
    // Let the frames in flight reach the file before stopping.
    const auto drainEnd = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < drainEnd) {
        const auto s = rec.stats();
        if (s.framesWritten + s.framesDropped >= t.handed) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto s = rec.stats();
    t.written = s.framesWritten;
    t.dropped = s.framesDropped;
    rec.stop();
    removeRecordings(dir, stem);
    t.sustained = t.refused == 0 && t.dropped == 0 && t.written == t.handed;
    return t;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--full") {
            o.full = true;
            o.trialSeconds = 10;
        } else if (a == "--seconds" && i + 1 < argc) {
            o.trialSeconds = std::atof(argv[++i]);
        } else if (a == "--out" && i + 1 < argc) {
            o.out = argv[++i];
        } else if (a == "--size" && i + 1 < argc) {
            Size s{};
            if (std::sscanf(argv[++i], "%dx%d", &s.width, &s.height) == 2) o.sizes.push_back(s);
        } else {
            std::fprintf(stderr, "usage: %s [--full] [--seconds S] [--out DIR] [--size WxH]...\n", argv[0]);
            std::exit(2);
        }
    }
    if (o.sizes.empty()) o.sizes = {{1920, 1200}, {2592, 1944}};
    if (o.out.empty()) o.out = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    return o;
}

} // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    spdlog::set_level(spdlog::level::off); // the recorder's idle and pool lines are expected here
    fs::path dir = o.out / ("qx-recorder-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);

    std::printf("video recorder benchmark: %s trials of %.1f s, recordings in %s, %u hardware threads\n",
                o.full ? "full" : "short", o.trialSeconds, dir.c_str(), std::thread::hardware_concurrency());
    for (const Size& size : o.sizes) {
        const int w = size.width, h = size.height;
        const auto frames = makeFrames(w, h, 8);
        const double measure = o.full ? 3.0 : 1.0;
        const double tj = tjbenchFps(frames[0], w, h, dir, measure, 1);
        const double tj3 = tjbenchFps(frames[0], w, h, dir, measure, 3);
        const double cx = cximageSingleThreadFps(frames, w, h, measure);
        const double cx3 = cximageParallelFps(frames, w, h, measure, 3);
        const Trial capacity = runTrial(frames, w, h, 0, o.full ? 3.0 : 1.0, dir);

        // Highest paced rate with no refusal: bisection between half the measured capacity and
        // a little above it (a rate that never passed is reported as 0).
        double lo = capacity.achievedFps * 0.5, hi = capacity.achievedFps * 1.02;
        double bestFps = 0;
        const int steps = o.full ? 6 : 4;
        double rate = capacity.achievedFps * 0.85;
        for (int k = 0; k < steps && rate > 1; ++k) {
            const Trial t = runTrial(frames, w, h, rate, o.trialSeconds, dir);
            std::printf("  %dx%d trial %.1f fps for %.1f s: %s (handed %llu, refused %llu, written %llu, dropped %llu)\n",
                        w, h, rate, o.trialSeconds, t.sustained ? "sustained" : "NOT sustained",
                        (unsigned long long)t.handed, (unsigned long long)t.refused, (unsigned long long)t.written,
                        (unsigned long long)t.dropped);
            if (t.sustained) {
                lo = rate;
                bestFps = rate;
            } else {
                hi = rate;
            }
            rate = (lo + hi) / 2;
        }

        std::printf("%dx%d (%.2f MP) Mono8, JPEG quality 90:\n", w, h, w * h / 1e6);
        if (tj > 0) {
            std::printf("  tjbench -subsamp GRAY, 1 thread : %8.1f fps\n", tj);
            std::printf("  tjbench, 3 processes at once    : %8.1f fps  (%.2f x: the machine's own scaling)\n", tj3,
                        tj3 / tj);
        } else {
            std::printf("  tjbench                         :      n/a (install libjpeg-turbo-progs)\n");
        }
        std::printf("  CxImage JPEG encode, 1 thread   : %8.1f fps\n", cx);
        std::printf("  CxImage JPEG encode, 3 threads  : %8.1f fps  (no recorder)\n", cx3);
        std::printf("  recorder capacity (unpaced)     : %8.1f fps\n", capacity.achievedFps);
        std::printf("  recorder sustained %4.1f s       : %8.1f fps with no 0x80000004", o.trialSeconds, bestFps);
        if (tj > 0) std::printf("  = %.2f x tjbench 1 thread", bestFps / tj);
        std::printf("\n");
        if (cx3 > 0)
            std::printf("  recorder vs 3 bare encoder threads: capacity %.0f %%, sustained %.0f %%\n",
                        100 * capacity.achievedFps / cx3, 100 * bestFps / cx3);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
