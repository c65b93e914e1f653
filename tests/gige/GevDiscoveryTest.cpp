// Discovery on the loopback inside a private network namespace: the command bytes, the entries
// and their sort order, duplicates, several adapters, the access probe, malformed and failing
// acknowledges, callback mode and progress.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "gige/GevRecord.h"
#include "GevNetnsSupport.h"
#include "WaitUntil.h"

using namespace qx::fixture;
using namespace qx::test;
namespace gvcp = qx::gige::gvcp;

namespace {

class GevDiscovery : public NetnsTest {
protected:
    std::unique_ptr<GevDiscoveryList> discover(uint8_t allowBroadcastAck = 0, uint32_t timeoutMs = 250,
                                               GevStatus expected = GEV_STATUS_SUCCESS) {
        auto list = std::make_unique<GevDiscoveryList>();
        list->Count = 77;
        EXPECT_EQ(GEVDiscovery(list.get(), nullptr, timeoutMs, allowBroadcastAck, 0), expected);
        return list;
    }
    static std::string ipOf(const GevDiscoveryEntry& e) { return ipv4Text(e.CameraIp); }
};

GevAdapterEntry adapter(const char* ip, const char* mask, const char* name) {
    GevAdapterEntry a;
    a.Ip = ipv4(ip);
    a.Mask = ipv4(mask);
    std::strcpy(a.Name, name);
    a.Mac[0] = 0xAA;
    return a;
}

struct AdapterSet {
    std::vector<GevAdapterEntry> adapters;
};
GevStatus fixedAdapters(GevAdapterList* list, void* user) {
    auto* set = static_cast<AdapterSet*>(user);
    list->Count = 0;
    for (const auto& a : set->adapters) list->Adapters[list->Count++] = a;
    return GEV_STATUS_SUCCESS;
}
GevStatus failingAdapters(GevAdapterList*, void*) { return GEV_STATUS_CANNOT_GET_ADAPTER_INFO; }

} // namespace

TEST_F(GevDiscovery, FindsDevicesWithTheirTexts) {
    SimGevConfig c;
    c.manufacturer = "QxSim Manufacturing Company Ltd"; // 31 characters
    c.model = "SimCam-32-characters-long-name!!";       // fills its field
    c.userName = "left";
    c.gateway = "127.0.0.254";
    auto d = device("127.0.0.2", c);
    auto list = discover();
    ASSERT_EQ(list->Count, 1);
    const GevDiscoveryEntry& e = list->Entries[0];
    EXPECT_EQ(ipOf(e), "127.0.0.2");
    EXPECT_STREQ(e.ManufacturerName, "QxSim Manufacturing Company Ltd");
    EXPECT_EQ(std::string(e.ModelName, 32), "SimCam-32-characters-long-name!!");
    EXPECT_STREQ(e.DeviceVersion, "1.0.0");
    EXPECT_EQ(std::string(e.SerialNumber, strnlen(e.SerialNumber, 16)), "SN-2");
    EXPECT_EQ(std::string(e.UserDefinedName, strnlen(e.UserDefinedName, 16)), "left");
    EXPECT_EQ(e.Mac[0], 0x00);
    EXPECT_EQ(e.Mac[1], 0x0F);
    EXPECT_EQ(e.Mac[5], 2);
    EXPECT_EQ(ipv4Text(e.SubnetMask), "255.0.0.0");
    EXPECT_EQ(ipv4Text(e.Gateway), "127.0.0.254");
    EXPECT_EQ(ipv4Text(e.AdapterIp), "127.0.0.1");
    EXPECT_EQ(ipv4Text(e.AdapterMask), "255.0.0.0");
    EXPECT_STREQ(e.AdapterName, "lo");
    EXPECT_EQ(e.Access, GEV_ACCESS_AVAILABLE);
    // The command as it went out, broadcast.
    auto received = d->received();
    ASSERT_GE(received.size(), 2u);
    EXPECT_TRUE(received[0].broadcastSocket);
    EXPECT_EQ(received[0].bytes, (std::vector<uint8_t>{0x42, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01}));
    // Then the privilege probe: READREG of CCP with request id 1.
    EXPECT_EQ(received[1].bytes,
              (std::vector<uint8_t>{0x42, 0x01, 0x00, 0x80, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x0A, 0x00}));
    d->clearReceived();
    discover(1);
    EXPECT_EQ(d->received()[0].bytes[1], 0x11);
}

