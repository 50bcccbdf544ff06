// libpelkor64, a stand-in for the array engine: buffers with a host copy and
// device memory through the device seam, views, counted references, holds for
// the length of a MEX call, lazy conversions, and the controls of control.h.
//
// A buffer carries references (its owners: the array records that name it,
// and the call for what it took itself) and, on its root, one hold of the
// current call. free drops a reference and releases the buffer at the last;
// unlock ends the hold. A view shares its root's memory, copies and hold; it
// is made without a reference, holds one of its parent's while it has any,
// and a view never given one dies with its root. The reclaim calls give
// back the device memory of buffers that no call holds: their values stay in
// the host copy, and the next device access places them anew (an address is
// only valid while held).
#include "control.h"

#include "device/device.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <type_traits>
#include <unordered_map>

namespace {

const char *const file_engine = "pelkor";

struct buf : buffer_t {
    unsigned id = 0;
    int refs = 1;
    bool dead = false;
    // Root only: the call's hold, the call it was taken in, which copy is current.
    bool held = false;
    unsigned hold_call = 0;
    bool host_valid = false, dev_valid = true;
    bool on_device = true;   // root only: has device memory
    uint32_t offset = 0;     // view: bytes from its root's start
    // Made for MATLAB data: it lives until the call ends.
    bool transient = false, expiring = false;
    std::vector<buf *> views;
};

struct injection {
    err_t e;
    int count, after;
};

struct state_t {
    std::vector<std::unique_ptr<buf>> buffers;
    std::unordered_map<const buffer_t *, buf *> known;
    std::vector<std::pair<const mxArray *, buf *>> data_buffers;
    std::vector<std::string> log, faults;
    std::map<std::string, injection> injected;
    unsigned call = 0;
    int needs_copy_mode = -1;
};

state_t &st() {
    static state_t s;
    return s;
}

engine_t g_engine_rec;

// ------------------------------------------------------------ elements

#define PELKOR_CLASSES(X)                                                                     \
    X(mxLOGICAL_CLASS, uint8_t) X(mxDOUBLE_CLASS, double) X(mxSINGLE_CLASS, float)            \
    X(mxINT8_CLASS, int8_t) X(mxUINT8_CLASS, uint8_t) X(mxINT16_CLASS, int16_t)               \
    X(mxUINT16_CLASS, uint16_t) X(mxINT32_CLASS, int32_t) X(mxUINT32_CLASS, uint32_t)         \
    X(mxINT64_CLASS, int64_t) X(mxUINT64_CLASS, uint64_t)

size_t class_size(mxClassID c) {
    switch (c) {
#define X(id, type) \
    case id: return sizeof(type);
        PELKOR_CLASSES(X)
#undef X
    default: return 0;
    }
}

template <typename T> T to_element(double v) {
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(v);
    } else {
        if (std::isnan(v)) return 0;
        v = std::round(v);
        if (v <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
        if (v >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
        return static_cast<T>(v);
    }
}

double load(mxClassID c, const void *p, size_t i) {
    switch (c) {
#define X(id, type) \
    case id: return static_cast<double>(static_cast<const type *>(p)[i]);
        PELKOR_CLASSES(X)
#undef X
    default: return 0;
    }
}

void store(mxClassID c, void *p, size_t i, double v) {
    if (c == mxLOGICAL_CLASS) {
        static_cast<uint8_t *>(p)[i] = v != 0;
        return;
    }
    switch (c) {
#define X(id, type) \
    case id: static_cast<type *>(p)[i] = to_element<type>(v); break;
        PELKOR_CLASSES(X)
#undef X
    default: break;
    }
}

// Elements of one layout: separate parts (MATLAB data) or interleaved (buffers).
struct elements {
    mxClassID c;
    void *re, *im;  // im null: real; im == re: interleaved complex
    double get(size_t i, bool imag) const {
        if (!im) return imag ? 0 : load(c, re, i);
        if (im == re) return load(c, re, 2 * i + imag);
        return load(c, imag ? im : re, i);
    }
    void put(size_t i, bool imag, double v) const {
        if (!im) {
            if (!imag) store(c, re, i, v);
        } else if (im == re) {
            store(c, re, 2 * i + imag, v);
        } else {
            store(c, imag ? im : re, i, v);
        }
    }
};

void convert(const elements &to, const elements &from, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        to.put(i, false, from.get(i, false));
        if (to.im) to.put(i, true, from.get(i, true));
    }
}

// ------------------------------------------------------------ buffers

std::string name_of(const buffer_t *b) {
    if (!b) return "null";
    auto it = st().known.find(b);
    return it == st().known.end() ? "unknown" : "b" + std::to_string(it->second->id);
}

void note(const std::string &line) { st().log.push_back(line); }

buf *root(buf *b) {
    while (!b->is_root) b = static_cast<buf *>(b->parent);
    return b;
}

// The buffer behind a pointer the SDK hands in; null (and a fault) for one that
// is not the engine's or has been released.
buf *live(buffer_t *p, const char *op) {
    auto it = st().known.find(p);
    if (!p || it == st().known.end()) {
        st().faults.push_back(std::string("unknown buffer (") + op + ")");
        return nullptr;
    }
    if (it->second->dead) {
        st().faults.push_back("use after free " + name_of(p) + " (" + op + ")");
        return nullptr;
    }
    return it->second;
}

// An injected triple for this call of `op`, if any.
bool injected(const char *op, err_t *e) {
    auto it = st().injected.find(op);
    if (it == st().injected.end()) return false;
    injection &inj = it->second;
    if (inj.after > 0) {
        --inj.after;
        return false;
    }
    if (inj.count <= 0) return false;
    --inj.count;
    *e = inj.e;
    return true;
}

err_t ok() { return err_t{0, file_engine, nullptr}; }
err_t failure(int line, const char *msg) { return err_t{line, file_engine, msg}; }

// A buffer record, numbered and known to the checks from now on.
buf *new_buffer(void *host, uint64_t dev_ptr, uint32_t bytes, buf *parent) {
    auto b = std::make_unique<buf>();
    b->host_ptr = host;
    b->dev_ptr = dev_ptr;
    b->nbytes = bytes;
    b->engine_data = nullptr;
    b->is_root = parent == nullptr;
    b->parent = parent;
    b->id = static_cast<unsigned>(st().buffers.size()) + 1;
    buf *p = b.get();
    st().known[p] = p;
    st().buffers.push_back(std::move(b));
    return p;
}

buf *new_root(uint32_t bytes) {
    void *dev = nullptr;
    size_t room = bytes ? bytes : 1;  // distinct addresses also for empty buffers
    if (dev::malloc(&dev, room) != 0) {
        dev::get_last_error();
        return nullptr;
    }
    void *host = std::calloc(room, 1);
    if (!host) {
        dev::free(dev);
        return nullptr;
    }
    return new_buffer(host, reinterpret_cast<uint64_t>(dev), bytes, nullptr);
}

void kill(buf *b) {
    if (b->dead) return;
    b->dead = true;
    b->held = false;
    if (b->is_root) {
        for (buf *v : b->views) kill(v);
        std::free(b->host_ptr);
        if (b->on_device) dev::free(reinterpret_cast<void *>(b->dev_ptr));
    }
}

void set_device_address(buf *r, uint64_t address) {
    r->dev_ptr = address;
    for (buf *v : r->views) v->dev_ptr = address ? address + v->offset : 0;
}

// Device memory for a root whose memory was reclaimed; its host copy is current.
err_t place(buf *r) {
    if (r->on_device) return err_t{0, "pelkor", nullptr};
    void *dev = nullptr;
    if (dev::malloc(&dev, r->nbytes ? r->nbytes : 1) != 0) {
        dev::get_last_error();
        return err_t{6, "pelkor", "unable to allocate GPU memory"};
    }
    r->on_device = true;
    r->dev_valid = false;
    set_device_address(r, reinterpret_cast<uint64_t>(dev));
    return err_t{0, "pelkor", nullptr};
}

void hold(buf *b) {
    buf *r = root(b);
    if (!r->held) {
        r->held = true;
        r->hold_call = st().call;
    }
}

// Makes the host copy current.
err_t to_host(buf *r) {
    if (!r->host_valid) {
        if (dev::memcpy_dtoh(r->host_ptr, reinterpret_cast<void *>(r->dev_ptr), r->nbytes) != 0) {
            dev::get_last_error();
            return failure(3, "GPU memory copy failed");
        }
        r->host_valid = true;
    }
    return ok();
}

err_t to_device(buf *r) {
    err_t placed = place(r);
    if (placed.msg) return placed;
    if (!r->dev_valid) {
        if (dev::memcpy_htod(reinterpret_cast<void *>(r->dev_ptr), r->host_ptr, r->nbytes) != 0) {
            dev::get_last_error();
            return failure(3, "GPU memory copy failed");
        }
        r->dev_valid = true;
    }
    return ok();
}

// ------------------------------------------------------------ array records

bool is_garray(const mxArray *a) {
    static const char *fields[] = {"stack", "dims", "leftop", "rightop"};
    if (!a || !mxIsStruct(a) || mxGetNumberOfElements(a) != 1 || mxGetNumberOfFields(a) != 4)
        return false;
    for (int i = 0; i < 4; ++i)
        if (std::strcmp(mxGetFieldNameByNumber(a, i), fields[i]) != 0) return false;
    const mxArray *stack = mxGetField(a, 0, "stack");
    const mxArray *dims = mxGetField(a, 0, "dims");
    if (!stack || mxGetClassID(stack) != mxINT8_CLASS || mxIsComplex(stack) ||
        mxGetNumberOfElements(stack) != sizeof(stack_rec_t) || !dims ||
        mxGetClassID(dims) != mxUINT64_CLASS)
        return false;
    const auto *rec = static_cast<const stack_rec_t *>(mxGetData(stack));
    return rec->engine == &g_engine_rec;
}

stack_rec_t *record(const mxArray *a) {
    return static_cast<stack_rec_t *>(mxGetData(mxGetField(a, 0, "stack")));
}

buf *data_buffer(const mxArray *a) {
    for (auto &e : st().data_buffers)
        if (e.first == a) return e.second;
    return nullptr;
}

size_t numel_of(const mxArray *a) {
    const dim_t *sizes = nullptr;
    dim_t n = m_dims(a, &sizes);
    size_t count = 1;
    for (dim_t i = 0; i < n; ++i) count *= sizes[i];
    return count;
}

// A root buffer holding `from` converted to class `c` (complex: interleaved).
buf *filled(mxClassID c, bool complex, const elements &from, size_t n) {
    uint64_t bytes = uint64_t(n) * class_size(c) * (complex ? 2 : 1);
    if (!class_size(c) || bytes > UINT32_MAX) return nullptr;
    buf *b = new_root(static_cast<uint32_t>(bytes));
    if (!b) return nullptr;
    convert(elements{c, b->host_ptr, complex ? b->host_ptr : nullptr}, from, n);
    b->host_valid = true;
    b->dev_valid = false;
    return b;
}

bool plain_data(const mxArray *a) {
    return (mxIsNumeric(a) || mxIsLogical(a)) && !mxIsSparse(a) && class_size(mxGetClassID(a));
}

elements data_elements(const mxArray *a) {
    return elements{mxGetClassID(a), mxGetData(a), mxIsComplex(a) ? mxGetImagData(a) : nullptr};
}

err_t evaluate(const mxArray *a);

// The node's operand as elements on the host.
err_t operand(const mxArray *x, elements *e, bool *complex) {
    if (!is_garray(x)) {
        if (!plain_data(x)) return failure(5, "unsupported MATLAB data");
        *e = data_elements(x);
        *complex = mxIsComplex(x);
        return ok();
    }
    err_t r = evaluate(x);
    if (r.msg) return r;
    stack_rec_t *rec = record(x);
    buf *b = live(rec->buffer, "materialize");
    if (!b) return failure(1, "buffer used after free");
    r = to_host(root(b));
    if (r.msg) return r;
    *complex = rec->complex;
    *e = elements{static_cast<mxClassID>(rec->class_id), b->host_ptr, rec->complex ? b->host_ptr : nullptr};
    return ok();
}

// Gives a GPU array a buffer with its values.
err_t evaluate(const mxArray *a) {
    stack_rec_t *rec = record(a);
    if (rec->kind == rec_kind_buffer) {
        if (rec->buffer && !live(rec->buffer, "materialize")) return failure(1, "buffer used after free");
        return ok();
    }
    uint32_t op = rec->op.op_code;
    bool conversion = (rec->kind == rec_kind_data && op == op_matlab_data) ||
                      (rec->kind == rec_kind_node && (op == op_convert || op == op_complex_single_to_double ||
                                                      op == op_complex_double_to_single));
    const mxArray *left = mxGetField(a, 0, "leftop");
    if (!conversion || !left) return failure(4, "unsupported operation");
    elements from{};
    bool complex = false;
    err_t r = operand(left, &from, &complex);
    if (r.msg) return r;
    if (rec->sparse) return failure(5, "unsupported MATLAB data");
    rec = record(a);
    buf *b = filled(static_cast<mxClassID>(rec->class_id), rec->complex, from, numel_of(a));
    if (!b) return failure(6, "unable to allocate GPU memory");
    rec->kind = rec_kind_buffer;
    rec->buffer = b;
    rec->bananas = 1;
    rec->kiwis = b->nbytes >> 20;
    return ok();
}

// ------------------------------------------------------------ the operations

void e_alloc(buffer_t **out, uint32_t bytes, engine_t *) {
    err_t e;
    buf *b = injected("alloc", &e) ? nullptr : new_root(bytes);
    *out = b;
    note("alloc " + name_of(b) + " " + std::to_string(bytes));
}

void e_alloc_array(buffer_t **out, const mxArray *a, engine_t *) {
    err_t e;
    uint64_t bytes = uint64_t(numel_of(a)) * m_element_size(a);
    buf *b = injected("alloc_array", &e) || bytes > UINT32_MAX ? nullptr
                                                               : new_root(static_cast<uint32_t>(bytes));
    *out = b;
    note("alloc_array " + name_of(b) + " " + std::to_string(bytes));
}

void e_subbuffer(buffer_t **out, buffer_t *parent, uint32_t offset, uint32_t length, engine_t *) {
    *out = nullptr;
    err_t e;
    buf *p = live(parent, "subbuffer");
    if (p && !injected("subbuffer", &e) && uint64_t(offset) + length <= p->nbytes) {
        buf *r = root(p);
        const uint32_t from_root = p->offset + offset;
        buf *vp = new_buffer(static_cast<char *>(p->host_ptr) + offset,
                             r->on_device ? r->dev_ptr + from_root : 0, length, p);
        vp->refs = 0;
        vp->offset = from_root;
        r->views.push_back(vp);
        *out = vp;
    }
    note("subbuffer " + name_of(*out) + " " + name_of(parent) + " " + std::to_string(offset) + " " +
         std::to_string(length));
}

void e_unlock(buffer_t *p) {
    note("unlock " + name_of(p));
    buf *b = live(p, "unlock");
    if (!b) return;
    buf *r = root(b);
    r->held = false;
    if (r->expiring) kill(r);
}

// A view's first reference takes one of its parent's; its last gives it back.
void add_ref(buf *b) {
    if (b->refs++ == 0 && !b->is_root) add_ref(static_cast<buf *>(b->parent));
}

void drop_ref(buf *b) {
    if (--b->refs > 0) return;
    kill(b);
    if (!b->is_root) drop_ref(static_cast<buf *>(b->parent));
}

// free, and the host's drop of an object's reference.
void release(const char *op, buffer_t *p) {
    note(std::string(op) + " " + name_of(p));
    auto it = st().known.find(p);
    if (p && it != st().known.end() && it->second->dead) {
        st().faults.push_back("double free " + name_of(p));
        return;
    }
    buf *b = live(p, op);
    if (!b) return;
    if (b->refs <= 0) {
        st().faults.push_back(std::string(op) + " without reference " + name_of(p));
        return;
    }
    drop_ref(b);
}

void e_free(buffer_t *p) { release("free", p); }

// The four access forms and share: hold, and make the side's copy current.
enum class side { host, device, host_write, device_write };

err_t access(const char *op, buffer_t *p, side s, bool share) {
    note(std::string(op) + " " + name_of(p));
    buf *b = live(p, op);
    if (!b) return failure(1, "buffer used after free");
    err_t e;
    if (injected(op, &e)) return e;
    buf *r = root(b);
    err_t c = ok();
    switch (s) {
    case side::host: c = to_host(r); r->dev_valid = false; break;
    case side::device: c = to_device(r); r->host_valid = false; break;
    case side::host_write: r->host_valid = true; r->dev_valid = false; break;
    case side::device_write:
        c = place(r);
        r->dev_valid = true;
        r->host_valid = false;
        break;
    }
    if (c.msg) return c;
    if (share) add_ref(b);
    hold(b);
    return ok();
}

err_t e_host_access(buffer_t *b, engine_t *) { return access("host_access", b, side::host, false); }
err_t e_host_first_write(buffer_t *b, engine_t *) {
    return access("host_first_write", b, side::host_write, false);
}
err_t e_dev_access(buffer_t *b, engine_t *) { return access("dev_access", b, side::device, false); }
err_t e_share(buffer_t *b, engine_t *) { return access("share", b, side::device, true); }
err_t e_dev_first_write(buffer_t *b, engine_t *) {
    return access("dev_first_write", b, side::device_write, false);
}

err_t e_copy(buffer_t **out, int, buffer_t *source, engine_t *) {
    *out = nullptr;
    buf *s = live(source, "copy");
    err_t e;
    if (!s) {
        e = failure(1, "buffer used after free");
    } else if (!injected("copy", &e)) {
        e = ok();
        buf *n = new_root(s->nbytes);
        buf *r = root(s);
        if (!n) {
            e = failure(6, "unable to allocate GPU memory");
        } else if ((r->dev_valid ? dev::memcpy_dtod(reinterpret_cast<void *>(n->dev_ptr),
                                                     reinterpret_cast<void *>(s->dev_ptr), s->nbytes)
                                 : dev::memcpy_htod(reinterpret_cast<void *>(n->dev_ptr), s->host_ptr,
                                                    s->nbytes)) != 0) {
            dev::get_last_error();
            kill(n);
            n = nullptr;
            e = failure(3, "GPU memory copy failed");
        } else if (r->host_valid) {
            // Both copies current, as the source's: an in-place output may be
            // read on either side.
            std::memcpy(n->host_ptr, s->host_ptr, s->nbytes);
            n->host_valid = true;
        }
        *out = n;
    }
    note("copy " + name_of(*out) + " " + name_of(source));
    return e;
}

// Gives back the device memory of a root that no call holds.
bool evict(buf *r) {
    if (r->dead || !r->is_root || !r->on_device || r->held) return false;
    if (to_host(r).msg) return false;
    dev::free(reinterpret_cast<void *>(r->dev_ptr));
    r->on_device = false;
    r->dev_valid = false;
    set_device_address(r, 0);
    return true;
}

// reclaim: buffers whose host copy is current, up to `bytes`; reclaim_more:
// any buffer, up to `bytes`; reclaim_all: every buffer no call holds.
enum class reach { current, any, all };

err_t reclaim(const std::string &line, const char *op, reach how, uint64_t bytes) {
    note(line);
    err_t e;
    if (injected(op, &e)) return e;
    uint64_t freed = 0;
    for (auto &b : st().buffers) {
        if (how != reach::all && freed >= bytes) break;
        if (how == reach::current && !b->host_valid) continue;
        if (evict(b.get())) freed += b->nbytes;
    }
    return ok();
}

err_t e_reclaim(uint32_t bytes, engine_t *) {
    return reclaim("reclaim " + std::to_string(bytes), "reclaim", reach::current, bytes);
}
err_t e_reclaim_more(uint32_t bytes, engine_t *) {
    return reclaim("reclaim_more " + std::to_string(bytes), "reclaim_more", reach::any, bytes);
}
err_t e_reclaim_all(engine_t *) { return reclaim("reclaim_all", "reclaim_all", reach::all, 0); }

void e_end_call(engine_t *) {
    note("end_call");
    state_t &s = st();
    // The call's own holds end right after this; one from before it has leaked.
    for (auto &b : s.buffers)
        if (!b->dead && b->held && b->hold_call < s.call)
            s.faults.push_back("hold open at end_call " + name_of(b.get()));
    for (auto &b : s.buffers)
        if (!b->dead && b->transient) {
            b->expiring = true;
            if (!b->held) kill(b.get());
        }
    s.data_buffers.clear();
    ++s.call;
}

bool e_needs_copy(buffer_t *p) {
    note("needs_copy " + name_of(p));
    buf *b = live(p, "needs_copy");
    if (!b) return true;
    // MATLAB variables copy a GPU array's record without the engine seeing it,
    // so only a test that says so lets an output share an input's buffer.
    return st().needs_copy_mode != 0;
}

engine_scalar_t e_scalar(const mxArray *a) {
    note("scalar");
    engine_scalar_t v{0, 0};
    if (a && mxGetNumberOfElements(a) >= 1 && plain_data(a)) {
        elements e = data_elements(a);
        v.re = static_cast<float>(e.get(0, false));
        v.im = static_cast<float>(e.get(0, true));
    }
    return v;
}

err_t e_materialize(const mxArray *a, engine_t *) {
    err_t e;
    if (injected("materialize", &e)) {
        note("materialize");
        return e;
    }
    if (is_garray(a)) {
        bool had = record(a)->kind == rec_kind_buffer;
        e = evaluate(a);
        note(had ? "materialize garray" : "materialize node " + name_of(e.msg ? nullptr : record(a)->buffer));
        return e;
    }
    if (!a || !plain_data(a)) {
        note("materialize data null");
        return failure(5, "unsupported MATLAB data");
    }
    buf *b = filled(mxGetClassID(a), mxIsComplex(a), data_elements(a), mxGetNumberOfElements(a));
    note("materialize data " + name_of(b));
    if (!b) return failure(6, "unable to allocate GPU memory");
    b->transient = true;
    st().data_buffers.emplace_back(a, b);
    return ok();
}

err_t e_attach(const mxArray *a, buffer_t *p) {
    note("attach " + name_of(p));
    buf *b = live(p, "attach");
    if (!b) return failure(1, "buffer used after free");
    err_t e;
    if (injected("attach", &e)) return e;
    add_ref(b);
    if (is_garray(a)) {
        stack_rec_t *rec = record(a);
        rec->kind = rec_kind_buffer;
        rec->buffer = b;
    } else {
        st().data_buffers.emplace_back(a, b);
    }
    return ok();
}

void set_defaults(engine_t &e) {
    e = engine_t{};
    e.alloc = e_alloc;
    e.alloc_array = e_alloc_array;
    e.subbuffer = e_subbuffer;
    e.unlock = e_unlock;
    e.free = e_free;
    e.host_access = e_host_access;
    e.host_first_write = e_host_first_write;
    e.dev_access = e_dev_access;
    e.share = e_share;
    e.dev_first_write = e_dev_first_write;
    e.copy = e_copy;
    e.reclaim = e_reclaim;
    e.end_call = e_end_call;
    e.reclaim_all = e_reclaim_all;
    e.needs_copy = e_needs_copy;
    e.reclaim_more = e_reclaim_more;
    e.scalar = e_scalar;
    e.double_enabled = 1;
    e.kiwis_max = 256;
    e.tarvex_on = 0;
    e.materialize = e_materialize;
    e.attach = e_attach;
}

struct init_engine {
    init_engine() { set_defaults(g_engine_rec); }
} init_engine_once;

}  // namespace

