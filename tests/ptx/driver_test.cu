// The driver's module path: loads that fail with a diagnostic naming the
// line, function lookup, unloading, the launch limits, parameter blocks,
// kernels that fault as a GPU reports it, and mutated PTX that must be
// refused without harm.
#include "harness.h"

#include <random>

using ptxtest::params;
using testenv::device_alloc;
using testenv::device_free;
using testenv::from_device;
using testenv::to_device;

namespace {

const char *const header = ".version 9.0\n.target sm_75\n.address_size 64\n";

// out[tid] = tid + v, through a grid of any shape.
const char *const fill = R"(.version 9.0
.target sm_75
.address_size 64
.visible .entry kernel_main(.param .u64 out, .param .u32 v)
{
    .reg .b32 %r<8>;
    .reg .b64 %rd<4>;
    ld.param.u64 %rd1, [out];
    ld.param.u32 %r1, [v];
    mov.u32 %r2, %ctaid.x;
    mov.u32 %r3, %ntid.x;
    mov.u32 %r4, %tid.x;
    mad.lo.s32 %r5, %r2, %r3, %r4;
    add.s32 %r6, %r5, %r1;
    mul.wide.s32 %rd2, %r5, 4;
    add.s64 %rd3, %rd1, %rd2;
    st.global.u32 [%rd3], %r6;
    ret;
}
.func helper()
{
    ret;
}
)";

class Driver : public ptxtest::PtxTest {};

struct bad_case {
    const char *body;   // after the header (none when `whole`)
    bool whole;
    unsigned line;      // the line the diagnostic names
    const char *words;  // part of the diagnostic
    bool on_gpu = true; // a GPU's driver refuses it too (it has half types, more barriers, newer targets)
    int code = dev::err_invalid_ptx;
};

TEST_F(Driver, InvalidPtxIsRefusedWithTheLineNamed) {
    static const bad_case cases[] = {
        {"", true, 1, ".version"},
        {".version 9.0\n.target sm_90\n", true, 2, "capability", false},
        {".version 10.0\n.target sm_75\n", true, 1, "version", false, 222},  // unsupported PTX version
        {".version 9.0\n.target sm_75\n.address_size 32\n", true, 3, "address_size"},
        {"\x01\x02garbage", true, 1, "unexpected character"},
        {".visible .entry kernel_main()\n{\n    foo.b32 %r1, 1;\n}\n", false, 6, "unsupported instruction"},
        {".visible .entry kernel_main()\n{\n    .reg .b32 %r<2>;\n    add.s32 %r1, %r7, 1;\n}\n", false, 7, "%r7"},
        {".visible .entry kernel_main()\n{\n    bra $L__none;\n}\n", false, 6, "$L__none"},
        {".visible .entry kernel_main()\n{\n    .reg .b32 %r<2>;\n    mov.b32 %r1, 1\n}\n", false, 8, "expected ';'"},
        {".visible .entry kernel_main()\n{\n    ret;\n", false, 7, "not closed"},
        {".extern .func (.param .b32 r) elsewhere(.param .b64 f, .param .b64 a);\n"
         ".visible .entry kernel_main()\n{\n    .param .b64 p0;\n    .param .b64 p1;\n    .param .b32 r0;\n"
         "    call.uni (r0), elsewhere, (p0, p1);\n}\n", false, 10, "elsewhere"},
        {".visible .entry kernel_main()\n{\n    bar.sync 1;\n}\n", false, 6, "barrier", false},
        {".visible .entry kernel_main()\n{\n    .reg .b16 %h<2>;\n    add.rn.bf16 %h1, %h1, %h1;\n}\n", false, 7, "bf16", false},
        {".global .u32 g;\n.visible .entry kernel_main()\n{\n    st.const.u32 [g], 1;\n}\n", false, 7, "read-only"},
        {".visible .entry kernel_main()\n{\n    .reg .b32 %r<2>;\n    add.f32 %r1, %r1;\n}\n", false, 7, "operands"},
        {".visible .entry kernel_main()\n{\n    .reg .b32 %r<2>;\n    @%r1 bra L;\nL:\n}\n", false, 7, "predicate"},
        {".visible .entry kernel_main()\n{\n    .reg .b32 %r<2>;\n    div.f32 %r1, %r1, %r1;\n}\n", false, 7, "rounding"},
        {".visible .entry kernel_main()\n{\n    .reg .b64 %rd<2>;\n    .reg .b32 %r<2>;\n    .reg .f32 %f<5>;\n"
         "    tex.2d.v4.f32.s32 {%f1, %f2, %f3, %f4}, [%rd1, {%r1, %r1}];\n}\n", false, 9, "1-D element fetches", false},
        {".visible .entry kernel_main()\n{\n    .reg .b64 %rd<2>;\n    .reg .b32 %r<2>;\n    .reg .f32 %f<5>;\n"
         "    ld.global.f32 %f1, [%rd1, {%r1}];\n}\n", false, 9, "coordinates"},
        {".shared .align 4 .b8 big[50000];\n.visible .entry kernel_main()\n{\n    .reg .b32 %r<2>;\n"
         "    mov.u32 %r1, big;\n}\n", false, 5, "'kernel_main' exceed 48 KiB"},
    };
    for (const bad_case &c : cases) {
        std::string text = c.whole ? std::string(c.body) : std::string(header) + c.body;
        if (!testenv::sim_backend && !c.on_gpu) continue;
        dev::drv_module m = nullptr;
        int e = dev::drv_module_load_data(&m, text.c_str());
        if (!testenv::sim_backend) {
            EXPECT_NE(e, 0) << text;
            continue;
        }
        EXPECT_EQ(e, c.code) << text;
#if defined(DEV_BACKEND_SIM)
        std::string diag = sim::ptx_log();
        EXPECT_EQ(diag.rfind("line " + std::to_string(c.line) + ":", 0), 0u) << diag << "\nfor\n" << text;
        EXPECT_NE(diag.find(c.words), std::string::npos) << diag << "\nfor\n" << text;
#endif
    }
    // A good load clears the diagnostic.
    EXPECT_TRUE(load_text(fill));
#if defined(DEV_BACKEND_SIM)
    EXPECT_EQ(sim::ptx_log(), "");
#endif
}

