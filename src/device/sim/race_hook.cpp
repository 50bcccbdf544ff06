// The race checker's symbolizer hook for the PTX executor's made-up program
// counters. The checker's own weak definition wins over one in a shared
// library, so this source is compiled into every program that links the
// simulated device under the checker (backend.cmake) and exported from it.
#include <cstdint>
#include <cstdio>

namespace sim {
namespace ptx {
bool race_site_name(uintptr_t pc, const char **func, int *line);
}  // namespace ptx
}  // namespace sim

extern "C" __attribute__((visibility("default"))) bool __tsan_symbolize_external(
    uintptr_t pc, char *func_buf, uintptr_t func_size, char *file_buf, uintptr_t file_size, int *line,
    int *col) {
    const char *func = nullptr;
    if (!sim::ptx::race_site_name(pc, &func, line)) return false;
    std::snprintf(func_buf, func_size, "PTX %s", func);
    std::snprintf(file_buf, file_size, "ptx");
    *col = 0;
    return true;
}
