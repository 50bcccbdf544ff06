// Legal idioms that must complete without a report, and faulty kernels that
// must fail their launch, each as nvcc's PTX through the driver and as the
// same source compiled for the backend, in several thread and block orders.
#include "corpus_kernels.h"
#include "harness.h"
#if defined(DEV_BACKEND_SIM)
#include "device/sim/control.h"
#endif

#include <string>
#include <vector>

using ptxtest::params;
using testenv::device_alloc;
using testenv::device_free;
using testenv::from_device;
using testenv::to_device;

namespace {

// The thread and block orders a case runs in (one on a GPU, which has its own).
struct run_order {
    const char *name;
#if defined(DEV_BACKEND_SIM)
    sim::order threads, blocks;
    unsigned seed;
#endif
};
#if defined(DEV_BACKEND_SIM)
const run_order orders[] = {
    {"forward", sim::order::forward, sim::order::forward, 0},
    {"reverse", sim::order::reverse, sim::order::reverse, 0},
    {"random", sim::order::random, sim::order::random, 7},
};
void use(const run_order &o) {
    sim::set_thread_order(o.threads, o.seed);
    sim::set_block_order(o.blocks, o.seed);
}
#else
const run_order orders[] = {{"gpu"}};
void use(const run_order &) {}
#endif

// Corpus kernels in one variant ("opt", "debug").
class Variant : public ptxtest::PtxTest {
protected:
    ~Variant() override {
#if defined(DEV_BACKEND_SIM)
        sim::set_thread_order(sim::order::forward);
        sim::set_block_order(sim::order::forward);
#endif
    }
    dev::drv_function kernel(const std::string &name, const char *variant = "opt") {
        std::string text = corpus_text(name, variant);
        if (text.empty()) {
            ADD_FAILURE() << "corpus file " << name << "." << variant << " missing";
            return nullptr;
        }
        return load_text(text);
    }
};
using DriverFaults = Variant;
using DriverShared = Variant;

// Both variants.
class Idioms : public Variant, public ::testing::WithParamInterface<const char *> {
protected:
    dev::drv_function kernel(const std::string &name) { return Variant::kernel(name, GetParam()); }
};

// ------------------------------------------------------------ waits

struct wait_case {
    const char *name;
    int mode;  // of corpus/waits.cu
    unsigned blocks, threads;
    bool compiled;  // the compiled source runs it too (no volatile spin)
};

const wait_case waits[] = {
    {"ThreadWaitsForAnotherThreadsAtomic", 0, 2, 64, true},
    {"WarpWaitsOnAVolatileFlagAnotherWarpSets", 1, 2, 96, false},
    {"GridBarrierOf4Blocks", 2, 4, 64, true},
    {"GridBarrierOf32Blocks", 2, 32, 32, true},
    {"GridBarrierSpinningOnAVolatileRead", 3, 32, 32, false},
    {"EachBlockWaitsForThePreviousOne", 4, 16, 32, true},
};

std::vector<unsigned> expected_waits(const wait_case &c) {
    std::vector<unsigned> v(c.blocks);
    for (unsigned b = 0; b < c.blocks; ++b)
        v[b] = c.mode <= 1 ? 1 : c.mode <= 3 ? c.blocks * (c.blocks + 1) / 2 : b + 1;
    return v;
}

TEST_P(Idioms, LegalWaitsComplete) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("waits");
    ASSERT_TRUE(f);
    for (const wait_case &c : waits)
        for (const run_order &o : orders)
            for (bool ptx : {true, false}) {
                if (!ptx && !c.compiled) continue;
                SCOPED_TRACE(std::string(c.name) + ", " + o.name + (ptx ? ", PTX" : ", compiled"));
                use(o);
                unsigned *flags = to_device(std::vector<unsigned>(c.blocks + 1, 0));
                unsigned *out = to_device(std::vector<unsigned>(c.blocks, 0));
                if (ptx) {
                    ASSERT_EQ(ptxtest::launch(f, dim3(c.blocks), dim3(c.threads), 0,
                                              params().add(c.mode).ptr(flags).ptr(out)),
                              0);
                } else {
                    ASSERT_EQ(dev::launch(corpus_waits, dim3(c.blocks), dim3(c.threads), 0, c.mode, flags, out), 0);
                }
                ASSERT_EQ(dev::synchronize(), 0);
                EXPECT_EQ(from_device(out, c.blocks), expected_waits(c));
                device_free(flags), device_free(out);
            }
}

