// CxFile: the byte streams every image codec writes through.
//
// CxFile is the abstract stream; CxMemFile is a growing memory buffer (used by the recorder to
// collect one JPEG frame at a time) and CxIOFile wraps a C runtime FILE (used by CxImage::Save).
// No locking: a stream is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "imageout/CxBuffer.h"

namespace qx::imageout {

class CxFile {
public:
    virtual ~CxFile() = default;

    virtual bool Close() = 0;
    // Reads up to size x count bytes; returns the number of whole items read.
    virtual size_t Read(void* buffer, size_t size, size_t count) = 0;
    // Writes size x count bytes; returns the number of whole items written (0 on failure).
    virtual size_t Write(const void* buffer, size_t size, size_t count) = 0;
    // origin: SEEK_SET (0), SEEK_CUR (1) or SEEK_END (2).
    virtual bool Seek(int64_t offset, int origin) = 0;
    virtual int64_t Tell() = 0;
    virtual int64_t Size() = 0;
    virtual bool Flush() = 0;
    virtual bool AtEnd() = 0;
    virtual long HasError() = 0;
    // One-byte Write; true when the byte was written.
    virtual bool PutByte(uint8_t byte) { return Write(&byte, 1, 1) == 1; }
    virtual long GetByte() = 0;
    virtual char* GetLine(char* buffer, int n) = 0;
    virtual long ScanFormat(const char* format, void* output1, void* output2) = 0;
};

// A memory stream. Built over a caller's buffer it writes into that buffer (and copies it away
// to a block of its own, which it then owns, when it must grow); built without one, Open()
// gives it an owned, growing buffer. Capacity grows in 64 KiB steps.
class CxMemFile : public CxFile {
public:
    explicit CxMemFile(uint8_t* buffer = nullptr, uint32_t size = 0);
    ~CxMemFile() override;

    CxMemFile(const CxMemFile&) = delete;
    CxMemFile& operator=(const CxMemFile&) = delete;

    // Starts an owned, empty buffer; false when a buffer already exists or allocation fails.
    bool Open();
    // The data; with detach true the stream gives up ownership (the caller then free()s it).
    uint8_t* GetBuffer(bool detach = true);
    // Bytes of data held (the same as Size() but never -1).
    uint32_t DataSize() const { return m_buffer ? static_cast<uint32_t>(m_size) : 0; }

    bool Close() override;
    size_t Read(void* buffer, size_t size, size_t count) override;
    size_t Write(const void* buffer, size_t size, size_t count) override;
    bool Seek(int64_t offset, int origin) override;
    int64_t Tell() override;
    int64_t Size() override;
    bool Flush() override;
    bool AtEnd() override;
    long HasError() override;
    bool PutByte(uint8_t byte) override;
    long GetByte() override;
    char* GetLine(char* buffer, int n) override;
    long ScanFormat(const char* format, void* output1, void* output2) override;

private:
    // Makes room for `needed` bytes in total; false (and no buffer left) when allocation fails.
    bool Grow(uint64_t needed);

    uint8_t* m_buffer = nullptr; // the data: m_owned's block, or the caller's buffer
    int32_t m_size = 0;
    CxBytes m_owned; // the block the stream frees on close, or null
    int32_t m_position = 0;
    uint32_t m_capacity = 0;
    bool m_eof = false;
};

// A stream over a C runtime FILE; closes it on destruction only when it owns it.
class CxIOFile : public CxFile {
public:
    explicit CxIOFile(FILE* file = nullptr) : m_file(file), m_closeFile(file == nullptr) {}
    ~CxIOFile() override;

    CxIOFile(const CxIOFile&) = delete;
    CxIOFile& operator=(const CxIOFile&) = delete;

    // Opens a file of its own (fopen mode); false when a file is already open or fopen fails.
    bool Open(const char* path, const char* mode);
    FILE* GetFile() const { return m_file; }

    bool Close() override;
    size_t Read(void* buffer, size_t size, size_t count) override;
    size_t Write(const void* buffer, size_t size, size_t count) override;
    bool Seek(int64_t offset, int origin) override;
    int64_t Tell() override;
    int64_t Size() override;
    bool Flush() override;
    bool AtEnd() override;
    long HasError() override;
    bool PutByte(uint8_t byte) override;
    long GetByte() override;
    char* GetLine(char* buffer, int n) override;
    long ScanFormat(const char* format, void* output1, void* output2) override;

private:
    FILE* m_file;
    bool m_closeFile;
};

} // namespace qx::imageout
