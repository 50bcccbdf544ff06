// The worker frame of every reduction: runs of at most 65535 results, the
// plan of threads and blocks, the temporary from the thread context, the two
// kernel passes, the host finish of short vectors and the kernels themselves.
//
// An operation supplies only a rule, which takes what it does not say from
// rule_defaults:
//   template <class In> static constexpr bool planned();  pick the kernel instance
//                                   by the planned thread count (else B = 256)
//   template <class P> static P start();                  start value
//   static P combine(P acc, In x);  a member into a running value
//   static P merge(P a, P b);       a lower thread's value with a higher one's
//   static constexpr bool early_exit; static bool decided(P);  stop reading members
//   static constexpr bool positions;  partials are (value, position) pairs, and
//                                   combine(P acc, In x, unsigned k) sees the
//                                   member number k
//   static constexpr bool own_finish; static void finish(Out *out, const In *v,
//                                   unsigned n);  host arithmetic of its own;
//                                   otherwise the host finish combines in order
//   template <class P> using running; static running<P> lift(P); static P lower(running<P>);
//                                   what a thread's running value holds in
//                                   registers beside the partial (say, a
//                                   magnitude it would otherwise recompute at
//                                   every member); combine and merge take it
// and stamps its kernels and workers with TV_REDUCE_FAMILY. The partial type
// is the worker's result type, or the pair of it and a float position.
//
// Partials with positions lie apart: values, then positions, in temporaries
// (nout*blocks values, then as many floats) and in a block's shared memory
// (values in the static array, positions in the dynamic shared memory). The
// second pass over them carries each position with its value.
//
// Kernels. A kernel instance for B threads computes, for every pair of result
// o and part j, what B threads would: thread t combines the members
// k = j*B + t, k + blocks*B, ... in order, and the B values are merged by
// halving (p[t] = merge(p[t], p[t + s]) for s = B/2 ... 1). That order fixes
// the rounding of floating-point sums, so it is kept exactly; how the work is
// spread over the hardware threads is free. A hardware block of P threads
// serves R consecutive results at once (R > 1 where consecutive results lie
// side by side, so that a warp reads neighbouring elements, and where results
// are too short to give every thread members). Each of its threads runs V of
// the B threads of one result, those whose merges come first in the halving,
// and merges them in registers before the shared-memory steps. Launches ask
// for threads * sizeof(partial) bytes of dynamic shared memory on top of the
// static array of partials; value kernels leave it unused.
#pragma once

#include "reduce.h"

#include "device/kernel.h"
#include "torvane/runtime.h"

#include <cstddef>
#include <type_traits>
#include <utility>

