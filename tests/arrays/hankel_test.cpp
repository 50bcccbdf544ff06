// Hankel matrices: every entry against a host model, bit for bit, over shapes
// across the 16 x 16 blocks, with and without a last row; the worked
// examples; refused shapes, pending errors and the last error.
#include "support.h"
#include "support/exports.h"

#include <limits>

namespace {

using namespace at;

using hankel_fn = pkrError (*)(void *, unsigned, void *, unsigned, void *);

struct entry {
    std::string code;
    hankel_fn fn;
};
#define TV_TEST_HANKEL_ENTRY(code, To, Tc, Tr) {#code, &pkr_hankel_##code},
const entry entries[] = {TORVANE_HANKEL_TYPES(TV_TEST_HANKEL_ENTRY)};

// "c64" -> double complex: the kinds of an entry read from its name.
kind kind_at(const std::string &code, size_t part) {
    const std::string k = code.substr(3 * part, 3);
    return {k[0] == 'c', k[1] == '6'};
}

struct shape {
    unsigned m, n;
};
const shape shapes[] = {{1, 1}, {3, 3}, {16, 16}, {17, 5}, {5, 17}, {33, 20}, {20, 33}, {1, 40}, {40, 1}};

matrix model(kind out, const matrix &c, const matrix *r, unsigned m, unsigned n) {
    matrix o(out, size_t(m) * n);
    for (unsigned j = 0; j < n; ++j)
        for (unsigned i = 0; i < m; ++i) {
            const unsigned k = i + j;
            o.set(size_t(j) * m + i, k < m ? c.get(k) : r ? r->get(k - m + 1) : mt::cld(0));
        }
    return o;
}

TEST(Hankel, EveryEntryMatchesTheModel) {
    testenv::device_env env;
    ASSERT_EQ(sizeof entries / sizeof entries[0], 24u);
#if defined(DEV_BACKEND_SIM)
    start_log();
#endif
    unsigned seed = 1;
    for (const entry &e : entries) {
        const kind ko = kind_at(e.code, 0), kc = kind_at(e.code, 1), kr = kind_at(e.code, 2);
        for (const shape &s : shapes)
            for (bool with_row : {true, false}) {
                const std::string what = e.code + " " + std::to_string(s.m) + " x " +
                                         std::to_string(s.n) + (with_row ? "" : " without r");
                SCOPED_TRACE(what);
                // Reals of both signs, most of them rounding when the
                // precision drops; r[0] is a NaN that no element may take.
                const matrix c = mt::random_matrix(kc, s.m, seed++, false);
                matrix r = mt::random_matrix(kr, s.n, seed++, false);
                r.set(0, {std::numeric_limits<long double>::quiet_NaN(), 7});
                device_matrix dc(c.bytes), dr(r.bytes);
                out_buffer out(size_t(s.m) * s.n * ko.size());
                ASSERT_EQ(e.fn(out.p(), s.m, dc.p, s.n, with_row ? dr.p : nullptr), 0);
                EXPECT_EQ(last_error(), 0);
                expect_bytes(out.read(), model(ko, c, with_row ? &r : nullptr, s.m, s.n).bytes,
                             ko.size(), what);
#if defined(DEV_BACKEND_SIM)
                const sim::call l = last_launch();
                EXPECT_EQ(l.name, std::string("hankel<") + type_name(ko) + ", " + type_name(kc) +
                                      ", " + type_name(kr) + ">");
                EXPECT_EQ(l.grid.x, (s.m + 15) / 16);
                EXPECT_EQ(l.grid.y, (s.n + 15) / 16);
                EXPECT_EQ(l.block.x, 16u);
                EXPECT_EQ(l.block.y, 16u);
                sim::clear_calls();
#endif
            }
    }
}

std::vector<double> hankel_f64(std::vector<double> c, unsigned n, const std::vector<double> *r) {
    device_matrix dc(as_bytes(c));
    std::unique_ptr<device_matrix> dr(r ? new device_matrix(as_bytes(*r)) : nullptr);
    const unsigned m = unsigned(c.size());
    out_buffer out(size_t(m) * n * sizeof(double));
    EXPECT_EQ(pkr_hankel_f64f64f64(out.p(), m, dc.p, n, dr ? dr->p : nullptr), 0);
    const std::vector<unsigned char> b = out.read();
    std::vector<double> v(size_t(m) * n);
    std::memcpy(v.data(), b.data(), b.size());
    return v;
}

TEST(Hankel, WorkedExamples) {
    testenv::device_env env;
    const std::vector<double> r = {9, 4, 5};
    // Column-major: the rows (1, 2, 3), (2, 3, 4), (3, 4, 5); r's 9 unused.
    EXPECT_EQ(hankel_f64({1, 2, 3}, 3, &r), (std::vector<double>{1, 2, 3, 2, 3, 4, 3, 4, 5}));
    EXPECT_EQ(hankel_f64({1, 2, 3}, 3, nullptr), (std::vector<double>{1, 2, 3, 2, 3, 0, 3, 0, 0}));
    const std::vector<double> r4 = {2, 3, 4, 5};
    EXPECT_EQ(hankel_f64({1, 2}, 4, &r4), (std::vector<double>{1, 2, 2, 3, 3, 4, 4, 5}));
}

// An empty grid or one above 65535 blocks in a dimension: 7, stored, nothing
// written.
TEST(Hankel, RefusedShapes) {
    testenv::device_env env;
    device_matrix c(std::vector<unsigned char>(64, 0));
    out_buffer out(64);
    const shape refused[] = {{0, 4}, {4, 0}, {1048561, 1}, {1, 1048561}, {4294967295u, 1}};
    for (const shape &s : refused) {
        SCOPED_TRACE(std::to_string(s.m) + " x " + std::to_string(s.n));
        torvane_clear_error();
        EXPECT_EQ(pkr_hankel_f32f32f32(out.p(), s.m, c.p, s.n, nullptr), 7);
        EXPECT_EQ(last_error(), 7);
    }
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(pkr_hankel_f32f32f32(out.p(), 4, c.p, 4, nullptr), 0);
    EXPECT_EQ(last_error(), 0);
}

TEST(Hankel, PendingErrorCancelsOneCall) {
    testenv::device_env env;
    device_matrix c(as_bytes(std::vector<float>{1, 2}));
    out_buffer out(4 * sizeof(float));
    leave_pending();
    EXPECT_EQ(pkr_hankel_f32f32f32(out.p(), 2, c.p, 2, nullptr), 7);
    EXPECT_EQ(last_error(), 7);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(pkr_hankel_f32f32f32(out.p(), 2, c.p, 2, nullptr), 0);
    EXPECT_EQ(last_error(), 0);
    EXPECT_EQ(out.read(), as_bytes(std::vector<float>{1, 2, 2, 0}));
}

// The library exports the 24 combinations whose output is complex when an
// operand is, in single precision unless both operands are double, in double
// unless both are single.
TEST(Hankel, ExportedEntries) {
    std::set<std::string> want;
    for (const char *po : {"32", "64"})
        for (const char *pc : {"32", "64"})
            for (const char *pr : {"32", "64"}) {
                const bool single = po[0] == '3';
                if (single ? (pc[0] == '6' && pr[0] == '6') : (pc[0] == '3' && pr[0] == '3'))
                    continue;
                for (int cx = 0; cx < 4; ++cx) {
                    const bool cc = cx & 2, rc = cx & 1;
                    want.insert(std::string("pkr_hankel_") + (cc || rc ? "c" : "f") + po +
                                (cc ? "c" : "f") + pc + (rc ? "c" : "f") + pr);
                }
            }
    ASSERT_EQ(want.size(), 24u);
    EXPECT_EQ(testenv::exported_names(TORVANE_LIB_PATH, {"hankel", "hank"}), want);
}

}  // namespace
