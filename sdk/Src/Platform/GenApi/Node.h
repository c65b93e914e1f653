// Node: the base of every node of a QxGenApi node map. It holds what all node kinds share:
// name, name space, texts, visibility, ImposedAccessMode, pIsImplemented / pIsAvailable /
// pIsLocked, pInvalidator, pSelected, polling time, links to other nodes and the node's
// callbacks. It implements INode, IValue and ISelector; each node kind (one file each, or a
// small group) derives from it and adds its value interface. The access mode is computed
// afresh on every call (never cached) with cycle detection, and never throws.
//
// Loading runs in two steps driven by NodeMapImpl: configure() reads the node's properties from
// its NodeDesc, link() resolves the names it refers to into nodes (a dangling name throws
// RuntimeException) and records each link as an edge of a kind, from which the node map derives
// GetChildren, GetParents, the dependency closure (for invalidation and callbacks) and the cycle
// check.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "GenApi/Exceptions.h"
#include "GenApi/Interfaces.h"
#include "GenApi/XmlLoader.h"

namespace QxGenApi::detail {

class NodeMapImpl;
class Node;

// Kind of a link from one node to another.
enum class Edge : uint8_t {
    Value,       // pValue: read and written
    Read,        // pVariable, pAddress, pIndex, pLength, pOffset, pCommandValue, pValueIndexed ...
    Bound,       // pMin, pMax, pInc
    WriteOnly,   // pValueCopy
    Access,      // pIsImplemented, pIsAvailable, pIsLocked
    Invalidator, // pInvalidator: the target's changes invalidate this node
    Selected,    // pSelected: this node selects the target
    Feature,     // pFeature of a category
    Port,        // pPort of a register
    Other        // pAlias, pCastAlias, entries of an enumeration
};

// Holds the node-map lock for one public call and counts the nesting of calls; the outermost
// scope fires the callbacks queued during the call when it ends.
class Scope {
public:
    explicit Scope(const NodeMapImpl& map);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    // True when the calls nest deeper than the engine allows (a runaway chain of links).
    bool tooDeep() const { return m_tooDeep; }
    // Throws LogicalErrorException when tooDeep().
    void checkDepth() const;

private:
    NodeMapImpl& m_map;
    bool m_tooDeep = false;
};

// A numeric property that is either a literal (writable) or a link to a node read as a number
// (IInteger, IFloat, IEnumeration, IBoolean or IEnumEntry). An enumeration stands for its
// current entry's NumericValue (the entry's Value when it has none; rounded where an integer is
// read); a register value that matches no entry fails the read. A number written to an
// enumeration selects the entry of that NumericValue.
class NumberRef {
public:
    bool isSet() const { return m_kind != Kind::None; }
    bool isNode() const { return m_kind == Kind::NodeRef; }
    bool isFloatLiteral() const { return m_kind == Kind::Float; }
    Node* node() const { return m_node; }
    const std::string& name() const { return m_name; }

    void setLiteral(int64_t v) {
        m_kind = Kind::Int;
        m_int = v;
        m_float = static_cast<double>(v);
    }
    void setLiteral(double v);
    void setName(const std::string& nodeName, const char* prop) {
        m_kind = Kind::NodeRef;
        m_name = nodeName;
        m_prop = prop;
    }
    // Resolves the name (RuntimeException when dangling or not a number node).
    void resolve(Node& owner, Edge edge);

