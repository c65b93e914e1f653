// File access through the exports: the USB3 file-send protocol as it reaches the camera's
// register protocol, progress reports, refusals, GigE cameras and reading files.
#include "core/base/DeviceBase.h"
#include "core/api/DeviceProxy.h"
#include "core/api/FileAccess.h"
#include "usb3/QxUsb3UserProtocol.h"
#include "TestDevice.h"
#include "core/api/Transports.h"
#include "usb3/UsbLinkWire.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace qx::usb3;

using namespace qx::core::api;

using namespace qx::core::base;

using namespace qxtest;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

// The camera end of the byte channel: answers every 'W' request with 0x06 and keeps the
// messages written whole to the file address; from `refuseFrom` on (a count of messages) it
// answers 0x15 instead.
struct FileCamera {
    Bytes fileStream; // the messages written to 0x100D, one after the other
    std::vector<Bytes> messages;
    size_t otherWrites = 0;
    size_t refuseFrom = SIZE_MAX;
    Bytes pendingReply;

    bool onSend(const uint8_t* bytes, int count) {
        if (count < 4 || bytes[0] != qx::usb3::kRegProtoWrite) return false;
        const uint16_t address = static_cast<uint16_t>((bytes[1] << 8) | bytes[2]);
        if (address != 0x100D) {
            ++otherWrites;
            pendingReply = {0x06};
            return true;
        }
        if (messages.size() >= refuseFrom) {
            pendingReply = {0x15};
            return true;
        }
        fileStream.insert(fileStream.end(), bytes + 3, bytes + count);
        messages.emplace_back(bytes + 3, bytes + count);
        pendingReply = {0x06};
        return true;
    }
    bool onReceive(uint8_t* buffer, int& count) {
        const int n = std::min<int>(count, static_cast<int>(pendingReply.size()));
        if (n > 0) std::memcpy(buffer, pendingReply.data(), size_t(n));
        pendingReply.erase(pendingReply.begin(), pendingReply.begin() + n);
        count = n;
        return n > 0;
    }
};

// A USB3 test camera with the real register protocol over FileCamera.
class ProtocolTestDevice : public TestDevice {
public:
    ProtocolTestDevice(TestDeviceOptions options, FileCamera* camera) : TestDevice(std::move(options)) {
        auto protocol = std::make_unique<QxUsb3UserProtocol>();
        protocol->setTransport([camera](uint8_t* b, int& n) { return camera->onReceive(b, n); },
                               [camera](const uint8_t* b, int n) { return camera->onSend(b, n); });
        setProtocol(std::move(protocol));
    }
};

Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

Bytes header(const std::string& name, uint32_t packCount, uint32_t length) {
    Bytes h{0x01};
    for (size_t i = 0; i < 16; ++i) h.push_back(i < name.size() ? uint8_t(name[i]) : 0);
    append(h, be32(packCount));
    append(h, be32(0));
    append(h, be32(packCount - 1));
    append(h, be32(length));
    return h;
}

Bytes fileBytes(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t((i * 7 + 3) & 0xFF);
    return b;
}

// The whole wire stream of a transfer, built independently of the library.
Bytes expectedStream(const std::string& name, const Bytes& file) {
    const uint32_t count = uint32_t((file.size() + 229) / 230);
    Bytes out = header(name, count, uint32_t(file.size()));
    for (uint32_t k = 0; k < count; ++k) {
        const bool last = k + 1 == count;
        Bytes p{uint8_t(last ? 0x03 : 0x02)};
        append(p, be32(k));
        const size_t from = size_t(k) * 230;
        const size_t to = last ? file.size() : from + 230;
        p.insert(p.end(), file.begin() + long(from), file.begin() + long(to));
        append(out, p);
    }
    out.push_back(0x04);
    return out;
}

struct ProgressLog {
    std::vector<int64_t> values;
    static void callback(int64_t* value, void* user) { static_cast<ProgressLog*>(user)->values.push_back(*value); }
};

class FileAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        qx::core::api::TransportHooks hooks = qx::core::api::transportHooks();
        hooks.makeUsb3 = [this](const DeviceInfo&) -> std::unique_ptr<DeviceBase> {
            return std::make_unique<ProtocolTestDevice>(TestDeviceOptions{}, &camera);
        };
        scope = std::make_unique<qx::core::api::ScopedTransportHooks>(std::move(hooks));
        DeviceInfo usb = makeUsb3Info("U3File", "usb:file-1", 0);
        ASSERT_EQ(QX_CreateDevice(&usbHandle, &usb), QX_OK);
        dir = fs::temp_directory_path() / ("qxcam-file-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        EXPECT_EQ(QX_DeleteDevice(usbHandle), QX_OK);
        scope.reset();
        fs::remove_all(dir);
    }
    std::string writeLocal(const std::string& leaf, const Bytes& content) {
        const fs::path p = dir / leaf;
        std::ofstream out(p, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
        return p.string();
    }
    QX_STATUS send(const std::string& local, const char* name, std::string* printed = nullptr) {
        FileAccessParam param{local.c_str(), name};
        ::testing::internal::CaptureStdout();
        const QX_STATUS status = QX_FileAccessWrite(usbHandle, &param);
        const std::string out = ::testing::internal::GetCapturedStdout();
        if (printed) *printed = out;
        return status;
    }

    TestTransport transport; // GigE handles: TestDevice without a register protocol
    FileCamera camera;
    std::unique_ptr<qx::core::api::ScopedTransportHooks> scope;
    QX_DEV_HANDLE usbHandle = nullptr;
    fs::path dir;
};

// An empty file has no packet, so its header could only name packet -1 (0xFFFFFFFF) as the
// last one: it is refused before anything is sent.
TEST_F(FileAccessTest, EmptyFileIsRefusedWithNothingSent) {
    const std::string local = writeLocal("empty.bin", {});
    ProgressLog progress;
    ASSERT_EQ(QX_RegisterFileAccessProgress(usbHandle, &ProgressLog::callback, &progress), QX_OK);
    std::string printed;
    EXPECT_EQ(send(local, "cfg", &printed), QX_ERR_GENERAL);
    EXPECT_TRUE(camera.messages.empty());
    EXPECT_TRUE(camera.fileStream.empty());
    EXPECT_EQ(printed, "CMD_SENDFILE empty file refused!\r\n");
    EXPECT_TRUE(progress.values.empty());
}

TEST_F(FileAccessTest, FileOfExactlyOnePacket) {
    const Bytes file = fileBytes(230);
    const std::string local = writeLocal("one.bin", file);
    ProgressLog progress;
    ASSERT_EQ(QX_RegisterFileAccessProgress(usbHandle, &ProgressLog::callback, &progress), QX_OK);
    std::string printed;
    ASSERT_EQ(send(local, "firmware.bin", &printed), QX_OK);
    EXPECT_EQ(camera.fileStream, expectedStream("firmware.bin", file));
    // The one packet is the last: type 0x03, packNum 0, all 230 bytes.
    const size_t packet = 33;
    EXPECT_EQ(camera.fileStream[packet], 0x03);
    EXPECT_EQ(Bytes(camera.fileStream.begin() + packet + 1, camera.fileStream.begin() + packet + 5), be32(0));
    EXPECT_EQ(Bytes(camera.fileStream.begin() + packet + 5, camera.fileStream.begin() + packet + 235), file);
    EXPECT_EQ(printed, "@@@@:SendFile:firmware.bin,Length=230\r\n"
                       "@@@@:SendHead:packCount=1,startPackNum=0,endPackNum=0\r\n"
                       "@@@@:SendPack:packNum=0\r\n"
                       "@@@@:SendEnd\r\n");
    // Only what the camera acknowledged: nothing after the header, the packet after it.
    EXPECT_EQ(progress.values, (std::vector<int64_t>{0, 230, 230}));
}

