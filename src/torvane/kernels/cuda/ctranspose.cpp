// The conjugate-transpose entries, single and batched.
#include "transpose.h"

#define TV_CTRANSPOSE_OP(code, T) TV_TRANSPOSE_ENTRIES(ctranspose, code, T)
TORVANE_TRANSPOSE_TYPES(TV_CTRANSPOSE_OP)
