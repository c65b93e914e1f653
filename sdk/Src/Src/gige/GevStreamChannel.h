// Stream-channel hooks of GEVInit and GEVClose (installed in gevDefaultSeams) and the state the
// heartbeat side reads. Internal to the library.
#pragma once
#include <cstdint>

#include "gige/GevStatus.h"

namespace qx::gige {

void gevStreamInit(uint8_t cam);
void gevStreamOpenQueue(uint8_t cam);
GevStatus gevStreamStop(uint8_t cam);
void gevStreamClose(uint8_t cam);
// The camera's stream-channel source port (0: none), to which keep-open datagrams go.
uint16_t gevStreamSourcePort(uint8_t cam);

// Bytes one frame occupies on the stream socket: payload plus the headers of its packets
// (`overhead` per packet, leader and trailer included).
uint64_t gevStreamFrameBytes(uint32_t payloadSize, uint32_t packets, uint32_t overhead);
// The stream socket's receive buffer for a stream: two frames, at least 1 MiB, at most 64 MiB.
int gevStreamReceiveBufferBytes(uint32_t payloadSize, uint32_t packets, uint32_t overhead);

} // namespace qx::gige
