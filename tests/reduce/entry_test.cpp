// The reduction entries: which case and which element slot a request takes,
// what the tables hold, and the requests that are refused.
#include "model.h"

#include <cstring>

namespace {

using namespace rmodel;

using entry_fn = pkrError (*)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, void *,
                              int32_t, void *, int32_t, float *, unsigned char, unsigned char,
                              unsigned char);
struct op_entry {
    const char *name;
    entry_fn fn;
};
#define TV_TEST_OP(op) op_entry{#op, &op##_stride_r},
const op_entry all_ops[] = {TORVANE_REDUCE_OPS(TV_TEST_OP)};
#undef TV_TEST_OP

// One small request of each case, every member inside a buffer of 64 elements.
const request small_cases[] = {
    {"v", 'v', 1, 40, 1, 40, 0, 0, 0},
    {"c", 'c', 4, 40, 1, 10, 0, 0, 1},
    {"d", 'd', 4, 40, 4, 10, 0, 0, 1},
    {"r", 'r', 4, 40, 2, 10, 20, 2, 1},
};

// The operand types a request can name and the code each kind of entry gives:
// all and any, max and min, sum.
struct operand {
    int32_t in_type;
    unsigned char cplx, want_idx;
    pkrError logical, extremum, sum;
};
const operand operands[] = {
    {6, 0, 0, 0, 0, 0},  // double: slots 2, 0, 0
    {6, 1, 0, 0, 0, 0},  // double complex: slots 5, 4, 4
    {7, 0, 0, 0, 0, 0},  // single
    {7, 1, 0, 0, 0, 0},  // single complex
    {3, 0, 0, 0, 0, 0},  // logical: slots 3, 3, 1 of the single table
    {3, 1, 0, 6, 6, 6},  // complex logical: no worker reads bytes as complex values
    {6, 0, 1, 6, 0, 6},  // positions: slots 6 and 7, filled for max and min only
    {6, 1, 1, 6, 0, 6},
    {7, 0, 1, 6, 0, 6},
    {7, 1, 1, 6, 0, 6},
    {3, 0, 1, 6, 6, 6},  // no positions of bytes
    {3, 1, 1, 6, 6, 6},
    {0, 0, 0, 6, 6, 6},  // unknown type codes
    {8, 0, 0, 6, 6, 6},
    {-1, 1, 0, 6, 6, 6},
};

TEST(ReduceEntry, TablesAndSlots) {
    testenv::device_env env;
    counting_ctx::install();
    std::vector<double2> zeros(64);  // 1 KiB, enough for any element type
    void *in = testenv::to_device(zeros);
    for (const op_entry &op : all_ops) {
        const std::string name = op.name;
        for (const request &q : small_cases) {
            for (const operand &t : operands) {
                SCOPED_TRACE(name + " case " + q.name + " in_type " +
                             std::to_string(t.in_type) + " cplx " + std::to_string(t.cplx) +
                             " want_idx " + std::to_string(t.want_idx));
                double2 host[4] = {{7, 7}, {7, 7}, {7, 7}, {7, 7}};
                double2 *dev = testenv::to_device(std::vector<double2>(host, host + 4));
                float *dev_idx = testenv::to_device(std::vector<float>(4, 7.0f));
                float host_idx = 7;
                void *out = q.kase == 'v' ? static_cast<void *>(host) : dev;
                float *idx = q.kase == 'v' ? &host_idx : dev_idx;
                const pkrError want = name == "sum"                   ? t.sum
                                      : name == "all" || name == "any" ? t.logical
                                                                       : t.extremum;
                EXPECT_EQ(op.fn(q.nout, q.nelem, q.stride, q.len, q.slab, q.pre, out, t.in_type,
                                in, t.in_type, idx, t.cplx, t.want_idx, q.dev_out),
                          want);
                EXPECT_EQ(last_error(), 0) << "the entries store nothing";
                if (want == 6) {  // nothing written
                    auto back = testenv::from_device(dev, 4);
                    EXPECT_EQ(std::memcmp(back.data(), host, sizeof host), 0);
                    EXPECT_EQ(host[0].x, 7.0);
                    EXPECT_EQ(testenv::from_device(dev_idx, 4), std::vector<float>(4, 7.0f));
                    EXPECT_EQ(host_idx, 7.0f);
                } else if (t.want_idx) {  // zeros: every position is 1
                    EXPECT_EQ(q.kase == 'v' ? host_idx : testenv::from_device(dev_idx, 1)[0],
                              1.0f);
                }
                testenv::device_free(dev);
                testenv::device_free(dev_idx);
            }
        }
        // No results: 0 at once, nothing read or written.
        EXPECT_EQ(op.fn(0, 100, 3, 7, 0, 0, nullptr, 0, nullptr, 99, nullptr, 1, 1, 1), 0);
    }
    testenv::device_free(in);
}

