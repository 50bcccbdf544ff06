// Hankel matrices of single and single-complex operands.
#include "hankel.h"

namespace hankel_matrix {

const std::array<kernel_fn, 4> hankel_32_fn =
    arrays::table_of<kernel_fn, hankel_32_slot>(std::make_integer_sequence<unsigned, 4>{});

}  // namespace hankel_matrix
