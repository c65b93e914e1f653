// The log macros of the whole library: the core, the camera classes, feature access, the
// USB3 transport and the platform USB layer all write through QX_LOG_*. Every line goes to
// spdlog's default logger; the logger is taken as a shared pointer for each line, so a line
// written while the logger is being replaced at shutdown reaches either the old or the new
// logger, never a freed one; no logger means no line. Texts stay literal at the call site, so
// a grep for a line finds the code that writes it.
//
// Code compiled with QX_NO_LOG defined (the viewer builds the node tree and node events that
// way) writes no log and needs no spdlog: the macros expand to nothing and their arguments
// are not evaluated.
#pragma once
#include <exception>
#include <string>

namespace qx {

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

#if defined(QX_NO_LOG)

#define QX_LOG_TRACE(...) ((void)0)
#define QX_LOG_DEBUG(...) ((void)0)
#define QX_LOG_INFO(...) ((void)0)
#define QX_LOG_WARN(...) ((void)0)
#define QX_LOG_ERROR(...) ((void)0)
#define QX_LOG_CRITICAL(...) ((void)0)

#else

#include <spdlog/spdlog.h>

#include <memory>
#include <utility>

namespace qx {

template <typename... Args>
inline void logAt(spdlog::level::level_enum level, spdlog::format_string_t<Args...> fmt, Args&&... args) {
    std::shared_ptr<spdlog::logger> logger = spdlog::default_logger();
    if (logger && logger->should_log(level)) logger->log(level, fmt, std::forward<Args>(args)...);
}

inline bool shouldLog(spdlog::level::level_enum level) {
    std::shared_ptr<spdlog::logger> logger = spdlog::default_logger();
    return logger && logger->should_log(level);
}

} // namespace qx

#define QX_LOG_TRACE(...) ::qx::logAt(spdlog::level::trace, __VA_ARGS__)
#define QX_LOG_DEBUG(...) ::qx::logAt(spdlog::level::debug, __VA_ARGS__)
#define QX_LOG_INFO(...) ::qx::logAt(spdlog::level::info, __VA_ARGS__)
#define QX_LOG_WARN(...) ::qx::logAt(spdlog::level::warn, __VA_ARGS__)
#define QX_LOG_ERROR(...) ::qx::logAt(spdlog::level::err, __VA_ARGS__)
#define QX_LOG_CRITICAL(...) ::qx::logAt(spdlog::level::critical, __VA_ARGS__)

#endif
