// A pending runtime error for the array-kernel tests.
#include "support.h"

#include "device/kernel.h"

namespace {
__global__ void idle() {}
}  // namespace

void at::leave_pending() {
    // More threads per block than any device takes.
    EXPECT_NE(dev::launch(&idle, dim3(1), dim3(4096), 0), 0);
}
