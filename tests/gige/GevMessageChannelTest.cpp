// The message thread against the simulated device: events are acknowledged before the
// camera's callback runs, EVENTDATA reaches the callback with its data, events without a
// callback are reported library-wide, foreign and malformed datagrams are dropped without
// stopping the thread, keep-alives go only to cameras with a source port, and a closed
// camera gets no more callbacks.
#include <atomic>
#include <condition_variable>

#include "GevChannelTestSupport.h"
#include "gige/GevMessageThread.h"

using namespace qx::fixture;
using namespace qx::test;
namespace gvcp = qx::gige::gvcp;

namespace {

struct Seen {
    uint8_t cam;
    GevEvent event;
    std::vector<uint8_t> data;
};

std::mutex g_mutex;
std::condition_variable g_cv;
std::vector<Seen> g_seen;
bool g_release = true; // false: the callback waits until the test lets it go

bool recordEvent(uint8_t cam, GevEvent* e) {
    std::unique_lock<std::mutex> lock(g_mutex);
    Seen s{cam, *e, {}};
    if (e->Data) s.data.assign(e->Data, e->Data + e->DataLength);
    s.event.Data = nullptr;
    g_seen.push_back(s);
    g_cv.notify_all();
    g_cv.wait_for(lock, std::chrono::seconds(2), [] { return g_release; });
    return true;
}

std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_seen;
}

class GevMessageChannel : public GevChannelTest {
protected:
    void SetUp() override {
        GevChannelTest::SetUp();
        std::lock_guard<std::mutex> lock(g_mutex);
        g_seen.clear();
        g_release = true;
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_release = true;
        }
        g_cv.notify_all();
        GevChannelTest::TearDown();
    }
    static SimGevConfig withMessageChannel(const char* ip = "127.0.0.2", bool sourcePort = false) {
        SimGevConfig c;
        c.ip = ip;
        c.messageChannels = 1;
        c.capability |= gvcp::cap::kEvent | gvcp::cap::kEventData;
        c.messageSourcePortRegister = sourcePort;
        return c;
    }
    static gvcp::EventPacket event(uint16_t id, uint16_t requestId, uint16_t command = gvcp::kEventCmd,
                                   uint8_t flags = gvcp::kFlagAckRequired) {
        gvcp::EventPacket e;
        e.command = command;
        e.flags = flags;
        e.eventId = id;
        e.requestId = requestId;
        e.streamChannel = 0;
        e.blockId = 0x0102;
        e.timestamp = 0x1122334455667788ull;
        return e;
    }
};

} // namespace

TEST_F(GevMessageChannel, EventIsAcknowledgedBeforeTheCallbackRuns) {
    auto d = makeDevice(withMessageChannel());
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVSetEventCallback(1, &recordEvent), GEV_STATUS_SUCCESS);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_release = false; // the callback holds on until the acknowledge has been seen
    }
    std::vector<uint8_t> ack;
    ASSERT_TRUE(d->sendEvent(event(4, 0x0BCD), &ack, 1000));
    EXPECT_EQ(ack, (std::vector<uint8_t>{0x00, 0x00, 0x00, 0xC1, 0x00, 0x00, 0x0B, 0xCD}));
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_release = true;
    }
    g_cv.notify_all();
    ASSERT_TRUE(waitUntil([] { return seen().size() == 1; }, 3000ms));
    const Seen s = seen().front();
    EXPECT_EQ(s.cam, 1);
    EXPECT_EQ(s.event.EventId, 4);
    EXPECT_EQ(s.event.BlockId, 0x0102u);
    EXPECT_EQ(s.event.Timestamp, 0x1122334455667788ull);
    EXPECT_EQ(s.event.DataLength, 0u);
    EXPECT_TRUE(s.data.empty());
}

