// Integer, Float, Converter, IntConverter, SwissKnife and IntSwissKnife nodes.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>

#include "GenApiTestUtil.h"

using namespace QxGenApi;
using qx::test::Fixture;

namespace {

const char* kRegs = R"(
<IntReg Name="R0"><Address>0x00</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="R1"><Address>0x04</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="R2"><Address>0x08</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="S2"><Address>0x0C</Address><Length>2</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Sign>Signed</Sign></IntReg>
<FloatReg Name="F0"><Address>0x10</Address><Length>8</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></FloatReg>
)";

TEST(IntegerNode, LiteralValueWithBounds) {
    Fixture f(std::string(kRegs) + R"(
<Integer Name="A"><Value>10</Value><Min>0</Min><Max>100</Max><Inc>5</Inc><Unit>px</Unit></Integer>)");
    CIntegerPtr a = f.node("A");
    EXPECT_EQ(a->GetValue(), 10);
    EXPECT_EQ(a->GetMin(), 0);
    EXPECT_EQ(a->GetMax(), 100);
    EXPECT_EQ(a->GetInc(), 5);
    EXPECT_EQ(a->GetUnit(), "px");
    EXPECT_EQ(a->GetIncMode(), fixedIncrement);
    EXPECT_EQ(a->GetRepresentation(), PureNumber);
    EXPECT_EQ(f.node("A")->GetAccessMode(), RW);
    a->SetValue(55);
    EXPECT_EQ(a->GetValue(), 55);
    EXPECT_THROW(a->SetValue(101), OutOfRangeException);
    EXPECT_THROW(a->SetValue(-5), OutOfRangeException);
    EXPECT_THROW(a->SetValue(12), OutOfRangeException); // off the increment
    EXPECT_EQ(a->GetValue(), 55);
    a->SetValue(12, false); // no verification
    EXPECT_EQ(a->GetValue(), 12);
    EXPECT_EQ(f.port.accesses().size(), 0u);
}

TEST(IntegerNode, DefaultsAndDelegationToPValue) {
    Fixture f(std::string(kRegs) + R"(
<Integer Name="Free"><Value>-3</Value></Integer>
<Integer Name="OverReg"><pValue>S2</pValue></Integer>
<Integer Name="Bounded"><pValue>R0</pValue><Min>2</Min><Max>20</Max></Integer>)");
    CIntegerPtr freeNode = f.node("Free");
    EXPECT_EQ(freeNode->GetMin(), LLONG_MIN);
    EXPECT_EQ(freeNode->GetMax(), LLONG_MAX);
    EXPECT_EQ(freeNode->GetInc(), 1);
    CIntegerPtr over = f.node("OverReg");
    EXPECT_EQ(over->GetMin(), -32768);
    EXPECT_EQ(over->GetMax(), 32767);
    over->SetValue(-2);
    EXPECT_EQ(f.port.bytes(0x0C, 2), (std::vector<uint8_t>{0xFE, 0xFF}));
    EXPECT_EQ(over->GetValue(), -2);
    EXPECT_THROW(over->SetValue(40000), OutOfRangeException);
    CIntegerPtr bounded = f.node("Bounded");
    EXPECT_EQ(bounded->GetMin(), 2);
    EXPECT_EQ(bounded->GetMax(), 20);
}

TEST(IntegerNode, PointerBounds) {
    Fixture f(std::string(kRegs) + R"(
<Integer Name="MinN"><Value>4</Value></Integer>
<Integer Name="MaxN"><Value>64</Value></Integer>
<Integer Name="IncN"><Value>4</Value></Integer>
<Integer Name="A"><pValue>R0</pValue><pMin>MinN</pMin><pMax>MaxN</pMax><pInc>IncN</pInc></Integer>)");
    CIntegerPtr a = f.node("A");
    EXPECT_EQ(a->GetMin(), 4);
    EXPECT_EQ(a->GetMax(), 64);
    EXPECT_EQ(a->GetInc(), 4);
    a->SetValue(8);
    EXPECT_THROW(a->SetValue(10), OutOfRangeException);
    CIntegerPtr(f.node("MaxN"))->SetValue(8);
    EXPECT_EQ(a->GetMax(), 8);
    EXPECT_THROW(a->SetValue(12), OutOfRangeException);
}

