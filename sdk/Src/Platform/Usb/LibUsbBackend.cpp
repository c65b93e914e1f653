// libusb-1.0 implementation of the USB driver seam. Transfers are libusb asynchronous
// transfers completed by one event thread per backend; a device path is "usb:<bus>-<ports>"
// with the port numbers from the root hub joined by dots.
#include "Usb/UsbBackend.h"

#include "Sys/JoiningThread.h"
#include "Sys/Log.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>

namespace qx::usb {

namespace {

UsbStatus fromTransferStatus(libusb_transfer_status s) {
    switch (s) {
    case LIBUSB_TRANSFER_COMPLETED: return UsbStatus::Ok;
    case LIBUSB_TRANSFER_TIMED_OUT: return UsbStatus::Timeout;
    case LIBUSB_TRANSFER_CANCELLED: return UsbStatus::Cancelled;
    case LIBUSB_TRANSFER_STALL: return UsbStatus::Stall;
    case LIBUSB_TRANSFER_NO_DEVICE: return UsbStatus::NoDevice;
    case LIBUSB_TRANSFER_OVERFLOW: return UsbStatus::Overflow;
    default: return UsbStatus::IoError;
    }
}

UsbStatus fromError(int rc) {
    switch (rc) {
    case LIBUSB_SUCCESS: return UsbStatus::Ok;
    case LIBUSB_ERROR_TIMEOUT: return UsbStatus::Timeout;
    case LIBUSB_ERROR_PIPE: return UsbStatus::Stall;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND: return UsbStatus::NoDevice;
    case LIBUSB_ERROR_OVERFLOW: return UsbStatus::Overflow;
    case LIBUSB_ERROR_INVALID_PARAM: return UsbStatus::InvalidArg;
    case LIBUSB_ERROR_ACCESS: return UsbStatus::Access;
    case LIBUSB_ERROR_BUSY: return UsbStatus::Busy;
    case LIBUSB_ERROR_NOT_SUPPORTED: return UsbStatus::NotSupported;
    default: return UsbStatus::IoError;
    }
}

// Says why a camera could not be opened, with what the user can do about it.
void logOpenFailure(const char* func, const std::string& path, const char* step, int rc) {
    const char* advice = "";
    switch (rc) {
    case LIBUSB_ERROR_ACCESS:
        advice = ": no permission to open the device; install the udev rule 60-qxcamapi-usb3.rules shipped with "
                 "the SDK (then re-plug the camera) or run with access to /dev/bus/usb";
        break;
    case LIBUSB_ERROR_BUSY: advice = ": another process, or a kernel driver, holds the camera"; break;
    case LIBUSB_ERROR_NOT_SUPPORTED: advice = ": this system's USB stack does not support opening it"; break;
    case LIBUSB_ERROR_NO_DEVICE: advice = ": the camera is gone"; break;
    default: break;
    }
    QX_LOG_NAMED(spdlog::level::err, func, "func:{}, cannot open {}: {} failed with {}{}", path, step,
                 libusb_error_name(rc), advice);
}

std::string pathOf(libusb_device* d) {
    uint8_t ports[8];
    int n = libusb_get_port_numbers(d, ports, sizeof(ports));
    std::string p = "usb:" + std::to_string(libusb_get_bus_number(d)) + "-";
    if (n <= 0) return p + "0";
    for (int i = 0; i < n; ++i) {
        if (i) p += ".";
        p += std::to_string(ports[i]);
    }
    return p;
}

class LibUsbDeviceHandle;

// State shared between a transfer object and the libusb completion callback.
struct TransferState {
    libusb_transfer* transfer = nullptr;
    std::vector<uint8_t> control;  // setup packet + data stage for control transfers
    uint8_t* callerData = nullptr; // copied back for IN control transfers
    bool controlIn = false;
    uint8_t endpoint = 0;
    sys::Mutex mutex;
    std::condition_variable cv;
    bool done QX_GUARDED_BY(mutex) = false;
    bool orphaned QX_GUARDED_BY(mutex) = false; // the owner gave up waiting; the callback frees
    UsbStatus status QX_GUARDED_BY(mutex) = UsbStatus::Pending;
    size_t actual QX_GUARDED_BY(mutex) = 0;
    LibUsbDeviceHandle* owner = nullptr;
};

void LIBUSB_CALL onTransferDone(libusb_transfer* t);

class LibUsbTransfer final : public UsbTransfer {
public:
    explicit LibUsbTransfer(TransferState* s) : m_s(s) {}
    ~LibUsbTransfer() override;
    bool wait(std::chrono::milliseconds timeout) override {
        sys::UniqueLock lk(m_s->mutex);
        return m_s->cv.wait_for(lk, timeout, [&]() QX_REQUIRES(m_s->mutex) { return m_s->done; });
    }
    bool done() const override {
        sys::MutexLock lk(m_s->mutex);
        return m_s->done;
    }
    void cancel() override {
        sys::MutexLock lk(m_s->mutex);
        if (!m_s->done) libusb_cancel_transfer(m_s->transfer);
    }
    UsbStatus status() const override {
        sys::MutexLock lk(m_s->mutex);
        return m_s->status;
    }
    size_t actualLength() const override {
        sys::MutexLock lk(m_s->mutex);
        return m_s->actual;
    }

private:
    TransferState* m_s;
};

class LibUsbBackend;

class LibUsbDeviceHandle final : public UsbDeviceHandle {
public:
    LibUsbDeviceHandle(std::string path, libusb_device_handle* h, bool claimed)
        : m_path(std::move(path)), m_handle(h), m_claimed(claimed) {}
    ~LibUsbDeviceHandle() override {
        std::vector<TransferState*> pending;
        {
            sys::MutexLock lk(m_mutex);
            pending.assign(m_pending.begin(), m_pending.end());
            for (TransferState* s : pending) {
                sys::MutexLock sl(s->mutex);
                if (!s->done) libusb_cancel_transfer(s->transfer);
            }
        }
        waitPendingGone(std::chrono::milliseconds(5000));
        if (m_claimed) libusb_release_interface(m_handle, 0);
        libusb_close(m_handle);
    }
    const std::string& path() const override { return m_path; }

