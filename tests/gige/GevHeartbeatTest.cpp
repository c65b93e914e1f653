// The heartbeat thread against the simulated device: it keeps the privilege past the
// device's heartbeat timeout, reports lost and regained control, ends the connection after
// five failed rounds, rebuilds the control socket after socket errors, takes a reset privilege
// back with the stream and message channel settings, and keeps the stream source port open.
#include <arpa/inet.h>

#include <atomic>

#include "GevChannelTestSupport.h"
#include "gige/GevHeartbeat.h"

using namespace qx::fixture;
using namespace qx::test;
namespace gvcp = qx::gige::gvcp;
using qx::gige::gevRecord;

namespace {

class GevHeartbeat : public GevChannelTest {};

SimGevConfig shortHeartbeat(uint32_t timeoutMs) {
    SimGevConfig c;
    c.heartbeatTimeoutMs = timeoutMs;
    return c;
}

} // namespace

namespace {

// A device that reports its stream source port, opened on camera 1 with a heartbeat that sends
// a keep-open datagram every round once the stream channel is open.
class GevKeepOpen : public GevHeartbeat {
protected:
    std::shared_ptr<SimGevDevice> openDevice(uint8_t mode) {
        SimGevConfig c = shortHeartbeat(150);
        c.firewallTraversal = true;
        auto d = makeDevice(c);
        EXPECT_EQ(open(*d, 1, mode), GEV_STATUS_SUCCESS);
        gevRecord(1).keepAliveIntervalSec = 0;
        return d;
    }
};

} // namespace

TEST_F(GevHeartbeat, KeepsThePrivilegePastTheDeviceTimeout) {
    auto d = makeDevice(shortHeartbeat(300));
    d->enforceHeartbeat(true);
    ASSERT_EQ(open(*d, 1, GEV_CCP_EXCLUSIVE), GEV_STATUS_SUCCESS);
    EXPECT_EQ(gevRecord(1).heartbeatPeriodMs.load(), 100u);
    // Restarted with the debug lines in the log mask, to see it start.
    qx::gige::gevHeartbeatStop(1, 1000);
    ASSERT_EQ(qx::gige::gevHeartbeatStart(1), GEV_STATUS_SUCCESS);
    gevRecord(1).heartbeatRunning = 1;
    const auto start = std::chrono::steady_clock::now();
    // Three device timeouts' worth of rounds.
    ASSERT_TRUE(waitUntil([&] { return ccpReads(*d) >= 10 && msSince(start) > 900; }, 3000ms));
    EXPECT_TRUE(d->heldByHost());
    EXPECT_EQ(d->privilege(), gvcp::kCcpExclusive);
    uint8_t state = 9;
    GEVGetConnectionStatus(1, &state, nullptr);
    EXPECT_EQ(state, GEV_CONNECTION_OK);
    auto& log = LogCapture::instance();
    EXPECT_TRUE(log.has("[D] Heartbeat thread has started", GEV_LOG_DEBUG));
    EXPECT_TRUE(log.has("[D] Entering heartbeat loop (timeout=100)", GEV_LOG_DEBUG));
    EXPECT_TRUE(log.has("[V] Connection heartbeat confirmed", GEV_LOG_VERBOSE));
    EXPECT_FALSE(log.has("[W] CCP lost."));
}

