// The small platform utilities under Platform/Sys that the camera threads build on.
#include "QxCamApi.h"
#include "Sys/BusyGate.h"
#include "Sys/ByteOrder.h"
#include "Sys/FrameRate.h"
#include "Sys/JoiningThread.h"
#include "Sys/LogThrottle.h"
#include "Sys/PixelFormat.h"
#include "Sys/WireField.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

using namespace std::chrono_literals;
using qx::sys::LogThrottle;
using qx::sys::SteadyClock;

TEST(LogThrottle, TheFirstEventIsReportedAndLaterOnesAreFoldedIntoOneLinePerInterval) {
    LogThrottle throttle(1000ms);
    const SteadyClock::time_point t0 = SteadyClock::now();
    EXPECT_EQ(throttle.note(t0), 1u);
    EXPECT_EQ(throttle.note(t0 + 10ms), 0u);
    EXPECT_EQ(throttle.note(t0 + 500ms), 0u);
    EXPECT_EQ(throttle.note(t0 + 999ms), 0u);
    // The line of the next interval carries every event since the last line.
    EXPECT_EQ(throttle.note(t0 + 1000ms), 4u);
    EXPECT_EQ(throttle.note(t0 + 1001ms), 0u);
    // After a quiet period the first event is reported at once again.
    EXPECT_EQ(throttle.note(t0 + 5000ms), 2u);
    EXPECT_EQ(throttle.total(), 7u);
}

TEST(WireField, FieldsReadAndWriteTheirBytesOnlyWithinTheBufferSize) {
    using Le16 = qx::sys::LeField<uint16_t, 2>;
    using Be32 = qx::sys::BeField<uint32_t, 4>;
    using Byte = qx::sys::LeField<uint8_t, 7>;
    std::array<uint8_t, 8> buf{};
    ASSERT_TRUE(Le16::set(buf.data(), buf.size(), 0x1234));
    ASSERT_TRUE(Be32::set(buf.data(), buf.size(), 0xA1B2C3D4));
    EXPECT_EQ(buf, (std::array<uint8_t, 8>{0x00, 0x00, 0x34, 0x12, 0xA1, 0xB2, 0xC3, 0xD4}));
    EXPECT_EQ(Le16::get(buf.data(), buf.size()), 0x1234);
    EXPECT_EQ(Be32::get(buf.data(), buf.size()), 0xA1B2C3D4u);
    EXPECT_EQ(Byte::get(buf.data(), buf.size()), 0xD4);
    // A buffer that ends inside a field neither yields nor takes it.
    EXPECT_EQ(Be32::get(buf.data(), 7), 0u);
    EXPECT_FALSE(Be32::set(buf.data(), 7, 0));
    EXPECT_FALSE(Byte::set(buf.data(), 7, 0));
    EXPECT_EQ(buf[7], 0xD4);
    EXPECT_EQ(Le16::get(nullptr, 8), 0);
}

