// The SDK runtime: mexFunction, the call's lists and the operations on GPU
// arrays that a module's pkrFunction uses.
#include "calls.h"

#include "device/device.h"
#include "host.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char *const file_calls = "calls";
const char *const msg_too_many = "internal error: too many internal allocations";
const char *const msg_no_engine = "unable to find Pelkor engine";
const char *const msg_no_memory = "unable to allocate GPU memory";
const int list_room = 20;

engine_t *g_engine = nullptr;

buffer_t *g_tmp[list_room];
int g_ntmp = 0;
buffer_t *g_bout[list_room];
bool g_bout_used[list_room];
// Per output entry: the buffer on which the call holds the reference that
// attach took at the first access (or that pkr_link handed over), and whether
// the entry's root carries two outputs (pkr_new_offset).
buffer_t *g_bout_ref[list_room];
bool g_bout_pair[list_room];
int g_nbout = 0;
buffer_t *g_bin[list_room];
int g_nbin = 0;
// Set while pkrFunction runs: a raise then releases the lists first.
bool g_live = false;

bool inside_bench_script = false;
// The trap flag as last set, so that a trapped call can put it back.
int g_trap = 0;

void set_trap(int flag) {
    g_trap = flag;
    mexSetTrapFlag(flag);
}

// mexCallMATLAB with errors returned as a non-zero result, not raised.
int call_trapped(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], const char *name) {
    int saved = g_trap;
    set_trap(1);
    int r = mexCallMATLAB(nlhs, plhs, nrhs, prhs, name);
    set_trap(saved);
    return r;
}

[[noreturn]] void raise_sdk(int line, const char *msg) {
    pkr_raise(PKR_ID_SDK, err_set(line, file_calls, msg));
}

// An SDK operation that fails after asking the engine releases the call first.
err_t fail(const err_t &e) {
    call_cleanup();
    return e;
}

err_t fail(int line, const char *msg) { return fail(err_set(line, file_calls, msg)); }

buffer_t *root_of(buffer_t *b) {
    while (b && !b->is_root) b = b->parent;
    return b;
}

int output_entry(const buffer_t *b) {
    for (int j = 0; j < g_nbout; ++j)
        if (g_bout[j] && g_bout[j] == b) return j;
    return -1;
}

void add_output(buffer_t *b, bool pair = false) {
    g_bout[g_nbout] = b;
    g_bout_used[g_nbout] = false;
    g_bout_ref[g_nbout] = nullptr;
    g_bout_pair[g_nbout] = pair;
    ++g_nbout;
}

// Gives back the reference the call took on entry j's output.
void drop_access(int j) {
    if (!g_bout_ref[j]) return;
    g_engine->free(g_bout_ref[j]);
    g_bout_ref[j] = nullptr;
}

// The output whose record named `own` (in entry j) stops naming it: its
// reference goes, and the call's on the same buffer; an entry with no output
// left is unlocked and emptied, one still carrying the other output of a pair
// stays.
void leave_output(buffer_t *own, int j) {
    if (g_bout_pair[j]) {
        g_bout_pair[j] = false;
        if (g_bout_ref[j] == own) drop_access(j);
    } else {
        g_engine->unlock(g_bout[j]);
        drop_access(j);
        g_bout[j] = nullptr;
        g_bout_used[j] = false;
    }
    g_engine->free(own);
}

void set_field(mxArray *a, const char *name, mxArray *value) {
    mxArray *old = mxGetField(a, 0, name);
    mxSetField(a, 0, name, value);
    if (old) mxDestroyArray(old);
}

engine_t *fetch_engine() {
    mxArray *in = mxCreateDoubleScalar(3);
    mxArray *out[1] = {nullptr};
    int r = call_trapped(1, out, 1, &in, "gpu_entry");
    mxDestroyArray(in);
    engine_t *e = nullptr;
    // Only a real numeric array can hold the handle in its first word.
    if (r == 0 && out[0] && mxIsNumeric(out[0]) && !mxIsComplex(out[0]) && !mxIsSparse(out[0]) &&
        mxGetNumberOfElements(out[0]) * mxGetElementSize(out[0]) >= sizeof e && mxGetData(out[0]))
        std::memcpy(&e, mxGetData(out[0]), sizeof e);
    if (out[0]) mxDestroyArray(out[0]);
    return e;
}

