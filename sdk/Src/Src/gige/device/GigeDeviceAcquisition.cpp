// GigeDevice acquisition: opening the stream channel, finding the largest packet that reaches
// the host, starting and stopping the camera's acquisition and the loop that takes the
// library's images into the frame queue.
#include "gige/device/GigeDevice.h"

#include "gige/device/GigeCameraTable.h"
#include "feature/FeatureBase.h"
#include "Sys/FrameRate.h"
#include "Sys/Log.h"
#include "Sys/PixelFormat.h"

#include <algorithm>
#include <cstring>

namespace qx::gige::device {

using namespace qx::feature;

using namespace qx::core::base;

namespace {
constexpr uint32_t kFallbackPacketSize = 1500;
} // namespace

QX_STATUS GigeDevice::startGrabbing(FeatureBase* feature) {
    if (isGrabbing()) {
        QX_LOG_INFO("func:{}, m_isAcquisitionStopped={}", false);
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
        QX_LOG_ERROR("func:{}, read PayloadSize failed");
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
    QX_LOG_DEBUG("func:{}, isOpen={} ", open);
    const uint8_t cam = m_cameraId.load();
    if (open && m_streamChannelOpen) {
        uint16_t port = 0;
        GEVGetStreamPort(cam, &port);
        int32_t mode = 0;
        QX_STATUS s = m_pFeature->getNodeAccessMode("GevSCPHostPort", &mode);
        if (s != QX_OK) {
            QX_LOG_ERROR("func:{}, read GevSCPHostPort failed");
            return s;
        }
        if (mode == QX_NODE_ACCESS_RO) m_pFeature->setIntValue("TLParamsLocked", 1);
        s = m_pFeature->setIntValue("GevSCPHostPort", port);
        if (s != QX_OK) {
            QX_LOG_ERROR("func:{}, set GevSCPHostPort failed");
            return s;
        }
        return QX_OK;
    }
    if (open) {
        const GevStatus st = GEVOpenStreamChannel(cam, m_connection.AdapterIP, m_connection.HostStreamPort, 0);
        if (st != GEV_STATUS_SUCCESS) {
            QX_LOG_ERROR("func:{}, GEVOpenStreamChannel error: {}", statusName(cam, st));
            stopGrabbing();
            return gevStatusToError(st);
        }
        m_streamChannelOpen = true;
        return QX_OK;
    }
    const GevStatus st = GEVCloseStreamChannel(cam);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVCloseStreamChannel error:{} ", statusName(cam, st));
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
        QX_LOG_INFO("func:{}, getIntValue GevSCPSPacketSize failed");
        found = true; // nothing to test: the camera keeps its own packet size
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
            QX_LOG_INFO("func:{}, m_cameraId={}, Find maximal packet size: {}", cam, packet);
            m_maxPacketSize = static_cast<uint32_t>(fitted);
            feature->setIntValue("GevSCPSPacketSize", fitted);
            found = true;
        } else {
            QX_LOG_WARN("func:{}, m_cameraId={}, GEVTestFindMaxPacketSize error:{}", cam,
                        statusName(cam, st == GEV_STATUS_SUCCESS ? static_cast<GevStatus>(GEV_STATUS_TIMEOUT) : st));
        }
    }
    if (QX_STATUS s = setStreamChannelStatus(false)) return s;
    if (!found) {
        int32_t mode = 0;
        if (QX_STATUS s = feature->getNodeAccessMode("GevSCPHostPort", &mode)) {
            QX_LOG_ERROR("func:{}, getNodeAccessMode GevSCPHostPort failed");
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
        QX_LOG_ERROR("func:{}, getIntValue Width failed");
        return s;
    }
    if (QX_STATUS s = feature->getIntValue("Height", &height)) {
        QX_LOG_ERROR("func:{}, getIntValue Height failed");
        return s;
    }
    if (QX_STATUS s = feature->getEnumValue("PixelFormat", &format)) {
        QX_LOG_ERROR("func:{}, getEnumValue PixelFormat failed");
        return s;
    }
    if (QX_STATUS s = feature->getEnumValueStr("TriggerMode", &trigger)) {
        QX_LOG_ERROR("func:{}, getEnumValueStr TriggerMode failed");
        return s;
    }
    m_width = static_cast<uint32_t>(width.nValue);
    m_height = static_cast<uint32_t>(height.nValue);
    m_pixelFormat = static_cast<uint32_t>(format.nValue);
    m_isTriggerModeOn.store(std::strcmp(trigger.strValue, "On") == 0);

    if (QX_STATUS s = setPacketResendSub()) return s;

    const GevStatus st = GEVAcquisitionStart(cam, 0, payloadSize, m_width, m_height, m_pixelFormat);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVAcquisitionStart error:{}", statusName(cam, st));
        return gevStatusToError(st);
    }
    int32_t mode = 0;
    if (QX_STATUS s = feature->getNodeAccessMode("AcquisitionStart", &mode)) {
        QX_LOG_ERROR("func:{}, getNodeAccessMode AcquisitionStart failed");
        GEVAcquisitionStop(cam);
        return s;
    }
    if (mode == QX_NODE_ACCESS_NA) feature->setIntValue("TLParamsLocked", 1);
    if (QX_STATUS s = feature->executeCommand("AcquisitionStart")) {
        QX_LOG_ERROR("func:{}, executeCommand AcquisitionStart failed");
        GEVAcquisitionStop(cam);
        return s;
    }
    return QX_OK;
}

