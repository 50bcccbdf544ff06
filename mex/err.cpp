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

void pkr_diag(int line, const char *function, const char *format, ...) {
    char text[4096];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    host_print("Pelkor:%d(%s) %s\n", line, function, text);
}
