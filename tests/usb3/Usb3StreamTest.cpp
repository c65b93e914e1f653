// Bulk streaming of QxUsbDevice against the simulated camera: the stream-start request, frames
// assembled byte for byte through the reader, the receive ring and the assembler thread;
// short, corrupt and lost pages; throughput; stop, restart and close while streaming.
#include "usb3/QxUsbDevice.h"
#include "SimUsb3Camera.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <chrono>
#include <cstring>
#include <thread>

using namespace qx::usb3;
using namespace std::chrono_literals;
using qx::usb3::sim::SimUsb3Camera;
using qx::usb3::sim::SimUsb3Rig;
using Bytes = std::vector<uint8_t>;
using qx::usb3::sim::frameHeader;
using qxtest::waitUntil;

namespace {

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 7;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        b[i] = uint8_t(x >> 24);
    }
    return b;
}

struct Streaming {
    SimUsb3Rig rig;
    QxUsbDevice dev{"usb:sim-1", rig.backend};
    explicit Streaming(int w = 320, int h = 240, int bpp = 1, int slots = 3, int units = 16) {
        EXPECT_TRUE(dev.UsbOpenLink());
        dev.SetImageInfo(w, h, 8 * bpp);
        dev.SetPixelBytes(bpp);
        dev.SetTransferParams(slots, units);
    }
    bool start() {
        if (!dev.UsbStartStream()) return false;
        // All 64 transfers are queued before the test sends anything.
        return rig.camera->waitPendingBulkReads(64, 5s);
    }
};

} // namespace

TEST(Usb3ThreadedStream, StartSendsTheRequestAndFramesArriveByteForByte) {
    Streaming s;
    ASSERT_TRUE(s.start());
    EXPECT_EQ(s.rig.camera->streamStartRequests(), 1u);
    EXPECT_TRUE(s.dev.isAcquiring());
    EXPECT_TRUE(s.dev.UsbStartStream()); // already streaming
    EXPECT_EQ(s.rig.camera->streamStartRequests(), 1u);
    for (uint32_t n = 1; n <= 6; ++n) {
        Bytes pixels = pattern(320 * 240, n);
        s.rig.camera->queueFrame(frameHeader(320, 240, n), pixels);
        FrameCacheSlot* slot = nullptr;
        ASSERT_TRUE(s.dev.UsbTakeFrame(slot, 5000)) << "frame " << n;
        EXPECT_EQ(slot->frameNumber, n);
        EXPECT_EQ(slot->width, 320);
        EXPECT_EQ(slot->height, 240);
        ASSERT_EQ(slot->dataBytes, pixels.size());
        EXPECT_EQ(std::memcmp(slot->data, pixels.data(), pixels.size()), 0) << "frame " << n;
    }
    EXPECT_TRUE(s.dev.UsbStopStream());
    EXPECT_FALSE(s.dev.isAcquiring());
    EXPECT_TRUE(s.dev.UsbStopStream()); // not streaming: true, nothing to do
}

TEST(Usb3ThreadedStream, FrameSplitAcrossTransfersAndHeaderMidTransfer) {
    // Small transfers (1 unit = 4096 bytes) and frames queued as one block without a short
    // packet between them: headers land in the middle of the data flow.
    Streaming s(128, 64, 1, 3, 1);
    ASSERT_TRUE(s.start());
    Bytes all;
    std::vector<Bytes> frames;
    for (uint32_t n = 1; n <= 3; ++n) {
        frames.push_back(pattern(128 * 64, 100 + n));
        Bytes f = SimUsb3Camera::frameBytes(frameHeader(128, 64, n), frames.back());
        all.insert(all.end(), f.begin(), f.end());
    }
    s.rig.camera->queueBulk(all, false);
    for (uint32_t n = 1; n <= 3; ++n) {
        FrameCacheSlot* slot = nullptr;
        ASSERT_TRUE(s.dev.UsbTakeFrame(slot, 5000));
        EXPECT_EQ(slot->frameNumber, n);
        EXPECT_EQ(std::memcmp(slot->data, frames[n - 1].data(), frames[n - 1].size()), 0);
    }
}

TEST(Usb3ThreadedStream, ShortPageLosesItsFrameOnlyAndTheStreamRealigns) {
    Streaming s(128, 64);
    ASSERT_TRUE(s.start());
    Bytes broken = SimUsb3Camera::frameBytes(frameHeader(128, 64, 1), pattern(128 * 64, 1));
    broken.resize(broken.size() - 100); // the last page comes short
    s.rig.camera->queueBulk(broken, true);
    Bytes good = pattern(128 * 64, 2);
    s.rig.camera->queueFrame(frameHeader(128, 64, 2), good);
    FrameCacheSlot* slot = nullptr;
    ASSERT_TRUE(s.dev.UsbTakeFrame(slot, 5000));
    EXPECT_EQ(slot->frameNumber, 2u);
    EXPECT_EQ(std::memcmp(slot->data, good.data(), good.size()), 0);
    UsbStreamStats st = s.dev.streamStats();
    EXPECT_EQ(st.shortPages, 1u);
    EXPECT_GE(st.discontinuities, 1u);
    EXPECT_FALSE(s.dev.UsbTakeFrame(slot, 50));
}

