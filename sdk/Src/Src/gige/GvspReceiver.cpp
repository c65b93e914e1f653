#include "gige/GvspReceiver.h"

#include <algorithm>
#include <cstring>

#include "gige/GevCamera.h"
#include "gige/GvspProtocol.h"

namespace qx::gige {

struct GvspPacketView {
    gvsp::Header h;
    const uint8_t* body;
    size_t bodyLen;
    size_t length;
};

namespace {
// Image payload types: their leader carries the geometry, their trailer the height.
bool trailerCarriesHeight(uint16_t t) {
    return t == gvsp::kImage || t == gvsp::kExtendedChunk || t == gvsp::kImageExtendedChunk;
}
} // namespace

// Multi-part and GenDC blocks: their data packets carry their own offsets.
bool GvspReceiver::carriesOwnOffsets(const GevImageBuffer* b, const GvspPacketView& v) {
    uint16_t type = b->payloadType;
    if (type == 0) {
        gvsp::Trailer t;
        if (gvsp::decodeTrailer(v.body, v.bodyLen, &t)) type = t.payloadType;
    }
    return type == gvsp::kMultipartPayload || type == gvsp::kMultipartExtendedChunk || type == gvsp::kGenDcPayload;
}

uint32_t GvspReceiver::packetsFor(uint32_t payloadSize, uint32_t packetPayload, bool extraPacket) {
    if (packetPayload == 0) return 0;
    const uint64_t n = (uint64_t(payloadSize) + packetPayload - 1) / packetPayload + (extraPacket ? 1 : 0);
    return n > 0xFFFFFF ? 0 : static_cast<uint32_t>(n); // 24-bit packet ids
}

GvspReceiver::GvspReceiver(const GvspReceiverConfig& config, GevBufferQueues& ring, GvspResendSink sink,
                           GevFpsMeter* fps)
    : m_cfg(config), m_ring(ring), m_sink(std::move(sink)), m_fps(fps), m_cam(static_cast<uint8_t>(config.logCam)) {
    m_packets = ring.packetsPerBlock;
    const uint32_t P = m_cfg.packetPayload;
    const uint32_t rest = P ? m_cfg.payloadSize % P : 0;
    m_lastPacketSize = rest ? rest : P;
    m_noGeometry = m_cfg.width == 0 && m_cfg.height == 0 && m_cfg.pixelFormat == 0;
    m_offsets.resize(m_packets);
    for (uint32_t i = 0; i < m_packets; ++i) m_offsets[i] = static_cast<uint32_t>(uint64_t(i) * P);
}

uint64_t GvspReceiver::successor(uint64_t id) const {
    const uint64_t s = (id + 1) & m_mask;
    return s == 0 ? 1 : s;
}

GevImageBuffer* GvspReceiver::findBuffer(uint64_t blockId) const {
    if (m_prev && m_prev->blockId == blockId) return m_prev;
    if (m_cur && m_cur->blockId == blockId) return m_cur;
    if (m_next && m_next->blockId == blockId) return m_next;
    return nullptr;
}

uint64_t GvspReceiver::BlockIDCheck(GevImageBuffer* b) {
    if (m_expectedBlock == 0) {
        QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] Setting up BlockIDCheck: {}\n", static_cast<long long>(b->blockId));
        return 0;
    }
    if (m_expectedBlock == b->blockId) {
        QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] BlockIDCheck ok: {}\n", static_cast<long long>(b->blockId));
        return 0;
    }
    uint64_t d = (b->blockId - m_expectedBlock) & m_mask;
    if (m_mask == 0xFFFF && b->blockId < m_expectedBlock && d > 0) --d; // 16-bit ids skip 0
    // A block older than the expected one (late delivery) is no gap: nothing was lost after it.
    if (d > m_mask / 2) return 0;
    delivered += d;
    missingBlocks += d;
    missingPackets += d * m_packets;
    if (d < 2) QX_GEV_LOG(m_cam, GEV_LOG_ERROR, "[E] Missing frame: {}\n", static_cast<long long>(m_expectedBlock));
    else
        QX_GEV_LOG(m_cam, GEV_LOG_ERROR, "[E] Missing frames: {} -> {}\n", static_cast<long long>(m_expectedBlock),
                   static_cast<long long>(b->blockId - 1));
    return d;
}

void GvspReceiver::DeliverBuffer(GevImageBuffer* b) {
    if (!b) return;
    zeroUnwritten(b);
    if (b == m_prev) {
        m_prev = nullptr;
        m_holdUntilMs = -1;
    }
    if (b == m_cur) {
        m_cur = nullptr;
        m_curWaits = false;
    }
    if (b == m_next) m_next = nullptr;
    if (b == m_rounds.buffer) m_rounds = Rounds{};
    if (b->requestedPackets != 0 || b->resendRequested != b->resendReceived)
        QX_GEV_LOG(m_cam, GEV_LOG_INFO, "[I] Packet resend [BlockID {}] -> requested: {}, received: {} packets\n",
                   static_cast<long long>(b->blockId), b->resendRequested, b->resendReceived);
    if (b->missingPackets > 0) {
        b->status = GEV_BUFFER_INCOMPLETE;
        missingPackets += static_cast<uint64_t>(b->missingPackets);
    } else {
        b->status = GEV_BUFFER_COMPLETE;
    }
    ++delivered;
    if (b->width != GEV_NON_IMAGE_WIDTH && (b->height == 0 || b->TrailerSizeY == 0)) {
        QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] ImageHeader.SizeY={}, pImage->TrailerSizeY={}\n", b->height,
                   b->TrailerSizeY);
        b->TrailerSizeY = m_cfg.height;
        b->width = m_cfg.width;
        b->height = m_cfg.height;
        b->pixelFormat = m_cfg.pixelFormat;
    }
    QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] Enqueueing image #{} ...\n", b->ringIndex);
    const uint64_t gap = BlockIDCheck(b);
    b->missingBlocks = static_cast<uint32_t>(std::min<uint64_t>(gap, 0xFFFFFFFF));
    const uint64_t id = b->blockId;
    const uint16_t index = b->ringIndex;
    const bool late = m_expectedBlock != 0 && m_expectedBlock != id && gap == 0;
    m_ring.deliverList.push(b); // the caller may take it from here on
    QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] Image #{} enqueued. Updating fps.\n", index);
    if (m_fps) m_fps->update(m_cam);
    if (late) return; // a late block leaves the expected id where it is
    if (m_mode == GvspBlockIdMode::Extended && m_expectedBlock != 0 && m_expectedBlock < id)
        m_dropsSince = m_expectedBlock;
    m_expectedBlock = successor(id);
}

