// g = gpuArray(x): a GPU array holding numeric or logical data x on the
// device; a GPU array is returned as it is.
#include "control.h"

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs != 1 || nlhs > 1) mexErrMsgIdAndTxt("gpuArray:arg", "usage: g = gpuArray(x)");
    if (m_is_garray(prhs[0])) {
        plhs[0] = mxDuplicateArray(prhs[0]);
        return;
    }
    if (mxIsSparse(prhs[0]) || !(mxIsNumeric(prhs[0]) || mxIsLogical(prhs[0])))
        mexErrMsgIdAndTxt("gpuArray:class", "gpuArray takes full numeric or logical arrays");
    plhs[0] = pelkor::make_garray(prhs[0], 0, 1, 0);
    if (!plhs[0]) mexErrMsgIdAndTxt("gpuArray:memory", "the device cannot hold this array");
}
