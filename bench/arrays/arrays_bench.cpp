// Bandwidth of the array kernels, each beside the plain device operation that
// moves the same bytes, in one run: transposes of float, double and float2
// against a device-to-device copy of the matrix (aim: ratio >= 0.7); Hankel
// matrices against a memset of the result; differences and gradients
// against a copy of as many bytes as they read and write together (aim:
// ratio >= 0.5). Prints GB/s moved by each and the ratio to its reference.
//
//   arrays_bench [--big N] [--side N] [--reps N]
//     --big: side of the transposed and Hankel matrices (default 8192)
//     --side: side of the differenced and gradient arrays (default 4096)
#include "../timing.h"
#include "device/device.h"
#include "torvane.h"
#include "torvane_arrays.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace {

using timing::best_seconds;

void *device_buffer(size_t bytes) {
    void *p = nullptr;
    if (dev::malloc(&p, bytes) || dev::drv_memset_d8(dev::dptr(uintptr_t(p)), 0x3c, bytes)) {
        std::fprintf(stderr, "no device memory for %zu bytes\n", bytes);
        std::exit(1);
    }
    return p;
}

struct reference {
    const char *name;
    std::function<int(size_t)> run;  // moves the given bytes
};

// `bytes` moved by the operation (read and written), and the reference
// operation over `ref_bytes`, which moves as many.
void report(const char *name, int reps, size_t bytes, const std::function<int()> &op,
            const reference &ref, size_t ref_bytes, double aim) {
    const double t = best_seconds(reps, op);
    const double t_ref = best_seconds(reps, [&] { return ref.run(ref_bytes); });
    const double gbs = double(bytes) / t / 1e9, ref_gbs = double(bytes) / t_ref / 1e9;
    std::printf("%-28s %9.1f GB/s   %-6s %9.1f GB/s   ratio %5.2f", name, gbs, ref.name, ref_gbs,
                gbs / ref_gbs);
    if (aim > 0) std::printf("   (aim %.1f)", aim);
    std::printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
    unsigned big = 8192, side = 4096;
    int reps = 10;
    for (int a = 1; a < argc; ++a) {
        if (!std::strcmp(argv[a], "--big") && a + 1 < argc)
            big = unsigned(std::strtoul(argv[++a], nullptr, 10));
        else if (!std::strcmp(argv[a], "--side") && a + 1 < argc)
            side = unsigned(std::strtoul(argv[++a], nullptr, 10));
        else if (!std::strcmp(argv[a], "--reps") && a + 1 < argc)
            reps = std::atoi(argv[++a]);
        else {
            std::fprintf(stderr, "usage: %s [--big N] [--side N] [--reps N]\n", argv[0]);
            return 2;
        }
    }
    dev::drv_device d = 0;
    dev::drv_context ctx = nullptr;
    if (dev::drv_init(0) || dev::drv_device_get(&d, 0) || dev::drv_ctx_create(&ctx, d)) {
        std::fprintf(stderr, "no device\n");
        return 1;
    }
    const size_t big_elems = size_t(big) * big, elems = size_t(side) * side;
    const size_t big_bytes = big_elems * 16;  // room for double2 matrices
    void *a = device_buffer(big_bytes), *b = device_buffer(big_bytes), *c = device_buffer(elems * 8);
    const reference copy = {"copy", [&](size_t n) { return dev::memcpy_dtod(b, a, n); }};
    const reference memset = {"memset", [&](size_t n) {
                                  return dev::drv_memset_d8(dev::dptr(uintptr_t(b)), 0, n);
                              }};

    // A transpose reads and writes the matrix once: the copy of its bytes.
    struct transpose_row {
        const char *name;
        size_t size;
        pkrError (*fn)(const void *, void *, unsigned, unsigned);
    };
    const transpose_row transposes[] = {{"transpose float", 4, &pkr_transpose_f32},
                                        {"transpose double", 8, &pkr_transpose_f64},
                                        {"transpose float2", 8, &pkr_transpose_c32}};
    for (const transpose_row &t : transposes)
        report(t.name, reps, 2 * big_elems * t.size, [&] { return t.fn(a, b, big, big); }, copy,
               big_elems * t.size, 0.7);

    // A Hankel matrix writes its elements and reads a column and a row.
    report("hankel f32f32f32", reps, big_elems * 4,
           [&] { return pkr_hankel_f32f32f32(b, big, a, big, c); }, memset, big_elems * 4, 0);
    report("hankel f64f64f64", reps, big_elems * 8,
           [&] { return pkr_hankel_f64f64f64(b, big, a, big, c); }, memset, big_elems * 8, 0);

    // Differences read the input and write one element fewer per column or
    // row; gradients read the input and write two outputs.
    int in_dims[2] = {int(side), int(side)};
    int along_columns[2] = {int(side) - 1, int(side)}, along_rows[2] = {int(side), int(side) - 1};
    const size_t n_out = size_t(side - 1) * side;
    struct diff_row {
        const char *name;
        size_t size;
        pkrError (*fn)(void *, void *, int *, int, int *, int, int, int);
        int *out_dims;
        int dim;
    };
    const diff_row diffs[] = {{"diff float columns", 4, &pkr_diff_f32, along_columns, 0},
                              {"diff float rows", 4, &pkr_diff_f32, along_rows, 1},
                              {"diff double columns", 8, &pkr_diff_f64, along_columns, 0},
                              {"diff double rows", 8, &pkr_diff_f64, along_rows, 1}};
    for (const diff_row &r : diffs) {
        const size_t moved = (elems + n_out) * r.size;
        report(r.name, reps, moved, [&] { return r.fn(b, c, r.out_dims, 2, in_dims, 2, 1, r.dim); },
               copy, moved / 2, 0.5);
    }
    struct grad_row {
        const char *name;
        size_t size;
        pkrError (*fn)(void *, void *, void *, unsigned, unsigned);
    };
    const grad_row grads[] = {{"grad float", 4, &pkr_grad_f32},
                              {"grad double", 8, &pkr_grad_f64},
                              {"grad int", 4, &pkr_grad_i32}};
    char *out = static_cast<char *>(b);
    for (const grad_row &g : grads) {
        const size_t moved = 3 * elems * g.size;
        report(g.name, reps, moved,
               [&] { return g.fn(out, out + elems * g.size, c, side, side); }, copy, moved / 2, 0.5);
    }

    dev::free(a);
    dev::free(b);
    dev::free(c);
    dev::drv_ctx_destroy(ctx);
    return 0;
}
