// Image stream of a USB3 camera: the bulk IN endpoint 0x81 delivers 4096-byte pages; each
// frame is one header page (UsbFrameHeader) followed by its data pages. UsbFrameAssembler
// turns a sequence of pages into complete frames held in frame cache slots (FrameCacheSlot):
// the data pages of ordinary frames are copied into a slot, frames of image type 0x52434D4C
// carry framed lines that the line-mode decoder places line by line.
//
// Pages are fed by one thread (processPage, discontinuity); frames are taken by another
// (takeFrame). A taken slot stays with the taker until its next take (or releaseFrame), so
// the assembler never writes into a frame that is still being copied out.
#pragma once
#include "Sys/Mutex.h"
#include "Sys/WireField.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace qx::usb3 {

constexpr size_t kStreamPageSize = 4096;
constexpr uint32_t kFrameMagic[4] = {0x803C4953u, 0x93498218u, 0x05897F8Du, 0x9AB38089u};
constexpr uint32_t kLineModeImageType = 0x52434D4Cu;

// Line-mode stream, in 16-bit little-endian words: each line opens with the sync words
// kLineSync, kLineSync2, kLineSync, then a command word (low byte below), two unused words and
// the line's pixel words.
constexpr uint16_t kLineSync = 0xC53A;
constexpr uint16_t kLineSync2 = 0xA35C;
constexpr uint8_t kLineFirst = 2; // first line of a frame
constexpr uint8_t kLineNext = 3;  // a line
constexpr uint8_t kLineLast = 4;  // last line: the frame is complete

// The fields of a header page that the host uses.
struct UsbFrameHeader {
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t frameNumber = 0;
    uint32_t packetCount = 0; // data pages after the header page
    uint16_t cacheCount = 0;
    uint16_t cacheUseCount = 0;
    uint32_t imageType = 0;
};

// Layout of a header page, little-endian: the magic (four 32-bit words), then the fields
// above. Bytes 16-23 and 36-39 are not used by the host.
namespace frame_header {
template <size_t Offset>
using Word = sys::LeField<uint32_t, Offset>;
using Magic0 = Word<0>;
using Magic1 = Word<4>;
using Magic2 = Word<8>;
using Magic3 = Word<12>;
using Width = sys::LeField<uint16_t, 24>;
using Height = sys::LeField<uint16_t, 26>;
using FrameNumber = sys::LeField<uint32_t, 28>;
using PacketCount = sys::LeField<uint32_t, 32>;
using CacheCount = sys::LeField<uint16_t, 40>;
using CacheUseCount = sys::LeField<uint16_t, 42>;
using ImageType = sys::LeField<uint32_t, 44>;
constexpr size_t kMagicSize = Magic3::kEnd;
constexpr size_t kSize = ImageType::kEnd; // the bytes a header page must have

// Calls visit(Field{}, member) for each field and its member of `h`, in wire order: the one
// place where a field meets its offset, for the decoder and the encoder alike.
template <typename Header, typename Visit>
void forEachField(Header& h, Visit&& visit) {
    visit(Width{}, h.width);
    visit(Height{}, h.height);
    visit(FrameNumber{}, h.frameNumber);
    visit(PacketCount{}, h.packetCount);
    visit(CacheCount{}, h.cacheCount);
    visit(CacheUseCount{}, h.cacheUseCount);
    visit(ImageType{}, h.imageType);
}
} // namespace frame_header
static_assert(frame_header::kSize == 48 && frame_header::kMagicSize == 16, "header page layout");

// True when the page (at least 16 bytes) begins with the header magic.
bool isFrameHeaderPage(const uint8_t* page, size_t size);
// Reads a header page; false when it is shorter than 48 bytes or lacks the magic.
bool parseFrameHeader(const uint8_t* page, size_t size, UsbFrameHeader& out);
// A 4096-byte header page with the magic and the given fields, everything else 0.
std::vector<uint8_t> encodeFrameHeaderPage(const UsbFrameHeader& h);
// Length of a bulk slot's next request after a transfer of `received` bytes that was asked
// for `current` bytes: the full size, unless a header page in the transfer leaves the rest of
// its frame (modulo `current`) to come, which keeps the next request from running past the
// frame's end. Always 1..full for full >= 1.
long usbNextRequestLength(const uint8_t* data, long received, long current, long full);

// Slot layout: a 164-byte header, then the data area. Ordinary frames start their data
// 0x100000 bytes into the area, line-mode frames 10000 bytes into it.
constexpr size_t kFrameSlotHeaderSize = 164;
constexpr size_t kFrameSlotDataOffset = 0x100000;
constexpr size_t kLineFrameDataOffset = 10000;
constexpr size_t kLineFrameBufferSize = 0x400000;
constexpr size_t kMaxLineWords = 10000;

