// The viewer's FeatureBase: loading, the port callbacks with the key and value text of the
// access in progress, and the limits the getters replace.
#include "ViewerFeatureBase.h"
#include "ViewerTestUtil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <cfloat>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Access {
    bool isRead;
    int64_t address;
    int64_t length;
    std::vector<uint8_t> data;
    std::string key;
    std::string valueText;
    int type;
};

// A FeatureBase whose callbacks record every access with the key and value text they see.
struct RecordingFeature {
    std::vector<Access> accesses;
    viewer::FeatureBase feature{
        [this](void*, int64_t address, int64_t length, QX_PORT_DEVICE_TYPE type) {
            accesses.push_back(
                {true, address, length, {}, feature.getCurrentKey(), feature.getCurrentValueText(), type});
        },
        [this](const void* buffer, int64_t address, int64_t length, QX_PORT_DEVICE_TYPE type) {
            const auto* b = static_cast<const uint8_t*>(buffer);
            accesses.push_back({false, address, length, std::vector<uint8_t>(b, b + length), feature.getCurrentKey(),
                                feature.getCurrentValueText(), type});
        }};

    void load() { ASSERT_EQ(feature.loadXmlFile(viewertest::dataFile("camera.xml").toStdString()), QX_OK); }
    const Access* lastWrite() const {
        for (auto it = accesses.rbegin(); it != accesses.rend(); ++it)
            if (!it->isRead) return &*it;
        return nullptr;
    }
};

std::string writeTempXml(QTemporaryDir& dir, const QByteArray& text) {
    const QString path = dir.filePath(QStringLiteral("t.xml"));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(text);
    f.close();
    return path.toStdString();
}

} // namespace

TEST(ViewerFeature, MissingFileFailsAndEveryAccessorFailsAfterwards) {
    RecordingFeature r;
    EXPECT_EQ(r.feature.loadXmlFile("/nonexistent/camera.xml"), QX_ERR_GENICAM);
    viewer::IntValueInfo info{};
    EXPECT_EQ(r.feature.getIntValue("Width", &info), QX_ERR_GENICAM);
    EXPECT_EQ(r.feature.setIntValue("Width", 32), QX_ERR_GENICAM);
    int32_t mode = 0;
    EXPECT_EQ(r.feature.getNodeAccessMode("Width", &mode), QX_ERR_GENICAM);
    // A good load after a failed one works, and a failed one after a good one drops the map.
    r.load();
    EXPECT_EQ(r.feature.getIntValue("Width", &info), QX_OK);
    EXPECT_EQ(r.feature.loadXmlFile("/nonexistent/camera.xml"), QX_ERR_GENICAM);
    EXPECT_EQ(r.feature.getIntValue("Width", &info), QX_ERR_GENICAM);
    EXPECT_TRUE(r.accesses.size() == 1u);
}

TEST(ViewerFeature, LoadingTwiceGivesAFreshNodeMap) {
    RecordingFeature r;
    r.load();
    EXPECT_EQ(r.feature.setIntValue("Width", 64), QX_OK);
    r.load();
    viewer::IntValueInfo info{};
    EXPECT_EQ(r.feature.getIntValue("Width", &info), QX_OK);
    EXPECT_EQ(info.nMax, 4096);
    EXPECT_EQ(info.nMin, 16);
    EXPECT_EQ(info.nInc, 16);
}

TEST(ViewerFeature, ReadsReachTheCallbackWithTheKey) {
    RecordingFeature r;
    r.load();
    viewer::IntValueInfo info{};
    info.limitsReplaced = 5;
    ASSERT_EQ(r.feature.getIntValue("Width", &info), QX_OK);
    ASSERT_FALSE(r.accesses.empty());
    EXPECT_TRUE(r.accesses[0].isRead);
    EXPECT_EQ(r.accesses[0].address, 0x1004);
    EXPECT_EQ(r.accesses[0].length, 4);
    EXPECT_EQ(r.accesses[0].key, "Width");
    EXPECT_EQ(r.accesses[0].type, QX_PORT_DEVICE);
    EXPECT_EQ(info.limitsReplaced, 5); // usable limits: the marker stays as the caller set it
    EXPECT_EQ(info.nRepresentation, QX_REPR_PURE_NUMBER);
    EXPECT_TRUE(r.feature.getCurrentKey().empty());
    // Every value read goes to the port, none comes from a cache.
    r.accesses.clear();
    ASSERT_EQ(r.feature.getIntValue("Width", &info), QX_OK);
    EXPECT_EQ(r.accesses.size(), 1u);
}

