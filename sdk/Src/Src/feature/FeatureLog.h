// Logging of the feature-access code that both deliverables use (the node tree, the node
// events). Inside the SDK the lines go through the core's QX_LOG_* macros; the viewer links the
// same code and turns these lines off with setFeatureLog(false), since it writes no log.
// Texts stay literal at the call site, so a grep for a line finds its code.
#pragma once
#include "core/Log.h"

#include <atomic>

namespace qx {

inline std::atomic<bool>& featureLogSwitch() {
    static std::atomic<bool> on{true};
    return on;
}

inline void setFeatureLog(bool on) { featureLogSwitch().store(on, std::memory_order_relaxed); }

inline bool featureLogOn() { return featureLogSwitch().load(std::memory_order_relaxed); }

} // namespace qx

#define QX_FEATURE_LOG_WARN(...) (::qx::featureLogOn() ? QX_LOG_WARN(__VA_ARGS__) : void())
#define QX_FEATURE_LOG_DEBUG(...) (::qx::featureLogOn() ? QX_LOG_DEBUG(__VA_ARGS__) : void())
