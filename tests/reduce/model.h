// A host model of the order in which the reductions add, and helpers shared
// by the reduction tests: element types, layouts, device buffers and a
// thread context that counts its temporaries.
#pragma once

#include "device/device.h"
#include "support/devenv.h"
#include "torvane.h"
#include "torvane_reduce.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace rmodel {

// ------------------------------------------------------------------ the model

struct plan {
    unsigned blocks;
};
// Blocks per result: one per 512 members, at most 256, grid within 65535.
inline plan plan_crd(uint64_t len, uint64_t m) {
    uint64_t cap = 65535 / m;
    if (cap > 255) cap = 256;
    uint64_t b = (len + 511) / 512;
    return {unsigned(b < cap ? b : cap)};
}
inline plan plan_v(uint64_t n) {
    uint64_t b = (n + 255) / 256;
    return {unsigned(b < 256 ? b : 256)};
}

// What block j of `blocks` computes with B threads: thread t adds members
// j*B + t, + blocks*B, ... from zero, then the B sums are halved.
template <class P, class X>
P block_sum(const X &x, uint64_t len, unsigned blocks, unsigned j,
            unsigned B) {
    std::vector<P> p(B);
    for (unsigned t = 0; t < B; ++t) {
        P a = 0;
        for (uint64_t k = uint64_t(j) * B + t; k < len; k += uint64_t(blocks) * B) a = a + x(k);
        p[t] = a;
    }
    for (unsigned s = B / 2; s >= 1; s /= 2)
        for (unsigned t = 0; t < s; ++t) p[t] = p[t] + p[t + s];
    return p[0];
}

// One result of cases c, d and r within a run of m results.
template <class P, class X>
P result_sum(const X &x, uint64_t len, uint64_t m) {
    const unsigned blocks = plan_crd(len, m).blocks;
    if (blocks == 1) return block_sum<P>(x, len, 1, 0, 256);
    std::vector<P> q(blocks);
    for (unsigned j = 0; j < blocks; ++j) q[j] = block_sum<P>(x, len, blocks, j, 256);
    auto partial = [&](uint64_t k) { return q[k]; };
    return block_sum<P>(partial, blocks, 1, 0, 256);
}

// All results of cases c, d and r: x(o, k) is member k of result o. More
// than 65534 results go in runs of 65535, each planned for its own count.
template <class P, class X>
std::vector<P> results(const X &x, uint64_t count,
                       uint64_t len) {
    std::vector<P> out(count);
    const uint64_t run = count < 65535 ? count : 65535;
    for (uint64_t o0 = 0; o0 < count; o0 += run) {
        const uint64_t m = count - o0 < run ? count - o0 : run;
        for (uint64_t o = o0; o < o0 + m; ++o) {
            auto member = [&](uint64_t k) { return x(o, k); };
            out[o] = result_sum<P>(member, len, m);
        }
    }
    return out;
}

// A vector: up to 256 elements, or the kernel's partials, summed on the host
// in extended precision and rounded once.
template <class P, class X>
P vector_sum(const X &x, uint64_t n) {
    long double acc = 0;
    if (n <= 256) {
        for (uint64_t k = 0; k < n; ++k) acc += x(k);
    } else {
        const unsigned blocks = plan_v(n).blocks;
        for (unsigned j = 0; j < blocks; ++j) acc += block_sum<P>(x, n, blocks, j, 128);
    }
    return P(acc);
}

// ------------------------------------------------------------------ element types

// What a test needs of an input type: its codes, its result type, its parts
// (two for complex) and random data.
template <class In>
struct elem;

