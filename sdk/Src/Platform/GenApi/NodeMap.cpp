#include "GenApi/NodeMap.h"

#include <algorithm>
#include <cstdlib>

#include "GenApi/BooleanNode.h"
#include "GenApi/CategoryNode.h"
#include "GenApi/CommandNode.h"
#include "GenApi/EnumerationNodes.h"
#include "GenApi/FloatNode.h"
#include "GenApi/FormulaNodes.h"
#include "GenApi/IntegerNode.h"
#include "GenApi/Node.h"
#include "GenApi/PortNode.h"
#include "GenApi/RegisterNodes.h"
#include "GenApi/StringNode.h"

using namespace std::string_view_literals;

namespace QxGenApi::detail {

// ---------------------------------------------------------------------------------------------
// Scope

Scope::Scope(const NodeMapImpl& map) : m_map(const_cast<NodeMapImpl&>(map)) {
    m_map.GetLock().lock();
    m_tooDeep = !m_map.enter();
}

Scope::~Scope() {
    std::vector<NodeMapImpl::PendingCall> outside;
    m_map.leave(outside);
    m_map.GetLock().unlock();
    for (auto& call : outside) {
        try {
            call.first(call.second);
        } catch (...) {
        }
    }
}

void Scope::checkDepth() const {
    if (m_tooDeep) {
        QX_GENAPI_THROW(LogicalErrorException,
                        "node access nested deeper than %d calls or too complex (a runaway chain of links)",
                        NodeMapImpl::kMaxCallDepth);
    }
}

// ---------------------------------------------------------------------------------------------
// Building

namespace {

std::unique_ptr<Node> createNode(NodeMapImpl& map, const NodeDesc& d) {
    const std::string& k = d.kind;
    if (k == "Integer"sv) return std::make_unique<IntegerNode>(map, d);
    if (k == "IntReg"sv) return std::make_unique<IntRegNode>(map, d);
    if (k == "MaskedIntReg"sv) return std::make_unique<MaskedIntRegNode>(map, d);
    if (k == "Float"sv) return std::make_unique<FloatNode>(map, d);
    if (k == "FloatReg"sv) return std::make_unique<FloatRegNode>(map, d);
    if (k == "Converter"sv) return std::make_unique<ConverterNode>(map, d);
    if (k == "IntConverter"sv) return std::make_unique<IntConverterNode>(map, d);
    if (k == "SwissKnife"sv) return std::make_unique<SwissKnifeNode>(map, d);
    if (k == "IntSwissKnife"sv) return std::make_unique<IntSwissKnifeNode>(map, d);
    if (k == "Boolean"sv) return std::make_unique<BooleanNode>(map, d);
    if (k == "Command"sv) return std::make_unique<CommandNode>(map, d);
    if (k == "String"sv) return std::make_unique<StringNode>(map, d);
    if (k == "StringReg"sv) return std::make_unique<StringRegNode>(map, d);
    if (k == "Register"sv) return std::make_unique<RegisterNode>(map, d);
    if (k == "Enumeration"sv) return std::make_unique<EnumerationNode>(map, d);
    if (k == "Category"sv) return std::make_unique<CategoryNode>(map, d);
    if (k == "Port"sv) return std::make_unique<PortNode>(map, d);
    return std::make_unique<PlainNode>(map, d);
}

bool isValueEdge(Edge e) { return e == Edge::Value || e == Edge::Read || e == Edge::WriteOnly; }

bool isDependencyEdge(Edge e) {
    return e == Edge::Value || e == Edge::Read || e == Edge::Bound || e == Edge::Access || e == Edge::Invalidator;
}

} // namespace

NodeMapImpl::NodeMapImpl(const Description& desc, const std::string& deviceName) : m_deviceName(deviceName) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    build(desc);
}

NodeMapImpl::~NodeMapImpl() = default;

Node* NodeMapImpl::adopt(std::unique_ptr<Node> node) {
    Node* raw = node.get();
    if (!m_byName.emplace(raw->name(), raw).second) {
        QX_GENAPI_THROW(RuntimeException, "description file: node '%s' is defined twice", raw->name().c_str());
    }
    raw->index = m_nodes.size();
    m_nodes.push_back(std::move(node));
    return raw;
}

