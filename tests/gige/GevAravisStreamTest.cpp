// The stream channel against an independent GVSP sender: aravis's fake GigE camera
// (arv-fake-gv-camera-0.8) on 127.0.0.1 streams Mono8 frames into the grab thread. Runs only in
// the private network namespace of tests/run-in-netns.sh (the fake camera listens for
// broadcasts); skipped when the aravis tools are not installed. The fake camera answers no
// PACKETRESEND, so resend stays off.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "GevNetnsSupport.h"
#include "gige/filter/PacketFilterDriver.h"
#include "gige/GevRecord.h"
#include "AravisFakeGvCamera.h"
#include "StreamTestConstants.h"

using namespace qx::fixture;
using namespace qx::test;
namespace gvcp = qx::gige::gvcp;

namespace {

constexpr const char* kFakeCamera = qx::fixture::AravisFakeGvCamera::kProgram;
// The fake camera's registers (from its own GenICam description).
constexpr uint32_t kWidthReg = 0x100, kHeightReg = 0x104, kAcquisitionReg = 0x124;

class GevAravisStream : public NetnsTest {
protected:
    void SetUp() override {
        NetnsTest::SetUp();
        if (IsSkipped()) return;
        if (!AravisFakeGvCamera::installed()) GTEST_SKIP() << kFakeCamera << " is not installed (Debian: aravis-tools)";
        useStandardGvcpPort();
        ASSERT_TRUE(m_fake.start());
        // Ready once it answers a privilege read.
        if (!m_fake.waitAnswering()) FAIL() << kFakeCamera << " did not come up";
    }
    void TearDown() override {
        NetnsTest::TearDown();
        if (const auto status = m_fake.stop()) {
            EXPECT_FALSE(WIFSIGNALED(*status) && WTERMSIG(*status) != SIGTERM) << "the fake camera crashed";
        }
    }
    AravisFakeGvCamera m_fake;
};

} // namespace

namespace {

// Four frames of the fake camera through GEVGetImage, received by the grab thread or, with
// `filterDriver`, by the packet filter driver.
void streamFourFrames(bool filterDriver) {
    GevConnection c;
    c.IP_CANCam = ipv4("127.0.0.1");
    c.AdapterIP = ipv4("127.0.0.1");
    c.AdapterMask = ipv4("255.0.0.0");
    std::strcpy(c.AdapterName, "lo");
    ASSERT_EQ(GEVInit(1, &c, &LogCapture::callback, 0, GEV_CCP_CONTROL), GEV_STATUS_SUCCESS);
    const uint32_t width = 256, height = 128, payload = width * height;
    ASSERT_EQ(WriteRegister(1, kWidthReg, 1, &width), GEV_STATUS_SUCCESS);
    ASSERT_EQ(WriteRegister(1, kHeightReg, 1, &height), GEV_STATUS_SUCCESS);
    GevChannelParams p;
    GEVGetChannelParameter(1, &p);
    p.GrabStopTimeoutMs = 2000;
    ASSERT_EQ(GEVSetChannelParameter(1, &p), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVOpenStreamChannel(1, 0, 0, 0), GEV_STATUS_SUCCESS);
    if (filterDriver) {
        qx::gige::filter::install();
        ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    }
    ASSERT_EQ(GEVAcquisitionStart(1, 0, payload, width, height, kMono8), GEV_STATUS_SUCCESS);
    const uint32_t one = 1, zero = 0;
    ASSERT_EQ(WriteRegister(1, kAcquisitionReg, 1, &one), GEV_STATUS_SUCCESS);
    std::vector<uint8_t> image(payload);
    uint64_t previous = 0;
    int complete = 0;
    for (int i = 0; i < 4; ++i) {
        GevImageHeader h{};
        const GevStatus st = GEVGetImage(1, &h, image.data(), payload);
        ASSERT_TRUE(st == GEV_STATUS_SUCCESS || st == GEV_STATUS_GRAB_ERROR) << std::hex << st;
        EXPECT_EQ(h.SizeX, width);
        EXPECT_EQ(h.SizeY, height);
        EXPECT_EQ(h.PixelFormat, kMono8);
        EXPECT_EQ(h.PayloadType, 1);
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
            for (uint32_t x = 0; x + 1 < width; ++x) broken += image[y * width + x] != image[(y - 1) * width + x + 1];
        EXPECT_EQ(broken, 0) << "frame " << h.BlockId;
    }
    EXPECT_GE(complete, 3); // the loopback loses nothing at this rate
    // The fake camera draws a pattern: a frame is not all zero.
    bool nonZero = false;
    for (uint8_t b : image) nonZero = nonZero || b != 0;
    EXPECT_TRUE(nonZero);
    EXPECT_EQ(WriteRegister(1, kAcquisitionReg, 1, &zero), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(LogCapture::instance().has("[N] Stream uses 16-bit block IDs") ||
                LogCapture::instance().has("[N] Stream uses extended block IDs"));
    EXPECT_EQ(GEVCloseStreamChannel(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
}

} // namespace

TEST_F(GevAravisStream, FramesOfTheFakeCameraArriveComplete) { streamFourFrames(false); }

// The same frames received by the packet filter driver (a packet socket: needs CAP_NET_RAW).
TEST_F(GevAravisStream, FramesOfTheFakeCameraArriveThroughThePacketFilterDriver) { streamFourFrames(true); }
