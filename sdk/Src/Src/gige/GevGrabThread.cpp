// The grab thread of an acquiring camera: it reads the stream socket in batches, feeds the
// GvspReceiver, and asks for lost packets with PACKETRESEND on the control socket.
#include "gige/GevStreamState.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "gige/GvspProtocol.h"
#include "Sys/LogThrottle.h"

namespace qx::gige {

namespace {

// A datagram on the stream port that is not the camera's stream: dropped, counted, and logged
// at most once a second with the count since the line before.
void noteForeign(uint8_t cam, const qx::net::Datagram& d, sys::LogThrottle& log) {
    GevStreamState& st = state(cam);
    ++st.foreignDatagrams;
    if (const uint64_t since = log.note())
        QX_GEV_LOG(logCam(cam), GEV_LOG_WARNING,
                   "[W] {} datagram(s) dropped that are not the camera's stream, the last from {}:{} ({} in all)\n",
                   static_cast<unsigned long long>(since), ipText(d.sourceIp).c_str(), d.sourcePort,
                   static_cast<unsigned long long>(log.total()));
}

} // namespace

// Reads what waits on the stream socket until it runs dry (within waitUs) or `limit` bytes
// were read.
GevStatus FlushStreamSocket(uint8_t cam, uint32_t limit, int waitUs, uint32_t packetPayload) {
    GevCameraRecord& rec = gevRecord(cam);
    GevStreamState& st = state(cam);
    const uint32_t P = st.packetPayload ? st.packetPayload : packetPayload;
    if (P == 0) {
        QX_GEV_LOG(logCam(cam), GEV_LOG_WARNING, "[W] Ignoring request to flush socket while Image size is unknown\n");
        return GEV_STATUS_BUFFERS_NOT_INI;
    }
    const uint32_t size = P + (rec.gevMajor >= 2 ? 48 : 36);
    QX_GEV_LOG(logCam(cam), GEV_LOG_VERBOSE, "[V] Using {}-sized buffer to flush up to {} bytes of trailing data\n",
               size, limit);
    std::vector<uint8_t> buffer(size);
    uint64_t total = 0;
    GevStatus result = GEV_STATUS_SUCCESS;
    // Bounded: at most as many datagrams as a full large receive buffer can hold, plus some.
    for (int i = 0; i < 65536; ++i) {
        if (rec.streamSocket.waitReadable(waitUs / 1000) != qx::net::WaitResult::Readable) break;
        qx::net::Datagram d = rec.streamSocket.receive(buffer.data(), buffer.size());
        if (!d.ok()) break;
        total += d.copied;
        sched_yield();
        if (total >= limit) {
            result = GEV_STATUS_TIMEOUT;
            break;
        }
    }
    QX_GEV_LOG(logCam(cam), GEV_LOG_INFO, "[I] Flush stream channel socket [len = {}].\n", static_cast<int>(total));
    return result;
}

// PACKETRESEND on the control socket.
bool SendPacketResend(uint8_t cam, uint64_t blockId, bool extended, uint32_t first, uint32_t last) {
    GevCameraRecord& rec = gevRecord(cam);
    GevStreamState& st = state(cam);
    gvsp::GevResendRequest r;
    r.requestId = st.resendRequestId;
    st.resendRequestId = gvcp::nextRequestId(st.resendRequestId);
    r.extended = extended;
    r.blockId = blockId;
    r.firstPacket = first;
    r.lastPacket = last;
    if (extended)
        QX_GEV_LOG(logCam(cam), GEV_LOG_VERBOSE, "[V] Resend request for packets {}->{} of block {}(gv=2)\n", first,
                   last, static_cast<long long>(blockId));
    else
        QX_GEV_LOG(logCam(cam), GEV_LOG_VERBOSE, "[V] Resend request for block {} packets {}->{}\n",
                   static_cast<int>(blockId), first, last);
    const std::vector<uint8_t> cmd = gvsp::BuildPacketResend(r);
    // PACKETRESEND has no acknowledge: it goes out at once, one datagram between the control
    // channel's own, without waiting behind a transaction's acknowledge wait (which the request
    // lock covers) and without turning the channel busy for the application's accesses. The
    // socket stays open: the camera is closed only after the grab thread ended.
    int error = 0;
    const long sent = rec.controlSocket.sendTo(rec.cameraIp, rec.devicePort, cmd.data(), cmd.size(), &error);
    if (sent <= 0) {
        QX_GEV_LOG(logCam(cam), GEV_LOG_WARNING,
                   "[W] Failed to send {} bytes packet resend request ({} only), error {}\n",
                   static_cast<int>(cmd.size()), static_cast<int>(sent), error);
        return false;
    }
    return true;
}

void grab_func(uint8_t cam) {
    GevCameraRecord& rec = gevRecord(cam);
    GevStreamState& st = state(cam);
    GvspReceiver& rx = *st.receiver;
    const uint8_t lc = logCam(cam);
    // Datagrams are read in batches of up to kBatch, one system call each; the thread waits
    // for the socket only when a batch comes back empty.
    constexpr int kBatch = 64;
    constexpr std::chrono::microseconds kGatherPause{500};
    const size_t slot = size_t(st.packetPayload) + 100;
    std::vector<uint8_t> buffers(slot * kBatch);
    qx::net::Datagram batch[kBatch];
    const int waitMs = rec.sc_timeout == 0xFFFF ? 200 : static_cast<int>(std::max<uint32_t>(rec.sc_timeout, 1));
    int rcvbuf = 0;
    rec.streamSocket.receiveBuffer(&rcvbuf);
    QX_GEV_LOG(lc, GEV_LOG_VERBOSE, "[V] Entering grab_func loop with rcvbuf_size = {}, bufs=({:x}, {:x}, {:x})\n",
               rcvbuf, 0xDEAD, 0xDEAD, 0xDEAD);
    const bool timerMode = st.resendTimerMode;
    const bool resend = st.resendOn;
    int64_t lastCapturedLog = 0;
    long lastLength = -1;
    bool modeReported = false;
    int64_t silentSince = -1; // start of the current silence on the socket
    sys::LogThrottle foreignLog;
    // The loop ends when asked (KillGrab, seen at least every select wait) or when the frames to
    // grab were delivered.
    bool done = false;
    while (!done && !rec.KillGrab.load()) {
        int error = 0;
        const int n = rec.streamSocket.receiveBatch(buffers.data(), slot, batch, kBatch, &error);
        if (n > 0) { // the lock is taken only for a batch that brought packets
            qx::sys::MutexLock loan(st.loanLock);
            // Only the camera's stream counts: its address and, where it reports one, its stream
            // channel source port (read per batch: a reconnection may read it again).
            const uint16_t sourcePort = rec.streamSourcePort.load();
            for (int i = 0; i < n && !done; ++i) {
                const qx::net::Datagram& d = batch[i];
                const uint8_t* packet = buffers.data() + size_t(i) * slot;
                if (d.length != lastLength) {
                    QX_GEV_LOG(lc, GEV_LOG_VERBOSE, "[V] recieve length : {}\n", static_cast<int>(d.length));
                    lastLength = d.length;
                }
                if (rec.KillGrab.load()) {
                    if (!rx.currentExists())
                        QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Acknowledge kill request despites data\n");
                    if (rx.packetTooLargeSeen())
                        QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Acknowledge kill request with PacketLarger\n");
                    done = true;
                    break;
                }
                if (d.sourceIp != rec.cameraIp || (sourcePort != 0 && d.sourcePort != sourcePort)) {
                    noteForeign(cam, d, foreignLog);
                    continue;
                }
                if (d.copied < gvsp::kHeaderSize) continue;
                const int used = rx.ProcessStreamPacket(packet, d.copied);
                const int64_t now = gevNowMs();
                if (resend) rx.resendTick(now, false);
                if (used == 0 && now - lastCapturedLog >= 100) {
                    QX_GEV_LOG(lc, GEV_LOG_WARNING, "[W] Captured img packet\n");
                    lastCapturedLog = now;
                }
                if (!modeReported && rx.blockIdMode() != GvspBlockIdMode::Undecided) {
                    modeReported = true;
                    const bool extended = rx.blockIdMode() == GvspBlockIdMode::Extended;
                    if (extended != (rec.gevMajor >= 2))
                        QX_GEV_LOG(lc, GEV_LOG_WARNING,
                                   "[W] Version mismatch. GEV Version: {}, GVSP Version (Extended ID): {}\n",
                                   rec.gevMajor, extended ? 2 : 1);
                }
                if (st.framesToGrab != 0) {
                    const uint64_t delivered = rx.delivered.load() - (st.frameCountMode ? 0 : rx.missingBlocks.load());
                    if (delivered >= st.framesToGrab) {
                        rec.KillGrab = 1;
                        done = true;
                    }
                }
            }
        }
        if (n > 0 || done) {
            silentSince = -1;
            // A short batch in the middle of a block: the socket ran dry and the rest of the block
            // is on its way. Waiting for the socket now would wake the thread for every few
            // datagrams (a 1500-byte stream is hundreds of wake-ups a frame); a short pause lets
            // them gather into full batches. The receive buffer holds a frame.
            if (!done && n < kBatch && rx.currentExists()) std::this_thread::sleep_for(kGatherPause);
            continue;
        }
        if (n < 0) std::this_thread::yield();

        // Nothing waits: wait for the socket. While a block waits for resent packets in the
        // immediate mode, the wait is cut to the re-ask wait so that its rounds go on.
        const int64_t start = gevNowMs();
        if (silentSince < 0) silentSince = start;
        const bool pending = !timerMode && rx.resendPending();
        const int silentMs = static_cast<int>(start - silentSince);
        const int wait =
            pending ? std::max(1, std::min(static_cast<int>(rx.reaskWaitMs()), waitMs - silentMs)) : waitMs;
        const qx::net::WaitResult w = rec.streamSocket.waitReadable(wait, &error);
        if (w == qx::net::WaitResult::Readable) {
            const int waiting = rec.streamSocket.pendingBytes();
            if (waiting > 0xFFFFF)
                QX_GEV_LOG(lc, GEV_LOG_DEBUG, "[D] There are too much pending data:{}, whereas rcvbuf_size:{}\n",
                           static_cast<unsigned>(waiting), rcvbuf);
            continue;
        }
        const int64_t now = gevNowMs();
        if (!rec.KillGrab.load() && (timerMode || (pending && now - silentSince < waitMs))) {
            qx::sys::MutexLock feeding(st.loanLock);
            rx.resendTick(now, true); // silence: the pending block's trailer counts as seen
            continue;
        }
        {
            qx::sys::MutexLock feeding(st.loanLock);
            rx.flushOnIdle();
        }
        silentSince = -1;
        if (rec.KillGrab.load()) {
            QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Acknowledge kill request\n");
            break;
        }
        if (w == qx::net::WaitResult::Error) std::this_thread::yield();
    }
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] GrabFunc leaving main loop\n");
    {
        qx::sys::MutexLock feeding(st.loanLock);
        rx.flushAtEnd();
    }
    {
        qx::sys::MutexLock lock(st.doneMutex);
        st.grabDone = true;
    }
    st.doneCv.notify_all();
}

} // namespace qx::gige
