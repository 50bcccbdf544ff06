#include "host.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#if defined(PKR_HOST_OCTAVE)

// Octave has no shared copies: an input of a MEX call is private to it, so a
// deep copy serves, and there is nothing to unshare.
mxArray *host_shared_data_copy(const mxArray *a) { return mxDuplicateArray(a); }
mxArray *host_shared_copy(const mxArray *a) { return mxDuplicateArray(a); }
void host_unshare(mxArray *) {}

// mexEvalString does not run "!" there; system() does and returns the status.
int host_shell(const char *command) {
    mxArray *in = mxCreateString(command);
    mxArray *out[1] = {nullptr};
    int r = mexCallMATLAB(1, out, 1, &in, "system");
    mxDestroyArray(in);
    if (r != 0 || !out[0]) return -1;
    int status = static_cast<int>(host_scalar(out[0]));
    mxDestroyArray(out[0]);
    return status;
}

#else

extern "C" {
mxArray *mxCreateSharedDataCopy(const mxArray *a);
mxArray *mxCreateSharedCopy(const mxArray *a);
void mxUnshareShallow(mxArray *a);
}

mxArray *host_shared_data_copy(const mxArray *a) { return mxCreateSharedDataCopy(a); }
mxArray *host_shared_copy(const mxArray *a) { return mxCreateSharedCopy(a); }
void host_unshare(mxArray *a) { mxUnshareShallow(a); }

int host_shell(const char *command) {
    std::string line = std::string("! ") + command;
    return mexEvalString(line.c_str());
}

#endif

double host_scalar(const mxArray *a) {
    if (!a || mxGetNumberOfElements(a) == 0) return 0;
    if (!mxIsNumeric(a) && !mxIsLogical(a) && !mxIsChar(a)) return 0;
    return mxGetScalar(a);
}

void host_print(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
    fflush(stdout);
}
