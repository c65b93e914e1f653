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
    const size_t len = kLeaderImageSize;
    leader::PayloadType::set(b, len, l.payloadType);
    leader::Timestamp::set(b, len, l.timestamp);
    if (isImageType(l.payloadType)) {
        leader::PixelFormat::set(b, len, l.pixelFormat);
        leader::SizeX::set(b, len, l.width);
        leader::SizeY::set(b, len, l.height);
        leader::OffsetX::set(b, len, l.offsetX);
        leader::OffsetY::set(b, len, l.offsetY);
        leader::PaddingX::set(b, len, l.paddingX);
        leader::PaddingY::set(b, len, l.paddingY);
    } else {
        leader::PayloadLength::set(b, len, rawSize);
    }
    out.resize(n + kLeaderImageSize);
    return out;
}

bool decodePayloadType(const uint8_t* body, size_t len, uint16_t* type) {
    if (!body || !leader::PayloadType::fits(len)) return false;
    *type = leader::PayloadType::get(body, len);
    return true;
}

bool decodeImageLeader(const uint8_t* b, size_t len, ImageLeader* l) {
    if (!b || len < kLeaderImageSize) return false;
    l->payloadType = leader::PayloadType::get(b, len);
    l->timestamp = leader::Timestamp::get(b, len);
    l->pixelFormat = leader::PixelFormat::get(b, len);
    l->width = leader::SizeX::get(b, len);
    l->height = leader::SizeY::get(b, len);
    l->offsetX = leader::OffsetX::get(b, len);
    l->offsetY = leader::OffsetY::get(b, len);
    l->paddingX = leader::PaddingX::get(b, len);
    l->paddingY = leader::PaddingY::get(b, len);
    return true;
}

std::vector<uint8_t> encodeTrailer(const Header& h, const Trailer& t) {
    std::vector<uint8_t> out(kExtendedHeaderSize + kTrailerSize, 0);
    const size_t n = encodeHeader(out.data(), h);
    uint8_t* b = out.data() + n;
    trailer::PayloadType::set(b, kTrailerSize, t.payloadType);
    trailer::SizeY::set(b, kTrailerSize, t.sizeY);
    trailer::Word2::set(b, kTrailerSize, t.word2);
    trailer::Word3::set(b, kTrailerSize, t.word3);
    out.resize(n + kTrailerSize);
    return out;
}

// Missing words read as 0.
bool decodeTrailer(const uint8_t* b, size_t len, Trailer* t) {
    if (!b || !trailer::SizeY::fits(len)) return false;
    Trailer d;
    d.payloadType = trailer::PayloadType::get(b, len);
    d.sizeY = trailer::SizeY::get(b, len);
    d.word2 = trailer::Word2::get(b, len);
    d.word3 = trailer::Word3::get(b, len);
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
    *offset = sys::loadBeN(b + 2, 6); // 48-bit big-endian offset
    *data = b + kMultipartPrefix;
    *dataLen = len - kMultipartPrefix;
    return true;
}

bool decodeGenDc(const uint8_t* b, size_t len, uint32_t* size, uint64_t* offset, uint8_t* flags, const uint8_t** data,
                 size_t* dataLen) {
    if (!b || len < kGenDcPrefix) return false;
    *size = get32(b);
    *offset = get64(b + 4);
    *flags = b[12];
    *data = b + kGenDcPrefix;
    *dataLen = len - kGenDcPrefix;
    return true;
}

std::vector<uint8_t> BuildPacketResend(const GevResendRequest& r) {
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

bool decodePacketResend(const uint8_t* p, size_t len, GevResendRequest* r) {
    if (!p || len < kResendSize || p[0] != 0x42 || get16(p + 2) != kPacketResendCmd) return false;
    GevResendRequest d;
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
