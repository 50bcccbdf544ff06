// The single-precision workers of max: single, logical and single complex
// input, positions for single and single complex.
#include "reduce_extremum.h"

namespace reduce {
namespace {
TV_EXTREMUM_FAMILIES(max, true)
}  // namespace
TV_REDUCE_TABLE(single, sgl, max, slots_idx, TV_EXTREMUM_SGL_SLOTS)
}  // namespace reduce
