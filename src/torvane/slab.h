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

struct mmarena {
    mmspan a;
    uint32_t occ;      // slots in use
    uint32_t *bitmap;  // bit b of word w: slot 32*w + b in use
    mmarena *next;
    uint32_t flags;    // bit 0: the memory is a chunk of the pool
    // Bookkeeping of this implementation, not part of the dumps.
    uint32_t words;    // bitmap words
    uint32_t lowword;  // every word below it is all ones
    size_t objsize;    // slot size the arena was made for
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

// The arena that last served or took back a block of an allocator state, and
// its class: where a free looks first. Cleared when that arena is destroyed,
// so a span it holds always belongs to a live arena of that class.
struct mmhint {
    mmspan a;
    mmslab *slab;
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

// Slot sizes below 1 MiB are powers of two: shifts, not divisions.
inline char *mmarena_block(const mmarena *mp, size_t slot, size_t s) {
    return static_cast<char *>(mp->a.arena) +
           ((s & (s - 1)) == 0 ? slot << __builtin_ctzll(s) : slot * s);
}

// The slot at byte offset `off`; false when `off` lies inside a slot.
inline bool mmarena_slot(size_t off, size_t slot_size, size_t *slot) {
    if ((slot_size & (slot_size - 1)) == 0) {
        *slot = off >> __builtin_ctzll(slot_size);
        return (off & (slot_size - 1)) == 0;
    }
    *slot = off / slot_size;
    return off % slot_size == 0;
}

inline void mmhint_remember(mmhint *hint, mmslab *slab, const mmarena *mp) {
    if (hint && hint->a.arena != mp->a.arena) {
        hint->a = mp->a;
        hint->slab = slab;
    }
}

// ---- Fast paths for the memory manager's calls. Each does what the full
// call does in its most common case and returns true; in every other case it
// changes nothing and returns false, and the full call follows.

// mmslab_acquire when the head of `avail` has a clear bit in its lowest word that is not known full
// and the block passes the checks (where it would not, mmslab_acquire takes
// the same slot and reports the failed check).
inline bool mmslab_try_acquire(mmslab *slab, void **addr, size_t s, mmhint *hint) {
    mmarena *mp = slab->avail;
    if (!mp) return false;
    const uint32_t w = mp->lowword;
    if (w >= mmarena_reach(mp, s) || ~mp->bitmap[w] == 0) return false;
    const uint32_t b = static_cast<uint32_t>(__builtin_ctz(~mp->bitmap[w]));
    char *block = mmarena_block(mp, size_t(w) * 32 + b, s);
    if (block < mp->a.arena || block + s > static_cast<char *>(mp->a.arena) + mp->a.size)
        return false;
    mp->bitmap[w] |= uint32_t(1) << b;
    ++mp->occ;
    *addr = block;
    mmhint_remember(hint, slab, mp);
    return true;
}

// mmslab_release when the head of `avail` holds the block and keeps it (still
// in use, or alone under the keep rule). Every arena's slot size is the one
// it was made for: 2^k in class k, its own size in class 20.
inline bool mmslab_try_release(mmslab *slab, const void *p, int keep, mmhint *hint) {
    mmarena *mp = slab->avail;
    if (!mp || !mmarena_contains(mp, p) || !(mp->occ > 1 || (keep && !mp->next))) return false;
    size_t slot;
    const size_t off = static_cast<const char *>(p) - static_cast<const char *>(mp->a.arena);
    if (!mmarena_slot(off, mp->objsize, &slot)) return false;
    const uint32_t w = static_cast<uint32_t>(slot / 32);
    const uint32_t bit = uint32_t(1) << (slot % 32);
    if (!(mp->bitmap[w] & bit)) return false;
    mp->bitmap[w] &= ~bit;
    if (w < mp->lowword) mp->lowword = w;
    --mp->occ;
    mmhint_remember(hint, slab, mp);
    return true;
}

// Dump lines and counts of one class (slot size `slot`) and of a pool.
int mmslab_info(FILE *f, const mmslab *slab, size_t slot);
int mmslabhelper_info(FILE *f, const cpool *pool, uint64_t *bytes);
// Idle bytes: free slots of the arenas in `avail`, and the chunks of a pool.
uint64_t mmslab_committed(const mmslab *slab, size_t slot);
uint64_t mmslabhelper_committed(const cpool *pool);
