// The packet side of the stream channel without sockets: GVSP packets are fed straight into a
// GvspReceiver over a ring of four buffers; delivery, continuity check, resend requests,
// trailers, bounds of packet ids and offsets, and the copy GEVGetImage makes.
#include <gtest/gtest.h>

#include <cstring>

#include "gige/GevRecord.h"
#include "gige/GevRing.h"
#include "GevTestSupport.h"
#include "gige/GvspProtocol.h"
#include "gige/GvspReceiver.h"
#include "SimGvspSender.h"
#include "StreamTestConstants.h"

using namespace qx::gige;
using namespace qx::test;
using qx::fixture::kMono8;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint8_t kCam = 9;

struct Resend {
    uint64_t block;
    uint32_t first, last;
};

class GvspReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::instance().clear();
        gevRecord(kCam).logCallback = &LogCapture::callback;
        gevRecord(kCam).logMask = 0xFF;
    }
    void TearDown() override {
        rx.reset();
        ring.reset();
        gevRecord(kCam).logCallback = nullptr;
        gevRecord(kCam).logMask = 0;
    }
    // A ring of four buffers for width x height Mono8 in packets of P bytes.
    void make(uint32_t width, uint32_t height, uint32_t P, uint8_t resendMode = 0, uint32_t budget = 10,
              uint32_t payload = 0) {
        cfg.payloadSize = payload ? payload : width * height;
        cfg.width = width;
        cfg.height = height;
        cfg.pixelFormat = kMono8;
        cfg.packetPayload = P;
        cfg.resendMode = resendMode;
        cfg.resendBudget = budget;
        cfg.logCam = kCam;
        const uint32_t n = GvspReceiver::packetsFor(cfg.payloadSize, P, false);
        ring = AllocateRing(4, cfg.payloadSize, P, n, width, height, kMono8);
        ASSERT_TRUE(ring);
        rx = std::make_unique<GvspReceiver>(
            cfg, *ring,
            [this](uint64_t b, bool, uint32_t f, uint32_t l) {
                resends.push_back({b, f, l});
                return true;
            },
            &fps);
    }
    gvsp::Header header(uint64_t block, uint8_t format, uint32_t id) {
        gvsp::Header h;
        h.blockId = block;
        h.format = format;
        h.packetId = id;
        h.extended = extended;
        return h;
    }
    int leader(uint64_t block, gvsp::ImageLeader l = {}) {
        if (l.width == 0 && l.payloadType == gvsp::kImage) {
            l.width = cfg.width;
            l.height = cfg.height;
            l.pixelFormat = cfg.pixelFormat;
        }
        l.timestamp = ++timestamp;
        return feed(gvsp::encodeLeader(header(block, gvsp::kLeader, 0), l, rawSize));
    }
    int payload(uint64_t block, uint32_t id, const Bytes& data) {
        const uint32_t P = cfg.packetPayload;
        const size_t at = size_t(id - 1) * P;
        const size_t len = std::min<size_t>(P, data.size() - at);
        return feed(gvsp::encodePayload(header(block, gvsp::kPayload, id), data.data() + at, len));
    }
    int trailer(uint64_t block, uint32_t sizeY, uint16_t type = gvsp::kImage) {
        gvsp::Trailer t;
        t.payloadType = type;
        t.sizeY = sizeY;
        return feed(gvsp::encodeTrailer(header(block, gvsp::kTrailer, rx->packetsPerBlock() + 1), t));
    }
    int feed(const Bytes& b) { return rx->ProcessStreamPacket(b.data(), b.size()); }
    // Leader, every packet but the skipped ones, trailer.
    void block(uint64_t id, const Bytes& data, std::set<uint32_t> skip = {}) {
        leader(id);
        for (uint32_t p = 1; p <= rx->packetsPerBlock(); ++p)
            if (!skip.count(p)) payload(id, p, data);
        trailer(id, cfg.height);
    }
    // Immediate resend mode with the given budget: ten packets of 100 bytes per block, rounds
    // every 10 ms at most; the block's data.
    Bytes immediateMode(uint32_t budget) {
        cfg.resendWaitMs = 200;
        cfg.reaskWaitMs = 10;
        make(40, 25, 100, 1, budget);
        return qx::fixture::SimGvspSender::pattern(1, 1000);
    }
    // Takes the next delivered block as GEVGetImage would.
    GevStatus take(GevImageHeader* h, Bytes* out) {
        GevImageBuffer* b = ring->deliverList.pop();
        if (!b) return GEV_STATUS_TIMEOUT;
        out->assign(cfg.payloadSize, 0xEE);
        GevStatus st = gevCopyImage(*b, cfg.payloadSize, out->data(), h, kCam);
        ring->freeList.push(b);
        return st;
    }
    bool logged(const std::string& s) { return LogCapture::instance().has(s); }
    // The pending blocks given up (silence on the socket): the next one is incomplete with
    // `missing` packets; its header and data go to *h and *out.
    void expectIncomplete(uint32_t missing, GevImageHeader* h, Bytes* out) {
        rx->flushOnIdle();
        ASSERT_EQ(take(h, out), GEV_STATUS_GRAB_ERROR);
        EXPECT_EQ(h->MissingPackets, missing);
    }
    // The next delivered block is complete, holds `data` and had `requested` packets asked again.
    void expectWhole(const Bytes& data, uint32_t requested) {
        GevImageHeader h{};
        Bytes out;
        ASSERT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
        EXPECT_EQ(out, data);
        EXPECT_EQ(h.ResendRequested, requested);
    }

    GvspReceiverConfig cfg;
    std::unique_ptr<GevBufferQueues> ring;
    std::unique_ptr<GvspReceiver> rx;
    GevFpsMeter fps;
    std::vector<Resend> resends;
    uint64_t timestamp = 0;
    uint64_t rawSize = 0;
    bool extended = false;
};

} // namespace

