// WireField: one field of a fixed wire layout, named once with its type, offset and byte
// order, and read or written only through accessors that take the size of the buffer at
// hand. A layout is a set of such names (see usb3/UsbFrameAssembler.h); its decoder and
// encoder then never spell an offset:
//
//   using Width = qx::sys::LeField<uint16_t, 24>;
//   uint16_t w = Width::get(page, size);   // 0 when the page is too short for the field
//   Width::set(page, size, 640);           // false (and nothing written) when it is
#pragma once
#include "Sys/ByteOrder.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace qx::sys {

enum class Endian { Little, Big };

template <typename T, size_t Offset, Endian Order>
struct WireField {
    static_assert(std::is_same_v<T, uint8_t> || std::is_same_v<T, uint16_t> || std::is_same_v<T, uint32_t> ||
                      std::is_same_v<T, uint64_t>,
                  "wire fields are unsigned integers of 1, 2, 4 or 8 bytes");
    using Type = T;
    static constexpr size_t kOffset = Offset;
    // First byte after the field: a buffer of at least this many bytes holds it.
    static constexpr size_t kEnd = Offset + sizeof(T);

    static constexpr bool fits(size_t size) { return size >= kEnd; }

    // The field's value, or 0 when `size` bytes at `p` do not reach its end.
    static T get(const uint8_t* p, size_t size) {
        if (!p || !fits(size)) return T{0};
        const uint8_t* at = p + Offset;
        if constexpr (sizeof(T) == 1) return *at;
        else if constexpr (Order == Endian::Little) {
            if constexpr (sizeof(T) == 2) return loadLe16(at);
            else if constexpr (sizeof(T) == 4) return loadLe32(at);
            else return loadLe64(at);
        } else {
            if constexpr (sizeof(T) == 2) return loadBe16(at);
            else if constexpr (sizeof(T) == 4) return loadBe32(at);
            else return loadBe64(at);
        }
    }

    // Writes the field; false, with nothing written, when `size` bytes do not reach its end.
    static bool set(uint8_t* p, size_t size, T value) {
        if (!p || !fits(size)) return false;
        uint8_t* at = p + Offset;
        if constexpr (sizeof(T) == 1) *at = value;
        else if constexpr (Order == Endian::Little) {
            if constexpr (sizeof(T) == 2) storeLe16(at, value);
            else if constexpr (sizeof(T) == 4) storeLe32(at, value);
            else storeLe64(at, value);
        } else {
            if constexpr (sizeof(T) == 2) storeBe16(at, value);
            else if constexpr (sizeof(T) == 4) storeBe32(at, value);
            else storeBe64(at, value);
        }
        return true;
    }
};

template <typename T, size_t Offset>
using LeField = WireField<T, Offset, Endian::Little>;
template <typename T, size_t Offset>
using BeField = WireField<T, Offset, Endian::Big>;

} // namespace qx::sys
