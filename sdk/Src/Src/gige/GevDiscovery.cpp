// Discovery of cameras on every adapter, the privilege probe that fills each entry's access
// byte, and FORCEIP. Discovery reads each datagram into a 64 KiB buffer and learns its real
// length, so an acknowledge of the wrong size is always seen as one.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include "gige/GevDiscovery.h"
#include "gige/GevRecord.h"
#include "Net/NetAdapters.h"
#include "Sys/ByteOrder.h"

namespace qx::gige {

namespace {

constexpr uint32_t kBroadcast = 0xFFFFFFFFu;
constexpr uint32_t kDefaultTimeoutMs = 2000;
constexpr int kPassMs = 100;
constexpr int kDiscoveryReceiveBuffer = 1 << 20;

// Progress of the discovery in progress (one at a time).
std::atomic<uint64_t> g_progressTotalMs{0};
std::atomic<int64_t> g_progressStartMs{0};

uint32_t progressPercent() {
    const uint64_t total = g_progressTotalMs.load();
    if (total == 0) return 100;
    const int64_t elapsed = std::max<int64_t>(0, gevNowMs() - g_progressStartMs.load());
    return static_cast<uint32_t>(std::min<uint64_t>(100, uint64_t(elapsed) * 100 / total));
}

// Copies a text of at most `width` characters into a zeroed field of the same width.
void copyField(char* dst, const char* src, size_t width) {
    std::memset(dst, 0, width);
    std::memcpy(dst, src, strnlen(src, width));
}

void fillAdapter(GevDiscoveryEntry& e, const GevAdapterEntry& a) {
    e.AdapterIp = a.Ip;
    e.AdapterMask = a.Mask;
    copyField(e.AdapterName, a.Name, sizeof e.AdapterName);
    std::memcpy(e.AdapterMac, a.Mac, sizeof e.AdapterMac);
}

GevDiscoveryEntry entryFromAck(const gvcp::DiscoveryInfo& info, const GevAdapterEntry& a) {
    GevDiscoveryEntry e{};
    e.CameraIp = info.currentIp;
    copyField(e.ManufacturerName, info.manufacturer, sizeof e.ManufacturerName);
    copyField(e.ModelName, info.model, sizeof e.ModelName);
    copyField(e.DeviceVersion, info.deviceVersion, sizeof e.DeviceVersion);
    std::memcpy(e.Mac, info.mac, 6);
    e.SubnetMask = info.currentMask;
    e.Gateway = info.gateway;
    copyField(e.SerialNumber, info.serialNumber, sizeof e.SerialNumber);
    copyField(e.UserDefinedName, info.userName, sizeof e.UserDefinedName);
    fillAdapter(e, a);
    return e;
}

GevDiscoveryEntry incorrectEntry(uint32_t senderIp, const GevAdapterEntry& a) {
    GevDiscoveryEntry e{};
    e.CameraIp = senderIp;
    copyField(e.ManufacturerName, "---", sizeof e.ManufacturerName);
    copyField(e.ModelName, "Discovery Acknowledge Incorrect", sizeof e.ModelName);
    fillAdapter(e, a);
    return e;
}

// The camera IP's stored bytes read least significant byte first: the last octet weighs most.
uint32_t sortKey(uint32_t ip) { return qx::sys::loadLe32(&ip); }

void sortEntries(GevDiscoveryEntry* entries, size_t n) {
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j)
            if (sortKey(entries[j].CameraIp) < sortKey(entries[i].CameraIp)) std::swap(entries[i], entries[j]);
}

void toEntry(GevAdapterEntry& out, const qx::net::NetAdapter& a) {
    out = GevAdapterEntry{};
    out.Ip = a.ip;
    out.Mask = a.mask;
    copyField(out.Name, a.name.c_str(), sizeof out.Name - 1);
    std::memcpy(out.Mac, a.mac, sizeof out.Mac);
}

} // namespace

