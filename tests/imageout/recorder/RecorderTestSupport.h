// Helpers of the recorder tests: temporary folders, numbered test frames that survive JPEG
// loss, and the independent checkers from Debian (ffprobe, ffmpeg) run as child processes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace rectest {

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);

// Runs `command` through the shell; stdout (and stderr when `mergeStderr`) goes to `output`.
// Returns the exit status, or -1 when it could not run.
int runCommand(const std::string& command, std::string* output, bool mergeStderr = false);
std::string shellQuote(const std::string& text);

// What ffprobe reports of the first video stream (frames counted by decoding).
struct Probe {
    bool ok = false;
    std::string error; // ffprobe's output when it failed
    std::string codecName, codecTag, pixFmt, rFrameRate, avgFrameRate;
    int width = 0, height = 0;
    long nbFrames = -1, nbReadFrames = -1;
};
Probe ffprobe(const std::string& path);
// `ffmpeg -v error -xerror -i path -f null -`: true when it exits 0 and prints nothing.
bool ffmpegDecodesClean(const std::string& path, std::string* messages);
// Every frame decoded to 8-bit grey, width x height bytes each, in file order.
std::vector<std::vector<uint8_t>> decodeGrayFrames(const std::string& path, int width, int height);

// A width x height Mono8 frame that carries `number` (16 bits) as a 4 x 4 grid of bright or
// dark blocks over a gentle horizontal ramp; readable again after JPEG compression.
std::vector<uint8_t> makeNumberedFrame(int width, int height, uint32_t number);
// The number a (decoded) frame carries; -1 when some block is neither bright nor dark.
int readFrameNumber(const uint8_t* gray, int width, int height);
double meanAbsDiff(const uint8_t* a, const uint8_t* b, size_t n);

// A grey JPEG of the frame (top line first), made with libjpeg directly (for the writer's own tests).
std::vector<uint8_t> encodeGrayJpeg(const uint8_t* gray, int width, int height, int quality);

} // namespace rectest
