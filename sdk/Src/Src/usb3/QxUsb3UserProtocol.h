// QxUsb3UserProtocol: the register protocol a USB3 camera speaks on its byte channel. The host
// sends 'R' with a 16-bit address, or 'W' with the address and four data bytes; the camera
// answers 0x06, followed for a read by the four data bytes. Addresses and data travel most
// significant byte first; the caller's buffer holds the register value little-endian.
//
// One transaction (read or write) runs at a time per object. A failed exchange is retried:
// after each failure the protocol sleeps 10 ms and takes the time since the start of the
// transaction off the remaining time-out; it gives up when none is left or after the fourth
// exchange. Nothing is logged here: callers turn a false answer into their own status.
// Before each request the channel is drained (when a drain function is set), so a reply that
// came after its own transaction gave up is never taken for the next request's reply.
#pragma once
#include "core/base/ProtocolBase.h"
#include "Sys/Mutex.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qx::usb3 {

// Device paths (lower case, as in the device records) of the USB3 cameras a camera object of
// this process has connected, and the mutex that guards the set. Connect and disconnect take
// it, and enumeration holds it throughout, so enumeration sees a camera either connected or
// not. Defined with the rest of the USB3 enumeration state (QxUsb3EnumHelper.cpp).
extern qx::sys::Mutex g_connectedGuidSetMutex;
extern std::set<std::string> g_connectedGuidSet QX_GUARDED_BY(g_connectedGuidSetMutex);

class QxUsb3UserProtocol : public qx::core::base::ProtocolBase {
public:
    static constexpr int kMaxExchanges = 4;
    static constexpr int kRetrySleepMs = 10;
    static constexpr int kReplyPollSleepMs = 3;
    static constexpr int kReplyWindowMs = 100;
    static constexpr int kBufferSize = 64;
    static constexpr uint32_t kMaxMessage = 4096;

    QxUsb3UserProtocol();
    ~QxUsb3UserProtocol() override = default;

    // Starts the connection from a drained channel with no reply owed.
    bool open() override;
    bool close() override { return true; }
    // Reads the 32-bit register at the low 16 bits of `address` into buffer[0..3]. Fails
    // (after the exchange) when `length` is below 4.
    bool read(uint32_t address, void* buffer, uint32_t length, uint32_t timeoutMs) override;
    // Writes buffer[0..3] to the register at the low 16 bits of `address`. A `length` below 4
    // fails without sending anything.
    bool write(uint32_t address, const void* buffer, uint32_t length, uint32_t timeoutMs) override;
    // A message (such as those of the file-send protocol) travels whole in one request: 'W' and
    // the address followed by the bytes as they are. It is repeated only when the camera
    // refused it: a camera that may hold part or all of it would join a copy to that. Four
    // bytes are written as write does. A `length` of 0, or above kMaxMessage, fails without
    // sending anything.
    bool writeMessage(uint32_t address, const void* bytes, uint32_t length, uint32_t timeoutMs) override;

    bool addressHighByteFirst() const { return m_addressHighByteFirst; }
    // Discards whatever the byte channel holds, without waiting.
    void setDrain(std::function<void()> drain) { m_drain = std::move(drain); }

    // The byte channel has no framing: a reply is known only by its place in the stream. A
    // request whose reply did not come in time leaves that reply owed, and the camera may
    // still send it; until it has come (or is given up as lost, kLateReplyWindowMs after the
    // request) no new request goes out, so no access takes a reply meant for another.
    static constexpr int kLateReplyWindowMs = 2000;
    // Waits up to `budgetMs` for the owed replies and discards them; true when none is owed
    // any more. Called before the device is given back, so the next user starts from a quiet
    // channel.
    bool settle(uint32_t budgetMs);
    // Bytes of replies still owed.
    int32_t owedBytes();

private:
    enum Direction : int32_t { DirRead = 0, DirWrite = 1, DirWriteMessage = 2 };

    bool transaction(Direction direction, uint32_t address, uint8_t* buffer, uint32_t length, uint32_t timeoutMs);
    bool exchange(Direction direction, uint32_t address, uint8_t* buffer, uint32_t length)
        QX_REQUIRES(m_transactionMutex);
    bool collectReply() QX_REQUIRES(m_transactionMutex);
    bool settleOwed(std::chrono::steady_clock::time_point deadline) QX_REQUIRES(m_transactionMutex);

    qx::sys::Mutex m_transactionMutex;
    int32_t m_direction QX_GUARDED_BY(m_transactionMutex) = DirRead;
    std::vector<uint8_t> m_request QX_GUARDED_BY(m_transactionMutex);
    uint8_t m_reply[kBufferSize] QX_GUARDED_BY(m_transactionMutex) = {};
    int32_t m_replyLength QX_GUARDED_BY(m_transactionMutex) = 0;
    int32_t m_owedBytes QX_GUARDED_BY(m_transactionMutex) = 0;
    // The last exchange failed because the camera refused the request.
    bool m_refused QX_GUARDED_BY(m_transactionMutex) = false;
    std::chrono::steady_clock::time_point m_owedUntil QX_GUARDED_BY(m_transactionMutex);
    bool m_addressHighByteFirst = false;
    std::function<void()> m_drain;
};

} // namespace qx::usb3