namespace reduce {

constexpr unsigned run_results = 65535;  // results per run: one grid holds 65535 blocks

struct plan {
    unsigned threads;  // per block
    unsigned blocks;   // per result
};

// Cases c, d and r: n members per result, m results in the run. One block per
// 512 members, at most 256, and no grid above 65535 blocks.
inline plan plan_crd(unsigned n, unsigned m) {
    unsigned cap = 65535u / m;
    if (cap > 255) cap = 256;
    unsigned blocks = n / 512 + (n % 512 != 0);
    return {256, blocks < cap ? blocks : cap};
}

// Case v: n elements, one block of `threads` threads per 2*threads elements,
// at most 256; a vector of one block's elements finishes on the host.
inline plan plan_v(unsigned n, unsigned threads) {
    const unsigned per = 2 * threads;
    unsigned blocks = n / per + (n % per != 0);
    return {threads, blocks < 256 ? blocks : 256};
}

// ------------------------------------------------------------------ partials

// A value and its 1-based position among the members of its result.
template <class T>
struct ranked {
    T v;
    float p;
};

// Where a kernel reads its members: an array of elements, or the values and
// positions of partials with positions.
template <class In>
struct source {
    const In *v;
    DEV_HOSTDEV source(const In *values = nullptr) : v(values) {}
    DEV_HOSTDEV In at(unsigned i) const { return v[i]; }
    source shifted(size_t n) const { return source(v + n); }
};
template <class T>
struct source<ranked<T>> {
    const T *v;
    const float *p;
    DEV_HOSTDEV source(const T *values = nullptr, const float *pos = nullptr) : v(values), p(pos) {}
    DEV_HOSTDEV ranked<T> at(unsigned i) const { return {v[i], p[i]}; }
    source shifted(size_t n) const { return source(v + n, p + n); }
};

// Where partials and results go: the counterpart of source.
template <class P>
struct sink {
    P *v;
    static constexpr size_t bytes_per = sizeof(P);
    DEV_HOSTDEV sink(P *values = nullptr) : v(values) {}
    DEV_HOSTDEV void put(unsigned i, const P &x) const { v[i] = x; }
    static sink from(void *out, float *) { return sink(static_cast<P *>(out)); }
    static sink over(void *raw, size_t) { return sink(static_cast<P *>(raw)); }
    sink shifted(size_t n) const { return sink(v + n); }
    source<P> read() const { return source<P>(v); }
};
template <class T>
struct sink<ranked<T>> {
    T *v;
    float *p;
    static constexpr size_t bytes_per = sizeof(T) + sizeof(float);
    DEV_HOSTDEV sink(T *values = nullptr, float *pos = nullptr) : v(values), p(pos) {}
    DEV_HOSTDEV void put(unsigned i, const ranked<T> &x) const {
        v[i] = x.v;
        p[i] = x.p;
    }
    static sink from(void *out, float *idx) { return sink(static_cast<T *>(out), idx); }
    // n values, then n positions, in one block.
    static sink over(void *raw, size_t n) {
        return sink(static_cast<T *>(raw),
                    reinterpret_cast<float *>(static_cast<char *>(raw) + n * sizeof(T)));
    }
    sink shifted(size_t n) const { return sink(v + n, p + n); }
    source<ranked<T>> read() const { return source<ranked<T>>(v, p); }
};

// A block's partials in shared memory: the static array holds the values; the
// positions of pairs lie in the launch's dynamic shared memory.
template <class P>
struct shared_parts {
    using stored = P;
    P *v;
    __device__ static shared_parts over(P *values) { return {values}; }
    __device__ P get(unsigned i) const { return v[i]; }
    __device__ void set(unsigned i, const P &x) const { v[i] = x; }
};
template <class T>
struct shared_parts<ranked<T>> {
    using stored = T;
    T *v;
    float *p;
    __device__ static shared_parts over(T *values) {
        DEV_DYNAMIC_SHARED(float, pos);
        return {values, pos};
    }
    __device__ ranked<T> get(unsigned i) const { return {v[i], p[i]}; }
    __device__ void set(unsigned i, const ranked<T> &x) const {
        v[i] = x.v;
        p[i] = x.p;
    }
};

// A host copy of at most N elements of a source: the values first, the
// positions of partials with positions by a second copy.
template <class In, unsigned N>
struct staged {
    In v[N];
    int values(const source<In> &s, unsigned n) {
        return dev::memcpy_dtoh(v, s.v, size_t(n) * sizeof(In));
    }
    int rest(const source<In> &, unsigned) { return 0; }
    In at(unsigned i) const { return v[i]; }
};
template <class T, unsigned N>
struct staged<ranked<T>, N> {
    T v[N];
    float p[N];
    int values(const source<ranked<T>> &s, unsigned n) {
        return dev::memcpy_dtoh(v, s.v, size_t(n) * sizeof(T));
    }
    int rest(const source<ranked<T>> &s, unsigned n) {
        return dev::memcpy_dtoh(p, s.p, size_t(n) * sizeof(float));
    }
    ranked<T> at(unsigned i) const { return {v[i], p[i]}; }
};

// What a rule has unless it says otherwise: the single-precision real and
// logical workers pick their kernel by the planned thread count, the others
// launch the instance for 256 threads; threads read every member; partials
// are plain values; the host finish combines in order from the start value.
struct rule_defaults {
    template <class In>
    static constexpr bool planned() {
        return std::is_same<In, float>::value || std::is_same<In, unsigned char>::value;
    }
    static constexpr bool early_exit = false;
    static constexpr bool positions = false;
    static constexpr bool own_finish = false;
    template <class P>
    DEV_HOSTDEV static bool decided(const P &) {
        return false;
    }
    template <class P>
    using running = P;
    template <class P>
    DEV_HOSTDEV static P lift(const P &p) {
        return p;
    }
    template <class P>
    DEV_HOSTDEV static P lower(const P &p) {
        return p;
    }
};

// A member into a running value; rules with positions also see its number.
template <class Rule, class P, class X>
DEV_HOSTDEV inline P take(const P &acc, const X &x, unsigned k) {
    if constexpr (Rule::positions) {
        return Rule::combine(acc, x, k);
    } else {
        (void)k;
        return Rule::combine(acc, x);
    }
}

// ------------------------------------------------------------------ device side

// Member k of result o lies at element (o mod group) + (o div group)*gap + k*step.
struct layout {
    unsigned group, gap, step;
};

template <unsigned B, unsigned R>
struct shape {
    static_assert(B >= 1 && B <= 512 && (B & (B - 1)) == 0, "block sizes are powers of two");
    static_assert(R >= 1 && R <= 32 && (R & (R - 1)) == 0, "results per block divide a warp");
    static constexpr unsigned P = B * R < 256 ? B * R : 256;  // hardware threads of a block
    static constexpr unsigned L = P / R;                      // hardware threads per result
    static constexpr unsigned V = B / L;                      // threads each of them runs
    static constexpr unsigned G = V < 8 ? V : 8;              // threads whose loads go together
};

// Members read ahead per thread: up to 128 bytes and 32 values in flight.
template <class In, unsigned G>
struct read_ahead {
    static constexpr unsigned by_bytes = 128 / (G * sizeof(In));
    static constexpr unsigned by_count = 32 / G;
    static constexpr unsigned least = by_bytes < by_count ? by_bytes : by_count;
    static constexpr unsigned value = least < 1 ? 1 : least;
};

// Runs G threads of one result: thread g combines the members k0[g],
// k0[g] + kstep, ... below len, read at element base + k*step. Loads of a
// batch are issued before any of them is combined; each thread still
// combines its own members in increasing order.
template <class Rule, class Part, class In, unsigned G>
__device__ inline void run_threads(typename Rule::template running<Part> (&acc)[G], source<In> in,
                                   unsigned base, unsigned step, const unsigned (&k0)[G],
                                   unsigned kstep, unsigned len) {
    constexpr unsigned U = read_ahead<In, G>::value;
    unsigned cnt[G];
    unsigned most = 0, least = ~0u;
    for (unsigned g = 0; g < G; ++g) {
        acc[g] = Rule::lift(Rule::template start<Part>());
        cnt[g] = k0[g] < len ? (len - 1 - k0[g]) / kstep + 1 : 0;
        if (cnt[g] > most) most = cnt[g];
        if (cnt[g] < least) least = cnt[g];
    }
    unsigned i = 0;
    // Whole batches for every thread: no test between the loads.
    for (; least - i >= U; i += U) {
        In x[G][U];
        for (unsigned g = 0; g < G; ++g)
            for (unsigned u = 0; u < U; ++u)
                x[g][u] = in.at(base + (k0[g] + (i + u) * kstep) * step);
        for (unsigned g = 0; g < G; ++g)
            for (unsigned u = 0; u < U; ++u)
                acc[g] = take<Rule>(acc[g], x[g][u], k0[g] + (i + u) * kstep);
        if constexpr (Rule::early_exit) {
            bool settled = true;
            for (unsigned g = 0; g < G; ++g) settled = settled && Rule::decided(acc[g]);
            if (settled) return;
        }
    }
    for (; i < most; i += U) {
        In x[G][U] = {};
        for (unsigned g = 0; g < G; ++g)
            for (unsigned u = 0; u < U; ++u)
                if (i + u < cnt[g]) x[g][u] = in.at(base + (k0[g] + (i + u) * kstep) * step);
        for (unsigned g = 0; g < G; ++g)
            for (unsigned u = 0; u < U; ++u)
                if (i + u < cnt[g]) acc[g] = take<Rule>(acc[g], x[g][u], k0[g] + (i + u) * kstep);
        if constexpr (Rule::early_exit) {
            bool settled = true;
            for (unsigned g = 0; g < G; ++g)
                settled = settled && (Rule::decided(acc[g]) || i + U >= cnt[g]);
            if (settled) break;
        }
    }
}

// The halving over the N values a[I], a[I + D], ..., a[I + (N-1)*D]: the
// first step pairs values N/2 apart, the last neighbours.
template <class Rule, unsigned N, unsigned D, unsigned I, class Part, unsigned G>
__device__ inline Part halving(const Part (&a)[G]) {
    if constexpr (N == 1) {
        return a[I];
    } else {
        return Rule::merge(halving<Rule, N / 2, 2 * D, I>(a),
                           halving<Rule, N / 2, 2 * D, I + D>(a));
    }
}

// The threads t = tl + L*m of one result that one hardware thread runs, for
// m = M0, M0 + D, ..., merged in the order of the block's halving.
template <class Rule, class S, unsigned N, unsigned D, unsigned M0, class Part, class In>
__device__ inline typename Rule::template running<Part> thread_values(
    source<In> in, unsigned base, unsigned step, unsigned kfirst, unsigned kstep, unsigned len) {
    if constexpr (N == S::G) {
        typename Rule::template running<Part> acc[S::G];
        unsigned k0[S::G];
        for (unsigned g = 0; g < S::G; ++g) k0[g] = kfirst + S::L * (M0 + D * g);
        run_threads<Rule, Part, In, S::G>(acc, in, base, step, k0, kstep, len);
        return halving<Rule, S::G, 1, 0>(acc);
    } else {
        return Rule::merge(
            thread_values<Rule, S, N / 2, 2 * D, M0, Part>(in, base, step, kfirst, kstep, len),
            thread_values<Rule, S, N / 2, 2 * D, M0 + D, Part>(in, base, step, kfirst, kstep, len));
    }
}

// Makes the first `span` entries of the block's shared array visible to the
// threads that read them next: a block barrier, or a warp barrier when only the
// first warp takes part (warps need not run in lock step).
template <unsigned P, unsigned span>
__device__ inline void settle() {
    if constexpr (span > 32) {
        __syncthreads();
    } else {
        __syncwarp(P >= 32 ? 0xffffffffu : (1u << P) - 1u);
    }
}

template <class Rule, unsigned R, unsigned P, unsigned s, class Part>
__device__ inline void halve_shared(const shared_parts<Part> &sh, unsigned tid, unsigned tl) {
    if constexpr (s >= 1) {
        if (tl < s) sh.set(tid, Rule::merge(sh.get(tid), sh.get(tid + R * s)));
        if constexpr (s > 1) settle<P, R * s>();
        halve_shared<Rule, R, P, s / 2>(sh, tid, tl);
    }
}

// One block: results first + o for o = (block / blocks)*R + (thread mod R)
// below nres, part j = block mod blocks; writes dst[o*blocks + j].
template <unsigned B, unsigned R, class Rule, class Part, class In>
__device__ inline void block_reduce(sink<Part> dst, source<In> in, layout lay, unsigned len,
                                    unsigned blocks, unsigned nres, unsigned first) {
    using S = shape<B, R>;
    __shared__ typename shared_parts<Part>::stored values[S::P];
    const shared_parts<Part> sh = shared_parts<Part>::over(values);
    const unsigned tid = threadIdx.x, tl = tid / R;
    const unsigned j = blockIdx.x % blocks;
    const unsigned o = blockIdx.x / blocks * R + tid % R;
    Part acc = Rule::template start<Part>();
    if (o < nres) {
        const unsigned oa = first + o;
        const unsigned base = oa % lay.group + oa / lay.group * lay.gap;
        acc = Rule::lower(thread_values<Rule, S, S::V, 1, 0, Part>(in, base, lay.step, j * B + tl,
                                                                   blocks * B, len));
    }
    sh.set(tid, acc);
    settle<S::P, S::P>();
    halve_shared<Rule, R, S::P, S::L / 2>(sh, tid, tl);
    if (tl == 0 && o < nres) dst.put(o * blocks + j, sh.get(tid));
}

// ------------------------------------------------------------------ host side

// Consecutive results served by one block of the instance for 256 threads:
// at least as many as it takes to give its threads members (short results),
// and as many as lie side by side in memory (`side`: 1 in case c), up to a
// warp and not beyond the results there are.
inline unsigned tile_for(unsigned side, unsigned len, unsigned nres) {
    const unsigned fill = 256 / len + (256 % len != 0);
    unsigned want = side > fill ? side : fill;
    if (want > nres) want = nres;
    unsigned r = 1;
    while (r < 32 && r < want) r *= 2;
    return r;
}

// Position of a block size among 1, 2, 4, ..., 512.
inline unsigned size_index(unsigned threads) {
    for (unsigned i = 0; i < 10; ++i)
        if (threads == 1u << i) return i;
    return 8;
}

template <class F>
inline void with_tile(unsigned r, F &&f) {
    switch (r) {
    case 32: f(std::integral_constant<unsigned, 32>{}); break;
    case 16: f(std::integral_constant<unsigned, 16>{}); break;
    case 8: f(std::integral_constant<unsigned, 8>{}); break;
    case 4: f(std::integral_constant<unsigned, 4>{}); break;
    case 2: f(std::integral_constant<unsigned, 2>{}); break;
    default: f(std::integral_constant<unsigned, 1>{}); break;
    }
}

template <class F>
inline pkrError in_runs(unsigned count, F &&run) {
    for (unsigned o0 = 0;; o0 += run_results) {
        const unsigned m = count - o0 < run_results ? count - o0 : run_results;
        if (pkrError e = run(o0, m)) return e;
        if (count - o0 <= run_results) return 0;
    }
}

// Temporaries come from the calling thread's context and go back to it.
static inline void *take_temporary(size_t bytes) {
    thr_context *ctx = thr_getctx();
    return ctx && ctx->alloc ? ctx->alloc(bytes) : nullptr;
}
static inline pkrError no_temporary() {
    thr_seterror(1);
    return thr_geterror();
}
static inline pkrError release_temporary(void *t, pkrError code) {
    thr_context *ctx = thr_getctx();
    if (ctx) {
        if (ctx->free && ctx->free(t) == 0) return code;
        thr_seterror(7);
    }
    return thr_geterror();
}

// The workers of one operation, result type Out and input type In. K
// launches the operation's kernels. The partial type is Out, or Out with a
// position for rules with positions; the second pass reads partials (In = Part).
template <class Rule, class K, class Out, class In>
struct family {
    using Part = std::conditional_t<Rule::positions, ranked<Out>, Out>;
    using next = family<Rule, K, Out, Part>;  // the second pass and the vector's next level
    using dst_t = sink<Part>;
    using src_t = source<In>;
    static constexpr bool planned = Rule::template planned<In>();
    // Vector blocks: 256 threads with positions, else 128; each block takes
    // twice its threads' elements, and so many or fewer finish on the host.
    static constexpr unsigned vector_threads = Rule::positions ? 256 : 128;
    static constexpr size_t shared_per_thread = dst_t::bytes_per;

