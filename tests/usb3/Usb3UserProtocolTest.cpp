// The 'R'/'W' register protocol over a scripted byte channel: request bytes, reply handling,
// byte order, retries and time-outs.
#include "usb3/QxUsb3UserProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace qx::usb3;

using namespace qx::core::base;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// A byte channel whose camera answers each request with the next scripted reply (split into
// the given chunks, one chunk per receive call); a request without a script gets no reply.
struct ScriptedChannel {
    std::vector<Bytes> requests;
    std::deque<std::vector<Bytes>> replies;
    std::deque<Bytes> pending;
    int receiveCalls = 0;
    int claimedCount = -1; // when >= 0, receive reports this count whatever it delivered

    void attach(ProtocolBase& p) {
        p.setTransport([this](uint8_t* b, int& n) { return receive(b, n); },
                       [this](const uint8_t* b, int n) { return send(b, n); });
    }
    bool send(const uint8_t* b, int n) {
        requests.emplace_back(b, b + n);
        if (!replies.empty()) {
            for (Bytes& chunk : replies.front()) pending.push_back(chunk);
            replies.pop_front();
        }
        return true;
    }
    bool receive(uint8_t* b, int& n) {
        ++receiveCalls;
        if (pending.empty()) {
            n = 0;
            return false;
        }
        Bytes chunk = pending.front();
        pending.pop_front();
        const int take = std::min<int>(n, int(chunk.size()));
        std::memcpy(b, chunk.data(), size_t(take));
        n = claimedCount >= 0 ? claimedCount : take;
        return true;
    }
};

TEST(Usb3UserProtocol, ReadStoresTheValueLittleEndian) {
    QxUsb3UserProtocol p;
    ScriptedChannel ch;
    ch.attach(p);
    ch.replies.push_back({{0x06, 0x00, 0x00, 0x1A, 0x2B}});
    uint8_t buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ASSERT_TRUE(p.read(0x603C, buf, 4, 1000));
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x2B, 0x1A, 0x00, 0x00}));
    ASSERT_EQ(ch.requests.size(), 1u);
    EXPECT_EQ(ch.requests[0], (Bytes{0x52, 0x60, 0x3C}));
    EXPECT_TRUE(p.addressHighByteFirst());
    EXPECT_TRUE(p.open());
    EXPECT_TRUE(p.close());
}

TEST(Usb3UserProtocol, WriteSendsTheValueMostSignificantByteFirst) {
    QxUsb3UserProtocol p;
    ScriptedChannel ch;
    ch.attach(p);
    ch.replies.push_back({{0x06, 0x99, 0x98}}); // bytes after the acknowledge are ignored
    const uint8_t buf[4] = {0x78, 0x56, 0x34, 0x12};
    ASSERT_TRUE(p.write(0x0123, buf, 4, 1000));
    ASSERT_EQ(ch.requests.size(), 1u);
    EXPECT_EQ(ch.requests[0], (Bytes{0x57, 0x01, 0x23, 0x12, 0x34, 0x56, 0x78}));
}

TEST(Usb3UserProtocol, OnlyTheLowSixteenAddressBitsTravel) {
    QxUsb3UserProtocol p;
    ScriptedChannel ch;
    ch.attach(p);
    ch.replies.push_back({{0x06, 1, 2, 3, 4}});
    ch.replies.push_back({{0x06}});
    uint8_t buf[4] = {};
    ASSERT_TRUE(p.read(0xABCD1234, buf, 4, 1000));
    ASSERT_TRUE(p.write(0x10005, buf, 4, 1000));
    EXPECT_EQ(ch.requests[0], (Bytes{0x52, 0x12, 0x34}));
    EXPECT_EQ(ch.requests[1], (Bytes{0x57, 0x00, 0x05, 1, 2, 3, 4}));
}

TEST(Usb3UserProtocol, ShortWriteSendsNothingShortReadFailsAfterTheExchange) {
    QxUsb3UserProtocol p;
    ScriptedChannel ch;
    ch.attach(p);
    uint8_t buf[4] = {9, 9, 9, 9};
    EXPECT_FALSE(p.write(0x10, buf, 3, 50));
    EXPECT_FALSE(p.writeMessage(0x10, buf, 0, 50));
    EXPECT_TRUE(ch.requests.empty());
    for (int i = 0; i < 4; ++i) ch.replies.push_back({{0x06, 1, 2, 3, 4}});
    EXPECT_FALSE(p.read(0x10, buf, 3, 10000));
    ASSERT_FALSE(ch.requests.empty()); // the request went out
    EXPECT_EQ(ch.requests[0], (Bytes{0x52, 0x00, 0x10}));
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{9, 9, 9, 9})); // nothing stored
}

