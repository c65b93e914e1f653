#include "gige/device/GigeDevice.h"

#include "core/SdkConfig.h"
#include "feature/FeatureBase.h"
#include "Sys/ByteOrder.h"
#include "Sys/FrameRate.h"
#include "Sys/Log.h"
#include "Sys/PixelFormat.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

namespace {

// Camera numbers and the maps the library's callbacks use, all under g_camMutex.
qx::sys::Mutex g_camMutex;
std::deque<uint8_t> g_availableCamIndexList QX_GUARDED_BY(g_camMutex);
bool g_camIndexListFilled QX_GUARDED_BY(g_camMutex) = false;
std::map<uint8_t, GigeDevice*> g_cameraIdDeviceMap QX_GUARDED_BY(g_camMutex);
// Also read by the members called with g_camMutex held (startLivenessTaskLocked,
// processCCPLostEvent), whose declarations cannot name it; so these two are not marked.
std::map<uint8_t, int32_t> g_gvcpSuccessCmdIndexMap;
std::map<uint8_t, int64_t> g_capturePacketTimePointMap;

// Serialises the GEVInit of every camera of the process.
qx::sys::Mutex g_gevInitMutex;
// Serialises GigE discovery runs.
qx::sys::Mutex g_gigeEnumMutex;

constexpr uint32_t kGrabStopTimeoutMs = 100;
constexpr uint32_t kFallbackPacketSize = 1500;
constexpr int kLivenessRounds = 50;
constexpr int kLivenessWaitMs = 20;
constexpr int kXmlAttempts = 3;
constexpr uint32_t kXmlSlack = 5120;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string statusName(uint8_t cam, GevStatus status) {
    char text[GEV_STATUS_NAME_SIZE] = {};
    gevStatusName(cam, status, text);
    return text;
}

// Every occurrence of `from` replaced by `to`, scanning left to right and resuming after each
// inserted text.
void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

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

const char* eventText(uint16_t id, char* buf, size_t size) {
    switch (id) {
    case 0:
    case 1: return "unknown event";
    case 2: return "trigger event";
    case 3: return "start of exposure";
    case 4: return "end of exposure";
    case 5: return "stream channel start of transfer";
    case 6: return "stream channel end of transfer";
    case 7: return "primary application switchover has been granted.";
    case 8: return "indicates that the link speed has changed.";
    case 9: return "execution of a Scheduled Action Command was late";
    default: break;
    }
    if (id <= 0x8000) return "reserved event";
    if (id <= 0x8FFF) return "error event";
    std::snprintf(buf, size, "device-specific event: 0x%04X", id);
    return buf;
}

} // namespace

// ---- construction ------------------------------------------------------------------------

GigeDevice::GigeDevice() {
    qx::sys::MutexLock lk(g_camMutex);
    if (g_availableCamIndexList.empty() && !g_camIndexListFilled) {
        for (uint8_t i = 1; i <= GEV_MAX_CAMERAS; ++i) g_availableCamIndexList.push_back(i);
        g_camIndexListFilled = true;
    }
}

GigeDevice::~GigeDevice() {
    disconnectDevice();
    stopLivenessTask();
    shutdownThreads();
}

QX_STATUS GigeDevice::assignCameraId() {
    qx::sys::MutexLock lk(g_camMutex);
    if (g_availableCamIndexList.empty()) {
        QX_LOG_ERROR("func:{}, g_availableCamIndexList is empty", "assignCameraId");
        return QX_ERR_RESOURCE_EXHAUSTED;
    }
    m_cameraId.store(g_availableCamIndexList.front());
    g_availableCamIndexList.pop_front();
    return QX_OK;
}

