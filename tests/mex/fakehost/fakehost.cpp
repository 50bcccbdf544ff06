#include "fakehost.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

struct mxArray_tag {
    mxClassID cls = mxDOUBLE_CLASS;
    std::vector<mwSize> dims{0, 0};
    bool complex = false;
    std::vector<unsigned char> re, im;
    std::vector<std::string> names;     // structures: 1x1 only
    std::vector<mxArray *> fields;
    bool destroyed = false;
};

namespace fake {
namespace {

struct host {
    std::vector<std::unique_ptr<mxArray>> arrays;
    std::map<std::string, function> functions;
    std::vector<std::string> log;
    std::string printed;
    int locks = 0, trap = 0;
    size_t destroyed_uses = 0;
};

host &h() {
    static host s;
    return s;
}

size_t class_bytes(mxClassID c) {
    switch (c) {
    case mxLOGICAL_CLASS: case mxCHAR_CLASS: case mxINT8_CLASS: case mxUINT8_CLASS: return 1;
    case mxINT16_CLASS: case mxUINT16_CLASS: return 2;
    case mxSINGLE_CLASS: case mxINT32_CLASS: case mxUINT32_CLASS: return 4;
    case mxDOUBLE_CLASS: case mxINT64_CLASS: case mxUINT64_CLASS: return 8;
    default: return 0;
    }
}

size_t count(const mxArray *a) {
    size_t n = 1;
    for (mwSize d : a->dims) n *= d;
    return n;
}

const mxArray *use(const mxArray *a) {
    if (a && a->destroyed) ++h().destroyed_uses;
    return a;
}

mxArray *make(mxClassID c, std::vector<mwSize> dims, bool complex) {
    auto a = std::make_unique<mxArray>();
    a->cls = c;
    while (dims.size() > 2 && dims.back() == 1) dims.pop_back();
    while (dims.size() < 2) dims.push_back(dims.empty() ? 0 : 1);
    a->dims = dims;
    a->complex = complex;
    a->re.assign(count(a.get()) * class_bytes(c), 0);
    if (complex) a->im.assign(a->re.size(), 0);
    mxArray *p = a.get();
    h().arrays.push_back(std::move(a));
    return p;
}

int field_index(const mxArray *a, const char *name) {
    for (size_t i = 0; i < a->names.size(); ++i)
        if (a->names[i] == name) return static_cast<int>(i);
    return -1;
}

void note(const std::string &s) { h().log.push_back(s); }

std::string format(const char *f, va_list ap) {
    char text[8192];
    vsnprintf(text, sizeof text, f, ap);
    return text;
}

}  // namespace

void define(const std::string &name, function f) { h().functions[name] = std::move(f); }
void undefine(const std::string &name) { h().functions.erase(name); }
void fail(const std::string &id, const std::string &message) { throw raised{id, message}; }

void reset() { h() = host{}; }
const std::vector<std::string> &log() { return h().log; }
void clear_log() { h().log.clear(); }
int locks() { return h().locks; }
int trap_flag() { return h().trap; }
const std::string &printed() { return h().printed; }

size_t live_arrays() {
    size_t n = 0;
    for (auto &a : h().arrays) n += !a->destroyed;
    return n;
}
size_t destroyed_uses() { return h().destroyed_uses; }

mxArray *scalar_u64(uint64_t v) {
    mxArray *a = mxCreateNumericMatrix(1, 1, mxUINT64_CLASS, mxREAL);
    std::memcpy(a->re.data(), &v, sizeof v);
    return a;
}

mxArray *matrix(mwSize m, mwSize n, mxClassID c, bool complex) {
    return mxCreateNumericMatrix(m, n, c, complex ? mxCOMPLEX : mxREAL);
}

}  // namespace fake

using fake::h;

extern "C" {

mxArray *mxCreateDoubleScalar(double v) {
    mxArray *a = fake::make(mxDOUBLE_CLASS, {1, 1}, false);
    std::memcpy(a->re.data(), &v, sizeof v);
    return a;
}

mxArray *mxCreateNumericMatrix(mwSize m, mwSize n, mxClassID c, mxComplexity cx) {
    return fake::make(c, {m, n}, cx == mxCOMPLEX);
}

mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID c, mxComplexity cx) {
    return fake::make(c, std::vector<mwSize>(dims, dims + ndim), cx == mxCOMPLEX);
}

mxArray *mxCreateLogicalArray(mwSize ndim, const mwSize *dims) {
    return fake::make(mxLOGICAL_CLASS, std::vector<mwSize>(dims, dims + ndim), false);
}

mxArray *mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char **names) {
    mxArray *a = fake::make(mxSTRUCT_CLASS, {m, n}, false);
    for (int i = 0; i < nfields; ++i) a->names.push_back(names[i]);
    a->fields.assign(nfields, nullptr);
    return a;
}

mxArray *mxCreateString(const char *text) {
    size_t n = std::strlen(text);
    mxArray *a = fake::make(mxCHAR_CLASS, {1, n}, false);
    std::memcpy(a->re.data(), text, n);
    return a;
}

mxArray *mxDuplicateArray(const mxArray *a) {
    fake::use(a);
    mxArray *d = fake::make(a->cls, a->dims, a->complex);
    d->re = a->re;
    d->im = a->im;
    d->names = a->names;
    for (mxArray *f : a->fields) d->fields.push_back(f ? mxDuplicateArray(f) : nullptr);
    return d;
}

