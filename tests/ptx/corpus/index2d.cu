// 2-D indexing with a dim3 of the array's shape: transpose with a bounds test.
extern "C" __global__ void kernel_main(float *out, dim3 oshape, const float *in, dim3 ishape) {
    unsigned c = blockIdx.x * blockDim.x + threadIdx.x;
    unsigned r = blockIdx.y * blockDim.y + threadIdx.y;
    if (r < ishape.x && c < ishape.y && oshape.x == ishape.y)
        out[r * oshape.x + c] = in[c * ishape.x + r];
}
