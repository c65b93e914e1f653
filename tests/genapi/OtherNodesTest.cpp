// Boolean, Command, String, Enumeration/EnumEntry, Category, Port and plain Node; node texts,
// visibility, links, selectors and typed pointers.
#include <gtest/gtest.h>

#include "GenApiTestUtil.h"

using namespace QxGenApi;
using qx::test::Fixture;

namespace {

const char* kReg = R"(
<IntReg Name="R"><Address>0x00</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="CmdReg"><Address>0x10</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<StringReg Name="SR"><Address>0x20</Address><Length>16</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></StringReg>
)";

TEST(BooleanNode, OnAndOffValues) {
    Fixture f(std::string(kReg) + R"(
<Boolean Name="B"><pValue>R</pValue><OnValue>321</OnValue><OffValue>123</OffValue></Boolean>
<Boolean Name="Lit"><Value>0</Value></Boolean>)");
    CBooleanPtr b = f.node("B");
    b->SetValue(true);
    EXPECT_EQ(f.port.u32Le(0), 321u);
    EXPECT_TRUE(b->GetValue());
    EXPECT_EQ(b->ToString(), "true");
    b->FromString("false");
    EXPECT_EQ(f.port.u32Le(0), 123u);
    EXPECT_FALSE(b->GetValue());
    f.port.setU32Le(0, 5);
    EXPECT_TRUE(b->GetValue(false, true));                      // neither: reads as true
    EXPECT_THROW(b->GetValue(true, true), OutOfRangeException); // unless verified
    CBooleanPtr lit = f.node("Lit");
    EXPECT_FALSE(lit->GetValue());
    lit->FromString("1");
    EXPECT_TRUE(lit->GetValue());
    EXPECT_THROW(lit->FromString("maybe"), InvalidArgumentException);
    EXPECT_EQ(f.node("B")->GetPrincipalInterfaceType(), intfIBoolean);
}

TEST(CommandNode, ExecuteAndIsDone) {
    Fixture f(std::string(kReg) + R"(
<Integer Name="CmdVal"><Value>0x55</Value></Integer>
<Command Name="Go"><pValue>CmdReg</pValue><CommandValue>1</CommandValue></Command>
<Command Name="GoPtr"><pValue>CmdReg</pValue><pCommandValue>CmdVal</pCommandValue></Command>
<Command Name="Lit"><Value>0</Value></Command>)");
    CCommandPtr go = f.node("Go");
    EXPECT_EQ(f.node("Go")->GetPrincipalInterfaceType(), intfICommand);
    EXPECT_EQ(f.node("Go")->GetAccessMode(), RW);
    go->Execute();
    EXPECT_EQ(f.port.traffic(), "W 0x10 4");
    EXPECT_EQ(f.port.u32Le(0x10), 1u);
    f.port.clearAccesses();
    EXPECT_FALSE(go->IsDone()); // the device still holds the command value
    EXPECT_EQ(f.port.traffic(), "R 0x10 4");
    f.port.setU32Le(0x10, 0); // the device finished
    EXPECT_TRUE(go->IsDone());
    CCommandPtr(f.node("GoPtr"))->Execute();
    EXPECT_EQ(f.port.u32Le(0x10), 0x55u);
    CCommandPtr lit = f.node("Lit");
    lit->Execute();
    EXPECT_TRUE(lit->IsDone());
}

TEST(StringNode, LiteralAndPointer) {
    Fixture f(std::string(kReg) + R"(
<String Name="Lit"><Value>hello</Value></String>
<String Name="Ptr"><pValue>SR</pValue></String>)");
    CStringPtr lit = f.node("Lit");
    EXPECT_EQ(lit->GetValue(), "hello");
    lit->SetValue("world");
    EXPECT_EQ(lit->ToString(), "world");
    EXPECT_EQ(f.node("Lit")->GetAccessMode(), RW);
    CStringPtr ptr = f.node("Ptr");
    ptr->FromString("camera");
    EXPECT_EQ(f.port.bytes(0x20, 7), (std::vector<uint8_t>{'c', 'a', 'm', 'e', 'r', 'a', 0}));
    EXPECT_EQ(ptr->GetValue(), "camera");
    EXPECT_EQ(ptr->GetMaxLength(), 16);
}

