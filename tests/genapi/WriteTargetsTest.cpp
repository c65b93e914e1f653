// Writes that reach several registers (an Integer's pValue and its pValueCopy targets, through
// converters and further nodes): every target is checked before the first is written, so a
// refused write leaves every register as it was. Also the converter bounds these checks meet
// (Slope, the converter's own Min/Max) and nodes written inside other nodes, found by name.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>

#include "GenApiTestUtil.h"

using namespace QxGenApi;
using qx::test::Fixture;
using qx::test::loadText;
using qx::test::makeXml;

namespace {

std::string regXml(const char* name, int address, const char* access = "RW") {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "<IntReg Name=\"%s\"><Address>%d</Address><Length>4</Length><AccessMode>%s</AccessMode>"
                  "<pPort>Device</pPort></IntReg>\n",
                  name, address, access);
    return buf;
}

// A command whose value node writes a register and, through a copy, a converter whose formula
// turns: FormulaFrom is constant, so the images of the register's bounds are no bounds.
std::string splitterXml(const char* slope) {
    std::string slopeProp = slope ? std::string("<Slope>") + slope + "</Slope>" : "";
    return regXml("GoReg", 0x00) + regXml("ConvReg", 0x04) + R"(
<Command Name="Go"><pValue>Splitter</pValue><CommandValue>16</CommandValue></Command>
<Integer Name="Splitter"><pValue>GoReg</pValue><pValueCopy>Conv</pValueCopy></Integer>
<IntConverter Name="Conv"><FormulaTo>(FROM = 16) ? 0 : 12</FormulaTo><FormulaFrom>1</FormulaFrom><pValue>ConvReg</pValue>)" +
           slopeProp + "</IntConverter>";
}

} // namespace

TEST(ValueCopy, CommandThroughCopyToVaryingConverter) {
    Fixture f(splitterXml("Varying"));
    f.port.setU32Le(0x04, 7);
    CIntegerPtr conv = f.node("Conv");
    EXPECT_EQ(conv->GetMin(), INT64_MIN);
    EXPECT_EQ(conv->GetMax(), INT64_MAX);
    CCommandPtr go = f.node("Go");
    ASSERT_NO_THROW(go->Execute());
    EXPECT_EQ(f.port.u32Le(0x00), 16u);
    EXPECT_EQ(f.port.u32Le(0x04), 0u); // FormulaTo of 16
    CIntegerPtr(f.node("Splitter"))->SetValue(5);
    EXPECT_EQ(f.port.u32Le(0x00), 5u);
    EXPECT_EQ(f.port.u32Le(0x04), 12u);
}

TEST(ValueCopy, RefusedCopyWritesNoRegister) {
    // Without a Slope the converter takes its bounds from the images of ConvReg's bounds: 1..1.
    Fixture f(splitterXml(nullptr));
    f.port.setU32Le(0x00, 3);
    f.port.setU32Le(0x04, 7);
    EXPECT_EQ(CIntegerPtr(f.node("Conv"))->GetMax(), 1);
    f.port.clearAccesses();
    EXPECT_THROW(CCommandPtr(f.node("Go"))->Execute(), OutOfRangeException);
    EXPECT_EQ(f.port.writeCount(), 0u);
    EXPECT_EQ(f.port.u32Le(0x00), 3u);
    EXPECT_EQ(f.port.u32Le(0x04), 7u);
}

TEST(ValueCopy, EveryTargetIsCheckedBeforeAnyIsWritten) {
    Fixture f(regXml("A", 0x00) + regXml("B", 0x04) + regXml("C", 0x08) + regXml("Ro", 0x0C, "RO") + R"(
<Integer Name="Small"><pValue>B</pValue><Max>100</Max></Integer>
<IntConverter Name="Twice"><FormulaTo>FROM * 2</FormulaTo><FormulaFrom>TO / 2</FormulaFrom><pValue>Small</pValue>
  <Slope>Increasing</Slope></IntConverter>
<Integer Name="Deep"><pValue>A</pValue><pValueCopy>C</pValueCopy><pValueCopy>Twice</pValueCopy></Integer>
<Integer Name="ToRo"><pValue>A</pValue><pValueCopy>C</pValueCopy><pValueCopy>Ro</pValueCopy></Integer>
<Enumeration Name="Mode"><EnumEntry Name="Off"><Value>0</Value></EnumEntry><EnumEntry Name="On"><Value>1</Value></EnumEntry>
  <pValue>B</pValue></Enumeration>
<Integer Name="ToEnum"><pValue>A</pValue><pValueCopy>Mode</pValueCopy></Integer>)");
    for (int a = 0; a < 4; ++a) f.port.setU32Le(static_cast<uint64_t>(a) * 4, 0xEE);
    f.port.clearAccesses();

    CIntegerPtr deep = f.node("Deep");
    // 60 -> Twice writes 120 into Small, above its maximum 100: two links below the copy.
    EXPECT_THROW(deep->SetValue(60), OutOfRangeException);
    CIntegerPtr toRo = f.node("ToRo");
    EXPECT_THROW(toRo->SetValue(1), AccessException);
    CIntegerPtr toEnum = f.node("ToEnum");
    EXPECT_THROW(toEnum->SetValue(2), OutOfRangeException); // no entry has the value 2
    EXPECT_EQ(f.port.writeCount(), 0u);
    for (int a = 0; a < 4; ++a) EXPECT_EQ(f.port.u32Le(static_cast<uint64_t>(a) * 4), 0xEEu) << a;

    deep->SetValue(40);
    EXPECT_EQ(f.port.u32Le(0x00), 40u);
    EXPECT_EQ(f.port.u32Le(0x08), 40u);
    EXPECT_EQ(f.port.u32Le(0x04), 80u);
    toEnum->SetValue(1);
    EXPECT_EQ(f.port.u32Le(0x00), 1u);
    EXPECT_EQ(f.port.u32Le(0x04), 1u);
    // Without verification the range is not checked, the access mode still is.
    deep->SetValue(60, false);
    EXPECT_EQ(f.port.u32Le(0x04), 120u);
    f.port.clearAccesses();
    EXPECT_THROW(toRo->SetValue(2, false), AccessException);
    EXPECT_EQ(f.port.writeCount(), 0u);
}

