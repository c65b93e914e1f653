// Formula-driven nodes: SwissKnife (IFloat, double arithmetic), IntSwissKnife (IInteger,
// integer arithmetic), Converter (IFloat over a pValue node with FormulaTo / FormulaFrom) and
// IntConverter (its integer twin). FormulaBinding binds a Formula's identifiers to the nodes
// named by <pVariable Name="X"> (also X.Value, X.Min, X.Max, X.Inc and, for an enumeration,
// X.<EntryName>), to <Constant> and <Expression> children and to FROM / TO; registers use it
// for an inline address <IntSwissKnife>.
#pragma once
#include <memory>

#include "GenApi/Formula.h"
#include "GenApi/Node.h"

namespace QxGenApi::detail {

class FormulaBinding : public VariableReader {
public:
    // Reads pVariable / Constant / Expression from the properties (or an inline knife's children).
    void configure(const std::vector<Prop>& props, const std::string& owner);
    void setFormulaText(const std::string& text) { m_text = text; }
    const std::string& formulaText() const { return m_text; }
    // Declares FROM or TO; its value is set with setSpecial before each evaluation.
    void declareSpecial(const std::string& name) { m_specialName = name; }
    // Resolves the variables (links of kind Read from owner) and compiles the formula.
    void link(Node& owner);

    int64_t evalInt(bool ignoreCache);
    double evalFloat(bool ignoreCache);
    void setSpecial(double f, int64_t i) {
        m_specialFloat = f;
        m_specialInt = i;
    }
    // RO when every variable node is readable, NA otherwise.
    EAccessMode access() const;
    bool cacheValid() const;

    int64_t readInt(int slot) override;
    double readFloat(int slot) override;

private:
    // Whether the formula or one of its expressions names a member "variable.<something>".
    bool mentionsMember(const std::string& variable) const;
    enum class VarKind { Value, Min, Max, Inc, Constant, Special };
    struct Var {
        VarKind kind = VarKind::Value;
        Node* node = nullptr;
        NumberRef ref;
        int64_t constInt = 0;
        double constFloat = 0;
    };
    std::vector<std::pair<std::string, std::string>> m_varDecls; // name, node name
    std::vector<std::pair<std::string, std::string>> m_constants;
    std::vector<std::pair<std::string, std::string>> m_expressions;
    std::string m_text;
    std::string m_specialName;
    std::string m_owner;
    Formula m_formula;
    std::vector<Var> m_vars; // by slot
    bool m_ignoreCache = false;
    double m_specialFloat = 0;
    int64_t m_specialInt = 0;
};

class SwissKnifeNode : public Node, public IFloat {
public:
    using Node::Node;
    void configure(const NodeDesc& desc) override;
    void link() override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIFloat; }

    void SetValue(double value, bool verify = true) override;
    double GetValue(bool verify = false, bool ignoreCache = false) override;
    double GetMin() override;
    double GetMax() override;
    bool HasInc() override { return false; }
    EIncMode GetIncMode() override { return noIncrement; }
    double GetInc() override;
    ERepresentation GetRepresentation() override { return m_representation; }
    gcstring GetUnit() const override { return m_unit; }
    EDisplayNotation GetDisplayNotation() const override { return m_notation; }
    int64_t GetDisplayPrecision() const override { return m_precision; }
    gcstring ToString(bool verify = false, bool ignoreCache = false) override;
    void FromString(const gcstring& valueString, bool verify = true) override;
    bool IsValueCacheValid() const override { return m_formula.cacheValid(); }

protected:
    EAccessMode ownAccessMode() const override { return m_formula.access(); }

private:
    mutable FormulaBinding m_formula;
    ERepresentation m_representation = PureNumber;
    std::string m_unit;
    EDisplayNotation m_notation = fnAutomatic;
    int64_t m_precision = 6;
};

class IntSwissKnifeNode : public Node, public IInteger {
public:
    using Node::Node;
    void configure(const NodeDesc& desc) override;
    void link() override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIInteger; }

    void SetValue(int64_t value, bool verify = true) override;
    int64_t GetValue(bool verify = false, bool ignoreCache = false) override;
    int64_t GetMin() override;
    int64_t GetMax() override;
    int64_t GetInc() override { return 1; }
    EIncMode GetIncMode() override { return fixedIncrement; }
    ERepresentation GetRepresentation() override { return m_representation; }
    gcstring GetUnit() const override { return m_unit; }
    gcstring ToString(bool verify = false, bool ignoreCache = false) override;
    void FromString(const gcstring& valueString, bool verify = true) override;
    bool IsValueCacheValid() const override { return m_formula.cacheValid(); }

