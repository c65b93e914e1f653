// Every argument check an export makes before it looks its handle up: the status, and the
// end line in the "handle" form at level error, for a registered handle too.
#include "LogCapture.h"
#include "TestDevice.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace qxtest;

namespace {

struct Check {
    const char* func;
    std::function<QX_STATUS(QX_DEV_HANDLE)> call;
    const char* text; // argument text expected in the end line, or "" for none
};

TEST(ExportChecks, NullArgumentsAreRefusedBeforeTheLookup) {
    TestTransport transport;
    DeviceInfo info = makeGigeInfo("Chk", "C1", 1, 2);
    QX_DEV_HANDLE handle = nullptr;
    ASSERT_EQ(QX_CreateDevice(&handle, &info), QX_OK);
    ASSERT_EQ(QX_ConnectDevice(handle, 1), QX_OK);

    uint8_t u8;
    uint16_t u16;
    bool b;
    int32_t i32;
    IntValueInfo iv;
    const std::vector<Check> checks = {
        {"QX_ConvertPixelFormat", [](QX_DEV_HANDLE h) { return QX_ConvertPixelFormat(h, nullptr); },
         "pstCvtParam = nullptr"},
        {"QX_FileAccessRead", [](QX_DEV_HANDLE h) { return QX_FileAccessRead(h, nullptr); }, ""},
        {"QX_FileAccessWrite", [](QX_DEV_HANDLE h) { return QX_FileAccessWrite(h, nullptr); }, ""},
        {"QX_FreeFrame", [](QX_DEV_HANDLE h) { return QX_FreeFrame(h, nullptr); }, ""},
        {"QX_GIGE_GetFilterDriver", [](QX_DEV_HANDLE h) { return QX_GIGE_GetFilterDriver(h, nullptr); }, ""},
        {"QX_GIGE_GetPacketResend", [&](QX_DEV_HANDLE h) { return QX_GIGE_GetPacketResend(h, &b, &u8, nullptr); }, ""},
        {"QX_GIGE_GetPacketResend", [&](QX_DEV_HANDLE h) { return QX_GIGE_GetPacketResend(h, &b, nullptr, &u16); }, ""},
        {"QX_GetConnectionStatus", [](QX_DEV_HANDLE h) { return QX_GetConnectionStatus(h, nullptr); }, ""},
        {"QX_GetFrame", [](QX_DEV_HANDLE h) { return QX_GetFrame(h, nullptr, 10); }, ""},
        {"QX_ReadMemory", [](QX_DEV_HANDLE h) { return QX_ReadMemory(h, nullptr, 0, 4, 0); },
         "pBuffer=0x0, nAddress=0, nLength=4, enPortType=0"},
        {"QX_WriteMemory", [](QX_DEV_HANDLE h) { return QX_WriteMemory(h, nullptr, 8, 4, 1); },
         "pBuffer=0x0, nAddress=8, nLength=4, enPortType=1"},
        {"QX_RecordFrame", [](QX_DEV_HANDLE h) { return QX_RecordFrame(h, nullptr); }, "pstRecordFrameInfo = nullptr"},
        {"QX_SaveImageToFile", [](QX_DEV_HANDLE h) { return QX_SaveImageToFile(h, nullptr); },
         "pstSaveFileParam = nullptr"},
        {"QX_StartRecord", [](QX_DEV_HANDLE h) { return QX_StartRecord(h, nullptr); }, "pstRecordParam = nullptr"},
        {"QX_XML_ExecuteCommand", [](QX_DEV_HANDLE h) { return QX_XML_ExecuteCommand(h, nullptr); }, "Key=(nullptr)"},
        {"QX_XML_GetBoolValue", [](QX_DEV_HANDLE h) { return QX_XML_GetBoolValue(h, "K", nullptr); }, "Key=K"},
        {"QX_XML_GetEnumValue", [](QX_DEV_HANDLE h) { return QX_XML_GetEnumValue(h, "K", nullptr); }, "Key=K"},
        {"QX_XML_GetEnumValueStr", [](QX_DEV_HANDLE h) { return QX_XML_GetEnumValueStr(h, "K", nullptr); }, "Key=K"},
        {"QX_XML_GetFloatValue", [](QX_DEV_HANDLE h) { return QX_XML_GetFloatValue(h, "K", nullptr); }, "Key=K"},
        {"QX_XML_GetGenICamXML", [](QX_DEV_HANDLE h) { return QX_XML_GetGenICamXML(h, nullptr, 10); }, ""},
        {"QX_XML_GetGenICamXMLSize", [](QX_DEV_HANDLE h) { return QX_XML_GetGenICamXMLSize(h, nullptr); }, ""},
        {"QX_XML_GetIntValue", [&](QX_DEV_HANDLE h) { return QX_XML_GetIntValue(h, nullptr, &iv); }, "Key=(nullptr)"},
        {"QX_XML_GetNodeAccessMode", [](QX_DEV_HANDLE h) { return QX_XML_GetNodeAccessMode(h, "K", nullptr); },
         "Key=K"},
        {"QX_XML_GetNodeInterfaceType", [&](QX_DEV_HANDLE h) { return QX_XML_GetNodeInterfaceType(h, nullptr, &i32); },
         "Key=(nullptr)"},
        {"QX_XML_GetNodeTree", [](QX_DEV_HANDLE h) { return QX_XML_GetNodeTree(h, nullptr); }, ""},
        {"QX_XML_GetStringValue", [](QX_DEV_HANDLE h) { return QX_XML_GetStringValue(h, "K", nullptr); }, "Key=K"},
        {"QX_XML_SetBoolValue", [](QX_DEV_HANDLE h) { return QX_XML_SetBoolValue(h, nullptr, true); },
         "Key=(nullptr), bValue=true"},
        {"QX_XML_SetEnumValue", [](QX_DEV_HANDLE h) { return QX_XML_SetEnumValue(h, nullptr, 7); },
         "Key=(nullptr), nValue=7"},
        {"QX_XML_SetEnumValueStr", [](QX_DEV_HANDLE h) { return QX_XML_SetEnumValueStr(h, nullptr, "V"); },
         "Key=(nullptr), Value=V"},
        {"QX_XML_SetFloatValue", [](QX_DEV_HANDLE h) { return QX_XML_SetFloatValue(h, nullptr, 2.5f); },
         "Key=(nullptr), fValue=2.5"},
        {"QX_XML_SetIntValue", [](QX_DEV_HANDLE h) { return QX_XML_SetIntValue(h, nullptr, -3); },
         "Key=(nullptr), nValue=-3"},
        {"QX_XML_SetStringValue", [](QX_DEV_HANDLE h) { return QX_XML_SetStringValue(h, "K", nullptr); },
         "Key=K, Value=(nullptr)"},
    };

    for (const Check& c : checks) {
        for (QX_DEV_HANDLE h : {handle, reinterpret_cast<QX_DEV_HANDLE>(0x77)}) {
            LogCapture log;
            EXPECT_EQ(c.call(h), QX_ERR_INVALID_PARAM) << c.func;
            std::string want = fmt::format("handle:{}, func:{} end, ", static_cast<const void*>(h), c.func);
            if (*c.text) want += std::string(c.text) + ", ";
            want += "spent:#ms, ret:0x80000001";
            LogLine end{};
            ASSERT_TRUE(log.find(std::string("func:") + c.func + " end", &end)) << c.func;
            EXPECT_EQ(end.text, want) << c.func;
            EXPECT_EQ(end.level, spdlog::level::err) << c.func;
            LogLine start{};
            ASSERT_TRUE(log.find(std::string("func:") + c.func + " start", &start)) << c.func;
            const auto startLevel = std::string(c.func) == "QX_GetFrame"             ? spdlog::level::debug
                                    : std::string(c.func) == "QX_ConvertPixelFormat" ? spdlog::level::trace
                                                                                     : spdlog::level::info;
            EXPECT_EQ(start.level, startLevel) << c.func;
        }
    }
    // Length and port-type checks of the register access.
    uint8_t buf[4];
    EXPECT_EQ(QX_ReadMemory(handle, buf, 0, 0, 0), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_WriteMemory(handle, buf, 0, -1, 0), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_ReadMemory(handle, buf, 0, 4, -2), QX_ERR_INVALID_PARAM);

    ASSERT_EQ(QX_DisconnectDevice(handle), QX_OK);
    ASSERT_EQ(QX_DeleteDevice(handle), QX_OK);
}

TEST(ExportChecks, StateChecksAfterTheLookupUseTheDeviceForm) {
    TestTransport transport;
    DeviceInfo info = makeGigeInfo("St", "S9", 1, 2);
    QX_DEV_HANDLE handle = nullptr;
    ASSERT_EQ(QX_CreateDevice(&handle, &info), QX_OK);
    struct StateCheck {
        const char* func;
        std::function<QX_STATUS()> call;
        QX_STATUS status;
    };
    bool b;
    int32_t i32;
    FrameInfo frame{};
    uint8_t buf[4];
    const std::vector<StateCheck> disconnected = {
        {"QX_GetFrame", [&] { return QX_GetFrame(handle, &frame, 0); }, QX_ERR_WRONG_STATE},
        {"QX_ReadMemory", [&] { return QX_ReadMemory(handle, buf, 0, 4, 0); }, QX_ERR_GENERAL},
        {"QX_XML_SetNodeMapPoll", [&] { return QX_XML_SetNodeMapPoll(handle, true, 10); }, QX_ERR_WRONG_STATE},
        {"QX_XML_GetNodeMapPoll", [&] { return QX_XML_GetNodeMapPoll(handle, &b, &i32); }, QX_ERR_GENERAL},
        {"QX_XML_GetGenICamXMLSize",
         [&] { return QX_XML_GetGenICamXMLSize(handle, reinterpret_cast<uint32_t*>(&i32)); }, QX_ERR_NOT_AVAILABLE},
    };
    for (const auto& c : disconnected) {
        LogCapture log;
        EXPECT_EQ(c.call(), c.status) << c.func;
        LogLine end{};
        ASSERT_TRUE(log.find(std::string("func:") + c.func + " end", &end)) << c.func;
        EXPECT_EQ(end.text.rfind(std::string("dev:St(S9), func:") + c.func + " end", 0), 0u) << end.text;
        EXPECT_EQ(end.level, spdlog::level::err) << c.func;
        EXPECT_NE(end.text.find(fmt::format("ret:0x{:x}", c.status)), std::string::npos) << end.text;
    }
    ASSERT_EQ(QX_DeleteDevice(handle), QX_OK);
}

} // namespace