TEST_F(GevHeartbeat, WithoutTheHeartbeatThePrivilegeLapses) {
    auto d = makeDevice(shortHeartbeat(300));
    d->enforceHeartbeat(true);
    withoutHeartbeat();
    ASSERT_EQ(open(*d, 1, GEV_CCP_EXCLUSIVE), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(waitUntil([&] { return !d->heldByHost(); }, 2000ms));
    EXPECT_EQ(d->privilege(), 0u);
}

TEST_F(GevHeartbeat, TimeoutRegisterAndPeriod) {
    auto d = makeDevice(shortHeartbeat(3000));
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    int32_t timeout = 0;
    EXPECT_EQ(GEVGetHeartbeatTimeout(1, &timeout), GEV_STATUS_SUCCESS);
    EXPECT_EQ(timeout, 3000);
    EXPECT_EQ(gevRecord(1).heartbeatPeriodMs.load(), 1000u);

    EXPECT_EQ(GEVSetHeartbeatTimeout(1, 300), GEV_STATUS_SUCCESS); // raised to the 500 ms floor
    EXPECT_EQ(d->reg(gvcp::reg::kHeartbeatTimeout), 500u);
    EXPECT_EQ(gevRecord(1).heartbeatPeriodMs.load(), 166u);
    EXPECT_EQ(GEVGetHeartbeatTimeout(1, &timeout), GEV_STATUS_SUCCESS);
    EXPECT_EQ(timeout, 500);
    // The thread's one-second wait is cut short and the next rounds follow the new period.
    const size_t before = ccpReads(*d);
    EXPECT_TRUE(
        waitUntil([&] { return LogCapture::instance().has("[V] Inter-heartbeat delay interrupted."); }, 3000ms));
    EXPECT_TRUE(waitUntil([&] { return ccpReads(*d) >= before + 3; }, 900ms));

    EXPECT_EQ(GEVSetHeartbeatTimeout(1, 2400), GEV_STATUS_SUCCESS);
    EXPECT_EQ(d->reg(gvcp::reg::kHeartbeatTimeout), 2400u);
    EXPECT_EQ(gevRecord(1).heartbeatPeriodMs.load(), 800u);

    EXPECT_EQ(GEVSetHeartbeatTimeout(9, 1000), GEV_STATUS_CAMERA_NOT_INIT);
    EXPECT_EQ(GEVGetHeartbeatTimeout(9, &timeout), GEV_STATUS_CAMERA_NOT_INIT);
    EXPECT_EQ(GEVGetHeartbeatTimeout(1, nullptr), GEV_STATUS_INVALID_PARAMETER);
}

TEST_F(GevHeartbeat, FailedRoundsThenReconnectionThenConnectionFailure) {
    auto d = makeDevice(shortHeartbeat(150)); // period 50 ms
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    fastChannel(1, 20, 1); // one request per round
    auto& log = LogCapture::instance();

    // Four failed rounds, then a good one.
    ASSERT_TRUE(waitUntil([&] { return ccpReads(*d) >= 1; }, 3000ms));
    d->dropRequests(4);
    ASSERT_TRUE(waitUntil([&] { return log.has("[I] CCP reconnection."); }, 3000ms));
    EXPECT_TRUE(log.has("[W] CCP lost.", GEV_LOG_WARNING));
    size_t lost = 0;
    for (const auto& l : log.lines()) lost += l.text == "[W] CCP lost.";
    EXPECT_EQ(lost, 1u); // once per run of failures
    ASSERT_TRUE(waitUntil(
        [&] {
            uint8_t s = 9;
            GEVGetConnectionStatus(1, &s, nullptr);
            return s == GEV_CONNECTION_OK;
        },
        3000ms));
    EXPECT_FALSE(log.has("[E] CCP connection failure"));

    // Five in a row end the connection and the thread.
    log.clear();
    d->setSilent(true);
    ASSERT_TRUE(waitUntil([&] { return log.has("[D] Left the hearthbeat loop"); }, 3000ms));
    EXPECT_TRUE(log.has("[W] CCP lost."));
    EXPECT_TRUE(log.has("[E] CCP connection failure", GEV_LOG_ERROR));
    uint8_t state = 9;
    GEVGetConnectionStatus(1, &state, nullptr);
    EXPECT_EQ(state, GEV_CONNECTION_FAILURE);
    EXPECT_EQ(gevRecord(1).heartbeatStop.load(), 1);
    uint32_t v = 0;
    EXPECT_EQ(ReadRegister(1, gvcp::reg::kVersion, 1, &v), GEV_STATUS_ACCESS_DENIED); // no traffic in state 2
    // A camera in connection failure may be opened again (once its own heartbeat timeout has
    // freed the privilege this host can no longer give back).
    d->setSilent(false);
    d->dropPrivilege();
    EXPECT_EQ(open(*d), GEV_STATUS_SUCCESS);
    GEVGetConnectionStatus(1, &state, nullptr);
    EXPECT_EQ(state, GEV_CONNECTION_OK);
}

TEST_F(GevHeartbeat, SocketErrorRebuildsTheControlSocket) {
    auto d = makeDevice(shortHeartbeat(150));
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    // One attempt per request, so that the failed send is not tried again; a long answer
    // time-out, so that the refusal of the CCP write comes back even on a loaded machine.
    fastChannel(1, 3000, 1);
    auto& rec = gevRecord(1);
    uint16_t oldPort = 0;
    {
        qx::sys::MutexLock lock(rec.requestLock);
        oldPort = rec.hostControlPort;
        rec.controlSocket.close(); // the next send fails
    }
    auto& log = LogCapture::instance();
    ASSERT_TRUE(waitUntil([&] { return log.has("[I] CCP reconnection."); }, 3000ms));
    EXPECT_TRUE(log.has("[D] ReconnectSocket", GEV_LOG_DEBUG));
    uint16_t newPort = 0;
    {
        qx::sys::MutexLock lock(rec.requestLock);
        newPort = rec.hostControlPort;
        EXPECT_TRUE(rec.controlSocket.isOpen());
    }
    EXPECT_NE(newPort, 0);
    EXPECT_NE(newPort, oldPort);
    EXPECT_TRUE(log.has("[I] Control channel port: " + std::to_string(newPort)));
    // The device still binds control to the old port: the CCP write from the new one is refused.
    EXPECT_TRUE(log.has("[E] Can't set mode in ccp register. Error code: 00008006"));
    uint32_t v = 0;
    EXPECT_EQ(ReadRegister(1, gvcp::reg::kVersion, 1, &v), GEV_STATUS_SUCCESS);
    EXPECT_EQ(v, 0x00010002u);
}

TEST_F(GevHeartbeat, ResetPrivilegeIsTakenBackWithTheChannels) {
    SimGevConfig c = shortHeartbeat(150);
    c.messageChannels = 1;
    c.capability |= gvcp::cap::kEvent;
    c.messageSourcePortRegister = true;
    c.firewallTraversal = true;
    auto d = makeDevice(c);
    ASSERT_EQ(open(*d, 1, GEV_CCP_EXCLUSIVE), GEV_STATUS_SUCCESS);
    auto& rec = gevRecord(1);
    // A stream channel as the stream side leaves it: an open socket and its port.
    uint16_t streamPort = 0;
    {
        qx::sys::MutexLock lock(rec.streamSocketLock);
        ASSERT_EQ(rec.streamSocket.open(ipv4("127.0.0.1"), 0), 0);
        rec.streamSocket.localPort(&streamPort);
        rec.hostStreamPort = streamPort;
    }
    const uint16_t messagePort = qx::gige::gevMessageChannel().port;
    // The camera "resets": its stream and message channel settings are gone, and it answers
    // CCP with the control bit only.
    d->setRegister(gvcp::reg::kMcp, 0);
    d->setRegister(gvcp::reg::kMcda, 0);
    d->clearReceived();
    auto& log = LogCapture::instance();
    log.clear(); // only the reconnection's lines from here on
    d->forcePrivilegeValue(gvcp::kCcpControl);

    // Each line is written after its register, so the wait is for the last line.
    const std::string messagePortLine = "[I] Message channel port: " + std::to_string(messagePort);
    ASSERT_TRUE(waitUntil([&] { return d->streamKeepOpens().size() >= 1 && log.has(messagePortLine); }, 3000ms));
    EXPECT_TRUE(log.has("[W] CCP access lost. Access mode reset.", GEV_LOG_WARNING));
    EXPECT_EQ(d->privilege(), gvcp::kCcpExclusive);
    EXPECT_TRUE(log.has("[D] ReconnectStreamChannel"));
    EXPECT_EQ(d->reg(gvcp::reg::kScda0), 0x7F000001u);
    EXPECT_TRUE(log.has("[I] Set stream channel address: 127.0.0.1"));
    EXPECT_EQ(d->reg(gvcp::reg::kScp0), streamPort);
    EXPECT_TRUE(log.has("[I] Set stream channel port: " + std::to_string(streamPort)));
    EXPECT_EQ(rec.streamSourcePort.load(), d->streamSourcePort());
    EXPECT_TRUE(log.has("[I] Stream channel source port: " + std::to_string(d->streamSourcePort())));
    const std::vector<uint8_t> keepOpen{0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(d->streamKeepOpens().front(), keepOpen);

    EXPECT_TRUE(log.has("[D] ReconnectMessageChannel"));
    EXPECT_EQ(d->reg(gvcp::reg::kMcp), messagePort);
    EXPECT_EQ(d->reg(gvcp::reg::kMcda), 0x7F000001u);
    EXPECT_TRUE(waitUntil(
        [&] {
            for (const auto& k : d->messageKeepAlives())
                if (k == keepOpen) return true;
            return false;
        },
        3000ms));
    // Then the heartbeat is confirmed again, and the keep-open is not repeated every round.
    uint8_t state = 9;
    ASSERT_TRUE(waitUntil(
        [&] {
            GEVGetConnectionStatus(1, &state, nullptr);
            return state == GEV_CONNECTION_OK && ccpReads(*d) >= 6;
        },
        3000ms));
    EXPECT_EQ(d->streamKeepOpens().size(), 1u);
    EXPECT_EQ(registerWrites(*d, gvcp::reg::kCcp), 1u);
}

TEST_F(GevKeepOpen, KeepOpenDatagramsGoOutWhileTheStreamChannelIsOpen) {
    auto d = openDevice(GEV_CCP_CONTROL);
    auto& rec = gevRecord(1);
    ASSERT_EQ(GEVOpenStreamChannel(1, 0, 0, 0), GEV_STATUS_SUCCESS);
    EXPECT_EQ(rec.streamSourcePort.load(), d->streamSourcePort());
    ASSERT_TRUE(waitUntil([&] { return d->streamKeepOpens().size() >= 3; }, 5000ms));
    const std::vector<uint8_t> keepOpen{0x78, 0x56, 0x34, 0x12};
    for (const auto& k : d->streamKeepOpens()) EXPECT_EQ(k, keepOpen);
    ASSERT_EQ(GEVCloseStreamChannel(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(rec.streamSourcePort.load(), 0);
}

TEST_F(GevHeartbeat, AReconnectionWritesTheMulticastGroupBack) {
    auto d = makeDevice(shortHeartbeat(150));
    ASSERT_EQ(open(*d, 1, GEV_CCP_EXCLUSIVE), GEV_STATUS_SUCCESS);
    constexpr uint32_t kGroup = 0xEFFF2A63u; // 239.255.42.99
    ASSERT_EQ(GEVOpenStreamChannel(1, 0, 0, htonl(kGroup)), GEV_STATUS_SUCCESS);
    EXPECT_EQ(d->reg(gvcp::reg::kScda0), kGroup);
    // The camera "resets": its stream destination is gone and it answers CCP with control only.
    d->setRegister(gvcp::reg::kScda0, 0);
    LogCapture::instance().clear();
    d->forcePrivilegeValue(gvcp::kCcpControl);
    // The line follows the register write: wait for the line, then look at the register.
    ASSERT_TRUE(
        waitUntil([&] { return LogCapture::instance().has("[I] Set stream channel address: 239.255.42.99"); }, 3000ms));
    EXPECT_EQ(d->reg(gvcp::reg::kScda0), kGroup);
}

// The stream channel opened and closed again and again while the heartbeat reconnects the
// camera and sends keep-open datagrams on the same socket (a race the thread sanitizer sees).
TEST_F(GevKeepOpen, ReconnectionsAndKeepOpensWhileTheStreamChannelIsReopened) {
    auto d = openDevice(GEV_CCP_EXCLUSIVE);
    for (int i = 0; i < 10; ++i) {
        d->forcePrivilegeValue(gvcp::kCcpControl); // the next round reconnects
        ASSERT_EQ(GEVOpenStreamChannel(1, 0, 0, 0), GEV_STATUS_SUCCESS);
        ASSERT_TRUE(waitUntil([&] { return d->privilege() == gvcp::kCcpExclusive; }, 3000ms)) << i;
        ASSERT_EQ(GEVCloseStreamChannel(1), GEV_STATUS_SUCCESS);
    }
    ASSERT_EQ(GEVOpenStreamChannel(1, 0, 0, 0), GEV_STATUS_SUCCESS);
    uint16_t port = 0;
    ASSERT_EQ(GEVGetStreamPort(1, &port), GEV_STATUS_SUCCESS);
    // A reset camera gets the open channel's port back.
    d->setRegister(gvcp::reg::kScp0, 0);
    d->forcePrivilegeValue(gvcp::kCcpControl);
    ASSERT_TRUE(waitUntil([&] { return d->reg(gvcp::reg::kScp0) != 0; }, 3000ms));
    EXPECT_EQ(d->reg(gvcp::reg::kScp0), port);
}

TEST_F(GevHeartbeat, NoKeepOpenWithoutAStreamSourcePort) {
    auto d = makeDevice(shortHeartbeat(150));
    ASSERT_EQ(open(*d, 1, GEV_CCP_EXCLUSIVE), GEV_STATUS_SUCCESS);
    auto& rec = gevRecord(1);
    {
        qx::sys::MutexLock lock(rec.streamSocketLock);
        ASSERT_EQ(rec.streamSocket.open(ipv4("127.0.0.1"), 0), 0);
        rec.streamSocket.localPort(&rec.hostStreamPort);
    }
    d->forcePrivilegeValue(gvcp::kCcpControl);
    auto& log = LogCapture::instance();
    ASSERT_TRUE(waitUntil([&] { return log.has("[I] Firewall Traversal not supported (capabilities = 0)"); }, 3000ms));
    ASSERT_TRUE(waitUntil([&] { return ccpReads(*d) >= 8; }, 3000ms));
    EXPECT_EQ(rec.streamSourcePort.load(), 0);
    EXPECT_TRUE(d->streamKeepOpens().empty());
    EXPECT_FALSE(log.has("[D] Maintaining port"));
    EXPECT_FALSE(qx::gige::gevSendStreamKeepOpen(rec));
}

TEST_F(GevHeartbeat, CloseEndsTheThreadEvenWhileTheCameraIsSilent) {
    auto d = makeDevice(shortHeartbeat(150));
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    fastChannel(1, 20, 1);
    d->setSilent(true);
    ASSERT_TRUE(waitUntil([&] { return LogCapture::instance().has("[W] CCP lost."); }, 3000ms));
    const auto start = std::chrono::steady_clock::now();
    // The CCP release is not answered, or is not sent at all once the heartbeat has given the
    // connection up (which of the two depends on how far the heartbeat got meanwhile).
    const GevStatus closed = GEVClose(1);
    EXPECT_TRUE(closed == GEV_STATUS_TIMEOUT || closed == GEV_STATUS_ACCESS_DENIED) << std::hex << closed;
    EXPECT_LT(msSince(start), 5000); // bounded by the request time-outs, not by the silence
    EXPECT_FALSE(gevRecord(1).heartbeatThread.joinable());
    EXPECT_EQ(gevRecord(1).heartbeatRunning.load(), 0);
    EXPECT_FALSE(qx::gige::gevIsOpen(1));
}

// The log callback runs on the heartbeat thread; one that closes the camera there stops the
// thread from the thread itself, which cannot be joined then: it ends by itself, the next
// open of the camera number joins it and runs a heartbeat of its own.
namespace {
std::atomic<bool> g_closeArmed{false}; // set once the test has set the channel up
std::atomic<int> g_closesFromCallback{0};
std::atomic<bool> g_closeDone{false};
std::atomic<GevStatus> g_closeStatus{GEV_STATUS_SUCCESS};
void closeOnCcpLost(uint8_t cam, const char* text, uint8_t level) {
    LogCapture::callback(cam, text, level);
    if (std::string(text) != "[W] CCP lost." || !g_closeArmed.load()) return;
    if (g_closesFromCallback.fetch_add(1) != 0) return;
    g_closeStatus = GEVClose(cam);
    g_closeDone = true;
}
} // namespace

TEST_F(GevHeartbeat, ALogCallbackThatClosesTheCameraOnTheHeartbeatThread) {
    auto d = makeDevice(shortHeartbeat(150));
    GevConnection c = connectionTo(*d);
    g_closeArmed = false;
    g_closesFromCallback = 0;
    g_closeDone = false;
    ASSERT_EQ(GEVInit(1, &c, &closeOnCcpLost, 0, GEV_CCP_CONTROL), GEV_STATUS_SUCCESS);
    GEVSetDetailedLog(1, 0x37);
    fastChannel(1, 20, 1);
    g_closeArmed = true;
    d->setSilent(true);
    ASSERT_TRUE(waitUntil([&] { return g_closeDone.load(); }, 10000ms));
    EXPECT_FALSE(qx::gige::gevIsOpen(1));
    EXPECT_EQ(g_closeStatus.load(), GEV_STATUS_TIMEOUT); // the CCP release is not answered
    EXPECT_EQ(gevRecord(1).heartbeatRunning.load(), 0);

    d->setSilent(false);
    d->dropPrivilege();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(gevRecord(1).heartbeatThread.joinable());
    const size_t before = ccpReads(*d);
    EXPECT_TRUE(waitUntil([&] { return ccpReads(*d) >= before + 2; }, 3000ms));
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(g_closesFromCallback.load(), 1);
}

TEST_F(GevHeartbeat, AZeroDeviceTimeoutDoesNotSpin) {
    auto d = makeDevice(shortHeartbeat(0));
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    EXPECT_EQ(gevRecord(1).heartbeatPeriodMs.load(), 0u);
    const auto start = std::chrono::steady_clock::now();
    const size_t before = ccpReads(*d);
    ASSERT_TRUE(waitUntil([&] { return ccpReads(*d) >= before + 4; }, 3000ms));
    // Four rounds take at least three floor waits.
    EXPECT_GE(msSince(start), int64_t(3 * qx::gige::kMinHeartbeatWaitMs) - 2);
}

TEST_F(GevHeartbeat, StartAndStopOnARecord) {
    auto d = makeDevice(shortHeartbeat(3000));
    ASSERT_EQ(open(*d, 1, GEV_CCP_OPEN), GEV_STATUS_SUCCESS); // open access: no heartbeat
    auto& rec = gevRecord(1);
    EXPECT_FALSE(rec.heartbeatThread.joinable());
    static std::atomic<int> rounds{0};
    rounds = 0;
    ASSERT_TRUE(qx::gige::StartHeartbeatThread(rec, [](qx::gige::GevCameraRecord* r) {
        while (!r->heartbeatStop.load()) {
            ++rounds;
            r->heartbeatEvent.wait(std::chrono::milliseconds(20));
        }
    }));
    EXPECT_FALSE(qx::gige::StartHeartbeatThread(rec)); // one thread per record
    ASSERT_TRUE(waitUntil([&] { return rounds.load() >= 1; }, 3000ms));
    rec.heartbeatRunning = 1;
    qx::gige::StopHeartbeatThread(rec, 1000);
    EXPECT_FALSE(rec.heartbeatThread.joinable());
    EXPECT_EQ(rec.heartbeatRunning.load(), 0);
    EXPECT_FALSE(rec.heartbeatEvent.isSet());
    EXPECT_TRUE(LogCapture::instance().has("[D] Requesting the heartbeat thread to stop"));
}

// A process that exits while a camera is open with control access (heartbeat running) ends
// normally: the library stops its threads before their objects are destroyed.
TEST_F(GevHeartbeat, ExitWithAnOpenCameraEndsCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto d = makeDevice(shortHeartbeat(3000));
            if (open(*d, 1, GEV_CCP_CONTROL) != GEV_STATUS_SUCCESS) std::_Exit(3);
            if (!gevRecord(1).heartbeatThread.joinable()) std::_Exit(4);
            // The simulated device stays alive: the process leaves with the camera open.
            static std::shared_ptr<qx::fixture::SimGevDevice> keep;
            keep = d;
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
