// libFuzzer target: any byte string given to the QxGenApi loader must load or fail with a
// GenICam exception, never crash, hang or leak; a map that loads is then exercised (access
// modes, values as text, bounds, writes of the values read, Poll) over a memory port.
//
//   mkdir -p /tmp/fuzz-genapi && build-fuzz/fuzz/genapi/fuzz_genapi_loader -max_total_time=20 \
//       -dict=fuzz/genapi/genapi.dict /tmp/fuzz-genapi fuzz/genapi/corpus
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "GenApi/GenApi.h"

namespace {

// A 64 KiB register space; accesses outside it fail like a transport would.
class FuzzPort : public QxGenApi::IPort {
public:
    FuzzPort() : m_mem(0x10000, 0) {
        for (size_t i = 0; i < m_mem.size(); ++i) m_mem[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    QxGenApi::EAccessMode GetAccessMode() const override { return QxGenApi::RW; }
    void Read(void* buffer, int64_t address, int64_t length) override {
        check(address, length);
        std::memcpy(buffer, m_mem.data() + address, static_cast<size_t>(length));
    }
    void Write(const void* buffer, int64_t address, int64_t length) override {
        check(address, length);
        std::memcpy(m_mem.data() + address, buffer, static_cast<size_t>(length));
    }

private:
    void check(int64_t address, int64_t length) const {
        if (address < 0 || length < 0 ||
            static_cast<uint64_t>(address) + static_cast<uint64_t>(length) > m_mem.size()) {
            throw QxGenApi::PortException(0x800003FF, "fuzz port: out of range");
        }
    }
    std::vector<uint8_t> m_mem;
};

void exercise(QxGenApi::INodeMap& map) {
    using namespace QxGenApi;
    FuzzPort port;
    map.Connect(&port);
    map.Connect(&port, "ConnectorDevice");
    node_vector nodes;
    map.GetNodes(nodes);
    if (nodes.size() > 400) nodes.resize(400);
    int callbacks = 0;
    for (INode* n : nodes) {
        n->RegisterCallback([&callbacks](INode*) { ++callbacks; });
        n->GetAccessMode();
        node_vector children;
        n->GetChildren(children, ctReadingChildren);
        n->GetChildren(children, ctDependingNodes);
        try {
            if (CIntegerPtr i = n) {
                i->GetMin();
                i->GetMax();
                i->GetInc();
            }
            if (CFloatPtr f = n) {
                f->GetMin();
                f->GetMax();
            }
            if (CCategoryPtr c = n) {
                FeatureList_t features;
                c->GetFeatures(features);
            }
            if (CEnumerationPtr e = n) {
                StringList_t symbolics;
                e->GetSymbolics(symbolics);
            }
            CValuePtr v = n;
            std::string text = v->ToString(false, true);
            if (IsWritable(n) && !CCommandPtr(n).IsValid()) v->FromString(text, true);
        } catch (const GenericException&) {
        }
        try {
            if (CCommandPtr c = n) {
                c->Execute();
                c->IsDone();
            }
        } catch (const GenericException&) {
        }
    }
    map.Poll(1000000);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        QxGenApi::CNodeMapFactory factory(QxGenApi::ContentType_Xml, data, size);
        std::unique_ptr<QxGenApi::INodeMap> map(factory.CreateNodeMap("Device"));
        exercise(*map);
    } catch (const QxGenApi::GenericException&) {
        // Refused: exactly what a bad description file must give.
    }
    return 0;
}
