#include "GenApiTestUtil.h"

namespace qx::test {

std::string makeXml(const std::string& body, const std::string& schema, bool withPort) {
    std::string ns = "http://www.genicam.org/GenApi/Version_" + schema;
    std::string major = schema.substr(0, 1);
    std::string minor = schema.substr(2, 1);
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<RegisterDescription ModelName=\"Test\" VendorName=\"Qx\" ToolTip=\"test file\" "
           "StandardNameSpace=\"None\" SchemaMajorVersion=\"" +
           major + "\" SchemaMinorVersion=\"" + minor +
           "\" SchemaSubMinorVersion=\"0\" MajorVersion=\"1\" MinorVersion=\"2\" SubMinorVersion=\"3\" "
           "ProductGuid=\"0\" VersionGuid=\"0\" xmlns=\"" +
           ns + "\">\n" + body + (withPort ? "\n<Port Name=\"Device\" NameSpace=\"Standard\"/>\n" : "\n") +
           "</RegisterDescription>\n";
}

Fixture::Fixture(const std::string& body, size_t memory) : port(memory) { loadNodeMap(ref, makeXml(body), port); }

std::unique_ptr<QxGenApi::INodeMap> loadText(const std::string& xml) {
    QxGenApi::CNodeMapFactory f(QxGenApi::ContentType_Xml, xml.data(), xml.size());
    return std::unique_ptr<QxGenApi::INodeMap>(f.CreateNodeMap("Device"));
}

} // namespace qx::test