TEST(ConverterBounds, IntConverterFollowsSlope) {
    const std::string period =
        regXml("P", 0x00) + R"(<Integer Name="Period"><pValue>P</pValue><Min>10</Min><Max>1000</Max></Integer>)";
    Fixture f(period + R"(
<IntConverter Name="Up"><FormulaTo>FROM / 2</FormulaTo><FormulaFrom>TO * 2</FormulaFrom><pValue>Period</pValue>
  <Slope>Increasing</Slope></IntConverter>
<IntConverter Name="Down"><FormulaTo>10000 / FROM</FormulaTo><FormulaFrom>10000 / TO</FormulaFrom><pValue>Period</pValue>
  <Slope>Decreasing</Slope></IntConverter>
<IntConverter Name="DownOwn"><FormulaTo>10000 / FROM</FormulaTo><FormulaFrom>10000 / TO</FormulaFrom><pValue>Period</pValue>
  <Slope>Decreasing</Slope><Min>50</Min><Max>500</Max></IntConverter>
<IntConverter Name="Bowl"><FormulaTo>FROM + 500</FormulaTo><FormulaFrom>(TO - 500) * (TO - 500)</FormulaFrom><pValue>Period</pValue>
  <Slope>Varying</Slope></IntConverter>
<Integer Name="Limit"><Value>4000</Value></Integer>
<IntConverter Name="BowlOwn"><FormulaTo>FROM + 500</FormulaTo><FormulaFrom>(TO - 500) * (TO - 500)</FormulaFrom><pValue>Period</pValue>
  <Slope>Varying</Slope><Min>-10</Min><pMax>Limit</pMax></IntConverter>
<IntConverter Name="BowlMax"><FormulaTo>FROM + 500</FormulaTo><FormulaFrom>(TO - 500) * (TO - 500)</FormulaFrom><pValue>Period</pValue>
  <Slope>Varying</Slope><Max>9</Max></IntConverter>)");
    struct Case {
        const char* name;
        int64_t min, max;
    };
    const Case cases[] = {
        {"Up", 20, 2000},       {"Down", 10, 1000}, // the image of the period's maximum is the minimum
        {"DownOwn", 50, 500},   {"Bowl", INT64_MIN, INT64_MAX},
        {"BowlOwn", -10, 4000}, {"BowlMax", INT64_MIN, 9},
    };
    for (const Case& c : cases) {
        CIntegerPtr n = f.node(c.name);
        EXPECT_EQ(n->GetMin(), c.min) << c.name;
        EXPECT_EQ(n->GetMax(), c.max) << c.name;
    }
    CIntegerPtr(f.node("Limit"))->SetValue(100);
    EXPECT_EQ(CIntegerPtr(f.node("BowlOwn"))->GetMax(), 100);

    // Bowl 250 is 250 + 500 = 750 in the period, within its range although 250 lies outside
    // [Bowl(10), Bowl(1000)] = [240100, 250000].
    CIntegerPtr bowl = f.node("Bowl");
    bowl->SetValue(250);
    EXPECT_EQ(f.port.u32Le(0x00), 750u);
    EXPECT_EQ(bowl->GetValue(), 250 * 250);
    EXPECT_THROW(bowl->SetValue(600), OutOfRangeException); // 1100 is above the period's maximum
    EXPECT_EQ(f.port.u32Le(0x00), 750u);
    CIntegerPtr down = f.node("Down");
    down->SetValue(20);
    EXPECT_EQ(f.port.u32Le(0x00), 500u);
    EXPECT_THROW(down->SetValue(5), OutOfRangeException);
    EXPECT_THROW(CIntegerPtr(f.node("DownOwn"))->SetValue(600), OutOfRangeException);
}