TEST_F(FileAccessTest, FileOneByteLongerThanAPacket) {
    const Bytes file = fileBytes(231);
    const std::string local = writeLocal("two.bin", file);
    ProgressLog progress;
    ASSERT_EQ(QX_RegisterFileAccessProgress(usbHandle, &ProgressLog::callback, &progress), QX_OK);
    ASSERT_EQ(send(local, "abc"), QX_OK);
    const Bytes stream = camera.fileStream;
    EXPECT_EQ(stream, expectedStream("abc", file));
    // Header: name followed by 13 zero bytes, packCount 2, endPackNum 1, length 231 (big-endian).
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 33),
              (Bytes{0x01, 'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,
                     0,    0,   0,   2,   0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 231}));
    // First packet: 0x02, packNum 0, 230 bytes; second: 0x03, packNum 1, the one byte left.
    const size_t p0 = 33, p1 = 33 + 235;
    EXPECT_EQ(stream[p0], 0x02);
    EXPECT_EQ(stream[p1], 0x03);
    EXPECT_EQ(Bytes(stream.begin() + p1 + 1, stream.begin() + p1 + 5), be32(1));
    EXPECT_EQ(stream[p1 + 5], file[230]);
    EXPECT_EQ(stream.size(), 33u + 235u + 6u + 1u);
    ASSERT_EQ(camera.messages.size(), 4u);
    EXPECT_EQ(camera.messages[2].size(), 6u);
    EXPECT_EQ(camera.messages[3], (Bytes{0x04}));
    EXPECT_EQ(progress.values, (std::vector<int64_t>{0, 230, 231, 231}));
}

TEST_F(FileAccessTest, TwoFullPacketsAndTheirProgress) {
    const Bytes file = fileBytes(460);
    const std::string local = writeLocal("460.bin", file);
    ProgressLog progress;
    ASSERT_EQ(QX_RegisterFileAccessProgress(usbHandle, &ProgressLog::callback, &progress), QX_OK);
    std::string printed;
    ASSERT_EQ(send(local, "x", &printed), QX_OK);
    EXPECT_EQ(camera.fileStream, expectedStream("x", file));
    EXPECT_EQ(progress.values, (std::vector<int64_t>{0, 230, 460, 460}));
    EXPECT_NE(printed.find("@@@@:SendPack:packNum=1\r\n"), std::string::npos);
    // A callback set to null stops the reports.
    ASSERT_EQ(QX_RegisterFileAccessProgress(usbHandle, nullptr, nullptr), QX_OK);
    camera.fileStream.clear();
    ASSERT_EQ(send(local, "x"), QX_OK);
    EXPECT_EQ(progress.values.size(), 4u);
    EXPECT_EQ(camera.fileStream, expectedStream("x", file));
}

