// Device functions of CUDA's math and integer libraries that the host's libm
// lacks, the rounding-mode arithmetic and conversions, the fast intrinsics
// with the hardware's documented edge cases, and the vector types. Included
// by simkernel.h only.
#pragma once

#include <cfenv>
#include <chrono>

namespace sim {
namespace detail {

// Runs `f` under the rounding mode `mode`; the operands and the result pass
// through empty asm statements so that the operation is neither folded nor
// moved out of the window.
template <typename T>
inline T opaque(T v) {
    if constexpr (std::is_floating_point<T>::value)
        __asm__ volatile("" : "+x"(v)::"memory");
    else
        __asm__ volatile("" : "+r"(v)::"memory");
    return v;
}
template <typename R, typename F>
inline R rounded(int mode, F f) {
    if (mode == FE_TONEAREST) return opaque(f());  // the mode code runs in
    const int old = std::fegetround();
    std::fesetround(mode);
    R r = opaque(f());
    std::fesetround(old);
    return r;
}

// sin(pi x) and cos(pi x), exact at the multiples of one half.
inline void sincospi_d(double x, double *s, double *c) {
    if (!std::isfinite(x)) {
        *s = *c = std::numeric_limits<double>::quiet_NaN();
        return;
    }
    double r = std::fmod(x, 2.0);           // exact, sign of x
    double n = std::nearbyint(2.0 * r);     // nearest half turn
    double t = (r - 0.5 * n) * M_PI;        // |t| <= pi/4
    double st = std::sin(t), ct = std::cos(t);
    switch (int(n) & 3) {
    case 0: *s = st, *c = ct; break;
    case 1: *s = ct, *c = -st; break;
    case 2: *s = -st, *c = -ct; break;
    default: *s = -ct, *c = st; break;
    }
    if (*s == 0) *s = std::copysign(0.0, x);  // sinpi(-n) = -0, sinpi(+n) = +0
    if (*c == 0) *c = 0.0;                    // cospi(n + 1/2) = +0
}

inline double erfcx_d(double x) {
    if (x != x) return x;
    if (x < -26.7) return std::numeric_limits<double>::infinity();
    if (x <= 100) return double(expl((long double)x * x) * erfcl((long double)x));
    // Asymptotic series beyond the range of erfc.
    const double y = 1 / (x * x);
    return 0.5641895835477563 / x * (1 - y / 2 * (1 - 1.5 * y * (1 - 2.5 * y)));
}

// Inverse error function: a rational start refined by Newton steps on erf.
inline double erfinv_d(double y) {
    if (y != y || y < -1 || y > 1) return std::numeric_limits<double>::quiet_NaN();
    if (y == 1) return std::numeric_limits<double>::infinity();
    if (y == -1) return -std::numeric_limits<double>::infinity();
    double w = -std::log((1.0 - y) * (1.0 + y)), x;
    if (w < 5) {
        w -= 2.5;
        x = 2.81022636e-08;
        for (double c : {3.43273939e-07, -3.5233877e-06, -4.39150654e-06, 0.00021858087,
                         -0.00125372503, -0.00417768164, 0.246640727, 1.50140941})
            x = c + x * w;
    } else {
        w = std::sqrt(w) - 3;
        x = -0.000200214257;
        for (double c : {0.000100950558, 0.00134934322, -0.00367342844, 0.00573950773,
                         -0.0076224613, 0.00943887047, 1.00167406, 2.83297682})
            x = c + x * w;
    }
    x *= y;
    for (int i = 0; i < 3; ++i) {
        double e = std::erf(x) - y;
        x -= e / (1.1283791670955126 * std::exp(-x * x));
    }
    return x;
}

inline double erfcinv_d(double y) {
    if (y != y || y < 0 || y > 2) return std::numeric_limits<double>::quiet_NaN();
    if (y == 0) return std::numeric_limits<double>::infinity();
    if (y == 2) return -std::numeric_limits<double>::infinity();
    if (y > 0.0625 && y < 1.9375) return erfinv_d(1 - y);
    // Deep in the tails: Newton on erfc directly.
    bool neg = y > 1;
    double t = neg ? 2 - y : y;
    double x = std::sqrt(-std::log(t)), x0;
    for (int i = 0; i < 60; ++i) {
        x0 = x;
        x += (std::erfc(x) - t) / (1.1283791670955126 * std::exp(-x * x));
        if (x == x0) break;
    }
    return neg ? -x : x;
}

// Results below the smallest normal float are flushed to zero by the
// approximate hardware units (the .ftz forms the fast intrinsics use).
inline float ftz(float v) { return std::fabs(v) < 1.17549435e-38f ? std::copysign(0.0f, v) : v; }

}  // namespace detail
}  // namespace sim

