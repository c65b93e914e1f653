// GevCameraRecord: the library's state for one camera number (sockets, addresses, request id,
// channel parameters, callbacks, capabilities, XML cache, heartbeat and stream-side fields), the
// table of open camera numbers, the stream table entries and the process-wide message channel.
// Internal to the library: its threads (heartbeat, message, grab) and the GVCP transaction read
// these fields; the fields those threads read without the request lock are atomic.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "gige/GevCamera.h"
#include "gige/GevLib.h"
#include "gige/GvcpProtocol.h"
#include "Net/UdpSocket.h"
#include "Sys/Event.h"
#include "Sys/JoiningThread.h"
#include "Sys/Mutex.h"

namespace qx::gige {

// The stream table entry of one camera number; the stream channel adds its own fields here.
struct GevStreamContext {
    uint8_t resendEnabled = 0;
    uint32_t sc_packet_resend = 10;
    uint16_t ringImageCount = 4;
    uint16_t payloadPerPacket = 0;
    uint8_t userRingBuffer = 0; // the application supplies the ring buffers
    uint8_t reorderTolerance = 0;
    uint64_t deliveredBlocks = 0;
    uint64_t missingBlocks = 0;
    uint64_t missingPackets = 0;
    uint64_t deviceDiscardedBlocks = 0;
    int logCameraNumber = 0;

    void resetCounters() { deliveredBlocks = missingBlocks = missingPackets = deviceDiscardedBlocks = 0; }
};

class GevCameraRecord {
public:
    GevCameraRecord() { reset(); }
    // Back to the closed state: sockets closed, every field 0 or its default.
    void reset();

    // Serialises every GVCP transaction of the camera (its callers, the heartbeat, the XML
    // retrieval; not the grab thread's packet resend requests, which have no acknowledge). Taken
    // after streamSocketLock when both are held (a packet-size trial on the stream socket reads
    // registers).
    qx::sys::Mutex requestLock QX_ACQUIRED_AFTER(streamSocketLock);

    qx::net::UdpSocket controlSocket;
    qx::net::UdpSocket streamSocket;
    uint16_t hostControlPort = 0;
    uint16_t hostStreamPort = 0;
    uint32_t adapterIp = 0;
    uint32_t adapterMask = 0;
    uint32_t cameraIp = 0;
    uint16_t devicePort = gvcp::kPort;
    uint16_t nextRequestId = 1;
    char adapterName[260] = {};
    uint8_t cameraNumber = 0;
    uint8_t streamNumber = 0;
    int logCameraNumber = 0;

    // XML cache.
    std::vector<uint8_t> xml;
    uint32_t xmlSize = 0;
    uint8_t saveXml = 0;

    // Callbacks.
    std::atomic<GevLogCallback> logCallback{nullptr};
    std::atomic<GevEventCallback> eventCallback{nullptr};
    std::atomic<GevMemoryProgressCallback> memoryCallback{nullptr};

    // Channel parameters.
    std::atomic<uint32_t> answerTimeoutMs{200};
    std::atomic<uint8_t> retries{3};
    std::atomic<uint32_t> heartbeatPeriodMs{0};
    uint32_t sc_timeout = 200;
    uint32_t grabStopTimeoutMs = 1000;
    int32_t answerTimeoutSec = 0;
    int32_t answerTimeoutUsec = 200000;

    // Device facts read at open.
    uint16_t gevMajor = 0;
    uint16_t gevMinor = 0;
    uint8_t statusFlags = 0; // bit 0: capability 0x40; bit 1: capability 0x00020000
    int32_t manifestTable = 0;
    int32_t concatenation = 0;
    double nsPerTick = 0.0;

    // State.
    std::atomic<uint8_t> connectionState{GEV_CONNECTION_OK};
    std::atomic<uint8_t> logMask{0};
    uint8_t ccpMode = GEV_CCP_OPEN;
    bool ccpTaken = false; // this open wrote CCP; a roll back gives it back
    std::atomic<int32_t> initComplete{0};
    std::atomic<int32_t> pendingAck{0}; // a ReadRegister waits after a PENDING_ACK
    // What PENDING_ACK may still add to the waits (under the request lock): spent by each
    // PENDING_ACK, given back in full when a delayed request completes.
    uint32_t pendingAllowanceMs = 0;
    std::atomic<int32_t> busy{0}; // only CCP may be read (packet resend in progress)
    int32_t netConfigChanged = 0;

    // Message channel. The message thread reads these (and cameraIp) only while holding
    // gevMessageChannel().recordsLock and only when messageChannelAvailable is set; whoever sets
    // up or takes down the camera's message channel changes them under that lock.
    std::atomic<int32_t> messageChannelAvailable{0};
    uint16_t messageSourcePort = 0;
    std::atomic<uint32_t> keepAliveIntervalSec{30};
    std::atomic<int64_t> lastKeepAliveMs{0};