TEST_F(FileAccessTest, LongNamesAreCutToSixteenBytesWithoutTerminator) {
    const Bytes file = fileBytes(10);
    const std::string local = writeLocal("n.bin", file);
    ASSERT_EQ(send(local, "abcdefghijklmnopqrst"), QX_OK);
    EXPECT_EQ(Bytes(camera.fileStream.begin() + 1, camera.fileStream.begin() + 17),
              Bytes({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p'}));
    EXPECT_EQ(camera.fileStream, expectedStream("abcdefghijklmnop", file));
    camera.fileStream.clear();
    ASSERT_EQ(send(local, "0123456789ABCDEF"), QX_OK);
    EXPECT_EQ(camera.fileStream, expectedStream("0123456789ABCDEF", file));
    EXPECT_EQ(camera.fileStream[17], 0x00); // packCount's high byte follows at once
}

TEST_F(FileAccessTest, RefusedHeaderPacketAndEndMark) {
    const Bytes file = fileBytes(460);
    const std::string local = writeLocal("r.bin", file);
    ProgressLog progress;
    ASSERT_EQ(QX_RegisterFileAccessProgress(usbHandle, &ProgressLog::callback, &progress), QX_OK);
    std::string printed;

    camera.refuseFrom = 0; // the header
    EXPECT_EQ(send(local, "f", &printed), QX_ERR_GENERAL);
    EXPECT_NE(printed.find("CMD_SENDFILE send SOH faild!\r\n"), std::string::npos);
    EXPECT_EQ(printed.find("@@@@:SendPack"), std::string::npos);
    EXPECT_TRUE(progress.values.empty());

    camera = FileCamera{};
    camera.refuseFrom = 2; // the second packet
    EXPECT_EQ(send(local, "f", &printed), QX_ERR_GENERAL);
    EXPECT_NE(printed.find("CMD_SENDFILE send STX faild!\r\n"), std::string::npos);
    EXPECT_EQ(printed.find("@@@@:SendEnd"), std::string::npos);
    // Only the first packet was acknowledged: the progress never ran ahead of it.
    EXPECT_EQ(progress.values, (std::vector<int64_t>{0, 230}));

    camera = FileCamera{};
    progress.values.clear();
    camera.refuseFrom = 3; // the end mark
    EXPECT_EQ(send(local, "f", &printed), QX_ERR_GENERAL);
    EXPECT_NE(printed.find("@@@@:SendEnd\r\nCMD_SENDFILE send EOT faild!\r\n"), std::string::npos);
    EXPECT_EQ(progress.values, (std::vector<int64_t>{0, 230, 460})); // no final report
}

TEST_F(FileAccessTest, ArgumentAndFileFailures) {
    EXPECT_EQ(QX_FileAccessWrite(usbHandle, nullptr), QX_ERR_INVALID_PARAM);
    const std::string local = writeLocal("a.bin", fileBytes(5));
    FileAccessParam noPath{nullptr, "a"};
    EXPECT_EQ(QX_FileAccessWrite(usbHandle, &noPath), QX_ERR_GENERAL);
    FileAccessParam noName{local.c_str(), nullptr};
    EXPECT_EQ(QX_FileAccessWrite(usbHandle, &noName), QX_ERR_GENERAL);
    EXPECT_EQ(send((dir / "missing.bin").string(), "a"), QX_ERR_GENERAL);
    // A directory opens but cannot be read as a file: refused, not reported as sent.
    EXPECT_EQ(send(dir.string(), "a"), QX_ERR_GENERAL);
    EXPECT_TRUE(camera.fileStream.empty());
    int dummy = 0;
    EXPECT_EQ(QX_FileAccessWrite(reinterpret_cast<QX_DEV_HANDLE>(&dummy), &noPath), QX_ERR_INVALID_HANDLE);
    EXPECT_EQ(QX_RegisterFileAccessProgress(reinterpret_cast<QX_DEV_HANDLE>(&dummy), nullptr, nullptr),
              QX_ERR_INVALID_HANDLE);
}

TEST_F(FileAccessTest, FilesBeyondThirtyTwoBitLengthsAreRefused) {
    // The header carries the length in 32 bits: a file of 4 GiB + 1 byte is not cut to 1 byte.
    const fs::path big = dir / "big.bin";
    { std::ofstream touch(big, std::ios::binary); }
    std::error_code ec;
    fs::resize_file(big, (uint64_t(1) << 32) + 1, ec); // sparse
    if (ec) GTEST_SKIP() << "no sparse 4 GiB file here: " << ec.message();
    std::string printed;
    EXPECT_EQ(send(big.string(), "big", &printed), QX_ERR_GENERAL);
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(camera.fileStream.empty());
}

TEST_F(FileAccessTest, ReadingFilesIsNotSupported) {
    FileAccessParam param{"/nonexistent", "a"};
    EXPECT_EQ(QX_FileAccessRead(usbHandle, nullptr), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_FileAccessRead(usbHandle, &param), QX_ERR_GENERAL);
    DeviceInfo gige = makeGigeInfo("GFile", "G1", 0x0A000001, 0x0A000002);
    QX_DEV_HANDLE g = nullptr;
    ASSERT_EQ(QX_CreateDevice(&g, &gige), QX_OK);
    EXPECT_EQ(QX_FileAccessRead(g, &param), QX_ERR_GENERAL);
    EXPECT_EQ(QX_DeleteDevice(g), QX_OK);
}

TEST_F(FileAccessTest, GigeCamerasTakeNoFiles) {
    DeviceInfo gige = makeGigeInfo("GFile", "G2", 0x0A000003, 0x0A000002);
    QX_DEV_HANDLE g = nullptr;
    ASSERT_EQ(QX_CreateDevice(&g, &gige), QX_OK);
    ProgressLog progress;
    EXPECT_EQ(QX_RegisterFileAccessProgress(g, &ProgressLog::callback, &progress), QX_OK);
    const std::string local = writeLocal("g.bin", fileBytes(300));
    FileAccessParam param{local.c_str(), "g"};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(QX_FileAccessWrite(g, &param), QX_ERR_GENERAL);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(progress.values.empty());
    // The file was read before the camera refused it (a handle is its DeviceProxy).
    FileAccessBase* access = reinterpret_cast<DeviceProxy*>(g)->fileAccess();
    ASSERT_NE(access, nullptr);
    EXPECT_NE(dynamic_cast<GigeFileAccess*>(access), nullptr);
    EXPECT_EQ(access->total(), 300u);
    EXPECT_EQ(QX_DeleteDevice(g), QX_OK);
}

TEST_F(FileAccessTest, Usb3CameraWithoutRegisterProtocol) {
    // A USB3 camera object without a protocol (the plain test camera).
    scope.reset();
    DeviceInfo usb = makeUsb3Info("U3Bare", "usb:file-2", 1);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &usb), QX_OK);
    const std::string local = writeLocal("b.bin", fileBytes(3));
    FileAccessParam param{local.c_str(), "b"};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(QX_FileAccessWrite(h, &param), QX_ERR_GENERAL);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "CMD_SENDFILE m_cpl is null!\r\n");
    EXPECT_EQ(QX_DeleteDevice(h), QX_OK);
}