// ------------------------------------------------------------ accessors

extern "C" {

bool m_is_garray(const mxArray *a) { return is_garray(a); }

bool m_is_buffer(const mxArray *a) {
    if (is_garray(a)) return record(a)->kind == rec_kind_buffer && record(a)->buffer;
    return a && data_buffer(a);
}

buffer_t *m_buffer(const mxArray *a) {
    if (is_garray(a)) return record(a)->kind == rec_kind_buffer ? record(a)->buffer : nullptr;
    return a ? data_buffer(a) : nullptr;
}

stack_rec_t *m_stack(const mxArray *a) { return is_garray(a) ? record(a) : nullptr; }

dim_t m_dims(const mxArray *a, const dim_t **sizes) {
    if (is_garray(a)) {
        const mxArray *d = mxGetField(a, 0, "dims");
        *sizes = static_cast<const dim_t *>(mxGetData(d));
        return mxGetNumberOfElements(d);
    }
    static_assert(sizeof(mwSize) == sizeof(dim_t), "sizes are 64-bit");
    *sizes = reinterpret_cast<const dim_t *>(mxGetDimensions(a));
    return mxGetNumberOfDimensions(a);
}

mxClassID m_class(const mxArray *a) {
    return is_garray(a) ? static_cast<mxClassID>(record(a)->class_id) : mxGetClassID(a);
}
bool m_complex(const mxArray *a) { return is_garray(a) ? record(a)->complex != 0 : mxIsComplex(a); }
bool m_sparse(const mxArray *a) { return is_garray(a) ? record(a)->sparse != 0 : mxIsSparse(a); }
dim_t m_nzmax(const mxArray *a) { return is_garray(a) ? record(a)->nzmax : mxGetNzmax(a); }
size_t m_element_size(const mxArray *a) { return class_size(m_class(a)) * (m_complex(a) ? 2 : 1); }
unsigned m_tesk(const mxArray *a) { return is_garray(a) ? record(a)->tesk : 0; }
unsigned m_bananas(const mxArray *a) { return is_garray(a) ? record(a)->bananas : 0; }
unsigned m_kiwis(const mxArray *a) { return is_garray(a) ? record(a)->kiwis : 0; }

mxClassID implicit(mxClassID class_id, bool double_enabled) {
    if (class_id == mxDOUBLE_CLASS && double_enabled) return mxDOUBLE_CLASS;
    return mxSINGLE_CLASS;
}

}  // extern "C"

