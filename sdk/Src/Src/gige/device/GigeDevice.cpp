// GigeDevice: construction, the camera number, opening and closing the connection (GEVInit,
// the device XML, the channel parameters) and register access. Acquisition, network settings,
// packet resend and heartbeat, and offline detection are in the files GigeDevice*.cpp beside it.
#include "gige/device/GigeDevice.h"

#include "gige/device/GigeCameraTable.h"
#include "feature/FeatureBase.h"
#include "Sys/Log.h"
#include "core/base/SdkConfig.h"
#include "Sys/ByteOrder.h"

#include <arpa/inet.h>

#include <cstring>
#include <memory>

namespace qx::gige::device {

namespace {

constexpr uint32_t kGrabStopTimeoutMs = 100;
constexpr int kXmlAttempts = 3;
constexpr uint32_t kXmlSlack = 5120;

// Every occurrence of `from` replaced by `to`, scanning left to right and resuming after each
// inserted text.
void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

// The device XML with its connector port renamed to the port the feature layer reaches.
std::string withDevicePort(std::string xml) {
    replaceAll(xml, "<pPort>ConnectorDevice</pPort>", "<pPort>Device</pPort>");
    replaceAll(xml, "<Port Name=\"ConnectorDevice\" NameSpace=\"Standard\">",
               "<Port Name=\"Device\" NameSpace=\"Standard\">");
    return xml;
}

} // namespace

// ---- construction ------------------------------------------------------------------------

GigeDevice::GigeDevice() {
    CameraTable& table = cameraTable();
    qx::sys::MutexLock lk(table.mutex);
    if (table.g_availableCamIndexList.empty() && !table.idsFilled) {
        for (uint8_t i = 1; i <= GEV_MAX_CAMERAS; ++i) table.g_availableCamIndexList.push_back(i);
        table.idsFilled = true;
    }
}

GigeDevice::~GigeDevice() {
    disconnectDevice();
    stopLivenessTask();
    shutdownThreads();
}

QX_STATUS GigeDevice::assignCameraId() {
    CameraTable& table = cameraTable();
    qx::sys::MutexLock lk(table.mutex);
    if (table.g_availableCamIndexList.empty()) {
        QX_LOG_ERROR("func:{}, g_availableCamIndexList is empty");
        return QX_ERR_RESOURCE_EXHAUSTED;
    }
    m_cameraId.store(table.g_availableCamIndexList.front());
    table.g_availableCamIndexList.pop_front();
    return QX_OK;
}

void GigeDevice::releaseCameraId() {
    CameraTable& table = cameraTable();
    qx::sys::MutexLock lk(table.mutex);
    const uint8_t id = m_cameraId.load();
    if (id == 0) return;
    auto it = table.g_cameraIdDeviceMap.find(id);
    if (it != table.g_cameraIdDeviceMap.end() && it->second == this) table.g_cameraIdDeviceMap.erase(it);
    table.g_availableCamIndexList.push_back(id);
    m_cameraId.store(0);
}

GevConnection GigeDevice::makeConnection(uint32_t cameraIpNetOrder) const {
    GevConnection c{};
    const DeviceInfo* info = getDeviceInfo();
    c.IP_CANCam = cameraIpNetOrder;
    if (info) {
        const QX_GIGE_DEVICE_INFO& g = info->u.stGigeInfo;
        c.AdapterIP = htonl(g.nAdapterIP);
        c.AdapterMask = htonl(g.nAdapterMask);
        std::memcpy(c.AdapterName, g.strAdapterName, strnlen(g.strAdapterName, sizeof g.strAdapterName));
    }
    c.HostStreamPort = 0;
    c.HostControlPort = 0;
    c.MessagePort = 0;
    return c;
}

// ---- connection --------------------------------------------------------------------------

QX_STATUS GigeDevice::connectDevice(int32_t accessMode) {
    if (isConnected()) return QX_OK;
    const DeviceInfo* info = getDeviceInfo();
    if (!info) return QX_ERR_INVALID_PARAM;
    m_connectionForgotten = false;
    if (QX_STATUS s = assignCameraId()) {
        QX_LOG_ERROR("func:{} assignCameraId failed.");
        return s;
    }
    const uint8_t cam = m_cameraId.load();
    {
        qx::sys::MutexLock lk(cameraTable().mutex);
        cameraTable().g_cameraIdDeviceMap[cam] = this;
    }
    m_connection = makeConnection(htonl(info->u.stGigeInfo.nIP));
    const uint8_t ccpMode = accessMode == QX_ACCESS_OPEN      ? GEV_CCP_OPEN
                            : accessMode == QX_ACCESS_CONTROL ? GEV_CCP_CONTROL
                                                              : GEV_CCP_EXCLUSIVE;
    GevStatus st;
    {
        qx::sys::MutexLock lk(gevInitMutex());
        st = GEVInit(cam, &m_connection, &GigeDevice::loc_ctrl_channel_cb, 0, ccpMode);
    }
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVInit error:{}.", statusName(cam, st));
        // The camera number goes back: a failed connect holds nothing.
        releaseCameraId();
        return gevStatusToError(st);
    }
    setConnected(true);