TEST_F(GvspReceiverTest, CompleteBlockIsDeliveredWithItsHeaderAndData) {
    make(40, 25, 100); // 1000 bytes in 10 packets
    const Bytes data = qx::fixture::SimGvspSender::pattern(3, 1000);
    block(3, data);
    EXPECT_EQ(ring->deliverList.count(), 1u);
    GevImageHeader h{};
    Bytes out;
    EXPECT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(out, data);
    EXPECT_EQ(h.BlockId, 3u);
    EXPECT_EQ(h.SizeX, 40u);
    EXPECT_EQ(h.SizeY, 25u);
    EXPECT_EQ(h.PixelFormat, kMono8);
    EXPECT_EQ(h.MissingPackets, 0u);
    EXPECT_EQ(h.PayloadType, gvsp::kImage);
    EXPECT_EQ(h.FilledUpTo, 1000u);
    EXPECT_EQ(h.Timestamp, timestamp);
    EXPECT_EQ(rx->delivered.load(), 1u);
    EXPECT_TRUE(logged("[D] Setting up BlockIDCheck: 3"));
}

TEST_F(GvspReceiverTest, BlockIdGapCountsMissingFramesAndWrapSkipsZero) {
    make(40, 25, 100);
    const Bytes data(1000, 1);
    block(5, data);
    block(8, data);
    EXPECT_TRUE(logged("[E] Missing frames: 6 -> 7"));
    EXPECT_EQ(rx->missingBlocks.load(), 2u);
    EXPECT_EQ(rx->delivered.load(), 4u); // 1, then 3 more
    EXPECT_EQ(rx->missingPackets.load(), 20u);
    GevImageHeader h{};
    Bytes out;
    take(&h, &out);
    EXPECT_EQ(h.MissingBlocks, 0u);
    take(&h, &out);
    EXPECT_EQ(h.MissingBlocks, 2u);
}

TEST_F(GvspReceiverTest, SixteenBitBlockIdsWrapFrom0xFFFFTo1) {
    make(40, 25, 100);
    const Bytes data(1000, 1);
    block(0xFFFE, data);
    block(0xFFFF, data);
    LogCapture::instance().clear();
    block(1, data);
    EXPECT_TRUE(logged("[D] BlockIDCheck ok: 1"));
    EXPECT_EQ(rx->missingBlocks.load(), 0u);
    block(3, data); // across no wrap: block 2 is lost
    EXPECT_EQ(rx->missingBlocks.load(), 1u);
    EXPECT_TRUE(logged("[E] Missing frame: 2"));
}

TEST_F(GvspReceiverTest, LateBlockDoesNotCountTheWholeIdRangeAsLost) {
    make(40, 25, 100);
    const Bytes data(1000, 1);
    block(10, data);
    block(11, data);
    block(4, data); // an old block delivered late
    EXPECT_EQ(rx->missingBlocks.load(), 0u);
    EXPECT_EQ(rx->delivered.load(), 3u);
    LogCapture::instance().clear();
    block(12, data);
    EXPECT_TRUE(logged("[D] BlockIDCheck ok: 12"));
}

TEST_F(GvspReceiverTest, LeaderOfBlockZeroIsIgnoredAndItsPacketsFindNoBuffer) {
    make(40, 25, 100);
    const Bytes data(1000, 7);
    EXPECT_EQ(leader(0), 1);
    EXPECT_TRUE(logged("[D] Ignoring Block 0"));
    payload(0, 1, data);
    trailer(0, 25);
    EXPECT_EQ(ring->freeList.count(), 4u);
    EXPECT_EQ(ring->deliverList.count(), 0u);
}

TEST_F(GvspReceiverTest, ShortDatagramsAndErrorStatusesAreSkipped) {
    make(40, 25, 100);
    const Bytes seven{0, 0, 0, 1, 1, 0, 0};
    EXPECT_EQ(rx->ProcessStreamPacket(seven.data(), seven.size()), 1);
    EXPECT_EQ(rx->blockIdMode(), GvspBlockIdMode::Undecided); // a short datagram decides nothing

    gvsp::Header h = header(1, gvsp::kLeader, 0);
    h.status = 0x8001;
    gvsp::ImageLeader l;
    l.width = 40;
    l.height = 25;
    l.pixelFormat = kMono8;
    EXPECT_EQ(feed(gvsp::encodeLeader(h, l)), 1);
    EXPECT_TRUE(logged("[W] Skipping packet with error status 0x8001"));
    EXPECT_EQ(ring->freeList.count(), 4u);

    h.status = 0x800D;
    EXPECT_EQ(feed(gvsp::encodeLeader(h, l)), 0);
    EXPECT_TRUE(logged("[W] Processing packet with error status 0x800d"));
    EXPECT_EQ(ring->freeList.count(), 3u); // the block got a buffer
}

TEST_F(GvspReceiverTest, PacketIdsBeyondTheBlockAndOversizedPacketsNeverWritePastTheBuffer) {
    make(40, 25, 100);
    const Bytes data(1000, 3);
    leader(1);
    // Packet id 11 of a 10-packet block, id 0 as data, and a huge 24-bit id.
    Bytes big(150, 0xAB);
    EXPECT_EQ(feed(gvsp::encodePayload(header(1, gvsp::kPayload, 11), big.data(), big.size())), 0);
    EXPECT_EQ(feed(gvsp::encodePayload(header(1, gvsp::kPayload, 0xFFFFFF), big.data(), big.size())), 0);
    EXPECT_TRUE(logged("[W] [BlockID 1] Packet number is larger than maximum (11 > 10)"));
    // The last packet carries more than its share: only its slot is written.
    for (uint32_t p = 1; p < 10; ++p) payload(1, p, data);
    EXPECT_EQ(feed(gvsp::encodePayload(header(1, gvsp::kPayload, 10), big.data(), big.size())), 0);
    trailer(1, 25);
    GevImageHeader h{};
    Bytes out;
    EXPECT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(h.FilledUpTo, 1000u);
    EXPECT_EQ(out[899], 3);
    EXPECT_EQ(out[900], 0xAB);
    EXPECT_EQ(out[999], 0xAB);
}

