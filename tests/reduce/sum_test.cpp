// Sums bit for bit against the host model of their order, for every case and
// element type, across the plan's edges and the runs of 65535 results.
#include "model.h"

#if defined(DEV_BACKEND_SIM)
#include "device/sim/control.h"
#endif

#include <limits>

namespace {

using namespace rmodel;

template <class In>
class SumModel : public ReduceTest {};
using elem_types = ::testing::Types<float, double, float2, double2, unsigned char>;
TYPED_TEST_SUITE(SumModel, elem_types);

// Layouts of every case with several blocks per result, and the edges of
// the plan: 512 and 513 members, vectors of 256 and 257 elements.
TYPED_TEST(SumModel, EveryCase) {
    const request cases[] = {
        vector_of(1),       vector_of(3),        vector_of(256),
        vector_of(257),     vector_of(1000),     vector_of(33000),
        vector_of(70001),   columns(512, 3),     columns(513, 3),
        columns(5000, 4),   columns(3000, 1),    columns(1, 40),
        columns(5, 100),    columns(100, 7),     columns(255, 33),
        rows_of(1, 3000),   rows_of(37, 1500),   rows_of(3, 4000),
        rows_of(16, 600),   rows_of(700, 2),     rows_of(5, 1),
        middle(10, 700, 4), middle(40, 513, 3),  slabs(5, 600, 7),
        slabs(1, 2000, 3),  last_dim(6, 4, 700), last_dim(33, 2, 1100),
    };
    for (const request &q : cases) expect_model<TypeParam>(q);
}

// Results of one block, of 255 blocks (256 results of 131072 members: the
// cap of the grid), and a mix across runs.
class SumModelBig : public ReduceTest {};

TEST_F(SumModelBig, CapOfTheGrid) {
    for (const request &q : {columns(131072, 256), rows_of(256, 131072), slabs(64, 131072, 4)}) {
        counting_ctx::sizes.clear();
        expect_model<unsigned char>(q);
        EXPECT_EQ(counting_ctx::sizes, std::vector<size_t>{256 * 255 * sizeof(float)});
    }
}

// 65534 results in one run, 65535 in one run of 65535, 131071 in runs of
// 65535, 65535 and 1, and 70000 as 65535 results of one block each and 4465
// of two. Runs after the first start inside a group of results.
TEST_F(SumModelBig, RunsOf65535) {
    expect_model<float>(columns(2, 65534));
    expect_model<unsigned char>(columns(3, 65535));
    expect_model<float>(rows_of(65535, 2));
    expect_model<float>(rows_of(131071, 2));
    expect_model<double>(middle(1000, 3, 70));
    expect_model<float2>(last_dim(1000, 70, 3));
    expect_model<float>(slabs(131071, 1, 1));
    counting_ctx::sizes.clear();
    expect_model<unsigned char>(middle(1000, 600, 70));
    EXPECT_EQ(counting_ctx::sizes, std::vector<size_t>{4465 * 2 * sizeof(float)});
    counting_ctx::sizes.clear();
    expect_model<float>(slabs(700, 600, 100));
    EXPECT_EQ(counting_ctx::sizes, std::vector<size_t>{4465 * 2 * sizeof(float)});
}

TEST_F(SumModelBig, ColumnsInRuns) {
    counting_ctx::sizes.clear();
    expect_model<unsigned char>(columns(600, 70000));
    EXPECT_EQ(counting_ctx::sizes, std::vector<size_t>{4465 * 2 * sizeof(float)});
    expect_model<float>(columns(1, 131071));
}

#if defined(DEV_BACKEND_SIM)
// Launches per run: one when a result has one block, two otherwise; none for
// a vector finished on the host.
TEST_F(SumModelBig, LaunchesPerRun) {
    struct row {
        request q;
        size_t launches;
    };
    const row rows[] = {
        {vector_of(256), 0}, {vector_of(257), 1},        {vector_of(1u << 20), 1},
        {columns(512, 9), 1}, {columns(513, 9), 2},     {rows_of(65534, 3), 1},
        {rows_of(65535, 3), 1}, {rows_of(131071, 1), 3}, {middle(1000, 600, 70), 3},
    };
    for (const row &r : rows) {
        std::vector<float> host(r.q.nelem, 1.0f);
        const size_t before = sim::stats().launches;
        ASSERT_EQ(run_sum(r.q, host).code, 0);
        EXPECT_EQ(sim::stats().launches - before, r.launches) << r.q.name << " " << r.q.nout;
    }
}
#endif

// Values whose sums show the arithmetic, not just the order.
TEST(SumValues, Arithmetic) {
    testenv::device_env env;
    counting_ctx::install();
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();

    // A logical column and a logical vector of 300 ones.
    {
        const std::vector<unsigned char> ones(300, 1);
        auto col = run_sum(columns(300, 1), ones), vec = run_sum(vector_of(300), ones);
        EXPECT_EQ(col.got, std::vector<float>{300.0f});
        EXPECT_EQ(vec.got, std::vector<float>{300.0f});
    }
    // Extended precision on the host: 1e8 + 1 - 1e8 is 1, where float gives 0.
    EXPECT_EQ(run_sum(vector_of(3), std::vector<float>{1e8f, 1.0f, -1e8f}).got[0], 1.0f);
    // Complex parts stay apart.
    {
        auto r = run_sum(columns(2, 1), std::vector<float2>{{1, 2}, {3, -2}});
        EXPECT_EQ(r.got[0].x, 4.0f);
        EXPECT_EQ(r.got[0].y, 0.0f);
    }
    // NaN, and infinities of both signs, give NaN.
    {
        std::vector<float> v(1000, 1.0f);
        v[700] = nan;
        EXPECT_TRUE(std::isnan(run_sum(columns(1000, 1), v).got[0]));
        v[700] = inf;
        EXPECT_EQ(run_sum(columns(1000, 1), v).got[0], inf);
        v[3] = -inf;
        EXPECT_TRUE(std::isnan(run_sum(columns(1000, 1), v).got[0]));
    }
}

// The vector result lands in host memory, the others in device memory.
TEST(SumValues, WhereResultsLand) {
    testenv::device_env env;
    counting_ctx::install();
    std::vector<float2> m(12);
    for (int i = 0; i < 12; ++i) m[i] = {float(i), float(-2 * i)};
    float2 *in = testenv::to_device(m);
    float2 host{99, 99};
    ASSERT_EQ(pkr_sum_vector_c32c32(&host, in, 12), 0);
    EXPECT_EQ(host.x, 66.0f);
    EXPECT_EQ(host.y, -132.0f);
    float2 *cols = testenv::device_alloc<float2>(4);
    ASSERT_EQ(pkr_sum_columns_c32c32(cols, in, 3, 4), 0);
    auto c = testenv::from_device(cols, 4);
    for (int j = 0; j < 4; ++j) {
        EXPECT_EQ(c[j].x, float(9 * j + 3));
        EXPECT_EQ(c[j].y, -2.0f * float(9 * j + 3));
    }
    // A row reduction of a 1 x n matrix is one result in device memory.
    std::vector<double> row{1, 2, 3, 4, 5};
    double *rin = testenv::to_device(row);
    double *rout = testenv::device_alloc<double>(1);
    ASSERT_EQ(pkr_sum_rows_f64f64(rout, rin, 1, 5), 0);
    EXPECT_EQ(testenv::from_device(rout, 1)[0], 15.0);
    for (void *p : {(void *)in, (void *)cols, (void *)rin, (void *)rout}) testenv::device_free(p);
}

}  // namespace
