// NodeTree: the node tree of QX_XML_GetNodeTree. It describes every category and
// feature node below the node "Root" by NodeInfo records (88-byte CategoryNodeInfo records for
// categories, with their children), owns every record, text and child array of the last tree
// until the next build or its own destruction, maps each feature node to its record for the
// node events (NodeEvents.h) and registers the node-updated callback on the feature nodes.
// Compiled into the SDK's FeatureBase and into the viewer's variant.
//
// Choices made for sound behaviour:
// - One node callback per node and node map: a rebuilt tree does not register a second one
//   (forgetNodeMap() starts afresh when the node map is rebuilt).
// - A category that contains itself, directly or further down, is listed but not expanded
//   again, so a cyclic description cannot recurse without end.
// - A failed build leaves the caller's list empty (null array, count 0), never pointing into
//   the freed previous tree.
#pragma once
#include "QxCamApi.h"

#include "GenApi/GenApi.h"
#include "feature/NodeEvents.h"

#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace qx::feature {

class NodeTree {
public:
    // `onNodeUpdated` is what the callback registered on each feature node calls.
    NodeTree(NodeEvents& events, std::function<void(QxGenApi::INode*)> onNodeUpdated);
    ~NodeTree();
    NodeTree(const NodeTree&) = delete;
    NodeTree& operator=(const NodeTree&) = delete;

    // Frees the previous tree and fills `list` with the records of the children of "Root".
    QX_STATUS getNodeTree(QxGenApi::CNodeMapRef* nodeMap, NodeInfoList* list);
    // Frees the tree (its records stay alive while a node callback still uses one).
    void clearNodeTree();
    // The node map is about to be destroyed: its nodes' callbacks go with it, and the
    // node-info map of the tree no longer describes live nodes.
    void forgetNodeMap();

    // The address text in front of a feature node's tool tip and description.
    static std::string addressPrefix(QxGenApi::INode* node);

    // Diagnostics (tests): records of the current tree, nodes with a registered callback.
    size_t recordCount() const;
    size_t registeredCount() const { return m_registered.size(); }

private:
    struct Storage;

    QX_STATUS getNodeGroup(QxGenApi::INode* category, NodeInfoList* out);
    QX_STATUS getNodeBaseInfo(NodeInfo* record, QxGenApi::INode* node);
    const char* keepText(const std::string& text);

    NodeEvents& m_events;
    std::function<void(QxGenApi::INode*)> m_onNodeUpdated;
    std::shared_ptr<Storage> m_storage;   // the last tree
    Storage* m_building = nullptr;        // the tree being built
    std::vector<QxGenApi::INode*> m_path; // categories being expanded
    std::unordered_set<QxGenApi::INode*> m_registered;
};

} // namespace qx::feature
