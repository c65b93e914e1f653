#include "GenApi/CommandNode.h"

#include "GenApi/NodeMap.h"

using namespace std::string_view_literals;

namespace QxGenApi::detail {

void CommandNode::configure(const NodeDesc& d) {
    Node::configure(d);
    readNumber(d, "Value", "pValue", m_value);
    readNumber(d, "CommandValue", "pCommandValue", m_commandValue);
    if (!m_value.isSet())
        QX_GENAPI_THROW(RuntimeException, "node '%s': Command without Value or pValue", d.name.c_str());
    if (!m_commandValue.isSet()) m_commandValue.setLiteral(int64_t(1));
}

void CommandNode::link() {
    Node::link();
    m_value.resolve(*this, Edge::Value);
    m_commandValue.resolve(*this, Edge::Read);
}

void CommandNode::Execute(bool verify) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    int64_t cmd = m_commandValue.getInt();
    m_value.writeInt(cmd, verify);
    if (!m_value.isNode()) notifyModified();
}

bool CommandNode::IsDone(bool) {
    Scope s(map());
    s.checkDepth();
    if (!m_value.isNode()) return true;
    if (!IsReadable(m_value.node()->GetAccessMode())) return true;
    return m_value.getInt(false, true) != m_commandValue.getInt();
}

gcstring CommandNode::ToString(bool, bool) { return IsDone() ? "0" : "1"; }

void CommandNode::FromString(const gcstring& text, bool verify) {
    if (text == "1"sv || text == "Execute"sv || text == "true"sv) Execute(verify);
    else if (text != "0"sv && text != "false"sv)
        QX_GENAPI_THROW(InvalidArgumentException, "Node '%s': '%.100s' does not execute a command", name().c_str(),
                        text.c_str());
}

} // namespace QxGenApi::detail
