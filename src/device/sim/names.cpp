// Kernel names for the call log: the symbol of the kernel's address, read
// from the symbol tables (libbacktrace, so that kernels of anonymous scope
// are found too), demangled and cut to the qualified name.
#include "internal.h"

#include SIMDEV_BACKTRACE_H
#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace sim {
namespace detail {

namespace {

void ignore_error(void *, const char *, int) {}

std::string demangled(const char *symbol) {
    int status = 0;
    char *d = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    std::string s = d ? d : symbol;
    std::free(d);
    return s;
}

// "void (anonymous namespace)::tile<float, 16>(float*, int)" -> "tile<float, 16>"
std::string short_name(std::string s) {
    static const char anon[] = "(anonymous namespace)::";
    for (size_t p; (p = s.find(anon)) != std::string::npos;) s.erase(p, sizeof anon - 1);
    if (!s.empty() && s.back() == ')') {
        int depth = 0;
        for (size_t i = s.size(); i-- > 0;) {
            if (s[i] == ')') ++depth;
            if (s[i] == '(' && --depth == 0) {
                s.erase(i);
                break;
            }
        }
    }
    int depth = 0;
    for (size_t i = s.size(); i-- > 0;) {
        char ch = s[i];
        if (ch == '>' || ch == ')') ++depth;
        if (ch == '<' || ch == '(') --depth;
        if (ch == ' ' && depth == 0) return s.substr(i + 1);  // after the return type
    }
    return s;
}

std::string lookup(const void *kernel) {
    static backtrace_state *state = backtrace_create_state(nullptr, 1, ignore_error, nullptr);
    std::string symbol;
    if (state)
        backtrace_syminfo(
            state, reinterpret_cast<uintptr_t>(kernel),
            [](void *data, uintptr_t, const char *name, uintptr_t, uintptr_t) {
                if (name) *static_cast<std::string *>(data) = name;
            },
            ignore_error, &symbol);
    Dl_info info;
    if (symbol.empty() && dladdr(kernel, &info) && info.dli_sname) symbol = info.dli_sname;
    if (symbol.empty()) return "?";
    return short_name(demangled(symbol.c_str()));
}

}  // namespace

std::string kernel_name(const void *kernel) {
    static std::mutex m;
    static auto *cache = new std::unordered_map<const void *, std::string>;
    std::lock_guard<std::mutex> lock(m);
    auto it = cache->find(kernel);
    if (it == cache->end()) it = cache->emplace(kernel, lookup(kernel)).first;
    return it->second;
}

}  // namespace detail
}  // namespace sim
