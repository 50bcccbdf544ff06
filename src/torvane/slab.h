// Slab arenas and the chunk pool: the layer under the memory manager. Each
// size class keeps its memory in arenas cut into equal slots, one bit per slot
// in a host bitmap; 1 MiB arenas come first from a pool of chunks cut from one
// 32 MiB mapping per memory type and device. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// How one memory type obtains and gives back memory: a row of the memory
// manager's zone table.
struct mmzone {
    const char *name;
    // Maps `size` bytes into *base and stores the bitmap bytes for slots of
    // `objsize` bytes in *bitmap; 0 on success.
    int (*map)(size_t objsize, void **base, size_t size, size_t *bitmap);
    int (*unmap)(void *base, size_t size);  // 0 on success
    int keep;                               // 1: a class keeps its last empty arena
    const size_t *page;
};

// The memory of one arena.
struct mmspan {
    void *arena;  // base address
    size_t size;  // bytes
};

struct mmslab;

struct mmarena {
    mmspan a;
    uint32_t occ;      // slots in use
    uint32_t *bitmap;  // bit b of word w: slot 32*w + b in use
    mmarena *next;
    uint32_t flags;    // bit 0: the memory is a chunk of the pool
    // Bookkeeping of this implementation, not part of the dumps.
    uint32_t words;    // bitmap words
    uint32_t lowword;  // every word below it is all ones
    uint8_t shift;     // log2 of the slot size; 63 for a one-slot arena of class 20
    bool in_full;      // linked in `full`
    size_t objsize;    // slot size the arena was made for
    mmslab *owner;     // its class
};

// One size class.
struct mmslab {
    mmarena *avail;    // arenas not yet found full, newest first
    mmarena *full;     // arenas found without a free slot
    size_t committed;  // bytes of all arenas of both lists
};

// One free 1 MiB chunk of a pool.
struct cpool {
    void *addr;
    cpool *next;
};

// The arena that last served or took back a block of an allocator state:
// where a free looks first. Cleared when that arena is destroyed, so it is
// always null or a live arena.
struct mmhint {
    mmarena *arena;
};

// Hands out a block of `s` bytes of the class: the lowest clear bit of the
// first word that is not full, in the first arena of `avail` that has one.
// On failure *addr is null.
int mmslab_acquire(mmslab *slab, cpool **pool, void **addr, size_t s, const mmzone *zone,
                   mmhint *hint = nullptr);
// Frees the block at `p`; *o is the slot size, or 0 for the arena's own size
// (written back). -1 when the class holds no such block (also for a slot that
// is free or a pointer into the middle of one: then nothing changes).
int mmslab_release(mmslab *slab, cpool **pool, void *p, size_t *o, const mmzone *zone,
                   mmhint *hint = nullptr);
// Destroys the first empty arena of `avail`, if any; returns 0.
int mmslab_reclaim(mmslab *slab, cpool **pool, const mmzone *zone, mmhint *hint = nullptr);

// ---- Shared by the slab layer and its inline fast paths below.

inline bool mmarena_contains(const mmarena *mp, const void *p) {
    return reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(mp->a.arena) < mp->a.size;
}

// Bitmap words that slots of `s` bytes reach in the arena.
inline uint32_t mmarena_reach(const mmarena *mp, size_t s) {
    if (s == mp->objsize) return mp->words;
    const size_t need = (mp->a.size / s + 31) / 32;
    return need < mp->words ? static_cast<uint32_t>(need) : mp->words;
}

inline void mmhint_remember(mmhint *hint, mmarena *mp) {
    if (hint) hint->arena = mp;
}

// ---- Fast paths for the memory manager's calls. Each does what the full
// call does in its most common case and returns true; in every other case it
// changes nothing and returns false, and the full call follows.

// mmslab_acquire for class k below 20, whose arenas all have slots of 2^k
// bytes: the head of `avail` has a clear bit in its lowest word that is not
// known full, and the block passes the checks (where it would not,
// mmslab_acquire takes the same slot and reports the failed check).
inline bool mmslab_try_acquire(mmslab *slab, void **addr, unsigned k, mmhint *hint) {
    mmarena *mp = slab->avail;
    if (!mp) return false;
    const uint32_t w = mp->lowword;
    if (w >= mp->words) return false;
    const uint32_t open = ~mp->bitmap[w];
    if (open == 0) return false;
    const size_t off = (size_t(w) * 32 + unsigned(__builtin_ctz(open))) << k;
    if (off + (size_t(1) << k) > mp->a.size) return false;
    mp->bitmap[w] = ~(open & (open - 1));  // the lowest clear bit set
    ++mp->occ;
    *addr = static_cast<char *>(mp->a.arena) + off;
    hint->arena = mp;
    return true;
}

// mmslab_release when the hint's arena holds the block and keeps it in
// `avail`: still in use, or alone there under the keep rule.
inline bool mmslab_try_release(const mmhint *hint, const void *p, int keep) {
    mmarena *mp = hint->arena;
    if (!mp) return false;
    const size_t off = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(mp->a.arena);
    if (off >= mp->a.size || mp->in_full || (off & ((size_t(1) << mp->shift) - 1)) != 0)
        return false;
    const size_t slot = off >> mp->shift;
    uint32_t *word = mp->bitmap + slot / 32;
    const uint32_t bit = uint32_t(1) << (slot % 32);
    if (!(*word & bit)) return false;
    if (mp->occ == 1 && !(keep && mp->owner->avail == mp && !mp->next)) return false;
    *word &= ~bit;
    if (slot / 32 < mp->lowword) mp->lowword = uint32_t(slot / 32);
    --mp->occ;
    return true;
}

// Dump lines and counts of one class (slot size `slot`) and of a pool.
int mmslab_info(FILE *f, const mmslab *slab, size_t slot);
int mmslabhelper_info(FILE *f, const cpool *pool, uint64_t *bytes);
// Idle bytes: free slots of the arenas in `avail`, and the chunks of a pool.
uint64_t mmslab_committed(const mmslab *slab, size_t slot);
uint64_t mmslabhelper_committed(const cpool *pool);
