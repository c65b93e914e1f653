// The USB manager against the simulated backend: enumeration, handles, open/close/reopen,
// per-device calls, streaming through handles, hot-plug with the offline callback; the
// process-wide manager and the libusb backend's watch with no camera attached.
#include "usb3/QxUsbManager.h"
#include "SimUsb3Camera.h"
#include "CallCounter.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace qx::usb3;
using namespace std::chrono_literals;
using qx::usb3::sim::SimUsb3Camera;
using qx::usb3::sim::SimUsb3Rig;
using Bytes = std::vector<uint8_t>;
using qx::usb3::sim::frameHeader;

namespace {

using qxtest::waitUntil;

// Offline callback recorder.
using Offline = qxtest::CallCounter;

// A manager streaming 128 x 64 8-bit frames of the simulated camera through one handle, with
// its offline reports recorded (the recorder outlives the manager).
struct StreamingHandle {
    SimUsb3Rig rig;
    Offline off;
    QxUsbManager mgr{rig.backend};
    UsbDevHandle h = kUsbInvalidHandle;
    bool start() {
        h = mgr.OpenDevice("usb:sim-1");
        if (h == kUsbInvalidHandle) return false;
        mgr.RegisterOfflineCallback(h, &Offline::callback, &off);
        mgr.SetImageInfo(h, 128, 64, 8);
        mgr.SetPixelBytes(h, 1);
        return mgr.StartAcq(h) && rig.camera->waitPendingBulkReads(64, 5s);
    }
};

} // namespace

TEST(Usb3ThreadedManager, EnumeratesTheCameraAndOpensItByHandle) {
    SimUsb3Rig rig;
    rig.backend->addCamera(std::make_shared<SimUsb3Camera>("usb:sim-2"));
    rig.backend->addCamera(std::make_shared<SimUsb3Camera>("usb:other", 0x1234, 0x5678));
    QxUsbManager mgr(rig.backend);
    ASSERT_EQ(mgr.GetDeviceCount(), 2);
    EXPECT_STREQ(mgr.GetDevicePath(0), "usb:sim-1");
    EXPECT_STREQ(mgr.GetDevicePath(1), "usb:sim-2");
    EXPECT_EQ(mgr.GetDevicePath(2), usbNoPath());
    EXPECT_EQ(mgr.GetDevicePath(-1), usbNoPath());

    UsbDevHandle h = mgr.OpenDevice("usb:sim-1");
    ASSERT_NE(h, kUsbInvalidHandle);
    EXPECT_EQ(mgr.OpenDevice("usb:sim-1"), kUsbInvalidHandle); // already open
    EXPECT_EQ(mgr.OpenDevice("USB:SIM-1"), kUsbInvalidHandle); // not as listed
    EXPECT_EQ(mgr.OpenDevice("usb:other"), kUsbInvalidHandle); // not a camera
    EXPECT_EQ(mgr.OpenDevice(nullptr), kUsbInvalidHandle);

    rig.camera->setLinkRegister(0x20, {1, 2, 3, 4});
    uint8_t buf[4] = {};
    EXPECT_TRUE(mgr.ReadDeviceReg(h, 0x20, buf, 4, 2000));
    EXPECT_EQ(buf[3], 4);
    uint8_t w[4] = {9, 8, 7, 6};
    EXPECT_TRUE(mgr.WriteDeviceReg(h, 0x24, w, 4, 2000));
    EXPECT_EQ(rig.camera->linkRegister(0x24), (Bytes{9, 8, 7, 6}));
    const uint8_t req[] = {'R', 0x00, 0x10};
    rig.camera->setProtoRegister(0x10, 0x11223344);
    EXPECT_TRUE(mgr.WriteData(h, req, 3, 2000));
    uint8_t in[16];
    int n = sizeof(in);
    ASSERT_TRUE(mgr.ReadData(h, in, n, 2000));
    ASSERT_GE(n, 1);
    EXPECT_EQ(in[0], 0x06);

    EXPECT_TRUE(mgr.CloseDevice(h));
    EXPECT_FALSE(mgr.CloseDevice(h)); // once only
    EXPECT_EQ(rig.camera->openHandles(), 0);
    // A closed handle reaches nothing, also after the path is opened again.
    UsbDevHandle h2 = mgr.OpenDevice("usb:sim-1");
    ASSERT_NE(h2, kUsbInvalidHandle);
    EXPECT_NE(h2, h);
    EXPECT_FALSE(mgr.ReadDeviceReg(h, 0x20, buf, 4, 100));
    EXPECT_FALSE(mgr.StartAcq(h));
    EXPECT_TRUE(mgr.CloseDevice(h2));
}

