// The double-precision workers of all; none yet, so every slot is empty and
// the entry answers 6.
#include "reduce_frame.h"

namespace reduce {

#define TV_DBL_ALL_SLOTS(c) {}
TV_REDUCE_TABLE(double, dbl, all, slots_plain, TV_DBL_ALL_SLOTS)

}  // namespace reduce
