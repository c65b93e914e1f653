#include "imageout/CxFile.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace qx::imageout {

// ---------------------------------------------------------------------------------------------
// CxMemFile
// ---------------------------------------------------------------------------------------------

CxMemFile::CxMemFile(uint8_t* buffer, uint32_t size)
    : m_buffer(buffer), m_size(static_cast<int32_t>(size > INT32_MAX ? INT32_MAX : size)), m_capacity(size) {}

CxMemFile::~CxMemFile() { Close(); }

bool CxMemFile::Open() {
    if (m_buffer) return false;
    m_position = m_size = 0;
    m_capacity = 0;
    m_owned = cxAllocateZeroed(1);
    m_buffer = m_owned.get();
    return m_buffer != nullptr;
}

uint8_t* CxMemFile::GetBuffer(bool detach) {
    if (detach) static_cast<void>(m_owned.release());
    return m_buffer;
}

bool CxMemFile::Close() {
    if (m_owned) {
        m_owned.reset();
        m_buffer = nullptr;
        m_size = 0;
    }
    return true;
}

size_t CxMemFile::Read(void* buffer, size_t size, size_t count) {
    if (!buffer || !m_buffer || size == 0) return 0;
    if (m_position >= m_size) {
        m_eof = true;
        return 0;
    }
    const uint64_t wanted = static_cast<uint64_t>(size) * count;
    const uint64_t left = static_cast<uint64_t>(m_size - m_position);
    uint64_t n = wanted;
    if (left < wanted) {
        n = left;
        m_eof = true;
    }
    std::memcpy(buffer, m_buffer + m_position, static_cast<size_t>(n));
    m_position += static_cast<int32_t>(n);
    return static_cast<size_t>(n / size);
}

bool CxMemFile::Grow(uint64_t needed) {
    if (needed <= m_capacity && m_buffer) return true;
    // Positions and sizes are signed 32-bit: a stream never holds more than that.
    if (needed > static_cast<uint64_t>(INT32_MAX)) return false;
    const uint64_t newCapacity = (needed & ~static_cast<uint64_t>(0xFFFF)) + 65536;
    if (newCapacity > UINT32_MAX) return false;
    CxBytes grown;
    if (m_owned) {
        // realloc frees nothing when it fails: the old block stays with m_owned until the reset.
        grown.reset(static_cast<uint8_t*>(std::realloc(m_owned.get(), static_cast<size_t>(newCapacity))));
        if (grown) static_cast<void>(m_owned.release());
    } else {
        // A caller's buffer is never reallocated: its data is copied into a block of our own.
        grown = cxAllocate(static_cast<size_t>(newCapacity));
        if (grown && m_buffer && m_size > 0) std::memcpy(grown.get(), m_buffer, static_cast<size_t>(m_size));
    }
    m_owned = std::move(grown);
    m_buffer = m_owned.get();
    if (!m_buffer) {
        m_capacity = 0;
        m_size = 0;
        m_position = 0;
        return false;
    }
    m_capacity = static_cast<uint32_t>(newCapacity);
    return true;
}

size_t CxMemFile::Write(const void* buffer, size_t size, size_t count) {
    m_eof = false;
    if (!buffer || size == 0 || count == 0) return 0;
    const uint64_t n = static_cast<uint64_t>(size) * count;
    if (n / size != count) return 0;
    const uint64_t end = static_cast<uint64_t>(m_position) + n;
    if (!Grow(end)) return 0;
    if (m_position > m_size) {
        // A seek past the end left a gap: it is filled with zeros, never with stale memory.
        std::memset(m_buffer + m_size, 0, static_cast<size_t>(m_position - m_size));
    }
    std::memcpy(m_buffer + m_position, buffer, static_cast<size_t>(n));
    m_position = static_cast<int32_t>(end);
    if (m_position > m_size) m_size = m_position;
    return count;
}