    auto fail = [&](GevStatus status) -> QX_STATUS {
        // Leave nothing open behind a failed connect: the library camera is closed and the
        // number given back, so that the next connect starts afresh.
        closeConnection();
        return gevStatusToError(status);
    };

    st = GEVSetEventCallback(cam, &GigeDevice::loc_msg_channel_cb);
    if (st == GEV_STATUS_NOT_SUPPORTED) QX_LOG_WARN("func:{}, Message channel not Supported");
    st = GEVSetReadWriteMemoryCallback(cam, &GigeDevice::memoryWriteCallback);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVSetReadWriteMemoryCallback error: 0x{:04x}.", st);
        return fail(st);
    }
    st = getXmlData();
    if (st != GEV_STATUS_SUCCESS) return fail(st);

    const char* raw = getXmlBuffer();
    const std::string xml = withDevicePort(raw ? std::string(raw, strnlen(raw, getXmlFileSize())) : std::string());
    setXmlData(xml.data(), static_cast<uint32_t>(xml.size()));

    GevChannelParams params{};
    st = GEVGetChannelParameter(cam, &params);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVGetChannelParameter error: 0x{:04x}.", st);
        return fail(st);
    }
    params.GrabStopTimeoutMs = kGrabStopTimeoutMs;
    st = GEVSetChannelParameter(cam, &params);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVSetChannelParameter error: 0x{:04x}.", st);
        return fail(st);
    }
    {
        CameraTable& table = cameraTable();
        qx::sys::MutexLock lk(table.mutex);
        table.g_gvcpSuccessCmdIndexMap[cam] = 0;
        table.g_capturePacketTimePointMap[cam] = 0;
        clearOffline();
    }
    setLogLevel();
    return QX_OK;
}

void GigeDevice::setLogLevel() {
    constexpr uint8_t kProblems = GEV_LOG_WARNING | GEV_LOG_ERROR;
    constexpr uint8_t kInfo = kProblems | GEV_LOG_INFO;
    constexpr uint8_t kDebug = kInfo | GEV_LOG_DEBUG;
    uint8_t flags = kProblems;
    switch (spdlog::default_logger() ? spdlog::default_logger()->level() : spdlog::level::info) {
    case spdlog::level::trace: flags = kDebug | GEV_LOG_VERBOSE; break;
    case spdlog::level::debug: flags = kDebug; break;
    case spdlog::level::info: flags = kInfo; break;
    case spdlog::level::off: flags = GEV_LOG_WARNING; break;
    default: flags = kProblems; break;
    }
    const GevStatus st = GEVSetDetailedLog(m_cameraId.load(), flags);
    QX_LOG_INFO("func:{} GEVSetDetailedLog flags={}, ret:0x{:04x}", flags, st);
}

GevStatus GigeDevice::getXmlData() {
    const std::string path = qx::core::base::getGigeXmlFilePath(qx::core::base::getSdkConfig());
    if (!path.empty()) {
        // The same limit as for a description fetched from the camera.
        if (readXmlData(path, GEV_MAX_XML_SIZE) != QX_OK) return GEV_STATUS_INVALID_PARAMETER;
        QX_LOG_INFO("func:{}, using gigeXmlFilePath = {}", path);
        return GEV_STATUS_SUCCESS;
    }
    const uint8_t cam = m_cameraId.load();
    GevStatus st = GEV_STATUS_ERROR;
    for (int i = 0; i < kXmlAttempts; ++i) {
        uint32_t size = 0;
        st = GEVGetXmlSizeEx(cam, &size);
        if (st != GEV_STATUS_SUCCESS) {
            QX_LOG_ERROR("func:{}, GEVGetXmlSizeEx error: 0x{:04x}, i={}", st, i);
            continue;
        }
        const uint32_t capacity = size + kXmlSlack;
        std::unique_ptr<char[]> buffer(new char[capacity]());
        st = GEVGetXmlFileEx(cam, buffer.get(), capacity - 1);
        if (st == GEV_STATUS_SUCCESS) {
            QX_LOG_INFO("func:{}, GEVGetXmlFile GEV_STATUS_SUCCESS, i={}", i);
            setXmlData(buffer.get(), static_cast<uint32_t>(strnlen(buffer.get(), capacity)));
            break;
        }
        QX_LOG_ERROR("func:{}, GEVGetXmlFile error: 0x{:04x}, i={}", st, i);
    }
    return st;
}

