// The packet filter driver as the library sees it: a device opened by its path, control calls
// with a code, an input and an output buffer, and reads of image data. Calls may end at once or
// stay pending and end later on another thread, like overlapped I/O. The library side keeps one
// GevFilterDriver per camera that uses the driver: its handle, the adapter it enabled and a pool
// of events for the calls in flight. Errors of the driver are Linux errno values; they are
// turned into the OS error numbers the status tables are written for (gevFilterOsError), then
// into library statuses. Internal to the library.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "gige/GevStream.h"
#include "Sys/Event.h"

namespace qx::gige {

// Device path of the driver.
constexpr const char* kFilterDriverPath = "\\\\.\\v2eDODOderur";

// Control codes.
namespace fdc {
constexpr uint32_t kAdapter = 0x12C808;      // 520 bytes: UTF-16 device name, its length, the action
constexpr uint32_t kStartStream = 0x12C814;  // GevFilterStartRecord
constexpr uint32_t kStopStream = 0x12C818;   // GevFilterStartRecord with only the slot
constexpr uint32_t kResend = 0x12C81C;       // slot, resend flag
constexpr uint32_t kImageHeader = 0x12C828;  // 80 bytes: slot in byte 0; GevImageHeader in 8..79
constexpr uint32_t kStatistics = 0x12C82C;   // 40 bytes: slot in byte 0; counters out
constexpr uint32_t kBufferCount = 0x12C830;  // slot, 0, uint16 ring image count
constexpr uint32_t kReorder = 0x12C834;      // slot, reorder tolerance
constexpr uint32_t kSetCamera = 0x12C84C;    // uint32 slot, uint32 log camera number
constexpr uint32_t kAllocateSlot = 0x12C850; // out: 1 byte, the slot
} // namespace fdc

// Adapter request (kAdapter).
constexpr uint32_t kAdapterRequestSize = 520;
constexpr uint32_t kAdapterNameBytes = 512;
enum : uint32_t { kAdapterDisable = 0, kAdapterEnable = 1, kAdapterQuery = 2 };
constexpr uint8_t kAdapterReady = 4;

// Stream start record (kStartStream, kStopStream); IP addresses in network byte order.
#pragma pack(push, 1)
struct GevFilterStartRecord {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t cameraIp = 0;
    uint16_t hostStreamPort = 0;
    uint16_t hostControlPort = 0;
    uint32_t pixelFormat = 0;
    uint32_t destinationIp = 0; // the multicast group, or the adapter IP
    uint32_t payloadSize = 0;
    uint16_t packetPayload = 0; // payload bytes per data packet
    uint8_t resend = 0;
    uint8_t pad1 = 0;
    uint32_t sc_packet_resend = 0;
    uint8_t slot = 0;
    uint8_t pad2[3] = {};
    uint32_t grabStopTimeoutMs = 0;
    uint8_t extraPacket = 0;
    // The camera's stream channel source port (0: not known, any port), in what was padding:
    // the driver takes only the camera's datagrams from that port.
    uint16_t sourcePort = 0;
    uint8_t pad3 = 0;
};
#pragma pack(pop)
static_assert(sizeof(GevFilterStartRecord) == 48, "stream start record is 48 bytes");

// Statistics answer (kStatistics), 40 bytes; bytes 36..39 carry the packets asked again.
struct GevFilterStatistics {
    uint32_t deliveredFrames = 0;
    uint32_t missingFrames = 0;
    uint32_t lostPackets = 0;
    uint32_t windowFrames = 0;
    uint64_t windowMs = 0;
    uint32_t deviceDiscarded = 0;
    uint32_t resendRequested = 0;
};
constexpr uint32_t kStatisticsSize = 40;
void gevEncodeFilterStatistics(const GevFilterStatistics& s, uint8_t out[kStatisticsSize]);
GevFilterStatistics gevDecodeFilterStatistics(const uint8_t in[kStatisticsSize]);
constexpr uint32_t kImageHeaderRequestSize = 80;

// The end of a driver call that stayed pending: the driver stores the errno and the byte count,
// then sets the event. It must not touch the record after setting the event.
struct GevDriverCompletion {
    qx::sys::Event* event = nullptr;
    std::atomic<int> error{0};
    std::atomic<uint32_t> bytes{0};
    void complete(int err, uint32_t count) {
        error = err;
        bytes = count;
        event->set();
    }
};

// One open handle of a driver. control and read end at once, giving 0 or an errno and the
// byte count in *bytes, or give EINPROGRESS and end later through `pending`.
class GevDriverHandle {
public:
    virtual ~GevDriverHandle() = default;
    virtual int control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                        uint32_t* bytes, GevDriverCompletion* pending) = 0;
    virtual int read(void* buffer, uint32_t length, uint32_t* bytes, GevDriverCompletion* pending) = 0;
};

