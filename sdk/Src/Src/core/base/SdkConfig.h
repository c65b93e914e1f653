// SdkConfig: the transport settings of "QxSdkConfig.json" in the working directory, read
// once per process the first time a transport asks. Every problem (no file, bad JSON, a
// wrongly typed value) gives the key's default; only a file beyond the size or depth bound of
// settings files (ConfigFile.h) is warned of.
#pragma once
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace qx::core::base {

// The parsed document (loaded on first use); null when the file is missing or invalid, or is
// not one JSON object within the bounds of settings files.
const nlohmann::json& getSdkConfig();
nlohmann::json loadSdkConfig(const std::string& path = "QxSdkConfig.json");

// Directory of the USB3 XML files, always ending in "/" (default "../../QxUsb3Xml/").
std::string getQxUsb3XmlPath(const nlohmann::json& config);
// USB3 transfer buffer count: -1 when not configured, else 0..1024.
int32_t getQxUsb3TransferBufCount(const nlohmann::json& config);
// Path of a local XML file that replaces a GigE camera's own; empty when not configured.
std::string getGigeXmlFilePath(const nlohmann::json& config);

} // namespace qx::core::base
