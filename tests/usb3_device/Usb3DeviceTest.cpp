// The USB3 camera through the exported QX_ functions against the simulated camera:
// enumeration, connect / disconnect, features and memory on both ports, acquisition through
// QX_GetFrame and the image callback, stop, delete, and the loss of the camera while grabbing.
#include "LogCapture.h"
#include "QxCamApi.h"
#include "usb3/device/QxUsb3Device.h"
#include "usb3/QxUsbManager.h"
#include "core/api/Transports.h"
#include "Usb3DeviceTestEnv.h"
#include "CallCounter.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace qxtest::usb3dev;
using Bytes = std::vector<uint8_t>;

namespace {

using qxtest::waitUntil;

DeviceInfo usb3Record(const char* model, const char* path = nullptr) {
    if (!path) path = cameraPath().c_str();
    DeviceInfo info{};
    std::snprintf(info.strModelName, sizeof(info.strModelName), "%s", model);
    std::snprintf(info.strManufacturerName, sizeof(info.strManufacturerName), "VORNA");
    info.nTLayerType = QX_TLAYER_USB3;
    info.nAccessStatus = QX_ACCESS_STATUS_AVAILABLE;
    std::snprintf(info.u.stUsb3Info.strDevicePath, sizeof(info.u.stUsb3Info.strDevicePath), "%s", path);
    return info;
}

qx::usb3::UsbFrameHeader header(uint16_t w, uint16_t h, uint32_t number) {
    qx::usb3::UsbFrameHeader hd;
    hd.width = w;
    hd.height = h;
    hd.frameNumber = number;
    return hd;
}

Bytes pixels(size_t n, uint8_t seed) {
    Bytes p(n);
    for (size_t i = 0; i < n; ++i) p[i] = uint8_t(i * 7 + seed);
    return p;
}

// Takes the next frame and checks that it carries `sent`, byte for byte.
void expectNextFrame(QX_DEV_HANDLE h, const Bytes& sent) {
    FrameInfo fi{};
    ASSERT_EQ(QX_GetFrame(h, &fi, 5000), QX_OK);
    ASSERT_GE(fi.nDataLen, sent.size());
    EXPECT_EQ(std::memcmp(fi.pData, sent.data(), sent.size()), 0);
    EXPECT_EQ(QX_FreeFrame(h, &fi), QX_OK);
}

// Discovery of GigE cameras is left out: only the USB3 half of enumeration runs.
qx::core::api::TransportHooks usb3OnlyHooks() {
    qx::core::api::TransportHooks hooks = qx::core::api::defaultTransportHooks();
    hooks.enumGige = [](std::vector<DeviceInfo>&, uint16_t, const std::atomic<bool>&) {};
    return hooks;
}

const DeviceInfo* findRecord(const DeviceList& list, const char* path) {
    for (uint32_t i = 0; i < list.nDevNum; ++i) {
        const DeviceInfo* d = list.pDevInfo[i];
        if (d && d->nTLayerType == QX_TLAYER_USB3 && std::strcmp(d->u.stUsb3Info.strDevicePath, path) == 0) return d;
    }
    return nullptr;
}

using Offline = qxtest::CallCounter;

struct Frames {
    std::mutex m;
    std::condition_variable cv;
    std::vector<FrameInfo> infos;
    std::vector<Bytes> data;
    static void QX_CALL callback(const FrameInfo* info, void* user) {
        auto* self = static_cast<Frames*>(user);
        {
            std::lock_guard<std::mutex> lk(self->m);
            self->infos.push_back(*info);
            self->data.emplace_back(info->pData, info->pData + info->nDataLen);
        }
        self->cv.notify_all();
    }
    bool waitCount(size_t n, std::chrono::milliseconds bound = 5000ms) {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, bound, [&] { return infos.size() >= n; });
    }
};

class Usb3Device : public ::testing::Test {
protected:
    void SetUp() override {
        auto& r = rig();
        ASSERT_TRUE(waitUntil([&] { return r.camera->present(); }));
        r.camera->setProtoRegister(kRegWidth, 32);
        r.camera->setProtoRegister(kRegHeight, 16);
        r.camera->setProtoRegister(kRegTriggerMode, 0);
        r.camera->setLinkRegister(kLinkImageDataWidth, {12, 0, 0, 0});
    }
    void TearDown() override {
        for (QX_DEV_HANDLE h : m_handles) {
            QX_StopGrabbing(h);
            QX_DisconnectDevice(h);
            QX_DeleteDevice(h);
        }
    }
    QX_DEV_HANDLE create(const DeviceInfo& info) {
        QX_DEV_HANDLE h = nullptr;
        EXPECT_EQ(QX_CreateDevice(&h, &info), QX_OK);
        if (h) m_handles.push_back(h);
        return h;
    }
    QX_DEV_HANDLE connected(const char* model = kModel) {
        QX_DEV_HANDLE h = create(usb3Record(model));
        EXPECT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
        return h;
    }
    void release(QX_DEV_HANDLE h) {
        EXPECT_EQ(QX_DisconnectDevice(h), QX_OK);
        EXPECT_EQ(QX_DeleteDevice(h), QX_OK);
        m_handles.erase(std::remove(m_handles.begin(), m_handles.end(), h), m_handles.end());
    }