    std::unique_ptr<UsbTransfer> submitControl(const UsbSetup& setup, uint8_t* data, uint32_t timeoutMs,
                                               UsbStatus* error) override {
        auto* s = new TransferState;
        s->control.assign(LIBUSB_CONTROL_SETUP_SIZE + setup.wLength, 0);
        libusb_fill_control_setup(s->control.data(), setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex,
                                  setup.wLength);
        s->controlIn = (setup.bmRequestType & 0x80) != 0;
        if (!s->controlIn && setup.wLength && data)
            std::memcpy(s->control.data() + LIBUSB_CONTROL_SETUP_SIZE, data, setup.wLength);
        s->callerData = data;
        s->transfer = libusb_alloc_transfer(0);
        libusb_fill_control_transfer(s->transfer, m_handle, s->control.data(), onTransferDone, s, timeoutMs);
        return submit(s, error);
    }

    std::unique_ptr<UsbTransfer> submitBulk(uint8_t endpoint, uint8_t* data, size_t length, uint32_t timeoutMs,
                                            UsbStatus* error) override {
        if (length > 0x7FFFFFFF || (!data && length)) {
            if (error) *error = UsbStatus::InvalidArg;
            return nullptr;
        }
        auto* s = new TransferState;
        s->endpoint = endpoint;
        s->transfer = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(s->transfer, m_handle, endpoint, data, static_cast<int>(length), onTransferDone, s,
                                  timeoutMs);
        return submit(s, error);
    }

    UsbStatus abortEndpoint(uint8_t endpoint) override {
        {
            sys::MutexLock lk(m_mutex);
            for (TransferState* s : m_pending) {
                sys::MutexLock sl(s->mutex);
                if (s->endpoint == endpoint && !s->done && s->transfer->type != LIBUSB_TRANSFER_TYPE_CONTROL)
                    libusb_cancel_transfer(s->transfer);
            }
        }
        return UsbStatus::Ok;
    }
    UsbStatus resetEndpoint(uint8_t endpoint) override { return fromError(libusb_clear_halt(m_handle, endpoint)); }
    bool currentAltSetting(uint8_t& alt) override {
        alt = 0;
        return true;
    }
    bool deviceAddress(uint8_t& address) override {
        address = libusb_get_device_address(libusb_get_device(m_handle));
        return address != 0;
    }
    UsbSpeed speed() override {
        switch (libusb_get_device_speed(libusb_get_device(m_handle))) {
        case LIBUSB_SPEED_FULL: return UsbSpeed::Full;
        case LIBUSB_SPEED_HIGH: return UsbSpeed::High;
        case LIBUSB_SPEED_SUPER:
        case LIBUSB_SPEED_SUPER_PLUS: return UsbSpeed::Super;
        default: return UsbSpeed::Unknown;
        }
    }
    std::string friendlyName() override { return "libusb device " + m_path; }
    std::string deviceName() override { return m_path; }
    uint32_t driverVersion() override {
        const libusb_version* v = libusb_get_version();
        return (uint32_t(v->major) << 24) | (uint32_t(v->minor) << 16) | uint32_t(v->micro);
    }
    uint32_t interfaceVersion() override { return 0x00010000; }

