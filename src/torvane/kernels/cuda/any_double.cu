// The double-precision workers of any: double and double complex input, with
// the byte families of their second passes.
#include "reduce_logical.h"

namespace reduce {
namespace {
TV_LOGICAL_FAMILIES(any, any_rule)
}  // namespace
TV_REDUCE_TABLE(double, dbl, any, slots_plain, TV_LOGICAL_DBL_SLOTS)
}  // namespace reduce