GevStatus gevSendForceIp(qx::net::UdpSocket& socket, uint16_t devicePort, uint32_t ip, uint32_t mask, uint32_t gateway,
                         const uint8_t mac[6], uint32_t currentIp) {
    gvcp::ForceIpRequest request;
    std::memcpy(request.mac, mac, 6);
    request.ip = ip;
    request.mask = mask;
    request.gateway = gateway;
    constexpr uint16_t kRequestId = 1;
    const auto command = gvcp::encodeForceIpCmd(kRequestId, request);
    const uint16_t port = devicePort;
    if (ip == 0)  // the camera restarts its configuration; nothing answers
        return socket.sendTo(kBroadcast, port, command.data(), command.size()) == long(command.size())
                   ? GEV_STATUS_SUCCESS
                   : GEV_STATUS_SEND_ERROR;
    GevStatus result = GEV_STATUS_TIMEOUT;
    std::vector<uint8_t> buffer(gvcp::kMaxDatagram);
    // Only the camera's answer to this request counts: its id, from the address the camera was
    // given or the one it had. Datagrams of other devices are skipped without ending the wait.
    auto fromCamera = [&](uint32_t sender) { return sender == ip || (currentIp != 0 && sender == currentIp); };
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (socket.sendTo(kBroadcast, port, command.data(), command.size()) != long(command.size()))
            return GEV_STATUS_SEND_ERROR;
        const int64_t deadline = gevNowMs() + gevOptions().ForceIpWaitMs;
        for (;;) {
            int err = 0;
            const int64_t left = std::max<int64_t>(0, deadline - gevNowMs());
            auto wait = socket.waitReadable(static_cast<int>(left), &err);
            if (wait == qx::net::WaitResult::Error) {
                GevReport("[E] FORCEIP select produced an error %d", err);
                return GEV_STATUS_SOCKET_ERROR;
            }
            if (wait == qx::net::WaitResult::Timeout) {
                GevReport("[W] FORCEIP select timed out");
                result = GEV_STATUS_TIMEOUT;
                break;
            }
            qx::net::Datagram d = socket.receive(buffer.data(), buffer.size());
            if (!d.ok()) {
                if (d.error == EAGAIN || d.error == EWOULDBLOCK) continue;
                result = GEV_STATUS_RECEIVE_ERROR;
                break;
            }
            gvcp::AckHeader h;
            if (!fromCamera(d.sourceIp) || !gvcp::decodeAckHeader(buffer.data(), d.copied, &h) || h.ackId != kRequestId)
                continue;
            if (h.answer == gvcp::kForceIpAck) return h.status; // a failure status is the result
            result = GEV_STATUS_INVALID_ACK;
            break;
        }
    }
    return result;
}

} // namespace qx::gige

using namespace qx::gige;

GevStatus GevGetSystemAdapterList(GevAdapterList* list) {
    if (!list) return GEV_STATUS_INVALID_PARAMETER;
    list->Count = 0;
    std::vector<qx::net::NetAdapter> adapters;
    if (qx::net::listIpv4Adapters(adapters) != 0) return GEV_STATUS_CANNOT_GET_ADAPTER_INFO;
    for (const auto& a : adapters) {
        if (list->Count >= GEV_MAX_ADAPTERS) break;
        toEntry(list->Adapters[list->Count++], a);
    }
    return GEV_STATUS_SUCCESS;
}

GevStatus GetAdapterList(GevAdapterList* list) {
    if (!list) return GEV_STATUS_INVALID_PARAMETER;
    const GevLibraryOptions& options = gevOptions();
    if (options.AdapterProvider) {
        list->Count = 0;
        return options.AdapterProvider(list, options.AdapterProviderUser);
    }
    return GevGetSystemAdapterList(list);
}

