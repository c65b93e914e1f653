#include "usb3/QxUsbManager.h"

#include "Sys/Log.h"

#include <algorithm>
#include <chrono>

namespace qx::usb3 {

namespace {

// Paths longer than the driver's path buffer (255 characters) are not listed.
constexpr size_t kMaxPathLength = 255;

std::atomic<QxUsbManager*> g_manager{nullptr};

} // namespace

const char* usbNoPath() { return reinterpret_cast<const char*>(static_cast<std::intptr_t>(-1)); }

QxUsbManager::QxUsbManager(std::shared_ptr<usb::UsbBackend> backend, std::chrono::milliseconds pollInterval)
    : m_backend(std::move(backend)) {
    if (m_backend) m_driver = std::make_unique<UsbDriverDevice>(m_backend);
    m_noticeThread = sys::JoiningThread([this] { noticeLoop(); });
    {
        sys::ExclusiveLock lk(m_lock);
        UsbEnumerateDevices(m_devices);
    }
    if (m_backend) {
        m_watch = m_backend->watch(
            kCameraVendorId, kCameraProductId,
            [this](usb::UsbHotplugEvent ev, const usb::UsbDeviceEntry& e) { UsbDeviceChange(ev, e); }, pollInterval);
    }
    if (!m_watch) QX_LOG_WARN("func:{}, no hot-plug watch: the device list is not kept current");
}

QxUsbManager::~QxUsbManager() {
    // No notification runs once the notice thread and the watch are gone; then every device
    // still open is closed.
    {
        sys::MutexLock lk(m_noticeMutex);
        m_noticeStop = true;
    }
    m_noticeCv.notify_all();
    m_noticeThread.join();
    m_watch.reset();
    sys::ExclusiveLock lk(m_lock);
    for (auto& kv : m_open) {
        kv.second.device->UsbStopStream();
        kv.second.device->UsbCloseLink();
    }
    m_open.clear();
    m_openByPath.clear();
}

const char* QxUsbManager::intern(const std::string& path) {
    sys::MutexLock lk(m_internMutex);
    return m_interned.insert(path).first->c_str();
}

void QxUsbManager::UsbEnumerateDevices(std::deque<std::string>& list) {
    list.clear();
    if (!m_driver) return;
    for (const std::string& p : m_driver->devicePaths()) {
        if (p.empty() || p.size() > kMaxPathLength) continue;
        list.push_back(p);
    }
}

bool QxUsbManager::passGate(int timeoutMs) { return m_gate.pass(std::chrono::milliseconds(std::max(timeoutMs, 0))); }

QxUsbDevice* QxUsbManager::lookup(UsbDevHandle handle) {
    auto it = m_open.find(handle);
    return it == m_open.end() ? nullptr : it->second.device.get();
}

std::shared_ptr<QxUsbDevice> QxUsbManager::acquire(UsbDevHandle handle) {
    sys::SharedLock lk(m_lock);
    auto it = m_open.find(handle);
    return it == m_open.end() ? nullptr : it->second.device;
}

// ---- enumeration ----

int QxUsbManager::GetDeviceCount() {
    if (!m_driver) return 0;
    sys::SharedLock lk(m_lock);
    return int(m_devices.size());
}

const char* QxUsbManager::GetDevicePath(int index) {
    std::string path;
    {
        sys::SharedLock lk(m_lock);
        if (index < 0 || size_t(index) >= m_devices.size()) return usbNoPath();
        path = m_devices[size_t(index)];
    }
    try {
        return intern(path);
    } catch (...) {
        QX_LOG_ERROR("func:{}, path {} not kept: {}", path, qx::sys::currentExceptionText());
        return usbNoPath();
    }
}

std::vector<std::string> QxUsbManager::devicePaths() {
    sys::SharedLock lk(m_lock);
    return std::vector<std::string>(m_devices.begin(), m_devices.end());
}

// ---- open and close ----

UsbDevHandle QxUsbManager::OpenDevice(const char* path) {
    if (!path) return kUsbInvalidHandle;
    try {
        const std::string p(path);
        {
            sys::ExclusiveLock lk(m_lock);
            if (m_openByPath.count(p) || m_opening.count(p)) return kUsbInvalidHandle;
            if (std::find(m_devices.begin(), m_devices.end(), p) == m_devices.end()) return kUsbInvalidHandle;
            // Reserved while it opens, so a second open of the path, from any thread, fails.
            m_opening.insert(p);
        }
        std::unique_ptr<QxUsbDevice> dev;
        bool ok = false;
        try {
            dev = std::make_unique<QxUsbDevice>(p, m_backend);
            ok = dev->UsbOpenLink();
        } catch (...) {
            QX_LOG_ERROR("func:{}, opening {} failed: {}", p, qx::sys::currentExceptionText());
            ok = false;
        }
        sys::ExclusiveLock lk(m_lock);
        m_opening.erase(p);
        if (!ok) {
            lk.unlock();
            dev.reset();
            QX_LOG_ERROR("func:{}, cannot open {}", p);
            return kUsbInvalidHandle;
        }
        const UsbDevHandle h = m_nextHandle++;
        dev->setLostHandler([this, h] { postLost(h); });
        m_open.emplace(h, Entry{h, std::shared_ptr<QxUsbDevice>(std::move(dev))});
        m_openByPath[p] = h;
        return h;
    } catch (...) {
        QX_LOG_ERROR("func:{}, {} not opened: {}", path, qx::sys::currentExceptionText());
        return kUsbInvalidHandle;
    }
}

bool QxUsbManager::CloseDevice(UsbDevHandle handle) {
    if (handle == 0 || handle == kUsbInvalidHandle) return false;
    std::shared_ptr<QxUsbDevice> dev;
    {
        sys::ExclusiveLock lk(m_lock);
        auto it = m_open.find(handle);
        if (it == m_open.end()) return false;
        dev = std::move(it->second.device);
        m_open.erase(it);
        auto byPath = m_openByPath.find(dev->devicePath());
        if (byPath != m_openByPath.end() && byPath->second == handle) m_openByPath.erase(byPath);
        sys::MutexLock ol(m_offlineMutex);
        m_offline.erase(handle);
    }
    // Stopped and closed without the manager lock: the other cameras' calls and hot-plug go on
    // meanwhile. Calls still waiting on this device are woken and end; it is freed after them.
    dev->UsbCancelTakes();
    dev->UsbStopStream();
    if (dev->isOpen()) dev->UsbCloseLink();
    return true;
}

void QxUsbManager::RegisterOfflineCallback(UsbDevHandle handle, UsbOfflineCallback callback, void* context) {
    {
        sys::SharedLock lk(m_lock);
        const bool known = lookup(handle) != nullptr;
        sys::MutexLock ol(m_offlineMutex);
        if (known && callback) m_offline[handle] = OfflineRegistration{callback, context};
        else m_offline.erase(handle);
    }
    // The registration is changed first, so no new call can start with the old context; then
    // a call already running on another thread is waited for.
    sys::UniqueLock ol(m_offlineMutex);
    m_offlineCv.wait(ol, [&]() QX_REQUIRES(m_offlineMutex) {
        auto it = m_offlineRunning.find(handle);
        return it == m_offlineRunning.end() || it->second == std::this_thread::get_id();
    });
}

namespace {

// The offline call running on this thread, for OfflineContextReleased.
struct RunningOffline {
    QxUsbManager* manager = nullptr;
    UsbDevHandle handle = kUsbInvalidHandle;
};
thread_local RunningOffline t_runningOffline;

} // namespace

void QxUsbManager::OfflineContextReleased() {
    RunningOffline running = t_runningOffline;
    t_runningOffline = RunningOffline{};
    if (running.manager) running.manager->offlineCallbackEnded(running.handle);
}

void QxUsbManager::offlineCallbackEnded(UsbDevHandle handle) {
    {
        sys::MutexLock ol(m_offlineMutex);
        m_offlineRunning.erase(handle);
    }
    m_offlineCv.notify_all();
}

void QxUsbManager::reportRemoved(const std::vector<UsbDevHandle>& handles) {
    for (UsbDevHandle h : handles) {
        OfflineRegistration reg;
        {
            sys::MutexLock ol(m_offlineMutex);
            auto it = m_offline.find(h);
            if (it == m_offline.end()) continue;
            reg = it->second;
            m_offlineRunning[h] = std::this_thread::get_id();
        }
        t_runningOffline = RunningOffline{this, h};
        try {
            reg.callback(reg.context);
        } catch (...) {
            // The owner's failure must neither end the notifying thread nor leave the device
            // marked as in its callback, which would hold every later close of it.
            QX_LOG_ERROR("func:{}, offline callback of handle {} failed: {}", h, qx::sys::currentExceptionText());
        }
        if (t_runningOffline.manager) OfflineContextReleased();
    }
}

// ---- per-device calls ----

bool QxUsbManager::CameraGetImage(UsbDevHandle handle, FrameCacheSlot*& slot, int timeoutMs) {
    slot = nullptr;
    if (!passGate(timeoutMs)) return false;
    std::shared_ptr<QxUsbDevice> d = acquire(handle);
    return d && d->UsbTakeFrame(slot, timeoutMs);
}

bool QxUsbManager::CameraReleaseImage(UsbDevHandle handle) {
    sys::SharedLock lk(m_lock);
    QxUsbDevice* d = lookup(handle);
    if (!d) return false;
    d->UsbReleaseFrame();
    return true;
}

bool QxUsbManager::CancelImageWait(UsbDevHandle handle) {
    sys::SharedLock lk(m_lock);
    QxUsbDevice* d = lookup(handle);
    if (!d) return false;
    d->UsbCancelTakes();
    return true;
}

bool QxUsbManager::ReadData(UsbDevHandle handle, uint8_t* buffer, int& count, int timeoutMs) {
    if (!passGate(timeoutMs)) {
        count = 0;
        return false;
    }
    std::shared_ptr<QxUsbDevice> d = acquire(handle);
    if (!d || !d->isOpen()) {
        count = 0;
        return false;
    }
    return d->UsbChannelReceive(buffer, count, timeoutMs);
}

bool QxUsbManager::WriteData(UsbDevHandle handle, const uint8_t* bytes, int count, int timeoutMs) {
    if (!passGate(timeoutMs)) return false;
    std::shared_ptr<QxUsbDevice> d = acquire(handle);
    return d && d->isOpen() && d->UsbChannelSend(bytes, count, timeoutMs);
}

bool QxUsbManager::DrainData(UsbDevHandle handle) {
    sys::SharedLock lk(m_lock);
    QxUsbDevice* d = lookup(handle);
    if (!d) return false;
    d->UsbChannelDrain();
    return true;
}

bool QxUsbManager::ReadDeviceReg(UsbDevHandle handle, uint32_t address, uint8_t* buffer, int count, int timeoutMs) {
    if (!passGate(timeoutMs)) return false;
    std::shared_ptr<QxUsbDevice> d = acquire(handle);
    return d && d->isOpen() && d->UsbRegRead(address, buffer, count, timeoutMs);
}

bool QxUsbManager::WriteDeviceReg(UsbDevHandle handle, uint32_t address, uint8_t* buffer, int count, int timeoutMs) {
    if (!passGate(timeoutMs)) return false;
    std::shared_ptr<QxUsbDevice> d = acquire(handle);
    return d && d->isOpen() && d->UsbRegWrite(address, buffer, count, timeoutMs);
}

void QxUsbManager::SetTransferParams(UsbDevHandle handle, int cacheSlots, int transferUnits) {
    sys::SharedLock lk(m_lock);
    QxUsbDevice* d = lookup(handle);
    if (d && d->isOpen()) d->SetTransferParams(cacheSlots, transferUnits);
}

void QxUsbManager::SetPixelBytes(UsbDevHandle handle, int bytesPerPixel) {
    sys::SharedLock lk(m_lock);
    QxUsbDevice* d = lookup(handle);
    if (d && d->isOpen()) d->SetPixelBytes(bytesPerPixel);
}

void QxUsbManager::SetImageInfo(UsbDevHandle handle, int width, int height, int bitsPerPixel) {
    sys::SharedLock lk(m_lock);
    if (QxUsbDevice* d = lookup(handle)) d->SetImageInfo(width, height, bitsPerPixel);
}

bool QxUsbManager::StartAcq(UsbDevHandle handle) {
    std::shared_ptr<QxUsbDevice> d = acquire(handle);
    return d && d->isOpen() && d->UsbStartStream();
}

bool QxUsbManager::StopAcq(UsbDevHandle handle) {
    std::shared_ptr<QxUsbDevice> d = acquire(handle);
    return d && d->isOpen() && d->UsbStopStream();
}

bool QxUsbManager::isRemoved(UsbDevHandle handle) {
    sys::SharedLock lk(m_lock);
    QxUsbDevice* d = lookup(handle);
    return d && d->removed();
}

bool QxUsbManager::streamStats(UsbDevHandle handle, UsbStreamStats& out) {
    sys::SharedLock lk(m_lock);
    QxUsbDevice* d = lookup(handle);
    if (!d) return false;
    out = d->streamStats();
    return true;
}

bool QxUsbManager::streamSettings(UsbDevHandle handle, int out[6]) {
    if (!out) return false;
    sys::SharedLock lk(m_lock);
    QxUsbDevice* d = lookup(handle);
    if (!d) return false;
    out[0] = d->imageWidth();
    out[1] = d->imageHeight();
    out[2] = d->bitsPerPixel();
    out[3] = d->cacheSlotCount();
    out[4] = d->transferUnits();
    out[5] = d->pixelBytes();
    return true;
}

// ---- hot-plug ----

void QxUsbManager::UsbDeviceChange(usb::UsbHotplugEvent event, const usb::UsbDeviceEntry& entry) {
    // Another vendor's or product's device: nothing is taken, nothing changes.
    if (entry.vendorId != kCameraVendorId || entry.productId != kCameraProductId) return;
    std::vector<UsbDevHandle> removed;
    {
        const sys::BusyGate::Closed busy(m_gate);
        // The bus is listed before the lock is taken; only the swap of the list needs it.
        std::deque<std::string> listed;
        UsbEnumerateDevices(listed);
        sys::ExclusiveLock lk(m_lock);
        m_devices.swap(listed);
        ++m_changes;
        if (event == usb::UsbHotplugEvent::Left) {
            for (const auto& kv : m_openByPath) {
                // The notice names the device that left: it is gone even when a device at the
                // same path is listed again by now (a quick re-plug).
                const bool listed = std::find(m_devices.begin(), m_devices.end(), kv.first) != m_devices.end();
                if (listed && kv.first != entry.path) continue;
                QxUsbDevice* d = lookup(kv.second);
                // Reported once per open device: a later notification finds it marked.
                if (!d || !d->markRemoved()) continue;
                QX_LOG_INFO("func:{}, device {} removed", kv.first);
                removed.push_back(kv.second);
            }
        }
    }
    // The owners hear of the loss with every lock released: they may close the device, and
    // calls on the other cameras go on meanwhile.
    reportRemoved(removed);
}

void QxUsbManager::postLost(UsbDevHandle handle) {
    {
        sys::MutexLock lk(m_noticeMutex);
        m_notices.push_back(handle);
    }
    m_noticeCv.notify_all();
}

void QxUsbManager::noticeLoop() {
    sys::UniqueLock lk(m_noticeMutex);
    for (;;) {
        m_noticeCv.wait(lk, [this]() QX_REQUIRES(m_noticeMutex) { return m_noticeStop || !m_notices.empty(); });
        if (m_noticeStop) return;
        const UsbDevHandle h = m_notices.front();
        m_notices.pop_front();
        lk.unlock();
        bool report = false;
        {
            sys::SharedLock ml(m_lock);
            QxUsbDevice* d = lookup(h);
            report = d && d->markRemoved();
            if (report) QX_LOG_ERROR("func:{}, device {} lost: its stream failed", d->devicePath());
        }
        if (report) reportRemoved({h});
        lk.lock();
    }
}

// ---- process-wide manager ----

namespace {

sys::Mutex g_backendMutex;
std::shared_ptr<usb::UsbBackend> g_backendOverride QX_GUARDED_BY(g_backendMutex);
bool g_managerMade QX_GUARDED_BY(g_backendMutex) = false;

std::shared_ptr<usb::UsbBackend> managerBackend() {
    sys::MutexLock lk(g_backendMutex);
    g_managerMade = true;
    return g_backendOverride ? g_backendOverride : usb::systemUsbBackend();
}

} // namespace

bool QX_U3V_SetManagerBackend(std::shared_ptr<usb::UsbBackend> backend) {
    sys::MutexLock lk(g_backendMutex);
    if (g_managerMade) return false;
    g_backendOverride = std::move(backend);
    return true;
}

QxUsbManager* QX_U3V_GetManager() {
    // Made once, thread-safely; never destroyed, so it serves until the process ends.
    static QxUsbManager* const manager = []() -> QxUsbManager* {
        try {
            auto* m = new QxUsbManager(managerBackend());
            g_manager.store(m);
            return m;
        } catch (...) {
            QX_LOG_ERROR("func:{}, no USB manager: {}", qx::sys::currentExceptionText());
            return nullptr;
        }
    }();
    return manager;
}

uint32_t QueryDevicePath(int index, UsbPathRecord* record) {
    QxUsbManager* m = g_manager.load();
    if (!m || !record) return 0x8FFF;
    record->path = m->GetDevicePath(index);
    return 0;
}

} // namespace qx::usb3