    // Case v: n elements, the result in host memory.
    static pkrError impl_v(dst_t out, src_t in, dst_t tmp, unsigned n) {
        const plan pl = plan_v(n, vector_threads);
        if (pl.blocks == 1) return finish(out, in, n);
        dst_t t = tmp;
        if (!t.v) {
            void *raw = take_temporary(size_t(pl.blocks) * dst_t::bytes_per);
            if (!raw) return no_temporary();
            t = dst_t::over(raw, pl.blocks);
        }
        K::template v<vector_threads, In, Part>(dim3(pl.blocks), dim3(pl.threads),
                                                pl.threads * shared_per_thread, t, in, n);
        const pkrError e = next::impl_v(out, t.read(), t, pl.blocks);
        return tmp.v ? e : release_temporary(t.v, e);
    }

    // Case c: nout results of nelem / nout contiguous members.
    static pkrError impl_c(dst_t out, src_t in, dst_t tmp, unsigned nout, unsigned nelem) {
        const unsigned len = nelem / nout;
        const plan pl = plan_crd(len, nout);
        return passes(out, tmp, nout, pl, [&](dst_t dst) {
            launch_c(planned ? size_index(pl.threads) : 8, tile_for(1, len, nout), pl.blocks,
                     pl.threads * shared_per_thread, dst, in, nout, len);
        });
    }