TEST(Usb3ThreadedManager, UnknownHandlesFailEveryCall) {
    SimUsb3Rig rig;
    QxUsbManager mgr(rig.backend);
    for (UsbDevHandle h : {UsbDevHandle(0), kUsbInvalidHandle, UsbDevHandle(12345)}) {
        uint8_t buf[4] = {};
        int n = 4;
        FrameCacheSlot* slot = reinterpret_cast<FrameCacheSlot*>(buf);
        EXPECT_FALSE(mgr.CloseDevice(h));
        EXPECT_FALSE(mgr.CameraGetImage(h, slot, 10));
        EXPECT_EQ(slot, nullptr);
        EXPECT_FALSE(mgr.ReadData(h, buf, n, 10));
        EXPECT_FALSE(mgr.WriteData(h, buf, 4, 10));
        EXPECT_FALSE(mgr.ReadDeviceReg(h, 0, buf, 4, 10));
        EXPECT_FALSE(mgr.WriteDeviceReg(h, 0, buf, 4, 10));
        EXPECT_FALSE(mgr.StartAcq(h));
        EXPECT_FALSE(mgr.StopAcq(h));
        mgr.SetPixelBytes(h, 2);
        mgr.SetImageInfo(h, 1, 1, 8);
        mgr.SetTransferParams(h, 3, 1);
        mgr.RegisterOfflineCallback(h, nullptr, nullptr);
    }
}

TEST(Usb3ThreadedManager, SettersStoreTheirValues) {
    SimUsb3Rig rig;
    QxUsbManager mgr(rig.backend);
    UsbDevHandle h = mgr.OpenDevice("usb:sim-1");
    ASSERT_NE(h, kUsbInvalidHandle);
    int v[6];
    ASSERT_TRUE(mgr.streamSettings(h, v));
    EXPECT_EQ(v[0], 1000);
    EXPECT_EQ(v[1], 1000);
    EXPECT_EQ(v[2], 8);
    EXPECT_EQ(v[3], 4);
    EXPECT_EQ(v[4], 16);
    EXPECT_EQ(v[5], 2);
    mgr.SetPixelBytes(h, -3);
    ASSERT_TRUE(mgr.streamSettings(h, v));
    EXPECT_EQ(v[5], 1);
    mgr.SetPixelBytes(h, 20);
    ASSERT_TRUE(mgr.streamSettings(h, v));
    EXPECT_EQ(v[5], 16);
    mgr.SetTransferParams(h, 3, 1);
    mgr.SetImageInfo(h, 640, 480, 12);
    ASSERT_TRUE(mgr.streamSettings(h, v));
    EXPECT_EQ(v[0], 640);
    EXPECT_EQ(v[1], 480);
    EXPECT_EQ(v[2], 12);
    EXPECT_EQ(v[3], 3);
    EXPECT_EQ(v[4], 1);
    EXPECT_TRUE(mgr.CloseDevice(h));
}

TEST(Usb3ThreadedManager, ConcurrentOpensOfOnePathGiveOneHandle) {
    SimUsb3Rig rig;
    QxUsbManager mgr(rig.backend);
    std::atomic<int> opened{0};
    std::vector<UsbDevHandle> handles(6, kUsbInvalidHandle);
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            handles[size_t(t)] = mgr.OpenDevice("usb:sim-1");
            if (handles[size_t(t)] != kUsbInvalidHandle) ++opened;
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(opened.load(), 1);
    for (UsbDevHandle h : handles)
        if (h != kUsbInvalidHandle) {
            EXPECT_TRUE(mgr.CloseDevice(h));
        }
    EXPECT_EQ(rig.camera->openHandles(), 0);
}

