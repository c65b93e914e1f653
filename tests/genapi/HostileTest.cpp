// Malformed and hostile description files give RuntimeException (or load harmlessly), never a
// crash: every truncation of a real-sized file, deep nesting of elements, groups and formulas,
// huge attribute values and lengths, long chains of links, random bytes.
#include <gtest/gtest.h>

#include <random>

#include "GenApiTestUtil.h"

using namespace QxGenApi;
using qx::test::loadText;
using qx::test::makeXml;

namespace {

const char* kBody = R"(
<Category Name="Root"><pFeature>Width</pFeature><pFeature>Mode</pFeature></Category>
<Integer Name="Width"><pValue>WidthReg</pValue><Min>1</Min><pMax>WMax</pMax></Integer>
<IntSwissKnife Name="WMax"><pVariable Name="S">Sensor</pVariable><Formula>S - (S % 4)</Formula></IntSwissKnife>
<Integer Name="Sensor"><Value>2048</Value></Integer>
<IntReg Name="WidthReg"><Address>0x100</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<Enumeration Name="Mode"><EnumEntry Name="A"><Value>0</Value></EnumEntry><EnumEntry Name="B"><Value>1</Value></EnumEntry><Value>0</Value></Enumeration>
<StructReg Comment="s"><Address>4</Address><Length>4</Length><pPort>Device</pPort><StructEntry Name="E"><Bit>3</Bit></StructEntry></StructReg>
)";

// Loads and, when that works, touches every node; only GenICam exceptions may come out.
void loadAndTouch(const std::string& xml) {
    std::unique_ptr<INodeMap> map;
    try {
        map = loadText(xml);
    } catch (const RuntimeException&) {
        return;
    }
    qx::test::MemoryPort port(0x1000);
    map->Connect(&port);
    node_vector nodes;
    map->GetNodes(nodes);
    for (INode* n : nodes) {
        n->GetAccessMode();
        try {
            if (CValuePtr v = n) v->ToString();
        } catch (const GenericException&) {
        }
    }
    map->Poll(1000);
}

TEST(Hostile, EveryTruncationFailsCleanly) {
    std::string xml = makeXml(kBody);
    for (size_t len = 0; len < xml.size(); ++len) {
        ASSERT_NO_FATAL_FAILURE(loadAndTouch(xml.substr(0, len))) << len;
    }
    // The complete text loads.
    EXPECT_NO_THROW(loadText(xml));
}

TEST(Hostile, DeeplyNestedElements) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    for (int i = 0; i < 100000; ++i) deep += "</a>";
    EXPECT_THROW(loadText(makeXml("<Integer Name=\"X\"><Value>1</Value>" + deep + "</Integer>")), RuntimeException);
    std::string groups;
    for (int i = 0; i < 10000; ++i) groups += "<Group Comment=\"g\">";
    for (int i = 0; i < 10000; ++i) groups += "</Group>";
    EXPECT_THROW(loadText(makeXml(groups)), RuntimeException);
    std::string unclosed;
    for (int i = 0; i < 100000; ++i) unclosed += "<a>";
    EXPECT_THROW(loadText(makeXml(unclosed)), RuntimeException);
}

TEST(Hostile, DeeplyNestedFormula) {
    std::string f(100000, '(');
    EXPECT_THROW(loadText(makeXml("<IntSwissKnife Name=\"K\"><Formula>" + f + "1</Formula></IntSwissKnife>")),
                 RuntimeException);
    std::string chain;
    for (int i = 0; i < 2000; ++i)
        chain += "<Expression Name=\"E" + std::to_string(i + 1) + "\">E" + std::to_string(i) + "+1</Expression>";
    std::string xml = makeXml("<IntSwissKnife Name=\"K\"><Constant Name=\"E0\">0</Constant>" + chain +
                              "<Formula>E2000</Formula></IntSwissKnife>");
    loadAndTouch(xml);
}

TEST(Hostile, HugeAttributeAndTextValues) {
    std::string big(10 * 1000 * 1000, 'x');
    loadAndTouch(makeXml("<Integer Name=\"" + big + "\"><Value>1</Value></Integer>"));
    loadAndTouch(makeXml("<Integer Name=\"A\"><ToolTip>" + big + "</ToolTip><Value>1</Value></Integer>"));
    EXPECT_THROW(loadText(makeXml("<Integer Name=\"A\"><Value>" + std::string(5000, '9') + "</Value></Integer>")),
                 RuntimeException);
    EXPECT_THROW(
        loadText(makeXml(
            R"(<Register Name="R"><Address>0</Address><Length>99999999999</Length><pPort>Device</pPort></Register>)")),
        RuntimeException);
    EXPECT_THROW(loadText(makeXml(
                     R"(<Register Name="R"><Address>0</Address><Length>0</Length><pPort>Device</pPort></Register>)")),
                 RuntimeException);
    EXPECT_THROW(
        loadText(makeXml(R"(<IntReg Name="R"><Address>0</Address><Length>9</Length><pPort>Device</pPort></IntReg>)")),
        RuntimeException);
}