    void finished(TransferState* s) {
        sys::MutexLock lk(m_mutex);
        m_pending.erase(s);
        m_cv.notify_all();
    }

private:
    std::unique_ptr<UsbTransfer> submit(TransferState* s, UsbStatus* error) {
        s->owner = this;
        {
            sys::MutexLock lk(m_mutex);
            m_pending.insert(s);
        }
        int rc = libusb_submit_transfer(s->transfer);
        if (rc != LIBUSB_SUCCESS) {
            {
                sys::MutexLock lk(m_mutex);
                m_pending.erase(s);
            }
            libusb_free_transfer(s->transfer);
            delete s;
            if (error) *error = fromError(rc);
            return nullptr;
        }
        if (error) *error = UsbStatus::Ok;
        return std::make_unique<LibUsbTransfer>(s);
    }
    bool waitPendingGone(std::chrono::milliseconds bound) {
        sys::UniqueLock lk(m_mutex);
        return m_cv.wait_for(lk, bound, [&]() QX_REQUIRES(m_mutex) { return m_pending.empty(); });
    }

    std::string m_path;
    libusb_device_handle* m_handle;
    bool m_claimed;
    sys::Mutex m_mutex;
    std::condition_variable m_cv;
    std::set<TransferState*> m_pending QX_GUARDED_BY(m_mutex);
};

void LIBUSB_CALL onTransferDone(libusb_transfer* t) {
    auto* s = static_cast<TransferState*>(t->user_data);
    // Leave the owner's pending set first: once `done` is set the state may be freed.
    if (s->owner) s->owner->finished(s);
    bool orphaned;
    {
        sys::MutexLock lk(s->mutex);
        s->status = fromTransferStatus(t->status);
        s->actual = t->actual_length > 0 ? size_t(t->actual_length) : 0;
        if (!s->orphaned && s->controlIn && s->callerData && s->actual)
            std::memcpy(s->callerData, s->control.data() + LIBUSB_CONTROL_SETUP_SIZE, s->actual);
        s->done = true;
        orphaned = s->orphaned;
        s->cv.notify_all();
    }
    if (orphaned) {
        libusb_free_transfer(t);
        delete s;
    }
}

LibUsbTransfer::~LibUsbTransfer() {
    {
        sys::UniqueLock lk(m_s->mutex);
        if (!m_s->done) {
            libusb_cancel_transfer(m_s->transfer);
            if (!m_s->cv.wait_for(lk, std::chrono::milliseconds(5000),
                                  [&]() QX_REQUIRES(m_s->mutex) { return m_s->done; })) {
                // The cancellation never completed: leave the state to the callback.
                m_s->orphaned = true;
                return;
            }
        }
    }
    libusb_free_transfer(m_s->transfer);
    delete m_s;
}

// Target of one libusb hot-plug registration. It lives as long as the backend, so a callback
// that libusb is running while the watch ends never reaches freed memory; the watch empties
// it before it goes away.
struct HotplugTarget {
    sys::Mutex mutex;
    UsbHotplugWatcher* watcher QX_GUARDED_BY(mutex) = nullptr;
    // Set by the watch's maker before the watch exists, read by the watch when it ends.
    libusb_hotplug_callback_handle handle = 0;
    bool registered = false;
};

int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* user) {
    auto* target = static_cast<HotplugTarget*>(user);
    libusb_device_descriptor dd{};
    if (libusb_get_device_descriptor(device, &dd) != LIBUSB_SUCCESS) return 0;
    UsbDeviceEntry entry{pathOf(device), dd.idVendor, dd.idProduct};
    sys::MutexLock lk(target->mutex);
    if (target->watcher)
        target->watcher->post(
            event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? UsbHotplugEvent::Arrived : UsbHotplugEvent::Left, entry);
    return 0; // stay registered until the watch ends
}

// A watcher thread plus, where libusb supports it, a hot-plug registration feeding it.
class LibUsbWatch final : public UsbWatch {
public:
    LibUsbWatch(libusb_context* ctx, HotplugTarget* target, std::unique_ptr<UsbHotplugWatcher> watcher)
        : m_ctx(ctx), m_target(target), m_watcher(std::move(watcher)) {}
    ~LibUsbWatch() override {
        if (m_target) {
            if (m_target->registered) libusb_hotplug_deregister_callback(m_ctx, m_target->handle);
            sys::MutexLock lk(m_target->mutex);
            m_target->watcher = nullptr;
        }
        m_watcher.reset();
    }

private:
    libusb_context* m_ctx;
    HotplugTarget* m_target;
    std::unique_ptr<UsbHotplugWatcher> m_watcher;
};

class LibUsbBackend final : public UsbBackend {
public:
    LibUsbBackend() {
        if (libusb_init(&m_ctx) != LIBUSB_SUCCESS) {
            m_ctx = nullptr;
            return;
        }
        m_running = true;
        m_events = sys::JoiningThread([this] {
            while (m_running.load()) {
                timeval tv{0, 100000};
                libusb_handle_events_timeout_completed(m_ctx, &tv, nullptr);
            }
        });
    }
    ~LibUsbBackend() override {
        if (!m_ctx) return;
        m_running = false;
        libusb_interrupt_event_handler(m_ctx);
        m_events.join();
        libusb_exit(m_ctx);
    }

