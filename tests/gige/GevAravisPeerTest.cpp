// The library against an independent GigE Vision implementation: aravis's fake GigE camera
// (arv-fake-gv-camera-0.8) on 127.0.0.1, checked with aravis's own arv-tool-0.8. Runs only in
// the private network namespace of tests/run-in-netns.sh, since the fake camera listens for
// broadcasts; skipped when the aravis tools are not installed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "GevNetnsSupport.h"
#include "gige/GevRecord.h"
#include "AravisFakeGvCamera.h"
#include "Programs.h"

using namespace qx::fixture;
using namespace qx::test;
namespace gvcp = qx::gige::gvcp;

namespace {

constexpr const char* kFakeCamera = qx::fixture::AravisFakeGvCamera::kProgram;
constexpr const char* kArvTool = "arv-tool-0.8";
constexpr const char* kSerial = "QX42";

std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        pclose(p);
    }
    return out;
}

class GevAravisPeer : public NetnsTest {
protected:
    void SetUp() override {
        NetnsTest::SetUp();
        if (IsSkipped()) return;
        if (!AravisFakeGvCamera::installed() || !qxtest::onPath(kArvTool))
            GTEST_SKIP() << kFakeCamera << " or " << kArvTool
                         << " is not installed (Debian: aravis-tools, aravis-tools-cli)";
        useStandardGvcpPort(); // the fake camera listens on the standard port
        ASSERT_TRUE(m_fake.start(kSerial));
        // Ready once it answers a privilege read.
        if (!m_fake.waitAnswering()) FAIL() << kFakeCamera << " did not come up";
    }
    void TearDown() override {
        NetnsTest::TearDown();
        if (const auto status = m_fake.stop()) {
            EXPECT_TRUE(WIFSIGNALED(*status) || WIFEXITED(*status));
            EXPECT_FALSE(WIFSIGNALED(*status) && WTERMSIG(*status) != SIGTERM) << "the fake camera crashed";
        }
    }
    GevStatus open(uint8_t cam, uint8_t mode) {
        GevConnection c;
        c.IP_CANCam = ipv4("127.0.0.1");
        c.AdapterIP = ipv4("127.0.0.1");
        c.AdapterMask = ipv4("255.0.0.0");
        std::strcpy(c.AdapterName, "lo");
        return GEVInit(cam, &c, &LogCapture::callback, 0, mode);
    }
    uint32_t privilege() { // read through a second record in open access
        uint32_t ccp = 0xFFFFFFFF;
        EXPECT_EQ(open(9, GEV_CCP_OPEN), GEV_STATUS_SUCCESS);
        EXPECT_EQ(ReadRegister(9, gvcp::reg::kCcp, 1, &ccp), GEV_STATUS_SUCCESS);
        EXPECT_EQ(GEVClose(9), GEV_STATUS_SUCCESS);
        return ccp;
    }
    std::string arvControl(const std::string& what) {
        return run(std::string(kArvTool) + " -a 127.0.0.1 control " + what);
    }
    AravisFakeGvCamera m_fake;
};

std::string field(const char* text, size_t width) { return std::string(text, strnlen(text, width)); }

} // namespace

TEST_F(GevAravisPeer, DiscoveryFindsTheFakeCamera) {
    auto list = std::make_unique<GevDiscoveryList>();
    ASSERT_EQ(GEVDiscovery(list.get(), nullptr, 300, 1, 0), GEV_STATUS_SUCCESS);
    ASSERT_EQ(list->Count, 1);
    const GevDiscoveryEntry& e = list->Entries[0];
    EXPECT_EQ(ipv4Text(e.CameraIp), "127.0.0.1");
    EXPECT_EQ(field(e.SerialNumber, 16), kSerial);
    EXPECT_EQ(e.Access, GEV_ACCESS_AVAILABLE);
    // The texts as aravis itself reads them from the camera.
    const std::string info = arvControl("DeviceVendorName DeviceModelName DeviceVersion");
    EXPECT_NE(info.find("DeviceVendorName = " + field(e.ManufacturerName, 32) + "\n"), std::string::npos) << info;
    EXPECT_NE(info.find("DeviceModelName = " + field(e.ModelName, 32) + "\n"), std::string::npos) << info;
    EXPECT_NE(info.find("DeviceVersion = " + field(e.DeviceVersion, 32) + "\n"), std::string::npos) << info;
    EXPECT_EQ(field(e.ManufacturerName, 32), "Aravis");
    EXPECT_EQ(field(e.ModelName, 32), "Fake");
    EXPECT_FALSE(field(e.DeviceVersion, 32).empty());
}

