// Controls of the simulated device and of standard output for the launch
// command's end-to-end tests:
//   simdev('inject', kind, count, code, after)   device faults (sim::inject; sim builds only)
//   simdev('capture')                            standard output into a file from here on
//   text = simdev('captured')                    what was printed since, restoring it
#if defined(DEV_BACKEND_SIM)
#include "device/sim/control.h"
#endif

#include <mex.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int saved_stdout = -1;
FILE *capture_file = nullptr;

std::string text(const mxArray *a) {
    char *s = mxArrayToString(a);
    if (!s) mexErrMsgIdAndTxt("simdev:arg", "text expected");
    std::string r(s);
    mxFree(s);
    return r;
}

}  // namespace

void mexFunction(int, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs < 1) mexErrMsgIdAndTxt("simdev:arg", "usage: simdev(command, ...)");
    const std::string c = text(prhs[0]);
    if (c == "inject") {
#if defined(DEV_BACKEND_SIM)
        const std::string kind = text(prhs[1]);
        for (int k = 0; k < int(sim::fault_kind::count_); ++k)
            if (kind == sim::fault_name(sim::fault_kind(k))) {
                sim::inject(sim::fault_kind(k), int(mxGetScalar(prhs[2])),
                            int(mxGetScalar(prhs[3])), nrhs > 4 ? int(mxGetScalar(prhs[4])) : 0);
                return;
            }
        mexErrMsgIdAndTxt("simdev:arg", "unknown fault kind %s", kind.c_str());
#else
        mexErrMsgIdAndTxt("simdev:arg", "faults are injected on the simulated device only");
#endif
    } else if (c == "capture") {
        if (capture_file) mexErrMsgIdAndTxt("simdev:arg", "already capturing");
        fflush(stdout);
        // In $TMPDIR: tmpfile() would need a writable /tmp.
        const char *dir = std::getenv("TMPDIR");
        std::string name = std::string(dir && *dir ? dir : "/tmp") + "/simdev.XXXXXX";
        int fd = mkstemp(&name[0]);
        if (fd < 0) mexErrMsgIdAndTxt("simdev:capture", "no file to capture into");
        unlink(name.c_str());
        capture_file = fdopen(fd, "w+");
        saved_stdout = dup(1);
        dup2(fileno(capture_file), 1);
    } else if (c == "captured") {
        if (!capture_file) mexErrMsgIdAndTxt("simdev:arg", "not capturing");
        fflush(stdout);
        dup2(saved_stdout, 1);
        close(saved_stdout);
        std::string out;
        rewind(capture_file);
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, capture_file)) > 0;)
            out.append(buffer, n);
        fclose(capture_file);
        capture_file = nullptr;
        plhs[0] = mxCreateString(out.c_str());
    } else {
        mexErrMsgIdAndTxt("simdev:arg", "unknown command %s", c.c_str());
    }
}
