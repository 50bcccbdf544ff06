// Device functions that kernels of the library and users' kernels call, with
// the results a GPU gives: one list compiled by both backends, so a function
// that exists for one only fails the build, and a result that differs fails
// the test. Arguments pass through a factor 1 from the host, so that no
// compiler folds them.
#include "device/kernel.h"
#include "support/devenv.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <vector>

namespace {

#define F(v) (float(v) * one)
#define D(v) (double(v) * done)
constexpr double nan_ = std::numeric_limits<double>::quiet_NaN();
constexpr double exact = 0;

// X(expression, expected value, relative tolerance)
#define DEVICE_FUNCTIONS(X)                                                        \
    /* math functions */                                                           \
    X(sinpi(D(1)), 0, exact)                                                       \
    X(sinpi(D(-2)), 0, exact)                                                      \
    X(sinpi(D(1.0 / 3)), 0.8660254037844386, 1e-15)                                \
    X(cospi(D(0.5)), 0, exact)                                                     \
    X(cospi(D(0.25)), 0.7071067811865476, 1e-15)                                   \
    X(sinpif(F(0.5)), 1, exact)                                                    \
    X(cospif(F(1)), -1, exact)                                                     \
    X(normcdf(D(1)), 0.8413447460685429, 1e-15)                                    \
    X(normcdf(D(-3)), 0.0013498980316300945, 1e-14)                                \
    X(normcdff(F(0)), 0.5, 1e-7)                                                   \
    X(erfcx(D(30)), 0.018795888861416751, 1e-14)                                   \
    X(erfcx(D(-1)), 5.0089800807622835, 1e-14)                                     \
    X(erfcxf(F(30)), 0.018795888861416751, 1e-6)                                   \
    X(erfinv(D(0.5)), 0.47693627620446987, 1e-14)                                  \
    X(normcdfinv(D(0.5)), 0, 1e-15)                                                \
    X(rhypot(D(3), D(4)), 0.2, 1e-15)                                              \
    X(rhypotf(F(3), F(4)), 0.2, 1e-7)                                              \
    X(rnorm3d(D(2), D(3), D(6)), 1.0 / 7, 1e-15)                                   \
    X(rcbrt(D(8)), 0.5, 1e-15)                                                     \
    X(rsqrtf(F(4)), 0.5, 1e-7)                                                     \
    X(cyl_bessel_i0(D(1.5)), 1.6467231897728908, 1e-14)                            \
    X(cyl_bessel_i1(D(-1.5)), -0.9816664285779076, 1e-14)                          \
    /* the device's j0 is a fitted polynomial below 8, within 7 ulp, not exact at 0 */ \
    X(j0(D(0)) + y0(D(1)) * 0, 1, 8 * std::numeric_limits<double>::epsilon())      \
    X(exp10(D(2)), 100, 1e-15)                                                     \
    /* rounding-mode arithmetic */                                                 \
    X(__fadd_rd(F(1), F(1e-8)), 1, exact)                                          \
    X(__fadd_ru(F(1), F(1e-8)), 1.00000011920928955, exact)                        \
    X(__fadd_rz(F(-1), F(-1e-8)), -1, exact)                                       \
    X(__fsub_ru(F(1), F(1e-8)), 1, exact)                                          \
    X(__fmul_ru(F(1.0f / 3), F(3)) - __fmul_rd(F(1.0f / 3), F(3)), 1.1920928955078125e-07, exact)                    \
    X(__fdiv_rd(F(1), F(3)), 0.3333333134651184, exact)                            \
    X(__fdiv_ru(F(1), F(3)), 0.3333333432674408, exact)                            \
    X(__frcp_rn(F(3)), 0.3333333432674408, exact)                                  \
    X(__frcp_rz(F(3)), 0.3333333134651184, exact)                                  \
    X(__fsqrt_rn(F(2)), 1.41421353816986084, exact)                                \
    X(__fsqrt_rd(F(2)), 1.41421353816986084, exact)                                \
    X(__fsqrt_ru(F(2)), 1.41421365737915039, exact)                                \
    X(__fmaf_rn(F(2), F(3), F(1)), 7, exact)                                       \
    X(__dadd_rd(D(1), D(1e-20)), 1, exact)                                         \
    X(__dadd_ru(D(1), D(1e-20)) - 1, 2.220446049250313e-16, exact)                 \
    X(__ddiv_rz(D(-1), D(3)), -0.33333333333333331, exact)                         \
    X(__drcp_rn(D(4)), 0.25, exact)                                                \
    X(__dsqrt_rn(D(16)), 4, exact)                                                 \
    X(__fma_rd(D(1), D(1), D(1e-30)), 1, exact)                                    \
    /* conversions */                                                              \
    X(__float2int_rn(F(2.5)), 2, exact)                                            \
    X(__float2int_rd(F(-2.5)), -3, exact)                                          \
    X(__float2int_ru(F(-2.5)), -2, exact)                                          \
    X(__float2int_rz(F(3e9)), INT_MAX, exact)                                      \
    X(__float2int_rn(F(nan_)), 0, exact)                                           \
    X(__float2uint_rd(F(-1)), 0, exact)                                            \
    X(__float2uint_ru(F(1e10)), UINT_MAX, exact)                                   \
    X(__float2ll_rn(F(-1e30)), double(LLONG_MIN), exact)                           \
    X(__float2ull_rz(F(2.9)), 2, exact)                                            \
    X(__double2int_ru(D(2.1)), 3, exact)                                           \
    X(__double2uint_rn(D(-7)), 0, exact)                                           \
    X(__double2ll_ru(D(1e30)), double(LLONG_MAX), exact)                           \
    X(__double2ull_rd(D(1e300)), double(ULLONG_MAX), exact)                        \
    X(__double2float_rd(D(0.1)), 0.099999994039535522, exact)                      \
    X(__double2float_ru(D(0.1)), 0.10000000149011612, exact)                       \
    X(__int2float_rz(int(D(16777217))), 16777216, exact)                           \
    X(__int2float_ru(int(D(16777217))), 16777218, exact)                           \
    X(__uint2float_rd(unsigned(D(4294967295.0))), 4294967040.0, exact)             \
    X(__ll2double_ru((long long)D(9007199254740992.0) + 1), 9007199254740994.0, exact) \
    X(__ull2float_ru((unsigned long long)D(1e19)), 1.0000001080018076e19, exact)   \
    X(__int2double_rn(-5), -5, exact)                                              \
    /* fast intrinsics at their documented edges */                                \
    X(__fdividef(F(1), F(3e38)), 0, exact)                                         \
    X(__fdividef(F(6), F(3)), 2, 1e-6)                                             \
    X(__saturatef(F(nan_)), 0, exact)                                              \
    X(__saturatef(F(1.5)) + __saturatef(F(-2)), 1, exact)                          \
    X(__expf(F(1)), 2.718281828459045, 1e-6)                                       \
    X(__logf(F(10)), 2.302585092994046, 1e-6)                                      \
    X(__powf(F(2), F(10)), 1024, 1e-6)                                             \
    X(__sinf(F(0.5)), 0.479425538604203, 1e-6)                                     \
    /* integer intrinsics */                                                       \
    X(__byte_perm(unsigned(D(0x33221100)), unsigned(D(0x77665544)), 0x1357),       \
      double(0x11335577u), exact)                                                  \
    X(__byte_perm(unsigned(D(0x33221100)), 0, 0x0123), double(0x00112233u), exact) \
    X(__funnelshift_l(unsigned(D(0x80000000u)), 1u, 1u), 3, exact)                 \
    X(__funnelshift_l(unsigned(D(0x80000000u)), 1u, 33u), 3, exact)                \
    X(__funnelshift_lc(unsigned(D(0x80000000u)), 1u, 40u), double(0x80000000u), exact) \
    X(__funnelshift_r(unsigned(D(1)), 1u, 33u), double(0x80000000u), exact)        \
    X(__funnelshift_rc(unsigned(D(1)), 5u, 40u), 5, exact)                         \
    X(__hadd(int(D(-3)), 0), -2, exact)                                            \
    X(__rhadd(int(D(1)), 2), 2, exact)                                             \
    X(__uhadd(unsigned(D(4294967295.0)), 1u), 2147483648.0, exact)                 \
    X(__sad(int(D(3)), 7, 1u), 5, exact)                                           \
    X(__usad(unsigned(D(9)), 2u, 0u), 7, exact)                                    \
    X(__mul64hi((long long)D(-1), 5), -1, exact)                                   \
    X(clock64() > 0, 1, exact)                                                     \
    /* vector types */                                                             \
    X(make_float4(F(1), 2, 3, 4).w + make_uchar4(1, 2, 3, 250).w, 254, exact)      \
    X(make_double3(D(1), 2, 3).z + make_longlong2(5, 6).y + make_uint4(1, 2, 3, 7).w, 16, exact) \
    X(make_short2(-1, 2).x + make_char4(1, 2, 3, -4).w + make_ulonglong4(1, 2, 3, 9).w, 4, exact) \
    X(sizeof(char4) + sizeof(short4) + sizeof(float3) + sizeof(double3) + sizeof(int3), 4 + 8 + 12 + 24 + 12, exact) \
    X(alignof(longlong2) + alignof(float4) + alignof(short2) + alignof(uint2), 16 + 16 + 4 + 8, exact)

#define COUNT(e, want, tol) +1
constexpr int n_functions = 0 DEVICE_FUNCTIONS(COUNT);

__global__ void evaluate(double *out, float one, double done) {
    int k = 0;
#define EVAL(e, want, tol) out[k++] = double(e);
    DEVICE_FUNCTIONS(EVAL)
#undef EVAL
}

// Block and warp collectives of two warps: each thread writes five results.
__global__ void collectives(unsigned *out) {
    unsigned t = threadIdx.x, lane = t % 32;
    unsigned *o = out + t * 5;
    o[0] = unsigned(__syncthreads_count(t % 4 == 0));
    o[1] = unsigned(__syncthreads_and(t < 64) * 10 + __syncthreads_or(t == 63));
    o[2] = __match_any_sync(0xffffffffu, lane / 8);
    int pred = 0;
    o[3] = (__match_all_sync(0xffffffffu, t / 32, &pred) == 0xffffffffu) * 2u + unsigned(pred);
#if !defined(__CUDA_ARCH__) || __CUDA_ARCH__ >= 800
    o[4] = __reduce_add_sync(0xffffffffu, t) + __reduce_max_sync(0xffffffffu, int(t));
#else
    o[4] = 0;
#endif
}

struct expected {
    const char *text;
    double want, tol;
};
const expected table[] = {
#define ROW(e, want, tol) {#e, double(want), double(tol)},
    DEVICE_FUNCTIONS(ROW)
#undef ROW
};

}  // namespace

