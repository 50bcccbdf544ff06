// The sum, minimum and maximum over the columns of the second operand, bit
// for bit against a host fold in the same order, with ties, NaN and
// infinities, positions, pages, and the codes that no kernel serves.
#include "support.h"

#include <cfloat>
#include <limits>

namespace {

using namespace mt;

template <class T> struct type_kind;
template <> struct type_kind<float> { static constexpr kind k = kf; };
template <> struct type_kind<double> { static constexpr kind k = kd; };
template <> struct type_kind<float2> { static constexpr kind k = kc; };
template <> struct type_kind<double2> { static constexpr kind k = kdc; };

template <class T> struct is_cplx : std::false_type {};
template <> struct is_cplx<float2> : std::true_type {};
template <> struct is_cplx<double2> : std::true_type {};

template <class T> T largest();
template <> float largest<float>() { return FLT_MAX; }
template <> double largest<double>() { return DBL_MAX; }

double magnitude(double re, double im) {
    if (std::isnan(re) || std::isnan(im)) return std::numeric_limits<double>::quiet_NaN();
    const double a = std::fabs(re), b = std::fabs(im);
    const double hi = a > b ? a : b, lo = a > b ? b : a;
    if (hi == 0 || hi > DBL_MAX) return hi;
    const double r = lo / hi;
    return hi * std::sqrt(1.0 + r * r);
}

// The fold of one column: value and position.
template <class T>
struct folded {
    T v;
    float pos = 1;
};

template <class T>
folded<T> fold_real(const T *x, int K, int op) {
    folded<T> s;
    const bool greater = op == 3 || op == 30;
    s.v = op == 1 ? T(0) : (greater ? -largest<T>() : largest<T>());
    for (int k = 0; k < K; ++k) {
        if (op == 1) {
            s.v = s.v + x[k];
        } else if (greater ? x[k] > s.v : x[k] < s.v) {
            s.v = x[k];
            s.pos = float(k + 1);
        }
    }
    return s;
}

template <class T>
folded<T> fold_cplx(const T *x, int K, int op) {
    using part = decltype(x->x);
    folded<T> s;
    const bool greater = op == 3;
    s.v.x = op == 1 || greater ? part(0) : largest<part>();
    s.v.y = 0;
    // Magnitudes that overflow rank by their halves: an infinite part's
    // stays infinite, finite parts' do not.
    double m = 0, half = 0;
    for (int k = 0; k < K; ++k) {
        if (op == 1) {
            s.v.x = s.v.x + x[k].x;
            s.v.y = s.v.y + x[k].y;
            continue;
        }
        const double mk = magnitude(x[k].x, x[k].y);
        const double hk = std::isinf(mk) ? magnitude(x[k].x / 2, x[k].y / 2) : mk;
        const bool ahead = mk == m ? (greater ? hk > half : hk < half) : (greater ? mk > m : mk < m);
        if (k == 0 || std::isnan(m) || ahead) {
            s.v = x[k];
            m = mk;
            half = hk;
        }
    }
    return s;
}

template <class T>
folded<T> fold(const T *x, int K, int op) {
    if constexpr (is_cplx<T>::value)
        return fold_cplx(x, K, op);
    else
        return fold_real(x, K, op);
}

// Values with ties, both signed zeros, NaN and infinities.
template <class T>
std::vector<T> column_data(size_t n, unsigned seed) {
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> pick(0, 19);
    std::uniform_real_distribution<double> reals(-8, 8);
    auto part = [&]() -> double {
        switch (pick(g)) {
        case 0: return std::numeric_limits<double>::quiet_NaN();
        case 1: return std::numeric_limits<double>::infinity();
        case 2: return -std::numeric_limits<double>::infinity();
        case 3: return -0.0;
        case 4: case 5: case 6: return double(int(reals(g)));  // ties
        default: return reals(g);
        }
    };
    std::vector<T> v(n);
    for (T &x : v) {
        if constexpr (is_cplx<T>::value) {
            x.x = decltype(x.x)(part());
            x.y = decltype(x.y)(part());
        } else {
            x = T(part());
        }
    }
    return v;
}

// Bit for bit, except that any NaN matches any NaN: devices differ in the
// NaN they make of inf - inf.
template <class P>
bool same_part(P a, P b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof(P)) == 0;
}
template <class T>
bool same_bits(const unsigned char *got, const T &want) {
    T g;
    std::memcpy(&g, got, sizeof(T));
    if constexpr (is_cplx<T>::value)
        return same_part(g.x, want.x) && same_part(g.y, want.y);
    else
        return same_part(g, want);
}

