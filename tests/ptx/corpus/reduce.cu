// Block sum in shared memory with barriers, then a warp finish by shuffles,
// one atomic per block.
extern "C" __global__ void kernel_main(const float *x, int n, float *partial, unsigned *total) {
    __shared__ float s[256];
    unsigned t = threadIdx.x;
    float acc = 0.0f;
    for (int i = blockIdx.x * blockDim.x + t; i < n; i += blockDim.x * gridDim.x) acc += x[i];
    s[t] = acc;
    __syncthreads();
    for (unsigned h = blockDim.x / 2; h >= 32; h /= 2) {
        if (t < h) s[t] = s[t] + s[t + h];
        __syncthreads();
    }
    if (t < 32) {
        float v = s[t];
        for (int o = 16; o > 0; o /= 2) v += __shfl_down_sync(0xffffffffu, v, o);
        if (t == 0) {
            partial[blockIdx.x] = v;
            atomicAdd(total, 1u);
        }
    }
}