    // Case d: nelem / len results from result `first` on, members stride apart.
    static pkrError impl_d(dst_t out, src_t in, dst_t tmp, unsigned len, unsigned nelem,
                           unsigned stride, unsigned first) {
        const unsigned nout = nelem / len;
        const plan pl = plan_crd(len, nout);
        return passes(out, tmp, nout, pl, [&](dst_t dst) {
            launch_d(planned ? size_index(pl.threads) : 8, tile_for(stride, len, nout), pl.blocks,
                     pl.threads * shared_per_thread, dst, in, len, stride, first, nout);
        });
    }

    // Case r: nout results from result `first` on, in groups of pre, slab apart.
    static pkrError impl_r(dst_t out, src_t in, dst_t tmp, unsigned nout, unsigned nelem,
                           unsigned pre, unsigned stride, unsigned slab, unsigned first) {
        const unsigned len = nelem / nout;
        const plan pl = plan_crd(len, nout);
        return passes(out, tmp, nout, pl, [&](dst_t dst) {
            launch_r(planned ? size_index(pl.threads) : 8, tile_for(pre, len, nout), pl.blocks,
                     pl.threads * shared_per_thread, dst, in, len, stride, pre, slab, first,
                     nout);
        });
    }

    // The table entries: the record's counts, in runs the grid can hold. Runs
    // of cases d and r address their members from the run's first result, so
    // a run may start anywhere in a group.
    static pkrError entry_v(param_t p) { return impl_v(out_of(p), in_of(p), {}, p.nelem); }
    static pkrError entry_c(param_t p) {
        const dst_t out = out_of(p);
        const src_t in = in_of(p);
        const unsigned count = p.nelem / p.len;
        if (count < run_results) return impl_c(out, in, {}, count, p.nelem);
        return in_runs(count, [&](unsigned o0, unsigned m) {
            return impl_c(out.shifted(o0), in.shifted(size_t(o0) * p.len), {}, m, m * p.len);
        });
    }
    static pkrError entry_d(param_t p) {
        const dst_t out = out_of(p);
        const src_t in = in_of(p);
        const unsigned count = p.nelem / p.len;
        if (count < run_results) return impl_d(out, in, {}, p.len, p.nelem, p.stride, 0);
        return in_runs(count, [&](unsigned o0, unsigned m) {
            return impl_d(out.shifted(o0), in, {}, p.len, m * p.len, p.stride, o0);
        });
    }
    static pkrError entry_r(param_t p) {
        const dst_t out = out_of(p);
        const src_t in = in_of(p);
        const unsigned len = p.nelem / p.nout;
        if (p.nout < run_results)
            return impl_r(out, in, {}, p.nout, p.nelem, p.pre, p.stride, p.slab, 0);
        return in_runs(p.nout, [&](unsigned o0, unsigned m) {
            return impl_r(out.shifted(o0), in, {}, m, m * len, p.pre, p.stride, p.slab, o0);
        });
    }

private:
    static dst_t out_of(const param_t &p) { return dst_t::from(p.out, p.idx); }
    static src_t in_of(const param_t &p) { return src_t(static_cast<const In *>(p.in)); }

