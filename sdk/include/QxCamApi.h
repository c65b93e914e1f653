/**
 * @file QxCamApi.h
 * @brief QxCamApi: the C interface of the camera SDK.
 *
 * Find cameras with QX_EnumDevices(), make a handle with QX_CreateDevice(), connect, read and
 * write GenICam features by node name, acquire images through an image callback or with
 * QX_GetFrame() / QX_FreeFrame(), and save, record or convert what arrives. The order of use
 * on one handle is: create, connect, (register callbacks, start grabbing, take frames, stop
 * grabbing), disconnect, delete.
 *
 * @par Statuses
 * Every function but QX_GetSdkVersion(), QX_InterruptDevEnumerating() and
 * QX_IsGrabbingStarted() returns a status code: #QX_OK or one of the QX_ERR_ values. No
 * function throws. Checks that need no handle (null pointers, ranges) are made before the
 * handle is looked up, so a bad pointer is answered with #QX_ERR_INVALID_PARAM even for an
 * unregistered handle; QX_XML_GetNodeMapPoll() is the one function that looks the handle up
 * first. A handle that was never returned by QX_CreateDevice(), or was deleted, is answered
 * with #QX_ERR_INVALID_HANDLE and is never dereferenced. Any failure the library does not
 * classify is answered with #QX_ERR_GENERAL.
 *
 * @par Threads
 * Any thread may call any function. A function that takes a handle holds that handle's lock
 * from the moment it has found the handle until it returns, so calls on one handle are
 * serialised and calls on different handles run in parallel. A call that blocks while it holds
 * the lock (QX_GetFrame() up to its timeout, QX_StopGrabbing() until the transport has
 * stopped) holds up every other call on that handle, never a call on another handle.
 * QX_EnumDevices() and QX_CreateDevice() are serialised with each other. Callbacks are called
 * on threads of the library, without the handle's lock: the image callback on the camera's
 * image-callback thread, the node-updated callback on the node-event dispatch thread, the
 * offline callback on the thread that detects the loss, the file-access progress callback on
 * the thread that called QX_FileAccessWrite().
 *
 * @par GigE request time limits
 * Every request the library sends to a GigE camera ends in bounded time, however the camera or
 * the network behaves. A request waits for its acknowledge at most retries x answer time-out:
 * 3 x 200 ms (a GigE Vision 2 camera's own pending time-out in place of 200 ms, taken as at
 * most 1 s). A camera that asks for more time with PENDING_ACK gets at most 20 s more in all,
 * given again only once it has completed a request it delayed; an acknowledge that answers
 * another request never prolongs a wait. So a QX_ConnectDevice() to a camera that keeps
 * answering PENDING_ACK, or keeps sending stale acknowledges, ends within a minute, and a call
 * on the same handle from another thread (QX_DisconnectDevice() for instance) waits no longer.
 *
 * @par Texts and records
 * Text arguments are NUL-terminated 8-bit strings. The caller passes writable memory of the
 * documented size wherever a function writes. Records are laid out with natural alignment for
 * 64-bit targets; their sizes are part of the interface and checked at compile time at the end
 * of this file. Every call writes a start line and an end line (with its status) to the SDK's
 * log.
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
/** Marks a function the library exports. */
#define QX_API __attribute__((visibility("default")))
/** Calling convention of the exported functions (the platform's own outside Windows). */
#define QX_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------ */
/* Status codes                                                                               */
/* ------------------------------------------------------------------------------------------ */

/** Result of a function: #QX_OK, or a failure with bit 31 set. */
typedef uint32_t QX_STATUS;

#define QX_OK 0x00000000u                     /**< success */
#define QX_ERR_INVALID_HANDLE 0x80000000u     /**< the handle is not registered */
#define QX_ERR_INVALID_PARAM 0x80000001u      /**< null pointer, value out of range, bad record */
#define QX_ERR_WRONG_STATE 0x80000002u        /**< grabbing / not grabbing / connected / recording */
#define QX_ERR_NOT_SUPPORTED 0x80000003u      /**< not supported by this transport or format */
#define QX_ERR_NO_FREE_BUFFER 0x80000004u     /**< no free image in the recording pool */
#define QX_ERR_RESOURCE_EXHAUSTED 0x80000005u /**< image buffers or camera numbers exhausted */
#define QX_ERR_TIMEOUT 0x80000006u            /**< no frame within the timeout */
#define QX_ERR_NOT_AVAILABLE 0x80000007u      /**< not connected, or an image callback is set */
#define QX_ERR_BUFFER_TOO_SMALL 0x80000008u   /**< the caller's buffer is smaller than the data */
#define QX_ERR_GENERAL 0x800000ffu            /**< general failure */
#define QX_ERR_GENICAM 0x800001ffu            /**< a GenICam node access failed */
/* GigE Vision status classes, mapped from the GigE Vision library's own status. */
#define QX_ERR_GEV_NOT_IMPLEMENTED 0x80000200u    /**< device: command not implemented */
#define QX_ERR_GEV_INVALID_ADDRESS 0x80000201u    /**< device: address does not exist */
#define QX_ERR_GEV_WRITE_PROTECT 0x80000202u      /**< device: address is write-protected */
#define QX_ERR_GEV_ACCESS_DENIED 0x80000203u      /**< device: access denied */
#define QX_ERR_GEV_BUSY 0x80000204u               /**< camera busy, in use, or already connected */
#define QX_ERR_GEV_PACKET_UNAVAILABLE 0x80000205u /**< a packet the camera no longer has */
#define QX_ERR_GEV_SUBNET_MISMATCH 0x80000206u    /**< camera and adapter on different subnets */
#define QX_ERR_GEV_SOCKET 0x80000207u             /**< socket failure */
#define QX_ERR_GEV_TIMEOUT 0x80000208u            /**< the camera did not answer in time */
#define QX_ERR_GEV_GENERAL 0x800002ffu            /**< any other GigE Vision failure */
#define QX_ERR_USB3 0x800003ffu                   /**< USB3 transport failure */

/* ------------------------------------------------------------------------------------------ */
/* Enumerations                                                                               */
/* ------------------------------------------------------------------------------------------ */

/** Transport of a device record (DeviceInfo.nTLayerType). */
typedef enum QX_TLAYER_TYPE {
    QX_TLAYER_GIGE = 1, /**< GigE Vision */
    QX_TLAYER_USB3 = 2  /**< USB3 */
} QX_TLAYER_TYPE;

/** Access status of a device record (DeviceInfo.nAccessStatus). */
typedef enum QX_ACCESS_STATUS {
    QX_ACCESS_STATUS_UNAVAILABLE = 0, /**< cannot be connected */
    QX_ACCESS_STATUS_AVAILABLE = 1,   /**< available for every access mode */
    QX_ACCESS_STATUS_OPEN_ONLY = 2,   /**< available for access mode 0 only */
    QX_ACCESS_STATUS_IN_USE = 3       /**< in use (GigE: another controller; USB3: open here) */
} QX_ACCESS_STATUS;

/** Access mode of QX_ConnectDevice (enAccessMode). */
typedef enum QX_ACCESS_MODE {
    QX_ACCESS_OPEN = 0,      /**< read only */
    QX_ACCESS_EXCLUSIVE = 1, /**< exclusive control */
    QX_ACCESS_CONTROL = 2    /**< control, others may read */
} QX_ACCESS_MODE;

/** Port type carried with every register access. */
typedef enum _QX_PORT_DEVICE_TYPE_ {
    QX_PORT_DEVICE = 0,          /**< "Device" */
    QX_PORT_CONNECTOR_DEVICE = 1 /**< "ConnectorDevice" */
} QX_PORT_DEVICE_TYPE;

/** IP configuration kinds of QX_GIGE_SetIpConfig (enIpCfg). */
typedef enum QX_IP_CONFIG {
    QX_IP_CONFIG_STATIC = 5, /**< persistent IP */
    QX_IP_CONFIG_DHCP = 6,   /**< DHCP */
    QX_IP_CONFIG_LLA = 7     /**< link-local only */
} QX_IP_CONFIG;

/** Image file types of QX_SaveImageToFile (SaveFileParam.enImageType). */
typedef enum EnImageType {
    QX_IMAGE_BMP = 1,  /**< Windows bitmap */
    QX_IMAGE_JPG = 2,  /**< JPEG, with SaveFileParam.nQuality */
    QX_IMAGE_PNG = 3,  /**< PNG */
    QX_IMAGE_TIFF = 4, /**< TIFF */
    QX_IMAGE_RAW = 5   /**< the image's bytes as they are */
} EnImageType;

/** Recording formats of QX_StartRecord (RecordParam.enRecordFmtType). */
typedef enum EnRecordFmtType {
    QX_RECORD_AVI = 1, /**< MJPEG in AVI files */
    QX_RECORD_RAW = 2  /**< the frames' bytes */
} EnRecordFmtType;

