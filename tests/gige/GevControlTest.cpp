// Camera records, GEVInit/GEVClose with privileges, the GVCP transaction (retries, request ids,
// PENDING_ACK, stale ids, error statuses) and register and memory access, against the
// simulated device on a loopback address and port of its own.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

#include <atomic>
#include <future>
#include <memory>

#include "gige/GevRecord.h"
#include "gige/GevSeams.h"
#include "GevTestSupport.h"
#include "OpenFiles.h"

using namespace qx::fixture;
using namespace qx::test;
using qxtest::openFdCount;
namespace gvcp = qx::gige::gvcp;
using qx::gige::GevCameraRecord;

namespace {

class GevControl : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::instance().clear();
        // These tests count and shape every request the device sees: no heartbeat rounds
        // in between (the heartbeat has tests of its own).
        withoutHeartbeat();
        reportToLogCapture();
    }
    void TearDown() override {
        closeAllCameras();
        qx::gige::gevSetSeams(qx::gige::gevDefaultSeams());
        GEVSetLibraryOptions(nullptr);
    }
    // The fixture keeps every device until the cameras are closed in TearDown.
    std::shared_ptr<SimGevDevice> makeDevice(SimGevConfig c = {}) {
        auto d = std::make_shared<SimGevDevice>(c);
        EXPECT_TRUE(d->start());
        d->mapRegion(0x10000, 0x4000);
        m_devices.push_back(d);
        return d;
    }
    std::vector<std::shared_ptr<SimGevDevice>> m_devices;
    GevStatus open(SimGevDevice& d, uint8_t cam = 1, uint8_t mode = GEV_CCP_CONTROL) {
        GevConnection c = connectionTo(d);
        return GEVInit(cam, &c, &LogCapture::callback, 0, mode);
    }
    std::vector<SimReceived> commands(SimGevDevice& d, uint16_t command) {
        std::vector<SimReceived> out;
        for (auto& r : d.received())
            if (r.header.command == command) out.push_back(r);
        return out;
    }
};

} // namespace

TEST_F(GevControl, OpenTakesAndCloseReleasesControlPrivilege) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    EXPECT_EQ(d->privilege(), gvcp::kCcpControl);
    EXPECT_TRUE(d->heldByHost());
    uint8_t state = 9, init = 9;
    EXPECT_EQ(GEVGetConnectionStatus(1, &state, &init), GEV_STATUS_SUCCESS);
    EXPECT_EQ(state, GEV_CONNECTION_OK);
    EXPECT_EQ(init, 0);
    auto& log = LogCapture::instance();
    EXPECT_TRUE(log.has("[I] Control channel port:", GEV_LOG_INFO));
    EXPECT_TRUE(log.has("[I] GEV Version: 1.2"));
    EXPECT_TRUE(log.has("[I] Stream channel is available."));
    EXPECT_TRUE(log.has("[I] Init device time:"));
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(d->privilege(), 0u);
    EXPECT_FALSE(d->heldByHost());
    EXPECT_TRUE(log.has("[I] Close device time:"));
    EXPECT_EQ(GEVClose(1), GEV_STATUS_CAMERA_NOT_INIT);
}

TEST_F(GevControl, ExclusiveAccessWritesModeOne) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d, 3, GEV_CCP_EXCLUSIVE), GEV_STATUS_SUCCESS);
    EXPECT_EQ(d->privilege(), gvcp::kCcpExclusive);
    EXPECT_EQ(GEVClose(3), GEV_STATUS_SUCCESS);
    EXPECT_EQ(d->privilege(), 0u);
}

TEST_F(GevControl, OpenAccessSendsNoWrites) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d, 1, GEV_CCP_OPEN), GEV_STATUS_SUCCESS);
    const uint32_t v = 0x55;
    const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(WriteRegister(1, 0x10000, 1, &v), GEV_STATUS_SUCCESS);
    EXPECT_EQ(WriteMemory(1, 0x10000, 8, bytes), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(d->countReceived(gvcp::kWriteRegCmd), 0u);
    EXPECT_EQ(d->countReceived(gvcp::kWriteMemCmd), 0u);
    EXPECT_EQ(d->reg(0x10000), 0u);
}

TEST_F(GevControl, SecondOpenOfANumberIsRefused) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    EXPECT_EQ(open(*d), GEV_STATUS_CAMERA_ALWAYS_INIT);
    EXPECT_TRUE(qx::gige::gevIsOpen(1));
}

TEST_F(GevControl, OpenAfterConnectionFailureClosesFirst) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    qx::gige::gevRecord(1).connectionState = GEV_CONNECTION_FAILURE;
    d->setForeignPrivilege(0); // the lost camera has let its privilege go
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    uint8_t state = 9;
    GEVGetConnectionStatus(1, &state, nullptr);
    EXPECT_EQ(state, GEV_CONNECTION_OK);
    EXPECT_EQ(d->privilege(), gvcp::kCcpControl);
}

