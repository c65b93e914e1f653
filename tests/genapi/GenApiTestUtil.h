// Helpers of the QxGenApi tests: wrap node elements into a description file and load it over a
// MemoryPort.
#pragma once
#include <memory>
#include <string>

#include "GenApi/GenApi.h"
#include "MemoryPort.h"

namespace qx::test {

// A RegisterDescription (schema 1.1 unless given) around the body, with the Port "Device".
std::string makeXml(const std::string& body, const std::string& schema = "1_1", bool withPort = true);

// A node map over a fresh MemoryPort.
struct Fixture {
    explicit Fixture(const std::string& body, size_t memory = 0x10000);
    MemoryPort port;
    QxGenApi::CNodeMapRef ref;
    QxGenApi::INode* node(const std::string& name) const { return ref._GetNode(name); }
};

// Creates a node map from the text; throws what the engine throws.
std::unique_ptr<QxGenApi::INodeMap> loadText(const std::string& xml);

} // namespace qx::test
