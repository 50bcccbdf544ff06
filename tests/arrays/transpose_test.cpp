// Transposes and conjugate transposes: all twenty entries against a host
// model, bit for bit, over shapes across the 16 x 16 tiles and batches of
// pages; the batched form with count 0 and 1; refused shapes, batch counts
// whose block count wraps in 32 bits, and pending errors.
#include "support.h"
#include "support/exports.h"

#include <random>

namespace {

using namespace at;

using single_fn = pkrError (*)(const void *, void *, unsigned, unsigned);
using batched_fn = pkrError (*)(const void *, void *, unsigned, unsigned, unsigned);

struct entry {
    std::string name;    // "pkr_ctranspose_c32"
    std::string kernel;  // the element type's name in the kernel's
    size_t size;         // bytes of an element
    bool cplx, conj;
    single_fn single;
    batched_fn batched;
};
#define TV_TEST_TRANSPOSE_ENTRY(op, code, conj)                                               \
    {"pkr_" #op "_" #code, #code[0] == 'b'   ? "unsigned char"                                 \
                           : #code[0] == 'c' ? (#code[1] == '6' ? "double2" : "float2")        \
                                             : (#code[1] == '6' ? "double" : "float"),         \
     #code[0] == 'b' ? 1u : (#code[1] == '6' ? 8u : 4u) * (#code[0] == 'c' ? 2u : 1u),         \
     #code[0] == 'c', conj, &pkr_##op##_##code, &pkr_##op##_##code##_tesk},
#define TV_TEST_TRANSPOSE_BOTH(code, T) \
    TV_TEST_TRANSPOSE_ENTRY(transpose, code, false) TV_TEST_TRANSPOSE_ENTRY(ctranspose, code, true)
const entry entries[] = {TORVANE_TRANSPOSE_TYPES(TV_TEST_TRANSPOSE_BOTH)};

struct shape {
    unsigned m, n, count;  // count 0: the single entry
    bool batched_entry;
};
const shape shapes[] = {
    {1, 40, 0, false},  {17, 33, 0, false}, {33, 17, 0, false}, {33, 33, 0, false},
    {48, 48, 0, false}, {16, 1, 0, false},  {17, 33, 0, true},  {17, 33, 1, true},
    {40, 20, 2, true},  {5, 7, 3, true},    {33, 33, 2, true},
};

// Finite values of both signs (a negated NaN need not keep its payload), any
// byte for logical elements.
std::vector<unsigned char> input(const entry &e, size_t count, unsigned seed) {
    std::vector<unsigned char> b(count * e.size);
    std::mt19937 g(seed);
    if (e.size == 1) {
        for (auto &v : b) v = static_cast<unsigned char>(g());
        return b;
    }
    const kind k{e.cplx, e.size / (e.cplx ? 2 : 1) == 8};
    return mt::random_matrix(k, count, seed, false).bytes;
}

// Page p: output (j, i) at p*m*n + i*n + j is input (i, j) at p*m*n + j*m + i,
// with the imaginary part's sign flipped when conjugating.
std::vector<unsigned char> model(const entry &e, const std::vector<unsigned char> &in, unsigned m,
                                 unsigned n, unsigned pages) {
    std::vector<unsigned char> out(in.size());
    for (size_t p = 0; p < pages; ++p)
        for (size_t j = 0; j < n; ++j)
            for (size_t i = 0; i < m; ++i) {
                const size_t base = p * m * n;
                unsigned char *o = &out[(base + i * n + j) * e.size];
                std::memcpy(o, &in[(base + j * m + i) * e.size], e.size);
                if (e.conj && e.cplx) o[e.size - 1] ^= 0x80;
            }
    return out;
}

TEST(Transpose, EveryEntryMatchesTheModel) {
    testenv::device_env env;
    ASSERT_EQ(sizeof entries / sizeof entries[0], 10u);
#if defined(DEV_BACKEND_SIM)
    start_log();
#endif
    unsigned seed = 1;
    for (const entry &e : entries)
        for (const shape &s : shapes) {
            const std::string what = e.name + (s.batched_entry ? "_tesk " : " ") + std::to_string(s.m) +
                                     " x " + std::to_string(s.n) + " count " + std::to_string(s.count);
            SCOPED_TRACE(what);
            const unsigned pages = s.count ? s.count : 1;
            const std::vector<unsigned char> in = input(e, size_t(s.m) * s.n * pages, seed++);
            device_matrix din(in);
            out_buffer out(in.size());
            ASSERT_EQ(s.batched_entry ? e.batched(din.p, out.p(), s.m, s.n, s.count)
                                      : e.single(din.p, out.p(), s.m, s.n),
                      0);
            EXPECT_EQ(last_error(), 0);
            expect_bytes(out.read(), model(e, in, s.m, s.n, pages), e.size, what);
#if defined(DEV_BACKEND_SIM)
            // Without a count the single kernel runs; with one, a page's
            // blocks follow each other along x.
            const sim::call l = last_launch();
            const std::string op = e.conj ? "ctranspose" : "transpose";
            EXPECT_EQ(l.name, op + (s.count ? "_tesk<" : "<") + e.kernel + ">");
            EXPECT_EQ(l.grid.x, pages * ((s.m + 15) / 16));
            EXPECT_EQ(l.grid.y, (s.n + 15) / 16);
            EXPECT_EQ(l.block.x * l.block.y, 256u);
            sim::clear_calls();
#endif
        }
}

// A conjugate transpose of real elements is the transpose; of complex ones
// it flips every imaginary part's sign, zeros included.
TEST(Transpose, ConjugationOfTheWorkedValues) {
    testenv::device_env env;
    const std::vector<float> in = {1, 2, -3, 0, 5, -6, 7, 8};  // 2 x 2 of float2
    device_matrix din(as_bytes(in));
    out_buffer out(in.size() * sizeof(float));
    ASSERT_EQ(pkr_ctranspose_c32(din.p, out.p(), 2, 2), 0);
    const std::vector<float> want = {1, -2, 5, 6, -3, -0.0f, 7, -8};
    EXPECT_EQ(out.read(), as_bytes(want));
    ASSERT_EQ(pkr_transpose_c32(din.p, out.p(), 2, 2), 0);
    EXPECT_EQ(out.read(), as_bytes(std::vector<float>{1, 2, 5, -6, -3, 0, 7, 8}));
    ASSERT_EQ(pkr_ctranspose_f64(din.p, out.p(), 2, 2), 0);
    const std::vector<unsigned char> conj_real = out.read();
    ASSERT_EQ(pkr_transpose_f64(din.p, out.p(), 2, 2), 0);
    EXPECT_EQ(out.read(), conj_real);
}

// An empty grid, more than 65535 blocks in a dimension, or a batch whose
// block count needs more than 32 bits (it once wrapped round to a few blocks
// and transposed page 0 only): 7, stored, nothing written.
TEST(Transpose, RefusedShapes) {
    testenv::device_env env;
    device_matrix in(std::vector<unsigned char>(4096, 1));
    out_buffer out(4096);
    const shape refused[] = {
        {0, 4, 0, false},       {4, 0, 0, false},          {1048561, 1, 0, false},
        {1, 1048561, 0, false}, {16, 1, 65536, true},      {17, 3, 32768, true},
        {17, 3, 2147483649u, true}, {33, 1, 1431655766u, true}, {0, 4, 3, true},
    };
    for (const shape &s : refused) {
        SCOPED_TRACE(std::to_string(s.m) + " x " + std::to_string(s.n) + " count " + std::to_string(s.count));
        torvane_clear_error();
        EXPECT_EQ(s.batched_entry ? pkr_transpose_f32_tesk(in.p, out.p(), s.m, s.n, s.count)
                                  : pkr_ctranspose_c64(in.p, out.p(), s.m, s.n),
                  7);
        EXPECT_EQ(last_error(), 7);
    }
    EXPECT_TRUE(out.untouched());
}

TEST(Transpose, PendingErrorCancelsOneCall) {
    testenv::device_env env;
    device_matrix in(as_bytes(std::vector<float>{1, 2, 3, 4, 5, 6}));
    out_buffer out(6 * sizeof(float));
    leave_pending();
    EXPECT_EQ(pkr_transpose_f32_tesk(in.p, out.p(), 3, 2, 1), 7);
    EXPECT_EQ(last_error(), 7);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(pkr_transpose_f32_tesk(in.p, out.p(), 3, 2, 1), 0);
    EXPECT_EQ(last_error(), 0);
    EXPECT_EQ(out.read(), as_bytes(std::vector<float>{1, 4, 2, 5, 3, 6}));
}

TEST(Transpose, ExportedEntries) {
    std::set<std::string> want;
    for (const char *op : {"transpose", "ctranspose"})
        for (const char *code : {"c64", "f64", "b", "f32", "c32"})
            for (const char *form : {"", "_tesk"}) want.insert(std::string("pkr_") + op + "_" + code + form);
    ASSERT_EQ(want.size(), 20u);
    EXPECT_EQ(testenv::exported_names(TORVANE_LIB_PATH, {"transpose"}), want);
}

}  // namespace
