// Error texts, the thread-state entry points and the context callbacks.

#include "threads.h"

namespace {

// A context callback pair binds a context to one memory type of the manager.
template <int Type>
void *mm_take(size_t bytes) {
    void *p = nullptr;
    return mmalloc(bytes, Type, &p) == 0 ? p : nullptr;
}

template <int Type>
int mm_give(void *block) {
    return mmfree(Type, block) == 0 ? 0 : -1;
}

constexpr auto iso_mmallocG = &mm_take<MM_VIDEO_RAM>;
constexpr auto iso_mmfreeG = &mm_give<MM_VIDEO_RAM>;
constexpr auto mmallocC = &mm_take<MM_SYSTEM_RAM>;
constexpr auto mmfreeC = &mm_give<MM_SYSTEM_RAM>;
constexpr auto mmallocS = &mm_take<MM_PCI_SHARED>;
constexpr auto mmfreeS = &mm_give<MM_PCI_SHARED>;

const char *const error_texts[] = {
    "No error",
    "Out of memory",
    "Permission denied",
    "Bad address",
    "Invalid argument",
    "No hardware support",
    "Operation (parameter types) unsupported",
    "I/O error (processing hw/lib exception)",
    "(unsupported)",
    "Unsupported Mixed Type Arguments",
};

// A new context record in host memory ("System RAM"): host code fills it and
// reads it, also for a GPU context.
thr_context *new_record() {
    void *p = nullptr;
    if (mmalloc(sizeof(thr_context), MM_SYSTEM_RAM, &p) != 0 || !p) return nullptr;
    return static_cast<thr_context *>(p);
}

}  // namespace

thr_context global_ctx = {1, iso_mmallocG, iso_mmfreeG};

const char *pkr_strerror(pkrError err) {
    const auto code = static_cast<uint32_t>(err);
    return code < sizeof error_texts / sizeof *error_texts ? error_texts[code] : "(unknown)";
}

int torvane_last_error(pkrError *err) {
    *err = threrrno;
    return 0;
}

int torvane_clear_error(void) {
    threrrno = 0;
    return 0;
}

pkrError torvane_thr_init(int type, const thr_options *opts) {
    static const thr_options zeros = {};
    if (!opts) opts = &zeros;
    if ((opts->alloc == nullptr) != (opts->free == nullptr)) return 4;
    // Only bit 0 of the lowest-addressed byte of `flags` counts.
    const bool host_ram = *reinterpret_cast<const unsigned char *>(&opts->flags) & 1;

    if (type == 0) {
        thr_context *ctx = new_record();
        if (!ctx) {
            thr_seterror(1);
            return 1;
        }
        ctx->type = 0;
        ctx->alloc = opts->alloc ? opts->alloc : host_ram ? mmallocC : mmallocS;
        ctx->free = opts->free ? opts->free : host_ram ? mmfreeC : mmfreeS;
        thr_setctx(ctx);  // an earlier record is not released
        return 0;
    }
    if (type != 1 || host_ram) {
        thr_seterror(4);
        return 4;
    }
    thr_context *ctx = new_record();
    if (!ctx) {
        thr_seterror(1);
        return 1;
    }
    ctx->type = 1;
    ctx->alloc = opts->alloc ? opts->alloc : iso_mmallocG;
    ctx->free = opts->free ? opts->free : iso_mmfreeG;
    thr_setctx(ctx);
    thr_seterror(0);
    return 0;
}

pkrError torvane_thr_stop(void) {
    thr_context *ctx = thr_getctx();
    if (!ctx) return 3;  // nothing to release, nothing changes
    pkrError result;
    switch (ctx->type) {
    case 0:
        mmfree(MM_SYSTEM_RAM, ctx);
        result = 0;
        break;
    case 1:
        // GPU records live in host memory too; the default context is no block
        // of the manager, so its release fails.
        result = mmfree(MM_SYSTEM_RAM, ctx) == 0 ? 0 : 3;
        break;
    default: result = 3; break;
    }
    thr_setctx(nullptr);
    return result;
}
