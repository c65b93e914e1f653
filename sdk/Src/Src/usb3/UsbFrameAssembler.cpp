#include "usb3/UsbFrameAssembler.h"

#include "Sys/ByteOrder.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

namespace qx::usb3 {

namespace {

// Largest slot block the assembler allocates (all slots together).
constexpr uint64_t kMaxBlockBytes = uint64_t(3) << 30;

// Bytes per pixel that complete a frame, and the slot's width field and bits, by image type.
struct TypeInfo {
    uint64_t factor;
    int64_t widthField;
    int32_t bits;
};
TypeInfo typeInfo(uint32_t imageType, uint16_t width, int devBytesPerPixel) {
    switch (imageType) {
    case 1:
    case 3: return {8, int64_t(width) * 4, 12};
    case 2: return {4, int64_t(width) * 2, 14};
    case 4: return {2, int64_t(width), 14};
    default: return {uint64_t(devBytesPerPixel), int64_t(width), 8 * devBytesPerPixel};
    }
}

} // namespace

bool isFrameHeaderPage(const uint8_t* page, size_t size) {
    using namespace frame_header;
    return page && size >= kMagicSize && Magic0::get(page, size) == kFrameMagic[0] &&
           Magic1::get(page, size) == kFrameMagic[1] && Magic2::get(page, size) == kFrameMagic[2] &&
           Magic3::get(page, size) == kFrameMagic[3];
}

bool parseFrameHeader(const uint8_t* page, size_t size, UsbFrameHeader& out) {
    if (size < frame_header::kSize || !isFrameHeaderPage(page, size)) return false;
    frame_header::forEachField(out, [&](auto field, auto& member) { member = field.get(page, size); });
    return true;
}

std::vector<uint8_t> encodeFrameHeaderPage(const UsbFrameHeader& h) {
    using namespace frame_header;
    std::vector<uint8_t> page(kStreamPageSize, 0);
    uint8_t* p = page.data();
    Magic0::set(p, page.size(), kFrameMagic[0]);
    Magic1::set(p, page.size(), kFrameMagic[1]);
    Magic2::set(p, page.size(), kFrameMagic[2]);
    Magic3::set(p, page.size(), kFrameMagic[3]);
    forEachField(h, [&](auto field, const auto& member) { field.set(p, page.size(), member); });
    return page;
}

long usbNextRequestLength(const uint8_t* data, long received, long current, long full) {
    long next = full;
    if (!data || received <= 0 || current <= 0) return next;
    for (long off = 0; off + long(kStreamPageSize) <= received; off += long(kStreamPageSize)) {
        UsbFrameHeader h;
        if (!parseFrameHeader(data + off, kStreamPageSize, h)) continue;
        const int64_t after = std::max<int64_t>(0, int64_t(received) - off - int64_t(kStreamPageSize));
        const int64_t left = int64_t(h.packetCount) * int64_t(kStreamPageSize) - after;
        const int64_t rest = left > 0 ? left % current : 0;
        if (rest >= 1 && rest <= full) next = long(rest);
    }
    return next;
}

// ---- slots ----

bool UsbFrameAssembler::configure(int width, int height, int bitsPerPixel, int bytesPerPixel, int slotCount) {
    if (width <= 0 || height <= 0 || slotCount <= 0 || slotCount > 64) return false;
    const uint64_t data = uint64_t(width) * uint64_t(height) * 4u;
    // Each slot starts on a 64-byte boundary so its header is properly aligned.
    const uint64_t stride = (data + kFrameSlotDataOffset + kFrameSlotHeaderSize + 63u) & ~uint64_t(63);
    const uint64_t total = stride * uint64_t(slotCount);
    if (total > kMaxBlockBytes) return false;
    {
        sys::MutexLock lk(m_mutex);
        // A block large enough already is kept: a restart with the same or a smaller image
        // allocates nothing.
        if (!m_block || m_blockSize < total) {
            m_block.reset(new (std::nothrow) uint8_t[size_t(total)]);
            if (!m_block) {
                m_blockSize = 0;
                m_slotCount = 0;
                m_output.clear();
                m_free.clear();
                m_held = nullptr;
                return false;
            }
            m_blockSize = size_t(total);
        }
        m_slotStride = size_t(stride);
        m_slotCount = size_t(slotCount);
        m_ordinaryCapacity = data;
        m_devWidth = width;
        m_devHeight = height;
        m_devBits = bitsPerPixel;
        m_devBytesPerPixel = std::clamp(bytesPerPixel, 1, 16);
    }
    reset();
    return true;
}

FrameCacheSlot* UsbFrameAssembler::slotAt(size_t i) const {
    return reinterpret_cast<FrameCacheSlot*>(m_block.get() + i * m_slotStride);
}

void UsbFrameAssembler::reset() {
    {
        sys::MutexLock lk(m_mutex);
        m_output.clear();
        m_free.clear();
        m_held = nullptr;
        m_ready = false;
        for (size_t i = 0; i < m_slotCount; ++i) {
            FrameCacheSlot* s = new (m_block.get() + i * m_slotStride) FrameCacheSlot();
            m_free.push_back(s);
        }
    }
    m_inFrame = false;
    m_current = nullptr;
    m_frameBytes = 0;
    m_needBytes = 0;
    resetLineDecoder();
}

FrameCacheSlot* UsbFrameAssembler::takeFreeSlot() {
    sys::MutexLock lk(m_mutex);
    if (m_free.empty()) return nullptr;
    FrameCacheSlot* s = m_free.front();
    m_free.pop_front();
    return s;
}

void UsbFrameAssembler::queueSlot(FrameCacheSlot* slot, uint32_t frameNumber) {
    {
        sys::MutexLock lk(m_mutex);
        slot->frameNumber = frameNumber;
        m_output.push_back(slot);
        m_ready = true;
    }
    m_cv.notify_one();
}

bool UsbFrameAssembler::takeFrame(FrameCacheSlot*& slot, int timeoutMs) {
    slot = nullptr;
    sys::UniqueLock lk(m_mutex);
    if (m_held) {
        m_free.push_back(m_held);
        m_held = nullptr;
    }
    if (m_output.empty() && timeoutMs > 0 && !m_takesCancelled)
        m_cv.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                      [this]() QX_REQUIRES(m_mutex) { return !m_output.empty() || m_takesCancelled; });
    if (m_output.empty() || m_takesCancelled) return false;
    slot = m_output.front();
    m_output.pop_front();
    m_ready = false;
    m_held = slot;
    return true;
}