    // Heartbeat thread, started and joined by the heartbeat hooks (GevHeartbeat.h) and never
    // touched by reset(): a reset runs under the request lock the thread's transactions take.
    qx::sys::Event heartbeatEvent{true, false};
    qx::sys::JoiningThread heartbeatThread;
    std::atomic<int32_t> heartbeatStop{0};
    std::atomic<int32_t> heartbeatRunning{0};

    // Stream side.
    std::atomic<int32_t> KillGrab{1}; // 1 while no grab thread runs
    // Held for the whole of a stream channel open or close and of the heartbeat's rewrite of the
    // channel registers after a reconnection, so a rewrite never points the camera at a port
    // that was closed or replaced meanwhile. Taken before the acquisition and socket locks.
    qx::sys::Mutex streamChannelLock QX_ACQUIRED_BEFORE(streamSocketLock);
    // Held while the stream socket is opened, closed or replaced (and while the stream channel's
    // adapter address and host port change), and by the heartbeat while it sends its keep-open
    // datagram on it or reads what a reconnection writes back.
    qx::sys::Mutex streamSocketLock;
    std::atomic<uint32_t> multicastGroup{0};      // network order; 0 = unicast
    std::atomic<uint16_t> streamSourcePort{0};    // camera's SCSP; 0 = none
    std::atomic<int64_t> lastStreamKeepOpenMs{0}; // gevNowMs() of the last keep-open datagram
    int32_t filterDriverActive = 0;
    int64_t filterDriverHandle = -1;
    uint8_t filterDriverSlot = 0;
};

// The process-wide message socket shared by every camera with a message channel, and the state
// of the message thread that serves it.
struct GevMessageChannel {
    qx::sys::Mutex mutex QX_ACQUIRED_BEFORE(recordsLock);
    qx::net::UdpSocket socket;
    uint16_t port = 0; // bound port, read once
    bool threadRunning QX_GUARDED_BY(mutex) = false;
    std::atomic<int32_t> stopFlag{0};
    // Guards the message thread's view of the camera records (see GevCameraRecord); never held
    // together with `mutex` by the message thread, so stopping it under `mutex` cannot deadlock.
    qx::sys::Mutex recordsLock;
};

// Camera numbers 1..GEV_MAX_CAMERAS.
inline bool gevValidCamera(uint8_t cam) { return cam >= 1 && cam <= GEV_MAX_CAMERAS; }
GevCameraRecord& gevRecord(uint8_t cam);
GevStreamContext& gevStream(uint8_t cam);
bool gevIsOpen(uint8_t cam);
void gevSetOpen(uint8_t cam, bool open);
bool gevAnyOpen();
GevMessageChannel& gevMessageChannel();

// Milliseconds of a monotonic clock, for keep-alive ticks.
int64_t gevNowMs();

// Library-wide options in force.
const GevLibraryOptions& gevOptions();

// One GVCP request/acknowledge exchange on the camera's control socket; the caller holds the
// request lock. The command's request id is taken from (and advances) the record's counter.
// On success `ack` holds the acknowledge (ackLen bytes). `anyAck` tells whether any
// acknowledge of this request arrived.
enum class GvcpOp { ReadReg, WriteReg, ReadMem, WriteMem, Other };
GevStatus gvcpTransaction(GevCameraRecord& rec, GvcpOp op, uint32_t address, std::vector<uint8_t>& command,
                          uint16_t expectedAnswer, std::vector<uint8_t>& ack, size_t* ackLen, bool* anyAck)
    QX_REQUIRES(rec.requestLock);

// FORCEIP on an open broadcast socket to the cameras' GVCP port (GEVForceIp, GEVClose). An
// acknowledge counts only with the request's id, from `ip` or from `currentIp` (0: none).
GevStatus gevSendForceIp(qx::net::UdpSocket& socket, uint16_t devicePort, uint32_t ip, uint32_t mask, uint32_t gateway,
                         const uint8_t mac[6], uint32_t currentIp = 0);

// GEVDiscovery that ends early, at least every 100 ms, once `stop` (none: never) is set; the
// entries not probed by then keep access GEV_ACCESS_NOT_DETERMINED.
GevStatus gevDiscovery(GevDiscoveryList* list, GevDiscoveryCallback callback, uint32_t timeoutMs,
                       uint8_t allowBroadcastAck, uint16_t localPort, const std::atomic<bool>* stop);

// Fetches the camera's XML into the record's cache (GEVGetXmlSizeEx).
GevStatus gevFetchXml(uint8_t cam);

} // namespace qx::gige
