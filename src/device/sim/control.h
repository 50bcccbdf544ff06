// Controls of the simulated device for tests: the device list, memory
// capacity, thread order and fault injection. Only exists in sim builds
// (DEV_BACKEND_SIM); tests that use it are skipped on the real backend.
//
// The same settings can be given to a process through the environment, read
// once at first use (for end-to-end tests of programs):
//   SIMDEV_DEVICES   "2.0,1.3"  capability of each device; "" for none (default "2.0")
//   SIMDEV_INIT      driver init result, e.g. "100" (default 0)
//   SIMDEV_CAPACITY  device memory per device in bytes (default 1 GiB)
//   SIMDEV_ORDER     forward | reverse | random[:seed]  thread order (see order below)
//   SIMDEV_FAULTS    "kind:count:code,..." with kind as named in fault_kind below
//   SIMDEV_THREADS   host threads that run blocks (default: hardware concurrency)
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sim {

struct device_desc {
    int major = 2;
    int minor = 0;
    size_t capacity = size_t(1) << 30;
};

// Replaces the device list (and frees nothing: reset() does). Threads keep
// their current context only if its device still exists.
void set_devices(const std::vector<device_desc> &devices);
// Result of every drv_init; 0 makes it succeed.
void set_init_result(int code);

// The order in which a block's ready threads run: lowest first, highest
// first, or shuffled by the seed (anew after each block barrier). A warp
// whose lanes have met at a warp collective goes on at once, so in forward
// order warp 0 runs up to its next __syncthreads before warp 1 starts.
enum class order { forward, reverse, random };
void set_thread_order(order o, unsigned seed = 0);
order thread_order();

enum class fault_kind {
    malloc,            // dev::malloc
    free,              // dev::free
    memcpy_htod,
    memcpy_dtoh,
    memcpy_dtod,
    memcpy_to_symbol,
    tex_bind,
    tex_unbind,
    synchronize,
    launch_config,     // launch_kernel refuses the configuration, nothing runs
    kernel_run,        // the kernel runs, then leaves the code pending (an asynchronous fault;
                       // the next synchronize() also returns it)
    get_device,        // runtime current device
    host_alloc,        // drv_mem_host_alloc
    free_host,         // drv_mem_free_host
    ctx_get_device,    // drv_ctx_get_device
    mem_get_info,      // drv_mem_get_info
    memset,            // drv_memset_d8 / d32
    device_count,      // drv_device_count
    device_get,        // drv_device_get
    capability,        // drv_compute_capability
    module_load,       // drv_module_load_data
    drv_launch,        // drv_launch
    blas,              // any cuBLAS call: its status becomes the code
    count_
};
// The next `count` calls of `kind` fail with `code` (runtime calls also leave
// it pending, as CUDA does). Calls that are not injected behave normally.
void inject(fault_kind kind, int count, int code);
const char *fault_name(fault_kind kind);

// Statistics of the simulated device, for tests.
struct counters {
    size_t launches = 0;         // kernels that ran
    size_t refused_launches = 0; // configurations refused
    size_t synchronizes = 0;
    size_t memsets_d8 = 0, memsets_d32 = 0;
    size_t live_allocations = 0; // dev::malloc blocks not yet freed
    size_t live_bytes = 0;
};
counters stats();

// Back to the defaults (one device, capability 2.0, forward order, no faults,
// no pending errors on the calling thread, no current context), freeing all
// device memory, pinned memory, contexts and cuBLAS state.
void reset();

}  // namespace sim
