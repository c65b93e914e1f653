// The 54 exported functions. Each is the call frame plus one call into the core; the work
// lives in DeviceManager, DeviceBase, FeatureBase and the output classes.
#include "QxCamApi.h"

#include "core/base/DeviceBase.h"
#include "core/api/DeviceManager.h"
#include "core/api/DeviceProxy.h"
#include "core/api/ExportFrame.h"
#include "feature/FeatureBase.h"
#include "core/api/FileAccess.h"
#include "core/base/GigeDeviceOps.h"
#include "imageout/ImageSaver.h"
#include "imageout/PixelConverter.h"
#include "imageout/recorder/VideoRecorder.h"

#include <fmt/format.h>

#include <chrono>
#include <cstring>
#include <thread>

using qx::imageout::ImageSaver;
using qx::imageout::PixelConverter;

using qx::feature::FeatureBase;

using namespace qx::core::base;

using namespace qx::core::api;
namespace sys = qx::sys;
using spdlog::level::level_enum;

namespace {

constexpr level_enum kInfo = spdlog::level::info;

DeviceBase& device(DeviceProxy& proxy) { return *proxy.getDevice(); }
FeatureBase& feature(DeviceProxy& proxy) { return *proxy.getFeature(); }

GigeDeviceOps& gigeOps(DeviceProxy& proxy) {
    auto* ops = dynamic_cast<GigeDeviceOps*>(proxy.getDevice());
    require(ops != nullptr, QX_ERR_NOT_SUPPORTED);
    return *ops;
}

const void* ptr(const void* p) { return p; }
template <typename F>
const void* fnptr(F f) {
    return reinterpret_cast<const void*>(f);
}

auto keyText(const char* key) {
    return [key] { return fmt::format("Key={}", textOrNull(key)); };
}

} // namespace

// ---- enumeration and handles -------------------------------------------------------------

QX_STATUS QX_CALL QX_EnumDevices(DeviceList* pstDevList, uint8_t tryTimes, uint16_t timeout) {
    static const char* const func = QX_FUNC;
    DeviceManager* manager = nullptr;
    catchStatus(func, [&] {
        manager = getDeviceManager();
        return QX_OK;
    });
    QX_LOG_INFO("func:{} start");
    const auto start = sys::SteadyClock::now();
    const QX_STATUS ret = catchStatus(func, [&]() -> QX_STATUS {
        require(pstDevList != nullptr && tryTimes != 0 && timeout != 0, QX_ERR_INVALID_PARAM);
        require(manager != nullptr, QX_ERR_GENERAL);
        manager->enumDevices(pstDevList, tryTimes, timeout);
        return QX_OK;
    });
    QX_LOG_INFO("func:{} end, {}, spent:{}ms, ret=0x{:x}", fmt::format("tryTimes={}, timeout={}", tryTimes, timeout),
                sys::elapsedMs(start), ret);
    return ret;
}

void QX_CALL QX_InterruptDevEnumerating(void) {
    static const char* const func = QX_FUNC;
    QX_LOG_INFO("func:{} start");
    const auto start = sys::SteadyClock::now();
    catchStatus(func, [] {
        getDeviceManager()->interruptEnumerating();
        return QX_OK;
    });
    QX_LOG_INFO("func:{}, spent:{}ms", sys::elapsedMs(start));
}

QX_STATUS QX_CALL QX_CreateDevice(QX_DEV_HANDLE* pHandle, const DeviceInfo* pstDevInfo) {
    static const char* const func = QX_FUNC;
    QX_LOG_INFO("func:{} start");
    const auto start = sys::SteadyClock::now();
    const QX_STATUS ret = catchStatus(func, [&]() -> QX_STATUS {
        require(pHandle != nullptr && pstDevInfo != nullptr, QX_ERR_INVALID_PARAM);
        // Refused here, and again with its log line by createDevice.
        if (pstDevInfo->nTLayerType != QX_TLAYER_GIGE && pstDevInfo->nTLayerType != QX_TLAYER_USB3) {
            QX_LOG_ERROR("func:createDevice, unknown pstDevInfo->nTLayerType:{}", pstDevInfo->nTLayerType);
            return QX_ERR_INVALID_PARAM;
        }
        return getDeviceManager()->createDevice(pHandle, pstDevInfo);
    });
    if (ret == QX_OK) {
        DevNames names;
        names.copyFrom(*pstDevInfo);
        logEndLine(func, kInfo, ret, true, names, nullptr, std::string(), sys::elapsedMs(start));
    } else {
        QX_LOG_ERROR("handle:{:p}, func:{} end, spent:{}ms, ret:0x{:x}", ptr(pHandle), func, sys::elapsedMs(start),
                     ret);
    }
    return ret;
}

