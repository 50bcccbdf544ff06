// The committed parameter table: every row keeps its form and gives its
// generator the full period; the search that made it makes it again.
#include "model.h"
#include "search.h"

#include <gtest/gtest.h>

namespace {

using grand_model::table;

// Under the sanitizers the period check and the search run some fifty times
// slower: there every 16th row and the last are checked and only the given
// rows are made again (SearchFromAnotherSeedKeepsTheForm still runs a search); the
// plain builds check every row and search a spread of them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr unsigned row_step = 16;
const unsigned searched_rows[] = {0, 4095};
#else
constexpr unsigned row_step = 1;
const unsigned searched_rows[] = {0, 3, 2049, 4094, 4095};
#endif

mt607::params set_of(const grand_model::row &r) { return {r.matrix, r.temper_b, r.temper_c}; }

TEST(GrandTable, EveryRowHasItsFormAndFullPeriod) {
    ASSERT_EQ(table().size(), size_t(grand_model::rngs));
    for (unsigned g = 0; g < table().size(); ++g) {
        const grand_model::row &r = table()[g];
        SCOPED_TRACE(g);
        ASSERT_TRUE(mt607::has_form(set_of(r), g));
        ASSERT_EQ(r.seed, 0u);
        if (g % row_step == 0 || g + 1 == table().size()) {
            ASSERT_TRUE(mt607::full_period(r.matrix));
        }
    }
}

TEST(GrandTable, HoldsTheGivenRows) {
    const struct {
        unsigned g;
        grand_model::row r;
    } given[] = {
        {0, {0xd7ab0000u, 0xa9766b80u, 0xefd38000u, 0}},
        {1, {0xfd4d0001u, 0x35d57700u, 0xed558000u, 0}},
        {4095, {0xad130fffu, 0xe7d15b80u, 0x7b558000u, 0}},
    };
    for (const auto &t : given) {
        SCOPED_TRACE(t.g);
        const grand_model::row &r = table()[t.g];
        EXPECT_EQ(r.matrix, t.r.matrix);
        EXPECT_EQ(r.temper_b, t.r.temper_b);
        EXPECT_EQ(r.temper_c, t.r.temper_c);
        ASSERT_NE(mtgen::given(t.g), nullptr);
        EXPECT_TRUE(*mtgen::given(t.g) == set_of(t.r));
    }
}

// The period test itself: known full-period constants pass, and constants
// one bit away, or of the same form, that do not have it fail.
TEST(GrandTable, PeriodTestSeparatesConstants) {
    const struct {
        uint32_t matrix;
        bool full;
    } cases[] = {
        {0xd7ab0000u, true},  {0xfd4d0001u, true},  {0xad130fffu, true},
        {0xd7ab0001u, false}, {0xfd4d0000u, false}, {0x9908b0dfu, false},
        {0u, false},
    };
    for (const auto &c : cases) EXPECT_EQ(mt607::full_period(c.matrix), c.full) << std::hex << c.matrix;
}

TEST(GrandTable, ShapeChecksCatchBrokenRows) {
    const mt607::params ok{0xd7ab0000u, 0xa9766b80u, 0xefd38000u};
    EXPECT_TRUE(mt607::has_form(ok, 0));
    EXPECT_FALSE(mt607::has_form(ok, 1));                                      // id
    EXPECT_FALSE(mt607::has_form({0x57ab0000u, ok.temper_b, ok.temper_c}, 0));  // top bit
    EXPECT_FALSE(mt607::has_form({ok.matrix, ok.temper_b | 0x40u, ok.temper_c}, 0));
    EXPECT_FALSE(mt607::has_form({ok.matrix, ok.temper_b, ok.temper_c | 0x4000u}, 0));
}

// Rows from across the table, made again from the seed that wrote it.
TEST(GrandTable, SearchMakesTheCommittedRows) {
    for (unsigned g : searched_rows) {
        SCOPED_TRACE(g);
        const mt607::params made = mtgen::search(g, mtgen::table_seed, mtgen::table_tempering_tries);
        EXPECT_TRUE(made == set_of(table()[g]));
    }
}

// A different seed gives a different, still valid, set.
TEST(GrandTable, SearchFromAnotherSeedKeepsTheForm) {
    const mt607::params made = mtgen::search(7, mtgen::table_seed + 1, 1);
    EXPECT_FALSE(made == set_of(table()[7]));
    EXPECT_TRUE(mt607::has_form(made, 7));
    EXPECT_TRUE(mt607::full_period(made.matrix));
    const mtgen::equidistribution e = mtgen::measure(made);
    EXPECT_EQ(e.k[1], 607);  // one bit of a full-period generator
    for (int v = 2; v <= 32; ++v) EXPECT_LE(e.k[v], 607 / v) << v;
}

}  // namespace
