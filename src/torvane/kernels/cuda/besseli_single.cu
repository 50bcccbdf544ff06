// The modified Bessel function I kernels of float and float2 arguments.
#include "bessel_kernels.h"

TV_BESSEL_TABLE(besseli, 32, float, float2)
