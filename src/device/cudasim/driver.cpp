// The driver API of the cuda-sim mode, on the simulated device's driver.
// Binaries find its entry points through cuGetProcAddress, as the seam's
// driver side asks for them; each is checked against the toolkit's typedef
// of the ABI version it implements.
#include "bridge.h"

#include "device/error_names.h"
#include "device/sim/internal.h"
#include "device/sim/ptx/module.h"
#include "device/sim/ptx/texture.h"

#include <cuda.h>
#include <cudaTypedefs.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

using namespace sim::detail;

namespace {

// 0 once cuInit succeeded, else CUDA_ERROR_NOT_INITIALIZED.
int initialized() {
    std::lock_guard<std::mutex> lock(G().m);
    return G().driver_initialized ? 0 : dev::err_not_initialized;
}

bool valid_device(CUdevice d) {
    std::lock_guard<std::mutex> lock(G().m);
    return d >= 0 && d < int(G().devices.size());
}

// A device's attributes by the driver's numbering, which the runtime's shares.
bool attribute(int attr, const sim::device_desc &d, int *value) {
    const bool kepler = d.major >= 3;
    switch (attr) {
    case CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK: *value = 1024; return true;
    case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_X:
    case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Y: *value = 1024; return true;
    case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Z: *value = 64; return true;
    case CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_X: *value = kepler ? 0x7fffffff : 65535; return true;
    case CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Y:
    case CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Z: *value = 65535; return true;
    case CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK: *value = int(sim::detail::limits_of(d).max_shared); return true;
    case CU_DEVICE_ATTRIBUTE_TOTAL_CONSTANT_MEMORY: *value = 65536; return true;
    case CU_DEVICE_ATTRIBUTE_WARP_SIZE: *value = 32; return true;
    case CU_DEVICE_ATTRIBUTE_MAX_PITCH: *value = 0x7fffffff; return true;
    case CU_DEVICE_ATTRIBUTE_MAX_REGISTERS_PER_BLOCK: *value = 65536; return true;
    case CU_DEVICE_ATTRIBUTE_CLOCK_RATE: *value = 1000000; return true;
    case CU_DEVICE_ATTRIBUTE_TEXTURE_ALIGNMENT: *value = int(device_alignment); return true;
    case CU_DEVICE_ATTRIBUTE_GPU_OVERLAP: *value = 1; return true;
    case CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT: *value = 8; return true;
    case CU_DEVICE_ATTRIBUTE_KERNEL_EXEC_TIMEOUT:
    case CU_DEVICE_ATTRIBUTE_INTEGRATED:
    case CU_DEVICE_ATTRIBUTE_COMPUTE_MODE:
    case CU_DEVICE_ATTRIBUTE_ECC_ENABLED: *value = 0; return true;
    case CU_DEVICE_ATTRIBUTE_CAN_MAP_HOST_MEMORY:
    case CU_DEVICE_ATTRIBUTE_CONCURRENT_KERNELS:
    case CU_DEVICE_ATTRIBUTE_UNIFIED_ADDRESSING: *value = 1; return true;
    case CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_MULTIPROCESSOR: *value = 1024; return true;
    case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR: *value = d.major; return true;
    case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR: *value = d.minor; return true;
    case CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_MULTIPROCESSOR: *value = 65536; return true;
    case CU_DEVICE_ATTRIBUTE_MAX_REGISTERS_PER_MULTIPROCESSOR: *value = 65536; return true;
    case CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK_OPTIN: *value = int(sim::detail::limits_of(d).max_shared); return true;
    default: return false;
    }
}

// Retains of each device's primary context through the driver API.
std::mutex primary_mutex;
std::map<int, int> retains;

// ------------------------------------------------------------ entry points

CUresult x_cuInit(unsigned flags) { return CUresult(dev::drv_init(flags)); }

CUresult x_cuDriverGetVersion(int *version) {
    if (!version) return CUDA_ERROR_INVALID_VALUE;
    *version = CUDA_VERSION;
    return CUDA_SUCCESS;
}

CUresult x_cuDeviceGetCount(int *count) { return CUresult(dev::drv_device_count(count)); }
CUresult x_cuDeviceGet(CUdevice *device, int ordinal) { return CUresult(dev::drv_device_get(device, ordinal)); }

CUresult x_cuDeviceGetAttribute(int *value, CUdevice_attribute attr, CUdevice device) {
    if (int e = initialized()) return CUresult(e);
    if (!value) return CUDA_ERROR_INVALID_VALUE;
    if (!valid_device(device)) return CUDA_ERROR_INVALID_DEVICE;
    sim::device_desc d;
    {
        std::lock_guard<std::mutex> lock(G().m);
        d = G().devices[size_t(device)];
    }
    return attribute(int(attr), d, value) ? CUDA_SUCCESS : CUDA_ERROR_INVALID_VALUE;
}

CUresult x_cuDevicePrimaryCtxRetain(CUcontext *ctx, CUdevice device) {
    if (int e = initialized()) return CUresult(e);
    if (!ctx) return CUDA_ERROR_INVALID_VALUE;
    if (!valid_device(device)) return CUDA_ERROR_INVALID_DEVICE;
    {
        std::lock_guard<std::mutex> lock(primary_mutex);
        ++retains[device];
    }
    std::lock_guard<std::mutex> lock(G().m);
    *ctx = reinterpret_cast<CUcontext>(G().primary[size_t(device)]);
    return CUDA_SUCCESS;
}

CUresult x_cuDevicePrimaryCtxRelease(CUdevice device) {
    if (int e = initialized()) return CUresult(e);
    if (!valid_device(device)) return CUDA_ERROR_INVALID_DEVICE;
    std::lock_guard<std::mutex> lock(primary_mutex);
    int &n = retains[device];
    if (n == 0) return CUDA_ERROR_INVALID_CONTEXT;
    --n;
    return CUDA_SUCCESS;
}

// The runtime holds the primary context of a device it has worked on; the
// driver API's retains hold it too.
CUresult x_cuDevicePrimaryCtxGetState(CUdevice device, unsigned *flags, int *active) {
    if (int e = initialized()) return CUresult(e);
    if (!flags || !active) return CUDA_ERROR_INVALID_VALUE;
    if (!valid_device(device)) return CUDA_ERROR_INVALID_DEVICE;
    *flags = 0;
    int held;
    {
        std::lock_guard<std::mutex> lock(primary_mutex);
        held = retains[device];
    }
    int used = 0;
    {
        std::lock_guard<std::mutex> lock(G().m);
        used = T().current == G().primary[size_t(device)];
    }
    *active = held > 0 || used;
    return CUDA_SUCCESS;
}

CUresult x_cuCtxSetCurrent(CUcontext ctx) {
    return CUresult(dev::drv_ctx_set_current(reinterpret_cast<dev::drv_context>(ctx)));
}

CUresult x_cuCtxGetCurrent(CUcontext *ctx) {
    if (int e = initialized()) return CUresult(e);
    if (!ctx) return CUDA_ERROR_INVALID_VALUE;
    std::lock_guard<std::mutex> lock(G().m);
    dev::drv_context_rec *c = T().current;
    *ctx = reinterpret_cast<CUcontext>(c && G().contexts.count(c) ? c : nullptr);
    return CUDA_SUCCESS;
}

CUresult x_cuCtxGetDevice(CUdevice *device) { return CUresult(dev::drv_ctx_get_device(device)); }

CUresult x_cuMemGetInfo(size_t *free_bytes, size_t *total_bytes) {
    return CUresult(dev::drv_mem_get_info(free_bytes, total_bytes));
}
CUresult x_cuMemHostAlloc(void **p, size_t bytes, unsigned flags) {
    return CUresult(dev::drv_mem_host_alloc(p, bytes, flags));
}
CUresult x_cuMemFreeHost(void *p) { return CUresult(dev::drv_mem_free_host(p)); }
CUresult x_cuMemHostGetDevicePointer(CUdeviceptr *d, void *p, unsigned flags) {
    if (flags != 0) return CUDA_ERROR_INVALID_VALUE;
    return CUresult(dev::drv_mem_host_get_device_pointer(reinterpret_cast<dev::dptr *>(d), p));
}
CUresult x_cuMemsetD8(CUdeviceptr d, unsigned char v, size_t n) { return CUresult(dev::drv_memset_d8(d, v, n)); }
CUresult x_cuMemsetD32(CUdeviceptr d, unsigned v, size_t n) { return CUresult(dev::drv_memset_d32(d, v, n)); }

CUresult x_cuModuleLoadData(CUmodule *module, const void *image) {
    return CUresult(dev::drv_module_load_data(reinterpret_cast<dev::drv_module *>(module), image));
}
CUresult x_cuModuleUnload(CUmodule module) {
    return CUresult(dev::drv_module_unload(reinterpret_cast<dev::drv_module>(module)));
}
CUresult x_cuModuleGetFunction(CUfunction *f, CUmodule module, const char *name) {
    return CUresult(dev::drv_module_get_function(reinterpret_cast<dev::drv_function *>(f),
                                                 reinterpret_cast<dev::drv_module>(module), name));
}

// Parameters come either as one pointer per parameter, laid out by the
// entry's parameter list, or as one buffer through `extra` (what the seam
// passes); not both.
CUresult x_cuLaunchKernel(CUfunction f, unsigned gx, unsigned gy, unsigned gz, unsigned bx, unsigned by,
                          unsigned bz, unsigned shared_bytes, CUstream, void **params, void **extra) {
    const void *buffer = nullptr;
    size_t bytes = 0;
    std::vector<unsigned char> block;
    if (params && extra) return CUDA_ERROR_INVALID_VALUE;
    if (params) {
        if (int e = initialized()) return CUresult(e);
        const std::vector<sim::ptx::param_rec> *formals = entry_params(reinterpret_cast<dev::drv_function>(f));
        if (!formals) return f ? CUDA_ERROR_INVALID_HANDLE : CUDA_ERROR_INVALID_VALUE;
        for (const sim::ptx::param_rec &p : *formals) block.resize(std::max<size_t>(block.size(), p.off + p.bytes));
        for (size_t k = 0; k < formals->size(); ++k)
            std::memcpy(block.data() + (*formals)[k].off, params[k], (*formals)[k].bytes);
        buffer = block.data(), bytes = block.size();
    }
    for (void **e = extra; e && *e != CU_LAUNCH_PARAM_END; e += 2) {
        if (e[0] == CU_LAUNCH_PARAM_BUFFER_POINTER) buffer = e[1];
        else if (e[0] == CU_LAUNCH_PARAM_BUFFER_SIZE && e[1]) bytes = *static_cast<size_t *>(e[1]);
        else return CUDA_ERROR_INVALID_VALUE;
    }
    return CUresult(dev::drv_launch(reinterpret_cast<dev::drv_function>(f), dim3(gx, gy, gz),
                                    dim3(bx, by, bz), shared_bytes, buffer, bytes));
}

CUresult x_cuGetErrorName(CUresult code, const char **name) {
    if (!name) return CUDA_ERROR_INVALID_VALUE;
    const char *n = dev::known_driver_error_name(int(code));
    if (std::strncmp(n, "CUDA_", 5) != 0) {
        *name = nullptr;
        return CUDA_ERROR_INVALID_VALUE;
    }
    *name = n;
    return CUDA_SUCCESS;
}

CUresult x_cuEventCreate(CUevent *event, unsigned) {
    if (int e = initialized()) return CUresult(e);
    if (!event) return CUDA_ERROR_INVALID_VALUE;
    *event = static_cast<CUevent>(cudasim_event_new());
    return CUDA_SUCCESS;
}

// Work on the legacy stream is done when it returns: an event is complete
// as soon as it is recorded, unless the context is broken.
CUresult x_cuEventRecord(CUevent event, CUstream) {
    if (int e = initialized()) return CUresult(e);
    if (!cudasim_event_live(event)) return CUDA_ERROR_INVALID_HANDLE;
    return CUresult(cudasim_context_fault());
}
CUresult x_cuEventQuery(CUevent event) { return x_cuEventRecord(event, nullptr); }
CUresult x_cuEventDestroy(CUevent event) {
    if (int e = initialized()) return CUresult(e);
    return cudasim_event_delete(event) ? CUDA_SUCCESS : CUDA_ERROR_INVALID_HANDLE;
}

CUresult x_cuMemGetAddressRange(CUdeviceptr *base, size_t *size, CUdeviceptr dptr) {
    if (int e = initialized()) return CUresult(e);
    uintptr_t start = 0;
    size_t bytes = 0;
    int device = 0;
    bool mapped = false;
    if (!cudasim_allocation(reinterpret_cast<const void *>(dptr), &start, &bytes, &device, &mapped) ||
        device < 0)
        return CUDA_ERROR_NOT_FOUND;
    if (base) *base = CUdeviceptr(start);
    if (size) *size = bytes;
    return CUDA_SUCCESS;
}

CUresult x_cuTexObjectDestroy(CUtexObject object) {
    if (int e = initialized()) return CUresult(e);
    return sim::ptx::tex_destroy(object) ? CUDA_SUCCESS : CUDA_ERROR_INVALID_VALUE;
}

struct entry {
    const char *name;
    void *fn;
};

#define CUDASIM_ENTRY(name, version) {#name, reinterpret_cast<void *>(static_cast<PFN_##name##_v##version>(&x_##name))}
const entry entries[] = {
    CUDASIM_ENTRY(cuInit, 2000), CUDASIM_ENTRY(cuDriverGetVersion, 2020),
    CUDASIM_ENTRY(cuDeviceGetCount, 2000), CUDASIM_ENTRY(cuDeviceGet, 2000),
    CUDASIM_ENTRY(cuDeviceGetAttribute, 2000), CUDASIM_ENTRY(cuDevicePrimaryCtxRetain, 7000),
    CUDASIM_ENTRY(cuDevicePrimaryCtxRelease, 11000), CUDASIM_ENTRY(cuDevicePrimaryCtxGetState, 7000),
    CUDASIM_ENTRY(cuCtxSetCurrent, 4000), CUDASIM_ENTRY(cuCtxGetCurrent, 4000),
    CUDASIM_ENTRY(cuCtxGetDevice, 2000), CUDASIM_ENTRY(cuMemGetInfo, 3020),
    CUDASIM_ENTRY(cuMemHostAlloc, 2020), CUDASIM_ENTRY(cuMemFreeHost, 2000),
    CUDASIM_ENTRY(cuMemHostGetDevicePointer, 3020), CUDASIM_ENTRY(cuMemsetD8, 3020),
    CUDASIM_ENTRY(cuMemsetD32, 3020), CUDASIM_ENTRY(cuModuleLoadData, 2000),
    CUDASIM_ENTRY(cuModuleUnload, 2000), CUDASIM_ENTRY(cuModuleGetFunction, 2000),
    CUDASIM_ENTRY(cuLaunchKernel, 4000), CUDASIM_ENTRY(cuGetErrorName, 6000),
    CUDASIM_ENTRY(cuEventCreate, 2000), CUDASIM_ENTRY(cuEventRecord, 2000),
    CUDASIM_ENTRY(cuEventQuery, 2000), CUDASIM_ENTRY(cuEventDestroy, 4000),
    CUDASIM_ENTRY(cuTexObjectDestroy, 5000), CUDASIM_ENTRY(cuMemGetAddressRange, 3020),
};
#undef CUDASIM_ENTRY

}  // namespace

