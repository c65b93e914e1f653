// Typed node access through the real exports and the memory-backed test camera:
// every getter and setter on every node kind, type mismatches, values out of range, registers
// the camera refuses, the cuts of long enumerations and texts, missing nodes, a node map that
// is not built, the two ports, the XML forms and "TLParamsLocked".
#include "FeatureTestCamera.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

using namespace qxtest;
namespace fs = std::filesystem;

namespace {

constexpr QX_STATUS kRefused = QX_ERR_USB3; // what the test camera answers for a refused register

bool warned(LogCapture& log, const std::string& text) {
    LogLine line{};
    return log.find(text, &line) && line.level == spdlog::level::warn && line.text == text;
}

} // namespace

TEST_F(FeatureTest, NodeMapNotBuiltFailsLikeAMissingNode) {
    IntValueInfo iv{};
    FloatValueInfo fv{};
    EnumValueInfo ev{};
    EnumStrValueInfo esv{};
    StringValueInfo sv{};
    bool b = false;
    int32_t mode = -1;
    NodeInfoList list{};
    EXPECT_EQ(QX_XML_GetIntValue(handle, "Width", &iv), QX_ERR_GENICAM);
    EXPECT_TRUE(warned(log, "func:getIntValue failed"));
    EXPECT_EQ(QX_XML_SetIntValue(handle, "Width", 64), QX_ERR_GENICAM);
    EXPECT_EQ(QX_XML_GetFloatValue(handle, "ExposureTime", &fv), QX_ERR_GENICAM);
    EXPECT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 1.0f), QX_ERR_GENICAM);
    EXPECT_EQ(QX_XML_GetEnumValue(handle, "PixelFormat", &ev), QX_ERR_GENICAM);
    EXPECT_EQ(QX_XML_SetEnumValue(handle, "PixelFormat", 1), QX_ERR_GENICAM);
    EXPECT_EQ(QX_XML_GetEnumValueStr(handle, "PixelFormat", &esv), QX_ERR_GENICAM);
    EXPECT_EQ(QX_XML_SetEnumValueStr(handle, "PixelFormat", "Mono8"), QX_ERR_GENICAM);
    EXPECT_EQ(QX_XML_GetBoolValue(handle, "ReverseX", &b), QX_ERR_GENICAM);
    EXPECT_EQ(QX_XML_SetBoolValue(handle, "ReverseX", true), QX_ERR_GENICAM);
    EXPECT_EQ(QX_XML_GetStringValue(handle, "DeviceUserID", &sv), QX_ERR_GENICAM);
    EXPECT_EQ(QX_XML_SetStringValue(handle, "DeviceUserID", "x"), QX_ERR_GENICAM);
    EXPECT_EQ(QX_XML_ExecuteCommand(handle, "AcquisitionStart"), QX_ERR_GENICAM);
    EXPECT_TRUE(warned(log, "func:executeCommand failed"));
    EXPECT_EQ(QX_XML_GetNodeAccessMode(handle, "Width", &mode), QX_ERR_GENICAM);
    EXPECT_TRUE(warned(log, "func:getNodeAccessMode failed"));
    EXPECT_EQ(QX_XML_GetNodeInterfaceType(handle, "Width", &mode), QX_ERR_GENICAM);
    EXPECT_TRUE(warned(log, "func:getNodeInterfaceType failed"));
    EXPECT_EQ(QX_XML_GetNodeTree(handle, &list), QX_ERR_GENICAM);
    EXPECT_TRUE(warned(log, "func:getNodeTree failed"));
    EXPECT_EQ(list.nCount, 0);
    EXPECT_TRUE(log.find("func:getIntValue, no node map"));
    EXPECT_EQ(list.ppNodes, nullptr);
}

