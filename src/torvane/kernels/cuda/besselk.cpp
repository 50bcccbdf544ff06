// The modified Bessel function K: its launcher and exported entries.
#include "bessel_launch.h"

TV_BESSEL_ORDER_FUNCTION(besselk)
