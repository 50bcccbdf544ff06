// Texture objects and the `tex` instruction.
//
// Fetches happen on every device thread, so the lookup takes no lock: a
// slot's handle is published after its description is written, and a handle
// carries a serial number so that one destroyed and reused reads as dead.
#include "texture.h"

#include "ops.h"

#include "device/device.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

namespace sim {
namespace ptx {

namespace {

constexpr unsigned slot_bits = 16;
constexpr size_t slot_count = size_t(1) << slot_bits;

struct slot {
    std::atomic<uint64_t> handle{0};
    tex_desc d{};
};

struct registry {
    std::mutex m;
    slot slots[slot_count];
    std::vector<uint32_t> free_list;
    uint32_t used = 0;
    uint64_t serial = 0;
};

registry &R() {
    static registry *r = new registry;  // outlives every static destructor
    return *r;
}

}  // namespace

uint64_t tex_create(const tex_desc &d) {
    registry &r = R();
    std::lock_guard<std::mutex> lock(r.m);
    uint32_t k;
    if (!r.free_list.empty()) {
        k = r.free_list.back();
        r.free_list.pop_back();
    } else if (r.used < slot_count) {
        k = r.used++;
    } else {
        return 0;
    }
    const uint64_t h = (++r.serial << slot_bits) | k;
    r.slots[k].d = d;
    r.slots[k].handle.store(h, std::memory_order_release);
    return h;
}

bool tex_destroy(uint64_t handle) {
    registry &r = R();
    std::lock_guard<std::mutex> lock(r.m);
    slot &s = r.slots[handle & (slot_count - 1)];
    if (handle == 0 || s.handle.load(std::memory_order_relaxed) != handle) return false;
    s.handle.store(0, std::memory_order_release);
    r.free_list.push_back(uint32_t(handle & (slot_count - 1)));
    return true;
}

const tex_desc *tex_find(uint64_t handle) {
    const slot &s = R().slots[handle & (slot_count - 1)];
    if (handle == 0 || s.handle.load(std::memory_order_acquire) != handle) return nullptr;
    return &s.d;
}

// tex.1d.v4.T.s32 {d0, d1, d2, d3}, [object, {index}]: o[0..3] the
// destinations, o[4] the object, o[5] the index. Linear memory reads zeros
// outside the object; channels the format lacks read as zero.
void h_tex(thread &t, const insn &i) {
    const tex_desc *d = tex_find(t.r[i.o[4]]);
    if (!d) {
        char what[96];
        std::snprintf(what, sizeof what, "texture fetch through object 0x%llx, which does not exist",
                      (unsigned long long)t.r[i.o[4]]);
        fault(t, i, dev::err_illegal_address, what);
        return;
    }
    const int32_t k = int32_t(uint32_t(t.r[i.o[5]]));
    const bool inside = k >= 0 && uint64_t(k) < d->elements;
    const unsigned char *p = d->base + (inside ? uint64_t(k) * d->channels * d->channel_bytes : 0);
    for (unsigned c = 0; c < 4; ++c) {
        uint32_t v = 0;
        if (inside && c < d->channels) std::memcpy(&v, p + c * d->channel_bytes, 4);
        t.r[i.o[c]] = v;
    }
}

}  // namespace ptx
}  // namespace sim
