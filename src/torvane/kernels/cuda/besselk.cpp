// The modified Bessel function K: its launcher and exported entries.
#include "bessel_launch.h"

namespace {
pkrError besselk(void *out, void *in, const void *nu, unsigned n, bool dbl, bool cplx) {
    return bessel::launch_order(bessel::besselk_64_fn, bessel::besselk_32_fn, out, in, nu, n,
                                dbl, cplx);
}
}  // namespace

TORVANE_BESSEL_ROWS(TV_BESSEL_ORDER_ENTRY, besselk, z)
