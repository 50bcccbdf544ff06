// Uniform random numbers in single precision.
#include "grand.h"

namespace grand {
GRAND_MODULE(float, f32, ds_MT_single)
}  // namespace grand
