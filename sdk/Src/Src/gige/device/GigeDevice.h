// GigeDevice: the camera class of the GigE Vision transport. One object per SDK handle whose
// DeviceInfo has nTLayerType 1. It gives the camera a library camera number, opens it with
// GEVInit, fetches and adapts its GenICam XML, programs the channel parameters, runs its own
// acquisition thread feeding the DeviceBase frame queue, maps the feature layer's register and
// memory accesses onto GVCP, offers the GigE settings of the QX_GIGE_ exports, enumerates
// GigE cameras into DeviceInfo records and reacts to a camera that is lost.
#pragma once
#include "core/base/DeviceBase.h"
#include "core/base/GigeDeviceOps.h"

#include "gige/GevLib.h"
#include "Sys/JoiningThread.h"
#include "Sys/Mutex.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace qx::feature {
class FeatureBase;
} // namespace qx::feature

namespace qx::gige::device {

class GigeDevice final : public qx::core::base::DeviceBase, public qx::core::base::GigeDeviceOps {
public:
    GigeDevice();
    ~GigeDevice() override;

    QX_STATUS connectDevice(int32_t accessMode) override;
    QX_STATUS disconnectDevice() override;
    QX_STATUS startGrabbing(qx::feature::FeatureBase* feature) override;
    QX_STATUS stopGrabbing() override;
    QX_STATUS readMemory(void* pBuffer, int64_t nAddress, int64_t nLength, int32_t enPortType) override;
    QX_STATUS writeMemory(void* pBuffer, int64_t nAddress, int64_t nLength, int32_t enPortType) override;

    // GigE settings.
    QX_STATUS gigeForceIp(uint32_t ip, uint32_t mask, uint32_t gateway) override;
    QX_STATUS setIpConfig(int32_t kind, uint32_t ip, uint32_t mask, uint32_t gateway) override;
    QX_STATUS setPacketResend(bool enable, uint8_t percent, uint16_t timeoutMs) override;
    QX_STATUS getPacketResend(bool* enable, uint8_t* percent, uint16_t* timeoutMs) override;
    QX_STATUS setFilterDriver(bool enable) override;
    bool isFilterDriverEnabled() const override { return m_filterDriverEnabled.load(); }
    QX_STATUS getFilterDriver(bool* enable) const;
    QX_STATUS setHeartbeatTimeout(int64_t timeoutMs) override;
    QX_STATUS findMaxPacketSize(qx::feature::FeatureBase* feature);

    // Appends one record per camera that answered a discovery run of `timeoutMs`, in the order
    // of the discovery result; appends nothing when discovery fails or when `interrupt` (none:
    // never) is set before it ends, which it then does within about 100 ms.
    static void enumDevice(uint16_t timeoutMs, std::vector<DeviceInfo>& list,
                           const std::atomic<bool>* interrupt = nullptr);

    // IP, gateway and mask (host order) a camera may be given.
    static bool isNetConfigValid(uint32_t ip, uint32_t mask, uint32_t gateway);

    // Diagnostics.
    uint8_t cameraId() const { return m_cameraId.load(); }
    uint32_t maxPacketSize() const { return m_maxPacketSize; }
    uint64_t deliveredFrames() const { return m_deliveredFrames.load(); }

    // The library's callbacks; they find their camera through the camera-number map.
    static void loc_ctrl_channel_cb(uint8_t camNr, const char* text, uint8_t level);
    static bool loc_msg_channel_cb(uint8_t camNr, GevEvent* event);
    static void memoryWriteCallback(uint8_t camNr, uint32_t percent);

private:
    QX_STATUS assignCameraId();
    void releaseCameraId();
    GevConnection makeConnection(uint32_t cameraIpNetOrder) const;
    QX_STATUS setStreamChannelStatus(bool open);
    QX_STATUS startGrabbingSub(qx::feature::FeatureBase* feature, uint32_t payloadSize);
    QX_STATUS setPacketResendSub();
    QX_STATUS connectDeviceForIpConfig(uint32_t ipNet, uint32_t maskNet, uint32_t gatewayNet);
    GevStatus getXmlData();
    void processCCPLostEvent();
    void processCCPAccessLostEvent();
    void acquireImgLoop();
    void printGevConnection();
    void setLogLevel();
    // Starts the liveness task (camera-number mutex held by the caller); `check` false takes
    // the camera offline at once.
    void startLivenessTaskLocked(bool check);
    void livenessTask(bool check, int32_t gvcpIndex, int64_t capturePoint);
    enum class Liveness { Answers, Silent, Closing };
    // Watches for a second whether frames or command answers still come from the camera, then
    // asks it once.
    Liveness watchCamera(int32_t gvcpIndex, int64_t capturePoint);
    void stopLivenessTask();
    QX_STATUS closeConnection();

    GevConnection m_connection{};
    std::atomic<uint8_t> m_cameraId{0};
    std::atomic<bool> m_filterDriverEnabled{false};
    bool m_streamChannelOpen = false;
    std::atomic<uint64_t> m_deliveredFrames{0};
    qx::feature::FeatureBase* m_pFeature = nullptr;
    uint32_t m_maxPacketSize = 0;
    uint32_t m_payloadSize = 0;
    uint8_t m_resendPercent = 100;
    uint16_t m_resendTimeout = 200;
    std::atomic<bool> m_isTriggerModeOn{false};
    int64_t m_lastStatusLogNs = 0;

    // Liveness task: one at a time; stopped and joined by disconnect and the destructor.
    qx::sys::Mutex m_taskMutex;
    std::condition_variable m_taskCv;
    bool m_taskStop QX_GUARDED_BY(m_taskMutex) = false;
    std::atomic<bool> m_taskDone{true};
    // Set when the camera answered again after a lost heartbeat but had dropped this
    // connection's privilege while it was grabbing: it restarted, and its stream with it.
    std::atomic<bool> m_connectionForgotten{false};
    qx::sys::JoiningThread m_task;
    std::vector<qx::sys::JoiningThread> m_oldTasks; // finished, not yet joined
};

} // namespace qx::gige::device
