// The node tree of QX_XML_GetNodeTree: the aravis fake camera's description file
// (extracted from the installed libaravis at test time), the test camera's address texts and
// fields, rebuilds, failures, and the guard against categories that contain themselves (on a
// hand-made node graph, since the engine refuses such files when it loads them).
#include "ArvFakeCamera.h"
#include "core/api/DeviceProxy.h"
#include "feature/FeatureBase.h"
#include "FeatureTestCamera.h"
#include "feature/NodeEvents.h"
#include "feature/NodeTree.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace qx::core::api;

using namespace qx::feature;

using namespace qxtest;

namespace {

const CategoryNodeInfo* asCategory(const NodeInfo* n) {
    return n && n->isCategory ? reinterpret_cast<const CategoryNodeInfo*>(n) : nullptr;
}

std::vector<std::string> names(const NodeInfoList& list) {
    std::vector<std::string> out;
    for (int32_t i = 0; i < list.nCount; ++i) out.push_back(list.ppNodes[i]->strName);
    return out;
}

// Every record of the tree by name (the last one of a name wins).
void collect(const NodeInfoList& list, std::map<std::string, const NodeInfo*>& out) {
    for (int32_t i = 0; i < list.nCount; ++i) {
        const NodeInfo* n = list.ppNodes[i];
        out[n->strName] = n;
        if (const CategoryNodeInfo* c = asCategory(n)) collect(c->stChildren, out);
    }
}

const NodeInfoList& children(const NodeInfoList& list, const std::string& name) {
    for (int32_t i = 0; i < list.nCount; ++i) {
        if (name == list.ppNodes[i]->strName) {
            const CategoryNodeInfo* c = asCategory(list.ppNodes[i]);
            if (c) return c->stChildren;
        }
    }
    static const NodeInfoList none{};
    ADD_FAILURE() << "no category " << name;
    return none;
}

} // namespace

