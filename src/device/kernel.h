// The programming model of the device sources (.cu files). They include this
// header and nothing else of CUDA, so the same text compiles with nvcc for the
// GPU and with a C++ compiler for the simulated device.
//
//   __global__ void k(float *out, int n) { ... threadIdx.x ... __syncthreads(); }
//   int e = dev::launch(k, grid, block, shared_bytes, out, n);
//
//   DEV_TEXTURE(float, tex_a);             // a 1-D texture reference of the file
//   float v = DEV_TEX_FETCH(tex_a, i);     // element read, clamped to the binding
//   DEV_DYNAMIC_SHARED(float, buf);        // the launch's dynamic shared memory
#pragma once

#include "device.h"

#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#if defined(DEV_BACKEND_SIM)
#include "sim/simkernel.h"
#else
#include <cuda_runtime.h>
#endif

namespace dev {

namespace detail {
template <typename... P, size_t... I>
void invoke_with(void (*k)(P...), void **args, std::index_sequence<I...>) {
    k(*static_cast<std::remove_reference_t<P> *>(args[I])...);
}
template <typename... P>
void invoke_kernel(const void *kernel, void **args) {
    invoke_with(reinterpret_cast<void (*)(P...)>(const_cast<void *>(kernel)), args,
                std::index_sequence_for<P...>{});
}
#if defined(DEV_BACKEND_SIM)
template <typename T>
bool stray(void *arg, const void **p) {
    if constexpr (std::is_pointer<T>::value && !std::is_function<std::remove_pointer_t<T>>::value) {
        *p = static_cast<const void *>(*static_cast<T *>(arg));
        return !::sim::detail::device_pointer_ok(*p);
    } else {
        (void)arg, (void)p;
        return false;
    }
}
template <typename... P, size_t... I>
int stray_index(void **args, const void **p, std::index_sequence<I...>) {
    int found = -1;
    ((found < 0 && stray<std::decay_t<P>>(args[I], p) ? void(found = int(I)) : void()), ...);
    return found;
}
template <typename... P>
int stray_pointer(void **args, const void **p) {
    return stray_index<P...>(args, p, std::index_sequence_for<P...>{});
}
#define DEV_THUNK_(...) {&invoke_kernel<__VA_ARGS__>, &stray_pointer<__VA_ARGS__>}
#else
#define DEV_THUNK_(...) {&invoke_kernel<__VA_ARGS__>}
#endif
template <typename... P, size_t... I>
int launch_tuple(void (*k)(P...), dim3 grid, dim3 block, size_t shared_bytes,
                 std::tuple<std::decay_t<P>...> &params, std::index_sequence<I...>) {
    void *args[sizeof...(P) + 1] = {static_cast<void *>(&std::get<I>(params))...};
    static const launch_thunk thunk DEV_THUNK_(P...);
    return launch_kernel(reinterpret_cast<const void *>(k), grid, block, shared_bytes, args,
                         &thunk);
}
}  // namespace detail

// Queues `k` on the default stream with the arguments converted to its
// parameter types. Returns the configuration error (0 when it was queued).
template <typename... P, typename... A>
int launch(void (*k)(P...), dim3 grid, dim3 block, size_t shared_bytes, A &&...args) {
    static_assert(sizeof...(P) == sizeof...(A), "argument count differs from the kernel's");
    std::tuple<std::decay_t<P>...> params(static_cast<std::decay_t<P>>(std::forward<A>(args))...);
    return detail::launch_tuple(k, grid, block, shared_bytes, params,
                                std::index_sequence_for<P...>{});
}

template <typename T> constexpr texel texel_of();
template <> constexpr texel texel_of<float>() { return texel::f32; }
template <> constexpr texel texel_of<float2>() { return texel::f32x2; }
template <> constexpr texel texel_of<int2>() { return texel::i32x2; }
template <> constexpr texel texel_of<int4>() { return texel::i32x4; }

// Host-side texture reference of one texel type.
template <typename T>
struct tex1d : texture_ref {
    explicit tex1d(void *sym = nullptr) : texture_ref{texel_of<T>(), sym} {}
};

// What kernels see of a binding on the real device.
template <typename T>
struct tex_handle {
    unsigned long long object;
    int elements;
};

// Element read with the index clamped into the binding, the legacy
// references' addressing on every backend.
#if defined(DEV_BACKEND_SIM)
template <typename T>
inline T tex_fetch(const tex1d<T> &ref, int i) {
    return ::sim::tex_fetch<T>(ref, i);
}
#else
template <typename T>
__device__ inline T tex_fetch(const tex_handle<T> &h, int i) {
    i = i < 0 ? 0 : (i >= h.elements ? h.elements - 1 : i);
    return tex1Dfetch<T>(static_cast<cudaTextureObject_t>(h.object), i);
}
#endif

// Doubles travel as texels of 32-bit integers, low word first. The intrinsic
// exists in device code only; nvcc's host pass composes the bits itself.
DEV_HOSTDEV inline double texel_double(int2 v) {
#if defined(DEV_BACKEND_SIM) || defined(__CUDA_ARCH__)
    return __hiloint2double(v.y, v.x);
#else
    unsigned long long bits = (unsigned long long)unsigned(v.y) << 32 | unsigned(v.x);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
#endif
}
DEV_HOSTDEV inline double2 texel_double2(int4 v) {
    return make_double2(texel_double(make_int2(v.x, v.y)), texel_double(make_int2(v.z, v.w)));
}

}  // namespace dev

#if defined(DEV_BACKEND_SIM)
#define DEV_TEXTURE(T, name) static ::dev::tex1d<T> name
#define DEV_TEX_FETCH(name, i) ::dev::tex_fetch(name, (i))
#define DEV_DYNAMIC_SHARED(T, name) T *name = reinterpret_cast<T *>(::sim::dynamic_shared())
#else
#define DEV_TEXTURE(T, name)                                  \
    static __device__ ::dev::tex_handle<T> name##_dev_handle; \
    static ::dev::tex1d<T> name(reinterpret_cast<void *>(&name##_dev_handle))
#define DEV_TEX_FETCH(name, i) ::dev::tex_fetch(name##_dev_handle, (i))
#define DEV_DYNAMIC_SHARED(T, name)                                   \
    extern __shared__ __align__(16) unsigned char dev_dynamic_smem_[]; \
    T *name = reinterpret_cast<T *>(dev_dynamic_smem_)
#endif
