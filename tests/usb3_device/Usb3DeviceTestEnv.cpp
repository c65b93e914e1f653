#include "Usb3DeviceTestEnv.h"

#include "usb3/QxUsbManager.h"
#ifdef QX_HAVE_UMOCKDEV
#include "UmockdevUsb3Camera.h"
#endif

#include <filesystem>
#include <fstream>
#include <sstream>

namespace qxtest::usb3dev {

namespace fs = std::filesystem;

namespace {

std::string intReg(const std::string& name, uint32_t address, const std::string& port) {
    std::ostringstream x;
    x << "<IntReg Name=\"" << name << "\"><Address>0x" << std::hex << address << std::dec
      << "</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>" << port
      << "</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign><Endianess>LittleEndian</Endianess></IntReg>\n";
    return x.str();
}

bool writeFile(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

} // namespace

qx::usb3::sim::SimUsb3Rig& rig() {
    static auto* r = new qx::usb3::sim::SimUsb3Rig();
    return *r;
}

std::string xmlDir() { return (fs::current_path() / "QxUsb3Xml").string() + "/"; }

std::string cameraXml(bool withImageDataWidth) {
    std::ostringstream x;
    x << R"(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="SimCam" VendorName="VORNA" StandardNameSpace="None"
  SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0"
  MajorVersion="1" MinorVersion="0" SubMinorVersion="0" ToolTip="simulated USB3 camera"
  ProductGuid="0" VersionGuid="0" xmlns="http://www.genicam.org/GenApi/Version_1_1">
<Category Name="Root" NameSpace="Standard">
  <pFeature>Width</pFeature>
  <pFeature>Height</pFeature>
  <pFeature>TriggerMode</pFeature>
  <pFeature>Gain</pFeature>
  <pFeature>ConnectorValue</pFeature>
</Category>
<Integer Name="Width" NameSpace="Standard">
  <pIsLocked>TLParamsLocked</pIsLocked>
  <pValue>WidthReg</pValue>
  <Min>8</Min>
  <Max>)"
      << kMaxWidth << R"(</Max>
  <Inc>8</Inc>
</Integer>
<Integer Name="Height" NameSpace="Standard">
  <pIsLocked>TLParamsLocked</pIsLocked>
  <pValue>HeightReg</pValue>
  <Min>1</Min>
  <Max>)"
      << kMaxHeight << R"(</Max>
</Integer>
<Integer Name="TLParamsLocked">
  <Visibility>Invisible</Visibility>
  <Value>0</Value>
  <Min>0</Min>
  <Max>1</Max>
</Integer>
<Enumeration Name="TriggerMode" NameSpace="Standard">
  <EnumEntry Name="Off"><Value>0</Value></EnumEntry>
  <EnumEntry Name="On"><Value>1</Value></EnumEntry>
  <pValue>TriggerModeReg</pValue>
</Enumeration>
<Integer Name="Gain">
  <pValue>GainReg</pValue>
  <Min>0</Min>
  <Max>1000</Max>
</Integer>
<Integer Name="ConnectorValue">
  <pValue>ConnectorValueReg</pValue>
  <Min>0</Min>
  <Max>4294967295</Max>
</Integer>
)" << intReg("WidthReg", kRegWidth, "Device")
      << intReg("HeightReg", kRegHeight, "Device") << intReg("TriggerModeReg", kRegTriggerMode, "Device")
      << intReg("GainReg", kRegGain, "Device") << intReg("ConnectorValueReg", kLinkConnectorValue, "ConnectorDevice");
    if (withImageDataWidth) {
        x << "<Integer Name=\"IMAGE_DATA_WIDTH\"><pValue>ImageDataWidthReg</pValue><Min>0</Min><Max>64</Max></Integer>\n"
          << intReg("ImageDataWidthReg", kLinkImageDataWidth, "ConnectorDevice");
    }
    x << "<Port Name=\"ConnectorDevice\"/>\n<Port Name=\"Device\" NameSpace=\"Standard\"/>\n</RegisterDescription>\n";
    return x.str();
}

namespace {
bool g_throughLibusb = false;
#ifdef QX_HAVE_UMOCKDEV
qx::usb3::sim::UmockdevUsb3Camera* g_umockdev = nullptr;
#endif
} // namespace

bool throughLibusb() { return g_throughLibusb; }

const std::string& cameraPath() {
    static const std::string path = [] {
        if (!g_throughLibusb) return std::string(kPath);
        const char* p = qx::usb3::QX_U3V_GetManager()->GetDevicePath(0);
        return p && p != qx::usb3::usbNoPath() ? std::string(p) : std::string();
    }();
    return path;
}

void unplugCamera() {
#ifdef QX_HAVE_UMOCKDEV
    if (g_umockdev) return g_umockdev->unplug();
#endif
    rig().backend->unplug(kPath);
}

void replugCamera() {
#ifdef QX_HAVE_UMOCKDEV
    if (g_umockdev) return g_umockdev->replug();
#endif
    rig().backend->replug(kPath);
}

void repeatRemovalNotice() {
    if (!g_throughLibusb)
        rig().backend->notify(qx::usb::UsbHotplugEvent::Left,
                              {kPath, qx::usb3::kCameraVendorId, qx::usb3::kCameraProductId});
}

void setCameraHeldElsewhere(bool held) {
#ifdef QX_HAVE_UMOCKDEV
    if (g_umockdev) g_umockdev->setClaimBusy(held);
#endif
    (void)held;
}

bool prepareEnvironment(bool libusb) {
    const fs::path dir = fs::current_path() / "QxUsb3Xml";
    std::error_code ec;
    fs::create_directories(dir, ec);
    std::ostringstream ini;
    ini << "DeviceModelNameReg=603C\n" << std::hex << kModelId << "=" << kModel << "\n";
    bool ok = writeFile(dir / "Config.ini", ini.str());
    ok = ok && writeFile(dir / (std::string(kModel) + ".xml"), cameraXml(true));
    ok = ok && writeFile(dir / (std::string(kModelNoBits) + ".xml"), cameraXml(false));
    ok = ok && writeFile(fs::current_path() / "QxSdkConfig.json", "{\n  \"QxUsb3XmlPath\": \"" + xmlDir() + "\"\n}\n");

    auto& r = rig();
    r.camera->setProtoRegister(0x603C, kModelId);
    r.camera->setProtoRegister(kRegWidth, 32);
    r.camera->setProtoRegister(kRegHeight, 16);
    r.camera->setProtoRegister(kRegTriggerMode, 0);
    r.camera->setLinkRegister(kLinkImageDataWidth, {12, 0, 0, 0});
    r.camera->setLinkRegister(kLinkConnectorValue, {0, 0, 0, 0});
    if (!libusb) return ok && qx::usb3::QX_U3V_SetManagerBackend(r.backend);
#ifdef QX_HAVE_UMOCKDEV
    // The testbed exists before libusb starts, so libusb lists the camera from the beginning.
    g_throughLibusb = true;
    g_umockdev = new qx::usb3::sim::UmockdevUsb3Camera(r.backend, r.camera);
    ok = ok && g_umockdev->ok() && qx::usb3::QX_U3V_SetManagerBackend(qx::usb::makeLibUsbBackend());
    return ok && !cameraPath().empty();
#else
    return false;
#endif
}

} // namespace qxtest::usb3dev
