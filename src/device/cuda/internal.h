// State shared by the sources of the real-GPU backend.
//
// Two libraries: libdevdriver, the driver side alone, which needs nothing of
// the toolkit at run time (the daemon uses only it), and libdevseam, the
// runtime, textures and cuBLAS over it. The driver is never linked: its entry
// points are looked up at run time in libcuda.so.1, so that both load (and
// report errors) on a machine without a GPU driver.
#pragma once

#include "../device.h"

#include <cuda.h>
#include <cudaTypedefs.h>

namespace dev {
namespace cuda {

// Each entry with the ABI version whose typedef it uses; the loader asks the
// driver for exactly that version.
#define DEVSEAM_DRIVER_ENTRIES(X)                                                             \
    X(cuInit, 2000) X(cuDeviceGetCount, 2000) X(cuDeviceGet, 2000)                            \
    X(cuDeviceGetAttribute, 2000) X(cuDevicePrimaryCtxRetain, 7000)                           \
    X(cuDevicePrimaryCtxRelease, 11000) X(cuDevicePrimaryCtxGetState, 7000)                   \
    X(cuCtxSetCurrent, 4000) X(cuCtxGetCurrent, 4000) X(cuCtxGetDevice, 2000)                 \
    X(cuMemGetInfo, 3020) X(cuMemHostAlloc, 2020) X(cuMemFreeHost, 2000)                      \
    X(cuMemHostGetDevicePointer, 3020) X(cuMemsetD8, 3020) X(cuMemsetD32, 3020)               \
    X(cuModuleLoadData, 2000) X(cuModuleUnload, 2000) X(cuModuleGetFunction, 2000)            \
    X(cuLaunchKernel, 4000) X(cuGetErrorName, 6000) X(cuEventCreate, 2000)                    \
    X(cuEventRecord, 2000) X(cuEventQuery, 2000) X(cuEventDestroy, 4000)                      \
    X(cuTexObjectDestroy, 5000) X(cuMemGetAddressRange, 3020)

struct driver_api {
#define DEVSEAM_DRIVER_MEMBER(name, version) PFN_##name##_v##version name = nullptr;
    DEVSEAM_DRIVER_ENTRIES(DEVSEAM_DRIVER_MEMBER)
#undef DEVSEAM_DRIVER_MEMBER
};

// The driver's entry points, or null when libcuda.so.1 is absent or lacks one
// of them. Loaded once, on first use.
const driver_api *driver();

// Called by drv_ctx_destroy when its release reset the primary context `ctx`:
// the texture objects created in it are gone with it. The runtime side
// registers it when it loads; the driver side alone has no textures.
void textures_lost(CUcontext ctx);
using context_reset_fn = void (*)(CUcontext ctx);
void on_context_reset(context_reset_fn fn);

}  // namespace cuda
}  // namespace dev
