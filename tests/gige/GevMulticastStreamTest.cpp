// A multicast stream inside the private network namespace of tests/run-in-netns.sh: a
// controller that chose the group and a listener with open access (which reads port and group
// from the camera) both receive the simulated camera's blocks.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "GevNetnsSupport.h"
#include "SimGvspSender.h"
#include "StreamTestConstants.h"

using namespace qx::fixture;
using namespace qx::test;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kWidth = 64, kHeight = 48; // 3 packets of 1464 bytes
constexpr uint32_t kPayload = kWidth * kHeight;
constexpr uint32_t kGroup = 0xEFFF2A63u; // 239.255.42.99

class GevMulticastStream : public NetnsTest {};

} // namespace

TEST_F(GevMulticastStream, AControllerAndAnOpenAccessListenerBothReceiveTheGroup) {
    auto d = device("127.0.0.2");
    SimGvspSender sender(*d);
    ASSERT_TRUE(sender.start());
    sender.setImage(kWidth, kHeight, kMono8);
    GevConnection conn = connectionTo(*d);
    ASSERT_EQ(GEVInit(1, &conn, &LogCapture::callback, 0, GEV_CCP_CONTROL), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVInit(2, &conn, &LogCapture::callback, 0, GEV_CCP_OPEN), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVOpenStreamChannel(1, 0, 0, htonl(kGroup)), GEV_STATUS_SUCCESS);
    EXPECT_EQ(d->reg(qx::gige::gvcp::reg::kScda0), kGroup);
    ASSERT_EQ(GEVOpenStreamChannel(2, 0, 0, 0), GEV_STATUS_SUCCESS);
    for (uint8_t cam : {1, 2}) ASSERT_EQ(GEVAcquisitionStart(cam, 0, kPayload, kWidth, kHeight, kMono8), 0) << +cam;
    for (uint64_t b = 1; b <= 3; ++b) sender.sendBlock(b, SimGvspSender::pattern(b, kPayload));
    for (uint8_t cam : {1, 2}) {
        for (uint64_t b = 1; b <= 3; ++b) {
            Bytes out(kPayload, 0xEE);
            GevImageHeader h{};
            ASSERT_EQ(GEVGetImage(cam, &h, out.data(), kPayload), GEV_STATUS_SUCCESS) << +cam << " block " << b;
            EXPECT_EQ(h.BlockId, b);
            EXPECT_EQ(out, SimGvspSender::pattern(b, kPayload)) << +cam << " block " << b;
        }
        EXPECT_EQ(GEVAcquisitionStop(cam), GEV_STATUS_SUCCESS);
    }
}
