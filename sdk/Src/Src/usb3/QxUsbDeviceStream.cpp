// Image stream of QxUsbDevice: stream start and stop, the bulk reader, the receive ring and
// the frame assembler thread; plus the offline-report fields the USB manager uses.
#include "usb3/QxUsbDevice.h"

#include "Sys/Log.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <new>

namespace qx::usb3 {

// ---- settings ----

void QxUsbDevice::SetImageInfo(int width, int height, int bitsPerPixel) {
    m_width = width;
    m_height = height;
    m_bitsPerPixel = bitsPerPixel;
}

void QxUsbDevice::SetTransferParams(int cacheSlots, int transferUnits) {
    m_cacheSlots = cacheSlots;
    m_transferUnits = transferUnits;
}

void QxUsbDevice::SetPixelBytes(int bytesPerPixel) { m_pixelBytes = std::clamp(bytesPerPixel, 1, 16); }

// ---- removal ----

bool QxUsbDevice::markRemoved() {
    int32_t expected = 0;
    return m_removed.compare_exchange_strong(expected, 1);
}

// ---- start and stop ----

bool QxUsbDevice::UsbStartStream() {
    sys::MutexLock lk(m_streamMutex);
    m_frames.cancelTakes(false);
    if (m_acquiring.load()) return true;
    if (!m_open.load() || !m_driver->isOpen() || !m_rxRing) {
        m_acquiring = false;
        return false;
    }
    const int units = m_transferUnits.load();
    if (units <= 0 || units > 1024) {
        QX_LOG_ERROR("func:{}, transfer units {} out of range", units);
        return false;
    }
    // The slot block is sized before anything is asked of the camera, so a size that cannot
    // be held fails the start instead of a thread.
    if (!m_frames.configure(m_width.load(), m_height.load(), m_bitsPerPixel.load(), m_pixelBytes.load(),
                            m_cacheSlots.load())) {
        QX_LOG_ERROR("func:{}, cannot hold {} frames of {}x{}", m_cacheSlots.load(), m_width.load(), m_height.load());
        return false;
    }
    CCyControlEndPoint* ctl = m_driver->controlEndPoint();
    if (!ctl) return false;
    ctl->Target = 0;    // device
    ctl->ReqType = 2;   // vendor
    ctl->Direction = 1; // device-to-host
    ctl->ReqCode = kLinkRequest;
    ctl->Value = kStreamStartValue;
    ctl->Index = 0;
    ctl->TimeOut = kStreamStartTimeoutMs;
    uint8_t reply[64] = {};
    long len = sizeof(reply);
    const bool ok = ctl->XferData(reply, len);
    if (!ok) {
        m_acquiring = false;
        m_running = false;
        return false;
    }
    // Bytes left over from an earlier run are not part of this stream.
    m_rxRead.store(m_rxWrite.load());
    {
        sys::MutexLock g(m_gapMutex);
        m_gaps.clear();
    }
    m_stageFill = 0;
    {
        sys::MutexLock e(m_ringEventMutex);
        m_ringEvent = false;
    }
    m_acquiring = true;
    m_running = true;
    m_readerAlive = true;
    m_bulkReader = sys::JoiningThread([this] { UsbBulkReaderThread(); });
    m_bulkReader.setName("qx-usb-bulk");
    m_assembler = sys::JoiningThread([this] { UsbFrameAssemblerThread(); });
    m_assembler.setName("qx-usb-frames");
    return true;
}

void QxUsbDevice::stopStreamThreads() {
    {
        sys::MutexLock lk(m_ringEventMutex);
        m_running = false;
    }
    m_bulkWake.notify_all();
    if (CCyUSBEndPoint* ep = m_bulkEp.load()) ep->Abort(); // ends the reader's wait at once
    signalRing();
    m_bulkReader.join();
    m_assembler.join();
}

bool QxUsbDevice::UsbStopStream() {
    sys::MutexLock lk(m_streamMutex);
    if (!m_acquiring.load()) return true;
    const bool wasRunning = m_running.load();
    m_acquiring = false;
    if (wasRunning || m_bulkReader.joinable() || m_assembler.joinable()) stopStreamThreads();
    m_running = false;
    m_frames.reset();
    m_frames.wakeAll();
    return true;
}

bool QxUsbDevice::UsbTakeFrame(FrameCacheSlot*& slot, int timeoutMs) { return m_frames.takeFrame(slot, timeoutMs); }

void QxUsbDevice::UsbReleaseFrame() { m_frames.releaseFrame(); }

// ---- bulk reader ----

long QxUsbDevice::nextRequestLength(const uint8_t* data, long received, long current, long full) {
    return usbNextRequestLength(data, received, current, full);
}

void QxUsbDevice::signalRing() {
    {
        sys::MutexLock lk(m_ringEventMutex);
        m_ringEvent = true;
    }
    m_ringEventCv.notify_one();
}

void QxUsbDevice::pushGap(uint64_t at) {
    sys::MutexLock lk(m_gapMutex);
    if (m_gaps.empty() || m_gaps.back() != at) m_gaps.push_back(at);
    m_gapCount.fetch_add(1);
}

void QxUsbDevice::appendRing(const uint8_t* data, size_t size) {
    if (size == 0) return;
    const uint64_t w = m_rxWrite.load(std::memory_order_relaxed);
    const uint64_t r = m_rxRead.load(std::memory_order_acquire);
    const uint64_t room = kRxRingSize - (w - r);
    if (size > room) {
        // The assembler is more than the ring behind: what it has not taken is kept, the new
        // data are dropped and the frame they belonged to is lost.
        m_frames.addDroppedBytes(size);
        pushGap(w);
        signalRing();
        return;
    }
    const size_t idx = size_t(w % kRxRingSize);
    const size_t first = std::min(size, kRxRingSize - idx);
    std::memcpy(m_rxRing.get() + idx, data, first);
    if (size > first) std::memcpy(m_rxRing.get(), data + first, size - first);
    m_rxWrite.store(w + size, std::memory_order_release);
    // A transfer that ends inside a page leaves a cut page: the pages after it start anew.
    if (size % kStreamPageSize) pushGap(w + size);
    signalRing();
}

void QxUsbDevice::UsbBulkReaderThread() {
    struct Slot {
        std::unique_ptr<uint8_t[]> buffer;
        UsbOverlapped ov;
        UsbXferContextPtr ctx;
        long request = 0;
    };
    UsbDriverDevice& drv = *m_driver;
    CCyUSBEndPoint* ep = nullptr;
    for (int i = 1; i < drv.endpointCount(); ++i) {
        CCyUSBEndPoint* e = drv.endpointAt(i);
        if (e && e->Attributes >= 1 && e->Attributes <= 3 && e->Address == kBulkInEndpoint) {
            ep = e;
            break;
        }
    }
    if (!ep) {
        QX_LOG_ERROR("func:{}, no bulk IN endpoint 0x81 on {}", m_path);
        m_readerAlive = false;
        return;
    }
    const long full = long(m_transferUnits.load()) * long(kStreamPageSize);
    ep->SetXferSize(static_cast<unsigned long>(full));
    m_bulkEp = ep;
    std::vector<Slot> slots(kBulkTransfers);
    bool failed = false;
    for (Slot& s : slots) {
        s.buffer.reset(new (std::nothrow) uint8_t[size_t(full)]);
        s.request = full;
        if (s.buffer) s.ctx = ep->BeginDataXfer(s.buffer.get(), full, &s.ov);
        if (!s.buffer || !s.ctx || s.ov.lastError != kErrorIoPending) {
            failed = true;
            break;
        }
    }
    if (failed) QX_LOG_ERROR("func:{}, BeginDataXfer failed, error:{}", ep->LastError);
    // A failing endpoint (a halt, a device gone) is cleared and retried with a growing pause;
    // transfers queued before the last clear fail with the old state and are only requeued.
    // Failing for kBulkFailureLimitMs without a success ends the stream and reports the loss.
    uint64_t clears = 0;
    std::vector<uint64_t> queuedAfter(slots.size(), 0);
    int failuresInRow = 0;
    std::chrono::steady_clock::time_point failingSince;
    for (size_t i = 0; !failed && m_running.load(); i = (i + 1) % slots.size()) {
        Slot& s = slots[i];
        // No data for a while is no failure: a camera waiting for its trigger, or paused, sends
        // nothing for as long as it likes. The transfer stays queued and is waited for again;
        // only a stop (which aborts the endpoint) or a completion ends the wait.
        bool waited = ep->WaitForXfer(&s.ov, kBulkWaitMs);
        while (!waited && m_running.load() && s.ctx && s.ctx->transfer && !s.ctx->transfer->done())
            waited = ep->WaitForXfer(&s.ov, kBulkWaitMs);
        if (!m_running.load()) break;
        long got = s.request;
        const bool ok = ep->FinishDataXfer(s.buffer.get(), got, &s.ov, std::move(s.ctx));
        // A transfer that ended by its own time-out, or was cancelled while the stream runs,
        // carries the bytes it got in order and is simply queued again.
        const bool requeue = !ok && (ep->LastError == kErrorSemTimeout || ep->LastError == kErrorOperationAborted);
        long next = full;
        if ((ok || requeue) && got > 0) {
            next = nextRequestLength(s.buffer.get(), got, s.request, full);
            appendRing(s.buffer.get(), size_t(got));
        } else if (got > 0) {
            // A transfer that failed part-way: its bytes cannot be trusted to be whole.
            m_frames.addDroppedBytes(uint64_t(got));
            pushGap(m_rxWrite.load(std::memory_order_relaxed));
            signalRing();
        }
        if (!m_running.load()) break;
        if (ok) {
            if (failuresInRow > 0) QX_LOG_INFO("func:{}, bulk transfers of {} succeed again", m_path);
            failuresInRow = 0;
        } else if (!requeue && queuedAfter[i] == clears) {
            const auto now = std::chrono::steady_clock::now();
            if (failuresInRow++ == 0) {
                failingSince = now;
                QX_LOG_ERROR("func:{}, bulk transfer on {} failed (status {:#x}), clearing the endpoint", m_path,
                             ep->UsbdStatus);
            }
            if (now - failingSince >= std::chrono::milliseconds(kBulkFailureLimitMs)) {
                QX_LOG_ERROR("func:{}, bulk transfers on {} keep failing for {} ms: the stream ends", m_path,
                             kBulkFailureLimitMs);
                reportLost();
                break;
            }
            ep->Reset();
            ++clears;
            const int pauseMs = std::min(kBulkRetryMaxMs, 1 << std::min(failuresInRow - 1, 10));
            sys::UniqueLock lk(m_ringEventMutex);
            m_bulkWake.wait_for(lk, std::chrono::milliseconds(pauseMs), [this] { return !m_running.load(); });
            if (!m_running.load()) break;
        }
        s.request = next;
        queuedAfter[i] = clears;
        s.ctx = ep->BeginDataXfer(s.buffer.get(), next, &s.ov);
        if (!s.ctx || s.ov.lastError != kErrorIoPending) {
            QX_LOG_ERROR("func:{}, BeginDataXfer failed, error:{}", ep->LastError);
            reportLost();
            break;
        }
    }
    // The stream ends: every transfer is cancelled and finished before its buffer goes.
    ep->Abort();
    for (Slot& s : slots) {
        if (!s.ctx) continue;
        ep->WaitForXfer(&s.ov, 20);
        long got = s.request;
        ep->FinishDataXfer(s.buffer.get(), got, &s.ov, std::move(s.ctx));
    }
    slots.clear();
    m_bulkEp = nullptr;
    m_readerAlive = false;
}

void QxUsbDevice::setLostHandler(std::function<void()> handler) {
    sys::MutexLock lk(m_lostMutex);
    m_lostHandler = std::move(handler);
}

void QxUsbDevice::reportLost() {
    std::function<void()> handler;
    {
        sys::MutexLock lk(m_lostMutex);
        handler = m_lostHandler;
    }
    if (handler) handler();
}

// ---- frame assembler ----

bool QxUsbDevice::UsbAssembleStep() {
    const uint64_t w = m_rxWrite.load(std::memory_order_acquire);
    const uint64_t r = m_rxRead.load(std::memory_order_relaxed);
    uint64_t gap = std::numeric_limits<uint64_t>::max();
    {
        sys::MutexLock lk(m_gapMutex);
        if (!m_gaps.empty()) gap = m_gaps.front();
        if (gap <= r) m_gaps.pop_front();
    }
    if (gap <= r) {
        if (m_stageFill) {
            m_frames.addShortPage();
            m_stageFill = 0;
        }
        m_frames.discontinuity();
        return true;
    }
    const uint64_t limit = std::min(w, gap);
    if (limit <= r) return false;
    const size_t idx = size_t(r % kRxRingSize);
    if (m_stageFill == 0 && limit - r >= kStreamPageSize && idx + kStreamPageSize <= kRxRingSize) {
        // A whole page lies in the ring: processed in place, then given back to the reader.
        m_frames.processPage(m_rxRing.get() + idx);
        m_rxRead.store(r + kStreamPageSize, std::memory_order_release);
        return true;
    }
    const size_t n = size_t(std::min<uint64_t>(limit - r, kStreamPageSize - m_stageFill));
    const size_t first = std::min(n, kRxRingSize - idx);
    std::memcpy(m_stage.data() + m_stageFill, m_rxRing.get() + idx, first);
    if (n > first) std::memcpy(m_stage.data() + m_stageFill + first, m_rxRing.get(), n - first);
    m_rxRead.store(r + n, std::memory_order_release);
    m_stageFill += n;
    if (m_stageFill == kStreamPageSize) {
        m_stageFill = 0;
        m_frames.processPage(m_stage.data());
    }
    return true;
}

void QxUsbDevice::UsbFrameAssemblerThread() {
    while (m_running.load()) {
        if (UsbAssembleStep()) continue;
        sys::UniqueLock lk(m_ringEventMutex);
        m_ringEventCv.wait_for(lk, std::chrono::milliseconds(100),
                               [this]() QX_REQUIRES(m_ringEventMutex) { return m_ringEvent || !m_running.load(); });
        m_ringEvent = false;
    }
    m_stageFill = 0;
}

} // namespace qx::usb3
