#include "usb3/QxUsbDevice.h"

#include "Sys/Log.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

namespace qx::usb3 {

namespace {

void setLinkRequest(CCyControlEndPoint& ep, uint8_t direction, unsigned long timeoutMs) {
    ep.Target = 2;  // endpoint
    ep.ReqType = 2; // vendor
    ep.Direction = direction;
    ep.ReqCode = kLinkRequest;
    ep.Value = kLinkValue;
    ep.Index = 0;
    ep.TimeOut = timeoutMs;
}

std::string lowerCase(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

} // namespace

QxUsbDevice::QxUsbDevice(std::string path, std::shared_ptr<usb::UsbBackend> backend)
    : m_path(std::move(path)), m_driver(std::make_unique<UsbDriverDevice>(std::move(backend))),
      m_rxRing(new (std::nothrow) uint8_t[kRxRingSize]) {}

QxUsbDevice::~QxUsbDevice() {
    UsbStopStream();
    UsbCloseLink();
}

bool QxUsbDevice::UsbOpenLink() {
    sys::MutexLock life(m_lifeMutex);
    if (m_open.load()) return true;
    const std::vector<std::string> paths = m_driver->devicePaths();
    const std::string wanted = lowerCase(m_path);
    int index = -1;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (paths[i] == wanted) {
            index = int(i);
            break;
        }
    }
    if (index < 0) {
        QX_LOG_ERROR("func:{}, {} is not listed", m_path);
        return false;
    }
    if (!m_driver->openDevice(static_cast<uint8_t>(index))) {
        QX_LOG_ERROR("func:{}, driver open of {} failed, error:{}", m_path, m_driver->LastError);
        return false;
    }
    // The list may have changed between listing and opening: make sure it is the same device.
    if (m_driver->DevPath != wanted) {
        QX_LOG_ERROR("func:{}, {} was replaced while it was opened", m_path);
        m_driver->releaseDevice();
        return false;
    }

