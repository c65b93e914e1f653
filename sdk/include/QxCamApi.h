/*
 * QxCamApi: the C interface of the camera SDK.
 *
 * Find cameras with QX_EnumDevices, make a handle with QX_CreateDevice, connect, read and write
 * GenICam features by node name, acquire images through an image callback or with
 * QX_GetFrame/QX_FreeFrame, and save, record or convert what arrives. Every function but
 * QX_GetSdkVersion, QX_InterruptDevEnumerating and QX_IsGrabbingStarted returns a status code
 * (QX_OK or one of the QX_ERR_ values below).
 *
 * Records are laid out with natural alignment for 64-bit targets; their sizes are part of the
 * interface and checked at compile time at the end of this file.
 */
#ifndef QX_CAM_API_H
#define QX_CAM_API_H

#include <stdint.h>
#include <stddef.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#define QX_API __declspec(dllexport)
#define QX_CALL __stdcall
#else
#define QX_API __attribute__((visibility("default")))
#define QX_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------ */
/* Status codes                                                                               */
/* ------------------------------------------------------------------------------------------ */

typedef uint32_t QX_STATUS;

#define QX_OK                          0x00000000u /* success */
#define QX_ERR_INVALID_HANDLE          0x80000000u /* the handle is not registered */
#define QX_ERR_INVALID_PARAM           0x80000001u /* null pointer, value out of range, bad record */
#define QX_ERR_WRONG_STATE             0x80000002u /* grabbing / not grabbing / connected / recording */
#define QX_ERR_NOT_SUPPORTED           0x80000003u /* not supported by this transport or format */
#define QX_ERR_NO_FREE_BUFFER          0x80000004u /* no free image in the recording pool */
#define QX_ERR_RESOURCE_EXHAUSTED      0x80000005u /* image buffers or camera numbers exhausted */
#define QX_ERR_TIMEOUT                 0x80000006u /* no frame within the timeout */
#define QX_ERR_NOT_AVAILABLE           0x80000007u /* not connected, or an image callback is set */
#define QX_ERR_BUFFER_TOO_SMALL        0x80000008u /* the caller's buffer is smaller than the data */
#define QX_ERR_GENERAL                 0x800000ffu /* general failure */
#define QX_ERR_GENICAM                 0x800001ffu /* a GenICam node access failed */
/* GigE Vision status classes, mapped from the GigE Vision library's own status. */
#define QX_ERR_GEV_NOT_IMPLEMENTED     0x80000200u /* device: command not implemented */
#define QX_ERR_GEV_INVALID_ADDRESS     0x80000201u /* device: address does not exist */
#define QX_ERR_GEV_WRITE_PROTECT       0x80000202u /* device: address is write-protected */
#define QX_ERR_GEV_ACCESS_DENIED       0x80000203u /* device: access denied */
#define QX_ERR_GEV_BUSY                0x80000204u /* camera busy, in use, or already connected */
#define QX_ERR_GEV_PACKET_UNAVAILABLE  0x80000205u /* a packet the camera no longer has */
#define QX_ERR_GEV_SUBNET_MISMATCH     0x80000206u /* camera and adapter on different subnets */
#define QX_ERR_GEV_SOCKET              0x80000207u /* socket failure */
#define QX_ERR_GEV_TIMEOUT             0x80000208u /* the camera did not answer in time */
#define QX_ERR_GEV_GENERAL             0x800002ffu /* any other GigE Vision failure */
#define QX_ERR_USB3                    0x800003ffu /* USB3 transport failure */

/* ------------------------------------------------------------------------------------------ */
/* Enumerations                                                                               */
/* ------------------------------------------------------------------------------------------ */

/* Transport of a device record (DeviceInfo.nTLayerType). */
typedef enum QX_TLAYER_TYPE {
    QX_TLAYER_GIGE = 1,
    QX_TLAYER_USB3 = 2
} QX_TLAYER_TYPE;

