// FORCEIP on the loopback inside a private network namespace: the command, its attempts, and
// acknowledges good, failing, malformed or missing; and the FORCEIP with IP 0 that closing a
// camera sends after a persistent network change.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

#include "GevChannelTestSupport.h"
#include "GevNetnsSupport.h"
#include "gige/GevRecord.h"

using namespace qx::fixture;
using namespace qx::test;
namespace gvcp = qx::gige::gvcp;

namespace {

class GevForceIp : public NetnsTest {
protected:
    // A device that answers is waited for as long as a loaded machine may need, so that every
    // attempt ends on its own answer and none is sent again because the answer came late.
    // Tests with a silent device keep the fixture's short wait.
    void waitLongForAnswers() {
        GevLibraryOptions o = qx::gige::gevOptions();
        o.ForceIpWaitMs = 5000;
        GEVSetLibraryOptions(&o);
    }
    GevStatus force(SimGevDevice& d, const char* ip = "127.0.0.9") {
        return GEVForceIp(ipv4(ip), ipv4("255.0.0.0"), ipv4("127.0.0.254"), d.config().mac, ipv4("127.0.0.1"));
    }
    std::vector<SimReceived> forceIps(SimGevDevice& d) {
        std::vector<SimReceived> out;
        for (auto& r : d.received())
            if (r.header.command == gvcp::kForceIpCmd) out.push_back(r);
        return out;
    }
    // The device's thread records what it received on its own time: waits (bounded) until it
    // has `count`, then a little longer so that one more would be seen too.
    std::vector<SimReceived> forceIpsOnceAtLeast(SimGevDevice& d, size_t count) {
        EXPECT_TRUE(waitUntil([&] { return forceIps(d).size() >= count; }, 10000ms));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return forceIps(d);
    }
};

} // namespace

TEST_F(GevForceIp, AcknowledgedAtTheFirstAttempt) {
    auto d = device("127.0.0.2");
    waitLongForAnswers();
    EXPECT_EQ(force(*d), GEV_STATUS_SUCCESS);
    auto sent = forceIps(*d);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0].broadcastSocket);
    EXPECT_EQ(sent[0].bytes.size(), 64u);
    EXPECT_EQ(sent[0].header.flags, 0x01);
    gvcp::ForceIpRequest r;
    ASSERT_TRUE(gvcp::decodeForceIpCmd(sent[0].bytes.data(), sent[0].bytes.size(), &r));
    EXPECT_EQ(ipv4Text(r.ip), "127.0.0.9");
    EXPECT_EQ(ipv4Text(r.mask), "255.0.0.0");
    EXPECT_EQ(ipv4Text(r.gateway), "127.0.0.254");
    EXPECT_EQ(std::memcmp(r.mac, d->config().mac, 6), 0);
}

TEST_F(GevForceIp, IpZeroIsSentOnceWithoutWaiting) {
    // Nothing answers it: a library that waited for an answer would report a time-out after
    // three attempts.
    auto d = device("127.0.0.2");
    d->setForceIp(SimForceIpMode::Silent);
    waitLongForAnswers();
    EXPECT_EQ(force(*d, "0.0.0.0"), GEV_STATUS_SUCCESS);
    for (const auto& r : LogCapture::instance().reports()) EXPECT_EQ(r.find("FORCEIP"), std::string::npos) << r;
    auto sent = forceIpsOnceAtLeast(*d, 1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].header.flags, 0x00);
}

TEST_F(GevForceIp, NoAnswerAfterThreeAttempts) {
    auto d = device("127.0.0.2");
    d->setForceIp(SimForceIpMode::Silent);
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(force(*d), GEV_STATUS_TIMEOUT);
    EXPECT_GE(msSince(t), 170);
    EXPECT_EQ(forceIpsOnceAtLeast(*d, 3).size(), 3u);
    int timedOut = 0;
    for (const auto& r : LogCapture::instance().reports())
        timedOut += r.find("[W] FORCEIP select timed out") != std::string::npos;
    EXPECT_EQ(timedOut, 3);
}

TEST_F(GevForceIp, AFailureStatusIsNoSuccess) {
    auto d = device("127.0.0.2");
    d->setForceIp(SimForceIpMode::Status, 0x8006);
    waitLongForAnswers();
    EXPECT_EQ(force(*d), GEV_STATUS_ACCESS_DENIED);
    EXPECT_EQ(forceIps(*d).size(), 1u);
}

TEST_F(GevForceIp, MalformedAnswersAreInvalid) {
    auto d = device("127.0.0.2");
    d->setForceIp(SimForceIpMode::Malformed);
    waitLongForAnswers();
    EXPECT_EQ(force(*d), GEV_STATUS_INVALID_ACK);
    EXPECT_EQ(forceIps(*d).size(), 3u);
}

