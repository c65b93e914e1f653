// Node callbacks after writes and Execute (the written node and every dependent, once per
// change, synchronously on the writing thread inside the lock) and Poll.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "GenApiTestUtil.h"

using namespace QxGenApi;
using qx::test::Fixture;

namespace {

const char* kGraph = R"(
<IntReg Name="WidthReg"><Address>0x00</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="HeightReg"><Address>0x04</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="CmdReg"><Address>0x08</Address><Length>4</Length><AccessMode>WO</AccessMode><pPort>Device</pPort></IntReg>
<IntReg Name="StatusReg"><Address>0x0C</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>
  <pInvalidator>Start</pInvalidator><PollingTime>100</PollingTime></IntReg>
<Integer Name="Width"><pValue>WidthReg</pValue><Max>4096</Max></Integer>
<Integer Name="Height"><pValue>HeightReg</pValue></Integer>
<IntSwissKnife Name="Payload"><pVariable Name="W">Width</pVariable><pVariable Name="H">Height</pVariable><Formula>W*H</Formula></IntSwissKnife>
<Command Name="Start"><pValue>CmdReg</pValue><CommandValue>1</CommandValue></Command>
<Integer Name="Sel"><Value>0</Value><pSelected>Gain</pSelected></Integer>
<Integer Name="Gain"><pIndex>Sel</pIndex><ValueIndexed Index="0">1</ValueIndexed><ValueIndexed Index="1">2</ValueIndexed></Integer>
<Integer Name="Unrelated"><Value>0</Value></Integer>
)";

struct Recorder {
    std::map<std::string, int> counts;
    std::vector<std::string> order;
    void attach(INode* n) {
        Register(n, [this](INode* node) {
            ++counts[node->GetName()];
            order.push_back(node->GetName());
        });
    }
};

TEST(Callbacks, WrittenNodeAndDependentsOncePerChange) {
    Fixture f(kGraph);
    Recorder rec;
    for (const char* n : {"Width", "WidthReg", "Height", "Payload", "Unrelated", "Start", "StatusReg", "Gain", "Sel"}) {
        rec.attach(f.node(n));
    }
    CIntegerPtr(f.node("Width"))->SetValue(640);
    EXPECT_EQ(rec.counts["Width"], 1);
    EXPECT_EQ(rec.counts["WidthReg"], 1);
    EXPECT_EQ(rec.counts["Payload"], 1);
    EXPECT_EQ(rec.counts["Height"], 0);
    EXPECT_EQ(rec.counts["Unrelated"], 0);
    EXPECT_EQ(rec.order.size(), 3u);

    rec.counts.clear();
    CIntegerPtr(f.node("WidthReg"))->SetValue(320);
    EXPECT_EQ(rec.counts["Width"], 1);
    EXPECT_EQ(rec.counts["Payload"], 1);

    rec.counts.clear();
    CCommandPtr(f.node("Start"))->Execute();
    EXPECT_EQ(rec.counts["Start"], 1);
    EXPECT_EQ(rec.counts["StatusReg"], 1); // pInvalidator
    EXPECT_EQ(rec.counts["Width"], 0);

    rec.counts.clear();
    CIntegerPtr(f.node("Sel"))->SetValue(1);
    EXPECT_EQ(rec.counts["Sel"], 1);
    EXPECT_EQ(rec.counts["Gain"], 1); // selected by Sel (and indexed by it)
}

TEST(Callbacks, RefusedWritesFireNothing) {
    Fixture f(kGraph);
    Recorder rec;
    rec.attach(f.node("Width"));
    rec.attach(f.node("Payload"));
    EXPECT_THROW(CIntegerPtr(f.node("Width"))->SetValue(5000), OutOfRangeException);
    EXPECT_TRUE(rec.order.empty());
    f.port.failWrites(0x80000042);
    EXPECT_THROW(CIntegerPtr(f.node("Width"))->SetValue(50), PortException);
    EXPECT_TRUE(rec.order.empty());
}

TEST(Callbacks, RunOnTheWritingThreadInsideTheLock) {
    Fixture f(kGraph);
    std::thread::id seen;
    bool lockHeld = false;
    INodeMap* map = f.ref._Ptr();
    Register(f.node("Payload"), [&](INode*) {
        seen = std::this_thread::get_id();
        std::thread probe([&] {
            bool got = map->GetLock().try_lock();
            if (got) map->GetLock().unlock();
            lockHeld = !got;
        });
        probe.join();
    });
    std::thread writer([&] { CIntegerPtr(f.node("Height"))->SetValue(2); });
    std::thread::id writerId = writer.get_id();
    writer.join();
    EXPECT_EQ(seen, writerId);
    EXPECT_TRUE(lockHeld);
}

