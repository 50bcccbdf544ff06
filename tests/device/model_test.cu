// The execution model on either backend: barriers, shared memory, launch
// limits, warp collectives, atomics, textures, symbols and mapped memory.
#include "device/kernel.h"
#include "support/devenv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <complex>
#include <numeric>
#include <type_traits>
#include <vector>

using testenv::device_alloc;
using testenv::device_free;
using testenv::from_device;
using testenv::to_device;

namespace {

__device__ inline unsigned linear_tid() {
    return threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
}

// Reverses each block's slice through static shared memory, then sums it
// with a tree of barriers.
__global__ void reverse_and_sum(const int *in, int *out, int *sums) {
    __shared__ int s[1024];
    unsigned n = blockDim.x * blockDim.y * blockDim.z, t = linear_tid();
    unsigned base = blockIdx.x * n;
    s[t] = in[base + t];
    __syncthreads();
    out[base + t] = s[n - 1 - t];
    __syncthreads();
    for (unsigned half = 512; half > 0; half /= 2) {
        if (t < half && t + half < n) s[t] += s[t + half];
        __syncthreads();
    }
    if (t == 0) sums[blockIdx.x] = s[0];
}

// Each block fills the dynamic shared memory with its own tag and counts
// the entries that are not its own after the barrier.
__global__ void tag_dynamic_shared(int *wrong) {
    DEV_DYNAMIC_SHARED(int, s);
    unsigned t = threadIdx.x;
    int tag = int(blockIdx.x * 4096 + t);
    s[t] = tag;
    __syncthreads();
    for (int round = 0; round < 4; ++round) {
        unsigned other = (t + 1 + round) % blockDim.x;
        if (s[other] != int(blockIdx.x * 4096 + other)) atomicAdd(wrong, 1);
        __syncthreads();
    }
}

__global__ void count_runs(int *runs) {
    if (linear_tid() == 0 && blockIdx.x == 0 && blockIdx.y == 0 && blockIdx.z == 0)
        atomicAdd(runs, 1);
}

enum { n_warp_results = 10 };

// Warp collectives over the linear thread id of a 16x4 block (two warps).
__global__ void warp_ops(int *out) {
    unsigned t = linear_tid(), lane = t % 32;
    int v = int(t * 7 + 1);
    int *o = out + t * n_warp_results;
    const unsigned all = 0xffffffffu;
    o[0] = __shfl_sync(all, v, 3);
    o[1] = __shfl_up_sync(all, v, 1);
    o[2] = __shfl_down_sync(all, v, 2);
    o[3] = __shfl_xor_sync(all, v, 1);
    o[4] = __shfl_sync(all, v, 21, 16);
    o[5] = __shfl_xor_sync(all, v, 16, 16);
    o[6] = __shfl_down_sync(all, v, 1, 8);
    o[7] = int(__ballot_sync(all, t % 3 == 0));
    o[8] = __any_sync(all, t == 37) * 10 + __all_sync(all, t < 40);
    int sum = v;
    for (int d = 16; d > 0; d /= 2) sum += __shfl_xor_sync(all, sum, d);
    double dv = __shfl_sync(all, double(v) + 0.5, int(lane ^ 5));
    __syncwarp();
    o[9] = sum + int(2 * dv) * 1000;
}

// Votes in a warp of which only the first `lanes` threads exist.
__global__ void partial_warp_votes(unsigned *out) {
    unsigned t = threadIdx.x, warp = t / 32, lanes = min(32u, blockDim.x - warp * 32);
    unsigned mask = lanes == 32 ? 0xffffffffu : (1u << lanes) - 1;
    out[t * 3 + 0] = __ballot_sync(mask, t % 2 == 1);
    out[t * 3 + 1] = unsigned(__all_sync(mask, t != 40));
    out[t * 3 + 2] = unsigned(__shfl_sync(mask, int(t), 0));
}

struct atomic_box {
    int add;
    unsigned addu;
    unsigned long long addull;
    float addf;
    double addd;
    int sub, max, min;
    unsigned inc, bits, andv;
    int xorv, cas, exch;
};

__global__ void atomics(atomic_box *b) {
    int gid = int(blockIdx.x * blockDim.x + threadIdx.x);
    atomicAdd(&b->add, 1);
    atomicAdd(&b->addu, 2u);
    atomicAdd(&b->addull, 3ull);
    atomicAdd(&b->addf, 1.0f);
    atomicAdd(&b->addd, 0.5);
    atomicSub(&b->sub, 1);
    atomicMax(&b->max, gid);
    atomicMin(&b->min, gid);
    atomicInc(&b->inc, 999u);
    atomicOr(&b->bits, 1u << (gid % 32));
    atomicAnd(&b->andv, ~(1u << (gid % 32)));
    atomicXor(&b->xorv, gid);
    int old = atomicAdd(&b->cas, 0), seen;  // an atomic read: others write it meanwhile
    while ((seen = atomicCAS(&b->cas, old, old + 1)) != old) old = seen;
    atomicExch(&b->exch, gid);
}

DEV_TEXTURE(float, tex_f);
DEV_TEXTURE(int2, tex_d);
DEV_TEXTURE(int4, tex_z);

__global__ void fetch_f(float *out, int first) { out[threadIdx.x] = DEV_TEX_FETCH(tex_f, first + int(threadIdx.x)); }
__global__ void fetch_d(double *out, int first) {
    out[threadIdx.x] = dev::texel_double(DEV_TEX_FETCH(tex_d, first + int(threadIdx.x)));
}
__global__ void fetch_z(double2 *out, int first) {
    out[threadIdx.x] = dev::texel_double2(DEV_TEX_FETCH(tex_z, first + int(threadIdx.x)));
}

__device__ int symbol_values[4];
__global__ void read_symbol(int *out) { out[threadIdx.x] = symbol_values[threadIdx.x]; }

__global__ void write_mapped(int *p) { p[threadIdx.x] = int(threadIdx.x) * 3; }

// Intrinsics whose results the hardware defines at the edges.
__global__ void intrinsics(long long *out) {
    int k = 0;
    out[k++] = __float2int_rn(2.5f);
    out[k++] = __float2int_rn(-3.5f);
    out[k++] = __float2int_rz(-2.7f);
    out[k++] = __float2int_rn(3e9f);
    out[k++] = __float2int_rn(-3e9f);
    out[k++] = __float2uint_rn(-1.0f);
    out[k++] = __float2uint_rn(1e10f);
    out[k++] = (long long)(__saturatef(1.5f) * 4 + __saturatef(-0.5f) * 2 + __saturatef(0.25f) * 8);
    out[k++] = __ffs(0) * 100 + __ffs(8);
    out[k++] = __popc(0xf0f0u);
    out[k++] = __clz(1) * 100 + __clz(0);
    out[k++] = __brev(1u);
    out[k++] = __umulhi(0x80000000u, 6u);
    out[k++] = __mul24(0x01ffffff, 3);
    out[k++] = __umul24(0x01000002u, 3u);
    out[k++] = __double2hiint(__hiloint2double(0x40080000, 7)) + (long long)__double2loint(__hiloint2double(0x40080000, 7)) * 0x100000000ll;
    out[k++] = (long long)__hiloint2double(0x40080000, 0);
    out[k++] = __float_as_int(__int_as_float(0x3f800000)) + (long long)__int_as_float(0x40400000);
    out[k++] = __double_as_longlong(__longlong_as_double(0x4000000000000000ll));
    out[k++] = min(-1, 2u);
    out[k++] = max(-1, 2);
    out[k++] = (long long)(min(1.5f, 2.5) * 2 + max(1.5, -2.0f) * 4);
    out[k++] = (long long)(__fmaf_rn(2.0f, 3.0f, 1.0f) + __fma_rn(2.0, 3.0, 1.0) + __fadd_rn(1.0f, 2.0f) +
                           __fmul_rn(2.0f, 2.0f) + __dadd_rn(1.0, 1.0) + __dmul_rn(3.0, 3.0));
    out[k++] = __float2int_rn(rsqrtf(4.0f) * 8) + __double2int_rn(rsqrt(16.0) * 8) +
               __float2int_rn(__fdividef(9.0f, 3.0f));
    out[k++] = __float2int_rn(__int2float_rn(7) + __uint2float_rn(8u)) + (long long)__int2double_rn(-5);
    out[k++] = std::is_same<decltype(sqrt(2.0f)), float>::value + 2 * std::is_same<decltype(expf(1.0f)), float>::value;
}

int clampi(int v, int lo, int hi) { return std::min(std::max(v, lo), hi); }

}  // namespace