TEST(NodeTreeAravis, CategoriesChildrenInFileOrderAndAddressTexts) {
    std::string why;
    const std::optional<std::string> xml = qx::test::arvFakeCameraXml(&why);
    if (!xml) GTEST_SKIP() << "aravis fake camera description not available: " << why;
    TestTransport transport;
    transport.options.xml = *xml;
    DeviceInfo info = makeGigeInfo("Fake", "GV01", 0x0A000002, 0x0A000001);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    ASSERT_EQ(QX_ConnectDevice(h, 1), QX_OK);
    NodeInfoList root{};
    ASSERT_EQ(QX_XML_GetNodeTree(h, &root), QX_OK);
    EXPECT_EQ(names(root), (std::vector<std::string>{"DeviceControl", "ImageFormatControl", "AcquisitionControl",
                                                     "TransportLayerControl", "Debug"}));
    for (int32_t i = 0; i < root.nCount; ++i) {
        const NodeInfo* n = root.ppNodes[i];
        EXPECT_EQ(n->isCategory, 1) << n->strName;
        EXPECT_EQ(n->nInterfaceType, QX_NODE_ICATEGORY) << n->strName;
        // Categories carry no address text.
        EXPECT_EQ(std::string(n->strToolTip).find("addr"), std::string::npos) << n->strName;
        EXPECT_EQ(std::string(n->strDescription).find("addr"), std::string::npos) << n->strName;
    }
    EXPECT_EQ(names(children(root, "DeviceControl")),
              (std::vector<std::string>{"DeviceVendorName", "DeviceModelName", "DeviceManufacturerInfo", "DeviceID",
                                        "DeviceVersion"}));
    EXPECT_EQ(names(children(root, "ImageFormatControl")),
              (std::vector<std::string>{"SensorHeight", "SensorWidth", "OffsetX", "OffsetY", "Width", "Height",
                                        "BinningHorizontal", "BinningVertical", "PixelFormat"}));
    EXPECT_EQ(names(children(root, "AcquisitionControl")),
              (std::vector<std::string>{"AcquisitionMode", "AcquisitionStart", "AcquisitionStop", "TriggerSelector",
                                        "TriggerMode", "TriggerSoftware", "TriggerSource", "TriggerActivation",
                                        "ExposureTimeAbs"}));
    EXPECT_EQ(names(children(root, "TransportLayerControl")), (std::vector<std::string>{"PayloadSize"}));
    EXPECT_EQ(names(children(root, "Debug")), (std::vector<std::string>{"TestRegister"}));

    std::map<std::string, const NodeInfo*> all;
    collect(root, all);
    const std::map<std::string, std::string> prefixes = {
        // Registers themselves.
        {"DeviceVendorName", "(addr:0x00000048) "},
        {"DeviceID", "(addr:0x000000D8) "},
        {"TestRegister", "(addr:0x000001F0) "},
        // The first reading child named like the node that is a register.
        {"SensorHeight", "(addr:0x00000118) "},
        {"OffsetX", "(addr:0x00000130) "},
        {"Width", "(addr:0x00000100) "},
        {"PixelFormat", "(addr:0x00000128) "},
        {"AcquisitionMode", "(addr:0x0000012C) "},
        {"TriggerMode", "(addr:0x00000300) "},
        // Reading children, none of them a register named like the node.
        {"AcquisitionStart", "(unknow-addr) "},
        {"TriggerSelector", "(unknow-addr) "},
        {"ExposureTimeAbs", "(unknow-addr) "},
        {"PayloadSize", "(unknow-addr) "},
    };
    for (const auto& [name, prefix] : prefixes) {
        ASSERT_TRUE(all.count(name)) << name;
        const NodeInfo* n = all[name];
        EXPECT_EQ(n->isCategory, 0) << name;
        EXPECT_EQ(std::string(n->strToolTip).rfind(prefix, 0), 0u) << name << ": " << n->strToolTip;
        EXPECT_EQ(std::string(n->strDescription).rfind(prefix, 0), 0u) << name << ": " << n->strDescription;
    }
    EXPECT_STREQ(all["SensorHeight"]->strDescription, "(addr:0x00000118) Full height of image sensor.");
    EXPECT_STREQ(all["DeviceVendorName"]->strDisplayName, "Vendor Name");
    EXPECT_EQ(all["DeviceVendorName"]->nInterfaceType, QX_NODE_ISTRING);
    EXPECT_EQ(all["DeviceVendorName"]->nAccessMode, QX_NODE_ACCESS_RO);
    EXPECT_EQ(all["Width"]->nInterfaceType, QX_NODE_IINTEGER);
    EXPECT_EQ(all["Width"]->nAccessMode, QX_NODE_ACCESS_RW);
    EXPECT_EQ(all["PixelFormat"]->nInterfaceType, QX_NODE_IENUMERATION);
    EXPECT_EQ(all["AcquisitionStart"]->nInterfaceType, QX_NODE_ICOMMAND);
    EXPECT_EQ(all["ExposureTimeAbs"]->nInterfaceType, QX_NODE_IFLOAT);
    EXPECT_EQ(all["Width"]->nVisibility, QX_NODE_BEGINNER);
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    ASSERT_EQ(QX_DeleteDevice(h), QX_OK);
}

