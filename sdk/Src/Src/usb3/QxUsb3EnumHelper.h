// USB3 half of device enumeration. QxUsb3EnumHelper names each attached camera: it opens the
// camera, reads its model-id register through the 'R'/'W' register protocol and looks the id
// up in "Config.ini" of the USB3 XML directory. enumUsb3Device turns the USB manager's list of
// attached cameras into DeviceInfo records; a path keeps its running number (the record's
// serial number) and its name for the life of the process.
//
// Enumeration reaches the cameras through Usb3EnumSource: the process's USB manager in the
// library (ManagerEnumSource), anything that lists paths and talks to a camera in tests.
#pragma once
#include "QxCamApi.h"
#include "usb3/QxUsb3UserProtocol.h"
#include "usb3/QxUsbManager.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qx::usb3 {

// What enumeration needs of the USB manager: the attached cameras' paths, and a way to open
// one and talk over its byte channel.
class Usb3EnumSource {
public:
    virtual ~Usb3EnumSource() = default;
    virtual int deviceCount() = 0;
    // False when there is no path at `index` (the list changed since deviceCount).
    virtual bool devicePath(int index, std::string& path) = 0;
    // kUsbInvalidHandle when the camera is already open, not listed or cannot be opened.
    virtual UsbDevHandle openDevice(const std::string& path) = 0;
    virtual bool closeDevice(UsbDevHandle handle) = 0;
    virtual bool readData(UsbDevHandle handle, uint8_t* buffer, int& count, int timeoutMs) = 0;
    virtual bool writeData(UsbDevHandle handle, const uint8_t* bytes, int count, int timeoutMs) = 0;
};

// Usb3EnumSource over a QxUsbManager (the process's one in the library).
class ManagerEnumSource : public Usb3EnumSource {
public:
    explicit ManagerEnumSource(QxUsbManager* manager) : m_manager(manager) {}
    int deviceCount() override;
    bool devicePath(int index, std::string& path) override;
    UsbDevHandle openDevice(const std::string& path) override;
    bool closeDevice(UsbDevHandle handle) override;
    bool readData(UsbDevHandle handle, uint8_t* buffer, int& count, int timeoutMs) override;
    bool writeData(UsbDevHandle handle, const uint8_t* bytes, int count, int timeoutMs) override;

private:
    QxUsbManager* m_manager;
};

// Directory of the USB3 XML files and "Config.ini" when nothing else is configured.
constexpr const char* kDefaultUsb3XmlPath = "../../QxUsb3Xml/";

class QxUsb3EnumHelper : public QxUsb3UserProtocol {
public:
    static constexpr uint32_t kDefaultModelIdRegister = 0x603C;
    static constexpr int kChannelTimeoutMs = 1000;
    static constexpr int kModelIdReads = 3;
    static constexpr uint32_t kModelIdReadTimeoutMs = 300;
    static constexpr int kModelIdReadGapMs = 33;
    static constexpr const char* kUnknownName = "UnknowName";

    // `xmlDirectory` names the USB3 XML directory (ending in a separator) each time
    // "Config.ini" is looked for; empty means kDefaultUsb3XmlPath.
    explicit QxUsb3EnumHelper(std::function<std::string()> xmlDirectory = {});

    void setXmlDirectory(std::function<std::string()> xmlDirectory);
    std::string xmlDirectory() const;

    // Reads "Config.ini" of the XML directory into the model-id register and the model map.
    // False (and the defaults kept) when the file cannot be opened.
    bool getConfigInfo();
    // Names the camera at `path` (as the source lists it).
    void getDeviceModelName(const std::string& path, std::string& name, qx::usb3::Usb3EnumSource& source);
    // Appends one record per camera of `source`.
    void enumUsb3Device(std::vector<DeviceInfo>& list, qx::usb3::Usb3EnumSource& source)
        QX_EXCLUDES(g_connectedGuidSetMutex);

    uint32_t modelIdRegister() const { return m_modelIdRegister; }
    const std::map<uint32_t, std::string>& modelMap() const { return m_modelMap; }
    bool configRead() const { return m_configRead; }

private:
    std::function<std::string()> m_xmlDirectory;
    qx::usb3::Usb3EnumSource* m_source = nullptr; // the source of the camera being named
    qx::usb3::UsbDevHandle m_hDevice = qx::usb3::kUsbInvalidHandle;
    uint32_t m_modelIdRegister = kDefaultModelIdRegister;
    std::map<uint32_t, std::string> m_modelMap;
    bool m_configRead = false;
    bool m_configFailureLogged = false;
};

// Process-wide enumeration state, from library load to unload.
extern QxUsb3EnumHelper g_usb3EnumHelper;
// Running number of each device path (lower case), given on its first enumeration: 0, 1, ...
extern std::map<std::string, int> g_usb3DevicePathIndexMap;
// Model name of each device path (lower case).
extern std::map<std::string, std::string> g_usb3DevicePathNameMap;

// Appends one record per USB3 camera attached to the process's USB manager, named by
// g_usb3EnumHelper.
void enumUsb3Device(std::vector<DeviceInfo>& list);

} // namespace qx::usb3
