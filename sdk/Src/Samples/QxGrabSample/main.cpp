// QxGrabSample: the SDK at work on one camera, through the QX_ exports only.
//
// Finds the cameras and prints them; connects the first available one (or the one with the
// given serial number) with exclusive access; prints Width, Height, PixelFormat and the packet
// size, turns packet resend on (GigE) and halves the width; grabs for a few seconds through the image callback and then
// through QX_GetFrame/QX_FreeFrame with a live status line, recording the second run as an
// MJPEG AVI; saves the last complete frame as BMP, PNG, JPEG and TIFF; converts a 16-bit frame
// to 8 bits when the camera offers a 16-bit format; restores what it changed, disconnects and
// deletes the handle, and prints what it wrote.
//
//   QxGrabSample [--seconds S] [--out DIR] [--serial SERIAL]
//
// Exit status: 0 when frames arrived complete and every file was written; 1 on any failure
// (the failing call and its status are printed with the log file's path); 2 when no camera
// was found.
#include "QxCamApi.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char* statusName(QX_STATUS s) {
    switch (s) {
    case QX_OK: return "QX_OK";
    case QX_ERR_INVALID_HANDLE: return "QX_ERR_INVALID_HANDLE";
    case QX_ERR_INVALID_PARAM: return "QX_ERR_INVALID_PARAM";
    case QX_ERR_WRONG_STATE: return "QX_ERR_WRONG_STATE";
    case QX_ERR_NOT_SUPPORTED: return "QX_ERR_NOT_SUPPORTED";
    case QX_ERR_NO_FREE_BUFFER: return "QX_ERR_NO_FREE_BUFFER";
    case QX_ERR_RESOURCE_EXHAUSTED: return "QX_ERR_RESOURCE_EXHAUSTED";
    case QX_ERR_TIMEOUT: return "QX_ERR_TIMEOUT";
    case QX_ERR_NOT_AVAILABLE: return "QX_ERR_NOT_AVAILABLE";
    case QX_ERR_BUFFER_TOO_SMALL: return "QX_ERR_BUFFER_TOO_SMALL";
    case QX_ERR_GENERAL: return "QX_ERR_GENERAL";
    case QX_ERR_GENICAM: return "QX_ERR_GENICAM";
    case QX_ERR_GEV_NOT_IMPLEMENTED: return "QX_ERR_GEV_NOT_IMPLEMENTED";
    case QX_ERR_GEV_INVALID_ADDRESS: return "QX_ERR_GEV_INVALID_ADDRESS";
    case QX_ERR_GEV_WRITE_PROTECT: return "QX_ERR_GEV_WRITE_PROTECT";
    case QX_ERR_GEV_ACCESS_DENIED: return "QX_ERR_GEV_ACCESS_DENIED";
    case QX_ERR_GEV_BUSY: return "QX_ERR_GEV_BUSY";
    case QX_ERR_GEV_PACKET_UNAVAILABLE: return "QX_ERR_GEV_PACKET_UNAVAILABLE";
    case QX_ERR_GEV_SUBNET_MISMATCH: return "QX_ERR_GEV_SUBNET_MISMATCH";
    case QX_ERR_GEV_SOCKET: return "QX_ERR_GEV_SOCKET";
    case QX_ERR_GEV_TIMEOUT: return "QX_ERR_GEV_TIMEOUT";
    case QX_ERR_GEV_GENERAL: return "QX_ERR_GEV_GENERAL";
    case QX_ERR_USB3: return "QX_ERR_USB3";
    }
    return "unknown status";
}

// The library writes its log to QxCamSdk-Log/ under the working directory.
std::string logPath() {
    char cwd[PATH_MAX];
    const std::string dir = getcwd(cwd, sizeof cwd) ? std::string(cwd) : std::string(".");
    return dir + "/QxCamSdk-Log/rotating_log.txt";
}

std::string ipText(uint32_t ip) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF);
    return text;
}

