// Enumeration: the attempt rule, interruption, the USB3 step and the merge into the kept
// list, over scripted transports.
#include "core/api/DeviceManager.h"
#include "LogCapture.h"
#include "TestDevice.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace qxtest;

namespace {

DeviceInfo gige(const char* serial, uint32_t ip, uint32_t adapter = 0x0A000001) {
    return makeGigeInfo("G", serial, ip, adapter);
}

std::vector<std::string> serials(const DeviceList& list) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < list.nDevNum; ++i) {
        const DeviceInfo* d = list.pDevInfo[i];
        out.push_back(d->nTLayerType == QX_TLAYER_USB3 ? std::string(d->u.stUsb3Info.strDevicePath)
                                                       : std::string(d->strSerialNumber));
    }
    return out;
}

class EnumTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Start every test from an empty kept list.
        transport.gigeAttempts = {{}};
        DeviceList empty{};
        ASSERT_EQ(QX_EnumDevices(&empty, 1, 10), QX_OK);
        ASSERT_EQ(empty.nDevNum, 0u);
        transport.gigeAttemptsRun = 0;
    }
    TestTransport transport;
    std::unique_ptr<DeviceList> list = std::make_unique<DeviceList>();
};

TEST_F(EnumTest, TheLastAttemptWithTheMostCamerasWins) {
    transport.gigeAttempts = {{gige("a", 1), gige("b", 2)},
                              {gige("a", 1), gige("b", 2), gige("c", 3)},
                              {gige("d", 4), gige("e", 5), gige("f", 6)}};
    ASSERT_EQ(QX_EnumDevices(list.get(), 3, 10), QX_OK);
    EXPECT_EQ(transport.gigeAttemptsRun, 3);
    EXPECT_EQ(serials(*list), (std::vector<std::string>{"d", "e", "f"}));
}

