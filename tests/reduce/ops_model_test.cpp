// all, any, max and min, with and without positions, bit for bit against the
// host model of their order: every operation, element type and case, with
// the member that decides each result first, inside a later block's range or
// last, across the plan's edges and the runs of 65535 results.
#include "ops.h"

#include <functional>

namespace {

using namespace rmodel;

// ------------------------------------------------------------------ data

template <class In>
constexpr bool is_cplx = elem<In>::cplx;

// A real value of the test data: wide values and the values that stress the
// rules, chosen by `r`.
template <class R>
R real_of(std::mt19937 &g) {
    return R(wide(g));
}

// Complex values of a few magnitudes, each reached by several parts, so that
// ties of magnitude occur throughout: (a, b) of a Pythagorean triple, either
// way round and with any signs, times 2^e.
template <class C>
C pythagorean(std::mt19937 &g, const int (*triples)[2], unsigned count, int e) {
    using R = decltype(C{}.x);
    const int *t = triples[g() % count];
    const bool swap = g() & 1;
    R a = R(std::ldexp(t[swap ? 1 : 0], e)), b = R(std::ldexp(t[swap ? 0 : 1], e));
    if (g() & 1) a = -a;
    if (g() & 1) b = -b;
    return C{a, b};
}
const int small_triples[][2] = {{3, 4}, {5, 12}, {8, 15}, {7, 24}, {20, 21}, {13, 0}, {0, 5}};
const int big_triples[][2] = {{16, 63}, {25, 60}, {33, 56}, {39, 52}, {65, 0}};  // all |65|
const int tiny_triples[][2] = {{3, 4}, {5, 0}, {0, 5}};                             // all |5|

enum class role { background, decider };

// The elements of one operation's data: `background` fills the input,
// `decider` is the member that decides a result (for max and min also the
// ones that tie with it).
template <class In>
In element_for(op_kind k, role w, std::mt19937 &g) {
    using F = std::numeric_limits<typename elem<In>::part>;
    const bool dec = w == role::decider;
    const unsigned r = g();
    const bool greater = k == op_kind::max || k == op_kind::max_idx;
    if constexpr (std::is_same<In, unsigned char>::value) {
        switch (k) {
        case op_kind::all: return dec ? 0 : 1 + r % 255;
        case op_kind::any: return dec ? (r % 2 ? 2 : 200) : 0;
        default:
            if (greater) return dec ? (r % 2 ? 255 : 200) : r % 200;
            return dec ? (r % 2 ? 0 : 55) : 56 + r % 200;
        }
    } else if constexpr (is_cplx<In>) {
        using R = decltype(In{}.x);
        const R nan = std::numeric_limits<R>::quiet_NaN(), inf = std::numeric_limits<R>::infinity();
        const R big = std::numeric_limits<R>::max();
        switch (k) {
        case op_kind::all: {
            const In zeros[] = {{0, 0}, {-0.0f, 0}, {0, -0.0f}, {-0.0f, -0.0f}};
            const In others[] = {{1, 0}, {0, -2}, {nan, 0}, {0, -inf}};
            if (dec) return zeros[r % 4];
            return r % 8 < 4 ? others[r % 4] : In{real_of<R>(g), real_of<R>(g)};
        }
        case op_kind::any: {
            const In zeros[] = {{0, 0}, {-0.0f, 0}, {0, -0.0f}, {-0.0f, -0.0f}};
            const In others[] = {{1, 0}, {0, -1}, {nan, 0}, {0, inf}};
            return dec ? others[r % 4] : zeros[r % 4];
        }
        default:
            if (dec)
                return greater ? pythagorean<In>(g, big_triples, 5, 4)
                               : pythagorean<In>(g, tiny_triples, 3, -6);
            // The start value itself, rarely a NaN part, else magnitudes
            // from 5/8 to 29*8 with many ties.
            if (r % 64 == 0) return greater ? In{0, 0} : In{big, big};
            if (r % 1024 == 1) return In{nan, 1};
            return pythagorean<In>(g, small_triples, 7, int(r % 7) - 3);
        }
    } else {
        using R = In;
        const R nan = F::quiet_NaN(), inf = F::infinity(), big = F::max(), sub = F::denorm_min();
        switch (k) {
        case op_kind::all: {
            const R others[] = {nan, inf, -inf, sub, -big};
            if (dec) return r % 2 ? R(0) : -R(0);
            return r % 4 == 0 ? others[(r / 4) % 5] : real_of<R>(g);
        }
        case op_kind::any: {
            const R others[] = {nan, R(1), -inf, sub, R(-3.5)};
            return dec ? others[r % 5] : (r % 2 ? R(0) : -R(0));
        }
        default: {
            const R s = greater ? R(1) : R(-1);
            if (dec) return r % 4 == 0 ? s * inf : s * R(std::ldexp(1 + (r % 1000) / 1000.0, 13));
            // NaNs, the opposite infinity, the start value, zeros of both
            // signs, and wide values below 2^13 in magnitude.
            switch (r % 16) {
            case 0: return nan;
            case 1: return -s * inf;
            case 2: return -s * big;
            case 3: return (r / 16) % 2 ? R(0) : -R(0);
            default: return real_of<R>(g);
            }
        }
        }
    }
}

// The input of `q` for operation `k`: background everywhere, and in each
// result o the decider at member first, inside a later block's range, or
// last, by (o + rot) mod 3; for max and min also a tie later on.
template <class In>
std::vector<In> planted(op_kind k, const request &q, unsigned rot, unsigned seed) {
    std::mt19937 g(seed);
    std::vector<In> v(q.nelem);
    for (auto &x : v) x = element_for<In>(k, role::background, g);
    const uint64_t len = q.members();
    for (uint64_t o = 0; o < q.results(); ++o) {
        const uint64_t mid = len > 512 + 1 ? 512 + (o * 37) % (len - 512) : len / 2;
        const uint64_t at[] = {0, mid, len - 1};
        const uint64_t kd = at[(o + rot) % 3];
        v[q.index(o, kd)] = element_for<In>(k, role::decider, g);
        if (k != op_kind::all && k != op_kind::any && kd + 1 < len)
            v[q.index(o, kd + 1 + (len - kd - 1) / 2)] = element_for<In>(k, role::decider, g);
    }
    return v;
}

template <class In>
void expect_planted(const request &q, unsigned rots = 1) {
    for (op_kind k : every_op) {
        if (!served<In>(k)) continue;
        for (unsigned rot = 0; rot < rots; ++rot) {
            SCOPED_TRACE("decider rotation " + std::to_string(rot));
            expect_op_model<In>(k, q, planted<In>(k, q, rot, 7 * rot + q.len));
        }
    }
}

// ------------------------------------------------------------------ tests

template <class In>
class OpsModel : public ReduceTest {};
using elem_types = ::testing::Types<float, double, float2, double2, unsigned char>;
TYPED_TEST_SUITE(OpsModel, elem_types);

// Every case with one and several blocks per result, and the plan's edges:
// 512 and 513 members, vectors of 256/257 and 512/513 elements.
TYPED_TEST(OpsModel, EveryCase) {
    const request vectors[] = {
        vector_of(1),   vector_of(2),   vector_of(256),  vector_of(257),
        vector_of(512), vector_of(513), vector_of(1000), vector_of(70001),
    };
    for (const request &q : vectors) expect_planted<TypeParam>(q, 3);
    const request cases[] = {
        columns(512, 3),    columns(513, 3),     columns(5000, 4),  columns(1, 40),
        columns(5, 100),    columns(255, 33),    rows_of(1, 3000),  rows_of(37, 1500),
        rows_of(700, 2),    rows_of(5, 1),       middle(10, 700, 4), middle(40, 513, 3),
        slabs(5, 600, 7),   slabs(1, 2000, 3),   last_dim(6, 4, 700), last_dim(33, 2, 1100),
    };
    for (const request &q : cases) expect_planted<TypeParam>(q);
}

// Runs of 65535 results: 65535 in one, 131071 in three, 70000 as 65535 and
// 4465, runs after the first starting inside a group of results; positions
// go to the run's part of the position array.
class OpsModelBig : public ReduceTest {};

TEST_F(OpsModelBig, RunsOf65535) {
    struct row {
        op_kind k;
        request q;
        std::function<void(op_kind, const request &)> check;
    };
    auto with = [](auto in) {
        using In = decltype(in);
        return [](op_kind k, const request &q) {
            expect_op_model<In>(k, q, planted<In>(k, q, 0, q.nout));
        };
    };
    const row rows[] = {
        {op_kind::min_idx, rows_of(131071, 2), with(float{})},
        {op_kind::max_idx, last_dim(1000, 70, 3), with(double{})},
        {op_kind::max, columns(2, 65535), with(float{})},
        {op_kind::min, middle(1000, 3, 70), with(double{})},
        {op_kind::all, middle(1000, 3, 70), with((unsigned char)0)},
        {op_kind::any, last_dim(1000, 70, 3), with(float2{})},
    };
    for (const row &r : rows) r.check(r.k, r.q);
}

}  // namespace

namespace {

// Vectors long enough that each thread reads its members in two batches or
// more (32768 threads, up to 128 bytes read ahead each): the decider lies
// in a thread's first batch, in a later one, or last.
template <class In>
void expect_early_exit() {
    const uint32_t n = 2 * 32768 * (128 / sizeof(In) < 32 ? 128 / sizeof(In) : 32) + 3;
    const request q = vector_of(n);
    for (op_kind k : {op_kind::all, op_kind::any})
        for (unsigned rot = 0; rot < 3; ++rot)
            expect_op_model<In>(k, q, planted<In>(k, q, rot, rot));
}

TEST_F(OpsModelBig, EarlyExit) {
    expect_early_exit<float>();
    expect_early_exit<unsigned char>();
    expect_early_exit<double2>();
}

}  // namespace
