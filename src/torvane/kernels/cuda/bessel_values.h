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
    if (s == T(0))  // integer orders: (-1)^n, the sign of a zero kept
        p = {c * p.j, c * p.y};
    else if (nu < T(0))
        p = {mul0(c, p.j) - mul0(s, p.y), mul0(s, p.j) + mul0(c, p.y)};
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
    return value(big<cx<T>>{mul0(r, b.m), b.e, b.x});
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
    const bool upper = m_copysign(T(1), z.im) > T(0);
    const cx<T> u = upper ? z : conj(z);
    cx<T> i, k;
    const T a = m_abs(nu);
    if (u.im == T(0)) {
        // The real axis: I_nu(x e^(i pi)) = e^(i nu pi) I_nu(x), and, K being even
        // in the order, K(x e^(i pi)) = e^(-i a pi) K_a(x) - i pi I_a(x).
        const T x = m_abs(u.re);
        const ik_pair<T> q = ik_nonneg(a, x, true, true);
        T sn = 0, c = 1;
        if (nu < T(0) && !is_integer(a)) sincospi(a, &sn, &c);
        const T iv = sn != T(0) ? q.i + mul0(T(2 / pi_d) * sn, q.k) : q.i;
        i = real_cx(iv), k = real_cx(q.k);
        if (u.re < T(0)) {
            i = mul0(expipi(nu), i);
            k = mul0(conj(expipi(a)), k) - mk(T(0), T(pi_d) * q.i);
        }
    } else if (u.re == T(0)) {
        // The imaginary axis: I_nu(iy) = e^(i nu pi/2) J_nu(y),
        // K(iy) = -(i pi/2) e^(-i a pi/2) (J_a(y) - iY_a(y)).
        if (want_i) i = mul0(expipi(T(0.5) * nu), real_cx(jy_nonneg(nu, u.im, false).j));
        if (want_k) {
            const jy_pair<T> p = jy_nonneg(a, u.im);
            k = mul0(mk(T(0), T(-pi_d / 2)) * conj(expipi(T(0.5) * a)), mk(p.j, -p.y));
        }
    } else {
        // I_-a = I_a + (2/pi) sin(a pi) K_a; in the left half-plane, u = w e^(i pi):
        // I_a(u) = e^(i a pi) I_a(w), K_a(u) = e^(-i a pi) K_a(w) - i pi I_a(w), so that
        // I_-a(u) = e^(-i a pi) (I_a(w) + (2/pi) sin(a pi) K_a(w)). Each term is
        // rotated before its exponential: no infinity meets another.
        const bool refl = nu < T(0) && !is_integer(a);
        T sn, c;
        sincospi(a, &sn, &c);
        const cx<T> ea = mk(c, sn);
        const bool left = u.re < T(0);
        const cx<T> w = left ? -u : u;
        big<cx<T>> bi = {}, bk = {};
        ik_right(a, w, &bi, &bk, want_i || left);
        if (want_i) {
            if (!left)
                i = refl ? value(bi) + turned(mk(T(2 / pi_d) * sn, T(0)), bk) : value(bi);
            else if (!refl)
                i = turned(ea, bi);
            else
                i = turned(conj(ea), bi) + turned(T(2 / pi_d) * sn * conj(ea), bk);
        }
        if (want_k) k = left ? turned(conj(ea), bk) + turned(mk(T(0), T(-pi_d)), bi) : value(bk);
    }
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
    const bool upper = m_copysign(T(1), z.im) > T(0);
    const cx<T> u = upper ? z : conj(z);
    // The conjugation swaps H1 and H2.
    if (!upper) want = (want & 3u) | ((want & 4u) << 1) | ((want & 8u) >> 1);
    jyh_set<T> r;
    if (u.im == T(0)) {
        // The real axis, any order (the relations of the negative axis hold for all nu).
        const jy_pair<T> p = jy_nonneg(nu, m_abs(u.re));
        r = u.re > T(0) ? jyh_set<T>{real_cx(p.j), real_cx(p.y), mk(p.j, p.y), mk(p.j, -p.y)}
                        : jyh_negative_axis(nu, p.j, p.y);
    } else if (u.re == T(0)) {
        // The imaginary axis, any order: J(iy) = e^(i nu pi/2) I(y),
        // H1(iy) = -(2i/pi) e^(-i nu pi/2) K(y).
        // With f = e^(i a pi), s = sin(a pi), c = cos(a pi) for nu = -a (f = 1,
        // s = 0 otherwise), from I_a(y) and K_a(y):
        //   J = e^(i nu pi/2) (I_a + (2/pi) s K_a),  H1 = f H1_a,  H2 = f* (2 J_a - H1_a),
        //   Y = i e^(i a pi/2) I_a - (2/pi) e^(-i a pi/2) K_a, for nu = -a
        //       i e^(-i a pi/2) (I_a + (2i/pi) c K_a),
        // J_a = e^(i a pi/2) I_a, H1_a = -(2i/pi) e^(-i a pi/2) K_a: each a turn times a
        // real value, so that no infinity meets another.
        const T a = m_abs(nu);
        T sn = 0, c = 1;
        if (nu < T(0)) sincospi(a, &sn, &c);
        const ik_pair<T> q = ik_nonneg(a, u.im, true, true);
        const cx<T> f = mk(c, sn), ea = expipi(T(0.5) * a), h1a = mk(T(0), T(-2 / pi_d)) * conj(ea);
        const T iv = sn != T(0) ? q.i + mul0(T(2 / pi_d) * sn, q.k) : q.i;
        r.j = mul0(expipi(T(0.5) * nu), real_cx(iv));
        r.h1 = mul0(f * h1a, real_cx(q.k));
        r.h2 = mul0(T(2) * conj(f) * ea, real_cx(q.i)) - mul0(conj(f) * h1a, real_cx(q.k));
        if (nu < T(0))
            r.y = mul0(times_i(conj(ea)), mk(q.i, mul0(T(2 / pi_d) * c, q.k)));
        else
            r.y = mul0(times_i(ea), real_cx(q.i)) - mul0(T(2 / pi_d) * conj(ea), real_cx(q.k));
    } else {
        // J_a(u) = e^(i a pi/2) I_a(-iu), H1_a(u) = -(2i/pi) e^(-i a pi/2) K_a(-iu); with
        // f = e^(i a pi), s = sin(a pi), c = cos(a pi) for nu = -a (f = 1 otherwise):
        //   J_nu = f* J_a + i s H1_a,  Y_nu = i f* J_a - i c H1_a,
        //   H1_nu = f H1_a,  H2_nu = f* (2 J_a - H1_a),
        // each term rotated before its exponential: no infinity meets another.
        const T a = m_abs(nu);
        T sn = 0, c = 1;
        if (nu < T(0)) sincospi(a, &sn, &c);
        const cx<T> f = mk(c, sn), e = expipi(T(0.5) * a), h1r = mk(T(0), T(-2 / pi_d)) * conj(e);
        const cx<T> w = mk(u.im, -u.re);
        big<cx<T>> bi = {}, bk = {};
        ik_right(a, w, &bi, &bk, (want & (want_j | want_y | want_h2)) != 0);
        const cx<T> j = turned(conj(f) * e, bi), h1 = turned(h1r, bk);
        r.j = j + times_i(mul0(sn, h1));
        r.y = times_i(j - mul0(c, h1));
        r.h1 = turned(f * h1r, bk);
        r.h2 = T(2) * j - turned(conj(f) * h1r, bk);
    }
    if (!upper) {
        const cx<T> h1 = r.h1;
        r = {conj(r.j), conj(r.y), conj(r.h2), conj(h1)};
    }
    return r;
}

}  // namespace bessel
