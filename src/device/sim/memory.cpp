// Device memory, copies and texture bindings of the simulated device.
//
// Every device block is a host heap block of exactly the requested size
// (aligned like cudaMalloc), never pooled, so that AddressSanitizer reports
// a kernel's access one past its end.
#include "internal.h"

#include <cstdlib>
#include <cstring>

namespace sim {
namespace detail {

const mem_block *find_device_range(const void *p, size_t bytes) {
    auto &blocks = G().blocks;
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    auto it = blocks.upper_bound(a);
    if (it == blocks.begin()) return nullptr;
    --it;
    const mem_block &b = it->second;
    if (b.pinned && !b.mapped) return nullptr;
    uintptr_t start = it->first;
    if (a < start || a - start > b.bytes || bytes > b.bytes - (a - start)) return nullptr;
    return &b;
}

bool device_pointer_ok(const void *p) {
    if (!p) return true;
    std::lock_guard<std::mutex> lock(G().m);
    auto &blocks = G().blocks;
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    auto it = blocks.upper_bound(a);
    if (it == blocks.begin()) return false;
    --it;
    return a - it->first <= it->second.bytes;  // pinned memory is mapped on a GPU
}

void free_all_memory() {
    global_state &g = G();
    for (auto &b : g.blocks) std::free(reinterpret_cast<void *>(b.first));
    g.blocks.clear();
    for (size_t &a : g.allocated) a = 0;
}

namespace {

// Common prologue of the runtime calls: an injected fault, then the
// implicit context. Returns 0 or the code already left pending.
int enter(fault_kind kind) {
    if (int f = take_fault(kind)) return fail(f);
    global_state &g = G();
    std::lock_guard<std::mutex> lock(g.m);
    int device;
    if (int e = runtime_context(&device)) return fail(e);
    return fail(context_fault());
}

bool device_range(const void *p, size_t bytes) {
    std::lock_guard<std::mutex> lock(G().m);
    return find_device_range(p, bytes) != nullptr;
}

int copy_checked(fault_kind kind, void *dst, bool dst_dev, const void *src, bool src_dev,
                 size_t bytes) {
    if (int e = enter(kind)) return e;
    if (bytes == 0) return 0;
    if (!dst || !src) return fail(dev::err_invalid_value);
    if ((dst_dev && !device_range(dst, bytes)) || (src_dev && !device_range(src, bytes)))
        return fail(dev::err_invalid_value);
    stream_enter();
    std::memmove(dst, src, bytes);
    stream_leave();
    return 0;
}

int copy(fault_kind kind, call_kind logged, void *dst, bool dst_dev, const void *src,
         bool src_dev, size_t bytes) {
    int e = copy_checked(kind, dst, dst_dev, src, src_dev, bytes);
    if (recording()) {
        call c = new_call(logged);
        c.result = e;
        c.dst = dst;
        c.src = src;
        c.bytes = bytes;
        record(c);
    }
    return e;
}

const char *texel_name(dev::texel kind) {
    switch (kind) {
    case dev::texel::f32: return "float";
    case dev::texel::f32x2: return "float2";
    case dev::texel::i32x2: return "int2";
    case dev::texel::i32x4: return "int4";
    }
    return "?";
}

int bind(size_t *offset, dev::texture_ref &ref, const void *ptr, size_t bytes) {
    if (int e = enter(fault_kind::tex_bind)) return e;
    uintptr_t a = reinterpret_cast<uintptr_t>(ptr);
    uintptr_t base = a & ~uintptr_t(device_alignment - 1);
    size_t off = a - base;
    size_t size = dev::texel_bytes(ref.kind);
    if (bytes == 0 || size == 0 || !device_range(ptr, bytes) || (!offset && off != 0))
        return fail(dev::err_invalid_value);
    size_t elements = (off + bytes) / size;
    if (elements > dev::max_texture_elements) return fail(dev::err_invalid_value);
    static std::atomic<unsigned long long> next_handle{1};
    ref.base = reinterpret_cast<const char *>(base);
    ref.elements = elements;
    ref.handle = next_handle++;
    if (offset) *offset = off;
    return 0;
}

}  // namespace
}  // namespace detail
}  // namespace sim