protected:
    EAccessMode ownAccessMode() const override { return m_formula.access(); }

private:
    mutable FormulaBinding m_formula;
    ERepresentation m_representation = PureNumber;
    std::string m_unit;
};

// Shared machinery of Converter and IntConverter.
//
// Bounds: the converter's own Min/pMin and Max/pMax where the file gives them; otherwise they
// follow <Slope>. Increasing maps pValue's minimum to the converter's minimum and its maximum
// to the maximum; Decreasing swaps them; Automatic (the default) takes the smaller and the
// larger of the two images; Varying means the images of pValue's bounds bound nothing (the
// function turns), so the converter answers the widest range of its type. An image that
// cannot be computed leaves that bound at the widest value.
class ConverterCore {
public:
    void configure(const NodeDesc& desc, bool asFloat);
    void link(Node& owner);
    // Reads the pValue node and hands its value to FormulaFrom as TO (the converter's value is
    // FormulaFrom evaluated then; the node's target value is FormulaTo with FROM = value).
    void loadTargetValue(bool ignoreCache);
    // The pValue value for the converter value v (FormulaTo with FROM = v).
    double targetFloat(double v);
    int64_t targetInt(int64_t v);
    // [mn, mx] as described above; T is double (Converter) or int64_t (IntConverter).
    template <typename T>
    void bounds(T& mn, T& mx);
    NumberRef target;
    FormulaBinding formulaTo;   // FROM -> target
    FormulaBinding formulaFrom; // TO -> value
    NumberRef ownMin, ownMax;
    ESlope slope = Automatic;
};

class ConverterNode : public Node, public IFloat {
public:
    using Node::Node;
    void configure(const NodeDesc& desc) override;
    void link() override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIFloat; }

    void SetValue(double value, bool verify = true) override;
    double GetValue(bool verify = false, bool ignoreCache = false) override;
    double GetMin() override;
    double GetMax() override;
    bool HasInc() override { return false; }
    EIncMode GetIncMode() override { return noIncrement; }
    double GetInc() override;
    ERepresentation GetRepresentation() override { return m_representation; }
    gcstring GetUnit() const override { return m_unit; }
    EDisplayNotation GetDisplayNotation() const override { return m_notation; }
    int64_t GetDisplayPrecision() const override { return m_precision; }
    gcstring ToString(bool verify = false, bool ignoreCache = false) override;
    void FromString(const gcstring& valueString, bool verify = true) override;
    bool IsValueCacheValid() const override;
    void checkWriteFloat(double value, bool verify) override;

protected:
    EAccessMode ownAccessMode() const override;

private:
    // Computes the pValue value for `value` and writes it there or, with checkOnly, only checks
    // that the write would be taken.
    void passOn(double value, bool verify, bool checkOnly);
    ConverterCore m_core;
    ERepresentation m_representation = PureNumber;
    std::string m_unit;
    EDisplayNotation m_notation = fnAutomatic;
    int64_t m_precision = 6;
};

class IntConverterNode : public Node, public IInteger {
public:
    using Node::Node;
    void configure(const NodeDesc& desc) override;
    void link() override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIInteger; }

    void SetValue(int64_t value, bool verify = true) override;
    int64_t GetValue(bool verify = false, bool ignoreCache = false) override;
    int64_t GetMin() override;
    int64_t GetMax() override;
    int64_t GetInc() override { return 1; }
    EIncMode GetIncMode() override { return fixedIncrement; }
    ERepresentation GetRepresentation() override { return m_representation; }
    gcstring GetUnit() const override { return m_unit; }
    gcstring ToString(bool verify = false, bool ignoreCache = false) override;
    void FromString(const gcstring& valueString, bool verify = true) override;
    bool IsValueCacheValid() const override;
    void checkWriteInt(int64_t value, bool verify) override;

protected:
    EAccessMode ownAccessMode() const override;

private:
    // As ConverterNode::passOn.
    void passOn(int64_t value, bool verify, bool checkOnly);
    ConverterCore m_core;
    ERepresentation m_representation = PureNumber;
    std::string m_unit;
};

} // namespace QxGenApi::detail
