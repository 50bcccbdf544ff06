// Runtime side of the simulated device: pending errors, the current device,
// synchronisation, kernel launches and error strings.
#include "internal.h"

#include <algorithm>
#include <cstdio>

namespace dev {

using namespace sim::detail;
using sim::fault_kind;

int get_last_error() {
    thread_state &t = T();
    if (int f = take_fault(fault_kind::last_error)) {
        t.pending = 0;
        return f;
    }
    int e = t.pending;
    t.pending = 0;
    return e;
}

int peek_last_error() { return T().pending; }

int synchronize() {
    if (int f = take_fault(fault_kind::synchronize)) return fail(f);
    global_state &g = G();
    {
        std::lock_guard<std::mutex> lock(g.m);
        int device;
        if (int e = runtime_context(&device)) return fail(e);
        ++g.stats.synchronizes;
    }
    // Kernels finished when they were launched; what is left to report is
    // the fault of one that ran since the last synchronisation, or the
    // context's sticky fault.
    thread_state &t = T();
    int e = t.async_fault;
    t.async_fault = 0;
    std::lock_guard<std::mutex> lock(g.m);
    if (int s = context_fault()) e = s;
    return fail(e);
}

int get_device(int *ordinal) {
    if (int f = take_fault(fault_kind::get_device)) return fail(f);
    if (!ordinal) return fail(err_invalid_value);
    global_state &g = G();
    std::lock_guard<std::mutex> lock(g.m);
    int device;
    if (int e = runtime_context(&device)) return fail(e);
    *ordinal = device;
    return 0;
}

int set_device(int ordinal) {
    global_state &g = G();
    std::lock_guard<std::mutex> lock(g.m);
    if (g.init_result != 0) return fail(g.init_result);
    if (g.devices.empty()) return fail(err_no_device);
    if (ordinal < 0 || ordinal >= int(g.devices.size())) return fail(err_invalid_device);
    thread_state &t = T();
    t.runtime_device = ordinal;
    t.current = g.primary[size_t(ordinal)];
    g.driver_initialized = true;
    return 0;
}

namespace {

int stray_argument(const void *kernel, const launch_thunk *thunk, void **args) {
    const void *p = nullptr;
    int index = thunk->stray_pointer(args, &p);
    if (index < 0) return 0;
    std::fprintf(stderr,
                 "simdev: kernel %s: pointer argument %d (%p) lies outside every device "
                 "allocation: an illegal address\n",
                 sim::detail::kernel_name(kernel).c_str(), index + 1, p);
    return err_illegal_address;
}

int launch_checked(const void *kernel, dim3 grid, dim3 block, size_t shared_bytes, void **args,
                   const launch_thunk *thunk) {
    global_state &g = G();
    auto refuse = [&g](int code) {
        std::lock_guard<std::mutex> lock(g.m);
        ++g.stats.refused_launches;
        return code;
    };
    if (int f = take_fault(fault_kind::launch_config)) return fail(refuse(f));
    int device;
    sim::device_desc desc;
    {
        std::lock_guard<std::mutex> lock(g.m);
        if (int e = runtime_context(&device)) return fail(e);
        if (int e = context_fault()) return fail(e);
        desc = g.devices[size_t(device)];
    }
    const device_limits l = limits_of(desc);
    const size_t static_bytes = static_shared_bytes(kernel);
    bool bad = grid.x == 0 || grid.y == 0 || grid.z == 0 || block.x == 0 || block.y == 0 ||
               block.z == 0 || grid.x > l.max_grid[0] || grid.y > l.max_grid[1] ||
               grid.z > l.max_grid[2] || block.x > l.max_block[0] || block.y > l.max_block[1] ||
               block.z > l.max_block[2] || size_t(block.x) * block.y * block.z > l.max_threads ||
               shared_bytes > l.max_shared - std::min(l.max_shared, static_bytes);
    if (bad) return fail(refuse(err_invalid_configuration));
    if (!kernel || !thunk || !thunk->invoke) return fail(refuse(98));  // invalid device function
    // The kernels are built for capability 2.0 and later.
    if (desc.major < 2) return fail(refuse(err_no_binary_for_gpu));

    launch_job job;
    job.kernel = kernel;
    job.thunk = thunk;
    job.args = args;
    job.grid = uint3{grid.x, grid.y, grid.z};
    job.block = uint3{block.x, block.y, block.z};
    job.shared_bytes = shared_bytes;
    job.thread_order = sim::order(g.order.load());
    job.seed = g.seed.load();
    job.block_order = sim::order(g.block_order.load());
    job.block_seed = g.block_seed.load();
    job.resident = resident_blocks(desc, uint64_t(block.x) * block.y * block.z, static_bytes + shared_bytes);
    // A pointer argument outside every device block faults at its first use
    // on a GPU; here before any block runs.
    int fault = thunk->stray_pointer ? stray_argument(kernel, thunk, args) : 0;
    if (!fault) {
        stream_enter();
        fault = run_grid(job);
        stream_leave();
    }
    if (fault) {
        std::lock_guard<std::mutex> lock(g.m);
        if (dev::drv_context_rec *c = T().current) c->sticky = fault;
    }
    {
        std::lock_guard<std::mutex> lock(g.m);
        ++g.stats.launches;
    }
    // An injected run fault stands for an asynchronous failure of the kernel:
    // the launch itself succeeded.
    if (int f = take_fault(fault_kind::kernel_run)) fault = f;
    if (fault) {
        T().async_fault = fault;
        fail(fault);
    }
    return 0;
}

}  // namespace

int launch_kernel(const void *kernel, dim3 grid, dim3 block, size_t shared_bytes, void **args,
                  const launch_thunk *thunk) {
    int e = launch_checked(kernel, grid, block, shared_bytes, args, thunk);
    if (recording()) {
        sim::call c = new_call(sim::call_kind::launch);
        c.result = e;
        c.name = kernel ? kernel_name(kernel) : "";
        c.grid = grid;
        c.block = block;
        c.shared_bytes = shared_bytes;
        record(c);
    }
    return e;
}

const char *error_string(int code) {
    switch (code) {
    case 0: return "no error";
    case 1: return "invalid argument";
    case 2: return "out of memory";
    case 3: return "initialization error";
    case 4: return "driver shutting down";
    case 9: return "invalid configuration argument";
    case 13: return "invalid device symbol";
    case 17: return "invalid device pointer";
    case 18: return "invalid texture reference";
    case 35: return "CUDA driver version is insufficient for CUDA runtime version";
    case 46: return "CUDA-capable device(s) is/are busy or unavailable";
    case 98: return "invalid device function";
    case 100: return "no CUDA-capable device is detected";
    case 101: return "invalid device ordinal";
    case 200: return "device kernel image is invalid";
    case 201: return "invalid device context";
    case 209: return "no kernel image is available for execution on the device";
    case 218: return "a PTX JIT compilation failed";
    case 400: return "invalid resource handle";
    case 500: return "named symbol not found";
    case 700: return "an illegal memory access was encountered";
    case 701: return "too many resources requested for launch";
    case 702: return "the launch timed out and was terminated";
    case 719: return "unspecified launch failure";
    case 801: return "operation not supported";
    case 999: return "unknown error";
    default: return "unrecognized error code";
    }
}

}  // namespace dev
