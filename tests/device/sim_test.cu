// The simulated device's own behaviour: fault injection, device lists and
// driver state, memory tracking, thread orders, stuck blocks, cuBLAS state,
// the SIMDEV_* environment and AddressSanitizer reports.
#include "device/kernel.h"
#include "support/devenv.h"
#include "torvane.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#define TEST_TSAN 1
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEST_ASAN 1
#endif
#endif

using testenv::device_alloc;
using testenv::device_free;
using testenv::from_device;
using testenv::to_device;

namespace {

__global__ void bump(int *runs) {
    if (threadIdx.x == 0) atomicAdd(runs, 1);
}

__global__ void poke(int *p, int i) { p[i] = 1; }

__global__ void record_order(int *next, int *at) { at[atomicAdd(next, 1)] = int(blockIdx.x); }

__global__ void poke_shared(int i) {
    DEV_DYNAMIC_SHARED(int, s);
    s[i] = 1;
}

// out[t] = the neighbour's value; correct only with the second barrier.
template <bool with_barrier>
__global__ void neighbour(int *out) {
    __shared__ int s[256];
    unsigned t = threadIdx.x, n = blockDim.x;
    s[t] = 0;
    __syncthreads();
    s[t] = int(t) + 1;
    if (with_barrier) __syncthreads();
    out[(blockIdx.x + gridDim.x * blockIdx.y) * n + t] = s[(t + 1) % n];  // a row per block
}

// Half of the block leaves early; the rest meet at barriers twice.
__global__ void early_exit(int *out) {
    __shared__ int s[64];
    unsigned t = threadIdx.x;
    if (t % 2) return;
    s[t] = int(t);
    __syncthreads();
    int v = s[(t + 2) % 64];
    __syncthreads();
    out[t] = v;
}

// Lanes 0-15 shuffle with a mask that names all 32 while lanes 16-31 wait
// at the block barrier: no lane can go on.
__global__ void stuck(int *out) {
    unsigned t = threadIdx.x;
    if (t < 16)
        out[t] = __shfl_sync(0xffffffffu, int(t), 0);
    else
        __syncthreads();
}

// Half of a warp waits at __syncwarp, the other half in a vote under the same
// mask: different collectives, so neither can complete.
__global__ void mixed_collectives(int *out) {
    unsigned t = threadIdx.x;
    if (t % 32 < 16)
        __syncwarp();
    else
        out[t] = int(__ballot_sync(0xffffffffu, 1));
}

// Block sum by halving. Step s/2 reads what threads s/2 .. s-1 wrote in step
// s, which lie in other warps while s > 32: only a block barrier orders that.
template <bool block_barrier>
__global__ void tree_sum(int *out) {
    __shared__ int p[256];
    unsigned t = threadIdx.x;
    p[t] = int(t) + 1;
    __syncthreads();
    for (unsigned s = blockDim.x / 2; s > 0; s /= 2) {
        if (t < s) p[t] += p[t + s];
        if (block_barrier && s > 32)
            __syncthreads();
        else
            __syncwarp();
    }
    if (t == 0) out[0] = p[0];
}

// Half of a warp at one barrier, the other half at another.
__global__ void split_barrier(int *out) {
    unsigned t = threadIdx.x;
    if (t < 16) {
        __syncthreads();
    } else {
        __syncthreads();
    }
    out[t] = 1;
}

// Legal idioms that must stay silent in every order; each leaves
// idiom_result(k) in out[k].
enum { n_idioms = 8 };
__global__ void idioms(int *out, int *lock, unsigned *count, int *partial) {
    __shared__ int s[64];
    __shared__ bool last;
    unsigned t = threadIdx.x, lane = t % 32, w = t / 32;
    // Split __syncwarp tree over shared memory, per warp.
    s[t] = int(t) + 1;
    __syncwarp();
    for (unsigned d = 16; d > 0; d /= 2) {
        int v = lane < d ? s[t + d] : 0;
        __syncwarp();
        if (lane < d) s[t] += v;
        __syncwarp();
    }
    if (lane == 0) atomicAdd(&out[0], s[t]);
    // Shuffle reduction.
    int v = int(t) + 1;
    for (int d = 16; d > 0; d /= 2) v += __shfl_down_sync(0xffffffffu, v, d);
    if (lane == 0) atomicAdd(&out[1], v);
    // A spin lock around a plain read-modify-write.
    for (bool done = false; !done;)
        if (atomicCAS(lock, 0, 1) == 0) {
            out[2] += 1;
            __threadfence();
            atomicExch(lock, 0);
            done = true;
        }
    // Barrier with a count, and the last block sums the blocks' partials.
    int c = __syncthreads_count(t % 3 == 0);
    if (t == 0) {
        partial[blockIdx.x] = c;
        __threadfence();
        last = atomicInc(count, gridDim.x - 1) == gridDim.x - 1;
    }
    __syncthreads();
    if (last && t == 0) {
        int sum = 0;
        for (unsigned b = 0; b < gridDim.x; ++b) sum += partial[b];
        out[3] = sum;
    }
    // The converged lanes, before and inside a divergent branch.
    unsigned all = __activemask();
    unsigned odd;
    if (lane % 2)
        odd = __activemask();
    else
        odd = ~__activemask();
    if (all == 0xffffffffu && odd == 0xaaaaaaaau) atomicAdd(&out[4], 1);
    // Votes combined at the barrier, and a match and warp reduction.
    if (__syncthreads_and(t < 64) && !__syncthreads_or(t > 64)) atomicAdd(&out[5], 1);
    int pred = 0;
    if (__match_any_sync(0xffffffffu, lane / 8) == 0xffu << (lane / 8 * 8) &&
        __match_all_sync(0xffffffffu, w, &pred) == 0xffffffffu && pred)
        atomicAdd(&out[6], 1);
    unsigned top = __reduce_max_sync(0xffffffffu, t);
    if (lane == 0) atomicAdd(&out[7], int(top));
}

// What each block finds in static shared memory before writing it.
__global__ void shared_first_read(int *out) {
    __shared__ int s[32];
    unsigned t = threadIdx.x;
    out[blockIdx.x * 32 + t] = s[t];
    __syncthreads();
    s[t] = int(blockIdx.x);
}

// Kernels with static shared memory, in C++ and in C linkage (whose statics
// are named differently).
#define BIG_STATIC_SHARED(name)              \
    __global__ void name(int *out) {         \
        __shared__ char big[40 * 1024];      \
        big[threadIdx.x] = 1;                \
        __syncthreads();                     \
        if (threadIdx.x == 0) out[0] = big[31]; \
    }
#define SHARED_THROUGH_POINTER(name) \
    __global__ void name(int i) {    \
        __shared__ int s[16];        \
        int *p = s;                  \
        p[i] = 1;                    \
    }
BIG_STATIC_SHARED(big_static_shared)
SHARED_THROUGH_POINTER(shared_through_pointer)
extern "C" {
BIG_STATIC_SHARED(big_static_shared_c)
SHARED_THROUGH_POINTER(shared_through_pointer_c)
}

#if TEST_TSAN
// Data races that no thread order shows.
__global__ void racy_count(int *c) { *c += 1; }
__global__ void racy_histogram(int *out) {
    __shared__ int h[4];
    unsigned t = threadIdx.x;
    if (t < 4) h[t] = 0;
    __syncthreads();
    h[t % 4]++;
    __syncthreads();
    if (t < 4) out[t] = h[t];
}
__global__ void racy_check_then_set(int *flag) {
    if (*flag == 0) *flag = int(threadIdx.x) + 1;
}
#endif

// Idioms without a data race on a GPU: the programming guide's double
// atomicAdd (a plain first read, then compare-and-swap), and a last-block
// sum behind a fence and a counter.
__device__ double cas_add(double *address, double val) {
    unsigned long long *p = reinterpret_cast<unsigned long long *>(address);
    unsigned long long old = *p, assumed;
    do {
        assumed = old;
        old = atomicCAS(p, assumed, (unsigned long long)__double_as_longlong(val + __longlong_as_double((long long)assumed)));
    } while (assumed != old);
    return __longlong_as_double((long long)old);
}
__global__ void cas_sum(double *total) { cas_add(total, 1.0); }
__global__ void last_block_sum(int *partial, unsigned *count, int *total) {
    if (threadIdx.x != 0) return;
    partial[blockIdx.x] = int(blockIdx.x) + 1;
    __threadfence();
    if (atomicInc(count, gridDim.x) == gridDim.x - 1) {
        int s = 0;
        for (unsigned b = 0; b < gridDim.x; ++b) s += partial[b];
        *total = s;
    }
}

#if !TEST_TSAN
__global__ void spin_on_flag(int *flag) {
    if (threadIdx.x == 0)
        while (*static_cast<volatile int *>(flag) == 0) {
        }
    else if (threadIdx.x == 1)
        *static_cast<volatile int *>(flag) = 1;
}
#endif

DEV_TEXTURE(float, tex_f);

}  // namespace