struct op_case {
    int M, K, N, nA = 0, nB = 0;
};

// Runs op on B and compares C (and the positions) bit for bit with the fold.
template <class T>
void expect_fold(int op, const op_case &q, unsigned seed) {
    const kind k = type_kind<T>::k;
    SCOPED_TRACE("op " + std::to_string(op) + " on " + worker_name(k, k) + " M=" +
                 std::to_string(q.M) + " K=" + std::to_string(q.K) + " N=" + std::to_string(q.N) +
                 " nA=" + std::to_string(q.nA) + " nB=" + std::to_string(q.nB));
    const int pages = q.nB ? q.nB : 1;  // pages of B and C
    const int n = q.nA || q.nB ? q.N / q.nB : q.N;  // columns of a page
    const std::vector<T> b = column_data<T>(size_t(q.K) * q.N + 1, seed);
    const size_t cbytes = size_t(pages) * q.M * n * sizeof(T);
    const size_t pbytes = size_t(pages) * q.M * n * sizeof(float);
    device_matrix dA(64), dB(std::vector<unsigned char>(reinterpret_cast<const unsigned char *>(b.data()),
                                                        reinterpret_cast<const unsigned char *>(b.data() + b.size())));
    device_matrix dC(cbytes + guard), dP(pbytes + guard);
    const product_case pq{q.M, q.K, q.N, q.nA, q.nB};
    ASSERT_EQ(call_blas(k, k, dA.p, dB.p, dC.p, pq, op, uint64_t(uintptr_t(dP.p))), 0);
    const std::vector<unsigned char> c = dC.read(), pos = dP.read();
    const bool with_pos = op >= 20;
    for (size_t i = cbytes; i < c.size(); ++i) ASSERT_EQ(c[i], 0xA5) << "past C";
    for (size_t i = with_pos ? pbytes : 0; i < pos.size(); ++i) ASSERT_EQ(pos[i], 0xA5) << "positions";
    for (int p = 0; p < pages; ++p)
        for (int j = 0; j < n; ++j) {
            const folded<T> want = fold(b.data() + size_t(p) * q.K * n + size_t(j) * q.K, q.K, op);
            for (int i = 0; i < q.M; ++i) {
                const size_t at = size_t(p) * q.M * n + i + size_t(j) * q.M;
                ASSERT_TRUE(same_bits(c.data() + at * sizeof(T), want.v))
                    << "page " << p << " row " << i << " column " << j;
                if (with_pos) {
                    ASSERT_EQ(std::memcmp(pos.data() + at * sizeof(float), &want.pos, sizeof(float)), 0)
                        << "position, page " << p << " row " << i << " column " << j;
                }
            }
        }
}

// Shapes around the blocks (40, 48, 56 and 24 rows; 10, 12, 14 and 6
// columns), odd and even K, one row of B, K = 0, M = N = 1, and pages.
const op_case op_cases[] = {
    {3, 4, 2},   {200, 5, 1},  {41, 9, 11},     {49, 6, 13},        {57, 3, 15},
    {25, 1, 7},  {5, 0, 3},    {1, 5, 1},       {5, 7, 12, 0, 3},   {30, 4, 9, 6, 3},   {30, 3, 9, 4, 3},
    {24, 8, 36, 2, 2},
};

template <class T>
class ColumnOps : public testenv::DeviceTest {};
using op_types = ::testing::Types<float, double, float2, double2>;
TYPED_TEST_SUITE(ColumnOps, op_types);

TYPED_TEST(ColumnOps, BitExactFolds) {
    std::vector<int> ops = {1, 2, 3};
    if (!is_cplx<TypeParam>::value) ops.insert(ops.end(), {20, 30});
    unsigned seed = 1;
    for (int op : ops)
        for (const op_case &q : op_cases) expect_fold<TypeParam>(op, q, seed++);
}

