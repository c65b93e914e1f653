// Loading description files: schema versions, BOM, comments, NUL-terminated text, Group,
// StructReg, unknown elements and Extension, duplicate merging (the GigE ConnectorDevice
// rewrite), dangling references and cycles, and the node-map reference life cycle.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "GenApiTestUtil.h"

using namespace QxGenApi;
using qx::test::Fixture;
using qx::test::loadText;
using qx::test::makeXml;
using qx::test::MemoryPort;

namespace {

const char* kSimple = R"(
<Category Name="Root" NameSpace="Standard"><pFeature>Width</pFeature></Category>
<Integer Name="Width" NameSpace="Standard"><pValue>WidthReg</pValue><Min>1</Min><Max>4096</Max></Integer>
<IntReg Name="WidthReg"><Address>0x100</Address><Length>4</Length><AccessMode>RW</AccessMode>
  <pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
)";

std::string errorOf(const std::string& xml) {
    try {
        loadText(xml);
    } catch (const RuntimeException& e) {
        return e.GetDescription();
    }
    return "";
}

TEST(Loader, SchemaVersions10And11) {
    for (const char* schema : {"1_0", "1_1"}) {
        MemoryPort port;
        port.setU32Be(0x100, 640);
        CNodeMapRef ref;
        qx::test::loadNodeMap(ref, makeXml(kSimple, schema), port);
        EXPECT_EQ(CIntegerPtr(ref._GetNode("Width"))->GetValue(), 640) << schema;
        int64_t major, minor, sub;
        ref._Ptr()->GetSchemaVersion(major, minor, sub);
        EXPECT_EQ(major, 1);
        EXPECT_EQ(minor, schema[2] - '0');
    }
}

TEST(Loader, RootAttributes) {
    auto map = loadText(makeXml(kSimple));
    EXPECT_EQ(map->GetModelName(), "Test");
    EXPECT_EQ(map->GetVendorName(), "Qx");
    EXPECT_EQ(map->GetToolTip(), "test file");
    EXPECT_EQ(map->GetDeviceName(), "Device");
    int64_t a, b, c;
    map->GetDeviceVersion(a, b, c);
    EXPECT_EQ(a * 100 + b * 10 + c, 123);
    EXPECT_EQ(map->GetNumNodes(), 4u);
}

TEST(Loader, ByteOrderMarkAndComments) {
    std::string xml = "\xEF\xBB\xBF" + makeXml(std::string("<!-- a comment -->") + R"(
<Integer Name="A"><!-- inside --><Value>5</Value><!-- <Value>6</Value> --></Integer>)");
    auto map = loadText(xml);
    EXPECT_EQ(CIntegerPtr(map->GetNode("A"))->GetValue(), 5);
}

TEST(Loader, TextEndsAtTheFirstNul) {
    std::string xml = makeXml(kSimple);
    std::string withZeros = xml + std::string(4096, '\0');
    auto a = loadText(withZeros);
    EXPECT_NE(a->GetNode("Width"), nullptr);
    std::string withGarbage = xml + std::string(1, '\0') + "<<<garbage that is not XML";
    auto b = loadText(withGarbage);
    EXPECT_EQ(b->GetNumNodes(), a->GetNumNodes());
}

