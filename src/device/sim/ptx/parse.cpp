// PTX text to the executor's internal form. Parsing stops at the first
// construct outside the covered subset with a diagnostic naming its line;
// no input makes it read outside the text or crash.
#include "../internal.h"
#include "../simkernel.h"
#include "half.h"
#include "ops.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace sim {
namespace ptx {

namespace {

struct parse_error {
    uint32_t line;
    std::string msg;
    int code;
};

[[noreturn]] void fail(uint32_t line, std::string msg, int code = 218) {
    throw parse_error{line, std::move(msg), code};
}

// ------------------------------------------------------------ types

enum class ty : uint8_t { none, b8, b16, b32, b64, u8, u16, u32, u64, s8, s16, s32, s64, f16, f16x2, bf16, f32, f64, pred };

struct ty_rec {
    const char *name;
    ty t;
    unsigned bytes;
    char kind;  // b u s f p
};
const ty_rec types[] = {
    {"b8", ty::b8, 1, 'b'},   {"b16", ty::b16, 2, 'b'}, {"b32", ty::b32, 4, 'b'}, {"b64", ty::b64, 8, 'b'},
    {"u8", ty::u8, 1, 'u'},   {"u16", ty::u16, 2, 'u'}, {"u32", ty::u32, 4, 'u'}, {"u64", ty::u64, 8, 'u'},
    {"s8", ty::s8, 1, 's'},   {"s16", ty::s16, 2, 's'}, {"s32", ty::s32, 4, 's'}, {"s64", ty::s64, 8, 's'},
    {"f16", ty::f16, 2, 'h'}, {"f16x2", ty::f16x2, 4, 'h'}, {"bf16", ty::bf16, 2, 'h'},
    {"f32", ty::f32, 4, 'f'}, {"f64", ty::f64, 8, 'f'},   {"pred", ty::pred, 1, 'p'},
};
const ty_rec *type_of(std::string_view s) {
    for (const ty_rec &r : types)
        if (s == r.name) return &r;
    return nullptr;
}
const ty_rec &info(ty t) {
    for (const ty_rec &r : types)
        if (r.t == t) return r;
    static const ty_rec none{"none", ty::none, 0, '?'};
    return none;
}
unsigned bytes_of(ty t) { return info(t).bytes; }
bool is_float(ty t) { return t == ty::f32 || t == ty::f64; }
bool is_int(ty t) { char k = info(t).kind; return k == 'b' || k == 'u' || k == 's'; }
bool is_signed(ty t) { return info(t).kind == 's'; }

// Handler for an integer type: `pick` is called with a value of the C++ type.
template <typename P>
handler by_int(ty t, P pick) {
    switch (t) {
    case ty::b8: case ty::u8: return pick(uint8_t{});
    case ty::b16: case ty::u16: return pick(uint16_t{});
    case ty::b32: case ty::u32: return pick(uint32_t{});
    case ty::b64: case ty::u64: return pick(uint64_t{});
    case ty::s8: return pick(int8_t{});
    case ty::s16: return pick(int16_t{});
    case ty::s32: return pick(int32_t{});
    case ty::s64: return pick(int64_t{});
    default: return nullptr;
    }
}
template <typename P>
handler by_float(ty t, P pick) {
    if (t == ty::f32) return pick(float{});
    if (t == ty::f64) return pick(double{});
    return nullptr;
}
template <typename P>
handler by_number(ty t, P pick) {
    handler h = by_int(t, pick);
    return h ? h : by_float(t, pick);
}
// A run-time value below N as a compile-time one: `pick` gets an
// std::integral_constant<int, value>.
template <typename P, int... K>
handler by_value_of(int v, P pick, std::integer_sequence<int, K...>) {
    handler h = nullptr;
    (void)((v == K ? (h = pick(std::integral_constant<int, K>{}), true) : false) || ...);
    return h;
}
template <int N, typename P>
handler by_value(int v, P pick) {
    return by_value_of(v, pick, std::make_integer_sequence<int, N>{});
}
template <typename P>
handler by_mode(int m, P pick) { return by_value<4>(m, pick); }
template <typename P>
handler by_space(int sp, P pick) { return by_value<6>(sp, pick); }

// The integer operations that take one type and no modifiers, by name.
template <typename T>
handler int_handler(std::string_view name) {
    static const struct {
        const char *name;
        handler h;
    } table[] = {
        {"div", &h_div<T>},   {"rem", &h_rem<T>},   {"min", &h_min<T>},     {"max", &h_max<T>},
        {"and", &h_and<T>},   {"or", &h_or<T>},     {"xor", &h_xor<T>},     {"shl", &h_shl<T>},
        {"shr", &h_shr<T>},   {"abs", &h_abs<T>},   {"neg", &h_neg<T>},     {"not", &h_not<T>},
        {"cnot", &h_cnot<T>}, {"popc", &h_popc<T>}, {"clz", &h_clz<T>},     {"brev", &h_brev<T>},
        {"bfind", &h_bfind<T>},
    };
    for (const auto &e : table)
        if (name == e.name) return e.h;
    return nullptr;
}

// ------------------------------------------------------------ tokens

enum tk : uint8_t { t_id, t_num, t_str, t_punct, t_end };
struct tok {
    tk k;
    std::string_view s;
    uint32_t line;
};

bool id_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || c == '%' || c == '.';
}
bool id_char(char c) { return id_start(c) || (c >= '0' && c <= '9'); }

std::vector<tok> lex(std::string_view s) {
    std::vector<tok> out;
    uint32_t line = 1;
    size_t i = 0, n = s.size();
    while (i < n) {
        char c = s[i];
        if (c == '\n') { ++line, ++i; continue; }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') { ++i; continue; }
        if (c == '/' && i + 1 < n && s[i + 1] == '/') {
            while (i < n && s[i] != '\n') ++i;
            continue;
        }
        if (c == '/' && i + 1 < n && s[i + 1] == '*') {
            uint32_t at = line;
            i += 2;
            while (i + 1 < n && !(s[i] == '*' && s[i + 1] == '/')) line += s[i++] == '\n';
            if (i + 1 >= n) fail(at, "unterminated comment");
            i += 2;
            continue;
        }
        size_t b = i;
        if (id_start(c)) {
            while (i < n && id_char(s[i])) ++i;
            out.push_back({t_id, s.substr(b, i - b), line});
        } else if (c >= '0' && c <= '9') {
            bool hex = i + 1 < n && std::strchr("xXfFdD", s[i + 1]) && c == '0';
            while (i < n && (id_char(s[i]) ||
                             (!hex && (s[i] == '+' || s[i] == '-') && (s[i - 1] == 'e' || s[i - 1] == 'E'))))
                ++i;
            out.push_back({t_num, s.substr(b, i - b), line});
        } else if (c == '"') {
            ++i;
            while (i < n && s[i] != '"' && s[i] != '\n') i += (s[i] == '\\' && i + 1 < n) ? 2 : 1;
            if (i >= n || s[i] != '"') fail(line, "unterminated string");
            ++i;
            out.push_back({t_str, s.substr(b, i - b), line});
        } else if (std::strchr("{}()[];:,@!|+-<>=", c) && c) {
            ++i;
            out.push_back({t_punct, s.substr(b, 1), line});
        } else {
            fail(line, "unexpected character '" + std::string(1, c) + "'");
        }
    }
    out.push_back({t_end, {}, line});
    return out;
}

std::string str(std::string_view v) { return std::string(v); }

bool parse_uint(std::string_view s, uint64_t &v) {
    if (s.empty()) return false;
    if (s.back() == 'U' || s.back() == 'u') s.remove_suffix(1);
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) base = 16, s.remove_prefix(2);
    else if (s.size() > 2 && s[0] == '0' && (s[1] == 'b' || s[1] == 'B')) base = 2, s.remove_prefix(2);
    else if (s.size() > 1 && s[0] == '0') base = 8, s.remove_prefix(1);
    if (s.empty()) return false;
    unsigned __int128 x = 0;
    for (char c : s) {
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
        if (d >= base) return false;
        x = x * unsigned(base) + unsigned(d);
        if (x > ~uint64_t(0)) return false;
    }
    v = uint64_t(x);
    return true;
}

// ------------------------------------------------------------ operands

struct operand {
    enum kind { none, reg, imm, name, addr, vec, sink } k = none;
    uint32_t line = 0;
    uint32_t slot = 0;
    ty rty = ty::none;      // a register's declared type
    bool neg = false;       // !%p
    bool has2 = false;      // %r|%p
    uint32_t slot2 = 0;
    // immediates: 0 integer, 1 f32 bits, 2 f64 bits, 3 decimal
    int ik = 0;
    uint64_t bits = 0;
    double dval = 0;
    std::string_view id;    // names; an address's base name
    operand *base = nullptr;
    int64_t off = 0;
    std::vector<operand> elems;
    std::shared_ptr<operand> base_hold;
};

// What a name means inside a function.
struct binding {
    enum kind { reg, param, depot, shared, var, sreg, ext_shared } k;
    uint32_t slot;     // reg, depot, sreg
    ty t;              // reg
    uint32_t off;      // param, shared, var
    uint32_t bytes;    // param
};

struct reg_range {
    uint32_t base, count;
    ty t;
};

struct scope {
    std::map<std::string, binding, std::less<>> names;
    std::map<std::string, reg_range, std::less<>> ranges;
};

struct pending_call {
    uint32_t site;
    bool indirect = false;
    std::string callee;
    std::vector<param_rec> args;
    bool has_ret;
    param_rec ret;
    uint32_t line;
};

struct module_var {
    binding b;
};

struct parser {
    std::vector<tok> t;
    size_t p = 0;
    module &m;
    int capability;
    std::vector<unsigned char> data;       // .global and .const contents
    std::vector<uint64_t> data_fixups;     // offsets in `data` holding variable offsets
    std::map<std::string, binding, std::less<>> globals;
    std::map<std::string, uint32_t, std::less<>> func_index;
    std::vector<pending_call> calls;
    uint32_t shared_top = 0;
    bool have_version = false, have_target = false;

    // The function being parsed.
    function *f = nullptr;
    std::vector<scope> scopes;
    std::map<uint64_t, uint32_t> consts;
    std::vector<uint32_t> var_fixups, ext_fixups;  // slots of the function holding addresses
    std::map<std::string, uint32_t, std::less<>> labels;
    std::vector<std::pair<size_t, std::pair<std::string, uint32_t>>> branch_fixups;
    uint32_t sink_slot = 0;

    parser(std::string_view text, module &mod, int cap) : t(lex(text)), m(mod), capability(cap) {}

    const tok &peek(size_t k = 0) const { return t[std::min(p + k, t.size() - 1)]; }
    const tok &next() {
        const tok &x = peek();
        if (p < t.size() - 1) ++p;
        return x;
    }
    bool is(std::string_view s, size_t k = 0) const { return peek(k).k != t_end && peek(k).s == s; }
    bool accept(std::string_view s) {
        if (!is(s)) return false;
        next();
        return true;
    }
    void expect(std::string_view s) {
        if (!accept(s)) fail(peek().line, "expected '" + str(s) + "', found '" + str(peek().s) + "'");
    }
    std::string_view ident() {
        const tok &x = next();
        if (x.k != t_id) fail(x.line, "expected a name, found '" + str(x.s) + "'");
        return x.s;
    }
    uint64_t number() {
        bool neg = accept("-");
        const tok &x = next();
        uint64_t v;
        if (x.k != t_num || !parse_uint(x.s, v)) fail(x.line, "expected a number, found '" + str(x.s) + "'");
        return neg ? uint64_t(0) - v : v;
    }
    // Skips the rest of a line (directives without a semicolon).
    void skip_line() {
        uint32_t l = peek().line;
        while (peek().k != t_end && peek().line == l) next();
    }
    void skip_braces() {
        expect("{");
        int depth = 1;
        while (depth > 0) {
            const tok &x = next();
            if (x.k == t_end) fail(x.line, "unbalanced braces");
            if (x.s == "{" && x.k == t_punct) ++depth;
            if (x.s == "}" && x.k == t_punct) --depth;
        }
    }