TEST_F(FeatureTest, NodeTreeRecordsOfTheTestCamera) {
    connect();
    NodeInfoList root{};
    ASSERT_EQ(QX_XML_GetNodeTree(handle, &root), QX_OK);
    EXPECT_EQ(names(root), (std::vector<std::string>{"ImageFormatControl", "AcquisitionControl", "Other", "Empty"}));
    const CategoryNodeInfo* empty = asCategory(root.ppNodes[3]);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->stChildren.nCount, 0);
    EXPECT_EQ(empty->stChildren.ppNodes, nullptr);
    EXPECT_STREQ(root.ppNodes[0]->strDisplayName, "Image Format Control");
    EXPECT_STREQ(root.ppNodes[0]->strToolTip, "");
    EXPECT_EQ(names(children(root, "ImageFormatControl")),
              (std::vector<std::string>{"SensorWidth", "Width", "OffsetX", "PixelFormat", "ReverseX"}));

    std::map<std::string, const NodeInfo*> all;
    collect(root, all);
    EXPECT_STREQ(all["SensorWidth"]->strToolTip, "(no-addr) Sensor width.");
    EXPECT_STREQ(all["SensorWidth"]->strDescription, "(no-addr) Full width of the sensor.");
    EXPECT_STREQ(all["Width"]->strToolTip, "(addr:0x00000100) Width of the image.");
    EXPECT_STREQ(all["Width"]->strDescription, "(addr:0x00000100) Width of the image, in pixels.");
    EXPECT_STREQ(all["ExposureTime"]->strToolTip, "(addr:0x00000120) Exposure time.");
    EXPECT_STREQ(all["ReadoutTime"]->strToolTip, "(unknow-addr) Exposure time plus readout.");
    EXPECT_STREQ(all["DeviceTemperature"]->strToolTip, "(addr:0x00000160) Sensor temperature.");
    EXPECT_STREQ(all["ConnectorValue"]->strToolTip, "(addr:0x00000010) ");
    EXPECT_EQ(all["SensorWidth"]->nVisibility, QX_NODE_EXPERT);
    EXPECT_EQ(all["OffsetX"]->nVisibility, QX_NODE_GURU);
    EXPECT_EQ(all["Width"]->nVisibility, QX_NODE_BEGINNER);
    EXPECT_EQ(all["Width"]->isStreamable, 1);
    EXPECT_EQ(all["OffsetX"]->isStreamable, 0);
    EXPECT_EQ(all["DeviceTemperature"]->nAccessMode, QX_NODE_ACCESS_RO);
    EXPECT_EQ(all["ReverseX"]->nInterfaceType, QX_NODE_IBOOLEAN);
    EXPECT_EQ(all["DeviceUserID"]->nInterfaceType, QX_NODE_ISTRING);
}

TEST_F(FeatureTest, NodeTreeAgainFreesTheFirstAndRegistersNoSecondCallback) {
    connect();
    NodeInfoList first{};
    ASSERT_EQ(QX_XML_GetNodeTree(handle, &first), QX_OK);
    FeatureBase* feature = static_cast<DeviceProxy*>(handle)->getFeature();
    const size_t registered = feature->tree().registeredCount();
    const size_t records = feature->tree().recordCount();
    EXPECT_EQ(registered, 14u); // the feature nodes of the test camera
    NodeInfoList second{};
    ASSERT_EQ(QX_XML_GetNodeTree(handle, &second), QX_OK);
    EXPECT_EQ(feature->tree().registeredCount(), registered);
    EXPECT_EQ(feature->tree().recordCount(), records);
    EXPECT_EQ(names(second), (std::vector<std::string>{"ImageFormatControl", "AcquisitionControl", "Other", "Empty"}));
    // After a reconnect the node map is new: callbacks are registered on its nodes again.
    ASSERT_EQ(QX_DisconnectDevice(handle), QX_OK);
    connect();
    EXPECT_EQ(feature->tree().registeredCount(), 0u);
    ASSERT_EQ(QX_XML_GetNodeTree(handle, &second), QX_OK);
    EXPECT_EQ(feature->tree().registeredCount(), registered);
}

