// Thread-instructions per second of PTX kernels launched through the driver,
// over 2^20 elements: y = a x + y with one thread per element (the form
// nvcc emits for an elementwise kernel; fiber start-up included), and the
// same as a grid-stride loop over 256 blocks of 256 threads (mostly the
// instructions themselves), and a sum of four inputs into a fifth array, one
// thread per element: more allocations than a thread's address checks keep
// at hand, which must not serialise the host threads. Best of the repetitions.
//
//   ptx_bench [--log2 N] [--reps N]     (default: 20 and 5)
#include "device/device.h"
#if defined(DEV_BACKEND_SIM)
#include "device/sim/control.h"
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const elementwise = R"(.version 9.0
.target sm_75
.address_size 64
.visible .entry kernel_main(.param .f32 a, .param .u64 x, .param .u64 y, .param .u32 n)
{
    .reg .pred %p<2>;
    .reg .f32 %f<5>;
    .reg .b32 %r<6>;
    .reg .b64 %rd<8>;
    ld.param.f32 %f1, [a];
    ld.param.u64 %rd1, [x];
    ld.param.u64 %rd2, [y];
    ld.param.u32 %r2, [n];
    mov.u32 %r3, %ctaid.x;
    mov.u32 %r4, %ntid.x;
    mov.u32 %r5, %tid.x;
    mad.lo.s32 %r1, %r3, %r4, %r5;
    setp.ge.s32 %p1, %r1, %r2;
    @%p1 bra done;
    cvta.to.global.u64 %rd3, %rd1;
    mul.wide.s32 %rd4, %r1, 4;
    add.s64 %rd5, %rd3, %rd4;
    ld.global.f32 %f2, [%rd5];
    cvta.to.global.u64 %rd6, %rd2;
    add.s64 %rd7, %rd6, %rd4;
    ld.global.f32 %f3, [%rd7];
    fma.rn.f32 %f4, %f2, %f1, %f3;
    st.global.f32 [%rd7], %f4;
done:
    ret;
}
)";
// Per thread, the skipped branch and the return included.
const unsigned elementwise_insns = 20;

const char *const grid_stride = R"(.version 9.0
.target sm_75
.address_size 64
.visible .entry kernel_main(.param .f32 a, .param .u64 x, .param .u64 y, .param .u32 n)
{
    .reg .pred %p<3>;
    .reg .f32 %f<5>;
    .reg .b32 %r<10>;
    .reg .b64 %rd<8>;
    ld.param.f32 %f1, [a];
    ld.param.u64 %rd1, [x];
    ld.param.u64 %rd2, [y];
    ld.param.u32 %r2, [n];
    mov.u32 %r3, %ctaid.x;
    mov.u32 %r4, %ntid.x;
    mov.u32 %r5, %tid.x;
    mad.lo.s32 %r1, %r3, %r4, %r5;
    mov.u32 %r6, %nctaid.x;
    mul.lo.s32 %r7, %r6, %r4;
    cvta.to.global.u64 %rd3, %rd1;
    cvta.to.global.u64 %rd6, %rd2;
    setp.ge.s32 %p1, %r1, %r2;
    @%p1 bra done;
loop:
    mul.wide.s32 %rd4, %r1, 4;
    add.s64 %rd5, %rd3, %rd4;
    ld.global.f32 %f2, [%rd5];
    add.s64 %rd7, %rd6, %rd4;
    ld.global.f32 %f3, [%rd7];
    fma.rn.f32 %f4, %f2, %f1, %f3;
    st.global.f32 [%rd7], %f4;
    add.s32 %r1, %r1, %r7;
    setp.lt.s32 %p2, %r1, %r2;
    @%p2 bra loop;
done:
    ret;
}
)";
// Per thread: 14 before the loop, 10 per iteration, the return.
const unsigned grid_stride_fixed = 15, grid_stride_loop = 10;

const char *const four_inputs = R"(.version 9.0
.target sm_75
.address_size 64
.visible .entry kernel_main(.param .u64 a, .param .u64 b, .param .u64 c, .param .u64 d,
                            .param .u64 out, .param .u32 n)
{
    .reg .pred %p<2>;
    .reg .f32 %f<8>;
    .reg .b32 %r<6>;
    .reg .b64 %rd<12>;
    ld.param.u64 %rd1, [a];
    ld.param.u64 %rd2, [b];
    ld.param.u64 %rd3, [c];
    ld.param.u64 %rd4, [d];
    ld.param.u64 %rd5, [out];
    ld.param.u32 %r2, [n];
    mov.u32 %r3, %ctaid.x;
    mov.u32 %r4, %ntid.x;
    mov.u32 %r5, %tid.x;
    mad.lo.s32 %r1, %r3, %r4, %r5;
    setp.ge.s32 %p1, %r1, %r2;
    @%p1 bra done;
    mul.wide.s32 %rd6, %r1, 4;
    add.s64 %rd7, %rd1, %rd6;
    ld.global.f32 %f1, [%rd7];
    add.s64 %rd8, %rd2, %rd6;
    ld.global.f32 %f2, [%rd8];
    add.s64 %rd9, %rd3, %rd6;
    ld.global.f32 %f3, [%rd9];
    add.s64 %rd10, %rd4, %rd6;
    ld.global.f32 %f4, [%rd10];
    add.f32 %f5, %f1, %f2;
    add.f32 %f6, %f5, %f3;
    add.f32 %f7, %f6, %f4;
    add.s64 %rd11, %rd5, %rd6;
    st.global.f32 [%rd11], %f7;
done:
    ret;
}
)";
const unsigned four_inputs_insns = 27;

