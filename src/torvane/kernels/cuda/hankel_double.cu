// Hankel matrices with a double or double-complex operand or result.
#include "hankel.h"

namespace hankel_matrix {

const std::array<kernel_fn, 24> hankel_64_fn =
    arrays::table_of<kernel_fn, hankel_64_slot>(std::make_integer_sequence<unsigned, 24>{});

}  // namespace hankel_matrix