TEST(Usb3ThreadedManager, StreamsThroughHandlesAndReopens) {
    SimUsb3Rig rig;
    QxUsbManager mgr(rig.backend);
    for (int round = 0; round < 2; ++round) {
        UsbDevHandle h = mgr.OpenDevice("usb:sim-1");
        ASSERT_NE(h, kUsbInvalidHandle);
        mgr.SetTransferParams(h, 3, 16);
        mgr.SetPixelBytes(h, 1);
        mgr.SetImageInfo(h, 256, 128, 8);
        ASSERT_TRUE(mgr.StartAcq(h));
        ASSERT_TRUE(rig.camera->waitPendingBulkReads(64, 5s));
        for (uint32_t f = 1; f <= 3; ++f) {
            Bytes p(256 * 128);
            for (size_t i = 0; i < p.size(); ++i) p[i] = uint8_t(i * f + round);
            rig.camera->queueFrame(frameHeader(256, 128, f), p);
            FrameCacheSlot* slot = nullptr;
            ASSERT_TRUE(mgr.CameraGetImage(h, slot, 5000));
            EXPECT_EQ(slot->frameNumber, f);
            EXPECT_EQ(std::memcmp(slot->data, p.data(), p.size()), 0);
        }
        EXPECT_TRUE(mgr.CameraReleaseImage(h));
        UsbStreamStats st;
        ASSERT_TRUE(mgr.streamStats(h, st));
        EXPECT_EQ(st.framesCompleted, 3u);
        if (round == 0) {
            EXPECT_TRUE(mgr.StopAcq(h));
        }
        // Round 1 closes while streaming: the close stops the stream.
        EXPECT_TRUE(mgr.CloseDevice(h));
        EXPECT_EQ(rig.camera->pendingBulkReads(), 0u);
    }
}

TEST(Usb3ThreadedManager, UnplugWhileStreamingReportsOnceAndTheHandleStillCloses) {
    StreamingHandle s;
    ASSERT_TRUE(s.start());
    auto& rig = s.rig;
    auto& mgr = s.mgr;
    auto& off = s.off;
    const UsbDevHandle h = s.h;

    const uint64_t before = mgr.deviceChanges();
    rig.backend->unplug("usb:sim-1");
    ASSERT_TRUE(off.waitCalls(1));
    EXPECT_TRUE(mgr.isRemoved(h));
    // The failing stream may report the loss before the removal notice is handled.
    ASSERT_TRUE(waitUntil([&] { return mgr.deviceChanges() > before; }));
    EXPECT_EQ(mgr.GetDeviceCount(), 0);
    // A repeated removal notification does not report the device again.
    const uint64_t changes = mgr.deviceChanges();
    rig.backend->notify(qx::usb::UsbHotplugEvent::Left, {"usb:sim-1", kCameraVendorId, kCameraProductId});
    rig.backend->notify(qx::usb::UsbHotplugEvent::Left, {"usb:sim-9", kCameraVendorId, kCameraProductId});
    EXPECT_FALSE(waitUntil([&] { return mgr.deviceChanges() > changes; }, 300ms)); // nothing new to tell
    EXPECT_EQ(off.count(), 1);
    EXPECT_EQ(mgr.OpenDevice("usb:sim-1"), kUsbInvalidHandle);
    FrameCacheSlot* slot = nullptr;
    EXPECT_FALSE(mgr.CameraGetImage(h, slot, 20));

    // Plugged in again: the list has it, but the old handle keeps the path until it is closed.
    rig.backend->replug("usb:sim-1");
    ASSERT_TRUE(waitUntil([&] { return mgr.GetDeviceCount() == 1; }));
    EXPECT_EQ(off.count(), 1);
    EXPECT_EQ(mgr.OpenDevice("usb:sim-1"), kUsbInvalidHandle);
    EXPECT_TRUE(mgr.StopAcq(h));
    EXPECT_TRUE(mgr.CloseDevice(h));
    UsbDevHandle h2 = mgr.OpenDevice("usb:sim-1");
    ASSERT_NE(h2, kUsbInvalidHandle);
    EXPECT_FALSE(mgr.isRemoved(h2));
    EXPECT_TRUE(mgr.CloseDevice(h2));
}

TEST(Usb3ThreadedManager, ArrivalReEnumeratesWithoutOfflineCallbacks) {
    SimUsb3Rig rig;
    QxUsbManager mgr(rig.backend);
    UsbDevHandle h = mgr.OpenDevice("usb:sim-1");
    ASSERT_NE(h, kUsbInvalidHandle);
    Offline off;
    mgr.RegisterOfflineCallback(h, &Offline::callback, &off);
    rig.backend->plugNew(std::make_shared<SimUsb3Camera>("usb:sim-2"));
    ASSERT_TRUE(waitUntil([&] { return mgr.GetDeviceCount() == 2; }));
    EXPECT_STREQ(mgr.GetDevicePath(1), "usb:sim-2");
    // Another vendor's device changes nothing.
    const uint64_t changes = mgr.deviceChanges();
    rig.backend->plugNew(std::make_shared<SimUsb3Camera>("usb:mouse", 0x046D, 0xC077));
    EXPECT_FALSE(waitUntil([&] { return mgr.deviceChanges() > changes; }, 300ms));
    EXPECT_EQ(mgr.GetDeviceCount(), 2);
    EXPECT_EQ(off.count(), 0);
    UsbDevHandle h2 = mgr.OpenDevice("usb:sim-2");
    EXPECT_NE(h2, kUsbInvalidHandle);
    EXPECT_TRUE(mgr.CloseDevice(h2));
    EXPECT_TRUE(mgr.CloseDevice(h));
}