    std::vector<UsbDeviceEntry> listDevices(uint16_t vendorId, uint16_t productId) override {
        std::vector<UsbDeviceEntry> out;
        if (!m_ctx) return out;
        libusb_device** list = nullptr;
        ssize_t n = libusb_get_device_list(m_ctx, &list);
        if (n < 0 || !list) return out;
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor dd{};
            if (libusb_get_device_descriptor(list[i], &dd) != LIBUSB_SUCCESS) continue;
            if (dd.idVendor != vendorId || dd.idProduct != productId) continue;
            out.push_back({pathOf(list[i]), dd.idVendor, dd.idProduct});
        }
        libusb_free_device_list(list, 1);
        std::sort(out.begin(), out.end(),
                  [](const UsbDeviceEntry& a, const UsbDeviceEntry& b) { return a.path < b.path; });
        return out;
    }

    std::unique_ptr<UsbWatch> watch(uint16_t vendorId, uint16_t productId, UsbHotplugCallback callback,
                                    std::chrono::milliseconds pollInterval) override {
        if (!callback) return nullptr;
        // Without libusb the list stays empty and the watch reports nothing, but it exists.
        auto watcher =
            std::make_unique<UsbHotplugWatcher>(*this, vendorId, productId, std::move(callback), pollInterval);
        if (!m_ctx || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
            return std::make_unique<LibUsbWatch>(m_ctx, nullptr, std::move(watcher));
        HotplugTarget* target;
        {
            sys::MutexLock lk(m_targetsMutex);
            m_targets.push_back(std::make_unique<HotplugTarget>());
            target = m_targets.back().get();
        }
        {
            sys::MutexLock lk(target->mutex);
            target->watcher = watcher.get();
        }
        int rc = libusb_hotplug_register_callback(
            m_ctx,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            static_cast<libusb_hotplug_flag>(0), vendorId, productId, LIBUSB_HOTPLUG_MATCH_ANY, onHotplug, target,
            &target->handle);
        target->registered = rc == LIBUSB_SUCCESS; // else the periodic re-list alone reports changes
        return std::make_unique<LibUsbWatch>(m_ctx, target, std::move(watcher));
    }

    std::unique_ptr<UsbDeviceHandle> open(const std::string& path, UsbStatus* error) override {
        if (error) *error = UsbStatus::NoDevice;
        if (!m_ctx) return nullptr;
        libusb_device** list = nullptr;
        ssize_t n = libusb_get_device_list(m_ctx, &list);
        if (n < 0 || !list) return nullptr;
        libusb_device_handle* h = nullptr;
        int rc = LIBUSB_ERROR_NOT_FOUND;
        for (ssize_t i = 0; i < n; ++i) {
            if (pathOf(list[i]) != path) continue;
            rc = libusb_open(list[i], &h);
            break;
        }
        libusb_free_device_list(list, 1);
        if (rc != LIBUSB_SUCCESS || !h) {
            logOpenFailure(QX_FUNC, path, "libusb_open", rc);
            if (error) *error = fromError(rc);
            return nullptr;
        }
        libusb_set_auto_detach_kernel_driver(h, 1);
        // Without its interface the camera cannot be driven: the open fails.
        rc = libusb_claim_interface(h, 0);
        if (rc != LIBUSB_SUCCESS) {
            logOpenFailure(QX_FUNC, path, "libusb_claim_interface", rc);
            libusb_close(h);
            if (error) *error = fromError(rc);
            return nullptr;
        }
        if (error) *error = UsbStatus::Ok;
        return std::make_unique<LibUsbDeviceHandle>(path, h, true);
    }

private:
    libusb_context* m_ctx = nullptr;
    std::atomic<bool> m_running{false};
    sys::JoiningThread m_events;
    sys::Mutex m_targetsMutex;
    std::vector<std::unique_ptr<HotplugTarget>> m_targets QX_GUARDED_BY(m_targetsMutex);
};

} // namespace

std::shared_ptr<UsbBackend> makeLibUsbBackend() { return std::make_shared<LibUsbBackend>(); }

std::shared_ptr<UsbBackend> systemUsbBackend() {
    static std::shared_ptr<UsbBackend> backend = makeLibUsbBackend();
    return backend;
}

} // namespace qx::usb
