// Helpers of the image output tests: scratch files, grey test images, running independent
// tools; the SDK's log lines are captured by LogCapture.
#pragma once

#include <gtest/gtest.h>

#include "imageout/CxImage.h"
#include "LogCapture.h"
#include "Programs.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace qxtest {

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An 8-bit grey image whose picture line y (top first) holds value(x, y).
template <typename F>
qx::imageout::CxImage greyImage(uint32_t w, uint32_t h, F value) {
    qx::imageout::CxImage img(w, h, 8, 0);
    img.SetGrayPalette();
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) img.GetBits(h - 1 - y)[x] = value(x, y);
    return img;
}

#define QX_REQUIRE_TOOL(name)                                                        \
    do {                                                                             \
        if (!::qxtest::onPath(name)) GTEST_SKIP() << "tool not installed: " << name; \
    } while (0)

// Runs a shell command; returns its standard output, sets *status to its exit status.
inline std::string run(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        if (status) *status = -1;
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    const int rc = pclose(pipe);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

// A fresh scratch directory per test, removed afterwards.
class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/qx_imageout_XXXXXX";
        const char* made = mkdtemp(pattern);
        m_path = made ? made : "/tmp";
    }
    ~ScratchDir() { std::system(("rm -rf '" + m_path + "'").c_str()); }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// Parses a binary PGM (P5, maxval 255) as written by the netpbm tools and djpeg.
struct Pgm {
    int width = 0;
    int height = 0;
    int maxval = 0;
    std::vector<uint8_t> pixels;
};

inline bool parsePgm(const std::string& data, Pgm* pgm) {
    std::istringstream in(data);
    std::string magic;
    in >> magic;
    if (magic != "P5") return false;
    auto next = [&](int* v) {
        in >> std::ws;
        while (in.peek() == '#') {
            std::string line;
            std::getline(in, line);
            in >> std::ws;
        }
        in >> *v;
    };
    next(&pgm->width);
    next(&pgm->height);
    next(&pgm->maxval);
    in.get();
    if (pgm->maxval != 255) return false;
    pgm->pixels.resize(static_cast<size_t>(pgm->width) * pgm->height);
    in.read(reinterpret_cast<char*>(pgm->pixels.data()), static_cast<std::streamsize>(pgm->pixels.size()));
    return in.gcount() == static_cast<std::streamsize>(pgm->pixels.size());
}

} // namespace qxtest
