// Parsing of a camera's XML URL register text and unzipping of a zipped XML. Pure functions on
// bytes, so they are tested and fuzzed on their own.
//   local:<name>.<ext>;<address hex>;<length hex>   (also "Local:", "LOCAL:")  camera memory
//   file:<path>                                       (also "File:")             host file
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gige/GevStatus.h"

namespace qx::gige {

constexpr size_t kXmlUrlSize = 512; // bytes of one URL register
constexpr size_t kXmlNameMax = 254; // longest file name a "local:" URL may carry

struct XmlUrl {
    enum class Kind { Local, File } kind = Kind::Local;
    std::string name;     // Local: the file name; File: the path
    std::string type;     // the three characters before the first ';' (Local)
    uint32_t address = 0; // Local
    uint32_t length = 0;  // Local
    bool zipped = false;
};

// Parses the URL text, looking only at its first `size` bytes (and at most kXmlUrlSize).
// GEV_STATUS_GET_URL_ERROR for a text that is no well-formed "local:" or "file:" URL or whose
// memory block would pass the end of the 32-bit address space.
GevStatus parseXmlUrl(const char* text, size_t size, XmlUrl* url);

// Extracts the first entry of a zip archive held in memory; its uncompressed size may not pass
// maxSize. GEV_STATUS_XML_ZIP_ERROR otherwise, with the failing step in *error.
GevStatus unzipFirstEntry(const uint8_t* data, size_t size, size_t maxSize, std::vector<uint8_t>* out,
                          std::string* error);

} // namespace qx::gige
