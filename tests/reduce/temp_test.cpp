// Temporaries of the two-pass reductions: when one is taken and how large,
// and what a missing context, a failed allocation, a failed release and a
// failed copy of the vector finish return and store.
#include "model.h"

#if defined(DEV_BACKEND_SIM)
#include "device/sim/control.h"
#endif

namespace {

using namespace rmodel;

class SumTemporaries : public ReduceTest {};

TEST_F(SumTemporaries, SizeFollowsThePlan) {
    struct row {
        request q;
        std::vector<size_t> bytes;
    };
    const row rows[] = {
        {columns(512, 7), {}},               {columns(513, 7), {2 * 7 * 4}},
        {rows_of(9, 2000), {4 * 9 * 4}},     {slabs(3, 1025, 2), {3 * 6 * 4}},
        {vector_of(256), {}},                {vector_of(257), {2 * 4}},
        {vector_of(65536 + 1), {256 * 4}},
    };
    for (const row &r : rows) {
        counting_ctx::sizes.clear();
        counting_ctx::frees = 0;
        expect_model<float>(r.q);
        EXPECT_EQ(counting_ctx::sizes, r.bytes) << r.q.name << " " << r.q.len;
        EXPECT_EQ(counting_ctx::frees, int(r.bytes.size()));
    }
    // Partials have the result's type: 16 bytes for double complex, 4 for logical input.
    counting_ctx::sizes.clear();
    expect_model<double2>(columns(1000, 3));
    expect_model<unsigned char>(vector_of(300));
    EXPECT_EQ(counting_ctx::sizes, (std::vector<size_t>{2 * 3 * 16, 2 * 4}));
}

// A thread starts with the library's default context, whose temporaries come
// from the memory manager.
TEST(SumDefaultContext, TakesAndGivesBack) {
    testenv::device_env env;
    const std::vector<float> host(3000, 0.25f);
    EXPECT_EQ(run_sum(columns(1000, 3), host).got, std::vector<float>(3, 250.0f));
    EXPECT_EQ(run_sum(vector_of(3000), host).got, std::vector<float>{750.0f});
    EXPECT_EQ(last_error(), 0);
}

TEST_F(SumTemporaries, NoContext) {
    ASSERT_EQ(torvane_thr_stop(), 0);
    const std::vector<float> host(257, 1.0f);
    EXPECT_EQ(run_sum(vector_of(257), host).code, 1);
    EXPECT_EQ(last_error(), 1);
    torvane_clear_error();
    // One block per result needs no temporary.
    EXPECT_EQ(run_sum(vector_of(256), host).got, std::vector<float>{256.0f});
    EXPECT_EQ(run_sum(columns(257, 1), host).got, std::vector<float>{257.0f});
    EXPECT_EQ(last_error(), 0);
    std::vector<float> tall(513, 1.0f);
    EXPECT_EQ(run_sum(columns(513, 1), tall).code, 1);
    EXPECT_EQ(last_error(), 1);
}

TEST_F(SumTemporaries, AllocationFails) {
    counting_ctx::fail_alloc = true;
    const std::vector<float> host(2000, 1.0f);
    EXPECT_EQ(run_sum(rows_of(2, 1000), host).code, 1);
    EXPECT_EQ(last_error(), 1);
    EXPECT_EQ(counting_ctx::frees, 0);
}

// A failed release: 7, stored, with the results already queued.
TEST_F(SumTemporaries, ReleaseFails) {
    counting_ctx::fail_free = true;
    const std::vector<float> host(3000, 0.5f);
    auto cols = run_sum(columns(1000, 3), host);
    EXPECT_EQ(cols.code, 7);
    EXPECT_EQ(last_error(), 7);
    EXPECT_EQ(cols.got, std::vector<float>(3, 500.0f));
    torvane_clear_error();
    auto vec = run_sum(vector_of(3000), host);
    EXPECT_EQ(vec.code, 7);
    EXPECT_EQ(last_error(), 7);
    EXPECT_EQ(vec.got, std::vector<float>{1500.0f});
}

#if defined(DEV_BACKEND_SIM)
// The vector finish cannot read its elements back: 7, not stored, and the
// result untouched; a temporary is still given back.
TEST_F(SumTemporaries, FinishCopyFails) {
    for (uint32_t n : {100u, 5000u}) {
        const std::vector<float> host(n, 1.0f);
        float *in = testenv::to_device(host);
        float out = -3.0f;
        counting_ctx::sizes.clear();
        counting_ctx::frees = 0;
        sim::inject(sim::fault_kind::memcpy_dtoh, 1, dev::err_invalid_value);
        EXPECT_EQ(pkr_sum_vector_f32f32(&out, in, n), 7) << n;
        EXPECT_EQ(out, -3.0f);
        EXPECT_EQ(last_error(), 0);
        EXPECT_EQ(counting_ctx::frees, int(counting_ctx::sizes.size()));
        dev::get_last_error();
        testenv::device_free(in);
    }
}

// A refused launch is not examined: the call goes on and returns 0.
TEST_F(SumTemporaries, RefusedLaunchIsNotExamined) {
    const std::vector<float> host(3000, 1.0f);
    sim::inject(sim::fault_kind::launch_config, 1, dev::err_invalid_configuration);
    EXPECT_EQ(run_sum(columns(1000, 3), host).code, 0);
    EXPECT_EQ(dev::get_last_error(), dev::err_invalid_configuration);
    EXPECT_EQ(counting_ctx::frees, 1);
}
#endif

}  // namespace
