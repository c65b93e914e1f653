// DeviceProxy: everything one opened camera needs, owned in one place. A handle of the C
// interface is the address of its DeviceProxy. The camera and its feature access live as
// long as the handle; the file access, the image saver and the video recorder are made on
// first use.
#pragma once
#include "QxCamApi.h"

#include <memory>

namespace qx::core::base {
class DeviceBase;
} // namespace qx::core::base
namespace qx::feature {
class FeatureBase;
} // namespace qx::feature
namespace qx::imageout {
class ImageSaver;
} // namespace qx::imageout
namespace qx::imageout::recorder {
class VideoRecorder;
} // namespace qx::imageout::recorder

namespace qx::core::api {

class FileAccessBase;

class DeviceProxy {
public:
    // Builds the camera object for the record's transport and its feature access; `info`
    // is the handle's own copy of the record and outlives the proxy.
    explicit DeviceProxy(DeviceInfo* info);
    virtual ~DeviceProxy();
    DeviceProxy(const DeviceProxy&) = delete;
    DeviceProxy& operator=(const DeviceProxy&) = delete;

    qx::core::base::DeviceBase* getDevice() const { return m_device.get(); }
    qx::feature::FeatureBase* getFeature() const { return m_feature.get(); }
    // Made on first use, destroyed with the handle. fileAccess answers null for a record of
    // an unknown transport.
    FileAccessBase* fileAccess();
    qx::imageout::ImageSaver* imageSaver();
    qx::imageout::recorder::VideoRecorder* videoRecorder();

private:
    std::unique_ptr<qx::core::base::DeviceBase> m_device;
    std::unique_ptr<qx::feature::FeatureBase> m_feature;
    std::unique_ptr<FileAccessBase> m_fileAccess;
    std::unique_ptr<qx::imageout::recorder::VideoRecorder> m_recorder;
    std::unique_ptr<qx::imageout::ImageSaver> m_saver;
};

} // namespace qx::core::api