GevStatus ReadAccessStatus(uint32_t cameraIp, uint32_t adapterIp, uint32_t adapterMask, uint16_t localPort,
                           uint32_t firstTimeoutMs, uint8_t* access) {
    if (!access) return GEV_STATUS_SUCCESS;
    if ((adapterIp & adapterMask) != (cameraIp & adapterMask)) {
        *access = GEV_ACCESS_OTHER_SUBNET;
        return GEV_STATUS_SUCCESS;
    }
    GevStatus st = GEV_STATUS_TIMEOUT;
    uint32_t value = 0;
    qx::net::UdpSocket socket;
    uint8_t buffer[gvcp::kMaxDatagram / 64];
    if (socket.open(adapterIp, localPort) != 0) {
        st = GEV_STATUS_CANNOT_CREATE_SOCKET;
    } else {
        const uint32_t ccp = gvcp::reg::kCcp;
        uint32_t wait = firstTimeoutMs;
        for (uint16_t id = 1; id <= 3; ++id, wait *= 2) {
            const auto command = gvcp::encodeReadRegCmd(id, &ccp, 1);
            if (socket.sendTo(cameraIp, gevOptions().DeviceGvcpPort, command.data(), command.size()) !=
                long(command.size())) {
                st = GEV_STATUS_SEND_ERROR;
                break;
            }
            const int64_t deadline = gevNowMs() + wait;
            bool answered = false;
            while (!answered) {
                const int64_t left = std::max<int64_t>(0, deadline - gevNowMs());
                auto w = socket.waitReadable(static_cast<int>(left));
                if (w == qx::net::WaitResult::Timeout) {
                    st = GEV_STATUS_TIMEOUT;
                    break;
                }
                if (w == qx::net::WaitResult::Error) {
                    st = GEV_STATUS_SOCKET_ERROR;
                    answered = true;
                    break;
                }
                qx::net::Datagram d = socket.receive(buffer, sizeof buffer);
                if (!d.ok()) {
                    st = GEV_STATUS_RECEIVE_ERROR;
                    answered = true;
                    break;
                }
                gvcp::AckHeader h;
                if (d.sourceIp != cameraIp || !gvcp::decodeAckHeader(buffer, d.copied, &h)) continue;
                answered = true;
                if (h.status != GEV_STATUS_SUCCESS)
                    st = h.status;
                else if (h.answer == gvcp::kReadRegAck && gvcp::decodeReadRegAck(buffer, d.copied, &value, 1) == 1)
                    st = GEV_STATUS_SUCCESS;
                else
                    st = GEV_STATUS_INVALID_ACK;
            }
            if (answered) break;
        }
    }
    if (st == GEV_STATUS_ACCESS_DENIED)
        *access = GEV_ACCESS_EXCLUSIVE_OR_DENIED;
    else if (st != GEV_STATUS_SUCCESS)
        *access = GEV_ACCESS_READ_FAILED;
    else if (value & gvcp::kCcpControl)
        *access = GEV_ACCESS_CONTROL_HELD;
    else
        *access = static_cast<uint8_t>(value & gvcp::kCcpExclusive);
    return GEV_STATUS_SUCCESS;
}

