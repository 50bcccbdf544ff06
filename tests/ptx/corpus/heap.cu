// Device-side allocation: each thread takes a block of its own, fills it
// (small ones entirely, large ones at both ends) and, once the whole block
// holds its memory, sums it and frees it; a null result counts as a failure.
extern "C" __global__ void kernel_main(const int *len, int *sum, int *failed) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    int n = len[i];
    int *p = (int *)malloc(n * sizeof(int));
    if (!p) {
        atomicAdd(failed, 1);
    } else if (n <= 1024) {
        for (int k = 0; k < n; ++k) p[k] = k + i;
    } else {
        p[0] = i;
        p[n - 1] = 2 * i;
    }
    __syncthreads();
    int s = -1;
    if (p && n <= 1024) {
        s = 0;
        for (int k = 0; k < n; ++k) s += p[k];
    } else if (p) {
        s = p[0] + p[n - 1];
    }
    sum[i] = s;
    free(p);
}
