// Driver side of the real-GPU backend: the run-time loaded driver API.
//
// Without libcuda.so.1 (no driver installed) drv_init returns 100
// (CUDA_ERROR_NO_DEVICE), as cuInit does where a driver finds no usable
// device; where the library is there but refuses to hand out its entry points
// (the toolkit's stub: 34) drv_init returns the driver's own code. Every other
// drv_* then returns 3 (CUDA_ERROR_NOT_INITIALIZED), as the driver does after
// a failed cuInit. Nothing here touches the runtime, so driver calls never
// change the pending runtime error.
#include "device/error_names.h"
#include "device/staging.h"
#include "internal.h"

#include <dlfcn.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>

struct dev::drv_context_rec {
    CUcontext ctx;
    CUdevice device;
};

namespace dev {
namespace cuda {

namespace {

struct loaded {
    const driver_api *api;
    int error;  // why there is none: what drv_init reports
};

loaded load_driver() {
    void *lib = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return {nullptr, err_no_device};
    auto get_proc = reinterpret_cast<PFN_cuGetProcAddress_v12000>(dlsym(lib, "cuGetProcAddress_v2"));
    if (!get_proc) return {nullptr, err_no_device};  // a driver too old for this runtime
    auto *api = new driver_api;                        // lives as long as the process
    int error = 0;
#define DEVSEAM_DRIVER_LOAD(name, version)                                                        \
    if (!error) {                                                                                 \
        void *fn = nullptr;                                                                       \
        CUdriverProcAddressQueryResult found{};                                                   \
        int e = get_proc(#name, &fn, version, CU_GET_PROC_ADDRESS_LEGACY_STREAM, &found);         \
        if (e == 0 && (found != CU_GET_PROC_ADDRESS_SUCCESS || !fn)) e = err_no_device;           \
        error = e;                                                                                \
        api->name = reinterpret_cast<PFN_##name##_v##version>(fn);                                \
    }
    DEVSEAM_DRIVER_ENTRIES(DEVSEAM_DRIVER_LOAD)
#undef DEVSEAM_DRIVER_LOAD
    if (error) {
        delete api;
        return {nullptr, error};
    }
    return {api, 0};
}

const loaded &driver_state() {
    static const loaded state = load_driver();
    return state;
}

// Context records are never freed, so that a destroyed one stays a safe
// pointer to reject; `live` holds those that may be used.
std::mutex contexts_mutex;
std::set<drv_context_rec *> live;
thread_local drv_context_rec *current_record = nullptr;
std::atomic<context_reset_fn> context_reset{nullptr};

bool is_live(drv_context_rec *c) {
    std::lock_guard<std::mutex> lock(contexts_mutex);
    return live.count(c) != 0;
}

// 0 once the driver is initialised (by drv_init or by the runtime), else its
// error; for the calls that check arguments of their own first.
int initialized(const driver_api *d) {
    if (!d) return err_not_initialized;
    CUcontext c;
    return d->cuCtxGetCurrent(&c);
}

}  // namespace

const driver_api *driver() { return driver_state().api; }

void on_context_reset(context_reset_fn fn) { context_reset.store(fn); }

}  // namespace cuda

using cuda::driver;
using cuda::driver_api;

int drv_init(unsigned flags) {
    const driver_api *d = driver();
    return d ? int(d->cuInit(flags)) : cuda::driver_state().error;
}

int drv_device_count(int *count) {
    const driver_api *d = driver();
    return d ? int(d->cuDeviceGetCount(count)) : int(err_not_initialized);
}

int drv_device_get(drv_device *device, int ordinal) {
    const driver_api *d = driver();
    return d ? int(d->cuDeviceGet(device, ordinal)) : int(err_not_initialized);
}

int drv_compute_capability(int *major, int *minor, drv_device device) {
    const driver_api *d = driver();
    if (!d) return err_not_initialized;
    int e = d->cuDeviceGetAttribute(major, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, device);
    return e ? e : d->cuDeviceGetAttribute(minor, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, device);
}

// A context is the device's primary context, retained: the runtime works in
// the same one, so memory and kernels of either API are visible to the other.
int drv_ctx_create(drv_context *ctx, drv_device device) {
    const driver_api *d = driver();
    if (int e = cuda::initialized(d)) return e;
    if (!ctx) return err_invalid_value;
    CUcontext c = nullptr;
    if (int e = d->cuDevicePrimaryCtxRetain(&c, device)) return e;
    if (int e = d->cuCtxSetCurrent(c)) {
        d->cuDevicePrimaryCtxRelease(device);
        return e;
    }
    auto *rec = new drv_context_rec{c, device};
    {
        std::lock_guard<std::mutex> lock(cuda::contexts_mutex);
        cuda::live.insert(rec);
    }
    cuda::current_record = rec;
    *ctx = rec;
    return 0;
}

int drv_ctx_destroy(drv_context ctx) {
    const driver_api *d = driver();
    if (int e = cuda::initialized(d)) return e;
    if (!ctx) return err_invalid_value;
    {
        std::lock_guard<std::mutex> lock(cuda::contexts_mutex);
        if (!cuda::live.erase(ctx)) return err_invalid_context;
    }
    if (cuda::current_record == ctx) {
        d->cuCtxSetCurrent(nullptr);
        cuda::current_record = nullptr;
    }
    if (int e = d->cuDevicePrimaryCtxRelease(ctx->device)) return e;
    unsigned flags = 0;
    int active = 1;
    if (d->cuDevicePrimaryCtxGetState(ctx->device, &flags, &active) == 0 && !active)
        if (cuda::context_reset_fn reset = cuda::context_reset.load()) reset(ctx->ctx);
    return 0;
}

int drv_ctx_set_current(drv_context ctx) {
    const driver_api *d = driver();
    if (int e = cuda::initialized(d)) return e;
    if (ctx && !cuda::is_live(ctx)) return err_invalid_context;
    if (int e = d->cuCtxSetCurrent(ctx ? ctx->ctx : nullptr)) return e;
    cuda::current_record = ctx;
    return 0;
}

int drv_ctx_get_device(drv_device *device) {
    const driver_api *d = driver();
    return d ? int(d->cuCtxGetDevice(device)) : int(err_not_initialized);
}

int drv_mem_get_info(size_t *free_bytes, size_t *total_bytes) {
    const driver_api *d = driver();
    return d ? int(d->cuMemGetInfo(free_bytes, total_bytes)) : int(err_not_initialized);
}

int drv_mem_host_alloc(void **ptr, size_t bytes, unsigned flags) {
    const driver_api *d = driver();
    return d ? int(d->cuMemHostAlloc(ptr, bytes, flags)) : int(err_not_initialized);
}

int drv_mem_free_host(void *ptr) {
    const driver_api *d = driver();
    return d ? int(d->cuMemFreeHost(ptr)) : int(err_not_initialized);
}

int drv_mem_host_get_device_pointer(dptr *device_ptr, void *host_ptr) {
    static_assert(sizeof(dptr) == sizeof(CUdeviceptr), "device addresses of one width");
    const driver_api *d = driver();
    if (!d) return err_not_initialized;
    return d->cuMemHostGetDevicePointer(reinterpret_cast<CUdeviceptr *>(device_ptr), host_ptr, 0);
}

int drv_memset_d8(dptr dst, unsigned char value, size_t count) {
    const driver_api *d = driver();
    return d ? int(d->cuMemsetD8(CUdeviceptr(dst), value, count)) : int(err_not_initialized);
}

int drv_memset_d32(dptr dst, unsigned value, size_t count) {
    const driver_api *d = driver();
    return d ? int(d->cuMemsetD32(CUdeviceptr(dst), value, count)) : int(err_not_initialized);
}

// Module and function handles are the driver's own, passed through opaque.
int drv_module_load_data(drv_module *module, const void *image) {
    const driver_api *d = driver();
    if (!d) return err_not_initialized;
    return d->cuModuleLoadData(reinterpret_cast<CUmodule *>(module), image);
}

int drv_module_unload(drv_module module) {
    const driver_api *d = driver();
    return d ? int(d->cuModuleUnload(reinterpret_cast<CUmodule>(module))) : int(err_not_initialized);
}

int drv_module_get_function(drv_function *function, drv_module module, const char *name) {
    const driver_api *d = driver();
    if (!d) return err_not_initialized;
    return d->cuModuleGetFunction(reinterpret_cast<CUfunction *>(function),
                                  reinterpret_cast<CUmodule>(module), name);
}

int drv_launch(drv_function function, dim3 grid, dim3 block, unsigned shared_bytes,
               const void *params, size_t param_bytes) {
    const driver_api *d = driver();
    if (int e = cuda::initialized(d)) return e;
    if (!params && param_bytes != 0) return err_invalid_value;
    void *extra[] = {CU_LAUNCH_PARAM_BUFFER_POINTER, const_cast<void *>(params),
                     CU_LAUNCH_PARAM_BUFFER_SIZE, &param_bytes, CU_LAUNCH_PARAM_END};
    return d->cuLaunchKernel(reinterpret_cast<CUfunction>(function), grid.x, grid.y, grid.z,
                             block.x, block.y, block.z, shared_bytes, nullptr, nullptr,
                             param_bytes ? extra : nullptr);
}

namespace {
// Staged launches by function handle; an entry lives as long as the process.
std::mutex staging_mutex;
std::map<CUfunction, staging::staged_launch> staged_launches;
}  // namespace

// With the limits of the current context's device.
int staging::with_staged(drv_function function, const step_fn &step, staging::call) {
    const driver_api *d = driver();
    if (int e = cuda::initialized(d)) return e;
    if (!function) return err_invalid_value;
    CUdevice device;
    if (int e = d->cuCtxGetDevice(&device)) return e;
    const CUdevice_attribute what[5] = {
        CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK, CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_X,
        CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Y, CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Z,
        CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK};
    int v[5] = {};
    for (int i = 0; i < 5; ++i)
        if (int e = d->cuDeviceGetAttribute(&v[i], what[i], device)) return e;
    const staging::limits l{unsigned(v[0]), {unsigned(v[1]), unsigned(v[2]), unsigned(v[3])},
                            size_t(v[4])};
    std::lock_guard<std::mutex> lock(staging_mutex);
    return step(staged_launches[reinterpret_cast<CUfunction>(function)], l);
}

// Names for when no driver is there to give them: the codes the seam returns
// itself and those that code above it names.
const char *drv_error_name(int code) {
    if (const driver_api *d = driver()) {
        const char *name = nullptr;
        if (d->cuGetErrorName(CUresult(code), &name) == 0 && name) return name;
        return "unrecognized error code";
    }
    return known_driver_error_name(code);
}

}  // namespace dev