extern "C" {
#pragma GCC visibility push(default)

// One ABI per entry: the newest, which is what the seam asks for.
CUresult cuGetProcAddress_v2(const char *symbol, void **pfn, int, cuuint64_t,
                             CUdriverProcAddressQueryResult *found) {
    if (!symbol || !pfn) return CUDA_ERROR_INVALID_VALUE;
    for (const entry &e : entries)
        if (std::strcmp(e.name, symbol) == 0) {
            *pfn = e.fn;
            if (found) *found = CU_GET_PROC_ADDRESS_SUCCESS;
            return CUDA_SUCCESS;
        }
    *pfn = nullptr;
    if (found) *found = CU_GET_PROC_ADDRESS_SYMBOL_NOT_FOUND;
    return CUDA_ERROR_NOT_FOUND;
}

// The runtime's form: failures left pending.
int cudasim_device_attribute(int *value, int attr, int device) {
    if (!value) return cudasim_fail(dev::err_invalid_value);
    sim::device_desc d;
    {
        std::lock_guard<std::mutex> lock(G().m);
        if (G().init_result) return fail(G().init_result);
        if (G().devices.empty()) return fail(dev::err_no_device);
        if (device < 0 || device >= int(G().devices.size())) return fail(dev::err_invalid_device);
        d = G().devices[size_t(device)];
    }
    return attribute(attr, d, value) ? 0 : cudasim_fail(dev::err_invalid_value);
}

CUresult cuInit(unsigned flags) { return x_cuInit(flags); }
CUresult cuDriverGetVersion(int *version) { return x_cuDriverGetVersion(version); }

#pragma GCC visibility pop
}  // extern "C"