TEST(ViewerFeature, ValueTextDuringWrites) {
    RecordingFeature r;
    r.load();
    ASSERT_EQ(r.feature.setFloatValue("ExposureTime", 1500.5f), QX_OK);
    ASSERT_NE(r.lastWrite(), nullptr);
    EXPECT_EQ(r.lastWrite()->key, "ExposureTime");
    EXPECT_EQ(r.lastWrite()->valueText, "1500.500000");
    EXPECT_EQ(r.lastWrite()->address, 0x1030);

    ASSERT_EQ(r.feature.executeCommand("AcquisitionStart"), QX_OK);
    EXPECT_EQ(r.lastWrite()->key, "AcquisitionStart");
    EXPECT_EQ(r.lastWrite()->valueText, "--");
    EXPECT_EQ(r.lastWrite()->address, 0x1200);
    EXPECT_EQ(r.lastWrite()->data, (std::vector<uint8_t>{1, 0, 0, 0}));

    ASSERT_EQ(r.feature.setIntValue("Height", 3), QX_OK);
    EXPECT_EQ(r.lastWrite()->valueText, "3");
    ASSERT_EQ(r.feature.setBoolValue("ReverseX", true), QX_OK);
    EXPECT_EQ(r.lastWrite()->valueText, "1");
    ASSERT_EQ(r.feature.setEnumValueStr("PixelFormat", "Mono16"), QX_OK);
    EXPECT_EQ(r.lastWrite()->valueText, "Mono16");
    EXPECT_EQ(r.lastWrite()->data, (std::vector<uint8_t>{0x07, 0x00, 0x10, 0x01}));
    ASSERT_EQ(r.feature.setEnumValue("PixelFormat", 0x01080001u), QX_OK);
    EXPECT_EQ(r.lastWrite()->valueText, std::to_string(0x01080001u));
    ASSERT_EQ(r.feature.setStringValue("DeviceUserID", "cam-1"), QX_OK);
    EXPECT_EQ(r.lastWrite()->valueText, "cam-1");
    EXPECT_EQ(r.lastWrite()->address, 0x1100);

    EXPECT_TRUE(r.feature.getCurrentKey().empty());
    EXPECT_TRUE(r.feature.getCurrentValueText().empty());
}

TEST(ViewerFeature, NegativeIntegerValueText) {
    QTemporaryDir dir;
    const std::string path = writeTempXml(
        dir, "<RegisterDescription><Category Name=\"Root\"><pFeature>Offset</pFeature></Category>"
             "<Integer Name=\"Offset\"><pValue>OffsetReg</pValue><Min>-10</Min><Max>10</Max></Integer>"
             "<IntReg Name=\"OffsetReg\"><Address>0x10</Address><Length>4</Length><AccessMode>RW</AccessMode>"
             "<pPort>Device</pPort><Sign>Signed</Sign><Endianess>LittleEndian</Endianess></IntReg>"
             "<Port Name=\"Device\"/></RegisterDescription>");
    RecordingFeature r;
    ASSERT_EQ(r.feature.loadXmlFile(path), QX_OK);
    ASSERT_EQ(r.feature.setIntValue("Offset", -3), QX_OK);
    ASSERT_NE(r.lastWrite(), nullptr);
    EXPECT_EQ(r.lastWrite()->valueText, "-3");
    EXPECT_EQ(r.lastWrite()->data, (std::vector<uint8_t>{0xFD, 0xFF, 0xFF, 0xFF}));
}

TEST(ViewerFeature, RefusedWriteFailsAndClearsTheKey) {
    RecordingFeature r;
    r.load();
    EXPECT_EQ(r.feature.setIntValue("Width", 100000), QX_ERR_GENICAM); // above the maximum
    EXPECT_EQ(r.feature.setFloatValue("ExposureTime", 1.0f), QX_ERR_GENICAM);
    EXPECT_TRUE(r.feature.getCurrentKey().empty());
    EXPECT_TRUE(r.feature.getCurrentValueText().empty());
    EXPECT_EQ(r.lastWrite(), nullptr);
}