/** Node access modes as returned by QX_XML_GetNodeAccessMode. */
typedef enum QX_NODE_ACCESS_MODE {
    QX_NODE_ACCESS_NI = 0,          /**< not implemented */
    QX_NODE_ACCESS_NA = 1,          /**< not available now */
    QX_NODE_ACCESS_WO = 2,          /**< write only */
    QX_NODE_ACCESS_RO = 3,          /**< read only */
    QX_NODE_ACCESS_RW = 4,          /**< read and write */
    QX_NODE_ACCESS_UNDEFINED = 5,   /**< not determined */
    QX_NODE_ACCESS_CYCLE_DETECT = 6 /**< met while the mode was being determined (a cycle) */
} QX_NODE_ACCESS_MODE;

/** Principal interface types as returned by QX_XML_GetNodeInterfaceType. */
typedef enum QX_NODE_INTERFACE_TYPE {
    QX_NODE_IVALUE = 0,       /**< a value without a more specific kind */
    QX_NODE_IBASE = 1,        /**< a node without a value */
    QX_NODE_IINTEGER = 2,     /**< integer */
    QX_NODE_IBOOLEAN = 3,     /**< boolean */
    QX_NODE_ICOMMAND = 4,     /**< command */
    QX_NODE_IFLOAT = 5,       /**< floating point */
    QX_NODE_ISTRING = 6,      /**< string */
    QX_NODE_IREGISTER = 7,    /**< raw register */
    QX_NODE_ICATEGORY = 8,    /**< category */
    QX_NODE_IENUMERATION = 9, /**< enumeration */
    QX_NODE_IENUMENTRY = 10,  /**< entry of an enumeration */
    QX_NODE_IPORT = 11,       /**< port */
    QX_NODE_IOTHER = 12       /**< any other kind */
} QX_NODE_INTERFACE_TYPE;

/** Node visibility in NodeInfo.nVisibility. */
typedef enum QX_NODE_VISIBILITY {
    QX_NODE_BEGINNER = 0,             /**< for every user */
    QX_NODE_EXPERT = 1,               /**< for expert users */
    QX_NODE_GURU = 2,                 /**< for users who know the camera well */
    QX_NODE_INVISIBLE = 3,            /**< not shown */
    QX_NODE_VISIBILITY_UNDEFINED = 99 /**< any other visibility */
} QX_NODE_VISIBILITY;

/** Integer representation in IntValueInfo.nRepresentation. */
typedef enum QX_INT_REPRESENTATION {
    QX_REPR_LINEAR = 0,       /**< a linear slider */
    QX_REPR_LOGARITHMIC = 1,  /**< a logarithmic slider */
    QX_REPR_BOOLEAN = 2,      /**< a check box */
    QX_REPR_PURE_NUMBER = 3,  /**< a decimal number */
    QX_REPR_HEX_NUMBER = 4,   /**< a hexadecimal number */
    QX_REPR_IPV4_ADDRESS = 5, /**< an IPv4 address */
    QX_REPR_MAC_ADDRESS = 6,  /**< a MAC address */
    QX_REPR_UNDEFINED = 7     /**< none given */
} QX_INT_REPRESENTATION;

/* Pixel formats (GenICam PFNC codes) the converter handles. */
#define QX_PIXEL_MONO8 0x01080001u        /**< 8 bits per pixel */
#define QX_PIXEL_MONO10 0x01100003u       /**< 10 bits in 16 */
#define QX_PIXEL_MONO12 0x01100005u       /**< 12 bits in 16 */
#define QX_PIXEL_MONO14 0x01100025u       /**< 14 bits in 16 */
#define QX_PIXEL_MONO16 0x01100007u       /**< 16 bits per pixel */
#define QX_PIXEL_MONO10PACKED 0x010C0004u /**< 10 bits, two pixels in three bytes */
#define QX_PIXEL_MONO12PACKED 0x010C0006u /**< 12 bits, two pixels in three bytes */

/* ------------------------------------------------------------------------------------------ */
/* Records                                                                                    */
/* ------------------------------------------------------------------------------------------ */

/** A camera handle: made by QX_CreateDevice, valid until QX_DeleteDevice. */
typedef void* QX_DEV_HANDLE;

/** Size of the text fields of a device record, terminator included. */
#define QX_INFO_TEXT_LEN 64

/** GigE Vision part of a device record. Addresses and masks are in host byte order. */
typedef struct QX_GIGE_DEVICE_INFO {
    uint32_t nIP;                          /**< camera's current IP address */
    uint32_t nSubNetMask;                  /**< camera's subnet mask */
    uint32_t nGateWay;                     /**< camera's default gateway */
    uint8_t arrMacAddr[6];                 /**< camera's MAC address, most significant byte first */
    uint8_t reserved1[2];                  /**< zero */
    uint32_t nAdapterIP;                   /**< address of the host adapter the camera answered on */
    uint32_t nAdapterMask;                 /**< subnet mask of that adapter */
    char strAdapterName[QX_INFO_TEXT_LEN]; /**< that adapter's name (64 characters leave no terminator) */
    uint8_t arrAdapterMacAddr[6];          /**< that adapter's MAC address */
    uint8_t reserved2[186];                /**< zero */
} QX_GIGE_DEVICE_INFO;

/** USB3 part of a device record. */
typedef struct QX_USB3_DEVICE_INFO {
    uint8_t reserved1[4];                 /**< zero */
    char strVendorName[QX_INFO_TEXT_LEN]; /**< vendor text */
    char reserved2[QX_INFO_TEXT_LEN];     /**< zero */
    uint8_t reserved3[4];                 /**< zero */
    uint32_t nDevIndex;                   /**< index in the USB3 device list of this enumeration */
    char strDevicePath[144];              /**< the device's interface path */
} QX_USB3_DEVICE_INFO;

/** One camera as found by enumeration (628 bytes, copied whole). */
typedef struct DeviceInfo {
    char strModelName[QX_INFO_TEXT_LEN];        /**< model name */
    char strDeviceVersion[QX_INFO_TEXT_LEN];    /**< device version (empty for USB3) */
    char strManufacturerName[QX_INFO_TEXT_LEN]; /**< manufacturer name */
    char strSerialNumber[QX_INFO_TEXT_LEN];     /**< serial number */
    char strUserDefinedName[QX_INFO_TEXT_LEN];  /**< user-defined name (empty for USB3) */
    int32_t nTLayerType;                        /**< QX_TLAYER_TYPE */
    int32_t nAccessStatus;                      /**< QX_ACCESS_STATUS */
    uint8_t reserved[16];                       /**< zero */
    /** Transport part, chosen by nTLayerType. */
    union {
        QX_GIGE_DEVICE_INFO stGigeInfo; /**< nTLayerType QX_TLAYER_GIGE */
        QX_USB3_DEVICE_INFO stUsb3Info; /**< nTLayerType QX_TLAYER_USB3 */
    } u;
} DeviceInfo;

/** Capacity of a DeviceList: enumeration never writes more pointers than this. */
#define QX_MAX_DEVICE_NUM 256

/** Output of QX_EnumDevices. The records belong to the library and hold the devices of the
 * latest enumeration until the next QX_EnumDevices. */
typedef struct DeviceList {
    uint32_t nDevNum;                        /**< number of pointers in pDevInfo */
    uint32_t reserved;                       /**< not written */
    DeviceInfo* pDevInfo[QX_MAX_DEVICE_NUM]; /**< the records, in the library's list order */
} DeviceList;

/** One frame, handed to the image callback or filled by QX_GetFrame (96 bytes). @c nDataLen is
 * the frame's real size, which QX_ConvertPixelFormat, QX_SaveImageToFile and QX_RecordFrame take
 * as it is: GigE, the camera's PayloadSize (for #QX_PIXEL_MONO10PACKED and #QX_PIXEL_MONO12PACKED
 * 1.5 bytes per pixel); USB3, width x height x the whole bytes of a pixel of the format reported
 * (a USB3 camera's frames are never packed: 10 and 12 bits come as Mono10 and Mono12). */
typedef struct FrameInfo {
    uint32_t nPixelFormat;    /**< PFNC code */
    uint32_t nWidth;          /**< width in pixels */
    uint32_t nHeight;         /**< height in pixels */
    uint32_t nDataLen;        /**< bytes at pData */
    uint8_t* pData;           /**< valid until the frame is given back */
    uint64_t nFrameIndex;     /**< GigE: the block id; USB3: frames delivered before this one */
    float fFps;               /**< the transport's current frame-rate estimate */
    uint32_t nTransportWord1; /**< GigE: horizontal offset of the image */
    uint32_t nTransportWord2; /**< GigE: vertical offset of the image */
    uint8_t reserved1[4];     /**< zero */
    uint64_t nLostPacket;     /**< packets missing from this frame (USB3: 0) */
    uint64_t nTransportWord3; /**< GigE: packets asked for again */
    uint64_t nTransportWord4; /**< GigE: packets received again */
    uint32_t nBitsPerPixel;   /**< bits per pixel of the data */
    uint8_t reserved2[20];    /**< zero */
} FrameInfo;

/** One node of the feature tree (64 bytes). Texts belong to the library until the next
 * QX_XML_GetNodeTree on the same handle or its deletion. */