// The previous block goes out and the current one takes its slot; a current block whose trailer
// came while the previous one was held goes out instead when it is complete.
void GvspReceiver::moveCurrentToPrevious() {
    if (!m_cur) return;
    if (m_prev) DeliverBuffer(m_prev);
    const bool waited = m_curWaits;
    m_curWaits = false;
    if (waited && m_cur->missingPackets <= 0) { // complete: it only waited for the held block
        QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] Sending current buffer (no missing packets)\n");
        DeliverBuffer(m_cur);
        return;
    }
    m_prev = m_cur;
    m_cur = nullptr;
}

// Immediate mode: the next block's trailer came while the previous block's last request is on
// its way (its tail and trailer were lost: it was asked only once the stream moved on). The
// block is held for a few answer times, not delivered incomplete at once; the stream's next
// leader ends the hold in any case.
bool GvspReceiver::holdPrevious(const GevImageBuffer* p) {
    if (m_cfg.resendMode != 1 || m_holdUntilMs >= 0 || p->missingPackets <= 0) return false;
    if (p != m_rounds.buffer || m_lastTickMs - m_rounds.clock >= unansweredWaitMs()) return false;
    m_holdUntilMs = m_lastTickMs + 2 * unansweredWaitMs();
    return true;
}

// The held previous block goes out; a current block whose trailer came meanwhile moves on as
// its trailer would have moved it: out when complete, else to the previous slot.
void GvspReceiver::releaseHeld() {
    m_holdUntilMs = -1;
    if (m_curWaits && m_cur) {
        moveCurrentToPrevious();
        m_cur = m_next;
        m_next = nullptr;
    } else if (m_prev) {
        DeliverBuffer(m_prev);
    }
    m_curWaits = false;
}

GevImageBuffer* GvspReceiver::takeBuffer(uint64_t blockId) {
    // The data is not cleared here: only the bytes no packet writes are, at delivery (a
    // complete block writes them all).
    GevImageBuffer* b = m_ring.TakeFreeBuffer(false);
    if (!b) {
        noteRingFull(blockId);
        return nullptr;
    }
    if (m_ring.lendNext && !m_prev && !m_cur && !m_next && m_ring.deliverList.count() == 0) {
        // Nothing else is in flight: this block is the next the waiting reader gets.
        b->lent = m_ring.lendNext;
        m_ring.lentTo = b;
        m_ring.lendNext = nullptr;
    }
    b->beginBlock(blockId, m_packets);
    b->width = m_cfg.width;
    b->height = m_cfg.height;
    b->pixelFormat = m_cfg.pixelFormat;
    b->offsetX = b->offsetY = 0;
    b->paddingX = b->paddingY = 0;
    b->payloadType = 0;
    return b;
}

// A block finds the ring full: counted once, logged at most once a second with the count since
// the line before.
void GvspReceiver::noteRingFull(uint64_t blockId) {
    if (blockId == m_ringFullBlock) return; // another packet of a block already counted
    m_ringFullBlock = blockId;
    ++ringFull;
    if (const uint64_t since = m_ringFullLog.note()) {
        m_ring.logNoFreeBuffer(m_cam);
        QX_GEV_LOG(m_cam, GEV_LOG_WARNING, "[W] {} block(s) dropped at the full image ring ({} in all)\n",
                   static_cast<unsigned long long>(since), static_cast<unsigned long long>(m_ringFullLog.total()));
    }
}

int GvspReceiver::ProcessStreamPacket(const uint8_t* packet, size_t length) {
    GvspPacketView v;
    if (length < gvsp::kHeaderSize || !gvsp::decodeHeader(packet, length, &v.h)) return 1;
    v.length = length;
    if (v.h.status & gvsp::kStatusErrorBit) {
        if (v.h.status != gvsp::kStatusDataOverrun) {
            QX_GEV_LOG(m_cam, GEV_LOG_WARNING,
                       "[W] Skipping packet with error status 0x{:x} (format {:x}), block_id:{}, packet_id:{}\n",
                       v.h.status, v.h.format, static_cast<int>(v.h.blockId), static_cast<int>(v.h.packetId));
            return 1;
        }
        QX_GEV_LOG(m_cam, GEV_LOG_WARNING,
                   "[W] Processing packet with error status 0x{:x} (format {:x}), block_id:{}, packet_id:{}\n",
                   v.h.status, v.h.format, static_cast<int>(v.h.blockId), static_cast<int>(v.h.packetId));
    }
    if (m_mode == GvspBlockIdMode::Undecided) {
        if (v.h.extended) {
            m_mode = GvspBlockIdMode::Extended;
            m_headerLength = gvsp::kExtendedHeaderSize;
            m_mask = ~uint64_t(0);
            QX_GEV_LOG(m_cam, GEV_LOG_INFO, "[N] Stream uses extended block IDs\n");
        } else {
            m_mode = GvspBlockIdMode::Short;
            m_headerLength = gvsp::kHeaderSize;
            m_mask = 0xFFFF;
            QX_GEV_LOG(m_cam, GEV_LOG_INFO, "[N] Stream uses 16-bit block IDs\n");
        }
    }
    // A packet of the other id width than the stream decided on cannot be placed.
    if (v.h.extended != (m_mode == GvspBlockIdMode::Extended)) return 1;
    v.body = packet + v.h.length();
    v.bodyLen = length - v.h.length();
    switch (v.h.format) {
    case gvsp::kLeader:
        if (v.h.blockId == 0) {
            QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] Ignoring Block 0\n");
            return 1;
        }
        onLeader(v);
        return 0;
    case gvsp::kTrailer: onTrailer(v); return 0;
    case gvsp::kPayload:
    case gvsp::kMultipart:
    case gvsp::kGenDc: onData(v); return 0;
    default:
        QX_GEV_LOG(m_cam, GEV_LOG_WARNING, "[W] Ignoring packet format {:x} ({} bytes)\n", v.h.format,
                   static_cast<int>(length));
        return 0;
    }
}

