#include "gige/GevRing.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "gige/GevCamera.h"
#include "gige/GvspProtocol.h"
#include "Sys/FrameRate.h"

namespace qx::gige {

void GevImageBuffer::beginBlock(uint64_t id, uint32_t packets) {
    blockId = id;
    timestamp = 0;
    missingPackets = static_cast<int32_t>(std::min<uint32_t>(packets, 0x7FFFFFFF));
    countedPackets = packets;
    missingBlocks = 0;
    word1 = word2 = 0;
    filledUpTo = 0;
    status = GEV_BUFFER_COMPLETE;
    resendRequested = resendReceived = requestedPackets = 0;
    outOfOrder = 0;
    TrailerSizeY = 0;
    genDcWord = 0;
    genDcSize = 0;
    genDcFlag = 0;
    nextExpectedPacket = 1;
    lastRequested = 0;
    packetTooLargeReported = false;
    packetStates.assign(packets, GEV_PACKET_MISSING); // a multi-part block may have grown them
    carried.clear();
}

void GevBufferList::push(GevImageBuffer* b) {
    if (!b) return;
    {
        qx::sys::MutexLock lock(m_mutex);
        b->next = nullptr;
        if (m_tail) m_tail->next = b;
        else m_head = b;
        m_tail = b;
        ++m_count;
    }
    m_cv.notify_one();
}

GevImageBuffer* GevBufferList::pop() {
    qx::sys::MutexLock lock(m_mutex);
    GevImageBuffer* b = m_head;
    if (!b) return nullptr;
    m_head = b->next;
    if (!m_head) m_tail = nullptr;
    b->next = nullptr;
    --m_count;
    return b;
}

GevImageBuffer* GevBufferList::popWait(uint32_t waitMs) {
    {
        qx::sys::UniqueLock lock(m_mutex);
        if (!m_head)
            m_cv.wait_for(lock, std::chrono::milliseconds(waitMs),
                          [this]() QX_REQUIRES(m_mutex) { return m_head != nullptr; });
    }
    return pop();
}

uint32_t GevBufferList::count() const {
    qx::sys::MutexLock lock(m_mutex);
    return m_count;
}

void GevBufferList::clear(std::vector<uint16_t>* indices) {
    qx::sys::MutexLock lock(m_mutex);
    for (GevImageBuffer* b = m_head; b;) {
        GevImageBuffer* n = b->next;
        if (indices) indices->push_back(b->ringIndex);
        b->next = nullptr;
        b = n;
    }
    m_head = m_tail = nullptr;
    m_count = 0;
}

int64_t gevPerformanceCounter() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

void GevFpsMeter::reset() {
    qx::sys::MutexLock lock(m_mutex);
    m_start = m_last = 0;
    m_frequency = 1000000000;
    m_frames = 0;
    m_ticks = 0;
    m_doneFrames = 0;
    m_doneTicks = 0;
}

void GevFpsMeter::update(int logCam) {
    qx::sys::MutexLock lock(m_mutex);
    const int64_t now = gevPerformanceCounter();
    m_last = now;
    if (m_start == 0) {
        m_start = now;
        return;
    }
    ++m_frames;
    m_ticks = now > m_start ? now - m_start : 0;
    if (m_ticks >= m_frequency) {
        m_doneFrames = m_frames;
        m_doneTicks = m_ticks;
        QX_GEV_LOG(static_cast<uint8_t>(logCam), GEV_LOG_VERBOSE,
                   "[V] set_fps update: {} frames in {} time ticks ({} ticks/sec)\n", m_frames,
                   static_cast<long long>(m_ticks), static_cast<long long>(m_frequency));
        m_start = now;
        m_frames = 0;
    }
}

double GevFpsMeter::rate(bool* stable) const {
    qx::sys::MutexLock lock(m_mutex);
    if (m_doneTicks > 0) {
        if (stable) *stable = true;
        return sys::framesPerSecond(m_doneFrames, m_doneTicks, m_frequency);
    }
    if (stable) *stable = false;
    if (m_frames == 0 || m_ticks <= 0) return 0.0;
    return sys::framesPerSecond(m_frames, m_ticks, m_frequency);
}

void GevBufferQueues::logNoFreeBuffer(int logCam) const {
    QX_GEV_LOG(static_cast<uint8_t>(logCam), GEV_LOG_WARNING,
               "[W] There is no buffer available in the queue to store the data. (QueuedList: {}, DeliverList: {})\n\n",
               freeList.count(), deliverList.count());
}

void GevBufferQueues::giveBack(GevImageBuffer* b) {
    if (b == lentTo) lentTo = nullptr;
    b->lent = nullptr;
    freeList.push(b);
}

void GevBufferQueues::withdrawLoan() {
    lendNext = nullptr;
    if (!lentTo) return;
    std::memcpy(lentTo->data.data(), lentTo->lent, lentTo->data.size());
    lentTo->lent = nullptr;
    lentTo = nullptr;
}

GevImageBuffer* GevBufferQueues::TakeFreeBuffer(bool zero) {
    GevImageBuffer* b = freeList.pop();
    if (!b) return nullptr;
    b->lent = nullptr;
    if (zero) std::memset(b->data.data(), 0, b->data.size());
    b->zeroed = zero;
    return b;
}

std::unique_ptr<GevBufferQueues> AllocateRing(uint16_t count, uint32_t payloadSize, uint32_t packetPayload,
                                              uint32_t packets, uint32_t width, uint32_t height, uint32_t pixelFormat) {
    try {
        auto ring = std::make_unique<GevBufferQueues>();
        ring->payloadSize = payloadSize;
        ring->packetPayload = packetPayload;
        ring->packetsPerBlock = packets;
        const uint32_t rest = packetPayload ? payloadSize % packetPayload : 0;
        for (uint16_t i = 0; i < count; ++i) {
            auto b = std::make_unique<GevImageBuffer>();
            b->ringIndex = i;
            b->packetPayload = packetPayload;
            b->lastPacketPayload = rest ? rest : packetPayload;
            b->data.assign(payloadSize, 0);
            b->packetStates.assign(packets, GEV_PACKET_MISSING);
            b->pixelFormat = pixelFormat;
            b->width = width;
            b->height = height;
            ring->buffers.push_back(std::move(b));
        }
        for (auto& b : ring->buffers) ring->freeList.push(b.get());
        return ring;
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
}

void FreeRing(std::unique_ptr<GevBufferQueues>& ring, int logCam) {
    if (!ring) return;
    QX_GEV_LOG(static_cast<uint8_t>(logCam), GEV_LOG_VERBOSE,
               "[V] Queues state for {} at close_buffer: {} pending, {} to deliver\n", static_cast<void*>(ring.get()),
               ring->freeList.count(), ring->deliverList.count());
    ring->freeList.clear();
    ring->deliverList.clear();
    ring.reset();
}

GevStatus gevCopyImage(const GevImageBuffer& b, uint32_t payloadSize, uint8_t* dest, GevImageHeader* header,
                       int logCam) {
    const uint8_t cam = static_cast<uint8_t>(logCam);
    // The destination may be the block's own (lent) memory: lines only move towards its start.
    const uint8_t* src = b.bytes();
    const uint64_t srcSize = std::min<uint64_t>(payloadSize, b.data.size());
    uint32_t height = b.height;
    QX_GEV_LOG(cam, GEV_LOG_VERBOSE, "[V] copy {}x{} pixel data in image memory\n", b.width, b.height);
    const uint64_t bpp = gvsp::bytesPerPixel(b.pixelFormat);
    if (b.width != GEV_NON_IMAGE_WIDTH && b.paddingX != 0) {
        // Lines are packed; a source line that would end beyond the block (or the buffer) is
        // skipped, and so are all after it (the height may be any 32-bit value).
        const uint64_t line = bpp * b.width;
        const uint64_t stride = line + b.paddingX;
        const uint64_t limit = std::min<uint64_t>(uint64_t(b.height) * stride, srcSize);
        uint64_t out = 0;
        for (uint32_t y = 0; y < b.height; ++y) {
            const uint64_t at = uint64_t(y) * stride;
            if (at + line > limit || out + line > payloadSize) {
                QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Wrong value of Padding X: {}\n", b.paddingX);
                break;
            }
            std::memmove(dest + out, src + at, line);
            out += line;
        }
        if (out < payloadSize) std::memset(dest + out, 0, payloadSize - out);
    } else if (b.width == GEV_NON_IMAGE_WIDTH) {
        // Raw data: its size is in the height field, never more than the block holds.
        const uint64_t n = std::min<uint64_t>(b.height, srcSize);
        if (dest != src) std::memcpy(dest, src, n);
        if (n < payloadSize) std::memset(dest + n, 0, payloadSize - n);
    } else if (b.TrailerSizeY == b.height) {
        if (dest != src) std::memcpy(dest, src, srcSize);
        QX_GEV_LOG(cam, GEV_LOG_VERBOSE, "[V] Copied: {} bytes, no adjustment needed\n", payloadSize);
    } else {
        height = b.TrailerSizeY;
        uint64_t n = uint64_t(b.width) * b.TrailerSizeY * bpp;
        QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] header/trailer ({}) size mismatch. Adjusted size to {}\n", b.TrailerSizeY,
                   static_cast<int>(std::min<uint64_t>(n, 0x7FFFFFFF)));
        if (n > srcSize) {
            QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] planned size was beyond buffer size {}\n", payloadSize);
            n = srcSize;
        }
        if (dest != src) std::memcpy(dest, src, n);
        if (n < payloadSize) std::memset(dest + n, 0, payloadSize - n);
        QX_GEV_LOG(cam, GEV_LOG_VERBOSE, "[V] Copied: {} bytes, now image header\n", static_cast<int>(n));
    }

    GevImageHeader h{};
    h.BlockId = b.blockId;
    h.Timestamp = b.timestamp;
    h.PixelFormat = b.pixelFormat;
    h.SizeX = b.width;
    h.SizeY = height;
    h.OffsetX = b.offsetX;
    h.OffsetY = b.offsetY;
    h.PaddingX = b.paddingX;
    h.PaddingY = b.paddingY;
    h.MissingPackets = b.missingPackets > 0 ? static_cast<uint32_t>(b.missingPackets) : 0;
    h.MissingBlocks = b.missingBlocks;
    h.PayloadType = b.payloadType;
    h.ChunkLayoutId = b.word1;
    h.ChunkLength = b.word2;
    h.ResendRequested = b.resendRequested;
    h.ResendReceived = std::min(b.resendRequested, b.resendReceived);
    h.FilledUpTo = b.filledUpTo;
    GevStatus st = GEV_STATUS_SUCCESS;
    if (b.status == GEV_BUFFER_INCOMPLETE && b.missingPackets > 0) st = GEV_STATUS_GRAB_ERROR;
    else h.MissingPackets = 0;
    if (header) *header = h;
    return st;
}

} // namespace qx::gige