TEST(Usb3ThreadedStream, CorruptHeaderAndMissingPagesAreNotDelivered) {
    Streaming s(128, 64);
    ASSERT_TRUE(s.start());
    Bytes corrupt = SimUsb3Camera::frameBytes(frameHeader(128, 64, 1), pattern(128 * 64, 3));
    corrupt[5] ^= 0xFF; // magic broken: the data pages belong to no frame
    s.rig.camera->queueBulk(corrupt, true);
    Bytes missing = SimUsb3Camera::frameBytes(frameHeader(128, 64, 2), pattern(128 * 64, 4));
    missing.erase(missing.begin() + 4096, missing.begin() + 8192);
    s.rig.camera->queueBulk(missing, true);
    Bytes good = pattern(128 * 64, 5);
    s.rig.camera->queueFrame(frameHeader(128, 64, 3), good);
    FrameCacheSlot* slot = nullptr;
    ASSERT_TRUE(s.dev.UsbTakeFrame(slot, 5000));
    EXPECT_EQ(slot->frameNumber, 3u);
    EXPECT_EQ(std::memcmp(slot->data, good.data(), good.size()), 0);
    EXPECT_FALSE(s.dev.UsbTakeFrame(slot, 50));
    UsbStreamStats st = s.dev.streamStats();
    EXPECT_EQ(st.framesIncomplete, 1u);
    EXPECT_GE(st.pagesIgnored, 2u);
}

TEST(Usb3ThreadedStream, FailedTransferDropsItsFrameAndTheNextFrameArrives) {
    Streaming s(128, 64);
    ASSERT_TRUE(s.start());
    s.rig.camera->failBulkReads(1, qx::usb::UsbStatus::IoError);
    s.rig.camera->queueFrame(frameHeader(128, 64, 1), pattern(128 * 64, 6));
    Bytes good = pattern(128 * 64, 7);
    s.rig.camera->queueFrame(frameHeader(128, 64, 2), good);
    FrameCacheSlot* slot = nullptr;
    ASSERT_TRUE(s.dev.UsbTakeFrame(slot, 5000));
    EXPECT_EQ(slot->frameNumber, 2u);
    EXPECT_EQ(std::memcmp(slot->data, good.data(), good.size()), 0);
    EXPECT_GT(s.dev.streamStats().droppedBytes, 0u);
}

// A transfer ended by its own time-out, or cancelled while the stream runs, is no endpoint
// failure: its bytes count, it is queued again, and the endpoint is left alone.
TEST(Usb3ThreadedStream, TimedOutAndCancelledTransfersAreQueuedAgainWithTheirBytes) {
    Streaming s(128, 64);
    ASSERT_TRUE(s.start());
    const size_t submitted = s.rig.camera->bulkReadsSubmitted();
    const std::pair<qx::usb::UsbStatus, int> rounds[] = {{qx::usb::UsbStatus::Timeout, 3},
                                                         {qx::usb::UsbStatus::Cancelled, 2}};
    uint32_t number = 0;
    for (const auto& [status, count] : rounds) {
        s.rig.camera->failBulkReads(count, status);
        const Bytes sent = pattern(128 * 64, 8 + number);
        s.rig.camera->queueFrame(frameHeader(128, 64, ++number), sent);
        FrameCacheSlot* slot = nullptr;
        ASSERT_TRUE(s.dev.UsbTakeFrame(slot, 5000)) << number;
        EXPECT_EQ(slot->frameNumber, number);
        EXPECT_EQ(std::memcmp(slot->data, sent.data(), sent.size()), 0) << number;
    }
    EXPECT_EQ(s.dev.streamStats().droppedBytes, 0u);
    EXPECT_EQ(s.rig.camera->bulkHaltClears(), 0u);
    // Every slot is queued again: 64 transfers wait for the camera.
    EXPECT_TRUE(s.rig.camera->waitPendingBulkReads(64, 5s));
    EXPECT_GT(s.rig.camera->bulkReadsSubmitted(), submitted);
    EXPECT_TRUE(s.dev.bulkReaderAlive());
}

