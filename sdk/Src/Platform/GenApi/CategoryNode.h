// CategoryNode: a <Category>; its <pFeature> list, in file order, is what GetFeatures answers
// (a name of an element the loader dropped as unknown is left out; any other unknown name is a
// dangling reference). Categories are RO and have no value.
#pragma once
#include "GenApi/Node.h"

namespace QxGenApi::detail {

class CategoryNode : public Node, public ICategory {
public:
    using Node::Node;
    void configure(const NodeDesc& desc) override;
    void link() override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfICategory; }
    void GetFeatures(FeatureList_t& features) const override;

private:
    std::vector<std::string> m_featureNames;
    std::vector<Node*> m_features;
};

} // namespace QxGenApi::detail
