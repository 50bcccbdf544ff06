// What all and any put into the reduction frame: one-byte partials, 0 or 1,
// whatever the input; a thread stops reading once its byte is decided.
#pragma once

#include "reduce_frame.h"

namespace reduce {

// Whether an element counts as true. A complex element is zero only when
// both parts are, for all as for any.
DEV_HOSTDEV inline bool nonzero(float x) { return x != 0; }
DEV_HOSTDEV inline bool nonzero(double x) { return x != 0; }
DEV_HOSTDEV inline bool nonzero(unsigned char x) { return x != 0; }
DEV_HOSTDEV inline bool nonzero(float2 z) { return z.x != 0 || z.y != 0; }
DEV_HOSTDEV inline bool nonzero(double2 z) { return z.x != 0 || z.y != 0; }

// every: all (start 1, AND), else any (start 0, OR).
template <bool every>
struct logical_rule : rule_defaults {
    using byte = unsigned char;
    static constexpr byte initial = every ? 1 : 0;
    static constexpr bool early_exit = true;

    template <class P>
    DEV_HOSTDEV static P start() {
        return initial;
    }
    DEV_HOSTDEV static bool decided(byte a) { return a != initial; }
    template <class X>
    DEV_HOSTDEV static byte combine(byte a, const X &x) {
        return every ? byte(a && nonzero(x)) : byte(a || nonzero(x));
    }
    DEV_HOSTDEV static byte merge(byte a, byte b) { return combine(a, b); }
};

using all_rule = logical_rule<true>;
using any_rule = logical_rule<false>;

}  // namespace reduce

// The families of all or any (`op`, rule `Rule`): real and byte input, and
// complex input with its own byte family for the second pass.
#define TV_LOGICAL_FAMILIES(op, Rule) \
    TV_REDUCE_FAMILY(op, Rule)        \
    TV_REDUCE_FAMILY(op##_cplx, Rule)

// The rows of all or any: real input in slot 2, logical input in slot 3 (single
// precision only), complex input in slot 5.
#define TV_LOGICAL_DBL_SLOTS(op, c)                                                        \
    {                                                                                      \
        nullptr, nullptr, &op##_##c<unsigned char, double>, nullptr, nullptr,              \
            &op##_cplx_##c<unsigned char, double2>, nullptr                                \
    }
#define TV_LOGICAL_SGL_SLOTS(op, c)                                                        \
    {                                                                                      \
        nullptr, nullptr, &op##_##c<unsigned char, float>,                                 \
            &op##_##c<unsigned char, unsigned char>, nullptr,                              \
            &op##_cplx_##c<unsigned char, float2>, nullptr                                 \
    }
