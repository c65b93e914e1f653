// NodeEvents: the node-updated events and the node-map polling of one FeatureBase.
//
// The node callbacks that the node tree registers on every feature node (NodeTree.h) call
// nodeUpdatedCallback, which only queues the node under the dispatch mutex (GenApi's node-map
// lock is held around it). A dispatch thread hands queued nodes, as their NodeInfo records of
// the current node tree, to the application's node callback; a poll thread calls the node
// map's Poll every interval. Both threads run while polling is enabled (setNodeMapPoll).
// Compiled into the SDK and into the viewer (which never starts the threads).
//
// Choices made for sound behaviour:
// - The queue holds nodes, not records; a node is resolved to its record when it is delivered,
//   so a rebuilt tree never leaves a queued pointer to a freed record, and the record handed
//   to the application stays alive (shared ownership) until its callback returns, even when
//   the tree is rebuilt meanwhile. forgetNodes() drops the queue when the node map goes.
// - Only one application callback runs at a time, also across a restart of the threads.
// - Stopping waits for the dispatch thread to end, including a node callback in progress,
//   except (a) when called from inside that callback (the thread is left to end by itself
//   once the callback returns), and (b) when that callback is waiting for a busy HandleLock
//   (qx::feature::noteHandleWait, HandleWait.h): the stopping export holds that lock, so waiting would
//   never end. The thread is then left to finish on its own and is joined later (at the next
//   start or stop, at the latest when the object is destroyed). shutdown() waits for every
//   thread; it runs in the destructor, after the handle was deleted, when no HandleLock of
//   this handle can be held any more.
// - Control operations (setNodeMapPoll, stopNodeThreads, shutdown) are serialised by the
//   caller: the SDK calls them under the handle's HandleLock.
#pragma once
#include "QxCamApi.h"

#include "GenApi/GenApi.h"
#include "feature/HandleWait.h"
#include "Sys/JoiningThread.h"
#include "Sys/Mutex.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qx::feature {

class NodeEvents {
public:
    // Feature node -> its record in the current node tree.
    using NodeInfoMap = std::map<QxGenApi::INode*, NodeInfo*>;
    // Polls the node map with the elapsed time in ms (called on the poll thread).
    using PollFunction = std::function<void(int64_t elapsedMs)>;

    explicit NodeEvents(PollFunction poll);
    ~NodeEvents();
    NodeEvents(const NodeEvents&) = delete;
    NodeEvents& operator=(const NodeEvents&) = delete;

    // Sets the application's callback and user pointer (null stops deliveries). Status 0.
    QX_STATUS registerNodeCallback(QX_NODE_UPDATED_CALLBACK callback, void* user);
    // Stops running threads; stores the interval (1 when enabling with 0); when enabled
    // starts the dispatch and the poll thread. Status 0; a thread that cannot be started
    // raises std::system_error.
    QX_STATUS setNodeMapPoll(bool enabled, uint32_t intervalMs);
    QX_STATUS getNodeMapPoll(bool* enabled, int32_t* intervalMs) const;
    // Stops both threads (see the header comment for when it does not wait).
    void stopNodeThreads();
    // Stops and joins every thread this object started.
    void shutdown();

    // Target of the node callbacks: queues the node unless it is the one being set now.
    void nodeUpdatedCallback(QxGenApi::INode* node);
    // The node name of the set or command in progress (compared under the dispatch mutex).
    void setCurrentKey(const char* key);
    void clearCurrentKey();
    // Publishes the node-info map of a new node tree (null: no tree). The pointer keeps the
    // tree's records alive while this object or a running callback uses them.
    void setNodeInfoMap(std::shared_ptr<const NodeInfoMap> map);
    // The node map is about to be destroyed: drop the node-info map and every queued node.
    void forgetNodes();

    // Diagnostics (tests): nodes waiting for delivery; dispatch threads not joined yet.
    size_t queuedCount() const;
    size_t dispatchThreadCount() const;

private:
    struct Shared;
    struct Worker;
    friend void noteHandleWait(bool waiting);
    // Set on a dispatch thread for its whole life.
    static thread_local Shared* t_shared;
    static thread_local Worker* t_worker;

    void startDispatch();
    void stopDispatch(bool waitForBlocked);
    void stopPoll();
    // Joins the dispatch threads left to finish on their own: only those that have ended,
    // or all of them with `wait`.
    void reapRetired(bool wait);
    void nodeMapPollLoop();
    static void nodeEventDispatchLoop(const std::shared_ptr<Shared>& shared, std::shared_ptr<Worker> worker);

    std::shared_ptr<Shared> m_shared;
    std::shared_ptr<Worker> m_dispatch;
    std::vector<std::shared_ptr<Worker>> m_retired;

    PollFunction m_poll;
    sys::Mutex m_pollMutex;
    std::condition_variable m_pollCond;
    std::atomic<bool> m_pollEnabled{false};
    std::atomic<uint32_t> m_pollInterval{0};
    sys::JoiningThread m_pollThread;
};

} // namespace qx::feature
