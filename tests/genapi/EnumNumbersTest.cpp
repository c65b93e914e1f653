// An Enumeration read as a number by another node - a formula variable, an Integer's or a
// Float's pValue, a Converter's pValue - gives its current entry's NumericValue (the entry's
// Value when it has none); a register that matches no entry fails that read as it fails reading
// the enumeration itself, and what depends on the read (an availability formula) is refused.
#include <gtest/gtest.h>

#include <cmath>

#include "GenApiTestUtil.h"

using namespace QxGenApi;
using qx::test::Fixture;

namespace {

// A gain stage selected by an enumeration whose entries carry the gain as NumericValue (the
// last entry has none), read by a float and an integer formula, an Integer, a Float, a
// Converter and a Boolean.
const char* const kGainDescription = R"(
<IntReg Name="GainModeReg"><Address>0x00</Address><Length>4</Length><AccessMode>RW</AccessMode>
  <pPort>Device</pPort><Endianess>LittleEndian</Endianess></IntReg>
<Enumeration Name="GainMode">
  <EnumEntry Name="Low"><Value>0</Value><NumericValue>1.0</NumericValue></EnumEntry>
  <EnumEntry Name="Mid"><Value>1</Value><NumericValue>2.5</NumericValue></EnumEntry>
  <EnumEntry Name="High"><Value>2</Value><NumericValue>8</NumericValue></EnumEntry>
  <EnumEntry Name="Raw"><Value>5</Value></EnumEntry>
  <pValue>GainModeReg</pValue>
</Enumeration>
<Integer Name="BaseGain"><Value>10</Value></Integer>
<SwissKnife Name="EffectiveGain"><pVariable Name="G">GainMode</pVariable><pVariable Name="B">BaseGain</pVariable>
  <Formula>B * G</Formula></SwissKnife>
<IntSwissKnife Name="GainStep"><pVariable Name="G">GainMode</pVariable><Formula>G * 4</Formula></IntSwissKnife>
<IntSwissKnife Name="IsHigh"><pVariable Name="G">GainMode</pVariable><Formula>G = G.High</Formula></IntSwissKnife>
<SwissKnife Name="IsMid"><pVariable Name="G">GainMode</pVariable><Formula>G = G.Mid</Formula></SwissKnife>
<Integer Name="GainAsInteger"><pValue>GainMode</pValue></Integer>
<Float Name="GainAsFloat"><pValue>GainMode</pValue></Float>
<Converter Name="GainDb"><pVariable Name="G">GainMode</pVariable><FormulaTo>FROM / 2</FormulaTo>
  <FormulaFrom>TO * 2</FormulaFrom><pValue>GainMode</pValue></Converter>
<Boolean Name="GainOn"><pValue>GainMode</pValue><OnValue>8</OnValue><OffValue>1</OffValue></Boolean>
)";

TEST(EnumerationAsNumber, ReadsTheCurrentEntrysNumericValue) {
    Fixture f(kGainDescription);
    CFloatPtr gain = f.node("EffectiveGain");
    CIntegerPtr step = f.node("GainStep");
    CIntegerPtr asInteger = f.node("GainAsInteger");
    CFloatPtr asFloat = f.node("GainAsFloat");
    CFloatPtr db = f.node("GainDb");
    const struct {
        uint32_t reg;
        double numeric;
        int64_t high, mid;
    } cases[] = {{0, 1.0, 0, 0}, {1, 2.5, 0, 1}, {2, 8.0, 1, 0}, {5, 5.0, 0, 0}};
    for (const auto& c : cases) {
        f.port.setU32Le(0, c.reg);
        EXPECT_DOUBLE_EQ(gain->GetValue(false, true), 10 * c.numeric) << c.reg;
        EXPECT_DOUBLE_EQ(asFloat->GetValue(false, true), c.numeric) << c.reg;
        EXPECT_DOUBLE_EQ(db->GetValue(false, true), 2 * c.numeric) << c.reg;
        // Integer readers take the numeric value rounded to the nearest integer.
        EXPECT_EQ(asInteger->GetValue(false, true), std::llround(c.numeric)) << c.reg;
        EXPECT_EQ(step->GetValue(false, true), std::llround(c.numeric) * 4) << c.reg;
        // An entry named in a formula stands for the same numeric value.
        EXPECT_EQ(CIntegerPtr(f.node("IsHigh"))->GetValue(false, true), c.high) << c.reg;
        EXPECT_DOUBLE_EQ(CFloatPtr(f.node("IsMid"))->GetValue(false, true), static_cast<double>(c.mid)) << c.reg;
    }
    f.port.setU32Le(0, 2);
    EXPECT_TRUE(CBooleanPtr(f.node("GainOn"))->GetValue(false, true));
}

