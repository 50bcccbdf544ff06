// Uniform random numbers in double precision: the module's parameter array
// and its instance of the kernel.
#include "grand.h"

namespace grand {

__device__ mt_param_t ds_MT_double[MT_RNG_COUNT];

template <>
struct mt_module<double> {
    static __device__ const mt_param_t *params() { return ds_MT_double; }
};

const random_kernel grand_f64_fn[1] = {&RandomGPU<double>};
void *const grand_f64_params = ds_MT_double;

}  // namespace grand