std::string macText(const uint8_t* mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

void printDevice(uint32_t index, const DeviceInfo& d) {
    static const char* const kAccess[] = {"unavailable", "available", "available read-only", "in use"};
    const char* access = d.nAccessStatus >= 0 && d.nAccessStatus <= 3 ? kAccess[d.nAccessStatus] : "unknown";
    std::printf("  [%u] %s %s, serial %s, ", index, d.strManufacturerName, d.strModelName, d.strSerialNumber);
    if (d.nTLayerType == QX_TLAYER_GIGE) {
        const QX_GIGE_DEVICE_INFO& g = d.u.stGigeInfo;
        std::printf("IP %s, MAC %s, adapter %s, %s\n", ipText(g.nIP).c_str(), macText(g.arrMacAddr).c_str(),
                    g.strAdapterName, access);
    } else {
        std::printf("USB3 %s, %s\n", d.u.stUsb3Info.strDevicePath, access);
    }
}

// A frame is complete when no packet of it was lost and its data covers its geometry.
bool isComplete(const FrameInfo& f) {
    const uint64_t bits = uint64_t(f.nWidth) * f.nHeight * f.nBitsPerPixel;
    return f.nLostPacket == 0 && f.pData != nullptr && uint64_t(f.nDataLen) * 8 >= bits;
}

// What one acquisition run saw. The image callback runs on a thread of the library, so the
// counters are guarded by a mutex.
class RunStats {
public:
    void start() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames = m_incomplete = m_lost = 0;
        m_haveIndex = false;
        m_start = Clock::now();
    }
    void add(const FrameInfo& f) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_frames;
        if (!isComplete(f)) ++m_incomplete;
        // Frames missing between two delivered ones. GigE block ids count 1..65535 and then
        // start again at 1.
        if (m_haveIndex && f.nFrameIndex > m_lastIndex) {
            m_lost += f.nFrameIndex - m_lastIndex - 1;
        } else if (m_haveIndex && m_lastIndex > 0xFF00 && m_lastIndex <= 0xFFFF && f.nFrameIndex >= 1 &&
                   f.nFrameIndex < 0x100) {
            m_lost += (0xFFFF - m_lastIndex) + (f.nFrameIndex - 1);
        }
        m_lastIndex = f.nFrameIndex;
        m_haveIndex = true;
    }
    uint64_t frames() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }
    uint64_t incomplete() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_incomplete;
    }
    double seconds() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::chrono::duration<double>(Clock::now() - m_start).count();
    }
    // "frames 90  fps 29.9  incomplete 0  lost 0"
    std::string line() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        const double s = std::chrono::duration<double>(Clock::now() - m_start).count();
        char text[160];
        std::snprintf(text, sizeof text, "%4.1f s  frames %llu  fps %.1f  incomplete %llu  lost %llu", s,
                      static_cast<unsigned long long>(m_frames), s > 0 ? m_frames / s : 0.0,
                      static_cast<unsigned long long>(m_incomplete), static_cast<unsigned long long>(m_lost));
        return text;
    }

private:
    mutable std::mutex m_mutex;
    uint64_t m_frames = 0, m_incomplete = 0, m_lost = 0, m_lastIndex = 0;
    bool m_haveIndex = false;
    Clock::time_point m_start = Clock::now();
};

// The live status: rewritten in place on a terminal, printed once at the end otherwise.
void showStatus(const char* label, const RunStats& stats, bool final) {
    static const bool tty = isatty(STDOUT_FILENO) != 0;
    if (!tty && !final) return;
    std::printf("%s%-14s %s%s", tty ? "\r" : "", label, stats.line().c_str(), final ? "\n" : "");
    std::fflush(stdout);
}

void onImage(const FrameInfo* frame, void* user) { static_cast<RunStats*>(user)->add(*frame); }

void onOffline(void* user) { static_cast<std::atomic<bool>*>(user)->store(true); }

// A copy of one frame, kept after the library's buffer was given back.
struct Image {
    std::vector<uint8_t> data;
    uint32_t pixelFormat = 0, width = 0, height = 0;
    void assign(const FrameInfo& f) {
        data.assign(f.pData, f.pData + f.nDataLen);
        pixelFormat = f.nPixelFormat;
        width = f.nWidth;
        height = f.nHeight;
    }
};

struct Options {
    double seconds = 3.0;
    std::string outDir = ".";
    std::string serial;
};

