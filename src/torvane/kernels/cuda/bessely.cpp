// The Bessel function Y of the second kind: its launcher and exported entries.
#include "bessel_launch.h"

TV_BESSEL_ORDER_FUNCTION(bessely)