// Codes without a kernel, and pages of A without pages of B, bind nothing and
// leave C alone.
TYPED_TEST(ColumnOps, CodesWithoutKernel) {
    const kind k = type_kind<TypeParam>::k;
    std::vector<int> codes = {4, 5, 21, 31, -1};
    if (is_cplx<TypeParam>::value) codes.insert(codes.end(), {20, 30});
    device_matrix dA(1024), dB(1024), dC(1024);
    for (int op : codes) {
        SCOPED_TRACE("op " + std::to_string(op));
        EXPECT_EQ(call_blas(k, k, dA.p, dB.p, dC.p, {5, 4, 3}, op), 6);
    }
    EXPECT_EQ(call_blas(k, k, dA.p, dB.p, dC.p, {5, 4, 3, 2, 0}, 1), 6);
    EXPECT_EQ(call_blas(k, k, dA.p, dB.p, dC.p, {1, 4, 1, 2, 0}, 1), 6);
    EXPECT_EQ(dC.read(), std::vector<unsigned char>(1024, 0xA5));
#if defined(DEV_BACKEND_SIM)
    call_log rec;
    call_blas(k, k, dA.p, dB.p, dC.p, {5, 4, 3}, 4);
    call_blas(k, k, dA.p, dB.p, dC.p, {5, 4, 3, 2, 0}, 2);
    EXPECT_EQ(letters(rec.take()), "") << "something bound or launched";
#endif
}

class OpCodes : public testenv::DeviceTest {};

// Columns for the positions: the first of equal extrema, NaN
// passed over, and a column with nothing below the start value.
TEST_F(OpCodes, PositionsOfExtrema) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = HUGE_VAL;
    const struct {
        int op;
        std::vector<double> column;
        double value;
        float pos;
    } cases[] = {
        {20, {5, 2, 2, 7}, 2, 2},          {30, {5, 7, 2, 7}, 7, 2},
        {20, {nan, 3, nan}, 3, 2},         {30, {nan, nan, -1, -1}, -1, 3},
        {20, {inf, inf}, DBL_MAX, 1},      {30, {-inf, nan}, -DBL_MAX, 1},
        {20, {-0.0, 0.0, -1}, -1, 3},      {30, {0.0, -0.0}, 0.0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("op " + std::to_string(c.op) + ", want " + std::to_string(c.value));
        const int K = int(c.column.size());
        device_matrix dA(64), dB(std::vector<unsigned char>(
                                  reinterpret_cast<const unsigned char *>(c.column.data()),
                                  reinterpret_cast<const unsigned char *>(c.column.data() + K)));
        device_matrix dC(3 * sizeof(double)), dP(3 * sizeof(float));
        ASSERT_EQ(call_blas(kd, kd, dA.p, dB.p, dC.p, {3, K, 1}, c.op, uint64_t(uintptr_t(dP.p))), 0);
        const std::vector<unsigned char> v = dC.read(), p = dP.read();
        for (int i = 0; i < 3; ++i) {
            double got;
            float pos;
            std::memcpy(&got, v.data() + i * sizeof(double), sizeof got);
            std::memcpy(&pos, p.data() + i * sizeof(float), sizeof pos);
            EXPECT_EQ(std::memcmp(&got, &c.value, sizeof got), 0) << got;
            EXPECT_EQ(pos, c.pos);
        }
    }
}

// Complex columns rank by magnitude; an element with a NaN part, also beside
// a zero one, never wins; the first of equal magnitudes stays.
TEST_F(OpCodes, ComplexExtremaPassOverNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> parts = {nan, 0, 3, 4, 0, nan, -2, 0, 0, -2, -0.0, nan};
    const int K = int(parts.size() / 2);
    const double want_min[2] = {-2, 0}, want_max[2] = {3, 4};
    for (int op : {2, 3}) {
        SCOPED_TRACE("op " + std::to_string(op));
        device_matrix dA(64), dB(std::vector<unsigned char>(
                                  reinterpret_cast<const unsigned char *>(parts.data()),
                                  reinterpret_cast<const unsigned char *>(parts.data() + 2 * K)));
        device_matrix dC(2 * 16);
        ASSERT_EQ(call_blas(kdc, kdc, dA.p, dB.p, dC.p, {2, K, 1}, op), 0);
        const std::vector<unsigned char> v = dC.read();
        for (int i = 0; i < 2; ++i) {
            double got[2];
            std::memcpy(got, v.data() + i * 16, 16);
            EXPECT_EQ(std::memcmp(got, op == 2 ? want_min : want_max, 16), 0)
                << got[0] << "," << got[1];
        }
    }
}

