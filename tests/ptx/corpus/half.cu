#include <cuda_fp16.h>
// Half-precision arithmetic, scalar and paired.
extern "C" __global__ void kernel_main(const __half *a, const __half *b, const __half *c, __half *out, int n) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    __half x = a[i], y = b[i], z = c[i];
    out[8 * i + 0] = __hadd(x, y);
    out[8 * i + 1] = __hmul(x, y);
    out[8 * i + 2] = __hfma(x, y, z);
    out[8 * i + 3] = __hsub(x, y);
    out[8 * i + 4] = __hgt(x, y) ? x : y;
    __half2 p = __halves2half2(x, y), q = __halves2half2(z, x);
    __half2 r = __hfma2(p, q, p);
    out[8 * i + 5] = __low2half(r);
    out[8 * i + 6] = __high2half(r);
    out[8 * i + 7] = __hneg(__habs(__hdiv(x, z)));
}