TEST_F(EnumTest, AFullerEarlierAttemptIsKept) {
    transport.gigeAttempts = {{gige("a", 1), gige("b", 2), gige("c", 3)}, {gige("x", 9), gige("y", 8)}, {}};
    ASSERT_EQ(QX_EnumDevices(list.get(), 3, 10), QX_OK);
    EXPECT_EQ(serials(*list), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(EnumTest, Usb3CamerasFollowTheGigeOnes) {
    transport.gigeAttempts = {{gige("a", 1)}};
    transport.usb3Devices = {makeUsb3Info("U", "/usb/1", 0)};
    ASSERT_EQ(QX_EnumDevices(list.get(), 1, 10), QX_OK);
    EXPECT_EQ(serials(*list), (std::vector<std::string>{"a", "/usb/1"}));
}

TEST_F(EnumTest, InterruptEndsTheAttemptsAndSkipsUsb3) {
    transport.gigeAttempts = {{gige("a", 1)}, {gige("a", 1), gige("b", 2)}};
    transport.usb3Devices = {makeUsb3Info("U", "/usb/1", 0)};
    // Interrupted from another thread's point of view during the second attempt.
    transport.onGigeAttempt = [](int attempt) {
        if (attempt == 1) QX_InterruptDevEnumerating();
    };
    ASSERT_EQ(QX_EnumDevices(list.get(), 5, 10), QX_OK);
    EXPECT_EQ(transport.gigeAttemptsRun, 2) << "the attempt in progress completes, no further one starts";
    EXPECT_EQ(serials(*list), (std::vector<std::string>{"a", "b"}));
}

TEST_F(EnumTest, AnInterruptBeforeTheEnumerationHasNoEffect) {
    QX_InterruptDevEnumerating();
    transport.gigeAttempts = {{gige("a", 1)}};
    ASSERT_EQ(QX_EnumDevices(list.get(), 2, 10), QX_OK);
    EXPECT_EQ(transport.gigeAttemptsRun, 2);
    EXPECT_EQ(list->nDevNum, 1u);
}

TEST_F(EnumTest, MergeRefreshesInPlaceRemovesAndAppends) {
    transport.gigeAttempts = {{gige("a", 1), gige("b", 2), gige("c", 3)}};
    ASSERT_EQ(QX_EnumDevices(list.get(), 1, 10), QX_OK);
    const DeviceInfo* firstA = list->pDevInfo[0];
    const DeviceInfo* firstC = list->pDevInfo[2];

    // b is gone, c changed its user name, d is new, a second adapter shows a again.
    DeviceInfo c2 = gige("c", 3);
    std::strcpy(c2.strUserDefinedName, "renamed");
    transport.gigeAttempts = {{gige("d", 4), c2, gige("a", 1), gige("a", 1, 0x0B000001)}};
    transport.gigeAttemptsRun = 0;
    ASSERT_EQ(QX_EnumDevices(list.get(), 1, 10), QX_OK);
    EXPECT_EQ(serials(*list), (std::vector<std::string>{"a", "c", "d", "a"}));
    EXPECT_EQ(list->pDevInfo[0], firstA) << "a found again keeps its record";
    EXPECT_STREQ(list->pDevInfo[1]->strUserDefinedName, "renamed");
    EXPECT_EQ(list->pDevInfo[3]->u.stGigeInfo.nAdapterIP, 0x0B000001u);
    // Records handed out earlier stay readable (they now hold other devices).
    EXPECT_EQ(firstC->nTLayerType, QX_TLAYER_GIGE);
}

TEST_F(EnumTest, AUsb3CameraWithANewIndexIsANewDevice) {
    transport.usb3Devices = {makeUsb3Info("U", "/usb/1", 0), makeUsb3Info("U", "/usb/2", 1)};
    ASSERT_EQ(QX_EnumDevices(list.get(), 1, 10), QX_OK);
    transport.usb3Devices = {makeUsb3Info("U", "/usb/2", 0)};
    ASSERT_EQ(QX_EnumDevices(list.get(), 1, 10), QX_OK);
    ASSERT_EQ(list->nDevNum, 1u);
    EXPECT_EQ(list->pDevInfo[0]->u.stUsb3Info.nDevIndex, 0u);
}

TEST_F(EnumTest, TheCallersListIsNeverOverrun) {
    std::vector<DeviceInfo> many;
    for (uint32_t i = 0; i < QX_MAX_DEVICE_NUM + 10; ++i) many.push_back(gige(std::to_string(i).c_str(), i + 1));
    transport.gigeAttempts = {many};
    // Guard words after the list catch a write past its end.
    struct Guarded {
        DeviceList list;
        uint64_t guard[4];
    };
    auto g = std::make_unique<Guarded>();
    std::fill(std::begin(g->guard), std::end(g->guard), 0xA5A5A5A5A5A5A5A5ull);
    ASSERT_EQ(QX_EnumDevices(&g->list, 1, 10), QX_OK);
    EXPECT_EQ(g->list.nDevNum, static_cast<uint32_t>(QX_MAX_DEVICE_NUM));
    for (uint64_t w : g->guard) EXPECT_EQ(w, 0xA5A5A5A5A5A5A5A5ull);
    EXPECT_EQ(qx::core::api::getDeviceManager()->keptDeviceCount(), static_cast<size_t>(QX_MAX_DEVICE_NUM + 10));
}

TEST(IsSameDevice, MatchesByTransportAddressesSerialAndPath) {
    DeviceInfo a = gige("a", 1);
    DeviceInfo u = makeUsb3Info("U", "/usb/1", 3);
    std::vector<const DeviceInfo*> list = {&u, &a};
    size_t idx = 99;
    EXPECT_TRUE(qx::core::api::DeviceManager::isSameDevice(list, gige("a", 1), &idx));
    EXPECT_EQ(idx, 1u);
    EXPECT_FALSE(qx::core::api::DeviceManager::isSameDevice(list, gige("a", 2), nullptr));
    EXPECT_FALSE(qx::core::api::DeviceManager::isSameDevice(list, gige("b", 1), nullptr));
    EXPECT_TRUE(qx::core::api::DeviceManager::isSameDevice(list, makeUsb3Info("X", "/usb/1", 3), &idx));
    EXPECT_EQ(idx, 0u);
    EXPECT_FALSE(qx::core::api::DeviceManager::isSameDevice(list, makeUsb3Info("X", "/usb/1", 4), nullptr));
    DeviceInfo odd = a;
    odd.nTLayerType = 7;
    EXPECT_FALSE(qx::core::api::DeviceManager::isSameDevice(list, odd, nullptr));
}

} // namespace