    // ------------------------------------------------------------ module

    void parse_module() {
        while (peek().k != t_end) {
            const tok &x = peek();
            if (x.k != t_id) fail(x.line, "unexpected '" + str(x.s) + "'");
            std::string_view d = x.s;
            if (d == ".version") {
                next();
                const tok &v = next();
                std::string_view s = v.s;
                size_t dot = s.find('.');
                uint64_t major = 0;
                if (v.k != t_num || dot == std::string_view::npos || !parse_uint(s.substr(0, dot), major))
                    fail(v.line, "bad .version");
                if (major > 9)  // the driver's "unsupported PTX version"
                    fail(v.line, "PTX ISA version " + str(s) + " is newer than this driver's 9.x", 222);
                have_version = true;
            } else if (d == ".target") {
                next();
                const tok &v = next();
                uint64_t sm = 0;
                if (v.k != t_id || v.s.substr(0, 3) != "sm_" || !parse_uint(v.s.substr(3, 2), sm))
                    fail(v.line, "unsupported target '" + str(v.s) + "'");
                m.target = int(sm);
                if (int(sm) > capability)
                    fail(v.line, "target " + str(v.s) + " needs a device of capability " +
                                     std::to_string(sm / 10) + "." + std::to_string(sm % 10) +
                                     " or later; this device has " + std::to_string(capability / 10) +
                                     "." + std::to_string(capability % 10));
                while (accept(",")) ident();
                have_target = true;
            } else if (d == ".address_size") {
                next();
                uint32_t l = peek().line;
                if (number() != 64) fail(l, "only .address_size 64 is supported");
            } else if (d == ".file" || d == ".loc") {
                skip_line();
            } else if (d == ".section") {
                next();
                ident();
                skip_braces();
            } else if (d == ".pragma") {
                next();
                while (!accept(";")) {
                    if (peek().k == t_end) fail(peek().line, "expected ';'");
                    next();
                }
            } else {
                if (!have_version || !have_target) fail(x.line, "a module starts with .version and .target");
                parse_top();
            }
        }
        if (!have_version || !have_target) fail(peek().line, "a module starts with .version and .target");
    }

    void parse_top() {
        bool external = false;
        while (is(".visible") || is(".extern") || is(".weak") || is(".common")) {
            if (peek().s == ".extern") external = true;
            next();
        }
        const tok &x = peek();
        if (x.s == ".entry" || x.s == ".func") {
            next();
            parse_function(x.s == ".entry", x.line);
        } else if (x.s == ".global" || x.s == ".const" || x.s == ".shared") {
            next();
            parse_variable(x.s == ".shared" ? sp_shared : sp_global, external, x.line, true);
        } else {
            fail(x.line, "unsupported directive '" + str(x.s) + "'");
        }
    }

    // .align N .type name[N][M] = init;  Returns the binding (module level or a function's).
    void parse_variable(int sp, bool external, uint32_t line, bool module_level) {
        uint64_t align = 0;
        if (accept(".align")) align = number();
        if (is(".v2") || is(".v4")) fail(line, "vector variables are not supported");
        std::string_view tn = ident();
        const ty_rec *tr = tn.size() > 1 ? type_of(tn.substr(1)) : nullptr;
        if (!tr || tr->t == ty::pred || tr->kind == 'h') fail(line, "unsupported variable type '" + str(tn) + "'");
        std::string_view name = ident();
        uint64_t count = 1;
        bool unsized = false;
        while (accept("[")) {
            if (accept("]")) {
                unsized = true;
                continue;
            }
            uint64_t n = number();
            expect("]");
            if (n == 0 || n > (uint64_t(1) << 30)) fail(line, "bad array size");
            count *= n;
            if (count > (uint64_t(1) << 30)) fail(line, "array too large");
        }
        if (align == 0) align = tr->bytes;
        if (align & (align - 1) || align > 4096) fail(line, "bad alignment");
        const uint64_t elem = tr->bytes;
        std::vector<uint64_t> init;
        std::vector<std::pair<size_t, std::pair<std::string, int64_t>>> init_syms;
        if (accept("=")) {
            if (sp == sp_shared) fail(line, "shared variables take no initialiser");
            parse_init(init, init_syms, tr->t);
            if (unsized) count = std::max<uint64_t>(init.size(), 1);
            if (init.size() > count) fail(line, "too many initialisers");
            unsized = false;
        }
        expect(";");
        std::string key = str(name);
        if (sp == sp_shared) {
            binding b{};
            if (external || unsized) {
                if (!unsized) fail(line, "an external shared variable is an array of unknown size");
                m.shared_extern_align = std::max<uint32_t>(m.shared_extern_align, uint32_t(align));
                b.k = binding::ext_shared;
            } else {
                uint64_t off = (shared_top + align - 1) / align * align;
                if (off + elem * count > 0x10000000) fail(line, "shared variables too large");
                b.k = binding::shared;
                b.off = uint32_t(off);
                shared_top = uint32_t(off + elem * count);
                m.shared_static = shared_top;
            }
            declare(module_level, key, b, line);
            return;
        }
        if (unsized) {
            if (external) {
                fail(line, "external variable '" + key + "' is not defined in this module");
            }
            fail(line, "array of unknown size without initialiser");
        }
        if (external) fail(line, "external variable '" + key + "' is not defined in this module");
        uint64_t off = (data.size() + align - 1) / align * align;
        if (off + elem * count > (uint64_t(1) << 28)) fail(line, "module variables too large");
        data.resize(off + elem * count, 0);
        for (size_t k = 0; k < init.size(); ++k) std::memcpy(&data[off + k * elem], &init[k], elem);
        for (auto &s : init_syms) {
            auto fi = func_index.find(s.second.first);
            if (fi != func_index.end() && elem == 8 && s.second.second == 0) {
                const uint64_t a = m.function_address(fi->second);
                std::memcpy(&data[off + s.first * elem], &a, 8);
                continue;
            }
            auto g = globals.find(s.second.first);
            if (g == globals.end() || g->second.k != binding::var || elem != 8)
                fail(line, "initialiser names '" + s.second.first + "', not a module variable");
            uint64_t v = g->second.off + uint64_t(s.second.second);
            std::memcpy(&data[off + s.first * elem], &v, 8);
            data_fixups.push_back(off + s.first * elem);
        }
        binding b{};
        b.k = binding::var;
        b.off = uint32_t(off);
        declare(module_level, key, b, line);
    }

    void parse_init(std::vector<uint64_t> &out, std::vector<std::pair<size_t, std::pair<std::string, int64_t>>> &syms,
                    ty et, unsigned depth = 0) {
        if (depth > 8) fail(peek().line, "initialiser nested too deeply");
        if (accept("{")) {
            if (!is("}")) {
                do {
                    parse_init(out, syms, et, depth + 1);
                } while (accept(","));
            }
            expect("}");
            return;
        }
        uint32_t line = peek().line;
        if (peek().k == t_id) {
            std::string_view n = ident();
            if (n == "generic") {
                expect("(");
                n = ident();
                expect(")");
            }
            int64_t off = 0;
            if (accept("+")) off = int64_t(number());
            syms.push_back({out.size(), {str(n), off}});
            out.push_back(0);
            return;
        }
        operand o;
        parse_number(o, line);
        out.push_back(imm_bits(o, et, line));
        if (out.size() > (size_t(1) << 28)) fail(line, "initialiser too long");
    }

    void declare(bool module_level, const std::string &key, const binding &b, uint32_t line) {
        if (module_level) {
            if (!globals.emplace(key, b).second) fail(line, "'" + key + "' declared twice");
        } else {
            if (!scopes.back().names.emplace(key, b).second) fail(line, "'" + key + "' declared twice");
        }
    }

    // ------------------------------------------------------------ functions

    // (.param .align N .b8 name[N], .param .u64 name, ...)
    std::vector<std::pair<std::string, param_rec>> parse_params(uint32_t &top) {
        std::vector<std::pair<std::string, param_rec>> out;
        expect("(");
        if (accept(")")) return out;
        do {
            uint32_t line = peek().line;
            expect(".param");
            out.push_back(parse_param_decl(top, line));
        } while (accept(","));
        expect(")");
        return out;
    }

    std::pair<std::string, param_rec> parse_param_decl(uint32_t &top, uint32_t line) {
        uint64_t align = 0;
        const ty_rec *tr = nullptr;
        for (;;) {
            if (accept(".align")) { align = number(); continue; }
            if (accept(".ptr")) continue;
            if (is(".global") || is(".shared") || is(".local") || is(".const")) { next(); continue; }
            std::string_view tn = ident();
            tr = tn.size() > 1 ? type_of(tn.substr(1)) : nullptr;
            if (!tr || tr->t == ty::pred) fail(line, "unsupported parameter type '" + str(tn) + "'");
            break;
        }
        std::string_view name = ident();
        uint64_t count = 1;
        while (accept("[")) {
            uint64_t n = number();
            expect("]");
            count *= n;
            if (n == 0 || count > 65536) fail(line, "bad parameter array size");
        }
        if (align == 0) align = tr->bytes;
        if (align & (align - 1) || align > 256) fail(line, "bad parameter alignment");
        uint64_t off = (top + align - 1) / align * align;
        uint64_t bytes = tr->bytes * count;
        if (off + bytes > 65536) fail(line, "parameters too large");
        top = uint32_t(off + bytes);
        return {str(name), param_rec{uint32_t(off), uint32_t(bytes)}};
    }

    uint32_t new_slot(uint64_t init = 0) {
        if (f->init.size() >= (1u << 16)) fail(peek().line, "more than 65536 registers and constants in one function");
        f->init.push_back(init);
        return uint32_t(f->init.size() - 1);
    }
    uint32_t const_slot(uint64_t v) {
        auto it = consts.find(v);
        if (it != consts.end()) return it->second;
        uint32_t s = new_slot(v);
        consts.emplace(v, s);
        return s;
    }

