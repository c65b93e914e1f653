// The control link of an open camera against the simulated camera: register frames, the
// byte channel in both directions, the 'R'/'W' requests on it, time-outs, malformed frames.
#include "usb3/QxUsbDevice.h"
#include "SimUsb3Camera.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>

using namespace qx::usb3;
using namespace std::chrono_literals;
using qx::usb3::sim::SimUsb3Camera;
using qx::usb3::sim::SimUsb3Rig;
using Bytes = std::vector<uint8_t>;
using qxtest::waitUntil;

namespace {

struct OpenLink {
    SimUsb3Rig rig;
    QxUsbDevice dev{"usb:sim-1", rig.backend};
    OpenLink() { EXPECT_TRUE(dev.UsbOpenLink()); }
};

// Receives until `count` bytes arrived or the deadline passes.
Bytes receiveAll(QxUsbDevice& dev, size_t count, std::chrono::milliseconds deadline = 5000ms) {
    Bytes out;
    auto end = std::chrono::steady_clock::now() + deadline;
    while (out.size() < count && std::chrono::steady_clock::now() < end) {
        uint8_t buf[4096];
        int n = int(std::min(sizeof(buf), count - out.size()));
        if (dev.UsbChannelReceive(buf, n, 200)) out.insert(out.end(), buf, buf + n);
    }
    return out;
}

Bytes pattern(size_t n, uint8_t seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

Bytes chunkFrame(const Bytes& payload) { return encodeByteChannelFrame(payload.data(), payload.size()); }

} // namespace

TEST(Usb3Link, OpenAndCloseLifecycle) {
    SimUsb3Rig rig;
    QxUsbDevice unknown("usb:sim-9", rig.backend);
    EXPECT_FALSE(unknown.UsbOpenLink());
    EXPECT_FALSE(unknown.isOpen());
    EXPECT_EQ(rig.camera->openHandles(), 0);

    QxUsbDevice dev("USB:SIM-1", rig.backend); // compared in lower case
    EXPECT_EQ(dev.devicePath(), "USB:SIM-1");
    ASSERT_TRUE(dev.UsbOpenLink());
    EXPECT_TRUE(dev.isOpen());
    EXPECT_TRUE(dev.UsbOpenLink()); // already open
    EXPECT_EQ(rig.camera->openHandles(), 1);
    EXPECT_TRUE(rig.camera->waitLinkReads(2, 5s)); // the reader polls
    EXPECT_TRUE(dev.UsbCloseLink());
    EXPECT_FALSE(dev.isOpen());
    EXPECT_EQ(rig.camera->openHandles(), 0);
    EXPECT_TRUE(dev.UsbCloseLink());
    ASSERT_TRUE(dev.UsbOpenLink()); // again
    EXPECT_EQ(rig.camera->openHandles(), 1);
}

TEST(Usb3Link, FailedOpenLeaksNoHandle) {
    SimUsb3Rig rig;
    rig.camera->setBrokenConfigDescriptor(true);
    QxUsbDevice dev("usb:sim-1", rig.backend);
    EXPECT_FALSE(dev.UsbOpenLink());
    EXPECT_FALSE(dev.isOpen());
    EXPECT_EQ(rig.camera->openHandles(), 0);
}

TEST(Usb3Link, EverythingFailsWhenNotOpen) {
    SimUsb3Rig rig;
    QxUsbDevice dev("usb:sim-1", rig.backend);
    uint8_t b[4] = {1, 2, 3, 4};
    int n = 4;
    EXPECT_FALSE(dev.UsbChannelSend(b, 4, 100));
    EXPECT_FALSE(dev.UsbChannelReceive(b, n, 0));
    EXPECT_FALSE(dev.UsbRegRead(0x10, b, 4, 10));
    EXPECT_FALSE(dev.UsbRegWrite(0x10, b, 4, 10));
    EXPECT_TRUE(rig.camera->linkWrites().empty());
}

TEST(Usb3Link, RegisterReadSendsFrameAndReturnsReply) {
    OpenLink l;
    l.rig.camera->setLinkRegister(0x00001234, {0x11, 0x22, 0x33, 0x44});
    uint8_t buf[4] = {};
    ASSERT_TRUE(l.dev.UsbRegRead(0x00001234, buf, 4, 2000));
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
    auto writes = l.rig.camera->linkWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], (Bytes{0x7E, 0x43, 0x00, 0x00, 0x00, 0x12, 0x34, 0x8E}));
    // A shorter buffer takes the first bytes only.
    uint8_t two[2] = {};
    ASSERT_TRUE(l.dev.UsbRegRead(0x00001234, two, 2, 2000));
    EXPECT_EQ(Bytes(two, two + 2), (Bytes{0x11, 0x22}));
}

