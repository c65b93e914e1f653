// BooleanNode: a <Boolean> over a literal <Value> or a <pValue> number node; true is
// <OnValue> (default 1), false <OffValue> (default 0). Reading a value that is neither gives
// true unless it equals OffValue; with verify it throws OutOfRangeException.
#pragma once
#include "GenApi/Node.h"

namespace QxGenApi::detail {

class BooleanNode : public Node, public IBoolean {
public:
    using Node::Node;
    void configure(const NodeDesc& desc) override;
    void link() override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIBoolean; }

    void SetValue(bool value, bool verify = true) override;
    bool GetValue(bool verify = false, bool ignoreCache = false) override;
    gcstring ToString(bool verify = false, bool ignoreCache = false) override;
    void FromString(const gcstring& valueString, bool verify = true) override;
    bool IsValueCacheValid() const override { return m_value.cacheValid(); }
    void checkWriteInt(int64_t value, bool verify) override;

protected:
    EAccessMode ownAccessMode() const override { return m_value.access(); }

private:
    NumberRef m_value;
    int64_t m_on = 1;
    int64_t m_off = 0;
};

} // namespace QxGenApi::detail
