// Kernel execution of the simulated device.
//
// A grid's blocks are handed out by an atomic counter to a persistent pool of
// host threads (the launching thread takes part). One block runs wholly on
// one host thread: each of its threads is a fiber (Boost.Context fcontext on a
// pooled, reused stack). The scheduler always resumes the ready fiber that
// comes first in the chosen thread order, and runs it until it reaches a
// barrier, a warp collective or its end. A warp collective completes as soon
// as its last participant arrives, and its lanes are ready at once: so in
// forward order warp 0 runs through its warp collectives up to its next
// __syncthreads before warp 1 starts, and a __syncwarp that should have been
// a block barrier gives a wrong result. When every live thread waits at the
// block barrier it is released. Threads that exited count as arrived.
#include "internal.h"
#include "ptx/module.h"
#include "simkernel.h"

#include <boost/context/detail/fcontext.hpp>

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#define SIM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_ASAN 1
#endif
#endif
#if SIM_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
// This file itself is not instrumented by the race checker (its bookkeeping
// between fibers is no part of the kernels' memory model): it only marks the
// kernels' happens-before edges.
#if SIMDEV_TSAN
#include <sanitizer/tsan_interface.h>
#define SIM_RACE_RELEASE(p) __tsan_release(p)
#define SIM_RACE_ACQUIRE(p) __tsan_acquire(p)
// The scheduler's own locks and caches, which the host threads share, order
// nothing of the kernels' for the checker.
extern "C" void AnnotateIgnoreSyncBegin(const char *file, int line);
extern "C" void AnnotateIgnoreSyncEnd(const char *file, int line);
extern "C" void AnnotateIgnoreReadsBegin(const char *file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char *file, int line);
extern "C" void AnnotateIgnoreWritesBegin(const char *file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char *file, int line);
struct race_unseen {
    race_unseen() {
        AnnotateIgnoreSyncBegin("", 0), AnnotateIgnoreReadsBegin("", 0), AnnotateIgnoreWritesBegin("", 0);
    }
    ~race_unseen() {
        AnnotateIgnoreWritesEnd("", 0), AnnotateIgnoreReadsEnd("", 0), AnnotateIgnoreSyncEnd("", 0);
    }
};
#define SIM_RACE_UNSEEN race_unseen race_unseen_
#else
#define SIM_RACE_RELEASE(p) ((void)(p))
#define SIM_RACE_ACQUIRE(p) ((void)(p))
#define SIM_RACE_UNSEEN (void)0
#endif
#include <ctime>
#include <mutex>

namespace bctx = boost::context::detail;

namespace sim {
namespace detail {

__thread exec_state tl_exec;

namespace {

// Room for kernels with moderate local arrays; instrumented frames are larger.
#if SIM_ASAN
constexpr size_t stack_bytes = 512 * 1024;
#else
constexpr size_t stack_bytes = 128 * 1024;
#endif

// st_deferred: a thread that may spin runs again once no other can.
// st_fault: a thread that made its launch fail; its block is abandoned.
enum : unsigned char { st_ready, st_barrier, st_warp, st_active, st_deferred, st_done, st_fault };

struct fiber : thread_rec {
    bctx::fcontext_t ctx;
    char *stack_lo;  // usable stack, above the guard page
    unsigned char state;
    // Warp collective, barrier or active-mask query in progress.
    int mode, b, c;
    unsigned mask, group;
    unsigned long long value, result;
    const char *site;
    // Race checker: collectives this lane took part in, and at completion
    // the parity of each group lane's release object.
    unsigned collectives, parities;
    // The last atomic or load it yielded at, and whether it found there what
    // it had found the time before (a spin, not progress).
    const void *spin_addr;
    unsigned long long spin_value;
    bool spun;
#if SIM_ASAN
    void *fake_stack;
#endif
#if SIMDEV_TSAN
    void *race_fiber;
#endif
};

// What the watchdog sees of a host thread that runs blocks: a count of
// fiber switches and the thread's CPU clock. A thread that keeps the CPU
// busy without a switch is a fiber that never yields: lack of progress is
// judged on CPU time, so a machine under load does not make it fire.
struct watch_rec {
    std::atomic<uint64_t> switches{0};
    std::atomic<const launch_job *> job{nullptr};
    std::atomic<uint64_t> block{0};
    std::atomic<unsigned> thread{0};
    std::atomic<bool> spinning{false};  // its block's threads only spin, waiting for other blocks
    clockid_t cpu{};
    bool has_cpu = false;
    bool stopping = false;  // the watchdog stopped its PTX thread
    // The watchdog's own view.
    uint64_t seen = 0;
    double idle_since = -1;  // CPU seconds at the last switch seen
};

std::mutex watch_m;
std::vector<watch_rec *> &watched() {
    static auto *v = new std::vector<watch_rec *>;  // outlives every thread
    return *v;
}
std::atomic<unsigned> watchdog_seconds{0};

void watch_register(watch_rec *w);
void *catch_faults();
void release_alt_stack(void *p);
constexpr size_t alt_stack_bytes = 64 * 1024;
void watch_unregister(watch_rec *w) {
    std::lock_guard<std::mutex> lock(watch_m);
    auto &v = watched();
    v.erase(std::remove(v.begin(), v.end(), w), v.end());
}

size_t page_bytes() {
    static const size_t p = size_t(sysconf(_SC_PAGESIZE));
    return p;
}

// The fibers of the host thread, reused by every block it runs.
struct executor {
    std::vector<fiber> fibers;
    std::vector<unsigned> perm;  // thread at each place of the order
    std::vector<unsigned> place;  // place of each thread in the order
    std::vector<uint64_t> ready;  // ready threads, one bit per place
    struct warp_rec {
        unsigned waiting, done;  // lanes in a warp collective, lanes that exited
        unsigned active;         // lanes in an active-mask query
    };
    std::vector<warp_rec> warps;
    std::vector<std::pair<void *, size_t>> chunks;  // stack mappings
    unsigned count = 0;  // threads of the running block
    bctx::fcontext_t sched = nullptr;
    launch_job *job = nullptr;
    uint64_t rng = 0;
    unsigned phase = 0;  // block barriers passed
    // Release objects of the race checker: one per barrier parity, two per
    // lane; block_start orders what the scheduler did before a block (and so
    // the blocks it ran before on this host thread) before the block's
    // threads, block_end the threads before what the scheduler does after.
    char barrier_sync[2], block_start, block_end;
    std::vector<char> lane_sync;
    std::vector<unsigned> deferred;  // threads that yielded at an atomic
    std::chrono::steady_clock::time_point wait_start;  // since its threads only spin
    std::string error;  // a fault found while completing a warp collective
#if SIMDEV_TSAN
    void *sched_fiber = nullptr;
#endif
    watch_rec watch;
#if SIM_ASAN
    const void *sched_bottom = nullptr;
    size_t sched_size = 0;
    void *sched_fake = nullptr;
#endif