TEST_F(Driver, FunctionLookupAndUnload) {
    dev::drv_module m = nullptr;
    ASSERT_EQ(dev::drv_module_load_data(&m, fill), 0);
    dev::drv_function f = nullptr;
    EXPECT_EQ(dev::drv_module_get_function(&f, m, "kernel_main"), 0);
    EXPECT_NE(f, nullptr);
    dev::drv_function g = nullptr;
    EXPECT_EQ(dev::drv_module_get_function(&g, m, "kernel"), dev::err_not_found);
    EXPECT_EQ(dev::drv_module_get_function(&g, m, "helper"), dev::err_not_found);  // not an entry
    EXPECT_EQ(dev::drv_module_get_function(nullptr, m, "kernel_main"), dev::err_invalid_value);
    EXPECT_EQ(dev::drv_module_unload(m), 0);
#if defined(DEV_BACKEND_SIM)
    EXPECT_EQ(dev::drv_module_unload(nullptr), dev::err_invalid_value);
    // Handles of an unloaded module are dead.
    EXPECT_EQ(dev::drv_module_get_function(&g, m, "kernel_main"), 400);
    int out = 0;
    EXPECT_EQ(dev::drv_launch(f, dim3(1), dim3(1), 0, &out, 0), 400);
    EXPECT_EQ(dev::drv_module_load_data(&m, "\x7f" "ELF\x02\x01"), dev::err_not_supported);
#endif
}

TEST_F(Driver, LaunchRunsTheGridWithItsParameters) {
    dev::drv_function f = load_text(fill);
    ASSERT_TRUE(f);
    const unsigned n = 3 * 100;
    unsigned *out = device_alloc<unsigned>(n);
#if defined(DEV_BACKEND_SIM)
    sim::log_calls(true);
#endif
    ASSERT_EQ(ptxtest::launch(f, dim3(3), dim3(100), 0, params().ptr(out).add(7u)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<unsigned> got = from_device(out, n);
    for (unsigned k = 0; k < n; ++k) EXPECT_EQ(got[k], k + 7) << k;
#if defined(DEV_BACKEND_SIM)
    std::vector<sim::call> log = sim::calls();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].kind, sim::call_kind::launch);
    EXPECT_EQ(log[0].name, "kernel_main");
    EXPECT_EQ(log[0].grid.x, 3u);
    EXPECT_EQ(log[0].block.x, 100u);
#endif
    device_free(out);
}