void mxDestroyArray(mxArray *a) {
    if (!a) return;
    fake::use(a);
    a->destroyed = true;
    for (mxArray *f : a->fields) mxDestroyArray(f);
}

mxClassID mxGetClassID(const mxArray *a) { return fake::use(a)->cls; }
bool mxIsNumeric(const mxArray *a) {
    mxClassID c = fake::use(a)->cls;
    return c >= mxDOUBLE_CLASS && c <= mxUINT64_CLASS;
}
bool mxIsComplex(const mxArray *a) { return fake::use(a)->complex; }
bool mxIsSparse(const mxArray *) { return false; }
bool mxIsStruct(const mxArray *a) { return fake::use(a)->cls == mxSTRUCT_CLASS; }
bool mxIsLogical(const mxArray *a) { return fake::use(a)->cls == mxLOGICAL_CLASS; }
bool mxIsChar(const mxArray *a) { return fake::use(a)->cls == mxCHAR_CLASS; }
size_t mxGetNumberOfElements(const mxArray *a) { return fake::count(fake::use(a)); }
size_t mxGetElementSize(const mxArray *a) { return fake::class_bytes(fake::use(a)->cls); }
mwSize mxGetNumberOfDimensions(const mxArray *a) { return fake::use(a)->dims.size(); }
const mwSize *mxGetDimensions(const mxArray *a) { return fake::use(a)->dims.data(); }
mwSize mxGetNzmax(const mxArray *a) { return fake::count(fake::use(a)); }
void *mxGetData(const mxArray *a) {
    fake::use(a);
    return a->re.empty() ? nullptr : const_cast<unsigned char *>(a->re.data());
}
void *mxGetImagData(const mxArray *a) {
    fake::use(a);
    return a->im.empty() ? nullptr : const_cast<unsigned char *>(a->im.data());
}

double mxGetScalar(const mxArray *a) {
    fake::use(a);
    if (a->re.empty()) return 0;
    switch (a->cls) {
    case mxDOUBLE_CLASS: { double v; std::memcpy(&v, a->re.data(), 8); return v; }
    case mxSINGLE_CLASS: { float v; std::memcpy(&v, a->re.data(), 4); return v; }
    case mxUINT64_CLASS: { uint64_t v; std::memcpy(&v, a->re.data(), 8); return double(v); }
    case mxLOGICAL_CLASS: case mxUINT8_CLASS: case mxCHAR_CLASS: return a->re[0];
    default: return 0;
    }
}

char *mxArrayToString(const mxArray *a) {
    fake::use(a);
    if (a->cls != mxCHAR_CLASS) return nullptr;
    char *s = static_cast<char *>(std::calloc(a->re.size() + 1, 1));
    std::memcpy(s, a->re.data(), a->re.size());
    return s;
}

void mxFree(void *p) { std::free(p); }

mxArray *mxGetField(const mxArray *a, mwIndex, const char *name) {
    fake::use(a);
    int i = fake::field_index(a, name);
    return i < 0 ? nullptr : a->fields[i];
}

void mxSetField(mxArray *a, mwIndex, const char *name, mxArray *value) {
    fake::use(a);
    int i = fake::field_index(a, name);
    if (i >= 0) a->fields[i] = value;
}

int mxGetNumberOfFields(const mxArray *a) { return static_cast<int>(fake::use(a)->names.size()); }
const char *mxGetFieldNameByNumber(const mxArray *a, int n) {
    fake::use(a);
    return n >= 0 && n < int(a->names.size()) ? a->names[n].c_str() : nullptr;
}

// What MATLAB has besides the documented API; the SDK reaches it through host.cpp.
mxArray *mxCreateSharedDataCopy(const mxArray *a) {
    fake::note("shared_data_copy");
    return mxDuplicateArray(a);
}
mxArray *mxCreateSharedCopy(const mxArray *a) {
    fake::note("shared_copy");
    return mxDuplicateArray(a);
}
void mxUnshareShallow(mxArray *) { fake::note("unshare"); }

int mexCallMATLAB(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], const char *name) {
    fake::note(std::string("call ") + name);
    auto it = h().functions.find(name);
    try {
        if (it == h().functions.end())
            fake::fail("MATLAB:UndefinedFunction", std::string("Undefined function '") + name + "'");
        fake::function f = it->second;  // the function may redefine itself
        f(nlhs, plhs, nrhs, prhs);
    } catch (const fake::raised &) {
        if (!h().trap) throw;
        return 1;
    }
    return 0;
}

void mexSetTrapFlag(int flag) {
    h().trap = flag;
    fake::note("trap " + std::to_string(flag));
}

void mexErrMsgIdAndTxt(const char *id, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string message = fake::format(format, ap);
    va_end(ap);
    throw fake::raised{id, message};
}

int mexPrintf(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = fake::format(format, ap);
    va_end(ap);
    h().printed += text;
    return static_cast<int>(text.size());
}

int mexEvalString(const char *command) {
    fake::note(std::string("eval ") + command);
    return 0;
}

void mexLock(void) {
    ++h().locks;
    fake::note("lock");
}

}  // extern "C"
