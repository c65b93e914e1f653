// Owned heap blocks of the image output.
//
// Pixel blocks, alpha planes and memory streams come from the C allocator so that a zeroed block
// is a calloc (fresh pages, nothing written) and a growing stream a realloc (often in place);
// CxBytes frees them with free(). Allocation failure answers null, as the image classes report
// failures by their result and never throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

namespace qx::imageout {

struct CxFree {
    void operator()(void* block) const noexcept { std::free(block); }
};

using CxBytes = std::unique_ptr<uint8_t[], CxFree>;

// `size` bytes, not cleared; null when memory runs out.
inline CxBytes cxAllocate(size_t size) { return CxBytes(static_cast<uint8_t*>(std::malloc(size))); }

// `size` bytes, all zero; null when memory runs out.
inline CxBytes cxAllocateZeroed(size_t size) { return CxBytes(static_cast<uint8_t*>(std::calloc(1, size))); }

// std::make_unique that answers null instead of throwing when memory runs out.
template <typename T, typename... Args>
std::unique_ptr<T> cxMakeUnique(Args&&... args) noexcept {
    try {
        return std::make_unique<T>(std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

} // namespace qx::imageout
