// Concurrency of the control link: register readers on several threads, the byte channel
// read while the camera keeps sending, senders on several threads.
#include "usb3/QxUsbDevice.h"
#include "SimUsb3Camera.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace qx::usb3;
using namespace std::chrono_literals;
using qx::usb3::sim::SimUsb3Rig;
using Bytes = std::vector<uint8_t>;
using qxtest::waitUntil;

TEST(Usb3Threaded, ConcurrentRegisterReadersGetTheirOwnReplies) {
    SimUsb3Rig rig;
    for (uint32_t t = 0; t < 4; ++t)
        rig.camera->setLinkRegister(0x1000 + t, {uint8_t(t), uint8_t(t + 1), uint8_t(t + 2), uint8_t(t + 3)});
    QxUsbDevice dev("usb:sim-1", rig.backend);
    ASSERT_TRUE(dev.UsbOpenLink());
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 15; ++i) {
                uint8_t buf[4] = {};
                if (!dev.UsbRegRead(0x1000 + t, buf, 4, 3000)) {
                    ++failed;
                    continue;
                }
                if (buf[0] != t || buf[3] != t + 3) ++wrong;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(rig.camera->registerFrames(), 60u);
}

TEST(Usb3Threaded, ChannelStreamArrivesInOrderWhileRead) {
    SimUsb3Rig rig;
    QxUsbDevice dev("usb:sim-1", rig.backend);
    ASSERT_TRUE(dev.UsbOpenLink());
    const size_t total = 6000;
    Bytes sent(total);
    for (size_t i = 0; i < total; ++i) sent[i] = uint8_t(i * 13 + 5);
    std::mutex gotMutex;
    std::condition_variable gotCv;
    Bytes got;
    std::thread reader([&] {
        auto end = std::chrono::steady_clock::now() + 20s;
        size_t have = 0;
        while (have < total && std::chrono::steady_clock::now() < end) {
            uint8_t buf[512];
            int n = sizeof(buf);
            if (!dev.UsbChannelReceive(buf, n, 100)) continue;
            std::lock_guard<std::mutex> lk(gotMutex);
            got.insert(got.end(), buf, buf + n);
            have = got.size();
            gotCv.notify_all();
        }
    });
    // Never more than the ring holds in flight: the next piece goes once the last is read.
    for (size_t off = 0; off < total; off += 1000) {
        size_t piece = std::min<size_t>(1000, total - off);
        rig.camera->sendChannelBytes(sent.data() + off, piece);
        std::unique_lock<std::mutex> lk(gotMutex);
        if (!gotCv.wait_for(lk, 10s, [&] { return got.size() >= off + piece; })) {
            ADD_FAILURE() << "piece at " << off << " not received";
            break;
        }
    }
    reader.join();
    EXPECT_EQ(dev.channelDroppedBytes(), 0u);
    EXPECT_EQ(got, sent);
}

TEST(Usb3Threaded, ConcurrentSendersKeepTheirMessagesWhole) {
    SimUsb3Rig rig;
    rig.camera->setAnswerByteProtocol(false);
    QxUsbDevice dev("usb:sim-1", rig.backend);
    ASSERT_TRUE(dev.UsbOpenLink());
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (uint8_t t = 1; t <= 3; ++t) {
        threads.emplace_back([&, t] {
            Bytes msg(300, t);
            for (int i = 0; i < 5; ++i)
                if (!dev.UsbChannelSend(msg.data(), int(msg.size()), 2000)) ++failed;
        });
    }
    // A register reader at the same time shares the send endpoint.
    std::thread regs([&] {
        for (int i = 0; i < 5; ++i) {
            uint8_t b[4];
            if (!dev.UsbRegRead(0x77, b, 4, 3000)) ++failed;
        }
    });
    for (auto& th : threads) th.join();
    regs.join();
    EXPECT_EQ(failed.load(), 0);
    Bytes host = rig.camera->channelBytesFromHost();
    ASSERT_EQ(host.size(), 3u * 5u * 300u);
    for (size_t m = 0; m < host.size(); m += 300)
        for (size_t i = 1; i < 300; ++i) ASSERT_EQ(host[m + i], host[m]) << "message " << m / 300;
}

TEST(Usb3Threaded, CloseWhileOperationsWait) {
    SimUsb3Rig rig;
    rig.camera->setDropRegisterReplies(true);
    QxUsbDevice dev("usb:sim-1", rig.backend);
    ASSERT_TRUE(dev.UsbOpenLink());
    // Both waits are far longer than the test: only the close can end them.
    std::atomic<int> regResult{-1}, rxResult{-1};
    std::thread reg([&] {
        uint8_t b[4];
        regResult = dev.UsbRegRead(0x10, b, 4, 120000) ? 1 : 0;
    });
    std::thread rx([&] {
        uint8_t b[4];
        int n = 4;
        rxResult = dev.UsbChannelReceive(b, n, 120000) ? 1 : 0;
    });
    ASSERT_TRUE(rig.camera->waitLinkReads(3, 5s));
    // The register request has gone out: the reader is waiting for its reply.
    waitUntil([&] { return rig.camera->registerFrames() != 0; }, 5s);
    EXPECT_TRUE(dev.UsbCloseLink());
    EXPECT_TRUE(waitUntil([&] { return regResult.load() >= 0 && rxResult.load() >= 0; }, 30s))
        << "a wait was not ended by the close";
    reg.join();
    rx.join();
    EXPECT_EQ(regResult.load(), 0);
    EXPECT_EQ(rxResult.load(), 0);
    EXPECT_EQ(rig.camera->openHandles(), 0);
}
