// GvspReceiver: the packet side of one acquisition. It places GVSP packets into the ring's
// buffers (slots previous, current and next), decides the block-id mode from the first packet,
// asks for lost packets through a resend sink, applies trailers and delivers finished or
// given-up blocks to the ring's delivery list with the block-id continuity check. The grab
// thread owns it while it runs; tests and the fuzzer drive it directly. Internal to the library.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "Sys/LogThrottle.h"
#include "gige/GevRing.h"

namespace qx::gige {

namespace gvsp {
struct ImageLeader;
}

// Width of the block ids, decided by the stream's first packet.
enum class GvspBlockIdMode : uint8_t {
    Undecided = 0,
    Short = 1,    // 16-bit block ids, 24-bit packet ids
    Extended = 2, // 64-bit block ids, 32-bit packet ids
};

struct GvspReceiverConfig {
    uint32_t payloadSize = 0;
    uint32_t width = 0, height = 0, pixelFormat = 0;
    uint32_t packetPayload = 0;  // P: payload bytes per data packet
    bool extraPacket = false;    // one more packet per block
    uint8_t resendMode = 0;      // 0 off, 1 immediate, 0xF0 timer-driven rounds
    uint32_t resendWaitMs = 200; // timer-driven mode: wait between rounds
    uint32_t roundLimit = 0;     // timer-driven mode: packets asked per round at most (0: no limit)
    uint32_t resendBudget = 10;  // packets asked per block at most
    uint32_t reaskWaitMs = 10;   // immediate mode: wait for resent packets before asking again
    uint32_t handOverMs = 0;     // how late the receiving side may hand a packet over (batching)
    uint8_t reorderTolerance = 0;
    uint16_t gevMajor = 1;
    int logCam = 0;
};

// Sends one PACKETRESEND for packets first..last of a block; true when it went out. The sink
// must not block for long: it runs on the thread that feeds the receiver.
using GvspResendSink = std::function<bool(uint64_t blockId, bool extended, uint32_t first, uint32_t last)>;

class GvspReceiver {
public:
    // Packets per block: ceil(payload / P), plus one with the extra-packet flag; 0 when P is 0
    // or the count does not fit.
    static uint32_t packetsFor(uint32_t payloadSize, uint32_t packetPayload, bool extraPacket);

    GvspReceiver(const GvspReceiverConfig& config, GevBufferQueues& ring, GvspResendSink sink, GevFpsMeter* fps);

    // One datagram. 0: used or dropped quietly; 1: skipped.
    int ProcessStreamPacket(const uint8_t* packet, size_t length);
    // Silence on the socket: delivers the previous, then the current buffer.
    void flushOnIdle();
    // End of acquisition: the previous and current buffers are delivered late.
    void flushAtEnd();
    // Resend rounds on the oldest pending buffer: packets still missing once its trailer is seen
    // are asked again, in rounds, until they arrive, the block's budget is spent or the block is
    // delivered. Timer-driven mode: a round every resend wait (or as soon as the last packet of
    // the previous round arrived), the block delivered after 10 rounds asking the same range.
    // Immediate mode: the first requests go out as gaps show; packets never asked are asked at
    // once (a block's tail once the next block's packets come), asked ones again when the last
    // packet asked has arrived, when the answers have stopped, or when a round brought nothing
    // back within a few of the camera's answer times (the re-ask wait before its first answer).
    // A block whose last request is on its way when the next trailer comes is held a few answer
    // times longer; the next block goes out behind it.
    // Call after every datagram and every empty wait; in timer-driven mode `idle` (silence on
    // the socket) treats the pending block's trailer as seen, in immediate mode it asks nothing
    // (a pause inside a block is no loss).
    void resendTick(int64_t nowMs, bool idle);
    // A block waits for resent packets: the caller should not wait for datagrams longer than
    // the re-ask wait before the next resendTick.
    bool resendPending() const;
    // Immediate mode: how long to wait before asking again: a short quiet time once the camera
    // has answered the last round, else a few of its answer times (the configured re-ask wait
    // until it has answered once).
    int64_t reaskWaitMs() const;
    static constexpr uint8_t kTimerMode = 0xF0;
    // Packets a multi-part or GenDC block may have beyond those its payload needs.
    static constexpr uint32_t kExtraPartPackets = 256;
    // Switches packet resend (a mode of GvspReceiverConfig::resendMode) for the blocks to come;
    // rounds running on the pending block end. Called by the owning thread.
    void setResendMode(uint8_t mode);

