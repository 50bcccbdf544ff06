// The math library's Bessel J0, one thread per element: the yardstick of the
// Bessel benchmark.
#include "device/kernel.h"

__global__ void math_j0_double(double *out, const double *in, unsigned n) {
    const unsigned long long i = ((unsigned long long)blockIdx.x * gridDim.y + blockIdx.y) * blockDim.x + threadIdx.x;
    if (i < n) out[i] = j0(in[i]);
}
__global__ void math_j0_float(float *out, const float *in, unsigned n) {
    const unsigned long long i = ((unsigned long long)blockIdx.x * gridDim.y + blockIdx.y) * blockDim.x + threadIdx.x;
    if (i < n) out[i] = j0f(in[i]);
}

int launch_math_j0(void *out, const void *in, unsigned n, bool dbl) {
    // The Bessel entries' shape: blocks of 128, folded into rows of 8192 past 65535.
    const unsigned blocks = (n + 127u) / 128u;
    const dim3 grid = blocks <= 65535u ? dim3(blocks) : dim3((n + 1048575u) / 1048576u, 8192);
    if (dbl)
        return dev::launch(&math_j0_double, grid, dim3(128), 0, static_cast<double *>(out),
                           static_cast<const double *>(in), n);
    return dev::launch(&math_j0_float, grid, dim3(128), 0, static_cast<float *>(out),
                       static_cast<const float *>(in), n);
}