class Model : public testenv::DeviceTest {};

TEST_F(Model, BarriersExchangeThroughStaticSharedMemory) {
    const dim3 shapes[] = {dim3(1), dim3(31), dim3(32), dim3(33), dim3(256), dim3(1024),
                           dim3(8, 4, 2), dim3(3, 5, 7)};
    for (dim3 b : shapes) {
        unsigned n = b.x * b.y * b.z, blocks = 64;
        std::vector<int> in(n * blocks);
        std::iota(in.begin(), in.end(), 7);
        int *din = to_device(in), *dout = device_alloc<int>(in.size()), *dsum = device_alloc<int>(blocks);
        ASSERT_EQ(dev::launch(reverse_and_sum, dim3(blocks), b, 0, din, dout, dsum), 0);
        ASSERT_EQ(dev::synchronize(), 0);
        std::vector<int> out = from_device(dout, in.size()), sums = from_device(dsum, blocks);
        for (unsigned k = 0; k < blocks; ++k) {
            for (unsigned t = 0; t < n; ++t)
                ASSERT_EQ(out[k * n + t], in[k * n + n - 1 - t]) << "block " << k << " thread " << t << " of " << n;
            ASSERT_EQ(sums[k], std::accumulate(in.begin() + k * n, in.begin() + (k + 1) * n, 0)) << n;
        }
        device_free(din);
        device_free(dout);
        device_free(dsum);
    }
}

