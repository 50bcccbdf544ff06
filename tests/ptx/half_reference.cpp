// Host references for half precision, through the compiler's own half type
// (a plain C++ source: the device compiler's front end need not know it).
#include "half_reference.h"

#include <cstring>

namespace ptxtest {

long double half_to_value(uint16_t h) {
    _Float16 f;
    std::memcpy(&f, &h, 2);
    return (long double)f;
}

uint16_t half_round(long double v) {
    _Float16 f = (_Float16)v;
    uint16_t h;
    std::memcpy(&h, &f, 2);
    return h;
}

}  // namespace ptxtest
