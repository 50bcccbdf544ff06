// The corpus of user kernels, compiled by nvcc to PTX and run through the
// driver, against the same kernels compiled from CUDA source or against host
// references: bit for bit where the arithmetic is exact, within the
// documented error bounds of the math functions elsewhere.
#include "corpus_kernels.h"
#include "half_reference.h"
#include "harness.h"

#include <algorithm>
#include <cfenv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <random>

using ptxtest::params;
using ptxtest::ulps;
using testenv::device_alloc;
using testenv::device_free;
using testenv::from_device;
using testenv::to_device;

namespace {

class Corpus : public ptxtest::PtxTest, public ::testing::WithParamInterface<const char *> {
protected:
    dev::drv_function kernel(const std::string &name) {
        std::string text = corpus_text(name, GetParam());
        if (text.empty()) {
            ADD_FAILURE() << "corpus file " << name << "." << GetParam() << " missing";
            return nullptr;
        }
        return load_text(text);
    }
};

std::vector<float> random_floats(size_t n, float lo, float hi, unsigned seed) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<float> d(lo, hi);
    std::vector<float> v(n);
    for (float &x : v) x = d(g);
    return v;
}

template <typename T>
void expect_bits_equal(const std::vector<T> &a, const std::vector<T> &b, const char *what) {
    ASSERT_EQ(a.size(), b.size());
    size_t bad = 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(T)) != 0 && bad++ < 5)
            ADD_FAILURE() << what << " differs at " << i << ": " << a[i] << " vs " << b[i];
    EXPECT_EQ(bad, 0u) << what;
}

TEST_P(Corpus, ElementwiseGridStrideLoopMatchesTheCompiledSource) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("saxpy");
    ASSERT_TRUE(f);
    const int n = 5003;
    std::vector<float> x = random_floats(n, -4, 4, 1), y = random_floats(n, -4, 4, 2);
    float *dx = to_device(x), *dy = to_device(y), *ry = to_device(y);
    ASSERT_EQ(ptxtest::launch(f, dim3(7), dim3(96), 0, params().add(1.75f).ptr(dx).ptr(dy).add(n)), 0);
    ASSERT_EQ(dev::launch(corpus_saxpy, dim3(7), dim3(96), 0, 1.75f, dx, ry, n), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    expect_bits_equal(from_device(dy, n), from_device(ry, n), "y");
    device_free(dx), device_free(dy), device_free(ry);
}

TEST_P(Corpus, TwoDimensionalIndexingWithDim3Parameters) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("index2d");
    ASSERT_TRUE(f);
    const unsigned rows = 37, cols = 53;
    std::vector<float> in = random_floats(rows * cols, -1, 1, 3);
    float *din = to_device(in), *out = device_alloc<float>(rows * cols);
    ASSERT_EQ(dev::drv_memset_d32(dev::dptr(reinterpret_cast<uintptr_t>(out)), 0, rows * cols), 0);
    params p;
    p.ptr(out).shape(dim3(cols, rows, 1)).ptr(din).shape(dim3(rows, cols, 1));
    EXPECT_EQ(p.bytes.size(), 8u + 12 + 4 + 8 + 12);
    ASSERT_EQ(ptxtest::launch(f, dim3(4, 3), dim3(16, 16), 0, p), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<float> got = from_device(out, rows * cols), want(rows * cols);
    for (unsigned r = 0; r < rows; ++r)
        for (unsigned c = 0; c < cols; ++c) want[r * cols + c] = in[c * rows + r];
    expect_bits_equal(got, want, "transpose");
    device_free(din), device_free(out);
}

TEST_P(Corpus, SharedMemoryReductionWithBarriersAndShuffles) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("reduce");
    ASSERT_TRUE(f);
    const int n = 20000, blocks = 9;
    std::vector<float> x = random_floats(n, 0, 1, 4);
    float *dx = to_device(x), *part = device_alloc<float>(blocks), *rpart = device_alloc<float>(blocks);
    unsigned *total = to_device(std::vector<unsigned>{0}), *rtotal = to_device(std::vector<unsigned>{0});
    ASSERT_EQ(ptxtest::launch(f, dim3(blocks), dim3(256), 0, params().ptr(dx).add(n).ptr(part).ptr(total)), 0);
    ASSERT_EQ(dev::launch(corpus_reduce, dim3(blocks), dim3(256), 0, dx, n, rpart, rtotal), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    expect_bits_equal(from_device(part, blocks), from_device(rpart, blocks), "partial sums");
    EXPECT_EQ(from_device(total, 1)[0], unsigned(blocks));
    device_free(dx), device_free(part), device_free(rpart), device_free(total), device_free(rtotal);
}