// ------------------------------------------------------------ fault injection

class Faults : public testenv::DeviceTest {
protected:
    int *d = device_alloc<int>(64);
    std::vector<int> host = std::vector<int>(64, 5);
    int runs_host = 0;
    int *runs = to_device(std::vector<int>{0});
};

TEST_F(Faults, EveryKindFailsTheNextCallsWithTheCode) {
    using sim::fault_kind;
    struct row {
        fault_kind kind;
        bool runtime;  // leaves the code pending
        int normal;    // the call's result without a fault
        std::function<int()> call;
        bool reads_pending = false;  // the call is the read of the pending code itself
    };
    static int symbol_target[4];
    void *pinned_map = nullptr;
    const row rows[] = {
        {fault_kind::malloc, true, 0, [] { void *p; return dev::malloc(&p, 8); }},
        {fault_kind::free, true, 0, [] { void *p = nullptr; dev::malloc(&p, 8); return dev::free(p); }},
        {fault_kind::memcpy_htod, true, 0, [&] { return dev::memcpy_htod(d, host.data(), 64 * sizeof(int)); }},
        {fault_kind::memcpy_dtoh, true, 0, [&] { return dev::memcpy_dtoh(host.data(), d, 64 * sizeof(int)); }},
        {fault_kind::memcpy_dtod, true, 0, [&] { return dev::memcpy_dtod(d, d + 32, 32 * sizeof(int)); }},
        {fault_kind::memcpy_to_symbol, true, 0, [&] { return dev::memcpy_to_symbol(symbol_target, host.data(), 8); }},
        {fault_kind::tex_bind, true, 0, [&] { size_t off; return dev::bind_texture(&off, tex_f, d, 64); }},
        {fault_kind::tex_unbind, true, 0, [] { return dev::unbind_texture(tex_f); }},
        {fault_kind::synchronize, true, 0, [] { return dev::synchronize(); }},
        {fault_kind::launch_config, true, 0, [&] { return dev::launch(bump, dim3(1), dim3(1), 0, runs); }},
        {fault_kind::kernel_run, true, 0,
         [&] { return dev::launch(bump, dim3(1), dim3(1), 0, runs) ? -1 : dev::synchronize(); }},
        {fault_kind::get_device, true, 0, [] { int o; return dev::get_device(&o); }},
        {fault_kind::host_alloc, false, 0,
         [&] { return dev::drv_mem_host_alloc(&pinned_map, 64, dev::host_alloc_devicemap); }},
        {fault_kind::free_host, false, 0,
         [] { void *p = nullptr; dev::drv_mem_host_alloc(&p, 64, 0); return dev::drv_mem_free_host(p); }},
        {fault_kind::ctx_get_device, false, 0, [] { dev::drv_device o; return dev::drv_ctx_get_device(&o); }},
        {fault_kind::mem_get_info, false, 0, [] { size_t f, t; return dev::drv_mem_get_info(&f, &t); }},
        {fault_kind::memset, false, 0,
         [&] { return dev::drv_memset_d32(dev::dptr(reinterpret_cast<uintptr_t>(d)), 1u, 64); }},
        {fault_kind::device_count, false, 0, [] { int n; return dev::drv_device_count(&n); }},
        {fault_kind::device_get, false, 0, [] { dev::drv_device x; return dev::drv_device_get(&x, 0); }},
        {fault_kind::capability, false, 0, [] { int a, b; return dev::drv_compute_capability(&a, &b, 0); }},
        {fault_kind::module_load, false, dev::err_invalid_ptx,
         [] { dev::drv_module m; return dev::drv_module_load_data(&m, ".version 1.4"); }},
        {fault_kind::drv_launch, false, dev::err_invalid_value,
         [] { return dev::drv_launch(nullptr, dim3(1), dim3(1), 0, nullptr, 0); }},
        {fault_kind::blas, false, 0,
         [&] {
             float a = 1, b = 2, c = 0;
             dev::blas_sgemm('N', 'N', 1, 1, 1, 1.0f, &a, 1, &b, 1, 0.0f, &c, 1);
             return dev::blas_get_error();
         }},
        {fault_kind::block_shape, false, dev::err_invalid_value,
         [] { return dev::drv_func_set_block_shape(nullptr, 1, 1, 1); }},
        {fault_kind::shared_size, false, dev::err_invalid_value,
         [] { return dev::drv_func_set_shared_size(nullptr, 0); }},
        {fault_kind::param_size, false, dev::err_invalid_value,
         [] { return dev::drv_param_set_size(nullptr, 0); }},
        {fault_kind::param_set, false, dev::err_invalid_value,
         [] { return dev::drv_param_setf(nullptr, 0, 1.0f); }},
        {fault_kind::last_error, false, 0, [] { return dev::get_last_error(); }, true},
    };
    ASSERT_EQ(sizeof(rows) / sizeof(rows[0]), size_t(fault_kind::count_)) << "a fault kind without a case";
    for (size_t k = 0; k < sizeof(rows) / sizeof(rows[0]); ++k) {
        const row &r = rows[k];
        ASSERT_EQ(r.kind, fault_kind(k));
        SCOPED_TRACE(sim::fault_name(r.kind));
        const int code = 700 + int(k);
        sim::inject(r.kind, 2, code);
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(r.call(), code);
            if (!r.reads_pending) {
                EXPECT_EQ(dev::get_last_error(), r.runtime ? code : 0);
            }
        }
        EXPECT_EQ(r.call(), r.normal);
        EXPECT_EQ(dev::get_last_error(), 0);
    }
    if (pinned_map) {
        EXPECT_EQ(dev::drv_mem_free_host(pinned_map), 0);
    }
}

TEST_F(Faults, KernelRunFaultLetsTheKernelRunAndIsReportedOnce) {
    sim::inject(sim::fault_kind::kernel_run, 1, dev::err_launch_failed);
    EXPECT_EQ(dev::launch(bump, dim3(3), dim3(32), 0, runs), 0);
    EXPECT_EQ(from_device(runs, 1)[0], 3);
    EXPECT_EQ(dev::synchronize(), dev::err_launch_failed);
    EXPECT_EQ(dev::synchronize(), 0);
    EXPECT_EQ(dev::get_last_error(), dev::err_launch_failed);
    EXPECT_EQ(dev::get_last_error(), 0);
}