void tarvex_prehook(int nlhs, mxArray *[], int nrhs, const mxArray *prhs[]) {
    if (!g_engine->tarvex_on || inside_bench_script) return;
    std::vector<mxArray *> in(nrhs + 2, nullptr);
    mexCallMATLAB(1, &in[0], 0, nullptr, "mfilename");
    in[1] = mxCreateDoubleScalar(nlhs);
    for (int i = 0; i < nrhs; ++i) in[i + 2] = host_shared_data_copy(prhs[i]);
    inside_bench_script = true;
    set_trap(1);
    g_engine->tarvex_on = 0;
    mxArray *none[1] = {nullptr};
    int r = mexCallMATLAB(0, none, nrhs + 2, in.data(), "tarvex_internal");
    for (mxArray *a : in)
        if (a) mxDestroyArray(a);
    set_trap(0);
    inside_bench_script = false;
    g_engine->tarvex_on = 1;
    if (r != 0)
        raise_sdk(458, "GPU output did not match CPU output (Pelkor or precision bug); "
                       "perhaps try a smaller data size?");
}

void check_inputs(int nrhs, const mxArray *prhs[]) {
    int kept = 0;
    for (int i = 0; i < nrhs; ++i) {
        const mxArray *a = prhs[i];
        if (!m_is_garray(a)) continue;
        if (m_bananas(a) > 20 || m_kiwis(a) > g_engine->kiwis_max) {
            err_t r = g_engine->materialize(a, g_engine);
            if (err_failed(r)) pkr_raise(PKR_ID_SDK, r);
        }
        int t = static_cast<int>(m_tesk(a));
        if (kept > 0 && t > 0 && t != kept) raise_sdk(496, "unsupported: using multiple iterators");
        kept = t;
    }
}

// The GPU array object without a buffer.
mxArray *new_(dim_t n, const dim_t *sizes, mxClassID c, bool complex, unsigned tesk) {
    static const char *fields[] = {"stack", "dims", "leftop", "rightop"};
    mxArray *s = mxCreateStructMatrix(1, 1, 4, fields);
    mxArray *stack = mxCreateNumericMatrix(1, sizeof(stack_rec_t), mxINT8_CLASS, mxREAL);
    stack_rec_t rec;
    std::memset(&rec, 0, sizeof rec);
    rec.engine = g_engine;
    rec.class_id = c;
    rec.complex = complex;
    rec.tesk = tesk;
    rec.bananas = 1;
    std::memcpy(mxGetData(stack), &rec, sizeof rec);
    mxSetField(s, 0, "stack", stack);

    while (n > 2 && sizes[n - 1] == 1) --n;
    mxArray *dims = mxCreateNumericMatrix(1, n > 2 ? n : 2, mxUINT64_CLASS, mxREAL);
    auto *d = static_cast<uint64_t *>(mxGetData(dims));
    for (dim_t i = 0; i < n; ++i) d[i] = sizes[i];
    if (n == 1) d[1] = sizes[0] > 0 ? 1 : 0;
    mxSetField(s, 0, "dims", dims);

    mxArray *out[1] = {nullptr};
    int r = call_trapped(1, out, 1, &s, "garray");
    mxDestroyArray(s);
    if (r != 0 || !m_is_garray(out[0])) {
        if (out[0]) mxDestroyArray(out[0]);
        raise_sdk(62, "unable to create GPU array object");
    }
    return out[0];
}

void set_buffer(const mxArray *a, buffer_t *b) {
    stack_rec_t *rec = m_stack(a);
    rec->buffer = b;
    rec->kind = rec_kind_buffer;
    rec->kiwis = b->nbytes >> 20;
}

