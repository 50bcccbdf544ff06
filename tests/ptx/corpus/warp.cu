// Warp collectives: votes, shuffles of every kind and width, warp sync.
extern "C" __global__ void kernel_main(const int *x, int *out) {
    int t = threadIdx.x;
    int v = x[blockIdx.x * blockDim.x + t];
    unsigned all = 0xffffffffu;
    int *o = out + 8 * (blockIdx.x * blockDim.x + t);
    o[0] = __ballot_sync(all, v & 1);
    o[1] = __any_sync(all, v > 100) + 2 * __all_sync(all, v >= 0);
    o[2] = __shfl_sync(all, v, (t * 7) & 31);
    o[3] = __shfl_up_sync(all, v, 3, 16);
    o[4] = __shfl_down_sync(all, v, 5, 8);
    o[5] = __shfl_xor_sync(all, v, 9);
    __syncwarp();
    double d = __shfl_down_sync(all, (double)v * 0.5, 1);
    o[6] = int(d * 4.0);
    o[7] = __popc(__activemask()) + (t & 31) * 64;
}
