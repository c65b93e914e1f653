// The process-wide USB manager: knows which USB3 cameras are attached and which are open.
// It lists the cameras, keeps the list current from hot-plug notifications received on a
// watcher thread of its own, opens and closes per-device contexts (QxUsbDevice), tells the
// owner of an open device once when that device disappears, and offers every per-device
// operation as a call on a device handle.
//
// Calls never throw: they answer a bool, a handle, a count or kUsbInvalidHandle / -1.
//
// Lock order of the USB3 transport (a thread takes these only in this order, never backwards):
//   1. the application's handle lock (DeviceManager), held through a whole exported call;
//   2. g_connectedGuidSetMutex (QxUsb3UserProtocol.h): connect, disconnect, and the whole of
//      the USB3 enumeration, which calls into the manager while holding it;
//   3. the busy gate's mutex, held only to test and set the busy value, never while waiting
//      for anything else;
//   4. the manager lock (shared to look a device up, exclusive for open, close and
//      re-enumeration; never held while a call waits for an image, a reply or data);
//   5. the offline-callback mutex of the manager, then the locks inside one QxUsbDevice
//      (life, send, register, reply, channel, stream, frame) and the backend's own locks.
// One wait crosses threads: unregistering an offline callback waits for that callback running
// on another thread, but only until it calls OfflineContextReleased, which QxUsb3Device does
// before the application's callback runs; so an application callback may block on a handle
// lock without deadlocking a disconnect that holds it.
// The offline callback runs on the watcher thread after the device change has been handled
// (or on the manager's notice thread when a device's stream failed for good), with none of
// these locks held: it may call the manager, including CloseDevice of its own handle, and the
// application behind it may call any exported function.
#pragma once
#include "usb3/QxUsbDevice.h"
#include "Usb/UsbBackend.h"
#include "usb3/UsbDriverDevice.h"
#include "usb3/UsbFrameAssembler.h"
#include "Sys/BusyGate.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace qx::usb3 {

// A device handle: an opaque value made by OpenDevice and never made again in this process,
// so a handle kept after its CloseDevice never reaches another device.
using UsbDevHandle = std::intptr_t;
constexpr UsbDevHandle kUsbInvalidHandle = -1;

// GetDevicePath's answer for an index past the end: the pointer value -1.
const char* usbNoPath();

// Record filled by QueryDevicePath: the path goes into the second pointer field.
struct UsbPathRecord {
    void* reserved = nullptr;
    const char* path = nullptr;
};

class QxUsbManager {
public:
    // Builds a manager over `backend`: lists the cameras once and starts the watcher thread.
    explicit QxUsbManager(std::shared_ptr<usb::UsbBackend> backend,
                          std::chrono::milliseconds pollInterval = std::chrono::milliseconds(1000));
    // Stops the watcher and closes every device still open.
    ~QxUsbManager();
    QxUsbManager(const QxUsbManager&) = delete;
    QxUsbManager& operator=(const QxUsbManager&) = delete;

    // ---- enumeration ----
    int GetDeviceCount();
    // The index-th path, or usbNoPath(). The text stays valid for the manager's life.
    const char* GetDevicePath(int index);
    std::vector<std::string> devicePaths();

    // ---- open and close ----
    UsbDevHandle OpenDevice(const char* path);
    bool CloseDevice(UsbDevHandle handle);
    // Callback null unregisters. After it returns, a callback given before is not called again
    // and no longer runs on another thread (it waits for one that runs, up to the point where
    // that callback calls OfflineContextReleased). Called from inside the callback of the same
    // handle it does not wait.
    void RegisterOfflineCallback(UsbDevHandle handle, UsbOfflineCallback callback, void* context);
    // Called from inside an offline callback once it no longer touches its context: from then
    // on an unregistration on another thread may return. Does nothing on any other thread.
    static void OfflineContextReleased();

    // ---- per-device calls ----
    bool CameraGetImage(UsbDevHandle handle, FrameCacheSlot*& slot, int timeoutMs);
    // Gives the slot of the last CameraGetImage back before the next one would.
    bool CameraReleaseImage(UsbDevHandle handle);
    // Ends a CameraGetImage that waits now and fails the later ones until the next StartAcq:
    // a stop does not wait out the image time-out.
    bool CancelImageWait(UsbDevHandle handle);
    bool ReadData(UsbDevHandle handle, uint8_t* buffer, int& count, int timeoutMs);
    bool WriteData(UsbDevHandle handle, const uint8_t* bytes, int count, int timeoutMs);
    // Discards the byte-channel bytes received and not read yet.
    bool DrainData(UsbDevHandle handle);
    bool ReadDeviceReg(UsbDevHandle handle, uint32_t address, uint8_t* buffer, int count, int timeoutMs);
    bool WriteDeviceReg(UsbDevHandle handle, uint32_t address, uint8_t* buffer, int count, int timeoutMs);
    void SetTransferParams(UsbDevHandle handle, int cacheSlots, int transferUnits);
    void SetPixelBytes(UsbDevHandle handle, int bytesPerPixel);
    void SetImageInfo(UsbDevHandle handle, int width, int height, int bitsPerPixel);
    bool StartAcq(UsbDevHandle handle);
    bool StopAcq(UsbDevHandle handle);