// Exceptions let out of callbacks on the manager's hot-plug thread: an offline callback that
// throws neither ends the process nor leaves its device marked as in its callback (which
// would hold the close below for good), and the watch goes on reporting.
TEST(Usb3ThreadedManager, AnOfflineCallbackThatThrowsLeavesTheManagerWorking) {
    struct Throwing {
        std::atomic<int> calls{0};
        static void callback(void* ctx) {
            ++static_cast<Throwing*>(ctx)->calls;
            throw std::runtime_error("application failure");
        }
    };
    SimUsb3Rig rig;
    rig.backend->addCamera(std::make_shared<SimUsb3Camera>("usb:sim-2"));
    Throwing throwing;
    Offline off;
    QxUsbManager mgr(rig.backend);
    const UsbDevHandle h1 = mgr.OpenDevice("usb:sim-1");
    const UsbDevHandle h2 = mgr.OpenDevice("usb:sim-2");
    ASSERT_NE(h1, kUsbInvalidHandle);
    ASSERT_NE(h2, kUsbInvalidHandle);
    mgr.RegisterOfflineCallback(h1, &Throwing::callback, &throwing);
    mgr.RegisterOfflineCallback(h2, &Offline::callback, &off);
    rig.backend->unplug("usb:sim-1");
    ASSERT_TRUE(waitUntil([&] { return throwing.calls.load() == 1; }));
    EXPECT_TRUE(mgr.CloseDevice(h1));
    rig.backend->unplug("usb:sim-2");
    EXPECT_TRUE(off.waitCalls(1));
    EXPECT_TRUE(mgr.CloseDevice(h2));
    rig.backend->replug("usb:sim-1");
    ASSERT_TRUE(waitUntil([&] { return mgr.GetDeviceCount() == 1; }));
    const UsbDevHandle again = mgr.OpenDevice("usb:sim-1");
    EXPECT_NE(again, kUsbInvalidHandle);
    EXPECT_TRUE(mgr.CloseDevice(again));
    EXPECT_EQ(throwing.calls.load(), 1);
}

TEST(Usb3ThreadedManager, AWatchWhoseCallbackThrowsReportsTheNextChanges) {
    SimUsb3Rig rig;
    std::mutex m;
    std::vector<std::string> seen;
    std::unique_ptr<qx::usb::UsbWatch> w = rig.backend->watch(
        kCameraVendorId, kCameraProductId,
        [&](qx::usb::UsbHotplugEvent, const qx::usb::UsbDeviceEntry& e) {
            std::lock_guard<std::mutex> lk(m);
            seen.push_back(e.path);
            if (seen.size() == 1) throw std::runtime_error("first notification refused");
        },
        0ms);
    ASSERT_NE(w, nullptr);
    rig.backend->plugNew(std::make_shared<SimUsb3Camera>("usb:sim-2"));
    rig.backend->plugNew(std::make_shared<SimUsb3Camera>("usb:sim-3"));
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> lk(m);
        return seen.size() == 2;
    }));
    w.reset();
    EXPECT_EQ(seen, (std::vector<std::string>{"usb:sim-2", "usb:sim-3"}));
}

TEST(Usb3ThreadedManager, UnregisteredCallbackIsNotCalled) {
    SimUsb3Rig rig;
    QxUsbManager mgr(rig.backend);
    UsbDevHandle h = mgr.OpenDevice("usb:sim-1");
    ASSERT_NE(h, kUsbInvalidHandle);
    Offline off;
    mgr.RegisterOfflineCallback(h, &Offline::callback, &off);
    mgr.RegisterOfflineCallback(h, nullptr, &off);
    rig.backend->unplug("usb:sim-1");
    ASSERT_TRUE(waitUntil([&] { return mgr.isRemoved(h); }));
    EXPECT_EQ(off.count(), 0);
    EXPECT_TRUE(mgr.CloseDevice(h));
}

