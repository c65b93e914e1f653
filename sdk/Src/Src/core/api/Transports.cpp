#include "core/api/Transports.h"

#include "core/base/DeviceBase.h"
#include "core/base/SdkConfig.h"
#include "gige/device/GigeDevice.h"
#include "Sys/Log.h"
#include "usb3/device/QxUsb3Device.h"
#include "usb3/QxUsb3EnumHelper.h"

using namespace qx::usb3;

using namespace qx::usb3::device;

using namespace qx::gige::device;

using namespace qx::feature;

using namespace qx::core::base;

namespace qx::core::api {
namespace {

// A camera whose transport is not built into this library: it can be made, inspected and
// deleted, but every transport operation answers "not supported".
class UnsupportedTransportDevice final : public DeviceBase {
public:
    ~UnsupportedTransportDevice() override { shutdownThreads(); }
    QX_STATUS connectDevice(int32_t) override { return QX_ERR_NOT_SUPPORTED; }
    QX_STATUS disconnectDevice() override { return QX_ERR_NOT_SUPPORTED; }
    QX_STATUS startGrabbing(FeatureBase*) override { return QX_ERR_NOT_SUPPORTED; }
    QX_STATUS stopGrabbing() override { return QX_ERR_NOT_SUPPORTED; }
    QX_STATUS readMemory(void*, int64_t, int64_t, int32_t) override { return QX_ERR_NOT_SUPPORTED; }
    QX_STATUS writeMemory(void*, int64_t, int64_t, int32_t) override { return QX_ERR_NOT_SUPPORTED; }
};

} // namespace

TransportHooks defaultTransportHooks() {
    TransportHooks hooks;
    hooks.enumGige = [](std::vector<DeviceInfo>& list, uint16_t timeoutMs, const std::atomic<bool>& interrupt) {
        GigeDevice::enumDevice(timeoutMs, list, &interrupt);
    };
    hooks.enumUsb3 = [](std::vector<DeviceInfo>& list) {
        g_usb3EnumHelper.setXmlDirectory([] { return getQxUsb3XmlPath(getSdkConfig()); });
        enumUsb3Device(list);
    };
    hooks.makeGige = [](const DeviceInfo&) -> std::unique_ptr<DeviceBase> { return std::make_unique<GigeDevice>(); };
    hooks.makeUsb3 = [](const DeviceInfo&) -> std::unique_ptr<DeviceBase> { return std::make_unique<QxUsb3Device>(); };
    return hooks;
}

TransportHooks& transportHooks() {
    static TransportHooks hooks = defaultTransportHooks();
    return hooks;
}

ScopedTransportHooks::ScopedTransportHooks(TransportHooks hooks) : m_saved(transportHooks()) {
    transportHooks() = std::move(hooks);
}

ScopedTransportHooks::~ScopedTransportHooks() { transportHooks() = std::move(m_saved); }

} // namespace qx::core::api
