// MT607, the 32-bit Mersenne twister with 19 words of state, middle distance
// 9 and one lower bit, as a host model, and the GF(2) arithmetic that decides
// whether a twist constant gives it the full period 2^607 - 1.
//
// The state is the upper 31 bits of one word and 18 whole words: 607 bits.
// The generator has period 2^607 - 1 exactly when the characteristic
// polynomial of its state transition is primitive; 2^607 - 1 is prime, so
// irreducible of degree 607 is enough. The polynomial is found as the minimal
// polynomial (Berlekamp-Massey) of one output bit over 2 * 607 steps: it
// divides the characteristic polynomial, so degree 607 means they are equal.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace mt607 {

constexpr int words = 19;   // n
constexpr int middle = 9;   // m
constexpr int degree = 607; // n * 32 - r
constexpr uint32_t lower_mask = 1u;  // r = 1
constexpr uint32_t upper_mask = ~lower_mask;
constexpr int shift_u = 12, shift_b = 7, shift_c = 15, shift_l = 18;

struct params {
    uint32_t matrix, temper_b, temper_c;
};
inline bool operator==(const params &a, const params &b) {
    return a.matrix == b.matrix && a.temper_b == b.temper_b && a.temper_c == b.temper_c;
}

// The form of every set: the generator's number in the low 16 bits of the
// twist constant and its top bit set; no mask bit where the shifted word has
// only zeros.
constexpr uint32_t id_bits = 0xffffu;
constexpr uint32_t matrix_top = 0x80000000u;
constexpr uint32_t b_free = ~((1u << shift_b) - 1);
constexpr uint32_t c_free = ~((1u << shift_c) - 1);
inline bool has_form(const params &s, unsigned id) {
    return (s.matrix & id_bits) == id && (s.matrix & matrix_top) != 0 &&
           (s.temper_b & ~b_free) == 0 && (s.temper_c & ~c_free) == 0;
}

// ------------------------------------------------------------ the generator

struct generator {
    uint32_t mt[words];
    int p = 0;
    uint32_t matrix;

    generator(uint32_t twist, uint32_t seed) : matrix(twist) {
        mt[0] = seed;
        for (int s = 1; s < words; ++s)
            mt[s] = 1812433253u * (mt[s - 1] ^ (mt[s - 1] >> 30)) + uint32_t(s);
    }
    // The next word before tempering.
    uint32_t next() {
        const int p1 = p + 1 == words ? 0 : p + 1;
        const int pm = p + middle >= words ? p + middle - words : p + middle;
        const uint32_t y = (mt[p] & upper_mask) | (mt[p1] & lower_mask);
        mt[p] = mt[pm] ^ (y >> 1) ^ ((y & 1u) ? matrix : 0u);
        const uint32_t x = mt[p];
        p = p1;
        return x;
    }
};

inline uint32_t temper(uint32_t x, uint32_t b, uint32_t c) {
    x ^= x >> shift_u;
    x ^= (x << shift_b) & b;
    x ^= (x << shift_c) & c;
    x ^= x >> shift_l;
    return x;
}

// ------------------------------------------------------------ GF(2)[x]

// Polynomials of degree below 1280, bit i the coefficient of x^i: room for
// the square of one of degree below 640.
constexpr int poly_words = 20;
struct poly {
    uint64_t w[poly_words] = {};
    bool bit(int i) const { return (w[i >> 6] >> (i & 63)) & 1u; }
    void flip(int i) { w[i >> 6] ^= uint64_t(1) << (i & 63); }
};
inline bool operator==(const poly &a, const poly &b) {
    return std::memcmp(a.w, b.w, sizeof a.w) == 0;
}

// Minimal polynomial of the bit sequence s (Berlekamp-Massey), returned as
// the characteristic polynomial x^L C(1/x) of the connection polynomial C;
// *length receives L.
inline poly minimal_polynomial(const std::vector<uint8_t> &s, int *length) {
    constexpr int cw = 12;  // degrees up to 767
    uint64_t c[cw] = {1}, b[cw] = {1}, win[cw] = {};
    int L = 0, m = 1;
    for (size_t n = 0; n < s.size(); ++n) {
        // win: bit i is s[n - i]
        for (int k = cw - 1; k > 0; --k) win[k] = (win[k] << 1) | (win[k - 1] >> 63);
        win[0] = (win[0] << 1) | (s[n] & 1u);
        uint64_t acc = 0;
        for (int k = 0; k < cw; ++k) acc ^= c[k] & win[k];
        if (!__builtin_parityll(acc)) {
            ++m;
            continue;
        }
        uint64_t t[cw];
        std::memcpy(t, c, sizeof c);
        // c ^= b * x^m
        const int ws = m >> 6, bs = m & 63;
        for (int k = cw - 1; k >= ws; --k) {
            uint64_t v = b[k - ws] << bs;
            if (bs && k - ws - 1 >= 0) v |= b[k - ws - 1] >> (64 - bs);
            c[k] ^= v;
        }
        if (2 * L <= int(n)) {
            L = int(n) + 1 - L;
            std::memcpy(b, t, sizeof t);
            m = 1;
        } else {
            ++m;
        }
    }
    poly p;
    for (int i = 0; i <= L && i < cw * 64; ++i)
        if ((c[i >> 6] >> (i & 63)) & 1u) p.flip(L - i);
    *length = L;
    return p;
}