const char* kEnum = R"(
<Integer Name="Avail"><Value>1</Value></Integer>
<Enumeration Name="Mode" NameSpace="Standard">
  <ToolTip>The mode</ToolTip>
  <EnumEntry Name="Off" NameSpace="Standard"><Value>0</Value><DisplayName>Switched off</DisplayName></EnumEntry>
  <EnumEntry Name="On"><Value>1</Value><NumericValue>1.5</NumericValue></EnumEntry>
  <EnumEntry Name="Special"><Value>0x10</Value><pIsAvailable>Avail</pIsAvailable></EnumEntry>
  <EnumEntry Name="Hidden"><Value>7</Value><Symbolic>Secret</Symbolic><IsSelfClearing>Yes</IsSelfClearing></EnumEntry>
  <pValue>R</pValue>
</Enumeration>)";

TEST(EnumerationNode, EntriesValuesAndSymbolics) {
    Fixture f(std::string(kReg) + kEnum);
    CEnumerationPtr e = f.node("Mode");
    EXPECT_EQ(f.node("Mode")->GetPrincipalInterfaceType(), intfIEnumeration);
    node_vector entries;
    e->GetEntries(entries);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0]->GetName(), "EnumEntry_Mode_Off");
    EXPECT_EQ(entries[0]->GetDisplayName(), "Switched off");
    EXPECT_EQ(entries[1]->GetDisplayName(), "On");
    EXPECT_EQ(CEnumEntryPtr(entries[1])->GetNumericValue(), 1.5);
    EXPECT_EQ(CEnumEntryPtr(entries[3])->GetSymbolic(), "Secret");
    EXPECT_TRUE(CEnumEntryPtr(entries[3])->IsSelfClearing());
    EXPECT_EQ(entries[0]->GetAccessMode(), RO);
    EXPECT_EQ(e->ToString(), "Off");
    e->FromString("On");
    EXPECT_EQ(f.port.u32Le(0), 1u);
    EXPECT_EQ(e->GetIntValue(), 1);
    EXPECT_EQ(e->GetCurrentEntry()->GetSymbolic(), "On");
    e->SetIntValue(0x10);
    EXPECT_EQ(e->ToString(), "Special");
    EXPECT_EQ(e->GetEntryByName("Secret")->GetValue(), 7);
    EXPECT_EQ(e->GetEntryByName("Nope"), nullptr);
    EXPECT_EQ(e->GetEntry(1)->GetSymbolic(), "On");
    EXPECT_THROW(e->SetIntValue(3), OutOfRangeException);
    EXPECT_THROW(e->FromString("Nope"), InvalidArgumentException);
    f.port.setU32Le(0, 99);
    EXPECT_THROW(e->ToString(false, true), OutOfRangeException);
    EXPECT_THROW(e->GetIntValue(true), OutOfRangeException);
    EXPECT_EQ(e->GetIntValue(), 99);
}

TEST(EnumerationNode, UnavailableEntriesAreLeftOutAndRefused) {
    Fixture f(std::string(kReg) + kEnum);
    CEnumerationPtr e = f.node("Mode");
    StringList_t symbolics;
    e->GetSymbolics(symbolics);
    EXPECT_EQ(symbolics, (StringList_t{"Off", "On", "Special", "Secret"}));
    CIntegerPtr(f.node("Avail"))->SetValue(0);
    e->GetSymbolics(symbolics);
    EXPECT_EQ(symbolics, (StringList_t{"Off", "On", "Secret"}));
    EXPECT_EQ(f.node("EnumEntry_Mode_Special")->GetAccessMode(), NA);
    EXPECT_THROW(e->FromString("Special"), AccessException);
    f.port.clearAccesses();
    EXPECT_THROW(e->SetIntValue(0x10), AccessException);
    EXPECT_EQ(f.port.writeCount(), 0u);
}

TEST(EnumerationNode, LiteralValue) {
    Fixture f(R"(<Enumeration Name="E"><EnumEntry Name="A"><Value>1</Value></EnumEntry>
      <EnumEntry Name="B"><Value>2</Value></EnumEntry><Value>2</Value></Enumeration>)");
    CEnumerationPtr e = f.node("E");
    EXPECT_EQ(e->ToString(), "B");
    e->FromString("A");
    EXPECT_EQ(e->GetIntValue(), 1);
    EXPECT_EQ(f.node("E")->GetAccessMode(), RW);
}