typedef struct NodeInfo {
    uint8_t isCategory;         /**< 1: a category, readable as a CategoryNodeInfo */
    uint8_t reserved1[7];       /**< zero */
    const char* strName;        /**< node name */
    const char* strDisplayName; /**< display name */
    const char* strToolTip;     /**< address text, then the tool tip */
    const char* strDescription; /**< address text, then the description */
    int32_t nVisibility;        /**< QX_NODE_VISIBILITY */
    int32_t nInterfaceType;     /**< QX_NODE_INTERFACE_TYPE */
    int32_t nAccessMode;        /**< QX_NODE_ACCESS_MODE */
    uint8_t isStreamable;       /**< 1: the node may be saved and restored */
    uint8_t reserved2[11];      /**< zero */
} NodeInfo;

/** The children of a category, and the output of QX_XML_GetNodeTree. */
typedef struct NodeInfoList {
    NodeInfo** ppNodes; /**< null when there are none */
    int32_t nCount;     /**< number of records at ppNodes */
    int32_t reserved;   /**< zero */
} NodeInfoList;

/** A category's record: its NodeInfo followed by its children (88 bytes). A NodeInfo with
 * isCategory set may be read as this record. */
typedef struct CategoryNodeInfo {
    NodeInfo stNode;         /**< the category itself */
    NodeInfoList stChildren; /**< its features and sub-categories */
    uint8_t reserved[8];     /**< zero */
} CategoryNodeInfo;

/** Output of QX_XML_GetIntValue. */
typedef struct IntValueInfo {
    int64_t nValue;          /**< current value */
    int64_t nMax;            /**< largest value */
    int64_t nMin;            /**< smallest value */
    int64_t nInc;            /**< step between valid values */
    int32_t nRepresentation; /**< QX_INT_REPRESENTATION */
} IntValueInfo;

/** Output of QX_XML_GetFloatValue. */
typedef struct FloatValueInfo {
    float fValue; /**< current value */
    float fMax;   /**< largest value */
    float fMin;   /**< smallest value */
} FloatValueInfo;

/** Most entries an enumeration record lists. */
#define QX_MAX_ENUM_ENTRIES 64
/** Size of an entry name in EnumStrValueInfo, terminator included. */
#define QX_ENUM_TEXT_LEN 64

/** Output of QX_XML_GetEnumValue. */
typedef struct EnumValueInfo {
    int32_t nValue;                         /**< current value */
    int32_t nCount;                         /**< entries in arrValues */
    int32_t arrValues[QX_MAX_ENUM_ENTRIES]; /**< values of the readable entries */
} EnumValueInfo;

/** Output of QX_XML_GetEnumValueStr. */
typedef struct EnumStrValueInfo {
    char strValue[QX_ENUM_TEXT_LEN];                          /**< name of the current entry */
    int32_t nCount;                                           /**< names in arrSymbolics */
    char arrSymbolics[QX_MAX_ENUM_ENTRIES][QX_ENUM_TEXT_LEN]; /**< names of the readable entries */
} EnumStrValueInfo;

/** Size of the text of a StringValueInfo, terminator included. */
#define QX_STRING_VALUE_LEN 256

/** Output of QX_XML_GetStringValue. */
typedef struct StringValueInfo {
    char strValue[QX_STRING_VALUE_LEN]; /**< the text, terminated */
    uint16_t nLength;                   /**< characters in strValue */
} StringValueInfo;

/** Argument of QX_ConvertPixelFormat. */
typedef struct ConvertParam {
    uint16_t nWidth;         /**< width in pixels */
    uint16_t nHeight;        /**< height in pixels */
    uint32_t enSrcPixelType; /**< source pixel format (QX_PIXEL_) */
    const uint8_t* pSrcData; /**< source image */
    uint32_t nSrcDataLen;    /**< bytes at pSrcData */
    uint32_t enDstPixelType; /**< QX_PIXEL_MONO8 or QX_PIXEL_MONO16 */
    uint32_t nDstDataSize;   /**< bytes available at pDstData */
    uint8_t* pDstData;       /**< destination buffer */
    uint32_t nDstDataLen;    /**< out */
} ConvertParam;

/** Size of the path of a SaveFileParam, terminator included; also the longest recording path. */
#define QX_MAX_PATH_LEN 256

/** Argument of QX_SaveImageToFile. */
typedef struct SaveFileParam {
    uint32_t nPixelFormat;            /**< pixel format of pData (QX_PIXEL_) */
    const uint8_t* pData;             /**< the image */
    uint32_t nDataLen;                /**< bytes at pData */
    uint16_t nWidth;                  /**< width in pixels */
    uint16_t nHeight;                 /**< height in pixels */
    int32_t enImageType;              /**< EnImageType */
    uint32_t nQuality;                /**< JPEG quality, 50..100 */
    char pImagePath[QX_MAX_PATH_LEN]; /**< path of the file, terminated */
    bool bRawHeaderEnabled;           /**< QX_IMAGE_RAW: write a header before the bytes */
} SaveFileParam;

/** Argument of QX_StartRecord (64 bytes). */
typedef struct RecordParam {
    uint32_t enPixelType;    /**< pixel format of the frames (QX_PIXEL_) */
    uint16_t nWidth;         /**< width in pixels */
    uint16_t nHeight;        /**< height in pixels */
    uint16_t nBpp;           /**< bits per pixel */
    float fFrameRate;        /**< frames per second written into the files (AVI: 0.001 to 1000000) */
    int32_t enRecordFmtType; /**< EnRecordFmtType */
    const char* strFilePath; /**< path the file names are made from */
    bool bRawHeaderEnabled;  /**< QX_RECORD_RAW: start the file with a header */
    uint8_t reserved[31];    /**< zero */
} RecordParam;

/** Argument of QX_RecordFrame (16 bytes). */
typedef struct RecordFrameInfo {
    const uint8_t* pData; /**< the frame */
    uint32_t nDataLen;    /**< bytes at pData */
} RecordFrameInfo;

/** Argument of QX_FileAccessWrite and QX_FileAccessRead. */
typedef struct FileAccessParam {
    const char* strLocalFilePath;  /**< path of the file on the host */
    const char* strDeviceFileName; /**< name of the file on the camera */
} FileAccessParam;

/* ------------------------------------------------------------------------------------------ */
/* Callbacks                                                                                  */
/* ------------------------------------------------------------------------------------------ */

/** Receives a frame on the camera's image-callback thread (QX_RegisterImageCallBack); the frame
 * is valid only during the call. */
typedef void (*QX_IMAGE_CALLBACK)(const FrameInfo* pFrameInfo, void* pUser);
/** Told once that the camera is lost (QX_RegisterOfflineCallBack). */
typedef void (*QX_OFFLINE_CALLBACK)(void* pUser);
/** Receives the record of a feature that changed (QX_XML_RegisterNodeCallback). */
typedef void (*QX_NODE_UPDATED_CALLBACK)(NodeInfo* pNodeInfo, void* pUser);
/** Receives the bytes of a file transfer sent so far (QX_RegisterFileAccessProgress). */
typedef void (*QX_FILE_ACCESS_PROGRESS_CALLBACK)(int64_t* pProgress, void* pUser);

/* ------------------------------------------------------------------------------------------ */
/* Functions                                                                                  */
/* ------------------------------------------------------------------------------------------ */

/* Enumeration and handles */
/**
 * @brief Finds the cameras of both transports and lists them.
 *
 * Runs GigE Vision discovery @p tryTimes times and keeps the last of the attempts that found the
 * most cameras (attempts are never combined), then lists the USB3 cameras, and merges the result
 * into the library's list of devices: a camera found again keeps its record (refreshed) and its
 * place, a camera no longer found is removed, a new one is appended. The records belong to the
 * library: they stay readable until it unloads and describe the devices of the latest enumeration
 * until the next QX_EnumDevices(). At most #QX_MAX_DEVICE_NUM pointers are written.
 *
 * @param[out] pstDevList Receives the number of cameras and a pointer to each record.
 * @param tryTimes Number of GigE Vision discovery attempts, 1 or more.
 * @param timeout Time each discovery attempt waits for answers, in milliseconds, 1 or more. All
 *  network adapters are searched at once; the access checks of the cameras found then take at
 *  most 1.4 s more per attempt, however many answered.
 * @retval QX_OK The enumeration ran; @c nDevNum may be 0 (a discovery that fails finds nothing).
 * @retval QX_ERR_INVALID_PARAM @p pstDevList is null, or @p tryTimes or @p timeout is 0.
 * @retval QX_ERR_GENERAL The library's device registry could not be set up.
 * @par Threads
 *  Any thread. Serialised with other enumerations and with QX_CreateDevice().
 *  QX_InterruptDevEnumerating() from another thread ends it early.
 */
QX_API QX_STATUS QX_CALL QX_EnumDevices(DeviceList* pstDevList, uint8_t tryTimes, uint16_t timeout);

