// Frame assembly from stream pages, without threads: header pages, completion by image type,
// bounds on what a header may ask for, lost pages and gaps, slot hand-out, line mode.
#include "usb3/QxUsbDevice.h"
#include "SimUsb3Camera.h"
#include "usb3/UsbFrameAssembler.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace qx::usb3;
using Bytes = std::vector<uint8_t>;
using qx::usb3::sim::frameHeader;

namespace {

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = uint8_t(x >> 16);
    }
    return b;
}

void feed(UsbFrameAssembler& a, const Bytes& stream) {
    ASSERT_EQ(stream.size() % kStreamPageSize, 0u);
    for (size_t off = 0; off < stream.size(); off += kStreamPageSize) a.processPage(stream.data() + off);
}

} // namespace

TEST(Usb3FrameHeader, ParseAndEncodeRoundTrip) {
    UsbFrameHeader h = frameHeader(2592, 1944, 77, 2, 1234);
    h.cacheCount = 5;
    h.cacheUseCount = 3;
    Bytes page = encodeFrameHeaderPage(h);
    ASSERT_EQ(page.size(), 4096u);
    EXPECT_EQ(page[0], 0x53);
    EXPECT_EQ(page[3], 0x80);
    UsbFrameHeader back;
    ASSERT_TRUE(parseFrameHeader(page.data(), page.size(), back));
    EXPECT_EQ(back.width, 2592);
    EXPECT_EQ(back.height, 1944);
    EXPECT_EQ(back.frameNumber, 77u);
    EXPECT_EQ(back.packetCount, 1234u);
    EXPECT_EQ(back.imageType, 2u);
    EXPECT_EQ(back.cacheCount, 5);
    EXPECT_EQ(back.cacheUseCount, 3);
    page[15] ^= 1;
    EXPECT_FALSE(isFrameHeaderPage(page.data(), page.size()));
    EXPECT_FALSE(parseFrameHeader(page.data(), 47, back));
}

TEST(Usb3FrameHeader, HeaderPageLayoutByteForByte) {
    UsbFrameHeader h = frameHeader(2592, 1944, 77, 2, 1234);
    h.cacheCount = 5;
    h.cacheUseCount = 3;
    const Bytes page = encodeFrameHeaderPage(h);
    ASSERT_EQ(page.size(), 4096u);
    EXPECT_EQ(Bytes(page.begin(), page.begin() + 48),
              (Bytes{0x53, 0x49, 0x3C, 0x80, 0x18, 0x82, 0x49, 0x93, 0x8D, 0x7F, 0x89, 0x05, 0x89, 0x80, 0xB3, 0x9A,
                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x0A, 0x98, 0x07, 0x4D, 0x00, 0x00, 0x00,
                     0xD2, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00}));
    for (size_t i = 48; i < page.size(); ++i) ASSERT_EQ(page[i], 0) << "byte " << i;
    // A header page that ends before its last field is no header.
    UsbFrameHeader back;
    EXPECT_TRUE(isFrameHeaderPage(page.data(), 16));
    EXPECT_FALSE(isFrameHeaderPage(page.data(), 15));
    EXPECT_TRUE(parseFrameHeader(page.data(), 48, back));
    EXPECT_EQ(back.imageType, 2u);
}

