// The corpus kernels compiled from CUDA source (corpus_kernels.cu).
#pragma once

#include "device/kernel.h"

extern "C" {
__global__ void corpus_saxpy(float a, float *x, float *y, int n);
__global__ void corpus_index2d(float *out, dim3 oshape, const float *in, dim3 ishape);
__global__ void corpus_reduce(const float *x, int n, float *partial, unsigned *total);
__global__ void corpus_atomics(int *ia, unsigned *ua, float *fa, double *da, unsigned long long *la,
                               int *old);
__global__ void corpus_warp(const int *x, int *out);
__global__ void corpus_match(const int *key, const long long *wide, unsigned *any_mask, unsigned *all_mask,
                             int *all_pred, unsigned *wide_mask);
__global__ void corpus_waits(int mode, unsigned *flags, unsigned *out);
__global__ void corpus_warpmasks(int mode, int *out);
}