// ------------------------------------------------------------ math functions

inline double sinpi(double x) { double s, c; ::sim::detail::sincospi_d(x, &s, &c); return s; }
inline double cospi(double x) { double s, c; ::sim::detail::sincospi_d(x, &s, &c); return c; }
inline void sincospi(double x, double *s, double *c) { ::sim::detail::sincospi_d(x, s, c); }
inline float sinpif(float x) { return float(sinpi(x)); }
inline float cospif(float x) { return float(cospi(x)); }
inline void sincospif(float x, float *s, float *c) { *s = sinpif(x), *c = cospif(x); }
inline double normcdf(double x) { return 0.5 * std::erfc(-x * M_SQRT1_2); }
inline float normcdff(float x) { return float(normcdf(x)); }
inline double erfcx(double x) { return ::sim::detail::erfcx_d(x); }
inline float erfcxf(float x) { return float(erfcx(x)); }
inline double erfinv(double y) { return ::sim::detail::erfinv_d(y); }
inline float erfinvf(float y) { return float(erfinv(y)); }
inline double erfcinv(double y) { return ::sim::detail::erfcinv_d(y); }
inline float erfcinvf(float y) { return float(erfcinv(y)); }
inline double normcdfinv(double p) { return -M_SQRT2 * erfcinv(2 * p); }
inline float normcdfinvf(float p) { return float(normcdfinv(p)); }
inline double rhypot(double x, double y) { return 1 / std::hypot(x, y); }
inline float rhypotf(float x, float y) { return float(1 / std::hypot(double(x), double(y))); }
inline double norm3d(double a, double b, double c) { return std::hypot(a, b, c); }
inline float norm3df(float a, float b, float c) { return float(std::hypot(double(a), double(b), double(c))); }
inline double rnorm3d(double a, double b, double c) { return 1 / std::hypot(a, b, c); }
inline float rnorm3df(float a, float b, float c) { return float(1 / std::hypot(double(a), double(b), double(c))); }
inline double rcbrt(double x) { return 1 / std::cbrt(x); }
inline float rcbrtf(float x) { return float(1 / std::cbrt(double(x))); }
inline float rsqrtf(float x) { return float(1 / std::sqrt(double(x))); }
inline double rsqrt(double x) { return double(1 / sqrtl(x)); }
inline double cyl_bessel_i0(double x) { return std::cyl_bessel_i(0.0, std::fabs(x)); }
inline float cyl_bessel_i0f(float x) { return float(cyl_bessel_i0(x)); }
inline double cyl_bessel_i1(double x) {
    return std::copysign(std::cyl_bessel_i(1.0, std::fabs(x)), x);
}
inline float cyl_bessel_i1f(float x) { return float(cyl_bessel_i1(x)); }
inline float fdividef(float x, float y) { return x / y; }

// ------------------------------------------------------------ rounding-mode arithmetic