    // Vector finish: the n elements to the host (values, then the positions
    // they carry), then the rule's arithmetic from the start value, which the
    // result holds from the first copy on.
    static pkrError finish(dst_t out, src_t in, unsigned n) {
        staged<In, 2 * vector_threads> buf;
        if (buf.values(in, n) != 0) return 7;
        Part acc = Rule::template start<Part>();
        out.put(0, acc);
        if (buf.rest(in, n) != 0) return 7;
        if constexpr (Rule::own_finish) {
            Rule::finish(out.v, buf.v, n);
        } else {
            for (unsigned i = 0; i < n; ++i) {
                acc = take<Rule>(acc, buf.at(i), i);
                out.put(0, acc);
            }
        }
        return 0;
    }

    // First pass into the results (one block per result) or into a temporary
    // of nout*blocks partials, then the second pass over those partials. A
    // launch that is refused is not examined: the second pass reads whatever
    // the temporary holds and the runtime keeps the error pending.
    template <class Launch>
    static pkrError passes(dst_t out, dst_t tmp, unsigned nout, const plan &pl, Launch &&first) {
        if (pl.blocks == 1) {
            first(out);
            return 0;
        }
        const unsigned parts = nout * pl.blocks;
        dst_t t = tmp;
        if (!t.v) {
            void *raw = take_temporary(size_t(parts) * dst_t::bytes_per);
            if (!raw) return no_temporary();
            t = dst_t::over(raw, parts);
        }
        first(t);
        const pkrError e = next::impl_c(out, t.read(), t, nout, parts);
        return tmp.v ? e : release_temporary(t.v, e);
    }

