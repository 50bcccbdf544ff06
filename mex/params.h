// The launch command's arguments: their checks, the launch sizes they give,
// and the kernel parameter block they make.
//
// The block is laid out as the 64-bit kernel ABI lays out kernel_main's
// parameters: a scalar argument is a float (4 bytes, 4-aligned); any other
// argument a float * (8 bytes, 8-aligned) and a dim3 of its sizes (12 bytes,
// 4-aligned). So (3.5, a 4 x 5 array) is float at 0, pointer at 8, dim3 at
// 16: 28 bytes.
#pragma once

#include "device/devtypes.h"

#include <mex.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One element and no GPU array: passed as its value.
bool knorl_scalar_arg(const mxArray *a);

struct param_slot {
    size_t offset;
    bool scalar;  // a float; else the address, and the dim3 at offset + 8
};
// The block's size; the slots of the n arguments when asked for.
size_t param_layout(int n, const mxArray *const *args, std::vector<param_slot> *slots = nullptr);
// "kernel_main(float,float *, dim3)" for (scalar, array).
std::string kernel_signature(int n, const mxArray *const *args);

// A size from a MATLAB double, through a 64-bit integer: NaN gives 0, and a
// value below 0 or above the type's range its largest value, which the driver
// refuses.
uint32_t size_to_u32(double v);
size_t size_to_bytes(double v);
// One to three values of a double array as a shape; any other count (1, 1, 1).
dim3 m_to_dim3(const mxArray *a);
// The sizes of an array with one to three dimensions, each cut to 32 bits;
// any other count (1, 1, 1).
dim3 size_to_dim3(const mxArray *a);

// The message of the launch form's first bad argument, with its line; null
// when every argument can be read.
const char *check_launch_args(int nrhs, const mxArray *prhs[], int *line);
