#include "usb3/QxUsb3UserProtocol.h"

#include "Sys/ByteOrder.h"
#include "usb3/UsbLinkWire.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace qx::usb3 {

namespace {

using Clock = std::chrono::steady_clock;

int64_t elapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

} // namespace

QxUsb3UserProtocol::QxUsb3UserProtocol() { m_addressHighByteFirst = true; }

bool QxUsb3UserProtocol::read(uint32_t address, void* buffer, uint32_t length, uint32_t timeoutMs) {
    return transaction(DirRead, address, static_cast<uint8_t*>(buffer), length, timeoutMs);
}

bool QxUsb3UserProtocol::write(uint32_t address, const void* buffer, uint32_t length, uint32_t timeoutMs) {
    // The write path only reads the caller's bytes.
    return transaction(DirWrite, address, const_cast<uint8_t*>(static_cast<const uint8_t*>(buffer)), length, timeoutMs);
}

bool QxUsb3UserProtocol::writeMessage(uint32_t address, const void* bytes, uint32_t length, uint32_t timeoutMs) {
    return transaction(length == 4 ? DirWrite : DirWriteMessage, address,
                       const_cast<uint8_t*>(static_cast<const uint8_t*>(bytes)), length, timeoutMs);
}

bool QxUsb3UserProtocol::transaction(Direction direction, uint32_t address, uint8_t* buffer, uint32_t length,
                                     uint32_t timeoutMs) {
    requireTransport();
    qx::sys::MutexLock lock(m_transactionMutex);
    const Clock::time_point start = Clock::now();
    int64_t remaining = timeoutMs;
    const Clock::time_point deadline = start + std::chrono::milliseconds(timeoutMs);
    for (int attempt = 1; attempt <= kMaxExchanges; ++attempt) {
        // A reply still owed would be read as this request's: it is waited for first.
        if (!settleOwed(deadline)) return false;
        if (exchange(direction, address, buffer, length)) return true;
        // A message the camera may hold in part, or whole without its answer having come, is
        // not sent again: the camera would join the copy to what it has. Only a message it
        // refused is repeated.
        if (direction == DirWriteMessage && !m_refused) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kRetrySleepMs));
        remaining -= elapsedMs(start);
        if (remaining <= 0) return false;
    }
    return false;
}

bool QxUsb3UserProtocol::exchange(Direction direction, uint32_t address, uint8_t* buffer, uint32_t length) {
    m_request.clear();
    m_refused = false;
    std::memset(m_reply, 0, sizeof(m_reply));
    m_replyLength = 0;
    // A message is acknowledged like a write.
    m_direction = direction == DirWriteMessage ? DirWrite : direction;
    if (buffer == nullptr) return false;

    const uint16_t wireAddress = static_cast<uint16_t>(address & 0xFFFFu);
    if (direction == DirWriteMessage) {
        if (length == 0 || length > kMaxMessage) return false;
        m_request = qx::usb3::encodeRegProtoWriteMessage(wireAddress, buffer, length);
    } else if (direction == DirWrite) {
        if (length < 4) return false;
        const uint32_t value = qx::sys::loadLe32(buffer);
        m_request = qx::usb3::encodeRegProtoWrite(wireAddress, value);
    } else {
        m_request = qx::usb3::encodeRegProtoRead(wireAddress);
    }

    if (m_drain) m_drain();
    if (!sendBytes(m_request.data(), static_cast<int>(m_request.size()))) return false;
    if (!collectReply()) {
        // The rest of the reply may still come: it is owed.
        // A refusal (any first byte but the acknowledge) is two bytes long.
        const bool refused = m_replyLength > 0 && m_reply[0] != qx::usb3::kRegProtoAck;
        m_refused = refused;
        const int32_t needed = refused ? 2 : m_direction == DirWrite ? 1 : 5;
        m_owedBytes += std::max<int32_t>(needed - m_replyLength, 0);
        m_owedUntil = Clock::now() + std::chrono::milliseconds(kLateReplyWindowMs);
        return false;
    }
    if (m_reply[0] != qx::usb3::kRegProtoAck) {
        m_refused = true;
        return false;
    }
    if (m_direction == DirWrite) return true;
    if (length < 4 || m_replyLength < int32_t(qx::usb3::reg_proto::kReplySize)) return false;
    // The register's bytes go to the caller in the order the camera holds them, least
    // significant first.
    qx::sys::storeLe32(buffer, qx::usb3::reg_proto::ReplyValue::get(m_reply, size_t(m_replyLength)));
    return true;
}

bool QxUsb3UserProtocol::collectReply() {
    int32_t needed = m_direction == DirWrite ? 1 : 5;
    const Clock::time_point start = Clock::now();
    for (;;) {
        uint8_t chunk[kBufferSize];
        int count = kBufferSize;
        if (receiveBytes(chunk, count)) {
            // Never trust the delivered count beyond the capacity that was offered.
            count = std::clamp(count, 0, kBufferSize);
            const int32_t room = kBufferSize - m_replyLength;
            const int32_t take = std::min<int32_t>(count, room);
            if (take > 0) {
                std::memcpy(m_reply + m_replyLength, chunk, size_t(take));
                m_replyLength += take;
            }
        }
        if (m_direction == DirWrite && m_replyLength > 0 && m_reply[0] != qx::usb3::kRegProtoAck) needed = 2;
        if (m_replyLength >= needed) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(kReplyPollSleepMs));
        if (elapsedMs(start) > kReplyWindowMs) return false;
    }
}

bool QxUsb3UserProtocol::settleOwed(Clock::time_point deadline) {
    while (m_owedBytes > 0) {
        const Clock::time_point now = Clock::now();
        if (now >= m_owedUntil) {
            m_owedBytes = 0; // never came: lost
            break;
        }
        if (now >= deadline) return false;
        uint8_t chunk[kBufferSize];
        int count = kBufferSize;
        if (receiveBytes(chunk, count)) {
            m_owedBytes -= std::clamp(count, 0, kBufferSize);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(kReplyPollSleepMs));
        }
    }
    m_owedBytes = 0;
    // Whatever came beyond the owed replies answers no request.
    if (m_drain) m_drain();
    return true;
}

bool QxUsb3UserProtocol::settle(uint32_t budgetMs) {
    requireTransport();
    qx::sys::MutexLock lock(m_transactionMutex);
    if (m_owedBytes <= 0) return true;
    const bool settled = settleOwed(Clock::now() + std::chrono::milliseconds(budgetMs));
    m_owedBytes = 0; // the device is given back: what it still owes is no longer counted
    return settled;
}

bool QxUsb3UserProtocol::open() {
    // A new connection starts from a quiet channel with nothing owed.
    qx::sys::MutexLock lock(m_transactionMutex);
    m_owedBytes = 0;
    if (m_drain) m_drain();
    return true;
}

int32_t QxUsb3UserProtocol::owedBytes() {
    qx::sys::MutexLock lock(m_transactionMutex);
    return m_owedBytes;
}

} // namespace qx::usb3