QX_STATUS QX_CALL QX_DeleteDevice(QX_DEV_HANDLE handle) {
    static const char* const func = QX_FUNC;
    QX_LOG_INFO("func:{} start");
    const auto start = sys::SteadyClock::now();
    DevNames names;
    const QX_STATUS ret = catchStatus(func, [&]() -> QX_STATUS {
        DeviceManager* manager = getDeviceManager();
        bool connected = false;
        {
            HandleLockHolder holder;
            DeviceProxy* proxy = manager->lookupHandle(handle, holder);
            if (!proxy) return QX_ERR_INVALID_HANDLE;
            connected = proxy->getDevice()->isConnected();
            names.copyFrom(holder.entry()->info);
        }
        if (connected) return QX_ERR_WRONG_STATE;
        return manager->deleteDevice(handle);
    });
    logEndLine(func, kInfo, ret, true, names, handle, std::string(), sys::elapsedMs(start));
    return ret;
}

QX_STATUS QX_CALL QX_GetDeviceInfo(QX_DEV_HANDLE handle, DeviceInfo* pstDevInfo) {
    static const char* const func = QX_FUNC;
    QX_LOG_INFO("func:{} start");
    const auto start = sys::SteadyClock::now();
    bool found = false;
    DevNames names;
    const QX_STATUS ret = catchStatus(func, [&]() -> QX_STATUS {
        require(pstDevInfo != nullptr, QX_ERR_INVALID_PARAM);
        // Copied under the registry's map mutex only: a running call on the handle does not
        // delay it.
        const QX_STATUS s = getDeviceManager()->getDeviceInfo(handle, pstDevInfo);
        if (s == QX_OK) {
            found = true;
            names.copyFrom(*pstDevInfo);
        }
        return s;
    });
    logEndLine(func, kInfo, ret, found, names, handle, std::string(), sys::elapsedMs(start));
    return ret;
}

// ---- connection --------------------------------------------------------------------------

