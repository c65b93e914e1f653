// The heartbeat thread: one per camera opened with exclusive or control access. Each round
// reads CCP, which keeps the camera's heartbeat alive and tells whether the privilege is still
// held; socket errors rebuild the control socket, a privilege the camera has reset is taken
// back with the stream and message channel settings, the stream channel's firewall hole is kept
// open, and five failed rounds in a row end the connection.
#include "gige/GevHeartbeat.h"

#include <cstdlib>
#include <mutex>
#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <system_error>

#include "gige/GevChannels.h"
#include "gige/GevMessageThread.h"
#include "gige/GevSeams.h"
#include "Sys/ByteOrder.h"

namespace qx::gige {

namespace {

// Set by a heartbeat thread as its last act, so that stopping it can wait a bounded time
// before the join.
qx::sys::Event g_finished[GEV_MAX_CAMERAS + 1];
// Set when a heartbeat thread was asked to stop from itself (its log callback closed the
// camera): it could not be joined then and ends by itself; the next start joins it.
std::atomic<bool> g_leftRunning[GEV_MAX_CAMERAS + 1];

size_t slotOf(const GevCameraRecord& rec) { return gevValidCamera(rec.cameraNumber) ? rec.cameraNumber : 0; }
qx::sys::Event& finishedEvent(const GevCameraRecord& rec) { return g_finished[slotOf(rec)]; }

// Wakes and joins the thread of `slot` that stopped itself; false when there is none.
bool joinLeftRunning(GevCameraRecord& rec, size_t slot) {
    if (!g_leftRunning[slot].exchange(false)) return false;
    rec.heartbeatStop = 1;
    rec.heartbeatEvent.set();
    rec.heartbeatThread.join();
    return true;
}

bool isSocketError(GevStatus st) {
    return st == GEV_STATUS_SEND_ERROR || st == GEV_STATUS_RECEIVE_ERROR || st == GEV_STATUS_SOCKET_ERROR;
}

// Keep-open datagram: the word in host (little-endian) byte order.
void keepOpenBytes(uint8_t out[4]) { qx::sys::storeLe32(out, kKeepOpenWord); }

std::string ipText(uint32_t ip) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = ip;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// Keep-open step of a round: at most one datagram per keep-alive interval.
void maintainStreamPort(GevCameraRecord& rec) {
    const uint16_t port = rec.streamSourcePort.load();
    if (port == 0) return;
    const int64_t now = gevNowMs();
    if (now - rec.lastStreamKeepOpenMs.load() < int64_t(rec.keepAliveIntervalSec) * 1000) return;
    QX_GEV_LOG(rec.cameraNumber, GEV_LOG_DEBUG, "[D] Maintaining port {} open ...\n", port);
    gevSendStreamKeepOpen(rec);
}

} // namespace

bool gevSendStreamKeepOpen(GevCameraRecord& rec) {
    const uint16_t port = rec.streamSourcePort.load();
    if (port == 0) return false;
    qx::sys::MutexLock lock(rec.streamSocketLock);
    if (!rec.streamSocket.isOpen()) return false;
    rec.lastStreamKeepOpenMs = gevNowMs();
    uint8_t bytes[4];
    keepOpenBytes(bytes);
    int err = 0;
    if (rec.streamSocket.sendTo(rec.cameraIp, port, bytes, sizeof bytes, &err) != long(sizeof bytes)) {
        QX_GEV_LOG(rec.cameraNumber, GEV_LOG_ERROR, "[E] Send to stream channel source port. ({})\n", port);
        return false;
    }
    return true;
}

namespace {
// A process that exits with cameras still open stops the heartbeats of the library's records
// before their thread objects are destroyed (their join waits for the stop flag).
void stopHeartbeatsAtExit() {
    for (uint8_t cam = 1; cam <= GEV_MAX_CAMERAS; ++cam) {
        GevCameraRecord& rec = gevRecord(cam);
        if (rec.heartbeatThread.joinable() && !joinLeftRunning(rec, cam)) StopHeartbeatThread(rec, 1000);
    }
}
} // namespace

bool StartHeartbeatThread(GevCameraRecord& rec, GevHeartbeatRoutine routine) {
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(stopHeartbeatsAtExit); });
    if (rec.heartbeatThread.joinable()) {
        // One thread per record; a thread that stopped itself is woken and joined first (it
        // leaves at the stop flag a closed record keeps set).
        if (rec.heartbeatThread.isCurrent() || !joinLeftRunning(rec, slotOf(rec))) return false;
    }
    qx::sys::Event& finished = finishedEvent(rec);
    rec.heartbeatStop = 0;
    rec.heartbeatEvent.reset();
    finished.reset();
    GevHeartbeatRoutine run = routine ? routine : GevHeartbeatThread;
    try {
        rec.heartbeatThread = qx::sys::JoiningThread([run, &rec, &finished] {
            run(&rec);
            finished.set();
        });
        rec.heartbeatThread.setName("qx-heartbeat");
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void StopHeartbeatThread(GevCameraRecord& rec, uint32_t waitMs) {
    QX_GEV_LOG(rec.cameraNumber, GEV_LOG_DEBUG, "[D] Requesting the heartbeat thread to stop\n");
    if (!rec.heartbeatStop.load()) {
        rec.heartbeatStop = 1;
        rec.heartbeatEvent.set();
    }
    if (rec.heartbeatThread.joinable()) {
        // The thread's waits are all bounded (one period, one GVCP transaction), so the join
        // that follows a wait that ran out still ends. A log callback that closes the camera
        // runs on the thread itself, which cannot join itself: it leaves its loop at the stop
        // flag, which the record keeps set while closed, and is joined by the next start or
        // at exit.
        if (rec.heartbeatThread.isCurrent()) g_leftRunning[slotOf(rec)] = true;
        else finishedEvent(rec).wait(std::chrono::milliseconds(waitMs));
        rec.heartbeatThread.joinUnlessSelf();
    }
    rec.heartbeatEvent.reset();
    rec.heartbeatRunning = 0;
}

void GevHeartbeatThread(GevCameraRecord* recPtr) {
    GevCameraRecord& rec = *recPtr;
    const uint8_t cam = rec.cameraNumber;
    QX_GEV_LOG(cam, GEV_LOG_DEBUG, "[D] Heartbeat thread has started\n");
    QX_GEV_LOG(cam, GEV_LOG_DEBUG, "[D] Entering heartbeat loop (timeout={})\n", rec.heartbeatPeriodMs.load());
    int failures = 0;
    while (!rec.heartbeatStop.load()) {
        if (!rec.pendingAck.load()) {
            uint32_t ccp = 0;
            const GevStatus st = ReadRegister(cam, gvcp::reg::kCcp, 1, &ccp);
            if (st != GEV_STATUS_SUCCESS) {
                if (failures == 0) {
                    QX_GEV_LOG(cam, GEV_LOG_WARNING, "[W] CCP lost.\n");
                    rec.connectionState = GEV_CONNECTION_CCP_LOST;
                }
                if (isSocketError(st)) ReconnectSocket(rec);
                if (++failures >= kHeartbeatMaxFailures) {
                    rec.connectionState = GEV_CONNECTION_FAILURE;
                    rec.heartbeatStop = 1;
                    QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] CCP connection failure\n");
                    break;
                }
            } else {
                if (failures > 0) {
                    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] CCP reconnection.\n");
                    failures = 0;
                }
                if ((ccp & gvcp::field::kCcpPrivilegeMask) == rec.ccpMode) {
                    rec.connectionState = GEV_CONNECTION_OK;
                    QX_GEV_LOG(cam, GEV_LOG_VERBOSE, "[V] Connection heartbeat confirmed\n");
                } else {
                    QX_GEV_LOG(cam, GEV_LOG_WARNING, "[W] CCP access lost. Access mode reset.\n");
                    const uint32_t mode = rec.ccpMode;
                    if (WriteRegister(cam, gvcp::reg::kCcp, 1, &mode) != GEV_STATUS_SUCCESS) {
                        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Can't set mode in ccp register.\n");
                    } else {
                        ReconnectStreamChannel(rec);
                        ReconnectMessageChannel(rec);
                    }
                }
            }
            maintainStreamPort(rec);
        }
        const uint32_t period = std::max(rec.heartbeatPeriodMs.load(), kMinHeartbeatWaitMs);
        if (rec.heartbeatEvent.wait(std::chrono::milliseconds(period))) {
            QX_GEV_LOG(cam, GEV_LOG_VERBOSE, "[V] Inter-heartbeat delay interrupted.\n");
            rec.heartbeatEvent.reset();
        }
    }
    QX_GEV_LOG(cam, GEV_LOG_DEBUG, "[D] Left the hearthbeat loop\n");
}