void UsbFrameAssembler::releaseFrame() {
    sys::MutexLock lk(m_mutex);
    if (m_held) {
        m_free.push_back(m_held);
        m_held = nullptr;
    }
}

void UsbFrameAssembler::wakeAll() { m_cv.notify_all(); }

void UsbFrameAssembler::cancelTakes(bool cancel) {
    {
        sys::MutexLock lk(m_mutex);
        m_takesCancelled = cancel;
    }
    m_cv.notify_all();
}

size_t UsbFrameAssembler::queuedFrames() const {
    sys::MutexLock lk(m_mutex);
    return m_output.size();
}

size_t UsbFrameAssembler::freeSlots() const {
    sys::MutexLock lk(m_mutex);
    return m_free.size();
}

UsbStreamStats UsbFrameAssembler::stats() const {
    sys::MutexLock lk(m_mutex);
    return m_stats;
}

void UsbFrameAssembler::addDroppedBytes(uint64_t n) {
    sys::MutexLock lk(m_mutex);
    m_stats.droppedBytes += n;
}

void UsbFrameAssembler::addShortPage() {
    sys::MutexLock lk(m_mutex);
    ++m_stats.shortPages;
}

// ---- pages ----

void UsbFrameAssembler::abandonFrame() {
    if (m_inFrame && m_header.imageType != kLineModeImageType) {
        sys::MutexLock lk(m_mutex);
        ++m_stats.framesIncomplete;
    }
    m_inFrame = false;
    m_frameBytes = 0;
}

