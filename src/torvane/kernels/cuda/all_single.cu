// The single-precision workers of all: single, logical and single complex
// input, with the byte families of their second passes.
#include "reduce_logical.h"

namespace reduce {
namespace {
TV_LOGICAL_FAMILIES(all, all_rule)
}  // namespace
TV_REDUCE_TABLE(single, sgl, all, slots_plain, TV_LOGICAL_SGL_SLOTS)
}  // namespace reduce
