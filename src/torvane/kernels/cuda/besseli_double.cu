// The modified Bessel function I kernels of double and double2 arguments.
#include "bessel_kernels.h"

TV_BESSEL_TABLE(besseli, 64, double, double2)
