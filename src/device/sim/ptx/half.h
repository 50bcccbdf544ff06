// Half-precision arithmetic of the PTX executor: f16 values and f16x2 pairs
// (two halves in one 32-bit register, the low one first). Sums, differences
// and products of halves are exact in double, so each result rounds once, to
// nearest even as the instructions do; the fused multiply-add goes through a
// round-to-odd double so that its second rounding cannot meet a false tie.
#pragma once

#include "ops.h"

namespace sim {
namespace ptx {

enum half_op : int { hf_add, hf_sub, hf_mul, hf_fma, hf_min, hf_max, hf_neg, hf_abs };

inline uint16_t half_flush(uint16_t h) { return (h & 0x7c00) == 0 ? uint16_t(h & 0x8000) : h; }
inline bool half_nan(uint16_t h) { return (h & 0x7c00) == 0x7c00 && (h & 0x3ff); }

// x * y + z rounded to a double with its last bit set when inexact: exact
// enough for any later rounding to 11 bits.
inline double fma_to_odd(double x, double y, double z) {
    const double p = x * y;  // exact: two 11-bit significands
    const double s = p + z, bb = s - p;
    const double err = (p - (s - bb)) + (z - bb);
    if (err == 0 || !std::isfinite(s)) return s;
    double d = (err < 0) != (s < 0) ? std::nextafter(s, 0.0) : s;
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    bits |= 1;
    std::memcpy(&d, &bits, 8);
    return d;
}

// One half lane; aux bit 0 ftz, bit 1 sat.
template <int OP>
inline uint16_t half_apply(uint16_t a, uint16_t b, uint16_t c, unsigned aux) {
    if (aux & 1) a = half_flush(a), b = half_flush(b), c = half_flush(c);
    if (OP == hf_neg) return uint16_t(a ^ 0x8000);
    if (OP == hf_abs) return uint16_t(a & 0x7fff);
    if (OP == hf_min || OP == hf_max) {
        if (half_nan(a) && half_nan(b)) return 0x7fff;
        if (half_nan(a)) return b;
        if (half_nan(b)) return a;
        const double x = half_value(a), y = half_value(b);
        if (x == y) return (OP == hf_min) == bool(a & 0x8000) ? a : b;
        return (OP == hf_min) == (x < y) ? a : b;
    }
    const double x = half_value(a), y = half_value(b);
    double r;
    switch (OP) {
    case hf_add: r = x + y; break;
    case hf_sub: r = x - y; break;
    case hf_mul: r = x * y; break;
    default: r = fma_to_odd(x, y, half_value(c)); break;
    }
    if (r != r) return 0x7fff;
    if (aux & 2) r = saturate(r);
    uint16_t h = half_bits(r, rn);
    return (aux & 1) ? half_flush(h) : h;
}

// add sub mul fma min max neg abs of .f16 (PAIR false) or .f16x2.
template <int OP, bool PAIR>
void h_half(thread &t, const insn &i) {
    const uint32_t a = get<uint32_t>(t, i.o[1]), b = get<uint32_t>(t, i.o[2]), c = get<uint32_t>(t, i.o[3]);
    uint32_t r = half_apply<OP>(uint16_t(a), uint16_t(b), uint16_t(c), i.aux);
    if (PAIR) {
        r |= uint32_t(half_apply<OP>(uint16_t(a >> 16), uint16_t(b >> 16), uint16_t(c >> 16), i.aux)) << 16;
        put<uint32_t>(t, i.o[0], r);
    } else {
        put<uint16_t>(t, i.o[0], uint16_t(r));
    }
}

// setp of halves: o[0] p, o[1] q, o[2] a, o[3] b, o[4] c; aux as h_setp's,
// bit 2 ftz. A pair sets p from the low halves and q from the high ones.
template <int C, bool PAIR>
void h_setp_half(thread &t, const insn &i) {
    const uint32_t a = get<uint32_t>(t, i.o[2]), b = get<uint32_t>(t, i.o[3]);
    const bool ftz = i.aux & 4, c = t.r[i.o[4]] != 0;
    auto cmp = [&](uint16_t x, uint16_t y) {
        if (ftz) x = half_flush(x), y = half_flush(y);
        return compare<double, C>(half_value(x), half_value(y));
    };
    auto join = [&](bool v) {
        switch (i.aux & 3) {
        case 1: return v && c;
        case 2: return v || c;
        case 3: return v != c;
        default: return v;
        }
    };
    const bool lo = cmp(uint16_t(a), uint16_t(b));
    if (PAIR) {
        t.r[i.o[0]] = join(lo);
        t.r[i.o[1]] = join(cmp(uint16_t(a >> 16), uint16_t(b >> 16)));
    } else {
        t.r[i.o[0]] = join(lo);
        t.r[i.o[1]] = join(!lo);
    }
}

}  // namespace ptx
}  // namespace sim
