// The double-precision workers of max: double and double complex input, with
// and without positions.
#include "reduce_extremum.h"

namespace reduce {
namespace {
TV_EXTREMUM_FAMILIES(max, true)
}  // namespace
TV_REDUCE_TABLE(double, dbl, max, slots_idx, TV_EXTREMUM_DBL_SLOTS)
}  // namespace reduce
