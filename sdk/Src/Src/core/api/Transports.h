// The seam between the SDK core and its transports: how cameras are discovered and how the
// camera object of a handle is made. The GigE and USB3 camera classes install their hooks
// here; tests install a test transport.
#pragma once
#include "QxCamApi.h"

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace qx::core::base {
class DeviceBase;
} // namespace qx::core::base

namespace qx::core::api {

struct TransportHooks {
    // Appends one record per GigE Vision camera that answered a discovery run of `timeoutMs`;
    // ends early, appending nothing, once `interrupt` is set.
    std::function<void(std::vector<DeviceInfo>& list, uint16_t timeoutMs, const std::atomic<bool>& interrupt)> enumGige;
    // Appends one record per USB3 camera present.
    std::function<void(std::vector<DeviceInfo>& list)> enumUsb3;
    // Make the camera object for a record of the transport (nTLayerType 1 or 2).
    std::function<std::unique_ptr<qx::core::base::DeviceBase>(const DeviceInfo& info)> makeGige;
    std::function<std::unique_ptr<qx::core::base::DeviceBase>(const DeviceInfo& info)> makeUsb3;
};

// The hooks in force. Defaults: the transports built into the library.
TransportHooks& transportHooks();
TransportHooks defaultTransportHooks();

// Installs `hooks` for the life of the object and restores the previous ones afterwards.
class ScopedTransportHooks {
public:
    explicit ScopedTransportHooks(TransportHooks hooks);
    ~ScopedTransportHooks();
    ScopedTransportHooks(const ScopedTransportHooks&) = delete;
    ScopedTransportHooks& operator=(const ScopedTransportHooks&) = delete;

private:
    TransportHooks m_saved;
};

} // namespace qx::core::api