// A leader: the block gets its buffer (or keeps the one it has), then its description.
void GvspReceiver::onLeader(const GvspPacketView& v) {
    const uint64_t id = v.h.blockId;
    QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] New Leader packet received, nBlockID:{}\n", static_cast<unsigned>(id));
    GevImageBuffer* b = bufferForLeader(v);
    if (!b) return;
    uint16_t type = 0;
    if (!gvsp::decodePayloadType(v.body, v.bodyLen, &type) || !gvsp::leader::Timestamp::fits(v.bodyLen)) return;
    const uint64_t timestamp = gvsp::leader::Timestamp::get(v.body, v.bodyLen);
    if (trailerCarriesHeight(type)) {
        if (!readImageLeader(b, id, type, v.body, v.bodyLen)) return;
    } else {
        readOtherLeader(b, type, v.body, v.bodyLen);
    }
    if (timestamp <= m_lastTimestamp)
        QX_GEV_LOG(m_cam, GEV_LOG_WARNING, "[W] Current image timestamp is smaller or equal as last one\n");
    m_lastTimestamp = timestamp;
    b->timestamp = timestamp;
    b->blockId = id;
    b->payloadType = type;
}

// The buffer a leader describes: the one already being filled for a repeated (resent) leader,
// else the slots move on and the block becomes the current one. Null when the ring has no
// free buffer.
GevImageBuffer* GvspReceiver::bufferForLeader(const GvspPacketView& v) {
    const uint64_t id = v.h.blockId;
    GevImageBuffer* b = findBuffer(id);
    if (b && b != m_next) return b; // its data stays
    m_currentBlock = id;
    if (m_mode == GvspBlockIdMode::Extended && (v.h.flags & gvsp::kFlagPreviousBlockDropped)) noteDeviceDiscarded(id);
    moveCurrentToPrevious();
    if (m_next) {
        if (m_next->blockId == id) {
            m_cur = m_next;
            m_next = nullptr;
        } else {
            // Packets of a block whose leader never came: it goes on as the previous block.
            if (m_prev) DeliverBuffer(m_prev);
            m_prev = m_next;
            m_next = nullptr;
        }
    }
    if (!m_cur) {
        m_cur = takeBuffer(id);
        if (!m_cur) {
            QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] No buffer available (BlockID: {}) prev={:x}, cur={:x}, next={:x}\n",
                       static_cast<long long>(id), m_prev ? m_prev->ringIndex : 0xDEAD, 0xDEAD,
                       m_next ? m_next->ringIndex : 0xDEAD);
            return nullptr;
        }
    }
    return m_cur;
}

// The device says it discarded the blocks before `id` (extended ids only): they are counted
// as discarded on its side.
void GvspReceiver::noteDeviceDiscarded(uint64_t id) {
    uint64_t count;
    if (m_expectedBlock != 0 && id < m_expectedBlock) {
        QX_GEV_LOG(m_cam, GEV_LOG_WARNING,
                   "[W] Expected block {} is past current block. Assuming blocks were dropped since {} instead.\n",
                   static_cast<long long>(m_expectedBlock), static_cast<long long>(m_dropsSince));
        count = id > m_dropsSince ? id - m_dropsSince : 0;
    } else {
        count = m_expectedBlock ? id - m_expectedBlock : 0;
    }
    deviceDiscarded += count;
    m_dropsSince = id + 1;
    if (count < 2)
        QX_GEV_LOG(m_cam, GEV_LOG_WARNING,
                   "[W] One previous data block has been discarded on device side. (BlockID: {})\n",
                   static_cast<long long>(id));
    else
        QX_GEV_LOG(m_cam, GEV_LOG_WARNING,
                   "[W] More than one previous data blocks have been discarded on device side. (BlockID: {} -> {})\n",
                   static_cast<long long>(id - count), static_cast<long long>(id - 1));
}

// The geometry of an image leader. False when the body is too short for it (the block keeps
// the description it had).
bool GvspReceiver::readImageLeader(GevImageBuffer* b, uint64_t id, uint16_t type, const uint8_t* body, size_t len) {
    gvsp::ImageLeader l;
    if (!gvsp::decodeImageLeader(body, len, &l)) return false;
    QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] setup ImageHeader from leader packet\n");
    b->pixelFormat = l.pixelFormat;
    b->width = l.width;
    b->height = l.height;
    b->offsetX = l.offsetX;
    b->offsetY = l.offsetY;
    b->paddingX = l.paddingX;
    b->paddingY = l.paddingY;
    if (type == gvsp::kImage && !geometryAsExpected(b, id, l)) {
        b->status = GEV_BUFFER_GEOMETRY_WRONG;
        b->paddingX = 0;
    }
    m_nonImage = false;
    return true;
}

// Checks an image leader against the acquisition's geometry (or, without one, its size against
// the payload size); a field that differs is logged and replaced by the expected value.
bool GvspReceiver::geometryAsExpected(GevImageBuffer* b, uint64_t id, const gvsp::ImageLeader& l) {
    const auto block = static_cast<long long>(id);
    if (m_noGeometry) {
        const uint64_t size = uint64_t(gvsp::bytesPerPixel(l.pixelFormat)) * l.width * l.height;
        if (size == m_cfg.payloadSize) return true;
        QX_GEV_LOG(m_cam, GEV_LOG_ERROR, "[E] Stream header wrong ({}):\n", block);
        QX_GEV_LOG(m_cam, GEV_LOG_ERROR, "[E] Payload size expected -> {}, actual -> {}\n", m_cfg.payloadSize,
                   static_cast<int>(std::min<uint64_t>(size, 0x7FFFFFFF)));
        return false;
    }
    bool right = true;
    if (l.width != m_cfg.width) {
        QX_GEV_LOG(m_cam, GEV_LOG_ERROR, "[E] Stream header wrong ({}): Width expected -> {}, actual -> {}\n", block,
                   m_cfg.width, l.width);
        b->width = m_cfg.width;
        right = false;
    }
    if (l.height != m_cfg.height) {
        QX_GEV_LOG(m_cam, GEV_LOG_ERROR, "[E] Stream header wrong ({}): Height expected -> {}, actual -> {}\n", block,
                   m_cfg.height, l.height);
        b->height = m_cfg.height;
        right = false;
    }
    if (l.pixelFormat != m_cfg.pixelFormat) {
        QX_GEV_LOG(m_cam, GEV_LOG_ERROR,
                   "[E] Stream header wrong ({}): Pixelformat expected -> 0x{:08X}, actual -> 0x{:08X}\n", block,
                   m_cfg.pixelFormat, l.pixelFormat);
        b->pixelFormat = m_cfg.pixelFormat;
        right = false;
    }
    return right;
}

