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

// How an element type differences and halves, in its working type W.
template <class T>
struct arithmetic;
template <>
struct arithmetic<float> {
    using W = float;
    DEV_HOSTDEV static W load(float v) { return v; }
    DEV_HOSTDEV static float store(W v) { return v; }
    DEV_HOSTDEV static W zero() { return 0.0f; }
    DEV_HOSTDEV static W diff(W a, W b) { return a - b; }
    // Its own multiply, so that nothing fuses it with the difference.
    __device__ static W half(W d) { return __fmul_rn(d, 0.5f); }
};
template <>
struct arithmetic<double> {
    using W = double;
    DEV_HOSTDEV static W load(double v) { return v; }
    DEV_HOSTDEV static double store(W v) { return v; }
    DEV_HOSTDEV static W zero() { return 0.0; }
    DEV_HOSTDEV static W diff(W a, W b) { return a - b; }
    __device__ static W half(W d) { return __dmul_rn(d, 0.5); }
};
// Wrapping differences, taken in unsigned arithmetic (signed overflow is
// undefined); halves truncated toward zero.
template <>
struct arithmetic<int> {
    using W = int;
    DEV_HOSTDEV static W load(int v) { return v; }
    DEV_HOSTDEV static int store(W v) { return v; }
    DEV_HOSTDEV static W zero() { return 0; }
    DEV_HOSTDEV static W diff(W a, W b) { return int(unsigned(a) - unsigned(b)); }
    DEV_HOSTDEV static W half(W d) { return d / 2; }
};
template <>
struct arithmetic<unsigned> {
    using W = unsigned;
    DEV_HOSTDEV static W load(unsigned v) { return v; }
    DEV_HOSTDEV static unsigned store(W v) { return v; }
    DEV_HOSTDEV static W zero() { return 0u; }
    DEV_HOSTDEV static W diff(W a, W b) { return a - b; }
    DEV_HOSTDEV static W half(W d) { return d >> 1; }
};
// Any nonzero byte is 1; the int rule then gives -1, 0 or 1, and the result
// is true where that is nonzero.
template <>
struct arithmetic<arrays::logical> {
    using W = int;
    DEV_HOSTDEV static W load(arrays::logical v) { return v != 0; }
    DEV_HOSTDEV static arrays::logical store(W v) { return v != 0; }
    DEV_HOSTDEV static W zero() { return 0; }
    DEV_HOSTDEV static W diff(W a, W b) { return a - b; }
    DEV_HOSTDEV static W half(W d) { return d / 2; }
};

}  // namespace gradients

namespace {

// Each block stages its 16 x 16 elements and a halo of one in shared memory,
// [x][y] with x along i: the block at 1..16, the halo at 0 and 17 (corners
// unused). A thread reads only neighbours that lie in the array, and an
// extent of 1 has derivative 0 along it.
template <class T>
__global__ void gradient(gradients::param_t p) {
    using A = gradients::arithmetic<T>;
    using W = typename A::W;
    __shared__ W tile[18][18];
    const unsigned tx = threadIdx.x, ty = threadIdx.y;
    const uint64_t i = uint64_t(blockIdx.x) * 16 + tx, j = uint64_t(blockIdx.y) * 16 + ty;
    const uint64_t m = p.m, n = p.n;
    const T *in = static_cast<const T *>(p.in);
    const bool inside = i < m && j < n;
    if (inside) {
        tile[tx + 1][ty + 1] = A::load(in[i * n + j]);
        if (tx == 0 && i != 0)
            tile[0][ty + 1] = A::load(in[(i - 1) * n + j]);
        else if (tx == 15 && i != m - 1)
            tile[17][ty + 1] = A::load(in[(i + 1) * n + j]);
        if (ty == 0 && j != 0)
            tile[tx + 1][0] = A::load(in[i * n + j - 1]);
        else if (ty == 15 && j != n - 1)
            tile[tx + 1][17] = A::load(in[i * n + j + 1]);
    }
    __syncthreads();
    if (!inside) return;
    const W c = tile[tx + 1][ty + 1];
    W slow, fast;
    if (m == 1)
        slow = A::zero();
    else if (i == 0)
        slow = A::diff(tile[tx + 2][ty + 1], c);
    else if (i == m - 1)
        slow = A::diff(c, tile[tx][ty + 1]);
    else
        slow = A::half(A::diff(tile[tx + 2][ty + 1], tile[tx][ty + 1]));
    if (n == 1)
        fast = A::zero();
    else if (j == 0)
        fast = A::diff(tile[tx + 1][ty + 2], c);
    else if (j == n - 1)
        fast = A::diff(c, tile[tx + 1][ty]);
    else
        fast = A::half(A::diff(tile[tx + 1][ty + 2], tile[tx + 1][ty]));
    static_cast<T *>(p.dslow)[i * n + j] = A::store(slow);
    static_cast<T *>(p.dfast)[i * n + j] = A::store(fast);
}

template <class T>
struct gradient_slot {
    static gradients::kernel_fn get() { return &gradient<T>; }
};

}  // namespace
