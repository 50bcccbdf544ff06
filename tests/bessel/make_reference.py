#!/usr/bin/python3
"""Reference values of the Bessel functions for tests/bessel, from mpmath.

    /usr/bin/python3 tests/bessel/make_reference.py            # writes data/*.txt
    /usr/bin/python3 tests/bessel/make_reference.py --tables   # the kernels' constant tables

Every order and argument is a float, so that the single- and double-precision
kernels see the same points. One line per point:
    real.txt     nu x J Y I K
    complex.txt  nu re im  J Y I K H1 H2   (each as real and imaginary part)
Values outside the double range are written as they are (1e400, 1e-400).
"""
import os
import random
import sys

import mpmath as mp
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def f32(v):
    return float(np.float32(v))


def num(v):
    return mp.nstr(mp.mpf(v), 20, min_fixed=-1, max_fixed=-1) if v != 0 else "0"


def real_points():
    orders = [0, 0.5, 1, 1.5, 2.25, 5, 10.75, 20, 37.25, 80, -0.25, -1, -2.5, -7.75, -40.5]
    rnd = random.Random(13)
    out = []
    for nu in orders:
        a = abs(nu)
        xs = [1e-10, 1e-5, 1e-3, 0.1, 0.5, 1, 1.9, 1.999, 2, 2.001, 3, 5, 8, 11.9, 12.1, 20,
              24.9, 25.1, 30, 50, 80, 100, 200, 300, 400, 1000, 1600, 2000, 5000, 1e4]
        xs += [v for v in (a - 1, a - 0.25, a, a + 0.25, a + 1, 0.25 * a * a - 1, 0.25 * a * a + 1)
               if 0 < v <= 1e4]
        if nu >= 0:  # near the zeros of J and Y
            for k in (1, 2, 5, 20):
                xs += [mp.besseljzero(a, k), mp.besselyzero(a, k)]
        xs += [10 ** rnd.uniform(-3, 4) for _ in range(12)]
        for x in sorted(set(f32(v) for v in xs)):
            out.append((f32(nu), x))
    return out


def complex_points():
    orders = [0, 0.5, 1, 2.25, 5, 12.5, 20, -0.75, -3, -8.5]
    radii = [1e-3, 0.1, 0.7, 1.5, 1.99, 2.01, 3, 6, 12, 24, 26, 40, 70, 100]
    angles = [0, 1, 2, 3, 4, 5, 6, -1, -2, -3, -4, -5]  # multiples of pi/6
    rnd = random.Random(7)
    out = []
    for nu in orders:
        zs = [(r * mp.cos(k * mp.pi / 6), r * mp.sin(k * mp.pi / 6)) for r in radii for k in angles]
        zs += [(mp.besseljzero(abs(nu), 3), 0.01)] if nu >= 0 else []
        zs += [(rnd.uniform(-100, 100), rnd.uniform(-100, 100)) for _ in range(8)]
        for re, im in zs:
            re, im = f32(re), f32(im)
            if abs(complex(re, im)) <= 100:
                out.append((f32(nu), re, im))
    return out


def write_real(path):
    mp.mp.dps = 40
    with open(path, "w") as f:
        for nu, x in real_points():
            vals = [mp.besselj(nu, x), mp.bessely(nu, x), mp.besseli(nu, x), mp.besselk(nu, x)]
            f.write(" ".join([num(nu), num(x)] + [num(mp.re(v)) for v in vals]) + "\n")


def write_complex(path):
    # H1 and H2 from J and Y cancel by up to e^(2|Im z|): carry the digits.
    mp.mp.dps = 130
    with open(path, "w") as f:
        for nu, re, im in complex_points():
            z = mp.mpc(re, im)
            j, y = mp.besselj(nu, z), mp.bessely(nu, z)
            vals = [j, y, mp.besseli(nu, z), mp.besselk(nu, z), j + 1j * y, j - 1j * y]
            cols = [num(nu), num(re), num(im)]
            for v in vals:
                cols += [num(mp.re(v)), num(mp.im(v))]
            f.write(" ".join(cols) + "\n")


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


if __name__ == "__main__":
    if "--tables" in sys.argv:
        tables()
    else:
        os.makedirs(os.path.join(HERE, "data"), exist_ok=True)
        write_real(os.path.join(HERE, "data", "real.txt"))
        write_complex(os.path.join(HERE, "data", "complex.txt"))
