// FloatNode: a <Float>. Its value is a literal (<Value>, writable), another number node
// (<pValue>, which may be an Integer: values are converted and rounded) or, with <pIndex>, the
// indexed entry for the selector's value. Bounds come from Min/pMin, Max/pMax, optional
// Inc/pInc, or from the pValue node. Also home of the text and range helpers every IFloat kind
// shares.
#pragma once
#include "GenApi/Node.h"

namespace QxGenApi::detail {

// Shortest text that reads back as the same double.
std::string FormatFloat(double value);
// InvalidArgumentException when the text is not a number.
double ParseFloatText(const std::string& text, const std::string& node);
// OutOfRangeException when the value is NaN or outside [GetMin, GetMax].
void CheckFloatRange(IFloat& node, const std::string& name, double value);
EDisplayNotation ParseDisplayNotation(const std::string& text);

class FloatNode : public Node, public IFloat {
public:
    using Node::Node;
    void configure(const NodeDesc& desc) override;
    void link() override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIFloat; }

    void SetValue(double value, bool verify = true) override;
    double GetValue(bool verify = false, bool ignoreCache = false) override;
    double GetMin() override;
    double GetMax() override;
    bool HasInc() override;
    EIncMode GetIncMode() override { return HasInc() ? fixedIncrement : noIncrement; }
    double GetInc() override;
    ERepresentation GetRepresentation() override;
    gcstring GetUnit() const override;
    EDisplayNotation GetDisplayNotation() const override { return m_notation; }
    int64_t GetDisplayPrecision() const override { return m_precision; }

    gcstring ToString(bool verify = false, bool ignoreCache = false) override;
    void FromString(const gcstring& valueString, bool verify = true) override;
    bool IsValueCacheValid() const override;
    void checkWriteFloat(double value, bool verify) override;

protected:
    EAccessMode ownAccessMode() const override;

private:
    NumberRef& current() const;

    SelectedValue m_source;
    NumberRef m_min, m_max, m_inc;
    ERepresentation m_representation = _UndefinedRepresentation;
    std::string m_unit;
    EDisplayNotation m_notation = fnAutomatic;
    int64_t m_precision = 6;
};

} // namespace QxGenApi::detail
