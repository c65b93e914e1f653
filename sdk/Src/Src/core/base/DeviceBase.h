// DeviceBase: the abstract camera. Each handle's DeviceProxy owns one object derived from it
// (the GigE or the USB3 camera, or a test transport). It holds what does not depend on the
// transport: the handle's DeviceInfo, the image and offline callbacks, the connection,
// offline and acquisition flags, the camera's GenICam XML text, the three-buffer image pool
// with its frame queue between the transport's acquisition thread and the application, and
// the image-callback thread.
#pragma once
#include "QxCamApi.h"
#include "Sys/JoiningThread.h"
#include "Sys/Mutex.h"
#include "Sys/LogThrottle.h"

#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qx::feature {
class FeatureBase;
} // namespace qx::feature

namespace qx::core::base {

class ProtocolBase;

// One pool entry: a block of image memory and its two flags. A buffer is free when neither
// the application holds it nor a queued frame refers to it. The block is zeroed when it is
// made and aligned as malloc aligns (16 bytes); transports write frames straight into it.
struct ImageBuffer {
    std::unique_ptr<uint8_t[]> data;
    uint32_t size = 0;
    uint8_t held = 0;
    uint8_t queued = 0;
};

// One element of the frame queue: the buffer and the frame's description.
struct FrameRecord {
    ImageBuffer* buffer = nullptr;
    FrameInfo info{};
};

class DeviceBase {
public:
    DeviceBase();
    virtual ~DeviceBase();
    DeviceBase(const DeviceBase&) = delete;
    DeviceBase& operator=(const DeviceBase&) = delete;

    // Transport operations.
    virtual QX_STATUS connectDevice(int32_t accessMode) = 0;
    virtual QX_STATUS disconnectDevice() = 0;
    virtual QX_STATUS startGrabbing(qx::feature::FeatureBase* feature) = 0;
    virtual QX_STATUS stopGrabbing() = 0;
    virtual QX_STATUS readMemory(void* pBuffer, int64_t nAddress, int64_t nLength, int32_t enPortType) = 0;
    virtual QX_STATUS writeMemory(void* pBuffer, int64_t nAddress, int64_t nLength, int32_t enPortType) = 0;
    virtual bool recvData(void* buffer, int32_t* length);
    virtual bool sendData(const void* buffer, int32_t length);
    virtual QX_STATUS getGenICamXMLSize(uint32_t* size);
    virtual QX_STATUS getGenICamXML(char* dst, uint32_t nDataSize);

    void setDeviceInfo(DeviceInfo* info) { m_deviceInfo = info; }
    DeviceInfo* getDeviceInfo() const { return m_deviceInfo; }
    bool isConnected() const { return m_isConnected.load(); }
    bool isGrabbing() const { return !m_isAcquisitionStopped.load(); }
    bool isOffline() const { return m_isDevOffline.load(); }
    bool hasImageCallback() const;

    QX_STATUS registerImageCallBack(QX_IMAGE_CALLBACK callback, void* user);
    QX_STATUS registerOfflineCallBack(QX_OFFLINE_CALLBACK callback, void* user);
    void processOffline();
    // The first half of processOffline: marks the camera offline and answers true, with the
    // application's callback, only for the call that changed the flag.
    bool takeOfflineReport(QX_OFFLINE_CALLBACK& callback, void*& user);
    // Reads a description file of at most `maxSize` bytes; a larger one is refused unread.
    QX_STATUS readXmlData(std::string path, uint64_t maxSize = kMaxXmlFileSize);
    static constexpr uint64_t kMaxXmlFileSize = UINT32_MAX - 4096;
    const char* getXmlBuffer() const { return m_xmlData.get(); }
    uint32_t getXmlFileSize() const { return m_xmlFileSize; }
    ProtocolBase* getProtocol() const { return m_protocol.get(); }

    // Pool and queue.
    bool setImgBufferSize(int32_t size);
    ImageBuffer* getImgBuffer();
    void queueFrame(ImageBuffer* buffer, const FrameInfo& info);
    QX_STATUS getFrame(FrameInfo* out, uint32_t timeoutMs);
    QX_STATUS freeFrame(const FrameInfo* info);
    QX_STATUS clearFrameBuffer();
    void startOutputImgLoop();