/* Access status of a device record (DeviceInfo.nAccessStatus). */
typedef enum QX_ACCESS_STATUS {
    QX_ACCESS_STATUS_UNAVAILABLE = 0,
    QX_ACCESS_STATUS_AVAILABLE = 1,
    QX_ACCESS_STATUS_OPEN_ONLY = 2, /* available for access mode 0 only */
    QX_ACCESS_STATUS_IN_USE = 3
} QX_ACCESS_STATUS;

/* Access mode of QX_ConnectDevice (enAccessMode). */
typedef enum QX_ACCESS_MODE {
    QX_ACCESS_OPEN = 0,      /* read only */
    QX_ACCESS_EXCLUSIVE = 1,
    QX_ACCESS_CONTROL = 2
} QX_ACCESS_MODE;

/* Port type carried with every register access. */
typedef enum _QX_PORT_DEVICE_TYPE_ {
    QX_PORT_DEVICE = 0,           /* "Device" */
    QX_PORT_CONNECTOR_DEVICE = 1  /* "ConnectorDevice" */
} QX_PORT_DEVICE_TYPE;

/* IP configuration kinds of QX_GIGE_SetIpConfig (enIpCfg). */
typedef enum QX_IP_CONFIG {
    QX_IP_CONFIG_STATIC = 5, /* persistent IP */
    QX_IP_CONFIG_DHCP = 6,
    QX_IP_CONFIG_LLA = 7     /* link-local only */
} QX_IP_CONFIG;

/* Image file types of QX_SaveImageToFile (SaveFileParam.enImageType). */
typedef enum EnImageType {
    QX_IMAGE_BMP = 1,
    QX_IMAGE_JPG = 2,
    QX_IMAGE_PNG = 3,
    QX_IMAGE_TIFF = 4,
    QX_IMAGE_RAW = 5
} EnImageType;

/* Recording formats of QX_StartRecord (RecordParam.enRecordFmtType). */
typedef enum EnRecordFmtType {
    QX_RECORD_AVI = 1, /* MJPEG in AVI files */
    QX_RECORD_RAW = 2
} EnRecordFmtType;

/* Node access modes as returned by QX_XML_GetNodeAccessMode. */
typedef enum QX_NODE_ACCESS_MODE {
    QX_NODE_ACCESS_NI = 0,
    QX_NODE_ACCESS_NA = 1,
    QX_NODE_ACCESS_WO = 2,
    QX_NODE_ACCESS_RO = 3,
    QX_NODE_ACCESS_RW = 4,
    QX_NODE_ACCESS_UNDEFINED = 5,
    QX_NODE_ACCESS_CYCLE_DETECT = 6
} QX_NODE_ACCESS_MODE;

/* Principal interface types as returned by QX_XML_GetNodeInterfaceType. */
typedef enum QX_NODE_INTERFACE_TYPE {
    QX_NODE_IVALUE = 0,
    QX_NODE_IBASE = 1,
    QX_NODE_IINTEGER = 2,
    QX_NODE_IBOOLEAN = 3,
    QX_NODE_ICOMMAND = 4,
    QX_NODE_IFLOAT = 5,
    QX_NODE_ISTRING = 6,
    QX_NODE_IREGISTER = 7,
    QX_NODE_ICATEGORY = 8,
    QX_NODE_IENUMERATION = 9,
    QX_NODE_IENUMENTRY = 10,
    QX_NODE_IPORT = 11,
    QX_NODE_IOTHER = 12
} QX_NODE_INTERFACE_TYPE;

/* Node visibility in NodeInfo.nVisibility. */
typedef enum QX_NODE_VISIBILITY {
    QX_NODE_BEGINNER = 0,
    QX_NODE_EXPERT = 1,
    QX_NODE_GURU = 2,
    QX_NODE_INVISIBLE = 3,
    QX_NODE_VISIBILITY_UNDEFINED = 99
} QX_NODE_VISIBILITY;

