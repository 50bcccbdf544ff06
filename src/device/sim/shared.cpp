// Static shared memory of the simulated device (placeholder).
#include "internal.h"

namespace sim {
namespace detail {
size_t static_shared_bytes(const void *) { return 0; }
void static_shared_begin(const void *) {}
const char *static_shared_end(const void *) { return nullptr; }
}  // namespace detail
}  // namespace sim
