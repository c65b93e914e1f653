#include "ViewerFeatureBase.h"

#include "feature/NodeCodes.h"
#include "Sys/Log.h"

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <cstring>
#include <fstream>

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

void copyText(char* dst, size_t cap, const std::string& text) {
    std::memset(dst, 0, cap);
    text.copy(dst, std::min(text.size(), cap - 1)); // the zeroed tail ends the text
}

} // namespace

namespace viewer {

FeatureBase::FeatureBase(const ReadCallback& read, const WriteCallback& write)
    : m_events([](int64_t) {}), m_tree(m_events, [this](INode* node) { nodeUpdatedCallback(node); }) {
    qx::sys::setLogEnabled(false); // the viewer writes no log
    qx::feature::MyIPort::Access readAccess = [read](void* buffer, int64_t address, int64_t length, int32_t type) {
        if (read) read(buffer, address, length, static_cast<QX_PORT_DEVICE_TYPE>(type));
    };
    qx::feature::MyIPort::Access writeAccess = [write](void* buffer, int64_t address, int64_t length, int32_t type) {
        if (write) write(buffer, address, length, static_cast<QX_PORT_DEVICE_TYPE>(type));
    };
    m_port0 = std::make_unique<qx::feature::MyIPort>(QX_PORT_DEVICE, readAccess, writeAccess);
    m_port1 = std::make_unique<qx::feature::MyIPort>(QX_PORT_CONNECTOR_DEVICE, readAccess, writeAccess);
}

FeatureBase::~FeatureBase() {
    m_events.shutdown();
    std::lock_guard<std::recursive_mutex> lk(m_lock);
    m_tree.forgetNodeMap();
    m_nodeMap.reset();
    m_port0.reset();
    m_port1.reset();
    m_tree.clearNodeTree();
}

void FeatureBase::readPort(void*, int64_t, int64_t, int32_t) {}
void FeatureBase::writePort(void*, int64_t, int64_t, int32_t) {}

bool FeatureBase::hasNodeMap() const {
    std::lock_guard<std::recursive_mutex> lk(m_lock);
    return m_nodeMap && m_nodeMap->_IsInitialized();
}

QX_STATUS FeatureBase::loadXmlFile(const std::string& path) {
    std::lock_guard<std::recursive_mutex> lk(m_lock);
    try {
        if (!m_nodeMap) m_nodeMap = std::make_unique<QxGenApi::CNodeMapRef>("Device");
        QxGenApi::CNodeMapFactory::ClearCache();
        // The callbacks and node records of the old map go with it.
        m_tree.forgetNodeMap();
        m_nodeMap->_Destroy();
        std::ifstream file(path, std::ios::in | std::ios::binary);
        if (file) {
            file.seekg(0, std::ios::end);
            const std::streamoff end = file.tellg();
            const size_t length = end > 0 ? static_cast<size_t>(end) : 0;
            file.seekg(0, std::ios::beg);
            m_xmlBuffer = std::make_unique<char[]>(length + 4096);
            file.read(m_xmlBuffer.get(), static_cast<std::streamsize>(length));
            // The text ends at its first zero byte; the extra zero bytes guarantee one.
            const size_t textLength = ::strnlen(m_xmlBuffer.get(), length + 4096);
            QxGenApi::CNodeMapFactory factory(QxGenApi::ContentType_Xml, m_xmlBuffer.get(), textLength,
                                              QxGenApi::CacheUsage_Automatic, false);
            m_nodeMap->_Initialize(factory.CreateNodeMap("Device", true));
        }
        // Without a node map (no file) connecting throws and the load fails.
        m_nodeMap->_Connect(m_port0.get());
        m_nodeMap->_Connect(m_port1.get(), "ConnectorDevice");
        return QX_OK;
    } catch (...) {
        if (m_nodeMap) m_nodeMap->_Destroy();
        return QX_ERR_GENICAM;
    }
}

std::string FeatureBase::getCurrentKey() const {
    qx::sys::MutexLock lk(m_keyMutex);
    return m_currentKey;
}

std::string FeatureBase::getCurrentValueText() const {
    qx::sys::MutexLock lk(m_keyMutex);
    return m_currentValueText;
}

template <typename Call>
void FeatureBase::withKey(const char* key, const std::string* valueText, Call&& call) {
    {
        qx::sys::MutexLock lk(m_keyMutex);
        m_currentKey = key;
        if (valueText) m_currentValueText = *valueText;
    }
    if (valueText) m_events.setCurrentKey(key);
    struct Clear {
        FeatureBase* self;
        bool write;
        ~Clear() {
            qx::sys::MutexLock lk(self->m_keyMutex);
            self->m_currentKey.clear();
            self->m_currentValueText.clear();
            if (write) self->m_events.clearCurrentKey();
        }
    } clear{this, valueText != nullptr};
    call();
}

template <typename Body>
QX_STATUS FeatureBase::access(const char* key, QxGenApi::EInterfaceType expected, Body&& body) {
    std::lock_guard<std::recursive_mutex> lk(m_lock);
    if (!key) return QX_ERR_GENICAM;
    try {
        // A name that is not in the map gives a null pointer, whose use throws.
        CNodePtr node = m_nodeMap ? m_nodeMap->_GetNode(key) : nullptr;
        if (node->GetPrincipalInterfaceType() != expected) return QX_ERR_GENICAM;
        body(node);
        return QX_OK;
    } catch (...) {
        return QX_ERR_GENICAM;
    }
}

QX_STATUS FeatureBase::getNodeAccessMode(const char* key, int32_t* mode) {
    std::lock_guard<std::recursive_mutex> lk(m_lock);
    try {
        CNodePtr node = m_nodeMap && key ? m_nodeMap->_GetNode(key) : nullptr;
        *mode = qx::feature::accessModeCode(node->GetAccessMode());
        return QX_OK;
    } catch (...) {
        return QX_ERR_GENICAM;
    }
}

QX_STATUS FeatureBase::getNodeInterfaceType(const char* key, int32_t* type) {
    std::lock_guard<std::recursive_mutex> lk(m_lock);
    try {
        CNodePtr node = m_nodeMap && key ? m_nodeMap->_GetNode(key) : nullptr;
        *type = qx::feature::interfaceTypeCode(node->GetPrincipalInterfaceType());
        return QX_OK;
    } catch (...) {
        return QX_ERR_GENICAM;
    }
}

QX_STATUS FeatureBase::getIntValue(const char* key, viewer::IntValueInfo* info) {
    return access(key, QxGenApi::intfIInteger, [&](CNodePtr& node) {
        CIntegerPtr p = node.Get();
        int64_t value = 0;
        withKey(key, nullptr, [&] { value = p->GetValue(false, true); });
        int64_t inc = p->GetInc();
        const int64_t max = p->GetMax();
        const int64_t min = p->GetMin();
        if (inc == 0) inc = 1;
        info->nValue = value;
        info->nMax = max;
        info->nMin = min;
        info->nInc = inc;
        if ((max == 0 && min == 0) || max < min) {
            info->nMax = 2147483647;
            info->nMin = -2147483647LL - 1;
            info->limitsReplaced = viewer::kLimitsReplaced;
            info->nValue = 0;
            std::printf("int strKey=%s\n", key);
        }
        info->nRepresentation = qx::feature::representationCode(p->GetRepresentation());
    });
}

QX_STATUS FeatureBase::setIntValue(const char* key, int64_t value) {
    return access(key, QxGenApi::intfIInteger, [&](CNodePtr& node) {
        CIntegerPtr p = node.Get();
        const std::string text = std::to_string(value);
        withKey(key, &text, [&] { p->SetValue(value, true); });
    });
}

QX_STATUS FeatureBase::getEnumValue(const char* key, EnumValueInfo* info) {
    return access(key, QxGenApi::intfIEnumeration, [&](CNodePtr& node) {
        CEnumerationPtr p = node.Get();
        info->nCount = 0;
        int64_t current = 0;
        withKey(key, nullptr, [&] { current = p->GetIntValue(false, true); });
        info->nValue = static_cast<int32_t>(current);
        qx::feature::walkEnumEntries(p.Get(), &info->nCount, [&](CEnumEntryPtr& entry, int32_t i) {
            info->arrValues[i] = static_cast<int32_t>(entry->GetValue());
        });
    });
}

QX_STATUS FeatureBase::setEnumValue(const char* key, uint32_t value) {
    return access(key, QxGenApi::intfIEnumeration, [&](CNodePtr& node) {
        CEnumerationPtr p = node.Get();
        const std::string text = std::to_string(value);
        withKey(key, &text, [&] { p->SetIntValue(static_cast<int64_t>(static_cast<uint64_t>(value)), true); });
    });
}

QX_STATUS FeatureBase::getEnumValueStr(const char* key, EnumStrValueInfo* info) {
    return access(key, QxGenApi::intfIEnumeration, [&](CNodePtr& node) {
        CEnumerationPtr p = node.Get();
        std::memset(info->strValue, 0, sizeof info->strValue);
        info->nCount = 0;
        int64_t current = 0;
        withKey(key, nullptr, [&] { current = p->GetIntValue(false, true); });
        qx::feature::walkEnumEntries(p.Get(), &info->nCount, [&](CEnumEntryPtr& entry, int32_t i) {
            const std::string symbolic = entry->GetSymbolic();
            copyText(info->arrSymbolics[i], QX_ENUM_TEXT_LEN, symbolic);
            if (entry->GetValue() == current) copyText(info->strValue, QX_ENUM_TEXT_LEN, symbolic);
        });
    });
}

QX_STATUS FeatureBase::setEnumValueStr(const char* key, const char* value) {
    return access(key, QxGenApi::intfIEnumeration, [&](CNodePtr& node) {
        CEnumerationPtr p = node.Get();
        const std::string text = value ? value : "";
        withKey(key, &text, [&] { p->FromString(text, true); });
    });
}

QX_STATUS FeatureBase::getFloatValue(const char* key, viewer::FloatValueInfo* info) {
    return access(key, QxGenApi::intfIFloat, [&](CNodePtr& node) {
        CFloatPtr p = node.Get();
        float value = 0;
        withKey(key, nullptr, [&] { value = static_cast<float>(p->GetValue(false, true)); });
        const float max = static_cast<float>(p->GetMax());
        const float min = static_cast<float>(p->GetMin());
        info->fValue = value;
        info->fMax = max;
        info->fMin = min;
        // Unusable: both 0, a limit below the lowest float (a double range the float cannot
        // hold), or the minimum above the maximum. The lowest float is -FLT_MAX: FLT_MIN is the
        // smallest positive one, and comparing with it would throw away every range that
        // reaches 0 or below (offsets, gains, temperatures).
        if ((max == 0 && min == 0) || max < -FLT_MAX || min < -FLT_MAX || min > max) {
            info->fMax = FLT_MAX;
            info->fMin = FLT_MIN;
            info->fValue = 0;
            info->limitsReplaced = viewer::kLimitsReplaced;
            std::printf("float strKey=%s\n", key);
        }
    });
}

QX_STATUS FeatureBase::setFloatValue(const char* key, float value) {
    return access(key, QxGenApi::intfIFloat, [&](CNodePtr& node) {
        CFloatPtr p = node.Get();
        char text[512];
        std::snprintf(text, sizeof text, "%f", static_cast<double>(value));
        const std::string valueText = text;
        withKey(key, &valueText, [&] { p->SetValue(static_cast<double>(value), true); });
    });
}

QX_STATUS FeatureBase::getBoolValue(const char* key, bool* value) {
    return access(key, QxGenApi::intfIBoolean, [&](CNodePtr& node) {
        CBooleanPtr p = node.Get();
        withKey(key, nullptr, [&] { *value = p->GetValue(false, true); });
    });
}

QX_STATUS FeatureBase::setBoolValue(const char* key, bool value) {
    return access(key, QxGenApi::intfIBoolean, [&](CNodePtr& node) {
        CBooleanPtr p = node.Get();
        const std::string text = value ? "1" : "0";
        withKey(key, &text, [&] { p->SetValue(value, true); });
    });
}

QX_STATUS FeatureBase::getStringValue(const char* key, StringValueInfo* info) {
    return access(key, QxGenApi::intfIString, [&](CNodePtr& node) {
        CStringPtr p = node.Get();
        std::memset(info->strValue, 0, sizeof info->strValue);
        std::string text;
        withKey(key, nullptr, [&] { text = p->GetValue(false, true); });
        const size_t length = std::min<size_t>(text.size(), QX_STRING_VALUE_LEN - 1);
        std::memcpy(info->strValue, text.data(), length);
        info->nLength = static_cast<uint16_t>(length);
    });
}

QX_STATUS FeatureBase::setStringValue(const char* key, const char* value) {
    return access(key, QxGenApi::intfIString, [&](CNodePtr& node) {
        CStringPtr p = node.Get();
        const std::string text = value ? value : "";
        withKey(key, &text, [&] { p->SetValue(text, true); });
    });
}

QX_STATUS FeatureBase::executeCommand(const char* key) {
    return access(key, QxGenApi::intfICommand, [&](CNodePtr& node) {
        CCommandPtr p = node.Get();
        const std::string text = "--";
        withKey(key, &text, [&] { p->Execute(true); });
    });
}

QX_STATUS FeatureBase::getNodeTree(NodeInfoList* list) {
    std::lock_guard<std::recursive_mutex> lk(m_lock);
    return m_tree.getNodeTree(m_nodeMap.get(), list);
}

void FeatureBase::clearNodeTree() {
    std::lock_guard<std::recursive_mutex> lk(m_lock);
    m_tree.clearNodeTree();
}

void FeatureBase::nodeUpdatedCallback(INode* node) { m_events.nodeUpdatedCallback(node); }

} // namespace viewer