namespace {
struct Reentrant {
    QxUsbManager* mgr = nullptr;
    UsbDevHandle handle = kUsbInvalidHandle;
    std::atomic<int> calls{0};
    std::atomic<bool> closed{false};
    std::atomic<int> countSeen{-1};
    static void callback(void* ctx) {
        auto* self = static_cast<Reentrant*>(ctx);
        // The notification comes with no manager lock held: the owner may close its device.
        self->countSeen = self->mgr->GetDeviceCount();
        self->mgr->RegisterOfflineCallback(self->handle, nullptr, nullptr);
        self->closed = self->mgr->CloseDevice(self->handle);
        ++self->calls;
    }
};

// Holds its callback until released, so a test can act while the callback runs.
struct Blocking {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool release = false;
    std::atomic<bool> returned{false};
    static void callback(void* ctx) {
        auto* self = static_cast<Blocking*>(ctx);
        std::unique_lock<std::mutex> lk(self->m);
        self->entered = true;
        self->cv.notify_all();
        self->cv.wait_for(lk, 10s, [&] { return self->release; });
        self->returned = true;
    }
    bool waitEntered() {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, 5s, [&] { return entered; });
    }
    void letGo() {
        std::lock_guard<std::mutex> lk(m);
        release = true;
        cv.notify_all();
    }
};
} // namespace

TEST(Usb3ThreadedManager, OfflineCallbackMayCloseItsDeviceAndTheCameraOpensAgain) {
    SimUsb3Rig rig;
    QxUsbManager mgr(rig.backend);
    Reentrant r;
    r.mgr = &mgr;
    r.handle = mgr.OpenDevice("usb:sim-1");
    ASSERT_NE(r.handle, kUsbInvalidHandle);
    mgr.RegisterOfflineCallback(r.handle, &Reentrant::callback, &r);
    rig.backend->unplug("usb:sim-1");
    ASSERT_TRUE(waitUntil([&] { return r.calls.load() == 1; }));
    EXPECT_EQ(r.countSeen.load(), 0);
    EXPECT_TRUE(r.closed.load());
    EXPECT_EQ(rig.camera->openHandles(), 0);
    EXPECT_FALSE(mgr.CloseDevice(r.handle)); // already gone
    rig.backend->replug("usb:sim-1");
    ASSERT_TRUE(waitUntil([&] { return mgr.GetDeviceCount() == 1; }));
    UsbDevHandle again = mgr.OpenDevice("usb:sim-1");
    ASSERT_NE(again, kUsbInvalidHandle);
    rig.camera->setLinkRegister(0x40, {1, 2, 3, 4});
    uint8_t b[4] = {};
    EXPECT_TRUE(mgr.ReadDeviceReg(again, 0x40, b, 4, 2000));
    EXPECT_EQ(b[3], 4);
    EXPECT_TRUE(mgr.CloseDevice(again));
}

namespace {
// Two simulated cameras, "usb:sim-1" and "usb:sim-2", open through one manager.
struct TwoCameras {
    SimUsb3Rig rig;
    std::shared_ptr<SimUsb3Camera> second = std::make_shared<SimUsb3Camera>("usb:sim-2");
    std::unique_ptr<QxUsbManager> mgr;
    UsbDevHandle h1 = kUsbInvalidHandle;
    UsbDevHandle h2 = kUsbInvalidHandle;
    bool open() {
        rig.backend->addCamera(second);
        mgr = std::make_unique<QxUsbManager>(rig.backend);
        h1 = mgr->OpenDevice("usb:sim-1");
        h2 = mgr->OpenDevice("usb:sim-2");
        return h1 != kUsbInvalidHandle && h2 != kUsbInvalidHandle;
    }
};
} // namespace

TEST(Usb3ThreadedManager, OtherCamerasWorkWhileAnOfflineCallbackRuns) {
    TwoCameras two;
    two.second->setLinkRegister(0x50, {9, 8, 7, 6});
    ASSERT_TRUE(two.open());
    auto& rig = two.rig;
    QxUsbManager& mgr = *two.mgr;
    const UsbDevHandle h1 = two.h1;
    UsbDevHandle h2 = two.h2;
    Blocking block;
    mgr.RegisterOfflineCallback(h1, &Blocking::callback, &block);
    rig.backend->unplug("usb:sim-1");
    ASSERT_TRUE(block.waitEntered());
    // The second camera, enumeration and opening are not held up by the running callback.
    uint8_t b[4] = {};
    EXPECT_TRUE(mgr.ReadDeviceReg(h2, 0x50, b, 4, 2000));
    EXPECT_EQ(b[0], 9);
    EXPECT_EQ(mgr.GetDeviceCount(), 1);
    EXPECT_TRUE(mgr.CloseDevice(h2));
    h2 = mgr.OpenDevice("usb:sim-2");
    EXPECT_NE(h2, kUsbInvalidHandle);
    // Unregistering on another thread waits for the running callback, which still uses its
    // context; it returns once the callback has.
    std::atomic<bool> unregistered{false};
    std::thread other([&] {
        mgr.RegisterOfflineCallback(h1, nullptr, nullptr);
        unregistered = true;
    });
    EXPECT_FALSE(waitUntil([&] { return unregistered.load(); }, 200ms));
    block.letGo();
    other.join();
    EXPECT_TRUE(block.returned.load());
    EXPECT_TRUE(mgr.CloseDevice(h1));
    EXPECT_TRUE(mgr.CloseDevice(h2));
}

