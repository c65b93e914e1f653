#include "gige/GevRecord.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace qx::gige {

namespace {
GevCameraRecord g_records[GEV_MAX_CAMERAS + 1];
GevStreamContext g_streamTable[GEV_MAX_CAMERAS + 1];
std::atomic<uint8_t> g_open[GEV_MAX_CAMERAS + 1];
GevMessageChannel g_messageChannel;
// GEVSetLibraryOptions and GEVGetLibraryOptions take the mutex; the library's own reads
// (gevOptions, gevReportText) do not: the options are set before the cameras are opened.
qx::sys::Mutex g_optionsMutex;
GevLibraryOptions g_options;

// Cuts trailing white space (the format's line end included).
void trimRight(char* text) {
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t' || text[n - 1] == '\r' || text[n - 1] == '\n'))
        text[--n] = '\0';
}
} // namespace

void GevCameraRecord::reset() {
    controlSocket.close();
    streamSocket.close();
    hostControlPort = hostStreamPort = 0;
    adapterIp = adapterMask = cameraIp = 0;
    devicePort = gvcp::kPort;
    nextRequestId = 1;
    std::memset(adapterName, 0, sizeof adapterName);
    cameraNumber = streamNumber = 0;
    logCameraNumber = 0;
    std::vector<uint8_t>().swap(xml);
    xmlSize = 0;
    saveXml = 0;
    logCallback = nullptr;
    eventCallback = nullptr;
    memoryCallback = nullptr;
    answerTimeoutMs = 200;
    retries = 3;
    heartbeatPeriodMs = 0;
    sc_timeout = 200;
    grabStopTimeoutMs = 1000;
    answerTimeoutSec = 0;
    answerTimeoutUsec = 200000;
    gevMajor = gevMinor = 0;
    statusFlags = 0;
    manifestTable = concatenation = 0;
    nsPerTick = 0.0;
    connectionState = GEV_CONNECTION_OK;
    logMask = 0;
    ccpMode = GEV_CCP_OPEN;
    ccpTaken = false;
    initComplete = 0;
    pendingAck = 0;
    pendingAllowanceMs = 0;
    busy = 0;
    netConfigChanged = 0;
    messageChannelAvailable = 0;
    messageSourcePort = 0;
    keepAliveIntervalSec = 30;
    lastKeepAliveMs = 0;
    heartbeatEvent.reset();
    heartbeatStop = 1; // a heartbeat thread that was let go ends at its next round
    heartbeatRunning = 0;
    KillGrab = 1;
    multicastGroup = 0;
    streamSourcePort = 0;
    lastStreamKeepOpenMs = 0;
    filterDriverActive = 0;
    filterDriverHandle = -1;
    filterDriverSlot = 0;
}

GevCameraRecord& gevRecord(uint8_t cam) { return g_records[gevValidCamera(cam) ? cam : 0]; }
GevStreamContext& gevStream(uint8_t cam) { return g_streamTable[gevValidCamera(cam) ? cam : 0]; }
bool gevIsOpen(uint8_t cam) { return gevValidCamera(cam) && g_open[cam].load() != 0; }
void gevSetOpen(uint8_t cam, bool open) {
    if (gevValidCamera(cam)) g_open[cam] = open ? 1 : 0;
}
bool gevAnyOpen() {
    for (int i = 1; i <= GEV_MAX_CAMERAS; ++i)
        if (g_open[i].load()) return true;
    return false;
}
GevMessageChannel& gevMessageChannel() { return g_messageChannel; }

int64_t gevNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

const GevLibraryOptions& gevOptions() { return g_options; }

} // namespace qx::gige

using namespace qx::gige;

void GEVGetLibraryOptions(GevLibraryOptions* options) {
    if (!options) return;
    qx::sys::MutexLock lock(g_optionsMutex);
    *options = g_options;
}

void GEVSetLibraryOptions(const GevLibraryOptions* options) {
    qx::sys::MutexLock lock(g_optionsMutex);
    g_options = options ? *options : GevLibraryOptions{};
    if (g_options.DeviceGvcpPort == 0) g_options.DeviceGvcpPort = gvcp::kPort;
}

namespace qx::gige {

bool gevLogWanted(uint8_t cam_nr, uint8_t level) {
    if (cam_nr == 0 || !gevValidCamera(cam_nr)) return false;
    const GevCameraRecord& rec = gevRecord(cam_nr);
    return (level & rec.logMask.load()) == level && rec.logCallback.load() != nullptr;
}

void gevLogText(uint8_t cam_nr, uint8_t level, std::string_view line) {
    if (!gevLogWanted(cam_nr, level)) return;
    GevLogCallback callback = gevRecord(cam_nr).logCallback.load();
    if (!callback) return;
    char text[1024];
    const size_t n = std::min(line.size(), sizeof text - 1);
    std::memcpy(text, line.data(), n);
    text[n] = '\0';
    trimRight(text);
    callback(cam_nr, text, level);
}

bool gevReportWanted() { return g_options.ReportCallback != nullptr; }

void gevReportText(std::string_view line) {
    GevReportCallback callback = g_options.ReportCallback;
    if (!callback) return;
    char text[4096];
    const size_t n = std::min(line.size(), sizeof text - 3);
    std::memcpy(text, line.data(), n);
    text[n] = '\0';
    trimRight(text);
    std::strcat(text, "\r\n");
    callback(text, g_options.ReportUser);
}

} // namespace qx::gige
