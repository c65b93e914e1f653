#include "gige/device/GigeCameraTable.h"

#include <chrono>

namespace qx::gige::device {

// Never destroyed: a camera that is still open when the process exits is closed by the
// destructor of a static of another file, whose turn may come after this file's statics.
CameraTable& cameraTable() {
    static CameraTable* table = new CameraTable;
    return *table;
}

qx::sys::Mutex& gevInitMutex() {
    static qx::sys::Mutex* mutex = new qx::sys::Mutex;
    return *mutex;
}

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string statusName(uint8_t cam, GevStatus status) {
    char text[GEV_STATUS_NAME_SIZE] = {};
    gevStatusName(cam, status, text);
    return text;
}

} // namespace qx::gige::device
