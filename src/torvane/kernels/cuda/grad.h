// Two-dimensional gradients: the kernels' record, the kernel tables, the
// arithmetic of each element type and the kernel template.
#pragma once

#include "arrays.h"

namespace gradients {

// Addresses are 64-bit; the fields keep their order (byte offsets: dslow 0,
// dfast 8, in 16, m 24, n 28; 32 bytes).
struct param_t {
    void *dslow, *dfast;
    const void *in;
    unsigned m, n;  // element (i, j) at i*n + j
};

using kernel_fn = void (*)(param_t);

using double_elements = arrays::type_list<double>;
using single_elements = arrays::type_list<arrays::logical, unsigned, int, float>;

extern const std::array<kernel_fn, double_elements::size> gradient_64_fn;
extern const std::array<kernel_fn, single_elements::size> gradient_32_fn;

// What the kernel holds of an element: the element itself, or for logical
// input 1 for any nonzero byte (its result is true where nonzero).
template <class T>
struct working {
    using W = T;
    DEV_HOSTDEV static W load(T v) { return v; }
    DEV_HOSTDEV static T store(W v) { return v; }
};
template <>
struct working<arrays::logical> {
    using W = int;
    DEV_HOSTDEV static W load(arrays::logical v) { return v != 0; }
    DEV_HOSTDEV static arrays::logical store(W v) { return v != 0; }
};

// Differences: in the element type; int wraps, taken in unsigned arithmetic
// (signed overflow is undefined).
template <class W>
DEV_HOSTDEV inline W delta(W a, W b) {
    return a - b;
}
DEV_HOSTDEV inline int delta(int a, int b) { return int(unsigned(a) - unsigned(b)); }
// Halves: own multiplies for the reals, so that nothing fuses them with the
// difference; int truncates toward zero, unsigned shifts.
__device__ inline float halve(float d) { return __fmul_rn(d, 0.5f); }
__device__ inline double halve(double d) { return __dmul_rn(d, 0.5); }
DEV_HOSTDEV inline int halve(int d) { return d / 2; }
DEV_HOSTDEV inline unsigned halve(unsigned d) { return d >> 1; }

}  // namespace gradients

namespace {

// Each block stages its 16 x 16 elements and a halo of one in shared memory,
// [x][y] with x along i: the block at 1..16, the halo at 0 and 17 (corners
// unused). A thread reads only neighbours that lie in the array, and an
// extent of 1 has derivative 0 along it.
template <class T>
__global__ void gradient(gradients::param_t p) {
    using namespace gradients;
    using A = working<T>;
    using W = typename A::W;
    __shared__ W tile[18][18];
    // Within a block a warp runs along j, so that it reads and writes
    // consecutive elements.
    const unsigned ti = threadIdx.y, tj = threadIdx.x;
    const uint64_t i = uint64_t(blockIdx.x) * 16 + ti, j = uint64_t(blockIdx.y) * 16 + tj;
    const uint64_t m = p.m, n = p.n;
    const T *in = static_cast<const T *>(p.in);
    const bool inside = i < m && j < n;
    if (inside) {
        tile[ti + 1][tj + 1] = A::load(in[i * n + j]);
        if (ti == 0 && i != 0)
            tile[0][tj + 1] = A::load(in[(i - 1) * n + j]);
        else if (ti == 15 && i != m - 1)
            tile[17][tj + 1] = A::load(in[(i + 1) * n + j]);
        if (tj == 0 && j != 0)
            tile[ti + 1][0] = A::load(in[i * n + j - 1]);
        else if (tj == 15 && j != n - 1)
            tile[ti + 1][17] = A::load(in[i * n + j + 1]);
    }
    __syncthreads();
    if (!inside) return;
    const W c = tile[ti + 1][tj + 1];
    W slow, fast;
    if (m == 1)
        slow = W(0);
    else if (i == 0)
        slow = delta(tile[ti + 2][tj + 1], c);
    else if (i == m - 1)
        slow = delta(c, tile[ti][tj + 1]);
    else
        slow = halve(delta(tile[ti + 2][tj + 1], tile[ti][tj + 1]));
    if (n == 1)
        fast = W(0);
    else if (j == 0)
        fast = delta(tile[ti + 1][tj + 2], c);
    else if (j == n - 1)
        fast = delta(c, tile[ti + 1][tj]);
    else
        fast = halve(delta(tile[ti + 1][tj + 2], tile[ti + 1][tj]));
    static_cast<T *>(p.dslow)[i * n + j] = A::store(slow);
    static_cast<T *>(p.dfast)[i * n + j] = A::store(fast);
}

template <class T>
struct gradient_slot {
    static gradients::kernel_fn get() { return &gradient<T>; }
};

}  // namespace
