// mmalloc + mmfree of "System RAM" against glibc malloc + free and, where
// Debian's libjemalloc2 is installed, jemalloc's (loaded at run time beside
// glibc's, called through its own entry points): same sizes and patterns in
// the same process. Prints each allocator's time over ours per case (above 1
// means the memory manager is faster), from the fastest of the repetitions:
// on a shared machine every other run only adds the neighbours' noise.
#include "torvane.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

struct jemalloc_api {
    static constexpr const char *name = "jemalloc";
    static constexpr const char *library = "libjemalloc.so.2";
    static inline void *(*malloc_fn)(size_t) = nullptr;
    static inline void (*free_fn)(void *) = nullptr;
    // Local to its handle: the process's malloc stays glibc's. Its thread data
    // is initial-exec TLS, more than the loader keeps spare for libraries
    // loaded later: where that is the reason, ask for room and start over once.
    static bool load(char **argv) {
        void *lib = dlopen(library, RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            const char *why = dlerror();
            const char *tunables = std::getenv("GLIBC_TUNABLES");
            const std::string room = "glibc.rtld.optional_static_tls=65536";
            if (why && std::strstr(why, "static TLS") &&
                !(tunables && std::strstr(tunables, room.c_str()))) {
                const std::string all = tunables ? std::string(tunables) + ":" + room : room;
                setenv("GLIBC_TUNABLES", all.c_str(), 1);
                execv("/proc/self/exe", argv);
            }
            return false;
        }
        malloc_fn = reinterpret_cast<void *(*)(size_t)>(dlsym(lib, "malloc"));
        free_fn = reinterpret_cast<void (*)(void *)>(dlsym(lib, "free"));
        return malloc_fn && free_fn;
    }
    static void *take(size_t n) { return malloc_fn(n); }
    static void give(void *p) { free_fn(p); }
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

// Keeps the fastest nanoseconds per allocation-and-free of every case over
// its repetitions; shows only the aggregates.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ns;  // "pattern/api/size"
    void ReportRuns(const std::vector<Run> &runs) override {
        std::vector<Run> shown;
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Aggregate) {
                shown.push_back(r);
                continue;
            }
            const auto items = r.counters.find("items_per_second");
            if (r.error_occurred || items == r.counters.end() || items->second.value <= 0) continue;
            const std::string key = r.run_name.function_name + "/" + r.run_name.args;
            const double t = 1e9 / items->second.value;
            const auto it = ns.find(key);
            if (it == ns.end() || t < it->second) ns[key] = t;
        }
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
    }
};

// Repeated, and the repetitions of all cases interleaved in random order
// (see main), so that the table rests on the best of runs spread over the
// whole time rather than on one stretch of a neighbour's load.
template <class A>
void register_api(const char *pattern, void (*fn)(benchmark::State &), size_t size) {
    benchmark::RegisterBenchmark((std::string(pattern) + "/" + A::name).c_str(), fn)
        ->Arg(int64_t(size))
        ->MinTime(0.05)
        ->Repetitions(10);
}

template <class A>
void register_patterns(size_t size) {
    register_api<A>("one_block", one_block<A>, size);
    register_api<A>("batch_fifo", batch_fifo<A>, size);
}

}  // namespace

int main(int argc, char **argv) {
    const bool jemalloc = jemalloc_api::load(argv);
    for (size_t size : sizes) {
        register_patterns<mm_api>(size);
        register_patterns<glibc_api>(size);
        if (jemalloc) register_patterns<jemalloc_api>(size);
    }
    std::vector<char *> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    if (!jemalloc)
        std::printf("\njemalloc: %s could not be loaded (Debian package libjemalloc2)\n",
                    jemalloc_api::library);
    std::printf("\n%-11s %8s %8s %8s %11s %8s %11s\n", "pattern", "bytes", "mm ns", "glibc ns",
                "jemalloc ns", "glibc/mm", "jemalloc/mm");
    for (const char *pattern : {"one_block", "batch_fifo"})
        for (size_t size : sizes) {
            auto find = [&](const char *api) {
                const auto it = reporter.ns.find(std::string(pattern) + "/" + api + "/" +
                                                 std::to_string(size));
                return it == reporter.ns.end() ? 0.0 : it->second;
            };
            const double mm = find("mm"), libc = find("glibc"), je = find("jemalloc");
            if (mm == 0 || libc == 0) continue;
            std::printf("%-11s %8zu %8.2f %8.2f", pattern, size, mm, libc);
            if (je > 0)
                std::printf(" %11.2f %8.2f %11.2f\n", je, libc / mm, je / mm);
            else
                std::printf(" %11s %8.2f %11s\n", "-", libc / mm, "-");
        }
    benchmark::Shutdown();
    return 0;
}