// ------------------------------------------------------------ controls

namespace pelkor {

engine_t *engine() { return &g_engine_rec; }

void reset() {
    state_t &s = st();
    for (auto &b : s.buffers) kill(b.get());
    s = state_t{};
    set_defaults(g_engine_rec);
}

const std::vector<std::string> &log() { return st().log; }
void clear_log() { st().log.clear(); }

void inject(const std::string &name, err_t e, int count, int after) {
    st().injected[name] = injection{e, count, after};
}

const std::vector<std::string> &faults() { return st().faults; }

std::vector<std::string> open_holds() {
    std::vector<std::string> held;
    for (auto &b : st().buffers)
        if (!b->dead && b->held) held.push_back(name_of(b.get()));
    return held;
}

size_t live_buffers() {
    size_t n = 0;
    for (auto &b : st().buffers) n += !b->dead;
    return n;
}

void set_needs_copy(int mode) { st().needs_copy_mode = mode; }

std::string id(const buffer_t *b) { return name_of(b); }

void drop(const mxArray *object) {
    if (is_garray(object) && record(object)->kind == rec_kind_buffer && record(object)->buffer)
        release("drop", record(object)->buffer);
}

buffer_state state(const buffer_t *p) {
    buffer_state s;
    auto it = st().known.find(p);
    if (it == st().known.end()) return s;
    buf *b = it->second;
    s.refs = b->refs;
    s.dead = b->dead;
    s.held = root(b)->held;
    return s;
}

mxArray *make_garray(const mxArray *data, unsigned tesk, unsigned bananas, unsigned kiwis) {
    if (!plain_data(data)) return nullptr;
    buf *b = filled(mxGetClassID(data), mxIsComplex(data), data_elements(data),
                    mxGetNumberOfElements(data));
    if (!b || to_device(b).msg) return nullptr;
    static const char *fields[] = {"stack", "dims", "leftop", "rightop"};
    mxArray *a = mxCreateStructMatrix(1, 1, 4, fields);
    mxArray *stack = mxCreateNumericMatrix(1, sizeof(stack_rec_t), mxINT8_CLASS, mxREAL);
    stack_rec_t rec;
    std::memset(&rec, 0, sizeof rec);
    rec.engine = &g_engine_rec;
    rec.class_id = mxGetClassID(data);
    rec.complex = mxIsComplex(data);
    rec.tesk = tesk;
    rec.bananas = bananas;
    rec.kiwis = kiwis;
    rec.buffer = b;
    std::memcpy(mxGetData(stack), &rec, sizeof rec);
    mxSetField(a, 0, "stack", stack);
    mwSize n = mxGetNumberOfDimensions(data);
    mxArray *dims = mxCreateNumericMatrix(1, n, mxUINT64_CLASS, mxREAL);
    const mwSize *d = mxGetDimensions(data);
    for (mwSize i = 0; i < n; ++i) static_cast<uint64_t *>(mxGetData(dims))[i] = d[i];
    mxSetField(a, 0, "dims", dims);
    return a;
}

mxArray *read_back(const mxArray *a, err_t *error) {
    if (!is_garray(a)) {
        *error = failure(5, "not a GPU array");
        return nullptr;
    }
    err_t e = evaluate(a);
    buf *b = e.msg ? nullptr : live(record(a)->buffer, "read");
    if (!e.msg && !b) e = failure(1, "buffer used after free");
    if (!e.msg) e = to_host(root(b));
    if (e.msg) {
        *error = e;
        return nullptr;
    }
    const stack_rec_t *rec = record(a);
    auto c = static_cast<mxClassID>(rec->class_id);
    const dim_t *sizes = nullptr;
    dim_t n = m_dims(a, &sizes);
    std::vector<mwSize> dims(sizes, sizes + n);
    mxArray *out = mxCreateNumericArray(n, dims.data(), c, rec->complex ? mxCOMPLEX : mxREAL);
    if (c == mxLOGICAL_CLASS) {
        mxDestroyArray(out);
        out = mxCreateLogicalArray(n, dims.data());
    }
    size_t count = mxGetNumberOfElements(out);
    if (uint64_t(count) * m_element_size(a) > b->nbytes) {
        mxDestroyArray(out);
        *error = failure(7, "GPU array larger than its buffer");
        return nullptr;
    }
    convert(data_elements(out), elements{c, b->host_ptr, rec->complex ? b->host_ptr : nullptr}, count);
    return out;
}

}  // namespace pelkor