TEST(Usb3Link, RegisterWriteStoresAndReturnsReplyData) {
    OpenLink l;
    uint8_t value[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_TRUE(l.dev.UsbRegWrite(0x00010020, value, 4, 2000));
    EXPECT_EQ(l.rig.camera->linkRegister(0x00010020), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(Bytes(value, value + 4), (Bytes{0xDE, 0xAD, 0xBE, 0xEF})); // echoed back
    EXPECT_EQ(l.rig.camera->linkWrites().back(),
              (Bytes{0x7E, 0x03, 0x04, 0x00, 0x01, 0x00, 0x20, 0xDE, 0xAD, 0xBE, 0xEF, 0xA8}));
    uint8_t back[4] = {};
    ASSERT_TRUE(l.dev.UsbRegRead(0x00010020, back, 4, 2000));
    EXPECT_EQ(Bytes(back, back + 4), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST(Usb3Link, RegisterWriteWithEmptyReplyLeavesBufferUnchanged) {
    OpenLink l;
    l.rig.camera->setWriteReply(SimUsb3Camera::WriteReply::Empty);
    uint8_t value[4] = {1, 2, 3, 4};
    ASSERT_TRUE(l.dev.UsbRegWrite(0x40, value, 4, 2000));
    EXPECT_EQ(Bytes(value, value + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(l.rig.camera->linkRegister(0x40), (Bytes{1, 2, 3, 4}));
}

TEST(Usb3Link, RegisterWriteCountLimits) {
    OpenLink l;
    Bytes big(kMaxRegData + 1, 0x7E);
    EXPECT_FALSE(l.dev.UsbRegWrite(0x50, big.data(), int(big.size()), 100));
    EXPECT_TRUE(l.rig.camera->linkWrites().empty());
    Bytes max(kMaxRegData, 0x7D);
    ASSERT_TRUE(l.dev.UsbRegWrite(0x50, max.data(), int(max.size()), 2000));
    EXPECT_EQ(l.rig.camera->linkRegister(0x50), Bytes(kMaxRegData, 0x7D));
    EXPECT_FALSE(l.dev.UsbRegRead(0x50, nullptr, 4, 100));
    EXPECT_FALSE(l.dev.UsbRegRead(0x50, max.data(), -1, 100));
}

TEST(Usb3Link, RegisterReadTimesOutWhenNoReply) {
    OpenLink l;
    l.rig.camera->setDropRegisterReplies(true);
    uint8_t buf[4] = {9, 9, 9, 9};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(l.dev.UsbRegRead(0x1234, buf, 4, 150));
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, 140ms);
    EXPECT_LT(took, 3s);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{9, 9, 9, 9}));
}

TEST(Usb3Link, ReplyWithBadCrcIsIgnored) {
    OpenLink l;
    l.rig.camera->setCorruptReplyCrc(true);
    l.rig.camera->setLinkRegister(0x20, {1, 2, 3, 4});
    uint8_t buf[4] = {};
    EXPECT_FALSE(l.dev.UsbRegRead(0x20, buf, 4, 200));
    EXPECT_TRUE(l.rig.camera->waitOutDrained(5s));
    l.rig.camera->setCorruptReplyCrc(false);
    ASSERT_TRUE(l.dev.UsbRegRead(0x20, buf, 4, 2000));
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_GE(l.dev.droppedFrames(), 1u);
}

TEST(Usb3Link, LateReplyNeverCompletesALaterAccessOfTheSameAddress) {
    OpenLink l;
    auto& cam = *l.rig.camera;
    cam.setHoldRegisterReplies(true);
    cam.setLinkRegister(0x30, {5, 6, 7, 8});
    uint8_t buf[4] = {};
    EXPECT_FALSE(l.dev.UsbRegRead(0x30, buf, 4, 100));
    // The late reply arrives before the next access: it is dropped, the next read gets its own.
    cam.releaseHeldReplies();
    EXPECT_TRUE(cam.waitOutDrained(5s));
    cam.setHoldRegisterReplies(false);
    cam.setLinkRegister(0x30, {9, 9, 9, 9});
    ASSERT_TRUE(l.dev.UsbRegRead(0x30, buf, 4, 2000));
    EXPECT_EQ(buf[0], 9);
    EXPECT_EQ(l.dev.lateReplies(), 1u);

    // The late reply arrives while the next access of the address waits: that access still
    // takes only its own reply, which comes after it.
    cam.setHoldRegisterReplies(true);
    cam.setLinkRegister(0x30, {1, 1, 1, 1});
    EXPECT_FALSE(l.dev.UsbRegRead(0x30, buf, 4, 100));
    cam.setLinkRegister(0x30, {2, 2, 2, 2});
    const size_t framesBefore = cam.registerFrames();
    std::atomic<bool> ok{false};
    uint8_t got[4] = {};
    std::thread reader([&] { ok = l.dev.UsbRegRead(0x30, got, 4, 5000); });
    waitUntil([&] { return cam.registerFrames() != framesBefore; }, 5s);
    cam.releaseHeldReplies();
    reader.join();
    EXPECT_TRUE(ok.load());
    EXPECT_EQ(got[0], 2);

    // A reply that never comes: the next access takes its own reply once its wait ends.
    cam.setHoldRegisterReplies(false);
    cam.setDropRegisterReplies(true);
    EXPECT_FALSE(l.dev.UsbRegRead(0x30, buf, 4, 100));
    cam.setDropRegisterReplies(false);
    cam.setLinkRegister(0x30, {3, 3, 3, 3});
    for (int i = 0; i < 2; ++i) {
        buf[0] = 0;
        EXPECT_TRUE(l.dev.UsbRegRead(0x30, buf, 4, 300));
        EXPECT_EQ(buf[0], 3);
    }
}

// After a reply that was lost (dropped by the camera, or by the host for its bad CRC) the next
// access of that address does not sit out its whole time-out for a late reply that never
// comes: it takes its own reply once a short grace has shown nothing else is on its way.
TEST(Usb3Link, AfterALostReplyTheNextAccessOfTheAddressDoesNotWaitItsWholeTimeOut) {
    OpenLink l;
    auto& cam = *l.rig.camera;
    for (int lossKind = 0; lossKind < 2; ++lossKind) {
        cam.setLinkRegister(0x38, {4, 4, 4, 4});
        if (lossKind == 0) cam.setDropRegisterReplies(true);
        else cam.setCorruptReplyCrc(true);
        uint8_t buf[4] = {};
        EXPECT_FALSE(l.dev.UsbRegRead(0x38, buf, 4, 100));
        EXPECT_TRUE(cam.waitOutDrained(5s));
        cam.setDropRegisterReplies(false);
        cam.setCorruptReplyCrc(false);
        // Far longer than any grace: an access that waits it out is plainly the fault.
        constexpr auto kLong = 30s;
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(l.dev.UsbRegRead(0x38, buf, 4, int(std::chrono::milliseconds(kLong).count())));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, kLong / 2) << "loss kind " << lossKind;
        EXPECT_EQ(buf[0], 4);
        uint8_t w[4] = {5, 5, 5, 5};
        ASSERT_TRUE(l.dev.UsbRegWrite(0x38, w, 4, 2000));
    }
}

TEST(Usb3Link, RegisterReadFailsFastWhenFrameCannotBeSent) {
    OpenLink l;
    l.rig.camera->setFailLinkWrites(true);
    uint8_t buf[4];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(l.dev.UsbRegRead(0x1234, buf, 4, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);
}

// A chunk the camera stalls never entered its byte stream: it is sent again, alone, so the
// camera gets every byte once and in order.
TEST(Usb3Link, StalledChunksAreSentAgainInPlace) {
    OpenLink l;
    l.rig.camera->setAnswerByteProtocol(false);
    l.rig.camera->setStallLinkWritesEvery(2);
    Bytes payload = pattern(1000);
    ASSERT_TRUE(l.dev.UsbChannelSend(payload.data(), int(payload.size()), 2000));
    EXPECT_EQ(l.rig.camera->channelBytesFromHost(), payload);
    // Stalled for good: the send fails within its time-out.
    l.rig.camera->setStallLinkWritesEvery(0);
    l.rig.camera->setFailLinkWrites(true);
    EXPECT_FALSE(l.dev.UsbChannelSend(payload.data(), int(payload.size()), 200));
}

TEST(Usb3Link, ChannelSendSplitsIntoChunks) {
    OpenLink l;
    l.rig.camera->setAnswerByteProtocol(false);
    Bytes payload = pattern(450);
    payload[3] = 0x7E;
    payload[250] = 0x7D;
    ASSERT_TRUE(l.dev.UsbChannelSend(payload.data(), int(payload.size()), 2000));
    auto writes = l.rig.camera->linkWrites();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0][2], 202);
    EXPECT_EQ(writes[1][2], 202);
    EXPECT_EQ(writes[2][2], 52);
    EXPECT_EQ(writes[0][1], kTypeByteChannel);
    EXPECT_EQ(Bytes(writes[0].begin() + 3, writes[0].begin() + 7), (Bytes{0x5A, 0xA5, 0x55, 0xAA}));
    EXPECT_EQ(l.rig.camera->channelBytesFromHost(), payload);
    EXPECT_EQ(l.rig.camera->droppedHostFrames(), 0u);
}

TEST(Usb3Link, ChannelSendFailsWhenTransferFails) {
    OpenLink l;
    l.rig.camera->setFailLinkWrites(true);
    Bytes payload = pattern(10);
    EXPECT_FALSE(l.dev.UsbChannelSend(payload.data(), 10, 500));
    EXPECT_TRUE(l.dev.UsbChannelSend(payload.data(), 0, 500)); // nothing to send
}

TEST(Usb3Link, ChannelReceiveDeliversFrameData) {
    OpenLink l;
    Bytes ten = pattern(10, 3);
    l.rig.camera->sendChannelBytes(ten.data(), ten.size());
    uint8_t buf[64];
    int n = 64;
    ASSERT_TRUE(l.dev.UsbChannelReceive(buf, n, 5000));
    ASSERT_EQ(n, 10);
    EXPECT_EQ(Bytes(buf, buf + 10), ten);
}

TEST(Usb3Link, ChannelReceiveTimesOut) {
    OpenLink l;
    uint8_t buf[8];
    int n = 8;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(l.dev.UsbChannelReceive(buf, n, 100));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    EXPECT_EQ(n, 0);
    n = 8;
    EXPECT_FALSE(l.dev.UsbChannelReceive(buf, n, 0));
}

TEST(Usb3Link, ChannelReceiveRespectsCapacity) {
    OpenLink l;
    l.rig.camera->setStallLinkReads(true); // only what the test feeds arrives
    Bytes data = pattern(30);
    l.dev.UsbLinkReceive(chunkFrame(data).data(), chunkFrame(data).size());
    uint8_t buf[30];
    int n = 12;
    ASSERT_TRUE(l.dev.UsbChannelReceive(buf, n, 0));
    EXPECT_EQ(n, 12);
    EXPECT_EQ(Bytes(buf, buf + 12), Bytes(data.begin(), data.begin() + 12));
    n = 30;
    ASSERT_TRUE(l.dev.UsbChannelReceive(buf, n, 0));
    EXPECT_EQ(Bytes(buf, buf + n), Bytes(data.begin() + 12, data.end()));
}

TEST(Usb3Link, RingWrapDeliversInTwoParts) {
    OpenLink l;
    l.rig.camera->setStallLinkReads(true);
    // Move the read index to 2040.
    Bytes fill = pattern(2040);
    for (size_t i = 0; i < fill.size(); i += 200) {
        Bytes part(fill.begin() + long(i), fill.begin() + long(std::min(fill.size(), i + 200)));
        Bytes f = chunkFrame(part);
        l.dev.UsbLinkReceive(f.data(), f.size());
    }
    EXPECT_EQ(receiveAll(l.dev, 2040), fill);
    Bytes twenty = pattern(20, 100);
    // A raw frame of 20 data bytes (no chunk header): the ring stores the data as given.
    Bytes f = encodeLinkFrame(kTypeByteChannel, ByteChannelAddress, twenty.data(), twenty.size());
    l.dev.UsbLinkReceive(f.data(), f.size());
    uint8_t buf[64];
    int n = 64;
    ASSERT_TRUE(l.dev.UsbChannelReceive(buf, n, 0));
    ASSERT_EQ(n, 8);
    EXPECT_EQ(Bytes(buf, buf + 8), Bytes(twenty.begin(), twenty.begin() + 8));
    n = 64;
    ASSERT_TRUE(l.dev.UsbChannelReceive(buf, n, 0));
    ASSERT_EQ(n, 12);
    EXPECT_EQ(Bytes(buf, buf + 12), Bytes(twenty.begin() + 8, twenty.end()));
}

TEST(Usb3Link, FullRingKeepsUnreadDataAndDropsTheExcess) {
    OpenLink l;
    l.rig.camera->setStallLinkReads(true);
    Bytes all = pattern(2148);
    for (size_t i = 0; i < all.size(); i += 100) {
        Bytes part(all.begin() + long(i), all.begin() + long(std::min(all.size(), i + 100)));
        Bytes f = encodeLinkFrame(kTypeByteChannel, ByteChannelAddress, part.data(), part.size());
        l.dev.UsbLinkReceive(f.data(), f.size());
    }
    EXPECT_EQ(l.dev.channelDroppedBytes(), 100u);
    Bytes got = receiveAll(l.dev, 2048);
    EXPECT_EQ(got, Bytes(all.begin(), all.begin() + 2048)); // the oldest bytes, intact
    uint8_t b[8];
    int n = 8;
    EXPECT_FALSE(l.dev.UsbChannelReceive(b, n, 0));
}

TEST(Usb3Link, MalformedFramesDoNotDisturbTheLink) {
    OpenLink l;
    Bytes data = pattern(5, 1);
    Bytes junk;
    // A frame whose length runs past what follows, cut by the next start byte.
    Bytes truncated = chunkFrame(pattern(50));
    truncated.resize(20);
    junk.insert(junk.end(), truncated.begin(), truncated.end());
    // Reserved type bits, a broken escape, stray bytes outside any frame.
    junk.insert(junk.end(), {0x7E, 0x3A, 0x02, 0x5A, 0xA5, 0x55, 0xAA, 0x01, 0x00});
    junk.insert(junk.end(), {0x7E, 0x22, 0x7D, 0x41, 0x01});
    junk.insert(junk.end(), {0x00, 0x5E, 0x7D, 0x5D, 0xFF});
    Bytes good = chunkFrame(data);
    junk.insert(junk.end(), good.begin(), good.end());
    l.rig.camera->injectRaw(junk);
    EXPECT_EQ(receiveAll(l.dev, 5), data);
    uint8_t b[8];
    int n = 8;
    EXPECT_FALSE(l.dev.UsbChannelReceive(b, n, 50)); // nothing else got through
    EXPECT_GE(l.dev.droppedFrames(), 2u);
}

TEST(Usb3Link, ByteProtocolReadAndWrite) {
    OpenLink l;
    Bytes w = encodeRegProtoWrite(0x0010, 0x0A0B0C0D);
    ASSERT_TRUE(l.dev.UsbChannelSend(w.data(), int(w.size()), 2000));
    EXPECT_EQ(receiveAll(l.dev, 1), (Bytes{kRegProtoAck}));
    EXPECT_EQ(l.rig.camera->protoRegister(0x0010), 0x0A0B0C0Du);
    Bytes r = encodeRegProtoRead(0x0010);
    ASSERT_TRUE(l.dev.UsbChannelSend(r.data(), int(r.size()), 2000));
    EXPECT_EQ(receiveAll(l.dev, 5), (Bytes{0x06, 0x0A, 0x0B, 0x0C, 0x0D}));
}

TEST(Usb3Link, CloseEndsStalledReaderPromptly) {
    SimUsb3Rig rig;
    rig.camera->setStallLinkReads(true);
    QxUsbDevice dev("usb:sim-1", rig.backend);
    ASSERT_TRUE(dev.UsbOpenLink());
    ASSERT_TRUE(rig.camera->waitLinkReads(1, 5s));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(dev.UsbCloseLink());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1500ms);
    EXPECT_EQ(rig.camera->pendingTransfers(), 0u);
    EXPECT_EQ(rig.camera->openHandles(), 0);
}

TEST(Usb3Link, UnpluggedCameraFailsOperationsAndCloses) {
    OpenLink l;
    l.rig.camera->setPresent(false);
    uint8_t buf[4];
    EXPECT_FALSE(l.dev.UsbRegRead(0x10, buf, 4, 100));
    EXPECT_FALSE(l.dev.UsbChannelSend(buf, 4, 100));
    EXPECT_TRUE(l.dev.UsbCloseLink());
    EXPECT_FALSE(l.dev.UsbOpenLink());
    l.rig.camera->setPresent(true);
    EXPECT_TRUE(l.dev.UsbOpenLink());
}

TEST(Usb3Link, BuildRegFrame) {
    uint8_t out[kRegFrameBufferSize];
    int count = 0;
    EXPECT_EQ(QxUsbDevice::UsbBuildRegFrame(out, 0x1234, nullptr, count, 2), 8);
    EXPECT_EQ(count, 8);
    uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    count = 4;
    EXPECT_EQ(QxUsbDevice::UsbBuildRegFrame(out, 0x00010020, data, count, 0), 12);
    EXPECT_EQ(out[11], 0xA8);
    count = 300;
    EXPECT_EQ(QxUsbDevice::UsbBuildRegFrame(out, 0, data, count, 0), 0);
}