// A leader of a payload that is no image: the block's size and, where the type carries them,
// its GenDC or JPEG description.
void GvspReceiver::readOtherLeader(GevImageBuffer* b, uint16_t type, const uint8_t* body, size_t len) {
    namespace leader = gvsp::leader;
    b->pixelFormat = b->offsetX = b->offsetY = 0;
    b->paddingX = b->paddingY = 0;
    b->width = GEV_NON_IMAGE_WIDTH;
    m_nonImage = true;
    switch (type) {
    case gvsp::kRawData:
        b->height = leader::PayloadLengthLow::get(body, len); // 0 when too short
        break;
    case gvsp::kGenDcPayload:
        if (leader::GenDcWord::fits(len)) {
            const uint64_t size = leader::GenDcSize::get(body, len);
            if (size != m_cfg.payloadSize)
                QX_GEV_LOG(m_cam, GEV_LOG_ERROR, "[E] Payload size expected -> {}, actual -> {}\n", m_cfg.payloadSize,
                           static_cast<long long>(size));
            b->genDcSize = size;
            b->genDcWord = leader::GenDcWord::get(body, len);
            b->genDcFlag = leader::GenDcFlags::get(body, len);
        }
        b->height = m_cfg.payloadSize;
        break;
    case gvsp::kJpeg:
    case gvsp::kJpegExtendedChunk:
    case gvsp::kJpeg2000:
    case gvsp::kJpeg2000ExtendedChunk:
        if (leader::JpegDataFormat::fits(len)) {
            b->height = static_cast<uint32_t>(std::min<uint64_t>(leader::JpegPayloadSize::get(body, len), 0xFFFFFFFF));
            b->pixelFormat = leader::JpegDataFormat::get(body, len);
        }
        break;
    default: // chunk data, multi-part and anything else: the expected payload size
        b->height = m_cfg.payloadSize;
        if (type == gvsp::kChunkData) b->word1 = m_cfg.payloadSize;
        break;
    }
}

void GvspReceiver::applyTrailer(GevImageBuffer* b, const uint8_t* body, size_t len) {
    gvsp::Trailer t;
    if (!gvsp::decodeTrailer(body, len, &t)) return;
    const uint16_t type = b->payloadType ? b->payloadType : t.payloadType;
    if (trailerCarriesHeight(type)) {
        b->TrailerSizeY = t.sizeY;
        if (t.sizeY != b->height) {
            // A shorter image than announced: only the packets the real image needs can be missing.
            uint64_t needed = m_packets;
            const uint64_t bytes = uint64_t(gvsp::bytesPerPixel(b->pixelFormat)) * b->width * t.sizeY;
            if (bytes != 0 && m_cfg.packetPayload)
                needed = std::min<uint64_t>((bytes + m_cfg.packetPayload - 1) / m_cfg.packetPayload, m_packets);
            int32_t missing = 0;
            for (uint64_t i = 0; i < needed && i < b->packetStates.size(); ++i) {
                if (b->packetStates[i] == GEV_PACKET_RECEIVED) continue;
                // The image's last packet is short by nature: what it carried may be all it needs.
                if (i + 1 == needed && bytes != 0 && !b->carried.empty() &&
                    uint64_t(m_offsets[i]) + b->carried[i] >= bytes) {
                    b->packetStates[i] = GEV_PACKET_RECEIVED;
                    continue;
                }
                ++missing;
            }
            b->missingPackets = missing;
            b->countedPackets = static_cast<uint32_t>(needed);
        }
        if (type == gvsp::kImageExtendedChunk) {
            b->word1 = t.word2;
            b->word2 = t.word3;
        } else if (type == gvsp::kExtendedChunk) {
            b->height = t.word2;
            b->word1 = t.sizeY;
            b->word2 = t.word3;
        }
    } else if (type == gvsp::kChunkData) {
        b->height = t.sizeY;
        b->word1 = t.sizeY;
    }
}

bool GvspReceiver::requestResend(GevImageBuffer* b, uint32_t first, uint32_t last) {
    if (!m_sink || first == 0 || last < first) return false;
    if (!m_sink(b->blockId, m_mode == GvspBlockIdMode::Extended, first, last)) {
        QX_GEV_LOG(m_cam, GEV_LOG_ERROR, "[E] Can't send packet resend command\n");
        return false;
    }
    const uint32_t n = last - first + 1;
    b->requestedPackets += n;
    b->resendRequested += n;
    b->lastRequested = last;
    resendRequested += n;
    for (uint32_t id = first; id <= last && id <= b->packetStates.size(); ++id)
        if (b->packetStates[id - 1] == GEV_PACKET_MISSING) b->packetStates[id - 1] = GEV_PACKET_REQUESTED;
    return true;
}

