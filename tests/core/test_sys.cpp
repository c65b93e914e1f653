// The small platform utilities under Platform/Sys that the camera threads build on.
#include "Sys/BusyGate.h"
#include "Sys/JoiningThread.h"
#include "Sys/LogThrottle.h"
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
    { const qx::sys::BusyGate::Closed again(gate); EXPECT_FALSE(gate.isOpen()); }
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
