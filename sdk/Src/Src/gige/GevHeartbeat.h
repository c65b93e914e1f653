// The heartbeat thread of a camera opened with exclusive or control access, and the channel
// reconnection it performs: rebuilding the control socket after socket errors, restoring the
// privilege and the stream and message channel settings a camera has reset, and keeping the
// stream channel's firewall hole open. GEVInit and GEVClose reach it through the heartbeat
// hooks (GevSeams.h); everything here runs on the camera's record.
#pragma once
#include <cstdint>

#include "gige/GevRecord.h"

namespace qx::gige {

// A round is never shorter than this, whatever the period (a device heartbeat timeout of 0
// would otherwise make the thread spin).
constexpr uint32_t kMinHeartbeatWaitMs = 10;
// Consecutive failed CCP reads that end the connection.
constexpr int kHeartbeatMaxFailures = 5;
// Keep-open datagram for the stream and message channel source ports.
constexpr uint32_t kKeepOpenWord = 0x12345678;

using GevHeartbeatRoutine = void (*)(GevCameraRecord* rec);

// Clears the stop flag and the event and starts the thread (GevHeartbeatThread unless a
// routine is given) on the record; false when no thread could be created.
bool StartHeartbeatThread(GevCameraRecord& rec, GevHeartbeatRoutine routine = nullptr);
// Asks the thread to stop, waits up to waitMs for it to finish, then joins it: the thread's
// every wait is bounded, so the join always ends, and the record never outlives a running
// thread. Clears the heartbeat-running flag.
void StopHeartbeatThread(GevCameraRecord& rec, uint32_t waitMs);
void GevHeartbeatThread(GevCameraRecord* rec);

void ReconnectSocket(GevCameraRecord& rec);
void ReconnectStreamChannel(GevCameraRecord& rec);
void ReconnectMessageChannel(GevCameraRecord& rec);

// Sends the keep-open datagram from the stream socket to the camera's stream-channel source
// port and notes the time; false when there is no open stream socket or no source port, or
// the send failed (logged).
bool gevSendStreamKeepOpen(GevCameraRecord& rec);

// The heartbeat hooks of gevDefaultSeams().
GevStatus gevHeartbeatStart(uint8_t cam);
void gevHeartbeatStop(uint8_t cam, uint32_t waitMs);

} // namespace qx::gige
