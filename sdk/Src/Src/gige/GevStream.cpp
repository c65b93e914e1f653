// The stream channel of a camera: GVSP socket set-up, acquisition start and stop (the grab
// thread itself is in GevGrabThread.cpp), GEVGetImage, packet resend and the frame rate.
#include "gige/GevStream.h"

#include <arpa/inet.h>

#include <cerrno>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "gige/GevFilterDriver.h"
#include "gige/GevHeartbeat.h"
#include "gige/GevRecord.h"
#include "gige/GevRing.h"
#include "gige/GevStreamChannel.h"
#include "gige/GevStreamState.h"
#include "gige/GvcpProtocol.h"
#include "gige/GvspProtocol.h"
#include "gige/GvspReceiver.h"
#include "Sys/JoiningThread.h"
#include "Sys/PixelFormat.h"

namespace qx::gige {

namespace {

constexpr int kLargeReceiveBuffer = 0x100000;
constexpr uint64_t kMaxReceiveBuffer = 64ull << 20;
constexpr uint32_t kReaskWaitMs = 10;

GevStreamState g_states[GEV_MAX_CAMERAS + 1];

} // namespace

GevStreamState& state(uint8_t cam) { return g_states[gevValidCamera(cam) ? cam : 0]; }

std::string ipText(uint32_t ip) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = ip;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

namespace {

GevStatus stopLocked(uint8_t cam_nr, uint32_t mode);

template <typename S>
void logLocalTime(uint8_t cam, const S& format) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    gevLogLine(cam, GEV_LOG_INFO, QX_FUNC, format, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

bool isMulticast(uint32_t ipNetworkOrder) {
    const uint32_t first = ntohl(ipNetworkOrder) >> 24;
    return first >= 224 && first <= 239;
}

// Opens a stream socket on ip:port with the large receive buffer (address reuse for a group's
// receivers); where the system caps receive buffers below it, with what the system grants.
GevStatus CreateUdpSocket(qx::net::UdpSocket& socket, uint32_t ip, uint16_t port, bool reuse, uint8_t lc) {
    qx::net::UdpSocketOptions o;
    o.reuseAddress = reuse;
    o.receiveBufferBytes = kLargeReceiveBuffer;
    int err = socket.open(ip, port, o);
    if (err == ENOBUFS) {
        // The system caps receive buffers below 1 MiB: stream with what it grants.
        o.receiveBufferBytes = 0;
        err = socket.open(ip, port, o);
        if (err == 0)
            QX_GEV_LOG(lc, GEV_LOG_WARNING, "[W] Stream socket receive buffer below {} bytes\n", kLargeReceiveBuffer);
    }
    return err == 0 ? GEV_STATUS_SUCCESS : GEV_STATUS_CANNOT_CREATE_SOCKET;
}

// At process exit the grab threads of cameras still acquiring are stopped and joined, before
// the records and stream state they use are destroyed.
void stopGrabThreadsAtExit() {
    for (uint8_t cam = 1; cam <= GEV_MAX_CAMERAS; ++cam) {
        GevStreamState& st = g_states[cam];
        qx::sys::MutexLock acq(st.acquisitionLock);
        if (!st.grabThread.joinable()) continue;
        gevRecord(cam).KillGrab = 1;
        st.grabThread.join();
    }
}

// Sizes the stream socket's receive buffer from the stream and reads back what the system
// granted; a buffer below one frame cuts every frame that arrives in one burst, which a user can
// only mend in the system's settings.
void sizeReceiveBuffer(uint8_t cam, uint32_t payloadSize, uint32_t packets, uint32_t overhead) {
    GevCameraRecord& rec = gevRecord(cam);
    GevStreamState& st = state(cam);
    const uint8_t lc = logCam(cam);
    const uint64_t frame = gevStreamFrameBytes(payloadSize, packets, overhead);
    const int want = gevStreamReceiveBufferBytes(payloadSize, packets, overhead);
    int granted = 0;
    const int err = rec.streamSocket.requestReceiveBuffer(want, &granted);
    QX_GEV_LOG(lc, GEV_LOG_VERBOSE, "[V] Stream socket receive buffer: asked {} bytes, granted {} (err={})\n", want,
               granted, err);
    if (err == 0) st.cachedReceiveBuffer = granted * 2; // as SO_RCVBUF reports it
    if (uint64_t(granted) < frame)
        QX_GEV_LOG(
            lc, GEV_LOG_WARNING,
            "[W] Stream socket receive buffer of {} bytes is below one frame ({} bytes): frames arriving in a burst will be lost. Raise net.core.rmem_max to {} (sysctl -w net.core.rmem_max={})\n",
            granted, static_cast<unsigned long long>(frame), want, want);
}

// StartAcquisition's packet layout: the bytes around each packet's payload (IP, UDP and GVSP
// headers; the extended header only where the channel uses it), whether an extra packet
// follows the data, and the payload of one packet (0 or less: the packet size leaves no room).
GevStatus readPacketLayout(uint8_t cam, uint32_t* header, bool* extra, int64_t* payloadPerPacket) {
    GevCameraRecord& rec = gevRecord(cam);
    uint32_t H = rec.gevMajor < 2 ? 36 : 48;
    uint32_t gvspCap = 0, scCfg = 0;
    if (ReadRegister(cam, gvcp::reg::kGvspCapability, 1, &gvspCap) == GEV_STATUS_SUCCESS && (gvspCap & 0x40000002) &&
        ReadRegister(cam, gvcp::reg::kScCapabilityCfg, 1, &scCfg) == GEV_STATUS_SUCCESS && rec.gevMajor >= 2 &&
        !(scCfg & 0x40000000))
        H = 36;
    uint32_t scc = 0, sccfg = 0;
    const bool extraPacket = ReadRegister(cam, gvcp::reg::kScc0, 1, &scc) == GEV_STATUS_SUCCESS &&
                             ReadRegister(cam, gvcp::reg::kScConfig0, 1, &sccfg) == GEV_STATUS_SUCCESS &&
                             (scc & 0x80) && (sccfg & 0x80);
    uint32_t scps = 0;
    if (GevStatus s = ReadRegister(cam, gvcp::reg::kScps0, 1, &scps)) return s;
    const int64_t P = int64_t(scps & 0xFFFF) - H - (extraPacket ? 16 : 0);
    *header = H;
    *extra = extraPacket;
    *payloadPerPacket = P;
    return P > 0 ? GEV_STATUS_SUCCESS : GEV_STATUS_INVALID_PARAMETER;
}

// StartAcquisition's stream socket: the unicast socket opened with the camera is flushed and
// given back the receive buffer of its last use; an open-access multicast receiver opens and
// joins its own.
GevStatus prepareStreamSocket(uint8_t cam, uint32_t payloadSize, uint32_t packetPayload) {
    GevCameraRecord& rec = gevRecord(cam);
    GevStreamState& st = state(cam);
    const uint8_t lc = logCam(cam);
    const bool openMulticast = rec.ccpMode == GEV_CCP_OPEN && rec.multicastGroup.load() != 0;
    if (!openMulticast) {
        if (!rec.streamSocket.isOpen()) return GEV_STATUS_CANNOT_CREATE_SOCKET;
        if (st.cachedReceiveBuffer > 0) {
            FlushStreamSocket(cam, payloadSize, 0, packetPayload);
            int err = rec.streamSocket.setReceiveBuffer(st.cachedReceiveBuffer / 2);
            QX_GEV_LOG(lc, GEV_LOG_VERBOSE, "[V] Reusing socket. forcing {} of network stack buffers (err={})\n",
                       st.cachedReceiveBuffer, err);
        } else {
            int err = rec.streamSocket.receiveBuffer(&st.cachedReceiveBuffer);
            QX_GEV_LOG(lc, GEV_LOG_VERBOSE, "[V] First socket use. {} of network stack buffers (err={})\n",
                       st.cachedReceiveBuffer, err);
        }
    } else if (!rec.streamSocket.isOpen()) {
        qx::sys::MutexLock lock(rec.streamSocketLock);
        qx::net::UdpSocketOptions o;
        o.reuseAddress = true;
        o.receiveBufferBytes = kLargeReceiveBuffer;
        // Bound to the wildcard address: the system delivers group datagrams only to sockets
        // bound to the group or to it, never to one bound to the adapter's own address.
        if (rec.streamSocket.open(0, rec.hostStreamPort, o) != 0 &&
            rec.streamSocket.open(0, rec.hostStreamPort, qx::net::UdpSocketOptions{true, true, 0}) != 0)
            return GEV_STATUS_CANNOT_CREATE_SOCKET;
        if (rec.streamSocket.joinMulticast(rec.multicastGroup.load(), rec.adapterIp) != 0) {
            rec.streamSocket.close();
            return GEV_STATUS_CANNOT_SET_SOCKET_OPT;
        }
    }
    return GEV_STATUS_SUCCESS;
}

GevStatus StartAcquisition(uint8_t cam, uint32_t framesToGrab, uint32_t payloadSize, uint32_t width, uint32_t height,
                           uint32_t pixelFormat) {
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(stopGrabThreadsAtExit); });
    GevCameraRecord& rec = gevRecord(cam);
    GevStreamContext& ctx = gevStream(cam);
    GevStreamState& st = state(cam);
    const uint8_t lc = logCam(cam);
    if (!rec.KillGrab.load() || st.grabThread.joinable()) return GEV_STATUS_BUSY;
    if (payloadSize == 0) return GEV_STATUS_INVALID_PARAMETER;

