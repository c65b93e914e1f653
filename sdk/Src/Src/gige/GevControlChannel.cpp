// The GVCP control channel of an open camera: the request/acknowledge transaction with its
// retries, stale-id skipping and PENDING_ACK waits, and the register and memory accesses built
// on it. A transaction ends within retries x answer timeout plus what PENDING_ACK adds, which
// the record's pending allowance bounds (GevLibraryOptions::PendingAckLimitMs). Nothing here
// reads or writes beyond the caller's buffer: unaligned or short accesses
// go through a local chunk buffer and copy exactly the bytes asked for.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "gige/GevRecord.h"
#include "gige/GevSocketStatus.h"

namespace qx::gige {

namespace {
constexpr size_t kReceiveBufferSize = 2048; // larger than any acknowledge the library asks for

const char* readWriteText(GvcpOp op) { return op == GvcpOp::ReadReg ? "Read" : "Write"; }
} // namespace

GevStatus gvcpTransaction(GevCameraRecord& rec, GvcpOp op, uint32_t address, std::vector<uint8_t>& command,
                          uint16_t expectedAnswer, std::vector<uint8_t>& ack, size_t* ackLen, bool* anyAck) {
    const uint8_t cam = rec.cameraNumber;
    const uint16_t id = rec.nextRequestId;
    rec.nextRequestId = gvcp::nextRequestId(id);
    gvcp::setRequestId(command.data(), id);
    *anyAck = false;
    *ackLen = 0;
    ack.resize(kReceiveBufferSize);

    const int attempts = std::max<int>(1, rec.retries.load());
    const bool registerOp = op == GvcpOp::ReadReg || op == GvcpOp::WriteReg;
    GevStatus result = GEV_STATUS_TIMEOUT;
    bool delayed = false; // a PENDING_ACK of this request came
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        int err = 0;
        long sent = rec.controlSocket.sendTo(rec.cameraIp, rec.devicePort, command.data(), command.size(), &err);
        if (sent != static_cast<long>(command.size())) {
            const char* what = op == GvcpOp::ReadReg    ? "read request"
                               : op == GvcpOp::WriteReg ? "write request"
                               : op == GvcpOp::ReadMem  ? "read memory request"
                                                        : "write memory request";
            QX_GEV_LOG(cam, GEV_LOG_WARNING, "[W] Failed to send {} bytes {} ({} only), error {}",
                       static_cast<int>(command.size()), what, static_cast<int>(sent < 0 ? 0 : sent), err);
            if (!registerOp) return GEV_STATUS_SEND_ERROR;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            result = GEV_STATUS_SEND_ERROR;
            continue;
        }
        if (op == GvcpOp::ReadReg)
            QX_GEV_LOG(cam, GEV_LOG_VERBOSE, "[V] ReadRegister[0x{:08X}] command sent, wait for ACK ({}.{:06}s, {}/{})",
                       address, rec.answerTimeoutSec, rec.answerTimeoutUsec, attempt, attempts);
        else if (op == GvcpOp::WriteReg)
            QX_GEV_LOG(cam, GEV_LOG_VERBOSE, "[V] WriteRegister[0x{:08X}] command sent, wait for ACK({}.{:06}s, {}/{})",
                       address, rec.answerTimeoutSec, rec.answerTimeoutUsec, attempt, attempts);

        int64_t deadline = gevNowMs() + rec.answerTimeoutMs.load();
        for (;;) {
            int64_t left = deadline - gevNowMs();
            if (left < 0) left = 0;
            const GevStatus waited = gevSocketStatus(rec.controlSocket.waitReadable(static_cast<int>(left), &err));
            if (waited == GEV_STATUS_TIMEOUT) {
                result = waited;
                break;
            }
            if (waited != GEV_STATUS_SUCCESS) return waited;
            qx::net::Datagram d = rec.controlSocket.receive(ack.data(), ack.size());
            if (!d.ok()) {
                if (GevStatus received = gevSocketStatus(d)) return received;
                continue;
            }
            gvcp::AckHeader h;
            // Datagrams too short for a header, or from another address, are not answers.
            if (d.sourceIp != rec.cameraIp || !gvcp::decodeAckHeader(ack.data(), d.copied, &h)) continue;
            // A late answer to an earlier request, or anything else with another id, is
            // skipped: it never prolongs the wait, so a stream of them cannot hold the call.
            if (h.ackId != id) continue;
            *anyAck = true;
            if (h.answer != gvcp::kPendingAck && delayed) // the camera completed what it delayed
                rec.pendingAllowanceMs = gevOptions().PendingAckLimitMs;
            if (h.status != GEV_STATUS_SUCCESS) return h.status;
            if (h.answer == gvcp::kPendingAck) {
                uint16_t ms = 0;
                gvcp::decodePendingAck(ack.data(), d.copied, &ms);
                if (op == GvcpOp::ReadReg) {
                    rec.pendingAck = 1;
                    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] ReadRegister[0x{:08X}]: Pending acknowledge. Wait {} msec",
                               address, ms);
                } else if (op == GvcpOp::WriteReg) {
                    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] WriteRegister[0x{:08X}]: Pending acknowledge. Wait {} msec",
                               address, ms);
                } else if (op == GvcpOp::ReadMem) {
                    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Read Memory [0x{:08X}]: Pending acknowledge. Wait {} msec",
                               address, ms);
                } else if (op == GvcpOp::WriteMem) {
                    QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] Write Memory [0x{:08X}]: Pending acknowledge. Wait {} msec",
                               address, ms);
                }
                // The wait becomes the time the camera asks for, out of what is left of its
                // allowance; with nothing left the wait stays as it was.
                const uint32_t granted = std::min<uint32_t>(ms, rec.pendingAllowanceMs);
                rec.pendingAllowanceMs -= granted;
                delayed = true;
                if (granted > 0) deadline = gevNowMs() + granted;
                continue;
            }
            if (h.answer != expectedAnswer) return GEV_STATUS_INVALID_ACK;
            *ackLen = d.copied;
            return GEV_STATUS_SUCCESS;
        }
    }
    return result;
}

