// The single-precision workers of max; none yet, so every slot is empty and
// the entry answers 6.
#include "reduce_frame.h"

namespace reduce {

#define TV_SGL_MAX_SLOTS(c) {}
TV_REDUCE_TABLE(single, sgl, max, slots_idx, TV_SGL_MAX_SLOTS)

}  // namespace reduce
