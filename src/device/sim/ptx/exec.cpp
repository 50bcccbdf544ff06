// Running a PTX kernel on the simulated device: every thread of the grid is
// a fiber of the scheduler, which calls run_thread; barriers and warp
// collectives go through the scheduler's own, so thread orders, deadlock
// reports and fault codes are those of the library's kernels.
#include "../internal.h"
#include "../simkernel.h"
#include "ops.h"

#include <alloca.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <new>
#include <cstdio>

namespace sim {
namespace ptx {

using detail::G;

struct launch {
    const module *m;
    const function *entry;
    const unsigned char *params;
    size_t param_bytes;
    uint32_t shared_bytes;  // what the kernel may address
    uint32_t red_offset;    // barrier-reduction counters, after it
    uint32_t local_bytes, mem_bytes, depth, stack_bytes;
    int device;
    uint64_t serial;
    detail::launch_job *job;
    range_set ranges;
    device_heap *heap;
};

namespace {

// Counters of barrier reductions, three rounds in turn: a thread clears the
// next round's as it arrives, when every thread has read the last one's.
struct red_area {
    uint64_t key;  // launch and block that initialised it
    uint32_t trues[3], arrivals[3];
};

std::atomic<uint64_t> next_serial{1};

// Frame bytes beyond which a thread's frames move from its fiber stack to the heap.
constexpr uint32_t stack_frames_limit = 24 * 1024;

void set_fault(thread &t, int code) {
    int expected = 0;
    t.L->job->fault.compare_exchange_strong(expected, code);
    t.stop = true;
}

void describe(thread &t, const insn &i, const char *what) {
    const detail::exec_state &e = detail::tl_exec;
    std::fprintf(stderr,
                 "simdev: PTX kernel %s, line %u, thread (%u,%u,%u) of block (%u,%u,%u): %s\n",
                 t.L->entry->name.c_str(), i.line, e.cur->idx.x, e.cur->idx.y, e.cur->idx.z,
                 e.block_idx.x, e.block_idx.y, e.block_idx.z, what);
}

// Enters `f` with a fresh frame; false after a fault.
bool push_frame(thread &t, const insn *at, const function &f, const call_site *site) {
    const uint32_t bytes = f.frame_bytes();
    const uint32_t local = (f.local_bytes + 15) & ~15u;
    const uint32_t stack = f.stack_bytes();
    if ((t.r && t.depth >= t.max_depth) || bytes > t.mem_size - t.mem_top ||
        local > t.local_size - t.local_top || (t.stack_size && stack > t.stack_size - t.stack_top)) {
        static const insn none{};
        char what[160];
        std::snprintf(what, sizeof what, "stack overflow: a call %u deep needs more than the %u-byte device stack",
                      t.depth + 1, t.stack_size ? t.stack_size : t.stack_top + stack);
        describe(t, at ? *at : none, what);
        set_fault(t, dev::err_launch_failed);
        return false;
    }
    if (t.depth > 0 || t.r) {
        frame &fr = t.frames[t.depth];
        fr.code = t.code, fr.pc = t.pc, fr.r = t.r, fr.params = t.params;
        fr.param_bytes = t.param_bytes;
        fr.local_top = t.local_top, fr.mem_top = t.mem_top, fr.stack_top = t.stack_top, fr.site = site;
        ++t.depth;
    }
    uint64_t *r = reinterpret_cast<uint64_t *>(t.mem + t.mem_top);
    unsigned char *params = t.mem + t.mem_top + f.init.size() * 8;
    std::memcpy(r, f.init.data(), f.init.size() * 8);
    std::memcpy(r + slot_tid, t.sreg + slot_tid, (slot_fixed - slot_tid) * 8);
    for (const auto &d : f.depots) r[d.first] = t.local_top + d.second;
    const function &entry = *t.L->entry;
    for (const auto &v : f.shared_refs)
        r[v.first] = v.second == no_shared_var ? entry.shared_dynamic : entry.shared_at[v.second];
    std::memset(params, 0, f.param_bytes);
    if (site) {
        for (const copy_rec &c : site->args) std::memcpy(params + c.to, t.params + c.from, c.bytes);
    }
    t.mem_top += bytes;
    t.local_top += local;
    t.stack_top += stack;
    t.r = r;
    t.params = params;
    t.param_bytes = f.param_bytes;
    t.code = f.code.data();
    t.pc = 0;
    return true;
}

void run_thread(const void *kernel, void **) {
    const launch &L = *static_cast<const launch *>(kernel);
    if (L.job->fault.load(std::memory_order_relaxed)) return;  // the grid is stopping
    const detail::exec_state &e = detail::tl_exec;
    thread t{};
    t.L = &L;
    t.ranges = &L.ranges;
    t.heap = L.heap;
    const uint3 tid = e.cur->idx, nt = e.block_dim;
    uint64_t *s = t.sreg;
    s[slot_one] = 1;
    s[slot_tid] = tid.x, s[slot_tid + 1] = tid.y, s[slot_tid + 2] = tid.z;
    s[slot_ntid] = nt.x, s[slot_ntid + 1] = nt.y, s[slot_ntid + 2] = nt.z;
    s[slot_ctaid] = e.block_idx.x, s[slot_ctaid + 1] = e.block_idx.y, s[slot_ctaid + 2] = e.block_idx.z;
    s[slot_nctaid] = e.grid_dim.x, s[slot_nctaid + 1] = e.grid_dim.y, s[slot_nctaid + 2] = e.grid_dim.z;
    const uint32_t linear = tid.x + nt.x * (tid.y + nt.y * tid.z), lane = linear % 32;
    s[slot_laneid] = lane;
    s[slot_warpid] = linear / 32;
    s[slot_nwarpid] = 32;
    s[slot_lanemask_eq] = 1u << lane;
    s[slot_lanemask_lt] = (1u << lane) - 1;
    s[slot_lanemask_le] = uint32_t((2ull << lane) - 1);
    s[slot_lanemask_gt] = uint32_t(~((2ull << lane) - 1));
    s[slot_lanemask_ge] = uint32_t(~((1u << lane) - 1));
    t.shared = e.dyn_shared;
    t.shared_size = L.shared_bytes;
    if (L.m->bar_red) {
        red_area *h = reinterpret_cast<red_area *>(t.shared + L.red_offset);
        const uint64_t key = L.serial << 32 ^ (e.block_idx.x + uint64_t(e.grid_dim.x) * (e.block_idx.y + uint64_t(e.grid_dim.y) * e.block_idx.z));
        if (h->key != key) *h = red_area{key, {}, {}};
    }

    const size_t frames_bytes = sizeof(frame) * L.depth;
    const size_t total = L.local_bytes + L.mem_bytes + frames_bytes + 16;
    std::unique_ptr<unsigned char[]> heap;
    unsigned char *buf;
    if (total <= stack_frames_limit) {
        buf = static_cast<unsigned char *>(alloca(total));
    } else {
        heap.reset(new (std::nothrow) unsigned char[total]);
        buf = heap.get();
        if (!buf) {
            std::fprintf(stderr, "simdev: PTX kernel %s: no memory for a thread's %zu bytes of frames\n",
                         L.entry->name.c_str(), total);
            int expected = 0;
            L.job->fault.compare_exchange_strong(expected, dev::err_launch_failed);
            return;
        }
    }
    buf = reinterpret_cast<unsigned char *>((reinterpret_cast<uintptr_t>(buf) + 15) & ~uintptr_t(15));
    std::memset(buf, 0, L.local_bytes);
    t.local = buf;
    t.local_size = L.local_bytes;
    t.mem = buf + L.local_bytes;
    t.mem_size = L.mem_bytes;
    t.frames = reinterpret_cast<frame *>(t.mem + L.mem_bytes);
    t.max_depth = L.depth;
    t.stack_size = L.stack_bytes;
    if (!push_frame(t, nullptr, *L.entry, nullptr)) return;
    if (L.entry->formal_bytes) std::memcpy(t.params, L.params, L.entry->formal_bytes);

    for (;;) {
        const insn &i = t.code[t.pc++];
        if (uint8_t(t.r[i.guard] != 0) != i.want) continue;
#if defined(__SANITIZE_THREAD__)
        // A frame that names the PTX function and line in race reports.
        __tsan_func_entry(reinterpret_cast<void *>(race_pc(i)));
        i.fn(t, i);
        __tsan_func_exit(nullptr);  // the compiler's own declarations (-fsanitize=thread)
#else
        i.fn(t, i);
#endif
        if (__builtin_expect(t.stop, 0)) break;
    }
}

const dev::launch_thunk thunk{&run_thread};

}  // namespace

void fault(thread &t, const insn &i, int code, const char *what) {
    describe(t, i, what);
    set_fault(t, code);
}

void memory_fault(thread &t, const insn &i, int code, const char *space, uint64_t addr,
                  unsigned bytes) {
    char what[160];
    std::snprintf(what, sizeof what, "%s access of %u bytes at %s address 0x%llx", 
                  code == 716 ? "misaligned" : "out-of-bounds", bytes, space,
                  (unsigned long long)addr);
    fault(t, i, code, what);
}

bool global_ok_slow(thread &t, uintptr_t a, unsigned bytes) {
    const range_set &g = *t.ranges;
    auto it = std::upper_bound(g.lo.begin(), g.lo.end(), a);
    if (it == g.lo.begin()) return heap_ok(t, a, bytes);
    const size_t k = size_t(it - g.lo.begin()) - 1;
    if (a + bytes > g.hi[k] || a + bytes < a) return heap_ok(t, a, bytes);
    t.hint = uint32_t(k);
    return true;
}

void spin(thread &t, uint64_t addr, uint64_t value) {
    detail::spin_yield(reinterpret_cast<const void *>(uintptr_t(addr)), value);
    check_abort(t);
}

namespace {

// Live device blocks of the launch's device, mapped pinned memory and the
// module's variables are global memory. Memory freed while the kernel runs
// is a fault of the program on a GPU as well.
void take_ranges(const module &m, int device, range_set &out) {
    std::vector<std::pair<uintptr_t, uintptr_t>> r;
    if (m.var_bytes) {
        const uintptr_t lo = reinterpret_cast<uintptr_t>(m.var_base);
        r.push_back({lo, lo + m.var_bytes});
    }
    {
        std::lock_guard<std::mutex> lock(G().m);
        for (const auto &b : G().blocks) {
            const detail::mem_block &mb = b.second;
            if (mb.pinned ? !mb.mapped : mb.device != device) continue;
            r.push_back({b.first, b.first + mb.bytes});
        }
    }
    std::sort(r.begin(), r.end());
    out.lo.reserve(r.size());
    out.hi.reserve(r.size());
    for (const auto &x : r) out.lo.push_back(x.first), out.hi.push_back(x.second);
}

}  // namespace

void check_abort(thread &t) {
    if (__builtin_expect(t.L->job->fault.load(std::memory_order_relaxed) != 0, 0)) t.stop = true;
}

void h_ret(thread &t, const insn &) {
    if (t.depth == 0) {
        t.stop = true;
        return;
    }
    const frame &fr = t.frames[--t.depth];
    if (fr.site && fr.site->has_ret)
        std::memcpy(fr.params + fr.site->ret.to, t.params + fr.site->ret.from, fr.site->ret.bytes);
    t.code = fr.code, t.pc = fr.pc, t.r = fr.r, t.params = fr.params, t.param_bytes = fr.param_bytes;
    t.local_top = fr.local_top, t.mem_top = fr.mem_top, t.stack_top = fr.stack_top;
}

void h_exit(thread &t, const insn &) { t.stop = true; }

namespace {

// A NUL-terminated string at a generic address; false after the fault.
bool read_string(thread &t, const insn &i, uint64_t a, std::string &out) {
    out.clear();
    for (;;) {
        const unsigned char *p = address<sp_generic>(t, i, a + out.size(), 1);
        if (!p) return false;
        if (!*p) return true;
        out.push_back(char(*p));
        if (out.size() > 65536) {
            fault(t, i, dev::err_launch_failed, "unterminated string");
            return false;
        }
    }
}

// printf in device code: the format and a buffer of its arguments, each
// aligned to its size (integers 4 or 8 bytes, doubles and pointers 8).
int device_printf(thread &t, const insn &i, uint64_t fmt_addr, uint64_t args) {
    std::string fmt, out, s;
    if (!read_string(t, i, fmt_addr, fmt)) return -1;
    uint64_t at = args;
    int count = 0;
    auto take = [&](unsigned bytes, uint64_t &v) {
        at = (at + bytes - 1) / bytes * bytes;
        const unsigned char *p = address<sp_generic>(t, i, at, bytes);
        if (!p) return false;
        v = 0;
        std::memcpy(&v, p, bytes);
        at += bytes;
        ++count;
        return true;
    };
    char buf[512];
    for (size_t k = 0; k < fmt.size(); ++k) {
        if (fmt[k] != '%') {
            out.push_back(fmt[k]);
            continue;
        }
        size_t start = k++;
        while (k < fmt.size() && std::strchr("-+ #0", fmt[k])) ++k;
        while (k < fmt.size() && (std::isdigit(static_cast<unsigned char>(fmt[k])) || fmt[k] == '.')) ++k;
        int longs = 0;
        std::string spec = fmt.substr(start, k - start);
        while (k < fmt.size() && std::strchr("hlLqjzt", fmt[k])) longs += (fmt[k] == 'l' || fmt[k] == 'L' || fmt[k] == 'q' || fmt[k] == 'j' || fmt[k] == 'z' || fmt[k] == 't') ? 1 : 0, ++k;
        if (k >= fmt.size()) break;
        const char c = fmt[k];
        uint64_t v = 0;
        if (c == '%') {
            out.push_back('%');
            continue;
        }
        if (std::strchr("diouxXc", c)) {
            if (!take(longs ? 8 : 4, v)) return -1;
            std::string f = spec + "ll" + c;
            if (c == 'c') std::snprintf(buf, sizeof buf, (spec + "c").c_str(), int(v));
            else if (c == 'd' || c == 'i') std::snprintf(buf, sizeof buf, f.c_str(), longs ? (long long)v : (long long)int32_t(v));
            else std::snprintf(buf, sizeof buf, f.c_str(), longs ? (unsigned long long)v : (unsigned long long)uint32_t(v));
        } else if (std::strchr("fFeEgGaA", c)) {
            if (!take(8, v)) return -1;
            double d;
            std::memcpy(&d, &v, 8);
            std::snprintf(buf, sizeof buf, (spec + c).c_str(), d);
        } else if (c == 's') {
            if (!take(8, v)) return -1;
            if (!read_string(t, i, v, s)) return -1;
            std::snprintf(buf, sizeof buf, (spec + "s").c_str(), s.c_str());
            if (s.size() >= sizeof buf) {
                out += s;
                continue;
            }
        } else if (c == 'p') {
            if (!take(8, v)) return -1;
            std::snprintf(buf, sizeof buf, (spec + "p").c_str(), reinterpret_cast<void *>(uintptr_t(v)));
        } else {
            out += spec, out.push_back(c);
            continue;
        }
        out += buf;
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return count;
}

void builtin_call(thread &t, const insn &i, const call_site &site) {
    auto arg = [&](size_t k) {
        uint64_t v = 0;
        std::memcpy(&v, t.params + site.args[k].from, std::min<uint32_t>(site.args[k].bytes, 8));
        return v;
    };
    if (site.builtin == bi_malloc) {
        const uint64_t p = heap_malloc(t, arg(0));
        std::memcpy(t.params + site.ret.to, &p, std::min<uint32_t>(site.ret.bytes, 8));
        return;
    }
    if (site.builtin == bi_free) return heap_free(t, i, arg(0));
    if (site.builtin == bi_vprintf) {
        int r = device_printf(t, i, arg(0), arg(1));
        if (site.has_ret && !t.stop) std::memcpy(t.params + site.ret.to, &r, std::min<uint32_t>(site.ret.bytes, 4));
        return;
    }
    // __assertfail(message, file, line, function, char size)
    std::string msg, file, func;
    if (!read_string(t, i, arg(0), msg) || !read_string(t, i, arg(1), file) || !read_string(t, i, arg(3), func))
        return;
    const detail::exec_state &e = detail::tl_exec;
    std::fprintf(stderr, "%s:%u: %s: block: [%u,%u,%u], thread: [%u,%u,%u] Assertion `%s` failed.\n",
                 file.c_str(), unsigned(arg(2)), func.c_str(), e.block_idx.x, e.block_idx.y, e.block_idx.z,
                 e.cur->idx.x, e.cur->idx.y, e.cur->idx.z, msg.c_str());
    set_fault(t, 710);  // device-side assertion
}

}  // namespace

void h_call(thread &t, const insn &i) {
    const call_site &site = t.L->m->calls[size_t(i.imm)];
    if (site.builtin) return builtin_call(t, i, site);
    push_frame(t, &i, t.L->m->funcs[site.callee], &site);
}

void h_call_indirect(thread &t, const insn &i) {
    const module &m = *t.L->m;
    const call_site &site = m.calls[size_t(i.imm)];
    const uint64_t a = t.r[i.o[0]];
    uint32_t k;
    if (!m.function_at(a, k) || site.targets[k].callee == no_function) {
        char what[128];
        std::snprintf(what, sizeof what, "call through 0x%llx, not the address of a function of this signature",
                      (unsigned long long)a);
        return fault(t, i, dev::err_launch_failed, what);
    }
    push_frame(t, &i, m.funcs[k], &site.targets[k]);
}

void h_trap(thread &t, const insn &i) { fault(t, i, dev::err_launch_failed, "trap"); }

const char *site(const thread &t, const insn &i) { return t.L->m->sites[size_t(i.imm)].c_str(); }

void h_bar(thread &t, const insn &i) {
    detail::syncthreads(site(t, i));
    check_abort(t);
}

// barrier.sync with the barrier's number in o[0].
void h_bar_id(thread &t, const insn &i) {
    if (get<uint32_t>(t, i.o[0]) != 0) return fault(t, i, dev::err_launch_failed, "only barrier 0 is supported");
    h_bar(t, i);
}

// bar.red: o[0] d, o[1] the predicate; aux 0 popc, 1 and, 2 or.
void h_bar_red(thread &t, const insn &i) {
    red_area *h = reinterpret_cast<red_area *>(t.shared + t.L->red_offset);
    const unsigned k = t.red_phase++ % 3, next = (k + 1) % 3;
    h->trues[next] = 0;
    h->arrivals[next] = 0;
    ++h->arrivals[k];
    if (t.r[i.o[1]]) ++h->trues[k];
    detail::syncthreads(site(t, i));
    const uint32_t trues = h->trues[k], arrivals = h->arrivals[k];
    switch (i.aux) {
    case 0: put<uint32_t>(t, i.o[0], trues); break;
    case 1: t.r[i.o[0]] = trues == arrivals; break;
    default: t.r[i.o[0]] = trues != 0; break;
    }
    check_abort(t);
}

void h_bar_warp(thread &t, const insn &i) {
    detail::warp_op(get<uint32_t>(t, i.o[0]), detail::wm_sync, 0, 0, 0, nullptr, site(t, i));
    check_abort(t);
}

// shfl.sync: o[0] d, o[1] p, o[2] a, o[3] b, o[4] c, o[5] member mask; aux the mode.
void h_shfl(thread &t, const insn &i) {
    const int b = int(get<uint32_t>(t, i.o[3])), c = int(get<uint32_t>(t, i.o[4]));
    uint64_t v = detail::warp_op(get<uint32_t>(t, i.o[5]), i.aux, get<uint32_t>(t, i.o[2]), b, c,
                                 nullptr, site(t, i));
    put<uint32_t>(t, i.o[0], uint32_t(v));
    // Whether the source lane was in range, as the hardware decides it.
    const int lane = int(t.sreg[slot_laneid]), seg = (c >> 8) & 0x1f, clamp = c & 0x1f;
    const int min_lane = lane & seg, max_lane = min_lane | (clamp & ~seg);
    bool ok;
    switch (i.aux) {
    case detail::wm_up: ok = lane - b >= max_lane; break;
    case detail::wm_down: ok = lane + b <= max_lane; break;
    case detail::wm_xor: ok = (lane ^ (b & 0x1f)) <= max_lane; break;
    default: ok = (min_lane | (b & 0x1f & ~seg)) <= max_lane; break;
    }
    t.r[i.o[1]] = ok;
    check_abort(t);
}

// vote.sync: o[0] d, o[1] the predicate, o[2] member mask; aux 0 ballot, 1 any, 2 all, 3 uni.
void h_vote(thread &t, const insn &i) {
    unsigned group = 0;
    uint32_t ballot = uint32_t(detail::warp_op(get<uint32_t>(t, i.o[2]), detail::wm_vote,
                                               t.r[i.o[1]] != 0, 0, 0, &group, site(t, i)));
    switch (i.aux) {
    case 0: put<uint32_t>(t, i.o[0], ballot); break;
    case 1: t.r[i.o[0]] = ballot != 0; break;
    case 2: t.r[i.o[0]] = ballot == group; break;
    default: t.r[i.o[0]] = ballot == 0 || ballot == group; break;
    }
    check_abort(t);
}

void h_activemask(thread &t, const insn &i) { put<uint32_t>(t, i.o[0], detail::active_mask()); }

void h_fence(thread &, const insn &) { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

void h_clock(thread &t, const insn &i) {
    uint64_t ns = uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count());
    t.r[i.o[0]] = ns & width_mask(i.dw);
}

int run(const module &m, const function &entry, const grid_shape &shape,
        const unsigned char *params, size_t param_bytes) {
    launch L{};
    L.m = &m;
    L.entry = &entry;
    L.params = params;
    L.param_bytes = param_bytes;
    // Without dynamic memory the window ends with the last array, so that
    // any access past it faults at once.
    size_t zones = entry.zones.size();
    if (shape.shared_bytes == 0 && zones) --zones;
    L.shared_bytes = shape.shared_bytes ? entry.shared_dynamic + shape.shared_bytes
                     : zones < entry.zones.size() ? entry.zones.back().offset
                                                  : 0;
    L.red_offset = (L.shared_bytes + 7) & ~7u;
    const uint32_t window = m.bar_red ? L.red_offset + uint32_t(sizeof(red_area)) : L.shared_bytes;
    L.local_bytes = (entry.need_local + 15) & ~15u;
    L.mem_bytes = entry.need_frames;
    L.depth = entry.need_depth;
    L.stack_bytes = entry.need_stack;
    L.serial = next_serial.fetch_add(1);
    L.device = shape.device;
    take_ranges(m, shape.device, L.ranges);
    L.heap = heap_of(shape.device);
    detail::launch_job job;
    job.kernel = &L;
    job.thunk = &thunk;
    job.args = nullptr;
    job.grid = uint3{shape.grid[0], shape.grid[1], shape.grid[2]};
    job.block = uint3{shape.block[0], shape.block[1], shape.block[2]};
    job.shared_bytes = window;
    job.thread_order = sim::order(G().order.load());
    job.seed = G().seed.load();
    job.block_order = sim::order(G().block_order.load());
    job.block_seed = G().block_seed.load();
    job.name = entry.name.c_str();
    job.zones = entry.zones.data();
    job.zone_count = zones;
    job.resident = shape.resident;
    L.job = &job;
    return detail::run_grid(job);
}

}  // namespace ptx
}  // namespace sim
