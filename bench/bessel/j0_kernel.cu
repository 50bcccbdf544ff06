// The math library's Bessel J0 and J1, one thread per element: the yardsticks
// of the Bessel benchmark.
#include "device/kernel.h"

#define BB_MATH_KERNEL(name, T, f)                                                                          \
    __global__ void name(T *out, const T *in, unsigned n) {                                                 \
        const unsigned long long i = ((unsigned long long)blockIdx.x * gridDim.y + blockIdx.y) * blockDim.x + \
                                     threadIdx.x;                                                           \
        if (i < n) out[i] = f(in[i]);                                                                       \
    }
BB_MATH_KERNEL(math_j0_double, double, j0)
BB_MATH_KERNEL(math_j0_float, float, j0f)
BB_MATH_KERNEL(math_j1_double, double, j1)
BB_MATH_KERNEL(math_j1_float, float, j1f)
#undef BB_MATH_KERNEL

// J0 (order 0) or J1 (order 1) of the math library over n elements.
int launch_math_j(int order, void *out, const void *in, unsigned n, bool dbl) {
    // The Bessel entries' shape: blocks of 128, folded into rows of 8192 past 65535.
    const unsigned blocks = (n + 127u) / 128u;
    const dim3 grid = blocks <= 65535u ? dim3(blocks) : dim3((n + 1048575u) / 1048576u, 8192);
    if (dbl)
        return dev::launch(order ? &math_j1_double : &math_j0_double, grid, dim3(128), 0,
                           static_cast<double *>(out), static_cast<const double *>(in), n);
    return dev::launch(order ? &math_j1_float : &math_j0_float, grid, dim3(128), 0, static_cast<float *>(out),
                       static_cast<const float *>(in), n);
}