void UsbFrameAssembler::discontinuity() {
    {
        sys::MutexLock lk(m_mutex);
        ++m_stats.discontinuities;
    }
    abandonFrame();
    resetLineDecoder();
}

void UsbFrameAssembler::processPage(const uint8_t* page) {
    if (!page) return;
    UsbFrameHeader h;
    if (parseFrameHeader(page, kStreamPageSize, h)) {
        abandonFrame(); // a frame still in progress never got its last byte
        resetLineDecoder();
        sys::MutexLock lk(m_mutex);
        ++m_stats.pages;
        ++m_stats.headers;
        m_header = h;
        m_frameBytes = 0;
        if (h.imageType == kLineModeImageType) {
            m_inFrame = true;
            return;
        }
        const TypeInfo t = typeInfo(h.imageType, h.width, m_devBytesPerPixel);
        m_needBytes = t.factor * uint64_t(h.width) * uint64_t(h.height);
        // A frame that does not fit a slot, that has no pixels, or whose announced pages can
        // never carry its bytes is not assembled.
        const bool fits = m_needBytes > 0 && m_needBytes <= m_ordinaryCapacity;
        const bool reachable = h.packetCount == 0 || uint64_t(h.packetCount) * kStreamPageSize >= m_needBytes;
        if (!fits || !reachable || m_slotCount == 0) {
            ++m_stats.framesRejected;
            m_inFrame = false;
            return;
        }
        m_inFrame = true;
        return;
    }
    {
        sys::MutexLock lk(m_mutex);
        ++m_stats.pages;
        if (!m_inFrame) {
            ++m_stats.pagesIgnored;
            return;
        }
    }
    if (m_header.imageType == kLineModeImageType) {
        lineWords(page);
        return;
    }
    if (m_frameBytes == 0) {
        // First data page: the frame needs a slot for all of its pages, or it is dropped whole.
        if (!m_current) m_current = takeFreeSlot();
        if (!m_current) {
            sys::MutexLock lk(m_mutex);
            ++m_stats.framesNoSlot;
            m_inFrame = false;
            return;
        }
        const TypeInfo t = typeInfo(m_header.imageType, m_header.width, m_devBytesPerPixel);
        FrameCacheSlot* s = m_current;
        s->imageType = m_header.imageType;
        s->width = int32_t(t.widthField);
        s->height = m_header.height;
        s->bits = t.bits;
        s->pixelKind = 0;
        s->frameNumber = m_header.frameNumber;
        s->data = reinterpret_cast<uint8_t*>(s) + kFrameSlotHeaderSize + kFrameSlotDataOffset;
        s->capacity = m_ordinaryCapacity;
        s->dataBytes = 0;
    }
    FrameCacheSlot* s = m_current;
    const uint64_t room = s->capacity > m_frameBytes ? s->capacity - m_frameBytes : 0;
    const size_t n = size_t(std::min<uint64_t>(kStreamPageSize, room));
    if (n) std::memcpy(s->data + m_frameBytes, page, n);
    m_frameBytes += kStreamPageSize;
    if (m_frameBytes >= m_needBytes) {
        s->dataBytes = m_needBytes;
        m_inFrame = false;
        m_frameBytes = 0;
        {
            sys::MutexLock lk(m_mutex);
            ++m_stats.framesCompleted;
        }
        queueSlot(s, m_header.frameNumber);
        m_current = nullptr;
    }
}

// ---- line mode ----

void UsbFrameAssembler::resetLineDecoder() {
    m_lineState = 0;
    m_lineCommand = 0;
    m_lineWords = 0;
    m_lineCopied = 0;
    m_lineIndex = 0;
    m_lineOpen = false;
    m_lineDest = 0;
}

