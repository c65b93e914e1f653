// UdpSocket: an IPv4 UDP socket owned by one object (closed by its destructor), with the few
// operations the GigE Vision code needs: bind, send to an address, wait for readability with
// poll, receive one datagram while learning its real size (MSG_TRUNC), and buffer options.
// Addresses are uint32 values in network byte order (as in a sockaddr_in); ports are host order.
#pragma once
#include <cstddef>
#include <cstdint>

namespace qx::net {

struct UdpSocketOptions {
    bool broadcast = false;     // SO_BROADCAST, set after binding
    bool reuseAddress = false;  // SO_REUSEADDR, set before binding
    int receiveBufferBytes = 0; // SO_RCVBUF to demand; 0 keeps the system default
};

enum class WaitResult { Readable, Timeout, Error };

// One received datagram. `length` is the datagram's real size, which exceeds `copied` when the
// caller's buffer was too small (then `truncated` is set). `error` is an errno value or 0.
struct Datagram {
    long length = -1;
    size_t copied = 0;
    bool truncated = false;
    uint32_t sourceIp = 0;
    uint16_t sourcePort = 0;
    int error = 0;
    bool ok() const { return error == 0 && length >= 0; }
};

class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&& other) noexcept;

    // Creates the socket and binds it to ip:port (port 0: any free port). Any failing step
    // closes the socket again. Returns 0 or the errno value of the failed step.
    int open(uint32_t bindIp, uint16_t port, const UdpSocketOptions& options = {});
    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // The port the socket is bound to; returns 0 or an errno value.
    int localPort(uint16_t* port) const;

    // Sends one datagram; returns the bytes sent or -1 with *error set.
    long sendTo(uint32_t ip, uint16_t port, const void* data, size_t length, int* error = nullptr);

    // Waits until a datagram can be read, at most timeoutMs (interrupted waits resume with the
    // time left).
    WaitResult waitReadable(int timeoutMs, int* error = nullptr);

    // Waits until one of `count` sockets can be read; *ready is its index.
    static WaitResult waitAnyReadable(UdpSocket* const* sockets, size_t count, int timeoutMs, size_t* ready,
                                      int* error = nullptr);

    // Reads one datagram without blocking. A datagram larger than `capacity` is cut, and its
    // real size is reported.
    Datagram receive(void* buffer, size_t capacity);

    // Reads up to `count` waiting datagrams without blocking, in one system call (recvmmsg):
    // datagram i goes to buffers + i * capacity and is described in out[i] as by receive() (a
    // datagram larger than `capacity` is cut and its real size reported). Returns how many were
    // read, 0 when none waits, or -1 with *error set.
    int receiveBatch(uint8_t* buffers, size_t capacity, Datagram* out, int count, int* error = nullptr);

    // Demands a receive buffer of at least `bytes`; 0 when the system granted that much (Linux
    // reports twice what it grants), ENOBUFS when it granted less, or an errno value.
    int setReceiveBuffer(int bytes);
    // Asks for a receive buffer of `bytes`: SO_RCVBUFFORCE where the process may go beyond the
    // system maximum (CAP_NET_ADMIN), else SO_RCVBUF, which the system caps at
    // net.core.rmem_max. *granted receives what the socket holds now as payload bytes (half of
    // what Linux reports). Returns 0 or an errno value.
    int requestReceiveBuffer(int bytes, int* granted);
    int receiveBuffer(int* bytes) const;

    // Bytes waiting in the receive queue (FIONREAD), or -1.
    int pendingBytes() const;

    // Joins an IPv4 multicast group on the interface that owns ifaceIp; 0 or an errno value.
    int joinMulticast(uint32_t group, uint32_t ifaceIp);

    // Shuts the socket down for sending, then closes it.
    void close();

private:
    int m_fd = -1;
};

// Text for an errno value, for log lines.
const char* errorText(int error);

} // namespace qx::net
