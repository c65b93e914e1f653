#include "gige/GvspProtocol.h"

#include "Sys/ByteOrder.h"

#include <cstring>

namespace qx::gige::gvsp {

namespace {
// The format is big-endian throughout.
void put16(uint8_t* p, uint16_t v) { sys::storeBe16(p, v); }
void put32(uint8_t* p, uint32_t v) { sys::storeBe32(p, v); }
void put64(uint8_t* p, uint64_t v) { sys::storeBe64(p, v); }
uint16_t get16(const uint8_t* p) { return sys::loadBe16(p); }
uint32_t get32(const uint8_t* p) { return sys::loadBe32(p); }
uint64_t get64(const uint8_t* p) { return sys::loadBe64(p); }
bool isImageType(uint16_t t) { return t == kImage || t == kImageExtendedChunk || t == kExtendedChunk; }
} // namespace

size_t encodeHeader(uint8_t* out, const Header& h) {
    put16(out, h.status);
    if (h.extended) {
        put16(out + 2, h.flags);
        out[4] = static_cast<uint8_t>(kExtendedIdFlag | (h.format & 0x0F));
        out[5] = out[6] = out[7] = 0;
        put64(out + 8, h.blockId);
        put32(out + 16, h.packetId);
        return kExtendedHeaderSize;
    }
    put16(out + 2, static_cast<uint16_t>(h.blockId));
    out[4] = static_cast<uint8_t>(h.format & 0x0F);
    out[5] = static_cast<uint8_t>(h.packetId >> 16);
    out[6] = static_cast<uint8_t>(h.packetId >> 8);
    out[7] = static_cast<uint8_t>(h.packetId);
    return kHeaderSize;
}

bool decodeHeader(const uint8_t* p, size_t len, Header* h) {
    if (!p || len < kHeaderSize) return false;
    Header d;
    d.status = get16(p);
    d.extended = (p[4] & kExtendedIdFlag) != 0;
    d.format = p[4] & 0x0F;
    if (d.extended) {
        if (len < kExtendedHeaderSize) return false;
        d.flags = get16(p + 2);
        d.blockId = get64(p + 8);
        d.packetId = get32(p + 16);
    } else {
        d.blockId = get16(p + 2);
        d.packetId = (uint32_t(p[5]) << 16) | (uint32_t(p[6]) << 8) | uint32_t(p[7]);
    }
    *h = d;
    return true;
}

std::vector<uint8_t> encodeLeader(const Header& h, const ImageLeader& l, uint64_t rawSize) {
    std::vector<uint8_t> out(kExtendedHeaderSize + kLeaderImageSize, 0);
    const size_t n = encodeHeader(out.data(), h);
    uint8_t* b = out.data() + n;
    put16(b + 2, l.payloadType);
    put64(b + 4, l.timestamp);
    if (isImageType(l.payloadType)) {
        put32(b + 12, l.pixelFormat);
        put32(b + 16, l.width);
        put32(b + 20, l.height);
        put32(b + 24, l.offsetX);
        put32(b + 28, l.offsetY);
        put16(b + 32, l.paddingX);
        put16(b + 34, l.paddingY);
    } else {
        put64(b + 12, rawSize);
    }
    out.resize(n + kLeaderImageSize);
    return out;
}

bool decodePayloadType(const uint8_t* body, size_t len, uint16_t* type) {
    if (!body || len < 4) return false;
    *type = get16(body + 2);
    return true;
}

bool decodeImageLeader(const uint8_t* b, size_t len, ImageLeader* l) {
    if (!b || len < kLeaderImageSize) return false;
    l->payloadType = get16(b + 2);
    l->timestamp = get64(b + 4);
    l->pixelFormat = get32(b + 12);
    l->width = get32(b + 16);
    l->height = get32(b + 20);
    l->offsetX = get32(b + 24);
    l->offsetY = get32(b + 28);
    l->paddingX = get16(b + 32);
    l->paddingY = get16(b + 34);
    return true;
}

std::vector<uint8_t> encodeTrailer(const Header& h, const Trailer& t) {
    std::vector<uint8_t> out(kExtendedHeaderSize + kTrailerSize, 0);
    const size_t n = encodeHeader(out.data(), h);
    uint8_t* b = out.data() + n;
    put16(b + 2, t.payloadType);
    put32(b + 4, t.sizeY);
    put32(b + 8, t.word2);
    put32(b + 12, t.word3);
    out.resize(n + kTrailerSize);
    return out;
}

bool decodeTrailer(const uint8_t* b, size_t len, Trailer* t) {
    if (!b || len < 8) return false;
    Trailer d;
    d.payloadType = get16(b + 2);
    d.sizeY = get32(b + 4);
    if (len >= 12) d.word2 = get32(b + 8);
    if (len >= 16) d.word3 = get32(b + 12);
    *t = d;
    return true;
}

std::vector<uint8_t> encodePayload(const Header& h, const uint8_t* data, size_t len) {
    std::vector<uint8_t> out(kExtendedHeaderSize + len);
    const size_t n = encodeHeader(out.data(), h);
    if (len) std::memcpy(out.data() + n, data, len);
    out.resize(n + len);
    return out;
}

bool decodeMultipart(const uint8_t* b, size_t len, uint64_t* offset, const uint8_t** data, size_t* dataLen) {
    if (!b || len < kMultipartPrefix) return false;
    *offset = (uint64_t(get16(b + 2)) << 32) | get32(b + 4);
    *data = b + kMultipartPrefix;
    *dataLen = len - kMultipartPrefix;
    return true;
}

bool decodeGenDc(const uint8_t* b, size_t len, uint32_t* size, uint64_t* offset, uint8_t* flags,
                 const uint8_t** data, size_t* dataLen) {
    if (!b || len < kGenDcPrefix) return false;
    *size = get32(b);
    *offset = get64(b + 4);
    *flags = b[12];
    *data = b + kGenDcPrefix;
    *dataLen = len - kGenDcPrefix;
    return true;
}

std::vector<uint8_t> encodePacketResend(const ResendRequest& r) {
    std::vector<uint8_t> out(r.extended ? kResendExtendedSize : kResendSize, 0);
    out[0] = 0x42;
    out[1] = r.extended ? 0x10 : 0x00;
    put16(&out[2], kPacketResendCmd);
    put16(&out[4], static_cast<uint16_t>(out.size() - 8));
    put16(&out[6], r.requestId);
    put16(&out[8], r.streamChannel);
    put16(&out[10], r.extended ? 0 : static_cast<uint16_t>(r.blockId));
    put32(&out[12], r.firstPacket);
    put32(&out[16], r.lastPacket);
    if (r.extended) put64(&out[20], r.blockId);
    return out;
}

bool decodePacketResend(const uint8_t* p, size_t len, ResendRequest* r) {
    if (!p || len < kResendSize || p[0] != 0x42 || get16(p + 2) != kPacketResendCmd) return false;
    ResendRequest d;
    d.extended = (p[1] & 0x10) != 0;
    if (d.extended && len < kResendExtendedSize) return false;
    d.requestId = get16(p + 6);
    d.streamChannel = get16(p + 8);
    d.firstPacket = get32(p + 12);
    d.lastPacket = get32(p + 16);
    d.blockId = d.extended ? get64(p + 20) : get16(p + 10);
    *r = d;
    return true;
}

} // namespace qx::gige::gvsp
