// Sending a file to the simulated USB3 camera through the real control link (QxUsbDevice),
// the register protocol and the file-send protocol, as QX_FileAccessWrite does.
//  - Usb3FileSend/<bytes>: QxUsb3FileAccess::sendFile, each message one write.
//  - Usb3FileSendFourByteWords/<bytes>: the same messages cut into 4-byte register writes (to
//    a plain register, the last word zero-padded), one exchange per word: the reference.
//  - Usb3FileSendLibusb/<bytes>: Usb3FileSend through the real libusb, the camera presented by
//    umockdev (run the benchmark under umockdev-wrapper; skipped otherwise).
// Time per iteration is the time of one whole file; the trace lines the file send prints are
// kept off standard output while it runs.
#include "core/api/FileAccess.h"
#include "usb3/QxUsb3UserProtocol.h"
#include "usb3/QxUsbDevice.h"
#include "SimUsb3Camera.h"
#ifdef QX_HAVE_UMOCKDEV
#include "UmockdevUsb3Camera.h"
#endif

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

using namespace qx::core::api;

using namespace qx::usb3;

namespace {

// Standard output goes to /dev/null while it lives.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        m_saved = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (m_saved >= 0) {
            ::dup2(m_saved, STDOUT_FILENO);
            ::close(m_saved);
        }
    }

private:
    int m_saved = -1;
};

struct Link {
    sim::SimUsb3Rig rig;
    QxUsbDevice dev{"usb:sim-1", rig.backend};
    QxUsb3UserProtocol protocol;
    Link() { bind(protocol, dev); }
    static void bind(QxUsb3UserProtocol& protocol, QxUsbDevice& dev) {
        protocol.setTransport([&dev](uint8_t* b, int& n) { return dev.UsbChannelReceive(b, n, 1000); },
                              [&dev](const uint8_t* b, int n) { return dev.UsbChannelSend(b, n, 1000); });
        protocol.setDrain([&dev] { dev.UsbChannelDrain(); });
    }
};

std::vector<uint8_t> fileBytes(size_t n) {
    std::vector<uint8_t> f(n);
    for (size_t i = 0; i < n; ++i) f[i] = uint8_t(i * 13 + (i >> 9));
    return f;
}

// Sends a file of state.range(0) bytes per iteration through `protocol`.
void sendFiles(benchmark::State& state, QxUsb3UserProtocol& protocol) {
    const std::vector<uint8_t> file = fileBytes(size_t(state.range(0)));
    QxUsb3FileAccess access(&protocol);
    for (auto _ : state) {
        QuietStdout quiet;
        if (!access.sendFile("bench.bin", file.data(), uint32_t(file.size()))) {
            state.SkipWithError("file not taken");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size()));
}

void Usb3FileSend(benchmark::State& state) {
    Link link;
    if (!link.dev.UsbOpenLink()) {
        state.SkipWithError("open failed");
        return;
    }
    sendFiles(state, link.protocol);
}
BENCHMARK(Usb3FileSend)->Arg(4096)->Arg(65536)->Arg(1 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

void Usb3FileSendFourByteWords(benchmark::State& state) {
    Link link;
    if (!link.dev.UsbOpenLink()) {
        state.SkipWithError("open failed");
        return;
    }
    const std::vector<uint8_t> file = fileBytes(size_t(state.range(0)));
    const uint32_t count = QxUsb3FileAccess::packCount(uint32_t(file.size()));
    std::vector<std::vector<uint8_t>> messages{QxUsb3FileAccess::headerMessage("bench.bin", uint32_t(file.size()))};
    for (uint32_t k = 0; k < count; ++k)
        messages.push_back(QxUsb3FileAccess::packetMessage(file.data(), uint32_t(file.size()), k));
    messages.push_back({QxUsb3FileAccess::kEot});
    for (auto _ : state) {
        for (const auto& m : messages) {
            for (size_t off = 0; off < m.size(); off += 4) {
                uint8_t word[4] = {};
                for (size_t i = 0; i < 4 && off + i < m.size(); ++i) word[3 - i] = m[off + i];
                if (!link.protocol.write(0x100C, word, 4, 5000)) {
                    state.SkipWithError("word not taken");
                    return;
                }
            }
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size()));
}
BENCHMARK(Usb3FileSendFourByteWords)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef QX_HAVE_UMOCKDEV
// The simulated camera behind umockdev and the libusb backend that meets it, made once: libusb
// must start after the testbed exists.
struct LibusbLink {
    sim::SimUsb3Rig rig;
    std::unique_ptr<sim::UmockdevUsb3Camera> mock;
    std::shared_ptr<qx::usb::UsbBackend> backend;
    std::string path;
    LibusbLink() {
        if (!sim::UmockdevUsb3Camera::available()) return;
        mock = std::make_unique<sim::UmockdevUsb3Camera>(rig.backend, rig.camera);
        if (!mock->ok()) return;
        backend = qx::usb::makeLibUsbBackend();
        const auto devices = backend->listDevices(kCameraVendorId, kCameraProductId);
        if (!devices.empty()) path = devices.front().path;
    }
};

void Usb3FileSendLibusb(benchmark::State& state) {
    static LibusbLink link;
    if (link.path.empty()) {
        state.SkipWithError("not under umockdev-wrapper, or no camera listed");
        return;
    }
    QxUsbDevice dev(link.path, link.backend);
    if (!dev.UsbOpenLink()) {
        state.SkipWithError("open failed");
        return;
    }
    QxUsb3UserProtocol protocol;
    Link::bind(protocol, dev);
    sendFiles(state, protocol);
}
BENCHMARK(Usb3FileSendLibusb)->Arg(65536)->Arg(1 << 20)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
#endif

} // namespace

BENCHMARK_MAIN();