TEST_F(GevControl, SubnetMismatchTouchesNothing) {
    GevConnection c;
    c.AdapterIP = ipv4("192.168.1.5");
    c.AdapterMask = ipv4("255.255.255.0");
    c.IP_CANCam = ipv4("192.168.2.7");
    EXPECT_EQ(GEVInit(4, &c, &LogCapture::callback, 0, GEV_CCP_CONTROL), GEV_STATUS_SUBNET_MISMATCH);
    EXPECT_FALSE(qx::gige::gevIsOpen(4));
    EXPECT_EQ(GEVGetConnectionStatus(4, nullptr, nullptr), GEV_STATUS_CAMERA_NOT_INIT);
    EXPECT_TRUE(LogCapture::instance().reported("[E] subnet mismatch: pc="));
}

TEST_F(GevControl, InvalidCameraNumbers) {
    auto d = makeDevice();
    GevConnection c = connectionTo(*d);
    EXPECT_EQ(GEVInit(0, &c, nullptr, 0, GEV_CCP_CONTROL), GEV_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(GEVInit(51, &c, nullptr, 0, GEV_CCP_CONTROL), GEV_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(GEVInit(1, &c, nullptr, 0, 3), GEV_STATUS_INVALID_PARAMETER);
    uint32_t v = 0;
    EXPECT_EQ(ReadRegister(0, 0, 1, &v), GEV_STATUS_CAMERA_NOT_INIT);
    EXPECT_EQ(ReadRegister(51, 0, 1, &v), GEV_STATUS_CAMERA_NOT_INIT);
    EXPECT_EQ(ReadRegister(9, 0, 1, &v), GEV_STATUS_CAMERA_NOT_INIT);
    EXPECT_EQ(ReadMemory(9, 0, 4, &v), GEV_STATUS_CAMERA_NOT_INIT);
    EXPECT_EQ(GEVClose(255), GEV_STATUS_CAMERA_NOT_INIT);
}

TEST_F(GevControl, ControlHeldByAnotherApplication) {
    auto d = makeDevice();
    d->setForeignPrivilege(gvcp::kCcpControl);
    EXPECT_EQ(open(*d), GEV_STATUS_ACCESS_DENIED);
    EXPECT_FALSE(qx::gige::gevIsOpen(1));
    EXPECT_EQ(d->privilege(), gvcp::kCcpControl); // the other application keeps it
    EXPECT_TRUE(LogCapture::instance().reported("[I] Failed to initialize cam_nr=1 (error 8006). Rolling back"));
    // Open access still works beside it.
    EXPECT_EQ(open(*d, 2, GEV_CCP_OPEN), GEV_STATUS_SUCCESS);
}

TEST_F(GevControl, ExclusiveHeldByAnotherApplication) {
    auto d = makeDevice();
    d->setForeignPrivilege(gvcp::kCcpExclusive);
    EXPECT_EQ(open(*d), GEV_STATUS_ALREADY_OPEN);
    EXPECT_TRUE(LogCapture::instance().has("[I] Device already opened."));
    EXPECT_FALSE(qx::gige::gevIsOpen(1));
}

TEST_F(GevControl, FiftyFailedOpensLeaveEveryNumberFree) {
    auto d = makeDevice();
    d->setForeignPrivilege(gvcp::kCcpExclusive);
    const int fds = openFdCount();
    for (uint8_t cam = 1; cam <= GEV_MAX_CAMERAS; ++cam) EXPECT_EQ(open(*d, cam), GEV_STATUS_ALREADY_OPEN);
    EXPECT_EQ(openFdCount(), fds); // no socket left behind
    d->setForeignPrivilege(0);
    for (uint8_t cam = 1; cam <= GEV_MAX_CAMERAS; ++cam) ASSERT_EQ(open(*d, cam, GEV_CCP_OPEN), GEV_STATUS_SUCCESS);
    for (uint8_t cam = 1; cam <= GEV_MAX_CAMERAS; ++cam) EXPECT_EQ(GEVClose(cam), GEV_STATUS_SUCCESS);
    EXPECT_EQ(openFdCount(), fds);
}

TEST_F(GevControl, FailedSocketLeavesTheNumberClosed) {
    auto d = makeDevice();
    GevConnection c = connectionTo(*d, "10.255.255.1", "255.0.0.0"); // not an address of this host
    c.IP_CANCam = ipv4("10.1.2.3");
    EXPECT_EQ(GEVInit(5, &c, nullptr, 0, GEV_CCP_CONTROL), GEV_STATUS_CANNOT_CREATE_SOCKET);
    EXPECT_FALSE(qx::gige::gevIsOpen(5));
    EXPECT_EQ(open(*d, 5), GEV_STATUS_SUCCESS);
}

namespace {
std::atomic<int> g_heartbeatStarts{0}, g_heartbeatStops{0};
GevStatus failingHeartbeat(uint8_t) { return GEV_STATUS_CANNOT_START_THREAD; }
GevStatus countingHeartbeatStart(uint8_t) {
    ++g_heartbeatStarts;
    return GEV_STATUS_SUCCESS;
}
void countingHeartbeatStop(uint8_t, uint32_t) { ++g_heartbeatStops; }
} // namespace

TEST_F(GevControl, RollBackGivesTheTakenPrivilegeBack) {
    auto d = makeDevice();
    qx::gige::GevSeams seams;
    seams.heartbeatStart = &failingHeartbeat;
    qx::gige::gevSetSeams(seams);
    EXPECT_EQ(open(*d), GEV_STATUS_CANNOT_START_THREAD);
    EXPECT_FALSE(qx::gige::gevIsOpen(1));
    EXPECT_EQ(d->privilege(), 0u);
    EXPECT_FALSE(d->heldByHost());
}

TEST_F(GevControl, RollBackStopsTheStartedHeartbeat) {
    auto d = makeDevice();
    qx::gige::GevSeams seams;
    seams.heartbeatStart = &countingHeartbeatStart;
    seams.heartbeatStop = &countingHeartbeatStop;
    qx::gige::gevSetSeams(seams);
    g_heartbeatStarts = g_heartbeatStops = 0;
    d->statusFor(gvcp::reg::kGvcpCapability, 0x8003);
    EXPECT_EQ(open(*d), 0x8003);
    EXPECT_EQ(g_heartbeatStarts.load(), 1);
    EXPECT_EQ(g_heartbeatStops.load(), 1);
    EXPECT_EQ(d->privilege(), 0u);
    d->statusFor(gvcp::reg::kGvcpCapability, 0);
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    EXPECT_EQ(qx::gige::gevRecord(1).heartbeatRunning.load(), 1);
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(g_heartbeatStops.load(), 2);
}

TEST_F(GevControl, RegistersReadBackWhatWasWritten) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    const uint32_t v = 0xCAFEF00D;
    ASSERT_EQ(WriteRegister(1, 0x10004, 1, &v), GEV_STATUS_SUCCESS);
    EXPECT_EQ(d->reg(0x10004), 0xCAFEF00Du);
    uint32_t back = 0;
    ASSERT_EQ(ReadRegister(1, 0x10004, 1, &back), GEV_STATUS_SUCCESS);
    EXPECT_EQ(back, v);
    // Several registers need the concatenation capability.
    uint32_t two[2];
    d->clearReceived();
    EXPECT_EQ(ReadRegister(1, 0x10000, 2, two), GEV_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WriteRegister(1, 0x10000, 2, two), GEV_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(d->received().empty());
}

TEST_F(GevControl, ConcatenatedRegistersAndTheWriteLimit) {
    SimGevConfig c;
    c.capability |= gvcp::cap::kConcatenation;
    auto d = makeDevice(c);
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    std::vector<uint32_t> values(200);
    for (size_t i = 0; i < values.size(); ++i) values[i] = 0x1000 + uint32_t(i);
    d->clearReceived();
    ASSERT_EQ(WriteRegister(1, 0x10000, 200, values.data()), GEV_STATUS_SUCCESS);
    auto writes = commands(*d, gvcp::kWriteRegCmd);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].header.length, 134u * 8);
    EXPECT_EQ(d->reg(0x10000 + 133 * 4), 0x1000u + 133);
    EXPECT_EQ(d->reg(0x10000 + 134 * 4), 0u);
    uint32_t back[3] = {};
    ASSERT_EQ(ReadRegister(1, 0x10000, 3, back), GEV_STATUS_SUCCESS);
    EXPECT_EQ(back[2], 0x1002u);
    // An acknowledge with fewer values than asked copies what came and reports it.
    uint32_t guarded[3] = {0, 0, 0xDEADBEEF};
    d->fewerValues(1);
    EXPECT_EQ(ReadRegister(1, 0x10000, 3, guarded), GEV_STATUS_INVALID_ACK);
    EXPECT_EQ(guarded[0], 0x1000u);
    EXPECT_EQ(guarded[1], 0x1001u);
    EXPECT_EQ(guarded[2], 0xDEADBEEFu);
}