TEST_F(Driver, LaunchLimitsAreCheckedAtTheLaunch) {
    dev::drv_function f = load_text(fill);
    ASSERT_TRUE(f);
    unsigned *out = device_alloc<unsigned>(4);
    params p = params().ptr(out).add(0u);
    struct {
        dim3 grid, block;
        unsigned shared;
    } refused[] = {
        {dim3(1), dim3(1025), 0},       {dim3(1), dim3(32, 32, 2), 0}, {dim3(1), dim3(1, 1, 65), 0},
        {dim3(0), dim3(1), 0},          {dim3(1, 65536), dim3(1), 0},  {dim3(1), dim3(0), 0},
        {dim3(1), dim3(1), 48 * 1024 + 1},
    };
    for (auto &r : refused)
        EXPECT_EQ(ptxtest::launch(f, r.grid, r.block, r.shared, p), dev::err_invalid_value)
            << r.grid.x << "x" << r.grid.y << " " << r.block.x << "x" << r.block.y << "x" << r.block.z;
#if defined(DEV_BACKEND_SIM)
    // Parameter blocks shorter than the kernel's, or missing.
    EXPECT_EQ(dev::drv_launch(f, dim3(1), dim3(1), 0, p.bytes.data(), 11), dev::err_invalid_value);
    EXPECT_EQ(dev::drv_launch(f, dim3(1), dim3(1), 0, nullptr, 12), dev::err_invalid_value);
    EXPECT_EQ(dev::drv_launch(nullptr, dim3(1), dim3(1), 0, p.bytes.data(), 12), dev::err_invalid_value);
#endif
    EXPECT_EQ(ptxtest::launch(f, dim3(1), dim3(4), 48 * 1024, p), 0);
    EXPECT_EQ(dev::synchronize(), 0);
    device_free(out);
}

// A module's kernels do not share their static shared memory: two arrays of
// 30000 bytes load, and each kernel's limit counts its own.
TEST_F(Driver, StaticSharedMemoryIsEachKernelsOwn) {
    const char *text = R"(.version 9.0
.target sm_75
.address_size 64
.shared .align 4 .b8 a[30000];
.shared .align 4 .b8 b[30000];
.visible .entry first(.param .u64 out)
{
    .reg .b32 %r<2>;
    .reg .b64 %rd<2>;
    st.shared.u32 [a+29996], 5;
    ld.shared.u32 %r1, [a+29996];
    ld.param.u64 %rd1, [out];
    st.global.u32 [%rd1], %r1;
    ret;
}
.visible .entry second(.param .u64 out)
{
    .reg .b32 %r<2>;
    .reg .b64 %rd<2>;
    st.shared.u32 [b], 6;
    ld.shared.u32 %r1, [b];
    ld.param.u64 %rd1, [out];
    st.global.u32 [%rd1+4], %r1;
    ret;
}
)";
    dev::drv_module m = nullptr;
    ASSERT_EQ(dev::drv_module_load_data(&m, text), 0);
    dev::drv_function f = nullptr, g = nullptr;
    ASSERT_EQ(dev::drv_module_get_function(&f, m, "first"), 0);
    ASSERT_EQ(dev::drv_module_get_function(&g, m, "second"), 0);
    unsigned *out = device_alloc<unsigned>(2);
    params p = params().ptr(out);
    EXPECT_EQ(ptxtest::launch(f, dim3(1), dim3(1), 48 * 1024 - 30000, p), 0);
    EXPECT_EQ(ptxtest::launch(g, dim3(1), dim3(1), 0, p), 0);
    EXPECT_EQ(ptxtest::launch(g, dim3(1), dim3(1), 48 * 1024 - 30000 + 1, p), dev::err_invalid_value);
    EXPECT_EQ(dev::synchronize(), 0);
    EXPECT_EQ(from_device(out, 2), (std::vector<unsigned>{5, 6}));
    device_free(out);
    EXPECT_EQ(dev::drv_module_unload(m), 0);
}