TEST_F(GvspReceiverTest, MultipartAndGenDcOffsetsBeyondThePayloadAreDropped) {
    make(40, 25, 100);
    leader(1);
    Bytes mp(8 + 50, 0x5A);
    mp[0] = mp[1] = 0;
    // offset 980 + 50 bytes > 1000
    mp[2] = 0;
    mp[3] = 0;
    mp[4] = 0;
    mp[5] = 0;
    mp[6] = 0x03;
    mp[7] = 0xD4;
    EXPECT_EQ(feed(gvsp::encodePayload(header(1, gvsp::kMultipart, 1), mp.data(), mp.size())), 0);
    EXPECT_TRUE(logged("[W] Multipart offset 980 is larger than buffer size 1000"));
    Bytes gd(16 + 40, 0x11);
    std::memset(gd.data(), 0, 16);
    gd[3] = 40;   // size 40
    gd[4] = 0x80; // offset 2^63
    EXPECT_EQ(feed(gvsp::encodePayload(header(1, gvsp::kGenDc, 2), gd.data(), gd.size())), 0);
    EXPECT_TRUE(logged("[W] GenDC data size"));
    rx->flushAtEnd();
    GevImageHeader h{};
    Bytes out;
    EXPECT_EQ(take(&h, &out), GEV_STATUS_GRAB_ERROR);
    EXPECT_EQ(h.FilledUpTo, 0u);
    EXPECT_EQ(h.MissingPackets, 10u);
}

TEST_F(GvspReceiverTest, GapRequestIsCutToTheResendBudget) {
    make(100, 20, 100, 1, 10); // 20 packets
    const Bytes data(2000, 9);
    leader(1);
    payload(1, 1, data);
    payload(1, 17, data);
    ASSERT_EQ(resends.size(), 1u);
    EXPECT_EQ(resends[0].first, 2u);
    EXPECT_EQ(resends[0].last, 11u);
    EXPECT_TRUE(logged("[D] Only requesting 10 packet resends for 15 losses"));
    // The budget is spent: the trailer asks for nothing more.
    for (uint32_t p = 18; p <= 20; ++p) payload(1, p, data);
    trailer(1, 20);
    EXPECT_EQ(resends.size(), 1u);
    // The resent packets arrive; 12..16 stay missing.
    for (uint32_t p = 2; p <= 11; ++p) payload(1, p, data);
    rx->flushOnIdle();
    GevImageHeader h{};
    Bytes out;
    EXPECT_EQ(take(&h, &out), GEV_STATUS_GRAB_ERROR);
    EXPECT_EQ(h.MissingPackets, 5u);
    EXPECT_EQ(h.ResendRequested, 10u);
    EXPECT_EQ(h.ResendReceived, 10u);
}

TEST_F(GvspReceiverTest, TrailerRequestsEachRunOfMissingPacketsAndLatePacketsCompleteTheBlock) {
    make(40, 25, 100, 1, 10);
    const Bytes data = qx::fixture::SimGvspSender::pattern(1, 1000);
    block(1, data, {9, 10}); // lost at the end: no gap seen before the trailer
    ASSERT_EQ(resends.size(), 1u);
    EXPECT_EQ(resends[0].first, 9u);
    EXPECT_EQ(resends[0].last, 10u);
    EXPECT_TRUE(logged("[I] Block 1, Still 2 missing packets. Updated buffer pointers"));
    EXPECT_EQ(ring->deliverList.count(), 0u);
    payload(1, 9, data);
    payload(1, 10, data);
    EXPECT_TRUE(logged("[D] Sending previous buffer: blockID reached 1 and missing packets is 0"));
    GevImageHeader h{};
    Bytes out;
    EXPECT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(out, data);
    EXPECT_EQ(h.ResendRequested, 2u);
    EXPECT_EQ(h.ResendReceived, 2u);
}

TEST_F(GvspReceiverTest, TimerDrivenRoundsAskAgainUntilTheBlockIsCompleteOrGivenUp) {
    cfg.resendWaitMs = 200;
    make(40, 25, 100, GvspReceiver::kTimerMode, 10);
    const Bytes data = qx::fixture::SimGvspSender::pattern(1, 1000);
    block(1, data, {4, 5, 9});
    ASSERT_EQ(resends.size(), 2u); // the gaps seen at packets 6 and 10
    EXPECT_EQ(resends[0].first, 4u);
    EXPECT_EQ(resends[0].last, 5u);
    EXPECT_EQ(resends[1].first, 9u);
    int64_t now = 1000;
    rx->resendTick(now, false); // trailer seen, first round: everything not received
    ASSERT_EQ(resends.size(), 4u);
    EXPECT_EQ(resends[2].first, 4u);
    EXPECT_EQ(resends[2].last, 5u);
    EXPECT_EQ(resends[3].first, 9u);
    EXPECT_EQ(resends[3].last, 9u);
    EXPECT_TRUE(logged("[D] block 1, s_resend_some_packet start"));
    rx->resendTick(now + 10, false); // within the wait and the last asked not arrived: nothing
    EXPECT_EQ(resends.size(), 4u);
    for (uint32_t p : {4u, 5u, 9u}) payload(1, p, data);
    EXPECT_EQ(ring->deliverList.count(), 0u); // delivery is the rounds' business
    rx->resendTick(now + 20, false);
    EXPECT_TRUE(logged("[D] resend finished, ResendReceiveCount:6, multi_resend_packet_count:3"));
    GevImageHeader h{};
    Bytes out;
    ASSERT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(out, data);
    EXPECT_EQ(h.ResendRequested, 6u);

    // Packet 7 never comes: the same range is asked each wait until the tries run out.
    block(2, data, {7});
    now += 1000;
    for (int i = 0; i < 40 && ring->deliverList.count() == 0; ++i) rx->resendTick(now += 201, false);
    EXPECT_TRUE(logged("[W] try_resend_times:11"));
    EXPECT_EQ(take(&h, &out), GEV_STATUS_GRAB_ERROR);
    EXPECT_EQ(h.MissingPackets, 1u);
    EXPECT_LE(resends.size(), 4u + 1u + 13u);
}

