// The GigE Vision library's channel upkeep for an open camera: the heartbeat timeout the
// heartbeat thread works to, and the test packets that find the largest stream packet size
// that reaches the host whole. Same conventions as GevCamera.h: a camera number, a GevStatus.
#pragma once
#include <cstdint>

#include "gige/GevStatus.h"

// Register 0x0938 (device heartbeat timeout, ms).
GevStatus GEVGetHeartbeatTimeout(uint8_t cam_nr, int32_t* timeoutMs);
// Writes max(ms, 500) to 0x0938; the heartbeat then runs a round at once and every
// timeout / 3 ms from then on.
GevStatus GEVSetHeartbeatTimeout(uint8_t cam_nr, uint32_t ms);

// Has the camera fire one test packet of *packetSize bytes (IP, UDP and GVSP headers and
// payload; 0: the current SCPS0 value) with the do-not-fragment bit set. On return *packetSize
// is the size of the packet that arrived, or 0 when none arrived (status 0) or on any failure.
// A packet whose payload breaks the camera's LFSR pattern gives GEV_STATUS_TEST_PACKET_DATA_ERROR.
GevStatus GEVTestPacket(uint8_t cam_nr, uint32_t* packetSize);
// Searches the largest packet size between minimum and min(maximum or 20000, adapter MTU) in
// steps of max(step, 4) bytes with test packets; *packetSize is 0 when none arrived.
GevStatus GEVTestFindMaxPacketSize(uint8_t cam_nr, uint16_t* packetSize, uint32_t minimum, uint32_t maximum,
                                   uint32_t step);