QX_STATUS GigeDevice::stopGrabbing() {
    if (!isGrabbing()) {
        QX_LOG_INFO("func:{}, m_isAcquisitionStopped={}", true);
        return QX_OK;
    }
    // Sets the stop flag, wakes every waiter and joins the acquisition and callback threads;
    // the acquisition thread waits at most the grab stop timeout per image.
    endAcquisition();
    const uint8_t cam = m_cameraId.load();
    const GevStatus st = GEVAcquisitionStop(cam);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVAcquisitionStop error:{}", statusName(cam, st));
        return gevStatusToError(st);
    }
    if (!m_pFeature) {
        QX_LOG_ERROR("func:{}, nullptr == m_pFeature");
        return QX_ERR_NOT_AVAILABLE;
    }
    if (QX_STATUS s = m_pFeature->executeCommand("AcquisitionStop")) {
        QX_LOG_ERROR("func:{}, executeCommand AcquisitionStop failed");
        return s;
    }
    int32_t mode = 0;
    if (QX_STATUS s = m_pFeature->getNodeAccessMode("GevSCPHostPort", &mode)) {
        QX_LOG_ERROR("func:{}, getNodeAccessMode GevSCPHostPort failed");
        return s;
    }
    if (mode == QX_NODE_ACCESS_RO) m_pFeature->setIntValue("TLParamsLocked", 0);
    if (QX_STATUS s = m_pFeature->setIntValue("GevSCPHostPort", 0)) {
        QX_LOG_ERROR("func:{}, setIntValue GevSCPHostPort failed");
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
    case GEV_CONNECTION_OK: QX_LOG_DEBUG("func:{}, GEV_CONNECTION_STATUS: OK"); break;
    case GEV_CONNECTION_CCP_LOST: QX_LOG_DEBUG("func:{}, GEV_CONNECTION_STATUS: TIMEOUT"); break;
    case GEV_CONNECTION_FAILURE: QX_LOG_DEBUG("func:{}, GEV_CONNECTION_STATUS: ACCESS_DENIED"); break;
    default: QX_LOG_DEBUG("func:{}, GEV_CONNECTION_STATUS: UNKNOWN"); break;
    }
}

void GigeDevice::acquireImgLoop() {
    QX_LOG_DEBUG("func:{}, start");
    const uint8_t cam = m_cameraId.load();
    m_deliveredFrames.store(0);
    m_lastStatusLogNs = 0;
    qx::sys::FrameRateWindow rate(1.0f);
    while (isGrabbing() && !isOffline()) {
        ImageBuffer* buffer = getImgBuffer();
        if (!buffer) {
            QX_LOG_ERROR("func:{}, getImgBuffer failed!");
            break;
        }
        GevImageHeader header{};
        // The library writes the image straight into the pool buffer, never past its size.
        const GevStatus st = GEVGetImage(cam, &header, buffer->data.get(), buffer->size);
        if (st != GEV_STATUS_SUCCESS && st != GEV_STATUS_GRAB_ERROR) {
            printGevConnection(); // at most once per 1001 ms, time-outs included
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
    QX_LOG_DEBUG("func:{}, end");
}

} // namespace qx::gige::device
