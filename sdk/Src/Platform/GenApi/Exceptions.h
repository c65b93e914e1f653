// Typed exceptions of the QxGenApi engine. Every failure of a node access, of a port access or
// of loading a description file is thrown as one of these; all derive from GenericException,
// which derives from std::exception. FeatureBase catches GenericException for its generic
// "node access failed" status and PortException first to answer the transport's own status.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

namespace QxGenApi {

// Base of all engine exceptions: a description plus where it was raised.
class GenericException : public std::exception {
public:
    GenericException(std::string description, const char* sourceFile = nullptr, unsigned sourceLine = 0);
    const char* what() const noexcept override { return m_what.c_str(); }
    const std::string& GetDescription() const { return m_description; }
    const char* GetSourceFileName() const { return m_file; }
    unsigned GetSourceLine() const { return m_line; }
    // Name of the exception type, e.g. "OutOfRangeException".
    virtual const char* GetType() const { return "GenericException"; }

private:
    std::string m_description;
    std::string m_what;
    const char* m_file;
    unsigned m_line;
};

#define QX_GENAPI_DECLARE_EXCEPTION(Name, Base)                                               \
    class Name : public Base {                                                                \
    public:                                                                                   \
        explicit Name(std::string description, const char* file = nullptr, unsigned line = 0) \
            : Base(std::move(description), file, line) {}                                     \
        const char* GetType() const override { return #Name; }                                \
    }

// A value outside [min, max] or off the increment; an entry that is not in the enumeration.
QX_GENAPI_DECLARE_EXCEPTION(OutOfRangeException, GenericException);
// A node read that is not readable, written that is not writable, or a port not connected.
QX_GENAPI_DECLARE_EXCEPTION(AccessException, GenericException);
// Misuse: "NULL pointer dereferenced", a wrong node type, division by zero in a formula.
QX_GENAPI_DECLARE_EXCEPTION(LogicalErrorException, GenericException);
// A description file that cannot be loaded, "Node map already created".
QX_GENAPI_DECLARE_EXCEPTION(RuntimeException, GenericException);
// An argument that cannot be used (null buffer, wrong length, unparsable text).
QX_GENAPI_DECLARE_EXCEPTION(InvalidArgumentException, GenericException);
// A property of a node that cannot be used at run time.
QX_GENAPI_DECLARE_EXCEPTION(PropertyException, GenericException);
// A wait that ran out.
QX_GENAPI_DECLARE_EXCEPTION(TimeoutException, GenericException);
// A node that is not of the interface a typed pointer asked for.
QX_GENAPI_DECLARE_EXCEPTION(DynamicCastException, GenericException);

#undef QX_GENAPI_DECLARE_EXCEPTION

// A register access that the port could not make. The port (the SDK's MyIPort) throws it
// from IPort::Read or IPort::Write with the transport's 32-bit status; the engine caches
// nothing from a failed access and lets the exception reach the caller of the node access
// unchanged, status included. A port that throws anything else has it wrapped into a
// PortException with status kUnknownPortStatus.
class PortException : public AccessException {
public:
    static constexpr uint32_t kUnknownPortStatus = 0xFFFFFFFFu;

    PortException(uint32_t status, std::string description, const char* file = nullptr, unsigned line = 0)
        : AccessException(std::move(description), file, line), m_status(status) {}
    const char* GetType() const override { return "PortException"; }
    uint32_t GetStatus() const { return m_status; }

private:
    uint32_t m_status;
};

} // namespace QxGenApi

// Throws ExceptionType with a printf-style description and the throwing source position.
#define QX_GENAPI_THROW(ExceptionType, ...) \
    throw ExceptionType(::QxGenApi::FormatMessage(__VA_ARGS__), __FILE__, __LINE__)

namespace QxGenApi {
std::string FormatMessage(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
} // namespace QxGenApi
