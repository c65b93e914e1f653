// GigE Vision cameras as enumeration records: one discovery run of the GigE Vision library
// (GigeDevice::enumDevice), each answer turned into a DeviceInfo. The enumeration hook of the
// core calls it.
#pragma once
#include "QxCamApi.h"

#include <cstdint>
#include <vector>

namespace qx {

// Appends one record per camera that answered a discovery run of `timeoutMs`, in the order
// of the discovery result; appends nothing when discovery fails.
void enumGigeDevices(std::vector<DeviceInfo>& list, uint16_t timeoutMs);

} // namespace qx