    void *alt_stack = nullptr;  // the signal stack it installed

    executor() {
        watch_register(&watch);
        alt_stack = catch_faults();
    }
    ~executor() {
        watch_unregister(&watch);
        release_alt_stack(alt_stack);
#if SIMDEV_TSAN
        for (fiber &f : fibers) __tsan_destroy_fiber(f.race_fiber);
#endif
        for (auto &c : chunks) munmap(c.first, c.second);
    }

    // Stacks come in one lazily backed mapping per growth (few system calls),
    // with a guard page below; the lowest bytes of each stack must stay zero
    // (untouched), which check_stacks() reads after every block.
    void ensure(unsigned n) {
        size_t old = fibers.size();
        if (n <= old) return;
        size_t add = std::max<size_t>(n - old, std::min<size_t>(old, 1024 - old));
        size_t bytes = page_bytes() + add * stack_bytes;
        void *m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (m == MAP_FAILED) {
            std::fprintf(stderr, "simdev: cannot map fiber stacks\n");
            std::abort();
        }
        mprotect(m, page_bytes(), PROT_NONE);
        chunks.emplace_back(m, bytes);
        fibers.resize(old + add);
        lane_sync.resize(2 * fibers.size());
        for (size_t i = 0; i < add; ++i) {
            fiber &f = fibers[old + i];
            f = fiber{};
            f.stack_lo = static_cast<char *>(m) + page_bytes() + i * stack_bytes;
#if SIMDEV_TSAN
            // One checker thread per stack, for good: a stack is only ever
            // used by its own fiber.
            f.race_fiber = __tsan_create_fiber(0);
#endif
        }
    }

