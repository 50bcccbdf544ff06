// PTX kernels under the race checker (sim-tsan): races between blocks are
// reported with the kernel and the PTX line, and the compare-and-swap loop
// of a double atomicAdd is none.
#include "harness.h"

using ptxtest::params;
using testenv::device_free;
using testenv::from_device;
using testenv::to_device;

namespace {

#if defined(__SANITIZE_THREAD__)
const char *const racy_increment = R"(.version 9.0
.target sm_75
.address_size 64
.visible .entry kernel_main(.param .u64 p)
{
    .reg .b32 %r<3>;
    .reg .b64 %rd<2>;
    ld.param.u64 %rd1, [p];
    ld.global.u32 %r1, [%rd1];
    add.s32 %r2, %r1, 1;
    st.global.u32 [%rd1], %r2;
    ret;
}
)";

const char *const cas_add = R"(.version 9.0
.target sm_75
.address_size 64
.visible .entry kernel_main(.param .u64 p)
{
    .reg .pred %p<2>;
    .reg .f64 %fd<3>;
    .reg .b64 %rd<5>;
    ld.param.u64 %rd1, [p];
    ld.global.u64 %rd2, [%rd1];
loop:
    mov.b64 %fd1, %rd2;
    add.f64 %fd2, %fd1, 0d3FF0000000000000;
    mov.b64 %rd3, %fd2;
    atom.global.cas.b64 %rd4, [%rd1], %rd2, %rd3;
    setp.ne.s64 %p1, %rd4, %rd2;
    mov.b64 %rd2, %rd4;
    @%p1 bra loop;
    ret;
}
)";

class PtxRace : public ptxtest::PtxTest {};

TEST_F(PtxRace, ARaceBetweenBlocksNamesTheKernelAndLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dev::drv_function f = load_text(racy_increment);
            unsigned *d = to_device(std::vector<unsigned>{0});
            ptxtest::launch(f, dim3(64), dim3(1), 0, params().ptr(d));
            dev::synchronize();
            std::exit(0);
        },
        testing::ExitedWithCode(66), "data race(.|\n)*PTX kernel_main ptx:(9|11)");
}

TEST_F(PtxRace, CompareAndSwapLoopAfterAPlainReadIsNoRace) {
    dev::drv_function f = load_text(cas_add);
    ASSERT_TRUE(f);
    double *d = to_device(std::vector<double>{0});
    ASSERT_EQ(ptxtest::launch(f, dim3(8), dim3(32), 0, params().ptr(d)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    EXPECT_EQ(from_device(d, 1)[0], 256.0);
    device_free(d);
}
#endif

}  // namespace