TEST_F(GevControl, RequestIdsCountUpAndWrapToOne) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    auto& rec = qx::gige::gevRecord(1);
    d->clearReceived();
    uint32_t v = 0;
    rec.nextRequestId = 0xFFFE;
    ASSERT_EQ(ReadRegister(1, 0x10000, 1, &v), GEV_STATUS_SUCCESS);
    ASSERT_EQ(ReadRegister(1, 0x10000, 1, &v), GEV_STATUS_SUCCESS);
    ASSERT_EQ(ReadMemory(1, 0x10000, 4, &v), GEV_STATUS_SUCCESS);
    auto all = d->received();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].header.requestId, 0xFFFE);
    EXPECT_EQ(all[1].header.requestId, 0xFFFF);
    EXPECT_EQ(all[2].header.requestId, 1);
    EXPECT_EQ(all[1].bytes[6], 0xFF);
    EXPECT_EQ(all[2].bytes[7], 0x01);
}

TEST_F(GevControl, ReadMemoryIsSplitIntoChunks) {
    auto d = makeDevice();
    std::vector<uint8_t> pattern(0x1000);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 7 + 3);
    d->writeBytes(0x10000, pattern.data(), pattern.size());
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    d->clearReceived();
    std::vector<uint8_t> buffer(1073 + 16, 0xEE);
    ASSERT_EQ(ReadMemory(1, 0x10000, 1073, buffer.data()), GEV_STATUS_SUCCESS);
    auto reads = commands(*d, gvcp::kReadMemCmd);
    ASSERT_EQ(reads.size(), 3u);
    const uint32_t addresses[] = {0x10000, 0x10000 + 536, 0x10000 + 1072};
    const uint16_t counts[] = {536, 536, 4};
    for (int i = 0; i < 3; ++i) {
        uint32_t a = 0;
        uint16_t n = 0;
        ASSERT_TRUE(gvcp::decodeReadMemCmd(reads[i].bytes.data(), reads[i].bytes.size(), &a, &n));
        EXPECT_EQ(reads[i].bytes.size(), 16u);
        EXPECT_EQ(a, addresses[i]);
        EXPECT_EQ(n, counts[i]);
    }
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 1073, pattern.begin()));
    for (size_t i = 1073; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << "byte past the request written";
}

