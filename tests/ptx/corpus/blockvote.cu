// Block-wide votes: __syncthreads_count, _and and _or, three in a row.
extern "C" __global__ void kernel_main(const int *x, int *out) {
    int v = x[blockIdx.x * blockDim.x + threadIdx.x];
    int c = __syncthreads_count(v > 10);
    int a = __syncthreads_and(v >= 0);
    int o = __syncthreads_or(v == 7);
    if (threadIdx.x == 0) {
        out[3 * blockIdx.x] = c;
        out[3 * blockIdx.x + 1] = a;
        out[3 * blockIdx.x + 2] = o;
    }
}
