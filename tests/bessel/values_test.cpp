// Values that the methods leave open: zero, negative and infinite arguments,
// NaN and negative orders, the side of the cut; exact in both precisions.
#include "support.h"

#include <cmath>
#include <limits>

namespace {

template <class T>
class BesselValues : public ::testing::Test {
protected:
    testenv::device_env env;
    using E = btest::entries<T>;
    static constexpr T inf = std::numeric_limits<T>::infinity();
    static constexpr T nan = std::numeric_limits<T>::quiet_NaN();

    static T one(btest::order_entry<T> f, T nu, T x) { return btest::eval<T>(f, nu, std::vector<T>{x})[0]; }
    static std::complex<T> one(btest::kind_entry<T> f, T nu, unsigned k, T x) {
        return btest::eval(f, nu, k, std::vector<T>{x})[0];
    }
    static std::complex<T> one(btest::order_entry<T> f, T nu, std::complex<T> z) {
        return btest::eval<std::complex<T>>(f, nu, std::vector<std::complex<T>>{z})[0];
    }
    static void same(T got, T want, const char *what, T nu, T x) {
        if (std::isnan(want))
            EXPECT_TRUE(std::isnan(got)) << what << " nu=" << nu << " x=" << x << ": " << got;
        else
            EXPECT_EQ(got, want) << what << " nu=" << nu << " x=" << x;
    }
};
using precisions = ::testing::Types<double, float>;
TYPED_TEST_SUITE(BesselValues, precisions);

TYPED_TEST(BesselValues, RealSpecialValues) {
    using T = TypeParam;
    using E = btest::entries<T>;
    const T inf = TestFixture::inf, nan = TestFixture::nan;
    const struct {
        const char *fn;
        btest::order_entry<T> f;
        T nu, x, want;
    } table[] = {
        // x = 0
        {"J", E::j, 0, 0, 1},      {"J", E::j, 2.5, 0, 0},     {"J", E::j, -1, 0, 0},
        {"J", E::j, -0.5, 0, inf}, {"J", E::j, -1.5, 0, -inf}, {"Y", E::y, 0, 0, -inf},
        {"Y", E::y, 1.5, 0, -inf}, {"Y", E::y, -1, 0, inf},    {"Y", E::y, -2, 0, -inf},
        {"Y", E::y, -0.5, 0, 0},   {"I", E::i, 0, 0, 1},       {"I", E::i, 3, 0, 0},
        {"I", E::i, -0.5, 0, inf}, {"I", E::i, -1.5, 0, -inf}, {"I", E::i, -2, 0, 0},
        {"K", E::k, 0, 0, inf},    {"K", E::k, 3.5, 0, inf},   {"K", E::k, -2, 0, inf},
        // infinities
        {"J", E::j, 0, inf, 0},    {"J", E::j, 0.5, -inf, 0},  {"Y", E::y, 2, inf, 0},
        {"Y", E::y, 2, -inf, 0},   {"I", E::i, 0.5, inf, inf}, {"I", E::i, 1, -inf, -inf},
        {"I", E::i, 2, -inf, inf}, {"I", E::i, 0.5, -inf, nan}, {"K", E::k, 1, inf, 0},
        {"K", E::k, 1, -inf, nan},
        // negative x where the value is complex
        {"J", E::j, 0.5, -1, nan}, {"Y", E::y, 1, -1, nan},    {"I", E::i, 0.25, -1, nan},
        {"K", E::k, 0, -1, nan},
        // NaN and out-of-range orders
        {"J", E::j, 0, nan, nan},  {"Y", E::y, nan, 1, nan},   {"I", E::i, 1, nan, nan},
        {"K", E::k, inf, 1, nan},  {"J", E::j, 1e5, 1, nan},
    };
    for (const auto &t : table) TestFixture::same(TestFixture::one(t.f, t.nu, t.x), t.want, t.fn, t.nu, t.x);
}

// Integer orders at negative x by reflection; negative integer orders.
TYPED_TEST(BesselValues, Reflections) {
    using T = TypeParam;
    using E = btest::entries<T>;
    for (T n : {0, 1, 2, 3}) {
        for (T x : {T(0.5), T(3), T(40)}) {
            const T s = std::fmod(n, T(2)) == 1 ? T(-1) : T(1);
            EXPECT_EQ(TestFixture::one(E::j, n, -x), s * TestFixture::one(E::j, n, x)) << n << " " << x;
            EXPECT_EQ(TestFixture::one(E::i, n, -x), s * TestFixture::one(E::i, n, x)) << n << " " << x;
            EXPECT_EQ(TestFixture::one(E::j, -n, x), s * TestFixture::one(E::j, n, x)) << n << " " << x;
            EXPECT_EQ(TestFixture::one(E::y, -n, x), s * TestFixture::one(E::y, n, x)) << n << " " << x;
            EXPECT_EQ(TestFixture::one(E::i, -n, x), TestFixture::one(E::i, n, x)) << n << " " << x;
            EXPECT_EQ(TestFixture::one(E::k, -n, x), TestFixture::one(E::k, n, x)) << n << " " << x;
        }
    }
}

// Real-argument H: (J, +-Y) as the parts; at x < 0 the principal value,
// H1(x e^(i pi)) = -e^(-i nu pi) H2(x), the value of the complex kernel at -x + 0i.
TYPED_TEST(BesselValues, RealHankel) {
    using T = TypeParam;
    using E = btest::entries<T>;
    using C = std::complex<T>;
    const T inf = TestFixture::inf;
    EXPECT_EQ(TestFixture::one(E::h, T(0), 1, T(0)), C(1, -inf));
    EXPECT_EQ(TestFixture::one(E::h, T(0), 2, T(0)), C(1, inf));
    EXPECT_EQ(TestFixture::one(E::h, T(1), 1, inf), C(0, 0));
    for (T nu : {T(0), T(0.3), T(1), T(-2.5)}) {
        for (T x : {T(0.7), T(2), T(30)}) {
            const C h1 = TestFixture::one(E::h, nu, 1, -x), h2 = TestFixture::one(E::h, nu, 2, x);
            const C e = std::polar(T(1), T(-M_PI) * nu);
            const T scale = std::abs(h2), tol = sizeof(T) == 8 ? 1e-14 : 2e-6;
            EXPECT_LE(std::abs(h1 + e * h2), 4 * tol * scale * (1 + x)) << nu << " " << x;
            const C z = btest::eval(E::zh, nu, 1, std::vector<C>{C(-x, 0)})[0];
            EXPECT_LE(std::abs(h1 - z), 4 * tol * scale * (1 + x)) << nu << " " << x;
        }
    }
}

TYPED_TEST(BesselValues, ComplexSpecialValues) {
    using T = TypeParam;
    using E = btest::entries<T>;
    using C = std::complex<T>;
    const T inf = TestFixture::inf, nan = TestFixture::nan;
    EXPECT_EQ(TestFixture::one(E::zj, T(0), C(0, 0)), C(1, 0));
    EXPECT_EQ(TestFixture::one(E::zj, T(2), C(0, 0)), C(0, 0));
    EXPECT_EQ(TestFixture::one(E::zy, T(1), C(0, 0)), C(-inf, 0));
    EXPECT_EQ(TestFixture::one(E::zi, T(0), C(0, 0)), C(1, 0));
    EXPECT_EQ(TestFixture::one(E::zk, T(0.5), C(0, 0)), C(inf, 0));
    EXPECT_EQ(TestFixture::one(E::zj, T(0.5), C(inf, 0)), C(0, 0));
    EXPECT_EQ(TestFixture::one(E::zk, T(0.5), C(inf, 0)), C(0, 0));
    for (C z : {C(nan, 0), C(1, nan), C(inf, 1), C(1, -inf)}) {
        for (auto f : {E::zj, E::zy, E::zi, E::zk}) {
            const C v = TestFixture::one(f, T(1), z);
            EXPECT_TRUE(std::isnan(v.real()) && std::isnan(v.imag())) << z << " " << v;
        }
    }
    // The two sides of the cut: -x - 0i mirrors -x + 0i.
    for (auto f : {E::zj, E::zy, E::zi, E::zk}) {
        const C up = TestFixture::one(f, T(0.5), C(-2, 0)), down = TestFixture::one(f, T(0.5), C(-2, -T(0)));
        EXPECT_EQ(down, std::conj(up));
        EXPECT_NE(up.imag(), 0);
    }
}

// Values at the edges of the range: results beyond it are the signed
// infinities and zeros, part by part; normal results where the intermediate
// quantities of the methods are not.
TEST(BesselRange, EdgesOfTheRange) {
    testenv::device_env env;
    using C64 = std::complex<double>;
    using C32 = std::complex<float>;
    const double inf = INFINITY;
    EXPECT_EQ(btest::eval<C64>(pkr_besselj_c64, 0.0, std::vector<C64>{C64(0, 1000)})[0], C64(inf, 0));
    EXPECT_EQ(btest::eval<C64>(pkr_bessely_z64, 100.0, std::vector<C64>{C64(1e-5, 0)})[0], C64(-inf, 0));
    const C32 j15 = btest::eval<C32>(pkr_besselj_c32, -15.0f, std::vector<C32>{C32(0.001f, 0)})[0];
    EXPECT_TRUE(j15.real() == 0 && std::signbit(j15.real()) && j15.imag() == 0) << j15;
    EXPECT_TRUE(std::signbit(btest::eval<float>(pkr_besselj_f32, -15.0f, std::vector<float>{0.001f})[0]));
    // Large orders in single precision: I_100(32.19) is a normal float.
    const struct {
        btest::order_entry<float> f;
        float nu, x;
        double want;
    } single[] = {{pkr_besseli_f32, 100, 32.19f, 6.3012827022442764e-37},
                  {pkr_besseli_f32, 200, 150, 355872781384.73078},
                  {pkr_besselk_f32, 200, 150, 5.6199769599260318e-15}};
    for (const auto &t : single) {
        const float got = btest::eval<float>(t.f, t.nu, std::vector<float>{t.x})[0];
        EXPECT_NEAR(got / t.want, 1, 1e-5) << t.nu << " " << t.x << ": " << got;
    }
    // J_+-0.5 of a tiny complex argument: sqrt(2/(pi z)) (sin z, cos z), here sqrt(2z/pi) (1, 1/z).
    for (double nu : {0.5, -0.5}) {
        const C64 z(1e-30, 1e-30), s = std::sqrt(2.0 * z / M_PI), want = nu > 0 ? s : s / z;
        const C64 got = btest::eval<C64>(pkr_besselj_c64, nu, std::vector<C64>{z})[0];
        EXPECT_LE(std::abs(got - want), 1e-15 * std::abs(want)) << nu << ": " << got;
    }
}

// The double J entries evaluate at the float nearest to their order; the
// other functions keep a double order.
TEST(BesselOrder, DoubleJRoundsTheOrderToFloat) {
    testenv::device_env env;
    const std::vector<double> xs = {0.5, 3, 17};
    const auto j = btest::eval<double>(pkr_besselj_f64, 0.1, xs);
    EXPECT_EQ(j, btest::eval<double>(pkr_besselj_f64, double(0.1f), xs));
    const auto h = btest::eval(pkr_besselh_f64, double(0.1f), 1, xs);
    const auto h_exact = btest::eval(pkr_besselh_f64, 0.1, 1, xs);
    for (size_t i = 0; i < xs.size(); ++i) {
        EXPECT_NEAR(j[i], h[i].real(), 1e-14) << xs[i];
        EXPECT_GT(std::fabs(j[i] - h_exact[i].real()), 1e-10) << xs[i];
    }
    using C = std::complex<double>;
    const std::vector<C> zs = {C(1, 1)};
    EXPECT_EQ(btest::eval<C>(pkr_besselj_c64, 0.1, zs), btest::eval<C>(pkr_besselj_c64, double(0.1f), zs));
}

}  // namespace
