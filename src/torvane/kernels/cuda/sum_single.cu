// Sums of single, single complex and logical input; logical members are added
// as float from the first pass on.
#include "sum.h"

namespace reduce {
namespace {
TV_REDUCE_FAMILY(sum, sum_rule)
TV_REDUCE_FAMILY(sum_cplx, sum_rule)
}  // namespace

#define TV_SGL_SUM_SLOTS(op, c)                                                     \
    {                                                                               \
        &op##_##c<float, float>, &op##_##c<float, unsigned char>, nullptr, nullptr, \
            &op##_cplx_##c<float2, float2>, nullptr, nullptr                        \
    }
TV_REDUCE_TABLE(single, sgl, sum, slots_plain, TV_SGL_SUM_SLOTS)

}  // namespace reduce
