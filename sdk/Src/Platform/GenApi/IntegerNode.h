// IntegerNode: an <Integer>. Its value is a literal (<Value>, writable), another node
// (<pValue>, with <pValueCopy> targets written alongside) or, with <pIndex>, the
// <ValueIndexed>/<pValueIndexed> entry for the selector's current value (else <ValueDefault> /
// <pValueDefault>). Bounds come from Min/pMin, Max/pMax, Inc/pInc, or from the pValue node when
// the file gives none. Also home of the text and range helpers every IInteger kind shares.
#pragma once
#include "GenApi/Node.h"

namespace QxGenApi::detail {

// Decimal, or by representation: HexNumber "0x..", IPV4Address "a.b.c.d", MACAddress "xx:..".
std::string FormatInteger(int64_t value, ERepresentation representation);
// Accepts decimal, 0x hex, dotted IPv4 and colon-separated MAC forms; InvalidArgumentException otherwise.
int64_t ParseIntegerText(const std::string& text, const std::string& node);
// OutOfRangeException when the value is outside [GetMin, GetMax] or off GetInc.
void CheckIntegerRange(IInteger& node, const std::string& name, int64_t value);
ERepresentation ParseRepresentation(const std::string& text);

class IntegerNode : public Node, public IInteger {
public:
    using Node::Node;
    void configure(const NodeDesc& desc) override;
    void link() override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIInteger; }

    void SetValue(int64_t value, bool verify = true) override;
    int64_t GetValue(bool verify = false, bool ignoreCache = false) override;
    int64_t GetMin() override;
    int64_t GetMax() override;
    int64_t GetInc() override;
    EIncMode GetIncMode() override { return fixedIncrement; }
    ERepresentation GetRepresentation() override;
    gcstring GetUnit() const override;

    gcstring ToString(bool verify = false, bool ignoreCache = false) override;
    void FromString(const gcstring& valueString, bool verify = true) override;
    bool IsValueCacheValid() const override;
    void checkWriteInt(int64_t value, bool verify) override;

protected:
    EAccessMode ownAccessMode() const override;

private:
    NumberRef& current() const;

    SelectedValue m_source;
    std::vector<NumberRef> m_copies;
    NumberRef m_min, m_max, m_inc;
    ERepresentation m_representation = _UndefinedRepresentation;
    std::string m_unit;
};

} // namespace QxGenApi::detail