namespace {

GevStatus checkOpen(uint8_t cam) { return gevIsOpen(cam) ? GEV_STATUS_SUCCESS : GEV_STATUS_CAMERA_NOT_INIT; }

void logRegisterResult(GevCameraRecord& rec, GvcpOp op, uint32_t address, GevStatus status, bool anyAck) {
    const uint8_t cam = rec.cameraNumber;
    if (!anyAck) QX_GEV_LOG(cam, GEV_LOG_INFO, "[I] {} Register: No acknowledge header available", readWriteText(op));
    if (status != GEV_STATUS_SUCCESS)
        QX_GEV_LOG(cam, GEV_LOG_ERROR, "[E] {}Register[0x{:08X}] Status: {:04X}", readWriteText(op), address, status);
}

// One READMEM of `count` bytes (a multiple of 4, at most 536) at an aligned address.
GevStatus readChunk(GevCameraRecord& rec, uint32_t address, uint16_t count, uint8_t* out) QX_REQUIRES(rec.requestLock) {
    auto command = gvcp::encodeReadMemCmd(0, address, count);
    std::vector<uint8_t> ack;
    size_t ackLen = 0;
    bool anyAck = false;
    GevStatus st = gvcpTransaction(rec, GvcpOp::ReadMem, address, command, gvcp::kReadMemAck, ack, &ackLen, &anyAck);
    if (st != GEV_STATUS_SUCCESS) return st;
    uint32_t echo = 0;
    const uint8_t* data = nullptr;
    size_t dataLen = 0;
    if (!gvcp::decodeReadMemAck(ack.data(), ackLen, &echo, &data, &dataLen) || echo != address || dataLen < count)
        return GEV_STATUS_INVALID_ACK;
    std::memcpy(out, data, count);
    return GEV_STATUS_SUCCESS;
}

GevStatus writeChunk(GevCameraRecord& rec, uint32_t address, const uint8_t* data, size_t count)
    QX_REQUIRES(rec.requestLock) {
    auto command = gvcp::encodeWriteMemCmd(0, address, data, count);
    std::vector<uint8_t> ack;
    size_t ackLen = 0;
    bool anyAck = false;
    return gvcpTransaction(rec, GvcpOp::WriteMem, address, command, gvcp::kWriteMemAck, ack, &ackLen, &anyAck);
}

uint32_t chunkPercent(size_t index, size_t chunks) {
    return static_cast<uint32_t>((index * 100 + chunks - 1) / chunks);
}

// Aligned span that covers [address, address + length).
struct Span {
    uint32_t start;
    uint64_t total;
};
bool alignedSpan(uint32_t address, uint32_t length, Span* span) {
    uint64_t end = uint64_t(address) + length;
    uint64_t alignedEnd = (end + 3) & ~uint64_t(3);
    if (alignedEnd > 0x100000000ull) return false;
    span->start = address & ~3u;
    span->total = alignedEnd - span->start;
    return true;
}

} // namespace

} // namespace qx::gige

using namespace qx::gige;