TEST(DeviceFunctions, GiveTheDevicesResults) {
    testenv::device_env env;
    double *d = testenv::device_alloc<double>(n_functions);
    ASSERT_EQ(dev::launch(evaluate, dim3(1), dim3(1), 0, d, 1.0f, 1.0), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<double> got = testenv::from_device(d, n_functions);
    for (int i = 0; i < n_functions; ++i) {
        const expected &e = table[i];
        if (std::isnan(e.want))
            EXPECT_TRUE(std::isnan(got[i])) << e.text << " gave " << got[i];
        else
            EXPECT_LE(std::fabs(got[i] - e.want), e.tol * std::fabs(e.want))
                << e.text << " gave " << got[i] << ", not " << e.want;
    }
    testenv::device_free(d);
}

TEST(DeviceFunctions, BlockAndWarpCollectives) {
    testenv::device_env env;
    unsigned *d = testenv::device_alloc<unsigned>(64 * 5);
    ASSERT_EQ(dev::launch(collectives, dim3(1), dim3(64), 0, d), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    int major = 0, minor = 0;
    ASSERT_EQ(dev::drv_compute_capability(&major, &minor, 0), 0);
    const bool reduce = testenv::sim_backend || major >= 8;
    std::vector<unsigned> got = testenv::from_device(d, 64 * 5);
    for (unsigned t = 0; t < 64; ++t) {
        const unsigned w = t / 32, lane = t % 32, first = w * 32;
        const unsigned want[5] = {16, 11, 0xffu << (lane / 8 * 8), 3,
                                  reduce ? 32 * first + 496 + first + 31 : 0};
        for (int k = 0; k < 5; ++k) EXPECT_EQ(got[t * 5 + k], want[k]) << "thread " << t << " result " << k;
    }
    testenv::device_free(d);
}
