#include "search.h"

#include <array>
#include <climits>
#include <random>
#include <vector>

namespace mtgen {

const given_row given_rows[3] = {
    {0, {0xd7ab0000u, 0xa9766b80u, 0xefd38000u}},
    {1, {0xfd4d0001u, 0x35d57700u, 0xed558000u}},
    {4095, {0xad130fffu, 0xe7d15b80u, 0x7b558000u}},
};

const mt607::params *given(unsigned id) {
    for (const given_row &r : given_rows)
        if (r.id == id) return &r.set;
    return nullptr;
}

int equidistribution::defect() const {
    int d = 0;
    for (int v = 1; v <= 32; ++v) d += mt607::degree / v - k[v];
    return d;
}

namespace {

using mt607::degree;
constexpr int vw = 10;
constexpr int max_passes = 4;  // 640 bits hold a linear form of the 607 state bits
using vec = std::array<uint64_t, vw>;

inline void xor_into(vec &a, const vec &b) {
    for (int k = 0; k < vw; ++k) a[k] ^= b[k];
}

// Every bit of the first `degree` untempered outputs as a linear form of the
// initial state: the generator run on symbols.
class output_space {
public:
    explicit output_space(uint32_t matrix) : x_(size_t(degree) * 32) {
        std::vector<std::array<vec, 32>> mt(mt607::words);
        for (auto &w : mt)
            for (auto &b : w) b.fill(0);
        int basis = 0;
        for (int s = 0; s < mt607::words; ++s)
            for (int j = s == 0 ? 1 : 0; j < 32; ++j, ++basis)
                mt[s][j][basis >> 6] |= uint64_t(1) << (basis & 63);
        int p = 0;
        for (int step = 0; step < degree; ++step) {
            const int p1 = (p + 1) % mt607::words, pm = (p + mt607::middle) % mt607::words;
            std::array<vec, 32> y;
            y[0] = mt[p1][0];
            for (int j = 1; j < 32; ++j) y[j] = mt[p][j];
            for (int j = 0; j < 32; ++j) {
                vec v = mt[pm][j];
                if (j < 31) xor_into(v, y[j + 1]);
                if ((matrix >> j) & 1u) xor_into(v, y[0]);
                mt[p][j] = v;
                x_[size_t(step) * 32 + j] = v;
            }
            p = p1;
        }
    }
    const vec &bit(int step, int j) const { return x_[size_t(step) * 32 + j]; }

private:
    std::vector<vec> x_;
};

// Gaussian elimination with one basis vector per leading bit.
class echelon {
public:
    void clear() { used_.assign(vw * 64, 0); }
    // Adds v; false when it depends on what is there.
    bool add(vec v) {
        for (int k = vw - 1; k >= 0; --k)
            while (v[k]) {
                const int lead = k * 64 + 63 - __builtin_clzll(v[k]);
                if (!used_[lead]) {
                    rows_[lead] = v;
                    used_[lead] = 1;
                    return true;
                }
                xor_into(v, rows_[lead]);
            }
        return false;
    }

private:
    std::vector<uint8_t> used_ = std::vector<uint8_t>(vw * 64, 0);
    std::array<vec, vw * 64> rows_;
};

// Output bit j after tempering as the set of untempered bits it sums.
std::array<uint32_t, 32> tempering_sums(uint32_t b, uint32_t c) {
    std::array<uint32_t, 32> t;
    for (int j = 0; j < 32; ++j) t[j] = 1u << j;
    for (int j = 0; j + mt607::shift_u < 32; ++j) t[j] ^= t[j + mt607::shift_u];
    for (int j = 31; j >= mt607::shift_b; --j)
        if ((b >> j) & 1u) t[j] ^= t[j - mt607::shift_b];
    for (int j = 31; j >= mt607::shift_c; --j)
        if ((c >> j) & 1u) t[j] ^= t[j - mt607::shift_c];
    for (int j = 0; j + mt607::shift_l < 32; ++j) t[j] ^= t[j + mt607::shift_l];
    return t;
}

// k(v) of the tempered output for every v; stops once the defect exceeds
// `limit` (the result's defect then exceeds it too).
equidistribution measure_in(const output_space &space, uint32_t b, uint32_t c, int limit,
                            echelon &e) {
    const std::array<uint32_t, 32> sums = tempering_sums(b, c);
    equidistribution d;
    int defect = 0;
    for (int v = 32; v >= 1; --v) {
        const int bound = degree / v;
        e.clear();
        int k = 0;
        for (; k < bound; ++k) {
            bool independent = true;
            for (int j = 31; j >= 32 - v && independent; --j) {
                vec row{};
                for (uint32_t s = sums[j]; s; s &= s - 1) xor_into(row, space.bit(k, __builtin_ctz(s)));
                independent = e.add(row);
            }
            if (!independent) break;
        }
        d.k[v] = k;
        defect += bound - k;
        if (defect > limit) {
            for (int u = v - 1; u >= 1; --u) d.k[u] = 0;
            break;
        }
    }
    return d;
}

// f has an irreducible factor of degree at most 8: most reducible
// polynomials do, and this is far cheaper than the full test.
bool small_factor(const mt607::poly &f) {
    static const std::vector<uint32_t> small = [] {
        std::vector<uint32_t> q;
        for (uint32_t c = 2; c < 512; ++c) {
            const int d = 31 - __builtin_clz(c);
            bool irred = true;
            for (uint32_t r : q) {
                const int e = 31 - __builtin_clz(r);
                if (2 * e > d) break;
                uint32_t m = c;
                for (int i = d; i >= e; --i)
                    if ((m >> i) & 1u) m ^= r << (i - e);
                if (m == 0) {
                    irred = false;
                    break;
                }
            }
            if (irred) q.push_back(c);
        }
        return q;
    }();
    for (uint32_t q : small) {
        const int d = 31 - __builtin_clz(q);
        uint32_t r = 0;
        for (int i = degree; i >= 0; --i) {
            r = (r << 1) | uint32_t(f.bit(i));
            if ((r >> d) & 1u) r ^= q;
        }
        if (r == 0) return true;
    }
    return false;
}

}  // namespace

equidistribution measure(const mt607::params &set) {
    const output_space space(set.matrix);
    echelon e;
    return measure_in(space, set.temper_b, set.temper_c, INT_MAX, e);
}

mt607::params search(unsigned id, uint64_t seed, int tries) {
    if (const mt607::params *g = given(id)) return *g;
    std::seed_seq seq{uint32_t(seed), uint32_t(seed >> 32), uint32_t(id)};
    std::mt19937_64 rng(seq);

    mt607::params best{};
    for (;;) {
        const uint32_t hi = uint32_t(rng() >> 32);
        const uint32_t matrix = mt607::matrix_top | (hi & 0x7fff0000u) | (id & mt607::id_bits);
        mt607::poly f;
        if (!mt607::characteristic_polynomial(matrix, &f) || small_factor(f) ||
            !mt607::irreducible(f))
            continue;
        best.matrix = matrix;
        break;
    }

    const output_space space(best.matrix);
    echelon e;
    // From each of `tries` random pairs of masks, passes over the free bits
    // from the top, keeping each flip that helps, until a pass changes
    // nothing; the best pair found wins.
    int best_defect = INT_MAX;
    for (int t = 0; t < tries && best_defect > 0; ++t) {
        const uint64_t r = rng();
        mt607::params cur = best;
        cur.temper_b = uint32_t(r) & mt607::b_free;
        cur.temper_c = uint32_t(r >> 32) & mt607::c_free;
        int cur_defect = measure_in(space, cur.temper_b, cur.temper_c, INT_MAX, e).defect();
        for (int pass = 0, changed = 1; changed && pass < max_passes && cur_defect > 0; ++pass) {
            changed = 0;
            for (int j = 31; j >= mt607::shift_b; --j)
                for (uint32_t *mask : {&cur.temper_b, &cur.temper_c}) {
                    if (mask == &cur.temper_c && j < mt607::shift_c) continue;
                    *mask ^= 1u << j;
                    const int d =
                        measure_in(space, cur.temper_b, cur.temper_c, cur_defect - 1, e).defect();
                    if (d < cur_defect) {
                        cur_defect = d;
                        changed = 1;
                    } else {
                        *mask ^= 1u << j;
                    }
                }
        }
        if (cur_defect < best_defect) {
            best_defect = cur_defect;
            best = cur;
        }
    }
    return best;
}

}  // namespace mtgen
