#include "GenApi/NodeMapRef.h"

#include <fstream>
#include <sstream>

#include "GenApi/Exceptions.h"
#include "GenApi/NodeMap.h"
#include "GenApi/XmlLoader.h"

namespace QxGenApi {

CNodeMapFactory::CNodeMapFactory() = default;

CNodeMapFactory::CNodeMapFactory(ContentType_t contentType, const void* data, size_t size, CacheUsage_t, bool) {
    if (contentType != ContentType_Xml) {
        QX_GENAPI_THROW(RuntimeException, "CNodeMapFactory: only uncompressed XML content is supported");
    }
    if (!data && size) QX_GENAPI_THROW(InvalidArgumentException, "CNodeMapFactory: null data");
    if (data) m_text.assign(static_cast<const char*>(data), size);
    m_hasContent = true;
}

CNodeMapFactory::CNodeMapFactory(ContentType_t contentType, const gcstring& fileName, CacheUsage_t, bool) {
    if (contentType != ContentType_Xml) {
        QX_GENAPI_THROW(RuntimeException, "CNodeMapFactory: only uncompressed XML content is supported");
    }
    std::ifstream in(fileName, std::ios::binary);
    if (!in) QX_GENAPI_THROW(RuntimeException, "CNodeMapFactory: cannot read '%s'", fileName.c_str());
    std::ostringstream ss;
    ss << in.rdbuf();
    m_text = ss.str();
    m_hasContent = true;
}

CNodeMapFactory::~CNodeMapFactory() = default;

bool CNodeMapFactory::IsEmpty() const { return !m_hasContent; }

INodeMap* CNodeMapFactory::CreateNodeMap(const gcstring& deviceName, bool doReleaseCachedData) {
    if (!m_hasContent) QX_GENAPI_THROW(RuntimeException, "CNodeMapFactory: no description file given");
    if (!m_parsed) m_parsed = detail::LoadDescription(m_text.data(), m_text.size());
    auto map = std::make_unique<detail::NodeMapImpl>(*m_parsed, deviceName);
    if (doReleaseCachedData) m_parsed.reset();
    return map.release();
}

void CNodeMapFactory::ClearCache() {}

CNodeMapRef::CNodeMapRef(const gcstring& deviceName) : m_deviceName(deviceName) {}

CNodeMapRef::~CNodeMapRef() = default;

void CNodeMapRef::_Initialize(INodeMap* nodeMap) {
    if (m_map) {
        delete nodeMap;
        QX_GENAPI_THROW(RuntimeException, "Node map already created");
    }
    if (!nodeMap) QX_GENAPI_THROW(InvalidArgumentException, "CNodeMapRef::_Initialize: null node map");
    m_map.reset(nodeMap);
}

void CNodeMapRef::_LoadXMLFromString(const gcstring& xml) {
    if (m_map) QX_GENAPI_THROW(RuntimeException, "Node map already created");
    CNodeMapFactory factory(ContentType_Xml, xml.data(), xml.size());
    _Initialize(factory.CreateNodeMap(m_deviceName));
}

void CNodeMapRef::_LoadXMLFromFile(const gcstring& fileName) {
    if (m_map) QX_GENAPI_THROW(RuntimeException, "Node map already created");
    CNodeMapFactory factory(ContentType_Xml, fileName);
    _Initialize(factory.CreateNodeMap(m_deviceName));
}

void CNodeMapRef::_Destroy() { m_map.reset(); }

bool CNodeMapRef::_Connect(IPort* port, const gcstring& portName) {
    if (!m_map) QX_GENAPI_THROW(AccessException, "_Connect: no node map (load a description file first)");
    return m_map->Connect(port, portName);
}

bool CNodeMapRef::_Connect(IPort* port) { return _Connect(port, "Device"); }

INode* CNodeMapRef::_GetNode(const gcstring& name) const { return m_map ? m_map->GetNode(name) : nullptr; }

void CNodeMapRef::_GetNodes(node_vector& nodes) const {
    nodes.clear();
    if (m_map) m_map->GetNodes(nodes);
}

void CNodeMapRef::_InvalidateNodes() const {
    if (m_map) m_map->InvalidateNodes();
}

void CNodeMapRef::_Poll(int64_t elapsedTime) {
    if (m_map) m_map->Poll(elapsedTime);
}

} // namespace QxGenApi
