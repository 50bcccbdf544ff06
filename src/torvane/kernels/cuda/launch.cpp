// The launch sequence of the special functions and array kernels.
#include "launch.h"

namespace launch {

pkrError map_cuda_error(int e) {
    switch (e) {
    case 0: return 0;
    case dev::err_memory_allocation: return 1;
    case dev::err_no_device:
    case dev::err_no_binary_for_gpu: return 5;
    default: return 7;
    }
}

namespace detail {
namespace {

pkrError conclude(policy p, pkrError code) {
    if (p.store == storing::always || code != 0) thr_seterror(code);
    return code;
}

bool grid_fits(const shape &s) {
    return s.grid_x >= 1 && s.grid_x <= max_grid && s.grid_y >= 1 && s.grid_y <= max_grid;
}

}  // namespace

bool begin(policy p, const shape &s, pkrError *code) {
    int e = dev::get_last_error();
    if (e != 0 && p.before == pending::cancels) {
        *code = conclude(p, map_cuda_error(e));
        return false;
    }
    if (!grid_fits(s)) {
        *code = conclude(p, map_cuda_error(dev::err_invalid_configuration));
        return false;
    }
    return true;
}

pkrError finish(policy p) { return conclude(p, map_cuda_error(dev::get_last_error())); }

}  // namespace detail
}  // namespace launch
