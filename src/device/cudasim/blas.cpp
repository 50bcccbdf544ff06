// Legacy cuBLAS of the cuda-sim mode: the calls the cuda build makes, on the
// simulated device's reference BLAS (bridge.h), whose status rules they keep.
#include "bridge.h"

#include <cublas.h>

extern "C" {

cublasStatus cublasInit() { return cublasStatus(cudasim_blas_init()); }
cublasStatus cublasShutdown() { return cublasStatus(cudasim_blas_shutdown()); }
cublasStatus cublasGetError() { return cublasStatus(cudasim_blas_get_error()); }

float cublasSdot(int n, const float *x, int incx, const float *y, int incy) {
    return cudasim_blas_sdot(n, x, incx, y, incy);
}
double cublasDdot(int n, const double *x, int incx, const double *y, int incy) {
    return cudasim_blas_ddot(n, x, incx, y, incy);
}
cuComplex cublasCdotu(int n, const cuComplex *x, int incx, const cuComplex *y, int incy) {
    float r[2];
    cudasim_blas_cdotu(r, n, x, incx, y, incy);
    return make_cuComplex(r[0], r[1]);
}
cuDoubleComplex cublasZdotu(int n, const cuDoubleComplex *x, int incx, const cuDoubleComplex *y, int incy) {
    double r[2];
    cudasim_blas_zdotu(r, n, x, incx, y, incy);
    return make_cuDoubleComplex(r[0], r[1]);
}

void cublasSgemv(char trans, int m, int n, float alpha, const float *a, int lda, const float *x, int incx,
                 float beta, float *y, int incy) {
    cudasim_blas_sgemv(trans, m, n, alpha, a, lda, x, incx, beta, y, incy);
}
void cublasDgemv(char trans, int m, int n, double alpha, const double *a, int lda, const double *x,
                 int incx, double beta, double *y, int incy) {
    cudasim_blas_dgemv(trans, m, n, alpha, a, lda, x, incx, beta, y, incy);
}
void cublasZgemv(char trans, int m, int n, cuDoubleComplex alpha, const cuDoubleComplex *a, int lda,
                 const cuDoubleComplex *x, int incx, cuDoubleComplex beta, cuDoubleComplex *y, int incy) {
    const double al[2] = {alpha.x, alpha.y}, be[2] = {beta.x, beta.y};
    cudasim_blas_zgemv(trans, m, n, al, a, lda, x, incx, be, y, incy);
}

void cublasSgemm(char ta, char tb, int m, int n, int k, float alpha, const float *a, int lda, const float *b,
                 int ldb, float beta, float *c, int ldc) {
    cudasim_blas_sgemm(ta, tb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}
void cublasDgemm(char ta, char tb, int m, int n, int k, double alpha, const double *a, int lda,
                 const double *b, int ldb, double beta, double *c, int ldc) {
    cudasim_blas_dgemm(ta, tb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}
void cublasCgemm(char ta, char tb, int m, int n, int k, cuComplex alpha, const cuComplex *a, int lda,
                 const cuComplex *b, int ldb, cuComplex beta, cuComplex *c, int ldc) {
    const float al[2] = {alpha.x, alpha.y}, be[2] = {beta.x, beta.y};
    cudasim_blas_cgemm(ta, tb, m, n, k, al, a, lda, b, ldb, be, c, ldc);
}
void cublasZgemm(char ta, char tb, int m, int n, int k, cuDoubleComplex alpha, const cuDoubleComplex *a,
                 int lda, const cuDoubleComplex *b, int ldb, cuDoubleComplex beta, cuDoubleComplex *c,
                 int ldc) {
    const double al[2] = {alpha.x, alpha.y}, be[2] = {beta.x, beta.y};
    cudasim_blas_zgemm(ta, tb, m, n, k, al, a, lda, b, ldb, be, c, ldc);
}

}  // extern "C"
