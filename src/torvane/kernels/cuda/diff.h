// First and second differences: the kernels' record, the 18 kernels of each
// precision from one table, the index rules they follow and the texture
// bindings of each precision.
#pragma once

#include "arrays.h"

namespace differences {

// Addresses are 64-bit; the fields keep their order (byte offsets: out 0,
// n 8, off 12, a 16, b 20; 24 bytes).
struct param_t {
    void *out;
    int n;         // outputs
    unsigned off;  // element offset of the input within its texture binding
    int a, b;      // shape parameters of the kernel's index rule
};

using kernel_fn = void (*)(param_t);

// How a kernel finds the first input element k of output i, and the step s
// between the elements it combines (order o):
enum class rule {
    vector,   // k = i, s = 1
    column,   // k = i + o*(i / (a - o)), s = 1
    column_f, // the same through a single-precision reciprocal
    stride,   // k = i, s = a
    page,     // k = i + o*a*(i / b), s = a
    page_f,   // the same through a single-precision reciprocal
};

// The kernels of a precision, in table order: X(F, name, rule, order), F
// being the precision's texture fetch.
#define TV_DIFF_KERNELS(X, F)        \
    X(F, 1D, vector, 1)              \
    X(F, 1D_2ND, vector, 2)          \
    X(F, 2D_D0, column, 1)           \
    X(F, 2D_D0_2ND, column, 2)       \
    X(F, 2D_D0f, column_f, 1)        \
    X(F, 2D_D0f_2ND, column_f, 2)    \
    X(F, 2D_D1, stride, 1)           \
    X(F, 2D_D1_2ND, stride, 2)       \
    X(F, 3D_D0, column, 1)           \
    X(F, 3D_D0_2ND, column, 2)       \
    X(F, 3D_D0f, column_f, 1)        \
    X(F, 3D_D0f_2ND, column_f, 2)    \
    X(F, 3D_D1, page, 1)             \
    X(F, 3D_D1f, page_f, 1)          \
    X(F, 3D_D1_2ND, page, 2)         \
    X(F, 3D_D1f_2ND, page_f, 2)      \
    X(F, 3D_D2, stride, 1)           \
    X(F, 3D_D2_2ND, stride, 2)

#define TV_DIFF_SLOT(F, name, rule, order) k_##name,
enum slot : unsigned { TV_DIFF_KERNELS(TV_DIFF_SLOT, _) slot_count };
#undef TV_DIFF_SLOT

extern const std::array<kernel_fn, slot_count> diff_64_fn;
extern const std::array<kernel_fn, slot_count> diff_32_fn;

// Bind `bytes` bytes at `ptr` to the precision's texture and store the
// element offset of `ptr` within the binding: 0, or 7 with *offset untouched.
pkrError bind_double(const void *ptr, size_t bytes, unsigned *offset);
pkrError bind_single(const void *ptr, size_t bytes, unsigned *offset);
// 0, or 7 when the binding could not be undone.
pkrError unbind_double();
pkrError unbind_single();

}  // namespace differences

namespace {

// Quotients by 0 are 0, on every device: an output count that the input's
// shape does not give can leave a divisor of 0.
__device__ inline unsigned quotient(unsigned i, unsigned d) { return d != 0 ? i / d : 0; }

// i / d through the single-precision reciprocal of d. The rounded product
// can fall just short of an integer quotient (41 * (1/41) = 0.99999994), so
// one correction step makes it exact: for the i < 2^20 of these kernels it is
// off by less than one.
__device__ inline unsigned quotient_f(unsigned i, unsigned d) {
    if (d == 0) return 0;
    const float r = __fdiv_rn(1.0f, __uint2float_rn(d));
    unsigned q = __float2uint_rz(__fmul_rn(__uint2float_rn(i), r));
    if (q * d > i)
        --q;
    else if ((q + 1) * d <= i)
        ++q;
    return q;
}

template <differences::rule R, unsigned o>
__device__ inline void locate(unsigned i, const differences::param_t &p, unsigned &k, unsigned &s) {
    using differences::rule;
    const unsigned a = unsigned(p.a), b = unsigned(p.b);
    k = i;
    s = 1;
    if constexpr (R == rule::column) k = i + o * quotient(i, a - o);
    if constexpr (R == rule::column_f) k = i + o * quotient_f(i, a - o);
    if constexpr (R == rule::stride || R == rule::page || R == rule::page_f) s = a;
    if constexpr (R == rule::page) k = i + o * a * quotient(i, b);
    if constexpr (R == rule::page_f) k = i + o * a * quotient_f(i, b);
}

// out[i] = x[k + s] - x[k], or ((x[k + 2s] + x[k]) - x[k + s]) - x[k + s],
// in the element type and in that order.
template <class Fetch, differences::rule R, unsigned o>
__device__ void difference(const differences::param_t &p) {
    using T = typename Fetch::value_type;
    const unsigned i = __umul24(blockIdx.x, 256u) + threadIdx.x;
    if (i >= unsigned(p.n)) return;
    unsigned k, s;
    locate<R, o>(i, p, k, s);
    const unsigned t = p.off + k;
    const T x0 = Fetch::get(t), x1 = Fetch::get(t + s);
    T v;
    if constexpr (o == 1) {
        v = x1 - x0;
    } else {
        const T x2 = Fetch::get(t + 2 * s);
        v = ((x2 + x0) - x1) - x1;
    }
    static_cast<T *>(p.out)[i] = v;
}

}  // namespace

// A device file's kernels, table and bindings over its texture `tex` of
// texels `Texel`, read as elements T by texel_value.
#define TV_DIFF_KERNEL(F, name, R, order)                                 \
    __global__ void diff_kernel_##name(differences::param_t p) {          \
        difference<F, differences::rule::R, order>(p);                    \
    }
#define TV_DIFF_ADDRESS(F, name, R, order) &diff_kernel_##name,
#define TV_DIFF_PRECISION(T, Texel, tex, table, bind, unbind)                                 \
    namespace {                                                                               \
    DEV_TEXTURE(Texel, tex);                                                                  \
    struct tex##_fetch {                                                                      \
        using value_type = T;                                                                 \
        __device__ static __forceinline__ T get(unsigned t) {                                 \
            return differences::texel_value(DEV_TEX_FETCH(tex, int(t)));                      \
        }                                                                                     \
    };                                                                                        \
    TV_DIFF_KERNELS(TV_DIFF_KERNEL, tex##_fetch)                                              \
    }                                                                                         \
    const std::array<differences::kernel_fn, differences::slot_count> differences::table = { \
        {TV_DIFF_KERNELS(TV_DIFF_ADDRESS, _)}};                                               \
    pkrError differences::bind(const void *ptr, size_t bytes, unsigned *offset) {             \
        size_t off = 0;                                                                       \
        if (dev::bind_texture(&off, tex, ptr, bytes)) return 7;                               \
        *offset = unsigned(off / sizeof(T));                                                  \
        return 0;                                                                             \
    }                                                                                         \
    pkrError differences::unbind() { return dev::unbind_texture(tex) ? 7 : 0; }

namespace differences {
DEV_HOSTDEV inline float texel_value(float v) { return v; }
DEV_HOSTDEV inline double texel_value(int2 v) { return dev::texel_double(v); }
}  // namespace differences
