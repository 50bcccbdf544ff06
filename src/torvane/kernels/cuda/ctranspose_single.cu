// Conjugate transposes of single, single-complex and logical elements.
#include "transpose.h"

TV_TRANSPOSE_TABLE(ctranspose, ctranspose_param_t, single)
