// A module built on the SDK for the end-to-end tests: each command runs one
// SDK sequence inside a MEX call, so that Octave sees what the SDK builds.
//   sdkprobe('new', sizes, class, complex, tesk)        one new output
//   sdkprobe('offset', sizes, class, tesk)              two outputs in one buffer
//   sdkprobe('write', g, value)                         fills output-or-input g on the host
//   sdkprobe('fill', sizes, value)                      new single output written through pkr_mem_host
//   sdkprobe('cast', a, class)                          pkr_cast
//   sdkprobe('wrap', a)                                 pkr_wrap
//   sdkprobe('punt', op, left, right)                   a new 1x1 single output punted
//   sdkprobe('dup', a)                                  call_duplicate, then the copy's contents doubled
//   sdkprobe('link', sizes)                             output given a temporary's storage
//   [a, b] = sdkprobe('link_pair', which)               a 2x2 single pair of 1s and 2s; a temporary
//                                                       of 7s linked into a (1) or b (2)
//   [d, f] = sdkprobe('texts', driver, cufft)           the SDK's texts of a driver and a cuFFT code, printed
//   sdkprobe('fail', line, in...)                       inputs accessed, then an error returned
//   sdkprobe('raise', in...)                            inputs accessed, then 21 outputs
//   sdkprobe('shell', command)                          exit status of a shell command
#include "calls.h"
#include "device/device.h"
#include "host.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<dim_t> sizes_of(const mxArray *a) {
    std::vector<dim_t> s;
    const double *p = mxGetPr(a);
    for (size_t i = 0; i < mxGetNumberOfElements(a); ++i) s.push_back(static_cast<dim_t>(p[i]));
    return s;
}

mxClassID class_named(const mxArray *a) {
    char name[32] = {0};
    mxGetString(a, name, sizeof name);
    return std::strcmp(name, "double") == 0 ? mxDOUBLE_CLASS
           : std::strcmp(name, "int8") == 0 ? mxINT8_CLASS
                                            : mxSINGLE_CLASS;
}

// Writes `value` into every element of `a` (single or double, real part).
err_t fill(const mxArray *a, double value) {
    void *h = nullptr;
    err_t e = pkr_mem_host(&h, a);
    if (err_failed(e)) return e;
    for (dim_t i = 0; i < pkr_numel(a); ++i) {
        if (pkr_class(a) == mxDOUBLE_CLASS) static_cast<double *>(h)[i * (pkr_complex(a) ? 2 : 1)] = value;
        else static_cast<float *>(h)[i * (pkr_complex(a) ? 2 : 1)] = static_cast<float>(value);
    }
    return err_ok();
}

}  // namespace