QX_STATUS GigeDevice::closeConnection() {
    const uint8_t cam = m_cameraId.load();
    if (cam == 0) return QX_OK;
    // No callback of the library finds this camera from here on.
    {
        CameraTable& table = cameraTable();
        qx::sys::MutexLock lk(table.mutex);
        auto it = table.g_cameraIdDeviceMap.find(cam);
        if (it != table.g_cameraIdDeviceMap.end() && it->second == this) table.g_cameraIdDeviceMap.erase(it);
    }
    stopLivenessTask();
    GEVClose(cam);
    m_streamChannelOpen = false;
    releaseCameraId();
    setConnected(false);
    m_maxPacketSize = 0;
    m_payloadSize = 0;
    m_pFeature = nullptr;
    return QX_OK;
}

QX_STATUS GigeDevice::disconnectDevice() {
    if (!isConnected()) {
        // A connection made for an IP change that failed half-way is still released.
        if (m_cameraId.load() != 0) closeConnection();
        return QX_OK;
    }
    stopGrabbing();
    // Make sure the acquisition thread is gone even when the camera refused to stop.
    endAcquisition();
    setPacketResend(false, m_resendPercent, m_resendTimeout);
    if (m_filterDriverEnabled.load()) {
        const GevStatus st = GEVCloseFilterDriver(m_cameraId.load());
        if (st != GEV_STATUS_SUCCESS) QX_LOG_ERROR("func:setFilterDriver, bEnable:{}, error:0x{:04x}!", false, st);
        else m_filterDriverEnabled.store(false);
    }
    return closeConnection();
}

// ---- register access ---------------------------------------------------------------------

QX_STATUS GigeDevice::readMemory(void* pBuffer, int64_t nAddress, int64_t nLength, int32_t) {
    if (isOffline()) {
        QX_LOG_DEBUG("func:{}, m_isDevOffline={}", true);
        return QX_ERR_GENERAL;
    }
    if (!pBuffer || nLength <= 0 || nAddress < 0 || nAddress > UINT32_MAX || nLength > UINT32_MAX)
        return QX_ERR_INVALID_PARAM;
    if (!isConnected()) return QX_ERR_NOT_AVAILABLE;
    const uint8_t cam = m_cameraId.load();
    GevStatus st;
    if (nLength < 5) {
        uint32_t value = 0;
        st = ReadRegister(cam, static_cast<uint32_t>(nAddress), 1, &value);
        if (st == GEV_STATUS_SUCCESS) {
            uint8_t wire[4];
            qx::sys::storeBe32(wire, value);
            // Only as many bytes as the caller asked for.
            std::memcpy(pBuffer, wire, static_cast<size_t>(nLength));
        }
    } else {
        st = ReadMemory(cam, static_cast<uint32_t>(nAddress), static_cast<uint32_t>(nLength), pBuffer);
    }
    return gevStatusToError(st);
}

QX_STATUS GigeDevice::writeMemory(void* pBuffer, int64_t nAddress, int64_t nLength, int32_t) {
    if (isOffline()) {
        QX_LOG_DEBUG("func:{}, m_isDevOffline={}", true);
        return QX_ERR_GENERAL;
    }
    if (!pBuffer || nLength <= 0 || nAddress < 0 || nAddress > UINT32_MAX || nLength > UINT32_MAX)
        return QX_ERR_INVALID_PARAM;
    if (!isConnected()) return QX_ERR_NOT_AVAILABLE;
    const uint8_t cam = m_cameraId.load();
    const uint32_t address = static_cast<uint32_t>(nAddress);
    GevStatus st;
    if (nLength < 5) {
        // The caller's bytes are left as they are; a shorter write keeps the register's other
        // bytes.
        uint8_t wire[4] = {};
        if (nLength < 4) {
            uint32_t current = 0;
            st = ReadRegister(cam, address, 1, &current);
            if (st != GEV_STATUS_SUCCESS) return gevStatusToError(st);
            qx::sys::storeBe32(wire, current);
        }
        std::memcpy(wire, pBuffer, static_cast<size_t>(nLength));
        const uint32_t value = qx::sys::loadBe32(wire);
        st = WriteRegister(cam, address, 1, &value);
    } else {
        st = WriteMemory(cam, address, static_cast<uint32_t>(nLength), pBuffer);
    }
    return gevStatusToError(st);
}

} // namespace qx::gige::device
