#!/usr/bin/python3
"""Reference values of the Bessel functions for tests/bessel, from mpmath.

    /usr/bin/python3 tests/bessel/make_reference.py            # writes data/*.txt
    /usr/bin/python3 tests/bessel/make_reference.py --tables   # the kernels' constant tables

Every order is a float, and so is every argument except the subnormal and
tiny doubles of the real set (the single-precision tests skip those). One
line per point, 17 significant digits:
    real.txt     nu x J Y I K
    complex.txt  nu re im  J Y I K H1 H2   (each as real and imaginary part)
Values outside the double range are written as they are (1e400, 1e-400). An
imaginary part written -0 puts the point on the lower side of the cut.

Each value is computed at two working precisions and must agree between them;
H1 and H2 come from K on the half-plane where they are small, where J + iY
would cancel; on the axes every value comes from the real-argument functions.
"""
import os
import random
import struct
import sys
from fractions import Fraction

import mpmath as mp

HERE = os.path.dirname(os.path.abspath(__file__))


def f32(v):
    return struct.unpack("f", struct.pack("f", float(v)))[0]


def num(v):
    if v == 0:
        return "0"
    return mp.nstr(mp.mpf(v), 17, min_fixed=-1, max_fixed=-1)


def checked(f):
    """f() at 40 and 70 digits; the values must agree to 1e-25 of their size."""
    mp.mp.dps = 70
    hi = f()
    mp.mp.dps = 40
    lo = f()
    for a, b in zip(hi, lo):
        assert abs(a - b) <= 1e-25 * abs(a) or abs(a - b) < mp.mpf(10) ** -1000, (a, b)
    return hi


REAL_ORDERS = [0, 0.5, 1, 1.5, 2.25, 5, 10.75, 20, 37.25, 80, 100, 150.5, 283, 400,
               -0.25, -1, -2.5, -7.75, -40.5, -283]


def real_points():
    rnd = random.Random(13)
    out = []
    for nu in REAL_ORDERS:
        a = abs(nu)
        xs = [1e-3, 0.1, 0.5, 1, 1.9, 1.999, 2, 2.001, 3, 5, 8, 11.9, 12.1, 20,
              24.9, 25.1, 30, 50, 80, 100, 200, 400, 1000, 5000, 1e4, 1.5e4, 1e5, 1e6, 1e8]
        xs += [v for v in (a - 1, a - 0.25, a, a + 0.25, a + 1, 0.125 * a * a, 0.5 * a * a - 1,
                           0.5 * a * a + 1, 1.25 * a, 3 * a, 30 * a) if 0 < v <= 1e8]
        xs += [v for v in (1e-30, 1e-10, 1e-5) if a < 40]
        if nu >= 0 and a <= 100:  # near the zeros of J and Y
            for k in (1, 2, 5, 20):
                xs += [mp.besseljzero(a, k), mp.besselyzero(a, k)]
        xs += [10 ** rnd.uniform(-3, 8) for _ in range(6)]
        pts = sorted(set(f32(v) for v in xs))
        if a <= 1:  # tiny and subnormal doubles: not floats
            pts += [1e-310, 1e-300, 1e-240]
        out += [(f32(nu), x) for x in pts]
    return out


def complex_points():
    orders = [0, 0.5, 1, 2.25, 5, 12.5, 20, 60, 150, -0.75, -3, -8.5, -60]
    radii = [1e-5, 1e-2, 0.7, 1.9, 4, 12, 40, 200, 1000]
    rnd = random.Random(7)
    out = []
    for n, nu in enumerate(orders):
        # Eight rays a quarter turn apart from an offset of its own for each
        # order, the imaginary axis, and both sides of the cut.
        angles = [(k + n / len(orders)) * mp.pi / 4 - mp.pi for k in range(8)]
        zs = []  # (re, im, on the lower side of the cut)
        for r in radii:
            zs += [(r * mp.cos(t), r * mp.sin(t), False) for t in angles]
            zs += [(0, r, False), (-r, 0, False), (-r, 0, True)]
        zs += [(0, -radii[rnd.randrange(len(radii))], False)]
        zs += [(rnd.uniform(-300, 300), rnd.uniform(-300, 300), False) for _ in range(4)]
        out += [(f32(nu), f32(re), f32(im), lower) for re, im, lower in zs]
    return out


def besseli(nu, z):
    """I at negative orders from the positive one and K, where mpmath's own
    series cannot settle at large |z|."""
    if nu >= 0:
        return mp.besseli(nu, z)
    return mp.besseli(-nu, z) + 2 / mp.pi * mp.sinpi(-nu) * mp.besselk(-nu, z)


def write_real(path):
    with open(path, "w") as f:
        for nu, x in real_points():
            x = mp.mpf(x)
            vals = checked(lambda: [mp.besselj(nu, x), mp.bessely(nu, x), besseli(nu, x),
                                    mp.besselk(nu, x)])
            f.write(" ".join([num(nu), num(x)] + [num(mp.re(v)) for v in vals]) + "\n")


