#include "GenApi/EnumerationNodes.h"

#include <cinttypes>

#include "GenApi/NodeMap.h"

using namespace std::string_view_literals;

namespace QxGenApi::detail {

EnumEntryNode::EnumEntryNode(NodeMapImpl& map, const NodeDesc& desc, std::string symbolic)
    : Node(map, desc), m_symbolic(std::move(symbolic)) {}

void EnumEntryNode::configure(const NodeDesc& d) {
    Node::configure(d);
    const Prop* v = d.first("Value");
    if (!v) QX_GENAPI_THROW(RuntimeException, "node '%s': EnumEntry without Value", d.name.c_str());
    m_value = ParseIntLiteral(v->text, d.name, "Value");
    m_numeric = static_cast<double>(m_value);
    if (const Prop* n = d.first("NumericValue")) m_numeric = ParseFloatLiteral(n->text, d.name, "NumericValue");
    if (const Prop* s = d.first("Symbolic")) {
        if (!s->text.empty()) m_symbolic = s->text;
    }
    if (const Prop* c = d.first("IsSelfClearing")) m_selfClearing = ParseYesNo(c->text);
}

void EnumerationNode::configure(const NodeDesc& d) {
    Node::configure(d);
    readNumber(d, "Value", "pValue", m_value);
    if (!m_value.isSet())
        QX_GENAPI_THROW(RuntimeException, "node '%s': Enumeration without Value or pValue", d.name.c_str());
    for (const Prop& p : d.props) {
        if (p.name != "EnumEntry"sv) continue;
        const std::string* entryName = p.attr("Name");
        if (!entryName || entryName->empty()) {
            QX_GENAPI_THROW(RuntimeException, "node '%s': EnumEntry without Name", d.name.c_str());
        }
        NodeDesc ed;
        ed.kind = "EnumEntry";
        ed.name = "EnumEntry_" + d.name + "_" + *entryName;
        if (const std::string* ns = p.attr("NameSpace")) ed.nameSpace = *ns;
        ed.props = p.children;
        ed.offset = d.offset;
        auto entry = std::make_unique<EnumEntryNode>(map(), ed, *entryName);
        entry->configure(ed);
        Node* raw = map().adopt(std::move(entry));
        m_entries.push_back(static_cast<EnumEntryNode*>(raw));
    }
}

void EnumerationNode::link() {
    Node::link();
    m_value.resolve(*this, Edge::Value);
    for (EnumEntryNode* e : m_entries) addLink(Edge::Other, e);
}

EnumEntryNode* EnumerationNode::entryFor(int64_t value) const {
    for (EnumEntryNode* e : m_entries) {
        if (e->value() == value) return e;
    }
    return nullptr;
}

void EnumerationNode::GetSymbolics(StringList_t& symbolics) {
    Scope s(map());
    symbolics.clear();
    for (EnumEntryNode* e : m_entries) {
        if (IsAvailable(e->GetAccessMode())) symbolics.push_back(e->symbolic());
    }
}

void EnumerationNode::GetEntries(node_vector& entries) {
    entries.clear();
    for (EnumEntryNode* e : m_entries) entries.push_back(e);
}

int64_t EnumerationNode::GetIntValue(bool verify, bool ignoreCache) {
    Scope s(map());
    s.checkDepth();
    checkReadable();
    int64_t v = m_value.getInt(verify, ignoreCache);
    if (verify && !entryFor(v)) {
        QX_GENAPI_THROW(OutOfRangeException, "Node '%s': value %" PRId64 " matches no entry", name().c_str(), v);
    }
    return v;
}

void EnumerationNode::checkEntry(int64_t value) {
    EnumEntryNode* e = entryFor(value);
    if (!e) {
        QX_GENAPI_THROW(OutOfRangeException, "Node '%s': %" PRId64 " is not the value of any entry", name().c_str(),
                        value);
    }
    EAccessMode m = e->GetAccessMode();
    if (!IsAvailable(m)) {
        QX_GENAPI_THROW(AccessException, "Node '%s': entry '%s' is not available (access mode %s)", name().c_str(),
                        e->symbolic().c_str(), AccessModeName(m));
    }
}

void EnumerationNode::SetIntValue(int64_t value, bool verify) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    checkEntry(value);
    m_value.writeInt(value, verify);
    if (!m_value.isNode()) notifyModified();
}

void EnumerationNode::checkWriteInt(int64_t value, bool verify) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    checkEntry(value);
    m_value.checkWriteInt(value, verify);
}

IEnumEntry* EnumerationNode::GetEntryByName(const gcstring& symbolic) {
    for (EnumEntryNode* e : m_entries) {
        if (e->symbolic() == symbolic) return e;
    }
    return nullptr;
}

IEnumEntry* EnumerationNode::GetEntry(int64_t value) { return entryFor(value); }

IEnumEntry* EnumerationNode::GetCurrentEntry(bool verify, bool ignoreCache) {
    Scope s(map());
    return entryFor(GetIntValue(verify, ignoreCache));
}

gcstring EnumerationNode::ToString(bool verify, bool ignoreCache) {
    Scope s(map());
    int64_t v = GetIntValue(verify, ignoreCache);
    EnumEntryNode* e = entryFor(v);
    if (!e) QX_GENAPI_THROW(OutOfRangeException, "Node '%s': value %" PRId64 " matches no entry", name().c_str(), v);
    return e->symbolic();
}

void EnumerationNode::FromString(const gcstring& text, bool verify) {
    Scope s(map());
    IEnumEntry* e = GetEntryByName(text);
    if (!e) {
        QX_GENAPI_THROW(InvalidArgumentException, "Node '%s': '%.100s' is not an entry", name().c_str(), text.c_str());
    }
    SetIntValue(e->GetValue(), verify);
}

} // namespace QxGenApi::detail