TEST_F(FeatureTest, IntegerGetAndSet) {
    connect();
    IntValueInfo v{};
    ASSERT_EQ(QX_XML_GetIntValue(handle, "Width", &v), QX_OK);
    EXPECT_EQ(v.nValue, 640);
    EXPECT_EQ(v.nMax, 4096);
    EXPECT_EQ(v.nMin, 16);
    EXPECT_EQ(v.nInc, 8);
    EXPECT_EQ(v.nRepresentation, QX_REPR_LINEAR);
    ASSERT_EQ(QX_XML_SetIntValue(handle, "Width", 800), QX_OK);
    EXPECT_EQ(dev().u32Be(reg::kWidth), 800u);
    ASSERT_EQ(QX_XML_GetIntValue(handle, "Width", &v), QX_OK);
    EXPECT_EQ(v.nValue, 800);
    ASSERT_EQ(QX_XML_GetIntValue(handle, "OffsetX", &v), QX_OK);
    EXPECT_EQ(v.nRepresentation, QX_REPR_HEX_NUMBER);
    EXPECT_EQ(v.nMax, 1000);
    // An IntReg feature: its own representation is PureNumber.
    ASSERT_EQ(QX_XML_GetIntValue(handle, "DeviceTemperature", &v), QX_OK);
    EXPECT_EQ(v.nValue, 40);
    EXPECT_EQ(v.nRepresentation, QX_REPR_PURE_NUMBER);
    LogLine end{};
    ASSERT_TRUE(log.find("func:QX_XML_SetIntValue end", &end));
    EXPECT_EQ(end.text.rfind("dev:FeatureCam(1), func:QX_XML_SetIntValue end, Key=Width, nValue=800, spent:", 0), 0u);
}

TEST_F(FeatureTest, FloatGetAndSet) {
    connect();
    FloatValueInfo v{};
    ASSERT_EQ(QX_XML_GetFloatValue(handle, "ExposureTime", &v), QX_OK);
    EXPECT_FLOAT_EQ(v.fValue, 1000.0f);
    EXPECT_FLOAT_EQ(v.fMax, 1000000.0f);
    EXPECT_FLOAT_EQ(v.fMin, 10.0f);
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 2500.5f), QX_OK);
    ASSERT_EQ(QX_XML_GetFloatValue(handle, "ExposureTime", &v), QX_OK);
    EXPECT_FLOAT_EQ(v.fValue, 2500.5f);
    ASSERT_EQ(QX_XML_GetFloatValue(handle, "ReadoutTime", &v), QX_OK);
    EXPECT_FLOAT_EQ(v.fValue, 2600.5f);
}

TEST_F(FeatureTest, EnumerationGetAndSetByValueAndByText) {
    connect();
    EnumValueInfo ev{};
    ASSERT_EQ(QX_XML_GetEnumValue(handle, "PixelFormat", &ev), QX_OK);
    EXPECT_EQ(ev.nValue, 17301505);
    ASSERT_EQ(ev.nCount, 2); // RGB8 is not available
    EXPECT_EQ(ev.arrValues[0], 17301505);
    EXPECT_EQ(ev.arrValues[1], 17825799);
    ASSERT_EQ(QX_XML_SetEnumValue(handle, "PixelFormat", 17825799u), QX_OK);
    EXPECT_EQ(dev().u32Be(reg::kPixelFormat), 17825799u);
    EnumStrValueInfo sv{};
    ASSERT_EQ(QX_XML_GetEnumValueStr(handle, "PixelFormat", &sv), QX_OK);
    EXPECT_STREQ(sv.strValue, "Mono16");
    ASSERT_EQ(sv.nCount, 2);
    EXPECT_STREQ(sv.arrSymbolics[0], "Mono8");
    EXPECT_STREQ(sv.arrSymbolics[1], "Mono16");
    ASSERT_EQ(QX_XML_SetEnumValueStr(handle, "PixelFormat", "Mono8"), QX_OK);
    EXPECT_EQ(dev().u32Be(reg::kPixelFormat), 17301505u);
    // An entry that is not available, a value no entry has, a name no entry has.
    EXPECT_EQ(QX_XML_SetEnumValue(handle, "PixelFormat", 35127316u), QX_ERR_GENICAM);
    EXPECT_EQ(QX_XML_SetEnumValue(handle, "PixelFormat", 3u), QX_ERR_GENICAM);
    EXPECT_TRUE(warned(log, "func:setEnumValue failed"));
    EXPECT_EQ(QX_XML_SetEnumValueStr(handle, "PixelFormat", "Nope"), QX_ERR_GENICAM);
    EXPECT_TRUE(warned(log, "func:setEnumValueStr failed"));
    EXPECT_EQ(dev().u32Be(reg::kPixelFormat), 17301505u);
}

