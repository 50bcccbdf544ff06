// Process and thread state of the simulated device, its controls and the
// SIMDEV_* environment.
#include "internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace sim {
namespace detail {

namespace {

[[noreturn]] void bad_env(const char *name, const std::string &value) {
    std::fprintf(stderr, "simdev: cannot read %s=\"%s\"\n", name, value.c_str());
    std::abort();
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(sep, start);
        out.push_back(s.substr(start, p == std::string::npos ? p : p - start));
        if (p == std::string::npos) return out;
        start = p + 1;
    }
}

bool parse_long(const std::string &s, long long *v) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    *v = std::strtoll(s.c_str(), &end, 10);
    return errno == 0 && *end == 0;
}

fault_kind fault_by_name(const std::string &name, bool *found) {
    for (int k = 0; k < int(fault_kind::count_); ++k)
        if (name == fault_name(fault_kind(k))) {
            *found = true;
            return fault_kind(k);
        }
    *found = false;
    return fault_kind::count_;
}

void apply_order(const char *name, std::atomic<int> &o, std::atomic<unsigned> &s,
                 const std::string &v) {
    long long seed = 0;
    if (v == "forward") {
        o = int(order::forward);
    } else if (v == "reverse") {
        o = int(order::reverse);
    } else if (v == "random") {
        o = int(order::random);
    } else if (v.rfind("random:", 0) == 0 && parse_long(v.substr(7), &seed)) {
        o = int(order::random);
        s = unsigned(seed);
    } else {
        bad_env(name, v);
    }
}

void read_environment(global_state &g) {
    size_t capacity = device_desc{}.capacity;
    if (const char *c = std::getenv("SIMDEV_CAPACITY")) {
        long long v;
        if (!parse_long(c, &v) || v < 0) bad_env("SIMDEV_CAPACITY", c);
        capacity = size_t(v);
    }
    g.devices.assign(1, device_desc{});
    if (const char *d = std::getenv("SIMDEV_DEVICES")) {
        g.devices.clear();
        if (*d)
            for (const std::string &item : split(d, ',')) {
                size_t dot = item.find('.');
                long long major, minor;
                if (dot == std::string::npos || !parse_long(item.substr(0, dot), &major) ||
                    !parse_long(item.substr(dot + 1), &minor))
                    bad_env("SIMDEV_DEVICES", d);
                g.devices.push_back(device_desc{int(major), int(minor), capacity});
            }
    }
    for (device_desc &d : g.devices) d.capacity = capacity;
    if (const char *i = std::getenv("SIMDEV_INIT")) {
        long long v;
        if (!parse_long(i, &v)) bad_env("SIMDEV_INIT", i);
        g.init_result = int(v);
    }
    if (const char *o = std::getenv("SIMDEV_ORDER")) apply_order("SIMDEV_ORDER", g.order, g.seed, o);
    if (const char *o = std::getenv("SIMDEV_BLOCK_ORDER"))
        apply_order("SIMDEV_BLOCK_ORDER", g.block_order, g.block_seed, o);
    if (const char *f = std::getenv("SIMDEV_FAULTS")) {
        if (*f)
            for (const std::string &item : split(f, ',')) {
                std::vector<std::string> parts = split(item, ':');
                bool found = false;
                long long count, code, after = 0;
                fault_kind kind = parts.size() == 3 || parts.size() == 4
                                      ? fault_by_name(parts[0], &found)
                                      : fault_kind::count_;
                if (!found || !parse_long(parts[1], &count) || !parse_long(parts[2], &code) ||
                    (parts.size() == 4 && (!parse_long(parts[3], &after) || after < 0)))
                    bad_env("SIMDEV_FAULTS", f);
                g.faults[size_t(kind)] = fault_slot{int(count), int(code), int(after)};
            }
    }
}

void rebuild_devices(global_state &g) {
    size_t n = g.devices.size();
    g.allocated.resize(n, 0);
    // Contexts of devices that no longer exist die; their records stay
    // allocated until reset() so that a stale pointer is never reused.
    for (auto it = g.contexts.begin(); it != g.contexts.end();)
        it = (*it)->device >= int(n) ? g.contexts.erase(it) : std::next(it);
    for (size_t d = g.primary.size(); d < n; ++d) {
        auto *p = new dev::drv_context_rec{int(d), true};
        g.primary.push_back(p);
        g.contexts.insert(p);
    }
    g.primary.resize(n);  // records beyond n leak until reset (see above)
}

std::vector<dev::drv_context_rec *> &graveyard() { return G().retired; }

}  // namespace

global_state &G() {
    static global_state *g = [] {
        auto *s = new global_state;  // never destroyed: pool threads may outlive static destructors
        read_environment(*s);
        rebuild_devices(*s);
        return s;
    }();
    return *g;
}

thread_state &T() {
    static thread_local thread_state t;
    uint64_t gen = G().generation.load(std::memory_order_acquire);
    if (t.generation != gen) {
        t = thread_state{};
        t.generation = gen;
    }
    return t;
}

int take_fault(fault_kind kind) {
    global_state &g = G();
    std::lock_guard<std::mutex> lock(g.m);
    fault_slot &f = g.faults[size_t(kind)];
    if (f.count <= 0) return 0;
    if (f.after > 0) {
        --f.after;
        return 0;
    }
    --f.count;
    return f.code;
}

