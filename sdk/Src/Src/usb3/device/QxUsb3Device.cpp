#include "usb3/device/QxUsb3Device.h"

#include "core/base/ProtocolBase.h"
#include "core/base/SdkConfig.h"
#include "feature/FeatureBase.h"
#include "Sys/FrameRate.h"
#include "Sys/Log.h"
#include "Sys/PixelFormat.h"
#include "usb3/QxUsb3UserProtocol.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace qx::usb3::device {

using namespace qx::feature;

using namespace qx::core::base;

using qx::usb3::FrameCacheSlot;
using qx::usb3::kUsbInvalidHandle;
using qx::usb3::QX_U3V_GetManager;

namespace {

std::string devicePathOf(const DeviceInfo* info) {
    if (!info) return std::string();
    const char* p = info->u.stUsb3Info.strDevicePath;
    return std::string(p, strnlen(p, sizeof(info->u.stUsb3Info.strDevicePath)));
}

std::string modelNameOf(const DeviceInfo* info) {
    if (!info) return std::string();
    return std::string(info->strModelName, strnlen(info->strModelName, sizeof(info->strModelName)));
}

} // namespace

QxUsb3Device::QxUsb3Device() {
    auto protocol = std::make_unique<QxUsb3UserProtocol>();
    protocol->setTransport(
        [this](uint8_t* buffer, int& count) {
            int32_t n = count;
            const bool ok = recvData(buffer, &n);
            count = ok ? n : 0;
            return ok;
        },
        [this](const uint8_t* bytes, int count) { return sendData(bytes, count); });
    protocol->setDrain([this] {
        qx::usb3::QxUsbManager* manager = QX_U3V_GetManager();
        if (manager && isConnected()) manager->DrainData(m_hDevice);
    });
    setProtocol(std::move(protocol));
}

QxUsb3Device::~QxUsb3Device() {
    disconnectDevice();
    shutdownThreads();
}

// ---- connection ----------------------------------------------------------------------------

void QxUsb3Device::releaseDevice() {
    if (!m_connectedPath.empty()) {
        qx::sys::MutexLock lk(g_connectedGuidSetMutex);
        g_connectedGuidSet.erase(m_connectedPath);
        m_connectedPath.clear();
    }
    if (m_hDevice != kUsbInvalidHandle) {
        qx::usb3::QxUsbManager* manager = QX_U3V_GetManager();
        if (manager) {
            // After this returns the manager no longer calls back into this camera.
            manager->RegisterOfflineCallback(m_hDevice, nullptr, nullptr);
            manager->CloseDevice(m_hDevice);
        }
        m_hDevice = kUsbInvalidHandle;
    }
}

QX_STATUS QxUsb3Device::connectDevice(int32_t /*accessMode*/) {
    const DeviceInfo* info = getDeviceInfo();
    const std::string path = devicePathOf(info);
    {
        qx::sys::MutexLock lk(g_connectedGuidSetMutex);
        if (g_connectedGuidSet.count(path) != 0) {
            QX_LOG_ERROR("func:{}, g_connectedGuidSet.count(std::string(guid))=true");
            return QX_ERR_GEV_BUSY;
        }
    }
    qx::usb3::QxUsbManager* manager = QX_U3V_GetManager();
    m_hDevice = manager ? manager->OpenDevice(path.c_str()) : kUsbInvalidHandle;
    if (m_hDevice == kUsbInvalidHandle) {
        QX_LOG_ERROR("func:{}, INVALID_HANDLE_VALUE == m_hDevice");
        return QX_ERR_USB3;
    }
    if (ProtocolBase* protocol = getProtocol()) protocol->open();

    char fileName[256] = {0};
    std::snprintf(fileName, sizeof(fileName), "%s%s.xml",
                  qx::core::base::getQxUsb3XmlPath(qx::core::base::getSdkConfig()).c_str(), modelNameOf(info).c_str());
    const QX_STATUS status = readXmlData(fileName);
    if (status != QX_OK) {
        // Without its XML the camera cannot be used: give the device back so a later connect
        // (for example once the file is in place) can open it again.
        if (ProtocolBase* protocol = getProtocol()) protocol->close();
        releaseDevice();
        return status;
    }

    manager->RegisterOfflineCallback(m_hDevice, &QxUsb3Device::loc_processOffline, this);
    {
        qx::sys::MutexLock lk(g_connectedGuidSetMutex);
        g_connectedGuidSet.insert(path);
        m_connectedPath = path;
        clearOffline();
        setConnected(true);
    }
    return QX_OK;
}

