// The library side of the packet filter driver against a scripted driver: the error tables, the
// open and close sequence (slot, camera, adapter), calls that stay pending and end on another
// thread, the event pool, the stream start/stop requests, pulling images and the statistics.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <thread>

#include "GevChannelTestSupport.h"
#include "QxCamApi.h"
#include "gige/GevFilterDriver.h"
#include "gige/GevRecord.h"
#include "Sys/ByteOrder.h"

using namespace qx::gige;
using namespace qx::test;
using Bytes = std::vector<uint8_t>;

namespace {

// A driver whose answers a test scripts. Every call is recorded with its input.
struct Call {
    uint32_t code; // 0 for a read
    Bytes in;
};

struct Script {
    std::mutex mutex;
    std::vector<Call> calls;
    int openHandles = 0;
    bool refuseOpen = false;
    int slotError = 0; // errno of the slot allocation
    uint32_t enableResult = 0;
    std::deque<uint8_t> states{kAdapterReady}; // query answers; the last one repeats
    // Answer of a control call or read: errno, or EINPROGRESS to keep it pending.
    std::function<int(uint32_t code, const uint8_t* in, uint8_t* out, uint32_t outLength, uint32_t* bytes)> answer;
    std::function<int(uint8_t* buffer, uint32_t* bytes)> readAnswer;
    std::vector<GevDriverCompletion*> pending;

    std::vector<Call> callsOf(uint32_t code) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Call> r;
        for (auto& c : calls)
            if (c.code == code) r.push_back(c);
        return r;
    }
    size_t pendingCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return pending.size();
    }
    void completeAll(int err, uint32_t bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto* p : pending) p->complete(err, bytes);
        pending.clear();
    }
};
Script* g_script = nullptr;

struct ScriptedHandle : GevDriverHandle {
    ScriptedHandle() { ++g_script->openHandles; }
    ~ScriptedHandle() override { --g_script->openHandles; }
    int control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* bytes,
                GevDriverCompletion* done) override {
        Script& s = *g_script;
        const auto* i = static_cast<const uint8_t*>(in);
        auto* o = static_cast<uint8_t*>(out);
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.calls.push_back({code, Bytes(i, i + inLength)});
        }
        if (s.answer) {
            const int r = s.answer(code, i, o, outLength, bytes);
            if (r == EINPROGRESS) {
                std::lock_guard<std::mutex> lock(s.mutex);
                s.pending.push_back(done);
            }
            if (r != -1) return r;
        }
        switch (code) {
        case fdc::kAllocateSlot:
            if (s.slotError) return s.slotError;
            o[0] = 7;
            *bytes = 1;
            return 0;
        case fdc::kAdapter:
            if (qx::sys::loadLe32(i + 516) == kAdapterQuery) {
                std::lock_guard<std::mutex> lock(s.mutex);
                o[0] = s.states.front();
                if (s.states.size() > 1) s.states.pop_front();
                *bytes = 1;
            } else {
                qx::sys::storeLe32(o, s.enableResult);
                *bytes = 4;
            }
            return 0;
        default: return 0;
        }
    }
    int read(void* buffer, uint32_t, uint32_t* bytes, GevDriverCompletion* done) override {
        Script& s = *g_script;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.calls.push_back({0, {}});
        }
        const int r = s.readAnswer ? s.readAnswer(static_cast<uint8_t*>(buffer), bytes) : ETIME;
        if (r == EINPROGRESS) {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.pending.push_back(done);
        }
        return r;
    }
};

std::unique_ptr<GevDriverHandle> openScripted(const char* path, int* error) {
    if (g_script->refuseOpen || std::strcmp(path, kFilterDriverPath) != 0) {
        *error = ENOENT;
        return nullptr;
    }
    return std::make_unique<ScriptedHandle>();
}

std::string adapterName(const Call& c) {
    std::string name;
    const uint32_t length = qx::sys::loadLe32(c.in.data() + 512);
    for (uint32_t k = 0; k < length; k += 2) name.push_back(static_cast<char>(qx::sys::loadLe16(c.in.data() + k)));
    return name;
}
uint32_t action(const Call& c) { return qx::sys::loadLe32(c.in.data() + 516); }

