// Runtime side of the real-GPU backend: the CUDA runtime, called directly.
// Its own per-thread error state is the pending error of the seam.
//
// Without a GPU driver the runtime loads and every call that needs the
// device returns 35 (cudaErrorInsufficientDriver), left pending as usual.
#include "internal.h"

#include <cuda_runtime_api.h>

namespace dev {

int get_last_error() { return cudaGetLastError(); }
int peek_last_error() { return cudaPeekAtLastError(); }

int malloc(void **ptr, size_t bytes) { return cudaMalloc(ptr, bytes); }
int free(void *ptr) { return cudaFree(ptr); }

int memcpy_htod(void *dst, const void *src, size_t bytes) {
    return cudaMemcpy(dst, src, bytes, cudaMemcpyHostToDevice);
}
int memcpy_dtoh(void *dst, const void *src, size_t bytes) {
    return cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToHost);
}
int memcpy_dtod(void *dst, const void *src, size_t bytes) {
    return cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToDevice);
}

int memcpy_to_symbol(const void *symbol, const void *src, size_t bytes, size_t offset) {
    return cudaMemcpyToSymbol(symbol, src, bytes, offset, cudaMemcpyHostToDevice);
}

int synchronize() { return cudaDeviceSynchronize(); }
int get_device(int *ordinal) { return cudaGetDevice(ordinal); }
int set_device(int ordinal) { return cudaSetDevice(ordinal); }
const char *error_string(int code) { return cudaGetErrorString(cudaError_t(code)); }

// The kernel is the host stub nvcc registered for it, `args` the parameter
// pointers that cudaLaunchKernel takes; the thunk serves the simulated device
// only. The legacy stream (0) as the old default stream; a refused
// configuration is returned and stays pending in the runtime.
int launch_kernel(const void *kernel, dim3 grid, dim3 block, size_t shared_bytes, void **args,
                  const launch_thunk *) {
    return cudaLaunchKernel(kernel, grid, block, args, shared_bytes, nullptr);
}

}  // namespace dev
