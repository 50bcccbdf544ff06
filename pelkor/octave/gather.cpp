// x = gather(g): the values of GPU array g read back from the device, of its
// class and size; anything else is returned as it is.
#include "control.h"

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs != 1 || nlhs > 1) mexErrMsgIdAndTxt("gather:arg", "usage: x = gather(g)");
    if (!m_is_garray(prhs[0])) {
        plhs[0] = mxDuplicateArray(prhs[0]);
        return;
    }
    err_t e{};
    plhs[0] = pelkor::read_back(prhs[0], &e);
    if (!plhs[0]) mexErrMsgIdAndTxt("gather:read", "%s (%s:%d)", e.msg, e.file, e.line);
}
