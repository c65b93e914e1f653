// USB driver seam: the few driver services the USB3 transport uses (listing devices by vendor
// and product id, opening one by its path, reading its driver-level facts, asynchronous
// control and bulk transfers that are begun, waited for, cancelled and finished separately,
// and endpoint abort/reset). Two implementations: libusb-1.0 for real devices
// (makeLibUsbBackend) and the simulated camera of the tests.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qx::usb {

enum class UsbStatus : int {
    Ok = 0,
    Timeout,     // the transfer's own time-out passed
    Cancelled,   // cancelled by the host (abort, close)
    Stall,       // the device stalled the request
    NoDevice,    // the device is gone
    Overflow,    // the device sent more than asked
    InvalidArg,
    NotOpen,
    IoError,
    Pending,     // not finished yet
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
    virtual std::unique_ptr<UsbTransfer> submitBulk(uint8_t endpoint, uint8_t* data, size_t length,
                                                    uint32_t timeoutMs, UsbStatus* error) = 0;
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

class UsbBackend {
public:
    virtual ~UsbBackend() = default;
    // Present devices with the ids, in a stable order; empty when there are none or the
    // backend cannot list.
    virtual std::vector<UsbDeviceEntry> listDevices(uint16_t vendorId, uint16_t productId) = 0;
    // Opens the device at `path`; null on failure with `error` set.
    virtual std::unique_ptr<UsbDeviceHandle> open(const std::string& path, UsbStatus* error) = 0;
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