// The case follows stride, nelem = len, dev_out and slab; each row is
// checked by its results (host memory for case v) against the model of the
// case it must take.
TEST(ReduceEntry, CaseRule) {
    testenv::device_env env;
    counting_ctx::install();
    const request rows[] = {
        {"stride 1, whole input, host result", 'v', 1, 700, 1, 700, 0, 0, 0},
        {"stride 1, whole input, dev_out", 'c', 1, 700, 1, 700, 0, 0, 1},
        {"stride 1, columns", 'c', 7, 700, 1, 100, 0, 0, 0},
        {"stride 1, slab set", 'c', 7, 700, 1, 100, 5, 3, 1},
        {"stride 3, whole input, dev_out", 'v', 1, 700, 3, 700, 0, 0, 1},
        {"stride 3, slab 0", 'd', 21, 2100, 3, 100, 0, 0, 0},
        {"stride 3, slab set", 'r', 21, 2100, 3, 100, 150, 3, 1},
    };
    for (const request &q : rows) expect_model<float>(q);

    // out_type is not read.
    const request q = rows[5];
    std::vector<float> host = random_input<float>(q.nelem, 5);
    float *in = testenv::to_device(host);
    float *a = testenv::device_alloc<float>(q.nout), *b = testenv::device_alloc<float>(q.nout);
    for (auto [dst, out_type] : {std::pair{a, 7}, std::pair{b, 0}})
        ASSERT_EQ(sum_stride_r(q.nout, q.nelem, q.stride, q.len, 0, 0, dst, out_type, in, 7,
                               nullptr, 0, 0, 1),
                  0);
    EXPECT_EQ(testenv::from_device(a, q.nout), testenv::from_device(b, q.nout));
    for (float *p : {in, a, b}) testenv::device_free(p);
}

// Counts that do not describe nout results inside nelem elements give 4 and
// touch nothing; the buffers are null, so any access would fault.
TEST(ReduceEntry, CountsOutsideTheInput) {
    counting_ctx::install();
    struct bad {
        const char *why;
        uint32_t nout, nelem, stride, len, slab, pre;
        unsigned char dev_out;
    };
    const bad rows[] = {
        {"empty vector", 1, 0, 1, 0, 0, 0, 0},
        {"whole input, several results", 3, 10, 4, 10, 0, 0, 1},
        {"columns of no members", 3, 0, 1, 0, 0, 0, 1},
        {"columns, nelem no multiple of len", 3, 31, 1, 10, 0, 0, 1},
        {"columns, nout not nelem / len", 5, 40, 1, 10, 0, 0, 1},
        {"rows, stride 0", 4, 40, 0, 10, 0, 0, 1},
        {"rows, results beyond the groups", 4, 8, 3, 2, 0, 0, 1},
        {"rows, fewer results than stride", 2, 6, 1000, 3, 0, 0, 1},
        {"general, pre 0", 4, 40, 2, 10, 20, 0, 1},
        {"general, nelem not nout * len", 4, 41, 2, 10, 20, 2, 1},
        {"general, last group beyond the input", 4, 40, 2, 10, 30, 2, 1},
        {"general, members beyond the input", 4, 40, 3, 10, 20, 2, 1},
        {"general, nout * len beyond 32 bits", 65536, 0, 2, 65536, 4, 2, 1},
    };
    for (const bad &b : rows) {
        for (int in_type : {6, 7, 3}) {
            EXPECT_EQ(sum_stride_r(b.nout, b.nelem, b.stride, b.len, b.slab, b.pre, nullptr,
                                   in_type, nullptr, in_type, nullptr, 0, 0, b.dev_out),
                      4)
                << b.why << ", in_type " << in_type;
        }
    }
    EXPECT_EQ(last_error(), 0);
    EXPECT_TRUE(counting_ctx::sizes.empty());
    // rows * columns beyond 32 bits: the wrappers' product wraps, the counts
    // no longer agree and nothing runs.
    EXPECT_EQ(pkr_sum_columns_f32f32(nullptr, nullptr, 65536, 65537), 4);
    EXPECT_EQ(pkr_sum_rows_f32f32(nullptr, nullptr, 65537, 65536), 4);
    EXPECT_EQ(pkr_sum_rows_f32f32(nullptr, nullptr, 2147483649u, 2), 4);
    EXPECT_EQ(pkr_sum_vector_f32f32(nullptr, nullptr, 0), 4);
}

}  // namespace