Node* NodeMapImpl::adoptEmbedded(const NodeDesc& desc) {
    std::string print = DescriptionFingerprint(desc);
    auto it = m_embedded.find(desc.name);
    if (it != m_embedded.end() && it->second.first == print) return it->second.second;
    std::unique_ptr<Node> node = createNode(*this, desc);
    node->configure(desc);
    Node* raw = adopt(std::move(node));
    m_embedded[desc.name] = {std::move(print), raw};
    return raw;
}

void NodeMapImpl::build(const Description& desc) {
    m_rootAttrs = desc.rootAttrs;
    m_ignored = desc.ignoredNames;
    m_nodes.reserve(desc.nodes.size());
    std::vector<Node*> top;
    top.reserve(desc.nodes.size());
    for (const NodeDesc& d : desc.nodes) top.push_back(adopt(createNode(*this, d)));
    for (size_t i = 0; i < top.size(); ++i) top[i]->configure(desc.nodes[i]);
    for (size_t i = 0; i < m_nodes.size(); ++i) m_nodes[i]->link();
    for (auto& n : m_nodes) {
        for (const Node::Link& l : n->links()) l.node->parentLinks().push_back({l.edge, n.get()});
    }
    checkCycles();
    markFeatures();
    for (auto& n : m_nodes) {
        if (n->GetPollingTime() > 0) m_polled.push_back(n.get());
    }
}

void NodeMapImpl::checkCycles() const {
    // Iterative depth-first search: values (pValue, pVariable, addresses, ...) must not depend on
    // themselves, nor may categories contain themselves.
    for (int pass = 0; pass < 2; ++pass) {
        auto follows = [pass](Edge e) { return pass == 0 ? isValueEdge(e) : e == Edge::Feature; };
        std::vector<uint8_t> state(m_nodes.size(), 0); // by node index: 1 on the stack, 2 done
        std::vector<std::pair<const Node*, size_t>> stack;
        for (const auto& start : m_nodes) {
            if (state[start->index]) continue;
            stack.assign(1, {start.get(), 0});
            state[start->index] = 1;
            while (!stack.empty()) {
                auto& top = stack.back();
                const auto& links = top.first->links();
                if (top.second >= links.size()) {
                    state[top.first->index] = 2;
                    stack.pop_back();
                    continue;
                }
                const Node::Link& l = links[top.second++];
                if (!follows(l.edge)) continue;
                uint8_t& st = state[l.node->index];
                if (st == 1) {
                    std::string path;
                    bool on = false;
                    for (const auto& f : stack) {
                        if (f.first == l.node) on = true;
                        if (on) path += f.first->name() + " -> ";
                    }
                    path += l.node->name();
                    QX_GENAPI_THROW(RuntimeException, "description file: reference cycle %s%s",
                                    pass ? "of categories " : "", path.c_str());
                }
                if (st == 0) {
                    st = 1;
                    stack.push_back({l.node, 0});
                }
            }
        }
    }
}