TEST(FileAccessObjects, BaseClassSendsNothingAndSendFileWritesTheSameMessages) {
    FileAccessBase base;
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_FALSE(base.sendFileWithProgress("a", data, 3));
    EXPECT_FALSE(base.sendFile("a", data, 3));
    EXPECT_EQ(base.readFile(), QX_ERR_GENERAL);
    GigeFileAccess gige;
    EXPECT_FALSE(gige.sendFile("a", data, 3));

    EXPECT_EQ(QxUsb3FileAccess::packCount(0), 0u);
    EXPECT_EQ(QxUsb3FileAccess::packCount(230), 1u);
    EXPECT_EQ(QxUsb3FileAccess::packCount(231), 2u);
    EXPECT_EQ(QxUsb3FileAccess::packCount(0xFFFFFFFFu), 18673771u);
    EXPECT_EQ(QxUsb3FileAccess::headerMessage("abc", 231), header("abc", 2, 231));

    // sendFile: the same messages, no progress.
    FileCamera cam;
    QxUsb3UserProtocol protocol;
    protocol.setTransport([&](uint8_t* b, int& n) { return cam.onReceive(b, n); },
                          [&](const uint8_t* b, int n) { return cam.onSend(b, n); });
    QxUsb3FileAccess access(&protocol);
    ProgressLog progress;
    access.registerProgressCallback(&ProgressLog::callback, &progress);
    const Bytes file = fileBytes(500);
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(access.sendFile("s", file.data(), uint32_t(file.size())));
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(cam.fileStream, expectedStream("s", file));
    EXPECT_TRUE(progress.values.empty());
}

} // namespace