// A complex result is always an element of its column, and an infinite
// part ranks above finite parts whose magnitude overflows.
TEST_F(OpCodes, ComplexExtremaAreElements) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        kind k;
        int op;
        std::vector<double> parts;  // column of (re, im)
        double want[2];
    } cases[] = {
        {kc, 2, {FLT_MAX, -3.5}, {FLT_MAX, -3.5}},
        {kdc, 2, {DBL_MAX, -3.5}, {DBL_MAX, -3.5}},
        {kdc, 3, {DBL_MAX, DBL_MAX, 1, inf}, {1, inf}},
        {kdc, 2, {1, inf, DBL_MAX, DBL_MAX}, {DBL_MAX, DBL_MAX}},
        {kdc, 3, {-DBL_MAX, DBL_MAX, DBL_MAX, 0}, {-DBL_MAX, DBL_MAX}},
        {kdc, 2, {DBL_MAX, DBL_MAX, -DBL_MAX, DBL_MAX / 2}, {-DBL_MAX, DBL_MAX / 2}},
        {kc, 3, {0, 0}, {0, 0}},
        {kc, 3, {nan, 1}, {nan, 1}},
        {kdc, 2, {nan, 1, 0, nan}, {0, nan}},
        {kc, 3, {nan, 1, 0, 0}, {0, 0}},
    };
    for (const auto &c : cases) {
        const int K = int(c.parts.size() / 2);
        SCOPED_TRACE(std::string(c.k.code()) + " op " + std::to_string(c.op) + " K " + std::to_string(K));
        matrix B(c.k, size_t(K));
        for (int i = 0; i < K; ++i) B.set(size_t(i), {c.parts[2 * i], c.parts[2 * i + 1]});
        device_matrix dA(64), dB(B.bytes), dC(2 * c.k.size());
        ASSERT_EQ(call_blas(c.k, c.k, dA.p, dB.p, dC.p, {2, K, 1}, c.op), 0);
        matrix C(c.k, 2);
        C.bytes = dC.read();
        for (int i = 0; i < 2; ++i) {
            const cld z = C.get(size_t(i));
            EXPECT_TRUE(same_part(double(z.real()), c.want[0]) && same_part(double(z.imag()), c.want[1]))
                << double(z.real()) << "," << double(z.imag());
        }
    }
}

#if defined(DEV_BACKEND_SIM)
// Kernels, shapes and bindings of the operations (the values are the folds'
// matter above); the grid limits, checked before anything is bound.
struct op_route {
    kind k;
    op_case q;
    int op;
    const char *kernel;  // null: refused with 6, nothing bound or launched
    unsigned gx = 0, gy = 0, by = 0;  // the block is 2 x by
};
const op_route op_routes[] = {
    {kd, {200, 5, 1}, 1, "sum_kernel_dd", 5, 1, 10},
    {kd, {1, 5, 1}, 1, "sum_kernel_dd", 1, 1, 10},
    {kd, {5, 0, 3}, 3, "max_kernel_dd", 1, 1, 10},
    {kd, {30, 4, 9, 6, 3}, 2, "min_kernel_dd_tesk", 3, 1, 10},
    {kd, {81, 4, 11}, 20, "min_idx_kernel_dd", 3, 2, 10},
    {kf, {5, 3, 12, 0, 3}, 1, "sum_kernel_ff_tesk", 3, 1, 12},
    {kf, {49, 3, 13}, 2, "min_kernel_ff", 2, 2, 12},
    {kf, {57, 3, 15}, 30, "max_idx_kernel_ff", 2, 2, 14},
    {kc, {41, 9, 11}, 3, "max_kernel_cc", 2, 2, 10},
    {kdc, {25, 1, 7}, 2, "min_kernel_dcdc", 2, 2, 6},
    {kdc, {24, 2, 12, 2, 2}, 1, "sum_kernel_dcdc_tesk", 2, 2, 6},
    // one past the grid's limit on either side
    {kd, {1, 1, 655351}, 1, nullptr},
    {kc, {2621401, 1, 2}, 2, nullptr},
    {kf, {1, 1, 786421}, 3, nullptr},
    {kf, {1, 1, 917491}, 20, nullptr},
    {kf, {3669961, 1, 2}, 30, nullptr},
    {kdc, {1, 1, 393211}, 1, nullptr},
    {kd, {5, 1, 65536, 0, 65536}, 1, nullptr},
    {kf, {5, 1, 65535, 65536, 65535}, 1, "sum_kernel_ff_tesk", 65535, 5462, 12},
};

