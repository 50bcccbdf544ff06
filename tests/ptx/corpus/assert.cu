// A failing device-side assertion.
#include <cassert>
extern "C" __global__ void kernel_main(const int *x) {
    assert(x[threadIdx.x] >= 0);
}