#define SIM_ROUNDED_OPS(sfx, mode)                                                              \
    inline float __fadd_##sfx(float x, float y) {                                               \
        return ::sim::detail::rounded<float>(mode, [&] { return ::sim::detail::opaque(x) + y; }); \
    }                                                                                           \
    inline float __fsub_##sfx(float x, float y) {                                               \
        return ::sim::detail::rounded<float>(mode, [&] { return ::sim::detail::opaque(x) - y; }); \
    }                                                                                           \
    inline float __fmul_##sfx(float x, float y) {                                               \
        return ::sim::detail::rounded<float>(mode, [&] { return ::sim::detail::opaque(x) * y; }); \
    }                                                                                           \
    inline float __fdiv_##sfx(float x, float y) {                                               \
        return ::sim::detail::rounded<float>(mode, [&] { return ::sim::detail::opaque(x) / y; }); \
    }                                                                                           \
    inline float __frcp_##sfx(float x) {                                                        \
        return ::sim::detail::rounded<float>(mode, [&] { return 1.0f / ::sim::detail::opaque(x); }); \
    }                                                                                           \
    inline float __fsqrt_##sfx(float x) {                                                       \
        return ::sim::detail::rounded<float>(mode, [&] { return sqrtf(::sim::detail::opaque(x)); }); \
    }                                                                                           \
    inline float __fmaf_##sfx(float x, float y, float z) {                                      \
        return ::sim::detail::rounded<float>(mode, [&] { return fmaf(::sim::detail::opaque(x), y, z); }); \
    }                                                                                           \
    inline double __dadd_##sfx(double x, double y) {                                            \
        return ::sim::detail::rounded<double>(mode, [&] { return ::sim::detail::opaque(x) + y; }); \
    }                                                                                           \
    inline double __dsub_##sfx(double x, double y) {                                            \
        return ::sim::detail::rounded<double>(mode, [&] { return ::sim::detail::opaque(x) - y; }); \
    }                                                                                           \
    inline double __dmul_##sfx(double x, double y) {                                            \
        return ::sim::detail::rounded<double>(mode, [&] { return ::sim::detail::opaque(x) * y; }); \
    }                                                                                           \
    inline double __ddiv_##sfx(double x, double y) {                                            \
        return ::sim::detail::rounded<double>(mode, [&] { return ::sim::detail::opaque(x) / y; }); \
    }                                                                                           \
    inline double __drcp_##sfx(double x) {                                                      \
        return ::sim::detail::rounded<double>(mode, [&] { return 1.0 / ::sim::detail::opaque(x); }); \
    }                                                                                           \
    inline double __dsqrt_##sfx(double x) {                                                    \
        return ::sim::detail::rounded<double>(mode, [&] { return sqrt(::sim::detail::opaque(x)); }); \
    }                                                                                           \
    inline double __fma_##sfx(double x, double y, double z) {                                  \
        return ::sim::detail::rounded<double>(mode, [&] { return fma(::sim::detail::opaque(x), y, z); }); \
    }                                                                                           \
    inline float __double2float_##sfx(double x) {                                              \
        return ::sim::detail::rounded<float>(mode, [&] { return float(::sim::detail::opaque(x)); }); \
    }                                                                                           \
    inline float __int2float_##sfx(int x) {                                                     \
        return ::sim::detail::rounded<float>(mode, [&] { return float(::sim::detail::opaque(x)); }); \
    }                                                                                           \
    inline float __uint2float_##sfx(unsigned x) {                                               \
        return ::sim::detail::rounded<float>(mode, [&] { return float(::sim::detail::opaque(x)); }); \
    }                                                                                           \
    inline float __ll2float_##sfx(long long x) {                                                \
        return ::sim::detail::rounded<float>(mode, [&] { return float(::sim::detail::opaque(x)); }); \
    }                                                                                           \
    inline float __ull2float_##sfx(unsigned long long x) {                                      \
        return ::sim::detail::rounded<float>(mode, [&] { return float(::sim::detail::opaque(x)); }); \
    }                                                                                           \
    inline double __ll2double_##sfx(long long x) {                                              \
        return ::sim::detail::rounded<double>(mode, [&] { return double(::sim::detail::opaque(x)); }); \
    }                                                                                           \
    inline double __ull2double_##sfx(unsigned long long x) {                                    \
        return ::sim::detail::rounded<double>(mode, [&] { return double(::sim::detail::opaque(x)); }); \
    }