    void check_stacks() const {
        static const char zeros[64] = {};
        for (unsigned i = 0; i < count; ++i)
            if (std::memcmp(fibers[i].stack_lo, zeros, sizeof zeros) != 0) {
                std::fprintf(stderr,
                             "simdev: thread %u of block (%u,%u,%u) overflowed its %zu-byte stack\n",
                             i, tl_exec.block_idx.x, tl_exec.block_idx.y, tl_exec.block_idx.z,
                             stack_bytes);
                std::abort();
            }
    }
};

thread_local executor tl_ex;

inline fiber *current_fiber() {
    fiber *f = static_cast<fiber *>(tl_exec.cur);
    if (!f) {
        std::fprintf(stderr, "simdev: a device barrier or warp collective outside a kernel\n");
        std::abort();
    }
    return f;
}

uint64_t splitmix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

void shuffle(executor &ex) {
    for (unsigned i = ex.count; i > 1; --i) {
        ex.rng = splitmix(ex.rng);
        std::swap(ex.perm[i - 1], ex.perm[ex.rng % i]);
    }
}

// Back to the scheduler; returns when the fiber is resumed.
void yield(executor &ex, fiber *f) {
#if SIMDEV_TSAN
    __tsan_switch_to_fiber(ex.sched_fiber, __tsan_switch_to_fiber_no_sync);
#endif
#if SIM_ASAN
    __sanitizer_start_switch_fiber(&f->fake_stack, ex.sched_bottom, ex.sched_size);
#endif
    bctx::transfer_t t = bctx::jump_fcontext(ex.sched, nullptr);
    ex.sched = t.fctx;
#if SIM_ASAN
    __sanitizer_finish_switch_fiber(f->fake_stack, &ex.sched_bottom, &ex.sched_size);
#else
    (void)f;
#endif
}

void fiber_entry(bctx::transfer_t t) {
    executor *ex = static_cast<executor *>(t.data);
    ex->sched = t.fctx;
#if SIM_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &ex->sched_bottom, &ex->sched_size);
#endif
    fiber *f = static_cast<fiber *>(tl_exec.cur);
    launch_job *job = ex->job;
    // Kernel boundaries: what the launching thread did before the launch and
    // the blocks that ran before on this host thread come first.
    SIM_RACE_ACQUIRE(&job->race_start);
    SIM_RACE_ACQUIRE(&ex->block_start);
    job->thunk->invoke(job->kernel, job->args);
    SIM_RACE_RELEASE(&job->race_end);
    SIM_RACE_RELEASE(&ex->block_end);
    f->state = st_done;
#if SIMDEV_TSAN
    __tsan_switch_to_fiber(ex->sched_fiber, __tsan_switch_to_fiber_no_sync);
#endif
#if SIM_ASAN
    __sanitizer_start_switch_fiber(nullptr, ex->sched_bottom, ex->sched_size);
#endif
    bctx::jump_fcontext(ex->sched, nullptr);
    __builtin_unreachable();
}

void resume(executor &ex, fiber *f) {
    tl_exec.cur = f;
    ex.watch.thread.store(unsigned(f - ex.fibers.data()), std::memory_order_relaxed);
    ex.watch.switches.fetch_add(1, std::memory_order_relaxed);
#if SIMDEV_TSAN
    __tsan_switch_to_fiber(f->race_fiber, __tsan_switch_to_fiber_no_sync);
#endif
#if SIM_ASAN
    __sanitizer_start_switch_fiber(&ex.sched_fake, f->stack_lo, stack_bytes);
#endif
    bctx::transfer_t t = bctx::jump_fcontext(f->ctx, &ex);
#if SIM_ASAN
    __sanitizer_finish_switch_fiber(ex.sched_fake, nullptr, nullptr);
#endif
    f->ctx = t.fctx;
}

// The lane a shuffle reads, as PTX defines it: `c` holds the segment mask
// (32 - width) in bits 8..12 and the clamp lane in bits 0..4; `b` counts
// with its low five bits only. Out of range, the lane reads its own value.
unsigned shuffle_source(int mode, unsigned lane, int b, int c) {
    int seg = (c >> 8) & 0x1f, clamp = c & 0x1f, bval = b & 0x1f;
    int min_lane = int(lane) & seg;
    int max_lane = min_lane | (clamp & ~seg);
    int j = int(lane);
    bool ok = false;
    switch (mode) {
    case wm_up: j = int(lane) - bval; ok = j >= max_lane; break;
    case wm_down: j = int(lane) + bval; ok = j <= max_lane; break;
    case wm_xor: j = int(lane) ^ bval; ok = j <= max_lane; break;
    case wm_idx: j = min_lane | (bval & ~seg); ok = j <= max_lane; break;
    default: break;
    }
    return ok ? unsigned(j) : lane;
}

unsigned reduce_values(const fiber *lane, unsigned group, int op) {
    unsigned r = lane[__builtin_ctz(group)].value;
    for (unsigned g = group & (group - 1); g; g &= g - 1) {
        unsigned v = unsigned(lane[__builtin_ctz(g)].value);
        switch (op) {
        case red_add: r += v; break;
        case red_min: r = int(v) < int(r) ? v : r; break;
        case red_max: r = int(v) > int(r) ? v : r; break;
        case red_umin: r = v < r ? v : r; break;
        case red_umax: r = v > r ? v : r; break;
        case red_and: r &= v; break;
        case red_or: r |= v; break;
        default: r ^= v; break;
        }
    }
    return r;
}

// "16-31" of the threads (linear ids) of the lanes in `bits` of the warp at `base`.
std::string lane_list(unsigned base, unsigned bits) {
    std::string out;
    for (unsigned l = 0; l < 32;) {
        if (!((bits >> l) & 1)) {
            ++l;
            continue;
        }
        unsigned j = l;
        while (j + 1 < 32 && ((bits >> (j + 1)) & 1)) ++j;
        char buf[32];
        std::snprintf(buf, sizeof buf, j > l ? "%u-%u" : "%u", base + l, base + j);
        out += (out.empty() ? "" : ", ") + std::string(buf);
        l = j + 1;
    }
    return out;
}

const char *site_name(const char *s) { return s ? s : "an unnamed site"; }

// Completes the warp collective lane l0 of warp `w` waits in, if all its
// participants (the lanes its mask names that exist and have not exited) wait
// in one with the same mask and kind. Returns the lanes released (ready now),
// or 0.
unsigned complete_warp_op(executor &ex, unsigned w, unsigned l0) {
    const unsigned base = w * 32, lanes = std::min(32u, ex.count - base);
    executor::warp_rec &wr = ex.warps[w];
    fiber *lane = &ex.fibers[base];
    const unsigned exist = lanes == 32 ? ~0u : (1u << lanes) - 1;
    const unsigned mask = lane[l0].mask;
    const int mode = lane[l0].mode;
    const unsigned group = (mask & exist & ~wr.done) | (1u << l0);
    if (group & ~wr.waiting) return 0;
    unsigned ballot = 0, parities = 0;
    bool all_equal = true;
    for (unsigned g = group; g; g &= g - 1) {
        const fiber &f = lane[__builtin_ctz(g)];
        if (f.mask != mask || f.mode != mode) return 0;
        if (f.value) ballot |= g & -g;
        if (f.value != lane[l0].value) all_equal = false;
        if (f.collectives & 1) parities |= g & -g;
    }
    // A GPU's lanes that left the kernel take no part: the result would
    // depend on them.
    if (const unsigned gone = mask & exist & wr.done) {
        ex.error = "threads " + lane_list(base, group) + " meet in a warp collective at " +
                   site_name(lane[l0].site) + " whose mask names threads " + lane_list(base, gone) +
                   ", which have exited";
        return 0;
    }
    const unsigned reduced = mode == wm_reduce ? reduce_values(lane, group, lane[l0].b) : 0;
    for (unsigned g = group; g; g &= g - 1) {
        unsigned l = unsigned(__builtin_ctz(g));
        fiber &f = lane[l];
        switch (mode) {
        case wm_sync: break;
        case wm_vote: f.result = ballot; break;
        case wm_match_all: f.result = all_equal ? group : 0; break;
        case wm_reduce: f.result = reduced; break;
        case wm_match_any: {
            unsigned same = 0;
            for (unsigned h = group; h; h &= h - 1)
                if (lane[__builtin_ctz(h)].value == f.value) same |= h & -h;
            f.result = same;
            break;
        }
        default: {
            unsigned src = shuffle_source(mode, l, f.b, f.c);
            f.result = (group >> src) & 1u ? lane[src].value : f.value;
        }
        }
        f.group = group;
        f.parities = parities;
        f.state = st_ready;
    }
    wr.waiting &= ~group;
    return group;
}

// A lane of warp `w` exited: the collectives that waited only for it complete.
unsigned complete_after_exit(executor &ex, unsigned w) {
    unsigned released = 0;
    for (unsigned seeds = ex.warps[w].waiting; seeds;) {
        unsigned l0 = unsigned(__builtin_ctz(seeds));
        released |= complete_warp_op(ex, w, l0);
        seeds &= ex.warps[w].waiting & ~(1u << l0);
    }
    return released;
}

// Answers the active-mask queries of warp `w` once none of its lanes can run
// on: each gets the lanes that wait at its own call site. Returns the lanes
// released.
unsigned complete_active_masks(executor &ex, unsigned w) {
    executor::warp_rec &wr = ex.warps[w];
    if (!wr.active) return 0;
    const unsigned base = w * 32, lanes = std::min(32u, ex.count - base);
    fiber *lane = &ex.fibers[base];
    for (unsigned l = 0; l < lanes; ++l)
        if (lane[l].state == st_ready || lane[l].state == st_deferred) return 0;
    const unsigned released = wr.active;
    for (unsigned g = released; g; g &= g - 1) {
        fiber &f = lane[__builtin_ctz(g)];
        unsigned same = 0;
        for (unsigned h = released; h; h &= h - 1) {
            const fiber &o = lane[__builtin_ctz(h)];
            if (o.site == f.site || (o.site && f.site && std::strcmp(o.site, f.site) == 0))
                same |= h & -h;
        }
        f.result = same;
        f.state = st_ready;
    }
    wr.active = 0;
    return released;
}

// "0-15, 17, 20-31" of the threads (linear ids in the block) that `pick` selects.
template <typename P>
std::string thread_list(const executor &ex, P pick) {
    std::string out;
    for (unsigned i = 0; i < ex.count;) {
        if (!pick(ex.fibers[i])) {
            ++i;
            continue;
        }
        unsigned j = i;
        while (j + 1 < ex.count && pick(ex.fibers[j + 1])) ++j;
        char buf[32];
        std::snprintf(buf, sizeof buf, j > i ? "%u-%u" : "%u", i, j);
        out += (out.empty() ? "" : ", ") + std::string(buf);
        i = j + 1;
    }
    return out;
}

// The stderr report of a fault of the running block; the caller fails the launch.
void report_fault(executor &ex, const std::string &what) {
    std::fprintf(stderr, "simdev: kernel %s, block (%u,%u,%u) of (%u,%u,%u) threads: %s\n",
                 job_name(*ex.job).c_str(), tl_exec.block_idx.x, tl_exec.block_idx.y,
                 tl_exec.block_idx.z, tl_exec.block_dim.x, tl_exec.block_dim.y,
                 tl_exec.block_dim.z, what.c_str());
}

// Abandons the fibers of a block that cannot go on.
void abandon(executor &ex) {
#if SIMDEV_TSAN
    // What they did comes before the launch's end, as if they had ended.
    for (unsigned i = 0; i < ex.count; ++i) {
        if (ex.fibers[i].state == st_done) continue;
        __tsan_switch_to_fiber(ex.fibers[i].race_fiber, __tsan_switch_to_fiber_no_sync);
        SIM_RACE_RELEASE(&ex.job->race_end);
        SIM_RACE_RELEASE(&ex.block_end);
        __tsan_switch_to_fiber(ex.sched_fiber, __tsan_switch_to_fiber_no_sync);
    }
#endif
#if SIM_ASAN
    // The abandoned fibers' frames stay poisoned; their stacks are reused.
    for (unsigned i = 0; i < ex.count; ++i)
        __asan_unpoison_memory_region(ex.fibers[i].stack_lo, stack_bytes);
#else
    (void)ex;
#endif
}

void report_deadlock(executor &ex) {
    std::string what = "the block cannot go on: threads " +
                       thread_list(ex, [](const fiber &f) { return f.state == st_barrier; }) +
                       " wait at __syncthreads";
    std::string warp = thread_list(ex, [](const fiber &f) { return f.state == st_warp; });
    if (!warp.empty())
        what += ", threads " + warp +
                " in warp collectives that cannot complete (lanes they name never arrive, or "
                "arrive at another kind of collective or with another mask)";
    report_fault(ex, what);
    abandon(ex);
}

// Every live thread waits at a block barrier: true when they all wait at
// the same one; otherwise reports the sites.
bool barrier_sites_agree(executor &ex) {
    const fiber *first = nullptr;
    bool same = true;
    for (unsigned i = 0; i < ex.count; ++i) {
        const fiber &f = ex.fibers[i];
        if (f.state != st_barrier) continue;
        if (!first) {
            first = &f;
        } else if (f.mode != first->mode ||
                   (f.site != first->site &&
                    (!f.site || !first->site || std::strcmp(f.site, first->site) != 0))) {
            same = false;
        }
    }
    if (same) return true;
    std::string what = "threads wait at different block barriers:";
    std::vector<const char *> sites;
    for (unsigned i = 0; i < ex.count; ++i) {
        const fiber &f = ex.fibers[i];
        if (f.state != st_barrier) continue;
        bool known = false;
        for (const char *s : sites)
            known |= s == f.site || (s && f.site && std::strcmp(s, f.site) == 0);
        if (known) continue;
        sites.push_back(f.site);
        const char *site = f.site;
        what += std::string(sites.size() > 1 ? ";" : "") + " threads " +
                thread_list(ex, [site](const fiber &o) {
                    return o.state == st_barrier &&
                           (o.site == site || (o.site && site && std::strcmp(o.site, site) == 0));
                }) +
                " at " + site_name(site);
    }
    report_fault(ex, what);
    abandon(ex);
    return false;
}

// Releases the block barrier: the combined predicate for each waiting thread.
void release_barrier(executor &ex) {
    unsigned arrived = 0, count = 0;
    for (unsigned i = 0; i < ex.count; ++i)
        if (ex.fibers[i].state == st_barrier) {
            ++arrived;
            count += ex.fibers[i].value != 0;
        }
    for (unsigned i = 0; i < ex.count; ++i) {
        fiber &f = ex.fibers[i];
        if (f.state != st_barrier) continue;
        switch (f.mode) {
        case bar_count: f.result = count; break;
        case bar_and: f.result = count == arrived; break;
        case bar_or: f.result = count != 0; break;
        default: f.result = 0; break;
        }
    }
    ++ex.phase;
}

void grow_grid(launch_job &job);
bool grid_spins(const launch_job &job);

// Rounds in which a block's live threads did nothing but spin before the block
// counts as waiting for other blocks.
constexpr unsigned wait_rounds = 4;

// The block's threads only spin: they wait for other blocks (or for nothing).
// Lets the grid's other blocks run and backs off the host CPU; false when the
// launch has failed, after reporting it if no block of the grid has made
// progress for the watchdog's time.
bool wait_for_others(executor &ex, launch_job &job, unsigned rounds) {
    if (rounds == wait_rounds) {
        ex.watch.spinning.store(true, std::memory_order_relaxed);
        ex.wait_start = std::chrono::steady_clock::now();
        grow_grid(job);
    }
    if (job.fault.load(std::memory_order_relaxed)) return false;
    if (rounds > 64) {
        if (rounds < 4096) sched_yield();
        else std::this_thread::sleep_for(std::chrono::microseconds(rounds < 65536 ? 50 : 1000));
    }
    if (rounds % 256 != 0) return true;
    grow_grid(job);
    const unsigned limit = watchdog_seconds.load();
    const auto now = std::chrono::steady_clock::now();
    if (limit == ~0u || now - ex.wait_start < std::chrono::seconds(limit)) return true;
    if (!grid_spins(job)) {
        ex.wait_start = now;
        return true;
    }
    int expected = 0;
    if (job.fault.compare_exchange_strong(expected, dev::err_launch_timeout)) {
        char what[256];
        std::snprintf(what, sizeof what,
                      "threads %s have spun for %u s waiting for what no thread of the grid does "
                      "(the device holds %llu of its %llu blocks at once)",
                      thread_list(ex, [](const fiber &f) { return f.state == st_deferred; }).c_str(),
                      limit, (unsigned long long)std::min(job.resident, job.blocks),
                      (unsigned long long)job.blocks);
        report_fault(ex, what);
    }
    return false;
}

void run_block(executor &ex, launch_job &job, uint64_t linear) {
    const uint3 g = job.grid, bd = job.block;
    tl_exec.block_idx = uint3{unsigned(linear % g.x), unsigned((linear / g.x) % g.y),
                              unsigned(linear / (uint64_t(g.x) * g.y))};
    tl_exec.block_dim = bd;
    tl_exec.grid_dim = g;
    unsigned n = bd.x * bd.y * bd.z;
    ex.ensure(n);
    ex.count = n;
    ex.job = &job;
    ex.phase = 0;
    ex.deferred.clear();
    ex.watch.block.store(linear, std::memory_order_relaxed);
#if SIMDEV_TSAN
    ex.sched_fiber = __tsan_get_current_fiber();
#endif

    // Exactly the launch's bytes, so that an overrun is a heap overflow, and
    // filled with the poison pattern, so that a missing initialisation shows.
    void *shared = nullptr;
    if (job.shared_bytes && posix_memalign(&shared, 16, job.shared_bytes) != 0) {
        job.fault = dev::err_launch_failed;
        return;
    }
    if (shared) std::memset(shared, poison_byte, job.shared_bytes);
    tl_exec.dyn_shared = static_cast<unsigned char *>(shared);
    if (!job.name) {
        SIM_RACE_UNSEEN;  // its cache's lock would order the host threads' blocks
        static_shared_begin(job.kernel);
    }
    for (size_t z = 0; z < job.zone_count; ++z)
        std::memset(static_cast<unsigned char *>(shared) + job.zones[z].offset, red_zone_byte, job.zones[z].bytes);
    SIM_RACE_RELEASE(&ex.block_start);  // the fill comes before the threads

    for (unsigned i = 0; i < n; ++i) {
        fiber &f = ex.fibers[i];
        f.idx = uint3{i % bd.x, (i / bd.x) % bd.y, i / (bd.x * bd.y)};
        f.state = st_ready;
        f.collectives = 0;
        f.spin_addr = nullptr;
        f.spun = false;
        f.ctx = bctx::make_fcontext(f.stack_lo + stack_bytes, stack_bytes, &fiber_entry);
    }
    ex.perm.resize(n);
    ex.place.resize(n);
    for (unsigned i = 0; i < n; ++i)
        ex.perm[i] = job.thread_order == order::reverse ? n - 1 - i : i;
    if (job.thread_order == order::random) {
        ex.rng = splitmix(uint64_t(job.seed) * 0x100000001b3ull ^ splitmix(linear));
        shuffle(ex);
    }
    for (unsigned k = 0; k < n; ++k) ex.place[ex.perm[k]] = k;
    ex.warps.assign((n + 31) / 32, executor::warp_rec{0, 0, 0});

    // The next fiber is the first ready one in the order: a bit per place,
    // with no ready bit in the words below `first`. Locals, so that they stay
    // in registers across the fiber switches.
    ex.ready.assign((n + 63) / 64, 0);
    uint64_t *const ready = ex.ready.data();
    const unsigned *const order_of = ex.perm.data(), *const place_of = ex.place.data();
    const unsigned words = unsigned(ex.ready.size());
    unsigned first = 0;
    for (unsigned k = 0; k < n; ++k) ready[k / 64] |= uint64_t(1) << (k % 64);
    auto mark_ready = [&](unsigned base, unsigned lanes) {
        for (; lanes; lanes &= lanes - 1) {
            unsigned p = place_of[base + unsigned(__builtin_ctz(lanes))], w = p / 64;
            ready[w] |= uint64_t(1) << (p % 64);
            if (w < first) first = w;
        }
    };
    fiber *const fibers = ex.fibers.data();
    executor::warp_rec *const warps = ex.warps.data();

    unsigned alive = n, at_barrier = 0, in_warp = 0;
    unsigned spin_rounds = 0;  // rounds in which the threads only spun
    bool progressed = false;
    for (;;) {
        while (first < words && ready[first] == 0) ++first;
        if (first < words) {
            uint64_t &word = ready[first];
            const unsigned i = order_of[first * 64 + unsigned(__builtin_ctzll(word))];
            word &= word - 1;
            fiber *f = &fibers[i];
            resume(ex, f);
            const unsigned w = i / 32, bit = 1u << (i % 32);
            unsigned released = 0;
            switch (f->state) {
            case st_done:
                --alive;
                warps[w].done |= bit;
                if (warps[w].waiting) released = complete_after_exit(ex, w);
                break;
            case st_barrier: ++at_barrier; break;
            case st_warp:
                ++in_warp;
                warps[w].waiting |= bit;
                released = complete_warp_op(ex, w, i % 32);
                break;
            case st_active: warps[w].active |= bit; break;
            case st_deferred: ex.deferred.push_back(i); break;
            default: break;
            }
            progressed |= f->state != st_deferred || !f->spun;
            if (f->state == st_fault || !ex.error.empty()) {
                if (!ex.error.empty()) report_fault(ex, ex.error);
                ex.error.clear();
                int expected = 0;
                job.fault.compare_exchange_strong(expected, dev::err_launch_failed);
                abandon(ex);
                break;
            }
            if (released) {
                in_warp -= unsigned(__builtin_popcount(released));
                mark_ready(w * 32, released);
            }
            if (warps[w].active && !released) mark_ready(w * 32, complete_active_masks(ex, w));
            continue;
        }
        if (alive == 0) break;
        if (!ex.deferred.empty()) {
            if (progressed) {
                progressed = false;
                if (spin_rounds >= wait_rounds) ex.watch.spinning.store(false, std::memory_order_relaxed);
                spin_rounds = 0;
            } else if (++spin_rounds >= wait_rounds && !wait_for_others(ex, job, spin_rounds)) {
                abandon(ex);
                break;
            }
            for (unsigned i : ex.deferred) {
                fibers[i].state = st_ready;
                mark_ready(i & ~31u, 1u << (i % 32));
            }
            ex.deferred.clear();
            continue;
        }
        if (in_warp == 0 && at_barrier == alive) {
            if (!barrier_sites_agree(ex)) {
                job.fault = dev::err_launch_failed;
                break;
            }
            release_barrier(ex);
            if (job.thread_order == order::random) {
                shuffle(ex);
                for (unsigned k = 0; k < n; ++k) ex.place[ex.perm[k]] = k;
            }
            for (unsigned base = 0; base < n; base += 32) {
                unsigned lanes = 0;
                for (unsigned l = 0; l < 32 && base + l < n; ++l)
                    if (fibers[base + l].state == st_barrier) {
                        fibers[base + l].state = st_ready;
                        lanes |= 1u << l;
                    }
                mark_ready(base, lanes);
            }
            at_barrier = 0;
            continue;
        }
        report_deadlock(ex);
        job.fault = dev::err_launch_failed;
        break;
    }
    ex.watch.spinning.store(false, std::memory_order_relaxed);
    SIM_RACE_ACQUIRE(&ex.block_end);  // and the threads before the free
    ex.check_stacks();
    const char *overrun = nullptr;
    if (!job.name) {
        SIM_RACE_UNSEEN;
        overrun = static_shared_end(job.kernel);
    }
    for (size_t z = 0; z < job.zone_count && !overrun; ++z) {
        const unsigned char *p = static_cast<unsigned char *>(shared) + job.zones[z].offset;
        for (uint32_t k = 0; k < job.zones[z].bytes && !overrun; ++k)
            if (p[k] != red_zone_byte) overrun = job.zones[z].array;
    }
    if (overrun) {
        report_fault(ex, std::string("a write past static shared array ") + overrun);
        job.fault = dev::err_launch_failed;
    }
    ex.watch.thread.store(~0u, std::memory_order_relaxed);
    tl_exec.cur = nullptr;
    tl_exec.dyn_shared = nullptr;
    std::free(shared);
}

// The block that the k-th hand-out of a grid runs, in the block order.
uint64_t block_at(const launch_job &job, uint64_t k) {
    switch (job.block_order) {
    case order::reverse: return job.blocks - 1 - k;
    case order::random: return uint64_t((unsigned __int128)job.block_mul * k % job.blocks + job.block_add) % job.blocks;
    default: return k;
    }
}

// Runs hand-out `b` of the grid on this host thread, under its watchdog.
void run_handed_out(launch_job &job, uint64_t b) {
    executor &ex = tl_ex;
    ex.watch.job.store(&job, std::memory_order_relaxed);
    run_block(ex, job, block_at(job, b));
    ex.watch.job.store(nullptr, std::memory_order_relaxed);
}

// Runs the next block of the grid; false when none is left.
bool run_one(launch_job &job) {
    if (job.fault.load(std::memory_order_relaxed)) return false;  // the grid is aborted
    uint64_t b = job.next.fetch_add(1, std::memory_order_relaxed);
    if (b >= job.blocks) return false;
    run_handed_out(job, b);
    return true;
}

// Runs the next hand-out of `lane` (race checker); false when it has none.
bool run_lane(launch_job &job, unsigned lane) {
    if (job.fault.load(std::memory_order_relaxed)) return false;
    const uint64_t b = lane + job.lane_pos[lane].fetch_add(1) * job.lanes;
    if (b >= job.blocks) return false;
    run_handed_out(job, b);
    return true;
}

// Whether some block of `job` has not been handed out.
bool unstarted(const launch_job &job) {
    if (job.lanes <= 1) return job.next.load() < job.blocks;
    for (unsigned i = 0; i < job.lanes; ++i)
        if (i + job.lane_pos[i].load() * job.lanes < job.blocks) return true;
    return false;
}

void run_blocks(launch_job &job) {
    if (job.lanes > 1) {
        // The blocks of one host thread follow each other for the race
        // checker: a fixed stride keeps neighbouring blocks on different
        // threads, so that a race between them shows in every run.
        const unsigned lane = job.lane_next.fetch_add(1);
        if (lane < job.lanes) {
            while (run_lane(job, lane)) {
            }
            return;
        }
        // A host thread that a waiting block asked for (grow) takes the
        // lanes' next blocks, so that the blocks a GPU holds at once start.
        for (bool ran = true; ran;) {
            ran = false;
            for (unsigned i = 0; i < job.lanes && !ran; ++i) ran = run_lane(job, i);
        }
        return;
    }
    while (run_one(job)) {
    }
}

// ------------------------------------------------------------ hardware faults

// A kernel's wild access or stack overflow ends the process with SIGSEGV or
// SIGBUS. Without a sanitizer to report it, a line names the kernel, the block
// and the thread first; then the signal takes its course.
#if !SIM_ASAN && !SIMDEV_TSAN
struct sigaction old_segv, old_bus;

void on_fault(int sig, siginfo_t *info, void *) {
    const fiber *f = static_cast<const fiber *>(tl_exec.cur);
    if (f && tl_ex.job) {
        const char *a = static_cast<const char *>(info->si_addr);
        const bool guard = a < f->stack_lo && a >= f->stack_lo - page_bytes();
        char line[512];
        int n = std::snprintf(line, sizeof line,
                              "simdev: kernel %s, block (%u,%u,%u), thread (%u,%u,%u): %s at address %p%s\n",
                              job_name(*tl_ex.job).c_str(), tl_exec.block_idx.x, tl_exec.block_idx.y,
                              tl_exec.block_idx.z, f->idx.x, f->idx.y, f->idx.z,
                              sig == SIGBUS ? "bus error" : "segmentation fault", info->si_addr,
                              guard ? ": it overflowed its stack" : " (an access outside the kernel's memory)");
        if (n > 0) (void)!write(2, line, size_t(std::min<int>(n, int(sizeof line) - 1)));
    }
    sigaction(sig, sig == SIGBUS ? &old_bus : &old_segv, nullptr);  // the fault repeats there
}

void *catch_faults() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction sa {};
        sa.sa_sigaction = &on_fault;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, &old_segv);
        sigaction(SIGBUS, &sa, &old_bus);
    });
    // The handler runs on a stack of its own: a fiber's may be the one that overflowed.
    stack_t cur{};
    if (sigaltstack(nullptr, &cur) != 0 || !(cur.ss_flags & SS_DISABLE)) return nullptr;
    stack_t alt{};
    alt.ss_size = alt_stack_bytes;
    alt.ss_sp = mmap(nullptr, alt.ss_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (alt.ss_sp == MAP_FAILED) return nullptr;
    if (sigaltstack(&alt, nullptr) == 0) return alt.ss_sp;
    munmap(alt.ss_sp, alt.ss_size);
    return nullptr;
}