GevStatus ReadRegister(uint8_t cam_nr, uint32_t address, uint8_t count, uint32_t* values) {
    if (GevStatus st = checkOpen(cam_nr)) return st;
    if (!values || count == 0) return GEV_STATUS_INVALID_PARAMETER;
    GevCameraRecord& rec = gevRecord(cam_nr);
    if (rec.connectionState.load() == GEV_CONNECTION_FAILURE) return GEV_STATUS_ACCESS_DENIED;
    if (count > 1 && !rec.concatenation) return GEV_STATUS_INVALID_PARAMETER;
    if (rec.busy.load() && address != gvcp::reg::kCcp) return GEV_STATUS_BUSY;

    std::vector<uint32_t> addresses(count);
    for (uint8_t i = 0; i < count; ++i) addresses[i] = address + 4u * i;
    auto command = gvcp::encodeReadRegCmd(0, addresses.data(), count);
    std::vector<uint8_t> ack;
    size_t ackLen = 0;
    bool anyAck = false;
    GevStatus st;
    {
        qx::sys::MutexLock lock(rec.requestLock);
        st = gvcpTransaction(rec, GvcpOp::ReadReg, address, command, gvcp::kReadRegAck, ack, &ackLen, &anyAck);
        rec.pendingAck = 0;
    }
    if (st == GEV_STATUS_SUCCESS) {
        std::vector<uint32_t> got(count);
        size_t n = gvcp::decodeReadRegAck(ack.data(), ackLen, got.data(), count);
        std::copy(got.begin(), got.begin() + n, values);
        if (n < count) st = GEV_STATUS_INVALID_ACK; // fewer values than registers asked for
        if (rec.logMask.load() & GEV_LOG_REGDATA)
            for (size_t i = 0; i < n; ++i)
                QX_GEV_LOG(cam_nr, GEV_LOG_INFO, "[I] Read Register: Address 0x{:08X}, Data: 0x{:08X}", addresses[i],
                           got[i]);
    }
    logRegisterResult(rec, GvcpOp::ReadReg, address, st, anyAck);
    return st;
}

GevStatus WriteRegister(uint8_t cam_nr, uint32_t address, uint8_t count, const uint32_t* values) {
    if (GevStatus st = checkOpen(cam_nr)) return st;
    if (!values || count == 0) return GEV_STATUS_INVALID_PARAMETER;
    GevCameraRecord& rec = gevRecord(cam_nr);
    if (rec.connectionState.load() == GEV_CONNECTION_FAILURE) return GEV_STATUS_ACCESS_DENIED;
    if (rec.ccpMode == GEV_CCP_OPEN) {
        QX_GEV_LOG(cam_nr, GEV_LOG_VERBOSE, "[V] Skipping WriteRegister[0x{:x}] : open access enabled", address);
        return GEV_STATUS_SUCCESS;
    }
    if (count > 1 && !rec.concatenation) return GEV_STATUS_INVALID_PARAMETER;
    const size_t n = std::min<size_t>(count, gvcp::kMaxWriteRegisters);
    std::vector<uint32_t> addresses(n);
    for (size_t i = 0; i < n; ++i) addresses[i] = address + 4u * static_cast<uint32_t>(i);
    auto command = gvcp::encodeWriteRegCmd(0, addresses.data(), values, n);
    std::vector<uint8_t> ack;
    size_t ackLen = 0;
    bool anyAck = false;
    GevStatus st;
    {
        qx::sys::MutexLock lock(rec.requestLock);
        st = gvcpTransaction(rec, GvcpOp::WriteReg, address, command, gvcp::kWriteRegAck, ack, &ackLen, &anyAck);
    }
    if (st == GEV_STATUS_SUCCESS && (rec.logMask.load() & GEV_LOG_REGDATA))
        for (size_t i = 0; i < n; ++i)
            QX_GEV_LOG(cam_nr, GEV_LOG_INFO, "[I] Write Register: Address 0x{:08X}, Data: 0x{:08X}", addresses[i],
                       values[i]);
    logRegisterResult(rec, GvcpOp::WriteReg, address, st, anyAck);
    return st;
}

