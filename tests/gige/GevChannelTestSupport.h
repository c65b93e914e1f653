// Shared by the heartbeat, message channel and test packet tests: a fixture that opens cameras
// on simulated devices with the library's own threads; waits are bounded (WaitUntil.h).
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
#include "WaitUntil.h"
#include "Sys/ByteOrder.h"

namespace qx::test {

using namespace std::chrono_literals;
using qxtest::waitUntil;

class GevChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        reportToLogCapture();
        qx::gige::gevSetSeams(qx::gige::gevDefaultSeams());
    }
    void TearDown() override {
        closeAllCameras();
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
