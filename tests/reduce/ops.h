// The reductions other than sum as the tests call them: every operation with
// its entry and its model, a run of a request through the entry, and the
// bit-for-bit comparison with the model.
#pragma once

#include "model.h"

#include <iomanip>
#include <sstream>

namespace rmodel {

using entry_fn = pkrError (*)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, void *,
                              int32_t, void *, int32_t, float *, unsigned char, unsigned char,
                              unsigned char);

// What one result holds: a value, or a value and its position.
template <class P>
struct result_of {
    using value = P;
    static constexpr bool ranked = false;
};
template <class T>
struct result_of<ranked<T>> {
    using value = T;
    static constexpr bool ranked = true;
};

// The six operations, each with a model op over input In.
enum class op_kind { all, any, max, min, max_idx, min_idx };
constexpr op_kind every_op[] = {op_kind::all, op_kind::any,     op_kind::max,
                                op_kind::min, op_kind::max_idx, op_kind::min_idx};
inline const char *op_name(op_kind k) {
    static const char *const names[] = {"all", "any", "max", "min", "max with positions",
                                        "min with positions"};
    return names[int(k)];
}
inline entry_fn entry_of(op_kind k) {
    switch (k) {
    case op_kind::all: return &all_stride_r;
    case op_kind::any: return &any_stride_r;
    case op_kind::max:
    case op_kind::max_idx: return &max_stride_r;
    default: return &min_stride_r;
    }
}
inline bool with_positions(op_kind k) { return k == op_kind::max_idx || k == op_kind::min_idx; }
// Positions of one-byte elements have no worker.
template <class In>
bool served(op_kind k) {
    return !(with_positions(k) && std::is_same<In, unsigned char>::value);
}

// Calls f with the model op of `k` over In.
template <class In, class F>
void with_op(op_kind k, F &&f) {
    switch (k) {
    case op_kind::all: f(logical_op<true>{}); break;
    case op_kind::any: f(logical_op<false>{}); break;
    case op_kind::max: f(extremum_op<true, In>{}); break;
    case op_kind::min: f(extremum_op<false, In>{}); break;
    case op_kind::max_idx:
        if constexpr (!std::is_same<In, unsigned char>::value) f(ranked_op<true, In>{});
        break;
    case op_kind::min_idx:
        if constexpr (!std::is_same<In, unsigned char>::value) f(ranked_op<false, In>{});
        break;
    }
}

// ------------------------------------------------------------------ comparing

inline bool same_result(unsigned char a, unsigned char b) { return a == b; }
inline bool same_result(float a, float b) { return same_bits(a, b); }
inline bool same_result(double a, double b) { return same_bits(a, b); }
inline bool same_result(float2 a, float2 b) { return same_bits(a.x, b.x) && same_bits(a.y, b.y); }
inline bool same_result(double2 a, double2 b) {
    return same_bits(a.x, b.x) && same_bits(a.y, b.y);
}
template <class T>
bool same_result(const ranked<T> &a, const ranked<T> &b) {
    return same_result(a.v, b.v) && a.p == b.p;
}

inline void show(std::ostream &o, unsigned char v) { o << unsigned(v); }
inline void show(std::ostream &o, float v) { o << std::setprecision(9) << v; }
inline void show(std::ostream &o, double v) { o << std::setprecision(17) << v; }
template <class C, class = decltype(C{}.y)>
void show(std::ostream &o, const C &v) {
    o << "(";
    show(o, v.x);
    o << ", ";
    show(o, v.y);
    o << ")";
}
template <class T>
void show(std::ostream &o, const ranked<T> &v) {
    show(o, v.v);
    o << " at " << std::setprecision(9) << v.p;
}
template <class P>
std::string shown(const P &v) {
    std::ostringstream o;
    show(o, v);
    return o.str();
}

// ------------------------------------------------------------------ running

template <class P>
struct op_outcome {
    pkrError code = -1;
    std::vector<P> got;
};

// Runs `q` over `host` through the entry of `k` and reads the results (and
// positions) back from host memory (case v) or device memory.
template <class P, class In>
op_outcome<P> run_op(op_kind k, const request &q, const std::vector<In> &host) {
    using V = typename result_of<P>::value;
    op_outcome<P> r;
    In *din = testenv::to_device(host);
    const size_t n = q.results();
    std::vector<V> vals(n);
    std::vector<float> pos(n, -1.0f);
    auto call = [&](void *out, float *idx) {
        return entry_of(k)(q.nout, q.nelem, q.stride, q.len, q.slab, q.pre, out, elem<In>::in_type,
                           din, elem<In>::in_type, idx, elem<In>::cplx, with_positions(k),
                           q.dev_out);
    };
    if (q.kase == 'v') {
        r.code = call(vals.data(), pos.data());
    } else {
        V *dv = testenv::device_alloc<V>(n);
        float *dp = testenv::device_alloc<float>(n);
        r.code = call(dv, dp);
        vals = testenv::from_device(dv, n);
        pos = testenv::from_device(dp, n);
        testenv::device_free(dv);
        testenv::device_free(dp);
    }
    testenv::device_free(din);
    r.got.resize(n);
    for (size_t o = 0; o < n; ++o) {
        if constexpr (result_of<P>::ranked) {
            r.got[o] = {vals[o], pos[o]};
        } else {
            r.got[o] = vals[o];
        }
    }
    return r;
}

// The model's results of `q` over `host`.
template <class Op, class In>
std::vector<typename Op::part> model_of(const Op &op, const request &q,
                                        const std::vector<In> &host) {
    if (q.kase == 'v') return {vector_fold(op, [&](uint64_t k) { return host[k]; }, q.nelem)};
    auto member = [&](uint64_t o, uint64_t k) { return host[q.index(o, k)]; };
    return results_of(op, member, q.results(), q.len);
}

inline void expect_inside(const request &q) {
    uint64_t span = 0;
    for (uint64_t o = 0; o < q.results(); ++o) {
        const uint64_t last = q.index(o, q.members() - 1);
        if (last + 1 > span) span = last + 1;
    }
    ASSERT_LE(span, q.nelem) << "the test's layout leaves the input";
}

// Runs `q` over `host` through operation `k` and checks every result bit for
// bit against the model.
template <class In>
void expect_op_model(op_kind k, const request &q, const std::vector<In> &host) {
    SCOPED_TRACE(std::string(op_name(k)) + " " + q.name + " " + elem<In>::name() + " nout " +
                 std::to_string(q.nout) + " len " + std::to_string(q.len));
    expect_inside(q);
    with_op<In>(k, [&](const auto &op) {
        using P = typename std::decay_t<decltype(op)>::part;
        const op_outcome<P> r = run_op<P>(k, q, host);
        ASSERT_EQ(r.code, 0);
        const std::vector<P> want = model_of(op, q, host);
        ASSERT_EQ(want.size(), r.got.size());
        size_t bad = 0, first = 0;
        for (size_t o = 0; o < want.size(); ++o)
            if (!same_result(r.got[o], want[o]) && bad++ == 0) first = o;
        EXPECT_EQ(bad, 0u) << "first differing result " << first << ": got "
                           << shown(r.got[first]) << ", model " << shown(want[first]);
    });
}

}  // namespace rmodel
