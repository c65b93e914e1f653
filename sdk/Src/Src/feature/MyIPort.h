// MyIPort: the register port that FeatureBase connects to its node map, one for the port
// "Device" (type 0) and one for "ConnectorDevice" (type 1). Every register access the node
// map makes arrives here and is handed, tagged with the port's type, to the read or write
// function the owner bound (the SDK's FeatureBase::readPort/writePort, or the viewer's
// command callbacks). A function that cannot make the access throws (the SDK throws
// QxGenApi::PortException with the transport's status); the port lets it pass unchanged.
#pragma once
#include "QxCamApi.h"

#include "GenApi/GenApi.h"

#include <cstdint>
#include <functional>
#include <utility>

namespace qx::feature {

class MyIPort final : public QxGenApi::IPort {
public:
    // (buffer, address, length, port type); a read fills the buffer, a write reads it.
    using Access = std::function<void(void* buffer, int64_t address, int64_t length, int32_t portType)>;

    MyIPort(QX_PORT_DEVICE_TYPE portType, Access read, Access write)
        : m_portType(portType), m_read(std::move(read)), m_write(std::move(write)) {}

    void Read(void* buffer, int64_t address, int64_t length) override { m_read(buffer, address, length, m_portType); }
    void Write(const void* buffer, int64_t address, int64_t length) override {
        // DeviceBase::writeMemory takes a non-const buffer but never writes to it.
        m_write(const_cast<void*>(buffer), address, length, m_portType);
    }
    QxGenApi::EAccessMode GetAccessMode() const override { return QxGenApi::RW; }

    QX_PORT_DEVICE_TYPE portType() const { return m_portType; }

private:
    QX_PORT_DEVICE_TYPE m_portType;
    Access m_read;
    Access m_write;
};

} // namespace qx::feature
