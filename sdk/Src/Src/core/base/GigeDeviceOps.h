// The GigE-only settings a camera offers through the QX_GIGE_ functions and the heartbeat
// follow-up of QX_XML_SetIntValue. A camera object that does not implement it is not a
// GigE camera, and those functions answer "not supported".
#pragma once
#include "QxCamApi.h"

namespace qx::core::base {

class GigeDeviceOps {
public:
    virtual ~GigeDeviceOps() = default;
    virtual QX_STATUS gigeForceIp(uint32_t ip, uint32_t mask, uint32_t gateway) = 0;
    virtual QX_STATUS setIpConfig(int32_t kind, uint32_t ip, uint32_t mask, uint32_t gateway) = 0;
    virtual QX_STATUS setPacketResend(bool enable, uint8_t percent, uint16_t timeoutMs) = 0;
    virtual QX_STATUS getPacketResend(bool* enable, uint8_t* percent, uint16_t* timeoutMs) = 0;
    virtual QX_STATUS setFilterDriver(bool enable) = 0;
    virtual bool isFilterDriverEnabled() const = 0;
    virtual QX_STATUS setHeartbeatTimeout(int64_t timeoutMs) = 0;
};

} // namespace qx::core::base