// Squaring modulo a polynomial f of degree 607. A square has degree below
// 1213; its bits from 607 up are folded back eight at a time through tables
// of t(x) x^(607 + 8j) mod f.
class modulus {
public:
    static constexpr int rw = 10;                      // words of a residue
    static constexpr int chunks = (degree + 1 + 7) / 8; // bytes from bit 607 up
    explicit modulus(const poly &f) : table_(size_t(chunks) * 256) {
        // x^(607 + i) mod f for i = 0 ... 8 * chunks - 1, one after another.
        std::vector<std::array<uint64_t, rw>> power(size_t(chunks) * 8);
        std::array<uint64_t, rw> r{};
        for (int k = 0; k < rw; ++k) r[k] = f.w[k];
        r[degree >> 6] &= ~(~uint64_t(0) << (degree & 63));  // x^607 = f - x^607
        for (auto &p : power) {
            p = r;
            uint64_t top = 0;
            for (int k = 0; k < rw; ++k) {
                const uint64_t next = r[k] >> 63;
                r[k] = (r[k] << 1) | top;
                top = next;
            }
            if ((r[degree >> 6] >> (degree & 63)) & 1u)
                for (int k = 0; k < rw; ++k) r[k] ^= f.w[k];
        }
        for (int j = 0; j < chunks; ++j) {
            residue *t = &table_[size_t(j) * 256];
            t[0].fill(0);
            for (int v = 1; v < 256; ++v) {
                t[v] = t[v & (v - 1)];
                const auto &p = power[size_t(j) * 8 + __builtin_ctz(v)];
                for (int k = 0; k < rw; ++k) t[v][k] ^= p[k];
            }
        }
    }
    // a^2 mod f for a reduced.
    void square(poly &a) const {
        uint64_t sq[poly_words];
        for (int k = 0; k < rw; ++k) {
            sq[2 * k] = spread(uint32_t(a.w[k]));
            sq[2 * k + 1] = spread(uint32_t(a.w[k] >> 32));
        }
        poly r;
        for (int k = 0; k < rw; ++k) r.w[k] = sq[k];
        r.w[degree >> 6] &= ~(~uint64_t(0) << (degree & 63));
        for (int j = 0; j < chunks; ++j) {
            const int bit = degree + 8 * j, w = bit >> 6, s = bit & 63;
            uint64_t v = sq[w] >> s;
            if (s > 56 && w + 1 < poly_words) v |= sq[w + 1] << (64 - s);
            const residue &t = table_[size_t(j) * 256 + (v & 0xffu)];
            for (int k = 0; k < rw; ++k) r.w[k] ^= t[k];
        }
        a = r;
    }

private:
    using residue = std::array<uint64_t, rw>;
    static uint64_t spread(uint32_t v) {
        uint64_t x = v;
        x = (x | (x << 16)) & 0x0000ffff0000ffffull;
        x = (x | (x << 8)) & 0x00ff00ff00ff00ffull;
        x = (x | (x << 4)) & 0x0f0f0f0f0f0f0f0full;
        x = (x | (x << 2)) & 0x3333333333333333ull;
        x = (x | (x << 1)) & 0x5555555555555555ull;
        return x;
    }
    std::vector<residue> table_;
};

// f of degree 607 is irreducible iff x^(2^607) = x mod f: the irreducible
// factors of x^(2^607) - x have degree 1 or 607, are distinct, and only two
// have degree 1.
inline bool irreducible(const poly &f) {
    if (!f.bit(degree)) return false;
    for (int i = degree + 1; i < poly_words * 64; ++i)
        if (f.bit(i)) return false;
    const modulus mod(f);
    poly a;
    a.flip(1);
    for (int k = 0; k < degree; ++k) mod.square(a);
    poly x;
    x.flip(1);
    return a == x;
}

// The characteristic polynomial of the generator with twist constant
// `matrix`, when the minimal polynomial of its output's top bit has degree
// 607 (it then is the characteristic polynomial); false otherwise, and then
// the characteristic polynomial is reducible.
inline bool characteristic_polynomial(uint32_t matrix, poly *f) {
    generator g(matrix, 4357u);
    std::vector<uint8_t> bits(2 * degree);
    for (auto &b : bits) b = uint8_t(g.next() >> 31);
    int L = 0;
    *f = minimal_polynomial(bits, &L);
    return L == degree;
}

// The generator with this twist constant has period 2^607 - 1.
inline bool full_period(uint32_t matrix) {
    poly f;
    return characteristic_polynomial(matrix, &f) && irreducible(f);
}

}  // namespace mt607