// pkr_mem and pkr_mem_host: the same steps on either side.
struct side {
    err_t (*engine_t::*access)(buffer_t *, engine_t *);
    err_t (*engine_t::*first_write)(buffer_t *, engine_t *);
    int full_line, empty_line;
};
const side device_side = {&engine_t::dev_access, &engine_t::dev_first_write, 326, 328};
const side host_side = {&engine_t::host_access, &engine_t::host_first_write, 352, 354};

err_t access(buffer_t **held, const mxArray *a, const side &s) {
    if (m_is_buffer(a)) {
        buffer_t *b = m_buffer(a);
        int j = output_entry(root_of(b));
        if (j >= 0) {
            err_t r;
            if (g_bout_used[j]) {
                r = (g_engine->*s.access)(b, g_engine);
            } else {
                g_bout_used[j] = true;
                r = g_engine->attach(a, b);
                if (!err_failed(r)) {
                    g_bout_ref[j] = b;
                    r = (g_engine->*s.first_write)(b, g_engine);
                }
            }
            if (err_failed(r)) return fail(r);
            *held = b;
            return err_ok();
        }
    }
    if (g_nbin == list_room) return err_set(s.full_line, file_calls, msg_too_many);
    err_t r = g_engine->materialize(a, g_engine);
    if (err_failed(r)) return fail(r);
    buffer_t *b = m_buffer(a);
    if (!b) return fail(s.empty_line, msg_no_memory);
    r = (g_engine->*s.access)(b, g_engine);
    if (err_failed(r)) return fail(r);
    g_bin[g_nbin++] = b;
    *held = b;
    return err_ok();
}

// A one-element MATLAB operand of an expression becomes a single scalar.
mxArray *wrap_operand(const mxArray *a) {
    if (m_is_garray(a) || mxGetNumberOfElements(a) != 1) return pkr_wrap(a);
    engine_scalar_t v = g_engine->scalar(a);
    bool complex = mxIsComplex(a);
    mxArray *s = mxCreateNumericMatrix(1, 1, mxSINGLE_CLASS, complex ? mxCOMPLEX : mxREAL);
    *static_cast<float *>(mxGetData(s)) = v.re;
    if (complex) *static_cast<float *>(mxGetImagData(s)) = v.im;
    return s;
}

}  // namespace

engine_t *call_gpgpu() { return g_engine; }

void call_free(int n, buffer_t **list) {
    for (int i = 0; i < n; ++i)
        if (list[i]) g_engine->free(list[i]);
}

void call_unlock(int n, buffer_t **list) {
    for (int i = 0; i < n; ++i)
        if (list[i]) g_engine->unlock(list[i]);
}

void call_cleanup() {
    for (int j = 0; j < g_nbout; ++j) {
        if (!g_bout[j]) continue;
        g_engine->unlock(g_bout[j]);
        drop_access(j);
    }
    call_free(g_ntmp, g_tmp);
    call_unlock(g_nbin, g_bin);
    g_ntmp = g_nbout = g_nbin = 0;
}

void pkr_raise(const char *id, err_t e) {
    if (g_live) {
        // The failing call ends here: what it held goes back, and the engine
        // lets go of the device copies it made for MATLAB data.
        g_live = false;
        call_cleanup();
        g_engine->end_call(g_engine);
    }
    const char *msg = err_is_punt(e) ? "operation handed to the engine" : e.msg;
    mexErrMsgIdAndTxt(id, "%s (%s:%d)", msg, e.file, e.line);
    std::abort();  // mexErrMsgIdAndTxt does not return
}

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (!g_engine) {
        engine_t *e = fetch_engine();
        if (!e) raise_sdk(472, msg_no_engine);
        g_engine = e;
        mexLock();
    }
    tarvex_prehook(nlhs, plhs, nrhs, prhs);
    check_inputs(nrhs, prhs);

    g_ntmp = g_nbout = g_nbin = 0;
    g_live = true;
    err_t r = pkrFunction(nlhs, plhs, nrhs, prhs);
    if (err_failed(r) && !err_is_punt(r)) pkr_raise(PKR_ID_RUNTIME, r);
    g_live = false;
    if (err_is_punt(r)) call_cleanup();
    g_engine->end_call(g_engine);
    call_unlock(g_nbin, g_bin);
    call_unlock(g_nbout, g_bout);
    call_free(g_ntmp, g_tmp);
    for (int j = 0; j < g_nbout; ++j) drop_access(j);
    dev::get_last_error();
}