void ReconnectSocket(GevCameraRecord& rec) {
    const uint8_t cam = rec.cameraNumber;
    QX_GEV_LOG(cam, GEV_LOG_DEBUG, "[D] ReconnectSocket\n");
    uint16_t port = 0;
    {
        qx::sys::MutexLock lock(rec.requestLock);
        rec.controlSocket.close();
        rec.hostControlPort = 0;
        if (rec.controlSocket.open(rec.adapterIp, 0) != 0 || rec.controlSocket.localPort(&port) != 0) {
            rec.controlSocket.close();
            QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Create control port.\n");
            return;
        }
        rec.hostControlPort = port;
    }
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Control channel port: {}\n", port);
    const uint32_t mode = rec.ccpMode;
    if (GevStatus st = WriteRegister(cam, gvcp::reg::kCcp, 1, &mode))
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Can't set mode in ccp register. Error code: {:08X}\n", st);
}

void ReconnectStreamChannel(GevCameraRecord& rec) {
    const uint8_t cam = rec.cameraNumber;
    uint32_t adapterIp = 0;
    uint16_t hostPort = 0;
    // An open or close of the channel waits until the registers are written back.
    qx::sys::MutexLock channel(rec.streamChannelLock);
    {
        // The stream channel's socket, address and port as its last open left them.
        qx::sys::MutexLock lock(rec.streamSocketLock);
        if (!rec.streamSocket.isOpen() || rec.ccpMode == GEV_CCP_OPEN) return;
        adapterIp = rec.adapterIp;
        hostPort = rec.hostStreamPort;
    }
    QX_GEV_LOG(cam, GEV_LOG_DEBUG, "[D] ReconnectStreamChannel\n");
    uint32_t value = 0;
    if (ReadRegister(cam, gvcp::reg::kScda0, 1, &value) != GEV_STATUS_SUCCESS) return;
    if (value == 0) {
        const uint32_t group = rec.multicastGroup.load();
        const uint32_t address = group ? group : adapterIp;
        const uint32_t host = ntohl(address);
        if (WriteRegister(cam, gvcp::reg::kScda0, 1, &host) != GEV_STATUS_SUCCESS) return;
        QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Set stream channel address: {}\n", ipText(address).c_str());
    }
    if (ReadRegister(cam, gvcp::reg::kScp0, 1, &value) != GEV_STATUS_SUCCESS) return;
    if (value == 0) {
        const uint32_t port = hostPort;
        if (WriteRegister(cam, gvcp::reg::kScp0, 1, &port) != GEV_STATUS_SUCCESS) return;
        QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Set stream channel port: {}\n", int(port));
    }
    uint32_t capability = 0;
    if (ReadRegister(cam, gvcp::reg::kGvspCapability, 1, &capability) != GEV_STATUS_SUCCESS) {
        rec.streamSourcePort = 0;
        return;
    }
    if (!(capability & gvcp::field::kSourcePortSupported)) {
        QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Firewall Traversal not supported (capabilities = {:x})\n", capability);
        return;
    }
    uint32_t scsp = 0;
    if (ReadRegister(cam, gvcp::reg::kScsp0, 1, &scsp) != GEV_STATUS_SUCCESS) return;
    rec.streamSourcePort = static_cast<uint16_t>(scsp & gvcp::field::kPortMask);
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Stream channel source port: {}\n", rec.streamSourcePort.load());
    if (rec.streamSourcePort.load() != 0) gevSendStreamKeepOpen(rec);
}

