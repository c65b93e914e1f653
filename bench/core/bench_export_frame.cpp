// The cost of the export frame: a cheap export on a valid handle (start and end line at the
// default level info, written to a file like the library's own log) and on an unregistered
// handle (the error end line), plus the frame with logging off for the floor.
#include "LibrarySetup.h"
#include "TestDevice.h"

#include <benchmark/benchmark.h>

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

void BM_ValidHandleInfoToFile(benchmark::State& state) {
    Library& lib = library();
    qxtest::useLogger(spdlog::level::info, "bench_log.txt");
    bool connected = false;
    for (auto _ : state) benchmark::DoNotOptimize(QX_GetConnectionStatus(lib.handle, &connected));
    spdlog::default_logger()->flush();
}
BENCHMARK(BM_ValidHandleInfoToFile);

void BM_UnregisteredHandleInfoToFile(benchmark::State& state) {
    library();
    qxtest::useLogger(spdlog::level::info, "bench_log.txt");
    bool connected = false;
    for (auto _ : state)
        benchmark::DoNotOptimize(QX_GetConnectionStatus(reinterpret_cast<QX_DEV_HANDLE>(0x10), &connected));
    spdlog::default_logger()->flush();
}
BENCHMARK(BM_UnregisteredHandleInfoToFile);

void BM_ValidHandleLoggingOff(benchmark::State& state) {
    Library& lib = library();
    qxtest::useLogger(spdlog::level::off, nullptr);
    bool connected = false;
    for (auto _ : state) benchmark::DoNotOptimize(QX_GetConnectionStatus(lib.handle, &connected));
}
BENCHMARK(BM_ValidHandleLoggingOff);

void BM_GetFrameAtDefaultLevel(benchmark::State& state) {
    // QX_GetFrame logs at debug: at level info a successful call writes nothing.
    Library& lib = library();
    qxtest::useLogger(spdlog::level::info, "bench_log.txt");
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
