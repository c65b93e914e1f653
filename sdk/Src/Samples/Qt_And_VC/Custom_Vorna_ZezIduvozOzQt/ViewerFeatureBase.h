// viewer::FeatureBase, the viewer's variant: the same typed feature access as the SDK's, but
// with no camera behind it. The node map is built from a GenICam XML file on disk and the two
// register ports ("Device", type 0, and "ConnectorDevice", type 1) hand every register access
// to the two callbacks the main window supplies, which turn them into serial commands. So
// that a callback can tell which feature caused an access, the object keeps the key of the
// typed access in progress and, during a write, the text of the value being written.
//
// The node tree (qx::feature::NodeTree) and the node-updated queue (qx::feature::NodeEvents) come from the SDK's
// feature library, with its log lines turned off; the viewer never starts the event threads.
//
// Every typed operation, loadXmlFile and the tree build run under one recursive lock, so the
// GUI thread and the refresh worker never overlap inside the node map: the current key seen by
// a port callback is always the key of the access that caused it, and a reload never destroys
// the node map under a running read.
#pragma once
#include "QxCamApi.h"

#include "GenApi/GenApi.h"
#include "feature/MyIPort.h"
#include "feature/NodeEvents.h"
#include "feature/NodeTree.h"
#include "Sys/Mutex.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace viewer {

// The viewer's integer and float records carry a marker that the getter sets to
// kLimitsReplaced when the node's limits were unusable and were replaced.
constexpr int32_t kLimitsReplaced = 2147483647;

struct IntValueInfo {
    int64_t nValue;
    int64_t nMax;
    int64_t nMin;
    int64_t nInc;
    int32_t nRepresentation;
    int32_t limitsReplaced;
};

struct FloatValueInfo {
    float fValue;
    float fMax;
    float fMin;
    int32_t limitsReplaced;
};

class FeatureBase {
public:
    // (buffer, address, length, port type). For a read the buffer is GenApi's destination,
    // for a write it holds the bytes to write.
    using ReadCallback = std::function<void(void* buffer, int64_t address, int64_t length, QX_PORT_DEVICE_TYPE type)>;
    using WriteCallback =
        std::function<void(const void* buffer, int64_t address, int64_t length, QX_PORT_DEVICE_TYPE type)>;

    FeatureBase(const ReadCallback& read, const WriteCallback& write);
    virtual ~FeatureBase();
    FeatureBase(const FeatureBase&) = delete;
    FeatureBase& operator=(const FeatureBase&) = delete;

    virtual QX_STATUS getNodeAccessMode(const char* key, int32_t* mode);
    virtual QX_STATUS getNodeInterfaceType(const char* key, int32_t* type);
    virtual QX_STATUS getIntValue(const char* key, viewer::IntValueInfo* info);
    virtual QX_STATUS setIntValue(const char* key, int64_t value);
    virtual QX_STATUS getEnumValue(const char* key, EnumValueInfo* info);
    virtual QX_STATUS setEnumValue(const char* key, uint32_t value);
    virtual QX_STATUS getEnumValueStr(const char* key, EnumStrValueInfo* info);
    virtual QX_STATUS setEnumValueStr(const char* key, const char* value);
    virtual QX_STATUS getFloatValue(const char* key, viewer::FloatValueInfo* info);
    virtual QX_STATUS setFloatValue(const char* key, float value);
    virtual QX_STATUS getBoolValue(const char* key, bool* value);
    virtual QX_STATUS setBoolValue(const char* key, bool value);
    virtual QX_STATUS getStringValue(const char* key, StringValueInfo* info);
    virtual QX_STATUS setStringValue(const char* key, const char* value);
    virtual QX_STATUS executeCommand(const char* key);
    // The ports call the callbacks directly; these hooks do nothing here.
    virtual void readPort(void* buffer, int64_t address, int64_t length, int32_t portType);
    virtual void writePort(void* buffer, int64_t address, int64_t length, int32_t portType);

    // Builds a fresh node map from the file. 0, or 0x800001ff (no node map afterwards).
    QX_STATUS loadXmlFile(const std::string& path);

    // Called by the port callbacks, from inside the access, on the accessing thread.
    std::string getCurrentKey() const;
    std::string getCurrentValueText() const;

    QX_STATUS getNodeTree(NodeInfoList* list);
    void clearNodeTree();
    void nodeUpdatedCallback(QxGenApi::INode* node);

    // Diagnostics (tests).
    bool hasNodeMap() const;
    size_t queuedNodeCount() const { return m_events.queuedCount(); }

private:
    template <typename Body>
    QX_STATUS access(const char* key, QxGenApi::EInterfaceType expected, Body&& body);
    // Runs the principal GenApi call with the key (and value text) set; both are emptied
    // afterwards, also when the call throws.
    template <typename Call>
    void withKey(const char* key, const std::string* valueText, Call&& call);

    mutable std::recursive_mutex m_lock;
    std::unique_ptr<QxGenApi::CNodeMapRef> m_nodeMap;
    std::unique_ptr<qx::feature::MyIPort> m_port0;
    std::unique_ptr<qx::feature::MyIPort> m_port1;
    qx::feature::NodeEvents m_events;
    qx::feature::NodeTree m_tree;
    mutable qx::sys::Mutex m_keyMutex; // the key and value text are read by port callbacks
    std::string m_currentKey QX_GUARDED_BY(m_keyMutex);
    std::string m_currentValueText QX_GUARDED_BY(m_keyMutex);
    std::unique_ptr<char[]> m_xmlBuffer;
};

} // namespace viewer