// Opens the driver behind a device path: a handle, or null with *error set (errno).
using GevDriverOpener = std::unique_ptr<GevDriverHandle> (*)(const char* path, int* error);
// The driver of this build, installed by the floor that links it (the packet-capture driver in
// gige/filter, installed by the GigE camera class); until then no driver is found (ENOENT).
void gevInstallFilterDriver(GevDriverOpener opener);
// The driver in force in its place (tests); null restores the installed one.
void gevSetFilterDriverOpener(GevDriverOpener opener);

// The OS error number of a Linux errno (0 stays 0).
uint32_t gevFilterOsError(int err);
// Status of a control call / of a read for an OS error (logs unexpected errors).
GevStatus gevFilterIoctlStatus(uint32_t code, uint32_t osError, int logCam);
GevStatus gevFilterReadStatus(uint32_t osError, int logCam);

struct GevFilterDriver;

// Opens the driver for camera `cam`: allocates a slot (given out), tells it the log camera
// number and enables the camera's adapter. Null (the invalid marker) on failure, nothing open.
GevFilterDriver* OpenFilterDriver(uint8_t* slot, uint8_t cam);
// Disables the recorded adapter, closes the events and the handle, frees the object.
void CloseFilterDriver(GevFilterDriver* driver);

GevStatus FilterIoctl(GevFilterDriver* driver, uint32_t code, const void* in, uint32_t inLength, void* out,
                      uint32_t outLength, uint32_t* bytesReturned);
GevStatus FilterIoctl(GevFilterDriver* driver, uint32_t code, const void* in, uint32_t inLength);
GevStatus FilterIoctl(GevFilterDriver* driver, uint32_t code, void* inOut, uint32_t length, uint32_t* bytesReturned);
GevStatus FilterRead(GevFilterDriver* driver, void* buffer, uint32_t length, uint32_t* bytesRead);
// Events the pool holds now (tests).
uint32_t gevFilterPoolSize(GevFilterDriver* driver);

// Hooks of GEVInitFilterDriver / GEVCloseFilterDriver: the camera's object as a handle value
// (-1 none), and its release.
int64_t gevFilterDriverOpen(uint8_t cam, uint8_t* slot);
bool gevFilterDriverRelease(uint8_t cam);
// The camera's object, or null.
GevFilterDriver* gevFilterDriverOf(uint8_t cam);

// Stream side (the camera's acquisition lock held). Start: reorder tolerance and buffer count
// of the stream table entry, then the start record with the camera's addresses, ports, slot,
// resend settings and grab stop timeout (multicastGroup 0: the adapter IP is the destination).
// Stop: the stream, then its statistics (zero when they cannot be read).
GevStatus gevFilterStreamStart(uint8_t cam, uint32_t payloadSize, uint32_t width, uint32_t height, uint32_t pixelFormat,
                               uint16_t packetPayload, bool extraPacket, uint32_t multicastGroup);
GevStatus gevFilterStreamStop(uint8_t cam, GevFilterStatistics* stats);
GevStatus gevFilterReadStatistics(uint8_t cam, GevFilterStatistics* stats, uint32_t* bytes);
GevStatus gevFilterSetResend(uint8_t cam, uint8_t enabled);
// Frames per second from the driver's statistics (0 with no frames).
double gevFilterFrameRate(const GevFilterStatistics& s);

// GEVGetImage with the driver active (the ring lock held): reads payloadSize bytes into
// `buffer`, fetches the image's header into *header.
GevStatus PullImageFromFilter(uint8_t cam, GevImageHeader* header, void* buffer, uint32_t payloadSize, uint32_t* size);

} // namespace qx::gige
