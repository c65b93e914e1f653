#include "feature/FeatureBase.h"

#include "core/base/DeviceBase.h"
#include "feature/NodeCodes.h"
#include "Sys/Log.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

namespace qx::feature {

using namespace qx::core::base;

using QxGenApi::CBooleanPtr;
using QxGenApi::CCommandPtr;
using QxGenApi::CEnumEntryPtr;
using QxGenApi::CEnumerationPtr;
using QxGenApi::CFloatPtr;
using QxGenApi::CIntegerPtr;
using QxGenApi::CNodePtr;
using QxGenApi::CStringPtr;
using QxGenApi::INode;

namespace {

// Copies at most `cap - 1` bytes of `text` and a zero byte into a zero-filled slot.
void copyText(char* dst, size_t cap, const std::string& text) {
    std::memset(dst, 0, cap);
    std::memcpy(dst, text.data(), std::min(text.size(), cap - 1));
}

} // namespace

FeatureBase::FeatureBase(DeviceBase* device)
    : m_device(device), m_events([this](int64_t elapsedMs) { pollNodeMap(elapsedMs); }),
      m_tree(m_events, [this](INode* node) { nodeUpdatedCallback(node); }) {
    auto read = [this](void* buffer, int64_t address, int64_t length, int32_t portType) {
        readPort(buffer, address, length, portType);
    };
    auto write = [this](void* buffer, int64_t address, int64_t length, int32_t portType) {
        writePort(buffer, address, length, portType);
    };
    m_port0 = std::make_unique<MyIPort>(QX_PORT_DEVICE, read, write);
    m_port1 = std::make_unique<MyIPort>(QX_PORT_CONNECTOR_DEVICE, read, write);
}

FeatureBase::~FeatureBase() {
    // Threads first: the poll thread uses the node map, the node callbacks the tree.
    m_events.shutdown();
    m_nodeMap.reset();
    m_port0.reset();
    m_port1.reset();
    m_tree.clearNodeTree();
}

// ---- node map and ports ------------------------------------------------------------------

QX_STATUS FeatureBase::initNodeMap() {
    try {
        // Polling is off after every disconnect; a node map is never destroyed under a poll.
        m_events.stopNodeThreads();
        if (!m_nodeMap) m_nodeMap = std::make_unique<QxGenApi::CNodeMapRef>("Device");
        QxGenApi::CNodeMapFactory::ClearCache();
        // The nodes of the old map go: nothing may keep pointing at them.
        m_tree.forgetNodeMap();
        m_nodeMap->_Destroy();
        // The text ends at its first zero byte, not at m_xmlFileSize.
        const char* xml = m_device->getXmlBuffer();
        const size_t length = xml ? ::strnlen(xml, m_device->getXmlFileSize()) : 0;
        QxGenApi::CNodeMapFactory factory(QxGenApi::ContentType_Xml, xml, length, QxGenApi::CacheUsage_Automatic,
                                          false);
        m_nodeMap->_Initialize(factory.CreateNodeMap("Device", true));
        // A port the description does not have is not connected; that is no error.
        if (!m_nodeMap->_Connect(m_port0.get())) QX_LOG_DEBUG("func:{}, no port {}", "Device");
        if (!m_nodeMap->_Connect(m_port1.get(), "ConnectorDevice"))
            QX_LOG_DEBUG("func:{}, no port {}", "ConnectorDevice");
        return QX_OK;
    } catch (const std::exception& e) {
        QX_LOG_WARN("func:{} failed");
        QX_LOG_DEBUG("func:{}, {}", e.what());
        return QX_ERR_GENICAM;
    } catch (...) {
        QX_LOG_WARN("func:{} failed");
        return QX_ERR_GENICAM;
    }
}

void FeatureBase::readPort(void* buffer, int64_t address, int64_t length, int32_t portType) {
    const QX_STATUS status = m_device->readMemory(buffer, address, length, portType);
    m_lastPortStatus.store(status);
    if (status != QX_OK) {
        throw QxGenApi::PortException(status,
                                      fmt::format("readMemory of {} bytes at 0x{:x} (port type {}) failed: 0x{:x}",
                                                  length, address, portType, status));
    }
}

void FeatureBase::writePort(void* buffer, int64_t address, int64_t length, int32_t portType) {
    const QX_STATUS status = m_device->writeMemory(buffer, address, length, portType);
    m_lastPortStatus.store(status);
    if (status != QX_OK) {
        throw QxGenApi::PortException(status,
                                      fmt::format("writeMemory of {} bytes at 0x{:x} (port type {}) failed: 0x{:x}",
                                                  length, address, portType, status));
    }
}

void FeatureBase::pollNodeMap(int64_t elapsedMs) {
    // Runs on the poll thread; the node map only changes while the threads are stopped.
    if (m_nodeMap) m_nodeMap->_Poll(elapsedMs);
}

// ---- the frame of the typed operations ---------------------------------------------------

INode* FeatureBase::findNode(const char* key) const { return m_nodeMap && key ? m_nodeMap->_GetNode(key) : nullptr; }

QX_STATUS FeatureBase::missingNode(const char* func, const char* key) const {
    QX_LOG_NAMED(spdlog::level::warn, func, "func:{} failed");
    if (!m_nodeMap || !m_nodeMap->_Ptr()) QX_LOG_NAMED(spdlog::level::debug, func, "func:{}, no node map");
    else QX_LOG_NAMED(spdlog::level::debug, func, "func:{}, no node named \"{}\"", key ? key : "");
    return QX_ERR_GENICAM;
}

template <typename Body>
QX_STATUS FeatureBase::nodeAccess(const char* func, const char* key, Access access, Body&& body) {
    std::unique_lock<std::recursive_mutex> mapLock;
    if (m_nodeMap && m_nodeMap->_Ptr()) mapLock = std::unique_lock<std::recursive_mutex>(m_nodeMap->_Ptr()->GetLock());
    m_lastPortStatus.store(QX_OK);
    try {
        INode* const found = findNode(key);
        if (!found) {
            if (access == Access::Write) m_events.clearCurrentKey();
            return missingNode(func, key);
        }
        CNodePtr node = found;
        const QX_STATUS refused = body(node);
        if (refused != QX_OK) return refused;
        return m_lastPortStatus.load();
    } catch (const QxGenApi::PortException& e) {
        if (access == Access::Write) m_events.clearCurrentKey();
        QX_LOG_NAMED(spdlog::level::warn, func, "func:{} failed");
        QX_LOG_NAMED(spdlog::level::debug, func, "func:{}, {}", e.what());
        const uint32_t status = e.GetStatus();
        return status == QX_OK || status == QxGenApi::PortException::kUnknownPortStatus ? QX_ERR_GENICAM : status;
    } catch (const std::exception& e) {
        if (access == Access::Write) m_events.clearCurrentKey();
        QX_LOG_NAMED(spdlog::level::warn, func, "func:{} failed");
        QX_LOG_NAMED(spdlog::level::debug, func, "func:{}, {}", e.what());
        return QX_ERR_GENICAM;
    } catch (...) {
        if (access == Access::Write) m_events.clearCurrentKey();
        QX_LOG_NAMED(spdlog::level::warn, func, "func:{} failed");
        return QX_ERR_GENICAM;
    }
}

template <typename Set>
void FeatureBase::withCurrentKey(const char* key, Set&& set) {
    m_events.setCurrentKey(key);
    set();
    m_events.clearCurrentKey();
}

// ---- node kind and access mode -----------------------------------------------------------

QX_STATUS FeatureBase::getNodeAccessMode(const char* key, int32_t* mode) {
    try {
        INode* const node = findNode(key);
        if (!node) return missingNode(QX_FUNC, key);
        *mode = qx::feature::accessModeCode(node->GetAccessMode());
        return QX_OK;
    } catch (...) {
        QX_LOG_WARN("func:{} failed");
        return QX_ERR_GENICAM;
    }
}

QX_STATUS FeatureBase::getNodeInterfaceType(const char* key, int32_t* type) {
    try {
        INode* const node = findNode(key);
        if (!node) return missingNode(QX_FUNC, key);
        *type = qx::feature::interfaceTypeCode(node->GetPrincipalInterfaceType());
        return QX_OK;
    } catch (...) {
        QX_LOG_WARN("func:{} failed");
        return QX_ERR_GENICAM;
    }
}

// ---- integer -----------------------------------------------------------------------------

QX_STATUS FeatureBase::getIntValue(const char* key, IntValueInfo* info) {
    return nodeAccess(QX_FUNC, key, Access::Read, [&](CNodePtr& node) -> QX_STATUS {
        if (node->GetPrincipalInterfaceType() != QxGenApi::intfIInteger) {
            QX_LOG_WARN("func:{}, intfIInteger != nodePtr->GetPrincipalInterfaceType()");
            return QX_ERR_GENICAM;
        }
        CIntegerPtr p = node.Get();
        info->nValue = p->GetValue(false, false);
        info->nMax = p->GetMax();
        info->nMin = p->GetMin();
        info->nInc = p->GetInc();
        info->nRepresentation = qx::feature::representationCode(p->GetRepresentation());
        return QX_OK;
    });
}

QX_STATUS FeatureBase::setIntValue(const char* key, int64_t value) {
    return nodeAccess(QX_FUNC, key, Access::Write, [&](CNodePtr& node) -> QX_STATUS {
        if (node->GetPrincipalInterfaceType() != QxGenApi::intfIInteger) {
            QX_LOG_WARN("func:{}, intfIInteger != nodePtr->GetPrincipalInterfaceType()");
            return QX_ERR_GENICAM;
        }
        CIntegerPtr p = node.Get();
        withCurrentKey(key, [&] { p->SetValue(value, true); });
        return QX_OK;
    });
}

// ---- enumeration -------------------------------------------------------------------------

QX_STATUS FeatureBase::getEnumValue(const char* key, EnumValueInfo* info) {
    return nodeAccess(QX_FUNC, key, Access::Read, [&](CNodePtr& node) -> QX_STATUS {
        if (node->GetPrincipalInterfaceType() != QxGenApi::intfIEnumeration) {
            QX_LOG_WARN("func:{} intfIEnumeration != nodePtr->GetPrincipalInterfaceType()");
            return QX_ERR_GENICAM;
        }
        CEnumerationPtr p = node.Get();
        info->nCount = 0;
        info->nValue = static_cast<int32_t>(p->GetIntValue(false, false));
        qx::feature::walkEnumEntries(p.Get(), &info->nCount, [&](CEnumEntryPtr& entry, int32_t i) {
            info->arrValues[i] = static_cast<int32_t>(entry->GetValue());
        });
        return QX_OK;
    });
}

QX_STATUS FeatureBase::setEnumValue(const char* key, uint32_t value) {
    return nodeAccess(QX_FUNC, key, Access::Write, [&](CNodePtr& node) -> QX_STATUS {
        if (node->GetPrincipalInterfaceType() != QxGenApi::intfIEnumeration) {
            QX_LOG_WARN("func:{} intfIEnumeration != nodePtr->GetPrincipalInterfaceType()");
            return QX_ERR_GENICAM;
        }
        CEnumerationPtr p = node.Get();
        withCurrentKey(key, [&] { p->SetIntValue(static_cast<int64_t>(static_cast<uint64_t>(value)), true); });
        return QX_OK;
    });
}

QX_STATUS FeatureBase::getEnumValueStr(const char* key, EnumStrValueInfo* info) {
    return nodeAccess(QX_FUNC, key, Access::Read, [&](CNodePtr& node) -> QX_STATUS {
        if (node->GetPrincipalInterfaceType() != QxGenApi::intfIEnumeration) {
            QX_LOG_WARN("func:{} intfIEnumeration != nodePtr->GetPrincipalInterfaceType()");
            return QX_ERR_GENICAM;
        }
        CEnumerationPtr p = node.Get();
        info->nCount = 0;
        const int64_t current = p->GetIntValue(false, false);
        qx::feature::walkEnumEntries(p.Get(), &info->nCount, [&](CEnumEntryPtr& entry, int32_t i) {
            const std::string symbolic = entry->GetSymbolic();
            copyText(info->arrSymbolics[i], QX_ENUM_TEXT_LEN, symbolic);
            // With no matching entry the current name stays as the caller passed it.
            if (entry->GetValue() == current) copyText(info->strValue, QX_ENUM_TEXT_LEN, symbolic);
        });
        return QX_OK;
    });
}

QX_STATUS FeatureBase::setEnumValueStr(const char* key, const char* value) {
    return nodeAccess(QX_FUNC, key, Access::Write, [&](CNodePtr& node) -> QX_STATUS {
        if (node->GetPrincipalInterfaceType() != QxGenApi::intfIEnumeration) {
            QX_LOG_WARN("func:{} intfIEnumeration != nodePtr->GetPrincipalInterfaceType()");
            return QX_ERR_GENICAM;
        }
        CEnumerationPtr p = node.Get();
        withCurrentKey(key, [&] { p->FromString(value ? value : "", true); });
        return QX_OK;
    });
}

// ---- float -------------------------------------------------------------------------------

QX_STATUS FeatureBase::getFloatValue(const char* key, FloatValueInfo* info) {
    return nodeAccess(QX_FUNC, key, Access::Read, [&](CNodePtr& node) -> QX_STATUS {
        if (node->GetPrincipalInterfaceType() != QxGenApi::intfIFloat) {
            QX_LOG_WARN("func:{} intfIFloat != nodePtr->GetPrincipalInterfaceType()");
            return QX_ERR_GENICAM;
        }
        CFloatPtr p = node.Get();
        info->fValue = static_cast<float>(p->GetValue(false, false));
        info->fMax = static_cast<float>(p->GetMax());
        info->fMin = static_cast<float>(p->GetMin());
        return QX_OK;
    });
}

QX_STATUS FeatureBase::setFloatValue(const char* key, float value) {
    return nodeAccess(QX_FUNC, key, Access::Write, [&](CNodePtr& node) -> QX_STATUS {
        if (node->GetPrincipalInterfaceType() != QxGenApi::intfIFloat) {
            QX_LOG_WARN("func:{} intfIFloat != nodePtr->GetPrincipalInterfaceType()");
            return QX_ERR_GENICAM;
        }
        CFloatPtr p = node.Get();
        withCurrentKey(key, [&] { p->SetValue(static_cast<double>(value), true); });
        return QX_OK;
    });
}

// ---- boolean -----------------------------------------------------------------------------

QX_STATUS FeatureBase::getBoolValue(const char* key, bool* value) {
    return nodeAccess(QX_FUNC, key, Access::Read, [&](CNodePtr& node) -> QX_STATUS {
        if (node->GetPrincipalInterfaceType() != QxGenApi::intfIBoolean) {
            QX_LOG_WARN("func:{} intfIBoolean != nodePtr->GetPrincipalInterfaceType()");
            return QX_ERR_GENICAM;
        }
        CBooleanPtr p = node.Get();
        *value = p->GetValue(false, false);
        return QX_OK;
    });
}

QX_STATUS FeatureBase::setBoolValue(const char* key, bool value) {
    return nodeAccess(QX_FUNC, key, Access::Write, [&](CNodePtr& node) -> QX_STATUS {
        if (node->GetPrincipalInterfaceType() != QxGenApi::intfIBoolean) {
            QX_LOG_WARN("func:{} intfIBoolean != nodePtr->GetPrincipalInterfaceType()");
            return QX_ERR_GENICAM;
        }
        CBooleanPtr p = node.Get();
        withCurrentKey(key, [&] { p->SetValue(value, true); });
        return QX_OK;
    });
}

// ---- string ------------------------------------------------------------------------------

QX_STATUS FeatureBase::getStringValue(const char* key, StringValueInfo* info) {
    return nodeAccess(QX_FUNC, key, Access::Read, [&](CNodePtr& node) -> QX_STATUS {
        if (node->GetPrincipalInterfaceType() != QxGenApi::intfIString) {
            QX_LOG_WARN("func:{} intfIString != nodePtr->GetPrincipalInterfaceType()");
            return QX_ERR_GENICAM;
        }
        CStringPtr p = node.Get();
        std::memset(info->strValue, 0, sizeof info->strValue);
        const std::string text = p->GetValue(false, false);
        const size_t length = std::min<size_t>(text.size(), QX_STRING_VALUE_LEN - 1);
        std::memcpy(info->strValue, text.data(), length);
        info->nLength = static_cast<uint16_t>(length);
        return QX_OK;
    });
}

QX_STATUS FeatureBase::setStringValue(const char* key, const char* value) {
    return nodeAccess(QX_FUNC, key, Access::Write, [&](CNodePtr& node) -> QX_STATUS {
        if (node->GetPrincipalInterfaceType() != QxGenApi::intfIString) {
            QX_LOG_WARN("func:{} intfIString != nodePtr->GetPrincipalInterfaceType()");
            return QX_ERR_GENICAM;
        }
        CStringPtr p = node.Get();
        withCurrentKey(key, [&] { p->SetValue(value ? value : "", true); });
        return QX_OK;
    });
}

// ---- command -----------------------------------------------------------------------------

QX_STATUS FeatureBase::executeCommand(const char* key) {
    return nodeAccess(QX_FUNC, key, Access::Write, [&](CNodePtr& node) -> QX_STATUS {
        if (node->GetPrincipalInterfaceType() != QxGenApi::intfICommand) {
            QX_LOG_WARN("func:{} intfICommand != nodePtr->GetPrincipalInterfaceType()");
            return QX_ERR_GENICAM;
        }
        CCommandPtr p = node.Get();
        withCurrentKey(key, [&] { p->Execute(true); });
        return QX_OK;
    });
}

// ---- node tree and node events -----------------------------------------------------------

QX_STATUS FeatureBase::getNodeTree(NodeInfoList* list) { return m_tree.getNodeTree(m_nodeMap.get(), list); }

void FeatureBase::clearNodeTree() { m_tree.clearNodeTree(); }

QX_STATUS FeatureBase::registerNodeCallback(QX_NODE_UPDATED_CALLBACK callback, void* user) {
    return m_events.registerNodeCallback(callback, user);
}

QX_STATUS FeatureBase::setNodeMapPoll(bool enabled, uint32_t intervalMs) {
    return m_events.setNodeMapPoll(enabled, intervalMs);
}

QX_STATUS FeatureBase::getNodeMapPoll(bool* enabled, int32_t* intervalMs) {
    return m_events.getNodeMapPoll(enabled, intervalMs);
}

void FeatureBase::stopNodeThreads() { m_events.stopNodeThreads(); }

void FeatureBase::nodeUpdatedCallback(INode* node) { m_events.nodeUpdatedCallback(node); }

} // namespace qx::feature
