// The message thread: serves the process-wide message socket for every open camera.
#include "gige/GevMessageThread.h"

#include <cstdlib>
#include <mutex>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>

#include "gige/GevHeartbeat.h"
#include "Sys/ByteOrder.h"
#include "Sys/JoiningThread.h"

namespace qx::gige {

namespace {

// Owned by the message channel; started and joined under gevMessageChannel().mutex.
qx::sys::JoiningThread g_thread;
qx::sys::Event g_finished;

const char kKeepAlive[4] = {'d', 'm', 'm', 'y'};

// One keep-alive pass over the cameras the thread serves; the caller holds recordsLock.
void sendKeepAlives(GevMessageChannel& mc) {
    const int64_t now = gevNowMs();
    for (uint8_t cam = 1; cam <= GEV_MAX_CAMERAS; ++cam) {
        GevCameraRecord& rec = gevRecord(cam);
        if (!rec.messageChannelAvailable.load() || rec.messageSourcePort == 0) continue;
        if ((now - rec.lastKeepAliveMs.load()) / 1000 < int64_t(rec.keepAliveIntervalSec)) continue;
        rec.lastKeepAliveMs = now;
        if (mc.socket.sendTo(rec.cameraIp, rec.messageSourcePort, kKeepAlive, sizeof kKeepAlive) !=
            long(sizeof kKeepAlive))
            QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Send to message channel source port. ({})", rec.messageSourcePort);
    }
}

// One received datagram; the caller holds recordsLock.
void dispatch(GevMessageChannel& mc, const uint8_t* data, const qx::net::Datagram& d) {
    uint8_t cam = 0;
    for (uint8_t c = 1; c <= GEV_MAX_CAMERAS && cam == 0; ++c) {
        GevCameraRecord& rec = gevRecord(c);
        if (rec.messageChannelAvailable.load() && rec.cameraIp == d.sourceIp) cam = c;
    }
    if (cam == 0 || d.copied <= 7) return;
    gvcp::EventPacket e;
    // Anything but a complete EVENT or EVENTDATA command is dropped; the thread goes on
    // serving the other datagrams and cameras.
    if (!gvcp::decodeEventCmd(data, d.copied, &e)) return;
    bool acknowledged = false;
    if (e.flags & gvcp::kFlagAckRequired) {
        auto ack = gvcp::encodeEventAck(e.command, e.requestId);
        int err = 0;
        if (mc.socket.sendTo(d.sourceIp, d.sourcePort, ack.data(), ack.size(), &err) != long(ack.size()))
            QX_GEV_REPORT("[E] Send error {}. Cancel messages processing", err);
        else acknowledged = true;
    }
    GevCameraRecord& rec = gevRecord(cam);
    GevEventCallback callback = rec.eventCallback.load();
    if (!callback) {
        QX_GEV_REPORT("{}", gevEventReportText(cam, e.eventId, e.requestId, acknowledged).c_str());
        return;
    }
    GevEvent event;
    event.EventId = e.eventId;
    event.StreamChannel = e.streamChannel;
    event.BlockId = e.blockId;
    event.Timestamp = e.timestamp;
    event.Data = e.dataLength ? e.data : nullptr;
    event.DataLength = static_cast<uint32_t>(e.dataLength);
    callback(cam, &event);
}

} // namespace

std::string gevEventReportText(uint8_t cam, uint16_t eventId, uint16_t requestId, bool acknowledged) {
    const char* ack = acknowledged ? " (ack)" : "";
    char text[256];
    if (eventId == gvcp::kEventTrigger)
        std::snprintf(text, sizeof text, "[I] Message Channel Device %d ->%s trigger event", cam, ack);
    else if (eventId == gvcp::kEventStartOfExposure)
        std::snprintf(text, sizeof text, "[I] Message Channel Device %d -> %s start of exposure", cam, ack);
    else if (eventId == gvcp::kEventEndOfExposure)
        std::snprintf(text, sizeof text, "[I] Message Channel Device %d -> %s end of exposure", cam, ack);
    else if (eventId == gvcp::kEventStartOfTransfer)
        std::snprintf(text, sizeof text, "[I] Message Channel Device %d -> %s stream channel start of transfer", cam,
                      ack);
    else if (eventId == gvcp::kEventEndOfTransfer)
        std::snprintf(text, sizeof text, "[I] Message Channel Device %d -> %s stream channel end of transfer", cam,
                      ack);
    else if (eventId == gvcp::kEventPrimarySwitchover)
        std::snprintf(text, sizeof text,
                      "[I] Message Channel Device %d -> %s primary application switchover has been granted", cam, ack);
    else if (eventId == gvcp::kEventLinkSpeedChange)
        std::snprintf(text, sizeof text,
                      "[I] Message Channel Device %d -> %s indicates that the link speed has changed", cam, ack);
    else if (eventId == gvcp::kEventActionLate)
        std::snprintf(text, sizeof text,
                      "[I] Message Channel Device %d -> %s execution of a scheduled action command was late", cam, ack);
    else if (eventId > gvcp::kEventActionLate && eventId <= gvcp::kEventReservedLast)
        std::snprintf(text, sizeof text, "[I] Message Channel Device %d -> %s reserved event", cam, ack);
    else if (eventId > gvcp::kEventReservedLast && eventId <= gvcp::kEventErrorLast)
        std::snprintf(text, sizeof text, "[I] Message Channel Device %d -> %s error event", cam, ack);
    else if (eventId > gvcp::kEventErrorLast)
        std::snprintf(text, sizeof text,
                      "[I] Message Channel Device %d -> %s device-specific event: 0x%04X, req_Id: %d", cam, ack,
                      eventId, requestId);
    else std::snprintf(text, sizeof text, "[I] Message Channel Device %d -> %s unknown event", cam, ack);
    return text;
}

void GevMessageThread() {
    GevMessageChannel& mc = gevMessageChannel();
    std::vector<uint8_t> buffer(kMessageDatagramMax);
    while (!mc.stopFlag.load()) {
        {
            qx::sys::MutexLock lock(mc.recordsLock);
            sendKeepAlives(mc);
        }
        if (mc.socket.waitReadable(kMessageWaitMs) != qx::net::WaitResult::Readable) continue;
        qx::net::Datagram d = mc.socket.receive(buffer.data(), buffer.size());
        if (!d.ok()) continue;
        qx::sys::MutexLock lock(mc.recordsLock);
        dispatch(mc, buffer.data(), d);
    }
}

namespace {
// A process that exits with a camera still open stops the thread before its object is
// destroyed (the join waits for the stop flag).
void stopMessageThreadAtExit() { gevMessageThreadStop(1000); }
} // namespace

bool gevMessageThreadStart() {
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(stopMessageThreadAtExit); });
    if (g_thread.joinable()) return true;
    g_finished.reset();
    try {
        g_thread = qx::sys::JoiningThread([] {
            GevMessageThread();
            g_finished.set();
        });
        g_thread.setName("qx-gvcp-events");
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void gevMessageThreadStop(uint32_t waitMs) {
    gevMessageChannel().stopFlag = 1;
    if (!g_thread.joinable()) return;
    // Every wait of the thread is bounded (kMessageWaitMs, one event callback), so the join
    // that follows a wait that ran out still ends.
    g_finished.wait(std::chrono::milliseconds(waitMs));
    g_thread.join();
}

uint16_t gevMessagePort() {
    GevMessageChannel& mc = gevMessageChannel();
    qx::sys::MutexLock lock(mc.mutex);
    return mc.port;
}

void gevMessageChannelAttach(GevCameraRecord& rec) {
    qx::sys::MutexLock lock(gevMessageChannel().recordsLock);
    rec.messageChannelAvailable = 1;
}

void gevMessageChannelDetach(GevCameraRecord& rec) {
    qx::sys::MutexLock lock(gevMessageChannel().recordsLock);
    rec.messageChannelAvailable = 0;
    rec.messageSourcePort = 0;
}

void gevMessageSetSourcePort(GevCameraRecord& rec, uint16_t port) {
    GevMessageChannel& mc = gevMessageChannel();
    if (port != 0) {
        // Never under recordsLock: stopping the thread holds mc.mutex while the thread may
        // wait for recordsLock.
        qx::sys::MutexLock lock(mc.mutex);
        uint8_t bytes[4];
        qx::sys::storeLe32(bytes, kKeepOpenWord);
        if (!mc.socket.isOpen() || mc.socket.sendTo(rec.cameraIp, port, bytes, sizeof bytes) != long(sizeof bytes))
            QX_GEV_LOG(rec.cameraNumber, GEV_LOG_ERROR, "[E] Send to message channel source port. ({})\n", port);
    }
    qx::sys::MutexLock lock(mc.recordsLock);
    rec.messageSourcePort = port;
    rec.lastKeepAliveMs = gevNowMs() - int64_t(rec.keepAliveIntervalSec) * 1000;
}

} // namespace qx::gige
