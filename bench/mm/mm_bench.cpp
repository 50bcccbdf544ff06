// mmalloc + mmfree of "System RAM" against glibc malloc + free, same sizes and
// patterns in the same process; prints glibc's time over ours per case (above
// 1 means the memory manager is faster).
#include "torvane.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

const size_t sizes[] = {16, 64, 256, 1024, 4096, 16384, 65536};
constexpr int batch = 64;

struct mm_api {
    static constexpr const char *name = "mm";
    static void *take(size_t n) {
        void *p = nullptr;
        mmalloc(n, MM_SYSTEM_RAM, &p);
        return p;
    }
    static void give(void *p) { mmfree(MM_SYSTEM_RAM, p); }
};

struct glibc_api {
    static constexpr const char *name = "glibc";
    static void *take(size_t n) { return std::malloc(n); }
    static void give(void *p) { std::free(p); }
};

// One block at a time.
template <class A>
void one_block(benchmark::State &state) {
    const size_t n = size_t(state.range(0));
    for (auto _ : state) {
        void *p = A::take(n);
        if (!p) return state.SkipWithError("allocation failed");
        benchmark::DoNotOptimize(p);
        *static_cast<volatile char *>(p) = 1;
        A::give(p);
    }
    state.SetItemsProcessed(state.iterations());
}

// `batch` blocks live at once, freed in the order they were taken.
template <class A>
void batch_fifo(benchmark::State &state) {
    const size_t n = size_t(state.range(0));
    void *p[batch];
    for (auto _ : state) {
        for (auto &q : p) {
            q = A::take(n);
            if (!q) return state.SkipWithError("allocation failed");
            benchmark::DoNotOptimize(q);
            *static_cast<volatile char *>(q) = 1;
        }
        for (void *q : p) A::give(q);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}

// Keeps the median nanoseconds per allocation-and-free of every case.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ns;  // "pattern/api/size"
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Aggregate || r.aggregate_name != "median")
                continue;
            const auto items = r.counters.find("items_per_second");
            if (items != r.counters.end() && items->second.value > 0)
                ns[r.run_name.function_name + "/" + r.run_name.args] = 1e9 / items->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// Repeated, so that the table rests on medians rather than on one noisy run.
template <class A>
void register_api(const char *pattern, void (*fn)(benchmark::State &), size_t size) {
    benchmark::RegisterBenchmark((std::string(pattern) + "/" + A::name).c_str(), fn)
        ->Arg(int64_t(size))
        ->MinTime(0.1)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
}

}  // namespace

int main(int argc, char **argv) {
    for (size_t size : sizes) {
        register_api<mm_api>("one_block", one_block<mm_api>, size);
        register_api<glibc_api>("one_block", one_block<glibc_api>, size);
        register_api<mm_api>("batch_fifo", batch_fifo<mm_api>, size);
        register_api<glibc_api>("batch_fifo", batch_fifo<glibc_api>, size);
    }
    benchmark::Initialize(&argc, argv);
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n%-11s %8s %10s %10s %8s\n", "pattern", "bytes", "mm ns", "glibc ns",
                "glibc/mm");
    for (const char *pattern : {"one_block", "batch_fifo"})
        for (size_t size : sizes) {
            const std::string tail = "/" + std::to_string(size);
            const auto mm = reporter.ns.find(std::string(pattern) + "/mm" + tail);
            const auto libc = reporter.ns.find(std::string(pattern) + "/glibc" + tail);
            if (mm == reporter.ns.end() || libc == reporter.ns.end()) continue;
            std::printf("%-11s %8zu %10.2f %10.2f %8.2f\n", pattern, size, mm->second,
                        libc->second, libc->second / mm->second);
        }
    benchmark::Shutdown();
    return 0;
}
