// The kernel template for every block size and every number of results per
// hardware block, including the instances that no worker launches: each
// computes what B threads adding in order and halving would.
#include "model.h"
#include "torvane/kernels/cuda/sum.h"

#include <utility>

namespace {

using namespace rmodel;

template <unsigned B, unsigned R>
__global__ void probe(float *dst, const float *in, unsigned len, unsigned stride, unsigned blocks,
                      unsigned nres) {
    reduce::block_reduce<B, R, reduce::sum_rule, float, float>(
        dst, in, reduce::layout{stride, stride * len, stride}, len, blocks, nres, 0);
}

// Results side by side (one group of `nres`), `blocks` parts each.
template <unsigned B, unsigned R>
void check(unsigned nres, unsigned len, unsigned blocks) {
    SCOPED_TRACE("B " + std::to_string(B) + " R " + std::to_string(R) + " results " +
                 std::to_string(nres) + " parts " + std::to_string(blocks));
    const std::vector<float> host = random_input<float>(size_t(nres) * len, B + R);
    float *in = testenv::to_device(host);
    float *dst = testenv::device_alloc<float>(size_t(nres) * blocks);
    using S = reduce::shape<B, R>;
    ASSERT_EQ(dev::launch(&probe<B, R>, dim3((nres + R - 1) / R * blocks), dim3(S::P), 0, dst, in,
                          len, nres, blocks, nres),
              0);
    const std::vector<float> got = testenv::from_device(dst, size_t(nres) * blocks);
    for (unsigned o = 0; o < nres; ++o)
        for (unsigned j = 0; j < blocks; ++j) {
            const float want = block_sum<float>(
                [&](uint64_t k) { return host[o + k * nres]; }, len, blocks, j, B);
            ASSERT_TRUE(same_bits(got[o * blocks + j], want))
                << "result " << o << " part " << j << ": " << got[o * blocks + j] << " vs "
                << want;
        }
    testenv::device_free(in);
    testenv::device_free(dst);
}

template <unsigned R, size_t... I>
void every_size(std::index_sequence<I...>) {
    (check<(1u << I), R>(R == 1 ? 3 : 2 * R + 3, 9 * (1u << I) + 5, 3), ...);
}

TEST(ReduceFrame, EveryBlockSize) {
    testenv::device_env env;
    every_size<1>(std::make_index_sequence<10>{});
}

TEST(ReduceFrame, ResultsPerBlock) {
    testenv::device_env env;
    every_size<4>(std::make_index_sequence<10>{});
    every_size<32>(std::make_index_sequence<10>{});
    check<256, 2>(5, 3000, 2);
    check<256, 8>(19, 3000, 2);
    check<256, 16>(16, 700, 1);
}

}  // namespace
