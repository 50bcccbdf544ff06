/* torvane Bessel functions of device arrays: J, Y, I, K and the Hankel
 * functions H1 = J + iY and H2 = J - iY of one order for every element.
 *
 * out and in are device arrays of n elements. The suffix gives the argument:
 * f64 double, f32 float, z64/c64 double complex, z32/c32 float complex
 * (interleaved real and imaginary parts). J, Y, I and K write a result of the
 * argument's type; H writes a complex result also for a real argument, H1
 * for kind 1 and H2 for any other kind. The J entries evaluate at the order
 * rounded to float. Codes: 0 queued, 1 no device memory, 5 no device or no
 * code for it, 7 any other launch failure (an empty array included); an
 * error left pending by earlier device work is returned instead of
 * launching. The code is also the thread's last error. */
#ifndef TORVANE_BESSEL_H
#define TORVANE_BESSEL_H

#include "torvane.h"

/* The four entries of one function:
 * X(function, suffix, order type, double precision, complex argument). */
#define TORVANE_BESSEL_ROWS(X, fn, c) \
    X(fn, c##64, double, 1, 1)        \
    X(fn, f64, double, 1, 0)          \
    X(fn, c##32, float, 0, 1)         \
    X(fn, f32, float, 0, 0)

/* The functions that take an order only; besselh also takes a kind. */
#define TORVANE_BESSEL_ORDER_FUNCTIONS(X) \
    TORVANE_BESSEL_ROWS(X, besseli, z)    \
    TORVANE_BESSEL_ROWS(X, besselj, c)    \
    TORVANE_BESSEL_ROWS(X, besselk, z)    \
    TORVANE_BESSEL_ROWS(X, bessely, z)

#define TORVANE_BESSEL_DECLARE(fn, sfx, T, dbl, cplx) \
    TORVANE_API pkrError pkr_##fn##_##sfx(void *out, void *in, T nu, unsigned n);
#define TORVANE_BESSELH_DECLARE(fn, sfx, T, dbl, cplx) \
    TORVANE_API pkrError pkr_##fn##_##sfx(void *out, void *in, T nu, unsigned k, unsigned n);

#ifdef __cplusplus
extern "C" {
#endif

TORVANE_BESSEL_ORDER_FUNCTIONS(TORVANE_BESSEL_DECLARE)
TORVANE_BESSEL_ROWS(TORVANE_BESSELH_DECLARE, besselh, z)

#ifdef __cplusplus
}
#endif

#endif
