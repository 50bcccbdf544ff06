#include "params.h"

#include "calls.h"

#include <cmath>
#include <limits>

namespace {

size_t align_up(size_t v, size_t a) { return (v + a - 1) / a * a; }

int64_t to_i64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 0x1p63) return std::numeric_limits<int64_t>::max();
    if (v < -0x1p63) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);
}

template <class U>
U to_size(double v) {
    const int64_t i = to_i64(v);
    if (i < 0 || static_cast<uint64_t>(i) > std::numeric_limits<U>::max())
        return std::numeric_limits<U>::max();
    return static_cast<U>(i);
}

bool real_double(const mxArray *a) {
    return mxGetClassID(a) == mxDOUBLE_CLASS && !mxIsComplex(a) && !mxIsSparse(a);
}

dim3 from_sizes(size_t n, const uint64_t *sizes) {
    if (n < 1 || n > 3) return dim3(1, 1, 1);
    uint32_t v[3] = {1, 1, 1};
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint32_t>(sizes[i]);
    return dim3(v[0], v[1], v[2]);
}

}  // namespace

bool knorl_scalar_arg(const mxArray *a) { return !pkr_garray(a) && pkr_numel(a) == 1; }

size_t param_layout(int n, const mxArray *const *args, std::vector<param_slot> *slots) {
    size_t offset = 0;
    for (int i = 0; i < n; ++i) {
        const bool scalar = knorl_scalar_arg(args[i]);
        offset = align_up(offset, scalar ? sizeof(float) : sizeof(uint64_t));
        if (slots) slots->push_back({offset, scalar});
        offset += scalar ? sizeof(float) : sizeof(uint64_t) + 3 * sizeof(uint32_t);
    }
    return offset;
}

std::string kernel_signature(int n, const mxArray *const *args) {
    std::string s = "kernel_main(";
    for (int i = 0; i < n; ++i) {
        if (i) s += ",";
        s += knorl_scalar_arg(args[i]) ? "float" : "float *, dim3";
    }
    return s + ")";
}

uint32_t size_to_u32(double v) { return to_size<uint32_t>(v); }
size_t size_to_bytes(double v) { return to_size<size_t>(v); }

dim3 m_to_dim3(const mxArray *a) {
    const size_t n = mxGetNumberOfElements(a);
    if (n < 1 || n > 3) return dim3(1, 1, 1);
    const double *p = static_cast<const double *>(mxGetData(a));
    uint32_t v[3] = {1, 1, 1};
    for (size_t i = 0; i < n; ++i) v[i] = size_to_u32(p[i]);
    return dim3(v[0], v[1], v[2]);
}

dim3 size_to_dim3(const mxArray *a) {
    if (pkr_garray(a)) {
        const dim_t *sizes = nullptr;
        const dim_t n = pkr_dims(a, &sizes);
        return from_sizes(n, sizes);
    }
    const size_t n = mxGetNumberOfDimensions(a);
    const mwSize *d = mxGetDimensions(a);
    std::vector<uint64_t> sizes(d, d + n);
    return from_sizes(n, sizes.data());
}

const char *check_launch_args(int nrhs, const mxArray *prhs[], int *line) {
    // Octave's mxGetScalar raises on cells, structs and empty arrays: every
    // value read later is checked here.
    if (!mxIsChar(prhs[0]) || !real_double(prhs[1]) || !real_double(prhs[2]) ||
        !(mxIsNumeric(prhs[3]) || mxIsLogical(prhs[3])) || mxIsComplex(prhs[3]) ||
        mxIsSparse(prhs[3]) || mxGetNumberOfElements(prhs[3]) != 1) {
        *line = 598;
        return "launch(kernel, grid, threads, smem, ...): kernel must be text, grid and threads "
               "real double arrays, smem a real number";
    }
    for (int i = 4; i < nrhs; ++i)
        if (!pkr_garray(prhs[i]) && !mxIsNumeric(prhs[i]) && !mxIsLogical(prhs[i])) {
            *line = 599;
            return "launch(kernel, grid, threads, smem, ...): kernel arguments must be numeric or "
                   "logical arrays or GPU arrays";
        }
    return nullptr;
}
