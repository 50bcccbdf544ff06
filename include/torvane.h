/* torvane: GPU kernels with their own memory pools and per-thread error state.
 * The C entry points of the library, exported under plain, unmangled names. */
#ifndef TORVANE_H
#define TORVANE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(__GNUC__)
#define TORVANE_API __attribute__((visibility("default")))
#else
#define TORVANE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result code of every operation: 0 success; pkr_strerror gives the text. */
typedef int32_t pkrError;

/* Memory types of the memory manager. */
enum { MM_SYSTEM_RAM = 0, MM_VIDEO_RAM = 1, MM_PCI_SHARED = 2 };

/* A thread's context: where the library takes temporary buffers from. */
typedef struct thr_context {
    int32_t type;                 /* 0 host, 1 GPU; also the memory type of the record */
    void *(*alloc)(size_t bytes); /* null on failure */
    int (*free)(void *block);     /* 0 when released */
} thr_context;

/* Options of torvane_thr_init; a null pointer stands for all zeros. */
typedef struct thr_options {
    uint32_t flags;               /* bit 0: host context in "System RAM" (else "PCI Shared") */
    void *(*alloc)(size_t bytes); /* both given or both null */
    int (*free)(void *block);
} thr_options;

/* Device memory statistics (mmallocstats). */
typedef struct mmstats {
    uint64_t total; /* device memory */
    uint64_t live;  /* used, less the allocator's idle capacity */
    uint64_t used;  /* total less free */
} mmstats;

/* Memory manager: 0 success, -1 failure. Not thread-safe: callers that
 * allocate from several threads serialise their calls. A request of 0 bytes
 * is served as one of 1 byte. mmfree refuses (-1, nothing changed) a pointer
 * it did not hand out, a block already freed and a pointer into a block. */
TORVANE_API int mmalloc(size_t size, int type, void **out);
TORVANE_API int mmcalloc(size_t size, int type, void **out);
TORVANE_API int mmfree(int type, void *ptr);
TORVANE_API int mmreclaim(int type);
TORVANE_API int mmallocstats(mmstats *st);
TORVANE_API int mmallocinfo(FILE *f, int type);
TORVANE_API int mmallocinfoall(FILE *f);

/* Thread state and error texts. A context record, GPU contexts' included,
 * lies in "System RAM"; torvane_thr_stop gives it back there and returns 3 for
 * the default context (which it leaves alone) and for a thread without one. */
TORVANE_API pkrError torvane_thr_init(int type, const thr_options *opts);
TORVANE_API pkrError torvane_thr_stop(void);
TORVANE_API int torvane_last_error(pkrError *err);
TORVANE_API int torvane_clear_error(void);
TORVANE_API const char *pkr_strerror(pkrError err);

#ifdef __cplusplus
}
#endif

#endif