// A function reached only through its address gets a place for its shared
// variables in the window of the kernel that takes the address; one whose
// address no kernel takes adds nothing to any kernel's 48 KiB.
TEST_F(Driver, SharedVariablesOfFunctionsCalledThroughPointers) {
    const char *text = R"(.version 9.0
.target sm_75
.address_size 64
.shared .align 4 .b8 own[40000];
.shared .align 4 .b8 mine[16];
.shared .align 4 .b8 never[40000];
.func (.param .b32 r) bump(.param .b32 x)
{
    .reg .b32 %r<3>;
    ld.param.b32 %r1, [x];
    st.shared.u32 [mine], %r1;
    ld.shared.u32 %r2, [mine];
    add.u32 %r2, %r2, 1;
    st.param.b32 [r], %r2;
    ret;
}
.func (.param .b32 r) unused(.param .b32 x)
{
    .reg .b32 %r<2>;
    st.shared.u32 [never], 1;
    ld.param.b32 %r1, [x];
    st.param.b32 [r], %r1;
    ret;
}
.visible .entry kernel_main(.param .u64 out)
{
    .reg .b32 %r<4>;
    .reg .b64 %rd<3>;
    st.shared.u32 [own], 5;
    mov.u64 %rd2, bump;
    {
    .param .b32 a0;
    .param .b32 r0;
    prototype_0 : .callprototype (.param .b32 _) _ (.param .b32 _);
    st.param.b32 [a0], 41;
    call (r0), %rd2, (a0), prototype_0;
    ld.param.b32 %r1, [r0];
    }
    ld.shared.u32 %r2, [own];
    ld.param.u64 %rd1, [out];
    st.global.u32 [%rd1], %r1;
    st.global.u32 [%rd1+4], %r2;
    ret;
}
)";
    dev::drv_module m = nullptr;
    ASSERT_EQ(dev::drv_module_load_data(&m, text), 0);
    dev::drv_function f = nullptr;
    ASSERT_EQ(dev::drv_module_get_function(&f, m, "kernel_main"), 0);
    unsigned *out = device_alloc<unsigned>(2);
    EXPECT_EQ(ptxtest::launch(f, dim3(1), dim3(1), 0, params().ptr(out)), 0);
    EXPECT_EQ(dev::synchronize(), 0);
    EXPECT_EQ(from_device(out, 2), (std::vector<unsigned>{42, 5}));
    device_free(out);
    EXPECT_EQ(dev::drv_module_unload(m), 0);
}

TEST_F(Driver, DeclaredBlockShapesAreEnforced) {
    std::string body = std::string(std::strstr(fill, ".visible"));
    std::string bounded = std::string(header) + body.replace(body.find(")\n{"), 3, ") .maxntid 64, 1, 1\n{");
    std::string exact = std::string(header) + std::string(std::strstr(fill, ".visible"));
    exact.replace(exact.find(")\n{"), 3, ") .reqntid 32, 2\n{");
    dev::drv_function fb = load_text(bounded), fe = load_text(exact);
    ASSERT_TRUE(fb && fe);
    unsigned *out = device_alloc<unsigned>(128);
    params p = params().ptr(out).add(0u);
    EXPECT_EQ(ptxtest::launch(fb, dim3(1), dim3(65), 0, p), dev::err_invalid_value);
    EXPECT_EQ(ptxtest::launch(fb, dim3(1), dim3(32, 2), 0, p), 0);
    EXPECT_EQ(ptxtest::launch(fe, dim3(1), dim3(64), 0, p), dev::err_invalid_value);
    EXPECT_EQ(ptxtest::launch(fe, dim3(1), dim3(32, 2), 0, p), 0);
    EXPECT_EQ(dev::synchronize(), 0);
    device_free(out);
}

