// Library side of the packet filter driver: the driver object with its event pool, control
// calls and reads that may stay pending, the error tables, the adapter enable, the stream
// start/stop/statistics requests and pulling an image.
#include "gige/GevFilterDriver.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "gige/GevRecord.h"
#include "gige/GevStreamChannel.h"
#include "Sys/ByteOrder.h"

namespace qx::gige {

namespace {

// OS error numbers the status tables are written for.
enum : uint32_t {
    kOsFileNotFound = 2,
    kOsAccessDenied = 5,
    kOsInvalidHandle = 6,
    kOsNotEnoughMemory = 8,
    kOsCrc = 23,
    kOsGeneralFailure = 31,
    kOsNotSupported = 50,
    kOsInvalidParameter = 87,
    kOsSemaphoreTimeout = 121,
    kOsBusy = 170,
    kOsOperationAborted = 995,
    kOsTimeout = 1460,
    kOsCustomerBit = 0x20000000, // errno values without an OS number keep their value under this bit
};

struct ErrnoToOs {
    int err;
    uint32_t os;
};
constexpr ErrnoToOs kErrnoTable[] = {
    {0, 0},
    {EBADF, kOsInvalidHandle},
    {ENOMEM, kOsNotEnoughMemory},
    {ENOBUFS, kOsNotEnoughMemory},
    {EOPNOTSUPP, kOsNotSupported},
    {ENOTTY, kOsNotSupported},
    {EINVAL, kOsInvalidParameter},
    {ETIME, kOsSemaphoreTimeout},
    {ETIMEDOUT, kOsTimeout},
    {EBUSY, kOsBusy},
    {EBADMSG, kOsCrc},
    {EPERM, kOsAccessDenied},
    {EACCES, kOsAccessDenied},
    {ENOENT, kOsFileNotFound},
    {ENODEV, kOsFileNotFound},
    {ECANCELED, kOsOperationAborted},
    {EIO, kOsGeneralFailure},
};

// Opener of a build without a driver: no device behind any path.
std::unique_ptr<GevDriverHandle> openNoDriver(const char*, int* error) {
    if (error) *error = ENOENT;
    return nullptr;
}

qx::sys::Mutex g_openerMutex;
GevDriverOpener g_installed QX_GUARDED_BY(g_openerMutex) = nullptr;
GevDriverOpener g_opener QX_GUARDED_BY(g_openerMutex) = nullptr;

GevDriverOpener opener() {
    qx::sys::MutexLock lock(g_openerMutex);
    if (g_opener) return g_opener;
    return g_installed ? g_installed : &openNoDriver;
}

// The camera's driver objects, by camera number.
qx::sys::Mutex g_driversMutex;
GevFilterDriver* g_drivers[GEV_MAX_CAMERAS + 1] QX_GUARDED_BY(g_driversMutex) = {};

} // namespace

// One entry of the event pool.
struct GevPoolEntry {
    GevPoolEntry* next = nullptr;
    qx::sys::Event event{true, false};
};

struct GevFilterDriver {
    std::unique_ptr<GevDriverHandle> handle;
    uint8_t adapterCamera = 0; // camera number of the adapter enabled in the driver; 0 = none
    uint8_t camera = 0;
    uint8_t slot = 0;
    int logCam = 0;
    // The event pool: its lock guards only the list.
    qx::sys::Mutex poolLock;
    GevPoolEntry* head QX_GUARDED_BY(poolLock) = nullptr;
    GevPoolEntry* tail QX_GUARDED_BY(poolLock) = nullptr;
    uint32_t poolSize QX_GUARDED_BY(poolLock) = 0;

