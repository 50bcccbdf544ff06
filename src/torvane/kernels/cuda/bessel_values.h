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
// Values beyond the range of T give signed infinities and zeros, in each part
// of a complex result on its own. Complex arguments with a negative zero
// imaginary part lie on the lower side of the cut.
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

// J and Y of any order at x >= 0 (0 and +inf included); Y only where asked
// for or needed by a negative order.
template <class T>
__device__ inline jy_pair<T> jy_nonneg(T nu, T x, bool want_y = true) {
    const T a = m_abs(nu);
    T s = 0, c = 1;
    if (nu < T(0)) sincospi(a, &s, &c);
    jy_pair<T> p;
    if (x == T(0))
        p = {a == T(0) ? T(1) : T(0), -inf_of<T>()};
    else if (is_inf(x))
        p = {T(0), T(0)};
    else
        p = jy_positive(a, x, true, want_y || s != T(0));
    if (nu < T(0)) p = {mul0(c, p.j) - mul0(s, p.y), mul0(s, p.j) + mul0(c, p.y)};
    return p;
}

// I and K of any order at x >= 0.
template <class T>
__device__ inline ik_pair<T> ik_nonneg(T nu, T x, bool want_i, bool want_k) {
    const T a = m_abs(nu);
    T s = 0, c = 1;
    if (nu < T(0) && !is_integer(a)) sincospi(a, &s, &c);
    ik_pair<T> p;
    if (x == T(0))
        p = {a == T(0) ? T(1) : T(0), inf_of<T>()};
    else if (is_inf(x))
        p = {inf_of<T>(), T(0)};
    else
        p = ik_positive(a, x, want_i, want_k || s != T(0));
    if (s != T(0)) p.i = p.i + mul0(T(2 / pi_d) * s, p.k);
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
    auto j = [&](T a) { return jy_nonneg(nu, a, false).j; };
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
    auto i = [&](T a) { return ik_nonneg(nu, a, true, false).i; };
    return x < T(0) ? integer_reflection(nu, x, i) : i(x);
}

template <class T>
__device__ inline T k_real(T nu, T x) {
    if (is_nan(x) || bad_order(nu)) return nan_of<T>();
    if (x < T(0)) return nan_of<T>();
    return ik_nonneg(nu, x, false, true).k;
}

template <class T>
struct jyh_set {
    cx<T> j, y, h1, h2;
};

// J, Y, H1 and H2 of order nu >= 0 at the real x e^(i pi) (x > 0, upper side
// of the cut): J = e^(i nu pi) J(x), Y = e^(-i nu pi) Y(x) + 2i cos(nu pi) J(x),
// H1 = -e^(-i nu pi) H2(x), H2 = J - iY.
template <class T>
__device__ inline jyh_set<T> jyh_negative_axis(T nu, T jx, T yx) {
    const cx<T> e = expipi(nu);
    const cx<T> j = mul0(e, mk(jx, T(0)));
    const cx<T> y = mul0(conj(e), mk(yx, T(0))) + mk(T(0), mul0(T(2) * e.re, jx));
    const cx<T> h1 = -mul0(conj(e), mk(jx, -yx));
    return {j, y, h1, j - times_i(y)};
}