TEST(ByteOrder, FieldsOfRunTimeWidthReadAndWriteTheirBytesInOrder) {
    const std::array<uint8_t, 10> bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A};
    EXPECT_EQ(qx::sys::loadBeN(bytes.data(), 2), 0x0102u);
    EXPECT_EQ(qx::sys::loadBeN(bytes.data(), 6), 0x010203040506u);
    EXPECT_EQ(qx::sys::loadLeN(bytes.data(), 3), 0x030201u);
    EXPECT_EQ(qx::sys::loadBeN(bytes.data(), 8), qx::sys::loadBe64(bytes.data()));
    EXPECT_EQ(qx::sys::loadLeN(bytes.data(), 8), qx::sys::loadLe64(bytes.data()));
    // Of a wider field the 8 least significant bytes count.
    EXPECT_EQ(qx::sys::loadBeN(bytes.data(), 10), 0x030405060708090Au);
    EXPECT_EQ(qx::sys::loadLeN(bytes.data(), 10), 0x0807060504030201u);
    EXPECT_EQ(qx::sys::loadBeN(bytes.data(), 0), 0u);

    std::array<uint8_t, 10> out{};
    out.fill(0xEE);
    qx::sys::storeBeN(out.data(), 4, 0xA1B2C3D4E5u);
    EXPECT_EQ(out, (std::array<uint8_t, 10>{0xB2, 0xC3, 0xD4, 0xE5, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    qx::sys::storeLeN(out.data(), 10, 0x0102030405060708u);
    EXPECT_EQ(out, (std::array<uint8_t, 10>{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00}));
    qx::sys::storeBeN(out.data(), 10, 0x0102030405060708u);
    EXPECT_EQ(out, (std::array<uint8_t, 10>{0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}));
}

TEST(PixelFormat, NamedCodesAreThePublicOnesAndEverySizeFollowsTheBitCount) {
    namespace px = qx::sys::pixel;
    EXPECT_EQ(px::kMono8, QX_PIXEL_MONO8);
    EXPECT_EQ(px::kMono10, QX_PIXEL_MONO10);
    EXPECT_EQ(px::kMono12, QX_PIXEL_MONO12);
    EXPECT_EQ(px::kMono14, QX_PIXEL_MONO14);
    EXPECT_EQ(px::kMono16, QX_PIXEL_MONO16);
    EXPECT_EQ(px::kMono10Packed, QX_PIXEL_MONO10PACKED);
    EXPECT_EQ(px::kMono12Packed, QX_PIXEL_MONO12PACKED);

    struct Sizes {
        uint32_t code, bits, bytes, wholeBytes;
    };
    const Sizes table[] = {
        {QX_PIXEL_MONO8, 8, 1, 1},
        {QX_PIXEL_MONO10, 16, 2, 2},
        {QX_PIXEL_MONO14, 16, 2, 2},
        {QX_PIXEL_MONO12PACKED, 12, 2, 2},
        {px::kRgb8, 24, 3, 3},
        {px::kWord32, 32, 4, 4},
        {0x01010037u /* 1 bit */, 1, 1, 0},
        {0x021E0048u /* 30 bits */, 30, 4, 3},
    };
    for (const Sizes& s : table) {
        SCOPED_TRACE(s.code);
        EXPECT_EQ(qx::sys::pixelBits(s.code), s.bits);
        EXPECT_EQ(qx::sys::pixelBytes(s.code), s.bytes);
        EXPECT_EQ(qx::sys::pixelWholeBytes(s.code), s.wholeBytes);
    }

    // What a camera of so many significant bits delivers in.
    const std::pair<int32_t, uint32_t> delivered[] = {
        {-1, px::kMono8},  {8, px::kMono8},   {9, px::kMono16},    {10, px::kMono10},
        {12, px::kMono12}, {14, px::kMono14}, {15, px::kMono16},   {16, px::kMono16},
        {17, px::kWord32}, {31, px::kWord32}, {32, px::kBayerRG8}, {1024, px::kBayerRG8},
    };
    for (const auto& [bits, code] : delivered) EXPECT_EQ(qx::sys::monoFormatForBits(bits), code) << bits;
}

TEST(FrameRateWindow, TheEstimateChangesOnlyWhenAWindowOfAtLeast1001MsCloses) {
    const auto t0 = qx::sys::FrameRateWindow::Clock::now();
    qx::sys::FrameRateWindow rate(1.0f, t0);
    for (int i = 0; i < 30; ++i) rate.countFrame();
    EXPECT_FALSE(rate.update(t0 + 1000ms + 999us));
    EXPECT_EQ(rate.rate(), 1.0f);
    // Whole milliseconds of the window: 1001.
    EXPECT_TRUE(rate.update(t0 + 1001ms + 999us));
    EXPECT_FLOAT_EQ(rate.rate(), 30.0f / 1.001f);
    // A new window began; a window without frames gives 0.
    EXPECT_FALSE(rate.update(t0 + 2000ms));
    EXPECT_TRUE(rate.update(t0 + 2003ms + 1us));
    EXPECT_EQ(rate.rate(), 0.0f);
    EXPECT_DOUBLE_EQ(qx::sys::framesPerSecond(50, 2500, 1000), 20.0);
}

TEST(BusyGate, AnExceptionInsideTheClosedSectionReopensTheGate) {
    qx::sys::BusyGate gate;
    EXPECT_TRUE(gate.pass(0ms));
    try {
        const qx::sys::BusyGate::Closed closed(gate);
        EXPECT_FALSE(gate.isOpen());
        EXPECT_FALSE(gate.pass(0ms));
        throw std::runtime_error("device list failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(gate.isOpen());
    EXPECT_TRUE(gate.pass(0ms));
    // And it can be closed again.
    {
        const qx::sys::BusyGate::Closed again(gate);
        EXPECT_FALSE(gate.isOpen());
    }
    EXPECT_TRUE(gate.isOpen());
}

TEST(BusyGate, WaitersPassOnceTheHolderLeavesAndASecondHolderWaitsItsTurn) {
    qx::sys::BusyGate gate;
    std::promise<void> release;
    std::promise<void> closedNow;
    std::thread holder([&] {
        const qx::sys::BusyGate::Closed closed(gate);
        closedNow.set_value();
        release.get_future().wait();
    });
    closedNow.get_future().wait();
    EXPECT_FALSE(gate.pass(1ms));
    auto waiter = std::async(std::launch::async, [&] { return gate.pass(60s); });
    auto second = std::async(std::launch::async, [&] {
        const qx::sys::BusyGate::Closed closed(gate);
        return true;
    });
    release.set_value();
    holder.join();
    EXPECT_TRUE(waiter.get());
    EXPECT_TRUE(second.get());
    EXPECT_TRUE(gate.isOpen());
}

TEST(BusyGate, AHolderOpensTheGateForAWhileAndClosesItAgainOnlyAfterTheOneWhoPassed) {
    qx::sys::BusyGate gate;
    std::promise<void> otherClosed;
    std::promise<void> otherRelease;
    std::future<void> other;
    {
        qx::sys::BusyGate::Closed closed(gate);
        other = std::async(std::launch::async, [&] {
            const qx::sys::BusyGate::Closed mine(gate);
            otherClosed.set_value();
            otherRelease.get_future().wait();
        });
        closed.open();
        otherClosed.get_future().wait(); // the other holder got through the opened gate
        EXPECT_FALSE(gate.isOpen());
        auto closing = std::async(std::launch::async, [&] { closed.close(); });
        EXPECT_EQ(closing.wait_for(20ms), std::future_status::timeout); // waits for the other
        otherRelease.set_value();
        closing.get();
        other.get();
        EXPECT_FALSE(gate.isOpen());
    }
    EXPECT_TRUE(gate.isOpen());
    // A holder that goes with the gate opened leaves the gate of a later holder closed.
    {
        std::optional<qx::sys::BusyGate::Closed> first(std::in_place, gate);
        first->open();
        const qx::sys::BusyGate::Closed second(gate);
        first.reset();
        EXPECT_FALSE(gate.isOpen());
    }
    EXPECT_TRUE(gate.isOpen());
}

TEST(JoiningThread, TheOwnerJoinsAndAThreadThatStopsItselfIsLetGo) {
    using qx::sys::JoiningThread;
    // Replacing or destroying the owner joins: the work is done when they return.
    std::atomic<int> done{0};
    {
        JoiningThread t([&] {
            std::this_thread::sleep_for(10ms);
            done += 1;
        });
        t = JoiningThread([&] { done += 10; });
        EXPECT_GE(done.load(), 1);
    }
    EXPECT_EQ(done.load(), 11);
    JoiningThread idle;
    EXPECT_TRUE(idle.joinOrDetach());
    EXPECT_TRUE(idle.joinUnlessSelf());
    idle.join();

    // A thread asked to stop itself cannot join itself: joinUnlessSelf leaves it for a later
    // join, joinOrDetach lets it go. Everything it touches lives as long as it does.
    struct Box {
        JoiningThread thread;
        std::promise<bool> unlessSelf;
        std::promise<bool> stillJoinable;
        std::promise<bool> joined;
    };
    auto box = std::make_shared<Box>();
    auto unlessSelf = box->unlessSelf.get_future();
    auto stillJoinable = box->stillJoinable.get_future();
    auto joined = box->joined.get_future();
    auto go = std::make_shared<std::promise<void>>();
    std::shared_future<void> goNow = go->get_future().share();
    box->thread = JoiningThread([box, goNow] {
        goNow.wait();
        box->unlessSelf.set_value(box->thread.joinUnlessSelf());
        box->stillJoinable.set_value(box->thread.joinable());
        box->joined.set_value(box->thread.joinOrDetach());
    });
    EXPECT_FALSE(box->thread.isCurrent());
    go->set_value();
    EXPECT_FALSE(unlessSelf.get());
    EXPECT_TRUE(stillJoinable.get());
    EXPECT_FALSE(joined.get());
    EXPECT_FALSE(box->thread.joinable());
}
