// The user-space packet filter driver end to end, inside the private network namespace of
// tests/run-in-netns.sh: the simulated device and aravis's fake camera stream over the loopback,
// the driver's packet socket receives, and GEVGetImage pulls the images. The last case runs in
// a process without CAP_NET_RAW (see CMakeLists.txt) and checks that the driver is refused.
#include <gtest/gtest.h>

#include <dirent.h>
#include <linux/if_ether.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "GevChannelTestSupport.h"
#include "GevNetnsSupport.h"
#include "GevRecord.h"
#include "SimGvspSender.h"

using namespace qx::fixture;
using namespace qx::test;
namespace gvcp = qx::gige::gvcp;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kMono8 = 0x01080001;
constexpr uint32_t kWidth = 160, kHeight = 100;   // 16000 bytes: 11 packets of 1464
constexpr uint32_t kPayload = kWidth * kHeight;

bool canOpenPacketSockets() {
    const int fd = socket(AF_PACKET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

int openFds() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

class PacketFilterStream : public NetnsTest {
protected:
    void SetUp() override {
        NetnsTest::SetUp();
        if (IsSkipped()) return;
        GevLibraryOptions o;
        GEVGetLibraryOptions(&o);
        o.DeviceGvcpPort = gvcp::kPort;
        GEVSetLibraryOptions(&o);
    }
    void TearDown() override {
        if (sender) sender->stopStreaming();
        NetnsTest::TearDown();
        sender.reset();
        sim.reset();
    }
    // The simulated device on 127.0.0.2 at the standard GVCP port, where the driver's
    // PACKETRESEND goes; camera 1 opened on the loopback with its stream channel.
    void openSimulated() {
        SimGevConfig c;
        c.ip = "127.0.0.2";
        c.port = gvcp::kPort;
        c.capability |= gvcp::cap::kPacketResend;
        sim = std::make_unique<SimGevDevice>(c);
        ASSERT_TRUE(sim->start());
        sender = std::make_unique<SimGvspSender>(*sim);
        ASSERT_TRUE(sender->start());
        sender->setImage(kWidth, kHeight, kMono8);
        GevConnection conn = connectionTo(*sim);
        ASSERT_EQ(GEVInit(1, &conn, &LogCapture::callback, 0, GEV_CCP_CONTROL), GEV_STATUS_SUCCESS);
        GEVSetDetailedLog(1, GEV_LOG_INFO | GEV_LOG_WARNING | GEV_LOG_ERROR);
        GevChannelParams p;
        GEVGetChannelParameter(1, &p);
        p.GrabStopTimeoutMs = 3000;   // generous: the machine may be loaded
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
        if (b % 2 == 0) o.drop = {2, 3, 7};   // sent again when asked
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

        ASSERT_EQ(start(), GEV_STATUS_SUCCESS);   // the grab thread with its ring
        EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_NOT_SUPPORTED);
        EXPECT_EQ(GEVCloseFilterDriver(1), GEV_STATUS_SUCCESS);   // not active: nothing to do
        for (int i = 0; i < 3; ++i) sender->sendBlock(block + i, SimGvspSender::pattern(block + i, kPayload));
        for (int i = 0; i < 3; ++i) expectBlock(block + i);
        block += 3;
        ASSERT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    }
}

TEST_F(PacketFilterStream, AravisFakeCameraStreamsThroughTheDriver) {
    constexpr const char* kFake = "arv-fake-gv-camera-0.8";
    if (system("command -v arv-fake-gv-camera-0.8 >/dev/null 2>&1") != 0)
        GTEST_SKIP() << kFake << " is not installed (Debian: aravis-tools)";
    const pid_t pid = fork();
    if (pid == 0) {
        execlp(kFake, kFake, "-i", "127.0.0.1", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    struct Reap {
        pid_t pid;
        ~Reap() {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    } reap{pid};
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        uint8_t access = 0xFF;
        ReadAccessStatus(ipv4("127.0.0.1"), ipv4("127.0.0.1"), ipv4("255.0.0.0"), 0, 20, &access);
        up = access == GEV_ACCESS_AVAILABLE;
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(up) << kFake << " did not come up";
    GevConnection c;
    c.IP_CANCam = ipv4("127.0.0.1");
    c.AdapterIP = ipv4("127.0.0.1");
    c.AdapterMask = ipv4("255.0.0.0");
    std::strcpy(c.AdapterName, "lo");
    ASSERT_EQ(GEVInit(1, &c, &LogCapture::callback, 0, GEV_CCP_CONTROL), GEV_STATUS_SUCCESS);
    constexpr uint32_t kWidthReg = 0x100, kHeightReg = 0x104, kAcquisitionReg = 0x124;
    const uint32_t width = 256, height = 128, payload = width * height;
    ASSERT_EQ(WriteRegister(1, kWidthReg, 1, &width), GEV_STATUS_SUCCESS);
    ASSERT_EQ(WriteRegister(1, kHeightReg, 1, &height), GEV_STATUS_SUCCESS);
    GevChannelParams p;
    GEVGetChannelParameter(1, &p);
    p.GrabStopTimeoutMs = 3000;
    ASSERT_EQ(GEVSetChannelParameter(1, &p), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVOpenStreamChannel(1, 0, 0, 0), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVAcquisitionStart(1, 0, payload, width, height, kMono8), GEV_STATUS_SUCCESS);
    const uint32_t one = 1, zero = 0;
    ASSERT_EQ(WriteRegister(1, kAcquisitionReg, 1, &one), GEV_STATUS_SUCCESS);
    Bytes image(payload);
    uint64_t previous = 0;
    int complete = 0;
    for (int i = 0; i < 6; ++i) {
        GevImageHeader h{};
        const GevStatus st = GEVGetImage(1, &h, image.data(), payload);
        ASSERT_TRUE(st == GEV_STATUS_SUCCESS || st == GEV_STATUS_GRAB_ERROR) << std::hex << st;
        EXPECT_EQ(h.SizeX, width);
        EXPECT_EQ(h.SizeY, height);
        if (previous) {
            EXPECT_GT(h.BlockId, previous);
        }
        previous = h.BlockId;
        if (st != GEV_STATUS_SUCCESS) continue;
        ++complete;
        // The fake camera draws a diagonal ramp: a pixel equals its upper-right neighbour, so a
        // packet placed at a wrong offset breaks the picture.
        int broken = 0;
        for (uint32_t y = 1; y < height; ++y)
            for (uint32_t x = 0; x + 1 < width; ++x)
                broken += image[y * width + x] != image[(y - 1) * width + x + 1];
        EXPECT_EQ(broken, 0) << "frame " << h.BlockId;
    }
    EXPECT_GE(complete, 5);
    EXPECT_EQ(WriteRegister(1, kAcquisitionReg, 1, &zero), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    GevStreamStatistics s{};
    ASSERT_EQ(GEVGetStreamStatistics(1, &s), GEV_STATUS_SUCCESS);
    EXPECT_GE(s.DeliveredBlocks, 6u);
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
}

// Run by the CTest entry that drops CAP_NET_RAW; skipped where the process has it.
TEST(PacketFilterWithoutCapNetRaw, TheDriverIsRefusedAndNothingStaysOpen) {
    if (canOpenPacketSockets()) GTEST_SKIP() << "the process may open packet sockets (CAP_NET_RAW)";
    LogCapture::instance().clear();
    GevLibraryOptions o;
    o.ReportCallback = &LogCapture::report;
    GEVSetLibraryOptions(&o);
    SimGevDevice device;
    ASSERT_TRUE(device.start());
    GevConnection conn = connectionTo(device);
    ASSERT_EQ(GEVInit(1, &conn, &LogCapture::callback, 0, GEV_CCP_CONTROL), GEV_STATUS_SUCCESS);
    GEVSetDetailedLog(1, 0x37);
    const int fds = openFds();
    EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_CANNOT_OPEN_DRIVER);
    EXPECT_TRUE(LogCapture::instance().reported("[E] Unable to allocate filter driver slot"));
    EXPECT_TRUE(LogCapture::instance().has("[E] GEV IOCTL 0x12c850 returned unexpected OS error 0x5"));
    EXPECT_TRUE(LogCapture::instance().has("[I] GEVInitFilterDriver: Can't open v2eDODOderur driver.."));
    EXPECT_EQ(qx::gige::gevRecord(1).filterDriverHandle, -1);
    EXPECT_EQ(qx::gige::gevRecord(1).filterDriverActive, 0);
    EXPECT_EQ(openFds(), fds);
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    GEVSetLibraryOptions(nullptr);
}
