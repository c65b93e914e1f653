// The camera base class: the three-buffer pool, the frame queue and its drop rule, GetFrame
// and FreeFrame, the image-callback thread, offline reports and the XML holder.
#include "LogCapture.h"
#include "TestDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace qxtest;
using namespace std::chrono_literals;

namespace {

class FramesTest : public ::testing::Test {
protected:
    void SetUp() override {
        DeviceInfo info = makeGigeInfo("Cam", "F1", 1, 2);
        ASSERT_EQ(QX_CreateDevice(&handle, &info), QX_OK);
        ASSERT_EQ(QX_ConnectDevice(handle, 1), QX_OK);
        dev = transport.device(handle);
    }
    void TearDown() override {
        QX_StopGrabbing(handle);
        QX_DisconnectDevice(handle);
        EXPECT_EQ(QX_DeleteDevice(handle), QX_OK);
    }
    uint64_t takeIndex(uint32_t timeout = 0) {
        FrameInfo f{};
        EXPECT_EQ(QX_GetFrame(handle, &f, timeout), QX_OK);
        EXPECT_EQ(QX_FreeFrame(handle, &f), QX_OK);
        return f.nFrameIndex;
    }
    TestTransport transport;
    QX_DEV_HANDLE handle = nullptr;
    TestDevice* dev = nullptr;
};

TEST_F(FramesTest, TheOldestQueuedFrameIsDroppedWhenThreeAreQueued) {
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    EXPECT_EQ(dev->poolSize(), 3u);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(dev->produceFrame());
    EXPECT_EQ(dev->queuedFrameCount(), 3u);
    EXPECT_EQ(takeIndex(), 1u) << "frame 0 was dropped, its buffer reused";
    EXPECT_EQ(takeIndex(), 2u);
    EXPECT_EQ(takeIndex(), 3u);
}

TEST_F(FramesTest, DroppedFramesAreCountedAndLogged) {
    LogCapture log;
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(dev->produceFrame());
    EXPECT_EQ(dev->droppedFrameCount(), 0u);
    EXPECT_EQ(log.count("dropped at the full frame queue"), 0u);
    ASSERT_TRUE(dev->produceFrame());
    EXPECT_EQ(dev->droppedFrameCount(), 1u);
    LogLine line{};
    ASSERT_TRUE(log.find("dropped at the full frame queue", &line));
    EXPECT_EQ(line.text, "func:getImgBuffer, 1 frame(s) dropped at the full frame queue (1 in all)");
    EXPECT_EQ(line.level, spdlog::level::info);
    // A burst writes at most one line per second, never one per frame.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(dev->produceFrame());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(dev->droppedFrameCount(), 51u);
    EXPECT_LE(log.count("dropped at the full frame queue"), static_cast<size_t>(seconds.count()) + 2);
}

TEST_F(FramesTest, WhileTheApplicationHoldsAFrameTwoQueuedFramesAreTheLimit) {
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    ASSERT_TRUE(dev->produceFrame());
    FrameInfo held{};
    ASSERT_EQ(QX_GetFrame(handle, &held, 0), QX_OK);
    EXPECT_EQ(held.nFrameIndex, 0u);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(dev->produceFrame());
    EXPECT_EQ(dev->queuedFrameCount(), 2u);
    // The held frame's bytes were not touched by the producer.
    uint64_t stamped = 99;
    std::memcpy(&stamped, held.pData, sizeof stamped);
    EXPECT_EQ(stamped, 0u);
    ASSERT_EQ(QX_FreeFrame(handle, &held), QX_OK);
    EXPECT_EQ(takeIndex(), 2u);
    EXPECT_EQ(takeIndex(), 3u);
}

TEST_F(FramesTest, NoFreeBufferWhenTwoAreHeldAndOneIsQueued) {
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    FrameInfo a{}, b{};
    ASSERT_TRUE(dev->produceFrame());
    ASSERT_EQ(QX_GetFrame(handle, &a, 0), QX_OK);
    ASSERT_TRUE(dev->produceFrame());
    ASSERT_EQ(QX_GetFrame(handle, &b, 0), QX_OK);
    ASSERT_TRUE(dev->produceFrame());
    EXPECT_FALSE(dev->produceFrame()) << "two held, one queued: nothing free";
    // Giving back one of two held frames clears the user-holds flag.
    ASSERT_EQ(QX_FreeFrame(handle, &a), QX_OK);
    EXPECT_FALSE(dev->userHoldsFrame());
    ASSERT_EQ(QX_FreeFrame(handle, &b), QX_OK);
}

TEST_F(FramesTest, FreeFrameRefusesUnknownAndUnheldBuffers) {
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    ASSERT_TRUE(dev->produceFrame());
    FrameInfo f{};
    ASSERT_EQ(QX_GetFrame(handle, &f, 0), QX_OK);
    FrameInfo altered = f;
    altered.pData += 1;
    EXPECT_EQ(QX_FreeFrame(handle, &altered), QX_ERR_GENERAL);
    EXPECT_TRUE(dev->userHoldsFrame());
    ASSERT_EQ(QX_FreeFrame(handle, &f), QX_OK);
    // The same buffer, queued again but not taken: giving it back again is refused and
    // the queued frame survives.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(dev->produceFrame());
    EXPECT_EQ(QX_FreeFrame(handle, &f), QX_ERR_GENERAL);
    EXPECT_EQ(dev->queuedFrameCount(), 3u);
    EXPECT_FALSE(dev->produceFrame() && dev->queuedFrameCount() != 3u);
}

TEST_F(FramesTest, GetFrameTimesOutAfterItsTimeoutAndLogsAtError) {
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    LogCapture log;
    FrameInfo f{};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(QX_GetFrame(handle, &f, 120), QX_ERR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 120ms);
    LogLine start{}, end{};
    ASSERT_TRUE(log.find("func:QX_GetFrame start", &start));
    EXPECT_EQ(start.level, spdlog::level::debug);
    ASSERT_TRUE(log.find("func:QX_GetFrame end", &end));
    EXPECT_EQ(end.level, spdlog::level::err);
    EXPECT_NE(end.text.find("ret:0x80000006"), std::string::npos);

    // Timeout 0 on an empty queue answers at once; a queued frame is returned at once.
    EXPECT_EQ(QX_GetFrame(handle, &f, 0), QX_ERR_TIMEOUT);
    ASSERT_TRUE(dev->produceFrame());
    log.clear();
    EXPECT_EQ(QX_GetFrame(handle, &f, 0), QX_OK);
    ASSERT_TRUE(log.find("func:QX_GetFrame end", &end));
    EXPECT_EQ(end.level, spdlog::level::debug);
    EXPECT_EQ(QX_FreeFrame(handle, &f), QX_OK);
}

TEST_F(FramesTest, GetFrameWakesForAFrameProducedWhileItWaits) {
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    auto waiter = std::async(std::launch::async, [&] {
        FrameInfo f{};
        QX_STATUS s = QX_GetFrame(handle, &f, 5000);
        if (s == QX_OK) s = QX_FreeFrame(handle, &f);
        return s;
    });
    // The waiter holds the handle; the producer does not need it.
    for (int i = 0; i < 200 && waiter.wait_for(10ms) != std::future_status::ready; ++i) dev->produceFrame();
    EXPECT_EQ(waiter.get(), QX_OK);
}

TEST_F(FramesTest, AStopDoesNotShortenAWaitingGetFrame) {
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    // Stop behind the export's back while GetFrame waits: it still waits out its timeout.
    auto waiter = std::async(std::launch::async, [&] {
        FrameInfo f{};
        const auto t0 = std::chrono::steady_clock::now();
        const QX_STATUS s = QX_GetFrame(handle, &f, 200);
        return std::make_pair(s, std::chrono::steady_clock::now() - t0);
    });
    std::this_thread::sleep_for(30ms);
    dev->stopGrabbing();
    auto [status, waited] = waiter.get();
    EXPECT_EQ(status, QX_ERR_TIMEOUT);
    EXPECT_GE(waited, 200ms);
}

TEST_F(FramesTest, GetFrameIsRefusedWithACallbackOrWhenNotGrabbing) {
    FrameInfo f{};
    EXPECT_EQ(QX_GetFrame(handle, &f, 0), QX_ERR_WRONG_STATE);
    ASSERT_EQ(QX_RegisterImageCallBack(
                  handle, [](const FrameInfo*, void*) {}, nullptr),
              QX_OK);
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    EXPECT_EQ(QX_GetFrame(handle, &f, 0), QX_ERR_NOT_AVAILABLE);
}

struct CallbackSink {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<uint64_t> indices;
    std::vector<uint64_t> stamps;
    bool waitFor(size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lk(mutex);
        return cv.wait_for(lk, timeout, [&] { return indices.size() >= n; });
    }
    static void onFrame(const FrameInfo* frame, void* user) {
        auto* self = static_cast<CallbackSink*>(user);
        uint64_t stamp = 0;
        std::memcpy(&stamp, frame->pData, sizeof stamp);
        std::lock_guard<std::mutex> lk(self->mutex);
        self->indices.push_back(frame->nFrameIndex);
        self->stamps.push_back(stamp);
        self->cv.notify_all();
    }
};

TEST_F(FramesTest, TheCallbackGetsEveryFrameInOrderAndBuffersComeBack) {
    CallbackSink sink;
    ASSERT_EQ(QX_RegisterImageCallBack(handle, &CallbackSink::onFrame, &sink), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    // One frame at a time, so none is dropped: each frame waits for its callback.
    for (size_t i = 0; i < 20; ++i) {
        ASSERT_TRUE(dev->produceFrame()) << "a buffer did not come back after its callback";
        ASSERT_TRUE(sink.waitFor(i + 1, 5s));
    }
    std::lock_guard<std::mutex> lk(sink.mutex);
    for (size_t i = 0; i < sink.indices.size(); ++i) {
        EXPECT_EQ(sink.indices[i], i);
        EXPECT_EQ(sink.stamps[i], i) << "the callback saw the bytes of its own frame";
    }
}

TEST_F(FramesTest, RestartWithinTheCallbackWaitLeavesOneCallbackThread) {
    CallbackSink sink;
    ASSERT_EQ(QX_RegisterImageCallBack(handle, &CallbackSink::onFrame, &sink), QX_OK);
    for (int round = 0; round < 3; ++round) {
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 900ms) << "start waited for an old callback thread";
        ASSERT_TRUE(dev->produceFrame());
        ASSERT_TRUE(sink.waitFor(static_cast<size_t>(round) + 1, 5s));
        ASSERT_EQ(QX_StopGrabbing(handle), QX_OK);
    }
    // One delivery per produced frame: no second thread took a frame twice.
    std::lock_guard<std::mutex> lk(sink.mutex);
    EXPECT_EQ(sink.indices.size(), 3u);
}

TEST_F(FramesTest, RestartWithoutACallbackKeepsThePool) {
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    ASSERT_TRUE(dev->produceFrame());
    FrameInfo first{};
    ASSERT_EQ(QX_GetFrame(handle, &first, 0), QX_OK);
    ASSERT_EQ(QX_FreeFrame(handle, &first), QX_OK);
    ASSERT_EQ(QX_StopGrabbing(handle), QX_OK);
    ASSERT_TRUE(dev->produceFrame());
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    EXPECT_EQ(dev->queuedFrameCount(), 0u) << "a start clears frames queued before it";
    ASSERT_TRUE(dev->produceFrame());
    FrameInfo second{};
    ASSERT_EQ(QX_GetFrame(handle, &second, 0), QX_OK);
    EXPECT_EQ(second.nFrameIndex, 2u);
    ASSERT_EQ(QX_FreeFrame(handle, &second), QX_OK);
}

TEST_F(FramesTest, ThreadedProducerAndPollingConsumer) {
    QX_DEV_HANDLE h = nullptr;
    transport.options.threaded = true;
    DeviceInfo info = makeGigeInfo("Cam", "T1", 3, 4);
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    ASSERT_EQ(QX_ConnectDevice(h, 1), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(h), QX_OK);
    uint64_t last = 0;
    int got = 0;
    for (int i = 0; i < 50; ++i) {
        FrameInfo f{};
        ASSERT_EQ(QX_GetFrame(h, &f, 2000), QX_OK);
        if (got > 0) {
            EXPECT_GT(f.nFrameIndex, last) << "frames arrive in order";
        }
        last = f.nFrameIndex;
        ++got;
        ASSERT_EQ(QX_FreeFrame(h, &f), QX_OK);
    }
    ASSERT_EQ(QX_StopGrabbing(h), QX_OK);
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    ASSERT_EQ(QX_DeleteDevice(h), QX_OK);
}

TEST_F(FramesTest, ClearFrameBufferDropsQueuedFrames) {
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    ASSERT_TRUE(dev->produceFrame());
    ASSERT_TRUE(dev->produceFrame());
    EXPECT_EQ(QX_ClearFrameBuffer(handle), QX_OK);
    EXPECT_EQ(dev->queuedFrameCount(), 0u);
    FrameInfo f{};
    EXPECT_EQ(QX_GetFrame(handle, &f, 0), QX_ERR_TIMEOUT);
}

TEST_F(FramesTest, ResizingThePoolKeepsAHeldBufferAlive) {
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    ASSERT_TRUE(dev->produceFrame());
    FrameInfo held{};
    ASSERT_EQ(QX_GetFrame(handle, &held, 0), QX_OK);
    // Same size keeps everything; another size rebuilds the pool around the held buffer.
    EXPECT_TRUE(dev->setImgBufferSize(64 * 48));
    EXPECT_TRUE(dev->userHoldsFrame());
    EXPECT_TRUE(dev->setImgBufferSize(128));
    EXPECT_EQ(dev->poolSize(), 3u);
    // The held block is still readable (ASan would flag a freed one) and can be given back.
    uint64_t stamp = 1;
    std::memcpy(&stamp, held.pData, sizeof stamp);
    EXPECT_EQ(stamp, 0u);
    EXPECT_EQ(QX_FreeFrame(handle, &held), QX_OK);
    EXPECT_EQ(QX_FreeFrame(handle, &held), QX_ERR_GENERAL);
    EXPECT_TRUE(dev->setImgBufferSize(0));
    EXPECT_EQ(dev->poolSize(), 0u);
    LogCapture log;
    EXPECT_FALSE(dev->produceFrame());
    EXPECT_TRUE(log.find("func:getImgBuffer, didn't allocate img buffer!!!"));
}

TEST_F(FramesTest, RegisterImageCallbackWhileGrabbingKeepsThePreviousOne) {
    CallbackSink sink;
    ASSERT_EQ(QX_RegisterImageCallBack(handle, &CallbackSink::onFrame, &sink), QX_OK);
    ASSERT_EQ(QX_StartGrabbing(handle), QX_OK);
    EXPECT_EQ(dev->registerImageCallBack(nullptr, nullptr), QX_ERR_WRONG_STATE);
    ASSERT_TRUE(dev->produceFrame());
    EXPECT_TRUE(sink.waitFor(1, 5s));
}

std::atomic<int> g_offlineCalls{0};

TEST_F(FramesTest, OfflineIsReportedOnceEvenWhenDetectedTwiceAtOnce) {
    g_offlineCalls = 0;
    ASSERT_EQ(QX_RegisterOfflineCallBack(
                  handle, [](void* user) { ++*static_cast<std::atomic<int>*>(user); }, &g_offlineCalls),
              QX_OK);
    LogCapture log;
    std::thread a([&] { dev->reportLoss(); });
    std::thread b([&] { dev->reportLoss(); });
    a.join();
    b.join();
    dev->reportLoss();
    EXPECT_EQ(g_offlineCalls.load(), 1);
    EXPECT_EQ(log.count("func:processOffline called, m_isDevOffline is already true"), 2u);
    EXPECT_EQ(log.count("func:processOffline called, m_devOfflineCb="), 1u);
}

TEST(XmlHolder, TheRecordedSizeIncludesTheZeroTailAndMustFit) {
    namespace fs = std::filesystem;
    const fs::path file = fs::temp_directory_path() / ("qxcam-xml2-" + std::to_string(::getpid()) + ".xml");
    std::ofstream(file) << "<RegisterDescription ModelName=\"X\"/>";
    TestTransport transport;
    transport.options.xmlFile = file.string();
    DeviceInfo info = makeUsb3Info("U", "/usb/9", 0);
    QX_DEV_HANDLE h = nullptr;
    ASSERT_EQ(QX_CreateDevice(&h, &info), QX_OK);
    ASSERT_EQ(QX_ConnectDevice(h, 1), QX_OK);
    uint32_t size = 0;
    ASSERT_EQ(QX_XML_GetGenICamXMLSize(h, &size), QX_OK);
    EXPECT_EQ(size, fs::file_size(file) + 4096);
    std::vector<char> buf(size);
    EXPECT_EQ(QX_XML_GetGenICamXML(h, buf.data(), size - 1), QX_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(QX_XML_GetGenICamXML(h, buf.data(), size), QX_OK);
    EXPECT_STREQ(buf.data(), "<RegisterDescription ModelName=\"X\"/>");
    EXPECT_EQ(buf.back(), '\0');
    ASSERT_EQ(QX_DisconnectDevice(h), QX_OK);
    ASSERT_EQ(QX_DeleteDevice(h), QX_OK);
    fs::remove(file);
}

TEST(XmlHolder, ReadXmlDataKeepsTheFileAndAZeroTail) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("qxcam-xml-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "m.xml") << "<RegisterDescription/>";
    TestDevice dev{TestDeviceOptions{}};
    ASSERT_EQ(dev.readXmlData((dir / "m.xml").string()), QX_OK);
    EXPECT_EQ(dev.getXmlFileSize(), 22u + 4096u);
    EXPECT_STREQ(dev.getXmlBuffer(), "<RegisterDescription/>");
    LogCapture log;
    // A directory or a missing file is refused; the previous text stays.
    EXPECT_EQ(dev.readXmlData(dir.string()), QX_ERR_INVALID_PARAM);
    EXPECT_EQ(dev.readXmlData((dir / "missing.xml").string()), QX_ERR_INVALID_PARAM);
    EXPECT_TRUE(log.find("func:readXmlData, open " + (dir / "missing.xml").string() + " failed."));
    EXPECT_EQ(dev.getXmlFileSize(), 22u + 4096u);
    // A file beyond the caller's limit is refused before anything is read or allocated.
    const fs::path big = dir / "big.xml";
    std::ofstream(big).close();
    fs::resize_file(big, 64u * 1024 * 1024 + 1); // sparse: no disk space
    EXPECT_EQ(dev.readXmlData(big.string(), 64u * 1024 * 1024), QX_ERR_INVALID_PARAM);
    EXPECT_TRUE(log.find("func:readXmlData, " + big.string() + " has 67108865 bytes, more than 67108864."));
    EXPECT_EQ(dev.getXmlFileSize(), 22u + 4096u);
    fs::remove_all(dir);
}

} // namespace
