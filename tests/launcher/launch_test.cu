// The launch sequence of the special functions and array kernels, with a
// kernel of the test's own: the error mapping, pending errors, the grid
// limits and what becomes the thread's last error.
#include "support/devenv.h"
#include "torvane/kernels/cuda/launch.h"

namespace {

__global__ void mark(int *flags, unsigned n) {
    unsigned i = (blockIdx.x * gridDim.y + blockIdx.y) * blockDim.x + threadIdx.x;
    if (i < n) flags[i] = 1;
}

pkrError last_error() {
    pkrError e = -1;
    EXPECT_EQ(torvane_last_error(&e), 0);
    return e;
}

class SpecialLaunch : public testenv::DeviceTest {
protected:
    static constexpr unsigned n = 300;
    int *flags = nullptr;
    void SetUp() override { clear(); }
    void TearDown() override {
        if (flags) testenv::device_free(flags);
    }
    void clear() {
        if (flags) testenv::device_free(flags);
        flags = testenv::to_device(std::vector<int>(n, 0));
    }
    pkrError run(launch::policy p, const launch::shape &s) {
        return launch::run(p, &mark, s, flags, n);
    }
    pkrError run(launch::policy p = launch::standard) { return run(p, launch::linear(n, 128)); }
    // Elements the kernel marked.
    int marked() {
        int count = 0;
        for (int v : testenv::from_device(flags, n)) count += v;
        return count;
    }
    // Leaves the runtime error 9 pending, as a launch refused by the runtime does.
    void leave_pending() {
        EXPECT_NE(dev::launch(&mark, dim3(1), dim3(4096), 0, flags, n), 0);
    }
};

TEST_F(SpecialLaunch, MapsRuntimeErrors) {
    const struct {
        int runtime;
        pkrError code;
    } table[] = {{0, 0}, {2, 1}, {9, 7}, {100, 5}, {209, 5}, {719, 7}, {1, 7}, {-1, 7}};
    for (const auto &t : table) {
        SCOPED_TRACE(t.runtime);
        EXPECT_EQ(launch::map_cuda_error(t.runtime), t.code);
    }
    for (int e : {3, 4, 99, 101, 208, 210, 999, 1 << 30}) EXPECT_EQ(launch::map_cuda_error(e), 7) << e;
}

#if defined(DEV_BACKEND_SIM)
TEST_F(SpecialLaunch, RefusedLaunchIsMappedAndStored) {
    const struct {
        int runtime;
        pkrError code;
    } table[] = {{0, 0}, {2, 1}, {9, 7}, {100, 5}, {209, 5}, {719, 7}, {1, 7}, {-1, 7}};
    for (const auto &t : table) {
        SCOPED_TRACE(t.runtime);
        clear();
        thr_seterror(33);
        if (t.runtime != 0) sim::inject(sim::fault_kind::launch_config, 1, t.runtime);
        EXPECT_EQ(run(), t.code);
        EXPECT_EQ(last_error(), t.code);
        EXPECT_EQ(marked(), t.runtime == 0 ? int(n) : 0);
        EXPECT_EQ(dev::get_last_error(), 0);  // the launcher read it
    }
}

// A fault of an earlier kernel is what the next call reports; that call
// launches nothing, and the one after it goes ahead and stores 0.
TEST_F(SpecialLaunch, PendingKernelFaultCancelsTheNextCall) {
    sim::inject(sim::fault_kind::kernel_run, 1, dev::err_launch_failed);
    ASSERT_EQ(dev::launch(&mark, dim3(1), dim3(1), 0, flags, 0u), 0);
    const size_t before = sim::stats().launches;
    EXPECT_EQ(run(), 7);
    EXPECT_EQ(last_error(), 7);
    EXPECT_EQ(sim::stats().launches, before);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(last_error(), 0);
    EXPECT_EQ(marked(), int(n));
}
#endif

TEST_F(SpecialLaunch, PendingErrorCancelsOnce) {
    leave_pending();
    EXPECT_EQ(run(), 7);
    EXPECT_EQ(last_error(), 7);
    EXPECT_EQ(marked(), 0);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(last_error(), 0);
    EXPECT_EQ(marked(), int(n));
}

TEST_F(SpecialLaunch, DiscardingPolicy) {
    // The pending error is dropped and success keeps the earlier last error.
    thr_seterror(4);
    leave_pending();
    EXPECT_EQ(run(launch::discarding), 0);
    EXPECT_EQ(last_error(), 4);
    EXPECT_EQ(marked(), int(n));
    // A failure is stored.
    clear();
    EXPECT_EQ(run(launch::discarding, {0, 1, 128, 1}), 7);
    EXPECT_EQ(last_error(), 7);
    EXPECT_EQ(marked(), 0);
}

// 0 blocks or more than 65535 in a dimension: refused by the library on every
// backend, reported as the runtime's invalid configuration, nothing queued.
TEST_F(SpecialLaunch, GridLimits) {
    const uint64_t too_wide[][2] = {
        {0, 1}, {1, 0}, {65536, 1}, {1, 65536}, {(uint64_t(1) << 32) + 1, 1}, {1, uint64_t(1) << 32}};
    for (const auto &g : too_wide) {
        SCOPED_TRACE(std::to_string(g[0]) + " x " + std::to_string(g[1]));
        thr_seterror(0);
        EXPECT_EQ(run(launch::standard, {g[0], g[1], 128, 1}), 7);
        EXPECT_EQ(last_error(), 7);
        EXPECT_EQ(dev::get_last_error(), 0);
    }
    EXPECT_EQ(marked(), 0);
    // The largest grids go ahead (the kernel marks the first n elements only).
    EXPECT_EQ(run(launch::standard, {65535, 1, 1, 1}), 0);
    EXPECT_EQ(run(launch::standard, {1, 65535, 1, 1}), 0);
    EXPECT_EQ(last_error(), 0);
    EXPECT_EQ(marked(), int(n));
}

TEST_F(SpecialLaunch, ShapeArithmetic) {
    EXPECT_EQ(launch::ceil_div(0, 128), 0u);
    EXPECT_EQ(launch::ceil_div(128, 128), 1u);
    EXPECT_EQ(launch::ceil_div(129, 128), 2u);
    EXPECT_EQ(launch::ceil_div(uint64_t(1) << 40, 16), uint64_t(1) << 36);
    EXPECT_EQ(launch::ceil_div(4294967295u, 16), 268435456u);
    const launch::shape s = launch::linear(0, 256);
    EXPECT_EQ(s.grid_x, 0u);
    EXPECT_EQ(s.grid_y, 1u);
    EXPECT_EQ(s.block_x, 256u);
    // An empty grid is refused like any other.
    thr_seterror(0);
    EXPECT_EQ(run(launch::standard, s), 7);
    EXPECT_EQ(last_error(), 7);
}

}  // namespace
