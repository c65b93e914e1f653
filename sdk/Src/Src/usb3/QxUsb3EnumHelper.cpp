#include "usb3/QxUsb3EnumHelper.h"

#include "Sys/ByteOrder.h"
#include "Sys/Log.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

namespace qx::usb3 {

qx::sys::Mutex g_connectedGuidSetMutex;
std::set<std::string> g_connectedGuidSet;
std::map<std::string, int> g_usb3DevicePathIndexMap;
std::map<std::string, std::string> g_usb3DevicePathNameMap;
QxUsb3EnumHelper g_usb3EnumHelper;

int ManagerEnumSource::deviceCount() { return m_manager ? m_manager->GetDeviceCount() : 0; }

bool ManagerEnumSource::devicePath(int index, std::string& path) {
    if (!m_manager) return false;
    const char* p = m_manager->GetDevicePath(index);
    if (p == nullptr || p == usbNoPath()) return false;
    path = p;
    return true;
}

UsbDevHandle ManagerEnumSource::openDevice(const std::string& path) {
    return m_manager ? m_manager->OpenDevice(path.c_str()) : kUsbInvalidHandle;
}

bool ManagerEnumSource::closeDevice(UsbDevHandle handle) { return m_manager && m_manager->CloseDevice(handle); }

bool ManagerEnumSource::readData(UsbDevHandle handle, uint8_t* buffer, int& count, int timeoutMs) {
    return m_manager && m_manager->ReadData(handle, buffer, count, timeoutMs);
}

bool ManagerEnumSource::writeData(UsbDevHandle handle, const uint8_t* bytes, int count, int timeoutMs) {
    return m_manager && m_manager->WriteData(handle, bytes, count, timeoutMs);
}

namespace {

constexpr size_t kMaxLineLength = 127; // longer lines are skipped
constexpr size_t kMaxKeyLength = 64;
constexpr size_t kMaxNameLength = 63; // a model name must fit strModelName with its terminator
constexpr size_t kMaxDevicePathLength = sizeof(QX_USB3_DEVICE_INFO::strDevicePath) - 1;

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

bool equalsNoCase(const std::string& a, const char* b) {
    const size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string toLower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Splits "key=value": the key is everything before the first '=', the value the first run
// of non-blank characters after it. False for a line without '=' or with an empty key, or
// whose key or value does not fit.
bool splitLine(const std::string& line, std::string& key, std::string& value) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0 || eq > kMaxKeyLength) return false;
    key = line.substr(0, eq);
    size_t b = eq + 1;
    while (b < line.size() && std::isspace(static_cast<unsigned char>(line[b]))) ++b;
    size_t e = b;
    while (e < line.size() && !std::isspace(static_cast<unsigned char>(line[e]))) ++e;
    if (e - b > kMaxNameLength) return false;
    value = line.substr(b, e - b);
    return true;
}

uint32_t parseHex(const std::string& text) {
    unsigned int v = 0;
    if (std::sscanf(text.c_str(), "%x", &v) != 1) return 0;
    return static_cast<uint32_t>(v);
}

template <size_t N>
void copyText(char (&dst)[N], const std::string& src) {
    std::snprintf(dst, N, "%s", src.c_str());
}

} // namespace

QxUsb3EnumHelper::QxUsb3EnumHelper(std::function<std::string()> xmlDirectory)
    : m_xmlDirectory(std::move(xmlDirectory)) {
    setTransport(
        [this](uint8_t* buffer, int& count) {
            if (m_source == nullptr || m_hDevice == qx::usb3::kUsbInvalidHandle) return false;
            return m_source->readData(m_hDevice, buffer, count, kChannelTimeoutMs);
        },
        [this](const uint8_t* bytes, int count) {
            if (m_source == nullptr || m_hDevice == qx::usb3::kUsbInvalidHandle) return false;
            return m_source->writeData(m_hDevice, bytes, count, kChannelTimeoutMs);
        });
}

void QxUsb3EnumHelper::setXmlDirectory(std::function<std::string()> xmlDirectory) {
    m_xmlDirectory = std::move(xmlDirectory);
}

std::string QxUsb3EnumHelper::xmlDirectory() const {
    std::string dir = m_xmlDirectory ? m_xmlDirectory() : std::string();
    return dir.empty() ? std::string(qx::usb3::kDefaultUsb3XmlPath) : dir;
}

