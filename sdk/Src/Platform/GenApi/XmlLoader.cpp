#include "GenApi/XmlLoader.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "GenApi/Exceptions.h"

using namespace std::string_view_literals;

namespace QxGenApi::detail {

namespace {

constexpr int kMaxPropDepth = 32;  // nesting of property elements inside a node
constexpr int kMaxGroupDepth = 64; // nesting of Group elements

const char* const kNodeKinds[] = {
    "Node",     "Category",  "Integer",      "IntReg",     "MaskedIntReg",  "Float",
    "FloatReg", "Converter", "IntConverter", "SwissKnife", "IntSwissKnife", "Boolean",
    "Command",  "String",    "StringReg",    "Register",   "Enumeration",   "Port",
};

std::string localName(const char* qualified) {
    const char* colon = std::strrchr(qualified, ':');
    return colon ? std::string(colon + 1) : std::string(qualified);
}

// The text without leading and trailing blanks.
std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && std::strchr(" \t\r\n", s[b])) ++b;
    while (e > b && std::strchr(" \t\r\n", s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

// Element children of `el`, counted so that the vectors they go into are sized once.
size_t elementCount(const pugi::xml_node& el) {
    size_t n = 0;
    for (const pugi::xml_node& c : el.children()) n += c.type() == pugi::node_element;
    return n;
}

size_t offsetOf(const pugi::xml_node& n) {
    ptrdiff_t off = n.offset_debug();
    return off < 0 ? 0 : static_cast<size_t>(off);
}

Prop readProp(const pugi::xml_node& el, int depth) {
    if (depth > kMaxPropDepth) {
        QX_GENAPI_THROW(RuntimeException, "description file: elements nested too deeply at offset %zu", offsetOf(el));
    }
    Prop p;
    p.name = localName(el.name());
    for (const pugi::xml_attribute& a : el.attributes()) {
        p.attrs.emplace_back(localName(a.name()), a.value());
    }
    // Character data is almost always one piece: trimmed straight from it, without a copy.
    const char* single = nullptr;
    std::string text;
    size_t pieces = 0;
    for (const pugi::xml_node& c : el.children()) {
        if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) {
            if (pieces++ == 0) single = c.value();
            else {
                if (pieces == 2) text = single;
                text += c.value();
            }
        } else if (c.type() == pugi::node_element) {
            std::string childName = localName(c.name());
            if (childName == "Extension"sv) continue;
            if (p.children.empty()) p.children.reserve(elementCount(el));
            p.children.push_back(readProp(c, depth + 1));
        }
    }
    if (pieces == 1) p.text = trim(single);
    else if (pieces > 1) p.text = trim(text);
    return p;
}

NodeDesc makeNode(const pugi::xml_node& el, const std::string& kind) {
    NodeDesc d;
    d.kind = kind;
    d.offset = offsetOf(el);
    d.name = trim(el.attribute("Name").value());
    d.nameSpace = el.attribute("NameSpace").value();
    if (d.name.empty()) {
        QX_GENAPI_THROW(RuntimeException, "description file: <%s> without a Name at offset %zu", kind.c_str(),
                        d.offset);
    }
    d.props.reserve(elementCount(el));
    for (const pugi::xml_node& c : el.children()) {
        if (c.type() != pugi::node_element) continue;
        std::string childName = localName(c.name());
        if (childName == "Extension"sv) continue;
        d.props.push_back(readProp(c, 1));
    }
    return d;
}

// StructReg: one MaskedIntReg per StructEntry, carrying the StructReg's other properties
// (an entry's own property replaces a shared one of the same name).
void expandStructReg(const pugi::xml_node& el, std::vector<NodeDesc>& out) {
    std::vector<Prop> shared;
    std::vector<pugi::xml_node> entries;
    for (const pugi::xml_node& c : el.children()) {
        if (c.type() != pugi::node_element) continue;
        std::string childName = localName(c.name());
        if (childName == "Extension"sv) continue;
        if (childName == "StructEntry"sv) {
            entries.push_back(c);
        } else {
            shared.push_back(readProp(c, 1));
        }
    }
    for (const pugi::xml_node& e : entries) {
        NodeDesc d = makeNode(e, "MaskedIntReg");
        std::vector<Prop> props;
        props.reserve(shared.size() + d.props.size());
        for (const Prop& s : shared) {
            bool overridden = false;
            for (const Prop& own : d.props) {
                if (own.name == s.name) {
                    overridden = true;
                    break;
                }
            }
            if (!overridden) props.push_back(s);
        }
        for (Prop& own : d.props) props.push_back(std::move(own));
        d.props = std::move(props);
        out.push_back(std::move(d));
    }
}

void collect(const pugi::xml_node& parent, int groupDepth, Description& desc, std::vector<NodeDesc>& out) {
    if (groupDepth > kMaxGroupDepth) {
        QX_GENAPI_THROW(RuntimeException, "description file: Group elements nested too deeply at offset %zu",
                        offsetOf(parent));
    }
    for (const pugi::xml_node& c : parent.children()) {
        if (c.type() != pugi::node_element) continue;
        std::string kind = localName(c.name());
        if (kind == "Group"sv) {
            collect(c, groupDepth + 1, desc, out);
        } else if (kind == "StructReg"sv) {
            expandStructReg(c, out);
        } else if (IsKnownNodeKind(kind)) {
            out.push_back(makeNode(c, kind));
        } else {
            // Unknown (or schema 1.0 only) element: dropped. A category may still list it.
            const char* name = c.attribute("Name").value();
            if (name && *name) desc.ignoredNames.insert(trim(name));
        }
    }
}

void fingerprintProp(const Prop& p, std::string& out) {
    out += '<';
    out += p.name;
    auto attrs = p.attrs;
    std::sort(attrs.begin(), attrs.end());
    for (const auto& a : attrs) {
        out += ' ';
        out += a.first;
        out += "=\"";
        out += a.second;
        out += '"';
    }
    out += '>';
    out += p.text;
    for (const Prop& c : p.children) fingerprintProp(c, out);
    out += "</>";
}

} // namespace

std::string DescriptionFingerprint(const NodeDesc& d) {
    std::string out = d.kind + "|" + d.name + "|" + d.nameSpace + "|";
    for (const Prop& p : d.props) fingerprintProp(p, out);
    return out;
}

const std::string* Prop::attr(std::string_view attrName) const {
    for (const auto& a : attrs) {
        if (a.first == attrName) return &a.second;
    }
    return nullptr;
}

const Prop* Prop::first(std::string_view childName) const {
    for (const Prop& c : children) {
        if (c.name == childName) return &c;
    }
    return nullptr;
}

const Prop* NodeDesc::first(std::string_view propName) const {
    for (const Prop& p : props) {
        if (p.name == propName) return &p;
    }
    return nullptr;
}

bool IsKnownNodeKind(const std::string& kind) {
    for (const char* k : kNodeKinds) {
        if (kind == k) return true;
    }
    return false;
}

std::shared_ptr<Description> LoadDescription(const char* text, size_t length) {
    if (!text) QX_GENAPI_THROW(RuntimeException, "description file: no text");
    const void* nul = std::memchr(text, 0, length);
    if (nul) length = static_cast<size_t>(static_cast<const char*>(nul) - text);
    if (length == 0) QX_GENAPI_THROW(RuntimeException, "description file: empty text");

    pugi::xml_document doc;
    pugi::xml_parse_result res = doc.load_buffer(text, length, pugi::parse_default, pugi::encoding_auto);
    if (!res) {
        QX_GENAPI_THROW(RuntimeException, "description file: XML error '%s' at offset %td", res.description(),
                        res.offset);
    }
    pugi::xml_node root = doc.document_element();
    if (!root || localName(root.name()) != "RegisterDescription"sv) {
        QX_GENAPI_THROW(RuntimeException, "description file: the root element is <%s>, not <RegisterDescription>",
                        root ? root.name() : "");
    }
    auto desc = std::make_shared<Description>();
    for (const pugi::xml_attribute& a : root.attributes()) {
        desc->rootAttrs[localName(a.name())] = a.value();
    }
    std::vector<NodeDesc> all;
    collect(root, 0, *desc, all);

    std::unordered_map<std::string, size_t> byName;
    for (NodeDesc& d : all) {
        auto it = byName.find(d.name);
        if (it == byName.end()) {
            byName.emplace(d.name, desc->nodes.size());
            desc->nodes.push_back(std::move(d));
            continue;
        }
        const NodeDesc& kept = desc->nodes[it->second];
        if (kept.kind == "Port"sv && d.kind == "Port"sv) continue;               // same port named twice
        if (DescriptionFingerprint(kept) == DescriptionFingerprint(d)) continue; // identical duplicate
        QX_GENAPI_THROW(RuntimeException,
                        "description file: node '%s' is defined twice, differently (offsets %zu and %zu)",
                        d.name.c_str(), kept.offset, d.offset);
    }
    return desc;
}

} // namespace QxGenApi::detail
