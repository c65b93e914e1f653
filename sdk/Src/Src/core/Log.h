// Logging helpers of the library. Every line goes to spdlog's default logger; the logger is
// taken as a shared pointer for each line, so a line written while the logger is being
// replaced at shutdown reaches either the old or the new logger, never a freed one.
#pragma once
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
