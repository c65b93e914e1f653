// The stream side of an acquiring camera shared by the stream channel calls (GevStream.cpp)
// and the grab thread (GevGrabThread.cpp): the per-camera state beside the record, and the
// grab thread's entry with the socket helpers start and stop use. Internal to the library.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "gige/GevRecord.h"
#include "gige/GevRing.h"
#include "gige/GevStream.h"
#include "gige/GvspReceiver.h"
#include "Sys/JoiningThread.h"
#include "Sys/Mutex.h"

namespace qx::gige {

// The stream side of one camera number that is not part of the copyable stream table entry.
struct GevStreamState {
    qx::sys::Mutex acquisitionLock QX_ACQUIRED_BEFORE(ringLock); // start and stop
    qx::sys::Mutex ringLock QX_ACQUIRED_BEFORE(loanLock);        // ring set-up and tear-down, GEVGetImage
    // Held by the grab thread while it feeds the receiver, and by GEVGetImage while it lends
    // the caller's buffer or takes the loan back (GevBufferQueues::lendNext, lentTo): a block written
    // into the caller's memory is never moved while the receiver writes it. Inside ringLock;
    // the ring's lists and the FPS meter take their mutexes inside it.
    qx::sys::Mutex loanLock;
    std::unique_ptr<GevBufferQueues> ring;
    std::unique_ptr<GvspReceiver> receiver;
    sys::JoiningThread grabThread; // joined by the stop (never by itself: it calls no application code)
    qx::sys::Mutex doneMutex;
    std::condition_variable doneCv;
    bool grabDone = true;
    GevFpsMeter fps;

    // Fields below are set by start/stop (acquisition lock) and read by the grab thread, which
    // starts after and is joined before they change.
    uint32_t framesToGrab = 0;
    int32_t frameCountMode = 0;
    int cachedReceiveBuffer = 0;
    uint32_t payloadSize = 0, width = 0, height = 0, pixelFormat = 0;
    uint32_t packetPayload = 0;
    bool extraPacket = false;
    bool resendTimerMode = false; // sc_timeout 0xFFFF with resend on: timer-driven rounds
    bool resendOn = false;
    uint16_t resendRequestId = 1;
    std::atomic<uint64_t> foreignDatagrams{0}; // datagrams of others on the stream port
    double lastFrameRate = 0.0;
    bool hasHeader = false;
    GevImageHeader lastHeader{};
    GevStreamStatistics stats{};
};

// The stream state of a camera number (that of number 0 for one out of range).
GevStreamState& state(uint8_t cam);
inline uint8_t logCam(uint8_t cam) { return static_cast<uint8_t>(gevRecord(cam).logCameraNumber); }
// Dotted text of an IPv4 address in network byte order.
std::string ipText(uint32_t ip);

// The grab thread of one acquisition (GevGrabThread.cpp).
GevStatus FlushStreamSocket(uint8_t cam, uint32_t limit, int waitUs, uint32_t packetPayload);
bool SendPacketResend(uint8_t cam, uint64_t blockId, bool extended, uint32_t first, uint32_t last);
void grab_func(uint8_t cam);

} // namespace qx::gige
