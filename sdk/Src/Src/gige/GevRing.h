// Image ring of one acquiring camera: the buffer records the grab thread fills, the two locked
// lists between the grab thread and GEVGetImage (free buffers, buffers to deliver), the copy of
// a delivered buffer into the caller's memory, and the frame-rate meter. Internal to the library.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "gige/GevStream.h"
#include "Sys/Mutex.h"

namespace qx::gige {

// Status of a delivered ring slot.
enum : uint16_t {
    GEV_BUFFER_COMPLETE = 0,
    GEV_BUFFER_INCOMPLETE = 2,     // packets missing
    GEV_BUFFER_GEOMETRY_WRONG = 3, // the leader failed the geometry check
};

// One ring slot; its status is one of GEV_BUFFER_*.
struct GevImageBuffer {
    GevImageBuffer* next = nullptr; // list link
    std::vector<uint8_t> data;      // payload-size bytes
    // Memory of a waiting reader the block is written into instead of `data` (at least
    // payload-size bytes; the filter driver lends it, see GevBufferQueues::lendNext). Null: `data`.
    uint8_t* lent = nullptr;
    uint64_t blockId = 0;
    uint64_t timestamp = 0;
    uint32_t pixelFormat = 0, width = 0, height = 0, offsetX = 0, offsetY = 0;
    uint16_t paddingX = 0, paddingY = 0;
    int32_t missingPackets = 0;
    uint32_t missingBlocks = 0;
    uint16_t payloadType = 0;
    uint32_t word1 = 0, word2 = 0; // chunk layout id and chunk length
    uint32_t filledUpTo = 0;
    uint16_t status = GEV_BUFFER_COMPLETE;
    uint16_t ringIndex = 0;
    uint32_t resendRequested = 0, resendReceived = 0, requestedPackets = 0;
    uint8_t outOfOrder = 0;
    uint32_t TrailerSizeY = 0;
    uint32_t packetPayload = 0, lastPacketPayload = 0;
    uint32_t genDcWord = 0;
    uint64_t genDcSize = 0;
    uint8_t genDcFlag = 0;
    uint32_t nextExpectedPacket = 1;
    uint32_t lastRequested = 0;        // last packet id of the latest resend request
    bool zeroed = true;                // every byte no packet wrote is zero
    std::vector<uint8_t> packetStates; // one per packet of the block: 0 missing, 1 received, 2 requested
    // Packets the block needs (the first ones): all, or those of a shorter image its trailer
    // announced; only they count in missingPackets.
    uint32_t countedPackets = 0;
    // Bytes a packet shorter than its slot carried, per packet (such a packet stays missing);
    // empty while the block has had no short packet.
    std::vector<uint32_t> carried;
    bool packetTooLargeReported = false;

    // Ready for a new block: every packet missing, counters 0.
    void beginBlock(uint64_t id, uint32_t packets);
    // Where the block's bytes are: the lent memory or `data`; data.size() bytes either way.
    uint8_t* bytes() { return lent ? lent : data.data(); }
    const uint8_t* bytes() const { return lent ? lent : data.data(); }
};

enum : uint8_t { GEV_PACKET_MISSING = 0, GEV_PACKET_RECEIVED = 1, GEV_PACKET_REQUESTED = 2 };

// A locked singly linked list of ring buffers; a push wakes one waiter.
class GevBufferList {
public:
    void push(GevImageBuffer* b);
    GevImageBuffer* pop();
    // One wait of at most waitMs when empty, then a pop that may still find nothing.
    GevImageBuffer* popWait(uint32_t waitMs);
    uint32_t count() const;
    // Empties the list; the ring indices it held are appended to `indices` when given.
    void clear(std::vector<uint16_t>* indices = nullptr);

private:
    mutable qx::sys::Mutex m_mutex;
    std::condition_variable m_cv;
    GevImageBuffer* m_head QX_GUARDED_BY(m_mutex) = nullptr;
    GevImageBuffer* m_tail QX_GUARDED_BY(m_mutex) = nullptr;
    uint32_t m_count QX_GUARDED_BY(m_mutex) = 0;
};

// Frames per second over windows of one second of a monotonic clock.
class GevFpsMeter {
public:
    void reset();
    void update(int logCam);
    // frames / seconds of the last completed window, else of the running one (stable = false).
    double rate(bool* stable) const;

private:
    mutable qx::sys::Mutex m_mutex;
    int64_t m_start QX_GUARDED_BY(m_mutex) = 0; // 0: not started
    int64_t m_last QX_GUARDED_BY(m_mutex) = 0;
    int64_t m_frequency QX_GUARDED_BY(m_mutex) = 1000000000; // ticks (ns) per second
    uint32_t m_frames QX_GUARDED_BY(m_mutex) = 0;
    int64_t m_ticks QX_GUARDED_BY(m_mutex) = 0;
    uint32_t m_doneFrames QX_GUARDED_BY(m_mutex) = 0;
    int64_t m_doneTicks QX_GUARDED_BY(m_mutex) = 0;
};
int64_t gevPerformanceCounter();

// The ring of one acquisition: buffers and the two lists.
struct GevBufferQueues {
    std::vector<std::unique_ptr<GevImageBuffer>> buffers;
    GevBufferList freeList;    // "QueuedList"
    GevBufferList deliverList; // "DeliverList"
    uint32_t payloadSize = 0;
    uint32_t packetPayload = 0;
    uint32_t packetsPerBlock = 0;
    // Lending (filter driver, on the thread that feeds the receiver): memory of a waiting
    // reader, given to the next block the receiver starts when nothing is in flight before it,
    // so that the read takes that block without a copy; `lentTo` is the buffer holding it.
    uint8_t* lendNext = nullptr;
    GevImageBuffer* lentTo = nullptr;

    // Back to the free list; a block written into lent memory gives it up.
    void giveBack(GevImageBuffer* b);
    // The block holding lent memory moves its bytes into its own buffer (another block goes to
    // the reader first, or the read ends without it); nothing more is lent.
    void withdrawLoan();

    // Pops the free list and zeroes the data; null when the list is empty (the caller counts
    // and logs that). `zero` false leaves the zeroing to the caller (GvspReceiver zeroes only the
    // bytes no packet wrote, when the block is delivered).
    GevImageBuffer* TakeFreeBuffer(bool zero = true);
    // The warning of an empty free list.
    void logNoFreeBuffer(int logCam) const;
};

// Allocates `count` buffers for blocks of payloadSize bytes in packets of P bytes (with
// `packets` packets per block) and puts them all on the free list; null when memory runs out.
std::unique_ptr<GevBufferQueues> AllocateRing(uint16_t count, uint32_t payloadSize, uint32_t packetPayload,
                                              uint32_t packets, uint32_t width, uint32_t height, uint32_t pixelFormat);
// Logs the queue state and empties both lists before the ring is destroyed.
void FreeRing(std::unique_ptr<GevBufferQueues>& ring, int logCam);

// Copies a delivered buffer packed into dest (payloadSize bytes) and fills the header; returns
// the status GEVGetImage gives for it.
GevStatus gevCopyImage(const GevImageBuffer& b, uint32_t payloadSize, uint8_t* dest, GevImageHeader* header,
                       int logCam);

} // namespace qx::gige
