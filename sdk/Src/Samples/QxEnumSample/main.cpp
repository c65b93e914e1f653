// QxEnumSample: loads the SDK, prints its version and lists the cameras it finds.
//
//   QxEnumSample [tryTimes] [timeoutMs]
#include "QxCamApi.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

void printDevice(uint32_t index, const DeviceInfo& d) {
    std::printf("[%u] %s %s, serial %s, version %s, user name \"%s\"\n", index, d.strManufacturerName, d.strModelName,
                d.strSerialNumber, d.strDeviceVersion, d.strUserDefinedName);
    static const char* const kAccess[] = {"unavailable", "available", "available read-only", "in use"};
    const char* access = d.nAccessStatus >= 0 && d.nAccessStatus <= 3 ? kAccess[d.nAccessStatus] : "unknown";
    if (d.nTLayerType == QX_TLAYER_GIGE) {
        const uint32_t ip = d.u.stGigeInfo.nIP;
        std::printf("    GigE Vision, %u.%u.%u.%u on adapter %s, %s\n", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF,
                    ip & 0xFF, d.u.stGigeInfo.strAdapterName, access);
    } else {
        std::printf("    USB3, %s, %s\n", d.u.stUsb3Info.strDevicePath, access);
    }
}

} // namespace

int main(int argc, char** argv) {
    const int tryTimes = argc > 1 ? std::atoi(argv[1]) : 1;
    const int timeout = argc > 2 ? std::atoi(argv[2]) : 500;

    const uint32_t version = QX_GetSdkVersion();
    std::printf("QxCamApi SDK version %u.%u.%u (0x%08x)\n", version >> 24, (version >> 16) & 0xFF,
                (version >> 8) & 0xFF, version);

    auto list = std::make_unique<DeviceList>();
    const QX_STATUS status = QX_EnumDevices(list.get(), static_cast<uint8_t>(tryTimes), static_cast<uint16_t>(timeout));
    if (status != QX_OK) {
        std::fprintf(stderr, "QX_EnumDevices failed: 0x%08x\n", status);
        return 1;
    }
    std::printf("%u camera(s) found\n", list->nDevNum);
    for (uint32_t i = 0; i < list->nDevNum; ++i) printDevice(i, *list->pDevInfo[i]);
    return 0;
}
