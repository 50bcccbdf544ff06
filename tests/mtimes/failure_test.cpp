// Failures on every way a product or an operation can take, made by the
// simulated device's delayed faults: the code, the calls seen in the log (the
// wait and both unbindings always follow a launch), what was written of C and
// nothing past it, and no code stored as the thread's last error.
#include "support.h"

#if defined(DEV_BACKEND_SIM)

namespace {

using namespace mt;
using sim::fault_kind;

enum class left { nothing, first_page, any };

struct failure_case {
    const char *what;
    kind a, b;
    product_case q;
    int op;
    fault_kind fault;
    int after;         // calls of that kind that pass first
    int code;          // the device's code for the fault
    const char *seen;  // the log in letters (see letters())
    size_t waits;      // synchronisations that succeeded (the 7 of a failed one is its trace)
    left written;
};

constexpr int inval = dev::err_invalid_value, failed = dev::err_launch_failed;
const failure_case failures[] = {
    {"A's binding", kd, kd, {194, 3, 2}, 0, fault_kind::tex_bind, 0, inval, "B", 0, left::nothing},
    {"B's binding after A's", kd, kd, {194, 3, 2}, 0, fault_kind::tex_bind, 1, inval, "bBu", 0,
     left::nothing},
    {"refused launch", kf, kf, {312, 3, 2}, 0, fault_kind::launch_config,
     0, dev::err_invalid_configuration, "bbLuu", 1, left::nothing},
    {"kernel fault", kc, kc, {312, 3, 13, 2, 0}, 0, fault_kind::kernel_run, 0, failed, "bbluu", 1,
     left::any},
    {"the wait", kd, kd, {194, 3, 1}, 0, fault_kind::synchronize, 0, failed, "bbluu", 0,
     left::any},
    {"first unbinding", kd, kd, {194, 3, 2}, 0, fault_kind::tex_unbind, 0, inval, "bblUu", 1,
     left::any},
    {"second unbinding", kf, kf, {312, 3, 1, 0, 2}, 0, fault_kind::tex_unbind, 1, inval, "bbluU",
     1, left::any},
    {"mixed: B's binding", kd, kf, {200, 3, 25}, 0, fault_kind::tex_bind, 1, inval, "bBu", 0,
     left::nothing},
    {"mixed: refused launch", kc, kdc, {130, 3, 7, 3, 0}, 0, fault_kind::launch_config, 0,
     dev::err_invalid_configuration, "bbLuu", 1, left::nothing},
    {"mixed: second unbinding", kdc, kf, {300, 3, 1}, 0, fault_kind::tex_unbind, 1, inval,
     "bbluU", 1, left::any},
    {"cuBLAS, page 1", kf, kf, {20, 3, 30, 0, 3}, 0, fault_kind::blas, 1,
     dev::blas_execution_failed, "cC", 0, left::first_page},
    {"cuBLAS, page 0", kdc, kdc, {20, 3, 1, 2, 2}, 0, fault_kind::blas, 0,
     dev::blas_execution_failed, "C", 0, left::nothing},
    {"dot, page 1", kd, kd, {1, 4, 1, 3, 0}, 0, fault_kind::blas, 1, dev::blas_execution_failed,
     "cC", 0, left::first_page},
    {"empty product: memset", kd, kd, {5, 0, 7}, 0, fault_kind::memset, 0, inval, "M", 0,
     left::nothing},
    {"operation: B's binding", kd, kd, {5, 4, 3}, 1, fault_kind::tex_bind, 0, inval, "B", 0,
     left::nothing},
    {"operation: refused launch", kf, kf, {5, 4, 12, 0, 3}, 20, fault_kind::launch_config, 0,
     dev::err_invalid_configuration, "bLu", 1, left::nothing},
    {"operation: the wait", kc, kc, {41, 9, 11}, 3, fault_kind::synchronize, 0, failed, "blu", 0,
     left::any},
    {"operation: unbinding", kdc, kdc, {25, 1, 7}, 2, fault_kind::tex_unbind, 0, inval, "blU", 1,
     left::any},
};

class Failures : public testenv::DeviceTest {};

TEST_F(Failures, CodeCallsAndWhatIsLeft) {
    SIM_ONLY();
    unsigned seed = 300;
    for (const failure_case &f : failures) {
        SCOPED_TRACE(std::string(f.what) + ": " + describe(f.a, f.b, f.q) + " op " +
                     std::to_string(f.op));
        const product_case &q = f.q;
        const kind rk = f.op ? f.a : result_kind(f.a, f.b);
        const matrix A = operand_a(f.a, q, seed++, true), B = operand_b(f.b, q, seed++, true);
        const bool host_c = q.M == 1 && q.N == 1 && f.a == f.b && f.op == 0;
        const int pages = int(f.op ? (q.nB ? q.nB : 1) : pages_of(q));
        const size_t page = size_t(q.M) * (f.op && q.nB ? q.N / q.nB : q.N) * rk.size();
        device_matrix dA(A.bytes), dB(B.bytes), dC(pages * page + guard),
            dP(pages * page + guard);
        std::vector<unsigned char> hostC(pages * page + guard, 0xA5);
        void *C = host_c ? static_cast<void *>(hostC.data()) : dC.p;

        const size_t waits = sim::stats().synchronizes;
        sim::inject(f.fault, 1, f.code, f.after);
        std::vector<sim::call> log;
        pkrError e;
        {
            call_log rec;
            e = call_blas(f.a, f.b, dA.p, dB.p, C, q, f.op, uint64_t(uintptr_t(dP.p)));
            log = rec.take();
        }
        sim::inject(f.fault, 0, 0);
        dev::get_last_error();  // the faults leave it pending
        EXPECT_EQ(e, 7);
        EXPECT_EQ(letters(log), f.seen);
        EXPECT_EQ(sim::stats().synchronizes - waits, f.waits);
        pkrError last = -1;
        torvane_last_error(&last);
        EXPECT_EQ(last, 0) << "a code stored as the last error";

        const std::vector<unsigned char> out = host_c ? hostC : dC.read();
        const size_t kept = f.written == left::first_page ? page : 0;
        const size_t from = f.written == left::any ? pages * page : kept;
        // The dot path writes the failing page too; nothing after it.
        const size_t also = host_c && f.written == left::first_page ? page : 0;
        for (size_t i = from + also; i < out.size(); ++i)
            if (out[i] != 0xA5) {
                ADD_FAILURE() << "byte " << i << " of " << pages * page << " written";
                break;
            }
        if (f.written == left::first_page) {
            std::vector<unsigned char> first(out.begin(), out.begin() + long(page));
            expect_product(rk, first, reference_product(A, B, q), q, true);
        }
    }
}

// Without cuBLAS initialised by the caller every cuBLAS way fails with 7 at
// its first call; the texture kernels do not need it.
TEST_F(Failures, CublasNotInitialised) {
    ASSERT_EQ(dev::blas_shutdown(), 0);
    device_matrix dA(4096), dB(4096), dC(20 * 30 * 2 * 4);
    std::vector<float> host(2);
    EXPECT_EQ(call_blas(kf, kf, dA.p, dB.p, host.data(), {1, 3, 1, 2, 0}), 7);
    EXPECT_EQ(call_blas(kf, kf, dA.p, dB.p, dC.p, {20, 3, 30, 2, 0}), 7);
    EXPECT_EQ(call_blas(kf, kf, dA.p, dB.p, dC.p, {312, 1, 2}), 0);
    EXPECT_EQ(call_blas(kf, kd, dA.p, dB.p, dC.p, {20, 1, 2}), 0);
    EXPECT_EQ(dev::blas_init(), 0);
}

// A pending runtime error from before the call neither fails the product nor
// is consumed by it, and refusals store no code as the thread's last error.
TEST_F(Failures, PendingErrorAndLastError) {
    SIM_ONLY();
    const product_case q{194, 3, 2};
    const matrix A = random_matrix(kd, 194 * 3, 1, true), B = random_matrix(kd, 6, 2, true);
    device_matrix dA(A.bytes), dB(B.bytes), dC(194 * 2 * 8);
    sim::inject(fault_kind::malloc, 1, dev::err_memory_allocation);
    void *p = nullptr;
    ASSERT_EQ(dev::malloc(&p, 16), dev::err_memory_allocation);
    EXPECT_EQ(call_blas(kd, kd, dA.p, dB.p, dC.p, q), 0);
    EXPECT_EQ(dev::get_last_error(), dev::err_memory_allocation);
    EXPECT_EQ(call_blas(kd, kf, dA.p, dB.p, dC.p, {1, 3, 1}), 9);
    EXPECT_EQ(call_blas(kd, kd, dA.p, dB.p, dC.p, {5, 3, 2}, 4), 6);
    EXPECT_EQ(call_blas(kd, kd, dA.p, dB.p, dC.p, {5, 3, 2, 2, 0}, 1), 6);
    pkrError last = -1;
    torvane_last_error(&last);
    EXPECT_EQ(last, 0);
}

}  // namespace

#endif
