// The EVENT and EVENTDATA wire format: decoding against literal datagrams, the bounds the
// decoder enforces, the acknowledges, and the LFSR pattern of test packets.
#include <gtest/gtest.h>

#include <vector>

#include "gige/GevTestPacket.h"
#include "gige/GvcpProtocol.h"

namespace gvcp = qx::gige::gvcp;

TEST(GvcpEvent, DecodesEventCmd) {
    const std::vector<uint8_t> bytes{0x42, 0x01, 0x00, 0xC0, 0x00, 0x10, 0x12, 0x34, // header, id 0x1234
                                     0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0xAB, 0xCD, // event 3, channel 1, block
                                     0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    gvcp::EventPacket e;
    ASSERT_TRUE(gvcp::decodeEventCmd(bytes.data(), bytes.size(), &e));
    EXPECT_EQ(e.command, gvcp::kEventCmd);
    EXPECT_EQ(e.flags, 0x01);
    EXPECT_EQ(e.requestId, 0x1234);
    EXPECT_EQ(e.eventId, 3);
    EXPECT_EQ(e.streamChannel, 1);
    EXPECT_EQ(e.blockId, 0xABCDu);
    EXPECT_EQ(e.timestamp, 0x0102030405060708ull);
    EXPECT_EQ(e.data, nullptr);
    EXPECT_EQ(e.dataLength, 0u);
    EXPECT_EQ(gvcp::encodeEventCmd(e), bytes);
}

TEST(GvcpEvent, DecodesEventDataWithExtendedIds) {
    std::vector<uint8_t> bytes{0x42, 0x11, 0x00, 0xC2, 0x00, 0x1C, 0x00, 0x07, // 24 + 4 bytes
                               0x00, 0x00, 0x90, 0x01, 0x00, 0x00, 0x00, 0x00,
                               0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, // block id 1:2
                               0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, // timestamp 3:4
                               0xDE, 0xAD, 0xBE, 0xEF};
    gvcp::EventPacket e;
    ASSERT_TRUE(gvcp::decodeEventCmd(bytes.data(), bytes.size(), &e));
    EXPECT_EQ(e.eventId, 0x9001);
    EXPECT_EQ(e.blockId, 0x0000000100000002ull);
    EXPECT_EQ(e.timestamp, 0x0000000300000004ull);
    ASSERT_EQ(e.dataLength, 4u);
    EXPECT_EQ(e.data, bytes.data() + 32);
    EXPECT_EQ(gvcp::encodeEventCmd(e), bytes);
    // Without the extended flag the data starts at byte 24.
    bytes[1] = 0x01;
    ASSERT_TRUE(gvcp::decodeEventCmd(bytes.data(), bytes.size(), &e));
    EXPECT_EQ(e.dataLength, 12u);
    EXPECT_EQ(e.data, bytes.data() + 24);
    EXPECT_EQ(e.blockId, 0u);
}

TEST(GvcpEvent, RejectsWhatIsNotACompleteEvent) {
    gvcp::EventPacket ok;
    ok.flags = gvcp::kFlagAckRequired;
    ok.command = gvcp::kEventDataCmd;
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ok.data = data;
    ok.dataLength = 8;
    const auto good = gvcp::encodeEventCmd(ok);
    gvcp::EventPacket e;
    ASSERT_TRUE(gvcp::decodeEventCmd(good.data(), good.size(), &e));
    EXPECT_EQ(e.dataLength, 8u);
    for (size_t n = 0; n < 8 + gvcp::kEventFields; ++n) // shorter than the fixed fields
        EXPECT_FALSE(gvcp::decodeEventCmd(good.data(), n, &e)) << n;
    EXPECT_FALSE(gvcp::decodeEventCmd(good.data(), good.size() - 1, &e)); // length runs past the datagram
    auto bad = good;
    bad[0] = 0x43;
    EXPECT_FALSE(gvcp::decodeEventCmd(bad.data(), bad.size(), &e));
    bad = good;
    bad[3] = 0x80; // READREG_CMD
    EXPECT_FALSE(gvcp::decodeEventCmd(bad.data(), bad.size(), &e));
    bad = good;
    bad[5] = 0x0F; // length below the event's fields
    EXPECT_FALSE(gvcp::decodeEventCmd(bad.data(), bad.size(), &e));
    bad = good;
    bad[1] |= gvcp::kFlagExtendedIds; // 24 bytes now needed, 24 there: no data
    ASSERT_TRUE(gvcp::decodeEventCmd(bad.data(), bad.size(), &e));
    EXPECT_EQ(e.dataLength, 0u);
}

TEST(GvcpEvent, Acknowledges) {
    EXPECT_EQ(gvcp::encodeEventAck(gvcp::kEventCmd, 0x1234),
              (std::vector<uint8_t>{0x00, 0x00, 0x00, 0xC1, 0x00, 0x00, 0x12, 0x34}));
    EXPECT_EQ(gvcp::encodeEventAck(gvcp::kEventDataCmd, 7),
              (std::vector<uint8_t>{0x00, 0x00, 0x00, 0xC3, 0x00, 0x00, 0x00, 0x07}));
}

TEST(GvcpEvent, TestPacketPattern) {
    uint8_t bytes[10];
    qx::gige::lfsrFill(bytes, sizeof bytes);
    const uint8_t expected[10] = {0xFF, 0xE9, 0xE2, 0xF1, 0xEE, 0xF7, 0xED, 0xE0, 0xF0, 0xF8};
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 10), std::vector<uint8_t>(expected, expected + 10));
    std::vector<uint8_t> payload(300);
    qx::gige::lfsrFill(payload.data(), payload.size());
    EXPECT_EQ(qx::gige::lfsrMismatches(payload.data(), payload.size(), nullptr), 0);
    EXPECT_EQ(qx::gige::lfsrMismatches(nullptr, 0, nullptr), 0);
    for (size_t i = 0; i < 12; ++i) payload[i * 10] ^= 0x01;
    std::vector<size_t> reported;
    EXPECT_EQ(qx::gige::lfsrMismatches(payload.data(), payload.size(),
                                       [&](size_t pos, uint8_t, uint8_t) { reported.push_back(pos); }),
              12);
    ASSERT_EQ(reported.size(), 9u);
    EXPECT_EQ(reported.front(), 1u);
    EXPECT_EQ(reported.back(), 81u);
}