void NodeMapImpl::markFeatures() {
    Node* root = find("Root");
    if (!root) return;
    std::vector<Node*> todo{root};
    std::unordered_set<Node*> seen{root};
    while (!todo.empty()) {
        Node* n = todo.back();
        todo.pop_back();
        n->setFeature();
        for (const Node::Link& l : n->links()) {
            if (l.edge == Edge::Feature && seen.insert(l.node).second) todo.push_back(l.node);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// INodeMap

void NodeMapImpl::GetNodes(node_vector& nodes) const {
    nodes.clear();
    nodes.reserve(m_nodes.size());
    for (const auto& n : m_nodes) nodes.push_back(n.get());
}

INode* NodeMapImpl::GetNode(const gcstring& name) const { return find(name); }

Node* NodeMapImpl::find(const std::string& name) const {
    auto it = m_byName.find(name);
    return it == m_byName.end() ? nullptr : it->second;
}

void NodeMapImpl::InvalidateNodes() const {
    Scope s(*this);
    bumpEpoch();
    for (const auto& n : m_nodes) n->invalidateCache();
}

bool NodeMapImpl::Connect(IPort* port, const gcstring& portName) {
    Scope s(*this);
    auto* p = dynamic_cast<PortNode*>(find(portName));
    if (!p) return false;
    p->connect(port);
    bumpEpoch();
    for (RegisterNodeBase* r : m_registersByPort[p]) r->invalidateCache();
    return true;
}

void NodeMapImpl::GetSchemaVersion(int64_t& major, int64_t& minor, int64_t& subMinor) const {
    major = std::atoll(rootAttr("SchemaMajorVersion").c_str());
    minor = std::atoll(rootAttr("SchemaMinorVersion").c_str());
    subMinor = std::atoll(rootAttr("SchemaSubMinorVersion").c_str());
}

void NodeMapImpl::GetDeviceVersion(int64_t& major, int64_t& minor, int64_t& subMinor) const {
    major = std::atoll(rootAttr("MajorVersion").c_str());
    minor = std::atoll(rootAttr("MinorVersion").c_str());
    subMinor = std::atoll(rootAttr("SubMinorVersion").c_str());
}

std::string NodeMapImpl::rootAttr(const char* name) const {
    auto it = m_rootAttrs.find(name);
    return it == m_rootAttrs.end() ? std::string() : it->second;
}

void NodeMapImpl::Poll(int64_t elapsedTime) {
    Scope s(*this);
    for (Node* n : m_polled) {
        resetWork();
        n->pollElapsed += elapsedTime;
        if (n->pollElapsed < n->GetPollingTime()) continue;
        n->pollElapsed = 0;
        std::string before;
        bool haveBefore = n->pollHasLast;
        if (haveBefore) {
            before = n->pollLast;
        } else {
            try {
                before = n->pollFingerprint(false);
                haveBefore = true;
            } catch (...) {
            }
        }
        std::string after;
        try {
            after = n->pollFingerprint(true);
        } catch (...) {
            continue; // a failing read during a poll is not reported
        }
        n->pollHasLast = true;
        n->pollLast = after;
        if (haveBefore && before != after) onModified(n);
    }
}

// ---------------------------------------------------------------------------------------------
// Changes, invalidation and callbacks

const std::vector<Node*>& NodeMapImpl::dependents(Node* node) const {
    if (node->dependentsComputed()) return node->dependentsCache();
    std::vector<Node*> out;
    std::unordered_set<Node*> seen{node};
    std::vector<Node*> todo{node};
    while (!todo.empty()) {
        Node* n = todo.back();
        todo.pop_back();
        auto visit = [&](Node* d) {
            if (seen.insert(d).second) {
                out.push_back(d);
                todo.push_back(d);
            }
        };
        for (const Node::Link& l : n->parentLinks()) {
            if (isDependencyEdge(l.edge)) visit(l.node);
        }
        for (const Node::Link& l : n->links()) {
            if (l.edge == Edge::Selected) visit(l.node);
        }
    }
    node->dependentsCache() = std::move(out);
    node->dependentsComputed() = true;
    return node->dependentsCache();
}

void NodeMapImpl::queueCallbacks(Node* node) {
    if (node->hasCallbacks() && m_pendingSet.insert(node).second) m_pending.push_back(node);
}

void NodeMapImpl::onModified(Node* node) {
    bumpEpoch();
    queueCallbacks(node);
    for (Node* d : dependents(node)) {
        d->invalidateCache();
        queueCallbacks(d);
    }
}

void NodeMapImpl::onRegisterWritten(RegisterNodeBase* reg, PortNode* port, int64_t address, int64_t length) {
    auto it = m_registersByPort.find(port);
    if (it != m_registersByPort.end()) {
        for (RegisterNodeBase* other : it->second) {
            if (other != reg && other->dropOverlapping(address, length)) onModified(other);
        }
    }
    onModified(reg);
}

void NodeMapImpl::leave(std::vector<PendingCall>& outside) const {
    if (--m_depth > 0) return;
    if (m_flushing || m_pending.empty()) return;
    m_flushing = true;
    // Callbacks may change further nodes; those are fired in the next round.
    for (int round = 0; round < 16 && !m_pending.empty(); ++round) {
        std::vector<Node*> batch;
        batch.swap(m_pending);
        m_pendingSet.clear();
        for (Node* n : batch) n->fireCallbacks(outside);
    }
    m_pending.clear();
    m_pendingSet.clear();
    m_flushing = false;
}

} // namespace QxGenApi::detail
