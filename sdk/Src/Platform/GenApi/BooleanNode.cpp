#include "GenApi/BooleanNode.h"

#include <cinttypes>

#include "GenApi/NodeMap.h"

using namespace std::string_view_literals;

namespace QxGenApi::detail {

void BooleanNode::configure(const NodeDesc& d) {
    Node::configure(d);
    readNumber(d, "Value", "pValue", m_value);
    if (const Prop* p = d.first("OnValue")) m_on = ParseIntLiteral(p->text, d.name, "OnValue");
    if (const Prop* p = d.first("OffValue")) m_off = ParseIntLiteral(p->text, d.name, "OffValue");
    if (!m_value.isSet())
        QX_GENAPI_THROW(RuntimeException, "node '%s': Boolean without Value or pValue", d.name.c_str());
}

void BooleanNode::link() {
    Node::link();
    m_value.resolve(*this, Edge::Value);
}

bool BooleanNode::GetValue(bool verify, bool ignoreCache) {
    Scope s(map());
    s.checkDepth();
    checkReadable();
    int64_t v = m_value.getInt(verify, ignoreCache);
    if (v == m_on) return true;
    if (v == m_off) return false;
    if (verify) {
        QX_GENAPI_THROW(OutOfRangeException, "Node '%s': value %" PRId64 " is neither OnValue nor OffValue",
                        name().c_str(), v);
    }
    return true;
}

void BooleanNode::SetValue(bool value, bool verify) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    m_value.writeInt(value ? m_on : m_off, verify);
    if (!m_value.isNode()) notifyModified();
}

void BooleanNode::checkWriteInt(int64_t value, bool verify) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    m_value.checkWriteInt(value != 0 ? m_on : m_off, verify);
}

gcstring BooleanNode::ToString(bool verify, bool ignoreCache) {
    return GetValue(verify, ignoreCache) ? "true" : "false";
}

void BooleanNode::FromString(const gcstring& text, bool verify) {
    if (text == "true"sv || text == "True"sv || text == "TRUE"sv || text == "1"sv) SetValue(true, verify);
    else if (text == "false"sv || text == "False"sv || text == "FALSE"sv || text == "0"sv) SetValue(false, verify);
    else
        QX_GENAPI_THROW(InvalidArgumentException, "Node '%s': '%.100s' is not a boolean", name().c_str(), text.c_str());
}

} // namespace QxGenApi::detail