void GvspReceiver::onTrailer(const GvspPacketView& v) {
    const uint64_t id = v.h.blockId;
    // The trailer's packet id follows the block's last data packet: a multi-part or GenDC block
    // whose last packets were lost has that many all the same.
    if (GevImageBuffer* own = findBuffer(id); own && v.h.packetId > 1 && carriesOwnOffsets(own, v))
        growPackets(own, v.h.packetId - 1);
    QX_GEV_LOG(m_cam, GEV_LOG_VERBOSE, "[V] received trailer: block {}\n", static_cast<int>(id));
    m_sizeMismatchReported = false;
    if (m_prev) {
        GevImageBuffer* p = m_prev;
        const bool itsOwn = p->blockId == id;
        if (itsOwn) applyTrailer(p, v.body, v.bodyLen);
        if (!itsOwn && (m_holdUntilMs >= 0 || holdPrevious(p))) {
            QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] Holding previous buffer [BlockID {}]: resent packets on their way\n",
                       static_cast<long long>(p->blockId));
        } else {
            QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] Sending previous buffer: got trailer for [BlockID {}]\n",
                       static_cast<long long>(id));
            releaseHeld();
            if (itsOwn) return;
        }
    }
    GevImageBuffer* b = (m_cur && m_cur->blockId == id) ? m_cur : (m_next && m_next->blockId == id) ? m_next : nullptr;
    if (!b || (b == m_cur && m_curWaits)) return;
    // The trailer first: a shorter image needs only its own packets asked.
    applyTrailer(b, v.body, v.bodyLen);
    if (m_cfg.resendMode == 1 && b->missingPackets > 0 && !b->outOfOrder) {
        uint32_t i = 1;
        const uint32_t n = std::min<uint32_t>(b->countedPackets, static_cast<uint32_t>(b->packetStates.size()));
        while (i <= n && b->requestedPackets < m_cfg.resendBudget) {
            if (b->packetStates[i - 1] != GEV_PACKET_MISSING) {
                ++i;
                continue;
            }
            uint32_t last = i;
            while (last < n && b->packetStates[last] == GEV_PACKET_MISSING &&
                   b->requestedPackets + (last - i + 1) < m_cfg.resendBudget)
                ++last;
            requestResend(b, i, last);
            i = last + 1;
        }
    }
    if (b->missingPackets > 0) {
        QX_GEV_LOG(m_cam, GEV_LOG_INFO, "[I] Block {}, Still {} missing packets. Updated buffer pointers\n",
                   static_cast<int>(id), b->missingPackets);
        if (b == m_cur) {
            if (m_holdUntilMs >= 0) { // it moves on behind the held block
                m_curWaits = true;
                return;
            }
            moveCurrentToPrevious();
            m_cur = m_next;
            m_next = nullptr;
        }
        return;
    }
    if (b == m_cur) {
        b->resendReceived = b->resendRequested;
        if (m_holdUntilMs >= 0) { // it goes out behind the held block
            m_curWaits = true;
            return;
        }
        QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] Sending current buffer (no missing packets)\n");
        DeliverBuffer(b);
        m_cur = m_next;
        m_next = nullptr;
    } else {
        if (m_prev) DeliverBuffer(m_prev); // held: it goes first
        if (m_cur) {
            QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] Sending current buffer (next completed)\n");
            m_cur->resendReceived = std::min(m_cur->resendReceived, m_cur->resendRequested);
            DeliverBuffer(m_cur);
        }
        QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] Sending next buffer (no missing packets)\n");
        b->resendReceived = b->resendRequested;
        DeliverBuffer(b);
    }
}

void GvspReceiver::onData(const GvspPacketView& v) {
    const uint64_t id = v.h.blockId;
    const uint32_t pid = v.h.packetId;
    const uint8_t* data = v.body;
    size_t len = v.bodyLen;
    uint64_t offset = 0;
    bool whole = true; // the packet carries every byte of its slot

    // Where the bytes go, checked against the block before anything is written. Multi-part
    // and GenDC packets carry their own offsets: a block of several parts may have a few
    // packets more than the payload needs (each part may end with a short one).
    const bool ownOffset = v.h.format != gvsp::kPayload;
    if (pid == 0 || pid > m_packets + (ownOffset ? kExtraPartPackets : 0)) {
        GevImageBuffer* b = findBuffer(id);
        if (!m_nonImage || v.h.format == gvsp::kPayload) {
            if (!b || !b->packetTooLargeReported) {
                QX_GEV_LOG(m_cam, GEV_LOG_WARNING, "[W] [BlockID {}] Packet number is larger than maximum ({} > {})\n",
                           static_cast<long long>(id), static_cast<int>(pid), static_cast<int>(m_packets));
                if (b) b->packetTooLargeReported = true;
            }
            m_packetTooLargeSeen = true;
            return;
        }
        if (b && pid != 0 && !b->packetTooLargeReported) {
            // Data of the block that cannot be kept: the block is incomplete.
            QX_GEV_LOG(m_cam, GEV_LOG_WARNING, "[W] [BlockID {}] Packet number is larger than maximum ({} > {})\n",
                       static_cast<long long>(id), static_cast<int>(pid),
                       static_cast<int>(m_packets + kExtraPartPackets));
            b->packetTooLargeReported = true;
            ++b->missingPackets;
        }
        return;
    }
    if (v.h.format == gvsp::kPayload) {
        offset = m_offsets[pid - 1];
        const uint32_t slot = pid == m_packets ? m_lastPacketSize : m_cfg.packetPayload;
        if (!m_nonImage && pid < m_packets && len != m_cfg.packetPayload && !m_sizeMismatchReported) {
            QX_GEV_LOG(
                m_cam, GEV_LOG_ERROR,
                "[E]  [BlockID {}] Packet size is not equal as the stream channel packet size (SCPS). {} -> {}, {}\n",
                static_cast<long long>(id), static_cast<int>(len), m_cfg.packetPayload, static_cast<int>(pid));
            m_sizeMismatchReported = true;
        }
        len = std::min<size_t>(len, slot);
        // The slot's bytes within the payload (the extra packet after the data has none).
        if (offset < m_cfg.payloadSize) whole = len >= std::min<uint64_t>(slot, m_cfg.payloadSize - offset);
    } else if (v.h.format == gvsp::kMultipart) {
        if (!gvsp::decodeMultipart(v.body, v.bodyLen, &offset, &data, &len)) return;
        if (offset > m_cfg.payloadSize || len > m_cfg.payloadSize - offset) {
            QX_GEV_LOG(m_cam, GEV_LOG_WARNING, "[W] Multipart offset {} is larger than buffer size {}\n",
                       static_cast<long long>(offset), m_cfg.payloadSize);
            return;
        }
    } else { // GenDC
        uint32_t size = 0;
        uint8_t flags = 0;
        if (!gvsp::decodeGenDc(v.body, v.bodyLen, &size, &offset, &flags, &data, &len)) return;
        len = std::min<size_t>(len, size);
        if (flags >= 0x40 && (flags & 0x10)) m_nonImage = true;
        if (offset > m_cfg.payloadSize || len > m_cfg.payloadSize - offset) {
            QX_GEV_LOG(m_cam, GEV_LOG_WARNING, "[W] GenDC data size {} is larger than buffer size {}\n",
                       static_cast<long long>(offset + len), m_cfg.payloadSize);
            return;
        }
    }

    GevImageBuffer* b = findBuffer(id);
    if (!b) {
        const bool resent = v.h.resent();
        if (id == successor(m_currentBlock) && !resent) {
            if (m_next) return;
            QX_GEV_LOG(m_cam, GEV_LOG_DEBUG,
                       "[D] Allocating buffer to host packet with [BlockID {}] (expected [BlockID {}])\n",
                       static_cast<long long>(id), static_cast<long long>(successor(m_currentBlock)));
            m_next = takeBuffer(id);
            if (!m_next) return;
            m_next->nextExpectedPacket = pid;
            b = m_next;
        } else if (m_next && id == successor(m_next->blockId)) {
            moveCurrentToPrevious();
            m_cur = m_next;
            m_currentBlock = m_cur->blockId;
            m_next = takeBuffer(id);
            if (!m_next) return;
            m_next->nextExpectedPacket = pid;
            b = m_next;
        } else {
            return;
        }
    }

    if (pid > b->packetStates.size()) growPackets(b, pid);
    const uint8_t state = b->packetStates[pid - 1];
    if (state == GEV_PACKET_RECEIVED) return;
    // Multi-part and GenDC data land anywhere in the block: from here on it is kept zeroed.
    if (v.h.format != gvsp::kPayload) zeroUnwritten(b);
    if (m_cfg.resendMode != 0 && state == GEV_PACKET_MISSING) {
        const uint64_t E = b->nextExpectedPacket;
        const uint64_t T = m_cfg.reorderTolerance;
        if (pid > E + T && b->requestedPackets < m_cfg.resendBudget) {
            const uint64_t lastWanted = std::min<uint64_t>(pid - 1, b->packetStates.size());
            const uint64_t gap = lastWanted - E + 1;
            const uint64_t left = m_cfg.resendBudget - b->requestedPackets;
            uint64_t last = lastWanted;
            if (left < gap) {
                QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] Only requesting {} packet resends for {} losses\n",
                           static_cast<int>(left), static_cast<int>(gap));
                last = E + left - 1;
            }
            requestResend(b, static_cast<uint32_t>(E), static_cast<uint32_t>(last));
        } else if (uint64_t(pid) + T < E) {
            QX_GEV_LOG(m_cam, GEV_LOG_WARNING, "[W] Packets out of order [{}]\n", static_cast<long long>(b->blockId));
            b->outOfOrder = 1;
        }
    }
    if (!whole) {
        keepShort(b, pid, offset, data, len);
        return;
    }
    store(b, pid, offset, data, len);
    if (b == m_prev && b->missingPackets == 0 && m_cfg.resendMode != kTimerMode) {
        QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] Sending previous buffer: blockID reached {} and missing packets is 0\n",
                   static_cast<long long>(b->blockId));
        b->resendReceived = b->resendRequested;
        releaseHeld();
    }
}