    st.framesToGrab = framesToGrab;
    st.payloadSize = payloadSize;
    st.lastFrameRate = 0.0;
    st.fps.reset();
    ctx.resetCounters();
    ctx.logCameraNumber = lc;
    st.stats = GevStreamStatistics{};
    st.foreignDatagrams = 0;

    uint32_t H = 0;
    bool extra = false;
    int64_t P = 0;
    if (GevStatus s = readPacketLayout(cam, &H, &extra, &P)) return s;
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Width: {}\n", width);
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Height: {}\n", height);
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] PixelFormat: 0x{:08X}\n", pixelFormat);
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] BitsPerPixel: {}\n", sys::pixelBits(pixelFormat));
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] PayloadSize: {}\n", payloadSize);
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] PayloadPacketSize: {}\n", static_cast<int>(P));
    const uint32_t packets = GvspReceiver::packetsFor(payloadSize, static_cast<uint32_t>(P), extra);
    if (packets == 0) return GEV_STATUS_INVALID_PARAMETER;
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Number of payload packets: {}\n", packets - (extra ? 1 : 0));
    uint32_t delay = 0;
    if (GevStatus s = ReadRegister(cam, gvcp::reg::kScpd0, 1, &delay)) return s;
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] PacketDelay: {}\n", delay);

    if (GevStatus s = prepareStreamSocket(cam, payloadSize, static_cast<uint32_t>(P))) return s;
    if (rec.streamSocket.isOpen()) sizeReceiveBuffer(cam, payloadSize, packets, H);

    st.width = width;
    st.height = height;
    st.pixelFormat = pixelFormat;
    st.packetPayload = static_cast<uint32_t>(P);
    st.extraPacket = extra;
    ctx.payloadPerPacket = static_cast<uint16_t>(P);

    if (rec.filterDriverActive) { // the driver receives the stream: no ring, no grab thread
        if (GevStatus s = gevFilterStreamStart(cam, payloadSize, width, height, pixelFormat, static_cast<uint16_t>(P),
                                               extra, rec.multicastGroup.load()))
            return s;
        // The socket keeps the port; it queues next to nothing of the stream meanwhile.
        if (rec.streamSocket.isOpen()) rec.streamSocket.setReceiveBuffer(0);
        rec.KillGrab = 0;
        return GEV_STATUS_SUCCESS;
    }
    {
        qx::sys::MutexLock lock(st.ringLock);
        QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Allocate ring buffer for {} images. (ring={})\n", ctx.ringImageCount, 0);
        st.ring = AllocateRing(ctx.ringImageCount, payloadSize, static_cast<uint32_t>(P), packets, width, height,
                               pixelFormat);
        QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Allocate index buffer for images.\n");
        if (!st.ring) return GEV_STATUS_CANNOT_ALLOC_MEMORY;
        GvspReceiverConfig cfg;
        cfg.payloadSize = payloadSize;
        cfg.width = width;
        cfg.height = height;
        cfg.pixelFormat = pixelFormat;
        cfg.packetPayload = static_cast<uint32_t>(P);
        cfg.extraPacket = extra;
        st.resendTimerMode = ctx.resendEnabled && rec.sc_timeout == 0xFFFF;
        cfg.resendMode = ctx.resendEnabled ? (st.resendTimerMode ? GvspReceiver::kTimerMode : 1) : 0;
        cfg.resendWaitMs = rec.sc_timeout == 0xFFFF ? 200 : rec.sc_timeout;
        // A resent packet comes within a few milliseconds; a block lives about one frame in the
        // previous slot, so the immediate mode asks again well within that.
        cfg.reaskWaitMs = std::max<uint32_t>(1, std::min<uint32_t>(kReaskWaitMs, cfg.resendWaitMs));
        st.resendOn = cfg.resendMode != 0;
        cfg.roundLimit = 0x100000 / (static_cast<uint32_t>(P) + 100);
        cfg.resendBudget = ctx.sc_packet_resend;
        cfg.reorderTolerance = ctx.reorderTolerance;
        cfg.gevMajor = rec.gevMajor;
        cfg.logCam = lc;
        st.resendRequestId = 1;
        try {
            st.receiver = std::make_unique<GvspReceiver>(
                cfg, *st.ring,
                [cam](uint64_t block, bool ext, uint32_t first, uint32_t last) {
                    return SendPacketResend(cam, block, ext, first, last);
                },
                &st.fps);
        } catch (const std::bad_alloc&) {
            FreeRing(st.ring, lc);
            return GEV_STATUS_CANNOT_ALLOC_MEMORY;
        }
    }
    rec.KillGrab = 0;
    st.grabDone = false;
    try {
        st.grabThread = sys::JoiningThread(grab_func, cam);
        st.grabThread.setName("qx-gvsp-rx");
    } catch (const std::system_error&) {
        rec.KillGrab = 1;
        st.grabDone = true;
        qx::sys::MutexLock lock(st.ringLock);
        st.receiver.reset();
        FreeRing(st.ring, lc);
        return GEV_STATUS_CANNOT_START_THREAD;
    }
    return GEV_STATUS_SUCCESS;
}

} // namespace

