#include <cooperative_groups.h>
#include <cooperative_groups/reduce.h>
namespace cg = cooperative_groups;
// Thread groups: a reduction over warp tiles, the rank and size of the lanes
// that take a branch (a coalesced group) with a shuffle among them, and a sum
// over the block through the group's barrier.
extern "C" __global__ void kernel_main(const int *x, int *tile_sum, int *rank, int *block_sum) {
    __shared__ int total;
    cg::thread_block block = cg::this_thread_block();
    if (block.thread_rank() == 0) total = 0;
    block.sync();
    cg::thread_block_tile<32> tile = cg::tiled_partition<32>(block);
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    int v = cg::reduce(tile, x[i], cg::plus<int>());
    tile_sum[i] = v;
    rank[i] = -1;
    if (x[i] % 3 == 0) {
        cg::coalesced_group active = cg::coalesced_threads();
        rank[i] = active.thread_rank() * 100 + active.size() + 10000 * (active.shfl(x[i], 1) & 15);
    }
    if (tile.thread_rank() == 0) atomicAdd(&total, v);
    block.sync();
    if (block.thread_rank() == 0) block_sum[blockIdx.x] = total;
}
