#include "GenApi/IntegerNode.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>

#include "GenApi/NodeMap.h"

using namespace std::string_view_literals;

namespace QxGenApi::detail {

namespace {
std::string trimText(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::strchr(" \t\r\n", s[b])) ++b;
    while (e > b && std::strchr(" \t\r\n", s[e - 1])) --e;
    return s.substr(b, e - b);
}
} // namespace

ERepresentation ParseRepresentation(const std::string& t) {
    if (t == "Linear"sv) return Linear;
    if (t == "Logarithmic"sv) return Logarithmic;
    if (t == "Boolean"sv) return Boolean;
    if (t == "PureNumber"sv) return PureNumber;
    if (t == "HexNumber"sv) return HexNumber;
    if (t == "IPV4Address"sv) return IPV4Address;
    if (t == "MACAddress"sv) return MACAddress;
    return _UndefinedRepresentation;
}

std::string FormatInteger(int64_t v, ERepresentation r) {
    char buf[64];
    uint64_t u = static_cast<uint64_t>(v);
    switch (r) {
    case HexNumber: std::snprintf(buf, sizeof buf, "0x%" PRIX64, u); break;
    case IPV4Address:
        std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", unsigned((u >> 24) & 0xFF), unsigned((u >> 16) & 0xFF),
                      unsigned((u >> 8) & 0xFF), unsigned(u & 0xFF));
        break;
    case MACAddress:
        std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", unsigned((u >> 40) & 0xFF),
                      unsigned((u >> 32) & 0xFF), unsigned((u >> 24) & 0xFF), unsigned((u >> 16) & 0xFF),
                      unsigned((u >> 8) & 0xFF), unsigned(u & 0xFF));
        break;
    default: std::snprintf(buf, sizeof buf, "%" PRId64, v); break;
    }
    return buf;
}

int64_t ParseIntegerText(const std::string& raw, const std::string& node) {
    std::string t = trimText(raw);
    auto bad = [&]() {
        QX_GENAPI_THROW(InvalidArgumentException, "Node '%s': cannot convert '%.100s' to an integer", node.c_str(),
                        t.c_str());
    };
    if (t.empty()) bad();
    size_t dots = 0, colons = 0;
    for (char c : t) {
        dots += c == '.';
        colons += c == ':';
    }
    if (dots == 3 && colons == 0) {
        unsigned a[4];
        char tail;
        if (std::sscanf(t.c_str(), "%u.%u.%u.%u%c", &a[0], &a[1], &a[2], &a[3], &tail) != 4) bad();
        for (unsigned x : a) {
            if (x > 255) bad();
        }
        return (int64_t(a[0]) << 24) | (int64_t(a[1]) << 16) | (int64_t(a[2]) << 8) | int64_t(a[3]);
    }
    if (colons == 5) {
        unsigned a[6];
        char tail;
        if (std::sscanf(t.c_str(), "%x:%x:%x:%x:%x:%x%c", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5], &tail) != 6) bad();
        int64_t v = 0;
        for (unsigned x : a) {
            if (x > 255) bad();
            v = (v << 8) | x;
        }
        return v;
    }
    try {
        return ParseIntLiteral(t, node, "value");
    } catch (const RuntimeException&) {
        bad();
    }
    return 0;
}

void CheckIntegerRange(IInteger& n, const std::string& name, int64_t v) {
    int64_t mn = n.GetMin();
    int64_t mx = n.GetMax();
    if (v < mn) {
        QX_GENAPI_THROW(OutOfRangeException, "Value %" PRId64 " of node '%s' is below its minimum %" PRId64, v,
                        name.c_str(), mn);
    }
    if (v > mx) {
        QX_GENAPI_THROW(OutOfRangeException, "Value %" PRId64 " of node '%s' is above its maximum %" PRId64, v,
                        name.c_str(), mx);
    }
    int64_t inc = n.GetInc();
    if (inc > 1) {
        uint64_t diff = static_cast<uint64_t>(v) - static_cast<uint64_t>(mn);
        if (diff % static_cast<uint64_t>(inc) != 0) {
            QX_GENAPI_THROW(OutOfRangeException,
                            "Value %" PRId64 " of node '%s' is not on the increment %" PRId64 " from %" PRId64, v,
                            name.c_str(), inc, mn);
        }
    }
}

