// Slab arenas and the chunk pool.

// The two block checks of mmslab_acquire stay on in release builds too.
#undef NDEBUG
#include <cassert>

#include "slab.h"

#include "mm.h"

#include <cinttypes>
#include <cstdlib>
#include <initializer_list>

// Their reports name the function alone, not its C++ signature.
#undef __ASSERT_FUNCTION
#define __ASSERT_FUNCTION __func__

namespace {

constexpr size_t chunk_bytes = size_t(1) << 20;
constexpr size_t pool_chunks = 32;

// Slot sizes below 1 MiB are powers of two: shifts, not divisions.
char *mmarena_block(const mmarena *mp, size_t slot, size_t s) {
    return static_cast<char *>(mp->a.arena) +
           ((s & (s - 1)) == 0 ? slot << __builtin_ctzll(s) : slot * s);
}

// The slot at byte offset `off`; false when `off` lies inside a slot.
bool mmarena_slot(size_t off, size_t slot_size, size_t *slot) {
    if ((slot_size & (slot_size - 1)) == 0) {
        *slot = off >> __builtin_ctzll(slot_size);
        return (off & (slot_size - 1)) == 0;
    }
    *slot = off / slot_size;
    return off % slot_size == 0;
}

// The memory of an arena whose bitmap could not be had goes back where it
// came from: a chunk with the very node it was taken with, so that it needs
// no allocation to return to the head of the pool.
void mmarena_underfree(cpool **pool, cpool *node, void *base, size_t size, const mmzone *zone) {
    if (node) {
        node->next = *pool;
        *pool = node;
    } else {
        zone->unmap(base, size);
    }
}

int mmarena_destroy(cpool **pool, size_t *committed, mmarena *mp, const mmzone *zone) {
    if (!mp) return 0;
    int r;
    if (mp->flags & 1) {
        auto *node = static_cast<cpool *>(std::malloc(sizeof(cpool)));
        if (node) {
            node->addr = mp->a.arena;
            node->next = *pool;
            *pool = node;
            r = 0;
        } else {
            r = -1;  // the chunk is lost to the pool
        }
    } else {
        r = zone->unmap(mp->a.arena, mp->a.size);
    }
    *committed -= mp->a.size;
    std::free(mp->bitmap);
    std::free(mp);
    return r;
}

// Only a head with a successor is handed out, so the last chunk stays for good
// and the pool is filled once per memory type and device. The chunk comes in
// its node, which the caller frees once the chunk's arena is made.
int cpool_satisfy(cpool **pool, size_t s, cpool **taken, size_t *bitmap, size_t chunk,
                  const mmzone *zone) {
    if (!*pool) {
        const size_t bytes = pool_chunks * chunk;
        void *base = nullptr;
        size_t unused = 0;
        if (zone->map(bytes, &base, bytes, &unused) != 0) return -1;
        cpool *head = nullptr;
        for (size_t i = pool_chunks; i-- > 0;) {
            auto *node = static_cast<cpool *>(std::malloc(sizeof(cpool)));
            if (!node) {
                while (head) {
                    cpool *next = head->next;
                    std::free(head);
                    head = next;
                }
                zone->unmap(base, bytes);
                return -1;
            }
            node->addr = static_cast<char *>(base) + i * chunk;
            node->next = head;
            head = node;
        }
        *pool = head;
    }
    cpool *head = *pool;
    if (!head->next) return -1;
    *pool = head->next;
    *taken = head;
    *bitmap = mm_bitmap_bytes(s, chunk);
    return 0;
}

// A new arena for blocks of `s` bytes, linked into its list; null on failure
// with the class unchanged.
mmarena *mmarena_create(mmslab *slab, cpool **pool, size_t s, const mmzone *zone) {
    const size_t size = s <= chunk_bytes ? chunk_bytes : s;
    const size_t n = size / s;
    auto *mp = static_cast<mmarena *>(std::malloc(sizeof(mmarena)));
    if (!mp) return nullptr;
    mp->flags = 0;
    void *base = nullptr;
    size_t bitmap = 0;
    cpool *chunk = nullptr;
    if (size == chunk_bytes && cpool_satisfy(pool, s, &chunk, &bitmap, chunk_bytes, zone) == 0) {
        base = chunk->addr;
        mp->flags = 1;
    } else if (zone->map(s, &base, size, &bitmap) != 0) {
        std::free(mp);
        return nullptr;
    }
    mp->bitmap = static_cast<uint32_t *>(std::calloc(1, bitmap));
    if (!mp->bitmap) {
        mmarena_underfree(pool, chunk, base, size, zone);
        std::free(mp);
        return nullptr;
    }
    std::free(chunk);
    mp->words = static_cast<uint32_t>(bitmap / 4);
    if (n % 32) mp->bitmap[mp->words - 1] = ~uint32_t(0) << (n % 32);
    mp->a.arena = base;
    mp->a.size = size;
    mp->occ = 0;
    mp->lowword = 0;
    // Slots below 1 MiB are powers of two; a one-slot arena's block is slot 0 whatever its size.
    mp->shift = static_cast<uint8_t>(n >= 2 ? __builtin_ctzll(s) : 63);
    mp->in_full = n < 2;
    mp->objsize = s;
    mp->owner = slab;
    slab->committed += size;
    mmarena **list = n >= 2 ? &slab->avail : &slab->full;
    mp->next = *list;
    *list = mp;
    return mp;
}

// The first word within reach that is not all ones, searched from `lowword`,
// which then moves up to it; false when there is none.
bool first_open_word(mmarena *mp, size_t s, uint32_t *w) {
    const uint32_t words = mmarena_reach(mp, s);
    for (uint32_t i = mp->lowword; i < words; ++i) {
        if (~mp->bitmap[i] != 0) {
            *w = mp->lowword = i;
            return true;
        }
    }
    if (mp->lowword < words) mp->lowword = words;
    return false;
}

void forget(mmhint *hint, const mmarena *mp) {
    if (hint && hint->arena == mp) hint->arena = nullptr;
}

// Clears the slot of `p` in `mp`, slot size *o or the arena's own (written
// back). A slot that is free (a second free) or a pointer into a slot's middle
// is refused before anything changes.
bool give_back(mmarena *mp, const void *p, size_t *o) {
    const size_t slot_size = *o ? *o : mp->a.size;
    const size_t off = static_cast<const char *>(p) - static_cast<const char *>(mp->a.arena);
    size_t slot;
    if (!mmarena_slot(off, slot_size, &slot)) return false;
    const uint32_t w = static_cast<uint32_t>(slot / 32);
    const uint32_t bit = uint32_t(1) << (slot % 32);
    if (!(mp->bitmap[w] & bit)) return false;
    if (*o == 0) *o = mp->a.size;
    mp->bitmap[w] &= ~bit;
    if (w < mp->lowword) mp->lowword = w;
    --mp->occ;
    return true;
}

}  // namespace

