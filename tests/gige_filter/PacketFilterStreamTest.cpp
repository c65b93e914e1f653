// The user-space packet filter driver end to end, inside the private network namespace of
// tests/run-in-netns.sh: the simulated device streams over the loopback, the driver's packet
// socket receives, and GEVGetImage pulls the images (aravis's fake camera streams through the
// driver in tests/gige/GevAravisStreamTest.cpp). The last case runs in
// a process without CAP_NET_RAW (see CMakeLists.txt) and checks that the driver is refused.
#include <gtest/gtest.h>

#include <atomic>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "GevChannelTestSupport.h"
#include "GevNetnsSupport.h"
#include "gige/filter/PacketFilterDriver.h"
#include "gige/GevRecord.h"
#include "OpenFiles.h"
#include "SimGvspSender.h"
#include "StreamTestConstants.h"
#include "WaitUntil.h"

using namespace qx::fixture;
using namespace qx::test;
using qxtest::openFdCount;
namespace gvcp = qx::gige::gvcp;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kWidth = 160, kHeight = 100; // 16000 bytes: 11 packets of 1464
constexpr uint32_t kPayload = kWidth * kHeight;

bool canOpenPacketSockets() {
    const int fd = socket(AF_PACKET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

class PacketFilterStream : public NetnsTest {
protected:
    void SetUp() override {
        NetnsTest::SetUp();
        if (IsSkipped()) return;
        useStandardGvcpPort();
        qx::gige::filter::install();
    }
    void TearDown() override {
        if (sender) sender->stopStreaming();
        NetnsTest::TearDown();
        sender.reset();
        sim.reset();
    }
    // The simulated device on 127.0.0.2 at the standard GVCP port, where the driver's
    // PACKETRESEND goes; camera 1 opened on the loopback with its stream channel.
    void openSimulated(bool firewallTraversal = false) {
        SimGevConfig c;
        c.ip = "127.0.0.2";
        c.firewallTraversal = firewallTraversal;
        c.port = gvcp::kPort;
        c.capability |= gvcp::cap::kPacketResend;
        sim = std::make_unique<SimGevDevice>(c);
        ASSERT_TRUE(sim->start());
        sender = std::make_unique<SimGvspSender>(*sim);
        ASSERT_TRUE(sender->start());
        sender->setImage(kWidth, kHeight, kMono8);
        GevConnection conn = connectionTo(*sim);
        ASSERT_EQ(GEVInit(1, &conn, &LogCapture::callback, 0, GEV_CCP_CONTROL), GEV_STATUS_SUCCESS);
        GEVSetDetailedLog(1, GEV_LOG_INFO | GEV_LOG_WARNING | GEV_LOG_ERROR | GEV_LOG_VERBOSE);
        GevChannelParams p;
        GEVGetChannelParameter(1, &p);
        p.GrabStopTimeoutMs = 3000; // generous: the machine may be loaded
        ASSERT_EQ(GEVSetChannelParameter(1, &p), GEV_STATUS_SUCCESS);
        qx::gige::gevStream(1).ringImageCount = 32;
        ASSERT_EQ(GEVOpenStreamChannel(1, 0, 0, 0), GEV_STATUS_SUCCESS);
    }
    GevStatus start() { return GEVAcquisitionStart(1, 0, kPayload, kWidth, kHeight, kMono8); }
    // Pulls one image and compares it with the sender's pattern for its block.
    void expectBlock(uint64_t block, GevStatus status = GEV_STATUS_SUCCESS) {
        Bytes out(kPayload, 0xEE);
        GevImageHeader h{};
        ASSERT_EQ(GEVGetImage(1, &h, out.data(), kPayload), status) << "block " << block;
        EXPECT_EQ(h.BlockId, block);
        EXPECT_EQ(h.SizeX, kWidth);
        EXPECT_EQ(h.SizeY, kHeight);
        if (status == GEV_STATUS_SUCCESS) {
            EXPECT_EQ(out, SimGvspSender::pattern(block, kPayload)) << "block " << block;
        }
    }
    std::unique_ptr<SimGevDevice> sim;
    std::unique_ptr<SimGvspSender> sender;
};

} // namespace

TEST_F(PacketFilterStream, SimulatedCameraFramesArriveByteExactWithTheirCounts) {
    openSimulated();
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    EXPECT_FALSE(LogCapture::instance().has("[I] Allocate ring buffer"));
    // Blocks 1..12; block 5 is never sent, block 9 loses packet 4 for good (resend is off).
    for (uint64_t b = 1; b <= 12; ++b) {
        if (b == 5) continue;
        SimBlockOptions o;
        if (b == 9) o.lost = {4};
        sender->sendBlock(b, SimGvspSender::pattern(b, kPayload), o);
    }
    for (uint64_t b = 1; b <= 12; ++b) {
        if (b == 5) continue;
        expectBlock(b, b == 9 ? GEV_STATUS_GRAB_ERROR : GEV_STATUS_SUCCESS);
    }
    GevStreamStatistics s{};
    ASSERT_EQ(GEVGetStreamStatistics(1, &s), GEV_STATUS_SUCCESS);
    // The counts take in the block that never came: 12 blocks, 1 of them missing, and its 11
    // packets with the one lost in block 9. Each datagram counts once, though the loopback
    // shows a packet socket two copies.
    EXPECT_EQ(s.DeliveredBlocks, 12u);
    EXPECT_EQ(s.MissingPackets, 12u);
    ASSERT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVGetStreamStatistics(1, &s), GEV_STATUS_SUCCESS);
    EXPECT_EQ(s.DeliveredBlocks, 12u);
    EXPECT_EQ(s.MissingBlocks, 1u);
    EXPECT_EQ(s.MissingPackets, 12u);
    EXPECT_TRUE(LogCapture::instance().has("[I] Frames: 12, Errors: 1"));
    // The driver answers a stop once its thread has taken the ring down: the call was pending.
    EXPECT_TRUE(LogCapture::instance().has("[V] Compensating pending I/O request ..."));
    EXPECT_EQ(GEVCloseFilterDriver(1), GEV_STATUS_SUCCESS);
}

