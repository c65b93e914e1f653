// DeviceManager: the one process-wide object of the library. It owns the handle registry,
// the device list kept from enumeration and the interrupt flag of enumeration. Every export
// reaches it through getDeviceManager() and a handle's objects through lookupHandle(),
// which also serialises the calls on one handle with that handle's HandleLock.
#pragma once
#include "QxCamApi.h"

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include "Sys/Mutex.h"

#include <mutex>
#include <vector>

namespace qx::core::api {

class DeviceProxy;

constexpr uint32_t kSdkVersion = 0x02010000;

// One registered handle. The entry is shared by the registry and by every call that found
// it, so a call waiting for the HandleLock never holds the registry's map mutex and never
// touches freed memory: when it gets the lock after a deletion it sees `deleted`.
struct HandleEntry {
    sys::Mutex handleLock;
    DeviceInfo info{};
    bool deleted QX_GUARDED_BY(handleLock) = false;
    std::unique_ptr<DeviceProxy> proxy;
};

// Owns the locked HandleLock of one call from its lookup until the export releases it.
class HandleLockHolder {
public:
    HandleLockHolder() = default;
    ~HandleLockHolder() { unlock(); }
    HandleLockHolder(const HandleLockHolder&) = delete;
    HandleLockHolder& operator=(const HandleLockHolder&) = delete;

    // Takes over the HandleLock of `locked` (the entry `entry` owns), which the caller holds.
    // The lock lives on in the holder, past the scope the checker follows.
    void hold(std::shared_ptr<HandleEntry> entry, HandleEntry& locked)
        QX_RELEASE(locked.handleLock) QX_NO_THREAD_SAFETY_ANALYSIS {
        unlock();
        m_entry = std::move(entry);
        m_lock = std::unique_lock<std::mutex>(locked.handleLock.native(), std::adopt_lock);
    }
    void unlock() {
        if (m_lock.owns_lock()) m_lock.unlock();
        m_lock = std::unique_lock<std::mutex>();
        m_entry.reset();
    }
    bool holds() const { return m_lock.owns_lock(); }
    HandleEntry* entry() const { return m_entry.get(); }

private:
    std::shared_ptr<HandleEntry> m_entry;
    std::unique_lock<std::mutex> m_lock;
};

class DeviceManager {
public:
    DeviceManager();
    ~DeviceManager();
    DeviceManager(const DeviceManager&) = delete;
    DeviceManager& operator=(const DeviceManager&) = delete;

    QX_STATUS createDevice(QX_DEV_HANDLE* out, const DeviceInfo* info);
    // The handle's proxy with its HandleLock held by `holder`, or null when not registered.
    DeviceProxy* lookupHandle(QX_DEV_HANDLE handle, HandleLockHolder& holder);
    // Deletes a disconnected handle once the call running on it has returned; a camera that
    // is connected by then is refused with QX_ERR_WRONG_STATE and the handle stays.
    QX_STATUS deleteDevice(QX_DEV_HANDLE handle);
    QX_STATUS getDeviceInfo(QX_DEV_HANDLE handle, DeviceInfo* out);
    uint32_t getSdkVersion() const { return kSdkVersion; }

    void enumDevices(DeviceList* out, uint8_t tryTimes, uint16_t timeout);
    void interruptEnumerating() { m_interrupt.store(true); }
    static bool isSameDevice(const std::vector<const DeviceInfo*>& list, const DeviceInfo& record, size_t* index);

    size_t handleCount();
    size_t keptDeviceCount();

private:
    // Lock order: m_enumMutex, then a HandleLock, then m_mapMutex.
    sys::Mutex m_enumMutex QX_ACQUIRED_BEFORE(m_mapMutex);
    sys::Mutex m_mapMutex;
    // Kept device list: the first m_keptCount records of the storage. Storage only grows, so
    // a pointer handed out by an earlier enumeration always addresses a live record.
    std::deque<DeviceInfo> m_keptStorage QX_GUARDED_BY(m_enumMutex);
    size_t m_keptCount QX_GUARDED_BY(m_enumMutex) = 0;
    std::map<void*, std::shared_ptr<HandleEntry>> m_handles QX_GUARDED_BY(m_mapMutex);
    std::atomic<bool> m_interrupt{false};
};

DeviceManager* getDeviceManager();

// Set once the library is unloading; enumeration then leaves the kept list alone.
bool isProcessExiting();
void markProcessExiting();

} // namespace qx::core::api