void GigeDevice::releaseCameraId() {
    qx::sys::MutexLock lk(g_camMutex);
    const uint8_t id = m_cameraId.load();
    if (id == 0) return;
    auto it = g_cameraIdDeviceMap.find(id);
    if (it != g_cameraIdDeviceMap.end() && it->second == this) g_cameraIdDeviceMap.erase(it);
    g_availableCamIndexList.push_back(id);
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
    if (QX_STATUS s = assignCameraId()) {
        QX_LOG_ERROR("func:{} assignCameraId failed.", "connectDevice");
        return s;
    }
    const uint8_t cam = m_cameraId.load();
    {
        qx::sys::MutexLock lk(g_camMutex);
        g_cameraIdDeviceMap[cam] = this;
    }
    m_connection = makeConnection(htonl(info->u.stGigeInfo.nIP));
    const uint8_t ccpMode = accessMode == QX_ACCESS_OPEN      ? GEV_CCP_OPEN
                            : accessMode == QX_ACCESS_CONTROL ? GEV_CCP_CONTROL
                                                              : GEV_CCP_EXCLUSIVE;
    GevStatus st;
    {
        qx::sys::MutexLock lk(g_gevInitMutex);
        st = GEVInit(cam, &m_connection, &GigeDevice::loc_ctrl_channel_cb, 0, ccpMode);
    }
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVInit error:{}.", "connectDevice", statusName(cam, st));
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
    if (st == GEV_STATUS_NOT_SUPPORTED) QX_LOG_WARN("func:{}, Message channel not Supported", "connectDevice");
    st = GEVSetReadWriteMemoryCallback(cam, &GigeDevice::memoryWriteCallback);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVSetReadWriteMemoryCallback error: 0x{:04x}.", "connectDevice", st);
        return fail(st);
    }
    st = getXmlData();
    if (st != GEV_STATUS_SUCCESS) return fail(st);

    {
        const char* raw = getXmlBuffer();
        std::string xml = raw ? std::string(raw, strnlen(raw, getXmlFileSize())) : std::string();
        replaceAll(xml, "<pPort>ConnectorDevice</pPort>", "<pPort>Device</pPort>");
        replaceAll(xml, "<Port Name=\"ConnectorDevice\" NameSpace=\"Standard\">",
                   "<Port Name=\"Device\" NameSpace=\"Standard\">");
        setXmlData(xml.data(), static_cast<uint32_t>(xml.size()));
    }

    GevChannelParams params{};
    st = GEVGetChannelParameter(cam, &params);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVGetChannelParameter error: 0x{:04x}.", "connectDevice", st);
        return fail(st);
    }
    params.GrabStopTimeoutMs = kGrabStopTimeoutMs;
    st = GEVSetChannelParameter(cam, &params);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVSetChannelParameter error: 0x{:04x}.", "connectDevice", st);
        return fail(st);
    }
    {
        qx::sys::MutexLock lk(g_camMutex);
        g_gvcpSuccessCmdIndexMap[cam] = 0;
        g_capturePacketTimePointMap[cam] = 0;
        clearOffline();
    }
    setLogLevel();
    return QX_OK;
}

void GigeDevice::setLogLevel() {
    uint8_t flags = 0x06;
    switch (spdlog::default_logger() ? spdlog::default_logger()->level() : spdlog::level::info) {
    case spdlog::level::trace: flags = 0x37; break;
    case spdlog::level::debug: flags = 0x17; break;
    case spdlog::level::info: flags = 0x07; break;
    case spdlog::level::off: flags = 0x02; break;
    default: flags = 0x06; break;
    }
    const GevStatus st = GEVSetDetailedLog(m_cameraId.load(), flags);
    QX_LOG_INFO("func:{} GEVSetDetailedLog flags={}, ret:0x{:04x}", "setLogLevel", flags, st);
}

GevStatus GigeDevice::getXmlData() {
    const std::string path = qx::getGigeXmlFilePath(qx::getSdkConfig());
    if (!path.empty()) {
        if (readXmlData(path) != QX_OK) return GEV_STATUS_INVALID_PARAMETER;
        QX_LOG_INFO("func:{}, using gigeXmlFilePath = {}", "getXmlData", path);
        return GEV_STATUS_SUCCESS;
    }
    const uint8_t cam = m_cameraId.load();
    GevStatus st = GEV_STATUS_ERROR;
    for (int i = 0; i < kXmlAttempts; ++i) {
        uint32_t size = 0;
        st = GEVGetXmlSizeEx(cam, &size);
        if (st != GEV_STATUS_SUCCESS) {
            QX_LOG_ERROR("func:{}, GEVGetXmlSizeEx error: 0x{:04x}, i={}", "getXmlData", st, i);
            continue;
        }
        const uint32_t capacity = size + kXmlSlack;
        std::unique_ptr<char[]> buffer(new char[capacity]());
        st = GEVGetXmlFileEx(cam, buffer.get(), capacity - 1);
        if (st == GEV_STATUS_SUCCESS) {
            QX_LOG_INFO("func:{}, GEVGetXmlFile GEV_STATUS_SUCCESS, i={}", "getXmlData", i);
            setXmlData(buffer.get(), static_cast<uint32_t>(strnlen(buffer.get(), capacity)));
            break;
        }
        QX_LOG_ERROR("func:{}, GEVGetXmlFile error: 0x{:04x}, i={}", "getXmlData", st, i);
    }
    return st;
}

QX_STATUS GigeDevice::closeConnection() {
    const uint8_t cam = m_cameraId.load();
    if (cam == 0) return QX_OK;
    // No callback of the library finds this camera from here on.
    {
        qx::sys::MutexLock lk(g_camMutex);
        auto it = g_cameraIdDeviceMap.find(cam);
        if (it != g_cameraIdDeviceMap.end() && it->second == this) g_cameraIdDeviceMap.erase(it);
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
        if (st != GEV_STATUS_SUCCESS)
            QX_LOG_ERROR("func:{}, bEnable:{}, error:0x{:04x}!", "setFilterDriver", false, st);
        else
            m_filterDriverEnabled.store(false);
    }
    return closeConnection();
}

// ---- acquisition -------------------------------------------------------------------------

