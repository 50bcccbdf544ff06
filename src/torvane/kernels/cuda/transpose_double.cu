// Transposes of double and double-complex elements.
#include "transpose.h"

TV_TRANSPOSE_TABLE(transpose, transpose_param_t, double)
