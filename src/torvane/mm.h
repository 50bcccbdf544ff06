// The memory manager's zone table and allocator states. Not installed.
#pragma once

#include "slab.h"

#include <cstddef>

constexpr int mm_classes = 21;  // 2^0 .. 2^19 bytes, and class 20 for 1 MiB and above
constexpr int mm_big_class = 20;

// Allocator state of one memory type (and, for "Video RAM", one device).
struct mmnexus {
    mmslab slab[mm_classes];
    cpool *pool;
    mmhint hint;  // where mmfree looks first
};

// Bitmap bytes for slots of `objsize` in `size` bytes: one bit per whole slot,
// in whole 32-bit words.
inline size_t mm_bitmap_bytes(size_t objsize, size_t size) {
    return 4 * ((size / objsize + 31) / 32);
}
