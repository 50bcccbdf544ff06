// The Bessel function Y kernels of float and float2 arguments.
#include "bessel_kernels.h"

TV_BESSEL_TABLE(bessely, 32, float, float2)
