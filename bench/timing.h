// Timing of device work for the benchmarks: the best of several runs, each
// waited for, after one warm-up run.
#pragma once

#include "device/device.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace timing {

// Best wall time in seconds of `reps` runs of f, each waited for; the first
// run warms up. A failing call or wait ends the benchmark: its figures would
// mean nothing.
inline double best_seconds(int reps, const std::function<int()> &f) {
    using clock = std::chrono::steady_clock;
    double best = 1e30;
    for (int i = 0; i <= reps; ++i) {
        const auto t0 = clock::now();
        const int e = f();
        const int w = dev::synchronize();
        const double s = std::chrono::duration<double>(clock::now() - t0).count();
        if (e || w) {
            std::fprintf(stderr, "call failed: %d (wait %d)\n", e, w);
            std::exit(1);
        }
        if (i > 0 && s < best) best = s;
    }
    return best;
}

}  // namespace timing
