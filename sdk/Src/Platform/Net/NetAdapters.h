// The host's IPv4 network adapters, read from getifaddrs: every address of an interface that is
// up and has a broadcast address or is the loopback, with the interface's MAC address (from its
// packet-family entry) and MTU (SIOCGIFMTU). Addresses are in network byte order.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qx::net {

struct NetAdapter {
    uint32_t ip = 0;
    uint32_t mask = 0;
    std::string name;
    uint8_t mac[8] = {};
    uint32_t mtu = 0;
    bool loopback = false;
};

// Fills `out` in the system's order; returns 0 or an errno value.
int listIpv4Adapters(std::vector<NetAdapter>& out);

// MTU of the adapter that owns `ip`, or 0 when no adapter has that address.
uint32_t adapterMtu(uint32_t ip);

} // namespace qx::net