    // Pool state, for diagnostics and tests.
    size_t queuedFrameCount() const;
    // Frames dropped from the full queue to make room for a newer one, since construction.
    uint64_t droppedFrameCount() const;
    size_t poolSize() const;
    bool userHoldsFrame() const;

protected:
    // Acquisition control for the transports. beginAcquisition clears the stop flag once the
    // pool is sized and the queue cleared; endAcquisition sets it, wakes every waiter and
    // joins the acquisition and image-callback threads (never from one of them).
    void beginAcquisition();
    void endAcquisition();
    // Called by endAcquisition once the stop flag is set, before it joins: a transport ends
    // here a wait of its acquisition thread that the flag alone would not end.
    virtual void wakeAcquisition() {}
    // Starts the transport's acquisition thread; any earlier one is joined first.
    void startAcquisitionThread(std::function<void()> body);
    void setConnected(bool connected) { m_isConnected.store(connected); }
    // A camera connected again after its loss is online again.
    void clearOffline() { m_isDevOffline.store(false); }
    void setProtocol(std::unique_ptr<ProtocolBase> protocol);
    void setXmlData(const char* data, uint32_t size);
    // Stops and joins the threads; every derived destructor calls it before its own members go.
    void shutdownThreads();

    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint32_t m_pixelFormat = 0;

private:
    // Waits for a frame like getFrame, but also ends early when `run` is no longer the
    // current acquisition run; the image-callback thread uses it.
    QX_STATUS waitFrameForRun(FrameInfo* out, uint32_t timeoutMs, uint64_t run);
    void takeFrameLocked(FrameInfo* out, QX_STATUS& status) QX_REQUIRES(m_poolMutex);
    void releaseBufferLocked(const uint8_t* data) QX_REQUIRES(m_poolMutex);
    void freePoolLocked() QX_REQUIRES(m_poolMutex);
    void outputImgLoop(uint64_t run);

    DeviceInfo* m_deviceInfo = nullptr;

    mutable qx::sys::Mutex m_callbackMutex;
    QX_IMAGE_CALLBACK m_imageCb QX_GUARDED_BY(m_callbackMutex) = nullptr;
    void* m_imageUser QX_GUARDED_BY(m_callbackMutex) = nullptr;
    QX_OFFLINE_CALLBACK m_devOfflineCb QX_GUARDED_BY(m_callbackMutex) = nullptr;
    void* m_offlineUser QX_GUARDED_BY(m_callbackMutex) = nullptr;

    std::atomic<bool> m_isDevOffline{false};
    std::atomic<bool> m_isConnected{false};
    std::atomic<bool> m_isAcquisitionStopped{true};
    std::atomic<uint64_t> m_run{0};

    mutable qx::sys::Mutex m_poolMutex;
    std::vector<std::unique_ptr<ImageBuffer>> m_pool QX_GUARDED_BY(m_poolMutex);
    // Buffers dropped from the pool while the application or the callback still held them;
    // freed when they are given back or when the camera is destroyed.
    std::vector<std::unique_ptr<ImageBuffer>> m_retired QX_GUARDED_BY(m_poolMutex);
    std::deque<FrameRecord> m_frameQueue QX_GUARDED_BY(m_poolMutex);
    bool m_userHoldsFrame QX_GUARDED_BY(m_poolMutex) = false;
    // The drops of the full queue, logged at most once a second with their count.
    qx::sys::LogThrottle m_queueDrops QX_GUARDED_BY(m_poolMutex);
    std::condition_variable m_frameCond;

    qx::sys::Mutex m_threadMutex;
    qx::sys::JoiningThread m_acqThread QX_GUARDED_BY(m_threadMutex);
    qx::sys::JoiningThread m_outputThread QX_GUARDED_BY(m_threadMutex);

    uint32_t m_xmlFileSize = 0;
    std::unique_ptr<char[]> m_xmlData;
    std::unique_ptr<ProtocolBase> m_protocol;
};

} // namespace qx::core::base
