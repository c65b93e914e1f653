// Fetching a camera's GenICam XML into its record's cache: the URL from the first URL register
// (or the manifest table), the bytes from camera memory or a host file, unzipped when zipped.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "gige/GevRecord.h"
#include "gige/GevXml.h"
#include "gige/GevXmlUrl.h"

namespace qx::gige {

namespace {

qx::sys::Mutex g_xmlTextMutex;
std::string g_saveDirectory QX_GUARDED_BY(g_xmlTextMutex);
std::string g_lastXmlFileName QX_GUARDED_BY(g_xmlTextMutex); // file name of the last fetch

void setCache(GevCameraRecord& rec, std::vector<uint8_t>&& bytes) {
    rec.xmlSize = static_cast<uint32_t>(bytes.size());
    bytes.push_back(0); // keeps the text terminated for whoever reads it as one
    rec.xml = std::move(bytes);
}

void clearCache(GevCameraRecord& rec) {
    std::vector<uint8_t>().swap(rec.xml);
    rec.xmlSize = 0;
}

GevStatus readXmlFromFile(uint8_t cam, const std::string& path, std::string* type) {
    GevCameraRecord& rec = gevRecord(cam);
    // The camera names the path: only a regular file is read (a pipe or a device could block
    // or never end), and one larger than the limit is refused before anything is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return GEV_STATUS_XML_OPEN_ERROR;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Xml file is no regular file: {}\n", path.c_str());
        return GEV_STATUS_XML_OPEN_ERROR;
    }
    if (uint64_t(st.st_size) > GEV_MAX_XML_SIZE) {
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Xml file too large: {} bytes\n", static_cast<long long>(st.st_size));
        return GEV_STATUS_XML_SIZE_ERROR;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(st.st_size));
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (bytes.size() + size_t(n) > GEV_MAX_XML_SIZE) return GEV_STATUS_XML_SIZE_ERROR; // it grew
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    if (bytes.empty()) return GEV_STATUS_XML_READ_ERROR;
    if (path.find(".zip") != std::string::npos) *type = "zip";
    {
        qx::sys::MutexLock lock(g_xmlTextMutex);
        g_lastXmlFileName = path;
    }
    setCache(rec, std::move(bytes));
    return GEV_STATUS_SUCCESS;
}

// The URL register address: 0x0200, or the one the manifest table names.
GevStatus urlAddress(uint8_t cam, uint32_t* address) {
    GevCameraRecord& rec = gevRecord(cam);
    *address = gvcp::reg::kFirstUrl;
    if (!rec.manifestTable) return GEV_STATUS_SUCCESS;
    uint32_t header = 0;
    if (ReadRegister(cam, gvcp::reg::kManifestHeader, 1, &header) != GEV_STATUS_SUCCESS) {
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Can't read size of manifest table.\n");
        return GEV_STATUS_GET_MANIFEST_TABLE_ERROR;
    }
    namespace f = gvcp::field;
    const uint32_t entries = (header >> f::kManifestCountShift) & f::kManifestFieldMask;
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Manifest table number of entries: {}\n", entries);
    if (entries == 0) return GEV_STATUS_SUCCESS;
    uint32_t entry[2] = {0, 0};
    GevStatus st = rec.concatenation ? ReadRegister(cam, gvcp::reg::kManifestFirstEntry, 2, entry)
                                     : ReadRegister(cam, gvcp::reg::kManifestFirstEntry, 1, &entry[0]);
    if (st == GEV_STATUS_SUCCESS && !rec.concatenation)
        st = ReadRegister(cam, gvcp::reg::kManifestFirstEntry + f::kManifestUrlAddressOffset, 1, &entry[1]);
    if (st != GEV_STATUS_SUCCESS) {
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Can't read manifest table.\n");
        return GEV_STATUS_GET_MANIFEST_TABLE_ERROR;
    }
    auto field = [&](uint32_t shift) { return (entry[0] >> shift) & f::kManifestFieldMask; };
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Manifest table schema version: {}.{}\n", field(f::kManifestSchemaMajorShift),
               field(f::kManifestSchemaMinorShift));
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Manifest table xml version :  {}.  {}.  {}\n", field(f::kManifestXmlMajorShift),
               field(f::kManifestXmlMinorShift), field(f::kManifestXmlSubminorShift));
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Manifest table url register address: {:08X}\n", entry[1]);
    *address = entry[1];
    return GEV_STATUS_SUCCESS;
}