    void parse_function(bool entry, uint32_t line) {
        uint32_t top = 0;
        std::vector<std::pair<std::string, param_rec>> ret;
        if (!entry && is("(")) ret = parse_params(top);
        if (ret.size() > 1) fail(line, "more than one return parameter");
        std::string name = str(ident());
        std::vector<std::pair<std::string, param_rec>> formals;
        uint32_t ftop = 0;
        if (is("(")) formals = parse_params(ftop);
        // Return variable after the formals in the frame's parameter area.
        if (!ret.empty()) {
            uint32_t a = 8;
            ret[0].second.off = (ftop + a - 1) / a * a;
            ftop = ret[0].second.off + ret[0].second.bytes;
        }
        uint64_t maxntid = 0, reqntid[3] = {0, 0, 0};
        while (is(".maxntid") || is(".reqntid") || is(".minnctapersm") || is(".maxnreg") ||
               is(".noreturn") || is(".maxnctapersm") || is(".pragma")) {
            std::string_view d = ident();
            if (d == ".noreturn") continue;
            if (d == ".pragma") {
                while (peek().k == t_str) next();
                accept(";");
                continue;
            }
            uint64_t v[3] = {number(), 1, 1};
            for (int k = 1; k < 3 && accept(","); ++k) v[k] = number();
            if (d == ".maxntid" || d == ".reqntid") {
                if (v[0] == 0 || v[1] == 0 || v[2] == 0 || v[0] * v[1] * v[2] > 1024)
                    fail(line, "bad " + str(d));
                if (d == ".maxntid") maxntid = v[0] * v[1] * v[2];
                else reqntid[0] = v[0], reqntid[1] = v[1], reqntid[2] = v[2];
            }
        }
        auto existing = func_index.find(name);
        uint32_t index;
        if (existing != func_index.end()) {
            index = existing->second;
            if (m.funcs[index].entry != entry) fail(line, "'" + name + "' declared as entry and function");
        } else {
            index = uint32_t(m.funcs.size());
            m.funcs.emplace_back();
            func_index.emplace(name, index);
        }
        function &fn = m.funcs[index];
        fn.name = name;
        fn.entry = entry;
        fn.line = line;
        fn.formals.clear();
        fn.formal_bytes = 0;
        for (auto &fp : formals) {
            fn.formals.push_back(fp.second);
            fn.formal_bytes = std::max(fn.formal_bytes, fp.second.off + fp.second.bytes);
        }
        fn.has_ret = !ret.empty();
        if (fn.has_ret) fn.ret = ret[0].second;
        fn.maxntid = uint32_t(maxntid);
        for (int k = 0; k < 3; ++k) fn.reqntid[k] = uint32_t(reqntid[k]);
        if (accept(";")) return;  // a declaration
        if (fn.defined) fail(line, "'" + name + "' defined twice");
        fn.defined = true;
        fn.param_bytes = ftop;
        // Function state.
        f = &fn;
        f->init.assign(slot_fixed, 0);
        f->init[slot_one] = 1;
        consts.clear();
        consts.emplace(1, slot_one);
        consts.emplace(0, slot_zero);
        var_fixups.clear();
        ext_fixups.clear();
        labels.clear();
        branch_fixups.clear();
        scopes.assign(1, scope{});
        sink_slot = new_slot();
        for (auto &fp : formals) declare_param(fp.first, fp.second, line);
        if (fn.has_ret) declare_param(ret[0].first, ret[0].second, line);
        expect("{");
        parse_body();
        // The end of the code returns.
        insn r{};
        r.fn = &h_ret;
        r.guard = slot_one;
        r.want = 1;
        r.line = peek().line;
        f->code.push_back(r);
        for (auto &b : branch_fixups) {
            auto it = labels.find(b.second.first);
            if (it == labels.end()) fail(b.second.second, "undefined label '" + b.second.first + "'");
            f->code[b.first].imm = it->second;
        }
        for (uint32_t s : var_fixups) f->init[s] |= uint64_t(1) << 63;  // marks: add the variables' base
        for (uint32_t s : ext_fixups) f->init[s] |= uint64_t(1) << 62;  // marks: add the external offset
        fixup_slots.push_back({index, var_fixups, ext_fixups});
        f->param_bytes = (f->param_bytes + 15) & ~15u;
        f = nullptr;
    }

    struct slot_fix {
        uint32_t func;
        std::vector<uint32_t> vars, exts;
    };
    std::vector<slot_fix> fixup_slots;

    void declare_param(const std::string &name, const param_rec &r, uint32_t line) {
        binding b{};
        b.k = binding::param;
        b.off = r.off;
        b.bytes = r.bytes;
        declare(false, name, b, line);
    }

    void parse_body() {
        for (;;) {
            const tok &x = peek();
            if (x.k == t_end) fail(x.line, "function body not closed");
            if (x.k == t_punct && x.s == "}") {
                next();
                if (scopes.size() == 1) return;
                scopes.pop_back();
                continue;
            }
            if (x.k == t_punct && x.s == "{") {
                next();
                if (scopes.size() > 64) fail(x.line, "blocks nested too deeply");
                scopes.emplace_back();
                continue;
            }
            if (x.k == t_id && peek(1).k == t_punct && peek(1).s == ":" && peek(2).s == ".callprototype") {
                // The signature of an indirect call: the call site's own
                // arguments say as much.
                while (!accept(";")) {
                    if (peek().k == t_end) fail(x.line, "expected ';'");
                    next();
                }
                continue;
            }
            if (x.k == t_id && peek(1).k == t_punct && peek(1).s == ":") {
                std::string l = str(x.s);
                next();
                next();
                if (!labels.emplace(l, uint32_t(f->code.size())).second) fail(x.line, "label '" + l + "' defined twice");
                continue;
            }
            if (x.k == t_id && x.s[0] == '.') {
                parse_body_directive();
                continue;
            }
            parse_instruction();
        }
    }

    void parse_body_directive() {
        const tok &x = next();
        std::string_view d = x.s;
        if (d == ".reg") {
            std::string_view tn = ident();
            if (tn == ".v2" || tn == ".v4") fail(x.line, "vector registers are not supported");
            const ty_rec *tr = tn.size() > 1 ? type_of(tn.substr(1)) : nullptr;
            if (!tr) fail(x.line, "unsupported register type '" + str(tn) + "'");
            do {
                std::string_view name = ident();
                if (name[0] == '.') fail(x.line, "bad register name");
                if (accept("<")) {
                    uint64_t n = number();
                    expect(">");
                    if (n > (1u << 20)) fail(x.line, "too many registers");
                    reg_range r{uint32_t(f->init.size()), uint32_t(n), tr->t};
                    for (uint64_t k = 0; k < n; ++k) new_slot();
                    if (!scopes.back().ranges.emplace(str(name), r).second)
                        fail(x.line, "'" + str(name) + "' declared twice");
                } else {
                    binding b{};
                    b.k = binding::reg;
                    b.slot = new_slot();
                    b.t = tr->t;
                    declare(false, str(name), b, x.line);
                }
            } while (accept(","));
            expect(";");
        } else if (d == ".local") {
            uint64_t align = 0;
            if (accept(".align")) align = number();
            std::string_view tn = ident();
            const ty_rec *tr = tn.size() > 1 ? type_of(tn.substr(1)) : nullptr;
            if (!tr || tr->t == ty::pred) fail(x.line, "unsupported local type");
            std::string_view name = ident();
            uint64_t count = 1;
            while (accept("[")) {
                uint64_t n = number();
                expect("]");
                count *= n;
                if (n == 0 || count > (1u << 20)) fail(x.line, "bad local array size");
            }
            if (accept("=")) fail(x.line, "local variables take no initialiser");
            expect(";");
            if (align == 0) align = tr->bytes;
            if (align & (align - 1) || align > 256) fail(x.line, "bad alignment");
            uint64_t off = (f->local_bytes + align - 1) / align * align;
            if (off + tr->bytes * count > (512u << 10)) fail(x.line, "more than 512 KiB of local memory");
            f->local_bytes = uint32_t(off + tr->bytes * count);
            binding b{};
            b.k = binding::depot;
            b.slot = new_slot();
            f->depots.push_back({b.slot, uint32_t(off)});
            declare(false, str(name), b, x.line);
        } else if (d == ".shared") {
            parse_variable(sp_shared, false, x.line, false);
        } else if (d == ".global" || d == ".const") {
            fail(x.line, "function-scope " + str(d) + " variables are not supported");
        } else if (d == ".param") {
            uint32_t top = f->param_bytes;
            auto pr = parse_param_decl(top, x.line);
            f->param_bytes = top;
            expect(";");
            declare_param(pr.first, pr.second, x.line);
        } else if (d == ".pragma") {
            while (peek().k == t_str) next();
            expect(";");
        } else if (d == ".loc" || d == ".file") {
            skip_line();
        } else {
            fail(x.line, "unsupported directive '" + str(d) + "'");
        }
    }

    // ------------------------------------------------------------ names

    const binding *lookup(std::string_view n, binding &tmp) {
        for (size_t k = scopes.size(); k-- > 0;) {
            auto it = scopes[k].names.find(n);
            if (it != scopes[k].names.end()) return &it->second;
            // %r12 in a declared range %r<N>
            size_t d = n.size();
            while (d > 0 && n[d - 1] >= '0' && n[d - 1] <= '9') --d;
            if (d < n.size() && d > 0 && (n.size() - d == 1 || n[d] != '0')) {
                auto rr = scopes[k].ranges.find(n.substr(0, d));
                uint64_t idx;
                if (rr != scopes[k].ranges.end() && n.size() - d < 9 && parse_uint(n.substr(d), idx)) {
                    if (idx < rr->second.count) {
                        tmp = binding{binding::reg, rr->second.base + uint32_t(idx), rr->second.t, 0, 0};
                        return &tmp;
                    }
                }
            }
        }
        auto g = globals.find(n);
        if (g != globals.end()) return &g->second;
        static const struct { const char *name; uint32_t slot; } sregs[] = {
            {"%tid.x", slot_tid}, {"%tid.y", slot_tid + 1}, {"%tid.z", slot_tid + 2},
            {"%ntid.x", slot_ntid}, {"%ntid.y", slot_ntid + 1}, {"%ntid.z", slot_ntid + 2},
            {"%ctaid.x", slot_ctaid}, {"%ctaid.y", slot_ctaid + 1}, {"%ctaid.z", slot_ctaid + 2},
            {"%nctaid.x", slot_nctaid}, {"%nctaid.y", slot_nctaid + 1}, {"%nctaid.z", slot_nctaid + 2},
            {"%laneid", slot_laneid}, {"%warpid", slot_warpid}, {"%nwarpid", slot_nwarpid},
            {"%lanemask_eq", slot_lanemask_eq}, {"%lanemask_lt", slot_lanemask_lt},
            {"%lanemask_le", slot_lanemask_le}, {"%lanemask_gt", slot_lanemask_gt},
            {"%lanemask_ge", slot_lanemask_ge}, {"%smid", slot_zero}, {"%gridid", slot_zero},
            {"WARP_SZ", 0},
        };
        for (auto &s : sregs)
            if (n == s.name) {
                if (n == "WARP_SZ") {
                    tmp = binding{binding::reg, const_slot(32), ty::u32, 0, 0};
                    return &tmp;
                }
                tmp = binding{binding::sreg, s.slot, ty::u32, 0, 0};
                return &tmp;
            }
        return nullptr;
    }

    // The slot that holds a name's value as an operand (its address for variables).
    uint32_t name_slot(std::string_view n, uint32_t line, ty *rty = nullptr, int *space = nullptr) {
        binding tmp;
        const binding *b = lookup(n, tmp);
        if (!b) {
            auto fi = func_index.find(n);
            if (fi == func_index.end()) fail(line, "undefined name '" + str(n) + "'");
            if (rty) *rty = ty::none;
            if (space) *space = sp_generic;
            return const_slot(m.function_address(fi->second));
        }
        if (rty) *rty = b->k == binding::reg ? b->t : ty::none;
        int sp = sp_generic;
        uint32_t s;
        switch (b->k) {
        case binding::reg:
        case binding::sreg: s = b->slot; break;
        case binding::depot: s = b->slot, sp = sp_local; break;
        case binding::param: s = const_slot(b->off), sp = sp_param; break;
        case binding::shared: s = const_slot(b->off), sp = sp_shared; break;
        case binding::ext_shared:
            s = new_slot(0), sp = sp_shared;
            ext_fixups.push_back(s);
            break;
        default:
            s = new_slot(b->off), sp = sp_global;
            var_fixups.push_back(s);
            break;
        }
        if (space) *space = sp;
        return s;
    }