TEST_F(GevAravisPeer, OpenTakesAndCloseReleasesThePrivilege) {
    ASSERT_EQ(open(1, GEV_CCP_CONTROL), GEV_STATUS_SUCCESS);
    EXPECT_EQ(privilege(), gvcp::kCcpControl);
    auto list = std::make_unique<GevDiscoveryList>();
    ASSERT_EQ(GEVDiscovery(list.get(), nullptr, 200, 1, 0), GEV_STATUS_SUCCESS);
    ASSERT_EQ(list->Count, 1);
    EXPECT_EQ(list->Entries[0].Access, GEV_ACCESS_CONTROL_HELD);
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(privilege(), 0u);
}

TEST_F(GevAravisPeer, XmlIsFetchedByteForByte) {
    ASSERT_EQ(open(1, GEV_CCP_CONTROL), GEV_STATUS_SUCCESS);
    char url[513] = {};
    ASSERT_EQ(ReadMemory(1, gvcp::reg::kFirstUrl, 512, url), GEV_STATUS_SUCCESS);
    EXPECT_STREQ(url, "Local:arv-fake-camera.xml;10000;3e67");
    uint32_t size = 0;
    ASSERT_EQ(GEVGetXmlSizeEx(1, &size), GEV_STATUS_SUCCESS);
    EXPECT_EQ(size, 15975u);
    std::string xml(size, '\0');
    ASSERT_EQ(GEVGetXmlFileEx(1, xml.data(), size), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(LogCapture::instance().has("[I] XML-Name: arv-fake-camera.xml, Address: 0x00010000, Length: 15975"));
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    // aravis's own dump of the same description (it adds one line end).
    const std::string dumped = run(std::string(kArvTool) + " -a 127.0.0.1 genicam");
    ASSERT_GE(dumped.size(), xml.size());
    EXPECT_EQ(dumped.substr(0, xml.size()), xml);
    EXPECT_EQ(dumped.substr(xml.size()), "\n");
}

TEST_F(GevAravisPeer, RegistersWrittenReadBackThroughAravis) {
    ASSERT_EQ(open(1, GEV_CCP_CONTROL), GEV_STATUS_SUCCESS);
    const uint32_t width = 640, height = 480;
    ASSERT_EQ(WriteRegister(1, 0x100, 1, &width), GEV_STATUS_SUCCESS);
    ASSERT_EQ(WriteRegister(1, 0x104, 1, &height), GEV_STATUS_SUCCESS);
    uint32_t back = 0;
    ASSERT_EQ(ReadRegister(1, 0x100, 1, &back), GEV_STATUS_SUCCESS);
    EXPECT_EQ(back, 640u);
    // The fake camera offers neither WRITEMEM nor concatenation.
    const uint8_t bytes[8] = {};
    EXPECT_EQ(WriteMemory(1, 0x100, 8, bytes), GEV_STATUS_NOT_SUPPORTED);
    uint32_t two[2];
    EXPECT_EQ(ReadRegister(1, 0x100, 2, two), GEV_STATUS_INVALID_PARAMETER);
    ASSERT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    const std::string out = arvControl("Width Height R[0x100]");
    EXPECT_NE(out.find("Width = 640"), std::string::npos) << out;
    EXPECT_NE(out.find("Height = 480"), std::string::npos) << out;
    EXPECT_NE(out.find("R[0x00000100] = 0x00000280"), std::string::npos) << out;
}
