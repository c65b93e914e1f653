#include "GenApi/PortNode.h"

#include "GenApi/NodeMap.h"

namespace QxGenApi::detail {

void PortNode::connect(IPort* port) {
    Scope s(map());
    m_port = port;
}

EAccessMode PortNode::ownAccessMode() const {
    if (!m_port) return NA;
    return m_port->GetAccessMode();
}

void PortNode::Read(void* buffer, int64_t address, int64_t length) {
    Scope s(map());
    if (!m_port) QX_GENAPI_THROW(AccessException, "Port '%s' is not connected", name().c_str());
    try {
        m_port->Read(buffer, address, length);
    } catch (const GenericException&) {
        throw;
    } catch (const std::exception& e) {
        throw PortException(PortException::kUnknownPortStatus,
                            FormatMessage("Port '%s': read of %lld bytes at 0x%llx failed: %s", name().c_str(),
                                          static_cast<long long>(length), static_cast<unsigned long long>(address),
                                          e.what()),
                            __FILE__, __LINE__);
    } catch (...) {
        throw PortException(PortException::kUnknownPortStatus,
                            FormatMessage("Port '%s': read of %lld bytes at 0x%llx failed", name().c_str(),
                                          static_cast<long long>(length), static_cast<unsigned long long>(address)),
                            __FILE__, __LINE__);
    }
}

void PortNode::Write(const void* buffer, int64_t address, int64_t length) {
    Scope s(map());
    if (!m_port) QX_GENAPI_THROW(AccessException, "Port '%s' is not connected", name().c_str());
    try {
        m_port->Write(buffer, address, length);
    } catch (const GenericException&) {
        throw;
    } catch (const std::exception& e) {
        throw PortException(PortException::kUnknownPortStatus,
                            FormatMessage("Port '%s': write of %lld bytes at 0x%llx failed: %s", name().c_str(),
                                          static_cast<long long>(length), static_cast<unsigned long long>(address),
                                          e.what()),
                            __FILE__, __LINE__);
    } catch (...) {
        throw PortException(PortException::kUnknownPortStatus,
                            FormatMessage("Port '%s': write of %lld bytes at 0x%llx failed", name().c_str(),
                                          static_cast<long long>(length), static_cast<unsigned long long>(address)),
                            __FILE__, __LINE__);
    }
}

} // namespace QxGenApi::detail