TEST_F(Driver, ModuleVariablesWithInitialisers) {
    std::string text = std::string(header) + R"(.const .align 4 .u32 tab[4] = {10, 20, 30, 40};
.global .align 8 .f64 scale = 0d4004000000000000;
.global .align 8 .u64 where[2] = {generic(tab), 0};
.global .align 4 .b8 bytes[] = {1, 2, 3};
.visible .entry kernel_main(.param .u64 out)
{
    .reg .b32 %r<8>;
    .reg .b64 %rd<8>;
    .reg .f64 %fd<3>;
    ld.param.u64 %rd1, [out];
    ld.const.u32 %r1, [tab+8];
    ld.global.f64 %fd1, [scale];
    cvt.rn.f64.u32 %fd2, %r1;
    mul.rn.f64 %fd2, %fd2, %fd1;
    cvt.rzi.u32.f64 %r2, %fd2;
    ld.global.u64 %rd2, [where];
    ld.u32 %r3, [%rd2+12];
    ld.global.u8 %r4, [bytes+2];
    mov.u64 %rd3, tab;
    ld.const.u32 %r5, [%rd3+4];
    st.global.v4.u32 [%rd1], {%r2, %r3, %r4, %r5};
    ret;
}
)";
    dev::drv_function f = load_text(text);
    ASSERT_TRUE(f);
    unsigned *out = device_alloc<unsigned>(4);
    ASSERT_EQ(ptxtest::launch(f, dim3(1), dim3(1), 0, params().ptr(out)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    EXPECT_EQ(from_device(out, 4), (std::vector<unsigned>{75, 40, 3, 20}));
    device_free(out);
}

#if defined(DEV_BACKEND_SIM)
TEST(SimPtx, TargetAboveTheDeviceCapabilityIsRefused) {
    sim::set_devices({sim::device_desc{2, 0, size_t(1) << 30}});
    testenv::device_env env;
    dev::drv_module m = nullptr;
    EXPECT_EQ(dev::drv_module_load_data(&m, fill), dev::err_invalid_ptx);
    EXPECT_NE(sim::ptx_log().find("capability 7.5"), std::string::npos) << sim::ptx_log();
    EXPECT_NE(sim::ptx_log().find("has 2.0"), std::string::npos) << sim::ptx_log();
    std::string old = std::string(".version 9.0\n.target sm_20\n.address_size 64\n") +
                      (std::strstr(fill, ".visible"));
    ASSERT_EQ(dev::drv_module_load_data(&m, old.c_str()), 0) << sim::ptx_log();
    dev::drv_function f = nullptr;
    ASSERT_EQ(dev::drv_module_get_function(&f, m, "kernel_main"), 0);
    unsigned *out = device_alloc<unsigned>(1);
    params p = params().ptr(out).add(0u);
    // Capability 2.0: at most 65535 blocks along x.
    EXPECT_EQ(ptxtest::launch(f, dim3(65536), dim3(1), 0, p), dev::err_invalid_value);
    device_free(out);
    dev::drv_module_unload(m);
}
#endif

// A kernel whose thread `bad` accesses `addr + off` in the given form, after
// the module's declarations `decl`.
std::string faulty(const std::string &access, const std::string &decl = "") {
    return std::string(header) + decl + R"(.shared .align 4 .b8 sbuf[64];
.visible .entry kernel_main(.param .u64 p, .param .u32 bad, .param .u32 off)
{
    .reg .pred %p<2>;
    .reg .b32 %r<8>;
    .reg .b64 %rd<8>;
    .local .align 4 .b8 depot[16];
    ld.param.u64 %rd1, [p];
    ld.param.u32 %r1, [bad];
    ld.param.u32 %r2, [off];
    mov.u32 %r3, %tid.x;
    setp.ne.u32 %p1, %r3, %r1;
    @%p1 bra done;
    cvt.u64.u32 %rd2, %r2;
    add.s64 %rd3, %rd1, %rd2;
    )" + access + R"(
done:
    ret;
}
)";
}

struct fault_case {
    const char *name;
    const char *access;
    unsigned off;
    int code;
    bool on_gpu;  // a real GPU faults as well (its allocations and windows are coarser)
    const char *decl = "";
};

