// The Bessel function Y kernels of double and double2 arguments.
#include "bessel_kernels.h"

TV_BESSEL_TABLE(bessely, 64, double, double2)
