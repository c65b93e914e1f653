#include "core/base/DeviceBase.h"

#include "core/base/ProtocolBase.h"
#include "Sys/Log.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <new>
#include <system_error>

#include <sys/stat.h>

namespace qx::core::base {

DeviceBase::DeviceBase() = default;

DeviceBase::~DeviceBase() {
    m_protocol.reset();
    shutdownThreads();
    {
        qx::sys::MutexLock lk(m_poolMutex);
        freePoolLocked();
        m_retired.clear();
    }
    m_deviceInfo = nullptr;
}

void DeviceBase::shutdownThreads() {
    m_isAcquisitionStopped.store(true);
    m_run.fetch_add(1);
    { qx::sys::MutexLock lk(m_poolMutex); }
    m_frameCond.notify_all();
    qx::sys::MutexLock lk(m_threadMutex);
    // A thread that deletes its own camera (from a callback) ends by itself after it returns.
    m_acqThread.joinOrDetach();
    m_outputThread.joinOrDetach();
}

bool DeviceBase::recvData(void*, int32_t*) { return false; }
bool DeviceBase::sendData(const void*, int32_t) { return false; }

QX_STATUS DeviceBase::getGenICamXMLSize(uint32_t* size) {
    if (!m_isConnected.load()) {
        QX_LOG_ERROR("func:{}, m_isConnected={}", false);
        return QX_ERR_NOT_AVAILABLE;
    }
    *size = m_xmlFileSize;
    return QX_OK;
}

QX_STATUS DeviceBase::getGenICamXML(char* dst, uint32_t nDataSize) {
    if (!m_isConnected.load()) {
        QX_LOG_ERROR("func:{}, m_isConnected={}", false);
        return QX_ERR_NOT_AVAILABLE;
    }
    if (nDataSize < m_xmlFileSize) {
        QX_LOG_ERROR("func:{}, nDataSize < m_xmlFileSize");
        return QX_ERR_BUFFER_TOO_SMALL;
    }
    if (m_xmlFileSize > 0 && m_xmlData) std::memcpy(dst, m_xmlData.get(), m_xmlFileSize);
    return QX_OK;
}

bool DeviceBase::hasImageCallback() const {
    qx::sys::MutexLock lk(m_callbackMutex);
    return m_imageCb != nullptr;
}

QX_STATUS DeviceBase::registerImageCallBack(QX_IMAGE_CALLBACK callback, void* user) {
    if (!m_isAcquisitionStopped.load()) {
        QX_LOG_ERROR("func:{}, m_isAcquisitionStopped={}", false);
        return QX_ERR_WRONG_STATE;
    }
    qx::sys::MutexLock lk(m_callbackMutex);
    m_imageCb = callback;
    m_imageUser = user;
    return QX_OK;
}

QX_STATUS DeviceBase::registerOfflineCallBack(QX_OFFLINE_CALLBACK callback, void* user) {
    qx::sys::MutexLock lk(m_callbackMutex);
    m_devOfflineCb = callback;
    m_offlineUser = user;
    return QX_OK;
}

void DeviceBase::processOffline() {
    QX_OFFLINE_CALLBACK cb = nullptr;
    void* user = nullptr;
    if (takeOfflineReport(cb, user) && cb) cb(user);
}

bool DeviceBase::takeOfflineReport(QX_OFFLINE_CALLBACK& callback, void*& user) {
    {
        qx::sys::MutexLock lk(m_callbackMutex);
        callback = m_devOfflineCb;
        user = m_offlineUser;
    }
    // Only the thread that flips the flag reports the loss, however many detect it at once.
    bool expected = false;
    if (!m_isDevOffline.compare_exchange_strong(expected, true)) {
        QX_LOG_INFO("func:processOffline called, m_isDevOffline is already true");
        return false;
    }
    QX_LOG_INFO("func:processOffline called, m_devOfflineCb={:p}, m_isAcquisitionStopped={}",
                reinterpret_cast<void*>(callback), m_isAcquisitionStopped.load());
    return true;
}

QX_STATUS DeviceBase::readXmlData(std::string path, uint64_t maxSize) {
    struct stat st {};
    std::ifstream in;
    // A directory or a file whose length cannot be read is refused like a missing one.
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) in.open(path, std::ios::in);
    if (!in.is_open()) {
        QX_LOG_ERROR("func:{}, open {} failed.", path);
        return QX_ERR_INVALID_PARAM;
    }
    if (uint64_t(st.st_size) > std::min(maxSize, kMaxXmlFileSize)) {
        QX_LOG_ERROR("func:{}, {} has {} bytes, more than {}.", path, uint64_t(st.st_size),
                     std::min(maxSize, kMaxXmlFileSize));
        return QX_ERR_INVALID_PARAM;
    }
    in.seekg(0, std::ios::end);
    std::streamoff length = in.tellg();
    if (length < 0 || uint64_t(length) > std::min(maxSize, kMaxXmlFileSize)) {
        QX_LOG_ERROR("func:{}, open {} failed.", path);
        return QX_ERR_INVALID_PARAM;
    }
    in.seekg(0, std::ios::beg);
    const uint32_t total = static_cast<uint32_t>(length) + 4096;
    std::unique_ptr<char[]> data = std::make_unique<char[]>(total);
    in.read(data.get(), length);
    m_xmlData = std::move(data);
    m_xmlFileSize = total;
    return QX_OK;
}

