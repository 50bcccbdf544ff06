// Warp collectives under masks, by `mode`, in blocks of whole warps. Faults
// that a GPU's checker reports:
//   0  a full-mask shuffle after half of the warp has exited
//   1  lanes that call a shuffle with a mask that leaves them out
//   2  __syncwarp after half of the warp has exited
//   3  a full-mask ballot after the odd lanes have exited
//   4  half of the block at one __syncthreads, half at another
// Legal uses, each writing out[t]:
//   5  a shuffle among the lanes its mask names while the others do other work
//   6  one full-mask butterfly shuffle reached from two branches
//   7  a ballot of the whole warp, then a shuffle among the lanes it chose
//      after the others have exited
extern "C" __global__ void kernel_main(int mode, int *out) {
    const int t = threadIdx.x, lane = t % 32;
    switch (mode) {
    case 0:
        if (lane >= 16) return;
        out[t] = __shfl_sync(0xffffffffu, t, 0);
        break;
    case 1:
        out[t] = __shfl_sync(0x0000ffffu, t, 0);
        break;
    case 2:
        if (lane >= 16) return;
        __syncwarp();
        out[t] = 1;
        break;
    case 3:
        if (lane % 2) return;
        out[t] = int(__ballot_sync(0xffffffffu, 1));
        break;
    case 4:
        if (lane < 16) {
            atomicAdd(&out[t], 1);
            __syncthreads();
            atomicAdd(&out[t], 2);
        } else {
            atomicAdd(&out[t], 3);
            __syncthreads();
            atomicAdd(&out[t], 4);
        }
        break;
    case 5:
        out[t] = lane < 16 ? __shfl_sync(0x0000ffffu, t, 3) : -t;
        break;
    case 6: {
        int v;
        if (lane < 16)
            v = __shfl_xor_sync(0xffffffffu, t, 16);
        else
            v = __shfl_xor_sync(0xffffffffu, 2 * t, 16);
        out[t] = v;
        break;
    }
    default: {
        const unsigned chosen = __ballot_sync(0xffffffffu, lane < 8);
        if (lane >= 8) return;
        out[t] = __shfl_sync(chosen, t, 7) + __popc(chosen);
        break;
    }
    }
}
