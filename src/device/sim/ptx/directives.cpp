// Module directives and variables (.version, .target, .global, .const,
// .shared), linking of calls and the bounds of call chains, and the entry
// point that parses a module.
#include "parser.h"

#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>

namespace sim {
namespace ptx {
namespace parsing {

void parser::parse_module() {
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

void parser::parse_top() {
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
void parser::parse_variable(int sp, bool external, uint32_t line, bool module_level) {
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
            if (elem * count > 0x10000000) fail(line, "shared variables too large");
            b.k = binding::shared;
            b.off = uint32_t(m.shared_vars.size());
            m.shared_vars.push_back({uint32_t(elem * count), uint32_t(align), key});
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
            addr_taken.insert(fi->second);
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
    if (module_level) m.var_names[key] = {off, elem * count};
}

void parser::parse_init(std::vector<uint64_t> &out,
                        std::vector<std::pair<size_t, std::pair<std::string, int64_t>>> &syms, ty et,
                        unsigned depth) {
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

void parser::declare(bool module_level, const std::string &key, const binding &b, uint32_t line) {
    if (module_level) {
        if (!globals.emplace(key, b).second) fail(line, "'" + key + "' declared twice");
    } else {
        if (!scopes.back().names.emplace(key, b).second) fail(line, "'" + key + "' declared twice");
    }
}

void parser::link() {
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
    }
    lay_out_shared();
}

// Each entry's shared window: the variables that it or a function it may
// call names, in declaration order, each followed by a red zone, then the
// dynamic array. The limit counts them as a GPU lays them out. An indirect
// call may reach any function whose address the module takes.
void parser::lay_out_shared() {
    const size_t nf = m.funcs.size(), nv = m.shared_vars.size();
    std::vector<std::vector<bool>> uses(nf, std::vector<bool>(nv, false));
    for (size_t k = 0; k < nf; ++k)
        for (const auto &r : m.funcs[k].shared_refs)
            if (r.second != no_shared_var) uses[k][r.second] = true;
    std::vector<std::vector<uint32_t>> reach(nf);
    for (size_t k = 0; k < nf; ++k) {
        for (const insn &i : m.funcs[k].code) {
            if (i.fn != &h_call && i.fn != &h_call_indirect) continue;
            const call_site &cs = m.calls[size_t(i.imm)];
            if (!cs.indirect) {
                if (!cs.builtin) reach[k].push_back(cs.callee);
                continue;
            }
            for (uint32_t c : addr_taken)
                if (c < cs.targets.size() && cs.targets[c].callee != no_function) reach[k].push_back(c);
        }
    }
    for (bool changed = true; changed;) {
        changed = false;
        for (size_t k = 0; k < nf; ++k)
            for (uint32_t c : reach[k])
                for (size_t v = 0; v < nv; ++v)
                    if (uses[c][v] && !uses[k][v]) uses[k][v] = changed = true;
    }
    constexpr uint32_t red_zone = 64;
    for (size_t k = 0; k < nf; ++k) {
        function &fn = m.funcs[k];
        if (!fn.entry) continue;
        fn.shared_at.assign(nv, 0);
        uint32_t top = 0, gpu_top = 0;
        for (size_t v = 0; v < nv; ++v) {
            if (!uses[k][v]) continue;
            const shared_var &sv = m.shared_vars[v];
            const uint64_t at = (uint64_t(top) + sv.align - 1) / sv.align * sv.align;
            gpu_top = uint32_t((uint64_t(gpu_top) + sv.align - 1) / sv.align * sv.align + sv.bytes);
            if (gpu_top > 48 * 1024 || at + sv.bytes + red_zone > 0x10000000)
                fail(fn.line, "the shared variables of '" + fn.name + "' exceed 48 KiB");
            fn.shared_at[v] = uint32_t(at);
            fn.zones.push_back({uint32_t(at + sv.bytes), red_zone, sv.name.c_str()});
            top = uint32_t(at + sv.bytes + red_zone);
        }
        const uint32_t a = m.shared_extern_align ? m.shared_extern_align : 1;
        fn.shared_static = gpu_top;
        fn.shared_dynamic = (top + a - 1) / a * a;
    }
}

// Worst-case local bytes, frame bytes and depth of the call chains from `k`.
void parser::bound(uint32_t k, std::vector<int> &state, unsigned level) {
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

}  // namespace parsing

using parsing::parse_error;
using parsing::parser;

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