QX_STATUS GigeDevice::startGrabbing(FeatureBase* feature) {
    if (isGrabbing()) {
        QX_LOG_INFO("func:{}, m_isAcquisitionStopped={}", "startGrabbing", false);
        return QX_OK;
    }
    if (!isConnected()) return QX_ERR_NOT_AVAILABLE;
    if (!feature) return QX_ERR_INVALID_PARAM;
    m_pFeature = feature;
    if (QX_STATUS s = setStreamChannelStatus(true)) return s;
    clearFrameBuffer();
    if (QX_STATUS s = findMaxPacketSize(feature)) return s;

    IntValueInfo payload{};
    QX_STATUS s = feature->getIntValue("PayloadSize", &payload);
    if (s == QX_OK && (payload.nValue <= 0 || payload.nValue > INT32_MAX)) s = QX_ERR_GENERAL;
    if (s != QX_OK) {
        QX_LOG_ERROR("func:{}, read PayloadSize failed", "startGrabbing");
        return s;
    }
    m_payloadSize = static_cast<uint32_t>(payload.nValue);
    if (!setImgBufferSize(static_cast<int32_t>(m_payloadSize))) return QX_ERR_RESOURCE_EXHAUSTED;

    if ((s = startGrabbingSub(feature, m_payloadSize)) != QX_OK) return s;

    beginAcquisition();
    startAcquisitionThread([this] { acquireImgLoop(); });
    if (hasImageCallback()) startOutputImgLoop();
    return QX_OK;
}

QX_STATUS GigeDevice::setStreamChannelStatus(bool open) {
    QX_LOG_DEBUG("func:{}, isOpen={} ", "setStreamChannelStatus", open);
    const uint8_t cam = m_cameraId.load();
    if (open && m_streamChannelOpen) {
        uint16_t port = 0;
        GEVGetStreamPort(cam, &port);
        int32_t mode = 0;
        QX_STATUS s = m_pFeature->getNodeAccessMode("GevSCPHostPort", &mode);
        if (s != QX_OK) {
            QX_LOG_ERROR("func:{}, read GevSCPHostPort failed", "setStreamChannelStatus");
            return s;
        }
        if (mode == QX_NODE_ACCESS_RO) m_pFeature->setIntValue("TLParamsLocked", 1);
        s = m_pFeature->setIntValue("GevSCPHostPort", port);
        if (s != QX_OK) {
            QX_LOG_ERROR("func:{}, set GevSCPHostPort failed", "setStreamChannelStatus");
            return s;
        }
        return QX_OK;
    }
    if (open) {
        const GevStatus st = GEVOpenStreamChannel(cam, m_connection.AdapterIP, m_connection.HostStreamPort, 0);
        if (st != GEV_STATUS_SUCCESS) {
            QX_LOG_ERROR("func:{}, GEVOpenStreamChannel error: {}", "setStreamChannelStatus", statusName(cam, st));
            stopGrabbing();
            return gevStatusToError(st);
        }
        m_streamChannelOpen = true;
        return QX_OK;
    }
    const GevStatus st = GEVCloseStreamChannel(cam);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVCloseStreamChannel error:{} ", "setStreamChannelStatus", statusName(cam, st));
        return gevStatusToError(st);
    }
    m_streamChannelOpen = false;
    return QX_OK;
}

QX_STATUS GigeDevice::findMaxPacketSize(FeatureBase* feature) {
    if (m_maxPacketSize != 0) return QX_OK;
    if (!feature) return QX_ERR_INVALID_PARAM;
    if (!m_pFeature) m_pFeature = feature;
    const uint8_t cam = m_cameraId.load();
    bool found = false;
    IntValueInfo size{};
    if (feature->getIntValue("GevSCPSPacketSize", &size) != QX_OK) {
        QX_LOG_INFO("func:{}, getIntValue GevSCPSPacketSize failed", "findMaxPacketSize");
        found = true;  // nothing to test: the camera keeps its own packet size
    } else {
        // A range that cannot bound a search falls back to the widest sensible one.
        uint32_t lower = static_cast<uint16_t>(size.nMin);
        uint32_t upper = static_cast<uint16_t>(size.nMax);
        if (size.nMin < 0 || size.nMax <= size.nMin || size.nMax > 0xFFFF) {
            lower = 0;
            upper = 20000;
        }
        const uint32_t step = size.nInc == 1 ? 4 : static_cast<uint32_t>(std::max<int64_t>(size.nInc, 1));
        uint16_t packet = 0;
        const GevStatus st = GEVTestFindMaxPacketSize(cam, &packet, lower, upper, step);
        // The size written is one the node takes: the largest on its grid not above what arrived.
        const int64_t inc = std::max<int64_t>(size.nInc, 1);
        const int64_t lo = std::max<int64_t>(size.nMin, 0), hi = std::min<int64_t>(size.nMax, 0xFFFF);
        int64_t fitted = std::min<int64_t>(packet, hi);
        if (fitted >= lo) fitted -= (fitted - lo) % inc;
        if (st == GEV_STATUS_SUCCESS && packet != 0 && fitted >= lo && fitted > 0) {
            QX_LOG_INFO("func:{}, m_cameraId={}, Find maximal packet size: {}", "findMaxPacketSize", cam, packet);
            m_maxPacketSize = static_cast<uint32_t>(fitted);
            feature->setIntValue("GevSCPSPacketSize", fitted);
            found = true;
        } else {
            QX_LOG_WARN("func:{}, m_cameraId={}, GEVTestFindMaxPacketSize error:{}", "findMaxPacketSize", cam,
                        statusName(cam, st == GEV_STATUS_SUCCESS ? static_cast<GevStatus>(GEV_STATUS_TIMEOUT) : st));
        }
    }
    if (QX_STATUS s = setStreamChannelStatus(false)) return s;
    if (!found) {
        int32_t mode = 0;
        if (QX_STATUS s = feature->getNodeAccessMode("GevSCPHostPort", &mode)) {
            QX_LOG_ERROR("func:{}, getNodeAccessMode GevSCPHostPort failed", "findMaxPacketSize");
            return s;
        }
        if (mode == QX_NODE_ACCESS_RO) feature->setIntValue("TLParamsLocked", 0);
        if (feature->setIntValue("GevSCPSPacketSize", kFallbackPacketSize) == QX_OK)
            m_maxPacketSize = kFallbackPacketSize;
    }
    return setStreamChannelStatus(true);
}

