// Node-updated events and node-map polling through the real exports: events for
// the nodes that depend on a write, merging of repeated changes, polling intervals and the
// poll settings, stopping and restarting (also from inside a node callback), node callbacks
// that call back into the same handle while polling is being disabled, rebuilt node maps and
// trees, and the status of a call beside a polling thread. Every wait is bounded; a deadlock
// ends the test binary with a message instead of hanging it.
#include "core/api/DeviceProxy.h"
#include "feature/FeatureBase.h"
#include "FeatureTestCamera.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace qx::core::api;

using namespace qx::feature;

using namespace qxtest;
using namespace std::chrono_literals;

namespace {

constexpr auto kEventWait = 5s;

// Runs `body` on another thread and ends the process when it does not finish in time: a
// deadlock must fail the test, not hang it.
void bounded(const char* what, std::chrono::seconds limit, std::function<void()> body) {
    auto done = std::async(std::launch::async, std::move(body));
    if (done.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "DEADLOCK: %s did not finish within %lld s\n", what,
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::_Exit(3);
    }
    done.get();
}

// Records the node callbacks; `action` runs inside the callback after it is recorded.
struct Recorder {
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<std::string> names;
    std::vector<NodeInfo*> records;
    std::thread::id thread;
    std::function<void(NodeInfo*)> action;

    static void callback(NodeInfo* info, void* user) {
        auto* self = static_cast<Recorder*>(user);
        {
            std::lock_guard<std::mutex> lk(self->mutex);
            self->names.push_back(info->strName);
            self->records.push_back(info);
            self->thread = std::this_thread::get_id();
        }
        self->cond.notify_all();
        if (self->action) self->action(info);
    }
    size_t count(const std::string& name) {
        std::lock_guard<std::mutex> lk(mutex);
        size_t n = 0;
        for (const auto& s : names) n += s == name;
        return n;
    }
    bool waitFor(const std::string& name, size_t n = 1, std::chrono::milliseconds limit = kEventWait) {
        std::unique_lock<std::mutex> lk(mutex);
        return cond.wait_for(lk, limit, [&] {
            size_t c = 0;
            for (const auto& s : names) c += s == name;
            return c >= n;
        });
    }
};

class NodeEventsTest : public FeatureTest {
protected:
    void SetUp() override {
        FeatureTest::SetUp();
        connect();
    }
    FeatureBase& feature() { return *static_cast<DeviceProxy*>(handle)->getFeature(); }
    void buildTree() {
        NodeInfoList list{};
        ASSERT_EQ(QX_XML_GetNodeTree(handle, &list), QX_OK);
    }
    void listen() { ASSERT_EQ(QX_XML_RegisterNodeCallback(handle, &Recorder::callback, &rec), QX_OK); }
    // Makes the handle again with transport.options as they are now.
    void recreate() {
        FeatureTest::TearDown();
        createHandle();
        connect();
    }
    // State the callbacks and hooks use lives as long as the handle (TearDown deletes it).
    static constexpr QX_STATUS kNone = 0xFFFFFFFF;
    Recorder rec;
    std::atomic<bool> first{true};
    std::atomic<QX_STATUS> inner{kNone};
    std::atomic<bool> finished{false};
    std::atomic<int> reads{0};
    std::promise<void> entered;
};

} // namespace

TEST_F(NodeEventsTest, PollSettingsRoundTrip) {
    bool enabled = true;
    int32_t interval = -1;
    ASSERT_EQ(QX_XML_GetNodeMapPoll(handle, &enabled, &interval), QX_OK);
    EXPECT_FALSE(enabled);
    EXPECT_EQ(interval, 0);
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 0), QX_OK);
    ASSERT_EQ(QX_XML_GetNodeMapPoll(handle, &enabled, &interval), QX_OK);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(interval, 1);
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, false, 500), QX_OK);
    ASSERT_EQ(QX_XML_GetNodeMapPoll(handle, &enabled, &interval), QX_OK);
    EXPECT_FALSE(enabled);
    EXPECT_EQ(interval, 500);
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 25), QX_OK);
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 40), QX_OK); // a restart
    ASSERT_EQ(QX_XML_GetNodeMapPoll(handle, &enabled, &interval), QX_OK);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(interval, 40);
    EXPECT_EQ(feature().events().dispatchThreadCount(), 1u);
    ASSERT_EQ(QX_DisconnectDevice(handle), QX_OK);
    EXPECT_EQ(feature().events().dispatchThreadCount(), 0u);
    EXPECT_EQ(QX_XML_GetNodeMapPoll(handle, &enabled, &interval), QX_ERR_GENERAL);
    EXPECT_EQ(QX_XML_SetNodeMapPoll(handle, true, 10), QX_ERR_WRONG_STATE);
}