    int64_t getInt(bool verify = false, bool ignoreCache = false) const;
    double getFloat(bool verify = false, bool ignoreCache = false) const;
    // Writes a literal in place or the node through its own SetValue.
    void writeInt(int64_t v, bool verify);
    void writeFloat(double v, bool verify);
    // Throws what writeInt / writeFloat would refuse with, writing nothing (Node::checkWriteInt).
    void checkWriteInt(int64_t v, bool verify) const;
    void checkWriteFloat(double v, bool verify) const;
    EAccessMode access() const;
    // Bounds of the linked node (its own type's bounds); literal: the literal.
    int64_t minInt() const;
    int64_t maxInt() const;
    int64_t incInt() const;
    double minFloat() const;
    double maxFloat() const;
    // A node whose number is an integer (an enumeration's NumericValue need not be).
    bool isIntegerNode() const { return m_intf != nullptr || m_bool != nullptr || m_entry != nullptr; }
    IInteger* integer() const { return m_intf; }
    IFloat* floating() const { return m_floatIf; }
    bool cacheValid() const;

private:
    // The linked enumeration's current entry's NumericValue; OutOfRangeException when its value
    // matches no entry.
    double enumNumber(bool verify, bool ignoreCache) const;
    // The Value of the enumeration's entry whose NumericValue is `number` (an available one
    // first); OutOfRangeException when no entry has it.
    int64_t enumValueOf(double number) const;
    enum class Kind { None, Int, Float, NodeRef } m_kind = Kind::None;
    int64_t m_int = 0;
    double m_float = 0;
    std::string m_name;
    const char* m_prop = "";
    Node* m_node = nullptr;
    IInteger* m_intf = nullptr;
    IFloat* m_floatIf = nullptr;
    IEnumeration* m_enum = nullptr;
    IBoolean* m_bool = nullptr;
    IEnumEntry* m_entry = nullptr;
};

// Literal parsing shared by the node kinds; RuntimeException naming the node and property.
int64_t ParseIntLiteral(const std::string& text, const std::string& node, const char* prop);
double ParseFloatLiteral(const std::string& text, const std::string& node, const char* prop);
bool ParseYesNo(const std::string& text);

class Node : public virtual INode, public virtual IValue, public virtual ISelector {
public:
    // Reads a <Literal>/<pPointer> pair of props into a NumberRef (the pointer wins).
    static void readNumber(const NodeDesc& d, const char* literalProp, const char* pointerProp, NumberRef& ref,
                           bool asFloat = false);
    Node(NodeMapImpl& map, const NodeDesc& desc);
    ~Node() override;

    // Load steps.
    virtual void configure(const NodeDesc& desc);
    virtual void link();

    // INode
    gcstring GetName(bool fullQualified = false) const override;
    ENameSpace GetNameSpace() const override { return m_nameSpace; }
    EVisibility GetVisibility() const override { return m_visibility; }
    gcstring GetDisplayName() const override;
    gcstring GetToolTip() const override;
    gcstring GetDescription() const override;
    gcstring GetDocuURL() const override { return m_docuUrl; }
    gcstring GetDeviceName() const override;
    gcstring GetEventID() const override { return m_eventId; }
    INodeMap* GetNodeMap() const override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfIBase; }
    ECachingMode GetCachingMode() const override { return NoCache; }
    int64_t GetPollingTime() const override { return m_pollingTime; }
    bool IsStreamable() const override { return m_streamable; }
    bool IsFeature() const override { return m_isFeature; }
    bool IsDeprecated() const override { return m_deprecated; }
    bool IsCachable() const override { return GetCachingMode() != NoCache; }
    INode* GetAlias() const override;
    INode* GetCastAlias() const override;
    void GetChildren(node_vector& children, ELinkType linkType = ctWritingChildren) const override;
    void GetParents(node_vector& parents) const override;
    CallbackHandleType RegisterCallback(std::function<void(INode*)> callback,
                                        ECallbackType type = cbPostInsideLock) override;
    bool DeregisterCallback(CallbackHandleType handle) override;
    void InvalidateNode() override;
    void ImposeAccessMode(EAccessMode mode) override;
    void ImposeVisibility(EVisibility visibility) override;

    // IBase
    EAccessMode GetAccessMode() const final;

    // IValue (nodes without a text form throw LogicalErrorException)
    INode* GetNode() override { return this; }
    gcstring ToString(bool verify = false, bool ignoreCache = false) override;
    void FromString(const gcstring& valueString, bool verify = true) override;
    bool IsValueCacheValid() const override { return false; }

    // ISelector
    bool IsSelector() const override { return !m_selected.empty(); }
    void GetSelectedFeatures(FeatureList_t& features) const override;
    void GetSelectingFeatures(FeatureList_t& features) const override;