/* Integer representation in IntValueInfo.nRepresentation. */
typedef enum QX_INT_REPRESENTATION {
    QX_REPR_LINEAR = 0,
    QX_REPR_LOGARITHMIC = 1,
    QX_REPR_BOOLEAN = 2,
    QX_REPR_PURE_NUMBER = 3,
    QX_REPR_HEX_NUMBER = 4,
    QX_REPR_IPV4_ADDRESS = 5,
    QX_REPR_MAC_ADDRESS = 6,
    QX_REPR_UNDEFINED = 7
} QX_INT_REPRESENTATION;

/* Pixel formats (GenICam PFNC codes) the converter handles. */
#define QX_PIXEL_MONO8        0x01080001u
#define QX_PIXEL_MONO10       0x01100003u
#define QX_PIXEL_MONO12       0x01100005u
#define QX_PIXEL_MONO14       0x01100025u
#define QX_PIXEL_MONO16       0x01100007u
#define QX_PIXEL_MONO10PACKED 0x010C0004u
#define QX_PIXEL_MONO12PACKED 0x010C0006u

/* ------------------------------------------------------------------------------------------ */
/* Records                                                                                    */
/* ------------------------------------------------------------------------------------------ */

typedef void* QX_DEV_HANDLE;

#define QX_INFO_TEXT_LEN 64

/* GigE Vision part of a device record. Addresses and masks are in host byte order. */
typedef struct QX_GIGE_DEVICE_INFO {
    uint32_t nIP;
    uint32_t nSubNetMask;
    uint32_t nGateWay;
    uint8_t arrMacAddr[6];
    uint8_t reserved1[2];
    uint32_t nAdapterIP;
    uint32_t nAdapterMask;
    char strAdapterName[QX_INFO_TEXT_LEN];
    uint8_t arrAdapterMacAddr[6];
    uint8_t reserved2[186];
} QX_GIGE_DEVICE_INFO;

/* USB3 part of a device record. */
typedef struct QX_USB3_DEVICE_INFO {
    uint8_t reserved1[4];
    char strVendorName[QX_INFO_TEXT_LEN];
    char reserved2[QX_INFO_TEXT_LEN];
    uint8_t reserved3[4];
    uint32_t nDevIndex;
    char strDevicePath[144];
} QX_USB3_DEVICE_INFO;

/* One camera as found by enumeration (628 bytes, copied whole). */
typedef struct DeviceInfo {
    char strModelName[QX_INFO_TEXT_LEN];
    char strDeviceVersion[QX_INFO_TEXT_LEN];
    char strManufacturerName[QX_INFO_TEXT_LEN];
    char strSerialNumber[QX_INFO_TEXT_LEN];
    char strUserDefinedName[QX_INFO_TEXT_LEN];
    int32_t nTLayerType;   /* QX_TLAYER_TYPE */
    int32_t nAccessStatus; /* QX_ACCESS_STATUS */
    uint8_t reserved[16];
    union {
        QX_GIGE_DEVICE_INFO stGigeInfo;
        QX_USB3_DEVICE_INFO stUsb3Info;
    } u;
} DeviceInfo;

/* Capacity of a DeviceList: enumeration never writes more pointers than this. */
#define QX_MAX_DEVICE_NUM 256

/* Output of QX_EnumDevices. The records belong to the library and hold the devices of the
 * latest enumeration until the next QX_EnumDevices. */
typedef struct DeviceList {
    uint32_t nDevNum;
    uint32_t reserved;
    DeviceInfo* pDevInfo[QX_MAX_DEVICE_NUM];
} DeviceList;

/* One frame, handed to the image callback or filled by QX_GetFrame (96 bytes). */
typedef struct FrameInfo {
    uint32_t nPixelFormat;  /* PFNC code */
    uint32_t nWidth;
    uint32_t nHeight;
    uint32_t nDataLen;
    uint8_t* pData;         /* valid until the frame is given back */
    uint64_t nFrameIndex;
    float fFps;
    uint32_t nTransportWord1;
    uint32_t nTransportWord2;
    uint8_t reserved1[4];
    uint64_t nLostPacket;
    uint64_t nTransportWord3;
    uint64_t nTransportWord4;
    uint32_t nBitsPerPixel;
    uint8_t reserved2[20];
} FrameInfo;