/**
 * @brief Ends a running enumeration early.
 *
 * The QX_EnumDevices() that runs ends the discovery attempt in progress within about a second,
 * makes no further attempt and skips the USB3 step; its list then holds the GigE cameras of the
 * attempts completed before (the attempt cut short counts for nothing). A call while no
 * enumeration runs has no effect on the next one.
 * @par Threads
 *  Any thread; takes no lock, meant to be called while another thread enumerates.
 */
QX_API void QX_CALL QX_InterruptDevEnumerating(void);

/**
 * @brief Makes a handle for the camera of a device record.
 *
 * Copies the record into the new handle and makes the camera object of its transport; nothing is
 * sent to the camera. The handle is valid until QX_DeleteDevice().
 * @param[out] pHandle Receives the new handle.
 * @param[in] pstDevInfo A record from QX_EnumDevices(); its @c nTLayerType must be #QX_TLAYER_GIGE
 *  or #QX_TLAYER_USB3.
 * @retval QX_OK The handle was made.
 * @retval QX_ERR_INVALID_PARAM A null pointer, or an @c nTLayerType that is neither GigE nor USB3.
 * @retval QX_ERR_GENERAL The camera object could not be made.
 * @par Threads
 *  Any thread. Waits while an enumeration runs (and an enumeration waits for it).
 */
QX_API QX_STATUS QX_CALL QX_CreateDevice(QX_DEV_HANDLE* pHandle, const DeviceInfo* pstDevInfo);

/**
 * @brief Deletes a handle and its camera object.
 *
 * The camera must be disconnected first. A call still running on the handle is waited for; after a
 * successful deletion the handle is invalid (a later QX_CreateDevice() may return the same value).
 * @param handle Handle from QX_CreateDevice().
 * @retval QX_OK The handle is deleted.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_WRONG_STATE The camera is connected; the handle stays valid.
 * @par Threads
 *  Any thread. Waits for a call running on this handle; the camera object is then destroyed (its
 *  threads joined) without a lock of the registry held, so calls on other handles go on.
 */
QX_API QX_STATUS QX_CALL QX_DeleteDevice(QX_DEV_HANDLE handle);

/**
 * @brief Copies the device record of a handle.
 *
 * The copy is the one made by QX_CreateDevice() (names, addresses and access status as they were
 * then).
 * @param handle Handle from QX_CreateDevice().
 * @param[out] pstDevInfo Receives the 628-byte record; not written when the handle is not
 *  registered.
 * @retval QX_OK The record was copied.
 * @retval QX_ERR_INVALID_PARAM @p pstDevInfo is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @par Threads
 *  Any thread. Does not take the handle's lock: it does not wait for a call running on the handle.
 */
QX_API QX_STATUS QX_CALL QX_GetDeviceInfo(QX_DEV_HANDLE handle, DeviceInfo* pstDevInfo);

/* Connection */
/**
 * @brief Connects to the camera and builds its GenICam node map.
 *
 * GigE: opens the camera's control channel with the access mode and reads its description file.
 * USB3: opens the device and its register channel. Then the node map is built from the description.
 * When the node map cannot be built the camera stays connected and the status says why: disconnect
 * it with QX_DisconnectDevice().
 * @param handle Handle from QX_CreateDevice().
 * @param enAccessMode A #QX_ACCESS_MODE: 0 open (read only), 1 exclusive, 2 control. A USB3 camera
 *  accepts 1 only; a record with access status #QX_ACCESS_STATUS_OPEN_ONLY accepts 0 only.
 * @retval QX_OK Connected, node map built.
 * @retval QX_ERR_INVALID_PARAM @p enAccessMode is not 0, 1 or 2, the record's access status is
 *  unavailable or in use, or the mode is one the record or the transport does not allow.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GEV_BUSY Already connected, or the camera is in use (a USB3 camera open in this
 *  process, a GigE camera another host controls).
 * @retval QX_ERR_RESOURCE_EXHAUSTED GigE: no free camera number in the library.
 * @retval QX_ERR_USB3 USB3: the device could not be opened.
 * @retval QX_ERR_GENICAM The description could not be loaded into a node map (the camera stays
 *  connected).
 * @retval other A QX_ERR_GEV_ status of a failed GigE connection step (for example
 *  #QX_ERR_GEV_TIMEOUT).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle. A GigE connect ends within the
 *  request time limits above: within a minute for a camera that never completes a request.
 */
QX_API QX_STATUS QX_CALL QX_ConnectDevice(QX_DEV_HANDLE handle, int32_t enAccessMode);

/**
 * @brief Disconnects the camera.
 *
 * Turns node-map polling off, stops grabbing if the camera grabs, and closes the connection. A
 * camera that is not connected is left as it is. The node map stays until the next connection.
 * @param handle Handle from QX_CreateDevice().
 * @retval QX_OK Disconnected (or was not connected).
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle. Waits for the camera's acquisition,
 *  image-callback and node-event threads to end: call it from an application thread, not from a
 *  callback of the same camera.
 */
QX_API QX_STATUS QX_CALL QX_DisconnectDevice(QX_DEV_HANDLE handle);

/**
 * @brief Tells whether the camera is connected.
 *
 * The flag is set by a successful QX_ConnectDevice() and cleared by QX_DisconnectDevice(); a camera
 * found offline stays connected until it is disconnected (the offline callback reports the loss).
 * @param handle Handle from QX_CreateDevice().
 * @param[out] pbConnected Receives true while the camera is connected.
 * @retval QX_OK The flag was stored.
 * @retval QX_ERR_INVALID_PARAM @p pbConnected is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_GetConnectionStatus(QX_DEV_HANDLE handle, bool* pbConnected);

/**
 * @brief Sets the callback told when the camera is lost.
 *
 * The callback is called once, when the library first finds the camera gone (GigE: the control
 * channel no longer answers, or the camera answers again without this connection's privilege
 * while grabbing, as a camera that restarted does; USB3: the device is removed). It replaces any
 * earlier one; null removes it.
 * @param handle Handle from QX_CreateDevice().
 * @param func The callback, or null.
 * @param pUser Handed back to the callback unchanged.
 * @retval QX_OK The callback is set.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle. The callback runs on the library
 *  thread that detected the loss, without the handle's lock.
 */
QX_API QX_STATUS QX_CALL QX_RegisterOfflineCallBack(QX_DEV_HANDLE handle, QX_OFFLINE_CALLBACK func, void* pUser);

/* Acquisition */
/**
 * @brief Starts acquisition.
 *
 * Sizes the frame pool from the camera's payload, clears the frame queue, starts the stream and the
 * acquisition thread and, when an image callback is registered, the image-callback thread; then
 * sets the node "TLParamsLocked" to 1 (its failure is ignored). A camera that already grabs is left
 * as it is and the answer is #QX_OK.
 * @param handle Handle from QX_CreateDevice().
 * @retval QX_OK Grabbing.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_NOT_AVAILABLE GigE: the camera is not connected.
 * @retval QX_ERR_GENICAM A node the start needs (payload size, width, height) could not be read;
 *  also a USB3 camera that is not connected.
 * @retval QX_ERR_RESOURCE_EXHAUSTED The frame buffers could not be allocated.
 * @retval QX_ERR_GENERAL The payload size the camera reports is unusable.
 * @retval QX_ERR_USB3 USB3: the stream could not be started.
 * @retval other A QX_ERR_GEV_ status of a failed GigE stream set-up.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_StartGrabbing(QX_DEV_HANDLE handle);

/**
 * @brief Stops acquisition.
 *
 * Stops the camera's stream, ends the acquisition and image-callback threads and, when the camera
 * is still connected, sets the node "TLParamsLocked" to 0 (its failure is ignored). After stopping
 * it waits 160 ms, outside the handle's lock, before it returns. A camera that does not grab:
 * #QX_OK at once.
 * @param handle Handle from QX_CreateDevice().
 * @retval QX_OK Stopped (or was not grabbing).
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_USB3 USB3: the stream could not be stopped.
 * @retval other GigE: the QX_ERR_GEV_ status of a refused stop, or the status of the
 *  "AcquisitionStop" command that failed.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle, whose lock it holds until the
 *  transport has stopped.
 */
QX_API QX_STATUS QX_CALL QX_StopGrabbing(QX_DEV_HANDLE handle);

/**
 * @brief Tells whether the camera grabs.
 * @param handle Handle from QX_CreateDevice().
 * @return True between a successful QX_StartGrabbing() and QX_StopGrabbing(); false also for a
 *  handle that is not registered.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API bool QX_CALL QX_IsGrabbingStarted(QX_DEV_HANDLE handle);

/**
 * @brief Sets the callback that receives the frames.
 *
 * While a callback is registered, QX_StartGrabbing() starts an image-callback thread that hands it
 * each frame, and QX_GetFrame() is refused. The frame and its data are valid only during the call:
 * the buffer goes back to the pool when the callback returns (no QX_FreeFrame()). The callback
 * replaces any earlier one; null removes it. Only while the camera does not grab.
 * @param handle Handle from QX_CreateDevice().
 * @param func The callback, or null.
 * @param pUser Handed back to the callback unchanged.
 * @retval QX_OK The callback is set.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_WRONG_STATE The camera grabs.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle. The callback runs on the camera's
 *  image-callback thread, with no lock of the library held.
 */