    // ------------------------------------------------------------ operands

    void parse_number(operand &o, uint32_t line) {
        bool neg = accept("-");
        const tok &x = next();
        if (x.k != t_num) fail(line, "expected an operand, found '" + str(x.s) + "'");
        o.k = operand::imm;
        o.line = line;
        std::string_view s = x.s;
        if (s.size() == 10 && (s[1] == 'f' || s[1] == 'F') && s[0] == '0') {
            uint64_t v;
            if (!parse_uint("0x" + str(s.substr(2)), v)) fail(line, "bad float literal '" + str(s) + "'");
            o.ik = 1, o.bits = v;
            if (neg) o.bits ^= 0x80000000u;
        } else if (s.size() == 18 && (s[1] == 'd' || s[1] == 'D') && s[0] == '0') {
            uint64_t v;
            if (!parse_uint("0x" + str(s.substr(2)), v)) fail(line, "bad double literal '" + str(s) + "'");
            o.ik = 2, o.bits = v;
            if (neg) o.bits ^= 0x8000000000000000ull;
        } else if (s.find_first_of(".eE") != std::string_view::npos && !(s.size() > 1 && (s[1] == 'x' || s[1] == 'X'))) {
            std::string c = str(s);
            char *end = nullptr;
            double v = std::strtod(c.c_str(), &end);
            if (!end || *end) fail(line, "bad number '" + c + "'");
            o.ik = 3, o.dval = neg ? -v : v;
        } else {
            uint64_t v;
            if (!parse_uint(s, v)) fail(line, "bad number '" + str(s) + "'");
            o.ik = 0, o.bits = neg ? uint64_t(0) - v : v;
        }
    }

    // An immediate encoded for an operand of type `t`.
    uint64_t imm_bits(const operand &o, ty t, uint32_t line) {
        if (t == ty::f32) {
            float v;
            if (o.ik == 1) return o.bits;
            if (o.ik == 2) { double d; std::memcpy(&d, &o.bits, 8); v = float(d); }
            else if (o.ik == 3) v = float(o.dval);
            else v = float(int64_t(o.bits));
            uint32_t b;
            std::memcpy(&b, &v, 4);
            return b;
        }
        if (t == ty::f64) {
            double v;
            if (o.ik == 2) return o.bits;
            if (o.ik == 1) { float x; uint32_t b = uint32_t(o.bits); std::memcpy(&x, &b, 4); v = x; }
            else if (o.ik == 3) v = o.dval;
            else v = double(int64_t(o.bits));
            uint64_t b;
            std::memcpy(&b, &v, 8);
            return b;
        }
        if (o.ik == 3) fail(line, "a floating-point literal where an integer is expected");
        unsigned n = bytes_of(t);
        if (t == ty::pred) return o.bits != 0;
        return o.bits & width_mask(n ? n : 8);
    }

    operand parse_operand(unsigned depth = 0) {
        operand o;
        const tok &x = peek();
        o.line = x.line;
        if (depth > 2) fail(x.line, "operand nested too deeply");
        if (accept("[")) {
            o.k = operand::addr;
            auto b = std::make_shared<operand>();
            if (peek().k == t_id) {
                b->k = operand::name;
                b->id = ident();
                b->line = x.line;
            } else {
                parse_number(*b, x.line);
            }
            o.base_hold = b;
            o.base = b.get();
            while (is("+") || is("-")) {
                bool minus = next().s == "-";
                int64_t v = int64_t(number());
                o.off += minus ? -v : v;
            }
            expect("]");
            return o;
        }
        if (accept("{")) {
            o.k = operand::vec;
            do {
                o.elems.push_back(parse_operand(depth + 1));
            } while (accept(","));
            expect("}");
            if (o.elems.size() > 4) fail(x.line, "vectors hold at most four elements");
            return o;
        }
        if (accept("!")) {
            o = parse_operand(depth + 1);
            if (o.k != operand::name) fail(x.line, "'!' applies to a predicate");
            o.neg = true;
            return o;
        }
        if (x.k == t_id) {
            next();
            if (x.s == "_") {
                o.k = operand::sink;
                return o;
            }
            o.k = operand::name;
            o.id = x.s;
            if (accept("|")) {
                o.has2 = true;
                std::string_view q = ident();
                ty qt;
                o.slot2 = name_slot(q, x.line, &qt);
                if (qt != ty::pred) fail(x.line, "'" + str(q) + "' is not a predicate");
            }
            return o;
        }
        parse_number(o, x.line);
        return o;
    }

    // ------------------------------------------------------------ instructions

    struct inst {
        std::string_view opcode;
        std::vector<std::string_view> mods;  // after the base name
        std::vector<operand> ops;
        uint32_t line;
        uint32_t guard = slot_one;
        uint8_t want = 1;
    };
    inst *cur = nullptr;

    bool has(const inst &in, std::string_view m) const {
        return std::find(in.mods.begin(), in.mods.end(), m) != in.mods.end();
    }
    // The instruction's type: its last modifier that names one.
    ty type(const inst &in, size_t k = 0) {
        size_t seen = 0;
        for (size_t j = in.mods.size(); j-- > 0;) {
            const ty_rec *r = type_of(in.mods[j]);
            if (r) {
                if (seen == k) return r->t;
                ++seen;
            }
        }
        fail(in.line, "'" + str(in.opcode) + "' needs a type");
    }
    int mode(const inst &in) {
        for (auto m : in.mods) {
            if (m == "rn" || m == "rni") return rn;
            if (m == "rz" || m == "rzi") return rz;
            if (m == "rm" || m == "rmi") return rm;
            if (m == "rp" || m == "rpi") return rp;
        }
        return rn;
    }
    bool integral_rounding(const inst &in) {
        for (auto m : in.mods)
            if (m == "rni" || m == "rzi" || m == "rmi" || m == "rpi") return true;
        return false;
    }

    uint32_t src(const operand &o, ty t) {
        switch (o.k) {
        case operand::imm: return const_slot(imm_bits(o, t, o.line));
        case operand::name: {
            ty rt;
            uint32_t s = name_slot(o.id, o.line, &rt);
            if (o.neg) {
                if (rt != ty::pred) fail(o.line, "'!' applies to a predicate");
                uint32_t tmp = new_slot();
                insn n = base_insn(&h_not_pred);
                n.guard = slot_one, n.want = 1;
                n.o[0] = tmp, n.o[1] = s;
                f->code.push_back(n);
                return tmp;
            }
            if (t == ty::pred && rt != ty::pred) fail(o.line, "'" + str(o.id) + "' is not a predicate");
            return s;
        }
        default: fail(o.line, "bad source operand");
        }
    }
    uint32_t dst(const operand &o, unsigned *bytes = nullptr) {
        if (o.k == operand::sink) {
            if (bytes) *bytes = 8;
            return sink_slot;
        }
        if (o.k != operand::name || o.neg) fail(o.line, "bad destination operand");
        binding tmp;
        const binding *b = lookup(o.id, tmp);
        if (!b || b->k != binding::reg) fail(o.line, "'" + str(o.id) + "' is not a register");
        if (bytes) *bytes = bytes_of(b->t) ? bytes_of(b->t) : 8;
        return b->slot;
    }
    void count(const inst &in, size_t lo, size_t hi = 0) {
        if (in.ops.size() < lo || in.ops.size() > (hi ? hi : lo))
            fail(in.line, "wrong number of operands for '" + str(in.opcode) + "'");
    }

    insn base_insn(handler h) {
        insn n{};
        n.fn = h;
        n.guard = cur ? cur->guard : slot_one;
        n.want = cur ? cur->want : 1;
        n.line = cur ? cur->line : 0;
        n.n = 1;
        return n;
    }
    void emit(insn n) {
        if (!n.fn) fail(cur->line, "unsupported form of '" + str(cur->opcode) + "'");
        f->code.push_back(n);
    }

    int space_of(const inst &in) {
        for (auto m : in.mods) {
            if (m == "global") return sp_global;
            if (m == "shared" || m == "shared::cta") return sp_shared;
            if (m == "local") return sp_local;
            if (m == "param") return sp_param;
            if (m == "const") return sp_const;
            if (m == "shared::cluster") fail(in.line, "cluster shared memory is not supported");
        }
        return sp_generic;
    }

    // The base slot and offset of an address operand in space `sp`.
    void address(insn &n, const operand &a, int sp) {
        if (a.k != operand::addr) fail(a.line, "expected an address");
        n.imm = a.off;
        if (a.base->k == operand::imm) {
            n.o[4] = slot_zero;
            n.imm += int64_t(imm_bits(*a.base, ty::u64, a.line));
            return;
        }
        ty rt;
        int nsp;
        n.o[4] = name_slot(a.base->id, a.line, &rt, &nsp);
        if (rt == ty::none && nsp != sp_generic && nsp != sp && !(nsp == sp_global && (sp == sp_const || sp == sp_generic)))
            fail(a.line, "'" + str(a.base->id) + "' is not in the instruction's state space");
        if (rt == ty::pred || (rt != ty::none && bytes_of(rt) < 4)) fail(a.line, "bad address register");
    }

    void parse_instruction() {
        inst in;
        in.line = peek().line;
        if (accept("@")) {
            bool neg = accept("!");
            std::string_view p = ident();
            ty rt;
            in.guard = name_slot(p, in.line, &rt);
            if (rt != ty::pred) fail(in.line, "guard '" + str(p) + "' is not a predicate");
            in.want = neg ? 0 : 1;
        }
        const tok &op = next();
        if (op.k != t_id || op.s[0] == '.' || op.s[0] == '%') fail(op.line, "expected an instruction, found '" + str(op.s) + "'");
        std::string_view s = op.s;
        size_t dot = s.find('.');
        in.opcode = s.substr(0, dot);
        while (dot != std::string_view::npos) {
            size_t nd = s.find('.', dot + 1);
            in.mods.push_back(s.substr(dot + 1, nd == std::string_view::npos ? nd : nd - dot - 1));
            dot = nd;
        }
        // shared::cta and friends come apart at the dots above; join them again.
        for (size_t k = 0; k + 1 < in.mods.size(); ++k) {
            if (in.mods[k + 1].empty()) fail(in.line, "bad instruction name '" + str(s) + "'");
        }
        cur = &in;
        if (in.opcode == "call") {
            parse_call(in);
            cur = nullptr;
            return;
        }
        if (!is(";")) {
            do {
                in.ops.push_back(parse_operand());
            } while (accept(","));
        }
        expect(";");
        build(in);
        cur = nullptr;
    }