const fault_case fault_cases[] = {
    {"GlobalOnePastTheBlock", "st.global.u32 [%rd3], %r3;", 64, 700, false},
    {"GlobalLastWord", "st.global.u32 [%rd3], %r3;", 60, 0, true},
    {"GlobalMisaligned", "st.global.u32 [%rd3], %r3;", 2, 716, true},
    {"VectorAlignsToItsSize", "ld.global.v2.u32 {%r4, %r5}, [%rd3];", 4, 716, true},
    {"GenericFarAway", "st.u32 [%rd3], %r3;", 1 << 20, 700, false},
    {"GlobalNull", "mov.u64 %rd3, 0; ld.global.u32 %r4, [%rd3];", 0, 700, true},
    {"SharedOnePastTheEnd", "mov.u32 %r4, sbuf; add.u32 %r4, %r4, %r2; st.shared.u32 [%r4], %r3;", 64, 700, false},
    {"SharedLastWord", "mov.u32 %r4, sbuf; add.u32 %r4, %r4, %r2; st.shared.u32 [%r4], %r3;", 60, 0, true},
    {"LocalOnePastTheDepot", "mov.u64 %rd4, depot; add.s64 %rd4, %rd4, %rd2; st.local.u32 [%rd4], %r3;", 16, 700, false},
    {"LocalMisaligned", "mov.u64 %rd4, depot; add.s64 %rd4, %rd4, %rd2; st.local.u32 [%rd4], %r3;", 1, 716, true},
    {"Trap", "trap;", 0, 719, true},
    {"CallThroughADataAddress",
     "{ .param .b32 a0; prototype_0 : .callprototype ()_ (.param .b32 _); st.param.b32 [a0], 1; "
     "call %rd3, (a0), prototype_0; }", 0, 719, false},
    {"FreeOfMemoryNotFromTheDeviceHeap", "{ .param .b64 f0; st.param.b64 [f0], %rd3; call.uni free, (f0); }", 0,
     719, false, ".extern .func free(.param .b64 free_param_0);\n"},
    {"BarrierNumberInARegisterOtherThanZero", "barrier.sync %r1;", 0, 719, false},
};

// One case per process: a fault ends the context on a GPU.
class Fault : public ptxtest::PtxTest, public ::testing::WithParamInterface<fault_case> {};

TEST_P(Fault, ReportsTheGpuError) {
    const fault_case &c = GetParam();
    if (!testenv::sim_backend && !c.on_gpu) GTEST_SKIP() << "the simulated device's bounds are exact";
    dev::drv_function f = load_text(faulty(c.access, c.decl));
    ASSERT_TRUE(f);
    unsigned *buf = device_alloc<unsigned>(16);
    EXPECT_EQ(ptxtest::launch(f, dim3(2), dim3(64), 0, params().ptr(buf).add(5u).add(c.off)), 0);
    EXPECT_EQ(dev::synchronize(), c.code) << c.access << " at " << c.off;
    if (c.code == 0) {
        if (std::strstr(c.access, "st.global")) {
            EXPECT_EQ(from_device(buf, 16)[c.off / 4], 5u);
        }
        device_free(buf);
        return;
    }
    // The context stays failed: later calls return the fault, launches included.
    EXPECT_EQ(dev::synchronize(), c.code);
    EXPECT_EQ(ptxtest::launch(f, dim3(1), dim3(1), 0, params().ptr(buf).add(5u).add(0u)), c.code);
    EXPECT_EQ(dev::free(buf), c.code);
}

INSTANTIATE_TEST_SUITE_P(Ptx, Fault, ::testing::ValuesIn(fault_cases),
                         [](const ::testing::TestParamInfo<fault_case> &i) { return std::string(i.param.name); });

#if defined(DEV_BACKEND_SIM)
// Thread 0 sums what every thread stored in shared memory. Without the
// barrier, forward order runs warp 0 past the stores of the other warps.
std::string gather(bool barrier) {
    return std::string(header) + R"(.shared .align 4 .b8 vals[512];
.visible .entry kernel_main(.param .u64 out)
{
    .reg .pred %p<3>;
    .reg .b32 %r<10>;
    .reg .b64 %rd<4>;
    mov.u32 %r1, %tid.x;
    shl.b32 %r2, %r1, 2;
    mov.u32 %r3, vals;
    add.u32 %r4, %r3, %r2;
    st.shared.u32 [%r4], 1;
    )" + (barrier ? "bar.sync 0;" : "") + R"(
    setp.ne.u32 %p1, %r1, 0;
    @%p1 bra done;
    mov.u32 %r5, 0;
    mov.u32 %r6, 0;
loop:
    add.u32 %r7, %r3, %r6;
    ld.shared.u32 %r8, [%r7];
    add.u32 %r5, %r5, %r8;
    add.u32 %r6, %r6, 4;
    setp.lt.u32 %p2, %r6, 512;
    @%p2 bra loop;
    ld.param.u64 %rd1, [out];
    st.global.u32 [%rd1], %r5;
done:
    ret;
}
)";
}