TEST(IntegerNode, IndexedValues) {
    Fixture f(std::string(kRegs) + R"(
<Integer Name="Sel"><Value>0</Value></Integer>
<Integer Name="A"><pIndex>Sel</pIndex>
  <ValueIndexed Index="0">100</ValueIndexed>
  <pValueIndexed Index="1">R1</pValueIndexed>
  <ValueIndexed Index="0x2">300</ValueIndexed>
  <ValueDefault>-1</ValueDefault></Integer>)");
    f.port.setU32Le(4, 200);
    CIntegerPtr sel = f.node("Sel"), a = f.node("A");
    EXPECT_EQ(a->GetValue(), 100);
    sel->SetValue(1);
    EXPECT_EQ(a->GetValue(), 200);
    a->SetValue(222);
    EXPECT_EQ(f.port.u32Le(4), 222u);
    sel->SetValue(2);
    EXPECT_EQ(a->GetValue(), 300);
    a->SetValue(333);
    EXPECT_EQ(a->GetValue(), 333);
    sel->SetValue(7);
    EXPECT_EQ(a->GetValue(), -1);
    sel->SetValue(2);
    EXPECT_EQ(a->GetValue(), 333);
}

TEST(IntegerNode, ValueCopies) {
    Fixture f(std::string(kRegs) + R"(
<Integer Name="A"><pValue>R0</pValue><pValueCopy>R1</pValueCopy><pValueCopy>R2</pValueCopy></Integer>)");
    CIntegerPtr(f.node("A"))->SetValue(77);
    EXPECT_EQ(f.port.u32Le(0), 77u);
    EXPECT_EQ(f.port.u32Le(4), 77u);
    EXPECT_EQ(f.port.u32Le(8), 77u);
    node_vector writing;
    f.node("A")->GetChildren(writing, ctWritingChildren);
    EXPECT_EQ(writing.size(), 3u);
}

TEST(IntegerNode, RepresentationsAndText) {
    Fixture f(std::string(kRegs) + R"(
<Integer Name="Hex"><Value>31</Value><Representation>HexNumber</Representation></Integer>
<Integer Name="Ip"><Value>0</Value><Representation>IPV4Address</Representation></Integer>
<Integer Name="Mac"><Value>0</Value><Representation>MACAddress</Representation></Integer>
<Integer Name="Dec"><Value>0</Value></Integer>)");
    EXPECT_EQ(CIntegerPtr(f.node("Hex"))->ToString(), "0x1F");
    CIntegerPtr ip = f.node("Ip");
    ip->FromString("192.168.1.2");
    EXPECT_EQ(ip->GetValue(), 0xC0A80102);
    EXPECT_EQ(ip->ToString(), "192.168.1.2");
    CIntegerPtr mac = f.node("Mac");
    mac->FromString("00:11:22:AA:bb:0F");
    EXPECT_EQ(mac->GetValue(), 0x001122AABB0F);
    EXPECT_EQ(mac->ToString(), "00:11:22:AA:BB:0F");
    CIntegerPtr dec = f.node("Dec");
    dec->FromString("-42");
    EXPECT_EQ(dec->ToString(), "-42");
    dec->FromString("0x10");
    EXPECT_EQ(dec->GetValue(), 16);
    EXPECT_THROW(dec->FromString("twelve"), InvalidArgumentException);
    EXPECT_THROW(ip->FromString("1.2.3.400"), InvalidArgumentException);
}

