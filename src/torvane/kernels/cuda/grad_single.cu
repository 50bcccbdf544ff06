// Gradients of logical, unsigned, int and single elements.
#include "grad.h"

const std::array<gradients::kernel_fn, gradients::single_elements::size> gradients::gradient_32_fn =
    arrays::table_of<gradients::kernel_fn, gradient_slot>(gradients::single_elements{});
