#include "DeviceProxy.h"

#include "DeviceBase.h"
#include "FeatureBase.h"
#include "ImageSaver.h"
#include "VideoRecorder.h"
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
    m_saver.reset();
    m_recorder.reset();
    m_feature.reset();
    m_device.reset();
}

ImageSaver* DeviceProxy::imageSaver() {
    if (!m_saver) m_saver = std::make_unique<ImageSaver>();
    return m_saver.get();
}

VideoRecorder* DeviceProxy::videoRecorder() {
    if (!m_recorder) m_recorder = std::make_unique<VideoRecorder>();
    return m_recorder.get();
}
