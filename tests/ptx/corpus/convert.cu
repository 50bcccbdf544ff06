// Conversions between every integer width and both float types, with the
// rounding forms of the intrinsics and saturation of out-of-range values.
extern "C" __global__ void kernel_main(const float *f, const double *d, long long *out, int n) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    float x = f[i];
    double y = d[i];
    long long *o = out + 20 * i;
    o[0] = (int)x;
    o[1] = (unsigned)x;
    o[2] = (long long)x;
    o[3] = (unsigned long long)y;
    o[4] = __float2int_rn(x);
    o[5] = __float2int_rd(x);
    o[6] = __float2int_ru(x);
    o[7] = __double2int_rn(y);
    o[8] = __float_as_int((float)y);
    o[9] = __float_as_int(__int2float_rn((int)(y * 1000.0)));
    o[10] = __double_as_longlong((double)x);
    o[11] = __double_as_longlong((double)(long long)(y * 1e9));
    o[12] = __float_as_int(__ull2float_rn((unsigned long long)(y * 1e12)));
    o[13] = __float_as_int(__fdiv_rn(x, 3.0f)) ^ __float_as_int(__fsqrt_rn(fabsf(x)));
    o[14] = __float_as_int(__frcp_rn(x));
    o[15] = __double_as_longlong(__drcp_rn(y)) ^ __double_as_longlong(__dsqrt_rn(fabs(y)));
    o[16] = (short)(int)x + (unsigned char)(int)y;
    o[17] = __float_as_int(__saturatef(x));
    o[18] = __float_as_int(__fadd_rd(x, 1e-3f)) ^ __float_as_int(__fmul_ru(x, 1.1f));
    o[19] = __double_as_longlong(__dadd_rz(y, 1e-9)) ^ __double_as_longlong(__fma_rd(y, y, 1.0));
}
