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
#include "gige/GevSocketStatus.h"
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
    if (ip == 0) // the camera restarts its configuration; nothing answers
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
            const GevStatus waited = gevSocketStatus(socket.waitReadable(static_cast<int>(left), &err));
            if (waited == GEV_STATUS_SOCKET_ERROR) {
                QX_GEV_REPORT("[E] FORCEIP select produced an error {}", err);
                return waited;
            }
            if (waited == GEV_STATUS_TIMEOUT) {
                QX_GEV_REPORT("[W] FORCEIP select timed out");
                result = waited;
                break;
            }
            qx::net::Datagram d = socket.receive(buffer.data(), buffer.size());
            if (!d.ok()) {
                const GevStatus received = gevSocketStatus(d);
                if (received == GEV_STATUS_SUCCESS) continue;
                result = received;
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

namespace qx::gige {
namespace {

bool stopped(const std::atomic<bool>* stop) { return stop && stop->load(); }

// The access byte from the privilege read's outcome.
uint8_t accessOf(GevStatus st, uint32_t value) {
    if (st == GEV_STATUS_ACCESS_DENIED) return GEV_ACCESS_EXCLUSIVE_OR_DENIED;
    if (st != GEV_STATUS_SUCCESS) return GEV_ACCESS_READ_FAILED;
    if (value & gvcp::kCcpControl) return GEV_ACCESS_CONTROL_HELD;
    return static_cast<uint8_t>(value & gvcp::kCcpExclusive);
}

// One camera whose privilege register is read.
struct Probe {
    GevDiscoveryEntry* entry;
    size_t adapter; // index of the adapter's socket
    GevStatus status = GEV_STATUS_TIMEOUT;
    uint32_t value = 0;
    bool done = false;
};

// Reads the privilege register of every entry at once: each attempt sends to every camera not
// answered yet, then waits for the answers (first wait `firstTimeoutMs`, doubling, three
// attempts), so the probes of a round cost at most the three waits however many cameras there
// are. A camera outside its adapter's subnet gets GEV_ACCESS_OTHER_SUBNET without traffic.
// `adapters[i]` is the adapter of the entries in `entries[i]`. A stop leaves the entries not
// probed yet GEV_ACCESS_NOT_DETERMINED.
void probeAccess(const std::vector<const GevAdapterEntry*>& adapters,
                 const std::vector<std::vector<GevDiscoveryEntry>*>& entries, uint16_t localPort,
                 uint32_t firstTimeoutMs, const std::atomic<bool>* stop) {
    std::vector<Probe> probes;
    for (size_t i = 0; i < adapters.size(); ++i)
        for (auto& e : *entries[i]) {
            const GevAdapterEntry& a = *adapters[i];
            if ((a.Ip & a.Mask) != (e.CameraIp & a.Mask)) {
                e.Access = GEV_ACCESS_OTHER_SUBNET;
                continue;
            }
            probes.push_back(Probe{&e, i});
        }
    if (probes.empty()) return;

    std::vector<qx::net::UdpSocket> sockets(adapters.size());
    std::vector<qx::net::UdpSocket*> open;
    std::vector<size_t> openAdapter;
    for (size_t i = 0; i < adapters.size(); ++i) {
        bool needed = false;
        for (const auto& p : probes) needed = needed || p.adapter == i;
        if (!needed) continue;
        if (sockets[i].open(adapters[i]->Ip, localPort) != 0) {
            for (auto& p : probes)
                if (p.adapter == i) p.status = GEV_STATUS_CANNOT_CREATE_SOCKET, p.done = true;
            continue;
        }
        open.push_back(&sockets[i]);
        openAdapter.push_back(i);
    }

    const uint32_t ccp = gvcp::reg::kCcp;
    std::vector<uint8_t> buffer(gvcp::kMaxDatagram / 64);
    uint32_t wait = firstTimeoutMs;
    for (uint16_t id = 1; id <= 3 && !stopped(stop); ++id, wait *= 2) {
        const auto command = gvcp::encodeReadRegCmd(id, &ccp, 1);
        size_t pending = 0;
        for (auto& p : probes) {
            if (p.done) continue;
            if (sockets[p.adapter].sendTo(p.entry->CameraIp, gevOptions().DeviceGvcpPort, command.data(),
                                          command.size()) != long(command.size())) {
                p.status = GEV_STATUS_SEND_ERROR;
                p.done = true;
                continue;
            }
            ++pending;
        }
        const int64_t deadline = gevNowMs() + wait;
        while (pending > 0 && !stopped(stop)) {
            const int64_t left = deadline - gevNowMs();
            if (left <= 0) break;
            size_t ready = 0;
            const GevStatus waited = gevSocketStatus(qx::net::UdpSocket::waitAnyReadable(
                open.data(), open.size(), static_cast<int>(std::min<int64_t>(left, kPassMs)), &ready));
            if (waited == GEV_STATUS_TIMEOUT) continue;
            if (waited != GEV_STATUS_SUCCESS) {
                for (auto& p : probes)
                    if (!p.done) p.status = waited, p.done = true;
                pending = 0;
                break;
            }
            const size_t adapter = openAdapter[ready];
            qx::net::Datagram d = open[ready]->receive(buffer.data(), buffer.size());
            if (!d.ok()) {
                if (d.error == EAGAIN || d.error == EWOULDBLOCK || d.error == ECONNREFUSED) continue;
                for (auto& p : probes)
                    if (!p.done && p.adapter == adapter) p.status = GEV_STATUS_RECEIVE_ERROR, p.done = true, --pending;
                continue;
            }
            gvcp::AckHeader h;
            if (!gvcp::decodeAckHeader(buffer.data(), d.copied, &h)) continue;
            for (auto& p : probes) {
                if (p.done || p.adapter != adapter || p.entry->CameraIp != d.sourceIp) continue;
                if (h.status != GEV_STATUS_SUCCESS) p.status = h.status;
                else if (h.answer == gvcp::kReadRegAck &&
                         gvcp::decodeReadRegAck(buffer.data(), d.copied, &p.value, 1) == 1)
                    p.status = GEV_STATUS_SUCCESS;
                else p.status = GEV_STATUS_INVALID_ACK;
                p.done = true;
                --pending;
            }
        }
    }
    for (auto& p : probes)
        p.entry->Access = !p.done && stopped(stop) ? uint8_t(GEV_ACCESS_NOT_DETERMINED) : accessOf(p.status, p.value);
}

// What one adapter collects in a round.
struct AdapterSearch {
    const GevAdapterEntry* adapter = nullptr;
    qx::net::UdpSocket socket;
    qx::net::UdpSocket broadcastAcks;
    bool searching = false; // its sockets take part in the collection
    GevStatus result = GEV_STATUS_SUCCESS;
    std::vector<GevDiscoveryEntry> found;
    std::vector<bool> incorrect; // per entry of `found`: made from a malformed acknowledge
};

// Opens the adapter's sockets and sends its command; false (with the result set and reported)
// when that fails.
bool startSearch(AdapterSearch& s, uint8_t allowBroadcastAck, uint16_t localPort) {
    const GevAdapterEntry& a = *s.adapter;
    qx::net::UdpSocketOptions options;
    options.broadcast = true;
    if (s.socket.open(a.Ip, localPort, options) != 0) {
        QX_GEV_REPORT("[E] Create socket failed. Adapter: {}, Ip: {:08X}", a.Name, a.Ip);
        s.result = GEV_STATUS_CANNOT_CREATE_SOCKET;
        return false;
    }
    // Room for a burst of answers; where the system allows less, its default stays.
    const int receiveBuffer = kDiscoveryReceiveBuffer;
    setsockopt(s.socket.fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    // A socket bound to the adapter's address sees no datagram sent to the broadcast address:
    // broadcast acknowledges arrive on a second socket bound to it with the same port. Every
    // receiving socket is open before the command goes out, so that no early answer is lost.
    uint16_t boundPort = 0;
    if (allowBroadcastAck && s.socket.localPort(&boundPort) == 0) {
        qx::net::UdpSocketOptions reuse;
        reuse.reuseAddress = true;
        s.broadcastAcks.open(kBroadcast, boundPort, reuse);
    }
    const auto command = gvcp::encodeDiscoveryCmd(1, allowBroadcastAck != 0);
    if (s.socket.sendTo(kBroadcast, gevOptions().DeviceGvcpPort, command.data(), command.size()) !=
        long(command.size())) {
        QX_GEV_REPORT("[E] Send discovery command failed. Adapter: {}, Ip: {:08X}", a.Name, a.Ip);
        s.result = GEV_STATUS_SEND_ERROR;
        return false;
    }
    s.searching = true;
    return true;
}

// One acknowledge (or other datagram) received on the adapter's sockets.
void takeAnswer(AdapterSearch& s, const uint8_t* data, const qx::net::Datagram& d, uint8_t allowBroadcastAck,
                bool callbackMode, GevDiscoveryCallback callback) {
    const GevAdapterEntry& a = *s.adapter;
    gvcp::AckHeader h;
    if (!gvcp::decodeAckHeader(data, d.copied, &h) || h.answer != gvcp::kDiscoveryAck) return;
    bool accept = true;
    GevDiscoveryEntry entry{};
    gvcp::DiscoveryInfo info;
    const bool wellFormed =
        d.length == long(gvcp::kDiscoveryAckSize) && gvcp::decodeDiscoveryAck(data, d.copied, &info);
    if (wellFormed) {
        if (!allowBroadcastAck && (a.Mask & a.Ip) != (info.currentIp & info.currentMask)) accept = false;
        for (size_t i = 0; i < s.found.size(); ++i)
            if (!s.incorrect[i] && s.found[i].CameraIp == info.currentIp) accept = false;
        if (accept) entry = entryFromAck(info, a);
    } else {
        // Malformed acknowledges count once per sender, however many it sends.
        for (size_t i = 0; i < s.found.size(); ++i)
            if (s.incorrect[i] && s.found[i].CameraIp == d.sourceIp) accept = false;
        if (accept) entry = incorrectEntry(d.sourceIp, a);
    }
    if (accept && s.found.size() >= GEV_MAX_DISCOVERED) {
        // Full: a camera takes the place of a malformed entry; anything else finds no room.
        // The search goes on to its end either way.
        auto it = std::find(s.incorrect.begin(), s.incorrect.end(), true);
        if (wellFormed && it != s.incorrect.end()) {
            s.found.erase(s.found.begin() + (it - s.incorrect.begin()));
            s.incorrect.erase(it);
        } else {
            accept = false;
        }
    }
    if (!accept) return;
    if (h.status != GEV_STATUS_SUCCESS) s.result = h.status;
    if (callbackMode) {
        entry.Access = GEV_ACCESS_NOT_DETERMINED;
        if (callback) callback(progressPercent(), &entry);
    }
    s.found.push_back(entry);
    s.incorrect.push_back(!wellFormed);
}

// One discovery round over every adapter at once: each adapter's command goes out, then the
// answers of all of them are collected for one time-out, then (with a list) the access of
// every entry is probed, all together. A round therefore lasts one time-out plus at most the
// probe's three waits, whatever the number of adapters and cameras. `stop` ends it early
// (checked at least every 100 ms). Results per adapter in `searches`.
void discoveryRound(std::vector<AdapterSearch>& searches, bool withList, GevDiscoveryCallback callback,
                    uint32_t timeout, uint8_t allowBroadcastAck, uint16_t localPort, const std::atomic<bool>* stop) {
    std::vector<qx::net::UdpSocket*> sockets;
    std::vector<size_t> owner;
    for (size_t i = 0; i < searches.size(); ++i) {
        if (!startSearch(searches[i], allowBroadcastAck, localPort)) continue;
        sockets.push_back(&searches[i].socket);
        owner.push_back(i);
        if (searches[i].broadcastAcks.isOpen()) {
            sockets.push_back(&searches[i].broadcastAcks);
            owner.push_back(i);
        }
    }

    std::vector<uint8_t> buffer(gvcp::kMaxDatagram);
    const int64_t start = gevNowMs();
    while (!sockets.empty() && !stopped(stop)) {
        int err = 0;
        size_t ready = 0;
        const GevStatus waited =
            gevSocketStatus(qx::net::UdpSocket::waitAnyReadable(sockets.data(), sockets.size(), kPassMs, &ready, &err));
        // A failing adapter ends its own search; the others go on.
        auto endSearch = [&](size_t index, GevStatus status, const auto& report) {
            AdapterSearch& s = searches[owner[index]];
            gevReportLine(QX_FUNC, report, s.adapter->Name, s.adapter->Ip);
            s.result = status;
            s.searching = false;
            for (size_t k = sockets.size(); k-- > 0;)
                if (owner[k] == owner[index]) {
                    sockets.erase(sockets.begin() + long(k));
                    owner.erase(owner.begin() + long(k));
                }
        };
        if (waited == GEV_STATUS_SOCKET_ERROR) {
            while (!sockets.empty())
                endSearch(0, GEV_STATUS_SOCKET_ERROR,
                          FMT_STRING("[E] Socket error receive discovery acknowledge. Adapter: {}, Ip: {:08X}"));
            break;
        }
        if (waited == GEV_STATUS_SUCCESS) {
            qx::net::Datagram d = sockets[ready]->receive(buffer.data(), buffer.size());
            if (d.ok()) takeAnswer(searches[owner[ready]], buffer.data(), d, allowBroadcastAck, !withList, callback);
            else if (gevSocketStatus(d) == GEV_STATUS_RECEIVE_ERROR)
                endSearch(ready, GEV_STATUS_RECEIVE_ERROR,
                          FMT_STRING("[E] Receive discovery acknowledge failed. Adapter: {}, Ip: {:08X}"));
        }
        if (callback) callback(progressPercent(), nullptr);
        if (gevNowMs() - start >= int64_t(timeout)) break;
    }
    for (auto& s : searches) {
        s.socket.close();
        s.broadcastAcks.close();
    }
    if (!withList) return;
    std::vector<const GevAdapterEntry*> adapters;
    std::vector<std::vector<GevDiscoveryEntry>*> entries;
    for (auto& s : searches) {
        adapters.push_back(s.adapter);
        entries.push_back(&s.found);
    }
    probeAccess(adapters, entries, localPort, gevOptions().AccessProbeFirstTimeoutMs, stop);
}

} // namespace

GevStatus gevDiscovery(GevDiscoveryList* list, GevDiscoveryCallback callback, uint32_t timeoutMs,
                       uint8_t allowBroadcastAck, uint16_t localPort, const std::atomic<bool>* stop) {
    if (list) list->Count = 0;
    auto adapters = std::make_unique<GevAdapterList>();
    if (GevStatus st = GetAdapterList(adapters.get())) return st;
    if (adapters->Count == 0) return GEV_STATUS_SUCCESS;
    const uint32_t timeout = timeoutMs ? timeoutMs : kDefaultTimeoutMs;
    g_progressTotalMs = timeout; // one round, however many adapters
    g_progressStartMs = gevNowMs();

    std::vector<AdapterSearch> searches(adapters->Count);
    for (int i = 0; i < adapters->Count; ++i) searches[size_t(i)].adapter = &adapters->Adapters[i];
    discoveryRound(searches, list != nullptr, callback, timeout, allowBroadcastAck, localPort, stop);
    g_progressTotalMs = 0;

    GevStatus overall = GEV_STATUS_SUCCESS;
    for (auto& s : searches) {
        if (s.result != GEV_STATUS_SUCCESS) overall = s.result;
        if (!list) continue;
        sortEntries(s.found.data(), s.found.size());
        for (const auto& e : s.found)
            if (list->Count < GEV_MAX_DISCOVERED) list->Entries[list->Count++] = e;
    }
    if (list) sortEntries(list->Entries, list->Count);
    return overall;
}

} // namespace qx::gige

using namespace qx::gige;

GevStatus ReadAccessStatus(uint32_t cameraIp, uint32_t adapterIp, uint32_t adapterMask, uint16_t localPort,
                           uint32_t firstTimeoutMs, uint8_t* access) {
    if (!access) return GEV_STATUS_SUCCESS;
    GevAdapterEntry adapter;
    adapter.Ip = adapterIp;
    adapter.Mask = adapterMask;
    std::vector<GevDiscoveryEntry> entries(1);
    entries[0].CameraIp = cameraIp;
    probeAccess({&adapter}, {&entries}, localPort, firstTimeoutMs, nullptr);
    *access = entries[0].Access;
    return GEV_STATUS_SUCCESS;
}

GevStatus DiscoverOnAdapter(GevDiscoveryList* list, const GevAdapterEntry* adapter, GevDiscoveryCallback callback,
                            uint32_t timeoutMs, uint8_t allowBroadcastAck, uint16_t localPort) {
    if (!adapter) return GEV_STATUS_INVALID_PARAMETER;
    if (list) list->Count = 0;
    const uint32_t timeout = timeoutMs ? timeoutMs : kDefaultTimeoutMs;
    const bool ownProgress = g_progressTotalMs.load() == 0;
    if (ownProgress) {
        g_progressTotalMs = timeout;
        g_progressStartMs = gevNowMs();
    }
    std::vector<AdapterSearch> searches(1);
    searches[0].adapter = adapter;
    discoveryRound(searches, list != nullptr, callback, timeout, allowBroadcastAck, localPort, nullptr);
    if (ownProgress) g_progressTotalMs = 0;
    if (list) {
        AdapterSearch& s = searches[0];
        list->Count = static_cast<uint8_t>(std::min<size_t>(s.found.size(), GEV_MAX_DISCOVERED));
        std::copy(s.found.begin(), s.found.begin() + list->Count, list->Entries);
        sortEntries(list->Entries, list->Count);
    }
    return searches[0].result;
}

GevStatus GEVDiscovery(GevDiscoveryList* list, GevDiscoveryCallback callback, uint32_t timeoutMs,
                       uint8_t allowBroadcastAck, uint16_t localPort) {
    return gevDiscovery(list, callback, timeoutMs, allowBroadcastAck, localPort, nullptr);
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