TEST_F(FeatureTest, EnumerationTextKeepsTheCallersCurrentNameWhenNoReportedEntryMatches) {
    connect();
    dev().setU32Be(reg::kPixelFormat, 35127316); // RGB8: not available, so not reported
    EnumStrValueInfo sv{};
    std::strcpy(sv.strValue, "caller");
    ASSERT_EQ(QX_XML_GetEnumValueStr(handle, "PixelFormat", &sv), QX_OK);
    EXPECT_STREQ(sv.strValue, "caller");
    EXPECT_EQ(sv.nCount, 2);
}

TEST_F(FeatureTest, BooleanGetAndSet) {
    connect();
    bool b = true;
    ASSERT_EQ(QX_XML_GetBoolValue(handle, "ReverseX", &b), QX_OK);
    EXPECT_FALSE(b);
    ASSERT_EQ(QX_XML_SetBoolValue(handle, "ReverseX", true), QX_OK);
    EXPECT_EQ(dev().u32Be(reg::kReverseX), 1u);
    ASSERT_EQ(QX_XML_GetBoolValue(handle, "ReverseX", &b), QX_OK);
    EXPECT_TRUE(b);
}

TEST_F(FeatureTest, StringGetAndSet) {
    connect();
    StringValueInfo sv;
    std::memset(&sv, 0x55, sizeof sv);
    ASSERT_EQ(QX_XML_GetStringValue(handle, "DeviceUserID", &sv), QX_OK);
    EXPECT_STREQ(sv.strValue, "cam");
    EXPECT_EQ(sv.nLength, 3);
    for (size_t i = 3; i < QX_STRING_VALUE_LEN; ++i) ASSERT_EQ(sv.strValue[i], 0) << i;
    ASSERT_EQ(QX_XML_SetStringValue(handle, "DeviceUserID", "camera-7"), QX_OK);
    ASSERT_EQ(QX_XML_GetStringValue(handle, "DeviceUserID", &sv), QX_OK);
    EXPECT_STREQ(sv.strValue, "camera-7");
    EXPECT_EQ(sv.nLength, 8);
    const std::vector<uint8_t> mem = dev().memory(reg::kDeviceUserID, 9);
    EXPECT_EQ(std::string(mem.begin(), mem.begin() + 8), "camera-7");
}

TEST_F(FeatureTest, CommandExecutes) {
    connect();
    ASSERT_EQ(QX_XML_ExecuteCommand(handle, "AcquisitionStart"), QX_OK);
    EXPECT_EQ(dev().u32Be(reg::kAcquisitionStart), 1u);
}

