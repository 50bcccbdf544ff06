// The Bessel function J kernels of float and float2 arguments.
#include "bessel_kernels.h"

TV_BESSEL_TABLE(besselj, 32, float, float2)
