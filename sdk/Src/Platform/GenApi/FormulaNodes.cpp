#include "GenApi/FormulaNodes.h"

#include <cmath>
#include <limits>

#include "GenApi/FloatNode.h"
#include "GenApi/IntegerNode.h"
#include "GenApi/NodeMap.h"

using namespace std::string_view_literals;

namespace QxGenApi::detail {

namespace {

constexpr double kDblMax = std::numeric_limits<double>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

int64_t roundToInt(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return kInt64Max;
    if (d <= -9.2233720368547758e18) return kInt64Min;
    return std::llround(d);
}

double finiteOr(double v, double fallback) { return std::isfinite(v) ? v : fallback; }

} // namespace

// ---------------------------------------------------------------------------------------------
// FormulaBinding

void FormulaBinding::configure(const std::vector<Prop>& props, const std::string& owner) {
    m_owner = owner;
    for (const Prop& p : props) {
        const std::string* attrName = p.attr("Name");
        if (p.name == "pVariable"sv) {
            if (!attrName) QX_GENAPI_THROW(RuntimeException, "node '%s': pVariable without Name", owner.c_str());
            m_varDecls.emplace_back(*attrName, p.text);
        } else if (p.name == "Constant"sv) {
            if (!attrName) QX_GENAPI_THROW(RuntimeException, "node '%s': Constant without Name", owner.c_str());
            m_constants.emplace_back(*attrName, p.text);
        } else if (p.name == "Expression"sv) {
            if (!attrName) QX_GENAPI_THROW(RuntimeException, "node '%s': Expression without Name", owner.c_str());
            m_expressions.emplace_back(*attrName, p.text);
        } else if (p.name == "Formula"sv) {
            m_text = p.text;
        }
    }
}

bool FormulaBinding::mentionsMember(const std::string& variable) const {
    const std::string prefix = variable + '.';
    if (m_text.find(prefix) != std::string::npos) return true;
    for (const auto& e : m_expressions) {
        if (e.second.find(prefix) != std::string::npos) return true;
    }
    return false;
}

void FormulaBinding::link(Node& owner) {
    m_owner = owner.name();
    m_vars.reserve(m_varDecls.size() + 1);
    for (const auto& decl : m_varDecls) {
        Var v;
        v.ref.setName(decl.second, "pVariable");
        v.ref.resolve(owner, Edge::Read);
        v.node = v.ref.node();
        m_formula.addVariable(decl.first);
        m_vars.push_back(v);
        // X.Value, X.Min, ... and X.<Entry> are bound only when the formula names one of them:
        // most formulas do not, and a large enumeration would add a variable per entry.
        if (!mentionsMember(decl.first)) continue;
        if (v.ref.integer() || v.ref.floating()) {
            static const struct {
                const char* suffix;
                VarKind kind;
            } suffixes[] = {
                {"Value", VarKind::Value}, {"Min", VarKind::Min}, {"Max", VarKind::Max}, {"Inc", VarKind::Inc}};
            for (const auto& s : suffixes) {
                Var sv = v;
                sv.kind = s.kind;
                m_formula.addVariable(decl.first + "." + s.suffix);
                m_vars.push_back(sv);
            }
        } else if (auto* e = dynamic_cast<IEnumeration*>(v.node)) {
            node_vector entries;
            e->GetEntries(entries);
            for (INode* n : entries) {
                auto* entry = dynamic_cast<IEnumEntry*>(n);
                if (!entry) continue;
                // The same number the enumeration itself stands for when this entry is current.
                Var cv;
                cv.kind = VarKind::Constant;
                cv.constFloat = entry->GetNumericValue();
                cv.constInt = roundToInt(cv.constFloat);
                m_formula.addVariable(decl.first + "." + entry->GetSymbolic());
                m_vars.push_back(cv);
            }
        }
    }
    if (!m_specialName.empty()) {
        Var sp;
        sp.kind = VarKind::Special;
        m_formula.addVariable(m_specialName);
        m_vars.push_back(sp);
    }
    try {
        for (const auto& c : m_constants) m_formula.addConstant(c.first, c.second);
        for (const auto& e : m_expressions) m_formula.addExpression(e.first, e.second);
        m_formula.compile(m_text);
    } catch (const RuntimeException& e) {
        QX_GENAPI_THROW(RuntimeException, "node '%s': %s", m_owner.c_str(), e.GetDescription().c_str());
    }
}

int64_t FormulaBinding::readInt(int slot) {
    Var& v = m_vars[static_cast<size_t>(slot)];
    switch (v.kind) {
    case VarKind::Value: return v.ref.getInt(false, m_ignoreCache);
    case VarKind::Min: return v.ref.minInt();
    case VarKind::Max: return v.ref.maxInt();
    case VarKind::Inc: return v.ref.incInt();
    case VarKind::Constant: return v.constInt;
    case VarKind::Special: return m_specialInt;
    }
    return 0;
}

double FormulaBinding::readFloat(int slot) {
    Var& v = m_vars[static_cast<size_t>(slot)];
    switch (v.kind) {
    case VarKind::Value: return v.ref.getFloat(false, m_ignoreCache);
    case VarKind::Min: return v.ref.minFloat();
    case VarKind::Max: return v.ref.maxFloat();
    case VarKind::Inc:
        if (v.ref.floating() && v.ref.floating()->HasInc()) return v.ref.floating()->GetInc();
        return static_cast<double>(v.ref.incInt());
    case VarKind::Constant: return v.constFloat;
    case VarKind::Special: return m_specialFloat;
    }
    return 0;
}

int64_t FormulaBinding::evalInt(bool ignoreCache) {
    bool save = m_ignoreCache;
    m_ignoreCache = ignoreCache;
    try {
        int64_t r = m_formula.evalInt(*this);
        m_ignoreCache = save;
        return r;
    } catch (...) {
        m_ignoreCache = save;
        throw;
    }
}

double FormulaBinding::evalFloat(bool ignoreCache) {
    bool save = m_ignoreCache;
    m_ignoreCache = ignoreCache;
    try {
        double r = m_formula.evalFloat(*this);
        m_ignoreCache = save;
        return r;
    } catch (...) {
        m_ignoreCache = save;
        throw;
    }
}

EAccessMode FormulaBinding::access() const {
    // Variables are read lazily (a ternary reads one branch), so a formula node is RO; a
    // variable that cannot be read when it is needed fails that read.
    return RO;
}

bool FormulaBinding::cacheValid() const {
    for (const Var& v : m_vars) {
        if (v.kind == VarKind::Value && !v.ref.cacheValid()) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// SwissKnife

void SwissKnifeNode::configure(const NodeDesc& d) {
    Node::configure(d);
    m_formula.configure(d.props, d.name);
    for (const Prop& p : d.props) {
        if (p.name == "Representation"sv) m_representation = ParseRepresentation(p.text);
        else if (p.name == "Unit"sv) m_unit = p.text;
        else if (p.name == "DisplayNotation"sv) m_notation = ParseDisplayNotation(p.text);
        else if (p.name == "DisplayPrecision"sv) m_precision = ParseIntLiteral(p.text, d.name, "DisplayPrecision");
    }
    if (m_representation == _UndefinedRepresentation) m_representation = PureNumber;
}

void SwissKnifeNode::link() {
    Node::link();
    m_formula.link(*this);
}

double SwissKnifeNode::GetValue(bool verify, bool ignoreCache) {
    Scope s(map());
    s.checkDepth();
    checkReadable();
    double v = m_formula.evalFloat(ignoreCache);
    if (verify) CheckFloatRange(*this, name(), v);
    return v;
}

void SwissKnifeNode::SetValue(double, bool) {
    Scope s(map());
    checkWritable();
    QX_GENAPI_THROW(AccessException, "Node '%s' is not writable", name().c_str());
}

double SwissKnifeNode::GetMin() { return -kDblMax; }
double SwissKnifeNode::GetMax() { return kDblMax; }
double SwissKnifeNode::GetInc() { QX_GENAPI_THROW(AccessException, "Node '%s' has no increment", name().c_str()); }
gcstring SwissKnifeNode::ToString(bool verify, bool ignoreCache) { return FormatFloat(GetValue(verify, ignoreCache)); }
void SwissKnifeNode::FromString(const gcstring& text, bool verify) { SetValue(ParseFloatText(text, name()), verify); }

// ---------------------------------------------------------------------------------------------
// IntSwissKnife

void IntSwissKnifeNode::configure(const NodeDesc& d) {
    Node::configure(d);
    m_formula.configure(d.props, d.name);
    for (const Prop& p : d.props) {
        if (p.name == "Representation"sv) m_representation = ParseRepresentation(p.text);
        else if (p.name == "Unit"sv) m_unit = p.text;
    }
    if (m_representation == _UndefinedRepresentation) m_representation = PureNumber;
}

void IntSwissKnifeNode::link() {
    Node::link();
    m_formula.link(*this);
}

int64_t IntSwissKnifeNode::GetValue(bool verify, bool ignoreCache) {
    Scope s(map());
    s.checkDepth();
    checkReadable();
    int64_t v = m_formula.evalInt(ignoreCache);
    if (verify) CheckIntegerRange(*this, name(), v);
    return v;
}

void IntSwissKnifeNode::SetValue(int64_t, bool) {
    Scope s(map());
    checkWritable();
    QX_GENAPI_THROW(AccessException, "Node '%s' is not writable", name().c_str());
}

int64_t IntSwissKnifeNode::GetMin() { return kInt64Min; }
int64_t IntSwissKnifeNode::GetMax() { return kInt64Max; }
gcstring IntSwissKnifeNode::ToString(bool verify, bool ignoreCache) {
    Scope s(map());
    return FormatInteger(GetValue(verify, ignoreCache), m_representation);
}
void IntSwissKnifeNode::FromString(const gcstring& text, bool verify) {
    SetValue(ParseIntegerText(text, name()), verify);
}

// ---------------------------------------------------------------------------------------------
// Converters

namespace {

// What the bounds computation needs of each value type.
template <typename T>
struct ConverterNumber;

template <>
struct ConverterNumber<double> {
    static constexpr double kLowest = -kDblMax;
    static constexpr double kHighest = kDblMax;
    static double targetMin(const NumberRef& r) { return r.minFloat(); }
    static double targetMax(const NumberRef& r) { return r.maxFloat(); }
    static double read(const NumberRef& r) { return r.getFloat(); }
    static double from(FormulaBinding& f, double t) {
        f.setSpecial(t, roundToInt(t));
        return f.evalFloat(false);
    }
    static double sane(double v, double fallback) { return std::isnan(v) ? fallback : v; }
    static double finite(double v, double fallback) { return finiteOr(v, fallback); }
};

template <>
struct ConverterNumber<int64_t> {
    static constexpr int64_t kLowest = kInt64Min;
    static constexpr int64_t kHighest = kInt64Max;
    static int64_t targetMin(const NumberRef& r) { return r.minInt(); }
    static int64_t targetMax(const NumberRef& r) { return r.maxInt(); }
    static int64_t read(const NumberRef& r) { return r.getInt(); }
    static int64_t from(FormulaBinding& f, int64_t t) {
        f.setSpecial(static_cast<double>(t), t);
        return f.evalInt(false);
    }
    static int64_t sane(int64_t v, int64_t) { return v; }
    static int64_t finite(int64_t v, int64_t) { return v; }
};

} // namespace

void ConverterCore::configure(const NodeDesc& d, bool asFloat) {
    const Prop* pValue = d.first("pValue");
    if (!pValue) QX_GENAPI_THROW(RuntimeException, "node '%s': %s without pValue", d.name.c_str(), d.kind.c_str());
    target.setName(pValue->text, "pValue");
    const Prop* to = d.first("FormulaTo");
    const Prop* from = d.first("FormulaFrom");
    if (!to || !from) {
        QX_GENAPI_THROW(RuntimeException, "node '%s': %s needs FormulaTo and FormulaFrom", d.name.c_str(),
                        d.kind.c_str());
    }
    formulaTo.configure(d.props, d.name);
    formulaTo.setFormulaText(to->text);
    formulaTo.declareSpecial("FROM");
    formulaFrom.configure(d.props, d.name);
    formulaFrom.setFormulaText(from->text);
    formulaFrom.declareSpecial("TO");
    Node::readNumber(d, "Min", "pMin", ownMin, asFloat);
    Node::readNumber(d, "Max", "pMax", ownMax, asFloat);
    if (const Prop* s = d.first("Slope")) {
        if (s->text == "Increasing"sv) slope = Increasing;
        else if (s->text == "Decreasing"sv) slope = Decreasing;
        else if (s->text == "Varying"sv) slope = Varying;
    }
}

void ConverterCore::link(Node& owner) {
    target.resolve(owner, Edge::Value);
    formulaTo.link(owner);
    formulaFrom.link(owner);
    ownMin.resolve(owner, Edge::Bound);
    ownMax.resolve(owner, Edge::Bound);
}

void ConverterCore::loadTargetValue(bool ignoreCache) {
    if (target.isIntegerNode()) {
        int64_t t = target.getInt(false, ignoreCache);
        formulaFrom.setSpecial(static_cast<double>(t), t);
    } else {
        double t = target.getFloat(false, ignoreCache);
        formulaFrom.setSpecial(t, roundToInt(t));
    }
}

double ConverterCore::targetFloat(double v) {
    formulaTo.setSpecial(v, roundToInt(v));
    return formulaTo.evalFloat(false);
}

int64_t ConverterCore::targetInt(int64_t v) {
    formulaTo.setSpecial(static_cast<double>(v), v);
    return formulaTo.evalInt(false);
}

template <typename T>
void ConverterCore::bounds(T& mn, T& mx) {
    using N = ConverterNumber<T>;
    mn = N::kLowest;
    mx = N::kHighest;
    const bool needMin = !ownMin.isSet();
    const bool needMax = !ownMax.isSet();
    if (!needMin) mn = N::read(ownMin);
    if (!needMax) mx = N::read(ownMax);
    if ((!needMin && !needMax) || slope == Varying) return;
    // The images of pValue's minimum (a) and maximum (b); one that cannot be computed stays at
    // the widest value of the bound it would give.
    const bool decreasing = slope == Decreasing;
    T a = decreasing ? N::kHighest : N::kLowest;
    T b = decreasing ? N::kLowest : N::kHighest;
    try {
        a = N::sane(N::from(formulaFrom, N::targetMin(target)), a);
    } catch (const GenericException&) {
    }
    try {
        b = N::sane(N::from(formulaFrom, N::targetMax(target)), b);
    } catch (const GenericException&) {
    }
    T lo = decreasing ? b : a;
    T hi = decreasing ? a : b;
    if (slope == Automatic) {
        lo = std::min(a, b);
        hi = std::max(a, b);
    }
    if (needMin) mn = N::finite(lo, N::kLowest);
    if (needMax) mx = N::finite(hi, N::kHighest);
}

void ConverterNode::configure(const NodeDesc& d) {
    Node::configure(d);
    m_core.configure(d, true);
    for (const Prop& p : d.props) {
        if (p.name == "Representation"sv) m_representation = ParseRepresentation(p.text);
        else if (p.name == "Unit"sv) m_unit = p.text;
        else if (p.name == "DisplayNotation"sv) m_notation = ParseDisplayNotation(p.text);
        else if (p.name == "DisplayPrecision"sv) m_precision = ParseIntLiteral(p.text, d.name, "DisplayPrecision");
    }
    if (m_representation == _UndefinedRepresentation) m_representation = PureNumber;
}

void ConverterNode::link() {
    Node::link();
    m_core.link(*this);
}

EAccessMode ConverterNode::ownAccessMode() const { return m_core.target.access(); }

double ConverterNode::GetValue(bool verify, bool ignoreCache) {
    Scope s(map());
    s.checkDepth();
    checkReadable();
    m_core.loadTargetValue(ignoreCache);
    double v = m_core.formulaFrom.evalFloat(ignoreCache);
    if (verify) CheckFloatRange(*this, name(), v);
    return v;
}

void ConverterNode::passOn(double value, bool verify, bool checkOnly) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    if (verify) CheckFloatRange(*this, name(), value);
    double t = m_core.targetFloat(value);
    NumberRef& target = m_core.target;
    if (target.isIntegerNode()) {
        if (checkOnly) target.checkWriteInt(roundToInt(t), verify);
        else target.writeInt(roundToInt(t), verify);
    } else {
        if (checkOnly) target.checkWriteFloat(t, verify);
        else target.writeFloat(t, verify);
    }
}

void ConverterNode::SetValue(double value, bool verify) { passOn(value, verify, false); }
void ConverterNode::checkWriteFloat(double value, bool verify) { passOn(value, verify, true); }

double ConverterNode::GetMin() {
    Scope s(map());
    s.checkDepth();
    double mn, mx;
    m_core.bounds(mn, mx);
    return mn;
}

double ConverterNode::GetMax() {
    Scope s(map());
    s.checkDepth();
    double mn, mx;
    m_core.bounds(mn, mx);
    return mx;
}

double ConverterNode::GetInc() { QX_GENAPI_THROW(AccessException, "Node '%s' has no increment", name().c_str()); }
gcstring ConverterNode::ToString(bool verify, bool ignoreCache) { return FormatFloat(GetValue(verify, ignoreCache)); }
void ConverterNode::FromString(const gcstring& text, bool verify) { SetValue(ParseFloatText(text, name()), verify); }
bool ConverterNode::IsValueCacheValid() const {
    Scope s(map());
    return m_core.target.cacheValid() && m_core.formulaFrom.cacheValid();
}

void IntConverterNode::configure(const NodeDesc& d) {
    Node::configure(d);
    m_core.configure(d, false);
    for (const Prop& p : d.props) {
        if (p.name == "Representation"sv) m_representation = ParseRepresentation(p.text);
        else if (p.name == "Unit"sv) m_unit = p.text;
    }
    if (m_representation == _UndefinedRepresentation) m_representation = PureNumber;
}

void IntConverterNode::link() {
    Node::link();
    m_core.link(*this);
}

EAccessMode IntConverterNode::ownAccessMode() const { return m_core.target.access(); }

int64_t IntConverterNode::GetValue(bool verify, bool ignoreCache) {
    Scope s(map());
    s.checkDepth();
    checkReadable();
    m_core.loadTargetValue(ignoreCache);
    int64_t v = m_core.formulaFrom.evalInt(ignoreCache);
    if (verify) CheckIntegerRange(*this, name(), v);
    return v;
}

void IntConverterNode::passOn(int64_t value, bool verify, bool checkOnly) {
    Scope s(map());
    s.checkDepth();
    checkWritable();
    if (verify) CheckIntegerRange(*this, name(), value);
    int64_t t = m_core.targetInt(value);
    NumberRef& target = m_core.target;
    if (target.isIntegerNode()) {
        if (checkOnly) target.checkWriteInt(t, verify);
        else target.writeInt(t, verify);
    } else {
        if (checkOnly) target.checkWriteFloat(static_cast<double>(t), verify);
        else target.writeFloat(static_cast<double>(t), verify);
    }
}

void IntConverterNode::SetValue(int64_t value, bool verify) { passOn(value, verify, false); }
void IntConverterNode::checkWriteInt(int64_t value, bool verify) { passOn(value, verify, true); }

int64_t IntConverterNode::GetMin() {
    Scope s(map());
    s.checkDepth();
    int64_t mn, mx;
    m_core.bounds(mn, mx);
    return mn;
}

int64_t IntConverterNode::GetMax() {
    Scope s(map());
    s.checkDepth();
    int64_t mn, mx;
    m_core.bounds(mn, mx);
    return mx;
}

gcstring IntConverterNode::ToString(bool verify, bool ignoreCache) {
    Scope s(map());
    return FormatInteger(GetValue(verify, ignoreCache), m_representation);
}
void IntConverterNode::FromString(const gcstring& text, bool verify) {
    SetValue(ParseIntegerText(text, name()), verify);
}
bool IntConverterNode::IsValueCacheValid() const {
    Scope s(map());
    return m_core.target.cacheValid() && m_core.formulaFrom.cacheValid();
}

} // namespace QxGenApi::detail