TEST_F(FeatureTest, AccessModesAndInterfaceTypes) {
    connect();
    const std::map<std::string, int32_t> types = {
        {"Root", QX_NODE_ICATEGORY},
        {"ImageFormatControl", QX_NODE_ICATEGORY},
        {"Width", QX_NODE_IINTEGER},
        {"DeviceTemperature", QX_NODE_IINTEGER},
        {"ReverseX", QX_NODE_IBOOLEAN},
        {"AcquisitionStart", QX_NODE_ICOMMAND},
        {"ExposureTime", QX_NODE_IFLOAT},
        {"ReadoutTime", QX_NODE_IFLOAT},
        {"DeviceUserID", QX_NODE_ISTRING},
        {"PixelFormat", QX_NODE_IENUMERATION},
        {"EnumEntry_PixelFormat_Mono8", QX_NODE_IENUMENTRY},
        {"Device", QX_NODE_IPORT},
    };
    for (const auto& [name, type] : types) {
        int32_t t = -1;
        ASSERT_EQ(QX_XML_GetNodeInterfaceType(handle, name.c_str(), &t), QX_OK) << name;
        EXPECT_EQ(t, type) << name;
    }
    const std::map<std::string, int32_t> modes = {
        {"Width", QX_NODE_ACCESS_RW},
        {"DeviceTemperature", QX_NODE_ACCESS_RO},
        {"EnumEntry_PixelFormat_RGB8", QX_NODE_ACCESS_NA},
        {"EnumEntry_BigEnum_Hidden", QX_NODE_ACCESS_NI},
    };
    for (const auto& [name, mode] : modes) {
        int32_t m = -1;
        ASSERT_EQ(QX_XML_GetNodeAccessMode(handle, name.c_str(), &m), QX_OK) << name;
        EXPECT_EQ(m, mode) << name;
    }
}

TEST_F(FeatureTest, TypeMismatchOfEveryOperation) {
    connect();
    std::atomic<int> accesses{0};
    IntValueInfo iv{};
    FloatValueInfo fv{};
    EnumValueInfo ev{};
    EnumStrValueInfo esv{};
    StringValueInfo sv{};
    bool b = false;
    struct Case {
        std::function<QX_STATUS()> call;
        std::string warning;
    };
    const std::vector<Case> cases = {
        {[&] { return QX_XML_GetIntValue(handle, "ExposureTime", &iv); },
         "func:getIntValue, intfIInteger != nodePtr->GetPrincipalInterfaceType()"},
        {[&] { return QX_XML_SetIntValue(handle, "ExposureTime", 1); },
         "func:setIntValue, intfIInteger != nodePtr->GetPrincipalInterfaceType()"},
        {[&] { return QX_XML_GetEnumValue(handle, "Width", &ev); },
         "func:getEnumValue intfIEnumeration != nodePtr->GetPrincipalInterfaceType()"},
        {[&] { return QX_XML_SetEnumValue(handle, "Width", 1); },
         "func:setEnumValue intfIEnumeration != nodePtr->GetPrincipalInterfaceType()"},
        {[&] { return QX_XML_GetEnumValueStr(handle, "Width", &esv); },
         "func:getEnumValueStr intfIEnumeration != nodePtr->GetPrincipalInterfaceType()"},
        {[&] { return QX_XML_SetEnumValueStr(handle, "Width", "Mono8"); },
         "func:setEnumValueStr intfIEnumeration != nodePtr->GetPrincipalInterfaceType()"},
        {[&] { return QX_XML_GetFloatValue(handle, "Width", &fv); },
         "func:getFloatValue intfIFloat != nodePtr->GetPrincipalInterfaceType()"},
        {[&] { return QX_XML_SetFloatValue(handle, "Width", 1.0f); },
         "func:setFloatValue intfIFloat != nodePtr->GetPrincipalInterfaceType()"},
        {[&] { return QX_XML_GetBoolValue(handle, "Width", &b); },
         "func:getBoolValue intfIBoolean != nodePtr->GetPrincipalInterfaceType()"},
        {[&] { return QX_XML_SetBoolValue(handle, "Width", true); },
         "func:setBoolValue intfIBoolean != nodePtr->GetPrincipalInterfaceType()"},
        {[&] { return QX_XML_GetStringValue(handle, "Width", &sv); },
         "func:getStringValue intfIString != nodePtr->GetPrincipalInterfaceType()"},
        {[&] { return QX_XML_SetStringValue(handle, "Width", "x"); },
         "func:setStringValue intfIString != nodePtr->GetPrincipalInterfaceType()"},
        {[&] { return QX_XML_ExecuteCommand(handle, "Width"); },
         "func:executeCommand intfICommand != nodePtr->GetPrincipalInterfaceType()"},
    };
    for (const Case& c : cases) {
        log.clear();
        EXPECT_EQ(c.call(), QX_ERR_GENICAM) << c.warning;
        EXPECT_TRUE(warned(log, c.warning)) << c.warning;
        EXPECT_EQ(log.count("failed"), 0u) << c.warning;
    }
    EXPECT_EQ(dev().u32Be(reg::kWidth), 640u);
}

