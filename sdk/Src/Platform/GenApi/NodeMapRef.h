// Entry points of the QxGenApi engine: CNodeMapFactory builds a node map from a GenICam
// description file held in memory (or read from disk), and CNodeMapRef owns one node map and
// gives FeatureBase the calls it makes: _Connect a port, _GetNode by name, _Poll, _Destroy.
//
//   QxGenApi::CNodeMapRef ref("Device");
//   QxGenApi::CNodeMapFactory factory(QxGenApi::ContentType_Xml, xml, strlen(xml));
//   ref._Initialize(factory.CreateNodeMap("Device"));
//   ref._Connect(&port0);                      // the Port node "Device"
//   ref._Connect(&port1, "ConnectorDevice");   // false when the file has no such port
//   QxGenApi::CIntegerPtr width = ref._GetNode("Width");
//   width->SetValue(640);
#pragma once
#include <cstddef>
#include <memory>

#include "GenApi/Interfaces.h"

namespace QxGenApi {

enum ContentType_t { ContentType_Xml = 0, ContentType_ZippedXml = 1 };
enum CacheUsage_t {
    CacheUsage_Automatic = 0,
    CacheUsage_ForceWrite = 1,
    CacheUsage_ForceRead = 2,
    CacheUsage_Ignore = 3
};

namespace detail {
struct Description;
}

// Parses a description file and creates node maps from it. The text ends at its first zero
// byte. A text that cannot be loaded makes CreateNodeMap throw RuntimeException with a message
// naming the problem (XML syntax with its offset, a dangling reference, a cycle, ...).
class CNodeMapFactory {
public:
    CNodeMapFactory();
    // The text is copied; the caller's buffer may go away after the constructor returns.
    CNodeMapFactory(ContentType_t contentType, const void* data, size_t size,
                    CacheUsage_t cacheUsage = CacheUsage_Automatic, bool suppressStringsOnLoad = false);
    // Reads the file (RuntimeException when it cannot be read).
    CNodeMapFactory(ContentType_t contentType, const gcstring& fileName, CacheUsage_t cacheUsage = CacheUsage_Automatic,
                    bool suppressStringsOnLoad = false);
    ~CNodeMapFactory();
    CNodeMapFactory(const CNodeMapFactory&) = delete;
    CNodeMapFactory& operator=(const CNodeMapFactory&) = delete;

    bool IsEmpty() const;
    // A new node map; the caller owns it (hand it to CNodeMapRef::_Initialize or delete it).
    // With doReleaseCachedData the parsed file is dropped afterwards.
    INodeMap* CreateNodeMap(const gcstring& deviceName = "Device", bool doReleaseCachedData = true);
    // Kept for the GenApi call sequence; this engine keeps no on-disk cache.
    static void ClearCache();

private:
    std::string m_text;
    bool m_hasContent = false;
    std::shared_ptr<const detail::Description> m_parsed;
};

// Owns one node map (or none) under a device name.
class CNodeMapRef {
public:
    explicit CNodeMapRef(const gcstring& deviceName = "Device");
    ~CNodeMapRef();
    CNodeMapRef(const CNodeMapRef&) = delete;
    CNodeMapRef& operator=(const CNodeMapRef&) = delete;

    // Takes ownership of a node map from CNodeMapFactory::CreateNodeMap. Throws
    // RuntimeException "Node map already created" when one is held (call _Destroy first).
    void _Initialize(INodeMap* nodeMap);
    // Shorthands: factory over the text / the file, then _Initialize.
    void _LoadXMLFromString(const gcstring& xml);
    void _LoadXMLFromFile(const gcstring& fileName);
    // Releases the node map (no-op without one).
    void _Destroy();
    bool _IsInitialized() const { return m_map != nullptr; }

    // Connects the port to the Port node of that name: false when the file has none. Throws
    // AccessException when no node map is held.
    bool _Connect(IPort* port, const gcstring& portName);
    bool _Connect(IPort* port); // the port "Device"

    // The node of that name, or null (also when no node map is held).
    INode* _GetNode(const gcstring& name) const;
    void _GetNodes(node_vector& nodes) const;
    void _InvalidateNodes() const;
    void _Poll(int64_t elapsedTime);
    gcstring _GetDeviceName() const { return m_deviceName; }
    INodeMap* _Ptr() const { return m_map.get(); }

private:
    gcstring m_deviceName;
    std::unique_ptr<INodeMap> m_map;
};

} // namespace QxGenApi
