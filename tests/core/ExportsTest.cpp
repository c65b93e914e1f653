// The exports' argument and state checks, their statuses and their end lines, through the
// real exported functions and the test transport.
#include "LogCapture.h"
#include "TestDevice.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace qx::feature;

using namespace qx::core::base;

using namespace qxtest;
using spdlog::level::level_enum;

namespace {

class ExportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        info = makeGigeInfo("ModelA", "SN001", 0x0A000002, 0x0A000001);
        ASSERT_EQ(QX_CreateDevice(&handle, &info), QX_OK);
        log.clear();
    }
    void TearDown() override {
        if (QX_IsGrabbingStarted(handle)) QX_StopGrabbing(handle);
        bool connected = false;
        if (QX_GetConnectionStatus(handle, &connected) == QX_OK && connected) QX_DisconnectDevice(handle);
        QX_DeleteDevice(handle);
    }
    // The level and text of the one end line of `func`.
    LogLine endLine(const std::string& func) {
        LogLine line{};
        EXPECT_TRUE(log.find("func:" + func + " end", &line)) << "no end line for " << func;
        return line;
    }
    std::string devPrefix() const { return "dev:ModelA(SN001), func:"; }

    TestTransport transport;
    LogCapture log;
    DeviceInfo info{};
    QX_DEV_HANDLE handle = nullptr;
};

TEST_F(ExportsTest, StartAndEndLinesCarryTheDeviceNamesElapsedTimeAndResult) {
    bool connected = true;
    ASSERT_EQ(QX_GetConnectionStatus(handle, &connected), QX_OK);
    EXPECT_FALSE(connected);
    LogLine start{};
    ASSERT_TRUE(log.find("func:QX_GetConnectionStatus start", &start));
    EXPECT_EQ(start.level, spdlog::level::info);
    LogLine end = endLine("QX_GetConnectionStatus");
    EXPECT_EQ(end.level, spdlog::level::info);
    EXPECT_EQ(end.text, devPrefix() + "QX_GetConnectionStatus end, spent:#ms, ret:0x0");
}

