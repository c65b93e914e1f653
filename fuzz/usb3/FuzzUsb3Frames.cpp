// fuzz_usb3_frames: arbitrary received link bytes through the frame decoder. Every frame
// that comes out must be self-consistent, and re-encoding it must decode to the same frame.
#include "usb3/UsbLinkWire.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace qx::usb3;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LinkDecoder d;
    std::vector<UsbLinkFrame> frames;
    // Split the input in two feeds to exercise frames that span reads.
    size_t half = size / 2;
    d.feed(data, half, [&](const UsbLinkFrame& f) { frames.push_back(f); });
    d.feed(data + half, size - half, [&](const UsbLinkFrame& f) { frames.push_back(f); });
    for (const UsbLinkFrame& f : frames) {
        if (f.type & kTypeReservedBits) std::abort();
        if (f.data.size() != f.length) std::abort();
        std::vector<uint8_t> again = encodeLinkFrame(f.type, f.address, f.data.data(), f.data.size());
        LinkDecoder d2;
        int n = 0;
        d2.feed(again.data(), again.size(), [&](const UsbLinkFrame& g) {
            ++n;
            if (g.type != f.type || g.address != f.address || g.data != f.data) std::abort();
        });
        if (n != 1) std::abort();
    }
    TransferHeader h;
    if (decodeTransferHeader(data, size, h)) {
        uint8_t out[kTransferHeaderSize];
        encodeTransferHeader(h, out);
        for (size_t i = 0; i < kTransferHeaderSize; ++i)
            if (out[i] != data[i]) std::abort();
    }
    return 0;
}