    UsbEndpointDescriptor d;
    d.bLength = 7;
    d.bDescriptorType = 5;
    d.bEndpointAddress = 0;
    d.bmAttributes = 0;
    CCyControlEndPoint* ctl = m_driver->controlEndPoint();
    d.wMaxPacketSize = static_cast<uint16_t>(ctl ? std::min<uint32_t>(ctl->MaxPktSize, 0x7FF) : 0);
    m_readerEp = std::make_unique<CCyControlEndPoint>(m_driver->handleSlot(), d);
    m_sendEp = std::make_unique<CCyControlEndPoint>(m_driver->handleSlot(), d);
    m_readerEp->XferMode = 0;
    m_sendEp->XferMode = 0;
    {
        sys::MutexLock lk(m_decoderMutex);
        m_decoder.reset();
    }
    m_open = true;
    m_readerRunning = true;
    m_reader = sys::JoiningThread([this] { UsbIoReadThread(); });
    return true;
}

void QxUsbDevice::stopReader() {
    {
        sys::MutexLock lk(m_readerWakeMutex);
        m_readerRunning = false;
    }
    m_readerWake.notify_all();
    if (m_readerEp) m_readerEp->Abort(); // ends a link read in flight
    m_reader.join();
}

bool QxUsbDevice::UsbCloseLink() {
    // The stream cannot outlive the device it reads from.
    UsbStopStream();
    sys::MutexLock life(m_lifeMutex);
    if (!m_open.load()) return true;
    stopReader();
    {
        sys::MutexLock lk(m_sendMutex);
        m_readerEp.reset();
        m_sendEp.reset();
    }
    if (m_driver->isOpen()) m_driver->closeDevice();
    // Wake anyone still waiting for link data: nothing more will come. The flag changes under
    // each waiter's mutex, so a waiter about to sleep cannot miss it.
    {
        sys::MutexLockPair lk(m_replyMutex, m_channelMutex);
        m_open = false;
    }
    m_channelCv.notify_all();
    m_replyCv.notify_all();
    return true;
}

void QxUsbDevice::UsbIoReadThread() {
    // Between empty link reads the reader pauses: 10 ms while the camera has nothing to say,
    // 1 ms for a while after a request went out; a request also ends a pause at once, so a
    // reply is fetched as soon as the camera has it.
    auto pause = [this] {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        const auto ms = std::chrono::milliseconds(now < m_fastPollUntil.load() ? 1 : 10);
        sys::UniqueLock lk(m_readerWakeMutex);
        m_readerWake.wait_for(
            lk, ms, [this]() QX_REQUIRES(m_readerWakeMutex) { return !m_readerRunning.load() || m_readerKick; });
        m_readerKick = false;
    };
    // A failure is logged once per episode: a device that refuses every request (unplugged)
    // would otherwise fill the log a hundred times a second.
    bool failing = false;
    while (m_readerRunning.load()) {
        setLinkRequest(*m_readerEp, 1, kLinkReadTimeoutMs);
        UsbOverlapped ov;
        UsbXferContextPtr ctx = m_readerEp->BeginDataXfer(m_readerBuffer.data(), long(m_readerBuffer.size()), &ov);
        if (!ctx || ov.lastError != kErrorIoPending) {
            if (!failing)
                QX_LOG_ERROR("ioRead BeginDataXfers error,error:{},{}", int(m_readerEp->NtStatus),
                             int(m_readerEp->UsbdStatus));
            failing = true;
            ++m_linkReadFailures;
            pause(); // a device that refuses every request must not spin the reader
            continue;
        }
        // A close that came while the read was being started found nothing to abort.
        if (!m_readerRunning.load()) m_readerEp->Abort();
        if (!m_readerEp->WaitForXfer(&ov, kLinkReadTimeoutMs)) {
            m_readerEp->Abort();
            if (m_readerEp->LastError == kErrorIoPending || ov.lastError == kErrorIoPending) {
                m_readerEp->WaitForXfer(&ov, kLinkReadTimeoutMs);
            } else if (!failing) {
                QX_LOG_ERROR("ioRead wait xfer error,lasterror:{}", m_readerEp->LastError);
                failing = true;
            }
        }
        long got = long(m_readerBuffer.size());
        bool ok = m_readerEp->FinishDataXfer(m_readerBuffer.data(), got, &ov, std::move(ctx));
        if (ok) failing = false;
        if (ok && got > 0) {
            UsbLinkReceive(m_readerBuffer.data(), size_t(got));
        } else {
            pause();
        }
    }
}

void QxUsbDevice::kickReader() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFastPollMs);
    m_fastPollUntil.store(until.time_since_epoch().count());
    {
        sys::MutexLock lk(m_readerWakeMutex);
        m_readerKick = true;
    }
    m_readerWake.notify_all();
}

void QxUsbDevice::UsbLinkReceive(const uint8_t* bytes, size_t size) {
    if (!bytes || size == 0) return;
    sys::MutexLock lk(m_decoderMutex);
    uint64_t before = m_decoder.droppedFrames();
    m_decoder.feed(bytes, size, [this](const UsbLinkFrame& f) { UsbLinkDispatchFrame(f); });
    m_droppedFrames += m_decoder.droppedFrames() - before;
}

void QxUsbDevice::UsbLinkDispatchFrame(const UsbLinkFrame& frame) {
    if (frame.address == ByteChannelAddress) {
        size_t n = frame.data.size();
        size_t dropped = 0;
        {
            sys::MutexLock lk(m_channelMutex);
            // Unread bytes are never overwritten: what does not fit is dropped and counted.
            size_t room = kRingSize - m_ringFill;
            size_t take = std::min(n, room);
            dropped = n - take;
            size_t first = std::min(take, kRingSize - size_t(m_ringWrite));
            if (first) std::memcpy(ByteChannelRing + m_ringWrite, frame.data.data(), first);
            if (take > first) std::memcpy(ByteChannelRing, frame.data.data() + first, take - first);
            m_ringWrite = int((size_t(m_ringWrite) + take) % kRingSize);
            m_ringFill += take;
            m_channelDropped += dropped;
            if (take) m_dataArrived = true;
        }
        m_channelCv.notify_all();
        if (dropped) QX_LOG_WARN("usb3 byte channel full: {} received bytes dropped", dropped);
        return;
    }
    const uint32_t address = static_cast<uint32_t>(frame.address);
    bool wake = false;
    {
        sys::UniqueLock lk(m_replyMutex);
        auto owed = m_owed.find(address);
        if (owed != m_owed.end()) {
            const bool expected = std::chrono::steady_clock::now() <= owed->second.until;
            if (!expected || --owed->second.count <= 0) m_owed.erase(owed);
            if (expected) {
                // The answer to an access that already gave up: not this access's reply,
                // unless this access's own reply never comes (then it was the owed one that
                // was lost), so it is kept aside until the wait ends.
                if (address == m_awaited) {
                    m_awaitedGotLate = true;
                    m_lateCandidate = frame.data;
                    wake = true;
                }
                ++m_lateReplies;
                lk.unlock();
                if (wake) m_replyCv.notify_all();
                return;
            }
        }
        m_replies[address] = frame.data;
        if (address == m_awaited) {
            m_replyArrived = true;
            wake = true;
        }
    }
    if (wake) m_replyCv.notify_all();
}