TEST_F(Model, DynamicSharedMemoryBelongsToItsBlock) {
    for (unsigned threads : {1u, 64u, 1000u}) {
        int *wrong = to_device(std::vector<int>{0});
        ASSERT_EQ(dev::launch(tag_dynamic_shared, dim3(512), dim3(threads), threads * sizeof(int), wrong), 0);
        ASSERT_EQ(dev::synchronize(), 0);
        EXPECT_EQ(from_device(wrong, 1)[0], 0) << threads;
        device_free(wrong);
    }
}

TEST_F(Model, LaunchLimits) {
    struct row {
        dim3 grid, block;
        size_t shared;
        int code;
        bool sim_only;  // a code a GPU's runtime need not give for it
    };
    const row rows[] = {
        {dim3(65535), dim3(1), 0, 0, false},
        {dim3(65536), dim3(1), 0, 0, false},  // capability 3.0 and later: x up to 2^31-1
        {dim3(1, 65535), dim3(1), 0, 0, false},
        {dim3(1, 65536), dim3(1), 0, 9, false},
        {dim3(1, 1, 65536), dim3(1), 0, 9, false},
        {dim3(1), dim3(1024), 0, 0, false},
        {dim3(1), dim3(1025), 0, 9, false},
        {dim3(1), dim3(1, 1024), 0, 0, false},
        {dim3(1), dim3(1, 1, 64), 0, 0, false},
        {dim3(1), dim3(1, 1, 65), 0, 9, false},
        {dim3(1), dim3(32, 32, 2), 0, 9, false},
        {dim3(1), dim3(32), 48 * 1024, 0, false},
        {dim3(1), dim3(32), 48 * 1024 + 1, 9, true},
        {dim3(0), dim3(32), 0, 9, false},
        {dim3(4, 0), dim3(32), 0, 9, false},
        {dim3(1), dim3(0), 0, 9, false},
        {dim3(1), dim3(32, 1, 0), 0, 9, false},
    };
    int *runs = to_device(std::vector<int>{0});
    int expected_runs = 0;
    for (const row &r : rows) {
        if (r.sim_only && !testenv::sim_backend) continue;
        SCOPED_TRACE(testing::Message() << "grid " << r.grid.x << "," << r.grid.y << "," << r.grid.z << " block "
                                        << r.block.x << "," << r.block.y << "," << r.block.z << " shared " << r.shared);
        EXPECT_EQ(dev::launch(count_runs, r.grid, r.block, r.shared, runs), r.code);
        EXPECT_EQ(dev::peek_last_error(), r.code);
        EXPECT_EQ(dev::get_last_error(), r.code);
        EXPECT_EQ(dev::get_last_error(), 0);
        EXPECT_EQ(dev::synchronize(), 0);
        expected_runs += r.code == 0;
    }
    EXPECT_EQ(from_device(runs, 1)[0], expected_runs);
    device_free(runs);
}

