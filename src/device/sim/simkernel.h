// CUDA's device-side programming model for the simulated device: keywords,
// built-in variables, barriers, warp collectives, atomics and intrinsics,
// compiled by the host C++ compiler. Included through kernel.h only.
//
// Every thread of a block is a fiber on one host thread; blocks run in
// parallel on a pool of host threads. Hence:
//   __shared__   a per-host-thread static: a block runs wholly on one host
//                thread, so it owns the variable while it runs; each comes
//                with a red zone beside it (see shared.cpp)
//   atomics      real atomics, since blocks run concurrently
//   __syncthreads / warp collectives switch fibers (see scheduler.cpp)
#pragma once

#include "../devtypes.h"

#include <math.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>

namespace dev {
struct texture_ref;
}

#define SIM_API __attribute__((visibility("default")))

namespace sim {
namespace detail {

// The part of a simulated thread that device code reads directly.
struct thread_rec {
    uint3 idx;
};

// What the host thread that runs a block knows of it. Plain data in a
// __thread variable, so that reading it needs no TLS wrapper call.
struct exec_state {
    thread_rec *cur;  // the fiber now running
    uint3 block_idx;
    uint3 block_dim;
    uint3 grid_dim;
    unsigned char *dyn_shared;
};
extern __thread exec_state tl_exec SIM_API;

inline dim3 as_dim3(const uint3 &v) { return dim3(v.x, v.y, v.z); }

// The block barrier. `site` names the call site ("file:line" for C++
// kernels; any string that a caller keeps alive): threads that meet at
// different sites are a fault of the launch. `op` combines `pred` over the
// block (bar_count: the count of non-zero values, bar_and, bar_or: 0 or 1).
enum bar_op : int { bar_plain, bar_count, bar_and, bar_or };
SIM_API int syncthreads(const char *site = nullptr, int op = bar_plain, int pred = 0);
// Warp collectives; `mode` as in warp_mode. wm_reduce takes its operation
// (red_op) in `b`.
enum warp_mode : int { wm_sync, wm_idx, wm_up, wm_down, wm_xor, wm_vote, wm_match_any,
                       wm_match_all, wm_reduce };
enum red_op : int { red_add, red_min, red_max, red_umin, red_umax, red_and, red_or, red_xor };
// `site` names the call site for reports, as for syncthreads. A lane that
// its own mask leaves out, and a mask that names lanes that have exited, are
// faults of the launch.
SIM_API unsigned long long warp_op(unsigned mask, int mode, unsigned long long value, int b,
                                   int c, unsigned *group, const char *site = nullptr);
// The lanes of the caller's warp that reach the same `site` before the warp
// can go no further (the lanes converged there).
SIM_API unsigned active_mask(const char *site = nullptr);
// An atomic that left memory as it was may be a spin-wait: the thread lets
// the other threads of its block run first (a no-op outside a kernel). It
// spins when it finds at `addr` what it found there the last time.
SIM_API void spin_yield(const void *addr = nullptr, unsigned long long value = 0);
// Null, or inside (or one past the end of) a live device block or pinned block.
SIM_API bool device_pointer_ok(const void *p);

template <typename T>
inline unsigned long long value_bits(T v) {
    static_assert(sizeof(T) <= 8 && std::is_trivially_copyable<T>::value,
                  "warp collectives move values of at most 8 bytes");
    unsigned long long bits = 0;
    std::memcpy(&bits, &v, sizeof(T));
    return bits;
}

template <typename T>
inline T shfl(const char *site, unsigned mask, T var, int mode, int b, int c) {
    unsigned long long bits = warp_op(mask, mode, value_bits(var), b, c, nullptr, site);
    T out;
    std::memcpy(&out, &bits, sizeof(T));
    return out;
}
// The shuffle's control word: segment mask (32 - width) and clamp lane.
inline int shfl_c(int width, int clamp) { return ((32 - width) << 8) | clamp; }

}  // namespace detail

inline void *dynamic_shared() { return detail::tl_exec.dyn_shared; }

// Element read of a bound texture, index clamped into the binding. An
// unbound reference reads zeros.
template <typename T>
inline T tex_fetch(const dev::texture_ref &ref, int i);

}  // namespace sim

// ------------------------------------------------------------ keywords

#define __global__
#define __device__
#define __host__
#define __constant__
#define SIM_CAT2_(a, b) a##b
#define SIM_CAT_(a, b) SIM_CAT2_(a, b)
#define __shared__                                                                     \
    static thread_local __attribute__((used, unused)) unsigned char SIM_CAT_(sim_rz_, \
                                                                     __COUNTER__)[64]; \
    static thread_local
