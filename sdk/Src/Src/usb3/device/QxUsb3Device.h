// QxUsb3Device: the camera object of a USB3 record (nTLayerType 2). It puts the process-wide
// USB manager behind the DeviceBase contract: connecting opens the camera by its device path
// and loads the GenICam XML of its model from the USB3 XML directory; grabbing sets the
// stream parameters, starts the camera's stream and runs an acquisition thread that turns the
// manager's frames into queued frames of the pool; register accesses of port type 1 go to
// register frames of the control link, those of port type 0 through the register protocol
// over the byte channel, which is itself offered as recvData / sendData. The manager's
// removal notification marks the camera offline.
#pragma once
#include "core/base/DeviceBase.h"
#include "usb3/QxUsbManager.h"

#include <cstdint>
#include <string>

namespace qx::usb3::device {

class QxUsb3Device : public qx::core::base::DeviceBase {
public:
    QxUsb3Device();
    ~QxUsb3Device() override;

    QX_STATUS connectDevice(int32_t accessMode) override;
    QX_STATUS disconnectDevice() override;
    QX_STATUS startGrabbing(qx::feature::FeatureBase* feature) override;
    QX_STATUS stopGrabbing() override;
    QX_STATUS readMemory(void* pBuffer, int64_t nAddress, int64_t nLength, int32_t enPortType) override;
    QX_STATUS writeMemory(void* pBuffer, int64_t nAddress, int64_t nLength, int32_t enPortType) override;
    bool recvData(void* buffer, int32_t* length) override;
    bool sendData(const void* buffer, int32_t length) override;

    // Body of the acquisition thread.
    void acquireImgLoop();
    // Offline callback given to the manager; `camera` is the QxUsb3Device.
    static void loc_processOffline(void* camera);

    // Bits per pixel taken at the last start of grabbing (0 before the first).
    int32_t bitsPerPixel() const { return m_bitsPerPixel; }

protected:
    // Ends the acquisition thread's image wait at once, so a stop does not wait it out.
    void wakeAcquisition() override;

private:
    QX_STATUS accessMemory(const char* func, bool write, void* pBuffer, int64_t nAddress, int64_t nLength,
                           int32_t enPortType);
    // Closes the manager device and forgets the path; shared by a failed connect and disconnect.
    void releaseDevice();

    int32_t m_expectedWidth = 0;
    int32_t m_expectedHeight = 0;
    qx::usb3::UsbDevHandle m_hDevice = qx::usb3::kUsbInvalidHandle;
    int32_t m_bitsPerPixel = 0;
    // The device path this camera entered into the connected set (empty while not connected).
    std::string m_connectedPath;
};

} // namespace qx::usb3::device
