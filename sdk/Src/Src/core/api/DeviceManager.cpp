#include "core/api/DeviceManager.h"

#include "core/base/DeviceBase.h"
#include "core/api/DeviceProxy.h"
#include "core/base/LogManager.h"
#include "core/api/Transports.h"
#include "feature/HandleWait.h"
#include "Sys/Log.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

using namespace qx::feature;

using namespace qx::core::base;

namespace qx::core::api {
namespace {

std::atomic<bool> g_isProcessExiting{false};

void markProcessExitingAtExit() { markProcessExiting(); }

// Takes a HandleLock. A node-event dispatch thread that has to wait for it says so first, so
// that the call holding the lock does not wait for that thread in turn (HandleWait.h).
void lockHandle(HandleEntry& entry) QX_ACQUIRE(entry.handleLock) {
    if (!entry.handleLock.try_lock()) {
        noteHandleWait(true);
        entry.handleLock.lock();
        noteHandleWait(false);
    }
}

} // namespace

bool isProcessExiting() { return g_isProcessExiting.load(); }
void markProcessExiting() { g_isProcessExiting.store(true); }

DeviceManager* getDeviceManager() {
    // Thread-safe construction; a constructor that throws is tried again by the next call.
    static DeviceManager manager;
    return &manager;
}

DeviceManager::DeviceManager() {
    std::atexit(markProcessExitingAtExit);
    getLogManager();
    QX_LOG_CRITICAL("SdkVersion: 0x{:08x}, built on {} {}", kSdkVersion, __DATE__, __TIME__);
}

DeviceManager::~DeviceManager() {
    // Enumeration must not touch the kept list from here on.
    markProcessExiting();
    sys::MutexLock lk(m_mapMutex);
    // Handles never deleted keep their objects: their cameras are neither disconnected nor
    // stopped at unload. They stay reachable from one deliberately unreleased list.
    static auto* abandoned = new std::vector<std::shared_ptr<HandleEntry>>();
    for (auto& kv : m_handles) abandoned->push_back(kv.second);
    m_handles.clear();
}

QX_STATUS DeviceManager::createDevice(QX_DEV_HANDLE* out, const DeviceInfo* info) {
    if (info->nTLayerType != QX_TLAYER_GIGE && info->nTLayerType != QX_TLAYER_USB3) {
        QX_LOG_ERROR("func:{}, unknown pstDevInfo->nTLayerType:{}", info->nTLayerType);
        return QX_ERR_INVALID_PARAM;
    }
    sys::MutexLock enumLock(m_enumMutex);
    auto entry = std::make_shared<HandleEntry>();
    std::memcpy(&entry->info, info, sizeof(DeviceInfo));
    entry->proxy = std::make_unique<DeviceProxy>(&entry->info);
    void* handle = entry->proxy.get();
    {
        sys::MutexLock mapLock(m_mapMutex);
        m_handles[handle] = entry;
    }
    *out = handle;
    return QX_OK;
}

DeviceProxy* DeviceManager::lookupHandle(QX_DEV_HANDLE handle, HandleLockHolder& holder) {
    std::shared_ptr<HandleEntry> entry;
    {
        sys::MutexLock mapLock(m_mapMutex);
        auto it = m_handles.find(handle);
        if (it == m_handles.end()) return nullptr;
        entry = it->second;
    }
    // Waiting for a busy handle holds no registry lock, so other handles carry on.
    HandleEntry& locked = *entry;
    lockHandle(locked);
    if (locked.deleted) {
        locked.handleLock.unlock();
        return nullptr;
    }
    DeviceProxy* proxy = locked.proxy.get();
    holder.hold(std::move(entry), locked);
    return proxy;
}

QX_STATUS DeviceManager::deleteDevice(QX_DEV_HANDLE handle) {
    std::shared_ptr<HandleEntry> entry;
    {
        sys::MutexLock mapLock(m_mapMutex);
        auto it = m_handles.find(handle);
        if (it == m_handles.end()) return QX_ERR_INVALID_HANDLE;
        entry = it->second;
    }
    std::unique_ptr<DeviceProxy> proxy;
    {
        // Waits for a call still running on the handle.
        lockHandle(*entry);
        sys::MutexLock lock(entry->handleLock, std::adopt_lock);
        if (entry->deleted) return QX_ERR_INVALID_HANDLE;
        // The camera may have been connected since the caller looked.
        if (entry->proxy->getDevice()->isConnected()) return QX_ERR_WRONG_STATE;
        entry->deleted = true;
        {
            sys::MutexLock mapLock(m_mapMutex);
            m_handles.erase(handle);
        }
        proxy = std::move(entry->proxy);
    }
    // The camera's threads are stopped and joined without any lock of the registry held.
    proxy.reset();
    return QX_OK;
}

QX_STATUS DeviceManager::getDeviceInfo(QX_DEV_HANDLE handle, DeviceInfo* out) {
    sys::MutexLock mapLock(m_mapMutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) return QX_ERR_INVALID_HANDLE;
    std::memcpy(out, &it->second->info, sizeof(DeviceInfo));
    return QX_OK;
}

size_t DeviceManager::handleCount() {
    sys::MutexLock mapLock(m_mapMutex);
    return m_handles.size();
}

size_t DeviceManager::keptDeviceCount() {
    sys::MutexLock enumLock(m_enumMutex);
    return m_keptCount;
}

// ---- enumeration -------------------------------------------------------------------------

bool DeviceManager::isSameDevice(const std::vector<const DeviceInfo*>& list, const DeviceInfo& record, size_t* index) {
    const size_t count = list.size();
    for (size_t i = 0; i < count; ++i) {
        const DeviceInfo& e = *list[i];
        bool same = false;
        if (record.nTLayerType == QX_TLAYER_GIGE) {
            same = e.nTLayerType == QX_TLAYER_GIGE && e.u.stGigeInfo.nIP == record.u.stGigeInfo.nIP &&
                   e.u.stGigeInfo.nAdapterIP == record.u.stGigeInfo.nAdapterIP &&
                   std::strncmp(e.strSerialNumber, record.strSerialNumber, QX_INFO_TEXT_LEN) == 0;
        } else if (record.nTLayerType == QX_TLAYER_USB3) {
            same = e.nTLayerType == QX_TLAYER_USB3 &&
                   std::strncmp(e.u.stUsb3Info.strDevicePath, record.u.stUsb3Info.strDevicePath,
                                sizeof(record.u.stUsb3Info.strDevicePath)) == 0 &&
                   e.u.stUsb3Info.nDevIndex == record.u.stUsb3Info.nDevIndex;
        }
        if (same) {
            if (index) *index = i;
            return true;
        }
    }
    return false;
}

void DeviceManager::enumDevices(DeviceList* out, uint8_t tryTimes, uint16_t timeout) {
    sys::MutexLock enumLock(m_enumMutex);
    out->nDevNum = 0;
    m_interrupt.store(false);

    const TransportHooks hooks = transportHooks();
    std::vector<DeviceInfo> best;
    std::vector<DeviceInfo> attempt;
    unsigned n = tryTimes == 0 ? 1 : tryTimes;
    while (!m_interrupt.load()) {
        attempt.clear();
        if (hooks.enumGige) hooks.enumGige(attempt, timeout, m_interrupt);
        // The last attempt that found the most cameras wins; attempts are never combined.
        if (attempt.size() >= best.size()) best = attempt;
        if (--n == 0) break;
    }
    if (isProcessExiting()) return;
    if (!m_interrupt.load() && hooks.enumUsb3) hooks.enumUsb3(best);

    // Merge into the kept list: refresh in place, remove what is gone, append what is new.
    std::vector<const DeviceInfo*> bestView;
    for (const auto& r : best) bestView.push_back(&r);
    if (m_keptCount == 0) {
        for (const auto& r : best) {
            if (m_keptCount == m_keptStorage.size()) m_keptStorage.emplace_back();
            m_keptStorage[m_keptCount++] = r;
        }
    } else {
        std::vector<bool> remove(m_keptCount, false);
        for (size_t k = 0; k < m_keptCount; ++k) {
            size_t idx = 0;
            if (isSameDevice(bestView, m_keptStorage[k], &idx)) m_keptStorage[k] = best[idx];
            else remove[k] = true;
        }
        for (size_t k = m_keptCount; k-- > 0;) {
            if (!remove[k]) continue;
            for (size_t j = k; j + 1 < m_keptCount; ++j) m_keptStorage[j] = m_keptStorage[j + 1];
            std::memset(&m_keptStorage[m_keptCount - 1], 0, sizeof(DeviceInfo));
            --m_keptCount;
        }
        for (const auto& r : best) {
            std::vector<const DeviceInfo*> keptView;
            for (size_t k = 0; k < m_keptCount; ++k) keptView.push_back(&m_keptStorage[k]);
            if (isSameDevice(keptView, r, nullptr)) continue;
            if (m_keptCount == m_keptStorage.size()) m_keptStorage.emplace_back();
            m_keptStorage[m_keptCount++] = r;
        }
    }

    // The caller's list holds QX_MAX_DEVICE_NUM pointers; nothing is written beyond them.
    const size_t shown = std::min<size_t>(m_keptCount, QX_MAX_DEVICE_NUM);
    if (shown < m_keptCount) {
        QX_LOG_WARN("func:{}, {} devices found, only the first {} are listed", m_keptCount, shown);
    }
    for (size_t k = 0; k < shown; ++k) out->pDevInfo[k] = &m_keptStorage[k];
    out->nDevNum = static_cast<uint32_t>(shown);
}

} // namespace qx::core::api
