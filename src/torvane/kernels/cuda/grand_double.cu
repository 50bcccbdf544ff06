// Uniform random numbers in double precision.
#include "grand.h"

namespace grand {
GRAND_MODULE(double, f64, ds_MT_double)
}  // namespace grand
