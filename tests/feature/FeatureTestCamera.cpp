#include "FeatureTestCamera.h"

#include <cstring>
#include <sstream>

namespace qxtest {

namespace {

std::string intReg(const std::string& name, int64_t address, const std::string& access, const std::string& extra = "",
                   const std::string& port = "Device") {
    std::ostringstream x;
    x << "<IntReg Name=\"" << name << "\">" << extra << "<Address>0x" << std::hex << address << std::dec
      << "</Address><Length>4</Length><AccessMode>" << access << "</AccessMode><pPort>" << port
      << "</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>\n";
    return x.str();
}

} // namespace

std::string longSymbolic() { return "LongSymbolic" + std::string(58, 'X'); }

std::string testCameraXml(bool connectorPort) {
    std::ostringstream x;
    x << R"(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="FeatureTest" VendorName="Qx" StandardNameSpace="None"
  SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0"
  MajorVersion="1" MinorVersion="0" SubMinorVersion="0" ToolTip="feature test camera"
  ProductGuid="0" VersionGuid="0" xmlns="http://www.genicam.org/GenApi/Version_1_1">
<Category Name="Root" NameSpace="Standard">
  <pFeature>ImageFormatControl</pFeature>
  <pFeature>AcquisitionControl</pFeature>
  <pFeature>Other</pFeature>
  <pFeature>Empty</pFeature>
</Category>
<Category Name="ImageFormatControl" NameSpace="Standard">
  <DisplayName>Image Format Control</DisplayName>
  <pFeature>SensorWidth</pFeature>
  <pFeature>Width</pFeature>
  <pFeature>OffsetX</pFeature>
  <pFeature>PixelFormat</pFeature>
  <pFeature>ReverseX</pFeature>
</Category>
<Category Name="AcquisitionControl" NameSpace="Standard">
  <pFeature>AcquisitionStart</pFeature>
  <pFeature>ExposureTime</pFeature>
  <pFeature>ReadoutTime</pFeature>
  <pFeature>DeviceTemperature</pFeature>
</Category>
<Category Name="Other">
  <pFeature>BigEnum</pFeature>
  <pFeature>LongEnum</pFeature>
  <pFeature>DeviceUserID</pFeature>
  <pFeature>LongText</pFeature>
)";
    if (connectorPort) x << "  <pFeature>ConnectorValue</pFeature>\n";
    x << R"(</Category>
<Category Name="Empty"/>
<Integer Name="SensorWidth">
  <ToolTip>Sensor width.</ToolTip>
  <Description>Full width of the sensor.</Description>
  <Visibility>Expert</Visibility>
  <Value>4096</Value>
</Integer>
<Integer Name="Width" NameSpace="Standard">
  <ToolTip>Width of the image.</ToolTip>
  <Description>Width of the image, in pixels.</Description>
  <pIsLocked>TLParamsLocked</pIsLocked>
  <Streamable>Yes</Streamable>
  <pValue>WidthReg</pValue>
  <Min>16</Min>
  <pMax>SensorWidth</pMax>
  <Inc>8</Inc>
  <Representation>Linear</Representation>
</Integer>
)" << intReg("WidthReg", reg::kWidth, "RW")
      << R"(<Integer Name="OffsetX">
  <Visibility>Guru</Visibility>
  <pValue>OffsetXReg</pValue>
  <Min>0</Min>
  <Max>1000</Max>
  <Representation>HexNumber</Representation>
</Integer>
)" << intReg("OffsetXReg", reg::kOffsetX, "RW")
      << R"(<Integer Name="TLParamsLocked">
  <Visibility>Invisible</Visibility>
  <Value>0</Value>
  <Min>0</Min>
  <Max>1</Max>
</Integer>
<Integer Name="Zero"><Value>0</Value></Integer>
<Enumeration Name="PixelFormat" NameSpace="Standard">
  <EnumEntry Name="Mono8"><Value>17301505</Value></EnumEntry>
  <EnumEntry Name="Mono16"><Value>17825799</Value></EnumEntry>
  <EnumEntry Name="RGB8"><pIsAvailable>Zero</pIsAvailable><Value>35127316</Value></EnumEntry>
  <pValue>PixelFormatReg</pValue>
</Enumeration>
)" << intReg("PixelFormatReg", reg::kPixelFormat, "RW")
      << "<Enumeration Name=\"BigEnum\">\n"
         "  <EnumEntry Name=\"Hidden\"><pIsImplemented>Zero</pIsImplemented><Value>1</Value></EnumEntry>\n"
         "  <EnumEntry Name=\"Unavailable\"><pIsAvailable>Zero</pIsAvailable><Value>2</Value></EnumEntry>\n";
    for (int i = 0; i < 70; ++i) {
        x << "  <EnumEntry Name=\"E" << (i < 10 ? "0" : "") << i << "\"><Value>" << 100 + i << "</Value></EnumEntry>\n";
    }
    x << "  <pValue>BigEnumReg</pValue>\n</Enumeration>\n"
      << intReg("BigEnumReg", reg::kBigEnum, "RW") << "<Enumeration Name=\"LongEnum\">\n  <EnumEntry Name=\""
      << longSymbolic()
      << "\"><Value>1</Value></EnumEntry>\n  <EnumEntry Name=\"Short\"><Value>2</Value></EnumEntry>\n"
         "  <pValue>LongEnumReg</pValue>\n</Enumeration>\n"
      << intReg("LongEnumReg", reg::kLongEnum, "RW") << R"(<Boolean Name="ReverseX">
  <pValue>ReverseXReg</pValue>
  <OnValue>1</OnValue>
  <OffValue>0</OffValue>