    // Kernel instances, by block size 1, 2, 4, ..., 512; every one is built,
    // the workers launch the one for their planned count (planned rules) or
    // 256. Position kernels exist for 256 threads only.
    using sizes = std::conditional_t<Rule::positions, std::index_sequence<8>,
                                     std::make_index_sequence<10>>;
    static unsigned table_index(unsigned i) { return Rule::positions ? 0 : i; }
    template <unsigned B>
    static void at_c(unsigned tile, unsigned blocks, size_t shared, dst_t dst, src_t in,
                     unsigned nout, unsigned len) {
        with_tile(B == 256 ? tile : 1, [&](auto r) {
            constexpr unsigned R = B == 256 ? decltype(r)::value : 1;
            K::template c<B, In, Part, R>(dim3((nout + R - 1) / R * blocks), dim3(shape<B, R>::P),
                                          shared, dst, in, nout, len);
        });
    }
    template <unsigned B>
    static void at_d(unsigned tile, unsigned blocks, size_t shared, dst_t dst, src_t in,
                     unsigned len, unsigned stride, unsigned first, unsigned nres) {
        with_tile(B == 256 ? tile : 1, [&](auto r) {
            constexpr unsigned R = B == 256 ? decltype(r)::value : 1;
            K::template d<B, In, Part, R>(dim3((nres + R - 1) / R * blocks), dim3(shape<B, R>::P),
                                          shared, dst, in, len, stride, blocks, first, nres);
        });
    }
    template <unsigned B>
    static void at_r(unsigned tile, unsigned blocks, size_t shared, dst_t dst, src_t in,
                     unsigned len, unsigned stride, unsigned pre, unsigned slab, unsigned first,
                     unsigned nres) {
        with_tile(B == 256 ? tile : 1, [&](auto r) {
            constexpr unsigned R = B == 256 ? decltype(r)::value : 1;
            K::template r<B, In, Part, R>(dim3((nres + R - 1) / R * blocks), dim3(shape<B, R>::P),
                                          shared, dst, in, len, stride, blocks, pre, slab, first,
                                          nres);
        });
    }

