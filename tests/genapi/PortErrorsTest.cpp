// A failed port access reaches the caller as PortException with the port's status, through
// every kind of node, and leaves nothing in the cache: the next read goes to the port again.
#include <gtest/gtest.h>

#include <stdexcept>

#include "GenApiTestUtil.h"

using namespace QxGenApi;
using qx::test::Fixture;

namespace {

const char* kNodes = R"(
<IntReg Name="R"><Address>0x00</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<MaskedIntReg Name="M"><Address>0x04</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Bit>3</Bit></MaskedIntReg>
<Integer Name="I"><pValue>R</pValue></Integer>
<IntSwissKnife Name="K"><pVariable Name="X">I</pVariable><Formula>X*2</Formula></IntSwissKnife>
<Converter Name="C"><FormulaTo>FROM*10</FormulaTo><FormulaFrom>TO/10</FormulaFrom><pValue>I</pValue></Converter>
<StringReg Name="S"><Address>0x10</Address><Length>8</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></StringReg>
<Enumeration Name="E"><EnumEntry Name="A"><Value>0</Value></EnumEntry><EnumEntry Name="B"><Value>1</Value></EnumEntry><pValue>R</pValue></Enumeration>
)";

constexpr uint32_t kStatus = 0x800003FF;

template <class F>
uint32_t statusOf(F&& f) {
    try {
        f();
    } catch (const PortException& e) {
        return e.GetStatus();
    }
    return 0;
}

TEST(PortErrors, ReadFailureCarriesTheStatusAndCachesNothing) {
    Fixture f(kNodes);
    f.port.setU32Le(0, 21);
    f.port.failReads(kStatus);
    CIntegerPtr i = f.node("I");
    EXPECT_EQ(statusOf([&] { i->GetValue(); }), kStatus);
    EXPECT_EQ(statusOf([&] { CIntegerPtr(f.node("K"))->GetValue(); }), kStatus);
    EXPECT_EQ(statusOf([&] { CFloatPtr(f.node("C"))->GetValue(); }), kStatus);
    EXPECT_EQ(statusOf([&] { CStringPtr(f.node("S"))->GetValue(); }), kStatus);
    EXPECT_EQ(statusOf([&] { CEnumerationPtr(f.node("E"))->ToString(); }), kStatus);
    f.port.clearFailures();
    f.port.clearAccesses();
    EXPECT_EQ(i->GetValue(), 21);
    EXPECT_EQ(f.port.traffic(), "R 0x0 4"); // went to the port again
    f.port.clearAccesses();
    EXPECT_EQ(i->GetValue(), 21);
    EXPECT_EQ(f.port.traffic(), ""); // now cached
}

TEST(PortErrors, FailedIgnoreCacheReadDropsTheOldCacheEntry) {
    Fixture f(kNodes);
    f.port.setU32Le(0, 1);
    CIntegerPtr i = f.node("I");
    EXPECT_EQ(i->GetValue(), 1);
    f.port.failReads(kStatus);
    EXPECT_THROW(i->GetValue(false, true), PortException);
    f.port.clearFailures();
    f.port.setU32Le(0, 2);
    f.port.clearAccesses();
    EXPECT_EQ(i->GetValue(), 2);
    EXPECT_EQ(f.port.traffic(), "R 0x0 4");
}

TEST(PortErrors, WriteFailureCarriesTheStatusAndLeavesNoWrittenValueCached) {
    Fixture f(kNodes);
    f.port.setU32Le(0, 5);
    CIntegerPtr i = f.node("I");
    EXPECT_EQ(i->GetValue(), 5);
    f.port.failWrites(kStatus);
    EXPECT_EQ(statusOf([&] { i->SetValue(9); }), kStatus);
    EXPECT_EQ(statusOf([&] { CFloatPtr(f.node("C"))->SetValue(0.9); }), kStatus);
    EXPECT_EQ(statusOf([&] { CEnumerationPtr(f.node("E"))->FromString("B"); }), kStatus);
    f.port.clearFailures();
    f.port.clearAccesses();
    EXPECT_EQ(i->GetValue(), 5);
    EXPECT_EQ(f.port.traffic(), "R 0x0 4");
}

TEST(PortErrors, MaskedWriteStopsAfterAFailedRead) {
    Fixture f(kNodes);
    f.port.failReads(kStatus);
    EXPECT_EQ(statusOf([&] { CIntegerPtr(f.node("M"))->SetValue(1); }), kStatus);
    EXPECT_EQ(f.port.writeCount(), 0u);
}

TEST(PortErrors, OutOfRangeAddressIsThePortsOwnStatus) {
    Fixture f(
        R"(<IntReg Name="Far"><Address>0x100000</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>)");
    EXPECT_EQ(statusOf([&] { CIntegerPtr(f.node("Far"))->GetValue(); }), qx::test::MemoryPort::kBadAddressStatus);
}

class ThrowingPort : public IPort {
public:
    EAccessMode GetAccessMode() const override { return RW; }
    void Read(void*, int64_t, int64_t) override { throw std::runtime_error("cable unplugged"); }
    void Write(const void*, int64_t, int64_t) override { throw 42; }
};

TEST(PortErrors, OtherExceptionsFromThePortAreWrapped) {
    CNodeMapRef ref;
    ref._LoadXMLFromString(qx::test::makeXml(kNodes));
    ThrowingPort port;
    ref._Connect(&port);
    try {
        CIntegerPtr(ref._GetNode("R"))->GetValue();
        FAIL();
    } catch (const PortException& e) {
        EXPECT_EQ(e.GetStatus(), PortException::kUnknownPortStatus);
        EXPECT_NE(e.GetDescription().find("cable unplugged"), std::string::npos);
    }
    EXPECT_THROW(CIntegerPtr(ref._GetNode("R"))->SetValue(1), PortException);
}

TEST(PortErrors, PortExceptionIsAnAccessException) {
    Fixture f(kNodes);
    f.port.failReads(kStatus);
    EXPECT_THROW(CIntegerPtr(f.node("R"))->GetValue(), AccessException);
    EXPECT_THROW(CIntegerPtr(f.node("R"))->GetValue(), GenericException);
    EXPECT_THROW(CIntegerPtr(f.node("R"))->GetValue(), std::exception);
}

} // namespace
