// Recursion whose frames live in local memory (a 128-byte array each).
__device__ int walk(int depth, int seed) {
    volatile int scratch[32];
    for (int k = 0; k < 32; ++k) scratch[k] = seed + k;
    if (depth == 0) return scratch[seed & 31];
    return walk(depth - 1, seed + 1) + scratch[depth & 31];
}
extern "C" __global__ void kernel_main(const int *depth, int *out) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    out[i] = walk(depth[i], i);
}
