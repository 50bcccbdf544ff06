// The error triple of the SDK: every operation that can fail returns one by
// value, and the module's entry returns one to mexFunction.
#pragma once

#include <cstdio>

struct err_t {
    int line;          // source line of the error site; doubles as the error's number
    const char *file;  // "calls" for the SDK runtime, "knorlmex" for the launch command
    const char *msg;   // null: success; pkr_punt_msg: handed to the engine as an expression
};

// The message value of a punt.
#define pkr_punt_msg (reinterpret_cast<const char *>(1))

inline bool err_failed(const err_t &e) { return e.msg != nullptr; }
inline bool err_is_punt(const err_t &e) { return e.msg == pkr_punt_msg; }

// The process-wide last triple; every site stores into it and returns a copy.
extern err_t _err;

err_t err_set(int line, const char *file, const char *msg);
// Success keeps the line and file of the last error.
err_t err_ok();
err_t err_punt();

// A diagnostic line, "Pelkor:<line>(<function>) <text>\n", on standard output.
void pkr_diag(int line, const char *function, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
