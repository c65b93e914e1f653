#include "GenApi/Exceptions.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace QxGenApi {

GenericException::GenericException(std::string description, const char* sourceFile, unsigned sourceLine)
    : m_description(std::move(description)), m_file(sourceFile), m_line(sourceLine) {
    m_what = m_description;
}

std::string FormatMessage(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out;
    if (n > 0) {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), fmt, ap2);
        out.assign(buf.data(), static_cast<size_t>(n));
    }
    va_end(ap2);
    return out;
}

} // namespace QxGenApi
