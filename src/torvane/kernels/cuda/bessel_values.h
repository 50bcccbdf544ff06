// The Bessel functions of one element over the whole argument range, with
// the values that the methods of bessel_eval.h leave open:
//   x = 0      J_0 = I_0 = 1, J_nu = I_nu = 0 (nu > 0), Y = -inf, K = +inf;
//              negative orders by reflection (J_-nu, I_-nu infinite with the
//              sign of sin(nu pi), Y_-n = (-1)^n Y_n);
//   x < 0      real arguments: integer orders by J_n(-x) = (-1)^n J_n(x) and
//              I_n(-x) = (-1)^n I_n(x); every other value of J, Y, I and K is
//              complex and gives NaN; H takes the principal value (the upper
//              side of the cut, where the complex kernels also put -x + 0i);
//   infinite   J, Y and H go to 0 along the real axis, I(+inf) = inf,
//              K(+inf) = 0, I(-inf) = (-1)^n inf for integer n; complex
//              arguments off the real axis with an infinite part give NaN;
//   NaN        in the argument or the order gives NaN; so do orders beyond
//              max_order in magnitude.
// Complex arguments with a negative zero imaginary part lie on the lower
// side of the cut.
#pragma once

#include "bessel_eval.h"

namespace bessel {

template <class T>
__device__ inline bool odd_integer(T a) {
    return m_fmod(m_abs(a), T(2)) == T(1);
}
template <class T>
__device__ inline bool bad_order(T nu) {
    return !(m_abs(nu) <= T(max_order));
}

template <class T>
struct ik_pair {
    T i, k;
};
// I and K from the scaled parts: e^w in halves, one beside the ratio.
template <class N>
__device__ inline ik_pair<N> unscale(const ik_scaled_pair<N> &p, N w) {
    using T = typename real_of<N>::type;
    const N up = m_exp(T(0.5) * w);
    ik_pair<N> r{p.i * up * (p.r * up), p.k};
    if (p.kexp) {
        const N down = m_exp(T(-0.5) * w);
        r.k = p.k * down * down;
    }
    return r;
}

// J and Y of any order at x >= 0 (0 and +inf included).
template <class T>
__device__ inline jy_pair<T> jy_nonneg(T nu, T x) {
    const T a = m_abs(nu);
    jy_pair<T> p;
    if (x == T(0))
        p = {a == T(0) ? T(1) : T(0), -inf_of<T>()};
    else if (is_inf(x))
        p = {T(0), T(0)};
    else
        p = jy_positive(a, x);
    if (nu < T(0)) {
        T s, c;
        sincospi(a, &s, &c);
        p = {mul0(c, p.j) - mul0(s, p.y), mul0(s, p.j) + mul0(c, p.y)};
    }
    return p;
}

// I and K of any order at x >= 0.
template <class T>
__device__ inline ik_pair<T> ik_nonneg(T nu, T x) {
    const T a = m_abs(nu);
    ik_pair<T> p;
    if (x == T(0)) {
        p = {a == T(0) ? T(1) : T(0), inf_of<T>()};
    } else if (is_inf(x)) {
        p = {inf_of<T>(), T(0)};
    } else {
        p = unscale(ik_scaled(a, x), x);
    }
    if (nu < T(0) && !is_integer(a)) {
        T s, c;
        sincospi(a, &s, &c);
        p.i = p.i + mul0(T(2 / pi_d) * s, p.k);
    }
    return p;
}

// f at -x for integer orders, (-1)^n f(x); NaN for the others.
template <class T, class F>
__device__ inline T integer_reflection(T nu, T x, F f) {
    if (!is_integer(nu)) return nan_of<T>();
    const T v = f(-x);
    return odd_integer(nu) ? -v : v;
}

template <class T>
__device__ inline T j_real(T nu, T x) {
    if (is_nan(x) || bad_order(nu)) return nan_of<T>();
    auto j = [&](T a) { return jy_nonneg(nu, a).j; };
    if (x < T(0)) return is_inf(x) ? T(0) : integer_reflection(nu, x, j);
    return j(x);
}

template <class T>
__device__ inline T y_real(T nu, T x) {
    if (is_nan(x) || bad_order(nu)) return nan_of<T>();
    if (x < T(0)) return is_inf(x) ? T(0) : nan_of<T>();
    return jy_nonneg(nu, x).y;
}

template <class T>
__device__ inline T i_real(T nu, T x) {
    if (is_nan(x) || bad_order(nu)) return nan_of<T>();
    auto i = [&](T a) { return ik_nonneg(nu, a).i; };
    return x < T(0) ? integer_reflection(nu, x, i) : i(x);
}

template <class T>
__device__ inline T k_real(T nu, T x) {
    if (is_nan(x) || bad_order(nu)) return nan_of<T>();
    if (x < T(0)) return nan_of<T>();
    return ik_nonneg(nu, x).k;
}

// H1 (first) or H2 of a real argument.
template <class T>
__device__ inline cx<T> h_real(T nu, T x, bool first) {
    if (is_nan(x) || bad_order(nu)) return mk(nan_of<T>(), nan_of<T>());
    const jy_pair<T> p = jy_nonneg(nu, m_abs(x));
    cx<T> j = mk(p.j, T(0)), y = mk(p.y, T(0));
    if (x < T(0) && !is_inf(x)) {
        // J(x e^(i pi)) = e^(i nu pi) J(x), Y(x e^(i pi)) = e^(-i nu pi) Y(x) + 2i cos(nu pi) J(x)
        const cx<T> e = expipi(nu);
        j = mul0(e, j);
        y = mul0(conj(e), y) + mk(T(0), T(2) * e.re * p.j);
    }
    const cx<T> iy = times_i(y);
    return first ? j + iy : j - iy;
}

// ------------------------------------------------------------ complex arguments

template <class T>
__device__ inline bool cx_nan(cx<T> z) {
    return is_nan(z.re) || is_nan(z.im);
}
template <class T>
__device__ inline cx<T> cx_nan_of() {
    return mk(nan_of<T>(), nan_of<T>());
}
template <class T>
__device__ inline ik_pair<cx<T>> ik_complex(T nu, cx<T> z) {
    if (cx_nan(z) || bad_order(nu)) return {cx_nan_of<T>(), cx_nan_of<T>()};
    if (z.im == T(0) && (z.re == T(0) || is_inf(z.re))) {
        if (z.re < T(0))  // -inf
            return {mk(i_real(nu, z.re), T(0)), cx_nan_of<T>()};
        const ik_pair<T> p = ik_nonneg(nu, z.re);
        return {mk(p.i, T(0)), mk(p.k, T(0))};
    }
    if (is_inf(z.re) || is_inf(z.im)) return {cx_nan_of<T>(), cx_nan_of<T>()};
    const T a = m_abs(nu);
    const bool left = z.re < T(0);
    const cx<T> w = left ? -z : z;
    const ik_pair<cx<T>> s = unscale(ik_scaled(a, w), w);
    cx<T> i = s.i, k = s.k;
    if (left) {
        // z = w e^(+-i pi): I(z) = e^(+-i nu pi) I(w), K(z) = e^(-+i nu pi) K(w) -+ i pi I(w)
        const bool upper = m_copysign(T(1), z.im) > T(0);
        const cx<T> e = expipi(upper ? a : -a);
        const cx<T> ipi = times_i(T(pi_d) * i);
        k = conj(e) * k + (upper ? -ipi : ipi);
        i = e * i;
    }
    if (nu < T(0) && !is_integer(a)) {
        T sn, c;
        sincospi(a, &sn, &c);
        i = i + T(2 / pi_d) * sn * k;
    }
    return {i, k};
}

template <class T>
struct jyh_set {
    cx<T> j, y, h1, h2;
};

template <class T>
__device__ inline jyh_set<T> jyh_complex(T nu, cx<T> z) {
    const cx<T> nan = cx_nan_of<T>();
    if (cx_nan(z) || bad_order(nu)) return {nan, nan, nan, nan};
    if (z.im == T(0) && (z.re == T(0) || is_inf(z.re))) {
        const jy_pair<T> p = jy_nonneg(nu, m_abs(z.re));
        const cx<T> j = mk(p.j, T(0)), y = mk(p.y, T(0));
        return {j, y, j + times_i(y), j - times_i(y)};
    }
    if (is_inf(z.re) || is_inf(z.im)) return {nan, nan, nan, nan};
    const T a = m_abs(nu);
    const bool upper = m_copysign(T(1), z.im) > T(0);
    const cx<T> u = upper ? z : conj(z);
    const cx<T> w = mk(u.im, -u.re);  // -iu, in the right half-plane
    const ik_pair<cx<T>> s = unscale(ik_scaled(a, w), w);
    const cx<T> i = s.i, k = s.k;
    // J(u) = e^(i nu pi/2) I(-iu), H1(u) = -(2i/pi) e^(-i nu pi/2) K(-iu)
    const cx<T> e = expipi(T(0.5) * a);
    jyh_set<T> r;
    r.j = e * i;
    r.h1 = times_i(T(-2 / pi_d) * (conj(e) * k));
    r.h2 = T(2) * r.j - r.h1;
    r.y = times_i(r.j - r.h1);
    if (nu < T(0)) {
        T sn, c;
        sincospi(a, &sn, &c);
        const cx<T> j = r.j;
        r.j = c * j - sn * r.y;
        r.y = sn * j + c * r.y;
        const cx<T> f = mk(c, sn);
        r.h1 = f * r.h1;
        r.h2 = conj(f) * r.h2;
    }
    if (!upper) {
        const cx<T> h1 = r.h1;
        r = {conj(r.j), conj(r.y), conj(r.h2), conj(h1)};
    }
    return r;
}

}  // namespace bessel
