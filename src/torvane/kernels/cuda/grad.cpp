// The gradient entries and their launcher.
#include "grad.h"

namespace gradients {
namespace {

pkrError grad(void *dslow, void *dfast, void *in, unsigned m, unsigned n, kernel_fn kernel) {
    return launch::run(launch::standard, kernel, arrays::tiles_16(m, n), param_t{dslow, dfast, in, m, n});
}

}  // namespace
}  // namespace gradients

#define TV_GRAD_ENTRY(code, T)                                                                  \
    extern "C" TORVANE_API pkrError pkr_grad_##code(void *dslow, void *dfast, void *in,        \
                                                    unsigned m, unsigned n) {                   \
        using E = arrays::stored_t<T>;                                                          \
        using namespace gradients;                                                              \
        return grad(dslow, dfast, in, m, n,                                                     \
                    arrays::pick<E, E, double_elements, single_elements>(gradient_64_fn,        \
                                                                         gradient_32_fn));      \
    }
TORVANE_GRAD_TYPES(TV_GRAD_ENTRY)