void ReconnectMessageChannel(GevCameraRecord& rec) {
    const uint8_t cam = rec.cameraNumber;
    if (rec.ccpMode == GEV_CCP_OPEN) return;
    QX_GEV_LOG(cam, GEV_LOG_DEBUG, "[D] ReconnectMessageChannel\n");
    uint32_t count = 0;
    if (ReadRegister(cam, gvcp::reg::kMessageChannels, 1, &count) != GEV_STATUS_SUCCESS) {
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Can't read register number of message channel.\n");
        return;
    }
    if (count == 0) {
        QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Message channel is not available.\n");
        return;
    }
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Message channel is available.\n");
    const uint32_t adapterHost = ntohl(rec.adapterIp);
    if (WriteRegister(cam, gvcp::reg::kMcda, 1, &adapterHost) != GEV_STATUS_SUCCESS)
        QX_GEV_LOG(cam, GEV_LOG_WARNING, "[W] Can't write to GevMCDA register to set message channel ip address.\n");
    const uint32_t port = gevMessagePort();
    if (WriteRegister(cam, gvcp::reg::kMcp, 1, &port) != GEV_STATUS_SUCCESS) {
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Can't set message channel port.\n");
        return;
    }
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Message channel port: {}\n", int(port));
    uint32_t capability = 0, mcsp = 0;
    if (ReadRegister(cam, gvcp::reg::kMessageChannelCapability, 1, &capability) != GEV_STATUS_SUCCESS ||
        !(capability & gvcp::field::kSourcePortSupported))
        return;
    if (ReadRegister(cam, gvcp::reg::kMcsp, 1, &mcsp) != GEV_STATUS_SUCCESS) return;
    const uint16_t source = static_cast<uint16_t>(mcsp & gvcp::field::kPortMask);
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Message channel source port: {}\n", source);
    gevMessageSetSourcePort(rec, source);
}

