// Launch-size arithmetic and text comparison that the Windows builds of the
// module export for other modules and programs; nothing in the module calls
// them. The logic is written once as templates over the operand width and
// the host's character unit, so that both Windows forms (x86: int operands;
// x86-64: unsigned 64-bit operands) are built and tested anywhere.
//
// No standard headers: the Windows export check compiles this file with no C
// runtime at all.
#pragma once

namespace winutil {

// a / b rounded up (truncating division plus one for a remainder). A zero
// divisor gives 0 rather than a trap that would end the host; so does the one
// signed quotient that overflows (INT_MIN / -1), which wraps as the hardware's
// two's complement would.
template <typename T>
inline T divup(T a, T b) {
    if (b == 0) return 0;
    if (T(-1) < T(0) && b == T(-1)) return T(0u - static_cast<unsigned long long>(a));
    return a / b + (a % b != 0 ? 1 : 0);
}

// Grid x and y for a rows: x = divup(a, b) blocks, or, when that reaches
// 65536, divup(a, b*c) blocks (product in unsigned 32 bits) of c rows each.
template <typename T, typename Dim3>
inline Dim3 divup_rows(unsigned a, unsigned b, unsigned c) {
    T x = divup<T>(T(a), T(b));
    unsigned y = 1;
    if (x >= T(65536)) {
        x = divup<T>(T(a), T(b * c));
        y = c;
    }
    Dim3 r;
    r.x = static_cast<unsigned>(x);
    r.y = y;
    r.z = 1;
    return r;
}

// Product of the first `count` values, wrapping in the width of T (the x86
// form's int product is taken unsigned, where a signed overflow would be
// undefined); 1 for count 0.
template <typename T>
inline T prod(unsigned count, const T *values) {
    unsigned long long p = 1;
    for (unsigned i = 0; i < count; ++i) p *= static_cast<unsigned long long>(values[i]);
    return static_cast<T>(p);
}

// Smallest power of two not below a, for 1 <= a <= 2^31; 0 for a = 0.
inline unsigned nextpow2(unsigned a) {
    unsigned v = a - 1;
    v |= v >> 1;
    v |= v >> 2;
    v |= v >> 4;
    v |= v >> 8;
    v |= v >> 16;
    return v + 1;
}

// The exponent of a power of two, from five mask tests; 0 for 0.
inline unsigned log2(unsigned a) {
    return ((a & 0xAAAAAAAAu) != 0) + 2 * ((a & 0xCCCCCCCCu) != 0) +
           4 * ((a & 0xF0F0F0F0u) != 0) + 8 * ((a & 0xFF00FF00u) != 0) + 16 * (a >= 65536u);
}

// ASCII letters lowered, every other value left as it is, then its low byte:
// the C library's tolower is undefined above 255 and for negative chars.
template <typename Unit>
inline unsigned lowered_byte(Unit u) {
    unsigned v = static_cast<unsigned>(u);
    if (v >= 'A' && v <= 'Z') v += 'a' - 'A';
    return v & 0xFFu;
}

// True when the n units of s equal the NUL-terminated t letter for letter,
// ignoring ASCII case, and t has exactly n characters.
template <typename Unit>
inline bool eq_units(unsigned long long n, const Unit *s, const char *t) {
    for (;; --n, ++s, ++t) {
        const unsigned w = lowered_byte(*t);
        if (n == 0) return w == 0;
        if (w == 0) return false;
        if (lowered_byte(*s) != w) return false;
    }
}

}  // namespace winutil