bool parseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "--seconds") {
            o->seconds = std::atof(value);
            if (!(o->seconds > 0 && o->seconds <= 3600)) return false;
        } else if (arg == "--out") {
            o->outDir = value;
        } else if (arg == "--serial") {
            o->serial = value;
        } else {
            return false;
        }
    }
    return true;
}

// One run of the sample on one open handle. Every step that fails prints the call and its
// status and makes the run fail; the handle is always disconnected and deleted at the end.
class GrabSession {
public:
    GrabSession(QX_DEV_HANDLE handle, const Options& options) : m_handle(handle), m_options(options) {}

    bool run();
    bool close();
    const std::vector<std::string>& written() const { return m_written; }

private:
    bool check(const char* call, QX_STATUS status) {
        if (status == QX_OK) return true;
        std::printf("FAILED: %s: %s (0x%08x)\n", call, statusName(status), status);
        m_failed = true;
        return false;
    }
    void printFeatures();
    void enableResend();
    void changeWidth();
    bool grabWithCallback();
    bool grabWithGetFrame();
    bool stopGrabbing();
    bool saveLastFrame();
    void convertSixteenBit();
    bool saveImage(const Image& image, EnImageType type, const std::string& name);
    std::string outPath(const std::string& name) const { return m_options.outDir + "/" + name; }
    bool noteFile(const std::string& path);
    bool completeRun(const char* label, const RunStats& stats);

    QX_DEV_HANDLE m_handle;
    const Options& m_options;
    std::atomic<bool> m_offline{false};
    bool m_failed = false;
    int64_t m_originalWidth = -1;
    double m_fps = 0;
    Image m_last;
    std::vector<std::string> m_written;
};

void GrabSession::printFeatures() {
    IntValueInfo width{}, height{}, packet{};
    EnumStrValueInfo format{};
    if (check("QX_XML_GetIntValue(Width)", QX_XML_GetIntValue(m_handle, "Width", &width)))
        std::printf("  Width          %lld (%lld..%lld, step %lld)\n", static_cast<long long>(width.nValue),
                    static_cast<long long>(width.nMin), static_cast<long long>(width.nMax),
                    static_cast<long long>(width.nInc));
    if (check("QX_XML_GetIntValue(Height)", QX_XML_GetIntValue(m_handle, "Height", &height)))
        std::printf("  Height         %lld\n", static_cast<long long>(height.nValue));
    if (check("QX_XML_GetEnumValueStr(PixelFormat)", QX_XML_GetEnumValueStr(m_handle, "PixelFormat", &format))) {
        std::printf("  PixelFormat    %s (offered:", format.strValue);
        for (int i = 0; i < format.nCount && i < QX_MAX_ENUM_ENTRIES; ++i) std::printf(" %s", format.arrSymbolics[i]);
        std::printf(")\n");
    }
    // A GigE Vision camera's stream packet size; a USB3 camera has none.
    if (QX_XML_GetIntValue(m_handle, "GevSCPSPacketSize", &packet) == QX_OK)
        std::printf("  packet size    %lld bytes\n", static_cast<long long>(packet.nValue));
    else std::printf("  packet size    (no GevSCPSPacketSize on this camera)\n");
}

// A GigE Vision camera resends packets lost on the way when asked; up to a tenth of a frame's
// packets are asked again, with the library's default wait.
void GrabSession::enableResend() {
    DeviceInfo info{};
    if (QX_GetDeviceInfo(m_handle, &info) != QX_OK || info.nTLayerType != QX_TLAYER_GIGE) return;
    const QX_STATUS status = QX_GIGE_SetPacketResend(m_handle, true, 10, 0xFFFF);
    if (status == QX_ERR_NOT_SUPPORTED) std::printf("  packet resend  not supported by this camera\n");
    else if (check("QX_GIGE_SetPacketResend", status)) std::printf("  packet resend  on\n");
}

