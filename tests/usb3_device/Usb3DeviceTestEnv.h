// Shared environment of the USB3 camera tests: one simulated camera on the backend of the
// process's USB manager, the XML directory with "Config.ini" and the models' XML files.
#pragma once
#include "SimUsb3Camera.h"

#include <cstdint>
#include <string>

namespace qxtest::usb3dev {

constexpr const char* kPath = "usb:sim-1";
constexpr const char* kModel = "SIMCAM";         // named by Config.ini from the model id
constexpr const char* kModelNoBits = "SIMCAMNB"; // its XML has no IMAGE_DATA_WIDTH
constexpr const char* kModelNoXml = "NOXMLCAM";  // no XML file in the directory
constexpr uint32_t kModelId = 0x1A2B;

// Registers of the simulated camera. Byte-channel registers (port "Device"):
constexpr uint16_t kRegWidth = 0x0100;
constexpr uint16_t kRegHeight = 0x0104;
constexpr uint16_t kRegTriggerMode = 0x0108;
constexpr uint16_t kRegGain = 0x010C;
// Register-frame registers (port "ConnectorDevice"):
constexpr uint32_t kLinkImageDataWidth = 0x2000;
constexpr uint32_t kLinkConnectorValue = 0x2004;

constexpr int kMaxWidth = 64;
constexpr int kMaxHeight = 32;

qx::usb3::sim::SimUsb3Rig& rig();
// Writes the XML directory and the configuration and installs the backend of the process's
// USB manager: the simulated one, or (`throughLibusb`) the libusb backend, which meets the
// same simulated camera through umockdev.
bool prepareEnvironment(bool throughLibusb = false);
bool throughLibusb();
// The camera's device path as the manager lists it ("usb:sim-1" on the simulated backend).
const std::string& cameraPath();
// The camera leaves / comes back, with the backend's hot-plug notice.
void unplugCamera();
void replugCamera();
// A second removal notice for the camera that already left (simulated backend only).
void repeatRemovalNotice();
// Through libusb: interface claims fail as when another process holds the camera.
void setCameraHeldElsewhere(bool held);
std::string xmlDir();
std::string cameraXml(bool withImageDataWidth);

} // namespace qxtest::usb3dev