#define __forceinline__ inline __attribute__((always_inline))
#define __launch_bounds__(...)
#define __align__(n) __attribute__((aligned(n)))

// ------------------------------------------------------------ built-in variables

#define threadIdx (::sim::detail::tl_exec.cur->idx)
#define blockIdx (::sim::detail::tl_exec.block_idx)
#define blockDim (::sim::detail::as_dim3(::sim::detail::tl_exec.block_dim))
#define gridDim (::sim::detail::as_dim3(::sim::detail::tl_exec.grid_dim))
constexpr int warpSize = 32;

// ------------------------------------------------------------ synchronisation

#define SIM_STR2_(x) #x
#define SIM_STR_(x) SIM_STR2_(x)
#define SIM_SITE_ (__FILE__ ":" SIM_STR_(__LINE__))
// Macros, so that every barrier knows the line it was written on.
#define __syncthreads() ::sim::detail::syncthreads(SIM_SITE_)
#define __syncthreads_count(p) ::sim::detail::syncthreads(SIM_SITE_, ::sim::detail::bar_count, (p))
#define __syncthreads_and(p) ::sim::detail::syncthreads(SIM_SITE_, ::sim::detail::bar_and, (p))
#define __syncthreads_or(p) ::sim::detail::syncthreads(SIM_SITE_, ::sim::detail::bar_or, (p))
#define __activemask() ::sim::detail::active_mask(SIM_SITE_)
#if defined(__SANITIZE_THREAD__)
// The race checker takes the device's atomics (sequentially consistent here)
// as the ordering; it does not model fences.
inline void __threadfence() { __atomic_signal_fence(__ATOMIC_SEQ_CST); }
inline void __threadfence_system() { __atomic_signal_fence(__ATOMIC_SEQ_CST); }
#else
inline void __threadfence() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
inline void __threadfence_system() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
#endif
// The threads of a block share one host thread.
inline void __threadfence_block() { __atomic_signal_fence(__ATOMIC_SEQ_CST); }

// Warp collectives are macros too, so that reports name their call sites.
namespace sim {
namespace detail {
inline void syncwarp_at(const char *site, unsigned mask = 0xffffffffu) {
    warp_op(mask, wm_sync, 0, 0, 0, nullptr, site);
}
template <typename T>
inline T shfl_idx_at(const char *site, unsigned mask, T var, int src_lane, int width = 32) {
    return shfl(site, mask, var, wm_idx, src_lane, shfl_c(width, 0x1f));
}
template <typename T>
inline T shfl_up_at(const char *site, unsigned mask, T var, unsigned delta, int width = 32) {
    return shfl(site, mask, var, wm_up, int(delta), shfl_c(width, 0));
}
template <typename T>
inline T shfl_down_at(const char *site, unsigned mask, T var, unsigned delta, int width = 32) {
    return shfl(site, mask, var, wm_down, int(delta), shfl_c(width, 0x1f));
}
template <typename T>
inline T shfl_xor_at(const char *site, unsigned mask, T var, int lane_mask, int width = 32) {
    return shfl(site, mask, var, wm_xor, lane_mask, shfl_c(width, 0x1f));
}
inline unsigned ballot_at(const char *site, unsigned mask, int pred) {
    return unsigned(warp_op(mask, wm_vote, pred != 0, 0, 0, nullptr, site));
}
inline int any_at(const char *site, unsigned mask, int pred) { return ballot_at(site, mask, pred) != 0; }
inline int all_at(const char *site, unsigned mask, int pred) {
    unsigned group = 0;
    unsigned b = unsigned(warp_op(mask, wm_vote, pred != 0, 0, 0, &group, site));
    return b == group;
}
template <typename T>
inline unsigned match_any_at(const char *site, unsigned mask, T value) {
    return unsigned(warp_op(mask, wm_match_any, value_bits(value), 0, 0, nullptr, site));
}
template <typename T>
inline unsigned match_all_at(const char *site, unsigned mask, T value, int *pred) {
    unsigned r = unsigned(warp_op(mask, wm_match_all, value_bits(value), 0, 0, nullptr, site));
    *pred = r != 0;
    return r;
}
#define SIM_REDUCE(name, T, op)                                                                 \
    inline T name(const char *site, unsigned mask, T value) {                                   \
        return T(unsigned(warp_op(mask, wm_reduce, unsigned(value), op, 0, nullptr, site)));   \
    }
SIM_REDUCE(reduce_add_at, unsigned, red_add)
SIM_REDUCE(reduce_add_at, int, red_add)
SIM_REDUCE(reduce_min_at, unsigned, red_umin)
SIM_REDUCE(reduce_min_at, int, red_min)
SIM_REDUCE(reduce_max_at, unsigned, red_umax)
SIM_REDUCE(reduce_max_at, int, red_max)
SIM_REDUCE(reduce_and_at, unsigned, red_and)
SIM_REDUCE(reduce_or_at, unsigned, red_or)
SIM_REDUCE(reduce_xor_at, unsigned, red_xor)
#undef SIM_REDUCE
}  // namespace detail
}  // namespace sim
#define SIM_WARP_(fn, ...) ::sim::detail::fn(SIM_SITE_, __VA_ARGS__)
#define __syncwarp(...) ::sim::detail::syncwarp_at(SIM_SITE_, ##__VA_ARGS__)
#define __shfl_sync(...) SIM_WARP_(shfl_idx_at, __VA_ARGS__)
#define __shfl_up_sync(...) SIM_WARP_(shfl_up_at, __VA_ARGS__)
#define __shfl_down_sync(...) SIM_WARP_(shfl_down_at, __VA_ARGS__)
#define __shfl_xor_sync(...) SIM_WARP_(shfl_xor_at, __VA_ARGS__)
#define __ballot_sync(...) SIM_WARP_(ballot_at, __VA_ARGS__)
#define __any_sync(...) SIM_WARP_(any_at, __VA_ARGS__)
#define __all_sync(...) SIM_WARP_(all_at, __VA_ARGS__)
#define __match_any_sync(...) SIM_WARP_(match_any_at, __VA_ARGS__)
#define __match_all_sync(...) SIM_WARP_(match_all_at, __VA_ARGS__)
#define __reduce_add_sync(...) SIM_WARP_(reduce_add_at, __VA_ARGS__)
#define __reduce_min_sync(...) SIM_WARP_(reduce_min_at, __VA_ARGS__)
#define __reduce_max_sync(...) SIM_WARP_(reduce_max_at, __VA_ARGS__)
#define __reduce_and_sync(...) SIM_WARP_(reduce_and_at, __VA_ARGS__)
#define __reduce_or_sync(...) SIM_WARP_(reduce_or_at, __VA_ARGS__)
#define __reduce_xor_sync(...) SIM_WARP_(reduce_xor_at, __VA_ARGS__)