class OpRoutes : public testenv::DeviceTest {};

TEST_F(OpRoutes, KernelsShapesAndLimits) {
    SIM_ONLY();
    device_matrix dA(64), dB(4096), dC(65536), dP(65536);
    for (const op_route &r : op_routes) {
        const op_case &q = r.q;
        SCOPED_TRACE("op " + std::to_string(r.op) + " on " + worker_name(r.k, r.k) + " M=" +
                     std::to_string(q.M) + " K=" + std::to_string(q.K) + " N=" +
                     std::to_string(q.N) + " nA=" + std::to_string(q.nA) +
                     " nB=" + std::to_string(q.nB));
        // Sizes past what the buffers hold fail their binding: the log still
        // shows the launch that did not happen.
        const bool fits = size_t(q.K) * q.N * r.k.size() <= 4096;
        std::vector<sim::call> log;
        pkrError e;
        {
            call_log rec;
            e = call_blas(r.k, r.k, dA.p, dB.p, dC.p, {q.M, q.K, q.N, q.nA, q.nB}, r.op,
                          uint64_t(uintptr_t(dP.p)));
            log = rec.take();
        }
        if (!r.kernel) {
            EXPECT_EQ(e, 6);
            EXPECT_EQ(letters(log), "");
            continue;
        }
        if (!fits) {
            EXPECT_EQ(e, 7);
            ASSERT_EQ(letters(log), "B");
            EXPECT_EQ(log[0].bytes, size_t(q.K) * q.N * r.k.size());
            continue;
        }
        ASSERT_EQ(e, 0);
        // B alone is bound, over all its pages; nothing without rows of B.
        const std::string want = q.K ? "blu" : "l";
        ASSERT_EQ(letters(log), want);
        if (q.K) {
            EXPECT_EQ(log[0].src, dB.p);
            EXPECT_EQ(log[0].bytes, size_t(q.K) * q.N * r.k.size());
        }
        const sim::call &l = log[q.K ? 1 : 0];
        EXPECT_EQ(l.name.rfind("mtimes::" + std::string(r.kernel) + "<", 0), 0u) << l.name;
        EXPECT_EQ(l.grid.x, r.gx);
        EXPECT_EQ(l.grid.y, r.gy);
        EXPECT_EQ(l.block.x, 2u);
        EXPECT_EQ(l.block.y, r.by);
        EXPECT_EQ(l.block.z, 1u);
    }
}
#endif

// A grid side above 65535 is refused before anything is bound.
TEST_F(OpCodes, GridTooLarge) {
    device_matrix dA(64), dB(655360 * sizeof(double), 0), dC(655360 * sizeof(double));
    EXPECT_EQ(call_blas(kd, kd, dA.p, dB.p, dC.p, {1, 1, 655360}, 1), 6);
    EXPECT_EQ(call_blas(kd, kd, dA.p, dB.p, dC.p, {1, 1, 655350}, 1), 0);
}

// Mixed operand types ignore the code and form the product.
TEST_F(OpCodes, MixedTypesIgnoreTheCode) {
    const matrix A = random_matrix(kf, 200 * 3, 1, true), B = random_matrix(kd, 3 * 4, 2, true);
    device_matrix dA(A.bytes), dB(B.bytes), dC(200 * 4 * sizeof(float));
    ASSERT_EQ(call_blas(kf, kd, dA.p, dB.p, dC.p, {200, 3, 4}, 2), 0);
    matrix C(kf, 200 * 4);
    C.bytes = dC.read();
    const reference ref = reference_product(A, B, {200, 3, 4});
    for (size_t i = 0; i < C.count(); ++i) ASSERT_EQ(C.get(i), ref.c[i]);
}

}  // namespace
