// The GigE camera class through the QX_ exports: simulated GigE Vision devices on 127.0.0.0/8
// are discovered, connected (XML fetched from their memory, node map built), read and written,
// stream images, go silent, and take their settings. Runs only inside the private network
// namespace of tests/run-in-netns.sh.
#include "QxCamApi.h"

#include "core/api/DeviceProxy.h"
#include "gige/GevLib.h"
#include "gige/device/GigeDevice.h"
#include "LogCapture.h"
#include "Loopback.h"
#include "SimGevDevice.h"
#include "SimGigeCamera.h"
#include "SimGvspSender.h"
#include "StreamTestConstants.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace qx::gige::device;

using namespace qx::core::api;

namespace {

using qx::fixture::SimBlockOptions;
using qx::fixture::SimGevConfig;
using qx::fixture::SimGevDevice;
using qx::fixture::SimGvspSender;

constexpr uint16_t kGvcpPort = 39571;
constexpr uint32_t kWidth = 64;
constexpr uint32_t kHeight = 48;
using qx::fixture::kMono8;
constexpr uint32_t kMono16 = QX_PIXEL_MONO16;

using namespace qx::fixture::simcam;

// A small description of the simulated camera; every register node names the port
// "ConnectorDevice", which the connect rewrites to "Device". kConnectorPorts counts them.
constexpr int kConnectorPorts = 12;
std::string cameraXml(const std::vector<std::string>& formats = {"Mono8", "Mono16"}) {
    const char* port = "ConnectorDevice";
    std::string x = xmlOpening("SimCam", 1);
    x += xmlIntReg("Width", kWidthReg, "RW", port);
    x += xmlIntReg("Height", kHeightReg, "RW", port);
    x += xmlIntReg("PayloadSize", kPayloadReg, "RO", port);
    x += xmlIntReg("TLParamsLocked", kTlLockedReg, "RW", port);
    x += xmlIntReg("GevHeartbeatTimeout", 0x0938, "RW", port);
    x += xmlIntReg("AcquisitionStartReg", kAcqStartReg, "WO", port);
    x += xmlIntReg("AcquisitionStopReg", kAcqStopReg, "WO", port);
    x += xmlIntReg("PixelFormatReg", kPixelFormatReg, "RW", port);
    x += xmlIntReg("TriggerModeReg", kTriggerReg, "RW", port);
    x += xmlStreamChannel(port);
    x += xmlPixelFormat(formats);
    x += xmlAcquisitionControl();
    x += xmlClosing(port);
    return x;
}

size_t countOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + needle.size())) ++n;
    return n;
}

// A simulated camera with the description above and the feature registers behind it.
std::unique_ptr<SimGevDevice> makeCamera(const std::string& ip, const std::string& serial, uint32_t capability = 0,
                                         uint32_t testPacketMtu = 1500) {
    SimGevConfig c;
    c.testPacketMtu = testPacketMtu;
    c.ip = ip;
    c.port = kGvcpPort;
    c.listenBroadcast = true;
    c.serialNumber = serial;
    c.mac[5] = static_cast<uint8_t>(std::stoi(ip.substr(ip.rfind('.') + 1)));
    c.capability |= capability;
    auto d = std::make_unique<SimGevDevice>(c);
    d->mapRegion(kFeatureBase, 0x100);
    d->setRegister(kWidthReg, kWidth);
    d->setRegister(kHeightReg, kHeight);
    d->setRegister(kPixelFormatReg, kMono8);
    d->setRegister(kPayloadReg, kWidth * kHeight);
    d->setRegister(kTriggerReg, 0);
    const std::string xml = cameraXml();
    d->placeXml(kXmlAddress, std::vector<uint8_t>(xml.begin(), xml.end()), "SimCam.xml");
    EXPECT_TRUE(d->start()) << ip;
    return d;
}

// A record as enumeration makes it, for a camera at `ip` (host order) on the loopback.
DeviceInfo recordFor(uint32_t ipHost, const char* serial) {
    DeviceInfo info{};
    std::snprintf(info.strModelName, sizeof info.strModelName, "SimCam");
    std::snprintf(info.strSerialNumber, sizeof info.strSerialNumber, "%s", serial);
    info.nTLayerType = QX_TLAYER_GIGE;
    info.nAccessStatus = QX_ACCESS_STATUS_AVAILABLE;
    info.u.stGigeInfo.nIP = ipHost;
    info.u.stGigeInfo.nSubNetMask = 0xFF000000u;
    info.u.stGigeInfo.nAdapterIP = 0x7F000001u;
    info.u.stGigeInfo.nAdapterMask = 0xFF000000u;
    std::snprintf(info.u.stGigeInfo.strAdapterName, sizeof info.u.stGigeInfo.strAdapterName, "lo");
    const uint8_t mac[6] = {0x00, 0x0F, 0x31, 0x00, 0x00, static_cast<uint8_t>(ipHost & 0xFF)};
    std::memcpy(info.u.stGigeInfo.arrMacAddr, mac, sizeof mac);
    return info;
}

GigeDevice* gigeOf(QX_DEV_HANDLE h) { return dynamic_cast<GigeDevice*>(static_cast<DeviceProxy*>(h)->getDevice()); }

class GigeDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qx::fixture::inPrivateNetns()) GTEST_SKIP() << "runs only inside tests/run-in-netns.sh";
        GevLibraryOptions o;
        o.DeviceGvcpPort = kGvcpPort;
        o.AccessProbeFirstTimeoutMs = 20;
        o.ForceIpWaitMs = 300;
        o.AdapterProvider = &qx::fixture::loopbackAdapters;
        GEVSetLibraryOptions(&o);
    }
    void TearDown() override {
        for (QX_DEV_HANDLE h : m_handles) {
            QX_DisconnectDevice(h);
            QX_DeleteDevice(h);
        }
        GEVSetLibraryOptions(nullptr);
    }

    QX_DEV_HANDLE create(const DeviceInfo& info) {
        QX_DEV_HANDLE h = nullptr;
        DeviceInfo copy = info;
        EXPECT_EQ(QX_CreateDevice(&h, &copy), QX_OK);
        if (h) m_handles.push_back(h);
        return h;
    }
    void forget(QX_DEV_HANDLE h) {
        for (auto it = m_handles.begin(); it != m_handles.end(); ++it)
            if (*it == h) {
                m_handles.erase(it);
                return;
            }
    }

    std::vector<QX_DEV_HANDLE> m_handles;
};

