// Elements per second of J and K over 2^24 doubles and floats, beside the
// math library's j0 and j1 on the same data, with the mean steps of the
// kernels' iterations per element (series terms, continued-fraction steps,
// recurrence steps; counted on the first 2^16 elements). Two data sets:
// x in (0, 50) at orders 0, 1 and 1.5, and x in (0, 1000) at order 100, where
// every region of the large orders is met. Prints each rate and its ratio to
// the math library's.
//
//   bessel_bench [--log2n N] [--reps N]     (default: 2^24 elements, 10 reps)
#include "../timing.h"
#include "device/device.h"
#include "torvane.h"
#include "torvane_bessel.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

int launch_math_j(int order, void *out, const void *in, unsigned n, bool dbl);
int launch_count_steps(int fn, double nu, void *out, const void *in, unsigned *steps, unsigned n, bool dbl);

namespace {

using timing::best_seconds;

constexpr unsigned count_n = 1u << 16;

// Mean steps per element of J (fn 0) or K (fn 1) over the first elements.
template <class T>
double mean_steps(int fn, T nu, void *out, const void *in, unsigned n) {
    const unsigned m = std::min(n, count_n);
    void *steps = nullptr;
    if (dev::malloc(&steps, m * sizeof(unsigned))) return -1;
    double mean = -1;
    if (launch_count_steps(fn, double(nu), out, in, static_cast<unsigned *>(steps), m, sizeof(T) == 8) == 0) {
        std::vector<unsigned> host(m);
        dev::memcpy_dtoh(host.data(), steps, m * sizeof(unsigned));
        double sum = 0;
        for (unsigned s : host) sum += s;
        mean = sum / m;
    }
    dev::free(steps);
    return mean;
}

template <class T>
void bench_type(const char *type, unsigned n, int reps, pkrError (*j)(void *, void *, T, unsigned),
                pkrError (*k)(void *, void *, T, unsigned)) {
    void *in = nullptr, *out = nullptr;
    if (dev::malloc(&in, size_t(n) * sizeof(T)) || dev::malloc(&out, size_t(n) * sizeof(T))) {
        std::fprintf(stderr, "no device memory for %u elements\n", n);
        std::exit(1);
    }
    const bool dbl = sizeof(T) == 8;
    struct set {
        double xmax;
        std::vector<T> orders;
    };
    for (const set &s : {set{50, {T(0), T(1), T(1.5)}}, set{1000, {T(100)}}}) {
        std::vector<T> host(n);
        std::mt19937 rng(1);
        std::uniform_real_distribution<double> u(0, s.xmax);
        for (auto &x : host) {
            do x = T(u(rng));
            while (!(x > 0));
        }
        dev::memcpy_htod(in, host.data(), host.size() * sizeof(T));
        double base[2];
        for (int o = 0; o < 2; ++o) {
            base[o] = n / best_seconds(reps, [&] { return launch_math_j(o, out, in, n, dbl); });
            std::printf("%-6s x<%-5g %-8s %6s %12.1f Melem/s %8s %10s\n", type, s.xmax, o ? "j1" : "j0", "-",
                        base[o] / 1e6, "1.000", "-");
        }
        for (T nu : s.orders) {
            for (int fn = 0; fn < 2; ++fn) {
                const auto f = fn == 0 ? j : k;
                const double rate = n / best_seconds(reps, [&] { return f(out, in, nu, n); });
                const double ref = base[nu == T(1) ? 1 : 0];
                std::printf("%-6s x<%-5g %-8s %6.1f %12.1f Melem/s %8.3f %10.1f steps/elem\n", type, s.xmax,
                            fn ? "besselk" : "besselj", double(nu), rate / 1e6, rate / ref,
                            mean_steps(fn, nu, out, in, n));
            }
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
    std::printf("%u elements, best of %d runs; ratio to the math library's j0 (j1 at order 1) of the same "
                "type and data\n", n, reps);
    bench_type<double>("double", n, reps, pkr_besselj_f64, pkr_besselk_f64);
    bench_type<float>("float", n, reps, pkr_besselj_f32, pkr_besselk_f32);
    dev::drv_ctx_destroy(ctx);
    return 0;
}
