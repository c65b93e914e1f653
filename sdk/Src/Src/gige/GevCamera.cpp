// Opening and closing a camera number (GEVInit, GEVClose), its channel parameters, connection
// status, persistent network configuration, callbacks and the filter driver switch. A failed
// GEVInit rolls back everything it did: privilege, threads, sockets, record, camera number.
#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "gige/GevRecord.h"
#include "gige/GevMessageThread.h"
#include "gige/GevSeams.h"
#include "gige/GvspProtocol.h"

namespace qx::gige {

namespace {

void setAnswerTimeout(GevCameraRecord& rec, uint32_t ms) {
    // The heartbeat's transactions read the split values under the request lock.
    qx::sys::MutexLock lock(rec.requestLock);
    rec.answerTimeoutMs = ms;
    rec.answerTimeoutSec = static_cast<int32_t>(ms / 1000);
    rec.answerTimeoutUsec = static_cast<int32_t>((ms % 1000) * 1000);
}

template <typename S>
void logLocalTime(uint8_t cam, const S& format) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    gevLogLine(cam, GEV_LOG_INFO, QX_FUNC, format, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

uint32_t heartbeatPeriodFor(uint32_t requestedMs, uint32_t deviceTimeoutMs) {
    if (requestedMs <= deviceTimeoutMs) return requestedMs;
    // Leave 200 ms of margin below the device's timeout; a timeout that short gets a third.
    return deviceTimeoutMs > 200 ? deviceTimeoutMs - 200 : deviceTimeoutMs / 3;
}

// Stops the message thread and closes the message socket once no camera is open any more.
void releaseMessageChannelIfUnused() {
    GevMessageChannel& mc = gevMessageChannel();
    qx::sys::MutexLock lock(mc.mutex);
    if (gevAnyOpen()) return;
    if (mc.threadRunning) {
        mc.stopFlag = 1;
        if (auto stop = gevSeams().messageThreadStop) stop(1000);
        mc.threadRunning = false;
    }
    mc.socket.close();
    mc.port = 0;
}

// The stream side of closing: a running acquisition is stopped, the stream socket closed.
GevStatus streamStop(uint8_t cam) {
    GevCameraRecord& rec = gevRecord(cam);
    QX_GEV_LOG(cam, GEV_LOG_DEBUG, "[D] StreamStop()");
    if (auto stop = gevSeams().streamStop)
        if (GevStatus st = stop(cam)) return st;
    qx::sys::MutexLock lock(rec.streamSocketLock);
    rec.streamSocket.close();
    return GEV_STATUS_SUCCESS;
}

void streamClose(uint8_t cam) {
    QX_GEV_LOG(cam, GEV_LOG_DEBUG, "[D] StreamClose()");
    if (gevRecord(cam).filterDriverActive) {
        GevStatus st = GEVCloseFilterDriver(cam);
        QX_GEV_LOG(cam, GEV_LOG_VERBOSE, "[V] GEVCloseFilterDriver({}) => {:x}", cam, st);
    }
    if (auto close = gevSeams().streamClose) close(cam);
}

GevStatus rollBack(uint8_t cam, GevStatus status) {
    GevCameraRecord& rec = gevRecord(cam);
    QX_GEV_REPORT("[I] Failed to initialize cam_nr={} (error {:x}). Rolling back", cam, status);
    if (rec.ccpTaken) { // give the privilege back that this open took
        const uint32_t zero = 0;
        WriteRegister(cam, gvcp::reg::kCcp, 1, &zero);
    }
    streamClose(cam);
    if (rec.heartbeatRunning.load()) {
        if (auto stop = gevSeams().heartbeatStop) stop(cam, 3000);
        rec.heartbeatRunning = 0;
    }
    gevMessageChannelDetach(rec);
    {
        qx::sys::MutexLock lock(rec.requestLock);
        rec.controlSocket.close();
        rec.logCallback = nullptr;
        gevSetOpen(cam, false);
        rec.reset();
    }
    releaseMessageChannelIfUnused();
    return status;
}

// Message channel set-up of GEVInit (exclusive or control access only).
GevStatus setUpMessageChannel(uint8_t cam, uint32_t capability, uint16_t messagePort) {
    GevCameraRecord& rec = gevRecord(cam);
    uint32_t count = 0;
    if (GevStatus st = ReadRegister(cam, gvcp::reg::kMessageChannels, 1, &count)) return st;
    const GevSeams& seams = gevSeams();
    if (count == 0) {
        QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Message channel is not available.");
        return GEV_STATUS_SUCCESS;
    }
    if (!(capability & (gvcp::cap::kEvent | gvcp::cap::kEventData))) {
        QX_GEV_LOG(
            cam, GEV_LOG_WARNING,
            "[W]  Message channel is available, but EVENT or EVENTDATA commands not enabled in the GVCP Capability register.");
        QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Message channel is not available.");
        return GEV_STATUS_SUCCESS;
    }
    if (!seams.messageThreadStart) { // no message thread in this build: nobody would serve it
        QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Message channel is not available.");
        return GEV_STATUS_SUCCESS;
    }
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Message channel is available.");
    const uint32_t adapterHost = ntohl(rec.adapterIp);
    if (WriteRegister(cam, gvcp::reg::kMcda, 1, &adapterHost) != GEV_STATUS_SUCCESS)
        QX_GEV_LOG(cam, GEV_LOG_WARNING, "[W] Can't write to GevMCDA register to set message channel ip address.");

    GevMessageChannel& mc = gevMessageChannel();
    uint32_t port = 0;
    {
        qx::sys::MutexLock lock(mc.mutex);
        if (!mc.socket.isOpen()) {
            if (mc.socket.open(0, messagePort) != 0)
                QX_GEV_LOG(cam, GEV_LOG_WARNING, "[W] Can't open message channel port.");
        }
        if (mc.socket.isOpen() && !mc.threadRunning) {
            QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Open message channel port.");
            mc.stopFlag = 0;
            mc.threadRunning = seams.messageThreadStart();
        }
        if (mc.port == 0 && mc.socket.isOpen() && mc.socket.localPort(&mc.port) != 0) {
            mc.port = 0;
            QX_GEV_LOG(cam, GEV_LOG_WARNING, "[W] Can't get message channel port");
        }
        port = mc.port;
    }
    if (GevStatus st = WriteRegister(cam, gvcp::reg::kMcp, 1, &port)) return st;
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Message channel port: {}", port);

    uint16_t sourcePort = 0;
    uint32_t mcCapability = 0, mcsp = 0;
    if (ReadRegister(cam, gvcp::reg::kMessageChannelCapability, 1, &mcCapability) == GEV_STATUS_SUCCESS &&
        (mcCapability & gvcp::field::kSourcePortSupported) &&
        ReadRegister(cam, gvcp::reg::kMcsp, 1, &mcsp) == GEV_STATUS_SUCCESS) {
        sourcePort = static_cast<uint16_t>(mcsp & gvcp::field::kPortMask);
        QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Message channel source port: {}", sourcePort);
        int err = 0;
        qx::sys::MutexLock lock(mc.mutex);
        if (mc.socket.sendTo(rec.cameraIp, sourcePort, "dmmy", 4, &err) != 4)
            QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Send to message channel source port. ({})", sourcePort);
    }
    // From here on the message thread serves the camera.
    qx::sys::MutexLock lock(mc.recordsLock);
    rec.messageSourcePort = sourcePort;
    rec.lastKeepAliveMs = gevNowMs() - int64_t(rec.keepAliveIntervalSec) * 1000;
    rec.messageChannelAvailable = 1;
    return GEV_STATUS_SUCCESS;
}

// GEVInit's first step: the record, with the connection's addresses and the default channel
// parameters, and a fresh stream table entry.
void initRecord(uint8_t cam, const GevConnection& c, GevLogCallback logCallback, uint8_t saveXml, uint8_t ccpMode) {
    GevCameraRecord& rec = gevRecord(cam);
    gevSetOpen(cam, true);
    rec.reset();
    rec.cameraNumber = cam;
    rec.logCameraNumber = cam;
    rec.streamNumber = static_cast<uint8_t>(cam - 1);
    rec.hostControlPort = c.HostControlPort;
    rec.hostStreamPort = c.HostStreamPort;
    rec.adapterIp = c.AdapterIP;
    rec.adapterMask = c.AdapterMask;
    rec.cameraIp = c.IP_CANCam;
    rec.devicePort = c.DeviceGvcpPort ? c.DeviceGvcpPort : gevOptions().DeviceGvcpPort;
    std::memcpy(rec.adapterName, c.AdapterName, sizeof rec.adapterName);
    rec.adapterName[sizeof rec.adapterName - 1] = '\0';
    rec.saveXml = saveXml;
    rec.ccpMode = ccpMode;
    rec.nextRequestId = 1;
    rec.pendingAllowanceMs = gevOptions().PendingAckLimitMs;
    rec.logCallback = logCallback;
    setAnswerTimeout(rec, 200);
    rec.retries = 3;
    rec.sc_timeout = 200;
    rec.grabStopTimeoutMs = 1000;
    rec.KillGrab = 1;
    rec.logMask = GEV_LOG_INFO | GEV_LOG_WARNING | GEV_LOG_ERROR;
    rec.keepAliveIntervalSec = 30;
    GevStreamContext& stream = gevStream(cam);
    stream = GevStreamContext{};
    stream.logCameraNumber = cam;
    if (auto init = gevSeams().streamInit) init(cam);
}

// The control channel socket, bound on the adapter.
GevStatus openControlChannel(uint8_t cam, const GevConnection& c) {
    GevCameraRecord& rec = gevRecord(cam);
    if (rec.controlSocket.open(c.AdapterIP, c.HostControlPort) != 0) return GEV_STATUS_CANNOT_CREATE_SOCKET;
    if (rec.controlSocket.localPort(&rec.hostControlPort) != 0) return GEV_STATUS_CANNOT_CREATE_SOCKET;
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Control channel port: {}", rec.hostControlPort);
    GevStreamContext& stream = gevStream(cam);
    stream.resetCounters();
    stream.ringImageCount = 4;
    return GEV_STATUS_SUCCESS;
}

// Exclusive or control access: the privilege is taken and the heartbeat started.
GevStatus takePrivilege(uint8_t cam, uint8_t ccpMode) {
    GevCameraRecord& rec = gevRecord(cam);
    uint32_t ccp = 0;
    if (GevStatus st = ReadRegister(cam, gvcp::reg::kCcp, 1, &ccp)) {
        // A camera that does not answer at all is not one held by another application.
        if (st == GEV_STATUS_TIMEOUT) return st;
        QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Device already opened.");
        return GEV_STATUS_ALREADY_OPEN;
    }
    const uint32_t mode = ccpMode;
    if (GevStatus st = WriteRegister(cam, gvcp::reg::kCcp, 1, &mode)) return st;
    rec.ccpTaken = true;

    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Start heartbeat thread.");
    uint32_t timeout = 0;
    if (GevStatus st = ReadRegister(cam, gvcp::reg::kHeartbeatTimeout, 1, &timeout)) return st;
    rec.heartbeatPeriodMs = timeout / 3;
    if (auto start = gevSeams().heartbeatStart) {
        if (start(cam) != GEV_STATUS_SUCCESS) return GEV_STATUS_CANNOT_START_THREAD;
        rec.heartbeatRunning = 1;
    }
    return GEV_STATUS_SUCCESS;
}

// Version and, from version 2 on, the pending timeout as answer timeout.
GevStatus readVersion(uint8_t cam) {
    GevCameraRecord& rec = gevRecord(cam);
    uint32_t version = 0;
    if (GevStatus st = ReadRegister(cam, gvcp::reg::kVersion, 1, &version)) return st;
    rec.gevMajor = static_cast<uint16_t>(version >> gvcp::field::kVersionMajorShift);
    rec.gevMinor = static_cast<uint16_t>(version & gvcp::field::kVersionMinorMask);
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] GEV Version: {}.{}", rec.gevMajor, rec.gevMinor);
    if (rec.gevMajor > 1) {
        uint32_t pending = 0;
        if (GevStatus st = ReadRegister(cam, gvcp::reg::kPendingTimeout, 1, &pending)) return st;
        // The camera promises a PENDING_ACK within this time; a value beyond reason would let
        // every unanswered request wait that long.
        setAnswerTimeout(rec, std::min(pending, GEV_MAX_DEVICE_ANSWER_TIMEOUT_MS));
    }
    return GEV_STATUS_SUCCESS;
}

// GVCP capabilities into the record; PENDING_ACK is switched on where offered.
GevStatus readCapabilities(uint8_t cam, uint32_t* capabilityOut) {
    GevCameraRecord& rec = gevRecord(cam);
    uint32_t capability = 0;
    if (GevStatus st = ReadRegister(cam, gvcp::reg::kGvcpCapability, 1, &capability)) return st;
    uint32_t config = 0;
    if ((capability & gvcp::cap::kPendingAck) &&
        ReadRegister(cam, gvcp::reg::kGvcpConfig, 1, &config) == GEV_STATUS_SUCCESS) {
        config |= gvcp::field::kGvcpConfigPendingAck;
        if (WriteRegister(cam, gvcp::reg::kGvcpConfig, 1, &config) != GEV_STATUS_SUCCESS)
            QX_GEV_LOG(cam, GEV_LOG_WARNING, "[W] Can't write to GVCP Configuration register to enable pending ack.");
    }
    rec.manifestTable = (capability & gvcp::cap::kManifestTable) ? 1 : 0;
    rec.statusFlags = static_cast<uint8_t>(((capability & gvcp::cap::kStatusFlag0) ? 1 : 0) |
                                           ((capability & gvcp::cap::kStatusFlag1) ? 2 : 0));
    rec.concatenation = (capability & gvcp::cap::kConcatenation) ? 1 : 0;
    *capabilityOut = capability;
    return GEV_STATUS_SUCCESS;
}

// Timestamp tick frequency; a camera that does not answer keeps 0 ns per tick.
void readTimestampFrequency(uint8_t cam) {
    uint32_t freqHigh = 0, freqLow = 0;
    if (ReadRegister(cam, gvcp::reg::kTimestampFreqHigh, 1, &freqHigh) == GEV_STATUS_SUCCESS &&
        ReadRegister(cam, gvcp::reg::kTimestampFreqLow, 1, &freqLow) == GEV_STATUS_SUCCESS) {
        const uint64_t freq = (uint64_t(freqHigh) << 32) | freqLow;
        gevRecord(cam).nsPerTick = freq ? 1e9 / double(freq) : 0.0;
    }
}

// The stream channel's payload per packet, when the camera has one.
GevStatus readStreamChannel(uint8_t cam) {
    uint32_t streamChannels = 0;
    if (GevStatus st = ReadRegister(cam, gvcp::reg::kStreamChannels, 1, &streamChannels)) return st;
    if (streamChannels == 0) {
        QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Stream channel is not available.");
        return GEV_STATUS_SUCCESS;
    }
    uint32_t scps = 0;
    if (GevStatus st = ReadRegister(cam, gvcp::reg::kScps0, 1, &scps)) return st;
    // Version 2 devices may send the extended GVSP header.
    const uint32_t overhead =
        gvcp::kIpUdpHeaderSize + (gevRecord(cam).gevMajor < 2 ? gvsp::kHeaderSize : gvsp::kExtendedHeaderSize);
    const uint32_t packet = scps & gvcp::field::kPacketSizeMask;
    gevStream(cam).payloadPerPacket = static_cast<uint16_t>(packet > overhead ? packet - overhead : 0);
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Stream channel is available.");
    return GEV_STATUS_SUCCESS;
}

} // namespace

} // namespace qx::gige

