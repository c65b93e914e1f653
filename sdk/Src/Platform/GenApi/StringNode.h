// StringNode: a <String> with a literal <Value> (writable in place) or a <pValue> string node.
#pragma once
#include "GenApi/Node.h"

namespace QxGenApi::detail {

class StringNode : public Node, public IString {
public:
    using Node::Node;
    void configure(const NodeDesc& desc) override;
    void link() override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIString; }

    void SetValue(const gcstring& value, bool verify = true) override;
    gcstring GetValue(bool verify = false, bool ignoreCache = false) override;
    int64_t GetMaxLength() override;
    gcstring ToString(bool verify = false, bool ignoreCache = false) override { return GetValue(verify, ignoreCache); }
    void FromString(const gcstring& valueString, bool verify = true) override { SetValue(valueString, verify); }
    bool IsValueCacheValid() const override;

protected:
    EAccessMode ownAccessMode() const override;

private:
    std::string m_literal;
    std::string m_pValueName;
    IString* m_target = nullptr;
    Node* m_targetNode = nullptr;
};

} // namespace QxGenApi::detail
