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

struct entry {
    int code;
    const char *text;
};

const entry driver_texts[] = {
    {1, "invalid value"},
    {2, "out of memory"},
    {3, "not initialized"},
    {4, "deinitialized"},
    {100, "no device"},
    {101, "invalid device"},
    {201, "invalid context"},
    {202, "context already current"},
    {205, "map failed"},
    {206, "unmap failed"},
    {207, "array is mapped"},
    {208, "already mapped"},
    {209, "no binary for this GPU"},
    {210, "already acquired"},
    {211, "not mapped"},
    {300, "invalid source"},
    {301, "file not found"},
    {400, "invalid handle"},
    {500, "not found"},
    {600, "not ready"},
    {700, "launch failed"},
    {701, "insufficient resources"},
    {702, "timeout"},
    {703, "bad texturing"},
};

const entry cufft_texts[] = {
    {1, "invalid plan"},   {2, "allocation failed"}, {3, "invalid type"}, {4, "invalid value"},
    {5, "internal error"}, {6, "execution failed"},  {7, "setup failed"}, {8, "invalid size"},
};

template <int N>
const char *lookup(const entry (&table)[N], int code) {
    for (const entry &e : table)
        if (e.code == code) return e.text;
    return "unknown";
}

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

const char *pkr_cu_error_string(int code) { return lookup(driver_texts, code); }
const char *pkr_cufft_error_string(int code) { return lookup(cufft_texts, code); }
