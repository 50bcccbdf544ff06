// The all entry and its typed wrappers.
#include "reduce.h"

TV_REDUCE_ENTRY(all, ::reduce::slot_rule::logical_result)
TORVANE_REDUCE_LOGICAL_TYPES(TV_REDUCE_WRAPPERS, all)