void release_alt_stack(void *p) {
    if (!p) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(p, alt_stack_bytes);
}
#else
void *catch_faults() { return nullptr; }
void release_alt_stack(void *) {}
#endif

// ------------------------------------------------------------ watchdog

double cpu_seconds(clockid_t c) {
    timespec ts{};
    if (clock_gettime(c, &ts) != 0) return 0;
    return double(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

[[noreturn]] void watchdog_loop() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const unsigned limit = watchdog_seconds.load();
        std::lock_guard<std::mutex> lock(watch_m);
        for (watch_rec *w : watched()) {
            const launch_job *job = w->job.load(std::memory_order_relaxed);
            const uint64_t s = w->switches.load(std::memory_order_relaxed);
            if (!job || !w->has_cpu || s != w->seen) {
                w->seen = s;
                w->idle_since = -1;
                w->stopping = false;
                continue;
            }
            const double now = cpu_seconds(w->cpu);
            if (w->idle_since < 0) w->idle_since = now;
            if (limit == 0 || now - w->idle_since < limit) continue;
            const uint64_t b = w->block.load();
            if (!w->stopping)
                std::fprintf(stderr,
                             "simdev: kernel %s, block %llu (linear): thread %u has run %u s of CPU "
                             "time without reaching a barrier, a warp collective or its end (a "
                             "spin-wait for a thread that this order does not run?)\n",
                             job_name(*job).c_str(), (unsigned long long)b, w->thread.load(), limit);
            // A PTX thread stops at its next branch once the launch has failed;
            // compiled code cannot be stopped, and neither can one that goes on.
            if (job->name && !w->stopping) {
                w->stopping = true;
                w->idle_since = now;
                int expected = 0;
                const_cast<launch_job *>(job)->fault.compare_exchange_strong(expected, dev::err_launch_timeout);
                continue;
            }
            std::abort();
        }
    }
}

