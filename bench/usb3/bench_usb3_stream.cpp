// Frames per second assembling a 5 MP (2592 x 1944, 8-bit) stream.
//  - Usb3Assemble5MP: UsbFrameAssembler alone over the pages of one frame, taken each time.
//  - Usb3Stream5MP: the simulated camera's bulk endpoint through QxUsbDevice's reader, receive
//    ring and assembler thread to UsbTakeFrame; the camera keeps at most two frames queued.
// items_per_second is frames per second.
#include "usb3/QxUsbDevice.h"
#include "SimUsb3Camera.h"
#include "usb3/UsbFrameAssembler.h"

#include <benchmark/benchmark.h>

#include <chrono>

using namespace qx::usb3;

namespace {

constexpr int kWidth = 2592;
constexpr int kHeight = 1944;

std::vector<uint8_t> pixels() {
    std::vector<uint8_t> p(size_t(kWidth) * kHeight);
    for (size_t i = 0; i < p.size(); ++i) p[i] = uint8_t(i * 31 + (i >> 12));
    return p;
}

UsbFrameHeader header(uint32_t n) {
    UsbFrameHeader h;
    h.width = kWidth;
    h.height = kHeight;
    h.frameNumber = n;
    return h;
}

void Usb3Assemble5MP(benchmark::State& state) {
    UsbFrameAssembler a;
    if (!a.configure(kWidth, kHeight, 8, 1, 3)) {
        state.SkipWithError("cannot size the slots");
        return;
    }
    const std::vector<uint8_t> frame = sim::SimUsb3Camera::frameBytes(header(1), pixels());
    uint64_t frames = 0;
    for (auto _ : state) {
        for (size_t off = 0; off < frame.size(); off += kStreamPageSize) a.processPage(frame.data() + off);
        FrameCacheSlot* s = nullptr;
        if (!a.takeFrame(s, 0)) {
            state.SkipWithError("frame not assembled");
            return;
        }
        benchmark::DoNotOptimize(s->data[0]);
        ++frames;
    }
    state.SetItemsProcessed(int64_t(frames));
    state.SetBytesProcessed(int64_t(frames * frame.size()));
}
BENCHMARK(Usb3Assemble5MP)->Unit(benchmark::kMillisecond);

void Usb3Stream5MP(benchmark::State& state) {
    sim::SimUsb3Rig rig;
    QxUsbDevice dev("usb:sim-1", rig.backend);
    if (!dev.UsbOpenLink()) {
        state.SkipWithError("open failed");
        return;
    }
    dev.SetImageInfo(kWidth, kHeight, 8);
    dev.SetPixelBytes(1);
    dev.SetTransferParams(3, int(state.range(0)));
    if (!dev.UsbStartStream() || !rig.camera->waitPendingBulkReads(64, std::chrono::seconds(5))) {
        state.SkipWithError("stream start failed");
        return;
    }
    const std::vector<uint8_t> frame = sim::SimUsb3Camera::frameBytes(header(1), pixels());
    uint64_t frames = 0;
    uint32_t n = 0;
    rig.camera->queueBulk(frame, true);
    for (auto _ : state) {
        rig.camera->waitBulkBelow(frame.size(), std::chrono::seconds(5));
        rig.camera->queueBulk(frame, true); // the next frame is on its way while this one is taken
        FrameCacheSlot* s = nullptr;
        if (!dev.UsbTakeFrame(s, 5000)) {
            state.SkipWithError("no frame within 5 s");
            break;
        }
        benchmark::DoNotOptimize(s->data[0]);
        ++frames;
        ++n;
    }
    dev.UsbStopStream();
    const UsbStreamStats st = dev.streamStats();
    state.counters["lost"] = double(st.framesNoSlot + st.framesIncomplete);
    state.SetItemsProcessed(int64_t(frames));
    state.SetBytesProcessed(int64_t(frames * frame.size()));
}
BENCHMARK(Usb3Stream5MP)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
