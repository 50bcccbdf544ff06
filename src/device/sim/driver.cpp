// Driver side of the simulated device: init, devices, contexts, memory
// information, pinned host memory, memsets, and modules of PTX, which the
// executor in ptx/ runs. Driver calls return
// their code and leave nothing pending.
#include "device/error_names.h"
#include "device/staging.h"
#include "internal.h"
#include "ptx/module.h"
#include "ptx/ptx.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace dev {

using namespace sim::detail;
using sim::fault_kind;

namespace {

constexpr int err_invalid_handle = 400;

// The context current on the calling thread, or null. G().m held.
drv_context_rec *current_context() {
    drv_context_rec *c = T().current;
    return c && G().contexts.count(c) ? c : nullptr;
}

// Prologue: an injected fault, then "not initialised". Takes G().m.
struct driver_call {
    std::unique_lock<std::mutex> lock;
    int error = 0;
    explicit driver_call(fault_kind kind, bool needs_context = false) {
        if (kind != fault_kind::count_) error = take_fault(kind);
        lock = std::unique_lock<std::mutex>(G().m);
        if (!error && !G().driver_initialized) error = err_not_initialized;
        if (!error && needs_context && !current_context()) error = err_invalid_context;
        if (!error && needs_context) error = context_fault();
    }
};
constexpr fault_kind no_fault = fault_kind::count_;

bool valid_device(int d) { return d >= 0 && d < int(G().devices.size()); }

int memset_range(fault_kind kind, dptr dst, size_t bytes, size_t align) {
    driver_call call(kind, true);
    if (call.error) return call.error;
    void *p = reinterpret_cast<void *>(uintptr_t(dst));
    if (dst % align != 0) return err_invalid_value;
    if (bytes != 0 && !find_device_range(p, bytes)) return err_invalid_value;
    return 0;
}

}  // namespace

int drv_init(unsigned flags) {
    global_state &g = G();
    std::lock_guard<std::mutex> lock(g.m);
    if (flags != 0) return err_invalid_value;
    if (g.init_result != 0) return g.init_result;
    g.driver_initialized = true;
    return 0;
}

int drv_device_count(int *count) {
    driver_call call(fault_kind::device_count);
    if (call.error) return call.error;
    if (!count) return err_invalid_value;
    *count = int(G().devices.size());
    return 0;
}

int drv_device_get(drv_device *device, int ordinal) {
    driver_call call(fault_kind::device_get);
    if (call.error) return call.error;
    if (!device) return err_invalid_value;
    if (!valid_device(ordinal)) return err_invalid_device;
    *device = ordinal;
    return 0;
}

int drv_compute_capability(int *major, int *minor, drv_device device) {
    driver_call call(fault_kind::capability);
    if (call.error) return call.error;
    if (!major || !minor) return err_invalid_value;
    if (!valid_device(device)) return err_invalid_device;
    *major = G().devices[size_t(device)].major;
    *minor = G().devices[size_t(device)].minor;
    return 0;
}

int drv_ctx_create(drv_context *ctx, drv_device device) {
    driver_call call(no_fault);
    if (call.error) return call.error;
    if (!ctx) return err_invalid_value;
    if (!valid_device(device)) return err_invalid_device;
    auto *c = new drv_context_rec{device, false};
    G().contexts.insert(c);
    T().current = c;
    *ctx = c;
    return 0;
}

int drv_ctx_destroy(drv_context ctx) {
    driver_call call(no_fault);
    if (call.error) return call.error;
    if (!ctx) return err_invalid_value;
    if (!G().contexts.count(ctx) || ctx->primary) return err_invalid_context;
    G().contexts.erase(ctx);
    retire_context(ctx);
    if (T().current == ctx) T().current = nullptr;
    return 0;
}

int drv_ctx_set_current(drv_context ctx) {
    driver_call call(no_fault);
    if (call.error) return call.error;
    if (ctx && !G().contexts.count(ctx)) return err_invalid_context;
    T().current = ctx;
    return 0;
}

