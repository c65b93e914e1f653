#include "gige/GevXmlUrl.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <zip.h>

namespace qx::gige {

namespace {
int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads 1..8 hexadecimal digits from text[pos, end); stops at the first other character.
bool parseHex(const std::string& text, size_t pos, size_t end, uint32_t* value, size_t* next) {
    uint32_t v = 0;
    size_t i = pos;
    for (; i < end && i - pos < 8; ++i) {
        int d = hexDigit(text[i]);
        if (d < 0) break;
        v = (v << 4) | uint32_t(d);
    }
    if (i == pos) return false;
    *value = v;
    *next = i;
    return true;
}

bool containsNoCase(const std::string& text, const char* what) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return lower.find(what) != std::string::npos;
}
} // namespace

GevStatus parseXmlUrl(const char* text, size_t size, XmlUrl* url) {
    if (!text || !url) return GEV_STATUS_GET_URL_ERROR;
    // The register need not hold a terminator: look at its bytes only.
    const std::string s(text, strnlen(text, std::min(size, kXmlUrlSize)));
    *url = XmlUrl{};

    for (const char* prefix : {"file:", "File:"}) {
        size_t at = s.find(prefix);
        if (at == std::string::npos) continue;
        std::string path = s.substr(at + 5);
        path = path.substr(0, path.find('?')); // "?SchemaVersion=..." is no part of the path
        if (path.empty()) return GEV_STATUS_GET_URL_ERROR;
        url->kind = XmlUrl::Kind::File;
        url->name = path;
        url->zipped = path.find(".zip") != std::string::npos;
        return GEV_STATUS_SUCCESS;
    }

    size_t at = std::string::npos;
    for (const char* prefix : {"local:", "Local:", "LOCAL:"}) {
        at = s.find(prefix);
        if (at != std::string::npos) break;
    }
    if (at == std::string::npos) return GEV_STATUS_GET_URL_ERROR;
    const std::string u = s.substr(at);
    const size_t semi = u.find(';');
    // A name of at least one character, and room for its three-character type.
    if (semi == std::string::npos || semi < 7 || semi - 6 > kXmlNameMax) return GEV_STATUS_GET_URL_ERROR;
    const size_t second = u.find(';', semi + 1);
    if (second == std::string::npos) return GEV_STATUS_GET_URL_ERROR;
    size_t next = 0;
    uint32_t address = 0, length = 0;
    if (!parseHex(u, semi + 1, second, &address, &next) || next != second) return GEV_STATUS_GET_URL_ERROR;
    if (!parseHex(u, second + 1, u.size(), &length, &next)) return GEV_STATUS_GET_URL_ERROR;
    if (uint64_t(address) + length > 0x100000000ull) return GEV_STATUS_GET_URL_ERROR;
    url->kind = XmlUrl::Kind::Local;
    url->name = u.substr(6, semi - 6);
    url->type = u.substr(semi - 3, 3);
    url->address = address;
    url->length = length;
    url->zipped = containsNoCase(url->type, "zip");
    return GEV_STATUS_SUCCESS;
}

GevStatus unzipFirstEntry(const uint8_t* data, size_t size, size_t maxSize, std::vector<uint8_t>* out,
                          std::string* error) {
    auto fail = [error](const char* what) {
        if (error) *error = what;
        return GEV_STATUS_XML_ZIP_ERROR;
    };
    zip_error_t zerr;
    zip_error_init(&zerr);
    zip_source_t* source = zip_source_buffer_create(data, size, 0, &zerr);
    zip_error_fini(&zerr);
    if (!source) return fail("open");
    zip_error_init(&zerr);
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &zerr);
    zip_error_fini(&zerr);
    if (!archive) {
        zip_source_free(source);
        return fail("open");
    }
    struct Closer {
        zip_t* a;
        ~Closer() { zip_discard(a); }
    } closer{archive};

    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_get_num_entries(archive, 0) < 1 || zip_stat_index(archive, 0, 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE))
        return fail("stat");
    if (st.size > maxSize) return fail("extract");
    zip_file_t* file = zip_fopen_index(archive, 0, 0);
    if (!file) return fail("extract");
    out->assign(static_cast<size_t>(st.size), 0);
    zip_int64_t got = out->empty() ? 0 : zip_fread(file, out->data(), out->size());
    zip_fclose(file);
    if (got < 0 || uint64_t(got) != st.size) {
        out->clear();
        return fail("extract");
    }
    return GEV_STATUS_SUCCESS;
}

} // namespace qx::gige
