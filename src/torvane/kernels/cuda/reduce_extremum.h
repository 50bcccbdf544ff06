// What max and min put into the reduction frame, with and without positions:
// the start values, the comparisons and the complex magnitude. Kernels and
// the host finish share every line here, and each operation that decides a
// comparison rounds to nearest on its own (no fused multiply-add), so that
// both backends and the host agree bit for bit.
#pragma once

#include "reduce_frame.h"

#include <cmath>

namespace reduce {

// Arithmetic rounded once per operation, on the device and on the host.
namespace rn {
#if defined(__CUDA_ARCH__)
__device__ inline float add(float a, float b) { return __fadd_rn(a, b); }
__device__ inline double add(double a, double b) { return __dadd_rn(a, b); }
__device__ inline float mul(float a, float b) { return __fmul_rn(a, b); }
__device__ inline double mul(double a, double b) { return __dmul_rn(a, b); }
__device__ inline float div(float a, float b) { return __fdiv_rn(a, b); }
__device__ inline double div(double a, double b) { return __ddiv_rn(a, b); }
__device__ inline float sqrt(float a) { return __fsqrt_rn(a); }
__device__ inline double sqrt(double a) { return __dsqrt_rn(a); }
__device__ inline float abs(float a) { return fabsf(a); }
__device__ inline double abs(double a) { return fabs(a); }
#else
// Host arithmetic is IEEE single and double with no contraction across
// these calls.
inline float add(float a, float b) { return a + b; }
inline double add(double a, double b) { return a + b; }
inline float mul(float a, float b) { return a * b; }
inline double mul(double a, double b) { return a * b; }
inline float div(float a, float b) { return a / b; }
inline double div(double a, double b) { return a / b; }
inline float sqrt(float a) { return std::sqrt(a); }
inline double sqrt(double a) { return std::sqrt(a); }
inline float abs(float a) { return std::fabs(a); }
inline double abs(double a) { return std::fabs(a); }
#endif
}  // namespace rn

// The largest finite value of a real type.
template <class T>
struct finite_max;
template <>
struct finite_max<float> {
    DEV_HOSTDEV static constexpr float value() { return 3.4028234663852886e38f; }
};
template <>
struct finite_max<double> {
    DEV_HOSTDEV static constexpr double value() { return 1.7976931348623157e308; }
};

// |re + i im| without overflow in the intermediate: NaN with a NaN part, +inf
// with an infinite part, and v + w where the quotient cannot be formed.
template <class T>
DEV_HOSTDEV inline T magnitude(T re, T im) {
    const T a = rn::abs(re), b = rn::abs(im);
    const T v = a > b ? a : b, w = a > b ? b : a;
    const T m = finite_max<T>::value();
    if (v == 0 || v > m || w > m) return rn::add(v, w);
    const T q = rn::div(w, v);
    return rn::mul(v, rn::sqrt(rn::add(T(1), rn::mul(q, q))));
}
DEV_HOSTDEV inline float magnitude(float2 z) { return magnitude(z.x, z.y); }
DEV_HOSTDEV inline double magnitude(double2 z) { return magnitude(z.x, z.y); }

// The direction of max (greater) or min: whether b is strictly beyond a.
// False whenever an operand is NaN.
template <bool greater, class T>
DEV_HOSTDEV inline bool beyond(T b, T a) {
    return greater ? b > a : b < a;
}

// Start values: the finite extreme opposite to the direction for real input,
// 0 or 255 for bytes, and for complex input (0, 0) or (M, M), whose magnitude
// overflows to +inf.
template <bool greater, class T>
struct extreme_start {
    DEV_HOSTDEV static T value() {
        return greater ? -finite_max<T>::value() : finite_max<T>::value();
    }
};
template <bool greater>
struct extreme_start<greater, unsigned char> {
    DEV_HOSTDEV static unsigned char value() { return greater ? 0 : 255; }
};
template <bool greater>
struct extreme_start<greater, float2> {
    DEV_HOSTDEV static float2 value() {
        const float m = greater ? 0.0f : finite_max<float>::value();
        return make_float2(m, m);
    }
};
template <bool greater>
struct extreme_start<greater, double2> {
    DEV_HOSTDEV static double2 value() {
        const double m = greater ? 0.0 : finite_max<double>::value();
        return make_double2(m, m);
    }
};

// A thread's running complex value (or pair) with its magnitude beside it, so
// that a member costs one magnitude, not two; real values run as they are.
template <class P, class M>
struct kept {
    P v;
    M m;
};
template <class P>
struct magnitude_type {
    using type = void;
};
template <>
struct magnitude_type<float2> {
    using type = float;
};
template <>
struct magnitude_type<double2> {
    using type = double;
};
template <class T>
struct magnitude_type<ranked<T>> : magnitude_type<T> {};

DEV_HOSTDEV inline const float2 &value_of(const float2 &z) { return z; }
DEV_HOSTDEV inline const double2 &value_of(const double2 &z) { return z; }
template <class T>
DEV_HOSTDEV inline const T &value_of(const ranked<T> &r) {
    return r.v;
}

struct keeps_magnitude : rule_defaults {
    template <class P, class M = typename magnitude_type<P>::type>
    using running = std::conditional_t<std::is_void<M>::value, P, kept<P, M>>;
    template <class P>
    DEV_HOSTDEV static running<P> lift(const P &p) {
        if constexpr (std::is_void<typename magnitude_type<P>::type>::value)
            return p;
        else
            return {p, magnitude(value_of(p))};
    }
    template <class P>
    DEV_HOSTDEV static P lower(const P &p) {
        return p;
    }
    template <class P, class M>
    DEV_HOSTDEV static P lower(const kept<P, M> &k) {
        return k.v;
    }
};

// Values only. a is the running value or the lower thread's, b the later one.
// Real: the one further in the direction, a NaN operand passed over (a on a
// tie). Bytes: unsigned. Complex: a only when its magnitude is strictly
// beyond b's, so ties and NaN magnitudes take b.
template <bool greater>
struct extremum_rule : keeps_magnitude {
    template <class P>
    DEV_HOSTDEV static P start() {
        return extreme_start<greater, P>::value();
    }
    template <class T>
    DEV_HOSTDEV static T real(T a, T b) {
        if (b != b) return a;
        if (a != a) return b;
        return beyond<greater>(b, a) ? b : a;
    }
    DEV_HOSTDEV static float combine(float a, float b) { return real(a, b); }
    DEV_HOSTDEV static double combine(double a, double b) { return real(a, b); }
    DEV_HOSTDEV static unsigned char combine(unsigned char a, unsigned char b) {
        return beyond<greater>(b, a) ? b : a;
    }
    template <class C>
    DEV_HOSTDEV static C cplx(C a, C b) {
        return beyond<greater>(magnitude(a), magnitude(b)) ? a : b;
    }
    DEV_HOSTDEV static float2 combine(float2 a, float2 b) { return cplx(a, b); }
    DEV_HOSTDEV static double2 combine(double2 a, double2 b) { return cplx(a, b); }
    template <class P>
    DEV_HOSTDEV static P merge(P a, P b) {
        return combine(a, b);
    }
    // The same choices with the running value's magnitude kept.
    template <class C, class M>
    DEV_HOSTDEV static kept<C, M> merge(const kept<C, M> &a, const kept<C, M> &b) {
        return beyond<greater>(a.m, b.m) ? a : b;
    }
    template <class C, class M>
    DEV_HOSTDEV static kept<C, M> combine(const kept<C, M> &a, const C &b) {
        return merge(a, kept<C, M>{b, magnitude(b)});
    }
};

// Values with positions: (a, p) meets the candidate (b, q). b strictly
// beyond a takes the candidate; equal values (complex: equal parts) keep a
// with the smaller position; anything else, a NaN or a complex tie of
// magnitude with other parts included, keeps (a, p).
template <bool greater>
struct ranked_rule : keeps_magnitude {
    static constexpr bool positions = true;
    template <class P>
    DEV_HOSTDEV static P start() {
        return {extreme_start<greater, decltype(P::v)>::value(), 1.0f};
    }
    template <class T>
    DEV_HOSTDEV static bool same(T a, T b) {
        return a == b;
    }
    DEV_HOSTDEV static bool same(float2 a, float2 b) { return a.x == b.x && a.y == b.y; }
    DEV_HOSTDEV static bool same(double2 a, double2 b) { return a.x == b.x && a.y == b.y; }
    template <class T>
    DEV_HOSTDEV static bool ahead(T b, T a) {
        return beyond<greater>(b, a);
    }
    DEV_HOSTDEV static bool ahead(float2 b, float2 a) {
        return beyond<greater>(magnitude(b), magnitude(a));
    }
    DEV_HOSTDEV static bool ahead(double2 b, double2 a) {
        return beyond<greater>(magnitude(b), magnitude(a));
    }
    template <class T>
    DEV_HOSTDEV static ranked<T> merge(ranked<T> a, ranked<T> b) {
        if (ahead(b.v, a.v)) return b;
        if (same(b.v, a.v) && b.p < a.p) a.p = b.p;
        return a;
    }
    // A member at number k, at the top level; a partial carries its position.
    template <class T>
    DEV_HOSTDEV static ranked<T> combine(ranked<T> a, T x, unsigned k) {
        return merge(a, ranked<T>{x, float(k + 1u)});
    }
    template <class T>
    DEV_HOSTDEV static ranked<T> combine(ranked<T> a, ranked<T> x, unsigned) {
        return merge(a, x);
    }
    // The same choices with the running pair's magnitude kept.
    template <class T, class M>
    DEV_HOSTDEV static kept<ranked<T>, M> merge(const kept<ranked<T>, M> &a,
                                                const kept<ranked<T>, M> &b) {
        if (beyond<greater>(b.m, a.m)) return b;
        kept<ranked<T>, M> r = a;
        if (same(b.v.v, a.v.v) && b.v.p < a.v.p) r.v.p = b.v.p;
        return r;
    }
    template <class T, class M>
    DEV_HOSTDEV static kept<ranked<T>, M> combine(const kept<ranked<T>, M> &a, T x, unsigned k) {
        return merge(a, kept<ranked<T>, M>{{x, float(k + 1u)}, magnitude(x)});
    }
    template <class T, class M>
    DEV_HOSTDEV static kept<ranked<T>, M> combine(const kept<ranked<T>, M> &a, ranked<T> x,
                                                  unsigned) {
        return merge(a, kept<ranked<T>, M>{x, magnitude(x.v)});
    }
};

}  // namespace reduce