TEST(ViewerFeature, WrongInterfaceTypeNeverReachesThePorts) {
    RecordingFeature r;
    r.load();
    viewer::IntValueInfo info{};
    EXPECT_EQ(r.feature.getIntValue("ExposureTime", &info), QX_ERR_GENICAM);
    bool b = false;
    EXPECT_EQ(r.feature.getBoolValue("Width", &b), QX_ERR_GENICAM);
    EXPECT_EQ(r.feature.executeCommand("Width"), QX_ERR_GENICAM);
    EXPECT_EQ(r.feature.getIntValue("NoSuchNode", &info), QX_ERR_GENICAM);
    EXPECT_TRUE(r.accesses.empty());
}

TEST(ViewerFeature, UnusableIntegerLimitsAreReplaced) {
    RecordingFeature r;
    r.load();
    viewer::IntValueInfo info{};
    testing::internal::CaptureStdout();
    ASSERT_EQ(r.feature.getIntValue("TestValue", &info), QX_OK);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(info.nMax, 2147483647);
    EXPECT_EQ(info.nMin, -2147483648LL);
    EXPECT_EQ(info.nValue, 0);
    EXPECT_EQ(info.limitsReplaced, viewer::kLimitsReplaced);
    EXPECT_EQ(out, "int strKey=TestValue\n");
}

