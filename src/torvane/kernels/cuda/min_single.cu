// The single-precision workers of min: single, logical and single complex
// input, positions for single and single complex.
#include "reduce_extremum.h"

namespace reduce {
namespace {
TV_EXTREMUM_FAMILIES(min, false)
}  // namespace
TV_REDUCE_TABLE(single, sgl, min, slots_idx, TV_EXTREMUM_SGL_SLOTS)
}  // namespace reduce
