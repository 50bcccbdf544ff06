// The device seam: everything the system needs of the CUDA runtime, the CUDA
// driver and legacy cuBLAS, behind one small interface. Two implementations
// exist: src/device/cuda (the real GPU, modern CUDA) and src/device/sim (a
// simulated device that runs kernels on the CPU).
//
// Every function returns the runtime's or the driver's own error number
// (0 success, 2 allocation, 9 invalid configuration, 100 no device, ...), so
// code above the seam can compare codes exactly as it would against CUDA.
// Runtime-side calls leave a failure pending for get_last_error(), as the
// CUDA runtime does; driver-side calls (drv_*) do not.
#pragma once

#include "devtypes.h"

#include <cstddef>
#include <cstdint>

namespace dev {

// Error numbers that code above the seam names.
enum : int {
    ok = 0,
    err_invalid_value = 1,            // runtime and driver
    err_memory_allocation = 2,        // runtime cudaErrorMemoryAllocation, driver OUT_OF_MEMORY
    err_not_initialized = 3,          // runtime/driver: not initialised
    err_invalid_configuration = 9,    // runtime cudaErrorInvalidConfiguration
    err_invalid_device_pointer = 17,  // runtime
    err_invalid_texture = 18,         // runtime
    err_no_device = 100,              // runtime and driver
    err_invalid_device = 101,         // runtime and driver (bad ordinal)
    err_invalid_image = 200,          // driver
    err_invalid_context = 201,        // driver (no current context)
    err_no_binary_for_gpu = 209,      // runtime and driver
    err_invalid_ptx = 218,            // driver
    err_not_found = 500,              // driver (function lookup)
    err_illegal_address = 700,        // runtime/driver: a kernel touched memory it does not own
    err_launch_timeout = 702,         // runtime/driver: a kernel ran on and was stopped
    err_launch_failed = 719,          // runtime/driver: a kernel failed while it ran
    err_not_supported = 801,          // runtime and driver
};

using dptr = unsigned long long;  // a device address as the driver API passes it

// ---------------------------------------------------------------- runtime

// Reads the calling thread's pending runtime error and clears it.
int get_last_error();
// Reads it without clearing.
int peek_last_error();

int malloc(void **ptr, size_t bytes);
int free(void *ptr);
int memcpy_htod(void *dst, const void *src, size_t bytes);
int memcpy_dtoh(void *dst, const void *src, size_t bytes);
int memcpy_dtod(void *dst, const void *src, size_t bytes);
// Copies into a __device__ variable; `symbol` is the variable as host code sees it.
int memcpy_to_symbol(const void *symbol, const void *src, size_t bytes, size_t offset = 0);
// Waits for all work queued by the calling thread (the legacy cudaThreadSynchronize).
int synchronize();
// The runtime's current device of the calling thread.
int get_device(int *ordinal);
int set_device(int ordinal);
const char *error_string(int code);

// Kernel launch on the default stream. Code above the seam uses the typed
// dev::launch template of kernel.h; this is its untyped core. A refused
// configuration is returned and left pending, as cudaConfigureCall's failure was.
struct launch_thunk {
    // Calls `kernel` with the parameters that `args` points at (one pointer per
    // parameter, as cudaLaunchKernel takes them). Used by the simulated device.
    void (*invoke)(const void *kernel, void **args);
    // The first pointer argument that points outside every device block
    // (its index, and the pointer in *p), or -1. Simulated device only.
    int (*stray_pointer)(void **args, const void **p) = nullptr;
};
int launch_kernel(const void *kernel, dim3 grid, dim3 block, size_t shared_bytes, void **args,
                  const launch_thunk *thunk);

// 1-D linear texture over device memory, as the legacy texture references had
// them: element reads, unnormalised coordinates, point sampling, clamped
// addressing. A texture_ref is declared in device code with DEV_TEXTURE.
enum class texel { f32, f32x2, i32x2, i32x4 };
struct texture_ref {
    texel kind;
    void *symbol;  // device variable that kernels read the binding from (real backend)
    // Binding state, written by bind_texture and unbind_texture only.
    const char *base = nullptr;  // start of the binding, aligned down
    size_t elements = 0;         // texels bound from `base`
    unsigned long long handle = 0;  // backend object, 0 when unbound
};
constexpr size_t texel_bytes(texel kind) {
    return kind == texel::f32 ? 4 : kind == texel::i32x4 ? 16 : 8;
}
// Binds `bytes` bytes at `ptr`. *offset receives the byte offset between the
// start of the binding and `ptr` (non-zero for a pointer that is not aligned to
// the texture alignment); kernels add offset / element size to their indices.
int bind_texture(size_t *offset, texture_ref &ref, const void *ptr, size_t bytes);
int unbind_texture(texture_ref &ref);
size_t texture_alignment();
constexpr size_t max_texture_elements = size_t(1) << 27;

// ---------------------------------------------------------------- driver

using drv_device = int;
struct drv_context_rec;
using drv_context = drv_context_rec *;
struct drv_module_rec;
using drv_module = drv_module_rec *;
struct drv_function_rec;
using drv_function = drv_function_rec *;

int drv_init(unsigned flags);
int drv_device_count(int *count);
int drv_device_get(drv_device *device, int ordinal);
int drv_compute_capability(int *major, int *minor, drv_device device);
// Context management, for tests and tools: the library itself never creates one.
int drv_ctx_create(drv_context *ctx, drv_device device);
int drv_ctx_destroy(drv_context ctx);
int drv_ctx_set_current(drv_context ctx);  // null leaves the thread without one
// The device of the calling thread's current context; err_invalid_context without one.
int drv_ctx_get_device(drv_device *device);
int drv_mem_get_info(size_t *free_bytes, size_t *total_bytes);
// Pinned host memory; flag 2 (device map) maps it into the device's address space.
enum : unsigned { host_alloc_devicemap = 2 };
int drv_mem_host_alloc(void **ptr, size_t bytes, unsigned flags);
int drv_mem_free_host(void *ptr);
int drv_mem_host_get_device_pointer(dptr *device_ptr, void *host_ptr);
int drv_memset_d8(dptr dst, unsigned char value, size_t count);
int drv_memset_d32(dptr dst, unsigned value, size_t count);
int drv_module_load_data(drv_module *module, const void *image);
int drv_module_unload(drv_module module);
int drv_module_get_function(drv_function *function, drv_module module, const char *name);
// Launches with a raw parameter block of `param_bytes` bytes laid out as the
// kernel's parameters (the legacy cuParamSet* offsets).
int drv_launch(drv_function function, dim3 grid, dim3 block, unsigned shared_bytes,
               const void *params, size_t param_bytes);
const char *drv_error_name(int code);
// The legacy launch staging (cuFuncSetBlockShape, cuFuncSetSharedSize,
// cuParamSetSize, cuParamSetf, cuParamSetv, cuLaunchGrid), kept per function
// by the seam and launched through drv_launch with the staged parameter
// block, so that 64-bit addresses fit (cuParamSeti's 32 bits do not: an
// address goes in with drv_param_setv). Shapes, shared sizes and parameter
// sizes beyond the device's limits, and parameters outside the set size, are
// refused with err_invalid_value; the grid is checked at the launch.
int drv_func_set_block_shape(drv_function function, unsigned x, unsigned y, unsigned z);
int drv_func_set_shared_size(drv_function function, size_t bytes);
int drv_param_set_size(drv_function function, size_t bytes);
int drv_param_setf(drv_function function, size_t offset, float value);
int drv_param_setv(drv_function function, size_t offset, const void *data, size_t bytes);
int drv_launch_grid(drv_function function, unsigned grid_x, unsigned grid_y);

// ---------------------------------------------------------------- cuBLAS (legacy)

enum : int {
    blas_success = 0,
    blas_not_initialized = 1,
    blas_alloc_failed = 3,
    blas_invalid_value = 7,
    blas_execution_failed = 13,
};

int blas_init();
int blas_shutdown();
// Reads and clears the status of the last cuBLAS call of the process.
int blas_get_error();
float blas_sdot(int n, const float *x, int incx, const float *y, int incy);
double blas_ddot(int n, const double *x, int incx, const double *y, int incy);
float2 blas_cdotu(int n, const float2 *x, int incx, const float2 *y, int incy);
double2 blas_zdotu(int n, const double2 *x, int incx, const double2 *y, int incy);
void blas_sgemv(char trans, int m, int n, float alpha, const float *a, int lda, const float *x,
                int incx, float beta, float *y, int incy);
void blas_dgemv(char trans, int m, int n, double alpha, const double *a, int lda,
                const double *x, int incx, double beta, double *y, int incy);
void blas_zgemv(char trans, int m, int n, double2 alpha, const double2 *a, int lda,
                const double2 *x, int incx, double2 beta, double2 *y, int incy);
void blas_sgemm(char transa, char transb, int m, int n, int k, float alpha, const float *a,
                int lda, const float *b, int ldb, float beta, float *c, int ldc);
void blas_dgemm(char transa, char transb, int m, int n, int k, double alpha, const double *a,
                int lda, const double *b, int ldb, double beta, double *c, int ldc);
void blas_cgemm(char transa, char transb, int m, int n, int k, float2 alpha, const float2 *a,
                int lda, const float2 *b, int ldb, float2 beta, float2 *c, int ldc);
void blas_zgemm(char transa, char transb, int m, int n, int k, double2 alpha,
                const double2 *a, int lda, const double2 *b, int ldb, double2 beta, double2 *c,
                int ldc);

}  // namespace dev