uint64_t gevStreamFrameBytes(uint32_t payloadSize, uint32_t packets, uint32_t overhead) {
    return uint64_t(payloadSize) + (uint64_t(packets) + 2) * overhead; // data packets, leader, trailer
}

int gevStreamReceiveBufferBytes(uint32_t payloadSize, uint32_t packets, uint32_t overhead) {
    const uint64_t two = 2 * gevStreamFrameBytes(payloadSize, packets, overhead);
    return static_cast<int>(std::min(std::max<uint64_t>(two, kLargeReceiveBuffer), kMaxReceiveBuffer));
}

// Hooks of GEVInit / GEVClose.
void gevStreamInit(uint8_t cam) {
    GevStreamState& st = state(cam);
    GevCameraRecord& rec = gevRecord(cam);
    rec.multicastGroup = 0;
    rec.streamSourcePort = 0;
    st.cachedReceiveBuffer = 0;
    st.lastFrameRate = 0.0;
    st.hasHeader = false;
    st.packetPayload = 0;
}

void gevStreamOpenQueue(uint8_t) {}

GevStatus gevStreamStop(uint8_t cam) {
    GevStreamState& st = state(cam);
    qx::sys::MutexLock acq(st.acquisitionLock);
    if (!gevRecord(cam).KillGrab.load() || st.grabThread.joinable()) return stopLocked(cam, 0);
    return GEV_STATUS_SUCCESS;
}

