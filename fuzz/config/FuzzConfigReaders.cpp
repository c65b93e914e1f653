// fuzz_config_readers: the same bytes read as "QxSdkConfig.json", as the log directory's
// "config.json" (which is then rewritten) and as the USB3 "Config.ini". Each reader's result
// is checked against the rules of its file (a JSON object of any values within 1 MiB and 64
// levels of nesting, one warning beyond them); the rewritten log settings must be a whole file
// that reads back to the same settings and rewrites to itself, nested values kept.
#include "core/base/ConfigFile.h"
#include "core/base/LogManager.h"
#include "usb3/QxUsb3EnumHelper.h"
#include "core/base/SdkConfig.h"

#include <nlohmann/json.hpp>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <unistd.h>

using namespace qx::usb3;

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

fs::path g_dir;

void check(bool ok, const char* rule) {
    if (ok) return;
    std::fprintf(stderr, "rule broken: %s\n", rule);
    std::abort();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Containers open at once at the deepest point of a valid JSON text, counted on the text itself
// (brackets outside strings), not with the parser the readers use. The JSON parser takes a NUL
// byte for the end of the text, so the count stops there too.
size_t nestingDepth(const std::string& text) {
    size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (c == '\0') break;
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

// Both JSON files: one object of any values within 1 MiB of text and 64 levels of nesting is
// read as it is; anything else (not strict JSON, another top-level value, beyond a bound) reads
// as nothing.
json expectedDocument(const std::string& text) {
    if (text.size() > qx::core::base::kMaxSettingsFileBytes) return nullptr;
    json doc = json::parse(text, nullptr, false, false);
    if (!doc.is_object() || nestingDepth(text) > static_cast<size_t>(qx::core::base::kMaxSettingsDepth)) return nullptr;
    return doc;
}

// The warning a file gives: one for a text beyond a bound, none for a valid one within them. A
// text that is not JSON may stop at a syntax error before the parser reaches the depth bound.
void checkWarning(const std::string& text, const std::string& path, const std::string& warning) {
    const std::string prefix = "Config file:" + path + " ";
    const std::string tooDeep = prefix + "is nested deeper than 64 levels, read as malformed";
    if (text.size() > qx::core::base::kMaxSettingsFileBytes) {
        check(warning == prefix + "is larger than 1048576 bytes, read as malformed", "a text over 1 MiB is warned of");
    } else if (json::accept(text, false)) {
        check(warning == (nestingDepth(text) > 64 ? tooDeep : std::string()),
              "valid JSON: warned of only beyond 64 levels");
    } else {
        check(warning.empty() || warning == tooDeep, "invalid JSON: at most the depth warning");
    }
}

const json* member(const json& doc, const char* key) {
    if (!doc.is_object()) return nullptr;
    auto it = doc.find(key);
    return it == doc.end() ? nullptr : &*it;
}

std::string withSlashes(std::string text) {
    for (char& c : text) {
        if (c == '\\') c = '/';
    }
    return text;
}

void checkSdkConfig(const std::string& text) {
    const fs::path file = g_dir / "QxSdkConfig.json";
    writeFile(file, text);
    const json doc = qx::core::base::loadSdkConfig(file.string());
    check(doc == expectedDocument(text), "QxSdkConfig.json: an object within the bounds as it is, else null");

    const json* xml = member(doc, "QxUsb3XmlPath");
    const std::string xmlPath = qx::core::base::getQxUsb3XmlPath(doc);
    if (xml && xml->is_string() && !xml->get_ref<const std::string&>().empty())
        check(xmlPath == withSlashes(xml->get<std::string>()) + "/", "QxUsb3XmlPath: the text with a separator added");
    else check(xmlPath == "../../QxUsb3Xml/", "QxUsb3XmlPath: the default unless a non-empty text");

    const json* count = member(doc, "QxUsb3TransferBufCount");
    const int32_t bufCount = qx::core::base::getQxUsb3TransferBufCount(doc);
    if (count && count->is_boolean()) {
        check(bufCount == (count->get<bool>() ? 1 : 0), "QxUsb3TransferBufCount: a boolean is 0 or 1");
    } else if (count && count->is_number()) {
        const double v = std::trunc(count->get<double>());
        const int32_t expected = v < 0 ? -1 : (v > 1024 ? 1024 : static_cast<int32_t>(v));
        check(bufCount == expected, "QxUsb3TransferBufCount: fraction cut off, negative -1, at most 1024");
    } else {
        check(bufCount == -1, "QxUsb3TransferBufCount: -1 unless a number or boolean");
    }

    const json* gige = member(doc, "GigeXmlFilePath");
    const std::string gigePath = qx::core::base::getGigeXmlFilePath(doc);
    if (gige && gige->is_string())
        check(gigePath == withSlashes(gige->get<std::string>()), "GigeXmlFilePath: the text");
    else check(gigePath.empty(), "GigeXmlFilePath: empty unless a text");
}

void checkLogSettings(const std::string& text) {
    const fs::path file = g_dir / "config.json";
    writeFile(file, text);
    const qx::core::base::LogSettings s = qx::core::base::LogManager::readAndRewriteSettings(file.string());
    checkWarning(text, file.string(), s.warning);
    const std::string rewritten = readFile(file);
    const json back = json::parse(rewritten, nullptr, false, false);
    check(back.is_object(), "config.json: rewritten as an object");
    check(rewritten == back.dump(4) + "\n", "config.json: sorted keys, indent 4, one line end");

    // What the settings were read from: the document, or nothing at all.
    json read = expectedDocument(text);
    if (!read.is_object()) read = json::object();

    const json* level = member(read, "level");
    const std::string levelText = level && level->is_string() ? level->get<std::string>() : "info";
    static const std::map<std::string, spdlog::level::level_enum> kNames = {
        {"trace", spdlog::level::trace},  {"debug", spdlog::level::debug}, {"info", spdlog::level::info},
        {"warning", spdlog::level::warn}, {"error", spdlog::level::err},   {"critical", spdlog::level::critical},
        {"off", spdlog::level::off}};
    auto name = kNames.find(levelText);
    check(s.levelTextKnown == (name != kNames.end()), "level: known only for the seven names");
    check(s.level == (name != kNames.end() ? name->second : spdlog::level::info), "level: other texts give info");
    check(back["level"] == levelText, "level: the text read is kept");

    const json* async = member(read, "async_enabled");
    check(s.asyncEnabled == (async && async->is_boolean() ? async->get<bool>() : true),
          "async_enabled: a boolean or true");
    check(back["async_enabled"] == s.asyncEnabled, "async_enabled: the value in use is written");

    const json* size = member(read, "file_size");
    uint32_t expectedSize = 10;
    if (size && size->is_number_unsigned()) {
        const uint64_t v = size->get<uint64_t>();
        expectedSize = static_cast<uint32_t>(v < 1 ? 1 : (v > 256 ? 256 : v));
    }
    check(s.fileSizeMb == expectedSize, "file_size: an unsigned number clamped to 1..256, else 10");
    check(back["file_size"].is_number_unsigned() && back["file_size"] == expectedSize,
          "file_size: the value in use is written");

    std::set<std::string> keys = {"level", "async_enabled", "file_size"};
    for (const auto& item : read.items()) {
        keys.insert(item.key());
        if (item.key() == "level" || item.key() == "async_enabled" || item.key() == "file_size") continue;
        check(back.contains(item.key()) && back[item.key()] == item.value(), "other keys are kept");
    }
    check(back.size() == keys.size(), "no key is added but the three settings");

    // Reading the rewritten file gives the same settings and the same file.
    const qx::core::base::LogSettings again = qx::core::base::LogManager::readAndRewriteSettings(file.string());
    check(again.level == s.level && again.levelTextKnown == s.levelTextKnown && again.asyncEnabled == s.asyncEnabled &&
              again.fileSizeMb == s.fileSizeMb,
          "config.json: the rewritten file reads back to the same settings");
    check(readFile(file) == rewritten, "config.json: the rewrite of a rewritten file changes nothing");
    check(again.warning.empty(), "config.json: the rewritten file is within the bounds");
}

void readConfigIni(const std::string& text, QxUsb3EnumHelper& helper) {
    writeFile(g_dir / "Config.ini", text);
    check(helper.getConfigInfo(), "Config.ini: an existing file is read");
}

void checkConfigIni(const std::string& text) {
    auto directory = [] { return g_dir.string() + "/"; };
    QxUsb3EnumHelper first(directory);
    readConfigIni(text, first);
    for (const auto& [id, model] : first.modelMap()) {
        check(id != 0, "Config.ini: id 0 is ignored");
        check(!model.empty() && model.size() < sizeof(DeviceInfo::strModelName), "Config.ini: a name fits the record");
        for (char c : model) check(!std::isspace(static_cast<unsigned char>(c)), "Config.ini: a name has no blanks");
        check(text.find(model) != std::string::npos, "Config.ini: a name comes from the file");
    }
    // Lines after anything in the file are still read, and a later line replaces an earlier one.
    QxUsb3EnumHelper second(directory);
    readConfigIni(text + "\n1A2B=FUZZ-MODEL\nDeviceModelNameReg=BEEF\n", second);
    check(second.modelIdRegister() == 0xBEEF, "Config.ini: the last DeviceModelNameReg line sets the register");
    std::map<uint32_t, std::string> expected = first.modelMap();
    expected[0x1A2B] = "FUZZ-MODEL";
    check(second.modelMap() == expected, "Config.ini: a later line replaces the name of its id, others stay");
}

void removeScratch() {
    std::error_code ec;
    fs::remove_all(g_dir, ec);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Quiet: a reader that logs does so to nowhere.
    spdlog::set_default_logger(
        std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_mt>()));
    // Scratch files in memory when the machine has a memory file system.
    const fs::path base = ::access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "qx-fuzz-config-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_dir = pattern;
    std::atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkSdkConfig(text);
    checkLogSettings(text);
    checkConfigIni(text);
    // Every rewrite went through a new file that replaced the old one: nothing is left beside.
    size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(g_dir)) {
        (void)entry;
        ++entries;
    }
    check(entries == 3, "no file is left beside the settings files");
    return 0;
}
