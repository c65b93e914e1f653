#include "Usb/UsbBackend.h"

#include "Sys/Log.h"

namespace qx::usb {

const char* usbStatusText(UsbStatus s) {
    switch (s) {
    case UsbStatus::Ok: return "ok";
    case UsbStatus::Timeout: return "timeout";
    case UsbStatus::Cancelled: return "cancelled";
    case UsbStatus::Stall: return "stall";
    case UsbStatus::NoDevice: return "no device";
    case UsbStatus::Overflow: return "overflow";
    case UsbStatus::InvalidArg: return "invalid argument";
    case UsbStatus::NotOpen: return "not open";
    case UsbStatus::IoError: return "i/o error";
    case UsbStatus::Pending: return "pending";
    case UsbStatus::Access: return "access denied";
    case UsbStatus::Busy: return "busy";
    case UsbStatus::NotSupported: return "not supported";
    }
    return "unknown";
}

UsbStatus controlTransferSync(UsbDeviceHandle& dev, const UsbSetup& setup, uint8_t* data, uint32_t timeoutMs,
                              size_t& transferred) {
    transferred = 0;
    UsbStatus err = UsbStatus::Ok;
    std::unique_ptr<UsbTransfer> t = dev.submitControl(setup, data, timeoutMs, &err);
    if (!t) return err == UsbStatus::Ok ? UsbStatus::IoError : err;
    const auto bound = std::chrono::milliseconds(timeoutMs ? timeoutMs : 1) + std::chrono::milliseconds(100);
    if (!t->wait(bound)) {
        t->cancel();
        if (!t->wait(std::chrono::milliseconds(1000))) return UsbStatus::Timeout; // destructor bounds the rest
    }
    transferred = t->actualLength();
    return t->status();
}

} // namespace qx::usb

namespace qx::usb {

std::unique_ptr<UsbWatch> UsbBackend::watch(uint16_t vendorId, uint16_t productId, UsbHotplugCallback callback,
                                            std::chrono::milliseconds pollInterval) {
    if (!callback) return nullptr;
    return std::make_unique<UsbHotplugWatcher>(*this, vendorId, productId, std::move(callback), pollInterval);
}

UsbHotplugWatcher::UsbHotplugWatcher(UsbBackend& backend, uint16_t vendorId, uint16_t productId,
                                     UsbHotplugCallback callback, std::chrono::milliseconds pollInterval)
    : m_backend(backend), m_vendorId(vendorId), m_productId(productId), m_callback(std::move(callback)),
      m_poll(pollInterval) {
    for (const UsbDeviceEntry& e : m_backend.listDevices(m_vendorId, m_productId)) m_present.insert(e.path);
    m_thread = sys::JoiningThread([this] { run(); });
}

UsbHotplugWatcher::~UsbHotplugWatcher() {
    {
        sys::MutexLock lk(m_mutex);
        m_stop = true;
    }
    m_cv.notify_all();
    m_thread.join();
}

void UsbHotplugWatcher::post(UsbHotplugEvent event, const UsbDeviceEntry& entry) {
    {
        sys::MutexLock lk(m_mutex);
        if (m_stop) return;
        m_events.emplace_back(event, entry);
    }
    m_cv.notify_all();
}

void UsbHotplugWatcher::poke() {
    {
        sys::MutexLock lk(m_mutex);
        m_poke = true;
    }
    m_cv.notify_all();
}

void UsbHotplugWatcher::relist() {
    std::set<std::string> now;
    std::vector<UsbDeviceEntry> arrived;
    for (const UsbDeviceEntry& e : m_backend.listDevices(m_vendorId, m_productId)) {
        now.insert(e.path);
        if (!m_present.count(e.path)) arrived.push_back(e);
    }
    std::vector<std::string> left;
    for (const std::string& p : m_present)
        if (!now.count(p)) left.push_back(p);
    m_present = std::move(now);
    for (const std::string& p : left) notify(UsbHotplugEvent::Left, UsbDeviceEntry{p, m_vendorId, m_productId});
    for (const UsbDeviceEntry& e : arrived) notify(UsbHotplugEvent::Arrived, e);
}

void UsbHotplugWatcher::notify(UsbHotplugEvent event, const UsbDeviceEntry& entry) {
    // An exception let out of the callback would end the process on this thread: it is
    // logged here, and the watch goes on with the next change.
    try {
        m_callback(event, entry);
    } catch (...) {
        QX_LOG_ERROR("func:{}, hot-plug callback for {} failed: {}", entry.path, qx::sys::currentExceptionText());
    }
}

void UsbHotplugWatcher::run() {
    sys::UniqueLock lk(m_mutex);
    while (!m_stop) {
        auto ready = [this]() QX_REQUIRES(m_mutex) { return m_stop || m_poke || !m_events.empty(); };
        bool woken;
        if (m_poll.count() > 0) {
            woken = m_cv.wait_for(lk, m_poll, ready);
        } else {
            m_cv.wait(lk, ready);
            woken = true;
        }
        if (m_stop) break;
        std::deque<std::pair<UsbHotplugEvent, UsbDeviceEntry>> events;
        events.swap(m_events);
        const bool poked = m_poke;
        m_poke = false;
        lk.unlock();
        for (const auto& ev : events) {
            if (ev.second.vendorId != m_vendorId || ev.second.productId != m_productId) continue;
            if (ev.first == UsbHotplugEvent::Left) {
                if (m_present.erase(ev.second.path)) notify(UsbHotplugEvent::Left, ev.second);
            } else if (m_present.insert(ev.second.path).second) {
                notify(UsbHotplugEvent::Arrived, ev.second);
            }
        }
        // A posted event is trusted as it is; the list is consulted on the poll and on a poke.
        if (!woken || poked) {
            try {
                relist();
            } catch (...) {
                // The list stays as it was; the next poll or poke tries again.
                QX_LOG_ERROR("func:{}, device list failed: {}", qx::sys::currentExceptionText());
            }
        }
        lk.lock();
    }
}

} // namespace qx::usb
