// Waits that a GPU completes, by `mode`:
//   0  thread 0 of each block waits for the block's last thread's atomic
//   1  warp 0 of each block waits on a volatile flag that the last warp sets
//   2  the blocks meet at a grid-wide barrier: a counter that all increment
//   3  the same barrier, spinning on a volatile read of the counter
//   4  each block waits for the one before it (a chain through the grid)
// Every block writes out[b]; modes 2 and 3 write what each block read of all
// blocks' values after the barrier, mode 4 the length of the chain to b.
// Modes 1 and 3 read volatile memory, which compiled C++ reads without the
// simulated device seeing it: only their PTX runs.
__device__ unsigned load_flag(unsigned *p, bool vol) {
    return vol ? *(volatile unsigned *)p : atomicAdd(p, 0u);
}

extern "C" __global__ void kernel_main(int mode, unsigned *flags, unsigned *out) {
    const unsigned t = threadIdx.x, b = blockIdx.x, last = blockDim.x - 1;
    const bool vol = mode == 1 || mode == 3;
    if (mode <= 1) {
        const unsigned waiters = mode == 0 ? 1 : 32;
        if (t < waiters) {
            while (load_flag(&flags[b], vol) == 0) {
            }
            if (t == 0) out[b] = 1;
        } else if (t == last) {
            __threadfence();
            atomicExch(&flags[b], 1u);
        }
    } else if (mode <= 3) {
        // flags[0] counts the blocks that arrived; flags[1 + b] holds b's value.
        if (t == 0) flags[1 + b] = b + 1;
        __syncthreads();
        if (t == 0) {
            __threadfence();
            atomicAdd(&flags[0], 1u);
            while (load_flag(&flags[0], vol) < gridDim.x) {
            }
            __threadfence();
        }
        __syncthreads();
        if (t == 0) {
            unsigned sum = 0;
            for (unsigned k = 0; k < gridDim.x; ++k) sum += *(volatile unsigned *)&flags[1 + k];
            out[b] = sum;
        }
    } else if (t == 0) {
        // flags[b] != 0: block b is done and out[b] holds its length.
        unsigned length = 1;
        if (b > 0) {
            while (load_flag(&flags[b - 1], false) == 0) {
            }
            __threadfence();
            length = *(volatile unsigned *)&out[b - 1] + 1;
        }
        out[b] = length;
        __threadfence();
        atomicExch(&flags[b], 1u);
    }
}
