// The routes of all, any, max and min through the frame: which kernels run
// with how many threads and how much dynamic shared memory, the temporaries
// they take, and what a missing context, a failed allocation, a failed
// release and a failed copy of the host finish return and store.
#include "ops.h"

#if defined(DEV_BACKEND_SIM)
#include "device/sim/control.h"
#endif

namespace {

using namespace rmodel;

class OpsPaths : public ReduceTest {};

// Runs `q` through operation k over zeros, for its code only.
template <class In>
pkrError run_code(op_kind k, const request &q) {
    const std::vector<In> host(q.nelem);
    pkrError code = -1;
    with_op<In>(k, [&](const auto &op) {
        using P = typename std::decay_t<decltype(op)>::part;
        code = run_op<P>(k, q, host).code;
    });
    return code;
}

#if defined(DEV_BACKEND_SIM)
struct launch_shape {
    const char *kernel;  // the start of the kernel's name
    unsigned threads;
    size_t shared;
};

template <class In>
void expect_launches(op_kind k, const request &q, const std::vector<launch_shape> &want,
                     const std::vector<size_t> &temporaries) {
    SCOPED_TRACE(std::string(op_name(k)) + " " + elem<In>::name() + " " + q.name + " nelem " +
                 std::to_string(q.nelem));
    counting_ctx::sizes.clear();
    sim::clear_calls();
    sim::log_calls(true);
    expect_op_model<In>(k, q, std::vector<In>(q.nelem, In{}));
    sim::log_calls(false);
    std::vector<sim::call> launches;
    for (const sim::call &c : sim::calls())
        if (c.kind == sim::call_kind::launch) launches.push_back(c);
    ASSERT_EQ(launches.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_NE(launches[i].name.find(want[i].kernel), std::string::npos) << launches[i].name;
        EXPECT_EQ(launches[i].block.x, want[i].threads) << launches[i].name;
        EXPECT_EQ(launches[i].shared_bytes, want[i].shared) << launches[i].name;
    }
    EXPECT_EQ(counting_ctx::sizes, temporaries);
}

// One-byte partials whatever the input; values in the element type; values
// with float positions after them, 256 threads throughout.
TEST_F(OpsPaths, LaunchesAndTemporaries) {
    using k = op_kind;
    const request col513 = columns(513, 3);
    expect_launches<double>(k::all, col513,
                            {{"all_c_d<256u, double, unsigned char", 256, 256},
                             {"all_c_d<256u, unsigned char, unsigned char", 256, 256}},
                            {6});
    expect_launches<double2>(k::any, rows_of(3, 600),
                             {{"any_cplx_d_d<256u, double2, unsigned char", 256, 256},
                              {"any_cplx_c_d<256u, unsigned char, unsigned char", 256, 256}},
                             {6});
    expect_launches<float>(k::all, vector_of(256), {}, {});
    expect_launches<float2>(k::all, vector_of(257),
                            {{"all_cplx_v_d<128u, float2, unsigned char", 128, 128}}, {2});
    expect_launches<unsigned char>(k::any, vector_of(70001),
                                   {{"any_v_d<128u, unsigned char, unsigned char", 128, 128}},
                                   {256});
    expect_launches<double>(k::max, col513,
                            {{"max_c_d<256u, double, double", 256, 2048},
                             {"max_c_d<256u, double, double", 256, 2048}},
                            {48});
    expect_launches<double2>(k::min, col513,
                             {{"min_cplx_c_d<256u, double2, double2", 256, 4096},
                              {"min_cplx_c_d<256u, double2, double2", 256, 4096}},
                             {96});
    expect_launches<float>(k::max, vector_of(257), {{"max_v_d<128u, float, float", 128, 512}},
                           {8});
    expect_launches<float2>(k::min, vector_of(257),
                            {{"min_cplx_v_d<128u, float2, float2", 128, 1024}}, {16});
    expect_launches<unsigned char>(k::max, col513,
                                   {{"max_c_d<256u, unsigned char, unsigned char", 256, 256},
                                    {"max_c_d<256u, unsigned char, unsigned char", 256, 256}},
                                   {6});
    expect_launches<double>(k::max_idx, col513,
                            {{"max_c_idx_d<256u, double, reduce::ranked<double>", 256, 3072},
                             {"max_c_idx_d<256u, reduce::ranked<double>", 256, 3072}},
                            {2 * 3 * 12});
    expect_launches<double2>(k::min_idx, slabs(3, 1025, 2),
                             {{"min_cplx_r_idx_d<256u, double2", 256, 5120},
                              {"min_cplx_c_idx_d<256u, reduce::ranked<double2>", 256, 5120}},
                             {6 * 3 * 20});
    expect_launches<float>(k::max_idx, vector_of(512), {}, {});
    expect_launches<float>(k::max_idx, vector_of(513),
                           {{"max_v_idx_d<256u, float", 256, 2048}}, {2 * 8});
    expect_launches<float2>(k::min_idx, rows_of(2, 1025),
                            {{"min_cplx_d_idx_d<256u, float2", 256, 3072},
                             {"min_cplx_c_idx_d<256u, reduce::ranked<float2>", 256, 3072}},
                            {2 * 3 * 12});
}
#endif

TEST_F(OpsPaths, NoContext) {
    ASSERT_EQ(torvane_thr_stop(), 0);
    for (op_kind k : every_op) {
        SCOPED_TRACE(op_name(k));
        const uint32_t host_max = with_positions(k) ? 512 : 256;
        torvane_clear_error();
        EXPECT_EQ(run_code<float>(k, vector_of(host_max + 1)), 1);
        EXPECT_EQ(last_error(), 1);
        torvane_clear_error();
        // One block per result needs no temporary.
        EXPECT_EQ(run_code<float>(k, vector_of(host_max)), 0);
        EXPECT_EQ(run_code<float>(k, columns(512, 2)), 0);
        EXPECT_EQ(last_error(), 0);
        EXPECT_EQ(run_code<float>(k, columns(513, 2)), 1);
        EXPECT_EQ(last_error(), 1);
    }
}

TEST_F(OpsPaths, AllocationFails) {
    counting_ctx::fail_alloc = true;
    for (op_kind k : every_op) {
        SCOPED_TRACE(op_name(k));
        torvane_clear_error();
        EXPECT_EQ(run_code<float2>(k, rows_of(2, 1000)), 1);
        EXPECT_EQ(last_error(), 1);
        EXPECT_EQ(run_code<float2>(k, vector_of(3000)), 1);
    }
    EXPECT_EQ(counting_ctx::frees, 0);
}

// A failed release: 7, stored, with the results already queued.
TEST_F(OpsPaths, ReleaseFails) {
    counting_ctx::fail_free = true;
    for (op_kind k : every_op) {
        for (const request &q : {columns(1000, 3), vector_of(3000)}) {
            SCOPED_TRACE(std::string(op_name(k)) + " " + q.name);
            torvane_clear_error();
            const std::vector<double> host = random_input<double>(q.nelem, 9);
            with_op<double>(k, [&](const auto &op) {
                using P = typename std::decay_t<decltype(op)>::part;
                const op_outcome<P> r = run_op<P>(k, q, host);
                EXPECT_EQ(r.code, 7);
                const std::vector<P> want = model_of(op, q, host);
                for (size_t o = 0; o < want.size(); ++o)
                    EXPECT_TRUE(same_result(r.got[o], want[o])) << o;
            });
            EXPECT_EQ(last_error(), 7);
        }
    }
}

#if defined(DEV_BACKEND_SIM)
// The host finish cannot read its values back: 7, not stored, the result
// untouched; a temporary is still given back. With carried positions the
// second copy can fail too: 7, with the start pair in the result.
TEST_F(OpsPaths, FinishCopyFails) {
    for (op_kind k : every_op) {
        for (uint32_t n : {100u, 5000u}) {
            for (int copy : {0, 1}) {
                const bool carried = with_positions(k) && n > 512;
                if (copy == 1 && !carried) continue;
                SCOPED_TRACE(std::string(op_name(k)) + " n " + std::to_string(n) + " copy " +
                             std::to_string(copy));
                const std::vector<float> host(n, 2.0f);
                float *in = testenv::to_device(host);
                float out = -3.0f, idx = -3.0f;
                counting_ctx::sizes.clear();
                counting_ctx::frees = 0;
                sim::inject(sim::fault_kind::memcpy_dtoh, 1, dev::err_invalid_value, copy);
                EXPECT_EQ(entry_of(k)(1, n, 1, n, 0, 0, &out, 7, in, 7, &idx, 0,
                                      with_positions(k), 0),
                          7);
                if (copy == 0) {
                    EXPECT_EQ(out, -3.0f);
                    EXPECT_EQ(idx, -3.0f);
                } else {
                    const float start = k == op_kind::max_idx ? -std::numeric_limits<float>::max()
                                                              : std::numeric_limits<float>::max();
                    EXPECT_EQ(out, start);
                    EXPECT_EQ(idx, 1.0f);
                }
                EXPECT_EQ(last_error(), 0);
                EXPECT_EQ(counting_ctx::frees, int(counting_ctx::sizes.size()));
                sim::inject(sim::fault_kind::memcpy_dtoh, 0, 0);
                dev::get_last_error();
                testenv::device_free(in);
            }
        }
    }
}
#endif

}  // namespace