TEST_F(FeatureTest, ValuesOutOfRangeAndNodesNotWritable) {
    connect();
    EXPECT_EQ(QX_XML_SetIntValue(handle, "Width", 5000), QX_ERR_GENICAM); // above pMax
    EXPECT_TRUE(warned(log, "func:setIntValue failed"));
    EXPECT_EQ(QX_XML_SetIntValue(handle, "Width", 8), QX_ERR_GENICAM);   // below Min
    EXPECT_EQ(QX_XML_SetIntValue(handle, "Width", 644), QX_ERR_GENICAM); // off the increment
    EXPECT_EQ(dev().u32Be(reg::kWidth), 640u);
    EXPECT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 5.0f), QX_ERR_GENICAM);
    EXPECT_TRUE(warned(log, "func:setFloatValue failed"));
    EXPECT_EQ(QX_XML_SetIntValue(handle, "DeviceTemperature", 1), QX_ERR_GENICAM); // RO
    EXPECT_EQ(QX_XML_SetFloatValue(handle, "ReadoutTime", 5.0f), QX_ERR_GENICAM);  // computed
    LogLine end{};
    ASSERT_TRUE(log.find("func:QX_XML_SetFloatValue end", &end));
    EXPECT_EQ(end.level, spdlog::level::err);
}

TEST_F(FeatureTest, MissingNode) {
    connect();
    IntValueInfo v{};
    EXPECT_EQ(QX_XML_GetIntValue(handle, "NoSuchNode", &v), QX_ERR_GENICAM);
    EXPECT_TRUE(warned(log, "func:getIntValue failed"));
    EXPECT_EQ(QX_XML_SetStringValue(handle, "NoSuchNode", "x"), QX_ERR_GENICAM);
    EXPECT_TRUE(warned(log, "func:setStringValue failed"));
    LogLine end{};
    ASSERT_TRUE(log.find("func:QX_XML_GetIntValue end", &end));
    EXPECT_EQ(end.level, spdlog::level::err);
    EXPECT_NE(end.text.find("Key=NoSuchNode, spent:"), std::string::npos);
    EXPECT_NE(end.text.find("ret:0x800001ff"), std::string::npos);
    // The reason is kept beside the failure.
    EXPECT_TRUE(log.find("func:getIntValue, no node named \"NoSuchNode\""));
    int32_t mode = -1;
    EXPECT_EQ(QX_XML_GetNodeAccessMode(handle, "NoSuchNode", &mode), QX_ERR_GENICAM);
    EXPECT_EQ(mode, -1);
    EXPECT_TRUE(warned(log, "func:getNodeAccessMode failed"));
    EXPECT_TRUE(log.find("func:getNodeAccessMode, no node named \"NoSuchNode\""));
}

