#include "core/base/SdkConfig.h"

#include "core/base/ConfigFile.h"
#include "Sys/Log.h"

#include <cmath>

namespace qx::core::base {
namespace {

// Configured paths may be written the Windows way; the library uses '/' throughout.
std::string toLocalPath(std::string text) {
    for (char& c : text) {
        if (c == '\\') c = '/';
    }
    return text;
}

bool stringValue(const nlohmann::json& config, const char* key, std::string* out) {
    if (!config.is_object()) return false;
    auto it = config.find(key);
    if (it == config.end() || !it->is_string()) return false;
    *out = it->get<std::string>();
    return true;
}

} // namespace

nlohmann::json loadSdkConfig(const std::string& path) {
    std::string warning;
    nlohmann::json doc = readJsonObjectFile(path, &warning);
    if (!warning.empty()) QX_LOG_WARN("{}", warning);
    return doc;
}

const nlohmann::json& getSdkConfig() {
    static const nlohmann::json config = loadSdkConfig();
    return config;
}

std::string getQxUsb3XmlPath(const nlohmann::json& config) {
    std::string text;
    if (!stringValue(config, "QxUsb3XmlPath", &text) || text.empty()) return "../../QxUsb3Xml/";
    return toLocalPath(text) + "/";
}

int32_t getQxUsb3TransferBufCount(const nlohmann::json& config) {
    if (!config.is_object()) return -1;
    auto it = config.find("QxUsb3TransferBufCount");
    if (it == config.end()) return -1;
    double value;
    if (it->is_boolean()) value = it->get<bool>() ? 1 : 0;
    else if (it->is_number_unsigned()) value = static_cast<double>(it->get<uint64_t>());
    else if (it->is_number_integer()) value = static_cast<double>(it->get<int64_t>());
    else if (it->is_number_float()) value = std::trunc(it->get<double>());
    else return -1;
    // Clamp before any conversion so huge or odd values never overflow.
    if (std::isnan(value) || value < 0) return -1;
    if (value > 1024) return 1024;
    return static_cast<int32_t>(value);
}

std::string getGigeXmlFilePath(const nlohmann::json& config) {
    std::string text;
    if (!stringValue(config, "GigeXmlFilePath", &text)) return std::string();
    return toLocalPath(text);
}

} // namespace qx::core::base