def axis_values(nu, z):
    """On the axes from the real-argument functions, whose parts mpmath's
    complex ones leave inexact below the size of the whole value."""
    re, im = mp.re(z), mp.im(z)
    if im == 0:
        x = abs(re)
        j, y, i, k = mp.besselj(nu, x), mp.bessely(nu, x), besseli(nu, x), mp.besselk(nu, x)
        if re > 0:
            return [j, y, i, k, j + 1j * y, j - 1j * y]
        e = mp.expjpi(nu)  # z = x e^(i pi)
        jz, yz = e * j, y / e + 2j * mp.cospi(nu) * j
        return [jz, yz, e * i, k / e - 1j * mp.pi * i, -(j - 1j * y) / e, jz - 1j * yz]
    y_ = abs(im)  # z = iy; -iy by conjugation
    e = mp.expjpi(mp.mpf(nu) / 2)
    j, y, i, k = mp.besselj(nu, y_), mp.bessely(nu, y_), besseli(nu, y_), mp.besselk(nu, y_)
    jz, h1 = e * i, 2 / (mp.pi * 1j) / e * k
    # Y(iy) = i e^(i nu pi/2) I_nu - (2/pi) e^(-i nu pi/2) K_nu; for nu = -a written
    # with I_a, where I_-a and K would cancel: i e^(-i a pi/2) (I_a + (2i/pi) cos(a pi) K_a).
    a = abs(mp.mpf(nu))
    if nu >= 0:
        yz = 1j * e * i - 2 / mp.pi / e * k
    else:
        yz = 1j / mp.expjpi(a / 2) * (mp.besseli(a, y_) + 2j / mp.pi * mp.cospi(a) * k)
    vals = [jz, yz, e * j, -(mp.pi * 1j / 2) / e * (j - 1j * y), h1, 2 * jz - h1]
    if im < 0:
        vals = [mp.conj(v) for v in vals]
        vals[4], vals[5] = vals[5], vals[4]
    return vals


def complex_values(nu, z):
    if mp.re(z) == 0 or mp.im(z) == 0:
        return axis_values(nu, z)
    j, y = mp.besselj(nu, z), mp.bessely(nu, z)
    i, k = besseli(nu, z), mp.besselk(nu, z)
    e = mp.expjpi(mp.mpf(nu) / 2)
    if mp.im(z) >= 0:  # H1 small: from K(-iz); H2 = 2J - H1
        h1 = 2 / (mp.pi * 1j) / e * mp.besselk(nu, -1j * z)
        h2 = 2 * j - h1
    else:
        h2 = -2 / (mp.pi * 1j) * e * mp.besselk(nu, 1j * z)
        h1 = 2 * j - h2
    return [j, y, i, k, h1, h2]


def write_complex(path):
    with open(path, "w") as f:
        for nu, re, im, lower in complex_points():
            z = mp.mpc(re, im)
            vals = checked(lambda: complex_values(nu, z))
            if lower:  # f(conj z) = conj f(z), with H1 and H2 swapped
                vals = [mp.conj(v) for v in vals]
                vals[4], vals[5] = vals[5], vals[4]
            cols = [num(nu), num(re), "-0" if lower else num(im)]
            for v in vals:
                cols += [num(mp.re(v)), num(mp.im(v))]
            f.write(" ".join(cols) + "\n")


def debye():
    """Debye's polynomials u_k(p) = p^k v_k(p^2): v_k's coefficients, k = 0..13."""
    u = [[Fraction(1)]]
    for _ in range(13):
        c = u[-1]
        n = len(c) + 3
        r = [Fraction(0)] * n
        for i in range(1, len(c)):  # p^2 (1 - p^2) u'/2
            r[i + 1] += i * c[i] / 2
            r[i + 3] -= i * c[i] / 2
        for i, v in enumerate(c):  # (1/8) int_0^p (1 - 5 t^2) u
            r[i + 1] += v / 8 / (i + 1)
            r[i + 3] -= 5 * v / 8 / (i + 3)
        u.append(r)
    rows = []
    for k, c in enumerate(u):
        rows.append([c[k + 2 * i] if k + 2 * i < len(c) else Fraction(0) for i in range(k + 1)])
    return rows


def tables():
    mp.mp.dps = 50

    def gammas(mu):
        a, b = mp.rgamma(1 - mu), mp.rgamma(1 + mu)
        return ((a - b) / (2 * mu) if mu else -mp.euler), (a + b) / 2

    def cheb(k, n, nodes=80):  # in t = 8 mu^2 - 1
        cs = []
        for j in range(n):
            s = 0
            for i in range(nodes):
                th = mp.pi * (i + mp.mpf(1) / 2) / nodes
                s += gammas(mp.sqrt((mp.cos(th) + 1) / 8))[k] * mp.cos(j * th)
            cs.append(2 * s / nodes)
        return cs

    print("C1", ", ".join(mp.nstr(c, 20) for c in cheb(0, 10)))
    print("C2", ", ".join(mp.nstr(c, 20) for c in cheb(1, 11)))
    print("G", ", ".join(mp.nstr(c, 20) for c in mp.taylor(mp.rgamma, 0, 25)[1:]))
    for k, row in enumerate(debye()):
        print("DEBYE%d" % k, ", ".join(mp.nstr(mp.mpf(v.numerator) / v.denominator, 20) for v in row))


if __name__ == "__main__":
    if "--tables" in sys.argv:
        tables()
    else:
        os.makedirs(os.path.join(HERE, "data"), exist_ok=True)
        write_real(os.path.join(HERE, "data", "real.txt"))
        write_complex(os.path.join(HERE, "data", "complex.txt"))
