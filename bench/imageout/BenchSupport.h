// Shared pieces of the image output benchmarks: interleaved timing summaries, camera-like grey
// frames, and libjpeg used directly as the in-process reference for JPEG work.
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

#include <jpeglib.h>  // after <cstdio> and <cstddef>: it uses FILE and size_t

namespace qxbench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

template <typename F>
double timeSeconds(F&& f)
{
    const auto t0 = Clock::now();
    f();
    return secondsSince(t0);
}

// Median and spread of a set of per-round figures.
struct Spread {
    double median = 0, q1 = 0, q3 = 0, min = 0, max = 0;
    size_t n = 0;
};

inline double quantile(const std::vector<double>& sorted, double q)
{
    if (sorted.empty()) return 0;
    const double at = q * double(sorted.size() - 1);
    const size_t lo = size_t(std::floor(at));
    const size_t hi = std::min(sorted.size() - 1, lo + 1);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * (at - double(lo));
}

inline Spread summarize(std::vector<double> v)
{
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
inline std::string describe(const Spread& s, double scale = 1, const char* format = "%.2f")
{
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
inline std::vector<std::vector<uint8_t>> makeGreyFrames(int width, int height, int count)
{
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

// libjpeg on its own: one grey frame (top line first) at the given quality, with the settings
// the SDK's encoder uses (2 x 2 sampling, 96 dpi), into `file` or, without one, into a memory
// buffer kept by the caller. `raw` feeds the rows through jpeg_write_raw_data (the frame's
// width must then be a multiple of 8), otherwise through jpeg_write_scanlines, all rows of the
// frame handed over at once through row pointers. Returns the compressed size.
class LibjpegGrey {
public:
    LibjpegGrey()
    {
        m_cinfo.err = jpeg_std_error(&m_err);
        jpeg_create_compress(&m_cinfo);
    }
    ~LibjpegGrey()
    {
        jpeg_destroy_compress(&m_cinfo);
        std::free(m_mem);
    }
    LibjpegGrey(const LibjpegGrey&) = delete;
    LibjpegGrey& operator=(const LibjpegGrey&) = delete;

    size_t encode(const uint8_t* frame, int width, int height, int quality, bool raw, FILE* file = nullptr)
    {
        unsigned char* given = m_mem;
        if (file) {
            jpeg_stdio_dest(&m_cinfo, file);
        } else {
            if (!m_mem) {
                // Room for any grey frame at these qualities: libjpeg never has to grow it.
                m_memCapacity = 2ul * unsigned(width) * unsigned(height) + 65536;
                m_mem = given = static_cast<unsigned char*>(std::malloc(m_memCapacity));
            }
            m_memSize = m_memCapacity;
            jpeg_mem_dest(&m_cinfo, &m_mem, &m_memSize);
        }
        m_cinfo.image_width = JDIMENSION(width);
        m_cinfo.image_height = JDIMENSION(height);
        m_cinfo.input_components = 1;
        m_cinfo.in_color_space = JCS_GRAYSCALE;
        jpeg_set_defaults(&m_cinfo);
        jpeg_set_quality(&m_cinfo, quality, FALSE);
        m_cinfo.comp_info[0].h_samp_factor = 2;
        m_cinfo.comp_info[0].v_samp_factor = 2;
        m_cinfo.density_unit = 1;
        m_cinfo.X_density = 96;
        m_cinfo.Y_density = 96;
        m_cinfo.raw_data_in = raw ? TRUE : FALSE;
        m_rows.resize(size_t(height) + 16);
        for (int y = 0; y < height + 16; ++y)
            m_rows[size_t(y)] = const_cast<JSAMPROW>(frame + size_t(std::min(y, height - 1)) * size_t(width));
        jpeg_start_compress(&m_cinfo, TRUE);
        if (raw) {
            const int lines = m_cinfo.max_v_samp_factor * DCTSIZE;
            for (int top = 0; top < height; top += lines) {
                JSAMPARRAY planes[1] = {m_rows.data() + top};
                jpeg_write_raw_data(&m_cinfo, planes, JDIMENSION(lines));
            }
        } else {
            while (m_cinfo.next_scanline < m_cinfo.image_height)
                jpeg_write_scanlines(&m_cinfo, m_rows.data() + m_cinfo.next_scanline,
                                     m_cinfo.image_height - m_cinfo.next_scanline);
        }
        jpeg_finish_compress(&m_cinfo);
        if (file) return 0;
        if (m_mem != given) {  // libjpeg moved to a bigger buffer of its own, now ours
            std::free(given);
            m_memCapacity = m_memSize;
        }
        return m_memSize;
    }

private:
    jpeg_compress_struct m_cinfo{};
    jpeg_error_mgr m_err{};
    std::vector<JSAMPROW> m_rows;
    unsigned char* m_mem = nullptr;
    unsigned long m_memSize = 0;
    unsigned long m_memCapacity = 0;
};

} // namespace qxbench