QX_STATUS GigeDevice::startGrabbingSub(FeatureBase* feature, uint32_t payloadSize) {
    const uint8_t cam = m_cameraId.load();
    IntValueInfo width{}, height{};
    EnumValueInfo format{};
    EnumStrValueInfo trigger{};
    if (QX_STATUS s = feature->getIntValue("Width", &width)) {
        QX_LOG_ERROR("func:{}, getIntValue Width failed", "startGrabbingSub");
        return s;
    }
    if (QX_STATUS s = feature->getIntValue("Height", &height)) {
        QX_LOG_ERROR("func:{}, getIntValue Height failed", "startGrabbingSub");
        return s;
    }
    if (QX_STATUS s = feature->getEnumValue("PixelFormat", &format)) {
        QX_LOG_ERROR("func:{}, getEnumValue PixelFormat failed", "startGrabbingSub");
        return s;
    }
    if (QX_STATUS s = feature->getEnumValueStr("TriggerMode", &trigger)) {
        QX_LOG_ERROR("func:{}, getEnumValueStr TriggerMode failed", "startGrabbingSub");
        return s;
    }
    m_width = static_cast<uint32_t>(width.nValue);
    m_height = static_cast<uint32_t>(height.nValue);
    m_pixelFormat = static_cast<uint32_t>(format.nValue);
    m_isTriggerModeOn.store(std::strcmp(trigger.strValue, "On") == 0);

    if (QX_STATUS s = setPacketResendSub()) return s;

    const GevStatus st = GEVAcquisitionStart(cam, 0, payloadSize, m_width, m_height, m_pixelFormat);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVAcquisitionStart error:{}", "startGrabbingSub", statusName(cam, st));
        return gevStatusToError(st);
    }
    int32_t mode = 0;
    if (QX_STATUS s = feature->getNodeAccessMode("AcquisitionStart", &mode)) {
        QX_LOG_ERROR("func:{}, getNodeAccessMode AcquisitionStart failed", "startGrabbingSub");
        GEVAcquisitionStop(cam);
        return s;
    }
    if (mode == QX_NODE_ACCESS_NA) feature->setIntValue("TLParamsLocked", 1);
    if (QX_STATUS s = feature->executeCommand("AcquisitionStart")) {
        QX_LOG_ERROR("func:{}, executeCommand AcquisitionStart failed", "startGrabbingSub");
        GEVAcquisitionStop(cam);
        return s;
    }
    return QX_OK;
}

QX_STATUS GigeDevice::stopGrabbing() {
    if (!isGrabbing()) {
        QX_LOG_INFO("func:{}, m_isAcquisitionStopped={}", "stopGrabbing", true);
        return QX_OK;
    }
    // Sets the stop flag, wakes every waiter and joins the acquisition and callback threads;
    // the acquisition thread waits at most the grab stop timeout per image.
    endAcquisition();
    const uint8_t cam = m_cameraId.load();
    const GevStatus st = GEVAcquisitionStop(cam);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVAcquisitionStop error:{}", "stopGrabbing", statusName(cam, st));
        return gevStatusToError(st);
    }
    if (!m_pFeature) {
        QX_LOG_ERROR("func:{}, nullptr == m_pFeature", "stopGrabbing");
        return QX_ERR_NOT_AVAILABLE;
    }
    if (QX_STATUS s = m_pFeature->executeCommand("AcquisitionStop")) {
        QX_LOG_ERROR("func:{}, executeCommand AcquisitionStop failed", "stopGrabbing");
        return s;
    }
    int32_t mode = 0;
    if (QX_STATUS s = m_pFeature->getNodeAccessMode("GevSCPHostPort", &mode)) {
        QX_LOG_ERROR("func:{}, getNodeAccessMode GevSCPHostPort failed", "stopGrabbing");
        return s;
    }
    if (mode == QX_NODE_ACCESS_RO) m_pFeature->setIntValue("TLParamsLocked", 0);
    if (QX_STATUS s = m_pFeature->setIntValue("GevSCPHostPort", 0)) {
        QX_LOG_ERROR("func:{}, setIntValue GevSCPHostPort failed", "stopGrabbing");
        return s;
    }
    return QX_OK;
}