TEST_F(GevMessageChannel, EventDataReachesTheCallback) {
    auto d = makeDevice(withMessageChannel());
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVSetEventCallback(1, &recordEvent), GEV_STATUS_SUCCESS);
    const uint8_t data[8] = {10, 20, 30, 40, 50, 60, 70, 80};
    auto e = event(0x9005, 21, gvcp::kEventDataCmd);
    e.streamChannel = 2;
    e.data = data;
    e.dataLength = 8;
    std::vector<uint8_t> ack;
    ASSERT_TRUE(d->sendEvent(e, &ack, 1000));
    EXPECT_EQ(ack, (std::vector<uint8_t>{0x00, 0x00, 0x00, 0xC3, 0x00, 0x00, 0x00, 21}));
    auto x = event(6, 22, gvcp::kEventDataCmd, gvcp::kFlagAckRequired | gvcp::kFlagExtendedIds);
    x.blockId = 0x123456789AULL;
    x.data = data;
    x.dataLength = 3;
    ASSERT_TRUE(d->sendEvent(x, nullptr, 1000));
    // No acknowledge asked for: none comes, the event still arrives.
    ASSERT_TRUE(d->sendEvent(event(5, 23, gvcp::kEventCmd, 0), nullptr, 0));
    ASSERT_TRUE(waitUntil([] { return seen().size() == 3; }, 3000ms));
    const auto all = seen();
    EXPECT_EQ(all[0].event.EventId, 0x9005);
    EXPECT_EQ(all[0].event.StreamChannel, 2);
    EXPECT_EQ(all[0].event.DataLength, 8u);
    EXPECT_EQ(all[0].data, std::vector<uint8_t>(data, data + 8));
    EXPECT_EQ(all[1].event.BlockId, 0x123456789AULL);
    EXPECT_EQ(all[1].data, std::vector<uint8_t>(data, data + 3));
    EXPECT_EQ(all[2].event.EventId, 5);
    EXPECT_EQ(all[2].event.DataLength, 0u);
}

TEST_F(GevMessageChannel, EventsWithoutACallbackAreReported) {
    auto d = makeDevice(withMessageChannel());
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    auto& log = LogCapture::instance();
    ASSERT_TRUE(d->sendEvent(event(3, 30), nullptr, 1000));
    ASSERT_TRUE(d->sendEvent(event(0x9001, 31), nullptr, 1000));
    ASSERT_TRUE(d->sendEvent(event(2, 32, gvcp::kEventCmd, 0), nullptr, 0));
    ASSERT_TRUE(waitUntil([&] { return log.reports().size() >= 3; }, 3000ms));
    EXPECT_TRUE(log.reported("[I] Message Channel Device 1 ->  (ack) start of exposure\r\n"));
    EXPECT_TRUE(log.reported("[I] Message Channel Device 1 ->  (ack) device-specific event: 0x9001, req_Id: 31"));
    EXPECT_TRUE(log.reported("[I] Message Channel Device 1 -> trigger event"));
}

TEST(GevMessageChannelText, EveryEventRange) {
    using qx::gige::gevEventReportText;
    EXPECT_EQ(gevEventReportText(2, 0, 0, false), "[I] Message Channel Device 2 ->  unknown event");
    EXPECT_EQ(gevEventReportText(2, 1, 0, true), "[I] Message Channel Device 2 ->  (ack) unknown event");
    EXPECT_EQ(gevEventReportText(1, 2, 0, true), "[I] Message Channel Device 1 -> (ack) trigger event");
    EXPECT_EQ(gevEventReportText(1, 4, 0, false), "[I] Message Channel Device 1 ->  end of exposure");
    EXPECT_EQ(gevEventReportText(1, 5, 0, false), "[I] Message Channel Device 1 ->  stream channel start of transfer");
    EXPECT_EQ(gevEventReportText(1, 6, 0, false), "[I] Message Channel Device 1 ->  stream channel end of transfer");
    EXPECT_EQ(gevEventReportText(1, 7, 0, false),
              "[I] Message Channel Device 1 ->  primary application switchover has been granted");
    EXPECT_EQ(gevEventReportText(1, 8, 0, false),
              "[I] Message Channel Device 1 ->  indicates that the link speed has changed");
    EXPECT_EQ(gevEventReportText(1, 9, 0, false),
              "[I] Message Channel Device 1 ->  execution of a scheduled action command was late");
    EXPECT_EQ(gevEventReportText(1, 10, 0, false), "[I] Message Channel Device 1 ->  reserved event");
    EXPECT_EQ(gevEventReportText(1, 0x8000, 0, false), "[I] Message Channel Device 1 ->  reserved event");
    EXPECT_EQ(gevEventReportText(1, 0x8001, 0, false), "[I] Message Channel Device 1 ->  error event");
    EXPECT_EQ(gevEventReportText(1, 0x8FFF, 0, false), "[I] Message Channel Device 1 ->  error event");
    EXPECT_EQ(gevEventReportText(1, 0x9000, 65535, false),
              "[I] Message Channel Device 1 ->  device-specific event: 0x9000, req_Id: 65535");
}