TEST_F(NodeEventsTest, AWriteDeliversTheNodesThatDependOnItButNotTheNodeItself) {
    buildTree();
    listen();
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1000), QX_OK);
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 2000.0f), QX_OK);
    ASSERT_TRUE(rec.waitFor("ReadoutTime"));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(rec.count("ReadoutTime"), 1u);
    EXPECT_EQ(rec.count("ExposureTime"), 0u);
    {
        std::lock_guard<std::mutex> lk(rec.mutex);
        EXPECT_NE(rec.thread, std::this_thread::get_id());
        EXPECT_EQ(rec.records[0]->nInterfaceType, QX_NODE_IFLOAT);
    }
    // A write whose node has no dependents in the tree delivers nothing.
    ASSERT_EQ(QX_XML_SetIntValue(handle, "Width", 1024), QX_OK);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rec.count("Width"), 0u);
}

TEST_F(NodeEventsTest, ANodeChangedSeveralTimesBeforeDispatchIsDeliveredOnce) {
    buildTree();
    listen();
    for (float v : {2000.0f, 3000.0f, 4000.0f}) ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", v), QX_OK);
    // Polling is off: the changes wait in the queue, once.
    EXPECT_EQ(feature().events().queuedCount(), 1u);
    EXPECT_EQ(rec.count("ReadoutTime"), 0u);
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1000), QX_OK);
    ASSERT_TRUE(rec.waitFor("ReadoutTime"));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(rec.count("ReadoutTime"), 1u);
    EXPECT_EQ(feature().events().queuedCount(), 0u);
}

TEST_F(NodeEventsTest, WithoutANodeTreeNothingIsDelivered) {
    listen();
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 5), QX_OK);
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 2000.0f), QX_OK);
    dev().setU32Be(reg::kDeviceTemperature, 60);
    std::this_thread::sleep_for(200ms);
    std::lock_guard<std::mutex> lk(rec.mutex);
    EXPECT_TRUE(rec.names.empty());
}

TEST_F(NodeEventsTest, PollingReportsPolledRegistersThatChangeByThemselves) {
    transport.options.onAccess = [&](bool write, int64_t address, int64_t) {
        if (!write && address == reg::kDeviceTemperature) ++reads;
    };
    recreate();
    buildTree();
    listen();
    const int before = reads.load();
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 5), QX_OK);
    // Two polls have read the register: the first one has seen the start value, however slow
    // the machine.
    ASSERT_TRUE(waitUntil([&] { return reads.load() >= before + 2; }, kEventWait));
    dev().setU32Be(reg::kDeviceTemperature, 55);
    ASSERT_TRUE(rec.waitFor("DeviceTemperature"));
    IntValueInfo v{};
    ASSERT_EQ(QX_XML_GetIntValue(handle, "DeviceTemperature", &v), QX_OK);
    EXPECT_EQ(v.nValue, 55);
}

TEST_F(NodeEventsTest, ThePollIntervalPacesThePolls) {
    transport.options.onAccess = [&](bool write, int64_t address, int64_t) {
        if (!write && address == reg::kDeviceTemperature) ++reads;
    };
    recreate();
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 20), QX_OK);
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, false, 0), QX_OK);
    const int n = reads.load();
    EXPECT_GE(n, 3);  // about 25 polls of 20 ms in 500 ms
    EXPECT_LE(n, 60); // the thread waits its interval between polls
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(reads.load(), n); // and polls no more once disabled
}

TEST_F(NodeEventsTest, DisablingWakesThePollThreadAtOnce) {
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 600000), QX_OK);
    std::this_thread::sleep_for(20ms);
    const auto start = std::chrono::steady_clock::now();
    bounded("disabling a 10-minute poll", 10s, [&] { EXPECT_EQ(QX_XML_SetNodeMapPoll(handle, false, 0), QX_OK); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(NodeEventsTest, ACallbackMayCallBackIntoTheSameHandle) {
    buildTree();
    rec.action = [&](NodeInfo*) {
        IntValueInfo v{};
        inner = QX_XML_GetIntValue(handle, "Width", &v);
    };
    listen();
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1000), QX_OK);
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 2000.0f), QX_OK);
    ASSERT_TRUE(rec.waitFor("ReadoutTime"));
    ASSERT_TRUE(waitUntil([&] { return inner.load() != kNone; }, 5000ms));
    EXPECT_EQ(inner.load(), QX_OK);
}

