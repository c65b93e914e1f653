#include "GenApi/StringNode.h"

#include <limits>

#include "GenApi/NodeMap.h"

namespace QxGenApi::detail {

void StringNode::configure(const NodeDesc& d) {
    Node::configure(d);
    if (const Prop* p = d.first("pValue")) m_pValueName = p->text;
    else if (const Prop* v = d.first("Value")) m_literal = v->text;
    else QX_GENAPI_THROW(RuntimeException, "node '%s': String without Value or pValue", d.name.c_str());
}

void StringNode::link() {
    Node::link();
    if (m_pValueName.empty()) return;
    m_targetNode = resolveLink(m_pValueName, "pValue", Edge::Value);
    m_target = dynamic_cast<IString*>(m_targetNode);
    if (!m_target) {
        QX_GENAPI_THROW(RuntimeException, "node '%s': pValue '%s' is a %s node, not a string", name().c_str(),
                        m_pValueName.c_str(), m_targetNode->kind().c_str());
    }
}

EAccessMode StringNode::ownAccessMode() const { return m_targetNode ? m_targetNode->GetAccessMode() : RW; }

gcstring StringNode::GetValue(bool verify, bool ignoreCache) {
    Scope s(map());
    s.checkDepth();
    checkReadable();
    return m_target ? m_target->GetValue(verify, ignoreCache) : m_literal;
}

void StringNode::SetValue(const gcstring& value, bool verify) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    if (m_target) {
        m_target->SetValue(value, verify);
    } else {
        m_literal = value;
        notifyModified();
    }
}

int64_t StringNode::GetMaxLength() {
    Scope s(map());
    return m_target ? m_target->GetMaxLength() : std::numeric_limits<int32_t>::max();
}

bool StringNode::IsValueCacheValid() const { return m_targetNode ? m_targetNode->IsValueCacheValid() : true; }

} // namespace QxGenApi::detail
