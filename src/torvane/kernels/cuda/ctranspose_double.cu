// Conjugate transposes of double and double-complex elements.
#include "transpose.h"

TV_TRANSPOSE_TABLE(ctranspose, ctranspose_param_t, double)