TEST_F(GvspReceiverTest, ImmediateRoundsRecoverAPacketWhoseFirstResendWasLost) {
    const Bytes data = immediateMode(10);
    int64_t now = 5000;
    block(1, data, {3, 7}); // gaps seen at packets 4 and 8
    rx->resendTick(now, false);
    ASSERT_EQ(resends.size(), 2u);
    EXPECT_EQ(resends[0].first, 3u);
    EXPECT_EQ(resends[1].first, 7u);
    // The resent packet 7 comes, the resent packet 3 was lost: the camera answers in order, so
    // 3 is asked again at once, without waiting.
    payload(1, 7, data);
    rx->resendTick(now + 1, false);
    ASSERT_EQ(resends.size(), 3u);
    EXPECT_EQ(resends[2].first, 3u);
    EXPECT_EQ(resends[2].last, 3u);
    // That one is lost too. The camera answered the first round within 1 ms: after a few such
    // answer times without an answer it is asked once more, not before, and well inside the
    // configured re-ask wait.
    rx->resendTick(now + 3, false);
    EXPECT_EQ(resends.size(), 3u);
    rx->resendTick(now + 5, true);
    ASSERT_EQ(resends.size(), 4u);
    EXPECT_EQ(resends[3].first, 3u);
    EXPECT_TRUE(rx->resendPending());
    payload(1, 3, data);
    EXPECT_FALSE(rx->resendPending());
    GevImageHeader h{};
    Bytes out;
    ASSERT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(out, data);
    EXPECT_EQ(h.ResendRequested, 4u);

    // A block whose trailer was lost: once the stream moves on (next leader), its tail is
    // asked at once; rounds stop at the block's budget of 10 packets.
    leader(2);
    for (uint32_t p = 1; p <= 7; ++p) payload(2, p, data);
    leader(3);
    const size_t before = resends.size();
    rx->resendTick(now += 100, false);
    ASSERT_EQ(resends.size(), before + 1);
    EXPECT_EQ(resends.back().block, 2u);
    EXPECT_EQ(resends.back().first, 8u);
    EXPECT_EQ(resends.back().last, 10u);
    for (int i = 0; i < 20; ++i) rx->resendTick(now += 11, false);
    uint32_t asked = 0;
    for (size_t i = before; i < resends.size(); ++i) asked += resends[i].last - resends[i].first + 1;
    EXPECT_EQ(asked, 10u) << "the budget bounds the rounds";
    EXPECT_FALSE(rx->resendPending());
}

TEST_F(GvspReceiverTest, ReusedBuffersReadZeroWhereNoPacketWrote) {
    make(40, 25, 100, 0);
    GevImageHeader h{};
    Bytes out;
    // Every ring buffer holds a whole earlier block first.
    for (uint64_t id = 1; id <= 4; ++id) {
        block(id, qx::fixture::SimGvspSender::pattern(id, 1000));
        ASSERT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    }
    // Packet 4 lost, packet 7 short (60 of its 100 bytes): those bytes read zero, the rest is
    // the new block's.
    const Bytes data = qx::fixture::SimGvspSender::pattern(5, 1000);
    leader(5);
    for (uint32_t p = 1; p <= 10; ++p) {
        if (p == 4) continue;
        const size_t at = size_t(p - 1) * 100;
        const size_t len = p == 7 ? 60 : 100;
        feed(gvsp::encodePayload(header(5, gvsp::kPayload, p), data.data() + at, len));
    }
    trailer(5, cfg.height);
    rx->flushAtEnd();
    ASSERT_EQ(take(&h, &out), GEV_STATUS_GRAB_ERROR);
    for (size_t i = 0; i < 1000; ++i) {
        const bool unwritten = (i >= 300 && i < 400) || (i >= 660 && i < 700);
        ASSERT_EQ(out[i], unwritten ? 0 : data[i]) << i;
    }

    // A multi-part packet after generic ones: the bytes around it read zero as well.
    leader(6);
    payload(6, 1, data);
    const uint8_t part[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Bytes mp = {0, 0, 0, 0, 0, 0, 0x01, 0xF4}; // byte offset 500
    mp.insert(mp.end(), part, part + 8);
    feed(gvsp::encodePayload(header(6, gvsp::kMultipart, 2), mp.data(), mp.size()));
    rx->flushAtEnd();
    ASSERT_NE(take(&h, &out), GEV_STATUS_TIMEOUT);
    for (size_t i = 0; i < 1000; ++i) {
        const uint8_t want = i < 100 ? data[i] : (i >= 500 && i < 508) ? part[i - 500] : 0;
        ASSERT_EQ(out[i], want) << i;
    }
}

TEST_F(GvspReceiverTest, ShorterTrailerHeightCompletesABlockOnlyWhenTheMissingPacketsLieBeyondTheImage) {
    make(40, 25, 100);
    const Bytes data(1000, 4);
    // 20 lines = 800 bytes = 8 packets; packets 9 and 10 never come.
    leader(1);
    for (uint32_t p = 1; p <= 8; ++p) payload(1, p, data);
    trailer(1, 20);
    GevImageHeader h{};
    Bytes out;
    ASSERT_EQ(ring->deliverList.count(), 1u);
    EXPECT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(h.SizeY, 20u);
    EXPECT_EQ(h.MissingPackets, 0u);
    EXPECT_EQ(out[799], 4);
    EXPECT_EQ(out[800], 0); // beyond the real image: zeroed
    // Packet 3 (inside the image) lost, packets 9 and 10 beyond it: still incomplete.
    leader(2);
    for (uint32_t p = 1; p <= 8; ++p)
        if (p != 3) payload(2, p, data);
    trailer(2, 20);
    rx->flushOnIdle();
    EXPECT_EQ(take(&h, &out), GEV_STATUS_GRAB_ERROR);
    EXPECT_EQ(h.MissingPackets, 1u);
}

TEST_F(GvspReceiverTest, RawPayloadIsCopiedAsItsSizeAndNeverBeyondTheBlock) {
    make(40, 25, 100);
    Bytes data(1000, 0x77);
    gvsp::ImageLeader l;
    l.payloadType = gvsp::kRawData;
    rawSize = 500;
    leader(1, l);
    for (uint32_t p = 1; p <= 5; ++p) payload(1, p, data);
    trailer(1, 0, gvsp::kRawData);
    rx->flushOnIdle();
    GevImageHeader h{};
    Bytes out;
    take(&h, &out);
    EXPECT_EQ(h.SizeX, GEV_NON_IMAGE_WIDTH);
    EXPECT_EQ(h.SizeY, 500u);
    EXPECT_EQ(out[499], 0x77);
    EXPECT_EQ(out[500], 0);
    // A raw size beyond the payload is cut to the payload.
    rawSize = 0xFFFFFFF0u;
    leader(2, l);
    for (uint32_t p = 1; p <= 10; ++p) payload(2, p, data);
    trailer(2, 0, gvsp::kRawData);
    rx->flushOnIdle();
    take(&h, &out);
    EXPECT_EQ(h.SizeY, 0xFFFFFFF0u);
    EXPECT_EQ(out, data);
}

TEST_F(GvspReceiverTest, PaddedLinesArePackedAndLinesBeyondTheBlockSkipped) {
    make(10, 5, 20, 0, 10, 60); // lines of 10 bytes + 2 padding
    Bytes data(60);
    for (size_t i = 0; i < 60; ++i) data[i] = static_cast<uint8_t>(i);
    gvsp::ImageLeader l;
    l.width = 10;
    l.height = 5;
    l.pixelFormat = kMono8;
    l.paddingX = 2;
    leader(1, l);
    for (uint32_t p = 1; p <= 3; ++p) payload(1, p, data);
    trailer(1, 5);
    GevImageHeader h{};
    Bytes out;
    EXPECT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[10], 12); // second line starts after the padding
    EXPECT_EQ(out[49], 57);
    EXPECT_EQ(out[50], 0);
    // Padding so wide that lines would end beyond the block: they are skipped.
    l.paddingX = 40;
    leader(2, l);
    for (uint32_t p = 1; p <= 3; ++p) payload(2, p, data);
    trailer(2, 5);
    take(&h, &out);
    EXPECT_TRUE(logged("[I] Wrong value of Padding X: 40"));
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[10], 50); // line 1 at 50 fits, lines from 100 on do not
    EXPECT_EQ(out[20], 0);
}