bool CxMemFile::Seek(int64_t offset, int origin) {
    m_eof = false;
    int64_t base;
    switch (origin) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = m_position; break;
    case SEEK_END: base = m_size; break;
    default: return false;
    }
    int64_t target = base + offset;
    if (target < 0) target = 0;
    if (target > INT32_MAX) return false;
    m_position = static_cast<int32_t>(target);
    return true;
}

int64_t CxMemFile::Tell() { return m_buffer ? m_position : -1; }

int64_t CxMemFile::Size() { return m_buffer ? m_size : -1; }

bool CxMemFile::Flush() { return m_buffer != nullptr; }

bool CxMemFile::AtEnd() { return m_buffer ? m_eof : true; }

long CxMemFile::HasError() { return m_buffer ? (m_position > m_size ? 1 : 0) : -1; }

bool CxMemFile::PutByte(uint8_t byte) { return Write(&byte, 1, 1) == 1; }

long CxMemFile::GetByte() {
    if (!m_buffer || m_position >= m_size) {
        m_eof = true;
        return -1;
    }
    return m_buffer[m_position++];
}

char* CxMemFile::GetLine(char* buffer, int n) {
    if (!buffer || n <= 0 || !m_buffer) return nullptr;
    int i = 0;
    while (i < n - 1) {
        const long c = GetByte();
        if (c < 0) {
            if (i == 0) return nullptr;
            break;
        }
        buffer[i++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buffer[i] = '\0';
    return buffer;
}

long CxMemFile::ScanFormat(const char*, void*, void*) { return 0; }

// ---------------------------------------------------------------------------------------------
// CxIOFile
// ---------------------------------------------------------------------------------------------

CxIOFile::~CxIOFile() { Close(); }

bool CxIOFile::Open(const char* path, const char* mode) {
    if (m_file || !path || !mode) return false;
    m_file = std::fopen(path, mode);
    if (!m_file) return false;
    m_closeFile = true;
    return true;
}

bool CxIOFile::Close() {
    if (m_file && m_closeFile) {
        const int rc = std::fclose(m_file);
        m_file = nullptr;
        return rc == 0;
    }
    return true;
}

size_t CxIOFile::Read(void* buffer, size_t size, size_t count) {
    return m_file ? std::fread(buffer, size, count, m_file) : 0;
}

size_t CxIOFile::Write(const void* buffer, size_t size, size_t count) {
    return m_file ? std::fwrite(buffer, size, count, m_file) : 0;
}

bool CxIOFile::Seek(int64_t offset, int origin) {
    if (!m_file) return false;
    return fseeko(m_file, static_cast<off_t>(offset), origin) == 0;
}

int64_t CxIOFile::Tell() { return m_file ? static_cast<int64_t>(ftello(m_file)) : 0; }

int64_t CxIOFile::Size() {
    if (!m_file) return -1;
    const off_t here = ftello(m_file);
    if (here < 0 || fseeko(m_file, 0, SEEK_END) != 0) return -1;
    const off_t end = ftello(m_file);
    if (fseeko(m_file, here, SEEK_SET) != 0) return -1;
    return static_cast<int64_t>(end);
}

bool CxIOFile::Flush() { return m_file && std::fflush(m_file) == 0; }

bool CxIOFile::AtEnd() { return m_file ? std::feof(m_file) != 0 : true; }

long CxIOFile::HasError() { return m_file ? std::ferror(m_file) : -1; }

bool CxIOFile::PutByte(uint8_t byte) { return m_file && std::fputc(byte, m_file) == byte; }

long CxIOFile::GetByte() { return m_file ? std::getc(m_file) : -1; }

char* CxIOFile::GetLine(char* buffer, int n) { return m_file ? std::fgets(buffer, n, m_file) : nullptr; }

long CxIOFile::ScanFormat(const char* format, void* output1, void* output2) {
    if (!m_file) return -1;
    return std::fscanf(m_file, format, output1, output2);
}

} // namespace qx::imageout
