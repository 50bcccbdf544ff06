// The modified Bessel function K kernels of double and double2 arguments.
#include "bessel_kernels.h"

TV_BESSEL_TABLE(besselk, 64, double, double2)