void watch_register(watch_rec *w) {
    static std::once_flag started;
    std::call_once(started, [] {
        unsigned unset = 0;
        watchdog_seconds.compare_exchange_strong(unset, default_watchdog_seconds());
        std::thread(watchdog_loop).detach();
    });
    w->has_cpu = pthread_getcpuclockid(pthread_self(), &w->cpu) == 0;
    std::lock_guard<std::mutex> lock(watch_m);
    watched().push_back(w);
}

unsigned configured_threads() {
    if (const char *s = std::getenv("SIMDEV_THREADS")) {
        char *end = nullptr;
        long v = std::strtol(s, &end, 10);
        if (*s && !*end && v >= 1 && v <= 1024) return unsigned(v);
        std::fprintf(stderr, "simdev: cannot read SIMDEV_THREADS=\"%s\"\n", s);
        std::abort();
    }
    unsigned h = std::thread::hardware_concurrency();
#if SIMDEV_TSAN
    // Every fiber is a thread to the race checker, which keeps only a few
    // thousand at a time; two at least, so that blocks are not all ordered.
    h = std::max(std::min(h, 3u), 2u);
#endif
    return h ? h : 1;
}

// Host threads that run blocks beside the launching thread. One grid at a
// time: a second launching thread waits, as kernels on the default stream do.
// The launching thread runs the first block itself and wakes helpers only
// when the rest of the grid looks long enough to be worth it, so that the
// many small launches stay cheap. A block that waits for other blocks asks
// for one more host thread (started when none is idle), up to the blocks the
// device holds at once, so that the blocks a GPU runs together progress
// together here too.
class pool {
public:
    explicit pool(unsigned workers) : base_(workers) {
        std::lock_guard<std::mutex> lock(m_);
        for (unsigned i = 0; i < workers; ++i) spawn();
    }

