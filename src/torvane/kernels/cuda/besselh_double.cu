// The Hankel function H1 and H2 kernels of double and double2 arguments.
#include "bessel_kernels.h"

TV_BESSEL_TABLE(besselh, 64, double, double2)
