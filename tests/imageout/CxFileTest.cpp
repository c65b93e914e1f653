// Memory and FILE streams.
#include <cstring>
#include <vector>

#include "imageout/CxFile.h"
#include "ImageOutTestSupport.h"

using namespace qx::imageout;

TEST(CxMemFile, OpenedStreamGrowsIn64KiBSteps) {
    CxMemFile mem;
    EXPECT_EQ(mem.Size(), -1);
    EXPECT_EQ(mem.Tell(), -1);
    EXPECT_TRUE(mem.AtEnd());
    EXPECT_EQ(mem.HasError(), -1);
    ASSERT_TRUE(mem.Open());
    EXPECT_FALSE(mem.Open()); // a buffer already exists
    EXPECT_EQ(mem.Size(), 0);
    EXPECT_TRUE(mem.PutByte(0x42));
    EXPECT_EQ(mem.Size(), 1);
    std::vector<uint8_t> block(65536, 7);
    EXPECT_EQ(mem.Write(block.data(), 1, block.size()), block.size());
    EXPECT_EQ(mem.Size(), 65537);
    EXPECT_EQ(mem.DataSize(), 65537u);
    const uint8_t* data = mem.GetBuffer(false);
    EXPECT_EQ(data[0], 0x42);
    EXPECT_EQ(data[65536], 7);
}

TEST(CxMemFile, CapacitySteps) {
    // The capacity is not observable directly: the growth rule is checked through the
    // addresses a caller's buffer is copied away to, and through the sizes written.
    CxMemFile mem;
    ASSERT_TRUE(mem.Open());
    EXPECT_EQ(mem.Write("x", 1, 1), 1u);
    uint8_t* first = mem.GetBuffer(false);
    std::vector<uint8_t> more(65535, 1);
    EXPECT_EQ(mem.Write(more.data(), 1, more.size()), more.size()); // 65536 in all: still fits
    EXPECT_EQ(mem.GetBuffer(false), first);
    EXPECT_EQ(mem.Size(), 65536);
}

TEST(CxMemFile, ShortReadSetsEndAndCountsWholeItems) {
    uint8_t data[6] = {1, 2, 3, 4, 5, 6};
    CxMemFile mem(data, sizeof(data));
    uint32_t out[10] = {};
    EXPECT_EQ(mem.Read(out, 4, 10), 1u);
    EXPECT_TRUE(mem.AtEnd());
    uint8_t bytes[6];
    std::memcpy(bytes, out, 6);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 6), std::vector<uint8_t>(data, data + 6));
    EXPECT_TRUE(mem.Seek(0, SEEK_SET));
    EXPECT_FALSE(mem.AtEnd());
    EXPECT_EQ(mem.GetByte(), 1);
}

TEST(CxMemFile, SeekClampsAndGapsAreZero) {
    CxMemFile mem;
    ASSERT_TRUE(mem.Open());
    EXPECT_TRUE(mem.Seek(-5, SEEK_SET));
    EXPECT_EQ(mem.Tell(), 0);
    EXPECT_FALSE(mem.Seek(0, 7));
    EXPECT_TRUE(mem.Seek(4, SEEK_CUR));
    EXPECT_EQ(mem.HasError(), 1); // position beyond the size
    EXPECT_TRUE(mem.PutByte(9));
    EXPECT_EQ(mem.Size(), 5);
    const uint8_t* b = mem.GetBuffer(false);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 5), (std::vector<uint8_t>{0, 0, 0, 0, 9}));
    EXPECT_TRUE(mem.Seek(-2, SEEK_END));
    EXPECT_EQ(mem.Tell(), 3);
    EXPECT_TRUE(mem.Seek(0, SEEK_SET));
    EXPECT_TRUE(mem.PutByte(1));
    EXPECT_EQ(mem.Size(), 5); // a write never moves the size backwards
}

TEST(CxMemFile, CallersBufferIsCopiedNotReallocated) {
    uint8_t data[4] = {1, 2, 3, 4};
    {
        CxMemFile mem(data, sizeof(data));
        EXPECT_TRUE(mem.Seek(0, SEEK_END));
        EXPECT_EQ(mem.Write("\x05", 1, 1), 1u);
        EXPECT_NE(mem.GetBuffer(false), data);
        const uint8_t* b = mem.GetBuffer(false);
        EXPECT_EQ(std::vector<uint8_t>(b, b + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    }
    EXPECT_EQ(data[0], 1); // the caller's buffer is untouched and was not freed
}

TEST(CxMemFile, DetachGivesUpOwnership) {
    uint8_t* detached;
    {
        CxMemFile mem;
        ASSERT_TRUE(mem.Open());
        mem.Write("abc", 1, 3);
        detached = mem.GetBuffer(true);
    }
    EXPECT_EQ(std::memcmp(detached, "abc", 3), 0);
    std::free(detached);
}

TEST(CxMemFile, GetLine) {
    uint8_t text[] = {'a', 'b', '\n', 'c', 'd', 'e'};
    CxMemFile mem(text, sizeof(text));
    char line[16];
    ASSERT_NE(mem.GetLine(line, sizeof(line)), nullptr);
    EXPECT_STREQ(line, "ab\n");
    ASSERT_NE(mem.GetLine(line, 3), nullptr);
    EXPECT_STREQ(line, "cd");
    ASSERT_NE(mem.GetLine(line, sizeof(line)), nullptr);
    EXPECT_STREQ(line, "e");
    EXPECT_EQ(mem.GetLine(line, sizeof(line)), nullptr);
    EXPECT_EQ(mem.ScanFormat("%d", nullptr, nullptr), 0);
}

TEST(CxIOFile, WithoutFile) {
    CxIOFile io;
    EXPECT_EQ(io.Tell(), 0);
    EXPECT_TRUE(io.AtEnd());
    EXPECT_EQ(io.HasError(), -1);
    EXPECT_EQ(io.GetByte(), -1);
    EXPECT_EQ(io.ScanFormat("%d", nullptr, nullptr), -1);
    EXPECT_EQ(io.Write("x", 1, 1), 0u);
    EXPECT_TRUE(io.Close());
}

TEST(CxIOFile, WritesSeeksAndSizes) {
    qxtest::ScratchDir dir;
    const std::string path = dir.file("io.bin");
    {
        CxIOFile io;
        ASSERT_TRUE(io.Open(path.c_str(), "w+b"));
        EXPECT_EQ(io.Write("hello", 1, 5), 5u);
        EXPECT_TRUE(io.PutByte('!'));
        EXPECT_EQ(io.Size(), 6);
        EXPECT_EQ(io.Tell(), 6);
        EXPECT_TRUE(io.Seek(0, SEEK_SET));
        EXPECT_EQ(io.GetByte(), 'h');
        EXPECT_TRUE(io.Close());
    }
    EXPECT_EQ(qxtest::readFile(path), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '!'}));
}

TEST(CxIOFile, FailedCloseIsReported) {
    CxIOFile io;
    ASSERT_TRUE(io.Open("/dev/full", "wb"));
    EXPECT_EQ(io.Write("abc", 1, 3), 3u); // buffered
    EXPECT_FALSE(io.Close());
}