TEST_F(GevControl, UnalignedReadCopiesExactlyTheBytesAskedFor) {
    auto d = makeDevice();
    const uint8_t bytes[8] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17};
    d->writeBytes(0x11000, bytes, 8);
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    d->clearReceived();
    uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(ReadMemory(1, 0x11001, 5, buffer), GEV_STATUS_SUCCESS);
    auto reads = commands(*d, gvcp::kReadMemCmd);
    ASSERT_EQ(reads.size(), 1u);
    uint32_t a = 0;
    uint16_t n = 0;
    gvcp::decodeReadMemCmd(reads[0].bytes.data(), reads[0].bytes.size(), &a, &n);
    EXPECT_EQ(a, 0x11000u);
    EXPECT_EQ(n, 8);
    EXPECT_EQ(buffer[0], 0x11);
    EXPECT_EQ(buffer[4], 0x15);
    EXPECT_EQ(buffer[5], 0xEE);
    uint8_t three[3] = {0, 0, 0};
    uint8_t guard = 0xEE;
    ASSERT_EQ(ReadMemory(1, 0x11000, 3, three), GEV_STATUS_SUCCESS);
    EXPECT_EQ(three[2], 0x12);
    EXPECT_EQ(guard, 0xEE);
    EXPECT_EQ(ReadMemory(1, 0x11000, 0, nullptr), GEV_STATUS_SUCCESS);
    EXPECT_EQ(ReadMemory(1, 0xFFFFFFFE, 4, buffer), GEV_STATUS_INVALID_PARAMETER);
}

TEST_F(GevControl, UnalignedWriteKeepsTheNeighbouringBytes) {
    auto d = makeDevice();
    const uint8_t before[8] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    d->writeBytes(0x12000, before, 8);
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(WriteMemory(1, 0x12001, 5, data), GEV_STATUS_SUCCESS);
    EXPECT_EQ(d->readBytes(0x12000, 8), (std::vector<uint8_t>{0xA0, 1, 2, 3, 4, 5, 0xA6, 0xA7}));
    const uint8_t one = 0x77;
    ASSERT_EQ(WriteMemory(1, 0x12005, 1, &one), GEV_STATUS_SUCCESS);
    EXPECT_EQ(d->readBytes(0x12004, 4), (std::vector<uint8_t>{4, 0x77, 0xA6, 0xA7}));
}

TEST_F(GevControl, WriteMemoryInChunksWithProgress) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    static std::vector<uint32_t> percents;
    percents.clear();
    ASSERT_EQ(GEVSetReadWriteMemoryCallback(1, [](uint8_t, uint32_t p) { percents.push_back(p); }), GEV_STATUS_SUCCESS);
    std::vector<uint8_t> data(1100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i);
    d->clearReceived();
    ASSERT_EQ(WriteMemory(1, 0x10000, 1100, data.data()), GEV_STATUS_SUCCESS);
    EXPECT_EQ(commands(*d, gvcp::kWriteMemCmd).size(), 3u);
    EXPECT_EQ(d->readBytes(0x10000, 1100), data);
    EXPECT_EQ(percents, (std::vector<uint32_t>{0, 34, 67}));
}

TEST_F(GevControl, WriteMemoryNeedsTheCapability) {
    SimGevConfig c;
    c.capability = 0;
    auto d = makeDevice(c);
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(WriteMemory(1, 0x10000, 4, data), GEV_STATUS_NOT_SUPPORTED);
}