TEST(Usb3ThreadedManager, QuickReplugIsStillReportedOffline) {
    TwoCameras two;
    ASSERT_TRUE(two.open());
    auto& rig = two.rig;
    QxUsbManager& mgr = *two.mgr;
    const UsbDevHandle h = two.h1;
    const UsbDevHandle busy = two.h2;
    Offline off;
    mgr.RegisterOfflineCallback(h, &Offline::callback, &off);
    // The watcher is held in another camera's callback while sim-1 leaves and comes back, so
    // its removal is handled when it is listed again already.
    Blocking block;
    mgr.RegisterOfflineCallback(busy, &Blocking::callback, &block);
    rig.backend->unplug("usb:sim-2");
    ASSERT_TRUE(block.waitEntered());
    rig.backend->unplug("usb:sim-1");
    rig.backend->replug("usb:sim-1");
    block.letGo();
    ASSERT_TRUE(off.waitCalls(1));
    EXPECT_TRUE(mgr.isRemoved(h));
    EXPECT_TRUE(mgr.CloseDevice(h));
    EXPECT_TRUE(mgr.CloseDevice(busy));
    ASSERT_TRUE(waitUntil([&] { return mgr.GetDeviceCount() == 1; }));
    UsbDevHandle h2 = mgr.OpenDevice("usb:sim-1");
    EXPECT_NE(h2, kUsbInvalidHandle);
    EXPECT_FALSE(mgr.isRemoved(h2));
    EXPECT_TRUE(mgr.CloseDevice(h2));
}

TEST(Usb3ThreadedManager, CloseRacingRemovalNeverCallsAClosedDevicesCallback) {
    for (int i = 0; i < 20; ++i) {
        SimUsb3Rig rig;
        QxUsbManager mgr(rig.backend);
        UsbDevHandle h = mgr.OpenDevice("usb:sim-1");
        ASSERT_NE(h, kUsbInvalidHandle);
        auto off = std::make_unique<Offline>();
        mgr.RegisterOfflineCallback(h, &Offline::callback, off.get());
        std::thread unplugger([&] { rig.backend->unplug("usb:sim-1"); });
        mgr.RegisterOfflineCallback(h, nullptr, nullptr);
        EXPECT_TRUE(mgr.CloseDevice(h));
        const int after = off->count();
        unplugger.join();
        ASSERT_TRUE(waitUntil([&] { return mgr.GetDeviceCount() == 0; }));
        EXPECT_EQ(off->count(), after); // nothing after the close
        off.reset();
    }
}

TEST(Usb3ThreadedManager, NoCameraMeansNoDevices) {
    auto backend = std::make_shared<qx::usb3::sim::SimUsbBackend>();
    QxUsbManager mgr(backend);
    EXPECT_EQ(mgr.GetDeviceCount(), 0);
    EXPECT_EQ(mgr.GetDevicePath(0), usbNoPath());
    EXPECT_EQ(mgr.OpenDevice("usb:sim-1"), kUsbInvalidHandle);
}

TEST(Usb3ThreadedManager, PathTextOutlivesReEnumeration) {
    SimUsb3Rig rig;
    QxUsbManager mgr(rig.backend);
    const char* p = mgr.GetDevicePath(0);
    ASSERT_NE(p, usbNoPath());
    rig.backend->unplug("usb:sim-1");
    ASSERT_TRUE(waitUntil([&] { return mgr.GetDeviceCount() == 0; }));
    EXPECT_STREQ(p, "usb:sim-1");
}

TEST(Usb3ThreadedManager, DestroyingTheManagerClosesWhatIsOpen) {
    SimUsb3Rig rig;
    {
        QxUsbManager mgr(rig.backend);
        UsbDevHandle h = mgr.OpenDevice("usb:sim-1");
        ASSERT_NE(h, kUsbInvalidHandle);
        mgr.SetImageInfo(h, 64, 64, 8);
        ASSERT_TRUE(mgr.StartAcq(h));
        EXPECT_EQ(rig.backend->watches(), 1u);
    }
    EXPECT_EQ(rig.backend->watches(), 0u);
    EXPECT_EQ(rig.camera->openHandles(), 0);
    EXPECT_EQ(rig.camera->pendingBulkReads(), 0u);
}

