// ProtocolBase: a device register protocol, spoken over a byte channel of the camera. The
// camera that owns it gives it a receive and a send function; read and write then run whole
// request-reply transactions through them. The USB3 camera's register path of port type 0 and
// the file sending of the file access go through it.
#pragma once
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <utility>

namespace qx::core::base {

class ProtocolBase {
public:
    // Receives into `buffer`: `count` is the capacity on entry and the number of bytes
    // delivered on return.
    using ReceiveFunction = std::function<bool(uint8_t* buffer, int& count)>;
    // Sends `count` bytes in one call.
    using SendFunction = std::function<bool(const uint8_t* bytes, int count)>;

    ProtocolBase() = default;
    virtual ~ProtocolBase() = default;
    ProtocolBase(const ProtocolBase&) = delete;
    ProtocolBase& operator=(const ProtocolBase&) = delete;

    // Hook called after the device is opened.
    virtual bool open() { return true; }
    // Hook called before the device is closed.
    virtual bool close() { return true; }
    virtual bool read(uint32_t address, void* buffer, uint32_t length, uint32_t timeoutMs) = 0;
    virtual bool write(uint32_t address, const void* buffer, uint32_t length, uint32_t timeoutMs) = 0;
    // Writes a whole message (of any length) to one address in one request, so the camera takes
    // it, or a retry repeats it, as a whole. The default is write.
    virtual bool writeMessage(uint32_t address, const void* bytes, uint32_t length, uint32_t timeoutMs) {
        return write(address, bytes, length, timeoutMs);
    }

    // Sets both functions together. Set them before the first transaction; a transaction run
    // without them is a programming error and throws std::logic_error.
    void setTransport(ReceiveFunction receive, SendFunction send) {
        m_receive = std::move(receive);
        m_send = std::move(send);
    }
    bool hasTransport() const { return m_receive && m_send; }

protected:
    // Throws std::logic_error when a function is missing.
    void requireTransport() const {
        if (!hasTransport()) throw std::logic_error("ProtocolBase: transaction without send/receive functions");
    }
    bool receiveBytes(uint8_t* buffer, int& count) const {
        requireTransport();
        return m_receive(buffer, count);
    }
    bool sendBytes(const uint8_t* bytes, int count) const {
        requireTransport();
        return m_send(bytes, count);
    }

private:
    ReceiveFunction m_receive;
    SendFunction m_send;
};

} // namespace qx::core::base
