// Formatted output from device code.
#include <cstdio>
extern "C" __global__ void kernel_main(const float *x, int n) {
    if (threadIdx.x == 0)
        printf("block %d of %u: n=%d x=%.3f s=%s c=%c big=%lld hex=%#x\n", blockIdx.x, gridDim.x, n,
               x[blockIdx.x], "text", 'q', 1LL << 40, 255u);
}