// Limits count as unusable only when both are 0, either lies below the lowest float, or the
// minimum is above the maximum; a range reaching 0 or below is shown as it is.
TEST(ViewerFeature, FloatLimitsReachingZeroOrBelowAreKept) {
    RecordingFeature r;
    r.load();
    viewer::FloatValueInfo info{};
    testing::internal::CaptureStdout();
    ASSERT_EQ(r.feature.getFloatValue("Gain", &info), QX_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(info.fMax, 100.0f);
    EXPECT_EQ(info.fMin, 0.0f);
    EXPECT_EQ(info.limitsReplaced, 0);
    viewer::FloatValueInfo exposure{};
    ASSERT_EQ(r.feature.getFloatValue("ExposureTime", &exposure), QX_OK);
    EXPECT_EQ(exposure.fMax, 100000.0f);
    EXPECT_EQ(exposure.fMin, 10.0f);
    EXPECT_EQ(exposure.limitsReplaced, 0);

    ASSERT_EQ(r.feature.loadXmlFile(viewertest::dataFile("editors.xml").toStdString()), QX_OK);
    // The registers read 0.0; a value of 0 is inside both ranges below.
    viewer::FloatValueInfo black{};
    ASSERT_EQ(r.feature.getFloatValue("BlackLevel", &black), QX_OK);
    EXPECT_EQ(black.fMin, -100.0f);
    EXPECT_EQ(black.fMax, 100.0f);
    EXPECT_EQ(black.limitsReplaced, 0);
    viewer::FloatValueInfo temperature{};
    ASSERT_EQ(r.feature.getFloatValue("Temperature", &temperature), QX_OK);
    EXPECT_EQ(temperature.fMin, -40.0f);
    EXPECT_EQ(temperature.fMax, -5.0f);
    EXPECT_EQ(temperature.limitsReplaced, 0);

    // The minimum above the maximum: replaced as before.
    viewer::FloatValueInfo inverted{};
    testing::internal::CaptureStdout();
    ASSERT_EQ(r.feature.getFloatValue("Inverted", &inverted), QX_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "float strKey=Inverted\n");
    EXPECT_EQ(inverted.fMax, FLT_MAX);
    EXPECT_EQ(inverted.fMin, FLT_MIN);
    EXPECT_EQ(inverted.fValue, 0.0f);
    EXPECT_EQ(inverted.limitsReplaced, viewer::kLimitsReplaced);
}

TEST(ViewerFeature, EnumerationSkipsUnimplementedEntriesAndStopsAt64) {
    RecordingFeature r;
    r.load();
    EnumStrValueInfo info{};
    ASSERT_EQ(r.feature.getEnumValueStr("PixelFormat", &info), QX_OK);
    ASSERT_EQ(info.nCount, 2);
    EXPECT_STREQ(info.arrSymbolics[0], "Mono8");
    EXPECT_STREQ(info.arrSymbolics[1], "Mono16");
    EXPECT_STREQ(info.strValue, ""); // the register reads 0: no entry is current

    QTemporaryDir dir;
    QByteArray xml = "<RegisterDescription><Category Name=\"Root\"><pFeature>E</pFeature></Category>"
                     "<Enumeration Name=\"E\">";
    for (int i = 0; i < 70; ++i)
        xml += "<EnumEntry Name=\"V" + QByteArray::number(i) + "\"><Value>" + QByteArray::number(i) +
               "</Value></EnumEntry>";
    xml += "<pValue>R</pValue></Enumeration><IntReg Name=\"R\"><Address>0x10</Address><Length>4</Length>"
           "<AccessMode>RW</AccessMode><pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>LittleEndian"
           "</Endianess></IntReg><Port Name=\"Device\"/></RegisterDescription>";
    ASSERT_EQ(r.feature.loadXmlFile(writeTempXml(dir, xml)), QX_OK);
    EnumValueInfo values{};
    ASSERT_EQ(r.feature.getEnumValue("E", &values), QX_OK);
    EXPECT_EQ(values.nCount, 64);
    EXPECT_EQ(values.arrValues[63], 63);
    EnumStrValueInfo names{};
    ASSERT_EQ(r.feature.getEnumValueStr("E", &names), QX_OK);
    EXPECT_EQ(names.nCount, 64);
    EXPECT_STREQ(names.strValue, "V0");
}

TEST(ViewerFeature, LongStringIsCutTo255Bytes) {
    QTemporaryDir dir;
    const std::string text(300, 'x');
    const std::string path = writeTempXml(
        dir, QByteArray("<RegisterDescription><Category Name=\"Root\"><pFeature>S</pFeature></Category>"
                        "<String Name=\"S\"><Value>") +
                 QByteArray::fromStdString(text) + "</Value></String><Port Name=\"Device\"/></RegisterDescription>");
    RecordingFeature r;
    ASSERT_EQ(r.feature.loadXmlFile(path), QX_OK);
    StringValueInfo info{};
    ASSERT_EQ(r.feature.getStringValue("S", &info), QX_OK);
    EXPECT_EQ(info.nLength, 255);
    EXPECT_EQ(std::strlen(info.strValue), 255u);
}

TEST(ViewerFeature, NodeTreeOfTheTestFile) {
    RecordingFeature r;
    r.load();
    NodeInfoList list{};
    ASSERT_EQ(r.feature.getNodeTree(&list), QX_OK);
    ASSERT_EQ(list.nCount, 3);
    EXPECT_STREQ(list.ppNodes[1]->strName, "ImageFormatControl");
    const auto* cat = reinterpret_cast<CategoryNodeInfo*>(list.ppNodes[1]);
    ASSERT_EQ(cat->stChildren.nCount, 4);
    const NodeInfo* width = cat->stChildren.ppNodes[0];
    EXPECT_STREQ(width->strName, "Width");
    EXPECT_STREQ(width->strDisplayName, "Image Width");
    EXPECT_STREQ(width->strToolTip, "(addr:0x00001004) Width of the image");
    EXPECT_EQ(width->nInterfaceType, QX_NODE_IINTEGER);
}

// The node tree and node events come from the SDK's feature library, which logs through
// spdlog's default logger; the viewer writes no log, even when a tree build fails.
TEST(ViewerFeature, FailedTreeBuildWritesNoLog) {
    std::ostringstream text;
    auto capture = std::make_shared<spdlog::logger>("capture", std::make_shared<spdlog::sinks::ostream_sink_mt>(text));
    capture->set_level(spdlog::level::trace);
    const std::shared_ptr<spdlog::logger> previous = spdlog::default_logger();
    spdlog::set_default_logger(capture);
    QX_STATUS status = QX_OK;
    {
        RecordingFeature r; // nothing loaded: the tree has no root
        NodeInfoList list{};
        status = r.feature.getNodeTree(&list);
    }
    spdlog::set_default_logger(previous);
    EXPECT_NE(status, QX_OK);
    EXPECT_EQ(text.str(), "");
}
