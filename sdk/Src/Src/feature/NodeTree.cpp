#include "feature/NodeTree.h"

#include "feature/NodeCodes.h"
#include "Sys/Log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

using QxGenApi::CCategoryPtr;
using QxGenApi::CNodePtr;
using QxGenApi::CRegisterPtr;
using QxGenApi::INode;

namespace qx::feature {

// Everything one build allocates. Records and texts never move once made.
struct NodeTree::Storage {
    std::vector<std::unique_ptr<NodeInfo>> features;
    std::vector<std::unique_ptr<CategoryNodeInfo>> categories;
    std::vector<std::unique_ptr<NodeInfo*[]>> childArrays;
    std::vector<std::unique_ptr<char[]>> texts;
    NodeEvents::NodeInfoMap nodeInfo;
    size_t records() const { return features.size() + categories.size(); }
};

NodeTree::NodeTree(NodeEvents& events, std::function<void(INode*)> onNodeUpdated)
    : m_events(events), m_onNodeUpdated(std::move(onNodeUpdated)) {}

NodeTree::~NodeTree() { clearNodeTree(); }

void NodeTree::clearNodeTree() {
    m_events.setNodeInfoMap(nullptr);
    m_storage.reset();
}

void NodeTree::forgetNodeMap() {
    m_events.forgetNodes();
    m_registered.clear();
    // Nobody reads the map any more (the events dropped it above); its keys are dying nodes.
    if (m_storage) m_storage->nodeInfo.clear();
}

size_t NodeTree::recordCount() const { return m_storage ? m_storage->records() : 0; }

const char* NodeTree::keepText(const std::string& text) {
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    std::memcpy(copy.get(), text.data(), text.size());
    copy[text.size()] = '\0';
    const char* p = copy.get();
    m_building->texts.push_back(std::move(copy));
    return p;
}

QX_STATUS NodeTree::getNodeTree(QxGenApi::CNodeMapRef* nodeMap, NodeInfoList* list) {
    clearNodeTree();
    list->ppNodes = nullptr;
    list->nCount = 0;
    auto storage = std::make_shared<Storage>();
    m_building = storage.get();
    m_path.clear();
    QX_STATUS status;
    try {
        CNodePtr root = nodeMap ? nodeMap->_GetNode("Root") : nullptr;
        if (root->GetPrincipalInterfaceType() != QxGenApi::intfICategory) {
            QX_LOG_WARN("func:{}, intfICategory != rootNode->GetPrincipalInterfaceType()");
            status = QX_ERR_GENICAM;
        } else {
            status = getNodeGroup(root, list);
        }
    } catch (...) {
        QX_LOG_WARN("func:{} failed");
        status = QX_ERR_GENICAM;
    }
    m_building = nullptr;
    m_path.clear();
    m_storage = std::move(storage);
    // The node events find the records of this tree from now on.
    m_events.setNodeInfoMap(std::shared_ptr<const NodeEvents::NodeInfoMap>(m_storage, &m_storage->nodeInfo));
    return status;
}

QX_STATUS NodeTree::getNodeGroup(INode* category, NodeInfoList* out) {
    out->nCount = 0;
    out->ppNodes = nullptr;
    if (category->GetPrincipalInterfaceType() != QxGenApi::intfICategory) {
        QX_LOG_WARN("func:{}, intfICategory != cNodeGroup->GetPrincipalInterfaceType()");
        return QX_ERR_GENICAM;
    }
    m_path.push_back(category);
    struct PathGuard {
        std::vector<INode*>& path;
        ~PathGuard() { path.pop_back(); }
    } guard{m_path};
    try {
        CCategoryPtr group = category;
        QxGenApi::FeatureList_t features;
        group->GetFeatures(features);
        NodeInfo** array = nullptr;
        if (!features.empty()) {
            m_building->childArrays.emplace_back(new NodeInfo*[features.size()]());
            array = m_building->childArrays.back().get();
            out->ppNodes = array;
        }
        for (QxGenApi::IValue* feature : features) {
            INode* child = feature ? feature->GetNode() : nullptr;
            CNodePtr childPtr = child; // a null child throws like a missing node
            NodeInfo* record;
            if (childPtr->GetPrincipalInterfaceType() == QxGenApi::intfICategory) {
                m_building->categories.push_back(std::make_unique<CategoryNodeInfo>());
                CategoryNodeInfo* cat = m_building->categories.back().get();
                if (std::find(m_path.begin(), m_path.end(), child) != m_path.end()) {
                    // A category inside itself: listed, not expanded again.
                    QX_LOG_WARN("func:{}, category {} contains itself", child->GetName());
                } else {
                    const QX_STATUS s = getNodeGroup(child, &cat->stChildren);
                    if (s != QX_OK) QX_LOG_DEBUG("func:{}, getGroupNode error:0x{:x}", s);
                }
                cat->stNode.isCategory = 1;
                record = &cat->stNode;
            } else {
                m_building->features.push_back(std::make_unique<NodeInfo>());
                record = m_building->features.back().get();
                record->isCategory = 0;
                m_building->nodeInfo[child] = record;
                if (m_registered.insert(child).second) {
                    try {
                        child->RegisterCallback(m_onNodeUpdated, QxGenApi::cbPostInsideLock);
                    } catch (...) {
                        m_registered.erase(child);
                        throw;
                    }
                }
            }
            const QX_STATUS s = getNodeBaseInfo(record, child);
            if (s != QX_OK) QX_LOG_DEBUG("func:{}, getNodeBaseInfo error:0x{:x}", s);
            array[out->nCount] = record;
            ++out->nCount;
        }
        return QX_OK;
    } catch (...) {
        QX_LOG_WARN("func:{} failed");
        return QX_ERR_GENICAM;
    }
}

std::string NodeTree::addressPrefix(INode* node) {
    auto addressText = [](int64_t address) {
        char text[48];
        std::snprintf(text, sizeof text, "(addr:0x%08llX) ", static_cast<unsigned long long>(address));
        return std::string(text);
    };
    CRegisterPtr reg = node;
    if (reg) return addressText(reg->GetAddress());
    QxGenApi::node_vector children;
    node->GetChildren(children, QxGenApi::ctReadingChildren);
    if (children.empty()) return "(no-addr) ";
    const std::string name = node->GetName();
    for (INode* child : children) {
        if (!child || child->GetName().compare(0, name.size(), name) != 0) continue;
        CRegisterPtr childReg = child;
        if (childReg) return addressText(childReg->GetAddress());
    }
    return "(unknow-addr) ";
}

QX_STATUS NodeTree::getNodeBaseInfo(NodeInfo* record, INode* node) {
    try {
        record->strName = keepText(node->GetName());
        record->strDisplayName = keepText(node->GetDisplayName());
        record->nInterfaceType = interfaceTypeCode(node->GetPrincipalInterfaceType());
        std::string prefix;
        if (record->nInterfaceType != QX_NODE_ICATEGORY) prefix = addressPrefix(node);
        record->strToolTip = keepText(prefix + node->GetToolTip());
        record->strDescription = keepText(prefix + node->GetDescription());
        record->nAccessMode = accessModeCode(node->GetAccessMode());
        record->isStreamable = node->IsStreamable() ? 1 : 0;
        record->nVisibility = visibilityCode(node->GetVisibility());
        return QX_OK;
    } catch (...) {
        record->strName = keepText(std::string());
        record->strDisplayName = keepText(std::string());
        record->strToolTip = keepText(std::string());
        record->strDescription = keepText(std::string());
        QX_LOG_WARN("func:{} failed");
        return QX_ERR_GENICAM;
    }
}

} // namespace qx::feature
