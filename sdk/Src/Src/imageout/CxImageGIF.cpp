// GIF encoder: GIF89a with the variable-width LZW code of the format, written by this codec.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Sys/ByteOrder.h"
#include "imageout/CxImageCodecs.h"

namespace qx::imageout {

namespace {

// Writes bytes to a stream and remembers whether any write fell short.
class ByteSink {
public:
    explicit ByteSink(CxFile* stream) : m_stream(stream) {}
    void put(uint8_t b) { bytes(&b, 1); }
    void le16(uint32_t v) {
        uint8_t b[2];
        qx::sys::storeLe16(b, static_cast<uint16_t>(v));
        bytes(b, 2);
    }
    void bytes(const void* p, size_t n) {
        if (n && m_stream->Write(p, 1, n) != n) m_failed = true;
    }
    bool failed() const { return m_failed; }
    CxFile* stream() const { return m_stream; }

private:
    CxFile* m_stream;
    bool m_failed = false;
};

// The GIF variant of LZW over an open-addressing string table of 5003 entries.
class LzwEncoder {
public:
    LzwEncoder(ByteSink& sink, int minCodeSize) : m_sink(sink), m_initBits(minCodeSize + 1) {
        m_clearCode = 1 << minCodeSize;
        m_endCode = m_clearCode + 1;
    }

    // `next` yields the pixels in picture order; `count` of them.
    template <typename NextPixel>
    void encode(uint64_t count, NextPixel next) {
        m_bits = m_initBits;
        m_maxCode = maxCodeFor(m_bits);
        m_freeCode = m_clearCode + 2;
        clearTable();
        output(m_clearCode);
        if (count == 0) {
            output(m_endCode);
            return;
        }
        int prefix = next();
        for (uint64_t k = 1; k < count; ++k) {
            const int pixel = next();
            const int32_t key = (pixel << kMaxBits) + prefix;
            int i = (pixel << kHashShift) ^ prefix;
            bool found = false;
            if (m_keys[i] == key) {
                found = true;
            } else if (m_keys[i] >= 0) {
                const int step = i == 0 ? 1 : kTableSize - i;
                do {
                    i -= step;
                    if (i < 0) i += kTableSize;
                    if (m_keys[i] == key) {
                        found = true;
                        break;
                    }
                } while (m_keys[i] >= 0);
            }
            if (found) {
                prefix = m_codes[i];
                continue;
            }
            output(prefix);
            prefix = pixel;
            if (m_freeCode < kMaxMaxCode) {
                m_codes[i] = static_cast<uint16_t>(m_freeCode++);
                m_keys[i] = key;
            } else {
                // The table is full: start again with a clear code.
                clearTable();
                m_freeCode = m_clearCode + 2;
                m_clearPending = true;
                output(m_clearCode);
            }
        }
        output(prefix);
        output(m_endCode);
    }

private:
    static constexpr int kMaxBits = 12;
    static constexpr int kMaxMaxCode = 1 << kMaxBits;
    static constexpr int kTableSize = 5003;
    static constexpr int kHashShift = 4;
    static constexpr size_t kBlock = 254;

    static int maxCodeFor(int bits) { return (1 << bits) - 1; }

    void clearTable() { std::fill(std::begin(m_keys), std::end(m_keys), -1); }

    void output(int code) {
        m_accum &= (1u << m_accumBits) - 1;
        m_accum |= static_cast<uint32_t>(code) << m_accumBits;
        m_accumBits += m_bits;
        while (m_accumBits >= 8) {
            byte(static_cast<uint8_t>(m_accum));
            m_accum >>= 8;
            m_accumBits -= 8;
        }
        if (m_freeCode > m_maxCode || m_clearPending) {
            if (m_clearPending) {
                m_bits = m_initBits;
                m_maxCode = maxCodeFor(m_bits);
                m_clearPending = false;
            } else {
                ++m_bits;
                m_maxCode = m_bits == kMaxBits ? kMaxMaxCode : maxCodeFor(m_bits);
            }
        }
        if (code == m_endCode) {
            while (m_accumBits > 0) {
                byte(static_cast<uint8_t>(m_accum));
                m_accum >>= 8;
                m_accumBits = m_accumBits > 8 ? m_accumBits - 8 : 0;
            }
            flushBlock();
        }
    }

    void byte(uint8_t b) {
        m_block[m_blockLen++] = b;
        if (m_blockLen >= kBlock) flushBlock();
    }

    void flushBlock() {
        if (m_blockLen == 0) return;
        m_sink.put(static_cast<uint8_t>(m_blockLen));
        m_sink.bytes(m_block, m_blockLen);
        m_blockLen = 0;
    }