// ------------------------------------------------------------ atomics

// The race checker sees an atomic's ordering but not its access: a GPU's
// atomics make no data race with the plain reads around them (the plain
// first read of a compare-and-swap loop), which the C++ memory model would call one.
#if defined(__SANITIZE_THREAD__)
extern "C" void AnnotateIgnoreReadsBegin(const char *file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char *file, int line);
extern "C" void AnnotateIgnoreWritesBegin(const char *file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char *file, int line);
struct sim_atomic_access_ {
    sim_atomic_access_() { AnnotateIgnoreReadsBegin("", 0), AnnotateIgnoreWritesBegin("", 0); }
    ~sim_atomic_access_() { AnnotateIgnoreWritesEnd("", 0), AnnotateIgnoreReadsEnd("", 0); }
};
#define SIM_ATOMIC_SCOPE_ sim_atomic_access_ sim_atomic_access_now_
#define SIM_ATOMIC_(expr) ([&] { SIM_ATOMIC_SCOPE_; return (expr); }())
#else
#define SIM_ATOMIC_SCOPE_ (void)0
#define SIM_ATOMIC_(expr) (expr)
#endif

template <typename T>
inline T sim_spun_(const T *addr, T old, T next) {
    if (std::memcmp(&old, &next, sizeof(T)) == 0) ::sim::detail::spin_yield(addr, ::sim::detail::value_bits(old));
    return old;
}
template <typename T>
inline T sim_atomic_update_(T *addr, T (*f)(T, T), T val) {
    T old, next;
    {
        SIM_ATOMIC_SCOPE_;
        __atomic_load(addr, &old, __ATOMIC_RELAXED);
        do {
            next = f(old, val);
        } while (!__atomic_compare_exchange(addr, &old, &next, false, __ATOMIC_SEQ_CST,
                                            __ATOMIC_RELAXED));
    }
    return sim_spun_(addr, old, next);
}

