// The Bessel function J of the first kind: launcher and exported entries.
// Every J kernel takes its order as a float; the double entries round theirs.
#include "bessel_launch.h"

namespace {
pkrError besselj(void *out, void *in, float nu, unsigned n, bool dbl, bool cplx) {
    const bessel::param_t p{out, in, nu, n};
    return launch::run(launch::standard, (dbl ? bessel::besselj_64_fn : bessel::besselj_32_fn)[cplx],
                       bessel::grid(n), p);
}
}  // namespace

#define TV_BESSELJ_ENTRY(fn, sfx, T, dbl, cplx)                                 \
    extern "C" pkrError pkr_##fn##_##sfx(void *out, void *in, T nu, unsigned n) { \
        return fn(out, in, float(nu), n, dbl, cplx);                            \
    }
TORVANE_BESSEL_ROWS(TV_BESSELJ_ENTRY, besselj, c)