TEST_F(ExportsTest, NullPointerChecksComeBeforeTheLookupAndUseTheHandleForm) {
    void* bogus = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(QX_GetConnectionStatus(bogus, nullptr), QX_ERR_INVALID_PARAM);
    LogLine end = endLine("QX_GetConnectionStatus");
    EXPECT_EQ(end.level, spdlog::level::err);
    EXPECT_EQ(end.text, "handle:0x1234, func:QX_GetConnectionStatus end, spent:#ms, ret:0x80000001");

    log.clear();
    // Even for a valid handle a failed pre-check is logged in the handle form.
    EXPECT_EQ(QX_GetFrame(handle, nullptr, 0), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(endLine("QX_GetFrame").text.rfind("handle:", 0), 0u);

    EXPECT_EQ(QX_XML_GetIntValue(handle, nullptr, nullptr), QX_ERR_INVALID_PARAM);
    EXPECT_TRUE(log.find("func:QX_XML_GetIntValue end, Key=(nullptr), spent:"));
    EXPECT_EQ(QX_XML_SetEnumValueStr(handle, "Key", nullptr), QX_ERR_INVALID_PARAM);
    EXPECT_TRUE(log.find("func:QX_XML_SetEnumValueStr end, Key=Key, Value=(nullptr), spent:"));
    EXPECT_EQ(QX_SaveImageToFile(handle, nullptr), QX_ERR_INVALID_PARAM);
    EXPECT_TRUE(log.find("func:QX_SaveImageToFile end, pstSaveFileParam = nullptr, spent:"));
    EXPECT_EQ(QX_StartRecord(handle, nullptr), QX_ERR_INVALID_PARAM);
    EXPECT_TRUE(log.find("func:QX_StartRecord end, pstRecordParam = nullptr"));
    EXPECT_EQ(QX_RecordFrame(handle, nullptr), QX_ERR_INVALID_PARAM);
    EXPECT_TRUE(log.find("func:QX_RecordFrame end, pstRecordFrameInfo = nullptr"));
    EXPECT_EQ(QX_ConvertPixelFormat(handle, nullptr), QX_ERR_INVALID_PARAM);
    EXPECT_TRUE(log.find("func:QX_ConvertPixelFormat end, pstCvtParam = nullptr"));
}

TEST_F(ExportsTest, UnregisteredHandleGivesInvalidHandle) {
    void* bogus = reinterpret_cast<void*>(0x5678);
    bool b = false;
    EXPECT_EQ(QX_GetConnectionStatus(bogus, &b), QX_ERR_INVALID_HANDLE);
    EXPECT_EQ(endLine("QX_GetConnectionStatus").text,
              "handle:0x5678, func:QX_GetConnectionStatus end, spent:#ms, ret:0x80000000");
    EXPECT_EQ(QX_ConnectDevice(bogus, 1), QX_ERR_INVALID_HANDLE);
    EXPECT_EQ(QX_StartGrabbing(bogus), QX_ERR_INVALID_HANDLE);
    EXPECT_EQ(QX_StopGrabbing(bogus), QX_ERR_INVALID_HANDLE);
    EXPECT_EQ(QX_DeleteDevice(bogus), QX_ERR_INVALID_HANDLE);
    DeviceInfo out{};
    EXPECT_EQ(QX_GetDeviceInfo(bogus, &out), QX_ERR_INVALID_HANDLE);
}

TEST_F(ExportsTest, IsGrabbingStartedOnUnknownHandleIsFalseWithRetZero) {
    void* bogus = reinterpret_cast<void*>(0x9abc);
    EXPECT_FALSE(QX_IsGrabbingStarted(bogus));
    LogLine end = endLine("QX_IsGrabbingStarted");
    EXPECT_EQ(end.level, spdlog::level::info);
    EXPECT_EQ(end.text, "handle:0x9abc, func:QX_IsGrabbingStarted end, spent:#ms, ret:0x0");
}

TEST_F(ExportsTest, ConnectChecksInOrder) {
    EXPECT_EQ(QX_ConnectDevice(handle, 3), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(endLine("QX_ConnectDevice").text.rfind("handle:", 0), 0u);
    EXPECT_TRUE(log.find("enAccessMode=3, end"));
    EXPECT_EQ(QX_ConnectDevice(handle, -1), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(transport.device(handle)->lastAccessMode, -1) << "no refused mode reaches the camera";

    ASSERT_EQ(QX_ConnectDevice(handle, 2), QX_OK);
    EXPECT_EQ(transport.device(handle)->lastAccessMode, 2);
    EXPECT_EQ(QX_ConnectDevice(handle, 1), QX_ERR_GEV_BUSY);
}

TEST_F(ExportsTest, ConnectHonoursTheAccessStatusAndTransport) {
    QX_DEV_HANDLE h = nullptr;
    DeviceInfo openOnly = makeGigeInfo("M", "S2", 1, 2, QX_ACCESS_STATUS_OPEN_ONLY);
    ASSERT_EQ(QX_CreateDevice(&h, &openOnly), QX_OK);
    EXPECT_EQ(QX_ConnectDevice(h, 1), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_ConnectDevice(h, 0), QX_OK);
    EXPECT_EQ(QX_DisconnectDevice(h), QX_OK);
    EXPECT_EQ(QX_DeleteDevice(h), QX_OK);

    for (int32_t status : {QX_ACCESS_STATUS_UNAVAILABLE, QX_ACCESS_STATUS_IN_USE}) {
        DeviceInfo busy = makeGigeInfo("M", "S3", 1, 2, status);
        ASSERT_EQ(QX_CreateDevice(&h, &busy), QX_OK);
        EXPECT_EQ(QX_ConnectDevice(h, 0), QX_ERR_INVALID_PARAM);
        EXPECT_EQ(QX_DeleteDevice(h), QX_OK);
    }

    DeviceInfo usb = makeUsb3Info("U", "/dev/usb/1", 0);
    ASSERT_EQ(QX_CreateDevice(&h, &usb), QX_OK);
    EXPECT_EQ(QX_ConnectDevice(h, 0), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_ConnectDevice(h, 2), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_ConnectDevice(h, 1), QX_OK);
    EXPECT_EQ(QX_DisconnectDevice(h), QX_OK);
    EXPECT_EQ(QX_DeleteDevice(h), QX_OK);
}

TEST_F(ExportsTest, ConnectFailureOfTheTransportIsTheResult) {
    transport.options.connectStatus = QX_ERR_GEV_TIMEOUT;
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    EXPECT_EQ(QX_ConnectDevice(h, 1), QX_ERR_GEV_TIMEOUT);
    bool connected = true;
    EXPECT_EQ(QX_GetConnectionStatus(h, &connected), QX_OK);
    EXPECT_FALSE(connected);
    EXPECT_EQ(QX_DeleteDevice(h), QX_OK);
}

TEST_F(ExportsTest, CreateDeviceRefusals) {
    QX_DEV_HANDLE h = nullptr;
    EXPECT_EQ(QX_CreateDevice(nullptr, &info), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_CreateDevice(&h, nullptr), QX_ERR_INVALID_PARAM);
    for (int32_t t : {0, 3}) {
        log.clear();
        DeviceInfo bad = info;
        bad.nTLayerType = t;
        EXPECT_EQ(QX_CreateDevice(&h, &bad), QX_ERR_INVALID_PARAM);
        LogLine line{};
        ASSERT_TRUE(log.find("func:createDevice, unknown pstDevInfo->nTLayerType:" + std::to_string(t), &line));
        EXPECT_EQ(line.level, spdlog::level::err);
        LogLine end = endLine("QX_CreateDevice");
        EXPECT_EQ(end.level, spdlog::level::err);
        EXPECT_EQ(end.text.rfind("handle:", 0), 0u);
    }
}

TEST_F(ExportsTest, CreateAndDeleteLogTheDeviceForm) {
    QX_DEV_HANDLE h = nullptr;
    DeviceInfo other = makeGigeInfo("ModelB", "SN777", 5, 6);
    ASSERT_EQ(QX_CreateDevice(&h, &other), QX_OK);
    EXPECT_TRUE(log.find("dev:ModelB(SN777), func:QX_CreateDevice end, spent:"));
    DeviceInfo copy{};
    ASSERT_EQ(QX_GetDeviceInfo(h, &copy), QX_OK);
    EXPECT_EQ(std::memcmp(&copy, &other, sizeof(DeviceInfo)), 0);
    log.clear();
    ASSERT_EQ(QX_DeleteDevice(h), QX_OK);
    LogLine end = endLine("QX_DeleteDevice");
    EXPECT_EQ(end.text.rfind("dev:ModelB(SN777), func:QX_DeleteDevice end, spent:", 0), 0u);
    // Deleted handles are not registered any more.
    log.clear();
    EXPECT_EQ(QX_DeleteDevice(h), QX_ERR_INVALID_HANDLE);
    EXPECT_EQ(endLine("QX_DeleteDevice").text.rfind("dev:(), func:QX_DeleteDevice end", 0), 0u);
    bool b;
    EXPECT_EQ(QX_GetConnectionStatus(h, &b), QX_ERR_INVALID_HANDLE);
}

TEST_F(ExportsTest, DeleteOfAConnectedCameraIsRefusedAndTheHandleStays) {
    ASSERT_EQ(QX_ConnectDevice(handle, 1), QX_OK);
    EXPECT_EQ(QX_DeleteDevice(handle), QX_ERR_WRONG_STATE);
    bool connected = false;
    EXPECT_EQ(QX_GetConnectionStatus(handle, &connected), QX_OK);
    EXPECT_TRUE(connected);
}

TEST_F(ExportsTest, GrabbingStateChecks) {
    FrameInfo frame{};
    EXPECT_EQ(QX_GetFrame(handle, &frame, 0), QX_ERR_WRONG_STATE);
    ASSERT_EQ(QX_ConnectDevice(handle, 1), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    EXPECT_TRUE(QX_IsGrabbingStarted(handle));
    log.clear();
    // Already grabbing: nothing done.
    EXPECT_EQ(QX_StartGrabbing(handle), QX_OK);
    EXPECT_EQ(QX_RegisterImageCallBack(
                  handle, [](const FrameInfo*, void*) {}, nullptr),
              QX_ERR_WRONG_STATE);
    EXPECT_EQ(QX_GIGE_SetPacketResend(handle, true, 10, 100), QX_ERR_WRONG_STATE);

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(QX_StopGrabbing(handle), QX_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(160)) << "the pause after a stop";
    EXPECT_FALSE(QX_IsGrabbingStarted(handle));
    // Not grabbing: returns at once, no pause.
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(QX_StopGrabbing(handle), QX_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(160));
}

TEST_F(ExportsTest, MemoryAccessChecks) {
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(QX_ReadMemory(handle, nullptr, 0, 4, 0), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_ReadMemory(handle, buf, 0, 0, 0), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_ReadMemory(handle, buf, 0, -4, 0), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_WriteMemory(handle, buf, 0, 4, -1), QX_ERR_INVALID_PARAM);
    // Not connected: general failure, not "not available".
    log.clear();
    EXPECT_EQ(QX_ReadMemory(handle, buf, 0x100, 4, 0), QX_ERR_GENERAL);
    LogLine end = endLine("QX_ReadMemory");
    EXPECT_NE(end.text.find("nAddress=256, nLength=4, enPortType=0"), std::string::npos);

    ASSERT_EQ(QX_ConnectDevice(handle, 1), QX_OK);
    EXPECT_EQ(QX_WriteMemory(handle, buf, 0x100, 4, 0), QX_OK);
    uint8_t back[4] = {};
    EXPECT_EQ(QX_ReadMemory(handle, back, 0x100, 4, 1), QX_OK);
    EXPECT_EQ(std::memcmp(buf, back, 4), 0);
    transport.device(handle)->failAddress(0x200, QX_ERR_USB3);
    EXPECT_EQ(QX_ReadMemory(handle, back, 0x200, 4, 0), QX_ERR_USB3);
}

TEST_F(ExportsTest, GigeFunctionsNeedAGigeCamera) {
    bool enable = false;
    uint8_t percent = 0;
    uint16_t timeout = 0;
    EXPECT_EQ(QX_GIGE_GetFilterDriver(handle, nullptr), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_GIGE_GetPacketResend(handle, nullptr, &percent, &timeout), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_GIGE_SetFilterDriver(handle, true), QX_OK);
    EXPECT_EQ(QX_GIGE_GetFilterDriver(handle, &enable), QX_OK);
    EXPECT_TRUE(enable);
    EXPECT_EQ(QX_GIGE_GetPacketResend(handle, &enable, &percent, &timeout), QX_OK);
    EXPECT_EQ(percent, 10);
    EXPECT_EQ(QX_GIGE_ForceIp(handle, 0x0A000005, 0xFFFFFF00, 0), QX_OK);
    EXPECT_TRUE(log.find("nIP=0xa000005, nSubNetMask=0xffffff00, nGateWay=0x0"));
    EXPECT_EQ(QX_GIGE_SetIpConfig(handle, 5, 1, 2, 3), QX_OK);
    EXPECT_EQ(transport.device(handle)->gigeCalls,
              (std::vector<std::string>{"setFilterDriver", "getPacketResend", "forceIp", "setIpConfig"}));

    // A camera object that is not a GigE camera answers "not supported".
    struct PlainDevice final : DeviceBase {
        ~PlainDevice() override { shutdownThreads(); }
        QX_STATUS connectDevice(int32_t) override { return QX_ERR_NOT_SUPPORTED; }
        QX_STATUS disconnectDevice() override { return QX_OK; }
        QX_STATUS startGrabbing(FeatureBase*) override { return QX_ERR_NOT_SUPPORTED; }
        QX_STATUS stopGrabbing() override { return QX_OK; }
        QX_STATUS readMemory(void*, int64_t, int64_t, int32_t) override { return QX_ERR_NOT_SUPPORTED; }
        QX_STATUS writeMemory(void*, int64_t, int64_t, int32_t) override { return QX_ERR_NOT_SUPPORTED; }
    };
    qx::core::api::TransportHooks hooks = qx::core::api::defaultTransportHooks();
    hooks.makeGige = [](const DeviceInfo&) { return std::make_unique<PlainDevice>(); };
    qx::core::api::ScopedTransportHooks plain(hooks);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    EXPECT_EQ(QX_GIGE_SetFilterDriver(h, true), QX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(QX_GIGE_GetFilterDriver(h, &enable), QX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(QX_GIGE_SetPacketResend(h, true, 10, 100), QX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(QX_GIGE_ForceIp(h, 1, 2, 3), QX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(QX_ConnectDevice(h, 1), QX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(QX_DeleteDevice(h), QX_OK);
}

TEST_F(ExportsTest, NodeMapPollStateChecksDifferBetweenSetAndGet) {
    bool enabled = false;
    int32_t interval = 0;
    EXPECT_EQ(QX_XML_SetNodeMapPoll(handle, true, 100), QX_ERR_WRONG_STATE);
    EXPECT_EQ(QX_XML_GetNodeMapPoll(handle, &enabled, &interval), QX_ERR_GENERAL);
    // The getter looks the handle up before it checks its pointers.
    EXPECT_EQ(QX_XML_GetNodeMapPoll(reinterpret_cast<void*>(0x42), nullptr, nullptr), QX_ERR_INVALID_HANDLE);
    EXPECT_EQ(QX_XML_GetNodeMapPoll(handle, nullptr, &interval), QX_ERR_INVALID_PARAM);
}

TEST_F(ExportsTest, XmlSizeAndCopy) {
    uint32_t size = 0;
    char small[4];
    EXPECT_EQ(QX_XML_GetGenICamXMLSize(handle, &size), QX_ERR_NOT_AVAILABLE);
    EXPECT_TRUE(log.find("func:getGenICamXMLSize, m_isConnected=false"));
    ASSERT_EQ(QX_ConnectDevice(handle, 1), QX_OK);
    ASSERT_EQ(QX_XML_GetGenICamXMLSize(handle, &size), QX_OK);
    EXPECT_EQ(size, std::string("<RegisterDescription/>").size());
    log.clear();
    EXPECT_EQ(QX_XML_GetGenICamXML(handle, small, sizeof small), QX_ERR_BUFFER_TOO_SMALL);
    LogLine line{};
    ASSERT_TRUE(log.find("func:getGenICamXML, nDataSize < m_xmlFileSize", &line));
    EXPECT_EQ(line.level, spdlog::level::err);
    std::string buf(size, '\0');
    EXPECT_EQ(QX_XML_GetGenICamXML(handle, buf.data(), size), QX_OK);
    EXPECT_EQ(buf, "<RegisterDescription/>");
}

TEST_F(ExportsTest, ArgumentTextsOfTheEndLines) {
    EXPECT_NE(QX_XML_SetIntValue(handle, "Width", 640), QX_OK);
    EXPECT_TRUE(log.find("func:QX_XML_SetIntValue end, Key=Width, nValue=640, spent:"));
    QX_XML_SetBoolValue(handle, "ReverseX", true);
    EXPECT_TRUE(log.find("Key=ReverseX, bValue=true"));
    QX_XML_SetFloatValue(handle, "Gain", 1.5f);
    EXPECT_TRUE(log.find("Key=Gain, fValue=1.5"));
    QX_XML_SetNodeMapPoll(handle, true, 0);
    EXPECT_TRUE(log.find("enabled=true, nInterval=0"));
    QX_GIGE_SetPacketResend(handle, false, 5, 300);
    EXPECT_TRUE(log.find("bEnable=false, nResendPercent=5, nResendTimeout=300"));
}

const char* const kHeartbeatXml = R"(<?xml version="1.0"?>
<RegisterDescription ModelName="HB" VendorName="Qx" StandardNameSpace="None" SchemaMajorVersion="1"
    SchemaMinorVersion="1" SchemaSubMinorVersion="0" MajorVersion="1" MinorVersion="0" SubMinorVersion="0"
    ToolTip="" ProductGuid="00000000-0000-0000-0000-000000000000" VersionGuid="00000000-0000-0000-0000-000000000000"
    xmlns="http://www.genicam.org/GenApi/Version_1_1">
  <Category Name="Root"><pFeature>GevHeartbeatTimeout</pFeature></Category>
  <IntReg Name="GevHeartbeatTimeout">
    <Address>0x0938</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <Port Name="Device"/>
</RegisterDescription>
)";

TEST_F(ExportsTest, HeartbeatTimeoutFollowsTheNodeOnGigeCamerasOnly) {
    transport.options.xml = kHeartbeatXml;
    for (bool gige : {true, false}) {
        DeviceInfo rec = gige ? makeGigeInfo("G", "HB1", 1, 2) : makeUsb3Info("U", "/usb/hb", 0);
        QX_DEV_HANDLE h = nullptr;
        ASSERT_EQ(QX_CreateDevice(&h, &rec), QX_OK);
        ASSERT_EQ(QX_ConnectDevice(h, 1), QX_OK);
        TestDevice* dev = transport.device(h);
        ASSERT_EQ(QX_XML_SetIntValue(h, "GevHeartbeatTimeout", 3000), QX_OK);
        uint8_t reg[4] = {};
        ASSERT_EQ(QX_ReadMemory(h, reg, 0x0938, 4, 0), QX_OK);
        EXPECT_EQ((reg[0] << 24) | (reg[1] << 16) | (reg[2] << 8) | reg[3], 3000) << "the node is set";
        EXPECT_EQ(dev->heartbeatTimeout, gige ? 3000 : -1) << (gige ? "GigE" : "USB3");
        // A refused value sets neither.
        dev->failAddress(0x0938, QX_ERR_GEV_ACCESS_DENIED);
        EXPECT_EQ(QX_XML_SetIntValue(h, "GevHeartbeatTimeout", 5000), QX_ERR_GEV_ACCESS_DENIED);
        EXPECT_EQ(dev->heartbeatTimeout, gige ? 3000 : -1);
        ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
        ASSERT_EQ(QX_DeleteDevice(h), QX_OK);
    }
}

TEST(EnumExport, ArgumentChecksLogAtInfo) {
    LogCapture log;
    DeviceList list{};
    EXPECT_EQ(QX_EnumDevices(nullptr, 1, 100), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_EnumDevices(&list, 0, 100), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_EnumDevices(&list, 1, 0), QX_ERR_INVALID_PARAM);
    LogLine line{};
    ASSERT_TRUE(log.find("func:QX_EnumDevices end, tryTimes=1, timeout=0, spent:", &line));
    EXPECT_EQ(line.level, spdlog::level::info);
    EXPECT_NE(line.text.find("ret=0x80000001"), std::string::npos);
}

TEST(VersionExport, IsTheSdkVersion) {
    LogCapture log;
    EXPECT_EQ(QX_GetSdkVersion(), 0x02010000u);
    EXPECT_TRUE(log.find("func:QX_GetSdkVersion end, spent:#ms, ret=0x2010000"));
    QX_InterruptDevEnumerating();
    EXPECT_TRUE(log.find("func:QX_InterruptDevEnumerating, spent:"));
}

} // namespace
