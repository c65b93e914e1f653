// GigeDevice against an independent GigE Vision implementation: aravis's fake GigE camera
// (arv-fake-gv-camera-0.8) on 127.0.0.1 is found, connected through its own description file,
// and streams Mono8 frames through QX_GetFrame. Runs only in the private network namespace of
// tests/run-in-netns.sh; skipped when the aravis tools are not installed.
#include "QxCamApi.h"

#include "gige/GevLib.h"
#include "Loopback.h"
#include "AravisFakeGvCamera.h"
#include "StreamTestConstants.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr const char* kFakeCamera = qx::fixture::AravisFakeGvCamera::kProgram;
constexpr const char* kSerial = "QXDEV7";
using qx::fixture::AravisFakeGvCamera;
using qx::fixture::kMono8;

class GigeDeviceAravis : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qx::fixture::inPrivateNetns()) GTEST_SKIP() << "runs only inside tests/run-in-netns.sh";
        if (!AravisFakeGvCamera::installed()) GTEST_SKIP() << kFakeCamera << " is not installed (Debian: aravis-tools)";
        GevLibraryOptions o;
        o.AdapterProvider = &qx::fixture::loopbackAdapters; // the standard GVCP port: the fake camera's
        o.AccessProbeFirstTimeoutMs = 20;
        GEVSetLibraryOptions(&o);
        ASSERT_TRUE(m_fake.start(kSerial));
    }
    void TearDown() override {
        if (const auto status = m_fake.stop()) {
            EXPECT_FALSE(WIFSIGNALED(*status) && WTERMSIG(*status) != SIGTERM) << "the fake camera crashed";
        }
        GEVSetLibraryOptions(nullptr);
    }
    AravisFakeGvCamera m_fake;
};

TEST_F(GigeDeviceAravis, ConnectsAndStreamsFrames) {
    // Found once it answers discovery (bounded number of rounds).
    auto list = std::make_unique<DeviceList>();
    const DeviceInfo* fake = nullptr;
    for (int round = 0; round < 25 && !fake; ++round) {
        ASSERT_EQ(QX_EnumDevices(list.get(), 1, 200), QX_OK);
        for (uint32_t i = 0; i < list->nDevNum; ++i)
            if (std::strcmp(list->pDevInfo[i]->strSerialNumber, kSerial) == 0) fake = list->pDevInfo[i];
    }
    ASSERT_NE(fake, nullptr) << kFakeCamera << " did not answer discovery";
    EXPECT_STREQ(fake->strManufacturerName, "Aravis");
    EXPECT_EQ(fake->u.stGigeInfo.nIP, 0x7F000001u);

    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, fake), QX_OK);
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_CONTROL), QX_OK);
    IntValueInfo width{}, height{}, payload{};
    ASSERT_EQ(QX_XML_GetIntValue(h, "Width", &width), QX_OK);
    ASSERT_EQ(QX_XML_GetIntValue(h, "Height", &height), QX_OK);
    ASSERT_EQ(QX_XML_GetIntValue(h, "PayloadSize", &payload), QX_OK);
    EXPECT_EQ(payload.nValue, width.nValue * height.nValue) << "Mono8";
    EnumStrValueInfo pf{};
    ASSERT_EQ(QX_XML_GetEnumValueStr(h, "PixelFormat", &pf), QX_OK);
    EXPECT_STREQ(pf.strValue, "Mono8");

    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    uint64_t last = 0;
    for (int i = 0; i < 3; ++i) {
        FrameInfo f{};
        ASSERT_EQ(QX_GetFrame(h, &f, 3000), QX_OK) << i;
        EXPECT_EQ(f.nWidth, static_cast<uint32_t>(width.nValue));
        EXPECT_EQ(f.nHeight, static_cast<uint32_t>(height.nValue));
        EXPECT_EQ(f.nPixelFormat, kMono8);
        EXPECT_EQ(f.nDataLen, static_cast<uint32_t>(payload.nValue));
        EXPECT_EQ(f.nBitsPerPixel, 8u);
        EXPECT_GT(f.nFrameIndex, last);
        last = f.nFrameIndex;
        ASSERT_EQ(QX_FreeFrame(h, &f), QX_OK);
    }
    // The fake camera's description has no stream-channel port feature: the stop reports
    // that, but the acquisition is over all the same.
    QX_StopGrabbing(h);
    EXPECT_FALSE(QX_IsGrabbingStarted(h));
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    ASSERT_EQ(QX_DeleteDevice(h), QX_OK);
}

} // namespace
