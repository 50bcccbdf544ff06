// The legacy launch staging of the driver API (block shape, shared size and
// parameters set one call at a time, then a grid launch), kept in the seam for
// both backends: the legacy calls cannot carry a 64-bit address in their
// 32-bit parameter set, and today's drivers no longer export them. staging.cpp
// holds the drv_* staging calls; each backend keeps one staged_launch per
// function and hands it out through with_staged.
#pragma once

#include "device.h"

#include <functional>
#include <vector>

namespace dev {
namespace staging {

// What the device allows one launch; the staging calls refuse beyond it with
// err_invalid_value, as the driver did.
struct limits {
    unsigned max_threads;   // per block
    unsigned max_block[3];  // per block dimension
    size_t max_shared;      // bytes per block
};
// The driver's bound on a kernel's parameter block.
constexpr size_t max_param_bytes = 4096;

struct staged_launch {
    dim3 block{1, 1, 1};
    size_t shared = 0;
    std::vector<unsigned char> params;
};

using step_fn = std::function<int(staged_launch &, const limits &)>;
// Which drv_* call a step serves (the simulated device injects faults by it).
enum class call { block_shape, shared_size, param_size, param_set, launch };
// The backend's part: checks the function handle and runs `step` on its staged
// launch with its device's limits, under the backend's lock; the driver's
// error for a handle or context it refuses.
int with_staged(drv_function function, const step_fn &step, call which);

}  // namespace staging
}  // namespace dev
