// The corpus kernels whose CUDA source the backend compiles itself, under
// names of their own: the references of corpus_test.cu.
#include "device/kernel.h"

#define kernel_main corpus_saxpy
#include "corpus/saxpy.cu"
#undef kernel_main
#define kernel_main corpus_index2d
#include "corpus/index2d.cu"
#undef kernel_main
#define kernel_main corpus_reduce
#include "corpus/reduce.cu"
#undef kernel_main
#define kernel_main corpus_atomics
#include "corpus/atomics.cu"
#undef kernel_main
#define kernel_main corpus_warp
#include "corpus/warp.cu"
#undef kernel_main
#define kernel_main corpus_match
#include "corpus/match.cu"
#undef kernel_main
#define kernel_main corpus_waits
#include "corpus/waits.cu"
#undef kernel_main
#define kernel_main corpus_warpmasks
#include "corpus/warpmasks.cu"
#undef kernel_main
