/* QxFirstSample: the shortest way through the SDK. Finds the cameras, connects the first one,
 * takes ten frames with QX_GetFrame, saves the first complete one as PNG and disconnects.
 *
 *   QxFirstSample [FILE.png]      exit status 0 on success, 1 on a failed call, 2 without camera
 */
#include "QxCamApi.h"

#include <stdio.h>

/* Prints the call when it failed; true when it succeeded. */
static bool ok(QX_STATUS status, const char* call) {
    if (status != QX_OK) printf("%s failed: 0x%08x\n", call, (unsigned)status);
    return status == QX_OK;
}

int main(int argc, char** argv) {
    static DeviceList list; /* filled with pointers to the library's records */
    const char* path = argc > 1 ? argv[1] : "first.png";
    QX_DEV_HANDLE handle = NULL;
    int frames = 0;
    bool saved = false;
    if (QX_EnumDevices(&list, 3, 500) != QX_OK || list.nDevNum == 0) {
        printf("No camera found; QxCamSdk-Log/rotating_log.txt names the adapters searched\n");
        return 2;
    }
    const DeviceInfo* camera = list.pDevInfo[0];
    printf("%u camera(s) found, connecting %s %s\n", list.nDevNum, camera->strModelName, camera->strSerialNumber);
    if (!ok(QX_CreateDevice(&handle, camera), "QX_CreateDevice")) return 1;
    if (ok(QX_ConnectDevice(handle, QX_ACCESS_EXCLUSIVE), "QX_ConnectDevice") &&
        ok(QX_StartGrabbing(handle), "QX_StartGrabbing")) {
        for (; frames < 10; ++frames) {
            FrameInfo frame;
            if (!ok(QX_GetFrame(handle, &frame, 5000), "QX_GetFrame")) break;
            if (!saved && frame.nLostPacket == 0) {
                SaveFileParam save = {0};
                save.enImageType = QX_IMAGE_PNG;
                save.nPixelFormat = frame.nPixelFormat;
                save.pData = frame.pData;
                save.nDataLen = frame.nDataLen;
                save.nWidth = (uint16_t)frame.nWidth;
                save.nHeight = (uint16_t)frame.nHeight;
                snprintf(save.pImagePath, sizeof save.pImagePath, "%s", path);
                saved = ok(QX_SaveImageToFile(handle, &save), "QX_SaveImageToFile");
            }
            QX_FreeFrame(handle, &frame); /* the pool has three buffers: give every frame back */
        }
        QX_StopGrabbing(handle);
    }
    printf("%d frames taken, %s %s\n", frames, saved ? "saved" : "nothing saved to", path);
    QX_DisconnectDevice(handle);
    QX_DeleteDevice(handle);
    return frames == 10 && saved ? 0 : 1;
}