TEST_F(Faults, LaunchConfigFaultRunsNothing) {
    sim::counters before = sim::stats();
    sim::inject(sim::fault_kind::launch_config, 1, dev::err_invalid_configuration);
    EXPECT_EQ(dev::launch(bump, dim3(3), dim3(32), 0, runs), dev::err_invalid_configuration);
    EXPECT_EQ(from_device(runs, 1)[0], 0);
    EXPECT_EQ(sim::stats().refused_launches, before.refused_launches + 1);
    EXPECT_EQ(sim::stats().launches, before.launches);
}

TEST_F(Faults, DelayedFaultsLetCallsPassFirst) {
    sim::inject(sim::fault_kind::memcpy_htod, 2, dev::err_invalid_value, 3);
    std::vector<int> results;
    for (int i = 0; i < 6; ++i) results.push_back(dev::memcpy_htod(d, host.data(), 16));
    EXPECT_EQ(results, (std::vector<int>{0, 0, 0, 1, 1, 0}));
    // The second of two bindings fails after the first succeeded.
    sim::inject(sim::fault_kind::tex_bind, 1, dev::err_invalid_texture, 1);
    size_t off = 0;
    EXPECT_EQ(dev::bind_texture(&off, tex_f, d, 64), 0);
    EXPECT_EQ(dev::bind_texture(&off, tex_f, d, 64), dev::err_invalid_texture);
    EXPECT_EQ(dev::get_last_error(), dev::err_invalid_texture);
    EXPECT_EQ(dev::bind_texture(&off, tex_f, d, 64), 0);
    // A new injection replaces the pending one.
    sim::inject(sim::fault_kind::synchronize, 1, 719, 5);
    sim::inject(sim::fault_kind::synchronize, 0, 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(dev::synchronize(), 0);
}

TEST_F(Faults, BlasFaultReturnsZeroFromDots) {
    std::vector<float> x(4, 1.0f);
    float *dx = to_device(x);
    sim::inject(sim::fault_kind::blas, 1, dev::blas_execution_failed);
    EXPECT_EQ(dev::blas_sdot(4, dx, 1, dx, 1), 0.0f);
    EXPECT_EQ(dev::blas_get_error(), dev::blas_execution_failed);
    EXPECT_EQ(dev::blas_sdot(4, dx, 1, dx, 1), 4.0f);
    EXPECT_EQ(dev::blas_get_error(), 0);
    device_free(dx);
}

// ------------------------------------------------------------ call log

class CallLog : public testenv::DeviceTest {};

TEST_F(CallLog, RecordsWhatTheThreadCalled) {
    float *d = device_alloc<float>(6 * 64);
    std::vector<float> host(300, 1.0f);
    static float symbol[8];
    EXPECT_EQ(dev::memcpy_htod(d, host.data(), 1200), 0);
    EXPECT_TRUE(sim::calls().empty()) << "off by default";

    sim::log_calls(true);
    size_t off = 0;
    EXPECT_EQ(dev::memcpy_htod(d, host.data(), 1200), 0);
    EXPECT_EQ(dev::bind_texture(&off, tex_f, d + 3, 100), 0);
    EXPECT_EQ(dev::launch(neighbour<true>, dim3(2, 3), dim3(64), 128, reinterpret_cast<int *>(d)), 0);
    EXPECT_EQ(dev::launch(bump, dim3(1), dim3(2000), 0, reinterpret_cast<int *>(d)),
              dev::err_invalid_configuration);
    EXPECT_EQ(dev::unbind_texture(tex_f), 0);
    EXPECT_EQ(dev::memcpy_dtoh(host.data(), d + 1, 8), 0);
    EXPECT_EQ(dev::memcpy_dtod(d, d + 8, 16), 0);
    EXPECT_EQ(dev::memcpy_to_symbol(symbol, host.data(), 8, 4), 0);
    EXPECT_EQ(dev::drv_memset_d32(dev::dptr(reinterpret_cast<uintptr_t>(d)), 0, 5), 0);
    dev::blas_sgemm('N', 'T', 2, 3, 4, 1.5f, d, 2, d + 50, 3, 0.0f, d + 100, 2);
    dev::blas_zgemv('C', 3, 2, make_double2(1, 2), nullptr, 1, nullptr, 1, make_double2(0, -1),
                    nullptr, 1);  // lda < m: refused before reading anything
    EXPECT_EQ(dev::blas_sdot(4, d, 2, d + 1, -1), dev::blas_sdot(4, d, 2, d + 1, -1));
    sim::log_calls(false);
    EXPECT_EQ(dev::memcpy_htod(d, host.data(), 4), 0);

    const std::vector<sim::call> c = sim::calls();
    using k = sim::call_kind;
    std::vector<k> kinds;
    for (const sim::call &r : c) kinds.push_back(r.kind);
    EXPECT_EQ(kinds, (std::vector<k>{k::memcpy_htod, k::tex_bind, k::launch, k::launch,
                                     k::tex_unbind, k::memcpy_dtoh, k::memcpy_dtod,
                                     k::memcpy_to_symbol, k::memset, k::blas, k::blas, k::blas,
                                     k::blas}));
    ASSERT_EQ(c.size(), kinds.size());
    EXPECT_EQ(c[0].dst, d);
    EXPECT_EQ(c[0].src, host.data());
    EXPECT_EQ(c[0].bytes, 1200u);
    EXPECT_EQ(c[1].name, "float");
    EXPECT_EQ(c[1].src, d + 3);
    EXPECT_EQ(c[1].bytes, 100u);
    EXPECT_EQ(c[1].offset, 12u);
    EXPECT_EQ(c[2].name, "neighbour<true>");
    EXPECT_EQ(c[2].grid.x * 10 + c[2].grid.y, 23u);
    EXPECT_EQ(c[2].block.x, 64u);
    EXPECT_EQ(c[2].shared_bytes, 128u);
    EXPECT_EQ(c[2].result, 0);
    EXPECT_EQ(c[3].name, "bump");
    EXPECT_EQ(c[3].result, dev::err_invalid_configuration);
    EXPECT_EQ(c[5].src, d + 1);
    EXPECT_EQ(c[5].bytes, 8u);
    EXPECT_EQ(c[7].dst, symbol);
    EXPECT_EQ(c[7].offset, 4u);
    EXPECT_EQ(c[8].name, "d32");
    EXPECT_EQ(c[8].bytes, 20u);
    EXPECT_EQ(c[9].name, "sgemm");
    EXPECT_EQ(std::string() + c[9].transa + c[9].transb, "NT");
    EXPECT_EQ(c[9].m * 100 + c[9].n * 10 + c[9].k, 234);
    EXPECT_EQ(c[9].alpha, 1.5);
    EXPECT_EQ(c[9].b, d + 50);
    EXPECT_EQ(c[9].ldb, 3);
    EXPECT_EQ(c[9].c, d + 100);
    EXPECT_EQ(c[9].result, dev::blas_success);
    EXPECT_EQ(c[10].name, "zgemv");
    EXPECT_EQ(c[10].transa, 'C');
    EXPECT_EQ(c[10].alpha_im, 2.0);
    EXPECT_EQ(c[10].beta_im, -1.0);
    EXPECT_EQ(c[10].result, dev::blas_invalid_value);
    EXPECT_EQ(c[11].name, "sdot");
    EXPECT_EQ(c[11].incy, -1);
    EXPECT_EQ(dev::blas_get_error(), dev::blas_invalid_value);

    sim::clear_calls();
    EXPECT_TRUE(sim::calls().empty());
    device_free(d);
}

TEST_F(CallLog, IsPerThreadAndRecordsFailures) {
    int *d = device_alloc<int>(16);
    sim::log_calls(true);
    std::thread other([d] {
        dev::memcpy_dtod(d, d + 8, 4);
        EXPECT_TRUE(sim::calls().empty());
    });
    other.join();
    sim::inject(sim::fault_kind::memcpy_dtoh, 1, dev::err_invalid_value);
    int h = 0;
    EXPECT_EQ(dev::memcpy_dtoh(&h, d, 4), dev::err_invalid_value);
    ASSERT_EQ(sim::calls().size(), 1u);
    EXPECT_EQ(sim::calls()[0].result, dev::err_invalid_value);
    sim::reset();
    EXPECT_TRUE(sim::calls().empty());
}

// ------------------------------------------------------------ devices and driver state

TEST(SimDriver, CallsBeforeInitAndAFailingInit) {
    int n = -1;
    dev::drv_device d;
    EXPECT_EQ(dev::drv_device_count(&n), dev::err_not_initialized);
    EXPECT_EQ(dev::drv_ctx_get_device(&d), dev::err_not_initialized);
    EXPECT_EQ(dev::drv_init(1), dev::err_invalid_value);
    sim::set_init_result(dev::err_no_device);
    EXPECT_EQ(dev::drv_init(0), dev::err_no_device);
    EXPECT_EQ(dev::drv_device_count(&n), dev::err_not_initialized);
    void *p = nullptr;
    EXPECT_EQ(dev::malloc(&p, 16), dev::err_no_device);
    EXPECT_EQ(dev::get_last_error(), dev::err_no_device);
    sim::set_init_result(0);
    EXPECT_EQ(dev::drv_init(0), 0);
    EXPECT_EQ(dev::drv_device_count(&n), 0);
    EXPECT_EQ(n, 1);
}

TEST(SimDriver, DeviceLists) {
    struct row {
        std::vector<sim::device_desc> devices;
    };
    const row rows[] = {
        {{}},
        {{{2, 0}}},
        {{{2, 0}, {1, 3}, {0, 9}, {7, 5}}},
    };
    ASSERT_EQ(dev::drv_init(0), 0);
    for (const row &r : rows) {
        sim::set_devices(r.devices);
        int n = -1;
        ASSERT_EQ(dev::drv_device_count(&n), 0);
        ASSERT_EQ(n, int(r.devices.size()));
        dev::drv_device d;
        EXPECT_EQ(dev::drv_device_get(&d, n), dev::err_invalid_device);
        for (int i = 0; i < n; ++i) {
            int major = -1, minor = -1;
            ASSERT_EQ(dev::drv_device_get(&d, i), 0);
            ASSERT_EQ(dev::drv_compute_capability(&major, &minor, d), 0);
            EXPECT_EQ(major, r.devices[size_t(i)].major);
            EXPECT_EQ(minor, r.devices[size_t(i)].minor);
        }
        int o = -1;
        EXPECT_EQ(dev::get_device(&o), n ? 0 : dev::err_no_device);
        EXPECT_EQ(dev::get_last_error(), n ? 0 : dev::err_no_device);
    }
}

TEST(SimDriver, KernelsNeedCapabilityTwo) {
    sim::set_devices({{2, 0}, {1, 3}});
    testenv::device_env env;
    int *runs = to_device(std::vector<int>{0});
    ASSERT_EQ(dev::set_device(1), 0);
    EXPECT_EQ(dev::launch(bump, dim3(1), dim3(1), 0, runs), dev::err_no_binary_for_gpu);
    EXPECT_EQ(dev::get_last_error(), dev::err_no_binary_for_gpu);
    EXPECT_EQ(dev::set_device(2), dev::err_invalid_device);
    ASSERT_EQ(dev::set_device(0), 0);
    EXPECT_EQ(dev::launch(bump, dim3(1), dim3(1), 0, runs), 0);
    EXPECT_EQ(from_device(runs, 1)[0], 1);
}

TEST(SimDriver, ContextsPerThread) {
    sim::set_devices({{2, 0, 1 << 20}, {3, 5, 1 << 20}});
    ASSERT_EQ(dev::drv_init(0), 0);
    dev::drv_device d = -1;
    EXPECT_EQ(dev::drv_ctx_get_device(&d), dev::err_invalid_context);
    dev::drv_context ctx = nullptr;
    ASSERT_EQ(dev::drv_ctx_create(&ctx, 1), 0);
    ASSERT_EQ(dev::drv_ctx_get_device(&d), 0);
    EXPECT_EQ(d, 1);
    void *p = nullptr;
    ASSERT_EQ(dev::malloc(&p, 1000), 0);  // on device 1, the context's
    size_t free_bytes = 0, total = 0;
    ASSERT_EQ(dev::drv_mem_get_info(&free_bytes, &total), 0);
    EXPECT_EQ(total, size_t(1) << 20);
    EXPECT_EQ(free_bytes, total - 1000);

    std::thread other([] {
        dev::drv_device od = -1;
        EXPECT_EQ(dev::drv_ctx_get_device(&od), dev::err_invalid_context);
        size_t f, t;
        EXPECT_EQ(dev::drv_mem_get_info(&f, &t), dev::err_invalid_context);
        int o = -1;
        ASSERT_EQ(dev::get_device(&o), 0);  // a runtime call: the primary context
        ASSERT_EQ(dev::drv_ctx_get_device(&od), 0);
        EXPECT_EQ(od, 0);
        ASSERT_EQ(dev::drv_mem_get_info(&f, &t), 0);
        EXPECT_EQ(f, t);
    });
    other.join();

    ASSERT_EQ(dev::drv_ctx_set_current(nullptr), 0);
    EXPECT_EQ(dev::drv_ctx_get_device(&d), dev::err_invalid_context);
    ASSERT_EQ(dev::drv_ctx_set_current(ctx), 0);
    ASSERT_EQ(dev::drv_ctx_destroy(ctx), 0);
    EXPECT_EQ(dev::drv_ctx_get_device(&d), dev::err_invalid_context);
    EXPECT_EQ(dev::drv_ctx_set_current(ctx), dev::err_invalid_context);
    EXPECT_EQ(dev::drv_ctx_destroy(ctx), dev::err_invalid_context);
}

TEST(SimDriver, ModulesOfIncompletePtxAreRefused) {
    testenv::device_env env;
    dev::drv_module m = nullptr;
    dev::drv_function f = nullptr;
    EXPECT_EQ(dev::drv_module_load_data(&m, ".version 1.4\n"), dev::err_invalid_ptx);
    EXPECT_EQ(dev::drv_module_get_function(&f, m, "k"), 400);
    EXPECT_EQ(dev::drv_launch(f, dim3(1), dim3(1), 0, nullptr, 0), dev::err_invalid_value);
    EXPECT_STREQ(dev::drv_error_name(dev::err_not_supported), "CUDA_ERROR_NOT_SUPPORTED");
    EXPECT_STREQ(dev::error_string(dev::err_memory_allocation), "out of memory");
}

// ------------------------------------------------------------ memory

class SimMemory : public testenv::DeviceTest {};

TEST_F(SimMemory, CapacityPerDevice) {
    sim::set_devices({{2, 0, 4096}, {2, 0, 100}});
    void *a = nullptr, *b = nullptr;
    ASSERT_EQ(dev::malloc(&a, 4000), 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 512, 0u);
    EXPECT_EQ(dev::malloc(&b, 97), dev::err_memory_allocation);
    EXPECT_EQ(dev::get_last_error(), dev::err_memory_allocation);
    ASSERT_EQ(dev::malloc(&b, 96), 0);
    EXPECT_EQ(sim::stats().live_allocations, 2u);
    EXPECT_EQ(sim::stats().live_bytes, 4096u);
    ASSERT_EQ(dev::set_device(1), 0);
    void *c = nullptr;
    EXPECT_EQ(dev::malloc(&c, 101), dev::err_memory_allocation);
    ASSERT_EQ(dev::malloc(&c, 100), 0);
    EXPECT_EQ(dev::free(a), 0);  // freed from another device's context
    ASSERT_EQ(dev::set_device(0), 0);
    void *e = nullptr;
    EXPECT_EQ(dev::malloc(&e, 4000), 0);
    for (void *p : {b, c, e}) EXPECT_EQ(dev::free(p), 0);
    EXPECT_EQ(sim::stats().live_allocations, 0u);
}

TEST_F(SimMemory, ForeignPointersAndRangesAreRefused) {
    char *d = device_alloc<char>(256);
    void *pinned = nullptr, *mapped = nullptr;
    ASSERT_EQ(dev::drv_mem_host_alloc(&pinned, 256, 0), 0);
    ASSERT_EQ(dev::drv_mem_host_alloc(&mapped, 256, dev::host_alloc_devicemap), 0);
    char host[256] = {};
    const dev::dptr dd = dev::dptr(reinterpret_cast<uintptr_t>(d));
    struct row {
        const char *what;
        std::function<int()> call;
        bool runtime;
    };
    const row rows[] = {
        {"free of a host pointer", [&] { return dev::free(host); }, true},
        {"free inside a block", [&] { return dev::free(d + 16); }, true},
        {"free of pinned memory", [&] { return dev::free(pinned); }, true},
        {"free_host of device memory", [&] { return dev::drv_mem_free_host(d); }, false},
        {"copy one past the block", [&] { return dev::memcpy_htod(d + 1, host, 256); }, true},
        {"copy to a host pointer", [&] { return dev::memcpy_htod(host, host + 1, 8); }, true},
        {"copy from a host pointer", [&] { return dev::memcpy_dtoh(host, host + 8, 8); }, true},
        {"copy between host pointers", [&] { return dev::memcpy_dtod(host, d, 8); }, true},
        {"copy into unmapped pinned memory", [&] { return dev::memcpy_htod(pinned, host, 8); }, true},
        {"memset past the block", [&] { return dev::drv_memset_d8(dd + 200, 0, 57); }, false},
        {"memset unaligned", [&] { return dev::drv_memset_d32(dd + 2, 0, 4); }, false},
        {"texture over host memory", [&] { size_t o; return dev::bind_texture(&o, tex_f, host, 64); }, true},
        {"texture past the block", [&] { size_t o; return dev::bind_texture(&o, tex_f, d, 260); }, true},
        {"unaligned texture without offset", [&] { return dev::bind_texture(nullptr, tex_f, d + 4, 64); }, true},
        {"device pointer of unmapped memory",
         [&] { dev::dptr p; return dev::drv_mem_host_get_device_pointer(&p, pinned); }, false},
    };
    for (const row &r : rows) {
        EXPECT_EQ(r.call(), dev::err_invalid_value) << r.what;
        EXPECT_EQ(dev::get_last_error(), r.runtime ? dev::err_invalid_value : 0) << r.what;
    }
    EXPECT_EQ(dev::memcpy_htod(mapped, host, 256), 0);
    EXPECT_EQ(dev::memcpy_htod(d + 255, host, 1), 0);
    EXPECT_EQ(dev::free(nullptr), 0);
    device_free(d);
    EXPECT_EQ(dev::free(d), dev::err_invalid_value);  // twice
    EXPECT_EQ(dev::drv_mem_free_host(pinned), 0);
    EXPECT_EQ(dev::drv_mem_free_host(mapped), 0);
    EXPECT_EQ(dev::drv_mem_free_host(mapped), dev::err_invalid_value);
}

TEST_F(SimMemory, StatisticsAndReset) {
    int *d = device_alloc<int>(16);
    int *runs = to_device(std::vector<int>{0});
    dev::launch(bump, dim3(2), dim3(1), 0, runs);
    dev::launch(bump, dim3(2), dim3(0), 0, runs);
    dev::synchronize();
    dev::drv_memset_d8(dev::dptr(reinterpret_cast<uintptr_t>(d)), 0, 8);
    dev::drv_memset_d32(dev::dptr(reinterpret_cast<uintptr_t>(d)), 0, 8);
    dev::drv_memset_d32(dev::dptr(reinterpret_cast<uintptr_t>(d)), 0, 8);
    sim::counters c = sim::stats();
    EXPECT_EQ(c.launches, 1u);
    EXPECT_EQ(c.refused_launches, 1u);
    EXPECT_EQ(c.synchronizes, 1u);
    EXPECT_EQ(c.memsets_d8, 1u);
    EXPECT_EQ(c.memsets_d32, 2u);
    EXPECT_EQ(c.live_allocations, 2u);
    EXPECT_EQ(c.live_bytes, 17 * sizeof(int));
    EXPECT_EQ(dev::peek_last_error(), dev::err_invalid_configuration);
    sim::set_thread_order(sim::order::reverse);
    sim::reset();
    c = sim::stats();
    EXPECT_EQ(c.live_allocations, 0u);
    EXPECT_EQ(c.launches, 0u);
    EXPECT_EQ(sim::thread_order(), sim::order::forward);
    EXPECT_EQ(dev::peek_last_error(), 0);
    int n;
    EXPECT_EQ(dev::drv_device_count(&n), dev::err_not_initialized);
    ASSERT_EQ(dev::drv_init(0), 0);
    dev::drv_device dv;
    EXPECT_EQ(dev::drv_ctx_get_device(&dv), dev::err_invalid_context);
}

// ------------------------------------------------------------ thread order and stuck blocks

class SimOrder : public testenv::DeviceTest {
protected:
    std::vector<int> run(void (*k)(int *), sim::order o, unsigned seed = 0, unsigned threads = 64) {
        sim::set_thread_order(o, seed);
        int *d = to_device(std::vector<int>(threads, 0));
        EXPECT_EQ(dev::launch(k, dim3(1), dim3(threads), 0, d), 0);
        EXPECT_EQ(dev::synchronize(), 0);
        std::vector<int> out = from_device(d, threads);
        device_free(d);
        return out;
    }
};

// Kernels with a data race on purpose: the race checker reports them
// (SimRaceTest) before any order could.
#if TEST_TSAN
#define SKIP_RACY() GTEST_SKIP() << "the race checker reports this kernel's race"
#else
#define SKIP_RACY() (void)0
#endif

TEST_F(SimOrder, AMissingBarrierChangesTheResultWithTheOrder) {
    SKIP_RACY();
    std::vector<int> right(64);
    for (int t = 0; t < 64; ++t) right[t] = (t + 1) % 64 + 1;
    for (sim::order o : {sim::order::forward, sim::order::reverse, sim::order::random})
        EXPECT_EQ(run(neighbour<true>, o, 7), right) << int(o);
    std::vector<int> fwd = run(neighbour<false>, sim::order::forward);
    std::vector<int> rev = run(neighbour<false>, sim::order::reverse);
    EXPECT_NE(fwd, rev);
    EXPECT_TRUE(fwd != right || rev != right);
    EXPECT_EQ(run(neighbour<false>, sim::order::random, 11), run(neighbour<false>, sim::order::random, 11));
}

TEST_F(SimOrder, ExitedThreadsCountAsArrived) {
    for (sim::order o : {sim::order::forward, sim::order::reverse}) {
        std::vector<int> out = run(early_exit, o);
        for (int t = 0; t < 64; t += 2) EXPECT_EQ(out[t], (t + 2) % 64) << t;
    }
}

// A warp goes on as soon as its own lanes meet, so a __syncwarp where warps
// exchange data is caught: in forward order warp 0 finishes the whole tree
// before the other warps have added their halves.
TEST_F(SimOrder, WarpsRunAheadOfEachOtherAcrossSyncwarp) {
    SKIP_RACY();
    const int right = 256 * 257 / 2;
    const std::pair<sim::order, unsigned> orders[] = {{sim::order::forward, 0},
                                                      {sim::order::reverse, 0},
                                                      {sim::order::random, 1},
                                                      {sim::order::random, 12345}};
    for (const auto &o : orders)
        EXPECT_EQ(run(tree_sum<true>, o.first, o.second, 256)[0], right)
            << int(o.first) << ":" << o.second;
    EXPECT_NE(run(tree_sum<false>, sim::order::forward, 0, 256)[0], right);
}

// Each faulty kernel is reported with its code and a message naming the
// kernel, and the fault is sticky: the context's later calls fail with it.
TEST_F(SimOrder, FaultyKernelsAreReportedAndSticky) {
    int host[32] = {};
    struct row {
        const char *kernel;
        std::function<int(int *)> launch;
        int code;
        const char *message;
    };
    const row rows[] = {
        {"stuck", [](int *d) { return dev::launch(stuck, dim3(4), dim3(32), 0, d); },
         dev::err_launch_failed, "threads 16-31 wait at __syncthreads, threads 0-15 in warp collectives"},
        {"mixed_collectives", [](int *d) { return dev::launch(mixed_collectives, dim3(1), dim3(32), 0, d); },
         dev::err_launch_failed, "cannot go on"},
        {"split_barrier", [](int *d) { return dev::launch(split_barrier, dim3(2), dim3(32), 0, d); },
         dev::err_launch_failed, "different block barriers: threads 0-15 at "},
        {"poke", [&](int *) { return dev::launch(poke, dim3(1), dim3(1), 0, host, 0); },
         dev::err_illegal_address, "pointer argument 1"},
        {"poke", [](int *) {
             int *gone = device_alloc<int>(4);
             device_free(gone);
             return dev::launch(poke, dim3(1), dim3(1), 0, gone, 0);
         },
         dev::err_illegal_address, "outside every device allocation"},
    };
    for (const row &r : rows)
        for (sim::order o : {sim::order::forward, sim::order::reverse, sim::order::random}) {
            SCOPED_TRACE(testing::Message() << r.kernel << " in order " << int(o));
            sim::set_thread_order(o, 3);
            dev::drv_context ctx = nullptr;  // a fresh context: the last one is broken
            ASSERT_EQ(dev::drv_ctx_create(&ctx, 0), 0);
            int *d = device_alloc<int>(32);
            testing::internal::CaptureStderr();
            EXPECT_EQ(r.launch(d), 0);
            EXPECT_EQ(dev::synchronize(), r.code);
            const std::string err = testing::internal::GetCapturedStderr();
            EXPECT_NE(err.find(std::string("kernel ") + r.kernel), std::string::npos) << err;
            EXPECT_NE(err.find(r.message), std::string::npos) << err;
            EXPECT_EQ(dev::get_last_error(), r.code);
            void *p = nullptr;
            EXPECT_EQ(dev::malloc(&p, 8), r.code);
            EXPECT_EQ(dev::memcpy_htod(d, host, 4), r.code);
            EXPECT_EQ(dev::launch(bump, dim3(1), dim3(1), 0, d), r.code);
            EXPECT_EQ(dev::synchronize(), r.code);
            EXPECT_EQ(dev::drv_memset_d8(dev::dptr(reinterpret_cast<uintptr_t>(d)), 0, 4), r.code);
            EXPECT_EQ(dev::get_last_error(), r.code);
            ASSERT_EQ(dev::drv_ctx_destroy(ctx), 0);
        }
}

TEST_F(SimOrder, LegalIdiomsStaySilentInEveryOrder) {
    const unsigned blocks = 5, threads = 64;
    const int expect[n_idioms] = {int(blocks * threads * (threads + 1) / 2),
                                  int(blocks * threads * (threads + 1) / 2),
                                  int(blocks * threads),
                                  int(blocks * ((threads + 2) / 3)),
                                  int(blocks * threads),
                                  int(blocks * threads),
                                  int(blocks * threads),
                                  int(blocks * (31 + 63))};
    const std::pair<sim::order, unsigned> orders[] = {
        {sim::order::forward, 0}, {sim::order::reverse, 0}, {sim::order::random, 9}};
    for (const auto &o : orders)
        for (const auto &bo : orders) {
            SCOPED_TRACE(testing::Message() << "threads " << int(o.first) << ", blocks " << int(bo.first));
            sim::set_thread_order(o.first, o.second);
            sim::set_block_order(bo.first, bo.second);
            int *out = to_device(std::vector<int>(n_idioms, 0)), *lock = to_device(std::vector<int>{0});
            unsigned *count = to_device(std::vector<unsigned>{0});
            int *partial = device_alloc<int>(blocks);
            testing::internal::CaptureStderr();
            ASSERT_EQ(dev::launch(idioms, dim3(blocks), dim3(threads), 0, out, lock, count, partial), 0);
            EXPECT_EQ(dev::synchronize(), 0);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
            std::vector<int> got = from_device(out, n_idioms);
            for (int k = 0; k < n_idioms; ++k) EXPECT_EQ(got[k], expect[k]) << "idiom " << k;
            for (void *p : {(void *)out, (void *)lock, (void *)count, (void *)partial}) device_free(p);
        }
}

// Blocks are handed out in the block order; with one host thread the order
// is exact.
TEST(SimBlockOrder, OrdersTheBlocks) {
    sim::set_thread_order(sim::order::forward);
    testenv::device_env env;
    struct row {
        sim::order o;
        unsigned seed;
    };
    std::vector<std::vector<int>> seen;
    for (row r : {row{sim::order::forward, 0}, row{sim::order::reverse, 0}, row{sim::order::random, 1},
                  row{sim::order::random, 2}, row{sim::order::random, 1}}) {
        sim::set_block_order(r.o, r.seed);
        int *next = to_device(std::vector<int>{0}), *at = device_alloc<int>(12);
        ASSERT_EQ(dev::launch(record_order, dim3(12), dim3(1), 0, next, at), 0);
        std::vector<int> got = from_device(at, 12), sorted = got;
        std::sort(sorted.begin(), sorted.end());
        for (int i = 0; i < 12; ++i) ASSERT_EQ(sorted[i], i) << "each block once";
        seen.push_back(got);
        device_free(next);
        device_free(at);
    }
    if (std::getenv("SIMDEV_THREADS") && std::string(std::getenv("SIMDEV_THREADS")) == "1") {
        EXPECT_EQ(seen[0], (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
        EXPECT_EQ(seen[1], (std::vector<int>{11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
        EXPECT_NE(seen[2], seen[0]);
        EXPECT_NE(seen[2], seen[3]);
        EXPECT_EQ(seen[2], seen[4]);
    }
}

#if !TEST_TSAN
// A spin-wait on a plain flag that the order never lets the writer set:
// reported by the watchdog instead of hanging. In reverse order the writer
// runs first and the kernel completes.
TEST(SimDeathTest, WatchdogReportsASpinThatNeverYields) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            setenv("SIMDEV_WATCHDOG", "1", 1);
            testenv::device_env env;
            sim::set_thread_order(sim::order::forward);
            int *flag = to_device(std::vector<int>{0});
            dev::launch(spin_on_flag, dim3(1), dim3(2), 0, flag);
        },
        "kernel spin_on_flag, block 0 .*thread 0 has run 1 s of CPU time without reaching");
    testenv::device_env env;
    sim::set_thread_order(sim::order::reverse);
    int *flag = to_device(std::vector<int>{0});
    EXPECT_EQ(dev::launch(spin_on_flag, dim3(1), dim3(2), 0, flag), 0);
    EXPECT_EQ(dev::synchronize(), 0);
    device_free(flag);
}
#endif

// ------------------------------------------------------------ cuBLAS state

TEST(SimBlas, CallsBeforeInitFail) {
    float x = 1;
    double dx = 1;
    float2 c = make_float2(1, 0);
    double2 z = make_double2(1, 0);
    const std::function<void()> calls[] = {
        [&] { EXPECT_EQ(dev::blas_sdot(1, &x, 1, &x, 1), 0.0f); },
        [&] { EXPECT_EQ(dev::blas_ddot(1, &dx, 1, &dx, 1), 0.0); },
        [&] { EXPECT_EQ(dev::blas_cdotu(1, &c, 1, &c, 1).x, 0.0f); },
        [&] { EXPECT_EQ(dev::blas_zdotu(1, &z, 1, &z, 1).x, 0.0); },
        [&] { dev::blas_sgemv('N', 1, 1, 1.0f, &x, 1, &x, 1, 0.0f, &x, 1); },
        [&] { dev::blas_dgemv('N', 1, 1, 1.0, &dx, 1, &dx, 1, 0.0, &dx, 1); },
        [&] { dev::blas_zgemv('N', 1, 1, z, &z, 1, &z, 1, z, &z, 1); },
        [&] { dev::blas_sgemm('N', 'N', 1, 1, 1, 1.0f, &x, 1, &x, 1, 0.0f, &x, 1); },
        [&] { dev::blas_dgemm('N', 'N', 1, 1, 1, 1.0, &dx, 1, &dx, 1, 0.0, &dx, 1); },
        [&] { dev::blas_cgemm('N', 'N', 1, 1, 1, c, &c, 1, &c, 1, c, &c, 1); },
        [&] { dev::blas_zgemm('N', 'N', 1, 1, 1, z, &z, 1, &z, 1, z, &z, 1); },
    };
    for (const auto &call : calls) {
        call();
        EXPECT_EQ(dev::blas_get_error(), dev::blas_not_initialized);
        EXPECT_EQ(dev::blas_get_error(), dev::blas_success);
    }
    EXPECT_EQ(x, 1.0f);
    EXPECT_EQ(dev::blas_shutdown(), dev::blas_not_initialized);
    ASSERT_EQ(dev::blas_init(), 0);
    EXPECT_EQ(dev::blas_sdot(1, &x, 1, &x, 1), 1.0f);
    const double xs[3] = {1, 2, 3}, ys[5] = {10, 0, 100, 0, 1000};
    EXPECT_EQ(dev::blas_ddot(3, xs, -1, ys, 2), 3 * 10 + 2 * 100 + 1 * 1000);  // walked from the end
    EXPECT_EQ(dev::blas_get_error(), 0);
    dev::blas_sgemm('N', 'X', 1, 1, 1, 1.0f, &x, 1, &x, 1, 0.0f, &x, 1);
    EXPECT_EQ(dev::blas_get_error(), dev::blas_invalid_value);
    dev::blas_sgemv('N', 2, 1, 1.0f, &x, 1, &x, 1, 0.0f, &x, 1);  // lda < m
    EXPECT_EQ(dev::blas_get_error(), dev::blas_invalid_value);
    EXPECT_EQ(dev::blas_shutdown(), 0);
    EXPECT_EQ(dev::blas_sdot(1, &x, 1, &x, 1), 0.0f);
    EXPECT_EQ(dev::blas_get_error(), dev::blas_not_initialized);
}

// ------------------------------------------------------------ environment

TEST(SimEnvironment, ConfiguresTheDevice) {
    setenv("SIMDEV_DEVICES", "2.0,1.3,0.9", 1);
    setenv("SIMDEV_CAPACITY", "4096", 1);
    setenv("SIMDEV_ORDER", "random:5", 1);
    setenv("SIMDEV_FAULTS", "malloc:1:2,memset:2:719:1", 1);
    ASSERT_EQ(dev::drv_init(0), 0);
    int n = 0, major = 0, minor = 0;
    ASSERT_EQ(dev::drv_device_count(&n), 0);
    EXPECT_EQ(n, 3);
    ASSERT_EQ(dev::drv_compute_capability(&major, &minor, 2), 0);
    EXPECT_EQ(major * 10 + minor, 9);
    EXPECT_EQ(sim::thread_order(), sim::order::random);
    testenv::device_env env;
    size_t f = 0, t = 0;
    ASSERT_EQ(dev::drv_mem_get_info(&f, &t), 0);
    EXPECT_EQ(t, 4096u);
    void *p = nullptr;
    EXPECT_EQ(dev::malloc(&p, 16), dev::err_memory_allocation);
    ASSERT_EQ(dev::malloc(&p, 16), 0);
    const dev::dptr dp = dev::dptr(reinterpret_cast<uintptr_t>(p));
    EXPECT_EQ(dev::drv_memset_d8(dp, 0, 16), 0);
    EXPECT_EQ(dev::drv_memset_d8(dp, 0, 16), 719);
    EXPECT_EQ(dev::drv_memset_d8(dp, 0, 16), 719);
    EXPECT_EQ(dev::drv_memset_d8(dp, 0, 16), 0);
    EXPECT_EQ(dev::free(p), 0);
}

TEST(SimEnvironment, NoDevicesAndAFailingInit) {
    setenv("SIMDEV_DEVICES", "", 1);
    setenv("SIMDEV_INIT", "100", 1);
    EXPECT_EQ(dev::drv_init(0), dev::err_no_device);
    sim::set_init_result(0);
    ASSERT_EQ(dev::drv_init(0), 0);
    int n = -1;
    ASSERT_EQ(dev::drv_device_count(&n), 0);
    EXPECT_EQ(n, 0);
}

// ------------------------------------------------------------ static shared memory

class SimShared : public testenv::DeviceTest {};

TEST_F(SimShared, EveryBlockStartsWithThePoisonPattern) {
    const unsigned blocks = 40;  // several blocks per host thread
    int *d = device_alloc<int>(blocks * 32);
    ASSERT_EQ(dev::launch(shared_first_read, dim3(blocks), dim3(32), 0, d), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    for (int v : from_device(d, blocks * 32)) ASSERT_EQ(v, -1);
    std::vector<int> fresh = from_device(device_alloc<int>(4), 4);  // new device memory too
    EXPECT_EQ(fresh, std::vector<int>(4, -1));
}

TEST_F(SimShared, CountsTowardTheLimit) {
    int *d = device_alloc<int>(1);
    for (void (*k)(int *) : {big_static_shared, big_static_shared_c}) {
        EXPECT_EQ(dev::launch(k, dim3(1), dim3(32), 8 * 1024, d), 0);
        EXPECT_EQ(dev::synchronize(), 0);
        EXPECT_EQ(dev::launch(k, dim3(1), dim3(32), 8 * 1024 + 1, d), dev::err_invalid_configuration);
        EXPECT_EQ(dev::get_last_error(), dev::err_invalid_configuration);
    }
    device_free(d);
}

#if !TEST_ASAN
TEST(SimSharedFault, AWritePastAnArrayIsALaunchFailure) {
    const std::pair<void (*)(int), const char *> kernels[] = {{shared_through_pointer, "shared_through_pointer"},
                                                             {shared_through_pointer_c, "shared_through_pointer_c"}};
    for (const auto &k : kernels) {
        testenv::device_env env;  // a context of its own: the fault ends it
        EXPECT_EQ(dev::launch(k.first, dim3(1), dim3(1), 0, 15), 0);
        EXPECT_EQ(dev::synchronize(), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(dev::launch(k.first, dim3(1), dim3(1), 0, 16), 0);
        EXPECT_EQ(dev::synchronize(), dev::err_launch_failed);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(std::string("kernel ") + k.second +
                           ", block (0,0,0) of (1,1,1) threads: a write past static shared array s"),
                  std::string::npos)
            << err;
    }
}
#endif

// ------------------------------------------------------------ ThreadSanitizer

#if TEST_TSAN
TEST(SimRaceTest, RacesBetweenThreadsAreReportedInEveryOrder) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct row {
        const char *what;
        void (*kernel)(int *);
        unsigned blocks = 1, threads = 64;
    };
    const row rows[] = {
        {"c += 1", racy_count},
        {"h[k]++ in shared memory", racy_histogram},
        {"check, then set", racy_check_then_set},
        {"a missing barrier", neighbour<false>},
        // Blocks a GPU may run at once are not ordered by the host thread that runs them.
        {"c += 1 in 64 blocks of one thread", racy_count, 64, 1},
        {"check, then set in 8 blocks", racy_check_then_set, 8, 1},
    };
    for (const row &r : rows)
        for (sim::order o : {sim::order::forward, sim::order::reverse}) {
            SCOPED_TRACE(testing::Message() << r.what << " in order " << int(o));
            EXPECT_EXIT(
                {
                    testenv::device_env env;
                    sim::set_thread_order(o);
                    int *d = to_device(std::vector<int>(64, 0));
                    dev::launch(r.kernel, dim3(r.blocks), dim3(r.threads), 0, d);
                    dev::synchronize();
                    std::exit(0);
                },
                testing::ExitedWithCode(66), "ThreadSanitizer: data race");
        }
}
#endif

// Legal idioms stay silent (a report would end the process) and right.
TEST(SimRaceTest, AtomicIdiomsAcrossBlocksAreNoRace) {
    testenv::device_env env;
    double *total = to_device(std::vector<double>{0});
    ASSERT_EQ(dev::launch(cas_sum, dim3(16), dim3(32), 0, total), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    EXPECT_EQ(from_device(total, 1)[0], 512.0);
    int *partial = to_device(std::vector<int>(24, 0)), *sum = to_device(std::vector<int>{0});
    unsigned *count = to_device(std::vector<unsigned>{0});
    ASSERT_EQ(dev::launch(last_block_sum, dim3(24), dim3(32), 0, partial, count, sum), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    EXPECT_EQ(from_device(sum, 1)[0], 24 * 25 / 2);
    device_free(total), device_free(partial), device_free(sum), device_free(count);
}

// ------------------------------------------------------------ AddressSanitizer

#if TEST_ASAN
// The memory manager's "Video RAM" blocks are cut from larger device
// allocations: exactly the bytes handed out are usable.
TEST(SimDeathTest, MemoryManagerBlocksAreChecked) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct row {
        const char *what;
        int index;  // of the int written, in a block of 10
        bool after_free;
    };
    const row rows[] = {
        {"one past the request", 10, false},
        {"into the size class's slack", 13, false},
        {"after mmfree", 0, true},
    };
    for (const row &r : rows)
        EXPECT_DEATH(
            {
                testenv::device_env env;
                void *p = nullptr;
                mmalloc(10 * sizeof(int), MM_VIDEO_RAM, &p);
                if (r.after_free) mmfree(MM_VIDEO_RAM, p);
                dev::launch(poke, dim3(1), dim3(1), 0, static_cast<int *>(p), r.index);
            },
            "use-after-poison")
            << r.what;
    EXPECT_DEATH(
        {
            testenv::device_env env;
            void *p = nullptr;
            int host[11] = {};
            mmalloc(10 * sizeof(int), MM_VIDEO_RAM, &p);
            dev::memcpy_htod(p, host, sizeof host);
        },
        "use-after-poison");
    EXPECT_DEATH(dev::launch(shared_through_pointer, dim3(1), dim3(1), 0, 16), "use-after-poison");
    EXPECT_DEATH(dev::launch(shared_through_pointer_c, dim3(1), dim3(1), 0, 16), "use-after-poison");
    testenv::device_env env;
    void *p = nullptr, *q = nullptr;
    ASSERT_EQ(mmalloc(10 * sizeof(int), MM_VIDEO_RAM, &p), 0);
    ASSERT_EQ(mmcalloc(3, MM_VIDEO_RAM, &q), 0);
    EXPECT_EQ(dev::launch(poke, dim3(1), dim3(1), 0, static_cast<int *>(p), 9), 0);
    EXPECT_EQ(dev::launch(shared_through_pointer, dim3(1), dim3(1), 0, 15), 0);
    EXPECT_EQ(dev::synchronize(), 0);
    EXPECT_EQ(mmfree(MM_VIDEO_RAM, p), 0);
    EXPECT_EQ(mmfree(MM_VIDEO_RAM, q), 0);
    ASSERT_EQ(mmalloc(12 * sizeof(int), MM_VIDEO_RAM, &p), 0);  // the same slot, longer
    EXPECT_EQ(dev::launch(poke, dim3(1), dim3(1), 0, static_cast<int *>(p), 11), 0);
    EXPECT_EQ(dev::synchronize(), 0);
    EXPECT_EQ(mmfree(MM_VIDEO_RAM, p), 0);
}

TEST(SimDeathTest, OutOfBoundsWritesAreReported) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            testenv::device_env env;
            int *d = device_alloc<int>(10);
            dev::launch(poke, dim3(1), dim3(1), 0, d, 10);
        },
        "heap-buffer-overflow");
    EXPECT_DEATH(
        {
            testenv::device_env env;
            dev::launch(poke_shared, dim3(1), dim3(1), 6 * sizeof(int), 6);
        },
        "heap-buffer-overflow");
}
#endif

#if !TEST_ASAN && !TEST_TSAN
__global__ void far_write(int *p, long long off) { p[off] = 1; }

// Without a sanitizer, a wild access ends the process with a line that names
// the kernel, the block and the thread.
TEST(SimDeathTest, AWildAccessNamesTheKernel) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            testenv::device_env env;
            int *d = device_alloc<int>(1);
            dev::launch(far_write, dim3(2), dim3(4), 0, d, 1ll << 44);
        },
        "simdev: kernel far_write, block \\([01],0,0\\), thread \\([0-3],0,0\\): segmentation fault at address");
}
#endif

TEST(SimDeathTest, InBoundsWritesPass) {
    testenv::device_env env;
    int *d = device_alloc<int>(10);
    EXPECT_EQ(dev::launch(poke, dim3(1), dim3(1), 0, d, 9), 0);
    EXPECT_EQ(dev::launch(poke_shared, dim3(1), dim3(1), 6 * sizeof(int), 5), 0);
    EXPECT_EQ(dev::synchronize(), 0);
    device_free(d);
}