TEST_F(GevControl, SilenceTimesOutAfterTheRetries) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    fastChannel(1, 40, 3);
    d->setSilent(true);
    d->clearReceived();
    LogCapture::instance().clear();
    uint32_t v = 0;
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadRegister(1, 0x10000, 1, &v), GEV_STATUS_TIMEOUT);
    const auto ms = msSince(t);
    EXPECT_GE(ms, 110);
    EXPECT_LT(ms, 1000);
    auto sent = d->received();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].header.requestId, sent[2].header.requestId); // the same request, sent again
    auto& log = LogCapture::instance();
    EXPECT_TRUE(log.has("[I] Read Register: No acknowledge header available"));
    EXPECT_TRUE(log.has("[E] ReadRegister[0x00010000] Status: C008", GEV_LOG_ERROR));
    EXPECT_EQ(ReadMemory(1, 0x10000, 4, &v), GEV_STATUS_TIMEOUT);
    EXPECT_TRUE(log.has("[E] ReadMemory[0x00010000]"));
}

TEST_F(GevControl, OneLostRequestIsSentAgain) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    fastChannel(1, 40, 3);
    d->clearReceived();
    d->dropRequests(2);
    uint32_t v = 0;
    EXPECT_EQ(ReadRegister(1, gvcp::reg::kVersion, 1, &v), GEV_STATUS_SUCCESS);
    EXPECT_EQ(v, 0x00010002u);
    EXPECT_EQ(d->received().size(), 3u);
}

TEST_F(GevControl, PendingAckExtendsTheWaitWithoutSendingAgain) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    fastChannel(1, 40, 2);
    GEVSetDetailedLog(1, GEV_LOG_INFO | GEV_LOG_WARNING | GEV_LOG_ERROR);
    d->clearReceived();
    d->pendingAck(1, 400, 150); // reports 400 ms, answers after 150 ms: far beyond 2 x 40 ms
    uint32_t v = 0;
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadRegister(1, gvcp::reg::kVersion, 1, &v), GEV_STATUS_SUCCESS);
    EXPECT_GE(msSince(t), 140);
    EXPECT_EQ(d->received().size(), 1u);
    EXPECT_TRUE(LogCapture::instance().has("[I] ReadRegister[0x00000000]: Pending acknowledge. Wait 400 msec"));
    EXPECT_EQ(qx::gige::gevRecord(1).pendingAck.load(), 0);
    d->pendingAck(1, 300, 100);
    uint8_t block[8];
    EXPECT_EQ(ReadMemory(1, 0x10000, 8, block), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(LogCapture::instance().has("[I] Read Memory [0x00010000]: Pending acknowledge. Wait 300 msec"));
}

TEST_F(GevControl, PendingAckThatNeverCompletesTimesOut) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    fastChannel(1, 40, 1);
    d->pendingAck(1, 30, 200); // promises 30 ms, answers after 200 ms
    uint32_t v = 0;
    // Had it waited for the answer, the read would have succeeded.
    EXPECT_EQ(ReadRegister(1, gvcp::reg::kVersion, 1, &v), GEV_STATUS_TIMEOUT);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    // The late answer of the abandoned request is skipped by the next one, which waits for its
    // own answer as long as a loaded machine may need.
    fastChannel(1, 3000, 1);
    EXPECT_EQ(ReadRegister(1, 0x10000, 1, &v), GEV_STATUS_SUCCESS);
    EXPECT_EQ(v, 0u);
}

namespace {

// Runs a register read on another thread and tells whether it ended within `limitMs`, a limit
// far beyond the request's own bound; the device is made to answer again afterwards so that a
// read still waiting ends too.
struct BoundedRead {
    GevStatus status = GEV_STATUS_ERROR;
    bool ended = false;
};
BoundedRead readWithin(SimGevDevice& d, uint32_t address, int64_t limitMs) {
    uint32_t v = 0;
    auto read = std::async(std::launch::async, [&] { return ReadRegister(1, address, 1, &v); });
    BoundedRead r;
    r.ended = read.wait_for(std::chrono::milliseconds(limitMs)) == std::future_status::ready;
    d.stall(SimStallMode::Off, 0, 0);
    d.setRegister(address, 1);
    r.status = read.get();
    return r;
}

size_t sendsOf(SimGevDevice& d, uint16_t command) {
    std::set<uint16_t> ids;
    size_t n = 0;
    for (const auto& r : d.received())
        if (r.header.command == command) {
            ids.insert(r.header.requestId);
            ++n;
        }
    return ids.size() == 1 ? n : 0; // all sends of one request
}

} // namespace

TEST_F(GevControl, AStreamOfStaleAcknowledgesCannotHoldARequest) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    fastChannel(1, 40, 3);
    d->clearReceived();
    // Every 10 ms the acknowledge of an earlier request: had each restarted the wait, the read
    // would last as long as the stream.
    d->stall(SimStallMode::Stale, gvcp::kReadRegCmd, 10);
    const BoundedRead r = readWithin(*d, 0x10000, 20000);
    EXPECT_TRUE(r.ended) << "stale acknowledges kept the request waiting";
    EXPECT_EQ(r.status, GEV_STATUS_TIMEOUT);
    EXPECT_EQ(sendsOf(*d, gvcp::kReadRegCmd), 3u); // one send per attempt, nothing more
    EXPECT_GT(d->stallDatagrams(), 3u);
}

