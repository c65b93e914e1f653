// Link wire format against literal bytes: CRC, escaping, the host's frames, the decoder and
// the transfer header.
#include "usb3/UsbLinkWire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace qx::usb3;
using Bytes = std::vector<uint8_t>;

namespace {

std::vector<UsbLinkFrame> decodeAll(const Bytes& in, LinkDecoder& d) {
    std::vector<UsbLinkFrame> out;
    d.feed(in.data(), in.size(), [&](const UsbLinkFrame& f) { out.push_back(f); });
    return out;
}

} // namespace

TEST(Usb3Wire, Crc8MaximCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(crc8Maxim(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xA1);
    EXPECT_EQ(crc8Maxim(nullptr, 0), 0x00);
}

TEST(Usb3Wire, RegisterReadFrameBytes) {
    uint8_t out[kRegFrameBufferSize];
    size_t n = encodeRegFrame(out, sizeof(out), 0x00001234, nullptr, 0, 2);
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0x7E, 0x43, 0x00, 0x00, 0x00, 0x12, 0x34, 0x8E}));
}

TEST(Usb3Wire, RegisterReadFrameEscapesItsCrc) {
    uint8_t out[kRegFrameBufferSize];
    size_t n = encodeRegFrame(out, sizeof(out), 0x000000AD, nullptr, 0, 2);
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0x7E, 0x43, 0x00, 0x00, 0x00, 0x00, 0xAD, 0x7D, 0x5E}));
}

TEST(Usb3Wire, RegisterWriteFrameBytes) {
    const uint8_t data[] = {0xDE, 0xAD, 0xBE, 0xEF};
    uint8_t out[kRegFrameBufferSize];
    size_t n = encodeRegFrame(out, sizeof(out), 0x00010020, data, 4, 0);
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0x7E, 0x03, 0x04, 0x00, 0x01, 0x00, 0x20, 0xDE, 0xAD, 0xBE, 0xEF, 0xA8}));
}

TEST(Usb3Wire, RegisterFrameLimits) {
    Bytes data(kMaxRegData + 1, 0x7E);
    uint8_t out[kRegFrameBufferSize];
    EXPECT_EQ(encodeRegFrame(out, sizeof(out), 1, data.data(), kMaxRegData + 1, 0), 0u);
    // The largest write, every byte escaped, still fits the 512-byte buffer.
    size_t n = encodeRegFrame(out, sizeof(out), 0x7E7E7E7E, data.data(), kMaxRegData, 0);
    EXPECT_GT(n, 0u);
    EXPECT_LE(n, kRegFrameBufferSize);
    EXPECT_EQ(encodeRegFrame(out, sizeof(out), 1, data.data(), 4, 1), 0u); // no such kind
    EXPECT_EQ(encodeRegFrame(out, 8, 0x1234, nullptr, 0, 2), 8u);
    EXPECT_EQ(encodeRegFrame(out, 7, 0x1234, nullptr, 0, 2), 0u); // does not fit
}

TEST(Usb3Wire, ByteChannelChunkEscapesPayload) {
    const uint8_t chunk[] = {0x7E, 0x7D, 0x01};
    EXPECT_EQ(encodeByteChannelChunk(chunk, 3),
              (Bytes{0x7E, 0x22, 0x05, 0x5A, 0xA5, 0x55, 0xAA, 0x03, 0x00, 0x7D, 0x5E, 0x7D, 0x5D, 0x01}));
    EXPECT_TRUE(encodeByteChannelChunk(chunk, 0).empty());
    Bytes big(201, 1);
    EXPECT_TRUE(encodeByteChannelChunk(big.data(), big.size()).empty());
    Bytes max(200, 1);
    Bytes f = encodeByteChannelChunk(max.data(), max.size());
    ASSERT_GE(f.size(), 3u);
    EXPECT_EQ(f[2], 202);
}

TEST(Usb3Wire, RegProtocolRequests) {
    EXPECT_EQ(encodeRegProtoRead(0x1234), (Bytes{0x52, 0x12, 0x34}));
    EXPECT_EQ(encodeRegProtoWrite(0xA0B0, 0x01020304), (Bytes{0x57, 0xA0, 0xB0, 0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(encodeRegProtoReadReply(0xCAFEBABE), (Bytes{0x06, 0xCA, 0xFE, 0xBA, 0xBE}));
}

TEST(Usb3Wire, DecodesByteChannelFrameWithEscapes) {
    LinkDecoder d;
    auto frames = decodeAll({0x7E, 0x22, 0x05, 0x5A, 0xA5, 0x55, 0xAA, 0x03, 0x00, 0x7D, 0x5E, 0x7D, 0x5D, 0x01}, d);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].type, 0x22);
    EXPECT_EQ(frames[0].address, ByteChannelAddress);
    EXPECT_EQ(frames[0].data, (Bytes{0x03, 0x00, 0x7E, 0x7D, 0x01}));
}

TEST(Usb3Wire, DecodesReplyFrameAndChecksCrc) {
    LinkDecoder d;
    Bytes good{0x7E, 0x03, 0x04, 0x00, 0x01, 0x00, 0x20, 0xDE, 0xAD, 0xBE, 0xEF, 0xA8};
    auto frames = decodeAll(good, d);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].address, 0x00010020u);
    EXPECT_EQ(frames[0].data, (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));

    Bytes bad = good;
    bad.back() = 0xA9;
    EXPECT_TRUE(decodeAll(bad, d).empty());
    EXPECT_EQ(d.droppedFrames(), 1u);
    // The decoder is ready for the next frame at once.
    EXPECT_EQ(decodeAll(good, d).size(), 1u);
}