// ------------------------------------------------------------ creation

mxArray *pkr_new_array_N(dim_t n, const dim_t *sizes, mxClassID c, bool complex, unsigned tesk) {
    if (g_nbout == list_room) raise_sdk(68, msg_too_many);
    mxArray *a = new_(n, sizes, c, complex, tesk);
    buffer_t *b = nullptr;
    g_engine->alloc_array(&b, a, g_engine);
    if (!b) raise_sdk(72, msg_no_memory);
    add_output(b);
    set_buffer(a, b);
    return a;
}

mxArray *pkr_new_array(dim_t n, const dim_t *sizes, mxClassID c, bool complex) {
    return pkr_new_array_N(n, sizes, c, complex, 0);
}

mxArray *pkr_new_N(dim_t m, dim_t n, mxClassID c, bool complex, unsigned tesk) {
    const dim_t sizes[2] = {m, n};
    return pkr_new_array_N(2, sizes, c, complex, tesk);
}

mxArray *pkr_new(dim_t m, dim_t n, mxClassID c, bool complex) {
    return pkr_new_N(m, n, c, complex, 0);
}

mxArray *pkr_new_sparse(dim_t m, dim_t n, mxClassID c, bool complex, dim_t nzmax) {
    mxArray *a = pkr_new(m, n, c, complex);
    stack_rec_t *rec = m_stack(a);
    rec->sparse = 1;
    rec->nzmax = nzmax;
    return a;
}

err_t pkr_new_offset(mxArray **a, mxArray **b, dim_t n, const dim_t *sizes, mxClassID c,
                     bool complex, unsigned tesk) {
    if (g_nbout == list_room) raise_sdk(110, msg_too_many);
    *a = new_(n, sizes, c, complex, tesk);
    *b = new_(n, sizes, c, complex, tesk);
    // In 64 bits: the engine counts bytes in 32, and a wrapped size would give
    // views beyond a buffer too small for them.
    unsigned __int128 size = static_cast<unsigned __int128>(pkr_numel(*a)) * m_element_size(*a) *
                             (tesk ? tesk : 1);
    if (2 * size > UINT32_MAX) raise_sdk(112, "GPU array too large for the engine");
    const auto half = static_cast<uint32_t>(size);
    buffer_t *whole = nullptr;
    g_engine->alloc(&whole, 2 * half, g_engine);
    if (!whole) raise_sdk(114, msg_no_memory);
    add_output(whole, true);
    set_buffer(*a, whole);
    buffer_t *view = nullptr;
    g_engine->subbuffer(&view, whole, half, half, g_engine);
    if (!view) raise_sdk(116, msg_no_memory);
    m_stack(*b)->buffer = view;
    err_t r = g_engine->attach(*b, view);
    if (err_failed(r)) {
        // B holds no reference to drop when the host destroys it.
        m_stack(*b)->buffer = nullptr;
        g_bout_pair[g_nbout - 1] = false;
        return fail(r);
    }
    return r;
}

// ------------------------------------------------------------ access

err_t pkr_mem(uint64_t *dev_ptr, const mxArray *a) {
    buffer_t *b = nullptr;
    err_t r = access(&b, a, device_side);
    if (!err_failed(r)) *dev_ptr = b->dev_ptr;
    return r;
}

err_t pkr_mem_host(void **host_ptr, const mxArray *a) {
    buffer_t *b = nullptr;
    err_t r = access(&b, a, host_side);
    if (!err_failed(r)) *host_ptr = b->host_ptr;
    return r;
}

