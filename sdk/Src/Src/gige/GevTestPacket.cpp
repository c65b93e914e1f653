// Test packets: the camera fires one GVSP test packet of a requested size with the
// do-not-fragment bit set (SCPS0), and the host sees whether it arrives whole and carries the
// camera's LFSR pattern. A bisection over the packet size finds the largest that arrives.
#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "gige/GevChannels.h"
#include "gige/GevHeartbeat.h"
#include "gige/GevRecord.h"
#include "gige/GevTestPacket.h"
#include "gige/GvspProtocol.h"
#include "Net/NetAdapters.h"
#include "Sys/ByteOrder.h"

namespace qx::gige {

uint16_t lfsrNext(uint16_t state) {
    return (state & 1) ? static_cast<uint16_t>((state >> 1) ^ 0x8016) : static_cast<uint16_t>(state >> 1);
}

void lfsrFill(uint8_t* out, size_t count) {
    uint16_t state = kLfsrSeed;
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint8_t>(state);
        state = lfsrNext(state);
    }
}

namespace {
std::atomic<GevMtuProvider> g_mtuProvider{nullptr};
} // namespace

void gevSetMtuProvider(GevMtuProvider provider) { g_mtuProvider = provider; }

uint32_t gevAdapterMtu(uint32_t adapterIp) {
    GevMtuProvider provider = g_mtuProvider.load();
    return provider ? provider(adapterIp) : qx::net::adapterMtu(adapterIp);
}

namespace {

constexpr uint32_t kScpsFire = 0x80000000u;
constexpr uint32_t kScpsDoNotFragment = 0x40000000u;
constexpr uint32_t kLfsrCapability = 0x02000000u; // GVCP capability: test packet LFSR
constexpr int kFlushWaitMs = 10;
constexpr int kFlushMaxDatagrams = 4096;
constexpr int64_t kFlushMaxMs = 500;
constexpr int64_t kSearchLimitMs = 3000;
constexpr int kSearchMaxTrials = 64;
// A size whose test packet did not arrive is tried this many times in all before the search
// goes below it: on a lossy link one lost packet is no proof that the size does not pass.
constexpr int kTrialsPerSize = 3;

// Reads whatever waits on the stream socket, so that the next datagram is the test packet.
void flushStreamSocket(GevCameraRecord& rec, std::vector<uint8_t>& buffer) {
    long total = 0;
    const int64_t start = gevNowMs();
    for (int i = 0; i < kFlushMaxDatagrams && gevNowMs() - start < kFlushMaxMs; ++i) {
        if (rec.streamSocket.waitReadable(kFlushWaitMs) != qx::net::WaitResult::Readable) break;
        qx::net::Datagram d = rec.streamSocket.receive(buffer.data(), buffer.size());
        if (d.ok()) total += d.length;
        std::this_thread::yield();
    }
    if (total > 0) QX_GEV_LOG(rec.cameraNumber, GEV_LOG_INFO, "[I] Flush stream channel socket [{}].\n", total);
}

// Points the camera's stream channel at a socket of its own for the trial.
GevStatus prepareTemporarySocket(GevCameraRecord& rec, qx::net::UdpSocket& socket) {
    const uint8_t cam = rec.cameraNumber;
    qx::net::UdpSocketOptions options;
    options.receiveBufferBytes = 0x100000;
    // A system that grants less than the large buffer still receives one test packet.
    if (socket.open(rec.adapterIp, 0, options) != 0 && socket.open(rec.adapterIp, 0) != 0)
        return GEV_STATUS_CANNOT_CREATE_SOCKET;
    const uint32_t zero = 0;
    if (GevStatus st = WriteRegister(cam, gvcp::reg::kScp0, 1, &zero)) return st;
    uint32_t scda = 0;
    if (GevStatus st = ReadRegister(cam, gvcp::reg::kScda0, 1, &scda)) return st;
    if (scda == 0) {
        const uint32_t host = ntohl(rec.adapterIp);
        if (GevStatus st = WriteRegister(cam, gvcp::reg::kScda0, 1, &host)) return st;
    }
    uint16_t port = 0;
    if (socket.localPort(&port) != 0) return GEV_STATUS_CANNOT_SET_SOCKET_OPT;
    QX_GEV_LOG(cam, GEV_LOG_VERBOSE, "[V] Set new stream channel port {} for GEVTestPacket\n", port);
    const uint32_t port32 = port;
    if (GevStatus st = WriteRegister(cam, gvcp::reg::kScp0, 1, &port32)) return st;
    uint32_t capability = 0, scsp = 0;
    if (ReadRegister(cam, gvcp::reg::kGvspCapability, 1, &capability) == GEV_STATUS_SUCCESS &&
        (capability & gvcp::field::kSourcePortSupported) &&
        ReadRegister(cam, gvcp::reg::kScsp0, 1, &scsp) == GEV_STATUS_SUCCESS && (scsp & gvcp::field::kPortMask) != 0) {
        uint8_t bytes[4];
        qx::sys::storeLe32(bytes, kKeepOpenWord);
        if (socket.sendTo(rec.cameraIp, static_cast<uint16_t>(scsp), bytes, sizeof bytes) != long(sizeof bytes))
            QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Send to stream channel source port. ({})\n",
                       int(scsp & gvcp::field::kPortMask));
    }
    return GEV_STATUS_SUCCESS;
}