TEST_F(NodeEventsTest, DisablingWhileTheCallbackWaitsForTheSameHandleDoesNotDeadlock) {
    buildTree();
    rec.action = [&](NodeInfo*) {
        if (!first.exchange(false)) return;
        entered.set_value();
        // Wait until the main thread is inside QX_XML_SetNodeMapPoll, holding the HandleLock.
        waitUntil([&] { return log.count("func:QX_XML_SetNodeMapPoll start") >= 2; }, 5000ms);
        std::this_thread::sleep_for(50ms);
        IntValueInfo v{};
        inner = QX_XML_GetIntValue(handle, "Width", &v);
        std::this_thread::sleep_for(200ms); // still in the callback when the handle goes
        finished = true;
    };
    listen();
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1000), QX_OK);
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 2000.0f), QX_OK);
    ASSERT_EQ(entered.get_future().wait_for(kEventWait), std::future_status::ready);
    bounded("QX_XML_SetNodeMapPoll(false) while the callback calls into the handle", 20s,
            [&] { EXPECT_EQ(QX_XML_SetNodeMapPoll(handle, false, 0), QX_OK); });
    // It stopped waiting for the dispatch thread, which finishes its callback on its own.
    EXPECT_EQ(feature().events().dispatchThreadCount(), 1u);
    ASSERT_TRUE(waitUntil([&] { return inner.load() != kNone; }, 5000ms));
    EXPECT_EQ(inner.load(), QX_OK);
    bool enabled = true;
    int32_t interval = -1;
    ASSERT_EQ(QX_XML_GetNodeMapPoll(handle, &enabled, &interval), QX_OK);
    EXPECT_FALSE(enabled);
    // Deleting the handle waits for the callback still running.
    bounded("disconnect and delete with a callback still running", 20s, [&] {
        EXPECT_EQ(QX_DisconnectDevice(handle), QX_OK);
        EXPECT_EQ(QX_DeleteDevice(handle), QX_OK);
    });
    EXPECT_TRUE(finished.load());
    handle = nullptr;
}

TEST_F(NodeEventsTest, DisconnectWhileTheCallbackWaitsForTheSameHandleDoesNotDeadlock) {
    buildTree();
    rec.action = [&](NodeInfo*) {
        if (!first.exchange(false)) return;
        entered.set_value();
        waitUntil([&] { return log.count("func:QX_DisconnectDevice start") >= 1; }, 5000ms);
        std::this_thread::sleep_for(50ms);
        FloatValueInfo v{};
        inner = QX_XML_GetFloatValue(handle, "ReadoutTime", &v);
    };
    listen();
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1000), QX_OK);
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 2000.0f), QX_OK);
    ASSERT_EQ(entered.get_future().wait_for(kEventWait), std::future_status::ready);
    bounded("QX_DisconnectDevice while the callback calls into the handle", 20s,
            [&] { EXPECT_EQ(QX_DisconnectDevice(handle), QX_OK); });
    ASSERT_TRUE(waitUntil([&] { return inner.load() != kNone; }, 5000ms));
    // The node map outlives the disconnect; the test camera still answers.
    EXPECT_EQ(inner.load(), QX_OK);
}

TEST_F(NodeEventsTest, DisconnectWaitsForARunningCallback) {
    buildTree();
    rec.action = [&](NodeInfo*) {
        if (!first.exchange(false)) return;
        entered.set_value();
        std::this_thread::sleep_for(300ms);
        finished = true;
    };
    listen();
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1000), QX_OK);
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 2000.0f), QX_OK);
    ASSERT_EQ(entered.get_future().wait_for(kEventWait), std::future_status::ready);
    bounded("QX_DisconnectDevice with a callback running", 20s, [&] { EXPECT_EQ(QX_DisconnectDevice(handle), QX_OK); });
    EXPECT_TRUE(finished.load());
    EXPECT_EQ(feature().events().dispatchThreadCount(), 0u);
}

