// Shared pieces of the image output benchmarks: interleaved timing summaries, camera-like grey
// frames, and libjpeg used directly as the in-process reference for JPEG work (LibjpegGrey.h).
//
// Every comparison in these benchmarks times both sides in the same round, one after the
// other, alternating which goes first, and reports the median of the per-round figures with
// their spread, so that a loaded machine weighs on both sides alike.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "LibjpegGrey.h"

namespace qxbench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

template <typename F>
double timeSeconds(F&& f) {
    const auto t0 = Clock::now();
    f();
    return secondsSince(t0);
}

// Median and spread of a set of per-round figures.
struct Spread {
    double median = 0, q1 = 0, q3 = 0, min = 0, max = 0;
    size_t n = 0;
};

inline double quantile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return 0;
    const double at = q * double(sorted.size() - 1);
    const size_t lo = size_t(std::floor(at));
    const size_t hi = std::min(sorted.size() - 1, lo + 1);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * (at - double(lo));
}

inline Spread summarize(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    Spread s;
    s.n = v.size();
    if (v.empty()) return s;
    s.median = quantile(v, 0.5);
    s.q1 = quantile(v, 0.25);
    s.q3 = quantile(v, 0.75);
    s.min = v.front();
    s.max = v.back();
    return s;
}

// "1.23 (IQR 1.20-1.26, range 1.10-1.40, n 21)", each value scaled by `scale`.
inline std::string describe(const Spread& s, double scale = 1, const char* format = "%.2f") {
    auto f = [&](double v) {
        char b[32];
        std::snprintf(b, sizeof b, format, v * scale);
        return std::string(b);
    };
    return f(s.median) + " (IQR " + f(s.q1) + "-" + f(s.q3) + ", range " + f(s.min) + "-" + f(s.max) + ", n " +
           std::to_string(s.n) + ")";
}

// A camera-like grey scene: smooth shading, fine texture and a little sensor noise, different
// for every frame, so that the JPEG work is neither trivial nor pure noise. Top line first.
inline std::vector<std::vector<uint8_t>> makeGreyFrames(int width, int height, int count) {
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

// libjpeg on its own, the in-process reference (shared with the image output tests).
using qxfixture::LibjpegGrey;

} // namespace qxbench