TEST_F(GigeDeviceTest, EnumerateConnectFeaturesMemoryDisconnect) {
    auto cam = makeCamera("127.0.0.21", "GD-21");
    auto list = std::make_unique<DeviceList>();
    ASSERT_EQ(QX_EnumDevices(list.get(), 3, 300), QX_OK);
    ASSERT_EQ(list->nDevNum, 1u);
    const DeviceInfo* found = list->pDevInfo[0];
    EXPECT_EQ(found->nTLayerType, QX_TLAYER_GIGE);
    EXPECT_EQ(found->u.stGigeInfo.nIP, 0x7F000015u);
    EXPECT_STREQ(found->strSerialNumber, "GD-21");

    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, list->pDevInfo[0]), QX_OK);
    m_handles.push_back(h);
    ASSERT_NE(gigeOf(h), nullptr) << "a GigE record makes a GigE camera";
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    EXPECT_NE(gigeOf(h)->cameraId(), 0);
    EXPECT_TRUE(cam->heldByHost());
    bool connected = false;
    ASSERT_EQ(QX_GetConnectionStatus(h, &connected), QX_OK);
    EXPECT_TRUE(connected);

    // The description comes from the camera's memory, its connector port renamed.
    const std::string original = cameraXml();
    uint32_t size = 0;
    ASSERT_EQ(QX_XML_GetGenICamXMLSize(h, &size), QX_OK);
    EXPECT_EQ(size, original.size() - 9u * kConnectorPorts);
    std::vector<char> xml(size + 1);
    ASSERT_EQ(QX_XML_GetGenICamXML(h, xml.data(), size + 1), QX_OK);
    const std::string got(xml.data(), size);
    EXPECT_EQ(countOf(got, "ConnectorDevice"), 0u);
    EXPECT_EQ(countOf(got, "<pPort>Device</pPort>"), static_cast<size_t>(kConnectorPorts - 1));
    EXPECT_EQ(countOf(got, "<Port Name=\"Device\" NameSpace=\"Standard\">"), 1u);

    // Features reach the camera's registers.
    IntValueInfo width{};
    ASSERT_EQ(QX_XML_GetIntValue(h, "Width", &width), QX_OK);
    EXPECT_EQ(width.nValue, kWidth);
    ASSERT_EQ(QX_XML_SetIntValue(h, "Height", 40), QX_OK);
    EXPECT_EQ(cam->reg(kHeightReg), 40u);
    EnumStrValueInfo pf{};
    ASSERT_EQ(QX_XML_GetEnumValueStr(h, "PixelFormat", &pf), QX_OK);
    EXPECT_STREQ(pf.strValue, "Mono8");
    ASSERT_EQ(QX_XML_SetEnumValueStr(h, "TriggerMode", "On"), QX_OK);
    EXPECT_EQ(cam->reg(kTriggerReg), 1u);

    // Register access: four bytes in wire order.
    uint8_t four[4] = {};
    ASSERT_EQ(QX_ReadMemory(h, four, kWidthReg, 4, 0), QX_OK);
    EXPECT_EQ(four[3], kWidth);
    EXPECT_EQ(four[0], 0);
    // A shorter read fills only what the caller asked for.
    uint8_t two[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    ASSERT_EQ(QX_ReadMemory(h, two, kHeightReg, 2, 0), QX_OK);
    EXPECT_EQ(two[0], 0);
    EXPECT_EQ(two[1], 0);
    EXPECT_EQ(two[2], 0xAA);
    EXPECT_EQ(two[3], 0xAA);
    // A write leaves the caller's bytes as they were.
    uint8_t value[4] = {0x00, 0x00, 0x01, 0x02};
    ASSERT_EQ(QX_WriteMemory(h, value, kTlLockedReg, 4, 0), QX_OK);
    EXPECT_EQ(cam->reg(kTlLockedReg), 0x0102u);
    EXPECT_EQ(value[2], 0x01);
    EXPECT_EQ(value[3], 0x02);
    // A two-byte write changes those two bytes of the register only.
    cam->setRegister(kFeatureBase + 0x40, 0x11223344);
    uint8_t head[2] = {0xAB, 0xCD};
    ASSERT_EQ(QX_WriteMemory(h, head, kFeatureBase + 0x40, 2, 0), QX_OK);
    EXPECT_EQ(cam->reg(kFeatureBase + 0x40), 0xABCD3344u);
    // Longer accesses are memory reads and writes.
    std::vector<uint8_t> block(16);
    ASSERT_EQ(QX_ReadMemory(h, block.data(), kXmlAddress, block.size(), 0), QX_OK);
    EXPECT_EQ(std::string(block.begin(), block.begin() + 5), "<?xml");
    std::vector<uint8_t> pattern = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(QX_WriteMemory(h, pattern.data(), kFeatureBase + 0x80, pattern.size(), 0), QX_OK);
    EXPECT_EQ(cam->readBytes(kFeatureBase + 0x80, 8), pattern);
    // An address the camera does not have is the camera's refusal.
    EXPECT_EQ(QX_ReadMemory(h, four, 0x00F00000, 4, 0), QX_ERR_GEV_INVALID_ADDRESS);

    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    EXPECT_EQ(gigeOf(h)->cameraId(), 0);
    ASSERT_EQ(QX_GetConnectionStatus(h, &connected), QX_OK);
    EXPECT_FALSE(connected);
    EXPECT_EQ(QX_ReadMemory(h, four, kWidthReg, 4, 0), QX_ERR_GENERAL);
    // Connected again, the same handle works as before.
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_CONTROL), QX_OK);
    ASSERT_EQ(QX_XML_GetIntValue(h, "Width", &width), QX_OK);
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    ASSERT_EQ(QX_DeleteDevice(h), QX_OK);
    forget(h);

    cam.reset();
    ASSERT_EQ(QX_EnumDevices(list.get(), 1, 100), QX_OK);
    EXPECT_EQ(list->nDevNum, 0u);
}

struct Frames {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<FrameInfo> infos;
    std::vector<bool> dataOk;
};

void checkFrame(const FrameInfo& f) {
    EXPECT_EQ(f.nWidth, kWidth);
    EXPECT_EQ(f.nHeight, kHeight);
    EXPECT_EQ(f.nPixelFormat, kMono8);
    EXPECT_EQ(f.nDataLen, kWidth * kHeight);
    EXPECT_EQ(f.nBitsPerPixel, 8u);
    EXPECT_EQ(f.nLostPacket, 0u);
    EXPECT_EQ(f.nTransportWord1, 0u);
    EXPECT_EQ(f.nTransportWord2, 0u);
    EXPECT_GT(f.fFps, 0.0f);
    ASSERT_NE(f.pData, nullptr);
    const auto expected = SimGvspSender::pattern(f.nFrameIndex, kWidth * kHeight);
    EXPECT_EQ(std::memcmp(f.pData, expected.data(), expected.size()), 0) << "frame " << f.nFrameIndex;
}

