// ConfigFile: reading and rewriting the library's small JSON settings files ("QxSdkConfig.json"
// and the log directory's "config.json"). Both hold one object of scalar values; anything else
// is treated like a file that does not parse. A rewrite goes to a new file beside the old one
// that is then renamed over it, so a failure never leaves an empty or half-written file.
#pragma once
#include <nlohmann/json.hpp>

#include <istream>
#include <string>

namespace qx {

// Parses a settings document (strict JSON, no comments): an object whose values are strings,
// numbers, booleans or null. Anything else - not JSON, another top-level value, an array or
// object inside - gives null. Parsing stops at the first nested bracket, so a deeply nested
// input costs no more than reading it up to there.
nlohmann::json parseFlatJsonObject(std::istream& in);
nlohmann::json parseFlatJsonObject(const std::string& text);
// The file at `path` parsed as above; null when it cannot be read.
nlohmann::json readFlatJsonObjectFile(const std::string& path);

// Writes `text` to a new file in the directory of `path` and renames it over `path` (keeping
// the old file's permission bits). False on any failure, with `path` left as it was.
bool replaceFileContents(const std::string& path, const std::string& text);

} // namespace qx