TEST_F(GevDiscovery, EntriesSortByTheLastOctetFirst) {
    auto a = device("127.0.0.10");
    auto b = device("127.0.1.2");
    auto c = device("127.0.0.3");
    auto list = discover();
    ASSERT_EQ(list->Count, 3);
    EXPECT_EQ(ipOf(list->Entries[0]), "127.0.1.2");
    EXPECT_EQ(ipOf(list->Entries[1]), "127.0.0.3");
    EXPECT_EQ(ipOf(list->Entries[2]), "127.0.0.10");
}

TEST_F(GevDiscovery, ADeviceAnsweringTwiceIsListedOnce) {
    auto d = device("127.0.0.2");
    d->setDiscovery(SimDiscoveryMode::Twice);
    auto list = discover();
    EXPECT_EQ(list->Count, 1);
}

TEST_F(GevDiscovery, OneEntryPerAdapterAndAllAdaptersInOneRound) {
    auto d = device("127.0.0.2");
    AdapterSet set{{adapter("127.0.0.1", "255.0.0.0", "lo"), adapter("127.0.0.20", "255.0.0.0", "lo:second")}};
    setOptions(&fixedAdapters, &set);
    auto t = std::chrono::steady_clock::now();
    auto list = discover(0, 1000);
    EXPECT_GE(msSince(t), 990); // the round lasts its time-out
    // Both adapters asked before either stopped listening: one time-out for the round, not one
    // per adapter.
    std::vector<int64_t> asked;
    for (const auto& r : d->received())
        if (r.header.command == gvcp::kDiscoveryCmd) asked.push_back(r.atMs);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_LT(std::abs(asked[1] - asked[0]), 1000);
    ASSERT_EQ(list->Count, 2);
    std::set<std::string> adapters{ipv4Text(list->Entries[0].AdapterIp), ipv4Text(list->Entries[1].AdapterIp)};
    EXPECT_EQ(adapters, (std::set<std::string>{"127.0.0.1", "127.0.0.20"}));
    EXPECT_EQ(list->Entries[0].AdapterMac[0], 0xAA);
}

TEST_F(GevDiscovery, AccessProbe) {
    auto free_ = device("127.0.0.2");
    auto exclusive = device("127.0.0.3");
    exclusive->setForeignPrivilege(gvcp::kCcpExclusive);
    auto control = device("127.0.0.4");
    control->setForeignPrivilege(gvcp::kCcpControl);
    auto silent = device("127.0.0.5");
    silent->setSilent(true);
    auto t = std::chrono::steady_clock::now();
    auto list = discover(0, 200);
    EXPECT_LT(msSince(t), 1500);
    ASSERT_EQ(list->Count, 4);
    std::map<std::string, uint8_t> access;
    for (int i = 0; i < list->Count; ++i) access[ipOf(list->Entries[i])] = list->Entries[i].Access;
    EXPECT_EQ(access["127.0.0.2"], GEV_ACCESS_AVAILABLE);
    EXPECT_EQ(access["127.0.0.3"], GEV_ACCESS_EXCLUSIVE_OR_DENIED);
    EXPECT_EQ(access["127.0.0.4"], GEV_ACCESS_CONTROL_HELD);
    EXPECT_EQ(access["127.0.0.5"], GEV_ACCESS_READ_FAILED);
    // The silent one was asked three times, with ids 1, 2, 3.
    std::vector<uint16_t> ids;
    for (const auto& r : silent->received())
        if (r.header.command == gvcp::kReadRegCmd) ids.push_back(r.header.requestId);
    EXPECT_EQ(ids, (std::vector<uint16_t>{1, 2, 3}));
}

TEST_F(GevDiscovery, AnotherSubnetNeedsTheBroadcastFlag) {
    AdapterSet set{{adapter("127.0.0.1", "255.255.255.0", "lo")}};
    setOptions(&fixedAdapters, &set);
    auto d = device("127.0.1.5");
    d->setDiscoveryAddress("127.0.1.5", "255.255.255.0");
    EXPECT_EQ(discover(0)->Count, 0);
    auto list = discover(1);
    ASSERT_EQ(list->Count, 1);
    EXPECT_EQ(list->Entries[0].Access, GEV_ACCESS_OTHER_SUBNET);
}

