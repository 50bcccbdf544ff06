// Products of single and single-complex operands, and the operations over
// single and single-complex columns.
#include "mtimes.h"

namespace mtimes {
namespace {

TV_MTIMES_SINGLE_TEXTURES(TV_MTIMES_TEXTURE)

// X(code, TA, TB, TC, texA, texB, tile)
#define TV_SGL_MIXED(X)                                           \
    X(fc, float, float2, float2, texA_single, texB_cplx, tile_10) \
    X(cf, float2, float, float2, texA_cplx, texB_single, tile_10)

#define TV_SGL_OPS_FF(X)                                     \
    TV_MTIMES_OPS_SUM_MIN_MAX(X, ff, float, texB_single, 12) \
    TV_MTIMES_OPS_IDX(X, ff, float, texB_single, 14)
#define TV_SGL_OPS_CC(X) TV_MTIMES_OPS_SUM_MIN_MAX(X, cc, float2, texB_cplx, 10)

TV_MTIMES_PRODUCTS(ff, float, float, float, texA_single, texB_single, tile_12)
TV_MTIMES_PRODUCTS(cc, float2, float2, float2, texA_cplx, texB_cplx, tile_10)
TV_SGL_OPS_FF(TV_MTIMES_OP_KERNELS)
TV_SGL_OPS_CC(TV_MTIMES_OP_KERNELS)
TV_MTIMES_SAME_WORKER(ff, float, &product_ff, 311, texB_single, TV_SGL_OPS_FF)
TV_MTIMES_SAME_WORKER(cc, float2, &product_cc, 311, texB_cplx, TV_SGL_OPS_CC)

TV_SGL_MIXED(TV_MTIMES_PRODUCTS)
TV_SGL_MIXED(TV_MTIMES_MIXED_WORKER)

}  // namespace

const worker_fn single_mtimes_fn[4] = {gemm_ff, gemm_cc, gemm_fc, gemm_cf};

}  // namespace mtimes