TEST_F(FeatureTest, RefusedRegisterAnswersTheCamerasStatusAndCachesNothing) {
    connect();
    IntValueInfo v{};
    ASSERT_EQ(QX_XML_GetIntValue(handle, "Width", &v), QX_OK); // now cached
    dev().failAddress(reg::kWidth, kRefused);
    // The write is refused: the camera's status, not the generic GenICam failure.
    EXPECT_EQ(QX_XML_SetIntValue(handle, "Width", 1024), kRefused);
    // The value that was never written is not handed out from a cache with status 0.
    const QX_STATUS s = QX_XML_GetIntValue(handle, "Width", &v);
    EXPECT_TRUE(s == kRefused || (s == QX_OK && v.nValue == 640)) << std::hex << s << " " << v.nValue;
    EXPECT_NE(v.nValue, 1024);
    dev().clearFailures();
    ASSERT_EQ(QX_XML_GetIntValue(handle, "Width", &v), QX_OK);
    EXPECT_EQ(v.nValue, 640);
    // A register that is read every time: the refusal is the answer, then the real value.
    dev().failAddress(reg::kDeviceTemperature, kRefused);
    EXPECT_EQ(QX_XML_GetIntValue(handle, "DeviceTemperature", &v), kRefused);
    LogLine end{};
    ASSERT_TRUE(log.find("func:QX_XML_GetIntValue end, Key=DeviceTemperature", &end));
    EXPECT_NE(end.text.find("ret:0x800003ff"), std::string::npos);
    dev().clearFailures();
    dev().setU32Be(reg::kDeviceTemperature, 41);
    ASSERT_EQ(QX_XML_GetIntValue(handle, "DeviceTemperature", &v), QX_OK);
    EXPECT_EQ(v.nValue, 41);
    // Refused reads of other kinds answer the same way.
    dev().failAddress(reg::kExposureTime, QX_ERR_GEV_TIMEOUT);
    EXPECT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 20.0f), QX_ERR_GEV_TIMEOUT);
    dev().failAddress(reg::kAcquisitionStart, kRefused);
    EXPECT_EQ(QX_XML_ExecuteCommand(handle, "AcquisitionStart"), kRefused);
    dev().failAddress(reg::kDeviceUserID, kRefused);
    EXPECT_EQ(QX_XML_SetStringValue(handle, "DeviceUserID", "y"), kRefused);
}

TEST_F(FeatureTest, EnumerationOfMoreThan64EntriesReportsTheFirst64Readable) {
    connect();
    EnumValueInfo ev{};
    ASSERT_EQ(QX_XML_GetEnumValue(handle, "BigEnum", &ev), QX_OK);
    EXPECT_EQ(ev.nValue, 105);
    ASSERT_EQ(ev.nCount, 64);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(ev.arrValues[i], 100 + i) << i; // NI and NA skipped
    EnumStrValueInfo sv{};
    ASSERT_EQ(QX_XML_GetEnumValueStr(handle, "BigEnum", &sv), QX_OK);
    ASSERT_EQ(sv.nCount, 64);
    EXPECT_STREQ(sv.arrSymbolics[0], "E00");
    EXPECT_STREQ(sv.arrSymbolics[63], "E63");
    EXPECT_STREQ(sv.strValue, "E05");
}

TEST_F(FeatureTest, LongTextsAreCut) {
    connect();
    EnumStrValueInfo sv;
    std::memset(&sv, 0x55, sizeof sv);
    ASSERT_EQ(QX_XML_GetEnumValueStr(handle, "LongEnum", &sv), QX_OK);
    ASSERT_EQ(sv.nCount, 2);
    const std::string first63 = longSymbolic().substr(0, 63);
    EXPECT_EQ(std::string(sv.arrSymbolics[0]), first63);
    EXPECT_EQ(sv.arrSymbolics[0][63], 0);
    EXPECT_EQ(std::string(sv.strValue), first63);
    EXPECT_EQ(sv.strValue[63], 0);
    EXPECT_STREQ(sv.arrSymbolics[1], "Short");
    StringValueInfo str;
    std::memset(&str, 0x55, sizeof str);
    ASSERT_EQ(QX_XML_GetStringValue(handle, "LongText", &str), QX_OK);
    EXPECT_EQ(str.nLength, 255);
    EXPECT_EQ(std::string(str.strValue), std::string(255, 'x'));
    EXPECT_EQ(str.strValue[255], 0);
}

