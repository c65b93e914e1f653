// Internal failures are thrown as the bare status value and caught at the exported function,
// whose result they become.
#pragma once
#include "QxCamApi.h"

namespace qx::core::api {

[[noreturn]] inline void throwStatus(QX_STATUS status) { throw static_cast<QX_STATUS>(status); }

// Throws `status` unless `condition` holds.
inline void require(bool condition, QX_STATUS status) {
    if (!condition) throwStatus(status);
}

} // namespace qx::core::api
