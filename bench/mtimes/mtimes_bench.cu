// Products through blas beside cuBLAS on the same operands, on one device in
// one run, from the best of the repetitions:
//   same types: the library's own kernels at sizes routed to them (square,
//     float, float2, double) against the cuBLAS product; ratio = cuBLAS time
//     over ours (aim: 0.6 or more);
//   mixed types: blas on a double and a float operand against widening the
//     float one, the double cuBLAS product and narrowing the result, which is
//     what a caller would do without the mixed kernels (aim: 1 or more).
//
//   mtimes_bench [--n N]... [--reps N]     (default: 512 1024 2048 4096, 5 reps;
//   sizes up to 311 go to cuBLAS on both sides)
#include "../timing.h"
#include "device/device.h"
#include "device/kernel.h"
#include "torvane.h"
#include "torvane_blas.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <type_traits>
#include <vector>

namespace {

// cuBLAS reports its failures apart from the call's result.
double best_seconds(int reps, const std::function<int()> &f) {
    return timing::best_seconds(reps, [&] {
        const int e = f();
        return e ? e : dev::blas_get_error();
    });
}

template <class To, class From>
__global__ void convert(To *out, const From *in, long long n) {
    const long long step = (long long)gridDim.x * blockDim.x;
    for (long long i = blockIdx.x * (long long)blockDim.x + threadIdx.x; i < n; i += step)
        out[i] = To(in[i]);
}
template <class To, class From>
int convert_on_device(To *out, const From *in, long long n) {
    const unsigned threads = 256;
    long long blocks = (n + threads - 1) / threads;
    if (blocks > 4096) blocks = 4096;
    return dev::launch(convert<To, From>, dim3(unsigned(blocks)), dim3(threads), 0, out, in, n);
}

void *device_buffer(size_t bytes) {
    void *p = nullptr;
    if (dev::malloc(&p, bytes)) {
        std::fprintf(stderr, "no device memory for %zu bytes\n", bytes);
        std::exit(1);
    }
    return p;
}

// n elements of T with parts in [-1, 1].
template <class T>
void *filled(size_t n, unsigned seed) {
    using part = typename std::conditional<std::is_same<T, double>::value, double, float>::type;
    const size_t parts = n * sizeof(T) / sizeof(part);
    std::vector<part> h(parts);
    for (size_t i = 0; i < parts; ++i) h[i] = part((i * 2654435761u + seed) % 2001) / 1000 - 1;
    void *p = device_buffer(n * sizeof(T));
    dev::memcpy_htod(p, h.data(), n * sizeof(T));
    return p;
}

struct flags {
    unsigned char cplx, dbl;
};
template <class T> flags flags_of();
template <> flags flags_of<float>() { return {0, 0}; }
template <> flags flags_of<double>() { return {0, 1}; }
template <> flags flags_of<float2>() { return {1, 0}; }

template <class T>
void same_type(const char *name, int n, int reps) {
    const size_t e = size_t(n) * n;
    void *a = filled<T>(e, 1), *b = filled<T>(e, 2), *c = device_buffer(e * sizeof(T));
    const flags f = flags_of<T>();
    const double own = best_seconds(reps, [&] {
        return blas(f.cplx, f.cplx, f.dbl, f.dbl, a, b, c, n, n, n, 0, 0, 0, 0);
    });
    const double ref = best_seconds(reps, [&] {
        mm<T>(unsigned(n), unsigned(n), unsigned(n), static_cast<const T *>(a),
              static_cast<const T *>(b), static_cast<T *>(c));
        return 0;
    });
    const double flops = (f.cplx ? 8.0 : 2.0) * n * double(n) * n;
    std::printf("same   %-7s n %5d   own %8.1f GFLOP/s   cuBLAS %8.1f GFLOP/s   ratio %5.2f\n",
                name, n, flops / own / 1e9, flops / ref / 1e9, ref / own);
    dev::free(a);
    dev::free(b);
    dev::free(c);
}

// double A times float B, float C.
void mixed(int n, int reps) {
    const size_t e = size_t(n) * n;
    void *a = filled<double>(e, 3), *b = filled<float>(e, 4);
    void *c = device_buffer(e * sizeof(float));
    void *bd = device_buffer(e * sizeof(double)), *cd = device_buffer(e * sizeof(double));
    const double own = best_seconds(reps, [&] {
        return blas(0, 0, 1, 0, a, b, c, n, n, n, 0, 0, 0, 0);
    });
    const double ref = best_seconds(reps, [&] {
        int r = convert_on_device(static_cast<double *>(bd), static_cast<const float *>(b),
                                  (long long)e);
        if (r) return r;
        mm<double>(unsigned(n), unsigned(n), unsigned(n), static_cast<const double *>(a),
                   static_cast<const double *>(bd), static_cast<double *>(cd));
        return convert_on_device(static_cast<float *>(c), static_cast<const double *>(cd),
                                 (long long)e);
    });
    std::printf("mixed  df      n %5d   own %8.3f ms   convert + cuBLAS %8.3f ms   ratio %5.2f\n",
                n, own * 1e3, ref * 1e3, ref / own);
    for (void *p : {a, b, c, bd, cd}) dev::free(p);
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<int> sizes;
    int reps = 5;
    for (int a = 1; a < argc; ++a) {
        if (!std::strcmp(argv[a], "--n") && a + 1 < argc) {
            sizes.push_back(std::atoi(argv[++a]));
        } else if (!std::strcmp(argv[a], "--reps") && a + 1 < argc) {
            reps = std::atoi(argv[++a]);
        } else {
            std::fprintf(stderr, "usage: %s [--n N]... [--reps N]\n", argv[0]);
            return 2;
        }
    }
    if (sizes.empty()) sizes = {512, 1024, 2048, 4096};
    dev::drv_device d = 0;
    dev::drv_context ctx = nullptr;
    if (dev::drv_init(0) || dev::drv_device_get(&d, 0) || dev::drv_ctx_create(&ctx, d) ||
        dev::blas_init()) {
        std::fprintf(stderr, "no device\n");
        return 1;
    }
    for (int n : sizes) {
        same_type<float>("float", n, reps);
        same_type<float2>("float2", n, reps);
        same_type<double>("double", n, reps);
        mixed(n, reps);
    }
    dev::blas_shutdown();
    dev::drv_ctx_destroy(ctx);
    return 0;
}
