// Sums of double and double complex input.
#include "sum.h"

namespace reduce {
namespace {
TV_REDUCE_FAMILY(sum, sum_rule)
TV_REDUCE_FAMILY(sum_cplx, sum_rule)
}  // namespace

#define TV_DBL_SUM_SLOTS(op, c)                                \
    {                                                          \
        &op##_##c<double, double>, nullptr, nullptr, nullptr,  \
            &op##_cplx_##c<double2, double2>, nullptr, nullptr \
    }
TV_REDUCE_TABLE(double, dbl, sum, slots_plain, TV_DBL_SUM_SLOTS)

}  // namespace reduce
