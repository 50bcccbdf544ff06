#pragma once

#include <cstddef>

// smoke_kernels.cu
int smoke_launch(float *out, int n);
int smoke_bind(size_t *offset, const float *data, size_t bytes);
