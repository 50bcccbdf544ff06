// The simulated device behind the cuda build's own binaries: the modules nvcc
// embeds in host code (their PTX run by the executor), the runtime's calls
// that the simulated device lacks, and the bridge that the runtime and
// cuBLAS libraries of this mode call. Lives in the driver library, so that
// every part of a process sees one device.
#include "bridge.h"

#include "device/sim/internal.h"
#include "device/sim/ptx/module.h"
#include "device/sim/ptx/texture.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

using namespace sim::detail;

namespace {

// ------------------------------------------------------------ embedded modules

constexpr int err_invalid_symbol = 13;
constexpr int err_invalid_device_function = 98;

struct ptx_image {
    unsigned arch;  // sm_XY as XY
    std::string text;
};

struct loaded {
    int error = 0;
    std::unique_ptr<sim::ptx::module> code;
};

struct fat_module {
    std::string origin;              // what to name in a diagnostic
    std::vector<ptx_image> images;   // every PTX image of the fat binary
    bool other_code = false;         // it holds code that is not PTX text
    std::mutex m;
    std::map<int, loaded> by_device;  // loaded on first use per device
};

struct kernel_rec {
    fat_module *module;
    std::string name;
};

struct var_rec {
    fat_module *module;
    std::string name;
    size_t bytes;
};

struct registry {
    std::mutex m;
    std::vector<std::unique_ptr<fat_module>> modules;
    std::map<const void *, std::unique_ptr<kernel_rec>> kernels;  // by host stub
    std::map<const void *, var_rec> vars;                          // by host shadow
};

registry &reg() {
    static registry *r = new registry;  // registrations outlive static destructors
    return *r;
}

template <typename T>
T read_at(const unsigned char *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The fat binary: a header (magic, version, header size, size of the
// entries) and entries, each a header (kind, header size, payload size,
// target architecture) and its payload. Kind 1 is PTX text.
void read_fatbin(fat_module &fm, const unsigned char *data) {
    constexpr uint32_t fatbin_magic = 0xBA55ED50u;
    if (!data || read_at<uint32_t>(data) != fatbin_magic) {
        fm.other_code = true;
        return;
    }
    const uint16_t header = read_at<uint16_t>(data + 6);
    const uint64_t size = read_at<uint64_t>(data + 8);
    const unsigned char *p = data + header, *end = p + size;
    while (p + 32 <= end) {
        const uint16_t kind = read_at<uint16_t>(p);
        const uint32_t eh = read_at<uint32_t>(p + 4);
        const uint64_t payload = read_at<uint64_t>(p + 8);
        const uint32_t arch = read_at<uint32_t>(p + 28);
        if (eh < 32 || payload > uint64_t(end - p) - eh) break;
        const char *text = reinterpret_cast<const char *>(p + eh);
        std::string s(text, strnlen(text, payload));
        // Compressed PTX does not read as text: the build must keep it plain.
        if (kind == 1 && s.find(".version") != std::string::npos && s.find(".target") != std::string::npos)
            fm.images.push_back({arch, std::move(s)});
        else
            fm.other_code = true;
        p += eh + payload;
    }
}

// The module of `fm` for `device` (loading it the first time), or null with
// the error in *error: 209 without PTX the device can run, else the load's.
const sim::ptx::module *module_for(fat_module &fm, int device, int *error) {
    int cap;
    {
        std::lock_guard<std::mutex> lock(G().m);
        const sim::device_desc &d = G().devices[size_t(device)];
        cap = d.major * 10 + d.minor;
    }
    std::lock_guard<std::mutex> lock(fm.m);
    loaded &l = fm.by_device[device];
    if (!l.code && !l.error) {
        const ptx_image *best = nullptr;
        for (const ptx_image &im : fm.images)
            if (int(im.arch) <= cap && (!best || im.arch > best->arch)) best = &im;
        if (!best) {
            l.error = dev::err_no_binary_for_gpu;
            std::fprintf(stderr, "cudasim: %s holds no PTX for a device of capability %d.%d%s\n",
                         fm.origin.c_str(), cap / 10, cap % 10,
                         fm.other_code ? " (only binary or compressed code)" : "");
        } else {
            std::string diag;
            l.error = sim::ptx::load(best->text.c_str(), cap, l.code, diag);
            if (l.error)
                std::fprintf(stderr, "cudasim: the PTX of %s does not load: %s\n", fm.origin.c_str(),
                             diag.c_str());
        }
    }
    *error = l.error;
    return l.code.get();
}

// The runtime's context of the calling thread; 0 and its device, or the error.
int runtime_device(int *device) {
    std::lock_guard<std::mutex> lock(G().m);
    if (int e = runtime_context(device)) return e;
    return context_fault();
}

// Runtime-side limits of a launch, as a device of this capability has them.
int check_config(const sim::device_desc &d, const sim::ptx::function &f, const unsigned grid[3],
                 const unsigned block[3], size_t shared_bytes) {
    const sim::detail::device_limits l = sim::detail::limits_of(d);
    const unsigned long long threads = (unsigned long long)block[0] * block[1] * block[2];
    if (!grid[0] || !grid[1] || !grid[2] || !block[0] || !block[1] || !block[2] ||
        grid[0] > l.max_grid[0] || grid[1] > l.max_grid[1] || grid[2] > l.max_grid[2] ||
        block[0] > l.max_block[0] || block[1] > l.max_block[1] || block[2] > l.max_block[2] ||
        threads > l.max_threads)
        return dev::err_invalid_configuration;
    if (size_t(f.shared_static) + shared_bytes > l.max_shared) return dev::err_invalid_configuration;
    // Shapes the kernel was compiled for (__launch_bounds__, __maxnreg__ and the like).
    if ((f.maxntid && threads > f.maxntid) ||
        (f.reqntid[0] && (block[0] != f.reqntid[0] || block[1] != f.reqntid[1] || block[2] != f.reqntid[2])))
        return dev::err_invalid_configuration;
    const unsigned long long per_thread = 64ull + f.need_local + f.need_frames;
    if (threads * per_thread > (256ull << 20)) return 701;  // too many resources requested
    return 0;
}

bool in_device_memory(const void *p, size_t bytes) {
    std::lock_guard<std::mutex> lock(G().m);
    return find_device_range(p, bytes) != nullptr;
}

// Events: nothing is ever outstanding on the legacy stream here.
struct event_rec {
    int magic = 0x45564e54;
};
std::mutex events_mutex;
std::set<event_rec *> live_events;

}  // namespace

// ------------------------------------------------------------ the bridge

bool cudasim_allocation(const void *p, uintptr_t *start, size_t *bytes, int *device, bool *mapped) {
    std::lock_guard<std::mutex> lock(G().m);
    const auto &blocks = G().blocks;
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    auto it = blocks.upper_bound(a);
    if (it == blocks.begin()) return false;
    --it;
    const sim::detail::mem_block &b = it->second;
    if (a - it->first >= b.bytes) return false;
    *start = it->first;
    *bytes = b.bytes;
    *device = b.pinned ? -1 : b.device;
    *mapped = !b.pinned || b.mapped;
    return true;
}

extern "C" {

int cudasim_fail(int code) { return fail(code); }
int cudasim_get_last_error() { return dev::get_last_error(); }
int cudasim_peek_last_error() { return dev::peek_last_error(); }
int cudasim_malloc(void **ptr, size_t bytes) { return dev::malloc(ptr, bytes); }
int cudasim_free(void *ptr) { return dev::free(ptr); }

int cudasim_memcpy(void *dst, const void *src, size_t bytes, int kind) {
    if (kind == 4) {  // inferred from the addresses, as unified addressing has it
        const bool d = in_device_memory(dst, bytes), s = in_device_memory(src, bytes);
        kind = d ? (s ? 3 : 1) : (s ? 2 : 0);
    }
    switch (kind) {
    case 0: {
        int device;
        if (int e = runtime_device(&device)) return fail(e);
        if (bytes && (!dst || !src)) return fail(dev::err_invalid_value);
        if (bytes) std::memmove(dst, src, bytes);
        return 0;
    }
    case 1: return dev::memcpy_htod(dst, src, bytes);
    case 2: return dev::memcpy_dtoh(dst, src, bytes);
    case 3: return dev::memcpy_dtod(dst, src, bytes);
    default: return fail(21);  // cudaErrorInvalidMemcpyDirection
    }
}

int cudasim_memset(void *dst, int value, size_t bytes) {
    int device;
    if (int e = runtime_device(&device)) return fail(e);
    if (bytes == 0) return 0;
    if (!in_device_memory(dst, bytes)) return fail(dev::err_invalid_value);
    std::memset(dst, value, bytes);
    return 0;
}

int cudasim_synchronize() { return dev::synchronize(); }
int cudasim_get_device(int *ordinal) { return dev::get_device(ordinal); }
int cudasim_set_device(int ordinal) { return dev::set_device(ordinal); }
const char *cudasim_error_string(int code) { return dev::error_string(code); }

int cudasim_device_count(int *count) {
    if (!count) return fail(dev::err_invalid_value);
    std::lock_guard<std::mutex> lock(G().m);
    if (G().init_result) return fail(G().init_result);
    if (G().devices.empty()) return fail(dev::err_no_device);
    *count = int(G().devices.size());
    return 0;
}

int cudasim_runtime_ready() {
    int device;
    return fail(runtime_device(&device));
}

int cudasim_context_fault() {
    std::lock_guard<std::mutex> lock(G().m);
    return context_fault();
}

void *cudasim_register_fatbin(const void *wrapper) {
    auto fm = std::make_unique<fat_module>();
    constexpr int wrapper_magic = 0x466243B1;
    const unsigned char *w = static_cast<const unsigned char *>(wrapper);
    if (w && read_at<int>(w) == wrapper_magic)
        read_fatbin(*fm, read_at<const unsigned char *>(w + 8));
    else
        fm->other_code = true;
    char origin[64];
    std::snprintf(origin, sizeof origin, "the module at %p", wrapper);
    fm->origin = origin;
    registry &r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    r.modules.push_back(std::move(fm));
    return r.modules.back().get();
}

void cudasim_register_function(void *module, const void *host_fun, const char *name) {
    registry &r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    auto &fm = *static_cast<fat_module *>(module);
    if (fm.origin.rfind("the module at", 0) == 0) fm.origin = std::string("the module of kernel ") + name;
    r.kernels[host_fun] = std::make_unique<kernel_rec>(kernel_rec{&fm, name});
}

void cudasim_register_var(void *module, const void *host_var, const char *name, size_t bytes) {
    registry &r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    r.vars[host_var] = var_rec{static_cast<fat_module *>(module), name, bytes};
}

void *cudasim_kernel(const void *host_fun) {
    registry &r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    auto it = r.kernels.find(host_fun);
    return it == r.kernels.end() ? nullptr : it->second.get();
}

int cudasim_launch(void *kernel, const unsigned grid[3], const unsigned block[3], size_t shared_bytes,
                   void **args) {
    int device;
    if (int e = runtime_device(&device)) return fail(e);
    const kernel_rec *k = static_cast<const kernel_rec *>(kernel);
    if (!k) return fail(err_invalid_device_function);
    int error = 0;
    const sim::ptx::module *m = module_for(*k->module, device, &error);
    if (!m) return fail(error);
    auto it = m->by_name.find(k->name);
    if (it == m->by_name.end() || !m->funcs[it->second].entry) return fail(err_invalid_device_function);
    const sim::ptx::function &f = m->funcs[it->second];
    sim::device_desc d;
    {
        std::lock_guard<std::mutex> lock(G().m);
        d = G().devices[size_t(device)];
    }
    if (int e = check_config(d, f, grid, block, shared_bytes)) {
        std::lock_guard<std::mutex> lock(G().m);
        ++G().stats.refused_launches;
        return fail(e);
    }
    // The parameter block from the entry's own parameter list.
    std::vector<unsigned char> params(f.formal_bytes);
    if (!f.formals.empty() && !args) return fail(dev::err_invalid_value);
    for (size_t p = 0; p < f.formals.size(); ++p)
        std::memcpy(params.data() + f.formals[p].off, args[p], f.formals[p].bytes);
    sim::ptx::grid_shape shape{{grid[0], grid[1], grid[2]}, {block[0], block[1], block[2]},
                               unsigned(shared_bytes), device,
                               sim::detail::resident_blocks(d, (unsigned long long)block[0] * block[1] * block[2],
                                                            f.shared_static + shared_bytes)};
    stream_enter();
    int fault = sim::ptx::run(*m, f, shape, params.data(), params.size());
    stream_leave();
    std::lock_guard<std::mutex> lock(G().m);
    ++G().stats.launches;
    if (fault) {
        // A kernel's fault breaks its context for good, and shows at the next
        // synchronising call, as on a GPU.
        if (dev::drv_context_rec *c = T().current) c->sticky = fault;
        T().async_fault = fault;
        fail(fault);
    }
    return 0;
}

int cudasim_symbol(const void *host_var, void **address, size_t *bytes) {
    int device;
    if (int e = runtime_device(&device)) return fail(e);
    var_rec v;
    {
        registry &r = reg();
        std::lock_guard<std::mutex> lock(r.m);
        auto it = r.vars.find(host_var);
        if (it == r.vars.end()) return fail(err_invalid_symbol);
        v = it->second;
    }
    int error = 0;
    const sim::ptx::module *m = module_for(*v.module, device, &error);
    if (!m) return fail(error);
    auto it = m->var_names.find(v.name);
    if (it == m->var_names.end()) return fail(err_invalid_symbol);
    *address = m->var_base + it->second.first;
    *bytes = size_t(it->second.second);
    return 0;
}

int cudasim_tex_create(unsigned long long *object, const void *ptr, size_t bytes, int channels,
                       int channel_bytes) {
    int device;
    if (int e = runtime_device(&device)) return fail(e);
    if (!object || !ptr || (channels != 1 && channels != 2 && channels != 4) || channel_bytes != 4)
        return fail(dev::err_invalid_value);
    const size_t texel = size_t(channels) * size_t(channel_bytes);
    // Linear memory: aligned, a whole number of texels, inside one allocation.
    if (reinterpret_cast<uintptr_t>(ptr) % device_alignment || bytes == 0 || bytes % texel ||
        bytes / texel > dev::max_texture_elements || !in_device_memory(ptr, bytes))
        return fail(dev::err_invalid_value);
    sim::ptx::tex_desc d{static_cast<const unsigned char *>(ptr), bytes / texel, uint8_t(channels),
                         uint8_t(channel_bytes)};
    unsigned long long h = sim::ptx::tex_create(d);
    if (!h) return fail(dev::err_memory_allocation);
    *object = h;
    return 0;
}

int cudasim_tex_destroy(unsigned long long object) {
    return sim::ptx::tex_destroy(object) ? 0 : fail(dev::err_invalid_value);
}

void *cudasim_event_new() {
    auto *e = new event_rec;
    std::lock_guard<std::mutex> lock(events_mutex);
    live_events.insert(e);
    return e;
}

bool cudasim_event_delete(void *e) {
    std::lock_guard<std::mutex> lock(events_mutex);
    if (!live_events.erase(static_cast<event_rec *>(e))) return false;
    delete static_cast<event_rec *>(e);
    return true;
}

bool cudasim_event_live(void *e) {
    std::lock_guard<std::mutex> lock(events_mutex);
    return live_events.count(static_cast<event_rec *>(e)) != 0;
}

int cudasim_blas_init() { return dev::blas_init(); }
int cudasim_blas_shutdown() { return dev::blas_shutdown(); }
int cudasim_blas_get_error() { return dev::blas_get_error(); }
float cudasim_blas_sdot(int n, const float *x, int incx, const float *y, int incy) {
    return dev::blas_sdot(n, x, incx, y, incy);
}
double cudasim_blas_ddot(int n, const double *x, int incx, const double *y, int incy) {
    return dev::blas_ddot(n, x, incx, y, incy);
}
void cudasim_blas_cdotu(float *r, int n, const void *x, int incx, const void *y, int incy) {
    float2 v = dev::blas_cdotu(n, static_cast<const float2 *>(x), incx, static_cast<const float2 *>(y), incy);
    r[0] = v.x, r[1] = v.y;
}
void cudasim_blas_zdotu(double *r, int n, const void *x, int incx, const void *y, int incy) {
    double2 v = dev::blas_zdotu(n, static_cast<const double2 *>(x), incx, static_cast<const double2 *>(y), incy);
    r[0] = v.x, r[1] = v.y;
}
void cudasim_blas_sgemv(char trans, int m, int n, float alpha, const float *a, int lda, const float *x,
                        int incx, float beta, float *y, int incy) {
    dev::blas_sgemv(trans, m, n, alpha, a, lda, x, incx, beta, y, incy);
}
void cudasim_blas_dgemv(char trans, int m, int n, double alpha, const double *a, int lda,
                        const double *x, int incx, double beta, double *y, int incy) {
    dev::blas_dgemv(trans, m, n, alpha, a, lda, x, incx, beta, y, incy);
}
void cudasim_blas_zgemv(char trans, int m, int n, const double *alpha, const void *a, int lda,
                        const void *x, int incx, const double *beta, void *y, int incy) {
    dev::blas_zgemv(trans, m, n, make_double2(alpha[0], alpha[1]), static_cast<const double2 *>(a), lda,
                    static_cast<const double2 *>(x), incx, make_double2(beta[0], beta[1]),
                    static_cast<double2 *>(y), incy);
}
void cudasim_blas_sgemm(char ta, char tb, int m, int n, int k, float alpha, const float *a, int lda,
                        const float *b, int ldb, float beta, float *c, int ldc) {
    dev::blas_sgemm(ta, tb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}
void cudasim_blas_dgemm(char ta, char tb, int m, int n, int k, double alpha, const double *a,
                        int lda, const double *b, int ldb, double beta, double *c, int ldc) {
    dev::blas_dgemm(ta, tb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}
void cudasim_blas_cgemm(char ta, char tb, int m, int n, int k, const float *alpha, const void *a,
                        int lda, const void *b, int ldb, const float *beta, void *c, int ldc) {
    dev::blas_cgemm(ta, tb, m, n, k, make_float2(alpha[0], alpha[1]), static_cast<const float2 *>(a), lda,
                    static_cast<const float2 *>(b), ldb, make_float2(beta[0], beta[1]),
                    static_cast<float2 *>(c), ldc);
}
void cudasim_blas_zgemm(char ta, char tb, int m, int n, int k, const double *alpha, const void *a,
                        int lda, const void *b, int ldb, const double *beta, void *c, int ldc) {
    dev::blas_zgemm(ta, tb, m, n, k, make_double2(alpha[0], alpha[1]), static_cast<const double2 *>(a),
                    lda, static_cast<const double2 *>(b), ldb, make_double2(beta[0], beta[1]),
                    static_cast<double2 *>(c), ldc);
}

}  // extern "C"
