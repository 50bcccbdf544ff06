// Differences of single elements, read through a texture of float texels.
#include "diff.h"

TV_DIFF_PRECISION(float, float, tex_single, diff_32_fn, bind_single, unbind_single)
