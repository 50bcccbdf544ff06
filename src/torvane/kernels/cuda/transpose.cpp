// The transpose entries, single and batched.
#include "transpose.h"

#define TV_TRANSPOSE_OP(code, T) TV_TRANSPOSE_ENTRIES(transpose, code, T)
TORVANE_TRANSPOSE_TYPES(TV_TRANSPOSE_OP)
