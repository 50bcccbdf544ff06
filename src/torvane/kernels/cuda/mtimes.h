// Matrix products and the column operations over the second operand: the
// workers' record, the dispatch tables, the kernels and the workers. Both
// device files stamp their kernels and workers from the tables they pass to
// the macros at the end.
#pragma once

#include "torvane_blas.h"

#include "device/kernel.h"

#include <climits>
#include <cstddef>
#include <cstdint>

namespace mtimes {

// The record of one call, by reference to the workers and by value to every
// kernel, followed there by two ints: the element offsets of the A and the B
// bindings. Addresses are 64-bit; the fields keep their order (byte offsets:
// nA 0, nB 4, blocks 8, M 12, N 16, K 20, A 24, lda 32, B 40, ldb 48, C 56,
// ldc 64, op 68, extra 72; 80 bytes, so offA sits at 80 and offB at 84).
struct param_mtimes_t {
    int32_t nA;      // pages of A; 0: one matrix, never advanced
    int32_t nB;      // pages of B
    int32_t blocks;  // blocks along x that serve one page of a batched launch
    int32_t M, N, K;
    const void *A;
    int32_t lda;  // always M
    const void *B;
    int32_t ldb;  // always K
    void *C;
    int32_t ldc;  // always M
    int32_t op;
    uint64_t extra;  // device address of the positions (op 20 and 30)
};
static_assert(sizeof(param_mtimes_t) == 80 && offsetof(param_mtimes_t, A) == 24 &&
                  offsetof(param_mtimes_t, extra) == 72,
              "the record's layout is part of the kernels' parameters");

using worker_fn = pkrError (*)(param_mtimes_t &);
extern const worker_fn double_mtimes_fn[12];
extern const worker_fn single_mtimes_fn[4];

using kernel_fn = void (*)(param_mtimes_t, int, int);

// ------------------------------------------------------------------ element arithmetic

template <class P, bool cplx> struct make_type { using type = P; };
template <> struct make_type<float, true> { using type = float2; };
template <> struct make_type<double, true> { using type = double2; };

template <class T> struct traits;
template <> struct traits<float> { using part = float; static constexpr bool cplx = false; };
template <> struct traits<double> { using part = double; static constexpr bool cplx = false; };
template <> struct traits<float2> { using part = float; static constexpr bool cplx = true; };
template <> struct traits<double2> { using part = double; static constexpr bool cplx = true; };

// T's complexity in precision P.
template <class T, class P>
using retype = typename make_type<P, traits<T>::cplx>::type;

// Products are formed in double whenever a double takes part.
template <class TA, class TB>
using work_t = typename make_type<
    typename std::conditional<std::is_same<typename traits<TA>::part, double>::value ||
                                  std::is_same<typename traits<TB>::part, double>::value,
                              double, float>::type,
    false>::type;

// Single-complex results take each product rounded and add in single
// precision; every other result adds in the products' precision and rounds once.
template <class TC, class W>
using acc_t = typename std::conditional<std::is_same<TC, float2>::value, float2,
                                        retype<TC, W>>::type;

DEV_HOSTDEV inline void put(float &o, float v) { o = v; }
DEV_HOSTDEV inline void put(float &o, double v) { o = float(v); }
DEV_HOSTDEV inline void put(double &o, float v) { o = v; }
DEV_HOSTDEV inline void put(double &o, double v) { o = v; }
template <class O, class V>
DEV_HOSTDEV inline void put_parts(O &o, const V &v) {
    put(o.x, v.x);
    put(o.y, v.y);
}
DEV_HOSTDEV inline void put(float2 &o, float2 v) { o = v; }
DEV_HOSTDEV inline void put(float2 &o, double2 v) { put_parts(o, v); }
DEV_HOSTDEV inline void put(double2 &o, float2 v) { put_parts(o, v); }
DEV_HOSTDEV inline void put(double2 &o, double2 v) { o = v; }
template <class To, class From>
DEV_HOSTDEV inline To to(const From &v) {
    To o;
    put(o, v);
    return o;
}

template <class R>
DEV_HOSTDEV inline R mul(R a, R b) {
    return a * b;
}
template <class C, class R>
DEV_HOSTDEV inline C scale(C a, R b) {
    a.x = a.x * b;
    a.y = a.y * b;
    return a;
}
DEV_HOSTDEV inline float2 mul(float2 a, float b) { return scale(a, b); }
DEV_HOSTDEV inline float2 mul(float a, float2 b) { return scale(b, a); }
DEV_HOSTDEV inline double2 mul(double2 a, double b) { return scale(a, b); }
DEV_HOSTDEV inline double2 mul(double a, double2 b) { return scale(b, a); }
template <class C>
DEV_HOSTDEV inline C cmul(C a, C b) {
    C r;
    r.x = a.x * b.x - a.y * b.y;
    r.y = a.x * b.y + a.y * b.x;
    return r;
}
DEV_HOSTDEV inline float2 mul(float2 a, float2 b) { return cmul(a, b); }
DEV_HOSTDEV inline double2 mul(double2 a, double2 b) { return cmul(a, b); }

DEV_HOSTDEV inline float add(float a, float b) { return a + b; }
DEV_HOSTDEV inline double add(double a, double b) { return a + b; }
template <class C>
DEV_HOSTDEV inline C add(C a, C b) {
    a.x = a.x + b.x;
    a.y = a.y + b.y;
    return a;
}

// acc + a*b under the precision rules of result type TC.
template <class TC, class TA, class TB>
struct product_rule {
    using W = work_t<TA, TB>;
    using acc = acc_t<TC, W>;
    __device__ static acc step(acc s, const TA &a, const TB &b) {
        return add(s, to<acc>(mul(to<retype<TA, W>>(a), to<retype<TB, W>>(b))));
    }
};

// Texture indices: in range for every binding the device accepts; a larger
// one is clamped by the fetch anyway.
__device__ inline int tex_index(long long i) { return i > INT_MAX ? INT_MAX : int(i); }

// Texels as the kernels use them.
DEV_HOSTDEV inline float texel_value(float v) { return v; }
DEV_HOSTDEV inline float2 texel_value(float2 v) { return v; }
DEV_HOSTDEV inline double texel_value(int2 v) { return dev::texel_double(v); }
DEV_HOSTDEV inline double2 texel_value(int4 v) { return dev::texel_double2(v); }

// The page of a block of a batched launch and its place within the page.
struct place {
    long long page;
    unsigned block;
};
template <bool tesk>
__device__ inline place where(const param_mtimes_t &p) {
    if (!tesk) return {0, blockIdx.x};
    return {(long long)(blockIdx.x / unsigned(p.blocks)), blockIdx.x % unsigned(p.blocks)};
}

// ------------------------------------------------------------------ product kernels

// A product block: BX x BY threads own ROWS rows and COLS columns of C; B is
// staged CHUNK rows at a time in rows of COLS + 1 elements.
template <unsigned BX, unsigned BY, unsigned ROWS, unsigned COLS, unsigned CHUNK>
struct tile {
    static constexpr unsigned bx = BX, by = BY, rows = ROWS, cols = COLS, chunk = CHUNK;
    static constexpr unsigned threads = BX * BY;
    static constexpr unsigned per_thread = ROWS / threads;  // rows of each thread
    static constexpr unsigned loads = CHUNK * COLS / threads;  // B elements each thread stages
    static_assert(per_thread * threads == ROWS && loads * threads == CHUNK * COLS,
                  "a tile divides evenly among its threads");
};
using tile_10 = tile<32, 2, 128, 10, 32>;  // double and float2, and mixed types
using tile_12 = tile<16, 4, 192, 12, 16>;  // float
using tile_6 = tile<32, 2, 128, 6, 32>;    // mixed types with a double2 operand

template <class S, class FA, class FB, class TA, class TB, class TC, bool tesk>
__device__ inline void product_tile(const param_mtimes_t &p, int offA, int offB) {
    static_assert(std::is_same<typename FA::value_type, TA>::value &&
                      std::is_same<typename FB::value_type, TB>::value,
                  "textures of the operand types");
    using R = product_rule<TC, TA, TB>;
    __shared__ TB sb[S::chunk][S::cols + 1];
    const unsigned t = threadIdx.x + S::bx * threadIdx.y;
    const place at = where<tesk>(p);
    const long long a0 = offA + (tesk && p.nA ? at.page * p.K * (long long)p.lda : 0);
    const long long b0 = offB + (tesk && p.nB ? at.page * p.N * (long long)p.ldb : 0);
    const long long i0 = (long long)at.block * S::rows;
    const int j0 = int(blockIdx.y * S::cols);
    long long load_row[S::per_thread];  // rows beyond M read row M - 1
    for (unsigned r = 0; r < S::per_thread; ++r) {
        const long long i = i0 + t + S::threads * r;
        load_row[r] = i < p.M ? i : p.M - 1;
    }
    typename R::acc acc[S::per_thread][S::cols];
    for (unsigned r = 0; r < S::per_thread; ++r)
        for (unsigned c = 0; c < S::cols; ++c) acc[r][c] = typename R::acc{};
    for (int k0 = 0; k0 < p.K; k0 += int(S::chunk)) {
        const int kc = p.K - k0 < int(S::chunk) ? p.K - k0 : int(S::chunk);
        for (unsigned s = 0; s < S::loads; ++s) {
            const unsigned e = t + S::threads * s, kk = e % S::chunk, c = e / S::chunk;
            if (int(kk) < kc) {
                const long long j = j0 + int(c) < p.N ? j0 + c : p.N - 1;
                sb[kk][c] = FB::get(tex_index(b0 + j * p.ldb + k0 + kk));
            }
        }
        __syncthreads();
        for (int kk = 0; kk < kc; ++kk)
            for (unsigned r = 0; r < S::per_thread; ++r) {
                const TA a = FA::get(tex_index(a0 + load_row[r] + (long long)(k0 + kk) * p.lda));
                for (unsigned c = 0; c < S::cols; ++c) acc[r][c] = R::step(acc[r][c], a, sb[kk][c]);
            }
        __syncthreads();
    }
    TC *C = static_cast<TC *>(p.C) + (tesk ? at.page * p.N * (long long)p.ldc : 0);
    for (unsigned r = 0; r < S::per_thread; ++r) {
        const long long i = i0 + t + S::threads * r;
        if (i >= p.M) continue;
        for (unsigned c = 0; c < S::cols; ++c)
            if (j0 + int(c) < p.N) C[i + (long long)(j0 + c) * p.ldc] = to<TC>(acc[r][c]);
    }
}

// A matrix-vector block: one row of C per thread, B staged in chunks.
constexpr unsigned column_threads = 128;
constexpr unsigned column_chunk = 768;

template <class, class FA, class FB, class TA, class TB, class TC, bool tesk>
__device__ inline void product_column(const param_mtimes_t &p, int offA, int offB) {
    using R = product_rule<TC, TA, TB>;
    __shared__ TB sb[column_chunk];
    const unsigned t = threadIdx.x;
    const place at = where<tesk>(p);
    const long long a0 = offA + (tesk && p.nA ? at.page * p.K * (long long)p.lda : 0);
    const long long b0 = offB + (tesk && p.nB ? at.page * p.N * (long long)p.K : 0);
    const long long i = (long long)at.block * column_threads + t;
    const long long row = i < p.M ? i : p.M - 1;
    typename R::acc acc{};
    for (int k0 = 0; k0 < p.K; k0 += int(column_chunk)) {
        const int kc = p.K - k0 < int(column_chunk) ? p.K - k0 : int(column_chunk);
        for (unsigned e = t; e < column_chunk; e += column_threads)
            if (int(e) < kc) sb[e] = FB::get(tex_index(b0 + k0 + e));
        __syncthreads();
        for (int kk = 0; kk < kc; ++kk)
            acc = R::step(acc, FA::get(tex_index(a0 + row + (long long)(k0 + kk) * p.lda)), sb[kk]);
        __syncthreads();
    }
    TC *C = static_cast<TC *>(p.C) + (tesk ? at.page * p.N * (long long)p.ldc : 0);
    if (i < p.M) C[i] = to<TC>(acc);
}

// ------------------------------------------------------------------ operation kernels

template <class T> struct largest;
template <> struct largest<float> { DEV_HOSTDEV static float value() { return 3.4028234663852886e38f; } };
template <> struct largest<double> { DEV_HOSTDEV static double value() { return 1.7976931348623157e308; } };

// Each rule folds the elements of one column in order of k; the sums round
// every step exactly as written, so results are the same on every device.
template <class T>
struct sum_rule {
    static constexpr bool positions = false;
    struct state {
        T v;
        float pos;
    };
    __device__ static state start() { return {T{}, 1.0f}; }
    __device__ static double plus(double a, double b) { return __dadd_rn(a, b); }
    __device__ static float plus(float a, float b) { return __fadd_rn(a, b); }
    template <class C>
    __device__ static C plus(C a, C b) {
        a.x = plus(a.x, b.x);
        a.y = plus(a.y, b.y);
        return a;
    }
    __device__ static void step(state &s, T x, int) { s.v = plus(s.v, x); }
};

// Minimum (greater = false) or maximum of a real column from the largest
// finite value of the type; comparisons with NaN fail, so NaN is passed over,
// and a tie keeps the earlier row.
template <class T, bool greater, bool with_pos>
struct extremum_rule {
    static constexpr bool positions = with_pos;
    struct state {
        T v;
        float pos;
    };
    __device__ static state start() { return {greater ? -largest<T>::value() : largest<T>::value(), 1.0f}; }
    __device__ static void step(state &s, T x, int k) {
        if (greater ? x > s.v : x < s.v) {
            s.v = x;
            s.pos = float(k + 1);
        }
    }
};

// |re + i im| without overflow in the intermediate; NaN when a part is NaN
// (tested first: the ordering below would take (NaN, 0) for 0).
__device__ inline double magnitude(double re, double im) {
    if (re != re || im != im) return re != re ? re : im;
    const double a = fabs(re), b = fabs(im);
    const double hi = a > b ? a : b, lo = a > b ? b : a;
    if (hi == 0 || hi > largest<double>::value()) return hi;
    const double r = __ddiv_rn(lo, hi);
    return __dmul_rn(hi, sqrt(__dadd_rn(1.0, __dmul_rn(r, r))));
}

// Where a magnitude ranks: by its value, and among the magnitudes that
// overflow to +inf by half of it, which is +inf only for an infinite part; so
// an element with an infinite part ranks above every element with finite ones.
struct magnitude_rank {
    double m, half;
};
__device__ inline magnitude_rank rank_of(double re, double im) {
    const double m = magnitude(re, im);
    if (!(m > largest<double>::value())) return {m, m};
    return {m, magnitude(__dmul_rn(re, 0.5), __dmul_rn(im, 0.5))};
}
template <bool greater>
__device__ inline bool beyond(const magnitude_rank &b, const magnitude_rank &a) {
    if (b.m == a.m) return greater ? b.half > a.half : b.half < a.half;
    return greater ? b.m > a.m : b.m < a.m;
}

// Complex columns: the element of least (greatest) magnitude. The first row
// is always taken, so the result is an element of the column (the start
// value stands only for K = 0); a later row replaces it when its magnitude
// ranks beyond, or when the kept one's is NaN. Ties keep the earlier row.
template <class T, bool greater>
struct magnitude_rule {
    static constexpr bool positions = false;
    using part = typename traits<T>::part;
    struct state {
        T v;
        magnitude_rank r;
    };
    __device__ static state start() {
        state s;
        s.v.x = greater ? part(0) : largest<part>::value();
        s.v.y = 0;
        s.r = {0, 0};
        return s;
    }
    __device__ static void step(state &s, T x, int k) {
        const magnitude_rank r = rank_of(x.x, x.y);
        if (k == 0 || s.r.m != s.r.m || beyond<greater>(r, s.r)) {
            s.v = x;
            s.r = r;
        }
    }
};

template <class T, bool greater, bool with_pos, bool cplx = traits<T>::cplx>
struct pick_rule {
    using type = extremum_rule<T, greater, with_pos>;
};
template <class T, bool greater>
struct pick_rule<T, greater, false, true> {
    using type = magnitude_rule<T, greater>;
};

// The rule of each operation code that has kernels.
template <class T, int op> struct op_rule;
template <class T> struct op_rule<T, 1> { using type = sum_rule<T>; };
template <class T> struct op_rule<T, 2> { using type = typename pick_rule<T, false, false>::type; };
template <class T> struct op_rule<T, 3> { using type = typename pick_rule<T, true, false>::type; };
template <class T> struct op_rule<T, 20> { using type = typename pick_rule<T, false, true>::type; };
template <class T> struct op_rule<T, 30> { using type = typename pick_rule<T, true, true>::type; };

// A block of 2 x COLS threads reduces COLS columns of B, two rows of B per
// step, and writes each column's result down 4*COLS rows of C.
template <class FB, class T, int op, unsigned COLS, bool tesk>
__device__ inline void column_op(const param_mtimes_t &p, int offB) {
    using R = typename op_rule<T, op>::type;
    __shared__ T sh[2][COLS + 1];
    const unsigned x = threadIdx.x, y = threadIdx.y;
    const place at = where<tesk>(p);
    const long long b0 = offB + (tesk && p.nB ? at.page * p.K * (long long)p.N : 0);
    const long long c0 = tesk ? at.page * p.M * (long long)p.N : 0;
    const long long j0 = (long long)COLS * blockIdx.y;
    typename R::state acc[COLS];
    for (unsigned c = 0; c < COLS; ++c) acc[c] = R::start();
    for (int k = 0; k < p.K; k += 2) {
        sh[x][y] = FB::get(tex_index(b0 + (j0 + y) * p.ldb + k + x));
        __syncthreads();
        const int rows = p.K - k < 2 ? 1 : 2;
        for (int r = 0; r < rows; ++r)
            for (unsigned c = 0; c < COLS; ++c) R::step(acc[c], sh[r][c], k + r);
        __syncthreads();
    }
    T *C = static_cast<T *>(p.C) + c0;
    const long long i = (long long)(4 * COLS) * at.block + x + 2 * y;
    for (long long row = i; row <= i + 2 * COLS; row += 2 * COLS) {
        if (row >= p.M) continue;
        for (unsigned c = 0; c < COLS; ++c) {
            if (j0 + c >= p.N) continue;
            const long long at_c = row + (j0 + c) * p.ldc;
            C[at_c] = acc[c].v;
            if constexpr (R::positions)
                reinterpret_cast<float *>(uintptr_t(p.extra))[c0 + at_c] = acc[c].pos;
        }
    }
}

// ------------------------------------------------------------------ host side

// What a worker knows of its kernels and textures.
struct op_entry {
    int op;
    unsigned cols;  // columns per block; the block is 2 x cols threads
    kernel_fn plain, tesk;
};
struct product_desc {
    dev::texture_ref *texA, *texB;
    size_t sizeA, sizeB, sizeC;
    kernel_fn gemm, gemm_tesk, gemv, gemv_tesk;
    unsigned bx, by, rows, cols;  // matrix blocks
};
struct same_desc {
    const product_desc *product;  // null: every product through cuBLAS
    int threshold;                // products with M and N at most this go to cuBLAS
    dev::texture_ref *texB;
    size_t size;
    const op_entry *ops;
    unsigned nops;
};

// The product's common steps: empty results, K = 0, shape, pages and route.
// Returns -1 where the product goes to cuBLAS page by page.
pkrError product(param_mtimes_t &p, const product_desc *d, int threshold, size_t size);
pkrError column_ops(param_mtimes_t &p, const same_desc &d);
pkrError mixed(param_mtimes_t &p, const product_desc &d);

// Page counts a product cannot pair: a negative one, or two nonzero ones
// that differ (the operand with fewer pages would be read past its end).
inline bool pages_unpaired(const param_mtimes_t &p) {
    return p.nA < 0 || p.nB < 0 || (p.nA != 0 && p.nB != 0 && p.nA != p.nB);
}

// Pages of C: the larger page count, at least one.
inline long long pages_of(const param_mtimes_t &p) {
    const int n = p.nA > p.nB ? p.nA : p.nB;
    return n > 1 ? n : 1;
}

// 1x1 results: one dot product per page, written by the host.
template <class T>
pkrError dots(param_mtimes_t &p) {
    const T *a = static_cast<const T *>(p.A), *b = static_cast<const T *>(p.B);
    T *c = static_cast<T *>(p.C);
    if (p.K == 0) {  // empty dot products: zeros, no cuBLAS call
        for (long long pg = 0, n = pages_of(p); pg < n; ++pg) c[pg] = T{};
        return 0;
    }
    for (long long pg = 0, n = pages_of(p); pg < n; ++pg) {
        c[pg] = vv<T>(unsigned(p.K), a, b);
        if (p.nA) a += p.K;
        if (p.nB) b += p.K;
        if (dev::blas_get_error()) return 7;
    }
    return 0;
}

// cuBLAS page by page.
template <class T>
pkrError blas_pages(const param_mtimes_t &p) {
    const T *a = static_cast<const T *>(p.A), *b = static_cast<const T *>(p.B);
    T *c = static_cast<T *>(p.C);
    const long long m = p.M, n = p.N, k = p.K;
    for (long long pg = 0, np = pages_of(p); pg < np; ++pg) {
        if (n == 1)
            mv<T>(unsigned(m), unsigned(k), a, b, c);
        else
            mm<T>(unsigned(m), unsigned(n), unsigned(k), a, b, c);
        if (p.nA) a += m * k;
        if (p.nB) b += k * n;
        c += m * n;
        if (dev::blas_get_error()) return 7;
    }
    return 0;
}

template <class T>
pkrError same_type(param_mtimes_t &p, const same_desc &d) {
    if (p.op != 0) return column_ops(p, d);
    if (pages_unpaired(p)) return 6;
    if (p.M == 1 && p.N == 1) return dots<T>(p);
    const pkrError e = product(p, d.product, d.threshold, d.size);
    return e >= 0 ? e : blas_pages<T>(p);
}

}  // namespace mtimes

