// qx-gige-stream-client: streams from one GigE Vision camera through the QX_ exports for a
// set time and prints one line of counts, for bench/gige_stream/compare.py:
//   complete=N failed=N missing_ids=N cpu_s=S bad_pixels=N reads=N read_failed=N
// complete: frames delivered whole; failed: frames delivered with packets missing (or, with
// --check-pattern, with pixels other than the simulated camera's pattern for their block id);
// missing_ids: block ids never delivered; cpu_s: the process's user + system CPU while streaming;
// threads: that CPU by thread (the SDK names its threads; "main" is this program's, reading these
// figures included, "other" any unnamed one) as name:microseconds per frame:sleeps per frame, the
// pattern check left out; packet_size: GevSCPSPacketSize once grabbing; restarted: 1 when the first
// start left another size than --packet-size (no test packets) and grabbing started again with it.
// Options: --ip A.B.C.D (default 127.0.0.1), --adapter-ip A.B.C.D --adapter NAME --mask A.B.C.D
// (the host side: default 127.0.0.1 on lo, 255.0.0.0) --seconds S --width N --height N --fps F
// (AcquisitionFrameRate, when the camera has it) --packet-size N (GevSCPSPacketSize before the
// start) --resend 0|1 --check-pattern (samples of the simulated camera's pattern) --read-memory-ms
// N (a QX_ReadMemory of the GVCP capability register every N ms from a second thread, its failures
// counted) --filter-driver (receive through the packet filter driver instead of the socket)
// --callback (frames through the image callback instead of QX_GetFrame/QX_FreeFrame).
#include "QxCamApi.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "SimGvspSender.h"
#include "ThreadUse.h"

namespace {

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

using qxbench::ThreadUse;

// This process's threads by tid: name, CPU to the nanosecond (schedstat), voluntary switches.
std::map<long, std::pair<std::string, ThreadUse>> threadUse() {
    std::map<long, std::pair<std::string, ThreadUse>> use;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return use;
    const long self = getpid();
    std::string program; // the name a thread has until it is given its own
    std::ifstream("/proc/self/comm") >> program;
    while (dirent* e = readdir(dir)) {
        const long tid = std::atol(e->d_name);
        if (tid <= 0) continue;
        const std::string at = std::string("/proc/self/task/") + e->d_name;
        std::string name;
        std::ifstream(at + "/comm") >> name;
        if (tid == self) name = "main";
        else if (name == program) name = "other";
        use[tid] = {name, qxbench::readThreadUse(at)};
    }
    closedir(dir);
    return use;
}

// What each thread name took between two readings, per frame: "name:us:sleeps,...". The check's
// CPU is taken off the thread that ran it.
std::string threadsPerFrame(const std::map<long, std::pair<std::string, ThreadUse>>& before,
                            const std::map<long, std::pair<std::string, ThreadUse>>& after, long frames, long checkTid,
                            double checkCpu) {
    std::map<std::string, ThreadUse> byName;
    for (const auto& [tid, named] : after) {
        ThreadUse u = named.second;
        if (auto it = before.find(tid); it != before.end()) {
            u.cpu -= it->second.second.cpu;
            u.sleeps -= it->second.second.sleeps;
        }
        if (tid == checkTid) u.cpu -= checkCpu;
        byName[named.first].cpu += u.cpu;
        byName[named.first].sleeps += u.sleeps;
    }
    std::string out;
    char part[96];
    for (const auto& [name, u] : byName) {
        std::snprintf(part, sizeof part, "%s%s:%.1f:%.2f", out.empty() ? "" : ",", name.c_str(),
                      frames ? 1e6 * u.cpu / double(frames) : 0.0, frames ? double(u.sleeps) / double(frames) : 0.0);
        out += part;
    }
    return out.empty() ? "-" : out;
}

uint32_t ipHost(const char* text) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return 0;
    return (a << 24) | (b << 16) | (c << 8) | d;
}

// Block ids of 16 bits skip 0 when they wrap.
uint64_t idsBetween(uint64_t previous, uint64_t id) {
    if (id > previous) return id - previous - 1;
    return id + 0xFFFF - previous - 1;
}