template <>
struct elem<float> {
    using out = float;
    using part = float;
    static constexpr int in_type = 7, parts = 1;
    static constexpr bool cplx = false;
    static const char *name() { return "f32"; }
    static part get(const float &v, int) { return v; }
    static part out_part(const out &v, int) { return v; }
};
template <>
struct elem<double> {
    using out = double;
    using part = double;
    static constexpr int in_type = 6, parts = 1;
    static constexpr bool cplx = false;
    static const char *name() { return "f64"; }
    static part get(const double &v, int) { return v; }
    static part out_part(const out &v, int) { return v; }
};
template <>
struct elem<float2> {
    using out = float2;
    using part = float;
    static constexpr int in_type = 7, parts = 2;
    static constexpr bool cplx = true;
    static const char *name() { return "c32"; }
    static part get(const float2 &v, int i) { return i ? v.y : v.x; }
    static part out_part(const out &v, int i) { return i ? v.y : v.x; }
};
template <>
struct elem<double2> {
    using out = double2;
    using part = double;
    static constexpr int in_type = 6, parts = 2;
    static constexpr bool cplx = true;
    static const char *name() { return "c64"; }
    static part get(const double2 &v, int i) { return i ? v.y : v.x; }
    static part out_part(const out &v, int i) { return i ? v.y : v.x; }
};
template <>
struct elem<unsigned char> {
    using out = float;
    using part = float;
    static constexpr int in_type = 3, parts = 1;
    static constexpr bool cplx = false;
    static const char *name() { return "logical"; }
    static part get(const unsigned char &v, int) { return float(v); }
    static part out_part(const out &v, int) { return v; }
};

// Values over a wide range of magnitudes, so that any other order of the
// additions rounds differently.
inline double wide(std::mt19937 &g) {
    std::uniform_real_distribution<double> m(-1.0, 1.0);
    std::uniform_int_distribution<int> e(-12, 12);
    return std::ldexp(m(g), e(g));
}
template <class In>
In random_element(std::mt19937 &g) {
    In x{};
    if constexpr (std::is_same<In, unsigned char>::value) {
        const unsigned r = g() % 16;
        x = r < 7 ? 0 : (r < 15 ? 1 : 255);  // logical data, and a byte of another value
    } else if constexpr (elem<In>::cplx) {
        x.x = decltype(x.x)(wide(g));
        x.y = decltype(x.y)(wide(g));
    } else {
        x = In(wide(g));
    }
    return x;
}
// Random elements; long inputs repeat a pool of 65521 in a scattered order,
// which no layout of the tests lines up with.
template <class In>
std::vector<In> random_input(size_t n, unsigned seed) {
    std::mt19937 g(seed);
    constexpr size_t pool = 65521;
    std::vector<In> v(n);
    if (n <= pool) {
        for (auto &x : v) x = random_element<In>(g);
        return v;
    }
    std::vector<In> p(pool);
    for (auto &x : p) x = random_element<In>(g);
    for (size_t i = 0; i < n; ++i) v[i] = p[(i * 40503 + i / pool) % pool];
    return v;
}

// Same value, NaNs of any payload alike.
template <class P>
bool same_bits(P a, P b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof(P)) == 0;
}

// ------------------------------------------------------------------ layouts

// A request to an entry: member k of result o lies at index(o, k).
struct request {
    const char *name;
    char kase;  // the case the entry must take: 'v', 'c', 'd' or 'r'
    uint32_t nout, nelem, stride, len, slab, pre;
    unsigned char dev_out;

    uint64_t index(uint64_t o, uint64_t k) const {
        switch (kase) {
        case 'v': return k;
        case 'c': return o * len + k;
        case 'd': return o % stride + o / stride * uint64_t(stride) * len + k * stride;
        default: return o % pre + o / pre * uint64_t(slab) + k * stride;
        }
    }
    uint64_t results() const { return kase == 'v' ? 1 : nout; }
    uint64_t members() const { return kase == 'v' ? nelem : len; }
};

inline request vector_of(uint32_t n) { return {"vector", 'v', 1, n, 1, n, 0, 0, 0}; }
inline request columns(uint32_t rows, uint32_t cols) {
    return {"columns", 'c', cols, rows * cols, 1, rows, 0, 0, 1};
}
inline request rows_of(uint32_t rows, uint32_t cols) {
    return {"rows", 'd', rows, rows * cols, rows, cols, 0, 0, 1};
}
// Dimension 2 of a dense stride x len x groups array.
inline request middle(uint32_t stride, uint32_t len, uint32_t groups) {
    return {"middle", 'd', stride * groups, stride * len * groups, stride, len, 0, 0, 1};
}
// Dimension 2 of a dense pre x len x groups array, as the general case.
inline request slabs(uint32_t pre, uint32_t len, uint32_t groups) {
    return {"slabs", 'r', pre * groups, pre * len * groups, pre, len, pre * len, pre, 1};
}
// Dimension 3 of a dense pre x groups x len array: groups of pre results lie
// pre apart, members pre*groups apart.
inline request last_dim(uint32_t pre, uint32_t groups, uint32_t len) {
    return {"last_dim", 'r', pre * groups, pre * groups * len, pre * groups, len, pre, pre, 1};
}