TEST_F(GevControl, PendingAckProlongsOnlyWithinTheAllowance) {
    GevLibraryOptions o = qx::gige::gevOptions();
    o.PendingAckLimitMs = 300;
    GEVSetLibraryOptions(&o);
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    fastChannel(1, 40, 3);
    GevCameraRecord& rec = qx::gige::gevRecord(1);
    EXPECT_EQ(rec.pendingAllowanceMs, 300u);
    d->clearReceived();
    // PENDING_ACK of 65535 ms every 20 ms, never the answer: without a limit each one would
    // start the wait afresh.
    d->stall(SimStallMode::Pending, gvcp::kReadRegCmd, 20);
    const BoundedRead first = readWithin(*d, 0x10000, 20000);
    EXPECT_TRUE(first.ended) << "PENDING_ACK kept the request waiting";
    EXPECT_EQ(first.status, GEV_STATUS_TIMEOUT);
    EXPECT_EQ(sendsOf(*d, gvcp::kReadRegCmd), 3u);
    EXPECT_EQ(rec.pendingAllowanceMs, 0u) << "the allowance is spent";
    EXPECT_EQ(rec.pendingAck.load(), 0);
    // Spent, it stays spent for the next request that is only ever delayed ...
    d->clearReceived();
    d->stall(SimStallMode::Pending, gvcp::kReadRegCmd, 20);
    const BoundedRead second = readWithin(*d, 0x10000, 20000);
    EXPECT_TRUE(second.ended);
    EXPECT_EQ(second.status, GEV_STATUS_TIMEOUT);
    EXPECT_EQ(rec.pendingAllowanceMs, 0u);
    // ... and comes back whole once the camera completes a request it delayed.
    fastChannel(1, 3000, 1);
    d->pendingAck(1, 100, 10);
    uint32_t v = 0;
    EXPECT_EQ(ReadRegister(1, gvcp::reg::kVersion, 1, &v), GEV_STATUS_SUCCESS);
    EXPECT_EQ(rec.pendingAllowanceMs, 300u);
}

TEST_F(GevControl, StaleShortAndForeignDatagramsAreSkipped) {
    auto d = makeDevice();
    d->setRegister(0x10000, 0x12345678);
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    fastChannel(1, 200, 1);
    uint32_t v = 0;
    d->staleAckFirst(1);
    EXPECT_EQ(ReadRegister(1, 0x10000, 1, &v), GEV_STATUS_SUCCESS);
    EXPECT_EQ(v, 0x12345678u);
    d->shortDatagramFirst(1);
    EXPECT_EQ(ReadRegister(1, 0x10000, 1, &v), GEV_STATUS_SUCCESS);
    d->foreignAckFirst(1);
    EXPECT_EQ(ReadRegister(1, 0x10000, 1, &v), GEV_STATUS_SUCCESS);
    EXPECT_EQ(v, 0x12345678u);
}

TEST_F(GevControl, DeviceStatusesArePassedOn) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    d->statusFor(0x10008, 0x8004);
    uint32_t v = 0;
    EXPECT_EQ(ReadRegister(1, 0x10008, 1, &v), 0x8004);
    EXPECT_EQ(WriteRegister(1, 0x10008, 1, &v), 0x8004);
    uint8_t block[64];
    EXPECT_EQ(ReadMemory(1, 0x10000, 64, block), 0x8004);
    EXPECT_EQ(ReadRegister(1, 0x7FFFFFF0, 1, &v), 0x8003); // nothing mapped there
    EXPECT_TRUE(LogCapture::instance().has("[E] WriteRegister[0x00010008] Status: 8004"));
}

TEST_F(GevControl, AnUnexpectedAnswerIsAnInvalidAck) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    d->wrongAnswer(1);
    uint32_t v = 0;
    EXPECT_EQ(ReadRegister(1, 0x10000, 1, &v), GEV_STATUS_INVALID_ACK);
    d->wrongAnswer(1);
    EXPECT_EQ(ReadMemory(1, 0x10000, 4, &v), GEV_STATUS_INVALID_ACK);
}

TEST_F(GevControl, ConnectionFailureAndBusyRefuseWithoutTraffic) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    auto& rec = qx::gige::gevRecord(1);
    d->clearReceived();
    uint32_t v = 0;
    rec.busy = 1;
    EXPECT_EQ(ReadRegister(1, 0x10000, 1, &v), GEV_STATUS_BUSY);
    EXPECT_TRUE(d->received().empty());
    EXPECT_EQ(ReadRegister(1, gvcp::reg::kCcp, 1, &v), GEV_STATUS_SUCCESS);
    EXPECT_EQ(WriteRegister(1, 0x10000, 1, &v), GEV_STATUS_SUCCESS);
    rec.busy = 0;
    d->clearReceived();
    rec.connectionState = GEV_CONNECTION_FAILURE;
    EXPECT_EQ(ReadRegister(1, 0x10000, 1, &v), GEV_STATUS_ACCESS_DENIED);
    EXPECT_EQ(WriteRegister(1, 0x10000, 1, &v), GEV_STATUS_ACCESS_DENIED);
    EXPECT_TRUE(d->received().empty());
    rec.connectionState = GEV_CONNECTION_OK;
}

