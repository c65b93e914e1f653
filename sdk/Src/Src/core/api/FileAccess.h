// File access of a handle: sending a file from the host to the camera (QX_FileAccessWrite),
// progress reports (QX_RegisterFileAccessProgress) and reading a file from the camera
// (QX_FileAccessRead, not supported). The handle's DeviceProxy makes the object on first use:
// QxUsb3FileAccess for a USB3 camera, bound to the camera's register protocol, GigeFileAccess
// for a GigE camera, which sends nothing.
//
// The USB3 file-send protocol (numbers big-endian), every message written to register
// address 0x100D:
//   header   (33 bytes): 0x01, camera file name (16 bytes, zero-padded, not terminated when
//                        16 or longer), packCount, startPackNum = 0, endPackNum =
//                        packCount - 1, file length;
//   packet   (5 + n):    0x02 (0x03 for the last packet), packNum, n data bytes (230 for every
//                        packet but the last, which carries the rest);
//   end mark (1 byte):   0x04.
// Each message is one message write of the register protocol (writeMessage): one request that
// carries the whole message, acknowledged as a whole and sent again only when the camera
// refused it (a camera that may hold part or all of it would join a second copy to that).
#pragma once
#include "QxCamApi.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qx::core::base {
class ProtocolBase;
} // namespace qx::core::base

namespace qx::core::api {

class FileAccessBase {
public:
    explicit FileAccessBase(qx::core::base::ProtocolBase* protocol = nullptr) : m_cpl(protocol) {}
    virtual ~FileAccessBase() = default;
    FileAccessBase(const FileAccessBase&) = delete;
    FileAccessBase& operator=(const FileAccessBase&) = delete;

    // Sends `length` bytes as the camera file `name`, with progress reports.
    virtual bool sendFileWithProgress(const char* name, const uint8_t* data, uint32_t length);
    // The same without progress reports.
    virtual bool sendFile(const char* name, const uint8_t* data, uint32_t length);

    // Reads the local file of `param` whole and sends it: 0, or 0x800000ff when the file
    // cannot be read, does not fit the protocol's 32-bit length, or is not taken.
    QX_STATUS writeFile(const FileAccessParam* param);
    // Reading files from a camera is not supported: always 0x800000ff.
    QX_STATUS readFile();
    // Stores the callback and its user pointer (null stops the reports); answers 0.
    QX_STATUS registerProgressCallback(QX_FILE_ACCESS_PROGRESS_CALLBACK callback, void* user);

    // Byte length of the last file read by writeFile.
    uint64_t total() const { return m_total; }
    qx::core::base::ProtocolBase* protocol() const { return m_cpl; }

protected:
    bool hasProgressCallback() const { return m_progressCallback != nullptr; }
    // Reports `value` through a local copy.
    void reportProgress(int64_t value);

    qx::core::base::ProtocolBase* m_cpl = nullptr;
    uint64_t m_total = 0;
    void* m_progressUser = nullptr;
    QX_FILE_ACCESS_PROGRESS_CALLBACK m_progressCallback = nullptr;
};

// A GigE camera takes no files: both send operations answer false.
class GigeFileAccess : public FileAccessBase {
public:
    explicit GigeFileAccess(qx::core::base::ProtocolBase* protocol = nullptr) : FileAccessBase(protocol) {}
};

class QxUsb3FileAccess : public FileAccessBase {
public:
    static constexpr uint32_t kFileAddress = 0x100D;
    static constexpr uint32_t kWriteTimeoutMs = 5000;
    static constexpr uint32_t kPacketDataSize = 230;
    static constexpr size_t kNameSize = 16;
    static constexpr size_t kHeaderSize = 33;
    static constexpr uint8_t kSoh = 0x01;
    static constexpr uint8_t kStx = 0x02;
    static constexpr uint8_t kStxLast = 0x03;
    static constexpr uint8_t kEot = 0x04;

    explicit QxUsb3FileAccess(qx::core::base::ProtocolBase* protocol) : FileAccessBase(protocol) {}

    bool sendFileWithProgress(const char* name, const uint8_t* data, uint32_t length) override;
    bool sendFile(const char* name, const uint8_t* data, uint32_t length) override;

    // The messages of one transfer, for tests and diagnostics.
    static uint32_t packCount(uint32_t length);
    static std::vector<uint8_t> headerMessage(const char* name, uint32_t length);
    static std::vector<uint8_t> packetMessage(const uint8_t* data, uint32_t length, uint32_t packNum);

private:
    bool send(const char* name, const uint8_t* data, uint32_t length, bool withProgress);
    // Writes one message to the file address, four bytes per register write.
    bool sendMessage(const std::vector<uint8_t>& message);
    // Progress once the camera has acknowledged `packets` packets: their file bytes, never
    // above the total.
    int64_t progressAfter(uint64_t packets) const;
};

} // namespace qx::core::api