TEST_F(GvspReceiverTest, PaddedCopyOfAHugeUncheckedHeightEndsAtTheBlock) {
    make(10, 5, 20, 0, 10, 60);
    const Bytes data(60, 6);
    gvsp::ImageLeader l;
    l.payloadType = gvsp::kImageExtendedChunk; // no geometry check for this type
    l.width = 10;
    l.height = 0xFFFFFFFFu;
    l.pixelFormat = kMono8;
    l.paddingX = 2;
    leader(1, l);
    for (uint32_t p = 1; p <= 3; ++p) payload(1, p, data);
    trailer(1, 0xFFFFFFFFu, gvsp::kImageExtendedChunk);
    GevImageHeader h{};
    Bytes out;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_LT(msSince(t0), 1000);
    EXPECT_EQ(out[49], 6); // five whole lines of the 60 bytes
    EXPECT_EQ(out[50], 0);
    size_t wrongPadding = 0;
    for (const auto& line : LogCapture::instance().lines())
        if (line.text.find("[I] Wrong value of Padding X") != std::string::npos) ++wrongPadding;
    EXPECT_EQ(wrongPadding, 1u);
}

// Blocks that find the ring full are counted once each, however many of their packets come,
// and logged at a bounded rate; a later delivered block counts them as missing.
TEST_F(GvspReceiverTest, FullDeliveryListLeavesNoBufferForTheNextLeader) {
    make(40, 25, 100);
    const Bytes data(1000, 1);
    for (uint64_t b = 1; b <= 4; ++b) block(b, data);
    EXPECT_EQ(ring->deliverList.count(), 4u);
    EXPECT_EQ(leader(5), 0);
    EXPECT_TRUE(
        logged("[W] There is no buffer available in the queue to store the data. (QueuedList: 0, DeliverList: 4)"));
    EXPECT_TRUE(logged("[W] 1 block(s) dropped at the full image ring (1 in all)"));
    for (uint64_t b = 5; b <= 40; ++b) block(b, data); // every packet of each finds no buffer
    EXPECT_EQ(ring->deliverList.count(), 4u);
    EXPECT_EQ(rx->ringFull.load(), 36u);
    size_t lines = 0;
    for (const auto& l : LogCapture::instance().lines())
        if (l.text.find("There is no buffer available") != std::string::npos) ++lines;
    EXPECT_GE(lines, 1u);
    EXPECT_LT(lines, 36u); // one line per second at most, not one per block or packet

    GevImageHeader h{};
    Bytes out;
    while (take(&h, &out) != GEV_STATUS_TIMEOUT) {
    }
    block(41, data);
    ASSERT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(h.BlockId, 41u);
    EXPECT_EQ(h.MissingBlocks, 36u);
    EXPECT_EQ(rx->missingBlocks.load(), 36u);
}

TEST_F(GvspReceiverTest, LeaderGeometryDifferentFromTheStartValuesIsReplaced) {
    make(40, 25, 100);
    const Bytes data(1000, 1);
    gvsp::ImageLeader l;
    l.width = 4000;
    l.height = 25;
    l.pixelFormat = kMono8;
    leader(1, l);
    EXPECT_TRUE(logged("[E] Stream header wrong (1): Width expected -> 40, actual -> 4000"));
    for (uint32_t p = 1; p <= 10; ++p) payload(1, p, data);
    trailer(1, 25);
    GevImageHeader h{};
    Bytes out;
    EXPECT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(h.SizeX, 40u);
}

TEST_F(GvspReceiverTest, ExtendedIdsAndDeviceSideDrops) {
    extended = true;
    make(40, 25, 100);
    const Bytes data(1000, 1);
    block(0x100000001ull, data);
    EXPECT_EQ(rx->blockIdMode(), GvspBlockIdMode::Extended);
    EXPECT_TRUE(logged("[N] Stream uses extended block IDs"));
    // The device reports that it dropped blocks before this one.
    gvsp::Header h = header(0x100000004ull, gvsp::kLeader, 0);
    h.flags = gvsp::kFlagPreviousBlockDropped;
    gvsp::ImageLeader l;
    l.width = 40;
    l.height = 25;
    l.pixelFormat = kMono8;
    l.timestamp = 999;
    feed(gvsp::encodeLeader(h, l));
    EXPECT_EQ(rx->deviceDiscarded.load(), 2u);
    EXPECT_TRUE(logged("[W] More than one previous data blocks have been discarded on device side."));
    // A 16-bit packet in an extended stream cannot be placed.
    extended = false;
    EXPECT_EQ(payload(4, 1, data), 1);
}

