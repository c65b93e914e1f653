// FeatureBase: access to a camera's GenICam features by node name. One object per
// handle, built and owned by the handle's DeviceProxy with the handle's camera. initNodeMap
// (called by QX_ConnectDevice) builds the node map from the XML text the transport put into
// the DeviceBase and connects the two register ports, "Device" (port type 0) and
// "ConnectorDevice" (port type 1); every register access the node map makes then goes through
// a MyIPort to readPort/writePort and on to DeviceBase::readMemory/writeMemory. The typed
// operations behind the QX_XML_ exports are the eighteen virtual operations; the node tree
// (NodeTree) and the node events and polling (NodeEvents) are further
// operations of the same object.
//
// Beyond the plain node access, for sound behaviour:
// - A register access the camera refuses is raised through the node map as a
//   QxGenApi::PortException carrying the transport's status: the node map caches nothing from
//   it, and the feature call answers that status (not a stale value with status 0).
// - A typed operation holds the node map's lock from the reset of the last port status to its
//   read, so a concurrent poll (which runs under the same lock) cannot change the status a
//   call answers, nor see the current key of another call.
// - A description file without one of the two ports still loads; that port is simply not
//   connected (every GigE file lacks "ConnectorDevice" after the connect rewrite).
#pragma once
#include "QxCamApi.h"

#include "GenApi/GenApi.h"
#include "feature/MyIPort.h"
#include "feature/NodeEvents.h"
#include "feature/NodeTree.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace qx::core::base {
class DeviceBase;
} // namespace qx::core::base

namespace qx::feature {

class FeatureBase {
public:
    explicit FeatureBase(qx::core::base::DeviceBase* device);
    virtual ~FeatureBase();
    FeatureBase(const FeatureBase&) = delete;
    FeatureBase& operator=(const FeatureBase&) = delete;

    // The eighteen virtual operations, in slot order (the destructor is slot 0).
    virtual QX_STATUS getNodeAccessMode(const char* key, int32_t* mode);
    virtual QX_STATUS getNodeInterfaceType(const char* key, int32_t* type);
    virtual QX_STATUS getIntValue(const char* key, IntValueInfo* info);
    virtual QX_STATUS setIntValue(const char* key, int64_t value);
    virtual QX_STATUS getEnumValue(const char* key, EnumValueInfo* info);
    virtual QX_STATUS setEnumValue(const char* key, uint32_t value);
    virtual QX_STATUS getEnumValueStr(const char* key, EnumStrValueInfo* info);
    virtual QX_STATUS setEnumValueStr(const char* key, const char* value);
    virtual QX_STATUS getFloatValue(const char* key, FloatValueInfo* info);
    virtual QX_STATUS setFloatValue(const char* key, float value);
    virtual QX_STATUS getBoolValue(const char* key, bool* value);
    virtual QX_STATUS setBoolValue(const char* key, bool value);
    virtual QX_STATUS getStringValue(const char* key, StringValueInfo* info);
    virtual QX_STATUS setStringValue(const char* key, const char* value);
    virtual QX_STATUS executeCommand(const char* key);
    // The port hooks: forward to the camera and keep its status as the last port status;
    // a failure is thrown as QxGenApi::PortException with that status.
    virtual void readPort(void* buffer, int64_t address, int64_t length, int32_t portType);
    virtual void writePort(void* buffer, int64_t address, int64_t length, int32_t portType);

    // Builds the node map from the camera's XML text (every connect). 0 or 0x800001ff.
    QX_STATUS initNodeMap();

    // Node tree.
    QX_STATUS getNodeTree(NodeInfoList* list);
    void clearNodeTree();

    // Node events and polling.
    QX_STATUS registerNodeCallback(QX_NODE_UPDATED_CALLBACK callback, void* user);
    QX_STATUS setNodeMapPoll(bool enabled, uint32_t intervalMs);
    QX_STATUS getNodeMapPoll(bool* enabled, int32_t* intervalMs);
    void stopNodeThreads();
    void nodeUpdatedCallback(QxGenApi::INode* node);

    // Diagnostics (tests and benchmarks).
    QxGenApi::CNodeMapRef* nodeMap() const { return m_nodeMap.get(); }
    uint32_t lastPortStatus() const { return m_lastPortStatus.load(); }
    const qx::feature::NodeEvents& events() const { return m_events; }
    const qx::feature::NodeTree& tree() const { return m_tree; }

protected:
    enum class Access { Read, Write };
    // The frame of a typed operation: takes the node map's
    // lock, resets the last port status, looks the node up and runs `body` (type check and
    // access); answers the body's refusal, else the last port status; turns a port failure
    // into its status and any other exception into 0x800001ff with "func:{} failed".
    template <typename Body>
    QX_STATUS nodeAccess(const char* func, const char* key, Access access, Body&& body);
    QxGenApi::INode* findNode(const char* key) const;
    // A name the node map does not have (or no node map at all): "func:{} failed" and the
    // reason, answers 0x800001ff.
    QX_STATUS missingNode(const char* func, const char* key) const;
    // Calls the node's setter with the current key set (for the node events).
    template <typename Set>
    void withCurrentKey(const char* key, Set&& set);
    void pollNodeMap(int64_t elapsedMs);

    qx::core::base::DeviceBase* m_device;
    std::unique_ptr<QxGenApi::CNodeMapRef> m_nodeMap;
    std::unique_ptr<MyIPort> m_port0;
    std::unique_ptr<MyIPort> m_port1;
    qx::feature::NodeEvents m_events;
    qx::feature::NodeTree m_tree;
    std::atomic<uint32_t> m_lastPortStatus{0};
};

} // namespace qx::feature