TEST(ConverterBounds, FloatConverterFollowsSlope) {
    Fixture f(R"(
<FloatReg Name="FR"><Address>0x10</Address><Length>8</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></FloatReg>
<Float Name="Period"><pValue>FR</pValue><Min>0.5</Min><Max>8</Max></Float>
<Converter Name="Rate"><FormulaTo>1 / FROM</FormulaTo><FormulaFrom>1 / TO</FormulaFrom><pValue>Period</pValue>
  <Slope>Decreasing</Slope></Converter>
<Converter Name="Wave"><FormulaTo>FROM</FormulaTo><FormulaFrom>SIN(TO)</FormulaFrom><pValue>Period</pValue>
  <Slope>Varying</Slope></Converter>
<Converter Name="WaveOwn"><FormulaTo>FROM</FormulaTo><FormulaFrom>SIN(TO)</FormulaFrom><pValue>Period</pValue>
  <Slope>Varying</Slope><Min>-1</Min><Max>1</Max></Converter>)");
    CFloatPtr rate = f.node("Rate"), wave = f.node("Wave"), waveOwn = f.node("WaveOwn");
    EXPECT_DOUBLE_EQ(rate->GetMin(), 0.125);
    EXPECT_DOUBLE_EQ(rate->GetMax(), 2.0);
    EXPECT_DOUBLE_EQ(wave->GetMin(), -DBL_MAX);
    EXPECT_DOUBLE_EQ(wave->GetMax(), DBL_MAX);
    EXPECT_DOUBLE_EQ(waveOwn->GetMin(), -1.0);
    EXPECT_DOUBLE_EQ(waveOwn->GetMax(), 1.0);
    EXPECT_THROW(waveOwn->SetValue(1.5), OutOfRangeException);
    waveOwn->SetValue(0.75);
    EXPECT_DOUBLE_EQ(CFloatPtr(f.node("Period"))->GetValue(), 0.75);
}

TEST(EmbeddedNode, AddressKnifeIsFoundByName) {
    Fixture f(R"(
<Integer Name="Sel"><Value>2</Value><Min>0</Min><Max>3</Max></Integer>
<IntReg Name="Gain">
  <IntSwissKnife Name="RegAddress"><pVariable Name="S">Sel</pVariable><Formula>0x100 + S * 4</Formula></IntSwissKnife>
  <Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
</IntReg>)");
    CIntegerPtr knife = f.node("RegAddress");
    ASSERT_TRUE(knife);
    EXPECT_EQ(knife->GetValue(), 0x108);
    EXPECT_EQ(CRegisterPtr(f.node("Gain"))->GetAddress(), 0x108);
    int changed = 0;
    Register(f.node("Gain"), [&changed](INode*) { ++changed; });
    CIntegerPtr(f.node("Sel"))->SetValue(1);
    EXPECT_EQ(changed, 1); // the register depends on its embedded knife
    EXPECT_EQ(CRegisterPtr(f.node("Gain"))->GetAddress(), 0x104);
    f.port.setU32Le(0x104, 77);
    EXPECT_EQ(CIntegerPtr(f.node("Gain"))->GetValue(), 77);
    node_vector parents;
    f.node("RegAddress")->GetParents(parents);
    ASSERT_EQ(parents.size(), 1u);
    EXPECT_EQ(parents[0]->GetName(), "Gain");
}

TEST(EmbeddedNode, SharedByStructEntriesAndRefusedWhenTheNameIsTaken) {
    Fixture f(R"(
<Integer Name="Bank"><Value>1</Value></Integer>
<StructReg Comment="S">
  <IntSwissKnife Name="BankAddress"><pVariable Name="B">Bank</pVariable><Formula>0x200 + B * 0x10</Formula></IntSwissKnife>
  <Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
  <StructEntry Name="Low"><LSB>0</LSB><MSB>7</MSB></StructEntry>
  <StructEntry Name="High"><LSB>8</LSB><MSB>15</MSB></StructEntry>
</StructReg>)");
    f.port.setU32Le(0x210, 0xABCD);
    EXPECT_EQ(CIntegerPtr(f.node("Low"))->GetValue(), 0xCD);
    EXPECT_EQ(CIntegerPtr(f.node("High"))->GetValue(), 0xAB);
    node_vector parents;
    f.node("BankAddress")->GetParents(parents);
    EXPECT_EQ(parents.size(), 2u);

    EXPECT_THROW(loadText(makeXml(R"(
<Integer Name="RegAddress"><Value>4</Value></Integer>
<IntReg Name="R"><IntSwissKnife Name="RegAddress"><Formula>8</Formula></IntSwissKnife>
  <Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>)")),
                 RuntimeException);
}
