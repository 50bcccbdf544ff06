// Single-precision library functions, each into its own output row.
extern "C" __global__ void kernel_main(const float *x, float *out, int n) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    float v = x[i];
    out[0 * n + i] = sqrtf(fabsf(v));
    out[1 * n + i] = expf(v);
    out[2 * n + i] = sinf(v);
    out[3 * n + i] = powf(fabsf(v), 1.5f);
    out[4 * n + i] = fminf(v, 0.5f);
    out[5 * n + i] = fmaxf(v, -0.5f);
    out[6 * n + i] = logf(fabsf(v) + 1.0f);
    out[7 * n + i] = cosf(v);
    out[8 * n + i] = v / (fabsf(v) + 2.0f);
    out[9 * n + i] = rsqrtf(fabsf(v) + 1.0f);
    out[10 * n + i] = tanhf(v);
    out[11 * n + i] = __expf(v);
    out[12 * n + i] = __sinf(v);
    out[13 * n + i] = floorf(v) + ceilf(v) + truncf(v) + roundf(v);
}