void GigeDevice::printGevConnection() {
    const int64_t now = nowNs();
    if (now - m_lastStatusLogNs < 1001LL * 1000 * 1000) return;
    m_lastStatusLogNs = now;
    uint8_t state = 0, initState = 0;
    GEVGetConnectionStatus(m_cameraId.load(), &state, &initState);
    switch (state) {
    case GEV_CONNECTION_OK: QX_LOG_DEBUG("func:{}, GEV_CONNECTION_STATUS: OK", "printGevConnection"); break;
    case GEV_CONNECTION_CCP_LOST: QX_LOG_DEBUG("func:{}, GEV_CONNECTION_STATUS: TIMEOUT", "printGevConnection"); break;
    case GEV_CONNECTION_FAILURE:
        QX_LOG_DEBUG("func:{}, GEV_CONNECTION_STATUS: ACCESS_DENIED", "printGevConnection");
        break;
    default: QX_LOG_DEBUG("func:{}, GEV_CONNECTION_STATUS: UNKNOWN", "printGevConnection"); break;
    }
}

void GigeDevice::acquireImgLoop() {
    QX_LOG_DEBUG("func:{}, start", "acquireImgLoop");
    const uint8_t cam = m_cameraId.load();
    m_deliveredFrames.store(0);
    m_lastStatusLogNs = 0;
    qx::sys::FrameRateWindow rate(1.0f);
    while (isGrabbing() && !isOffline()) {
        ImageBuffer* buffer = getImgBuffer();
        if (!buffer) {
            QX_LOG_ERROR("func:{}, getImgBuffer failed!", "acquireImgLoop");
            break;
        }
        GevImageHeader header{};
        // The library writes the image straight into the pool buffer, never past its size.
        const GevStatus st = GEVGetImage(cam, &header, buffer->data.get(), buffer->size);
        if (st != GEV_STATUS_SUCCESS && st != GEV_STATUS_GRAB_ERROR) {
            if (st != GEV_STATUS_TIMEOUT) printGevConnection();
            continue;
        }
        if (header.SizeX == m_width && header.SizeY == m_height && header.PixelFormat == m_pixelFormat) {
            FrameInfo info{};
            info.nPixelFormat = header.PixelFormat;
            info.nWidth = header.SizeX;
            info.nHeight = header.SizeY;
            info.nFrameIndex = header.BlockId;
            info.nTransportWord1 = header.OffsetX;
            info.nTransportWord2 = header.OffsetY;
            info.nLostPacket = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(header.MissingPackets)));
            info.nTransportWord3 = header.ResendRequested;
            info.nTransportWord4 = header.ResendReceived;
            info.nDataLen = std::min(m_payloadSize, buffer->size);
            info.pData = buffer->data.get();
            info.fFps = rate.rate();
            info.nBitsPerPixel = qx::sys::pixelBits(header.PixelFormat);
            m_deliveredFrames.fetch_add(1);
            queueFrame(buffer, info);
            rate.countFrame();
        }
        rate.update();
    }
    QX_LOG_DEBUG("func:{}, end", "acquireImgLoop");
}

// ---- register access ---------------------------------------------------------------------

QX_STATUS GigeDevice::readMemory(void* pBuffer, int64_t nAddress, int64_t nLength, int32_t) {
    if (isOffline()) {
        QX_LOG_DEBUG("func:{}, m_isDevOffline={}", "readMemory", true);
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
        QX_LOG_DEBUG("func:{}, m_isDevOffline={}", "writeMemory", true);
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

// ---- enumeration -------------------------------------------------------------------------

void GigeDevice::enumDevice(uint16_t timeoutMs, std::vector<DeviceInfo>& list) {
    qx::sys::MutexLock lock(g_gigeEnumMutex);
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

// ---- network settings --------------------------------------------------------------------

bool GigeDevice::isNetConfigValid(uint32_t ip, uint32_t mask, uint32_t gateway) {
    if (ip == 0xFFFFFFFFu || ip <= 0x00FFFFFFu || lowOctetZero(ip)) {
        QX_LOG_ERROR("func:{}, nIp:0x{:x}", "isNetConfigValid", ip);
        return false;
    }
    const bool gatewayOk = gateway == 0 || (gateway > 0x00FFFFFFu && !lowOctetZero(gateway) && gateway != 0xFFFFFFFFu);
    if (!gatewayOk) {
        QX_LOG_ERROR("func:{}, nGateWay:0x{:x}", "isNetConfigValid", gateway);
        return false;
    }
    if ((mask & 0x80000000u) == 0 || mask == 0xFFFFFFFFu) {
        QX_LOG_ERROR("func:{}, nSubNetMask:0x{:x}", "isNetConfigValid", mask);
        return false;
    }
    return true;
}

QX_STATUS GigeDevice::gigeForceIp(uint32_t ip, uint32_t mask, uint32_t gateway) {
    if (!isNetConfigValid(ip, mask, gateway)) {
        QX_LOG_ERROR("func:{}, isNetConfigValid()=false", "gigeForceIp");
        return QX_ERR_INVALID_PARAM;
    }
    const DeviceInfo* info = getDeviceInfo();
    if (!info) return QX_ERR_INVALID_PARAM;
    const GevStatus st = GEVForceIp(htonl(ip), htonl(mask), htonl(gateway), info->u.stGigeInfo.arrMacAddr,
                                    htonl(info->u.stGigeInfo.nAdapterIP));
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVForceIp error:0x{:04x}!", "gigeForceIp", st);
        return gevStatusToError(st);
    }
    return QX_OK;
}

QX_STATUS GigeDevice::connectDeviceForIpConfig(uint32_t ipNet, uint32_t maskNet, uint32_t gatewayNet) {
    const DeviceInfo* info = getDeviceInfo();
    if (!info) return QX_ERR_INVALID_PARAM;
    GevStatus st = GEVForceIp(ipNet, maskNet, gatewayNet, info->u.stGigeInfo.arrMacAddr,
                              htonl(info->u.stGigeInfo.nAdapterIP));
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVForceIp error:0x{:04x}!", "connectDeviceForIpConfig", st);
        return gevStatusToError(st);
    }
    m_connection = makeConnection(ipNet);
    if (QX_STATUS s = assignCameraId()) return s;
    const uint8_t cam = m_cameraId.load();
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        {
            qx::sys::MutexLock lk(g_gevInitMutex);
            st = GEVInit(cam, &m_connection, &GigeDevice::loc_ctrl_channel_cb, 0, GEV_CCP_EXCLUSIVE);
        }
        if (st == GEV_STATUS_SUCCESS) {
            setConnected(true);
            return QX_OK;
        }
    }
    QX_LOG_ERROR("func:{}, GEVInit error:0x{:04x}", "connectDeviceForIpConfig", st);
    releaseCameraId();
    return gevStatusToError(st);
}

