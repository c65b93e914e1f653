// The GigE Vision library's camera interface: plain functions on a camera number `cam_nr`
// (1..50) that open and close a camera (GEVInit, GEVClose), read and write its registers and
// memory over GVCP, and set its channel parameters, persistent IP configuration, log and
// callbacks. Every function returns a GevStatus and throws nothing. The library keeps one
// camera record per number; GigeDevice is its only caller in the SDK.
// IP addresses and masks are uint32 values in network byte order.
#pragma once
#include <cstdint>
#include <string_view>
#include <utility>

#include "gige/GevStatus.h"
#include "Sys/Log.h"

constexpr uint8_t GEV_MAX_CAMERAS = 50;
// Longest answer timeout a GigE Vision 2 camera's pending timeout register may set (ms).
constexpr uint32_t GEV_MAX_DEVICE_ANSWER_TIMEOUT_MS = 1000;

// Log level bits of the per-camera log (the text of each line starts with its tag).
enum : uint8_t {
    GEV_LOG_INFO = 0x01,    // "[I] " (also "[N] ")
    GEV_LOG_WARNING = 0x02, // "[W] "
    GEV_LOG_ERROR = 0x04,   // "[E] "
    GEV_LOG_REGDATA = 0x08, // enables the per-register data lines (delivered at GEV_LOG_INFO)
    GEV_LOG_DEBUG = 0x10,   // "[D] "
    GEV_LOG_VERBOSE = 0x20, // "[V] "
};

// Control channel privilege modes of GEVInit.
enum : uint8_t { GEV_CCP_OPEN = 0, GEV_CCP_EXCLUSIVE = 1, GEV_CCP_CONTROL = 2 };

// Connection states reported by GEVGetConnectionStatus.
enum : uint8_t { GEV_CONNECTION_OK = 0, GEV_CONNECTION_CCP_LOST = 1, GEV_CONNECTION_FAILURE = 2 };
// Initialisation states reported by GEVGetConnectionStatus.
enum : uint8_t { GEV_INIT_COMPLETE = 0, GEV_INIT_INCOMPLETE = 2 };

struct GevConnection {
    uint32_t IP_CANCam = 0;       // camera IP
    uint16_t HostStreamPort = 0;  // 0: any free port
    uint16_t HostControlPort = 0; // 0: any free port
    uint32_t AdapterIP = 0;       // host adapter that reaches the camera
    uint32_t AdapterMask = 0;
    char AdapterName[260] = {};
    uint16_t MessagePort = 0;    // process-wide message socket; 0: any free port
    uint16_t DeviceGvcpPort = 0; // the camera's GVCP port; 0: the library default (3956)
};

struct GevChannelParams {
    uint32_t HeartbeatPeriodMs = 0;
    uint32_t AnswerTimeoutMs = 0;
    uint8_t Retries = 0;
    uint32_t ScTimeoutMs = 0;
    uint32_t ScPacketResend = 0;
    uint32_t GrabStopTimeoutMs = 0;
};

// One asynchronous event of the message channel; `Data` is valid only during the callback.
struct GevEvent {
    uint16_t EventId = 0;
    uint16_t StreamChannel = 0;
    uint64_t BlockId = 0;
    uint64_t Timestamp = 0;
    const uint8_t* Data = nullptr;
    uint32_t DataLength = 0;
};

typedef void (*GevLogCallback)(uint8_t camNr, const char* text, uint8_t level);
typedef bool (*GevEventCallback)(uint8_t camNr, GevEvent* event);
typedef void (*GevMemoryProgressCallback)(uint8_t camNr, uint32_t percent);

GevStatus GEVInit(uint8_t cam_nr, const GevConnection* connection, GevLogCallback logCallback, uint8_t saveXml,
                  uint8_t ccpMode);
GevStatus GEVClose(uint8_t cam_nr);

// Register values are in host order; `count` consecutive registers from `address`.
GevStatus ReadRegister(uint8_t cam_nr, uint32_t address, uint8_t count, uint32_t* values);
GevStatus WriteRegister(uint8_t cam_nr, uint32_t address, uint8_t count, const uint32_t* values);
// Exactly `length` bytes at `address`, in device byte order.
GevStatus ReadMemory(uint8_t cam_nr, uint32_t address, uint32_t length, void* buffer);
GevStatus WriteMemory(uint8_t cam_nr, uint32_t address, uint32_t length, const void* data);

GevStatus GEVGetChannelParameter(uint8_t cam_nr, GevChannelParams* params);
GevStatus GEVSetChannelParameter(uint8_t cam_nr, const GevChannelParams* params);
GevStatus GEVGetConnectionStatus(uint8_t cam_nr, uint8_t* state, uint8_t* initState);
GevStatus GEVGetStreamPort(uint8_t cam_nr, uint16_t* port);
GevStatus GEVSetDetailedLog(uint8_t cam_nr, uint8_t mask);
GevStatus GEVSetEventCallback(uint8_t cam_nr, GevEventCallback callback);
GevStatus GEVSetReadWriteMemoryCallback(uint8_t cam_nr, GevMemoryProgressCallback callback);
GevStatus GEVInitFilterDriver(uint8_t cam_nr);
GevStatus GEVCloseFilterDriver(uint8_t cam_nr);
GevStatus GEVSetNetConfig(uint8_t cam_nr, uint8_t dhcp, uint32_t ip, uint32_t mask, uint32_t gateway);

// The camera's log, written with the library's log front-end (Sys/Log.h: fmt formats checked
// at compile time): QX_GEV_LOG(cam_nr, GEV_LOG_INFO, "[I] Width: {}", width). A line reaches
// the camera's log callback when the camera number is valid, a callback is set and every bit
// of `level` is in its mask; the callback gets at most 1023 characters, without trailing white
// space (the format's line end included).
#define QX_GEV_LOG(cam_nr, level, format, ...) \
    ::qx::gige::gevLogLine(cam_nr, level, QX_FUNC, FMT_STRING(format), ##__VA_ARGS__)
// Library-wide report for messages that belong to no camera (see GEVSetLibraryOptions): at
// most 4093 characters without trailing white space, then "\r\n".
#define QX_GEV_REPORT(format, ...) ::qx::gige::gevReportLine(QX_FUNC, FMT_STRING(format), ##__VA_ARGS__)

namespace qx::gige {

bool gevLogWanted(uint8_t cam_nr, uint8_t level);
void gevLogText(uint8_t cam_nr, uint8_t level, std::string_view text);
bool gevReportWanted();
void gevReportText(std::string_view text);

template <typename S, typename... Args>
void gevLogLine(uint8_t cam_nr, uint8_t level, const char* func, const S& format, Args&&... args) {
    if (!gevLogWanted(cam_nr, level)) return;
    fmt::memory_buffer line;
    ::qx::sys::log::formatLine(line, func, format, std::forward<Args>(args)...);
    gevLogText(cam_nr, level, std::string_view(line.data(), line.size()));
}

template <typename S, typename... Args>
void gevReportLine(const char* func, const S& format, Args&&... args) {
    if (!gevReportWanted()) return;
    fmt::memory_buffer line;
    ::qx::sys::log::formatLine(line, func, format, std::forward<Args>(args)...);
    gevReportText(std::string_view(line.data(), line.size()));
}

} // namespace qx::gige
