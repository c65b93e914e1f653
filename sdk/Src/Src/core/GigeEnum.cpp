#include "GigeEnum.h"

#include "GigeDevice.h"

namespace qx {

void enumGigeDevices(std::vector<DeviceInfo>& list, uint16_t timeoutMs) { GigeDevice::enumDevice(timeoutMs, list); }

} // namespace qx
