// Texts of CUDA driver and cuFFT result codes for the module's messages. The
// driver exports a cuGetErrorString of its own, so these carry other names.
#pragma once

// "unknown" for any code the table does not hold, 0 included.
const char *knorl_cu_error_string(int code);
// For modules built on the SDK; "unknown" likewise.
const char *knorl_cufft_error_string(int code);
