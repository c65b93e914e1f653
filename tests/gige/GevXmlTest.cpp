// XML retrieval from the simulated device: "local:" URLs (plain and zipped), the manifest
// table with and without concatenation, "file:" URLs, and every failure code.
#include <gtest/gtest.h>

#include <fstream>
#include <future>

#include <sys/stat.h>
#include <unistd.h>

#include "gige/GevRecord.h"
#include "gige/GevSeams.h"
#include "GevTestSupport.h"

using namespace qx::fixture;
using namespace qx::test;
namespace gvcp = qx::gige::gvcp;

namespace {

std::vector<uint8_t> sampleXml(size_t size) {
    std::string text = "<?xml version=\"1.0\"?><RegisterDescription ModelName=\"SimCam\">";
    while (text.size() + 22 < size) text += char('a' + text.size() % 26);
    text += "</RegisterDescription>";
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string tempFile(const std::string& suffix, const std::vector<uint8_t>& bytes) {
    static int n = 0;
    std::string path = "/tmp/qx_gev_xml_" + std::to_string(getpid()) + "_" + std::to_string(n++) + suffix;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

class GevXml : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::instance().clear();
        // These tests count the register reads the XML retrieval makes: no heartbeat rounds
        // in between.
        withoutHeartbeat();
    }
    void TearDown() override {
        closeAllCameras();
        qx::gige::gevSetSeams(qx::gige::gevDefaultSeams());
        for (const auto& f : m_files) std::remove(f.c_str());
    }
    // The fixture keeps every device until the cameras are closed in TearDown.
    std::shared_ptr<SimGevDevice> openDevice(SimGevConfig c = {}) {
        auto d = std::make_shared<SimGevDevice>(c);
        EXPECT_TRUE(d->start());
        m_devices.push_back(d);
        return d;
    }
    std::vector<std::shared_ptr<SimGevDevice>> m_devices;
    GevStatus open(SimGevDevice& d) {
        GevConnection c = connectionTo(d);
        GevStatus st = GEVInit(1, &c, &LogCapture::callback, 0, GEV_CCP_CONTROL);
        if (st == GEV_STATUS_SUCCESS) fastChannel(1, 100, 2);
        return st;
    }
    std::vector<uint8_t> fetch(GevStatus* status) {
        uint32_t size = 0;
        *status = GEVGetXmlSizeEx(1, &size);
        if (*status != GEV_STATUS_SUCCESS) {
            EXPECT_EQ(size, 0u);
            return {};
        }
        std::vector<char> buffer(size + 5120, 0);
        char* p = buffer.data();
        *status = GEVGetXmlFile(1, &p);
        return std::vector<uint8_t>(buffer.begin(), buffer.begin() + size);
    }
    std::string file(const std::string& suffix, const std::vector<uint8_t>& bytes) {
        m_files.push_back(tempFile(suffix, bytes));
        return m_files.back();
    }
    std::vector<std::string> m_files;
};

} // namespace

TEST_F(GevXml, LocalUrlIsReadByteForByte) {
    auto d = openDevice();
    const auto xml = sampleXml(5001);
    d->placeXml(0x20000, xml, "SimCam.xml");
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    GevStatus st;
    EXPECT_EQ(fetch(&st), xml);
    EXPECT_EQ(st, GEV_STATUS_SUCCESS);
    EXPECT_TRUE(LogCapture::instance().has("[I] XML-Name: SimCam.xml, Address: 0x00020000, Length: 5001"));
    EXPECT_EQ(qx::gige::gevRecord(1).xmlSize, 0u); // handed over
    EXPECT_EQ(fetch(&st), xml);                    // and fetched again
}

TEST_F(GevXml, ZippedLocalUrlIsUnzipped) {
    auto d = openDevice();
    const auto xml = sampleXml(9000);
    auto zip = makeZip({{"SimCam.xml", std::string(xml.begin(), xml.end())}, {"other.txt", "ignored"}});
    d->placeXml(0x8A000, zip, "SimCam.zip");
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    GevStatus st;
    EXPECT_EQ(fetch(&st), xml);
    EXPECT_TRUE(LogCapture::instance().has("[I] Successfully extracted file, size 9000"));
}

TEST_F(GevXml, BrokenZipIsAZipError) {
    auto d = openDevice();
    d->placeXml(0x20000, sampleXml(300), "SimCam.zip");
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    GevStatus st;
    fetch(&st);
    EXPECT_EQ(st, GEV_STATUS_XML_ZIP_ERROR);
    EXPECT_TRUE(LogCapture::instance().has("[E] mz_zip_reader_init_file() failed!"));
    EXPECT_EQ(qx::gige::gevRecord(1).xmlSize, 0u);
    EXPECT_TRUE(qx::gige::gevRecord(1).xml.empty());
}

