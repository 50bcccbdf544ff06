// How the Bessel entries launch: the kernel each entry picks, the grid and its
// fold past 65535 blocks, the kinds of H, and the error conventions shared by
// the special functions (mapping, pending errors, the stored last error).
#include "support.h"

#if defined(DEV_BACKEND_SIM)
#include "device/sim/control.h"
#endif

#include "support/exports.h"

#include <cmath>
#include <functional>
#include <string>

namespace {

pkrError last_error() {
    pkrError e = -1;
    EXPECT_EQ(torvane_last_error(&e), 0);
    return e;
}

// Every entry as (out, in, n): order 1.5, kind 1.
struct entry {
    std::string name, kernel;  // the kernel it must launch
    size_t out_bytes, in_bytes;
    std::function<pkrError(void *, void *, unsigned)> call;
};
#define BT_KERNEL(fn, T, cplx, real_args) \
    std::string(#fn) + (cplx ? "_cplx<" #T ", " #T "2>" : "_real<" real_args ">")
#define BT_ORDER_ENTRY(fn, sfx, T, dbl, cplx)                                                   \
    entry{"pkr_" #fn "_" #sfx, BT_KERNEL(fn, T, cplx, #T), sizeof(T) * (cplx ? 2 : 1),          \
          sizeof(T) * (cplx ? 2 : 1),                                                           \
          [](void *o, void *i, unsigned n) { return pkr_##fn##_##sfx(o, i, T(1.5), n); }},
#define BT_KIND_ENTRY(fn, sfx, T, dbl, cplx)                                                    \
    entry{"pkr_" #fn "_" #sfx, BT_KERNEL(fn, T, cplx, #T ", " #T "2"), sizeof(T) * 2,           \
          sizeof(T) * (cplx ? 2 : 1),                                                           \
          [](void *o, void *i, unsigned n) { return pkr_##fn##_##sfx(o, i, T(1.5), 1, n); }},
const std::vector<entry> &all_entries() {
    static const std::vector<entry> v = {TORVANE_BESSEL_ORDER_FUNCTIONS(BT_ORDER_ENTRY)
                                             TORVANE_BESSEL_ROWS(BT_KIND_ENTRY, besselh, z)};
    return v;
}

class BesselLaunch : public testenv::DeviceTest {
protected:
    // Leaves a last error other than `code`: 7 from an empty call, or 0.
    void store_other_than(pkrError code) {
        const float x = 1;
        float *d = testenv::to_device(std::vector<float>{x});
        (void)pkr_besselj_f32(d, d, 0, code == 7 ? 1 : 0);
        ASSERT_NE(last_error(), code);
        testenv::device_free(d);
    }
    static constexpr unsigned n = 300;
    std::vector<unsigned char> guard = std::vector<unsigned char>(n * 16, 0xab);
    void *out = nullptr, *in = nullptr;
    void SetUp() override {
        out = testenv::to_device(guard);
        in = testenv::to_device(std::vector<double>(2 * n));
        std::vector<float> f(4 * n, 1.25f);  // read as doubles: small positive values
        ASSERT_EQ(dev::memcpy_htod(in, f.data(), f.size() * sizeof(float)), 0);
    }
    void TearDown() override {
        testenv::device_free(out);
        testenv::device_free(in);
    }
    bool untouched() { return testenv::from_device(static_cast<unsigned char *>(out), guard.size()) == guard; }
};

TEST_F(BesselLaunch, EveryEntryWritesItsElements) {
    for (const entry &e : all_entries()) {
        SCOPED_TRACE(e.name);
        ASSERT_EQ(dev::memcpy_htod(out, guard.data(), guard.size()), 0);
        store_other_than(0);
        EXPECT_EQ(e.call(out, in, n), 0);
        EXPECT_EQ(last_error(), 0);
        const auto bytes = testenv::from_device(static_cast<unsigned char *>(out), guard.size());
        // n results written (not the guard pattern), nothing after them.
        EXPECT_NE(std::vector<unsigned char>(bytes.begin() + (n - 1) * e.out_bytes, bytes.begin() + n * e.out_bytes),
                  std::vector<unsigned char>(e.out_bytes, 0xab));
        EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + n * e.out_bytes, bytes.end()),
                  std::vector<unsigned char>(guard.size() - n * e.out_bytes, 0xab));
    }
}

// n = 0 is an empty grid: 7, stored, nothing launched or written.
TEST_F(BesselLaunch, EmptyArray) {
    for (const entry &e : all_entries()) {
        SCOPED_TRACE(e.name);
        store_other_than(7);
        EXPECT_EQ(e.call(out, in, 0), 7);
        EXPECT_EQ(last_error(), 7);
        EXPECT_EQ(dev::get_last_error(), 0);
    }
    EXPECT_TRUE(untouched());
}

// Kind 1 gives H1, any other H2 = conj(H1) on the real axis.
TEST_F(BesselLaunch, KindsOfH) {
    const std::vector<double> xs = {0.5, 2, 9};
    const auto h1 = btest::eval(pkr_besselh_f64, 0.5, 1, xs);
    for (unsigned k : {0u, 2u, 3u, 0xffffffffu}) {
        EXPECT_EQ(btest::eval(pkr_besselh_f64, 0.5, k, xs), (std::vector<std::complex<double>>{
                                                                 std::conj(h1[0]), std::conj(h1[1]), std::conj(h1[2])}))
            << k;
        const auto z = btest::eval(pkr_besselh_z32, 0.5f, k, std::vector<std::complex<float>>{{2, 1}});
        const auto z1 = btest::eval(pkr_besselh_z32, 0.5f, 1, std::vector<std::complex<float>>{{2, 1}});
        EXPECT_NE(z, z1) << k;
    }
}

// 65535 blocks of 128 run as one row; one element more folds into
// ceil(n / 2^20) x 8192 blocks: 8 x 8192 for 8388481. Every element is written, the one after the
// last is not.
TEST_F(BesselLaunch, GridFold) {
    for (unsigned count : {65535u * 128u, 65535u * 128u + 1u}) {
        SCOPED_TRACE(count);
        float *x = testenv::to_device(std::vector<float>(count + 1, 0.0f));
        float *y = testenv::to_device(std::vector<float>(count + 1, -7.0f));
#if defined(DEV_BACKEND_SIM)
        sim::log_calls(true);
        sim::clear_calls();
#endif
        EXPECT_EQ(pkr_besselj_f32(y, x, 0.0f, count), 0);  // J_0(0) = 1
#if defined(DEV_BACKEND_SIM)
        const auto calls = sim::calls();
        ASSERT_EQ(calls.size(), 1u);
        const bool folded = count > 65535u * 128u;
        EXPECT_EQ(calls[0].grid.x, folded ? 8u : 65535u);
        EXPECT_EQ(calls[0].grid.y, folded ? 8192u : 1u);
        EXPECT_EQ(calls[0].block.x, 128u);
        sim::log_calls(false);
#endif
        const auto h = testenv::from_device(y, count + 1);
        size_t ones = 0;
        for (size_t i = 0; i < count; ++i) ones += h[i] == 1.0f;
        EXPECT_EQ(ones, count);
        EXPECT_EQ(h[count], -7.0f);
        testenv::device_free(x);
        testenv::device_free(y);
    }
}

#if defined(DEV_BACKEND_SIM)
// Each entry launches the kernel of its slot: real or complex argument, in
// its precision.
TEST_F(BesselLaunch, EntriesPickTheirKernel) {
    sim::log_calls(true);
    for (const entry &e : all_entries()) {
        sim::clear_calls();
        EXPECT_EQ(e.call(out, in, n), 0);
        const auto calls = sim::calls();
        ASSERT_EQ(calls.size(), 1u) << e.name;
        EXPECT_NE(calls[0].name.find(e.kernel), std::string::npos) << e.name << ": " << calls[0].name;
        EXPECT_EQ(calls[0].grid.x, 3u);
        EXPECT_EQ(calls[0].block.x, 128u);
    }
}

// Launch refusals of the runtime, mapped and stored; nothing is written.
TEST_F(BesselLaunch, RefusedLaunchIsMappedAndStored) {
    const struct {
        int runtime;
        pkrError code;
    } table[] = {{2, 1}, {9, 7}, {100, 5}, {209, 5}, {719, 7}, {1, 7}, {-1, 7}};
    for (const auto &t : table) {
        SCOPED_TRACE(t.runtime);
        store_other_than(t.code);
        sim::inject(sim::fault_kind::launch_config, 1, t.runtime);
        EXPECT_EQ(pkr_besselk_f64(out, in, 0.5, n), t.code);
        EXPECT_EQ(last_error(), t.code);
        EXPECT_EQ(dev::get_last_error(), 0);
    }
    EXPECT_TRUE(untouched());
    // Every entry maps a refusal the same way.
    for (const entry &e : all_entries()) {
        store_other_than(1);
        sim::inject(sim::fault_kind::launch_config, 1, 2);
        EXPECT_EQ(e.call(out, in, n), 1) << e.name;
        EXPECT_EQ(last_error(), 1) << e.name;
    }
    EXPECT_TRUE(untouched());
}

// An error left pending by earlier work (here a failed copy) is what the
// next call reports, without launching; the call after it goes ahead and
// stores 0.
TEST_F(BesselLaunch, PendingErrorCancelsTheNextCall) {
    const struct {
        int pending;
        pkrError code;
    } table[] = {{719, 7}, {2, 1}};
    for (const auto &t : table) {
        const int pending = t.pending;
        SCOPED_TRACE(pending);
        ASSERT_EQ(dev::memcpy_htod(out, guard.data(), guard.size()), 0);
        sim::inject(sim::fault_kind::memcpy_htod, 1, pending);
        EXPECT_EQ(dev::memcpy_htod(in, guard.data(), 8), pending);
        const size_t before = sim::stats().launches;
        EXPECT_EQ(pkr_besselj_c64(out, in, 1.0, n), t.code);
        EXPECT_EQ(last_error(), t.code);
        EXPECT_EQ(sim::stats().launches, before);
        EXPECT_TRUE(untouched());
        EXPECT_EQ(pkr_besselj_c64(out, in, 1.0, n), 0);
        EXPECT_EQ(last_error(), 0);
        EXPECT_FALSE(untouched());
    }
}

// A kernel that faults while it runs: on the simulated device the fault is
// pending when the launcher reads the error after queueing it.
TEST_F(BesselLaunch, FaultOfTheKernel) {
    sim::inject(sim::fault_kind::kernel_run, 1, 719);
    EXPECT_EQ(pkr_bessely_f32(out, in, 1.0f, n), 7);
    EXPECT_EQ(last_error(), 7);
    EXPECT_EQ(pkr_bessely_f32(out, in, 1.0f, n), 0);
    EXPECT_EQ(last_error(), 0);
}
#endif

// Only the twenty entries leave the library, under their plain names.
TEST(BesselExports, PlainNames) {
    const auto names = testenv::exported_names(TORVANE_LIB_PATH, {"bessel"});
    std::set<std::string> want;
    for (const entry &e : all_entries()) want.insert(e.name);
    EXPECT_EQ(names, want);
}

}  // namespace
