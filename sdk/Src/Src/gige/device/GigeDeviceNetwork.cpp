// GigeDevice network settings: enumeration into DeviceInfo records, the address check, FORCEIP
// and the persistent IP configuration (static, DHCP, link-local), with the short connection
// an unconnected camera gets for it.
#include "gige/device/GigeDevice.h"

#include "gige/device/GigeCameraTable.h"
#include "gige/GevRecord.h"
#include "gige/GvcpProtocol.h"
#include "Sys/Log.h"
#include "Sys/ByteOrder.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace qx::gige::device {

namespace {

// Serialises GigE discovery runs.
qx::sys::Mutex g_gigeEnumMutex;

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

bool lowOctetZero(uint32_t v) { return (v & 0xFF) == 0 || (v & 0xFF00) == 0 || (v & 0xFF0000) == 0; }

// "lo 127.0.0.1/255.0.0.0, eth0 ...": the adapters a discovery searches, for the log.
std::string adapterText() {
    auto adapters = std::make_unique<GevAdapterList>();
    if (GetAdapterList(adapters.get()) != GEV_STATUS_SUCCESS) return "0 adapter(s) (the adapter list cannot be read)";
    std::string text = std::to_string(adapters->Count) + " adapter(s):";
    for (int i = 0; i < adapters->Count; ++i) {
        const GevAdapterEntry& a = adapters->Adapters[i];
        char ip[INET_ADDRSTRLEN] = {};
        char mask[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &a.Ip, ip, sizeof ip);
        inet_ntop(AF_INET, &a.Mask, mask, sizeof mask);
        text += std::string(i ? ", " : " ") + a.Name + " " + ip + "/" + mask;
    }
    return text;
}

} // namespace

void GigeDevice::enumDevice(uint16_t timeoutMs, std::vector<DeviceInfo>& list, const std::atomic<bool>* interrupt) {
    qx::sys::MutexLock lock(g_gigeEnumMutex);
    auto found = std::make_unique<GevDiscoveryList>();
    const GevStatus status = qx::gige::gevDiscovery(found.get(), nullptr, timeoutMs, 1, 0, interrupt);
    if (interrupt && interrupt->load()) {
        QX_LOG_INFO("func:{}, interrupted");
        return;
    }
    if (status != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{} GEVDiscovery error: 0x{:04x}.", status);
        return;
    }
    QX_LOG_INFO("func:{}, GigE discovery searched {}; {} camera(s) found", adapterText(), found->Count);
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

// ---- network settings --------------------------------------------------------------------

bool GigeDevice::isNetConfigValid(uint32_t ip, uint32_t mask, uint32_t gateway) {
    if (ip == 0xFFFFFFFFu || ip <= 0x00FFFFFFu || lowOctetZero(ip)) {
        QX_LOG_ERROR("func:{}, nIp:0x{:x}", ip);
        return false;
    }
    const bool gatewayOk = gateway == 0 || (gateway > 0x00FFFFFFu && !lowOctetZero(gateway) && gateway != 0xFFFFFFFFu);
    if (!gatewayOk) {
        QX_LOG_ERROR("func:{}, nGateWay:0x{:x}", gateway);
        return false;
    }
    if ((mask & 0x80000000u) == 0 || mask == 0xFFFFFFFFu) {
        QX_LOG_ERROR("func:{}, nSubNetMask:0x{:x}", mask);
        return false;
    }
    return true;
}

QX_STATUS GigeDevice::gigeForceIp(uint32_t ip, uint32_t mask, uint32_t gateway) {
    if (!isNetConfigValid(ip, mask, gateway)) {
        QX_LOG_ERROR("func:{}, isNetConfigValid()=false");
        return QX_ERR_INVALID_PARAM;
    }
    const DeviceInfo* info = getDeviceInfo();
    if (!info) return QX_ERR_INVALID_PARAM;
    const GevStatus st = GEVForceIpEx(htonl(ip), htonl(mask), htonl(gateway), info->u.stGigeInfo.arrMacAddr,
                                      htonl(info->u.stGigeInfo.nAdapterIP), htonl(info->u.stGigeInfo.nIP));
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVForceIp error:0x{:04x}!", st);
        return gevStatusToError(st);
    }
    return QX_OK;
}

