// Transposes and conjugate transposes, single and batched: the kernels'
// records, the kernel tables, the tiled kernel they all share, the launcher
// and the entries' stamp.
#pragma once

#include "arrays.h"

namespace transposing {

// Addresses are 64-bit; the fields keep their order (byte offsets: in 0,
// out 8, m 16, n 20, blocks 24; 32 bytes).
struct transpose_param_t {
    const void *in;
    void *out;
    unsigned m, n;
    unsigned blocks;  // blocks along m of one page in a batched launch; 0 otherwise
};
// The conjugating kernels' record: the same fields.
struct ctranspose_param_t : transpose_param_t {};

template <class Rec>
using kernel_fn = void (*)(Rec);

// The batched kernel of element type T in a table.
template <class T> struct tesk {};

// Table slots: the single kernels of a precision's types, then their batched forms.
using double_elements = arrays::type_list<double, double2, tesk<double>, tesk<double2>>;
using single_elements = arrays::type_list<float2, float, arrays::logical, tesk<float2>, tesk<float>,
                                          tesk<arrays::logical>>;

extern const std::array<kernel_fn<transpose_param_t>, double_elements::size> transpose_double_fn;
extern const std::array<kernel_fn<transpose_param_t>, single_elements::size> transpose_single_fn;
extern const std::array<kernel_fn<ctranspose_param_t>, double_elements::size> ctranspose_double_fn;
extern const std::array<kernel_fn<ctranspose_param_t>, single_elements::size> ctranspose_single_fn;

// The kernel of element type E, batched or not, from an operation's tables.
template <class E, bool batched, class Rec>
kernel_fn<Rec> pick(const std::array<kernel_fn<Rec>, double_elements::size> &dbl,
                    const std::array<kernel_fn<Rec>, single_elements::size> &sgl) {
    using slot_type = typename std::conditional<batched, tesk<E>, E>::type;
    return arrays::pick<E, slot_type, double_elements, single_elements>(dbl, sgl);
}

// Blocks of 16 x 16 over the tiles of a page; with pages (count > 0) the
// pages' blocks follow each other along x. Without pages the single kernel
// runs (the batched one would divide by a block count of 0).
template <class Rec>
pkrError run(const void *in, void *out, unsigned m, unsigned n, unsigned count, kernel_fn<Rec> single,
             kernel_fn<Rec> batched) {
    launch::shape s = arrays::tiles_16(m, n);
    const uint64_t blocks = s.grid_x;
    if (count) s.grid_x = count * blocks;
    Rec p{};
    p.in = in;
    p.out = out;
    p.m = m;
    p.n = n;
    p.blocks = count ? unsigned(blocks) : 0;
    return launch::run(launch::standard, count ? batched : single, s, p);
}

}  // namespace transposing

namespace {

template <bool conj>
DEV_HOSTDEV inline float2 conjugate(float2 v) {
    if (conj) v.y = -v.y;
    return v;
}
template <bool conj>
DEV_HOSTDEV inline double2 conjugate(double2 v) {
    if (conj) v.y = -v.y;
    return v;
}
template <bool conj, class T>
DEV_HOSTDEV inline T conjugate(T v) {
    return v;
}

// One 16 x 16 tile through shared memory of 16 x 17 elements, so that both
// the reads of the input and the writes of the output take 16 consecutive
// elements per row of threads. Blocks take their tiles in diagonal order.
template <class T, bool conj, bool batched>
__device__ void transpose_tile(const transposing::transpose_param_t &p) {
    __shared__ T tile[16][17];
    const T *in = static_cast<const T *>(p.in);
    T *out = static_cast<T *>(p.out);
    unsigned bx = blockIdx.x;
    const unsigned by = blockIdx.y;
    const unsigned B = batched ? p.blocks : gridDim.x;  // tile columns of a page
    const unsigned G = gridDim.y;                       // tile rows
    if (batched) {
        const unsigned page = bx / B;
        bx -= page * B;
        const uint64_t offset = uint64_t(page) * p.m * p.n;
        in += offset;
        out += offset;
    }
    unsigned tx, ty;
    if (p.m == p.n) {
        ty = bx;
        tx = (bx + by) % B;
    } else {
        const unsigned b = bx + B * by;
        ty = b % G;
        tx = (b / G + ty) % B;
    }
    const unsigned x = threadIdx.x, y = threadIdx.y;
    if (tx * 16 + x < p.m && ty * 16 + y < p.n)
        tile[y][x] = in[uint64_t(ty * 16 + y) * p.m + tx * 16 + x];
    __syncthreads();
    if (ty * 16 + x < p.n && tx * 16 + y < p.m)
        out[uint64_t(tx * 16 + y) * p.n + ty * 16 + x] = conjugate<conj>(tile[x][y]);
}

}  // namespace

// The single and batched kernels of one operation, and the table slot of each.
#define TV_TRANSPOSE_KERNELS(op, Rec, conj)                                                   \
    namespace {                                                                               \
    template <class T>                                                                        \
    __global__ void op(transposing::Rec p) {                                                  \
        transpose_tile<T, conj, false>(p);                                                    \
    }                                                                                         \
    template <class T>                                                                        \
    __global__ void op##_tesk(transposing::Rec p) {                                           \
        transpose_tile<T, conj, true>(p);                                                     \
    }                                                                                         \
    template <class E>                                                                        \
    struct op##_slot {                                                                        \
        static transposing::kernel_fn<transposing::Rec> get() { return &op<E>; }             \
    };                                                                                        \
    template <class E>                                                                        \
    struct op##_slot<transposing::tesk<E>> {                                                  \
        static transposing::kernel_fn<transposing::Rec> get() { return &op##_tesk<E>; }      \
    };                                                                                        \
    }
TV_TRANSPOSE_KERNELS(transpose, transpose_param_t, false)
TV_TRANSPOSE_KERNELS(ctranspose, ctranspose_param_t, true)

// A device file's table of one operation and precision.
#define TV_TRANSPOSE_TABLE(op, Rec, precision)                                             \
    const std::array<transposing::kernel_fn<transposing::Rec>,                             \
                     transposing::precision##_elements::size>                              \
        transposing::op##_##precision##_fn =                                               \
            arrays::table_of<transposing::kernel_fn<transposing::Rec>, op##_slot>(         \
                transposing::precision##_elements{});

// The single and batched entries of one operation and element type.
#define TV_TRANSPOSE_ENTRIES(op, code, T)                                                     \
    extern "C" TORVANE_API pkrError pkr_##op##_##code(const void *in, void *out, unsigned m,  \
                                                      unsigned n) {                           \
        return pkr_##op##_##code##_tesk(in, out, m, n, 0);                                    \
    }                                                                                         \
    extern "C" TORVANE_API pkrError pkr_##op##_##code##_tesk(const void *in, void *out,       \
                                                             unsigned m, unsigned n,          \
                                                             unsigned count) {                \
        using E = arrays::stored_t<T>;                                                        \
        using namespace transposing;                                                          \
        return run(in, out, m, n, count, pick<E, false>(op##_double_fn, op##_single_fn),      \
                   pick<E, true>(op##_double_fn, op##_single_fn));                            \
    }
