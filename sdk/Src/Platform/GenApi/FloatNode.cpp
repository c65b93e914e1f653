#include "GenApi/FloatNode.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "GenApi/IntegerNode.h"
#include "GenApi/NodeMap.h"

using namespace std::string_view_literals;

namespace QxGenApi::detail {

std::string FormatFloat(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    if (std::strtod(buf, nullptr) != v) std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

double ParseFloatText(const std::string& text, const std::string& node) {
    try {
        return ParseFloatLiteral(text, node, "value");
    } catch (const RuntimeException&) {
        QX_GENAPI_THROW(InvalidArgumentException, "Node '%s': cannot convert '%.100s' to a number", node.c_str(),
                        text.c_str());
    }
}

void CheckFloatRange(IFloat& n, const std::string& name, double v) {
    if (std::isnan(v)) QX_GENAPI_THROW(OutOfRangeException, "Value of node '%s' is not a number", name.c_str());
    double mn = n.GetMin();
    double mx = n.GetMax();
    if (v < mn) {
        QX_GENAPI_THROW(OutOfRangeException, "Value %.17g of node '%s' is below its minimum %.17g", v, name.c_str(),
                        mn);
    }
    if (v > mx) {
        QX_GENAPI_THROW(OutOfRangeException, "Value %.17g of node '%s' is above its maximum %.17g", v, name.c_str(),
                        mx);
    }
}

EDisplayNotation ParseDisplayNotation(const std::string& t) {
    if (t == "Fixed"sv) return fnFixed;
    if (t == "Scientific"sv) return fnScientific;
    return fnAutomatic;
}

void FloatNode::configure(const NodeDesc& d) {
    Node::configure(d);
    m_source.configure(d, true);
    for (const Prop& p : d.props) {
        if (p.name == "Representation"sv) {
            m_representation = ParseRepresentation(p.text);
        } else if (p.name == "Unit"sv) {
            m_unit = p.text;
        } else if (p.name == "DisplayNotation"sv) {
            m_notation = ParseDisplayNotation(p.text);
        } else if (p.name == "DisplayPrecision"sv) {
            m_precision = ParseIntLiteral(p.text, d.name, "DisplayPrecision");
        }
    }
    readNumber(d, "Min", "pMin", m_min, true);
    readNumber(d, "Max", "pMax", m_max, true);
    readNumber(d, "Inc", "pInc", m_inc, true);
    if (!m_source.isSet()) {
        QX_GENAPI_THROW(RuntimeException, "node '%s': Float without Value, pValue or pIndex", d.name.c_str());
    }
}

void FloatNode::link() {
    Node::link();
    m_source.link(*this);
    m_min.resolve(*this, Edge::Bound);
    m_max.resolve(*this, Edge::Bound);
    m_inc.resolve(*this, Edge::Bound);
}

NumberRef& FloatNode::current() const { return m_source.current(name()); }

EAccessMode FloatNode::ownAccessMode() const { return current().access(); }

double FloatNode::GetValue(bool verify, bool ignoreCache) {
    Scope s(map());
    s.checkDepth();
    checkReadable();
    double v = current().getFloat(verify, ignoreCache);
    if (verify) CheckFloatRange(*this, name(), v);
    return v;
}

void FloatNode::SetValue(double value, bool verify) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    if (verify) CheckFloatRange(*this, name(), value);
    NumberRef& target = current();
    target.writeFloat(value, verify);
    if (!target.isNode()) notifyModified();
}

void FloatNode::checkWriteFloat(double value, bool verify) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    if (verify) CheckFloatRange(*this, name(), value);
    current().checkWriteFloat(value, verify);
}

double FloatNode::GetMin() {
    Scope s(map());
    s.checkDepth();
    if (m_min.isSet()) return m_min.getFloat();
    NumberRef& c = current();
    if (c.isNode()) return c.minFloat();
    return -std::numeric_limits<double>::max();
}

double FloatNode::GetMax() {
    Scope s(map());
    s.checkDepth();
    if (m_max.isSet()) return m_max.getFloat();
    NumberRef& c = current();
    if (c.isNode()) return c.maxFloat();
    return std::numeric_limits<double>::max();
}

bool FloatNode::HasInc() {
    Scope s(map());
    if (m_inc.isSet()) return true;
    NumberRef& c = current();
    if (c.isNode() && c.floating()) return c.floating()->HasInc();
    return false;
}

double FloatNode::GetInc() {
    Scope s(map());
    s.checkDepth();
    if (m_inc.isSet()) return m_inc.getFloat();
    NumberRef& c = current();
    if (c.isNode() && c.floating() && c.floating()->HasInc()) return c.floating()->GetInc();
    QX_GENAPI_THROW(AccessException, "Node '%s' has no increment", name().c_str());
}

ERepresentation FloatNode::GetRepresentation() {
    Scope s(map());
    if (m_representation != _UndefinedRepresentation) return m_representation;
    if (m_source.value().isNode() && m_source.value().floating())
        return m_source.value().floating()->GetRepresentation();
    return PureNumber;
}

gcstring FloatNode::GetUnit() const {
    if (!m_unit.empty()) return m_unit;
    if (m_source.value().isNode() && m_source.value().floating()) return m_source.value().floating()->GetUnit();
    return "";
}

gcstring FloatNode::ToString(bool verify, bool ignoreCache) { return FormatFloat(GetValue(verify, ignoreCache)); }

void FloatNode::FromString(const gcstring& text, bool verify) { SetValue(ParseFloatText(text, name()), verify); }

bool FloatNode::IsValueCacheValid() const {
    Scope s(map());
    try {
        return current().cacheValid();
    } catch (...) {
        return false;
    }
}

} // namespace QxGenApi::detail