/* One node of the feature tree (64 bytes). Texts belong to the library until the next
 * QX_XML_GetNodeTree on the same handle or its deletion. */
typedef struct NodeInfo {
    uint8_t isCategory;
    uint8_t reserved1[7];
    const char* strName;
    const char* strDisplayName;
    const char* strToolTip;     /* address text, then the tool tip */
    const char* strDescription; /* address text, then the description */
    int32_t nVisibility;        /* QX_NODE_VISIBILITY */
    int32_t nInterfaceType;     /* QX_NODE_INTERFACE_TYPE */
    int32_t nAccessMode;        /* QX_NODE_ACCESS_MODE */
    uint8_t isStreamable;
    uint8_t reserved2[11];
} NodeInfo;

/* The children of a category, and the output of QX_XML_GetNodeTree. */
typedef struct NodeInfoList {
    NodeInfo** ppNodes; /* null when there are none */
    int32_t nCount;
    int32_t reserved;
} NodeInfoList;

/* A category's record: its NodeInfo followed by its children (88 bytes). A NodeInfo with
 * isCategory set may be read as this record. */
typedef struct CategoryNodeInfo {
    NodeInfo stNode;
    NodeInfoList stChildren;
    uint8_t reserved[8];
} CategoryNodeInfo;

typedef struct IntValueInfo {
    int64_t nValue;
    int64_t nMax;
    int64_t nMin;
    int64_t nInc;
    int32_t nRepresentation; /* QX_INT_REPRESENTATION */
} IntValueInfo;

typedef struct FloatValueInfo {
    float fValue;
    float fMax;
    float fMin;
} FloatValueInfo;

#define QX_MAX_ENUM_ENTRIES 64
#define QX_ENUM_TEXT_LEN 64

typedef struct EnumValueInfo {
    int32_t nValue;
    int32_t nCount;
    int32_t arrValues[QX_MAX_ENUM_ENTRIES];
} EnumValueInfo;

typedef struct EnumStrValueInfo {
    char strValue[QX_ENUM_TEXT_LEN];
    int32_t nCount;
    char arrSymbolics[QX_MAX_ENUM_ENTRIES][QX_ENUM_TEXT_LEN];
} EnumStrValueInfo;

#define QX_STRING_VALUE_LEN 256

typedef struct StringValueInfo {
    char strValue[QX_STRING_VALUE_LEN];
    uint16_t nLength;
} StringValueInfo;

/* Argument of QX_ConvertPixelFormat. */
typedef struct ConvertParam {
    uint16_t nWidth;
    uint16_t nHeight;
    uint32_t enSrcPixelType;
    const uint8_t* pSrcData;
    uint32_t nSrcDataLen;
    uint32_t enDstPixelType;
    uint32_t nDstDataSize;
    uint8_t* pDstData;
    uint32_t nDstDataLen; /* out */
} ConvertParam;

#define QX_MAX_PATH_LEN 256

/* Argument of QX_SaveImageToFile. */
typedef struct SaveFileParam {
    uint32_t nPixelFormat;
    const uint8_t* pData;
    uint32_t nDataLen;
    uint16_t nWidth;
    uint16_t nHeight;
    int32_t enImageType; /* EnImageType */
    uint32_t nQuality;   /* JPEG quality, 50..100 */
    char pImagePath[QX_MAX_PATH_LEN];
    bool bRawHeaderEnabled;
} SaveFileParam;

/* Argument of QX_StartRecord (64 bytes). */
typedef struct RecordParam {
    uint32_t enPixelType;
    uint16_t nWidth;
    uint16_t nHeight;
    uint16_t nBpp;
    float fFrameRate;
    int32_t enRecordFmtType; /* EnRecordFmtType */
    const char* strFilePath;
    bool bRawHeaderEnabled;
    uint8_t reserved[31];
} RecordParam;

