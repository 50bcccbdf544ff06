// Transposes of single, single-complex and logical elements.
#include "transpose.h"

TV_TRANSPOSE_TABLE(transpose, transpose_param_t, single)