    void run(launch_job &job) {
        std::lock_guard<std::mutex> one_grid(launch_m_);
        {
            std::lock_guard<std::mutex> lock(m_);
            job_ = &job;
        }
        job.hosts.fetch_add(1);
#if SIMDEV_TSAN
        // Every grid of several blocks spreads over the threads (run_blocks).
        job.lanes = unsigned(std::min<uint64_t>(base_, job.blocks - 1)) + 1;
        job.lane_pos.reset(new std::atomic<uint64_t>[job.lanes]());
        {
            std::lock_guard<std::mutex> lock(m_);
            add_tickets(job.lanes - 1);
        }
#else
        auto start = std::chrono::steady_clock::now();
        run_one(job);
        uint64_t taken = std::min(job.next.load(), job.blocks);
        uint64_t left = job.blocks - taken;
        auto first = std::chrono::steady_clock::now() - start;
        if (left > 0 && first * double(left) > std::chrono::microseconds(30)) {
            std::lock_guard<std::mutex> lock(m_);
            add_tickets(unsigned(std::min<uint64_t>(base_, left)));
        }
#endif
        run_blocks(job);
        job.hosts.fetch_sub(1);
        std::unique_lock<std::mutex> lock(m_);
        done_.wait(lock, [this] { return busy_ == 0; });
        job_ = nullptr;
    }

