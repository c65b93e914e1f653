// Set-up for tests that broadcast: they run only inside the private network namespace made by
// tests/run-in-netns.sh (QX_IN_NETNS=1), with discovery kept to 127.0.0.0/8 and the simulated
// devices on a GVCP port of their own.
#pragma once
#include <cstdlib>
#include <string>

#include "gige/GevRecord.h"
#include "GevTestSupport.h"

namespace qx::test {

constexpr uint16_t kNetnsGvcpPort = 39560;

using qx::fixture::inPrivateNetns;

class NetnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!inPrivateNetns()) GTEST_SKIP() << "broadcast tests run only inside tests/run-in-netns.sh";
        LogCapture::instance().clear();
        setOptions(&loopbackAdapters, nullptr);
    }
    void TearDown() override {
        closeAllCameras();
        GEVSetLibraryOptions(nullptr);
    }
    void setOptions(GevAdapterProvider provider, void* user) {
        GevLibraryOptions o;
        o.DeviceGvcpPort = kNetnsGvcpPort;
        o.AccessProbeFirstTimeoutMs = 20;
        o.ForceIpWaitMs = 60;
        o.AdapterProvider = provider;
        o.AdapterProviderUser = user;
        o.ReportCallback = &LogCapture::report;
        GEVSetLibraryOptions(&o);
    }
    // Devices at the standard GVCP port instead of the namespace's own: for peers that listen
    // only there, and for the packet filter driver, whose PACKETRESEND goes there.
    void useStandardGvcpPort() {
        GevLibraryOptions o;
        GEVGetLibraryOptions(&o);
        o.DeviceGvcpPort = qx::gige::gvcp::kPort;
        GEVSetLibraryOptions(&o);
    }
    // The fixture keeps every device until the cameras are closed in TearDown.
    std::shared_ptr<qx::fixture::SimGevDevice> device(const std::string& ip, qx::fixture::SimGevConfig c = {}) {
        c.ip = ip;
        c.port = kNetnsGvcpPort;
        c.listenBroadcast = true;
        c.serialNumber = "SN-" + ip.substr(ip.rfind('.') + 1);
        c.mac[5] = static_cast<uint8_t>(std::stoi(ip.substr(ip.rfind('.') + 1)));
        auto d = std::make_shared<qx::fixture::SimGevDevice>(c);
        EXPECT_TRUE(d->start()) << ip;
        m_devices.push_back(d);
        return d;
    }
    std::vector<std::shared_ptr<qx::fixture::SimGevDevice>> m_devices;
};

} // namespace qx::test
