#include "GenApi/CategoryNode.h"

#include "GenApi/NodeMap.h"

using namespace std::string_view_literals;

namespace QxGenApi::detail {

void CategoryNode::configure(const NodeDesc& d) {
    Node::configure(d);
    for (const Prop& p : d.props) {
        if (p.name == "pFeature"sv) m_featureNames.push_back(p.text);
    }
}

void CategoryNode::link() {
    Node::link();
    for (const std::string& n : m_featureNames) {
        if (!map().find(n) && map().isIgnoredName(n)) continue;
        m_features.push_back(resolveLink(n, "pFeature", Edge::Feature));
    }
}

void CategoryNode::GetFeatures(FeatureList_t& features) const {
    features.clear();
    for (Node* n : m_features) features.push_back(n);
}

} // namespace QxGenApi::detail