    // A block of `job` waits for others that have not started.
    void grow(launch_job &job) {
        std::lock_guard<std::mutex> lock(m_);
        if (job_ != &job || !unstarted(job)) return;
        if (uint64_t(job.hosts.load()) + tickets_ >= job.resident) return;
        add_tickets(1);
    }

private:
    // m_ held.
    void add_tickets(unsigned n) {
        if (!n) return;
        tickets_ += n;
        busy_ += n;
        while (idle_ < tickets_) spawn();
        for (unsigned i = 0; i < n; ++i) cv_.notify_one();
    }

    // m_ held, or in the constructor.
    void spawn() {
        ++idle_;
        std::thread([this] { work(); }).detach();
    }

    void work() {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            cv_.wait(lock, [this] { return tickets_ > 0; });
            --tickets_;
            --idle_;
            launch_job *job = job_;
            job->hosts.fetch_add(1);
            lock.unlock();
            run_blocks(*job);
            job->hosts.fetch_sub(1);
            lock.lock();
            ++idle_;
            if (--busy_ == 0) done_.notify_all();
        }
    }

    const unsigned base_;
    std::mutex launch_m_, m_;
    std::condition_variable cv_, done_;
    launch_job *job_ = nullptr;
    unsigned tickets_ = 0, busy_ = 0, idle_ = 0;
};