err_t pkrFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    char command[32] = {0};
    if (nrhs < 1 || mxGetString(prhs[0], command, sizeof command) != 0)
        return err_set(1, "sdkprobe", "usage: sdkprobe(command, ...)");
    std::string c = command;
    if (c == "new") {
        std::vector<dim_t> s = sizes_of(prhs[1]);
        plhs[0] = pkr_new_array_N(s.size(), s.data(), class_named(prhs[2]), mxGetScalar(prhs[3]) != 0,
                                  static_cast<unsigned>(mxGetScalar(prhs[4])));
        return err_ok();
    }
    if (c == "offset") {
        std::vector<dim_t> s = sizes_of(prhs[1]);
        mxArray *second = nullptr;  // plhs has room for nlhs outputs, at least one
        err_t e = pkr_new_offset(&plhs[0], &second, s.size(), s.data(), class_named(prhs[2]), false,
                                 static_cast<unsigned>(mxGetScalar(prhs[3])));
        if (nlhs > 1) plhs[1] = second;
        return e;
    }
    if (c == "write") return fill(prhs[1], mxGetScalar(prhs[2]));
    if (c == "fill") {
        std::vector<dim_t> s = sizes_of(prhs[1]);
        plhs[0] = pkr_new_array(s.size(), s.data(), mxSINGLE_CLASS, false);
        return fill(plhs[0], mxGetScalar(prhs[2]));
    }
    if (c == "cast") {
        plhs[0] = pkr_cast(prhs[1], class_named(prhs[2]));
        return err_ok();
    }
    if (c == "wrap") {
        plhs[0] = pkr_wrap(prhs[1]);
        return err_ok();
    }
    if (c == "punt") {
        plhs[0] = pkr_new(1, 1, mxSINGLE_CLASS, false);
        return pkr_punt(static_cast<int>(mxGetScalar(prhs[1])), plhs[0], nrhs > 2 ? prhs[2] : nullptr,
                        nrhs > 3 ? prhs[3] : nullptr);
    }
    if (c == "dup") {
        err_t e = call_duplicate(&plhs[0], prhs[1]);
        if (err_failed(e)) return e;
        void *h = nullptr;
        e = pkr_mem_host(&h, plhs[0]);
        if (err_failed(e)) return e;
        for (dim_t i = 0; i < pkr_numel(plhs[0]); ++i) static_cast<float *>(h)[i] *= 2;
        return err_ok();
    }
    if (c == "link") {
        std::vector<dim_t> s = sizes_of(prhs[1]);
        plhs[0] = pkr_new_array(s.size(), s.data(), mxSINGLE_CLASS, false);
        uint64_t d = 0, t = 0;
        err_t e = pkr_mem(&d, plhs[0]);
        if (!err_failed(e)) e = pkr_alloc(&t, static_cast<uint32_t>(pkr_numel(plhs[0]) * 4));
        if (!err_failed(e)) e = pkr_link(plhs[0], t);
        if (!err_failed(e)) e = pkr_link(plhs[0], d);  // no temporary: refused, nothing changed
        return e;
    }
    if (c == "link_pair") {
        const dim_t sizes[] = {2, 2};
        mxArray *pair[2] = {nullptr, nullptr};
        err_t e = pkr_new_offset(&pair[0], &pair[1], 2, sizes, mxSINGLE_CLASS, false, 0);
        plhs[0] = pair[0];
        if (nlhs > 1) plhs[1] = pair[1];
        for (int k = 0; k < 2 && !err_failed(e); ++k) {
            void *h = nullptr;
            e = pkr_mem_host(&h, pair[k]);
            if (!err_failed(e)) std::fill_n(static_cast<float *>(h), 4, float(k + 1));
        }
        uint64_t t = 0;
        if (!err_failed(e)) e = pkr_alloc(&t, 16);
        const float sevens[4] = {7, 7, 7, 7};
        if (!err_failed(e) && dev::memcpy_htod(reinterpret_cast<void *>(t), sevens, sizeof sevens) != 0)
            return err_set(3, "sdkprobe", "cannot write the temporary");
        const int which = static_cast<int>(mxGetScalar(prhs[1])) == 2 ? 1 : 0;
        return err_failed(e) ? e : pkr_link(pair[which], t);
    }
    if (c == "texts") {
        const char *d = pkr_cu_error_string(static_cast<int>(mxGetScalar(prhs[1])));
        const char *f = pkr_cufft_error_string(static_cast<int>(mxGetScalar(prhs[2])));
        mexPrintf("driver: %s\ncufft: %s\n", d, f);
        plhs[0] = mxCreateString(d);
        if (nlhs > 1) plhs[1] = mxCreateString(f);
        return err_ok();
    }
    if (c == "fail" || c == "raise") {
        uint64_t d = 0;
        plhs[0] = pkr_new(2, 2, mxSINGLE_CLASS, false);
        err_t e = pkr_mem(&d, plhs[0]);
        for (int i = c == "fail" ? 2 : 1; i < nrhs && !err_failed(e); ++i) e = pkr_mem(&d, prhs[i]);
        if (!err_failed(e)) e = pkr_alloc(&d, 64);
        if (err_failed(e)) return e;
        if (c == "fail") return err_set(static_cast<int>(mxGetScalar(prhs[1])), "sdkprobe", "failed on purpose");
        for (int i = 0; i < 21; ++i) pkr_new(1, 1, mxSINGLE_CLASS, false);
        return err_ok();
    }
    if (c == "shell") {
        char *cmd = mxArrayToString(prhs[1]);
        int status = host_shell(cmd);
        mxFree(cmd);
        plhs[0] = mxCreateDoubleScalar(status);
        return err_ok();
    }
    return err_set(2, "sdkprobe", "unknown command");
}
