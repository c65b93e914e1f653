// FeatureBase: access to a camera's GenICam features by node name. One object per handle,
// built by the handle's DeviceProxy with the handle's camera; every register access the
// node map makes goes through the camera's readMemory/writeMemory.
#pragma once
#include "QxCamApi.h"

#include <atomic>
#include <cstdint>

class DeviceBase;

class FeatureBase {
public:
    explicit FeatureBase(DeviceBase* device);
    virtual ~FeatureBase();
    FeatureBase(const FeatureBase&) = delete;
    FeatureBase& operator=(const FeatureBase&) = delete;

    virtual QX_STATUS getNodeAccessMode(const char* key, int32_t* mode);
    virtual QX_STATUS getNodeInterfaceType(const char* key, int32_t* type);
    virtual QX_STATUS getIntValue(const char* key, IntValueInfo* info);
    virtual QX_STATUS setIntValue(const char* key, int64_t value);
    virtual QX_STATUS getEnumValue(const char* key, EnumValueInfo* info);
    virtual QX_STATUS setEnumValue(const char* key, uint32_t value);
    virtual QX_STATUS getEnumValueStr(const char* key, EnumStrValueInfo* info);
    virtual QX_STATUS setEnumValueStr(const char* key, const char* value);
    virtual QX_STATUS getFloatValue(const char* key, FloatValueInfo* info);
    virtual QX_STATUS setFloatValue(const char* key, float value);
    virtual QX_STATUS getBoolValue(const char* key, bool* value);
    virtual QX_STATUS setBoolValue(const char* key, bool value);
    virtual QX_STATUS getStringValue(const char* key, StringValueInfo* info);
    virtual QX_STATUS setStringValue(const char* key, const char* value);
    virtual QX_STATUS executeCommand(const char* key);
    virtual void readPort(void* buffer, int64_t address, int64_t length, int32_t portType);
    virtual void writePort(void* buffer, int64_t address, int64_t length, int32_t portType);

    QX_STATUS initNodeMap();
    QX_STATUS getNodeTree(NodeInfoList* list);
    QX_STATUS registerNodeCallback(QX_NODE_UPDATED_CALLBACK callback, void* user);
    QX_STATUS setNodeMapPoll(bool enabled, uint32_t intervalMs);
    QX_STATUS getNodeMapPoll(bool* enabled, int32_t* intervalMs);

protected:
    DeviceBase* m_device;
    std::atomic<uint32_t> m_lastPortStatus{0};
};