TEST_F(NodeEventsTest, DisablingFromInsideTheCallback) {
    buildTree();
    rec.action = [&](NodeInfo*) {
        if (first.exchange(false)) inner = QX_XML_SetNodeMapPoll(handle, false, 0);
    };
    listen();
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1000), QX_OK);
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 2000.0f), QX_OK);
    ASSERT_TRUE(rec.waitFor("ReadoutTime"));
    ASSERT_TRUE(waitUntil([&] { return inner.load() != kNone; }, 5000ms));
    EXPECT_EQ(inner.load(), QX_OK);
    bool enabled = true;
    int32_t interval = -1;
    ASSERT_EQ(QX_XML_GetNodeMapPoll(handle, &enabled, &interval), QX_OK);
    EXPECT_FALSE(enabled);
    // Enabled again, events flow again; the stopped thread has been joined by then.
    bounded("enabling again", 20s, [&] { EXPECT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1000), QX_OK); });
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 3000.0f), QX_OK);
    ASSERT_TRUE(rec.waitFor("ReadoutTime", 2));
}

TEST_F(NodeEventsTest, RestartingFromInsideTheCallback) {
    buildTree();
    rec.action = [&](NodeInfo*) {
        if (first.exchange(false)) inner = QX_XML_SetNodeMapPoll(handle, true, 500);
    };
    listen();
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1000), QX_OK);
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 2000.0f), QX_OK);
    ASSERT_TRUE(rec.waitFor("ReadoutTime"));
    ASSERT_TRUE(waitUntil([&] { return inner.load() != kNone; }, 5000ms));
    EXPECT_EQ(inner.load(), QX_OK);
    bool enabled = false;
    int32_t interval = -1;
    ASSERT_EQ(QX_XML_GetNodeMapPoll(handle, &enabled, &interval), QX_OK);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(interval, 500);
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 3000.0f), QX_OK);
    ASSERT_TRUE(rec.waitFor("ReadoutTime", 2));
}

TEST_F(NodeEventsTest, ARebuiltTreeDeliversItsOwnRecordsForQueuedNodes) {
    buildTree();
    listen();
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 2000.0f), QX_OK);
    EXPECT_EQ(feature().events().queuedCount(), 1u);
    NodeInfoList list{};
    ASSERT_EQ(QX_XML_GetNodeTree(handle, &list), QX_OK); // frees the first tree
    const NodeInfo* readout = nullptr;
    for (int32_t i = 0; i < list.nCount; ++i) {
        const auto* cat = reinterpret_cast<const CategoryNodeInfo*>(list.ppNodes[i]);
        for (int32_t j = 0; j < cat->stChildren.nCount; ++j) {
            if (std::string(cat->stChildren.ppNodes[j]->strName) == "ReadoutTime") readout = cat->stChildren.ppNodes[j];
        }
    }
    ASSERT_NE(readout, nullptr);
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1000), QX_OK);
    ASSERT_TRUE(rec.waitFor("ReadoutTime"));
    std::lock_guard<std::mutex> lk(rec.mutex);
    EXPECT_EQ(rec.records[0], readout);
}

TEST_F(NodeEventsTest, AReconnectDropsTheQueuedNodesOfTheOldNodeMap) {
    buildTree();
    listen();
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 2000.0f), QX_OK);
    EXPECT_EQ(feature().events().queuedCount(), 1u);
    ASSERT_EQ(QX_DisconnectDevice(handle), QX_OK);
    connect();
    EXPECT_EQ(feature().events().queuedCount(), 0u);
    // No tree of the new node map yet: nothing is delivered.
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1000), QX_OK);
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 3000.0f), QX_OK);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rec.count("ReadoutTime"), 0u);
    buildTree();
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 4000.0f), QX_OK);
    ASSERT_TRUE(rec.waitFor("ReadoutTime"));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rec.count("ReadoutTime"), 1u);
}

TEST_F(NodeEventsTest, OneCallbackPerNodeHoweverOftenTheTreeIsBuilt) {
    for (int i = 0; i < 3; ++i) buildTree();
    listen();
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1000), QX_OK);
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 2000.0f), QX_OK);
    ASSERT_TRUE(rec.waitFor("ReadoutTime"));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(rec.count("ReadoutTime"), 1u);
}

