// The difference entries: shape checks, the texture binding, the choice of
// kernel and its launch.
#include "diff.h"
#include "launch.h"

namespace differences {
namespace {

// What a call needs of its precision.
struct precision {
    pkrError (*bind)(const void *, size_t, unsigned *);
    pkrError (*unbind)();
    const std::array<kernel_fn, slot_count> *table;
    size_t size;
};

// The kernels of one shape and dimension: exact quotients and
// single-precision ones, of order 1 and 2.
struct choice {
    slot exact1, float1, exact2, float2;
};
constexpr choice along_vector = {k_1D, k_1D, k_1D_2ND, k_1D_2ND};
constexpr choice along_columns_2d = {k_2D_D0, k_2D_D0f, k_2D_D0_2ND, k_2D_D0f_2ND};
constexpr choice along_rows_2d = {k_2D_D1, k_2D_D1, k_2D_D1_2ND, k_2D_D1_2ND};
constexpr choice along_dim_3d[3] = {
    {k_3D_D0, k_3D_D0f, k_3D_D0_2ND, k_3D_D0f_2ND},
    {k_3D_D1, k_3D_D1f, k_3D_D1_2ND, k_3D_D1f_2ND},
    {k_3D_D2, k_3D_D2, k_3D_D2_2ND, k_3D_D2_2ND},
};
// Above this many outputs the quotients are exact integer divisions.
constexpr uint64_t float_quotients_max = 999999;

// The product of `nd` extents; false for a negative extent. Saturates at
// UINT64_MAX (far beyond any texture binding).
bool extent_product(const int *dims, int nd, uint64_t *product) {
    uint64_t p = 1;
    for (int k = 0; k < nd; ++k) {
        if (dims[k] < 0) return false;
        const uint64_t d = uint64_t(dims[k]);
        p = d != 0 && p > UINT64_MAX / d ? UINT64_MAX : p * d;
    }
    *product = p;
    return true;
}

pkrError pkr_diff(void *out, void *in, int *out_dims, int out_ndims, int *in_dims, int in_ndims,
                  int order, int dim, bool dbl) {
    // No kernel fits, or the shapes cannot be read: 4, before anything is
    // bound or stored. The output's count is the caller's: the kernels read
    // only through the clamped texture and write the n outputs it describes,
    // whatever the input's differences would number.
    if (out_ndims < 0 || out_ndims > 3 || (in_ndims != 2 && in_ndims != 3)) return 4;
    if (order != 1 && order != 2) return 4;
    if (in_ndims == 3 && (dim < 0 || dim > 2)) return 4;
    uint64_t NB = 0, n = 0;
    if (!in_dims || (out_ndims > 0 && !out_dims) || !extent_product(in_dims, in_ndims, &NB) ||
        !extent_product(out_dims, out_ndims, &n))
        return 4;
    const precision pr = dbl ? precision{&bind_double, &unbind_double, &diff_64_fn, sizeof(double)}
                             : precision{&bind_single, &unbind_single, &diff_32_fn, sizeof(float)};
    if (NB > dev::max_texture_elements) return 7;  // beyond what one binding takes

    const int64_t d0 = in_dims[0], d1 = in_dims[1];
    const bool vector = in_ndims == 2 && (d0 == 1 || d1 == 1);

    choice c = along_vector;
    int64_t a = 0, b = 0;
    if (in_ndims == 3) {
        c = along_dim_3d[dim];
        a = dim == 2 ? d0 * d1 : d0;
        if (dim == 0) b = d1;
        // Along pages the divisor is a page of the output: worked out from
        // the input for first differences, taken from the output for second.
        if (dim == 1) {
            const int64_t e0 = out_ndims > 0 ? out_dims[0] : 1;
            const int64_t e1 = out_ndims > 1 ? out_dims[1] : 1;
            b = order == 1 ? (d1 - 1) * d0 : e0 * e1;
        }
    } else if (!vector) {
        c = dim == 0 ? along_columns_2d : along_rows_2d;
        a = d0;
    }
    const bool exact = n > float_quotients_max;
    const slot k = order == 1 ? (exact ? c.exact1 : c.float1) : (exact ? c.exact2 : c.float2);

    unsigned off = 0;
    if (pr.bind(in, size_t(NB) * pr.size, &off)) return 7;
    // Extents wrap to 32 bits as the kernels' record holds them.
    const param_t p{out, int(uint32_t(n)), off, int(uint32_t(a)), int(uint32_t(b))};
    // The launch's failure is stored and leaves the texture bound.
    const pkrError e = launch::run(launch::discarding, (*pr.table)[k], launch::linear(n, 256), p);
    if (e != 0) return e;
    return pr.unbind();
}

}  // namespace
}  // namespace differences

extern "C" TORVANE_API pkrError pkr_diff_f64(void *out, void *in, int *out_dims, int out_ndims,
                                             int *in_dims, int in_ndims, int order, int dim) {
    return differences::pkr_diff(out, in, out_dims, out_ndims, in_dims, in_ndims, order, dim, true);
}
extern "C" TORVANE_API pkrError pkr_diff_f32(void *out, void *in, int *out_dims, int out_ndims,
                                             int *in_dims, int in_ndims, int order, int dim) {
    return differences::pkr_diff(out, in, out_dims, out_ndims, in_dims, in_ndims, order, dim, false);
}
