#include "GigeEnum.h"

#include "GevDiscovery.h"
#include "Log.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

namespace qx {
namespace {

// Serialises GigE discovery runs of the process.
std::mutex g_gigeEnumMutex;

// Copies a text field of `width` characters that need not be terminated.
void copyText(char (&dst)[QX_INFO_TEXT_LEN], const char* src, size_t width) {
    const size_t n = std::min(width, sizeof dst - 1);
    std::memcpy(dst, src, strnlen(src, n));
}

int32_t accessStatusOf(uint8_t access) {
    switch (access) {
    case GEV_ACCESS_AVAILABLE: return QX_ACCESS_STATUS_AVAILABLE;
    case GEV_ACCESS_EXCLUSIVE_OR_DENIED: return QX_ACCESS_STATUS_IN_USE;
    case GEV_ACCESS_CONTROL_HELD: return QX_ACCESS_STATUS_OPEN_ONLY;
    default: return QX_ACCESS_STATUS_UNAVAILABLE;
    }
}

} // namespace

void enumGigeDevices(std::vector<DeviceInfo>& list, uint16_t timeoutMs) {
    std::lock_guard<std::mutex> lock(g_gigeEnumMutex);
    auto found = std::make_unique<GevDiscoveryList>();
    const GevStatus status = GEVDiscovery(found.get(), nullptr, timeoutMs, 1, 0);
    if (status != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{} GEVDiscovery error: 0x{:04x}.", "enumDevice", status);
        return;
    }
    for (int i = 0; i < found->Count; ++i) {
        const GevDiscoveryEntry& e = found->Entries[i];
        DeviceInfo info{};
        copyText(info.strModelName, e.ModelName, sizeof e.ModelName);
        copyText(info.strDeviceVersion, e.DeviceVersion, sizeof e.DeviceVersion);
        copyText(info.strManufacturerName, e.ManufacturerName, sizeof e.ManufacturerName);
        copyText(info.strSerialNumber, e.SerialNumber, sizeof e.SerialNumber);
        copyText(info.strUserDefinedName, e.UserDefinedName, sizeof e.UserDefinedName);
        info.nTLayerType = QX_TLAYER_GIGE;
        info.nAccessStatus = accessStatusOf(e.Access);
        QX_GIGE_DEVICE_INFO& g = info.u.stGigeInfo;
        g.nIP = ntohl(e.CameraIp);
        g.nSubNetMask = ntohl(e.SubnetMask);
        g.nGateWay = ntohl(e.Gateway);
        g.nAdapterIP = ntohl(e.AdapterIp);
        g.nAdapterMask = ntohl(e.AdapterMask);
        std::memcpy(g.arrMacAddr, e.Mac, sizeof g.arrMacAddr);
        // The adapter's name fills its 64 characters at most (no terminator when that long).
        std::memcpy(g.strAdapterName, e.AdapterName, strnlen(e.AdapterName, sizeof g.strAdapterName));
        std::memcpy(g.arrAdapterMacAddr, e.AdapterMac, sizeof g.arrAdapterMacAddr);
        list.push_back(info);
    }
}

} // namespace qx