// The families of max or min (`op`, direction `greater`): real and byte
// input, complex input, and both with positions.
#define TV_EXTREMUM_FAMILIES(op, greater)                                \
    TV_REDUCE_FAMILY(op, ::reduce::extremum_rule<greater>)                \
    TV_REDUCE_FAMILY(op##_cplx, ::reduce::extremum_rule<greater>)         \
    TV_REDUCE_FAMILY_AS(op, _idx, ::reduce::ranked_rule<greater>)         \
    TV_REDUCE_FAMILY_AS(op##_cplx, _idx, ::reduce::ranked_rule<greater>)

// The rows of max or min: real input in slot 0, logical input in slot 3
// (single precision only), complex input in slot 4, positions in 6 and 7.
#define TV_EXTREMUM_DBL_SLOTS(op, c)                                                        \
    {                                                                                       \
        &op##_##c<double, double>, nullptr, nullptr, nullptr,                               \
            &op##_cplx_##c<double2, double2>, nullptr, &op##_##c##_idx<double, double>,     \
            &op##_cplx_##c##_idx<double2, double2>                                          \
    }
#define TV_EXTREMUM_SGL_SLOTS(op, c)                                                        \
    {                                                                                       \
        &op##_##c<float, float>, nullptr, nullptr, &op##_##c<unsigned char, unsigned char>, \
            &op##_cplx_##c<float2, float2>, nullptr, &op##_##c##_idx<float, float>,         \
            &op##_cplx_##c##_idx<float2, float2>                                            \
    }
