#include "err.h"
#include "host.h"

#include <cstdarg>

err_t _err = {0, "no_file", nullptr};

err_t err_set(int line, const char *file, const char *msg) {
    _err.line = line;
    _err.file = file;
    _err.msg = msg;
    return _err;
}

err_t err_ok() {
    _err.msg = nullptr;
    return _err;
}

err_t err_punt() {
    _err.msg = pkr_punt_msg;
    return _err;
}

namespace {

void vdiag(diag_channel channel, int line, const char *function, const char *format, va_list ap) {
    char text[4096];
    vsnprintf(text, sizeof text, format, ap);
    if (channel == diag_channel::mex_printf)
        mexPrintf("Pelkor:%d(%s) %s\n", line, function, text);
    else
        host_print("Pelkor:%d(%s) %s\n", line, function, text);
}

}  // namespace

void pkr_diag(int line, const char *function, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vdiag(pkr_diag_channel, line, function, format, ap);
    va_end(ap);
}

void pkr_diag_via(diag_channel channel, int line, const char *function, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vdiag(channel, line, function, format, ap);
    va_end(ap);
}
