// What all, any, max and min give for the values that show their rules:
// zeros of both signs, NaN, infinities, the start values, logical bytes other
// than 0 and 1, complex ties of magnitude, and positions beyond 2^24.
#include "ops.h"

#include <limits>

namespace {

using namespace rmodel;

// Where a row is checked: on the host finish of a vector, in the kernels (a
// column, and both rows of a two-row matrix holding the input twice), or both.
enum class where { both, vector, kernels };

// The results of operation k over v, the ways `w` asks for.
template <class P, class In>
std::vector<P> results_by(op_kind k, const std::vector<In> &v, where w) {
    const uint32_t n = uint32_t(v.size());
    std::vector<P> out;
    auto add = [&](const request &q, const std::vector<In> &in) {
        const op_outcome<P> r = run_op<P>(k, q, in);
        EXPECT_EQ(r.code, 0) << q.name;
        out.insert(out.end(), r.got.begin(), r.got.end());
    };
    if (w != where::kernels) add(vector_of(n), v);
    if (w != where::vector) {
        add(columns(n, 1), v);
        std::vector<In> twice(2 * size_t(n));
        for (size_t i = 0; i < n; ++i) twice[2 * i] = twice[2 * i + 1] = v[i];
        add(rows_of(2, n), twice);
    }
    return out;
}

// A case: operation k over the input `in` gives `want`, checked where `w` says.
template <class In, class P>
struct value_row {
    const char *what;
    op_kind k;
    std::vector<In> in;
    P want;
    where w = where::both;
};

template <class Rows>
void expect_rows(const Rows &rows) {
    for (const auto &r : rows) {
        using In = typename decltype(r.in)::value_type;
        using P = decltype(r.want);
        SCOPED_TRACE(std::string(r.what) + ": " + op_name(r.k) + " " + elem<In>::name());
        for (const P &got : results_by<P>(r.k, r.in, r.w))
            EXPECT_TRUE(same_result(got, r.want))
                << "got " << shown(got) << ", want " << shown(r.want);
    }
}

template <class R>
class RealValues : public ReduceTest {};
using real_types = ::testing::Types<float, double>;
TYPED_TEST_SUITE(RealValues, real_types);

TYPED_TEST(RealValues, AllAndAny) {
    using R = TypeParam;
    const R nan = std::numeric_limits<R>::quiet_NaN(), inf = std::numeric_limits<R>::infinity();
    using V = std::vector<R>;
    const value_row<R, unsigned char> rows[] = {
        {"every member nonzero", op_kind::all, V{1, 2, 3}, 1},
        {"a zero", op_kind::all, V{1, 0, 3}, 0},
        {"zeros", op_kind::any, V{0, 0, 0}, 0},
        {"a nonzero", op_kind::any, V{0, 0, 5}, 1},
        {"NaN is nonzero", op_kind::all, V{nan}, 1},
        {"NaN among ones", op_kind::all, V{nan, 1}, 1},
        {"NaN after a zero", op_kind::any, V{0, nan}, 1},
        {"-0 is zero", op_kind::any, V{-R(0), 0}, 0},
        {"-0 among ones", op_kind::all, V{1, -R(0)}, 0},
        {"infinities are nonzero", op_kind::all, V{-inf, 1, inf}, 1},
        {"a subnormal is nonzero", op_kind::any, V{0, std::numeric_limits<R>::denorm_min()}, 1},
    };
    expect_rows(rows);
}

TYPED_TEST(RealValues, MaxAndMin) {
    using R = TypeParam;
    const R nan = std::numeric_limits<R>::quiet_NaN(), inf = std::numeric_limits<R>::infinity();
    const R big = std::numeric_limits<R>::max();
    using V = std::vector<R>;
    const value_row<R, R> rows[] = {
        {"only NaN", op_kind::max, V(5, nan), -big},
        {"only NaN", op_kind::min, V(5, nan), big},
        {"NaN passed over", op_kind::max, V{1, nan, 3}, 3},
        {"NaN passed over", op_kind::min, V{nan, 4, 2, nan}, 2},
        {"-inf stays below the start value", op_kind::max, V(3, -inf), -big},
        {"+inf stays above the start value", op_kind::min, V(3, inf), big},
        {"+inf wins", op_kind::max, V{1, inf, nan}, inf},
        {"the start value as data", op_kind::max, V{-big, -inf}, -big},
    };
    expect_rows(rows);
}

TYPED_TEST(RealValues, Positions) {
    using R = TypeParam;
    using P = ranked<R>;
    const R nan = std::numeric_limits<R>::quiet_NaN(), inf = std::numeric_limits<R>::infinity();
    const R big = std::numeric_limits<R>::max();
    using V = std::vector<R>;
    const value_row<R, P> rows[] = {
        {"the first of equal extrema", op_kind::max_idx, V{3, 7, 7, 1}, {7, 2}},
        {"the last member", op_kind::min_idx, V{3, 7, 7, 1}, {1, 4}},
        {"NaN passed over", op_kind::max_idx, V{nan, 2, nan}, {2, 2}},
        {"only NaN: the start pair", op_kind::max_idx, V(4, nan), {-big, 1}},
        {"only NaN: the start pair", op_kind::min_idx, V(4, nan), {big, 1}},
        {"-inf: the start pair", op_kind::max_idx, V(3, -inf), {-big, 1}},
        {"large negative values", op_kind::max_idx, V{R(-1e30), R(-2e30)}, {R(-1e30), 1}},
        {"the start value ties with the start pair", op_kind::max_idx, V{-inf, -big}, {-big, 1}},
    };
    expect_rows(rows);

    // Positions count members along the reduced dimension: rows within each
    // column of a 3 x 2 matrix.
    const op_outcome<P> cols = run_op<P>(op_kind::max_idx, columns(3, 2), V{1, 5, 5, 9, 0, 9});
    ASSERT_EQ(cols.code, 0);
    EXPECT_TRUE(same_result(cols.got[0], P{5, 2})) << shown(cols.got[0]);
    EXPECT_TRUE(same_result(cols.got[1], P{9, 1})) << shown(cols.got[1]);
}

class OpsValues : public ReduceTest {};

// A complex element is zero only when both parts are: all and any test it
// alike, so all of 1 + 0i is 1, as is all of real data held as complex.
TEST_F(OpsValues, ComplexAllAndAny) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    using V = std::vector<float2>;
    const value_row<float2, unsigned char> rows[] = {
        {"one zero part", op_kind::all, V{{1, 0}}, 1},
        {"one zero part", op_kind::any, V{{1, 0}}, 1},
        {"real data held as complex", op_kind::all, V{{1, 0}, {2, 0}}, 1},
        {"both parts nonzero", op_kind::all, V{{1, 1}, {2, -3}}, 1},
        {"zeros", op_kind::any, V{{0, 0}, {-0.0f, -0.0f}}, 0},
        {"a zero", op_kind::all, V{{0, 3}, {0, -0.0f}}, 0},
        {"NaN with a nonzero part", op_kind::all, V{{nan, 1}}, 1},
        {"NaN with a zero part", op_kind::all, V{{nan, 0}}, 1},
    };
    expect_rows(rows);
    std::vector<value_row<double2, unsigned char>> wide;
    for (const auto &r : rows) {
        wide.push_back({r.what, r.k, {}, r.want});
        for (const float2 &z : r.in) wide.back().in.push_back({z.x, z.y});
    }
    expect_rows(wide);
}