TEST_F(GevDiscovery, AnotherSubnetIsFoundEveryTimeUnderCpuLoad) {
    // Busy threads on every core: the discovering thread may lose the processor right after
    // the command went out, while the camera answers at once. Every receiving socket is open
    // before the command, so no answer is lost.
    AdapterSet set{{adapter("127.0.0.1", "255.255.255.0", "lo")}};
    setOptions(&fixedAdapters, &set);
    auto d = device("127.0.1.6");
    d->setDiscoveryAddress("127.0.1.6", "255.255.255.0");
    std::atomic<bool> stop{false};
    std::vector<std::thread> load;
    const unsigned cores = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
    for (unsigned i = 0; i < cores; ++i)
        load.emplace_back([&stop] {
            volatile uint64_t x = 0;
            while (!stop.load(std::memory_order_relaxed)) x = x + 1;
        });
    int found = 0;
    constexpr int kRounds = 40;
    for (int round = 0; round < kRounds; ++round) found += discover(1, 100)->Count == 1;
    stop = true;
    for (auto& t : load) t.join();
    EXPECT_EQ(found, kRounds);
}

TEST_F(GevDiscovery, WrongLengthAcknowledgesAreListedAsIncorrect) {
    auto good = device("127.0.0.2");
    auto bad = device("127.0.0.7");
    for (size_t length : {size_t(100), size_t(255), size_t(257), size_t(1400), size_t(9000)}) {
        bad->setDiscovery(SimDiscoveryMode::WrongLength, 0, length);
        auto list = discover();
        ASSERT_EQ(list->Count, 2) << length;
        const GevDiscoveryEntry& e = list->Entries[1];
        EXPECT_EQ(ipOf(e), "127.0.0.7");
        EXPECT_STREQ(e.ManufacturerName, "---");
        EXPECT_STREQ(e.ModelName, "Discovery Acknowledge Incorrect");
        EXPECT_STREQ(e.AdapterName, "lo");
        EXPECT_EQ(ipOf(list->Entries[0]), "127.0.0.2");
    }
}

TEST_F(GevDiscovery, AFloodOfMalformedAcknowledgesCountsOnceAndTheCameraIsListed) {
    // 400 acknowledges of the wrong length from one address, and a camera that answers 100 ms
    // later: one "incorrect" entry for the address, and the camera, in every round.
    auto flooder = device("127.0.0.7");
    flooder->floodDiscovery(400, 1);
    auto camera = device("127.0.0.2");
    camera->setDiscoveryDelay(100);
    for (int round = 0; round < 3; ++round) {
        auto list = discover(0, 400);
        std::multiset<std::string> ips;
        for (int i = 0; i < list->Count; ++i) ips.insert(ipOf(list->Entries[i]));
        EXPECT_EQ(ips, (std::multiset<std::string>{"127.0.0.2", "127.0.0.7", "127.0.3.1"})) << round;
        for (int i = 0; i < list->Count; ++i) {
            if (ipOf(list->Entries[i]) == "127.0.3.1") {
                EXPECT_STREQ(list->Entries[i].ModelName, "Discovery Acknowledge Incorrect");
            }
        }
    }
    // From 300 addresses the malformed entries fill the list; the cameras that answer
    // correctly take places of theirs.
    flooder->floodDiscovery(300, 300);
    auto list = discover(0, 400);
    ASSERT_EQ(list->Count, GEV_MAX_DISCOVERED);
    std::set<std::string> ips;
    for (int i = 0; i < list->Count; ++i) ips.insert(ipOf(list->Entries[i]));
    EXPECT_EQ(ips.count("127.0.0.2"), 1u);
    EXPECT_EQ(ips.count("127.0.0.7"), 1u);
}

TEST_F(GevDiscovery, TheAccessChecksOfARoundRunTogether) {
    // 253 answers naming 253 addresses where nothing listens, and one camera: each silent
    // address takes the probe's three waits (200, 400, 800 ms). One after another that would
    // be about six minutes; together it is the three waits once.
    GevLibraryOptions o = qx::gige::gevOptions();
    o.AccessProbeFirstTimeoutMs = 200;
    GEVSetLibraryOptions(&o);
    auto flooder = device("127.0.0.7");
    flooder->floodDiscovery(253, 253, gvcp::kDiscoveryAckSize);
    auto camera = device("127.0.0.2");
    camera->setDiscoveryDelay(100);
    auto list = std::make_unique<GevDiscoveryList>();
    auto run = std::async(std::launch::async, [&] { return GEVDiscovery(list.get(), nullptr, 300, 0, 0); });
    const bool ended = run.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    EXPECT_TRUE(ended) << "the access checks ran one after another";
    EXPECT_EQ(run.get(), GEV_STATUS_SUCCESS);
    ASSERT_EQ(list->Count, 255); // the flood, the flooder and the camera fill it
    std::map<std::string, uint8_t> access;
    for (int i = 0; i < list->Count; ++i) access[ipOf(list->Entries[i])] = list->Entries[i].Access;
    EXPECT_EQ(access.count("127.0.0.2"), 1u);
    EXPECT_EQ(access["127.0.0.2"], GEV_ACCESS_AVAILABLE);
    EXPECT_EQ(access["127.0.3.1"], GEV_ACCESS_READ_FAILED);
    EXPECT_EQ(access["127.0.4.3"], GEV_ACCESS_READ_FAILED);
    EXPECT_EQ(access.size(), 255u);
}