// What the client saw of the frames of its window.
struct Tally {
    std::mutex mutex;
    bool counting = false;
    bool checkPattern = false;
    long complete = 0, failed = 0, badPixels = 0;
    double checkCpu = 0; // the pattern check is the benchmark's own work, not the client's
    long checkTid = 0;   // the thread that ran it
    uint64_t missing = 0, previous = 0;
    std::chrono::steady_clock::time_point start, first; // of the window, of its first frame

    void take(const FrameInfo& f) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!counting) return;
        if (previous) missing += idsBetween(previous, f.nFrameIndex);
        else first = std::chrono::steady_clock::now();
        previous = f.nFrameIndex;
        bool good = f.nLostPacket == 0;
        if (good && checkPattern) {
            // Every 97th byte (and the last): each packet of the frame is sampled many times.
            const double t0 = threadCpuSeconds();
            bool same = f.nDataLen == 0 || f.pData[f.nDataLen - 1] ==
                                               qx::fixture::SimGvspSender::patternByte(f.nFrameIndex, f.nDataLen - 1);
            for (size_t i = 0; same && i < f.nDataLen; i += 97)
                same = f.pData[i] == qx::fixture::SimGvspSender::patternByte(f.nFrameIndex, i);
            if (!same) {
                ++badPixels;
                good = false;
            }
            checkCpu += threadCpuSeconds() - t0;
            checkTid = static_cast<long>(syscall(SYS_gettid));
        }
        ++(good ? complete : failed);
    }
};

void onImage(const FrameInfo* f, void* user) {
    if (f) static_cast<Tally*>(user)->take(*f);
}

} // namespace

