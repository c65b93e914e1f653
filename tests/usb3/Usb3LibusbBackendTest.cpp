// The libusb backend on a machine without the camera: listing finds nothing and nothing fails.
#include "usb3/QxUsbDevice.h"
#include "Usb/UsbBackend.h"
#include "usb3/UsbDriverDevice.h"

#include <gtest/gtest.h>

using namespace qx::usb3;

TEST(Usb3LibUsb, EnumeratesNothingWithoutCamera) {
    std::shared_ptr<qx::usb::UsbBackend> backend = qx::usb::makeLibUsbBackend();
    ASSERT_NE(backend, nullptr);
    std::vector<qx::usb::UsbDeviceEntry> found = backend->listDevices(kCameraVendorId, kCameraProductId);
    if (!found.empty()) GTEST_SKIP() << "a camera is attached: " << found[0].path;
    qx::usb::UsbStatus err = qx::usb::UsbStatus::Ok;
    EXPECT_EQ(backend->open("usb:255-9.9.9", &err), nullptr);
    EXPECT_NE(err, qx::usb::UsbStatus::Ok);

    UsbDriverDevice dev(backend);
    EXPECT_EQ(dev.deviceCount(), 0);
    EXPECT_TRUE(dev.devicePaths().empty());
    EXPECT_FALSE(dev.openDevice(0));
    EXPECT_FALSE(dev.isOpen());

    QxUsbDevice link("usb:1-1", backend);
    EXPECT_FALSE(link.UsbOpenLink());
    EXPECT_TRUE(link.UsbCloseLink());
}

TEST(Usb3LibUsb, SystemBackendIsShared) {
    auto a = qx::usb::systemUsbBackend();
    auto b = qx::usb::systemUsbBackend();
    EXPECT_EQ(a.get(), b.get());
    // Listing any ids works and is repeatable.
    EXPECT_EQ(a->listDevices(0xFFFF, 0xFFFF).size(), 0u);
}
