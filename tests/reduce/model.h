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
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace rmodel {

// ------------------------------------------------------------------ the model
//
// An operation, as the model sees it, gives its partial type `part`, the
// threads of its vector blocks, start(), member(a, x, k) for member x at
// number k of the input, merge(a, b) for a lower thread's value with a higher
// one's and for a partial of a later pass, and the host finish of a vector:
// host(values) over at most twice the vector threads.

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
// Vector blocks of `threads` threads, twice as many elements each, at most 256.
inline plan plan_v(uint64_t n, unsigned threads) {
    uint64_t b = (n + 2 * threads - 1) / (2 * threads);
    return {unsigned(b < 256 ? b : 256)};
}

// What block j of `blocks` computes with B threads: thread t takes members
// j*B + t, + blocks*B, ... from the start value (take(a, k) gives a with
// member k), then the B values are halved.
template <class Op, class Take>
typename Op::part block_fold(const Op &op, const Take &take, uint64_t len, unsigned blocks,
                             unsigned j, unsigned B) {
    using P = typename Op::part;
    std::vector<P> p(B);
    for (unsigned t = 0; t < B; ++t) {
        P a = op.start();
        for (uint64_t k = uint64_t(j) * B + t; k < len; k += uint64_t(blocks) * B) a = take(a, k);
        p[t] = a;
    }
    for (unsigned s = B / 2; s >= 1; s /= 2)
        for (unsigned t = 0; t < s; ++t) p[t] = op.merge(p[t], p[t + s]);
    return p[0];
}

// One result of cases c, d and r within a run of m results; x(k) is member k.
template <class Op, class X>
typename Op::part result_fold(const Op &op, const X &x, uint64_t len, uint64_t m) {
    using P = typename Op::part;
    auto top = [&](const P &a, uint64_t k) { return op.member(a, x(k), k); };
    const unsigned blocks = plan_crd(len, m).blocks;
    if (blocks == 1) return block_fold(op, top, len, 1, 0, 256);
    std::vector<P> q(blocks);
    for (unsigned j = 0; j < blocks; ++j) q[j] = block_fold(op, top, len, blocks, j, 256);
    auto carried = [&](const P &a, uint64_t k) { return op.merge(a, q[k]); };
    return block_fold(op, carried, blocks, 1, 0, 256);
}

// All results of cases c, d and r: x(o, k) is member k of result o. More
// than 65534 results go in runs of 65535, each planned for its own count.
template <class Op, class X>
std::vector<typename Op::part> results_of(const Op &op, const X &x, uint64_t count,
                                          uint64_t len) {
    std::vector<typename Op::part> out(count);
    const uint64_t run = count < 65535 ? count : 65535;
    for (uint64_t o0 = 0; o0 < count; o0 += run) {
        const uint64_t m = count - o0 < run ? count - o0 : run;
        for (uint64_t o = o0; o < o0 + m; ++o) {
            auto member = [&](uint64_t k) { return x(o, k); };
            out[o] = result_fold(op, member, len, m);
        }
    }
    return out;
}

// A vector: short ones finish on the host, longer ones after one kernel pass
// whose partials finish there.
template <class Op, class X>
typename Op::part vector_fold(const Op &op, const X &x, uint64_t n) {
    using P = typename Op::part;
    const unsigned threads = Op::vector_threads;
    auto top = [&](const P &a, uint64_t k) { return op.member(a, x(k), k); };
    if (n <= 2 * threads) return op.host(n, top, x);
    const unsigned blocks = plan_v(n, threads).blocks;
    std::vector<P> q(blocks);
    for (unsigned j = 0; j < blocks; ++j) q[j] = block_fold(op, top, n, blocks, j, threads);
    auto partial = [&](uint64_t k) { return q[k]; };
    return op.host(blocks, [&](const P &a, uint64_t k) { return op.merge(a, q[k]); }, partial);
}

// The host finish of every operation but sum: from the start value, in order.
template <class Self>
struct in_order_finish {
    template <class Take, class X>
    auto host(uint64_t n, const Take &take, const X &) const {
        auto a = static_cast<const Self *>(this)->start();
        for (uint64_t k = 0; k < n; ++k) a = take(a, k);
        return a;
    }
};

// sum of one part (real or imaginary) in the partial type P; the host adds
// in extended precision and rounds once.
template <class P>
struct sum_op {
    using part = P;
    static constexpr unsigned vector_threads = 128;
    P start() const { return 0; }
    template <class X>
    P member(P a, X x, uint64_t) const {
        return a + P(x);
    }
    P merge(P a, P b) const { return a + b; }
    template <class Take, class X>
    P host(uint64_t n, const Take &, const X &x) const {
        long double acc = 0;
        for (uint64_t k = 0; k < n; ++k) acc += x(k);
        return P(acc);
    }
};

template <class P, class X>
P block_sum(const X &x, uint64_t len, unsigned blocks, unsigned j, unsigned B) {
    auto take = [&](P a, uint64_t k) { return a + x(k); };
    return block_fold(sum_op<P>{}, take, len, blocks, j, B);
}

// Whether an element counts as true: a complex one unless both parts are zero.
inline bool truth(float x) { return x != 0; }
inline bool truth(double x) { return x != 0; }
inline bool truth(unsigned char x) { return x != 0; }
inline bool truth(float2 z) { return z.x != 0 || z.y != 0; }
inline bool truth(double2 z) { return z.x != 0 || z.y != 0; }

// all (every) or any: one byte, 0 or 1.
template <bool every>
struct logical_op : in_order_finish<logical_op<every>> {
    using part = unsigned char;
    static constexpr unsigned vector_threads = 128;
    part start() const { return every; }
    template <class X>
    part member(part a, const X &x, uint64_t) const {
        return every ? (a && truth(x)) : (a || truth(x));
    }
    part merge(part a, part b) const { return member(a, b, 0); }
};

inline float largest(float) { return std::numeric_limits<float>::max(); }
inline double largest(double) { return std::numeric_limits<double>::max(); }

// |z| by the library's formula, in the part's precision.
template <class R>
R magnitude(R re, R im) {
    const R a = std::fabs(re), b = std::fabs(im);
    const R v = a > b ? a : b, w = a > b ? b : a;
    if (v == 0 || v > largest(v) || w > largest(v)) return v + w;
    const R q = w / v;
    return v * std::sqrt(R(1) + q * q);
}
inline float magnitude(float2 z) { return magnitude(z.x, z.y); }
inline double magnitude(double2 z) { return magnitude(z.x, z.y); }

// Start values of max (greater) and min.
template <bool greater>
inline float extreme(float) { return greater ? -largest(0.0f) : largest(0.0f); }
template <bool greater>
inline double extreme(double) { return greater ? -largest(0.0) : largest(0.0); }
template <bool greater>
inline unsigned char extreme(unsigned char) { return greater ? 0 : 255; }
template <bool greater>
inline float2 extreme(float2) {
    return greater ? float2{0, 0} : float2{largest(0.0f), largest(0.0f)};
}
template <bool greater>
inline double2 extreme(double2) {
    return greater ? double2{0, 0} : double2{largest(0.0), largest(0.0)};
}

template <bool greater, class V>
bool beyond(V b, V a) {
    return greater ? b > a : b < a;
}

// max (greater) or min of values: NaN never wins among reals (a kept on a
// tie), bytes unsigned, complex a only when strictly beyond b in magnitude.
template <bool greater, class T>
struct extremum_op : in_order_finish<extremum_op<greater, T>> {
    using part = T;
    static constexpr unsigned vector_threads = 128;
    T start() const { return extreme<greater>(T{}); }
    T member(T a, T x, uint64_t) const { return merge(a, x); }
    T merge(T a, T b) const {
        if constexpr (std::is_same<T, float2>::value || std::is_same<T, double2>::value) {
            return beyond<greater>(magnitude(a), magnitude(b)) ? a : b;
        } else if constexpr (std::is_same<T, unsigned char>::value) {
            return beyond<greater>(b, a) ? b : a;
        } else {
            if (std::isnan(b)) return a;
            if (std::isnan(a)) return b;
            return beyond<greater>(b, a) ? b : a;
        }
    }
};

// A value with its 1-based position.
template <class T>
struct ranked {
    T v;
    float p;
};

// max or min with positions: a candidate strictly beyond takes over, equal
// values (complex: equal parts) keep the smaller position, else a stays.
template <bool greater, class T>
struct ranked_op : in_order_finish<ranked_op<greater, T>> {
    using part = ranked<T>;
    static constexpr unsigned vector_threads = 256;
    static constexpr bool cplx = std::is_same<T, float2>::value || std::is_same<T, double2>::value;
    part start() const { return {extreme<greater>(T{}), 1.0f}; }
    part member(const part &a, T x, uint64_t k) const { return merge(a, {x, float(k + 1)}); }
    part merge(part a, const part &b) const {
        bool ahead, same;
        if constexpr (cplx) {
            ahead = beyond<greater>(magnitude(b.v), magnitude(a.v));
            same = b.v.x == a.v.x && b.v.y == a.v.y;
        } else {
            ahead = beyond<greater>(b.v, a.v);
            same = b.v == a.v;
        }
        if (ahead) return b;
        if (same && b.p < a.p) a.p = b.p;
        return a;
    }
};

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
    const sum_op<P> op;
    if (q.kase == 'v') {
        auto element = [&](uint64_t k) { return elem<In>::get(host[k], p); };
        return {vector_fold(op, element, q.nelem)};
    }
    auto member = [&](uint64_t o, uint64_t k) { return elem<In>::get(host[q.index(o, k)], p); };
    return results_of(op, member, q.results(), q.len);
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

// A device and a counting thread context that gives and takes back, with
// no error stored.
class ReduceTest : public ::testing::Test {
protected:
    testenv::device_env env;
    void SetUp() override {
        counting_ctx::install();
        counting_ctx::fail_alloc = counting_ctx::fail_free = false;
        torvane_clear_error();
    }
    // Later tests of the process get a context whose temporaries come from
    // the memory manager, whatever this one did to its own.
    void TearDown() override {
        counting_ctx::fail_alloc = counting_ctx::fail_free = false;
        EXPECT_EQ(torvane_thr_init(0, nullptr), 0);
        torvane_clear_error();
    }
};

inline pkrError last_error() {
    pkrError e = -1;
    EXPECT_EQ(torvane_last_error(&e), 0);
    return e;
}

}  // namespace rmodel
