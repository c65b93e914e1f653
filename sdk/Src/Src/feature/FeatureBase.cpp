#include "FeatureBase.h"

#include "DeviceBase.h"

// Node access needs the GenICam node-map engine; until it is connected here every node
// operation answers "not supported" and the register ports forward straight to the camera.

FeatureBase::FeatureBase(DeviceBase* device) : m_device(device) {}
FeatureBase::~FeatureBase() = default;

QX_STATUS FeatureBase::getNodeAccessMode(const char*, int32_t*) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::getNodeInterfaceType(const char*, int32_t*) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::getIntValue(const char*, IntValueInfo*) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::setIntValue(const char*, int64_t) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::getEnumValue(const char*, EnumValueInfo*) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::setEnumValue(const char*, uint32_t) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::getEnumValueStr(const char*, EnumStrValueInfo*) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::setEnumValueStr(const char*, const char*) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::getFloatValue(const char*, FloatValueInfo*) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::setFloatValue(const char*, float) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::getBoolValue(const char*, bool*) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::setBoolValue(const char*, bool) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::getStringValue(const char*, StringValueInfo*) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::setStringValue(const char*, const char*) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::executeCommand(const char*) { return QX_ERR_NOT_SUPPORTED; }

void FeatureBase::readPort(void* buffer, int64_t address, int64_t length, int32_t portType) {
    m_lastPortStatus.store(m_device->readMemory(buffer, address, length, portType));
}

void FeatureBase::writePort(void* buffer, int64_t address, int64_t length, int32_t portType) {
    m_lastPortStatus.store(m_device->writeMemory(buffer, address, length, portType));
}

QX_STATUS FeatureBase::initNodeMap() { return QX_OK; }
QX_STATUS FeatureBase::getNodeTree(NodeInfoList*) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::registerNodeCallback(QX_NODE_UPDATED_CALLBACK, void*) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::setNodeMapPoll(bool, uint32_t) { return QX_ERR_NOT_SUPPORTED; }
QX_STATUS FeatureBase::getNodeMapPoll(bool*, int32_t*) { return QX_ERR_NOT_SUPPORTED; }