SIM_ROUNDED_OPS(rn, FE_TONEAREST)
SIM_ROUNDED_OPS(rz, FE_TOWARDZERO)
SIM_ROUNDED_OPS(rd, FE_DOWNWARD)
SIM_ROUNDED_OPS(ru, FE_UPWARD)
#undef SIM_ROUNDED_OPS
inline float __frsqrt_rn(float x) { return float(1 / sqrtl(x)); }

// Float to integer: rounded as named, then saturated as the hardware's
// conversions do (NaN gives 0).
#define SIM_TO_INT(from, F, sfx, round)                                                          \
    inline int __##from##2int_##sfx(F v) { return ::sim::detail::sat_cast<int>(round(v)); }       \
    inline unsigned __##from##2uint_##sfx(F v) {                                                 \
        return ::sim::detail::sat_cast<unsigned>(round(v));                                      \
    }                                                                                            \
    inline long long __##from##2ll_##sfx(F v) { return ::sim::detail::sat_cast<long long>(round(v)); } \
    inline unsigned long long __##from##2ull_##sfx(F v) {                                        \
        return ::sim::detail::sat_cast<unsigned long long>(round(v));                            \
    }
#define SIM_TO_INTS(from, F)                  \
    SIM_TO_INT(from, F, rn, std::nearbyint)   \
    SIM_TO_INT(from, F, rz, std::trunc)       \
    SIM_TO_INT(from, F, rd, std::floor)       \
    SIM_TO_INT(from, F, ru, std::ceil)
SIM_TO_INTS(float, float)
SIM_TO_INTS(double, double)
#undef SIM_TO_INTS
#undef SIM_TO_INT
inline double __int2double_rn(int v) { return double(v); }
inline double __uint2double_rn(unsigned v) { return double(v); }

// ------------------------------------------------------------ fast intrinsics
//
// Computed as the hardware computes them where that defines the result at
// the edges: x * (1/y) with the reciprocal flushed to zero for |y| > 2^126,
// exp2 and log2 of the approximate units with denormals flushed, powf as
// exp2(y * log2(x)).

inline float __fdividef(float x, float y) {
    if (std::fabs(y) > 8.50705917e37f && std::fabs(y) <= 3.40282347e38f)
        return std::isinf(x) ? std::numeric_limits<float>::quiet_NaN() : std::copysign(0.0f, x) * std::copysign(1.0f, y);
    return x / y;
}
inline float __exp2f_approx_(float x) { return ::sim::detail::ftz(exp2f(x)); }
inline float __log2f(float x) { return log2f(::sim::detail::ftz(x)); }
inline float __expf(float x) { return __exp2f_approx_(x * 1.44269504f); }
inline float __exp10f(float x) { return __exp2f_approx_(x * 3.32192809f); }
inline float __logf(float x) { return __log2f(x) * 0.693147181f; }
inline float __log10f(float x) { return __log2f(x) * 0.301029996f; }
inline float __sinf(float x) { return ::sim::detail::ftz(sinf(::sim::detail::ftz(x))); }
inline float __cosf(float x) { return cosf(::sim::detail::ftz(x)); }
inline float __tanf(float x) { return __sinf(x) * (1.0f / __cosf(x)); }
inline void __sincosf(float x, float *s, float *c) { *s = __sinf(x), *c = __cosf(x); }
inline float __powf(float x, float y) { return __exp2f_approx_(y * __log2f(x)); }
inline float __saturatef(float x) { return x >= 1.0f ? 1.0f : (x > 0.0f ? x : 0.0f); }

// ------------------------------------------------------------ integer intrinsics

