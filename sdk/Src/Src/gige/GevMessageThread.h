// The process-wide message channel: one UDP socket (gevMessageChannel()) and one thread that
// receives the asynchronous events of every open camera, acknowledges them, hands each to the
// camera's event callback (or reports it library-wide when none is installed), and sends the
// periodic keep-alive datagrams that keep each camera's message channel source port open.
// Which cameras the thread serves changes only through the functions below, under the
// message channel's records lock, so the thread never reads a record that is being torn down
// and never calls an event callback after its camera's message channel was detached.
#pragma once
#include <cstdint>
#include <string>

#include "gige/GevRecord.h"

namespace qx::gige {

constexpr size_t kMessageDatagramMax = 576; // one receive buffer for every camera
constexpr int kMessageWaitMs = 100;         // bounds the delay of the stop flag and keep-alives

// The thread's hooks of gevDefaultSeams(); called under gevMessageChannel().mutex.
bool gevMessageThreadStart();
void gevMessageThreadStop(uint32_t waitMs);
void GevMessageThread();

// The bound port of the message socket (0 when none).
uint16_t gevMessagePort();
// The camera's message channel is set up: the thread serves it from now on.
void gevMessageChannelAttach(GevCameraRecord& rec);
// The camera's message channel goes away (GEVClose, roll back): once this returns, the thread
// neither reads the record nor calls its event callback.
void gevMessageChannelDetach(GevCameraRecord& rec);
// A new message channel source port (0: none). A non-zero port gets one keep-open datagram
// at once, and the thread's next keep-alive is due immediately.
void gevMessageSetSourcePort(GevCameraRecord& rec, uint16_t port);

// The library-wide report text of an event that has no callback to go to ("" when the ack
// text is empty), as the thread makes it.
std::string gevEventReportText(uint8_t cam, uint16_t eventId, uint16_t requestId, bool acknowledged);

} // namespace qx::gige