QX_STATUS QxUsb3Device::disconnectDevice() {
    if (!isConnected()) return QX_OK;
    stopGrabbing();
    if (ProtocolBase* protocol = getProtocol()) protocol->close();
    releaseDevice();
    setConnected(false);
    return QX_OK;
}

// ---- acquisition ---------------------------------------------------------------------------

QX_STATUS QxUsb3Device::startGrabbing(FeatureBase* feature) {
    // Threads of an earlier run (ended by loss or by a full stop) are joined first.
    endAcquisition();
    qx::usb3::QxUsbManager* manager = QX_U3V_GetManager();
    if (!feature || !manager) return QX_ERR_GENERAL;

    int32_t bytesPerPixel = 2;
    m_bitsPerPixel = 0;
    IntValueInfo bitsInfo{};
    if (feature->getIntValue("IMAGE_DATA_WIDTH", &bitsInfo) == QX_OK) {
        // A nonsensical width from the camera must not overflow the arithmetic below; it
        // fails the buffer sizing instead.
        const int64_t bits = std::clamp<int64_t>(bitsInfo.nValue, -1, 1024);
        m_bitsPerPixel = bits == 0 ? 8 : static_cast<int32_t>(bits);
        // The stream, the pool and the copy all use the bytes per pixel of the frames handed
        // out: 17 to 31 bits travel and are delivered in 4 bytes per pixel, not 3.
        bytesPerPixel =
            std::max<int32_t>(qx::sys::bytesForBits(m_bitsPerPixel),
                              static_cast<int32_t>(qx::sys::pixelBytes(qx::sys::monoFormatForBits(m_bitsPerPixel))));
    } else {
        m_bitsPerPixel = 12;
        bytesPerPixel = 2;
    }
    manager->SetPixelBytes(m_hDevice, bytesPerPixel);

    int32_t transferUnits = qx::core::base::getQxUsb3TransferBufCount(qx::core::base::getSdkConfig());
    if (transferUnits < 1) {
        EnumStrValueInfo trigger{};
        const QX_STATUS s = feature->getEnumValueStr("TriggerMode", &trigger);
        QX_LOG_INFO("func:{}, getEnumValueStr TriggerMode ret=0x{:x}", s);
        transferUnits = (s == QX_OK && std::strcmp(trigger.strValue, "On") == 0) ? 1 : 16;
    }
    manager->SetTransferParams(m_hDevice, 3, transferUnits);
    QX_LOG_INFO("func:{}, usbTransferBufCount={}", transferUnits);

    clearFrameBuffer();

    IntValueInfo width{};
    IntValueInfo height{};
    if (feature->getIntValue("Width", &width) != QX_OK || feature->getIntValue("Height", &height) != QX_OK) {
        QX_LOG_ERROR("func:{}, getIntValue width or height failed.");
        return QX_ERR_GENICAM;
    }

    // Sizes are worked out in 64 bits: a camera reporting absurd maxima must not wrap the
    // pool size into something smaller than its frames.
    int64_t maxSize = 0;
    int64_t minSize = 0;
    const bool sizesSane = bytesPerPixel > 0 && width.nMax > 0 && height.nMax > 0 && width.nValue >= 0 &&
                           height.nValue >= 0 && !__builtin_mul_overflow(width.nMax, height.nMax, &maxSize) &&
                           !__builtin_mul_overflow(maxSize, static_cast<int64_t>(bytesPerPixel), &maxSize) &&
                           !__builtin_mul_overflow(width.nValue, height.nValue, &minSize) && maxSize <= INT32_MAX &&
                           width.nValue <= INT32_MAX && height.nValue <= INT32_MAX;
    if (!sizesSane || maxSize < minSize || !setImgBufferSize(static_cast<int32_t>(maxSize))) {
        QX_LOG_ERROR("func:{}, max_size < min_size || !this->setImgBufferSize(max_size).");
        return QX_ERR_RESOURCE_EXHAUSTED;
    }

    m_expectedWidth = static_cast<int32_t>(width.nValue);
    m_expectedHeight = static_cast<int32_t>(height.nValue);
    m_width = static_cast<uint32_t>(width.nValue);
    m_height = static_cast<uint32_t>(height.nValue);
    manager->SetImageInfo(m_hDevice, m_expectedWidth, m_expectedHeight, m_bitsPerPixel);

    if (!manager->StartAcq(m_hDevice)) {
        QX_LOG_ERROR("func:{}, QX_U3V_GetManager()->StartAcq(m_hDevice) failed.");
        return QX_ERR_USB3;
    }

    beginAcquisition();
    startAcquisitionThread([this] { acquireImgLoop(); });
    if (hasImageCallback()) startOutputImgLoop();
    return QX_OK;
}