TEST(CategoryNode, FeaturesInFileOrder) {
    Fixture f(std::string(kReg) + R"(
<Category Name="Root" NameSpace="Standard"><pFeature>Sub</pFeature><pFeature>R</pFeature></Category>
<Category Name="Sub"><DisplayName>Sub category</DisplayName><pFeature>Empty</pFeature><pFeature>SR</pFeature></Category>
<Category Name="Empty"/>)");
    CCategoryPtr root = f.node("Root");
    FeatureList_t features;
    root->GetFeatures(features);
    ASSERT_EQ(features.size(), 2u);
    EXPECT_EQ(features[0]->GetNode()->GetName(), "Sub");
    EXPECT_EQ(features[1]->GetNode()->GetName(), "R");
    EXPECT_EQ(f.node("Root")->GetPrincipalInterfaceType(), intfICategory);
    EXPECT_EQ(f.node("Root")->GetAccessMode(), RO);
    CCategoryPtr(f.node("Empty"))->GetFeatures(features);
    EXPECT_TRUE(features.empty());
    EXPECT_TRUE(f.node("Empty")->IsFeature());
    EXPECT_TRUE(f.node("SR")->IsFeature());
    EXPECT_FALSE(f.node("CmdReg")->IsFeature());
    EXPECT_THROW(CValuePtr(f.node("Root"))->ToString(), LogicalErrorException);
}

TEST(PortNode, InterfaceTypeAndUnconnectedAccess) {
    std::string xml = qx::test::makeXml(kReg);
    CNodeMapRef ref;
    ref._LoadXMLFromString(xml);
    INode* port = ref._GetNode("Device");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->GetPrincipalInterfaceType(), intfIPort);
    EXPECT_EQ(port->GetAccessMode(), NA);
    EXPECT_EQ(ref._GetNode("R")->GetAccessMode(), NA);
    EXPECT_THROW(CIntegerPtr(ref._GetNode("R"))->GetValue(), AccessException);
    uint8_t b[4];
    EXPECT_THROW(CPortPtr(port)->Read(b, 0, 4), AccessException);
    qx::test::MemoryPort mem(0x100, RO);
    ref._Connect(&mem);
    EXPECT_EQ(port->GetAccessMode(), RO);
    EXPECT_EQ(ref._GetNode("R")->GetAccessMode(), RO); // RW register on a read-only port
    mem.setAccessMode(RW);
    EXPECT_EQ(ref._GetNode("R")->GetAccessMode(), RW);
    CPortPtr(port)->Read(b, 0, 4);
    EXPECT_EQ(mem.traffic(), "R 0x0 4");
}

TEST(Node, TextsVisibilityAndProperties) {
    Fixture f(std::string(kReg) + R"(
<Node Name="Plain"><ToolTip>Just a node</ToolTip></Node>
<Integer Name="A" NameSpace="Standard">
  <ToolTip>Tip</ToolTip><Description>Longer description</Description><DisplayName>The A</DisplayName>
  <Visibility>Guru</Visibility><DocuURL>http://example.invalid/a</DocuURL><EventID>0x9001</EventID>
  <IsDeprecated>Yes</IsDeprecated><PollingTime>250</PollingTime><Streamable>Yes</Streamable>
  <Value>1</Value></Integer>
<Integer Name="B"><Description>Only a description</Description><Value>1</Value></Integer>
<Integer Name="C"><Visibility>Expert</Visibility><Value>1</Value></Integer>)");
    INode* a = f.node("A");
    EXPECT_EQ(a->GetName(), "A");
    EXPECT_EQ(a->GetName(true), "Std::A");
    EXPECT_EQ(f.node("B")->GetName(true), "Cust::B");
    EXPECT_EQ(a->GetNameSpace(), Standard);
    EXPECT_EQ(a->GetDisplayName(), "The A");
    EXPECT_EQ(a->GetToolTip(), "Tip");
    EXPECT_EQ(a->GetDescription(), "Longer description");
    EXPECT_EQ(a->GetVisibility(), Guru);
    EXPECT_EQ(a->GetDocuURL(), "http://example.invalid/a");
    EXPECT_EQ(a->GetEventID(), "0x9001");
    EXPECT_TRUE(a->IsDeprecated());
    EXPECT_EQ(a->GetPollingTime(), 250);
    EXPECT_TRUE(a->IsStreamable());
    EXPECT_EQ(a->GetDeviceName(), "Device");
    EXPECT_EQ(a->GetNodeMap(), f.ref._Ptr());
    INode* b = f.node("B");
    EXPECT_EQ(b->GetDisplayName(), "B");
    EXPECT_EQ(b->GetToolTip(), "Only a description");
    EXPECT_EQ(b->GetVisibility(), Beginner);
    EXPECT_FALSE(b->IsStreamable());
    EXPECT_EQ(b->GetPollingTime(), -1);
    EXPECT_EQ(f.node("C")->GetVisibility(), Expert);
    INode* plain = f.node("Plain");
    EXPECT_EQ(plain->GetPrincipalInterfaceType(), intfIBase);
    EXPECT_EQ(plain->GetDescription(), "Just a node");
    EXPECT_EQ(plain->GetAccessMode(), RO);
    b->ImposeVisibility(Invisible);
    EXPECT_EQ(b->GetVisibility(), Invisible);
    EXPECT_EQ(f.node("R")->GetCachingMode(), WriteThrough);
    EXPECT_TRUE(f.node("R")->IsCachable());
}

