// Reading the settings files when one of them is hostile: "QxSdkConfig.json" and the log
// directory's "config.json" as a 1 GiB file of blanks (refused by its size, nothing read) and
// as a 1 MiB object (the largest file that is read), with the growth of the process's peak
// memory while reading. The 1 GiB file is written once, to the temporary directory, and removed
// at exit. Run: build/bench/core/qx_bench_config
#include "core/base/LogManager.h"
#include "core/base/SdkConfig.h"

#include <benchmark/benchmark.h>
#include <spdlog/sinks/null_sink.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

long peakRssKb() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct ScratchDir {
    fs::path dir = fs::temp_directory_path() / ("qx-bench-config-" + std::to_string(::getpid()));
    ScratchDir() {
        fs::create_directories(dir);
        spdlog::set_default_logger(
            std::make_shared<spdlog::logger>("bench", std::make_shared<spdlog::sinks::null_sink_mt>()));
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

ScratchDir& scratch() {
    static ScratchDir s;
    return s;
}

// A file of `bytes` blanks, written in blocks.
fs::path blanks(const char* name, size_t bytes) {
    fs::path path = scratch().dir / name;
    if (fs::exists(path) && fs::file_size(path) == bytes) return path;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string block(1 << 20, ' ');
    for (size_t done = 0; done < bytes; done += block.size())
        out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), bytes - done)));
    return path;
}

// The largest object that is read: 1 MiB of a padding text beside the settings.
fs::path largestObject(const char* name) {
    fs::path path = scratch().dir / name;
    const std::string head = R"({"level": "debug", "QxUsb3TransferBufCount": 8, "pad": ")";
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        << head << std::string((1 << 20) - head.size() - 2, 'x') << "\"}";
    return path;
}

void sdkConfigLoop(benchmark::State& state, const fs::path& file) {
    const long before = peakRssKb();
    for (auto _ : state) benchmark::DoNotOptimize(qx::core::base::loadSdkConfig(file.string()));
    state.counters["peak_rss_growth_MiB"] = static_cast<double>(peakRssKb() - before) / 1024.0;
}

void BM_SdkConfig1GiBOfBlanks(benchmark::State& state) { sdkConfigLoop(state, blanks("blanks.json", size_t{1} << 30)); }
BENCHMARK(BM_SdkConfig1GiBOfBlanks)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LogSettings1GiBOfBlanks(benchmark::State& state) {
    const fs::path file = blanks("blanks.json", size_t{1} << 30);
    // The rewrite replaces the file: each round starts from a new hard link to the blanks.
    const fs::path target = scratch().dir / "config.json";
    const long before = peakRssKb();
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove(target);
        fs::create_hard_link(file, target);
        state.ResumeTiming();
        benchmark::DoNotOptimize(qx::core::base::LogManager::readAndRewriteSettings(target.string()));
    }
    state.counters["peak_rss_growth_MiB"] = static_cast<double>(peakRssKb() - before) / 1024.0;
}
BENCHMARK(BM_LogSettings1GiBOfBlanks)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SdkConfigLargestObject(benchmark::State& state) { sdkConfigLoop(state, largestObject("largest.json")); }
BENCHMARK(BM_SdkConfigLargestObject)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
