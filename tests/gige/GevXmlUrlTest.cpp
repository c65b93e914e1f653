// Parsing of XML URLs and extraction of zipped XML.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <zip.h>

#include "GevTestSupport.h"
#include "gige/GevXmlUrl.h"

using qx::gige::parseXmlUrl;
using qx::gige::unzipFirstEntry;
using qx::gige::XmlUrl;
using qx::test::makeZip;

namespace {
GevStatus parse(const std::string& text, XmlUrl* url) { return parseXmlUrl(text.c_str(), text.size() + 1, url); }
} // namespace

TEST(GevXmlUrl, LocalUrl) {
    XmlUrl u;
    ASSERT_EQ(parse("Local:arv-fake-camera.xml;10000;3e67", &u), GEV_STATUS_SUCCESS);
    EXPECT_EQ(u.kind, XmlUrl::Kind::Local);
    EXPECT_EQ(u.name, "arv-fake-camera.xml");
    EXPECT_EQ(u.type, "xml");
    EXPECT_EQ(u.address, 0x10000u);
    EXPECT_EQ(u.length, 15975u);
    EXPECT_FALSE(u.zipped);
}

TEST(GevXmlUrl, ZippedLocalUrlWithSchemaSuffix) {
    XmlUrl u;
    ASSERT_EQ(parse("Local:cam.zip;8A000;1F40?SchemaVersion=1.1.0", &u), GEV_STATUS_SUCCESS);
    EXPECT_EQ(u.address, 0x8A000u);
    EXPECT_EQ(u.length, 8000u);
    EXPECT_EQ(u.type, "zip");
    EXPECT_TRUE(u.zipped);
    ASSERT_EQ(parse("LOCAL:CAM.ZIP;0;10", &u), GEV_STATUS_SUCCESS);
    EXPECT_TRUE(u.zipped);
    ASSERT_EQ(parse("local:x.xml;FFFFFFF0;10", &u), GEV_STATUS_SUCCESS);
}

TEST(GevXmlUrl, FileUrls) {
    XmlUrl u;
    ASSERT_EQ(parse("file:/tmp/cam.xml", &u), GEV_STATUS_SUCCESS);
    EXPECT_EQ(u.kind, XmlUrl::Kind::File);
    EXPECT_EQ(u.name, "/tmp/cam.xml");
    ASSERT_EQ(parse("File:/opt/x/cam.zip?SchemaVersion=1.0.0", &u), GEV_STATUS_SUCCESS);
    EXPECT_EQ(u.name, "/opt/x/cam.zip");
    EXPECT_TRUE(u.zipped);
}

TEST(GevXmlUrl, MalformedUrlsAreRejected) {
    XmlUrl u;
    for (const char* bad :
         {"", "http://example/cam.xml", "Local:", "Local:cam.xml", "Local:cam.xml;1000", "Local:;1000;10",
          "Local:cam.xml;;10", "Local:cam.xml;zz;10", "Local:cam.xml;1000;", "Local:cam.xml;1000;xyz",
          "Local:cam.xml;123456789;10", "Local:x.xml;FFFFFFF0;11", "file:", "File:?SchemaVersion=1"})
        EXPECT_EQ(parse(bad, &u), GEV_STATUS_GET_URL_ERROR) << bad;
}

TEST(GevXmlUrl, NameLengthIsBounded) {
    XmlUrl u;
    std::string ok = "Local:" + std::string(250, 'n') + ".xml;1000;10";
    EXPECT_EQ(parse(ok, &u), GEV_STATUS_SUCCESS);
    EXPECT_EQ(u.name.size(), 254u);
    std::string tooLong = "Local:" + std::string(251, 'n') + ".xml;1000;10";
    EXPECT_EQ(parse(tooLong, &u), GEV_STATUS_GET_URL_ERROR);
}

TEST(GevXmlUrl, SearchStaysInsideTheRegister) {
    // 512 bytes without a terminator, the URL's end beyond them: nothing past byte 512 is read.
    std::string text(600, 'a');
    text.replace(0, 6, "Local:");
    text.replace(520, 20, ";1000;10");
    XmlUrl u;
    EXPECT_EQ(parseXmlUrl(text.data(), 512, &u), GEV_STATUS_GET_URL_ERROR);
    std::string shortText = "Local:cam.xml;1000;20";
    EXPECT_EQ(parseXmlUrl(shortText.data(), 16, &u), GEV_STATUS_GET_URL_ERROR); // cut before the length
}

TEST(GevXmlUrl, UnzipFirstEntry) {
    auto zip = makeZip({{"first.xml", "<RegisterDescription/>"}, {"second.xml", "other"}});
    ASSERT_FALSE(zip.empty());
    std::vector<uint8_t> out;
    std::string step;
    ASSERT_EQ(unzipFirstEntry(zip.data(), zip.size(), 1 << 20, &out, &step), GEV_STATUS_SUCCESS);
    EXPECT_EQ(std::string(out.begin(), out.end()), "<RegisterDescription/>");
}

TEST(GevXmlUrl, UnzipFailures) {
    std::vector<uint8_t> out;
    std::string step;
    const std::string junk = "this is not a zip archive at all";
    EXPECT_EQ(unzipFirstEntry(reinterpret_cast<const uint8_t*>(junk.data()), junk.size(), 1 << 20, &out, &step),
              GEV_STATUS_XML_ZIP_ERROR);
    EXPECT_EQ(step, "open");
    auto zip = makeZip({{"big.xml", std::string(4096, 'x')}});
    EXPECT_EQ(unzipFirstEntry(zip.data(), zip.size(), 4095, &out, &step), GEV_STATUS_XML_ZIP_ERROR);
    EXPECT_EQ(step, "extract");
    EXPECT_EQ(unzipFirstEntry(zip.data(), zip.size(), 4096, &out, &step), GEV_STATUS_SUCCESS);
    auto cut = zip;
    cut.resize(cut.size() / 2);
    EXPECT_EQ(unzipFirstEntry(cut.data(), cut.size(), 1 << 20, &out, &step), GEV_STATUS_XML_ZIP_ERROR);
}
