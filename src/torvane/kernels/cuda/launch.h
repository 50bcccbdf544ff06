// How the special functions and array kernels launch: one kernel per call on
// the default stream, the runtime's error state turned into a pkrError, and
// that code stored as the calling thread's last error.
//
//   launch::shape s = launch::linear(n, 128);               // or {gx, gy, bx, by}
//   return launch::run(launch::standard, my_kernel, s, out, in, n);
//
// run() follows one sequence:
//   1. the runtime's pending error is read (and so cleared);
//      standard:    a nonzero one cancels the call: mapped, stored, returned;
//      discarding:  it is dropped and the launch goes ahead;
//   2. a grid with 0 or more than 65535 blocks in a dimension is refused here,
//      as the runtime of a capability 2.x device refuses it (today's GPUs take
//      up to 2^31 - 1 blocks along x, so the backends would differ otherwise):
//      it counts as the runtime's invalid configuration (9), nothing is queued;
//   3. the kernel is queued; the pending error is read again and mapped;
//   4. the code is stored as the thread's last error — always (standard), or
//      only when it is not 0 (discarding) — and returned.
// The kernel is never waited for: a fault while it runs stays pending for the
// next reader of the runtime's error.
//
// Paths that fail before any launch and must not touch the last error (a
// size query, a failed upload of kernel parameters) return
// map_cuda_error(e) themselves.
//
// Shapes are worked out in 64-bit unsigned arithmetic (ceil_div), so a grid
// too large for 32 bits is refused instead of wrapping round.
#pragma once

#include "device/kernel.h"
#include "runtime.h"

#include <cstdint>
#include <utility>

namespace launch {

// Runtime error to pkrError: 0 -> 0, 2 (allocation) -> 1, 100 (no device) and
// 209 (no code for the GPU) -> 5, any other value, negative ones too, -> 7.
pkrError map_cuda_error(int e);

// What the launcher does with an error left pending by earlier work.
enum class pending : unsigned char {
    cancels,    // it is the call's result; nothing is launched
    discarded,  // it is cleared and the launch goes ahead
};
// When the launcher's code becomes the thread's last error.
enum class storing : unsigned char {
    always,      // 0 included
    on_failure,  // only a nonzero code; success leaves the last error alone
};
struct policy {
    pending before;
    storing store;
};
// Bessel, Hankel, transposes, gradients, the random-number launch.
constexpr policy standard{pending::cancels, storing::always};
// The differences.
constexpr policy discarding{pending::discarded, storing::on_failure};

constexpr uint64_t max_grid = 65535;  // blocks in one grid dimension

constexpr uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

// A two-dimensional grid of two-dimensional blocks (the third components are 1).
struct shape {
    uint64_t grid_x, grid_y;
    unsigned block_x, block_y;
};
// ceil(n / block) blocks of `block` threads along x.
constexpr shape linear(uint64_t n, unsigned block) { return {ceil_div(n, block), 1, block, 1}; }

namespace detail {
// Steps 1 and 2: true when the kernel is to be queued; otherwise *code is the
// result, already stored as the policy says.
bool begin(policy p, const shape &s, pkrError *code);
// Steps 3 (after queueing) and 4.
pkrError finish(policy p);
}  // namespace detail

// Queues `kernel` over `s` with `args` under policy `p`; returns the mapped code.
template <typename... P, typename... A>
pkrError run(policy p, void (*kernel)(P...), const shape &s, A &&...args) {
    pkrError code = 0;
    if (!detail::begin(p, s, &code)) return code;
    dev::launch(kernel, dim3(unsigned(s.grid_x), unsigned(s.grid_y), 1),
                dim3(s.block_x, s.block_y, 1), 0, std::forward<A>(args)...);
    return detail::finish(p);
}

}  // namespace launch