QX_STATUS QX_CALL QX_ConnectDevice(QX_DEV_HANDLE handle, int32_t enAccessMode) {
    return runHandleExport(
        "QX_ConnectDevice", kInfo, handle, Release::BeforeEndLine,
        [&] { require(enAccessMode >= 0 && enAccessMode < 3, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) -> QX_STATUS {
            DeviceBase& dev = device(p);
            const DeviceInfo* info = dev.getDeviceInfo();
            require(!dev.isConnected(), QX_ERR_GEV_BUSY);
            require(info->nAccessStatus != QX_ACCESS_STATUS_UNAVAILABLE &&
                        info->nAccessStatus != QX_ACCESS_STATUS_IN_USE,
                    QX_ERR_INVALID_PARAM);
            require(!(info->nAccessStatus == QX_ACCESS_STATUS_OPEN_ONLY && enAccessMode != QX_ACCESS_OPEN),
                    QX_ERR_INVALID_PARAM);
            require(!(info->nTLayerType == QX_TLAYER_USB3 && enAccessMode != QX_ACCESS_EXCLUSIVE),
                    QX_ERR_INVALID_PARAM);
            const QX_STATUS s = dev.connectDevice(enAccessMode);
            if (s != QX_OK) return s;
            return feature(p).initNodeMap();
        },
        [&] { return fmt::format("enAccessMode={}, end", enAccessMode); });
}

QX_STATUS QX_CALL QX_DisconnectDevice(QX_DEV_HANDLE handle) {
    return runHandleExport(QX_FUNC, kInfo, handle, Release::AfterEndLine, noChecks, [&](DeviceProxy& p) -> QX_STATUS {
        feature(p).setNodeMapPoll(false, 0);
        return device(p).disconnectDevice();
    });
}

QX_STATUS QX_CALL QX_GetConnectionStatus(QX_DEV_HANDLE handle, bool* pbConnected) {
    return runHandleExport(
        "QX_GetConnectionStatus", kInfo, handle, Release::BeforeEndLine,
        [&] { require(pbConnected != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) -> QX_STATUS {
            *pbConnected = device(p).isConnected();
            return QX_OK;
        });
}

QX_STATUS QX_CALL QX_RegisterOfflineCallBack(QX_DEV_HANDLE handle, QX_OFFLINE_CALLBACK func, void* pUser) {
    return runHandleExport(
        "QX_RegisterOfflineCallBack", kInfo, handle, Release::AfterEndLine, noChecks,
        [&](DeviceProxy& p) { return device(p).registerOfflineCallBack(func, pUser); },
        [&] { return fmt::format("func={}, pUser={}", fnptr(func), ptr(pUser)); });
}

// ---- acquisition -------------------------------------------------------------------------

QX_STATUS QX_CALL QX_StartGrabbing(QX_DEV_HANDLE handle) {
    return runHandleExport(QX_FUNC, kInfo, handle, Release::AfterEndLine, noChecks, [&](DeviceProxy& p) -> QX_STATUS {
        DeviceBase& dev = device(p);
        if (dev.isGrabbing()) return QX_OK;
        const QX_STATUS s = dev.startGrabbing(p.getFeature());
        if (s == QX_OK) feature(p).setIntValue("TLParamsLocked", 1);
        return s;
    });
}

QX_STATUS QX_CALL QX_StopGrabbing(QX_DEV_HANDLE handle) {
    static const char* const func = QX_FUNC;
    QX_LOG_INFO("func:{} start");
    const auto start = sys::SteadyClock::now();
    HandleLockHolder holder;
    bool found = false;
    bool wasGrabbing = false;
    DevNames names;
    const QX_STATUS ret = catchStatus(func, [&]() -> QX_STATUS {
        DeviceProxy* p = getDeviceManager()->lookupHandle(handle, holder);
        if (!p) return QX_ERR_INVALID_HANDLE;
        found = true;
        names.copyFrom(holder.entry()->info);
        DeviceBase& dev = device(*p);
        if (!dev.isGrabbing()) return QX_OK;
        wasGrabbing = true;
        const QX_STATUS s = dev.stopGrabbing();
        if (s == QX_OK && dev.isConnected()) feature(*p).setIntValue("TLParamsLocked", 0);
        return s;
    });
    holder.unlock();
    // Give the transport time to settle before the application restarts it.
    if (wasGrabbing) std::this_thread::sleep_for(std::chrono::milliseconds(160));
    logEndLine(func, kInfo, ret, found, names, handle, std::string(), sys::elapsedMs(start));
    return ret;
}

bool QX_CALL QX_IsGrabbingStarted(QX_DEV_HANDLE handle) {
    static const char* const func = QX_FUNC;
    QX_LOG_INFO("func:{} start");
    const auto start = sys::SteadyClock::now();
    HandleLockHolder holder;
    bool found = false;
    bool grabbing = false;
    DevNames names;
    catchStatus(func, [&]() -> QX_STATUS {
        DeviceProxy* p = getDeviceManager()->lookupHandle(handle, holder);
        if (!p) return QX_ERR_INVALID_HANDLE;
        found = true;
        names.copyFrom(holder.entry()->info);
        grabbing = device(*p).isGrabbing();
        return QX_OK;
    });
    // The answer is the flag; the end line always shows success.
    logEndLine(func, kInfo, QX_OK, found, names, handle, std::string(), sys::elapsedMs(start));
    return grabbing;
}

QX_STATUS QX_CALL QX_RegisterImageCallBack(QX_DEV_HANDLE handle, QX_IMAGE_CALLBACK func, void* pUser) {
    return runHandleExport(
        "QX_RegisterImageCallBack", kInfo, handle, Release::BeforeEndLine, noChecks,
        [&](DeviceProxy& p) -> QX_STATUS {
            require(!device(p).isGrabbing(), QX_ERR_WRONG_STATE);
            return device(p).registerImageCallBack(func, pUser);
        },
        [&] { return fmt::format("func={}, pUser={}", fnptr(func), ptr(pUser)); });
}

QX_STATUS QX_CALL QX_GetFrame(QX_DEV_HANDLE handle, FrameInfo* pstFrameInfo, uint32_t timeout) {
    return runHandleExport(
        "QX_GetFrame", spdlog::level::debug, handle, Release::BeforeEndLine,
        [&] { require(pstFrameInfo != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) -> QX_STATUS {
            DeviceBase& dev = device(p);
            require(dev.isGrabbing(), QX_ERR_WRONG_STATE);
            require(!dev.hasImageCallback(), QX_ERR_NOT_AVAILABLE);
            return dev.getFrame(pstFrameInfo, timeout);
        });
}

QX_STATUS QX_CALL QX_FreeFrame(QX_DEV_HANDLE handle, FrameInfo* pstFrameInfo) {
    return runHandleExport(
        "QX_FreeFrame", kInfo, handle, Release::BeforeEndLine,
        [&] { require(pstFrameInfo != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) { return device(p).freeFrame(pstFrameInfo); });
}

QX_STATUS QX_CALL QX_ClearFrameBuffer(QX_DEV_HANDLE handle) {
    return runHandleExport(QX_FUNC, kInfo, handle, Release::AfterEndLine, noChecks,
                           [&](DeviceProxy& p) { return device(p).clearFrameBuffer(); });
}

// ---- GenICam node access -----------------------------------------------------------------

QX_STATUS QX_CALL QX_XML_GetGenICamXMLSize(QX_DEV_HANDLE handle, uint32_t* pnSize) {
    return runHandleExport(
        "QX_XML_GetGenICamXMLSize", kInfo, handle, Release::BeforeEndLine,
        [&] { require(pnSize != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) { return device(p).getGenICamXMLSize(pnSize); });
}

QX_STATUS QX_CALL QX_XML_GetGenICamXML(QX_DEV_HANDLE handle, char* pBuffer, uint32_t nDataSize) {
    return runHandleExport(
        "QX_XML_GetGenICamXML", kInfo, handle, Release::BeforeEndLine,
        [&] { require(pBuffer != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) { return device(p).getGenICamXML(pBuffer, nDataSize); });
}

QX_STATUS QX_CALL QX_XML_GetNodeTree(QX_DEV_HANDLE handle, NodeInfoList* pstNodeList) {
    return runHandleExport(
        "QX_XML_GetNodeTree", kInfo, handle, Release::BeforeEndLine,
        [&] { require(pstNodeList != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) { return feature(p).getNodeTree(pstNodeList); });
}

// The node getters: Key and the output record must both be given.
#define QX_NODE_GETTER(NAME, METHOD, OUT_TYPE)                                          \
    QX_STATUS QX_CALL NAME(QX_DEV_HANDLE handle, const char* Key, OUT_TYPE out) {       \
        return runHandleExport(                                                         \
            #NAME, kInfo, handle, Release::BeforeEndLine,                               \
            [&] { require(Key != nullptr && out != nullptr, QX_ERR_INVALID_PARAM); },   \
            [&](DeviceProxy& p) { return feature(p).METHOD(Key, out); }, keyText(Key)); \
    }

QX_NODE_GETTER(QX_XML_GetNodeAccessMode, getNodeAccessMode, int32_t*)
QX_NODE_GETTER(QX_XML_GetNodeInterfaceType, getNodeInterfaceType, int32_t*)
QX_NODE_GETTER(QX_XML_GetIntValue, getIntValue, IntValueInfo*)
QX_NODE_GETTER(QX_XML_GetFloatValue, getFloatValue, FloatValueInfo*)
QX_NODE_GETTER(QX_XML_GetEnumValue, getEnumValue, EnumValueInfo*)
QX_NODE_GETTER(QX_XML_GetEnumValueStr, getEnumValueStr, EnumStrValueInfo*)
QX_NODE_GETTER(QX_XML_GetBoolValue, getBoolValue, bool*)
QX_NODE_GETTER(QX_XML_GetStringValue, getStringValue, StringValueInfo*)

#undef QX_NODE_GETTER

QX_STATUS QX_CALL QX_XML_SetIntValue(QX_DEV_HANDLE handle, const char* Key, int64_t nValue) {
    return runHandleExport(
        "QX_XML_SetIntValue", kInfo, handle, Release::BeforeEndLine,
        [&] { require(Key != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) -> QX_STATUS {
            const QX_STATUS s = feature(p).setIntValue(Key, nValue);
            // The heartbeat thread follows the camera's heartbeat timeout.
            if (s == QX_OK && device(p).getDeviceInfo()->nTLayerType == QX_TLAYER_GIGE &&
                std::strncmp(Key, "GevHeartbeatTimeout", 19) == 0) {
                if (auto* ops = dynamic_cast<GigeDeviceOps*>(p.getDevice())) ops->setHeartbeatTimeout(nValue);
            }
            return s;
        },
        [&] { return fmt::format("Key={}, nValue={}", textOrNull(Key), nValue); });
}

QX_STATUS QX_CALL QX_XML_SetFloatValue(QX_DEV_HANDLE handle, const char* Key, float fValue) {
    return runHandleExport(
        "QX_XML_SetFloatValue", kInfo, handle, Release::BeforeEndLine,
        [&] { require(Key != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) { return feature(p).setFloatValue(Key, fValue); },
        [&] { return fmt::format("Key={}, fValue={}", textOrNull(Key), fValue); });
}

QX_STATUS QX_CALL QX_XML_SetEnumValue(QX_DEV_HANDLE handle, const char* Key, uint32_t nValue) {
    return runHandleExport(
        "QX_XML_SetEnumValue", kInfo, handle, Release::BeforeEndLine,
        [&] { require(Key != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) { return feature(p).setEnumValue(Key, nValue); },
        [&] { return fmt::format("Key={}, nValue={}", textOrNull(Key), nValue); });
}

QX_STATUS QX_CALL QX_XML_SetEnumValueStr(QX_DEV_HANDLE handle, const char* Key, const char* Value) {
    return runHandleExport(
        "QX_XML_SetEnumValueStr", kInfo, handle, Release::BeforeEndLine,
        [&] { require(Key != nullptr && Value != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) { return feature(p).setEnumValueStr(Key, Value); },
        [&] { return fmt::format("Key={}, Value={}", textOrNull(Key), textOrNull(Value)); });
}

QX_STATUS QX_CALL QX_XML_SetBoolValue(QX_DEV_HANDLE handle, const char* Key, bool bValue) {
    return runHandleExport(
        "QX_XML_SetBoolValue", kInfo, handle, Release::BeforeEndLine,
        [&] { require(Key != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) { return feature(p).setBoolValue(Key, bValue); },
        [&] { return fmt::format("Key={}, bValue={}", textOrNull(Key), bValue); });
}

QX_STATUS QX_CALL QX_XML_SetStringValue(QX_DEV_HANDLE handle, const char* Key, const char* Value) {
    return runHandleExport(
        "QX_XML_SetStringValue", kInfo, handle, Release::BeforeEndLine,
        [&] { require(Key != nullptr && Value != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) { return feature(p).setStringValue(Key, Value); },
        [&] { return fmt::format("Key={}, Value={}", textOrNull(Key), textOrNull(Value)); });
}

QX_STATUS QX_CALL QX_XML_ExecuteCommand(QX_DEV_HANDLE handle, const char* Key) {
    return runHandleExport(
        "QX_XML_ExecuteCommand", kInfo, handle, Release::BeforeEndLine,
        [&] { require(Key != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) { return feature(p).executeCommand(Key); }, keyText(Key));
}

QX_STATUS QX_CALL QX_XML_RegisterNodeCallback(QX_DEV_HANDLE handle, QX_NODE_UPDATED_CALLBACK nodeUpdatedCb,
                                              void* pUser) {
    return runHandleExport(
        "QX_XML_RegisterNodeCallback", kInfo, handle, Release::AfterEndLine, noChecks,
        [&](DeviceProxy& p) { return feature(p).registerNodeCallback(nodeUpdatedCb, pUser); },
        [&] { return fmt::format("nodeUpdatedCb={}, pUser={}", fnptr(nodeUpdatedCb), ptr(pUser)); });
}

QX_STATUS QX_CALL QX_XML_SetNodeMapPoll(QX_DEV_HANDLE handle, bool enabled, uint32_t nInterval) {
    return runHandleExport(
        "QX_XML_SetNodeMapPoll", kInfo, handle, Release::AfterEndLine, noChecks,
        [&](DeviceProxy& p) -> QX_STATUS {
            require(device(p).isConnected(), QX_ERR_WRONG_STATE);
            return feature(p).setNodeMapPoll(enabled, nInterval);
        },
        [&] { return fmt::format("enabled={}, nInterval={}", enabled, nInterval); });
}

QX_STATUS QX_CALL QX_XML_GetNodeMapPoll(QX_DEV_HANDLE handle, bool* pbEnabled, int32_t* pnInterval) {
    return runHandleExport(QX_FUNC, kInfo, handle, Release::AfterEndLine, noChecks, [&](DeviceProxy& p) -> QX_STATUS {
        require(pbEnabled != nullptr && pnInterval != nullptr, QX_ERR_INVALID_PARAM);
        require(device(p).isConnected(), QX_ERR_GENERAL);
        return feature(p).getNodeMapPoll(pbEnabled, pnInterval);
    });
}

// ---- register access ---------------------------------------------------------------------

namespace {

template <typename Access>
QX_STATUS memoryExport(const char* func, QX_DEV_HANDLE handle, void* pBuffer, int64_t nAddress, int64_t nLength,
                       int32_t enPortType, Access access) {
    return runHandleExport(
        func, kInfo, handle, Release::BeforeEndLine,
        [&] { require(pBuffer != nullptr && nLength > 0 && enPortType >= 0, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) -> QX_STATUS {
            DeviceBase& dev = device(p);
            require(dev.isConnected(), QX_ERR_GENERAL);
            return access(dev);
        },
        [&] {
            return fmt::format("pBuffer={}, nAddress={}, nLength={}, enPortType={}", ptr(pBuffer), nAddress, nLength,
                               enPortType);
        });
}

} // namespace

QX_STATUS QX_CALL QX_ReadMemory(QX_DEV_HANDLE handle, void* pBuffer, int64_t nAddress, int64_t nLength,
                                int32_t enPortType) {
    return memoryExport(QX_FUNC, handle, pBuffer, nAddress, nLength, enPortType,
                        [&](DeviceBase& dev) { return dev.readMemory(pBuffer, nAddress, nLength, enPortType); });
}

QX_STATUS QX_CALL QX_WriteMemory(QX_DEV_HANDLE handle, void* pBuffer, int64_t nAddress, int64_t nLength,
                                 int32_t enPortType) {
    return memoryExport(QX_FUNC, handle, pBuffer, nAddress, nLength, enPortType,
                        [&](DeviceBase& dev) { return dev.writeMemory(pBuffer, nAddress, nLength, enPortType); });
}

// ---- GigE settings -----------------------------------------------------------------------

QX_STATUS QX_CALL QX_GIGE_ForceIp(QX_DEV_HANDLE handle, uint32_t nIP, uint32_t nSubNetMask, uint32_t nGateWay) {
    return runHandleExport(
        "QX_GIGE_ForceIp", kInfo, handle, Release::AfterEndLine, noChecks,
        [&](DeviceProxy& p) { return gigeOps(p).gigeForceIp(nIP, nSubNetMask, nGateWay); },
        [&] { return fmt::format("nIP=0x{:x}, nSubNetMask=0x{:x}, nGateWay=0x{:x}", nIP, nSubNetMask, nGateWay); });
}

QX_STATUS QX_CALL QX_GIGE_SetIpConfig(QX_DEV_HANDLE handle, int32_t enIpCfg, uint32_t nIP, uint32_t nSubNetMask,
                                      uint32_t nGateWay) {
    return runHandleExport(
        "QX_GIGE_SetIpConfig", kInfo, handle, Release::AfterEndLine, noChecks,
        [&](DeviceProxy& p) { return gigeOps(p).setIpConfig(enIpCfg, nIP, nSubNetMask, nGateWay); },
        [&] {
            return fmt::format("enIpCfg={}, nIP=0x{:x}, nSubNetMask=0x{:x}, nGateWay=0x{:x}", enIpCfg, nIP, nSubNetMask,
                               nGateWay);
        });
}

QX_STATUS QX_CALL QX_GIGE_SetPacketResend(QX_DEV_HANDLE handle, bool bEnable, uint8_t nResendPercent,
                                          uint16_t nResendTimeout) {
    return runHandleExport(
        "QX_GIGE_SetPacketResend", kInfo, handle, Release::BeforeEndLine, noChecks,
        [&](DeviceProxy& p) -> QX_STATUS {
            require(!device(p).isGrabbing(), QX_ERR_WRONG_STATE);
            return gigeOps(p).setPacketResend(bEnable, nResendPercent, nResendTimeout);
        },
        [&] {
            return fmt::format("bEnable={}, nResendPercent={}, nResendTimeout={}", bEnable, nResendPercent,
                               nResendTimeout);
        });
}

QX_STATUS QX_CALL QX_GIGE_GetPacketResend(QX_DEV_HANDLE handle, bool* bEnable, uint8_t* nResendPercent,
                                          uint16_t* nResendTimeout) {
    return runHandleExport(
        "QX_GIGE_GetPacketResend", kInfo, handle, Release::BeforeEndLine,
        [&] {
            require(bEnable != nullptr && nResendPercent != nullptr && nResendTimeout != nullptr, QX_ERR_INVALID_PARAM);
        },
        [&](DeviceProxy& p) { return gigeOps(p).getPacketResend(bEnable, nResendPercent, nResendTimeout); });
}

QX_STATUS QX_CALL QX_GIGE_SetFilterDriver(QX_DEV_HANDLE handle, bool bEnable) {
    return runHandleExport(
        "QX_GIGE_SetFilterDriver", kInfo, handle, Release::AfterEndLine, noChecks,
        [&](DeviceProxy& p) { return gigeOps(p).setFilterDriver(bEnable); },
        [&] { return fmt::format("bEnable={}", bEnable); });
}

QX_STATUS QX_CALL QX_GIGE_GetFilterDriver(QX_DEV_HANDLE handle, bool* bEnable) {
    return runHandleExport(
        "QX_GIGE_GetFilterDriver", kInfo, handle, Release::AfterEndLine,
        [&] { require(bEnable != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) -> QX_STATUS {
            *bEnable = gigeOps(p).isFilterDriverEnabled();
            return QX_OK;
        });
}

// ---- file access -------------------------------------------------------------------------

QX_STATUS QX_CALL QX_FileAccessRead(QX_DEV_HANDLE handle, FileAccessParam* pstParam) {
    return runHandleExport(
        "QX_FileAccessRead", kInfo, handle, Release::BeforeEndLine,
        [&] { require(pstParam != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) -> QX_STATUS {
            FileAccessBase* access = p.fileAccess();
            return access ? access->readFile() : QX_ERR_GENERAL;
        });
}

QX_STATUS QX_CALL QX_FileAccessWrite(QX_DEV_HANDLE handle, FileAccessParam* pstParam) {
    return runHandleExport(
        "QX_FileAccessWrite", kInfo, handle, Release::BeforeEndLine,
        [&] { require(pstParam != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) -> QX_STATUS {
            FileAccessBase* access = p.fileAccess();
            return access ? access->writeFile(pstParam) : QX_ERR_GENERAL;
        });
}

QX_STATUS QX_CALL QX_RegisterFileAccessProgress(QX_DEV_HANDLE handle, QX_FILE_ACCESS_PROGRESS_CALLBACK func,
                                                void* pUser) {
    return runHandleExport(QX_FUNC, kInfo, handle, Release::AfterEndLine, noChecks, [&](DeviceProxy& p) -> QX_STATUS {
        FileAccessBase* access = p.fileAccess();
        return access ? access->registerProgressCallback(func, pUser) : QX_ERR_GENERAL;
    });
}

// ---- image output ------------------------------------------------------------------------

QX_STATUS QX_CALL QX_ConvertPixelFormat(QX_DEV_HANDLE handle, ConvertParam* pstCvtParam) {
    return runHandleExport(
        "QX_ConvertPixelFormat", spdlog::level::trace, handle, Release::BeforeEndLine,
        [&] { require(pstCvtParam != nullptr, QX_ERR_INVALID_PARAM); },
        // One converter for the process; the handle's camera is not used.
        [&](DeviceProxy&) { return PixelConverter::getConverterInstance()->convertPixels(*pstCvtParam); },
        [&] {
            if (!pstCvtParam) return std::string("pstCvtParam = nullptr");
            const ConvertParam& c = *pstCvtParam;
            return fmt::format("nHeight={}, nWidth={}, enSrcPixelType=0x{:x}, nSrcDataLen={}, pSrcData={}, "
                               "enDstPixelType=0x{:x}, nDstDataSize={}, nDstDataLen={}, pDstData={}",
                               c.nHeight, c.nWidth, c.enSrcPixelType, c.nSrcDataLen, ptr(c.pSrcData), c.enDstPixelType,
                               c.nDstDataSize, c.nDstDataLen, ptr(c.pDstData));
        });
}

QX_STATUS QX_CALL QX_SaveImageToFile(QX_DEV_HANDLE handle, SaveFileParam* pstSaveFileParam) {
    return runHandleExport(
        "QX_SaveImageToFile", kInfo, handle, Release::BeforeEndLine,
        [&] { require(pstSaveFileParam != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) { return p.imageSaver()->saveNormalFormat(*pstSaveFileParam); },
        [&] {
            if (!pstSaveFileParam) return std::string("pstSaveFileParam = nullptr");
            const SaveFileParam& s = *pstSaveFileParam;
            return fmt::format("bRawHeaderEnabled={}, enImageType={}, nDataLen={}, nHeight={}, nWidth={}, "
                               "nPixelFormat=0x{:x}, nQuality={}, pImagePath={}",
                               s.bRawHeaderEnabled, s.enImageType, s.nDataLen, s.nHeight, s.nWidth, s.nPixelFormat,
                               s.nQuality, fmt::string_view(s.pImagePath, strnlen(s.pImagePath, QX_MAX_PATH_LEN)));
        });
}

QX_STATUS QX_CALL QX_StartRecord(QX_DEV_HANDLE handle, RecordParam* pstRecordParam) {
    return runHandleExport(
        "QX_StartRecord", kInfo, handle, Release::BeforeEndLine,
        [&] { require(pstRecordParam != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) { return p.videoRecorder()->start(*pstRecordParam); },
        [&] {
            if (!pstRecordParam) return std::string("pstRecordParam = nullptr");
            const RecordParam& r = *pstRecordParam;
            return fmt::format("enPixelType=0x{:x}, nWidth={}, nHeight={}, nBpp={}, fFrameRate={}, "
                               "enRecordFmtType={}, strFilePath={}, bRawHeaderEnabled={}",
                               r.enPixelType, r.nWidth, r.nHeight, r.nBpp, r.fFrameRate, r.enRecordFmtType,
                               textOrNull(r.strFilePath), r.bRawHeaderEnabled);
        });
}

QX_STATUS QX_CALL QX_RecordFrame(QX_DEV_HANDLE handle, RecordFrameInfo* pstRecordFrameInfo) {
    return runHandleExport(
        "QX_RecordFrame", kInfo, handle, Release::BeforeEndLine,
        [&] { require(pstRecordFrameInfo != nullptr, QX_ERR_INVALID_PARAM); },
        [&](DeviceProxy& p) { return p.videoRecorder()->write(*pstRecordFrameInfo); },
        [&] {
            if (!pstRecordFrameInfo) return std::string("pstRecordFrameInfo = nullptr");
            return fmt::format("pData={}, nDataLen={}", ptr(pstRecordFrameInfo->pData), pstRecordFrameInfo->nDataLen);
        });
}

QX_STATUS QX_CALL QX_StopRecord(QX_DEV_HANDLE handle) {
    return runHandleExport(QX_FUNC, kInfo, handle, Release::AfterEndLine, noChecks,
                           [&](DeviceProxy& p) { return p.videoRecorder()->stop(); });
}

// ---- version -----------------------------------------------------------------------------

uint32_t QX_CALL QX_GetSdkVersion(void) {
    static const char* const func = QX_FUNC;
    uint32_t version = kSdkVersion;
    catchStatus(func, [&] {
        version = getDeviceManager()->getSdkVersion();
        return QX_OK;
    });
    QX_LOG_INFO("func:{} start");
    const auto start = sys::SteadyClock::now();
    QX_LOG_INFO("func:{} end, spent:{}ms, ret=0x{:x}", sys::elapsedMs(start), version);
    return version;
}
