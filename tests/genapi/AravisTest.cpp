// The aravis fake camera's description file (an independent peer's file, extracted from the
// installed libaravis at test time) over a memory port seeded as that camera's registers.
#include <gtest/gtest.h>

#include "ArvFakeCamera.h"
#include "GenApi/GenApi.h"

using namespace QxGenApi;
using qx::test::MemoryPort;

namespace {

class AravisFakeCamera : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        auto xml = qx::test::arvFakeCameraXml(&why);
        if (!xml) GTEST_SKIP() << "aravis fake camera XML not available: " << why;
        qx::test::seedArvFakeCamera(port);
        CNodeMapFactory factory(ContentType_Xml, xml->data(), xml->size());
        ref._Initialize(factory.CreateNodeMap("Device"));
        ASSERT_TRUE(ref._Connect(&port));
        port.clearAccesses();
    }
    MemoryPort port;
    CNodeMapRef ref{"Device"};
};

TEST_F(AravisFakeCamera, WidthValueAndBounds) {
    CIntegerPtr width = ref._GetNode("Width");
    ASSERT_TRUE(width.IsValid());
    EXPECT_EQ(width->GetValue(), 512);
    EXPECT_EQ(width->GetMin(), 1);
    EXPECT_EQ(width->GetMax(), 2048);
    EXPECT_EQ(width->GetInc(), 1);
    EXPECT_EQ(width.GetNode()->GetPrincipalInterfaceType(), intfIInteger);
    EXPECT_EQ(width->GetAccessMode(), RW);
    EXPECT_THROW(width->SetValue(4096), OutOfRangeException);
    EXPECT_THROW(width->SetValue(0), OutOfRangeException);
}

TEST_F(AravisFakeCamera, PixelFormatAndPayloadSize) {
    CEnumerationPtr pf = ref._GetNode("PixelFormat");
    ASSERT_TRUE(pf.IsValid());
    EXPECT_EQ(pf->ToString(), "Mono8");
    EXPECT_EQ(pf->GetIntValue(), 0x01080001);
    node_vector entries;
    pf->GetEntries(entries);
    EXPECT_EQ(entries.size(), 7u);
    CIntegerPtr payload = ref._GetNode("PayloadSize");
    EXPECT_EQ(payload->GetValue(), 262144);

    pf->FromString("Mono16");
    EXPECT_EQ(port.u32Be(0x128), 0x01100007u);
    CIntegerPtr(ref._GetNode("Width"))->SetValue(100);
    CIntegerPtr(ref._GetNode("Height"))->SetValue(50);
    EXPECT_EQ(port.u32Be(0x100), 100u);
    EXPECT_EQ(port.u32Be(0x104), 50u);
    EXPECT_EQ(payload->GetValue(), 10000);
}

TEST_F(AravisFakeCamera, FrameRateThroughConverter) {
    CFloatPtr rate = ref._GetNode("AcquisitionFrameRate");
    ASSERT_TRUE(rate.IsValid());
    EXPECT_DOUBLE_EQ(rate->GetValue(), 25.0);
    EXPECT_DOUBLE_EQ(rate->GetMin(), 0.1);
    EXPECT_DOUBLE_EQ(rate->GetMax(), 1000.0);
    rate->SetValue(50.0);
    EXPECT_EQ(port.u32Be(0x138), 20000u);
    CIntegerPtr period = ref._GetNode("AcquisitionFramePeriod");
    EXPECT_EQ(period->GetValue(), 20000);
    EXPECT_DOUBLE_EQ(rate->GetValue(), 50.0);
    EXPECT_THROW(rate->SetValue(2000.0), OutOfRangeException);
}

TEST_F(AravisFakeCamera, ExposureAndGain) {
    CFloatPtr exposure = ref._GetNode("ExposureTimeAbs");
    EXPECT_DOUBLE_EQ(exposure->GetValue(), 10000.0);
    EXPECT_DOUBLE_EQ(exposure->GetMin(), 10.0);
    EXPECT_DOUBLE_EQ(exposure->GetMax(), 10000000.0);
    exposure->SetValue(20.0);
    EXPECT_EQ(port.u32Be(0x120), 20u);
    CEnumerationPtr gainAuto = ref._GetNode("GainAuto");
    EXPECT_EQ(gainAuto->ToString(), "Off");
    StringList_t symbolics;
    gainAuto->GetSymbolics(symbolics);
    EXPECT_EQ(symbolics.size(), 3u);
}

TEST_F(AravisFakeCamera, StructEntriesOfTestRegister) {
    CIntegerPtr reg = ref._GetNode("TestRegister");
    EXPECT_EQ(reg->GetValue(), 0x12345678);
    CIntegerPtr e0_15 = ref._GetNode("StructEntry_0_15");
    CIntegerPtr e16_31 = ref._GetNode("StructEntry_16_31");
    CIntegerPtr e15 = ref._GetNode("StructEntry_15");
    CIntegerPtr e0_31 = ref._GetNode("StructEntry_0_31");
    ASSERT_TRUE(e0_15 && e16_31 && e15 && e0_31);
    EXPECT_EQ(CRegisterPtr(ref._GetNode("StructEntry_0_15"))->GetAddress(), 0x1f0);
    EXPECT_EQ(e0_15->GetValue(), 0x1234);
    EXPECT_EQ(e16_31->GetValue(), 0x5678);
    EXPECT_EQ(e15->GetValue(), 0);
    EXPECT_EQ(e0_31->GetValue(), 0x12345678);
    EXPECT_THROW(e16_31->SetValue(0x10101010), OutOfRangeException);

    e0_31->SetValue(0xabcdefaa);
    EXPECT_EQ(port.u32Be(0x1f0), 0xabcdefaau);
    EXPECT_EQ(e0_15->GetValue(), 0xabcd);
    EXPECT_EQ(e16_31->GetValue(), -4182); // signed 16 bits
    EXPECT_EQ(e15->GetValue(), 1);
    EXPECT_THROW(e15->SetValue(0xff), OutOfRangeException);

    e16_31->SetValue(0xff);
    EXPECT_EQ(port.u32Be(0x1f0), 0xabcd00ffu);
    e15->SetValue(0);
    EXPECT_EQ(port.u32Be(0x1f0), 0xabcc00ffu);
    EXPECT_EQ(reg->GetValue(), 0xabcc00ff);
}

