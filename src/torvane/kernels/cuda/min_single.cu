// The single-precision workers of min; none yet, so every slot is empty and
// the entry answers 6.
#include "reduce_frame.h"

namespace reduce {

#define TV_SGL_MIN_SLOTS(c) {}
TV_REDUCE_TABLE(single, sgl, min, slots_idx, TV_SGL_MIN_SLOTS)

}  // namespace reduce