TEST_F(GevForceIp, AnotherMacIsNotAnswered) {
    auto d = device("127.0.0.2");
    uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(GEVForceIp(ipv4("127.0.0.9"), ipv4("255.0.0.0"), 0, mac, ipv4("127.0.0.1")), GEV_STATUS_TIMEOUT);
}

TEST_F(GevForceIp, OnlyTheCamerasAnswerToThisRequestCounts) {
    // A device that answers every FORCEIP, whatever MAC address it names: for a camera that does
    // not exist its answer is no success.
    auto other = device("127.0.0.3");
    other->setForceIp(SimForceIpMode::AnyMac);
    uint8_t missing[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x99};
    EXPECT_EQ(GEVForceIp(ipv4("127.0.0.9"), ipv4("255.0.0.0"), 0, missing, ipv4("127.0.0.1")), GEV_STATUS_TIMEOUT);
    EXPECT_EQ(GEVForceIpEx(ipv4("127.0.0.9"), ipv4("255.0.0.0"), 0, missing, ipv4("127.0.0.1"), ipv4("127.0.0.8")),
              GEV_STATUS_TIMEOUT);
    EXPECT_EQ(forceIpsOnceAtLeast(*other, 6).size(), 6u) << "it was asked, and it answered each time";

    // The camera itself, answering with another request id.
    auto d = device("127.0.0.2");
    d->setForceIp(SimForceIpMode::WrongId);
    EXPECT_EQ(force(*d), GEV_STATUS_TIMEOUT);

    // The camera answering from the address it had: taken when the caller names that address.
    d->setForceIp(SimForceIpMode::FromOldAddress);
    EXPECT_EQ(force(*d), GEV_STATUS_TIMEOUT);
    waitLongForAnswers();
    EXPECT_EQ(GEVForceIpEx(ipv4("127.0.0.9"), ipv4("255.0.0.0"), 0, d->config().mac, ipv4("127.0.0.1"), d->ip()),
              GEV_STATUS_SUCCESS);
}

TEST_F(GevForceIp, CloseAfterANetworkChangeRestartsTheConfiguration) {
    SimGevConfig c;
    c.gateway = "127.0.0.254";
    auto d = device("127.0.0.2", c);
    GevConnection conn = connectionTo(*d);
    ASSERT_EQ(GEVInit(1, &conn, &LogCapture::callback, 0, GEV_CCP_CONTROL), GEV_STATUS_SUCCESS);
    d->clearReceived();
    ASSERT_EQ(GEVSetNetConfig(1, 0, 0, 0, 0), GEV_STATUS_SUCCESS); // writes nothing
    EXPECT_EQ(d->countReceived(gvcp::kWriteRegCmd), 0u);
    ASSERT_EQ(GEVClose(1), GEV_STATUS_SUCCESS);
    auto sent = forceIpsOnceAtLeast(*d, 1);
    ASSERT_EQ(sent.size(), 1u);
    gvcp::ForceIpRequest r;
    ASSERT_TRUE(gvcp::decodeForceIpCmd(sent[0].bytes.data(), sent[0].bytes.size(), &r));
    EXPECT_EQ(sent[0].header.flags, 0x00);
    EXPECT_EQ(r.ip, 0u);
    EXPECT_EQ(ipv4Text(r.mask), "255.0.0.0");
    EXPECT_EQ(ipv4Text(r.gateway), "127.0.0.254");
    EXPECT_EQ(std::memcmp(r.mac, d->config().mac, 6), 0);
}

TEST_F(GevForceIp, CloseRestartsTheConfigurationEvenWhenReleasingThePrivilegeFails) {
    auto d = device("127.0.0.2");
    GevConnection conn = connectionTo(*d);
    ASSERT_EQ(GEVInit(1, &conn, &LogCapture::callback, 0, GEV_CCP_CONTROL), GEV_STATUS_SUCCESS);
    ASSERT_EQ(GEVSetNetConfig(1, 0, 0, 0, 0), GEV_STATUS_SUCCESS);
    d->clearReceived();
    d->statusFor(gvcp::reg::kCcp, 0x8006); // the final release is refused
    EXPECT_EQ(GEVClose(1), GEV_STATUS_ACCESS_DENIED);
    // The camera would otherwise keep the forced address until it is powered off.
    auto sent = forceIpsOnceAtLeast(*d, 1);
    ASSERT_EQ(sent.size(), 1u);
    gvcp::ForceIpRequest r;
    ASSERT_TRUE(gvcp::decodeForceIpCmd(sent[0].bytes.data(), sent[0].bytes.size(), &r));
    EXPECT_EQ(r.ip, 0u);
    EXPECT_EQ(std::memcmp(r.mac, d->config().mac, 6), 0);
}
