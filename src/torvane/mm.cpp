// The memory manager: three memory types, 21 power-of-two size classes each,
// served by the slab layer; statistics and dumps of the same state.

#include "mm.h"

#include "device/device.h"
#include "torvane.h"

#include <sys/mman.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>

// On the simulated device under AddressSanitizer, "Video RAM" is host memory:
// the bytes of its arenas that no caller holds are poisoned, so that a kernel
// or copy that runs past a block, into its size class's slack or into a freed
// block is reported.
#if defined(DEV_BACKEND_SIM) && defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define MM_VRAM_CHECKED 1
#endif

namespace {

#if MM_VRAM_CHECKED
void vram_poison(void *p, size_t n) { ASAN_POISON_MEMORY_REGION(p, n); }
void vram_unpoison(void *p, size_t n) { ASAN_UNPOISON_MEMORY_REGION(p, n); }
// The bytes handed out with the block at p: up to its first poisoned byte.
size_t vram_held(void *p) {
    for (size_t window = 4096;; window *= 2)
        if (void *q = __asan_region_is_poisoned(p, window))
            return size_t(static_cast<char *>(q) - static_cast<char *>(p));
}
#else
void vram_poison(void *, size_t) {}
void vram_unpoison(void *, size_t) {}
size_t vram_held(void *) { return 0; }
#endif

constexpr size_t big_bytes = size_t(1) << 20;  // up to here sizes round to powers of two
constexpr size_t small_bytes = big_bytes / 2;  // up to here blocks share arenas
constexpr int max_devices = 32;

const size_t cpuhw = 4096;
const size_t gpuhw = 65536;

int cpu_map(size_t objsize, void **base, size_t size, size_t *bitmap) {
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return -1;
    *base = p;
    *bitmap = mm_bitmap_bytes(objsize, size);
    return 0;
}

int cpu_unmap(void *base, size_t size) { return munmap(base, size); }

// A pending runtime error fails the mapping and is consumed. A failure of the
// allocation itself is reported by the result alone: left pending, it would
// also fail the 1 MiB mapping that follows a pool that could not be filled.
int gpu_map(size_t objsize, void **base, size_t size, size_t *bitmap) {
    int e = dev::get_last_error();
    if (e) return e;
    e = dev::malloc(base, size);
    if (e) {
        dev::get_last_error();
        return e;
    }
    vram_poison(*base, size);
    *bitmap = mm_bitmap_bytes(objsize, size);
    return 0;
}

int gpu_unmap(void *base, size_t size) {
    const int e = dev::get_last_error();
    if (e) return e;
    vram_unpoison(base, size);
    if (dev::free(base) != 0) {
        dev::get_last_error();
        return -1;
    }
    return 0;
}

int shared_map(size_t objsize, void **base, size_t size, size_t *bitmap) {
    if (dev::drv_mem_host_alloc(base, size, dev::host_alloc_devicemap) != 0) return -1;
    *bitmap = mm_bitmap_bytes(objsize, size);
    return 0;
}

int shared_unmap(void *base, size_t) { return dev::drv_mem_free_host(base) == 0 ? 0 : -1; }

const mmzone mmzones[] = {
    {"System RAM", cpu_map, cpu_unmap, 1, &cpuhw},
    {"Video RAM", gpu_map, gpu_unmap, 0, &gpuhw},
    {"PCI Shared", shared_map, shared_unmap, 0, &cpuhw},
};

mmnexus hostnex;
mmnexus sharednex;
mmnexus cudanex[max_devices];

// The allocator state for a call; "Video RAM" follows the calling thread's
// current context on every call.
__attribute__((noinline)) mmnexus *mm_device_nexus() {
    dev::drv_device device = 0;
    if (dev::drv_ctx_get_device(&device) != 0) return nullptr;
    if (static_cast<unsigned>(device) >= max_devices) return nullptr;
    return &cudanex[device];
}

// The host types need no device query: their calls stay short.
mmnexus *mm_host_nexus(int type) {
    return type == MM_SYSTEM_RAM ? &hostnex : type == MM_PCI_SHARED ? &sharednex : nullptr;
}

mmnexus *mm_choose(int type) {
    if (mmnexus *nx = mm_host_nexus(type)) return nx;
    return type == MM_VIDEO_RAM ? mm_device_nexus() : nullptr;
}

// Rounded size and class of a request. A request of 0 bytes is served as one of 1.
void mm_round(size_t size, size_t *s, int *k) {
    if (size > big_bytes) {
        *s = size;
        *k = mm_big_class;
        return;
    }
    const int bits = size <= 1 ? 0 : 64 - __builtin_clzll(size - 1);
    *s = size_t(1) << bits;
    *k = bits;  // 20 for 1 MiB itself
}

size_t mm_slot(int k) { return k < mm_big_class ? size_t(1) << k : 0; }

// The full calls of the slab layer; the hot paths try the inline ones first.
__attribute__((noinline)) int mm_acquire(mmnexus *nx, int type, size_t s, int k, void **out) {
    return mmslab_acquire(&nx->slab[k], &nx->pool, out, s, &mmzones[type], &nx->hint);
}

int mm_release(mmnexus *nx, int type, int k, void *p) {
    size_t o = mm_slot(k);
    return mmslab_release(&nx->slab[k], &nx->pool, p, &o, &mmzones[type], &nx->hint);
}

__attribute__((noinline)) int mm_take_full(mmnexus *nx, int type, size_t size, void **out) {
    size_t s;
    int k;
    mm_round(size, &s, &k);
    return mm_acquire(nx, type, s, k, out);
}

// Every class in turn, 20 last with each arena's own size as its slot size.
__attribute__((noinline)) int mm_search(mmnexus *nx, int type, void *p) {
    for (int k = 0; k < mm_classes; ++k)
        if (mm_release(nx, type, k, p) == 0) return 0;
    return -1;
}

// Arenas never overlap: when the hint's arena holds the block, its class is
// the only one that can answer.
__attribute__((noinline)) int mm_release_full(mmnexus *nx, int type, void *p) {
    const mmarena *mp = nx->hint.arena;
    if (!mp || !mmarena_contains(mp, p)) return mm_search(nx, type, p);
    return mm_release(nx, type, int(mp->owner - nx->slab), p) == 0 ? 0 : -1;
}

// mmalloc on a chosen allocator state; null stored on failure. Inlined into
// the entry points, so that the common case is one short call.
__attribute__((always_inline)) inline int mm_take(mmnexus *nx, int type, size_t size,
                                                  void **out) {
    // 1 byte to 512 KiB: class k is the bit length of size - 1.
    if (size - 1 < small_bytes) {
        const unsigned k = 63u - unsigned(__builtin_clzll(2 * (size - 1) + 1));
        if (mmslab_try_acquire(&nx->slab[k], out, k, &nx->hint)) return 0;
    }
    return mm_take_full(nx, type, size, out);
}

// mmfree of a non-null block on a chosen allocator state (inlined likewise).
__attribute__((always_inline)) inline int mm_give(mmnexus *nx, int type, void *p) {
    if (mmslab_try_release(&nx->hint, p, mmzones[type].keep)) return 0;
    return mm_release_full(nx, type, p);
}

__attribute__((noinline)) int mm_take_other(size_t size, int type, void **out) {
    mmnexus *nx = mm_choose(type);
    if (!nx) {
        *out = nullptr;
        return -1;
    }
    return mm_take(nx, type, size, out);
}

__attribute__((noinline)) int mm_give_other(int type, void *p) {
    mmnexus *nx = mm_choose(type);
    return nx ? mm_give(nx, type, p) : -1;
}

int mmnexus_info(FILE *f, const mmnexus *nx, const char *name, unsigned number) {
    int count = 0;
    bool header = false;
    auto print_header = [&] {
        const int r = fprintf(f, ">--------- Memory type: %s #%u -------\n", name, number);
        if (r < 0) return false;
        count += r;
        header = true;
        return true;
    };
    uint64_t sum = 0;
    if (nx->pool) {
        if (!print_header()) return -1;
        uint64_t bytes = 0;
        const int r = mmslabhelper_info(f, nx->pool, &bytes);
        if (r < 0) return -1;
        count += r;
        sum += bytes;
    }
    for (int k = 0; k < mm_big_class; ++k) {
        const mmslab *slab = &nx->slab[k];
        if (!slab->avail && !slab->full) continue;
        if (!header && !print_header()) return -1;
        const int r = mmslab_info(f, slab, mm_slot(k));
        if (r < 0) return -1;
        count += r;
        sum += slab->committed;
    }
    if (sum) {
        const int r = fprintf(f, "| Total allocations: %ju\n", uintmax_t(sum));
        if (r < 0) return -1;
        count += r;
    }
    return count;
}

uint64_t mmnexus_idle(const mmnexus *nx) {
    uint64_t idle = mmslabhelper_committed(nx->pool);
    for (int k = 0; k < mm_big_class; ++k) idle += mmslab_committed(&nx->slab[k], mm_slot(k));
    return idle;
}

}  // namespace