QX_API QX_STATUS QX_CALL QX_RegisterImageCallBack(QX_DEV_HANDLE handle, QX_IMAGE_CALLBACK func, void* pUser);

/**
 * @brief Takes the oldest received frame, waiting for one if none is queued.
 *
 * The frame's data stays valid until the frame is given back with QX_FreeFrame(). The pool holds
 * three buffers: give every frame back, or the transport runs out of buffers.
 * @param handle Handle from QX_CreateDevice().
 * @param[out] pstFrameInfo Receives the frame's 96-byte record.
 * @param timeout Longest wait in milliseconds; 0 does not wait.
 * @retval QX_OK A frame was taken.
 * @retval QX_ERR_INVALID_PARAM @p pstFrameInfo is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_WRONG_STATE The camera does not grab.
 * @retval QX_ERR_NOT_AVAILABLE An image callback is registered.
 * @retval QX_ERR_TIMEOUT No frame within @p timeout.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle. It waits while holding the handle's
 *  lock, so every other call on this handle (QX_StopGrabbing() too) waits for it.
 */
QX_API QX_STATUS QX_CALL QX_GetFrame(QX_DEV_HANDLE handle, FrameInfo* pstFrameInfo, uint32_t timeout);

/**
 * @brief Gives a frame taken with QX_GetFrame() back to the pool.
 *
 * The frame is found by its data pointer.
 * @param handle Handle from QX_CreateDevice().
 * @param[in] pstFrameInfo The record QX_GetFrame() filled.
 * @retval QX_OK The buffer is free again.
 * @retval QX_ERR_INVALID_PARAM @p pstFrameInfo is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENERAL The data pointer is not that of a frame the application holds (unknown, or
 *  given back already).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_FreeFrame(QX_DEV_HANDLE handle, FrameInfo* pstFrameInfo);

/**
 * @brief Drops the frames that are queued and not yet taken.
 *
 * Frames the application holds stay valid.
 * @param handle Handle from QX_CreateDevice().
 * @retval QX_OK The queue is empty.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_ClearFrameBuffer(QX_DEV_HANDLE handle);

/* GenICam node access */
/**
 * @brief Tells the size of the buffer QX_XML_GetGenICamXML() needs.
 *
 * The size covers the camera's description text and a zero tail after it.
 * @param handle Handle from QX_CreateDevice().
 * @param[out] pnSize Receives the size in bytes.
 * @retval QX_OK The size was stored.
 * @retval QX_ERR_INVALID_PARAM @p pnSize is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_NOT_AVAILABLE The camera is not connected.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_GetGenICamXMLSize(QX_DEV_HANDLE handle, uint32_t* pnSize);

/**
 * @brief Copies the camera's GenICam description file.
 *
 * Copies QX_XML_GetGenICamXMLSize() bytes: the text, ended by a zero byte, and its zero tail.
 * @param handle Handle from QX_CreateDevice().
 * @param[out] pBuffer Receives the text.
 * @param nDataSize Size of @p pBuffer in bytes.
 * @retval QX_OK The text was copied.
 * @retval QX_ERR_INVALID_PARAM @p pBuffer is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_NOT_AVAILABLE The camera is not connected.
 * @retval QX_ERR_BUFFER_TOO_SMALL @p nDataSize is smaller than QX_XML_GetGenICamXMLSize().
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_GetGenICamXML(QX_DEV_HANDLE handle, char* pBuffer, uint32_t nDataSize);

/**
 * @brief Describes the categories and features below the node "Root".
 *
 * Fills @p pstNodeList with the records of the children of "Root"; a record with @c isCategory set
 * is a #CategoryNodeInfo with its own children. The records and their texts belong to the library
 * until the next QX_XML_GetNodeTree() on this handle or its deletion. Building the tree also makes
 * its feature nodes report changes to the node-updated callback (QX_XML_RegisterNodeCallback()).
 * @param handle Handle from QX_CreateDevice().
 * @param[out] pstNodeList Receives the children of "Root"; left empty when the tree cannot be
 *  built.
 * @retval QX_OK The tree was built.
 * @retval QX_ERR_INVALID_PARAM @p pstNodeList is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node map, no "Root" category, or a node could not be described.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_GetNodeTree(QX_DEV_HANDLE handle, NodeInfoList* pstNodeList);

/**
 * @brief Tells a node's access mode as it is now.
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @param[out] pnAccessMode Receives a #QX_NODE_ACCESS_MODE.
 * @retval QX_OK The mode was stored.
 * @retval QX_ERR_INVALID_PARAM @p Key or @p pnAccessMode is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, or no node map.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_GetNodeAccessMode(QX_DEV_HANDLE handle, const char* Key, int32_t* pnAccessMode);

/**
 * @brief Tells a node's principal interface type (integer, float, enumeration, ...).
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @param[out] pnInterfaceType Receives a #QX_NODE_INTERFACE_TYPE.
 * @retval QX_OK The type was stored.
 * @retval QX_ERR_INVALID_PARAM @p Key or @p pnInterfaceType is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, or no node map.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_GetNodeInterfaceType(QX_DEV_HANDLE handle, const char* Key, int32_t* pnInterfaceType);

/**
 * @brief Reads an integer node with its bounds.
 *
 * Fills the value, maximum, minimum, increment and representation.
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @param[out] pstValue Receives the value and its bounds.
 * @retval QX_OK The value was read.
 * @retval QX_ERR_INVALID_PARAM @p Key or the output pointer is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, a node of another kind, a node that cannot be read
 *  now, or no node map (the camera was never connected, or its description could not be loaded).
 * @retval other The status of a register access that failed on the way: a QX_ERR_GEV_ status,
 *  #QX_ERR_NOT_AVAILABLE (a GigE camera that is not connected), #QX_ERR_USB3, or #QX_ERR_GENERAL (a
 *  camera found offline).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_GetIntValue(QX_DEV_HANDLE handle, const char* Key, IntValueInfo* pstValue);

/**
 * @brief Writes an integer node.
 *
 * On a GigE camera, a successful write of a node whose name begins with "GevHeartbeatTimeout" also
 * sets the library's heartbeat to the new timeout. The value is checked as the node defines it
 * (access mode, range, increment, entries) before any register is written. The node-updated
 * callbacks of the nodes the write changes are queued (see QX_XML_RegisterNodeCallback()).
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @param nValue The new value.
 * @retval QX_OK The value was written.
 * @retval QX_ERR_INVALID_PARAM @p Key is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, a node of another kind, a node that cannot be
 *  written now, a value the node refuses (range, increment), or no node map (the camera was never
 *  connected, or its description could not be loaded).
 * @retval other The status of a register access that failed on the way: a QX_ERR_GEV_ status,
 *  #QX_ERR_NOT_AVAILABLE (a GigE camera that is not connected), #QX_ERR_USB3, or #QX_ERR_GENERAL (a
 *  camera found offline).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_SetIntValue(QX_DEV_HANDLE handle, const char* Key, int64_t nValue);

/**
 * @brief Reads a floating-point node with its bounds.
 *
 * Fills the value, maximum and minimum, each rounded to float.
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @param[out] pstValue Receives the value and its bounds.
 * @retval QX_OK The value was read.
 * @retval QX_ERR_INVALID_PARAM @p Key or the output pointer is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, a node of another kind, a node that cannot be read
 *  now, or no node map (the camera was never connected, or its description could not be loaded).
 * @retval other The status of a register access that failed on the way: a QX_ERR_GEV_ status,
 *  #QX_ERR_NOT_AVAILABLE (a GigE camera that is not connected), #QX_ERR_USB3, or #QX_ERR_GENERAL (a
 *  camera found offline).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_GetFloatValue(QX_DEV_HANDLE handle, const char* Key, FloatValueInfo* pstValue);

/**
 * @brief Writes a floating-point node.
 *
 * The value is checked as the node defines it (access mode, range, increment, entries) before any
 * register is written. The node-updated callbacks of the nodes the write changes are queued (see
 * QX_XML_RegisterNodeCallback()).
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @param fValue The new value.
 * @retval QX_OK The value was written.
 * @retval QX_ERR_INVALID_PARAM @p Key is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, a node of another kind, a node that cannot be
 *  written now, a value outside the node's range, or no node map (the camera was never connected,
 *  or its description could not be loaded).
 * @retval other The status of a register access that failed on the way: a QX_ERR_GEV_ status,
 *  #QX_ERR_NOT_AVAILABLE (a GigE camera that is not connected), #QX_ERR_USB3, or #QX_ERR_GENERAL (a
 *  camera found offline).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_SetFloatValue(QX_DEV_HANDLE handle, const char* Key, float fValue);

/**
 * @brief Reads an enumeration node as a number, with the numbers of its entries.
 *
 * Lists the entries that can be read now (access mode RO or RW), at most #QX_MAX_ENUM_ENTRIES, in
 * the node's order.
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @param[out] pstValue Receives the current value and the entries' values.
 * @retval QX_OK The value was read.
 * @retval QX_ERR_INVALID_PARAM @p Key or the output pointer is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, a node of another kind, a node that cannot be read
 *  now, or no node map (the camera was never connected, or its description could not be loaded).
 * @retval other The status of a register access that failed on the way: a QX_ERR_GEV_ status,
 *  #QX_ERR_NOT_AVAILABLE (a GigE camera that is not connected), #QX_ERR_USB3, or #QX_ERR_GENERAL (a
 *  camera found offline).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_GetEnumValue(QX_DEV_HANDLE handle, const char* Key, EnumValueInfo* pstValue);

/**
 * @brief Writes an enumeration node by an entry's number.
 *
 * The value is checked as the node defines it (access mode, range, increment, entries) before any
 * register is written. The node-updated callbacks of the nodes the write changes are queued (see
 * QX_XML_RegisterNodeCallback()).
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @param nValue The value of an available entry.
 * @retval QX_OK The value was written.
 * @retval QX_ERR_INVALID_PARAM @p Key is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, a node of another kind, a node that cannot be
 *  written now, a value that is no available entry, or no node map (the camera was never connected,
 *  or its description could not be loaded).
 * @retval other The status of a register access that failed on the way: a QX_ERR_GEV_ status,
 *  #QX_ERR_NOT_AVAILABLE (a GigE camera that is not connected), #QX_ERR_USB3, or #QX_ERR_GENERAL (a
 *  camera found offline).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_SetEnumValue(QX_DEV_HANDLE handle, const char* Key, uint32_t nValue);

/**
 * @brief Reads an enumeration node as text, with the names of its entries.
 *
 * Lists the names of the entries that can be read now (access mode RO or RW), at most
 * #QX_MAX_ENUM_ENTRIES, in the node's order; the current name is written only when the current
 * value is one of the listed entries. Names are cut to fit #QX_ENUM_TEXT_LEN bytes with their
 * terminator.
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @param[out] pstValue Receives the current entry's name and the entries' names.
 * @retval QX_OK The value was read.
 * @retval QX_ERR_INVALID_PARAM @p Key or the output pointer is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, a node of another kind, a node that cannot be read
 *  now, or no node map (the camera was never connected, or its description could not be loaded).
 * @retval other The status of a register access that failed on the way: a QX_ERR_GEV_ status,
 *  #QX_ERR_NOT_AVAILABLE (a GigE camera that is not connected), #QX_ERR_USB3, or #QX_ERR_GENERAL (a
 *  camera found offline).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_GetEnumValueStr(QX_DEV_HANDLE handle, const char* Key, EnumStrValueInfo* pstValue);

/**
 * @brief Writes an enumeration node by an entry's name.
 *
 * The value is checked as the node defines it (access mode, range, increment, entries) before any
 * register is written. The node-updated callbacks of the nodes the write changes are queued (see
 * QX_XML_RegisterNodeCallback()).
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @param Value The name of an available entry (for example "Mono8").
 * @retval QX_OK The value was written.
 * @retval QX_ERR_INVALID_PARAM @p Key or @p Value is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, a node of another kind, a node that cannot be
 *  written now, a name that is no available entry, or no node map (the camera was never connected,
 *  or its description could not be loaded).
 * @retval other The status of a register access that failed on the way: a QX_ERR_GEV_ status,
 *  #QX_ERR_NOT_AVAILABLE (a GigE camera that is not connected), #QX_ERR_USB3, or #QX_ERR_GENERAL (a
 *  camera found offline).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_SetEnumValueStr(QX_DEV_HANDLE handle, const char* Key, const char* Value);

/**
 * @brief Reads a boolean node.
 *
 *
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @param[out] pbValue Receives the value.
 * @retval QX_OK The value was read.
 * @retval QX_ERR_INVALID_PARAM @p Key or the output pointer is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, a node of another kind, a node that cannot be read
 *  now, or no node map (the camera was never connected, or its description could not be loaded).
 * @retval other The status of a register access that failed on the way: a QX_ERR_GEV_ status,
 *  #QX_ERR_NOT_AVAILABLE (a GigE camera that is not connected), #QX_ERR_USB3, or #QX_ERR_GENERAL (a
 *  camera found offline).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_GetBoolValue(QX_DEV_HANDLE handle, const char* Key, bool* pbValue);

/**
 * @brief Writes a boolean node.
 *
 * The value is checked as the node defines it (access mode, range, increment, entries) before any
 * register is written. The node-updated callbacks of the nodes the write changes are queued (see
 * QX_XML_RegisterNodeCallback()).
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @param bValue The new value.
 * @retval QX_OK The value was written.
 * @retval QX_ERR_INVALID_PARAM @p Key is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, a node of another kind, a node that cannot be
 *  written now, or no node map (the camera was never connected, or its description could not be
 *  loaded).
 * @retval other The status of a register access that failed on the way: a QX_ERR_GEV_ status,
 *  #QX_ERR_NOT_AVAILABLE (a GigE camera that is not connected), #QX_ERR_USB3, or #QX_ERR_GENERAL (a
 *  camera found offline).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_SetBoolValue(QX_DEV_HANDLE handle, const char* Key, bool bValue);

/**
 * @brief Reads a string node.
 *
 * Copies at most #QX_STRING_VALUE_LEN - 1 characters, always terminated, and their count.
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @param[out] pstValue Receives the text and its length.
 * @retval QX_OK The value was read.
 * @retval QX_ERR_INVALID_PARAM @p Key or the output pointer is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, a node of another kind, a node that cannot be read
 *  now, or no node map (the camera was never connected, or its description could not be loaded).
 * @retval other The status of a register access that failed on the way: a QX_ERR_GEV_ status,
 *  #QX_ERR_NOT_AVAILABLE (a GigE camera that is not connected), #QX_ERR_USB3, or #QX_ERR_GENERAL (a
 *  camera found offline).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_GetStringValue(QX_DEV_HANDLE handle, const char* Key, StringValueInfo* pstValue);

/**
 * @brief Writes a string node.
 *
 * The value is checked as the node defines it (access mode, range, increment, entries) before any
 * register is written. The node-updated callbacks of the nodes the write changes are queued (see
 * QX_XML_RegisterNodeCallback()).
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @param Value The new text.
 * @retval QX_OK The value was written.
 * @retval QX_ERR_INVALID_PARAM @p Key or @p Value is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, a node of another kind, a node that cannot be
 *  written now, a text the node refuses, or no node map (the camera was never connected, or its
 *  description could not be loaded).
 * @retval other The status of a register access that failed on the way: a QX_ERR_GEV_ status,
 *  #QX_ERR_NOT_AVAILABLE (a GigE camera that is not connected), #QX_ERR_USB3, or #QX_ERR_GENERAL (a
 *  camera found offline).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_SetStringValue(QX_DEV_HANDLE handle, const char* Key, const char* Value);

/**
 * @brief Executes a command node.
 *
 * Writes the command's value to its register. The node-updated callbacks of the nodes the command
 * changes are queued (see QX_XML_RegisterNodeCallback()).
 * @param handle Handle from QX_CreateDevice().
 * @param Key Name of the node, as in the camera's description file (for example "Width").
 * @retval QX_OK The command was sent.
 * @retval QX_ERR_INVALID_PARAM @p Key is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENICAM No node of that name, a node of another kind, a node that cannot be
 *  written now, or no node map (the camera was never connected, or its description could not be
 *  loaded).
 * @retval other The status of a register access that failed on the way: a QX_ERR_GEV_ status,
 *  #QX_ERR_NOT_AVAILABLE (a GigE camera that is not connected), #QX_ERR_USB3, or #QX_ERR_GENERAL (a
 *  camera found offline).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_ExecuteCommand(QX_DEV_HANDLE handle, const char* Key);

/**
 * @brief Sets the callback told when a feature changes.
 *
 * While node-map polling is on (QX_XML_SetNodeMapPoll()), every feature node of the tree from
 * QX_XML_GetNodeTree() that changes, written through this library or found changed by polling, is
 * handed to the callback as its #NodeInfo record. The callback replaces any earlier one; null
 * removes it.
 * @param handle Handle from QX_CreateDevice().
 * @param nodeUpdatedCb The callback, or null.
 * @param pUser Handed back to the callback unchanged.
 * @retval QX_OK The callback is set.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle. The callback runs on the node-event
 *  dispatch thread, without the handle's lock.
 */