void gevStreamClose(uint8_t cam) {
    GevStreamState& st = state(cam);
    qx::sys::MutexLock lock(st.ringLock);
    st.receiver.reset();
    FreeRing(st.ring, gevRecord(cam).logCameraNumber);
    gevRecord(cam).streamSourcePort = 0;
}

uint16_t gevStreamSourcePort(uint8_t cam) { return gevRecord(cam).streamSourcePort.load(); }

} // namespace qx::gige

using namespace qx::gige;

GevStatus GEVOpenStreamChannel(uint8_t cam_nr, uint32_t hostIp, uint16_t hostPort, uint32_t multicastGroup) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    GevCameraRecord& rec = gevRecord(cam_nr);
    GevStreamState& st = state(cam_nr);
    qx::sys::MutexLock channel(rec.streamChannelLock);
    qx::sys::MutexLock acq(st.acquisitionLock);
    if (!rec.KillGrab.load()) return GEV_STATUS_BUSY; // the grab thread reads the socket
    const uint8_t lc = logCam(cam_nr);
    if (rec.ccpMode == GEV_CCP_OPEN) {
        uint32_t scp = 0, scda = 0;
        if (GevStatus s = ReadRegister(cam_nr, gvcp::reg::kScp0, 1, &scp)) return s;
        hostPort = static_cast<uint16_t>(scp & 0xFFFF);
        multicastGroup = 0;
        if (ReadRegister(cam_nr, gvcp::reg::kScda0, 1, &scda) == GEV_STATUS_SUCCESS && isMulticast(htonl(scda)))
            multicastGroup = htonl(scda);
    }
    if (hostIp != 0) {
        qx::sys::MutexLock lock(rec.streamSocketLock);
        rec.adapterIp = hostIp;
    }
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Open stream channel.\n");
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Stream channel IP: {}\n", ipText(rec.adapterIp).c_str());

    // The keep-open datagrams stop until the camera's source port is read again.
    rec.streamSourcePort = 0;
    auto closeSocket = [&] {
        qx::sys::MutexLock lock(rec.streamSocketLock);
        rec.streamSocket.close();
    };
    auto fail = [&](GevStatus s) {
        closeSocket();
        return s;
    };
    {
        // Replaced under the lock the heartbeat's keep-open datagrams take.
        qx::sys::MutexLock lock(rec.streamSocketLock);
        rec.streamSocket.close();
        // A group's datagrams reach only a socket bound to the group or to the wildcard address
        // (joined on the adapter); the wildcard one can still send the keep-open datagrams.
        const uint32_t bindIp = multicastGroup != 0 ? 0 : rec.adapterIp;
        if (GevStatus s = CreateUdpSocket(rec.streamSocket, bindIp, hostPort, multicastGroup != 0, lc)) return s;
        if (multicastGroup != 0 && rec.streamSocket.joinMulticast(multicastGroup, rec.adapterIp) != 0) {
            rec.streamSocket.close();
            return GEV_STATUS_CANNOT_SET_SOCKET_OPT;
        }
    }
    rec.multicastGroup = multicastGroup;
    const uint32_t scda = ntohl(multicastGroup ? multicastGroup : rec.adapterIp);
    if (WriteRegister(cam_nr, gvcp::reg::kScda0, 1, &scda) != GEV_STATUS_SUCCESS)
        QX_GEV_LOG(lc, GEV_LOG_WARNING, "[W] Can't write to GevSCDA register to set stream channel ip address.\n");
    uint16_t port = hostPort;
    if (port == 0 && rec.streamSocket.localPort(&port) != 0) return fail(GEV_STATUS_CANNOT_CREATE_SOCKET);
    {
        qx::sys::MutexLock lock(rec.streamSocketLock);
        rec.hostStreamPort = port;
    }
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Stream channel port: {}\n", port);
    const uint32_t scp = port;
    if (GevStatus s = WriteRegister(cam_nr, gvcp::reg::kScp0, 1, &scp)) return fail(s);
    uint32_t cap = 0;
    if (ReadRegister(cam_nr, gvcp::reg::kGvspCapability, 1, &cap) == GEV_STATUS_SUCCESS && (cap & 0x80000000u)) {
        uint32_t scsp = 0;
        if (ReadRegister(cam_nr, gvcp::reg::kScsp0, 1, &scsp) == GEV_STATUS_SUCCESS) {
            // The record carries it: the heartbeat keeps the port open from here on.
            rec.streamSourcePort = static_cast<uint16_t>(scsp & 0xFFFF);
            QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Stream channel source port: {}\n", rec.streamSourcePort.load());
            gevSendStreamKeepOpen(rec);
        }
    }
    if (rec.ccpMode == GEV_CCP_OPEN && multicastGroup != 0) closeSocket();
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVCloseStreamChannel(uint8_t cam_nr) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    GevCameraRecord& rec = gevRecord(cam_nr);
    GevStreamState& st = state(cam_nr);
    qx::sys::MutexLock channel(rec.streamChannelLock);
    qx::sys::MutexLock acq(st.acquisitionLock);
    // The grab thread reads the socket: a running acquisition ends first.
    if (!rec.KillGrab.load() || st.grabThread.joinable()) stopLocked(cam_nr, 0);
    rec.streamSourcePort = 0;
    const uint32_t zero = 0;
    GevStatus result = WriteRegister(cam_nr, gvcp::reg::kScp0, 1, &zero);
    qx::sys::MutexLock lock(rec.streamSocketLock);
    rec.streamSocket.close();
    return result;
}