/* Argument of QX_RecordFrame (16 bytes). */
typedef struct RecordFrameInfo {
    const uint8_t* pData;
    uint32_t nDataLen;
} RecordFrameInfo;

/* Argument of QX_FileAccessWrite and QX_FileAccessRead. */
typedef struct FileAccessParam {
    const char* strLocalFilePath;
    const char* strDeviceFileName;
} FileAccessParam;

/* ------------------------------------------------------------------------------------------ */
/* Callbacks                                                                                  */
/* ------------------------------------------------------------------------------------------ */

typedef void (*QX_IMAGE_CALLBACK)(const FrameInfo* pFrameInfo, void* pUser);
typedef void (*QX_OFFLINE_CALLBACK)(void* pUser);
typedef void (*QX_NODE_UPDATED_CALLBACK)(NodeInfo* pNodeInfo, void* pUser);
typedef void (*QX_FILE_ACCESS_PROGRESS_CALLBACK)(int64_t* pProgress, void* pUser);

/* ------------------------------------------------------------------------------------------ */
/* Functions                                                                                  */
/* ------------------------------------------------------------------------------------------ */

/* Enumeration and handles */
QX_API QX_STATUS QX_CALL QX_EnumDevices(DeviceList* pstDevList, uint8_t tryTimes, uint16_t timeout);
QX_API void QX_CALL QX_InterruptDevEnumerating(void);
QX_API QX_STATUS QX_CALL QX_CreateDevice(QX_DEV_HANDLE* pHandle, const DeviceInfo* pstDevInfo);
QX_API QX_STATUS QX_CALL QX_DeleteDevice(QX_DEV_HANDLE handle);
QX_API QX_STATUS QX_CALL QX_GetDeviceInfo(QX_DEV_HANDLE handle, DeviceInfo* pstDevInfo);

/* Connection */
QX_API QX_STATUS QX_CALL QX_ConnectDevice(QX_DEV_HANDLE handle, int32_t enAccessMode);
QX_API QX_STATUS QX_CALL QX_DisconnectDevice(QX_DEV_HANDLE handle);
QX_API QX_STATUS QX_CALL QX_GetConnectionStatus(QX_DEV_HANDLE handle, bool* pbConnected);
QX_API QX_STATUS QX_CALL QX_RegisterOfflineCallBack(QX_DEV_HANDLE handle, QX_OFFLINE_CALLBACK func,
                                                    void* pUser);

/* Acquisition */
QX_API QX_STATUS QX_CALL QX_StartGrabbing(QX_DEV_HANDLE handle);
QX_API QX_STATUS QX_CALL QX_StopGrabbing(QX_DEV_HANDLE handle);
QX_API bool QX_CALL QX_IsGrabbingStarted(QX_DEV_HANDLE handle);
QX_API QX_STATUS QX_CALL QX_RegisterImageCallBack(QX_DEV_HANDLE handle, QX_IMAGE_CALLBACK func,
                                                  void* pUser);
QX_API QX_STATUS QX_CALL QX_GetFrame(QX_DEV_HANDLE handle, FrameInfo* pstFrameInfo, uint32_t timeout);
QX_API QX_STATUS QX_CALL QX_FreeFrame(QX_DEV_HANDLE handle, FrameInfo* pstFrameInfo);
QX_API QX_STATUS QX_CALL QX_ClearFrameBuffer(QX_DEV_HANDLE handle);

/* GenICam node access */
QX_API QX_STATUS QX_CALL QX_XML_GetGenICamXMLSize(QX_DEV_HANDLE handle, uint32_t* pnSize);
QX_API QX_STATUS QX_CALL QX_XML_GetGenICamXML(QX_DEV_HANDLE handle, char* pBuffer, uint32_t nDataSize);
QX_API QX_STATUS QX_CALL QX_XML_GetNodeTree(QX_DEV_HANDLE handle, NodeInfoList* pstNodeList);
QX_API QX_STATUS QX_CALL QX_XML_GetNodeAccessMode(QX_DEV_HANDLE handle, const char* Key,
                                                  int32_t* pnAccessMode);
