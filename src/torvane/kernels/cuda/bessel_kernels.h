// The Bessel kernels: one thread per element over a grid that may be folded
// into rows of 8192 blocks of 128 threads.
//
//   TV_BESSEL_TABLE(besselk, 64, double, double2)   // in besselk_double.cu
#pragma once

#include "bessel_fn.h"
#include "bessel_values.h"

#include <type_traits>

namespace bessel {

// The element of this thread, or n and beyond past the last.
__device__ inline unsigned long long element() {
    return ((unsigned long long)blockIdx.x * gridDim.y + blockIdx.y) * 128ull + threadIdx.x;
}

template <class T, class C>
__device__ inline C to_vec(cx<T> v) {
    C r;
    r.x = v.re;
    r.y = v.im;
    return r;
}
template <class T, class C>
__device__ inline cx<T> from_vec(C v) {
    return mk(T(v.x), T(v.y));
}

// out[i] = f(in[i]) for this thread's element.
template <class Out, class In, class F>
__device__ inline void each(void *out, const void *in, unsigned n, F f) {
    const unsigned long long i = element();
    if (i < n) static_cast<Out *>(out)[i] = f(static_cast<const In *>(in)[i]);
}
// A complex function of the kernel's precision over vector elements.
template <class T, class C, class F>
__device__ inline void each_cplx(void *out, const void *in, unsigned n, F f) {
    each<C, C>(out, in, n, [=](C z) { return to_vec<T, C>(f(from_vec<T>(z))); });
}

template <class T>
__global__ void besselj_real(param_t p) {
    each<T, T>(p.out, p.in, p.n, [=](T x) { return j_real(T(p.nu), x); });
}
template <class T, class C>
__global__ void besselj_cplx(param_t p) {
    each_cplx<T, C>(p.out, p.in, p.n, [=](cx<T> z) { return jyh_complex(T(p.nu), z, want_j).j; });
}
template <class T>
__global__ void bessely_real(void *out, const void *in, T nu, unsigned n) {
    each<T, T>(out, in, n, [=](T x) { return y_real(nu, x); });
}
template <class T, class C>
__global__ void bessely_cplx(void *out, const void *in, T nu, unsigned n) {
    each_cplx<T, C>(out, in, n, [=](cx<T> z) { return jyh_complex(nu, z, want_y).y; });
}
template <class T>
__global__ void besseli_real(void *out, const void *in, T nu, unsigned n) {
    each<T, T>(out, in, n, [=](T x) { return i_real(nu, x); });
}
template <class T, class C>
__global__ void besseli_cplx(void *out, const void *in, T nu, unsigned n) {
    each_cplx<T, C>(out, in, n, [=](cx<T> z) { return ik_complex(nu, z, true, false).i; });
}
template <class T>
__global__ void besselk_real(void *out, const void *in, T nu, unsigned n) {
    each<T, T>(out, in, n, [=](T x) { return k_real(nu, x); });
}
template <class T, class C>
__global__ void besselk_cplx(void *out, const void *in, T nu, unsigned n) {
    each_cplx<T, C>(out, in, n, [=](cx<T> z) { return ik_complex(nu, z, false, true).k; });
}
// Kind 1 gives H1, every other kind H2.
template <class T, class C>
__global__ void besselh_real(void *out, const void *in, T nu, unsigned k, unsigned n) {
    each<C, T>(out, in, n, [=](T x) { return to_vec<T, C>(h_real(nu, x, k == 1)); });
}
template <class T, class C>
__global__ void besselh_cplx(void *out, const void *in, T nu, unsigned k, unsigned n) {
    each_cplx<T, C>(out, in, n, [=](cx<T> z) {
        const jyh_set<T> s = jyh_complex(nu, z, k == 1 ? want_h1 : want_h2);
        return k == 1 ? s.h1 : s.h2;
    });
}

}  // namespace bessel

// The table of one function and precision; H's kernels take the complex
// result type in both slots.
#define TV_BESSEL_TABLE(fn, bits, T, C)                                                \
    namespace bessel {                                                                 \
    extern const std::decay_t<decltype(fn##_##bits##_fn[0])> fn##_##bits##_fn[2] = {                  \
        &fn##_real<TV_BESSEL_REAL_ARGS_##fn(T, C)>, &fn##_cplx<T, C>};                  \
    }
#define TV_BESSEL_REAL_ARGS_besselh(T, C) T, C
#define TV_BESSEL_REAL_ARGS_besseli(T, C) T
#define TV_BESSEL_REAL_ARGS_besselj(T, C) T
#define TV_BESSEL_REAL_ARGS_besselk(T, C) T
#define TV_BESSEL_REAL_ARGS_bessely(T, C) T