TEST_F(NodeEventsTest, PollFailuresDoNotChangeTheStatusOfACallBesideThem) {
    transport.options.onAccess = [&](bool write, int64_t address, int64_t) {
        if (!write && address == reg::kPolledFailing) ++reads;
    };
    recreate();
    dev().failAddress(reg::kPolledFailing, QX_ERR_USB3);
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1), QX_OK);
    ASSERT_TRUE(waitUntil([&] { return reads.load() > 0; }, 5000ms));
    int wrong = 0;
    const auto end = std::chrono::steady_clock::now() + 300ms;
    int calls = 0;
    while (std::chrono::steady_clock::now() < end || calls < 200) {
        IntValueInfo v{};
        if (QX_XML_GetIntValue(handle, "Width", &v) != QX_OK) ++wrong;
        if (QX_XML_GetIntValue(handle, "DeviceTemperature", &v) != QX_OK) ++wrong;
        ++calls;
    }
    EXPECT_EQ(wrong, 0) << "of " << calls << " calls, beside " << reads.load() << " failing poll reads";
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, false, 0), QX_OK);
}

TEST(NodeEventsPollFailure, AFailingPollIsLoggedWithItsReasonAndKeepsPolling) {
    LogCapture log;
    std::atomic<int> polls{0};
    qx::feature::NodeEvents events([&](int64_t) {
        ++polls;
        throw std::runtime_error("register read refused");
    });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(events.setNodeMapPoll(true, 1), QX_OK);
    ASSERT_TRUE(waitUntil([&] { return polls.load() >= 20; }, 20000ms));
    events.shutdown();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    LogLine line{};
    ASSERT_TRUE(log.find("func:nodeMapPollLoop, node map poll failed", &line));
    EXPECT_EQ(line.level, spdlog::level::warn);
    EXPECT_EQ(line.text, "func:nodeMapPollLoop, node map poll failed 1 time(s): register read refused");
    // Repeated failures are folded into at most one line a second.
    EXPECT_LE(log.count("func:nodeMapPollLoop, node map poll failed"), static_cast<size_t>(seconds.count()) + 1);
}

TEST(NodeEventsNoNodeMap, PollingACameraWhoseNodeMapFailedIsHarmless) {
    TestTransport transport;
    transport.options.xml = "<RegisterDescription><Integer";
    DeviceInfo info = makeUsb3Info("FeatureCam", "path", 0);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    ASSERT_EQ(QX_ConnectDevice(h, 1), QX_ERR_GENICAM);
    ASSERT_EQ(QX_XML_SetNodeMapPoll(h, true, 0), QX_OK);
    std::this_thread::sleep_for(50ms);
    bool enabled = false;
    int32_t interval = -1;
    ASSERT_EQ(QX_XML_GetNodeMapPoll(h, &enabled, &interval), QX_OK);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(interval, 1);
    ASSERT_EQ(QX_XML_SetNodeMapPoll(h, false, 0), QX_OK);
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    ASSERT_EQ(QX_DeleteDevice(h), QX_OK);
}

TEST_F(NodeEventsTest, DeletingAHandleWhilePollingRunsAfterADisconnectIsClean) {
    buildTree();
    listen();
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1), QX_OK);
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 2000.0f), QX_OK);
    ASSERT_TRUE(rec.waitFor("ReadoutTime"));
    bounded("disconnect and delete", 20s, [&] {
        EXPECT_EQ(QX_DisconnectDevice(handle), QX_OK);
        EXPECT_EQ(QX_DeleteDevice(handle), QX_OK);
    });
    handle = nullptr;
}

TEST_F(NodeEventsTest, ACallbackMayDisconnectAndDeleteItsOwnHandle) {
    buildTree();
    rec.action = [this](NodeInfo*) {
        if (!first.exchange(false)) return;
        QX_STATUS s = QX_DisconnectDevice(handle);
        if (s == QX_OK) s = QX_DeleteDevice(handle);
        inner = s;
        finished = true;
    };
    listen();
    ASSERT_EQ(QX_XML_SetNodeMapPoll(handle, true, 1000), QX_OK);
    ASSERT_EQ(QX_XML_SetFloatValue(handle, "ExposureTime", 2000.0f), QX_OK);
    ASSERT_TRUE(waitUntil([&] { return finished.load(); }, 10000ms));
    EXPECT_EQ(inner.load(), QX_OK);
    bool connected = false;
    EXPECT_EQ(QX_GetConnectionStatus(handle, &connected), QX_ERR_INVALID_HANDLE);
    handle = nullptr;
    // The dispatch thread ends by itself once the callback has returned.
    std::this_thread::sleep_for(50ms);
}
