// The product entry and the cuBLAS wrappers.
#include "mtimes.h"

namespace mtimes {
namespace {

// Legacy cuBLAS by element type.
void gemv(int m, int k, const float *a, const float *x, float *y) {
    dev::blas_sgemv('N', m, k, 1.0f, a, m, x, 1, 0.0f, y, 1);
}
void gemv(int m, int k, const double *a, const double *x, double *y) {
    dev::blas_dgemv('N', m, k, 1.0, a, m, x, 1, 0.0, y, 1);
}
// No single-complex gemv in the legacy set the library uses: a one-column product.
void gemv(int m, int k, const float2 *a, const float2 *x, float2 *y) {
    dev::blas_cgemm('N', 'N', m, 1, k, make_float2(1, 0), a, m, x, k, make_float2(0, 0), y, m);
}
void gemv(int m, int k, const double2 *a, const double2 *x, double2 *y) {
    dev::blas_zgemv('N', m, k, make_double2(1, 0), a, m, x, 1, make_double2(0, 0), y, 1);
}

void gemm(int m, int n, int k, const float *a, const float *b, float *c) {
    dev::blas_sgemm('N', 'N', m, n, k, 1.0f, a, m, b, k, 0.0f, c, m);
}
void gemm(int m, int n, int k, const double *a, const double *b, double *c) {
    dev::blas_dgemm('N', 'N', m, n, k, 1.0, a, m, b, k, 0.0, c, m);
}
void gemm(int m, int n, int k, const float2 *a, const float2 *b, float2 *c) {
    dev::blas_cgemm('N', 'N', m, n, k, make_float2(1, 0), a, m, b, k, make_float2(0, 0), c, m);
}
void gemm(int m, int n, int k, const double2 *a, const double2 *b, double2 *c) {
    dev::blas_zgemm('N', 'N', m, n, k, make_double2(1, 0), a, m, b, k, make_double2(0, 0), c,
                    m);
}

float dot(int n, const float *x, const float *y) { return dev::blas_sdot(n, x, 1, y, 1); }
double dot(int n, const double *x, const double *y) { return dev::blas_ddot(n, x, 1, y, 1); }
float2 dot(int n, const float2 *x, const float2 *y) { return dev::blas_cdotu(n, x, 1, y, 1); }
double2 dot(int n, const double2 *x, const double2 *y) { return dev::blas_zdotu(n, x, 1, y, 1); }

}  // namespace
}  // namespace mtimes

#define TV_BLAS_WRAPPERS(T)                                                                  \
    template <>                                                                              \
    TORVANE_API T vv<T>(unsigned int n, const T *x, const T *y) {                            \
        return ::mtimes::dot(int(n), x, y);                                                  \
    }                                                                                        \
    template <>                                                                              \
    TORVANE_API void mv<T>(unsigned int m, unsigned int k, const T *A, const T *x, T *y) {   \
        ::mtimes::gemv(int(m), int(k), A, x, y);                                             \
    }                                                                                        \
    template <>                                                                              \
    TORVANE_API void mm<T>(unsigned int m, unsigned int n, unsigned int k, const T *A,       \
                           const T *B, T *C) {                                               \
        ::mtimes::gemm(int(m), int(n), int(k), A, B, C);                                     \
    }
TORVANE_BLAS_TYPES(TV_BLAS_WRAPPERS)

extern "C" TORVANE_API pkrError blas(unsigned char a_cplx, unsigned char b_cplx,
                                     unsigned char a_dbl, unsigned char b_dbl, const void *A,
                                     const void *B, void *C, int M, int K, int N, int nA, int nB,
                                     int op, uint64_t extra) {
    using namespace mtimes;
    param_mtimes_t p = {};
    p.nA = nA;
    p.nB = nB;
    p.M = M;
    p.N = N;
    p.K = K;
    p.A = A;
    p.lda = M;
    p.B = B;
    p.ldb = K;
    p.C = C;
    p.ldc = M;
    p.op = op;
    p.extra = extra;
    // Rows of the selection table, by (a_cplx, b_cplx, a_dbl, b_dbl) as a 4-bit number.
    static const worker_fn *const pick[16] = {
        &single_mtimes_fn[0],  &double_mtimes_fn[4], &double_mtimes_fn[5], &double_mtimes_fn[0],
        &single_mtimes_fn[2],  &double_mtimes_fn[10], &double_mtimes_fn[8], &double_mtimes_fn[2],
        &single_mtimes_fn[3],  &double_mtimes_fn[9], &double_mtimes_fn[11], &double_mtimes_fn[3],
        &single_mtimes_fn[1],  &double_mtimes_fn[6], &double_mtimes_fn[7], &double_mtimes_fn[1],
    };
    const unsigned row = (a_cplx != 0) << 3 | (b_cplx != 0) << 2 | (a_dbl != 0) << 1 | (b_dbl != 0);
    return (*pick[row])(p);
}

