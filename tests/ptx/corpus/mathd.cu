// Double-precision arithmetic and library functions.
extern "C" __global__ void kernel_main(const double *x, double *out, int n) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    double v = x[i];
    out[0 * n + i] = sqrt(fabs(v));
    out[1 * n + i] = __dadd_rn(__dmul_rn(v, 3.0), -1.25);
    out[2 * n + i] = v / 7.0;
    out[3 * n + i] = fma(v, v, 0.5);
    out[4 * n + i] = fmin(v, 0.0) + fmax(v, 1.0);
    out[5 * n + i] = exp(v);
    out[6 * n + i] = sin(v);
    out[7 * n + i] = pow(fabs(v), 0.75);
    out[8 * n + i] = floor(v) + ceil(v) + trunc(v) + round(v);
    out[9 * n + i] = (double)(float)v + (double)(int)v + (double)(long long)(v * 1e6);
}