TEST_F(GevControl, ChannelParameterDefaultsAndHeartbeatRule) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    GevChannelParams p;
    ASSERT_EQ(GEVGetChannelParameter(1, &p), GEV_STATUS_SUCCESS);
    EXPECT_EQ(p.HeartbeatPeriodMs, 1000u);
    EXPECT_EQ(p.AnswerTimeoutMs, 200u);
    EXPECT_EQ(p.Retries, 3);
    EXPECT_EQ(p.ScTimeoutMs, 200u);
    EXPECT_EQ(p.ScPacketResend, 10u);
    EXPECT_EQ(p.GrabStopTimeoutMs, 1000u);
    p.HeartbeatPeriodMs = 5000;
    p.GrabStopTimeoutMs = 100;
    ASSERT_EQ(GEVSetChannelParameter(1, &p), GEV_STATUS_SUCCESS);
    GevChannelParams q;
    GEVGetChannelParameter(1, &q);
    EXPECT_EQ(q.HeartbeatPeriodMs, 2800u);
    EXPECT_EQ(q.GrabStopTimeoutMs, 100u);
    p.HeartbeatPeriodMs = 700;
    GEVSetChannelParameter(1, &p);
    GEVGetChannelParameter(1, &q);
    EXPECT_EQ(q.HeartbeatPeriodMs, 700u);
}

TEST_F(GevControl, ShortDeviceHeartbeatDoesNotWrap) {
    SimGevConfig c;
    c.heartbeatTimeoutMs = 150;
    auto d = makeDevice(c);
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    GevChannelParams p;
    GEVGetChannelParameter(1, &p);
    EXPECT_EQ(p.HeartbeatPeriodMs, 50u);
    p.HeartbeatPeriodMs = 5000;
    ASSERT_EQ(GEVSetChannelParameter(1, &p), GEV_STATUS_SUCCESS);
    GEVGetChannelParameter(1, &p);
    EXPECT_EQ(p.HeartbeatPeriodMs, 50u);
    EXPECT_LT(p.HeartbeatPeriodMs, 150u);
}

TEST_F(GevControl, VersionTwoTakesThePendingTimeoutAndPendingAckIsEnabled) {
    SimGevConfig c;
    c.version = 0x00020001;
    auto d = makeDevice(c);
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    GevChannelParams p;
    GEVGetChannelParameter(1, &p);
    EXPECT_EQ(p.AnswerTimeoutMs, 500u);
    EXPECT_EQ(d->reg(gvcp::reg::kGvcpConfig) & 0x2, 0x2u);
    EXPECT_TRUE(LogCapture::instance().has("[I] GEV Version: 2.1"));
    // A pending time-out beyond reason would let every unanswered request wait that long.
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    d->setRegister(gvcp::reg::kPendingTimeout, 0xFFFFFFFFu);
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    GEVGetChannelParameter(1, &p);
    EXPECT_EQ(p.AnswerTimeoutMs, GEV_MAX_DEVICE_ANSWER_TIMEOUT_MS);
}

TEST_F(GevControl, LogMaskDecidesWhatReachesTheCallback) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    auto& log = LogCapture::instance();
    log.clear();
    QX_GEV_LOG(1, GEV_LOG_DEBUG, "[D] not shown");
    QX_GEV_LOG(1, GEV_LOG_WARNING, "[W] shown  \r\n");
    QX_GEV_LOG(0, GEV_LOG_WARNING, "[W] camera zero");
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "[W] shown");
    EXPECT_EQ(lines[0].level, GEV_LOG_WARNING);
    EXPECT_EQ(lines[0].cam, 1);
    log.clear();
    ASSERT_EQ(GEVSetDetailedLog(1, GEV_LOG_INFO | GEV_LOG_REGDATA | GEV_LOG_VERBOSE), GEV_STATUS_SUCCESS);
    uint32_t v = 0;
    ReadRegister(1, gvcp::reg::kVersion, 1, &v);
    EXPECT_TRUE(log.has("[I] Read Register: Address 0x00000000, Data: 0x00010002", GEV_LOG_INFO));
    EXPECT_TRUE(log.has("[V] ReadRegister[0x00000000] command sent, wait for ACK (0.200000s, 1/3)", GEV_LOG_VERBOSE));
    std::string longText(3000, 'x');
    QX_GEV_LOG(1, GEV_LOG_INFO, "[I] {}", longText.c_str());
    EXPECT_EQ(log.lines().back().text.size(), 1023u);
}

TEST_F(GevControl, NoEventCallbackWithoutMessageChannel) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVSetEventCallback(1, [](uint8_t, GevEvent*) { return true; }), GEV_STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(LogCapture::instance().has("[I] Message channel is not available."));
}

namespace {
std::atomic<int> g_messageStarts{0}, g_messageStops{0};
} // namespace

