// Uniform random numbers: the process-wide seed, the generators' parameter
// table, the seeding of every generator from the seed, the upload and the
// launch.
#include "torvane_grand.h"

#include "grand.h"
#include "launch.h"

#include <cstring>

namespace grand {
namespace {

// Made by tools/mtgen, which holds the search and the seed that wrote it.
const mt_param_t MT_DATA[MT_RNG_COUNT] = {
#include "../../../../tools/mtgen/mt_data.inc"
};

mt_param_t MT[MT_RNG_COUNT];  // staging copy, rebuilt by every fill
uint32_t SEED = 777;

// The byte count is reported in an int: with npr at most these, npr * 4096
// elements stay below 2^31 bytes.
constexpr unsigned max_n_double = (1u << 28) - 8192;
constexpr unsigned max_n_single = (1u << 29) - 8192;

int iDivUp(int a, int b) { return a / b + (a % b != 0 ? 1 : 0); }
int iAlignUp(int a, int b) { return a % b == 0 ? a : a - a % b + b; }

// A generator never starts from seed 0: 0 would give every generator of
// the fill the same state and leave SEED where it was. It becomes 2^31 - 1,
// a value the remainder below never takes, so every other chain is unchanged.
uint32_t nonzero(uint32_t seed) { return seed != 0 ? seed : 2147483647u; }

void seed_generators() {
    std::memcpy(MT, MT_DATA, sizeof MT);
    MT[0].seed = nonzero(SEED);
    // The product wraps at 2^32 before the remainder is taken.
    for (int g = 1; g < MT_RNG_COUNT; ++g)
        MT[g].seed = nonzero((MT[g - 1].seed * 16807u) % 2147483647u);
    SEED += MT[MT_RNG_COUNT - 1].seed;  // never 0, so SEED always moves
}

pkrError pkr_grand(unsigned n, void *out, int *size_io, bool dbl) {
    if (!size_io || n > (dbl ? max_n_double : max_n_single)) return 4;
    const int npr = iAlignUp(iDivUp(int(n), MT_RNG_COUNT), 2);
    if (*size_io < 0) {
        *size_io = npr * MT_RNG_COUNT * int(dbl ? sizeof(double) : sizeof(float));
        return 0;
    }
    seed_generators();
    if (dev::memcpy_to_symbol(dbl ? grand_f64_params : grand_f32_params, MT, sizeof MT) != 0)
        return 7;
    const launch::shape shape{32, 1, 128, 1};
    return launch::run(launch::standard, dbl ? grand_f64_fn[0] : grand_f32_fn[0], shape,
                       param_t{npr, out});
}

}  // namespace
}  // namespace grand

extern "C" {

pkrError pkr_grand_f64(void *out, unsigned n, int *size_io) {
    return grand::pkr_grand(n, out, size_io, true);
}
pkrError pkr_grand_f32(void *out, unsigned n, int *size_io) {
    return grand::pkr_grand(n, out, size_io, false);
}
void pkr_grand_set_seed(unsigned seed) { grand::SEED = seed; }
unsigned pkr_grand_get_seed(void) { return grand::SEED; }

}  // extern "C"