using namespace qx::gige;

GevStatus GEVInit(uint8_t cam_nr, const GevConnection* connection, GevLogCallback logCallback, uint8_t saveXml,
                  uint8_t ccpMode) {
    if (!gevValidCamera(cam_nr) || !connection || ccpMode > GEV_CCP_CONTROL) return GEV_STATUS_INVALID_PARAMETER;
    const GevConnection& c = *connection;
    if ((c.AdapterMask & c.AdapterIP) != (c.AdapterMask & c.IP_CANCam)) {
        QX_GEV_REPORT("[E] subnet mismatch: pc={:x}, camera={:x}, mask={:x}", c.AdapterIP, c.IP_CANCam, c.AdapterMask);
        return GEV_STATUS_SUBNET_MISMATCH;
    }
    if (gevIsOpen(cam_nr)) {
        if (gevRecord(cam_nr).connectionState.load() != GEV_CONNECTION_FAILURE) return GEV_STATUS_CAMERA_ALWAYS_INIT;
        GEVClose(cam_nr);
    }

    // Every step after the record's rolls back what the open did so far when it fails.
    initRecord(cam_nr, c, logCallback, saveXml, ccpMode);
    if (GevStatus st = openControlChannel(cam_nr, c)) return rollBack(cam_nr, st);
    if (ccpMode != GEV_CCP_OPEN)
        if (GevStatus st = takePrivilege(cam_nr, ccpMode)) return rollBack(cam_nr, st);
    if (GevStatus st = readVersion(cam_nr)) return rollBack(cam_nr, st);
    uint32_t capability = 0;
    if (GevStatus st = readCapabilities(cam_nr, &capability)) return rollBack(cam_nr, st);
    if (ccpMode != GEV_CCP_OPEN)
        if (GevStatus st = setUpMessageChannel(cam_nr, capability, c.MessagePort)) return rollBack(cam_nr, st);
    readTimestampFrequency(cam_nr);
    if (GevStatus st = readStreamChannel(cam_nr)) return rollBack(cam_nr, st);

    gevRecord(cam_nr).initComplete = 1;
    logLocalTime(cam_nr, FMT_STRING("[I] Init device time: {:02}:{:02}:{:02}"));
    if (auto openQueue = gevSeams().streamOpenQueue) openQueue(cam_nr);
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVClose(uint8_t cam_nr) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    GevCameraRecord& rec = gevRecord(cam_nr);
    const GevSeams& seams = gevSeams();
    const bool privileged = rec.ccpMode != GEV_CCP_OPEN;
    const bool netConfigChanged = rec.netConfigChanged != 0;
    const bool messageChannel = rec.messageChannelAvailable.load() != 0;
    uint32_t macHigh = 0, macLow = 0, mask = 0, gateway = 0;

    // The heartbeat sends on the stream socket and reprograms the channels: it ends first.
    if (privileged && rec.heartbeatRunning.load()) {
        if (seams.heartbeatStop) seams.heartbeatStop(cam_nr, rec.heartbeatPeriodMs.load());
        rec.heartbeatRunning = 0;
    }
    GevStatus result = streamStop(cam_nr);
    bool addressRead = false; // what the FORCEIP that restarts the configuration needs
    if (result == GEV_STATUS_SUCCESS && netConfigChanged) {
        if ((result = ReadRegister(cam_nr, gvcp::reg::kMacHigh, 1, &macHigh)) == GEV_STATUS_SUCCESS &&
            (result = ReadRegister(cam_nr, gvcp::reg::kMacLow, 1, &macLow)) == GEV_STATUS_SUCCESS &&
            (result = ReadRegister(cam_nr, gvcp::reg::kCurrentMask, 1, &mask)) == GEV_STATUS_SUCCESS)
            result = ReadRegister(cam_nr, gvcp::reg::kCurrentGateway, 1, &gateway);
        addressRead = result == GEV_STATUS_SUCCESS;
    }
    if (result == GEV_STATUS_SUCCESS) {
        if (privileged && rec.heartbeatRunning.load()) {
            if (seams.heartbeatStop) seams.heartbeatStop(cam_nr, rec.heartbeatPeriodMs.load());
            rec.heartbeatRunning = 0;
        }
        if (messageChannel) {
            gevMessageChannelDetach(rec);
            const uint32_t zero = 0;
            GevStatus st = WriteRegister(cam_nr, gvcp::reg::kMcp, 1, &zero);
            if (st != GEV_STATUS_SUCCESS && st != GEV_STATUS_ACCESS_DENIED)
                QX_GEV_REPORT("[E] Can't write message channel port register.");
        }
        const uint32_t zero = 0;
        result = WriteRegister(cam_nr, gvcp::reg::kCcp, 1, &zero);
    }
    streamClose(cam_nr);
    if (rec.heartbeatRunning.load()) { // a close cut short above still ends the heartbeat
        if (seams.heartbeatStop) seams.heartbeatStop(cam_nr, rec.heartbeatPeriodMs.load());
        rec.heartbeatRunning = 0;
    }
    gevMessageChannelDetach(rec);
    const uint32_t adapterIp = rec.adapterIp;
    const uint16_t devicePort = rec.devicePort;
    {
        qx::sys::MutexLock lock(rec.requestLock);
        rec.controlSocket.close();
        std::vector<uint8_t>().swap(rec.xml);
        rec.xmlSize = 0;
        gevSetOpen(cam_nr, false);
    }
    logLocalTime(cam_nr, FMT_STRING("[I] Close device time: {:02}:{:02}:{:02}"));
    rec.logCallback = nullptr;
    if (privileged) releaseMessageChannelIfUnused();

    if (addressRead) {
        // The camera restarts its IP configuration: FORCEIP with IP 0 and its current settings,
        // also when releasing the privilege failed above.
        uint8_t mac[6];
        mac[0] = static_cast<uint8_t>(macHigh >> 8);
        mac[1] = static_cast<uint8_t>(macHigh);
        mac[2] = static_cast<uint8_t>(macLow >> 24);
        mac[3] = static_cast<uint8_t>(macLow >> 16);
        mac[4] = static_cast<uint8_t>(macLow >> 8);
        mac[5] = static_cast<uint8_t>(macLow);
        qx::net::UdpSocket socket;
        qx::net::UdpSocketOptions options;
        options.broadcast = true;
        if (socket.open(adapterIp, 0, options) == 0)
            gevSendForceIp(socket, devicePort, 0, htonl(mask), htonl(gateway), mac);
    }
    gevStream(cam_nr) = GevStreamContext{};
    {
        qx::sys::MutexLock lock(rec.requestLock);
        rec.reset();
    }
    return result;
}