QX_STATUS GigeDevice::setIpConfig(int32_t kind, uint32_t ip, uint32_t mask, uint32_t gateway) {
    if (isGrabbing()) {
        QX_LOG_ERROR("func:{}, m_isAcquisitionStopped={}", "setIpConfig", false);
        return QX_ERR_NOT_AVAILABLE;
    }
    if (!isNetConfigValid(ip, mask, gateway)) {
        QX_LOG_ERROR("func:{}, isNetConfigValid()=false", "setIpConfig");
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
        const GevStatus st = dhcp ? GEVSetNetConfig(cam, 1, 0, 0, 0)
                                  : GEVSetNetConfig(cam, 0, htonl(ip), htonl(mask), htonl(gateway));
        if (st != GEV_STATUS_SUCCESS) {
            QX_LOG_ERROR("func:{}, GEVSetNetConfig error:0x{:04x}", "setIpConfig", st);
            result = QX_ERR_GENERAL;
        }
    } else {
        uint8_t value[4] = {0, 0, 0, 4};  // link-local only, in wire order
        result = writeMemory(value, 0x0014, 4, 0);
    }
    if (connectedHere) disconnectDevice();
    return result;
}

// ---- packet resend, filter driver, heartbeat -------------------------------------------

QX_STATUS GigeDevice::setPacketResend(bool enable, uint8_t percent, uint16_t timeoutMs) {
    if (percent < 1 || percent > 100 || ((timeoutMs < 1 || timeoutMs > 1000) && timeoutMs != 0xFFFF))
        return QX_ERR_INVALID_PARAM;
    if (!isConnected()) return QX_ERR_NOT_AVAILABLE;
    const uint8_t cam = m_cameraId.load();
    uint8_t current = 0;
    GevStatus st = GEVGetPacketResend(cam, &current);
    if (st == GEV_STATUS_NOT_SUPPORTED) {
        QX_LOG_ERROR("func:{}, GEV Packet Resend Not Suppported", "setPacketResend");
        return QX_ERR_NOT_SUPPORTED;
    }
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVGetPacketResend error:0x{:04x}!", "setPacketResend", st);
        return gevStatusToError(st);
    }
    if ((current != 0) != enable) {
        st = GEVSetPacketResend(cam, enable ? 1 : 0);
        if (st != GEV_STATUS_SUCCESS) {
            QX_LOG_ERROR("func:{}, GEVSetPacketResend error:0x{:04x}!", "setPacketResend", st);
            return gevStatusToError(st);
        }
    }
    m_resendPercent = percent;
    m_resendTimeout = timeoutMs;
    if (isGrabbing()) return QX_ERR_WRONG_STATE;
    return setPacketResendSub();
}