TEST_F(PacketFilterStream, TheDriverAsksForLostPacketsItself) {
    openSimulated();
    ASSERT_EQ(GEVSetPacketResend(1, 1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    // One block at a time: a block still waiting for packets is given up when the next one ends.
    for (uint64_t b = 1; b <= 6; ++b) {
        SimBlockOptions o;
        if (b % 2 == 0) o.drop = {2, 3, 7}; // sent again when asked
        sender->sendBlock(b, SimGvspSender::pattern(b, kPayload), o);
        expectBlock(b);
    }
    EXPECT_GE(sender->resendRequests().size(), 3u);
    EXPECT_GE(sender->packetsResent(), 9u);
    ASSERT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    GevStreamStatistics s{};
    ASSERT_EQ(GEVGetStreamStatistics(1, &s), GEV_STATUS_SUCCESS);
    EXPECT_EQ(s.DeliveredBlocks, 6u);
    EXPECT_EQ(s.MissingPackets, 0u);
    EXPECT_GE(s.ResendRequestedPackets, 9u);
}

// Blocks from another host and from the camera's address but not its stream source port never
// reach the images.
TEST_F(PacketFilterStream, OnlyTheCamerasStreamSourceIsTaken) {
    openSimulated(true);
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    qx::net::UdpSocket otherHost, otherPort;
    ASSERT_EQ(otherHost.open(htonl(0x7F000003u), 0), 0);
    ASSERT_EQ(otherPort.open(sim->ip(), 0), 0);
    for (uint64_t b = 1; b <= 4; ++b) {
        for (qx::net::UdpSocket* from : {&otherHost, &otherPort}) {
            SimBlockOptions o;
            o.from = from;
            sender->sendBlock(b, Bytes(kPayload, 0x5A), o);
        }
        sender->sendBlock(b, SimGvspSender::pattern(b, kPayload));
    }
    for (uint64_t b = 1; b <= 4; ++b) expectBlock(b);
    ASSERT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    GevStreamStatistics s{};
    ASSERT_EQ(GEVGetStreamStatistics(1, &s), GEV_STATUS_SUCCESS);
    EXPECT_EQ(s.DeliveredBlocks, 4u);
}

// A read that waits before its block comes lends its buffer to the driver, which writes the
// block straight into it: the images are the same as those copied out of the driver's ring,
// resent packets included.
TEST_F(PacketFilterStream, ReadsWaitingBeforeTheirBlocksGetThemByteExact) {
    openSimulated();
    ASSERT_EQ(GEVSetPacketResend(1, 1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    constexpr uint64_t kBlocks = 8;
    std::atomic<uint64_t> taken{0};
    std::thread reader([&] {
        for (uint64_t b = 1; b <= kBlocks; ++b) {
            expectBlock(b);
            taken = b;
        }
    });
    for (uint64_t b = 1; b <= kBlocks; ++b) {
        // Each block is sent once the one before it was taken (its resent packets may come late
        // on a loaded machine), and a moment later, so that the next read is most likely waiting.
        ASSERT_TRUE(qxtest::waitUntil([&] { return taken.load() >= b - 1; }, std::chrono::seconds(30))) << b;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SimBlockOptions o;
        if (b % 2 == 0) o.drop = {3, 9};
        sender->sendBlock(b, SimGvspSender::pattern(b, kPayload), o);
    }
    reader.join();
    ASSERT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    GevStreamStatistics s{};
    ASSERT_EQ(GEVGetStreamStatistics(1, &s), GEV_STATUS_SUCCESS);
    EXPECT_EQ(s.DeliveredBlocks, kBlocks);
    EXPECT_EQ(s.MissingPackets, 0u);
}

// On a silent stream the driver's thread sleeps until something is due: a read that waits
// still ends at its deadline (not before it), a stream that sends again is read at once, and a
// stop of the silent stream is answered.
TEST_F(PacketFilterStream, ReadsOnASilentStreamEndAtTheirDeadline) {
    openSimulated();
    GevChannelParams p;
    GEVGetChannelParameter(1, &p);
    p.GrabStopTimeoutMs = 300;
    ASSERT_EQ(GEVSetChannelParameter(1, &p), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    sender->sendBlock(1, SimGvspSender::pattern(1, kPayload));
    expectBlock(1);
    for (int i = 0; i < 3; ++i) {
        Bytes out(kPayload);
        GevImageHeader h{};
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(GEVGetImage(1, &h, out.data(), kPayload), GEV_STATUS_TIMEOUT) << "read " << i;
        EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(290)) << "read " << i;
    }
    GevStatus got = GEV_STATUS_TIMEOUT;
    GevImageHeader h{};
    Bytes out(kPayload);
    std::thread reader([&] {
        // Bounded: a loaded machine may take more than one read's wait to send the block.
        for (int i = 0; i < 100 && got == GEV_STATUS_TIMEOUT; ++i) got = GEVGetImage(1, &h, out.data(), kPayload);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the read is most likely waiting
    sender->sendBlock(2, SimGvspSender::pattern(2, kPayload));
    reader.join();
    ASSERT_EQ(got, GEV_STATUS_SUCCESS);
    EXPECT_EQ(h.BlockId, 2u);
    EXPECT_EQ(out, SimGvspSender::pattern(2, kPayload));
    ASSERT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    GevStreamStatistics s{};
    ASSERT_EQ(GEVGetStreamStatistics(1, &s), GEV_STATUS_SUCCESS);
    EXPECT_EQ(s.DeliveredBlocks, 2u);
}

// Resend switched on and off while the driver streams applies to the blocks that follow.
TEST_F(PacketFilterStream, ResendSwitchedMidStreamAppliesToTheNextBlocks) {
    openSimulated();
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    SimBlockOptions o;
    o.drop = {2, 7}; // sent again only when asked
    sender->sendBlock(1, SimGvspSender::pattern(1, kPayload), o);
    expectBlock(1, GEV_STATUS_GRAB_ERROR);
    EXPECT_TRUE(sender->resendRequests().empty());

    ASSERT_EQ(GEVSetPacketResend(1, 1), GEV_STATUS_SUCCESS);
    sender->sendBlock(2, SimGvspSender::pattern(2, kPayload), o);
    expectBlock(2);
    EXPECT_FALSE(sender->resendRequests().empty());

    ASSERT_EQ(GEVSetPacketResend(1, 0), GEV_STATUS_SUCCESS);
    const size_t asked = sender->resendRequests().size();
    sender->sendBlock(3, SimGvspSender::pattern(3, kPayload), o);
    expectBlock(3, GEV_STATUS_GRAB_ERROR);
    EXPECT_EQ(sender->resendRequests().size(), asked);
    ASSERT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
}

TEST_F(PacketFilterStream, DriverAndGrabThreadTakeTurnsOnOneCamera) {
    openSimulated();
    uint64_t block = 1;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
        ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
        for (int i = 0; i < 3; ++i) sender->sendBlock(block + i, SimGvspSender::pattern(block + i, kPayload));
        for (int i = 0; i < 3; ++i) expectBlock(block + i);
        block += 3;
        ASSERT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
        ASSERT_EQ(GEVCloseFilterDriver(1), GEV_STATUS_SUCCESS);

        ASSERT_EQ(start(), GEV_STATUS_SUCCESS); // the grab thread with its ring
        EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_NOT_SUPPORTED);
        EXPECT_EQ(GEVCloseFilterDriver(1), GEV_STATUS_SUCCESS); // not active: nothing to do
        for (int i = 0; i < 3; ++i) sender->sendBlock(block + i, SimGvspSender::pattern(block + i, kPayload));
        for (int i = 0; i < 3; ++i) expectBlock(block + i);
        block += 3;
        ASSERT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    }
}

// Run by the CTest entry that drops CAP_NET_RAW; skipped where the process has it.
TEST(PacketFilterWithoutCapNetRaw, TheDriverIsRefusedAndNothingStaysOpen) {
    if (canOpenPacketSockets()) GTEST_SKIP() << "the process may open packet sockets (CAP_NET_RAW)";
    qx::gige::filter::install();
    reportToLogCapture();
    SimGevDevice device;
    ASSERT_TRUE(device.start());
    GevConnection conn = connectionTo(device);
    ASSERT_EQ(GEVInit(1, &conn, &LogCapture::callback, 0, GEV_CCP_CONTROL), GEV_STATUS_SUCCESS);
    GEVSetDetailedLog(1, 0x37);
    const int fds = openFdCount();
    EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_CANNOT_OPEN_DRIVER);
    EXPECT_TRUE(LogCapture::instance().reported("[E] Unable to allocate filter driver slot"));
    EXPECT_TRUE(LogCapture::instance().has("[E] GEV IOCTL 0x12c850 returned unexpected OS error 0x5"));
    EXPECT_TRUE(LogCapture::instance().has("[I] GEVInitFilterDriver: Can't open v2eDODOderur driver.."));
    EXPECT_EQ(qx::gige::gevRecord(1).filterDriverHandle, -1);
    EXPECT_EQ(qx::gige::gevRecord(1).filterDriverActive, 0);
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    GEVSetLibraryOptions(nullptr);
}