namespace dev {

using namespace sim::detail;
using sim::fault_kind;

int malloc(void **ptr, size_t bytes) {
    if (int f = take_fault(fault_kind::malloc)) return fail(f);
    if (!ptr) return fail(err_invalid_value);
    global_state &g = G();
    std::lock_guard<std::mutex> lock(g.m);
    int device;
    if (int e = runtime_context(&device)) return fail(e);
    if (int e = context_fault()) return fail(e);
    if (bytes == 0) {
        *ptr = nullptr;
        return 0;
    }
    size_t capacity = g.devices[size_t(device)].capacity;
    if (bytes > capacity - std::min(capacity, g.allocated[size_t(device)]))
        return fail(err_memory_allocation);
    void *p = nullptr;
    if (posix_memalign(&p, device_alignment, bytes) != 0) return fail(err_memory_allocation);
    std::memset(p, poison_byte, bytes);  // uninitialised memory shows
    g.blocks[reinterpret_cast<uintptr_t>(p)] = mem_block{bytes, device, false, false};
    g.allocated[size_t(device)] += bytes;
    *ptr = p;
    return 0;
}

int free(void *ptr) {
    if (int f = take_fault(fault_kind::free)) return fail(f);
    global_state &g = G();
    std::lock_guard<std::mutex> lock(g.m);
    int device;
    if (int e = runtime_context(&device)) return fail(e);
    if (int e = context_fault()) return fail(e);
    if (!ptr) return 0;
    auto it = g.blocks.find(reinterpret_cast<uintptr_t>(ptr));
    if (it == g.blocks.end() || it->second.pinned) return fail(err_invalid_value);
    g.allocated[size_t(it->second.device)] -= it->second.bytes;
    g.blocks.erase(it);
    std::free(ptr);
    return 0;
}

int memcpy_htod(void *dst, const void *src, size_t bytes) {
    return copy(fault_kind::memcpy_htod, sim::call_kind::memcpy_htod, dst, true, src, false, bytes);
}
int memcpy_dtoh(void *dst, const void *src, size_t bytes) {
    return copy(fault_kind::memcpy_dtoh, sim::call_kind::memcpy_dtoh, dst, false, src, true, bytes);
}
int memcpy_dtod(void *dst, const void *src, size_t bytes) {
    return copy(fault_kind::memcpy_dtod, sim::call_kind::memcpy_dtod, dst, true, src, true, bytes);
}

int memcpy_to_symbol(const void *symbol, const void *src, size_t bytes, size_t offset) {
    auto run = [&] {
        if (int e = enter(fault_kind::memcpy_to_symbol)) return e;
        if (!symbol) return fail(13);  // cudaErrorInvalidSymbol
        if (bytes == 0) return 0;
        if (!src) return fail(err_invalid_value);
        std::memmove(static_cast<char *>(const_cast<void *>(symbol)) + offset, src, bytes);
        return 0;
    };
    int e = run();
    if (recording()) {
        sim::call c = new_call(sim::call_kind::memcpy_to_symbol);
        c.result = e;
        c.dst = symbol;
        c.src = src;
        c.bytes = bytes;
        c.offset = offset;
        record(c);
    }
    return e;
}

size_t texture_alignment() { return device_alignment; }

int bind_texture(size_t *offset, texture_ref &ref, const void *ptr, size_t bytes) {
    int e = bind(offset, ref, ptr, bytes);
    if (recording()) {
        sim::call c = new_call(sim::call_kind::tex_bind);
        c.result = e;
        c.name = texel_name(ref.kind);
        c.dst = &ref;
        c.src = ptr;
        c.bytes = bytes;
        c.offset = e == 0 && offset ? *offset : 0;
        record(c);
    }
    return e;
}

int unbind_texture(texture_ref &ref) {
    int e = enter(fault_kind::tex_unbind);
    if (e == 0) {
        ref.base = nullptr;
        ref.elements = 0;
        ref.handle = 0;
    }
    if (recording()) {
        sim::call c = new_call(sim::call_kind::tex_unbind);
        c.result = e;
        c.name = texel_name(ref.kind);
        c.dst = &ref;
        record(c);
    }
    return e;
}

}  // namespace dev
