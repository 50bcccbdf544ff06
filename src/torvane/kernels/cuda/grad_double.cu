// Gradients of double elements.
#include "grad.h"

const std::array<gradients::kernel_fn, gradients::double_elements::size> gradients::gradient_64_fn =
    arrays::table_of<gradients::kernel_fn, gradient_slot>(gradients::double_elements{});