TEST_F(Model, WarpShufflesAndVotes) {
    const unsigned n = 64;
    int *d = device_alloc<int>(n * n_warp_results);
    ASSERT_EQ(dev::launch(warp_ops, dim3(1), dim3(16, 4), 0, d), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<int> out = from_device(d, n * n_warp_results);
    auto v = [](unsigned t) { return int(t * 7 + 1); };
    for (unsigned t = 0; t < n; ++t) {
        unsigned lane = t % 32, w = t - lane;
        unsigned ballot = 0, sum = 0;
        bool any = false, all = true;
        for (unsigned l = 0; l < 32; ++l) {
            ballot |= unsigned((w + l) % 3 == 0) << l;
            any |= w + l == 37;
            all &= w + l < 40;
            sum += unsigned(v(w + l));
        }
        const int expect[n_warp_results] = {
            v(w + 3),
            lane >= 1 ? v(t - 1) : v(t),
            lane + 2 < 32 ? v(t + 2) : v(t),
            v(t ^ 1),
            v(w + (lane / 16) * 16 + 21 % 16),
            lane < 16 ? v(t) : v(t - 16),
            lane % 8 + 1 < 8 ? v(t + 1) : v(t),
            int(ballot),
            any * 10 + all,
            int(sum) + (2 * v(w + (lane ^ 5)) + 1) * 1000,
        };
        for (int k = 0; k < n_warp_results; ++k)
            EXPECT_EQ(out[t * n_warp_results + k], expect[k]) << "thread " << t << " result " << k;
    }
    device_free(d);
}

TEST_F(Model, VotesInAPartialWarp) {
    const unsigned n = 48;
    unsigned *d = device_alloc<unsigned>(n * 3);
    ASSERT_EQ(dev::launch(partial_warp_votes, dim3(1), dim3(n), 0, d), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<unsigned> out = from_device(d, n * 3);
    for (unsigned t = 0; t < n; ++t) {
        bool second = t >= 32;
        EXPECT_EQ(out[t * 3], second ? 0xaaaau : 0xaaaaaaaau) << t;
        EXPECT_EQ(out[t * 3 + 1], second ? 0u : 1u) << t;
        EXPECT_EQ(out[t * 3 + 2], second ? 32u : 0u) << t;
    }
    device_free(d);
}

TEST_F(Model, AtomicsAcrossParallelBlocks) {
    const int blocks = 512, threads = 256, n = blocks * threads;
    atomic_box init{};
    init.min = 1 << 30;
    init.andv = ~0u;
    atomic_box *d = to_device(std::vector<atomic_box>{init});
    ASSERT_EQ(dev::launch(atomics, dim3(blocks), dim3(threads), 0, d), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    atomic_box b = from_device(d, 1)[0];
    EXPECT_EQ(b.add, n);
    EXPECT_EQ(b.addu, 2u * n);
    EXPECT_EQ(b.addull, 3ull * n);
    EXPECT_EQ(b.addf, float(n));
    EXPECT_EQ(b.addd, 0.5 * n);
    EXPECT_EQ(b.sub, -n);
    EXPECT_EQ(b.max, n - 1);
    EXPECT_EQ(b.min, 0);
    EXPECT_EQ(b.inc, unsigned(n % 1000));
    EXPECT_EQ(b.bits, ~0u);
    EXPECT_EQ(b.andv, 0u);
    EXPECT_EQ(b.xorv, 0);  // xor of 0 .. n-1 for n a multiple of 4
    EXPECT_EQ(b.cas, n);
    EXPECT_GE(b.exch, 0);
    EXPECT_LT(b.exch, n);
    device_free(d);
}

TEST_F(Model, TextureOffsetsAndClamping) {
    ASSERT_EQ(dev::texture_alignment() % 256, 0u);
    const int total = 256;
    std::vector<float> hf(total);
    std::iota(hf.begin(), hf.end(), 100.0f);
    float *df = to_device(hf), *outf = device_alloc<float>(32);
    struct row { int skip, count, first; };
    for (row r : {row{3, 10, -5}, row{0, 16, -2}, row{130, 5, -3}}) {
        size_t off = 99;
        ASSERT_EQ(dev::bind_texture(&off, tex_f, df + r.skip, r.count * sizeof(float)), 0);
        size_t base = (reinterpret_cast<uintptr_t>(df + r.skip) & ~uintptr_t(dev::texture_alignment() - 1)) -
                      reinterpret_cast<uintptr_t>(df);
        ASSERT_EQ(off, r.skip * sizeof(float) - base);
        int shift = int(off / sizeof(float)), base_el = int(base / sizeof(float)), last = shift + r.count - 1;
        ASSERT_EQ(dev::launch(fetch_f, dim3(1), dim3(32), 0, outf, shift + r.first), 0);
        ASSERT_EQ(dev::synchronize(), 0);
        std::vector<float> out = from_device(outf, 32);
        for (int i = 0; i < 32; ++i)
            EXPECT_EQ(out[i], hf[base_el + clampi(shift + r.first + i, 0, last)]) << "skip " << r.skip << " i " << i;
        EXPECT_EQ(dev::unbind_texture(tex_f), 0);
    }

    std::vector<double> hd(40);
    std::vector<double2> hz(40);
    for (int i = 0; i < 40; ++i) hd[i] = 0.25 + i, hz[i] = make_double2(i, -i - 0.5);
    double *dd = to_device(hd), *outd = device_alloc<double>(16);
    double2 *dz = to_device(hz), *outz = device_alloc<double2>(16);
    size_t off = 0;
    ASSERT_EQ(dev::bind_texture(&off, tex_d, dd + 1, 5 * sizeof(double)), 0);
    ASSERT_EQ(off, sizeof(double));
    ASSERT_EQ(dev::launch(fetch_d, dim3(1), dim3(16), 0, outd, int(off / sizeof(double)) - 3), 0);
    ASSERT_EQ(dev::bind_texture(&off, tex_z, dz + 2, 3 * sizeof(double2)), 0);
    ASSERT_EQ(off, 2 * sizeof(double2));
    ASSERT_EQ(dev::launch(fetch_z, dim3(1), dim3(16), 0, outz, int(off / sizeof(double2)) - 4), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<double> od = from_device(outd, 16);
    std::vector<double2> oz = from_device(outz, 16);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(od[i], hd[clampi(i - 2, 0, 5)]) << i;
        EXPECT_EQ(oz[i].x, hz[clampi(i - 2, 0, 4)].x) << i;
        EXPECT_EQ(oz[i].y, hz[clampi(i - 2, 0, 4)].y) << i;
    }
    EXPECT_EQ(dev::unbind_texture(tex_d), 0);
    EXPECT_EQ(dev::unbind_texture(tex_z), 0);
    for (void *p : {(void *)df, (void *)outf, (void *)dd, (void *)outd, (void *)dz, (void *)outz}) device_free(p);
}

TEST_F(Model, TextureElementLimit) {
    const size_t limit = dev::max_texture_elements;
    float *d = device_alloc<float>(limit + 1);
    size_t off = 0;
    EXPECT_EQ(dev::bind_texture(&off, tex_f, d, (limit + 1) * sizeof(float)), dev::err_invalid_value);
    EXPECT_EQ(dev::get_last_error(), dev::err_invalid_value);
    EXPECT_EQ(dev::bind_texture(&off, tex_f, d, limit * sizeof(float)), 0);
    EXPECT_EQ(dev::get_last_error(), 0);
    EXPECT_EQ(dev::unbind_texture(tex_f), 0);
    device_free(d);
}

// A binding must lie inside one allocation: fetches through a texture are not
// bounds-checked by the device, so a wrong size would read whatever follows.
TEST_F(Model, TextureRangeInsideOneAllocation) {
    float *d = device_alloc<float>(64);
    float host[64] = {};
    struct row {
        const char *what;
        const void *ptr;
        size_t bytes;
        int result;
    };
    const row rows[] = {
        {"the whole allocation", d, 64 * sizeof(float), 0},
        {"its last element", d + 63, sizeof(float), 0},
        {"one byte past the end", d, 64 * sizeof(float) + 1, dev::err_invalid_value},
        {"from inside to past the end", d + 60, 8 * sizeof(float), dev::err_invalid_value},
        {"host memory", host, sizeof host, dev::err_invalid_value},
    };
    for (const row &r : rows) {
        size_t off = 0;
        EXPECT_EQ(dev::bind_texture(&off, tex_f, r.ptr, r.bytes), r.result) << r.what;
        EXPECT_EQ(dev::get_last_error(), r.result) << r.what;
    }
    EXPECT_EQ(dev::unbind_texture(tex_f), 0);
    device_free(d);
}

TEST_F(Model, CopiesToASymbolAtAnOffset) {
    const int zero[4] = {0, 0, 0, 0}, two[2] = {41, 42};
    ASSERT_EQ(dev::memcpy_to_symbol(symbol_values, zero, sizeof zero), 0);
    ASSERT_EQ(dev::memcpy_to_symbol(symbol_values, two, sizeof two, sizeof(int)), 0);
    int *d = device_alloc<int>(4);
    ASSERT_EQ(dev::launch(read_symbol, dim3(1), dim3(4), 0, d), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    EXPECT_EQ(from_device(d, 4), (std::vector<int>{0, 41, 42, 0}));
    device_free(d);
}

TEST_F(Model, MappedPinnedMemoryAndMemsets) {
    void *host = nullptr;
    ASSERT_EQ(dev::drv_mem_host_alloc(&host, 64 * sizeof(int), dev::host_alloc_devicemap), 0);
    dev::dptr mapped = 0;
    ASSERT_EQ(dev::drv_mem_host_get_device_pointer(&mapped, host), 0);
    ASSERT_EQ(dev::drv_memset_d32(mapped, 7u, 64), 0);
    ASSERT_EQ(dev::launch(write_mapped, dim3(1), dim3(32), 0, reinterpret_cast<int *>(mapped)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    const int *h = static_cast<const int *>(host);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(h[i], i < 32 ? i * 3 : 7) << i;
    EXPECT_EQ(dev::drv_mem_free_host(host), 0);

    unsigned char *d = device_alloc<unsigned char>(100);
    ASSERT_EQ(dev::drv_memset_d8(dev::dptr(reinterpret_cast<uintptr_t>(d)), 0xab, 100), 0);
    ASSERT_EQ(dev::drv_memset_d32(dev::dptr(reinterpret_cast<uintptr_t>(d)), 0x01020304u, 24), 0);
    std::vector<unsigned char> bytes = from_device(d, 100);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(bytes[i], i < 96 ? 4 - i % 4 : 0xab) << i;
    device_free(d);
}

TEST_F(Model, IntrinsicsAtTheirEdges) {
    const long long expect[] = {
        2, -4, -2, INT_MAX, INT_MIN, 0, UINT_MAX, 4 + 0 + 2, 0 * 100 + 4, 8, 31 * 100 + 32, 0x80000000ll,
        3, -3, 6, 0x40080000 + 7 * 0x100000000ll, 3, 0x3f800000 + 3, 0x4000000000000000ll,
        2, 2, 3 + 6, 7 + 7 + 3 + 4 + 2 + 9, 4 + 2 + 3, 15 - 5, 3,
    };
    const size_t n = sizeof(expect) / sizeof(expect[0]);
    long long *d = testenv::device_alloc<long long>(n);
    ASSERT_EQ(dev::launch(intrinsics, dim3(1), dim3(1), 0, d), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<long long> out = from_device(d, n);
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(out[i], expect[i]) << "entry " << i;
    device_free(d);
}

// ------------------------------------------------------------ cuBLAS

namespace {

using cd = std::complex<double>;
inline cd val(float v) { return v; }
inline cd val(double v) { return v; }
inline cd val(float2 v) { return cd(v.x, v.y); }
inline cd val(double2 v) { return cd(v.x, v.y); }
template <typename S> S make(cd v);
template <> float make<float>(cd v) { return float(v.real()); }
template <> double make<double>(cd v) { return v.real(); }
template <> float2 make<float2>(cd v) { return make_float2(float(v.real()), float(v.imag())); }
template <> double2 make<double2>(cd v) { return make_double2(v.real(), v.imag()); }

// Small integers, so that every product and sum is exact in single precision.
template <typename S>
std::vector<S> sample(size_t n, int seed) {
    std::vector<S> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = make<S>(cd(int((i * 7 + seed * 3) % 9) - 4, std::is_arithmetic<S>::value ? 0 : int((i * 5 + seed) % 7) - 3));
    return v;
}

// Element (r, c) of op(M) for a column-major M with leading dimension ld.
template <typename S>
cd op_at(const std::vector<S> &m, int ld, char op, int r, int c) {
    cd v = op == 'N' ? val(m[size_t(c) * ld + r]) : val(m[size_t(r) * ld + c]);
    return op == 'C' ? std::conj(v) : v;
}

template <typename S>
using gemm_fn = void (*)(char, char, int, int, int, S, const S *, int, const S *, int, S, S *, int);
template <typename S>
using gemv_fn = void (*)(char, int, int, S, const S *, int, const S *, int, S, S *, int);

template <typename S>
void check_gemm(gemm_fn<S> gemm) {
    const int m = 3, n = 2, k = 4;
    const S alpha = make<S>(cd(2, 1)), beta = make<S>(cd(-1, 2));
    for (char ta : {'N', 'T', 'C'})
        for (char tb : {'N', 'T', 'C'}) {
            int lda = (ta == 'N' ? m : k) + 1, ldb = (tb == 'N' ? k : n) + 2, ldc = m + 1;
            std::vector<S> a = sample<S>(size_t(lda) * (ta == 'N' ? k : m), 1);
            std::vector<S> b = sample<S>(size_t(ldb) * (tb == 'N' ? n : k), 2);
            std::vector<S> c = sample<S>(size_t(ldc) * n, 3);
            S *da = to_device(a), *db = to_device(b), *dc = to_device(c);
            gemm(ta, tb, m, n, k, alpha, da, lda, db, ldb, beta, dc, ldc);
            ASSERT_EQ(dev::blas_get_error(), 0);
            std::vector<S> got = from_device(dc, c.size());
            for (int j = 0; j < n; ++j)
                for (int i = 0; i < m; ++i) {
                    cd sum = 0;
                    for (int l = 0; l < k; ++l) sum += op_at(a, lda, ta, i, l) * op_at(b, ldb, tb, l, j);
                    cd want = val(make<S>(val(alpha) * sum + val(beta) * val(c[size_t(j) * ldc + i])));
                    EXPECT_EQ(val(got[size_t(j) * ldc + i]), want) << ta << tb << " (" << i << "," << j << ")";
                }
            EXPECT_EQ(val(got[m]), val(c[m])) << "padding below the matrix";
            for (S *p : {da, db, dc}) device_free(p);
        }
}

template <typename S>
void check_gemv(gemv_fn<S> gemv) {
    const int m = 4, n = 3, lda = 5;
    const S alpha = make<S>(cd(3, -1)), beta = make<S>(cd(2, 0));
    std::vector<S> a = sample<S>(size_t(lda) * n, 4);
    for (char t : {'N', 'T', 'C'}) {
        int lx = t == 'N' ? n : m, ly = t == 'N' ? m : n;
        std::vector<S> x = sample<S>(size_t(lx) * 2, 5), y = sample<S>(size_t(ly), 6);
        S *da = to_device(a), *dx = to_device(x), *dy = to_device(y);
        gemv(t, m, n, alpha, da, lda, dx, 2, beta, dy, 1);
        ASSERT_EQ(dev::blas_get_error(), 0);
        std::vector<S> got = from_device(dy, y.size());
        for (int i = 0; i < ly; ++i) {
            cd sum = 0;
            for (int j = 0; j < lx; ++j) sum += op_at(a, lda, t, i, j) * val(x[size_t(j) * 2]);
            EXPECT_EQ(val(got[size_t(i)]), val(make<S>(val(alpha) * sum + val(beta) * val(y[size_t(i)])))) << t << i;
        }
        for (S *p : {da, dx, dy}) device_free(p);
    }
}

template <typename S, typename F>
void check_dot(F dot) {
    std::vector<S> x = sample<S>(20, 7), y = sample<S>(10, 8);
    S *dx = to_device(x), *dy = to_device(y);
    cd want = 0;
    for (int i = 0; i < 10; ++i) want += val(x[size_t(i) * 2]) * val(y[size_t(i)]);
    EXPECT_EQ(val(dot(10, dx, 2, dy, 1)), want);
    EXPECT_EQ(val(dot(0, dx, 1, dy, 1)), cd(0));
    EXPECT_EQ(dev::blas_get_error(), 0);
    device_free(dx);
    device_free(dy);
}

}  // namespace

TEST_F(Model, BlasProductsAgainstAReference) {
    check_gemm<float>(dev::blas_sgemm);
    check_gemm<double>(dev::blas_dgemm);
    check_gemm<float2>(dev::blas_cgemm);
    check_gemm<double2>(dev::blas_zgemm);
    check_gemv<float>(dev::blas_sgemv);
    check_gemv<double>(dev::blas_dgemv);
    check_gemv<double2>(dev::blas_zgemv);
    check_dot<float>(dev::blas_sdot);
    check_dot<double>(dev::blas_ddot);
    check_dot<float2>(dev::blas_cdotu);
    check_dot<double2>(dev::blas_zdotu);
}
