// The Bessel function J kernels of double and double2 arguments.
#include "bessel_kernels.h"

TV_BESSEL_TABLE(besselj, 64, double, double2)