</Boolean>
)" << intReg("ReverseXReg", reg::kReverseX, "RW")
      << R"(<Command Name="AcquisitionStart" NameSpace="Standard">
  <pValue>AcquisitionStartReg</pValue>
  <CommandValue>1</CommandValue>
</Command>
)" << intReg("AcquisitionStartReg", reg::kAcquisitionStart, "RW")
      << R"(<Float Name="ExposureTime" NameSpace="Standard">
  <ToolTip>Exposure time.</ToolTip>
  <pValue>ExposureTimeReg</pValue>
  <Min>10</Min>
  <Max>1000000</Max>
</Float>
<FloatReg Name="ExposureTimeReg">
  <Address>0x120</Address>
  <Length>8</Length>
  <AccessMode>RW</AccessMode>
  <pPort>Device</pPort>
  <Endianess>BigEndian</Endianess>
</FloatReg>
<SwissKnife Name="ReadoutTime">
  <ToolTip>Exposure time plus readout.</ToolTip>
  <pVariable Name="EXP">ExposureTime</pVariable>
  <Formula>EXP + 100</Formula>
</SwissKnife>
)"
      << intReg("DeviceTemperature", reg::kDeviceTemperature, "RO",
                "<ToolTip>Sensor temperature.</ToolTip><PollingTime>10</PollingTime><Cachable>NoCache</Cachable>")
      << intReg("PolledFailing", reg::kPolledFailing, "RO", "<PollingTime>1</PollingTime><Cachable>NoCache</Cachable>")
      << R"(<StringReg Name="DeviceUserID">
  <Address>0x200</Address>
  <Length>32</Length>
  <AccessMode>RW</AccessMode>
  <pPort>Device</pPort>
</StringReg>
<StringReg Name="LongText">
  <Address>0x400</Address>
  <Length>300</Length>
  <AccessMode>RW</AccessMode>
  <pPort>Device</pPort>
</StringReg>
)";
    if (connectorPort) {
        x << intReg("ConnectorValue", reg::kConnectorValue, "RW", "", "ConnectorDevice")
          << "<Port Name=\"ConnectorDevice\"/>\n";
    }
    x << "<Port Name=\"Device\" NameSpace=\"Standard\"/>\n</RegisterDescription>\n";
    return x.str();
}

void seedTestCamera(TestDevice& dev) {
    dev.setU32Be(reg::kConnectorValue, 7);
    dev.setU32Be(reg::kWidth, 640);
    dev.setU32Be(reg::kOffsetX, 0);
    const double exposure = 1000.0;
    uint64_t bits;
    std::memcpy(&bits, &exposure, sizeof bits);
    uint8_t be[8];
    for (int i = 0; i < 8; ++i) be[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    dev.setMemory(reg::kExposureTime, be, sizeof be);
    dev.setU32Be(reg::kPixelFormat, 17301505);
    dev.setU32Be(reg::kBigEnum, 105);
    dev.setU32Be(reg::kLongEnum, 1);
    dev.setU32Be(reg::kReverseX, 0);
    dev.setU32Be(reg::kAcquisitionStart, 0);
    dev.setU32Be(reg::kDeviceTemperature, 40);
    dev.setU32Be(reg::kPolledFailing, 1);
    const char user[] = "cam";
    dev.setMemory(reg::kDeviceUserID, user, sizeof user);
    const std::string text(300, 'x');
    dev.setMemory(reg::kLongText, text.data(), text.size());
}

void FeatureTest::SetUp() {
    transport.options.xml = testCameraXml();
    createHandle();
}

void FeatureTest::TearDown() {
    if (!handle) return;
    if (QX_IsGrabbingStarted(handle)) QX_StopGrabbing(handle);
    bool connected = false;
    if (QX_GetConnectionStatus(handle, &connected) == QX_OK && connected) QX_DisconnectDevice(handle);
    EXPECT_EQ(QX_DeleteDevice(handle), QX_OK);
    handle = nullptr;
}

void FeatureTest::createHandle() {
    info = makeUsb3Info("FeatureCam", "\\\\?\\usb#vid_04b4&pid_00f1#test", 0);
    ASSERT_EQ(QX_CreateDevice(&handle, &info), QX_OK);
    seedTestCamera(dev());
}

void FeatureTest::connect(QX_STATUS expected) { ASSERT_EQ(QX_ConnectDevice(handle, 1), expected); }

} // namespace qxtest