unsigned default_watchdog_seconds() {
    if (const char *s = std::getenv("SIMDEV_WATCHDOG")) {
        long long v;
        if (!parse_long(s, &v) || v < 0) bad_env("SIMDEV_WATCHDOG", s);
        return v == 0 ? ~0u : unsigned(v);
    }
    return 60;
}

int context_fault() {
    dev::drv_context_rec *c = T().current;
    return c && G().contexts.count(c) ? c->sticky : 0;
}

int fail(int code) {
    if (code != 0) T().pending = code;
    return code;
}

int runtime_context(int *device) {
    global_state &g = G();
    thread_state &t = T();
    if (t.current && g.contexts.count(t.current)) {
        *device = t.current->device;
        return 0;
    }
    if (g.init_result != 0) return g.init_result;
    if (g.devices.empty()) return dev::err_no_device;
    if (t.runtime_device >= int(g.devices.size())) return dev::err_invalid_device;
    g.driver_initialized = true;
    t.current = g.primary[size_t(t.runtime_device)];
    *device = t.runtime_device;
    return 0;
}

void retire_context(dev::drv_context_rec *ctx) { graveyard().push_back(ctx); }

}  // namespace detail

using namespace detail;

void set_devices(const std::vector<device_desc> &devices) {
    global_state &g = G();
    std::lock_guard<std::mutex> lock(g.m);
    for (dev::drv_context_rec *p : g.primary)
        if (p && p->device >= int(devices.size())) graveyard().push_back(p);
    for (dev::drv_context_rec *c : g.contexts)
        if (!c->primary && c->device >= int(devices.size())) graveyard().push_back(c);
    g.devices = devices;
    rebuild_devices(g);
}

void set_init_result(int code) {
    global_state &g = G();
    std::lock_guard<std::mutex> lock(g.m);
    g.init_result = code;
}

void set_thread_order(order o, unsigned seed) {
    G().order = int(o);
    G().seed = seed;
}

order thread_order() { return order(G().order.load()); }

void set_block_order(order o, unsigned seed) {
    G().block_order = int(o);
    G().block_seed = seed;
}

order block_order() { return order(G().block_order.load()); }

void inject(fault_kind kind, int count, int code, int after) {
    if (kind >= fault_kind::count_) return;
    global_state &g = G();
    std::lock_guard<std::mutex> lock(g.m);
    g.faults[size_t(kind)] = fault_slot{count, code, after > 0 ? after : 0};
}

const char *fault_name(fault_kind kind) {
    static const char *const names[] = {
        "malloc",       "free",      "memcpy_htod",    "memcpy_dtoh",  "memcpy_dtod",
        "memcpy_to_symbol", "tex_bind", "tex_unbind", "synchronize",  "launch_config",
        "kernel_run",   "get_device", "host_alloc",    "free_host",    "ctx_get_device",
        "mem_get_info", "memset",    "device_count",   "device_get",   "capability",
        "module_load",  "drv_launch", "blas",
        "block_shape",  "shared_size", "param_size",   "param_set",    "last_error",
    };
    static_assert(sizeof(names) / sizeof(names[0]) == size_t(fault_kind::count_),
                  "one name per fault kind");
    return kind < fault_kind::count_ ? names[size_t(kind)] : "?";
}

const char *call_name(call_kind kind) {
    static const char *const names[] = {
        "launch",      "tex_bind",    "tex_unbind", "memcpy_htod", "memcpy_dtoh",
        "memcpy_dtod", "memcpy_to_symbol", "memset", "blas",
    };
    static_assert(sizeof(names) / sizeof(names[0]) == size_t(call_kind::blas) + 1,
                  "one name per call kind");
    return size_t(kind) <= size_t(call_kind::blas) ? names[size_t(kind)] : "?";
}

void log_calls(bool on) { T().logging = on; }
std::vector<call> calls() { return T().log; }
void clear_calls() { T().log.clear(); }

counters stats() {
    global_state &g = G();
    std::lock_guard<std::mutex> lock(g.m);
    counters c = g.stats;
    c.live_allocations = 0;
    c.live_bytes = 0;
    for (const auto &b : g.blocks)
        if (!b.second.pinned) {
            ++c.live_allocations;
            c.live_bytes += b.second.bytes;
        }
    return c;
}

void reset() {
    global_state &g = G();
    std::lock_guard<std::mutex> lock(g.m);
    free_all_memory();
    for (dev::drv_context_rec *c : g.contexts) graveyard().push_back(c);
    for (dev::drv_context_rec *c : g.primary) graveyard().push_back(c);
    std::set<dev::drv_context_rec *> unique(graveyard().begin(), graveyard().end());
    for (dev::drv_context_rec *c : unique) delete c;
    graveyard().clear();
    g.contexts.clear();
    g.primary.clear();
    g.allocated.clear();
    g.devices.assign(1, device_desc{});
    rebuild_devices(g);
    g.init_result = 0;
    g.driver_initialized = false;
    for (fault_slot &f : g.faults) f = fault_slot{};
    g.stats = counters{};
    g.order = int(order::forward);
    g.seed = 0;
    g.block_order = int(order::forward);
    g.block_seed = 0;
    g.blas_initialized = false;
    g.blas_status = 0;
    g.generation.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace sim
