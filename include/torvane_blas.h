/* torvane matrix multiply: products of real, complex and mixed operands, one
 * matrix or a batch of equally shaped pages each, and, selected by an
 * operation code, the sum, minimum or maximum of every column of the second
 * operand written down every row of the result.
 *
 * blas(a_cplx, b_cplx, a_dbl, b_dbl, A, B, C, M, K, N, nA, nB, op, extra)
 *   A is M x K, B is K x N, C is M x N, all column-major without padding.
 *   nA, nB: pages of A and B stored back to back (0: one matrix, used for every
 *   page); C gets max(nA, nB, 1) pages.
 *   op 0: C = A*B per page. Same-type operands only:
 *     1 sum, 2 minimum, 3 maximum of each column of B (a page of B and C holds
 *       N / nB columns when pages are given),
 *     20, 30 minimum, maximum with the row of the extremum (double and single
 *       real only), as float row numbers from 1 at the device address `extra`,
 *       laid out like C.
 *     Complex minima and maxima rank elements by magnitude (an infinite part
 *     above any finite parts, NaN magnitudes below all others) and are always
 *     an element of the column; of equal magnitudes the first row's stays.
 *   C lies in device memory, except for a same-type product (op 0) with
 *   M = N = 1: its dot products are written by the host, one per page.
 *   K = 0 gives zeros, and the operations their start values: 0 for the sum,
 *   the largest finite value for the minimum, its negative for a real maximum,
 *   0 for a complex maximum, position 1.
 * Codes: 0 done, 6 an operation code the operand types have no kernel for, an
 * operation with pages of A but none of B, a product whose page counts are
 * negative or both nonzero and different (nothing is read or written), or a
 * grid the device cannot launch,
 * 7 a failure of cuBLAS, of a texture binding, of a launch, of the wait for it
 * or of an unbinding, 9 a mixed-type product with M = N = 1.
 * The legacy cuBLAS interface must have been initialised by the caller. No
 * code is stored as the thread's last error. Calls bind process-wide texture
 * references: callers serialise them. */
#ifndef TORVANE_BLAS_H
#define TORVANE_BLAS_H

#include "torvane.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Any nonzero flag byte counts as true. */
TORVANE_API pkrError blas(unsigned char a_cplx, unsigned char b_cplx, unsigned char a_dbl,
                          unsigned char b_dbl, const void *A, const void *B, void *C, int M,
                          int K, int N, int nA, int nB, int op, uint64_t extra);

#ifdef __cplusplus
}

struct float2; /* interleaved real and imaginary parts, as the device has them */
struct double2;

/* Legacy cuBLAS on device operands, no transposes, unit increments; exported
 * for float, double, float2 and double2. Errors stay in cuBLAS's own state. */
template <typename T>
T vv(unsigned int n, const T *x, const T *y); /* dot product, not conjugated */
template <typename T>
void mv(unsigned int m, unsigned int k, const T *A, const T *x, T *y); /* y = A*x */
template <typename T>
void mm(unsigned int m, unsigned int n, unsigned int k, const T *A, const T *B,
        T *C); /* C = A*B */

#define TORVANE_BLAS_TYPES(X) X(float) X(double) X(float2) X(double2)
#define TORVANE_BLAS_DECL(T)                                                                 \
    template <>                                                                              \
    TORVANE_API T vv<T>(unsigned int, const T *, const T *);                                 \
    template <>                                                                              \
    TORVANE_API void mv<T>(unsigned int, unsigned int, const T *, const T *, T *);           \
    template <>                                                                              \
    TORVANE_API void mm<T>(unsigned int, unsigned int, unsigned int, const T *, const T *, T *);
TORVANE_BLAS_TYPES(TORVANE_BLAS_DECL)
#undef TORVANE_BLAS_DECL
#endif

#endif