QX_STATUS QxUsb3Device::stopGrabbing() {
    if (!isGrabbing()) return QX_OK;
    // Sets the stop flag, ends the acquisition thread's image wait and joins it and the
    // image-callback thread before the stream is stopped.
    endAcquisition();
    qx::usb3::QxUsbManager* manager = QX_U3V_GetManager();
    if (!manager || !manager->StopAcq(m_hDevice)) {
        QX_LOG_ERROR("func:{}, QX_U3V_GetManager()->StopAcq(m_hDevice) failed.");
        return QX_ERR_USB3;
    }
    return QX_OK;
}

void QxUsb3Device::wakeAcquisition() {
    qx::usb3::QxUsbManager* manager = QX_U3V_GetManager();
    if (manager && m_hDevice != kUsbInvalidHandle) manager->CancelImageWait(m_hDevice);
}

void QxUsb3Device::acquireImgLoop() {
    qx::usb3::QxUsbManager* manager = QX_U3V_GetManager();
    if (!manager) return;
    // The frames handed out, from the camera's bits per pixel.
    const uint32_t pixelFormat = qx::sys::monoFormatForBits(m_bitsPerPixel);
    const uint32_t bytesPerPixel = qx::sys::pixelBytes(pixelFormat);
    uint64_t delivered = 0;
    qx::sys::FrameRateWindow rate(0.0f);
    bool reportedNoBuffer = false;
    // A camera waiting for its trigger sends nothing for as long as it likes: the time-out is
    // logged once per idle stretch, not once a second.
    bool idle = false;

    while (isGrabbing() && !isOffline()) {
        ImageBuffer* buffer = getImgBuffer();
        if (!buffer) {
            if (poolSize() == 0) {
                QX_LOG_ERROR("func:{}, getImgBuffer failed.");
                return;
            }
            // Every buffer is held by the application: drop this frame but keep the stream
            // running, so frames flow again as soon as one is given back.
            if (!reportedNoBuffer) QX_LOG_ERROR("func:{}, getImgBuffer failed.");
            reportedNoBuffer = true;
            FrameCacheSlot* skipped = nullptr;
            if (manager->CameraGetImage(m_hDevice, skipped, 1000)) manager->CameraReleaseImage(m_hDevice);
            continue;
        }
        reportedNoBuffer = false;

        FrameCacheSlot* slot = nullptr;
        if (!manager->CameraGetImage(m_hDevice, slot, 1000) || !slot) {
            if (!idle && isGrabbing()) QX_LOG_ERROR("func:{}, QX_U3V_GetManager()->CameraGetImage timeout");
            idle = true;
            continue;
        }
        idle = false;
        if (slot->width != m_expectedWidth || slot->height != m_expectedHeight || slot->data == nullptr) {
            manager->CameraReleaseImage(m_hDevice);
            continue;
        }

        const uint64_t dataLength =
            static_cast<uint64_t>(slot->width) * static_cast<uint64_t>(slot->height) * bytesPerPixel;
        if (buffer->size < dataLength) {
            manager->CameraReleaseImage(m_hDevice);
            QX_LOG_ERROR("func:{}, ImgBufferSize changed.");
            return;
        }

        FrameInfo info{};
        info.nPixelFormat = pixelFormat;
        info.nWidth = static_cast<uint32_t>(slot->width);
        info.nHeight = static_cast<uint32_t>(slot->height);
        info.nDataLen = static_cast<uint32_t>(dataLength);
        info.pData = buffer->data.get();
        info.nFrameIndex = delivered;
        info.fFps = rate.rate();
        info.nLostPacket = 0;
        info.nBitsPerPixel = qx::sys::pixelBits(pixelFormat);

        // Never read past what the assembler placed in the slot; a short frame is padded with
        // zeros rather than with the previous image of this buffer.
        const uint64_t available = std::min<uint64_t>(slot->dataBytes, slot->capacity);
        const uint64_t copy = std::min<uint64_t>(dataLength, available);
        if (copy) std::memcpy(buffer->data.get(), slot->data, static_cast<size_t>(copy));
        if (copy < dataLength) std::memset(buffer->data.get() + copy, 0, static_cast<size_t>(dataLength - copy));
        manager->CameraReleaseImage(m_hDevice);

        queueFrame(buffer, info);
        ++delivered;
        rate.countFrame();
        rate.update();
    }
}