TEST(Usb3FrameAssembler, Type0OneBytePerPixelCompletesAfter75PagesByteForByte) {
    UsbFrameAssembler a;
    ASSERT_TRUE(a.configure(640, 480, 8, 1, 3));
    Bytes pixels = pattern(640 * 480, 1);
    Bytes stream = sim::SimUsb3Camera::frameBytes(frameHeader(640, 480, 9), pixels);
    ASSERT_EQ(stream.size(), 76u * 4096u);
    // 74 data pages: not yet complete.
    for (size_t p = 0; p < 75; ++p) a.processPage(stream.data() + p * 4096);
    EXPECT_EQ(a.queuedFrames(), 0u);
    a.processPage(stream.data() + 75 * 4096);
    ASSERT_EQ(a.queuedFrames(), 1u);
    FrameCacheSlot* s = nullptr;
    ASSERT_TRUE(a.takeFrame(s, 0));
    EXPECT_EQ(s->frameNumber, 9u);
    EXPECT_EQ(s->width, 640);
    EXPECT_EQ(s->height, 480);
    EXPECT_EQ(s->bits, 8);
    EXPECT_EQ(s->pixelKind, 0);
    EXPECT_EQ(s->dataBytes, 640u * 480u);
    EXPECT_EQ(s->data, reinterpret_cast<uint8_t*>(s) + 164 + 0x100000);
    EXPECT_EQ(std::memcmp(s->data, pixels.data(), pixels.size()), 0);
}

TEST(Usb3FrameAssembler, Type2NeedsFourBytesPerPixelAndDoublesTheWidthField) {
    UsbFrameAssembler a;
    ASSERT_TRUE(a.configure(640, 480, 8, 1, 3));
    Bytes pixels = pattern(4 * 640 * 480, 2);
    Bytes stream = sim::SimUsb3Camera::frameBytes(frameHeader(640, 480, 1, 2), pixels);
    // One page short of 4 x 640 x 480 bytes: nothing yet.
    for (size_t off = 0; off + 4096 < stream.size(); off += 4096) a.processPage(stream.data() + off);
    EXPECT_EQ(a.queuedFrames(), 0u);
    a.processPage(stream.data() + stream.size() - 4096);
    FrameCacheSlot* s = nullptr;
    ASSERT_TRUE(a.takeFrame(s, 0));
    EXPECT_EQ(s->width, 1280);
    EXPECT_EQ(s->bits, 14);
    EXPECT_EQ(std::memcmp(s->data, pixels.data(), pixels.size()), 0);
}

TEST(Usb3FrameAssembler, TypesOneThreeAndFourFields) {
    UsbFrameAssembler a;
    ASSERT_TRUE(a.configure(64, 32, 8, 2, 3));
    struct Case {
        uint32_t type;
        size_t factor;
        int widthField;
        int bits;
    } cases[] = {{1, 8, 64 * 4, 12}, {3, 8, 64 * 4, 12}, {4, 2, 64, 14}, {0, 2, 64, 16}, {9, 2, 64, 16}};
    for (const Case& c : cases) {
        // Types 1 and 3 need 8 bytes per pixel: a half-height frame fits the slot.
        const uint16_t h = c.factor == 8 ? 16 : 32;
        Bytes pixels = pattern(c.factor * 64 * h, c.type);
        feed(a, sim::SimUsb3Camera::frameBytes(frameHeader(64, h, c.type, c.type), pixels));
        FrameCacheSlot* s = nullptr;
        ASSERT_TRUE(a.takeFrame(s, 0)) << "type " << c.type;
        EXPECT_EQ(s->width, c.widthField) << "type " << c.type;
        EXPECT_EQ(s->bits, c.bits) << "type " << c.type;
        EXPECT_EQ(std::memcmp(s->data, pixels.data(), pixels.size()), 0);
    }
}

TEST(Usb3FrameAssembler, DataPagesBeforeTheFirstHeaderAreIgnored) {
    UsbFrameAssembler a;
    ASSERT_TRUE(a.configure(64, 64, 8, 1, 3));
    feed(a, pattern(3 * 4096, 3));
    EXPECT_EQ(a.stats().pagesIgnored, 3u);
    Bytes pixels = pattern(64 * 64, 4);
    feed(a, sim::SimUsb3Camera::frameBytes(frameHeader(64, 64, 5), pixels));
    FrameCacheSlot* s = nullptr;
    ASSERT_TRUE(a.takeFrame(s, 0));
    EXPECT_EQ(std::memcmp(s->data, pixels.data(), pixels.size()), 0);
}