bool QxUsb3EnumHelper::getConfigInfo() {
    const std::string path = xmlDirectory() + "Config.ini";
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (!m_configFailureLogged) {
            QX_LOG_ERROR("func:{}, open {} failed.", path);
            m_configFailureLogged = true;
        }
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // An overlong line is skipped; the lines after it are still read.
        if (line.size() > kMaxLineLength) continue;
        std::string key, value;
        if (!splitLine(line, key, value)) continue;
        const std::string name = trim(key);
        if (equalsNoCase(name, "DeviceModelNameReg")) {
            m_modelIdRegister = parseHex(value);
            continue;
        }
        const uint32_t id = parseHex(name);
        if (id == 0 || value.empty()) continue;
        m_modelMap[id] = value;
    }
    return true;
}

void QxUsb3EnumHelper::getDeviceModelName(const std::string& path, std::string& name,
                                          qx::usb3::Usb3EnumSource& source) {
    // The file is read once it has been found; while it is missing, every naming looks again.
    if (!m_configRead) m_configRead = getConfigInfo();

    m_source = &source;
    m_hDevice = source.openDevice(path);
    name = kUnknownName;
    if (m_hDevice != qx::usb3::kUsbInvalidHandle) {
        for (int attempt = 0; attempt < kModelIdReads; ++attempt) {
            if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(kModelIdReadGapMs));
            uint8_t value[4] = {};
            if (!read(m_modelIdRegister, value, sizeof(value), kModelIdReadTimeoutMs)) continue;
            const uint32_t id = qx::sys::loadLe32(value);
            if (id == 0) continue;
            auto it = m_modelMap.find(id);
            if (it != m_modelMap.end()) {
                name = it->second;
            } else {
                char text[64];
                std::snprintf(text, sizeof(text), "%s_0x%x", kUnknownName, id);
                name = text;
            }
            break;
        }
    }
    // Replies the camera still owes are taken before the device is given back: left in the
    // camera they would answer the first reads of whoever connects next.
    if (m_hDevice != qx::usb3::kUsbInvalidHandle && !settle(kLateReplyWindowMs))
        QX_LOG_WARN("func:{}, {} still owes {} reply bytes", path, owedBytes());
    source.closeDevice(m_hDevice);
    m_hDevice = qx::usb3::kUsbInvalidHandle;
    m_source = nullptr;
}

void QxUsb3EnumHelper::enumUsb3Device(std::vector<DeviceInfo>& list, qx::usb3::Usb3EnumSource& source) {
    qx::sys::MutexLock lock(g_connectedGuidSetMutex);
    const int count = source.deviceCount();
    for (int i = 0; i < count; ++i) {
        std::string path;
        if (!source.devicePath(i, path)) continue;
        const std::string key = toLower(path);
        if (key.size() > kMaxDevicePathLength) {
            // A cut path would name no camera: such a device cannot be listed.
            QX_LOG_WARN("func:{}, device path too long ({} characters): {}", key.size(), key);
            continue;
        }
        auto indexIt = g_usb3DevicePathIndexMap.find(key);
        if (indexIt == g_usb3DevicePathIndexMap.end()) {
            const int next = static_cast<int>(g_usb3DevicePathIndexMap.size());
            indexIt = g_usb3DevicePathIndexMap.emplace(key, next).first;
            std::string& name = g_usb3DevicePathNameMap[key];
            name.clear();
            getDeviceModelName(path, name, source);
        } else {
            std::string& name = g_usb3DevicePathNameMap[key];
            if (name.empty() || name.find(kUnknownName) != std::string::npos) getDeviceModelName(path, name, source);
        }

        DeviceInfo info;
        std::memset(&info, 0, sizeof(info));
        copyText(info.strModelName, g_usb3DevicePathNameMap[key]);
        copyText(info.strManufacturerName, "VORNA");
        std::snprintf(info.strSerialNumber, sizeof(info.strSerialNumber), "%d", indexIt->second);
        info.nTLayerType = QX_TLAYER_USB3;
        info.nAccessStatus = g_connectedGuidSet.count(key) != 0 ? QX_ACCESS_STATUS_IN_USE : QX_ACCESS_STATUS_AVAILABLE;
        copyText(info.u.stUsb3Info.strVendorName, "VORNA");
        info.u.stUsb3Info.nDevIndex = static_cast<uint32_t>(i);
        copyText(info.u.stUsb3Info.strDevicePath, key);
        list.push_back(info);
    }
}

void enumUsb3Device(std::vector<DeviceInfo>& list) {
    qx::usb3::ManagerEnumSource source(qx::usb3::QX_U3V_GetManager());
    g_usb3EnumHelper.enumUsb3Device(list, source);
}

} // namespace qx::usb3
