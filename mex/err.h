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

// Where diagnostics go: standard output, or the host's command window through
// mexPrintf, as the Windows builds print them.
enum class diag_channel { standard_output, mex_printf };
#if defined(_WIN32)
constexpr diag_channel pkr_diag_channel = diag_channel::mex_printf;
#else
constexpr diag_channel pkr_diag_channel = diag_channel::standard_output;
#endif

// A diagnostic line, "Pelkor:<line>(<function>) <text>\n", on this build's channel.
void pkr_diag(int line, const char *function, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void pkr_diag_via(diag_channel channel, int line, const char *function, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// Texts of CUDA driver and cuFFT result codes, for the messages of every
// module built on the SDK; "unknown" for a code the table does not hold, 0
// included. The driver and cuFFT export functions of their own for this, so
// these carry the SDK's prefix.
const char *pkr_cu_error_string(int code);
const char *pkr_cufft_error_string(int code);