TEST(Usb3UserProtocol, MessageWriteSendsTheMessageWholeAndRetriesItWhole) {
    QxUsb3UserProtocol p;
    ScriptedChannel ch;
    ch.attach(p);
    const Bytes message = {0x02, 0, 0, 0, 7, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    ch.replies.push_back({{0x15}}); // refused once
    ch.replies.push_back({{0x06}});
    ASSERT_TRUE(p.writeMessage(0x1100D, message.data(), uint32_t(message.size()), 5000));
    Bytes expected = {0x57, 0x10, 0x0D};
    expected.insert(expected.end(), message.begin(), message.end());
    ASSERT_EQ(ch.requests.size(), 2u);
    EXPECT_EQ(ch.requests[0], expected);
    EXPECT_EQ(ch.requests[1], expected); // the retry repeats the whole message
    // One byte (an end mark) travels the same way.
    ch.requests.clear();
    ch.replies.push_back({{0x06}});
    const uint8_t end = 0x04;
    ASSERT_TRUE(p.writeMessage(0x100D, &end, 1, 5000));
    EXPECT_EQ(ch.requests[0], (Bytes{0x57, 0x10, 0x0D, 0x04}));
    // Four bytes are a register value, written as write writes it.
    ch.requests.clear();
    ch.replies.push_back({{0x06}});
    const uint8_t value[4] = {0x78, 0x56, 0x34, 0x12};
    ASSERT_TRUE(p.writeMessage(0x0123, value, 4, 5000));
    EXPECT_EQ(ch.requests[0], (Bytes{0x57, 0x01, 0x23, 0x12, 0x34, 0x56, 0x78}));
}

// The camera may hold a message whose answer did not come, or part of one whose send failed:
// a second copy would be joined to it, so such a message is not sent again.
TEST(Usb3UserProtocol, MessageThatMayHaveArrivedIsNotSentAgain) {
    QxUsb3UserProtocol p;
    ScriptedChannel ch;
    ch.attach(p);
    const Bytes message(235, 0x42);
    EXPECT_FALSE(p.writeMessage(0x100D, message.data(), uint32_t(message.size()), 5000));
    EXPECT_EQ(ch.requests.size(), 1u);

    QxUsb3UserProtocol p2;
    int sends = 0;
    p2.setTransport(
        [](uint8_t*, int& n) {
            n = 0;
            return false;
        },
        [&](const uint8_t*, int) {
            ++sends;
            return false;
        });
    EXPECT_FALSE(p2.writeMessage(0x100D, message.data(), uint32_t(message.size()), 5000));
    EXPECT_EQ(sends, 1);
}

TEST(Usb3UserProtocol, ReplyInPiecesIsCollected) {
    QxUsb3UserProtocol p;
    ScriptedChannel ch;
    ch.attach(p);
    ch.replies.push_back({{0x06, 0x11}, {0x22}, {0x33, 0x44}});
    uint8_t buf[4] = {};
    ASSERT_TRUE(p.read(0x20, buf, 4, 1000));
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(ch.requests.size(), 1u);
}

TEST(Usb3UserProtocol, ReplyShorterThanAReadFailsWithoutUsingStaleBytes) {
    QxUsb3UserProtocol p;
    ScriptedChannel ch;
    ch.attach(p);
    // Only the acknowledge comes back, every time.
    for (int i = 0; i < 4; ++i) ch.replies.push_back({{0x06}});
    uint8_t buf[4] = {7, 7, 7, 7};
    EXPECT_FALSE(p.read(0x20, buf, 4, 10000));
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{7, 7, 7, 7}));
    EXPECT_EQ(ch.requests.size(), 4u); // retried, at most four exchanges
}

TEST(Usb3UserProtocol, ReceiveClaimingMoreThanItsCapacityIsBounded) {
    QxUsb3UserProtocol p;
    ScriptedChannel ch;
    ch.attach(p);
    ch.claimedCount = 100000; // a faulty channel: the reply must still stay within 64 bytes
    ch.replies.push_back({{0x06, 0xA1, 0xA2, 0xA3, 0xA4}});
    uint8_t buf[4] = {};
    EXPECT_TRUE(p.read(0x20, buf, 4, 1000));
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0xA4, 0xA3, 0xA2, 0xA1}));
}

