// Handles: calls on one handle are serialised, calls on different handles run side by side,
// deletion waits for a running call, and creation, lookup and deletion may race freely.
#include "core/api/DeviceManager.h"
#include "LogCapture.h"
#include "TestDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

using namespace qxtest;
using namespace std::chrono_literals;

namespace {

struct Camera {
    QX_DEV_HANDLE handle = nullptr;
    TestDevice* device = nullptr;
};

class HandlesTest : public ::testing::Test {
protected:
    Camera makeConnected(const char* serial) {
        Camera c;
        DeviceInfo info = makeGigeInfo("M", serial, 1, 2);
        EXPECT_EQ(QX_CreateDevice(&c.handle, &info), QX_OK);
        EXPECT_EQ(QX_ConnectDevice(c.handle, 1), QX_OK);
        c.device = transport.device(c.handle);
        return c;
    }
    void destroy(Camera& c) {
        c.device->release();
        QX_DisconnectDevice(c.handle);
        EXPECT_EQ(QX_DeleteDevice(c.handle), QX_OK);
    }
    TestTransport transport;
};

TEST_F(HandlesTest, CallsOnOneHandleAreSerialised) {
    Camera a = makeConnected("A");
    a.device->blockReads();
    uint8_t buf[4];
    auto slow = std::async(std::launch::async, [&] { return QX_ReadMemory(a.handle, buf, 0, 4, 0); });
    ASSERT_TRUE(a.device->waitUntilBlocked(5s));
    auto second = std::async(std::launch::async, [&] {
        bool connected = false;
        return QX_GetConnectionStatus(a.handle, &connected);
    });
    EXPECT_EQ(second.wait_for(100ms), std::future_status::timeout) << "a second call on a busy handle waits";
    a.device->release();
    EXPECT_EQ(slow.get(), QX_OK);
    EXPECT_EQ(second.get(), QX_OK);
    destroy(a);
}

TEST_F(HandlesTest, ABusyHandleDoesNotDelayOtherHandles) {
    Camera a = makeConnected("A");
    Camera b = makeConnected("B");
    a.device->blockReads();
    uint8_t buf[4];
    auto slow = std::async(std::launch::async, [&] { return QX_ReadMemory(a.handle, buf, 0, 4, 0); });
    ASSERT_TRUE(a.device->waitUntilBlocked(5s));
    // A second caller now waits for handle A ...
    auto waiting = std::async(std::launch::async, [&] {
        bool connected = false;
        return QX_GetConnectionStatus(a.handle, &connected);
    });
    EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
    // ... and calls on handle B still go through at once.
    auto other = std::async(std::launch::async, [&] {
        bool connected = false;
        QX_STATUS s = QX_GetConnectionStatus(b.handle, &connected);
        DeviceInfo info{};
        if (s == QX_OK) s = QX_GetDeviceInfo(a.handle, &info);
        return s;
    });
    ASSERT_EQ(other.wait_for(2s), std::future_status::ready) << "handle B was held up by handle A";
    EXPECT_EQ(other.get(), QX_OK);
    a.device->release();
    EXPECT_EQ(slow.get(), QX_OK);
    EXPECT_EQ(waiting.get(), QX_OK);
    destroy(a);
    destroy(b);
}

TEST_F(HandlesTest, DeleteWaitsForTheRunningCallAndLaterCallsSeeADeletedHandle) {
    Camera a = makeConnected("A");
    ASSERT_EQ(QX_DisconnectDevice(a.handle), QX_OK);
    // A disconnected camera can still be asked for its memory; the call fails but holds the
    // handle while it waits in the transport.
    a.device->blockReads();
    ASSERT_EQ(QX_ConnectDevice(a.handle, 1), QX_OK);
    uint8_t buf[4];
    auto slow = std::async(std::launch::async, [&] { return QX_ReadMemory(a.handle, buf, 0, 4, 0); });
    ASSERT_TRUE(a.device->waitUntilBlocked(5s));
    // The camera is connected: the delete waits for the read, then refuses.
    auto del = std::async(std::launch::async, [&] { return QX_DeleteDevice(a.handle); });
    EXPECT_EQ(del.wait_for(100ms), std::future_status::timeout);
    a.device->release();
    EXPECT_EQ(del.get(), QX_ERR_WRONG_STATE);
    EXPECT_EQ(slow.get(), QX_OK);
    ASSERT_EQ(QX_DisconnectDevice(a.handle), QX_OK);
    EXPECT_EQ(QX_DeleteDevice(a.handle), QX_OK);
    bool connected;
    EXPECT_EQ(QX_GetConnectionStatus(a.handle, &connected), QX_ERR_INVALID_HANDLE);
    EXPECT_FALSE(QX_IsGrabbingStarted(a.handle));
}

TEST_F(HandlesTest, DeleteRechecksTheConnectionUnderTheHandleLock) {
    DeviceInfo info = makeGigeInfo("M", "R", 1, 2);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    TestDevice* dev = transport.device(h);
    // Connected behind the export's back, as a racing QX_ConnectDevice would.
    ASSERT_EQ(dev->connectDevice(1), QX_OK);
    EXPECT_EQ(qx::core::api::getDeviceManager()->deleteDevice(h), QX_ERR_WRONG_STATE);
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    EXPECT_EQ(qx::core::api::getDeviceManager()->deleteDevice(h), QX_OK);
}

TEST_F(HandlesTest, ConcurrentCreateLookupAndDelete) {
    const size_t before = qx::core::api::getDeviceManager()->handleCount();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                DeviceInfo info = makeGigeInfo("M", "C", static_cast<uint32_t>(t), 2);
                QX_DEV_HANDLE h = nullptr;
                if (QX_CreateDevice(&h, &info) != QX_OK) {
                    ++failures;
                    continue;
                }
                bool connected = true;
                if (QX_GetConnectionStatus(h, &connected) != QX_OK || connected) ++failures;
                // Another thread's handles may vanish at any time: these must answer cleanly.
                QX_IsGrabbingStarted(reinterpret_cast<void*>(0x10));
                if (QX_DeleteDevice(h) != QX_OK) ++failures;
                if (QX_DeleteDevice(h) != QX_ERR_INVALID_HANDLE) ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(qx::core::api::getDeviceManager()->handleCount(), before);
}

TEST_F(HandlesTest, CallsWaitingOnADeletedHandleAnswerCleanly) {
    DeviceInfo info = makeGigeInfo("M", "W", 1, 2);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    // A polling call holds the handle for its whole timeout ...
    auto poll = std::async(std::launch::async, [&] {
        FrameInfo frame{};
        return QX_GetFrame(h, &frame, 300);
    });
    std::this_thread::sleep_for(50ms);
    // ... while a delete and further calls queue up behind it.
    auto del = std::async(std::launch::async, [&] { return QX_DeleteDevice(h); });
    std::vector<std::future<QX_STATUS>> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.push_back(std::async(std::launch::async, [&] {
            bool connected = false;
            return QX_GetConnectionStatus(h, &connected);
        }));
    }
    EXPECT_EQ(poll.get(), QX_ERR_TIMEOUT);
    EXPECT_EQ(del.get(), QX_OK);
    for (auto& w : waiters) {
        const QX_STATUS s = w.get();
        EXPECT_TRUE(s == QX_OK || s == QX_ERR_INVALID_HANDLE) << std::hex << s;
    }
    bool connected;
    EXPECT_EQ(QX_GetConnectionStatus(h, &connected), QX_ERR_INVALID_HANDLE);
}

} // namespace
