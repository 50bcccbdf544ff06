// Numbers per second of pkr_grand_f32 and pkr_grand_f64 filling 2^26
// numbers, beside cuRAND's MTGP32 generator filling the same count where the
// build has cuRAND; prints both rates and their ratio.
//
//   grand_bench [--log2n N] [--reps N]     (default: 2^26 numbers, 10 reps)
#include "../timing.h"
#include "device/device.h"
#include "torvane_grand.h"

#if GRAND_BENCH_CURAND
#include <curand.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

using timing::best_seconds;

void bench(const char *type, bool dbl, unsigned n, int reps) {
    pkrError (*fill)(void *, unsigned, int *) = dbl ? &pkr_grand_f64 : &pkr_grand_f32;
    int size = -1;
    if (fill(nullptr, n, &size) != 0) {
        std::fprintf(stderr, "no size for %u numbers\n", n);
        std::exit(1);
    }
    void *out = nullptr;
    if (dev::malloc(&out, size_t(size))) {
        std::fprintf(stderr, "no device memory for %d bytes\n", size);
        std::exit(1);
    }
    const double t = best_seconds(reps, [&] { return fill(out, n, &size); });
    std::printf("%-6s torvane %8.3f Gnum/s", type, n / t / 1e9);
#if GRAND_BENCH_CURAND
    curandGenerator_t gen;
    // cuRAND runs on real devices only (not on the cuda-sim stand-ins): no reference then.
    if (curandCreateGenerator(&gen, CURAND_RNG_PSEUDO_MTGP32) != CURAND_STATUS_SUCCESS) {
        std::printf("   (cuRAND MTGP32 unavailable on this device)\n");
        dev::free(out);
        return;
    }
    curandSetPseudoRandomGeneratorSeed(gen, 777);
    const double tc = best_seconds(reps, [&] {
        return dbl ? int(curandGenerateUniformDouble(gen, static_cast<double *>(out), n))
                   : int(curandGenerateUniform(gen, static_cast<float *>(out), n));
    });
    curandDestroyGenerator(gen);
    std::printf("   cuRAND MTGP32 %8.3f Gnum/s   torvane / MTGP32 %.2f\n", n / tc / 1e9, tc / t);
#else
    std::printf("   (no cuRAND in this build)\n");
#endif
    dev::free(out);
}

}  // namespace

int main(int argc, char **argv) {
    int log2n = 26, reps = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--log2n")) log2n = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--reps")) reps = std::atoi(argv[i + 1]);
    }
    if (log2n < 0 || log2n > 27 || reps < 1) {
        std::fprintf(stderr, "usage: grand_bench [--log2n 0..27] [--reps N]\n");
        return 2;
    }
    dev::drv_device d = 0;
    dev::drv_context ctx = nullptr;
    if (dev::drv_init(0) || dev::drv_device_get(&d, 0) || dev::drv_ctx_create(&ctx, d)) {
        std::fprintf(stderr, "no device\n");
        return 1;
    }
    const unsigned n = 1u << log2n;
    std::printf("%u numbers, best of %d\n", n, reps);
    bench("single", false, n, reps);
    bench("double", true, n, reps);
    dev::drv_ctx_destroy(ctx);
    return 0;
}