QX_STATUS GigeDevice::setPacketResendSub() {
    const uint8_t cam = m_cameraId.load();
    uint8_t enabled = 0;
    GevStatus st = GEVGetPacketResend(cam, &enabled);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVGetPacketResend error: 0x{:04x}.", "setPacketResendSub", st);
        if (st != GEV_STATUS_NOT_SUPPORTED) return gevStatusToError(st);
        enabled = 0;
    }
    GevChannelParams params{};
    st = GEVGetChannelParameter(cam, &params);
    if (st == GEV_STATUS_SUCCESS) {
        uint32_t timeout = m_resendTimeout;
        if (timeout == 0xFFFF && !(m_isTriggerModeOn.load() && enabled)) timeout = 200;
        params.ScTimeoutMs = timeout;
        uint32_t packets = 0;
        if (m_maxPacketSize > 36) {
            const uint32_t payloadPerPacket = m_maxPacketSize - 36;
            const uint64_t count = (static_cast<uint64_t>(m_payloadSize) + payloadPerPacket - 1) / payloadPerPacket;
            packets = static_cast<uint32_t>(count * m_resendPercent / 100);
        }
        params.ScPacketResend = packets;
        st = GEVSetChannelParameter(cam, &params);
        if (st == GEV_STATUS_SUCCESS) {
            QX_LOG_INFO("func:{}, sc_timeout:{}ms, sc_packet_resend:{}, m_isTriggerModeOn:{}, isResendEnabled:{}, "
                        "m_filterDriverEnabled={}",
                        "setPacketResendSub", timeout, packets, m_isTriggerModeOn.load(), enabled != 0,
                        m_filterDriverEnabled.load());
            return QX_OK;
        }
    }
    QX_LOG_ERROR("func:{}, GEVGetChannelParameter error: 0x{:04x}.", "setPacketResendSub", st);
    return gevStatusToError(st);
}

QX_STATUS GigeDevice::getPacketResend(bool* enable, uint8_t* percent, uint16_t* timeoutMs) {
    if (!enable || !percent || !timeoutMs) return QX_ERR_INVALID_PARAM;
    if (!isConnected()) {
        QX_LOG_ERROR("func:{}, m_isConnected={}!", "getPacketResend", false);
        return QX_ERR_NOT_AVAILABLE;
    }
    const uint8_t cam = m_cameraId.load();
    uint8_t enabled = 0;
    GevStatus st = GEVGetPacketResend(cam, &enabled);
    if (st == GEV_STATUS_NOT_SUPPORTED) {
        QX_LOG_INFO("func:{}, GEV Packet Resend Not Suppported", "getPacketResend");
        enabled = 0;
    } else if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVGetPacketResend error:0x{:04x}", "getPacketResend", st);
        return gevStatusToError(st);
    }
    GevChannelParams params{};
    st = GEVGetChannelParameter(cam, &params);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVGetChannelParameter error:0x{:04x}", "getPacketResend", st);
        return gevStatusToError(st);
    }
    *enable = enabled != 0;
    *percent = m_resendPercent;
    *timeoutMs = static_cast<uint16_t>(params.ScTimeoutMs & 0xFFFF);
    return QX_OK;
}

QX_STATUS GigeDevice::setFilterDriver(bool enable) {
    if (!isConnected()) {
        QX_LOG_ERROR("func:{}, m_isConnected={}", "setFilterDriver", false);
        return QX_ERR_NOT_AVAILABLE;
    }
    if (m_filterDriverEnabled.load() == enable) return QX_OK;
    const uint8_t cam = m_cameraId.load();
    const GevStatus st = enable ? GEVInitFilterDriver(cam) : GEVCloseFilterDriver(cam);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, bEnable:{}, error:0x{:04x}!", "setFilterDriver", enable, st);
        return gevStatusToError(st);
    }
    m_filterDriverEnabled.store(enable);
    return QX_OK;
}

QX_STATUS GigeDevice::getFilterDriver(bool* enable) const {
    if (enable) *enable = m_filterDriverEnabled.load();
    return QX_OK;
}

QX_STATUS GigeDevice::setHeartbeatTimeout(int64_t timeoutMs) {
    QX_LOG_DEBUG("func:{}, timeout={} ", "setHeartbeatTimeout", timeoutMs);
    const uint32_t ms = timeoutMs < 0                      ? 0u
                        : timeoutMs > INT64_C(0xFFFFFFFF) ? 0xFFFFFFFFu
                                                          : static_cast<uint32_t>(timeoutMs);
    return GEVSetHeartbeatTimeout(m_cameraId.load(), ms);
}

// ---- offline detection -------------------------------------------------------------------

void GigeDevice::loc_ctrl_channel_cb(uint8_t camNr, const char* text, uint8_t level) {
    if (!text) return;
    qx::sys::MutexLock lk(g_camMutex);
    if (level == GEV_LOG_WARNING && std::strstr(text, "Captured img packet")) {
        g_capturePacketTimePointMap[camNr] = nowNs();
        return;
    }
    auto it = g_cameraIdDeviceMap.find(camNr);
    if (it == g_cameraIdDeviceMap.end() || !it->second) {
        QX_LOG_DEBUG("cam_nr={}, func:{}, {}", camNr, "loc_ctrl_channel_cb", text);
        return;
    }
    // The camera stays in the map (and alive) while the camera-number mutex is held.
    GigeDevice* dev = it->second;
    if (level == GEV_LOG_WARNING && std::strstr(text, "CCP lost")) {
        dev->processCCPLostEvent();
    } else if (level == GEV_LOG_ERROR && std::strstr(text, "CCP connection failure")) {
        // The offline callback runs on a task of the camera, never on the library's thread.
        if (!dev->isOffline()) dev->startLivenessTaskLocked(false);
    }
    const DeviceInfo* info = dev->getDeviceInfo();
    QX_LOG_DEBUG("dev:{}({}), func:{}, {}", info ? info->strModelName : "", info ? info->strSerialNumber : "",
                 "loc_ctrl_channel_cb", text);
}

