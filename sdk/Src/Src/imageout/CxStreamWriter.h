// Checked writing for the codecs that lay out their files by hand: every write is counted, and
// the end of an encode flushes the stream and asks it for an error, so that a full disk or a
// failed allocation of a memory stream is a failed encode and never a truncated file reported
// as written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imageout/CxFile.h"
#include "Sys/ByteOrder.h"

namespace qx::imageout {

class CxStreamWriter {
public:
    explicit CxStreamWriter(CxFile* stream) : m_stream(stream) {}

    // Writes `size` bytes; once a write has failed, nothing more is written.
    bool put(const void* data, size_t size) {
        if (m_failed) return false;
        if (size == 0) return true;
        if (m_stream->Write(data, size, 1) != 1) m_failed = true;
        return !m_failed;
    }
    bool putByte(uint8_t byte) { return put(&byte, 1); }
    bool putLe16(uint16_t value) {
        uint8_t b[2];
        qx::sys::storeLe16(b, value);
        return put(b, sizeof(b));
    }
    bool putLe32(uint32_t value) {
        uint8_t b[4];
        qx::sys::storeLe32(b, value);
        return put(b, sizeof(b));
    }

    // Flushes the stream; true when every write reached it and it reports no error.
    bool finish() {
        if (m_failed) return false;
        if (!m_stream->Flush() || m_stream->HasError()) m_failed = true;
        return !m_failed;
    }

    bool failed() const { return m_failed; }

private:
    CxFile* m_stream;
    bool m_failed = false;
};

} // namespace qx::imageout
