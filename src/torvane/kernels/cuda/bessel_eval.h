// Bessel functions of one element, in the precision T of the kernel (float or
// double; nothing is computed in a wider type).
//
// Real arguments x > 0, orders nu >= 0:
//   J, Y  x < 2: Temme's series for Y at the order mu in [-1/2, 1/2] that
//         differs from nu by an integer; x >= 2: Steed's method (the continued
//         fraction for J'/J and the complex one for (J' + iY')/(J + iY));
//         x from max(X0, nu^2/8) (X0 = 25 in double, 12 in single): Hankel's
//         expansion, whose terms then stay below ~10 before they fall past
//         the precision; the fraction for J'/J takes ~x steps and loses
//         accuracy as it goes, and runs out of its 10000 near 10^4.
//   I, K  the same scheme with Temme's series and continued fraction for K.
//   J and I go down from nu to mu as ratios (no overflow of a start value),
//   Y and K up from mu to nu, the stable directions; J and I come from the
//   Wronskian with Y and K at mu, or at mu + 1 where mu < 0.
// Complex arguments: I and K in the right half-plane by the same scheme in
// complex arithmetic (and the two-exponential expansion of I for large |z|);
// K and I in the left half-plane by analytic continuation; J and H1 in the
// upper half-plane from I and K at -iz, H1 directly, so that it does not come
// from cancelling J + iY; the lower half-plane by conjugation.
// Negative orders by the reflection formulas.
#pragma once

#include "bessel.h"

namespace bessel {

// ------------------------------------------------------------ real functions of T

#define TV_BESSEL_MATH1(name, f, d)                             \
    __device__ inline float name(float x) { return f(x); }     \
    __device__ inline double name(double x) { return d(x); }
TV_BESSEL_MATH1(m_exp, expf, ::exp)
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
__device__ inline float m_hypot(float a, float b) { return hypotf(a, b); }
__device__ inline double m_hypot(double a, double b) { return ::hypot(a, b); }
__device__ inline float m_atan2(float a, float b) { return atan2f(a, b); }
__device__ inline double m_atan2(double a, double b) { return ::atan2(a, b); }
__device__ inline float m_fmod(float a, float b) { return fmodf(a, b); }
__device__ inline double m_fmod(double a, double b) { return ::fmod(a, b); }
__device__ inline float m_copysign(float a, float b) { return copysignf(a, b); }
__device__ inline double m_copysign(double a, double b) { return ::copysign(a, b); }

template <class T>
struct konst;
template <>
struct konst<float> {
    __device__ static float eps() { return 1e-10f; }    // convergence tolerance
    __device__ static float tiny() { return 1e-30f; }   // floor of the continued fractions
    __device__ static float huge() { return 3.4028234e38f; }
    __device__ static float x_asym() { return 12.0f; }  // smallest x of the expansions
    __device__ static float rescale() { return 1e15f; }
};
template <>
struct konst<double> {
    __device__ static double eps() { return 1e-16; }
    __device__ static double tiny() { return 1e-300; }
    __device__ static double huge() { return 1.7976931348623157e308; }
    __device__ static double x_asym() { return 25.0; }
    __device__ static double rescale() { return 1e150; }
};
constexpr int max_iter = 10000;
constexpr double pi_d = 3.14159265358979323846;
// Orders beyond this give NaN: the recurrences between nu and mu take |nu| steps.
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
    return a == T(0) || b == T(0) ? T(0) : a * b;
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
        T o = T(2 * k - 1);
        N nt = t * ((mu4 - o * o) / T(8 * k)) * wi;
        T a = m_abs(nt);
        if (o > T(2) * nu && a >= last) break;  // past the smallest term
        t = nt;
        last = a;
        sp = sp + t;
        sm = (k & 1) ? sm - t : sm + t;
        if (a <= konst<T>::eps() * m_abs(sp) && a <= konst<T>::eps() * m_abs(sm)) break;
    }
    *plus = sp;
    *minus = sm;
}