QX_API QX_STATUS QX_CALL QX_XML_RegisterNodeCallback(QX_DEV_HANDLE handle, QX_NODE_UPDATED_CALLBACK nodeUpdatedCb,
                                                     void* pUser);

/**
 * @brief Turns node-map polling, and with it the node-updated callback, on or off.
 *
 * On: starts the thread that delivers node changes to the node-updated callback and a thread that
 * polls the node map every @p nInterval milliseconds, so nodes with a polling time are read again
 * and their changes reported. Calling it again while on restarts both with the new interval.
 * QX_DisconnectDevice() turns it off.
 * @param handle Handle from QX_CreateDevice().
 * @param enabled True to turn polling on, false to turn it off.
 * @param nInterval Period of the polling in milliseconds; 0 counts as 1.
 * @retval QX_OK Polling is on or off as asked.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_WRONG_STATE The camera is not connected.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_SetNodeMapPoll(QX_DEV_HANDLE handle, bool enabled, uint32_t nInterval);

/**
 * @brief Reads the node-map polling settings back.
 *
 * Unlike the other functions it looks the handle up before it checks its pointers.
 * @param handle Handle from QX_CreateDevice().
 * @param[out] pbEnabled Receives whether polling is on.
 * @param[out] pnInterval Receives the polling period in milliseconds.
 * @retval QX_OK The settings were stored.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_INVALID_PARAM @p pbEnabled or @p pnInterval is null.
 * @retval QX_ERR_GENERAL The camera is not connected.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_XML_GetNodeMapPoll(QX_DEV_HANDLE handle, bool* pbEnabled, int32_t* pnInterval);

/* Register access */
/**
 * @brief Reads bytes of the camera's register space.
 *
 * The bytes arrive as the camera holds them (no byte-order conversion).
 * @param handle Handle from QX_CreateDevice().
 * @param[out] pBuffer Receives @p nLength bytes.
 * @param nAddress Address in the camera's register space (32 bits).
 * @param nLength Number of bytes, 1 or more.
 * @param enPortType A #QX_PORT_DEVICE_TYPE: #QX_PORT_DEVICE the camera's registers,
 *  #QX_PORT_CONNECTOR_DEVICE (USB3) the device's own register channel. GigE cameras ignore it.
 * @retval QX_OK The bytes were read.
 * @retval QX_ERR_INVALID_PARAM @p pBuffer is null, @p nLength is 0 or negative, @p enPortType is
 *  negative, or (GigE) the address or length does not fit 32 bits.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENERAL The camera is not connected, or is offline.
 * @retval QX_ERR_USB3 USB3: the transfer failed, or the address, length or port type is out of
 *  range.
 * @retval other GigE: the QX_ERR_GEV_ status of the failed access (for example
 *  #QX_ERR_GEV_INVALID_ADDRESS).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_ReadMemory(QX_DEV_HANDLE handle, void* pBuffer, int64_t nAddress, int64_t nLength,
                                       int32_t enPortType);

/**
 * @brief Writes bytes to the camera's register space.
 *
 * The bytes go as given (no byte-order conversion).
 * @param handle Handle from QX_CreateDevice().
 * @param[in] pBuffer The @p nLength bytes to write.
 * @param nAddress Address in the camera's register space (32 bits).
 * @param nLength Number of bytes, 1 or more.
 * @param enPortType A #QX_PORT_DEVICE_TYPE: #QX_PORT_DEVICE the camera's registers,
 *  #QX_PORT_CONNECTOR_DEVICE (USB3) the device's own register channel. GigE cameras ignore it.
 * @retval QX_OK The bytes were written.
 * @retval QX_ERR_INVALID_PARAM @p pBuffer is null, @p nLength is 0 or negative, @p enPortType is
 *  negative, or (GigE) the address or length does not fit 32 bits.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENERAL The camera is not connected, or is offline.
 * @retval QX_ERR_USB3 USB3: the transfer failed, or the address, length or port type is out of
 *  range.
 * @retval other GigE: the QX_ERR_GEV_ status of the failed access (for example
 *  #QX_ERR_GEV_INVALID_ADDRESS).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_WriteMemory(QX_DEV_HANDLE handle, void* pBuffer, int64_t nAddress, int64_t nLength,
                                        int32_t enPortType);

/* GigE settings */
/**
 * @brief Gives a GigE camera a temporary IP configuration (FORCEIP).
 *
 * Addressed to the camera's MAC address; the camera keeps the configuration until it restarts.
 * Addresses are in host byte order.
 * @param handle Handle from QX_CreateDevice().
 * @param nIP The new address.
 * @param nSubNetMask The new subnet mask.
 * @param nGateWay The new default gateway.
 * @retval QX_OK The camera accepted the configuration.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_NOT_SUPPORTED The camera is not a GigE Vision camera.
 * @retval QX_ERR_INVALID_PARAM The address, mask and gateway do not form a usable configuration.
 * @retval other The QX_ERR_GEV_ status of the failed command (for example #QX_ERR_GEV_TIMEOUT).
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_GIGE_ForceIp(QX_DEV_HANDLE handle, uint32_t nIP, uint32_t nSubNetMask, uint32_t nGateWay);

/**
 * @brief Sets how a GigE camera gets its IP address when it starts.
 *
 * #QX_IP_CONFIG_STATIC: the given persistent address; #QX_IP_CONFIG_DHCP: DHCP; #QX_IP_CONFIG_LLA:
 * link-local only. A camera that is not connected is connected for the change (given the address
 * first with FORCEIP) and disconnected again. Addresses are in host byte order.
 * @param handle Handle from QX_CreateDevice().
 * @param enIpCfg A #QX_IP_CONFIG.
 * @param nIP The address (persistent with #QX_IP_CONFIG_STATIC).
 * @param nSubNetMask The subnet mask.
 * @param nGateWay The default gateway.
 * @retval QX_OK The configuration was written.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_NOT_SUPPORTED The camera is not a GigE Vision camera.
 * @retval QX_ERR_NOT_AVAILABLE The camera grabs.
 * @retval QX_ERR_INVALID_PARAM The address, mask and gateway do not form a usable configuration.
 * @retval QX_ERR_GENERAL @p enIpCfg is none of the three kinds, or the camera refused the
 *  configuration.
 * @retval other The QX_ERR_GEV_ status of a failed connection or register write.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_GIGE_SetIpConfig(QX_DEV_HANDLE handle, int32_t enIpCfg, uint32_t nIP, uint32_t nSubNetMask,
                                             uint32_t nGateWay);

/**
 * @brief Turns the resending of lost stream packets on or off.
 *
 * Sets the camera's resend switch, then the stream channel's wait for a missing packet and the
 * number of a frame's packets it may ask for again (the given share of the packets of one payload).
 * 0xFFFF as timeout means 200 ms, unless the camera runs in trigger mode with resend on.
 * @param handle Handle from QX_CreateDevice().
 * @param bEnable True to ask the camera for lost packets.
 * @param nResendPercent Largest share of a frame's packets asked for again, 1 to 100.
 * @param nResendTimeout Time to wait for a missing packet in milliseconds, 1 to 1000, or 0xFFFF.
 * @retval QX_OK The settings were taken.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_WRONG_STATE The camera grabs (checked before the transport).
 * @retval QX_ERR_NOT_SUPPORTED The camera is not a GigE Vision camera. Also a camera that cannot
 *  resend.
 * @retval QX_ERR_INVALID_PARAM @p nResendPercent or @p nResendTimeout is out of range.
 * @retval QX_ERR_NOT_AVAILABLE The camera is not connected.
 * @retval other The QX_ERR_GEV_ status of a failed access to the camera.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_GIGE_SetPacketResend(QX_DEV_HANDLE handle, bool bEnable, uint8_t nResendPercent,
                                                 uint16_t nResendTimeout);

/**
 * @brief Reads the packet-resend settings back.
 *
 * A camera that cannot resend reports resend off.
 * @param handle Handle from QX_CreateDevice().
 * @param[out] bEnable Receives whether the camera resends.
 * @param[out] nResendPercent Receives the share of a frame's packets that may be asked for again.
 * @param[out] nResendTimeout Receives the stream channel's wait for a missing packet, in
 *  milliseconds.
 * @retval QX_OK The settings were stored.
 * @retval QX_ERR_INVALID_PARAM A pointer is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_NOT_SUPPORTED The camera is not a GigE Vision camera.
 * @retval QX_ERR_NOT_AVAILABLE The camera is not connected.
 * @retval other The QX_ERR_GEV_ status of a failed access to the camera.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_GIGE_GetPacketResend(QX_DEV_HANDLE handle, bool* bEnable, uint8_t* nResendPercent,
                                                 uint16_t* nResendTimeout);

/**
 * @brief Turns the packet filter driver for the camera's stream on or off.
 * @param handle Handle from QX_CreateDevice().
 * @param bEnable True to receive the stream through the filter driver.
 * @retval QX_OK The driver is in use, or not, as asked.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_NOT_SUPPORTED The camera is not a GigE Vision camera.
 * @retval QX_ERR_NOT_AVAILABLE The camera is not connected.
 * @retval other The QX_ERR_GEV_ status of a failed opening or closing of the driver.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_GIGE_SetFilterDriver(QX_DEV_HANDLE handle, bool bEnable);

/**
 * @brief Tells whether the packet filter driver is in use for the camera's stream.
 * @param handle Handle from QX_CreateDevice().
 * @param[out] bEnable Receives true while the filter driver is in use.
 * @retval QX_OK The flag was stored.
 * @retval QX_ERR_INVALID_PARAM @p bEnable is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_NOT_SUPPORTED The camera is not a GigE Vision camera.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_GIGE_GetFilterDriver(QX_DEV_HANDLE handle, bool* bEnable);

/* File access */
/**
 * @brief Reading a file from the camera: not supported.
 *
 * Answers #QX_ERR_GENERAL once its argument and the handle have passed the checks.
 * @param handle Handle from QX_CreateDevice().
 * @param[in] pstParam The file names (not used).
 * @retval QX_ERR_INVALID_PARAM @p pstParam is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENERAL Always, otherwise.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_FileAccessRead(QX_DEV_HANDLE handle, FileAccessParam* pstParam);

/**
 * @brief Sends a file from the host to the camera.
 *
 * Reads the local file whole and sends it under the device file name through the camera's register
 * channel, reporting progress to the callback of QX_RegisterFileAccessProgress(). Only USB3 cameras
 * take files: a GigE camera answers #QX_ERR_GENERAL.
 * @param handle Handle from QX_CreateDevice().
 * @param[in] pstParam The local file's path and the name the camera stores it under.
 * @retval QX_OK The camera took the whole file.
 * @retval QX_ERR_INVALID_PARAM @p pstParam is null.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENERAL A path is null, the file cannot be read, is empty or exceeds 4 GiB, the
 *  camera refused or did not acknowledge a message, or the camera is a GigE camera.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle for the whole transfer. The progress
 *  callback runs on this thread while the handle's lock is held: it must not call functions on the
 *  same handle.
 */