TEST(FloatNode, LiteralAndBounds) {
    Fixture f(std::string(kRegs) + R"(
<Float Name="G"><Value>1.5</Value><Min>0.5</Min><Max>10</Max><Unit>dB</Unit>
  <DisplayNotation>Fixed</DisplayNotation><DisplayPrecision>2</DisplayPrecision></Float>
<Float Name="Free"><Value>0</Value></Float>)");
    CFloatPtr g = f.node("G");
    EXPECT_DOUBLE_EQ(g->GetValue(), 1.5);
    EXPECT_DOUBLE_EQ(g->GetMin(), 0.5);
    EXPECT_DOUBLE_EQ(g->GetMax(), 10.0);
    EXPECT_FALSE(g->HasInc());
    EXPECT_EQ(g->GetUnit(), "dB");
    EXPECT_EQ(g->GetDisplayNotation(), fnFixed);
    EXPECT_EQ(g->GetDisplayPrecision(), 2);
    g->SetValue(9.75);
    EXPECT_EQ(g->ToString(), "9.75");
    g->FromString("2.5e0");
    EXPECT_DOUBLE_EQ(g->GetValue(), 2.5);
    EXPECT_THROW(g->SetValue(10.5), OutOfRangeException);
    EXPECT_THROW(g->SetValue(0.25), OutOfRangeException);
    EXPECT_THROW(g->FromString("abc"), InvalidArgumentException);
    CFloatPtr freeNode = f.node("Free");
    EXPECT_DOUBLE_EQ(freeNode->GetMin(), -DBL_MAX);
    EXPECT_DOUBLE_EQ(freeNode->GetMax(), DBL_MAX);
    EXPECT_EQ(f.node("G")->GetPrincipalInterfaceType(), intfIFloat);
}

TEST(FloatNode, OverIntegerAndFloatReg) {
    Fixture f(std::string(kRegs) + R"(
<Float Name="OverInt"><pValue>R0</pValue></Float>
<Float Name="OverFloat"><pValue>F0</pValue><Min>-5</Min><Max>5</Max><Inc>0.5</Inc></Float>)");
    CFloatPtr oi = f.node("OverInt");
    oi->SetValue(41.6);
    EXPECT_EQ(f.port.u32Le(0), 42u); // rounded to the nearest integer
    EXPECT_DOUBLE_EQ(oi->GetValue(), 42.0);
    EXPECT_DOUBLE_EQ(oi->GetMin(), 0.0);
    EXPECT_DOUBLE_EQ(oi->GetMax(), 4294967295.0);
    CFloatPtr of = f.node("OverFloat");
    of->SetValue(-2.25);
    EXPECT_DOUBLE_EQ(of->GetValue(), -2.25);
    EXPECT_TRUE(of->HasInc());
    EXPECT_DOUBLE_EQ(of->GetInc(), 0.5);
}

TEST(ConverterNode, FormulasBothWaysWithVariables) {
    Fixture f(std::string(kRegs) + R"(
<Integer Name="Scale"><Value>4</Value></Integer>
<Converter Name="Gain">
  <pVariable Name="S">Scale</pVariable>
  <FormulaTo>FROM * S</FormulaTo>
  <FormulaFrom>TO / S</FormulaFrom>
  <pValue>R0</pValue>
  <Unit>dB</Unit>
</Converter>
<IntReg Name="Period"><Address>0x20</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<Integer Name="PeriodInt"><pValue>Period</pValue><Min>1000</Min><Max>100000</Max></Integer>
<Converter Name="Rate"><FormulaTo>1000000 / FROM</FormulaTo><FormulaFrom>1000000 / TO</FormulaFrom>
  <pValue>PeriodInt</pValue><Slope>Decreasing</Slope></Converter>)");
    CFloatPtr gain = f.node("Gain");
    f.port.setU32Le(0, 10);
    EXPECT_DOUBLE_EQ(gain->GetValue(), 2.5);
    gain->SetValue(3.0);
    EXPECT_EQ(f.port.u32Le(0), 12u);
    EXPECT_EQ(gain->GetUnit(), "dB");
    EXPECT_DOUBLE_EQ(gain->GetMin(), 0.0);
    EXPECT_DOUBLE_EQ(gain->GetMax(), 4294967295.0 / 4);

    CFloatPtr rate = f.node("Rate");
    EXPECT_DOUBLE_EQ(rate->GetMin(), 10.0);
    EXPECT_DOUBLE_EQ(rate->GetMax(), 1000.0);
    rate->SetValue(250.0);
    EXPECT_EQ(f.port.u32Le(0x20), 4000u);
    EXPECT_DOUBLE_EQ(rate->GetValue(), 250.0);
    EXPECT_THROW(rate->SetValue(5.0), OutOfRangeException);
    EXPECT_EQ(f.node("Rate")->GetAccessMode(), RW);
}

