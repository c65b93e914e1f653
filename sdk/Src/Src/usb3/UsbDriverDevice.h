// Object layer over the USB driver seam: the device class UsbDriverDevice (listing, open and
// close, descriptor reading and parsing, configuration and alternate setting, endpoint
// objects) and the endpoint classes with control transfers and transfers that are begun,
// waited for and finished separately. Every transfer buffer begins with a TransferHeader.
#pragma once
#include "Usb/UsbBackend.h"
#include "usb3/UsbLinkWire.h"
#include "Sys/Mutex.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qx::usb3 {

constexpr uint16_t kCameraVendorId = 0x04B4;
constexpr uint16_t kCameraProductId = 0x00F1;

// Last-error values kept by the endpoints and the device (the driver's error numbering).
constexpr int kErrorSuccess = 0;
constexpr int kErrorInvalidHandle = 6;
constexpr int kErrorGenFailure = 31;
constexpr int kErrorInvalidParameter = 87;
constexpr int kErrorSemTimeout = 121;
constexpr int kErrorOperationAborted = 995;
constexpr int kErrorIoPending = 997;
constexpr int kErrorDeviceNotConnected = 1167;

// NT status written into the header for each finished transfer (0 on success).
constexpr uint32_t kNtStatusUnsuccessful = 0xC0000001;
constexpr uint32_t kNtStatusCancelled = 0xC0000120;
constexpr uint32_t kNtStatusIoTimeout = 0xC00000B5;
constexpr uint32_t kNtStatusNoSuchDevice = 0xC000000E;
// USBD status (0 on success).
constexpr uint32_t kUsbdStatusStall = 0xC0000004;
constexpr uint32_t kUsbdStatusCanceled = 0xC0010000;
constexpr uint32_t kUsbdStatusError = 0x80000000;

// Shared slot for the open driver handle: endpoints reach the device through it, and closing
// the device empties it, after which every endpoint call fails without reaching the driver.
class DriverHandleSlot {
public:
    std::shared_ptr<usb::UsbDeviceHandle> get() const {
        sys::MutexLock lk(m_mutex);
        return m_handle;
    }
    void set(std::shared_ptr<usb::UsbDeviceHandle> h) {
        sys::MutexLock lk(m_mutex);
        m_handle = std::move(h);
    }

private:
    mutable sys::Mutex m_mutex;
    std::shared_ptr<usb::UsbDeviceHandle> m_handle QX_GUARDED_BY(m_mutex);
};

// Overlapped record of one transfer: the in-flight transfer and the error of its begin
// (kErrorIoPending while it runs).
struct UsbOverlapped {
    usb::UsbTransfer* transfer = nullptr;
    int lastError = kErrorSuccess;
};

class CCyUSBEndPoint;

// Transfer context returned by BeginDataXfer: the header buffer (with the data for buffered
// and control transfers) and the in-flight transfer. Destroying it cancels a transfer that
// still runs.
struct UsbXferContext {
    ~UsbXferContext();
    std::vector<uint8_t> buffer; // TransferHeader [+ packet information] [+ data]
    uint8_t* callerBuffer = nullptr;
    size_t length = 0;
    bool in = false;
    bool buffered = false;
    std::unique_ptr<usb::UsbTransfer> transfer;
    std::shared_ptr<usb::UsbDeviceHandle> handle; // keeps the handle alive while the transfer runs
    CCyUSBEndPoint* endpoint = nullptr;
};
using UsbXferContextPtr = std::unique_ptr<UsbXferContext>;

struct UsbEndpointDescriptor {
    uint8_t bLength = 7;
    uint8_t bDescriptorType = 5;
    uint8_t bEndpointAddress = 0;
    uint8_t bmAttributes = 0;
    uint16_t wMaxPacketSize = 0;
    uint8_t bInterval = 0;
};
struct UsbSsCompanion {
    bool present = false;
    uint8_t bMaxBurst = 0;
    uint8_t bmAttributes = 0;
    uint16_t wBytesPerInterval = 0;
};

class CCyUSBEndPoint {
public:
    CCyUSBEndPoint(std::shared_ptr<DriverHandleSlot> slot, const UsbEndpointDescriptor& d,
                   const UsbSsCompanion& companion = {});
    CCyUSBEndPoint(const CCyUSBEndPoint&) = delete;
    CCyUSBEndPoint& operator=(const CCyUSBEndPoint&) = delete;
    virtual ~CCyUSBEndPoint();

    virtual UsbXferContextPtr StartDirectTransfer(uint8_t* buffer, long length, UsbOverlapped* ov);
    virtual UsbXferContextPtr StartBufferedTransfer(uint8_t* buffer, long length, UsbOverlapped* ov);
    virtual UsbXferContextPtr BeginDataXfer(uint8_t* buffer, long length, UsbOverlapped* ov) = 0;
    virtual bool FinishDataXfer(uint8_t* buffer, long& length, UsbOverlapped* ov, UsbXferContextPtr context,
                                uint8_t* packetInfo = nullptr);