bool GigeDevice::loc_msg_channel_cb(uint8_t camNr, GevEvent* event) {
    if (!event) return false;
    char buf[64];
    const char* what = eventText(event->EventId, buf, sizeof buf);
    qx::sys::MutexLock lk(g_camMutex);
    auto it = g_cameraIdDeviceMap.find(camNr);
    if (it == g_cameraIdDeviceMap.end() || !it->second) {
        QX_LOG_INFO("cam_nr={}, func:{}, [INFO] -{}", camNr, "loc_msg_channel_cb", what);
        return true;
    }
    const DeviceInfo* info = it->second->getDeviceInfo();
    const char* model = info ? info->strModelName : "";
    const char* serial = info ? info->strSerialNumber : "";
    if (event->Data && event->DataLength > 0) {
        QX_LOG_TRACE("dev:{}({}), func:{}, Event len:{}", model, serial, "loc_msg_channel_cb", event->DataLength);
        for (uint32_t i = 0; i < event->DataLength; ++i)
            QX_LOG_TRACE("dev:{}({}), func:{}, Event data:{:02X}", model, serial, "loc_msg_channel_cb",
                         event->Data[i]);
    }
    QX_LOG_INFO("dev:{}({}), func:{}, [INFO] -{}", model, serial, "loc_msg_channel_cb", what);
    return true;
}

void GigeDevice::memoryWriteCallback(uint8_t camNr, uint32_t) {
    qx::sys::MutexLock lk(g_camMutex);
    ++g_gvcpSuccessCmdIndexMap[camNr];
}

// Called with the camera-number mutex held.
void GigeDevice::processCCPLostEvent() {
    if (isOffline()) {
        QX_LOG_DEBUG("func:{}, m_isDevOffline={}", "processCCPLostEvent", true);
        return;
    }
    startLivenessTaskLocked(isGrabbing());
}

void GigeDevice::startLivenessTaskLocked(bool check) {
    qx::sys::MutexLock lk(m_taskMutex);
    if (m_taskStop) return;  // the camera is being closed
    if (m_task.joinable()) {
        if (!m_taskDone.load()) return;  // one task at a time
        // A finished task may still be in the application's offline callback; it is joined
        // later, outside the locks held here.
        m_oldTasks.push_back(std::move(m_task));
    }
    const uint8_t cam = m_cameraId.load();
    const int32_t gvcpIndex = g_gvcpSuccessCmdIndexMap[cam];
    const int64_t capturePoint = g_capturePacketTimePointMap[cam];
    m_taskDone.store(false);
    m_task = std::thread([this, check, gvcpIndex, capturePoint] { livenessTask(check, gvcpIndex, capturePoint); });
}

void GigeDevice::livenessTask(bool check, int32_t gvcpIndex, int64_t capturePoint) {
    const uint8_t cam = m_cameraId.load();
    if (check) {
        for (int i = 0; i < kLivenessRounds; ++i) {
            {
                qx::sys::UniqueLock lk(m_taskMutex);
                if (m_taskCv.wait_for(lk, std::chrono::milliseconds(kLivenessWaitMs),
                                      [this]() QX_REQUIRES(m_taskMutex) { return m_taskStop; })) {
                    m_taskDone.store(true);
                    return;
                }
            }
            if (!isGrabbing()) {
                m_taskDone.store(true);
                return;
            }
            qx::sys::MutexLock lk(g_camMutex);
            if (capturePoint != g_capturePacketTimePointMap[cam]) {
                QX_LOG_INFO("func:{}, tmpTimePoint != g_capturePacketTimePointMap[m_cameraId]", "processCCPLostEvent");
                m_taskDone.store(true);
                return;
            }
            if (gvcpIndex != g_gvcpSuccessCmdIndexMap[cam]) {
                QX_LOG_INFO("func:{}, tmpGvcpCmdIndex != g_gvcpSuccessCmdIndexMap[m_cameraId]", "processCCPLostEvent");
                m_taskDone.store(true);
                return;
            }
        }
        int32_t timeout = 0;
        if (GEVGetHeartbeatTimeout(cam, &timeout) == GEV_STATUS_SUCCESS) {
            m_taskDone.store(true);
            return;
        }
    }
    // The task counts as finished before the application's callback runs: the callback may
    // disconnect or delete this camera.
    m_taskDone.store(true);
    processOffline();
}

void GigeDevice::stopLivenessTask() {
    std::vector<std::thread> tasks;
    {
        qx::sys::MutexLock lk(m_taskMutex);
        m_taskStop = true;
        tasks = std::move(m_oldTasks);
        m_oldTasks.clear();
        tasks.push_back(std::move(m_task));
    }
    m_taskCv.notify_all();
    for (std::thread& task : tasks) {
        if (!task.joinable()) continue;
        // The offline callback may disconnect or delete the camera from the task itself.
        if (task.get_id() == std::this_thread::get_id()) task.detach();
        else task.join();
    }
    qx::sys::MutexLock lk(m_taskMutex);
    m_taskStop = false;
}