TEST_P(Corpus, GlobalAtomicsOfEveryKind) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("atomics");
    ASSERT_TRUE(f);
    const unsigned threads = 160;
    struct bufs {
        int *ia, *old;
        unsigned *ua;
        float *fa;
        double *da;
        unsigned long long *la;
    } b[2];
    for (bufs &x : b) {
        x.ia = to_device(std::vector<int>{0, 0, 1000, -1000, 0, 0});
        x.ua = to_device(std::vector<unsigned>{~0u, 0, 0, 0, 5});
        x.fa = to_device(std::vector<float>{0});
        x.da = to_device(std::vector<double>{0});
        x.la = to_device(std::vector<unsigned long long>{0, 0});
        x.old = device_alloc<int>(threads);
    }
    ASSERT_EQ(ptxtest::launch(f, dim3(2), dim3(threads / 2), 0,
                              params().ptr(b[0].ia).ptr(b[0].ua).ptr(b[0].fa).ptr(b[0].da).ptr(b[0].la).ptr(b[0].old)),
              0);
    ASSERT_EQ(dev::launch(corpus_atomics, dim3(2), dim3(threads / 2), 0, b[1].ia, b[1].ua, b[1].fa,
                          b[1].da, b[1].la, b[1].old),
              0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<int> ia = from_device(b[0].ia, 6), old = from_device(b[0].old, threads);
    std::vector<int> ria = from_device(b[1].ia, 6);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(ia[k], ria[k]) << k;
    EXPECT_EQ(ia[0], int(threads * (threads - 1) / 2));
    EXPECT_EQ(ia[2], -50);
    EXPECT_EQ(ia[3], int(threads) - 51);
    // The compare-and-swap chain advances once per thread that saw its own index.
    EXPECT_EQ(ia[4], int(std::count_if(old.begin(), old.end(), [&, k = 0](int v) mutable { return v == k++; })));
    EXPECT_EQ(from_device(b[0].ua, 5), from_device(b[1].ua, 5));
    EXPECT_EQ(from_device(b[0].fa, 1)[0], 0.5f * threads);
    EXPECT_EQ(from_device(b[0].da, 1)[0], 0.25 * threads);
    EXPECT_EQ(from_device(b[0].la, 2), from_device(b[1].la, 2));
    for (bufs &x : b) {
        device_free(x.ia), device_free(x.ua), device_free(x.fa), device_free(x.da), device_free(x.la);
        device_free(x.old);
    }
}

TEST_P(Corpus, WarpVotesShufflesAndSync) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("warp");
    ASSERT_TRUE(f);
    const unsigned n = 2 * 64;
    std::vector<int> x(n);
    std::mt19937 g(5);
    for (int &v : x) v = int(g() % 200);
    int *dx = to_device(x), *out = device_alloc<int>(8 * n), *rout = device_alloc<int>(8 * n);
    ASSERT_EQ(ptxtest::launch(f, dim3(2), dim3(64), 0, params().ptr(dx).ptr(out)), 0);
    ASSERT_EQ(dev::launch(corpus_warp, dim3(2), dim3(64), 0, dx, rout), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    expect_bits_equal(from_device(out, 8 * n), from_device(rout, 8 * n), "warp results");
    device_free(dx), device_free(out), device_free(rout);
}