std::atomic<pool *> the_pool{nullptr};
std::mutex pool_m;

// A forked child has none of the parent's pool threads: it starts its own.
void forget_pool_in_child() { the_pool.store(nullptr); }

pool &get_pool() {
    pool *p = the_pool.load(std::memory_order_acquire);
    if (p) return *p;
    static bool registered = (pthread_atfork(nullptr, nullptr, &forget_pool_in_child), true);
    (void)registered;
    std::lock_guard<std::mutex> lock(pool_m);
    p = the_pool.load();
    if (!p) {
        p = new pool(configured_threads() - 1);  // lives as long as the process
        the_pool.store(p, std::memory_order_release);
    }
    return *p;
}

void grow_grid(launch_job &job) {
    if (job.blocks > 1) get_pool().grow(job);
}

// Every host thread that runs a block of `job` runs one whose threads only spin.
bool grid_spins(const launch_job &job) {
    std::lock_guard<std::mutex> lock(watch_m);
    for (const watch_rec *w : watched())
        if (w->job.load(std::memory_order_relaxed) == &job && !w->spinning.load(std::memory_order_relaxed))
            return false;
    return true;
}

}  // namespace

std::string job_name(const launch_job &job) { return job.name ? job.name : kernel_name(job.kernel); }

int syncthreads(const char *site, int op, int pred) {
    fiber *f = current_fiber();
    executor &ex = tl_ex;
    f->state = st_barrier;
    f->site = site;
    f->mode = op;
    f->value = pred != 0;
    char *sync = &ex.barrier_sync[ex.phase & 1];
    SIM_RACE_RELEASE(sync);
    yield(ex, f);
    SIM_RACE_ACQUIRE(sync);
    return int(f->result);
}

unsigned long long warp_op(unsigned mask, int mode, unsigned long long value, int b, int c,
                           unsigned *group, const char *site) {
    fiber *f = current_fiber();
    executor &ex = tl_ex;
    const unsigned me = unsigned(f - ex.fibers.data());
    f->site = site;
    if (!((mask >> (me % 32)) & 1)) {
        char m[16];
        std::snprintf(m, sizeof m, "0x%08x", mask);
        ex.error = "thread " + std::to_string(me) + " calls a warp collective at " + site_name(site) +
                   " with mask " + m + ", which leaves it out";
        f->state = st_fault;
        yield(ex, f);  // never resumed
    }
    f->mode = mode;
    f->mask = mask;
    f->value = value;
    f->b = b;
    f->c = c;
    f->state = st_warp;
    const unsigned linear = unsigned(f - ex.fibers.data()), base = linear & ~31u;
    SIM_RACE_RELEASE(&ex.lane_sync[2 * linear + (f->collectives & 1)]);
    yield(ex, f);
    ++f->collectives;
#if SIMDEV_TSAN
    for (unsigned g = f->group; g; g &= g - 1) {
        unsigned l = unsigned(__builtin_ctz(g));
        SIM_RACE_ACQUIRE(&ex.lane_sync[2 * (base + l) + ((f->parities >> l) & 1)]);
    }
#else
    (void)base;
#endif
    if (group) *group = f->group;
    return f->result;
}

void spin_yield(const void *addr, unsigned long long value) {
    fiber *f = static_cast<fiber *>(tl_exec.cur);
    if (!f) return;
    f->spun = addr && addr == f->spin_addr && value == f->spin_value;
    f->spin_addr = addr;
    f->spin_value = value;
    f->state = st_deferred;
    yield(tl_ex, f);
}

unsigned active_mask(const char *site) {
    fiber *f = current_fiber();
    f->site = site;
    f->state = st_active;
    yield(tl_ex, f);
    return unsigned(f->result);
}

}  // namespace detail

void set_watchdog(unsigned seconds) {
    detail::watchdog_seconds.store(seconds == 0 ? ~0u : seconds);
}

namespace detail {

int run_grid(launch_job &job) {
    job.blocks = uint64_t(job.grid.x) * job.grid.y * job.grid.z;
    if (job.block_order == order::random && job.blocks > 1) {
        // An affine bijection of the block numbers: a step prime to the count.
        uint64_t r = splitmix(job.block_seed * 0x9e3779b97f4a7c15ull + 1);
        job.block_mul = r % job.blocks | 1;
        while (std::gcd(job.block_mul, job.blocks) != 1) job.block_mul += 2;
        job.block_add = splitmix(r) % job.blocks;
    }
    SIM_RACE_RELEASE(&job.race_start);
    pool *p = job.blocks > 1 ? &get_pool() : nullptr;
    if (p)
        p->run(job);
    else
        run_blocks(job);
    SIM_RACE_ACQUIRE(&job.race_end);
    return job.fault.load();
}

}  // namespace detail
}  // namespace sim