void GvspReceiver::store(GevImageBuffer* b, uint32_t pid, uint64_t offset, const uint8_t* data, size_t len) {
    uint8_t& state = b->packetStates[pid - 1];
    if (state == GEV_PACKET_MISSING) {
        b->nextExpectedPacket = pid + 1;
    } else {
        b->resendReceived += 1;
        if (b == m_rounds.buffer) {
            if (m_rounds.lastAnswerMs < 0 && !m_rounds.answerArrived) m_answerAskedAtMs = m_rounds.clock;
            m_rounds.answerArrived = true;
        }
    }
    if (b->missingPackets > 0 && pid <= b->countedPackets) --b->missingPackets;
    if (pid <= 3)
        QX_GEV_LOG(m_cam, GEV_LOG_VERBOSE, "[V] Writing data into buffer #{} @{} (+{:x}), filled up to {:x} so far\n",
                   b->ringIndex, static_cast<void*>(b->bytes()), static_cast<unsigned>(offset), b->filledUpTo);
    state = GEV_PACKET_RECEIVED;
    if (offset >= b->data.size()) return;
    len = std::min<size_t>(len, b->data.size() - offset);
    if (len) std::memcpy(b->bytes() + offset, data, len);
    if (!b->zeroed && pid <= m_packets && offset == m_offsets[pid - 1]) {
        // A short packet: the rest of its slot holds an earlier block's bytes.
        const size_t slot =
            std::min<size_t>(pid == m_packets ? m_lastPacketSize : m_cfg.packetPayload, b->data.size() - offset);
        if (len < slot) std::memset(b->bytes() + offset + len, 0, slot - len);
    }
    b->filledUpTo = std::max<uint32_t>(b->filledUpTo, static_cast<uint32_t>(offset + len));
}

// A multi-part or GenDC block has (at least) `count` data packets, more than the payload
// needs: the packets not seen yet are missing too.
void GvspReceiver::growPackets(GevImageBuffer* b, uint32_t count) {
    const uint32_t before = static_cast<uint32_t>(b->packetStates.size());
    if (count <= before || count > m_packets + kExtraPartPackets) return;
    b->packetStates.resize(count, GEV_PACKET_MISSING);
    if (before == b->countedPackets) {
        b->missingPackets += static_cast<int32_t>(count - before);
        b->countedPackets = count;
    }
}

// A payload packet shorter than its slot: the bytes it carried are kept, but the packet stays
// missing, so that it is asked again where resend is on and its block is never complete
// without it; the next gap request starts at it.
void GvspReceiver::keepShort(GevImageBuffer* b, uint32_t pid, uint64_t offset, const uint8_t* data, size_t len) {
    if (b->packetStates[pid - 1] == GEV_PACKET_MISSING && pid > b->nextExpectedPacket) b->nextExpectedPacket = pid;
    if (const uint64_t since = m_shortLog.note())
        QX_GEV_LOG(
            m_cam, GEV_LOG_WARNING,
            "[W] [BlockID {}] Packet {} carries {} bytes of {}: counted as lost ({} short packet(s), {} in all)\n",
            static_cast<long long>(b->blockId), static_cast<int>(pid), static_cast<int>(len),
            static_cast<int>(pid == m_packets ? m_lastPacketSize : m_cfg.packetPayload),
            static_cast<unsigned long long>(since), static_cast<unsigned long long>(m_shortLog.total()));
    if (offset >= b->data.size()) return;
    len = std::min<size_t>(len, b->data.size() - offset);
    if (b->carried.empty()) b->carried.assign(b->packetStates.size(), 0);
    uint32_t& kept = b->carried[pid - 1];
    if (len) std::memcpy(b->bytes() + offset, data, len);
    kept = std::max<uint32_t>(kept, static_cast<uint32_t>(len));
    b->filledUpTo = std::max<uint32_t>(b->filledUpTo, static_cast<uint32_t>(offset + len));
}

