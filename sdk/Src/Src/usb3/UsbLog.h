// Logging of the USB3 transport. Every line goes to spdlog's default logger, taken as a
// shared pointer for each line, so a line written while the logger is being replaced reaches
// either the old or the new logger, never a freed one; no logger means no line.
#pragma once
#include <spdlog/spdlog.h>

#include <memory>
#include <utility>

namespace qx::usb3 {

template <typename... Args>
inline void usbLog(spdlog::level::level_enum level, spdlog::format_string_t<Args...> fmt, Args&&... args) {
    std::shared_ptr<spdlog::logger> logger = spdlog::default_logger();
    if (logger && logger->should_log(level)) logger->log(level, fmt, std::forward<Args>(args)...);
}

} // namespace qx::usb3

#define QX_USB_LOG_DEBUG(...) ::qx::usb3::usbLog(spdlog::level::debug, __VA_ARGS__)
#define QX_USB_LOG_INFO(...) ::qx::usb3::usbLog(spdlog::level::info, __VA_ARGS__)
#define QX_USB_LOG_WARN(...) ::qx::usb3::usbLog(spdlog::level::warn, __VA_ARGS__)
#define QX_USB_LOG_ERROR(...) ::qx::usb3::usbLog(spdlog::level::err, __VA_ARGS__)