TEST(IntConverterNode, IntegerFormulas) {
    Fixture f(std::string(kRegs) + R"(
<IntConverter Name="Half"><FormulaTo>FROM * 2</FormulaTo><FormulaFrom>TO / 2</FormulaFrom><pValue>R1</pValue></IntConverter>)");
    CIntegerPtr half = f.node("Half");
    f.port.setU32Le(4, 7);
    EXPECT_EQ(half->GetValue(), 3); // integer division
    half->SetValue(21);
    EXPECT_EQ(f.port.u32Le(4), 42u);
    EXPECT_EQ(half->GetMin(), 0);
    EXPECT_EQ(half->GetMax(), 2147483647);
    EXPECT_EQ(f.node("Half")->GetPrincipalInterfaceType(), intfIInteger);
}

TEST(SwissKnifeNode, DoubleFormulaWithConstantsExpressionsAndSuffixes) {
    Fixture f(std::string(kRegs) + R"(
<Integer Name="W"><Value>640</Value><Min>16</Min><Max>2048</Max></Integer>
<Enumeration Name="PF"><EnumEntry Name="Mono8"><Value>8</Value></EnumEntry>
  <EnumEntry Name="Mono16"><Value>16</Value></EnumEntry><Value>16</Value></Enumeration>
<SwissKnife Name="K">
  <pVariable Name="W">W</pVariable>
  <pVariable Name="PF">PF</pVariable>
  <Constant Name="HALF">0.5</Constant>
  <Expression Name="BYTES">PF / 8</Expression>
  <Formula>W * BYTES * HALF + (PF = PF.Mono16 ? W.Max : W.Min)</Formula>
</SwissKnife>)");
    CFloatPtr k = f.node("K");
    EXPECT_DOUBLE_EQ(k->GetValue(), 640 * 2 * 0.5 + 2048);
    CEnumerationPtr(f.node("PF"))->FromString("Mono8");
    EXPECT_DOUBLE_EQ(k->GetValue(), 640 * 1 * 0.5 + 16);
    EXPECT_EQ(f.node("K")->GetAccessMode(), RO);
    EXPECT_THROW(k->SetValue(1.0), AccessException);
    EXPECT_DOUBLE_EQ(k->GetMin(), -DBL_MAX);
}

TEST(IntSwissKnifeNode, IntegerFormula) {
    Fixture f(std::string(kRegs) + R"(
<IntSwissKnife Name="Payload">
  <pVariable Name="W">R0</pVariable><pVariable Name="H">R1</pVariable><pVariable Name="PF">R2</pVariable>
  <Formula>W * H * ((PF&gt;&gt;16)&amp;0xFF) / 8</Formula>
  <Representation>HexNumber</Representation>
</IntSwissKnife>)");
    f.port.setU32Le(0, 100);
    f.port.setU32Le(4, 50);
    f.port.setU32Le(8, 0x01100007);
    CIntegerPtr p = f.node("Payload");
    EXPECT_EQ(p->GetValue(), 10000);
    EXPECT_EQ(p->ToString(), "0x2710");
    EXPECT_EQ(f.node("Payload")->GetAccessMode(), RO);
    EXPECT_THROW(p->SetValue(1), AccessException);
}

TEST(IntSwissKnifeNode, DivisionByZeroFailsTheRead) {
    Fixture f(std::string(kRegs) + R"(
<IntSwissKnife Name="Bad"><pVariable Name="Z">R0</pVariable><Formula>10 / Z</Formula></IntSwissKnife>)");
    EXPECT_THROW(CIntegerPtr(f.node("Bad"))->GetValue(), LogicalErrorException);
}

} // namespace