// Shared-memory atomics on an external shared array sized at the launch.
TEST_P(Corpus, SharedAndGlobalAtomicHistogram) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("shared_atomics");
    ASSERT_TRUE(f);
    const int n = 7000, bins = 37;
    std::vector<unsigned> x(n), want(bins, 0);
    std::mt19937 g(6);
    for (unsigned &v : x) v = g(), ++want[v % bins];
    unsigned *dx = to_device(x), *hist = to_device(std::vector<unsigned>(bins, 0));
    ASSERT_EQ(ptxtest::launch(f, dim3(5), dim3(128), bins * 4, params().ptr(dx).add(n).ptr(hist).add(bins)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    EXPECT_EQ(from_device(hist, bins), want);
    device_free(dx), device_free(hist);
}

struct math_row {
    const char *what;
    double max_ulps;  // 0: bit for bit
    double (*ref)(double);
};

TEST_P(Corpus, SinglePrecisionFunctionsWithinTheirBounds) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("mathf");
    ASSERT_TRUE(f);
    std::vector<float> x = random_floats(1000, -20, 20, 7);
    x.insert(x.end(), {0.0f, -0.0f, 1.0f, -1.0f, 1e-30f, 88.0f, -100.0f, 3.1415927f, 1e5f, 0.5f, 2.5f, -2.5f});
    const int n = int(x.size());
    float *dx = to_device(x), *out = device_alloc<float>(14 * n);
    ASSERT_EQ(ptxtest::launch(f, dim3((n + 127) / 128), dim3(128), 0, params().ptr(dx).ptr(out).add(n)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<float> got = from_device(out, 14 * n);
    // Library bounds in ulps; the intrinsics by their absolute bounds below.
    static const math_row rows[] = {
        {"sqrtf(fabsf)", 0, [](double v) { return std::sqrt(std::fabs(v)); }},
        {"expf", 2, [](double v) { return std::exp(v); }},
        {"sinf", 2, [](double v) { return std::sin(v); }},
        {"powf", 4, [](double v) { return std::pow(std::fabs(v), 1.5); }},
        {"fminf", 0, [](double v) { return std::fmin(v, 0.5); }},
        {"fmaxf", 0, [](double v) { return std::fmax(v, -0.5); }},
        {"logf", 1, [](double v) { return std::log(double(float(std::fabs(v) + 1.0f))); }},
        {"cosf", 2, [](double v) { return std::cos(v); }},
        {"division", 0, [](double v) { return double(float(v) / float(std::fabs(float(v)) + 2.0f)); }},
        {"rsqrtf", 2, [](double v) { return 1.0 / std::sqrt(double(float(std::fabs(v) + 1.0f))); }},
        {"tanhf", 2, [](double v) { return std::tanh(v); }},
        {"__expf", 0, nullptr},
        {"__sinf", 0, nullptr},
        {"rounding sum", 0, [](double v) {
             float x = float(v);
             return double(std::floor(x) + std::ceil(x) + std::trunc(x) + std::round(x));
         }},
    };
    for (int r = 0; r < 14; ++r) {
        for (int i = 0; i < n; ++i) {
            float g = got[size_t(r * n + i)];
            double v = x[size_t(i)];
            if (r == 11) {  // __expf: 2 + floor(abs(1.173 x)) ulps
                double want = std::exp(v);
                if (want < 1e-37 || want > 1e37) continue;
                EXPECT_LE(ulps(g, float(want)), 2 + std::floor(std::fabs(1.173 * v))) << "__expf(" << v << ")";
            } else if (r == 12) {  // __sinf: 2^-21.41 absolute on [-pi, pi]
                if (std::fabs(v) <= M_PI) {
                    EXPECT_LE(std::fabs(g - std::sin(v)), std::ldexp(1.0, -21)) << "__sinf(" << v << ")";
                }
            } else {
                float want = float(rows[r].ref(v));
                EXPECT_LE(ulps(g, want), rows[r].max_ulps + (rows[r].max_ulps ? 0.5 : 0))
                    << rows[r].what << "(" << v << ") = " << g << ", want " << want;
            }
        }
    }
    device_free(dx), device_free(out);
}

// Float to integer as the device converts: saturating, NaN gives 0.
template <typename I>
long long sat(double v) {
    if (v != v) return 0;
    if (v <= double(std::numeric_limits<I>::min())) return (long long)std::numeric_limits<I>::min();
    if (v >= double(std::numeric_limits<I>::max())) return (long long)std::numeric_limits<I>::max();
    return (long long)(I)v;
}
TEST_P(Corpus, DoublePrecisionArithmeticAndFunctions) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("mathd");
    ASSERT_TRUE(f);
    std::mt19937 g(8);
    std::uniform_real_distribution<double> d(-30, 30);
    std::vector<double> x(600);
    for (double &v : x) v = d(g);
    x.insert(x.end(), {0.0, -0.0, 1.0, -1.0, 0.5, -2.5, 1e-310, 700.0, 1e15});
    const int n = int(x.size());
    double *dx = to_device(x), *out = device_alloc<double>(10 * n);
    ASSERT_EQ(ptxtest::launch(f, dim3((n + 63) / 64), dim3(64), 0, params().ptr(dx).ptr(out).add(n)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<double> got = from_device(out, 10 * n);
    for (int i = 0; i < n; ++i) {
        double v = x[size_t(i)];
        auto at = [&](int r) { return got[size_t(r * n + i)]; };
        EXPECT_EQ(at(0), std::sqrt(std::fabs(v))) << v;
        EXPECT_EQ(at(1), v * 3.0 + -1.25) << v;
        EXPECT_EQ(at(2), v / 7.0) << v;
        EXPECT_EQ(at(3), std::fma(v, v, 0.5)) << v;
        EXPECT_EQ(at(4), std::fmin(v, 0.0) + std::fmax(v, 1.0)) << v;
        EXPECT_LE(ulps(at(5), std::exp(v)), 1.5) << "exp " << v;
        EXPECT_LE(ulps(at(6), std::sin(v)), 2.5) << "sin " << v;
        EXPECT_LE(ulps(at(7), std::pow(std::fabs(v), 0.75)), 2.5) << "pow " << v;
        EXPECT_EQ(at(8), std::floor(v) + std::ceil(v) + std::trunc(v) + std::round(v)) << v;
        double c = double(float(v)) + double(sat<int>(v)) + double(sat<long long>(v * 1e6));
        EXPECT_EQ(at(9), c) << v;
    }
    device_free(dx), device_free(out);
}

TEST_P(Corpus, IntegerArithmeticDivisionShiftsAndBits) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("intops");
    ASSERT_TRUE(f);
    std::vector<int> a = {0, 1, -1, 7, -7, INT_MAX, INT_MIN, 123456789, -98765, 31, 32, 1 << 20};
    std::vector<int> b = {1, -1, 3, -3, 0, 2, 7, -123, 33, 64, 5, -1};
    std::mt19937 g(9);
    for (int k = 0; k < 300; ++k) a.push_back(int(g())), b.push_back(int(g()) >> (g() % 31));
    const int n = int(a.size());
    int *da = to_device(a), *db = to_device(b);
    long long *out = device_alloc<long long>(16 * n);
    ASSERT_EQ(ptxtest::launch(f, dim3((n + 63) / 64), dim3(64), 0, params().ptr(da).ptr(db).ptr(out).add(n)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<long long> got = from_device(out, 16 * n);
    for (int i = 0; i < n; ++i) {
        int x = a[size_t(i)], y = b[size_t(i)];
        unsigned ux = unsigned(x), uy = unsigned(y);
        long long w[16];
        // INT_MIN / -1 is what the device gives: the quotient wraps, the remainder is 0.
        w[0] = y == 0 ? 0 : (x == INT_MIN && y == -1) ? INT_MIN : x / y;
        w[1] = y == 0 ? 0 : (y == -1) ? 0 : x % y;
        w[2] = uy ? ux / uy : 0u;
        w[3] = uy ? ux % uy : 0u;
        w[4] = (long long)x * y;
        w[5] = (unsigned)(((unsigned long long)ux * uy) >> 32) ^ (int)(((long long)x * y) >> 32);
        w[6] = (unsigned(x) << (y & 31)) ^ unsigned(x >> (y & 31)) ^ (ux >> (uy & 31));
        w[7] = __builtin_popcount(ux) + (x == 0 ? 32 : __builtin_clz(ux)) * 64 + __builtin_ffs(y) * 4096;
        unsigned r = 0;
        for (int k = 0; k < 32; ++k) r |= ((ux >> k) & 1u) << (31 - k);
        w[8] = r;
        w[9] = (ux & 0xff00u) >> 8 | ((uy >> 3) & 0x1f) << 11;
        w[10] = (long long)(int(unsigned(std::min(x, y)) * 3u)) + std::max(ux, uy);
        w[10] = (long long)(unsigned)(int(unsigned(std::min(x, y)) * 3u) + std::max(ux, uy));
        w[11] = (long long)(x == INT_MIN ? INT_MIN : std::abs(x)) + (y > 0 ? 1 : -1);
        long long lx = (long long)x * 1000003LL, ly = (long long)y | 1;
        w[12] = lx / ly + lx % ly;
        w[13] = (long long)((unsigned long long)lx / (unsigned long long)((ly & 0xffff) | 1));
        unsigned perm = 0;
        unsigned long long bytes = (unsigned long long)uy << 32 | ux;
        for (int k = 0; k < 4; ++k) perm |= unsigned((bytes >> (8 * ((0x5140u >> (4 * k)) & 7))) & 0xff) << (8 * k);
        w[14] = perm;
        w[15] = (short)x + (signed char)y + (unsigned char)x;
        for (int k = 0; k < 16; ++k) EXPECT_EQ(got[size_t(16 * i + k)], w[k]) << "output " << k << " of (" << x << ", " << y << ")";
    }
    device_free(da), device_free(db), device_free(out);
}

template <typename T>
T in_mode(int mode, T (*op)(T, T, T), T a, T b, T c) {
    std::fesetround(mode);
    volatile T r = op(a, b, c);
    std::fesetround(FE_TONEAREST);
    return r;
}
// Bits of a result; NaN results are the canonical NaN.
long long fbits(float v) {
    int b = 0x7fffffff;
    if (v == v) std::memcpy(&b, &v, 4);
    return b;
}
long long dbits(double v) {
    long long b = 0x7fffffffffffffffll;
    if (v == v) std::memcpy(&b, &v, 8);
    return b;
}

TEST_P(Corpus, ConversionsRoundingFormsAndSaturation) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("convert");
    ASSERT_TRUE(f);
    std::vector<float> fx = {0.5f, 1.5f, 2.5f, -0.5f, -1.5f, 3e9f, -3e9f, 1e20f, -1e20f, NAN, INFINITY, -INFINITY, 1e-40f, 0.999f, 1.001f, -7.25f};
    std::vector<double> dx = {0.5, 2.5, -2.5, 3e9, -3e9, 1e300, NAN, -INFINITY, 1.0 / 3, 7.0, 1e-5, 4.5e15, -1e-310, 2e10, 0.1, -0.0};
    std::mt19937 g(10);
    std::uniform_real_distribution<float> dist(-1e4f, 1e4f);
    for (int k = 0; k < 200; ++k) fx.push_back(dist(g)), dx.push_back(double(dist(g)) * 1.37);
    const int n = int(fx.size());
    float *df = to_device(fx);
    double *dd = to_device(dx);
    long long *out = device_alloc<long long>(20 * n);
    ASSERT_EQ(ptxtest::launch(f, dim3((n + 63) / 64), dim3(64), 0, params().ptr(df).ptr(dd).ptr(out).add(n)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<long long> got = from_device(out, 20 * n);
    for (int i = 0; i < n; ++i) {
        float x = fx[size_t(i)];
        double y = dx[size_t(i)];
        long long w[20];
        w[0] = sat<int>(x);
        w[1] = sat<unsigned>(x);
        w[2] = sat<long long>(x);
        w[3] = y != y ? 0 : y <= 0 ? 0 : y >= 18446744073709551615.0 ? (long long)~0ull : (long long)(unsigned long long)y;
        w[4] = sat<int>(std::nearbyint(x));
        w[5] = sat<int>(std::floor(x));
        w[6] = sat<int>(std::ceil(x));
        w[7] = sat<int>(std::nearbyint(y));
        w[8] = fbits(float(y));
        w[9] = fbits(float(int(sat<int>(y * 1000.0))));
        w[10] = dbits(double(x));
        w[11] = dbits(double(sat<long long>(y * 1e9)));
        double big = y * 1e12;
        unsigned long long u = big != big || big <= 0 ? 0 : big >= 18446744073709551615.0 ? ~0ull : (unsigned long long)big;
        w[12] = fbits(float(u));
        float q = x / 3.0f, s = std::sqrt(std::fabs(x));
        w[13] = fbits(q) ^ fbits(s);
        float rc = 1.0f / x;
        w[14] = fbits(rc);
        double dr = 1.0 / y, ds = std::sqrt(std::fabs(y));
        w[15] = dbits(dr) ^ dbits(ds);
        int xi = int(sat<int>(x));
        w[16] = (short)xi + (unsigned char)int(sat<int>(y));
        float st = x != x ? 0.0f : std::fmin(std::fmax(x, 0.0f), 1.0f);
        w[17] = fbits(st);
        auto fadd = [](float a, float b, float) { return a + b; };
        auto fmul = [](float a, float b, float) { return a * b; };
        float ad = in_mode<float>(FE_DOWNWARD, fadd, x, 1e-3f, 0), mu = in_mode<float>(FE_UPWARD, fmul, x, 1.1f, 0);
        w[18] = fbits(ad) ^ fbits(mu);
        auto dadd = [](double a, double b, double) { return a + b; };
        auto dfma = [](double a, double b, double c) { return std::fma(a, b, c); };
        double az = in_mode<double>(FE_TOWARDZERO, dadd, y, 1e-9, 0), fm = in_mode<double>(FE_DOWNWARD, dfma, y, y, 1.0);
        w[19] = dbits(az) ^ dbits(fm);
        for (int k = 0; k < 20; ++k)
            EXPECT_EQ(got[size_t(20 * i + k)], w[k]) << "output " << k << " of (" << x << ", " << y << ")";
    }
    device_free(df), device_free(dd), device_free(out);
}

TEST_P(Corpus, StructsByValueLocalArraysAndCalls) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("structs");
    ASSERT_TRUE(f);
    struct sp {
        float scale;
        int count;
        double offset;
        char tag;
    } s{0.75f, 11, 0.125, 3};
    const int n = 777;
    float *out = device_alloc<float>(n);
    params p;
    p.add(s, 8).ptr(out).add(n);
    ASSERT_EQ(p.bytes.size(), 24u + 8 + 4);
    ASSERT_EQ(ptxtest::launch(f, dim3(7), dim3(128), 0, p), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<float> got = from_device(out, n);
    for (int i = 0; i < n; ++i) {
        float c[8];
        for (int j = 0; j < 8; ++j) c[j] = float(j + s.tag) * s.scale;
        int k = (i % s.count) + 1;
        float x = float(i) / float(n), r = 0;
        for (int j = std::min(k, 8) - 1; j >= 0; --j) r = r * x + c[j];
        switch (i % 4) {
        case 0: r += 1.0f; break;
        case 1: r = -r; break;
        case 2: r = r * 2.0f; break;
        default: r = float(double(r) + s.offset); break;
        }
        EXPECT_EQ(got[size_t(i)], r) << i;
    }
    device_free(out);
}

// The parameter block the launch command builds: float at 0, then each
// pointer at the next 8-aligned offset and its dim3 right after it.
TEST_P(Corpus, LaunchCommandParameterLayout) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("launchform");
    ASSERT_TRUE(f);
    const dim3 sa(6, 5, 1), sb(4, 1, 1);
    std::vector<float> b = {1, 2, 3, 4};
    float *da = device_alloc<float>(30), *db = to_device(b);
    params p;
    p.add(2.5f).ptr(da).shape(sa).ptr(db).shape(sb);
    EXPECT_EQ(p.bytes.size(), 52u);  // 4, pad to 8, 8 + 12, pad to 32, 8 + 12
    ASSERT_EQ(ptxtest::launch(f, dim3(1), dim3(32), 0, p), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<float> got = from_device(da, 30);
    for (unsigned k = 0; k < 30; ++k) EXPECT_EQ(got[k], 2.5f * b[k % 4] + 504.0f) << k;
    device_free(da), device_free(db);
}

TEST_P(Corpus, BlockVotesCountAndCombinePredicates) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("blockvote");
    ASSERT_TRUE(f);
    const unsigned blocks = 4, threads = 96;
    std::vector<int> x(blocks * threads);
    for (unsigned k = 0; k < x.size(); ++k) x[k] = int(k % 23) - (k / threads == 2 ? 1 : 0);
    x[threads + 5] = 7;
    int *dx = to_device(x), *out = device_alloc<int>(3 * blocks);
    ASSERT_EQ(ptxtest::launch(f, dim3(blocks), dim3(threads), 0, params().ptr(dx).ptr(out)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<int> got = from_device(out, 3 * blocks);
    for (unsigned b = 0; b < blocks; ++b) {
        int c = 0, a = 1, o = 0;
        for (unsigned k = 0; k < threads; ++k) {
            int v = x[b * threads + k];
            c += v > 10, a &= v >= 0, o |= v == 7;
        }
        EXPECT_EQ(got[3 * b], c) << b;
        EXPECT_EQ(got[3 * b + 1] != 0, a != 0) << b;
        EXPECT_EQ(got[3 * b + 2] != 0, o != 0) << b;
    }
    device_free(dx), device_free(out);
}

TEST_P(Corpus, DevicePrintfWritesItsArguments) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("printf");
    ASSERT_TRUE(f);
    float *dx = to_device(std::vector<float>{1.5f, -2.25f});
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(ptxtest::launch(f, dim3(2), dim3(32), 0, params().ptr(dx).add(9)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("block 0 of 2: n=9 x=1.500 s=text c=q big=1099511627776 hex=0xff\n"), std::string::npos) << out;
    EXPECT_NE(out.find("block 1 of 2: n=9 x=-2.250 s=text c=q big=1099511627776 hex=0xff\n"), std::string::npos) << out;
    device_free(dx);
}

TEST_P(Corpus, FailedAssertionStopsTheKernel) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("assert");
    ASSERT_TRUE(f);
    std::vector<int> x(32, 1);
    x[17] = -1;
    int *dx = to_device(x);
    ASSERT_EQ(ptxtest::launch(f, dim3(1), dim3(32), 0, params().ptr(dx)), 0);
    EXPECT_EQ(dev::synchronize(), 710);  // device-side assertion
    EXPECT_EQ(dev::free(dx), 710);       // and the context stays failed
}

TEST_P(Corpus, CallsThroughATableOfFunctionPointers) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("fnptr");
    ASSERT_TRUE(f);
    const int n = 300;
    std::vector<float> x = random_floats(n, -3, 3, 11);
    std::vector<int> which(n);
    for (int i = 0; i < n; ++i) which[i] = (i * 7) % 5;
    float *dx = to_device(x), *out = device_alloc<float>(n);
    int *dw = to_device(which);
    ASSERT_EQ(ptxtest::launch(f, dim3(3), dim3(128), 0, params().ptr(dx).ptr(dw).ptr(out).add(n)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<float> got = from_device(out, n), want(n);
    for (int i = 0; i < n; ++i) {
        const float v = x[size_t(i)];
        want[size_t(i)] = which[size_t(i)] % 3 == 0 ? 2.0f * v : which[size_t(i)] % 3 == 1 ? v * v : -v;
    }
    expect_bits_equal(got, want, "dispatched results");
    device_free(dx), device_free(out), device_free(dw);
}

TEST_P(Corpus, MatchAnyAndAllGroupLanesByValue) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("match");
    ASSERT_TRUE(f);
    const unsigned n = 3 * 64;
    std::vector<int> key(n);
    std::vector<long long> wide(n);
    for (unsigned i = 0; i < n; ++i) {
        // Odd warps agree on key / 64 everywhere; the others split in a few groups.
        key[i] = int((i * 13) % 5 + (i / 32 % 2 == 1 ? 64 : 64 * (i % 2)));
        wide[i] = (long long)(i % 3) << 40 | (i % 2);
    }
    int *dk = to_device(key), *pred[2];
    long long *dw = to_device(wide);
    unsigned *any[2], *all[2], *wm[2];
    for (int k = 0; k < 2; ++k)
        any[k] = device_alloc<unsigned>(n), all[k] = device_alloc<unsigned>(n), wm[k] = device_alloc<unsigned>(n),
        pred[k] = device_alloc<int>(n);
    ASSERT_EQ(ptxtest::launch(f, dim3(3), dim3(64), 0,
                              params().ptr(dk).ptr(dw).ptr(any[0]).ptr(all[0]).ptr(pred[0]).ptr(wm[0])),
              0);
    ASSERT_EQ(dev::launch(corpus_match, dim3(3), dim3(64), 0, dk, dw, any[1], all[1], pred[1], wm[1]), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<unsigned> got_any = from_device(any[0], n), got_all = from_device(all[0], n);
    expect_bits_equal(got_any, from_device(any[1], n), "match.any");
    expect_bits_equal(got_all, from_device(all[1], n), "match.all");
    expect_bits_equal(from_device(pred[0], n), from_device(pred[1], n), "match.all predicate");
    expect_bits_equal(from_device(wm[0], n), from_device(wm[1], n), "64-bit match.any");
    // The lanes of one key, independently of either path.
    for (unsigned i = 0; i < n; ++i) {
        unsigned same = 0;
        for (unsigned l = 0; l < 32; ++l)
            if (key[i / 32 * 32 + l] == key[i]) same |= 1u << l;
        EXPECT_EQ(got_any[i], same) << i;
        EXPECT_EQ(got_all[i], i / 32 % 2 == 1 ? ~0u : 0u) << i;
    }
    device_free(dk), device_free(dw);
    for (int k = 0; k < 2; ++k) device_free(any[k]), device_free(all[k]), device_free(wm[k]), device_free(pred[k]);
}

TEST_P(Corpus, DeviceMallocAndFreeWithinTheHeapLimit) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("heap");
    ASSERT_TRUE(f);
    const unsigned n = 96;
    std::vector<int> len(n);
    for (unsigned i = 0; i < n; ++i) len[i] = int(1 + (i * 37) % 300);
    int *dl = to_device(len), *sum = device_alloc<int>(n), *failed = to_device(std::vector<int>{0});
    ASSERT_EQ(ptxtest::launch(f, dim3(3), dim3(32), 0, params().ptr(dl).ptr(sum).ptr(failed)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    EXPECT_EQ(from_device(failed, 1)[0], 0);
    std::vector<int> got = from_device(sum, n);
    for (unsigned i = 0; i < n; ++i) EXPECT_EQ(got[i], len[i] * int(i) + len[i] * (len[i] - 1) / 2) << i;

    // Half a MiB per thread asks four times the default heap: some threads
    // get null, the others their block; the next launch finds the heap free.
    std::vector<int> big(64, 128 * 1024);
    int *db = to_device(big), *bsum = device_alloc<int>(64), *bfailed = to_device(std::vector<int>{0});
    ASSERT_EQ(ptxtest::launch(f, dim3(2), dim3(32), 0, params().ptr(db).ptr(bsum).ptr(bfailed)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    const int fails = from_device(bfailed, 1)[0];
    EXPECT_GT(fails, 0);
    EXPECT_LT(fails, 64);
    std::vector<int> bgot = from_device(bsum, 64);
    EXPECT_EQ(int(std::count(bgot.begin(), bgot.end(), -1)), fails);
    for (int i = 0; i < 64; ++i)
        if (bgot[size_t(i)] != -1) {
            EXPECT_EQ(bgot[size_t(i)], 3 * i) << i;
        }
    ASSERT_EQ(dev::drv_memset_d32(dev::dptr(reinterpret_cast<uintptr_t>(failed)), 0, 1), 0);
    ASSERT_EQ(ptxtest::launch(f, dim3(3), dim3(32), 0, params().ptr(dl).ptr(sum).ptr(failed)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    EXPECT_EQ(from_device(failed, 1)[0], 0);
    device_free(dl), device_free(sum), device_free(failed), device_free(db), device_free(bsum), device_free(bfailed);
}

TEST_P(Corpus, HalfPrecisionArithmeticRoundsOnceToNearestEven) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("half");
    ASSERT_TRUE(f);
    const int n = 500;
    std::vector<uint16_t> a(n), b(n), c(n);
    std::mt19937 g(12);
    std::uniform_real_distribution<float> d(-6, 6);
    for (int i = 0; i < n; ++i) {
        a[size_t(i)] = ptxtest::half_round(d(g));
        b[size_t(i)] = ptxtest::half_round(d(g));
        do c[size_t(i)] = ptxtest::half_round(d(g)); while (ptxtest::half_to_value(c[size_t(i)]) == 0);
    }
    // Ties: 1 + 2^-11 rounds down to even, (1 + 2^-10) + 2^-11 up; a product
    // beyond the largest half overflows.
    a[0] = 0x3c00, b[0] = 0x1000;
    a[1] = 0x3c01, b[1] = 0x1000;
    a[2] = 0x7bff, b[2] = 0x4000;
    uint16_t *da = to_device(a), *db = to_device(b), *dc = to_device(c), *out = device_alloc<uint16_t>(8 * n);
    ASSERT_EQ(ptxtest::launch(f, dim3(4), dim3(128), 0, params().ptr(da).ptr(db).ptr(dc).ptr(out).add(n)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<uint16_t> got = from_device(out, 8 * size_t(n));
    auto v = ptxtest::half_to_value;
    size_t bad = 0;
    for (int i = 0; i < n; ++i) {
        const uint16_t x = a[size_t(i)], y = b[size_t(i)], z = c[size_t(i)];
        const uint16_t want[7] = {
            ptxtest::half_round(v(x) + v(y)), ptxtest::half_round(v(x) * v(y)),
            ptxtest::half_round(v(x) * v(y) + v(z)), ptxtest::half_round(v(x) - v(y)),
            v(x) > v(y) ? x : y, ptxtest::half_round(v(x) * v(z) + v(x)),
            ptxtest::half_round(v(y) * v(x) + v(y))};
        for (int k = 0; k < 7; ++k)
            if (got[size_t(8 * i + k)] != want[k] && bad++ < 8)
                ADD_FAILURE() << "element " << i << " result " << k << ": " << std::hex << got[size_t(8 * i + k)]
                              << " vs " << want[k];
        // The quotient through single precision: within one unit of the last place.
        const uint16_t q = got[size_t(8 * i + 7)];
        const long double wq = -std::fabs(v(x) / v(z)), gq = v(q);
        EXPECT_LE(std::fabs(gq - wq), std::fabs(wq) / 1024) << i;
    }
    EXPECT_EQ(got[0], 0x3c00);
    EXPECT_EQ(got[8], 0x3c02);
    EXPECT_EQ(got[17], 0x7c00);
    device_free(da), device_free(db), device_free(dc), device_free(out);
}

TEST_P(Corpus, CooperativeGroupsTilesCoalescedGroupsAndBlockSync) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("coop");
    ASSERT_TRUE(f);
    const unsigned blocks = 3, threads = 96, n = blocks * threads;
    std::vector<int> x(n);
    std::mt19937 g(13);
    for (int &e : x) e = int(g() % 1000);
    int *dx = to_device(x), *tile = device_alloc<int>(n), *rank = device_alloc<int>(n),
        *bsum = device_alloc<int>(blocks);
    ASSERT_EQ(ptxtest::launch(f, dim3(blocks), dim3(threads), 0, params().ptr(dx).ptr(tile).ptr(rank).ptr(bsum)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<int> got_tile = from_device(tile, n), got_rank = from_device(rank, n), got_b = from_device(bsum, blocks);
    for (unsigned w = 0; w < n / 32; ++w) {
        int s = 0;
        std::vector<unsigned> active;
        for (unsigned l = 0; l < 32; ++l) {
            s += x[w * 32 + l];
            if (x[w * 32 + l] % 3 == 0) active.push_back(w * 32 + l);
        }
        for (unsigned l = 0; l < 32; ++l) EXPECT_EQ(got_tile[w * 32 + l], s) << w * 32 + l;
        for (size_t r = 0; r < active.size(); ++r) {
            const int second = active.size() > 1 ? x[active[1]] & 15 : x[active[0]] & 15;
            EXPECT_EQ(got_rank[active[r]], int(r) * 100 + int(active.size()) + 10000 * second) << active[r];
        }
    }
    for (unsigned b = 0; b < blocks; ++b) {
        int s = 0;
        for (unsigned k = 0; k < threads; ++k) s += x[b * threads + k];
        EXPECT_EQ(got_b[b], s) << b;
    }
    device_free(dx), device_free(tile), device_free(rank), device_free(bsum);
}

int walk_reference(int depth, int seed) {
    return depth == 0 ? seed + (seed & 31) : walk_reference(depth - 1, seed + 1) + seed + (depth & 31);
}

TEST_P(Corpus, RecursionWithinTheDeviceStack) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("recurse");
    ASSERT_TRUE(f);
    const int n = 64;
    std::vector<int> depth(n);
    for (int i = 0; i < n; ++i) depth[size_t(i)] = i % 4;
    int *dd = to_device(depth), *out = device_alloc<int>(n);
    ASSERT_EQ(ptxtest::launch(f, dim3(2), dim3(32), 0, params().ptr(dd).ptr(out)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<int> got = from_device(out, n);
    for (int i = 0; i < n; ++i) EXPECT_EQ(got[size_t(i)], walk_reference(i % 4, i)) << i;
    device_free(dd), device_free(out);
}

// 64 frames of 128 bytes and more are far beyond a GPU's default stack of
// 1 KiB per thread: the kernel faults, the process goes on.
TEST_P(Corpus, DeepRecursionOverflowsTheDeviceStack) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("recurse");
    ASSERT_TRUE(f);
    std::vector<int> depth(32, 1);
    depth[5] = 64;
    int *dd = to_device(depth), *out = device_alloc<int>(32);
    ASSERT_EQ(ptxtest::launch(f, dim3(1), dim3(32), 0, params().ptr(dd).ptr(out)), 0);
    const int e = dev::synchronize();
    if (testenv::sim_backend) {
        EXPECT_EQ(e, dev::err_launch_failed);
    } else {
        EXPECT_NE(e, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Ptx, Corpus, ::testing::Values("opt", "debug"),
                         [](const ::testing::TestParamInfo<const char *> &i) { return std::string(i.param); });

}  // namespace
