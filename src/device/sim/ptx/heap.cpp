// Device-side malloc and free. Each device has a heap of a GPU's default
// size; its blocks outlive the kernel that allocated them, as on a GPU, until
// the simulated device is reset. Exhaustion returns null, as device malloc
// does; freeing an address the heap did not hand out is a fault.
#include "../internal.h"
#include "../simkernel.h"
#include "ops.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

namespace sim {
namespace ptx {

using detail::G;

// The default of a GPU's malloc heap (its limit's default, 8 MiB).
constexpr size_t heap_bytes = size_t(8) << 20;
constexpr size_t heap_granule = 16;

struct device_heap {
    std::mutex m;
    uint64_t generation = 0;
    std::map<uintptr_t, size_t> blocks;  // start, bytes
    size_t used = 0;
    std::atomic<size_t> count{0};  // live blocks: no lock while there are none

    // With m held: forgets the blocks of a device that was reset since.
    void renew() {
        const uint64_t g = G().generation.load(std::memory_order_acquire);
        if (g == generation) return;
        for (auto &b : blocks) std::free(reinterpret_cast<void *>(b.first));
        blocks.clear();
        used = 0;
        count.store(0);
        generation = g;
    }
};

device_heap *heap_of(int device) {
    static std::mutex m;
    static std::map<int, std::unique_ptr<device_heap>> heaps;
    std::lock_guard<std::mutex> lock(m);
    std::unique_ptr<device_heap> &h = heaps[device];
    if (!h) h.reset(new device_heap);
    std::lock_guard<std::mutex> hl(h->m);
    h->renew();
    return h.get();
}

bool heap_ok(thread &t, uintptr_t a, unsigned bytes) {
    device_heap *h = t.heap;
    if (a >= t.heap_lo && a + bytes <= t.heap_hi && a + bytes >= a) return true;
    if (!h || h->count.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard<std::mutex> lock(h->m);
    auto it = h->blocks.upper_bound(a);
    if (it == h->blocks.begin()) return false;
    --it;
    if (a - it->first >= it->second || bytes > it->second - (a - it->first)) return false;
    t.heap_lo = it->first;
    t.heap_hi = it->first + it->second;
    return true;
}

uint64_t heap_malloc(thread &t, uint64_t bytes) {
    device_heap *h = t.heap;
    if (!h || bytes == 0 || bytes > heap_bytes) return 0;
    const size_t size = size_t((bytes + heap_granule - 1) / heap_granule * heap_granule);
    std::lock_guard<std::mutex> lock(h->m);
    if (size > heap_bytes - h->used) return 0;
    void *p = std::aligned_alloc(heap_granule, size);
    if (!p) return 0;
    std::memset(p, detail::poison_byte, size);
    h->blocks.emplace(reinterpret_cast<uintptr_t>(p), size_t(bytes));
    h->used += size;
    h->count.fetch_add(1, std::memory_order_release);
    return reinterpret_cast<uintptr_t>(p);
}

void heap_free(thread &t, const insn &i, uint64_t a) {
    if (a == 0) return;
    device_heap *h = t.heap;
    {
        std::lock_guard<std::mutex> lock(h->m);
        auto it = h->blocks.find(uintptr_t(a));
        if (it != h->blocks.end()) {
            h->used -= (it->second + heap_granule - 1) / heap_granule * heap_granule;
            std::free(reinterpret_cast<void *>(it->first));
            h->blocks.erase(it);
            h->count.fetch_sub(1, std::memory_order_release);
            t.heap_lo = t.heap_hi = 0;
            return;
        }
    }
    char what[128];
    std::snprintf(what, sizeof what, "free of 0x%llx, not a block of the device heap",
                  (unsigned long long)a);
    fault(t, i, dev::err_launch_failed, what);
}

}  // namespace ptx
}  // namespace sim
