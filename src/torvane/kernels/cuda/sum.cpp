// The sum entry and its typed wrappers.
#include "reduce.h"

TV_REDUCE_ENTRY(sum, ::reduce::slot_rule::sum)
TORVANE_REDUCE_SUM_TYPES(TV_REDUCE_WRAPPERS, sum)
