// Image output benchmarks at 5 MP (2592 x 1944).
//
// Converter: each benchmark times the conversion and, in the same iteration, a memcpy of the
// same source bytes; the counter `vs_memcpy` is memcpy time / conversion time (1.0: as fast as
// memcpy; the aim is 0.5 or better for 16-to-8 bit and close to 1.0 for plain copies).
// Saver: time per saved frame for each format, and the same frame through `cjpeg -grayscale`
// and `pnmtopng` (process start included) when those tools are installed.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "ImageSaver.h"
#include "PixelConverter.h"

namespace {

constexpr uint16_t kWidth = 2592;
constexpr uint16_t kHeight = 1944;
constexpr size_t kPixels = size_t(kWidth) * kHeight;

// A camera-like picture: a gradient with a little noise, samples within 12 bits.
std::vector<uint8_t> makeSource(uint32_t format)
{
    std::vector<uint8_t> src(2 * kPixels);
    uint32_t noise = 12345;
    for (size_t i = 0; i < kPixels; ++i) {
        noise = noise * 1103515245u + 12345u;
        const size_t x = i % kWidth, y = i / kWidth;
        const uint16_t s = static_cast<uint16_t>(((x + y) * 4095 / (kWidth + kHeight) + (noise >> 28)) & 0x0FFF);
        src[2 * i] = static_cast<uint8_t>(s);
        src[2 * i + 1] = static_cast<uint8_t>(s >> 8);
    }
    if (format == QX_PIXEL_MONO8) {
        for (size_t i = 0; i < kPixels; ++i) src[i] = static_cast<uint8_t>(src[2 * i] >> 4 | src[2 * i + 1] << 4);
        src.resize(kPixels);
    }
    return src;
}

uint32_t sourceBytes(uint32_t format)
{
    switch (format) {
    case QX_PIXEL_MONO8: return static_cast<uint32_t>(kPixels);
    case QX_PIXEL_MONO10PACKED:
    case QX_PIXEL_MONO12PACKED: return static_cast<uint32_t>(kPixels * 3 / 2);
    default: return static_cast<uint32_t>(2 * kPixels);
    }
}

void BM_Convert(benchmark::State& state)
{
    const uint32_t srcFormat = static_cast<uint32_t>(state.range(0));
    const uint32_t dstFormat = static_cast<uint32_t>(state.range(1));
    const std::vector<uint8_t> src = makeSource(srcFormat);
    const size_t dstSize = dstFormat == QX_PIXEL_MONO8 ? kPixels : 2 * kPixels;
    std::vector<uint8_t> dst(dstSize, 1), copy(src.size(), 1);
    const uint32_t bytes = sourceBytes(srcFormat);  // what the frame's pixels occupy

    ConvertParam p{};
    p.nWidth = kWidth;
    p.nHeight = kHeight;
    p.enSrcPixelType = srcFormat;
    p.pSrcData = src.data();
    p.nSrcDataLen = static_cast<uint32_t>(src.size());
    p.enDstPixelType = dstFormat;
    p.nDstDataSize = static_cast<uint32_t>(dstSize);
    p.pDstData = dst.data();
    PixelConverter* converter = PixelConverter::getConverterInstance();

    using Clock = std::chrono::steady_clock;
    double convertSeconds = 0, memcpySeconds = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (converter->convertPixels(p) != QX_OK) state.SkipWithError("conversion failed");
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
        const auto t1 = Clock::now();
        std::memcpy(copy.data(), src.data(), bytes);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
        const auto t2 = Clock::now();
        const double c = std::chrono::duration<double>(t1 - t0).count();
        convertSeconds += c;
        memcpySeconds += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(c);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
    state.counters["vs_memcpy"] = convertSeconds > 0 ? memcpySeconds / convertSeconds : 0;
}

void converterArgs(benchmark::internal::Benchmark* b)
{
    for (uint32_t src : {QX_PIXEL_MONO8, QX_PIXEL_MONO12, QX_PIXEL_MONO16, QX_PIXEL_MONO10PACKED,
                         QX_PIXEL_MONO12PACKED}) {
        b->Args({src, QX_PIXEL_MONO8});
        b->Args({src, QX_PIXEL_MONO16});
    }
    b->ArgNames({"src", "dst"});
}

BENCHMARK(BM_Convert)->Apply(converterArgs)->UseManualTime()->Unit(benchmark::kMillisecond);

std::string scratchPath(const char* name)
{
    const char* dir = std::getenv("QX_BENCH_DIR");
    return std::string(dir ? dir : "/tmp") + "/qx_imageout_bench_" + name;
}

void BM_Save(benchmark::State& state)
{
    const int type = static_cast<int>(state.range(0));
    const uint32_t format = static_cast<uint32_t>(state.range(1));
    const std::vector<uint8_t> src = makeSource(format);
    const std::string path = scratchPath(("save" + std::to_string(type)).c_str());
    ImageSaver saver;
    SaveFileParam p{};
    p.nPixelFormat = format;
    p.pData = src.data();
    p.nDataLen = static_cast<uint32_t>(src.size());
    p.nWidth = kWidth;
    p.nHeight = kHeight;
    p.enImageType = type;
    p.nQuality = 90;
    std::snprintf(p.pImagePath, sizeof(p.pImagePath), "%s", path.c_str());
    for (auto _ : state) {
        if (saver.saveNormalFormat(p) != QX_OK) state.SkipWithError("save failed");
    }
    std::remove(path.c_str());
}

BENCHMARK(BM_Save)
    ->ArgNames({"type", "pixfmt"})
    ->Args({QX_IMAGE_BMP, QX_PIXEL_MONO8})
    ->Args({QX_IMAGE_JPG, QX_PIXEL_MONO8})
    ->Args({QX_IMAGE_PNG, QX_PIXEL_MONO8})
    ->Args({QX_IMAGE_TIFF, QX_PIXEL_MONO8})
    ->Args({QX_IMAGE_RAW, QX_PIXEL_MONO8})
    ->Args({QX_IMAGE_BMP, QX_PIXEL_MONO12})
    ->Args({QX_IMAGE_JPG, QX_PIXEL_MONO12})
    ->Args({QX_IMAGE_PNG, QX_PIXEL_MONO12})
    ->Unit(benchmark::kMillisecond);

// The same Mono8 frame through an independent tool, started once per iteration.
void BM_Tool(benchmark::State& state, const char* tool, const char* args, const char* outName)
{
    if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0) {
        state.SkipWithError("tool not installed");
        return;
    }
    const std::vector<uint8_t> frame = makeSource(QX_PIXEL_MONO8);
    const std::string pgm = scratchPath("frame.pgm");
    {
        std::ofstream out(pgm, std::ios::binary);
        out << "P5\n" << kWidth << " " << kHeight << "\n255\n";
        out.write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
    }
    const std::string outPath = scratchPath(outName);
    const std::string command = std::string(tool) + " " + args + " " + pgm + " > " + outPath;
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("tool failed");
    }
    std::remove(pgm.c_str());
    std::remove(outPath.c_str());
}

BENCHMARK_CAPTURE(BM_Tool, cjpeg_grayscale_q90, "cjpeg", "-grayscale -quality 90", "tool.jpg")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Tool, pnmtopng, "pnmtopng", "", "tool.png")->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
