// The log macros of the whole library: the core, the camera classes, feature access, the
// USB3 transport and the platform USB layer all write through QX_LOG_*. Every line goes to
// spdlog's default logger; the logger is taken as a shared pointer for each line, so a line
// written while the logger is being replaced at shutdown reaches either the old or the new
// logger, never a freed one; no logger means no line. Texts stay literal at the call site, so
// a grep for a line finds the code that writes it.
//
// The lines of the code linked into one program or shared library can be turned off as a
// whole (setLogEnabled): the viewer links the feature library but writes no log. Each shared
// library keeps its own switch (symbols are hidden), so the SDK's lines in the same process
// are not affected.
#pragma once
#include <spdlog/spdlog.h>

#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace qx {

inline std::atomic<bool>& logSwitch() {
    static std::atomic<bool> on{true};
    return on;
}

inline void setLogEnabled(bool on) { logSwitch().store(on, std::memory_order_relaxed); }

inline bool shouldLog(spdlog::level::level_enum level) {
    if (!logSwitch().load(std::memory_order_relaxed)) return false;
    std::shared_ptr<spdlog::logger> logger = spdlog::default_logger();
    return logger && logger->should_log(level);
}

template <typename... Args>
inline void logAt(spdlog::level::level_enum level, spdlog::format_string_t<Args...> fmt, Args&&... args) {
    if (!logSwitch().load(std::memory_order_relaxed)) return;
    std::shared_ptr<spdlog::logger> logger = spdlog::default_logger();
    if (logger && logger->should_log(level)) logger->log(level, fmt, std::forward<Args>(args)...);
}

// Inside a catch block: what the exception being handled says (its what() text, or "unknown
// exception"), for the log line that keeps the reason of a failure.
inline std::string currentExceptionText() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

} // namespace qx

#define QX_LOG_TRACE(...) ::qx::logAt(spdlog::level::trace, __VA_ARGS__)
#define QX_LOG_DEBUG(...) ::qx::logAt(spdlog::level::debug, __VA_ARGS__)
#define QX_LOG_INFO(...) ::qx::logAt(spdlog::level::info, __VA_ARGS__)
#define QX_LOG_WARN(...) ::qx::logAt(spdlog::level::warn, __VA_ARGS__)
#define QX_LOG_ERROR(...) ::qx::logAt(spdlog::level::err, __VA_ARGS__)
#define QX_LOG_CRITICAL(...) ::qx::logAt(spdlog::level::critical, __VA_ARGS__)