TEST_F(GigeDeviceTest, GrabbingDeliversFramesThroughGetFrame) {
    auto cam = makeCamera("127.0.0.22", "GD-22");
    std::atomic<int> starts{0}, stops{0};
    cam->setWriteHook([&](uint32_t address, const uint8_t*, size_t) {
        if (address == kAcqStartReg) ++starts;
        if (address == kAcqStopReg) ++stops;
    });
    QX_DEV_HANDLE h = create(recordFor(0x7F000016u, "GD-22"));
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    FrameInfo f{};
    EXPECT_EQ(QX_GetFrame(h, &f, 0), QX_ERR_WRONG_STATE);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    EXPECT_TRUE(QX_IsGrabbingStarted(h));
    EXPECT_EQ(starts.load(), 1);
    EXPECT_EQ(cam->reg(kTlLockedReg), 1u);
    EXPECT_NE(cam->reg(0x0D00) & 0xFFFF, 0u) << "the stream port is programmed";
    EXPECT_GE(cam->testPacketRequests().size(), 1u) << "the packet size is searched with test packets";
    EXPECT_GE(gigeOf(h)->maxPacketSize(), 576u);

    // The sender cuts blocks by the packet size the host programmed.
    SimGvspSender sender(*cam, false, (cam->reg(0x0D04) & 0xFFFF) - 36);
    ASSERT_TRUE(sender.start());
    sender.setImage(kWidth, kHeight, kMono8);
    // Blocks one at a time: each is taken before the next is sent.
    uint64_t lastIndex = 0;
    for (uint64_t block = 1; block <= 5; ++block) {
        ASSERT_GT(sender.sendBlock(block, SimGvspSender::pattern(block, kWidth * kHeight)), 0u);
        FrameInfo frame{};
        ASSERT_EQ(QX_GetFrame(h, &frame, 3000), QX_OK) << "block " << block;
        checkFrame(frame);
        EXPECT_EQ(frame.nFrameIndex, block);
        EXPECT_GT(frame.nFrameIndex, lastIndex);
        lastIndex = frame.nFrameIndex;
        ASSERT_EQ(QX_FreeFrame(h, &frame), QX_OK);
    }
    // A block of another pixel format is dropped; the next good one arrives.
    SimBlockOptions other;
    other.overrideGeometry = true;
    other.width = kWidth;
    other.height = kHeight / 2;
    other.pixelFormat = kMono16;
    sender.sendBlock(6, SimGvspSender::pattern(6, kWidth * kHeight), other);
    sender.sendBlock(7, SimGvspSender::pattern(7, kWidth * kHeight));
    FrameInfo frame{};
    ASSERT_EQ(QX_GetFrame(h, &frame, 3000), QX_OK);
    EXPECT_EQ(frame.nFrameIndex, 7u);
    checkFrame(frame);
    ASSERT_EQ(QX_FreeFrame(h, &frame), QX_OK);
    EXPECT_EQ(gigeOf(h)->deliveredFrames(), 6u);

    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
    EXPECT_FALSE(QX_IsGrabbingStarted(h));
    EXPECT_EQ(stops.load(), 1);
    EXPECT_EQ(cam->reg(kTlLockedReg), 0u);
    EXPECT_EQ(cam->reg(0x0D00) & 0xFFFF, 0u) << "the stream port is cleared at stop";

    // A second start reuses the packet size found and streams again.
    const size_t tests = cam->testPacketRequests().size();
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    EXPECT_EQ(cam->testPacketRequests().size(), tests);
    sender.sendBlock(20, SimGvspSender::pattern(20, kWidth * kHeight));
    ASSERT_EQ(QX_GetFrame(h, &frame, 3000), QX_OK);
    EXPECT_EQ(frame.nFrameIndex, 20u);
    checkFrame(frame);
    ASSERT_EQ(QX_FreeFrame(h, &frame), QX_OK);
    // Disconnect while grabbing stops everything.
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    EXPECT_FALSE(QX_IsGrabbingStarted(h));
    EXPECT_FALSE(cam->heldByHost() && cam->privilege() != 0);
}

// A camera sending Mono12Packed: QX_GetFrame reports the frame at its real size (the camera's
// PayloadSize, 1.5 bytes per pixel), and that frame is converted, saved and recorded as it is.
TEST_F(GigeDeviceTest, PackedFramesArriveAtTheirRealSizeAndAreSaved) {
    auto cam = makeCamera("127.0.0.23", "GD-23");
    constexpr uint32_t kPacked = QX_PIXEL_MONO12PACKED;
    constexpr uint32_t kBytes = kWidth * kHeight * 3 / 2;
    const std::string xml = cameraXml({"Mono8", "Mono16", "Mono12Packed"});
    cam->placeXml(kXmlAddress, std::vector<uint8_t>(xml.begin(), xml.end()), "SimCam.xml");
    cam->setRegister(kPixelFormatReg, kPacked);
    cam->setRegister(kPayloadReg, kBytes);
    QX_DEV_HANDLE h = create(recordFor(0x7F000017u, "GD-23"));
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    SimGvspSender sender(*cam, false, (cam->reg(0x0D04) & 0xFFFF) - 36);
    ASSERT_TRUE(sender.start());
    sender.setImage(kWidth, kHeight, kPacked);
    const auto sent = SimGvspSender::pattern(3, kBytes);
    ASSERT_GT(sender.sendBlock(3, sent), 0u);
    FrameInfo frame{};
    ASSERT_EQ(QX_GetFrame(h, &frame, 3000), QX_OK);
    EXPECT_EQ(frame.nPixelFormat, kPacked);
    EXPECT_EQ(frame.nDataLen, kBytes);
    ASSERT_EQ(std::vector<uint8_t>(frame.pData, frame.pData + kBytes), sent);

    std::vector<uint8_t> grey(kWidth * kHeight);
    ConvertParam c{};
    c.nWidth = kWidth;
    c.nHeight = kHeight;
    c.enSrcPixelType = frame.nPixelFormat;
    c.pSrcData = frame.pData;
    c.nSrcDataLen = frame.nDataLen;
    c.enDstPixelType = QX_PIXEL_MONO8;
    c.pDstData = grey.data();
    c.nDstDataSize = uint32_t(grey.size());
    ASSERT_EQ(QX_ConvertPixelFormat(h, &c), QX_OK);
    EXPECT_EQ(grey[1], sent[2]); // the second pixel's top 8 bits are the group's third byte

    char dir[] = "/tmp/qx_packed_XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    SaveFileParam s{};
    s.nPixelFormat = frame.nPixelFormat;
    s.pData = frame.pData;
    s.nDataLen = frame.nDataLen;
    s.nWidth = uint16_t(frame.nWidth);
    s.nHeight = uint16_t(frame.nHeight);
    s.enImageType = QX_IMAGE_RAW;
    std::snprintf(s.pImagePath, sizeof s.pImagePath, "%s/frame.raw", dir);
    EXPECT_EQ(QX_SaveImageToFile(h, &s), QX_OK);
    EXPECT_EQ(std::filesystem::file_size(s.pImagePath), kBytes);
    s.enImageType = QX_IMAGE_PNG;
    std::snprintf(s.pImagePath, sizeof s.pImagePath, "%s/frame.png", dir);
    EXPECT_EQ(QX_SaveImageToFile(h, &s), QX_OK);
    std::filesystem::remove_all(dir);
    ASSERT_EQ(QX_FreeFrame(h, &frame), QX_OK);
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
}

void onImage(const FrameInfo* info, void* user) {
    auto* frames = static_cast<Frames*>(user);
    // The streaming sender sends the pattern of block 1 in every block.
    const auto expected = SimGvspSender::pattern(1, kWidth * kHeight);
    const bool ok =
        info->nDataLen == expected.size() && std::memcmp(info->pData, expected.data(), expected.size()) == 0;
    std::lock_guard<std::mutex> lk(frames->mutex);
    frames->infos.push_back(*info);
    frames->dataOk.push_back(ok);
    frames->cv.notify_all();
}