// ------------------------------------------------------------------ running a request

template <class In>
struct outcome {
    pkrError code = -1;
    std::vector<typename elem<In>::out> got;
};

inline pkrError call_sum(const request &q, void *out, void *in, int in_type, bool cplx) {
    return sum_stride_r(q.nout, q.nelem, q.stride, q.len, q.slab, q.pre, out, in_type, in,
                        in_type, nullptr, cplx, 0, q.dev_out);
}

// Runs `q` through sum_stride_r over `host` and reads the results back from
// host memory (case v) or device memory.
template <class In>
outcome<In> run_sum(const request &q, const std::vector<In> &host) {
    using Out = typename elem<In>::out;
    outcome<In> r;
    In *din = testenv::to_device(host);
    const size_t n = q.results();
    if (q.kase == 'v') {
        r.got.assign(1, Out{});
        r.code = call_sum(q, r.got.data(), din, elem<In>::in_type, elem<In>::cplx);
    } else {
        Out *dout = testenv::device_alloc<Out>(n);
        r.code = call_sum(q, dout, din, elem<In>::in_type, elem<In>::cplx);
        r.got = testenv::from_device(dout, n);
        testenv::device_free(dout);
    }
    testenv::device_free(din);
    return r;
}

// The model's results of `q` over `host`, part `p` (0 real, 1 imaginary).
template <class In>
std::vector<typename elem<In>::part> model_sum(const request &q, const std::vector<In> &host,
                                               int p) {
    using P = typename elem<In>::part;
    if (q.kase == 'v') {
        auto element = [&](uint64_t k) { return elem<In>::get(host[k], p); };
        return {vector_sum<P>(element, q.nelem)};
    }
    auto member = [&](uint64_t o, uint64_t k) { return elem<In>::get(host[q.index(o, k)], p); };
    return results<P>(member, q.results(), q.len);
}

// Checks every result of `q` over random data bit for bit against the model.
template <class In>
void expect_model(const request &q, unsigned seed = 1) {
    using E = elem<In>;
    SCOPED_TRACE(std::string(q.name) + " " + E::name() + " nout " + std::to_string(q.nout) +
                 " len " + std::to_string(q.len));
    uint64_t span = 0;
    for (uint64_t o = 0; o < q.results(); ++o) {
        const uint64_t last = q.index(o, q.members() - 1);
        if (last + 1 > span) span = last + 1;
    }
    ASSERT_LE(span, q.nelem) << "the test's layout leaves the input";
    const std::vector<In> host = random_input<In>(q.nelem, seed);
    const outcome<In> r = run_sum(q, host);
    ASSERT_EQ(r.code, 0);
    for (int p = 0; p < E::parts; ++p) {
        const auto want = model_sum(q, host, p);
        ASSERT_EQ(want.size(), r.got.size());
        size_t bad = 0, first = 0;
        for (size_t o = 0; o < want.size(); ++o)
            if (!same_bits(E::out_part(r.got[o], p), want[o]) && bad++ == 0) first = o;
        EXPECT_EQ(bad, 0u) << "first differing result " << first << " part " << p << ": got "
                           << E::out_part(r.got[first], p) << ", model " << want[first];
    }
}

// ------------------------------------------------------------------ temporaries

// A thread context whose temporaries are counted, and whose release can fail.
struct counting_ctx {
    static inline std::vector<size_t> sizes;  // bytes of every temporary asked for
    static inline int frees = 0;
    static inline bool fail_alloc = false, fail_free = false;

    static void *alloc(size_t bytes) {
        sizes.push_back(bytes);
        if (fail_alloc) return nullptr;
        void *p = nullptr;
        return dev::malloc(&p, bytes) == 0 ? p : nullptr;
    }
    static int release(void *p) {
        ++frees;
        dev::free(p);
        return fail_free ? 1 : 0;
    }
    // Installs it as the calling thread's context.
    static void install() {
        sizes.clear();
        frees = 0;
        thr_options o{};
        o.alloc = &alloc;
        o.free = &release;
        ASSERT_EQ(torvane_thr_init(0, &o), 0);
    }
};

inline pkrError last_error() {
    pkrError e = -1;
    EXPECT_EQ(torvane_last_error(&e), 0);
    return e;
}

}  // namespace rmodel