#define SIM_ATOMIC_INT_OPS(T)                                                                   \
    inline T atomicAdd(T *a, T v) { T o = SIM_ATOMIC_(__atomic_fetch_add(a, v, __ATOMIC_SEQ_CST)); return sim_spun_(a, o, static_cast<T>(o + v)); } \
    inline T atomicSub(T *a, T v) { T o = SIM_ATOMIC_(__atomic_fetch_sub(a, v, __ATOMIC_SEQ_CST)); return sim_spun_(a, o, static_cast<T>(o - v)); } \
    inline T atomicExch(T *a, T v) { return sim_spun_(a, SIM_ATOMIC_(__atomic_exchange_n(a, v, __ATOMIC_SEQ_CST)), v); }     \
    inline T atomicAnd(T *a, T v) { T o = SIM_ATOMIC_(__atomic_fetch_and(a, v, __ATOMIC_SEQ_CST)); return sim_spun_(a, o, static_cast<T>(o & v)); } \
    inline T atomicOr(T *a, T v) { T o = SIM_ATOMIC_(__atomic_fetch_or(a, v, __ATOMIC_SEQ_CST)); return sim_spun_(a, o, static_cast<T>(o | v)); } \
    inline T atomicXor(T *a, T v) { T o = SIM_ATOMIC_(__atomic_fetch_xor(a, v, __ATOMIC_SEQ_CST)); return sim_spun_(a, o, static_cast<T>(o ^ v)); } \
    inline T atomicMin(T *a, T v) {                                                             \
        return sim_atomic_update_<T>(a, [](T o, T x) { return x < o ? x : o; }, v);             \
    }                                                                                           \
    inline T atomicMax(T *a, T v) {                                                             \
        return sim_atomic_update_<T>(a, [](T o, T x) { return x > o ? x : o; }, v);             \
    }                                                                                           \
    inline T atomicCAS(T *a, T compare, T v) {                                                  \
        T expected = compare;                                                                   \
        bool swapped = SIM_ATOMIC_(__atomic_compare_exchange_n(a, &expected, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)); \
        if (!swapped || compare == v) ::sim::detail::spin_yield(a, (unsigned long long)expected); \
        return expected;                                                                        \
    }
SIM_ATOMIC_INT_OPS(int)
SIM_ATOMIC_INT_OPS(unsigned)
SIM_ATOMIC_INT_OPS(unsigned long long)
SIM_ATOMIC_INT_OPS(long long)
#undef SIM_ATOMIC_INT_OPS

inline float atomicAdd(float *a, float v) {
    return sim_atomic_update_<float>(a, [](float o, float x) { return o + x; }, v);
}
inline double atomicAdd(double *a, double v) {
    return sim_atomic_update_<double>(a, [](double o, double x) { return o + x; }, v);
}
inline float atomicExch(float *a, float v) {
    float old;
    {
        SIM_ATOMIC_SCOPE_;
        __atomic_exchange(a, &v, &old, __ATOMIC_SEQ_CST);
    }
    return sim_spun_(a, old, v);
}
inline unsigned atomicInc(unsigned *a, unsigned limit) {
    return sim_atomic_update_<unsigned>(a, [](unsigned o, unsigned l) { return o >= l ? 0u : o + 1; },
                                        limit);
}
inline unsigned atomicDec(unsigned *a, unsigned limit) {
    return sim_atomic_update_<unsigned>(
        a, [](unsigned o, unsigned l) { return (o == 0 || o > l) ? l : o - 1; }, limit);
}

// ------------------------------------------------------------ min / max as CUDA has them

#define SIM_MINMAX(R, A, B)                                               \
    inline R min(A a, B b) {                                              \
        return static_cast<R>(a) < static_cast<R>(b) ? static_cast<R>(a) : static_cast<R>(b); \
    }                                                                     \
    inline R max(A a, B b) {                                              \
        return static_cast<R>(a) > static_cast<R>(b) ? static_cast<R>(a) : static_cast<R>(b); \
    }
SIM_MINMAX(int, int, int)
SIM_MINMAX(unsigned, unsigned, unsigned)
SIM_MINMAX(unsigned, int, unsigned)
SIM_MINMAX(unsigned, unsigned, int)
SIM_MINMAX(long, long, long)
SIM_MINMAX(unsigned long, unsigned long, unsigned long)
SIM_MINMAX(unsigned long, long, unsigned long)
SIM_MINMAX(unsigned long, unsigned long, long)
SIM_MINMAX(long long, long long, long long)
SIM_MINMAX(unsigned long long, unsigned long long, unsigned long long)
SIM_MINMAX(unsigned long long, long long, unsigned long long)
SIM_MINMAX(unsigned long long, unsigned long long, long long)
#undef SIM_MINMAX
inline float min(float a, float b) { return fminf(a, b); }
inline float max(float a, float b) { return fmaxf(a, b); }
inline double min(double a, double b) { return fmin(a, b); }
inline double max(double a, double b) { return fmax(a, b); }
inline double min(float a, double b) { return fmin(a, b); }
inline double max(float a, double b) { return fmax(a, b); }
inline double min(double a, float b) { return fmin(a, b); }
inline double max(double a, float b) { return fmax(a, b); }

