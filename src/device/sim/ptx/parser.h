// The PTX parser's shared parts: types, tokens, operands and the parser
// itself, whose work is spread over the sources by concept: lex.cpp (tokens),
// directives.cpp (module directives, variables, linking), body.cpp (function
// bodies, scopes, names, operands, instruction framing) and the decode*.cpp
// (instructions by family: memory, arithmetic and conversions, barriers and
// warp collectives). Parsing stops at the first construct outside the
// covered subset with a diagnostic naming its line; no input makes it read
// outside the text or crash.
#pragma once

#include "../internal.h"
#include "../simkernel.h"
#include "ops.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {
namespace ptx {
namespace parsing {

struct parse_error {
    uint32_t line;
    std::string msg;
    int code;
};

[[noreturn]] inline void fail(uint32_t line, std::string msg, int code = 218) {
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
inline const ty_rec types[] = {
    {"b8", ty::b8, 1, 'b'},   {"b16", ty::b16, 2, 'b'}, {"b32", ty::b32, 4, 'b'}, {"b64", ty::b64, 8, 'b'},
    {"u8", ty::u8, 1, 'u'},   {"u16", ty::u16, 2, 'u'}, {"u32", ty::u32, 4, 'u'}, {"u64", ty::u64, 8, 'u'},
    {"s8", ty::s8, 1, 's'},   {"s16", ty::s16, 2, 's'}, {"s32", ty::s32, 4, 's'}, {"s64", ty::s64, 8, 's'},
    {"f16", ty::f16, 2, 'h'}, {"f16x2", ty::f16x2, 4, 'h'}, {"bf16", ty::bf16, 2, 'h'},
    {"f32", ty::f32, 4, 'f'}, {"f64", ty::f64, 8, 'f'},   {"pred", ty::pred, 1, 'p'},
};
inline const ty_rec *type_of(std::string_view s) {
    for (const ty_rec &r : types)
        if (s == r.name) return &r;
    return nullptr;
}
inline const ty_rec &info(ty t) {
    for (const ty_rec &r : types)
        if (r.t == t) return r;
    static const ty_rec none{"none", ty::none, 0, '?'};
    return none;
}
inline unsigned bytes_of(ty t) { return info(t).bytes; }
inline bool is_float(ty t) { return t == ty::f32 || t == ty::f64; }
inline bool is_int(ty t) { char k = info(t).kind; return k == 'b' || k == 'u' || k == 's'; }
inline bool is_signed(ty t) { return info(t).kind == 's'; }

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
// A handler by access width in bytes (1, 2, 4, else 8): `pick` gets an
// std::integral_constant<unsigned, bytes>.
template <typename P>
handler by_width(unsigned b, P pick) {
    switch (b) {
    case 1: return pick(std::integral_constant<unsigned, 1>{});
    case 2: return pick(std::integral_constant<unsigned, 2>{});
    case 4: return pick(std::integral_constant<unsigned, 4>{});
    default: return pick(std::integral_constant<unsigned, 8>{});
    }
}
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

inline std::string str(std::string_view v) { return std::string(v); }

// Tokens of `s` (lex.cpp); a token of kind t_end closes the list.
std::vector<tok> lex(std::string_view s);
// A PTX integer literal (decimal, 0x, 0b, octal; a trailing U).
bool parse_uint(std::string_view s, uint64_t &v);

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
    std::set<uint32_t> addr_taken;  // functions whose address the module takes
    bool have_version = false, have_target = false;

    // The function being parsed.
    function *f = nullptr;
    std::vector<scope> scopes;
    std::map<uint64_t, uint32_t> consts;
    std::vector<uint32_t> var_fixups;  // slots of the function holding addresses
    std::map<uint32_t, uint32_t> shared_slots;  // shared variable to the slot of its address
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
    // [N][M]...: the product of the dimensions; `bad` when one is 0 or the
    // product passes `limit`.
    uint64_t array_count(uint64_t limit, uint32_t line, const char *bad) {
        uint64_t count = 1;
        while (accept("[")) {
            uint64_t n = number();
            expect("]");
            count *= n;
            if (n == 0 || count > limit) fail(line, bad);
        }
        return count;
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

    // ------------------------------------------------------------ module directives and variables (directives.cpp)

    void parse_module();
    void parse_top();
    // .align N .type name[N][M] = init;  Returns the binding (module level or a function's).
    void parse_variable(int sp, bool external, uint32_t line, bool module_level);
    void parse_init(std::vector<uint64_t> &out,
                    std::vector<std::pair<size_t, std::pair<std::string, int64_t>>> &syms, ty et,
                    unsigned depth = 0);
    void declare(bool module_level, const std::string &key, const binding &b, uint32_t line);

    // ------------------------------------------------------------ functions, their bodies and scopes (body.cpp)

    // (.param .align N .b8 name[N], .param .u64 name, ...)
    std::vector<std::pair<std::string, param_rec>> parse_params(uint32_t &top);
    std::pair<std::string, param_rec> parse_param_decl(uint32_t &top, uint32_t line);
    uint32_t new_slot(uint64_t init = 0);
    uint32_t const_slot(uint64_t v);
    void parse_function(bool entry, uint32_t line);
    struct slot_fix {
        uint32_t func;
        std::vector<uint32_t> vars;
    };
    std::vector<slot_fix> fixup_slots;
    void declare_param(const std::string &name, const param_rec &r, uint32_t line);
    void parse_body();
    void parse_body_directive();

    // ------------------------------------------------------------ names (body.cpp)

    const binding *lookup(std::string_view n, binding &tmp);
    // The slot that holds a name's value as an operand (its address for variables).
    uint32_t name_slot(std::string_view n, uint32_t line, ty *rty = nullptr, int *space = nullptr);

    // ------------------------------------------------------------ operands (body.cpp)

    void parse_number(operand &o, uint32_t line);
    // An immediate encoded for an operand of type `t`.
    uint64_t imm_bits(const operand &o, ty t, uint32_t line);
    operand parse_operand(unsigned depth = 0);

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
    // Framing (body.cpp): the guard, modifiers and operands of an instruction.
    bool has(const inst &in, std::string_view m) const;
    // The instruction's type: its last modifier that names one.
    ty type(const inst &in, size_t k = 0);
    int mode(const inst &in);
    bool integral_rounding(const inst &in);
    uint32_t src(const operand &o, ty t);
    uint32_t dst(const operand &o, unsigned *bytes = nullptr);
    void count(const inst &in, size_t lo, size_t hi = 0);
    // The site of a barrier or warp collective on the current line.
    int64_t site();
    insn base_insn(handler h);
    void emit(insn n);
    int space_of(const inst &in);
    // The base slot and offset of an address operand in space `sp`.
    void address(insn &n, const operand &a, int sp);
    void parse_instruction();
    void parse_call(inst &in);
    // The dispatch by name (decode.cpp).
    void build(inst &in);
    // Moves, loads, stores and atomics (decode_memory.cpp).
    void build_mov(inst &in);
    // tex.1d.v4: element fetches from texture objects.
    void build_tex(inst &in);
    unsigned vector_of(const inst &in);
    void build_ld(inst &in);
    void build_st(inst &in);
    void build_atom(inst &in, bool red);
    // Arithmetic, bits, comparisons and conversions (decode_math.cpp).
    uint8_t float_flags(const inst &in);
    void build_arith(inst &in);
    void build_unary(inst &in);
    void build_bits(inst &in);
    // add sub mul fma min max neg abs setp of .f16 and .f16x2.
    void build_half(inst &in);
    void build_cvt(inst &in);
    void build_setp(inst &in);
    // Barriers and warp collectives (decode_sync.cpp).
    void build_bar(inst &in);
    void build_shfl(inst &in);
    void build_vote(inst &in);
    void build_match(inst &in);

    // ------------------------------------------------------------ linking (directives.cpp)

    void link();
    // Worst-case local bytes, frame bytes and depth of the call chains from `k`.
    // Each entry's shared window (the variables its call graph names).
    void lay_out_shared();
    void bound(uint32_t k, std::vector<int> &state, unsigned level);
};

}  // namespace parsing
}  // namespace ptx
}  // namespace sim
