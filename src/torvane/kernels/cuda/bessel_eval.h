// Bessel functions of one element, in the precision T of the kernel (float or
// double; nothing is computed in a wider type). Every iteration stops at a
// tolerance the precision reaches with or without fused multiply-adds, and
// each method is used only where it needs a bounded number of steps and sums
// no terms that cancel. R_D = 35 in double, 10 in single; X0 = 25 and 12.
//
// Real arguments x > 0, orders nu >= 0 (mu = nu - round(nu), |mu| <= 1/2):
//   J  x^2 <= nu + 1: the power series, whose terms fall by 4 from the start
//         (tiny and subnormal x included; no reciprocal of x is formed);
//      x >= max(X0, nu^2/2): Hankel's expansion at nu, terms below 1;
//      X0 <= x, nu <= x: Hankel's expansion at mu and mu + 1, then the
//         recurrence up to nu (J and Y oscillate alike below x: no growth);
//      otherwise: the continued fraction for J_nu+1/J_nu (short: x < X0 or
//         x <= nu) and the Wronskian with Y_nu, Y_nu+1.
//   Y  Hankel's expansion at nu as for J, else Y_mu and Y_mu+1 from Temme's
//      series (x < 2), Steed's method (x < X0) or Hankel's expansion, then the
//      recurrence up to nu, the stable direction, scaled by powers of two so
//      that the Wronskian still gives J where Y overflows.
//   I  x^2 <= 4 (nu + 1): the power series (positive terms);
//      sqrt(nu^2 + x^2) >= R_D: Debye's uniform expansion;
//      otherwise the continued fraction for I_nu+1/I_nu and the Wronskian.
//   K  sqrt(nu^2 + x^2) >= R_D and x^2 > 4 (nu + 1): Debye's uniform
//      expansion; otherwise Temme's series (x < 1) or his continued fraction
//      (x >= 1) at mu and the recurrence up to nu.
//   Exponentials are applied last, split into a power of two, so that a
//   result overflows or underflows only where the value does.
// Complex arguments: on the real and imaginary axes the real methods; off
// them I and K in the right half-plane: I by the power series where
// |z|^2 <= nu + 1; below X0 Temme's series and continued fractions as for
// real x; from X0 K by Hankel's expansion at mu and mu + 1 and the
// recurrence up, I by Debye's expansion (with the exponentially small part)
// from |z| = 4 nu, below it by the fraction for I_nu+1/I_nu (under about
// 4 nu steps) and the Wronskian; from nu^2/2 Hankel's expansion at nu (I
// with its exponentially small part). K and I in the left half-plane by analytic continuation;
// J and H1 in the upper half-plane from I and K at -iz, H1 directly, so that
// it does not come from cancelling J + iY; the lower half-plane by
// conjugation. Results are carried as a mantissa, a power of two and an
// exponential until each is rotated into place; only then are they formed.
// Negative orders by the reflection formulas.
#pragma once

#include "bessel.h"