void UsbFrameAssembler::outputLineFrame() {
    m_lineOpen = false;
    const uint64_t used = kFrameSlotHeaderSize + kLineFrameDataOffset + uint64_t(m_devWidth) * uint64_t(m_devHeight);
    const uint64_t size = std::min<uint64_t>(used, kLineFrameBufferSize);
    FrameCacheSlot* s = nullptr;
    if (size <= m_slotStride) s = takeFreeSlot();
    if (!s) {
        sys::MutexLock lk(m_mutex);
        ++m_stats.framesNoSlot;
        return;
    }
    uint8_t* base = reinterpret_cast<uint8_t*>(s);
    std::memcpy(base + kFrameSlotHeaderSize, m_lineFrame.get() + kFrameSlotHeaderSize,
                size_t(size - kFrameSlotHeaderSize));
    s->imageType = kLineModeImageType;
    s->width = m_devWidth;
    s->height = m_devHeight;
    s->bits = m_devBits;
    s->pixelKind = 0;
    s->data = base + kFrameSlotHeaderSize + kLineFrameDataOffset;
    s->capacity = size - kFrameSlotHeaderSize - kLineFrameDataOffset;
    s->dataBytes = std::min<uint64_t>(uint64_t(m_devWidth) * uint64_t(m_devHeight), s->capacity);
    {
        sys::MutexLock lk(m_mutex);
        ++m_stats.framesCompleted;
        ++m_stats.lineFrames;
    }
    queueSlot(s, m_header.frameNumber);
}

void UsbFrameAssembler::lineWords(const uint8_t* page) {
    for (size_t i = 0; i < kStreamPageSize / 2; ++i) {
        const uint16_t w = sys::loadLe16(page + 2 * i);
        switch (m_lineState) {
        case 0: m_lineState = w == kLineSync ? 1 : 0; break;
        case 1: m_lineState = w == kLineSync2 ? 2 : 0; break;
        case 2: m_lineState = w == kLineSync ? 3 : 0; break;
        case 3:
            m_lineCommand = uint8_t(w & 0xFF);
            m_lineState =
                (m_lineCommand == kLineFirst || m_lineCommand == kLineNext || m_lineCommand == kLineLast) ? 4 : 0;
            break;
        case 4: m_lineState = 5; break;
        case 5: {
            m_lineWords = m_devWidth > 0 ? uint32_t(m_devWidth) / 2u : 0u;
            if (m_lineWords > kMaxLineWords) {
                m_lineState = 0;
                break;
            }
            if (m_lineCommand == kLineFirst) {
                if (!m_lineOpen) {
                    if (!m_lineFrame) m_lineFrame.reset(new (std::nothrow) uint8_t[kLineFrameBufferSize]);
                    if (!m_lineFrame) {
                        m_lineState = 0;
                        break;
                    }
                    std::memset(m_lineFrame.get(), 0, kFrameSlotHeaderSize);
                    m_lineOpen = true;
                }
                m_lineIndex = 0;
            }
            if (!m_lineOpen) {
                m_lineState = 0; // a line without an open frame is skipped
                break;
            }
            m_lineDest = kFrameSlotHeaderSize + kLineFrameDataOffset + size_t(m_devWidth) * m_lineIndex;
            if (m_lineDest + size_t(m_lineWords) * 2 > kLineFrameBufferSize) {
                // The line would run past the line frame: the frame cannot be held.
                m_lineOpen = false;
                m_lineState = 0;
                sys::MutexLock lk(m_mutex);
                ++m_stats.framesRejected;
                break;
            }
            m_lineCopied = 0;
            m_lineState = 6;
            if (m_lineWords == 0) goto line_done;
            break;
        }
        case 6:
        case 7:
            sys::storeLe16(m_lineFrame.get() + m_lineDest + 2 * size_t(m_lineCopied), w);
            ++m_lineCopied;
            m_lineState = 7; // the rest of the line may continue on the next page
            if (m_lineCopied < m_lineWords) break;
        line_done:
            // Each line takes one row of the frame, also for an odd width.
            ++m_lineIndex;
            m_lineState = 0;
            if (m_lineCommand == kLineLast || m_lineIndex >= uint32_t(std::max(m_devHeight, 0))) outputLineFrame();
            break;
        default: m_lineState = 0; break;
        }
    }
}

} // namespace qx::usb3