TEST(Usb3Wire, EscapeBeforeOtherByteAbortsFrame) {
    LinkDecoder d;
    Bytes broken{0x7E, 0x22, 0x05, 0x5A, 0x7D, 0x41, 0x55, 0xAA, 0x03, 0x00, 1, 2, 3};
    EXPECT_TRUE(decodeAll(broken, d).empty());
    EXPECT_EQ(d.state(), uint32_t(LinkDecoder::Idle));
}

TEST(Usb3Wire, ReservedTypeBitsDiscardFrame) {
    LinkDecoder d;
    // Type 0x2A has bit 3 set: ignored from its type byte on, whatever follows.
    Bytes f{0x7E, 0x2A, 0x03, 0x5A, 0xA5, 0x55, 0xAA, 0x01, 0x00, 0x09};
    EXPECT_TRUE(decodeAll(f, d).empty());
    Bytes g{0x7E, 0x32, 0x03, 0x5A, 0xA5, 0x55, 0xAA, 0x01, 0x00, 0x09}; // bit 4
    EXPECT_TRUE(decodeAll(g, d).empty());
}

TEST(Usb3Wire, KindThreeFrameHasExtraByte) {
    LinkDecoder d;
    // Type 0x62: kind 3, 4-byte address, no CRC; extra byte 0xEE is skipped.
    auto frames = decodeAll({0x7E, 0x62, 0x02, 0x00, 0x00, 0x10, 0x00, 0xEE, 0x11, 0x22}, d);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].address, 0x1000u);
    EXPECT_EQ(frames[0].data, (Bytes{0x11, 0x22}));
    Bytes enc = encodeLinkFrame(0x62, 0x1000, frames[0].data.data(), 2, 0xEE);
    EXPECT_EQ(enc, (Bytes{0x7E, 0x62, 0x02, 0x00, 0x00, 0x10, 0x00, 0xEE, 0x11, 0x22}));
}

TEST(Usb3Wire, AddressWidths) {
    LinkDecoder d;
    const uint8_t data[] = {9};
    for (uint8_t w = 0; w < 4; ++w) {
        uint8_t type = static_cast<uint8_t>(0x40 | (w << 1) | 1);
        uint64_t address = 0x0102030405060708ull & ((w == 3) ? ~0ull : ((1ull << (16 * (w + 1))) - 1));
        Bytes f = encodeLinkFrame(type, address, data, 1);
        auto frames = decodeAll(f, d);
        ASSERT_EQ(frames.size(), 1u) << int(w);
        EXPECT_EQ(frames[0].address, address);
    }
}

TEST(Usb3Wire, LongestFramesComplete) {
    // 255 data bytes with a 4-byte address and a CRC make a 260-byte body.
    Bytes data(255);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    LinkDecoder d;
    auto frames = decodeAll(encodeLinkFrame(0x03, 0x11223344, data.data(), data.size()), d);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, data);
    // And the longest possible: kind 3, 8-byte address, CRC.
    frames = decodeAll(encodeLinkFrame(0x67, 0x1122334455667788ull, data.data(), data.size(), 0x7E), d);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].address, 0x1122334455667788ull);
    EXPECT_EQ(frames[0].data, data);
}

TEST(Usb3Wire, FrameSplitAcrossFeedsAndStartByteRestarts) {
    LinkDecoder d;
    Bytes f = encodeLinkFrame(0x43, 0xAD, nullptr, 0);
    std::vector<UsbLinkFrame> got;
    Bytes garbage{0x7E, 0x43, 0x09, 0x00};
    d.feed(garbage.data(), garbage.size(), [&](const UsbLinkFrame& x) { got.push_back(x); });
    for (uint8_t b : f) d.feed(&b, 1, [&](const UsbLinkFrame& x) { got.push_back(x); });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].address, 0xADu);
    EXPECT_TRUE(got[0].data.empty());
}

TEST(Usb3Wire, TransferHeaderLayout) {
    TransferHeader h;
    h.bmRequestType = 0xC2;
    h.bRequest = 0xFE;
    h.wValue = 0xF000;
    h.wIndex = 0x0102;
    h.wLength = 0x0800;
    h.timeoutSeconds = 2;
    h.endpointAddress = 0x81;
    h.ntStatus = 0xC0000120;
    h.usbdStatus = 0x11223344;
    h.isoPacketOffset = 38;
    h.isoPacketLength = 16;
    h.dataOffset = 54;
    h.dataLength = 0x01020304;
    uint8_t out[kTransferHeaderSize];
    encodeTransferHeader(h, out);
    EXPECT_EQ(Bytes(out, out + kTransferHeaderSize),
              (Bytes{0xC2, 0xFE, 0x00, 0xF0, 0x02, 0x01, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00,
                     0x81, 0x20, 0x01, 0x00, 0xC0, 0x44, 0x33, 0x22, 0x11, 0x26, 0x00, 0x00, 0x00,
                     0x10, 0x00, 0x00, 0x00, 0x36, 0x00, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01}));
    TransferHeader back;
    ASSERT_TRUE(decodeTransferHeader(out, sizeof(out), back));
    EXPECT_EQ(back.wValue, 0xF000);
    EXPECT_EQ(back.ntStatus, 0xC0000120u);
    EXPECT_EQ(back.dataOffset, 54u);
    EXPECT_FALSE(decodeTransferHeader(out, 37, back));
}
