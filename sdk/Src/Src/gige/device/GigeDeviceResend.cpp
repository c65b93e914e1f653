// GigeDevice transfer settings: packet resend (switch, share of the frame's packets and
// timeout, programmed into the library's channel parameters), the packet filter driver switch
// and the heartbeat timeout.
#include "gige/device/GigeDevice.h"

#include "gige/filter/PacketFilterDriver.h"
#include "gige/GvcpProtocol.h"
#include "gige/GvspProtocol.h"
#include "Sys/Log.h"

namespace qx::gige::device {

namespace {
// A resend timeout of this value asks for the library's timer mode (only with a trigger and
// resend on; otherwise the default timeout applies).
constexpr uint16_t kResendTimerMode = 0xFFFF;
constexpr uint32_t kDefaultResendTimeoutMs = 200;
// Bytes of a stream packet that are not payload: IP, UDP and GVSP headers.
constexpr uint32_t kStreamPacketOverhead = qx::gige::gvcp::kIpUdpHeaderSize + qx::gige::gvsp::kHeaderSize;
} // namespace

QX_STATUS GigeDevice::setPacketResend(bool enable, uint8_t percent, uint16_t timeoutMs) {
    if (percent < 1 || percent > 100 || ((timeoutMs < 1 || timeoutMs > 1000) && timeoutMs != kResendTimerMode))
        return QX_ERR_INVALID_PARAM;
    if (!isConnected()) return QX_ERR_NOT_AVAILABLE;
    const uint8_t cam = m_cameraId.load();
    uint8_t current = 0;
    GevStatus st = GEVGetPacketResend(cam, &current);
    if (st == GEV_STATUS_NOT_SUPPORTED) {
        QX_LOG_ERROR("func:{}, GEV Packet Resend Not Suppported");
        return QX_ERR_NOT_SUPPORTED;
    }
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVGetPacketResend error:0x{:04x}!", st);
        return gevStatusToError(st);
    }
    if ((current != 0) != enable) {
        st = GEVSetPacketResend(cam, enable ? 1 : 0);
        if (st != GEV_STATUS_SUCCESS) {
            QX_LOG_ERROR("func:{}, GEVSetPacketResend error:0x{:04x}!", st);
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
        QX_LOG_ERROR("func:{}, GEVGetPacketResend error: 0x{:04x}.", st);
        if (st != GEV_STATUS_NOT_SUPPORTED) return gevStatusToError(st);
        enabled = 0;
    }
    GevChannelParams params{};
    st = GEVGetChannelParameter(cam, &params);
    if (st == GEV_STATUS_SUCCESS) {
        uint32_t timeout = m_resendTimeout;
        if (timeout == kResendTimerMode && !(m_isTriggerModeOn.load() && enabled)) timeout = kDefaultResendTimeoutMs;
        params.ScTimeoutMs = timeout;
        uint32_t packets = 0;
        if (m_maxPacketSize > kStreamPacketOverhead) {
            const uint32_t payloadPerPacket = m_maxPacketSize - kStreamPacketOverhead;
            const uint64_t count = (static_cast<uint64_t>(m_payloadSize) + payloadPerPacket - 1) / payloadPerPacket;
            packets = static_cast<uint32_t>(count * m_resendPercent / 100);
        }
        params.ScPacketResend = packets;
        st = GEVSetChannelParameter(cam, &params);
        if (st == GEV_STATUS_SUCCESS) {
            QX_LOG_INFO("func:{}, sc_timeout:{}ms, sc_packet_resend:{}, m_isTriggerModeOn:{}, isResendEnabled:{}, "
                        "m_filterDriverEnabled={}",
                        timeout, packets, m_isTriggerModeOn.load(), enabled != 0, m_filterDriverEnabled.load());
            return QX_OK;
        }
    }
    QX_LOG_ERROR("func:{}, GEVGetChannelParameter error: 0x{:04x}.", st);
    return gevStatusToError(st);
}

QX_STATUS GigeDevice::getPacketResend(bool* enable, uint8_t* percent, uint16_t* timeoutMs) {
    if (!enable || !percent || !timeoutMs) return QX_ERR_INVALID_PARAM;
    if (!isConnected()) {
        QX_LOG_ERROR("func:{}, m_isConnected={}!", false);
        return QX_ERR_NOT_AVAILABLE;
    }
    const uint8_t cam = m_cameraId.load();
    uint8_t enabled = 0;
    GevStatus st = GEVGetPacketResend(cam, &enabled);
    if (st == GEV_STATUS_NOT_SUPPORTED) {
        QX_LOG_INFO("func:{}, GEV Packet Resend Not Suppported");
        enabled = 0;
    } else if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVGetPacketResend error:0x{:04x}", st);
        return gevStatusToError(st);
    }
    GevChannelParams params{};
    st = GEVGetChannelParameter(cam, &params);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, GEVGetChannelParameter error:0x{:04x}", st);
        return gevStatusToError(st);
    }
    *enable = enabled != 0;
    *percent = m_resendPercent;
    *timeoutMs = static_cast<uint16_t>(params.ScTimeoutMs & 0xFFFF);
    return QX_OK;
}

QX_STATUS GigeDevice::setFilterDriver(bool enable) {
    if (!isConnected()) {
        QX_LOG_ERROR("func:{}, m_isConnected={}", false);
        return QX_ERR_NOT_AVAILABLE;
    }
    if (m_filterDriverEnabled.load() == enable) return QX_OK;
    const uint8_t cam = m_cameraId.load();
    if (enable) qx::gige::filter::install(); // the library opens the driver through its seam
    const GevStatus st = enable ? GEVInitFilterDriver(cam) : GEVCloseFilterDriver(cam);
    if (st != GEV_STATUS_SUCCESS) {
        QX_LOG_ERROR("func:{}, bEnable:{}, error:0x{:04x}!", enable, st);
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
    QX_LOG_DEBUG("func:{}, timeout={} ", timeoutMs);
    const uint32_t ms = timeoutMs < 0                     ? 0u
                        : timeoutMs > INT64_C(0xFFFFFFFF) ? 0xFFFFFFFFu
                                                          : static_cast<uint32_t>(timeoutMs);
    return GEVSetHeartbeatTimeout(m_cameraId.load(), ms);
}

} // namespace qx::gige::device
