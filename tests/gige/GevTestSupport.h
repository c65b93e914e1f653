// Helpers shared by the GigE Vision library tests: the log capture the library's camera log
// and reports are written to, the adapter provider that keeps discovery on 127.0.0.0/8, a
// connection record aimed at a simulated device, and short GVCP timeouts.
#pragma once
#include <chrono>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <zip.h>
#include <cstring>
#include <string>
#include <vector>

#include "gige/GevLib.h"
#include "gige/GevRecord.h"
#include "gige/GevSeams.h"
#include "LogCapture.h"
#include "Loopback.h"
#include "SimGevDevice.h"

namespace qx::test {

// The GigE library's camera log and reports go to LogCapture::instance().
using qx::fixture::loopbackAdapters;
using qxtest::LogCapture;
using qxtest::LogLine;

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

// Starts a test with an empty log capture that the library's reports go to, other library
// options at their defaults (GEVSetLibraryOptions(nullptr) in TearDown brings the defaults back).
inline void reportToLogCapture() {
    LogCapture::instance().clear();
    GevLibraryOptions o;
    o.ReportCallback = &LogCapture::report;
    GEVSetLibraryOptions(&o);
}

// Closes every camera a test left open.
inline void closeAllCameras() {
    for (uint8_t cam = 1; cam <= GEV_MAX_CAMERAS; ++cam)
        if (qx::gige::gevIsOpen(cam)) GEVClose(cam);
}

// Opens cameras without their heartbeat thread, for tests that count or shape every request a
// device sees (gevSetSeams(gevDefaultSeams()) brings it back).
inline void withoutHeartbeat() {
    qx::gige::GevSeams seams = qx::gige::gevDefaultSeams();
    seams.heartbeatStart = nullptr;
    seams.heartbeatStop = nullptr;
    qx::gige::gevSetSeams(seams);
}

// Short answer timeout and retries for tests that wait for silence.
inline void fastChannel(uint8_t cam, uint32_t answerMs = 40, uint8_t retries = 3) {
    GevChannelParams p;
    GEVGetChannelParameter(cam, &p);
    p.AnswerTimeoutMs = answerMs;
    p.Retries = retries;
    GEVSetChannelParameter(cam, &p);
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