TEST_F(GvspReceiverTest, PacketsForGuardsAgainstZeroAndOverflow) {
    EXPECT_EQ(GvspReceiver::packetsFor(1000, 0, false), 0u);
    EXPECT_EQ(GvspReceiver::packetsFor(1000, 100, false), 10u);
    EXPECT_EQ(GvspReceiver::packetsFor(1001, 100, true), 12u);
    EXPECT_EQ(GvspReceiver::packetsFor(0xFFFFFFFFu, 1, false), 0u); // beyond 24-bit packet ids
}

// Memory lent by a waiting reader (the filter driver's read) takes the next block when nothing
// is in flight before it; the read then finds the block in place, packed as a copy would be.
// A loan taken back mid-block moves the bytes so far into the ring's own buffer.
TEST_F(GvspReceiverTest, LentMemoryTakesTheNextBlockInPlaceOrGivesItBack) {
    make(40, 25, 100, 1);
    GevImageHeader h{};
    Bytes lent(1000, 0xEE);
    const Bytes one = qx::fixture::SimGvspSender::pattern(1, 1000);
    ring->lendNext = lent.data();
    block(1, one);
    GevImageBuffer* b = ring->deliverList.pop();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->lent, lent.data());
    EXPECT_EQ(ring->lentTo, b);
    EXPECT_EQ(ring->lendNext, nullptr);
    EXPECT_EQ(gevCopyImage(*b, cfg.payloadSize, lent.data(), &h, kCam), GEV_STATUS_SUCCESS);
    EXPECT_EQ(lent, one);
    EXPECT_EQ(h.BlockId, 1u);
    ring->giveBack(b);
    EXPECT_EQ(ring->lentTo, nullptr);
    EXPECT_EQ(b->lent, nullptr);

    // A block in flight takes no loan: the loan waits for the block after it.
    const Bytes two = qx::fixture::SimGvspSender::pattern(2, 1000),
                three = qx::fixture::SimGvspSender::pattern(3, 1000);
    leader(2);
    payload(2, 1, two);
    ring->lendNext = lent.data();
    for (uint32_t p = 2; p <= 10; ++p) payload(2, p, two);
    trailer(2, cfg.height);
    EXPECT_EQ(ring->lentTo, nullptr);
    Bytes out;
    ASSERT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(out, two);
    // Block 3 starts in the loan; packet 5 lost, then the read's time runs out and the loan
    // is taken back: block 3 continues in its own buffer and reads whole after the resend.
    leader(3);
    for (uint32_t p = 1; p <= 6; ++p)
        if (p != 5) payload(3, p, three);
    ASSERT_NE(ring->lentTo, nullptr);
    GevImageBuffer* lentBlock = ring->lentTo;
    ring->withdrawLoan();
    EXPECT_EQ(lentBlock->lent, nullptr);
    EXPECT_EQ(ring->lentTo, nullptr);
    std::fill(lent.begin(), lent.end(), 0xEE); // the reader's memory is its own again
    for (uint32_t p = 7; p <= 10; ++p) payload(3, p, three);
    trailer(3, cfg.height);
    ASSERT_FALSE(resends.empty());
    payload(3, 5, three); // the resent packet
    rx->flushAtEnd();
    ASSERT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(h.BlockId, 3u);
    EXPECT_EQ(out, three);

    // Padded lines are packed in place.
    make(10, 5, 20, 0, 10, 60);
    Bytes data(60);
    for (size_t i = 0; i < 60; ++i) data[i] = static_cast<uint8_t>(i);
    Bytes copied;
    for (const bool lend : {false, true}) {
        Bytes mem(60, 0xEE);
        if (lend) ring->lendNext = mem.data();
        gvsp::ImageLeader l;
        l.width = 10;
        l.height = 5;
        l.pixelFormat = kMono8;
        l.paddingX = 2;
        leader(lend ? 2 : 1, l);
        for (uint32_t p = 1; p <= 3; ++p) payload(lend ? 2 : 1, p, data);
        trailer(lend ? 2 : 1, 5);
        GevImageBuffer* d = ring->deliverList.pop();
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->lent != nullptr, lend);
        EXPECT_EQ(gevCopyImage(*d, 60, mem.data(), &h, kCam), GEV_STATUS_SUCCESS);
        ring->giveBack(d);
        if (lend) EXPECT_EQ(mem, copied);
        else copied = mem;
    }
    EXPECT_EQ(copied[10], 12);
}

TEST_F(GvspReceiverTest, ShortPayloadPacketsLeaveTheirPacketMissing) {
    make(40, 25, 100); // 10 packets of 100 bytes
    GevImageHeader h{};
    Bytes out;
    const Bytes data = qx::fixture::SimGvspSender::pattern(1, 1000);
    // Every ring buffer holds an earlier block first, so that stale bytes would show.
    for (uint64_t id = 1; id <= 4; ++id) {
        block(id, Bytes(1000, 0x77));
        ASSERT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    }
    // Packet 4 carries half its bytes, packet 8 only the header: neither counts as received.
    leader(5);
    for (uint32_t p = 1; p <= 10; ++p) {
        const size_t at = size_t(p - 1) * 100;
        const size_t len = p == 4 ? 50 : p == 8 ? 0 : 100;
        feed(gvsp::encodePayload(header(5, gvsp::kPayload, p), data.data() + at, len));
    }
    trailer(5, 25);
    expectIncomplete(2, &h, &out);
    EXPECT_EQ(rx->missingPackets.load(), 2u);
    for (size_t i = 0; i < 1000; ++i) {
        const bool unwritten = (i >= 350 && i < 400) || (i >= 700 && i < 800);
        ASSERT_EQ(out[i], unwritten ? 0 : data[i]) << i;
    }
}

TEST_F(GvspReceiverTest, ShortPayloadPacketsAreAskedAgainAndTheFullOnesCompleteTheBlock) {
    make(40, 25, 100, 1, 10);
    const Bytes data = qx::fixture::SimGvspSender::pattern(2, 1000);
    leader(1);
    for (uint32_t p = 1; p <= 10; ++p) {
        const size_t at = size_t(p - 1) * 100;
        const size_t len = p == 4 ? 50 : p == 10 ? 0 : 100; // the last data packet header-only
        feed(gvsp::encodePayload(header(1, gvsp::kPayload, p), data.data() + at, len));
    }
    trailer(1, 25);
    ASSERT_EQ(resends.size(), 2u);
    EXPECT_EQ(resends[0].first, 4u); // the gap seen at packet 5
    EXPECT_EQ(resends[0].last, 4u);
    EXPECT_EQ(resends[1].first, 10u); // the trailer's request
    EXPECT_EQ(resends[1].last, 10u);
    EXPECT_EQ(ring->deliverList.count(), 0u);
    payload(1, 4, data);
    payload(1, 10, data);
    expectWhole(data, 2);
}