// ------------------------------------------------------------ reinterpretation and conversion

namespace sim {
namespace detail {
template <typename To, typename From>
inline To bits_as(From f) {
    static_assert(sizeof(To) == sizeof(From), "same size");
    To t;
    std::memcpy(&t, &f, sizeof t);
    return t;
}
// Float to integer as the device converts: saturating, NaN gives 0.
template <typename I>
inline I sat_cast(double v) {
    if (v != v) return 0;
    if (v <= double(std::numeric_limits<I>::min())) return std::numeric_limits<I>::min();
    if (v >= double(std::numeric_limits<I>::max())) return std::numeric_limits<I>::max();
    return I(v);
}
}  // namespace detail
}  // namespace sim

inline float __int_as_float(int v) { return ::sim::detail::bits_as<float>(v); }
inline int __float_as_int(float v) { return ::sim::detail::bits_as<int>(v); }
inline float __uint_as_float(unsigned v) { return ::sim::detail::bits_as<float>(v); }
inline unsigned __float_as_uint(float v) { return ::sim::detail::bits_as<unsigned>(v); }
inline long long __double_as_longlong(double v) { return ::sim::detail::bits_as<long long>(v); }
inline double __longlong_as_double(long long v) { return ::sim::detail::bits_as<double>(v); }
inline double __hiloint2double(int hi, int lo) {
    return __longlong_as_double(
        (long long)(((unsigned long long)(unsigned)hi << 32) | (unsigned long long)(unsigned)lo));
}
inline int __double2hiint(double v) { return int((unsigned long long)__double_as_longlong(v) >> 32); }
inline int __double2loint(double v) { return int(unsigned(__double_as_longlong(v))); }

#include "simmath.h"

inline int __ffs(int v) { return __builtin_ffs(v); }
inline int __ffsll(long long v) { return __builtin_ffsll(v); }
inline int __popc(unsigned v) { return __builtin_popcount(v); }
inline int __popcll(unsigned long long v) { return __builtin_popcountll(v); }
inline int __clz(int v) { return v == 0 ? 32 : __builtin_clz(unsigned(v)); }
inline int __clzll(long long v) { return v == 0 ? 64 : __builtin_clzll((unsigned long long)v); }
inline unsigned __brev(unsigned v) {
    v = ((v >> 1) & 0x55555555u) | ((v & 0x55555555u) << 1);
    v = ((v >> 2) & 0x33333333u) | ((v & 0x33333333u) << 2);
    v = ((v >> 4) & 0x0f0f0f0fu) | ((v & 0x0f0f0f0fu) << 4);
    return __builtin_bswap32(v);
}
inline unsigned long long __brevll(unsigned long long v) {
    return ((unsigned long long)__brev(unsigned(v)) << 32) | __brev(unsigned(v >> 32));
}
inline unsigned __umulhi(unsigned x, unsigned y) {
    return unsigned(((unsigned long long)x * y) >> 32);
}
inline int __mulhi(int x, int y) { return int(((long long)x * y) >> 32); }
inline unsigned long long __umul64hi(unsigned long long x, unsigned long long y) {
    return (unsigned long long)(((unsigned __int128)x * y) >> 64);
}
// 24-bit multiplies: the low 24 bits of each operand (sign-extended for the
// signed form), low 32 bits of the product.
inline int __mul24(int x, int y) {
    long long a = (long long)(int(unsigned(x) << 8) >> 8);
    long long b = (long long)(int(unsigned(y) << 8) >> 8);
    return int((unsigned long long)(a * b));
}
inline unsigned __umul24(unsigned x, unsigned y) { return (x & 0xffffffu) * (y & 0xffffffu); }

template <typename T>
inline T __ldg(const T *p) {
    return *p;
}

// ------------------------------------------------------------ textures

namespace sim {
template <typename T>
inline T tex_fetch(const dev::texture_ref &ref, int i) {
    T v{};
    size_t n = ref.elements;
    if (n == 0) return v;
    size_t k = i < 0 ? 0 : (size_t(i) >= n ? n - 1 : size_t(i));
    std::memcpy(&v, ref.base + k * sizeof(T), sizeof(T));
    return v;
}
}  // namespace sim
