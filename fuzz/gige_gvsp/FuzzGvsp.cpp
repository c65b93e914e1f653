// Feeds arbitrary GVSP datagrams to the packet decoders and to a stream receiver over a ring of
// four small buffers, taking delivered blocks as GEVGetImage does. Input: one configuration
// byte, then datagrams, each as a 16-bit big-endian length and its bytes. Nothing may be read
// or written outside the datagram, the ring's buffers or the caller's image buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "QxCamApi.h"
#include "gige/GevRing.h"
#include "gige/GvspProtocol.h"
#include "gige/GvspReceiver.h"

using namespace qx::gige;

// The library's log: every line is formatted (its format and arguments must agree) and kept
// nowhere.
namespace qx::gige {
bool gevLogWanted(uint8_t, uint8_t) { return true; }
void gevLogText(uint8_t, uint8_t, std::string_view) {}
} // namespace qx::gige

namespace {
volatile uint8_t g_sink;

void decoders(const uint8_t* p, size_t n) {
    gvsp::Header h;
    if (gvsp::decodeHeader(p, n, &h) && h.length() > n) std::abort();
    gvsp::ImageLeader l;
    gvsp::decodeImageLeader(p, n, &l);
    gvsp::Trailer t;
    gvsp::decodeTrailer(p, n, &t);
    uint64_t offset = 0;
    uint32_t size = 0;
    uint8_t flags = 0;
    const uint8_t* data = nullptr;
    size_t len = 0;
    if (gvsp::decodeMultipart(p, n, &offset, &data, &len) && (data < p || data + len > p + n)) std::abort();
    if (gvsp::decodeGenDc(p, n, &size, &offset, &flags, &data, &len) && (data < p || data + len > p + n)) std::abort();
    gvsp::GevResendRequest r;
    gvsp::decodePacketResend(p, n, &r);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t c = data[0];
    GvspReceiverConfig cfg;
    cfg.packetPayload = 16 + (c & 0x3F); // 16..79 bytes per packet
    cfg.width = 20 + ((c >> 6) & 1) * 4;
    cfg.height = 10;
    cfg.pixelFormat = (c & 0x80) ? QX_PIXEL_MONO16 : QX_PIXEL_MONO8;
    cfg.payloadSize = cfg.width * cfg.height * gvsp::bytesPerPixel(cfg.pixelFormat);
    // Bit 6: immediate resend; bits 6 and 3 together: timer-driven rounds.
    cfg.resendMode = ((c >> 6) & 1) ? (((c >> 3) & 1) ? GvspReceiver::kTimerMode : 1) : 0;
    cfg.roundLimit = 1 + ((c >> 1) & 3);
    cfg.resendBudget = 1 + (c & 7);
    cfg.reorderTolerance = (c >> 3) & 1;
    cfg.logCam = 1;
    const uint32_t packets = GvspReceiver::packetsFor(cfg.payloadSize, cfg.packetPayload, false);
    auto ring = AllocateRing(4, cfg.payloadSize, cfg.packetPayload, packets, cfg.width, cfg.height, cfg.pixelFormat);
    if (!ring) return 0;
    GevFpsMeter fps;
    GvspReceiver rx(
        cfg, *ring, [](uint64_t, bool, uint32_t f, uint32_t l) { return f <= l; }, &fps);
    std::vector<uint8_t> image(cfg.payloadSize);
    // Inputs of odd length lend `image` to the receiver as a waiting reader does (the filter
    // driver's read): blocks are written into it and taken in place, or the loan is taken back.
    const bool lend = (size & 1) != 0;
    auto take = [&](GevImageBuffer* b) {
        if (b->lent != image.data()) ring->withdrawLoan();
        GevImageHeader h{};
        gevCopyImage(*b, cfg.payloadSize, image.data(), &h, 1);
        ring->giveBack(b);
        ring->withdrawLoan();
    };

    int64_t now = 0;
    size_t at = 1;
    while (at + 2 <= size) {
        size_t n = (size_t(data[at]) << 8) | data[at + 1];
        at += 2;
        if (n > size - at) n = size - at;
        // Exactly n bytes, so that a read past the datagram is caught.
        std::vector<uint8_t> dgram(data + at, data + at + n);
        at += n;
        decoders(dgram.data(), dgram.size());
        if (lend && !ring->lentTo && !ring->lendNext) ring->lendNext = image.data();
        rx.ProcessStreamPacket(dgram.data(), dgram.size());
        if (cfg.resendMode == GvspReceiver::kTimerMode) {
            now += 150; // a synthetic clock: rounds and give-ups happen within the input
            rx.resendTick(now, n == 0);
        }
        if (GevImageBuffer* b = ring->deliverList.pop()) {
            take(b);
            g_sink = g_sink ^ image[0];
        }
    }
    rx.flushOnIdle();
    rx.flushAtEnd();
    while (GevImageBuffer* b = ring->deliverList.pop()) take(b);
    ring->withdrawLoan();
    if (ring->freeList.count() != 4 || ring->lentTo) std::abort(); // every buffer came back, no loan left
    FreeRing(ring, 1);
    return 0;
}
