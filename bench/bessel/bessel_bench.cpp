// Elements per second of J and K over 2^24 doubles and floats in (0, 50) at
// orders 0 and 1.5, beside the math library's j0 on the same data; prints
// each rate and its ratio to j0's.
//
//   bessel_bench [--log2n N] [--reps N]     (default: 2^24 elements, 10 reps)
#include "../timing.h"
#include "device/device.h"
#include "torvane.h"
#include "torvane_bessel.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

int launch_math_j0(void *out, const void *in, unsigned n, bool dbl);

namespace {

using timing::best_seconds;

template <class T>
void bench_type(const char *type, unsigned n, int reps, pkrError (*j)(void *, void *, T, unsigned),
                pkrError (*k)(void *, void *, T, unsigned)) {
    void *in = nullptr, *out = nullptr;
    if (dev::malloc(&in, size_t(n) * sizeof(T)) || dev::malloc(&out, size_t(n) * sizeof(T))) {
        std::fprintf(stderr, "no device memory for %u elements\n", n);
        std::exit(1);
    }
    std::vector<T> host(n);
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(0, 50);
    for (auto &x : host) {
        do x = T(u(rng));
        while (!(x > 0));
    }
    dev::memcpy_htod(in, host.data(), host.size() * sizeof(T));
    const bool dbl = sizeof(T) == 8;
    const double base = n / best_seconds(reps, [&] { return launch_math_j0(out, in, n, dbl); });
    std::printf("%-6s %-8s %5s %12.1f Melem/s %8s\n", type, "j0", "-", base / 1e6, "1.000");
    for (T nu : {T(0), T(1.5)}) {
        for (const auto &f : {std::make_pair("besselj", j), std::make_pair("besselk", k)}) {
            const double rate = n / best_seconds(reps, [&] { return f.second(out, in, nu, n); });
            std::printf("%-6s %-8s %5.1f %12.1f Melem/s %8.3f\n", type, f.first, double(nu), rate / 1e6,
                        rate / base);
        }
    }
    dev::free(in);
    dev::free(out);
}

}  // namespace

int main(int argc, char **argv) {
    int log2n = 24, reps = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--log2n")) log2n = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--reps")) reps = std::atoi(argv[i + 1]);
    }
    dev::drv_device d = 0;
    dev::drv_context ctx = nullptr;
    if (dev::drv_init(0) || dev::drv_device_get(&d, 0) || dev::drv_ctx_create(&ctx, d)) {
        std::fprintf(stderr, "no device\n");
        return 1;
    }
    const unsigned n = 1u << log2n;
    std::printf("%u elements in (0, 50), best of %d runs; ratio to j0 of the same type\n", n, reps);
    bench_type<double>("double", n, reps, pkr_besselj_f64, pkr_besselk_f64);
    bench_type<float>("float", n, reps, pkr_besselj_f32, pkr_besselk_f32);
    dev::drv_ctx_destroy(ctx);
    return 0;
}
