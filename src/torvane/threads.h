// Per-thread state of the runtime core: the thread's context and last error.
// Not installed.
#pragma once

#include "runtime.h"

// The process-wide default context; nothing writes it.
extern thr_context global_ctx;

// Read and written only by the thr_ accessors and the torvane_ entry points.
extern thread_local thr_context *thrctx;
extern thread_local pkrError threrrno;