inline unsigned __byte_perm(unsigned x, unsigned y, unsigned s) {
    const unsigned long long bytes = (unsigned long long)y << 32 | x;
    unsigned r = 0;
    for (int i = 0; i < 4; ++i) r |= unsigned((bytes >> (8 * ((s >> (4 * i)) & 7))) & 0xff) << (8 * i);
    return r;
}
inline unsigned __funnelshift_l(unsigned lo, unsigned hi, unsigned shift) {
    return unsigned((((unsigned long long)hi << 32 | lo) << (shift & 31)) >> 32);
}
inline unsigned __funnelshift_lc(unsigned lo, unsigned hi, unsigned shift) {
    shift = shift < 32 ? shift : 32;
    return unsigned((((unsigned long long)hi << 32 | lo) << shift) >> 32);
}
inline unsigned __funnelshift_r(unsigned lo, unsigned hi, unsigned shift) {
    return unsigned(((unsigned long long)hi << 32 | lo) >> (shift & 31));
}
inline unsigned __funnelshift_rc(unsigned lo, unsigned hi, unsigned shift) {
    shift = shift < 32 ? shift : 32;
    return unsigned(((unsigned long long)hi << 32 | lo) >> shift);
}
inline int __hadd(int x, int y) { return int(((long long)x + y) >> 1); }
inline int __rhadd(int x, int y) { return int(((long long)x + y + 1) >> 1); }
inline unsigned __uhadd(unsigned x, unsigned y) { return unsigned(((unsigned long long)x + y) >> 1); }
inline unsigned __urhadd(unsigned x, unsigned y) { return unsigned(((unsigned long long)x + y + 1) >> 1); }
inline unsigned __sad(int x, int y, unsigned z) { return (x > y ? unsigned(x) - unsigned(y) : unsigned(y) - unsigned(x)) + z; }
inline unsigned __usad(unsigned x, unsigned y, unsigned z) { return (x > y ? x - y : y - x) + z; }
inline long long __mul64hi(long long x, long long y) { return (long long)(((__int128)x * y) >> 64); }
inline long long clock64() {
    return (long long)std::chrono::steady_clock::now().time_since_epoch().count();
}
inline void __nanosleep(unsigned) {}

// ------------------------------------------------------------ vector types

#define SIM_VEC1(T, n) struct n##1 { T x; }; inline n##1 make_##n##1(T x) { return {x}; }
#define SIM_VEC2(T, n, a) struct alignas(a) n##2 { T x, y; }; \
    inline n##2 make_##n##2(T x, T y) { return {x, y}; }
#define SIM_VEC3(T, n) struct n##3 { T x, y, z; }; \
    inline n##3 make_##n##3(T x, T y, T z) { return {x, y, z}; }
#define SIM_VEC4(T, n, a) struct alignas(a) n##4 { T x, y, z, w; }; \
    inline n##4 make_##n##4(T x, T y, T z, T w) { return {x, y, z, w}; }
#define SIM_VECS(T, n, a2, a4) SIM_VEC1(T, n) SIM_VEC2(T, n, a2) SIM_VEC3(T, n) SIM_VEC4(T, n, a4)
SIM_VECS(signed char, char, 2, 4)
SIM_VECS(unsigned char, uchar, 2, 4)
SIM_VECS(short, short, 4, 8)
SIM_VECS(unsigned short, ushort, 4, 8)
SIM_VECS(long long, longlong, 16, 16)
SIM_VECS(unsigned long long, ulonglong, 16, 16)
SIM_VECS(long, long, 16, 16)
SIM_VECS(unsigned long, ulong, 16, 16)
SIM_VEC1(int, int) SIM_VEC3(int, int)
SIM_VEC1(unsigned, uint) SIM_VEC2(unsigned, uint, 8) SIM_VEC4(unsigned, uint, 16)
SIM_VEC1(float, float) SIM_VEC3(float, float)
SIM_VEC1(double, double) SIM_VEC3(double, double) SIM_VEC4(double, double, 16)
#undef SIM_VECS
#undef SIM_VEC4
#undef SIM_VEC3
#undef SIM_VEC2
#undef SIM_VEC1
inline float4 make_float4(float x, float y, float z, float w) { return {x, y, z, w}; }
inline uint3 make_uint3(unsigned x, unsigned y, unsigned z) { return {x, y, z}; }
