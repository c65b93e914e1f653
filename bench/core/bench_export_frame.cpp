// The cost of the export frame: a cheap export on a valid handle (start and end line at the
// default level info, written to a file like the library's own log) and on an unregistered
// handle (the error end line), plus the frame with logging off for the floor.
#include "LogCapture.h"
#include "TestDevice.h"

#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/null_sink.h>

#include <cstdio>

namespace {

struct Library {
    Library() {
        qxtest::prepareLibraryInTempDir();
        info = qxtest::makeGigeInfo("Bench", "B1", 1, 2);
        QX_CreateDevice(&handle, &info);
    }
    qxtest::TestTransport transport;
    DeviceInfo info{};
    QX_DEV_HANDLE handle = nullptr;
};

Library& library() {
    static Library lib;
    return lib;
}

void useLogger(spdlog::level::level_enum level, bool toFile) {
    std::shared_ptr<spdlog::logger> logger;
    if (toFile) {
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>("bench_log.txt", true);
        logger = std::make_shared<spdlog::async_logger>("bench", sink, spdlog::thread_pool(),
                                                        spdlog::async_overflow_policy::block);
    } else {
        logger = std::make_shared<spdlog::logger>("bench", std::make_shared<spdlog::sinks::null_sink_mt>());
    }
    logger->set_pattern("[%C%m%d %H:%M:%S.%e] [%L] [t%t] %v");
    logger->set_level(level);
    spdlog::set_default_logger(logger);
}

void BM_ValidHandleInfoToFile(benchmark::State& state) {
    Library& lib = library();
    useLogger(spdlog::level::info, true);
    bool connected = false;
    for (auto _ : state) benchmark::DoNotOptimize(QX_GetConnectionStatus(lib.handle, &connected));
    spdlog::default_logger()->flush();
}
BENCHMARK(BM_ValidHandleInfoToFile);

void BM_UnregisteredHandleInfoToFile(benchmark::State& state) {
    library();
    useLogger(spdlog::level::info, true);
    bool connected = false;
    for (auto _ : state)
        benchmark::DoNotOptimize(QX_GetConnectionStatus(reinterpret_cast<QX_DEV_HANDLE>(0x10), &connected));
    spdlog::default_logger()->flush();
}
BENCHMARK(BM_UnregisteredHandleInfoToFile);

void BM_ValidHandleLoggingOff(benchmark::State& state) {
    Library& lib = library();
    useLogger(spdlog::level::off, false);
    bool connected = false;
    for (auto _ : state) benchmark::DoNotOptimize(QX_GetConnectionStatus(lib.handle, &connected));
}
BENCHMARK(BM_ValidHandleLoggingOff);

void BM_GetFrameAtDefaultLevel(benchmark::State& state) {
    // QX_GetFrame logs at debug: at level info a successful call writes nothing.
    Library& lib = library();
    useLogger(spdlog::level::info, true);
    QX_ConnectDevice(lib.handle, 1);
    QX_StartGrabbing(lib.handle);
    qxtest::TestDevice* dev = lib.transport.device(lib.handle);
    FrameInfo frame{};
    for (auto _ : state) {
        dev->produceFrame();
        QX_GetFrame(lib.handle, &frame, 0);
        QX_FreeFrame(lib.handle, &frame);
    }
    QX_StopGrabbing(lib.handle);
    QX_DisconnectDevice(lib.handle);
}
BENCHMARK(BM_GetFrameAtDefaultLevel);

} // namespace

BENCHMARK_MAIN();
