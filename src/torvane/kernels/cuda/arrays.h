// What the array kernels (Hankel matrices, transposes, differences,
// gradients) share: element types as the device holds them, conversions
// between them, and kernel tables generated from lists of types or slots.
#pragma once

#include "device/kernel.h"
#include "launch.h"
#include "torvane_arrays.h"

#include <array>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace arrays {

// Logical elements are bytes: kernels move or test them as bytes, so that no
// byte other than 0 or 1 is ever read as a bool.
using logical = unsigned char;

// The device type behind an element type of the public tables.
template <class T> struct stored { using type = T; };
template <> struct stored<bool> { using type = logical; };
template <class T> using stored_t = typename stored<T>::type;

// Precision and complexity of the float types.
template <class T> struct element {
    using part = T;
    static constexpr bool cplx = false;
};
template <> struct element<float2> {
    using part = float;
    static constexpr bool cplx = true;
};
template <> struct element<double2> {
    using part = double;
    static constexpr bool cplx = true;
};
template <class P, bool cplx> struct complex_of { using type = P; };
template <> struct complex_of<float, true> { using type = float2; };
template <> struct complex_of<double, true> { using type = double2; };
template <class P, bool cplx> using complex_of_t = typename complex_of<P, cplx>::type;

template <class T> constexpr bool is_double = std::is_same<typename element<T>::part, double>::value;

DEV_HOSTDEV inline float real_part(float v) { return v; }
DEV_HOSTDEV inline double real_part(double v) { return v; }
DEV_HOSTDEV inline float real_part(float2 v) { return v.x; }
DEV_HOSTDEV inline double real_part(double2 v) { return v.x; }
DEV_HOSTDEV inline float imag_part(float) { return 0.0f; }
DEV_HOSTDEV inline double imag_part(double) { return 0.0; }
DEV_HOSTDEV inline float imag_part(float2 v) { return v.y; }
DEV_HOSTDEV inline double imag_part(double2 v) { return v.y; }

DEV_HOSTDEV inline void assemble(float &o, float re, float) { o = re; }
DEV_HOSTDEV inline void assemble(double &o, double re, double) { o = re; }
DEV_HOSTDEV inline void assemble(float2 &o, float re, float im) { o = make_float2(re, im); }
DEV_HOSTDEV inline void assemble(double2 &o, double re, double im) { o = make_double2(re, im); }

// A value in another precision or complexity: each part rounded to nearest, a
// real value as a complex one with imaginary part 0. (No entry takes a
// complex value to a real result.)
template <class To, class From>
DEV_HOSTDEV inline To convert(const From &v) {
    using P = typename element<To>::part;
    To o;
    assemble(o, static_cast<P>(real_part(v)), static_cast<P>(imag_part(v)));
    return o;
}

// Blocks of 16 x 16 threads over an m x n array, x along m.
constexpr launch::shape tiles_16(uint64_t m, uint64_t n) {
    return {launch::ceil_div(m, 16), launch::ceil_div(n, 16), 16, 16};
}

// Lists of element types; a type's place in its list is its slot in a kernel
// table.
template <class... T> struct type_list {
    static constexpr unsigned size = sizeof...(T);
};
template <class T, class... L>
constexpr unsigned slot_in(type_list<L...>) {
    static_assert((std::is_same<T, L>::value || ...), "the type has a slot in the list");
    unsigned i = 0, at = 0;
    ((at = std::is_same<T, L>::value ? i : at, ++i), ...);
    return at;
}

// The kernel of slot S from the table of element type E's precision, DL and
// SL being the lists of the double and the single table.
template <class E, class S, class DL, class SL, class Fn, size_t ND, size_t NS>
Fn pick(const std::array<Fn, ND> &dbl, const std::array<Fn, NS> &sgl) {
    static_assert(ND == DL::size && NS == SL::size, "a table holds its list");
    if constexpr (is_double<E>)
        return dbl[slot_in<S>(DL{})];
    else
        return sgl[slot_in<S>(SL{})];
}

// A kernel table from a list of types: K<T>::get() is T's kernel.
template <class Fn, template <class> class K, class... T>
std::array<Fn, sizeof...(T)> table_of(type_list<T...>) {
    return {{K<T>::get()...}};
}
// A kernel table from slot numbers 0 .. N-1: K<S>::get() is slot S's kernel.
template <class Fn, template <unsigned> class K, unsigned... S>
std::array<Fn, sizeof...(S)> table_of(std::integer_sequence<unsigned, S...>) {
    return {{K<S>::get()...}};
}

}  // namespace arrays