int mmalloc(size_t size, int type, void **out) {
    if (mmnexus *nx = mm_host_nexus(type)) return mm_take(nx, type, size, out);
    const int r = mm_take_other(size, type, out);
    if (r == 0 && type == MM_VIDEO_RAM) vram_unpoison(*out, size);
    return r;
}

int mmcalloc(size_t size, int type, void **out) {
    size_t s;
    int k;
    mm_round(size, &s, &k);
    mmnexus *nx = mm_choose(type);
    void *p = nullptr;
    if (!nx || mm_acquire(nx, type, s, k, &p) != 0) return -1;
    if (type == MM_VIDEO_RAM) {
        const auto at = static_cast<dev::dptr>(reinterpret_cast<uintptr_t>(p));
        vram_unpoison(p, s);
        if (s % 4 == 0)
            dev::drv_memset_d32(at, 0, s / 4);
        else
            dev::drv_memset_d8(at, 0, s);
        vram_poison(static_cast<char *>(p) + size, s - std::min(s, size));
    } else {
        std::memset(p, 0, s);
    }
    *out = p;
    return 0;
}

int mmfree(int type, void *ptr) {
    if (!ptr) return 0;
    if (mmnexus *nx = mm_host_nexus(type)) return mm_give(nx, type, ptr);
    const size_t held = type == MM_VIDEO_RAM ? vram_held(ptr) : 0;
    const int r = mm_give_other(type, ptr);
    if (r == 0) vram_poison(ptr, held);
    return r;
}