TEST(NodeTreeFailures, RootThatIsNotACategoryAndNoRoot) {
    TestTransport transport;
    LogCapture log;
    transport.options.xml = "<RegisterDescription><Integer Name=\"Root\"><Value>1</Value></Integer>"
                            "<Port Name=\"Device\"/></RegisterDescription>";
    DeviceInfo info = makeUsb3Info("FeatureCam", "path", 0);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    ASSERT_EQ(QX_ConnectDevice(h, 1), QX_OK);
    NodeInfoList list{};
    EXPECT_EQ(QX_XML_GetNodeTree(h, &list), QX_ERR_GENICAM);
    LogLine line{};
    ASSERT_TRUE(log.find("func:getNodeTree, intfICategory != rootNode->GetPrincipalInterfaceType()", &line));
    EXPECT_EQ(line.level, spdlog::level::warn);
    EXPECT_EQ(list.nCount, 0);
    QX_DisconnectDevice(h);
    QX_DeleteDevice(h);

    transport.options.xml = "<RegisterDescription><Port Name=\"Device\"/></RegisterDescription>";
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    ASSERT_EQ(QX_ConnectDevice(h, 1), QX_OK);
    log.clear();
    EXPECT_EQ(QX_XML_GetNodeTree(h, &list), QX_ERR_GENICAM);
    EXPECT_TRUE(log.find("func:getNodeTree failed"));
    QX_DisconnectDevice(h);
    QX_DeleteDevice(h);
}

TEST(NodeTreeFailures, CyclicCategoriesInAFileAreRefusedWithoutHanging) {
    TestTransport transport;
    transport.options.xml = "<RegisterDescription><Category Name=\"Root\"><pFeature>A</pFeature></Category>"
                            "<Category Name=\"A\"><pFeature>B</pFeature></Category>"
                            "<Category Name=\"B\"><pFeature>A</pFeature></Category>"
                            "<Port Name=\"Device\"/></RegisterDescription>";
    DeviceInfo info = makeUsb3Info("FeatureCam", "path", 0);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    EXPECT_EQ(QX_ConnectDevice(h, 1), QX_ERR_GENICAM);
    NodeInfoList list{};
    EXPECT_EQ(QX_XML_GetNodeTree(h, &list), QX_ERR_GENICAM);
    QX_DisconnectDevice(h);
    QX_DeleteDevice(h);
}

// ---- a hand-made node graph for the tree builder itself -------------------------------------

namespace {

using namespace QxGenApi;

// A node of a hand-made graph: a category (with features) or a plain integer-typed node.
class FakeNode final : public INode, public ICategory {
public:
    FakeNode(std::string name, bool category) : m_name(std::move(name)), m_category(category) {}
    std::vector<FakeNode*> features;
    int callbacks = 0;