QX_API QX_STATUS QX_CALL QX_XML_GetNodeInterfaceType(QX_DEV_HANDLE handle, const char* Key,
                                                     int32_t* pnInterfaceType);
QX_API QX_STATUS QX_CALL QX_XML_GetIntValue(QX_DEV_HANDLE handle, const char* Key, IntValueInfo* pstValue);
QX_API QX_STATUS QX_CALL QX_XML_SetIntValue(QX_DEV_HANDLE handle, const char* Key, int64_t nValue);
QX_API QX_STATUS QX_CALL QX_XML_GetFloatValue(QX_DEV_HANDLE handle, const char* Key,
                                              FloatValueInfo* pstValue);
QX_API QX_STATUS QX_CALL QX_XML_SetFloatValue(QX_DEV_HANDLE handle, const char* Key, float fValue);
QX_API QX_STATUS QX_CALL QX_XML_GetEnumValue(QX_DEV_HANDLE handle, const char* Key, EnumValueInfo* pstValue);
QX_API QX_STATUS QX_CALL QX_XML_SetEnumValue(QX_DEV_HANDLE handle, const char* Key, uint32_t nValue);
QX_API QX_STATUS QX_CALL QX_XML_GetEnumValueStr(QX_DEV_HANDLE handle, const char* Key,
                                                EnumStrValueInfo* pstValue);
QX_API QX_STATUS QX_CALL QX_XML_SetEnumValueStr(QX_DEV_HANDLE handle, const char* Key, const char* Value);
QX_API QX_STATUS QX_CALL QX_XML_GetBoolValue(QX_DEV_HANDLE handle, const char* Key, bool* pbValue);
QX_API QX_STATUS QX_CALL QX_XML_SetBoolValue(QX_DEV_HANDLE handle, const char* Key, bool bValue);
QX_API QX_STATUS QX_CALL QX_XML_GetStringValue(QX_DEV_HANDLE handle, const char* Key,
                                               StringValueInfo* pstValue);
QX_API QX_STATUS QX_CALL QX_XML_SetStringValue(QX_DEV_HANDLE handle, const char* Key, const char* Value);
QX_API QX_STATUS QX_CALL QX_XML_ExecuteCommand(QX_DEV_HANDLE handle, const char* Key);
QX_API QX_STATUS QX_CALL QX_XML_RegisterNodeCallback(QX_DEV_HANDLE handle,
                                                     QX_NODE_UPDATED_CALLBACK nodeUpdatedCb, void* pUser);
QX_API QX_STATUS QX_CALL QX_XML_SetNodeMapPoll(QX_DEV_HANDLE handle, bool enabled, uint32_t nInterval);
QX_API QX_STATUS QX_CALL QX_XML_GetNodeMapPoll(QX_DEV_HANDLE handle, bool* pbEnabled, int32_t* pnInterval);

/* Register access */
QX_API QX_STATUS QX_CALL QX_ReadMemory(QX_DEV_HANDLE handle, void* pBuffer, int64_t nAddress,
                                       int64_t nLength, int32_t enPortType);
QX_API QX_STATUS QX_CALL QX_WriteMemory(QX_DEV_HANDLE handle, void* pBuffer, int64_t nAddress,
                                        int64_t nLength, int32_t enPortType);

/* GigE settings */
QX_API QX_STATUS QX_CALL QX_GIGE_ForceIp(QX_DEV_HANDLE handle, uint32_t nIP, uint32_t nSubNetMask,
                                         uint32_t nGateWay);
QX_API QX_STATUS QX_CALL QX_GIGE_SetIpConfig(QX_DEV_HANDLE handle, int32_t enIpCfg, uint32_t nIP,
                                             uint32_t nSubNetMask, uint32_t nGateWay);
