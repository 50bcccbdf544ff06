// Reductions: what the entries, the wrappers and the device sources share —
// the worker record, the dispatch tables and the entry logic.
#pragma once

#include "torvane.h"
#include "torvane_reduce.h"

#include <cstdint>

namespace reduce {

// The argument record of every worker, filled by the entry.
struct param_t {
    void *out;
    const void *in;
    void *tmp;  // always null from the entry: each worker takes its own temporary
    float *idx;
    uint32_t nelem;
    uint32_t stride;
    uint32_t len;
    uint32_t slab;
    uint32_t pre;
    uint32_t nout;
};

using worker_fn = pkrError (*)(param_t);
// A row: the element slots of one precision, operation and case.
using row_t = const worker_fn *;

// Rows of a top table, by reduction case.
enum kase : unsigned { case_v = 0, case_c = 1, case_d = 2, case_r = 3 };

// Element slots.
enum slot : unsigned {
    slot_real = 0,           // real from real
    slot_real_logical = 1,   // real from logical
    slot_logical_real = 2,   // logical from real
    slot_logical = 3,        // logical from logical
    slot_cplx = 4,           // complex from complex
    slot_logical_cplx = 5,   // logical from complex
    slot_idx = 6,            // values and positions from real
    slot_idx_cplx = 7,       // values and positions from complex
};
constexpr unsigned slots_plain = 7;  // all, any, sum
constexpr unsigned slots_idx = 8;    // max, min

// How an operation picks its element slot.
enum class slot_rule { logical_result, extremum, sum };

// The two top tables of each operation, defined in its device sources.
#define TV_REDUCE_DECLARE_TABLES(op)          \
    extern const row_t double_##op##_fns[4]; \
    extern const row_t single_##op##_fns[4];
TORVANE_REDUCE_OPS(TV_REDUCE_DECLARE_TABLES)
#undef TV_REDUCE_DECLARE_TABLES

struct op_tables {
    const row_t *dbl;
    const row_t *sgl;
    slot_rule rule;
};

// The logic of all five entries.
pkrError dispatch(const op_tables &op, uint32_t nout, uint32_t nelem, uint32_t stride,
                  uint32_t len, uint32_t slab, uint32_t pre, void *out, int32_t out_type,
                  void *in, int32_t in_type, float *idx, unsigned char cplx,
                  unsigned char want_idx, unsigned char dev_out);

}  // namespace reduce

// The exported entry of operation `op`.
#define TV_REDUCE_ENTRY(op, rule)                                                              \
    extern "C" TORVANE_API pkrError op##_stride_r(                                             \
        uint32_t nout, uint32_t nelem, uint32_t stride, uint32_t len, uint32_t slab,           \
        uint32_t pre, void *out, int32_t out_type, void *in, int32_t in_type, float *idx,      \
        unsigned char cplx, unsigned char want_idx, unsigned char dev_out) {                   \
        static const ::reduce::op_tables tables{::reduce::double_##op##_fns,                   \
                                                ::reduce::single_##op##_fns, rule};            \
        return ::reduce::dispatch(tables, nout, nelem, stride, len, slab, pre, out, out_type,  \
                                  in, in_type, idx, cplx, want_idx, dev_out);                  \
    }

// The bodies of the three shapes; each wrapper's two names share them.
#define TV_REDUCE_ROWS_BODY(op, ot, it, cx)                                                    \
    {                                                                                          \
        return op##_stride_r(rows, rows * columns, rows, columns, 0, 0, out, ot, in, it,       \
                             nullptr, cx, 0, 1);                                               \
    }
#define TV_REDUCE_COLUMNS_BODY(op, ot, it, cx)                                                 \
    {                                                                                          \
        return op##_stride_r(columns, rows * columns, 1, rows, 0, 0, out, ot, in, it, nullptr, \
                             cx, 0, 1);                                                        \
    }
#define TV_REDUCE_VECTOR_BODY(op, ot, it, cx) \
    { return op##_stride_r(1, n, 1, n, 0, 0, out, ot, in, it, nullptr, cx, 0, 0); }

// Both names of the three wrappers of one type row.
#define TV_REDUCE_WRAPPERS(op, sfx, R, T, ot, it, cx)                                          \
    extern "C" TORVANE_API pkrError pkr_##op##_rows_##sfx(R *out, T *in, unsigned int rows,    \
                                                          unsigned int columns)                \
        TV_REDUCE_ROWS_BODY(op, ot, it, cx)                                                    \
    template <>                                                                                \
    TORVANE_API pkrError pkr_##op##_rows<R, T>(R * out, T * in, unsigned int rows,             \
                                               unsigned int columns)                           \
        TV_REDUCE_ROWS_BODY(op, ot, it, cx)                                                    \
    extern "C" TORVANE_API pkrError pkr_##op##_columns_##sfx(R *out, T *in, unsigned int rows, \
                                                             unsigned int columns)             \
        TV_REDUCE_COLUMNS_BODY(op, ot, it, cx)                                                 \
    template <>                                                                                \
    TORVANE_API pkrError pkr_##op##_columns<R, T>(R * out, T * in, unsigned int rows,          \
                                                  unsigned int columns)                        \
        TV_REDUCE_COLUMNS_BODY(op, ot, it, cx)                                                 \
    extern "C" TORVANE_API pkrError pkr_##op##_vector_##sfx(R *out, T *in, unsigned int n)     \
        TV_REDUCE_VECTOR_BODY(op, ot, it, cx)                                                  \
    template <>                                                                                \
    TORVANE_API pkrError pkr_##op##_vector<R, T>(R * out, T * in, unsigned int n)              \
        TV_REDUCE_VECTOR_BODY(op, ot, it, cx)
