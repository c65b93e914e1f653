#include "Net/NetAdapters.h"

#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qx::net {

namespace {
uint32_t interfaceMtu(const char* name) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    ifreq req{};
    std::strncpy(req.ifr_name, name, IFNAMSIZ - 1);
    uint32_t mtu = ::ioctl(fd, SIOCGIFMTU, &req) == 0 ? static_cast<uint32_t>(req.ifr_mtu) : 0;
    ::close(fd);
    return mtu;
}
} // namespace

int listIpv4Adapters(std::vector<NetAdapter>& out) {
    out.clear();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return errno;
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
        if (!(it->ifa_flags & IFF_UP) || !(it->ifa_flags & (IFF_BROADCAST | IFF_LOOPBACK))) continue;
        NetAdapter a;
        a.ip = reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr;
        if (a.ip == 0) continue;
        if (it->ifa_netmask) a.mask = reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr;
        a.name = it->ifa_name;
        a.loopback = (it->ifa_flags & IFF_LOOPBACK) != 0;
        // An alias address ("eth0:1") belongs to the device before the colon.
        const std::string device = a.name.substr(0, a.name.find(':'));
        for (ifaddrs* p = list; p; p = p->ifa_next) {
            if (!p->ifa_addr || p->ifa_addr->sa_family != AF_PACKET || device != p->ifa_name) continue;
            const auto* ll = reinterpret_cast<const sockaddr_ll*>(p->ifa_addr);
            std::memcpy(a.mac, ll->sll_addr, ll->sll_halen < 8 ? ll->sll_halen : 8);
            break;
        }
        a.mtu = interfaceMtu(device.c_str());
        out.push_back(std::move(a));
    }
    ::freeifaddrs(list);
    return 0;
}

uint32_t adapterMtu(uint32_t ip) {
    std::vector<NetAdapter> adapters;
    if (listIpv4Adapters(adapters) != 0) return 0;
    for (const auto& a : adapters)
        if (a.ip == ip) return a.mtu;
    return 0;
}

} // namespace qx::net