    ByteSink& m_sink;
    int m_initBits;
    int m_clearCode;
    int m_endCode;
    int m_bits = 0;
    int m_maxCode = 0;
    int m_freeCode = 0;
    bool m_clearPending = false;
    uint32_t m_accum = 0;
    int m_accumBits = 0;
    int32_t m_keys[kTableSize];
    uint16_t m_codes[kTableSize];
    uint8_t m_block[kBlock];
    size_t m_blockLen = 0;
};

uint8_t colourTableBits(const CxImage& image) {
    // Entry count 2^bits with bits the image's depth (1, 4 or 8).
    return static_cast<uint8_t>(image.GetBpp());
}

void writePalette(ByteSink& sink, const CxImage& image) {
    const uint32_t n = image.GetPaletteCount();
    std::vector<uint8_t> rgb(3ull * n);
    for (uint32_t i = 0; i < n; ++i) {
        const RGBQuad c = image.GetPaletteColor(i);
        rgb[3 * i] = c.rgbRed;
        rgb[3 * i + 1] = c.rgbGreen;
        rgb[3 * i + 2] = c.rgbBlue;
    }
    sink.bytes(rgb.data(), rgb.size());
}

bool fitsGif(const CxImage& image) { return image.GetWidth() <= 0xFFFF && image.GetHeight() <= 0xFFFF; }

constexpr uint32_t kTileWidth = 17;
constexpr uint32_t kTileHeight = 15;

} // namespace

void CxImageGIF::SetComment(const char* text) { std::snprintf(m_comment, sizeof(m_comment), "%s", text ? text : ""); }

void CxImageGIF::EncodeHeader(CxFile* stream, const CxImage& first, bool globalPalette) {
    ByteSink sink(stream);
    sink.bytes("GIF89a", 6);
    sink.le16(first.GetWidth());
    sink.le16(first.GetHeight());
    if (globalPalette && first.GetPaletteCount() > 0) {
        const uint8_t bits = colourTableBits(first);
        sink.put(static_cast<uint8_t>(0x80 | (((bits - 1) & 3) << 5) | (bits - 1)));
        sink.put(0);
        sink.put(0);
        writePalette(sink, first);
    } else {
        sink.put(0x11);
        sink.put(0);
        sink.put(0);
    }
    if (sink.failed()) m_writeFailed = true;
}

void CxImageGIF::EncodeExtension(CxFile* stream, const CxImage& frame) {
    ByteSink sink(stream);
    const uint8_t flags =
        static_cast<uint8_t>((frame.HasTransparentIndex() ? 1 : 0) | ((frame.GetDisposalMethod() & 7) << 2));
    const uint8_t ext[3] = {0x21, 0xF9, 0x04};
    sink.bytes(ext, 3);
    sink.put(flags);
    sink.le16(frame.GetFrameDelay());
    sink.put(static_cast<uint8_t>(frame.GetTransparentIndex()));
    sink.put(0);
    if (sink.failed()) m_writeFailed = true;
}

void CxImageGIF::EncodeLoopExtension(CxFile* stream) {
    ByteSink sink(stream);
    const uint8_t head[3] = {0x21, 0xFF, 0x0B};
    sink.bytes(head, 3);
    sink.bytes("NETSCAPE2.0", 11);
    sink.put(0x03);
    sink.put(0x01);
    sink.le16(static_cast<uint32_t>(std::max(GetLoops() - 1, 0)));
    sink.put(0);
    if (sink.failed()) m_writeFailed = true;
}

void CxImageGIF::EncodeComment(CxFile* stream) {
    const size_t n = std::strlen(m_comment);
    if (n == 0) return;
    ByteSink sink(stream);
    sink.put(0x21);
    sink.put(0xFE);
    sink.put(static_cast<uint8_t>(std::min<size_t>(n, 255)));
    sink.bytes(m_comment, std::min<size_t>(n, 255));
    sink.put(0);
    if (sink.failed()) m_writeFailed = true;
}

bool CxImageGIF::EncodeBody(CxFile* stream, const CxImage& frame, bool localPalette, int32_t left, int32_t top) {
    ByteSink sink(stream);
    const uint32_t w = frame.GetWidth();
    const uint32_t h = frame.GetHeight();
    const uint8_t bits = colourTableBits(frame);
    sink.put(0x2C);
    sink.le16(static_cast<uint32_t>(left));
    sink.le16(static_cast<uint32_t>(top));
    sink.le16(w);
    sink.le16(h);
    if (localPalette) {
        sink.put(static_cast<uint8_t>(0x80 | (bits - 1)));
        writePalette(sink, frame);
    } else {
        sink.put(0);
    }
    const int minCodeSize = std::max<int>(bits, 2);
    sink.put(static_cast<uint8_t>(minCodeSize));

    std::unique_ptr<LzwEncoder> lzw = cxMakeUnique<LzwEncoder>(sink, minCodeSize);
    if (!lzw) return false;
    uint32_t x = 0;
    uint32_t y = 0; // picture line, top first
    lzw->encode(static_cast<uint64_t>(w) * h, [&]() {
        const int index = frame.GetPixelIndexUnchecked(x, h - 1 - y);
        if (++x == w) {
            x = 0;
            ++y;
        }
        return index;
    });
    lzw.reset();
    sink.put(0);
    if (sink.failed()) m_writeFailed = true;
    return true;
}

bool CxImageGIF::Encode(CxFile* stream) {
    m_writeFailed = false;
    if (GetFrameCount() > 1) return EncodeAnimation(stream);
    if (!CheckEncodeArguments(stream)) return false;
    if (!fitsGif(*this)) {
        SetError("GIF image too large");
        return false;
    }
    if (GetBpp() > 8) return EncodeTrueColour(stream);

    EncodeHeader(stream, *this, true);
    EncodeExtension(stream, *this);
    EncodeComment(stream);
    if (!EncodeBody(stream, *this, false, GetInfo().frameLeft, GetInfo().frameTop)) {
        SetError("GIF encoder can't allocate memory");
        return false;
    }
    return Finish(stream);
}

bool CxImageGIF::Finish(CxFile* stream) {
    ByteSink sink(stream);
    sink.put(0x3B);
    if (sink.failed()) m_writeFailed = true;
    stream->Flush();
    if (m_writeFailed || stream->HasError()) {
        SetError("Write Error in GIF file");
        return false;
    }
    return true;
}

bool CxImageGIF::EncodeTrueColour(CxFile* stream) {
    EncodeHeader(stream, *this, false);
    EncodeComment(stream);
    const uint32_t w = GetWidth();
    const uint32_t h = GetHeight();
    CxImage tile(0);
    for (uint32_t y0 = 0; y0 < h; y0 += kTileHeight) {
        const uint32_t th = std::min(kTileHeight, h - y0);
        for (uint32_t x0 = 0; x0 < w; x0 += kTileWidth) {
            const uint32_t tw = std::min(kTileWidth, w - x0);
            if (!tile.Create(tw, th, 8, CXIMAGE_FORMAT_GIF)) {
                SetError(tile.GetErrorText());
                return false;
            }
            RGBQuad* palette = tile.GetPalette(); // zeroed by Create
            uint32_t firstEntry = 1;
            if (HasTransparentIndex()) {
                palette[0] = GetTransparentColor();
                tile.SetTransparentIndex(0);
                firstEntry = 0;
            }
            std::vector<uint32_t> used; // palette entries given out so far, in order
            for (uint32_t r = 0; r < th; ++r) {
                const uint32_t storedRow = h - 1 - (y0 + r);
                for (uint32_t c = 0; c < tw; ++c) {
                    const RGBQuad colour = GetPixelColorUnchecked(x0 + c, storedRow, false);
                    uint32_t entry = r * kTileWidth + c + 1;
                    auto same = [&](uint32_t e) {
                        return palette[e].rgbRed == colour.rgbRed && palette[e].rgbGreen == colour.rgbGreen &&
                               palette[e].rgbBlue == colour.rgbBlue;
                    };
                    bool shared = false;
                    if (firstEntry == 0 && same(0)) {
                        entry = 0;
                        shared = true;
                    }
                    for (size_t k = 0; !shared && k < used.size(); ++k) {
                        if (same(used[k])) {
                            entry = used[k];
                            shared = true;
                        }
                    }
                    if (!shared) {
                        palette[entry] = RGBQuad{colour.rgbBlue, colour.rgbGreen, colour.rgbRed, 0};
                        used.push_back(entry);
                    }
                    tile.SetPixelIndexUnchecked(c, th - 1 - r, static_cast<uint8_t>(entry));
                }
            }
            EncodeExtension(stream, tile);
            if (!EncodeBody(stream, tile, true, static_cast<int32_t>(x0), static_cast<int32_t>(y0))) {
                SetError("GIF encoder can't allocate memory");
                return false;
            }
        }
    }
    return Finish(stream);
}

bool CxImageGIF::EncodeAnimation(CxFile* stream) {
    if (!stream) {
        SetError("invalid file pointer");
        return false;
    }
    const int32_t n = GetFrameCount();
    for (int32_t i = 0; i < n; ++i) {
        const CxImage* frame = GetFrame(i);
        if (!frame) {
            SetError("Bad image pointer");
            return false;
        }
        if (!frame->IsValid()) {
            SetError("Empty image");
            return false;
        }
        if (frame->GetBpp() > 8) {
            SetError("CxImageGIF::Encode cannot create animated GIFs with a true color frame. Use DecreaseBpp before");
            return false;
        }
        if (!fitsGif(*frame)) {
            SetError("GIF image too large");
            return false;
        }
    }
    const CxImage& first = *GetFrame(0);
    EncodeHeader(stream, first, true);
    if (GetLoops() != 1) EncodeLoopExtension(stream);
    EncodeComment(stream);
    for (int32_t i = 0; i < n; ++i) {
        const CxImage& frame = *GetFrame(i);
        EncodeExtension(stream, frame);
        if (!EncodeBody(stream, frame, true, frame.GetInfo().frameLeft, frame.GetInfo().frameTop)) {
            SetError("GIF encoder can't allocate memory");
            return false;
        }
    }
    return Finish(stream);
}

} // namespace qx::imageout
