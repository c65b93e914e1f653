#include "GevSeams.h"

#include <mutex>

namespace qx::gige {

namespace {
std::mutex g_seamsMutex;
GevSeams g_seams = gevDefaultSeams();
} // namespace

GevSeams gevDefaultSeams() {
    GevSeams s;
    // The stream channel, heartbeat, message thread and filter driver fill their hooks here
    // when they are added to the library.
    return s;
}

const GevSeams& gevSeams() { return g_seams; }

void gevSetSeams(const GevSeams& seams) {
    std::lock_guard<std::mutex> lock(g_seamsMutex);
    g_seams = seams;
}

} // namespace qx::gige
