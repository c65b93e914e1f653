// A process of its own for the once-per-process behaviour of the library: the first call's
// start line on the console, the version line, and "app end" at exit. Run by test_process.
#include "QxCamApi.h"

#include <cstdio>

int main() {
    bool connected = false;
    // The first call of the process: its start line goes to the console logger.
    QX_GetConnectionStatus(reinterpret_cast<QX_DEV_HANDLE>(0x10), &connected);
    QX_GetConnectionStatus(reinterpret_cast<QX_DEV_HANDLE>(0x20), &connected);
    std::printf("version 0x%08x\n", QX_GetSdkVersion());
    return 0;
}
