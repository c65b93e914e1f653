#include "UsbBackend.h"

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