TEST(FeaturePorts, ConnectorDevicePortCarriesPortType1AndDevicePortType0) {
    TestTransport transport;
    std::mutex mutex;
    std::map<int64_t, int32_t> portOf;
    transport.options.xml = testCameraXml();
    transport.options.onPortAccess = [&](bool, int64_t address, int64_t, int32_t portType) {
        std::lock_guard<std::mutex> lk(mutex);
        portOf[address] = portType;
    };
    DeviceInfo info = makeUsb3Info("FeatureCam", "path", 0);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    seedTestCamera(*transport.device(h));
    ASSERT_EQ(QX_ConnectDevice(h, 1), QX_OK);
    IntValueInfo v{};
    ASSERT_EQ(QX_XML_GetIntValue(h, "ConnectorValue", &v), QX_OK);
    EXPECT_EQ(v.nValue, 7);
    ASSERT_EQ(QX_XML_SetIntValue(h, "ConnectorValue", 9), QX_OK);
    EXPECT_EQ(transport.device(h)->u32Be(reg::kConnectorValue), 9u);
    ASSERT_EQ(QX_XML_GetIntValue(h, "Width", &v), QX_OK);
    {
        std::lock_guard<std::mutex> lk(mutex);
        EXPECT_EQ(portOf.at(reg::kConnectorValue), QX_PORT_CONNECTOR_DEVICE);
        EXPECT_EQ(portOf.at(reg::kWidth), QX_PORT_DEVICE);
    }
    QX_DisconnectDevice(h);
    QX_DeleteDevice(h);
}

TEST(FeatureXml, AFileWithoutConnectorDevicePortStillLoads) {
    TestTransport transport;
    transport.options.xml = testCameraXml(false);
    DeviceInfo info = makeGigeInfo("GigeCam", "G1", 0x0A000002, 0x0A000001);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    seedTestCamera(*transport.device(h));
    ASSERT_EQ(QX_ConnectDevice(h, 1), QX_OK);
    IntValueInfo v{};
    ASSERT_EQ(QX_XML_GetIntValue(h, "Width", &v), QX_OK);
    EXPECT_EQ(v.nValue, 640);
    EXPECT_EQ(QX_XML_GetIntValue(h, "ConnectorValue", &v), QX_ERR_GENICAM);
    QX_DisconnectDevice(h);
    QX_DeleteDevice(h);
}

TEST(FeatureXml, TextFollowedByZeroBytesBuildsTheSameNodeMap) {
    TestTransport transport;
    transport.options.xml = testCameraXml() + std::string(3, '\0') + "<not xml at all";
    DeviceInfo info = makeUsb3Info("FeatureCam", "path", 0);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    seedTestCamera(*transport.device(h));
    ASSERT_EQ(QX_ConnectDevice(h, 1), QX_OK);
    IntValueInfo v{};
    ASSERT_EQ(QX_XML_GetIntValue(h, "Width", &v), QX_OK);
    EXPECT_EQ(v.nValue, 640);
    QX_DisconnectDevice(h);
    QX_DeleteDevice(h);
}

TEST(FeatureXml, FileReadAtConnectWithItsTrailingZeroBytes) {
    const fs::path file = fs::temp_directory_path() / ("qxfeature-" + std::to_string(::getpid()) + ".xml");
    std::ofstream(file) << testCameraXml();
    TestTransport transport;
    transport.options.xmlFile = file.string();
    DeviceInfo info = makeUsb3Info("FeatureCam", "path", 0);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    seedTestCamera(*transport.device(h));
    ASSERT_EQ(QX_ConnectDevice(h, 1), QX_OK);
    FloatValueInfo v{};
    ASSERT_EQ(QX_XML_GetFloatValue(h, "ExposureTime", &v), QX_OK);
    EXPECT_FLOAT_EQ(v.fValue, 1000.0f);
    QX_DisconnectDevice(h);
    QX_DeleteDevice(h);
    fs::remove(file);
}