    template <class... A, size_t... I>
    static void by_size_c(unsigned i, std::index_sequence<I...>, A... a) {
        using fn = void (*)(A...);
        static constexpr fn table[] = {&at_c<(1u << I)>...};
        table[i](a...);
    }
    template <class... A, size_t... I>
    static void by_size_d(unsigned i, std::index_sequence<I...>, A... a) {
        using fn = void (*)(A...);
        static constexpr fn table[] = {&at_d<(1u << I)>...};
        table[i](a...);
    }
    template <class... A, size_t... I>
    static void by_size_r(unsigned i, std::index_sequence<I...>, A... a) {
        using fn = void (*)(A...);
        static constexpr fn table[] = {&at_r<(1u << I)>...};
        table[i](a...);
    }
    static void launch_c(unsigned i, unsigned tile, unsigned blocks, size_t shared, dst_t dst,
                         src_t in, unsigned nout, unsigned len) {
        by_size_c(table_index(i), sizes{}, tile, blocks, shared, dst, in, nout, len);
    }
    static void launch_d(unsigned i, unsigned tile, unsigned blocks, size_t shared, dst_t dst,
                         src_t in, unsigned len, unsigned stride, unsigned first,
                         unsigned nres) {
        by_size_d(table_index(i), sizes{}, tile, blocks, shared, dst, in, len, stride,
                  first, nres);
    }
    static void launch_r(unsigned i, unsigned tile, unsigned blocks, size_t shared, dst_t dst,
                         src_t in, unsigned len, unsigned stride, unsigned pre, unsigned slab,
                         unsigned first, unsigned nres) {
        by_size_r(table_index(i), sizes{}, tile, blocks, shared, dst, in, len, stride,
                  pre, slab, first, nres);
    }
};

}  // namespace reduce

