// Test main of the USB3 camera tests: the library's one-time set-up runs in a scratch working
// directory, which then receives the USB3 XML directory and the "QxSdkConfig.json" pointing at
// it, before anything reads the configuration; the process's USB manager is pointed at the
// simulated backend before it is first made.
#include "LogCapture.h"
#include "Usb3DeviceTestEnv.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qxtest::prepareLibraryInTempDir();
    if (!qxtest::usb3dev::prepareEnvironment()) return 1;
    return RUN_ALL_TESTS();
}
