// Controls of the simulated device for tests: the device list, memory
// capacity, thread order and fault injection. Only exists in sim builds
// (DEV_BACKEND_SIM); tests that use it are skipped on the real backend.
//
// The same settings can be given to a process through the environment, read
// once at first use (for end-to-end tests of programs):
//   SIMDEV_DEVICES   "7.5,2.0"  capability of each device; "" for none (default "7.5")
//   SIMDEV_INIT      driver init result, e.g. "100" (default 0)
//   SIMDEV_CAPACITY  device memory per device in bytes (default 1 GiB)
//   SIMDEV_ORDER     forward | reverse | random[:seed]  thread order (see order below)
//   SIMDEV_BLOCK_ORDER  forward | reverse | random[:seed]  order of a grid's blocks
//   SIMDEV_WATCHDOG  CPU seconds one thread may run without reaching a barrier, a warp
//                    collective or its end before the process is ended with a report (a
//                    PTX thread is stopped and its launch fails with 702), and seconds a
//                    grid whose threads only spin-wait may go without progress before the
//                    launch fails with 702 (default 60; 0 never)
//   SIMDEV_FAULTS    "kind:count:code[:after],..." with kind as named in fault_kind below
//   SIMDEV_THREADS   host threads that run blocks (default: hardware concurrency)
#pragma once

#include "../devtypes.h"

#include <cstddef>
#include <string>
#include <vector>

namespace sim {

struct device_desc {
    int major = 7;
    int minor = 5;
    size_t capacity = size_t(1) << 30;
    unsigned multiprocessors = 40;  // with the capability, how many blocks run at once
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
// The order in which a grid's blocks are handed to the host threads that run
// them: by linear block number, backwards, or a permutation from the seed.
// Blocks still run in parallel on several host threads (SIMDEV_THREADS=1
// makes the order exact).
void set_block_order(order o, unsigned seed = 0);
order block_order();

// CPU seconds the watchdog lets a thread run without a fiber switch, and
// seconds a grid whose threads only spin may go without progress (0 never;
// SIMDEV_WATCHDOG's or 60 until set). reset() leaves it.
void set_watchdog(unsigned seconds);

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
    block_shape,       // drv_func_set_block_shape
    shared_size,       // drv_func_set_shared_size
    param_size,        // drv_param_set_size
    param_set,         // drv_param_setf / setv, one call each
    last_error,        // get_last_error returns the code in place of the pending one
    count_
};
// After `after` calls of `kind` have passed, the next `count` fail with `code`
// (runtime calls also leave it pending, as CUDA does). Calls that are not
// injected behave normally. Replaces what was injected for `kind` before.
//   sim::inject(sim::fault_kind::tex_bind, 1, 1, 1);  // the second binding fails
void inject(fault_kind kind, int count, int code, int after = 0);
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

// ------------------------------------------------------------ call log
//
// Each host thread can record the device calls it makes, to let a test see
// which route a call took:
//   sim::log_calls(true);
//   ... the code under test ...
//   std::vector<sim::call> c = sim::calls();
//   EXPECT_EQ(c[0].kind, sim::call_kind::launch);
//   EXPECT_EQ(c[0].name, "sum_cols<float>");
// Failed calls are recorded too, with their code in `result`.
enum class call_kind {
    launch,            // dev::launch / launch_kernel, refused configurations included
    tex_bind,
    tex_unbind,
    memcpy_htod,
    memcpy_dtoh,
    memcpy_dtod,
    memcpy_to_symbol,
    memset,            // drv_memset_d8 / d32
    blas,              // any cuBLAS call but init, shutdown and get_error
};
const char *call_name(call_kind kind);

struct call {
    call_kind kind = call_kind::launch;
    int result = 0;        // the call's code (cuBLAS: the status it left)
    // launch: the kernel's name without namespaces of anonymous scope, return
    // type and parameters ("sum_cols<float>", "torvane::scale"); tex_bind and
    // tex_unbind: the texel type ("float", "float2", "int2", "int4"); memset:
    // "d8" or "d32"; blas: the function ("sgemm", "zdotu").
    std::string name;
    // launch
    dim3 grid, block;
    size_t shared_bytes = 0;
    // copies: destination, source and bytes; memset: dst and bytes; tex_bind:
    // src is the pointer bound, bytes its size, offset what *offset received;
    // memcpy_to_symbol: dst is the symbol, offset the offset into it.
    const void *dst = nullptr, *src = nullptr;
    size_t bytes = 0, offset = 0;
    // blas: the arguments by their BLAS names (dot: n, x, incx, y, incy; gemv:
    // transa, m, n, alpha, a, lda, x, incx, beta, y, incy). Complex scalars
    // keep their imaginary part in alpha_im, beta_im.
    char transa = 0, transb = 0;
    int m = 0, n = 0, k = 0, lda = 0, ldb = 0, ldc = 0, incx = 0, incy = 0;
    double alpha = 0, alpha_im = 0, beta = 0, beta_im = 0;
    const void *a = nullptr, *b = nullptr, *c = nullptr, *x = nullptr, *y = nullptr;
};

// Starts or stops recording the calling thread's calls (off by default).
void log_calls(bool on);
// The calling thread's recorded calls, oldest first.
std::vector<call> calls();
// Empties the calling thread's log (recording stays as it was).
void clear_calls();

// Faults of a kernel that the simulated device finds itself (an illegal
// address, threads that meet at different barriers, a warp collective whose
// mask leaves out its caller or names lanes that have exited, a block that
// cannot go on, a grid that spins without progress), on the runtime's and the
// driver's launches alike, are sticky, as on a GPU: every later runtime call
// in the context, and the driver calls that use it, fail with the fault's code. Faults injected
// with kernel_run are reported once and are not sticky.
//
// Back to the defaults (one device, capability 7.5, forward order, no faults,
// no pending errors on the calling thread, no current context, the call log
// off and empty), freeing all
// device memory, pinned memory, contexts and cuBLAS state.
void reset();

}  // namespace sim