void placeManifest(SimGevDevice& d, uint32_t urlAddress) {
    d.mapRegion(0x9000, 0x100);
    d.setRegister(0x9000, 1u << 26);
    d.setRegister(0x9008, (1u << 26) | (2u << 20) | (3u << 14) | (1u << 8) | (1u << 2));
    d.setRegister(0x900C, urlAddress);
}

TEST_F(GevXml, ManifestWithTwoSingleReadsWithoutConcatenation) {
    SimGevConfig c;
    c.capability |= gvcp::cap::kManifestTable;
    auto d = openDevice(c);
    const auto xml = sampleXml(700);
    d->placeXml(0x20000, xml, "SimCam.xml");
    // The manifest points at a URL elsewhere; the first URL register holds a bad one.
    auto url = d->readBytes(0x200, 512);
    d->mapRegion(0x30000, 512);
    d->writeBytes(0x30000, url.data(), url.size());
    d->setFirstUrl("garbage");
    placeManifest(*d, 0x30000);
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    d->clearReceived();
    GevStatus st;
    EXPECT_EQ(fetch(&st), xml);
    std::vector<uint32_t> reads;
    for (const auto& r : d->received()) {
        if (r.header.command != gvcp::kReadRegCmd) continue;
        std::vector<uint32_t> a;
        gvcp::decodeReadRegCmd(r.bytes.data(), r.bytes.size(), &a);
        EXPECT_EQ(a.size(), 1u);
        reads.insert(reads.end(), a.begin(), a.end());
    }
    EXPECT_EQ(reads, (std::vector<uint32_t>{0x9000, 0x9008, 0x900C}));
    auto& log = LogCapture::instance();
    EXPECT_TRUE(log.has("[I] Manifest table number of entries: 1"));
    EXPECT_TRUE(log.has("[I] Manifest table xml version :  1.  2.  3"));
}

TEST_F(GevXml, ManifestWithConcatenation) {
    SimGevConfig c;
    c.capability |= gvcp::cap::kManifestTable | gvcp::cap::kConcatenation;
    auto d = openDevice(c);
    const auto xml = sampleXml(700);
    d->placeXml(0x20000, xml, "SimCam.xml");
    placeManifest(*d, 0x200);
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    d->clearReceived();
    GevStatus st;
    EXPECT_EQ(fetch(&st), xml);
    EXPECT_EQ(d->countReceived(gvcp::kReadRegCmd), 2u); // header, then both entry words at once
}

TEST_F(GevXml, UnreadableManifest) {
    SimGevConfig c;
    c.capability |= gvcp::cap::kManifestTable;
    auto d = openDevice(c);
    d->statusFor(0x9000, 0x8003);
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    GevStatus st;
    fetch(&st);
    EXPECT_EQ(st, GEV_STATUS_GET_MANIFEST_TABLE_ERROR);
    EXPECT_TRUE(LogCapture::instance().has("[E] Can't read size of manifest table."));
}

TEST_F(GevXml, FileUrls) {
    auto d = openDevice();
    const auto xml = sampleXml(1234);
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    d->setFirstUrl("file:" + file(".xml", xml) + "?SchemaVersion=1.0.0");
    GevStatus st;
    EXPECT_EQ(fetch(&st), xml);
    auto zip = makeZip({{"a.xml", std::string(xml.begin(), xml.end())}});
    d->setFirstUrl("File:" + file(".zip", zip));
    EXPECT_EQ(fetch(&st), xml);
    d->setFirstUrl("file:" + file(".xml", {}));
    fetch(&st);
    EXPECT_EQ(st, GEV_STATUS_XML_READ_ERROR);
    d->setFirstUrl("file:/nonexistent/dir/cam.xml");
    fetch(&st);
    EXPECT_EQ(st, GEV_STATUS_XML_OPEN_ERROR);
}

