// Test main of the USB3 camera tests: the library's one-time set-up runs in a scratch working
// directory, which then receives the USB3 XML directory and the "QxSdkConfig.json" pointing at
// it, before anything reads the configuration; the process's USB manager is pointed at the
// simulated backend before it is first made.
#include "LibrarySetup.h"
#include "Usb3DeviceTestEnv.h"

#ifdef QX_HAVE_UMOCKDEV
#include "UmockdevUsb3Camera.h"
#endif

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

// Exit status ctest counts as skipped.
constexpr int kSkipped = 77;

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // --libusb: the same tests through the libusb backend, the camera presented by umockdev;
    // the binary then runs under umockdev-wrapper.
    bool libusb = false;
    for (int i = 1; i < argc; ++i) libusb = libusb || std::strcmp(argv[i], "--libusb") == 0;
    if (libusb) {
#ifdef QX_HAVE_UMOCKDEV
        if (!qx::usb3::sim::UmockdevUsb3Camera::available()) {
            std::fprintf(stderr, "not inside umockdev's preload (run under umockdev-wrapper): skipped\n");
            return kSkipped;
        }
#else
        std::fprintf(stderr, "built without umockdev: skipped\n");
        return kSkipped;
#endif
    }
    qxtest::prepareLibraryInTempDir();
    if (!qxtest::usb3dev::prepareEnvironment(libusb)) return 1;
    return RUN_ALL_TESTS();
}
