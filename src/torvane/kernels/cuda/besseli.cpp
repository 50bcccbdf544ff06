// The modified Bessel function I: its launcher and exported entries.
#include "bessel_launch.h"

namespace {
pkrError besseli(void *out, void *in, const void *nu, unsigned n, bool dbl, bool cplx) {
    return bessel::launch_order(bessel::besseli_64_fn, bessel::besseli_32_fn, out, in, nu, n,
                                dbl, cplx);
}
}  // namespace

TORVANE_BESSEL_ROWS(TV_BESSEL_ORDER_ENTRY, besseli, z)
