// The Hankel functions H1 (kind 1) and H2 (any other kind): launcher and
// exported entries. Real arguments give complex results too.
#include "bessel_launch.h"

namespace {
pkrError besselh(void *out, void *in, const void *nu, unsigned k, unsigned n, bool dbl, bool cplx) {
    const launch::shape s = bessel::grid(n);
    if (dbl)
        return launch::run(launch::standard, bessel::besselh_64_fn[cplx], s, out, in,
                           *static_cast<const double *>(nu), k, n);
    return launch::run(launch::standard, bessel::besselh_32_fn[cplx], s, out, in,
                       *static_cast<const float *>(nu), k, n);
}
}  // namespace

#define TV_BESSELH_ENTRY(fn, sfx, T, dbl, cplx)                                             \
    extern "C" pkrError pkr_##fn##_##sfx(void *out, void *in, T nu, unsigned k, unsigned n) { \
        return fn(out, in, &nu, k, n, dbl, cplx);                                           \
    }
TORVANE_BESSEL_ROWS(TV_BESSELH_ENTRY, besselh, z)
