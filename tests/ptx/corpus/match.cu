// Lanes grouped by equal keys: the mask of lanes with the same key, and
// whether the whole warp agrees.
extern "C" __global__ void kernel_main(const int *key, const long long *wide, unsigned *any_mask,
                                       unsigned *all_mask, int *all_pred, unsigned *wide_mask) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    int pred = 0;
    any_mask[i] = __match_any_sync(0xffffffffu, key[i]);
    all_mask[i] = __match_all_sync(0xffffffffu, key[i] / 64, &pred);
    all_pred[i] = pred;
    wide_mask[i] = __match_any_sync(0xffffffffu, wide[i]);
}
