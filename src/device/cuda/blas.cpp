// Legacy cuBLAS, called directly: the complex types of the seam are the
// runtime's float2 and double2, which cuComplex and cuDoubleComplex are.
#include "internal.h"

#include <cublas.h>

#include <type_traits>

namespace dev {

static_assert(std::is_same<cuComplex, float2>::value && std::is_same<cuDoubleComplex, double2>::value,
              "cuBLAS complex types are the runtime's vector types");

int blas_init() { return cublasInit(); }
int blas_shutdown() { return cublasShutdown(); }
int blas_get_error() { return cublasGetError(); }

float blas_sdot(int n, const float *x, int incx, const float *y, int incy) {
    return cublasSdot(n, x, incx, y, incy);
}
double blas_ddot(int n, const double *x, int incx, const double *y, int incy) {
    return cublasDdot(n, x, incx, y, incy);
}
float2 blas_cdotu(int n, const float2 *x, int incx, const float2 *y, int incy) {
    return cublasCdotu(n, x, incx, y, incy);
}
double2 blas_zdotu(int n, const double2 *x, int incx, const double2 *y, int incy) {
    return cublasZdotu(n, x, incx, y, incy);
}

void blas_sgemv(char trans, int m, int n, float alpha, const float *a, int lda, const float *x,
                int incx, float beta, float *y, int incy) {
    cublasSgemv(trans, m, n, alpha, a, lda, x, incx, beta, y, incy);
}
void blas_dgemv(char trans, int m, int n, double alpha, const double *a, int lda,
                const double *x, int incx, double beta, double *y, int incy) {
    cublasDgemv(trans, m, n, alpha, a, lda, x, incx, beta, y, incy);
}
void blas_zgemv(char trans, int m, int n, double2 alpha, const double2 *a, int lda,
                const double2 *x, int incx, double2 beta, double2 *y, int incy) {
    cublasZgemv(trans, m, n, alpha, a, lda, x, incx, beta, y, incy);
}

void blas_sgemm(char transa, char transb, int m, int n, int k, float alpha, const float *a,
                int lda, const float *b, int ldb, float beta, float *c, int ldc) {
    cublasSgemm(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}
void blas_dgemm(char transa, char transb, int m, int n, int k, double alpha, const double *a,
                int lda, const double *b, int ldb, double beta, double *c, int ldc) {
    cublasDgemm(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}
void blas_cgemm(char transa, char transb, int m, int n, int k, float2 alpha, const float2 *a,
                int lda, const float2 *b, int ldb, float2 beta, float2 *c, int ldc) {
    cublasCgemm(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}
void blas_zgemm(char transa, char transb, int m, int n, int k, double2 alpha,
                const double2 *a, int lda, const double2 *b, int ldb, double2 beta, double2 *c,
                int ldc) {
    cublasZgemm(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}

}  // namespace dev
