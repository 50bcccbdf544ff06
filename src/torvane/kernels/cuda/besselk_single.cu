// The modified Bessel function K kernels of float and float2 arguments.
#include "bessel_kernels.h"

TV_BESSEL_TABLE(besselk, 32, float, float2)