// Halves the width (keeping its step and minimum), so that the frames show the change.
void GrabSession::changeWidth() {
    IntValueInfo width{};
    int32_t access = 0;
    if (QX_XML_GetIntValue(m_handle, "Width", &width) != QX_OK ||
        QX_XML_GetNodeAccessMode(m_handle, "Width", &access) != QX_OK || access != QX_NODE_ACCESS_RW) {
        std::printf("  Width is not writable here; left unchanged\n");
        return;
    }
    const int64_t step = width.nInc > 0 ? width.nInc : 1;
    int64_t wanted = width.nValue / 2;
    wanted = width.nMin + (wanted - width.nMin) / step * step;
    wanted = std::max(wanted, width.nMin);
    if (wanted == width.nValue) return;
    if (!check("QX_XML_SetIntValue(Width)", QX_XML_SetIntValue(m_handle, "Width", wanted))) return;
    m_originalWidth = width.nValue;
    IntValueInfo now{};
    if (check("QX_XML_GetIntValue(Width)", QX_XML_GetIntValue(m_handle, "Width", &now)))
        std::printf("  Width changed  %lld -> %lld\n", static_cast<long long>(width.nValue),
                    static_cast<long long>(now.nValue));
}

bool GrabSession::completeRun(const char* label, const RunStats& stats) {
    if (m_offline.load()) {
        std::printf("FAILED: %s: the camera went offline\n", label);
        m_failed = true;
        return false;
    }
    if (stats.frames() == 0 || stats.incomplete() != 0) {
        std::printf("FAILED: %s: %s\n", label,
                    stats.frames() == 0 ? "no frame arrived" : "incomplete frames arrived (packets lost)");
        m_failed = true;
        return false;
    }
    return true;
}

// QX_StopGrabbing reports a camera that cannot take back its stream settings; the acquisition
// has ended all the same, which QX_IsGrabbingStarted confirms.
bool GrabSession::stopGrabbing() {
    const QX_STATUS status = QX_StopGrabbing(m_handle);
    if (status != QX_OK && !QX_IsGrabbingStarted(m_handle)) {
        std::printf("  note: QX_StopGrabbing answered %s (0x%08x); the acquisition has stopped\n", statusName(status),
                    status);
        return true;
    }
    return check("QX_StopGrabbing", status);
}

bool GrabSession::grabWithCallback() {
    RunStats stats;
    if (!check("QX_RegisterImageCallBack", QX_RegisterImageCallBack(m_handle, &onImage, &stats))) return false;
    bool ok = check("QX_StartGrabbing", QX_StartGrabbing(m_handle));
    stats.start();
    while (ok && stats.seconds() < m_options.seconds && !m_offline.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        showStatus("image callback", stats, false);
    }
    if (ok) ok = stopGrabbing();
    showStatus("image callback", stats, true);
    // Back to polling: QX_GetFrame is refused while a callback is registered.
    check("QX_RegisterImageCallBack(null)", QX_RegisterImageCallBack(m_handle, nullptr, nullptr));
    m_fps = stats.frames() / std::max(stats.seconds(), 0.001);
    return ok && completeRun("image callback", stats);
}

bool GrabSession::grabWithGetFrame() {
    RunStats stats;
    bool recording = false;
    uint64_t recorded = 0, notRecorded = 0;
    const std::string avi = outPath("grab.avi");
    if (!check("QX_StartGrabbing", QX_StartGrabbing(m_handle))) return false;
    stats.start();
    bool ok = true;
    while (ok && stats.seconds() < m_options.seconds && !m_offline.load()) {
        FrameInfo frame{};
        const QX_STATUS status = QX_GetFrame(m_handle, &frame, 1000);
        if (status == QX_ERR_TIMEOUT) continue;
        if (!check("QX_GetFrame", status)) break;
        stats.add(frame);
        if (isComplete(frame)) {
            m_last.assign(frame);
            if (!recording) {
                // The recording takes the geometry of the first complete frame.
                RecordParam param{};
                param.enPixelType = frame.nPixelFormat;
                param.nWidth = static_cast<uint16_t>(frame.nWidth);
                param.nHeight = static_cast<uint16_t>(frame.nHeight);
                param.nBpp = static_cast<uint16_t>(frame.nBitsPerPixel);
                param.fFrameRate = m_fps >= 1 ? static_cast<float>(m_fps) : 25.0f;
                param.enRecordFmtType = QX_RECORD_AVI;
                param.strFilePath = avi.c_str();
                ok = check("QX_StartRecord", QX_StartRecord(m_handle, &param));
                recording = ok;
            }
            if (recording) {
                RecordFrameInfo record{frame.pData, frame.nDataLen};
                // The recorder refuses a frame while all its images are being encoded.
                const QX_STATUS r = QX_RecordFrame(m_handle, &record);
                if (r == QX_OK) {
                    ++recorded;
                } else if (r == QX_ERR_NO_FREE_BUFFER) {
                    ++notRecorded;
                } else {
                    ok = check("QX_RecordFrame", r);
                }
            }
        }
        if (!check("QX_FreeFrame", QX_FreeFrame(m_handle, &frame))) ok = false;
        showStatus("QX_GetFrame", stats, false);
    }
    if (!stopGrabbing()) ok = false;
    showStatus("QX_GetFrame", stats, true);
    if (recording) {
        if (check("QX_StopRecord", QX_StopRecord(m_handle))) {
            std::printf("  recorded %llu frames (%llu skipped while the encoder was busy)\n",
                        static_cast<unsigned long long>(recorded), static_cast<unsigned long long>(notRecorded));
            if (recorded == 0 || !noteFile(avi)) ok = false;
        } else {
            ok = false;
        }
    }
    return completeRun("QX_GetFrame", stats) && ok;
}

