#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

struct alignas(16) wide {
    int a;
    double b;
};

struct echoed {
    char c;
    double d;
    float2 f2;
    short s;
    unsigned long long u;
    wide w;
    int last;
};

// Every parameter lands where the kernel's own parameter list puts it.
__global__ void echo(echoed *out, char c, double d, float2 f2, short s, unsigned long long u, wide w,
                     int last) {
    *out = echoed{c, d, f2, s, u, w, last};
}

__device__ int table[4];
__global__ void doubled(int *out) {
    out[threadIdx.x] = 2 * table[threadIdx.x];
}

__global__ void fetch(float *out, cudaTextureObject_t t, int first) {
    out[threadIdx.x] = tex1Dfetch<float>(t, first + int(threadIdx.x));
}

template <typename T>
T *device_copy(const std::vector<T> &v) {
    T *d = nullptr;
    EXPECT_EQ(cudaMalloc(&d, v.size() * sizeof(T)), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(d, v.data(), v.size() * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
    return d;
}

template <typename T>
std::vector<T> host_copy(const T *d, size_t n) {
    std::vector<T> v(n);
    EXPECT_EQ(cudaMemcpy(v.data(), d, n * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
    return v;
}

TEST(CudaRuntime, ParametersOfMixedTypesAndAlignments) {
    echoed *d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, sizeof(echoed)), cudaSuccess);
    echo<<<1, 1>>>(d, 'x', -2.5, make_float2(1.5f, -3.0f), short(-7), 0x0123456789abcdefull, wide{9, 0.125},
                   42);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    echoed h = host_copy(d, 1)[0];
    EXPECT_EQ(h.c, 'x');
    EXPECT_EQ(h.d, -2.5);
    EXPECT_EQ(h.f2.x, 1.5f);
    EXPECT_EQ(h.f2.y, -3.0f);
    EXPECT_EQ(h.s, -7);
    EXPECT_EQ(h.u, 0x0123456789abcdefull);
    EXPECT_EQ(h.w.a, 9);
    EXPECT_EQ(h.w.b, 0.125);
    EXPECT_EQ(h.last, 42);
    cudaFree(d);
}

TEST(CudaRuntime, ModuleVariablesBothWaysWithinTheirSize) {
    const int in[4] = {1, 2, 3, 4};
    ASSERT_EQ(cudaMemcpyToSymbol(table, in, sizeof in), cudaSuccess);
    int *d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, sizeof in), cudaSuccess);
    doubled<<<1, 4>>>(d);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(host_copy(d, 4), (std::vector<int>{2, 4, 6, 8}));

    const int last = 40;
    ASSERT_EQ(cudaMemcpyToSymbol(table, &last, sizeof last, 3 * sizeof(int)), cudaSuccess);
    int back[4] = {};
    ASSERT_EQ(cudaMemcpyFromSymbol(back, table, sizeof back), cudaSuccess);
    EXPECT_EQ(back[3], 40);
    EXPECT_EQ(back[0], 1);
    size_t size = 0;
    EXPECT_EQ(cudaGetSymbolSize(&size, table), cudaSuccess);
    EXPECT_EQ(size, sizeof in);

    // A copy past the variable's end is refused, and left pending.
    EXPECT_EQ(cudaMemcpyToSymbol(table, in, sizeof in, sizeof(int)), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    cudaFree(d);
}

// Element fetches from linear memory read zero outside the object.
TEST(CudaRuntime, TextureObjectFetches) {
    const std::vector<float> v = {1.5f, 2.5f, 3.5f, 4.5f, 5.5f};
    float *src = device_copy(v);
    cudaResourceDesc res = {};
    res.resType = cudaResourceTypeLinear;
    res.res.linear.devPtr = src;
    res.res.linear.desc = cudaCreateChannelDesc<float>();
    res.res.linear.sizeInBytes = v.size() * sizeof(float);
    cudaTextureDesc desc = {};
    desc.readMode = cudaReadModeElementType;
    cudaTextureObject_t t = 0;
    ASSERT_EQ(cudaCreateTextureObject(&t, &res, &desc, nullptr), cudaSuccess);
    float *out = nullptr;
    ASSERT_EQ(cudaMalloc(&out, 8 * sizeof(float)), cudaSuccess);
    fetch<<<1, 8>>>(out, t, -1);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(host_copy(out, 8), (std::vector<float>{0, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 0, 0}));
    EXPECT_EQ(cudaDestroyTextureObject(t), cudaSuccess);
    cudaFree(out);
    cudaFree(src);
}

}  // namespace