// ------------------------------------------------------------------ stamping

// A texture reference of the file and the fetch that kernels read it by.
#define TV_MTIMES_TEXTURE(name, texel, value)                                         \
    DEV_TEXTURE(texel, name);                                                         \
    struct name##_fetch {                                                             \
        using value_type = value;                                                     \
        __device__ static __forceinline__ value get(int i) {                          \
            return ::mtimes::texel_value(DEV_TEX_FETCH(name, i));                     \
        }                                                                             \
    };
#define TV_MTIMES_SINGLE_TEXTURES(X)         \
    X(texA_single, float, float)             \
    X(texB_single, float, float)             \
    X(texA_cplx, float2, float2)             \
    X(texB_cplx, float2, float2)
#define TV_MTIMES_DOUBLE_TEXTURES(X)         \
    X(texA_dbl, int2, double)                \
    X(texB_dbl, int2, double)                \
    X(texA_dblcplx, int4, double2)           \
    X(texB_dblcplx, int4, double2)

// Product kernels of one row X(code, TA, TB, TC, texA, texB, tile): the matrix
// and matrix-vector kernels and their batched twins, and their description.
#define TV_MTIMES_PRODUCT_KERNEL(kname, body, texA, texB, S, tesk)                        \
    template <class TA, class TB, class TC>                                                 \
    __global__ void kname(::mtimes::param_mtimes_t p, int offA, int offB) {                 \
        ::mtimes::body<S, texA##_fetch, texB##_fetch, TA, TB, TC, tesk>(p, offA, offB);     \
    }
