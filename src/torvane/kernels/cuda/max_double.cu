// The double-precision workers of max; none yet, so every slot is empty and
// the entry answers 6.
#include "reduce_frame.h"

namespace reduce {

#define TV_DBL_MAX_SLOTS(c) {}
TV_REDUCE_TABLE(double, dbl, max, slots_idx, TV_DBL_MAX_SLOTS)

}  // namespace reduce
