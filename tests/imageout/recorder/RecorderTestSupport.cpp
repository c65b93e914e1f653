#include "RecorderTestSupport.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "LibjpegGrey.h"

namespace fs = std::filesystem;

namespace rectest {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "qxrec-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
}

int runCommand(const std::string& command, std::string* output, bool mergeStderr) {
    const std::string full = mergeStderr ? command + " 2>&1" : command;
    FILE* pipe = ::popen(full.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        if (output) output->append(buffer, n);
    }
    const int status = ::pclose(pipe);
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Probe ffprobe(const std::string& path) {
    Probe probe;
    std::string out;
    const int rc = runCommand("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                              "stream=codec_name,codec_tag_string,width,height,pix_fmt,r_frame_rate,"
                              "avg_frame_rate,nb_frames,nb_read_frames -of json " +
                                  shellQuote(path),
                              &out, true);
    if (rc != 0) {
        probe.error = out.empty() ? "ffprobe failed to run" : out;
        return probe;
    }
    try {
        const auto json = nlohmann::json::parse(out);
        const auto& streams = json.at("streams");
        if (streams.empty()) {
            probe.error = "no video stream: " + out;
            return probe;
        }
        const auto& s = streams.at(0);
        auto text = [&](const char* key) { return s.contains(key) ? s.at(key).get<std::string>() : std::string(); };
        auto number = [&](const char* key) -> long {
            if (!s.contains(key)) return -1;
            const auto& v = s.at(key);
            return v.is_string() ? std::stol(v.get<std::string>()) : v.get<long>();
        };
        probe.codecName = text("codec_name");
        probe.codecTag = text("codec_tag_string");
        probe.pixFmt = text("pix_fmt");
        probe.rFrameRate = text("r_frame_rate");
        probe.avgFrameRate = text("avg_frame_rate");
        probe.width = static_cast<int>(number("width"));
        probe.height = static_cast<int>(number("height"));
        probe.nbFrames = number("nb_frames");
        probe.nbReadFrames = number("nb_read_frames");
        probe.ok = true;
    } catch (const std::exception& e) {
        probe.error = std::string("cannot read ffprobe output: ") + e.what() + "\n" + out;
    }
    return probe;
}

bool ffmpegDecodesClean(const std::string& path, std::string* messages) {
    std::string out;
    const int rc = runCommand("ffmpeg -nostdin -v error -xerror -i " + shellQuote(path) + " -f null -", &out, true);
    if (messages) *messages = out;
    return rc == 0 && out.empty();
}

std::vector<std::vector<uint8_t>> decodeGrayFrames(const std::string& path, int width, int height) {
    std::string out;
    runCommand("ffmpeg -nostdin -v error -i " + shellQuote(path) + " -f rawvideo -pix_fmt gray -", &out);
    const size_t frameBytes = size_t(width) * size_t(height);
    std::vector<std::vector<uint8_t>> frames;
    for (size_t off = 0; frameBytes > 0 && off + frameBytes <= out.size(); off += frameBytes) {
        frames.emplace_back(out.begin() + static_cast<long>(off), out.begin() + static_cast<long>(off + frameBytes));
    }
    return frames;
}

namespace {
constexpr int kGrid = 4;
constexpr uint8_t kDark = 40;
constexpr uint8_t kBright = 200;
} // namespace

std::vector<uint8_t> makeNumberedFrame(int width, int height, uint32_t number) {
    std::vector<uint8_t> frame(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y) {
        const int row = std::min(kGrid - 1, y * kGrid / height);
        for (int x = 0; x < width; ++x) {
            const int col = std::min(kGrid - 1, x * kGrid / width);
            const int bit = row * kGrid + col;
            const int base = ((number >> bit) & 1u) ? kBright : kDark;
            const int ramp = x * 24 / std::max(1, width); // 0..23 left to right
            frame[size_t(y) * width + x] = static_cast<uint8_t>(base + ramp);
        }
    }
    return frame;
}

int readFrameNumber(const uint8_t* gray, int width, int height) {
    int number = 0;
    for (int row = 0; row < kGrid; ++row) {
        for (int col = 0; col < kGrid; ++col) {
            // The middle half of the block, away from the block's edges.
            const int x0 = col * width / kGrid, x1 = (col + 1) * width / kGrid;
            const int y0 = row * height / kGrid, y1 = (row + 1) * height / kGrid;
            const int cx0 = x0 + (x1 - x0) / 4, cx1 = std::max(cx0 + 1, x1 - (x1 - x0) / 4);
            const int cy0 = y0 + (y1 - y0) / 4, cy1 = std::max(cy0 + 1, y1 - (y1 - y0) / 4);
            long sum = 0, count = 0;
            for (int y = cy0; y < cy1; ++y)
                for (int x = cx0; x < cx1; ++x) {
                    sum += gray[size_t(y) * width + x];
                    ++count;
                }
            const double mean = double(sum) / double(count);
            if (mean > 150) number |= 1 << (row * kGrid + col);
            else if (mean > 90) return -1;
        }
    }
    return number;
}

double meanAbsDiff(const uint8_t* a, const uint8_t* b, size_t n) {
    if (n == 0) return 0;
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += uint64_t(std::abs(int(a[i]) - int(b[i])));
    return double(sum) / double(n);
}

std::vector<uint8_t> encodeGrayJpeg(const uint8_t* gray, int width, int height, int quality) {
    qxfixture::LibjpegGrey jpeg;
    const size_t size = jpeg.encode(gray, width, height, quality, false);
    return std::vector<uint8_t>(jpeg.data(), jpeg.data() + size);
}

} // namespace rectest