QX_API QX_STATUS QX_CALL QX_FileAccessWrite(QX_DEV_HANDLE handle, FileAccessParam* pstParam);

/**
 * @brief Sets the callback that follows a file transfer.
 *
 * During QX_FileAccessWrite() the callback gets a pointer to the number of file bytes the camera
 * has acknowledged so far (0 after the header, then once per packet, the file's size at the end). It replaces any earlier one; null stops
 * the reports.
 * @param handle Handle from QX_CreateDevice().
 * @param func The callback, or null.
 * @param pUser Handed back to the callback unchanged.
 * @retval QX_OK The callback is set.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENERAL The camera's transport has no file access.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_RegisterFileAccessProgress(QX_DEV_HANDLE handle, QX_FILE_ACCESS_PROGRESS_CALLBACK func,
                                                       void* pUser);

/* Image output */
/**
 * @brief Converts an image between pixel formats.
 *
 * Converts one image of a #QX_PIXEL_MONO8 .. #QX_PIXEL_MONO12PACKED source format to
 * #QX_PIXEL_MONO8 or #QX_PIXEL_MONO16 and stores the length written. The camera of the handle is
 * not used; the handle is only checked.
 * @param handle Handle from QX_CreateDevice().
 * @param[in,out] pstCvtParam Size, source and destination; @c nDstDataLen receives the bytes
 *  written.
 * @retval QX_OK The image was converted.
 * @retval QX_ERR_INVALID_PARAM @p pstCvtParam is null; a size, format, length or data pointer is 0
 *  or null; or a buffer is too small for the image: the source needs width x height x the whole
 *  bytes of a pixel (Mono8 1, Mono10 to Mono16 2), the packed formats ceil(width x height x 1.5)
 *  bytes, as a camera sends them; nothing past @c nSrcDataLen is read.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_NOT_SUPPORTED The source format is not handled.
 * @retval QX_ERR_GENERAL The destination format is neither Mono8 nor Mono16.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle. The conversion keeps no state, so
 *  conversions on different handles run in parallel.
 */
