// The GVCP encoders and decoders against literal packet bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "gige/GvcpProtocol.h"

using namespace qx::gige::gvcp;
using Bytes = std::vector<uint8_t>;

TEST(GvcpProtocol, RequestIdsWrapFrom0xFFFFTo1) {
    EXPECT_EQ(nextRequestId(1), 2);
    EXPECT_EQ(nextRequestId(0xFFFE), 0xFFFF);
    EXPECT_EQ(nextRequestId(0xFFFF), 1);
    EXPECT_EQ(nextRequestId(0), 1);
}

TEST(GvcpProtocol, ReadRegisterCommand) {
    const uint32_t addresses[] = {0x0A00, 0x0A04};
    EXPECT_EQ(encodeReadRegCmd(0x1234, addresses, 1),
              (Bytes{0x42, 0x01, 0x00, 0x80, 0x00, 0x04, 0x12, 0x34, 0x00, 0x00, 0x0A, 0x00}));
    EXPECT_EQ(encodeReadRegCmd(1, addresses, 2),
              (Bytes{0x42, 0x01, 0x00, 0x80, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x0A, 0x04}));
}

TEST(GvcpProtocol, WriteRegisterCommand) {
    const uint32_t a[] = {0x0A00}, v[] = {0x00000002};
    EXPECT_EQ(encodeWriteRegCmd(7, a, v, 1),
              (Bytes{0x42, 0x01, 0x00, 0x82, 0x00, 0x08, 0x00, 0x07, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x02}));
}

TEST(GvcpProtocol, ReadMemoryCommandIs16Bytes) {
    EXPECT_EQ(encodeReadMemCmd(0xFFFF, 0x00010000, 536),
              (Bytes{0x42, 0x01, 0x00, 0x84, 0x00, 0x08, 0xFF, 0xFF, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x18}));
}