    void parse_call(inst &in) {
        // call{.uni} (ret), name, (args);   call name, (args);   call name;
        pending_call pc{};
        pc.line = in.line;
        std::vector<std::string_view> rets, args;
        if (accept("(")) {
            rets.push_back(ident());
            expect(")");
            expect(",");
        }
        std::string_view callee = ident();
        const bool indirect = callee[0] == '%';
        if (accept(",")) {
            if (accept("(")) {
                if (!is(")")) {
                    do {
                        args.push_back(ident());
                    } while (accept(","));
                }
                expect(")");
                if (indirect && accept(",")) ident();  // the prototype or the list of targets
            } else if (indirect) {
                ident();
            } else {
                expect("(");
            }
        }
        expect(";");
        auto param_of = [&](std::string_view n) {
            binding tmp;
            const binding *b = lookup(n, tmp);
            if (!b || b->k != binding::param) fail(in.line, "'" + str(n) + "' is not a parameter variable");
            return param_rec{b->off, b->bytes};
        };
        for (auto a : args) pc.args.push_back(param_of(a));
        pc.has_ret = !rets.empty();
        if (pc.has_ret) pc.ret = param_of(rets[0]);
        pc.site = uint32_t(m.calls.size());
        m.calls.emplace_back();
        insn n = base_insn(&h_call);
        n.imm = pc.site;
        if (indirect) {
            ty rt;
            n.fn = &h_call_indirect;
            n.o[0] = name_slot(callee, in.line, &rt);
            if (rt != ty::b64 && rt != ty::u64 && rt != ty::s64) fail(in.line, "a function address is a 64-bit register");
            pc.indirect = true;
        } else {
            pc.callee = str(callee);
        }
        calls.push_back(pc);
        emit(n);
    }

    void build(inst &in) {
        std::string_view o = in.opcode;
        auto &ops = in.ops;
        if (o != "mov" && o != "ld" && o != "ldu" && o != "st" && o != "cvt" && o != "atom" && o != "selp")
            for (auto md : in.mods) {
                const ty_rec *r = type_of(md);
                if (r && (r->t == ty::f16 || r->t == ty::f16x2)) return build_half(in);
                if (r && r->kind == 'h') fail(in.line, "bf16 arithmetic is not supported");
            }
        if (o == "mov") return build_mov(in);
        if (o == "ld" || o == "ldu") return build_ld(in);
        if (o == "st") return build_st(in);
        if (o == "cvta") {
            count(in, 2);
            int sp = space_of(in);
            bool to = has(in, "to");
            unsigned w;
            insn n = base_insn(nullptr);
            n.o[0] = dst(ops[0], &w);
            ty t = type(in);
            n.dw = uint8_t(bytes_of(t));
            n.o[1] = src(ops[1], ty::u64);
            if (ops[1].k == operand::name) {
                ty rt;
                int nsp;
                name_slot(ops[1].id, in.line, &rt, &nsp);
                if (rt == ty::none && nsp == sp_global && sp != sp_global && sp != sp_const)
                    fail(in.line, "bad cvta operand");
            }
            n.fn = by_space(sp, [&](auto s) -> handler {
                return to ? &h_cvta<decltype(s)::value, true> : &h_cvta<decltype(s)::value, false>;
            });
            return emit(n);
        }
        if (o == "cvt") return build_cvt(in);
        if (o == "setp") return build_setp(in);
        if (o == "selp") {
            count(in, 4);
            ty t = type(in);
            insn n = base_insn(&h_selp);
            n.o[0] = dst(ops[0]);
            n.o[1] = src(ops[1], t);
            n.o[2] = src(ops[2], t);
            n.o[3] = src(ops[3], ty::pred);
            return emit(n);
        }
        if (o == "bra") {
            count(in, 1);
            if (ops[0].k != operand::name) fail(in.line, "bra needs a label");
            insn n = base_insn(&h_bra);
            branch_fixups.push_back({f->code.size(), {str(ops[0].id), in.line}});
            return emit(n);
        }
        if (o == "ret") { count(in, 0); return emit(base_insn(&h_ret)); }
        if (o == "exit") { count(in, 0); return emit(base_insn(&h_exit)); }
        if (o == "trap") { count(in, 0); return emit(base_insn(&h_trap)); }
        if (o == "membar" || o == "fence") return emit(base_insn(&h_fence));
        if (o == "prefetch" || o == "prefetchu" || o == "pmevent" || o == "nanosleep") return emit(base_insn(&h_nop));
        if (o == "bar" || o == "barrier") return build_bar(in);
        if (o == "shfl") return build_shfl(in);
        if (o == "vote") return build_vote(in);
        if (o == "match") {
            // match.any.sync.bN d, a, mask;  match.all.sync.bN d{|p}, a, mask;
            count(in, 3);
            if (!has(in, "sync")) fail(in.line, "match without .sync is not supported");
            const bool all = has(in, "all");
            if (!all && !has(in, "any")) fail(in.line, "match needs any or all");
            ty t = type(in);
            if (t != ty::b32 && t != ty::b64) fail(in.line, "match compares 32- or 64-bit values");
            insn n = base_insn(&h_match);
            n.aux = all;
            n.o[0] = dst(ops[0]);
            n.o[1] = ops[0].has2 ? ops[0].slot2 : sink_slot;
            if (ops[0].has2 && !all) fail(in.line, "match.any sets no predicate");
            n.o[2] = src(ops[1], t);
            n.o[3] = src(ops[2], ty::b32);
            return emit(n);
        }
        if (o == "fns") {
            count(in, 4);
            if (type(in) != ty::b32) fail(in.line, "fns takes .b32");
            insn n = base_insn(&h_fns);
            n.o[0] = dst(ops[0]);
            n.o[1] = src(ops[1], ty::b32);
            n.o[2] = src(ops[2], ty::b32);
            n.o[3] = src(ops[3], ty::s32);
            return emit(n);
        }
        if (o == "activemask") {
            count(in, 1);
            insn n = base_insn(&h_activemask);
            n.o[0] = dst(ops[0]);
            return emit(n);
        }
        if (o == "atom" || o == "red") return build_atom(in, o == "red");
        if (o == "add" || o == "sub" || o == "mul" || o == "div" || o == "min" || o == "max" ||
            o == "mad" || o == "fma" || o == "rem" || o == "and" || o == "or" || o == "xor" ||
            o == "shl" || o == "shr" || o == "addc" || o == "subc" || o == "madc" || o == "mul24" ||
            o == "mad24")
            return build_arith(in);
        if (o == "abs" || o == "neg" || o == "not" || o == "cnot" || o == "popc" || o == "clz" ||
            o == "brev" || o == "bfind" || o == "sqrt" || o == "rsqrt" || o == "rcp" || o == "sin" ||
            o == "cos" || o == "lg2" || o == "ex2" || o == "tanh")
            return build_unary(in);
        if (o == "copysign") {
            count(in, 3);
            ty t = type(in);
            insn n = base_insn(by_float(t, [](auto x) -> handler { return &h_funary<decltype(x), u_copysign, rn>; }));
            n.o[0] = dst(ops[0]);
            n.o[1] = src(ops[1], t);
            n.o[2] = src(ops[2], t);
            return emit(n);
        }
        if (o == "testp") {
            count(in, 2);
            ty t = type(in);
            static const char *const kinds[] = {"finite", "infinite", "number", "notanumber", "normal", "subnormal"};
            insn n = base_insn(by_float(t, [](auto x) -> handler { return &h_testp<decltype(x)>; }));
            n.aux = 255;
            for (unsigned k = 0; k < 6; ++k)
                if (has(in, kinds[k])) n.aux = uint8_t(k);
            if (n.aux == 255) fail(in.line, "testp needs a test");
            n.o[0] = dst(ops[0]);
            n.o[1] = src(ops[1], t);
            return emit(n);
        }
        if (o == "bfe" || o == "bfi" || o == "prmt" || o == "shf") return build_bits(in);
        if (o == "sad") {
            count(in, 4);
            ty t = type(in);
            insn n = base_insn(by_int(t, [](auto x) -> handler { return &h_sad<decltype(x)>; }));
            if (bytes_of(t) < 2) n.fn = nullptr;
            n.o[0] = dst(ops[0]);
            n.o[1] = src(ops[1], t);
            n.o[2] = src(ops[2], t);
            n.o[3] = src(ops[3], t);
            return emit(n);
        }
        if (o == "dp4a") {
            count(in, 4);
            ty ta = type(in, 1), tb = type(in, 0);
            if (bytes_of(ta) != 4 || bytes_of(tb) != 4) fail(in.line, "dp4a takes 32-bit operands");
            insn n = base_insn(&h_dp4a);
            n.aux = uint8_t((is_signed(ta) ? 1 : 0) | (is_signed(tb) ? 2 : 0));
            n.o[0] = dst(ops[0]);
            n.o[1] = src(ops[1], ta);
            n.o[2] = src(ops[2], tb);
            n.o[3] = src(ops[3], ty::b32);
            return emit(n);
        }
        fail(in.line, "unsupported instruction '" + str(in.opcode) + "'");
    }

    // add sub mul fma min max neg abs setp of .f16 and .f16x2.
    void build_half(inst &in) {
        auto &ops = in.ops;
        std::string_view o = in.opcode;
        ty t = type(in);
        const bool pair = t == ty::f16x2;
        if (o == "setp") return build_setp(in);
        static const struct {
            const char *name;
            int op, operands;
        } forms[] = {{"add", hf_add, 3}, {"sub", hf_sub, 3}, {"mul", hf_mul, 3}, {"fma", hf_fma, 4},
                     {"min", hf_min, 3}, {"max", hf_max, 3}, {"neg", hf_neg, 2}, {"abs", hf_abs, 2}};
        int op = -1, operands = 0;
        for (const auto &f : forms)
            if (o == f.name) op = f.op, operands = f.operands;
        if (op < 0) fail(in.line, "unsupported half-precision instruction '" + str(o) + "'");
        if (has(in, "NaN") || has(in, "xorsign") || has(in, "relu") || has(in, "oob"))
            fail(in.line, "unsupported form of '" + str(o) + "'");
        if (has(in, "rz") || has(in, "rm") || has(in, "rp")) fail(in.line, "half precision rounds to nearest only");
        count(in, size_t(operands));
        insn n = base_insn(nullptr);
        n.aux = float_flags(in);
        n.o[0] = dst(ops[0]);
        for (int k = 1; k < operands; ++k) n.o[k] = src(ops[size_t(k)], pair ? ty::b32 : ty::b16);
        n.fn = by_value<hf_abs + 1>(op, [&](auto x) -> handler {
            return pair ? &h_half<decltype(x)::value, true> : &h_half<decltype(x)::value, false>;
        });
        emit(n);
    }

    void build_mov(inst &in) {
        count(in, 2);
        auto &ops = in.ops;
        ty t = type(in);
        unsigned tb = bytes_of(t);
        if (ops[1].k == operand::vec) {
            insn n = base_insn(&h_pack);
            n.o[0] = dst(ops[0]);
            n.n = uint8_t(ops[1].elems.size());
            if (n.n < 2 || tb % n.n) fail(in.line, "bad vector move");
            n.aux = uint8_t(tb / n.n);
            for (unsigned k = 0; k < n.n; ++k) n.o[k + 1] = src(ops[1].elems[k], ty::b64);
            if (n.n == 4) {
                // five operands do not fit: pack pairs first
                uint32_t lo = new_slot(), hi = new_slot();
                insn a = n;
                a.n = 2, a.o[0] = lo;
                emit(a);
                insn b = n;
                b.n = 2, b.o[0] = hi, b.o[1] = n.o[3], b.o[2] = n.o[4];
                emit(b);
                insn c = n;
                c.n = 2, c.aux = uint8_t(tb / 2), c.o[1] = lo, c.o[2] = hi;
                return emit(c);
            }
            return emit(n);
        }
        if (ops[0].k == operand::vec) {
            insn n = base_insn(&h_unpack);
            n.n = uint8_t(ops[0].elems.size());
            if (n.n < 2 || tb % n.n) fail(in.line, "bad vector move");
            n.aux = uint8_t(tb / n.n);
            for (unsigned k = 0; k < n.n; ++k) n.o[k] = dst(ops[0].elems[k]);
            n.o[4] = src(ops[1], t);
            return emit(n);
        }
        unsigned w;
        insn n = base_insn(&h_mov);
        n.o[0] = dst(ops[0], &w);
        if (ops[1].k == operand::name && (ops[1].id == "%clock" || ops[1].id == "%clock64" || ops[1].id == "%globaltimer")) {
            n.fn = &h_clock;
            n.dw = uint8_t(tb);
            return emit(n);
        }
        if (ops[1].k == operand::name) {
            ty rt;
            n.o[1] = name_slot(ops[1].id, in.line, &rt);
            if (ops[1].neg) n.o[1] = src(ops[1], t);
            if (rt == ty::none && tb < 8) {
                // an address cut to 32 bits
                n.fn = &h_mov_masked;
                n.dw = uint8_t(tb);
            }
            return emit(n);
        }
        n.o[1] = src(ops[1], t);
        return emit(n);
    }

