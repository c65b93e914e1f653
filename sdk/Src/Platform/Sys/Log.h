// The log front-end of the whole library: the core, the camera classes, feature access, the
// USB3 transport, the platform USB layer and the GigE library all format their lines here, with
// fmt's syntax, and the compiler checks every format against its arguments (a format with more
// or fewer fields than arguments does not build). QX_LOG_* lines go to spdlog's default
// logger; the logger is taken as a shared pointer for each line, so a line written while the
// logger is being replaced at shutdown reaches either the old or the new logger, never a freed
// one; no logger means no line. The GigE library's lines go to its per-camera callback through
// the same formatter (gige/GevCamera.h). Texts stay literal at the call site, so a grep for a
// line finds the code that writes it.
//
// A format that starts with "func:{}" names the function the line is written from: the
// front-end fills that first field with the name of the enclosing function (of the function a
// lambda is written in, for a line inside a lambda), so no call site types its own name.
// QX_LOG_NAMED writes a name given by the caller instead (a helper that logs on behalf of the
// function that called it).
//
// The lines of the code linked into one program or shared library can be turned off as a
// whole (setLogEnabled): the viewer links the feature library but writes no log. Each shared
// library keeps its own switch (symbols are hidden), so the SDK's lines in the same process
// are not affected.
#pragma once
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstddef>
#include <exception>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace qx::sys {

inline std::atomic<bool>& logSwitch() {
    static std::atomic<bool> on{true};
    return on;
}

inline void setLogEnabled(bool on) { logSwitch().store(on, std::memory_order_relaxed); }

// The logger a line of `level` goes to, or null when the switch, the missing logger or its level
// keeps the line out.
inline std::shared_ptr<spdlog::logger> loggerFor(spdlog::level::level_enum level) {
    if (!logSwitch().load(std::memory_order_relaxed)) return nullptr;
    std::shared_ptr<spdlog::logger> logger = spdlog::default_logger();
    return logger && logger->should_log(level) ? logger : nullptr;
}

inline bool shouldLog(spdlog::level::level_enum level) { return loggerFor(level) != nullptr; }

namespace log {

constexpr bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The plain name of a function from its __PRETTY_FUNCTION__ text: the identifier before the
// first parameter list outside template brackets ("getIntValue" from "QX_STATUS
// qx::FeatureBase::getIntValue(const char*, int64_t*)"); a bracket that follows no name, as
// clang's "(anonymous namespace)", is passed over. A lambda's text starts with the function it
// is written in, so a line inside a lambda names that function.
constexpr std::string_view functionName(std::string_view pretty) {
    size_t open = 0;
    int depth = 0;
    for (; open < pretty.size(); ++open) {
        const char c = pretty[open];
        if (c == '<') {
            ++depth;
        } else if (c == '>') {
            --depth;
        } else if (c == '(' && depth <= 0) {
            if (open > 0 && (isNameChar(pretty[open - 1]) || pretty[open - 1] == '>')) break;
            for (int nest = 1; nest > 0 && ++open < pretty.size();) {
                if (pretty[open] == '(') ++nest;
                else if (pretty[open] == ')') --nest;
            }
        }
    }
    size_t end = open;
    if (end > 0 && pretty[end - 1] == '>') { // a template's arguments: "name<int>(...)"
        int nest = 0;
        while (end > 0) {
            const char c = pretty[--end];
            if (c == '>') ++nest;
            else if (c == '<' && --nest == 0) break;
        }
    }
    size_t begin = end;
    while (begin > 0 && isNameChar(pretty[begin - 1])) --begin;
    return pretty.substr(begin, end - begin);
}

template <size_t N>
struct FixedName {
    char text[N + 1] = {};
    constexpr explicit FixedName(std::string_view name) {
        for (size_t i = 0; i < N; ++i) text[i] = name[i];
    }
};

constexpr bool startsWithFunc(std::string_view format) { return format.substr(0, 7) == "func:{}"; }

// The number of replacement fields of a format ("{{" and "}}" are literal braces; a field's own
// nested fields, as in "{:{}}", count as fields); -1 when a field names its argument ("{0}"),
// which fmt's own check covers.
constexpr int fieldCount(std::string_view format) {
    int count = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '{') continue;
        if (i + 1 < format.size() && format[i + 1] == '{') {
            ++i;
            continue;
        }
        ++count;
        if (i + 1 < format.size() && format[i + 1] != '}' && format[i + 1] != ':') return -1;
        for (int depth = 1; depth > 0 && ++i < format.size();) {
            if (format[i] == '{') {
                ++depth;
                ++count;
            } else if (format[i] == '}') {
                --depth;
            }
        }
    }
    return count;
}

