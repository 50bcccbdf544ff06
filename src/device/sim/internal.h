// State shared by the sources of the simulated device.
#pragma once

#include "../device.h"
#include "control.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <memory>
#include <set>
#include <string>
#include <vector>
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

struct dev::drv_context_rec {
    int device;
    bool primary;
    int sticky = 0;  // the kernel fault that every later call of the context returns
};

namespace sim {
namespace ptx {
struct shared_zone;
}
namespace detail {

// A tracked block of device memory or of pinned host memory.
struct mem_block {
    size_t bytes;
    int device;     // -1 for pinned host memory
    bool pinned;
    bool mapped;    // pinned and mapped into the device's address space
};

struct fault_slot {
    int count = 0;
    int code = 0;
    int after = 0;  // calls that pass first
};

struct global_state {
    std::mutex m;
    std::vector<device_desc> devices;
    std::vector<size_t> allocated;             // dev::malloc bytes per device
    std::vector<dev::drv_context_rec *> primary;  // primary context per device
    std::set<dev::drv_context_rec *> contexts;    // live contexts, primary ones included
    std::vector<dev::drv_context_rec *> retired;  // dead ones, deleted by reset()
    std::map<uintptr_t, mem_block> blocks;
    int init_result = 0;
    bool driver_initialized = false;
    fault_slot faults[size_t(fault_kind::count_)];
    counters stats;
    std::atomic<int> order{0};
    std::atomic<unsigned> seed{0};
    std::atomic<int> block_order{0};
    std::atomic<unsigned> block_seed{0};
    std::atomic<uint64_t> generation{1};
    char stream_sync = 0;  // race checker: the default stream's order
    // cuBLAS
    bool blas_initialized = false;
    int blas_status = 0;
};

// The process's state; the SIMDEV_* environment is read on first use.
global_state &G();

// The race checker's view of the legacy default stream: copies, memsets and
// kernels of all host threads run one after another.
#if defined(__SANITIZE_THREAD__)
inline void stream_enter() { __tsan_acquire(&G().stream_sync); }
inline void stream_leave() { __tsan_release(&G().stream_sync); }
#else
inline void stream_enter() {}
inline void stream_leave() {}
#endif

// The calling thread's runtime and driver state. A reset() elsewhere makes
// it start over at its next use.
struct thread_state {
    uint64_t generation = 0;
    int pending = 0;
    int async_fault = 0;  // reported once by synchronize()
    int runtime_device = 0;
    dev::drv_context_rec *current = nullptr;
    bool logging = false;
    std::vector<call> log;
};
thread_state &T();

inline call new_call(call_kind kind) {
    call c;
    c.kind = kind;
    return c;
}
// Appends `c` to the calling thread's log when it records.
inline void record(const call &c) {
    thread_state &t = T();
    if (t.logging) t.log.push_back(c);
}
inline bool recording() { return T().logging; }
// The name a launch record shows for a kernel (names.cpp).
std::string kernel_name(const void *kernel);

// Takes one injected failure of `kind`: its code, or 0.
int take_fault(fault_kind kind);
// Leaves `code` pending on the calling thread (when non-zero) and returns it.
int fail(int code);
// The sticky fault of the calling thread's current context, or 0 (G().m held).
int context_fault();

// Ensures the calling thread has a current context for runtime calls (the
// runtime device's primary one when it had none). Returns 0 and the device,
// or the error to report. Call with G().m held.
int runtime_context(int *device);

// Block lookup: the block containing [p, p + bytes), device or mapped
// pinned memory. Call with G().m held.
const mem_block *find_device_range(const void *p, size_t bytes);
void free_all_memory();  // with G().m held
// Keeps a context record that no longer works until reset() (G().m held).
void retire_context(dev::drv_context_rec *ctx);

}  // namespace detail
namespace ptx { struct param_rec; }
namespace detail {
// The parameters (offset, bytes) of a live driver function handle, or null
// (driver.cpp).
const std::vector<ptx::param_rec> *entry_params(dev::drv_function f);

// Kernel execution (scheduler.cpp).
struct launch_job {
    const void *kernel;
    const dev::launch_thunk *thunk;
    void **args;
    uint3 grid, block;
    size_t shared_bytes;
    order thread_order;
    unsigned seed;
    order block_order = order::forward;
    unsigned block_seed = 0;
    uint64_t block_mul = 1, block_add = 0;  // random block order: k -> mul * k + add
    std::atomic<uint64_t> next{0};
    uint64_t blocks = 0;
    std::atomic<int> fault{0};
    const char *name = nullptr;  // PTX kernels: the entry's (C++ kernels: their symbol's)
    // Blocks the device could hold at once; while a block waits for others,
    // this many make progress together.
    uint64_t resident = 1;
    std::atomic<unsigned> hosts{0};  // host threads running its blocks
    // PTX kernels: red zones after static arrays in the shared window, whose
    // pattern a block must leave as it found it.
    const ptx::shared_zone *zones = nullptr;
    size_t zone_count = 0;
    char race_start = 0, race_end = 0;  // race checker: the kernel's boundaries
    unsigned lanes = 1;                  // race checker: host threads that share the blocks
    std::atomic<unsigned> lane_next{0};
    std::unique_ptr<std::atomic<uint64_t>[]> lane_pos;  // and the hand-outs each lane has taken
};
// Runs every block of `job`; returns 0 or the fault a block reported.
int run_grid(launch_job &job);
// The kernel's name for reports.
std::string job_name(const launch_job &job);

// The byte that new device memory and shared memory are filled with: all
// bits set, a NaN in every floating-point type.
constexpr unsigned char poison_byte = 0xff;
// The pattern of red zones beside static shared arrays.
constexpr unsigned char red_zone_byte = 0xa5;

// Static shared memory of a kernel (shared.cpp): its bytes, and the refill
// and red-zone check around each block on the calling host thread.
// static_shared_end returns the name of an array written past, or null.
size_t static_shared_bytes(const void *kernel);
void static_shared_begin(const void *kernel);
const char *static_shared_end(const void *kernel);

// CPU seconds a host thread may run one fiber without a switch before the
// watchdog ends the process (SIMDEV_WATCHDOG; 0 never).
unsigned default_watchdog_seconds();

constexpr size_t device_alignment = 512;

// What a device of a capability allows one launch.
struct device_limits {
    unsigned max_threads;      // per block
    unsigned max_block[3];     // per block dimension
    unsigned long long max_grid[3];
    size_t max_shared;         // static and dynamic bytes per block
};
inline device_limits limits_of(const device_desc &d) {
    if (d.major < 2) return {512, {512, 512, 64}, {65535, 65535, 1}, 16 * 1024};
    const unsigned long long gx = d.major >= 3 ? 0x7fffffffull : 65535;
    return {1024, {1024, 1024, 64}, {gx, 65535, 65535}, 48 * 1024};
}
// Blocks of `threads` threads and `shared` bytes of shared memory that the
// device holds at once: by its multiprocessors and what each one holds
// (threads, blocks and shared memory; registers are not modelled).
inline uint64_t resident_blocks(const device_desc &d, uint64_t threads, uint64_t shared) {
    struct sm {
        unsigned threads, blocks;
        uint64_t shared;
    };
    const sm s = d.major < 2   ? sm{768, 8, 16 << 10}
                 : d.major < 3 ? sm{1536, 8, 48 << 10}
                 : d.major == 7 && d.minor == 5 ? sm{1024, 16, 64 << 10}
                 : d.major < 8 ? sm{2048, 32, 96 << 10}
                               : sm{2048, 32, 164 << 10};
    const uint64_t warps = (threads + 31) / 32;
    uint64_t per_sm = std::min<uint64_t>(s.blocks, warps ? s.threads / 32 / warps : s.blocks);
    if (shared) per_sm = std::min<uint64_t>(per_sm, s.shared / shared);
    return std::max<uint64_t>(1, uint64_t(std::max(1u, d.multiprocessors)) * per_sm);
}

}  // namespace detail
}  // namespace sim