GevStatus DiscoverOnAdapter(GevDiscoveryList* list, const GevAdapterEntry* adapter, GevDiscoveryCallback callback,
                            uint32_t timeoutMs, uint8_t allowBroadcastAck, uint16_t localPort) {
    if (!adapter) return GEV_STATUS_INVALID_PARAMETER;
    if (list) list->Count = 0;
    const GevAdapterEntry& a = *adapter;
    const uint32_t timeout = timeoutMs ? timeoutMs : kDefaultTimeoutMs;
    const bool ownProgress = g_progressTotalMs.load() == 0;
    if (ownProgress) {
        g_progressTotalMs = timeout;
        g_progressStartMs = gevNowMs();
    }
    struct ProgressReset {
        bool own;
        ~ProgressReset() {
            if (own) g_progressTotalMs = 0;
        }
    } progressReset{ownProgress};

    qx::net::UdpSocket socket;
    qx::net::UdpSocketOptions options;
    options.broadcast = true;
    if (socket.open(a.Ip, localPort, options) != 0) {
        GevReport("[E] Create socket failed. Adapter: %s, Ip: %08X", a.Name, a.Ip);
        return GEV_STATUS_CANNOT_CREATE_SOCKET;
    }
    // Room for a burst of answers; where the system allows less, its default stays.
    const int receiveBuffer = kDiscoveryReceiveBuffer;
    setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    // A socket bound to the adapter's address sees no datagram sent to the broadcast address:
    // broadcast acknowledges arrive on a second socket bound to it with the same port. Every
    // receiving socket is open before the command goes out, so that no early answer is lost.
    qx::net::UdpSocket broadcastAcks;
    std::vector<qx::net::UdpSocket*> sockets{&socket};
    uint16_t boundPort = 0;
    if (allowBroadcastAck && socket.localPort(&boundPort) == 0) {
        qx::net::UdpSocketOptions reuse;
        reuse.reuseAddress = true;
        if (broadcastAcks.open(kBroadcast, boundPort, reuse) == 0) sockets.push_back(&broadcastAcks);
    }

    const auto command = gvcp::encodeDiscoveryCmd(1, allowBroadcastAck != 0);
    if (socket.sendTo(kBroadcast, gevOptions().DeviceGvcpPort, command.data(), command.size()) != long(command.size())) {
        GevReport("[E] Send discovery command failed. Adapter: %s, Ip: %08X", a.Name, a.Ip);
        return GEV_STATUS_SEND_ERROR;
    }

    std::vector<GevDiscoveryEntry> found;
    std::vector<bool> incorrect; // per entry of `found`: made from a malformed acknowledge
    std::vector<uint8_t> buffer(gvcp::kMaxDatagram);
    GevStatus result = GEV_STATUS_SUCCESS;
    const int64_t start = gevNowMs();
    for (;;) {
        int err = 0;
        size_t ready = 0;
        auto wait = qx::net::UdpSocket::waitAnyReadable(sockets.data(), sockets.size(), kPassMs, &ready, &err);
        if (wait == qx::net::WaitResult::Error) {
            GevReport("[E] Socket error receive discovery acknowledge. Adapter: %s, Ip: %08X", a.Name, a.Ip);
            result = GEV_STATUS_SOCKET_ERROR;
            break;
        }
        if (wait == qx::net::WaitResult::Readable) {
            qx::net::Datagram d = sockets[ready]->receive(buffer.data(), buffer.size());
            if (!d.ok() && d.error != EAGAIN && d.error != EWOULDBLOCK) {
                GevReport("[E] Receive discovery acknowledge failed. Adapter: %s, Ip: %08X", a.Name, a.Ip);
                result = GEV_STATUS_RECEIVE_ERROR;
                break;
            }
            gvcp::AckHeader h;
            if (d.ok() && gvcp::decodeAckHeader(buffer.data(), d.copied, &h) && h.answer == gvcp::kDiscoveryAck) {
                bool accept = true;
                GevDiscoveryEntry entry{};
                gvcp::DiscoveryInfo info;
                const bool wellFormed = d.length == long(gvcp::kDiscoveryAckSize) &&
                                        gvcp::decodeDiscoveryAck(buffer.data(), d.copied, &info);
                if (wellFormed) {
                    if (!allowBroadcastAck && (a.Mask & a.Ip) != (info.currentIp & info.currentMask)) accept = false;
                    for (size_t i = 0; i < found.size(); ++i)
                        if (!incorrect[i] && found[i].CameraIp == info.currentIp) accept = false;
                    if (accept) entry = entryFromAck(info, a);
                } else {
                    // Malformed acknowledges count once per sender, however many it sends.
                    for (size_t i = 0; i < found.size(); ++i)
                        if (incorrect[i] && found[i].CameraIp == d.sourceIp) accept = false;
                    if (accept) entry = incorrectEntry(d.sourceIp, a);
                }
                if (accept && found.size() >= GEV_MAX_DISCOVERED) {
                    // Full: a camera takes the place of a malformed entry; anything else waits
                    // for no room. The search goes on to its end either way.
                    auto it = std::find(incorrect.begin(), incorrect.end(), true);
                    if (wellFormed && it != incorrect.end()) {
                        found.erase(found.begin() + (it - incorrect.begin()));
                        incorrect.erase(it);
                    } else {
                        accept = false;
                    }
                }
                if (accept) {
                    if (h.status != GEV_STATUS_SUCCESS) result = h.status;
                    if (!list) {
                        entry.Access = GEV_ACCESS_NOT_DETERMINED;
                        if (callback) callback(progressPercent(), &entry);
                    }
                    found.push_back(entry);
                    incorrect.push_back(!wellFormed);
                }
            }
        }
        if (callback) callback(progressPercent(), nullptr);
        if (gevNowMs() - start >= int64_t(timeout)) break;
    }
    socket.close();
    broadcastAcks.close();

    if (list) {
        for (auto& e : found)
            ReadAccessStatus(e.CameraIp, a.Ip, a.Mask, localPort, gevOptions().AccessProbeFirstTimeoutMs, &e.Access);
        list->Count = static_cast<uint8_t>(std::min<size_t>(found.size(), GEV_MAX_DISCOVERED));
        std::copy(found.begin(), found.begin() + list->Count, list->Entries);
        sortEntries(list->Entries, list->Count);
    }
    return result;
}

