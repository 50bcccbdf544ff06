// The Bessel kernels' functions with every step of their iterations counted
// per element: the iterations column of the Bessel benchmark.
#include "device/kernel.h"

__device__ unsigned *bessel_bench_steps;
__device__ inline unsigned long long bessel_bench_element() {
    return ((unsigned long long)blockIdx.x * gridDim.y + blockIdx.y) * blockDim.x + threadIdx.x;
}
#define TV_BESSEL_STEP() (++bessel_bench_steps[bessel_bench_element()])
#include "torvane/kernels/cuda/bessel_values.h"

template <class T>
__global__ void count_steps(T *out, const T *in, T nu, int fn, unsigned n) {
    const unsigned long long i = bessel_bench_element();
    if (i >= n) return;
    bessel_bench_steps[i] = 0;
    out[i] = fn == 0 ? bessel::j_real(nu, in[i]) : bessel::k_real(nu, in[i]);
}

// The steps of J (fn 0) or K (fn 1) at each element, into steps[n].
int launch_count_steps(int fn, double nu, void *out, const void *in, unsigned *steps, unsigned n, bool dbl) {
    int e = dev::memcpy_to_symbol(&bessel_bench_steps, &steps, sizeof steps);
    if (e) return e;
    const dim3 grid((n + 127u) / 128u);
    if (dbl)
        return dev::launch(&count_steps<double>, grid, dim3(128), 0, static_cast<double *>(out),
                           static_cast<const double *>(in), nu, fn, n);
    return dev::launch(&count_steps<float>, grid, dim3(128), 0, static_cast<float *>(out),
                       static_cast<const float *>(in), float(nu), fn, n);
}
