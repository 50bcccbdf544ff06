// What the runtime and cuBLAS libraries of the cuda-sim mode ask of the
// driver library, which holds the simulated device. Plain C types only: the
// simulated device's own vector types and the toolkit's cannot meet in one
// translation unit.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#pragma GCC visibility push(default)

// Pending error of the calling thread: leaves `code` pending (when non-zero)
// and returns it; reads and clears; reads.
int cudasim_fail(int code);
int cudasim_get_last_error();
int cudasim_peek_last_error();

// The runtime's calls that the simulated device has as they are.
int cudasim_malloc(void **ptr, size_t bytes);
int cudasim_free(void *ptr);
// kind: 1 host to device, 2 device to host, 3 device to device, 4 inferred.
int cudasim_memcpy(void *dst, const void *src, size_t bytes, int kind);
int cudasim_memset(void *dst, int value, size_t bytes);
int cudasim_synchronize();
int cudasim_get_device(int *ordinal);
int cudasim_set_device(int ordinal);
int cudasim_device_count(int *count);
const char *cudasim_error_string(int code);
// A device attribute by the runtime's numbering (cudaDeviceAttr); 0 or the error, pending.
int cudasim_device_attribute(int *value, int attribute, int device);
// The calling thread's runtime context is in place and not broken; 0 or the error, pending.
int cudasim_runtime_ready();

// The allocation that holds `p`: its start, bytes, device ordinal (-1 for
// pinned host memory) and whether the device can address it; false for none.
bool cudasim_allocation(const void *p, uintptr_t *start, size_t *bytes, int *device, bool *mapped);

// Registration of the modules nvcc embeds in host code.
void *cudasim_register_fatbin(const void *wrapper);
void cudasim_register_function(void *module, const void *host_fun, const char *name);
void cudasim_register_var(void *module, const void *host_var, const char *name, size_t bytes);
// The registered kernel of a host stub, or null.
void *cudasim_kernel(const void *host_fun);
// Launch on the legacy default stream: `args` one pointer per parameter.
int cudasim_launch(void *kernel, const unsigned grid[3], const unsigned block[3], size_t shared_bytes,
                   void **args);
// The device address and size of a registered variable; 0 or the error, pending.
int cudasim_symbol(const void *host_var, void **address, size_t *bytes);

// Texture objects over linear device memory; 0 or the error, pending.
int cudasim_tex_create(unsigned long long *object, const void *ptr, size_t bytes, int channels,
                       int channel_bytes);
int cudasim_tex_destroy(unsigned long long object);

// Events on the legacy stream: work completes in order, so only a broken
// context shows.
int cudasim_context_fault();
void *cudasim_event_new();
bool cudasim_event_delete(void *event);  // false for one that is not live
bool cudasim_event_live(void *event);

// Legacy cuBLAS on the simulated reference. Complex values are pairs.
int cudasim_blas_init();
int cudasim_blas_shutdown();
int cudasim_blas_get_error();
float cudasim_blas_sdot(int n, const float *x, int incx, const float *y, int incy);
double cudasim_blas_ddot(int n, const double *x, int incx, const double *y, int incy);
void cudasim_blas_cdotu(float *r, int n, const void *x, int incx, const void *y, int incy);
void cudasim_blas_zdotu(double *r, int n, const void *x, int incx, const void *y, int incy);
void cudasim_blas_sgemv(char trans, int m, int n, float alpha, const float *a, int lda, const float *x,
                        int incx, float beta, float *y, int incy);
void cudasim_blas_dgemv(char trans, int m, int n, double alpha, const double *a, int lda,
                        const double *x, int incx, double beta, double *y, int incy);
void cudasim_blas_zgemv(char trans, int m, int n, const double *alpha, const void *a, int lda,
                        const void *x, int incx, const double *beta, void *y, int incy);
void cudasim_blas_sgemm(char ta, char tb, int m, int n, int k, float alpha, const float *a, int lda,
                        const float *b, int ldb, float beta, float *c, int ldc);
void cudasim_blas_dgemm(char ta, char tb, int m, int n, int k, double alpha, const double *a,
                        int lda, const double *b, int ldb, double beta, double *c, int ldc);
void cudasim_blas_cgemm(char ta, char tb, int m, int n, int k, const float *alpha, const void *a,
                        int lda, const void *b, int ldb, const float *beta, void *c, int ldc);
void cudasim_blas_zgemm(char ta, char tb, int m, int n, int k, const double *alpha, const void *a,
                        int lda, const void *b, int ldb, const double *beta, void *c, int ldc);

#pragma GCC visibility pop
}  // extern "C"