    unsigned vector_of(const inst &in) {
        if (has(in, "v2")) return 2;
        if (has(in, "v4")) return 4;
        if (has(in, "v8")) fail(in.line, "eight-element vectors are not supported");
        return 1;
    }

    void build_ld(inst &in) {
        count(in, 2);
        auto &ops = in.ops;
        int sp = space_of(in);
        ty t = type(in);
        unsigned b = bytes_of(t), nv = vector_of(in);
        if (t == ty::pred) fail(in.line, "predicates are not loaded");
        if (info(t).kind == 'h') t = bytes_of(t) == 2 ? ty::b16 : ty::b32;
        insn n = base_insn(nullptr);
        n.n = uint8_t(nv);
        if (nv == 1) {
            unsigned w;
            n.o[0] = dst(ops[0], &w);
            n.dw = uint8_t(w);
        } else {
            if (ops[0].k != operand::vec || ops[0].elems.size() != nv) fail(in.line, "vector load needs a vector of registers");
            unsigned w = 8;
            for (unsigned k = 0; k < nv; ++k) {
                unsigned wk;
                n.o[k] = dst(ops[0].elems[k], &wk);
                w = std::min(w, wk);
            }
            n.dw = uint8_t(w);
        }
        address(n, ops[1], sp);
        bool sx = is_signed(t) && b < 8;
        n.fn = by_space(sp, [&](auto s) -> handler {
            constexpr int S = decltype(s)::value;
            auto pick = [&](auto bb) -> handler {
                constexpr unsigned B = decltype(bb)::value;
                if (nv == 1) return sx ? &h_ld<S, B, 1, true> : &h_ld<S, B, 1, false>;
                if (nv == 2) return sx ? &h_ld<S, B, 2, true> : &h_ld<S, B, 2, false>;
                return sx ? &h_ld<S, B, 4, true> : &h_ld<S, B, 4, false>;
            };
            switch (b) {
            case 1: return pick(std::integral_constant<unsigned, 1>{});
            case 2: return pick(std::integral_constant<unsigned, 2>{});
            case 4: return pick(std::integral_constant<unsigned, 4>{});
            default: return pick(std::integral_constant<unsigned, 8>{});
            }
        });
        emit(n);
    }

    void build_st(inst &in) {
        count(in, 2);
        auto &ops = in.ops;
        int sp = space_of(in);
        if (sp == sp_const) fail(in.line, "constant memory is read-only");
        ty t = type(in);
        unsigned b = bytes_of(t), nv = vector_of(in);
        if (t == ty::pred) fail(in.line, "predicates are not stored");
        if (info(t).kind == 'h') t = bytes_of(t) == 2 ? ty::b16 : ty::b32;
        insn n = base_insn(nullptr);
        n.n = uint8_t(nv);
        address(n, ops[0], sp);
        if (nv == 1) {
            n.o[0] = src(ops[1], t);
        } else {
            if (ops[1].k != operand::vec || ops[1].elems.size() != nv) fail(in.line, "vector store needs a vector");
            for (unsigned k = 0; k < nv; ++k) n.o[k] = src(ops[1].elems[k], t);
        }
        n.fn = by_space(sp, [&](auto s) -> handler {
            constexpr int S = decltype(s)::value;
            auto pick = [&](auto bb) -> handler {
                constexpr unsigned B = decltype(bb)::value;
                if (nv == 1) return &h_st<S, B, 1>;
                if (nv == 2) return &h_st<S, B, 2>;
                return &h_st<S, B, 4>;
            };
            switch (b) {
            case 1: return pick(std::integral_constant<unsigned, 1>{});
            case 2: return pick(std::integral_constant<unsigned, 2>{});
            case 4: return pick(std::integral_constant<unsigned, 4>{});
            default: return pick(std::integral_constant<unsigned, 8>{});
            }
        });
        emit(n);
    }

    uint8_t float_flags(const inst &in) {
        return uint8_t((has(in, "ftz") ? 1 : 0) | (has(in, "sat") ? 2 : 0));
    }

    void build_cvt(inst &in) {
        count(in, 2);
        ty d = type(in, 1), s = type(in, 0);
        int m = mode(in);
        bool sat = has(in, "sat");
        insn n = base_insn(nullptr);
        unsigned w;
        n.o[0] = dst(in.ops[0], &w);
        n.dw = uint8_t(w);
        n.o[1] = src(in.ops[1], s);
        n.aux = float_flags(in);
        if (is_int(d) && is_int(s)) {
            n.fn = by_int(d, [&](auto dd) -> handler {
                return by_int(s, [&](auto ss) -> handler {
                    using D = decltype(dd);
                    using S = decltype(ss);
                    return sat ? &h_cvt_ii<D, S, true> : &h_cvt_ii<D, S, false>;
                });
            });
        } else if (is_int(d) && is_float(s)) {
            if (!integral_rounding(in)) fail(in.line, "float to integer conversion needs an integer rounding");
            n.fn = by_int(d, [&](auto dd) -> handler {
                return by_float(s, [&](auto ss) -> handler {
                    return by_mode(m, [&](auto mm) -> handler {
                        return &h_cvt_fi<decltype(dd), decltype(ss), decltype(mm)::value>;
                    });
                });
            });
        } else if (is_float(d) && is_int(s)) {
            if (integral_rounding(in)) fail(in.line, "integer to float conversion takes a float rounding");
            n.fn = by_float(d, [&](auto dd) -> handler {
                return by_int(s, [&](auto ss) -> handler {
                    return by_mode(m, [&](auto mm) -> handler {
                        return &h_cvt_if<decltype(dd), decltype(ss), decltype(mm)::value>;
                    });
                });
            });
        } else if (s == ty::f16 && (is_float(d) || is_int(d))) {
            if (is_int(d) && !integral_rounding(in)) fail(in.line, "float to integer conversion needs an integer rounding");
            n.fn = by_number(d, [&](auto dd) -> handler {
                return by_mode(m, [&](auto mm) -> handler { return &h_cvt_from_half<decltype(dd), decltype(mm)::value>; });
            });
        } else if (d == ty::f16 && (is_float(s) || is_int(s))) {
            if (integral_rounding(in)) fail(in.line, "conversion to half takes a float rounding");
            if (is_float(s) && !(has(in, "rn") || has(in, "rz") || has(in, "rm") || has(in, "rp")))
                fail(in.line, "conversion to half needs a rounding");
            n.fn = by_number(s, [&](auto ss) -> handler {
                return by_mode(m, [&](auto mm) -> handler { return &h_cvt_to_half<decltype(ss), decltype(mm)::value>; });
            });
        } else if (d == ty::f16 && s == ty::f16) {
            fail(in.line, "half-precision rounding to integral values is not supported");
        } else if (is_float(d) && is_float(s)) {
            if (integral_rounding(in)) {
                if (d != s) fail(in.line, "integral rounding keeps the type");
                n.aux |= 4;
            }
            n.fn = by_float(d, [&](auto dd) -> handler {
                return by_float(s, [&](auto ss) -> handler {
                    return by_mode(m, [&](auto mm) -> handler {
                        return &h_cvt_ff<decltype(dd), decltype(ss), decltype(mm)::value>;
                    });
                });
            });
        }
        emit(n);
    }

    void build_setp(inst &in) {
        count(in, 2 + 1, 4);
        auto &ops = in.ops;
        static const char *const names[] = {"eq", "ne", "lt", "le", "gt", "ge", "equ", "neu", "ltu", "leu", "gtu", "geu", "num", "nan", "lo", "ls", "hi", "hs"};
        int c = -1;
        for (int k = 0; k < 18; ++k)
            if (in.mods.size() > 0 && in.mods[0] == names[k]) c = k;
        if (c < 0) fail(in.line, "setp needs a comparison");
        ty t = type(in);
        if (c >= 14) {
            c -= 12;  // lo ls hi hs: unsigned lt le gt ge
            if (t == ty::s8) t = ty::u8;
            if (t == ty::s16) t = ty::u16;
            if (t == ty::s32) t = ty::u32;
            if (t == ty::s64) t = ty::u64;
        }
        if (is_int(t) && c >= c_equ) fail(in.line, "unordered comparisons are for floats");
        const bool half = t == ty::f16 || t == ty::f16x2;
        insn n = base_insn(nullptr);
        n.o[0] = dst(ops[0]);
        n.o[1] = ops[0].has2 ? ops[0].slot2 : sink_slot;
        n.o[2] = src(ops[1], half ? (t == ty::f16 ? ty::b16 : ty::b32) : t);
        n.o[3] = src(ops[2], half ? (t == ty::f16 ? ty::b16 : ty::b32) : t);
        n.o[4] = slot_one;
        n.aux = 0;
        if (ops.size() == 4) {
            n.o[4] = src(ops[3], ty::pred);
            n.aux = has(in, "and") ? 1 : has(in, "or") ? 2 : has(in, "xor") ? 3 : 255;
            if (n.aux == 255) fail(in.line, "setp with a third predicate needs and, or or xor");
        }
        if (half) {
            if (has(in, "ftz")) n.aux |= 4;
            n.fn = by_value<c_nan + 1>(c, [&](auto cc) -> handler {
                return t == ty::f16x2 ? &h_setp_half<decltype(cc)::value, true> : &h_setp_half<decltype(cc)::value, false>;
            });
            return emit(n);
        }
        auto pick = [&](auto x) -> handler {
            return by_value<c_nan + 1>(c, [&](auto cc) -> handler { return &h_setp<decltype(x), decltype(cc)::value>; });
        };
        n.fn = is_float(t) ? by_float(t, pick) : by_int(t, pick);
        emit(n);
    }

    void build_bar(inst &in) {
        auto &ops = in.ops;
        if (has(in, "warp")) {
            count(in, 1);
            insn n = base_insn(&h_bar_warp);
            n.o[0] = src(ops[0], ty::u32);
            return emit(n);
        }
        if (has(in, "arrive")) fail(in.line, "barrier arrivals are not supported");
        if (has(in, "red")) {
            // bar.red.popc.u32 d, 0, {!}p;  bar.red.and.pred / .or.pred p, 0, {!}q;
            count(in, 3);
            if (ops[1].k != operand::imm || ops[1].bits != 0)
                fail(in.line, "only barrier 0 of the whole block is supported");
            insn n = base_insn(&h_bar_red);
            n.aux = has(in, "popc") ? 0 : has(in, "and") ? 1 : has(in, "or") ? 2 : 255;
            if (n.aux == 255) fail(in.line, "barrier reduction needs popc, and or or");
            n.o[0] = dst(ops[0]);
            n.o[1] = src(ops[2], ty::pred);
            m.bar_red = true;
            return emit(n);
        }
        if (!has(in, "sync") && in.opcode != "bar") fail(in.line, "unsupported barrier");
        count(in, 1, 2);
        if (ops[0].k == operand::name && ops.size() == 1) {
            // The barrier's number in a register (cooperative groups under -G):
            // checked when it runs.
            insn n = base_insn(&h_bar_id);
            n.o[0] = src(ops[0], ty::u32);
            return emit(n);
        }
        if (ops[0].k != operand::imm || ops[0].bits != 0 || ops.size() == 2)
            fail(in.line, "only barrier 0 of the whole block is supported");
        emit(base_insn(&h_bar));
    }

