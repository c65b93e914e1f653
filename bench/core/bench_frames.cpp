// Frame delivery: frames per second and hand-over latency from the producer queuing a frame
// to the application receiving it, through the image callback and through QX_GetFrame/
// QX_FreeFrame, at 640x480 and 5 MP Mono8. The producer fills every frame (as a transport
// copies image data in); BM_Memcpy gives the machine's copy bandwidth for the same sizes.
#include "LibrarySetup.h"
#include "TestDevice.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Size {
    uint32_t width, height;
};
const Size kSizes[] = {{640, 480}, {2448, 2048}};

void quietLibrary() {
    qxtest::prepareLibraryInTempDir();
    qxtest::useLogger(spdlog::level::info, nullptr);
}

struct Camera {
    explicit Camera(Size size) {
        quietLibrary();
        transport.options.width = size.width;
        transport.options.height = size.height;
        DeviceInfo info = qxtest::makeGigeInfo("Bench", "F", 1, 2);
        QX_CreateDevice(&handle, &info);
        QX_ConnectDevice(handle, 1);
        dev = transport.device(handle);
    }
    ~Camera() {
        QX_StopGrabbing(handle);
        QX_DisconnectDevice(handle);
        QX_DeleteDevice(handle);
    }
    qxtest::TestTransport transport;
    QX_DEV_HANDLE handle = nullptr;
    qxtest::TestDevice* dev = nullptr;
};

void BM_Memcpy(benchmark::State& state) {
    const Size s = kSizes[state.range(0)];
    const size_t bytes = size_t(s.width) * s.height;
    std::vector<uint8_t> src(bytes, 1), dst(bytes);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}
BENCHMARK(BM_Memcpy)->Arg(0)->Arg(1);

void BM_GetFrameFreeFrame(benchmark::State& state) {
    const Size s = kSizes[state.range(0)];
    Camera cam(s);
    QX_StartGrabbing(cam.handle);
    FrameInfo frame{};
    double latencyNs = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        cam.dev->produceFrame();
        const auto t1 = Clock::now();
        QX_GetFrame(cam.handle, &frame, 1000);
        latencyNs += std::chrono::duration<double, std::nano>(Clock::now() - t1).count();
        QX_FreeFrame(cam.handle, &frame);
        benchmark::DoNotOptimize(t0);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.width) * s.height);
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["handover_ns"] = latencyNs / double(state.iterations());
}
BENCHMARK(BM_GetFrameFreeFrame)->Arg(0)->Arg(1)->UseRealTime();

struct CallbackState {
    std::mutex mutex;
    std::condition_variable cv;
    uint64_t received = 0;
    Clock::time_point queuedAt;
    double latencyNs = 0;
};

void onFrame(const FrameInfo*, void* user) {
    auto* st = static_cast<CallbackState*>(user);
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lk(st->mutex);
    st->latencyNs += std::chrono::duration<double, std::nano>(now - st->queuedAt).count();
    ++st->received;
    st->cv.notify_one();
}

void BM_ImageCallback(benchmark::State& state) {
    const Size s = kSizes[state.range(0)];
    Camera cam(s);
    CallbackState st;
    QX_RegisterImageCallBack(cam.handle, &onFrame, &st);
    QX_StartGrabbing(cam.handle);
    uint64_t sent = 0;
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> lk(st.mutex);
            st.queuedAt = Clock::now();
        }
        cam.dev->produceFrame();
        ++sent;
        std::unique_lock<std::mutex> lk(st.mutex);
        st.cv.wait_for(lk, std::chrono::seconds(2), [&] { return st.received >= sent; });
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.width) * s.height);
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["handover_ns"] = st.received ? st.latencyNs / double(st.received) : 0;
}
BENCHMARK(BM_ImageCallback)->Arg(0)->Arg(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
