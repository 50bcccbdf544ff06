// Library-internal view of the runtime core: the per-thread state that the
// operations use. Not installed.
#pragma once

#include "torvane.h"

// The calling thread's context (null after torvane_thr_stop).
thr_context *thr_getctx();
int thr_setctx(thr_context *ctx);
// Stores `err` as the calling thread's last error, 0 included.
int thr_seterror(pkrError err);

// The last error as torvane_last_error reads it, or 3 should that call fail.
// Static, so every source file of the library has its own copy.
static inline pkrError thr_geterror() {
    pkrError e = 0;
    return torvane_last_error(&e) == 0 ? e : 3;
}
