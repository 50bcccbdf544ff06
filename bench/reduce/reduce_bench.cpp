// Bandwidth of sum over a vector, the columns, the rows and a middle dimension,
// for float and double, beside a device-to-device copy of the same bytes:
// prints GB/s read by each and the reduction's share of the copy's rate.
//
//   reduce_bench [--mib N]... [--reps N]     (default: 64 and 256 MiB, 10 reps)
#include "device/device.h"
#include "torvane.h"
#include "torvane_reduce.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

// Best time of `reps` runs of f, each waited for.
double best_seconds(int reps, const std::function<int()> &f) {
    double best = 1e30;
    for (int i = 0; i <= reps; ++i) {  // the first run warms up
        const auto t0 = clock_type::now();
        const int e = f();
        dev::synchronize();
        const double s = std::chrono::duration<double>(clock_type::now() - t0).count();
        if (e) {
            std::fprintf(stderr, "call failed: %d\n", e);
            std::exit(1);
        }
        if (i > 0 && s < best) best = s;
    }
    return best;
}

template <class T>
void bench_type(const char *type, size_t mib, int reps) {
    const size_t bytes = mib << 20, n = bytes / sizeof(T);
    void *in = nullptr, *copy = nullptr, *out = nullptr;
    const size_t out_bytes = bytes / 16 + (size_t(1) << 16);  // room for every case's results
    if (dev::malloc(&in, bytes) || dev::malloc(&copy, bytes) || dev::malloc(&out, out_bytes)) {
        std::fprintf(stderr, "no device memory for %zu MiB\n", mib);
        std::exit(1);
    }
    std::vector<T> host(n);
    for (size_t i = 0; i < n; ++i) host[i] = T(i % 1000) / T(7);
    dev::memcpy_htod(in, host.data(), bytes);

    const double t_copy = best_seconds(reps, [&] { return dev::memcpy_dtod(copy, in, bytes); });
    const double copy_gbs = double(bytes) / t_copy / 1e9;

    const unsigned side = 4096 < n ? 4096 : unsigned(n);  // rows of the matrix
    const unsigned cols = unsigned(n / side);
    const unsigned pre = 64, len = 1024;                    // pre x len x groups
    const unsigned groups = unsigned(n / (size_t(pre) * len));
    const int t_code = sizeof(T) == 8 ? 6 : 7;
    T *o = static_cast<T *>(out);
    T *i = static_cast<T *>(in);
    struct row {
        const char *name;
        size_t bytes;
        std::function<int()> run;
    };
    T host_out{};
    std::vector<row> rows = {
        {"vector", n * sizeof(T), [&] { return sum_stride_r(1, unsigned(n), 1, unsigned(n), 0, 0,
                                                            &host_out, t_code, i, t_code, nullptr,
                                                            0, 0, 0); }},
        {"columns", size_t(side) * cols * sizeof(T),
         [&] { return sum_stride_r(cols, side * cols, 1, side, 0, 0, o, t_code, i, t_code,
                                   nullptr, 0, 0, 1); }},
        {"rows", size_t(side) * cols * sizeof(T),
         [&] { return sum_stride_r(side, side * cols, side, cols, 0, 0, o, t_code, i, t_code,
                                   nullptr, 0, 0, 1); }},
    };
    if (groups > 1)
        rows.push_back({"middle", size_t(pre) * len * groups * sizeof(T), [&] {
                            return sum_stride_r(pre * groups, pre * len * groups, pre, len,
                                                pre * len, pre, o, t_code, i, t_code, nullptr, 0,
                                                0, 1);
                        }});
    for (const row &r : rows) {
        const double t = best_seconds(reps, r.run);
        const double gbs = double(r.bytes) / t / 1e9;
        std::printf("%-8s %-6s %6zu MiB %9.1f GB/s   copy %9.1f GB/s   ratio %5.2f\n", r.name,
                    type, mib, gbs, copy_gbs, gbs / copy_gbs);
    }
    dev::free(in);
    dev::free(copy);
    dev::free(out);
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<size_t> sizes;
    int reps = 10;
    for (int a = 1; a < argc; ++a) {
        if (!std::strcmp(argv[a], "--mib") && a + 1 < argc) {
            sizes.push_back(std::strtoul(argv[++a], nullptr, 10));
        } else if (!std::strcmp(argv[a], "--reps") && a + 1 < argc) {
            reps = std::atoi(argv[++a]);
        } else {
            std::fprintf(stderr, "usage: %s [--mib N]... [--reps N]\n", argv[0]);
            return 2;
        }
    }
    if (sizes.empty()) sizes = {64, 256};
    dev::drv_device d = 0;
    dev::drv_context ctx = nullptr;
    if (dev::drv_init(0) || dev::drv_device_get(&d, 0) || dev::drv_ctx_create(&ctx, d)) {
        std::fprintf(stderr, "no device\n");
        return 1;
    }
    for (size_t mib : sizes) {
        bench_type<float>("float", mib, reps);
        bench_type<double>("double", mib, reps);
    }
    dev::drv_ctx_destroy(ctx);
    return 0;
}