    ~GevFilterDriver() {
        for (GevPoolEntry* e = head; e;) {
            GevPoolEntry* n = e->next;
            delete e;
            e = n;
        }
    }
    // Appends one new event; false when none can be made.
    bool addEvent() {
        GevPoolEntry* e = nullptr;
        try {
            e = new GevPoolEntry;
        } catch (const std::bad_alloc&) {
            QX_GEV_LOG(static_cast<uint8_t>(logCam), GEV_LOG_ERROR, "[E] No memory for events pool\n");
            return false;
        } catch (const std::system_error&) {
            QX_GEV_LOG(static_cast<uint8_t>(logCam), GEV_LOG_ERROR, "[E] No events for the pool\n");
            return false;
        }
        giveEvent(e);
        return true;
    }
    GevPoolEntry* takeEvent() {
        {
            qx::sys::MutexLock lock(poolLock);
            if (GevPoolEntry* e = head) {
                head = e->next;
                if (!head) tail = nullptr;
                e->next = nullptr;
                --poolSize;
                return e;
            }
        }
        QX_GEV_LOG(static_cast<uint8_t>(logCam), GEV_LOG_INFO, "[N] Allocating extra event for the pool\n");
        if (!addEvent()) return nullptr;
        return takeEvent();
    }
    void giveEvent(GevPoolEntry* e) {
        qx::sys::MutexLock lock(poolLock);
        e->next = nullptr;
        if (tail) tail->next = e;
        else head = e;
        tail = e;
        ++poolSize;
    }
};

uint32_t gevFilterOsError(int err) {
    for (const ErrnoToOs& e : kErrnoTable)
        if (e.err == err) return e.os;
    return kOsCustomerBit | static_cast<uint32_t>(err);
}

GevStatus gevFilterIoctlStatus(uint32_t code, uint32_t osError, int logCam) {
    switch (osError) {
    case 0: return GEV_STATUS_SUCCESS;
    case kOsInvalidHandle: return GEV_STATUS_ERROR_INVALID_HANDLE;
    case kOsNotEnoughMemory: return GEV_STATUS_CANNOT_ALLOC_MEMORY;
    case kOsNotSupported: return GEV_STATUS_NOT_SUPPORTED;
    case kOsInvalidParameter: return GEV_STATUS_INVALID_PARAMETER;
    case kOsSemaphoreTimeout:
    case kOsTimeout: return GEV_STATUS_TIMEOUT;
    case kOsBusy: return GEV_STATUS_BUSY;
    default:
        QX_GEV_LOG(static_cast<uint8_t>(logCam), GEV_LOG_ERROR,
                   "[E] GEV IOCTL 0x{:x} returned unexpected OS error 0x{:x}\n", code, osError);
        return GEV_STATUS_DRIVER_ERROR;
    }
}

GevStatus gevFilterReadStatus(uint32_t osError, int logCam) {
    switch (osError) {
    case 0: return GEV_STATUS_SUCCESS;
    case kOsCrc: return GEV_STATUS_GRAB_ERROR;
    case kOsInvalidParameter: return GEV_STATUS_DIFFERENT_IMAGE_HEADER;
    case kOsSemaphoreTimeout: return GEV_STATUS_TIMEOUT;
    default:
        QX_GEV_LOG(static_cast<uint8_t>(logCam), GEV_LOG_ERROR, "[E] System error 0x{:x} reading filter driver\n",
                   osError);
        return GEV_STATUS_DRIVER_ERROR;
    }
}

void gevInstallFilterDriver(GevDriverOpener o) {
    qx::sys::MutexLock lock(g_openerMutex);
    g_installed = o;
}

void gevSetFilterDriverOpener(GevDriverOpener o) {
    qx::sys::MutexLock lock(g_openerMutex);
    g_opener = o;
}

namespace {

// Runs one driver call with an event of the pool; waits when it stays pending. Gives the OS
// error, or -1 when no event could be had (the call is not made).
template <typename Call>
int64_t runCall(GevFilterDriver* d, uint32_t* bytes, Call call) {
    GevPoolEntry* e = d->takeEvent();
    if (!e) return -1;
    e->event.reset();
    GevDriverCompletion done;
    done.event = &e->event;
    uint32_t count = 0;
    int err = call(&count, &done);
    if (err == EINPROGRESS) {
        QX_GEV_LOG(static_cast<uint8_t>(d->logCam), GEV_LOG_VERBOSE, "[V] Compensating pending I/O request ...\n");
        e->event.wait();
        err = done.error.load();
        count = done.bytes.load();
    }
    d->giveEvent(e);
    if (bytes) *bytes = count;
    return gevFilterOsError(err);
}

} // namespace

GevStatus FilterIoctl(GevFilterDriver* d, uint32_t code, const void* in, uint32_t inLength, void* out,
                      uint32_t outLength, uint32_t* bytesReturned) {
    if (bytesReturned) *bytesReturned = 0;
    if (!d || !d->handle) return GEV_STATUS_ERROR_INVALID_HANDLE;
    const int64_t os = runCall(d, bytesReturned, [&](uint32_t* count, GevDriverCompletion* done) {
        return d->handle->control(code, in, inLength, out, outLength, count, done);
    });
    if (os < 0) return GEV_STATUS_CANNOT_ALLOC_MEMORY;
    return gevFilterIoctlStatus(code, static_cast<uint32_t>(os), d->logCam);
}

GevStatus FilterIoctl(GevFilterDriver* d, uint32_t code, const void* in, uint32_t inLength) {
    return FilterIoctl(d, code, in, inLength, nullptr, 0, nullptr);
}

GevStatus FilterIoctl(GevFilterDriver* d, uint32_t code, void* inOut, uint32_t length, uint32_t* bytesReturned) {
    return FilterIoctl(d, code, inOut, length, inOut, length, bytesReturned);
}

GevStatus FilterRead(GevFilterDriver* d, void* buffer, uint32_t length, uint32_t* bytesRead) {
    if (bytesRead) *bytesRead = 0;
    if (!d || !d->handle) return GEV_STATUS_ERROR_INVALID_HANDLE;
    const int64_t os = runCall(d, bytesRead, [&](uint32_t* count, GevDriverCompletion* done) {
        return d->handle->read(buffer, length, count, done);
    });
    if (os < 0) return GEV_STATUS_CANNOT_ALLOC_MEMORY;
    return gevFilterReadStatus(static_cast<uint32_t>(os), d->logCam);
}

uint32_t gevFilterPoolSize(GevFilterDriver* d) {
    qx::sys::MutexLock lock(d->poolLock);
    return d->poolSize;
}

namespace {

// The adapter request: "\DEVICE\<name>" as UTF-16 without terminator, its length in bytes, the
// action.
void adapterRequest(const char* name, uint32_t action, uint8_t req[kAdapterRequestSize]) {
    std::memset(req, 0, kAdapterRequestSize);
    std::string text = std::string("\\DEVICE\\") + name;
    uint32_t length = 0;
    for (char c : text) {
        if (length + 2 > kAdapterNameBytes) break;
        qx::sys::storeLe16(req + length, static_cast<uint8_t>(c));
        length += 2;
    }
    qx::sys::storeLe32(req + 512, length);
    qx::sys::storeLe32(req + 516, action);
}

bool enableAdapter(GevFilterDriver* d, const char* name) {
    uint8_t req[kAdapterRequestSize];
    adapterRequest(name, kAdapterEnable, req);
    uint32_t result = 0, bytes = 0;
    GevStatus st = FilterIoctl(d, fdc::kAdapter, req, sizeof req, &result, sizeof result, &bytes);
    if (st != GEV_STATUS_SUCCESS) {
        QX_GEV_LOG(static_cast<uint8_t>(d->logCam), GEV_LOG_ERROR, "[E] Enable Adapter IOCTL failed with code {:x}\n",
                   st);
        return false;
    }
    if (result != 0) {
        errno = static_cast<int>(result);
        return false;
    }
    adapterRequest(name, kAdapterQuery, req);
    uint8_t state = 0;
    for (int i = 0; i < 100; ++i) {
        state = 0;
        if (FilterIoctl(d, fdc::kAdapter, req, sizeof req, &state, 1, &bytes) != GEV_STATUS_SUCCESS) {
            QX_GEV_LOG(static_cast<uint8_t>(d->logCam), GEV_LOG_WARNING, "[W] checking driver state failed\n");
            return false;
        }
        if (state == kAdapterReady) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return state != 0;
}

} // namespace

GevFilterDriver* OpenFilterDriver(uint8_t* slot, uint8_t cam) {
    GevCameraRecord& rec = gevRecord(cam);
    int err = 0;
    std::unique_ptr<GevDriverHandle> handle = opener()(kFilterDriverPath, &err);
    if (!handle) return nullptr;
    GevFilterDriver* d = nullptr;
    try {
        d = new GevFilterDriver;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    d->handle = std::move(handle);
    d->camera = cam;
    d->logCam = rec.logCameraNumber;
    for (int i = 0; i < 3; ++i)
        if (!d->addEvent()) {
            CloseFilterDriver(d);
            return nullptr;
        }
    uint8_t s = 0;
    uint32_t bytes = 0;
    if (FilterIoctl(d, fdc::kAllocateSlot, nullptr, 0, &s, 1, &bytes) != GEV_STATUS_SUCCESS || bytes < 1) {
        QX_GEV_REPORT("[E] Unable to allocate filter driver slot\n");
        CloseFilterDriver(d);
        return nullptr;
    }
    d->slot = s;
    uint8_t camera[8];
    qx::sys::storeLe32(camera, s);
    qx::sys::storeLe32(camera + 4, static_cast<uint32_t>(rec.logCameraNumber));
    FilterIoctl(d, fdc::kSetCamera, camera, sizeof camera);
    if (slot) *slot = s;
    if (rec.adapterName[0] == '\0') return d;
    if (!enableAdapter(d, rec.adapterName)) {
        QX_GEV_LOG(static_cast<uint8_t>(d->logCam), GEV_LOG_ERROR, "[E] Can't enable adapter in filter driver.\n");
        CloseFilterDriver(d);
        return nullptr;
    }
    d->adapterCamera = cam;
    return d;
}

void CloseFilterDriver(GevFilterDriver* d) {
    if (!d) return;
    if (d->adapterCamera != 0 && d->handle) {
        uint8_t req[kAdapterRequestSize];
        adapterRequest(gevRecord(d->adapterCamera).adapterName, kAdapterDisable, req);
        uint32_t result = 0, bytes = 0;
        FilterIoctl(d, fdc::kAdapter, req, sizeof req, &result, sizeof result, &bytes);
        d->adapterCamera = 0;
    }
    d->handle.reset();
    delete d;
}

int64_t gevFilterDriverOpen(uint8_t cam, uint8_t* slot) {
    if (!gevValidCamera(cam)) return -1;
    GevFilterDriver* d = OpenFilterDriver(slot, cam);
    if (!d) return -1;
    qx::sys::MutexLock lock(g_driversMutex);
    CloseFilterDriver(g_drivers[cam]);
    g_drivers[cam] = d;
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(d));
}

bool gevFilterDriverRelease(uint8_t cam) {
    if (!gevValidCamera(cam)) return false;
    GevFilterDriver* d = nullptr;
    {
        qx::sys::MutexLock lock(g_driversMutex);
        d = g_drivers[cam];
        g_drivers[cam] = nullptr;
    }
    if (!d) return false;
    CloseFilterDriver(d);
    return true;
}

GevFilterDriver* gevFilterDriverOf(uint8_t cam) {
    if (!gevValidCamera(cam)) return nullptr;
    qx::sys::MutexLock lock(g_driversMutex);
    return g_drivers[cam];
}

void gevEncodeFilterStatistics(const GevFilterStatistics& s, uint8_t out[kStatisticsSize]) {
    std::memset(out + 4, 0, kStatisticsSize - 4);
    qx::sys::storeLe32(out + 4, s.deliveredFrames);
    qx::sys::storeLe32(out + 8, s.missingFrames);
    qx::sys::storeLe32(out + 12, s.lostPackets);
    qx::sys::storeLe32(out + 16, s.windowFrames);
    qx::sys::storeLe64(out + 24, s.windowMs);
    qx::sys::storeLe32(out + 32, s.deviceDiscarded);
    qx::sys::storeLe32(out + 36, s.resendRequested);
}

GevFilterStatistics gevDecodeFilterStatistics(const uint8_t in[kStatisticsSize]) {
    GevFilterStatistics s;
    s.deliveredFrames = qx::sys::loadLe32(in + 4);
    s.missingFrames = qx::sys::loadLe32(in + 8);
    s.lostPackets = qx::sys::loadLe32(in + 12);
    s.windowFrames = qx::sys::loadLe32(in + 16);
    s.windowMs = qx::sys::loadLe64(in + 24);
    s.deviceDiscarded = qx::sys::loadLe32(in + 32);
    s.resendRequested = qx::sys::loadLe32(in + 36);
    return s;
}

GevStatus gevFilterStreamStart(uint8_t cam, uint32_t payloadSize, uint32_t width, uint32_t height, uint32_t pixelFormat,
                               uint16_t packetPayload, bool extraPacket, uint32_t multicastGroup) {
    GevFilterDriver* d = gevFilterDriverOf(cam);
    const GevCameraRecord& rec = gevRecord(cam);
    const GevStreamContext& ctx = gevStream(cam);
    const uint8_t lc = static_cast<uint8_t>(rec.logCameraNumber);
    const uint8_t reorder[2] = {rec.filterDriverSlot, ctx.reorderTolerance};
    if (GevStatus st = FilterIoctl(d, fdc::kReorder, reorder, sizeof reorder)) {
        QX_GEV_LOG(lc, GEV_LOG_ERROR, "[E] Can't set packets out of order in driver.\n");
        return st;
    }
    uint8_t count[4] = {rec.filterDriverSlot, 0, 0, 0};
    qx::sys::storeLe16(count + 2, ctx.ringImageCount);
    if (GevStatus st = FilterIoctl(d, fdc::kBufferCount, count, sizeof count)) {
        QX_GEV_LOG(lc, GEV_LOG_ERROR, "[E] Can't set buffer count in driver.\n");
        return st;
    }
    GevFilterStartRecord r;
    r.width = width;
    r.height = height;
    r.cameraIp = rec.cameraIp;
    r.hostStreamPort = rec.hostStreamPort;
    r.hostControlPort = rec.hostControlPort;
    r.pixelFormat = pixelFormat;
    r.destinationIp = multicastGroup ? multicastGroup : rec.adapterIp;
    r.payloadSize = payloadSize;
    r.packetPayload = packetPayload;
    r.resend = ctx.resendEnabled;
    r.sc_packet_resend = ctx.sc_packet_resend;
    r.slot = rec.filterDriverSlot;
    r.grabStopTimeoutMs = rec.grabStopTimeoutMs;
    r.extraPacket = extraPacket ? 1 : 0;
    r.sourcePort = gevStreamSourcePort(cam);
    return FilterIoctl(d, fdc::kStartStream, &r, sizeof r);
}

GevStatus gevFilterStreamStop(uint8_t cam, GevFilterStatistics* stats) {
    GevFilterStartRecord r;
    r.slot = gevRecord(cam).filterDriverSlot;
    if (GevStatus st = FilterIoctl(gevFilterDriverOf(cam), fdc::kStopStream, &r, sizeof r)) return st;
    *stats = GevFilterStatistics{};
    gevFilterReadStatistics(cam, stats, nullptr);
    return GEV_STATUS_SUCCESS;
}

GevStatus gevFilterReadStatistics(uint8_t cam, GevFilterStatistics* stats, uint32_t* bytes) {
    uint8_t buf[kStatisticsSize] = {};
    buf[0] = gevRecord(cam).filterDriverSlot;
    uint32_t n = 0;
    const GevStatus st = FilterIoctl(gevFilterDriverOf(cam), fdc::kStatistics, buf, sizeof buf, &n);
    if (bytes) *bytes = n;
    if (st != GEV_STATUS_SUCCESS) return st;
    *stats = gevDecodeFilterStatistics(buf);
    if (n < kStatisticsSize) stats->deviceDiscarded = stats->resendRequested = 0;
    return st;
}

GevStatus gevFilterSetResend(uint8_t cam, uint8_t enabled) {
    const uint8_t req[2] = {gevRecord(cam).filterDriverSlot, enabled};
    return FilterIoctl(gevFilterDriverOf(cam), fdc::kResend, req, sizeof req);
}

double gevFilterFrameRate(const GevFilterStatistics& s) {
    if (s.windowFrames == 0 || s.windowMs == 0) return 0.0;
    return 1000.0 / (static_cast<double>(s.windowMs) / s.windowFrames);
}

GevStatus PullImageFromFilter(uint8_t cam, GevImageHeader* header, void* buffer, uint32_t payloadSize, uint32_t* size) {
    GevCameraRecord& rec = gevRecord(cam);
    GevFilterDriver* d = gevFilterDriverOf(cam);
    const uint8_t lc = static_cast<uint8_t>(rec.logCameraNumber);
    QX_GEV_LOG(lc, GEV_LOG_DEBUG, "[D] Pulling image from filter. Buffer size = {}, connection status = {}\n",
               static_cast<int>(payloadSize), rec.connectionState.load());
    uint32_t bytes = 0;
    GevStatus result = FilterRead(d, buffer, payloadSize, &bytes);
    if (result == GEV_STATUS_TIMEOUT) {
        if (rec.connectionState.load() != GEV_CONNECTION_OK) result = GEV_STATUS_HEARTBEAT_READ_ERROR;
        *header = GevImageHeader{};
        return result;
    }
    uint8_t req[kImageHeaderRequestSize] = {};
    req[0] = rec.filterDriverSlot;
    if (FilterIoctl(d, fdc::kImageHeader, req, sizeof req, &bytes) != GEV_STATUS_SUCCESS)
        return GEV_STATUS_DRIVER_ERROR;
    std::memcpy(header, req + 8, sizeof *header);
    if (bytes == kImageHeaderRequestSize && (header->ResendRequested || header->ResendReceived))
        QX_GEV_LOG(lc, GEV_LOG_INFO, "[I] Packet resend [BlockID {}] -> requested: {}, received: {} packets\n",
                   static_cast<long long>(header->BlockId), header->ResendRequested, header->ResendReceived);
    if (size) *size = payloadSize;
    if (result == GEV_STATUS_SUCCESS) header->MissingPackets = 0;
    if (result != GEV_STATUS_DRIVER_ERROR && header->MissingPackets == 0) result = GEV_STATUS_SUCCESS;
    QX_GEV_LOG(lc, GEV_LOG_VERBOSE, "[V] Image pulled from filter driver\n");
    return result;
}

} // namespace qx::gige