TEST(FeatureXml, AnUnloadableFileFailsTheConnectAndLeavesTheCameraConnected) {
    TestTransport transport;
    LogCapture log;
    transport.options.xml = "<RegisterDescription><Integer Name=\"A\"><pValue>Missing</pValue></Integer>"
                            "</RegisterDescription>";
    DeviceInfo info = makeUsb3Info("FeatureCam", "path", 0);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    EXPECT_EQ(QX_ConnectDevice(h, 1), QX_ERR_GENICAM);
    LogLine line{};
    ASSERT_TRUE(log.find("func:initNodeMap failed", &line));
    EXPECT_EQ(line.level, spdlog::level::warn);
    bool connected = false;
    ASSERT_EQ(QX_GetConnectionStatus(h, &connected), QX_OK);
    EXPECT_TRUE(connected);
    IntValueInfo v{};
    EXPECT_EQ(QX_XML_GetIntValue(h, "A", &v), QX_ERR_GENICAM);
    EXPECT_EQ(QX_DisconnectDevice(h), QX_OK);
    EXPECT_EQ(QX_DeleteDevice(h), QX_OK);
}

TEST_F(FeatureTest, ReconnectRebuildsTheNodeMapFromTheNewText) {
    connect();
    ASSERT_EQ(QX_XML_SetIntValue(handle, "Width", 1024), QX_OK);
    NodeInfoList list{};
    ASSERT_EQ(QX_XML_GetNodeTree(handle, &list), QX_OK);
    ASSERT_EQ(QX_DisconnectDevice(handle), QX_OK);
    connect();
    IntValueInfo v{};
    ASSERT_EQ(QX_XML_GetIntValue(handle, "Width", &v), QX_OK);
    EXPECT_EQ(v.nValue, 1024);
    ASSERT_EQ(QX_XML_GetNodeTree(handle, &list), QX_OK);
    EXPECT_EQ(list.nCount, 4);
}

TEST_F(FeatureTest, TLParamsLockedFollowsGrabbingAndLocksItsFeatures) {
    connect();
    IntValueInfo v{};
    int32_t mode = -1;
    ASSERT_EQ(QX_XML_GetNodeAccessMode(handle, "Width", &mode), QX_OK);
    EXPECT_EQ(mode, QX_NODE_ACCESS_RW);
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    ASSERT_EQ(QX_XML_GetIntValue(handle, "TLParamsLocked", &v), QX_OK);
    EXPECT_EQ(v.nValue, 1);
    ASSERT_EQ(QX_XML_GetNodeAccessMode(handle, "Width", &mode), QX_OK);
    EXPECT_EQ(mode, QX_NODE_ACCESS_RO);
    EXPECT_EQ(QX_XML_SetIntValue(handle, "Width", 1024), QX_ERR_GENICAM);
    EXPECT_EQ(dev().u32Be(reg::kWidth), 640u);
    // Starting again does nothing and leaves it locked.
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    ASSERT_EQ(QX_StopGrabbing(handle), QX_OK);
    ASSERT_EQ(QX_XML_GetIntValue(handle, "TLParamsLocked", &v), QX_OK);
    EXPECT_EQ(v.nValue, 0);
    ASSERT_EQ(QX_XML_GetNodeAccessMode(handle, "Width", &mode), QX_OK);
    EXPECT_EQ(mode, QX_NODE_ACCESS_RW);
    EXPECT_EQ(QX_XML_SetIntValue(handle, "Width", 1024), QX_OK);
}

TEST(FeatureGrabbing, ACameraWithoutTLParamsLockedStillGrabs) {
    TestTransport transport;
    LogCapture log;
    transport.options.xml = "<RegisterDescription><Category Name=\"Root\"/><Port Name=\"Device\"/>"
                            "</RegisterDescription>";
    DeviceInfo info = makeUsb3Info("FeatureCam", "path", 0);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    ASSERT_EQ(QX_ConnectDevice(h, 1), QX_OK);
    EXPECT_EQ(QX_StartGrabbing(h), QX_OK);
    EXPECT_TRUE(log.find("func:setIntValue failed"));
    EXPECT_EQ(QX_StopGrabbing(h), QX_OK);
    QX_DisconnectDevice(h);
    QX_DeleteDevice(h);
}