// Zeroes the slots of the packets not received, so that the block reads as if it had been
// cleared before its first packet.
void GvspReceiver::zeroUnwritten(GevImageBuffer* b) {
    if (b->zeroed) return;
    const size_t size = b->data.size();
    for (uint32_t i = 0; i < m_packets && i < b->packetStates.size(); ++i) {
        if (b->packetStates[i] == GEV_PACKET_RECEIVED || m_offsets[i] >= size) continue;
        const size_t slot =
            std::min<size_t>(i + 1 == m_packets ? m_lastPacketSize : m_cfg.packetPayload, size - m_offsets[i]);
        const size_t kept = b->carried.empty() ? 0 : std::min<size_t>(b->carried[i], slot);
        std::memset(b->bytes() + m_offsets[i] + kept, 0, slot - kept);
    }
    b->zeroed = true;
}

constexpr int64_t kAnswerQuietMs = 2;

GevImageBuffer* GvspReceiver::roundsBuffer() const {
    // Timer-driven mode: the oldest block in flight, which the rounds also deliver. Immediate
    // mode: the oldest block that still misses packets (a complete one waits for the slot
    // rules), so that a complete previous block does not hold up the rounds of the next.
    if (m_cfg.resendMode == kTimerMode) return m_prev ? m_prev : m_cur ? m_cur : m_next;
    for (GevImageBuffer* b : {m_prev, m_cur, m_next})
        if (b && b->missingPackets > 0) return b;
    return nullptr;
}

void GvspReceiver::resendTick(int64_t now, bool idle) {
    if (m_cfg.resendMode == 0) return;
    m_lastTickMs = now;
    if (m_holdUntilMs >= 0 && now >= m_holdUntilMs) releaseHeld();
    if (m_answerAskedAtMs >= 0) { // the first packet a request brought back came since the last tick
        noteAnswerDelay(now - m_answerAskedAtMs);
        m_answerAskedAtMs = -1;
    }
    if (m_rounds.answerArrived) {
        m_rounds.lastAnswerMs = now;
        m_rounds.answerArrived = false;
    }
    GevImageBuffer* b = roundsBuffer();
    if (!b) {
        m_rounds = Rounds{};
        return;
    }
    if (b != m_rounds.buffer) {
        m_rounds = Rounds{};
        m_rounds.buffer = b;
        m_rounds.clock = now;
        m_rounds.requested = b->requestedPackets;
        m_rounds.lastAsked = b->lastRequested;
    }
    Rounds& r = m_rounds;
    if (b->requestedPackets != r.requested) {
        r.requested = b->requestedPackets;
        r.clock = now;
        if (m_cfg.resendMode != kTimerMode) r.lastAsked = b->lastRequested;
    }
    // In immediate mode a block in the previous slot is past its trailer: the stream moved on.
    // Silence counts as the trailer only in timer-driven mode: in immediate mode a pause inside
    // a block is no loss, and packets the camera has not sent yet are never asked.
    const bool timer = m_cfg.resendMode == kTimerMode;
    const bool past = !timer && isPast(b);
    if (!r.trailerSeen && (b->TrailerSizeY != 0 || (timer && idle) || past)) {
        r.trailerSeen = true;
        // Packets lost at the end of a block (after the last gap request) were never asked.
        for (uint32_t i = 0; i < b->countedPackets && i < b->packetStates.size(); ++i)
            if (b->packetStates[i] == GEV_PACKET_MISSING) {
                r.neverAsked = true;
                break;
            }
        QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] block {}, receive trailer, last_packet_id={}\n",
                   static_cast<int>(b->blockId), static_cast<int>(b->nextExpectedPacket) - 1);
    }
    // The camera answers a round in order and at once: once its answers have stopped for a
    // moment, what is still missing was lost again.
    const bool answered = r.lastAnswerMs >= 0 && now - r.lastAnswerMs >= answerQuietMs();
    if (!r.trailerSeen) {
        // Immediate mode before the trailer (it may be lost): in silence, the gaps below the
        // highest packet received, asked once when they were seen, are asked again; packets the
        // camera has not sent yet are not.
        if (timer || !idle || b->requestedPackets >= m_cfg.resendBudget) return;
        const uint32_t gaps = gapsBelowHighest(b);
        if (gaps != 0 && (answered || now - r.clock >= unansweredWaitMs()))
            s_resend_some_packet(b, now, m_cfg.resendBudget - b->requestedPackets, gaps);
        return;
    }
    const bool lastArrived = r.lastAsked != 0 && r.lastAsked <= b->packetStates.size() &&
                             b->packetStates[r.lastAsked - 1] == GEV_PACKET_RECEIVED;
    if (m_cfg.resendMode != kTimerMode) {
        // Immediate mode: a complete block goes out by the slot rules; the budget bounds the rounds.
        if (b->missingPackets <= 0 || b->requestedPackets >= m_cfg.resendBudget) return;
        const bool waited = now - r.clock >= unansweredWaitMs();
        if (r.neverAsked || waited || lastArrived || answered)
            s_resend_some_packet(b, now, m_cfg.resendBudget - b->requestedPackets);
        return;
    }
    if (b->missingPackets <= 0) {
        const uint32_t total = b->requestedPackets + r.packets;
        QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] resend finished, ResendReceiveCount:{}, multi_resend_packet_count:{}\n",
                   total, r.packets);
        b->resendRequested = b->resendReceived = total;
        DeliverBuffer(b);
        return;
    }
    const bool waited = now - r.clock > int64_t(m_cfg.resendWaitMs);
    if (r.roundRun && waited && r.tries > 10) {
        QX_GEV_LOG(m_cam, GEV_LOG_WARNING, "[W] try_resend_times:{}\n", r.tries);
        b->resendRequested = b->requestedPackets + r.packets;
        DeliverBuffer(b);
        return;
    }
    if (!r.roundRun || waited || lastArrived) s_resend_some_packet(b, now, m_cfg.roundLimit);
}