// The kernels and table workers of one operation family `name` (sum, sum_cplx,
// ...) with rule `Rule`; `sfx` (empty, or _idx for positions) follows the case
// letter in every name. Kernels name_v_d (only the vector block size is
// launched), name_c_d, name_d_d and name_r_d are templates over B, input and
// partial type, those of c, d and r also over the results per block; d and r
// take the absolute number of the run's first result and the run's result
// count after the arguments of the other cases. Workers name_v, name_c, name_d
// and name_r, templates over result and input type, are what the dispatch
// tables hold.
#define TV_REDUCE_FAMILY(name, Rule) TV_REDUCE_FAMILY_AS(name, , Rule)
#define TV_REDUCE_FAMILY_AS(name, sfx, Rule)                                                   \
    template <unsigned B, class In, class Out>                                                 \
    __global__ void name##_v##sfx##_d(::reduce::sink<Out> dst, ::reduce::source<In> in,       \
                                      unsigned n) {                                            \
        ::reduce::block_reduce<B, 1, Rule, Out, In>(dst, in, ::reduce::layout{1, 0, 1}, n,     \
                                                    gridDim.x, 1, 0);                          \
    }                                                                                          \
    template <unsigned B, class In, class Out, unsigned R = 1>                                 \
    __global__ void name##_c##sfx##_d(::reduce::sink<Out> dst, ::reduce::source<In> in,       \
                                      unsigned nout, unsigned len) {                           \
        ::reduce::block_reduce<B, R, Rule, Out, In>(dst, in, ::reduce::layout{1, len, 1}, len, \
                                                    gridDim.x / ((nout + R - 1) / R), nout, 0); \
    }                                                                                          \
    template <unsigned B, class In, class Out, unsigned R = 1>                                 \
    __global__ void name##_d##sfx##_d(::reduce::sink<Out> dst, ::reduce::source<In> in,       \
                                      unsigned len, unsigned stride, unsigned blocks,          \
                                      unsigned first, unsigned nout) {                         \
        ::reduce::block_reduce<B, R, Rule, Out, In>(                                           \
            dst, in, ::reduce::layout{stride, stride * len, stride}, len, blocks, nout, first);   \
    }                                                                                          \
    template <unsigned B, class In, class Out, unsigned R = 1>                                 \
    __global__ void name##_r##sfx##_d(::reduce::sink<Out> dst, ::reduce::source<In> in,       \
                                      unsigned len, unsigned stride, unsigned blocks,          \
                                      unsigned pre, unsigned slab, unsigned first,             \
                                      unsigned nout) {                                         \
        ::reduce::block_reduce<B, R, Rule, Out, In>(                                           \
            dst, in, ::reduce::layout{pre, slab, stride}, len, blocks, nout, first);           \
    }                                                                                          \
    struct name##sfx##_kernels {                                                               \
        template <class P>                                                                     \
        using dst_t = ::reduce::sink<P>;                                                       \
        template <class X>                                                                     \
        using src_t = ::reduce::source<X>;                                                     \
        template <unsigned B, class In, class Out>                                             \
        static void v(dim3 g, dim3 b, size_t sh, dst_t<Out> dst, src_t<In> in, unsigned n) {   \
            ::dev::launch(&name##_v##sfx##_d<B, In, Out>, g, b, sh, dst, in, n);               \
        }                                                                                      \
        template <unsigned B, class In, class Out, unsigned R>                                 \
        static void c(dim3 g, dim3 b, size_t sh, dst_t<Out> dst, src_t<In> in, unsigned nout,  \
                      unsigned len) {                                                          \
            ::dev::launch(&name##_c##sfx##_d<B, In, Out, R>, g, b, sh, dst, in, nout, len);    \
        }                                                                                      \
        template <unsigned B, class In, class Out, unsigned R>                                 \
        static void d(dim3 g, dim3 b, size_t sh, dst_t<Out> dst, src_t<In> in, unsigned len,   \
                      unsigned stride, unsigned blocks, unsigned first, unsigned nout) {       \
            ::dev::launch(&name##_d##sfx##_d<B, In, Out, R>, g, b, sh, dst, in, len, stride,   \
                          blocks, first, nout);                                                \
        }                                                                                      \
        template <unsigned B, class In, class Out, unsigned R>                                 \
        static void r(dim3 g, dim3 b, size_t sh, dst_t<Out> dst, src_t<In> in, unsigned len,   \
                      unsigned stride, unsigned blocks, unsigned pre, unsigned slab,           \
                      unsigned first, unsigned nout) {                                         \
            ::dev::launch(&name##_r##sfx##_d<B, In, Out, R>, g, b, sh, dst, in, len, stride,   \
                          blocks, pre, slab, first, nout);                                     \
        }                                                                                      \
    };                                                                                         \
    template <class Out, class In>                                                             \
    using name##sfx##_family = ::reduce::family<Rule, name##sfx##_kernels, Out, In>;           \
    template <class Out, class In>                                                             \
    pkrError name##_v##sfx(::reduce::param_t p) {                                              \
        return name##sfx##_family<Out, In>::entry_v(p);                                        \
    }                                                                                          \
    template <class Out, class In>                                                             \
    pkrError name##_c##sfx(::reduce::param_t p) {                                              \
        return name##sfx##_family<Out, In>::entry_c(p);                                        \
    }                                                                                          \
    template <class Out, class In>                                                             \
    pkrError name##_d##sfx(::reduce::param_t p) {                                              \
        return name##sfx##_family<Out, In>::entry_d(p);                                        \
    }                                                                                          \
    template <class Out, class In>                                                             \
    pkrError name##_r##sfx(::reduce::param_t p) {                                              \
        return name##sfx##_family<Out, In>::entry_r(p);                                        \
    }

// The four rows of one top table (`top` double or single, `prefix` dbl or sgl)
// and the table itself; SLOTS(op, case) gives a row's initialiser. At
// namespace reduce scope, after the operation's families.
#define TV_REDUCE_TABLE(top, prefix, op, nslots, SLOTS)                      \
    namespace {                                                              \
    const worker_fn prefix##_##op##_v[nslots] = SLOTS(op, v);                \
    const worker_fn prefix##_##op##_c[nslots] = SLOTS(op, c);                \
    const worker_fn prefix##_##op##_d[nslots] = SLOTS(op, d);                \
    const worker_fn prefix##_##op##_r[nslots] = SLOTS(op, r);                \
    }                                                                        \
    const row_t top##_##op##_fns[4] = {prefix##_##op##_v, prefix##_##op##_c, \
                                       prefix##_##op##_d, prefix##_##op##_r};