uint64_t QxUsbDevice::channelDroppedBytes() const {
    sys::MutexLock lk(m_channelMutex);
    return m_channelDropped;
}

bool QxUsbDevice::UsbChannelSend(const uint8_t* bytes, int count, int timeoutMs) {
    if (!m_open.load() || count < 0 || (count > 0 && !bytes)) return false;
    sys::MutexLock lk(m_sendMutex);
    if (!m_sendEp) return false;
    const unsigned long timeout = timeoutMs > 0 ? static_cast<unsigned long>(timeoutMs) : 0UL;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    size_t done = 0;
    const size_t total = size_t(count);
    int stalls = 0;
    while (done < total) {
        size_t chunk = std::min(kMaxChunk, total - done);
        std::vector<uint8_t> frame = encodeByteChannelChunk(bytes + done, chunk);
        setLinkRequest(*m_sendEp, 0, timeout);
        UsbOverlapped ov;
        UsbXferContextPtr ctx = m_sendEp->BeginDataXfer(frame.data(), long(frame.size()), &ov);
        if (!ctx || ov.lastError != kErrorIoPending) return false;
        bool waited = m_sendEp->WaitForXfer(&ov, timeout);
        if (!waited) {
            m_sendEp->Abort();
            m_sendEp->WaitForXfer(&ov, timeout);
        }
        long len = long(frame.size());
        bool finished = m_sendEp->FinishDataXfer(frame.data(), len, &ov, std::move(ctx));
        // The byte channel has no framing: the camera joins whatever it takes into one stream.
        // A chunk the camera refused (stalled) never entered that stream, so the same chunk is
        // sent again, and the bytes stay in order; sending the whole again would have the
        // camera join a second copy to the part it already has.
        if (waited && !finished && m_sendEp->UsbdStatus == kUsbdStatusStall &&
            std::chrono::steady_clock::now() < deadline) {
            const int pauseMs = std::min(1 << std::min(stalls++, 5), 20);
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            continue;
        }
        // A chunk that did not reach the camera is a failed send, not a sent one.
        if (!waited || !finished) return false;
        stalls = 0;
        done += chunk;
        kickReader();
    }
    return true;
}

bool QxUsbDevice::UsbChannelReceive(uint8_t* buffer, int& count, int timeoutMs) {
    if (!m_open.load() || count < 0 || (count > 0 && !buffer)) {
        count = 0;
        return false;
    }
    sys::UniqueLock lk(m_channelMutex);
    m_dataArrived = false;
    if (timeoutMs > 0) {
        m_channelCv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [this]() QX_REQUIRES(m_channelMutex) {
            return m_dataArrived || m_ringFill > 0 || !m_open.load();
        });
    }
    if (m_ringFill == 0) {
        count = 0;
        return false;
    }
    // Unread bytes up to the end of the ring; a wrapped rest comes with the next call.
    size_t avail = std::min(m_ringFill, kRingSize - size_t(m_ringRead));
    size_t n = std::min(avail, size_t(count));
    if (n) std::memcpy(buffer, ByteChannelRing + m_ringRead, n);
    m_ringRead = int((size_t(m_ringRead) + n) % kRingSize);
    m_ringFill -= n;
    count = int(n);
    return true;
}

size_t QxUsbDevice::UsbChannelDrain() {
    sys::MutexLock lk(m_channelMutex);
    const size_t n = m_ringFill;
    m_ringFill = 0;
    m_ringRead = m_ringWrite;
    m_dataArrived = false;
    return n;
}