void check(int e, const char *what) {
    if (e) {
        std::fprintf(stderr, "%s failed: %d\n", what, e);
        std::exit(1);
    }
}

double launch_best(const char *text, unsigned blocks, unsigned threads, const void *p, size_t bytes,
                   int reps) {
    dev::drv_module m = nullptr;
    check(dev::drv_module_load_data(&m, text), "module load");
    dev::drv_function f = nullptr;
    check(dev::drv_module_get_function(&f, m, "kernel_main"), "function lookup");
    double best = 1e30;
    for (int r = 0; r <= reps; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        check(dev::drv_launch(f, dim3(blocks), dim3(threads), 0, p, bytes), "launch");
        check(dev::synchronize(), "kernel");
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (r > 0 && s < best) best = s;
    }
    dev::drv_module_unload(m);
    return best;
}

double run(const char *text, unsigned blocks, unsigned threads, float *x, float *y, unsigned n,
           int reps) {
    struct {
        float a;
        unsigned pad;
        unsigned long long x, y;
        unsigned n;
    } p{1.5f, 0, reinterpret_cast<unsigned long long>(x), reinterpret_cast<unsigned long long>(y), n};
    return launch_best(text, blocks, threads, &p, 28, reps);  // a at 0, x at 8, y at 16, n at 24
}

}  // namespace

int main(int argc, char **argv) {
    unsigned log2n = 20;
    int reps = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--log2")) log2n = unsigned(std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--reps")) reps = std::atoi(argv[i + 1]);
    }
#if defined(DEV_BACKEND_SIM)
    sim::set_devices({sim::device_desc{7, 5, size_t(1) << 31}});
#endif
    check(dev::drv_init(0), "init");
    dev::drv_device d = 0;
    check(dev::drv_device_get(&d, 0), "device");
    dev::drv_context ctx = nullptr;
    check(dev::drv_ctx_create(&ctx, d), "context");
    const unsigned n = 1u << log2n;
    std::vector<float> h(n, 1.0f);
    void *x = nullptr, *y = nullptr;
    check(dev::malloc(&x, n * 4), "malloc");
    check(dev::malloc(&y, n * 4), "malloc");
    check(dev::memcpy_htod(x, h.data(), n * 4), "copy");
    check(dev::memcpy_htod(y, h.data(), n * 4), "copy");

    const unsigned threads = 256;
    double s1 = run(elementwise, (n + threads - 1) / threads, threads, static_cast<float *>(x),
                    static_cast<float *>(y), n, reps);
    double ti1 = double(n) * elementwise_insns;
    std::printf("elementwise, one thread per element, 2^%u elements: %.2f ms, %.1f M thread-instructions/s\n",
                log2n, s1 * 1e3, ti1 / s1 * 1e-6);
    const unsigned blocks = 256, total = blocks * threads;
    double s2 = run(grid_stride, blocks, threads, static_cast<float *>(x), static_cast<float *>(y), n, reps);
    double per = double(n) / total;
    double ti2 = double(total) * (grid_stride_fixed + grid_stride_loop * per);
    std::printf("grid-stride loop, %u threads, 2^%u elements: %.2f ms, %.1f M thread-instructions/s\n",
                total, log2n, s2 * 1e3, ti2 / s2 * 1e-6);

    // Three more arrays: five allocations in one kernel.
    void *c = nullptr, *e = nullptr, *out = nullptr;
    check(dev::malloc(&c, n * 4), "malloc");
    check(dev::malloc(&e, n * 4), "malloc");
    check(dev::malloc(&out, n * 4), "malloc");
    check(dev::memcpy_htod(c, h.data(), n * 4), "copy");
    check(dev::memcpy_htod(e, h.data(), n * 4), "copy");
    struct {
        unsigned long long a, b, c, d, out;
        unsigned n;
    } p4{reinterpret_cast<unsigned long long>(x), reinterpret_cast<unsigned long long>(y),
         reinterpret_cast<unsigned long long>(c), reinterpret_cast<unsigned long long>(e),
         reinterpret_cast<unsigned long long>(out), n};
    double s3 = launch_best(four_inputs, (n + threads - 1) / threads, threads, &p4, 44, reps);
    double ti3 = double(n) * four_inputs_insns;
    std::printf("four inputs summed, five allocations, 2^%u elements: %.2f ms, %.1f M thread-instructions/s"
                " (%.2f of the elementwise rate)\n",
                log2n, s3 * 1e3, ti3 / s3 * 1e-6, (ti3 / s3) / (ti1 / s1));
    dev::free(c);
    dev::free(e);
    dev::free(out);
    dev::free(x);
    dev::free(y);
    dev::drv_ctx_destroy(ctx);
    return 0;
}