int drv_ctx_get_device(drv_device *device) {
    driver_call call(fault_kind::ctx_get_device);
    if (call.error) return call.error;
    if (!device) return err_invalid_value;
    drv_context_rec *c = current_context();
    if (!c) return err_invalid_context;
    *device = c->device;
    return 0;
}

int drv_mem_get_info(size_t *free_bytes, size_t *total_bytes) {
    driver_call call(fault_kind::mem_get_info, true);
    if (call.error) return call.error;
    if (!free_bytes || !total_bytes) return err_invalid_value;
    size_t d = size_t(current_context()->device);
    size_t cap = G().devices[d].capacity, used = G().allocated[d];
    *total_bytes = cap;
    *free_bytes = used < cap ? cap - used : 0;
    return 0;
}

int drv_mem_host_alloc(void **ptr, size_t bytes, unsigned flags) {
    driver_call call(fault_kind::host_alloc, true);
    if (call.error) return call.error;
    if (!ptr || bytes == 0 || (flags & ~7u)) return err_invalid_value;
    void *p = nullptr;
    if (posix_memalign(&p, 4096, bytes) != 0) return err_memory_allocation;
    G().blocks[reinterpret_cast<uintptr_t>(p)] =
        mem_block{bytes, -1, true, (flags & host_alloc_devicemap) != 0};
    *ptr = p;
    return 0;
}

int drv_mem_free_host(void *ptr) {
    driver_call call(fault_kind::free_host, true);
    if (call.error) return call.error;
    auto it = G().blocks.find(reinterpret_cast<uintptr_t>(ptr));
    if (!ptr || it == G().blocks.end() || !it->second.pinned) return err_invalid_value;
    G().blocks.erase(it);
    std::free(ptr);
    return 0;
}

int drv_mem_host_get_device_pointer(dptr *device_ptr, void *host_ptr) {
    driver_call call(no_fault, true);
    if (call.error) return call.error;
    if (!device_ptr || !host_ptr) return err_invalid_value;
    const mem_block *b = find_device_range(host_ptr, 0);
    if (!b || !b->pinned) return err_invalid_value;
    *device_ptr = dptr(reinterpret_cast<uintptr_t>(host_ptr));
    return 0;
}

namespace {

int logged_memset(const char *name, dptr dst, size_t bytes, int result) {
    if (recording()) {
        sim::call c = new_call(sim::call_kind::memset);
        c.result = result;
        c.name = name;
        c.dst = reinterpret_cast<const void *>(uintptr_t(dst));
        c.bytes = bytes;
        record(c);
    }
    return result;
}

int memset_d8(dptr dst, unsigned char value, size_t count) {
    if (int e = memset_range(fault_kind::memset, dst, count, 1)) return e;
    stream_enter();
    std::memset(reinterpret_cast<void *>(uintptr_t(dst)), value, count);
    stream_leave();
    std::lock_guard<std::mutex> lock(G().m);
    ++G().stats.memsets_d8;
    return 0;
}

int memset_d32(dptr dst, unsigned value, size_t count) {
    if (count > SIZE_MAX / 4) return err_invalid_value;
    if (int e = memset_range(fault_kind::memset, dst, count * 4, 4)) return e;
    unsigned *p = reinterpret_cast<unsigned *>(uintptr_t(dst));
    stream_enter();
    for (size_t i = 0; i < count; ++i) p[i] = value;
    stream_leave();
    std::lock_guard<std::mutex> lock(G().m);
    ++G().stats.memsets_d32;
    return 0;
}

}  // namespace

int drv_memset_d8(dptr dst, unsigned char value, size_t count) {
    return logged_memset("d8", dst, count, memset_d8(dst, value, count));
}

int drv_memset_d32(dptr dst, unsigned value, size_t count) {
    return logged_memset("d32", dst, count * 4, memset_d32(dst, value, count));
}

}  // namespace dev

