// The any entry and its typed wrappers.
#include "reduce.h"

TV_REDUCE_ENTRY(any, ::reduce::slot_rule::logical_result)
TORVANE_REDUCE_LOGICAL_TYPES(TV_REDUCE_WRAPPERS, any)