GevStatus readXmlFromDevice(uint8_t cam, std::string* type) {
    GevCameraRecord& rec = gevRecord(cam);
    uint32_t address = 0;
    if (GevStatus st = urlAddress(cam, &address)) return st;

    char text[kXmlUrlSize + 1] = {};
    GevStatus st = ReadMemory(cam, address, kXmlUrlSize, text);
    if (st == GEV_STATUS_ACCESS_DENIED) {
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Can't get first url from memory.\n");
        return GEV_STATUS_ACCESS_DENIED;
    }
    if (st != GEV_STATUS_SUCCESS) {
        st = ReadMemory(cam, address + kXmlUrlSize, kXmlUrlSize, text);
        if (st == GEV_STATUS_ACCESS_DENIED) {
            QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Can't get first url from memory.\n");
            return GEV_STATUS_ACCESS_DENIED;
        }
        if (st != GEV_STATUS_SUCCESS) {
            QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Can't get url from memory.\n");
            return GEV_STATUS_GET_URL_ERROR;
        }
    }

    XmlUrl url;
    if (parseXmlUrl(text, kXmlUrlSize, &url) != GEV_STATUS_SUCCESS) {
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Unable to parse first URL for \"local:\" format.\n");
        return GEV_STATUS_GET_URL_ERROR;
    }
    if (url.kind == XmlUrl::Kind::File) {
        if (GevStatus fst = readXmlFromFile(cam, url.name, type)) return fst;
        return rec.xmlSize ? GEV_STATUS_SUCCESS : GEV_STATUS_GET_URL_ERROR;
    }

    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] XML-Name: {}, Address: 0x{:08X}, Length: {}\n", url.name.c_str(), url.address,
               url.length);
    if (url.length > GEV_MAX_XML_SIZE) return GEV_STATUS_XML_SIZE_ERROR;
    *type = url.type;
    std::vector<uint8_t> bytes(url.length);
    if (url.length && ReadMemory(cam, url.address, url.length, bytes.data()) != GEV_STATUS_SUCCESS) {
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Unable to read xml file from memory.\n");
        return GEV_STATUS_READ_XML_MEM_ERROR;
    }
    {
        qx::sys::MutexLock lock(g_xmlTextMutex);
        g_lastXmlFileName = url.name;
    }
    setCache(rec, std::move(bytes));
    return GEV_STATUS_SUCCESS;
}

void saveXml(uint8_t cam, const GevCameraRecord& rec) {
    std::string path;
    {
        qx::sys::MutexLock lock(g_xmlTextMutex);
        std::string base = g_lastXmlFileName.substr(g_lastXmlFileName.find_last_of('/') + 1);
        path = (g_saveDirectory.empty() ? std::string(".") : g_saveDirectory) + "/" + base;
    }
    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Save xml file [{}].\n", path.c_str());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Can't create xml file.\n");
        return;
    }
    if (std::fwrite(rec.xml.data(), 1, rec.xmlSize, f) != rec.xmlSize)
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Can't write xml file.\n");
    std::fclose(f);
}

} // namespace

GevStatus gevFetchXml(uint8_t cam) {
    GevCameraRecord& rec = gevRecord(cam);
    std::string type;
    if (GevStatus st = readXmlFromDevice(cam, &type)) return st;
    if (rec.xml.empty() || rec.xmlSize == 0) {
        clearCache(rec);
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] Xml file size is 0.\n");
        return GEV_STATUS_XML_SIZE_ERROR;
    }
    if (rec.saveXml) saveXml(cam, rec);
    if (type.find("zip") != std::string::npos || type.find("ZIP") != std::string::npos) {
        std::vector<uint8_t> out;
        std::string step;
        if (unzipFirstEntry(rec.xml.data(), rec.xmlSize, GEV_MAX_XML_SIZE, &out, &step) != GEV_STATUS_SUCCESS) {
            if (step == "open") QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] mz_zip_reader_init_file() failed!\n");
            else if (step == "stat") QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] mz_zip_reader_file_stat() failed!\n");
            else QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] mz_zip_reader_extract_file_to_heap() failed!\n");
            return GEV_STATUS_XML_ZIP_ERROR;
        }
        QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Successfully extracted file, size {}\n", static_cast<long long>(out.size()));
        setCache(rec, std::move(out));
    }
    return GEV_STATUS_SUCCESS;
}

} // namespace qx::gige

using namespace qx::gige;

GevStatus GEVGetXmlSizeEx(uint8_t cam_nr, uint32_t* size) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    if (!size) return GEV_STATUS_INVALID_PARAMETER;
    GevCameraRecord& rec = gevRecord(cam_nr);
    if (rec.xmlSize == 0) {
        if (GevStatus st = gevFetchXml(cam_nr)) {
            *size = 0;
            clearCache(rec);
            return st;
        }
    }
    *size = rec.xmlSize;
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVGetXmlFileEx(uint8_t cam_nr, void* buffer, uint32_t capacity) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    GevCameraRecord& rec = gevRecord(cam_nr);
    if (rec.xmlSize == 0) return GEV_STATUS_XML_SIZE_ERROR;
    if (rec.xml.empty()) return GEV_STATUS_READ_XML_MEM_ERROR;
    if (!buffer || capacity < rec.xmlSize) return GEV_STATUS_XML_SIZE_ERROR;
    std::memcpy(buffer, rec.xml.data(), rec.xmlSize);
    clearCache(rec);
    return GEV_STATUS_SUCCESS;
}

GevStatus GEVGetXmlFile(uint8_t cam_nr, char** buffer) {
    if (!gevIsOpen(cam_nr)) return GEV_STATUS_CAMERA_NOT_INIT;
    if (!buffer || !*buffer) return GEV_STATUS_INVALID_PARAMETER;
    return GEVGetXmlFileEx(cam_nr, *buffer, gevRecord(cam_nr).xmlSize);
}

void GEVSetXmlSaveDirectory(const char* directory) {
    qx::sys::MutexLock lock(g_xmlTextMutex);
    g_saveDirectory = directory ? directory : "";
}
