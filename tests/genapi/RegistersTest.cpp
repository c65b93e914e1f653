// Register nodes and the exact register traffic a feature access causes: lengths, signs, byte
// orders, address computation, masked read-modify-write, caching modes keyed by address,
// invalidation, IgnoreCache, zero-filled read buffers.
#include <gtest/gtest.h>

#include "GenApiTestUtil.h"

using namespace QxGenApi;
using qx::test::Fixture;
using qx::test::makeXml;
using qx::test::MemoryPort;

namespace {

std::string intReg(const std::string& name, const std::string& addr, int len, const std::string& extra = "") {
    return "<IntReg Name=\"" + name + "\"><Address>" + addr + "</Address><Length>" + std::to_string(len) +
           "</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>" + extra + "</IntReg>\n";
}

TEST(IntReg, LengthsSignsAndByteOrders) {
    Fixture f(intReg("U8", "0x00", 1) + intReg("S8", "0x01", 1, "<Sign>Signed</Sign>") +
              intReg("U16BE", "0x02", 2, "<Endianess>BigEndian</Endianess>") + intReg("U16LE", "0x04", 2) +
              intReg("S32BE", "0x08", 4, "<Sign>Signed</Sign><Endianess>BigEndian</Endianess>") +
              intReg("U32LE", "0x0C", 4) + intReg("S64LE", "0x10", 8, "<Sign>Signed</Sign>") +
              intReg("U64BE", "0x18", 8, "<Endianess>BigEndian</Endianess>") +
              intReg("U24BE", "0x20", 3, "<Endianess>BigEndian</Endianess>"));
    MemoryPort& p = f.port;
    p.setU8(0, 0xFE);
    p.setU8(1, 0xFE);
    p.setU16Be(2, 0x1234);
    p.setU16Le(4, 0x1234);
    p.setU32Be(8, 0xFFFFFFFE);
    p.setU32Le(0x0C, 0xDEADBEEF);
    p.setU64Le(0x10, 0xFFFFFFFFFFFFFFF0ull);
    p.setU64Be(0x18, 0x0102030405060708ull);
    p.setBytes(0x20, "\x01\x02\x03", 3);
    EXPECT_EQ(CIntegerPtr(f.node("U8"))->GetValue(), 0xFE);
    EXPECT_EQ(CIntegerPtr(f.node("S8"))->GetValue(), -2);
    EXPECT_EQ(CIntegerPtr(f.node("U16BE"))->GetValue(), 0x1234);
    EXPECT_EQ(CIntegerPtr(f.node("U16LE"))->GetValue(), 0x1234);
    EXPECT_EQ(CIntegerPtr(f.node("S32BE"))->GetValue(), -2);
    EXPECT_EQ(CIntegerPtr(f.node("U32LE"))->GetValue(), 0xDEADBEEF);
    EXPECT_EQ(CIntegerPtr(f.node("S64LE"))->GetValue(), -16);
    EXPECT_EQ(CIntegerPtr(f.node("U64BE"))->GetValue(), 0x0102030405060708);
    EXPECT_EQ(CIntegerPtr(f.node("U24BE"))->GetValue(), 0x010203);

    EXPECT_EQ(CIntegerPtr(f.node("S8"))->GetMin(), -128);
    EXPECT_EQ(CIntegerPtr(f.node("S8"))->GetMax(), 127);
    EXPECT_EQ(CIntegerPtr(f.node("U16LE"))->GetMax(), 65535);
    EXPECT_EQ(CIntegerPtr(f.node("U32LE"))->GetMin(), 0);

    CIntegerPtr(f.node("U16BE"))->SetValue(0xABCD);
    EXPECT_EQ(p.bytes(2, 2), (std::vector<uint8_t>{0xAB, 0xCD}));
    CIntegerPtr(f.node("U16LE"))->SetValue(0xABCD);
    EXPECT_EQ(p.bytes(4, 2), (std::vector<uint8_t>{0xCD, 0xAB}));
    CIntegerPtr(f.node("S32BE"))->SetValue(-3);
    EXPECT_EQ(p.u32Be(8), 0xFFFFFFFDu);
    EXPECT_THROW(CIntegerPtr(f.node("U8"))->SetValue(256), OutOfRangeException);
    EXPECT_THROW(CIntegerPtr(f.node("S8"))->SetValue(-129), OutOfRangeException);
    CIntegerPtr(f.node("U64BE"))->SetValue(0x1122334455667788);
    EXPECT_EQ(p.u64Be(0x18), 0x1122334455667788ull);
}

TEST(IntReg, AddressIsTheSumOfAllParts) {
    Fixture f(R"(
<Integer Name="Base"><Value>0x100</Value></Integer>
<Integer Name="Sel"><Value>2</Value></Integer>
<Integer Name="Stride"><Value>0x10</Value></Integer>
<IntReg Name="R">
  <Address>0x1000</Address>
  <Address>0x0020</Address>
  <pAddress>Base</pAddress>
  <IntSwissKnife><pVariable Name="S">Sel</pVariable><Constant Name="K">3</Constant><Formula>S * K</Formula></IntSwissKnife>
  <pIndex Offset="0x40">Sel</pIndex>
  <pIndex pOffset="Stride">Sel</pIndex>
  <Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
</IntReg>
<IntReg Name="NoOffset"><Address>0x10</Address><pIndex>Sel</pIndex><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>)");
    CRegisterPtr r = f.node("R");
    EXPECT_EQ(r->GetAddress(), 0x1000 + 0x20 + 0x100 + 6 + 2 * 0x40 + 2 * 0x10);
    CIntegerPtr(f.node("Sel"))->SetValue(0);
    EXPECT_EQ(r->GetAddress(), 0x1120);
    CIntegerPtr(f.node("Base"))->SetValue(0x200);
    EXPECT_EQ(r->GetAddress(), 0x1220);
    CIntegerPtr(f.node("Sel"))->SetValue(1);
    EXPECT_EQ(CRegisterPtr(f.node("NoOffset"))->GetAddress(), 0x14); // offset defaults to the length
    f.port.clearAccesses();
    CIntegerPtr(f.node("R"))->GetValue();
    EXPECT_EQ(f.port.traffic(), "R 0x1273 4");
}

TEST(MaskedIntReg, LittleEndianFieldsReadModifyWrite) {
    std::string common = "<Address>0x40</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>";
    Fixture f("<MaskedIntReg Name=\"Nibble\">" + common +
              "<LSB>4</LSB><MSB>7</MSB></MaskedIntReg>"
              "<MaskedIntReg Name=\"Signed\">" +
              common +
              "<LSB>8</LSB><MSB>15</MSB><Sign>Signed</Sign></MaskedIntReg>"
              "<MaskedIntReg Name=\"Top\">" +
              common + "<Bit>31</Bit></MaskedIntReg>");
    f.port.setU32Le(0x40, 0x0000FFA5);
    CIntegerPtr nibble = f.node("Nibble"), sgn = f.node("Signed"), top = f.node("Top");
    EXPECT_EQ(nibble->GetValue(), 0xA);
    EXPECT_EQ(nibble->GetMax(), 15);
    EXPECT_EQ(sgn->GetValue(), -1);
    EXPECT_EQ(sgn->GetMin(), -128);
    EXPECT_EQ(top->GetValue(), 0);
    // Fresh register state: one read, then the merged write.
    CNodeMapRef& ref = f.ref;
    ref._InvalidateNodes();
    f.port.clearAccesses();
    top->SetValue(1);
    EXPECT_EQ(f.port.traffic(), "R 0x40 4, W 0x40 4");
    EXPECT_EQ(f.port.u32Le(0x40), 0x8000FFA5u);
    // Top's register is cached now (write-through): its next write needs no read.
    f.port.clearAccesses();
    top->SetValue(0);
    EXPECT_EQ(f.port.traffic(), "W 0x40 4");
    top->SetValue(1);
    // Another field of the same register: its cache was dropped by the overlapping writes.
    f.port.clearAccesses();
    nibble->SetValue(3);
    EXPECT_EQ(f.port.traffic(), "R 0x40 4, W 0x40 4");
    EXPECT_EQ(f.port.u32Le(0x40), 0x8000FF35u);
    EXPECT_THROW(nibble->SetValue(16), OutOfRangeException);
    sgn->SetValue(-128);
    EXPECT_EQ(f.port.u32Le(0x40), 0x80008035u);
}

TEST(MaskedIntReg, BigEndianBitNumbering) {
    // Big-endian registers number bit 0 as the most significant bit.
    std::string common =
        "<Address>0</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Endianess>BigEndian</Endianess>";
    Fixture f("<MaskedIntReg Name=\"Hi\">" + common +
              "<LSB>15</LSB><MSB>0</MSB></MaskedIntReg>"
              "<MaskedIntReg Name=\"Lo\">" +
              common +
              "<LSB>31</LSB><MSB>16</MSB></MaskedIntReg>"
              "<MaskedIntReg Name=\"B0\">" +
              common + "<Bit>0</Bit></MaskedIntReg>");
    f.port.setU32Be(0, 0x92345678);
    EXPECT_EQ(CIntegerPtr(f.node("Hi"))->GetValue(), 0x9234);
    EXPECT_EQ(CIntegerPtr(f.node("Lo"))->GetValue(), 0x5678);
    EXPECT_EQ(CIntegerPtr(f.node("B0"))->GetValue(), 1);
    CIntegerPtr(f.node("Lo"))->SetValue(0xBEEF);
    EXPECT_EQ(f.port.u32Be(0), 0x9234BEEFu);
}

TEST(MaskedIntReg, WriteOnlyRegisterMergesWithZero) {
    Fixture f(R"(<MaskedIntReg Name="M"><Address>0</Address><Length>4</Length><AccessMode>WO</AccessMode>
      <pPort>Device</pPort><LSB>8</LSB><MSB>11</MSB></MaskedIntReg>)");
    f.port.setU32Le(0, 0xFFFFFFFF);
    CIntegerPtr(f.node("M"))->SetValue(5);
    EXPECT_EQ(f.port.traffic(), "W 0x0 4");
    EXPECT_EQ(f.port.u32Le(0), 0x500u);
}

TEST(FloatReg, FourAndEightBytesBothOrders) {
    Fixture f(R"(
<FloatReg Name="F4LE"><Address>0</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></FloatReg>
<FloatReg Name="F4BE"><Address>4</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Endianess>BigEndian</Endianess></FloatReg>
<FloatReg Name="F8LE"><Address>8</Address><Length>8</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Unit>us</Unit></FloatReg>
<FloatReg Name="F8BE"><Address>16</Address><Length>8</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Endianess>BigEndian</Endianess></FloatReg>)");
    f.port.setU32Le(0, 0x3FC00000);            // 1.5f
    f.port.setU32Be(4, 0xC0200000);            // -2.5f
    f.port.setU64Le(8, 0x400921FB54442D18ull); // pi
    f.port.setU64Be(16, 0x3FF0000000000000ull);
    EXPECT_DOUBLE_EQ(CFloatPtr(f.node("F4LE"))->GetValue(), 1.5);
    EXPECT_DOUBLE_EQ(CFloatPtr(f.node("F4BE"))->GetValue(), -2.5);
    EXPECT_DOUBLE_EQ(CFloatPtr(f.node("F8LE"))->GetValue(), 3.141592653589793);
    EXPECT_DOUBLE_EQ(CFloatPtr(f.node("F8BE"))->GetValue(), 1.0);
    EXPECT_EQ(CFloatPtr(f.node("F8LE"))->GetUnit(), "us");
    CFloatPtr(f.node("F4BE"))->SetValue(0.25);
    EXPECT_EQ(f.port.u32Be(4), 0x3E800000u);
    CFloatPtr(f.node("F8BE"))->SetValue(-1.0);
    EXPECT_EQ(f.port.u64Be(16), 0xBFF0000000000000ull);
    EXPECT_THROW(qx::test::loadText(makeXml(
                     R"(<FloatReg Name="X"><Address>0</Address><Length>2</Length><pPort>Device</pPort></FloatReg>)")),
                 RuntimeException);
}

TEST(StringReg, ReadsToTheFirstNulAndWritesZeroPadded) {
    Fixture f(
        R"(<StringReg Name="S"><Address>0x80</Address><Length>8</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></StringReg>)");
    f.port.setBytes(0x80, "Hi\0junk!", 8);
    CStringPtr s = f.node("S");
    EXPECT_EQ(s->GetValue(), "Hi");
    EXPECT_EQ(s->GetMaxLength(), 8);
    s->SetValue("abc");
    EXPECT_EQ(f.port.bytes(0x80, 8), (std::vector<uint8_t>{'a', 'b', 'c', 0, 0, 0, 0, 0}));
    s->SetValue("12345678"); // exactly the length: no terminator
    EXPECT_EQ(s->GetValue(false, true), "12345678");
    EXPECT_THROW(s->SetValue("123456789"), OutOfRangeException);
    EXPECT_EQ(f.node("S")->GetPrincipalInterfaceType(), intfIString);
}

TEST(Register, RawBytes) {
    Fixture f(
        R"(<Register Name="Raw"><Address>0x200</Address><Length>6</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></Register>)");
    CRegisterPtr r = f.node("Raw");
    EXPECT_EQ(f.node("Raw")->GetPrincipalInterfaceType(), intfIRegister);
    EXPECT_EQ(r->GetLength(), 6);
    uint8_t in[6] = {1, 2, 3, 4, 5, 6};
    r->Set(in, 6);
    EXPECT_EQ(f.port.bytes(0x200, 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    uint8_t out[6] = {};
    r->Get(out, 6);
    EXPECT_EQ(out[5], 6);
    EXPECT_EQ(r->ToString(), "010203040506");
    r->FromString("0xA0A1A2A3A4A5");
    EXPECT_EQ(f.port.u8(0x205), 0xA5);
    EXPECT_THROW(r->Get(out, 4), InvalidArgumentException);
    EXPECT_THROW(r->FromString("0102"), InvalidArgumentException);
}

TEST(Register, LengthFromANode) {
    Fixture f(R"(<Integer Name="Len"><Value>2</Value></Integer>
<Register Name="Raw"><Address>0</Address><pLength>Len</pLength><AccessMode>RW</AccessMode><pPort>Device</pPort></Register>)");
    CRegisterPtr r = f.node("Raw");
    EXPECT_EQ(r->GetLength(), 2);
    CIntegerPtr(f.node("Len"))->SetValue(4);
    EXPECT_EQ(r->GetLength(), 4);
    f.port.clearAccesses();
    uint8_t b[4];
    r->Get(b, 4);
    EXPECT_EQ(f.port.traffic(), "R 0x0 4");
}

TEST(RegisterAccessMode, ReadOnlyAndWriteOnlyCauseNoTraffic) {
    Fixture f(R"(
<IntReg Name="RO"><Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="WO"><Address>4</Address><Length>4</Length><AccessMode>WO</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="Default"><Address>8</Address><Length>4</Length><pPort>Device</pPort></IntReg>)");
    EXPECT_EQ(f.node("RO")->GetAccessMode(), RO);
    EXPECT_EQ(f.node("WO")->GetAccessMode(), WO);
    EXPECT_EQ(f.node("Default")->GetAccessMode(), RO);
    EXPECT_THROW(CIntegerPtr(f.node("RO"))->SetValue(1), AccessException);
    EXPECT_THROW(CIntegerPtr(f.node("WO"))->GetValue(), AccessException);
    EXPECT_EQ(f.port.accesses().size(), 0u);
}

// ---- caching ----------------------------------------------------------------------------------

const char* kCacheRegs = R"(
<IntReg Name="WT"><Address>0x00</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Cachable>WriteThrough</Cachable></IntReg>
<IntReg Name="WA"><Address>0x04</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Cachable>WriteAround</Cachable></IntReg>
<IntReg Name="NC"><Address>0x08</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Cachable>NoCache</Cachable></IntReg>
<IntReg Name="DF"><Address>0x0C</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<Integer Name="Feature"><pValue>WT</pValue></Integer>
)";

TEST(Caching, WriteThrough) {
    Fixture f(kCacheRegs);
    CIntegerPtr wt = f.node("Feature");
    EXPECT_EQ(f.node("WT")->GetCachingMode(), WriteThrough);
    EXPECT_EQ(f.node("DF")->GetCachingMode(), WriteThrough); // the default
    f.port.setU32Le(0, 5);
    EXPECT_EQ(wt->GetValue(), 5);
    EXPECT_EQ(f.port.traffic(), "R 0x0 4"); // one read for a cached register
    EXPECT_TRUE(f.node("Feature")->GetAccessMode() == RW);
    f.port.clearAccesses();
    EXPECT_EQ(wt->GetValue(), 5);
    EXPECT_EQ(wt->GetValue(), 5);
    EXPECT_EQ(f.port.traffic(), ""); // none on a cache hit
    EXPECT_TRUE(CValuePtr(f.node("WT"))->IsValueCacheValid());
    wt->SetValue(9);
    EXPECT_EQ(f.port.traffic(), "W 0x0 4");
    f.port.clearAccesses();
    EXPECT_EQ(wt->GetValue(), 9); // written through into the cache
    EXPECT_EQ(f.port.traffic(), "");
    f.port.setU32Le(0, 11); // the device changes on its own
    EXPECT_EQ(wt->GetValue(), 9);
    EXPECT_EQ(wt->GetValue(false, true), 11); // IgnoreCache re-reads the value path
    EXPECT_EQ(f.port.traffic(), "R 0x0 4");
    EXPECT_EQ(wt->GetValue(), 11); // and refreshes the cache
}

TEST(Caching, WriteAroundAndNoCache) {
    Fixture f(kCacheRegs);
    CIntegerPtr wa = f.node("WA"), nc = f.node("NC");
    wa->GetValue();
    f.port.clearAccesses();
    wa->GetValue();
    EXPECT_EQ(f.port.traffic(), "");
    wa->SetValue(3);
    EXPECT_EQ(f.port.traffic(), "W 0x4 4");
    f.port.clearAccesses();
    EXPECT_EQ(wa->GetValue(), 3);
    EXPECT_EQ(f.port.traffic(), "R 0x4 4"); // written around the cache
    f.port.clearAccesses();
    nc->GetValue();
    nc->GetValue();
    nc->SetValue(1);
    nc->GetValue();
    EXPECT_EQ(f.port.traffic(), "R 0x8 4, R 0x8 4, W 0x8 4, R 0x8 4");
    EXPECT_FALSE(CValuePtr(f.node("NC"))->IsValueCacheValid());
}

TEST(Caching, KeyedByTheComputedAddress) {
    Fixture f(R"(
<Integer Name="Sel"><Value>0</Value></Integer>
<IntReg Name="R"><Address>0x100</Address><pIndex Offset="4">Sel</pIndex><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>)");
    f.port.setU32Le(0x100, 10);
    f.port.setU32Le(0x104, 20);
    CIntegerPtr r = f.node("R"), sel = f.node("Sel");
    EXPECT_EQ(r->GetValue(), 10);
    sel->SetValue(1);
    EXPECT_EQ(r->GetValue(), 20);
    EXPECT_EQ(f.port.traffic(), "R 0x100 4, R 0x104 4");
    f.port.clearAccesses();
    sel->SetValue(0);
    EXPECT_EQ(r->GetValue(), 10);
    sel->SetValue(1);
    EXPECT_EQ(r->GetValue(), 20);
    // The selector change invalidated the register; each value is read again once.
    EXPECT_EQ(f.port.traffic(), "R 0x100 4, R 0x104 4");
}

TEST(Caching, InvalidatorDropsTheCache) {
    Fixture f(R"(
<Integer Name="Trigger"><Value>0</Value></Integer>
<IntReg Name="Status"><Address>0x10</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>
  <pInvalidator>Trigger</pInvalidator></IntReg>)");
    CIntegerPtr st = f.node("Status");
    st->GetValue();
    f.port.clearAccesses();
    st->GetValue();
    EXPECT_EQ(f.port.traffic(), "");
    CIntegerPtr(f.node("Trigger"))->SetValue(1);
    st->GetValue();
    EXPECT_EQ(f.port.traffic(), "R 0x10 4");
    node_vector inv;
    f.node("Status")->GetChildren(inv, ctInvalidatingChildren);
    ASSERT_EQ(inv.size(), 1u);
    EXPECT_EQ(inv[0]->GetName(), "Trigger");
}

TEST(Caching, OverlappingRegistersOfThePortAreInvalidated) {
    Fixture f(R"(
<IntReg Name="Whole"><Address>0x20</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="Half"><Address>0x22</Address><Length>2</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="Apart"><Address>0x24</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>)");
    CIntegerPtr whole = f.node("Whole"), half = f.node("Half"), apart = f.node("Apart");
    whole->GetValue();
    half->GetValue();
    apart->GetValue();
    f.port.clearAccesses();
    whole->SetValue(0x12345678);
    EXPECT_EQ(half->GetValue(), 0x1234);
    apart->GetValue();
    EXPECT_EQ(f.port.traffic(), "W 0x20 4, R 0x22 2");
}

TEST(Caching, InvalidateNodesAndConnectDropEverything) {
    Fixture f(kCacheRegs);
    CIntegerPtr wt = f.node("WT");
    wt->GetValue();
    f.ref._InvalidateNodes();
    f.port.clearAccesses();
    wt->GetValue();
    EXPECT_EQ(f.port.traffic(), "R 0x0 4");
    MemoryPort other;
    other.setU32Le(0, 77);
    f.ref._Connect(&other);
    EXPECT_EQ(wt->GetValue(), 77);
}

// A port may leave the buffer untouched; the engine hands it a zero-filled buffer.
class LazyPort : public IPort {
public:
    EAccessMode GetAccessMode() const override { return RW; }
    void Read(void* buffer, int64_t, int64_t length) override {
        bool allZero = true;
        for (int64_t i = 0; i < length; ++i) allZero = allZero && static_cast<uint8_t*>(buffer)[i] == 0;
        sawZeroFilled = sawZeroFilled && allZero;
        ++reads;
    }
    void Write(const void*, int64_t, int64_t) override {}
    bool sawZeroFilled = true;
    int reads = 0;
};

TEST(Registers, PortReadsIntoZeroFilledBuffers) {
    std::string xml = makeXml(R"(
<IntReg Name="A"><Address>0</Address><Length>8</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Cachable>NoCache</Cachable></IntReg>
<StringReg Name="S"><Address>0</Address><Length>16</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Cachable>NoCache</Cachable></StringReg>)");
    LazyPort port;
    CNodeMapRef ref;
    ref._LoadXMLFromString(xml);
    ref._Connect(&port);
    CIntegerPtr a = ref._GetNode("A");
    a->SetValue(0x7FFFFFFFFFFFFFFF);
    EXPECT_EQ(a->GetValue(), 0);
    EXPECT_EQ(CStringPtr(ref._GetNode("S"))->GetValue(), "");
    EXPECT_EQ(port.reads, 2);
    EXPECT_TRUE(port.sawZeroFilled);
}

TEST(Registers, RegistersImplementIRegisterBesideTheirValueInterface) {
    Fixture f(kCacheRegs);
    CRegisterPtr reg = f.node("WT");
    ASSERT_TRUE(reg.IsValid());
    EXPECT_EQ(reg->GetAddress(), 0);
    EXPECT_EQ(reg->GetLength(), 4);
    EXPECT_EQ(f.node("WT")->GetPrincipalInterfaceType(), intfIInteger);
    EXPECT_FALSE(CRegisterPtr(f.node("Feature")).IsValid());
}

} // namespace
