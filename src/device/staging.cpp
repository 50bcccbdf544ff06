// The drv_* staging calls on either backend's staged launches.
#include "staging.h"

#include <cstring>

namespace dev {

using staging::limits;
using staging::staged_launch;
using staging::with_staged;

int drv_func_set_block_shape(drv_function function, unsigned x, unsigned y, unsigned z) {
    return with_staged(function, [&](staged_launch &s, const limits &l) {
        if (x == 0 || y == 0 || z == 0 || x > l.max_block[0] || y > l.max_block[1] ||
            z > l.max_block[2] || (unsigned long long)x * y * z > l.max_threads)
            return int(err_invalid_value);
        s.block = dim3(x, y, z);
        return 0;
    }, staging::call::block_shape);
}

int drv_func_set_shared_size(drv_function function, size_t bytes) {
    return with_staged(function, [&](staged_launch &s, const limits &l) {
        if (bytes > l.max_shared) return int(err_invalid_value);
        s.shared = bytes;
        return 0;
    }, staging::call::shared_size);
}

// Values already set within the new size keep their bytes.
int drv_param_set_size(drv_function function, size_t bytes) {
    return with_staged(function, [&](staged_launch &s, const limits &) {
        if (bytes > staging::max_param_bytes) return int(err_invalid_value);
        s.params.resize(bytes, 0);
        return 0;
    }, staging::call::param_size);
}

int drv_param_setf(drv_function function, size_t offset, float value) {
    return drv_param_setv(function, offset, &value, sizeof value);
}

int drv_param_setv(drv_function function, size_t offset, const void *data, size_t bytes) {
    return with_staged(function, [&](staged_launch &s, const limits &) {
        if ((!data && bytes) || offset > s.params.size() || bytes > s.params.size() - offset)
            return int(err_invalid_value);
        if (bytes) std::memcpy(s.params.data() + offset, data, bytes);
        return 0;
    }, staging::call::param_set);
}

int drv_launch_grid(drv_function function, unsigned grid_x, unsigned grid_y) {
    staged_launch s;
    int e = with_staged(function, [&](staged_launch &st, const limits &) {
        s = st;
        return 0;
    }, staging::call::launch);
    if (e) return e;
    return drv_launch(function, dim3(grid_x, grid_y, 1), s.block, unsigned(s.shared),
                      s.params.data(), s.params.size());
}

}  // namespace dev
