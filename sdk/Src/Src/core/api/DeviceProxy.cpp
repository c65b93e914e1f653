#include "core/api/DeviceProxy.h"

#include "core/base/DeviceBase.h"
#include "core/api/FileAccess.h"
#include "core/api/Transports.h"
#include "feature/FeatureBase.h"
#include "imageout/ImageSaver.h"
#include "imageout/recorder/VideoRecorder.h"
#include "Sys/Log.h"

using namespace qx::imageout;

using namespace qx::imageout::recorder;

namespace qx::core::api {

using namespace qx::feature;

DeviceProxy::DeviceProxy(DeviceInfo* info) {
    const qx::core::api::TransportHooks& hooks = qx::core::api::transportHooks();
    if (info->nTLayerType == QX_TLAYER_GIGE) m_device = hooks.makeGige(*info);
    else m_device = hooks.makeUsb3(*info);
    m_feature = std::make_unique<FeatureBase>(m_device.get());
    m_device->setDeviceInfo(info);
}

DeviceProxy::~DeviceProxy() {
    // Output objects and the file access first, then the feature access, the camera last.
    m_saver.reset();
    m_recorder.reset();
    m_fileAccess.reset();
    m_feature.reset();
    m_device.reset();
}

FileAccessBase* DeviceProxy::fileAccess() {
    if (m_fileAccess) return m_fileAccess.get();
    const DeviceInfo* info = m_device->getDeviceInfo();
    const int32_t type = info ? info->nTLayerType : 0;
    if (type == QX_TLAYER_GIGE) {
        m_fileAccess = std::make_unique<GigeFileAccess>(m_device->getProtocol());
    } else if (type == QX_TLAYER_USB3) {
        m_fileAccess = std::make_unique<QxUsb3FileAccess>(m_device->getProtocol());
    } else {
        QX_LOG_ERROR("func:{}, unknown pstDevInfo->nTLayerType:{}", type);
    }
    return m_fileAccess.get();
}

ImageSaver* DeviceProxy::imageSaver() {
    if (!m_saver) m_saver = std::make_unique<ImageSaver>();
    return m_saver.get();
}

VideoRecorder* DeviceProxy::videoRecorder() {
    if (!m_recorder) m_recorder = std::make_unique<VideoRecorder>();
    return m_recorder.get();
}

} // namespace qx::core::api
