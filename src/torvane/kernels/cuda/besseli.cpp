// The modified Bessel function I: its launcher and exported entries.
#include "bessel_launch.h"

TV_BESSEL_ORDER_FUNCTION(besseli)
