// The Hankel function H1 and H2 kernels of float and float2 arguments.
#include "bessel_kernels.h"

TV_BESSEL_TABLE(besselh, 32, float, float2)