// A test packet: a GVSP header with packet id 0 (16-bit or extended ids), whole in the buffer,
// of the size asked for; or, from a camera that rounds the size it was asked for, of any size
// with block id 0, which no block of a stream has.
bool isTestPacket(const uint8_t* p, const qx::net::Datagram& d, long expectedLength) {
    if (d.truncated || d.length < long(gvsp::kHeaderSize)) return false;
    const bool extended = (p[4] & 0x80) != 0;
    if (extended && d.length < long(gvsp::kExtendedHeaderSize)) return false;
    const bool packetZero = extended ? qx::sys::loadBe32(p + 16) == 0 : (qx::sys::loadBe32(p + 4) & 0x00FFFFFFu) == 0;
    if (!packetZero) return false;
    if (d.length == expectedLength) return true;
    return extended ? qx::sys::loadBe64(p + 8) == 0 : qx::sys::loadBe16(p + 2) == 0;
}

// One trial on `socket`; *size in: the size to try (0: SCPS0), out: the size that arrived.
GevStatus runTrial(GevCameraRecord& rec, qx::net::UdpSocket& socket, uint32_t* size, std::vector<uint8_t>& buffer) {
    const uint8_t cam = rec.cameraNumber;
    uint32_t requested = *size;
    *size = 0;
    if (requested == 0) {
        uint32_t scps = 0;
        if (GevStatus st = ReadRegister(cam, gvcp::reg::kScps0, 1, &scps)) return st;
        requested = scps & gvcp::field::kPacketSizeMask;
    }
    const uint32_t scps = (requested & gvcp::field::kPacketSizeMask) | kScpsFire | kScpsDoNotFragment;
    if (GevStatus st = WriteRegister(cam, gvcp::reg::kScps0, 1, &scps)) return st;

    // The test packet is the first datagram from the camera within the answer time-out that has
    // the size asked for and the form of a test packet; anything else (packets of a stream the
    // camera still sends, datagrams from elsewhere) is passed over.
    const int64_t deadline = gevNowMs() + rec.answerTimeoutMs.load();
    const long expectedLength = long(requested & gvcp::field::kPacketSizeMask) - long(gvcp::kIpUdpHeaderSize);
    qx::net::Datagram d;
    for (;;) {
        int err = 0;
        const int64_t left = std::max<int64_t>(0, deadline - gevNowMs());
        if (socket.waitReadable(static_cast<int>(left), &err) != qx::net::WaitResult::Readable) {
            QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] GEVTestPacket: select error:{}\n", err);
            return GEV_STATUS_SUCCESS;
        }
        d = socket.receive(buffer.data(), buffer.size());
        if (!d.ok()) {
            QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] GEVTestPacket: No data received.\n");
            return GEV_STATUS_TEST_PACKET_DATA_ERROR;
        }
        if (d.sourceIp == rec.cameraIp && isTestPacket(buffer.data(), d, expectedLength)) break;
    }
    const uint8_t* packet = buffer.data();
    const size_t payload = d.copied - gvsp::kHeaderSize;
    if (qx::sys::loadBe16(packet + 2) != 0) QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] GEVTestPacket: BlockID != 0.\n");
    const uint32_t arrived = static_cast<uint32_t>(payload + gvsp::kHeaderSize + gvcp::kIpUdpHeaderSize);

    uint32_t capability = 0;
    if (GevStatus st = ReadRegister(cam, gvcp::reg::kGvcpCapability, 1, &capability)) return st;
    if (!(capability & kLfsrCapability)) {
        QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] GEVTestPacket: LFSR generator not supported.\n");
        *size = arrived;
        return GEV_STATUS_SUCCESS;
    }
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] GEVTestPacket: LFSR generator supported.\n");
    const int errors =
        lfsrMismatches(packet + gvsp::kHeaderSize, payload, [&](size_t pos, uint8_t expected, uint8_t got) {
            QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] GEVTestPacket: pos->{} expected->{:02X} current->{:02X}\n", int(pos),
                       expected, got);
        });
    if (errors > 0) {
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] GEVTestPacket: {} data errors.\n", errors);
        return GEV_STATUS_TEST_PACKET_DATA_ERROR;
    }
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] GEVTestPacket: data ok.\n");
    *size = arrived;
    return GEV_STATUS_SUCCESS;
}

int alignDown(int value, int step) { return value >= 0 ? value / step * step : -((-value + step - 1) / step * step); }
int alignUp(int value, int step) { return -alignDown(-value, step); }

} // namespace

int lfsrMismatches(const uint8_t* data, size_t count,
                   const std::function<void(size_t position, uint8_t expected, uint8_t got)>& report) {
    uint16_t state = kLfsrSeed;
    int errors = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t expected = static_cast<uint8_t>(state);
        if (data[i] != expected) {
            if (errors < kLfsrReportedMismatches && report) report(i + 1, expected, data[i]);
            ++errors;
        }
        state = lfsrNext(state);
    }
    return errors;
}

} // namespace qx::gige