// The exponentially small part of I's expansion, e^-2w against e^0, that
// matters near the imaginary axis: + i e^(i nu pi) e^-2w s in the upper
// half-plane, its mirror image in the lower one. Nothing for real w.
template <class T>
__device__ inline T stokes_part(T, T, T) {
    return T(0);
}
template <class T>
__device__ inline cx<T> stokes_part(T nu, cx<T> w, cx<T> s) {
    const cx<T> e = m_exp(T(-2) * w) * s;
    const cx<T> p = expipi(nu);
    return w.im < T(0) ? -times_i(conj(p) * e) : times_i(p * e);
}

template <class T>
__device__ inline T asym_from(T nu) {
    T q = T(0.125) * nu * nu;
    return q > konst<T>::x_asym() ? q : konst<T>::x_asym();
}

// ------------------------------------------------------------ J and Y, real x > 0, nu >= 0

template <class T>
struct jy_pair {
    T j, y;
};

template <class T>
__device__ inline jy_pair<T> jy_positive(T nu, T x) {
    const T pi = T(pi_d), eps = konst<T>::eps(), tiny = konst<T>::tiny();
    if (x >= asym_from(nu)) {
        // H1 ~ sqrt(2/(pi x)) e^(i chi) sum i^k a_k / x^k, chi = x - (nu/2 + 1/4) pi
        const T mu4 = T(4) * nu * nu, xi = T(1) / x;
        T t = 1, p = 1, q = 0, last = 1;
        for (int k = 1; k < max_iter; ++k) {
            T o = T(2 * k - 1);
            T nt = t * (mu4 - o * o) / T(8 * k) * xi;
            T a = m_abs(nt);
            if (o > T(2) * nu && a >= last) break;
            t = nt;
            last = a;
            switch (k & 3) {
            case 0: p += t; break;
            case 1: q += t; break;
            case 2: p -= t; break;
            default: q -= t; break;
            }
            if (a <= eps * (m_abs(p) + m_abs(q))) break;
        }
        T sp, cp;
        sincospi(T(0.5) * nu + T(0.25), &sp, &cp);
        const T sx = m_sin(x), cx_ = m_cos(x);
        const T cchi = cx_ * cp + sx * sp, schi = sx * cp - cx_ * sp;
        const T f = m_sqrt(T(2) / (pi * x));
        return {f * (p * cchi - q * schi), f * (p * schi + q * cchi)};
    }
    const int nl = x < T(2) ? int(nu + T(0.5)) : (nu - x + T(1.5) > T(0) ? int(nu - x + T(1.5)) : 0);
    int converged = 0;  // continued fractions that met the tolerance
    const T mu = nu - T(nl), mu2 = mu * mu;
    const T xi = T(1) / x, xi2 = T(2) * xi, w = xi2 / pi;
    // J'/J at nu; isign is the sign of J_nu.
    int isign = 1;
    T h = nu * xi;
    if (h < tiny) h = tiny;
    {
        T b = xi2 * nu, d = 0, c = h;
        for (int i = 1; i <= max_iter; ++i) {
            b += xi2;
            d = T(1) / off_zero(b - d);
            c = off_zero(b - T(1) / c);
            T del = c * d;
            h = del * h;
            if (d < T(0)) isign = -isign;
            if (m_abs(del - T(1)) < eps) {
                converged++;
                break;
            }
        }
    }
    // Down to mu: J_{k-1}/J_k = k/x + f_k, f_{k-1} = (k-1)/x - J_k/J_{k-1}.
    T f = h, ratio = 1;    // ratio = J_nu / J_mu
    T f1 = h, ratio1 = 1;  // the same at mu + 1
    for (int l = nl; l >= 1; --l) {
        T k = mu + T(l);
        if (l == 1) f1 = f, ratio1 = ratio;
        T rho = off_zero(k * xi + f);
        ratio /= rho;
        f = (k - T(1)) * xi - T(1) / rho;
    }
    T j, ymu, y1;
    if (x < T(2)) {
        const T x2 = T(0.5) * x, pimu = pi * mu;
        const T fact = m_abs(pimu) < eps ? T(1) : pimu / m_sin(pimu);
        T d = -m_log(x2), e = mu * d;
        const T fact2 = m_abs(e) < eps ? T(1) : m_sinh(e) / e;
        T g1, g2, gpl, gmi;
        temme_gammas(mu, &g1, &g2, &gpl, &gmi);
        T ff = T(2) / pi * fact * (g1 * m_cosh(e) + g2 * fact2 * d);
        e = m_exp(e);
        T p = e / (gpl * pi), q = T(1) / (e * pi * gmi);
        const T pimu2 = T(0.5) * pimu;
        const T fact3 = m_abs(pimu2) < eps ? T(1) : m_sin(pimu2) / pimu2;
        const T r = pi * pimu2 * fact3 * fact3;
        T c = 1, sum = ff + r * q, sum1 = p;
        d = -x2 * x2;
        for (int i = 1; i <= max_iter; ++i) {
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
        ymu = -sum;
        y1 = -sum1 * xi2;
        if (mu < T(0)) {
            // J_mu and Y_mu both grow as x^mu as x -> 0, and their Wronskian
            // cancels: take it at mu + 1, where J and Y part.
            const T y1p = ymu - (mu + T(1)) * xi * y1;
            j = w / (y1p - f1 * y1) * ratio1;
        } else {
            const T ymup = mu * xi * ymu - y1;
            j = w / (ymup - f * ymu) * ratio;
        }
    } else {
        // Steed: P = (J' + iY') / (J + iY) at mu.
        T a = T(0.25) - mu2;
        cx<T> pq = mk(T(-0.5) * xi, T(1)), b = mk(T(2) * x, T(2));
        cx<T> c = b + mk(T(0), a * xi) / pq, d = T(1) / b;
        pq = pq * (c * d);
        for (int i = 2; i <= max_iter; ++i) {
            a += T(2 * (i - 1));
            b.im += T(2);
            d = T(1) / off_zero(a * d + b);
            c = off_zero(b + a / c);
            const cx<T> del = c * d;
            pq = pq * del;
            if (m_abs(del.re - T(1)) + m_abs(del.im) < eps) {
                converged++;
                break;
            }
        }
        const T p = pq.re, q = pq.im;
        const T gam = (p - f) / q;
        const T jmu = m_copysign(m_sqrt(w / ((p - f) * gam + q)), T(isign) * ratio);
        j = jmu * ratio;
        ymu = jmu * gam;
        const T ymup = ymu * (p + q / gam);
        y1 = mu * xi * ymu - ymup;
    }
    // Up to nu; an overflow stays infinite.
    for (int i = 1; i <= nl; ++i) {
        const T yt = (mu + T(i)) * xi2 * y1 - ymu;
        ymu = y1;
        y1 = yt;
        if (is_inf(yt) && i < nl) {
            ymu = yt;
            break;
        }
    }
    // Past the iteration limit (orders in the hundreds at x beyond 10^4)
    // the fractions say nothing: NaN rather than a wrong number.
    if (converged < (x < T(2) ? 1 : 2)) return {nan_of<T>(), nan_of<T>()};
    return {j, ymu};
}

// ------------------------------------------------------------ I and K, Re w > 0, nu >= 0

// I(w) = i e^w r, K(w) = k e^-w, or k itself once kexp is false: the
// exponentials stay apart so that neither overflows where I or K does not.
template <class N>
struct ik_scaled_pair {
    N i, r, k;
    bool kexp;
};

template <class N, class T>
__device__ inline ik_scaled_pair<N> ik_scaled(T nu, N w) {
    const T pi = T(pi_d), eps = konst<T>::eps(), tiny = konst<T>::tiny();
    const N one = lift<N>(T(1));
    if (m_abs(w) >= asym_from(nu)) {
        N sp, sm;
        hankel_sums(nu, w, &sp, &sm);
        const N r = m_sqrt(T(2) * pi * w);
        const N i = sm / r + stokes_part(nu, w, sp / r);
        return {i, one, pi * sp / r, true};  // sqrt(pi/(2w)) = pi / sqrt(2 pi w)
    }
    const int nl = int(nu + T(0.5));
    const T mu = nu - T(nl), mu2 = mu * mu;
    const N xi = one / w, xi2 = T(2) * xi;
    int converged = 0;  // continued fractions that met the tolerance
    // I'/I at nu.
    N h = nu * xi;
    if (m_abs(h) < tiny) h = lift<N>(tiny);
    {
        N b = xi2 * nu, d = lift<N>(T(0)), c = h;
        for (int i = 1; i <= max_iter; ++i) {
            b = b + xi2;
            d = one / off_zero(b + d);
            c = off_zero(b + one / c);
            const N del = c * d;
            h = del * h;
            if (m_abs(del - T(1)) < eps) {
                converged++;
                break;
            }
        }
    }
    // Down to mu: I_{k-1}/I_k = k/w + f_k, f_{k-1} = I_k/I_{k-1} + (k-1)/w.
    N f = h, ratio = one;    // I_nu / I_mu
    N f1 = h, ratio1 = one;  // the same at mu + 1
    for (int l = nl; l >= 1; --l) {
        const T k = mu + T(l);
        if (l == 1) f1 = f, ratio1 = ratio;
        const N rho = off_zero(k * xi + f);
        ratio = ratio / rho;
        f = one / rho + (k - T(1)) * xi;
    }
    N kmu, k1;
    if (m_abs(w) < T(2)) {
        const N x2 = T(0.5) * w;
        const T pimu = pi * mu;
        const T fact = m_abs(pimu) < eps ? T(1) : pimu / m_sin(pimu);
        const N d = -m_log(x2);
        N e = mu * d;
        const N fact2 = m_abs(e) < eps ? one : m_sinh(e) / e;
        T g1, g2, gpl, gmi;
        temme_gammas(mu, &g1, &g2, &gpl, &gmi);
        N ff = fact * (g1 * m_cosh(e) + g2 * fact2 * d);
        N sum = ff;
        e = m_exp(e);
        N p = T(0.5) * e / gpl, q = T(0.5) / (e * gmi), c = one, sum1 = p;
        const N dd = x2 * x2;
        for (int i = 1; i <= max_iter; ++i) {
            const T fi = T(i);
            ff = (fi * ff + p + q) / (fi * fi - mu2);
            c = c * dd / fi;
            p = p / (fi - mu);
            q = q / (fi + mu);
            const N del = c * ff;
            sum = sum + del;
            sum1 = sum1 + c * (p - fi * ff);
            if (m_abs(del) < m_abs(sum) * eps) break;
        }
        const N ew = m_exp(w);
        kmu = sum * ew;
        k1 = sum1 * xi2 * ew;
    } else {
        // Temme's method with Steed's algorithm for K_mu.
        N b = T(2) * (one + w), d = one / b, h2 = d, delh = d;
        N q1 = lift<N>(T(0)), q2 = one;
        const T a1 = T(0.25) - mu2;
        N q = lift<N>(a1);
        T c = a1, a = -a1;
        N s = one + q * delh;
        for (int i = 2; i <= max_iter; ++i) {
            a -= T(2 * (i - 1));
            c = -a * c / T(i);
            if (m_abs(c) > konst<T>::rescale()) {  // c grows as the q fall
                c /= konst<T>::rescale();
                q1 = q1 * konst<T>::rescale();
                q2 = q2 * konst<T>::rescale();
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
            if (m_abs(dels) < m_abs(s) * eps) {
                converged++;
                break;
            }
        }
        h2 = a1 * h2;
        kmu = m_sqrt(pi / (T(2) * w)) / s;
        k1 = kmu * (mu + w + T(0.5) - h2) * xi;
    }
    N i;
    if (mu < T(0)) {
        // As for J: I_mu and K_mu grow alike as w -> 0; the Wronskian at mu + 1.
        const N k1p = -kmu - (mu + T(1)) * xi * k1;
        i = xi / (f1 * k1 - k1p);
        ratio = ratio1;
    } else {
        const N kmup = mu * xi * kmu - k1;
        i = xi / (f * kmu - kmup);
    }
    bool kexp = true;
    for (int i = 1; i <= nl; ++i) {
        const N kt = (mu + T(i)) * xi2 * k1 + kmu;
        kmu = k1;
        k1 = kt;
        if (kexp && m_abs(kt) > konst<T>::rescale()) {
            const N e = m_exp(T(-0.5) * w);
            kmu = kmu * e * e;
            k1 = k1 * e * e;
            kexp = false;
        }
        if (!(m_abs(kt) <= konst<T>::huge()) && i < nl) {
            kmu = kt;
            break;
        }
    }
    if (converged < (m_abs(w) < T(2) ? 1 : 2)) {
        const N nan = lift<N>(nan_of<T>()) * nan_of<T>();
        return {nan, nan, nan, true};
    }
    return {i, ratio, kmu, kexp};
}

}  // namespace bessel
