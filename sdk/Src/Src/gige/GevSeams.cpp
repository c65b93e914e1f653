#include "gige/GevSeams.h"

#include <mutex>

#include "gige/GevFilterDriver.h"
#include "gige/GevHeartbeat.h"
#include "gige/GevMessageThread.h"
#include "gige/GevStreamChannel.h"

namespace qx::gige {

namespace {
qx::sys::Mutex g_seamsMutex;
GevSeams g_seams QX_GUARDED_BY(g_seamsMutex) = gevDefaultSeams();
} // namespace

GevSeams gevDefaultSeams() {
    GevSeams s;
    s.streamInit = gevStreamInit;
    s.streamOpenQueue = gevStreamOpenQueue;
    s.streamStop = gevStreamStop;
    s.streamClose = gevStreamClose;
    // The stream channel, heartbeat, message thread and filter driver fill their hooks here
    // when they are added to the library.
    s.heartbeatStart = gevHeartbeatStart;
    s.heartbeatStop = gevHeartbeatStop;
    s.messageThreadStart = gevMessageThreadStart;
    s.messageThreadStop = gevMessageThreadStop;
    s.filterDriverOpen = gevFilterDriverOpen;
    s.filterDriverRelease = gevFilterDriverRelease;
    return s;
}

const GevSeams& gevSeams() { return g_seams; }

void gevSetSeams(const GevSeams& seams) {
    qx::sys::MutexLock lock(g_seamsMutex);
    g_seams = seams;
}

} // namespace qx::gige