int main(int argc, char** argv) {
    std::string ip = "127.0.0.1", adapterIp = "127.0.0.1", adapter = "lo", mask = "255.0.0.0";
    double seconds = 10, fps = 0;
    long width = 0, height = 0, packetSize = 0, resend = -1, readEveryMs = 0;
    bool checkPattern = false, filterDriver = false, callback = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : "0"; };
        if (a == "--ip") ip = next();
        else if (a == "--adapter-ip") adapterIp = next();
        else if (a == "--adapter") adapter = next();
        else if (a == "--mask") mask = next();
        else if (a == "--seconds") seconds = std::atof(next());
        else if (a == "--width") width = std::atol(next());
        else if (a == "--height") height = std::atol(next());
        else if (a == "--fps") fps = std::atof(next());
        else if (a == "--packet-size") packetSize = std::atol(next());
        else if (a == "--resend") resend = std::atol(next());
        else if (a == "--read-memory-ms") readEveryMs = std::atol(next());
        else if (a == "--check-pattern") checkPattern = true;
        else if (a == "--filter-driver") filterDriver = true;
        else if (a == "--callback") callback = true;
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }

    DeviceInfo info{};
    info.nTLayerType = QX_TLAYER_GIGE;
    info.nAccessStatus = QX_ACCESS_STATUS_AVAILABLE;
    info.u.stGigeInfo.nIP = ipHost(ip.c_str());
    info.u.stGigeInfo.nSubNetMask = ipHost(mask.c_str());
    info.u.stGigeInfo.nAdapterIP = ipHost(adapterIp.c_str());
    info.u.stGigeInfo.nAdapterMask = ipHost(mask.c_str());
    std::snprintf(info.u.stGigeInfo.strAdapterName, sizeof info.u.stGigeInfo.strAdapterName, "%s", adapter.c_str());
    QX_DEV_HANDLE h = nullptr;
    QX_STATUS status = QX_CreateDevice(&h, &info);
    if (status == QX_OK) status = QX_ConnectDevice(h, QX_ACCESS_EXCLUSIVE);
    if (status != QX_OK) {
        std::fprintf(stderr, "cannot connect to %s: 0x%08x\n", ip.c_str(), static_cast<unsigned>(status));
        return 1;
    }
    if (filterDriver && (status = QX_GIGE_SetFilterDriver(h, true)) != QX_OK) {
        std::fprintf(stderr, "cannot enable the filter driver: 0x%08x\n", static_cast<unsigned>(status));
        return 1;
    }
    if (width) QX_XML_SetIntValue(h, "Width", width);
    if (height) QX_XML_SetIntValue(h, "Height", height);
    if (fps > 0) QX_XML_SetFloatValue(h, "AcquisitionFrameRate", static_cast<float>(fps));
    if (packetSize) QX_XML_SetIntValue(h, "GevSCPSPacketSize", packetSize);
    if (resend >= 0) QX_GIGE_SetPacketResend(h, resend != 0, 100, 200);
    IntValueInfo payload{};
    QX_XML_GetIntValue(h, "PayloadSize", &payload);

    std::atomic<bool> stop{false};
    std::atomic<long> reads{0}, readFailed{0};
    std::thread reader;
    if (readEveryMs > 0)
        reader = std::thread([&] {
            while (!stop.load()) {
                uint8_t value[4];
                if (QX_ReadMemory(h, value, 0x0934, 4, 0) != QX_OK) ++readFailed;
                ++reads;
                std::this_thread::sleep_for(std::chrono::milliseconds(readEveryMs));
            }
        });

    auto fail = [&](const char* what) {
        std::fprintf(stderr, "cannot %s\n", what);
        stop = true;
        if (reader.joinable()) reader.join();
        QX_DisconnectDevice(h);
        QX_DeleteDevice(h);
        return 1;
    };
    Tally tally;
    tally.checkPattern = checkPattern;
    if (callback && QX_RegisterImageCallBack(h, onImage, &tally) != QX_OK) return fail("register the image callback");
    if (QX_StartGrabbing(h) != QX_OK) return fail("start grabbing");
    IntValueInfo packetInUse{};
    QX_XML_GetIntValue(h, "GevSCPSPacketSize", &packetInUse);
    // A camera that fires no test packets is given 1500 bytes at the first start, and the trial
    // runs once per connection: the asked size, written again now, holds from the next start on.
    bool restarted = false;
    if (packetSize && packetInUse.nValue != packetSize) {
        QX_StopGrabbing(h);
        QX_XML_SetIntValue(h, "GevSCPSPacketSize", packetSize);
        if (QX_StartGrabbing(h) != QX_OK) return fail("start grabbing again at the asked packet size");
        restarted = true;
        QX_XML_GetIntValue(h, "GevSCPSPacketSize", &packetInUse);
    }
    {
        std::lock_guard<std::mutex> lock(tally.mutex);
        tally.counting = true;
        tally.start = std::chrono::steady_clock::now();
    }
    const auto threads0 = threadUse();
    const double cpu0 = cpuSeconds();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
    // With the callback the frames come on the SDK's thread: this one sleeps to the end (woken
    // every 20 ms, it spent about as much CPU as the image thread does at 25 frames/s).
    if (callback) std::this_thread::sleep_until(end);
    while (!callback && std::chrono::steady_clock::now() < end) {
        FrameInfo f{};
        if (QX_GetFrame(h, &f, 200) != QX_OK) continue;
        tally.take(f);
        QX_FreeFrame(h, &f);
    }
    std::unique_lock<std::mutex> counted(tally.mutex);
    tally.counting = false;
    const long complete = tally.complete, failed = tally.failed, badPixels = tally.badPixels;
    const uint64_t missing = tally.missing;
    const double checkCpu = tally.checkCpu;
    const long checkTid = tally.checkTid;
    const long firstFrameMs =
        tally.previous ? long(std::chrono::duration_cast<std::chrono::milliseconds>(tally.first - tally.start).count())
                       : -1;
    counted.unlock();
    const double cpu = cpuSeconds() - cpu0 - checkCpu;
    const std::string threads = threadsPerFrame(threads0, threadUse(), complete + failed, checkTid, checkCpu);
    stop = true;
    if (reader.joinable()) reader.join();
    QX_StopGrabbing(h);
    QX_DisconnectDevice(h);
    QX_DeleteDevice(h);
    std::printf("complete=%ld failed=%ld missing_ids=%llu cpu_s=%.4f bad_pixels=%ld reads=%ld read_failed=%ld "
                "payload=%lld packet_size=%lld restarted=%d first_frame_ms=%ld threads=%s\n",
                complete, failed, static_cast<unsigned long long>(missing), cpu, badPixels, reads.load(),
                readFailed.load(), static_cast<long long>(payload.nValue), static_cast<long long>(packetInUse.nValue),
                restarted ? 1 : 0, firstFrameMs, threads.c_str());
    return 0;
}
