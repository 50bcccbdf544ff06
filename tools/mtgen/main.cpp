// mtgen: writes the parameter table of the 4096 MT607 generators.
//
//   mtgen [--seed S] [--tries T] [--threads N] [--first A --last B] > mt_data.inc
//
// Each row depends only on (seed, generator number, tries), so rows can be
// made in any order and on any number of threads. The defaults are those that
// made the committed table.
#include "search.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

int usage() {
    std::fprintf(stderr, "usage: mtgen [--seed S] [--tries T] [--threads N] [--first A] [--last B]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    uint64_t seed = mtgen::table_seed;
    int tries = mtgen::table_tempering_tries;
    unsigned threads = 3, first = 0, last = mtgen::table_rows - 1;
    for (int i = 1; i < argc; ++i) {
        if (i + 1 >= argc) return usage();
        const char *opt = argv[i], *val = argv[++i];
        char *end = nullptr;
        const unsigned long long v = std::strtoull(val, &end, 0);
        if (*end) return usage();
        if (!std::strcmp(opt, "--seed")) seed = v;
        else if (!std::strcmp(opt, "--tries")) tries = int(v);
        else if (!std::strcmp(opt, "--threads")) threads = unsigned(v ? v : 1);
        else if (!std::strcmp(opt, "--first")) first = unsigned(v);
        else if (!std::strcmp(opt, "--last")) last = unsigned(v);
        else return usage();
    }
    if (first > last || last >= mtgen::table_rows) return usage();

    // The given rows must be what the table's checks demand of every row.
    for (const mtgen::given_row &g : mtgen::given_rows)
        if (!mt607::has_form(g.set, g.id) || !mt607::full_period(g.set.matrix)) {
            std::fprintf(stderr, "mtgen: given row %u fails its checks\n", g.id);
            return 1;
        }

    const unsigned count = last - first + 1;
    std::vector<mt607::params> rows(count);
    std::vector<int> defects(count);
    std::atomic<unsigned> next{0};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            for (unsigned i; (i = next.fetch_add(1)) < count;) {
                rows[i] = mtgen::search(first + i, seed, tries);
                defects[i] = mtgen::measure(rows[i]).defect();
            }
        });
    for (std::thread &t : pool) t.join();

    long total = 0;
    int worst = 0;
    for (int d : defects) {
        total += d;
        worst = d > worst ? d : worst;
    }
    std::printf("// Parameter sets of the MT607 generators %u to %u, written by tools/mtgen:\n"
                "//   mtgen --seed %" PRIu64 " --tries %d\n"
                "// Rows 0, 1 and 4095 are given and only checked. Equidistribution defect\n"
                "// (sum over v of 607 / v - k(v)): mean %.1f, worst %d.\n"
                "// Row g: twist constant, tempering masks b and c, seed word.\n",
                first, last, seed, tries, double(total) / count, worst);
    for (unsigned i = 0; i < count; ++i)
        std::printf("{0x%08xu, 0x%08xu, 0x%08xu, 0u},\n", rows[i].matrix, rows[i].temper_b,
                    rows[i].temper_c);
    return 0;
}