TEST(Callbacks, OutsideLockCallbacksRunAfterTheLockIsReleased) {
    Fixture f(kGraph);
    bool lockFree = false;
    INodeMap* map = f.ref._Ptr();
    Register(
        f.node("Width"),
        [&](INode*) {
            std::thread probe([&] {
                bool got = map->GetLock().try_lock();
                if (got) map->GetLock().unlock();
                lockFree = got;
            });
            probe.join();
        },
        cbPostOutsideLock);
    CIntegerPtr(f.node("Width"))->SetValue(7);
    EXPECT_TRUE(lockFree);
}

struct Client {
    int calls = 0;
    INode* last = nullptr;
    void onChange(INode* n) {
        ++calls;
        last = n;
    }
};

TEST(Callbacks, MemberCallbacksAndDeregistration) {
    Fixture f(kGraph);
    Client c;
    CallbackHandleType h = Register(f.node("Width"), c, &Client::onChange);
    EXPECT_NE(h, 0u);
    CIntegerPtr(f.node("Width"))->SetValue(1);
    EXPECT_EQ(c.calls, 1);
    EXPECT_EQ(c.last, f.node("Width"));
    EXPECT_TRUE(Deregister(f.node("Width"), h));
    EXPECT_FALSE(Deregister(f.node("Width"), h));
    CIntegerPtr(f.node("Width"))->SetValue(2);
    EXPECT_EQ(c.calls, 1);
    EXPECT_THROW(Register(nullptr, [](INode*) {}), LogicalErrorException);
}

TEST(Callbacks, ACallbackMayAccessTheNodeMap) {
    Fixture f(kGraph);
    int64_t payloadSeen = -1;
    int heightCalls = 0;
    Register(f.node("Width"), [&](INode*) {
        payloadSeen = CIntegerPtr(f.node("Payload"))->GetValue();
        CIntegerPtr(f.node("Height"))->SetValue(3); // a write inside a callback fires its own callbacks
    });
    Register(f.node("Height"), [&](INode*) { ++heightCalls; });
    f.port.setU32Le(4, 10);
    CIntegerPtr(f.node("Width"))->SetValue(5);
    EXPECT_EQ(payloadSeen, 50);
    EXPECT_EQ(heightCalls, 1);
}

TEST(Callbacks, SeveralCallbacksPerNodeAndInvalidateNode) {
    Fixture f(kGraph);
    int a = 0, b = 0;
    Register(f.node("Payload"), [&](INode*) { ++a; });
    Register(f.node("Payload"), [&](INode*) { ++b; });
    f.node("Width")->InvalidateNode();
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 1);
}

TEST(Poll, RereadsWhenThePollingTimeRunsOutAndReportsChanges) {
    Fixture f(kGraph);
    int calls = 0;
    Register(f.node("StatusReg"), [&](INode*) { ++calls; });
    CIntegerPtr status = f.node("StatusReg");
    f.port.setU32Le(0x0C, 1);
    EXPECT_EQ(status->GetValue(), 1);
    f.port.clearAccesses();
    f.ref._Poll(50);
    EXPECT_EQ(f.port.traffic(), ""); // not yet due
    f.ref._Poll(50);
    EXPECT_EQ(f.port.traffic(), "R 0xc 4"); // due: re-read past the cache
    EXPECT_EQ(calls, 0);                    // unchanged
    f.port.setU32Le(0x0C, 2);
    f.ref._Poll(99);
    EXPECT_EQ(calls, 0);
    f.ref._Poll(1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(status->GetValue(), 2); // the cache holds the polled value
    f.port.clearAccesses();
    f.ref._Poll(100);
    EXPECT_EQ(calls, 1);
    f.port.failReads(0x80000077);
    EXPECT_NO_THROW(f.ref._Poll(100)); // failures during a poll are swallowed
    EXPECT_EQ(calls, 1);
    f.port.clearFailures();
    f.port.setU32Le(0x0C, 3);
    f.ref._Poll(1000);
    EXPECT_EQ(calls, 2);
}

TEST(Poll, ChangesReachDependentsToo) {
    Fixture f(R"(
<IntReg Name="Temp"><Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></IntReg>
<Integer Name="Temperature"><pValue>Temp</pValue><PollingTime>10</PollingTime></Integer>
<IntSwissKnife Name="TempX2"><pVariable Name="T">Temperature</pVariable><Formula>T*2</Formula></IntSwissKnife>)");
    int knife = 0, temp = 0;
    Register(f.node("TempX2"), [&](INode*) { ++knife; });
    Register(f.node("Temperature"), [&](INode*) { ++temp; });
    f.ref._Poll(10); // baseline
    f.port.setU32Le(0, 42);
    f.ref._Poll(10);
    EXPECT_EQ(temp, 1);
    EXPECT_EQ(knife, 1);
    EXPECT_EQ(CIntegerPtr(f.node("TempX2"))->GetValue(), 84);
}

} // namespace
