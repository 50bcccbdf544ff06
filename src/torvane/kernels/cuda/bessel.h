// Constant tables of the Bessel kernels, present in every Bessel device module
// (internal linkage: each device file carries its own copy).
//
// C1, C2: Chebyshev coefficients of Temme's auxiliary functions
//   gamma1(mu) = (1/Gamma(1 - mu) - 1/Gamma(1 + mu)) / (2 mu)
//   gamma2(mu) = (1/Gamma(1 - mu) + 1/Gamma(1 + mu)) / 2
// in the variable 8 mu^2 - 1 for |mu| <= 1/2 (the first coefficient counts half).
// G: the power series of 1/Gamma(x) = sum G[k] x^(k+1).
// The single-precision tables are the published ones rounded to float; the
// double kernels read the same values in double precision, with three more
// Chebyshev terms, since seven reach only about 1e-16 of gamma1 and the float
// rounding alone would cost 3e-8 below x = 2. tests/bessel/make_reference.py
// --tables prints them from mpmath.
#pragma once

#include "device/kernel.h"

namespace bessel {

#define TV_BESSEL_C1_HEAD                                                                    \
    -1.1420226803711678406, 0.0065165112670736880645, 0.00030870901730853682431,             \
        -3.470626964904317836e-6, 6.9437664486674495957e-9, 3.6779539885744101652e-11,      \
        -1.3563951023664248708e-13
#define TV_BESSEL_C1_TAIL -3.6802984806357979599e-17, 5.4582162333769858553e-19, -2.4490657477460695608e-22
#define TV_BESSEL_C2_HEAD                                                                    \
    1.843740587300905313, -0.07685284084478667369, 0.0012719271366545622927,                 \
        -4.9717367041957398581e-6, -3.3126119768180852711e-8, 2.4230957900482704055e-10,    \
        -1.7023776642512729175e-13, -1.4943667065169001769e-15
#define TV_BESSEL_C2_TAIL 2.3826220476859635824e-18, 2.9017595056104745456e-21, -6.7735241822398840951e-24
#define TV_BESSEL_G                                                                          \
    1.0, 0.57721566490153286061, -0.65587807152025388108, -0.042002635034095235529,          \
        0.1665386113822914895, -0.042197734555544336748, -0.0096219715278769735621,          \
        0.0072189432466630995424, -0.0011651675918590651121, -0.00021524167411495097282,     \
        0.00012805028238811618615, -0.000020134854780788238656, -1.2504934821426706573e-6,   \
        1.1330272319816958824e-6, -2.0563384169776071035e-7, 6.1160951044814158179e-9,       \
        5.0020076444692229301e-9, -1.1812745704870201446e-9, 1.0434267116911005105e-10,      \
        7.782263439905071254e-12, -3.6968056186422057082e-12, 5.100370287454475979e-13,      \
        -2.0583260535665067832e-14, -5.3481225394230179824e-15, 1.2267786282382607902e-15

static __constant__ float C1[7] = {TV_BESSEL_C1_HEAD};
static __constant__ float C2[8] = {TV_BESSEL_C2_HEAD};
static __constant__ float G[25] = {TV_BESSEL_G};
static __constant__ double C1_64[10] = {TV_BESSEL_C1_HEAD, TV_BESSEL_C1_TAIL};
static __constant__ double C2_64[11] = {TV_BESSEL_C2_HEAD, TV_BESSEL_C2_TAIL};
static __constant__ double G_64[25] = {TV_BESSEL_G};

#undef TV_BESSEL_C1_HEAD
#undef TV_BESSEL_C1_TAIL
#undef TV_BESSEL_C2_HEAD
#undef TV_BESSEL_C2_TAIL
#undef TV_BESSEL_G

// The tables of one precision.
template <class T>
struct tables;
template <>
struct tables<float> {
    static constexpr int n1 = 7, n2 = 8, ng = 25;
    __device__ static const float *c1() { return C1; }
    __device__ static const float *c2() { return C2; }
    __device__ static const float *g() { return G; }
};
template <>
struct tables<double> {
    static constexpr int n1 = 10, n2 = 11, ng = 25;
    __device__ static const double *c1() { return C1_64; }
    __device__ static const double *c2() { return C2_64; }
    __device__ static const double *g() { return G_64; }
};

}  // namespace bessel