TEST(Usb3ThreadedManager, ProcessManagerIsMadeOnceFromManyThreads) {
    EXPECT_EQ(QueryDevicePath(0, nullptr), 0x8FFFu);
    std::vector<QxUsbManager*> got(8, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back([&, t] { got[size_t(t)] = QX_U3V_GetManager(); });
    for (auto& th : threads) th.join();
    ASSERT_NE(got[0], nullptr);
    for (QxUsbManager* m : got) EXPECT_EQ(m, got[0]);
    UsbPathRecord rec;
    EXPECT_EQ(QueryDevicePath(1000, &rec), 0u);
    EXPECT_EQ(rec.path, usbNoPath());
    if (got[0]->GetDeviceCount() == 0) {
        EXPECT_EQ(got[0]->GetDevicePath(0), usbNoPath());
        EXPECT_EQ(got[0]->OpenDevice("usb:1-1"), kUsbInvalidHandle);
    }
}

TEST(Usb3ThreadedLibUsbWatch, WatchWithoutADeviceReportsNothingAndStops) {
    std::shared_ptr<qx::usb::UsbBackend> backend = qx::usb::makeLibUsbBackend();
    if (!backend->listDevices(kCameraVendorId, kCameraProductId).empty()) GTEST_SKIP() << "a camera is attached";
    std::atomic<int> events{0};
    std::unique_ptr<qx::usb::UsbWatch> w = backend->watch(
        kCameraVendorId, kCameraProductId, [&](qx::usb::UsbHotplugEvent, const qx::usb::UsbDeviceEntry&) { ++events; },
        20ms);
    ASSERT_NE(w, nullptr);
    // Several re-list rounds pass without any camera.
    EXPECT_FALSE(waitUntil([&] { return events.load() > 0; }, 200ms));
    w.reset();
    EXPECT_EQ(events.load(), 0);
    EXPECT_EQ(backend->watch(kCameraVendorId, kCameraProductId, nullptr), nullptr);
}

TEST(Usb3ThreadedManager, HaltedBulkEndpointIsClearedAndFramesFlowAgain) {
    StreamingHandle s;
    ASSERT_TRUE(s.start());
    auto& rig = s.rig;
    auto& mgr = s.mgr;
    const UsbDevHandle h = s.h;
    rig.camera->haltBulk();
    ASSERT_TRUE(waitUntil([&] { return rig.camera->bulkHaltClears() >= 1; }));
    Bytes p(128 * 64);
    for (size_t i = 0; i < p.size(); ++i) p[i] = uint8_t(i * 5 + 3);
    rig.camera->queueFrame(frameHeader(128, 64, 1), p);
    FrameCacheSlot* slot = nullptr;
    ASSERT_TRUE(mgr.CameraGetImage(h, slot, 5000));
    EXPECT_EQ(std::memcmp(slot->data, p.data(), p.size()), 0);
    EXPECT_EQ(s.off.count(), 0);
    EXPECT_FALSE(mgr.isRemoved(h));
    EXPECT_TRUE(mgr.StopAcq(h));
    EXPECT_TRUE(mgr.CloseDevice(h));
}

TEST(Usb3ThreadedManager, BulkEndpointThatStaysHaltedIsReportedOfflineWithoutSpinning) {
    StreamingHandle s;
    ASSERT_TRUE(s.start());
    auto& rig = s.rig;
    auto& mgr = s.mgr;
    auto& off = s.off;
    const UsbDevHandle h = s.h;
    const size_t before = rig.camera->bulkReadsSubmitted();
    rig.camera->haltBulk(true);
    ASSERT_TRUE(off.waitCalls(1, 30000ms));
    EXPECT_TRUE(mgr.isRemoved(h));
    EXPECT_GE(rig.camera->bulkHaltClears(), 2u);
    // The failing reads were retried with pauses, not resubmitted as fast as they failed.
    EXPECT_LT(rig.camera->bulkReadsSubmitted() - before, 20000u);
    EXPECT_TRUE(mgr.StopAcq(h));
    EXPECT_TRUE(mgr.CloseDevice(h));
    EXPECT_EQ(off.count(), 1);
}

// A stop does not wait out the consumer's image wait: cancelling ends a take that waits now
// and fails the later ones until the stream starts again, when frames are taken as before.
TEST(Usb3ThreadedManager, CancelledImageWaitEndsAtOnceUntilTheNextStart) {
    StreamingHandle s;
    ASSERT_TRUE(s.start());
    constexpr auto kLong = 30s;
    std::atomic<bool> taken{true};
    std::atomic<bool> returned{false};
    const auto t0 = std::chrono::steady_clock::now();
    std::thread consumer([&] {
        FrameCacheSlot* slot = nullptr;
        taken = s.mgr.CameraGetImage(s.h, slot, int(std::chrono::milliseconds(kLong).count()));
        returned = true;
    });
    // The consumer is (or is about to be) in its wait; the cancel ends it either way.
    EXPECT_FALSE(waitUntil([&] { return returned.load(); }, 100ms));
    EXPECT_TRUE(s.mgr.CancelImageWait(s.h));
    consumer.join();
    EXPECT_FALSE(taken.load());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kLong / 2);
    FrameCacheSlot* slot = nullptr;
    EXPECT_FALSE(s.mgr.CameraGetImage(s.h, slot, int(std::chrono::milliseconds(kLong).count())));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kLong / 2);

    ASSERT_TRUE(s.mgr.StopAcq(s.h));
    ASSERT_TRUE(s.mgr.StartAcq(s.h));
    ASSERT_TRUE(s.rig.camera->waitPendingBulkReads(64, 5s));
    Bytes p(128 * 64, 0x5C);
    s.rig.camera->queueFrame(frameHeader(128, 64, 1), p);
    ASSERT_TRUE(s.mgr.CameraGetImage(s.h, slot, 5000));
    EXPECT_EQ(slot->frameNumber, 1u);
    EXPECT_FALSE(s.mgr.CancelImageWait(kUsbInvalidHandle));
    EXPECT_TRUE(s.mgr.CloseDevice(s.h));
}

