// NodeMapImpl: the node map built from one description file. It creates the nodes of each kind
// from the loader's Description, links them, refuses reference cycles, works out which nodes
// are features (reachable from "Root") and, lazily, which nodes depend on which. At run time it
// owns the recursive node-map lock, counts nested calls, queues the callbacks of nodes changed
// by a write and fires them when the outermost call ends, invalidates register caches after a
// write (dependents, pInvalidator, selected nodes, overlapping registers of the same port) and
// runs Poll. CNodeMapFactory::CreateNodeMap makes one; CNodeMapRef owns it.
#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "GenApi/Interfaces.h"
#include "GenApi/XmlLoader.h"

namespace QxGenApi::detail {

class Node;
class PortNode;
class RegisterNodeBase;

class NodeMapImpl final : public INodeMap {
public:
    // Builds the node map; RuntimeException when the description cannot be built.
    NodeMapImpl(const Description& desc, const std::string& deviceName);
    ~NodeMapImpl() override;

    // INodeMap
    void GetNodes(node_vector& nodes) const override;
    INode* GetNode(const gcstring& name) const override;
    void InvalidateNodes() const override;
    bool Connect(IPort* port, const gcstring& portName) override;
    bool Connect(IPort* port) override { return Connect(port, "Device"); }
    gcstring GetDeviceName() const override { return m_deviceName; }
    void Poll(int64_t elapsedTime) override;
    std::recursive_mutex& GetLock() const override { return m_lock; }
    uint64_t GetNumNodes() const override { return m_nodes.size(); }
    gcstring GetModelName() const override { return rootAttr("ModelName"); }
    gcstring GetVendorName() const override { return rootAttr("VendorName"); }
    gcstring GetToolTip() const override { return rootAttr("ToolTip"); }
    void GetSchemaVersion(int64_t& major, int64_t& minor, int64_t& subMinor) const override;
    void GetDeviceVersion(int64_t& major, int64_t& minor, int64_t& subMinor) const override;

    // Engine internals -----------------------------------------------------------------------
    Node* find(const std::string& name) const;
    bool isIgnoredName(const std::string& name) const { return m_ignored.count(name) != 0; }
    // Adds a node made by another node (enumeration entries); the map owns it.
    Node* adopt(std::unique_ptr<Node> node);
    // Builds, configures and adds a node written inside another node's definition (a register's
    // address <IntSwissKnife Name="...">), found by its name like any other. The same definition
    // met again (a StructReg hands its shared properties to every entry) gives the same node; a
    // different node of that name is refused as a duplicate.
    Node* adoptEmbedded(const NodeDesc& desc);

    // A node's own value changed: invalidate and queue callbacks for it and its dependents.
    void onModified(Node* node);
    // A register was written: drop overlapping cache entries of the other registers on the
    // same port (queued as changed too), then onModified(reg).
    void onRegisterWritten(RegisterNodeBase* reg, PortNode* port, int64_t address, int64_t length);
    void registerOnPort(PortNode* port, RegisterNodeBase* reg) { m_registersByPort[port].push_back(reg); }
    // Every node whose value or access may change with this node's value (memoized).
    const std::vector<Node*>& dependents(Node* node) const;
    CallbackHandleType nextCallbackHandle() { return ++m_lastHandle; }
    void queueCallbacks(Node* node);

    // Nesting of calls (Scope) and the work one outermost call may do: a runaway chain of links
    // or an exponential fan-out of a hostile file fails (LogicalErrorException, NA for an access
    // mode) instead of exhausting the stack or the time.
    static constexpr int kMaxCallDepth = 256;
    static constexpr uint64_t kMaxWork = 200000;
    // Enters one level; false when the call nests too deep or the outermost call did too much.
    bool enter() const {
        if (++m_depth == 1) {
            ++m_epoch;
            m_work = 0;
        }
        return m_depth <= kMaxCallDepth && ++m_work <= kMaxWork;
    }
    // Restarts the work budget (Poll, between nodes).
    void resetWork() const { m_work = 0; }
    // Access modes are memoized for one epoch: a new outermost call or any change starts a new one,
    // so a memo never outlives the call that computed it.
    uint64_t epoch() const { return m_epoch; }
    void bumpEpoch() const { ++m_epoch; }
    uint64_t cycleHits() const { return m_cycleHits; }
    void noteCycle() const { ++m_cycleHits; }
    // Leaves one level; the outermost level fires the queued callbacks (inside-lock ones here,
    // outside-lock ones are handed back to be fired after unlocking).
    using PendingCall = std::pair<std::function<void(INode*)>, INode*>;
    void leave(std::vector<PendingCall>& outsideLock) const;

private:
    void build(const Description& desc);
    void checkCycles() const;
    void markFeatures();
    std::string rootAttr(const char* name) const;

    mutable std::recursive_mutex m_lock;
    mutable int m_depth = 0;
    mutable uint64_t m_epoch = 1;
    mutable uint64_t m_work = 0;
    mutable uint64_t m_cycleHits = 0;
    mutable bool m_flushing = false;
    mutable std::vector<Node*> m_pending;
    mutable std::unordered_set<Node*> m_pendingSet;
    std::string m_deviceName;
    std::map<std::string, std::string> m_rootAttrs;
    std::set<std::string> m_ignored;
    std::vector<std::unique_ptr<Node>> m_nodes;
    std::unordered_map<std::string, Node*> m_byName;
    std::unordered_map<std::string, std::pair<std::string, Node*>> m_embedded; // name -> fingerprint, node
    std::vector<Node*> m_polled;
    std::unordered_map<PortNode*, std::vector<RegisterNodeBase*>> m_registersByPort;
    CallbackHandleType m_lastHandle = 0;
};

} // namespace QxGenApi::detail