#define TV_MTIMES_PRODUCTS(code, TA, TB, TC, texA, texB, S)                                      \
    TV_MTIMES_PRODUCT_KERNEL(gemm_kernel_##code, product_tile, texA, texB, S, false)             \
    TV_MTIMES_PRODUCT_KERNEL(gemm_kernel_##code##_tesk, product_tile, texA, texB, S, true)       \
    TV_MTIMES_PRODUCT_KERNEL(gemv_kernel_##code, product_column, texA, texB, S, false)           \
    TV_MTIMES_PRODUCT_KERNEL(gemv_kernel_##code##_tesk, product_column, texA, texB, S, true)     \
    const ::mtimes::product_desc product_##code = {                                              \
        &texA, &texB, sizeof(TA), sizeof(TB), sizeof(TC),                                        \
        &gemm_kernel_##code<TA, TB, TC>, &gemm_kernel_##code##_tesk<TA, TB, TC>,                 \
        &gemv_kernel_##code<TA, TB, TC>, &gemv_kernel_##code##_tesk<TA, TB, TC>,                 \
        S::bx, S::by, S::rows, S::cols};

// Operation kernels of one row X(code, name, op, T, texB, cols) and their
// table entry.
#define TV_MTIMES_OP_KERNELS(code, name, op, T, texB, cols)                                    \
    template <class TA, class TB, class TC>                                                   \
    __global__ void name##_kernel_##code(::mtimes::param_mtimes_t p, int, int offB) {         \
        ::mtimes::column_op<texB##_fetch, TC, op, cols, false>(p, offB);                      \
    }                                                                                         \
    template <class TA, class TB, class TC>                                                   \
    __global__ void name##_kernel_##code##_tesk(::mtimes::param_mtimes_t p, int, int offB) {  \
        ::mtimes::column_op<texB##_fetch, TC, op, cols, true>(p, offB);                       \
    }
#define TV_MTIMES_OP_ENTRY(code, name, op, T, texB, cols) \
    {op, cols, &name##_kernel_##code<T, T, T>, &name##_kernel_##code##_tesk<T, T, T>},

// The operations of a same-type worker: X(code, name, op, T, texB, cols).
#define TV_MTIMES_OPS_SUM_MIN_MAX(X, code, T, texB, cols) \
    X(code, sum, 1, T, texB, cols)                        \
    X(code, min, 2, T, texB, cols)                        \
    X(code, max, 3, T, texB, cols)
#define TV_MTIMES_OPS_IDX(X, code, T, texB, cols) \
    X(code, min_idx, 20, T, texB, cols)           \
    X(code, max_idx, 30, T, texB, cols)

// A same-type worker: its operation table and the worker itself.
#define TV_MTIMES_SAME_WORKER(code, T, product, threshold, texB, OPS)                         \
    const ::mtimes::op_entry ops_##code[] = {OPS(TV_MTIMES_OP_ENTRY)};                        \
    const ::mtimes::same_desc same_##code = {product, threshold, &texB, sizeof(T), ops_##code, \
                                             sizeof ops_##code / sizeof ops_##code[0]};         \
    pkrError gemm_##code(::mtimes::param_mtimes_t &p) {                                       \
        return ::mtimes::same_type<T>(p, same_##code);                                        \
    }
#define TV_MTIMES_MIXED_WORKER(code, TA, TB, TC, texA, texB, S) \
    pkrError gemm_##code(::mtimes::param_mtimes_t &p) { return ::mtimes::mixed(p, product_##code); }
