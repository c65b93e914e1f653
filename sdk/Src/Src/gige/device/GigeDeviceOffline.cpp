// GigeDevice offline detection: the library's log, event and memory-write callbacks, and the
// liveness task that decides, after a lost control channel, whether the camera is gone and
// then takes it offline (the application's offline callback runs on that task).
#include "gige/device/GigeDevice.h"

#include "gige/device/GigeCameraTable.h"
#include "gige/GvcpProtocol.h"
#include "Sys/Log.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace qx::gige::device {

namespace {

constexpr int kLivenessRounds = 50;
constexpr int kLivenessWaitMs = 20;

const char* eventText(uint16_t id, char* buf, size_t size) {
    namespace gvcp = qx::gige::gvcp;
    switch (id) {
    case gvcp::kEventTrigger: return "trigger event";
    case gvcp::kEventStartOfExposure: return "start of exposure";
    case gvcp::kEventEndOfExposure: return "end of exposure";
    case gvcp::kEventStartOfTransfer: return "stream channel start of transfer";
    case gvcp::kEventEndOfTransfer: return "stream channel end of transfer";
    case gvcp::kEventPrimarySwitchover: return "primary application switchover has been granted.";
    case gvcp::kEventLinkSpeedChange: return "indicates that the link speed has changed.";
    case gvcp::kEventActionLate: return "execution of a Scheduled Action Command was late";
    default: break;
    }
    if (id < gvcp::kEventTrigger) return "unknown event";
    if (id <= gvcp::kEventReservedLast) return "reserved event";
    if (id <= gvcp::kEventErrorLast) return "error event";
    std::snprintf(buf, size, "device-specific event: 0x%04X", id);
    return buf;
}

// Lines of the heartbeat thread that tell how a connection was lost and taken up again.
bool isReconnectionStep(const char* text) {
    static const char* const kSteps[] = {
        "CCP lost",           "CCP reconnection",    "CCP access lost",        "CCP connection failure",
        "set mode in ccp",    "ReconnectSocket",     "ReconnectStreamChannel", "ReconnectMessageChannel",
        "Set stream channel", "Control channel port"};
    for (const char* step : kSteps)
        if (std::strstr(text, step)) return true;
    return false;
}

} // namespace

void GigeDevice::loc_ctrl_channel_cb(uint8_t camNr, const char* text, uint8_t level) {
    if (!text) return;
    CameraTable& table = cameraTable();
    qx::sys::MutexLock lk(table.mutex);
    if (level == GEV_LOG_WARNING && std::strstr(text, "Captured img packet")) {
        table.g_capturePacketTimePointMap[camNr] = nowNs();
        return;
    }
    auto it = table.g_cameraIdDeviceMap.find(camNr);
    if (it == table.g_cameraIdDeviceMap.end() || !it->second) {
        QX_LOG_DEBUG("cam_nr={}, func:{}, {}", camNr, QX_FUNC, text);
        return;
    }
    // The camera stays in the map (and alive) while the camera-number mutex is held.
    GigeDevice* dev = it->second;
    if (level == GEV_LOG_WARNING && std::strstr(text, "CCP lost")) {
        dev->processCCPLostEvent();
    } else if (level == GEV_LOG_WARNING && std::strstr(text, "CCP access lost")) {
        dev->processCCPAccessLostEvent();
    } else if (level == GEV_LOG_ERROR && std::strstr(text, "CCP connection failure")) {
        // The offline callback runs on a task of the camera, never on the library's thread.
        if (!dev->isOffline()) dev->startLivenessTaskLocked(false);
    }
    const DeviceInfo* info = dev->getDeviceInfo();
    const char* model = info ? info->strModelName : "";
    const char* serial = info ? info->strSerialNumber : "";
    // The heartbeat's steps of a lost and regained connection are worth a line at info level.
    if (isReconnectionStep(text)) QX_LOG_INFO("dev:{}({}), func:{}, {}", model, serial, QX_FUNC, text);
    else QX_LOG_DEBUG("dev:{}({}), func:{}, {}", model, serial, QX_FUNC, text);
}

bool GigeDevice::loc_msg_channel_cb(uint8_t camNr, GevEvent* event) {
    if (!event) return false;
    char buf[64];
    const char* what = eventText(event->EventId, buf, sizeof buf);
    CameraTable& table = cameraTable();
    qx::sys::MutexLock lk(table.mutex);
    auto it = table.g_cameraIdDeviceMap.find(camNr);
    if (it == table.g_cameraIdDeviceMap.end() || !it->second) {
        QX_LOG_INFO("cam_nr={}, func:{}, [INFO] -{}", camNr, QX_FUNC, what);
        return true;
    }
    const DeviceInfo* info = it->second->getDeviceInfo();
    const char* model = info ? info->strModelName : "";
    const char* serial = info ? info->strSerialNumber : "";
    if (event->Data && event->DataLength > 0) {
        QX_LOG_TRACE("dev:{}({}), func:{}, Event len:{}", model, serial, QX_FUNC, event->DataLength);
        std::printf("Event: len: %d\n", static_cast<int>(event->DataLength));
        for (uint32_t i = 0; i < event->DataLength; ++i)
            QX_LOG_TRACE("dev:{}({}), func:{}, Event data:{:02X}", model, serial, QX_FUNC, event->Data[i]);
    }
    QX_LOG_INFO("dev:{}({}), func:{}, [INFO] -{}", model, serial, QX_FUNC, what);
    return true;
}