    GvspBlockIdMode blockIdMode() const { return m_mode; }
    bool currentExists() const { return m_cur != nullptr; }
    bool packetTooLargeSeen() const { return m_packetTooLargeSeen; }
    uint32_t packetsPerBlock() const { return m_packets; }
    // Counters of the acquisition; written by the owning thread only, readable from any.
    std::atomic<uint64_t> delivered{0}, missingBlocks{0}, missingPackets{0}, deviceDiscarded{0}, resendRequested{0};
    // Blocks that found no free ring buffer (the application did not take the delivered ones in
    // time); each is also counted as missing once a later block is delivered.
    std::atomic<uint64_t> ringFull{0};

private:
    GevImageBuffer* findBuffer(uint64_t blockId) const;
    uint64_t successor(uint64_t id) const;
    void DeliverBuffer(GevImageBuffer* b);
    uint64_t BlockIDCheck(GevImageBuffer* b);
    void moveCurrentToPrevious();
    GevImageBuffer* takeBuffer(uint64_t blockId);
    void onLeader(const struct GvspPacketView& v);
    GevImageBuffer* bufferForLeader(const struct GvspPacketView& v);
    void noteDeviceDiscarded(uint64_t blockId);
    bool readImageLeader(GevImageBuffer* b, uint64_t blockId, uint16_t type, const uint8_t* body, size_t len);
    bool geometryAsExpected(GevImageBuffer* b, uint64_t blockId, const gvsp::ImageLeader& l);
    void readOtherLeader(GevImageBuffer* b, uint16_t type, const uint8_t* body, size_t len);
    void noteRingFull(uint64_t blockId);
    void onTrailer(const struct GvspPacketView& v);
    void onData(const struct GvspPacketView& v);
    void applyTrailer(GevImageBuffer* b, const uint8_t* body, size_t len);
    bool requestResend(GevImageBuffer* b, uint32_t first, uint32_t last);
    void store(GevImageBuffer* b, uint32_t packetId, uint64_t offset, const uint8_t* data, size_t len);
    void growPackets(GevImageBuffer* b, uint32_t count);
    static bool carriesOwnOffsets(const GevImageBuffer* b, const struct GvspPacketView& v);
    void keepShort(GevImageBuffer* b, uint32_t packetId, uint64_t offset, const uint8_t* data, size_t len);
    void zeroUnwritten(GevImageBuffer* b);
    // Asks the packets up to `upTo` (0: every packet of the block) not received yet.
    void s_resend_some_packet(GevImageBuffer* b, int64_t nowMs, uint32_t limit, uint32_t upTo = 0);
    // Immediate mode, before the trailer: the packets below the highest one received (gaps, the
    // only ones known lost), or 0 when there is none missing.
    static uint32_t gapsBelowHighest(const GevImageBuffer* b);
    int64_t unansweredWaitMs() const;
    bool holdPrevious(const GevImageBuffer* p);
    void releaseHeld();
    int64_t answerQuietMs() const;
    void noteAnswerDelay(int64_t ms);
    bool isPast(const GevImageBuffer* b) const;

    // State of the timer-driven rounds for the pending buffer.
    struct Rounds {
        GevImageBuffer* buffer = nullptr;
        bool trailerSeen = false;
        bool roundRun = false;
        bool neverAsked = false; // packets not asked yet when the trailer was seen
        int64_t clock = 0;       // start of the wait: last round or last change of requests
        uint32_t requested = 0;  // the buffer's requested count when last seen
        uint32_t packets = 0;    // packets asked in rounds
        uint32_t lastFirst = 0, lastLast = 0, lastAsked = 0;
        uint32_t tries = 0;         // rounds that asked the same range again
        int64_t lastAnswerMs = -1;  // arrival of the newest packet asked in the last round
        bool answerArrived = false; // a packet asked came since the last resendTick
    };
    int64_t m_answerAskedAtMs = -1; // the request whose first answer came since the last resendTick
    int64_t m_lastTickMs = 0;       // the time of the last resendTick
    int64_t m_holdUntilMs = -1;     // the previous block is held past the next trailer until then
    bool m_curWaits = false;        // the current block's trailer came while the previous one was held
    int64_t m_answerDelayMs = -1;   // how long the camera takes to answer a request; -1: not seen yet
    Rounds m_rounds;
    GevImageBuffer* roundsBuffer() const;

    GvspReceiverConfig m_cfg;
    GevBufferQueues& m_ring;
    GvspResendSink m_sink;
    GevFpsMeter* m_fps;
    uint8_t m_cam;
    uint32_t m_packets = 0;
    uint32_t m_lastPacketSize = 0;
    bool m_noGeometry = false;
    std::vector<uint32_t> m_offsets; // byte offset of packet i+1

    GvspBlockIdMode m_mode = GvspBlockIdMode::Undecided;
    size_t m_headerLength = 8;
    uint64_t m_mask = 0xFFFF;
    uint64_t m_currentBlock = 0;
    uint64_t m_expectedBlock = 0; // next block the continuity check expects; 0 = none yet
    uint64_t m_dropsSince = 1;
    uint64_t m_lastTimestamp = 0;
    bool m_nonImage = false;
    bool m_sizeMismatchReported = true; // the size check runs from the first trailer on
    bool m_packetTooLargeSeen = false;
    uint64_t m_ringFullBlock = 0; // last block counted in ringFull
    sys::LogThrottle m_ringFullLog;
    sys::LogThrottle m_shortLog; // payload packets shorter than their slot

    GevImageBuffer* m_prev = nullptr;
    GevImageBuffer* m_cur = nullptr;
    GevImageBuffer* m_next = nullptr;
};

} // namespace qx::gige
