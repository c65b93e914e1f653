#include "core/api/FileAccess.h"

#include "core/base/ProtocolBase.h"
#include "Sys/ByteOrder.h"
#include "Sys/Log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>

namespace qx::core::api {

// ---- FileAccessBase ------------------------------------------------------------------------

bool FileAccessBase::sendFileWithProgress(const char*, const uint8_t*, uint32_t) { return false; }

bool FileAccessBase::sendFile(const char*, const uint8_t*, uint32_t) { return false; }

QX_STATUS FileAccessBase::writeFile(const FileAccessParam* param) {
    if (param == nullptr || param->strLocalFilePath == nullptr || param->strDeviceFileName == nullptr)
        return QX_ERR_GENERAL;
    std::ifstream in(param->strLocalFilePath, std::ios::binary);
    if (!in) return QX_ERR_GENERAL;
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    if (!in || end < 0) return QX_ERR_GENERAL;
    const uint64_t size = static_cast<uint64_t>(end);
    // The header carries the length in 32 bits: a longer file cannot be described.
    if (size > std::numeric_limits<uint32_t>::max()) return QX_ERR_GENERAL;
    in.seekg(0, std::ios::beg);
    std::vector<uint8_t> buffer(static_cast<size_t>(size));
    if (size > 0) {
        in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(size));
        if (static_cast<uint64_t>(in.gcount()) != size) return QX_ERR_GENERAL;
    }
    m_total = size;
    return sendFileWithProgress(param->strDeviceFileName, buffer.data(), static_cast<uint32_t>(size)) ? QX_OK
                                                                                                      : QX_ERR_GENERAL;
}

QX_STATUS FileAccessBase::readFile() { return QX_ERR_GENERAL; }

QX_STATUS FileAccessBase::registerProgressCallback(QX_FILE_ACCESS_PROGRESS_CALLBACK callback, void* user) {
    m_progressCallback = callback;
    m_progressUser = user;
    return QX_OK;
}

void FileAccessBase::reportProgress(int64_t value) {
    if (m_progressCallback == nullptr) return;
    int64_t copy = value;
    m_progressCallback(&copy, m_progressUser);
}

// ---- QxUsb3FileAccess ----------------------------------------------------------------------

namespace {

void putBe32(std::vector<uint8_t>& out, uint32_t v) {
    uint8_t bytes[4];
    qx::sys::storeBe32(bytes, v);
    out.insert(out.end(), bytes, bytes + 4);
}

} // namespace

uint32_t QxUsb3FileAccess::packCount(uint32_t length) {
    return static_cast<uint32_t>((uint64_t(length) + kPacketDataSize - 1) / kPacketDataSize);
}

std::vector<uint8_t> QxUsb3FileAccess::headerMessage(const char* name, uint32_t length) {
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize);
    out.push_back(kSoh);
    const size_t nameLength = name ? strnlen(name, kNameSize) : 0;
    for (size_t i = 0; i < kNameSize; ++i) out.push_back(i < nameLength ? static_cast<uint8_t>(name[i]) : 0);
    const uint32_t count = packCount(length);
    putBe32(out, count);
    putBe32(out, 0);
    putBe32(out, count > 0 ? count - 1 : 0); // an empty file is never sent
    putBe32(out, length);
    return out;
}

std::vector<uint8_t> QxUsb3FileAccess::packetMessage(const uint8_t* data, uint32_t length, uint32_t packNum) {
    const uint32_t count = packCount(length);
    const uint64_t offset = uint64_t(packNum) * kPacketDataSize;
    const bool last = packNum + 1 == count;
    const uint32_t n = last ? static_cast<uint32_t>(length - offset) : kPacketDataSize;
    std::vector<uint8_t> out;
    out.reserve(5 + n);
    out.push_back(last ? kStxLast : kStx);
    putBe32(out, packNum);
    out.insert(out.end(), data + offset, data + offset + n);
    return out;
}

bool QxUsb3FileAccess::sendFileWithProgress(const char* name, const uint8_t* data, uint32_t length) {
    const bool ok = send(name, data, length, true);
    std::fflush(stdout);
    return ok;
}

bool QxUsb3FileAccess::sendFile(const char* name, const uint8_t* data, uint32_t length) {
    const bool ok = send(name, data, length, false);
    std::fflush(stdout);
    return ok;
}

int64_t QxUsb3FileAccess::progressAfter(uint64_t packets) const {
    // The file bytes of the packets the camera has acknowledged, never more.
    return static_cast<int64_t>(std::min<uint64_t>(packets * kPacketDataSize, m_total));
}

bool QxUsb3FileAccess::sendMessage(const std::vector<uint8_t>& message) {
    return m_cpl->writeMessage(kFileAddress, message.data(), static_cast<uint32_t>(message.size()), kWriteTimeoutMs);
}

bool QxUsb3FileAccess::send(const char* name, const uint8_t* data, uint32_t length, bool withProgress) {
    if (m_cpl == nullptr) {
        std::printf("CMD_SENDFILE m_cpl is null!\r\n");
        return false;
    }
    if (name == nullptr || (data == nullptr && length > 0)) return false;
    const bool report = withProgress && hasProgressCallback();
    // An empty file has no packet: its header could only name the last packet as number -1.
    if (length == 0) {
        std::printf("CMD_SENDFILE empty file refused!\r\n");
        QX_LOG_ERROR("func:{}, file {} is empty: nothing to send", name);
        return false;
    }

    const uint32_t count = packCount(length);
    std::printf("@@@@:SendFile:%s,Length=%d\r\n", name, static_cast<int>(length));
    std::printf("@@@@:SendHead:packCount=%d,startPackNum=%d,endPackNum=%d\r\n", static_cast<int>(count), 0,
                static_cast<int>(count - 1));
    if (!sendMessage(headerMessage(name, length))) {
        std::printf("CMD_SENDFILE send SOH faild!\r\n");
        return false;
    }
    if (report) reportProgress(0);
    for (uint32_t packNum = 0; packNum < count; ++packNum) {
        std::printf("@@@@:SendPack:packNum=%d\r\n", static_cast<int>(packNum));
        if (!sendMessage(packetMessage(data, length, packNum))) {
            std::printf("CMD_SENDFILE send STX faild!\r\n");
            return false;
        }
        if (report) reportProgress(progressAfter(uint64_t(packNum) + 1));
    }
    std::printf("@@@@:SendEnd\r\n");
    if (!sendMessage(std::vector<uint8_t>{kEot})) {
        std::printf("CMD_SENDFILE send EOT faild!\r\n");
        return false;
    }
    if (report) reportProgress(static_cast<int64_t>(m_total));
    return true;
}

} // namespace qx::core::api