TEST(Loader, GroupsAreFlattened) {
    auto map = loadText(makeXml(R"(
<Group Comment="outer">
  <Integer Name="A"><Value>1</Value></Integer>
  <Group Comment="inner"><Integer Name="B"><Value>2</Value></Integer></Group>
</Group>
<Integer Name="C"><Value>3</Value></Integer>)"));
    EXPECT_EQ(CIntegerPtr(map->GetNode("A"))->GetValue(), 1);
    EXPECT_EQ(CIntegerPtr(map->GetNode("B"))->GetValue(), 2);
    EXPECT_EQ(CIntegerPtr(map->GetNode("C"))->GetValue(), 3);
    EXPECT_EQ(map->GetNode("outer"), nullptr);
}

TEST(Loader, StructRegEntriesBecomeMaskedIntRegs) {
    Fixture f(R"(
<StructReg Comment="S">
  <Address>0x20</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
  <Endianess>LittleEndian</Endianess>
  <StructEntry Name="Low"><LSB>0</LSB><MSB>7</MSB></StructEntry>
  <StructEntry Name="High"><LSB>8</LSB><MSB>15</MSB><AccessMode>RO</AccessMode></StructEntry>
  <StructEntry Name="Flag"><Bit>31</Bit></StructEntry>
</StructReg>)");
    f.port.setU32Le(0x20, 0x8000ABCD);
    CIntegerPtr low = f.node("Low"), high = f.node("High"), flag = f.node("Flag");
    ASSERT_TRUE(low && high && flag);
    EXPECT_EQ(low->GetValue(), 0xCD);
    EXPECT_EQ(high->GetValue(), 0xAB);
    EXPECT_EQ(flag->GetValue(), 1);
    EXPECT_EQ(CRegisterPtr(f.node("High"))->GetAddress(), 0x20);
    EXPECT_EQ(f.node("High")->GetAccessMode(), RO); // the entry's own property wins
    EXPECT_EQ(f.node("Low")->GetAccessMode(), RW);
    EXPECT_EQ(f.node("S"), nullptr);
}

TEST(Loader, UnknownElementsAndExtensionsAreIgnored) {
    auto map = loadText(makeXml(R"(
<Category Name="Root"><pFeature>A</pFeature><pFeature>Legacy</pFeature></Category>
<IntKey Name="Legacy"><Whatever/></IntKey>
<FancyFutureNode Name="Future"/>
<Integer Name="A">
  <Extension><pValue>DoesNotExist</pValue><Anything deep="1"><x/></Anything></Extension>
  <SomeFutureProperty>7</SomeFutureProperty>
  <Value>4</Value>
</Integer>)"));
    EXPECT_EQ(CIntegerPtr(map->GetNode("A"))->GetValue(), 4);
    EXPECT_EQ(map->GetNode("Legacy"), nullptr);
    EXPECT_EQ(map->GetNode("Future"), nullptr);
    FeatureList_t features;
    CCategoryPtr(map->GetNode("Root"))->GetFeatures(features);
    ASSERT_EQ(features.size(), 1u);
    EXPECT_EQ(features[0]->GetNode()->GetName(), "A");
}

TEST(Loader, IdenticalDuplicatesAreMerged) {
    std::string body = R"(
<Integer Name="A"><Value>4</Value></Integer>
<Integer Name="A"><Value>4</Value></Integer>)";
    auto map = loadText(makeXml(body));
    EXPECT_EQ(CIntegerPtr(map->GetNode("A"))->GetValue(), 4);
    EXPECT_EQ(map->GetNumNodes(), 2u); // A and the port
}

TEST(Loader, DifferingDuplicatesAreRefused) {
    std::string err = errorOf(makeXml(R"(
<Integer Name="A"><Value>4</Value></Integer>
<Integer Name="A"><Value>5</Value></Integer>)"));
    EXPECT_NE(err.find("'A'"), std::string::npos) << err;
    EXPECT_NE(err.find("twice"), std::string::npos) << err;
}

// The GigE connect rewrites "<pPort>ConnectorDevice</pPort>" to Device and the ConnectorDevice
// port element to a second Device port: the duplicate port merges and every register reaches
// the port connected as "Device"; connecting "ConnectorDevice" then answers false.
TEST(Loader, GigeConnectorDeviceRewrite) {
    std::string original = makeXml(R"(
<IntReg Name="A"><Address>0x10</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="B"><Address>0x20</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>ConnectorDevice</pPort></IntReg>
<Port Name="ConnectorDevice" NameSpace="Standard"/>)");
    {
        MemoryPort p0, p1;
        CNodeMapRef ref;
        CNodeMapFactory f(ContentType_Xml, original.data(), original.size());
        ref._Initialize(f.CreateNodeMap());
        EXPECT_TRUE(ref._Connect(&p0));
        EXPECT_TRUE(ref._Connect(&p1, "ConnectorDevice"));
        CIntegerPtr(ref._GetNode("B"))->GetValue();
        EXPECT_EQ(p1.readCount(), 1u);
        EXPECT_EQ(p0.readCount(), 0u);
    }
    std::string rewritten = original;
    auto replaceAll = [](std::string& s, const std::string& from, const std::string& to) {
        for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
            s.replace(pos, from.size(), to);
    };
    replaceAll(rewritten, "<pPort>ConnectorDevice</pPort>", "<pPort>Device</pPort>");
    replaceAll(rewritten, "<Port Name=\"ConnectorDevice\" NameSpace=\"Standard\"/>",
               "<Port Name=\"Device\" NameSpace=\"Standard\"/>");
    MemoryPort p0, p1;
    CNodeMapRef ref;
    CNodeMapFactory f(ContentType_Xml, rewritten.data(), rewritten.size());
    ref._Initialize(f.CreateNodeMap());
    EXPECT_TRUE(ref._Connect(&p0));
    EXPECT_FALSE(ref._Connect(&p1, "ConnectorDevice"));
    CIntegerPtr(ref._GetNode("B"))->GetValue();
    EXPECT_EQ(p0.traffic(), "R 0x20 4");
}

TEST(Loader, DanglingReferencesAreRefusedWithAClearMessage) {
    std::string err = errorOf(makeXml(R"(<Integer Name="Width"><pValue>NoSuchNode</pValue></Integer>)"));
    EXPECT_NE(err.find("Width"), std::string::npos) << err;
    EXPECT_NE(err.find("pValue"), std::string::npos) << err;
    EXPECT_NE(err.find("NoSuchNode"), std::string::npos) << err;
    EXPECT_NE(errorOf(makeXml(R"(<Category Name="Root"><pFeature>Missing</pFeature></Category>)")), "");
    EXPECT_NE(
        errorOf(makeXml(R"(<IntReg Name="R"><Address>0</Address><Length>4</Length><pPort>NoPort</pPort></IntReg>)")),
        "");
    EXPECT_NE(errorOf(makeXml(R"(<Integer Name="A"><Value>1</Value><pIsAvailable>Gone</pIsAvailable></Integer>)")), "");
    EXPECT_NE(
        errorOf(makeXml(
            R"(<IntSwissKnife Name="K"><pVariable Name="X">Gone</pVariable><Formula>X</Formula></IntSwissKnife>)")),
        "");
}

TEST(Loader, ReferenceCyclesAreRefused) {
    std::string err = errorOf(makeXml(R"(
<Integer Name="A"><pValue>B</pValue></Integer>
<Integer Name="B"><pValue>A</pValue></Integer>)"));
    EXPECT_NE(err.find("cycle"), std::string::npos) << err;
    EXPECT_NE(err.find("A"), std::string::npos) << err;
    EXPECT_NE(errorOf(makeXml(R"(
<IntSwissKnife Name="K"><pVariable Name="X">L</pVariable><Formula>X</Formula></IntSwissKnife>
<IntSwissKnife Name="L"><pVariable Name="Y">K</pVariable><Formula>Y</Formula></IntSwissKnife>)"))
                  .find("cycle"),
              std::string::npos);
    EXPECT_NE(errorOf(makeXml(R"(
<IntReg Name="R"><pAddress>R</pAddress><Length>4</Length><pPort>Device</pPort></IntReg>)"))
                  .find("cycle"),
              std::string::npos);
    EXPECT_NE(errorOf(makeXml(R"(
<Category Name="Root"><pFeature>C</pFeature></Category>
<Category Name="C"><pFeature>Root</pFeature></Category>)"))
                  .find("cycle"),
              std::string::npos);
}

// Width's maximum depends on OffsetX's value and OffsetX's maximum on Width's: legal (bounds do
// not feed values), as in most real cameras.
TEST(Loader, BoundsThatReferEachOtherAreNotACycle) {
    Fixture f(R"(
<Integer Name="Width"><pValue>WidthReg</pValue><Min>1</Min><pMax>WidthMax</pMax></Integer>
<IntSwissKnife Name="WidthMax"><pVariable Name="OX">OffsetX</pVariable><Formula>2048-OX</Formula></IntSwissKnife>
<Integer Name="OffsetX"><pValue>OffsetXReg</pValue><Min>0</Min><pMax>OffsetXMax</pMax></Integer>
<IntSwissKnife Name="OffsetXMax"><pVariable Name="W">Width</pVariable><Formula>2048-W</Formula></IntSwissKnife>
<IntReg Name="WidthReg"><Address>0</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="OffsetXReg"><Address>4</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>)");
    f.port.setU32Le(0, 1000);
    f.port.setU32Le(4, 48);
    CIntegerPtr w = f.node("Width"), ox = f.node("OffsetX");
    EXPECT_EQ(w->GetMax(), 2000);
    EXPECT_EQ(ox->GetMax(), 1048);
    ox->SetValue(1048);
    EXPECT_EQ(w->GetMax(), 1000);
    EXPECT_THROW(w->SetValue(1001), OutOfRangeException);
}

TEST(Loader, MalformedXmlIsARuntimeException) {
    std::string xml = makeXml(kSimple);
    EXPECT_THROW(loadText(xml.substr(0, xml.size() / 2)), RuntimeException);
    EXPECT_THROW(loadText(""), RuntimeException);
    EXPECT_THROW(loadText("not xml at all"), RuntimeException);
    EXPECT_THROW(loadText("<Other><Integer Name=\"A\"><Value>1</Value></Integer></Other>"), RuntimeException);
    EXPECT_THROW(loadText(makeXml("<Integer Name=\"A\"><Value>abc</Value></Integer>")), RuntimeException);
    EXPECT_THROW(loadText(makeXml("<Integer><Value>1</Value></Integer>")), RuntimeException);
    EXPECT_THROW(loadText(makeXml("<Integer Name=\"A\"/>")), RuntimeException);
    std::string err = errorOf(xml.substr(0, 200));
    EXPECT_NE(err.find("offset"), std::string::npos) << err;
}

TEST(Loader, NodeMapRefLifeCycle) {
    std::string xml = makeXml(kSimple);
    CNodeMapRef ref("Device");
    EXPECT_FALSE(ref._IsInitialized());
    EXPECT_EQ(ref._GetNode("Width"), nullptr);
    CIntegerPtr missing = ref._GetNode("Width");
    try {
        missing->GetValue();
        FAIL() << "no exception";
    } catch (const LogicalErrorException& e) {
        EXPECT_EQ(e.GetDescription(), "NULL pointer dereferenced");
    }
    MemoryPort port;
    EXPECT_THROW(ref._Connect(&port), AccessException);
    ref._Poll(10); // nothing to poll, no failure

    CNodeMapFactory::ClearCache();
    CNodeMapFactory f1(ContentType_Xml, xml.data(), xml.size());
    ref._Initialize(f1.CreateNodeMap("Device"));
    EXPECT_TRUE(ref._Connect(&port));
    EXPECT_FALSE(ref._Connect(&port, "NoSuchPort"));
    EXPECT_NE(ref._GetNode("Width"), nullptr);
    EXPECT_EQ(ref._GetNode("Nope"), nullptr);

    CNodeMapFactory f2(ContentType_Xml, xml.data(), xml.size());
    try {
        ref._Initialize(f2.CreateNodeMap("Device"));
        FAIL() << "no exception";
    } catch (const RuntimeException& e) {
        EXPECT_EQ(e.GetDescription(), "Node map already created");
    }
    ref._Destroy();
    EXPECT_EQ(ref._GetNode("Width"), nullptr);
    CNodeMapFactory f3(ContentType_Xml, xml.data(), xml.size());
    ref._Initialize(f3.CreateNodeMap("Device"));
    EXPECT_NE(ref._GetNode("Width"), nullptr);
    ref._Destroy();
    ref._LoadXMLFromString(xml);
    EXPECT_NE(ref._GetNode("Width"), nullptr);
}

TEST(Loader, FactoryReusesItsParsedText) {
    std::string xml = makeXml(kSimple);
    CNodeMapFactory f(ContentType_Xml, xml.data(), xml.size());
    std::unique_ptr<INodeMap> a(f.CreateNodeMap("Device", false));
    std::unique_ptr<INodeMap> b(f.CreateNodeMap("Other", true));
    EXPECT_NE(a->GetNode("Width"), b->GetNode("Width"));
    EXPECT_EQ(b->GetDeviceName(), "Other");
    EXPECT_EQ(b->GetNode("Width")->GetDeviceName(), "Other");
    EXPECT_THROW(CNodeMapFactory(ContentType_ZippedXml, xml.data(), xml.size()), RuntimeException);
    CNodeMapFactory empty;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_THROW(empty.CreateNodeMap(), RuntimeException);
}

TEST(Loader, FromFile) {
    std::string path = ::testing::TempDir() + "qx_genapi_loader_test.xml";
    {
        std::ofstream out(path, std::ios::binary);
        out << makeXml(kSimple);
    }
    CNodeMapRef ref;
    ref._LoadXMLFromFile(path);
    EXPECT_NE(ref._GetNode("Width"), nullptr);
    std::remove(path.c_str());
    CNodeMapRef ref2;
    EXPECT_THROW(ref2._LoadXMLFromFile(path + ".missing"), RuntimeException);
}

TEST(Loader, EnumEntriesAreNodesWithQualifiedNames) {
    auto map = loadText(makeXml(R"(
<Enumeration Name="Mode"><EnumEntry Name="Off"><Value>0</Value></EnumEntry>
  <EnumEntry Name="On"><Value>1</Value></EnumEntry><Value>0</Value></Enumeration>
<Enumeration Name="Other"><EnumEntry Name="Off"><Value>5</Value></EnumEntry><Value>5</Value></Enumeration>)"));
    INode* e = map->GetNode("EnumEntry_Mode_On");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->GetPrincipalInterfaceType(), intfIEnumEntry);
    EXPECT_EQ(CEnumEntryPtr(e)->GetSymbolic(), "On");
    EXPECT_EQ(CEnumEntryPtr(map->GetNode("EnumEntry_Other_Off"))->GetValue(), 5);
    EXPECT_EQ(map->GetNode("On"), nullptr);
}

} // namespace

// The loader fuzz target's seeds must load: a seed the loader refuses only exercises the
// refusal, not the node kinds it was written for.
TEST(Loader, FuzzSeedsLoad) {
    size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QX_GENAPI_FUZZ_CORPUS)) {
        if (entry.path().extension() != ".xml") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ++seeds;
        EXPECT_NO_THROW(loadText(text)) << entry.path();
    }
    EXPECT_GE(seeds, 4u);
}