    void build_shfl(inst &in) {
        count(in, 5);
        auto &ops = in.ops;
        if (!has(in, "sync")) fail(in.line, "shfl without .sync is not supported");
        insn n = base_insn(&h_shfl);
        n.aux = has(in, "up") ? detail::wm_up : has(in, "down") ? detail::wm_down
                : has(in, "bfly") ? detail::wm_xor : detail::wm_idx;
        if (!has(in, "up") && !has(in, "down") && !has(in, "bfly") && !has(in, "idx")) fail(in.line, "shfl needs a mode");
        n.o[0] = dst(ops[0]);
        n.o[1] = ops[0].has2 ? ops[0].slot2 : sink_slot;
        n.o[2] = src(ops[1], ty::b32);
        n.o[3] = src(ops[2], ty::b32);
        n.o[4] = src(ops[3], ty::b32);
        n.o[5] = src(ops[4], ty::b32);
        emit(n);
    }

    void build_vote(inst &in) {
        count(in, 3);
        auto &ops = in.ops;
        if (!has(in, "sync")) fail(in.line, "vote without .sync is not supported");
        insn n = base_insn(&h_vote);
        n.aux = has(in, "ballot") ? 0 : has(in, "any") ? 1 : has(in, "all") ? 2 : has(in, "uni") ? 3 : 255;
        if (n.aux == 255) fail(in.line, "vote needs a mode");
        n.o[0] = dst(ops[0]);
        n.o[1] = src(ops[1], ty::pred);
        n.o[2] = src(ops[2], ty::b32);
        emit(n);
    }

    void build_atom(inst &in, bool red) {
        auto &ops = in.ops;
        static const char *const names[] = {"add", "min", "max", "inc", "dec", "and", "or", "xor", "exch", "cas"};
        int op = -1;
        for (int k = 0; k < 10; ++k)
            if (has(in, names[k])) op = k;
        if (op < 0) fail(in.line, "atom needs an operation");
        if (red && (op == a_exch || op == a_cas)) fail(in.line, "red has no " + str(names[op]));
        ty t = type(in);
        if (has(in, "v2") || has(in, "v4") || has(in, "noftz")) fail(in.line, "unsupported atomic form");
        int sp = space_of(in);
        if (sp != sp_global && sp != sp_shared && sp != sp_generic) fail(in.line, "atomics work on global and shared memory");
        size_t need = (red ? 2 : 3) + (op == a_cas ? 1 : 0);
        count(in, need);
        insn n = base_insn(nullptr);
        size_t k = 0;
        if (red) {
            n.aux = 1;
            n.o[0] = sink_slot;
        } else {
            n.o[0] = dst(ops[k++]);
        }
        address(n, ops[k++], sp);
        n.o[1] = src(ops[k++], t);
        n.o[2] = op == a_cas ? src(ops[k++], t) : slot_zero;
        bool bitwise = op == a_and || op == a_or || op == a_xor || op == a_exch || op == a_cas;
        if ((bytes_of(t) < 4 && !(op == a_cas && t == ty::b16)) || (is_float(t) && op != a_add && op != a_exch) ||
            (!is_float(t) && !bitwise && info(t).kind == 'b') || (is_signed(t) && (op == a_inc || op == a_dec)) ||
            ((op == a_inc || op == a_dec) && t != ty::u32))
            fail(in.line, "unsupported atomic type");
        if (t == ty::b16) t = ty::u16;
        if (t == ty::b32 || (t == ty::s32 && bitwise)) t = ty::u32;
        if (t == ty::b64 || (t == ty::s64 && bitwise)) t = ty::u64;
        if (is_float(t) && op == a_exch) t = bytes_of(t) == 4 ? ty::u32 : ty::u64;
        n.fn = by_space(sp, [&](auto s) -> handler {
            constexpr int S = decltype(s)::value;
            return by_number(t, [&](auto x) -> handler {
                using T = decltype(x);
                if constexpr (sizeof(T) < 2) {
                    return nullptr;
                } else if constexpr (sizeof(T) == 2) {
                    return op == a_cas ? &h_atom<S, T, a_cas> : nullptr;
                } else {
                    return by_value<a_cas + 1>(op, [&](auto o) -> handler { return &h_atom<S, T, decltype(o)::value>; });
                }
            });
        });
        emit(n);
    }

    void build_arith(inst &in) {
        auto &ops = in.ops;
        std::string_view o = in.opcode;
        ty t = type(in);
        const bool three = o == "mad" || o == "fma" || o == "madc" || o == "mad24";
        count(in, three ? 4 : 3);
        insn n = base_insn(nullptr);
        const bool wide = has(in, "wide"), hi = has(in, "hi");
        ty st = t;  // source type
        n.o[0] = dst(ops[0]);
        n.o[1] = src(ops[1], st);
        n.o[2] = src(ops[2], (o == "shl" || o == "shr") ? ty::u32 : st);
        if (three) {
            ty ct = t;
            if (wide) ct = t == ty::s16 ? ty::s32 : t == ty::u16 ? ty::u32 : t == ty::s32 ? ty::s64 : ty::u64;
            n.o[3] = src(ops[3], ct);
        }
        if (is_float(t)) {
            int m = mode(in);
            bool has_mode = has(in, "rn") || has(in, "rz") || has(in, "rm") || has(in, "rp");
            n.aux = float_flags(in);
            int fo;
            if (o == "add") fo = f_add;
            else if (o == "sub") fo = f_sub;
            else if (o == "mul") fo = f_mul;
            else if (o == "fma" || o == "mad") fo = f_fma;
            else if (o == "min") fo = f_min;
            else if (o == "max") fo = f_max;
            else if (o == "div") {
                if (has(in, "approx") || has(in, "full")) {
                    n.fn = by_float(t, [](auto x) -> handler { return &h_funary<decltype(x), u_approx_div, rn>; });
                    if (t != ty::f32) fail(in.line, "approximate division is single precision");
                    return emit(n);
                }
                if (!has_mode) fail(in.line, "div of floats needs a rounding");
                fo = f_div;
            } else {
                fail(in.line, "'" + str(o) + "' is not defined for floats");
            }
            if (fo == f_fma && !has_mode) fail(in.line, str(o) + " of floats needs a rounding");
            if ((fo == f_min || fo == f_max) && has(in, "NaN")) fail(in.line, "min/max .NaN is not supported");
            n.fn = by_float(t, [&](auto x) -> handler {
                return by_mode(m, [&](auto mm) -> handler {
                    return by_value<7>(fo, [&](auto op) -> handler {
                        return &h_fbin<decltype(x), decltype(op)::value, decltype(mm)::value>;
                    });
                });
            });
            return emit(n);
        }
        if (t == ty::pred && (o == "and" || o == "or" || o == "xor")) t = ty::u8;
        if (!is_int(t)) fail(in.line, "unsupported type");
        if (has(in, "sat")) {
            if (t != ty::s32 || (o != "add" && o != "sub")) fail(in.line, "saturation is for add and sub of s32");
            n.fn = o == "add" ? &h_add_sat<false> : &h_add_sat<true>;
            return emit(n);
        }
        auto wide_of = [&](auto x) -> handler {
            using T = decltype(x);
            if constexpr (sizeof(T) == 8 || sizeof(T) == 1) {
                return nullptr;
            } else {
                using W = std::conditional_t<sizeof(T) == 2, std::conditional_t<std::is_signed<T>::value, int32_t, uint32_t>,
                                             std::conditional_t<std::is_signed<T>::value, int64_t, uint64_t>>;
                return o == "mul" ? &h_mul_wide<T, W> : &h_mad_wide<T, W>;
            }
        };
        if (o == "add" || o == "sub") {
            if (has(in, "cc")) {
                n.aux = 2;
                n.fn = bytes_of(t) == 4 ? (o == "add" ? &h_addc<uint32_t> : &h_subc<uint32_t>)
                       : bytes_of(t) == 8 ? (o == "add" ? &h_addc<uint64_t> : &h_subc<uint64_t>) : nullptr;
                return emit(n);
            }
            n.fn = by_int(t, [&](auto x) -> handler {
                return o == "add" ? &h_add<decltype(x)> : &h_sub<decltype(x)>;
            });
        } else if (o == "addc" || o == "subc") {
            n.aux = uint8_t(1 | (has(in, "cc") ? 2 : 0));
            n.fn = bytes_of(t) == 4 ? (o == "addc" ? &h_addc<uint32_t> : &h_subc<uint32_t>)
                   : bytes_of(t) == 8 ? (o == "addc" ? &h_addc<uint64_t> : &h_subc<uint64_t>) : nullptr;
        } else if (o == "madc" || (o == "mad" && has(in, "cc"))) {
            n.aux = uint8_t((o == "madc" ? 1 : 0) | (has(in, "cc") ? 2 : 0) | (hi ? 4 : 0));
            n.fn = bytes_of(t) == 4 ? &h_madc<uint32_t> : bytes_of(t) == 8 ? &h_madc<uint64_t> : nullptr;
        } else if (o == "mul" || o == "mad") {
            if (wide) n.fn = by_int(t, wide_of);
            else if (hi) n.fn = by_int(t, [&](auto x) -> handler { return o == "mul" ? &h_mul_hi<decltype(x)> : &h_mad_hi<decltype(x)>; });
            else n.fn = by_int(t, [&](auto x) -> handler { return o == "mul" ? &h_mul_lo<decltype(x)> : &h_mad_lo<decltype(x)>; });
        } else if (o == "mul24" || o == "mad24") {
            if (hi || bytes_of(t) != 4) fail(in.line, "only the low half of 24-bit products is supported");
            n.aux = o == "mad24";
            n.fn = is_signed(t) ? &h_mul24_lo<int32_t> : &h_mul24_lo<uint32_t>;
        } else {
            n.fn = by_int(t, [&](auto x) -> handler { return int_handler<decltype(x)>(o); });
        }
        emit(n);
    }

