// Hankel matrices: the kernels' record, the two kernel tables with the rule
// that maps three element types to a slot, and the kernel template.
#pragma once

#include "arrays.h"

namespace hankel_matrix {

// Addresses are 64-bit; the fields keep their order (byte offsets: out 0,
// m 8, c 16, n 24, r 32; 40 bytes).
struct param_t {
    void *out;
    unsigned m;  // rows
    const void *c;
    unsigned n;  // columns
    const void *r;  // may be null
};

using kernel_fn = void (*)(param_t);

// The all-single kernels, slot 2*(column complex) + (row complex).
extern const std::array<kernel_fn, 4> hankel_32_fn;
// Every kernel with a double operand or a double result: slot
// 12*(output double) + 4*p + 2*(column complex) + (row complex), p being 0 for
// a single column with a double row, 1 for a double column with a single row
// and 2 for both in the output's precision. Slots 8 to 11 (all single) are
// null: those kernels are hankel_32_fn's.
extern const std::array<kernel_fn, 24> hankel_64_fn;

template <class To, class Tc, class Tr>
constexpr bool all_single = !arrays::is_double<To> && !arrays::is_double<Tc> && !arrays::is_double<Tr>;

template <class Tc, class Tr>
constexpr unsigned complexity = 2 * arrays::element<Tc>::cplx + arrays::element<Tr>::cplx;

template <class To, class Tc, class Tr>
constexpr unsigned slot_64() {
    const unsigned p = !arrays::is_double<Tc> && arrays::is_double<Tr>   ? 0
                       : arrays::is_double<Tc> && !arrays::is_double<Tr> ? 1
                                                                          : 2;
    return 12 * arrays::is_double<To> + 4 * p + complexity<Tc, Tr>;
}

// The element types of a slot of hankel_64_fn (the inverse of slot_64).
template <unsigned S>
struct types_64 {
    using out_part = typename std::conditional<S / 12 == 1, double, float>::type;
    static constexpr unsigned p = S % 12 / 4;
    static constexpr bool c_cplx = (S & 2) != 0, r_cplx = (S & 1) != 0;
    using c_part = typename std::conditional<p == 2, out_part,
                                             typename std::conditional<p == 1, double, float>::type>::type;
    using r_part = typename std::conditional<p == 2, out_part,
                                             typename std::conditional<p == 0, double, float>::type>::type;
    using To = arrays::complex_of_t<out_part, c_cplx || r_cplx>;
    using Tc = arrays::complex_of_t<c_part, c_cplx>;
    using Tr = arrays::complex_of_t<r_part, r_cplx>;
};

}  // namespace hankel_matrix

namespace {

// Element (i, j) of the m x n result: c[i + j] on and above the
// anti-diagonal, below it r[i + j - m + 1], or 0 without r.
template <class To, class Tc, class Tr>
__global__ void hankel(hankel_matrix::param_t p) {
    const uint64_t i = uint64_t(blockIdx.x) * 16 + threadIdx.x;
    const uint64_t j = uint64_t(blockIdx.y) * 16 + threadIdx.y;
    if (i >= p.m || j >= p.n) return;
    const uint64_t k = i + j;
    To v;
    if (k < p.m)
        v = arrays::convert<To>(static_cast<const Tc *>(p.c)[k]);
    else if (p.r)
        v = arrays::convert<To>(static_cast<const Tr *>(p.r)[k - p.m + 1]);
    else
        v = arrays::convert<To>(typename arrays::element<To>::part(0));
    static_cast<To *>(p.out)[j * p.m + i] = v;
}

template <unsigned S>
struct hankel_32_slot {
    static hankel_matrix::kernel_fn get() {
        using P = arrays::complex_of_t<float, S != 0>;
        return &hankel<P, arrays::complex_of_t<float, (S & 2) != 0>,
                       arrays::complex_of_t<float, (S & 1) != 0>>;
    }
};

template <unsigned S>
struct hankel_64_slot {
    static hankel_matrix::kernel_fn get() {
        using t = hankel_matrix::types_64<S>;
        if constexpr (hankel_matrix::all_single<typename t::To, typename t::Tc, typename t::Tr>)
            return nullptr;
        else
            return &hankel<typename t::To, typename t::Tc, typename t::Tr>;
    }
};

}  // namespace
