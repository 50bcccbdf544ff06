// What the random-number entries must produce, worked out on the host from
// the committed parameter table.
#pragma once

#include "mt607.h"

#include <cstdint>
#include <vector>

namespace grand_model {

constexpr int rngs = 4096;

struct row {
    uint32_t matrix, temper_b, temper_c, seed;
};
inline const std::vector<row> &table() {
    static const std::vector<row> t = {
#include "mt_data.inc"
    };
    return t;
}

// Seed of every generator: the first is the process seed, each next one the
// previous times 16807, wrapped to 32 bits, then reduced modulo 2^31 - 1; a
// seed that would be 0 is 2^31 - 1 instead.
inline std::vector<uint32_t> seeds(uint32_t seed) {
    std::vector<uint32_t> s(rngs);
    s[0] = seed ? seed : 2147483647u;
    for (int g = 1; g < rngs; ++g) {
        s[g] = uint32_t(s[g - 1] * 16807u) % 2147483647u;
        if (s[g] == 0) s[g] = 2147483647u;
    }
    return s;
}

inline double uniform(uint32_t x, double) { return (double(x) + 1.0) * 0x1p-32; }
inline float uniform(uint32_t x, float) { return (float(x) + 1.0f) * 0x1p-32f; }

// The buffer a fill writes: `per_rng` numbers of each generator, generator g's
// number o at g + 4096 o.
template <typename T>
std::vector<T> fill(uint32_t seed, int per_rng) {
    const std::vector<uint32_t> s = seeds(seed);
    std::vector<T> out(size_t(per_rng) * rngs);
    for (int g = 0; g < rngs; ++g) {
        const row &r = table()[g];
        mt607::generator gen(r.matrix, s[g]);
        for (int o = 0; o < per_rng; ++o)
            out[g + size_t(o) * rngs] = uniform(mt607::temper(gen.next(), r.temper_b, r.temper_c), T());
    }
    return out;
}

}  // namespace grand_model