void DeviceBase::setXmlData(const char* data, uint32_t size) {
    std::unique_ptr<char[]> copy = std::make_unique<char[]>(size_t(size) + 1);
    if (size) std::memcpy(copy.get(), data, size);
    m_xmlData = std::move(copy);
    m_xmlFileSize = size;
}

void DeviceBase::setProtocol(std::unique_ptr<ProtocolBase> protocol) { m_protocol = std::move(protocol); }

// ---- pool --------------------------------------------------------------------------------

void DeviceBase::freePoolLocked() {
    for (auto& b : m_pool) {
        if (b->held) {
            // The application or the callback still reads this block: keep it until it is
            // given back.
            b->queued = 0;
            m_retired.push_back(std::move(b));
        }
    }
    m_pool.clear();
    // Queued frames refer to buffers that are gone now.
    m_frameQueue.clear();
}

bool DeviceBase::setImgBufferSize(int32_t size) {
    qx::sys::MutexLock lk(m_poolMutex);
    if (size <= 0) {
        freePoolLocked();
        return true;
    }
    if (!m_pool.empty() && m_pool.front()->size == static_cast<uint32_t>(size)) return true;
    freePoolLocked();
    while (m_pool.size() < 3) {
        auto buffer = std::make_unique<ImageBuffer>();
        try {
            buffer->data = std::make_unique<uint8_t[]>(static_cast<size_t>(size));
        } catch (const std::bad_alloc&) {
            QX_LOG_ERROR("func:{}, no memory for an image buffer of {} bytes", size);
            return false;
        }
        buffer->size = static_cast<uint32_t>(size);
        m_pool.push_back(std::move(buffer));
    }
    return true;
}

ImageBuffer* DeviceBase::getImgBuffer() {
    qx::sys::MutexLock lk(m_poolMutex);
    const size_t threshold = m_userHoldsFrame ? 2 : 3;
    if (m_frameQueue.size() >= threshold) {
        FrameRecord oldest = m_frameQueue.front();
        m_frameQueue.pop_front();
        if (const uint64_t dropped = m_queueDrops.note())
            QX_LOG_INFO("func:{}, {} frame(s) dropped at the full frame queue ({} in all)", dropped,
                        m_queueDrops.total());
        if (oldest.buffer) {
            oldest.buffer->queued = 0;
            return oldest.buffer;
        }
    }
    for (auto& b : m_pool) {
        if (!b->held && !b->queued) return b.get();
    }
    if (m_pool.empty()) QX_LOG_WARN("func:{}, didn't allocate img buffer!!!");
    return nullptr;
}

void DeviceBase::queueFrame(ImageBuffer* buffer, const FrameInfo& info) {
    {
        qx::sys::MutexLock lk(m_poolMutex);
        FrameRecord record;
        record.buffer = buffer;
        record.info = info;
        if (buffer) buffer->queued = 1;
        m_frameQueue.push_back(record);
    }
    m_frameCond.notify_one();
}

void DeviceBase::takeFrameLocked(FrameInfo* out, QX_STATUS& status) {
    FrameRecord record = m_frameQueue.front();
    m_frameQueue.pop_front();
    m_userHoldsFrame = true;
    if (!record.buffer) {
        status = QX_ERR_TIMEOUT;
        return;
    }
    record.buffer->held = 1;
    std::memcpy(out, &record.info, sizeof(FrameInfo));
    status = QX_OK;
}

QX_STATUS DeviceBase::getFrame(FrameInfo* out, uint32_t timeoutMs) {
    qx::sys::UniqueLock lk(m_poolMutex);
    if (m_frameQueue.empty()) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        const bool ready = m_frameCond.wait_until(lk, deadline, [this]() QX_REQUIRES(m_poolMutex) {
            return !m_frameQueue.empty() && !m_isAcquisitionStopped.load();
        });
        if (!ready || m_frameQueue.empty()) return QX_ERR_TIMEOUT;
    }
    QX_STATUS status = QX_ERR_TIMEOUT;
    takeFrameLocked(out, status);
    return status;
}

