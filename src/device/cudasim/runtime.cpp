// The CUDA runtime of the cuda-sim mode: the calls the cuda build makes,
// and those nvcc's host code makes to register its modules and to launch,
// on the simulated device held by the driver library (bridge.h).
#include "bridge.h"

#include <cuda_runtime_api.h>

#include <cstring>
#include <vector>

namespace {

cudaError_t fail(int code) { return cudaError_t(cudasim_fail(code)); }

// The configurations pushed by <<<...>>> for the launch stub to pop.
struct call_config {
    dim3 grid, block;
    size_t shared;
    cudaStream_t stream;
};
thread_local std::vector<call_config> configs;

cudaError_t launch(void *kernel, dim3 grid, dim3 block, void **args, size_t shared) {
    const unsigned g[3] = {grid.x, grid.y, grid.z}, b[3] = {block.x, block.y, block.z};
    return cudaError_t(cudasim_launch(kernel, g, b, shared, args));
}

}  // namespace

extern "C" {

// ------------------------------------------------------------ errors

cudaError_t cudaGetLastError() { return cudaError_t(cudasim_get_last_error()); }
cudaError_t cudaPeekAtLastError() { return cudaError_t(cudasim_peek_last_error()); }
const char *cudaGetErrorString(cudaError_t code) { return cudasim_error_string(int(code)); }

cudaError_t cudaRuntimeGetVersion(int *version) {
    if (!version) return fail(cudaErrorInvalidValue);
    *version = CUDART_VERSION;
    return cudaSuccess;
}
cudaError_t cudaDriverGetVersion(int *version) { return cudaRuntimeGetVersion(version); }

// ------------------------------------------------------------ devices

cudaError_t cudaGetDeviceCount(int *count) { return cudaError_t(cudasim_device_count(count)); }
cudaError_t cudaGetDevice(int *device) { return cudaError_t(cudasim_get_device(device)); }
cudaError_t cudaSetDevice(int device) { return cudaError_t(cudasim_set_device(device)); }
cudaError_t cudaDeviceSynchronize() { return cudaError_t(cudasim_synchronize()); }

cudaError_t cudaDeviceGetAttribute(int *value, cudaDeviceAttr attr, int device) {
    return cudaError_t(cudasim_device_attribute(value, int(attr), device));
}

// ------------------------------------------------------------ memory

// Memory the runtime does not know is "unregistered", not an error.
cudaError_t cudaPointerGetAttributes(cudaPointerAttributes *attr, const void *ptr) {
    if (int e = cudasim_runtime_ready()) return cudaError_t(e);
    if (!attr) return cudaError_t(cudasim_fail(cudaErrorInvalidValue));
    *attr = {};
    uintptr_t start = 0;
    size_t bytes = 0;
    int device = 0;
    bool mapped = false;
    if (!cudasim_allocation(ptr, &start, &bytes, &device, &mapped)) return cudaSuccess;
    if (device >= 0) {
        attr->type = cudaMemoryTypeDevice;
        attr->device = device;
        attr->devicePointer = const_cast<void *>(ptr);
    } else {
        attr->type = cudaMemoryTypeHost;
        cudasim_get_device(&attr->device);
        attr->hostPointer = const_cast<void *>(ptr);
        if (mapped) attr->devicePointer = const_cast<void *>(ptr);
    }
    return cudaSuccess;
}

cudaError_t cudaMalloc(void **ptr, size_t bytes) { return cudaError_t(cudasim_malloc(ptr, bytes)); }
cudaError_t cudaFree(void *ptr) { return cudaError_t(cudasim_free(ptr)); }

cudaError_t cudaMemcpy(void *dst, const void *src, size_t bytes, cudaMemcpyKind kind) {
    return cudaError_t(cudasim_memcpy(dst, src, bytes, int(kind)));
}

cudaError_t cudaMemset(void *dst, int value, size_t bytes) {
    return cudaError_t(cudasim_memset(dst, value, bytes));
}

cudaError_t cudaGetSymbolAddress(void **address, const void *symbol) {
    if (!address) return fail(cudaErrorInvalidValue);
    size_t bytes;
    return cudaError_t(cudasim_symbol(symbol, address, &bytes));
}

cudaError_t cudaGetSymbolSize(size_t *size, const void *symbol) {
    if (!size) return fail(cudaErrorInvalidValue);
    void *address;
    return cudaError_t(cudasim_symbol(symbol, &address, size));
}

namespace {
// Both directions of a copy between host memory and a module variable.
cudaError_t symbol_copy(const void *symbol, void *host, size_t bytes, size_t offset, cudaMemcpyKind kind,
                        bool to_symbol) {
    void *address;
    size_t size;
    if (int e = cudasim_symbol(symbol, &address, &size)) return cudaError_t(e);
    if (offset > size || bytes > size - offset) return fail(cudaErrorInvalidValue);
    char *var = static_cast<char *>(address) + offset;
    const bool from_host = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDefault;
    const bool to_host = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDefault;
    if (to_symbol ? !(from_host || kind == cudaMemcpyDeviceToDevice)
                  : !(to_host || kind == cudaMemcpyDeviceToDevice))
        return fail(cudaErrorInvalidMemcpyDirection);
    if (bytes == 0) return cudaSuccess;
    if (!host) return fail(cudaErrorInvalidValue);
    if (to_symbol) std::memmove(var, host, bytes);
    else std::memmove(host, var, bytes);
    return cudaSuccess;
}
}  // namespace

cudaError_t cudaMemcpyToSymbol(const void *symbol, const void *src, size_t bytes, size_t offset,
                               cudaMemcpyKind kind) {
    return symbol_copy(symbol, const_cast<void *>(src), bytes, offset, kind, true);
}

cudaError_t cudaMemcpyFromSymbol(void *dst, const void *symbol, size_t bytes, size_t offset,
                                 cudaMemcpyKind kind) {
    return symbol_copy(symbol, dst, bytes, offset, kind, false);
}

// ------------------------------------------------------------ events

cudaError_t cudaEventCreateWithFlags(cudaEvent_t *event, unsigned int) {
    if (int e = cudasim_runtime_ready()) return cudaError_t(e);
    if (!event) return fail(cudaErrorInvalidValue);
    *event = static_cast<cudaEvent_t>(cudasim_event_new());
    return cudaSuccess;
}
cudaError_t cudaEventCreate(cudaEvent_t *event) { return cudaEventCreateWithFlags(event, 0); }

// The legacy stream's work is done when a call returns.
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t) {
    if (int e = cudasim_runtime_ready()) return cudaError_t(e);
    if (!cudasim_event_live(event)) return fail(cudaErrorInvalidResourceHandle);
    return cudaSuccess;
}
cudaError_t cudaEventQuery(cudaEvent_t event) { return cudaEventRecord(event, nullptr); }
cudaError_t cudaEventSynchronize(cudaEvent_t event) { return cudaEventRecord(event, nullptr); }
cudaError_t cudaEventDestroy(cudaEvent_t event) {
    if (int e = cudasim_runtime_ready()) return cudaError_t(e);
    return cudasim_event_delete(event) ? cudaSuccess : fail(cudaErrorInvalidResourceHandle);
}