err_t pkr_alloc(uint64_t *dev_ptr, uint32_t bytes) {
    if (g_ntmp == list_room) return err_set(365, file_calls, msg_too_many);
    buffer_t *b = nullptr;
    g_engine->alloc(&b, bytes, g_engine);
    if (!b) return fail(366, msg_no_memory);
    g_tmp[g_ntmp++] = b;
    err_t r = g_engine->dev_first_write(b, g_engine);
    if (err_failed(r)) return fail(r);
    *dev_ptr = b->dev_ptr;
    return err_ok();
}

err_t pkr_link(mxArray *a, uint64_t dev_ptr) {
    int k = -1;
    for (int i = 0; i < g_ntmp && k < 0; ++i)
        if (g_tmp[i] && g_tmp[i]->dev_ptr == dev_ptr) k = i;
    // Checked before anything changes: freeing the storage of a non-output,
    // or leaving an output without one, would lose data.
    if (k < 0) return err_set(374, file_calls, "pkr_link: address is not a temporary of this call");
    buffer_t *old = m_is_buffer(a) ? m_buffer(a) : nullptr;
    int j = old ? output_entry(root_of(old)) : -1;
    if (j < 0) return err_set(375, file_calls, "pkr_link: array is not an output of this call");
    // One output of a pair moves to an entry of its own; the other keeps the
    // shared root.
    const bool pair = g_bout_pair[j];
    if (pair && g_nbout == list_room) return err_set(376, file_calls, msg_too_many);
    buffer_t *t = g_tmp[k];
    g_tmp[k] = nullptr;
    leave_output(old, j);
    int n = j;
    if (pair) {
        add_output(t);
        n = g_nbout - 1;
    }
    g_bout[n] = t;
    g_bout_used[n] = true;
    // The temporary's reference becomes the output's; the one attach takes is the call's.
    m_stack(a)->buffer = t;
    err_t r = g_engine->attach(a, t);
    if (err_failed(r)) return fail(r);
    g_bout_ref[n] = t;
    return r;
}

err_t call_duplicate(mxArray **d, const mxArray *s) {
    if (g_nbout == list_room) return err_set(392, file_calls, msg_too_many);
    err_t r = g_engine->materialize(s, g_engine);
    if (err_failed(r)) return fail(r);
    auto *src = const_cast<mxArray *>(s);
    host_unshare(src);
    if (mxIsStruct(src)) {
        // The record becomes the input's own before an output shares its buffer.
        mxArray *stack = mxGetField(src, 0, "stack");
        if (stack) set_field(src, "stack", mxDuplicateArray(stack));
    }
    buffer_t *b = m_buffer(s);
    if (!b) return fail(393, msg_no_memory);
    if (g_engine->needs_copy(b)) {
        const dim_t *sizes = nullptr;
        dim_t n = pkr_dims(s, &sizes);
        *d = new_(n, sizes, pkr_class(s), pkr_complex(s), pkr_tesk(s));
        buffer_t *copy = nullptr;
        r = g_engine->copy(&copy, 0, b, g_engine);
        if (err_failed(r)) return fail(r);
        if (!copy) return fail(393, msg_no_memory);
        add_output(copy);
        m_stack(*d)->buffer = copy;
    } else {
        r = g_engine->share(b, g_engine);
        if (err_failed(r)) return fail(r);
        g_engine->unlock(b);
        add_output(b);
        *d = host_shared_copy(s);
    }
    return err_ok();
}

// ------------------------------------------------------------ lazy forms