// A loaded module: the executor's form of its PTX and one handle per entry.
struct dev::drv_module_rec {
    std::unique_ptr<sim::ptx::module> code;
    int device;
    std::vector<std::unique_ptr<dev::drv_function_rec>> entries;
};
struct dev::drv_function_rec {
    drv_module_rec *module;
    uint32_t index;
    dev::staging::staged_launch staged;  // the legacy staging calls' state
};

namespace {
// Live handles (G().m held).
std::set<dev::drv_module_rec *> live_modules;
std::set<dev::drv_function_rec *> live_functions;
thread_local std::string load_log;
}  // namespace

std::string sim::ptx_log() { return load_log; }

namespace dev {

int drv_module_load_data(drv_module *module, const void *image) {
    driver_call call(fault_kind::module_load, true);
    if (call.error) return call.error;
    if (!module || !image) return err_invalid_value;
    const char *text = static_cast<const char *>(image);
    // Device code in binary form (ELF cubins, fat binaries) needs a real GPU.
    if (std::strncmp(text, "\x7f" "ELF", 4) == 0 || std::strncmp(text, "\x50\xed\x55\xba", 4) == 0)
        return err_not_supported;
    const int device = current_context()->device;
    const sim::device_desc d = G().devices[size_t(device)];
    call.lock.unlock();
    std::unique_ptr<sim::ptx::module> code;
    int e = sim::ptx::load(text, d.major * 10 + d.minor, code, load_log);
    if (e) return e;
    auto rec = std::make_unique<drv_module_rec>();
    rec->code = std::move(code);
    rec->device = device;
    for (uint32_t k = 0; k < rec->code->funcs.size(); ++k)
        if (rec->code->funcs[k].entry)
            rec->entries.push_back(
                std::make_unique<drv_function_rec>(drv_function_rec{rec.get(), k, {}}));
    std::lock_guard<std::mutex> lock(G().m);
    for (auto &f : rec->entries) live_functions.insert(f.get());
    live_modules.insert(rec.get());
    *module = rec.release();
    return 0;
}

int drv_module_unload(drv_module module) {
    driver_call call(no_fault);
    if (call.error) return call.error;
    if (!module) return err_invalid_value;
    if (!live_modules.erase(module)) return err_invalid_handle;
    for (auto &f : module->entries) live_functions.erase(f.get());
    delete module;
    return 0;
}

int drv_module_get_function(drv_function *function, drv_module module, const char *name) {
    driver_call call(no_fault);
    if (call.error) return call.error;
    if (!function || !name) return err_invalid_value;
    if (!module || !live_modules.count(module)) return err_invalid_handle;
    for (auto &f : module->entries)
        if (module->code->funcs[f->index].name == name) {
            *function = f.get();
            return 0;
        }
    return err_not_found;
}

namespace {

dev::staging::limits staging_limits(const sim::device_desc &d) {
    const device_limits l = limits_of(d);
    return {l.max_threads, {l.max_block[0], l.max_block[1], l.max_block[2]}, l.max_shared};
}

// The limits the driver checks at a launch, by the device's capability.
int check_launch(const sim::device_desc &d, const sim::ptx::function &f,
                 dim3 grid, dim3 block, unsigned shared_bytes, const void *params, size_t param_bytes) {
    const device_limits l = limits_of(d);
    const size_t max_shared = l.max_shared;
    if (grid.x == 0 || grid.y == 0 || grid.z == 0 || block.x == 0 || block.y == 0 || block.z == 0)
        return err_invalid_value;
    if (block.x > l.max_block[0] || block.y > l.max_block[1] || block.z > l.max_block[2] ||
        (unsigned long long)block.x * block.y * block.z > l.max_threads)
        return err_invalid_value;
    if (grid.x > l.max_grid[0] || grid.y > l.max_grid[1] || grid.z > l.max_grid[2]) return err_invalid_value;
    // The block shapes the kernel was compiled for (__launch_bounds__ and the like).
    if (f.maxntid && (unsigned long long)block.x * block.y * block.z > f.maxntid) return err_invalid_value;
    if (f.reqntid[0] && (block.x != f.reqntid[0] || block.y != f.reqntid[1] || block.z != f.reqntid[2]))
        return err_invalid_value;
    if (size_t(f.shared_static) + shared_bytes > max_shared) return err_invalid_value;
    if ((!params && param_bytes) || param_bytes < f.formal_bytes || param_bytes > 4096)
        return err_invalid_value;
    // Local memory and frames of a block's threads, all alive at once.
    const unsigned long long per_thread = 64ull + f.need_local + f.need_frames;
    if ((unsigned long long)block.x * block.y * block.z * per_thread > (256ull << 20))
        return 701;  // too many resources requested for launch
    return 0;
}

int launch_checked(drv_function function, dim3 grid, dim3 block, unsigned shared_bytes,
                   const void *params, size_t param_bytes) {
    driver_call call(fault_kind::drv_launch, true);
    if (call.error) return call.error;
    if (!function) return err_invalid_value;
    if (!live_functions.count(function)) return err_invalid_handle;
    const sim::ptx::module &m = *function->module->code;
    const sim::ptx::function &f = m.funcs[function->index];
    const int device = function->module->device;
    if (device >= int(G().devices.size())) return err_invalid_context;  // its device went away
    if (int e = check_launch(G().devices[size_t(device)], f, grid, block, shared_bytes, params,
                             param_bytes))
        return e;
    const uint64_t resident = resident_blocks(G().devices[size_t(device)], uint64_t(block.x) * block.y * block.z,
                                              uint64_t(f.shared_static) + shared_bytes);
    call.lock.unlock();
    sim::ptx::grid_shape shape{{grid.x, grid.y, grid.z}, {block.x, block.y, block.z}, shared_bytes, device,
                               resident};
    int fault = sim::ptx::run(m, f, shape, static_cast<const unsigned char *>(params), param_bytes);
    {
        std::lock_guard<std::mutex> lock(G().m);
        ++G().stats.launches;
        // A kernel's own fault ends the context, as on the runtime path.
        if (fault)
            if (drv_context_rec *c = current_context()) c->sticky = fault;
    }
    // A kernel's fault shows asynchronously, as the runtime's launches leave it.
    if (int inj = take_fault(fault_kind::kernel_run)) fault = inj;
    if (fault) {
        T().async_fault = fault;
        fail(fault);
    }
    return 0;
}

}  // namespace

int drv_launch(drv_function function, dim3 grid, dim3 block, unsigned shared_bytes,
               const void *params, size_t param_bytes) {
    int e = launch_checked(function, grid, block, shared_bytes, params, param_bytes);
    if (recording()) {
        sim::call c = new_call(sim::call_kind::launch);
        c.result = e;
        {
            std::lock_guard<std::mutex> lock(G().m);
            if (function && live_functions.count(function))
                c.name = function->module->code->funcs[function->index].name;
        }
        c.grid = grid;
        c.block = block;
        c.shared_bytes = shared_bytes;
        record(c);
    }
    return e;
}

int staging::with_staged(drv_function function, const step_fn &step, staging::call which) {
    static const fault_kind faults[] = {fault_kind::block_shape, fault_kind::shared_size,
                                        fault_kind::param_size, fault_kind::param_set, no_fault};
    static_assert(sizeof faults / sizeof faults[0] == size_t(staging::call::launch) + 1,
                  "one fault kind per staging call");
    driver_call call(faults[size_t(which)]);
    if (call.error) return call.error;
    if (!function) return err_invalid_value;
    if (!live_functions.count(function)) return err_invalid_handle;
    return step(function->staged, staging_limits(G().devices[size_t(function->module->device)]));
}

const char *drv_error_name(int code) { return known_driver_error_name(code); }

}  // namespace dev

// The parameter list of a live function handle, for launches that pass
// one pointer per parameter; null for a dead handle.
const std::vector<sim::ptx::param_rec> *sim::detail::entry_params(dev::drv_function f) {
    std::lock_guard<std::mutex> lock(G().m);
    if (!f || !live_functions.count(f)) return nullptr;
    return &f->module->code->funcs[f->index].formals;
}

namespace dev {

}  // namespace dev
