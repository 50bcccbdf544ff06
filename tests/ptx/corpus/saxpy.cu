// Elementwise single precision over a grid-stride loop.
extern "C" __global__ void kernel_main(float a, float *x, float *y, int n) {
    for (int i = blockIdx.x * blockDim.x + threadIdx.x; i < n; i += blockDim.x * gridDim.x)
        y[i] = __fadd_rn(__fmul_rn(a, x[i]), y[i]);
}
