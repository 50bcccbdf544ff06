// Per-thread state: every thread, also one started after the library was
// loaded, begins with the default context and a last error of 0.

#include "threads.h"

thread_local thr_context *thrctx = &global_ctx;
thread_local pkrError threrrno = 0;

thr_context *thr_getctx() { return thrctx; }

int thr_setctx(thr_context *ctx) {
    thrctx = ctx;
    return 0;
}

int thr_seterror(pkrError err) {
    threrrno = err;
    return 0;
}