void IntegerNode::configure(const NodeDesc& d) {
    Node::configure(d);
    m_source.configure(d, false);
    for (const Prop& p : d.props) {
        if (p.name == "pValueCopy"sv) {
            m_copies.emplace_back();
            m_copies.back().setName(p.text, "pValueCopy");
        } else if (p.name == "Representation"sv) {
            m_representation = ParseRepresentation(p.text);
        } else if (p.name == "Unit"sv) {
            m_unit = p.text;
        }
    }
    readNumber(d, "Min", "pMin", m_min);
    readNumber(d, "Max", "pMax", m_max);
    readNumber(d, "Inc", "pInc", m_inc);
    if (!m_source.isSet()) {
        QX_GENAPI_THROW(RuntimeException, "node '%s': Integer without Value, pValue or pIndex", d.name.c_str());
    }
}

void IntegerNode::link() {
    Node::link();
    m_source.link(*this);
    for (auto& c : m_copies) c.resolve(*this, Edge::WriteOnly);
    m_min.resolve(*this, Edge::Bound);
    m_max.resolve(*this, Edge::Bound);
    m_inc.resolve(*this, Edge::Bound);
}

NumberRef& IntegerNode::current() const { return m_source.current(name()); }

EAccessMode IntegerNode::ownAccessMode() const { return current().access(); }

int64_t IntegerNode::GetValue(bool verify, bool ignoreCache) {
    Scope s(map());
    s.checkDepth();
    checkReadable();
    int64_t v = current().getInt(verify, ignoreCache);
    if (verify) CheckIntegerRange(*this, name(), v);
    return v;
}

void IntegerNode::SetValue(int64_t value, bool verify) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    if (verify) CheckIntegerRange(*this, name(), value);
    NumberRef& target = current();
    if (!m_copies.empty()) {
        // Several targets: every one must take the value before any is written.
        target.checkWriteInt(value, verify);
        for (const auto& c : m_copies) c.checkWriteInt(value, verify);
    }
    target.writeInt(value, verify);
    if (!target.isNode()) notifyModified();
    for (auto& c : m_copies) c.writeInt(value, verify);
}

void IntegerNode::checkWriteInt(int64_t value, bool verify) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    if (verify) CheckIntegerRange(*this, name(), value);
    current().checkWriteInt(value, verify);
    for (const auto& c : m_copies) c.checkWriteInt(value, verify);
}

int64_t IntegerNode::GetMin() {
    Scope s(map());
    s.checkDepth();
    if (m_min.isSet()) return m_min.getInt();
    NumberRef& c = current();
    if (c.isNode()) return c.minInt();
    return std::numeric_limits<int64_t>::min();
}

int64_t IntegerNode::GetMax() {
    Scope s(map());
    s.checkDepth();
    if (m_max.isSet()) return m_max.getInt();
    NumberRef& c = current();
    if (c.isNode()) return c.maxInt();
    return std::numeric_limits<int64_t>::max();
}

int64_t IntegerNode::GetInc() {
    Scope s(map());
    s.checkDepth();
    int64_t inc = 1;
    if (m_inc.isSet()) inc = m_inc.getInt();
    else if (current().isNode()) inc = current().incInt();
    return inc > 0 ? inc : 1;
}

ERepresentation IntegerNode::GetRepresentation() {
    Scope s(map());
    s.checkDepth();
    if (m_representation != _UndefinedRepresentation) return m_representation;
    if (m_source.value().isNode() && m_source.value().integer()) return m_source.value().integer()->GetRepresentation();
    return PureNumber;
}

gcstring IntegerNode::GetUnit() const {
    if (!m_unit.empty()) return m_unit;
    if (m_source.value().isNode() && m_source.value().integer()) return m_source.value().integer()->GetUnit();
    return "";
}

gcstring IntegerNode::ToString(bool verify, bool ignoreCache) {
    Scope s(map());
    int64_t v = GetValue(verify, ignoreCache);
    return FormatInteger(v, GetRepresentation());
}

void IntegerNode::FromString(const gcstring& text, bool verify) { SetValue(ParseIntegerText(text, name()), verify); }

bool IntegerNode::IsValueCacheValid() const {
    Scope s(map());
    try {
        return current().cacheValid();
    } catch (...) {
        return false;
    }
}

} // namespace QxGenApi::detail