// A hot-plug notice is handled at once while a camera waits for an image, a register reply or
// byte-channel data: those waits hold no manager lock, so neither the notice nor the other
// cameras' calls queue up behind them.
TEST(Usb3ThreadedManager, HotPlugIsHandledWhileACameraWaitsAndOtherCamerasGoOn) {
    TwoCameras two;
    ASSERT_TRUE(two.open());
    QxUsbManager& mgr = *two.mgr;
    for (UsbDevHandle h : {two.h1, two.h2}) {
        mgr.SetImageInfo(h, 128, 64, 8);
        mgr.SetPixelBytes(h, 1);
        ASSERT_TRUE(mgr.StartAcq(h));
    }
    ASSERT_TRUE(two.rig.camera->waitPendingBulkReads(64, 5s));
    ASSERT_TRUE(two.second->waitPendingBulkReads(64, 5s));
    constexpr auto kLong = 30s;
    const int longMs = int(std::chrono::milliseconds(kLong).count());
    std::atomic<int> ended{0};
    // The first camera waits for an image and for a byte-channel reply that do not come.
    std::thread imageWaiter([&] {
        FrameCacheSlot* slot = nullptr;
        mgr.CameraGetImage(two.h1, slot, longMs);
        ++ended;
    });
    two.rig.camera->setDropRegisterReplies(true);
    std::thread regWaiter([&] {
        uint8_t b[4] = {};
        mgr.ReadDeviceReg(two.h1, 0x60, b, 4, longMs);
        ++ended;
    });
    ASSERT_TRUE(waitUntil([&] { return two.rig.camera->registerFrames() > 0; }));
    EXPECT_FALSE(waitUntil([&] { return ended.load() > 0; }, 100ms));

    const auto t0 = std::chrono::steady_clock::now();
    const uint64_t changes = mgr.deviceChanges();
    two.rig.backend->plugNew(std::make_shared<SimUsb3Camera>("usb:sim-3"));
    ASSERT_TRUE(waitUntil([&] { return mgr.deviceChanges() > changes; }, kLong / 2));
    EXPECT_EQ(mgr.GetDeviceCount(), 3);
    // The other camera's frames and registers go on.
    Bytes p(128 * 64, 0x3D);
    two.second->queueFrame(frameHeader(128, 64, 1), p);
    FrameCacheSlot* slot = nullptr;
    ASSERT_TRUE(mgr.CameraGetImage(two.h2, slot, 5000));
    EXPECT_EQ(slot->frameNumber, 1u);
    two.second->setLinkRegister(0x64, {1, 2, 3, 4});
    uint8_t b[4] = {};
    EXPECT_TRUE(mgr.ReadDeviceReg(two.h2, 0x64, b, 4, 2000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kLong / 2);

    // Closing the waiting camera ends its waits.
    EXPECT_TRUE(mgr.CloseDevice(two.h1));
    imageWaiter.join();
    regWaiter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kLong / 2);
    EXPECT_TRUE(mgr.CloseDevice(two.h2));
}