bool GrabSession::noteFile(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || st.st_size == 0) {
        std::printf("FAILED: %s was not written\n", path.c_str());
        m_failed = true;
        return false;
    }
    m_written.push_back(path);
    return true;
}

bool GrabSession::saveImage(const Image& image, EnImageType type, const std::string& name) {
    SaveFileParam p{};
    p.nPixelFormat = image.pixelFormat;
    p.pData = image.data.data();
    p.nDataLen = static_cast<uint32_t>(image.data.size());
    p.nWidth = static_cast<uint16_t>(image.width);
    p.nHeight = static_cast<uint16_t>(image.height);
    p.enImageType = type;
    p.nQuality = 90;
    const std::string path = outPath(name);
    if (path.size() >= sizeof p.pImagePath) {
        std::printf("FAILED: the path %s is too long\n", path.c_str());
        m_failed = true;
        return false;
    }
    std::memcpy(p.pImagePath, path.c_str(), path.size() + 1);
    return check(("QX_SaveImageToFile(" + name + ")").c_str(), QX_SaveImageToFile(m_handle, &p)) && noteFile(path);
}

bool GrabSession::saveLastFrame() {
    bool ok = true;
    ok = saveImage(m_last, QX_IMAGE_BMP, "last.bmp") && ok;
    ok = saveImage(m_last, QX_IMAGE_PNG, "last.png") && ok;
    ok = saveImage(m_last, QX_IMAGE_JPG, "last.jpg") && ok;
    ok = saveImage(m_last, QX_IMAGE_TIFF, "last.tif") && ok;
    return ok;
}