TEST_F(GevControl, MessageChannelIsProgrammedAndReleasedWithTheLastCamera) {
    SimGevConfig c;
    c.messageChannels = 1;
    c.capability |= gvcp::cap::kEvent;
    auto d1 = makeDevice(c);
    c.ip = "127.0.0.3";
    auto d2 = makeDevice(c);
    d1->setRegister(gvcp::reg::kMessageChannelCapability, 0x80000000u);
    d1->setRegister(gvcp::reg::kMcsp, 40000);
    qx::gige::GevSeams seams;
    seams.messageThreadStart = [] {
        ++g_messageStarts;
        return true;
    };
    seams.messageThreadStop = [](uint32_t) { ++g_messageStops; };
    qx::gige::gevSetSeams(seams);
    g_messageStarts = g_messageStops = 0;
    ASSERT_EQ(open(*d1, 1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(open(*d2, 2), GEV_STATUS_SUCCESS);
    EXPECT_EQ(g_messageStarts.load(), 1);
    const uint16_t port = qx::gige::gevMessageChannel().port;
    EXPECT_NE(port, 0);
    EXPECT_EQ(d1->reg(gvcp::reg::kMcp), port);
    EXPECT_EQ(d2->reg(gvcp::reg::kMcp), port);
    EXPECT_EQ(d1->reg(gvcp::reg::kMcda), 0x7F000001u);
    EXPECT_EQ(qx::gige::gevRecord(1).messageSourcePort, 40000);
    EXPECT_EQ(qx::gige::gevRecord(2).messageSourcePort, 0);
    EXPECT_TRUE(LogCapture::instance().has("[I] Message channel source port: 40000"));
    EXPECT_EQ(GEVSetEventCallback(1, [](uint8_t, GevEvent*) { return true; }), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(d1->reg(gvcp::reg::kMcp), 0u);
    EXPECT_EQ(g_messageStops.load(), 0);
    EXPECT_EQ(GEVClose(2), GEV_STATUS_SUCCESS);
    EXPECT_EQ(g_messageStops.load(), 1);
    EXPECT_FALSE(qx::gige::gevMessageChannel().socket.isOpen());
    ASSERT_EQ(open(*d1, 3), GEV_STATUS_SUCCESS); // a new thread for the next camera
    EXPECT_EQ(g_messageStarts.load(), 2);
}

namespace {
std::atomic<int> g_releases{0};
} // namespace

TEST_F(GevControl, FilterDriverSwitch) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    qx::gige::GevSeams noDriver = qx::gige::gevDefaultSeams();
    noDriver.filterDriverOpen = nullptr; // a build without a driver
    qx::gige::gevSetSeams(noDriver);
    EXPECT_EQ(GEVCloseFilterDriver(1), GEV_STATUS_SUCCESS); // not active
    EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_CANNOT_OPEN_DRIVER);
    EXPECT_TRUE(LogCapture::instance().has("[I] GEVInitFilterDriver: Can't open v2eDODOderur driver.."));
    qx::gige::GevSeams seams;
    seams.filterDriverOpen = [](uint8_t, uint8_t* slot) -> int64_t {
        *slot = 3;
        return 42;
    };
    seams.filterDriverRelease = [](uint8_t) {
        ++g_releases;
        return true;
    };
    qx::gige::gevSetSeams(seams);
    g_releases = 0;
    EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(LogCapture::instance().has("[W] GEVInitFilterDriver already enabled"));
    EXPECT_EQ(GEVCloseFilterDriver(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(g_releases.load(), 1);
    EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS); // the close releases an active driver
    EXPECT_EQ(g_releases.load(), 2);
    ASSERT_EQ(open(*d, 2), GEV_STATUS_SUCCESS);
    qx::gige::gevStream(2).userRingBuffer = 1;
    EXPECT_EQ(GEVInitFilterDriver(2), GEV_STATUS_NOT_SUPPORTED);
}

TEST_F(GevControl, NetConfigWritesThePersistentRegisters) {
    auto d = makeDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    d->setRegister(gvcp::reg::kNetworkConfig, 0x7);
    ASSERT_EQ(GEVSetNetConfig(1, 1, 0, 0, 0), GEV_STATUS_SUCCESS);
    EXPECT_EQ(d->reg(gvcp::reg::kNetworkConfig), 0x6u);
    EXPECT_EQ(d->reg(gvcp::reg::kPersistentIp), 0u);
    ASSERT_EQ(GEVSetNetConfig(1, 0, ipv4("192.168.5.20"), ipv4("255.255.255.0"), ipv4("192.168.5.1")),
              GEV_STATUS_SUCCESS);
    EXPECT_EQ(d->reg(gvcp::reg::kNetworkConfig), 0x5u);
    EXPECT_EQ(d->reg(gvcp::reg::kPersistentIp), 0xC0A80514u);
    EXPECT_EQ(d->reg(gvcp::reg::kPersistentMask), 0xFFFFFF00u);
    EXPECT_EQ(d->reg(gvcp::reg::kPersistentGateway), 0xC0A80501u);
    EXPECT_EQ(qx::gige::gevRecord(1).netConfigChanged, 1);
    qx::gige::gevRecord(1).netConfigChanged = 0; // the FORCEIP of the close is tested in a namespace
}
