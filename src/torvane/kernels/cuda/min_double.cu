// The double-precision workers of min; none yet, so every slot is empty and
// the entry answers 6.
#include "reduce_frame.h"

namespace reduce {

#define TV_DBL_MIN_SLOTS(c) {}
TV_REDUCE_TABLE(double, dbl, min, slots_idx, TV_DBL_MIN_SLOTS)

}  // namespace reduce