int mmreclaim(int type) {
    mmnexus *nx = mm_choose(type);
    if (!nx) return -1;
    int r = 0;
    for (int k = 0; k < mm_big_class; ++k)
        r |= mmslab_reclaim(&nx->slab[k], &nx->pool, &mmzones[type], &nx->hint);
    return r;
}

int mmallocstats(mmstats *st) {
    st->total = st->live = st->used = 0;
    int device = 0;
    int e = dev::get_device(&device);
    if (e) return e;
    size_t free_bytes = 0, total_bytes = 0;
    e = dev::drv_mem_get_info(&free_bytes, &total_bytes);
    if (e) return e;
    // A device beyond those the allocator keeps state for holds no idle capacity.
    const uint64_t idle =
        static_cast<unsigned>(device) < max_devices ? mmnexus_idle(&cudanex[device]) : 0;
    st->total = total_bytes;
    st->used = uint64_t(total_bytes) - free_bytes;
    st->live = st->used - idle;
    return 0;
}

int mmallocinfo(FILE *f, int type) {
    switch (static_cast<unsigned>(type)) {
    case MM_SYSTEM_RAM: return mmnexus_info(f, &hostnex, mmzones[MM_SYSTEM_RAM].name, 0);
    case MM_VIDEO_RAM:
        for (unsigned d = 0; d < max_devices; ++d)
            if (mmnexus_info(f, &cudanex[d], mmzones[MM_VIDEO_RAM].name, d) < 0) return -1;
        return 0;
    case MM_PCI_SHARED: return mmnexus_info(f, &sharednex, mmzones[MM_PCI_SHARED].name, 0);
    default: return -1;
    }
}

int mmallocinfoall(FILE *f) {
    int count = fprintf(f, "/-------------------------- allocator contents ------------------------------\\\n");
    if (count < 0) return 0;
    for (int type = MM_SYSTEM_RAM; type <= MM_PCI_SHARED; ++type) {
        const int r = mmallocinfo(f, type);
        if (r < 0) return -1;
        count += r;
    }
    const int r = fprintf(f, "\\-------------------------- allocator contents ------------------------------/\n");
    if (r < 0) return 0;
    return count + r;
}
