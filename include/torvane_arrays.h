/* torvane array kernels: Hankel matrices, transposes and conjugate transposes
 * (one matrix or a batch of equally shaped pages), first and second
 * differences along a dimension, and two-dimensional gradients.
 *
 * Every call queues one kernel on the default stream and does not wait for it.
 * Codes: 0 queued, 1 out of device memory, 4 arguments that describe no
 * result (differences only), 5 no device or no code for it, 7 any other
 * failure of the runtime: an empty grid (a count or extent of 0), a grid
 * dimension above 65535 blocks, or an error that earlier work left pending.
 * An error left pending by earlier work cancels a Hankel, transpose or
 * gradient call and is its result; the differences drop it and go ahead.
 * The code is stored as the thread's last error (torvane_last_error), except
 * that the differences store only the failure of their launch.
 *
 * Logical elements are bytes. Complex elements interleave real and imaginary
 * parts (float2, double2). Input and output buffers must not overlap. */
#ifndef TORVANE_ARRAYS_H
#define TORVANE_ARRAYS_H

#include "torvane.h"

/* Hankel matrices: out (m x n, column-major) takes c[i + j] where i + j < m,
 * else r[i + j - m + 1], or 0 where r is null; r[0] is never read. A change of
 * precision rounds to nearest; a real value becomes a complex one with
 * imaginary part 0. X(code, output, column, row): out, c and r types. */
#define TORVANE_HANKEL_TYPES(X)                      \
    X(f32f32f32, float, float, float)                \
    X(c32f32c32, float2, float, float2)              \
    X(c32c32f32, float2, float2, float)              \
    X(c32c32c32, float2, float2, float2)             \
    X(f32f32f64, float, float, double)               \
    X(c32f32c64, float2, float, double2)             \
    X(c32c32f64, float2, float2, double)             \
    X(c32c32c64, float2, float2, double2)            \
    X(f32f64f32, float, double, float)               \
    X(c32f64c32, float2, double, float2)             \
    X(c32c64f32, float2, double2, float)             \
    X(c32c64c32, float2, double2, float2)            \
    X(f64f32f64, double, float, double)              \
    X(c64f32c64, double2, float, double2)            \
    X(c64c32f64, double2, float2, double)            \
    X(c64c32c64, double2, float2, double2)           \
    X(f64f64f32, double, double, float)              \
    X(c64f64c32, double2, double, float2)            \
    X(c64c64f32, double2, double2, float)            \
    X(c64c64c32, double2, double2, float2)           \
    X(f64f64f64, double, double, double)             \
    X(c64f64c64, double2, double, double2)           \
    X(c64c64f64, double2, double2, double)           \
    X(c64c64c64, double2, double2, double2)

/* Transposes: in (m x n, column-major) to out (n x m); with count pages
 * (0: one matrix) page p lies at element p*m*n of both. The conjugating forms
 * negate imaginary parts. Logical bytes travel unchanged, whatever their
 * value. X(code, element). */
#define TORVANE_TRANSPOSE_TYPES(X) \
    X(c64, double2)                \
    X(f64, double)                 \
    X(b, bool)                     \
    X(f32, float)                  \
    X(c32, float2)

/* Gradients of an m x n array stored row by row (element (i, j) at i*n + j):
 * dslow is the derivative along i, dfast along j; central differences
 * halved inside, one-sided ones on the borders, 0 (false) along an extent of
 * 1. Integers wrap modulo 2^32; int halves truncate toward zero, unsigned
 * ones shift. A logical byte counts as 1 when nonzero; the logical result is
 * true where the difference is nonzero, so false everywhere inside.
 * X(code, element). */
#define TORVANE_GRAD_TYPES(X) \
    X(f64, double)            \
    X(f32, float)             \
    X(i32, int)               \
    X(u32, unsigned int)      \
    X(b, bool)

#ifdef __cplusplus
extern "C" {
#endif

#define TORVANE_HANKEL_DECL(code, To, Tc, Tr) \
    TORVANE_API pkrError pkr_hankel_##code(void *out, unsigned m, void *c, unsigned n, void *r);
TORVANE_HANKEL_TYPES(TORVANE_HANKEL_DECL)
#undef TORVANE_HANKEL_DECL

#define TORVANE_TRANSPOSE_DECL(code, T)                                                           \
    TORVANE_API pkrError pkr_transpose_##code(const void *in, void *out, unsigned m, unsigned n); \
    TORVANE_API pkrError pkr_transpose_##code##_tesk(const void *in, void *out, unsigned m,       \
                                                     unsigned n, unsigned count);                 \
    TORVANE_API pkrError pkr_ctranspose_##code(const void *in, void *out, unsigned m, unsigned n);\
    TORVANE_API pkrError pkr_ctranspose_##code##_tesk(const void *in, void *out, unsigned m,      \
                                                      unsigned n, unsigned count);
TORVANE_TRANSPOSE_TYPES(TORVANE_TRANSPOSE_DECL)
#undef TORVANE_TRANSPOSE_DECL

/* Differences of order 1 or 2 along dim (from 0) of a two- or three-
 * dimensional input (a 1 x n or n x 1 input is a vector, whatever dim says;
 * any dim but 0 of a matrix means its rows). The call writes as many
 * elements to out as out_dims describe (1 for none): normally the input's
 * shape less order along that dimension. Another count is taken as given:
 * the leading outputs follow the same index rules, and inputs are read only
 * through the texture, whose reads past the input's end give its last
 * element. Codes: 4 for more than three output dimensions or a negative count
 * of them, an input that is not two- or three-dimensional, a null or
 * negative extent, an order but 1 or 2, or a dim outside 0..2 of a
 * three-dimensional input; 7 when the input cannot be bound to the texture
 * (more than 2^27 elements), the launch fails (also for no output elements),
 * or the binding cannot be undone. The input stays bound to the
 * precision's texture after a failed launch; calls of one precision are not
 * to overlap. */
TORVANE_API pkrError pkr_diff_f64(void *out, void *in, int *out_dims, int out_ndims, int *in_dims,
                                  int in_ndims, int order, int dim);
TORVANE_API pkrError pkr_diff_f32(void *out, void *in, int *out_dims, int out_ndims, int *in_dims,
                                  int in_ndims, int order, int dim);

#define TORVANE_GRAD_DECL(code, T)                                                        \
    TORVANE_API pkrError pkr_grad_##code(void *dslow, void *dfast, void *in, unsigned m, \
                                         unsigned n);
TORVANE_GRAD_TYPES(TORVANE_GRAD_DECL)
#undef TORVANE_GRAD_DECL

#ifdef __cplusplus
}
#endif

#endif
