// The max entry and its typed wrappers.
#include "reduce.h"

TV_REDUCE_ENTRY(max, ::reduce::slot_rule::extremum)
TORVANE_REDUCE_EXTREMUM_TYPES(TV_REDUCE_WRAPPERS, max)