class GevFilterLibrary : public GevChannelTest {
protected:
    void SetUp() override {
        GevChannelTest::SetUp();
        g_script = &script;
        gevSetFilterDriverOpener(&openScripted);
    }
    void TearDown() override {
        GevChannelTest::TearDown();
        gevSetFilterDriverOpener(nullptr);
        gevInstallFilterDriver(nullptr);
        g_script = nullptr;
    }
    // Camera 1 open on a simulated device with a stream channel; adapter name as given.
    void openCamera(const char* adapter = "lo") {
        qx::fixture::SimGevConfig c;
        c.capability |= qx::gige::gvcp::cap::kPacketResend;
        device = makeDevice(c);
        GevConnection conn = connectionTo(*device);
        std::strcpy(conn.AdapterName, adapter);
        ASSERT_EQ(GEVInit(1, &conn, &LogCapture::callback, 0, GEV_CCP_CONTROL), GEV_STATUS_SUCCESS);
        GEVSetDetailedLog(1, 0xFF & ~GEV_LOG_REGDATA);
        ASSERT_EQ(GEVOpenStreamChannel(1, 0, 0, 0), GEV_STATUS_SUCCESS);
    }
    GevStatus start() { return GEVAcquisitionStart(1, 0, kPayload, 64, 48, QX_PIXEL_MONO8); }
    static constexpr uint32_t kPayload = 64 * 48;
    Script script;
    std::shared_ptr<qx::fixture::SimGevDevice> device;
};

} // namespace

