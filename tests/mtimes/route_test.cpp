// Which way each product goes, seen in the simulated device's call log:
// dot products, cuBLAS page by page, or the texture kernels with their shapes
// and bindings, at the size thresholds, the tile edges and every page layout;
// then the fallbacks at sizes no test could allocate, with cuBLAS failing
// its first call so that nothing is read.
#include "support.h"

#if defined(DEV_BACKEND_SIM)

namespace {

using namespace mt;

enum class way { dot, blas, texture, zeros, refused };

struct route_case {
    kind a, b;
    product_case q;
    way w;
    const char *name;  // cuBLAS function, or the kernel's name up to its template arguments
    unsigned gx = 0, gy = 0, bx = 0, by = 0;  // texture kernels
};

// pages of cuBLAS calls and of dot products: the larger page count, at least 1
const route_case routes[] = {
    // 1x1 results: one dot product per page
    {kd, kd, {1, 5, 1}, way::dot, "ddot"},
    {kf, kf, {1, 5, 1, 3, 0}, way::dot, "sdot"},
    {kc, kc, {1, 4, 1, 0, 2}, way::dot, "cdotu"},
    {kdc, kdc, {1, 3, 1, 2, 2}, way::dot, "zdotu"},
    {kd, kf, {1, 3, 1}, way::refused, ""},
    // double: threshold 193, tiles of 128 x 10
    {kd, kd, {193, 3, 2}, way::blas, "dgemm"},
    {kd, kd, {193, 3, 2, 3, 0}, way::blas, "dgemm"},
    {kd, kd, {193, 3, 1}, way::blas, "dgemv"},
    {kd, kd, {194, 3, 2}, way::texture, "gemm_kernel_dd", 2, 1, 32, 2},
    {kd, kd, {194, 3, 2, 0, 3}, way::texture, "gemm_kernel_dd_tesk", 6, 1, 32, 2},
    {kd, kd, {194, 3, 2, 2, 2}, way::texture, "gemm_kernel_dd_tesk", 4, 1, 32, 2},
    {kd, kd, {194, 3, 1, 3, 0}, way::texture, "gemv_kernel_dd_tesk", 6, 1, 128, 1},
    {kd, kd, {2, 3, 194}, way::texture, "gemm_kernel_dd", 1, 20, 32, 2},
    {kd, kd, {256, 33, 20}, way::texture, "gemm_kernel_dd", 2, 2, 32, 2},
    {kd, kd, {257, 33, 21}, way::texture, "gemm_kernel_dd", 3, 3, 32, 2},
    // float: threshold 311, tiles of 192 x 12
    {kf, kf, {311, 3, 2}, way::blas, "sgemm"},
    {kf, kf, {311, 3, 311}, way::blas, "sgemm"},
    {kf, kf, {311, 3, 1, 0, 2}, way::blas, "sgemv"},
    {kf, kf, {312, 3, 2}, way::texture, "gemm_kernel_ff", 2, 1, 16, 4},
    {kf, kf, {312, 40, 1}, way::texture, "gemv_kernel_ff", 3, 1, 128, 1},
    {kf, kf, {384, 17, 12}, way::texture, "gemm_kernel_ff", 2, 1, 16, 4},
    {kf, kf, {385, 17, 25}, way::texture, "gemm_kernel_ff", 3, 3, 16, 4},
    {kf, kf, {312, 5, 13, 2, 2}, way::texture, "gemm_kernel_ff_tesk", 4, 2, 16, 4},
    // float2: threshold 311, tiles of 128 x 10; one column through cgemm
    {kc, kc, {311, 3, 1}, way::blas, "cgemm"},
    {kc, kc, {311, 3, 5, 0, 2}, way::blas, "cgemm"},
    {kc, kc, {312, 3, 1}, way::texture, "gemv_kernel_cc", 3, 1, 128, 1},
    {kc, kc, {400, 3, 400, 0, 4}, way::texture, "gemm_kernel_cc_tesk", 16, 40, 32, 2},
    // double2: cuBLAS at every size
    {kdc, kdc, {400, 3, 400}, way::blas, "zgemm"},
    {kdc, kdc, {20, 3, 30, 2, 0}, way::blas, "zgemm"},
    {kdc, kdc, {400, 3, 1, 0, 2}, way::blas, "zgemv"},
    // mixed types: always their own kernels, tiles of 10 or 6 columns
    {kd, kf, {2, 3, 2}, way::texture, "gemm_kernel_df", 1, 1, 32, 2},
    {kf, kd, {200, 3, 25}, way::texture, "gemm_kernel_fd", 2, 3, 32, 2},
    {kdc, kd, {200, 3, 25}, way::texture, "gemm_kernel_dcd", 2, 5, 32, 2},
    {kdc, kf, {300, 3, 1}, way::texture, "gemv_kernel_dcf", 3, 1, 128, 1},
    {kc, kdc, {130, 3, 7, 3, 0}, way::texture, "gemm_kernel_cdc_tesk", 6, 2, 32, 2},
    {kf, kc, {2, 3, 1, 2, 0}, way::texture, "gemv_kernel_fc_tesk", 2, 1, 128, 1},
    {kc, kf, {129, 3, 11, 0, 2}, way::texture, "gemm_kernel_cf_tesk", 4, 2, 32, 2},
    // an empty inner dimension: zeros, nothing bound or called
    {kd, kd, {5, 0, 7}, way::zeros, ""},
    {kf, kf, {400, 0, 400, 0, 2}, way::zeros, ""},
    {kdc, kdc, {3, 0, 1, 2, 0}, way::zeros, ""},
    {kdc, kf, {300, 0, 2}, way::zeros, ""},
    {kf, kf, {1, 0, 1, 0, 3}, way::zeros, ""},  // written by the host
};

bool starts_with(const std::string &s, const std::string &head) {
    return s.compare(0, head.size(), head) == 0;
}

void expect_route(const route_case &r, const std::vector<sim::call> &log, const void *const *ab,
                  const void *C) {
    const product_case &q = r.q;
    const long long P = pages_of(q);
    const std::string seen = letters(log);
    switch (r.w) {
    case way::refused:
        EXPECT_EQ(seen, "");
        return;
    case way::zeros:
        if (q.M == 1 && q.N == 1 && r.a == r.b) {
            EXPECT_EQ(seen, "");
            return;
        }
        ASSERT_EQ(seen, "m");
        EXPECT_EQ(log[0].dst, C);
        EXPECT_EQ(log[0].bytes, size_t(P * q.M * q.N) * result_kind(r.a, r.b).size());
        return;
    case way::dot:
    case way::blas: {
        ASSERT_EQ(seen, std::string(size_t(P), 'c'));
        const size_t sa = r.a.size(), sb = r.b.size();
        const long long stepA = q.nA ? (long long)q.M * q.K : 0;
        const long long stepB = q.nB ? (long long)q.K * q.N : 0;
        const long long stepC = r.w == way::dot ? 1 : (long long)q.M * q.N;
        for (long long p = 0; p < P; ++p) {
            const sim::call &c = log[size_t(p)];
            EXPECT_EQ(c.name, r.name);
            const char *a = static_cast<const char *>(ab[0]) + p * stepA * sa;
            const char *b = static_cast<const char *>(ab[1]) + p * stepB * sb;
            if (r.w == way::dot) {
                EXPECT_EQ(c.n, q.K);
                EXPECT_EQ(c.x, a);
                EXPECT_EQ(c.y, b);
                continue;
            }
            const char *cc = static_cast<const char *>(C) + p * stepC * sa;
            const bool gemv = std::string(r.name).find("gemv") != std::string::npos;
            EXPECT_EQ(c.a, a);
            EXPECT_EQ(c.lda, q.M);
            EXPECT_EQ(c.m, q.M);
            if (gemv) {
                EXPECT_EQ(c.n, q.K);
                EXPECT_EQ(c.x, b);
                EXPECT_EQ(c.y, cc);
            } else {
                EXPECT_EQ(c.n, q.N);
                EXPECT_EQ(c.k, q.K);
                EXPECT_EQ(c.b, b);
                EXPECT_EQ(c.ldb, q.K);
                EXPECT_EQ(c.c, cc);
                EXPECT_EQ(c.ldc, q.M);
            }
            EXPECT_EQ(c.alpha, 1);
            EXPECT_EQ(c.beta, 0);
        }
        return;
    }
    case way::texture: {
        // A bound first, over all its pages, then B; unbound after the launch.
        ASSERT_EQ(seen, "bbluu");
        const long long countA = (long long)q.M * q.K * (q.nA ? q.nA : 1);
        const long long countB = (long long)q.K * q.N * (q.nB ? q.nB : 1);
        EXPECT_EQ(log[0].src, ab[0]);
        EXPECT_EQ(log[0].bytes, size_t(countA) * r.a.size());
        EXPECT_EQ(log[1].src, ab[1]);
        EXPECT_EQ(log[1].bytes, size_t(countB) * r.b.size());
        const sim::call &l = log[2];
        EXPECT_TRUE(starts_with(l.name, "mtimes::" + std::string(r.name) + "<")) << l.name;
        EXPECT_EQ(l.grid.x, r.gx);
        EXPECT_EQ(l.grid.y, r.gy);
        EXPECT_EQ(l.grid.z, 1u);
        EXPECT_EQ(l.block.x, r.bx);
        EXPECT_EQ(l.block.y, r.by);
        EXPECT_EQ(l.block.z, 1u);
        EXPECT_EQ(l.shared_bytes, 0u);
        EXPECT_EQ(log[3].dst, log[0].dst);
        EXPECT_EQ(log[4].dst, log[1].dst);
        return;
    }
    }
}

class Routes : public testenv::DeviceTest {};

// Every route gives the product within its rounding bound, and takes the way
// the table says.
TEST_F(Routes, TableOfSizesAndPages) {
    unsigned seed = 100;
    for (const route_case &r : routes) {
        SCOPED_TRACE(describe(r.a, r.b, r.q));
        const matrix A = operand_a(r.a, r.q, seed++, false), B = operand_b(r.b, r.q, seed++, false);
        std::vector<unsigned char> out;
        const void *ab[2] = {nullptr, nullptr}, *C = nullptr;
        std::vector<sim::call> log;
        pkrError e;
        {
            call_log rec;
            e = run_product(r.a, r.b, A, B, r.q, out, ab, &C);
            log = rec.take();
        }
        // The copies of the operands and of C are logged around the call.
        while (!log.empty() && log.front().kind == sim::call_kind::memcpy_htod)
            log.erase(log.begin());
        while (!log.empty() && log.back().kind == sim::call_kind::memcpy_dtoh) log.pop_back();
        expect_route(r, log, ab, C);
        if (r.w == way::refused) {
            EXPECT_EQ(e, 9);
            continue;
        }
        ASSERT_EQ(e, 0);
        expect_product(result_kind(r.a, r.b), out, reference_product(A, B, r.q), r.q, false);
    }
}

// The fallbacks to cuBLAS at element counts above 2^27 and grids above 65535
// blocks, and the mixed types' refusal of such grids, at sizes that do not
// exist: cuBLAS fails its first call and the small operands fail any texture
// binding, so the log shows the way taken and nothing is read.
struct edge_case {
    kind a, b;
    product_case q;
    way w;                       // blas, texture or refused (6)
    unsigned long long bytesA;  // texture: the first binding's size
    size_t shiftA = 0, shiftB = 0;  // elements past an aligned address
};
const edge_case edges[] = {
    // A's count 2^27 and just above (513 x 261633 = 2^27 + 1)
    {kd, kd, {256, 524288, 2}, way::texture, 256ull * 524288 * 8},
    {kd, kd, {513, 261633, 2}, way::blas, 0},
    {kf, kf, {65536, 2048, 2}, way::texture, 65536ull * 2048 * 4},
    {kf, kf, {65536, 2049, 2}, way::blas, 0},
    // Operands past an aligned address: their bindings start below them and
    // hold those elements too (511 x 262657 = 2^27 - 1)
    {kf, kf, {65536, 2048, 2}, way::blas, 0, 1},
    {kf, kf, {511, 262657, 2}, way::texture, 511ull * 262657 * 4, 1},
    {kf, kf, {511, 262657, 2}, way::blas, 0, 2},
    {kc, kc, {1, 262144, 512}, way::blas, 0, 0, 1},
    // A float operand of 65536 x 65537 elements: far above, in 64-bit counts
    {kf, kf, {65536, 65537, 2}, way::blas, 0},
    {kf, kd, {65536, 65537, 2}, way::texture, 65536ull * 65537 * 4},
    // B's count 2^27 and above (M = 1 keeps A small)
    {kc, kc, {1, 262144, 512}, way::texture, 262144ull * 8},
    {kc, kc, {1, 262144, 513}, way::blas, 0},
    // B's count with pages
    {kd, kd, {194, 2, 4096, 0, 16384}, way::texture, 194ull * 2 * 8},
    {kd, kd, {194, 2, 4096, 0, 16385}, way::blas, 0},
    // grid y 65535 and 65536
    {kd, kd, {1, 1, 655350}, way::texture, 8},
    {kd, kd, {1, 1, 655351}, way::blas, 0},
    {kf, kf, {1, 1, 786420}, way::texture, 4},
    {kf, kf, {1, 1, 786421}, way::blas, 0},
    {kdc, kd, {1, 1, 393210}, way::texture, 16},
    {kdc, kd, {1, 1, 393211}, way::refused, 0},
    // grid x 65535 and 65536 through pages
    {kf, kf, {312, 1, 1, 0, 21845}, way::texture, 312 * 4},
    {kf, kf, {312, 1, 1, 0, 21846}, way::blas, 0},
    {kc, kc, {194 * 64, 1, 2, 0, 32768}, way::blas, 0},
    {kc, kd, {300, 1, 20, 0, 40000}, way::refused, 0},
    {kd, kf, {200, 1, 25, 21845, 0}, way::texture, 200ull * 21845 * 8},
    {kd, kf, {200, 1, 25, 32768, 0}, way::refused, 0},
};

TEST_F(Routes, FallbacksAtTheLimits) {
    SIM_ONLY();
    device_matrix dA(4096), dB(4096), dC(4096);
    for (const edge_case &r : edges) {
        SCOPED_TRACE(describe(r.a, r.b, r.q));
        sim::inject(sim::fault_kind::blas, 1, dev::blas_execution_failed);
        std::vector<sim::call> log;
        pkrError e;
        {
            call_log rec;
            e = call_blas(r.a, r.b, static_cast<char *>(dA.p) + r.shiftA * r.a.size(),
                          static_cast<char *>(dB.p) + r.shiftB * r.b.size(), dC.p, r.q);
            log = rec.take();
        }
        sim::inject(sim::fault_kind::blas, 0, 0);
        const std::string seen = letters(log);
        switch (r.w) {
        case way::blas:
            EXPECT_EQ(e, 7);
            EXPECT_EQ(seen, "C");
            break;
        case way::refused:
            EXPECT_EQ(e, 6);
            EXPECT_EQ(seen, "");
            break;
        default:
            EXPECT_EQ(e, 7);
            ASSERT_FALSE(log.empty());
            EXPECT_EQ(log[0].kind, sim::call_kind::tex_bind);
            EXPECT_EQ(log[0].bytes, r.bytesA);
            EXPECT_TRUE(seen == "B" || seen == "bBu") << seen;
            break;
        }
    }
    EXPECT_EQ(dC.read(), std::vector<unsigned char>(4096, 0xA5));
}

}  // namespace

#endif