TEST(EnumerationAsNumber, WritesGoToTheEntryOfThatNumericValue) {
    Fixture f(kGainDescription);
    CFloatPtr(f.node("GainAsFloat"))->SetValue(2.5);
    EXPECT_EQ(f.port.u32Le(0), 1u);
    CIntegerPtr(f.node("GainAsInteger"))->SetValue(8);
    EXPECT_EQ(f.port.u32Le(0), 2u);
    CIntegerPtr(f.node("GainAsInteger"))->SetValue(5); // the entry without NumericValue
    EXPECT_EQ(f.port.u32Le(0), 5u);
    CFloatPtr(f.node("GainDb"))->SetValue(2.0); // FROM 2 -> 1.0: Low
    EXPECT_EQ(f.port.u32Le(0), 0u);
    CBooleanPtr(f.node("GainOn"))->SetValue(true);
    EXPECT_EQ(f.port.u32Le(0), 2u);
    // No entry has the number 2 (2 is High's register value, not its number), nor 2.4: refused,
    // nothing written.
    f.port.clearAccesses();
    EXPECT_THROW(CIntegerPtr(f.node("GainAsInteger"))->SetValue(2), OutOfRangeException);
    EXPECT_THROW(CFloatPtr(f.node("GainAsFloat"))->SetValue(2.4), OutOfRangeException);
    EXPECT_EQ(f.port.writeCount(), 0u);
    EXPECT_EQ(f.port.u32Le(0), 2u);
}

// A user-set selector whose register holds a value no entry has: the availability formula of
// the save command reads the selector, so the command is not available and is not executed.
const char* const kUserSetDescription = R"(
<IntReg Name="UserSetSelectorReg"><Address>0x00</Address><Length>4</Length><AccessMode>RW</AccessMode>
  <pPort>Device</pPort><Endianess>LittleEndian</Endianess></IntReg>
<Enumeration Name="UserSetSelector">
  <EnumEntry Name="Default"><Value>0</Value></EnumEntry>
  <EnumEntry Name="UserSet1"><Value>1</Value></EnumEntry>
  <EnumEntry Name="UserSet2"><Value>2</Value></EnumEntry>
  <pValue>UserSetSelectorReg</pValue>
</Enumeration>
<Integer Name="Busy"><Value>0</Value></Integer>
<IntSwissKnife Name="UserSetSave_IsAvailable">
  <pVariable Name="VAR_USERSETSELECTOR">UserSetSelector</pVariable><pVariable Name="VAR_BUSY">Busy</pVariable>
  <Formula>(VAR_USERSETSELECTOR &lt;&gt; 0) || (VAR_BUSY = 1)</Formula>
</IntSwissKnife>
<IntReg Name="UserSetSaveReg"><Address>0x10</Address><Length>4</Length><AccessMode>RW</AccessMode>
  <pPort>Device</pPort><Endianess>LittleEndian</Endianess></IntReg>
<Command Name="UserSetSave"><pIsAvailable>UserSetSave_IsAvailable</pIsAvailable><pValue>UserSetSaveReg</pValue>
  <CommandValue>1</CommandValue></Command>
<Integer Name="SelectorNumber"><pValue>UserSetSelector</pValue></Integer>
)";

TEST(EnumerationAsNumber, ARegisterMatchingNoEntryFailsTheReadAndWhatDependsOnIt) {
    Fixture f(kUserSetDescription);
    CEnumerationPtr selector = f.node("UserSetSelector");
    CCommandPtr save = f.node("UserSetSave");
    f.port.setU32Le(0, 1);
    EXPECT_EQ(f.node("UserSetSave")->GetAccessMode(), RW);
    save->Execute();
    EXPECT_EQ(f.port.u32Le(0x10), 1u);
    f.port.setU32Le(0x10, 0);
    f.port.setU32Le(0, 0);
    f.node("UserSetSelectorReg")->InvalidateNode();
    EXPECT_EQ(f.node("UserSetSave")->GetAccessMode(), NA) << "Default cannot be saved";

    // 7 is no entry's value: the selector cannot be read, and neither can the formula.
    f.port.setU32Le(0, 7);
    f.node("UserSetSelectorReg")->InvalidateNode();
    EXPECT_THROW(selector->ToString(), OutOfRangeException);
    EXPECT_THROW(CIntegerPtr(f.node("UserSetSave_IsAvailable"))->GetValue(), OutOfRangeException);
    EXPECT_THROW(CIntegerPtr(f.node("SelectorNumber"))->GetValue(), OutOfRangeException);
    EXPECT_EQ(f.node("UserSetSave")->GetAccessMode(), NA);
    f.port.clearAccesses();
    EXPECT_THROW(save->Execute(), AccessException);
    EXPECT_EQ(f.port.writeCount(), 0u);
    EXPECT_EQ(f.port.u32Le(0x10), 0u);
}

} // namespace