#if defined(DEV_BACKEND_SIM)
// A grid-wide barrier of more blocks than the device holds at once never
// completes (on a GPU as here): the launch fails with a report that names the
// kernel, and the process goes on.
TEST_F(DriverFaults, GridBarrierBeyondTheResidentBlocksFailsTheLaunch) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("waits");
    ASSERT_TRUE(f);
    sim::device_desc one_sm{7, 5, size_t(1) << 30};
    one_sm.multiprocessors = 1;  // 16 blocks of 32 threads at once
    sim::set_devices({one_sm});
    sim::set_watchdog(1);
    for (bool ptx : {true, false}) {
        SCOPED_TRACE(ptx ? "PTX" : "compiled");
        testenv::device_env env2;
        const unsigned blocks = 17;
        unsigned *flags = to_device(std::vector<unsigned>(blocks + 1, 0));
        unsigned *out = to_device(std::vector<unsigned>(blocks, 0));
        ::testing::internal::CaptureStderr();
        int e = ptx ? ptxtest::launch(f, dim3(blocks), dim3(32), 0, params().add(2).ptr(flags).ptr(out))
                    : dev::launch(corpus_waits, dim3(blocks), dim3(32), 0, 2, flags, out);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(e, 0);
        EXPECT_EQ(dev::synchronize(), dev::err_launch_timeout);
        EXPECT_NE(err.find(ptx ? "kernel kernel_main" : "kernel corpus_waits"), std::string::npos) << err;
        EXPECT_NE(err.find("16 of its 17 blocks"), std::string::npos) << err;
    }
    sim::set_watchdog(60);
}

// A PTX thread that runs on without a switch is stopped by the watchdog; the
// launch fails and the report names the kernel.
TEST_F(DriverFaults, EndlessPtxLoopIsStopped) {
    dev::drv_function f = load_text(std::string(".version 8.0\n.target sm_75\n.address_size 64\n") + R"(
.visible .entry endless()
{
again:
    bra.uni again;
}
)", "endless");
    ASSERT_TRUE(f);
    sim::set_watchdog(1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(dev::drv_launch(f, dim3(2), dim3(1), 0, nullptr, 0), 0);
    std::string err = ::testing::internal::GetCapturedStderr();
    sim::set_watchdog(60);
    EXPECT_EQ(dev::synchronize(), dev::err_launch_timeout);
    EXPECT_NE(err.find("kernel endless, block"), std::string::npos) << err;
}
#endif

// ------------------------------------------------------------ warp masks

// What a legal mode of corpus/warpmasks.cu leaves in out[t].
int warp_mask_result(int mode, int t) {
    const int lane = t % 32, base = t - lane;
    switch (mode) {
    case 5: return lane < 16 ? base + 3 : -t;
    case 6: return lane < 16 ? 2 * (t + 16) : t - 16;
    default: return lane < 8 ? base + 7 + 8 : 0;
    }
}

TEST_P(Idioms, LegalWarpMasksStaySilent) {
    PTX_CORPUS_OR_SKIP();
    dev::drv_function f = kernel("warpmasks");
    ASSERT_TRUE(f);
    const int threads = 64;
    for (int mode : {5, 6, 7})
        for (const run_order &o : orders)
            for (bool ptx : {true, false}) {
                SCOPED_TRACE("mode " + std::to_string(mode) + ", " + o.name + (ptx ? ", PTX" : ", compiled"));
                use(o);
                int *out = to_device(std::vector<int>(threads, 0));
                if (ptx) {
                    ASSERT_EQ(ptxtest::launch(f, dim3(2), dim3(threads), 0, params().add(mode).ptr(out)), 0);
                } else {
                    ASSERT_EQ(dev::launch(corpus_warpmasks, dim3(2), dim3(threads), 0, mode, out), 0);
                }
                ASSERT_EQ(dev::synchronize(), 0);
                std::vector<int> want(threads);
                for (int t = 0; t < threads; ++t) want[size_t(t)] = warp_mask_result(mode, t);
                EXPECT_EQ(from_device(out, threads), want);
                device_free(out);
            }
}

#if defined(DEV_BACKEND_SIM)
// Misuses that a GPU leaves undefined and its checker reports: a launch
// failure, with the kernel, the site and the threads named.
TEST_F(DriverFaults, WarpMaskErrorsAndSplitBarriersFailTheLaunch) {
    PTX_CORPUS_OR_SKIP();
    struct row {
        int mode;
        std::vector<std::string> words;  // each in the report, beside the kernel and the site
    };
    const std::string gone = "whose mask names threads ";
    const row rows[] = {
        {0, {"threads 0-15 meet in a warp collective at ", gone + "16-31, which have exited"}},
        {1, {"calls a warp collective at ", "with mask 0x0000ffff, which leaves it out"}},
        {2, {"threads 0-15 meet in a warp collective at ", gone + "16-31, which have exited"}},
        {3, {"threads 0, 2, 4", gone + "1, 3, 5", "29, 31, which have exited"}},
        {4, {"threads wait at different block barriers: threads 0-15 at ", "; threads 16-31 at "}},
    };
    for (const row &r : rows)
        for (const run_order &o : orders)
            for (bool ptx : {true, false}) {
                SCOPED_TRACE("mode " + std::to_string(r.mode) + ", " + o.name + (ptx ? ", PTX" : ", compiled"));
                testenv::device_env own;  // the fault ends the context
                dev::drv_function f = ptx ? kernel("warpmasks") : nullptr;
                if (ptx) {
                    ASSERT_TRUE(f);
                }
                use(o);
                int *out = to_device(std::vector<int>(32, 0));
                ::testing::internal::CaptureStderr();
                EXPECT_EQ(ptx ? ptxtest::launch(f, dim3(1), dim3(32), 0, params().add(r.mode).ptr(out))
                              : dev::launch(corpus_warpmasks, dim3(1), dim3(32), 0, r.mode, out),
                          0);
                const std::string err = ::testing::internal::GetCapturedStderr();
                EXPECT_EQ(dev::synchronize(), dev::err_launch_failed);
                EXPECT_NE(err.find(ptx ? "kernel kernel_main, block" : "kernel corpus_warpmasks, block"),
                          std::string::npos)
                    << err;
                EXPECT_NE(err.find(ptx ? "at line " : "warpmasks.cu:"), std::string::npos) << err;
                for (const std::string &w : r.words) EXPECT_NE(err.find(w), std::string::npos) << w << "\n" << err;
            }
}
#endif

// ------------------------------------------------------------ shared memory

// Three kernels of one module, each with shared memory of its own: 32 KiB
// each for ka and kb, only the dynamic array for kc. Each stores 7 at byte
// `off` of its array.
std::string three_kernels() {
    std::string text = ".version 8.0\n.target sm_75\n.address_size 64\n"
                       ".shared .align 4 .b8 a[32768];\n"
                       ".shared .align 4 .b8 b[32768];\n"
                       ".extern .shared .align 16 .b8 dyn[];\n";
    for (const char *k : {"a", "b", "dyn"})
        text += std::string(".visible .entry k") + (k[0] == 'd' ? "c" : k) + R"((.param .u32 off)
{
    .reg .b32 %r<4>;
    ld.param.u32 %r1, [off];
    mov.u32 %r2, )" + k + R"(;
    add.u32 %r2, %r2, %r1;
    st.shared.u32 [%r2], 7;
    ret;
}
)";
    return text;
}

