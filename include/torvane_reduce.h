/* torvane reductions: all, any, max, min and sum over device arrays.
 *
 * Five entries take a layout description (results, elements, where the members
 * of each result lie) and the operand types; 150 typed wrappers cover the
 * rows, the columns and the whole of a column-major matrix or vector. Every
 * wrapper exists under a plain C name (pkr_sum_rows_f32b) and, in C++, as a
 * specialisation of a function template (pkr_sum_rows<float, bool>).
 *
 * Results lie in device memory, except those of the vector wrappers and of
 * every call that the entries treat as a whole vector: those go to host
 * memory. Codes: 0 done, 1 no temporary to be had, 4 counts that do not
 * describe a layout inside the input, 6 unsupported types, 7 a temporary that
 * could not be released or a vector result that could not be read back. */
#ifndef TORVANE_REDUCE_H
#define TORVANE_REDUCE_H

#include "torvane.h"

#ifdef __cplusplus
struct float2;  /* interleaved real and imaginary parts, as the device has them */
struct double2;
#else
#include <stdbool.h>
typedef struct float2 float2;
typedef struct double2 double2;
#endif

/* The type rows of the typed wrappers, one table per kind of operation:
 * X(operation, suffix, result type, input type, out_type, in_type, cplx). */
#define TORVANE_REDUCE_LOGICAL_TYPES(X, op)  \
    X(op, bc64, bool, double2, 3, 6, 1)      \
    X(op, bf64, bool, double, 3, 6, 0)       \
    X(op, bc32, bool, float2, 3, 7, 1)       \
    X(op, bb, bool, bool, 3, 3, 0)           \
    X(op, bf32, bool, float, 3, 7, 0)
#define TORVANE_REDUCE_EXTREMUM_TYPES(X, op) \
    X(op, c64c64, double2, double2, 6, 6, 1) \
    X(op, f64f64, double, double, 6, 6, 0)   \
    X(op, c32c32, float2, float2, 7, 7, 1)   \
    X(op, bb, bool, bool, 3, 3, 0)           \
    X(op, f32f32, float, float, 7, 7, 0)
#define TORVANE_REDUCE_SUM_TYPES(X, op)      \
    X(op, c64c64, double2, double2, 6, 6, 1) \
    X(op, f64f64, double, double, 6, 6, 0)   \
    X(op, c32c32, float2, float2, 7, 7, 1)   \
    X(op, f32b, float, bool, 7, 3, 0)        \
    X(op, f32f32, float, float, 7, 7, 0)

/* Every wrapper type row of every operation. */
#define TORVANE_REDUCE_WRAPPER_TYPES(X)     \
    TORVANE_REDUCE_LOGICAL_TYPES(X, all)    \
    TORVANE_REDUCE_LOGICAL_TYPES(X, any)    \
    TORVANE_REDUCE_EXTREMUM_TYPES(X, max)   \
    TORVANE_REDUCE_EXTREMUM_TYPES(X, min)   \
    TORVANE_REDUCE_SUM_TYPES(X, sum)

/* The operations. */
#define TORVANE_REDUCE_OPS(X) X(all) X(any) X(max) X(min) X(sum)

#ifdef __cplusplus
extern "C" {
#endif

/* op_stride_r(nout, nelem, stride, len, slab, pre, out, out_type, in, in_type,
 *             idx, cplx, want_idx, dev_out)
 * Member k of result o lies at element
 *   k                                          whole vector (one result, host memory)
 *   o*len + k                                  stride 1
 *   (o % stride) + (o / stride)*stride*len + k*stride     slab 0
 *   (o % pre) + (o / pre)*slab + k*stride      slab != 0
 * in_type: 3 logical (bytes), 6 double, 7 single; cplx: complex elements.
 * The whole-vector layout serves nelem = len with stride other than 1, or
 * with stride 1 and dev_out 0. The counts must describe the input exactly,
 * else the call returns 4 and touches nothing (nout = 0 returns 0 at once):
 *   whole vector: nelem >= 1 and nout = 1;
 *   stride 1:     len >= 1 and nelem = nout*len;
 *   slab 0:       len >= 1, stride >= 1, nelem = nout*len, and every member
 *                 of every result lies below element nelem;
 *   slab != 0:    len >= 1, pre >= 1, nelem = nout*len, and likewise.
 * all and any take a complex element as zero only when both its parts are
 * zero: (0, 1) and (0, NaN) count as true, (0, -0) as false. max and min rank
 * complex elements by magnitude; of equal magnitudes the later element is
 * kept without positions, the value met first in the reduction's order with
 * them. */
#define TORVANE_REDUCE_ENTRY_DECL(op)                                                         \
    TORVANE_API pkrError op##_stride_r(uint32_t nout, uint32_t nelem, uint32_t stride,        \
                                       uint32_t len, uint32_t slab, uint32_t pre, void *out,  \
                                       int32_t out_type, void *in, int32_t in_type,           \
                                       float *idx, unsigned char cplx,                        \
                                       unsigned char want_idx, unsigned char dev_out);
TORVANE_REDUCE_OPS(TORVANE_REDUCE_ENTRY_DECL)
#undef TORVANE_REDUCE_ENTRY_DECL

#define TORVANE_REDUCE_C_DECL(op, sfx, R, T, ot, it, cx)                                     \
    TORVANE_API pkrError pkr_##op##_rows_##sfx(R *out, T *in, unsigned int rows,              \
                                               unsigned int columns);                         \
    TORVANE_API pkrError pkr_##op##_columns_##sfx(R *out, T *in, unsigned int rows,           \
                                                  unsigned int columns);                      \
    TORVANE_API pkrError pkr_##op##_vector_##sfx(R *out, T *in, unsigned int n);
TORVANE_REDUCE_WRAPPER_TYPES(TORVANE_REDUCE_C_DECL)
#undef TORVANE_REDUCE_C_DECL

#ifdef __cplusplus
}

/* The template names: one primary template per operation and shape, defined
 * only for the type pairs of the tables above. */
#define TORVANE_REDUCE_TEMPLATE_DECL(op)                                                      \
    template <typename R, typename T>                                                         \
    pkrError pkr_##op##_rows(R *out, T *in, unsigned int rows, unsigned int columns);         \
    template <typename R, typename T>                                                         \
    pkrError pkr_##op##_columns(R *out, T *in, unsigned int rows, unsigned int columns);      \
    template <typename R, typename T>                                                         \
    pkrError pkr_##op##_vector(R *out, T *in, unsigned int n);
TORVANE_REDUCE_OPS(TORVANE_REDUCE_TEMPLATE_DECL)
#undef TORVANE_REDUCE_TEMPLATE_DECL

#define TORVANE_REDUCE_CXX_DECL(op, sfx, R, T, ot, it, cx)                                   \
    template <>                                                                               \
    TORVANE_API pkrError pkr_##op##_rows<R, T>(R *, T *, unsigned int, unsigned int);         \
    template <>                                                                               \
    TORVANE_API pkrError pkr_##op##_columns<R, T>(R *, T *, unsigned int, unsigned int);      \
    template <>                                                                               \
    TORVANE_API pkrError pkr_##op##_vector<R, T>(R *, T *, unsigned int);
TORVANE_REDUCE_WRAPPER_TYPES(TORVANE_REDUCE_CXX_DECL)
#undef TORVANE_REDUCE_CXX_DECL
#endif

#endif