    EAccessMode GetAccessMode() const override { return RO; }
    gcstring GetName(bool = false) const override { return m_name; }
    ENameSpace GetNameSpace() const override { return Custom; }
    EVisibility GetVisibility() const override { return static_cast<EVisibility>(7); }
    gcstring GetDisplayName() const override { return m_name; }
    gcstring GetToolTip() const override { return "tip"; }
    gcstring GetDescription() const override { return "desc"; }
    gcstring GetDocuURL() const override { return ""; }
    gcstring GetDeviceName() const override { return "Device"; }
    gcstring GetEventID() const override { return ""; }
    INodeMap* GetNodeMap() const override { return nullptr; }
    EInterfaceType GetPrincipalInterfaceType() const override {
        return m_category ? intfICategory : static_cast<EInterfaceType>(42);
    }
    ECachingMode GetCachingMode() const override { return NoCache; }
    int64_t GetPollingTime() const override { return -1; }
    bool IsStreamable() const override { return false; }
    bool IsFeature() const override { return true; }
    bool IsDeprecated() const override { return false; }
    bool IsCachable() const override { return false; }
    INode* GetAlias() const override { return nullptr; }
    INode* GetCastAlias() const override { return nullptr; }
    void GetChildren(node_vector& c, ELinkType = ctWritingChildren) const override { c.clear(); }
    void GetParents(node_vector& p) const override { p.clear(); }
    CallbackHandleType RegisterCallback(std::function<void(INode*)>, ECallbackType) override { return ++callbacks; }
    bool DeregisterCallback(CallbackHandleType) override { return false; }
    void InvalidateNode() override {}
    void ImposeAccessMode(EAccessMode) override {}
    void ImposeVisibility(EVisibility) override {}
    INode* GetNode() override { return this; }
    gcstring ToString(bool = false, bool = false) override { return ""; }
    void FromString(const gcstring&, bool = true) override {}
    bool IsValueCacheValid() const override { return false; }
    void GetFeatures(FeatureList_t& out) const override {
        out.clear();
        for (FakeNode* f : features) out.push_back(f);
    }

private:
    std::string m_name;
    bool m_category;
};

class FakeNodeMap final : public INodeMap {
public:
    std::map<std::string, std::unique_ptr<FakeNode>> nodes;
    FakeNode* add(const std::string& name, bool category) {
        nodes[name] = std::make_unique<FakeNode>(name, category);
        return nodes[name].get();
    }
    void GetNodes(node_vector& out) const override {
        out.clear();
        for (auto& n : nodes) out.push_back(n.second.get());
    }
    INode* GetNode(const gcstring& name) const override {
        auto it = nodes.find(name);
        return it == nodes.end() ? nullptr : it->second.get();
    }
    void InvalidateNodes() const override {}
    bool Connect(IPort*, const gcstring&) override { return false; }
    bool Connect(IPort*) override { return false; }
    gcstring GetDeviceName() const override { return "Device"; }
    void Poll(int64_t) override {}
    std::recursive_mutex& GetLock() const override { return m_lock; }
    uint64_t GetNumNodes() const override { return nodes.size(); }
    gcstring GetModelName() const override { return ""; }
    gcstring GetVendorName() const override { return ""; }
    gcstring GetToolTip() const override { return ""; }
    void GetSchemaVersion(int64_t& a, int64_t& b, int64_t& c) const override { a = b = c = 0; }
    void GetDeviceVersion(int64_t& a, int64_t& b, int64_t& c) const override { a = b = c = 0; }

private:
    mutable std::recursive_mutex m_lock;
};

} // namespace

TEST(NodeTreeBuilder, ACategoryInsideItselfIsListedButNotExpandedAgain) {
    auto* map = new FakeNodeMap;
    FakeNode* root = map->add("Root", true);
    FakeNode* a = map->add("A", true);
    FakeNode* b = map->add("B", true);
    FakeNode* f = map->add("F", false);
    root->features = {a};
    a->features = {b, f};
    b->features = {a, f}; // B contains A, which contains B
    CNodeMapRef ref("Device");
    ref._Initialize(map);
    qx::feature::NodeEvents events(nullptr);
    qx::feature::NodeTree tree(events, [](INode*) {});
    NodeInfoList list{};
    ASSERT_EQ(tree.getNodeTree(&ref, &list), QX_OK);
    ASSERT_EQ(names(list), std::vector<std::string>{"A"});
    const NodeInfoList& la = children(list, "A");
    ASSERT_EQ(names(la), (std::vector<std::string>{"B", "F"}));
    const NodeInfoList& lb = children(la, "B");
    ASSERT_EQ(names(lb), (std::vector<std::string>{"A", "F"}));
    const CategoryNodeInfo* inner = asCategory(lb.ppNodes[0]);
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->stChildren.nCount, 0);
    EXPECT_EQ(inner->stChildren.ppNodes, nullptr);
    // Codes the node kinds do not define: interface type 12, visibility 99.
    const NodeInfo* fr = la.ppNodes[1];
    EXPECT_EQ(fr->nInterfaceType, QX_NODE_IOTHER);
    EXPECT_EQ(fr->nVisibility, QX_NODE_VISIBILITY_UNDEFINED);
    EXPECT_STREQ(fr->strToolTip, "(no-addr) tip");
    // F appears twice and gets one callback; building again adds none.
    EXPECT_EQ(f->callbacks, 1);
    ASSERT_EQ(tree.getNodeTree(&ref, &list), QX_OK);
    EXPECT_EQ(f->callbacks, 1);
    EXPECT_EQ(tree.registeredCount(), 1u);
}
