// The stream socket's batched receive (recvmmsg) on the loopback: datagrams come in order, each
// with its own real size, and a datagram larger than its slot is cut and reported as truncated
// without touching its neighbours' slots.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Net/UdpSocket.h"
#include "SimGevDevice.h"

using qx::fixture::ipv4;

TEST(UdpBatch, DatagramsKeepTheirOwnSizesAndTruncationIsReportedPerDatagram) {
    qx::net::UdpSocket rx, tx;
    ASSERT_EQ(rx.open(ipv4("127.0.0.1"), 0), 0);
    ASSERT_EQ(tx.open(ipv4("127.0.0.1"), 0), 0);
    uint16_t port = 0, txPort = 0;
    ASSERT_EQ(rx.localPort(&port), 0);
    ASSERT_EQ(tx.localPort(&txPort), 0);

    constexpr size_t kSlot = 64;
    constexpr int kSlots = 4;
    std::vector<uint8_t> buffers(kSlot * kSlots, 0xEE);
    qx::net::Datagram out[kSlots];
    int error = 0;
    EXPECT_EQ(rx.receiveBatch(buffers.data(), kSlot, out, kSlots, &error), 0) << "nothing waits: no blocking";

    // Sizes: within the slot, twice the slot, exactly the slot, empty, and one more than fits
    // the batch.
    const std::vector<size_t> sizes = {10, 2 * kSlot, kSlot, 0, 20};
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::vector<uint8_t> d(sizes[i], static_cast<uint8_t>(0x10 + i));
        ASSERT_EQ(tx.sendTo(ipv4("127.0.0.1"), port, d.data(), d.size()), long(d.size()));
    }
    ASSERT_EQ(rx.waitReadable(1000), qx::net::WaitResult::Readable);
    int n = 0;
    for (int i = 0; i < 100 && n < kSlots; ++i) { // all four queued datagrams in one call
        n = rx.receiveBatch(buffers.data(), kSlot, out, kSlots, &error);
        if (n < kSlots) rx.waitReadable(10);
    }
    ASSERT_EQ(n, kSlots);
    for (int i = 0; i < kSlots; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(out[i].ok());
        EXPECT_EQ(out[i].length, long(sizes[i]));
        EXPECT_EQ(out[i].copied, std::min(sizes[i], kSlot));
        EXPECT_EQ(out[i].truncated, sizes[i] > kSlot);
        EXPECT_EQ(out[i].sourceIp, ipv4("127.0.0.1"));
        EXPECT_EQ(out[i].sourcePort, txPort);
        for (size_t b = 0; b < out[i].copied; ++b) ASSERT_EQ(buffers[i * kSlot + b], 0x10 + i) << b;
    }
    // The slot after the empty datagram kept its old bytes; the fifth datagram waits.
    EXPECT_EQ(buffers[3 * kSlot], 0xEE);
    n = rx.receiveBatch(buffers.data(), kSlot, out, kSlots, &error);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(out[0].length, 20);
    EXPECT_FALSE(out[0].truncated);

    rx.close();
    EXPECT_EQ(rx.receiveBatch(buffers.data(), kSlot, out, kSlots, &error), -1);
    EXPECT_NE(error, 0);
}