TEST_F(AravisFakeCamera, TestBooleanOnOffValues) {
    CBooleanPtr b = ref._GetNode("TestBoolean");
    b->SetValue(false);
    EXPECT_EQ(port.u32Be(0x1f0), 123u);
    EXPECT_FALSE(b->GetValue());
    b->SetValue(true);
    EXPECT_EQ(CIntegerPtr(ref._GetNode("TestRegister"))->GetValue(), 321);
    EXPECT_TRUE(b->GetValue());
}

TEST_F(AravisFakeCamera, TriggerRegistersFollowTheSelector) {
    CEnumerationPtr selector = ref._GetNode("TriggerSelector");
    CRegisterPtr modeReg = ref._GetNode("TriggerModeRegister");
    CRegisterPtr sourceReg = ref._GetNode("TriggerSourceRegister");
    EXPECT_EQ(modeReg->GetAddress(), 0x300);
    EXPECT_EQ(sourceReg->GetAddress(), 0x304);
    selector->FromString("AcquisitionStart");
    EXPECT_EQ(modeReg->GetAddress(), 0x320);
    EXPECT_EQ(sourceReg->GetAddress(), 0x324);
    CEnumerationPtr mode = ref._GetNode("TriggerMode");
    port.clearAccesses();
    mode->FromString("On");
    EXPECT_EQ(port.u32Be(0x320), 1u);
    EXPECT_EQ(port.u32Be(0x300), 0u);
    selector->FromString("FrameStart");
    EXPECT_EQ(modeReg->GetAddress(), 0x300);
    EXPECT_EQ(mode->ToString(), "Off");
    selector->FromString("AcquisitionStart");
    EXPECT_EQ(mode->ToString(), "On");
}

TEST_F(AravisFakeCamera, AcquisitionStartWritesTheCommandRegister) {
    CCommandPtr start = ref._GetNode("AcquisitionStart");
    ASSERT_TRUE(start.IsValid());
    EXPECT_EQ(start.GetNode()->GetAccessMode(), WO);
    start->Execute();
    auto acc = port.accesses();
    ASSERT_EQ(acc.size(), 1u);
    EXPECT_TRUE(acc[0].write);
    EXPECT_EQ(acc[0].address, 0x124);
    EXPECT_EQ(acc[0].length, 4);
    EXPECT_EQ(acc[0].data, (std::vector<uint8_t>{0, 0, 0, 1}));
    EXPECT_TRUE(start->IsDone()); // the register is write-only
    CCommandPtr(ref._GetNode("AcquisitionStop"))->Execute();
    EXPECT_EQ(port.u32Be(0x124), 0u);
}

TEST_F(AravisFakeCamera, StringsAndCategories) {
    CStringPtr vendor = ref._GetNode("DeviceVendorName");
    EXPECT_EQ(vendor->GetValue(), "Aravis");
    EXPECT_EQ(CStringPtr(ref._GetNode("DeviceModelName"))->GetValue(), "Fake");
    EXPECT_EQ(vendor.GetNode()->GetDisplayName(), "Vendor Name");
    EXPECT_EQ(vendor.GetNode()->GetAccessMode(), RO);
    EXPECT_THROW(vendor->SetValue("x"), AccessException);
    CStringPtr test = ref._GetNode("TestStringReg");
    test->SetValue("String");
    EXPECT_EQ(test->GetValue(), "String");

    CCategoryPtr root = ref._GetNode("Root");
    ASSERT_TRUE(root.IsValid());
    FeatureList_t features;
    root->GetFeatures(features);
    ASSERT_EQ(features.size(), 5u);
    EXPECT_EQ(features[0]->GetNode()->GetName(), "DeviceControl");
    EXPECT_EQ(features[4]->GetNode()->GetName(), "Debug");
    EXPECT_TRUE(ref._GetNode("Width")->IsFeature());
    EXPECT_FALSE(ref._GetNode("WidthRegister")->IsFeature());
    EXPECT_EQ(ref._GetNode("TLParamsLocked")->GetVisibility(), Invisible);
}

TEST_F(AravisFakeCamera, CachedReadsCauseNoTraffic) {
    CIntegerPtr width = ref._GetNode("Width");
    EXPECT_EQ(width->GetValue(), 512);
    EXPECT_EQ(port.traffic(), "R 0x100 4");
    port.clearAccesses();
    EXPECT_EQ(width->GetValue(), 512);
    EXPECT_EQ(port.traffic(), "");
    EXPECT_EQ(width->GetValue(false, true), 512);
    EXPECT_EQ(port.traffic(), "R 0x100 4");
}

TEST_F(AravisFakeCamera, ReadingChildrenGiveTheRegisterAddress) {
    node_vector children;
    ref._GetNode("Width")->GetChildren(children, ctReadingChildren);
    ASSERT_FALSE(children.empty());
    EXPECT_EQ(children[0]->GetName(), "WidthRegister");
    EXPECT_EQ(CRegisterPtr(children[0])->GetAddress(), 0x100);
}

} // namespace