GevStatus GEVGetChannelParameter(uint8_t cam_nr, GevChannelParams* params) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    if (!params) return GEV_STATUS_INVALID_PARAMETER;
    GevCameraRecord& rec = gevRecord(cam_nr);
    params->HeartbeatPeriodMs = rec.heartbeatPeriodMs;
    params->AnswerTimeoutMs = rec.answerTimeoutMs;
    params->Retries = rec.retries;
    params->ScTimeoutMs = rec.sc_timeout;
    params->ScPacketResend = gevStream(cam_nr).sc_packet_resend;
    params->GrabStopTimeoutMs = rec.grabStopTimeoutMs;
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVSetChannelParameter(uint8_t cam_nr, const GevChannelParams* params) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    if (!params) return GEV_STATUS_INVALID_PARAMETER;
    GevCameraRecord& rec = gevRecord(cam_nr);
    rec.retries = params->Retries;
    rec.answerTimeoutMs = params->AnswerTimeoutMs;
    uint32_t deviceTimeout = 0;
    if (GevStatus st = ReadRegister(cam_nr, gvcp::reg::kHeartbeatTimeout, 1, &deviceTimeout)) return st;
    rec.heartbeatPeriodMs = heartbeatPeriodFor(params->HeartbeatPeriodMs, deviceTimeout);
    setAnswerTimeout(rec, params->AnswerTimeoutMs);
    rec.sc_timeout = params->ScTimeoutMs;
    rec.grabStopTimeoutMs = params->GrabStopTimeoutMs;
    gevStream(cam_nr).sc_packet_resend = params->ScPacketResend;
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVGetConnectionStatus(uint8_t cam_nr, uint8_t* state, uint8_t* initState) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    GevCameraRecord& rec = gevRecord(cam_nr);
    if (state) *state = rec.connectionState;
    if (initState) *initState = rec.initComplete.load() ? GEV_INIT_COMPLETE : GEV_INIT_INCOMPLETE;
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVGetStreamPort(uint8_t cam_nr, uint16_t* port) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    if (port) *port = gevRecord(cam_nr).hostStreamPort;
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVSetDetailedLog(uint8_t cam_nr, uint8_t mask) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    gevRecord(cam_nr).logMask = mask;
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVSetEventCallback(uint8_t cam_nr, GevEventCallback callback) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    GevCameraRecord& rec = gevRecord(cam_nr);
    if (!rec.messageChannelAvailable) return GEV_STATUS_NOT_SUPPORTED;
    rec.eventCallback = callback;
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVSetReadWriteMemoryCallback(uint8_t cam_nr, GevMemoryProgressCallback callback) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    gevRecord(cam_nr).memoryCallback = callback;
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVInitFilterDriver(uint8_t cam_nr) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    GevCameraRecord& rec = gevRecord(cam_nr);
    if (gevStream(cam_nr).userRingBuffer) {
        QX_GEV_LOG(cam_nr, GEV_LOG_WARNING, "[W] Filter driver doesn't support user ring buffer.");
        return GEV_STATUS_NOT_SUPPORTED;
    }
    if (rec.filterDriverActive) {
        QX_GEV_LOG(cam_nr, GEV_LOG_WARNING, "[W] GEVInitFilterDriver already enabled");
        return GEV_STATUS_SUCCESS;
    }
    if (!rec.KillGrab.load()) { // the grab thread's ring or the driver's stream is in use
        QX_GEV_LOG(cam_nr, GEV_LOG_WARNING, "[W] Filter driver can't be switched while acquiring.");
        return GEV_STATUS_NOT_SUPPORTED;
    }
    if (rec.filterDriverHandle == -1) {
        auto open = gevSeams().filterDriverOpen;
        rec.filterDriverHandle = open ? open(cam_nr, &rec.filterDriverSlot) : -1;
        QX_GEV_LOG(cam_nr, GEV_LOG_INFO, "[N] GEVInitFilterDriver handle: {:x}",
                   static_cast<unsigned long long>(rec.filterDriverHandle));
    } else {
        QX_GEV_LOG(cam_nr, GEV_LOG_WARNING, "[W] GEVInitFilterDriver already opened. Handle: {:x}",
                   static_cast<unsigned long long>(rec.filterDriverHandle));
    }
    if (rec.filterDriverHandle != -1) {
        rec.filterDriverActive = 1;
        return GEV_STATUS_SUCCESS;
    }
    QX_GEV_LOG(cam_nr, GEV_LOG_INFO, "[I] GEVInitFilterDriver: Can't open v2eDODOderur driver..");
    QX_GEV_LOG(cam_nr, GEV_LOG_INFO,
               "[I] GEVInitFilterDriver: Check if driver is installed or you don't have administrator privileges.");
    return GEV_STATUS_CANNOT_OPEN_DRIVER;
}

