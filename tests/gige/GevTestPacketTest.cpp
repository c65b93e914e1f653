// Test packets against the simulated device: one trial on a temporary socket or the open
// stream socket, the LFSR check, packets that do not get through, and the search for the
// largest packet size with the adapter's MTU as its ceiling.
#include <set>

#include "GevChannelTestSupport.h"
#include "gige/GevTestPacket.h"
#include "gige/GvspProtocol.h"

using namespace qx::fixture;
using namespace qx::test;
namespace gvcp = qx::gige::gvcp;
using qx::gige::gevRecord;

namespace {

constexpr uint32_t kLfsrCapability = 0x02000000u;

class GevTestPacket : public GevChannelTest {
protected:
    void TearDown() override {
        qx::gige::gevSetMtuProvider(nullptr);
        GevChannelTest::TearDown();
    }
    static SimGevConfig device(uint32_t mtu = 1500, bool lfsr = true) {
        SimGevConfig c;
        c.testPacketMtu = mtu;
        if (lfsr) c.capability |= kLfsrCapability;
        return c;
    }
};

uint32_t mtu1500(uint32_t) { return 1500; }
uint32_t mtuUnknown(uint32_t) { return 0; }

} // namespace

TEST_F(GevTestPacket, ATrialOnATemporarySocket) {
    auto d = makeDevice(device());
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    uint32_t size = 1000;
    ASSERT_EQ(GEVTestPacket(1, &size), GEV_STATUS_SUCCESS);
    EXPECT_EQ(size, 1000u);
    EXPECT_EQ(d->testPacketRequests(), std::vector<uint32_t>{1000});
    EXPECT_EQ(d->reg(gvcp::reg::kScps0), 1000u | 0x40000000u); // fire bit cleared by the camera
    EXPECT_EQ(d->reg(gvcp::reg::kScda0), 0x7F000001u);
    EXPECT_NE(d->reg(gvcp::reg::kScp0), 0u);
    auto& log = LogCapture::instance();
    EXPECT_TRUE(log.has("[I] GEVTestPacket: LFSR generator supported."));
    EXPECT_TRUE(log.has("[I] GEVTestPacket: data ok."));
    EXPECT_TRUE(
        log.has("[V] Set new stream channel port " + std::to_string(d->reg(gvcp::reg::kScp0)) + " for GEVTestPacket"));

    // Size 0: SCPS0 as it stands.
    d->setRegister(gvcp::reg::kScps0, 576);
    size = 0;
    ASSERT_EQ(GEVTestPacket(1, &size), GEV_STATUS_SUCCESS);
    EXPECT_EQ(size, 576u);
    EXPECT_EQ(d->testPacketRequests().back(), 576u);
    EXPECT_EQ(GEVTestPacket(1, nullptr), GEV_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(GEVTestPacket(7, &size), GEV_STATUS_CAMERA_NOT_INIT);
}

TEST_F(GevTestPacket, ACameraThatRoundsTheSizeGivesThePacketThatArrived) {
    SimGevConfig c = device();
    c.testPacketRounding = 8;
    auto d = makeDevice(c);
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    uint32_t size = 1003;
    ASSERT_EQ(GEVTestPacket(1, &size), GEV_STATUS_SUCCESS);
    EXPECT_EQ(size, 1000u);
    EXPECT_TRUE(LogCapture::instance().has("[I] GEVTestPacket: data ok."));
    // On the open stream socket as well.
    ASSERT_EQ(GEVOpenStreamChannel(1, 0, 0, 0), GEV_STATUS_SUCCESS);
    size = 1499;
    ASSERT_EQ(GEVTestPacket(1, &size), GEV_STATUS_SUCCESS);
    EXPECT_EQ(size, 1496u);
}

TEST_F(GevTestPacket, APacketThatWouldNeedFragmentingDoesNotArrive) {
    auto d = makeDevice(device(1400));
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    fastChannel(1, 60);
    uint32_t size = 1401;
    EXPECT_EQ(GEVTestPacket(1, &size), GEV_STATUS_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(LogCapture::instance().has("[I] GEVTestPacket: select error:0"));
    size = 1400;
    EXPECT_EQ(GEVTestPacket(1, &size), GEV_STATUS_SUCCESS);
    EXPECT_EQ(size, 1400u);
}

TEST_F(GevTestPacket, CorruptPayloadFailsTheLfsrCheck) {
    auto d = makeDevice(device());
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    d->corruptTestPackets(12);
    d->testPacketBlockId(3);
    uint32_t size = 600;
    EXPECT_EQ(GEVTestPacket(1, &size), GEV_STATUS_TEST_PACKET_DATA_ERROR);
    EXPECT_EQ(size, 0u);
    auto& log = LogCapture::instance();
    EXPECT_TRUE(log.has("[E] GEVTestPacket: BlockID != 0."));
    EXPECT_TRUE(log.has("[E] GEVTestPacket: pos->1 expected->FF current->00"));
    EXPECT_TRUE(log.has("[E] GEVTestPacket: pos->2 expected->E9 current->16"));
    size_t positions = 0;
    for (const auto& l : log.lines()) positions += l.text.find("GEVTestPacket: pos->") != std::string::npos;
    EXPECT_EQ(positions, 9u);
    EXPECT_TRUE(log.has("[E] GEVTestPacket: 12 data errors."));
}

TEST_F(GevTestPacket, WithoutTheLfsrCapabilityAnyPayloadPasses) {
    auto d = makeDevice(device(1500, false));
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    d->corruptTestPackets(50);
    uint32_t size = 700;
    EXPECT_EQ(GEVTestPacket(1, &size), GEV_STATUS_SUCCESS);
    EXPECT_EQ(size, 700u);
    EXPECT_TRUE(LogCapture::instance().has("[I] GEVTestPacket: LFSR generator not supported."));
}

TEST_F(GevTestPacket, TheOpenStreamSocketIsFlushedAndUsed) {
    auto d = makeDevice(device());
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    auto& rec = gevRecord(1);
    uint16_t port = 0;
    {
        qx::sys::MutexLock lock(rec.streamSocketLock);
        ASSERT_EQ(rec.streamSocket.open(ipv4("127.0.0.1"), 0), 0);
        rec.streamSocket.localPort(&port);
        rec.hostStreamPort = port;
    }
    d->setRegister(gvcp::reg::kScda0, 0x7F000001u);
    d->setRegister(gvcp::reg::kScp0, port);
    // Something already waits on the socket.
    qx::net::UdpSocket other;
    ASSERT_EQ(other.open(ipv4("127.0.0.1"), 0), 0);
    const char junk[100] = {};
    other.sendTo(ipv4("127.0.0.1"), port, junk, sizeof junk);
    uint32_t size = 900;
    ASSERT_EQ(GEVTestPacket(1, &size), GEV_STATUS_SUCCESS);
    EXPECT_EQ(size, 900u);
    EXPECT_EQ(d->reg(gvcp::reg::kScp0), port); // the stream channel was not re-pointed
    EXPECT_TRUE(LogCapture::instance().has("[I] Flush stream channel socket [100]."));
}

TEST_F(GevTestPacket, DatagramsOfAStreamStillRunningArePassedOver) {
    // A camera still streaming from before sends its packets to the trial's socket first: a
    // trailer (44 bytes), a payload packet of the size asked for, a leader. Only the test packet
    // counts; the size found is the one asked for, not the first datagram's.
    auto d = makeDevice(device());
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    namespace gvsp = qx::gige::gvsp;
    gvsp::Header h;
    h.blockId = 7;
    h.format = gvsp::kTrailer;
    h.packetId = 4;
    gvsp::Trailer t;
    t.sizeY = 10;
    const std::vector<uint8_t> trailer = gvsp::encodeTrailer(h, t);
    h.format = gvsp::kPayload;
    h.packetId = 2;
    const std::vector<uint8_t> body(1000 - 36, 0x5A);
    const std::vector<uint8_t> payload = gvsp::encodePayload(h, body.data(), body.size());
    ASSERT_EQ(payload.size() + 28, 1000u);
    h.format = gvsp::kLeader;
    h.packetId = 0;
    gvsp::ImageLeader l;
    l.width = l.height = 10;
    const std::vector<uint8_t> leader = gvsp::encodeLeader(h, l, 100);
    d->strayBeforeTestPacket({trailer, payload, leader});
    uint32_t size = 1000;
    ASSERT_EQ(GEVTestPacket(1, &size), GEV_STATUS_SUCCESS);
    EXPECT_EQ(size, 1000u);
    EXPECT_TRUE(LogCapture::instance().has("[I] GEVTestPacket: data ok."));
    EXPECT_FALSE(LogCapture::instance().has("[E] GEVTestPacket"));

    // The search is not thrown by them either: it finds what gets through.
    uint16_t found = 0;
    qx::gige::gevSetMtuProvider(&mtu1500);
    ASSERT_EQ(GEVTestFindMaxPacketSize(1, &found, 576, 9000, 4), GEV_STATUS_SUCCESS);
    EXPECT_EQ(found, 1500);
}

TEST_F(GevTestPacket, SearchStaysUnderTheAdapterMtu) {
    qx::gige::gevSetMtuProvider(&mtu1500);
    auto d = makeDevice(device(9000)); // the camera itself would send anything
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    uint16_t size = 0;
    ASSERT_EQ(GEVTestFindMaxPacketSize(1, &size, 576, 9000, 4), GEV_STATUS_SUCCESS);
    EXPECT_EQ(size, 1500);
    for (uint32_t r : d->testPacketRequests()) {
        EXPECT_LE(r, 1500u);
        EXPECT_GE(r, 576u);
        EXPECT_EQ(r % 4, 0u);
    }
    EXPECT_TRUE(LogCapture::instance().has("[D] GEVTestFindMaxPacketSize: ps="));
}

TEST_F(GevTestPacket, SearchFindsTheLargestSizeThatGetsThrough) {
    qx::gige::gevSetMtuProvider(&mtuUnknown); // 1500 assumed
    for (uint32_t limit : {1496u, 1000u, 600u}) {
        auto d = makeDevice(device(limit));
        ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
        fastChannel(1, 40);
        uint16_t size = 0;
        ASSERT_EQ(GEVTestFindMaxPacketSize(1, &size, 576, 0, 1), GEV_STATUS_SUCCESS) << limit;
        EXPECT_GT(size, 0) << limit;
        EXPECT_LE(size, limit);
        // The size found arrived in a trial, and nothing larger did.
        const auto requests = d->testPacketRequests();
        EXPECT_NE(std::find(requests.begin(), requests.end(), size), requests.end()) << limit;
        for (uint32_t r : requests) {
            if (r <= limit) {
                EXPECT_LE(r, size) << limit;
            }
        }
        ASSERT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    }
}

// On a lossy link a test packet may be lost although its size gets through: a size that did
// not arrive is tried again before the search goes below it.
TEST_F(GevTestPacket, SearchTriesALostSizeAgainBeforeGoingDown) {
    qx::gige::gevSetMtuProvider(&mtu1500);
    auto d = makeDevice(device(1500));
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    fastChannel(1, 40);
    d->loseFirstTestPacketOfEachSize(true);
    uint16_t size = 0;
    ASSERT_EQ(GEVTestFindMaxPacketSize(1, &size, 576, 9000, 4), GEV_STATUS_SUCCESS);
    EXPECT_EQ(size, 1500);
    // Every size asked for was asked at least twice.
    const auto requests = d->testPacketRequests();
    for (uint32_t r : std::set<uint32_t>(requests.begin(), requests.end()))
        EXPECT_GE(std::count(requests.begin(), requests.end(), r), 2) << r;
}

TEST_F(GevTestPacket, SearchWithoutAnyPacketEndsWithZero) {
    qx::gige::gevSetMtuProvider(&mtu1500);
    auto d = makeDevice(device(100)); // nothing of 576 or more gets through
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    // A short wait for each missing packet keeps the search well inside its time limit; the
    // many retries let a loaded machine answer the register writes late.
    fastChannel(1, 10, 20);
    uint16_t size = 77;
    ASSERT_EQ(GEVTestFindMaxPacketSize(1, &size, 576, 9000, 4), GEV_STATUS_SUCCESS);
    EXPECT_EQ(size, 0);
    // The search gives up after its trial budget. A write sent again because its answer came
    // late fires a second packet with the same request id: trials are the distinct ids.
    std::set<uint16_t> trials;
    for (const auto& r : d->received()) {
        std::vector<uint32_t> addresses, values;
        if (r.header.command == gvcp::kWriteRegCmd &&
            gvcp::decodeWriteRegCmd(r.bytes.data(), r.bytes.size(), &addresses, &values))
            for (size_t i = 0; i < addresses.size(); ++i)
                if (addresses[i] == gvcp::reg::kScps0 && (values[i] & 0x80000000u)) trials.insert(r.header.requestId);
    }
    EXPECT_GE(trials.size(), 1u);
    EXPECT_LE(trials.size(), 64u);
    EXPECT_EQ(GEVTestFindMaxPacketSize(1, &size, 2000, 9000, 4), GEV_STATUS_INVALID_PARAMETER); // minimum above the MTU
}
