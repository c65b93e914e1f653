#include "DeviceProxy.h"

#include "DeviceBase.h"
#include "FeatureBase.h"
#include "Transports.h"

DeviceProxy::DeviceProxy(DeviceInfo* info) {
    const qx::TransportHooks& hooks = qx::transportHooks();
    if (info->nTLayerType == QX_TLAYER_GIGE) m_device = hooks.makeGige(*info);
    else m_device = hooks.makeUsb3(*info);
    m_feature = std::make_unique<FeatureBase>(m_device.get());
    m_device->setDeviceInfo(info);
}

DeviceProxy::~DeviceProxy() {
    // Output objects first, then the feature access, the camera last.
    m_feature.reset();
    m_device.reset();
}
