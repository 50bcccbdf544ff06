// The kernel tables of the Bessel functions, one pair per function: slot 0
// the real-argument kernel, slot 1 the complex-argument one. The tables live
// in the device files (<function>_double.cu, <function>_single.cu).
#pragma once

namespace bessel {

// The record of the J kernels: 8-byte pointers make it 24 bytes.
struct param_t {
    void *out;
    const void *in;
    float nu;
    unsigned n;
};

// (result, argument, order, n) and, for H, (result, argument, order, kind, n).
template <class T>
using kernel_fn = void (*)(void *, const void *, T, unsigned);
template <class T>
using kind_kernel_fn = void (*)(void *, const void *, T, unsigned, unsigned);
using record_kernel_fn = void (*)(param_t);

extern const kind_kernel_fn<double> besselh_64_fn[2];
extern const kind_kernel_fn<float> besselh_32_fn[2];
extern const kernel_fn<double> besseli_64_fn[2];
extern const kernel_fn<float> besseli_32_fn[2];
extern const record_kernel_fn besselj_64_fn[2];
extern const record_kernel_fn besselj_32_fn[2];
extern const kernel_fn<double> besselk_64_fn[2];
extern const kernel_fn<float> besselk_32_fn[2];
extern const kernel_fn<double> bessely_64_fn[2];
extern const kernel_fn<float> bessely_32_fn[2];

}  // namespace bessel