void GigeDevice::memoryWriteCallback(uint8_t camNr, uint32_t) {
    CameraTable& table = cameraTable();
    qx::sys::MutexLock lk(table.mutex);
    ++table.g_gvcpSuccessCmdIndexMap[camNr];
}

// Called with the camera-number mutex held.
void GigeDevice::processCCPLostEvent() {
    if (isOffline()) {
        QX_LOG_DEBUG("func:{}, m_isDevOffline={}", true);
        return;
    }
    startLivenessTaskLocked(isGrabbing());
}

// Called with the camera-number mutex held. The heartbeat found the camera answering but
// without this connection's privilege. While grabbing, that is a camera that restarted (or
// gave its control to another application): its stream channel and acquisition are gone and
// its settings are its defaults again, so the heartbeat taking the privilege back would leave
// an acquisition that never delivers. The camera is reported offline instead; the
// application connects it again and sets it up as before. Between acquisitions the
// heartbeat's own reprogramming of the channels is enough.
void GigeDevice::processCCPAccessLostEvent() {
    if (isOffline() || !isGrabbing()) return;
    QX_LOG_WARN("func:{}, the camera dropped this connection while grabbing; reported offline");
    m_connectionForgotten = true;
    // A liveness task already running (after the lost heartbeat) reads the flag as it ends.
    startLivenessTaskLocked(false);
}

void GigeDevice::startLivenessTaskLocked(bool check) {
    qx::sys::MutexLock lk(m_taskMutex);
    if (m_taskStop) return; // the camera is being closed
    if (m_task.joinable()) {
        if (!m_taskDone.load()) return; // one task at a time
        // A finished task may still be in the application's offline callback; it is joined
        // later, outside the locks held here.
        m_oldTasks.push_back(std::move(m_task));
    }
    const uint8_t cam = m_cameraId.load();
    CameraTable& table = cameraTable(); // its mutex is held by the caller
    const int32_t gvcpIndex = table.g_gvcpSuccessCmdIndexMap[cam];
    const int64_t capturePoint = table.g_capturePacketTimePointMap[cam];
    m_taskDone.store(false);
    m_task = qx::sys::JoiningThread(
        [this, check, gvcpIndex, capturePoint] { livenessTask(check, gvcpIndex, capturePoint); });
}

GigeDevice::Liveness GigeDevice::watchCamera(int32_t gvcpIndex, int64_t capturePoint) {
    const uint8_t cam = m_cameraId.load();
    for (int i = 0; i < kLivenessRounds; ++i) {
        {
            qx::sys::UniqueLock lk(m_taskMutex);
            if (m_taskCv.wait_for(lk, std::chrono::milliseconds(kLivenessWaitMs),
                                  [this]() QX_REQUIRES(m_taskMutex) { return m_taskStop; }))
                return Liveness::Closing;
        }
        if (!isGrabbing()) return Liveness::Answers;
        CameraTable& table = cameraTable();
        qx::sys::MutexLock lk(table.mutex);
        if (capturePoint != table.g_capturePacketTimePointMap[cam]) {
            QX_LOG_INFO("func:processCCPLostEvent, tmpTimePoint != g_capturePacketTimePointMap[m_cameraId]");
            return Liveness::Answers;
        }
        if (gvcpIndex != table.g_gvcpSuccessCmdIndexMap[cam]) {
            QX_LOG_INFO("func:processCCPLostEvent, tmpGvcpCmdIndex != g_gvcpSuccessCmdIndexMap[m_cameraId]");
            return Liveness::Answers;
        }
    }
    int32_t timeout = 0;
    return GEVGetHeartbeatTimeout(cam, &timeout) == GEV_STATUS_SUCCESS ? Liveness::Answers : Liveness::Silent;
}

void GigeDevice::livenessTask(bool check, int32_t gvcpIndex, int64_t capturePoint) {
    const Liveness seen = check ? watchCamera(gvcpIndex, capturePoint) : Liveness::Silent;
    bool offline = false;
    {
        // Read together with the finished mark under the task's mutex: a camera found to have
        // forgotten the connection while this task ran either is seen here or starts a task
        // of its own (startLivenessTaskLocked sees this one finished).
        qx::sys::MutexLock lk(m_taskMutex);
        offline = seen == Liveness::Silent || (seen == Liveness::Answers && m_connectionForgotten.load());
        // The task counts as finished before the application's callback runs: the callback may
        // disconnect or delete this camera.
        m_taskDone.store(true);
    }
    if (offline) processOffline();
}

void GigeDevice::stopLivenessTask() {
    std::vector<qx::sys::JoiningThread> tasks;
    {
        qx::sys::MutexLock lk(m_taskMutex);
        m_taskStop = true;
        tasks = std::move(m_oldTasks);
        m_oldTasks.clear();
        tasks.push_back(std::move(m_task));
    }
    m_taskCv.notify_all();
    // The offline callback may disconnect or delete the camera from the task itself: that task
    // is let go and ends by itself once the callback returns.
    for (qx::sys::JoiningThread& task : tasks) task.joinOrDetach();
    qx::sys::MutexLock lk(m_taskMutex);
    m_taskStop = false;
}

} // namespace qx::gige::device
