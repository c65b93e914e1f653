// Shared by the heartbeat, message channel and test packet tests: a fixture that opens cameras
// on simulated devices with the library's own threads, and a bounded wait for a condition.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "gige/GevRecord.h"
#include "gige/GevSeams.h"
#include "GevTestSupport.h"
#include "Sys/ByteOrder.h"

namespace qx::test {

// Polls `condition` every few milliseconds until it holds or timeoutMs pass.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 3000) {
    const auto start = std::chrono::steady_clock::now();
    while (!condition()) {
        if (msSince(start) > timeoutMs) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class GevChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::instance().clear();
        GevLibraryOptions o;
        o.ReportCallback = &LogCapture::report;
        GEVSetLibraryOptions(&o);
        qx::gige::gevSetSeams(qx::gige::gevDefaultSeams());
    }
    void TearDown() override {
        for (uint8_t cam = 1; cam <= GEV_MAX_CAMERAS; ++cam)
            if (qx::gige::gevIsOpen(cam)) GEVClose(cam);
        qx::gige::gevSetSeams(qx::gige::gevDefaultSeams());
        GEVSetLibraryOptions(nullptr);
    }
    std::shared_ptr<qx::fixture::SimGevDevice> makeDevice(qx::fixture::SimGevConfig c = {}) {
        auto d = std::make_shared<qx::fixture::SimGevDevice>(c);
        EXPECT_TRUE(d->start());
        m_devices.push_back(d);
        return d;
    }
    GevStatus open(qx::fixture::SimGevDevice& d, uint8_t cam = 1, uint8_t mode = GEV_CCP_CONTROL,
                   uint8_t logMask = 0x37) {
        GevConnection c = connectionTo(d);
        GevStatus st = GEVInit(cam, &c, &LogCapture::callback, 0, mode);
        if (st == GEV_STATUS_SUCCESS) GEVSetDetailedLog(cam, logMask);
        return st;
    }
    size_t ccpReads(qx::fixture::SimGevDevice& d) {
        size_t n = 0;
        for (auto& r : d.received())
            if (r.header.command == qx::gige::gvcp::kReadRegCmd && r.bytes.size() >= 12 &&
                qx::sys::loadBe32(r.bytes.data() + 8) == qx::gige::gvcp::reg::kCcp)
                ++n;
        return n;
    }
    size_t registerWrites(qx::fixture::SimGevDevice& d, uint32_t address) {
        size_t n = 0;
        for (auto& r : d.received())
            if (r.header.command == qx::gige::gvcp::kWriteRegCmd && r.bytes.size() >= 16 &&
                qx::sys::loadBe32(r.bytes.data() + 8) == address)
                ++n;
        return n;
    }
    std::vector<std::shared_ptr<qx::fixture::SimGevDevice>> m_devices;
};

} // namespace qx::test