    qx::core::api::ScopedTransportHooks m_hooks{usb3OnlyHooks()};
    std::vector<QX_DEV_HANDLE> m_handles;
};

} // namespace

TEST_F(Usb3Device, EnumerationListsTheCameraAndItsAccessStatus) {
    DeviceList list{};
    ASSERT_EQ(QX_EnumDevices(&list, 1, 10), QX_OK);
    const DeviceInfo* d = findRecord(list, cameraPath().c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->strModelName, kModel);
    EXPECT_STREQ(d->strManufacturerName, "VORNA");
    EXPECT_STREQ(d->strSerialNumber, "0");
    EXPECT_STREQ(d->u.stUsb3Info.strVendorName, "VORNA");
    EXPECT_EQ(d->nAccessStatus, QX_ACCESS_STATUS_AVAILABLE);

    QX_DEV_HANDLE h = create(*d);
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    ASSERT_EQ(QX_EnumDevices(&list, 1, 10), QX_OK);
    d = findRecord(list, cameraPath().c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->nAccessStatus, QX_ACCESS_STATUS_IN_USE);
    release(h);
    ASSERT_EQ(QX_EnumDevices(&list, 1, 10), QX_OK);
    d = findRecord(list, cameraPath().c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->nAccessStatus, QX_ACCESS_STATUS_AVAILABLE);
}

