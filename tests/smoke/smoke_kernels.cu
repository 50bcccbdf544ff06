// A kernel with a texture reference and dynamic shared memory, launched
// through the seam: that this file builds with nvcc is half of the test.
#include "device/kernel.h"

#include "smoke.h"

namespace {

DEV_TEXTURE(float, smoke_tex);
DEV_TEXTURE(int2, smoke_tex_d);

// out[i] = 2 * in[i + offset] + the double at i, through shared memory in
// reverse order within the block.
__global__ void staged_copy(float *out, int n, int offset) {
    DEV_DYNAMIC_SHARED(float, stage);
    int i = int(blockIdx.x * blockDim.x + threadIdx.x);
    stage[threadIdx.x] = 2.0f * DEV_TEX_FETCH(smoke_tex, i + offset) +
                         float(dev::texel_double(DEV_TEX_FETCH(smoke_tex_d, i)));
    __syncthreads();
    unsigned j = blockDim.x - 1 - threadIdx.x;
    int k = int(blockIdx.x * blockDim.x + j);
    if (k < n) out[k] = stage[j];
}

}  // namespace

int smoke_launch(float *out, int n) {
    const unsigned threads = 128;
    return dev::launch(staged_copy, dim3((unsigned(n) + threads - 1) / threads), dim3(threads),
                       threads * sizeof(float), out, n, 0);
}

int smoke_bind(size_t *offset, const float *data, size_t bytes) {
    return dev::bind_texture(offset, smoke_tex, data, bytes);
}
