// Feeds arbitrary datagrams to every GVCP decoder (acknowledges, discovery, events, device-side
// commands) and to the XML URL and zip parsers. Each decoder must stay inside the bytes it is
// given and report no more data than is there.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gige/GevXmlUrl.h"
#include "gige/GvcpProtocol.h"

using namespace qx::gige;

namespace {
volatile uint8_t g_sink;
volatile size_t g_lengths;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Copy into a buffer of exactly `size` bytes so that any read past it is caught.
    std::vector<uint8_t> bytes(data, data + size);
    const uint8_t* p = bytes.data();

    gvcp::AckHeader h;
    if (gvcp::decodeAckHeader(p, size, &h) != (size >= gvcp::kHeaderSize)) std::abort();

    uint32_t values[256];
    const size_t n = gvcp::decodeReadRegAck(p, size, values, 256);
    if (n * 4 + gvcp::kHeaderSize > size && n != 0) std::abort();

    uint32_t address = 0;
    const uint8_t* memData = nullptr;
    size_t memLen = 0;
    if (gvcp::decodeReadMemAck(p, size, &address, &memData, &memLen)) {
        if (memData < p || memData + memLen > p + size) std::abort();
        for (size_t i = 0; i < memLen; ++i) g_sink = g_sink ^ memData[i];
    }
    uint16_t index = 0, ms = 0;
    gvcp::decodeWriteAck(p, size, &index);
    gvcp::decodePendingAck(p, size, &ms);

    gvcp::DiscoveryInfo info;
    if (gvcp::decodeDiscoveryAck(p, size, &info)) {
        if (size != gvcp::kDiscoveryAckSize) std::abort();
        g_lengths = strnlen(info.manufacturer, sizeof info.manufacturer) + strnlen(info.model, 32) +
                    strnlen(info.serialNumber, 16) + strnlen(info.userName, 16);
    }

    std::vector<uint32_t> a, v;
    gvcp::decodeReadRegCmd(p, size, &a);
    gvcp::decodeWriteRegCmd(p, size, &a, &v);
    uint16_t count = 0;
    gvcp::decodeReadMemCmd(p, size, &address, &count);
    if (gvcp::decodeWriteMemCmd(p, size, &address, &memData, &memLen) && memData + memLen > p + size) std::abort();
    gvcp::ForceIpRequest force;
    gvcp::decodeForceIpCmd(p, size, &force);

    // EVENT / EVENTDATA of the message channel: the data must lie inside the datagram, and
    // only EVENTDATA carries any.
    gvcp::EventPacket event;
    if (gvcp::decodeEventCmd(p, size, &event)) {
        if (event.command != gvcp::kEventCmd && event.command != gvcp::kEventDataCmd) std::abort();
        if (event.dataLength && (event.command != gvcp::kEventDataCmd || event.data < p + gvcp::kHeaderSize ||
                                 event.data + event.dataLength > p + size))
            std::abort();
        for (size_t i = 0; i < event.dataLength; ++i) g_sink = g_sink ^ event.data[i];
    }

    // URL register text: no terminator is promised.
    XmlUrl url;
    if (parseXmlUrl(reinterpret_cast<const char*>(p), size, &url) == GEV_STATUS_SUCCESS &&
        url.kind == XmlUrl::Kind::Local) {
        if (url.name.empty() || url.name.size() > kXmlNameMax) std::abort();
        if (uint64_t(url.address) + url.length > 0x100000000ull) std::abort();
    }

    // Zip container, with a small cap on the extracted size.
    std::vector<uint8_t> out;
    std::string step;
    if (unzipFirstEntry(p, size, 1 << 16, &out, &step) == GEV_STATUS_SUCCESS && out.size() > (1 << 16)) std::abort();
    return 0;
}
