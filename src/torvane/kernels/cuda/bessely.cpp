// The Bessel function Y of the second kind: its launcher and exported entries.
#include "bessel_launch.h"

namespace {
pkrError bessely(void *out, void *in, const void *nu, unsigned n, bool dbl, bool cplx) {
    return bessel::launch_order(bessel::bessely_64_fn, bessel::bessely_32_fn, out, in, nu, n,
                                dbl, cplx);
}
}  // namespace

TORVANE_BESSEL_ROWS(TV_BESSEL_ORDER_ENTRY, bessely, z)
