// The few places where MATLAB and GNU Octave differ for this module. Everything
// else is the standard MEX API.
#pragma once

#include <mex.h>

// A copy of an array that may share its data (MATLAB shares; Octave copies).
mxArray *host_shared_data_copy(const mxArray *a);
// A copy of an array that shares its contents with it.
mxArray *host_shared_copy(const mxArray *a);
// Makes an input's top level its own, so that changing it leaves the caller's
// variable as it was.
void host_unshare(mxArray *a);
// Runs a command in the operating system's shell; its exit status, or -1 when
// the host could not run it.
int host_shell(const char *command);
// One value of a numeric, logical or character array; 0 for anything else
// (Octave raises on cells, structs and empty arrays, MATLAB does not).
double host_scalar(const mxArray *a);
// Text on standard output, flushed.
void host_print(const char *format, ...) __attribute__((format(printf, 1, 2)));
