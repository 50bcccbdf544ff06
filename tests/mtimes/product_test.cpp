// Products of all sixteen operand-type pairs against the long double
// reference: exact on integer data, within the rounding bound of the
// accumulation on real data, across the size thresholds, the tile edges and
// the page layouts, with nothing written past C.
#include "support.h"

#include <algorithm>

namespace {

using namespace mt;

// Sizes around the cuBLAS thresholds (193 double, 311 single and single
// complex), the tiles (128 x 10, 192 x 12, 128 x 6), the matrix-vector
// chunk (768) and every page layout.
const product_case cases[] = {
    {1, 5, 1},          {1, 5, 1, 3, 0},     {1, 4, 1, 0, 2},    {1, 3, 1, 2, 2},
    {193, 3, 2},        {194, 3, 2},         {194, 3, 2, 0, 3},  {194, 3, 2, 2, 0},
    {194, 3, 2, 3, 3},  {311, 3, 2},         {312, 3, 2},        {312, 40, 1},
    {312, 3, 1},        {3, 4, 312},         {312, 5, 13, 2, 2}, {311, 3, 2, 3, 3},
    {384, 17, 12},      {385, 17, 25},       {256, 33, 10},      {257, 33, 21},
    {200, 770, 1, 0, 2}, {130, 3, 7, 3, 0},  {2, 3, 1, 2, 0},    {194, 1, 6, 1, 1},
};

// Integer data: every route gives the exact product; real data: within the
// rounding bound of the accumulation.
void check_pair(kind a, kind b, bool integers) {
    unsigned seed = 1;
    for (const product_case &q : cases) {
        SCOPED_TRACE(describe(a, b, q));
        const matrix A = operand_a(a, q, seed++, integers), B = operand_b(b, q, seed++, integers);
        std::vector<unsigned char> out;
        const pkrError e = run_product(a, b, A, B, q, out);
        if (!(a == b) && q.M == 1 && q.N == 1) {
            EXPECT_EQ(e, 9);
            EXPECT_EQ(out, std::vector<unsigned char>(out.size(), 0xA5));
            continue;
        }
        ASSERT_EQ(e, 0);
        expect_product(result_kind(a, b), out, reference_product(A, B, q), q, integers);
    }
}

class Products : public testenv::DeviceTest,
                 public ::testing::WithParamInterface<std::pair<kind, kind>> {};

TEST_P(Products, ExactOnIntegers) { check_pair(GetParam().first, GetParam().second, true); }
TEST_P(Products, WithinRoundingBound) { check_pair(GetParam().first, GetParam().second, false); }

std::vector<std::pair<kind, kind>> every_pair() {
    std::vector<std::pair<kind, kind>> v;
    for (kind a : all_kinds)
        for (kind b : all_kinds) v.push_back({a, b});
    return v;
}
INSTANTIATE_TEST_SUITE_P(AllPairs, Products, ::testing::ValuesIn(every_pair()),
                         [](const ::testing::TestParamInfo<std::pair<kind, kind>> &i) {
                             return worker_name(i.param.first, i.param.second);
                         });

// Mixed types: products in double whenever a double takes part; float and
// double2 results add in double and round once, float2 results round every
// product and add in single, as do the single-precision pairs. A row of
// (2^24, 1, 1) against ones tells them apart: 2^24 + 2 or 2^24.
TEST_F(Products, MixedPrecisionRules) {
    for (kind a : all_kinds)
        for (kind b : all_kinds) {
            if (a == b) continue;
            const kind rk = result_kind(a, b);
            const bool wide = (a.dbl || b.dbl) && !(rk.cplx && !rk.dbl);
            for (int N : {1, 3}) {
                SCOPED_TRACE(worker_name(a, b) + " N=" + std::to_string(N));
                const product_case q{200, 3, N};
                matrix A(a, size_t(q.M) * q.K), B(b, size_t(q.K) * q.N);
                for (int i = 0; i < q.M; ++i) {
                    A.set(size_t(i), 16777216.0L);
                    A.set(size_t(i + q.M), 1);
                    A.set(size_t(i + 2 * q.M), 1);
                }
                for (size_t i = 0; i < B.count(); ++i) B.set(i, 1);
                std::vector<unsigned char> out;
                ASSERT_EQ(run_product(a, b, A, B, q, out), 0);
                matrix C(rk, out.size() / rk.size());
                C.bytes = out;
                for (size_t i = 0; i < C.count(); ++i)
                    ASSERT_EQ(C.get(i), cld(wide ? 16777218.0L : 16777216.0L)) << "element " << i;
            }
        }
}

// Flag bytes other than 0 and 1 count as true.
TEST_F(Products, AnyNonzeroFlagByte) {
    const product_case q{194, 3, 2};
    const matrix A = random_matrix(kd, 194 * 3, 7, true), B = random_matrix(kc, 6, 8, true);
    device_matrix dA(A.bytes), dB(B.bytes), dC(194 * 2 * kc.size());
    ASSERT_EQ(blas(0, 2, 255, 0, dA.p, dB.p, dC.p, q.M, q.K, q.N, 0, 0, 0, 0), 0);
    matrix C(kc, 194 * 2);
    C.bytes = dC.read();
    const reference ref = reference_product(A, B, q);
    for (size_t i = 0; i < C.count(); ++i) ASSERT_EQ(C.get(i), ref.c[i]);
}

// An empty inner dimension gives the zero matrix on every route; empty
// results write nothing.
TEST_F(Products, EmptyOperands) {
    for (kind a : all_kinds)
        for (kind b : all_kinds)
            for (const product_case &q : {product_case{5, 0, 7}, product_case{400, 0, 1, 2, 0},
                                          product_case{0, 3, 4}, product_case{4, 3, 0}}) {
                SCOPED_TRACE(describe(a, b, q));
                const kind rk = result_kind(a, b);
                const size_t cbytes = size_t(pages_of(q) * q.M * q.N) * rk.size();
                device_matrix dA(16 * 3 * 4), dB(16 * 3 * 4), dC(cbytes + guard);
                EXPECT_EQ(call_blas(a, b, dA.p, dB.p, dC.p, q), 0);
                std::vector<unsigned char> want(cbytes, 0);
                want.resize(cbytes + guard, 0xA5);
                EXPECT_EQ(dC.read(), want);
            }
}

// Page counts a product cannot pair, on every way it could take (cuBLAS,
// the texture kernels, dot products, mixed types, K = 0): 6, nothing read
// (ASan watches the operands, sized for the fewer pages) and C untouched.
TEST_F(Products, UnpairedPageCounts) {
    const struct {
        kind a, b;
        product_case q;
    } cases[] = {
        {kd, kd, {20, 5, 20, 2, 3}},  {kd, kd, {20, 5, 20, 3, 2}},   {kf, kf, {312, 3, 40, 3, 2}},
        {kc, kc, {130, 4, 1, 2, 4}},  {kdc, kdc, {20, 3, 7, 2, -1}}, {kd, kd, {1, 6, 1, 2, 3}},
        {kf, kd, {200, 3, 25, 4, 2}}, {kd, kf, {20, 3, 30, -2, 0}},  {kdc, kdc, {9, 0, 4, 2, 3}},
    };
    for (const auto &c : cases) {
        const product_case &q = c.q;
        SCOPED_TRACE(describe(c.a, c.b, q));
        const int fewer = std::max(std::min(q.nA, q.nB), 1);
        device_matrix dA(random_matrix(c.a, size_t(q.M) * q.K * fewer, 1, true).bytes);
        device_matrix dB(random_matrix(c.b, size_t(q.K) * q.N * fewer, 2, true).bytes);
        const size_t cbytes = size_t(q.M) * q.N * 4 * result_kind(c.a, c.b).size();
        std::vector<unsigned char> host(cbytes, 0xA5);
        device_matrix dC(cbytes);
        void *C = q.M == 1 && q.N == 1 ? static_cast<void *>(host.data()) : dC.p;
        EXPECT_EQ(call_blas(c.a, c.b, dA.p, dB.p, C, q), 6);
        EXPECT_EQ(dev::synchronize(), 0);
        EXPECT_EQ(dC.read(), std::vector<unsigned char>(cbytes, 0xA5));
        EXPECT_EQ(host, std::vector<unsigned char>(cbytes, 0xA5));
    }
}

}  // namespace