GevStatus GEVDiscovery(GevDiscoveryList* list, GevDiscoveryCallback callback, uint32_t timeoutMs,
                       uint8_t allowBroadcastAck, uint16_t localPort) {
    if (list) list->Count = 0;
    auto adapters = std::make_unique<GevAdapterList>();
    if (GevStatus st = GetAdapterList(adapters.get())) return st;
    if (adapters->Count == 0) return GEV_STATUS_SUCCESS;
    const uint32_t timeout = timeoutMs ? timeoutMs : kDefaultTimeoutMs;
    g_progressTotalMs = uint64_t(timeout) * adapters->Count;
    g_progressStartMs = gevNowMs();

    GevStatus overall = GEV_STATUS_SUCCESS;
    auto block = list ? std::make_unique<GevDiscoveryList>() : nullptr;
    for (int i = 0; i < adapters->Count; ++i) {
        GevStatus st = DiscoverOnAdapter(block.get(), &adapters->Adapters[i], callback, timeoutMs, allowBroadcastAck,
                                         localPort);
        if (st != GEV_STATUS_SUCCESS) overall = st;
        if (list)
            for (int j = 0; j < block->Count && list->Count < GEV_MAX_DISCOVERED; ++j)
                list->Entries[list->Count++] = block->Entries[j];
    }
    g_progressTotalMs = 0;
    if (list) sortEntries(list->Entries, list->Count);
    return overall;
}

GevStatus GEVForceIp(uint32_t ip, uint32_t mask, uint32_t gateway, const uint8_t mac[6], uint32_t adapterIp) {
    return GEVForceIpEx(ip, mask, gateway, mac, adapterIp, 0);
}

GevStatus GEVForceIpEx(uint32_t ip, uint32_t mask, uint32_t gateway, const uint8_t mac[6], uint32_t adapterIp,
                       uint32_t currentIp) {
    if (!mac) return GEV_STATUS_INVALID_PARAMETER;
    qx::net::UdpSocket socket;
    qx::net::UdpSocketOptions options;
    options.broadcast = true;
    if (socket.open(adapterIp, 0, options) != 0) return GEV_STATUS_CANNOT_CREATE_SOCKET;
    return gevSendForceIp(socket, gevOptions().DeviceGvcpPort, ip, mask, gateway, mac, currentIp);
}