namespace bessel {

// ------------------------------------------------------------ real functions of T

#define TV_BESSEL_MATH1(name, f, d)                             \
    __device__ inline float name(float x) { return f(x); }     \
    __device__ inline double name(double x) { return d(x); }
TV_BESSEL_MATH1(m_exp, expf, ::exp)
TV_BESSEL_MATH1(m_exp2, exp2f, ::exp2)
TV_BESSEL_MATH1(m_log, logf, ::log)
TV_BESSEL_MATH1(m_sqrt, sqrtf, ::sqrt)
TV_BESSEL_MATH1(m_sin, sinf, ::sin)
TV_BESSEL_MATH1(m_cos, cosf, ::cos)
TV_BESSEL_MATH1(m_sinh, sinhf, ::sinh)
TV_BESSEL_MATH1(m_cosh, coshf, ::cosh)
TV_BESSEL_MATH1(m_abs, fabsf, ::fabs)
TV_BESSEL_MATH1(m_floor, floorf, ::floor)
TV_BESSEL_MATH1(m_rint, rintf, ::rint)
#undef TV_BESSEL_MATH1
#define TV_BESSEL_MATH2(name, f, d)                                   \
    __device__ inline float name(float a, float b) { return f(a, b); } \
    __device__ inline double name(double a, double b) { return d(a, b); }
TV_BESSEL_MATH2(m_hypot, hypotf, ::hypot)
TV_BESSEL_MATH2(m_atan2, atan2f, ::atan2)
TV_BESSEL_MATH2(m_fmod, fmodf, ::fmod)
TV_BESSEL_MATH2(m_copysign, copysignf, ::copysign)
TV_BESSEL_MATH2(m_pow, powf, ::pow)
#undef TV_BESSEL_MATH2
__device__ inline float m_fma(float a, float b, float c) { return fmaf(a, b, c); }
__device__ inline double m_fma(double a, double b, double c) { return ::fma(a, b, c); }
__device__ inline float m_ldexp(float a, int e) { return ldexpf(a, e); }
__device__ inline double m_ldexp(double a, int e) { return ::ldexp(a, e); }

template <class T>
struct konst;
template <>
struct konst<float> {
    __device__ static float u() { return 5.9604645e-8f; }   // unit roundoff, 2^-24
    __device__ static float tol() { return 4.7683716e-7f; }  // continued fractions, 8u
    __device__ static float tiny() { return 1e-30f; }        // floor of the continued fractions
    __device__ static float huge() { return 3.4028234e38f; }
    __device__ static float x_asym() { return 12.0f; }  // smallest x of the expansions at small orders
    __device__ static float r_debye() { return 10.0f; }  // smallest sqrt(nu^2 + x^2) of Debye's
    static constexpr int n_debye = 10;
    static constexpr int scale = 60;   // powers of two moved out of a recurrence at once
    static constexpr int floor = 200;  // a power of two below which a product is 0
    __device__ static float exp_max() { return 80.0f; }
    __device__ static float ln2_hi() { return 0.693145751953125f; }
    __device__ static float ln2_lo() { return 1.42860677e-6f; }
};
template <>
struct konst<double> {
    __device__ static double u() { return 1.1102230246251565e-16; }
    __device__ static double tol() { return 8.8817841970012523e-16; }
    __device__ static double tiny() { return 1e-300; }
    __device__ static double huge() { return 1.7976931348623157e308; }
    __device__ static double x_asym() { return 25.0; }
    __device__ static double r_debye() { return 35.0; }
    static constexpr int n_debye = 14;
    static constexpr int scale = 500;
    static constexpr int floor = 1200;
    __device__ static double exp_max() { return 700.0; }
    __device__ static double ln2_hi() { return 0.6931471803691238; }
    __device__ static double ln2_lo() { return 1.9082149292705877e-10; }
};
// Each step of an iteration; a benchmark that counts them defines it first.
#ifndef TV_BESSEL_STEP
#define TV_BESSEL_STEP() ((void)0)
#endif
// A guard only: every method runs where its count is bounded by the region.
constexpr int max_iter = 10000;
constexpr double pi_d = 3.14159265358979323846;
// Orders beyond this give NaN: the recurrences take |nu| steps.
constexpr double max_order = 32768.0;

template <class T>
__device__ inline bool is_nan(T x) {
    return x != x;
}
template <class T>
__device__ inline bool is_inf(T x) {
    return m_abs(x) > konst<T>::huge();
}
template <class T>
__device__ inline T nan_of();
template <>
__device__ inline float nan_of<float>() {
    return __int_as_float(0x7fc00000);
}
template <>
__device__ inline double nan_of<double>() {
    return __longlong_as_double(0x7ff8000000000000ll);
}
template <class T>
__device__ inline T inf_of() {
    return konst<T>::huge() * T(2);
}
template <class T>
__device__ inline bool is_integer(T nu) {
    return m_floor(nu) == nu;
}

// sin(pi a) and cos(pi a), exactly 0 and +-1 at multiples of 1/2.
template <class T>
__device__ inline void sincospi(T a, T *s, T *c) {
    T r = m_fmod(a, T(2));            // exact, |r| < 2
    T q = m_rint(r * T(2));           // quarter turns, -4..4
    T t = r - q * T(0.5);             // exact, |t| <= 1/4
    T st = m_sin(T(pi_d) * t), ct = m_cos(T(pi_d) * t);
    int n = int(q) & 3;
    *s = n == 0 ? st : n == 1 ? ct : n == 2 ? -st : -ct;
    *c = n == 0 ? ct : n == 1 ? -st : n == 2 ? -ct : st;
    if (t == T(0)) *s = *s + T(0);    // no negative zero
}

// ------------------------------------------------------------ complex numbers

template <class T>
struct cx {
    T re, im;
};
template <class T>
__device__ inline cx<T> mk(T re, T im) {
    return cx<T>{re, im};
}
template <class T>
__device__ inline cx<T> operator+(cx<T> a, cx<T> b) { return {a.re + b.re, a.im + b.im}; }
template <class T>
__device__ inline cx<T> operator-(cx<T> a, cx<T> b) { return {a.re - b.re, a.im - b.im}; }
template <class T>
__device__ inline cx<T> operator-(cx<T> a) { return {-a.re, -a.im}; }
template <class T>
__device__ inline cx<T> operator*(cx<T> a, cx<T> b) {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
template <class T>
__device__ inline cx<T> operator+(cx<T> a, T b) { return {a.re + b, a.im}; }
template <class T>
__device__ inline cx<T> operator+(T b, cx<T> a) { return {a.re + b, a.im}; }
template <class T>
__device__ inline cx<T> operator-(cx<T> a, T b) { return {a.re - b, a.im}; }
template <class T>
__device__ inline cx<T> operator-(T b, cx<T> a) { return {b - a.re, -a.im}; }
template <class T>
__device__ inline cx<T> operator*(cx<T> a, T b) { return {a.re * b, a.im * b}; }
template <class T>
__device__ inline cx<T> operator*(T b, cx<T> a) { return {a.re * b, a.im * b}; }
template <class T>
__device__ inline cx<T> operator/(cx<T> a, T b) { return {a.re / b, a.im / b}; }
// Smith's division: no overflow of |b|^2.
template <class T>
__device__ inline cx<T> operator/(cx<T> a, cx<T> b) {
    if (m_abs(b.re) >= m_abs(b.im)) {
        T r = b.im / b.re, d = b.re + b.im * r;
        return {(a.re + a.im * r) / d, (a.im - a.re * r) / d};
    }
    T r = b.re / b.im, d = b.im + b.re * r;
    return {(a.re * r + a.im) / d, (a.im * r - a.re) / d};
}
template <class T>
__device__ inline cx<T> operator/(T a, cx<T> b) {
    return mk(a, T(0)) / b;
}
template <class T>
__device__ inline cx<T> &operator+=(cx<T> &a, cx<T> b) { return a = a + b; }
template <class T>
__device__ inline cx<T> &operator*=(cx<T> &a, cx<T> b) { return a = a * b; }
template <class T>
__device__ inline cx<T> &operator/=(cx<T> &a, T b) { return a = a / b; }
template <class T>
__device__ inline cx<T> conj(cx<T> a) { return {a.re, -a.im}; }
template <class T>
__device__ inline cx<T> times_i(cx<T> a) { return {-a.im, a.re}; }
template <class T>
__device__ inline T m_abs(cx<T> a) { return m_hypot(a.re, a.im); }
template <class T>
__device__ inline cx<T> m_exp(cx<T> a) {
    T e = m_exp(a.re);
    return {e * m_cos(a.im), e * m_sin(a.im)};
}
template <class T>
__device__ inline cx<T> m_log(cx<T> a) { return {m_log(m_abs(a)), m_atan2(a.im, a.re)}; }
template <class T>
__device__ inline cx<T> m_sqrt(cx<T> a) {
    T m = m_abs(a);
    if (m == T(0)) return {T(0), a.im};
    if (a.re >= T(0)) {
        T t = m_sqrt(T(0.5) * (m + a.re));
        return {t, a.im / (T(2) * t)};
    }
    T t = m_sqrt(T(0.5) * (m - a.re));
    return {m_abs(a.im) / (T(2) * t), m_copysign(t, a.im)};
}
template <class T>
__device__ inline cx<T> m_sinh(cx<T> a) {
    return {m_sinh(a.re) * m_cos(a.im), m_cosh(a.re) * m_sin(a.im)};
}
template <class T>
__device__ inline cx<T> m_cosh(cx<T> a) {
    return {m_cosh(a.re) * m_cos(a.im), m_sinh(a.re) * m_sin(a.im)};
}
// e^(i pi a)
template <class T>
__device__ inline cx<T> expipi(T a) {
    cx<T> r;
    sincospi(a, &r.im, &r.re);
    return r;
}
// a * b where an exact zero factor gives zero even against an infinity.
template <class T>
__device__ inline T mul0(T a, T b) {
    return a == T(0) || b == T(0) ? m_copysign(T(0), a) * m_copysign(T(1), b) : a * b;
}
template <class T>
__device__ inline cx<T> mul0(cx<T> a, cx<T> b) {
    return {mul0(a.re, b.re) - mul0(a.im, b.im), mul0(a.re, b.im) + mul0(a.im, b.re)};
}
template <class T>
__device__ inline cx<T> mul0(T a, cx<T> b) {
    return {mul0(a, b.re), mul0(a, b.im)};
}

template <class N>
struct real_of {
    using type = N;
};
template <class T>
struct real_of<cx<T>> {
    using type = T;
};
template <class N>
__device__ inline N lift(typename real_of<N>::type v) {
    return N(v);
}
template <>
__device__ inline cx<float> lift<cx<float>>(float v) {
    return {v, 0.0f};
}
template <>
__device__ inline cx<double> lift<cx<double>>(double v) {
    return {v, 0.0};
}
// Keeps a continued fraction's denominator off zero.
template <class T>
__device__ inline T off_zero(T v) {
    return m_abs(v) < konst<T>::tiny() ? konst<T>::tiny() : v;
}
template <class T>
__device__ inline cx<T> off_zero(cx<T> v) {
    return m_abs(v) < konst<T>::tiny() ? mk(konst<T>::tiny(), T(0)) : v;
}

// ------------------------------------------------------------ Temme's gamma functions

// gamma1, gamma2 and 1/Gamma(1 + mu), 1/Gamma(1 - mu) for |mu| <= 1/2.
template <class T>
__device__ inline void temme_gammas(T mu, T *g1, T *g2, T *gpl, T *gmi) {
    using tab = tables<T>;
    const T t = T(8) * mu * mu - T(1), t2 = T(2) * t;
    // Clenshaw's recurrence, first coefficient halved.
    auto cheb = [&](const T *c, int n) {
        T d = 0, dd = 0;
        for (int j = n - 1; j >= 1; --j) {
            T sv = d;
            d = t2 * d - dd + c[j];
            dd = sv;
        }
        return t * d - dd + T(0.5) * c[0];
    };
    *g1 = cheb(tab::c1(), tab::n1);
    *g2 = cheb(tab::c2(), tab::n2);
    const T *g = tab::g();
    T p = 0, m = 0;
    for (int k = tab::ng - 1; k >= 0; --k) {
        p = p * mu + g[k];
        m = m * -mu + g[k];
    }
    *gpl = p;
    *gmi = m;
}

// x^mu: the real power function where it is real, else |x|^mu at the angle
// mu arg x (no rounding of mu log|x| multiplied up).
template <class T>
__device__ inline T power_of(T x, T mu) {
    return m_pow(x, mu);
}
template <class T>
__device__ inline cx<T> power_of(cx<T> x, T mu) {
    const T a = mu * m_atan2(x.im, x.re), m = m_pow(m_abs(x), mu);
    return mk(m * m_cos(a), m * m_sin(a));
}

// e^e with e = mu d = -mu log(x/2), from the power function where it is
// real: the rounding of a large mu d would cost its size in eps.
// x itself, not a halved subnormal x/2, goes into the power.
template <class T>
__device__ inline T exp_mu_d(T mu, T x, T e) {
    return m_abs(e) > T(1) ? m_pow(x, -mu) * m_exp2(mu) : m_exp(e);
}
template <class T>
__device__ inline cx<T> exp_mu_d(T mu, cx<T> x, cx<T> e) {
    return m_abs(e) > T(1) ? power_of(x, -mu) * m_exp2(mu) : m_exp(e);
}

// ------------------------------------------------------------ values beyond the range

// m 2^e e^x: a value kept apart from its power of two and its exponential
// until the end, so that only the result itself can overflow or underflow.
// N is T or cx<T>; x is real for real N.
template <class N>
struct big {
    N m;
    int e;
    N x;
};
template <class T>
__device__ inline T rotate(T m, T) {
    return m;
}
template <class T>
__device__ inline cx<T> rotate(cx<T> m, cx<T> x) {
    return x.im == T(0) ? m : m * mk(m_cos(x.im), m_sin(x.im));
}
template <class T>
__device__ inline T real_part(T x) {
    return x;
}
template <class T>
__device__ inline T real_part(cx<T> x) {
    return x.re;
}
template <class T>
__device__ inline T scale2(T m, int e) {
    return m_ldexp(m, e);
}
template <class T>
__device__ inline cx<T> scale2(cx<T> m, int e) {
    return mk(m_ldexp(m.re, e), m_ldexp(m.im, e));
}
// The value of b: e^x split into e^r 2^k with |r| <= ln2/2.
template <class N>
__device__ inline N value(const big<N> &b) {
    using T = typename real_of<N>::type;
    const N m = rotate(b.m, b.x);
    const T a = real_part(b.x);
    if (m_abs(a) < konst<T>::exp_max()) return scale2(m * m_exp(a), b.e);
    // Past 2^30 the result is 0 or infinite whatever the rest.
    const T lim = T(1 << 30);
    T k = m_rint(a * T(1.4426950408889634));
    k = k > lim ? lim : k < -lim ? -lim : k;
    T r = m_fma(-k, konst<T>::ln2_hi(), a);
    r = m_fma(-k, konst<T>::ln2_lo(), r);
    r = m_abs(r) < T(1) ? r : m_copysign(T(1), r);  // only past the clamp: a zero m stays 0
    long long e = (long long)b.e + (long long)k;
    e = e > (1 << 30) ? (1 << 30) : e < -(1 << 30) ? -(1 << 30) : e;
    return scale2(m * m_exp(r), int(e));
}
// The size that the rescaling of a recurrence tests: |m|, or |re| + |im|.
template <class T>
__device__ inline T magnitude(T m) {
    return m_abs(m);
}
template <class T>
__device__ inline T magnitude(cx<T> m) {
    return m_abs(m.re) + m_abs(m.im);
}

// ------------------------------------------------------------ Hankel's expansion

// sum_k a_k(nu) / w^k with a_k = prod_{j<=k} (4 nu^2 - (2j - 1)^2) / (8 j), and
// the alternating sum, stopped at the smallest term.
template <class N, class T>
__device__ inline void hankel_sums(T nu, N w, N *plus, N *minus) {
    const T mu4 = T(4) * nu * nu;
    const N wi = T(1) / w;
    N t = lift<N>(T(1)), sp = t, sm = t;
    T last = T(1);
    for (int k = 1; k < max_iter; ++k) {
        TV_BESSEL_STEP();
        T o = T(2 * k - 1);
        N nt = t * ((mu4 - o * o) / T(8 * k)) * wi;
        T a = m_abs(nt);
        if (o > T(2) * nu && a >= last) break;  // past the smallest term
        t = nt;
        last = a;
        sp = sp + t;
        sm = (k & 1) ? sm - t : sm + t;
        if (a <= konst<T>::u() * m_abs(sp) && a <= konst<T>::u() * m_abs(sm)) break;
    }
    *plus = sp;
    *minus = sm;
}

// The exponentially small part of I's expansion, e^-2w against e^0, that
// matters near the imaginary axis: + i e^(i nu pi) e^-2w s in the upper
// half-plane, its mirror image in the lower one.
template <class T>
__device__ inline cx<T> stokes_part(T nu, cx<T> w, cx<T> s) {
    const cx<T> e = m_exp(T(-2) * w) * s;
    const cx<T> p = expipi(nu);
    return w.im < T(0) ? -times_i(conj(p) * e) : times_i(p * e);
}

// Where Hankel's expansion at nu takes over: its terms then stay below 1.
template <class T>
__device__ inline T asym_from(T nu) {
    T q = T(0.5) * nu * nu;
    return q > konst<T>::x_asym() ? q : konst<T>::x_asym();
}

// ------------------------------------------------------------ J and Y, real x > 0, nu >= 0

template <class T>
struct jy_pair {
    T j, y;
};

// Hankel's expansion: H1 ~ sqrt(2/(pi x)) e^(i chi) sum i^k a_k / x^k,
// chi = x - (nu/2 + 1/4) pi.
template <class T>
__device__ inline jy_pair<T> jy_hankel(T nu, T x) {
    const T mu4 = T(4) * nu * nu, xi = T(1) / x;
    T t = 1, p = 1, q = 0, last = 1;
    for (int k = 1; k < max_iter; ++k) {
        TV_BESSEL_STEP();
        T o = T(2 * k - 1);
        T nt = t * (mu4 - o * o) / T(8 * k) * xi;
        T a = m_abs(nt);
        if (o > T(2) * m_abs(nu) && a >= last) break;
        t = nt;
        last = a;
        switch (k & 3) {
        case 0: p += t; break;
        case 1: q += t; break;
        case 2: p -= t; break;
        default: q -= t; break;
        }
        if (a <= konst<T>::u() * (m_abs(p) + m_abs(q))) break;
    }
    T sp, cp;
    sincospi(T(0.5) * nu + T(0.25), &sp, &cp);
    const T sx = m_sin(x), cx_ = m_cos(x);
    const T cchi = cx_ * cp + sx * sp, schi = sx * cp - cx_ * sp;
    const T f = m_sqrt(T(2) / (T(pi_d) * x));
    return {f * (p * cchi - q * schi), f * (p * schi + q * cchi)};
}

// J_nu+1/J_nu (s = -1) or I_nu+1/I_nu (s = +1) by the continued fraction
// 1/(b1 - s/(b2 - s/(b3 ...))), b_k = 2 (nu + k)/x, in Lentz's form; *sign
// is the sign of J_nu against the tail (for J). N is T or cx<T>.
template <class N, class T>
__device__ inline N ratio_cf(T nu, N x, T s, int *sign) {
    const T tiny = konst<T>::tiny();
    const N one = lift<N>(T(1)), xi = one / x;
    N f = lift<N>(tiny), c = f, d = lift<N>(T(0));
    int sg = 1;
    // About |x| - nu steps where |x| > nu: only complex arguments below nu^2/2 go there.
    const T ax = m_abs(x);
    const int limit = max_iter + int(ax < T(1e9) ? T(2) * ax : T(2e9));
    for (int k = 1; k <= limit; ++k) {
        TV_BESSEL_STEP();
        const N b = (T(2) * (nu + T(k))) * xi;
        const T a = k == 1 ? T(1) : s;
        d = one / off_zero(b + a * d);
        c = off_zero(b + a / c);
        const N del = c * d;
        f = f * del;
        if (real_part(d) < T(0)) sg = -sg;
        if (m_abs(del - T(1)) < konst<T>::tol()) break;
    }
    *sign = sg;
    return f;
}

// J_nu (s = -1) or I_nu (s = +1) by the power series
// (x/2)^nu / Gamma(nu + 1) sum (s x^2/4)^k / (k! (nu + 1)_k), for x^2 within
// a bounded multiple of nu + 1. The leading power is (x/2)^mu / Gamma(1 + mu)
// times the nl factors x / (2 (mu + k)), with no power of x that could
// overflow or underflow before the result does.
template <class N, class T>
__device__ inline big<N> power_series(T nu, N x, T s) {
    const int nl = int(m_rint(nu));
    const T mu = nu - T(nl);
    T g1, g2, gpl, gmi;
    temme_gammas(mu, &g1, &g2, &gpl, &gmi);
    N pre = power_of(x, mu) * (m_exp2(-mu) * gpl);
    int e = 0;
    const T hi = m_ldexp(T(1), konst<T>::scale), lo = m_ldexp(T(1), -konst<T>::scale);
    for (int k = 1; k <= nl; ++k) {
        TV_BESSEL_STEP();
        pre = pre * (T(1) / (T(2) * (mu + T(k)))) * x;
        const T a = magnitude(pre);
        if (a < lo) {
            pre = pre * hi;
            e -= konst<T>::scale;
            if (e < -konst<T>::floor) return {lift<N>(T(0)), 0, lift<N>(T(0))};
        }
    }
    const N h = (T(0.25) * s) * (x * x);
    N t = lift<N>(T(1)), sum = t;
    for (int k = 1; k <= max_iter; ++k) {
        TV_BESSEL_STEP();
        t = t * h * (T(1) / (T(k) * (nu + T(k))));
        sum = sum + t;
        if (magnitude(t) <= konst<T>::u() * magnitude(sum)) break;
    }
    return {pre * sum, e, lift<N>(T(0))};
}

// Y_mu and Y_mu+1 for x < 2 by Temme's series. No reciprocal of x is formed.
template <class T>
__device__ inline void temme_y(T mu, T x, T *y0, T *y1) {
    const T pi = T(pi_d), eps = konst<T>::u();
    const T x2 = T(0.5) * x, pimu = pi * mu, mu2 = mu * mu;
    const T fact = m_abs(pimu) < eps ? T(1) : pimu / m_sin(pimu);
    T d = T(0.69314718055994531) - m_log(x), e = mu * d;
    const T ex = exp_mu_d(mu, x, e);
    const bool wide = m_abs(e) > T(1);
    const T fact2 = m_abs(e) < eps ? T(1) : wide ? T(0.5) * (ex - T(1) / ex) / e : m_sinh(e) / e;
    T g1, g2, gpl, gmi;
    temme_gammas(mu, &g1, &g2, &gpl, &gmi);
    T ff = T(2) / pi * fact * (g1 * (wide ? T(0.5) * (ex + T(1) / ex) : m_cosh(e)) + g2 * fact2 * d);
    e = ex;
    T p = e / (gpl * pi), q = T(1) / (e * pi * gmi);
    const T pimu2 = T(0.5) * pimu;
    const T fact3 = m_abs(pimu2) < eps ? T(1) : m_sin(pimu2) / pimu2;
    const T r = pi * pimu2 * fact3 * fact3;
    T c = 1, sum = ff + r * q, sum1 = p;
    d = -x2 * x2;
    for (int i = 1; i <= max_iter; ++i) {
        TV_BESSEL_STEP();
        const T fi = T(i);
        ff = (fi * ff + p + q) / (fi * fi - mu2);
        c *= d / fi;
        p /= fi - mu;
        q /= fi + mu;
        const T del = c * (ff + r * q);
        sum += del;
        sum1 += c * p - fi * del;
        if (m_abs(del) < (T(1) + m_abs(sum)) * eps) break;
    }
    *y0 = -sum;
    *y1 = -(T(2) * sum1) / x;
}

// Y_mu and Y_mu+1 for 2 <= x < X0 by Steed's method: the fraction for
// J_mu+1/J_mu and the complex one for (J' + iY')/(J + iY).
template <class T>
__device__ inline void steed_y(T mu, T x, T *y0, T *y1) {
    int sign;
    const T xi = T(1) / x, w = T(2) / (T(pi_d) * x);
    const T f = mu * xi - ratio_cf(mu, x, T(-1), &sign);  // J'/J at mu
    T a = T(0.25) - mu * mu;
    cx<T> pq = mk(T(-0.5) * xi, T(1)), b = mk(T(2) * x, T(2));
    cx<T> c = b + mk(T(0), a * xi) / pq, d = T(1) / b;
    pq = pq * (c * d);
    for (int i = 2; i <= max_iter; ++i) {
        TV_BESSEL_STEP();
        a += T(2 * (i - 1));
        b.im += T(2);
        d = T(1) / off_zero(a * d + b);
        c = off_zero(b + a / c);
        const cx<T> del = c * d;
        pq = pq * del;
        if (m_abs(del.re - T(1)) + m_abs(del.im) < konst<T>::tol()) break;
    }
    const T p = pq.re, q = pq.im;
    const T gam = (p - f) / q;
    const T jmu = m_copysign(m_sqrt(w / ((p - f) * gam + q)), T(sign));
    const T ymu = jmu * gam;
    *y0 = ymu;
    *y1 = mu * xi * ymu - ymu * (p + q / gam);
}

template <class T>
__device__ inline jy_pair<T> jy_positive(T nu, T x, bool want_j, bool want_y) {
    if (x >= asym_from(nu)) return jy_hankel(nu, x);
    const bool series = x * x <= nu + T(1);
    T j = 0;
    if (series && want_j) j = value(power_series(nu, x, T(-1)));
    if (series && !want_y) return {j, T(0)};
    const int nl = int(m_rint(nu));
    const T mu = nu - T(nl);
    T y0, y1, j0 = 0, j1 = 0;
    const bool j_up = !series && want_j && x >= konst<T>::x_asym() && nu <= x;
    if (x < T(2)) {
        temme_y(mu, x, &y0, &y1);
    } else if (x < konst<T>::x_asym()) {
        steed_y(mu, x, &y0, &y1);
    } else {
        const jy_pair<T> a = jy_hankel(mu, x), b = jy_hankel(mu + T(1), x);
        y0 = a.y, y1 = b.y, j0 = a.j, j1 = b.j;
    }
    // Up to nu and nu + 1; Y in units of 2^e.
    int e = 0;
    const T hi = m_ldexp(T(1), konst<T>::scale);
    for (int i = 1; i <= nl; ++i) {
        TV_BESSEL_STEP();
        const T c = T(2) * (mu + T(i)) / x;
        const T yt = c * y1 - y0;
        y0 = y1;
        y1 = yt;
        if (j_up) {
            const T jt = c * j1 - j0;
            j0 = j1;
            j1 = jt;
        }
        if (is_inf(y1)) {  // only where 2 (mu + i)/x overflows: Y_nu is infinite (or next)
            if (i < nl) y0 = y1;
            break;
        }
        if (m_abs(y1) > hi) {
            y0 = m_ldexp(y0, -konst<T>::scale);
            y1 = m_ldexp(y1, -konst<T>::scale);
            e += konst<T>::scale;
        }
    }
    const T y = m_ldexp(y0, e);
    if (!want_j || series) return {j, y};
    if (j_up) return {j0, y};
    // J Y' - J' Y = 2/(pi x), Y' = (nu/x) Y - Y_nu+1, J' = (nu/x) J - J_nu+1.
    int sign;
    const T r = ratio_cf(nu, x, T(-1), &sign);
    return {m_ldexp(T(2) / (T(pi_d) * x) / (r * y0 - y1), -e), y};
}

// ------------------------------------------------------------ I and K, real x > 0, nu >= 0

template <class T>
struct ik_pair {
    T i, k;
};

// Debye's expansions with R = sqrt(nu^2 + x^2), p = nu/R:
//   I = e^(nu eta) / sqrt(2 pi R) sum v_k(p^2) / R^k,
//   K = sqrt(pi/(2R)) e^(-nu eta) sum (-1)^k v_k(p^2) / R^k,
//   nu eta = R + nu log(x / (nu + R)).
template <class T>
__device__ inline void ik_debye(T nu, T x, big<T> *i, big<T> *k) {
    const T r = m_hypot(nu, x), p = nu / r, q = p * p, ri = T(1) / r;
    const T *v = tables<T>::debye();
    T sp = 0, sm = 0, rk = 1;
    int at = 0;
    for (int n = 0; n < konst<T>::n_debye; ++n) {
        TV_BESSEL_STEP();
        T poly = v[at + n];
        for (int j = n - 1; j >= 0; --j) poly = poly * q + v[at + j];
        at += n + 1;
        const T t = poly * rk;
        sp += t;
        sm += (n & 1) ? -t : t;
        rk *= ri;
    }
    // nu eta = x + d: the exponential of the exact x apart from the rest,
    // so that a small order costs no more than the rounding of e^x.
    const T z = x / (nu + r);
    const T l = z > T(0) ? m_log(z) : m_log(x) - m_log(nu + r);
    const T d = nu == T(0) ? T(0) : nu * nu / (r + x) + nu * l;
    const bool apart = m_abs(d) < T(1);
    const T ed = apart ? m_exp(d) : T(1), a = apart ? x : x + d;
    *i = {sp / m_sqrt(T(2 * pi_d) * r) * ed, 0, a};
    *k = {m_sqrt(T(pi_d / 2) / r) * sm / ed, 0, -a};
}

// K_mu and K_mu+1 times e^x (x >= 1, Temme's continued fraction with Steed's
// algorithm) or plain (x < 2, Temme's series). N is T or cx<T>.
template <class N, class T>
__device__ inline void temme_k(T mu, N w, N *k0, N *k1, bool *scaled) {
    const T pi = T(pi_d), eps = konst<T>::u(), mu2 = mu * mu;
    const N one = lift<N>(T(1));
    if (m_abs(w) < T(1)) {
        const N x2 = T(0.5) * w;
        const T pimu = pi * mu;
        const T fact = m_abs(pimu) < eps ? T(1) : pimu / m_sin(pimu);
        const N d = T(0.69314718055994531) - m_log(w);
        N e = mu * d;
        const N ex = exp_mu_d(mu, w, e), exi = one / ex;
        const bool wide = m_abs(e) > T(1);
        const N fact2 = m_abs(e) < eps ? one : wide ? T(0.5) * (ex - exi) / e : m_sinh(e) / e;
        T g1, g2, gpl, gmi;
        temme_gammas(mu, &g1, &g2, &gpl, &gmi);
        N ff = fact * (g1 * (wide ? T(0.5) * (ex + exi) : m_cosh(e)) + g2 * fact2 * d);
        N sum = ff;
        e = ex;
        N p = T(0.5) * e / gpl, q = T(0.5) / (e * gmi), c = one, sum1 = p;
        const N dd = x2 * x2;
        for (int i = 1; i <= max_iter; ++i) {
            TV_BESSEL_STEP();
            const T fi = T(i);
            ff = (fi * ff + p + q) / (fi * fi - mu2);
            c = c * dd / fi;
            p = p / (fi - mu);
            q = q / (fi + mu);
            const N del = c * ff;
            sum = sum + del;
            sum1 = sum1 + c * (p - fi * ff);
            if (magnitude(del) < magnitude(sum) * eps) break;
        }
        *k0 = sum;
        *k1 = (T(2) * sum1) / w;
        *scaled = false;
        return;
    }
    N b = T(2) * (one + w), d = one / b, h2 = d, delh = d;
    N q1 = lift<N>(T(0)), q2 = one;
    const T a1 = T(0.25) - mu2;
    N q = lift<N>(a1);
    T c = a1, a = -a1;
    N s = one + q * delh;
    const T resc = m_ldexp(T(1), konst<T>::scale);
    for (int i = 2; i <= max_iter; ++i) {
        TV_BESSEL_STEP();
        a -= T(2 * (i - 1));
        c = -a * c / T(i);
        if (m_abs(c) > resc) {  // c grows as the q fall
            c /= resc;
            q1 = q1 * resc;
            q2 = q2 * resc;
        }
        const N qnew = (q1 - b * q2) / a;
        q1 = q2;
        q2 = qnew;
        q = q + c * qnew;
        b = b + T(2);
        d = one / off_zero(b + a * d);
        delh = (b * d - T(1)) * delh;
        h2 = h2 + delh;
        const N dels = q * delh;
        s = s + dels;
        if (magnitude(dels) < magnitude(s) * konst<T>::u()) break;  // a series in effect: its terms fall to 0
    }
    h2 = a1 * h2;
    *k0 = m_sqrt(pi / (T(2) * w)) / s;
    *k1 = *k0 * (mu + w + T(0.5) - h2) / w;
    *scaled = true;
}

// I and K of small order and argument (both below R_D) or of a complex w in
// the right half-plane: K from Temme at mu up to nu, I from the fraction for
// I_nu+1/I_nu and the Wronskian I_nu K_nu+1 + I_nu+1 K_nu = 1/w.
template <class N, class T>
__device__ inline void ik_recurrence(T nu, N w, big<N> *i, big<N> *k, bool want_i) {
    const int nl = int(m_rint(nu));
    const T mu = nu - T(nl);
    N k0, k1;
    bool scaled;
    temme_k(mu, w, &k0, &k1, &scaled);
    int e = 0;
    const T hi = m_ldexp(T(1), konst<T>::scale);
    for (int n = 1; n <= nl; ++n) {
        TV_BESSEL_STEP();
        const N kt = (T(2) * (mu + T(n))) * k1 / w + k0;
        k0 = k1;
        k1 = kt;
        if (!(magnitude(k1) <= konst<T>::huge())) {  // w so small that 2 (mu + n)/w overflows
            if (n < nl) k0 = k1;
            break;
        }
        if (magnitude(k1) > hi) {
            k0 = k0 * (T(1) / hi);
            k1 = k1 * (T(1) / hi);
            e += konst<T>::scale;
        }
    }
    const N zero = lift<N>(T(0));
    *k = {k0, e, scaled ? -w : zero};
    if (want_i) {
        int sign;
        const N r = ratio_cf(nu, w, T(1), &sign);
        *i = {lift<N>(T(1)) / (w * (k1 + r * k0)), -e, scaled ? w : zero};
    }
}

template <class T>
__device__ inline ik_pair<T> ik_positive(T nu, T x, bool want_i, bool want_k) {
    const bool series = x * x <= T(4) * (nu + T(1));
    T i = 0, k = 0;
    if (series && want_i) {
        i = value(power_series(nu, x, T(1)));
        if (!want_k) return {i, T(0)};
    }
    // Debye's exponent nu eta grows as nu log(2 nu/x) for small x and carries
    // its rounding into K: there Temme and the recurrence (nu steps) instead.
    big<T> bi, bk;
    if (m_hypot(nu, x) >= konst<T>::r_debye() && !series)
        ik_debye(nu, x, &bi, &bk);
    else
        ik_recurrence(nu, x, &bi, &bk, want_i && !series);
    if (want_i && !series) i = value(bi);
    if (want_k) k = value(bk);
    return {i, k};
}

// ------------------------------------------------------------ I and K, complex w, Re w >= 0

// Debye's expansions of I at a complex w in the right half-plane with
// |w| >= 4 nu, far from the turning points +-i nu: R = sqrt(nu^2 + w^2) and
// p = nu/R stay within |R| >= |w| sqrt(15)/4 and |p| <= 1/sqrt(15). I is
// e^(nu eta) S+ / sqrt(2 pi R) and, in the upper half-plane, i e^(i nu pi)
// e^(-nu eta) S- / sqrt(2 pi R), the part that K's expansion contributes and
// that matters near the imaginary axis (mirrored in the lower half-plane).
// Returned as the first term; the second is added as a value.
template <class T>
__device__ inline big<cx<T>> i_debye_parts(T nu, cx<T> w, big<cx<T>> *second) {
    const cx<T> r = m_sqrt(mk(nu * nu, T(0)) + w * w), ri = T(1) / r, p = nu * ri, q = p * p;
    const T *v = tables<T>::debye();
    cx<T> sp = mk(T(0), T(0)), sm = sp, rk = mk(T(1), T(0));
    int at = 0;
    for (int n = 0; n < konst<T>::n_debye; ++n) {
        TV_BESSEL_STEP();
        cx<T> poly = mk(v[at + n], T(0));
        for (int j = n - 1; j >= 0; --j) poly = poly * q + v[at + j];
        at += n + 1;
        const cx<T> t = poly * rk;
        sp = sp + t;
        sm = (n & 1) ? sm - t : sm + t;
        rk = rk * ri;
    }
    // nu eta = w + d, the exact w apart (as for real x): the rounding of a
    // large nu eta would cost its size in eps.
    const cx<T> zero = mk(T(0), T(0));
    const cx<T> d = nu == T(0) ? zero : (nu * nu) / (r + w) + nu * m_log(w / (nu + r));
    const bool apart = m_abs(d.re) < T(0.5) * konst<T>::exp_max();
    const cx<T> ed = apart ? m_exp(d) : mk(T(1), T(0)), a = apart ? w : w + d;
    const cx<T> root = m_sqrt(T(2 * pi_d) * r);
    const cx<T> ph = expipi(nu);
    const cx<T> turn = w.im < T(0) ? -times_i(conj(ph)) : times_i(ph);
    *second = {turn * sm / (root * ed), 0, -a};
    return {sp * ed / root, 0, a};
}
template <class T>
__device__ inline big<cx<T>> i_debye(T nu, cx<T> w) {
    big<cx<T>> second;
    big<cx<T>> first = i_debye_parts(nu, w, &second);
    // The two parts apart until here: one may overflow where the other does not.
    const cx<T> b = value(second);
    const cx<T> a = value(first);
    return {a + b, 0, mk(T(0), T(0))};
}

// I and K for X0 <= |w| < nu^2/2 in the right half-plane: Hankel's expansion
// at mu and mu + 1 and K up to nu, the stable direction; I by Debye's
// expansion where |w| >= 4 nu, else from the fraction for I_nu+1/I_nu (fewer
// than about 4 nu steps) and the Wronskian (up from mu, I would lose
// e^(nu^2/|w|) against K).
template <class T>
__device__ inline void ik_hankel_up(T nu, cx<T> w, big<cx<T>> *i, big<cx<T>> *k, bool want_i) {
    const int nl = int(m_rint(nu));
    const T mu = nu - T(nl);
    const cx<T> r = m_sqrt(T(2 * pi_d) * w);
    cx<T> sp0, sm0, sp1, sm1;
    hankel_sums(mu, w, &sp0, &sm0);
    hankel_sums(mu + T(1), w, &sp1, &sm1);
    cx<T> k0 = T(pi_d) * sp0 / r, k1 = T(pi_d) * sp1 / r;
    int e = 0;
    const T hi = m_ldexp(T(1), konst<T>::scale), lo = T(1) / hi;
    for (int n = 1; n <= nl; ++n) {
        TV_BESSEL_STEP();
        const cx<T> kt = (T(2) * (mu + T(n))) / w * k1 + k0;
        k0 = k1;
        k1 = kt;
        if (magnitude(k1) > hi) k0 = k0 * lo, k1 = k1 * lo, e += konst<T>::scale;
    }
    *k = {k0, e, -w};
    if (!want_i) return;
    if (m_abs(w) >= T(4) * nu) {
        *i = i_debye(nu, w);
        return;
    }
    int sign;
    const cx<T> q = ratio_cf(nu, w, T(1), &sign);
    *i = {mk(T(1), T(0)) / (w * (k1 + q * k0)), -e, w};
}

// I and K at w in the right half-plane (w finite and nonzero), I only where
// asked for.
template <class T>
__device__ inline void ik_right(T nu, cx<T> w, big<cx<T>> *i, big<cx<T>> *k, bool want_i) {
    if (m_abs(w) >= asym_from(nu)) {
        cx<T> sp, sm;
        hankel_sums(nu, w, &sp, &sm);
        const cx<T> r = m_sqrt(T(2 * pi_d) * w);
        *i = {sm / r + stokes_part(nu, w, sp / r), 0, w};
        *k = {T(pi_d) * sp / r, 0, -w};  // sqrt(pi/(2w)) = pi / sqrt(2 pi w)
        return;
    }
    const bool series = w.re * w.re + w.im * w.im <= nu + T(1);
    if (m_abs(w) >= konst<T>::x_asym())
        ik_hankel_up(nu, w, i, k, want_i && !series);
    else
        ik_recurrence(nu, w, i, k, want_i && !series);
    if (want_i && series) *i = power_series(nu, w, T(1));
}

}  // namespace bessel