TEST(Usb3FrameAssembler, HeaderLargerThanTheSlotIsRejectedNotWrittenPast) {
    UsbFrameAssembler a;
    ASSERT_TRUE(a.configure(64, 64, 8, 1, 3));
    // 64 x 64 x 4 bytes of data area; a 1024 x 1024 frame would run far past it.
    Bytes stream = sim::SimUsb3Camera::frameBytes(frameHeader(1024, 1024, 1), pattern(1024 * 1024, 5));
    feed(a, stream);
    EXPECT_EQ(a.queuedFrames(), 0u);
    EXPECT_EQ(a.stats().framesRejected, 1u);
    // A frame that does fit still comes through afterwards.
    Bytes pixels = pattern(64 * 64, 6);
    feed(a, sim::SimUsb3Camera::frameBytes(frameHeader(64, 64, 2), pixels));
    EXPECT_EQ(a.queuedFrames(), 1u);
}

TEST(Usb3FrameAssembler, PacketCountThatCannotCarryTheFrameIsRejected) {
    UsbFrameAssembler a;
    ASSERT_TRUE(a.configure(64, 64, 8, 1, 3));
    // 64 x 128 bytes take two pages; the header announces one.
    Bytes stream = sim::SimUsb3Camera::frameBytes(frameHeader(64, 128, 1, 0, 1), pattern(64 * 128, 7), true);
    feed(a, stream);
    EXPECT_EQ(a.queuedFrames(), 0u);
    EXPECT_EQ(a.stats().framesRejected, 1u);
}

TEST(Usb3FrameAssembler, FrameMissingAPageIsNeverDeliveredAndTheNextOneIs) {
    UsbFrameAssembler a;
    ASSERT_TRUE(a.configure(64, 64, 8, 1, 3));
    Bytes first = sim::SimUsb3Camera::frameBytes(frameHeader(64, 64, 1), pattern(64 * 64, 8));
    first.erase(first.begin() + 4096, first.begin() + 2 * 4096); // one data page lost
    feed(a, first);
    Bytes pixels = pattern(64 * 64, 9);
    feed(a, sim::SimUsb3Camera::frameBytes(frameHeader(64, 64, 2), pixels));
    FrameCacheSlot* s = nullptr;
    ASSERT_TRUE(a.takeFrame(s, 0));
    EXPECT_EQ(s->frameNumber, 2u);
    EXPECT_EQ(std::memcmp(s->data, pixels.data(), pixels.size()), 0);
    EXPECT_FALSE(a.takeFrame(s, 0));
    EXPECT_EQ(a.stats().framesIncomplete, 1u);
}

TEST(Usb3FrameAssembler, GapAbandonsTheFrameInProgress) {
    UsbFrameAssembler a;
    ASSERT_TRUE(a.configure(64, 64, 8, 1, 3));
    Bytes stream = sim::SimUsb3Camera::frameBytes(frameHeader(128, 64, 1), pattern(128 * 64, 10));
    a.processPage(stream.data());
    a.processPage(stream.data() + 4096);
    a.discontinuity();
    // The rest would otherwise complete it.
    for (size_t off = 2 * 4096; off < stream.size(); off += 4096) a.processPage(stream.data() + off);
    EXPECT_EQ(a.queuedFrames(), 0u);
    EXPECT_EQ(a.stats().framesIncomplete, 1u);
}

TEST(Usb3FrameAssembler, TakesOldestFirstAndStopsFillingWhenAllSlotsAreQueued) {
    UsbFrameAssembler a;
    ASSERT_TRUE(a.configure(64, 64, 8, 1, 3));
    for (uint32_t n = 1; n <= 5; ++n)
        feed(a, sim::SimUsb3Camera::frameBytes(frameHeader(64, 64, n), pattern(64 * 64, n)));
    EXPECT_EQ(a.queuedFrames(), 3u);
    EXPECT_EQ(a.stats().framesNoSlot, 2u);
    FrameCacheSlot* s = nullptr;
    for (uint32_t n = 1; n <= 3; ++n) {
        ASSERT_TRUE(a.takeFrame(s, 0));
        EXPECT_EQ(s->frameNumber, n);
    }
    EXPECT_FALSE(a.takeFrame(s, 0));
}