// ------------------------------------------------------------ texture objects

cudaChannelFormatDesc cudaCreateChannelDesc(int x, int y, int z, int w, cudaChannelFormatKind f) {
    cudaChannelFormatDesc d;
    d.x = x, d.y = y, d.z = z, d.w = w, d.f = f;
    return d;
}

// Linear memory of 32-bit channels, fetched by element: what the seam's
// texture references stand on.
cudaError_t cudaCreateTextureObject(cudaTextureObject_t *object, const cudaResourceDesc *res,
                                    const cudaTextureDesc *desc, const cudaResourceViewDesc *view) {
    if (!object || !res || !desc || view) return fail(cudaErrorInvalidValue);
    if (res->resType != cudaResourceTypeLinear || desc->normalizedCoords ||
        desc->readMode != cudaReadModeElementType || desc->filterMode != cudaFilterModePoint)
        return fail(cudaErrorNotSupported);
    const cudaChannelFormatDesc &c = res->res.linear.desc;
    const int bits[4] = {c.x, c.y, c.z, c.w};
    int channels = 0;
    while (channels < 4 && bits[channels] != 0) ++channels;
    for (int k = 0; k < 4; ++k)
        if ((k < channels && bits[k] != 32) || (k >= channels && bits[k] != 0)) return fail(cudaErrorInvalidValue);
    if (channels == 3 || c.f == cudaChannelFormatKindNone) return fail(cudaErrorInvalidValue);
    unsigned long long h = 0;
    if (int e = cudasim_tex_create(&h, res->res.linear.devPtr, res->res.linear.sizeInBytes, channels, 4))
        return cudaError_t(e);
    *object = h;
    return cudaSuccess;
}

