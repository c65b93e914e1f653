#include "GenApi/Node.h"

#include <cinttypes>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "GenApi/FloatNode.h"
#include "GenApi/IntegerNode.h"
#include "GenApi/NodeMap.h"

using namespace std::string_view_literals;

namespace QxGenApi {

const char* AccessModeName(EAccessMode mode) {
    switch (mode) {
    case NI: return "NI";
    case NA: return "NA";
    case WO: return "WO";
    case RO: return "RO";
    case RW: return "RW";
    case _CycleDetectAccesMode: return "CycleDetect";
    default: return "Undefined";
    }
}

const char* InterfaceTypeName(EInterfaceType type) {
    static const char* const names[] = {"IValue",  "IBase",     "IInteger",  "IBoolean",     "ICommand",   "IFloat",
                                        "IString", "IRegister", "ICategory", "IEnumeration", "IEnumEntry", "IPort"};
    int i = static_cast<int>(type);
    return (i >= 0 && i < 12) ? names[i] : "Unknown";
}

const char* VisibilityName(EVisibility v) {
    switch (v) {
    case Beginner: return "Beginner";
    case Expert: return "Expert";
    case Guru: return "Guru";
    case Invisible: return "Invisible";
    default: return "Undefined";
    }
}

EAccessMode CombineAccessMode(EAccessMode a, EAccessMode b) {
    if (a == _CycleDetectAccesMode) return b;
    if (b == _CycleDetectAccesMode) return a;
    if (a == NI || b == NI) return NI;
    if (a == NA || b == NA) return NA;
    if (a == _UndefinedAccesMode || b == _UndefinedAccesMode) return _UndefinedAccesMode;
    if (a == RW) return b;
    if (b == RW) return a;
    if (a == b) return a;
    return NA; // RO with WO
}

CallbackHandleType Register(INode* node, std::function<void(INode*)> callback, ECallbackType type) {
    if (!node) QX_GENAPI_THROW(LogicalErrorException, "NULL pointer dereferenced");
    return node->RegisterCallback(std::move(callback), type);
}

bool Deregister(INode* node, CallbackHandleType handle) {
    if (!node) QX_GENAPI_THROW(LogicalErrorException, "NULL pointer dereferenced");
    return node->DeregisterCallback(handle);
}

namespace detail {

namespace {

std::string trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::strchr(" \t\r\n", s[b])) ++b;
    while (e > b && std::strchr(" \t\r\n", s[e - 1])) --e;
    return s.substr(b, e - b);
}

int64_t clampToInt(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (d <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return std::llround(d);
}

EAccessMode parseAccessMode(const std::string& t) {
    if (t == "RO"sv) return RO;
    if (t == "WO"sv) return WO;
    if (t == "RW"sv) return RW;
    if (t == "NA"sv) return NA;
    if (t == "NI"sv) return NI;
    return RW;
}

EVisibility parseVisibility(const std::string& t) {
    if (t == "Expert"sv) return Expert;
    if (t == "Guru"sv) return Guru;
    if (t == "Invisible"sv) return Invisible;
    return Beginner;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Literal parsing

int64_t ParseIntLiteral(const std::string& raw, const std::string& node, const char* prop) {
    std::string t = trimmed(raw);
    const char* s = t.c_str();
    bool neg = false;
    if (*s == '+' || *s == '-') {
        neg = *s == '-';
        ++s;
    }
    uint64_t v = 0;
    bool ok = false;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s += 2;
        ok = *s != '\0';
        for (; *s; ++s) {
            char c = static_cast<char>(std::tolower(static_cast<unsigned char>(*s)));
            if (c >= '0' && c <= '9') v = (v << 4) | static_cast<uint64_t>(c - '0');
            else if (c >= 'a' && c <= 'f') v = (v << 4) | static_cast<uint64_t>(c - 'a' + 10);
            else {
                ok = false;
                break;
            }
        }
    } else if (*s >= '0' && *s <= '9') {
        errno = 0;
        char* end = nullptr;
        unsigned long long u = std::strtoull(s, &end, 10);
        ok = end && *end == '\0' && errno != ERANGE;
        v = u;
        if (!ok) {
            // "1.0", "1e3": accept an integral floating-point form.
            char* fend = nullptr;
            double d = std::strtod(s, &fend);
            if (fend && *fend == '\0' && std::isfinite(d) && d == std::floor(d)) {
                int64_t iv = clampToInt(d);
                return neg ? -iv : iv;
            }
        }
    }
    if (!ok) {
        QX_GENAPI_THROW(RuntimeException, "node '%s': %s '%.100s' is not an integer", node.c_str(), prop, t.c_str());
    }
    int64_t r = static_cast<int64_t>(v);
    return neg ? static_cast<int64_t>(0 - static_cast<uint64_t>(r)) : r;
}

double ParseFloatLiteral(const std::string& raw, const std::string& node, const char* prop) {
    std::string t = trimmed(raw);
    if (!t.empty()) {
        char* end = nullptr;
        double d = std::strtod(t.c_str(), &end);
        if (end && *end == '\0') return d;
    }
    QX_GENAPI_THROW(RuntimeException, "node '%s': %s '%.100s' is not a number", node.c_str(), prop, t.c_str());
}

bool ParseYesNo(const std::string& text) {
    std::string t = trimmed(text);
    return t == "Yes"sv || t == "yes"sv || t == "true"sv || t == "True"sv || t == "1"sv;
}

// ---------------------------------------------------------------------------------------------
// NumberRef

void NumberRef::setLiteral(double v) {
    m_kind = Kind::Float;
    m_float = v;
    m_int = clampToInt(v);
}

void NumberRef::resolve(Node& owner, Edge edge) {
    if (m_kind != Kind::NodeRef) return;
    m_node = owner.resolveLink(m_name, m_prop, edge);
    m_intf = dynamic_cast<IInteger*>(m_node);
    m_floatIf = m_intf ? nullptr : dynamic_cast<IFloat*>(m_node);
    m_enum = (m_intf || m_floatIf) ? nullptr : dynamic_cast<IEnumeration*>(m_node);
    m_bool = (m_intf || m_floatIf || m_enum) ? nullptr : dynamic_cast<IBoolean*>(m_node);
    m_entry = (m_intf || m_floatIf || m_enum || m_bool) ? nullptr : dynamic_cast<IEnumEntry*>(m_node);
    if (!m_intf && !m_floatIf && !m_enum && !m_bool && !m_entry) {
        QX_GENAPI_THROW(RuntimeException, "node '%s': %s '%s' is a %s node, not a number", owner.name().c_str(), m_prop,
                        m_name.c_str(), m_node->kind().c_str());
    }
}

int64_t NumberRef::getInt(bool verify, bool ignoreCache) const {
    switch (m_kind) {
    case Kind::None: return 0;
    case Kind::Int:
    case Kind::Float: return m_int;
    case Kind::NodeRef: break;
    }
    if (m_intf) return m_intf->GetValue(verify, ignoreCache);
    if (m_enum) return clampToInt(enumNumber(verify, ignoreCache));
    if (m_floatIf) return clampToInt(m_floatIf->GetValue(verify, ignoreCache));
    if (m_bool) return m_bool->GetValue(verify, ignoreCache) ? 1 : 0;
    if (m_entry) return m_entry->GetValue();
    return 0;
}

double NumberRef::getFloat(bool verify, bool ignoreCache) const {
    switch (m_kind) {
    case Kind::None: return 0;
    case Kind::Int: return static_cast<double>(m_int);
    case Kind::Float: return m_float;
    case Kind::NodeRef: break;
    }
    if (m_floatIf) return m_floatIf->GetValue(verify, ignoreCache);
    if (m_enum) return enumNumber(verify, ignoreCache);
    return static_cast<double>(getInt(verify, ignoreCache));
}

double NumberRef::enumNumber(bool verify, bool ignoreCache) const {
    const int64_t value = m_enum->GetIntValue(verify, ignoreCache);
    IEnumEntry* entry = m_enum->GetEntry(value);
    if (!entry)
        QX_GENAPI_THROW(OutOfRangeException, "Node '%s': value %" PRId64 " matches no entry", m_name.c_str(), value);
    return entry->GetNumericValue();
}

int64_t NumberRef::enumValueOf(double number) const {
    node_vector entries;
    m_enum->GetEntries(entries);
    IEnumEntry* found = nullptr;
    for (INode* n : entries) {
        auto* entry = dynamic_cast<IEnumEntry*>(n);
        if (!entry || entry->GetNumericValue() != number) continue;
        if (IsAvailable(n->GetAccessMode())) return entry->GetValue();
        if (!found) found = entry;
    }
    // An unavailable entry is passed on, to be refused with the reason.
    if (found) return found->GetValue();
    QX_GENAPI_THROW(OutOfRangeException, "Node '%s': no entry has the numeric value %.17g", m_name.c_str(), number);
}

void NumberRef::writeInt(int64_t v, bool verify) {
    switch (m_kind) {
    case Kind::None:
    case Kind::Int:
        m_kind = Kind::Int;
        m_int = v;
        m_float = static_cast<double>(v);
        return;
    case Kind::Float:
        m_float = static_cast<double>(v);
        m_int = v;
        return;
    case Kind::NodeRef: break;
    }
    if (m_intf) m_intf->SetValue(v, verify);
    else if (m_enum) m_enum->SetIntValue(enumValueOf(static_cast<double>(v)), verify);
    else if (m_floatIf) m_floatIf->SetValue(static_cast<double>(v), verify);
    else if (m_bool) m_bool->SetValue(v != 0, verify);
    else QX_GENAPI_THROW(AccessException, "Node '%s' cannot be written", m_name.c_str());
}

void NumberRef::writeFloat(double v, bool verify) {
    switch (m_kind) {
    case Kind::None:
    case Kind::Float:
        m_kind = Kind::Float;
        m_float = v;
        m_int = clampToInt(v);
        return;
    case Kind::Int:
        m_int = clampToInt(v);
        m_float = static_cast<double>(m_int);
        return;
    case Kind::NodeRef: break;
    }
    if (m_floatIf) m_floatIf->SetValue(v, verify);
    else if (m_enum) m_enum->SetIntValue(enumValueOf(v), verify);
    else writeInt(clampToInt(v), verify);
}

void NumberRef::checkWriteInt(int64_t v, bool verify) const {
    if (m_kind != Kind::NodeRef) return;
    if (!m_intf && !m_enum && !m_floatIf && !m_bool) {
        QX_GENAPI_THROW(AccessException, "Node '%s' cannot be written", m_name.c_str());
    }
    if (m_floatIf) m_node->checkWriteFloat(static_cast<double>(v), verify);
    else if (m_enum) m_node->checkWriteInt(enumValueOf(static_cast<double>(v)), verify);
    else m_node->checkWriteInt(v, verify);
}

void NumberRef::checkWriteFloat(double v, bool verify) const {
    if (m_kind != Kind::NodeRef) return;
    if (m_floatIf) m_node->checkWriteFloat(v, verify);
    else if (m_enum) m_node->checkWriteInt(enumValueOf(v), verify);
    else checkWriteInt(clampToInt(v), verify);
}

EAccessMode NumberRef::access() const {
    if (m_kind != Kind::NodeRef) return RW;
    return m_node ? m_node->GetAccessMode() : NA;
}

int64_t NumberRef::minInt() const {
    if (m_kind != Kind::NodeRef) return m_int;
    if (m_intf) return m_intf->GetMin();
    if (m_floatIf) return clampToInt(m_floatIf->GetMin());
    return std::numeric_limits<int64_t>::min();
}

int64_t NumberRef::maxInt() const {
    if (m_kind != Kind::NodeRef) return m_int;
    if (m_intf) return m_intf->GetMax();
    if (m_floatIf) return clampToInt(m_floatIf->GetMax());
    return std::numeric_limits<int64_t>::max();
}

int64_t NumberRef::incInt() const {
    if (m_kind != Kind::NodeRef) return m_int;
    if (m_intf) return m_intf->GetInc();
    return 1;
}

double NumberRef::minFloat() const {
    if (m_kind != Kind::NodeRef) return m_float;
    if (m_floatIf) return m_floatIf->GetMin();
    if (m_intf) return static_cast<double>(m_intf->GetMin());
    return -std::numeric_limits<double>::max();
}

double NumberRef::maxFloat() const {
    if (m_kind != Kind::NodeRef) return m_float;
    if (m_floatIf) return m_floatIf->GetMax();
    if (m_intf) return static_cast<double>(m_intf->GetMax());
    return std::numeric_limits<double>::max();
}

bool NumberRef::cacheValid() const {
    if (m_kind != Kind::NodeRef) return true;
    return m_node && m_node->IsValueCacheValid();
}

// ---------------------------------------------------------------------------------------------
// Node

Node::Node(NodeMapImpl& map, const NodeDesc& desc) : m_map(map), m_kind(desc.kind), m_name(desc.name) {
    m_nameSpace = desc.nameSpace == "Standard"sv ? Standard : Custom;
}

Node::~Node() = default;

void Node::readNumber(const NodeDesc& d, const char* literalProp, const char* pointerProp, NumberRef& ref,
                      bool asFloat) {
    if (pointerProp) {
        if (const Prop* p = d.first(pointerProp)) {
            ref.setName(p->text, pointerProp);
            return;
        }
    }
    if (literalProp) {
        if (const Prop* p = d.first(literalProp)) {
            if (asFloat) ref.setLiteral(ParseFloatLiteral(p->text, d.name, literalProp));
            else ref.setLiteral(ParseIntLiteral(p->text, d.name, literalProp));
        }
    }
}

void SelectedValue::configure(const NodeDesc& d, bool asFloat) {
    Node::readNumber(d, "Value", "pValue", m_value, asFloat);
    for (const Prop& p : d.props) {
        if (p.name == "pIndex"sv) {
            m_index.setName(p.text, "pIndex");
        } else if (p.name == "ValueIndexed"sv || p.name == "pValueIndexed"sv) {
            const std::string* idx = p.attr("Index");
            if (!idx) QX_GENAPI_THROW(RuntimeException, "node '%s': %s without Index", d.name.c_str(), p.name.c_str());
            Indexed e;
            e.index = ParseIntLiteral(*idx, d.name, "Index");
            if (p.name == "pValueIndexed"sv) e.value.setName(p.text, "pValueIndexed");
            else if (asFloat) e.value.setLiteral(ParseFloatLiteral(p.text, d.name, "ValueIndexed"));
            else e.value.setLiteral(ParseIntLiteral(p.text, d.name, "ValueIndexed"));
            m_indexed.push_back(std::move(e));
        }
    }
    Node::readNumber(d, "ValueDefault", "pValueDefault", m_default, asFloat);
}

void SelectedValue::link(Node& owner) {
    m_value.resolve(owner, Edge::Value);
    m_index.resolve(owner, Edge::Read);
    for (auto& e : m_indexed) e.value.resolve(owner, Edge::Value);
    m_default.resolve(owner, Edge::Value);
}

NumberRef& SelectedValue::current(const std::string& nodeName) const {
    if (!m_index.isSet()) return m_value;
    const int64_t idx = m_index.getInt();
    for (auto& e : m_indexed) {
        if (e.index == idx) return e.value;
    }
    if (m_default.isSet()) return m_default;
    if (m_value.isSet()) return m_value;
    QX_GENAPI_THROW(OutOfRangeException, "Node '%s': index %" PRId64 " has no ValueIndexed and no ValueDefault",
                    nodeName.c_str(), idx);
}

void Node::configure(const NodeDesc& d) {
    for (const Prop& p : d.props) {
        const std::string& n = p.name;
        if (n == "ToolTip"sv) m_toolTip = p.text;
        else if (n == "Description"sv) m_description = p.text;
        else if (n == "DisplayName"sv) m_displayName = p.text;
        else if (n == "DocuURL"sv) m_docuUrl = p.text;
        else if (n == "EventID"sv) m_eventId = p.text;
        else if (n == "Visibility"sv) m_visibility = parseVisibility(p.text);
        else if (n == "ImposedAccessMode"sv) m_imposed = parseAccessMode(p.text);
        else if (n == "pIsImplemented"sv) {
            m_isImplemented.emplace_back();
            m_isImplemented.back().setName(p.text, "pIsImplemented");
        } else if (n == "pIsAvailable"sv) {
            m_isAvailable.emplace_back();
            m_isAvailable.back().setName(p.text, "pIsAvailable");
        } else if (n == "pIsLocked"sv) {
            m_isLocked.emplace_back();
            m_isLocked.back().setName(p.text, "pIsLocked");
        } else if (n == "pInvalidator"sv) m_invalidatorNames.push_back(p.text);
        else if (n == "pSelected"sv) m_selectedNames.push_back(p.text);
        else if (n == "pAlias"sv) m_aliasName = p.text;
        else if (n == "pCastAlias"sv) m_castAliasName = p.text;
        else if (n == "PollingTime"sv) m_pollingTime = ParseIntLiteral(p.text, d.name, "PollingTime");
        else if (n == "Streamable"sv) m_streamable = ParseYesNo(p.text);
        else if (n == "IsDeprecated"sv) m_deprecated = ParseYesNo(p.text);
    }
}

void Node::link() {
    for (auto& r : m_isImplemented) r.resolve(*this, Edge::Access);
    for (auto& r : m_isAvailable) r.resolve(*this, Edge::Access);
    for (auto& r : m_isLocked) r.resolve(*this, Edge::Access);
    for (const auto& n : m_invalidatorNames)
        m_invalidators.push_back(resolveLink(n, "pInvalidator", Edge::Invalidator));
    for (const auto& n : m_selectedNames) m_selected.push_back(resolveLink(n, "pSelected", Edge::Selected));
    if (!m_aliasName.empty()) m_alias = resolveLink(m_aliasName, "pAlias", Edge::Other);
    if (!m_castAliasName.empty()) m_castAlias = resolveLink(m_castAliasName, "pCastAlias", Edge::Other);
}

Node* Node::resolveLink(const std::string& nodeName, const char* prop, Edge edge) {
    Node* n = m_map.find(nodeName);
    if (!n) {
        QX_GENAPI_THROW(RuntimeException, "node '%s': %s refers to unknown node '%.200s'", m_name.c_str(), prop,
                        nodeName.c_str());
    }
    addLink(edge, n);
    return n;
}

gcstring Node::GetName(bool fullQualified) const {
    if (!fullQualified) return m_name;
    return (m_nameSpace == Standard ? "Std::" : "Cust::") + m_name;
}

gcstring Node::GetDisplayName() const { return m_displayName.empty() ? m_name : m_displayName; }
gcstring Node::GetToolTip() const { return m_toolTip.empty() ? m_description : m_toolTip; }
gcstring Node::GetDescription() const { return m_description.empty() ? m_toolTip : m_description; }
gcstring Node::GetDeviceName() const { return m_map.GetDeviceName(); }
INodeMap* Node::GetNodeMap() const { return &m_map; }
INode* Node::GetAlias() const { return m_alias; }
INode* Node::GetCastAlias() const { return m_castAlias; }

void Node::GetChildren(node_vector& children, ELinkType linkType) const {
    Scope s(m_map);
    children.clear();
    auto addUnique = [&children](Node* n) {
        for (INode* c : children) {
            if (c == n) return;
        }
        children.push_back(n);
    };
    switch (linkType) {
    case ctParentNodes:
        for (const Link& l : m_parents) addUnique(l.node);
        break;
    case ctReadingChildren:
        for (const Link& l : m_links) {
            if (l.edge == Edge::Value || l.edge == Edge::Read || l.edge == Edge::Bound) addUnique(l.node);
        }
        break;
    case ctWritingChildren:
        for (const Link& l : m_links) {
            if (l.edge == Edge::Value || l.edge == Edge::WriteOnly) addUnique(l.node);
        }
        break;
    case ctInvalidatingChildren:
        for (const Link& l : m_links) {
            if (l.edge == Edge::Invalidator) addUnique(l.node);
        }
        break;
    case ctValueChildren:
        for (const Link& l : m_links) {
            if (l.edge == Edge::Value) addUnique(l.node);
        }
        break;
    case ctDependingNodes:
        for (Node* n : m_map.dependents(const_cast<Node*>(this))) addUnique(n);
        break;
    case ctTerminalNodes: {
        std::vector<const Node*> todo{this};
        std::vector<const Node*> seen;
        while (!todo.empty()) {
            const Node* n = todo.back();
            todo.pop_back();
            bool visited = false;
            for (const Node* v : seen) visited = visited || v == n;
            if (visited) continue;
            seen.push_back(n);
            bool hasValue = false;
            for (const Link& l : n->m_links) {
                if (l.edge == Edge::Value) {
                    hasValue = true;
                    todo.push_back(l.node);
                }
            }
            if (!hasValue) addUnique(const_cast<Node*>(n));
        }
        break;
    }
    }
}

void Node::GetParents(node_vector& parents) const { GetChildren(parents, ctParentNodes); }

CallbackHandleType Node::RegisterCallback(std::function<void(INode*)> callback, ECallbackType type) {
    Scope s(m_map);
    if (!callback) QX_GENAPI_THROW(InvalidArgumentException, "callback is empty");
    CallbackHandleType h = m_map.nextCallbackHandle();
    m_callbacks.push_back({h, std::move(callback), type});
    return h;
}

bool Node::DeregisterCallback(CallbackHandleType handle) {
    Scope s(m_map);
    for (auto it = m_callbacks.begin(); it != m_callbacks.end(); ++it) {
        if (it->handle == handle) {
            m_callbacks.erase(it);
            return true;
        }
    }
    return false;
}

void Node::fireCallbacks(std::vector<std::pair<std::function<void(INode*)>, INode*>>& outside) {
    // Copy first: a callback may register or deregister callbacks.
    std::vector<CallbackEntry> copy = m_callbacks;
    for (const CallbackEntry& c : copy) {
        if (c.type == cbPostOutsideLock) {
            outside.emplace_back(c.fn, this);
            continue;
        }
        try {
            c.fn(this);
        } catch (...) {
            // A callback's failure is its own business; the write has happened.
        }
    }
}

void Node::InvalidateNode() {
    Scope s(m_map);
    invalidateCache();
    m_map.onModified(this);
}

void Node::ImposeAccessMode(EAccessMode mode) {
    Scope s(m_map);
    m_map.bumpEpoch();
    m_imposed = CombineAccessMode(m_imposed, mode);
}

void Node::ImposeVisibility(EVisibility visibility) {
    Scope s(m_map);
    m_visibility = visibility;
}

EAccessMode Node::GetAccessMode() const {
    Scope s(m_map);
    if (s.tooDeep()) return NA;
    if (m_inAccess) {
        m_map.noteCycle();
        return _CycleDetectAccesMode;
    }
    // Fresh for every outermost call (see NodeMapImpl::epoch); within one call it is computed once.
    const uint64_t epoch = m_map.epoch();
    if (m_accessEpoch == epoch) return m_accessMemo;
    const uint64_t cycles = m_map.cycleHits();
    m_inAccess = true;
    EAccessMode mode = NA;
    try {
        mode = RW;
        bool decided = false;
        for (const auto& r : m_isImplemented) {
            if (r.getInt() == 0) {
                mode = NI;
                decided = true;
                break;
            }
        }
        if (!decided) {
            for (const auto& r : m_isAvailable) {
                if (r.getInt() == 0) {
                    mode = NA;
                    decided = true;
                    break;
                }
            }
        }
        if (!decided) {
            mode = ownAccessMode();
            if (mode != NI && mode != NA) {
                for (const auto& r : m_isLocked) {
                    if (r.getInt() != 0) {
                        if (mode == RW) mode = RO;
                        else if (mode == WO) mode = NA;
                        break;
                    }
                }
                mode = CombineAccessMode(mode, m_imposed);
            }
        }
    } catch (...) {
        mode = NA;
    }
    m_inAccess = false;
    // A result that leaned on a cycle placeholder, or raced a change, is not kept.
    if (m_map.cycleHits() == cycles && m_map.epoch() == epoch) {
        m_accessEpoch = epoch;
        m_accessMemo = mode;
    }
    return mode;
}

void Node::checkReadable() const {
    EAccessMode m = GetAccessMode();
    if (!IsReadable(m)) {
        QX_GENAPI_THROW(AccessException, "Node '%s' is not readable (access mode %s)", m_name.c_str(),
                        AccessModeName(m));
    }
}

void Node::checkWritable() const {
    EAccessMode m = GetAccessMode();
    if (!IsWritable(m)) {
        QX_GENAPI_THROW(AccessException, "Node '%s' is not writable (access mode %s)", m_name.c_str(),
                        AccessModeName(m));
    }
}

void Node::notifyModified() { m_map.onModified(this); }

void Node::checkWriteInt(int64_t v, bool verify) {
    Scope s(m_map);
    s.checkDepth();
    checkWritable();
    if (!verify) return;
    if (auto* i = dynamic_cast<IInteger*>(this)) CheckIntegerRange(*i, m_name, v);
    else if (auto* f = dynamic_cast<IFloat*>(this)) CheckFloatRange(*f, m_name, static_cast<double>(v));
}

void Node::checkWriteFloat(double v, bool verify) {
    Scope s(m_map);
    s.checkDepth();
    checkWritable();
    if (!verify) return;
    if (auto* f = dynamic_cast<IFloat*>(this)) CheckFloatRange(*f, m_name, v);
    else if (auto* i = dynamic_cast<IInteger*>(this)) CheckIntegerRange(*i, m_name, clampToInt(v));
}

gcstring Node::ToString(bool, bool) {
    QX_GENAPI_THROW(LogicalErrorException, "Node '%s' (%s) has no value to convert to text", m_name.c_str(),
                    m_kind.c_str());
}

void Node::FromString(const gcstring&, bool) {
    QX_GENAPI_THROW(LogicalErrorException, "Node '%s' (%s) has no value to set from text", m_name.c_str(),
                    m_kind.c_str());
}

void Node::GetSelectedFeatures(FeatureList_t& features) const {
    features.clear();
    for (Node* n : m_selected) features.push_back(n);
}

void Node::GetSelectingFeatures(FeatureList_t& features) const {
    features.clear();
    for (const Link& l : m_parents) {
        if (l.edge == Edge::Selected) features.push_back(l.node);
    }
}

std::string Node::pollFingerprint(bool ignoreCache) { return ToString(false, ignoreCache); }

} // namespace detail
} // namespace QxGenApi
