// Uniform random numbers from 4096 MT607 generators, one per GPU thread,
// each with its own parameter set and seed. Shared by the host file and the
// double and single device files.
#pragma once

#include "device/kernel.h"

#include <cstddef>
#include <cstdint>

namespace grand {

constexpr int MT_RNG_COUNT = 4096;
constexpr int MT_NN = 19;  // state words
constexpr int MT_MM = 9;   // middle distance
constexpr unsigned MT_UPPER = 0xFFFFFFFEu, MT_LOWER = 1u;

// One generator's parameters; 16 bytes, as the device arrays hold them.
struct mt_param_t {
    uint32_t matrix;  // twist constant; the low 16 bits hold the set's number
    uint32_t temper_b, temper_c;
    uint32_t seed;
};
static_assert(sizeof(mt_param_t) == 16, "parameter sets are four 32-bit words");

// The kernel's record: numbers per generator (even) and the output. The
// pointer is 64-bit, so the record is 16 bytes.
struct param_t {
    int n_per_rng;
    void *out;
};

using random_kernel = void (*)(param_t);

// Each device file names its own parameter array through this.
template <typename T>
struct mt_module;

// (x + 1) * 2^-32 in the output's precision: a value in (0, 1].
__device__ inline double to_uniform(uint32_t x, double *) {
    return __dmul_rn(__dadd_rn(__uint2double_rn(x), 1.0), 2.3283064365386963e-10);
}
__device__ inline float to_uniform(uint32_t x, float *) {
    return __fmul_rn(__fadd_rn(__uint2float_rn(x), 1.0f), 2.3283064365386963e-10f);
}

template <typename T>
__global__ void RandomGPU(param_t prm) {
    const mt_param_t *table = mt_module<T>::params();
    T *out = static_cast<T *>(prm.out);
    for (int g = blockIdx.x * blockDim.x + threadIdx.x; g < MT_RNG_COUNT;
         g += blockDim.x * gridDim.x) {
        const mt_param_t c = table[g];
        uint32_t mt[MT_NN];
        mt[0] = c.seed;
        for (int s = 1; s < MT_NN; ++s)
            mt[s] = 1812433253u * (mt[s - 1] ^ (mt[s - 1] >> 30)) + uint32_t(s);
        int p = 0;
        for (int o = 0; o < prm.n_per_rng; ++o) {
            const int p1 = p + 1 == MT_NN ? 0 : p + 1;
            const int pm = p + MT_MM >= MT_NN ? p + MT_MM - MT_NN : p + MT_MM;
            const uint32_t y = (mt[p] & MT_UPPER) | (mt[p1] & MT_LOWER);
            mt[p] = mt[pm] ^ (y >> 1) ^ ((y & 1u) ? c.matrix : 0u);
            uint32_t x = mt[p];
            p = p1;
            x ^= x >> 12;
            x ^= (x << 7) & c.temper_b;
            x ^= (x << 15) & c.temper_c;
            x ^= x >> 18;
            out[size_t(g) + size_t(o) * MT_RNG_COUNT] = to_uniform(x, out);
        }
    }
}

// The kernel tables, one slot each, and each device module's parameter array
// as host code names it for the copy (the variable itself, not a name).
extern const random_kernel grand_f64_fn[1];
extern const random_kernel grand_f32_fn[1];
extern void *const grand_f64_params;
extern void *const grand_f32_params;

// One device module: its parameter array, the kernel instance that reads it,
// its kernel table and the array's address for the host.
#define GRAND_MODULE(T, fx, array)                                     \
    __device__ mt_param_t array[MT_RNG_COUNT];                         \
    template <>                                                        \
    struct mt_module<T> {                                              \
        static __device__ const mt_param_t *params() { return array; } \
    };                                                                 \
    const random_kernel grand_##fx##_fn[1] = {&RandomGPU<T>};          \
    void *const grand_##fx##_params = array;

}  // namespace grand
