// Uniform random numbers in single precision: the module's parameter array
// and its instance of the kernel.
#include "grand.h"

namespace grand {

__device__ mt_param_t ds_MT_single[MT_RNG_COUNT];

template <>
struct mt_module<float> {
    static __device__ const mt_param_t *params() { return ds_MT_single; }
};

const random_kernel grand_f32_fn[1] = {&RandomGPU<float>};
void *const grand_f32_params = ds_MT_single;

}  // namespace grand