    bool XferData(uint8_t* buffer, long& length);
    bool WaitForXfer(UsbOverlapped* ov, unsigned long ms);
    bool Abort();
    bool Reset();
    bool SetXferSize(unsigned long bytes);

    // Descriptor facts.
    uint8_t DscLen = 0;
    uint8_t DscType = 0;
    uint8_t Address = 0;
    uint8_t Attributes = 0;
    uint32_t MaxPktSize = 0;
    uint8_t Interval = 0;
    uint8_t ssmaxburst = 0;
    uint8_t ssbmAttribute = 0;
    uint16_t ssbytesperinterval = 0;
    bool bIn = false;
    // 1 direct, 0 buffered.
    int XferMode = 1;
    unsigned long TimeOut = 10000;
    uint32_t UsbdStatus = 0;
    uint32_t NtStatus = 0;
    unsigned long bytesWritten = 0;
    int LastError = 0;
    uint32_t XferSize = 0;

protected:
    // Submits the transfer described by the context's header.
    bool submit(UsbXferContext& ctx, UsbOverlapped* ov, uint8_t* data, size_t length, uint32_t timeoutMs,
                const usb::UsbSetup* setup);
    UsbXferContextPtr beginByMode(uint8_t* buffer, long length, UsbOverlapped* ov);

    std::shared_ptr<DriverHandleSlot> m_slot;

private:
    friend struct UsbXferContext;
    void track(usb::UsbTransfer* t);
    void untrack(usb::UsbTransfer* t);
    sys::Mutex m_pendingMutex;
    std::set<usb::UsbTransfer*> m_pending QX_GUARDED_BY(m_pendingMutex);
};

class CCyControlEndPoint : public CCyUSBEndPoint {
public:
    using CCyUSBEndPoint::CCyUSBEndPoint;
    UsbXferContextPtr BeginDataXfer(uint8_t* buffer, long length, UsbOverlapped* ov) override;
    bool ControlWrite(uint8_t* buffer, long& length) {
        Direction = 0;
        return XferData(buffer, length);
    }
    bool ControlRead(uint8_t* buffer, long& length) {
        Direction = 1;
        return XferData(buffer, length);
    }
    // Whole seconds of a time-out in ms, as the header carries it: 1..999 ms is 1 s.
    static uint32_t headerTimeoutSeconds(unsigned long ms) {
        return ms == 0 ? 0 : (ms < 1000 ? 1 : uint32_t(ms / 1000));
    }

    uint8_t Target = 0;    // recipient: 0 device, 1 interface, 2 endpoint
    uint8_t ReqType = 2;   // 0 standard, 1 class, 2 vendor
    uint8_t Direction = 0; // 0 host-to-device, 1 device-to-host
    uint8_t ReqCode = 0;
    uint16_t Value = 0;
    uint16_t Index = 0;
};

class CCyIsocEndPoint : public CCyUSBEndPoint {
public:
    using CCyUSBEndPoint::CCyUSBEndPoint;
    UsbXferContextPtr StartDirectTransfer(uint8_t* buffer, long length, UsbOverlapped* ov) override;
    UsbXferContextPtr StartBufferedTransfer(uint8_t* buffer, long length, UsbOverlapped* ov) override;
    UsbXferContextPtr BeginDataXfer(uint8_t* buffer, long length, UsbOverlapped* ov) override {
        return beginByMode(buffer, length, ov);
    }
    // Packets of a transfer of `length` bytes; 0 when nothing is to be sent.
    uint32_t packetCount(long length) const {
        return (length <= 0 || MaxPktSize == 0) ? 0 : uint32_t((uint64_t(length) + MaxPktSize - 1) / MaxPktSize);
    }
};

class CCyBulkEndPoint : public CCyUSBEndPoint {
public:
    using CCyUSBEndPoint::CCyUSBEndPoint;
    UsbXferContextPtr BeginDataXfer(uint8_t* buffer, long length, UsbOverlapped* ov) override {
        return beginByMode(buffer, length, ov);
    }
};

class CCyInterruptEndPoint : public CCyUSBEndPoint {
public:
    using CCyUSBEndPoint::CCyUSBEndPoint;
    UsbXferContextPtr BeginDataXfer(uint8_t* buffer, long length, UsbOverlapped* ov) override {
        return beginByMode(buffer, length, ov);
    }
};

struct UsbParsedInterface {
    std::vector<std::unique_ptr<CCyUSBEndPoint>> endpoints; // at most 32
    uint8_t bInterfaceNumber = 0;
    uint8_t bAlternateSetting = 0;
    uint8_t bNumEndpoints = 0;
    uint8_t bInterfaceClass = 0;
    uint8_t bInterfaceSubClass = 0;
    uint8_t bInterfaceProtocol = 0;
    uint8_t altInterfaces = 0;
    uint16_t totalLength = 0;
};

struct UsbParsedConfig {
    std::vector<UsbParsedInterface> interfaces; // at most 255
    uint8_t bConfigurationValue = 0;
    uint8_t bmAttributes = 0;
    uint8_t maxPower = 0;
    uint8_t bNumInterfaces = 0;
};