namespace mtimes {
namespace {

constexpr long long grid_max = 65535;
constexpr long long texture_max = 1 << 27;  // elements of one binding the products ask for

inline long long ceil_div(long long x, long long d) { return (x + d - 1) / d; }

// Binds the operands that have a reference (A first), launches, waits for the
// kernel and unbinds; every step that fails makes the result 7, and the wait
// and both unbindings happen whatever failed before them.
pkrError run_textured(const param_mtimes_t &p, dev::texture_ref *texA, long long bytesA,
                      size_t sizeA, dev::texture_ref *texB, long long bytesB, size_t sizeB,
                      kernel_fn k, long long gx, long long gy, dim3 block) {
    size_t offA = 0, offB = 0;
    if (texA && dev::bind_texture(&offA, *texA, p.A, size_t(bytesA))) return 7;
    if (texB && dev::bind_texture(&offB, *texB, p.B, size_t(bytesB))) {
        if (texA) dev::unbind_texture(*texA);
        return 7;
    }
    const int launched = dev::launch(k, dim3(unsigned(gx), unsigned(gy)), block, 0, p,
                                     int(offA / sizeA), int(offB / sizeB));
    const int waited = dev::synchronize();
    const int unbound_a = texA ? dev::unbind_texture(*texA) : 0;
    const int unbound_b = texB ? dev::unbind_texture(*texB) : 0;
    return launched || waited || unbound_a || unbound_b ? 7 : 0;
}

// The product of an M x 0 and a 0 x N matrix: every page of C is zero.
pkrError write_zeros(const param_mtimes_t &p, size_t size) {
    const long long bytes = (long long)p.M * p.N * pages_of(p) * (long long)size;
    if (bytes <= 0) return 0;
    return dev::drv_memset_d8(dev::dptr(uintptr_t(p.C)), 0, size_t(bytes)) ? 7 : 0;
}

// Shape, pages and element counts of a product; sets the record's blocks in
// a batched call.
struct product_plan {
    bool column;  // N = 1: the matrix-vector kernels
    int pages;    // the larger page count; 0 without pages
    long long gx, gy, countA, countB;
};
product_plan plan_product(param_mtimes_t &p, const product_desc &d) {
    product_plan s;
    s.column = p.N == 1;
    s.gy = s.column ? 1 : ceil_div(p.N, d.cols);
    s.gx = ceil_div(p.M, s.column ? column_threads : d.rows);
    s.countA = (long long)p.K * p.lda;
    s.countB = (long long)p.N * p.ldb;
    s.pages = p.nA > p.nB ? p.nA : p.nB;
    if (s.pages != 0) {
        if (p.nA) s.countA *= p.nA;
        if (p.nB) s.countB *= p.nB;
        p.blocks = int32_t(s.gx);
        s.gx *= s.pages;
    }
    return s;
}

pkrError run_product(const param_mtimes_t &p, const product_desc &d, const product_plan &s) {
    const kernel_fn k = s.column ? (s.pages ? d.gemv_tesk : d.gemv)
                                 : (s.pages ? d.gemm_tesk : d.gemm);
    return run_textured(p, d.texA, s.countA * (long long)d.sizeA, d.sizeA, d.texB,
                        s.countB * (long long)d.sizeB, d.sizeB, k, s.gx, s.gy,
                        s.column ? dim3(column_threads) : dim3(d.bx, d.by));
}

}  // namespace

// Elements a binding of `ptr` holds before it: it starts at the texture
// alignment below the pointer.
long long binding_offset(const void *ptr, size_t size) {
    const size_t align = dev::texture_alignment();
    return (long long)((uintptr_t(ptr) & (align - 1)) / size);
}

pkrError product(param_mtimes_t &p, const product_desc *d, int threshold, size_t size) {
    if (p.M == 0 || p.N == 0) return 0;
    if (p.K == 0) return write_zeros(p, size);
    if (!d) return -1;
    const product_plan s = plan_product(p, *d);
    // The limit is the binding's, which counts the elements below an
    // unaligned operand too; a product beyond it goes to cuBLAS.
    if ((p.N <= threshold && p.M <= threshold) ||
        s.countA + binding_offset(p.A, d->sizeA) > texture_max ||
        s.countB + binding_offset(p.B, d->sizeB) > texture_max || s.gx > grid_max ||
        s.gy > grid_max)
        return -1;
    return run_product(p, *d, s);
}

pkrError mixed(param_mtimes_t &p, const product_desc &d) {
    if (p.M == 1 && p.N == 1) return 9;
    if (pages_unpaired(p)) return 6;
    if (p.M == 0 || p.N == 0) return 0;
    const product_plan s = plan_product(p, d);
    if (s.gx > grid_max || s.gy > grid_max) return 6;
    if (p.K == 0) return write_zeros(p, d.sizeC);
    return run_product(p, d, s);
}

pkrError column_ops(param_mtimes_t &p, const same_desc &d) {
    const op_entry *e = nullptr;
    for (unsigned i = 0; i < d.nops; ++i)
        if (d.ops[i].op == p.op) e = &d.ops[i];
    if (!e) return 6;
    const int pages = p.nA > p.nB ? p.nA : p.nB;
    // A page of B and C holds N / nB columns: without pages of B there is none.
    if (pages != 0 && p.nB <= 0) return 6;
    if (p.M == 0 || p.N == 0) return 0;
    const long long rows = 4 * (long long)e->cols;
    long long gx = ceil_div(p.M, rows);
    const long long gy = ceil_div(p.N, e->cols);
    const long long countB = (long long)p.N * p.ldb;
    if (pages != 0) {
        // The pages are B's (and C's): more pages of A, which is not read,
        // would only add blocks past the last page of C.
        p.N /= p.nB;
        p.blocks = int32_t(gx);
        gx *= p.nB;
    }
    if (gx > grid_max || gy > grid_max) return 6;
    // K = 0 reads nothing: the kernel writes the start values unbound.
    return run_textured(p, nullptr, 0, d.size, p.K ? d.texB : nullptr, countB * (long long)d.size,
                        d.size, pages ? e->tesk : e->plain, gx, gy, dim3(2, e->cols));
}

}  // namespace mtimes