TEST(GvcpProtocol, WriteMemoryCommand) {
    const uint8_t data[] = {0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(encodeWriteMemCmd(2, 0x1000, data, 4),
              (Bytes{0x42, 0x01, 0x00, 0x86, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00, 0x10, 0x00, 0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST(GvcpProtocol, DiscoveryCommand) {
    EXPECT_EQ(encodeDiscoveryCmd(1, false), (Bytes{0x42, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(encodeDiscoveryCmd(1, true), (Bytes{0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01}));
}

TEST(GvcpProtocol, ForceIpCommandLayout) {
    ForceIpRequest r;
    const uint8_t mac[6] = {0x00, 0x0F, 0x31, 0x01, 0x02, 0x03};
    std::copy(mac, mac + 6, r.mac);
    const uint8_t ip[4] = {192, 168, 2, 7}, mask[4] = {255, 255, 255, 0}, gw[4] = {192, 168, 2, 1};
    std::memcpy(&r.ip, ip, 4);
    std::memcpy(&r.mask, mask, 4);
    std::memcpy(&r.gateway, gw, 4);
    Bytes b = encodeForceIpCmd(1, r);
    ASSERT_EQ(b.size(), 64u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 16),
              (Bytes{0x42, 0x01, 0x00, 0x04, 0x00, 0x38, 0x00, 0x01, 0x00, 0x00, 0x00, 0x0F, 0x31, 0x01, 0x02, 0x03}));
    EXPECT_EQ(Bytes(b.begin() + 28, b.begin() + 32), (Bytes{192, 168, 2, 7}));
    EXPECT_EQ(Bytes(b.begin() + 44, b.begin() + 48), (Bytes{255, 255, 255, 0}));
    EXPECT_EQ(Bytes(b.begin() + 60, b.begin() + 64), (Bytes{192, 168, 2, 1}));
    for (int i : {16, 20, 24, 32, 40, 48, 56}) EXPECT_EQ(b[i], 0) << i;
    r.ip = 0;
    EXPECT_EQ(encodeForceIpCmd(1, r)[1], 0x00); // IP 0: no acknowledge asked for
    ForceIpRequest back;
    ASSERT_TRUE(decodeForceIpCmd(b.data(), b.size(), &back));
    EXPECT_EQ(back.gateway, r.gateway);
}

TEST(GvcpProtocol, AckHeaderNeedsEightBytes) {
    const Bytes ack{0x80, 0x06, 0x00, 0x81, 0x00, 0x00, 0x12, 0x34};
    AckHeader h;
    EXPECT_FALSE(decodeAckHeader(ack.data(), 7, &h));
    ASSERT_TRUE(decodeAckHeader(ack.data(), 8, &h));
    EXPECT_EQ(h.status, 0x8006);
    EXPECT_EQ(h.answer, 0x0081);
    EXPECT_EQ(h.length, 0);
    EXPECT_EQ(h.ackId, 0x1234);
}

TEST(GvcpProtocol, ReadRegisterAckValuesAreBoundedByWhatArrived) {
    const Bytes ack{0x00, 0x00, 0x00, 0x81, 0x00, 0x08, 0x00, 0x05, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    uint32_t v[4] = {0, 0, 0, 0};
    EXPECT_EQ(decodeReadRegAck(ack.data(), ack.size(), v, 4), 2u);
    EXPECT_EQ(v[0], 0x11223344u);
    EXPECT_EQ(v[1], 0x55667788u);
    EXPECT_EQ(decodeReadRegAck(ack.data(), ack.size(), v, 1), 1u); // never more than asked
    EXPECT_EQ(decodeReadRegAck(ack.data(), 14, v, 4), 1u);         // cut datagram
    EXPECT_EQ(decodeReadRegAck(ack.data(), 8, v, 4), 0u);          // header only
    EXPECT_EQ(decodeReadRegAck(ack.data(), 5, v, 4), 0u);          // not even a header
    Bytes liar = ack;
    liar[5] = 0xFF; // announces 255 bytes
    EXPECT_EQ(decodeReadRegAck(liar.data(), liar.size(), v, 4), 2u);
}

TEST(GvcpProtocol, ReadMemoryAck) {
    const Bytes ack{0x00, 0x00, 0x00, 0x85, 0x00, 0x08, 0x00, 0x09, 0x00, 0x00, 0x10, 0x00, 0xCA, 0xFE, 0xBA, 0xBE};
    uint32_t address = 0;
    const uint8_t* data = nullptr;
    size_t n = 0;
    ASSERT_TRUE(decodeReadMemAck(ack.data(), ack.size(), &address, &data, &n));
    EXPECT_EQ(address, 0x1000u);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(data[0], 0xCA);
    ASSERT_TRUE(decodeReadMemAck(ack.data(), 13, &address, &data, &n));
    EXPECT_EQ(n, 1u);
    EXPECT_FALSE(decodeReadMemAck(ack.data(), 11, &address, &data, &n));
}

TEST(GvcpProtocol, PendingAndWriteAcks) {
    const Bytes pending{0x00, 0x00, 0x00, 0x89, 0x00, 0x04, 0x00, 0x03, 0x00, 0x00, 0x13, 0x88};
    uint16_t ms = 0;
    ASSERT_TRUE(decodePendingAck(pending.data(), pending.size(), &ms));
    EXPECT_EQ(ms, 5000);
    EXPECT_EQ(encodePendingAck(3, 5000), pending);
    EXPECT_FALSE(decodePendingAck(pending.data(), 10, &ms));
    const Bytes w = encodeWriteAck(kWriteRegAck, 9, 0, 1);
    EXPECT_EQ(w, (Bytes{0x00, 0x00, 0x00, 0x83, 0x00, 0x04, 0x00, 0x09, 0x00, 0x00, 0x00, 0x01}));
    uint16_t index = 0;
    ASSERT_TRUE(decodeWriteAck(w.data(), w.size(), &index));
    EXPECT_EQ(index, 1);
}

TEST(GvcpProtocol, DiscoveryAckFieldsAtTheirOffsets) {
    Bytes ack(256, 0);
    ack[2] = 0x00;
    ack[3] = 0x03;
    ack[5] = 248;
    ack[7] = 1;
    const size_t d = 8;
    ack[d + 0] = 0x00;
    ack[d + 1] = 0x01;
    ack[d + 3] = 0x02; // version 1.2
    ack[d + 10] = 0x00;
    ack[d + 11] = 0x0F; // MAC high
    ack[d + 12] = 0x31;
    ack[d + 13] = 0x01;
    ack[d + 14] = 0x02;
    ack[d + 15] = 0x03;
    const uint8_t ip[4] = {192, 168, 2, 10}, mask[4] = {255, 255, 255, 0}, gw[4] = {192, 168, 2, 1};
    std::memcpy(&ack[d + 36], ip, 4);
    std::memcpy(&ack[d + 52], mask, 4);
    std::memcpy(&ack[d + 68], gw, 4);
    std::memcpy(&ack[d + 72], "Maker", 5);
    std::memcpy(&ack[d + 104], "Model-X", 7);
    std::memcpy(&ack[d + 136], "v9", 2);
    std::memcpy(&ack[d + 216], "SN123", 5);
    std::memcpy(&ack[d + 232], "user", 4);
    DiscoveryInfo info;
    ASSERT_TRUE(decodeDiscoveryAck(ack.data(), ack.size(), &info));
    EXPECT_EQ(info.versionMajor, 1);
    EXPECT_EQ(info.versionMinor, 2);
    EXPECT_EQ(Bytes(info.mac, info.mac + 6), (Bytes{0x00, 0x0F, 0x31, 0x01, 0x02, 0x03}));
    EXPECT_EQ(std::memcmp(&info.currentIp, ip, 4), 0);
    EXPECT_EQ(std::memcmp(&info.currentMask, mask, 4), 0);
    EXPECT_EQ(std::memcmp(&info.gateway, gw, 4), 0);
    EXPECT_STREQ(info.manufacturer, "Maker");
    EXPECT_STREQ(info.model, "Model-X");
    EXPECT_STREQ(info.deviceVersion, "v9");
    EXPECT_EQ(std::string(info.serialNumber, 5), "SN123");
    EXPECT_EQ(std::string(info.userName, 4), "user");
    // The encoder the test device uses produces the same bytes.
    EXPECT_EQ(encodeDiscoveryAck(1, 0, info), ack);
    EXPECT_FALSE(decodeDiscoveryAck(ack.data(), 255, &info));
    Bytes longer = ack;
    longer.push_back(0);
    EXPECT_FALSE(decodeDiscoveryAck(longer.data(), longer.size(), &info));
}

TEST(GvcpProtocol, DeviceSideDecoders) {
    const Bytes readMem{0x42, 0x01, 0x00, 0x84, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00};
    uint32_t address = 0;
    uint16_t count = 0;
    ASSERT_TRUE(decodeReadMemCmd(readMem.data(), readMem.size(), &address, &count));
    EXPECT_EQ(address, 0x200u);
    EXPECT_EQ(count, 512);
    EXPECT_FALSE(decodeReadMemCmd(readMem.data(), 15, &address, &count));
    std::vector<uint32_t> a, v;
    const uint32_t aa[] = {0x10, 0x14}, vv[] = {1, 2};
    Bytes w = encodeWriteRegCmd(1, aa, vv, 2);
    ASSERT_TRUE(decodeWriteRegCmd(w.data(), w.size(), &a, &v));
    EXPECT_EQ(a, (std::vector<uint32_t>{0x10, 0x14}));
    EXPECT_EQ(v, (std::vector<uint32_t>{1, 2}));
    const uint32_t values[] = {0xA, 0xB};
    EXPECT_EQ(encodeReadRegAck(4, 0, values, 2),
              (Bytes{0x00, 0x00, 0x00, 0x81, 0x00, 0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x0B}));
}