TEST_F(GvspReceiverTest, TheShortLastPacketOfAShorterImageCompletesIt) {
    make(40, 25, 100);
    const Bytes data = qx::fixture::SimGvspSender::pattern(3, 1000);
    // 19 lines = 760 bytes: packets 1..7 whole, packet 8 with 60 bytes ends the image.
    leader(1);
    for (uint32_t p = 1; p <= 8; ++p)
        feed(gvsp::encodePayload(header(1, gvsp::kPayload, p), data.data() + (p - 1) * 100, p == 8 ? 60 : 100));
    trailer(1, 19);
    GevImageHeader h{};
    Bytes out;
    ASSERT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(h.SizeY, 19u);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 760, out.begin()));
    // Ending short of the image is still a lost packet.
    leader(2);
    for (uint32_t p = 1; p <= 8; ++p)
        feed(gvsp::encodePayload(header(2, gvsp::kPayload, p), data.data() + (p - 1) * 100, p == 8 ? 40 : 100));
    trailer(2, 19);
    expectIncomplete(1, &h, &out);
}

TEST_F(GvspReceiverTest, OnlyPacketsInsideAShorterImageCountTowardsItsCompletion) {
    make(40, 25, 100, 1, 10);
    const Bytes data = qx::fixture::SimGvspSender::pattern(4, 1000);
    // 20 lines = 8 packets. Packets 3 and 9 lost (each asked at the gap after it); only 3 lies
    // inside the image.
    leader(1);
    for (uint32_t p = 1; p <= 10; ++p)
        if (p != 3 && p != 9) payload(1, p, data);
    trailer(1, 20);
    ASSERT_EQ(resends.size(), 2u);
    EXPECT_EQ(resends[0].first, 3u);
    EXPECT_EQ(resends[1].first, 9u);
    // A late packet beyond the image does not stand in for the one inside it.
    payload(1, 9, data);
    EXPECT_EQ(ring->deliverList.count(), 0u);
    GevImageHeader h{};
    Bytes out;
    expectIncomplete(1, &h, &out);
    EXPECT_EQ(h.SizeY, 20u);
    // The same block once packet 3 comes back is complete.
    leader(2);
    for (uint32_t p = 1; p <= 10; ++p)
        if (p != 3 && p != 9) payload(2, p, data);
    trailer(2, 20);
    payload(2, 9, data);
    payload(2, 3, data);
    ASSERT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 800, out.begin()));
}

// A two-part block of 1000 bytes in 100-byte packets: part 1 (550 bytes) in packets 1..6, part
// 2 (450 bytes) in packets 7..11, one packet more than 1000 / 100.
TEST_F(GvspReceiverTest, MultipartBlocksMayHaveMorePacketsThanThePayloadNeeds) {
    make(40, 25, 100);
    const Bytes data = qx::fixture::SimGvspSender::pattern(6, 1000);
    auto part = [&](uint64_t block, uint32_t id) {
        const size_t at = id <= 6 ? (id - 1) * 100 : 550 + (id - 7) * 100;
        const size_t len = std::min<size_t>(100, (id <= 6 ? 550 : 1000) - at);
        Bytes body = {0, 0, 0, 0, 0, 0, static_cast<uint8_t>(at >> 8), static_cast<uint8_t>(at)};
        body.insert(body.end(), data.begin() + at, data.begin() + at + len);
        return feed(gvsp::encodePayload(header(block, gvsp::kMultipart, id), body.data(), body.size()));
    };
    auto multipartBlock = [&](uint64_t block, const std::set<uint32_t>& skip) {
        gvsp::ImageLeader l;
        l.payloadType = gvsp::kMultipartPayload;
        leader(block, l);
        for (uint32_t id = 1; id <= 11; ++id)
            if (!skip.count(id)) part(block, id);
        gvsp::Trailer t;
        t.payloadType = gvsp::kMultipartPayload;
        feed(gvsp::encodeTrailer(header(block, gvsp::kTrailer, 12), t));
    };
    GevImageHeader h{};
    Bytes out;
    multipartBlock(1, {});
    ASSERT_EQ(take(&h, &out), GEV_STATUS_SUCCESS);
    EXPECT_EQ(out, data);
    EXPECT_EQ(h.MissingPackets, 0u);
    // The packet past the count lost, and then the last one (only the trailer tells of it).
    multipartBlock(2, {11});
    expectIncomplete(1, &h, &out);
    multipartBlock(3, {10});
    expectIncomplete(1, &h, &out);
}

TEST_F(GvspReceiverTest, APauseInsideABlockAsksForNothingInImmediateMode) {
    cfg.reaskWaitMs = 10;
    make(100, 20, 20, 1, 10); // 100 packets of 20 bytes
    const Bytes data = qx::fixture::SimGvspSender::pattern(7, 2000);
    int64_t now = 1000;
    leader(1);
    for (uint32_t p = 1; p <= 20; ++p) {
        payload(1, p, data);
        rx->resendTick(now, false);
    }
    // The camera pauses for 50 ms: packets 21..100 are not sent yet, none is lost.
    for (int i = 0; i < 5; ++i) rx->resendTick(now += 10, true);
    EXPECT_TRUE(resends.empty());
    // The rest comes; packet 60 is lost and asked at the gap, and comes back.
    for (uint32_t p = 21; p <= 100; ++p) {
        if (p != 60) payload(1, p, data);
        rx->resendTick(now, false);
    }
    ASSERT_EQ(resends.size(), 1u);
    EXPECT_EQ(resends[0].first, 60u);
    EXPECT_EQ(resends[0].last, 60u);
    trailer(1, 20);
    payload(1, 60, data);
    expectWhole(data, 1);
}