// H1 (first) or H2 of a real argument.
template <class T>
__device__ inline cx<T> h_real(T nu, T x, bool first) {
    if (is_nan(x) || bad_order(nu)) return mk(nan_of<T>(), nan_of<T>());
    const jy_pair<T> p = jy_nonneg(nu, m_abs(x));
    if (x < T(0) && !is_inf(x)) {
        const jyh_set<T> s = jyh_negative_axis(nu, p.j, p.y);
        return first ? s.h1 : s.h2;
    }
    return mk(p.j, first ? p.y : -p.y);
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
__device__ inline cx<T> real_cx(T v) {
    return mk(v, T(0));
}
// b rotated by the unit number r, as a value.
template <class T>
__device__ inline cx<T> turned(cx<T> r, const big<cx<T>> &b) {
    return value(big<cx<T>>{r * b.m, b.e, b.x});
}

template <class T>
__device__ inline ik_pair<cx<T>> ik_complex(T nu, cx<T> z, bool want_i, bool want_k) {
    if (cx_nan(z) || bad_order(nu)) return {cx_nan_of<T>(), cx_nan_of<T>()};
    if (z.im == T(0) && (z.re == T(0) || is_inf(z.re))) {
        if (z.re < T(0))  // -inf
            return {real_cx(i_real(nu, z.re)), cx_nan_of<T>()};
        const ik_pair<T> p = ik_nonneg(nu, z.re, true, true);
        return {real_cx(p.i), real_cx(p.k)};
    }
    if (is_inf(z.re) || is_inf(z.im)) return {cx_nan_of<T>(), cx_nan_of<T>()};
    const T a = m_abs(nu);
    T sn = 0, c = 1;
    if (nu < T(0) && !is_integer(a)) sincospi(a, &sn, &c);
    want_k = want_k || sn != T(0);
    const bool upper = m_copysign(T(1), z.im) > T(0);
    const cx<T> u = upper ? z : conj(z);
    cx<T> i, k;
    if (u.im == T(0)) {
        // The real axis: I(x e^(i pi)) = e^(i a pi) I(x), K(x e^(i pi)) = e^(-i a pi) K(x) - i pi I(x).
        const T x = m_abs(u.re);
        const ik_pair<T> p = ik_positive(a, x, want_i || u.re < T(0), want_k);
        i = real_cx(p.i), k = real_cx(p.k);
        if (u.re < T(0)) {
            const cx<T> e = expipi(a);
            k = mul0(conj(e), k) - mk(T(0), T(pi_d) * p.i);
            i = mul0(e, i);
        }
    } else if (u.re == T(0)) {
        // The imaginary axis: I(iy) = e^(i a pi/2) J(y), K(iy) = -(i pi/2) e^(-i a pi/2) (J(y) - iY(y)).
        const jy_pair<T> p = jy_positive(a, u.im, true, want_k);
        const cx<T> e = expipi(T(0.5) * a);
        i = mul0(e, real_cx(p.j));
        k = mul0(mk(T(0), T(-pi_d / 2)) * conj(e), mk(p.j, -p.y));
    } else {
        const bool left = u.re < T(0);
        const cx<T> w = left ? -u : u;
        big<cx<T>> bi = {}, bk = {};
        ik_right(a, w, &bi, &bk, want_i || left);
        if (left) {
            // u = w e^(i pi): I(u) = e^(i a pi) I(w), K(u) = e^(-i a pi) K(w) - i pi I(w)
            const cx<T> e = expipi(a);
            if (want_k) k = turned(conj(e), bk) + turned(mk(T(0), T(-pi_d)), bi);
            i = turned(e, bi);
        } else {
            if (want_k) k = value(bk);
            if (want_i) i = value(bi);
        }
    }
    if (sn != T(0)) i = i + mul0(T(2 / pi_d) * sn, k);
    if (!upper) i = conj(i), k = conj(k);
    return {i, k};
}

enum : unsigned { want_j = 1, want_y = 2, want_h1 = 4, want_h2 = 8 };

template <class T>
__device__ inline jyh_set<T> jyh_complex(T nu, cx<T> z, unsigned want) {
    const cx<T> nan = cx_nan_of<T>();
    if (cx_nan(z) || bad_order(nu)) return {nan, nan, nan, nan};
    if (z.im == T(0) && (z.re == T(0) || is_inf(z.re))) {
        const jy_pair<T> p = jy_nonneg(nu, m_abs(z.re));
        return {real_cx(p.j), real_cx(p.y), mk(p.j, p.y), mk(p.j, -p.y)};
    }
    if (is_inf(z.re) || is_inf(z.im)) return {nan, nan, nan, nan};
    const T a = m_abs(nu);
    T sn = 0, c = 1;
    if (nu < T(0)) {
        sincospi(a, &sn, &c);
        // J_-a = c J - s Y, Y_-a = s J + c Y; H1_-a = e^(i a pi) H1, H2_-a = e^(-i a pi) H2
        if (want & (want_j | want_y)) want |= (sn != T(0) ? want_j | want_y : 0u);
    }
    const bool upper = m_copysign(T(1), z.im) > T(0);
    const cx<T> u = upper ? z : conj(z);
    // The conjugation swaps H1 and H2.
    if (!upper) want = (want & 3u) | ((want & 4u) << 1) | ((want & 8u) >> 1);
    jyh_set<T> r;
    if (u.im == T(0)) {
        const T x = m_abs(u.re);
        const jy_pair<T> p = jy_positive(a, x, true, true);
        r = u.re > T(0) ? jyh_set<T>{real_cx(p.j), real_cx(p.y), mk(p.j, p.y), mk(p.j, -p.y)}
                        : jyh_negative_axis(a, p.j, p.y);
    } else {
        // J(u) = e^(i a pi/2) I(-iu), H1(u) = -(2i/pi) e^(-i a pi/2) K(-iu)
        const cx<T> e = expipi(T(0.5) * a);
        const cx<T> h1r = mk(T(0), T(-2 / pi_d)) * conj(e);
        if (u.re == T(0)) {
            const ik_pair<T> p = ik_positive(a, u.im, true, true);
            r.j = mul0(e, real_cx(p.i));
            r.h1 = mul0(h1r, real_cx(p.k));
        } else {
            const cx<T> w = mk(u.im, -u.re);
            big<cx<T>> bi = {}, bk = {};
            ik_right(a, w, &bi, &bk, (want & (want_j | want_y | want_h2)) != 0);
            r.j = turned(e, bi);
            r.h1 = turned(h1r, bk);
        }
        r.h2 = T(2) * r.j - r.h1;
        r.y = times_i(r.j - r.h1);
    }
    if (nu < T(0)) {
        const cx<T> j = r.j;
        r.j = mul0(c, j) - mul0(sn, r.y);
        r.y = mul0(sn, j) + mul0(c, r.y);
        const cx<T> f = mk(c, sn);
        r.h1 = mul0(f, r.h1);
        r.h2 = mul0(conj(f), r.h2);
    }
    if (!upper) {
        const cx<T> h1 = r.h1;
        r = {conj(r.j), conj(r.y), conj(r.h2), conj(h1)};
    }
    return r;
}

}  // namespace bessel
