// The GVSP encoders and decoders and the PACKETRESEND command against literal packet bytes.
#include <gtest/gtest.h>

#include <vector>

#include "QxCamApi.h"
#include "gige/GvspProtocol.h"

using namespace qx::gige::gvsp;
using Bytes = std::vector<uint8_t>;

TEST(GvspProtocol, ShortHeaderRoundTripAndLayout) {
    Header h;
    h.status = 0x0100;
    h.blockId = 0xBEEF;
    h.format = kPayload;
    h.packetId = 0x123456;
    uint8_t out[20] = {};
    ASSERT_EQ(encodeHeader(out, h), kHeaderSize);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{0x01, 0x00, 0xBE, 0xEF, 0x03, 0x12, 0x34, 0x56}));
    Header d;
    ASSERT_TRUE(decodeHeader(out, 8, &d));
    EXPECT_EQ(d.blockId, 0xBEEFu);
    EXPECT_EQ(d.packetId, 0x123456u);
    EXPECT_EQ(d.format, kPayload);
    EXPECT_FALSE(d.extended);
    EXPECT_TRUE(d.resent());
}

TEST(GvspProtocol, ExtendedHeaderRoundTripAndLayout) {
    const Bytes wire{0x00, 0x00, 0x00, 0x03, 0x81, 0x00, 0x00, 0x00, 0x01, 0x02,
                     0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x00, 0x01, 0x00, 0x02};
    Header d;
    ASSERT_TRUE(decodeHeader(wire.data(), wire.size(), &d));
    EXPECT_TRUE(d.extended);
    EXPECT_EQ(d.format, kLeader);
    EXPECT_EQ(d.blockId, 0x0102030405060708ull);
    EXPECT_EQ(d.packetId, 0x00010002u);
    EXPECT_EQ(d.flags, 0x0003);
    EXPECT_TRUE(d.resent());
    EXPECT_EQ(d.length(), kExtendedHeaderSize);
    uint8_t out[20];
    ASSERT_EQ(encodeHeader(out, d), kExtendedHeaderSize);
    EXPECT_EQ(Bytes(out, out + 20), wire);
}

TEST(GvspProtocol, HeadersShorterThanTheirFormatAreRejected) {
    const Bytes seven{0, 0, 0, 1, 3, 0, 0};
    Header d;
    EXPECT_FALSE(decodeHeader(seven.data(), seven.size(), &d));
    Bytes extended(19, 0);
    extended[4] = 0x83;
    EXPECT_FALSE(decodeHeader(extended.data(), extended.size(), &d));
    extended.push_back(0);
    EXPECT_TRUE(decodeHeader(extended.data(), extended.size(), &d));
    EXPECT_FALSE(decodeHeader(nullptr, 100, &d));
}

TEST(GvspProtocol, ImageLeaderLayout) {
    Header h;
    h.blockId = 2;
    h.format = kLeader;
    ImageLeader l;
    l.timestamp = 0x1122334455667788ull;
    l.pixelFormat = QX_PIXEL_MONO8;
    l.width = 640;
    l.height = 480;
    l.offsetX = 8;
    l.offsetY = 4;
    l.paddingX = 2;
    l.paddingY = 1;
    const Bytes wire = encodeLeader(h, l);
    const Bytes expected{0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00,  // header
                         0x00, 0x00, 0x00, 0x01,                          // reserved, type
                         0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,  // timestamp
                         0x01, 0x08, 0x00, 0x01, 0x00, 0x00, 0x02, 0x80,  // format, width
                         0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x00, 0x08,  // height, offset x
                         0x00, 0x00, 0x00, 0x04, 0x00, 0x02, 0x00, 0x01}; // offset y, padding
    EXPECT_EQ(wire, expected);
    ImageLeader d;
    ASSERT_TRUE(decodeImageLeader(wire.data() + 8, wire.size() - 8, &d));
    EXPECT_EQ(d.width, 640u);
    EXPECT_EQ(d.height, 480u);
    EXPECT_EQ(d.paddingX, 2);
    EXPECT_EQ(d.timestamp, 0x1122334455667788ull);
    EXPECT_FALSE(decodeImageLeader(wire.data() + 8, 35, &d));
}

TEST(GvspProtocol, TrailerLayoutAndShortTrailers) {
    Header h;
    h.blockId = 1;
    h.format = kTrailer;
    h.packetId = 5;
    Trailer t;
    t.sizeY = 480;
    t.word2 = 0xA;
    t.word3 = 0xB;
    const Bytes wire = encodeTrailer(h, t);
    EXPECT_EQ(wire, (Bytes{0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01,
                           0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x0B}));
    Trailer d;
    ASSERT_TRUE(decodeTrailer(wire.data() + 8, 8, &d));
    EXPECT_EQ(d.sizeY, 480u);
    EXPECT_EQ(d.word2, 0u);
    EXPECT_FALSE(decodeTrailer(wire.data() + 8, 7, &d));
}

TEST(GvspProtocol, MultipartAndGenDcPrefixes) {
    const Bytes mp{0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0xAA, 0xBB};
    uint64_t offset = 0;
    const uint8_t* data = nullptr;
    size_t len = 0;
    ASSERT_TRUE(decodeMultipart(mp.data(), mp.size(), &offset, &data, &len));
    EXPECT_EQ(offset, 0x100000010ull);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(data[0], 0xAA);
    EXPECT_FALSE(decodeMultipart(mp.data(), 7, &offset, &data, &len));

    const Bytes gd{0x00, 0x00, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0x50, 0, 0, 0, 0xCC, 0xDD};
    uint32_t size = 0;
    uint8_t flags = 0;
    ASSERT_TRUE(decodeGenDc(gd.data(), gd.size(), &size, &offset, &flags, &data, &len));
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(offset, 0x100u);
    EXPECT_EQ(flags, 0x50);
    EXPECT_EQ(len, 2u);
    EXPECT_FALSE(decodeGenDc(gd.data(), 15, &size, &offset, &flags, &data, &len));
}

TEST(GvspProtocol, PacketResendCommandIs20Or28Bytes) {
    GevResendRequest r;
    r.requestId = 0xFFFF;
    r.blockId = 0x12345;
    r.firstPacket = 2;
    r.lastPacket = 11;
    EXPECT_EQ(BuildPacketResend(r), (Bytes{0x42, 0x00, 0x00, 0x40, 0x00, 0x0C, 0xFF, 0xFF, 0x00, 0x00,
                                           0x23, 0x45, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x0B}));
    r.extended = true;
    r.requestId = 1;
    const Bytes ext = BuildPacketResend(r);
    EXPECT_EQ(ext, (Bytes{0x42, 0x10, 0x00, 0x40, 0x00, 0x14, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x02, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x23, 0x45}));
    GevResendRequest d;
    ASSERT_TRUE(decodePacketResend(ext.data(), ext.size(), &d));
    EXPECT_EQ(d.blockId, 0x12345u);
    EXPECT_TRUE(d.extended);
    EXPECT_EQ(d.lastPacket, 11u);
    EXPECT_FALSE(decodePacketResend(ext.data(), 20, &d)); // extended flag but only 20 bytes
}

TEST(GvspProtocol, BytesPerPixel) {
    EXPECT_EQ(bytesPerPixel(QX_PIXEL_MONO8), 1u);
    EXPECT_EQ(bytesPerPixel(0x010C0006), 2u); // Mono12Packed: 12 bits
    EXPECT_EQ(bytesPerPixel(QX_PIXEL_MONO16), 2u);
    EXPECT_EQ(bytesPerPixel(0x02180014), 3u); // RGB8
}