// A block whose leader was lost waits in the next slot with nothing before it; it still gets
// its rounds: the grab thread's idle wake-ups ask about it as the rounds do.
TEST_F(GvspReceiverTest, ABlockWithoutItsLeaderIsPendingForRounds) {
    const Bytes data = immediateMode(10);
    for (uint32_t p = 1; p <= 10; ++p)
        if (p != 6) payload(1, p, data);
    trailer(1, cfg.height);
    EXPECT_TRUE(rx->resendPending());
    int64_t now = 7000;
    const size_t before = resends.size();
    rx->resendTick(now, true);
    rx->resendTick(now += 11, true);
    ASSERT_GT(resends.size(), before);
    EXPECT_EQ(resends.back().block, 1u);
    EXPECT_EQ(resends.back().first, 6u);
}

// Once the camera has answered a round and gone quiet, what is still missing was lost again and
// is asked at once, not after the whole re-ask wait.
TEST_F(GvspReceiverTest, ImmediateRoundAsksAgainOnceTheAnswersStop) {
    const Bytes data = immediateMode(20);
    int64_t now = 9000;
    block(1, data, {3, 5, 7});
    rx->resendTick(now, false);
    const size_t asked = resends.size();
    ASSERT_GE(asked, 1u);
    // 3 and 5 come back, 7 (the last asked) was lost again.
    payload(1, 3, data);
    rx->resendTick(now + 1, false);
    payload(1, 5, data);
    rx->resendTick(now + 1, false);
    EXPECT_EQ(resends.size(), asked);
    rx->resendTick(now + 3, true); // quiet for 2 ms: well inside the 10 ms re-ask wait
    ASSERT_EQ(resends.size(), asked + 1);
    EXPECT_EQ(resends.back().first, 7u);
    EXPECT_EQ(resends.back().last, 7u);
}

// A block whose trailer was lost: in silence its gaps (below the highest packet received) are
// asked again, while the packets after the highest one, which the camera may not have sent yet,
// are not.
TEST_F(GvspReceiverTest, SilenceBeforeTheTrailerAsksTheGapsAgainOnly) {
    const Bytes data = immediateMode(20);
    int64_t now = 11000;
    leader(1);
    for (uint32_t p = 1; p <= 6; ++p)
        if (p != 3) payload(1, p, data);
    rx->resendTick(now, false);
    ASSERT_EQ(resends.size(), 1u) << "the gap, when it was seen";
    EXPECT_EQ(resends[0].first, 3u);
    EXPECT_TRUE(rx->resendPending());
    rx->resendTick(now + 5, true);
    EXPECT_EQ(resends.size(), 1u) << "within the re-ask wait";
    rx->resendTick(now + 11, true);
    ASSERT_EQ(resends.size(), 2u);
    EXPECT_EQ(resends[1].first, 3u);
    EXPECT_EQ(resends[1].last, 3u) << "nothing after the highest packet received";
    payload(1, 3, data);
    EXPECT_FALSE(rx->resendPending());
    for (uint32_t p = 7; p <= 10; ++p) payload(1, p, data);
    trailer(1, cfg.height);
    expectWhole(data, 2);
}

// A block whose last packets and trailer were lost, and the next block's leader too: once that
// block's packets come, the stream has moved on and the tail of the block before is asked.
TEST_F(GvspReceiverTest, TheTailOfABlockIsAskedOnceTheNextBlocksPacketsCome) {
    const Bytes data = immediateMode(20);
    const int64_t now = 13000;
    leader(1);
    for (uint32_t p = 1; p <= 7; ++p) {
        payload(1, p, data);
        rx->resendTick(now, false);
    }
    EXPECT_TRUE(resends.empty());
    payload(2, 1, data);
    rx->resendTick(now, false);
    ASSERT_EQ(resends.size(), 1u);
    EXPECT_EQ(resends[0].block, 1u);
    EXPECT_EQ(resends[0].first, 8u);
    EXPECT_EQ(resends[0].last, 10u);
    for (uint32_t p = 8; p <= 10; ++p) payload(1, p, data);
    for (uint32_t p = 2; p <= 10; ++p) payload(2, p, data);
    trailer(2, cfg.height);
    expectWhole(data, 3);
    expectWhole(data, 0);
}

// The tail of a block is asked only when the next block comes, so its answer may come after
// the next trailer: the block is held for a few answer times, and the next one goes out behind
// it (complete) or takes its place (incomplete). Order is kept either way.
TEST_F(GvspReceiverTest, ThePreviousBlockIsHeldPastTheNextTrailerWhileItsLastRequestIsOnItsWay) {
    const Bytes data = immediateMode(20);
    int64_t now = 15000;
    auto blockWithoutItsTail = [&](uint64_t id) {
        leader(id);
        for (uint32_t p = 1; p <= 8; ++p) {
            payload(id, p, data);
            rx->resendTick(now, false);
        }
    };
    blockWithoutItsTail(1);
    leader(2);
    rx->resendTick(now, false);
    ASSERT_EQ(resends.size(), 1u);
    EXPECT_EQ(resends[0].first, 9u);
    for (uint32_t p = 1; p <= 10; ++p) payload(2, p, data);
    trailer(2, cfg.height);
    EXPECT_EQ(ring->deliverList.count(), 0u) << "the answer is on its way";
    payload(1, 9, data);
    payload(1, 10, data);
    expectWhole(data, 2);
    expectWhole(data, 0);

    // The answer never comes, and the next block misses a packet of its own: the first block
    // goes out incomplete once the hold is over, the next one then gets its rounds.
    blockWithoutItsTail(3);
    leader(4);
    rx->resendTick(now, false);
    for (uint32_t p = 1; p <= 10; ++p)
        if (p != 5) payload(4, p, data);
    trailer(4, cfg.height);
    rx->resendTick(now, true);
    EXPECT_EQ(ring->deliverList.count(), 0u);
    for (int i = 0; i < 50 && ring->deliverList.count() == 0; ++i) rx->resendTick(now += 1, true);
    GevImageHeader h{};
    Bytes out;
    ASSERT_EQ(take(&h, &out), GEV_STATUS_GRAB_ERROR);
    EXPECT_EQ(h.BlockId, 3u);
    EXPECT_EQ(h.MissingPackets, 2u);
    EXPECT_EQ(ring->deliverList.count(), 0u);
    payload(4, 5, data);
    expectWhole(data, 1);
}