mxArray *pkr_cast(const mxArray *a, mxClassID c) {
    mxArray *s = host_shared_data_copy(a);
    mxArray *r;
    if (m_is_garray(s)) {
        if (m_class(s) == c) return s;
        const dim_t *sizes = nullptr;
        dim_t n = m_dims(s, &sizes);
        r = new_(n, sizes, c, m_complex(s), m_tesk(s));
        stack_rec_t *rec = m_stack(r);
        rec->kind = rec_kind_node;
        rec->op.op_code = op_convert;
        rec->op.op_flag = 0;
        if (m_complex(s)) {
            if (m_class(s) == mxSINGLE_CLASS && c == mxDOUBLE_CLASS)
                rec->op.op_code = op_complex_single_to_double;
            else if (m_class(s) == mxDOUBLE_CLASS && c == mxSINGLE_CLASS)
                rec->op.op_code = op_complex_double_to_single;
        }
        rec->bananas = m_bananas(s);
        rec->kiwis = m_kiwis(s);
    } else {
        mwSize n = mxGetNumberOfDimensions(s);
        const mwSize *md = mxGetDimensions(s);
        std::vector<dim_t> sizes(md, md + n);
        r = new_(n, sizes.data(), c, mxIsComplex(s), 0);
        stack_rec_t *rec = m_stack(r);
        rec->kind = rec_kind_data;
        rec->op.op_code = op_matlab_data;
        if (mxIsSparse(s)) {
            rec->sparse = 1;
            rec->nzmax = mxGetNzmax(s);
        }
    }
    set_field(r, "leftop", s);
    return r;
}

mxArray *pkr_wrap(const mxArray *a) {
    return pkr_cast(a, implicit(pkr_class(a), pkr_double_enabled()));
}

err_t pkr_punt(int op, mxArray *out, const mxArray *left, const mxArray *right) {
    // Only a GPU array has a record to turn into a node.
    if (!m_is_garray(out)) return err_set(402, file_calls, "pkr_punt: output is not a GPU array");
    // An output of the call gives its storage back: the node names no buffer.
    buffer_t *own = m_is_buffer(out) ? m_buffer(out) : nullptr;
    int j = own ? output_entry(root_of(own)) : -1;
    if (j >= 0) leave_output(own, j);
    stack_rec_t *rec = m_stack(out);
    rec->kind = rec_kind_node;
    rec->buffer = nullptr;
    rec->op.op_code = static_cast<uint32_t>(op);
    rec->op.op_flag = 0;
    mxArray *l = left ? wrap_operand(left) : nullptr;
    mxArray *r = right ? wrap_operand(right) : nullptr;
    rec = m_stack(out);
    rec->bananas = 1 + (l ? m_bananas(l) : 0) + (r ? m_bananas(r) : 0);
    rec->kiwis = (l ? m_kiwis(l) : 0) + (r ? m_kiwis(r) : 0);
    if (l && r) {
        set_field(out, "leftop", l);
        set_field(out, "rightop", r);
    } else if (l || r) {
        set_field(out, "leftop", l ? l : r);
    }
    return err_punt();
}

// ------------------------------------------------------------ queries

bool pkr_garray(const mxArray *a) { return m_is_garray(a); }
dim_t pkr_dims(const mxArray *a, const dim_t **sizes) { return m_dims(a, sizes); }
mxClassID pkr_class(const mxArray *a) { return m_class(a); }
bool pkr_complex(const mxArray *a) { return m_complex(a); }
bool pkr_sparse(const mxArray *a) { return m_sparse(a); }
dim_t pkr_nzmax(const mxArray *a) { return m_nzmax(a); }
unsigned pkr_tesk(const mxArray *a) { return m_tesk(a); }
bool pkr_double_enabled() { return g_engine->double_enabled != 0; }

dim_t pkr_numel(const mxArray *a) {
    if (!m_is_garray(a)) return mxGetNumberOfElements(a);
    const dim_t *sizes = nullptr;
    dim_t n = m_dims(a, &sizes), count = 1;
    for (dim_t i = 0; i < n; ++i) count *= sizes[i];
    return count;
}

void *pkr_sparse_ir(const mxArray *a, void *data) {
    return static_cast<char *>(data) + 4 * pkr_nzmax(a);
}

void *pkr_sparse_jc(const mxArray *a, void *data) {
    return static_cast<char *>(data) + (4 + sizeof(uint64_t)) * pkr_nzmax(a);
}
