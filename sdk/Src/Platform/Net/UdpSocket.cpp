#include "Net/UdpSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace qx::net {

namespace {
sockaddr_in makeAddress(uint32_t ip, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = ip;
    sa.sin_port = htons(port);
    return sa;
}
} // namespace

UdpSocket::~UdpSocket() { close(); }

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

int UdpSocket::open(uint32_t bindIp, uint16_t port, const UdpSocketOptions& options) {
    close();
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return errno;
    auto fail = [fd](int err) {
        ::close(fd);
        return err;
    };
    int one = 1;
    if (options.reuseAddress && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return fail(errno);
    sockaddr_in sa = makeAddress(bindIp, port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return fail(errno);
    if (options.broadcast && ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) return fail(errno);
    m_fd = fd;
    if (options.receiveBufferBytes > 0) {
        int err = setReceiveBuffer(options.receiveBufferBytes);
        if (err != 0) {
            m_fd = -1;
            return fail(err);
        }
    }
    return 0;
}

int UdpSocket::localPort(uint16_t* port) const {
    if (m_fd < 0) return EBADF;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return errno;
    *port = ntohs(sa.sin_port);
    return 0;
}

long UdpSocket::sendTo(uint32_t ip, uint16_t port, const void* data, size_t length, int* error) {
    if (m_fd < 0) {
        if (error) *error = EBADF;
        return -1;
    }
    sockaddr_in sa = makeAddress(ip, port);
    ssize_t n;
    do {
        n = ::sendto(m_fd, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && error) *error = errno;
    return static_cast<long>(n);
}

WaitResult UdpSocket::waitReadable(int timeoutMs, int* error) {
    UdpSocket* self = this;
    size_t ready = 0;
    return waitAnyReadable(&self, 1, timeoutMs, &ready, error);
}

WaitResult UdpSocket::waitAnyReadable(UdpSocket* const* sockets, size_t count, int timeoutMs, size_t* ready,
                                      int* error) {
    std::vector<pollfd> fds(count);
    for (size_t i = 0; i < count; ++i) {
        if (!sockets[i] || sockets[i]->m_fd < 0) {
            if (error) *error = EBADF;
            return WaitResult::Error;
        }
        fds[i] = pollfd{sockets[i]->m_fd, POLLIN, 0};
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) left = 0;
        int r = ::poll(fds.data(), fds.size(), static_cast<int>(left));
        if (r > 0) {
            for (size_t i = 0; i < count; ++i) {
                if (fds[i].revents & (POLLIN | POLLERR)) {
                    *ready = i;
                    return WaitResult::Readable;
                }
            }
            if (error) *error = EIO;
            return WaitResult::Error;
        }
        if (r == 0) return WaitResult::Timeout;
        if (errno != EINTR) {
            if (error) *error = errno;
            return WaitResult::Error;
        }
    }
}

Datagram UdpSocket::receive(void* buffer, size_t capacity) {
    Datagram d;
    if (m_fd < 0) {
        d.error = EBADF;
        return d;
    }
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ssize_t n;
    do {
        n = ::recvfrom(m_fd, buffer, capacity, MSG_TRUNC | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        d.error = errno;
        return d;
    }
    d.length = static_cast<long>(n);
    d.copied = static_cast<size_t>(n) < capacity ? static_cast<size_t>(n) : capacity;
    d.truncated = static_cast<size_t>(n) > capacity;
    d.sourceIp = sa.sin_addr.s_addr;
    d.sourcePort = ntohs(sa.sin_port);
    return d;
}

int UdpSocket::receiveBatch(uint8_t* buffers, size_t capacity, Datagram* out, int count, int* error) {
    if (m_fd < 0) {
        if (error) *error = EBADF;
        return -1;
    }
    constexpr int kMax = 64;
    if (count > kMax) count = kMax;
    mmsghdr msgs[kMax];
    iovec iovs[kMax];
    sockaddr_in from[kMax];
    for (int i = 0; i < count; ++i) {
        iovs[i].iov_base = buffers + size_t(i) * capacity;
        iovs[i].iov_len = capacity;
        msgs[i] = mmsghdr{};
        msgs[i].msg_hdr.msg_iov = &iovs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &from[i];
        msgs[i].msg_hdr.msg_namelen = sizeof from[i];
    }
    int n;
    do {
        // MSG_TRUNC: each msg_len is the datagram's real size, also when it was cut.
        n = ::recvmmsg(m_fd, msgs, static_cast<unsigned>(count), MSG_DONTWAIT | MSG_TRUNC, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (error) *error = errno;
        return -1;
    }
    for (int i = 0; i < n; ++i) {
        Datagram& d = out[i];
        d = Datagram{};
        const size_t real = msgs[i].msg_len;
        d.length = static_cast<long>(real);
        d.truncated = real > capacity || (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
        d.copied = real < capacity ? real : capacity;
        d.sourceIp = from[i].sin_addr.s_addr;
        d.sourcePort = ntohs(from[i].sin_port);
    }
    return n;
}

int UdpSocket::setReceiveBuffer(int bytes) {
    int granted = 0;
    if (int err = requestReceiveBuffer(bytes, &granted)) return err;
    return granted >= bytes ? 0 : ENOBUFS;
}

int UdpSocket::requestReceiveBuffer(int bytes, int* granted) {
    *granted = 0;
    if (m_fd < 0) return EBADF;
    // A privileged process may go beyond the system maximum; everybody else gets at most it.
    if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0 &&
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0)
        return errno;
    int reported = 0;
    if (int err = receiveBuffer(&reported)) return err;
    *granted = reported / 2;
    return 0;
}

int UdpSocket::receiveBuffer(int* bytes) const {
    if (m_fd < 0) return EBADF;
    socklen_t len = sizeof *bytes;
    return ::getsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, bytes, &len) == 0 ? 0 : errno;
}

int UdpSocket::pendingBytes() const {
    int n = 0;
    if (m_fd < 0 || ::ioctl(m_fd, FIONREAD, &n) != 0) return -1;
    return n;
}

int UdpSocket::joinMulticast(uint32_t group, uint32_t ifaceIp) {
    if (m_fd < 0) return EBADF;
    ip_mreq m{};
    m.imr_multiaddr.s_addr = group;
    m.imr_interface.s_addr = ifaceIp;
    return ::setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0 ? 0 : errno;
}

void UdpSocket::close() {
    if (m_fd < 0) return;
    ::shutdown(m_fd, SHUT_WR);
    ::close(m_fd);
    m_fd = -1;
}

const char* errorText(int error) { return std::strerror(error); }

} // namespace qx::net