using namespace qx::gige;

GevStatus GEVTestPacket(uint8_t cam_nr, uint32_t* packetSize) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    if (!packetSize) return GEV_STATUS_INVALID_PARAMETER;
    GevCameraRecord& rec = gevRecord(cam_nr);
    // Room for the largest datagram, so that a packet larger than asked for is seen whole.
    std::vector<uint8_t> buffer(gvcp::kMaxDatagram);

    qx::sys::UniqueLock streamLock(rec.streamSocketLock);
    if (rec.hostStreamPort != 0 && rec.streamSocket.isOpen()) {
        flushStreamSocket(rec, buffer);
        return runTrial(rec, rec.streamSocket, packetSize, buffer);
    }
    streamLock.unlock();
    qx::net::UdpSocket temporary;
    const uint32_t requested = *packetSize;
    *packetSize = 0;
    if (GevStatus st = prepareTemporarySocket(rec, temporary)) return st;
    *packetSize = requested;
    GevStatus st = runTrial(rec, temporary, packetSize, buffer);
    temporary.close();
    return st;
}

GevStatus GEVTestFindMaxPacketSize(uint8_t cam_nr, uint16_t* packetSize, uint32_t minimum, uint32_t maximum,
                                   uint32_t step) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    if (!packetSize) return GEV_STATUS_INVALID_PARAMETER;
    GevCameraRecord& rec = gevRecord(cam_nr);
    const uint8_t cam = cam_nr;
    *packetSize = 0;

    uint32_t mtu = gevAdapterMtu(rec.adapterIp);
    if (mtu == 0) mtu = 1500;
    const uint32_t top = std::min<uint32_t>({mtu, maximum ? maximum : 20000u, 0xFFFFu});
    if (minimum > top) return GEV_STATUS_INVALID_PARAMETER;
    // Bounds relative to the minimum: candidate = centre + minimum.
    const int S = static_cast<int>(std::max<uint32_t>(step, 4));
    int U = static_cast<int>(top - minimum);
    int L = 0;
    int C = alignDown((U - L) / 2, S);
    const int64_t start = gevNowMs();

    int previousCandidate = -1, previousCentre = 0;
    bool overMtu = false, lastSucceeded = false;
    uint32_t good = 0;
    int failuresInRow = 0;
    // The budget counts test packets asked for, the tries of a lost size included.
    for (int round = 0, trials = 0; round < kSearchMaxTrials && trials < kSearchMaxTrials; ++round) {
        const int candidate = C + static_cast<int>(minimum);
        if (candidate == previousCandidate) break;
        uint32_t arrived = 0;
        if (candidate <= 0 || uint32_t(candidate) > mtu || overMtu) {
            overMtu = overMtu || uint32_t(candidate) > mtu;
        } else {
            for (int attempt = 0; attempt < kTrialsPerSize && trials < kSearchMaxTrials; ++attempt) {
                arrived = static_cast<uint32_t>(candidate);
                ++trials;
                if (GevStatus st = GEVTestPacket(cam, &arrived)) return st;
                // Another try only while it leaves the search room to finish in its time.
                const int64_t spent = gevNowMs() - start + 2 * int64_t(rec.answerTimeoutMs.load());
                if (arrived != 0 || spent > kSearchLimitMs / 2) break;
            }
        }
        QX_GEV_LOG(
            cam, GEV_LOG_DEBUG,
            "[D] GEVTestFindMaxPacketSize: ps={}, center={}, left={}, right={}, candidate={}, previous_center={}\n",
            int(arrived), C, L, U, candidate, previousCentre);
        const int previousU = U;
        previousCentre = C;
        previousCandidate = candidate;
        lastSucceeded = arrived != 0;
        if (lastSucceeded) {
            L = C + S;
            good = arrived;
            failuresInRow = 0;
            C = alignDown(L + (U - L) / 2, S);
        } else {
            U = C - S;
            if (failuresInRow >= 1 && good != 0) {
                const uint32_t value = good | kScpsDoNotFragment;
                const GevStatus st = WriteRegister(cam, gvcp::reg::kScps0, 1, &value);
                if (st == GEV_STATUS_SUCCESS) {
                    *packetSize = static_cast<uint16_t>(good);
                    return GEV_STATUS_SUCCESS;
                }
                if (st != GEV_STATUS_INVALID_PARAMETER) return st;
            }
            if (L == previousU) L = U;
            ++failuresInRow;
            C = alignUp(L + (U - L) / 2, S);
        }
        if (gevNowMs() - start > kSearchLimitMs) return GEV_STATUS_TIMEOUT;
    }
    // The search ended on a repeated candidate (or its trial budget): the largest size that
    // arrived is the answer, also when the last trial failed.
    *packetSize = static_cast<uint16_t>(good);
    return GEV_STATUS_SUCCESS;
}