int mmslab_acquire(mmslab *slab, cpool **pool, void **addr, size_t s, const mmzone *zone,
                   mmhint *hint) {
    mmarena *mp;
    uint32_t w = 0;
    while ((mp = slab->avail) != nullptr && !first_open_word(mp, s, &w)) {
        slab->avail = mp->next;
        mp->next = slab->full;
        mp->in_full = true;
        slab->full = mp;
    }
    if (!mp) {
        mp = mmarena_create(slab, pool, s, zone);
        if (!mp) {
            *addr = nullptr;
            return -1;
        }
        w = 0;
    }
    const uint32_t b = static_cast<uint32_t>(__builtin_ctz(~mp->bitmap[w]));
    mp->bitmap[w] |= uint32_t(1) << b;
    ++mp->occ;
    *addr = mmarena_block(mp, size_t(w) * 32 + b, s);
    assert(*addr >= mp->a.arena);
    assert((char *)*addr + s <= (char *)mp->a.arena + mp->a.size);
    mmhint_remember(hint, mp);
    return 0;
}

int mmslab_release(mmslab *slab, cpool **pool, void *p, size_t *o, const mmzone *zone,
                   mmhint *hint) {
    mmarena **link = &slab->avail;
    mmarena *mp;
    while ((mp = *link) != nullptr && !mmarena_contains(mp, p)) link = &mp->next;
    if (mp) {
        if (!give_back(mp, p, o)) return -1;
        // Stays while in use, or as the only arena of `avail` under the keep rule.
        if (mp->occ > 0 || (zone->keep && slab->avail == mp && !mp->next)) {
            mmhint_remember(hint, mp);
            return 0;
        }
        *link = mp->next;
        forget(hint, mp);
        return mmarena_destroy(pool, &slab->committed, mp, zone);
    }
    for (link = &slab->full; (mp = *link) != nullptr && !mmarena_contains(mp, p);)
        link = &mp->next;
    if (!mp || !give_back(mp, p, o)) return -1;
    *link = mp->next;
    mp->in_full = false;
    if (mp->occ > 0 || (zone->keep && !slab->avail)) {
        mp->next = slab->avail;
        slab->avail = mp;
        mmhint_remember(hint, mp);
        return 0;
    }
    forget(hint, mp);
    return mmarena_destroy(pool, &slab->committed, mp, zone);
}

int mmslab_reclaim(mmslab *slab, cpool **pool, const mmzone *zone, mmhint *hint) {
    for (mmarena **link = &slab->avail; *link; link = &(*link)->next) {
        mmarena *mp = *link;
        if (mp->occ == 0) {
            *link = mp->next;
            forget(hint, mp);
            mmarena_destroy(pool, &slab->committed, mp, zone);
            break;
        }
    }
    return 0;
}

int mmslab_info(FILE *f, const mmslab *slab, size_t slot) {
    int count = fprintf(f, "|Allocated for slab: %zu bytes\n", slab->committed);
    if (count < 0) return -1;
    for (const mmarena *list : {slab->avail, slab->full}) {
        for (const mmarena *mp = list; mp; mp = mp->next) {
            const int r = fprintf(f,
                                  "| \\--> %p Msize: %zu Count: %zu Occ: %u Osiz: %zu Flags: 0x%04x\n",
                                  mp->a.arena, mp->a.size, mp->a.size / slot, unsigned(mp->occ),
                                  slot, unsigned(mp->flags));
            if (r < 0) return -1;
            count += r;
        }
    }
    return count;
}

int mmslabhelper_info(FILE *f, const cpool *pool, uint64_t *bytes) {
    int count = 0;
    *bytes = 0;
    for (const cpool *node = pool; node; node = node->next) {
        const int r = fprintf(f, "| \\--> %p pool\n", node->addr);
        if (r < 0) return -1;
        count += r;
        *bytes += chunk_bytes;
    }
    return count;
}

uint64_t mmslab_committed(const mmslab *slab, size_t slot) {
    uint64_t idle = 0;
    for (const mmarena *mp = slab->avail; mp; mp = mp->next)
        idle += (uint64_t(mp->a.size / slot) - mp->occ) * slot;
    return idle;
}

uint64_t mmslabhelper_committed(const cpool *pool) {
    uint64_t idle = 0;
    for (const cpool *node = pool; node; node = node->next) idle += chunk_bytes;
    return idle;
}