QX_API QX_STATUS QX_CALL QX_ConvertPixelFormat(QX_DEV_HANDLE handle, ConvertParam* pstCvtParam);

/**
 * @brief Saves one image to a file.
 *
 * Writes BMP, JPEG (with @c nQuality), PNG or TIFF of the image converted to 8 bits per pixel, or
 * the raw bytes (with a header when @c bRawHeaderEnabled is set). The file is written under a
 * temporary name beside the path and renamed to it once complete, so a failed save leaves no file,
 * nor a truncated one, and a file of the same name stays as it was (a path naming a device or
 * another special file is written in place).
 * @param handle Handle from QX_CreateDevice().
 * @param[in] pstSaveFileParam The image, its size and format, the file type and the path.
 * @retval QX_OK The file was written.
 * @retval QX_ERR_INVALID_PARAM @p pstSaveFileParam is null; the file type, pixel format, data,
 *  length or a size is 0 or null; the path is empty or not terminated within #QX_MAX_PATH_LEN; or
 *  the data is shorter than the image (width x height x the whole bytes of a pixel; the packed
 *  formats ceil(width x height x 1.5) bytes).
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENERAL Unknown file type, a pixel format that cannot be converted, or the file
 *  could not be written.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_SaveImageToFile(QX_DEV_HANDLE handle, SaveFileParam* pstSaveFileParam);

/**
 * @brief Starts recording frames to files.
 *
 * #QX_RECORD_AVI: Motion-JPEG AVI files, encoded on a thread of the recorder; #QX_RECORD_RAW: the
 * frames' bytes (with a header when @c bRawHeaderEnabled is set). File names are made from
 * @c strFilePath. Frames are added with QX_RecordFrame() until QX_StopRecord(). AVI frames are
 * converted to 8-bit grey: a pixel format the conversion does not take (BayerRG8, RGB8, ...) still
 * starts, with a warning in the log, and QX_RecordFrame() then refuses every frame with
 * #QX_ERR_NOT_SUPPORTED.
 * @param handle Handle from QX_CreateDevice().
 * @param[in] pstRecordParam Format, image size, pixel format, frame rate and path.
 * @retval QX_OK The recording runs.
 * @retval QX_ERR_INVALID_PARAM @p pstRecordParam is null; the pixel format, a size, @c nBpp or the
 *  frame rate is 0; the format is unknown; the path is null, empty or #QX_MAX_PATH_LEN
 *  characters or longer; or, for #QX_RECORD_AVI, the image is wider or higher than 65500 pixels
 *  or the frame rate is not within 0.001 to 1000000 frames per second (0, negative and NaN
 *  rates included: an AVI file could not carry them).
 * @retval QX_ERR_WRONG_STATE A recording already runs on this handle.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENERAL The file or the encoder's buffers could not be made.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_StartRecord(QX_DEV_HANDLE handle, RecordParam* pstRecordParam);

/**
 * @brief Adds one frame to the running recording.
 *
 * AVI: the frame is copied into a free image of the recorder's pool and encoded on the recorder's
 * thread; raw: the bytes are appended to the file.
 * @param handle Handle from QX_CreateDevice().
 * @param[in] pstRecordFrameInfo The frame's data and length.
 * @retval QX_OK The frame was taken.
 * @retval QX_ERR_INVALID_PARAM @p pstRecordFrameInfo is null, its data is null or its length 0, or
 *  (AVI) a #QX_PIXEL_MONO8 frame is shorter than one image.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_NO_FREE_BUFFER AVI: no free image in the pool (the encoder is behind); the frame,
 *  whatever its length, is dropped.
 * @retval QX_ERR_NOT_SUPPORTED AVI: the frame cannot be converted to 8-bit grey: its pixel format
 *  is not one of #QX_PIXEL_MONO8 .. #QX_PIXEL_MONO12PACKED (an AVI recording of such a format,
 *  BayerRG8 for one, starts, logs a warning and refuses every frame), or a frame of another
 *  format than Mono8 is shorter than one image (the packed formats need ceil(width x height x
 *  1.5) bytes).
 * @retval QX_ERR_GENERAL No recording runs, or the file could not be written. AVI: once a frame
 *  taken earlier could not be written (a full disk, a file that could not be opened or
 *  completed), every later call answers this and takes no frame; QX_StopRecord() then answers
 *  it too, and the file holds the frames up to the last one written.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_RecordFrame(QX_DEV_HANDLE handle, RecordFrameInfo* pstRecordFrameInfo);

/**
 * @brief Ends the running recording and completes its files.
 *
 * AVI: every frame QX_RecordFrame() answered #QX_OK for is encoded and written before the call
 * returns, so the call lasts about as long as encoding the frames still queued (at most four).
 * Without a running recording: #QX_OK.
 * @param handle Handle from QX_CreateDevice().
 * @retval QX_OK The recording is ended and every accepted frame is in its file.
 * @retval QX_ERR_INVALID_HANDLE The handle is not registered.
 * @retval QX_ERR_GENERAL A file could not be completed, or a frame QX_RecordFrame() accepted could
 *  not be written (a full disk, a file that could not be opened, or frames in flight that made
 *  no progress for 10 s); the file then holds, readable, the frames up to the last one written.
 * @par Threads
 *  Any thread; serialised with the other calls on this handle.
 */
QX_API QX_STATUS QX_CALL QX_StopRecord(QX_DEV_HANDLE handle);

/* Version: 0x02010000 */
/**
 * @brief Tells the library's version.
 * @return 0x02010000: version 2.1, the major number in the top byte, the minor in the next.
 * @par Threads
 *  Any thread; takes no lock.
 */
QX_API uint32_t QX_CALL QX_GetSdkVersion(void);

#ifdef __cplusplus
} /**< extern "C" */
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

#endif /**< QX_CAM_API_H */