// Takes one frame in the camera's first 16-bit format, if it offers one, converts it to Mono8
// and saves that; the camera's pixel format is restored afterwards.
void GrabSession::convertSixteenBit() {
    EnumStrValueInfo format{};
    if (QX_XML_GetEnumValueStr(m_handle, "PixelFormat", &format) != QX_OK) return;
    const std::string original = format.strValue;
    std::string sixteen;
    for (const char* name : {"Mono16", "Mono12", "Mono10", "Mono14"}) {
        for (int i = 0; i < format.nCount && i < QX_MAX_ENUM_ENTRIES && sixteen.empty(); ++i)
            if (std::strcmp(format.arrSymbolics[i], name) == 0) sixteen = name;
    }
    if (sixteen.empty()) {
        std::printf("  the camera offers no 16-bit format; no conversion\n");
        return;
    }
    if (!check("QX_XML_SetEnumValueStr(PixelFormat)", QX_XML_SetEnumValueStr(m_handle, "PixelFormat", sixteen.c_str())))
        return;
    Image frame16;
    if (check("QX_StartGrabbing", QX_StartGrabbing(m_handle))) {
        // A few tries for a complete frame.
        for (int i = 0; i < 10 && frame16.data.empty() && !m_offline.load(); ++i) {
            FrameInfo f{};
            const QX_STATUS status = QX_GetFrame(m_handle, &f, 1000);
            if (status == QX_ERR_TIMEOUT) continue;
            if (!check("QX_GetFrame", status)) break;
            if (isComplete(f)) frame16.assign(f);
            check("QX_FreeFrame", QX_FreeFrame(m_handle, &f));
        }
        stopGrabbing();
    }
    check("QX_XML_SetEnumValueStr(PixelFormat)", QX_XML_SetEnumValueStr(m_handle, "PixelFormat", original.c_str()));
    if (frame16.data.empty()) {
        std::printf("FAILED: no complete %s frame arrived\n", sixteen.c_str());
        m_failed = true;
        return;
    }
    Image mono8;
    mono8.data.resize(size_t(frame16.width) * frame16.height);
    mono8.pixelFormat = QX_PIXEL_MONO8;
    mono8.width = frame16.width;
    mono8.height = frame16.height;
    ConvertParam c{};
    c.nWidth = static_cast<uint16_t>(frame16.width);
    c.nHeight = static_cast<uint16_t>(frame16.height);
    c.enSrcPixelType = frame16.pixelFormat;
    c.pSrcData = frame16.data.data();
    c.nSrcDataLen = static_cast<uint32_t>(frame16.data.size());
    c.enDstPixelType = QX_PIXEL_MONO8;
    c.nDstDataSize = static_cast<uint32_t>(mono8.data.size());
    c.pDstData = mono8.data.data();
    if (!check("QX_ConvertPixelFormat", QX_ConvertPixelFormat(m_handle, &c))) return;
    std::printf("  %s frame %ux%u converted to Mono8 (%u bytes)\n", sixteen.c_str(), frame16.width, frame16.height,
                c.nDstDataLen);
    saveImage(mono8, QX_IMAGE_PNG, "converted-mono8.png");
}

bool GrabSession::run() {
    if (!check("QX_RegisterOfflineCallBack", QX_RegisterOfflineCallBack(m_handle, &onOffline, &m_offline)))
        return false;
    printFeatures();
    enableResend();
    changeWidth();
    if (m_failed) return false;
    const bool callbackOk = grabWithCallback();
    const bool getFrameOk = callbackOk && grabWithGetFrame();
    if (getFrameOk) saveLastFrame();
    if (getFrameOk) convertSixteenBit();
    return !m_failed;
}

// Restores the width and disconnects; the caller deletes the handle.
bool GrabSession::close() {
    if (QX_IsGrabbingStarted(m_handle)) QX_StopGrabbing(m_handle);
    if (m_originalWidth >= 0)
        check("QX_XML_SetIntValue(Width)", QX_XML_SetIntValue(m_handle, "Width", m_originalWidth));
    if (check("QX_DisconnectDevice", QX_DisconnectDevice(m_handle))) std::printf("Disconnected\n");
    return !m_failed;
}

// The adapters a GigE discovery searches: IPv4 addresses of interfaces that are up and can
// broadcast, and loopback ("lo 127.0.0.1/255.0.0.0, ...").
std::string searchedAdapters() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return "(the adapters cannot be read)";
    std::string text;
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_netmask) continue;
        if (!(a->ifa_flags & IFF_UP) || !(a->ifa_flags & (IFF_BROADCAST | IFF_LOOPBACK))) continue;
        char ip[INET_ADDRSTRLEN] = {}, mask[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr, ip, sizeof ip);
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ifa_netmask)->sin_addr, mask, sizeof mask);
        text += (text.empty() ? "" : ", ") + std::string(a->ifa_name) + " " + ip + "/" + mask;
    }
    freeifaddrs(list);
    return text.empty() ? "no adapter (none is up with an IPv4 address)" : text;
}