TEST(Usb3ThreadedStream, ThroughputWithoutLoss) {
    const int w = 1280, h = 1024;
    Streaming s(w, h);
    ASSERT_TRUE(s.start());
    const uint32_t frames = 120;
    std::vector<Bytes> sent;
    for (uint32_t n = 0; n < 4; ++n) sent.push_back(pattern(size_t(w) * h, 500 + n));
    std::atomic<uint32_t> received{0};
    std::atomic<uint32_t> wrong{0};
    std::mutex progressMutex;
    std::condition_variable progress;
    std::thread consumer([&] {
        uint32_t expect = 1;
        auto end = std::chrono::steady_clock::now() + 60s;
        while (expect <= frames && std::chrono::steady_clock::now() < end) {
            FrameCacheSlot* slot = nullptr;
            if (!s.dev.UsbTakeFrame(slot, 1000)) continue;
            const Bytes& p = sent[(slot->frameNumber - 1) % 4];
            if (slot->frameNumber != expect || slot->dataBytes != p.size() ||
                std::memcmp(slot->data, p.data(), p.size()) != 0)
                ++wrong;
            expect = slot->frameNumber + 1;
            {
                std::lock_guard<std::mutex> lk(progressMutex);
                ++received;
            }
            progress.notify_all();
        }
    });
    // The camera paces itself at about 100 frames per second, never holds more than two
    // frames waiting for the host, and runs at most two frames ahead of the application: of
    // the three cache slots one is held by the consumer's last take, so two frames can wait
    // (slow or loaded builds would otherwise fill the slots and lose a frame).
    auto next = std::chrono::steady_clock::now();
    for (uint32_t n = 1; n <= frames; ++n) {
        ASSERT_TRUE(s.rig.camera->waitBulkBelow(size_t(w) * h * 2, 10s));
        {
            std::unique_lock<std::mutex> lk(progressMutex);
            ASSERT_TRUE(progress.wait_for(lk, 20s, [&] { return received.load() + 2 >= n; }));
        }
        s.rig.camera->queueFrame(frameHeader(w, h, n), sent[(n - 1) % 4]);
        next += 10ms;
        std::this_thread::sleep_until(next);
    }
    consumer.join();
    EXPECT_EQ(received.load(), frames);
    EXPECT_EQ(wrong.load(), 0u);
    UsbStreamStats st = s.dev.streamStats();
    EXPECT_EQ(st.framesCompleted, frames);
    EXPECT_EQ(st.framesNoSlot, 0u);
    EXPECT_EQ(st.droppedBytes, 0u);
}

TEST(Usb3ThreadedStream, StopJoinsAndRestartStreamsAgain) {
    Streaming s(128, 64);
    for (int run = 0; run < 3; ++run) {
        ASSERT_TRUE(s.start()) << "run " << run;
        Bytes p = pattern(128 * 64, 40 + run);
        s.rig.camera->queueFrame(frameHeader(128, 64, uint32_t(run + 1)), p);
        FrameCacheSlot* slot = nullptr;
        ASSERT_TRUE(s.dev.UsbTakeFrame(slot, 5000));
        EXPECT_EQ(std::memcmp(slot->data, p.data(), p.size()), 0);
        ASSERT_TRUE(s.dev.UsbStopStream());
        // Every bulk transfer was finished; nothing stays queued at the camera.
        EXPECT_EQ(s.rig.camera->pendingBulkReads(), 0u);
    }
    EXPECT_EQ(s.rig.camera->streamStartRequests(), 3u);
}

TEST(Usb3ThreadedStream, StartFailsWhenTheRequestFailsOrTheDeviceIsClosed) {
    SimUsb3Rig rig;
    QxUsbDevice dev("usb:sim-1", rig.backend);
    EXPECT_FALSE(dev.UsbStartStream()); // not open
    ASSERT_TRUE(dev.UsbOpenLink());
    rig.camera->setFailControl(true);
    EXPECT_FALSE(dev.UsbStartStream());
    EXPECT_FALSE(dev.isAcquiring());
    rig.camera->setFailControl(false);
    dev.SetImageInfo(0, 0, 8);
    EXPECT_FALSE(dev.UsbStartStream()); // no usable image size
}

TEST(Usb3ThreadedStream, CloseWhileStreamingStopsTheThreads) {
    Streaming s(128, 64);
    ASSERT_TRUE(s.start());
    s.rig.camera->queueFrame(frameHeader(128, 64, 1), pattern(128 * 64, 9));
    EXPECT_TRUE(s.dev.UsbCloseLink());
    EXPECT_FALSE(s.dev.isAcquiring());
    EXPECT_EQ(s.rig.camera->pendingBulkReads(), 0u);
    EXPECT_EQ(s.rig.camera->openHandles(), 0);
}

TEST(Usb3ThreadedStream, UnplugEndsTheReaderAndStopStillWorks) {
    Streaming s(128, 64);
    ASSERT_TRUE(s.start());
    s.rig.backend->unplug("usb:sim-1");
    EXPECT_TRUE(waitUntil([&] { return !s.dev.bulkReaderAlive(); }, 5s));
    FrameCacheSlot* slot = nullptr;
    EXPECT_FALSE(s.dev.UsbTakeFrame(slot, 20));
    EXPECT_TRUE(s.dev.UsbStopStream());
    EXPECT_TRUE(s.dev.UsbCloseLink());
}