QX_STATUS DeviceBase::waitFrameForRun(FrameInfo* out, uint32_t timeoutMs, uint64_t run) {
    qx::sys::UniqueLock lk(m_poolMutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const bool ready = m_frameCond.wait_until(lk, deadline, [this, run]() QX_REQUIRES(m_poolMutex) {
        return m_run.load() != run || m_isAcquisitionStopped.load() || !m_frameQueue.empty();
    });
    if (!ready || m_run.load() != run || m_isAcquisitionStopped.load() || m_frameQueue.empty()) return QX_ERR_TIMEOUT;
    QX_STATUS status = QX_ERR_TIMEOUT;
    takeFrameLocked(out, status);
    return status;
}

void DeviceBase::releaseBufferLocked(const uint8_t* data) {
    for (auto& b : m_pool) {
        if (b->data.get() == data) {
            b->held = 0;
            b->queued = 0;
            m_userHoldsFrame = false;
            return;
        }
    }
    for (auto it = m_retired.begin(); it != m_retired.end(); ++it) {
        if ((*it)->data.get() == data) {
            m_retired.erase(it);
            m_userHoldsFrame = false;
            return;
        }
    }
}

QX_STATUS DeviceBase::freeFrame(const FrameInfo* info) {
    qx::sys::MutexLock lk(m_poolMutex);
    for (auto& b : m_pool) {
        if (b->data.get() == info->pData) {
            // Only a frame the application took may be given back; a buffer that is merely
            // queued again keeps its flags.
            if (!b->held) return QX_ERR_GENERAL;
            b->held = 0;
            b->queued = 0;
            m_userHoldsFrame = false;
            return QX_OK;
        }
    }
    for (auto it = m_retired.begin(); it != m_retired.end(); ++it) {
        if ((*it)->data.get() == info->pData) {
            m_retired.erase(it);
            m_userHoldsFrame = false;
            return QX_OK;
        }
    }
    return QX_ERR_GENERAL;
}

QX_STATUS DeviceBase::clearFrameBuffer() {
    qx::sys::MutexLock lk(m_poolMutex);
    while (!m_frameQueue.empty()) {
        ImageBuffer* buffer = m_frameQueue.front().buffer;
        for (auto& b : m_pool) {
            if (b.get() == buffer) {
                b->held = 0;
                b->queued = 0;
                break;
            }
        }
        m_frameQueue.pop_front();
    }
    return QX_OK;
}

uint64_t DeviceBase::droppedFrameCount() const {
    qx::sys::MutexLock lk(m_poolMutex);
    return m_queueDrops.total();
}

size_t DeviceBase::queuedFrameCount() const {
    qx::sys::MutexLock lk(m_poolMutex);
    return m_frameQueue.size();
}

size_t DeviceBase::poolSize() const {
    qx::sys::MutexLock lk(m_poolMutex);
    return m_pool.size();
}

bool DeviceBase::userHoldsFrame() const {
    qx::sys::MutexLock lk(m_poolMutex);
    return m_userHoldsFrame;
}

// ---- acquisition and the image-callback thread -------------------------------------------

void DeviceBase::beginAcquisition() {
    {
        qx::sys::MutexLock lk(m_poolMutex);
        m_run.fetch_add(1);
        m_isAcquisitionStopped.store(false);
    }
    m_frameCond.notify_all();
}

void DeviceBase::endAcquisition() {
    {
        qx::sys::MutexLock lk(m_poolMutex);
        m_isAcquisitionStopped.store(true);
        m_run.fetch_add(1);
    }
    m_frameCond.notify_all();
    wakeAcquisition();
    qx::sys::MutexLock lk(m_threadMutex);
    // A callback that stops acquisition from inside itself cannot join its own thread; that
    // thread is joined by the next start or by the destructor.
    m_acqThread.joinUnlessSelf();
    m_outputThread.joinUnlessSelf();
}

void DeviceBase::startAcquisitionThread(std::function<void()> body) {
    qx::sys::MutexLock lk(m_threadMutex);
    m_acqThread.joinOrDetach();
    m_acqThread = qx::sys::JoiningThread(std::move(body));
    m_acqThread.setName("qx-acquire");
}

void DeviceBase::startOutputImgLoop() {
    qx::sys::MutexLock lk(m_threadMutex);
    // A thread of an earlier run has been woken by its stop and ends at once.
    m_outputThread.joinOrDetach();
    const uint64_t run = m_run.load();
    m_outputThread = qx::sys::JoiningThread([this, run] { outputImgLoop(run); });
    m_outputThread.setName("qx-image-cb");
}

void DeviceBase::outputImgLoop(uint64_t run) {
    while (!m_isAcquisitionStopped.load() && m_run.load() == run) {
        FrameInfo frame{};
        if (waitFrameForRun(&frame, 1000, run) != QX_OK) continue;
        if (m_deviceInfo) {
            QX_LOG_DEBUG("dev:{}({}), func:startOutputImgLoop, nFrameIndex={}, nLostPacket={}",
                         m_deviceInfo->strModelName, m_deviceInfo->strSerialNumber, frame.nFrameIndex,
                         frame.nLostPacket);
        }
        QX_IMAGE_CALLBACK cb;
        void* user;
        {
            qx::sys::MutexLock lk(m_callbackMutex);
            cb = m_imageCb;
            user = m_imageUser;
        }
        if (cb) cb(&frame, user);
        qx::sys::MutexLock lk(m_poolMutex);
        releaseBufferLocked(frame.pData);
    }
}

} // namespace qx::core::base