// Where the USB3 udev rule is installed, if it is.
std::string udevRuleState() {
    for (const char* dir : {"/etc/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
        const std::string path = std::string(dir) + "/60-qxcamapi-usb3.rules";
        if (access(path.c_str(), R_OK) == 0) return "installed as " + path;
    }
    return "not installed: copy it from the SDK's lib/udev/rules.d to /etc/udev/rules.d,\n"
           "    run udevadm control --reload and re-plug the camera";
}

void printNoCamera() {
    std::printf("No camera found.\n"
                "GigE Vision: searched %s. Check that\n"
                "  - the camera's adapter is up and has an address in the camera's subnet (ip -br addr);\n"
                "  - the firewall lets in the camera's UDP answers to discovery and control (port 3956)\n"
                "    (nft list ruleset).\n"
                "USB3: check that\n"
                "  - the camera is plugged into a USB3 port and listed (lsusb -d 04b4:00f1; lsusb -t shows 5000M);\n"
                "  - this user may open it (else it is listed as \"UnknowName\"): the udev rule\n"
                "    60-qxcamapi-usb3.rules is %s.\n"
                "For streaming, once found: the socket receive limit must hold a whole frame\n"
                "  (sysctl net.core.rmem_max; e.g. sysctl -w net.core.rmem_max=33554432) and the firewall\n"
                "  must let the stream packets in.\n"
                "Log: %s\n",
                searchedAdapters().c_str(), udevRuleState().c_str(), logPath().c_str());
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // progress shows line by line also in a pipe
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "usage: %s [--seconds S] [--out DIR] [--serial SERIAL]\n", argv[0]);
        return 1;
    }
    mkdir(options.outDir.c_str(), 0777);

    const uint32_t version = QX_GetSdkVersion();
    std::printf("QxCamApi SDK version %u.%u.%u (0x%08x)\n", version >> 24, (version >> 16) & 0xFF,
                (version >> 8) & 0xFF, version);

    // A camera that has just started may miss the first discovery: a few rounds.
    auto list = std::make_unique<DeviceList>();
    for (int round = 0; round < 5; ++round) {
        const QX_STATUS status = QX_EnumDevices(list.get(), 1, 500);
        if (status != QX_OK) {
            std::printf("FAILED: QX_EnumDevices: %s (0x%08x)\nLog: %s\n", statusName(status), status,
                        logPath().c_str());
            return 1;
        }
        if (list->nDevNum > 0) break;
    }
    std::printf("%u camera(s) found\n", list->nDevNum);
    for (uint32_t i = 0; i < list->nDevNum; ++i) printDevice(i, *list->pDevInfo[i]);

    const DeviceInfo* chosen = nullptr;
    for (uint32_t i = 0; i < list->nDevNum && !chosen; ++i) {
        const DeviceInfo* d = list->pDevInfo[i];
        if (options.serial.empty() ? d->nAccessStatus == QX_ACCESS_STATUS_AVAILABLE
                                   : options.serial == d->strSerialNumber)
            chosen = d;
    }
    if (!chosen) {
        if (list->nDevNum > 0)
            std::printf("None of them is %s.\n", options.serial.empty() ? "available" : options.serial.c_str());
        printNoCamera();
        return 2;
    }

    QX_DEV_HANDLE handle = nullptr;
    QX_STATUS status = QX_CreateDevice(&handle, chosen);
    if (status != QX_OK) {
        std::printf("FAILED: QX_CreateDevice: %s (0x%08x)\nLog: %s\n", statusName(status), status, logPath().c_str());
        return 1;
    }
    bool ok = false;
    GrabSession session(handle, options);
    status = QX_ConnectDevice(handle, QX_ACCESS_EXCLUSIVE);
    if (status == QX_OK) {
        std::printf("Connected to %s (serial %s) with exclusive access\n", chosen->strModelName,
                    chosen->strSerialNumber);
        ok = session.run();
        ok = session.close() && ok;
    } else {
        std::printf("FAILED: QX_ConnectDevice: %s (0x%08x)\n", statusName(status), status);
        // The connection may stand although the feature tree could not be built.
        bool connected = false;
        if (QX_GetConnectionStatus(handle, &connected) == QX_OK && connected) QX_DisconnectDevice(handle);
    }
    status = QX_DeleteDevice(handle);
    if (status != QX_OK) {
        std::printf("FAILED: QX_DeleteDevice: %s (0x%08x)\n", statusName(status), status);
        ok = false;
    }

    std::printf("Files written:\n");
    for (const std::string& path : session.written()) {
        char full[PATH_MAX];
        std::printf("  %s\n", realpath(path.c_str(), full) ? full : path.c_str());
    }
    std::printf("Log: %s\n", logPath().c_str());
    std::printf(ok ? "OK: frames arrived complete and every file was written\n" : "FAILED: see above and the log\n");
    return ok ? 0 : 1;
}
