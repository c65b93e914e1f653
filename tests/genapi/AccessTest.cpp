// Access modes: ImposedAccessMode, pIsImplemented / pIsAvailable / pIsLocked evaluated afresh on
// every call, locked write-only nodes, the port's mode, cycles and failing reads (NA, no throw).
#include <gtest/gtest.h>

#include "GenApiTestUtil.h"

using namespace QxGenApi;
using qx::test::Fixture;

namespace {

const char* kAccess = R"(
<Integer Name="TLParamsLocked"><Value>0</Value><Min>0</Min><Max>1</Max></Integer>
<Integer Name="Impl"><Value>1</Value></Integer>
<Integer Name="Avail"><Value>1</Value></Integer>
<IntReg Name="WidthReg"><Address>0</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="CmdReg"><Address>4</Address><Length>4</Length><AccessMode>WO</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="AvailReg"><Address>8</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort><Cachable>NoCache</Cachable></IntReg>
<Integer Name="Width"><pValue>WidthReg</pValue><pIsLocked>TLParamsLocked</pIsLocked></Integer>
<Command Name="Start"><pValue>CmdReg</pValue><CommandValue>1</CommandValue><pIsLocked>TLParamsLocked</pIsLocked></Command>
<Integer Name="Gated"><pValue>WidthReg</pValue><pIsImplemented>Impl</pIsImplemented><pIsAvailable>Avail</pIsAvailable></Integer>
<Integer Name="Imposed"><pValue>WidthReg</pValue><ImposedAccessMode>RO</ImposedAccessMode></Integer>
<Integer Name="ImposedWO"><Value>1</Value><ImposedAccessMode>WO</ImposedAccessMode></Integer>
<Integer Name="DevGated"><Value>5</Value><pIsAvailable>AvailReg</pIsAvailable></Integer>
)";

TEST(Access, LockedByTLParamsLockedEvaluatedAfresh) {
    Fixture f(kAccess);
    CIntegerPtr locked = f.node("TLParamsLocked"), width = f.node("Width");
    EXPECT_EQ(f.node("Width")->GetAccessMode(), RW);
    EXPECT_EQ(f.node("Start")->GetAccessMode(), WO);
    locked->SetValue(1);
    EXPECT_EQ(f.node("Width")->GetAccessMode(), RO); // no invalidation needed
    EXPECT_EQ(f.node("Start")->GetAccessMode(), NA); // locked write-only becomes NA
    EXPECT_THROW(width->SetValue(5), AccessException);
    EXPECT_NO_THROW(width->GetValue());
    locked->SetValue(0);
    EXPECT_EQ(f.node("Width")->GetAccessMode(), RW);
    EXPECT_NO_THROW(width->SetValue(5));
}

TEST(Access, ImplementedAndAvailable) {
    Fixture f(kAccess);
    INode* gated = f.node("Gated");
    EXPECT_EQ(gated->GetAccessMode(), RW);
    CIntegerPtr(f.node("Avail"))->SetValue(0);
    EXPECT_EQ(gated->GetAccessMode(), NA);
    EXPECT_THROW(CIntegerPtr(gated)->GetValue(), AccessException);
    CIntegerPtr(f.node("Impl"))->SetValue(0);
    EXPECT_EQ(gated->GetAccessMode(), NI); // not implemented wins over not available
    CIntegerPtr(f.node("Impl"))->SetValue(1);
    CIntegerPtr(f.node("Avail"))->SetValue(1);
    EXPECT_EQ(gated->GetAccessMode(), RW);
}

TEST(Access, ImposedAccessMode) {
    Fixture f(kAccess);
    EXPECT_EQ(f.node("Imposed")->GetAccessMode(), RO);
    EXPECT_THROW(CIntegerPtr(f.node("Imposed"))->SetValue(1), AccessException);
    EXPECT_EQ(f.node("ImposedWO")->GetAccessMode(), WO);
    EXPECT_THROW(CIntegerPtr(f.node("ImposedWO"))->GetValue(), AccessException);
    f.node("Width")->ImposeAccessMode(RO);
    EXPECT_EQ(f.node("Width")->GetAccessMode(), RO);
    EXPECT_EQ(f.port.writeCount(), 0u);
}

TEST(Access, DeviceRegisterGatesAvailabilityWithoutStaleness) {
    Fixture f(kAccess);
    INode* n = f.node("DevGated");
    f.port.setU32Le(8, 1);
    EXPECT_EQ(n->GetAccessMode(), RW);
    f.port.setU32Le(8, 0);
    EXPECT_EQ(n->GetAccessMode(), NA); // NoCache register re-read on every evaluation
}

TEST(Access, FailingReadGivesNaNeverAThrow) {
    Fixture f(kAccess);
    f.port.failAddress(8, 0x80000123);
    EXPECT_NO_THROW(f.node("DevGated")->GetAccessMode());
    EXPECT_EQ(f.node("DevGated")->GetAccessMode(), NA);
    f.port.clearFailures();
    f.port.setU32Le(8, 1);
    EXPECT_EQ(f.node("DevGated")->GetAccessMode(), RW);
}

TEST(Access, UnreadableControllingNodeGivesNa) {
    Fixture f(R"(
<IntReg Name="WOReg"><Address>0</Address><Length>4</Length><AccessMode>WO</AccessMode><pPort>Device</pPort></IntReg>
<Integer Name="X"><Value>1</Value><pIsAvailable>WOReg</pIsAvailable></Integer>)");
    EXPECT_EQ(f.node("X")->GetAccessMode(), NA);
}

TEST(Access, CyclesAreDetectedNotFollowedForever) {
    Fixture f(R"(
<Integer Name="A"><Value>1</Value><pIsAvailable>B</pIsAvailable></Integer>
<Integer Name="B"><Value>1</Value><pIsAvailable>A</pIsAvailable></Integer>
<Integer Name="Self"><Value>1</Value><pIsLocked>Self</pIsLocked></Integer>)");
    EXPECT_EQ(f.node("A")->GetAccessMode(), RW);
    EXPECT_EQ(f.node("B")->GetAccessMode(), RW);
    EXPECT_EQ(CIntegerPtr(f.node("A"))->GetValue(), 1);
    EXPECT_EQ(f.node("Self")->GetAccessMode(), RO); // locked by its own value
}

TEST(Access, CombinationRules) {
    EXPECT_EQ(CombineAccessMode(RW, RO), RO);
    EXPECT_EQ(CombineAccessMode(RW, WO), WO);
    EXPECT_EQ(CombineAccessMode(RO, WO), NA);
    EXPECT_EQ(CombineAccessMode(NI, RW), NI);
    EXPECT_EQ(CombineAccessMode(NA, RO), NA);
    EXPECT_EQ(CombineAccessMode(_CycleDetectAccesMode, RO), RO);
    EXPECT_EQ(static_cast<int>(NI), 0);
    EXPECT_EQ(static_cast<int>(RW), 4);
    EXPECT_EQ(static_cast<int>(_CycleDetectAccesMode), 6);
    EXPECT_EQ(static_cast<int>(intfIPort), 11);
    EXPECT_STREQ(AccessModeName(WO), "WO");
    EXPECT_STREQ(InterfaceTypeName(intfIEnumeration), "IEnumeration");
}

} // namespace
