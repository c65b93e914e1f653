#include "feature/NodeEvents.h"

#include "feature/HandleWait.h"
#include "Sys/JoiningThread.h"
#include "Sys/Log.h"
#include "Sys/LogThrottle.h"

#include <chrono>
#include <cstring>
#include <deque>
#include <exception>
#include <unordered_set>

namespace qx::feature {

// What the dispatch threads share with the object. A dispatch thread keeps it alive, so a
// thread that is left to finish a node callback on its own never touches freed memory.
struct NodeEvents::Shared {
    sys::Mutex mutex; // the dispatch mutex
    std::condition_variable cond;
    std::deque<QxGenApi::INode*> queue QX_GUARDED_BY(mutex);
    std::unordered_set<QxGenApi::INode*> queued QX_GUARDED_BY(mutex);
    std::shared_ptr<const NodeInfoMap> nodeInfo QX_GUARDED_BY(mutex);
    QX_NODE_UPDATED_CALLBACK callback QX_GUARDED_BY(mutex) = nullptr;
    void* user QX_GUARDED_BY(mutex) = nullptr;
    std::string currentKey QX_GUARDED_BY(mutex);
    bool delivering QX_GUARDED_BY(mutex) = false; // an application callback is running
};

// One dispatch thread. The flags are guarded by Shared::mutex (of the Shared the thread was
// started with, which the checker cannot name from here).
struct NodeEvents::Worker {
    sys::JoiningThread thread;
    bool stop = false;
    bool finished = false;
    bool blockedOnHandle = false;
};

thread_local NodeEvents::Shared* NodeEvents::t_shared = nullptr;
thread_local NodeEvents::Worker* NodeEvents::t_worker = nullptr;

void noteHandleWait(bool waiting) {
    NodeEvents::Worker* worker = NodeEvents::t_worker;
    if (!worker) return;
    {
        sys::MutexLock lk(NodeEvents::t_shared->mutex);
        worker->blockedOnHandle = waiting;
    }
    NodeEvents::t_shared->cond.notify_all();
}

NodeEvents::NodeEvents(PollFunction poll) : m_shared(std::make_shared<Shared>()), m_poll(std::move(poll)) {}

NodeEvents::~NodeEvents() { shutdown(); }

QX_STATUS NodeEvents::registerNodeCallback(QX_NODE_UPDATED_CALLBACK callback, void* user) {
    sys::MutexLock lk(m_shared->mutex);
    m_shared->callback = callback;
    m_shared->user = user;
    return QX_OK;
}

QX_STATUS NodeEvents::setNodeMapPoll(bool enabled, uint32_t intervalMs) {
    stopNodeThreads();
    reapRetired(false);
    m_pollInterval.store(enabled && intervalMs == 0 ? 1 : intervalMs);
    m_pollEnabled.store(enabled);
    if (!enabled) return QX_OK;
    startDispatch();
    try {
        m_pollThread = sys::JoiningThread([this] { nodeMapPollLoop(); });
    } catch (...) {
        m_pollEnabled.store(false);
        stopDispatch(true);
        throw;
    }
    return QX_OK;
}

QX_STATUS NodeEvents::getNodeMapPoll(bool* enabled, int32_t* intervalMs) const {
    *enabled = m_pollEnabled.load();
    *intervalMs = static_cast<int32_t>(m_pollInterval.load());
    return QX_OK;
}

void NodeEvents::stopNodeThreads() {
    stopDispatch(true);
    stopPoll();
}

void NodeEvents::shutdown() {
    stopDispatch(false);
    stopPoll();
    reapRetired(true);
}

void NodeEvents::startDispatch() {
    auto worker = std::make_shared<Worker>();
    worker->thread = sys::JoiningThread(&NodeEvents::nodeEventDispatchLoop, m_shared, worker);
    m_dispatch = std::move(worker);
}

void NodeEvents::stopDispatch(bool giveUpOnBlocked) {
    std::shared_ptr<Worker> worker = std::move(m_dispatch);
    m_dispatch.reset();
    if (!worker) return;
    sys::UniqueLock lk(m_shared->mutex);
    worker->stop = true;
    m_shared->cond.notify_all();
    if (t_worker == worker.get()) {
        // Called from the application's callback on this very thread: it ends by itself
        // once the callback returns.
        lk.unlock();
        m_retired.push_back(std::move(worker));
        return;
    }
    m_shared->cond.wait(lk, [&] { return worker->finished || (giveUpOnBlocked && worker->blockedOnHandle); });
    const bool finished = worker->finished;
    lk.unlock();
    if (finished) worker->thread.join();
    else m_retired.push_back(std::move(worker));
}

void NodeEvents::reapRetired(bool wait) {
    for (auto it = m_retired.begin(); it != m_retired.end();) {
        std::shared_ptr<Worker>& worker = *it;
        if (t_worker == worker.get()) {
            // The object is being destroyed from inside this thread's own node callback
            // (QX_DeleteDevice called by it). The thread holds everything it still touches
            // (Shared and Worker), so it is let go to end by itself.
            if (wait) {
                worker->thread.joinOrDetach();
                it = m_retired.erase(it);
            } else {
                ++it;
            }
            continue;
        }
        bool finished;
        {
            sys::UniqueLock lk(m_shared->mutex);
            if (wait) m_shared->cond.wait(lk, [&] { return worker->finished; });
            finished = worker->finished;
        }
        if (finished) {
            worker->thread.join();
            it = m_retired.erase(it);
        } else {
            ++it;
        }
    }
}

void NodeEvents::stopPoll() {
    {
        sys::MutexLock lk(m_pollMutex);
        m_pollEnabled.store(false);
    }
    m_pollCond.notify_all();
    m_pollThread.join();
}

void NodeEvents::nodeMapPollLoop() {
    // A poll that keeps failing is reported with its reason, at most once a second.
    sys::LogThrottle failures;
    sys::UniqueLock lk(m_pollMutex);
    while (m_pollEnabled.load()) {
        const uint32_t interval = m_pollInterval.load();
        m_pollCond.wait_for(lk, std::chrono::milliseconds(interval), [this] { return !m_pollEnabled.load(); });
        if (!m_pollEnabled.load()) break;
        lk.unlock();
        // The node map polls without the handle's lock; nothing may escape this thread (a
        // camera whose node map could not be built has none to poll).
        try {
            if (m_poll) m_poll(static_cast<int64_t>(interval));
        } catch (const std::exception& e) {
            if (const uint64_t count = failures.note())
                QX_LOG_WARN("func:{}, node map poll failed {} time(s): {}", count, e.what());
        } catch (...) {
            if (const uint64_t count = failures.note())
                QX_LOG_WARN("func:{}, node map poll failed {} time(s): {}", count, "unknown exception");
        }
        lk.lock();
    }
}

void NodeEvents::nodeEventDispatchLoop(const std::shared_ptr<Shared>& shared, std::shared_ptr<Worker> worker) {
    t_shared = shared.get();
    t_worker = worker.get();
    Shared& s = *shared;
    sys::UniqueLock lk(s.mutex);
    auto ready = [&]() QX_REQUIRES(s.mutex) { return !s.queue.empty() && !s.delivering; };
    while (!worker->stop) {
        s.cond.wait_for(lk, std::chrono::milliseconds(100),
                        [&]() QX_REQUIRES(s.mutex) { return worker->stop || ready(); });
        while (!worker->stop && ready()) {
            QxGenApi::INode* node = s.queue.front();
            s.queue.pop_front();
            s.queued.erase(node);
            std::shared_ptr<const NodeInfoMap> tree = s.nodeInfo;
            NodeInfo* record = nullptr;
            if (tree) {
                auto it = tree->find(node);
                if (it != tree->end()) record = it->second;
            }
            const QX_NODE_UPDATED_CALLBACK callback = s.callback;
            void* const user = s.user;
            if (!record || !callback) continue;
            s.delivering = true;
            lk.unlock();
            try {
                callback(record, user);
            } catch (...) {
                // An application callback has nothing to throw across a C interface.
            }
            tree.reset();
            lk.lock();
            s.delivering = false;
            s.cond.notify_all();
        }
    }
    worker->finished = true;
    s.cond.notify_all();
    lk.unlock();
    t_worker = nullptr;
    t_shared = nullptr;
}

void NodeEvents::nodeUpdatedCallback(QxGenApi::INode* node) {
    bool found = false;
    {
        Shared& s = *m_shared;
        sys::MutexLock lk(s.mutex);
        if (s.nodeInfo) {
            auto it = s.nodeInfo->find(node);
            if (it != s.nodeInfo->end()) {
                found = true;
                const char* name = it->second->strName ? it->second->strName : "";
                if (s.currentKey != name && s.queued.insert(node).second) s.queue.push_back(node);
            }
        }
    }
    m_shared->cond.notify_all();
    if (!found) QX_LOG_DEBUG("func:{} failed");
}

void NodeEvents::setCurrentKey(const char* key) {
    sys::MutexLock lk(m_shared->mutex);
    m_shared->currentKey = key ? key : "";
}

void NodeEvents::clearCurrentKey() {
    sys::MutexLock lk(m_shared->mutex);
    m_shared->currentKey.clear();
}

void NodeEvents::setNodeInfoMap(std::shared_ptr<const NodeInfoMap> map) {
    std::shared_ptr<const NodeInfoMap> old;
    {
        sys::MutexLock lk(m_shared->mutex);
        old = std::move(m_shared->nodeInfo);
        m_shared->nodeInfo = std::move(map);
    }
    m_shared->cond.notify_all();
    // `old` (and the records of the old tree with it) goes here, outside the mutex.
}

void NodeEvents::forgetNodes() {
    std::shared_ptr<const NodeInfoMap> old;
    {
        sys::MutexLock lk(m_shared->mutex);
        old = std::move(m_shared->nodeInfo);
        m_shared->nodeInfo.reset();
        m_shared->queue.clear();
        m_shared->queued.clear();
    }
}

size_t NodeEvents::queuedCount() const {
    sys::MutexLock lk(m_shared->mutex);
    return m_shared->queue.size();
}

size_t NodeEvents::dispatchThreadCount() const { return (m_dispatch ? 1 : 0) + m_retired.size(); }

} // namespace qx::feature
