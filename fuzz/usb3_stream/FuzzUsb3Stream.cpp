// fuzz_usb3_stream: an arbitrary page stream through the frame assembler. The input chooses a
// small device image and slot count, then a sequence of operations: header pages with fuzzed
// fields, data pages, raw pages, gaps and takes. Every frame handed out must lie inside its
// slot and hold no more bytes than the slot can; a wrong write shows as a sanitizer report.
#include "usb3/UsbFrameAssembler.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace qx::usb3;

namespace {

struct Input {
    const uint8_t* p;
    size_t n;
    uint8_t byte() {
        if (!n) return 0;
        --n;
        return *p++;
    }
    uint16_t u16() { return uint16_t(byte() | (byte() << 8)); }
    uint32_t u32() { return uint32_t(u16()) | (uint32_t(u16()) << 16); }
};

void check(const FrameCacheSlot* s) {
    if (!s || !s->data) std::abort();
    const uint8_t* base = reinterpret_cast<const uint8_t*>(s);
    if (s->data < base + kFrameSlotHeaderSize) std::abort();
    if (s->dataBytes > s->capacity) std::abort();
    // Touch the first and the last byte the slot claims to hold.
    volatile uint8_t sink = 0;
    if (s->dataBytes) sink = uint8_t(s->data[0] ^ s->data[s->dataBytes - 1]);
    (void)sink;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    const int width = 1 + in.byte() % 128;
    const int height = 1 + in.byte() % 64;
    const int bpp = 1 + in.byte() % 4;
    const int slots = 1 + in.byte() % 4;
    // One assembler for the whole run: its slot block and line-frame buffer are allocated
    // once, and each input starts from a fresh configuration.
    static UsbFrameAssembler a;
    if (!a.configure(width, height, 8 * bpp, bpp, slots)) return 0;
    static std::vector<uint8_t> page(kStreamPageSize);
    int ops = 0;
    while (in.n && ops++ < 4096) {
        switch (in.byte() % 6) {
        case 0: { // header page
            UsbFrameHeader h;
            h.width = in.u16() % 512;
            h.height = in.u16() % 256;
            h.frameNumber = in.u32();
            h.packetCount = in.u32() % 1024;
            const uint8_t t = in.byte();
            h.imageType = t < 200 ? t % 6 : kLineModeImageType;
            std::vector<uint8_t> hp = encodeFrameHeaderPage(h);
            a.processPage(hp.data());
            break;
        }
        case 1: { // data page of a repeated byte
            std::memset(page.data(), in.byte(), page.size());
            a.processPage(page.data());
            break;
        }
        case 2: { // page from the input itself (line-mode words, stray magic)
            std::memset(page.data(), 0, page.size());
            const size_t n = in.n < 64 ? in.n : 64;
            for (size_t i = 0; i < n; ++i) page[(i * 61) % page.size()] = in.byte();
            // Line sync words at the page start, so the line decoder runs deep.
            const uint16_t words[] = {0xC53A, 0xA35C, 0xC53A, uint16_t(2 + in.byte() % 3), 0, 0};
            std::memcpy(page.data(), words, sizeof(words));
            a.processPage(page.data());
            break;
        }
        case 3: a.discontinuity(); break;
        case 4: {
            FrameCacheSlot* s = nullptr;
            if (a.takeFrame(s, 0)) check(s);
            break;
        }
        case 5: a.releaseFrame(); break;
        }
    }
    FrameCacheSlot* s = nullptr;
    while (a.takeFrame(s, 0)) check(s);
    if (size >= kStreamPageSize) {
        const long full = long(kStreamPageSize) * (1 + data[0] % 16);
        const long got =
            long(size < size_t(full) ? size : size_t(full)) / long(kStreamPageSize) * long(kStreamPageSize);
        const long next = usbNextRequestLength(data, got, full, full);
        if (next < 1 || next > full) std::abort();
    }
    return 0;
}