QX_API QX_STATUS QX_CALL QX_GIGE_SetPacketResend(QX_DEV_HANDLE handle, bool bEnable,
                                                 uint8_t nResendPercent, uint16_t nResendTimeout);
QX_API QX_STATUS QX_CALL QX_GIGE_GetPacketResend(QX_DEV_HANDLE handle, bool* bEnable,
                                                 uint8_t* nResendPercent, uint16_t* nResendTimeout);
QX_API QX_STATUS QX_CALL QX_GIGE_SetFilterDriver(QX_DEV_HANDLE handle, bool bEnable);
QX_API QX_STATUS QX_CALL QX_GIGE_GetFilterDriver(QX_DEV_HANDLE handle, bool* bEnable);

/* File access */
QX_API QX_STATUS QX_CALL QX_FileAccessRead(QX_DEV_HANDLE handle, FileAccessParam* pstParam);
QX_API QX_STATUS QX_CALL QX_FileAccessWrite(QX_DEV_HANDLE handle, FileAccessParam* pstParam);
QX_API QX_STATUS QX_CALL QX_RegisterFileAccessProgress(QX_DEV_HANDLE handle,
                                                       QX_FILE_ACCESS_PROGRESS_CALLBACK func, void* pUser);

/* Image output */
QX_API QX_STATUS QX_CALL QX_ConvertPixelFormat(QX_DEV_HANDLE handle, ConvertParam* pstCvtParam);
QX_API QX_STATUS QX_CALL QX_SaveImageToFile(QX_DEV_HANDLE handle, SaveFileParam* pstSaveFileParam);
QX_API QX_STATUS QX_CALL QX_StartRecord(QX_DEV_HANDLE handle, RecordParam* pstRecordParam);
QX_API QX_STATUS QX_CALL QX_RecordFrame(QX_DEV_HANDLE handle, RecordFrameInfo* pstRecordFrameInfo);
QX_API QX_STATUS QX_CALL QX_StopRecord(QX_DEV_HANDLE handle);