TEST(Usb3FrameAssembler, TakenSlotIsNotReusedUntilTheNextTake) {
    UsbFrameAssembler a;
    ASSERT_TRUE(a.configure(64, 64, 8, 1, 2));
    Bytes p1 = pattern(64 * 64, 11);
    feed(a, sim::SimUsb3Camera::frameBytes(frameHeader(64, 64, 1), p1));
    FrameCacheSlot* held = nullptr;
    ASSERT_TRUE(a.takeFrame(held, 0));
    // Two more frames: only one slot is free, the held one keeps its data.
    feed(a, sim::SimUsb3Camera::frameBytes(frameHeader(64, 64, 2), pattern(64 * 64, 12)));
    feed(a, sim::SimUsb3Camera::frameBytes(frameHeader(64, 64, 3), pattern(64 * 64, 13)));
    EXPECT_EQ(held->frameNumber, 1u);
    EXPECT_EQ(std::memcmp(held->data, p1.data(), p1.size()), 0);
    FrameCacheSlot* next = nullptr;
    ASSERT_TRUE(a.takeFrame(next, 0));
    EXPECT_EQ(next->frameNumber, 2u);
    EXPECT_NE(next, held);
    EXPECT_EQ(a.freeSlots(), 1u); // the first slot came back with this take
}

TEST(Usb3FrameAssembler, LineModeFrameIsPlacedLineByLine) {
    UsbFrameAssembler a;
    const int w = 16, h = 4;
    ASSERT_TRUE(a.configure(w, h, 8, 1, 3));
    Bytes stream = encodeFrameHeaderPage(frameHeader(w, h, 42, kLineModeImageType));
    Bytes page(4096, 0);
    size_t pos = 0;
    auto word = [&](uint16_t v) {
        if (pos + 2 > page.size()) {
            stream.insert(stream.end(), page.begin(), page.end());
            std::fill(page.begin(), page.end(), 0);
            pos = 0;
        }
        page[pos] = uint8_t(v);
        page[pos + 1] = uint8_t(v >> 8);
        pos += 2;
    };
    Bytes expect(w * h);
    for (int line = 0; line < h; ++line) {
        word(0xC53A);
        word(0xA35C);
        word(0xC53A);
        word(line == 0 ? 2 : (line == h - 1 ? 4 : 3));
        word(0);
        word(0);
        for (int i = 0; i < w / 2; ++i) {
            uint16_t v = uint16_t((line * 37 + i * 5) * 0x0101 + 1);
            expect[size_t(line * w + 2 * i)] = uint8_t(v);
            expect[size_t(line * w + 2 * i + 1)] = uint8_t(v >> 8);
            word(v);
        }
        if (line == 1) {
            // A line with an unknown command is skipped from its command word on.
            word(0xC53A);
            word(0xA35C);
            word(0xC53A);
            word(7);
            word(0xFFFF);
        }
    }
    stream.insert(stream.end(), page.begin(), page.end());
    feed(a, stream);
    FrameCacheSlot* s = nullptr;
    ASSERT_TRUE(a.takeFrame(s, 0));
    EXPECT_EQ(s->imageType, kLineModeImageType);
    EXPECT_EQ(s->frameNumber, 42u);
    EXPECT_EQ(s->width, w);
    EXPECT_EQ(s->height, h);
    EXPECT_EQ(s->data, reinterpret_cast<uint8_t*>(s) + 164 + 10000);
    EXPECT_EQ(std::memcmp(s->data, expect.data(), expect.size()), 0);
}