    // ---- observation ----
    bool isRemoved(UsbDevHandle handle);
    bool streamStats(UsbDevHandle handle, UsbStreamStats& out);
    // Reads a device's stream settings: width, height, bits, slots, units, bytes per pixel.
    bool streamSettings(UsbDevHandle handle, int out[6]);
    // Hot-plug notifications handled so far (device changes of the camera's ids).
    uint64_t deviceChanges() const { return m_changes.load(); }

private:
    struct Entry {
        UsbDevHandle handle;
        // Shared with the calls that run on the device right now: they wait (for an image, a
        // reply, data) without the manager lock, and a closed device lives until they return.
        std::shared_ptr<QxUsbDevice> device;
    };

    void UsbEnumerateDevices(std::deque<std::string>& list);
    void UsbDeviceChange(usb::UsbHotplugEvent event, const usb::UsbDeviceEntry& entry);
    // Calls the offline callback of each handle, with no lock of the manager held.
    void reportRemoved(const std::vector<UsbDevHandle>& handles);
    void offlineCallbackEnded(UsbDevHandle handle);
    // A device whose stream failed for good is reported like a removed one, from the notice
    // thread (never from the failing stream's own thread, which the owner's stop joins).
    void postLost(UsbDevHandle handle);
    void noticeLoop();
    bool passGate(int timeoutMs);
    const char* intern(const std::string& path);
    // The device of a handle in the open-device map.
    QxUsbDevice* lookup(UsbDevHandle handle) QX_REQUIRES_SHARED(m_lock);
    // The device of a handle, for a call that may wait: taken under the shared lock, used after
    // it is released, so no wait ever holds the manager lock.
    std::shared_ptr<QxUsbDevice> acquire(UsbDevHandle handle);

    std::shared_ptr<usb::UsbBackend> m_backend;
    std::unique_ptr<UsbDriverDevice> m_driver;

    // UsbBusyGate: closed while a device change is handled.
    sys::BusyGate m_gate QX_ACQUIRED_BEFORE(m_lock);

    sys::SharedMutex m_lock QX_ACQUIRED_BEFORE(m_offlineMutex);
    std::deque<std::string> m_devices QX_GUARDED_BY(m_lock);
    std::map<std::string, UsbDevHandle> m_openByPath QX_GUARDED_BY(m_lock);
    std::unordered_map<UsbDevHandle, Entry> m_open QX_GUARDED_BY(m_lock);
    std::set<std::string> m_opening QX_GUARDED_BY(m_lock); // paths being opened right now
    UsbDevHandle m_nextHandle QX_GUARDED_BY(m_lock) = 0x1000;

    sys::Mutex m_internMutex;
    std::set<std::string> m_interned QX_GUARDED_BY(m_internMutex);

    // Offline registrations, and the handles whose callback runs right now (with the thread
    // that runs it), guarded by m_offlineMutex.
    struct OfflineRegistration {
        UsbOfflineCallback callback = nullptr;
        void* context = nullptr;
    };
    sys::Mutex m_offlineMutex;
    std::condition_variable m_offlineCv;
    std::map<UsbDevHandle, OfflineRegistration> m_offline QX_GUARDED_BY(m_offlineMutex);
    std::map<UsbDevHandle, std::thread::id> m_offlineRunning QX_GUARDED_BY(m_offlineMutex);

    sys::Mutex m_noticeMutex;
    std::condition_variable m_noticeCv;
    std::deque<UsbDevHandle> m_notices QX_GUARDED_BY(m_noticeMutex);
    bool m_noticeStop QX_GUARDED_BY(m_noticeMutex) = false;
    sys::JoiningThread m_noticeThread;

    std::atomic<uint64_t> m_changes{0};
    std::unique_ptr<usb::UsbWatch> m_watch;
};

// The process's manager over the system USB backend, made on the first call (also when first
// calls come from several threads at once) and kept until the process ends.
QxUsbManager* QX_U3V_GetManager();
// Test seam: the backend the process's manager is built over instead of the system one.
// Takes effect only before the first QX_U3V_GetManager call; false once the manager exists.
bool QX_U3V_SetManagerBackend(std::shared_ptr<usb::UsbBackend> backend);
// Stores the index-th path into the record and answers 0; 0x8FFF when no manager exists yet
// or the record is null.
uint32_t QueryDevicePath(int index, UsbPathRecord* record);

} // namespace qx::usb3