cudaError_t cudaDestroyTextureObject(cudaTextureObject_t object) {
    if (int e = cudasim_runtime_ready()) return cudaError_t(e);
    return cudaError_t(cudasim_tex_destroy(object));
}

// ------------------------------------------------------------ launches

cudaError_t cudaLaunchKernel(const void *fun, dim3 grid, dim3 block, void **args, size_t shared,
                             cudaStream_t) {
    void *k = cudasim_kernel(fun);
    if (!k) {
        if (int e = cudasim_runtime_ready()) return cudaError_t(e);
        return fail(cudaErrorInvalidDeviceFunction);
    }
    return launch(k, grid, block, args, shared);
}

cudaError_t __cudaGetKernel(cudaKernel_t *kernel, const void *fun) {
    if (!kernel) return fail(cudaErrorInvalidValue);
    void *k = cudasim_kernel(fun);
    if (!k) return fail(cudaErrorInvalidDeviceFunction);
    *kernel = static_cast<cudaKernel_t>(k);
    return cudaSuccess;
}

cudaError_t __cudaLaunchKernel(cudaKernel_t kernel, dim3 grid, dim3 block, void **args, size_t shared,
                               cudaStream_t) {
    return launch(kernel, grid, block, args, shared);
}

unsigned __cudaPushCallConfiguration(dim3 grid, dim3 block, size_t shared, struct CUstream_st *stream) {
    configs.push_back({grid, block, shared, stream});
    return 0;
}

cudaError_t __cudaPopCallConfiguration(dim3 *grid, dim3 *block, size_t *shared, void *stream) {
    if (configs.empty()) return cudaErrorMissingConfiguration;
    const call_config c = configs.back();
    configs.pop_back();
    *grid = c.grid, *block = c.block, *shared = c.shared;
    *static_cast<cudaStream_t *>(stream) = c.stream;
    return cudaSuccess;
}

// ------------------------------------------------------------ registration

void **__cudaRegisterFatBinary(void *fat) { return static_cast<void **>(cudasim_register_fatbin(fat)); }
void __cudaRegisterFatBinaryEnd(void **) {}
void __cudaUnregisterFatBinary(void **) {}  // modules stay: other libraries' exit code may still launch
char __cudaInitModule(void **) { return 1; }

void __cudaRegisterFunction(void **module, const char *host_fun, char *, const char *name, int, uint3 *,
                            uint3 *, dim3 *, dim3 *, int *) {
    cudasim_register_function(module, host_fun, name);
}

void __cudaRegisterVar(void **module, char *host_var, char *, const char *name, int, size_t bytes, int,
                       int) {
    cudasim_register_var(module, host_var, name, bytes);
}

}  // extern "C"
