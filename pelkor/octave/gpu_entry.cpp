// h = gpu_entry(3): the engine handle in the first word of a uint64 scalar,
// as MEX modules built on the SDK ask for it.
#include "control.h"

#include <cstdint>

void mexFunction(int, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs != 1 || !mxIsNumeric(prhs[0]) || mxGetNumberOfElements(prhs[0]) != 1 ||
        mxGetScalar(prhs[0]) != 3)
        mexErrMsgIdAndTxt("gpu_entry:arg", "gpu_entry expects 3");
    plhs[0] = mxCreateNumericMatrix(1, 1, mxUINT64_CLASS, mxREAL);
    *static_cast<uint64_t *>(mxGetData(plhs[0])) = reinterpret_cast<uint64_t>(pelkor::engine());
}
