// The stream channel end to end on the loopback: a simulated device with its GVSP sender, the
// stream socket, the grab thread, packet resend, GEVGetImage, stop and close.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "gige/GevRecord.h"
#include "gige/GevSeams.h"
#include "gige/GevStreamChannel.h"
#include "GevTestSupport.h"
#include "SimGvspSender.h"
#include "StreamTestConstants.h"
#include "WaitUntil.h"

using namespace qx::fixture;
using namespace qx::test;
using namespace std::chrono_literals;
using qxtest::waitUntil;
namespace gvcp = qx::gige::gvcp;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kWidth = 64, kHeight = 48; // 3072 bytes: 3 packets of 1464
constexpr uint32_t kPayload = kWidth * kHeight;

class GevStream : public ::testing::Test {
protected:
    void SetUp() override { reportToLogCapture(); }
    void TearDown() override {
        if (sender) sender->stopStreaming();
        closeAllCameras();
        sender.reset();
        device.reset();
        GEVSetLibraryOptions(nullptr);
    }
    // A device with a stream channel, opened with control access on camera 1, stream open.
    void open(bool resendCapable = true, bool extended = false, uint8_t ccp = GEV_CCP_CONTROL) {
        SimGevConfig c;
        c.firewallTraversal = firewallTraversal;
        if (resendCapable) c.capability |= gvcp::cap::kPacketResend;
        if (extended) c.version = 0x00020000;
        device = std::make_unique<SimGevDevice>(c);
        ASSERT_TRUE(device->start());
        device->setRegister(gvcp::reg::kPendingTimeout, 200); // answer timeout of version 2 devices
        sender = std::make_unique<SimGvspSender>(*device, extended);
        ASSERT_TRUE(sender->start());
        sender->setImage(kWidth, kHeight, kMono8);
        GevConnection conn = connectionTo(*device);
        ASSERT_EQ(GEVInit(1, &conn, &LogCapture::callback, 0, ccp), GEV_STATUS_SUCCESS);
        GEVSetDetailedLog(1, 0xFF & ~GEV_LOG_REGDATA);
        ASSERT_EQ(GEVOpenStreamChannel(1, 0, 0, 0), GEV_STATUS_SUCCESS);
    }
    void setTimeouts(uint32_t scTimeoutMs, uint32_t grabStopMs) {
        GevChannelParams p;
        GEVGetChannelParameter(1, &p);
        p.ScTimeoutMs = scTimeoutMs;
        p.GrabStopTimeoutMs = grabStopMs;
        ASSERT_EQ(GEVSetChannelParameter(1, &p), GEV_STATUS_SUCCESS);
    }
    GevStatus start(uint32_t frames = 0) { return GEVAcquisitionStart(1, frames, kPayload, kWidth, kHeight, kMono8); }
    GevStatus get(GevImageHeader* h, Bytes* out) {
        out->assign(kPayload, 0xEE);
        return GEVGetImage(1, h, out->data(), kPayload);
    }
    std::unique_ptr<SimGevDevice> device;
    std::unique_ptr<SimGvspSender> sender;
    bool firewallTraversal = false; // the device reports its stream source port (SCSP0)
};

} // namespace