struct UsbBosRecord {
    bool hasUsb20Ext = false;
    std::array<uint8_t, 8> usb20Ext{};
    bool hasSsCapability = false;
    std::array<uint8_t, 10> ssCapability{};
    bool hasContainerId = false;
    std::array<uint8_t, 20> containerId{};
};

// Parses a configuration descriptor; false when the table is broken. SuperSpeed companions
// are taken after each endpoint when `superSpeed`.
bool parseConfigDescriptor(const std::shared_ptr<DriverHandleSlot>& slot, const uint8_t* data, size_t size,
                           bool superSpeed, UsbParsedConfig& out);
// Parses a BOS descriptor; false when the table is broken.
bool parseBosDescriptor(const uint8_t* data, size_t size, UsbBosRecord& out);

class UsbDriverDevice {
public:
    explicit UsbDriverDevice(std::shared_ptr<usb::UsbBackend> backend, bool openNow = false,
                             uint16_t vendorId = kCameraVendorId, uint16_t productId = kCameraProductId);
    ~UsbDriverDevice();
    UsbDriverDevice(const UsbDriverDevice&) = delete;
    UsbDriverDevice& operator=(const UsbDriverDevice&) = delete;

    uint8_t deviceCount();
    // Paths of the present devices, lower case, in index order (at most 255).
    std::vector<std::string> devicePaths();
    bool openDevice(uint8_t index);
    void closeDevice();
    void releaseDevice();
    bool isOpen() const { return m_slot->get() != nullptr; }

    bool selectConfiguration(uint8_t index);
    bool selectAltSetting(uint8_t alt);
    int endpointCount() const;
    // Index 0 is the control endpoint, then the current interface's endpoints.
    CCyUSBEndPoint* endpointAt(int index) const;
    CCyControlEndPoint* controlEndPoint() const { return m_control.get(); }
    const std::shared_ptr<DriverHandleSlot>& handleSlot() const { return m_slot; }
    const std::shared_ptr<usb::UsbBackend>& backend() const { return m_backend; }

    // State readable after open.
    uint8_t DevCount = 0;
    uint8_t DevIndex = 0;
    std::string DevPath;
    int LastError = 0;
    uint32_t UsbdStatus = 0;
    uint32_t NtStatus = 0;
    uint32_t DriverVersion = 0;
    uint32_t USBDIVersion = 0;
    std::string FriendlyName;
    std::string DeviceName;
    std::u16string Manufacturer;
    std::u16string Product;
    std::u16string SerialNumber;
    std::array<uint8_t, 18> deviceDescriptor{};
    uint16_t BcdUSB = 0;
    uint16_t VendorID = 0;
    uint16_t ProductID = 0;
    uint8_t DevClass = 0;
    uint8_t DevSubClass = 0;
    uint8_t DevProtocol = 0;
    uint32_t MaxPacketSize = 0;
    uint16_t BcdDevice = 0;
    uint8_t ConfigCount = 0;
    uint8_t ManufacturerIndex = 0, ProductIndex = 0, SerialIndex = 0;
    uint16_t LanguageId = 0;
    uint8_t USBAddress = 0;
    bool bHighSpeed = false;
    bool bSuperSpeed = false;
    std::vector<std::vector<uint8_t>> configDescriptors;
    std::vector<std::unique_ptr<UsbParsedConfig>> configs;
    std::vector<uint8_t> bosDescriptor;
    std::unique_ptr<UsbBosRecord> bos;
    uint8_t CfgNum = 0;
    uint8_t IntfcIndex = 0;
    uint8_t ConfigValue = 0;
    uint8_t ConfigAttrib = 0;
    uint8_t MaxPower = 0;
    uint8_t IntfcCount = 0;
    uint8_t AltIntfcCount = 0;
    uint8_t IntfcNum = 0;
    uint8_t IntfcClass = 0, IntfcSubClass = 0, IntfcProtocol = 0;
    CCyIsocEndPoint* IsocInEndPt = nullptr;
    CCyIsocEndPoint* IsocOutEndPt = nullptr;
    CCyBulkEndPoint* BulkInEndPt = nullptr;
    CCyBulkEndPoint* BulkOutEndPt = nullptr;
    CCyInterruptEndPoint* InterruptInEndPt = nullptr;
    CCyInterruptEndPoint* InterruptOutEndPt = nullptr;

private:
    bool getDescriptor(uint8_t type, uint8_t index, uint16_t langId, uint8_t* buf, uint16_t size);
    bool readStringDescriptor(uint8_t index, std::u16string& out);
    bool failOpen();

    std::shared_ptr<usb::UsbBackend> m_backend;
    uint16_t m_vendorId;
    uint16_t m_productId;
    std::shared_ptr<DriverHandleSlot> m_slot = std::make_shared<DriverHandleSlot>();
    std::unique_ptr<CCyControlEndPoint> m_control;
    UsbParsedInterface* m_currentInterface = nullptr;
};

} // namespace qx::usb3