TEST_F(Usb3Device, ConnectLoadsTheModelsXmlAndOnlyExclusiveAccessIsAccepted) {
    QX_DEV_HANDLE h = create(usb3Record(kModel));
    EXPECT_EQ(QX_ConnectDevice(h, QX_ACCESS_OPEN), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(QX_ConnectDevice(h, QX_ACCESS_CONTROL), QX_ERR_INVALID_PARAM);
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    bool isConnected = false;
    EXPECT_EQ(QX_GetConnectionStatus(h, &isConnected), QX_OK);
    EXPECT_TRUE(isConnected);

    const std::string xml = cameraXml(true);
    uint32_t size = 0;
    ASSERT_EQ(QX_XML_GetGenICamXMLSize(h, &size), QX_OK);
    EXPECT_EQ(size, xml.size() + 4096);
    std::vector<char> text(size);
    ASSERT_EQ(QX_XML_GetGenICamXML(h, text.data(), size), QX_OK);
    EXPECT_EQ(std::string(text.data()), xml);

    // The same camera through a second handle of this process.
    QX_DEV_HANDLE h2 = create(usb3Record(kModel));
    EXPECT_EQ(QX_ConnectDevice(h2, QX_ACCESS_EXCLUSIVE), QX_ERR_GEV_BUSY);

    release(h);
    EXPECT_TRUE(waitUntil([] { return rig().camera->openHandles() == 0; })) << rig().camera->openHandles();
    // Once released, the other handle connects.
    ASSERT_EQ(QX_ConnectDevice(h2, QX_ACCESS_EXCLUSIVE), QX_OK);
    release(h2);
}

TEST_F(Usb3Device, ConnectWithoutAnXmlFileFailsAndReleasesTheCamera) {
    QX_DEV_HANDLE bad = create(usb3Record(kModelNoXml));
    EXPECT_EQ(QX_ConnectDevice(bad, QX_ACCESS_EXCLUSIVE), QX_ERR_INVALID_PARAM);
    bool isConnected = true;
    EXPECT_EQ(QX_GetConnectionStatus(bad, &isConnected), QX_OK);
    EXPECT_FALSE(isConnected);
    EXPECT_TRUE(waitUntil([] { return rig().camera->openHandles() == 0; })) << rig().camera->openHandles();
    // Neither the manager nor the connected set keeps the camera: a good handle connects.
    QX_DEV_HANDLE h = connected();
    bool ok = false;
    EXPECT_EQ(QX_GetConnectionStatus(h, &ok), QX_OK);
    EXPECT_TRUE(ok);
    release(h);
    EXPECT_EQ(QX_DeleteDevice(bad), QX_OK);
    m_handles.erase(std::remove(m_handles.begin(), m_handles.end(), bad), m_handles.end());
}

TEST_F(Usb3Device, FeaturesAndMemoryReachBothPorts) {
    QX_DEV_HANDLE h = connected();
    auto& cam = *rig().camera;

    // Port "Device": the 'R'/'W' protocol on the byte channel.
    IntValueInfo width{};
    ASSERT_EQ(QX_XML_GetIntValue(h, "Width", &width), QX_OK);
    EXPECT_EQ(width.nValue, 32);
    EXPECT_EQ(width.nMax, kMaxWidth);
    ASSERT_EQ(QX_XML_SetIntValue(h, "Gain", 321), QX_OK);
    EXPECT_EQ(cam.protoRegister(kRegGain), 321u);
    EnumStrValueInfo trigger{};
    ASSERT_EQ(QX_XML_GetEnumValueStr(h, "TriggerMode", &trigger), QX_OK);
    EXPECT_STREQ(trigger.strValue, "Off");

    uint8_t value[4] = {};
    ASSERT_EQ(QX_ReadMemory(h, value, kRegHeight, 4, QX_PORT_DEVICE), QX_OK);
    EXPECT_EQ(value[0], 16);
    EXPECT_EQ(value[1], 0);
    uint8_t wr[4] = {0x78, 0x56, 0x34, 0x12};
    ASSERT_EQ(QX_WriteMemory(h, wr, kRegGain, 4, QX_PORT_DEVICE), QX_OK);
    EXPECT_EQ(cam.protoRegister(kRegGain), 0x12345678u);

    // Port "ConnectorDevice": register frames of the control link.
    ASSERT_EQ(QX_XML_SetIntValue(h, "ConnectorValue", 0x01020304), QX_OK);
    EXPECT_EQ(cam.linkRegister(kLinkConnectorValue), (Bytes{4, 3, 2, 1}));
    uint8_t link[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    ASSERT_EQ(QX_WriteMemory(h, link, kLinkConnectorValue, 4, QX_PORT_CONNECTOR_DEVICE), QX_OK);
    EXPECT_EQ(cam.linkRegister(kLinkConnectorValue), (Bytes{0xAA, 0xBB, 0xCC, 0xDD}));
    uint8_t back[4] = {};
    ASSERT_EQ(QX_ReadMemory(h, back, kLinkImageDataWidth, 4, QX_PORT_CONNECTOR_DEVICE), QX_OK);
    EXPECT_EQ(back[0], 12);

    // Any other port type, and a camera that does not answer.
    EXPECT_EQ(QX_ReadMemory(h, back, kRegGain, 4, 2), QX_ERR_USB3);
    cam.setAnswerByteProtocol(false);
    EXPECT_EQ(QX_ReadMemory(h, back, kRegGain, 4, QX_PORT_DEVICE), QX_ERR_USB3);
    cam.setAnswerByteProtocol(true);
    release(h);
}

TEST_F(Usb3Device, PolledFramesCarryTheTwelveBitLayout) {
    QX_DEV_HANDLE h = connected();
    qxtest::LogCapture log;
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    EXPECT_TRUE(QX_IsGrabbingStarted(h));
    EXPECT_TRUE(log.find("usbTransferBufCount=16"));
    auto& cam = *rig().camera;

    // A frame of another width is never delivered.
    cam.queueFrame(header(40, 16, 1), pixels(40 * 16 * 2, 9));
    const Bytes first = pixels(32 * 16 * 2, 1);
    cam.queueFrame(header(32, 16, 2), first);
    FrameInfo fi{};
    ASSERT_EQ(QX_GetFrame(h, &fi, 5000), QX_OK);
    EXPECT_EQ(fi.nPixelFormat, 0x01100005u);
    EXPECT_EQ(fi.nWidth, 32u);
    EXPECT_EQ(fi.nHeight, 16u);
    EXPECT_EQ(fi.nDataLen, 32u * 16u * 2u);
    EXPECT_EQ(fi.nBitsPerPixel, 16u);
    EXPECT_EQ(fi.nFrameIndex, 0u);
    EXPECT_EQ(fi.fFps, 0.0f);
    EXPECT_EQ(fi.nLostPacket, 0u);
    EXPECT_EQ(fi.nTransportWord1, 0u);
    ASSERT_NE(fi.pData, nullptr);
    EXPECT_EQ(std::memcmp(fi.pData, first.data(), first.size()), 0);
    ASSERT_EQ(QX_FreeFrame(h, &fi), QX_OK);

    const Bytes second = pixels(32 * 16 * 2, 2);
    cam.queueFrame(header(32, 16, 3), second);
    ASSERT_EQ(QX_GetFrame(h, &fi, 5000), QX_OK);
    EXPECT_EQ(fi.nFrameIndex, 1u);
    EXPECT_EQ(std::memcmp(fi.pData, second.data(), second.size()), 0);
    ASSERT_EQ(QX_FreeFrame(h, &fi), QX_OK);

    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
    EXPECT_FALSE(QX_IsGrabbingStarted(h));
    // A second stop does not reach the manager and succeeds.
    EXPECT_EQ(QX_StopGrabbing(h), QX_OK);
    release(h);
}

TEST_F(Usb3Device, CallbackFramesAndTriggeredTransferUnits) {
    rig().camera->setProtoRegister(kRegTriggerMode, 1);
    rig().camera->setLinkRegister(kLinkImageDataWidth, {8, 0, 0, 0});
    QX_DEV_HANDLE h = connected();
    Frames frames;
    ASSERT_EQ(QX_RegisterImageCallBack(h, &Frames::callback, &frames), QX_OK);
    qxtest::LogCapture log;
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    EXPECT_TRUE(log.find("getEnumValueStr TriggerMode ret=0x0"));
    EXPECT_TRUE(log.find("usbTransferBufCount=1"));
    EXPECT_FALSE(log.find("usbTransferBufCount=16"));
    FrameInfo polled{};
    EXPECT_EQ(QX_GetFrame(h, &polled, 10), QX_ERR_NOT_AVAILABLE);

    std::vector<Bytes> sent;
    for (uint32_t n = 0; n < 3; ++n) {
        sent.push_back(pixels(32 * 16, uint8_t(n + 40)));
        rig().camera->queueFrame(header(32, 16, n + 1), sent.back());
        ASSERT_TRUE(frames.waitCount(n + 1)) << "frame " << n;
    }
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
    std::lock_guard<std::mutex> lk(frames.m);
    ASSERT_EQ(frames.infos.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(frames.infos[i].nPixelFormat, 0x01080001u);
        EXPECT_EQ(frames.infos[i].nBitsPerPixel, 8u);
        EXPECT_EQ(frames.infos[i].nDataLen, 32u * 16u);
        EXPECT_EQ(frames.infos[i].nFrameIndex, i);
        EXPECT_EQ(frames.data[i], sent[i]);
    }
    release(h);
}

TEST_F(Usb3Device, WithoutImageDataWidthTheCameraIsTreatedAsTwelveBits) {
    QX_DEV_HANDLE h = connected(kModelNoBits);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    const Bytes p = pixels(32 * 16 * 2, 3);
    rig().camera->queueFrame(header(32, 16, 1), p);
    FrameInfo fi{};
    ASSERT_EQ(QX_GetFrame(h, &fi, 5000), QX_OK);
    EXPECT_EQ(fi.nPixelFormat, 0x01100005u);
    EXPECT_EQ(fi.nBitsPerPixel, 16u);
    EXPECT_EQ(fi.nDataLen, p.size());
    EXPECT_EQ(QX_FreeFrame(h, &fi), QX_OK);
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
    release(h);
}

TEST_F(Usb3Device, AcquisitionSurvivesTheApplicationHoldingEveryBuffer) {
    QX_DEV_HANDLE h = connected();
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    auto& cam = *rig().camera;
    const size_t n = 32 * 16 * 2;
    FrameInfo a{}, b{}, c{};
    cam.queueFrame(header(32, 16, 1), pixels(n, 1));
    ASSERT_EQ(QX_GetFrame(h, &a, 5000), QX_OK);
    cam.queueFrame(header(32, 16, 2), pixels(n, 2));
    ASSERT_EQ(QX_GetFrame(h, &b, 5000), QX_OK);
    // Two frames held and one queued: no buffer is free for the next frames.
    cam.queueFrame(header(32, 16, 3), pixels(n, 3));
    cam.queueFrame(header(32, 16, 4), pixels(n, 4));
    ASSERT_TRUE(cam.waitBulkBelow(0, 5s));
    ASSERT_EQ(QX_FreeFrame(h, &a), QX_OK);
    ASSERT_EQ(QX_FreeFrame(h, &b), QX_OK);
    ASSERT_EQ(QX_GetFrame(h, &c, 5000), QX_OK);
    EXPECT_EQ(c.pData[0], pixels(n, 3)[0]);
    ASSERT_EQ(QX_FreeFrame(h, &c), QX_OK);
    // Frames keep coming once buffers are given back.
    const Bytes later = pixels(n, 5);
    bool got = false;
    for (uint32_t k = 0; k < 5 && !got; ++k) {
        cam.queueFrame(header(32, 16, 5 + k), later);
        FrameInfo d{};
        if (QX_GetFrame(h, &d, 5000) == QX_OK) {
            got = std::memcmp(d.pData, later.data(), n) == 0;
            QX_FreeFrame(h, &d);
        }
    }
    EXPECT_TRUE(got);
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
    release(h);
}

TEST_F(Usb3Device, UnplugWhileGrabbingReportsOfflineOnce) {
    QX_DEV_HANDLE h = connected();
    Offline off;
    ASSERT_EQ(QX_RegisterOfflineCallBack(h, &Offline::callback, &off), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    rig().camera->queueFrame(header(32, 16, 1), pixels(32 * 16 * 2, 1));
    FrameInfo fi{};
    ASSERT_EQ(QX_GetFrame(h, &fi, 5000), QX_OK);
    ASSERT_EQ(QX_FreeFrame(h, &fi), QX_OK);

    qxtest::LogCapture log;
    unplugCamera();
    ASSERT_TRUE(off.waitCalls(1));
    // The link reader's failing requests are reported once, through the log.
    ASSERT_TRUE(waitUntil([&] { return log.count("ioRead BeginDataXfers error") >= 1; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(log.count("ioRead BeginDataXfers error"), 1u);
    uint8_t value[4] = {};
    EXPECT_EQ(QX_ReadMemory(h, value, kRegGain, 4, QX_PORT_DEVICE), QX_ERR_GENERAL);
    EXPECT_EQ(QX_ReadMemory(h, value, kLinkConnectorValue, 4, QX_PORT_CONNECTOR_DEVICE), QX_ERR_GENERAL);
    // A repeated removal notice does not report the camera again.
    repeatRemovalNotice();
    QX_StopGrabbing(h);
    EXPECT_EQ(QX_DisconnectDevice(h), QX_OK);
    EXPECT_EQ(QX_DeleteDevice(h), QX_OK);
    m_handles.clear();
    EXPECT_EQ(off.count(), 1);

    // The removal is seen before the camera comes back, so the count below is the arrival's.
    ASSERT_TRUE(waitUntil([] { return qx::usb3::QX_U3V_GetManager()->GetDeviceCount() == 0; }));
    replugCamera();
    ASSERT_TRUE(waitUntil([] { return qx::usb3::QX_U3V_GetManager()->GetDeviceCount() == 1; }));
    // Plugged in again, the camera connects through a new handle.
    QX_DEV_HANDLE h2 = connected();
    IntValueInfo width{};
    EXPECT_EQ(QX_XML_GetIntValue(h2, "Width", &width), QX_OK);
    release(h2);
    EXPECT_EQ(off.count(), 1);
}

TEST_F(Usb3Device, DeleteWhileConnectedIsRefusedAndDisconnectReleasesEverything) {
    QX_DEV_HANDLE h = connected();
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    EXPECT_EQ(QX_DeleteDevice(h), QX_ERR_WRONG_STATE);
    // Disconnect stops the acquisition as well.
    EXPECT_EQ(QX_DisconnectDevice(h), QX_OK);
    EXPECT_FALSE(QX_IsGrabbingStarted(h));
    EXPECT_TRUE(waitUntil([] { return rig().camera->openHandles() == 0; })) << rig().camera->openHandles();
    EXPECT_EQ(QX_DeleteDevice(h), QX_OK);
    m_handles.clear();
}

namespace {
// Offline callback that disconnects its camera from inside the notification.
struct DisconnectOnLoss {
    QX_DEV_HANDLE handle = nullptr;
    std::atomic<int> calls{0};
    std::atomic<QX_STATUS> status{QX_ERR_GENERAL};
    static void QX_CALL callback(void* user) {
        auto* self = static_cast<DisconnectOnLoss*>(user);
        self->status = QX_DisconnectDevice(self->handle);
        ++self->calls;
    }
};
} // namespace

TEST_F(Usb3Device, DisconnectInTheOfflineCallbackWhileEnumeratingReleasesTheCamera) {
    QX_DEV_HANDLE h = connected();
    DisconnectOnLoss loss;
    loss.handle = h;
    ASSERT_EQ(QX_RegisterOfflineCallBack(h, &DisconnectOnLoss::callback, &loss), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);

    // Enumeration runs on another thread the whole time the camera goes away.
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread enumerator([&] {
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (!stop.load() && std::chrono::steady_clock::now() < end) {
            DeviceList list{};
            QX_EnumDevices(&list, 1, 10);
            ++rounds;
        }
    });
    ASSERT_TRUE(waitUntil([&] { return rounds.load() > 0; }));
    unplugCamera();
    const bool called = waitUntil([&] { return loss.calls.load() == 1; }, 20000ms);
    const int before = rounds.load();
    const bool enumerationGoesOn = waitUntil([&] { return rounds.load() > before; }, 20000ms);
    stop = true;
    enumerator.join();
    ASSERT_TRUE(called);
    EXPECT_TRUE(enumerationGoesOn);
    EXPECT_EQ(loss.status.load(), QX_OK);
    bool isConnected = true;
    EXPECT_EQ(QX_GetConnectionStatus(h, &isConnected), QX_OK);
    EXPECT_FALSE(isConnected);
    EXPECT_FALSE(QX_IsGrabbingStarted(h));
    // Everything the connection held is given back to the camera.
    EXPECT_TRUE(waitUntil([] { return rig().camera->openHandles() == 0; })) << rig().camera->openHandles();

    // Plugged in again, the same handle connects, and enumeration names the camera. The removal
    // is seen first: a connect between the two notices would meet the removal afterwards.
    ASSERT_TRUE(waitUntil([] { return qx::usb3::QX_U3V_GetManager()->GetDeviceCount() == 0; }));
    replugCamera();
    ASSERT_TRUE(waitUntil([] { return qx::usb3::QX_U3V_GetManager()->GetDeviceCount() == 1; }));
    DeviceList list{};
    ASSERT_EQ(QX_EnumDevices(&list, 1, 10), QX_OK);
    const DeviceInfo* d = findRecord(list, cameraPath().c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->strModelName, kModel);
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    uint8_t value[4] = {};
    EXPECT_EQ(QX_ReadMemory(h, value, kRegHeight, 4, QX_PORT_DEVICE), QX_OK);
    EXPECT_EQ(value[0], 16);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    const Bytes p = pixels(32 * 16 * 2, 4);
    rig().camera->queueFrame(header(32, 16, 1), p);
    FrameInfo fi{};
    ASSERT_EQ(QX_GetFrame(h, &fi, 5000), QX_OK);
    EXPECT_EQ(std::memcmp(fi.pData, p.data(), p.size()), 0);
    EXPECT_EQ(QX_FreeFrame(h, &fi), QX_OK);
    EXPECT_EQ(QX_StopGrabbing(h), QX_OK);
    release(h);
}

TEST_F(Usb3Device, ByteChannelReplyThatCameAfterItsReadGaveUpIsNotTakenForTheNext) {
    QX_DEV_HANDLE h = connected();
    auto& cam = *rig().camera;
    cam.setAnswerByteProtocol(false);
    uint8_t value[4] = {};
    EXPECT_EQ(QX_ReadMemory(h, value, kRegGain, 4, QX_PORT_DEVICE), QX_ERR_USB3);
    // The camera answers at last; the reply sits in the host's byte channel once the link
    // reader has asked for more.
    const Bytes late = {0x06, 0x00, 0x00, 0x0A, 0xBC};
    cam.sendChannelBytes(late.data(), late.size());
    ASSERT_TRUE(cam.waitOutDrained(5s));
    ASSERT_TRUE(cam.waitLinkReads(cam.linkReads() + 1, 5s));
    cam.setAnswerByteProtocol(true);
    ASSERT_EQ(QX_ReadMemory(h, value, kRegWidth, 4, QX_PORT_DEVICE), QX_OK);
    EXPECT_EQ(value[0], 32);
    EXPECT_EQ(value[1], 0);
    ASSERT_EQ(QX_ReadMemory(h, value, kRegHeight, 4, QX_PORT_DEVICE), QX_OK);
    EXPECT_EQ(value[0], 16);
    release(h);
}

TEST_F(Usb3Device, TwentyFourBitFramesOfTheLargestSizeArriveWhole) {
    auto& cam = *rig().camera;
    cam.setLinkRegister(kLinkImageDataWidth, {24, 0, 0, 0});
    cam.setProtoRegister(kRegWidth, kMaxWidth);
    cam.setProtoRegister(kRegHeight, kMaxHeight);
    QX_DEV_HANDLE h = connected();
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    const size_t bytes = size_t(kMaxWidth) * kMaxHeight * 4;
    for (uint32_t n = 1; n <= 2; ++n) {
        const Bytes p = pixels(bytes, uint8_t(n));
        cam.queueFrame(header(kMaxWidth, kMaxHeight, n), p);
        FrameInfo fi{};
        ASSERT_EQ(QX_GetFrame(h, &fi, 5000), QX_OK) << "frame " << n;
        EXPECT_EQ(fi.nPixelFormat, 0x01200111u);
        EXPECT_EQ(fi.nBitsPerPixel, 32u);
        ASSERT_EQ(fi.nDataLen, bytes);
        // Every byte is the camera's: no padding in the delivered frame.
        EXPECT_EQ(std::memcmp(fi.pData, p.data(), bytes), 0);
        EXPECT_EQ(QX_FreeFrame(h, &fi), QX_OK);
    }
    EXPECT_EQ(QX_StopGrabbing(h), QX_OK);
    release(h);
}

// The same below the largest size, and for every width from 17 to 24 bits.
TEST_F(Usb3Device, SeventeenToTwentyFourBitFramesBelowTheLargestSizeArriveWhole) {
    auto& cam = *rig().camera;
    const std::pair<uint8_t, uint32_t> rounds[] = {{17, 0}, {20, 0}, {24, 0}, {24, 1}};
    for (const auto& [bits, triggered] : rounds) {
        // A triggered camera reads one page per bulk transfer.
        cam.setProtoRegister(kRegTriggerMode, triggered);
        cam.setLinkRegister(kLinkImageDataWidth, {bits, 0, 0, 0});
        cam.setProtoRegister(kRegWidth, 32);
        cam.setProtoRegister(kRegHeight, 16);
        QX_DEV_HANDLE h = connected();
        ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
        const size_t bytes = size_t(32) * 16 * 4;
        const Bytes p = pixels(bytes, bits);
        cam.queueFrame(header(32, 16, 1), p);
        FrameInfo fi{};
        ASSERT_EQ(QX_GetFrame(h, &fi, 5000), QX_OK) << int(bits);
        ASSERT_EQ(fi.nDataLen, bytes);
        EXPECT_EQ(std::memcmp(fi.pData, p.data(), bytes), 0) << int(bits) << " bits";
        EXPECT_EQ(QX_FreeFrame(h, &fi), QX_OK);
        EXPECT_EQ(QX_StopGrabbing(h), QX_OK);
        release(h);
    }
}

TEST_F(Usb3Device, FileSendReachesTheCameraOneWholeMessagePerWrite) {
    QX_DEV_HANDLE h = connected();
    const size_t length = 1000; // five packets, the last of 80 bytes
    Bytes file(length);
    for (size_t i = 0; i < length; ++i) file[i] = uint8_t(i * 11 + 5);
    const std::string local = xmlDir() + "send.bin";
    {
        std::ofstream out(local, std::ios::binary);
        out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    }
    const size_t before = rig().camera->fileMessages().size();
    FileAccessParam param{local.c_str(), "fw.bin"};
    ::testing::internal::CaptureStdout();
    const QX_STATUS status = QX_FileAccessWrite(h, &param);
    ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, QX_OK);
    const std::vector<Bytes> all = rig().camera->fileMessages();
    ASSERT_EQ(all.size() - before, 7u); // header, five packets, end mark
    const std::vector<Bytes> msgs(all.begin() + long(before), all.end());
    ASSERT_EQ(msgs[0].size(), 33u);
    EXPECT_EQ(msgs[0][0], 0x01);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(msgs[0].data() + 1)), "fw.bin");
    Bytes received;
    for (size_t k = 1; k <= 5; ++k) {
        EXPECT_EQ(msgs[k][0], k == 5 ? 0x03 : 0x02);
        EXPECT_EQ(msgs[k][4], uint8_t(k - 1));
        received.insert(received.end(), msgs[k].begin() + 5, msgs[k].end());
    }
    EXPECT_EQ(received, file);
    EXPECT_EQ(msgs[6], (Bytes{0x04}));
    // The camera's registers still answer afterwards.
    uint8_t value[4] = {};
    EXPECT_EQ(QX_ReadMemory(h, value, kRegHeight, 4, QX_PORT_DEVICE), QX_OK);
    EXPECT_EQ(value[0], 16);
    release(h);
}

TEST_F(Usb3Device, CameraHeldByAnotherProcessFailsTheConnectAndTheLogSaysWhy) {
    if (!throughLibusb()) GTEST_SKIP() << "the claim is libusb's";
    qxtest::LogCapture log;
    setCameraHeldElsewhere(true);
    QX_DEV_HANDLE h = create(usb3Record(kModel));
    EXPECT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_ERR_USB3);
    setCameraHeldElsewhere(false);
    EXPECT_TRUE(log.find("LIBUSB_ERROR_BUSY"));
    EXPECT_TRUE(log.find("another process"));
    EXPECT_TRUE(waitUntil([] { return rig().camera->openHandles() == 0; }));
    // Once the other process lets go, the camera connects.
    ASSERT_EQ(QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE), QX_OK);
    release(h);
}

// A triggered camera waits for its trigger as long as it likes: no frame for longer than a
// stalled stream would take to be given up is not a lost camera.
TEST_F(Usb3Device, TriggeredCameraIdleForSecondsStaysConnectedAndDeliversTheNextFrame) {
    rig().camera->setProtoRegister(kRegTriggerMode, 1);
    QX_DEV_HANDLE h = connected();
    Offline off;
    ASSERT_EQ(QX_RegisterOfflineCallBack(h, &Offline::callback, &off), QX_OK);
    const size_t clearsBefore = rig().camera->bulkHaltClears();
    qxtest::LogCapture log;
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    ASSERT_TRUE(log.find("usbTransferBufCount=1"));

    // Longer than the stream's idle wait, its abort and the failure limit together.
    constexpr auto kIdle = 9000ms;
    EXPECT_FALSE(off.waitCalls(1, kIdle)) << "a waiting camera was reported lost";
    EXPECT_EQ(rig().camera->bulkHaltClears(), clearsBefore) << "a healthy endpoint was cleared";
    // One idle episode, one line.
    EXPECT_EQ(log.count("CameraGetImage timeout"), 1u);

    uint8_t value[4] = {};
    EXPECT_EQ(QX_ReadMemory(h, value, kRegHeight, 4, QX_PORT_DEVICE), QX_OK);
    EXPECT_EQ(value[0], 16);
    const Bytes p = pixels(32 * 16 * 2, 7);
    rig().camera->queueFrame(header(32, 16, 1), p);
    expectNextFrame(h, p);
    // Idle again: the stop does not wait out the acquisition's image wait.
    ASSERT_TRUE(waitUntil([&] { return log.count("CameraGetImage timeout") == 2; }));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(QX_StopGrabbing(h), QX_OK);
    const auto stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    RecordProperty("stop_ms", int(stopMs.count()));
    EXPECT_EQ(off.count(), 0);
    release(h);
}

// A register-frame reply shorter than the read asked for is no value: the read fails and the
// caller's buffer is not passed off as the register.
TEST_F(Usb3Device, ShortRegisterFrameRepliesFailTheRead) {
    QX_DEV_HANDLE h = connected();
    auto& cam = *rig().camera;
    constexpr uint32_t kShort = 0x2010;
    for (const Bytes& reply : {Bytes{0x55}, Bytes{}, Bytes{1, 2, 3}}) {
        cam.setLinkRegister(kShort, reply);
        uint8_t value[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(QX_ReadMemory(h, value, kShort, 4, QX_PORT_CONNECTOR_DEVICE), QX_ERR_USB3) << reply.size();
    }
    // A reply as long as asked, or longer, is the value.
    cam.setLinkRegister(kShort, {1, 2, 3, 4, 5});
    uint8_t value[4] = {};
    ASSERT_EQ(QX_ReadMemory(h, value, kShort, 4, QX_PORT_CONNECTOR_DEVICE), QX_OK);
    EXPECT_EQ(Bytes(value, value + 4), (Bytes{1, 2, 3, 4}));
    uint8_t two[2] = {};
    ASSERT_EQ(QX_ReadMemory(h, two, kShort, 2, QX_PORT_CONNECTOR_DEVICE), QX_OK);
    EXPECT_EQ(two[1], 2);
    release(h);
}

namespace {
// Reads a byte-channel register until it answers (bounded); every answer that claims success
// must be the register's own value.
void expectOnlyOwnValues(QX_DEV_HANDLE h, uint16_t address, uint32_t expected) {
    bool answered = false;
    for (int attempt = 0; attempt < 10 && !answered; ++attempt) {
        uint8_t value[4] = {};
        if (QX_ReadMemory(h, value, address, 4, QX_PORT_DEVICE) != QX_OK) continue;
        answered = true;
        uint32_t got =
            uint32_t(value[0]) | uint32_t(value[1]) << 8 | uint32_t(value[2]) << 16 | uint32_t(value[3]) << 24;
        EXPECT_EQ(got, expected) << "register 0x" << std::hex << address << " answered with another reply";
    }
    EXPECT_TRUE(answered) << "register 0x" << std::hex << address;
}
} // namespace

// The camera answers byte-channel requests late: the replies enumeration gave up on must not
// answer the reads after connect, and within a connection a late reply answers no later read.
TEST_F(Usb3Device, LateByteChannelRepliesAnswerNoOtherRead) {
    auto& cam = *rig().camera;
    cam.setProtoRegister(kRegGain, 0x777);
    cam.setProtoReplyDelay(1200ms);
    DeviceList list{};
    ASSERT_EQ(QX_EnumDevices(&list, 1, 10), QX_OK);
    cam.setProtoReplyDelay(0ms);
    QX_DEV_HANDLE h = connected();
    expectOnlyOwnValues(h, kRegWidth, 32);
    expectOnlyOwnValues(h, kRegHeight, 16);

    cam.setProtoReplyDelay(1200ms);
    uint8_t value[4] = {};
    EXPECT_EQ(QX_ReadMemory(h, value, kRegGain, 4, QX_PORT_DEVICE), QX_ERR_USB3);
    cam.setProtoReplyDelay(0ms);
    expectOnlyOwnValues(h, kRegWidth, 32);
    expectOnlyOwnValues(h, kRegHeight, 16);
    expectOnlyOwnValues(h, kRegGain, 0x777);
    release(h);
    // Enumeration names the camera again once it answers in time.
    ASSERT_EQ(QX_EnumDevices(&list, 1, 10), QX_OK);
    const DeviceInfo* d = findRecord(list, cameraPath().c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->strModelName, kModel);
}

namespace {
// Writes `file` to a local file and sends it to the camera as "fw.bin".
QX_STATUS sendFile(QX_DEV_HANDLE h, const Bytes& file) {
    const std::string local = xmlDir() + "send-stall.bin";
    {
        std::ofstream out(local, std::ios::binary);
        out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    }
    FileAccessParam param{local.c_str(), "fw.bin"};
    ::testing::internal::CaptureStdout();
    const QX_STATUS status = QX_FileAccessWrite(h, &param);
    ::testing::internal::GetCapturedStdout();
    return status;
}

// The file as the camera received it: the data of the packets after `from`, in order; false
// when the messages are not one header, whole numbered packets in order and one end mark.
bool fileAtCamera(size_t from, Bytes& data) {
    const std::vector<Bytes> all = rig().camera->fileMessages();
    if (all.size() < from + 2) return false;
    const std::vector<Bytes> msgs(all.begin() + long(from), all.end());
    if (msgs.front().size() != 33 || msgs.front()[0] != 0x01 || msgs.back() != Bytes{0x04}) return false;
    data.clear();
    for (size_t k = 1; k + 1 < msgs.size(); ++k) {
        const Bytes& m = msgs[k];
        if (m.size() < 6 || (m[0] != 0x02 && m[0] != 0x03)) return false;
        const uint32_t number = uint32_t(m[1]) << 24 | uint32_t(m[2]) << 16 | uint32_t(m[3]) << 8 | m[4];
        if (number != k - 1) return false;
        data.insert(data.end(), m.begin() + 5, m.end());
    }
    return true;
}
} // namespace

// An OUT endpoint that stalls on and off during a file send: success means the camera holds
// every byte once and in order, never a message joined from two sends.
TEST_F(Usb3Device, FileSendThroughAStallingChannelIsWholeOrFails) {
    QX_DEV_HANDLE h = connected();
    Bytes file(64 * 1024);
    for (size_t i = 0; i < file.size(); ++i) file[i] = uint8_t(i * 13 + (i >> 9));
    for (int period : {3, 2, 5}) {
        const size_t before = rig().camera->fileMessages().size();
        rig().camera->setStallLinkWritesEvery(period);
        const QX_STATUS status = sendFile(h, file);
        rig().camera->setStallLinkWritesEvery(0);
        EXPECT_EQ(status, QX_OK) << "period " << period;
        if (status == QX_OK) {
            Bytes received;
            ASSERT_TRUE(fileAtCamera(before, received)) << "period " << period;
            EXPECT_TRUE(received == file) << "period " << period;
        }
        // The channel still answers in step afterwards.
        expectOnlyOwnValues(h, kRegHeight, 16);
    }
    release(h);
}

TEST_F(Usb3Device, EmptyFileIsRefusedAndTheCameraGetsNothing) {
    QX_DEV_HANDLE h = connected();
    const size_t before = rig().camera->fileMessages().size();
    EXPECT_EQ(sendFile(h, Bytes{}), QX_ERR_GENERAL);
    EXPECT_EQ(rig().camera->fileMessages().size(), before);
    expectOnlyOwnValues(h, kRegHeight, 16);
    release(h);
}

// Each frame ends its bulk transfer with a short packet. Frames queued back to back each
// arrive whole and in order: the bytes of the next frame never fill the rest of the transfer
// the previous one ended (through libusb a transfer is several URBs).
TEST_F(Usb3Device, FramesEndingTransfersShortArriveWholeAndInOrder) {
    QX_DEV_HANDLE h = connected();
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    ASSERT_TRUE(rig().camera->waitPendingBulkReads(1, 5s));
    std::vector<Bytes> sent;
    // Two at a time: the camera's frame queue holds two frames for the application.
    for (uint32_t n = 1; n <= 2; ++n) {
        sent.push_back(pixels(32 * 16 * 2, uint8_t(60 + n)));
        rig().camera->queueFrame(header(32, 16, n), sent.back());
    }
    for (const Bytes& frame : sent) expectNextFrame(h, frame);
    // A frame cut short inside its last page is lost, alone: the frame right behind it starts
    // its own transfer and arrives.
    Bytes cut = qx::usb3::sim::SimUsb3Camera::frameBytes(header(32, 16, 7), pixels(32 * 16 * 2, 70));
    cut.resize(cut.size() - 100);
    rig().camera->queueBulk(cut, true);
    const Bytes next = pixels(32 * 16 * 2, 71);
    rig().camera->queueFrame(header(32, 16, 8), next);
    expectNextFrame(h, next);
    EXPECT_EQ(QX_StopGrabbing(h), QX_OK);
    release(h);
}
