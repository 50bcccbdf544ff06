// What the five Bessel launchers share: the grid and the launch of one kernel
// of a function's tables.
#pragma once

#include "bessel_fn.h"
#include "launch.h"
#include "torvane_bessel.h"

namespace bessel {

// ceil(n/128) blocks of 128 threads; past 65535 blocks, rows of 8192 blocks.
inline launch::shape grid(unsigned n) {
    const uint64_t blocks = launch::ceil_div(n, 128);
    if (blocks <= launch::max_grid) return launch::linear(n, 128);
    return {launch::ceil_div(n, 1048576), 8192, 128, 1};
}

// The launcher body of the functions that take only an order: slot 1 for a
// complex argument, the double table for double precision.
inline pkrError launch_order(const kernel_fn<double> *t64, const kernel_fn<float> *t32, void *out,
                             void *in, const void *nu, unsigned n, bool dbl, bool cplx) {
    if (dbl)
        return launch::run(launch::standard, t64[cplx], grid(n), out, in,
                           *static_cast<const double *>(nu), n);
    return launch::run(launch::standard, t32[cplx], grid(n), out, in,
                       *static_cast<const float *>(nu), n);
}

}  // namespace bessel

// An exported entry that passes the address of its order.
#define TV_BESSEL_ORDER_ENTRY(fn, sfx, T, dbl, cplx)                              \
    extern "C" pkrError pkr_##fn##_##sfx(void *out, void *in, T nu, unsigned n) { \
        return fn(out, in, &nu, n, dbl, cplx);                                    \
    }
// The file-local launcher of a function that takes an order only, over its
// tables, and its four entries.
#define TV_BESSEL_ORDER_FUNCTION(fn)                                                         \
    namespace {                                                                              \
    pkrError fn(void *out, void *in, const void *nu, unsigned n, bool dbl, bool cplx) {     \
        return bessel::launch_order(bessel::fn##_64_fn, bessel::fn##_32_fn, out, in, nu, n, \
                                    dbl, cplx);                                              \
    }                                                                                        \
    }                                                                                        \
    TORVANE_BESSEL_ROWS(TV_BESSEL_ORDER_ENTRY, fn, z)