TEST_F(DriverShared, SharedMemoryIsEachKernelsOwn) {
    struct row {
        const char *entry;
        unsigned dynamic, off;
        int launch, sync;
        const char *report;  // what the report names; null: no fault
    };
    const row rows[] = {
        {"ka", 16384, 0, 0, 0, nullptr},
        {"kb", 16384, 32764, 0, 0, nullptr},
        {"ka", 16385, 0, dev::err_invalid_value, 0, nullptr},  // 48 KiB in all without the opt-in
        {"kc", 49152, 49148, 0, 0, nullptr},
#if defined(DEV_BACKEND_SIM)
        {"ka", 0, 32768, 0, dev::err_illegal_address, "out-of-bounds access of 4 bytes at shared address 0x8000"},
        {"ka", 64, 32768, 0, dev::err_launch_failed, "a write past static shared array a"},
        {"kc", 16, 16, 0, dev::err_illegal_address, "out-of-bounds"},
#endif
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.entry) + " dynamic " + std::to_string(r.dynamic) + " at " + std::to_string(r.off));
        testenv::device_env own;  // a fault ends the context
        dev::drv_module m = nullptr;
        ASSERT_EQ(dev::drv_module_load_data(&m, three_kernels().c_str()), 0) << log();
        dev::drv_function f = nullptr;
        ASSERT_EQ(dev::drv_module_get_function(&f, m, r.entry), 0);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(ptxtest::launch(f, dim3(2), dim3(1), r.dynamic, params().add(r.off)), r.launch);
        EXPECT_EQ(dev::synchronize(), r.sync);
        const std::string err = ::testing::internal::GetCapturedStderr();
        if (r.report) {
            EXPECT_NE(err.find(r.report), std::string::npos) << err;
            EXPECT_NE(err.find("kernel " + std::string(r.entry)), std::string::npos) << err;
        }
        dev::drv_module_unload(m);  // after a fault too (a GPU's ends with its context)
    }
}

INSTANTIATE_TEST_SUITE_P(Ptx, Idioms, ::testing::Values("opt", "debug"),
                         [](const ::testing::TestParamInfo<const char *> &i) { return std::string(i.param); });

}  // namespace
