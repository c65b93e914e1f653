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
#include <mutex>
#include <vector>

class DeviceProxy;

namespace qx {

constexpr uint32_t kSdkVersion = 0x02010000;

// One registered handle. The entry is shared by the registry and by every call that found
// it, so a call waiting for the HandleLock never holds the registry's map mutex and never
// touches freed memory: when it gets the lock after a deletion it sees `deleted`.
struct HandleEntry {
    std::mutex handleLock;
    DeviceInfo info{};
    bool deleted = false; // guarded by handleLock
    std::unique_ptr<DeviceProxy> proxy;
};

// Owns the locked HandleLock of one call from its lookup until the export releases it.
class HandleLockHolder {
public:
    HandleLockHolder() = default;
    ~HandleLockHolder() { unlock(); }
    HandleLockHolder(const HandleLockHolder&) = delete;
    HandleLockHolder& operator=(const HandleLockHolder&) = delete;

    void hold(std::shared_ptr<HandleEntry> entry, std::unique_lock<std::mutex> lock) {
        unlock();
        m_entry = std::move(entry);
        m_lock = std::move(lock);
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
    std::mutex m_enumMutex;
    std::mutex m_mapMutex;
    // Kept device list: the first m_keptCount records of the storage. Storage only grows, so
    // a pointer handed out by an earlier enumeration always addresses a live record.
    std::deque<DeviceInfo> m_keptStorage;
    size_t m_keptCount = 0;
    std::map<void*, std::shared_ptr<HandleEntry>> m_handles;
    std::atomic<bool> m_interrupt{false};
};

DeviceManager* getDeviceManager();

// Set once the library is unloading; enumeration then leaves the kept list alone.
bool isProcessExiting();
void markProcessExiting();

} // namespace qx
