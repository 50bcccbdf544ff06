// Bandwidth of every reduction (sum, all, any, max, min, max and min with
// positions) over a vector, the columns, the rows and a middle dimension, for
// float and double, real and complex (where complex max and min rank by
// magnitude, a division and a square root per member), beside a
// device-to-device copy of the same bytes: prints
// GB/s read by each and its share of the copy's rate (aim: 0.80 and more),
// and for positions the share of the same reduction without them (aim: 0.70
// and more). Then `any` over nonzero data, where each thread stops at its
// first member, and over data whose first element alone is nonzero, each
// against `any` over zeros, which reads everything.
//
//   reduce_bench [--mib N]... [--reps N]     (default: 64 and 256 MiB, 10 reps)
#include "../timing.h"
#include "device/device.h"
#include "torvane.h"
#include "torvane_reduce.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using entry_fn = pkrError (*)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, void *,
                              int32_t, void *, int32_t, float *, unsigned char, unsigned char,
                              unsigned char);

using timing::best_seconds;

struct operation {
    const char *name;
    entry_fn fn;
    unsigned char want_idx;
};
const operation operations[] = {
    {"sum", &sum_stride_r, 0},     {"all", &all_stride_r, 0},     {"any", &any_stride_r, 0},
    {"max", &max_stride_r, 0},     {"min", &min_stride_r, 0},     {"max+pos", &max_stride_r, 1},
    {"min+pos", &min_stride_r, 1},
};

// A layout of the input as the entries take it.
struct layout {
    const char *name;
    uint32_t nout, nelem, stride, len, slab, pre;
    unsigned char dev_out;
};

// An element of value x: complex ones get an imaginary part too.
template <class T>
T element(double x) {
    return T(x);
}
template <>
float2 element<float2>(double x) {
    return make_float2(float(x), float(x / 3));
}
template <>
double2 element<double2>(double x) {
    return make_double2(x, x / 3);
}

template <class T>
void bench_type(const char *type, size_t mib, int reps) {
    constexpr bool cplx = std::is_same<T, float2>::value || std::is_same<T, double2>::value;
    const size_t bytes = mib << 20, n = bytes / sizeof(T);
    void *in = nullptr, *copy = nullptr, *out = nullptr, *idx = nullptr;
    const size_t out_bytes = bytes / 16 + (size_t(1) << 16);  // room for every case's results
    if (dev::malloc(&in, bytes) || dev::malloc(&copy, bytes) || dev::malloc(&out, out_bytes) ||
        dev::malloc(&idx, out_bytes)) {
        std::fprintf(stderr, "no device memory for %zu MiB\n", mib);
        std::exit(1);
    }
    // No zeros, so that all reads everything; any stops at every thread's
    // first member.
    std::vector<T> host(n);
    for (size_t i = 0; i < n; ++i) host[i] = element<T>(double(i % 1000 + 1) / 7);
    dev::memcpy_htod(in, host.data(), bytes);

    const double t_copy = best_seconds(reps, [&] { return dev::memcpy_dtod(copy, in, bytes); });
    const double copy_gbs = double(bytes) / t_copy / 1e9;

    const uint32_t side = 4096 < n ? 4096 : uint32_t(n);  // rows of the matrix
    const uint32_t cols = uint32_t(n / side), whole = side * cols;
    const uint32_t pre = 64, len = 1024;  // pre x len x groups
    const uint32_t groups = uint32_t(n / (size_t(pre) * len));
    std::vector<layout> layouts = {
        {"vector", 1, uint32_t(n), 1, uint32_t(n), 0, 0, 0},
        {"columns", cols, whole, 1, side, 0, 0, 1},
        {"rows", side, whole, side, cols, 0, 0, 1},
    };
    if (groups > 1)
        layouts.push_back(
            {"middle", pre * groups, pre * len * groups, pre, len, pre * len, pre, 1});
    const int t_code = sizeof(T) == (cplx ? 16 : 8) ? 6 : 7;
    double host_out[2];
    float host_idx;

    auto run = [&](const operation &op, const layout &l) {
        const bool v = !l.dev_out;
        return op.fn(l.nout, l.nelem, l.stride, l.len, l.slab, l.pre, v ? host_out : out, t_code,
                     in, t_code, v ? &host_idx : static_cast<float *>(idx), cplx, op.want_idx,
                     l.dev_out);
    };
    for (const layout &l : layouts) {
        const double read = double(l.nelem) * sizeof(T);
        double t_of[sizeof operations / sizeof operations[0]];
        for (size_t i = 0; i < sizeof operations / sizeof operations[0]; ++i) {
            const operation &op = operations[i];
            const double t = t_of[i] = best_seconds(reps, [&] { return run(op, l); });
            const double gbs = read / t / 1e9;
            std::printf("%-8s %-8s %-6s %6zu MiB %9.1f GB/s   copy %9.1f GB/s   ratio %5.2f",
                        l.name, op.name, type, mib, gbs, copy_gbs, gbs / copy_gbs);
            for (size_t j = 0; j < i && op.want_idx; ++j)  // the same entry without positions
                if (operations[j].fn == op.fn && !operations[j].want_idx)
                    std::printf("   of %s %5.2f", operations[j].name, t_of[j] / t);
            std::printf("\n");
        }
    }

    // Early exit of any: every element nonzero, then the first alone, against zeros.
    const operation &any = operations[2];
    const double t_ones = best_seconds(reps, [&] { return run(any, layouts[0]); });
    const T zero = element<T>(0);
    std::vector<T> zeros(n, zero);
    zeros[0] = element<T>(1);
    dev::memcpy_htod(in, zeros.data(), bytes);
    const double t_first = best_seconds(reps, [&] { return run(any, layouts[0]); });
    zeros[0] = zero;
    dev::memcpy_htod(in, zeros.data(), bytes);
    const double t_zeros = best_seconds(reps, [&] { return run(any, layouts[0]); });
    std::printf("vector   any      %-6s %6zu MiB   nonzero data %8.3f ms   first element only "
                "%8.3f ms   zeros %8.3f ms   shares %5.2f %5.2f\n",
                type, mib, t_ones * 1e3, t_first * 1e3, t_zeros * 1e3, t_ones / t_zeros,
                t_first / t_zeros);

    dev::free(in);
    dev::free(copy);
    dev::free(out);
    dev::free(idx);
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
        bench_type<float2>("cfloat", mib, reps);
        bench_type<double2>("cdouble", mib, reps);
    }
    dev::drv_ctx_destroy(ctx);
    return 0;
}
