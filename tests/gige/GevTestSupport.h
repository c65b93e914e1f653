// Helpers shared by the GigE Vision library tests: capture of the per-camera log and of the
// library-wide reports, a connection record aimed at a simulated device, short GVCP timeouts,
// and the adapter provider that keeps discovery on 127.0.0.0/8.
#pragma once
#include <chrono>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <zip.h>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "gige/GevLib.h"
#include "SimGevDevice.h"

namespace qx::test {

struct LogLine {
    uint8_t cam;
    std::string text;
    uint8_t level;
};

class LogCapture {
public:
    static LogCapture& instance() {
        static LogCapture capture;
        return capture;
    }
    static void callback(uint8_t cam, const char* text, uint8_t level) {
        auto& c = instance();
        std::lock_guard<std::mutex> lock(c.m_mutex);
        c.m_lines.push_back({cam, text, level});
    }
    static void report(const char* text, void*) {
        auto& c = instance();
        std::lock_guard<std::mutex> lock(c.m_mutex);
        c.m_reports.push_back(text);
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
        m_reports.clear();
    }
    std::vector<LogLine> lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    std::vector<std::string> reports() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reports;
    }
    bool has(const std::string& text, int level = -1) {
        for (const auto& l : lines())
            if (l.text.find(text) != std::string::npos && (level < 0 || l.level == level)) return true;
        return false;
    }
    bool reported(const std::string& text) {
        for (const auto& r : reports())
            if (r.find(text) != std::string::npos) return true;
        return false;
    }

private:
    std::mutex m_mutex;
    std::vector<LogLine> m_lines;
    std::vector<std::string> m_reports;
};

inline GevConnection connectionTo(const qx::fixture::SimGevDevice& device, const char* adapter = "127.0.0.1",
                                  const char* mask = "255.0.0.0") {
    GevConnection c;
    c.IP_CANCam = device.ip();
    c.AdapterIP = qx::fixture::ipv4(adapter);
    c.AdapterMask = qx::fixture::ipv4(mask);
    std::strcpy(c.AdapterName, "lo");
    c.DeviceGvcpPort = device.port();
    return c;
}

// Short answer timeout and retries for tests that wait for silence.
inline void fastChannel(uint8_t cam, uint32_t answerMs = 40, uint8_t retries = 3) {
    GevChannelParams p;
    GEVGetChannelParameter(cam, &p);
    p.AnswerTimeoutMs = answerMs;
    p.Retries = retries;
    GEVSetChannelParameter(cam, &p);
}

// Keeps only the adapters on 127.0.0.0/8 of the system's list.
inline GevStatus loopbackAdapters(GevAdapterList* list, void*) {
    auto all = std::make_unique<GevAdapterList>();
    if (GevStatus st = GevGetSystemAdapterList(all.get())) return st;
    list->Count = 0;
    for (int i = 0; i < all->Count; ++i)
        if ((all->Adapters[i].Ip & qx::fixture::ipv4("255.0.0.0")) == qx::fixture::ipv4("127.0.0.0"))
            list->Adapters[list->Count++] = all->Adapters[i];
    return GEV_STATUS_SUCCESS;
}

// A zip archive holding the given entries, built with libzip.
inline std::vector<uint8_t> makeZip(const std::vector<std::pair<std::string, std::string>>& entries) {
    char path[] = "/tmp/qx_gev_zip_XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    int err = 0;
    zip_t* z = zip_open(path, ZIP_CREATE | ZIP_TRUNCATE, &err);
    for (const auto& [name, text] : entries) {
        zip_source_t* s = zip_source_buffer(z, text.data(), text.size(), 0);
        zip_file_add(z, name.c_str(), s, ZIP_FL_OVERWRITE);
    }
    zip_close(z);
    std::vector<uint8_t> bytes;
    if (FILE* f = std::fopen(path, "rb")) {
        int c;
        while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
        std::fclose(f);
    }
    std::remove(path);
    return bytes;
}

inline int64_t msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
}

} // namespace qx::test
