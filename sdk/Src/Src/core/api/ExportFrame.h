// The frame every exported function runs: start line, timing, the checks that need no
// handle, the handle lookup under its HandleLock, the work, the release of the HandleLock
// and the end line with the elapsed time and the result. A status thrown anywhere inside
// becomes the result; any other exception is logged and answered with QX_ERR_GENERAL, so
// nothing crosses the C boundary.
#pragma once
#include "core/api/DeviceManager.h"
#include "core/api/Status.h"
#include "Sys/Clock.h"
#include "Sys/Log.h"

#include <cstring>
#include <exception>
#include <string>
#include <utility>

namespace qx::core::api {

// When the HandleLock of a call is released: before the end line is written (most
// exports), or only after it.
enum class Release { BeforeEndLine, AfterEndLine };

// The names of the handle's device, copied while the HandleLock is held so the end line
// never reads a record that is being deleted.
struct DevNames {
    char model[QX_INFO_TEXT_LEN + 1] = {};
    char serial[QX_INFO_TEXT_LEN + 1] = {};
    void copyFrom(const DeviceInfo& info) {
        std::memcpy(model, info.strModelName, QX_INFO_TEXT_LEN);
        std::memcpy(serial, info.strSerialNumber, QX_INFO_TEXT_LEN);
    }
};

inline const char* textOrNull(const char* text) { return text ? text : "(nullptr)"; }

// Runs `body` and turns whatever it throws into a status.
template <typename Body>
QX_STATUS catchStatus(const char* func, Body&& body) {
    try {
        return body();
    } catch (QX_STATUS status) {
        return status;
    } catch (const std::exception& e) {
        QX_LOG_NAMED(spdlog::level::err, func, "func:{}, exception: {}", e.what());
        return QX_ERR_GENERAL;
    } catch (...) {
        QX_LOG_NAMED(spdlog::level::err, func, "func:{}, unknown exception");
        return QX_ERR_GENERAL;
    }
}

inline spdlog::level::level_enum endLevelOf(QX_STATUS ret, spdlog::level::level_enum level) {
    return ret != QX_OK ? spdlog::level::err : level;
}

inline void logEndLine(const char* func, spdlog::level::level_enum level, QX_STATUS ret, bool found,
                       const DevNames& names, QX_DEV_HANDLE handle, const std::string& text, int64_t ms) {
    const auto endLevel = endLevelOf(ret, level);
    if (found) {
        if (text.empty())
            QX_LOG_AT(endLevel, "dev:{}({}), func:{} end, spent:{}ms, ret:0x{:x}", names.model, names.serial, func, ms,
                      ret);
        else
            QX_LOG_AT(endLevel, "dev:{}({}), func:{} end, {}, spent:{}ms, ret:0x{:x}", names.model, names.serial, func,
                      text, ms, ret);
    } else {
        if (text.empty())
            QX_LOG_AT(endLevel, "handle:{:p}, func:{} end, spent:{}ms, ret:0x{:x}", handle, func, ms, ret);
        else QX_LOG_AT(endLevel, "handle:{:p}, func:{} end, {}, spent:{}ms, ret:0x{:x}", handle, func, text, ms, ret);
    }
}

struct NoText {
    std::string operator()() const { return std::string(); }
};

// The frame of an export that takes a handle. `pre` makes the checks that need no handle
// (throwing a status), `work(proxy)` the state checks and the service, `text()` builds the
// argument text of the end line, only when the line is written.
template <typename Pre, typename Work, typename Text = NoText>
QX_STATUS runHandleExport(const char* func, spdlog::level::level_enum level, QX_DEV_HANDLE handle, Release release,
                          Pre&& pre, Work&& work, Text&& text = Text()) {
    QX_LOG_NAMED(level, func, "func:{} start");
    const auto start = sys::SteadyClock::now();
    HandleLockHolder holder;
    bool found = false;
    DevNames names;
    const QX_STATUS ret = catchStatus(func, [&]() -> QX_STATUS {
        pre();
        DeviceProxy* proxy = getDeviceManager()->lookupHandle(handle, holder);
        if (!proxy) return QX_ERR_INVALID_HANDLE;
        found = true;
        names.copyFrom(holder.entry()->info);
        return work(*proxy);
    });
    if (release == Release::BeforeEndLine) holder.unlock();
    if (sys::shouldLog(endLevelOf(ret, level)))
        logEndLine(func, level, ret, found, names, handle, text(), sys::elapsedMs(start));
    return ret;
}

inline void noChecks() {}

} // namespace qx::core::api