GevStatus GEVAcquisitionStart(uint8_t cam_nr, uint32_t framesToGrab, uint32_t payloadSize, uint32_t width,
                              uint32_t height, uint32_t pixelFormat) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    GevStreamState& st = state(cam_nr);
    GevStatus result;
    {
        qx::sys::MutexLock acq(st.acquisitionLock);
        result = StartAcquisition(cam_nr, framesToGrab, payloadSize, width, height, pixelFormat);
    }
    logLocalTime(logCam(cam_nr), FMT_STRING("[I] Start acquisition time: {:02}:{:02}:{:02}\n"));
    return result;
}

GevStatus GEVAcquisitionStop(uint8_t cam_nr) { return GEVAcquisitionStopEx(cam_nr, 0); }

namespace qx::gige {
namespace {
// The stop's hand-back of the buffers still queued for the application. This grabber keeps no
// ring of its own beside the image ring: nothing is deferred, and FreeRing takes the lists with
// the ring.
void DeferQueuedBuffers(const GevBufferQueues* /*queues*/, uint8_t lc) {
    QX_GEV_LOG(lc, GEV_LOG_VERBOSE, "[V] Grabber has no ring buffer. Skipping DeferQueuedBuffers\n");
}

// Stops the acquisition; the caller holds the acquisition lock.
GevStatus stopLocked(uint8_t cam_nr, uint32_t mode) {
    GevCameraRecord& rec = gevRecord(cam_nr);
    GevStreamContext& ctx = gevStream(cam_nr);
    GevStreamState& st = state(cam_nr);
    const uint8_t lc = logCam(cam_nr);
    QX_GEV_LOG(lc, GEV_LOG_VERBOSE, "[V] GEVAcquisitionStopEx({}, {})\n", cam_nr, mode);
    // A grab thread that ended by itself (frames to grab reached) has set KillGrab but still
    // has to be joined.
    if (rec.KillGrab.load() && !st.grabThread.joinable()) {
        QX_GEV_LOG(lc, GEV_LOG_VERBOSE, "[V] acquisition already stopped\n");
        return GEV_STATUS_SUCCESS;
    }
    QX_GEV_LOG(lc, GEV_LOG_VERBOSE, "[V] Ready to set KillGrab (currently {})\n", rec.KillGrab.load());
    rec.KillGrab = 1;
    const bool viaDriver = rec.filterDriverActive && !st.grabThread.joinable();
    GevFilterStatistics driverStats;
    if (viaDriver) {
        if (GevStatus s = gevFilterStreamStop(cam_nr, &driverStats)) {
            logLocalTime(lc, FMT_STRING("[I] Stop acquisition time: {:02}:{:02}:{:02}\n"));
            return s;
        }
    }
    if (st.grabThread.joinable()) {
        const uint32_t timeout = rec.grabStopTimeoutMs + 200;
        QX_GEV_LOG(lc, GEV_LOG_DEBUG, "[D] Synchronizing with thread {} (timeout = {})\n",
                   static_cast<void*>(&st.grabThread), timeout);
        qx::sys::UniqueLock lock(st.doneMutex);
        if (!st.doneCv.wait_for(lock, std::chrono::milliseconds(timeout), [&] { return st.grabDone; }))
            QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Timeout/error 0x{:x} closing thread\n", GEV_STATUS_TIMEOUT);
        lock.unlock();
        // The thread sees KillGrab at its next select wait; it is always joined, never abandoned.
        st.grabThread.join();
    }
    if (viaDriver) {
        // What the socket queued of the stream beside the driver is stale: all of it goes.
        if (rec.streamSocket.isOpen()) FlushStreamSocket(cam_nr, 0xFFFFFFFFu, 0, st.packetPayload);
    } else if (st.cachedReceiveBuffer < 1) {
        QX_GEV_LOG(lc, GEV_LOG_WARNING, "[W] Cowardly refusing to discard buffers with cached size of {}\n",
                   st.cachedReceiveBuffer);
    } else if (rec.streamSocket.isOpen()) {
        int err = rec.streamSocket.setReceiveBuffer(0);
        QX_GEV_LOG(lc, GEV_LOG_VERBOSE, "[V] Discarded remaining buffers (cached size {}): err={}\n",
                   st.cachedReceiveBuffer, err);
        FlushStreamSocket(cam_nr, 1, 0, 0);
    }
    bool stable = false;
    double rate = st.fps.rate(&stable);
    if (viaDriver) {
        ctx.deliveredBlocks = driverStats.deliveredFrames;
        ctx.missingBlocks = driverStats.missingFrames;
        ctx.missingPackets = driverStats.lostPackets;
        ctx.deviceDiscardedBlocks = driverStats.deviceDiscarded;
        st.stats.ResendRequestedPackets = driverStats.resendRequested;
        rate = gevFilterFrameRate(driverStats);
    } else {
        qx::sys::MutexLock lock(st.ringLock);
        DeferQueuedBuffers(st.ring.get(), lc);
        if (st.receiver) {
            ctx.deliveredBlocks = st.receiver->delivered.load();
            ctx.missingBlocks = st.receiver->missingBlocks.load();
            ctx.missingPackets = st.receiver->missingPackets.load();
            ctx.deviceDiscardedBlocks = st.receiver->deviceDiscarded.load();
            st.stats.ResendRequestedPackets = st.receiver->resendRequested.load();
            st.stats.RingFullBlocks = st.receiver->ringFull.load();
        }
        st.stats.ForeignDatagrams = st.foreignDatagrams.load();
        QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Free index buffer for images.\n");
        st.receiver.reset();
        QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Free ring buffer for images.\n");
        FreeRing(st.ring, lc);
    }
    st.stats.DeliveredBlocks = ctx.deliveredBlocks;
    st.stats.MissingBlocks = ctx.missingBlocks;
    st.stats.MissingPackets = ctx.missingPackets;
    st.stats.DeviceDiscardedBlocks = ctx.deviceDiscardedBlocks;
    if (rec.ccpMode == GEV_CCP_OPEN && rec.multicastGroup.load() != 0) {
        qx::sys::MutexLock lock(rec.streamSocketLock);
        rec.streamSocket.close();
    }

    const uint64_t delivered = ctx.deliveredBlocks, missing = ctx.missingBlocks;
    const uint64_t lostX100 = delivered ? missing * 10000 / delivered : 0;
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Frames: {}, Errors: {} Lost: {}.{:02} %\n", static_cast<int>(delivered),
               static_cast<int>(missing), static_cast<int>(lostX100 / 100), static_cast<int>(lostX100 % 100));
    const uint64_t packets =
        delivered * (st.packetPayload ? GvspReceiver::packetsFor(st.payloadSize, st.packetPayload, st.extraPacket) : 0);
    const uint64_t pLostX100 = packets && ctx.missingPackets ? ctx.missingPackets * 10000 / packets : 0;
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Packets: {} Errors: {} Lost: {}.{:02} %\n",
               static_cast<unsigned long long>(packets), static_cast<int>(ctx.missingPackets),
               static_cast<int>(pLostX100 / 100), static_cast<int>(pLostX100 % 100));
    if (ctx.deviceDiscardedBlocks)
        QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Data blocks discarded on device side: {}\n",
                   static_cast<int>(ctx.deviceDiscardedBlocks));
    if (st.stats.RingFullBlocks)
        QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Blocks dropped at the full image ring: {}\n",
                   static_cast<unsigned long long>(st.stats.RingFullBlocks));
    if (st.lastFrameRate == 0.0) st.lastFrameRate = rate;
    const int tenths = static_cast<int>(st.lastFrameRate * 10.0 + 0.5);
    QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] {}.{} fps\n", tenths / 10, tenths % 10);
    logLocalTime(lc, FMT_STRING("[I] Stop acquisition time: {:02}:{:02}:{:02}\n"));
    return GEV_STATUS_SUCCESS;
}
} // namespace
} // namespace qx::gige