TEST_F(GevDiscovery, AStopEndsTheRoundEarly) {
    auto camera = device("127.0.0.2");
    std::atomic<bool> stop{false};
    auto list = std::make_unique<GevDiscoveryList>();
    auto run =
        std::async(std::launch::async, [&] { return qx::gige::gevDiscovery(list.get(), nullptr, 60000, 0, 0, &stop); });
    ASSERT_TRUE(qxtest::waitUntil([&] { return camera->countReceived(gvcp::kDiscoveryCmd) > 0; },
                                  std::chrono::milliseconds(20000)));
    stop = true;
    // Far below the round's minute.
    EXPECT_EQ(run.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(run.get(), GEV_STATUS_SUCCESS);
    EXPECT_LE(list->Count, 1);
    for (int i = 0; i < list->Count; ++i) EXPECT_EQ(list->Entries[i].Access, GEV_ACCESS_NOT_DETERMINED);
}

TEST_F(GevDiscovery, AFailureStatusIsReturnedAndTheEntryKept) {
    auto d = device("127.0.0.2");
    d->setDiscovery(SimDiscoveryMode::Normal, 0x8FFF);
    auto list = discover(0, 250, 0x8FFF);
    EXPECT_EQ(list->Count, 1);
}

TEST_F(GevDiscovery, CallbackModeAndProgress) {
    auto d = device("127.0.0.2");
    static std::vector<uint32_t> percents;
    static std::vector<GevDiscoveryEntry> entries;
    percents.clear();
    entries.clear();
    ASSERT_EQ(GEVDiscovery(
                  nullptr,
                  [](uint32_t p, GevDiscoveryEntry* e) {
                      if (e) entries.push_back(*e);
                      else percents.push_back(p);
                  },
                  300, 0, 0),
              GEV_STATUS_SUCCESS);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Access, GEV_ACCESS_NOT_DETERMINED);
    EXPECT_EQ(d->countReceived(gvcp::kReadRegCmd), 0u); // no probe in callback mode
    ASSERT_FALSE(percents.empty());
    for (size_t i = 1; i < percents.size(); ++i) EXPECT_GE(percents[i], percents[i - 1]);
    EXPECT_LE(percents.back(), 100u);
    EXPECT_GE(percents.back(), 90u);
    // A timeout below a hundredth of a second divides by nothing.
    percents.clear();
    EXPECT_EQ(GEVDiscovery(
                  nullptr, [](uint32_t p, GevDiscoveryEntry*) { percents.push_back(p); }, 1, 0, 0),
              GEV_STATUS_SUCCESS);
    EXPECT_FALSE(percents.empty());
}

TEST_F(GevDiscovery, NoAdapterAndAdapterFailure) {
    AdapterSet none;
    setOptions(&fixedAdapters, &none);
    auto list = discover();
    EXPECT_EQ(list->Count, 0);
    setOptions(&failingAdapters, nullptr);
    discover(0, 100, GEV_STATUS_CANNOT_GET_ADAPTER_INFO);
}

TEST_F(GevDiscovery, SystemAdaptersHaveTheLoopback) {
    auto list = std::make_unique<GevAdapterList>();
    ASSERT_EQ(GevGetSystemAdapterList(list.get()), GEV_STATUS_SUCCESS);
    ASSERT_GE(list->Count, 1);
    EXPECT_EQ(ipv4Text(list->Adapters[0].Ip), "127.0.0.1");
    EXPECT_STREQ(list->Adapters[0].Name, "lo");
}

TEST_F(GevDiscovery, AnAdapterWhoseSocketFailsIsReported) {
    AdapterSet set{{adapter("10.255.0.1", "255.0.0.0", "nowhere"), adapter("127.0.0.1", "255.0.0.0", "lo")}};
    setOptions(&fixedAdapters, &set);
    auto d = device("127.0.0.2");
    auto list = discover(0, 200, GEV_STATUS_CANNOT_CREATE_SOCKET);
    EXPECT_EQ(list->Count, 1); // the other adapter still searched
    EXPECT_TRUE(LogCapture::instance().reported("[E] Create socket failed. Adapter: nowhere, Ip: "));
}