TEST_F(GigeDeviceTest, GrabbingDeliversFramesThroughImageCallback) {
    auto cam = makeCamera("127.0.0.23", "GD-23");
    QX_DEV_HANDLE h = create(recordFor(0x7F000017u, "GD-23"));
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    Frames frames;
    ASSERT_EQ(QX_RegisterImageCallBack(h, &onImage, &frames), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    FrameInfo f{};
    EXPECT_EQ(QX_GetFrame(h, &f, 0), QX_ERR_NOT_AVAILABLE);
    // The sender cuts blocks by the packet size the host programmed.
    SimGvspSender sender(*cam, false, (cam->reg(0x0D04) & 0xFFFF) - 36);
    ASSERT_TRUE(sender.start());
    sender.setImage(kWidth, kHeight, kMono8);
    sender.startStreaming(kWidth * kHeight, 2000);
    {
        std::unique_lock<std::mutex> lk(frames.mutex);
        ASSERT_TRUE(frames.cv.wait_for(lk, std::chrono::seconds(10), [&] { return frames.infos.size() >= 5; }));
    }
    sender.stopStreaming();
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
    std::lock_guard<std::mutex> lk(frames.mutex);
    for (size_t i = 0; i < frames.infos.size(); ++i) {
        EXPECT_TRUE(frames.dataOk[i]) << i;
        EXPECT_EQ(frames.infos[i].nWidth, kWidth);
        EXPECT_EQ(frames.infos[i].nHeight, kHeight);
        EXPECT_EQ(frames.infos[i].nPixelFormat, kMono8);
        EXPECT_EQ(frames.infos[i].nBitsPerPixel, 8u);
        if (i > 0) {
            EXPECT_GT(frames.infos[i].nFrameIndex, frames.infos[i - 1].nFrameIndex);
        }
    }
}

// What the offline callback saw. The handle it watches is disconnected when the record goes,
// so that no callback comes after it: the library's liveness task may still raise one when the
// test ends early or its camera is gone before the fixture disconnects (declare the camera
// before the record, so that it still answers then).
struct Offline {
    std::mutex mutex;
    std::condition_variable cv;
    int calls = 0;
    QX_DEV_HANDLE watched = nullptr;
    ~Offline() {
        if (watched) QX_DisconnectDevice(watched);
    }
};

void onOffline(void* user) {
    auto* o = static_cast<Offline*>(user);
    std::lock_guard<std::mutex> lk(o->mutex);
    ++o->calls;
    o->cv.notify_all();
}

TEST_F(GigeDeviceTest, SilentCameraRaisesOfflineOnce) {
    auto cam = makeCamera("127.0.0.24", "GD-24");
    QX_DEV_HANDLE h = create(recordFor(0x7F000018u, "GD-24"));
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    Offline offline;
    offline.watched = h;
    ASSERT_EQ(QX_RegisterOfflineCallBack(h, &onOffline, &offline), QX_OK);
    // The heartbeat follows the camera's new timeout.
    ASSERT_EQ(QX_XML_SetIntValue(h, "GevHeartbeatTimeout", 600), QX_OK);
    EXPECT_EQ(cam->reg(0x0938), 600u);
    cam->setSilent(true);
    {
        std::unique_lock<std::mutex> lk(offline.mutex);
        ASSERT_TRUE(offline.cv.wait_for(lk, std::chrono::seconds(20), [&] { return offline.calls >= 1; }));
        // Further failure reports of the library do not raise it again.
        EXPECT_FALSE(offline.cv.wait_for(lk, std::chrono::milliseconds(1500), [&] { return offline.calls > 1; }));
    }
    uint8_t four[4];
    EXPECT_EQ(QX_ReadMemory(h, four, kWidthReg, 4, 0), QX_ERR_GENERAL) << "an offline camera is not asked";
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    ASSERT_EQ(QX_DeleteDevice(h), QX_OK);
    forget(h);
    std::lock_guard<std::mutex> lk(offline.mutex);
    EXPECT_EQ(offline.calls, 1);
}

TEST_F(GigeDeviceTest, GigeSettings) {
    auto cam = makeCamera("127.0.0.25", "GD-25", qx::gige::gvcp::cap::kPacketResend);
    QX_DEV_HANDLE h = create(recordFor(0x7F000019u, "GD-25"));

    // Network values are checked before anything is sent.
    EXPECT_EQ(QX_GIGE_ForceIp(h, 0x7F000000u, 0xFF000000u, 0), QX_ERR_INVALID_PARAM) << "low octet 0";
    EXPECT_EQ(QX_GIGE_ForceIp(h, 0xFFFFFFFFu, 0xFF000000u, 0), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_GIGE_ForceIp(h, 0x00000019u, 0xFF000000u, 0), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_GIGE_ForceIp(h, 0x7F010119u, 0x7F000000u, 0), QX_ERR_INVALID_PARAM) << "mask top bit clear";
    EXPECT_EQ(QX_GIGE_ForceIp(h, 0x7F010119u, 0xFFFFFFFFu, 0), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_GIGE_ForceIp(h, 0x7F010119u, 0xFF000000u, 0x7F000100u), QX_ERR_INVALID_PARAM) << "gateway";
    EXPECT_EQ(QX_GIGE_SetIpConfig(h, QX_IP_CONFIG_STATIC, 0x7F010119u, 0xFF000000u, 0xFFFFFFFFu), QX_ERR_INVALID_PARAM);
    const size_t forceIps = cam->countReceived(qx::gige::gvcp::kForceIpCmd);
    EXPECT_EQ(forceIps, 0u);
    // A valid FORCEIP reaches the camera by its MAC address, connected or not.
    EXPECT_EQ(QX_GIGE_ForceIp(h, 0x7F010119u, 0xFF000000u, 0), QX_OK);
    EXPECT_EQ(cam->countReceived(qx::gige::gvcp::kForceIpCmd), 1u);
    // An unknown configuration kind is refused.
    EXPECT_EQ(QX_GIGE_SetIpConfig(h, 9, 0x7F010119u, 0xFF000000u, 0), QX_ERR_GENERAL);

    // Packet resend needs a connection and sane values.
    bool enabled = true;
    uint8_t percent = 0;
    uint16_t timeout = 0;
    EXPECT_EQ(QX_GIGE_GetPacketResend(h, &enabled, &percent, &timeout), QX_ERR_NOT_AVAILABLE);
    EXPECT_EQ(QX_GIGE_SetPacketResend(h, true, 50, 100), QX_ERR_NOT_AVAILABLE);
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    EXPECT_EQ(QX_GIGE_SetPacketResend(h, true, 0, 100), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_GIGE_SetPacketResend(h, true, 101, 100), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_GIGE_SetPacketResend(h, true, 50, 0), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_GIGE_SetPacketResend(h, true, 50, 1001), QX_ERR_INVALID_PARAM);
    ASSERT_EQ(QX_GIGE_SetPacketResend(h, true, 50, 0xFFFF), QX_OK);
    ASSERT_EQ(QX_GIGE_GetPacketResend(h, &enabled, &percent, &timeout), QX_OK);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(percent, 50);
    EXPECT_EQ(timeout, 200) << "automatic timeout without trigger mode";
    ASSERT_EQ(QX_GIGE_SetPacketResend(h, false, 80, 300), QX_OK);
    ASSERT_EQ(QX_GIGE_GetPacketResend(h, &enabled, &percent, &timeout), QX_OK);
    EXPECT_FALSE(enabled);
    EXPECT_EQ(percent, 80);
    EXPECT_EQ(timeout, 300);

    // The packet filter driver switches on and off on a connected camera.
    bool filter = false;
    EXPECT_EQ(QX_GIGE_SetFilterDriver(h, true), QX_OK);
    ASSERT_EQ(QX_GIGE_GetFilterDriver(h, &filter), QX_OK);
    EXPECT_TRUE(filter);
    EXPECT_EQ(QX_GIGE_SetFilterDriver(h, false), QX_OK);
    ASSERT_EQ(QX_GIGE_GetFilterDriver(h, &filter), QX_OK);
    EXPECT_FALSE(filter);
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    EXPECT_EQ(QX_GIGE_SetFilterDriver(h, true), QX_ERR_NOT_AVAILABLE);
}

TEST_F(GigeDeviceTest, FilterDriverDeliversFramesThroughGetFrame) {
    auto cam = makeCamera("127.0.0.23", "GD-23");
    QX_DEV_HANDLE h = create(recordFor(0x7F000017u, "GD-23"));
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    ASSERT_EQ(QX_GIGE_SetFilterDriver(h, true), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    EXPECT_NE(QX_GIGE_SetFilterDriver(h, false), QX_OK) << "not while the driver streams";
    SimGvspSender sender(*cam, false, (cam->reg(0x0D04) & 0xFFFF) - 36);
    ASSERT_TRUE(sender.start());
    sender.setImage(kWidth, kHeight, kMono8);
    for (uint64_t block = 1; block <= 4; ++block) {
        ASSERT_GT(sender.sendBlock(block, SimGvspSender::pattern(block, kWidth * kHeight)), 0u);
        FrameInfo frame{};
        ASSERT_EQ(QX_GetFrame(h, &frame, 3000), QX_OK) << "block " << block;
        EXPECT_EQ(frame.nFrameIndex, block);
        EXPECT_EQ(frame.nWidth, kWidth);
        EXPECT_EQ(frame.nLostPacket, 0u);
        ASSERT_EQ(frame.nDataLen, kWidth * kHeight);
        const auto expected = SimGvspSender::pattern(block, kWidth * kHeight);
        EXPECT_EQ(std::memcmp(frame.pData, expected.data(), expected.size()), 0) << "block " << block;
        ASSERT_EQ(QX_FreeFrame(h, &frame), QX_OK);
    }
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
    // Off again: the next acquisition receives through the socket and the grab thread.
    ASSERT_EQ(QX_GIGE_SetFilterDriver(h, false), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    sender.sendBlock(9, SimGvspSender::pattern(9, kWidth * kHeight));
    FrameInfo frame{};
    ASSERT_EQ(QX_GetFrame(h, &frame, 3000), QX_OK);
    EXPECT_EQ(frame.nFrameIndex, 9u);
    ASSERT_EQ(QX_FreeFrame(h, &frame), QX_OK);
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
}

TEST_F(GigeDeviceTest, IpConfigOnADisconnectedCameraConnectsForTheChange) {
    // An address whose octets are all non-zero, as the checks require.
    auto cam = makeCamera("127.1.1.30", "GD-30");
    const DeviceInfo record = recordFor(0x7F01011Eu, "GD-30");
    QX_DEV_HANDLE h = create(record);
    ASSERT_EQ(QX_GIGE_SetIpConfig(h, QX_IP_CONFIG_STATIC, 0x7F01011Eu, 0xFF000000u, 0x7F0101FEu), QX_OK);
    // The address is forced first; closing the connection made for the change then sends
    // FORCEIP with IP 0 so that the camera restarts its configuration. That last one is a
    // broadcast nobody acknowledges: wait (bounded) until the camera has taken it.
    namespace gvcp = qx::gige::gvcp;
    auto restartSeen = [&] {
        for (const auto& r : cam->received()) {
            gvcp::ForceIpRequest req;
            if (r.header.command == gvcp::kForceIpCmd && gvcp::decodeForceIpCmd(r.bytes.data(), r.bytes.size(), &req) &&
                req.ip == 0)
                return true;
        }
        return false;
    };
    for (int i = 0; i < 500 && !restartSeen(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    size_t forced = 0, restarts = 0, others = 0;
    for (const auto& r : cam->received()) {
        if (r.header.command == gvcp::kDiscoveryCmd) continue;
        if (r.header.command != gvcp::kForceIpCmd) {
            EXPECT_EQ(restarts, 0u) << "a command after the restart";
            ++others;
            continue;
        }
        gvcp::ForceIpRequest req;
        ASSERT_TRUE(gvcp::decodeForceIpCmd(r.bytes.data(), r.bytes.size(), &req));
        if (req.ip == 0) {
            ++restarts;
            continue;
        }
        // A copy sent again because its acknowledge came later than the library's wait (a
        // loaded machine may hold the camera's thread that long) carries the same address.
        EXPECT_EQ(others, 0u) << "the address is forced before the connection's commands";
        EXPECT_EQ(req.ip, qx::fixture::ipv4("127.1.1.30"));
        EXPECT_EQ(req.mask, qx::fixture::ipv4("255.0.0.0"));
        EXPECT_EQ(req.gateway, qx::fixture::ipv4("127.1.1.254"));
        ++forced;
    }
    EXPECT_GE(forced, 1u);
    EXPECT_LE(forced, 3u) << "at most the library's three attempts";
    EXPECT_GT(others, 0u);
    EXPECT_EQ(restarts, 1u);
    EXPECT_EQ(cam->reg(qx::gige::gvcp::reg::kPersistentIp), 0x7F01011Eu);
    EXPECT_EQ(cam->reg(qx::gige::gvcp::reg::kPersistentMask), 0xFF000000u);
    EXPECT_EQ(cam->reg(qx::gige::gvcp::reg::kPersistentGateway), 0x7F0101FEu);
    EXPECT_EQ(cam->reg(qx::gige::gvcp::reg::kNetworkConfig) & 0x1, 0x1u) << "persistent IP on";
    // The connection made for the change is closed again and its number given back.
    bool connected = true;
    ASSERT_EQ(QX_GetConnectionStatus(h, &connected), QX_OK);
    EXPECT_FALSE(connected);
    EXPECT_EQ(gigeOf(h)->cameraId(), 0);
    EXPECT_EQ(cam->privilege(), 0u);

    // Link-local only, on a connected camera: the configuration register alone.
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    ASSERT_EQ(QX_GIGE_SetIpConfig(h, QX_IP_CONFIG_LLA, 0x7F01011Eu, 0xFF000000u, 0), QX_OK);
    EXPECT_EQ(cam->reg(qx::gige::gvcp::reg::kNetworkConfig), 0x4u);
    ASSERT_EQ(QX_GetConnectionStatus(h, &connected), QX_OK);
    EXPECT_TRUE(connected) << "a camera connected before stays connected";
    // Not while grabbing.
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    EXPECT_EQ(QX_GIGE_SetIpConfig(h, QX_IP_CONFIG_DHCP, 0x7F01011Eu, 0xFF000000u, 0), QX_ERR_NOT_AVAILABLE);
    EXPECT_EQ(QX_GIGE_SetPacketResend(h, true, 50, 100), QX_ERR_WRONG_STATE);
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
    ASSERT_EQ(QX_GIGE_SetIpConfig(h, QX_IP_CONFIG_DHCP, 0x7F01011Eu, 0xFF000000u, 0), QX_OK);
    EXPECT_EQ(cam->reg(qx::gige::gvcp::reg::kNetworkConfig) & 0x3, 0x2u) << "DHCP on, persistent off";
}

// Connects, grabs and silences the camera until the handle reports it offline.
void loseWhileGrabbing(SimGevDevice& cam, QX_DEV_HANDLE h, Offline& offline) {
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    offline.watched = h;
    ASSERT_EQ(QX_RegisterOfflineCallBack(h, &onOffline, &offline), QX_OK);
    ASSERT_EQ(QX_XML_SetIntValue(h, "GevHeartbeatTimeout", 600), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    cam.setSilent(true);
    std::unique_lock<std::mutex> lk(offline.mutex);
    ASSERT_TRUE(offline.cv.wait_for(lk, std::chrono::seconds(20), [&] { return offline.calls >= 1; }));
}

// Starts grabbing on a connected camera, streams one block and takes it whole, then stops.
void grabOneFrame(SimGevDevice& cam, QX_DEV_HANDLE h) {
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    SimGvspSender sender(cam, false, (cam.reg(0x0D04) & 0xFFFF) - 36);
    ASSERT_TRUE(sender.start());
    sender.setImage(kWidth, kHeight, kMono8);
    ASSERT_GT(sender.sendBlock(1, SimGvspSender::pattern(1, kWidth * kHeight)), 0u);
    FrameInfo frame{};
    ASSERT_EQ(QX_GetFrame(h, &frame, 3000), QX_OK);
    checkFrame(frame);
    ASSERT_EQ(QX_FreeFrame(h, &frame), QX_OK);
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
}

TEST_F(GigeDeviceTest, CameraLostWhileGrabbingEndsAcquisitionAndRaisesOffline) {
    auto cam = makeCamera("127.0.0.28", "GD-28");
    QX_DEV_HANDLE h = create(recordFor(0x7F00001Cu, "GD-28"));
    Offline offline;
    loseWhileGrabbing(*cam, h, offline);
    if (HasFatalFailure()) return;
    FrameInfo f{};
    EXPECT_EQ(QX_GetFrame(h, &f, 50), QX_ERR_TIMEOUT);
    // Stopping a lost camera does not hang; the handle is released afterwards.
    QX_StopGrabbing(h);
    EXPECT_FALSE(QX_IsGrabbingStarted(h));
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    ASSERT_EQ(QX_DeleteDevice(h), QX_OK);
    forget(h);
    std::lock_guard<std::mutex> lk(offline.mutex);
    EXPECT_EQ(offline.calls, 1);
}

TEST_F(GigeDeviceTest, TheSameHandleStreamsAgainAfterTheCameraCameBack) {
    auto cam = makeCamera("127.0.0.29", "GD-29");
    QX_DEV_HANDLE h = create(recordFor(0x7F00001Du, "GD-29"));
    Offline offline;
    loseWhileGrabbing(*cam, h, offline);
    if (HasFatalFailure()) return;
    QX_StopGrabbing(h);
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    // The camera is back, restarted: nobody holds it.
    cam->setSilent(false);
    cam->dropPrivilege();
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    uint8_t four[4] = {};
    EXPECT_EQ(QX_ReadMemory(h, four, kWidthReg, 4, 0), QX_OK) << "online again";
    grabOneFrame(*cam, h);
    if (HasFatalFailure()) return;
    std::lock_guard<std::mutex> lk(offline.mutex);
    EXPECT_EQ(offline.calls, 1);
}

// A camera that restarts inside the heartbeat time-out answers again but has forgotten the
// connection: no privilege, no stream channel, no acquisition. Its frames would never come
// again, so the camera is reported offline (the application connects it again), and the
// reconnection steps are in the log at info level.
TEST_F(GigeDeviceTest, ACameraThatRestartedWhileGrabbingIsReportedOffline) {
    qxtest::LogCapture log(spdlog::level::info);
    auto cam = makeCamera("127.0.0.36", "GD-36");
    QX_DEV_HANDLE h = create(recordFor(0x7F000024u, "GD-36"));
    Offline offline;
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    offline.watched = h;
    ASSERT_EQ(QX_RegisterOfflineCallBack(h, &onOffline, &offline), QX_OK);
    ASSERT_EQ(QX_XML_SetIntValue(h, "GevHeartbeatTimeout", 3000), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    // Gone long enough for a heartbeat to fail, back before the connection is given up.
    cam->setSilent(true);
    ASSERT_TRUE(qxtest::waitUntil([&] { return log.has("CCP lost."); }, std::chrono::seconds(20)));
    cam->dropPrivilege();
    cam->setRegister(qx::gige::gvcp::reg::kScp0, 0);
    cam->setRegister(qx::gige::gvcp::reg::kScda0, 0);
    cam->setSilent(false);
    {
        std::unique_lock<std::mutex> lk(offline.mutex);
        ASSERT_TRUE(offline.cv.wait_for(lk, std::chrono::seconds(20), [&] { return offline.calls >= 1; }));
    }
    EXPECT_TRUE(log.has("CCP reconnection.", spdlog::level::info));
    EXPECT_TRUE(log.has("CCP access lost. Access mode reset."));
    QX_StopGrabbing(h);
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    // Connected again, the same handle streams.
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    grabOneFrame(*cam, h);
    if (HasFatalFailure()) return;
    std::lock_guard<std::mutex> lk(offline.mutex);
    EXPECT_EQ(offline.calls, 1);
}

// While the camera does not answer, a connect says so: an unreachable camera is not a busy one.
TEST_F(GigeDeviceTest, ConnectingASilentCameraTimesOut) {
    auto cam = makeCamera("127.0.0.37", "GD-37");
    QX_DEV_HANDLE h = create(recordFor(0x7F000025u, "GD-37"));
    cam->setSilent(true);
    EXPECT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_ERR_GEV_TIMEOUT);
    cam->setSilent(false);
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    // Held by another application, it is busy.
    auto other = makeCamera("127.0.0.38", "GD-38");
    other->setForeignPrivilege(1);
    QX_DEV_HANDLE h2 = create(recordFor(0x7F000026u, "GD-38"));
    EXPECT_EQ(QX_ConnectDevice(h2, QX_ACCESS_EXCLUSIVE), QX_ERR_GEV_BUSY);
}

TEST_F(GigeDeviceTest, TheSimulatedCameraStreamsThroughLossWithResend) {
    // The camera of qx-sim-gige-camera: its own description, frames at a set rate, 3 % of the
    // stream datagrams lost at random (resent packets too).
    qx::fixture::SimCameraConfig c;
    c.ip = "127.0.0.41";
    c.port = kGvcpPort;
    c.width = 256;
    c.height = 64;
    c.fps = 50;
    c.lossPermille = 30;
    qx::fixture::SimGigeCamera cam(c);
    ASSERT_TRUE(cam.start());
    QX_DEV_HANDLE h = create(recordFor(0x7F000029u, "SIMCAM0001"));
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    ASSERT_EQ(QX_GIGE_SetPacketResend(h, true, 100, 200), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    EXPECT_TRUE(cam.acquiring());
    int complete = 0;
    for (int i = 0; i < 200 && complete < 20; ++i) {
        FrameInfo f{};
        if (QX_GetFrame(h, &f, 1000) != QX_OK) continue;
        EXPECT_EQ(f.nWidth, 256u);
        EXPECT_EQ(f.nHeight, 64u);
        if (f.nLostPacket == 0) {
            ++complete;
            const auto expected = SimGvspSender::pattern(f.nFrameIndex, f.nDataLen);
            EXPECT_EQ(std::memcmp(f.pData, expected.data(), expected.size()), 0) << f.nFrameIndex;
        }
        ASSERT_EQ(QX_FreeFrame(h, &f), QX_OK);
    }
    EXPECT_EQ(complete, 20);
    EXPECT_GT(cam.sender().packetsResent(), 0u);
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
    EXPECT_FALSE(cam.acquiring());
}

TEST_F(GigeDeviceTest, FailedConnectLeavesNothingOpen) {
    auto cam = makeCamera("127.0.0.31", "GD-31");
    // The description's URL points at memory the camera does not have.
    cam->setFirstUrl("Local:SimCam.xml;F00000;100");
    QX_DEV_HANDLE h = create(recordFor(0x7F00001Fu, "GD-31"));
    EXPECT_NE(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    bool connected = true;
    ASSERT_EQ(QX_GetConnectionStatus(h, &connected), QX_OK);
    EXPECT_FALSE(connected);
    EXPECT_EQ(gigeOf(h)->cameraId(), 0) << "the camera number is given back";
    EXPECT_EQ(cam->privilege(), 0u) << "the library camera is closed";
    // Once the description is there, the same handle connects.
    const std::string xml = cameraXml();
    cam->placeXml(kXmlAddress, std::vector<uint8_t>(xml.begin(), xml.end()), "SimCam.xml");
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    IntValueInfo width{};
    ASSERT_EQ(QX_XML_GetIntValue(h, "Width", &width), QX_OK);
    EXPECT_EQ(width.nValue, kWidth);
}

TEST_F(GigeDeviceTest, EventDataLengthGoesToStandardOutput) {
    auto cam = makeCamera("127.0.0.44", "GD-44");
    QX_DEV_HANDLE h = create(recordFor(0x7F00002Cu, "GD-44"));
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    const uint8_t data[3] = {0x01, 0x02, 0x03};
    GevEvent event;
    event.EventId = 0x9001;
    event.Data = data;
    event.DataLength = sizeof data;
    qxtest::LogCapture log(spdlog::level::trace);
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(GigeDevice::loc_msg_channel_cb(gigeOf(h)->cameraId(), &event));
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Event: len: 3\n");
    EXPECT_TRUE(log.find("func:loc_msg_channel_cb, Event len:3"));
    EXPECT_EQ(log.count("func:loc_msg_channel_cb, Event data:"), 3u);
}

TEST_F(GigeDeviceTest, ConnectionStatusIsLoggedWhileNoImageComesAtMostOncePerSecond) {
    // The camera streams nothing: every wait for an image times out.
    auto cam = makeCamera("127.0.0.45", "GD-45");
    QX_DEV_HANDLE h = create(recordFor(0x7F00002Du, "GD-45"));
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    qxtest::LogCapture log(spdlog::level::debug);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    const std::string line = "func:printGevConnection, GEV_CONNECTION_STATUS: OK";
    EXPECT_TRUE(qxtest::waitUntil([&] { return log.count(line) >= 2; }, std::chrono::milliseconds(30000)));
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    // Waits of 100 ms each, but one line per 1001 ms at most.
    EXPECT_LE(log.count(line), size_t(elapsed / 1001 + 1));
}

TEST_F(GigeDeviceTest, ForceIpOfACameraThatIsNotThereFailsWhileAnotherDeviceAnswers) {
    // A device that answers every FORCEIP, whatever MAC address it names.
    auto other = makeCamera("127.0.0.43", "GD-43");
    other->setForceIp(qx::fixture::SimForceIpMode::AnyMac);
    DeviceInfo missing = recordFor(0x7F000063u, "GD-99");
    const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x99};
    std::memcpy(missing.u.stGigeInfo.arrMacAddr, mac, sizeof mac);
    QX_DEV_HANDLE h = create(missing);
    EXPECT_EQ(QX_GIGE_ForceIp(h, 0x7F010119u, 0xFF000000u, 0), QX_ERR_GEV_TIMEOUT);
    EXPECT_GE(other->countReceived(qx::gige::gvcp::kForceIpCmd), 1u);
}

// A camera that stops completing requests while the connect reads its description: with
// PENDING_ACK of 65535 ms every 50 ms, or the acknowledge of an earlier request every 50 ms.
// The connect gives up within its bound, and a disconnect from another thread, which waits for
// the connect, ends with it. The library's PENDING_ACK allowance is kept short here.
TEST_F(GigeDeviceTest, ConnectToACameraThatNeverCompletesEndsAndADisconnectWaitsForIt) {
    GevLibraryOptions o;
    GEVGetLibraryOptions(&o);
    o.PendingAckLimitMs = 300;
    GEVSetLibraryOptions(&o);
    namespace gvcp = qx::gige::gvcp;
    using qx::fixture::SimStallMode;
    uint32_t host = 0x7F000029u;
    for (SimStallMode mode : {SimStallMode::Pending, SimStallMode::Stale}) {
        SCOPED_TRACE(mode == SimStallMode::Pending ? "PENDING_ACK" : "stale acknowledges");
        const std::string ip = "127.0.0." + std::to_string(host & 0xFF);
        const std::string serial = "GD-" + std::to_string(host & 0xFF);
        auto cam = makeCamera(ip, serial);
        cam->stall(mode, gvcp::kReadMemCmd, 50);
        QX_DEV_HANDLE h = create(recordFor(host++, serial.c_str()));
        auto connect = std::async(std::launch::async, [h] { return QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE); });
        ASSERT_TRUE(qxtest::waitUntil([&] { return cam->countReceived(gvcp::kReadMemCmd) > 0; },
                                      std::chrono::milliseconds(30000)));
        auto disconnect = std::async(std::launch::async, [h] { return QX_DisconnectDevice(h); });
        // Far beyond the bound of this connect (a few seconds), far below "for ever".
        const bool connectEnded = connect.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
        const bool disconnectEnded = disconnect.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        cam->stall(SimStallMode::Off, 0, 0); // lets a call that still waits end
        EXPECT_TRUE(connectEnded) << "the connect is still blocked";
        EXPECT_TRUE(disconnectEnded) << "the disconnect is still blocked";
        EXPECT_NE(connect.get(), QX_OK);
        EXPECT_EQ(disconnect.get(), QX_OK);
        EXPECT_EQ(gigeOf(h)->cameraId(), 0);
        EXPECT_FALSE(cam->heldByHost()) << "the privilege is given back";
        // No request of the description was sent more than its three times.
        std::map<uint16_t, int> sends;
        for (const auto& r : cam->received())
            if (r.header.command == gvcp::kReadMemCmd) ++sends[r.header.requestId];
        EXPECT_FALSE(sends.empty());
        for (const auto& [id, n] : sends) EXPECT_LE(n, 3) << "request " << id;
        EXPECT_GT(cam->stallDatagrams(), sends.size());
    }
}

struct Reentrant {
    Offline offline;
    QX_DEV_HANDLE handle = nullptr;
    std::atomic<QX_STATUS> disconnect{0xFFFFFFFFu};
    ~Reentrant() { // as Offline's, before any member is gone
        if (handle) QX_DisconnectDevice(handle);
    }
};

void disconnectFromOffline(void* user) {
    auto* r = static_cast<Reentrant*>(user);
    r->disconnect.store(QX_DisconnectDevice(r->handle));
    onOffline(&r->offline);
}

TEST_F(GigeDeviceTest, OfflineCallbackMayDisconnectTheCamera) {
    auto cam = makeCamera("127.0.0.32", "GD-32");
    QX_DEV_HANDLE h = create(recordFor(0x7F000020u, "GD-32"));
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    Reentrant r;
    r.handle = h;
    ASSERT_EQ(QX_RegisterOfflineCallBack(h, &disconnectFromOffline, &r), QX_OK);
    ASSERT_EQ(QX_XML_SetIntValue(h, "GevHeartbeatTimeout", 600), QX_OK);
    cam->setSilent(true);
    {
        std::unique_lock<std::mutex> lk(r.offline.mutex);
        ASSERT_TRUE(r.offline.cv.wait_for(lk, std::chrono::seconds(20), [&] { return r.offline.calls >= 1; }));
    }
    EXPECT_EQ(r.disconnect.load(), QX_OK);
    bool connected = true;
    ASSERT_EQ(QX_GetConnectionStatus(h, &connected), QX_OK);
    EXPECT_FALSE(connected);
    EXPECT_EQ(gigeOf(h)->cameraId(), 0);
    ASSERT_EQ(QX_DeleteDevice(h), QX_OK);
    forget(h);
}

TEST_F(GigeDeviceTest, BlockLargerThanThePayloadSizeStaysInItsBuffer) {
    auto cam = makeCamera("127.0.0.33", "GD-33");
    // The camera reports a smaller payload than the blocks it sends.
    constexpr uint32_t kSmallPayload = 1024;
    cam->setRegister(kPayloadReg, kSmallPayload);
    QX_DEV_HANDLE h = create(recordFor(0x7F000021u, "GD-33"));
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    SimGvspSender sender(*cam, false, (cam->reg(0x0D04) & 0xFFFF) - 36);
    ASSERT_TRUE(sender.start());
    sender.setImage(kWidth, kHeight, kMono8);
    for (uint64_t block = 1; block <= 3; ++block)
        sender.sendBlock(block, SimGvspSender::pattern(block, kWidth * kHeight));
    FrameInfo f{};
    const QX_STATUS st = QX_GetFrame(h, &f, 1000);
    if (st == QX_OK) {
        EXPECT_EQ(f.nDataLen, kSmallPayload) << "never more than the buffer holds";
        const auto expected = SimGvspSender::pattern(f.nFrameIndex, kSmallPayload);
        EXPECT_EQ(std::memcmp(f.pData, expected.data(), kSmallPayload), 0);
        ASSERT_EQ(QX_FreeFrame(h, &f), QX_OK);
    } else {
        EXPECT_EQ(st, QX_ERR_TIMEOUT);
    }
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
}

TEST_F(GigeDeviceTest, PacketResendBudgetFollowsPayloadAndPacketSize) {
    auto cam = makeCamera("127.0.0.34", "GD-34", qx::gige::gvcp::cap::kPacketResend);
    QX_DEV_HANDLE h = create(recordFor(0x7F000022u, "GD-34"));
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    // The packet size is found at the first start.
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
    const uint32_t packet = gigeOf(h)->maxPacketSize();
    ASSERT_GT(packet, 36u);
    const uint32_t packets = (kWidth * kHeight + (packet - 36) - 1) / (packet - 36);
    qxtest::LogCapture log(spdlog::level::info);
    ASSERT_EQ(QX_GIGE_SetPacketResend(h, true, 100, 150), QX_OK);
    EXPECT_TRUE(log.find("sc_timeout:150ms, sc_packet_resend:" + std::to_string(packets) +
                         ", m_isTriggerModeOn:false, isResendEnabled:true"));
    log.clear();
    ASSERT_EQ(QX_GIGE_SetPacketResend(h, true, 50, 150), QX_OK);
    EXPECT_TRUE(log.find("sc_packet_resend:" + std::to_string(packets * 50 / 100) + ","));
}

TEST_F(GigeDeviceTest, ACameraWithoutTestPacketsGets1500AndKeepsASizeWrittenAfterTheFirstStart) {
    // No test packet ever arrives (as from a camera that does not fire them).
    auto cam = makeCamera("127.0.0.35", "GD-35", 0, 0);
    QX_DEV_HANDLE h = create(recordFor(0x7F000023u, "GD-35"));
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    ASSERT_EQ(QX_XML_SetIntValue(h, "GevSCPSPacketSize", 8000), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    EXPECT_GE(cam->testPacketRequests().size(), 1u);
    EXPECT_EQ(cam->reg(0x0D04) & 0xFFFF, 1500u) << "an unconfirmed size falls back to 1500";
    EXPECT_EQ(gigeOf(h)->maxPacketSize(), 1500u);
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);

    // The trial runs once per connection: a size written now holds at the next start.
    const size_t tests = cam->testPacketRequests().size();
    ASSERT_EQ(QX_XML_SetIntValue(h, "GevSCPSPacketSize", 8000), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    EXPECT_EQ(cam->testPacketRequests().size(), tests);
    ASSERT_EQ(cam->reg(0x0D04) & 0xFFFF, 8000u);
    SimGvspSender sender(*cam, false, 8000 - 36);
    ASSERT_TRUE(sender.start());
    sender.setImage(kWidth, kHeight, kMono8);
    ASSERT_GT(sender.sendBlock(1, SimGvspSender::pattern(1, kWidth * kHeight)), 0u);
    FrameInfo frame{};
    ASSERT_EQ(QX_GetFrame(h, &frame, 3000), QX_OK);
    checkFrame(frame); // pixels and packets too
    ASSERT_EQ(QX_FreeFrame(h, &frame), QX_OK);

    // A new connection tries again.
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    EXPECT_GT(cam->testPacketRequests().size(), tests);
    EXPECT_EQ(cam->reg(0x0D04) & 0xFFFF, 1500u);
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
}

TEST_F(GigeDeviceTest, PacketResendNotSupportedByCamera) {
    auto cam = makeCamera("127.0.0.26", "GD-26");
    QX_DEV_HANDLE h = create(recordFor(0x7F00001Au, "GD-26"));
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    EXPECT_EQ(QX_GIGE_SetPacketResend(h, true, 50, 100), QX_ERR_NOT_SUPPORTED);
    bool enabled = true;
    uint8_t percent = 0;
    uint16_t timeout = 0;
    ASSERT_EQ(QX_GIGE_GetPacketResend(h, &enabled, &percent, &timeout), QX_OK);
    EXPECT_FALSE(enabled);
}

TEST_F(GigeDeviceTest, CameraNumbersExhaustedAndGivenBack) {
    auto cam = makeCamera("127.0.0.27", "GD-27");
    const DeviceInfo record = recordFor(0x7F00001Bu, "GD-27");
    std::vector<QX_DEV_HANDLE> open;
    // Open access takes no privilege, so one camera serves every connection.
    for (int i = 0; i < 50; ++i) {
        QX_DEV_HANDLE h = create(record);
        ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_OPEN), QX_OK) << i;
        open.push_back(h);
    }
    QX_DEV_HANDLE extra = create(record);
    EXPECT_EQ(QX_ConnectDevice(extra, QX_ACCESS_OPEN), QX_ERR_RESOURCE_EXHAUSTED);
    bool connected = true;
    ASSERT_EQ(QX_GetConnectionStatus(extra, &connected), QX_OK);
    EXPECT_FALSE(connected);

    // A freed number goes to the back of the list and serves the next connect.
    const uint8_t freed = gigeOf(open[0])->cameraId();
    ASSERT_EQ(QX_DisconnectDevice(open[0]), QX_OK);
    ASSERT_EQ(QX_ConnectDevice(extra, QX_ACCESS_OPEN), QX_OK);
    EXPECT_EQ(gigeOf(extra)->cameraId(), freed);

    // A connect that fails gives its number back: with one number free, a camera that does
    // not answer fails, and the next connect still finds the number.
    ASSERT_EQ(QX_DisconnectDevice(open[1]), QX_OK);
    QX_DEV_HANDLE nobody = create(recordFor(0x7F00007Eu, "NOBODY"));
    EXPECT_NE(QX_ConnectDevice(nobody, QX_ACCESS_EXCLUSIVE), QX_OK);
    EXPECT_EQ(gigeOf(nobody)->cameraId(), 0);
    ASSERT_EQ(QX_ConnectDevice(open[1], QX_ACCESS_OPEN), QX_OK);

    for (QX_DEV_HANDLE h : m_handles) QX_DisconnectDevice(h);
}

} // namespace
