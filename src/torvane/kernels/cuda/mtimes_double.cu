// Products with a double or double-complex operand, and the operations over
// double and double-complex columns.
#include "mtimes.h"

namespace mtimes {
namespace {

TV_MTIMES_SINGLE_TEXTURES(TV_MTIMES_TEXTURE)
TV_MTIMES_DOUBLE_TEXTURES(TV_MTIMES_TEXTURE)

// X(code, TA, TB, TC, texA, texB, tile)
#define TV_DBL_MIXED(X)                                                 \
    X(df, double, float, float, texA_dbl, texB_single, tile_10)         \
    X(fd, float, double, float, texA_single, texB_dbl, tile_10)         \
    X(dc, double, float2, float2, texA_dbl, texB_cplx, tile_10)         \
    X(cd, float2, double, float2, texA_cplx, texB_dbl, tile_10)         \
    X(dcc, double2, float2, float2, texA_dblcplx, texB_cplx, tile_6)    \
    X(cdc, float2, double2, float2, texA_cplx, texB_dblcplx, tile_6)    \
    X(dcf, double2, float, double2, texA_dblcplx, texB_single, tile_6)  \
    X(fdc, float, double2, double2, texA_single, texB_dblcplx, tile_6)  \
    X(dcd, double2, double, double2, texA_dblcplx, texB_dbl, tile_6)    \
    X(ddc, double, double2, double2, texA_dbl, texB_dblcplx, tile_6)

#define TV_DBL_OPS_DD(X)                                   \
    TV_MTIMES_OPS_SUM_MIN_MAX(X, dd, double, texB_dbl, 10) \
    TV_MTIMES_OPS_IDX(X, dd, double, texB_dbl, 10)
#define TV_DBL_OPS_DCDC(X) TV_MTIMES_OPS_SUM_MIN_MAX(X, dcdc, double2, texB_dblcplx, 6)

TV_MTIMES_PRODUCTS(dd, double, double, double, texA_dbl, texB_dbl, tile_10)
TV_DBL_OPS_DD(TV_MTIMES_OP_KERNELS)
TV_DBL_OPS_DCDC(TV_MTIMES_OP_KERNELS)
TV_MTIMES_SAME_WORKER(dd, double, &product_dd, 193, texB_dbl, TV_DBL_OPS_DD)
// Double-complex products always go to cuBLAS.
TV_MTIMES_SAME_WORKER(dcdc, double2, nullptr, 0, texB_dblcplx, TV_DBL_OPS_DCDC)

TV_DBL_MIXED(TV_MTIMES_PRODUCTS)
TV_DBL_MIXED(TV_MTIMES_MIXED_WORKER)

}  // namespace

const worker_fn double_mtimes_fn[12] = {gemm_dd,  gemm_dcdc, gemm_ddc, gemm_dcd,
                                        gemm_fd,  gemm_df,   gemm_cdc, gemm_dcc,
                                        gemm_dc,  gemm_cd,   gemm_fdc, gemm_dcf};

}  // namespace mtimes