    void build_unary(inst &in) {
        auto &ops = in.ops;
        std::string_view o = in.opcode;
        count(in, 2);
        ty t = type(in);
        insn n = base_insn(nullptr);
        n.o[0] = dst(ops[0]);
        n.o[1] = src(ops[1], t);
        if (t == ty::pred) {
            if (o != "not") fail(in.line, "unsupported predicate operation");
            n.fn = &h_not_pred;
            return emit(n);
        }
        if (is_float(t)) {
            n.aux = float_flags(in);
            int m = mode(in);
            bool approx = has(in, "approx");
            int u;
            if (o == "abs") u = u_abs;
            else if (o == "neg") u = u_neg;
            else if (o == "sqrt") u = u_sqrt;
            else if (o == "rcp") u = u_rcp;
            else if (o == "rsqrt" && approx) u = u_rsqrt;
            else if (o == "sin" && approx && t == ty::f32) u = u_sin;
            else if (o == "cos" && approx && t == ty::f32) u = u_cos;
            else if (o == "lg2" && approx && t == ty::f32) u = u_lg2;
            else if (o == "ex2" && approx && t == ty::f32) u = u_ex2;
            else if (o == "tanh" && approx && t == ty::f32) u = u_tanh;
            else fail(in.line, "unsupported form of '" + str(o) + "'");
            if ((u == u_sqrt || u == u_rcp) && !approx && !(has(in, "rn") || has(in, "rz") || has(in, "rm") || has(in, "rp")))
                fail(in.line, str(o) + " needs .approx or a rounding");
            if (approx) m = rn;
            n.fn = by_float(t, [&](auto x) -> handler {
                return by_mode(m, [&](auto mm) -> handler {
                    return by_value<u_tanh + 1>(u, [&](auto op) -> handler {
                        return &h_funary<decltype(x), decltype(op)::value, decltype(mm)::value>;
                    });
                });
            });
            return emit(n);
        }
        n.aux = has(in, "shiftamt");
        n.fn = by_int(t, [&](auto x) -> handler { return int_handler<decltype(x)>(o); });
        if ((o == "abs" || o == "neg") && !is_signed(t)) n.fn = nullptr;
        if ((o == "popc" || o == "clz" || o == "brev") && info(t).kind != 'b') n.fn = nullptr;
        if ((o == "popc" || o == "clz" || o == "brev" || o == "bfind") && bytes_of(t) < 4) n.fn = nullptr;
        emit(n);
    }

    void build_bits(inst &in) {
        auto &ops = in.ops;
        std::string_view o = in.opcode;
        ty t = type(in);
        insn n = base_insn(nullptr);
        if (o == "bfe") {
            count(in, 4);
            n.fn = bytes_of(t) < 4 ? nullptr : by_int(t, [](auto x) -> handler { return &h_bfe<decltype(x)>; });
            n.o[0] = dst(ops[0]);
            n.o[1] = src(ops[1], t);
            n.o[2] = src(ops[2], ty::u32);
            n.o[3] = src(ops[3], ty::u32);
        } else if (o == "bfi") {
            count(in, 5);
            n.fn = t == ty::b32 ? &h_bfi<uint32_t> : t == ty::b64 ? &h_bfi<uint64_t> : nullptr;
            n.o[0] = dst(ops[0]);
            n.o[1] = src(ops[1], t);
            n.o[2] = src(ops[2], t);
            n.o[3] = src(ops[3], ty::u32);
            n.o[4] = src(ops[4], ty::u32);
        } else if (o == "prmt") {
            count(in, 4);
            static const char *const modes[] = {"f4e", "b4e", "rc8", "ecl", "ecr", "rc16"};
            for (unsigned k = 0; k < 6; ++k)
                if (has(in, modes[k])) n.aux = uint8_t(k + 1);
            n.fn = t == ty::b32 ? &h_prmt : nullptr;
            n.o[0] = dst(ops[0]);
            n.o[1] = src(ops[1], t);
            n.o[2] = src(ops[2], t);
            n.o[3] = src(ops[3], t);
        } else {
            count(in, 4);
            if (!has(in, "l") && !has(in, "r")) fail(in.line, "shf needs a direction");
            n.aux = uint8_t((has(in, "l") ? 1 : 0) | (has(in, "clamp") ? 2 : 0));
            n.fn = t == ty::b32 ? &h_shf : nullptr;
            n.o[0] = dst(ops[0]);
            n.o[1] = src(ops[1], t);
            n.o[2] = src(ops[2], t);
            n.o[3] = src(ops[3], ty::u32);
        }
        emit(n);
    }

    // ------------------------------------------------------------ linking

    void link() {
        if (m.funcs.size() >= (1u << 16)) fail(1, "more than 65535 functions");
        for (const pending_call &c : calls) {
            if (c.indirect) continue;
            auto it = func_index.find(c.callee);
            if (it == func_index.end()) fail(c.line, "call of undeclared function '" + c.callee + "'");
            const function &callee = m.funcs[it->second];
            if (callee.entry) fail(c.line, "call of entry '" + c.callee + "'");
            call_site &s = m.calls[c.site];
            s.callee = it->second;
            if (!callee.defined) {
                // The driver's own: formatted output and failed assertions.
                if (c.callee == "vprintf" && c.args.size() == 2 && c.has_ret) s.builtin = bi_vprintf;
                else if (c.callee == "__assertfail" && c.args.size() == 5) s.builtin = bi_assertfail;
                else if (c.callee == "malloc" && c.args.size() == 1 && c.has_ret) s.builtin = bi_malloc;
                else if (c.callee == "free" && c.args.size() == 1 && !c.has_ret) s.builtin = bi_free;
                else fail(c.line, "function '" + c.callee + "' is not defined in this module");
                for (const param_rec &a : c.args) s.args.push_back({a.off, 0, a.bytes});
                s.has_ret = c.has_ret;
                if (c.has_ret) s.ret = {0, c.ret.off, c.ret.bytes};
                continue;
            }
            if (c.args.size() != callee.formals.size() || c.has_ret != callee.has_ret)
                fail(c.line, "call of '" + c.callee + "' does not match its parameters");
            for (size_t k = 0; k < c.args.size(); ++k)
                s.args.push_back({c.args[k].off, callee.formals[k].off, std::min(c.args[k].bytes, callee.formals[k].bytes)});
            s.has_ret = c.has_ret;
            if (c.has_ret) s.ret = {callee.ret.off, c.ret.off, std::min(c.ret.bytes, callee.ret.bytes)};
        }
        for (const pending_call &c : calls) {
            if (!c.indirect) continue;
            call_site &s = m.calls[c.site];
            s.indirect = true;
            s.callee = no_function;
            s.targets.resize(m.funcs.size());
            for (uint32_t k = 0; k < m.funcs.size(); ++k) {
                const function &g = m.funcs[k];
                call_site &to = s.targets[k];
                to.callee = no_function;
                if (!g.defined || g.entry || c.args.size() != g.formals.size() || c.has_ret != g.has_ret) continue;
                to.callee = k;
                for (size_t j = 0; j < c.args.size(); ++j)
                    to.args.push_back({c.args[j].off, g.formals[j].off, std::min(c.args[j].bytes, g.formals[j].bytes)});
                to.has_ret = c.has_ret;
                if (c.has_ret) to.ret = {g.ret.off, c.ret.off, std::min(c.ret.bytes, g.ret.bytes)};
            }
        }
        for (const function &fn : m.funcs)
            if (!fn.defined && fn.entry) fail(fn.line, "entry '" + fn.name + "' has no body");
        // Call graph: callees per function from the call instructions.
        for (size_t k = 0; k < m.funcs.size(); ++k) {
            function &fn = m.funcs[k];
            for (const insn &i : fn.code) {
                if (i.fn != &h_call && i.fn != &h_call_indirect) continue;
                const call_site &cs = m.calls[size_t(i.imm)];
                if (!cs.indirect && !cs.builtin) fn.callees.push_back(cs.callee);
                for (const call_site &to : cs.targets)
                    if (to.callee != no_function) fn.callees.push_back(to.callee);
            }
            std::sort(fn.callees.begin(), fn.callees.end());
            fn.callees.erase(std::unique(fn.callees.begin(), fn.callees.end()), fn.callees.end());
        }
        std::vector<int> state(m.funcs.size(), 0);
        for (size_t k = 0; k < m.funcs.size(); ++k) bound(uint32_t(k), state, 0);
        // Module variables.
        m.var_bytes = data.size();
        m.vars.reset(new unsigned char[data.size() + 256]());
        m.var_base = reinterpret_cast<unsigned char *>((reinterpret_cast<uintptr_t>(m.vars.get()) + 255) & ~uintptr_t(255));
        if (!data.empty()) std::memcpy(m.var_base, data.data(), data.size());
        const uint64_t base = reinterpret_cast<uintptr_t>(m.var_base);
        for (uint64_t off : data_fixups) {
            uint64_t v;
            std::memcpy(&v, m.var_base + off, 8);
            v += base;
            std::memcpy(m.var_base + off, &v, 8);
        }
        for (const slot_fix &fx : fixup_slots) {
            function &fn = m.funcs[fx.func];
            for (uint32_t s : fx.vars) fn.init[s] = (fn.init[s] & ~(uint64_t(1) << 63)) + base;
            for (uint32_t s : fx.exts) fn.init[s] = (fn.init[s] & ~(uint64_t(1) << 62)) + m.shared_extern_offset();
        }
        if (m.shared_static > 48 * 1024) fail(1, "shared variables exceed 48 KiB");
    }

    // Worst-case local bytes, frame bytes and depth of the call chains from `k`.
    void bound(uint32_t k, std::vector<int> &state, unsigned level) {
        function &fn = m.funcs[k];
        if (state[k] == 2) return;
        if (state[k] == 1 || level > 256) {
            fn.recursive = true;
            return;
        }
        state[k] = 1;
        uint32_t loc = 0, mem = 0, depth = 0;
        bool rec = false;
        for (uint32_t c : fn.callees) {
            bound(c, state, level + 1);
            const function &g = m.funcs[c];
            if (state[c] == 1 || g.recursive) rec = true;
            loc = std::max(loc, g.need_local);
            mem = std::max(mem, g.need_frames);
            depth = std::max(depth, g.need_depth + 1);
        }
        const uint32_t own_local = (fn.local_bytes + 15) & ~15u;
        if (rec) {
            // Recursion: the device stack bounds the chain; room for as many
            // of the smallest frames as it holds, each as large as the largest.
            fn.recursive = true;
            uint32_t small_stack = fn.stack_bytes(), big_stack = 0, big_mem = fn.frame_bytes();
            for (const function &g : m.funcs) {
                small_stack = std::min(small_stack, g.stack_bytes());
                big_stack = std::max(big_stack, g.stack_bytes());
                big_mem = std::max(big_mem, g.frame_bytes());
            }
            // A frame larger than the stack would leave no room for one call.
            fn.need_stack = std::max(device_stack_bytes, fn.stack_bytes() + big_stack);
            fn.need_depth = fn.need_stack / small_stack;
            fn.need_local = fn.need_stack;
            fn.need_frames = big_mem * fn.need_depth;
        } else {
            fn.need_local = own_local + loc;
            fn.need_frames = fn.frame_bytes() + mem;
            fn.need_depth = depth;
        }
        state[k] = 2;
    }
};

}  // namespace

int load(const char *text, int capability, std::unique_ptr<module> &out, std::string &diag) {
    static std::atomic<uint32_t> modules{0};
    auto m = std::make_unique<module>();
    m->code_base = uint64_t(0xfe) << 56 | uint64_t(modules.fetch_add(1) + 1) << 20;
    try {
        size_t n = std::strlen(text);
        parser ps(std::string_view(text, n), *m, capability);
        ps.parse_module();
        ps.link();
        bool any_entry = false;
        for (size_t k = 0; k < m->funcs.size(); ++k) {
            m->by_name.emplace(m->funcs[k].name, uint32_t(k));
            any_entry |= m->funcs[k].entry;
        }
        (void)any_entry;
        name_race_sites(*m);
    } catch (const parse_error &e) {
        diag = "line " + std::to_string(e.line) + ": " + e.msg;
        return e.code;
    } catch (const std::bad_alloc &) {
        diag = "out of memory";
        return 2;
    } catch (const std::length_error &) {
        diag = "module too large";
        return 218;
    }
    diag.clear();
    out = std::move(m);
    return 0;
}

}  // namespace ptx
}  // namespace sim
