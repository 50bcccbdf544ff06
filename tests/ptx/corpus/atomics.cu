// Global atomics of every kind the language offers.
extern "C" __global__ void kernel_main(int *ia, unsigned *ua, float *fa, double *da,
                                       unsigned long long *la, int *old) {
    int t = blockIdx.x * blockDim.x + threadIdx.x;
    atomicAdd(&ia[0], t);
    atomicSub(&ia[1], t);
    atomicMin(&ia[2], t - 50);
    atomicMax(&ia[3], t - 50);
    atomicAnd(&ua[0], ~(1u << (t % 32)));
    atomicOr(&ua[1], 1u << (t % 32));
    atomicXor(&ua[2], unsigned(t) * 2654435761u);
    atomicInc(&ua[3], 17u);
    atomicDec(&ua[4], 13u);
    atomicAdd(&fa[0], 0.5f);
    atomicAdd(&da[0], 0.25);
    atomicAdd(&la[0], 1ull << 33);
    atomicMax(&la[1], (unsigned long long)t << 40);
    old[t] = atomicCAS(&ia[4], t, t + 1) + atomicExch(&ia[5], t) * 0;
}
