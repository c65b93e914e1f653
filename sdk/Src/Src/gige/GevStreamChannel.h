// Stream-channel hooks of GEVInit and GEVClose (installed in gevDefaultSeams) and the state the
// heartbeat side reads. Internal to the library.
#pragma once
#include <cstdint>

#include "GevStatus.h"

namespace qx::gige {

void gevStreamInit(uint8_t cam);
void gevStreamOpenQueue(uint8_t cam);
GevStatus gevStreamStop(uint8_t cam);
void gevStreamClose(uint8_t cam);
// The camera's stream-channel source port (0: none), to which keep-open datagrams go.
uint16_t gevStreamSourcePort(uint8_t cam);

} // namespace qx::gige
