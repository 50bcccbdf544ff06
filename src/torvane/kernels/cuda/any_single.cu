// The single-precision workers of any; none yet, so every slot is empty and
// the entry answers 6.
#include "reduce_frame.h"

namespace reduce {

#define TV_SGL_ANY_SLOTS(c) {}
TV_REDUCE_TABLE(single, sgl, any, slots_plain, TV_SGL_ANY_SLOTS)

}  // namespace reduce
