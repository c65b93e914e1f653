/* Compiles the public header as C and calls every export once, through the shared library,
 * with arguments each function must refuse cleanly. Exits non-zero on the first surprise. */
#include "QxCamApi.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

static void expect(const char* what, unsigned long got, unsigned long want) {
    if (got != want) {
        fprintf(stderr, "%s: got 0x%lx, want 0x%lx\n", what, got, want);
        ++failures;
    }
}

#define EXPECT(call, want) expect(#call, (unsigned long)(call), (unsigned long)(want))

static void onImage(const FrameInfo* frame, void* user) {
    (void)frame;
    (void)user;
}
static void onOffline(void* user) { (void)user; }
static void onNode(NodeInfo* node, void* user) {
    (void)node;
    (void)user;
}
static void onProgress(int64_t* progress, void* user) {
    (void)progress;
    (void)user;
}

int main(void) {
    QX_DEV_HANDLE h = (QX_DEV_HANDLE)(uintptr_t)0x1000; /* never registered */
    DeviceInfo info;
    FrameInfo frame;
    NodeInfoList tree;
    IntValueInfo iv;
    FloatValueInfo fv;
    EnumValueInfo ev;
    EnumStrValueInfo esv;
    StringValueInfo sv;
    ConvertParam cvt;
    SaveFileParam save;
    RecordParam rec;
    RecordFrameInfo recFrame;
    FileAccessParam file;
    uint32_t size = 0;
    int32_t i32 = 0;
    bool b = false;
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    char buf[16];

    memset(&info, 0, sizeof info);
    memset(&cvt, 0, sizeof cvt);
    memset(&save, 0, sizeof save);
    memset(&rec, 0, sizeof rec);
    memset(&recFrame, 0, sizeof recFrame);
    memset(&file, 0, sizeof file);

    EXPECT(QX_GetSdkVersion(), 0x02010000u);
    EXPECT(QX_EnumDevices(NULL, 1, 100), QX_ERR_INVALID_PARAM);
    QX_InterruptDevEnumerating();
    EXPECT(QX_CreateDevice(NULL, &info), QX_ERR_INVALID_PARAM);
    EXPECT(QX_CreateDevice(&h, &info), QX_ERR_INVALID_PARAM); /* nTLayerType 0 */
    EXPECT(QX_DeleteDevice(h), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_GetDeviceInfo(h, &info), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_ConnectDevice(h, 1), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_DisconnectDevice(h), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_GetConnectionStatus(h, &b), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_RegisterOfflineCallBack(h, onOffline, NULL), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_StartGrabbing(h), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_StopGrabbing(h), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_IsGrabbingStarted(h), false);
    EXPECT(QX_RegisterImageCallBack(h, onImage, NULL), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_GetFrame(h, &frame, 0), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_FreeFrame(h, &frame), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_ClearFrameBuffer(h), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_GetGenICamXMLSize(h, &size), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_GetGenICamXML(h, buf, sizeof buf), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_GetNodeTree(h, &tree), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_GetNodeAccessMode(h, "Width", &i32), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_GetNodeInterfaceType(h, "Width", &i32), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_GetIntValue(h, "Width", &iv), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_SetIntValue(h, "Width", 1), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_GetFloatValue(h, "Gain", &fv), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_SetFloatValue(h, "Gain", 1.0f), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_GetEnumValue(h, "PixelFormat", &ev), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_SetEnumValue(h, "PixelFormat", 1), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_GetEnumValueStr(h, "PixelFormat", &esv), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_SetEnumValueStr(h, "PixelFormat", "Mono8"), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_GetBoolValue(h, "ReverseX", &b), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_SetBoolValue(h, "ReverseX", true), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_GetStringValue(h, "DeviceModelName", &sv), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_SetStringValue(h, "DeviceUserID", "x"), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_ExecuteCommand(h, "AcquisitionStart"), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_RegisterNodeCallback(h, onNode, NULL), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_SetNodeMapPoll(h, true, 100), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_XML_GetNodeMapPoll(h, &b, &i32), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_ReadMemory(h, buf, 0, 4, 0), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_WriteMemory(h, buf, 0, 4, 0), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_GIGE_ForceIp(h, 0, 0, 0), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_GIGE_SetIpConfig(h, 5, 0, 0, 0), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_GIGE_SetPacketResend(h, true, 10, 100), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_GIGE_GetPacketResend(h, &b, &u8, &u16), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_GIGE_SetFilterDriver(h, false), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_GIGE_GetFilterDriver(h, &b), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_FileAccessRead(h, &file), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_FileAccessWrite(h, &file), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_RegisterFileAccessProgress(h, onProgress, NULL), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_ConvertPixelFormat(h, &cvt), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_SaveImageToFile(h, &save), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_StartRecord(h, &rec), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_RecordFrame(h, &recFrame), QX_ERR_INVALID_HANDLE);
    EXPECT(QX_StopRecord(h), QX_ERR_INVALID_HANDLE);

    if (failures == 0) printf("all 54 exports answered as expected\n");
    return failures == 0 ? 0 : 1;
}
