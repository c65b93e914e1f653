// USB3 enumeration: "Config.ini", naming a camera by its model-id register, and the device
// records, first over a scripted source, then (Usb3ThreadedEnum) over the USB manager and the
// simulated camera.
#include "LogCapture.h"
#include "usb3/QxUsb3EnumHelper.h"
#include "usb3/QxUsbManager.h"
#include "SimUsb3Camera.h"
#include "usb3/UsbLinkWire.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace qx::usb3;

namespace fs = std::filesystem;
using qx::usb3::kUsbInvalidHandle;
using qx::usb3::UsbDevHandle;

namespace {

// A scripted USB manager: listed paths, cameras answering 'R'/'W' on their byte channel.
class FakeSource : public qx::usb3::Usb3EnumSource {
public:
    struct Camera {
        std::string path;
        std::map<uint16_t, uint32_t> regs;
        bool openable = true;
        bool listed = true;
    };
    std::vector<Camera> cameras;
    std::vector<UsbDevHandle> closed;
    int opens = 0;
    std::vector<uint16_t> readAddresses;

    int deviceCount() override { return static_cast<int>(listed().size()); }
    bool devicePath(int index, std::string& path) override {
        std::vector<Camera*> l = listed();
        if (index < 0 || index >= int(l.size())) return false;
        path = l[size_t(index)]->path;
        return true;
    }
    UsbDevHandle openDevice(const std::string& path) override {
        ++opens;
        for (size_t i = 0; i < cameras.size(); ++i) {
            if (cameras[i].path == path && cameras[i].listed && cameras[i].openable && m_open.count(i) == 0) {
                const UsbDevHandle h = m_next++;
                m_open[i] = h;
                m_byHandle[h] = i;
                return h;
            }
        }
        return kUsbInvalidHandle;
    }
    bool closeDevice(UsbDevHandle handle) override {
        closed.push_back(handle);
        auto it = m_byHandle.find(handle);
        if (it == m_byHandle.end()) return false;
        m_open.erase(it->second);
        m_byHandle.erase(it);
        m_out.clear();
        return true;
    }
    bool readData(UsbDevHandle handle, uint8_t* buffer, int& count, int) override {
        if (m_byHandle.count(handle) == 0 || m_out.empty()) {
            count = 0;
            return false;
        }
        const int n = std::min<int>(count, int(m_out.size()));
        std::memcpy(buffer, m_out.data(), size_t(n));
        m_out.erase(m_out.begin(), m_out.begin() + n);
        count = n;
        return true;
    }
    bool writeData(UsbDevHandle handle, const uint8_t* bytes, int count, int) override {
        auto it = m_byHandle.find(handle);
        if (it == m_byHandle.end()) return false;
        Camera& cam = cameras[it->second];
        if (count == 3 && bytes[0] == 'R') {
            const uint16_t a = uint16_t((bytes[1] << 8) | bytes[2]);
            readAddresses.push_back(a);
            auto r = cam.regs.find(a);
            if (r == cam.regs.end()) return true; // no reply: the read times out
            m_out = qx::usb3::encodeRegProtoReadReply(r->second);
            return true;
        }
        return false;
    }
    bool isOpen() const { return !m_byHandle.empty(); }

private:
    std::vector<Camera*> listed() {
        std::vector<Camera*> l;
        for (Camera& c : cameras)
            if (c.listed) l.push_back(&c);
        return l;
    }
    UsbDevHandle m_next = 100;
    std::map<size_t, UsbDevHandle> m_open;
    std::map<UsbDevHandle, size_t> m_byHandle;
    std::vector<uint8_t> m_out;
};

// A temporary USB3 XML directory.
class XmlDir {
public:
    explicit XmlDir(const std::string& tag) {
        static std::atomic<int> n{0};
        m_dir = fs::temp_directory_path() /
                ("qxcam-u3enum-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(n++));
        fs::create_directories(m_dir);
    }
    ~XmlDir() { fs::remove_all(m_dir); }
    void writeConfig(const std::string& text) {
        std::ofstream out(m_dir / "Config.ini", std::ios::binary);
        out << text;
    }
    std::string path() const { return m_dir.string() + "/"; }

private:
    fs::path m_dir;
};

std::string modelOf(const DeviceInfo& d) { return std::string(d.strModelName); }

TEST(Usb3EnumConfig, ReadsRegisterAndModelsAsTheIniSays) {
    XmlDir dir("cfg");
    std::string longLine(200, 'x');
    dir.writeConfig("[Models]\r\n"
                    "; the model-id register\r\n"
                    "DeviceModelNameReg=6040\r\n"
                    "1A2B=MODEL-A\r\n"
                    "1a2c = MODEL-C trailing words\r\n"
                    "0=ZERO\r\n"
                    "1D=\r\n"
                    "ZZ=NOT-AN-ID\r\n"
                    "no equals sign\r\n" +
                    longLine + "=LONG\r\n" +
                    "1A2B=MODEL-B\r\n"
                    "2000=" +
                    std::string(70, 'N') +
                    "\r\n"
                    "3000=AFTER\n");
    QxUsb3EnumHelper helper([&] { return dir.path(); });
    ASSERT_TRUE(helper.getConfigInfo());
    EXPECT_EQ(helper.modelIdRegister(), 0x6040u);
    const std::map<uint32_t, std::string> expected{{0x1A2B, "MODEL-B"}, {0x1A2C, "MODEL-C"}, {0x3000, "AFTER"}};
    EXPECT_EQ(helper.modelMap(), expected);
}

TEST(Usb3EnumConfig, KeyCaseAndUnreadableRegister) {
    XmlDir dir("case");
    dir.writeConfig("devicemodelnamereg=603d\n");
    QxUsb3EnumHelper helper([&] { return dir.path(); });
    ASSERT_TRUE(helper.getConfigInfo());
    EXPECT_EQ(helper.modelIdRegister(), 0x603Du);
    dir.writeConfig("DeviceModelNameReg=nothex\n");
    QxUsb3EnumHelper helper2([&] { return dir.path(); });
    ASSERT_TRUE(helper2.getConfigInfo());
    EXPECT_EQ(helper2.modelIdRegister(), 0u);
}

TEST(Usb3EnumConfig, MissingFileKeepsDefaultsAndIsLoggedOnce) {
    XmlDir dir("missing");
    qxtest::LogCapture log;
    QxUsb3EnumHelper helper([&] { return dir.path(); });
    EXPECT_FALSE(helper.getConfigInfo());
    EXPECT_FALSE(helper.getConfigInfo());
    EXPECT_EQ(helper.modelIdRegister(), 0x603Cu);
    EXPECT_TRUE(helper.modelMap().empty());
    EXPECT_EQ(log.count("func:getConfigInfo, open " + dir.path() + "Config.ini failed."), 1u);
    QxUsb3EnumHelper byDefault;
    EXPECT_EQ(byDefault.xmlDirectory(), "../../QxUsb3Xml/");
}

TEST(Usb3EnumNaming, NamesFromTheModelMap) {
    XmlDir dir("naming");
    dir.writeConfig("1A2B=MODEL-A\n");
    QxUsb3EnumHelper helper([&] { return dir.path(); });
    FakeSource src;
    src.cameras.push_back({"usb:n-known", {{0x603C, 0x1A2B}}});
    src.cameras.push_back({"usb:n-unknown", {{0x603C, 0x1A2C}}});
    src.cameras.push_back({"usb:n-zero", {{0x603C, 0}}});
    src.cameras.push_back({"usb:n-closed", {}, false});
    std::string name;
    helper.getDeviceModelName("usb:n-known", name, src);
    EXPECT_EQ(name, "MODEL-A");
    EXPECT_EQ(src.readAddresses, (std::vector<uint16_t>{0x603C}));
    helper.getDeviceModelName("usb:n-unknown", name, src);
    EXPECT_EQ(name, "UnknowName_0x1a2c");
    src.readAddresses.clear();
    helper.getDeviceModelName("usb:n-zero", name, src);
    EXPECT_EQ(name, "UnknowName");
    EXPECT_EQ(src.readAddresses.size(), 3u); // three tries for a non-zero id
    helper.getDeviceModelName("usb:n-closed", name, src);
    EXPECT_EQ(name, "UnknowName");
    EXPECT_EQ(src.closed.back(), kUsbInvalidHandle); // closed also when it never opened
    EXPECT_FALSE(src.isOpen());
}

TEST(Usb3EnumNaming, ConfigFileIsReadOnceFoundAndLookedForUntilThen) {
    XmlDir dir("later");
    QxUsb3EnumHelper helper([&] { return dir.path(); });
    FakeSource src;
    src.cameras.push_back({"usb:l-1", {{0x603C, 0x1A2B}}});
    std::string name;
    helper.getDeviceModelName("usb:l-1", name, src);
    EXPECT_EQ(name, "UnknowName_0x1a2b");
    EXPECT_FALSE(helper.configRead());
    // The file appears: the next naming finds it.
    dir.writeConfig("1A2B=MODEL-A\n");
    helper.getDeviceModelName("usb:l-1", name, src);
    EXPECT_EQ(name, "MODEL-A");
    EXPECT_TRUE(helper.configRead());
    // Once read, it is not read again.
    dir.writeConfig("1A2B=MODEL-Z\n");
    helper.getDeviceModelName("usb:l-1", name, src);
    EXPECT_EQ(name, "MODEL-A");
}

TEST(Usb3EnumNaming, ConfiguredRegisterIsRead) {
    XmlDir dir("reg");
    dir.writeConfig("DeviceModelNameReg=6100\n77=SEVEN\n");
    QxUsb3EnumHelper helper([&] { return dir.path(); });
    FakeSource src;
    src.cameras.push_back({"usb:r-1", {{0x6100, 0x77}, {0x603C, 0x1A2B}}});
    std::string name;
    helper.getDeviceModelName("usb:r-1", name, src);
    EXPECT_EQ(name, "SEVEN");
}

TEST(Usb3EnumRecords, RecordsOfTheAttachedCameras) {
    XmlDir dir("records");
    dir.writeConfig("1A2B=MODEL-A\n");
    QxUsb3EnumHelper helper([&] { return dir.path(); });
    FakeSource src;
    src.cameras.push_back({"USB:Rec-A", {{0x603C, 0x1A2B}}});
    src.cameras.push_back({"usb:rec-b", {{0x603C, 0x0042}}});
    src.cameras.push_back({"usb:" + std::string(150, 'p'), {{0x603C, 0x1A2B}}});
    {
        qx::sys::MutexLock lk(g_connectedGuidSetMutex);
        g_connectedGuidSet.insert("usb:rec-b");
    }
    std::vector<DeviceInfo> list;
    helper.enumUsb3Device(list, src);
    {
        qx::sys::MutexLock lk(g_connectedGuidSetMutex);
        g_connectedGuidSet.erase("usb:rec-b");
    }
    // The camera whose path does not fit a record is left out rather than listed with a cut path.
    ASSERT_EQ(list.size(), 2u);
    const DeviceInfo& a = list[0];
    const DeviceInfo& b = list[1];
    EXPECT_EQ(modelOf(a), "MODEL-A");
    EXPECT_STREQ(a.strManufacturerName, "VORNA");
    EXPECT_STREQ(a.strDeviceVersion, "");
    EXPECT_STREQ(a.strUserDefinedName, "");
    EXPECT_EQ(a.nTLayerType, 2);
    EXPECT_EQ(a.nAccessStatus, 1);
    EXPECT_STREQ(a.u.stUsb3Info.strVendorName, "VORNA");
    EXPECT_EQ(a.u.stUsb3Info.nDevIndex, 0u);
    EXPECT_STREQ(a.u.stUsb3Info.strDevicePath, "usb:rec-a");
    EXPECT_EQ(modelOf(b), "UnknowName_0x42");
    EXPECT_EQ(b.nAccessStatus, 3);
    EXPECT_EQ(b.u.stUsb3Info.nDevIndex, 1u);
    // Running numbers: consecutive, in order of first sight.
    const int na = std::stoi(a.strSerialNumber);
    const int nb = std::stoi(b.strSerialNumber);
    EXPECT_EQ(nb, na + 1);
    EXPECT_EQ(g_usb3DevicePathIndexMap.at("usb:rec-a"), na);
    EXPECT_FALSE(src.isOpen());
}

TEST(Usb3EnumRecords, NumbersAndNamesSurviveUnplugAndUnknownNamesAreRetried) {
    XmlDir dir("replug");
    dir.writeConfig("1A2B=MODEL-A\n");
    QxUsb3EnumHelper helper([&] { return dir.path(); });
    FakeSource src;
    src.cameras.push_back({"usb:rp-1", {{0x603C, 0x1A2B}}});
    src.cameras.push_back({"usb:rp-2", {{0x603C, 0x1A2B}}, false}); // busy elsewhere: cannot be opened
    std::vector<DeviceInfo> first;
    helper.enumUsb3Device(first, src);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(modelOf(first[1]), "UnknowName");

    // Unplug the first, the second becomes openable.
    src.cameras[0].listed = false;
    src.cameras[1].openable = true;
    std::vector<DeviceInfo> second;
    helper.enumUsb3Device(second, src);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(modelOf(second[0]), "MODEL-A"); // named again
    EXPECT_STREQ(second[0].strSerialNumber, first[1].strSerialNumber);
    EXPECT_EQ(second[0].u.stUsb3Info.nDevIndex, 0u);

    // Plugged in again: same number and name, without opening it again.
    src.cameras[0].listed = true;
    src.cameras[0].regs[0x603C] = 0x9999;
    const int opens = src.opens;
    std::vector<DeviceInfo> third;
    helper.enumUsb3Device(third, src);
    ASSERT_EQ(third.size(), 2u);
    EXPECT_EQ(modelOf(third[0]), "MODEL-A");
    EXPECT_STREQ(third[0].strSerialNumber, first[0].strSerialNumber);
    EXPECT_EQ(src.opens, opens); // both names are known: no camera opened
}

// ---- over the USB manager and the simulated camera ----------------------------------------

TEST(Usb3ThreadedEnum, NamesSimulatedCamerasThroughTheManager) {
    // Names and numbers of paths live for the process: each run uses paths of its own, so a
    // repeated run names its cameras again.
    static int run = 0;
    const std::string tag = std::to_string(run++);
    const std::string firstPath = "usb:sim-enum-1-" + tag;
    XmlDir dir("sim");
    dir.writeConfig("DeviceModelNameReg=603C\n1A2B=SIM-MODEL\n");
    auto backend = std::make_shared<qx::usb3::sim::SimUsbBackend>();
    auto first = std::make_shared<qx::usb3::sim::SimUsb3Camera>(firstPath);
    auto second = std::make_shared<qx::usb3::sim::SimUsb3Camera>("usb:sim-enum-2-" + tag);
    backend->addCamera(first);
    backend->addCamera(second);
    first->setProtoRegister(0x603C, 0x1A2B);
    second->setProtoRegister(0x603C, 0x0BAD);
    qx::usb3::QxUsbManager manager(backend);
    qx::usb3::ManagerEnumSource source(&manager);
    QxUsb3EnumHelper helper([&] { return dir.path(); });

    std::vector<DeviceInfo> list;
    helper.enumUsb3Device(list, source);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(modelOf(list[0]), "SIM-MODEL");
    EXPECT_EQ(std::string(list[0].u.stUsb3Info.strDevicePath), firstPath);
    EXPECT_EQ(modelOf(list[1]), "UnknowName_0xbad");
    EXPECT_EQ(list[1].u.stUsb3Info.nDevIndex, 1u);
    // The byte channel carried the read request; every camera was closed again.
    const std::vector<uint8_t> sent = first->channelBytesFromHost();
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(std::vector<uint8_t>(sent.begin(), sent.begin() + 3), (std::vector<uint8_t>{0x52, 0x60, 0x3C}));
    EXPECT_EQ(first->openHandles(), 0);
    EXPECT_EQ(second->openHandles(), 0);

    // A camera already open in this process is listed as "UnknowName" and keeps its number.
    const UsbDevHandle h = manager.OpenDevice(("usb:sim-enum-2-" + tag).c_str());
    ASSERT_NE(h, kUsbInvalidHandle);
    std::vector<DeviceInfo> again;
    helper.enumUsb3Device(again, source);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(modelOf(again[1]), "UnknowName"); // a name with "UnknowName" is read again; the open failed
    EXPECT_STREQ(again[1].strSerialNumber, list[1].strSerialNumber);
    EXPECT_TRUE(manager.CloseDevice(h));

    // A camera that does not answer the byte protocol gets "UnknowName".
    auto mute = std::make_shared<qx::usb3::sim::SimUsb3Camera>("usb:sim-enum-mute-" + tag);
    mute->setAnswerByteProtocol(false);
    backend->plugNew(mute);
    for (int i = 0; i < 200 && manager.GetDeviceCount() < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the watcher lists it
    }
    ASSERT_EQ(manager.GetDeviceCount(), 3);
    std::vector<DeviceInfo> third;
    helper.enumUsb3Device(third, source);
    ASSERT_EQ(third.size(), 3u);
    EXPECT_EQ(modelOf(third[2]), "UnknowName");
    EXPECT_EQ(mute->openHandles(), 0);
}

} // namespace