// ---- registers and the byte channel --------------------------------------------------------

QX_STATUS QxUsb3Device::accessMemory(const char* func, bool write, void* pBuffer, int64_t nAddress, int64_t nLength,
                                     int32_t enPortType) {
    if (isOffline()) {
        QX_LOG_NAMED(spdlog::level::debug, func, "func:{}, m_isDevOffline={}", true);
        return QX_ERR_GENERAL;
    }
    if (!pBuffer || nLength < 0 || nLength > INT32_MAX || nAddress < 0 || nAddress > UINT32_MAX) return QX_ERR_USB3;
    const uint32_t address = static_cast<uint32_t>(nAddress);
    const int32_t length = static_cast<int32_t>(nLength);
    bool ok = false;
    if (enPortType == 1) {
        qx::usb3::QxUsbManager* manager = QX_U3V_GetManager();
        if (manager) {
            uint8_t* bytes = static_cast<uint8_t*>(pBuffer);
            ok = write ? manager->WriteDeviceReg(m_hDevice, address, bytes, length, 1000)
                       : manager->ReadDeviceReg(m_hDevice, address, bytes, length, 1000);
        }
    } else if (enPortType == 0) {
        if (ProtocolBase* protocol = getProtocol()) {
            ok = write ? protocol->write(address, pBuffer, static_cast<uint32_t>(length), 1000)
                       : protocol->read(address, pBuffer, static_cast<uint32_t>(length), 1000);
        }
    }
    return ok ? QX_OK : QX_ERR_USB3;
}

QX_STATUS QxUsb3Device::readMemory(void* pBuffer, int64_t nAddress, int64_t nLength, int32_t enPortType) {
    return accessMemory(QX_FUNC, false, pBuffer, nAddress, nLength, enPortType);
}

QX_STATUS QxUsb3Device::writeMemory(void* pBuffer, int64_t nAddress, int64_t nLength, int32_t enPortType) {
    return accessMemory(QX_FUNC, true, pBuffer, nAddress, nLength, enPortType);
}

bool QxUsb3Device::recvData(void* buffer, int32_t* length) {
    if (!isConnected() || !buffer || !length || *length < 0) return false;
    qx::usb3::QxUsbManager* manager = QX_U3V_GetManager();
    if (!manager) return false;
    int count = *length;
    const bool ok = manager->ReadData(m_hDevice, static_cast<uint8_t*>(buffer), count, 1000);
    if (ok) *length = count;
    return ok;
}

bool QxUsb3Device::sendData(const void* buffer, int32_t length) {
    if (!isConnected() || !buffer || length < 0) return false;
    qx::usb3::QxUsbManager* manager = QX_U3V_GetManager();
    return manager && manager->WriteData(m_hDevice, static_cast<const uint8_t*>(buffer), length, 1000);
}

void QxUsb3Device::loc_processOffline(void* camera) {
    if (!camera) return;
    QX_LOG_INFO("func:{} called.");
    QX_OFFLINE_CALLBACK callback = nullptr;
    void* user = nullptr;
    const bool first = static_cast<QxUsb3Device*>(camera)->takeOfflineReport(callback, user);
    // The camera object is not touched after this point: a disconnect and delete on another
    // thread may go ahead while the application's callback runs.
    qx::usb3::QxUsbManager::OfflineContextReleased();
    if (first && callback) callback(user);
}

} // namespace qx::usb3::device