GevStatus GEVAcquisitionStopEx(uint8_t cam_nr, uint32_t mode) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    qx::sys::MutexLock acq(state(cam_nr).acquisitionLock);
    return stopLocked(cam_nr, mode);
}

GevStatus GEVGetImage(uint8_t cam_nr, GevImageHeader* header, void* buffer, uint32_t bufferSize, uint32_t* size) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    GevCameraRecord& rec = gevRecord(cam_nr);
    GevStreamState& st = state(cam_nr);
    qx::sys::MutexLock lock(st.ringLock);
    if (rec.filterDriverActive && !st.ring) {
        if (rec.KillGrab.load()) return GEV_STATUS_BUFFERS_NOT_INI;
        if (!buffer || bufferSize < st.payloadSize) return GEV_STATUS_INVALID_PARAMETER;
        GevImageHeader h{};
        const GevStatus result = PullImageFromFilter(cam_nr, &h, buffer, st.payloadSize, size);
        if (result != GEV_STATUS_TIMEOUT && result != GEV_STATUS_HEARTBEAT_READ_ERROR) {
            st.lastHeader = h;
            st.hasHeader = true;
        }
        if (header) *header = h;
        return result;
    }
    if (!st.ring) return GEV_STATUS_BUFFERS_NOT_INI;
    if (!buffer || bufferSize < st.ring->payloadSize) return GEV_STATUS_INVALID_PARAMETER;
    GevBufferQueues& ring = *st.ring;
    auto* dest = static_cast<uint8_t*>(buffer);
    GevImageBuffer* b = ring.deliverList.pop();
    if (!b) {
        // Nothing delivered yet: the caller's buffer is lent to the next block the grab thread
        // starts (when nothing is in flight before it), which is then written straight into it.
        {
            qx::sys::MutexLock loan(st.loanLock);
            ring.lendNext = dest;
        }
        b = ring.deliverList.popWait(rec.grabStopTimeoutMs);
        // Another block, or none: a block still being written into the caller's buffer moves
        // to its own.
        qx::sys::MutexLock loan(st.loanLock);
        if (!b || b->lent != dest) ring.withdrawLoan();
        ring.lendNext = nullptr;
    }
    if (!b)
        return rec.connectionState.load() == GEV_CONNECTION_OK ? GEV_STATUS_TIMEOUT : GEV_STATUS_HEARTBEAT_READ_ERROR;
    GevImageHeader h{};
    const GevStatus result = gevCopyImage(*b, ring.payloadSize, dest, &h, rec.logCameraNumber);
    st.lastHeader = h;
    st.hasHeader = true;
    if (header) *header = h;
    {
        qx::sys::MutexLock loan(st.loanLock);
        ring.giveBack(b);
    }
    QX_GEV_LOG(static_cast<uint8_t>(rec.logCameraNumber), GEV_LOG_VERBOSE, "[V] Returned buffer to free list\n");
    if (size) *size = st.ring->payloadSize;
    return result;
}