void GvspReceiver::setResendMode(uint8_t mode) {
    m_cfg.resendMode = mode;
    m_rounds = Rounds{};
}

int64_t GvspReceiver::reaskWaitMs() const {
    return m_rounds.lastAnswerMs >= 0 ? std::min(answerQuietMs(), unansweredWaitMs()) : unansweredWaitMs();
}

// Answers come in order and at once: a pause longer than the camera's usual answer delay (and
// than the receiving side may keep packets back, a packet ring up to its block timer) is the end.
int64_t GvspReceiver::answerQuietMs() const {
    return std::max(kAnswerQuietMs, m_answerDelayMs + 1) + int64_t(m_cfg.handOverMs);
}

// A round none of whose packets came back: the camera answers within its usual delay, so a few
// of those without an answer mean the round was lost; until the camera has answered once, the
// configured re-ask wait.
int64_t GvspReceiver::unansweredWaitMs() const {
    const int64_t configured = std::max<int64_t>(1, m_cfg.reaskWaitMs);
    if (m_answerDelayMs < 0) return configured;
    return std::min(configured, std::max(kAnswerQuietMs, 3 * m_answerDelayMs + 1) + int64_t(m_cfg.handOverMs));
}

// The time from a request to the first packet it brought back; the wait follows a slower camera
// at once and a faster one over a few rounds.
void GvspReceiver::noteAnswerDelay(int64_t ms) {
    ms = std::max<int64_t>(0, ms);
    m_answerDelayMs = m_answerDelayMs < 0 ? ms : std::max(ms, m_answerDelayMs * 3 / 4);
}

// Immediate mode: a block the stream has moved past (the next block's leader or data came), so
// that its packets not received yet were lost, the last ones and the trailer too.
bool GvspReceiver::isPast(const GevImageBuffer* b) const { return b == m_prev || (b == m_cur && m_next != nullptr); }

bool GvspReceiver::resendPending() const {
    if (m_cfg.resendMode == 0) return false;
    const GevImageBuffer* b = roundsBuffer();
    if (!b || b->missingPackets <= 0) return false;
    if (m_cfg.resendMode == kTimerMode) return true;
    // Immediate mode: rounds run for a block past its trailer, and before it for its gaps.
    if (b->requestedPackets >= m_cfg.resendBudget) return false;
    return isPast(b) || b->TrailerSizeY != 0 || gapsBelowHighest(b) != 0;
}

// One round: every packet not received yet is asked (again), in runs, at most `limit` packets
// (0: no limit). Immediate mode counts them in the block's requests, the timer-driven mode in
// the rounds' own total.
uint32_t GvspReceiver::gapsBelowHighest(const GevImageBuffer* b) {
    // nextExpectedPacket follows the highest packet that came in its turn.
    const uint32_t below = std::min<uint32_t>(b->nextExpectedPacket, static_cast<uint32_t>(b->packetStates.size()) + 1);
    for (uint32_t i = 1; i + 1 < below; ++i)
        if (b->packetStates[i - 1] != GEV_PACKET_RECEIVED) return below - 2;
    return 0;
}

void GvspReceiver::s_resend_some_packet(GevImageBuffer* b, int64_t now, uint32_t limit, uint32_t upTo) {
    Rounds& r = m_rounds;
    QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] block {}, s_resend_some_packet start\n", static_cast<int>(b->blockId));
    uint32_t n = std::min<uint32_t>(b->countedPackets, static_cast<uint32_t>(b->packetStates.size()));
    if (upTo != 0) n = std::min(n, upTo);
    if (limit == 0) limit = n;
    const bool immediate = m_cfg.resendMode != kTimerMode;
    uint32_t asked = 0, first = 0, last = 0;
    for (uint32_t i = 1; i <= n && asked < limit;) {
        if (b->packetStates[i - 1] == GEV_PACKET_RECEIVED) {
            ++i;
            continue;
        }
        uint32_t end = i;
        while (end < n && b->packetStates[end] != GEV_PACKET_RECEIVED && asked + (end - i + 1) < limit) ++end;
        if (immediate) {
            requestResend(b, i, end); // marks, counts and notes the last packet asked
        } else {
            for (uint32_t k = i; k <= end; ++k) b->packetStates[k - 1] = GEV_PACKET_REQUESTED;
            if (m_sink && !m_sink(b->blockId, m_mode == GvspBlockIdMode::Extended, i, end))
                QX_GEV_LOG(m_cam, GEV_LOG_ERROR, "[E] Can't send packet resend command\n");
        }
        if (!first) first = i;
        last = end;
        asked += end - i + 1;
        i = end + 1;
    }
    if (r.roundRun && first == r.lastFirst && last == r.lastLast) ++r.tries;
    r.lastFirst = first;
    r.lastLast = last;
    r.lastAsked = last;
    r.roundRun = true;
    r.lastAnswerMs = -1;
    r.neverAsked = false;
    r.clock = now;
    if (immediate) {
        r.requested = b->requestedPackets;
    } else {
        r.packets += asked;
        resendRequested += asked;
    }
    QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] block {}, s_resend_some_packet end\n", static_cast<int>(b->blockId));
}

void GvspReceiver::flushOnIdle() {
    if (m_prev) {
        QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] select() returned {}, pushing previous buffer\n", 0);
        DeliverBuffer(m_prev);
    }
    if (m_cur) {
        QX_GEV_LOG(m_cam, GEV_LOG_DEBUG, "[D] select() returned {}, pushing image buffer\n", 0);
        DeliverBuffer(m_cur);
    }
}

void GvspReceiver::flushAtEnd() {
    if (m_prev) {
        QX_GEV_LOG(m_cam, GEV_LOG_INFO, "[I] Late delivery for previous buffer\n");
        DeliverBuffer(m_prev);
    }
    if (m_cur) {
        QX_GEV_LOG(m_cam, GEV_LOG_INFO, "[I] Late delivery for image buffer\n");
        DeliverBuffer(m_cur);
    }
    if (m_next) { // never delivered: back to the free list
        m_ring.giveBack(m_next);
        m_next = nullptr;
    }
}

} // namespace qx::gige