QX_STATUS GigeDevice::connectDeviceForIpConfig(uint32_t ipNet, uint32_t maskNet, uint32_t gatewayNet) {
    const DeviceInfo* info = getDeviceInfo();
    if (!info) return QX_ERR_INVALID_PARAM;
    GevStatus st = GEVForceIpEx(ipNet, maskNet, gatewayNet, info->u.stGigeInfo.arrMacAddr,
                                htonl(info->u.stGigeInfo.nAdapterIP), htonl(info->u.stGigeInfo.nIP));
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVForceIp error:0x{:04x}!", st);
        return gevStatusToError(st);
    }
    m_connection = makeConnection(ipNet);
    if (QX_STATUS s = assignCameraId()) return s;
    const uint8_t cam = m_cameraId.load();
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        {
            qx::sys::MutexLock lk(gevInitMutex());
            st = GEVInit(cam, &m_connection, &GigeDevice::loc_ctrl_channel_cb, 0, GEV_CCP_EXCLUSIVE);
        }
        if (st == GEV_STATUS_SUCCESS) {
            setConnected(true);
            return QX_OK;
        }
    }
    QX_LOG_ERROR("func:{}, GEVInit error:0x{:04x}", st);
    releaseCameraId();
    return gevStatusToError(st);
}

QX_STATUS GigeDevice::setIpConfig(int32_t kind, uint32_t ip, uint32_t mask, uint32_t gateway) {
    if (isGrabbing()) {
        QX_LOG_ERROR("func:{}, m_isAcquisitionStopped={}", false);
        return QX_ERR_NOT_AVAILABLE;
    }
    if (!isNetConfigValid(ip, mask, gateway)) {
        QX_LOG_ERROR("func:{}, isNetConfigValid()=false");
        return QX_ERR_INVALID_PARAM;
    }
    // Refuse an unknown kind before anything is forced on the camera.
    if (kind != QX_IP_CONFIG_STATIC && kind != QX_IP_CONFIG_DHCP && kind != QX_IP_CONFIG_LLA) return QX_ERR_GENERAL;
    bool connectedHere = false;
    if (!isConnected()) {
        if (QX_STATUS s = connectDeviceForIpConfig(htonl(ip), htonl(mask), htonl(gateway))) return s;
        connectedHere = true;
    }
    const uint8_t cam = m_cameraId.load();
    QX_STATUS result = QX_OK;
    if (kind == QX_IP_CONFIG_STATIC || kind == QX_IP_CONFIG_DHCP) {
        // DHCP goes without an address: given one, the library would write the persistent-IP
        // configuration over the DHCP bit and the camera would come up with a fixed address.
        const bool dhcp = kind == QX_IP_CONFIG_DHCP;
        const GevStatus st =
            dhcp ? GEVSetNetConfig(cam, 1, 0, 0, 0) : GEVSetNetConfig(cam, 0, htonl(ip), htonl(mask), htonl(gateway));
        if (st != GEV_STATUS_SUCCESS) {
            QX_LOG_ERROR("func:{}, GEVSetNetConfig error:0x{:04x}", st);
            result = QX_ERR_GENERAL;
        }
    } else {
        uint8_t value[4]; // link-local only, in wire order
        qx::sys::storeBe32(value, qx::gige::gvcp::field::kNetConfigLinkLocal);
        result = writeMemory(value, qx::gige::gvcp::reg::kNetworkConfig, sizeof value, 0);
    }
    if (connectedHere) disconnectDevice();
    return result;
}

} // namespace qx::gige::device
