// The library's status for what its sockets answered. The socket layer (Net/UdpSocket.h) gives a
// WaitResult for a wait and an errno in the Datagram of a receive; this is the one place where
// they become a GevStatus. A short send is GEV_STATUS_SEND_ERROR wherever it happens.
#pragma once
#include <cerrno>

#include "gige/GevStatus.h"
#include "Net/UdpSocket.h"

namespace qx::gige {

// A wait: readable is success, a time-out GEV_STATUS_TIMEOUT, a failed wait GEV_STATUS_SOCKET_ERROR.
inline GevStatus gevSocketStatus(qx::net::WaitResult wait) {
    switch (wait) {
    case qx::net::WaitResult::Readable: return GEV_STATUS_SUCCESS;
    case qx::net::WaitResult::Timeout: return GEV_STATUS_TIMEOUT;
    case qx::net::WaitResult::Error: break;
    }
    return GEV_STATUS_SOCKET_ERROR;
}

// A receive: a datagram is success, and so is nothing queued after all (EAGAIN: the caller waits
// again); any other failure is GEV_STATUS_RECEIVE_ERROR.
inline GevStatus gevSocketStatus(const qx::net::Datagram& received) {
    if (received.ok() || received.error == EAGAIN || received.error == EWOULDBLOCK) return GEV_STATUS_SUCCESS;
    return GEV_STATUS_RECEIVE_ERROR;
}

} // namespace qx::gige
