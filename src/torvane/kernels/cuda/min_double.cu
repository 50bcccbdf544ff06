// The double-precision workers of min: double and double complex input, with
// and without positions.
#include "reduce_extremum.h"

namespace reduce {
namespace {
TV_EXTREMUM_FAMILIES(min, false)
}  // namespace
TV_REDUCE_TABLE(double, dbl, min, slots_idx, TV_EXTREMUM_DBL_SLOTS)
}  // namespace reduce