TEST(GevFilterTables, LinuxErrorsBecomeOsErrorsAndOsErrorsBecomeStatuses) {
    EXPECT_EQ(gevFilterOsError(0), 0u);
    EXPECT_EQ(gevFilterOsError(EBADF), 6u);
    EXPECT_EQ(gevFilterOsError(ENOMEM), 8u);
    EXPECT_EQ(gevFilterOsError(EOPNOTSUPP), 50u);
    EXPECT_EQ(gevFilterOsError(EINVAL), 87u);
    EXPECT_EQ(gevFilterOsError(ETIME), 121u);
    EXPECT_EQ(gevFilterOsError(ETIMEDOUT), 1460u);
    EXPECT_EQ(gevFilterOsError(EBUSY), 170u);
    EXPECT_EQ(gevFilterOsError(EBADMSG), 23u);
    EXPECT_EQ(gevFilterOsError(EPERM), 5u);
    // An errno without an OS number keeps its value, so the error log still names it.
    EXPECT_EQ(gevFilterOsError(EHOSTUNREACH), 0x20000000u | EHOSTUNREACH);

    const uint32_t code = fdc::kStatistics;
    EXPECT_EQ(gevFilterIoctlStatus(code, 0, 1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(gevFilterIoctlStatus(code, 6, 1), GEV_STATUS_ERROR_INVALID_HANDLE);
    EXPECT_EQ(gevFilterIoctlStatus(code, 8, 1), GEV_STATUS_CANNOT_ALLOC_MEMORY);
    EXPECT_EQ(gevFilterIoctlStatus(code, 50, 1), GEV_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(gevFilterIoctlStatus(code, 87, 1), GEV_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(gevFilterIoctlStatus(code, 121, 1), GEV_STATUS_TIMEOUT);
    EXPECT_EQ(gevFilterIoctlStatus(code, 1460, 1), GEV_STATUS_TIMEOUT);
    EXPECT_EQ(gevFilterIoctlStatus(code, 170, 1), GEV_STATUS_BUSY);
    EXPECT_EQ(gevFilterIoctlStatus(code, 23, 1), GEV_STATUS_DRIVER_ERROR);

    EXPECT_EQ(gevFilterReadStatus(0, 1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(gevFilterReadStatus(23, 1), GEV_STATUS_GRAB_ERROR);
    EXPECT_EQ(gevFilterReadStatus(87, 1), GEV_STATUS_DIFFERENT_IMAGE_HEADER);
    EXPECT_EQ(gevFilterReadStatus(121, 1), GEV_STATUS_TIMEOUT);
    EXPECT_EQ(gevFilterReadStatus(1460, 1), GEV_STATUS_DRIVER_ERROR);
    EXPECT_EQ(gevFilterReadStatus(8, 1), GEV_STATUS_DRIVER_ERROR);
}

TEST_F(GevFilterLibrary, UnexpectedOsErrorsAreLogged) {
    openCamera();
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    GevFilterDriver* d = gevFilterDriverOf(1);
    ASSERT_NE(d, nullptr);
    script.answer = [](uint32_t code, const uint8_t*, uint8_t*, uint32_t, uint32_t*) {
        return code == fdc::kResend ? EHOSTUNREACH : code == fdc::kReorder ? ETIMEDOUT : -1;
    };
    const uint8_t req[2] = {7, 1};
    EXPECT_EQ(FilterIoctl(d, fdc::kResend, req, 2), GEV_STATUS_DRIVER_ERROR);
    EXPECT_TRUE(LogCapture::instance().has("[E] GEV IOCTL 0x12c81c returned unexpected OS error 0x20000071"));
    EXPECT_EQ(FilterIoctl(d, fdc::kReorder, req, 2), GEV_STATUS_TIMEOUT); // OS error 1460
    script.readAnswer = [](uint8_t*, uint32_t*) { return EIO; };
    Bytes image(kPayload);
    uint32_t n = 0;
    EXPECT_EQ(FilterRead(d, image.data(), kPayload, &n), GEV_STATUS_DRIVER_ERROR);
    EXPECT_TRUE(LogCapture::instance().has("[E] System error 0x1f reading filter driver"));
}

TEST_F(GevFilterLibrary, OpenWithAnAdapterEnablesItAndCloseDisablesIt) {
    openCamera("lo");
    script.states = {0, 1, kAdapterReady}; // the adapter gets ready on the third query
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(gevRecord(1).filterDriverActive, 1);
    EXPECT_EQ(gevRecord(1).filterDriverSlot, 7);
    EXPECT_TRUE(LogCapture::instance().has("[N] GEVInitFilterDriver handle: "));
    auto camera = script.callsOf(fdc::kSetCamera);
    ASSERT_EQ(camera.size(), 1u);
    EXPECT_EQ(qx::sys::loadLe32(camera[0].in.data()), 7u);
    EXPECT_EQ(qx::sys::loadLe32(camera[0].in.data() + 4), 1u);
    auto adapter = script.callsOf(fdc::kAdapter);
    ASSERT_EQ(adapter.size(), 4u); // enable, three queries
    EXPECT_EQ(adapter[0].in.size(), kAdapterRequestSize);
    EXPECT_EQ(adapterName(adapter[0]), "\\DEVICE\\lo");
    EXPECT_EQ(qx::sys::loadLe32(adapter[0].in.data() + 512), 20u);
    EXPECT_EQ(action(adapter[0]), kAdapterEnable);
    EXPECT_EQ(action(adapter[3]), kAdapterQuery);
    EXPECT_EQ(script.openHandles, 1);

    EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS); // already enabled
    EXPECT_TRUE(LogCapture::instance().has("[W] GEVInitFilterDriver already enabled"));
    EXPECT_EQ(GEVCloseFilterDriver(1), GEV_STATUS_SUCCESS);
    adapter = script.callsOf(fdc::kAdapter);
    ASSERT_EQ(adapter.size(), 5u);
    EXPECT_EQ(action(adapter[4]), kAdapterDisable);
    EXPECT_EQ(adapterName(adapter[4]), "\\DEVICE\\lo");
    EXPECT_EQ(script.openHandles, 0);
    EXPECT_EQ(gevRecord(1).filterDriverHandle, -1);
    EXPECT_EQ(GEVCloseFilterDriver(1), GEV_STATUS_SUCCESS); // not active any more
}

TEST_F(GevFilterLibrary, EmptyAdapterNameAllocatesASlotAndEnablesNothing) {
    openCamera("");
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(script.callsOf(fdc::kAllocateSlot).size(), 1u);
    EXPECT_EQ(script.callsOf(fdc::kSetCamera).size(), 1u);
    EXPECT_TRUE(script.callsOf(fdc::kAdapter).empty());
    EXPECT_EQ(GEVCloseFilterDriver(1), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(script.callsOf(fdc::kAdapter).empty()); // nothing to disable
    EXPECT_EQ(script.openHandles, 0);
}

TEST_F(GevFilterLibrary, FailedOpensLeaveNothingOpen) {
    openCamera("lo");
    // No driver behind the path.
    script.refuseOpen = true;
    EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_CANNOT_OPEN_DRIVER);
    EXPECT_TRUE(LogCapture::instance().has("[I] GEVInitFilterDriver: Can't open v2eDODOderur driver.."));
    EXPECT_TRUE(LogCapture::instance().has(
        "[I] GEVInitFilterDriver: Check if driver is installed or you don't have administrator privileges."));
    script.refuseOpen = false;
    // No slot (a process without the right to open packet sockets).
    script.slotError = EPERM;
    EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_CANNOT_OPEN_DRIVER);
    EXPECT_TRUE(LogCapture::instance().reported("[E] Unable to allocate filter driver slot"));
    EXPECT_TRUE(LogCapture::instance().has("[E] GEV IOCTL 0x12c850 returned unexpected OS error 0x5"));
    EXPECT_EQ(script.openHandles, 0);
    script.slotError = 0;
    // The adapter refuses.
    script.enableResult = ENODEV;
    EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_CANNOT_OPEN_DRIVER);
    EXPECT_TRUE(LogCapture::instance().has("[E] Can't enable adapter in filter driver."));
    script.enableResult = 0;
    // The adapter never gets ready.
    script.states = {0};
    EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_CANNOT_OPEN_DRIVER);
    EXPECT_EQ(script.openHandles, 0);
    EXPECT_EQ(gevRecord(1).filterDriverActive, 0);
    EXPECT_EQ(gevRecord(1).filterDriverHandle, -1);
    EXPECT_EQ(gevFilterDriverOf(1), nullptr);
}

// The library opens the driver installed in its seam by the floor above it (nothing in this
// program until the test installs one); a driver set in its place wins, and clearing that
// brings the installed one back.
TEST_F(GevFilterLibrary, TheInstalledDriverIsOpenedUnlessOneIsSetInItsPlace) {
    openCamera("lo");
    gevSetFilterDriverOpener(nullptr);
    EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_CANNOT_OPEN_DRIVER);
    EXPECT_TRUE(LogCapture::instance().has("[I] GEVInitFilterDriver: Can't open v2eDODOderur driver.."));
    EXPECT_EQ(gevFilterDriverOf(1), nullptr);

    gevInstallFilterDriver(&openScripted);
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(script.openHandles, 1);
    EXPECT_EQ(GEVCloseFilterDriver(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(script.openHandles, 0);

    gevSetFilterDriverOpener([](const char*, int* error) -> std::unique_ptr<GevDriverHandle> {
        *error = EACCES;
        return nullptr;
    });
    EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_CANNOT_OPEN_DRIVER);
    EXPECT_EQ(script.openHandles, 0);

    gevSetFilterDriverOpener(nullptr);
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(script.openHandles, 1);
    EXPECT_EQ(GEVCloseFilterDriver(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(script.openHandles, 0);
}

TEST_F(GevFilterLibrary, PendingCallsAreWaitedForToTheirEndAndMayOverlap) {
    openCamera();
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    GevFilterDriver* d = gevFilterDriverOf(1);
    EXPECT_EQ(gevFilterPoolSize(d), 3u);
    script.answer = [](uint32_t code, const uint8_t*, uint8_t*, uint32_t, uint32_t*) {
        return code == fdc::kStatistics ? EINPROGRESS : -1;
    };
    // Four calls in flight at once: one more event than the pool was made with.
    constexpr int kCalls = 4;
    std::atomic<int> ended{0};
    GevStatus results[kCalls] = {};
    uint32_t bytes[kCalls] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < kCalls; ++i)
        threads.emplace_back([&, i] {
            uint8_t buf[kStatisticsSize] = {7};
            results[i] = FilterIoctl(d, fdc::kStatistics, buf, sizeof buf, &bytes[i]);
            ++ended;
        });
    ASSERT_TRUE(waitUntil([&] { return script.pendingCount() == kCalls; }, 10000ms));
    EXPECT_EQ(ended.load(), 0); // every call still waits for its driver
    EXPECT_EQ(gevFilterPoolSize(d), 0u);
    EXPECT_TRUE(LogCapture::instance().has("[N] Allocating extra event for the pool"));
    EXPECT_TRUE(LogCapture::instance().has("[V] Compensating pending I/O request ..."));
    script.completeAll(ETIMEDOUT, 12); // OS error 1460
    for (auto& t : threads) t.join();
    for (int i = 0; i < kCalls; ++i) {
        EXPECT_EQ(results[i], GEV_STATUS_TIMEOUT);
        EXPECT_EQ(bytes[i], 12u);
    }
    EXPECT_EQ(gevFilterPoolSize(d), 4u); // every event went back
}

TEST_F(GevFilterLibrary, AcquisitionDrivesTheDriverInsteadOfAGrabThread) {
    openCamera();
    gevStream(1).reorderTolerance = 3;
    ASSERT_EQ(GEVSetPacketResend(1, 1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    script.calls.clear();
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    std::vector<uint32_t> order;
    for (auto& c : script.calls) order.push_back(c.code);
    ASSERT_EQ(order, (std::vector<uint32_t>{fdc::kReorder, fdc::kBufferCount, fdc::kStartStream}));
    EXPECT_EQ(script.calls[0].in, (Bytes{7, 3}));
    EXPECT_EQ(script.calls[1].in, (Bytes{7, 0, 4, 0}));
    GevFilterStartRecord r;
    ASSERT_EQ(script.calls[2].in.size(), sizeof r);
    std::memcpy(&r, script.calls[2].in.data(), sizeof r);
    EXPECT_EQ(r.width, 64u);
    EXPECT_EQ(r.height, 48u);
    EXPECT_EQ(r.cameraIp, device->ip());
    EXPECT_EQ(r.hostStreamPort, gevRecord(1).hostStreamPort);
    EXPECT_EQ(r.hostControlPort, gevRecord(1).hostControlPort);
    EXPECT_EQ(r.destinationIp, qx::fixture::ipv4("127.0.0.1"));
    EXPECT_EQ(r.payloadSize, kPayload);
    EXPECT_EQ(r.packetPayload, 1464);
    EXPECT_EQ(r.resend, 1);
    EXPECT_EQ(r.slot, 7);
    EXPECT_EQ(r.grabStopTimeoutMs, gevRecord(1).grabStopTimeoutMs);
    EXPECT_FALSE(LogCapture::instance().has("[I] Allocate ring buffer"));
    // While the driver streams it can be neither switched off nor on again.
    EXPECT_EQ(GEVCloseFilterDriver(1), GEV_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(gevRecord(1).filterDriverActive, 1);

    // Resend switched while streaming reaches the driver.
    script.calls.clear();
    ASSERT_EQ(GEVSetPacketResend(1, 0), GEV_STATUS_SUCCESS);
    ASSERT_EQ(script.callsOf(fdc::kResend).size(), 1u);
    EXPECT_EQ(script.callsOf(fdc::kResend)[0].in, (Bytes{7, 0}));

    // The frame rate comes from the driver's window: 1000 / (ms / frames).
    GevFilterStatistics stats;
    stats.deliveredFrames = 40;
    stats.missingFrames = 2;
    stats.lostPackets = 5;
    stats.windowFrames = 25;
    stats.windowMs = 1000;
    stats.deviceDiscarded = 1;
    script.answer = [&](uint32_t code, const uint8_t*, uint8_t* out, uint32_t, uint32_t* bytes) {
        if (code != fdc::kStatistics) return -1;
        gevEncodeFilterStatistics(stats, out);
        *bytes = kStatisticsSize;
        return 0;
    };
    double fps = 0;
    ASSERT_EQ(GEVGetFrameRate(1, &fps), GEV_STATUS_SUCCESS);
    EXPECT_DOUBLE_EQ(fps, 25.0);
    GevStreamStatistics s{};
    ASSERT_EQ(GEVGetStreamStatistics(1, &s), GEV_STATUS_SUCCESS);
    EXPECT_EQ(s.DeliveredBlocks, 40u);
    EXPECT_EQ(s.MissingPackets, 5u);

    // Stop: the stream, then the counters, which the stop lines report.
    ASSERT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    auto stop = script.callsOf(fdc::kStopStream);
    ASSERT_EQ(stop.size(), 1u);
    EXPECT_EQ(stop[0].in[36], 7);
    EXPECT_TRUE(LogCapture::instance().has("[I] Frames: 40, Errors: 2 Lost: 5.00 %"));
    EXPECT_TRUE(LogCapture::instance().has("[I] Data blocks discarded on device side: 1"));
    EXPECT_TRUE(LogCapture::instance().has("[I] 25.0 fps"));
    ASSERT_EQ(GEVGetStreamStatistics(1, &s), GEV_STATUS_SUCCESS);
    EXPECT_EQ(s.DeliveredBlocks, 40u);
    EXPECT_EQ(s.MissingBlocks, 2u);
    EXPECT_EQ(s.DeviceDiscardedBlocks, 1u);
    EXPECT_EQ(GEVCloseFilterDriver(1), GEV_STATUS_SUCCESS);
}

TEST_F(GevFilterLibrary, PulledImagesTakeTheirStatusFromReadAndHeader) {
    openCamera();
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    Bytes out(kPayload);
    EXPECT_EQ(GEVGetImage(1, nullptr, out.data(), kPayload), GEV_STATUS_BUFFERS_NOT_INI); // not streaming
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVGetImage(1, nullptr, out.data(), kPayload - 1), GEV_STATUS_INVALID_PARAMETER);

    int readErr = 0;
    GevImageHeader next{};
    script.readAnswer = [&](uint8_t* buffer, uint32_t* bytes) {
        std::memset(buffer, 0x5A, kPayload);
        *bytes = kPayload;
        return readErr;
    };
    script.answer = [&](uint32_t code, const uint8_t*, uint8_t* out, uint32_t, uint32_t* bytes) {
        if (code != fdc::kImageHeader) return -1;
        std::memcpy(out + 8, &next, sizeof next);
        *bytes = kImageHeaderRequestSize;
        return 0;
    };
    struct Case {
        int readErr;
        uint32_t missing;
        GevStatus status;
        uint32_t missingOut;
    } cases[] = {
        {0, 0, GEV_STATUS_SUCCESS, 0},
        {0, 3, GEV_STATUS_SUCCESS, 0},          // a complete read clears the header's count
        {EBADMSG, 3, GEV_STATUS_GRAB_ERROR, 3}, // incomplete
        {EBADMSG, 0, GEV_STATUS_SUCCESS, 0},    // nothing missing after all
    };
    for (const Case& c : cases) {
        readErr = c.readErr;
        next = GevImageHeader{};
        next.BlockId = 9;
        next.MissingPackets = c.missing;
        next.ResendRequested = 2;
        next.ResendReceived = 1;
        GevImageHeader h{};
        uint32_t size = 0;
        EXPECT_EQ(GEVGetImage(1, &h, out.data(), kPayload, &size), c.status) << c.readErr << "/" << c.missing;
        EXPECT_EQ(h.BlockId, 9u);
        EXPECT_EQ(h.MissingPackets, c.missingOut);
        EXPECT_EQ(size, kPayload);
        EXPECT_EQ(out[0], 0x5A);
        GevImageHeader last{};
        GEVGetLastImageHeader(1, &last);
        EXPECT_EQ(last.BlockId, 9u);
    }
    EXPECT_TRUE(LogCapture::instance().has("[I] Packet resend [BlockID 9] -> requested: 2, received: 1 packets"));
    EXPECT_TRUE(LogCapture::instance().has("[D] Pulling image from filter. Buffer size = 3072, connection status = 0"));
    EXPECT_TRUE(LogCapture::instance().has("[V] Image pulled from filter driver"));

    // Time-outs: the header is zeroed; with the control channel lost the status says so.
    readErr = ETIME;
    GevImageHeader h{};
    h.BlockId = 77;
    EXPECT_EQ(GEVGetImage(1, &h, out.data(), kPayload), GEV_STATUS_TIMEOUT);
    EXPECT_EQ(h.BlockId, 0u);
    gevRecord(1).connectionState = GEV_CONNECTION_FAILURE;
    EXPECT_EQ(GEVGetImage(1, &h, out.data(), kPayload), GEV_STATUS_HEARTBEAT_READ_ERROR);
    gevRecord(1).connectionState = GEV_CONNECTION_OK;

    // A read that stays pending is waited for.
    readErr = EINPROGRESS;
    std::atomic<GevStatus> pulled{0xFFFF};
    std::thread reader([&] { pulled = GEVGetImage(1, &h, out.data(), kPayload); });
    ASSERT_TRUE(waitUntil([&] { return script.pendingCount() == 1; }, 10000ms));
    EXPECT_EQ(pulled.load(), 0xFFFF);
    next.MissingPackets = 0;
    script.completeAll(0, kPayload);
    reader.join();
    EXPECT_EQ(pulled.load(), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
}

TEST_F(GevFilterLibrary, TheDriverIsNotSwitchedWhileTheGrabThreadHasARing) {
    openCamera();
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS); // grab thread and ring
    EXPECT_EQ(GEVInitFilterDriver(1), GEV_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(script.openHandles, 0);
    ASSERT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVCloseFilterDriver(1), GEV_STATUS_SUCCESS);
    // On and off between acquisitions.
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(LogCapture::instance().has("[I] Allocate ring buffer"));
    ASSERT_EQ(GEVAcquisitionStop(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
}

TEST_F(GevFilterLibrary, ClosingTheCameraReleasesTheDriver) {
    openCamera();
    ASSERT_EQ(GEVInitFilterDriver(1), GEV_STATUS_SUCCESS);
    ASSERT_EQ(start(), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    EXPECT_EQ(script.callsOf(fdc::kStopStream).size(), 1u);
    EXPECT_EQ(script.openHandles, 0);
    EXPECT_TRUE(LogCapture::instance().has("[V] GEVCloseFilterDriver(1) => 0"));
}