TEST(Hostile, RuntimeLengthsAndBitsAreCheckedAtAccess) {
    std::string xml = makeXml(R"(
<Integer Name="Len"><Value>-5</Value></Integer>
<Register Name="R"><Address>0</Address><pLength>Len</pLength><AccessMode>RW</AccessMode><pPort>Device</pPort></Register>
<MaskedIntReg Name="M"><Address>0</Address><Length>2</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><LSB>20</LSB><MSB>40</MSB></MaskedIntReg>
<Integer Name="One"><Value>1</Value></Integer>
<IntReg Name="Far"><Address>0x7FFFFFFFFFFFFFFF</Address><pIndex Offset="0x7FFFFFFFFFFFFFFF">One</pIndex><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>)");
    CNodeMapRef ref;
    ref._LoadXMLFromString(xml);
    qx::test::MemoryPort port(0x100);
    ref._Connect(&port);
    uint8_t b[8];
    EXPECT_THROW(CRegisterPtr(ref._GetNode("R"))->Get(b, 8), PropertyException);
    EXPECT_THROW(CIntegerPtr(ref._GetNode("M"))->GetValue(), PropertyException);
    EXPECT_THROW(CIntegerPtr(ref._GetNode("M"))->SetValue(1), PropertyException);
    EXPECT_THROW(CIntegerPtr(ref._GetNode("Far"))->GetValue(), PortException);
}

TEST(Hostile, LongChainsOfLinksFailCleanly) {
    std::string body;
    const int n = 5000;
    for (int i = 0; i < n; ++i) {
        body += "<Integer Name=\"I" + std::to_string(i) + "\"><pValue>I" + std::to_string(i + 1) +
                "</pValue><pIsAvailable>I" + std::to_string(i + 1) + "</pIsAvailable></Integer>\n";
    }
    body += "<Integer Name=\"I" + std::to_string(n) + "\"><Value>1</Value></Integer>\n";
    auto map = loadText(makeXml(body));
    CIntegerPtr head = map->GetNode("I0");
    EXPECT_EQ(map->GetNode("I0")->GetAccessMode(), NA); // too deep to evaluate: NA, no crash
    EXPECT_THROW(head->GetValue(), GenericException);
    EXPECT_EQ(CIntegerPtr(map->GetNode("I4990"))->GetValue(), 1);
}

// Each knife reads the next one twice: 2^40 reads unless the engine bounds the work of a call.
// Access modes along a chain that reads and gates on the same node are computed once per call.
TEST(Hostile, ExponentialFanOutIsBounded) {
    std::string body;
    const int n = 40;
    for (int i = 0; i < n; ++i) {
        std::string next = "K" + std::to_string(i + 1);
        body += "<IntSwissKnife Name=\"K" + std::to_string(i) + "\"><pVariable Name=\"X\">" + next +
                "</pVariable><pVariable Name=\"Y\">" + next + "</pVariable><Formula>X+Y</Formula></IntSwissKnife>\n";
    }
    body += "<Integer Name=\"K" + std::to_string(n) + "\"><Value>1</Value></Integer>\n";
    for (int i = 0; i < n; ++i) {
        body += "<Integer Name=\"G" + std::to_string(i) + "\"><pValue>G" + std::to_string(i + 1) +
                "</pValue><pIsAvailable>G" + std::to_string(i + 1) + "</pIsAvailable></Integer>\n";
    }
    body += "<Integer Name=\"G" + std::to_string(n) + "\"><Value>1</Value></Integer>\n";
    auto map = loadText(makeXml(body));
    EXPECT_THROW(CIntegerPtr(map->GetNode("K0"))->GetValue(), LogicalErrorException);
    EXPECT_EQ(CIntegerPtr(map->GetNode("K30"))->GetValue(), 1024);
    EXPECT_EQ(map->GetNode("G0")->GetAccessMode(), RW);
    EXPECT_EQ(CIntegerPtr(map->GetNode("G0"))->GetValue(), 1);
}

TEST(Hostile, CyclesOfEveryKind) {
    EXPECT_THROW(loadText(makeXml(R"(<Integer Name="A"><pValue>A</pValue></Integer>)")), RuntimeException);
    EXPECT_THROW(loadText(makeXml(R"(
<Integer Name="A"><pIndex>B</pIndex><ValueDefault>1</ValueDefault></Integer>
<Integer Name="B"><pValue>C</pValue></Integer>
<IntSwissKnife Name="C"><pVariable Name="X">A</pVariable><Formula>X</Formula></IntSwissKnife>)")),
                 RuntimeException);
    EXPECT_THROW(loadText(makeXml(R"(
<Integer Name="A"><Value>1</Value><pValueCopy>B</pValueCopy></Integer>
<Integer Name="B"><Value>1</Value><pValueCopy>A</pValueCopy></Integer>)")),
                 RuntimeException);
    EXPECT_THROW(loadText(makeXml(R"(<IntSwissKnife Name="K"><Expression Name="X">Y</Expression>
      <Expression Name="Y">X</Expression><Formula>X</Formula></IntSwissKnife>)")),
                 RuntimeException);
}

TEST(Hostile, WrongKindsOfTargets) {
    EXPECT_THROW(loadText(makeXml(R"(<Category Name="C"/><Integer Name="A"><pValue>C</pValue></Integer>)")),
                 RuntimeException);
    EXPECT_THROW(loadText(makeXml(R"(<Integer Name="P"><Value>1</Value></Integer>
      <IntReg Name="R"><Address>0</Address><Length>4</Length><pPort>P</pPort></IntReg>)")),
                 RuntimeException);
    EXPECT_THROW(loadText(makeXml(
                     R"(<Integer Name="I"><Value>1</Value></Integer><String Name="S"><pValue>I</pValue></String>)")),
                 RuntimeException);
}

TEST(Hostile, RandomBytes) {
    std::mt19937 rng(12345);
    std::string xml = makeXml(kBody);
    for (int round = 0; round < 300; ++round) {
        std::string s = xml;
        int flips = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < flips; ++i) s[rng() % s.size()] = static_cast<char>(rng() & 0xFF);
        ASSERT_NO_FATAL_FAILURE(loadAndTouch(s));
    }
    std::string noise(4096, '\0');
    for (char& c : noise) c = static_cast<char>(rng() & 0xFF);
    EXPECT_THROW(loadText(noise), RuntimeException);
}

} // namespace