TEST_F(GevXml, FileUrlsToHugeFilesPipesAndDevicesFailAtOnce) {
    auto d = openDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    GevStatus st;
    // A file beyond the 64 MiB limit (sparse: it takes no disk space).
    const std::string big = file(".xml", {});
    ASSERT_EQ(::truncate(big.c_str(), off_t(GEV_MAX_XML_SIZE) + 1), 0);
    d->setFirstUrl("file:" + big);
    fetch(&st);
    EXPECT_EQ(st, GEV_STATUS_XML_SIZE_ERROR);
    EXPECT_TRUE(LogCapture::instance().has("[E] Xml file too large: 67108865 bytes"));
    // A device that never ends, and a pipe nobody writes to, which would block the open.
    d->setFirstUrl("file:/dev/zero");
    fetch(&st);
    EXPECT_EQ(st, GEV_STATUS_XML_OPEN_ERROR);
    const std::string fifo = file(".fifo", {});
    std::remove(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    d->setFirstUrl("file:" + fifo);
    auto pending = std::async(std::launch::async, [&] {
        GevStatus s2;
        fetch(&s2);
        return s2;
    });
    const bool ended = pending.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!ended) std::ofstream(fifo).put('x'); // releases an open that blocks
    EXPECT_TRUE(ended) << "the open of the pipe blocked";
    EXPECT_EQ(pending.get(), GEV_STATUS_XML_OPEN_ERROR);
    std::remove(fifo.c_str());
}

TEST_F(GevXml, MalformedUrlsAreRejected) {
    auto d = openDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    GevStatus st;
    for (const char* url : {"", "http://camera/xml", "Local:cam.xml", "Local:cam.xml;20000", "Local:;20000;10"}) {
        d->setFirstUrl(url);
        fetch(&st);
        EXPECT_EQ(st, GEV_STATUS_GET_URL_ERROR) << url;
    }
    EXPECT_TRUE(LogCapture::instance().has("[E] Unable to parse first URL for \"local:\" format."));
    // 512 characters without a terminator.
    d->setFirstUrl(std::string(512, 'L'));
    fetch(&st);
    EXPECT_EQ(st, GEV_STATUS_GET_URL_ERROR);
}

TEST_F(GevXml, SizeLimitsAndMemoryErrors) {
    auto d = openDevice();
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    GevStatus st;
    d->setFirstUrl("Local:huge.xml;20000;7FFFFFFF");
    fetch(&st);
    EXPECT_EQ(st, GEV_STATUS_XML_SIZE_ERROR);
    d->setFirstUrl("Local:zero.xml;20000;0");
    fetch(&st);
    EXPECT_EQ(st, GEV_STATUS_XML_SIZE_ERROR);
    EXPECT_TRUE(LogCapture::instance().has("[E] Xml file size is 0."));
    d->setFirstUrl("Local:gone.xml;500000;100"); // nothing mapped there
    fetch(&st);
    EXPECT_EQ(st, GEV_STATUS_READ_XML_MEM_ERROR);
    EXPECT_TRUE(LogCapture::instance().has("[E] Unable to read xml file from memory."));
}

TEST_F(GevXml, UrlRegisterAccess) {
    auto d = openDevice();
    const auto xml = sampleXml(300);
    d->placeXml(0x20000, xml, "SimCam.xml");
    auto url = d->readBytes(0x200, 512);
    d->writeBytes(0x400, url.data(), url.size()); // the second URL
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    GevStatus st;
    d->statusFor(0x200, 0x8003);
    EXPECT_EQ(fetch(&st), xml); // the first URL unreadable: the second serves
    d->statusFor(0x400, 0x8003);
    fetch(&st);
    EXPECT_EQ(st, GEV_STATUS_GET_URL_ERROR);
    EXPECT_TRUE(LogCapture::instance().has("[E] Can't get url from memory."));
    d->statusFor(0x200, 0x8006);
    fetch(&st);
    EXPECT_EQ(st, GEV_STATUS_ACCESS_DENIED);
}

TEST_F(GevXml, HandOverNeedsASizeFirstAndRoom) {
    auto d = openDevice();
    const auto xml = sampleXml(400);
    d->placeXml(0x20000, xml, "SimCam.xml");
    ASSERT_EQ(open(*d), GEV_STATUS_SUCCESS);
    std::vector<char> buffer(1000);
    char* p = buffer.data();
    EXPECT_EQ(GEVGetXmlFile(1, &p), GEV_STATUS_XML_SIZE_ERROR);
    uint32_t size = 0;
    ASSERT_EQ(GEVGetXmlSizeEx(1, &size), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVGetXmlFileEx(1, buffer.data(), size - 1), GEV_STATUS_XML_SIZE_ERROR);
    EXPECT_EQ(GEVGetXmlFileEx(1, buffer.data(), size), GEV_STATUS_SUCCESS);
    EXPECT_EQ(GEVGetXmlSizeEx(9, &size), GEV_STATUS_CAMERA_NOT_INIT);
}