GevStatus GEVGetLastImageHeader(uint8_t cam_nr, GevImageHeader* header) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    if (!header) return GEV_STATUS_INVALID_PARAMETER;
    GevStreamState& st = state(cam_nr);
    qx::sys::MutexLock lock(st.ringLock);
    *header = st.hasHeader ? st.lastHeader : GevImageHeader{};
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVGetFrameRate(uint8_t cam_nr, double* fps) {
    if (cam_nr == 0 || !fps) return GEV_STATUS_INVALID_PARAMETER;
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    GevCameraRecord& rec = gevRecord(cam_nr);
    GevStreamState& st = state(cam_nr);
    qx::sys::MutexLock acq(st.acquisitionLock);
    if (rec.KillGrab.load() && !st.grabThread.joinable() && st.lastFrameRate != 0.0) {
        *fps = st.lastFrameRate;
        return GEV_STATUS_SUCCESS;
    }
    if (rec.filterDriverActive && !st.grabThread.joinable()) {
        GevFilterStatistics s;
        if (GevStatus e = gevFilterReadStatistics(cam_nr, &s, nullptr)) return e;
        *fps = st.lastFrameRate = gevFilterFrameRate(s);
        return GEV_STATUS_SUCCESS;
    }
    bool stable = false;
    const double rate = st.fps.rate(&stable);
    if (!stable)
        QX_GEV_LOG(logCam(cam_nr), GEV_LOG_INFO,
                   "[N] Fps computation for camera {} hasn't stabilized yet. Using running average\n", cam_nr);
    *fps = rate;
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVGetPacketResend(uint8_t cam_nr, uint8_t* enabled) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    uint32_t cap = 0;
    if (GevStatus s = ReadRegister(cam_nr, gvcp::reg::kGvcpCapability, 1, &cap)) return s;
    if (!(cap & gvcp::cap::kPacketResend)) {
        if (enabled) *enabled = 0;
        return GEV_STATUS_NOT_SUPPORTED;
    }
    if (enabled) *enabled = gevStream(cam_nr).resendEnabled;
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVSetPacketResend(uint8_t cam_nr, uint8_t enabled) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    uint32_t cap = 0;
    if (GevStatus s = ReadRegister(cam_nr, gvcp::reg::kGvcpCapability, 1, &cap)) return s;
    if (!(cap & gvcp::cap::kPacketResend)) return GEV_STATUS_NOT_SUPPORTED;
    // The grab thread keeps its own copy: on the socket path the switch takes effect at the
    // next acquisition start; the filter driver follows it at once.
    qx::sys::MutexLock acq(state(cam_nr).acquisitionLock);
    gevStream(cam_nr).resendEnabled = enabled ? 1 : 0;
    if (gevRecord(cam_nr).filterDriverActive) return gevFilterSetResend(cam_nr, enabled ? 1 : 0);
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVGetStreamStatistics(uint8_t cam_nr, GevStreamStatistics* stats) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    if (!stats) return GEV_STATUS_INVALID_PARAMETER;
    GevStreamState& st = state(cam_nr);
    qx::sys::MutexLock lock(st.ringLock);
    if (gevRecord(cam_nr).filterDriverActive && !gevRecord(cam_nr).KillGrab.load() && !st.receiver) {
        GevFilterStatistics s;
        if (GevStatus e = gevFilterReadStatistics(cam_nr, &s, nullptr)) return e;
        *stats = GevStreamStatistics{}; // the driver keeps no count of a full ring
        stats->DeliveredBlocks = s.deliveredFrames;
        stats->MissingBlocks = s.missingFrames;
        stats->MissingPackets = s.lostPackets;
        stats->DeviceDiscardedBlocks = s.deviceDiscarded;
        stats->ResendRequestedPackets = s.resendRequested;
        return GEV_STATUS_SUCCESS;
    }
    if (st.receiver) {
        stats->DeliveredBlocks = st.receiver->delivered.load();
        stats->MissingBlocks = st.receiver->missingBlocks.load();
        stats->MissingPackets = st.receiver->missingPackets.load();
        stats->DeviceDiscardedBlocks = st.receiver->deviceDiscarded.load();
        stats->ResendRequestedPackets = st.receiver->resendRequested.load();
        stats->RingFullBlocks = st.receiver->ringFull.load();
        stats->ForeignDatagrams = st.foreignDatagrams.load();
    } else {
        *stats = st.stats;
    }
    return GEV_STATUS_SUCCESS;
}
