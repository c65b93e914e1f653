// EnumerationNode and EnumEntryNode: an <Enumeration> with its <EnumEntry> children. The
// value is a literal <Value> or a <pValue> integer node; each entry is a node of its own in
// the map, named "EnumEntry_<Enumeration>_<Entry>" (its symbolic name is the entry's Name, or
// <Symbolic>), with its own pIsImplemented / pIsAvailable. Setting a value that no entry has,
// or whose entry is not available, is refused.
#pragma once
#include "GenApi/Node.h"

namespace QxGenApi::detail {

class EnumEntryNode : public Node, public IEnumEntry {
public:
    EnumEntryNode(NodeMapImpl& map, const NodeDesc& desc, std::string symbolic);
    void configure(const NodeDesc& desc) override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIEnumEntry; }
    gcstring GetDisplayName() const override { return m_displayName.empty() ? m_symbolic : m_displayName; }

    int64_t GetValue() override { return m_value; }
    gcstring GetSymbolic() const override { return m_symbolic; }
    double GetNumericValue() override { return m_numeric; }
    bool IsSelfClearing() override { return m_selfClearing; }
    gcstring ToString(bool = false, bool = false) override { return m_symbolic; }
    bool IsValueCacheValid() const override { return true; }

    int64_t value() const { return m_value; }
    const std::string& symbolic() const { return m_symbolic; }

private:
    std::string m_symbolic;
    int64_t m_value = 0;
    double m_numeric = 0;
    bool m_selfClearing = false;
};

class EnumerationNode : public Node, public IEnumeration {
public:
    using Node::Node;
    void configure(const NodeDesc& desc) override;
    void link() override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIEnumeration; }

    void GetSymbolics(StringList_t& symbolics) override;
    void GetEntries(node_vector& entries) override;
    void SetIntValue(int64_t value, bool verify = true) override;
    int64_t GetIntValue(bool verify = false, bool ignoreCache = false) override;
    IEnumEntry* GetEntryByName(const gcstring& symbolic) override;
    IEnumEntry* GetEntry(int64_t value) override;
    IEnumEntry* GetCurrentEntry(bool verify = false, bool ignoreCache = false) override;

    gcstring ToString(bool verify = false, bool ignoreCache = false) override;
    void FromString(const gcstring& valueString, bool verify = true) override;
    bool IsValueCacheValid() const override { return m_value.cacheValid(); }
    void checkWriteInt(int64_t value, bool verify) override;

protected:
    EAccessMode ownAccessMode() const override { return m_value.access(); }

private:
    EnumEntryNode* entryFor(int64_t value) const;
    // Throws unless value is the value of an available entry.
    void checkEntry(int64_t value);
    NumberRef m_value;
    std::vector<EnumEntryNode*> m_entries;
};

} // namespace QxGenApi::detail