GevStatus ReadMemory(uint8_t cam_nr, uint32_t address, uint32_t length, void* buffer) {
    if (GevStatus st = checkOpen(cam_nr)) return st;
    if (length == 0) return GEV_STATUS_SUCCESS;
    if (!buffer) return GEV_STATUS_INVALID_PARAMETER;
    Span span;
    if (!alignedSpan(address, length, &span)) return GEV_STATUS_INVALID_PARAMETER;
    GevCameraRecord& rec = gevRecord(cam_nr);
    auto* out = static_cast<uint8_t*>(buffer);
    const uint64_t end = uint64_t(address) + length;
    const size_t chunks = static_cast<size_t>((span.total + gvcp::kMaxMemoryChunk - 1) / gvcp::kMaxMemoryChunk);
    uint8_t chunk[gvcp::kMaxMemoryChunk];
    for (size_t i = 0; i < chunks; ++i) {
        const uint32_t chunkAddress = span.start + static_cast<uint32_t>(i * gvcp::kMaxMemoryChunk);
        const uint16_t count =
            static_cast<uint16_t>(std::min<uint64_t>(gvcp::kMaxMemoryChunk, span.total - i * gvcp::kMaxMemoryChunk));
        GevStatus st;
        {
            qx::sys::MutexLock lock(rec.requestLock);
            st = readChunk(rec, chunkAddress, count, chunk);
        }
        if (st != GEV_STATUS_SUCCESS) {
            QX_GEV_LOG(cam_nr, GEV_LOG_ERROR, "[E] ReadMemory[0x{:08X}]", chunkAddress);
            return st;
        }
        // Copy only the part of the chunk the caller asked for.
        const uint64_t from = std::max<uint64_t>(chunkAddress, address);
        const uint64_t to = std::min<uint64_t>(uint64_t(chunkAddress) + count, end);
        std::memcpy(out + (from - address), chunk + (from - chunkAddress), static_cast<size_t>(to - from));
        if (auto cb = rec.memoryCallback.load()) cb(cam_nr, chunkPercent(i, chunks));
    }
    return GEV_STATUS_SUCCESS;
}

GevStatus WriteMemory(uint8_t cam_nr, uint32_t address, uint32_t length, const void* data) {
    if (GevStatus st = checkOpen(cam_nr)) return st;
    GevCameraRecord& rec = gevRecord(cam_nr);
    if (rec.ccpMode == GEV_CCP_OPEN) return GEV_STATUS_SUCCESS;
    uint32_t capability = 0;
    if (GevStatus st = ReadRegister(cam_nr, gvcp::reg::kGvcpCapability, 1, &capability)) return st;
    if (!(capability & gvcp::cap::kWriteMem)) return GEV_STATUS_NOT_SUPPORTED;
    if (length == 0) return GEV_STATUS_SUCCESS;
    if (!data) return GEV_STATUS_INVALID_PARAMETER;
    Span span;
    if (!alignedSpan(address, length, &span)) return GEV_STATUS_INVALID_PARAMETER;

    // The block as written: the caller's bytes, and around them the device's own bytes of the
    // first and last word when the block does not start or end on a word boundary.
    std::vector<uint8_t> block(static_cast<size_t>(span.total));
    const uint64_t end = uint64_t(address) + length;
    GevStatus st = GEV_STATUS_SUCCESS;
    {
        qx::sys::MutexLock lock(rec.requestLock);
        if (address != span.start) st = readChunk(rec, span.start, 4, block.data());
        const uint32_t lastWord = static_cast<uint32_t>(span.start + span.total - 4);
        if (st == GEV_STATUS_SUCCESS && (end & 3) && !(address != span.start && lastWord == span.start))
            st = readChunk(rec, lastWord, 4, block.data() + (lastWord - span.start));
    }
    if (st != GEV_STATUS_SUCCESS) {
        QX_GEV_LOG(cam_nr, GEV_LOG_ERROR, "[E] WriteMemory[0x{:08X}]", address);
        return st;
    }
    std::memcpy(block.data() + (address - span.start), data, length);

    const size_t chunks = static_cast<size_t>((span.total + gvcp::kMaxMemoryChunk - 1) / gvcp::kMaxMemoryChunk);
    for (size_t i = 0; i < chunks; ++i) {
        const size_t offset = i * gvcp::kMaxMemoryChunk;
        const size_t count = std::min<size_t>(gvcp::kMaxMemoryChunk, block.size() - offset);
        {
            qx::sys::MutexLock lock(rec.requestLock);
            st = writeChunk(rec, span.start + static_cast<uint32_t>(offset), block.data() + offset, count);
        }
        if (st != GEV_STATUS_SUCCESS) {
            QX_GEV_LOG(cam_nr, GEV_LOG_ERROR, "[E] WriteMemory[0x{:08X}]", address);
            return st;
        }
        if (auto cb = rec.memoryCallback.load()) cb(cam_nr, chunkPercent(i, chunks));
    }
    return GEV_STATUS_SUCCESS;
}