TEST_F(GevMessageChannel, ForeignAndMalformedDatagramsAreDroppedAndTheThreadGoesOn) {
    auto d = makeDevice(withMessageChannel());
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVSetEventCallback(1, &recordEvent), GEV_STATUS_SUCCESS);
    // From an address that is no open camera: ignored, not acknowledged.
    qx::net::UdpSocket stranger;
    ASSERT_EQ(stranger.open(ipv4("127.0.0.9"), 0), 0);
    const auto foreign = gvcp::encodeEventCmd(event(3, 40));
    stranger.sendTo(ipv4("127.0.0.1"), qx::gige::gevMessageChannel().port, foreign.data(), foreign.size());
    EXPECT_NE(stranger.waitReadable(150), qx::net::WaitResult::Readable);

    // From the camera: too short, wrong key, wrong command, counts past the datagram.
    auto full = gvcp::encodeEventCmd(event(3, 41, gvcp::kEventDataCmd));
    auto wrongKey = full;
    wrongKey[0] = 0x00;
    auto wrongCommand = full;
    wrongCommand[3] = 0x82;
    auto pastTheEnd = full;
    pastTheEnd[5] = 0xF0;
    for (const auto& bytes :
         {std::vector<uint8_t>{0x42, 0x01, 0x00}, std::vector<uint8_t>(full.begin(), full.begin() + 12), wrongKey,
          wrongCommand, pastTheEnd})
        ASSERT_TRUE(d->sendToMessageChannel(bytes));
    // A good event after all that is still served.
    std::vector<uint8_t> ack;
    ASSERT_TRUE(d->sendEvent(event(6, 42), &ack, 1000));
    ASSERT_TRUE(waitUntil([] { return seen().size() == 1; }, 3000ms));
    EXPECT_EQ(seen().front().event.EventId, 6);
    EXPECT_TRUE(LogCapture::instance().reports().empty());
}

TEST_F(GevMessageChannel, KeepAlivesOnlyWithASourcePort) {
    auto withPort = makeDevice(withMessageChannel("127.0.0.2", true));
    auto without = makeDevice(withMessageChannel("127.0.0.3", false));
    ASSERT_EQ(open(*withPort, 1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(open(*without, 2), GEV_STATUS_SUCCESS);
    EXPECT_EQ(qx::gige::gevRecord(1).messageSourcePort, withPort->messageSourcePort());
    const std::vector<uint8_t> dmmy{'d', 'm', 'm', 'y'};
    // The one sent at open, and the thread's first, due at once.
    ASSERT_TRUE(waitUntil([&] { return withPort->messageKeepAlives().size() >= 2; }, 3000ms));
    for (const auto& k : withPort->messageKeepAlives()) EXPECT_EQ(k, dmmy);
    // More passes of the thread, and the other camera still has none.
    ASSERT_TRUE(withPort->sendEvent(event(3, 50), nullptr, 1000));
    EXPECT_TRUE(without->messageKeepAlives().empty());
    EXPECT_LE(withPort->messageKeepAlives().size(), 2u); // the next is due only after 30 s
}

TEST_F(GevMessageChannel, AClosedCameraGetsNoMoreEvents) {
    auto a = makeDevice(withMessageChannel("127.0.0.2"));
    auto b = makeDevice(withMessageChannel("127.0.0.3"));
    ASSERT_EQ(open(*a, 1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(open(*b, 2), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVSetEventCallback(1, &recordEvent), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVSetEventCallback(2, &recordEvent), GEV_STATUS_SUCCESS);
    // MCP as camera 1 had it, before its close clears it.
    const uint32_t mcp = a->reg(gvcp::reg::kMcp);
    ASSERT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    a->setRegister(gvcp::reg::kMcp, mcp);
    EXPECT_FALSE(a->sendEvent(event(3, 60), nullptr, 200)); // no acknowledge
    ASSERT_TRUE(b->sendEvent(event(4, 61), nullptr, 1000));
    ASSERT_TRUE(waitUntil([] { return seen().size() >= 1; }, 3000ms));
    const auto all = seen();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].cam, 2);
    EXPECT_EQ(all[0].event.EventId, 4);
}