struct FrameCacheSlot {
    uint32_t imageType = 0;
    int32_t width = 0; // slot width field: see the image types
    int32_t height = 0;
    int32_t bits = 0;
    int32_t pixelKind = 0; // always 0
    uint32_t frameNumber = 0;
    uint8_t* data = nullptr; // start of the image data
    uint64_t dataBytes = 0;  // bytes of image data placed at `data`
    uint64_t capacity = 0;   // bytes that fit at `data`
};
static_assert(sizeof(FrameCacheSlot) <= kFrameSlotHeaderSize, "slot header must fit its 164 bytes");

// Counters of the assembler, for tests, logs and statistics.
struct UsbStreamStats {
    uint64_t pages = 0;            // pages processed
    uint64_t headers = 0;          // header pages seen
    uint64_t framesCompleted = 0;  // frames queued for output
    uint64_t framesIncomplete = 0; // frames abandoned before their last byte (new header, gap)
    uint64_t framesRejected = 0;   // headers whose frame cannot be held or can never complete
    uint64_t framesNoSlot = 0;     // frames dropped because no slot was free
    uint64_t pagesIgnored = 0;     // data pages outside a frame
    uint64_t discontinuities = 0;  // gaps reported by the reader
    uint64_t shortPages = 0;       // partial pages discarded at a gap
    uint64_t droppedBytes = 0;     // received bytes the reader could not keep
    uint64_t lineFrames = 0;       // line-mode frames queued
};

class UsbFrameAssembler {
public:
    UsbFrameAssembler() = default;
    ~UsbFrameAssembler() = default;
    UsbFrameAssembler(const UsbFrameAssembler&) = delete;
    UsbFrameAssembler& operator=(const UsbFrameAssembler&) = delete;

    // Sizes the slots for the device's image and empties both queues. The slot block is kept
    // when its size does not change. False when the sizes are not usable or the block cannot
    // be allocated.
    bool configure(int width, int height, int bitsPerPixel, int bytesPerPixel, int slotCount);
    // Forgets the frame in progress and empties the queues (all slots free); keeps the block.
    void reset();

    // One 4096-byte page of the stream.
    void processPage(const uint8_t* page);
    // Data were lost before the next page: the frame in progress cannot complete.
    void discontinuity();

    // Oldest complete frame, waiting up to timeoutMs for one. The slot handed out before is
    // given back first; the new one stays with the caller until its next take or
    // releaseFrame().
    bool takeFrame(FrameCacheSlot*& slot, int timeoutMs);
    void releaseFrame();
    // Wakes takers so they can see the stream has ended.
    void wakeAll();
    // While cancelled, a take (also one waiting now) answers false at once: the consumer is
    // being stopped and must not sit out its wait.
    void cancelTakes(bool cancel);

    size_t queuedFrames() const;
    size_t freeSlots() const;
    UsbStreamStats stats() const;
    void addDroppedBytes(uint64_t n);
    void addShortPage();

    // Line-mode decoder state, for tests.
    int lineState() const { return m_lineState; }

private:
    struct Completion;
    FrameCacheSlot* slotAt(size_t i) const;
    FrameCacheSlot* takeFreeSlot();
    void queueSlot(FrameCacheSlot* slot, uint32_t frameNumber);
    void abandonFrame();
    void resetLineDecoder();
    void lineWords(const uint8_t* page);
    void outputLineFrame();

    // Device image, from configure().
    int m_devWidth = 0;
    int m_devHeight = 0;
    int m_devBits = 8;
    int m_devBytesPerPixel = 1;

    // Slot block.
    std::unique_ptr<uint8_t[]> m_block;
    size_t m_blockSize = 0;
    size_t m_slotStride = 0;
    size_t m_slotCount = 0;
    uint64_t m_ordinaryCapacity = 0;

    // Frame in progress (feeding thread only).
    bool m_inFrame = false;
    UsbFrameHeader m_header;
    uint64_t m_frameBytes = 0;
    uint64_t m_needBytes = 0;
    FrameCacheSlot* m_current = nullptr;
    bool m_currentBroken = false;

    // Line-mode decoder (feeding thread only).
    int m_lineState = 0;
    uint8_t m_lineCommand = 0;
    uint32_t m_lineWords = 0;
    uint32_t m_lineCopied = 0;
    uint32_t m_lineIndex = 0;
    bool m_lineOpen = false;
    size_t m_lineDest = 0;                  // byte offset of the current line in the line frame buffer
    std::unique_ptr<uint8_t[]> m_lineFrame; // kLineFrameBufferSize, made at first use

    // Queues, under m_mutex.
    mutable sys::Mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<FrameCacheSlot*> m_output QX_GUARDED_BY(m_mutex);
    std::deque<FrameCacheSlot*> m_free QX_GUARDED_BY(m_mutex);
    FrameCacheSlot* m_held QX_GUARDED_BY(m_mutex) = nullptr;
    bool m_takesCancelled QX_GUARDED_BY(m_mutex) = false;
    bool m_ready QX_GUARDED_BY(m_mutex) = false;
    UsbStreamStats m_stats QX_GUARDED_BY(m_mutex);
};

} // namespace qx::usb3
