// XmlLoader: reads a GenICam description file (schema 1.0 or 1.1) with pugixml into a neutral
// Description: one NodeDesc per node element, each with its property elements in file order.
// It deals with the file's form so the node classes need not: the text ends at its first NUL,
// a BOM and comments are skipped, Group elements are flattened, each StructEntry of a StructReg
// becomes a MaskedIntReg carrying the StructReg's shared properties, Extension elements and
// unknown elements are dropped, and duplicate nodes are merged when identical (Port nodes of
// the same name always, as the GigE connect's ConnectorDevice -> Device rewrite produces them)
// and refused otherwise. Anything it cannot load throws RuntimeException with the reason.
#pragma once
#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace QxGenApi::detail {

// One property element of a node (e.g. <pValue>X</pValue>, <ValueIndexed Index="2">5</...>),
// with nested elements for inline nodes (an address IntSwissKnife, an EnumEntry).
struct Prop {
    std::string name;
    std::string text; // character data, trimmed
    std::vector<std::pair<std::string, std::string>> attrs;
    std::vector<Prop> children;

    const std::string* attr(std::string_view attrName) const;
    const Prop* first(std::string_view childName) const;
};

struct NodeDesc {
    std::string kind; // element name: Integer, IntReg, Enumeration, ...
    std::string name;
    std::string nameSpace; // "Standard" or "Custom" (empty when the file gives none)
    std::vector<Prop> props;
    size_t offset = 0; // byte offset of the element in the text, for messages

    const Prop* first(std::string_view propName) const;
};

struct Description {
    std::vector<NodeDesc> nodes;                  // in file order, duplicates merged
    std::map<std::string, std::string> rootAttrs; // attributes of RegisterDescription
    std::set<std::string> ignoredNames;           // names of unknown elements that were dropped
};

// Loads the text (length bytes, or up to its first NUL if earlier).
std::shared_ptr<Description> LoadDescription(const char* text, size_t length);

// Node kinds the engine builds.
bool IsKnownNodeKind(const std::string& kind);

// A text equal for two node descriptions exactly when they define the same node.
std::string DescriptionFingerprint(const NodeDesc& node);

} // namespace QxGenApi::detail