/* Version: 0x02010000 */
QX_API uint32_t QX_CALL QX_GetSdkVersion(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ------------------------------------------------------------------------------------------ */
/* Layout checks                                                                              */
/* ------------------------------------------------------------------------------------------ */

#ifdef __cplusplus
#define QX_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define QX_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
QX_STATIC_ASSERT(sizeof(DeviceInfo) == 628, "DeviceInfo is 628 bytes");
QX_STATIC_ASSERT(offsetof(DeviceInfo, nTLayerType) == 320, "DeviceInfo.nTLayerType at 320");
QX_STATIC_ASSERT(offsetof(DeviceInfo, u) == 344, "DeviceInfo transport part at 344");
QX_STATIC_ASSERT(offsetof(DeviceInfo, u.stGigeInfo.arrMacAddr) == 356, "arrMacAddr at 356");
QX_STATIC_ASSERT(offsetof(DeviceInfo, u.stGigeInfo.nAdapterIP) == 364, "nAdapterIP at 364");
QX_STATIC_ASSERT(offsetof(DeviceInfo, u.stGigeInfo.strAdapterName) == 372, "strAdapterName at 372");
QX_STATIC_ASSERT(offsetof(DeviceInfo, u.stGigeInfo.arrAdapterMacAddr) == 436, "arrAdapterMacAddr at 436");
QX_STATIC_ASSERT(offsetof(DeviceInfo, u.stUsb3Info.strVendorName) == 348, "strVendorName at 348");
QX_STATIC_ASSERT(offsetof(DeviceInfo, u.stUsb3Info.nDevIndex) == 480, "nDevIndex at 480");
QX_STATIC_ASSERT(offsetof(DeviceInfo, u.stUsb3Info.strDevicePath) == 484, "strDevicePath at 484");
QX_STATIC_ASSERT(offsetof(DeviceList, pDevInfo) == 8, "DeviceList pointers from byte 8");
QX_STATIC_ASSERT(sizeof(FrameInfo) == 96, "FrameInfo is 96 bytes");
QX_STATIC_ASSERT(offsetof(FrameInfo, pData) == 16, "FrameInfo.pData at 16");
QX_STATIC_ASSERT(offsetof(FrameInfo, nFrameIndex) == 24, "FrameInfo.nFrameIndex at 24");
QX_STATIC_ASSERT(offsetof(FrameInfo, fFps) == 32, "FrameInfo.fFps at 32");
QX_STATIC_ASSERT(offsetof(FrameInfo, nLostPacket) == 48, "FrameInfo.nLostPacket at 48");
QX_STATIC_ASSERT(offsetof(FrameInfo, nBitsPerPixel) == 72, "FrameInfo.nBitsPerPixel at 72");
QX_STATIC_ASSERT(sizeof(NodeInfo) == 64, "NodeInfo is 64 bytes");
QX_STATIC_ASSERT(offsetof(NodeInfo, strName) == 8, "NodeInfo.strName at 8");
QX_STATIC_ASSERT(offsetof(NodeInfo, nVisibility) == 40, "NodeInfo.nVisibility at 40");
QX_STATIC_ASSERT(offsetof(NodeInfo, isStreamable) == 52, "NodeInfo.isStreamable at 52");
QX_STATIC_ASSERT(sizeof(NodeInfoList) == 16, "NodeInfoList is 16 bytes");
QX_STATIC_ASSERT(sizeof(CategoryNodeInfo) == 88, "a category record is 88 bytes");
QX_STATIC_ASSERT(offsetof(CategoryNodeInfo, stChildren) == 64, "category children at 64");
QX_STATIC_ASSERT(offsetof(IntValueInfo, nRepresentation) == 32, "IntValueInfo.nRepresentation at 32");
QX_STATIC_ASSERT(sizeof(FloatValueInfo) == 12, "FloatValueInfo is 12 bytes");
QX_STATIC_ASSERT(offsetof(EnumValueInfo, arrValues) == 8, "EnumValueInfo entries from 8");
QX_STATIC_ASSERT(offsetof(EnumStrValueInfo, nCount) == 64, "EnumStrValueInfo.nCount at 64");
QX_STATIC_ASSERT(offsetof(EnumStrValueInfo, arrSymbolics) == 68, "EnumStrValueInfo entries from 68");
QX_STATIC_ASSERT(offsetof(StringValueInfo, nLength) == 256, "StringValueInfo.nLength at 256");
QX_STATIC_ASSERT(offsetof(ConvertParam, pSrcData) == 8, "ConvertParam.pSrcData at 8");
QX_STATIC_ASSERT(offsetof(ConvertParam, pDstData) == 32, "ConvertParam.pDstData at 32");
QX_STATIC_ASSERT(offsetof(ConvertParam, nDstDataLen) == 40, "ConvertParam.nDstDataLen at 40");
QX_STATIC_ASSERT(offsetof(SaveFileParam, pData) == 8, "SaveFileParam.pData at 8");
QX_STATIC_ASSERT(offsetof(SaveFileParam, pImagePath) == 32, "SaveFileParam.pImagePath at 32");
QX_STATIC_ASSERT(offsetof(SaveFileParam, bRawHeaderEnabled) == 288, "SaveFileParam.bRawHeaderEnabled at 288");
QX_STATIC_ASSERT(sizeof(RecordParam) == 64, "RecordParam is 64 bytes");
QX_STATIC_ASSERT(offsetof(RecordParam, fFrameRate) == 12, "RecordParam.fFrameRate at 12");
QX_STATIC_ASSERT(offsetof(RecordParam, strFilePath) == 24, "RecordParam.strFilePath at 24");
QX_STATIC_ASSERT(sizeof(RecordFrameInfo) == 16, "RecordFrameInfo is 16 bytes");
QX_STATIC_ASSERT(offsetof(FileAccessParam, strDeviceFileName) == 8, "FileAccessParam file name at 8");
#endif

#endif /* QX_CAM_API_H */
