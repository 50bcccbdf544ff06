// Function headers and bodies: parameters, registers, local and shared
// variables, nested scopes and labels, names and operands, and the framing
// of each instruction (guard, modifiers, operands) before its family decodes it.
#include "parser.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace sim {
namespace ptx {
namespace parsing {

// (.param .align N .b8 name[N], .param .u64 name, ...)
std::vector<std::pair<std::string, param_rec>> parser::parse_params(uint32_t &top) {
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

std::pair<std::string, param_rec> parser::parse_param_decl(uint32_t &top, uint32_t line) {
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
    uint64_t count = array_count(65536, line, "bad parameter array size");
    if (align == 0) align = tr->bytes;
    if (align & (align - 1) || align > 256) fail(line, "bad parameter alignment");
    uint64_t off = (top + align - 1) / align * align;
    uint64_t bytes = tr->bytes * count;
    if (off + bytes > 65536) fail(line, "parameters too large");
    top = uint32_t(off + bytes);
    return {str(name), param_rec{uint32_t(off), uint32_t(bytes)}};
}

uint32_t parser::new_slot(uint64_t init) {
    if (f->init.size() >= (1u << 16)) fail(peek().line, "more than 65536 registers and constants in one function");
    f->init.push_back(init);
    return uint32_t(f->init.size() - 1);
}

uint32_t parser::const_slot(uint64_t v) {
    auto it = consts.find(v);
    if (it != consts.end()) return it->second;
    uint32_t s = new_slot(v);
    consts.emplace(v, s);
    return s;
}

void parser::parse_function(bool entry, uint32_t line) {
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
    shared_slots.clear();
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
    for (const auto &sv : shared_slots) f->shared_refs.push_back({sv.second, sv.first});
    fixup_slots.push_back({index, var_fixups});
    f->param_bytes = (f->param_bytes + 15) & ~15u;
    f = nullptr;
}

void parser::declare_param(const std::string &name, const param_rec &r, uint32_t line) {
    binding b{};
    b.k = binding::param;
    b.off = r.off;
    b.bytes = r.bytes;
    declare(false, name, b, line);
}

void parser::parse_body() {
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

void parser::parse_body_directive() {
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
        uint64_t count = array_count(1u << 20, x.line, "bad local array size");
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

const binding *parser::lookup(std::string_view n, binding &tmp) {
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
uint32_t parser::name_slot(std::string_view n, uint32_t line, ty *rty, int *space) {
    binding tmp;
    const binding *b = lookup(n, tmp);
    if (!b) {
        auto fi = func_index.find(n);
        if (fi == func_index.end()) fail(line, "undefined name '" + str(n) + "'");
        if (rty) *rty = ty::none;
        if (space) *space = sp_generic;
        addr_taken.insert(fi->second);
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
    case binding::shared:
    case binding::ext_shared: {
        // The entry that runs the function decides the address.
        const uint32_t var = b->k == binding::shared ? b->off : no_shared_var;
        auto it = shared_slots.find(var);
        s = it != shared_slots.end() ? it->second : shared_slots.emplace(var, new_slot(0)).first->second;
        sp = sp_shared;
        break;
    }
    default:
        s = new_slot(b->off), sp = sp_global;
        var_fixups.push_back(s);
        break;
    }
    if (space) *space = sp;
    return s;
}

void parser::parse_number(operand &o, uint32_t line) {
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
uint64_t parser::imm_bits(const operand &o, ty t, uint32_t line) {
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

operand parser::parse_operand(unsigned depth) {
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
        // A texture fetch's coordinates: [object, {x, ...}].
        if (accept(",")) o.elems.push_back(parse_operand(depth + 1));
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

bool parser::has(const inst &in, std::string_view m) const {
    return std::find(in.mods.begin(), in.mods.end(), m) != in.mods.end();
}

// The instruction's type: its last modifier that names one.
ty parser::type(const inst &in, size_t k) {
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

int parser::mode(const inst &in) {
    for (auto m : in.mods) {
        if (m == "rn" || m == "rni") return rn;
        if (m == "rz" || m == "rzi") return rz;
        if (m == "rm" || m == "rmi") return rm;
        if (m == "rp" || m == "rpi") return rp;
    }
    return rn;
}

bool parser::integral_rounding(const inst &in) {
    for (auto m : in.mods)
        if (m == "rni" || m == "rzi" || m == "rmi" || m == "rpi") return true;
    return false;
}

uint32_t parser::src(const operand &o, ty t) {
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

uint32_t parser::dst(const operand &o, unsigned *bytes) {
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

void parser::count(const inst &in, size_t lo, size_t hi) {
    if (in.ops.size() < lo || in.ops.size() > (hi ? hi : lo))
        fail(in.line, "wrong number of operands for '" + str(in.opcode) + "'");
}

// The site of a barrier or warp collective on the current line.
int64_t parser::site() {
    m.sites.push_back("line " + std::to_string(cur ? cur->line : 0));
    return int64_t(m.sites.size() - 1);
}

insn parser::base_insn(handler h) {
    insn n{};
    n.fn = h;
    n.guard = cur ? cur->guard : slot_one;
    n.want = cur ? cur->want : 1;
    n.line = cur ? cur->line : 0;
    n.n = 1;
    return n;
}

void parser::emit(insn n) {
    if (!n.fn) fail(cur->line, "unsupported form of '" + str(cur->opcode) + "'");
    f->code.push_back(n);
}

int parser::space_of(const inst &in) {
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
void parser::address(insn &n, const operand &a, int sp) {
    if (a.k != operand::addr) fail(a.line, "expected an address");
    if (!a.elems.empty()) fail(a.line, "coordinates belong to texture fetches");
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

void parser::parse_instruction() {
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

void parser::parse_call(inst &in) {
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

}  // namespace parsing
}  // namespace ptx
}  // namespace sim