TEST(Usb3UserProtocol, RefusedReplyIsRetried) {
    QxUsb3UserProtocol p;
    ScriptedChannel ch;
    ch.attach(p);
    ch.replies.push_back({{0x15, 0x00}});
    ch.replies.push_back({{0x06, 0, 0, 0, 5}});
    uint8_t buf[4] = {};
    ASSERT_TRUE(p.read(0x30, buf, 4, 1000));
    EXPECT_EQ(buf[0], 5);
    EXPECT_EQ(ch.requests.size(), 2u);

    // A write refused every time: four exchanges, then false.
    ScriptedChannel ch2;
    ch2.attach(p);
    for (int i = 0; i < 6; ++i) ch2.replies.push_back({{0x15, 0x15}});
    EXPECT_FALSE(p.write(0x30, buf, 4, 10000));
    EXPECT_EQ(ch2.requests.size(), 4u);
}

// A reply that comes after its read gave up belongs to that read: the next read takes it off
// the channel first and answers with its own reply.
TEST(Usb3UserProtocol, LateReplyIsTakenOffBeforeTheNextRequest) {
    QxUsb3UserProtocol p;
    ScriptedChannel ch;
    ch.attach(p);
    uint8_t buf[4] = {};
    EXPECT_FALSE(p.read(0x40, buf, 4, 150));
    const size_t sent = ch.requests.size();
    EXPECT_EQ(p.owedBytes(), int32_t(5 * sent));
    for (size_t i = 0; i < sent; ++i) ch.pending.push_back({0x06, 0, 0, 0, 0x99});
    ch.replies.push_back({{0x06, 0, 0, 0, 7}});
    ASSERT_TRUE(p.read(0x44, buf, 4, 1000));
    EXPECT_EQ(buf[0], 7);
    EXPECT_EQ(ch.requests.size(), sent + 1);
    EXPECT_EQ(p.owedBytes(), 0);

    // A refusal owes two bytes, not a whole read reply.
    ch.replies.push_back({{0x15}});
    EXPECT_FALSE(p.read(0x48, buf, 4, 50));
    EXPECT_EQ(p.owedBytes(), 1);
    // Given back, the device owes nothing to whoever opens it next.
    EXPECT_FALSE(p.settle(20));
    EXPECT_EQ(p.owedBytes(), 0);
}

TEST(Usb3UserProtocol, TimeOutEndsTheRetries) {
    QxUsb3UserProtocol p;
    ScriptedChannel ch;
    ch.attach(p);
    // No reply at all: each exchange fails after the 100 ms collection window, and with
    // 300 ms the second failure ends the transaction. The time since the start is taken
    // away again after every failure, so there is never a third exchange. A loaded machine
    // may stretch the first exchange past the whole 300 ms: then that one is the last.
    uint8_t buf[4] = {};
    const auto start = Clock::now();
    EXPECT_FALSE(p.read(0x40, buf, 4, 300));
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    ASSERT_GE(ch.requests.size(), 1u);
    EXPECT_LE(ch.requests.size(), 2u);
    EXPECT_GE(spent, ch.requests.size() == 1 ? 300 : 200);
    // A time-out of 0 allows one exchange (on a protocol that owes no reply).
    QxUsb3UserProtocol p2;
    ScriptedChannel ch2;
    ch2.attach(p2);
    EXPECT_FALSE(p2.write(0x40, buf, 4, 0));
    EXPECT_EQ(ch2.requests.size(), 1u);
}

TEST(Usb3UserProtocol, SendFailureFailsTheExchange) {
    QxUsb3UserProtocol p;
    int sends = 0;
    p.setTransport(
        [](uint8_t*, int& n) {
            n = 0;
            return false;
        },
        [&](const uint8_t*, int) {
            ++sends;
            return false;
        });
    uint8_t buf[4] = {};
    EXPECT_FALSE(p.read(0x40, buf, 4, 10000));
    EXPECT_EQ(sends, 4);
}

TEST(Usb3UserProtocol, TransactionWithoutChannelIsAProgrammingError) {
    QxUsb3UserProtocol p;
    uint8_t buf[4] = {};
    EXPECT_FALSE(p.hasTransport());
    EXPECT_THROW(p.read(0, buf, 4, 100), std::logic_error);
    EXPECT_THROW(p.write(0, buf, 4, 100), std::logic_error);
    // Both functions are set together; a missing one counts as none.
    p.setTransport(nullptr, [](const uint8_t*, int) { return true; });
    EXPECT_THROW(p.read(0, buf, 4, 100), std::logic_error);
}

} // namespace
