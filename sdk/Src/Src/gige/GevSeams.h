// Hook points through which opening and closing a camera reach the parts of the library that
// run threads or talk to the packet filter driver: the stream channel (stream table entry,
// grab thread, image ring and queue), the heartbeat thread, the process-wide message thread
// and the filter driver. A hook left empty means that part is not in this build: GEVInit and
// GEVClose then skip it (no heartbeat is started, the message channel is reported unavailable,
// the filter driver cannot be opened). Each part fills its hooks in gevDefaultSeams()
// (GevSeams.cpp); tests may replace the whole set with gevSetSeams.
#pragma once
#include <cstdint>

#include "gige/GevStatus.h"

namespace qx::gige {

struct GevSeams {
    // Stream channel. streamInit: bind the stream table entry, ring and queue bookkeeping to the
    // camera and create its stream locks once (GEVInit). streamOpenQueue: create the camera's
    // stream queue lock (end of GEVInit). streamStop: stop a running acquisition and delete the
    // queue lock (GEVClose, before the stream socket is closed); its status ends GEVClose early.
    // streamClose: delete the stream locks and release the ring bookkeeping (GEVClose, roll back).
    void (*streamInit)(uint8_t cam) = nullptr;
    void (*streamOpenQueue)(uint8_t cam) = nullptr;
    GevStatus (*streamStop)(uint8_t cam) = nullptr;
    void (*streamClose)(uint8_t cam) = nullptr;

    // Heartbeat thread of a camera opened with exclusive or control access. start returns 0, or
    // GEV_STATUS_CANNOT_START_THREAD; stop waits at most waitMs for the thread.
    GevStatus (*heartbeatStart)(uint8_t cam) = nullptr;
    void (*heartbeatStop)(uint8_t cam, uint32_t waitMs) = nullptr;

    // The process-wide message thread serving the message socket (gevMessageChannel()).
    bool (*messageThreadStart)() = nullptr;
    void (*messageThreadStop)(uint32_t waitMs) = nullptr;

    // Packet filter driver: open gives the driver handle (or -1) and the camera's slot;
    // release frees the camera's slot and answers whether that worked.
    int64_t (*filterDriverOpen)(uint8_t cam, uint8_t* slot) = nullptr;
    bool (*filterDriverRelease)(uint8_t cam) = nullptr;
};

// The hooks this build was made with.
GevSeams gevDefaultSeams();
// The hooks in force, and their replacement (tests); gevSetSeams(gevDefaultSeams()) restores.
const GevSeams& gevSeams();
void gevSetSeams(const GevSeams& seams);

} // namespace qx::gige
