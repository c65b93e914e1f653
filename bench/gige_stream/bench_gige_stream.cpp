// Receives a 5 MP Mono8 stream (2448 x 2048) from the simulated device on 127.0.0.1 through
// the stream channel, the grab thread and GEVGetImage, with and without packet resend. Each
// iteration takes one image; the sender streams blocks back to back from its own thread, paced
// like a link of the given rate. Every image given out is checked against the sender's pattern.
// Counters: fps (complete images per second: every packet there and every pixel right),
// lost_packets (packets of delivered blocks that never arrived), incomplete (images given out
// with packets missing), bad_pixels (complete images whose pixels differ), resent (packets asked
// again). bench/gige_stream/compare.py compares whole clients through the exports.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "QxCamApi.h"
#include "gige/GevLib.h"
#include "SimGevDevice.h"
#include "SimGvspSender.h"
#include "StreamTestConstants.h"

using namespace qx::fixture;

namespace {

constexpr uint32_t kWidth = 2448, kHeight = 2048;
constexpr uint32_t kPayload = kWidth * kHeight;

void streamFrames(benchmark::State& state, bool resend, uint64_t linkBitsPerSecond) {
    SimGevConfig c;
    c.capability |= qx::gige::gvcp::cap::kPacketResend;
    c.scps0 = 9000; // jumbo packets, as on a tuned GigE link
    SimGevDevice device(c);
    if (!device.start()) {
        state.SkipWithError("device did not start");
        return;
    }
    SimGvspSender sender(device);
    sender.start();
    sender.setImage(kWidth, kHeight, kMono8);
    sender.setLinkRate(linkBitsPerSecond);
    GevConnection conn;
    conn.IP_CANCam = device.ip();
    conn.AdapterIP = ipv4("127.0.0.1");
    conn.AdapterMask = ipv4("255.0.0.0");
    conn.DeviceGvcpPort = device.port();
    if (GEVInit(1, &conn, nullptr, 0, GEV_CCP_CONTROL) != GEV_STATUS_SUCCESS ||
        GEVOpenStreamChannel(1, 0, 0, 0) != GEV_STATUS_SUCCESS) {
        state.SkipWithError("camera did not open");
        GEVClose(1);
        return;
    }
    GEVSetPacketResend(1, resend ? 1 : 0);
    GevChannelParams p;
    GEVGetChannelParameter(1, &p);
    p.ScTimeoutMs = 20;
    p.GrabStopTimeoutMs = 2000;
    GEVSetChannelParameter(1, &p);
    if (GEVAcquisitionStart(1, 0, kPayload, kWidth, kHeight, kMono8) != GEV_STATUS_SUCCESS) {
        state.SkipWithError("acquisition did not start");
        GEVClose(1);
        return;
    }
    sender.startStreaming(kPayload, 0);
    std::vector<uint8_t> image(kPayload);
    const std::vector<uint8_t> expected = SimGvspSender::pattern(1, kPayload); // every streamed block
    int64_t complete = 0, incomplete = 0, timeouts = 0, badPixels = 0;
    for (auto _ : state) {
        GevStatus st = GEVGetImage(1, nullptr, image.data(), kPayload);
        if (st == GEV_STATUS_GRAB_ERROR) ++incomplete;
        else if (st != GEV_STATUS_SUCCESS) ++timeouts;
        else if (image != expected) ++badPixels;
        else ++complete;
        benchmark::DoNotOptimize(image.data());
    }
    sender.stopStreaming();
    GevStreamStatistics s{};
    GEVGetStreamStatistics(1, &s);
    GEVAcquisitionStop(1);
    GEVClose(1);
    state.counters["fps"] = benchmark::Counter(static_cast<double>(complete), benchmark::Counter::kIsRate);
    state.counters["lost_packets"] = static_cast<double>(s.MissingPackets);
    state.counters["missing_blocks"] = static_cast<double>(s.MissingBlocks);
    state.counters["incomplete"] = static_cast<double>(incomplete);
    state.counters["bad_pixels"] = static_cast<double>(badPixels);
    state.counters["timeouts"] = static_cast<double>(timeouts);
    state.counters["resent"] = static_cast<double>(s.ResendRequestedPackets);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPayload);
}

// Argument: the simulated link in Mbit/s (0: unpaced, as fast as the loopback takes it).
void BM_Stream5MpMono8(benchmark::State& state) { streamFrames(state, false, uint64_t(state.range(0)) * 1000000); }
void BM_Stream5MpMono8Resend(benchmark::State& state) { streamFrames(state, true, uint64_t(state.range(0)) * 1000000); }

} // namespace

// GigE (1000 Mbit/s), 10GigE and an unpaced loopback.
BENCHMARK(BM_Stream5MpMono8)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(0)
    ->Iterations(100)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Stream5MpMono8Resend)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(0)
    ->Iterations(100)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