    // Engine internals -------------------------------------------------------------------
    const std::string& name() const { return m_name; }
    NodeMapImpl& map() const { return m_map; }
    const std::string& kind() const { return m_kind; }
    struct Link {
        Edge edge;
        Node* node;
    };
    const std::vector<Link>& links() const { return m_links; }
    std::vector<Link>& parentLinks() { return m_parents; }
    // Drops cached register contents held by this node (registers only).
    virtual void invalidateCache() {}
    // Text form used by Poll to detect a change (empty when unreadable).
    virtual std::string pollFingerprint(bool ignoreCache);
    bool hasCallbacks() const { return !m_callbacks.empty(); }
    // Fires the inside-lock callbacks (exceptions from callbacks are swallowed) and copies the
    // outside-lock ones into `outside` for the caller to fire after unlocking.
    void fireCallbacks(std::vector<std::pair<std::function<void(INode*)>, INode*>>& outside);
    void setFeature() { m_isFeature = true; }
    // Position in the node map's list of nodes (NodeMapImpl::adopt), for per-node tables.
    size_t index = 0;
    std::vector<Node*>& dependentsCache() { return m_dependents; }
    bool& dependentsComputed() { return m_dependentsComputed; }
    // Poll bookkeeping (NodeMapImpl::Poll).
    int64_t pollElapsed = 0;
    bool pollHasLast = false;
    std::string pollLast;

    // Throws what SetValue(v, verify) would refuse the value with (access mode, range, and the
    // same for every node the write goes on to), writing nothing. A node that writes several
    // targets checks them all first, so a refused write changes no register. The base checks
    // the node's own access mode and range; nodes that pass the value on also check their targets.
    virtual void checkWriteInt(int64_t v, bool verify);
    virtual void checkWriteFloat(double v, bool verify);

    // Resolves a node name for property prop (RuntimeException when dangling) and records the link.
    Node* resolveLink(const std::string& nodeName, const char* prop, Edge edge);
    void addLink(Edge edge, Node* target) { m_links.push_back({edge, target}); }

protected:
    // Access mode of the node kind before pIsImplemented/pIsAvailable/pIsLocked and the imposed
    // mode are applied; may read other nodes (a throw counts as NA).
    virtual EAccessMode ownAccessMode() const { return RO; }
    void checkReadable() const;
    void checkWritable() const;
    // Called after the node's own stored value changed (literal nodes): invalidates and queues
    // callbacks of this node and everything that depends on it.
    void notifyModified();
    NodeMapImpl& m_map;
    std::string m_kind;
    std::string m_name;
    ENameSpace m_nameSpace = Custom;
    std::string m_displayName, m_toolTip, m_description, m_docuUrl, m_eventId;
    EVisibility m_visibility = Beginner;
    EAccessMode m_imposed = RW;
    std::vector<NumberRef> m_isImplemented, m_isAvailable, m_isLocked;
    std::vector<std::string> m_invalidatorNames, m_selectedNames;
    std::vector<Node*> m_invalidators, m_selected;
    std::string m_aliasName, m_castAliasName;
    Node* m_alias = nullptr;
    Node* m_castAlias = nullptr;
    int64_t m_pollingTime = -1;
    bool m_streamable = false;
    bool m_deprecated = false;
    bool m_isFeature = false;

private:
    struct CallbackEntry {
        CallbackHandleType handle;
        std::function<void(INode*)> fn;
        ECallbackType type;
    };
    std::vector<Link> m_links;
    std::vector<Link> m_parents;
    std::vector<CallbackEntry> m_callbacks;
    std::vector<Node*> m_dependents;
    bool m_dependentsComputed = false;
    mutable bool m_inAccess = false;
    mutable uint64_t m_accessEpoch = 0;
    mutable EAccessMode m_accessMemo = NA;
};

// The value source of an Integer or a Float: <Value>/<pValue>, or with <pIndex> the
// <ValueIndexed>/<pValueIndexed> entry for the selector's current value, falling back to
// <ValueDefault>/<pValueDefault> and then to the plain value.
class SelectedValue {
public:
    void configure(const NodeDesc& d, bool asFloat);
    void link(Node& owner);
    bool isSet() const { return m_value.isSet() || m_index.isSet(); }
    // The plain <Value>/<pValue>.
    NumberRef& value() const { return m_value; }
    // The source in force now; reads the selector when there is one.
    NumberRef& current(const std::string& nodeName) const;

private:
    mutable NumberRef m_value;
    NumberRef m_index;
    struct Indexed {
        int64_t index;
        NumberRef value;
    };
    mutable std::vector<Indexed> m_indexed;
    mutable NumberRef m_default;
};

// A plain <Node>: texts and links only.
class PlainNode : public Node {
public:
    using Node::Node;
};

} // namespace QxGenApi::detail
