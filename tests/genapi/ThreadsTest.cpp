// The node map serialises threads with its recursive lock: writers, readers and a poller run
// together without tearing values or losing callbacks.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "GenApiTestUtil.h"

using namespace QxGenApi;
using qx::test::Fixture;

namespace {

TEST(Threads, ConcurrentReadersWritersAndPoll) {
    Fixture f(R"(
<IntReg Name="A"><Address>0</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Sign>Signed</Sign></IntReg>
<IntReg Name="B"><Address>4</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Sign>Signed</Sign><PollingTime>1</PollingTime></IntReg>
<IntSwissKnife Name="Sum"><pVariable Name="X">A</pVariable><pVariable Name="Y">B</pVariable><Formula>X+Y</Formula></IntSwissKnife>)");
    std::atomic<int> callbacks{0};
    Register(f.node("Sum"), [&](INode*) { ++callbacks; });
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    const int writes = 2000;
    std::thread writer([&] {
        for (int i = 0; i < writes; ++i) {
            // Both registers change under one lock: readers never see them apart.
            std::lock_guard<std::recursive_mutex> lk(f.ref._Ptr()->GetLock());
            CIntegerPtr(f.node("A"))->SetValue(i);
            CIntegerPtr(f.node("B"))->SetValue(-i);
        }
    });
    std::thread reader([&] {
        while (!stop) {
            if (CIntegerPtr(f.node("Sum"))->GetValue() != 0) ++bad;
        }
    });
    std::thread poller([&] {
        while (!stop) f.ref._Poll(1);
    });
    writer.join();
    stop = true;
    reader.join();
    poller.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GE(callbacks.load(), 2 * writes);
    EXPECT_EQ(CIntegerPtr(f.node("A"))->GetValue(), writes - 1);
}

} // namespace
