// Legacy texture references on texture objects.
//
// A binding creates a texture object over the aligned-down base and copies
// {object, elements} into the reference's __device__ variable, where kernels
// read it (DEV_TEXTURE). Kernels queued before an unbind or a rebind may
// still read the old object, so it is not destroyed at once: it is retired
// with an event recorded on the legacy stream, and destroyed at a later bind
// or unbind once that event has completed. An unbind leaves the device
// variable as it was: a kernel queued after it that still fetches from the
// reference reads through a retired object, undefined as a fetch from an
// unbound legacy reference was.
#include "internal.h"

#include "../kernel.h"

#include <cuda_runtime_api.h>

#include <map>
#include <mutex>
#include <vector>

namespace dev {

namespace {

using cuda::driver;
using cuda::driver_api;

// What kernels read of a binding; the layout is the same for every texel type.
using device_handle = tex_handle<float>;

struct binding {
    CUtexObject object;
    CUcontext ctx;
    unsigned long long generation;
};
struct retired {
    binding b;
    CUevent done;
};

std::mutex mutex;
std::map<const texture_ref *, binding> bound;  // the object each reference holds
std::vector<retired> retirees;
std::map<CUcontext, unsigned long long> generations;  // bumped when a context was reset

CUcontext current_context(const driver_api *d) {
    CUcontext c = nullptr;
    if (d) d->cuCtxGetCurrent(&c);
    return c;
}

bool alive(const binding &b) { return generations[b.ctx] == b.generation; }

// Destroys the retired objects of `ctx` whose kernels are done. Driver calls
// only: an event that is not ready yet must leave the runtime's pending error
// alone.
void sweep(const driver_api *d, CUcontext ctx) {
    size_t keep = 0;
    for (retired &r : retirees) {
        if (!alive(r.b)) continue;  // gone with its context
        if (r.b.ctx == ctx) {
            CUresult q = d->cuEventQuery(r.done);
            if (q == CUDA_SUCCESS) {
                d->cuTexObjectDestroy(r.b.object);
                d->cuEventDestroy(r.done);
                continue;
            }
            // Any other error means the context is broken; keep the object
            // until the context goes away rather than destroy it early.
        }
        retirees[keep++] = r;
    }
    retirees.resize(keep);
}

// Takes `b` out of service once the work queued so far has finished. Runtime
// calls: their failure (a broken context) is the unbinding's, left pending.
// An object whose retirement could not be recorded is never destroyed.
int retire(const driver_api *d, const binding &b) {
    if (!alive(b) || !d) return 0;
    CUcontext here = current_context(d);
    if (here != b.ctx) d->cuCtxSetCurrent(b.ctx);
    cudaEvent_t ev = nullptr;
    int e = cudaEventCreateWithFlags(&ev, cudaEventDisableTiming);
    if (e == 0) {
        e = cudaEventRecord(ev, nullptr);
        if (e == 0)
            retirees.push_back(retired{b, reinterpret_cast<CUevent>(ev)});
        else
            d->cuEventDestroy(reinterpret_cast<CUevent>(ev));
    }
    if (here != b.ctx) d->cuCtxSetCurrent(here);
    return e;
}

cudaChannelFormatDesc channel(texel kind) {
    switch (kind) {
    case texel::f32: return cudaCreateChannelDesc(32, 0, 0, 0, cudaChannelFormatKindFloat);
    case texel::f32x2: return cudaCreateChannelDesc(32, 32, 0, 0, cudaChannelFormatKindFloat);
    case texel::i32x2: return cudaCreateChannelDesc(32, 32, 0, 0, cudaChannelFormatKindSigned);
    case texel::i32x4: return cudaCreateChannelDesc(32, 32, 32, 32, cudaChannelFormatKindSigned);
    }
    return cudaCreateChannelDesc(0, 0, 0, 0, cudaChannelFormatKindNone);
}

// The runtime keeps its last error itself; to leave a failure of our own
// checks pending we let it refuse a null output argument.
int fail_invalid_value() { return cudaDeviceGetAttribute(nullptr, cudaDevAttrTextureAlignment, 0); }

}  // namespace

namespace cuda {
void textures_lost(CUcontext ctx) {
    std::lock_guard<std::mutex> lock(mutex);
    ++generations[ctx];
}
}  // namespace cuda

namespace {
const bool watching_contexts = (cuda::on_context_reset(cuda::textures_lost), true);
}  // namespace

// Without an error channel: the current context's device, else 512, the
// alignment of every device so far.
size_t texture_alignment() {
    const driver_api *d = driver();
    CUdevice device;
    int a = 0;
    if (d && d->cuCtxGetDevice(&device) == 0 &&
        d->cuDeviceGetAttribute(&a, CU_DEVICE_ATTRIBUTE_TEXTURE_ALIGNMENT, device) == 0 && a > 0)
        return size_t(a);
    return 512;
}

namespace {

// Whether [ptr, ptr + bytes) lies inside one device allocation. A texture
// object takes any range without a check, and its fetches then read whatever
// lies beyond, so the range is checked here. The pointer query goes first:
// it makes the runtime's context current, which the driver's range query
// needs, and it fails only for a broken context, whose error it leaves.
int inside_one_allocation(const driver_api *d, const void *ptr, size_t bytes, bool *inside) {
    *inside = false;
    cudaPointerAttributes attr = {};
    if (int e = cudaPointerGetAttributes(&attr, ptr)) return e;
    if (attr.type == cudaMemoryTypeUnregistered || !attr.devicePointer || !d) return 0;
    CUdeviceptr start = 0;
    size_t size = 0;
    const CUdeviceptr p = reinterpret_cast<CUdeviceptr>(attr.devicePointer);
    if (d->cuMemGetAddressRange(&start, &size, p) != CUDA_SUCCESS) return 0;
    *inside = p >= start && p - start <= size && bytes <= size - (p - start);
    return 0;
}

}  // namespace

int bind_texture(size_t *offset, texture_ref &ref, const void *ptr, size_t bytes) {
    int device = 0, align = 0;
    if (int e = cudaGetDevice(&device)) return e;
    if (int e = cudaDeviceGetAttribute(&align, cudaDevAttrTextureAlignment, device)) return e;
    if (align <= 0 || (align & (align - 1)) != 0) align = 512;
    uintptr_t a = reinterpret_cast<uintptr_t>(ptr);
    uintptr_t base = a & ~uintptr_t(align - 1);
    size_t off = a - base, size = texel_bytes(ref.kind);
    if (bytes == 0 || size == 0 || (!offset && off != 0) || bytes > SIZE_MAX - off)
        return fail_invalid_value();
    bool inside = false;
    if (int e = inside_one_allocation(driver(), ptr, bytes, &inside)) return e;
    if (!inside) return fail_invalid_value();
    size_t elements = (off + bytes) / size;
    if (elements == 0 || elements > max_texture_elements) return fail_invalid_value();

    cudaResourceDesc res = {};
    res.resType = cudaResourceTypeLinear;
    res.res.linear.devPtr = reinterpret_cast<void *>(base);
    res.res.linear.desc = channel(ref.kind);
    res.res.linear.sizeInBytes = elements * size;
    cudaTextureDesc desc = {};
    desc.addressMode[0] = cudaAddressModeClamp;
    desc.filterMode = cudaFilterModePoint;
    desc.readMode = cudaReadModeElementType;
    desc.normalizedCoords = 0;
    cudaTextureObject_t object = 0;
    if (int e = cudaCreateTextureObject(&object, &res, &desc, nullptr)) return e;

    const driver_api *d = driver();
    device_handle h{object, int(elements)};
    // As a const void *: the runtime's template overload would take the
    // address of the pointer member itself for the symbol.
    if (int e = cudaMemcpyToSymbol(static_cast<const void *>(ref.symbol), &h, sizeof h, 0,
                                   cudaMemcpyHostToDevice)) {
        if (d) d->cuTexObjectDestroy(object);  // no kernel has seen it
        return e;
    }
    int e = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        CUcontext ctx = current_context(d);
        auto it = bound.find(&ref);
        if (it != bound.end()) e = retire(d, it->second);
        bound[&ref] = binding{object, ctx, generations[ctx]};
        if (d) sweep(d, ctx);
    }
    ref.base = reinterpret_cast<const char *>(base);
    ref.elements = elements;
    ref.handle = object;
    if (offset) *offset = off;
    return e;
}

int unbind_texture(texture_ref &ref) {
    const driver_api *d = driver();
    int e = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = bound.find(&ref);
        if (it != bound.end()) {
            e = retire(d, it->second);
            bound.erase(it);
        }
        if (d) sweep(d, current_context(d));
    }
    ref.base = nullptr;
    ref.elements = 0;
    ref.handle = 0;
    return e;
}

}  // namespace dev