// Logical bytes count as true whatever their value, and compare unsigned;
// every result byte is 0 or 1.
TEST_F(OpsValues, LogicalBytes) {
    using V = std::vector<unsigned char>;
    const value_row<unsigned char, unsigned char> rows[] = {
        {"bytes of other values", op_kind::all, V{2, 255}, 1},
        {"a byte of another value", op_kind::any, V{0, 200, 0}, 1},
        {"a zero byte", op_kind::all, V{2, 0, 7}, 0},
        {"ones", op_kind::max, V{0, 1, 0}, 1},
        {"ones", op_kind::min, V{0, 1, 0}, 0},
        {"unsigned comparison", op_kind::max, V{200, 100}, 200},
        {"unsigned comparison", op_kind::min, V{100, 200}, 100},
        {"the start value as data", op_kind::min, V(4, 255), 255},
    };
    expect_rows(rows);
}

// Complex max and min by magnitude, with the ties and NaN magnitudes of the
// value rule (the later value wins) and of the position rule (the running
// pair stays).
TEST_F(OpsValues, ComplexMaxAndMin) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float big = std::numeric_limits<float>::max();
    using V = std::vector<float2>;
    using P = ranked<float2>;
    const value_row<float2, float2> rows[] = {
        {"equal magnitudes: the later", op_kind::max, V{{3, 4}, {-5, 0}}, {-5, 0}, where::both},
        {"equal magnitudes: the later", op_kind::min, V{{3, 4}, {-5, 0}}, {-5, 0}, where::both},
        // 1 + (5/12)^2 fused into one rounding would give 12.999999 for (12, 5).
        {"|(12, 5)| is 13", op_kind::max, V{{13, 0}, {12, 5}}, {12, 5}, where::both},
        {"|(12, 5)| is 13", op_kind::min, V{{13, 0}, {12, 5}}, {12, 5}, where::both},
        {"NaN magnitude, then a smaller one", op_kind::max, V{{1, 0}, {nan, 0}, {0.5f, 0}},
         {0.5f, 0}, where::vector},
        {"NaN magnitude last", op_kind::max, V{{1, 0}, {nan, 0}}, {nan, 0}, where::vector},
        {"+inf ties with the start value", op_kind::min, V{{inf, 0}}, {inf, 0}, where::vector},
        {"+inf gives way to a thread without members", op_kind::min, V{{inf, 0}}, {big, big},
         where::kernels},
        {"NaN gives way to a thread without members", op_kind::max, V{{nan, 0}}, {0, 0},
         where::kernels},
        {"NaN gives way to a thread without members", op_kind::min, V{{nan, 0}}, {big, big},
         where::kernels},
        {"a single NaN on the host", op_kind::max, V{{nan, 0}}, {nan, 0}, where::vector},
    };
    expect_rows(rows);

    const value_row<float2, P> pos_rows[] = {
        {"equal magnitudes: the running pair", op_kind::max_idx, V{{3, 4}, {-5, 0}}, {{3, 4}, 1}},
        {"equal parts: the first position", op_kind::max_idx, V{{3, 4}, {3, 4}}, {{3, 4}, 1}},
        {"|(12, 5)| is 13", op_kind::max_idx, V{{13, 0}, {12, 5}}, {{13, 0}, 1}},
        {"zeros: the start pair", op_kind::max_idx, V(3, float2{0, 0}), {{0, 0}, 1}},
        {"NaN never enters", op_kind::max_idx, V{{1, 0}, {nan, 0}}, {{1, 0}, 1}},
        {"+inf ties with the start value, other parts", op_kind::min_idx, V{{inf, 0}},
         {{big, big}, 1}},
    };
    expect_rows(pos_rows);

    // A tie of magnitude follows the kernel's order, not the positions: in a
    // column of 300, position 256 is thread 255's only member, position 257
    // thread 0's second, and the lower thread's pair survives the halving.
    V col(300, float2{1, 1});
    col[255] = {5, 0};
    col[256] = {0, 5};
    const op_outcome<P> r = run_op<P>(op_kind::max_idx, columns(300, 1), col);
    ASSERT_EQ(r.code, 0);
    EXPECT_TRUE(same_result(r.got[0], P{{0, 5}, 257})) << shown(r.got[0]);
}

// Positions are floats: beyond 2^24 they round to nearest even.
TEST_F(OpsValues, PositionsBeyond2To24) {
    const uint32_t n = (1u << 24) + 4;
    std::vector<float> v(n, 0.0f);
    v[(1u << 24) + 2] = 1.0f;  // position 2^24 + 3
    using P = ranked<float>;
    const op_outcome<P> r = run_op<P>(op_kind::max_idx, vector_of(n), v);
    ASSERT_EQ(r.code, 0);
    EXPECT_TRUE(same_result(r.got[0], P{1.0f, 16777220.0f})) << shown(r.got[0]);
}

}  // namespace
