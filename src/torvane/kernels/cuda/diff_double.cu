// Differences of double elements, read through a texture of int2 texels.
#include "diff.h"

TV_DIFF_PRECISION(double, int2, tex_double, diff_64_fn, bind_double, unbind_double)
