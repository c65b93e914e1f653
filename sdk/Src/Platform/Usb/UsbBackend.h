// USB driver seam: the few driver services the USB3 transport uses (listing devices by vendor
// and product id, opening one by its path, reading its driver-level facts, asynchronous
// control and bulk transfers that are begun, waited for, cancelled and finished separately,
// and endpoint abort/reset). Two implementations: libusb-1.0 for real devices
// (makeLibUsbBackend) and the simulated camera of the tests.
#pragma once
#include "Sys/JoiningThread.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Sys/Mutex.h"

namespace qx::usb {

enum class UsbStatus : int {
    Ok = 0,
    Timeout,   // the transfer's own time-out passed
    Cancelled, // cancelled by the host (abort, close)
    Stall,     // the device stalled the request
    NoDevice,  // the device is gone
    Overflow,  // the device sent more than asked
    InvalidArg,
    NotOpen,
    IoError,
    Pending, // not finished yet
    Access,  // no permission to open the device
    Busy,    // another process (or driver) holds the device
    NotSupported,
};
const char* usbStatusText(UsbStatus s);

enum class UsbSpeed : int { Unknown = 0, Full = 1, High = 2, Super = 4 };

struct UsbDeviceEntry {
    std::string path; // stable text, lower case, e.g. "usb:2-1.4"
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

struct UsbSetup {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

// One transfer in flight. The backend owns nothing of the caller's buffer beyond the
// transfer's life: destroying a transfer cancels it and returns only when the backend no
// longer touches the buffer.
class UsbTransfer {
public:
    virtual ~UsbTransfer() = default;
    // Waits up to `timeout` for completion; true when finished (successfully or not).
    virtual bool wait(std::chrono::milliseconds timeout) = 0;
    virtual bool done() const = 0;
    // Asks the backend to end the transfer; it finishes with Cancelled (or whatever status
    // it reached first). Does not wait.
    virtual void cancel() = 0;
    // Pending until finished.
    virtual UsbStatus status() const = 0;
    // Bytes moved in the data stage.
    virtual size_t actualLength() const = 0;
};

// An open device.
class UsbDeviceHandle {
public:
    virtual ~UsbDeviceHandle() = default;
    virtual const std::string& path() const = 0;
    // Control transfer on endpoint 0; `data` holds setup.wLength bytes (sent for OUT,
    // filled for IN). A time-out of 0 is taken as "no time-out of its own": the caller bounds
    // the wait and cancels. Returns null when it cannot be started; `error` says why.
    virtual std::unique_ptr<UsbTransfer> submitControl(const UsbSetup& setup, uint8_t* data, uint32_t timeoutMs,
                                                       UsbStatus* error) = 0;
    // Bulk or interrupt transfer on `endpoint` (bit 7 set: IN).
    virtual std::unique_ptr<UsbTransfer> submitBulk(uint8_t endpoint, uint8_t* data, size_t length, uint32_t timeoutMs,
                                                    UsbStatus* error) = 0;
    // Cancels every transfer pending on the endpoint (not on endpoint 0) and waits for them
    // within a bound.
    virtual UsbStatus abortEndpoint(uint8_t endpoint) = 0;
    // Clears a halt on the endpoint.
    virtual UsbStatus resetEndpoint(uint8_t endpoint) = 0;
    // Driver-level facts; each answers false when unknown.
    virtual bool currentAltSetting(uint8_t& alt) = 0;
    virtual bool deviceAddress(uint8_t& address) = 0;
    virtual UsbSpeed speed() = 0;
    virtual std::string friendlyName() = 0;
    virtual std::string deviceName() = 0;
    virtual uint32_t driverVersion() = 0;
    virtual uint32_t interfaceVersion() = 0;
};

// Hot-plug notification: a device with the watched ids arrived or left.
enum class UsbHotplugEvent : int { Arrived = 1, Left = 2 };
using UsbHotplugCallback = std::function<void(UsbHotplugEvent, const UsbDeviceEntry&)>;

// A running hot-plug watch. Destroying it stops the notifications; it returns only when no
// callback runs any more and none will run again.
class UsbWatch {
public:
    virtual ~UsbWatch() = default;
};

class UsbBackend {
public:
    virtual ~UsbBackend() = default;
    // Present devices with the ids, in a stable order; empty when there are none or the
    // backend cannot list.
    virtual std::vector<UsbDeviceEntry> listDevices(uint16_t vendorId, uint16_t productId) = 0;
    // Opens the device at `path`; null on failure with `error` set.
    virtual std::unique_ptr<UsbDeviceHandle> open(const std::string& path, UsbStatus* error) = 0;
    // Watches arrivals and removals of devices with the ids. The callback runs on a watcher
    // thread of the watch, one event at a time, never for a device that was present when the
    // watch started unless it left first. The default re-lists the devices every
    // `pollInterval` and reports the differences; backends with native notifications report
    // through them as well. Null when no watch can be made.
    virtual std::unique_ptr<UsbWatch> watch(uint16_t vendorId, uint16_t productId, UsbHotplugCallback callback,
                                            std::chrono::milliseconds pollInterval = std::chrono::milliseconds(1000));
};

// The watcher thread behind UsbBackend::watch: keeps the set of present paths, takes events
// posted by the backend's own notifications, re-lists every poll interval (0: only when an
// event was posted) and calls the callback once per change of the set.
class UsbHotplugWatcher final : public UsbWatch {
public:
    UsbHotplugWatcher(UsbBackend& backend, uint16_t vendorId, uint16_t productId, UsbHotplugCallback callback,
                      std::chrono::milliseconds pollInterval);
    ~UsbHotplugWatcher() override;
    UsbHotplugWatcher(const UsbHotplugWatcher&) = delete;
    UsbHotplugWatcher& operator=(const UsbHotplugWatcher&) = delete;

    // Posts a notification; it is reported when it changes the set of present paths.
    void post(UsbHotplugEvent event, const UsbDeviceEntry& entry);
    // Asks for a re-list at once.
    void poke();
    uint16_t vendorId() const { return m_vendorId; }
    uint16_t productId() const { return m_productId; }

private:
    void run();
    void relist();
    // Calls the callback, taking any exception it lets out.
    void notify(UsbHotplugEvent event, const UsbDeviceEntry& entry);

    UsbBackend& m_backend;
    const uint16_t m_vendorId;
    const uint16_t m_productId;
    const UsbHotplugCallback m_callback;
    const std::chrono::milliseconds m_poll;
    sys::Mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::pair<UsbHotplugEvent, UsbDeviceEntry>> m_events QX_GUARDED_BY(m_mutex);
    bool m_poke QX_GUARDED_BY(m_mutex) = false;
    bool m_stop QX_GUARDED_BY(m_mutex) = false;
    std::set<std::string> m_present; // watcher thread only
    sys::JoiningThread m_thread;
};

// Control transfer run to its end: waits at most timeoutMs (at least 1 ms) plus a grace of
// 100 ms, then cancels and waits a bounded while for the cancellation. `transferred` gets the
// data-stage bytes.
UsbStatus controlTransferSync(UsbDeviceHandle& dev, const UsbSetup& setup, uint8_t* data, uint32_t timeoutMs,
                              size_t& transferred);

// The libusb-1.0 backend. Never null; when libusb cannot be initialised it lists nothing and
// opens nothing.
std::shared_ptr<UsbBackend> makeLibUsbBackend();
// One libusb backend for the process, made on first use.
std::shared_ptr<UsbBackend> systemUsbBackend();

} // namespace qx::usb
