// Host references for half precision (half_reference.cpp).
#pragma once

#include <cstdint>

namespace ptxtest {

// The value of half bits, exactly.
long double half_to_value(uint16_t h);
// `v` rounded once to the nearest half, ties to even.
uint16_t half_round(long double v);

}  // namespace ptxtest
