// ConfigFile: reading and rewriting the library's small JSON settings files ("QxSdkConfig.json"
// and the log directory's "config.json"). Each holds one JSON object; its values may be of any
// kind, nested ones included, within two bounds that keep a hostile file cheap: a file larger
// than kMaxSettingsFileBytes is refused before it is read, and one nested deeper than
// kMaxSettingsDepth stops the parser at the first bracket too many. A rewrite goes to a new file
// beside the old one that is then renamed over it, so a failure never leaves an empty or
// half-written file.
#pragma once
#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>

namespace qx::core::base {

constexpr size_t kMaxSettingsFileBytes = size_t{1} << 20;
// Containers open at once, the top-level object included.
constexpr int kMaxSettingsDepth = 64;

// The file at `path` parsed as a settings document: strict JSON (no comments) whose top-level
// value is an object; null for anything else. A missing, unreadable or unparsable file gives
// null silently. A file beyond a bound, or one that is not a regular file (a pipe, a directory:
// neither is waited on or read), also gives null, and *warning (when given) receives the line
// "Config file:<path> <reason>, read as malformed".
nlohmann::json readJsonObjectFile(const std::string& path, std::string* warning = nullptr);

// Writes `text` to a new file in the directory of `path` and renames it over `path` (keeping
// the old file's permission bits). False on any failure, with `path` left as it was.
bool replaceFileContents(const std::string& path, const std::string& text);

} // namespace qx::core::base