GevStatus gevHeartbeatStart(uint8_t cam) {
    return StartHeartbeatThread(gevRecord(cam)) ? GEV_STATUS_SUCCESS : GEV_STATUS_CANNOT_START_THREAD;
}

void gevHeartbeatStop(uint8_t cam, uint32_t waitMs) { StopHeartbeatThread(gevRecord(cam), waitMs); }

} // namespace qx::gige

using namespace qx::gige;

GevStatus GEVGetHeartbeatTimeout(uint8_t cam_nr, int32_t* timeoutMs) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    if (!timeoutMs) return GEV_STATUS_INVALID_PARAMETER;
    uint32_t value = 0;
    if (GevStatus st = ReadRegister(cam_nr, gvcp::reg::kHeartbeatTimeout, 1, &value)) return st;
    *timeoutMs = static_cast<int32_t>(value);
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVSetHeartbeatTimeout(uint8_t cam_nr, uint32_t ms) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    const uint32_t value = std::max<uint32_t>(ms, 500);
    if (GevStatus st = WriteRegister(cam_nr, gvcp::reg::kHeartbeatTimeout, 1, &value)) return st;
    GevCameraRecord& rec = gevRecord(cam_nr);
    rec.heartbeatPeriodMs = value / 3;
    rec.heartbeatEvent.set();
    return GEV_STATUS_SUCCESS;
}
