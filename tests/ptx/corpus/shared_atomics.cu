// Histogram: atomics on shared memory, then on global memory.
extern "C" __global__ void kernel_main(const unsigned *x, int n, unsigned *hist, int bins) {
    extern __shared__ unsigned h[];
    for (int b = threadIdx.x; b < bins; b += blockDim.x) h[b] = 0;
    __syncthreads();
    for (int i = blockIdx.x * blockDim.x + threadIdx.x; i < n; i += blockDim.x * gridDim.x)
        atomicAdd(&h[x[i] % bins], 1u);
    __syncthreads();
    for (int b = threadIdx.x; b < bins; b += blockDim.x)
        if (h[b]) atomicAdd(&hist[b], h[b]);
}