TEST_F(GevStream, OpenWritesTheDestinationAndCloseClearsThePort) {
    open();
    uint16_t port = 0;
    ASSERT_EQ(GEVGetStreamPort(1, &port), GEV_STATUS_SUCCESS);
    EXPECT_NE(port, 0);
    EXPECT_EQ(device->reg(gvcp::reg::kScp0), port);
    EXPECT_EQ(device->reg(gvcp::reg::kScda0), 0x7F000001u);
    EXPECT_TRUE(LogCapture::instance().has("[I] Stream channel port: " + std::to_string(port)));
    EXPECT_EQ(GEVCloseStreamChannel(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(device->reg(gvcp::reg::kScp0), 0u);
}

TEST_F(GevStream, GetImageNeedsAnOpenCameraARunningAcquisitionAndABigEnoughBuffer) {
    Bytes out(kPayload);
    EXPECT_EQ(GEVGetImage(3, nullptr, out.data(), kPayload), GEV_STATUS_CAMERA_NOT_INIT);
    open();
    EXPECT_EQ(GEVGetImage(1, nullptr, out.data(), kPayload), GEV_STATUS_BUFFERS_NOT_INI);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVGetImage(1, nullptr, out.data(), kPayload - 1), GEV_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(GEVGetImage(1, nullptr, nullptr, kPayload), GEV_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(start(), GEV_STATUS_BUSY); // a second start while the grab thread runs
    EXPECT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVGetImage(1, nullptr, out.data(), kPayload), GEV_STATUS_BUFFERS_NOT_INI);
}

TEST_F(GevStream, BlocksArriveWholeInOrderWithTheirHeaders) {
    open();
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(LogCapture::instance().has("[I] PayloadPacketSize: 1464"));
    EXPECT_TRUE(LogCapture::instance().has("[I] Number of payload packets: 3"));
    for (uint64_t b = 1; b <= 3; ++b) sender->sendBlock(b, SimGvspSender::pattern(b, kPayload));
    for (uint64_t b = 1; b <= 3; ++b) {
        GevImageHeader h{};
        Bytes out;
        uint32_t size = 0;
        out.assign(kPayload, 0);
        ASSERT_EQ(GEVGetImage(1, &h, out.data(), kPayload, &size), GEV_STATUS_SUCCESS) << b;
        EXPECT_EQ(size, kPayload);
        EXPECT_EQ(h.BlockId, b);
        EXPECT_EQ(h.SizeX, kWidth);
        EXPECT_EQ(h.SizeY, kHeight);
        EXPECT_EQ(h.PixelFormat, kMono8);
        EXPECT_EQ(h.MissingPackets, 0u);
        EXPECT_EQ(h.FilledUpTo, kPayload);
        EXPECT_EQ(out, SimGvspSender::pattern(b, kPayload));
        GevImageHeader last{};
        GEVGetLastImageHeader(1, &last);
        EXPECT_EQ(last.BlockId, b);
    }
    EXPECT_TRUE(LogCapture::instance().has("[W] Captured img packet"));
    EXPECT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(LogCapture::instance().has("[I] Frames: 3, Errors: 0 Lost: 0.00 %"));
    EXPECT_TRUE(LogCapture::instance().has("[I] Packets: 9 Errors: 0 Lost: 0.00 %"));
    GevStreamStatistics s{};
    ASSERT_EQ(GEVGetStreamStatistics(1, &s), GEV_STATUS_SUCCESS);
    EXPECT_EQ(s.DeliveredBlocks, 3u);
    EXPECT_EQ(s.MissingPackets, 0u);
}

TEST_F(GevStream, PacketResendRecoversLostAndReorderedPackets) {
    open();
    ASSERT_EQ(GEVSetPacketResend(1, 1), GEV_STATUS_SUCCESS);
    uint8_t on = 0;
    ASSERT_EQ(GEVGetPacketResend(1, &on), GEV_STATUS_SUCCESS);
    EXPECT_EQ(on, 1);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);

    // Each block is taken before the next is sent: a later block's trailer gives up on an
    // earlier block that still waits for resent packets.
    SimBlockOptions gap;
    gap.drop = {2}; // found missing when packet 3 arrives
    SimBlockOptions tail;
    tail.drop = {3}; // found missing at the trailer
    for (uint64_t b = 1; b <= 2; ++b) {
        sender->sendBlock(b, SimGvspSender::pattern(b, kPayload), b == 1 ? gap : tail);
        GevImageHeader h{};
        Bytes out;
        ASSERT_EQ(get(&h, &out), GEV_STATUS_SUCCESS) << b;
        EXPECT_EQ(h.BlockId, b);
        EXPECT_EQ(out, SimGvspSender::pattern(b, kPayload));
        EXPECT_EQ(h.ResendRequested, 1u);
        EXPECT_EQ(h.ResendReceived, 1u);
    }
    const auto requests = sender->resendRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].blockId, 1u);
    EXPECT_EQ(requests[0].first, 2u);
    EXPECT_EQ(requests[0].last, 2u);
    EXPECT_EQ(requests[1].blockId, 2u);
    EXPECT_EQ(requests[1].first, 3u);
    EXPECT_EQ(requests[1].last, 3u);
    EXPECT_EQ(requests[0].requestId, 1);
    EXPECT_EQ(requests[1].requestId, 2);
    EXPECT_TRUE(LogCapture::instance().has("[I] Packet resend [BlockID 1] -> requested: 1, received: 1 packets"));

    SimBlockOptions swapped;
    swapped.swaps = {{2, 3}};
    sender->sendBlock(3, SimGvspSender::pattern(3, kPayload), swapped);
    GevImageHeader h{};
    Bytes out;
    ASSERT_EQ(get(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(out, SimGvspSender::pattern(3, kPayload));
    EXPECT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
}

// A GEVGetImage that waits before its block comes lends the caller's buffer: the block is
// written straight into it. Resent packets land there too, and the bytes of a packet lost for
// good read zero, not what the caller's buffer held.
TEST_F(GevStream, ImagesTakenByWaitingCallsAreTheSameAsCopiedOnes) {
    open();
    setTimeouts(50, 3000);
    ASSERT_EQ(GEVSetPacketResend(1, 1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    constexpr uint64_t kBlocks = 6;
    std::thread sending([&] {
        for (uint64_t b = 1; b <= kBlocks; ++b) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the call most likely waits
            SimBlockOptions o;
            if (b == 2) o.drop = {2}; // sent again when asked
            if (b == 4) o.lost = {2}; // never comes
            sender->sendBlock(b, SimGvspSender::pattern(b, kPayload), o);
        }
    });
    for (uint64_t b = 1; b <= kBlocks; ++b) {
        GevImageHeader h{};
        Bytes out;
        const GevStatus st = get(&h, &out);
        EXPECT_EQ(h.BlockId, b);
        Bytes want = SimGvspSender::pattern(b, kPayload);
        if (b == 4) {
            EXPECT_EQ(st, GEV_STATUS_GRAB_ERROR);
            std::fill(want.begin() + 1464, want.begin() + 2 * 1464, 0);
        } else {
            EXPECT_EQ(st, GEV_STATUS_SUCCESS) << b;
        }
        EXPECT_EQ(out, want) << "block " << b;
    }
    sending.join();
    EXPECT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
}

TEST_F(GevStream, UnrecoverableLossDeliversAnIncompleteImage) {
    open();
    setTimeouts(50, 1000);
    ASSERT_EQ(GEVSetPacketResend(1, 1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    SimBlockOptions o;
    o.lost = {2};
    const Bytes data = SimGvspSender::pattern(1, kPayload);
    sender->sendBlock(1, data, o);
    GevImageHeader h{};
    Bytes out;
    ASSERT_EQ(get(&h, &out), GEV_STATUS_GRAB_ERROR);
    EXPECT_EQ(h.MissingPackets, 1u);
    // Asked again in rounds while the block waited, never beyond its budget.
    GevChannelParams p;
    GEVGetChannelParameter(1, &p);
    EXPECT_GE(h.ResendRequested, 2u);
    EXPECT_LE(h.ResendRequested, p.ScPacketResend);
    EXPECT_EQ(h.ResendReceived, 0u);
    for (const auto& r : sender->resendRequests()) {
        EXPECT_EQ(r.first, 2u);
        EXPECT_EQ(r.last, 2u);
    }
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 1464, out.begin()));
    EXPECT_EQ(out[1464], 0); // the lost packet's bytes are zero
    EXPECT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(LogCapture::instance().has("Errors: 1 Lost: 33.33 %"));
}

TEST_F(GevStream, TimerDrivenResendRecoversALossAndGivesUpOnAPacketThatNeverComes) {
    open();
    setTimeouts(0xFFFF, 6000); // sc_timeout 0xFFFF: timer-driven rounds every 200 ms
    ASSERT_EQ(GEVSetPacketResend(1, 1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    SimBlockOptions o;
    o.drop = {3}; // the last packet: only the rounds can notice it
    sender->sendBlock(1, SimGvspSender::pattern(1, kPayload), o);
    GevImageHeader h{};
    Bytes out;
    ASSERT_EQ(get(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(out, SimGvspSender::pattern(1, kPayload));
    EXPECT_GE(h.ResendRequested, 1u);
    EXPECT_TRUE(LogCapture::instance().has("[D] resend finished"));

    SimBlockOptions lost;
    lost.lost = {2};
    sender->sendBlock(2, SimGvspSender::pattern(2, kPayload), lost);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(get(&h, &out), GEV_STATUS_GRAB_ERROR);
    EXPECT_GE(msSince(t0), 1500); // about eleven rounds of 200 ms
    EXPECT_EQ(h.BlockId, 2u);
    EXPECT_EQ(h.MissingPackets, 1u);
    EXPECT_TRUE(LogCapture::instance().has("[W] try_resend_times:"));
    EXPECT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
}

TEST_F(GevStream, PacketResendNeedsTheCapability) {
    open(false);
    uint8_t on = 7;
    EXPECT_EQ(GEVGetPacketResend(1, &on), GEV_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(on, 0);
    EXPECT_EQ(GEVSetPacketResend(1, 1), GEV_STATUS_NOT_SUPPORTED);
}

TEST_F(GevStream, NoImageInTimeGivesTimeout) {
    open();
    setTimeouts(50, 100);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    GevImageHeader h{};
    Bytes out;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(get(&h, &out), GEV_STATUS_TIMEOUT);
    EXPECT_GE(msSince(t0), 90);
    EXPECT_LT(msSince(t0), 2000);
}

TEST_F(GevStream, StopEndsABlockedGrabThreadWithinTheSelectWaitAndASecondStopOnlyLogs) {
    open();
    setTimeouts(100, 1000);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    // The stop meets the grab thread blocked in its select wait (it waits 2 s at most to get there).
    waitUntil([] { return LogCapture::instance().has("[V] Entering grab_func loop"); }, 2000ms);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    EXPECT_LT(msSince(t0), 1000);
    EXPECT_TRUE(LogCapture::instance().has("[I] GrabFunc leaving main loop"));
    LogCapture::instance().clear();
    EXPECT_EQ(GEVAcquisitionStopEx(1, 0), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(LogCapture::instance().has("[V] acquisition already stopped"));
    EXPECT_FALSE(LogCapture::instance().has("[I] Frames:"));
}

TEST_F(GevStream, StopWhileStreamingAndTakingImagesIsSafe) {
    open();
    setTimeouts(50, 100);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    sender->startStreaming(kPayload, 200);
    std::atomic<int> got{0};
    std::atomic<bool> done{false};
    std::thread taker([&] {
        Bytes out(kPayload);
        // Bounded: at most 2000 calls of at most 100 ms each, ends when the ring is gone.
        for (int i = 0; i < 2000 && !done.load(); ++i) {
            GevStatus st = GEVGetImage(1, nullptr, out.data(), kPayload);
            if (st == GEV_STATUS_SUCCESS) ++got;
            if (st == GEV_STATUS_BUFFERS_NOT_INI) break;
        }
    });
    waitUntil([&] { return got.load() >= 5; }, 5000ms, 2ms);
    EXPECT_GE(got.load(), 5);
    EXPECT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    done = true;
    taker.join();
    sender->stopStreaming();
    Bytes out(kPayload);
    EXPECT_EQ(GEVGetImage(1, nullptr, out.data(), kPayload), GEV_STATUS_BUFFERS_NOT_INI);
    double fps = 0;
    EXPECT_EQ(GEVGetFrameRate(1, &fps), GEV_STATUS_SUCCESS);
    EXPECT_GT(fps, 0.0);
}

TEST_F(GevStream, FramesToGrabEndsTheGrabThreadWhichStopStillJoins) {
    open();
    setTimeouts(50, 500);
    ASSERT_EQ(start(2), GEV_STATUS_SUCCESS);
    for (uint64_t b = 1; b <= 3; ++b) sender->sendBlock(b, SimGvspSender::pattern(b, kPayload));
    GevImageHeader h{};
    Bytes out;
    EXPECT_EQ(get(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(get(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(h.BlockId, 2u);
    EXPECT_EQ(get(&h, &out), GEV_STATUS_TIMEOUT); // block 3 came after the grab ended
    EXPECT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(LogCapture::instance().has("[I] Frames: 2, Errors: 0"));
}

TEST_F(GevStream, CloseOfAnAcquiringCameraStopsTheGrabThreadFirst) {
    open();
    setTimeouts(50, 500);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVCloseStreamChannel(1), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(LogCapture::instance().has("[I] GrabFunc leaving main loop"));
    ASSERT_EQ(GEVOpenStreamChannel(1, 0, 0, 0), GEV_STATUS_SUCCESS);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS); // stops the acquisition through the stream hooks
    EXPECT_FALSE(qx::gige::gevIsOpen(1));
}

TEST_F(GevStream, ExtendedIdsWithResend) {
    open(true, true);
    ASSERT_EQ(GEVSetPacketResend(1, 1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(LogCapture::instance().has("[I] PayloadPacketSize: 1452"));
    SimBlockOptions o;
    o.drop = {1};
    const uint64_t id = 0x100000005ull;
    sender->sendBlock(id, SimGvspSender::pattern(id, kPayload), o);
    GevImageHeader h{};
    Bytes out;
    ASSERT_EQ(get(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(h.BlockId, id);
    EXPECT_EQ(out, SimGvspSender::pattern(id, kPayload));
    const auto r = sender->resendRequests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].extended);
    EXPECT_EQ(r[0].blockId, id);
    EXPECT_TRUE(LogCapture::instance().has("[N] Stream uses extended block IDs"));
    EXPECT_FALSE(LogCapture::instance().has("[W] Version mismatch."));
}

TEST_F(GevStream, ExitWhileAcquiringEndsTheGrabThreadCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            open(true, false, GEV_CCP_OPEN);
            if (start() != GEV_STATUS_SUCCESS) std::exit(3);
            sender->sendBlock(1, SimGvspSender::pattern(1, kPayload));
            std::exit(0); // no stop, no close: the library ends its grab thread itself
        },
        ::testing::ExitedWithCode(0), "");
}

namespace {

// CAP_NET_ADMIN in this thread's effective set (capabilities are per thread on Linux): with it
// SO_RCVBUFFORCE goes beyond net.core.rmem_max, without it the system caps the buffer there.
bool setNetAdmin(bool on) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    if (!(data[0].permitted & (1u << CAP_NET_ADMIN))) return false;
    if (on) data[0].effective |= 1u << CAP_NET_ADMIN;
    else data[0].effective &= ~(1u << CAP_NET_ADMIN);
    return syscall(SYS_capset, &header, data) == 0;
}

int rmemMax() {
    int value = 0;
    if (FILE* f = std::fopen("/proc/sys/net/core/rmem_max", "r")) {
        if (std::fscanf(f, "%d", &value) != 1) value = 0;
        std::fclose(f);
    }
    return value;
}

} // namespace

TEST_F(GevStream, ReceiveBufferHoldsTwoFramesOrWarnsNamingTheSystemLimit) {
    // The rule: two frames with the headers of their packets, at least 1 MiB, at most 64 MiB.
    EXPECT_EQ(qx::gige::gevStreamFrameBytes(3072, 3, 36), 3072u + 5 * 36);
    EXPECT_EQ(qx::gige::gevStreamReceiveBufferBytes(3072, 3, 36), 0x100000);
    EXPECT_EQ(qx::gige::gevStreamReceiveBufferBytes(4194304, 2866, 36), 2 * (4194304 + 2868 * 36));
    EXPECT_EQ(qx::gige::gevStreamReceiveBufferBytes(100000000, 68000, 36), 64 << 20);

    const int limit = rmemMax();
    ASSERT_GT(limit, 0);
    // A frame above the system limit: only a process that may force the size holds it.
    const uint32_t payload = static_cast<uint32_t>(std::min(limit + (1 << 20), 30 << 20)) & ~0xFFFu;
    const uint32_t packets = packetsOf(payload);
    const int want = qx::gige::gevStreamReceiveBufferBytes(payload, packets, 36);
    const uint64_t frame = qx::gige::gevStreamFrameBytes(payload, packets, 36);
    open();
    auto& rec = qx::gige::gevRecord(1);
    const std::string warning = "Raise net.core.rmem_max to " + std::to_string(want);
    if (setNetAdmin(true)) {
        ASSERT_EQ(GEVAcquisitionStart(1, 0, payload, 0, 0, 0), GEV_STATUS_SUCCESS);
        int reported = 0;
        ASSERT_EQ(rec.streamSocket.receiveBuffer(&reported), 0);
        EXPECT_GE(reported / 2, want) << "forced beyond net.core.rmem_max";
        EXPECT_FALSE(LogCapture::instance().has(warning));
        ASSERT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    }
    // Without the capability the read-back is what the system granted, and the warning says
    // what to set.
    const bool dropped = setNetAdmin(false);
    LogCapture::instance().clear();
    const GevStatus st = GEVAcquisitionStart(1, 0, payload, 0, 0, 0);
    int reported = 0;
    rec.streamSocket.receiveBuffer(&reported);
    if (dropped) setNetAdmin(true);
    ASSERT_EQ(st, GEV_STATUS_SUCCESS);
    EXPECT_LE(reported / 2, limit);
    EXPECT_LT(uint64_t(reported / 2), frame);
    EXPECT_TRUE(LogCapture::instance().has(warning)) << "the warning names the limit and the value that would do";
    EXPECT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
}

TEST_F(GevStream, PacketResendGoesOutWhileATransactionWaitsAndReadsNeverSeeBusy) {
    open();
    setTimeouts(200, 3000);
    // A register read whose first request the camera drops holds the control channel for its
    // acknowledge wait (2 s) before it asks again.
    GevChannelParams p;
    GEVGetChannelParameter(1, &p);
    p.AnswerTimeoutMs = 2000;
    ASSERT_EQ(GEVSetChannelParameter(1, &p), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVSetPacketResend(1, 1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    device->dropReadsOf(gvcp::reg::kScps0, 1);
    std::atomic<bool> readDone{false};
    GevStatus readStatus = GEV_STATUS_ERROR;
    std::thread reader([&] {
        uint32_t v = 0;
        readStatus = ReadRegister(1, gvcp::reg::kScps0, 1, &v);
        readDone = true;
    });
    waitUntil([&] { return device->countReceived(gvcp::kReadRegCmd) != 0; }, 1000ms, 5ms);
    // A block with a lost packet: its PACKETRESEND does not wait behind the read's acknowledge.
    SimBlockOptions o;
    o.drop = {2};
    const Bytes data = SimGvspSender::pattern(1, kPayload);
    sender->sendBlock(1, data, o);
    GevImageHeader h{};
    Bytes out;
    ASSERT_EQ(get(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(out, data);
    EXPECT_FALSE(readDone.load()) << "the image was completed while the read still waited";
    reader.join();
    EXPECT_EQ(readStatus, GEV_STATUS_SUCCESS);

    // Reads beside a stream that keeps asking for packets never fail.
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, failed{0};
    std::thread loop([&] {
        while (!stop.load() && reads.load() < 2000) {
            uint32_t v = 0;
            if (ReadRegister(1, gvcp::reg::kScps0, 1, &v) != GEV_STATUS_SUCCESS) ++failed;
            ++reads;
        }
    });
    for (uint64_t b = 2; b < 2000 && reads.load() < 200; ++b) {
        SimBlockOptions lossy;
        lossy.drop = {1, 3};
        sender->sendBlock(b, SimGvspSender::pattern(b, kPayload), lossy);
        ASSERT_EQ(get(&h, &out), GEV_STATUS_SUCCESS) << b;
    }
    stop = true;
    loop.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
}

TEST_F(GevStream, OnlyTheCamerasStreamIsTakenStrangersAreDroppedAndCounted) {
    firewallTraversal = true;
    open();
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    // Another host, and the camera's own address from a port other than its stream source.
    const uint32_t otherIp = htonl(ntohl(device->ip()) == 0x7F000002u ? 0x7F000003u : 0x7F000002u);
    qx::net::UdpSocket otherHost, otherPort;
    ASSERT_EQ(otherHost.open(otherIp, 0), 0);
    ASSERT_EQ(otherPort.open(device->ip(), 0), 0);
    for (uint64_t b = 1; b <= 3; ++b) {
        for (qx::net::UdpSocket* from : {&otherHost, &otherPort}) {
            SimBlockOptions o;
            o.from = from;
            ASSERT_EQ(sender->sendBlock(b, Bytes(kPayload, 0x5A), o), 5u);
        }
        sender->sendBlock(b, SimGvspSender::pattern(b, kPayload));
    }
    for (uint64_t b = 1; b <= 3; ++b) {
        GevImageHeader h{};
        Bytes out;
        ASSERT_EQ(get(&h, &out), GEV_STATUS_SUCCESS) << b;
        EXPECT_EQ(h.BlockId, b);
        EXPECT_EQ(out, SimGvspSender::pattern(b, kPayload)) << b;
    }
    GevStreamStatistics s{};
    ASSERT_EQ(GEVGetStreamStatistics(1, &s), GEV_STATUS_SUCCESS);
    EXPECT_EQ(s.ForeignDatagrams, 30u);
    EXPECT_TRUE(LogCapture::instance().has("datagram(s) dropped that are not the camera's stream"));
    EXPECT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVGetStreamStatistics(1, &s), GEV_STATUS_SUCCESS);
    EXPECT_EQ(s.DeliveredBlocks, 3u);
    EXPECT_EQ(s.ForeignDatagrams, 30u);
}
