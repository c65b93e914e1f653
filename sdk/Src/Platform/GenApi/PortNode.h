// PortNode: a <Port> of the description file. Registers name it with pPort; the SDK connects
// its own IPort to it (INodeMap::Connect / CNodeMapRef::_Connect) and from then on every
// register access of those registers goes through that port. An unconnected port is NA and
// refuses accesses with AccessException. A failure of the connected port reaches the caller as
// PortException with the port's status (anything else the port throws is wrapped into one).
#pragma once
#include "GenApi/Node.h"

namespace QxGenApi::detail {

class PortNode : public Node, public IPort {
public:
    using Node::Node;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIPort; }

    // IPort: forwards to the connected port.
    void Read(void* buffer, int64_t address, int64_t length) override;
    void Write(const void* buffer, int64_t address, int64_t length) override;

    void connect(IPort* port);
    IPort* connected() const { return m_port; }

protected:
    EAccessMode ownAccessMode() const override;

private:
    IPort* m_port = nullptr;
};

} // namespace QxGenApi::detail