int QxUsbDevice::UsbBuildRegFrame(uint8_t* out, uint32_t address, const uint8_t* data, int& count, int kind) {
    if (count < 0) {
        count = 0;
        return 0;
    }
    size_t n = encodeRegFrame(out, kRegFrameBufferSize, address, data, size_t(count), kind);
    count = int(n);
    return int(n);
}

bool QxUsbDevice::sendRegFrame(const uint8_t* frame, int size) {
    sys::MutexLock lk(m_sendMutex);
    if (!m_sendEp) return false;
    setLinkRequest(*m_sendEp, 0, kRegFrameSendTimeoutMs);
    std::vector<uint8_t> copy(frame, frame + size);
    long len = size;
    const bool ok = m_sendEp->ControlWrite(copy.data(), len);
    if (ok) kickReader();
    return ok;
}

bool QxUsbDevice::UsbWaitReply(uint32_t address, int timeoutMs) {
    sys::UniqueLock lk(m_replyMutex);
    if (timeoutMs >= 1) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        m_replyCv.wait_until(lk, deadline, [&]() QX_REQUIRES(m_replyMutex) {
            return (m_replyArrived && m_awaited == address) || m_awaitedGotLate || !m_open.load();
        });
        if (!m_replyArrived && m_awaitedGotLate) {
            // A reply owed to an earlier access of the address came first. The camera answers
            // in order, so this access's own reply follows it closely, if that one was late
            // rather than lost; when none follows within a short grace, the reply that came
            // was this access's own.
            const auto grace =
                std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(kLateReplyGraceMs));
            m_replyCv.wait_until(lk, grace, [&]() QX_REQUIRES(m_replyMutex) {
                return (m_replyArrived && m_awaited == address) || !m_open.load();
            });
        }
    }
    bool arrived = m_replyArrived && m_awaited == address;
    if (!arrived && m_awaitedGotLate && m_open.load()) {
        // The only reply that came was taken for an owed one: it was this access's own.
        m_replies[address] = m_lateCandidate;
        arrived = true;
    }
    // No reply: it is owed, and dropped when it comes late.
    if (!arrived) {
        OwedReplies& owed = m_owed[address];
        ++owed.count;
        owed.until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLateReplyWindowMs);
    }
    return arrived;
}

void QxUsbDevice::awaitReply(uint32_t address) {
    sys::MutexLock lk(m_replyMutex);
    m_replyArrived = false;
    m_awaitedGotLate = false;
    m_awaited = address;
}

bool QxUsbDevice::UsbRegRead(uint32_t address, uint8_t* buffer, int count, int timeoutMs) {
    if (!m_open.load() || count < 0 || (count > 0 && !buffer)) return false;
    sys::MutexLock op(m_regMutex);
    uint8_t frame[kRegFrameBufferSize];
    int size = 0;
    if (UsbBuildRegFrame(frame, address, nullptr, size, 2) == 0) return false;
    awaitReply(address);
    if (!sendRegFrame(frame, size)) return false; // nothing went out: no reply to wait for
    if (!UsbWaitReply(address, timeoutMs)) return false;
    sys::MutexLock lk(m_replyMutex);
    const std::vector<uint8_t>& reply = m_replies[address];
    // A reply shorter than asked for does not hold the register's value.
    if (reply.size() < size_t(count)) return false;
    if (count) std::memcpy(buffer, reply.data(), size_t(count));
    return true;
}

bool QxUsbDevice::UsbRegWrite(uint32_t address, uint8_t* buffer, int count, int timeoutMs) {
    if (!m_open.load() || count < 0 || size_t(count) > kMaxRegData || (count > 0 && !buffer)) return false;
    sys::MutexLock op(m_regMutex);
    uint8_t frame[kRegFrameBufferSize];
    int size = count;
    if (UsbBuildRegFrame(frame, address, buffer, size, 0) == 0) return false;
    {
        sys::MutexLock lk(m_replyMutex);
        m_replies[address].assign(buffer, buffer + count);
    }
    awaitReply(address);
    if (!sendRegFrame(frame, size)) return false;
    if (!UsbWaitReply(address, timeoutMs)) return false;
    sys::MutexLock lk(m_replyMutex);
    const std::vector<uint8_t>& reply = m_replies[address];
    size_t n = std::min(size_t(count), reply.size());
    if (n) std::memcpy(buffer, reply.data(), n);
    return true;
}

} // namespace qx::usb3
