// Gradients of every element type against a host model, bit for bit, over
// shapes across the 16 x 16 blocks and their halos, extents of 1 included;
// the worked examples, integer wrap-around and logical bytes; refused shapes
// and pending errors.
#include "support.h"
#include "support/exports.h"

#include <climits>
#include <random>

namespace {

using namespace at;

using grad_fn = pkrError (*)(void *, void *, void *, unsigned, unsigned);

struct shape {
    unsigned m, n;
};
const shape shapes[] = {{2, 2}, {3, 4}, {17, 17}, {17, 33}, {33, 17}, {1, 20}, {20, 1}, {1, 1}, {16, 16}};

// The one-dimensional rule of the model: one-sided differences on the
// borders, central ones halved inside, 0 along an extent of 1. Integers in
// 64 bits, wrapped to 32; logical elements through 0 and 1.
long double wrap(long double v, bool is_signed) {
    const uint32_t u = uint32_t(uint64_t(int64_t(v)));
    return is_signed ? (long double)int32_t(u) : (long double)u;
}
template <class T>
T derivative(T lo, T c, T hi, size_t at, size_t extent) {
    if (extent == 1) return T(0);
    if constexpr (std::is_floating_point<T>::value) {
        if (at == 0) return T(hi - c);
        if (at == extent - 1) return T(c - lo);
        return T(T(hi - lo) * T(0.5));
    } else if constexpr (std::is_same<T, unsigned char>::value) {
        const int a = lo != 0, b = c != 0, d = hi != 0;
        const int v = at == 0 ? d - b : at == extent - 1 ? b - a : (d - a) / 2;
        return T(v != 0);
    } else {
        const bool s = std::is_signed<T>::value;
        const int64_t a = lo, b = c, d = hi;
        if (at == 0) return T(int64_t(wrap((long double)(d - b), s)));
        if (at == extent - 1) return T(int64_t(wrap((long double)(b - a), s)));
        const int64_t w = int64_t(wrap((long double)(d - a), s));
        return T(s ? w / 2 : w >> 1);
    }
}

template <class T>
void model(const std::vector<T> &x, unsigned m, unsigned n, std::vector<T> &slow, std::vector<T> &fast) {
    slow.assign(x.size(), T(0));
    fast.assign(x.size(), T(0));
    auto at = [&](size_t i, size_t j) { return x[i * n + j]; };
    for (size_t i = 0; i < m; ++i)
        for (size_t j = 0; j < n; ++j) {
            slow[i * n + j] = derivative(i > 0 ? at(i - 1, j) : T(0), at(i, j), i + 1 < m ? at(i + 1, j) : T(0), i, m);
            fast[i * n + j] = derivative(j > 0 ? at(i, j - 1) : T(0), at(i, j), j + 1 < n ? at(i, j + 1) : T(0), j, n);
        }
}

// Reals of both signs; integers over their whole range, so that most
// differences wrap; logical bytes of any value, a third of them 0.
template <class T>
std::vector<T> input(size_t count, unsigned seed) {
    std::mt19937 g(seed);
    std::vector<T> v(count);
    for (auto &e : v) {
        if constexpr (std::is_floating_point<T>::value)
            e = T(std::uniform_real_distribution<double>(-100, 100)(g));
        else if constexpr (std::is_same<T, unsigned char>::value)
            e = g() % 3 == 0 ? 0 : T(g());
        else
            e = T(g());
    }
    return v;
}

template <class T>
pkrError run(grad_fn fn, const std::vector<T> &x, unsigned m, unsigned n, std::vector<T> &slow,
             std::vector<T> &fast) {
    device_matrix din(as_bytes(x));
    out_buffer ds(x.size() * sizeof(T)), df(x.size() * sizeof(T));
    const pkrError e = fn(ds.p(), df.p(), din.p, m, n);
    const std::vector<unsigned char> bs = ds.read(), bf = df.read();
    slow.resize(x.size());
    fast.resize(x.size());
    std::memcpy(slow.data(), bs.data(), bs.size());
    std::memcpy(fast.data(), bf.data(), bf.size());
    return e;
}

template <class T>
void check_type(grad_fn fn, const char *kernel) {
    unsigned seed = 1;
    for (const shape &s : shapes) {
        const std::string what = std::string(kernel) + " " + std::to_string(s.m) + " x " + std::to_string(s.n);
        SCOPED_TRACE(what);
        const std::vector<T> x = input<T>(size_t(s.m) * s.n, seed++);
        std::vector<T> slow, fast, want_slow, want_fast;
        ASSERT_EQ(run(fn, x, s.m, s.n, slow, fast), 0);
        EXPECT_EQ(last_error(), 0);
        model(x, s.m, s.n, want_slow, want_fast);
        expect_bytes(as_bytes(slow), as_bytes(want_slow), sizeof(T), what + " dslow");
        expect_bytes(as_bytes(fast), as_bytes(want_fast), sizeof(T), what + " dfast");
#if defined(DEV_BACKEND_SIM)
        const sim::call l = last_launch();
        EXPECT_EQ(l.name, std::string("gradient<") + kernel + ">");
        EXPECT_EQ(l.grid.x, (s.m + 15) / 16);
        EXPECT_EQ(l.grid.y, (s.n + 15) / 16);
        EXPECT_EQ(l.block.x, 16u);
        EXPECT_EQ(l.block.y, 16u);
#endif
    }
}

TEST(Grad, EveryTypeMatchesTheModel) {
    testenv::device_env env;
#if defined(DEV_BACKEND_SIM)
    start_log();
#endif
    check_type<double>(&pkr_grad_f64, "double");
    check_type<float>(&pkr_grad_f32, "float");
    check_type<int>(&pkr_grad_i32, "int");
    check_type<unsigned>(&pkr_grad_u32, "unsigned int");
    check_type<unsigned char>(&pkr_grad_b, "unsigned char");
}

TEST(Grad, WorkedExamples) {
    testenv::device_env env;
    std::vector<float> fs, ff;
    ASSERT_EQ(run(&pkr_grad_f32, std::vector<float>{1, 2, 3, 5}, 2, 2, fs, ff), 0);
    EXPECT_EQ(fs, (std::vector<float>{2, 3, 2, 3}));
    EXPECT_EQ(ff, (std::vector<float>{1, 1, 2, 2}));

    std::vector<int> is, ifa;
    ASSERT_EQ(run(&pkr_grad_i32, std::vector<int>{0, 0, 0, 0, 7, 0, 0, 0, 0}, 3, 3, is, ifa), 0);
    EXPECT_EQ(ifa[4], 0);
    EXPECT_EQ(is[4], 0);
    ASSERT_EQ(run(&pkr_grad_i32, std::vector<int>{0, 5, 0, 0, 7, 0, 0, 0, 0}, 3, 3, is, ifa), 0);
    EXPECT_EQ(is[4], -2);

    // First column (5, 2, 1): 2 - 5 and 1 - 2 modulo 2^32, (1 - 5) mod 2^32 >> 1.
    std::vector<unsigned> us, uf;
    ASSERT_EQ(run(&pkr_grad_u32, std::vector<unsigned>{5, 0, 2, 0, 1, 0}, 3, 2, us, uf), 0);
    EXPECT_EQ(us[0], 4294967293u);
    EXPECT_EQ(us[2], 2147483646u);
    EXPECT_EQ(us[4], 4294967295u);

    // Wrapping int differences along a row: INT_MAX - INT_MIN is -1;
    // 1 - INT_MIN wraps to -2147483647, halved toward zero; INT_MIN - 1 wraps
    // to INT_MAX; -1 - INT_MAX is INT_MIN without wrapping.
    ASSERT_EQ(run(&pkr_grad_i32, std::vector<int>{INT_MIN, INT_MAX, 1, INT_MAX, INT_MIN, -1}, 1, 6, is, ifa), 0);
    EXPECT_EQ(ifa, (std::vector<int>{-1, -1073741823, 0, 1073741823, -1073741824, INT_MAX}));
    EXPECT_EQ(is, std::vector<int>(6, 0));

    // Logical: any nonzero byte is true; false everywhere inside.
    std::vector<unsigned char> bs, bf;
    ASSERT_EQ(run(&pkr_grad_b, std::vector<unsigned char>{0, 7, 255, 2, 0, 1, 9, 9, 0}, 3, 3, bs, bf), 0);
    EXPECT_EQ(bs, (std::vector<unsigned char>{1, 1, 0, 0, 0, 0, 0, 1, 1}));
    EXPECT_EQ(bf, (std::vector<unsigned char>{1, 0, 0, 1, 0, 1, 0, 0, 1}));
}

// An empty grid or one above 65535 blocks: 7, stored, nothing written; a
// pending error cancels one call.
TEST(Grad, RefusedShapesAndPendingErrors) {
    testenv::device_env env;
    device_matrix in(std::vector<unsigned char>(64, 0));
    out_buffer ds(64), df(64);
    const shape refused[] = {{0, 4}, {4, 0}, {1048561, 1}, {1, 1048561}};
    for (const shape &s : refused) {
        SCOPED_TRACE(std::to_string(s.m) + " x " + std::to_string(s.n));
        torvane_clear_error();
        EXPECT_EQ(pkr_grad_u32(ds.p(), df.p(), in.p, s.m, s.n), 7);
        EXPECT_EQ(last_error(), 7);
    }
    leave_pending();
    EXPECT_EQ(pkr_grad_f64(ds.p(), df.p(), in.p, 2, 2), 7);
    EXPECT_EQ(last_error(), 7);
    EXPECT_TRUE(ds.untouched());
    EXPECT_TRUE(df.untouched());
    EXPECT_EQ(pkr_grad_f64(ds.p(), df.p(), in.p, 2, 2), 0);
    EXPECT_EQ(last_error(), 0);
}

// Every array entry and nothing else of their families leaves the library.
TEST(Grad, ExportedEntries) {
    EXPECT_EQ(testenv::exported_names(TORVANE_LIB_PATH, {"grad", "gradient"}),
              (std::set<std::string>{"pkr_grad_f64", "pkr_grad_f32", "pkr_grad_i32", "pkr_grad_u32",
                                     "pkr_grad_b"}));
    EXPECT_EQ(testenv::exported_names(TORVANE_LIB_PATH, {"diff"}),
              (std::set<std::string>{"pkr_diff_f64", "pkr_diff_f32"}));
}

}  // namespace
