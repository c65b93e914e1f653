// The test camera of the feature tests: a GenICam description file with every node kind the
// feature access handles, over the memory-backed TestDevice, plus a fixture that makes a
// handle, seeds the camera's registers and connects it through the exports.
#pragma once
#include "LogCapture.h"
#include "TestDevice.h"

#include <gtest/gtest.h>

#include <string>

namespace qxtest {

// Register addresses of the test camera (all big-endian, port "Device" unless noted).
namespace reg {
constexpr int64_t kConnectorValue = 0x10; // on port "ConnectorDevice"
constexpr int64_t kWidth = 0x100;
constexpr int64_t kOffsetX = 0x104;
constexpr int64_t kExposureTime = 0x120; // 8-byte float
constexpr int64_t kPixelFormat = 0x128;
constexpr int64_t kBigEnum = 0x130;
constexpr int64_t kLongEnum = 0x134;
constexpr int64_t kReverseX = 0x140;
constexpr int64_t kAcquisitionStart = 0x150;
constexpr int64_t kDeviceTemperature = 0x160; // polled every 10 ms, not cached
constexpr int64_t kPolledFailing = 0x170;     // polled every 1 ms, not cached, not in the tree
constexpr int64_t kDeviceUserID = 0x200;      // 32 bytes
constexpr int64_t kLongText = 0x400;          // 300 bytes
} // namespace reg

// The 70-character symbolic name of the enumeration "LongEnum" (value 1).
std::string longSymbolic();

// The description file; without the "ConnectorDevice" port (and the node on it) when
// `connectorPort` is false, as every GigE file is after the connect rewrite.
std::string testCameraXml(bool connectorPort = true);

// Seeds the registers with the camera's start values.
void seedTestCamera(TestDevice& dev);

// A handle on the test camera, connected through QX_ConnectDevice.
class FeatureTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Makes the handle with transport.options as they are and seeds the camera.
    void createHandle();
    // QX_ConnectDevice(handle, 1); expects `expected`.
    void connect(QX_STATUS expected = QX_OK);
    TestDevice& dev() { return *transport.device(handle); }

    TestTransport transport;
    LogCapture log;
    DeviceInfo info{};
    QX_DEV_HANDLE handle = nullptr;
};

} // namespace qxtest