GevStatus GEVCloseFilterDriver(uint8_t cam_nr) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    GevCameraRecord& rec = gevRecord(cam_nr);
    if (gevStream(cam_nr).userRingBuffer) {
        QX_GEV_LOG(cam_nr, GEV_LOG_WARNING, "[W] Filter driver doesn't support user ring buffer.");
        return GEV_STATUS_NOT_SUPPORTED;
    }
    if (!rec.filterDriverActive) return GEV_STATUS_SUCCESS;
    if (!rec.KillGrab.load()) { // the grab thread's ring or the driver's stream is in use
        QX_GEV_LOG(cam_nr, GEV_LOG_WARNING, "[W] Filter driver can't be switched while acquiring.");
        return GEV_STATUS_NOT_SUPPORTED;
    }
    rec.filterDriverActive = 0;
    auto release = gevSeams().filterDriverRelease;
    if (!release || !release(cam_nr)) return GEV_STATUS_DRIVER_ERROR;
    rec.filterDriverHandle = -1;
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVSetNetConfig(uint8_t cam_nr, uint8_t dhcp, uint32_t ip, uint32_t mask, uint32_t gateway) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    uint32_t config = 0;
    if (GevStatus st = ReadRegister(cam_nr, gvcp::reg::kNetworkConfig, 1, &config)) return st;
    config &= ~(gvcp::field::kNetConfigPersistentIp | gvcp::field::kNetConfigDhcp);
    if (dhcp) {
        const uint32_t value = config | gvcp::field::kNetConfigDhcp;
        if (GevStatus st = WriteRegister(cam_nr, gvcp::reg::kNetworkConfig, 1, &value)) return st;
    }
    if (ip != 0) {
        const uint32_t value = config | gvcp::field::kNetConfigPersistentIp;
        const uint32_t ipHost = ntohl(ip), maskHost = ntohl(mask), gatewayHost = ntohl(gateway);
        if (GevStatus st = WriteRegister(cam_nr, gvcp::reg::kNetworkConfig, 1, &value)) return st;
        if (GevStatus st = WriteRegister(cam_nr, gvcp::reg::kPersistentIp, 1, &ipHost)) return st;
        if (GevStatus st = WriteRegister(cam_nr, gvcp::reg::kPersistentMask, 1, &maskHost)) return st;
        if (GevStatus st = WriteRegister(cam_nr, gvcp::reg::kPersistentGateway, 1, &gatewayHost)) return st;
    }
    gevRecord(cam_nr).netConfigChanged = 1;
    return GEV_STATUS_SUCCESS;
}