TEST_F(Driver, MissingBarrierShowsInTheResult) {
    for (bool barrier : {true, false}) {
        dev::drv_function f = load_text(gather(barrier));
        ASSERT_TRUE(f);
        unsigned *out = to_device(std::vector<unsigned>{0});
        ASSERT_EQ(ptxtest::launch(f, dim3(1), dim3(128), 0, params().ptr(out)), 0);
        ASSERT_EQ(dev::synchronize(), 0);
        if (sim::thread_order() == sim::order::forward) {
            EXPECT_EQ(from_device(out, 1)[0] == 128u, barrier);
        }
        device_free(out);
    }
}

TEST_F(Driver, CollectiveThatCannotCompleteStopsTheLaunch) {
    // Lane 0 waits in a shuffle with lane 1, which waits at the block barrier.
    std::string text = std::string(header) + R"(.visible .entry kernel_main()
{
    .reg .pred %p<2>;
    .reg .b32 %r<4>;
    mov.u32 %r1, %tid.x;
    setp.eq.u32 %p1, %r1, 0;
    @%p1 bra lane0;
    bar.sync 0;
    ret;
lane0:
    shfl.sync.idx.b32 %r2, %r1, 1, 31, 3;
    ret;
}
)";
    dev::drv_function f = load_text(text);
    ASSERT_TRUE(f);
    EXPECT_EQ(dev::drv_launch(f, dim3(1), dim3(2), 0, nullptr, 0), 0);
    EXPECT_EQ(dev::synchronize(), dev::err_launch_failed);
}

// Mutated corpus PTX is refused or loads; nothing else happens to the process.
TEST_F(Driver, MutatedPtxNeverHarmsTheLoader) {
    std::vector<std::string> seeds = {fill, faulty("st.global.u32 [%rd3], %r3;"), gather(true)};
    for (const char *name : {"saxpy", "reduce", "structs", "warp", "mathf"}) {
        std::string t = corpus_text(name, "opt");
        if (!t.empty()) seeds.push_back(t);
    }
    std::mt19937 g(12345);
    const int rounds = 100;
    size_t loaded = 0, refused = 0;
    for (const std::string &seed : seeds) {
        for (int k = 0; k < rounds; ++k) {
            std::string s = seed;
            for (int edits = 1 + int(g() % 3); edits > 0 && !s.empty(); --edits) {
                size_t at = g() % s.size(), len = 1 + g() % 24;
                switch (g() % 6) {
                case 0: s.erase(at, len); break;                                      // a hole
                case 1: s.insert(at, s.substr(g() % s.size(), len)); break;           // a copy
                case 2: s[at] = char(g() % 256); break;                              // a byte
                case 3: s.resize(at); break;                                          // truncated
                case 4: s.insert(at, std::string(1, "{}[]();,.%@!-+0x"[g() % 16])); break;
                default: {                                                            // a swap
                    size_t b = g() % s.size();
                    std::swap(s[at], s[b]);
                    break;
                }
                }
            }
            dev::drv_module m = nullptr;
            int e = dev::drv_module_load_data(&m, s.c_str());
            if (e == 0) {
                ++loaded;
                dev::drv_module_unload(m);
            } else {
                ++refused;
                EXPECT_TRUE(e == dev::err_invalid_ptx || e == dev::err_not_supported) << e;
                EXPECT_EQ(sim::ptx_log().rfind("line ", 0), 0u) << sim::ptx_log();
            }
        }
    }
    EXPECT_GT(refused, 0u);
    EXPECT_GT(loaded + refused, 0u);
}
#endif

}  // namespace
