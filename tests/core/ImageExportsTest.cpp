// The image-output exports reach the converter, the handle's saver and its recorder.
#include "LogCapture.h"
#include "TestDevice.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

using namespace qxtest;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class ImageExportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        DeviceInfo info = makeGigeInfo("Img", "I1", 1, 2);
        ASSERT_EQ(QX_CreateDevice(&handle, &info), QX_OK);
        dir = fs::temp_directory_path() / ("qxcam-img-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        EXPECT_EQ(QX_DeleteDevice(handle), QX_OK);
        fs::remove_all(dir);
    }
    TestTransport transport;
    QX_DEV_HANDLE handle = nullptr;
    fs::path dir;
};

TEST_F(ImageExportsTest, ConvertPixelFormatThroughTheExport) {
    LogCapture log;
    // Mono16 little-endian words to Mono8 keep the high byte.
    const uint8_t src[] = {0x00, 0x12, 0xFF, 0xAB, 0x34, 0x00, 0x00, 0xFF};
    uint8_t dst[4] = {};
    ConvertParam c{};
    c.nWidth = 4;
    c.nHeight = 1;
    c.enSrcPixelType = QX_PIXEL_MONO16;
    c.pSrcData = src;
    c.nSrcDataLen = sizeof src;
    c.enDstPixelType = QX_PIXEL_MONO8;
    c.pDstData = dst;
    c.nDstDataSize = sizeof dst;
    ASSERT_EQ(QX_ConvertPixelFormat(handle, &c), QX_OK);
    EXPECT_EQ(c.nDstDataLen, 4u);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 4), (std::vector<uint8_t>{0x12, 0xAB, 0x00, 0xFF}));
    LogLine start{};
    ASSERT_TRUE(log.find("func:QX_ConvertPixelFormat start", &start));
    EXPECT_EQ(start.level, spdlog::level::trace);
    EXPECT_TRUE(log.find("nHeight=1, nWidth=4, enSrcPixelType=0x1100007, nSrcDataLen=8"));
    // A destination too small is refused by the converter, never overrun.
    c.nDstDataSize = 3;
    EXPECT_NE(QX_ConvertPixelFormat(handle, &c), QX_OK);
}

TEST_F(ImageExportsTest, SaveRawImageWithItsHeader) {
    std::vector<uint8_t> pixels(6 * 2);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7);
    SaveFileParam s{};
    s.nPixelFormat = QX_PIXEL_MONO8;
    s.pData = pixels.data();
    s.nDataLen = static_cast<uint32_t>(pixels.size());
    s.nWidth = 6;
    s.nHeight = 2;
    s.enImageType = QX_IMAGE_RAW;
    s.bRawHeaderEnabled = true;
    const fs::path file = dir / "frame.raw";
    std::strncpy(s.pImagePath, file.c_str(), sizeof s.pImagePath - 1);
    ASSERT_EQ(QX_SaveImageToFile(handle, &s), QX_OK);
    const std::vector<uint8_t> bytes = readAll(file);
    ASSERT_EQ(bytes.size(), 18u + pixels.size());
    const std::vector<uint8_t> header(bytes.begin(), bytes.begin() + 18);
    EXPECT_EQ(header, (std::vector<uint8_t>{0x01, 0x08, 0x01, 0x08, 0x00, 0x01, 0, 0, 0, 6, 0, 0, 0, 2, 0, 0, 0, 12}));
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), bytes.begin() + 18));

    s.enImageType = QX_IMAGE_BMP;
    const fs::path bmp = dir / "frame.bmp";
    std::strncpy(s.pImagePath, bmp.c_str(), sizeof s.pImagePath - 1);
    ASSERT_EQ(QX_SaveImageToFile(handle, &s), QX_OK);
    const std::vector<uint8_t> b = readAll(bmp);
    ASSERT_GE(b.size(), 2u);
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
}

TEST_F(ImageExportsTest, RawRecordingThroughTheExports) {
    const fs::path file = dir / "rec.raw";
    const std::string path = file.string();
    RecordParam r{};
    r.enPixelType = QX_PIXEL_MONO8;
    r.nWidth = 4;
    r.nHeight = 2;
    r.nBpp = 8;
    r.fFrameRate = 25.0f;
    r.enRecordFmtType = QX_RECORD_RAW;
    r.strFilePath = path.c_str();
    r.bRawHeaderEnabled = false;
    ASSERT_EQ(QX_StartRecord(handle, &r), QX_OK);
    EXPECT_EQ(QX_StartRecord(handle, &r), QX_ERR_WRONG_STATE);
    std::vector<uint8_t> expected;
    for (uint8_t f = 0; f < 3; ++f) {
        std::vector<uint8_t> frame(8, f);
        RecordFrameInfo info{frame.data(), static_cast<uint32_t>(frame.size())};
        ASSERT_EQ(QX_RecordFrame(handle, &info), QX_OK);
        expected.insert(expected.end(), frame.begin(), frame.end());
    }
    ASSERT_EQ(QX_StopRecord(handle), QX_OK);
    std::vector<uint8_t> written;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::vector<uint8_t> b = readAll(entry.path());
        written.insert(written.end(), b.begin(), b.end());
    }
    EXPECT_EQ(written, expected);
}

TEST_F(ImageExportsTest, StopRecordOnAHandleThatNeverRecorded) {
    LogCapture log;
    const QX_STATUS s = QX_StopRecord(handle);
    EXPECT_TRUE(log.find("func:QX_StopRecord end"));
    EXPECT_TRUE(s == QX_OK || s == QX_ERR_WRONG_STATE) << std::hex << s;
}

} // namespace