// The one formatter. `format` is a compile-time format (FMT_STRING): fmt checks each field's
// type against its argument and this checks that every argument has its field (fmt leaves
// extra arguments unused). A format that starts with "func:{}" gets `func` as its first
// argument.
template <typename S, typename... Args>
void formatLine(fmt::memory_buffer& out, const char* func, const S& format, Args&&... args) {
    constexpr fmt::string_view kText = static_cast<fmt::string_view>(S());
    constexpr bool kNamed = startsWithFunc(std::string_view(kText.data(), kText.size()));
    constexpr int kFields = fieldCount(std::string_view(kText.data(), kText.size()));
    static_assert(kFields < 0 || kFields == static_cast<int>(sizeof...(Args)) + (kNamed ? 1 : 0),
                  "the log format's fields and its arguments do not match");
    if constexpr (kNamed) fmt::format_to(std::back_inserter(out), format, func, std::forward<Args>(args)...);
    else fmt::format_to(std::back_inserter(out), format, std::forward<Args>(args)...);
}

// A spdlog line through the formatter, when the switch and the logger's level let it through.
template <typename S, typename... Args>
void write(spdlog::level::level_enum level, const char* func, const S& format, Args&&... args) {
    const std::shared_ptr<spdlog::logger> logger = loggerFor(level);
    if (!logger) return;
    fmt::memory_buffer line;
    formatLine(line, func, format, std::forward<Args>(args)...);
    logger->log(level, spdlog::string_view_t(line.data(), line.size()));
}

} // namespace log

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

} // namespace qx::sys

// The name of the enclosing function (see log::functionName), as a constant string.
#define QX_FUNC                                                                                        \
    ([]() -> const char* {                                                                             \
        static constexpr std::string_view kQxName = ::qx::sys::log::functionName(__PRETTY_FUNCTION__); \
        static_assert(!kQxName.empty(), "no function name");                                           \
        static constexpr ::qx::sys::log::FixedName<kQxName.size()> kQxFixed{kQxName};                  \
        return kQxFixed.text;                                                                          \
    }())

// QX_LOG_AT takes its level at run time; QX_LOG_NAMED writes `func` into a leading "func:{}".
#define QX_LOG_AT(level, format, ...) ::qx::sys::log::write(level, QX_FUNC, FMT_STRING(format), ##__VA_ARGS__)
#define QX_LOG_NAMED(level, func, format, ...) ::qx::sys::log::write(level, func, FMT_STRING(format), ##__VA_ARGS__)
#define QX_LOG_TRACE(format, ...) QX_LOG_AT(spdlog::level::trace, format, ##__VA_ARGS__)
#define QX_LOG_DEBUG(format, ...) QX_LOG_AT(spdlog::level::debug, format, ##__VA_ARGS__)
#define QX_LOG_INFO(format, ...) QX_LOG_AT(spdlog::level::info, format, ##__VA_ARGS__)
#define QX_LOG_WARN(format, ...) QX_LOG_AT(spdlog::level::warn, format, ##__VA_ARGS__)
#define QX_LOG_ERROR(format, ...) QX_LOG_AT(spdlog::level::err, format, ##__VA_ARGS__)
#define QX_LOG_CRITICAL(format, ...) QX_LOG_AT(spdlog::level::critical, format, ##__VA_ARGS__)
