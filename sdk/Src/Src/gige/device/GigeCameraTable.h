// GigeCameraTable: what the GigE cameras of the process share, for the files of GigeDevice.
// The library names a camera by a number 1..GEV_MAX_CAMERAS; the table hands the numbers out
// and takes them back, maps each number in use to its GigeDevice (the library's callbacks find
// their camera here) and keeps, per number, the count of GVCP memory writes that succeeded and
// the time of the last captured image packet, which the offline detection compares. Every
// field is read and written under `mutex`. The tables are process-wide and keep the g_ names
// they go by in the log lines ("g_availableCamIndexList is empty").
#pragma once
#include "gige/GevLib.h"
#include "Sys/Mutex.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace qx::gige::device {

class GigeDevice;

struct CameraTable {
    qx::sys::Mutex mutex;
    std::deque<uint8_t>
        g_availableCamIndexList QX_GUARDED_BY(mutex); // filled with 1..GEV_MAX_CAMERAS by the first camera
    bool idsFilled QX_GUARDED_BY(mutex) = false;
    std::map<uint8_t, GigeDevice*> g_cameraIdDeviceMap QX_GUARDED_BY(mutex);
    // Also read by the members called with the mutex held (startLivenessTaskLocked,
    // processCCPLostEvent), whose declarations cannot name it; so these two are not marked.
    std::map<uint8_t, int32_t> g_gvcpSuccessCmdIndexMap;
    std::map<uint8_t, int64_t> g_capturePacketTimePointMap;
};

CameraTable& cameraTable();

// Serialises the GEVInit of every camera of the process.
qx::sys::Mutex& gevInitMutex();

// Nanoseconds of a monotonic clock.
int64_t nowNs();

// The library's name of a status, for log lines.
std::string statusName(uint8_t cam, GevStatus status);

} // namespace qx::gige::device
