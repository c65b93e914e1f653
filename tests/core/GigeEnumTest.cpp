// QX_EnumDevices over the GigE Vision library: simulated cameras on 127.0.0.0/8 answer the
// discovery, and their answers become DeviceInfo records. Runs only inside the private network
// namespace of tests/run-in-netns.sh (the discovery broadcasts).
#include "QxCamApi.h"
#include "LogCapture.h"
#include "Loopback.h"
#include "SimGevDevice.h"
#include "WaitUntil.h"

#include "gige/GevLib.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>

namespace {

constexpr uint16_t kGvcpPort = 39561;

class GigeEnumTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qx::fixture::inPrivateNetns()) GTEST_SKIP() << "discovery runs only inside tests/run-in-netns.sh";
        GevLibraryOptions o;
        o.DeviceGvcpPort = kGvcpPort;
        o.AccessProbeFirstTimeoutMs = 20;
        o.AdapterProvider = &qx::fixture::loopbackAdapters;
        GEVSetLibraryOptions(&o);
    }
    void TearDown() override { GEVSetLibraryOptions(nullptr); }

    std::shared_ptr<qx::fixture::SimGevDevice> camera(const std::string& ip, const std::string& serial,
                                                      const std::string& model) {
        qx::fixture::SimGevConfig c;
        c.ip = ip;
        c.port = kGvcpPort;
        c.listenBroadcast = true;
        c.serialNumber = serial;
        c.model = model;
        c.manufacturer = "QxSim Manufacturing Company Ltd";
        c.userName = "line-3";
        c.gateway = "127.0.0.254";
        c.mac[5] = static_cast<uint8_t>(std::stoi(ip.substr(ip.rfind('.') + 1)));
        auto d = std::make_shared<qx::fixture::SimGevDevice>(c);
        EXPECT_TRUE(d->start()) << ip;
        return d;
    }
};

TEST_F(GigeEnumTest, DiscoveredCamerasBecomeDeviceRecords) {
    auto a = camera("127.0.0.7", "SN-7", "SimCam-32-characters-long-name!!");
    auto b = camera("127.0.0.9", "SN-9", "SimCam");
    auto list = std::make_unique<DeviceList>();
    ASSERT_EQ(QX_EnumDevices(list.get(), 3, 500), QX_OK);
    ASSERT_EQ(list->nDevNum, 2u);
    const DeviceInfo* first = list->pDevInfo[0];
    const DeviceInfo* second = list->pDevInfo[1];
    if (first->u.stGigeInfo.nIP != 0x7F000007) std::swap(first, second);
    EXPECT_EQ(first->nTLayerType, QX_TLAYER_GIGE);
    EXPECT_EQ(first->nAccessStatus, QX_ACCESS_STATUS_AVAILABLE);
    EXPECT_STREQ(first->strModelName, "SimCam-32-characters-long-name!!") << "a full 32-character field";
    EXPECT_STREQ(first->strManufacturerName, "QxSim Manufacturing Company Ltd");
    EXPECT_STREQ(first->strSerialNumber, "SN-7");
    EXPECT_STREQ(first->strUserDefinedName, "line-3");
    EXPECT_STREQ(first->strDeviceVersion, "1.0.0");
    EXPECT_EQ(first->u.stGigeInfo.nIP, 0x7F000007u) << "host byte order";
    EXPECT_EQ(first->u.stGigeInfo.nSubNetMask, 0xFF000000u);
    EXPECT_EQ(first->u.stGigeInfo.nGateWay, 0x7F0000FEu);
    EXPECT_EQ(first->u.stGigeInfo.arrMacAddr[5], 7);
    EXPECT_EQ(first->u.stGigeInfo.nAdapterIP >> 24, 127u);
    EXPECT_STREQ(first->u.stGigeInfo.strAdapterName, "lo");
    EXPECT_STREQ(second->strSerialNumber, "SN-9");

    // A second enumeration keeps the records of cameras found again.
    const DeviceInfo* kept = list->pDevInfo[0];
    ASSERT_EQ(QX_EnumDevices(list.get(), 3, 500), QX_OK);
    ASSERT_EQ(list->nDevNum, 2u);
    EXPECT_EQ(list->pDevInfo[0], kept);

    // A camera that is gone is removed.
    b.reset();
    ASSERT_EQ(QX_EnumDevices(list.get(), 3, 500), QX_OK);
    ASSERT_EQ(list->nDevNum, 1u);
    EXPECT_STREQ(list->pDevInfo[0]->strSerialNumber, "SN-7");

    // A handle made from the record keeps the record's names.
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, list->pDevInfo[0]), QX_OK);
    DeviceInfo copy{};
    ASSERT_EQ(QX_GetDeviceInfo(h, &copy), QX_OK);
    EXPECT_STREQ(copy.strSerialNumber, "SN-7");
    EXPECT_EQ(QX_DeleteDevice(h), QX_OK);

    // Leave the kept list empty for the other tests.
    a.reset();
    ASSERT_EQ(QX_EnumDevices(list.get(), 1, 100), QX_OK);
    EXPECT_EQ(list->nDevNum, 0u);
}

TEST_F(GigeEnumTest, AnInterruptEndsADiscoveryInProgress) {
    auto a = camera("127.0.0.7", "SN-7", "SimCam");
    auto list = std::make_unique<DeviceList>();
    // Three attempts of 30 s each: only the interrupt can end this soon.
    auto enumeration = std::async(std::launch::async, [&] { return QX_EnumDevices(list.get(), 3, 30000); });
    ASSERT_TRUE(qxtest::waitUntil([&] { return a->countReceived(qx::gige::gvcp::kDiscoveryCmd) > 0; },
                                  std::chrono::milliseconds(20000)));
    QX_InterruptDevEnumerating();
    const bool ended = enumeration.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!ended) a.reset(); // nothing for a discovery that still runs to find
    EXPECT_TRUE(ended) << "the interrupt did not end the attempt in progress";
    EXPECT_EQ(enumeration.get(), QX_OK);
    // The attempt cut short counts for nothing, and there was no earlier one.
    EXPECT_EQ(list->nDevNum, 0u);
    EXPECT_EQ(a ? a->countReceived(qx::gige::gvcp::kDiscoveryCmd) : 1u, 1u) << "no further attempt";
}

} // namespace
