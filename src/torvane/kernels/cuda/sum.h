// What sum puts into the reduction frame: zero as the start value, plain
// additions in the partial type (float for single and logical input, double
// for double, complex parts apart) and a host finish in extended precision.
#pragma once

#include "reduce_frame.h"

#include <limits>

namespace reduce {

#ifndef __CUDA_ARCH__
// The host finish rounds as x87's extended format does; where long double is
// another format, vector sums would round differently without a sign.
static_assert(std::numeric_limits<long double>::digits == 64,
              "the host finish of sum needs a long double with a 64-bit significand");
#endif

struct sum_rule : rule_defaults {
    static constexpr bool own_finish = true;

    template <class P>
    DEV_HOSTDEV static P start() {
        return P{};
    }
    DEV_HOSTDEV static float combine(float a, float x) { return a + x; }
    // A logical member counts as its byte's unsigned value.
    DEV_HOSTDEV static float combine(float a, unsigned char x) { return a + float(x); }
    DEV_HOSTDEV static double combine(double a, double x) { return a + x; }
    DEV_HOSTDEV static float2 combine(float2 a, float2 x) {
        a.x = a.x + x.x;
        a.y = a.y + x.y;
        return a;
    }
    DEV_HOSTDEV static double2 combine(double2 a, double2 x) {
        a.x = a.x + x.x;
        a.y = a.y + x.y;
        return a;
    }
    template <class P>
    DEV_HOSTDEV static P merge(P a, P b) {
        return combine(a, b);
    }

    // Host finish: one accumulator with a 64-bit significand per part, the
    // rounded value stored after every element.
    template <class Out, class In>
    static void finish(Out *out, const In *v, unsigned n) {
        long double acc = 0;
        *out = Out(0);
        for (unsigned i = 0; i < n; ++i) {
            acc += static_cast<long double>(v[i]);
            *out = static_cast<Out>(acc);
        }
    }
    template <class C>
    static void finish_parts(C *out, const C *v, unsigned n) {
        using part = decltype(out->x);
        long double re = 0, im = 0;
        out->x = 0;
        out->y = 0;
        for (unsigned i = 0; i < n; ++i) {
            re += static_cast<long double>(v[i].x);
            im += static_cast<long double>(v[i].y);
            out->x = static_cast<part>(re);
            out->y = static_cast<part>(im);
        }
    }
    static void finish(float2 *out, const float2 *v, unsigned n) { finish_parts(out, v, n); }
    static void finish(double2 *out, const double2 *v, unsigned n) { finish_parts(out, v, n); }
};

}  // namespace reduce