TEST(Node, ChildrenParentsAndSelectors) {
    Fixture f(std::string(kReg) + R"(
<Integer Name="Max"><Value>100</Value></Integer>
<Integer Name="Sel"><Value>0</Value><pSelected>A</pSelected><pSelected>K</pSelected></Integer>
<Integer Name="A"><pValue>R</pValue><pMax>Max</pMax><pIsAvailable>Sel</pIsAvailable></Integer>
<IntSwissKnife Name="K"><pVariable Name="X">A</pVariable><Formula>X+1</Formula></IntSwissKnife>)");
    node_vector v;
    f.node("A")->GetChildren(v, ctReadingChildren);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0]->GetName(), "R");
    EXPECT_EQ(v[1]->GetName(), "Max");
    f.node("A")->GetChildren(v, ctWritingChildren);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]->GetName(), "R");
    f.node("K")->GetChildren(v, ctTerminalNodes);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]->GetName(), "K"); // a SwissKnife is its own terminal (no pValue)
    f.node("A")->GetChildren(v, ctTerminalNodes);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]->GetName(), "R");
    f.node("R")->GetParents(v);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]->GetName(), "A");
    f.node("R")->GetChildren(v, ctDependingNodes);
    std::vector<std::string> names;
    for (INode* n : v) names.push_back(n->GetName());
    EXPECT_EQ(names, (std::vector<std::string>{"A", "K"}));
    f.node("Max")->GetChildren(v, ctReadingChildren);
    EXPECT_TRUE(v.empty());

    CSelectorPtr sel = f.node("Sel");
    EXPECT_TRUE(sel->IsSelector());
    FeatureList_t selected;
    sel->GetSelectedFeatures(selected);
    ASSERT_EQ(selected.size(), 2u);
    EXPECT_EQ(selected[1]->GetNode()->GetName(), "K");
    CSelectorPtr(f.node("A"))->GetSelectingFeatures(selected);
    ASSERT_EQ(selected.size(), 1u);
    EXPECT_EQ(selected[0]->GetNode()->GetName(), "Sel");
    EXPECT_FALSE(CSelectorPtr(f.node("A"))->IsSelector());
}

TEST(Pointers, TypedPointersAndNull) {
    Fixture f(kReg);
    CIntegerPtr asInt = f.node("R");
    CFloatPtr asFloat = f.node("R");
    EXPECT_TRUE(asInt.IsValid());
    EXPECT_FALSE(asFloat.IsValid());
    EXPECT_TRUE(static_cast<bool>(asInt));
    EXPECT_EQ(asInt.GetNode(), f.node("R"));
    try {
        asFloat->GetValue();
        FAIL();
    } catch (const LogicalErrorException& e) {
        EXPECT_STREQ(e.what(), "NULL pointer dereferenced");
        EXPECT_STREQ(e.GetType(), "LogicalErrorException");
    }
    CValuePtr v = f.node("R");
    EXPECT_EQ(v->GetNode(), f.node("R"));
    EXPECT_TRUE(IsReadable(asInt));
    EXPECT_TRUE(IsWritable(f.node("R")));
    EXPECT_FALSE(IsReadable(asFloat));
    EXPECT_FALSE(IsAvailable(static_cast<INode*>(nullptr)));
}

} // namespace