TEST(Usb3FrameAssembler, LineCrossingAPageCompletesTheFrame) {
    UsbFrameAssembler a;
    const int w = 4096, h = 1; // 2048 words per line: the line runs into the next page
    ASSERT_TRUE(a.configure(w, h, 8, 1, 3));
    Bytes stream = encodeFrameHeaderPage(frameHeader(w, h, 3, kLineModeImageType));
    Bytes body;
    for (uint16_t v : {0xC53A, 0xA35C, 0xC53A, 2, 0, 0}) {
        body.push_back(uint8_t(v));
        body.push_back(uint8_t(v >> 8));
    }
    Bytes pixels = pattern(w, 14);
    body.insert(body.end(), pixels.begin(), pixels.end());
    body.resize(2 * 4096, 0);
    stream.insert(stream.end(), body.begin(), body.end());
    feed(a, stream);
    FrameCacheSlot* s = nullptr;
    ASSERT_TRUE(a.takeFrame(s, 0));
    EXPECT_EQ(std::memcmp(s->data, pixels.data(), pixels.size()), 0);
}

TEST(Usb3FrameAssembler, LineFrameThatWouldOverrunItsBufferIsRefused) {
    UsbFrameAssembler a;
    // 4000 x 2000 bytes of lines do not fit the 4 MiB line frame.
    ASSERT_TRUE(a.configure(4000, 2000, 8, 1, 1));
    Bytes stream = encodeFrameHeaderPage(frameHeader(4000, 2000, 1, kLineModeImageType));
    Bytes line;
    for (int l = 0; l < 1100; ++l) {
        for (uint16_t v : {0xC53A, 0xA35C, 0xC53A, l == 0 ? 2 : 3, 0, 0}) {
            line.push_back(uint8_t(v));
            line.push_back(uint8_t(v >> 8));
        }
        line.resize(line.size() + 4000, 0x11);
    }
    line.resize((line.size() + 4095) / 4096 * 4096, 0);
    stream.insert(stream.end(), line.begin(), line.end());
    feed(a, stream);
    EXPECT_EQ(a.queuedFrames(), 0u);
    EXPECT_GE(a.stats().framesRejected, 1u);
}

TEST(Usb3FrameAssembler, ConfigureRefusesUnusableSizes) {
    UsbFrameAssembler a;
    EXPECT_FALSE(a.configure(0, 10, 8, 1, 3));
    EXPECT_FALSE(a.configure(10, -1, 8, 1, 3));
    EXPECT_FALSE(a.configure(10, 10, 8, 1, 0));
    EXPECT_FALSE(a.configure(60000, 60000, 8, 1, 4)); // far beyond any sensible block
    EXPECT_TRUE(a.configure(10, 10, 8, 1, 3));
}

TEST(Usb3BulkRequest, HeaderInTheMiddleShortensTheNextRequest) {
    const long full = 16 * 4096;
    Bytes data(full, 0);
    // Header at page 4 of a 16-page transfer, frame of 30 data pages: 11 pages follow it here,
    // 19 remain, and 19 pages modulo 16 pages leaves 3 pages.
    UsbFrameHeader h = frameHeader(64, 64, 1, 0, 30);
    Bytes page = encodeFrameHeaderPage(h);
    std::memcpy(data.data() + 4 * 4096, page.data(), 4096);
    EXPECT_EQ(QxUsbDevice::nextRequestLength(data.data(), full, full, full), 3 * 4096);
    // Without a header the request stays whole.
    Bytes none(full, 0);
    EXPECT_EQ(QxUsbDevice::nextRequestLength(none.data(), full, full, full), full);
    // A remainder that is a whole number of requests leaves it whole as well.
    h.packetCount = 11 + 16;
    page = encodeFrameHeaderPage(h);
    std::memcpy(data.data() + 4 * 4096, page.data(), 4096);
    EXPECT_EQ(QxUsbDevice::nextRequestLength(data.data(), full, full, full), full);
}
