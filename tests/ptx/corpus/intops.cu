// Integer arithmetic: division and remainder of every sign, shifts, bit
// operations, 64-bit products, population counts and bit reversal.
extern "C" __global__ void kernel_main(const int *a, const int *b, long long *out, int n) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    int x = a[i], y = b[i];
    unsigned ux = unsigned(x), uy = unsigned(y);
    long long *o = out + 16 * i;
    o[0] = y ? x / y : 0;
    o[1] = y ? x % y : 0;
    o[2] = uy ? ux / uy : 0u;
    o[3] = uy ? ux % uy : 0u;
    o[4] = (long long)x * y;
    o[5] = __umulhi(ux, uy) ^ __mulhi(x, y);
    o[6] = (x << (y & 31)) ^ (x >> (y & 31)) ^ (ux >> (uy & 31));
    o[7] = __popc(ux) + __clz(x) * 64 + __ffs(y) * 4096;
    o[8] = __brev(ux);
    o[9] = (ux & 0xff00u) >> 8 | ((uy >> 3) & 0x1f) << 11;
    o[10] = min(x, y) * 3 + max(ux, uy);
    o[11] = abs(x) + (long long)(y > 0 ? 1 : -1);
    long long lx = (long long)x * 1000003LL, ly = (long long)y | 1;
    o[12] = lx / ly + lx % ly;
    o[13] = (long long)((unsigned long long)lx / (unsigned long long)(ly & 0xffff | 1));
    o[14] = __byte_perm(ux, uy, 0x5140);
    o[15] = (short)x + (signed char)y + (unsigned char)x;
}
