// knorlmex: the launch command on the SDK. Only its argument-count check is
// here yet; compiling and launching kernels comes with the command itself.
#include "calls.h"

err_t pkrFunction(int, mxArray *[], int nrhs, const mxArray *[]) {
    if (nrhs < 5) return err_set(591, "knorlmex", "wrong number of inputs");
    return err_set(0, "knorlmex", "launch: kernels cannot be compiled by this build yet");
}
